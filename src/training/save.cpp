#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "persist/model_file.hpp"
#include "persist/posix_file.hpp"
#include "training/train.hpp"

namespace tolvane {
namespace {

constexpr const char* MODEL_FILE = "tokenizer";

constexpr std::string_view SAVED_BANNER =
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n";

[[noreturn]] void fail_save(int err) { fail("Should work: " + describe_os_error(err)); }

// The model is written beside "tokenizer" and renamed over it only once it
// is complete and on disk, so a failure or a kill in the middle of a save
// leaves the model of the previous chunk loadable. Where the file system
// allows it the file has no name at all until it is complete (O_TMPFILE): a
// kill while it is written leaves nothing behind. It then gets a unique name
// for the instant between linking and the rename. Until commit() the named
// file is removed again on every way out.
class temporary_model_file {
public:
    temporary_model_file() {
        // The kernel applies the umask to 0666 exactly as for a plain create.
        int raw = ::open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (raw >= 0) {
            fd = unique_fd{raw};
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail_save(errno);
        create_named(fd);
    }
    temporary_model_file(const temporary_model_file&) = delete;
    temporary_model_file& operator=(const temporary_model_file&) = delete;
    ~temporary_model_file() {
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
        if (::rename(name.c_str(), MODEL_FILE) != 0) fail_save(errno);
        committed = true;
        // Make the new directory entry itself durable. The model is already
        // in place for this process and any reader, so a directory that
        // cannot be synced is not a failure of the save.
        if (int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    // O_EXCL on a name no one else uses.
    template <class Attempt>
    void claim_name(Attempt&& attempt) {
        static std::uint64_t serial = 0;
        for (int tries = 0; tries < 100; ++tries) {
            name = ".tokenizer." + std::to_string(::getpid()) + "." + std::to_string(serial++);
            if (attempt()) return;
            if (errno != EEXIST) {
                name.clear();
                fail_save(errno);
            }
        }
        name.clear();
        fail_save(EEXIST);
    }

    void create_named(unique_fd& out) {
        claim_name([&] {
            int raw = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (raw < 0) return false;
            out = unique_fd{raw};
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

    std::string name;
    unique_fd fd;
    bool committed = false;
};

}  // namespace

void save_model(const Data& data, const run_hooks& hooks) {
    std::string bytes = serialize_model(data);
    {
        temporary_model_file file;
        file.write(bytes);
        file.commit();
    }
    console_line(hooks.console_fd, SAVED_BANNER);
}

}  // namespace tolvane
