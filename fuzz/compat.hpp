// Forced into every fuzz translation unit (-include). The fuzz build uses
// clang 14 for libFuzzer, and clang 14 lacks the builtin that the standard
// library's <source_location> needs, so that header declares nothing there.
// Failures carry their source location, so the fuzz build supplies the same
// interface from the older builtins, which give the same file and line.
#pragma once

#include <cstdint>
#include <source_location>
#include <version>

#if !defined(__cpp_lib_source_location)
namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             unsigned line = __builtin_LINE(),
                                             unsigned column = __builtin_COLUMN()) noexcept {
        source_location here;
        here.file = file;
        here.func = function;
        here.ln = line;
        here.col = column;
        return here;
    }
    constexpr source_location() noexcept = default;
    constexpr const char* file_name() const noexcept { return file; }
    constexpr const char* function_name() const noexcept { return func; }
    constexpr std::uint_least32_t line() const noexcept { return ln; }
    constexpr std::uint_least32_t column() const noexcept { return col; }

private:
    const char* file = "";
    const char* func = "";
    std::uint_least32_t ln = 0;
    std::uint_least32_t col = 0;
};
}  // namespace std
#endif
