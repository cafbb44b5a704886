// Text encoders: host text (code points stored 1, 2 or 4 bytes wide) -> bytes.
//
// Each encoder asks the sink once for encoded_size_bound() bytes, writes the
// encoding straight into them and commits the bytes it wrote. On failure it
// returns the error and commits nothing. A sink that cannot give the room
// makes the encoder return pending_error() (the sink has recorded why).
//
// The host's text may hold surrogate code points (U+D800-U+DFFF) that are not
// Unicode scalar values. No encoder writes them: each refuses the first one
// with a ValueError "Lone surrogate U+D800 at index 3 cannot be encoded"
// (index in characters). In the single-byte encoders the first character
// that cannot be encoded decides the message, whether it is a surrogate or
// merely outside the character set. A view's data need not be aligned to its
// width.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/error.hpp"
#include "../common/text.hpp"

namespace packweaver {

// Bytes the encoding of `text` takes at most. Exact except for UTF-8 of text
// not marked ASCII (2, 3 or 4 bytes a character for 1-, 2- or 4-byte
// storage) and UTF-16 of 4-byte storage (4 bytes a character). Saturates at
// SIZE_MAX.
std::size_t encoded_size_bound(text_encoding enc, const text_view& text) noexcept;

status encode_utf8(const text_view& text, byte_sink& sink);
status encode_utf16(const text_view& text, byte_sink& sink);  // FE FF, then big-endian units
status encode_utf16le(const text_view& text, byte_sink& sink);
status encode_utf16be(const text_view& text, byte_sink& sink);
status encode_utf32(const text_view& text, byte_sink& sink);  // 00 00 FE FF, then big-endian units
status encode_utf32le(const text_view& text, byte_sink& sink);
status encode_utf32be(const text_view& text, byte_sink& sink);
status encode_us_ascii(const text_view& text, byte_sink& sink);
status encode_iso_8859_1(const text_view& text, byte_sink& sink);
status encode_windows_1252(const text_view& text, byte_sink& sink);

status encode_text(text_encoding enc, const text_view& text, byte_sink& sink);

// Which loops the encoders run: the plain scalar ones, the portable fast paths
// (SSE2 on x86-64, word-at-a-time elsewhere), or those plus the AVX2 loops
// when the processor has them (the default). The scalar loops are the
// reference the others are tested against; nothing but tests lowers it.
enum class text_encoder_path : std::uint8_t { scalar, portable, best };
void set_text_encoder_path(text_encoder_path path) noexcept;

}  // namespace packweaver
