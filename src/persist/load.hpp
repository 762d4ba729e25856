// Reading a model file from disk.
#pragma once

#include <string_view>

#include "model/data.hpp"

namespace tolvane {

// Opens, reads whole and parses `path` (which may hold a NUL byte: refused
// before any system call). Every failure is "Should work: <description>".
Data load_model_file(std::string_view path);

}  // namespace tolvane
