#include "model/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace tolvane {

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

// Skips a run of ASCII from `i`, eight bytes per step: training checks every
// 3 MB chunk and most text is mostly ASCII.
std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
    while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & HIGH_BITS) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// The outcome of reading one sequence that starts with a byte >= 0x80.
struct step {
    std::size_t length;  // bytes of the sequence, or of its maximal ill-formed subpart
    bool valid;
    bool truncated;      // the input ended while the sequence still looked well-formed
};

// Reads one multi-byte sequence at p[i] by the table of well-formed UTF-8
// sequences. When it is ill-formed, `length` is the longest prefix that could
// still have begun a well-formed sequence (at least 1): that prefix is the
// maximal subpart that becomes one U+FFFD.
step read_sequence(const unsigned char* p, std::size_t i, std::size_t n) {
    const unsigned char lead = p[i];
    std::size_t need;                      // continuation bytes after the lead
    unsigned char low = 0x80, high = 0xBF; // range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;       // no overlong three-byte forms
        if (lead == 0xED) high = 0x9F;      // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;       // no overlong four-byte forms
        if (lead == 0xF4) high = 0x8F;      // nothing above U+10FFFF
    } else {
        return {1, false, false};           // continuation byte, C0, C1, F5..FF
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= n) return {k, false, true};
        const unsigned char b = p[i + k];
        const bool fits = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        if (!fits) return {k, false, false};
    }
    return {need + 1, true, false};
}

}  // namespace

std::optional<utf8_error> check_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (true) {
        i = skip_ascii(p, i, n);
        if (i == n) return std::nullopt;
        const step s = read_sequence(p, i, n);
        if (!s.valid) {
            if (s.truncated) return utf8_error{i, std::nullopt};
            return utf8_error{i, s.length};
        }
        i += s.length;
    }
}

std::string decode_utf8_lossy(std::string_view bytes) {
    constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    while (true) {
        const auto error = check_utf8(bytes);
        if (!error) {
            out.append(bytes);
            return out;
        }
        out.append(bytes.substr(0, error->valid_up_to));
        out.append(REPLACEMENT);
        // An incomplete sequence runs to the end, so it is the last subpart.
        if (!error->error_len) return out;
        bytes.remove_prefix(error->valid_up_to + *error->error_len);
    }
}

}  // namespace tolvane
