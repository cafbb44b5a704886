// libFuzzer target: all ten text codecs on one input, so that an input found
// for one codec is tried on every other. Each codec runs both directions,
// every instruction level against the scalar one and a reference
// (text_harness.hpp).
#include "text_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using packweaver::text_encoding;
    static const text_encoding encodings[] = {
        text_encoding::utf8,    text_encoding::utf16,    text_encoding::utf16le,    text_encoding::utf16be,
        text_encoding::utf32,   text_encoding::utf32le,  text_encoding::utf32be,    text_encoding::us_ascii,
        text_encoding::iso_8859_1, text_encoding::windows_1252,
    };
    return pwfuzz::fuzz_one(encodings, data, size);
}
