#include "persist/file_kind.hpp"

#include <cerrno>
#include <climits>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "model/failure.hpp"
#include "model/posix_file.hpp"

namespace tolvane {

const char* irregular_kind(unsigned mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

namespace {

// The system's own limit on links followed while resolving one name.
constexpr int MAX_LINKS = 40;

[[noreturn]] void fail_resolve(int err) {
    fail_as(failure_kind::os_error, "Should work: " + describe_os_error(err), err);
}

std::string link_target(const std::string& link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) fail_resolve(errno);
    target.resize(static_cast<std::size_t>(n));
    if (!target.empty() && target.front() == '/') return target;
    const auto slash = link.rfind('/');
    return slash == std::string::npos ? target : link.substr(0, slash + 1) + target;
}

}  // namespace

save_target resolve_save_target(std::string_view path) {
    save_target result{std::string{path}};
    for (int links = 0;; ++links) {
        struct stat st;
        if (::lstat(result.path.c_str(), &st) != 0) {
            if (errno == ENOENT) return result;  // made by the save
            fail_resolve(errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            result.irregular = irregular_kind(st.st_mode);
            return result;
        }
        if (links == MAX_LINKS) fail_resolve(ELOOP);
        result.path = link_target(result.path);
    }
}

}  // namespace tolvane
