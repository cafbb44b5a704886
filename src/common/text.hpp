// How text crosses between the host strings and the text codecs.
//
// Encoders read text as an array of code points stored 1, 2 or 4 bytes wide
// (the host's own compact representation), so no intermediate UTF-8 copy is
// made. Decoders validate their input first, then ask a sink for storage of the
// exact shape of the result and fill it in one go: the host can hand out the
// final string object's buffer, so the decoded text is written exactly once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace packweaver {

// The ten character encodings, in the order the module lists them.
enum class text_encoding : std::uint8_t {
    utf8,
    utf16,
    utf16le,
    utf16be,
    utf32,
    utf32le,
    utf32be,
    us_ascii,
    iso_8859_1,
    windows_1252,
};

struct text_view {
    const void* data = nullptr;
    std::size_t length = 0;       // in code points
    unsigned width = 1;           // bytes per code point: 1, 2 or 4
    bool ascii = false;           // every code point below 0x80 (width 1 only)
};

// The shape of a decoded text: its length in code points and its largest code
// point (0 for the empty text), or any code point of the same storage class:
// below 0x80, below 0x100, below 0x10000, or above. The host keeps a string in
// the narrowest storage its class allows, so only the class matters. A sink
// stores the text with storage_width(max_char) bytes per code point.
struct text_shape {
    std::size_t length = 0;
    char32_t max_char = 0;
};

inline unsigned storage_width(char32_t max_char) noexcept {
    return max_char < 0x100 ? 1u : max_char < 0x10000 ? 2u : 4u;
}

// 0 for ASCII, 1 for Latin-1, 2 for the rest of the BMP, 3 above it.
inline unsigned storage_class(char32_t max_char) noexcept {
    return max_char < 0x80 ? 0u : max_char < 0x100 ? 1u : max_char < 0x10000 ? 2u : 3u;
}

class text_sink {
public:
    // Storage for shape.length code points of storage_width(shape.max_char)
    // bytes each, or nullptr when it cannot be had (the sink records why).
    virtual void* allocate(const text_shape& shape) = 0;

protected:
    ~text_sink() = default;
};

class byte_sink {
public:
    // Room for at least n bytes, or nullptr when it cannot be had.
    virtual std::uint8_t* reserve(std::size_t n) = 0;
    // The first n reserved bytes hold the result.
    virtual void commit(std::size_t n) = 0;

protected:
    ~byte_sink() = default;
};

}  // namespace packweaver
