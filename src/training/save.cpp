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

// The model is written beside "tokenizer" under a name of its own and renamed
// over it only once it is complete and on disk, so a failure or a kill in the
// middle of a save leaves the model of the previous chunk loadable. Until
// commit() the file is removed again on every way out.
class temporary_model_file {
public:
    temporary_model_file() {
        // O_EXCL on a name no one else uses; the kernel applies the umask to
        // 0666 exactly as for a plain create, and default ACLs still apply.
        static std::uint64_t serial = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            name = ".tokenizer." + std::to_string(::getpid()) + "." + std::to_string(serial++);
            int raw = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (raw >= 0) {
                fd = unique_fd{raw};
                return;
            }
            if (errno != EEXIST) fail_save(errno);
        }
        fail_save(EEXIST);
    }
    temporary_model_file(const temporary_model_file&) = delete;
    temporary_model_file& operator=(const temporary_model_file&) = delete;
    ~temporary_model_file() {
        fd.reset();
        if (!committed) ::unlink(name.c_str());
    }

    void write(std::string_view bytes) {
        if (int err = write_all(fd.get(), bytes); err != 0) fail_save(err);
        if (::fsync(fd.get()) != 0) fail_save(errno);
    }

    void commit() {
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
