#include "training/train.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "model/utf8.hpp"
#include "model/posix_file.hpp"

namespace tolvane {
namespace {

constexpr std::string_view STARTED_TEXT = "Started \n ";
constexpr std::string_view SEPARATOR_LINE =
    "\n-----------------------------------------------------------------------------------\n";
constexpr const char* APPEND_LOG = "log.txt";

[[noreturn]] void fail_os(std::string_view context, int err) {
    std::string message{context};
    message += ": ";
    message += describe_os_error(err);
    fail(std::move(message));
}

void check_stop(const run_hooks& hooks) {
    if (hooks.should_stop && hooks.should_stop()) throw stop_requested{};
}

// Opens `path` with mode 0666 (before the umask) and close-on-exec. A path
// holding a NUL byte would name a different, shorter path to the system, so
// it is refused before any call. A descriptor that lands on 0, 1 or 2 (the
// host closed its standard streams) is moved above them: console lines go to
// descriptor 1 and must never end up inside a log or a model file.
//
// Opening a named pipe waits for its other end, and Ctrl-C interrupts that
// wait: the host is asked whether it wants to stop, as for a blocked read, so
// the caller sees the interrupt itself rather than a failed open. Any other
// interruption is only a signal passing by, and the open is repeated.
unique_fd open_file(const std::string& path, int flags, std::string_view context,
                    const run_hooks& hooks) {
    if (path.find('\0') != std::string::npos) {
        std::string message{context};
        message += ": the path holds a NUL byte";
        fail(std::move(message));
    }
    unique_fd fd;
    while (true) {
        fd = unique_fd{::open(path.c_str(), flags | O_CLOEXEC, 0666)};
        if (fd) break;
        int err = errno;
        if (err != EINTR) fail_os(context, err);
        check_stop(hooks);
    }
    if (fd.get() <= 2) {
        unique_fd moved{::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3)};
        if (!moved) fail_os(context, errno);
        fd = std::move(moved);
    }
    return fd;
}

// Emptying the log must not destroy the text about to be learned from: a log
// that is the training file itself (also by another name or a link) is refused
// before anything is opened for writing. Paths that cannot be examined are
// left to the opens below, which report them.
void refuse_log_over_training_file(const train_options& options) {
    if (options.logs_file.find('\0') != std::string::npos ||
        options.train_file.find('\0') != std::string::npos)
        return;
    struct stat log_info {}, train_info {};
    if (::stat(options.logs_file.c_str(), &log_info) != 0) return;
    if (::stat(options.train_file.c_str(), &train_info) != 0) return;
    if (log_info.st_dev == train_info.st_dev && log_info.st_ino == train_info.st_ino)
        fail("To Work: the logs file is the training file itself; emptying it would destroy "
             "the training text, so no file was opened");
}

// With print_logs the run appends its lines to "log.txt" while it reads the
// training file chunk by chunk; if that is one and the same file, every chunk
// brings back the lines written for the one before and the run never reaches
// the end. Refused before any file is opened, so nothing is emptied or
// written. Paths that cannot be examined are left to the opens below.
void refuse_training_on_own_log(const train_options& options) {
    if (!options.print_logs || options.train_file.find('\0') != std::string::npos) return;
    struct stat log_info {}, train_info {};
    if (::stat(APPEND_LOG, &log_info) != 0) return;
    if (::stat(options.train_file.c_str(), &train_info) != 0) return;
    if (log_info.st_dev == train_info.st_dev && log_info.st_ino == train_info.st_ino)
        fail("To Work: the training file is \"log.txt\", to which this run appends its own lines; "
             "it would read them back without end, so no file was opened");
}

// Sets up the training log: `logs_file` is emptied at every call; with
// print_logs the run then marks it as started and keeps its own lines in
// "log.txt", which only ever grows.
unique_fd open_training_log(const train_options& options, const run_hooks& hooks) {
    constexpr int truncate = O_WRONLY | O_CREAT | O_TRUNC;
    unique_fd log = open_file(options.logs_file, truncate, "To Work", hooks);
    if (!options.print_logs) return log;

    log = open_file(options.logs_file, truncate, "Logs File throws an error To Work", hooks);
    // One write, as a marker; a short count is accepted as it is.
    if (::write(log.get(), STARTED_TEXT.data(), STARTED_TEXT.size()) < 0)
        fail_os("Logs File throws an error To Work", errno);

    return open_file(APPEND_LOG, O_WRONLY | O_CREAT | O_APPEND, "To Work", hooks);
}

// One read of at most TRAIN_CHUNK_SIZE bytes; whatever it delivers is the
// chunk, and 0 means the file is exhausted. Reads are not retried: a signal
// that interrupts one is either the host asking to stop, or a failure.
std::size_t read_chunk(int fd, char* buffer, const run_hooks& hooks) {
    ssize_t got = ::read(fd, buffer, TRAIN_CHUNK_SIZE);
    if (got < 0) {
        int err = errno;
        if (err == EINTR) check_stop(hooks);
        fail_os("To Work", err);
    }
    return static_cast<std::size_t>(got);
}

}  // namespace

void train(Data& data, const train_options& options, const run_hooks& hooks) {
    register_oov(data);
    refuse_log_over_training_file(options);
    refuse_training_on_own_log(options);
    unique_fd log = open_training_log(options, hooks);
    unique_fd input = open_file(options.train_file, O_RDONLY, "Train File Not Existed", hooks);

    // Allocated once per call and reused; its bytes need no initialising.
    auto buffer = std::make_unique_for_overwrite<char[]>(TRAIN_CHUNK_SIZE);
    console_line(hooks.console_fd, "Just Started\n");
    pair_engine::spare_arrays spare;

    for (std::uint32_t chunk_index = 0;; ++chunk_index) {
        check_stop(hooks);
        std::size_t length = read_chunk(input.get(), buffer.get(), hooks);
        if (length == 0) break;

        // Each chunk is decoded by itself: a character cut by the border
        // becomes U+FFFD on both sides rather than being joined.
        token_sequence tokens;
        {
            // A chunk that is valid UTF-8 already (most are) is its own
            // decoded text: no 3 MB copy.
            const std::string_view bytes{buffer.get(), length};
            if (!check_utf8(bytes)) {
                tokens = tokenize_chunk(data, bytes);
            } else {
                std::string text = decode_utf8_lossy(bytes);
                tokens = tokenize_chunk(data, text);
            }
        }
        // The first chunk of every call learns from scratch; later ones are
        // first brought up to date with what the model already knows.
        learn_from_chunk(data, std::move(tokens), chunk_index != 0, options.print_logs, log.get(),
                         hooks, &spare);
        save_model(data, hooks);
        log_text(log.get(), SEPARATOR_LINE, "To Work");
    }

    // The training file is closed before the log, as the run opened them.
    input.reset();
    log.reset();
}

}  // namespace tolvane
