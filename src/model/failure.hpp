// The one way the core ends an operation early: a message and where it came
// from. The binding catches it at every entry point: the module raises
// PanicException with the message; the companion raises the ordinary Python
// exception that `kind` names.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace tolvane {

// What went wrong, as far as a caller can act on it. The module does not look
// at it (every failure is a PanicException there), so tagging a failure
// never changes the module's behaviour.
enum class failure_kind {
    internal,       // a broken invariant, or nothing more specific known
    invalid_value,  // a value handed in cannot be used (a damaged model file, a NUL in a path)
    missing_key,    // a grapheme or an id the model does not hold
    os_error,       // the system refused; `os_errno` says why
};

struct failure {
    std::string message;
    std::source_location where;
    failure_kind kind = failure_kind::internal;
    int os_errno = 0;  // the errno behind an os_error, else 0
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw failure{std::move(message), where};
}

[[noreturn]] inline void fail_as(failure_kind kind, std::string message, int os_errno = 0,
                                 std::source_location where = std::source_location::current()) {
    throw failure{std::move(message), where, kind, os_errno};
}

// Thrown when the host asked a long run to stop (a pending Ctrl-C); the host
// has already recorded why, so it carries nothing.
struct stop_requested {};

}  // namespace tolvane
