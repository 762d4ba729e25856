// Reading a model file from disk.
#pragma once

#include <string_view>
#include <variant>

#include "model/data.hpp"
#include "persist/extras.hpp"
#include "persist/model_file.hpp"

namespace tolvane {

// Opens, reads whole and parses `path` (which may hold a NUL byte: refused
// before any system call). Every failure is "Should work: <description>".
Data load_model_file(std::string_view path);

// The same, except that content which is no model comes back as its
// description instead of failing. The system's refusals fail with kind
// os_error (os_errno set), a NUL in the path with invalid_value.
std::variant<Data, model_read_error> read_model_file(std::string_view path);

// The same with the extension block of a trainer model read too.
std::variant<model_with_extras, model_read_error> read_model_file_with_extras(std::string_view path);

// A path that names no regular file, refused by read_regular_model_file_with_extras:
// `kind` says what it is ("a character device", see file_kind.hpp).
struct irregular_file {
    const char* kind;
};

// read_model_file_with_extras for a path that must name a regular file: a
// device such as /dev/zero would be read until memory runs out, a named pipe
// would block (and be used up). Such a file is refused before a byte is read.
// A directory is read as any file, so the system's own error (is a
// directory) comes back as before.
std::variant<model_with_extras, model_read_error, irregular_file> read_regular_model_file_with_extras(
    std::string_view path);

}  // namespace tolvane
