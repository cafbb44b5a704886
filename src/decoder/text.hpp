// Text decoders: bytes -> host text.
//
// Each decoder first validates the whole input, so that the first fault in
// input order decides the message and no partial text is ever produced. Only
// then does it call sink.allocate() once, with the exact length and largest
// code point of the text, and write the code points into that storage as
// units of storage_width(max_char) bytes in native byte order. When the sink
// cannot give the storage the decoder returns pending_error() (the sink has
// recorded why); on any other failure the sink is never called.
#pragma once

#include <cstdint>
#include <span>

#include "../common/error.hpp"
#include "../common/text.hpp"

namespace packweaver {

status decode_utf8(std::span<const std::uint8_t> bytes, text_sink& sink);
status decode_utf16(std::span<const std::uint8_t> bytes, text_sink& sink);  // byte order mark, else big-endian
status decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian, text_sink& sink);
status decode_utf32(std::span<const std::uint8_t> bytes, text_sink& sink);  // byte order mark, else big-endian
status decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian, text_sink& sink);
status decode_us_ascii(std::span<const std::uint8_t> bytes, text_sink& sink);
status decode_iso_8859_1(std::span<const std::uint8_t> bytes, text_sink& sink);
status decode_windows_1252(std::span<const std::uint8_t> bytes, text_sink& sink);

// utf16le/utf16be and utf32le/utf32be go to the fixed-order decoders.
status decode_text(text_encoding enc, std::span<const std::uint8_t> bytes, text_sink& sink);

// Which loops the decoders run: the plain scalar ones, the portable fast paths
// (SSE2 on x86-64), or those plus the AVX2 loops when the processor has them
// (the default). The scalar loops are the reference the others are tested
// against; nothing but tests lowers it.
enum class text_decoder_path : std::uint8_t { scalar, portable, best };
void set_text_decoder_path(text_decoder_path path) noexcept;

}  // namespace packweaver
