// libFuzzer entry point for the text codecs. The input goes to every decoder
// on every kernel path, and, read as code points 1, 2 or 4 bytes wide, to
// every encoder on every path; all paths must agree, and whatever encodes
// must decode back to as many characters. Build with clang, from the
// repository root:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//       tests/native/fuzz_text.cpp src/encoder/text.cpp src/decoder/text.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "decoder/text.hpp"
#include "encoder/text.hpp"

using namespace packweaver;

namespace {

struct fuzz_byte_sink final : byte_sink {
    std::unique_ptr<std::uint8_t[]> room;
    std::size_t committed = 0;
    std::uint8_t* reserve(std::size_t n) override {
        room.reset(new std::uint8_t[n]);
        return room.get();
    }
    void commit(std::size_t n) override { committed = n; }
};

struct fuzz_text_sink final : text_sink {
    std::unique_ptr<std::uint8_t[]> room;
    std::size_t size = 0;
    text_shape shape{};
    void* allocate(const text_shape& s) override {
        shape = s;
        size = s.length * storage_width(s.max_char);
        room.reset(new std::uint8_t[size]);
        return room.get();
    }
};

// ok flag, message, then the output bytes.
std::string run_decoder(text_encoding enc, const std::uint8_t* data, std::size_t size) {
    fuzz_text_sink sink;
    const status st = decode_text(enc, {data, size}, sink);
    std::string r(1, st.ok() ? 'O' : 'E');
    if (!st.ok()) return r.append(st.err().message);
    r.append(std::to_string(sink.shape.max_char)).append(":");
    return r.append(reinterpret_cast<const char*>(sink.room.get()), sink.size);
}

std::string run_encoder(text_encoding enc, const text_view& text) {
    fuzz_byte_sink sink;
    const status st = encode_text(enc, text, sink);
    std::string r(1, st.ok() ? 'O' : 'E');
    if (!st.ok()) return r.append(st.err().message);
    return r.append(reinterpret_cast<const char*>(sink.room.get()), sink.committed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const text_decoder_path decoder_paths[] = {text_decoder_path::scalar, text_decoder_path::portable,
                                               text_decoder_path::best};
    const text_encoder_path encoder_paths[] = {text_encoder_path::scalar, text_encoder_path::portable,
                                               text_encoder_path::best};
    for (int e = 0; e < 10; ++e) {
        const auto enc = static_cast<text_encoding>(e);
        std::string first;
        for (auto p : decoder_paths) {
            set_text_decoder_path(p);
            const std::string r = run_decoder(enc, data, size);
            if (p == text_decoder_path::scalar) first = r;
            else if (r != first) std::abort();
        }
    }
    if (size == 0) return 0;
    // The first byte picks the storage width; the rest are the code points.
    const unsigned width = 1u << (data[0] % 3);
    std::vector<std::uint8_t> units(data + 1, data + 1 + (size - 1) / width * width);
    bool ascii = width == 1;
    for (auto b : units) ascii &= b < 0x80;
    const text_view text{units.data(), units.size() / width, width, ascii};
    for (int e = 0; e < 10; ++e) {
        const auto enc = static_cast<text_encoding>(e);
        std::string first;
        for (auto p : encoder_paths) {
            set_text_encoder_path(p);
            const std::string r = run_encoder(enc, text);
            if (p == text_encoder_path::scalar) first = r;
            else if (r != first) std::abort();
        }
        if (first[0] != 'O') continue;
        // Windows-1252 output may happen to start like a byte order mark.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(first.data() + 1);
        const std::size_t n = first.size() - 1;
        if (enc == text_encoding::windows_1252 && n >= 2 && (bytes[0] == 0xEF || bytes[0] == 0xFE || bytes[0] == 0xFF))
            continue;
        fuzz_text_sink back;
        if (!decode_text(enc, {bytes, n}, back).ok() || back.shape.length != text.length) std::abort();
    }
    set_text_encoder_path(text_encoder_path::best);
    set_text_decoder_path(text_decoder_path::best);
    return 0;
}
