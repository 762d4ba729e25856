#include "model/posix_file.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

namespace tolvane {

void unique_fd::reset() {
    if (fd >= 0) {
        // A close interrupted by a signal has still released the descriptor on
        // Linux, so it is never repeated: a retry could close a descriptor that
        // another open has been given meanwhile.
        ::close(fd);
        fd = -1;
    }
}

namespace {

// strerror_r comes in two shapes depending on the C library; both are handled
// so the text is never taken from the shared, thread-unsafe strerror buffer.
[[maybe_unused]] const char* system_text(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* system_text(const char* text, const char*) { return text; }

// A small fixed table: the kinds a caller can act on. Anything rarer is
// "other"; the number and the system's text still identify it exactly.
const char* error_kind(int err) {
    switch (err) {
        case ENOENT: return "not found";
        case EACCES:
        case EPERM: return "permission denied";
        case EISDIR: return "is a directory";
        case ENOTDIR: return "not a directory";
        case EEXIST: return "already exists";
        case EINVAL: return "invalid input";
        case ENAMETOOLONG: return "invalid filename";
        case ENOMEM: return "out of memory";
        case ENOSPC: return "storage full";
        case EDQUOT: return "quota exceeded";
        case EFBIG: return "file too large";
        case EROFS: return "read-only filesystem";
        case EINTR: return "interrupted";
        case EAGAIN: return "would block";
        case EPIPE: return "broken pipe";
        case EBUSY: return "resource busy";
        case ELOOP: return "filesystem loop";
        case EMFILE:
        case ENFILE: return "too many open files";
        default: return "other";
    }
}

}  // namespace

std::string describe_os_error(int err) {
    if (err == WRITE_ZERO) return "failed to write whole buffer (write zero)";
    char buffer[256] = {};
    const char* text = system_text(strerror_r(err, buffer, sizeof buffer), buffer);
    std::string out = (text && *text) ? text : "Unknown error " + std::to_string(err);
    out += " (os error ";
    out += std::to_string(err);
    out += ", ";
    out += error_kind(err);
    out += ")";
    return out;
}

int write_all(int fd, std::string_view bytes) {
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return WRITE_ZERO;
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace tolvane
