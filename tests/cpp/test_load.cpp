#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "persist/load.hpp"
#include "persist/model_file.hpp"
#include "model/posix_file.hpp"

using namespace tolvane;
using namespace std::string_literals;

namespace {

class scratch_dir : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-load-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string write_file(const std::string& name, const std::string& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string dir;
};

failure load_failure(std::string_view path) {
    try {
        load_model_file(path);
    } catch (const failure& f) {
        return f;
    }
    ADD_FAILURE() << "loaded " << path;
    return {};
}

// The lowest free descriptor: unchanged across a call when the call closed
// everything it opened.
int lowest_free_fd() {
    const int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    return fd;
}

Data sample_model() {
    Data d;
    d.lookup.insert_or_assign(0, "");
    d.lookup.insert_or_assign(1, "a");
    d.lookup.insert_or_assign(2, "\xC3\xA9");
    d.lookup.insert_or_assign(3, "a\xC3\xA9");
    d.merges.insert_or_assign({1, 2}, 3);
    d.unicode_lookup.insert_or_assign("oov", 0);
    d.unicode_lookup.insert_or_assign("a", 1);
    d.unicode_lookup.insert_or_assign("\xC3\xA9", 2);
    return d;
}

extern "C" void ignore_signal(int) {}

// Fires SIGALRM every millisecond without SA_RESTART, so blocking calls of
// this thread return EINTR while it lasts.
class interrupting_timer {
public:
    interrupting_timer() {
        struct sigaction sa {};
        sa.sa_handler = ignore_signal;
        ::sigaction(SIGALRM, &sa, &previous);
        itimerval every_ms{{0, 1000}, {0, 1000}};
        ::setitimer(ITIMER_REAL, &every_ms, nullptr);
    }
    ~interrupting_timer() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &previous, nullptr);
    }

private:
    struct sigaction previous {};
};

// Runs `body` on a thread that never receives SIGALRM.
std::thread unsignalled_thread(std::function<void()> body) {
    sigset_t alarm, old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &old);
    std::thread t(std::move(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

}  // namespace

using LoadModelFile = scratch_dir;

TEST_F(LoadModelFile, LoadsSavedModelAndIgnoresTrailingBytes) {
    const std::string bytes = serialize_model(sample_model());
    for (const std::string& content : {bytes, bytes + "trailing garbage"}) {
        const Data d = load_model_file(write_file("model", content));
        EXPECT_EQ(serialize_model(d), bytes);
    }
    EXPECT_TRUE(load_model_file(write_file("empty", std::string(24, '\0'))).lookup.empty());
}

TEST_F(LoadModelFile, FailuresDescribeTheErrorAndCloseTheFile) {
    ::mkdir((dir + "/a directory").c_str(), 0755);
    struct row { std::string path; std::string holds; };
    const std::vector<row> rows = {
        {dir + "/missing", "Should work: No such file or directory (os error 2, not found)"},
        {dir + "/a directory", "Should work: Is a directory (os error 21, is a directory)"},
        {dir + "/model\0tail"s, "Should work: file name contained an unexpected NUL byte"},
        {write_file("empty", ""), "Should work: short input"},
        {write_file("seven", std::string(7, '\0')), "Should work: short input"},
        {write_file("half", std::string(8, '\0') + std::string(7, '\0')), "Should work: short input"},
        {write_file("cut", serialize_model(sample_model()).substr(0, 60)), "Should work: short input"},
        {write_file("bad key", std::string(16, '\0') + "\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\xFF\0\0"s),
         "Should work: invalid text"},
    };
    const int free_before = lowest_free_fd();
    for (const auto& r : rows) {
        const failure f = load_failure(r.path);
        EXPECT_EQ(f.message.rfind(r.holds, 0), 0u) << f.message;
        EXPECT_EQ(lowest_free_fd(), free_before) << r.path;
    }
    // The NUL check comes before any system call: a file named by the part
    // before the NUL exists, and is still not opened.
    write_file("model", serialize_model(sample_model()));
    EXPECT_NE(load_failure(dir + "/model\0"s).message.find("NUL byte"), std::string::npos);
}

TEST_F(LoadModelFile, OpenReadAndParseFailFromDistinctSites) {
    ::mkdir((dir + "/d").c_str(), 0755);
    const auto open_site = load_failure(dir + "/missing").where.line();
    const auto read_site = load_failure(dir + "/d").where.line();
    const auto parse_site = load_failure(write_file("short", "x")).where.line();
    EXPECT_NE(open_site, read_site);
    EXPECT_NE(read_site, parse_site);
    EXPECT_NE(open_site, parse_site);
}

TEST_F(LoadModelFile, ReadsAPipeOfUnknownSizeThroughInterruptions) {
    // A model larger than any first guess, delivered slowly through a FIFO
    // (whose size the file system does not know) while signals interrupt the
    // open and the reads.
    Data big = sample_model();
    for (token_id id = 4; id < 3000; ++id) big.lookup.insert_or_assign(id, std::string(id % 97, 'z'));
    const std::string bytes = serialize_model(big);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    std::thread writer = unsignalled_thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        for (std::size_t at = 0; at < bytes.size(); at += 20000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(write_all(fd, std::string_view(bytes).substr(at, 20000)), 0);
        }
        ::close(fd);
    });
    Data loaded;
    {
        interrupting_timer timer;
        loaded = load_model_file(fifo);
    }
    writer.join();
    EXPECT_EQ(serialize_model(loaded), bytes);
}

TEST(DescribeOsError, NamesTextNumberAndKind) {
    struct row { int err; std::string want; };
    const std::vector<row> rows = {
        {ENOENT, "No such file or directory (os error 2, not found)"},
        {EACCES, "Permission denied (os error 13, permission denied)"},
        {EISDIR, "Is a directory (os error 21, is a directory)"},
        {ENOSPC, "No space left on device (os error 28, storage full)"},
        {EINTR, "Interrupted system call (os error 4, interrupted)"},
        {ENOTTY, "Inappropriate ioctl for device (os error 25, other)"},
        {WRITE_ZERO, "failed to write whole buffer (write zero)"},
    };
    for (const auto& r : rows) EXPECT_EQ(describe_os_error(r.err), r.want);
    EXPECT_NE(describe_os_error(4321).find("(os error 4321, other)"), std::string::npos);
}

TEST(WriteAll, ReportsTheErrnoOfARefusedWrite) {
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EQ(write_all(full, "abc"), ENOSPC);
    EXPECT_EQ(write_all(full, ""), 0);  // nothing to write is not an error
    ::close(full);
    EXPECT_EQ(write_all(-1, "abc"), EBADF);
}

TEST(WriteAll, DeliversEveryByteThroughShortAndInterruptedWrites) {
    // A pipe holds 64 KiB, so writing 4 MiB to a slow reader makes the kernel
    // accept it in short pieces, and the timer interrupts the blocked writes.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::string bytes(4 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    std::string received;
    std::thread reader = unsignalled_thread([&] {
        char piece[8192];
        ssize_t got;
        while ((got = ::read(ends[0], piece, sizeof piece)) > 0) {
            received.append(piece, static_cast<std::size_t>(got));
            if (received.size() % (256 << 10) < sizeof piece)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int result;
    {
        interrupting_timer timer;
        result = write_all(ends[1], bytes);
    }
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(received == bytes);
}
