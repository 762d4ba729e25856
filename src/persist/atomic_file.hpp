// Replacing a file so that no reader, and no crash, ever sees half of it.
#pragma once

#include <string_view>

namespace tolvane {

// Writes `bytes` beside `path`, syncs them, then renames the result over
// `path` in one step: a failure or a kill in the middle leaves whatever was
// at `path` before. Fails with "Should work: <os error>" (kind os_error, or
// invalid_value for a path holding a NUL byte).
void replace_file_atomically(std::string_view path, std::string_view bytes);

}  // namespace tolvane
