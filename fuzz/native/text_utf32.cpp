// libFuzzer target: the UTF-32 with a byte order mark, little-endian and big-endian codec, both
// directions, every instruction level against the scalar one and a reference (text_harness.hpp).
#include "text_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using packweaver::text_encoding;
    static const text_encoding encodings[] = {text_encoding::utf32, text_encoding::utf32le, text_encoding::utf32be};
    return pwfuzz::fuzz_one(encodings, data, size);
}
