#include "learning/output.hpp"

#include <cerrno>
#include <string>

#include <unistd.h>

#include "model/failure.hpp"
#include "model/posix_file.hpp"

namespace tolvane {

void console_line(int fd, std::string_view text) {
    // Progress lines are a courtesy to whoever watches the run: a closed or
    // broken standard output must never cost the model being learned, so
    // every error is dropped. An interrupted or partial write is completed,
    // since a line cut in half would be worse than none.
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (written == 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void log_text(int fd, std::string_view text, std::string_view context) {
    if (int err = write_all(fd, text); err != 0) {
        std::string message{context};
        message += ": ";
        message += describe_os_error(err);
        fail(std::move(message));
    }
}

}  // namespace tolvane
