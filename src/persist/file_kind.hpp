// What a named file is, for the companion's files: a model is read only from
// a regular file (a device may never end, a pipe would be used up), and saved
// only where a regular file is or may be made.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// "a directory", "a character device", "a block device", "a named pipe",
// "a socket", or nullptr for a regular file (also for a mode of no known kind,
// "not a regular file").
const char* irregular_kind(unsigned mode);

// Where saving to `path` puts the file. A symbolic link is written through:
// it is followed (a relative target from the link's own folder, 40 links at
// most) to the name it ends at, which may not exist yet, so the link keeps
// naming the saved model. `irregular` is that file's kind when it exists and
// is no regular file; the save is then refused. Fails with kind os_error
// when the system cannot tell (a loop of links, a folder that cannot be read).
struct save_target {
    std::string path;
    const char* irregular = nullptr;
};
save_target resolve_save_target(std::string_view path);

}  // namespace tolvane
