// Small layer over the POSIX file calls: an owning descriptor and readable
// error descriptions ("<system text> (os error N, <kind>)").
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tolvane {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd{fd} {}
    unique_fd(unique_fd&& other) noexcept : fd{std::exchange(other.fd, -1)} {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) { reset(); fd = std::exchange(other.fd, -1); }
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    void reset();
private:
    int fd = -1;
};

// The system's text for errno `err`, its number and its kind.
std::string describe_os_error(int err);

// Repeats until all bytes are written; retries EINTR. Returns 0 or an errno
// (a write that accepts nothing counts as an error).
int write_all(int fd, std::string_view bytes);

}  // namespace tolvane
