// Console and log texts. Each text is one write call with no buffering, so a
// log shows every line produced before a failure or a kill.
#pragma once

#include <functional>
#include <string_view>

namespace tolvane {

// What a training run needs from its host.
struct run_hooks {
    int console_fd = 1;
    // Asked between chunks and between learning iterations; true ends the run
    // with stop_requested (the host keeps the reason, e.g. KeyboardInterrupt).
    std::function<bool()> should_stop;
    // Test-only: run the literal recounting algorithms instead of the engine.
    bool literal = false;
};

// One write of the whole line; a console that cannot be written to (closed
// standard output) must not end a run, so errors are ignored.
void console_line(int fd, std::string_view text);

// Writes all of `text` to a log, repeating short and interrupted writes.
// Fails with "<context>: <os error>" when the log refuses it.
void log_text(int fd, std::string_view text, std::string_view context);

}  // namespace tolvane
