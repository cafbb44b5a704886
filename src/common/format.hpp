// Number formatting for error messages (cold paths only).
#pragma once

#include <cstdint>
#include <string>

#include "bits.hpp"

namespace packweaver::fmt {

inline std::string dec(std::int64_t v) { return std::to_string(v); }
inline std::string dec(std::uint64_t v) { return std::to_string(v); }
inline std::string dec(u128 v) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return digits;
}

// Upper-case hexadecimal, zero-padded to at least `width` digits.
inline std::string hex(std::uint64_t v, int width) {
    static constexpr char digits[] = "0123456789ABCDEF";
    char buf[17];
    int n = 0;
    do {
        buf[16 - n++] = digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    std::string out;
    if (n < width) out.assign(static_cast<std::size_t>(width - n), '0');
    out.append(buf + 17 - n, static_cast<std::size_t>(n));
    return out;
}

// Append the UTF-8 form of a Unicode scalar value.
inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace packweaver::fmt
