// The decoders by encoding, and which loops they run. Each encoding's
// decoder lives in its own unit (utf8.cpp, utf16.cpp, utf32.cpp,
// single_byte.cpp); text_kernels.hpp holds what they share.
#include "text.hpp"

#include "../common/text_kernels.hpp"

namespace packweaver {

namespace text_kernels {

// Put together at start-up: each unit's part is a constant, ready by then
// in whatever order the units start.
const std::array<decoder_table, level_count> decoder_tables = gather_tables<decoder_table>(
    utf8_decoders_by_level, utf16_decoders_by_level, utf32_decoders_by_level, single_byte_decoders_by_level);

const decoder_table* active_decoder = &decoder_tables[static_cast<std::size_t>(level_for(text_decoder_path::best))];

}  // namespace text_kernels

status decode_text(text_encoding enc, std::span<const std::uint8_t> bytes, text_sink& sink) {
    switch (enc) {
        case text_encoding::utf8: return decode_utf8(bytes, sink);
        case text_encoding::utf16: return decode_utf16(bytes, sink);
        case text_encoding::utf16le: return decode_utf16_with_endianness(bytes, true, sink);
        case text_encoding::utf16be: return decode_utf16_with_endianness(bytes, false, sink);
        case text_encoding::utf32: return decode_utf32(bytes, sink);
        case text_encoding::utf32le: return decode_utf32_with_endianness(bytes, true, sink);
        case text_encoding::utf32be: return decode_utf32_with_endianness(bytes, false, sink);
        case text_encoding::us_ascii: return decode_us_ascii(bytes, sink);
        case text_encoding::iso_8859_1: return decode_iso_8859_1(bytes, sink);
        case text_encoding::windows_1252: return decode_windows_1252(bytes, sink);
    }
    return value_error("Unknown text encoding");
}

void set_text_decoder_path(text_decoder_path path) noexcept {
    using namespace text_kernels;
    active_decoder = &decoder_tables[static_cast<std::size_t>(level_for(path))];
}

}  // namespace packweaver
