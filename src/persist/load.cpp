#include "persist/load.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "persist/extras.hpp"
#include "persist/model_file.hpp"
#include "model/posix_file.hpp"
#include "persist/file_kind.hpp"

namespace tolvane {

namespace {

// Bytes fetched when the buffer is exactly full: most files end right there,
// and a small probe finds that out without doubling the buffer.
constexpr std::size_t PROBE_SIZE = 4096;

unique_fd open_for_reading(const std::string& name, int flags = 0) {
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        fail_as(failure_kind::os_error, "Should work: " + describe_os_error(err), err);
    }
    return unique_fd{fd};
}

// The bytes between the current position and the end, as the file system
// reports them; 0 when it cannot tell (a pipe, a failed query).
std::size_t size_hint(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return 0;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    const off_t left = at >= 0 && at <= st.st_size ? st.st_size - at : st.st_size;
    return static_cast<std::size_t>(left);
}

// One read of up to n bytes, repeated while a signal interrupts it.
std::size_t read_some(int fd, char* into, std::size_t n) {
    ssize_t got;
    do {
        got = ::read(fd, into, n);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int err = errno;
        fail_as(failure_kind::os_error, "Should work: " + describe_os_error(err), err);
    }
    return static_cast<std::size_t>(got);
}

// The whole content in one block. Not a std::string: resizing one fills it
// with zeros, which would touch every page of a reservation before a single
// byte is read.
class file_bytes {
public:
    std::string_view view() const { return {block.get(), used}; }

    void reserve(std::size_t n) {
        if (n == 0) return;
        try {
            block.reset(new char[n]);
        } catch (const std::bad_alloc&) {
            fail("Should work: memory for " + std::to_string(n) + " bytes could not be reserved (out of memory)");
        }
        room = n;
    }

    // Reads until the end of the file.
    void read_all(int fd) {
        while (true) {
            if (used < room) {
                const std::size_t got = read_some(fd, block.get() + used, room - used);
                if (got == 0) return;
                used += got;
                continue;
            }
            // Full, or the size was unknown: the file may have grown since the query.
            char probe[PROBE_SIZE];
            const std::size_t got = read_some(fd, probe, sizeof probe);
            if (got == 0) return;
            grow(std::max(room * 2, used + 64 * PROBE_SIZE));
            std::memcpy(block.get() + used, probe, got);
            used += got;
        }
    }

private:
    void grow(std::size_t n) {
        std::unique_ptr<char[]> bigger(new char[n]);
        if (used) std::memcpy(bigger.get(), block.get(), used);
        block = std::move(bigger);
        room = n;
    }

    std::unique_ptr<char[]> block;
    std::size_t room = 0;
    std::size_t used = 0;
};

void refuse_nul(std::string_view path) {
    // The system takes a NUL-terminated name; an inner NUL would silently name
    // another file, so it is refused before any system call.
    if (path.find('\0') != std::string_view::npos)
        fail_as(failure_kind::invalid_value,
                "Should work: file name contained an unexpected NUL byte (invalid input)");
}

file_bytes read_open(int fd) {
    file_bytes content;
    content.reserve(size_hint(fd));
    content.read_all(fd);
    return content;
}

file_bytes read_whole(std::string_view path) {
    refuse_nul(path);
    return read_open(open_for_reading(std::string(path)).get());  // closed before parsing
}

// What is at `name` when it is no regular file (and no directory), else
// nullptr; the file then read whole.
const char* read_regular(const std::string& name, file_bytes& content) {
    // Looked at before it is opened: a socket cannot be opened at all.
    if (struct stat st; ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        if (const char* kind = irregular_kind(st.st_mode)) return kind;
    // O_NONBLOCK: a named pipe put there meanwhile does not make the open
    // wait for a writer. It is taken off again, so that a file on a slow file
    // system is read whole.
    const unique_fd fd = open_for_reading(name, O_NONBLOCK);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        fail_as(failure_kind::os_error, "Should work: " + describe_os_error(err), err);
    }
    if (const char* kind = irregular_kind(st.st_mode); kind && !S_ISDIR(st.st_mode)) return kind;
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    content = read_open(fd.get());
    return nullptr;
}

}  // namespace

std::variant<Data, model_read_error> read_model_file(std::string_view path) {
    return deserialize_model(read_whole(path).view());
}

std::variant<model_with_extras, model_read_error> read_model_file_with_extras(std::string_view path) {
    return deserialize_model_with_extras(read_whole(path).view());
}

std::variant<model_with_extras, model_read_error, irregular_file> read_regular_model_file_with_extras(
    std::string_view path) {
    refuse_nul(path);
    file_bytes content;
    if (const char* kind = read_regular(std::string{path}, content)) return irregular_file{kind};
    auto parsed = deserialize_model_with_extras(content.view());
    if (auto* error = std::get_if<model_read_error>(&parsed)) return std::move(*error);
    return std::move(std::get<model_with_extras>(parsed));
}

Data load_model_file(std::string_view path) {
    auto parsed = read_model_file(path);
    if (auto* error = std::get_if<model_read_error>(&parsed))
        fail_as(failure_kind::invalid_value, "Should work: " + error->description);
    return std::move(std::get<Data>(parsed));
}

}  // namespace tolvane
