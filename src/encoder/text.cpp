// The encoders by encoding, the room they ask for, which loops they run, and
// the errors they share. Each encoding's encoder lives in its own unit
// (utf8.cpp, utf16.cpp, utf32.cpp, single_byte.cpp); text_kernels.hpp holds
// what they share.
#include "text.hpp"

#include <string>

#include "../common/format.hpp"
#include "../common/text_kernels.hpp"

namespace packweaver {

namespace text_kernels {

// Put together at start-up: each unit's part is a constant, ready by then
// in whatever order the units start.
const std::array<encoder_table, level_count> encoder_tables = gather_tables<encoder_table>(
    utf8_encoders_by_level, utf16_encoders_by_level, utf32_encoders_by_level, single_byte_encoders_by_level);

const encoder_table* active_encoder = &encoder_tables[static_cast<std::size_t>(level_for(text_encoder_path::best))];

namespace {

char32_t char_at(const text_view& text, std::size_t i) noexcept {
    const auto* s = static_cast<const u8*>(text.data);
    return text.width == 1 ? load_char<1>(s, i) : text.width == 2 ? load_char<2>(s, i) : load_char<4>(s, i);
}

PW_COLD error not_a_scalar_value(char32_t c, std::size_t index) {
    const std::string where = " at index " + fmt::dec(std::uint64_t{index});
    if (is_surrogate(c)) return value_error("Lone surrogate U+" + fmt::hex(c, 4) + where + " cannot be encoded");
    return value_error("Code point U+" + fmt::hex(c, 4) + where + " is beyond U+10FFFF and cannot be encoded");
}

}  // namespace

PW_COLD error encode_failure(charset set, const text_view& text, std::size_t index) {
    const char32_t c = char_at(text, index);
    // A code point that is no character at all is refused the same way by
    // every encoder, before any character-set rule applies.
    if (!is_scalar_value(c) || set == charset::unicode) return not_a_scalar_value(c, index);
    if (set == charset::windows_1252) return value_error("Failed to encode to Windows-1252");
    std::string message = "Character '";
    fmt::append_utf8(message, c);
    message += "' (U+" + fmt::hex(c, 4) + ") is not valid ";
    message += set == charset::us_ascii ? "US-ASCII" : "ISO-8859-1";
    return value_error(std::move(message));
}

PW_COLD error unsupported_width(unsigned width) {
    return value_error("Unsupported text storage width " + fmt::dec(std::uint64_t{width}));
}

}  // namespace text_kernels

std::size_t encoded_size_bound(text_encoding enc, const text_view& text) noexcept {
    return text_kernels::size_bound(enc, text);
}

status encode_text(text_encoding enc, const text_view& text, byte_sink& sink) {
    switch (enc) {
        case text_encoding::utf8: return encode_utf8(text, sink);
        case text_encoding::utf16: return encode_utf16(text, sink);
        case text_encoding::utf16le: return encode_utf16le(text, sink);
        case text_encoding::utf16be: return encode_utf16be(text, sink);
        case text_encoding::utf32: return encode_utf32(text, sink);
        case text_encoding::utf32le: return encode_utf32le(text, sink);
        case text_encoding::utf32be: return encode_utf32be(text, sink);
        case text_encoding::us_ascii: return encode_us_ascii(text, sink);
        case text_encoding::iso_8859_1: return encode_iso_8859_1(text, sink);
        case text_encoding::windows_1252: return encode_windows_1252(text, sink);
    }
    return value_error("Unknown text encoding");
}

void set_text_encoder_path(text_encoder_path path) noexcept {
    using namespace text_kernels;
    active_encoder = &encoder_tables[static_cast<std::size_t>(level_for(path))];
}

}  // namespace packweaver
