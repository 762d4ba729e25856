// The one way the core ends an operation early: a message and where it came
// from. The binding catches it at every entry point and raises PanicException.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace tolvane {

struct failure {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw failure{std::move(message), where};
}

// Thrown when the host asked a long run to stop (a pending Ctrl-C); the host
// has already recorded why, so it carries nothing.
struct stop_requested {};

}  // namespace tolvane
