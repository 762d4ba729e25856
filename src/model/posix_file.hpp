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

// What write_all returns when a write accepted no bytes although some were
// left: not an errno, but describe_os_error knows it ("failed to write whole
// buffer"). Negative, so it never collides with a system error number.
constexpr int WRITE_ZERO = -1;

// Repeats until all bytes are written; retries EINTR. Returns 0, an errno, or
// WRITE_ZERO; pass any non-zero result to describe_os_error.
int write_all(int fd, std::string_view bytes);

}  // namespace tolvane
