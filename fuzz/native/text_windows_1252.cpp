// libFuzzer target: the Windows-1252, byte order mark sniffing included codec, both directions,
// every instruction level against the scalar one and a reference (text_harness.hpp).
#include "text_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using packweaver::text_encoding;
    static const text_encoding encodings[] = {text_encoding::windows_1252};
    return pwfuzz::fuzz_one(encodings, data, size);
}
