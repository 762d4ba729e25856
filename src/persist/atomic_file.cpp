#include "persist/atomic_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "model/posix_file.hpp"

namespace tolvane {
namespace {

[[noreturn]] void fail_save(int err) {
    fail_as(failure_kind::os_error, "Should work: " + describe_os_error(err), err);
}

// The file is written in the target's directory, since a rename only
// replaces atomically within one file system. Where the file system allows
// it the file has no name at all until it is complete (O_TMPFILE): a kill
// while it is written leaves nothing behind. It then gets a unique name,
// ".<target name>.<pid>.<serial>", for the instant between linking and the
// rename. Until commit() the named file is removed again on every way out.
class temporary_file {
public:
    explicit temporary_file(const std::string& target) : target{target} {
        const auto slash = target.rfind('/');
        directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        base = slash == std::string::npos ? target : target.substr(slash + 1);
        // The kernel applies the umask to 0666 exactly as for a plain create.
        int raw = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (raw >= 0) {
            fd = unique_fd{raw};
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail_save(errno);
        create_named();
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file() {
        fd.reset();
        if (!committed && !name.empty()) ::unlink(name.c_str());
    }

    void write(std::string_view bytes) {
        if (int err = write_all(fd.get(), bytes); err != 0) fail_save(err);
        if (::fsync(fd.get()) != 0) fail_save(errno);
    }

    void commit() {
        if (name.empty()) link_unnamed();
        fd.reset();
        if (::rename(name.c_str(), target.c_str()) != 0) fail_save(errno);
        committed = true;
        // Make the new directory entry itself durable. The file is already
        // in place for this process and any reader, so a directory that
        // cannot be synced is not a failure of the save.
        if (int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    // O_EXCL on a name no one else uses.
    template <class Attempt>
    void claim_name(Attempt&& attempt) {
        static std::atomic<std::uint64_t> serial{0};  // two threads may save at once
        const std::string prefix = (directory == "." && target.find('/') == std::string::npos)
                                       ? std::string{}
                                       : directory + (directory == "/" ? "" : "/");
        for (int tries = 0; tries < 100; ++tries) {
            name = prefix + "." + base + "." + std::to_string(::getpid()) + "." +
                   std::to_string(serial++);
            if (attempt()) return;
            if (errno != EEXIST) {
                name.clear();
                fail_save(errno);
            }
        }
        name.clear();
        fail_save(EEXIST);
    }

    void create_named() {
        claim_name([&] {
            int raw = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (raw < 0) return false;
            fd = unique_fd{raw};
            return true;
        });
    }

    // Gives the complete unnamed file a name; linking through /proc needs no
    // privilege, unlike linking the descriptor itself.
    void link_unnamed() {
        std::string self = "/proc/self/fd/" + std::to_string(fd.get());
        claim_name([&] {
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                return true;
            // Without /proc, linking the descriptor itself may still be allowed.
            return errno == ENOENT &&
                   ::linkat(fd.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
        });
    }

    std::string target;
    std::string directory;
    std::string base;
    std::string name;
    unique_fd fd;
    bool committed = false;
};

}  // namespace

void replace_file_atomically(std::string_view path, std::string_view bytes) {
    // The system takes a NUL-terminated name; an inner NUL would silently
    // name another file.
    if (path.find('\0') != std::string_view::npos)
        fail_as(failure_kind::invalid_value,
                "Should work: file name contained an unexpected NUL byte (invalid input)");
    if (path.empty()) fail_save(ENOENT);
    temporary_file file{std::string{path}};
    file.write(bytes);
    file.commit();
}

}  // namespace tolvane
