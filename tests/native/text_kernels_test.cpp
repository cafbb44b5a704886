// The text codecs' documented cases, exhaustive UTF-8 validity checks, and
// randomized differential tests of the fast loops (portable, AVX2) against
// the scalar ones over many lengths, alignments and fault positions.
// Exits non-zero if any check fails. The first argument sets the number of
// random rounds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "common/text.hpp"
#include "common/text_kernels.hpp"
#include "common/windows1252.hpp"
#include "decoder/text.hpp"
#include "encoder/text.hpp"

using namespace packweaver;
using bytes = std::vector<std::uint8_t>;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) return;
    if (++failures <= 40) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

std::string hex_of(const bytes& b) {
    std::string s;
    for (auto x : b) s += fmt::hex(x, 2) + " ";
    return s;
}

std::string hex_of(const std::u32string& t) {
    std::string s;
    for (auto c : t) s += fmt::hex(c, 4) + " ";
    return s;
}

// Sinks hand out exactly the room asked for (so the sanitizer sees any
// overrun), pre-filled with junk, and record how they were used.
struct recording_byte_sink final : byte_sink {
    std::unique_ptr<std::uint8_t[]> room;
    std::size_t reserved = 0, committed = 0;
    int reserves = 0, commits = 0;
    bool refuse = false;
    std::uint8_t* reserve(std::size_t n) override {
        ++reserves;
        if (refuse) return nullptr;
        room.reset(new std::uint8_t[n]);
        std::memset(room.get(), 0xCD, n);
        reserved = n;
        return room.get();
    }
    void commit(std::size_t n) override {
        ++commits;
        committed = n;
    }
};

struct recording_text_sink final : text_sink {
    std::unique_ptr<std::uint8_t[]> room;
    text_shape shape{};
    int allocations = 0;
    bool refuse = false;
    void* allocate(const text_shape& s) override {
        ++allocations;
        shape = s;
        if (refuse) return nullptr;
        const std::size_t n = s.length * storage_width(s.max_char);
        room.reset(new std::uint8_t[n]);
        std::memset(room.get(), 0xCD, n);
        return room.get();
    }
    std::u32string text() const {
        std::u32string t;
        const unsigned w = storage_width(shape.max_char);
        for (std::size_t k = 0; k < shape.length; ++k) {
            std::uint32_t v = 0;
            if (w == 1) v = room[k];
            if (w == 2) { std::uint16_t u; std::memcpy(&u, room.get() + 2 * k, 2); v = u; }
            if (w == 4) std::memcpy(&v, room.get() + 4 * k, 4);
            t.push_back(static_cast<char32_t>(v));
        }
        return t;
    }
};

// What one call produced, in a form two runs can be compared by.
struct run_result {
    bool ok = false;
    std::string message;
    bytes out;            // encoders
    std::u32string text;  // decoders
    text_shape shape{};
    bool operator==(const run_result& o) const {
        return ok == o.ok && message == o.message && out == o.out && text == o.text &&
               shape.length == o.shape.length && storage_class(shape.max_char) == storage_class(o.shape.max_char);
    }
    std::string describe() const {
        if (!ok) return "error '" + message + "'";
        std::string s = "ok [" + hex_of(out) + "] text [" + hex_of(text) + "] max " + fmt::hex(shape.max_char, 4);
        return s.size() > 160 ? s.substr(0, 160) + "..." : s;
    }
};

using decoder_fn = std::function<status(std::span<const std::uint8_t>, text_sink&)>;
using encoder_fn = std::function<status(const text_view&, byte_sink&)>;

// Decodes from a copy placed `misalign` bytes into a fresh buffer.
run_result decode(const decoder_fn& f, const bytes& in, std::size_t misalign = 0) {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[in.size() + misalign]);
    if (!in.empty()) std::memcpy(buf.get() + misalign, in.data(), in.size());
    recording_text_sink sink;
    status st = f({buf.get() + misalign, in.size()}, sink);
    run_result r;
    r.ok = st.ok();
    if (!st.ok()) {
        r.message = st.err().message;
        check(sink.allocations == 0, "a failed decode called the sink: " + r.message);
        check(st.err().kind == error_kind::value_error, "decode error kind: " + r.message);
        return r;
    }
    check(sink.allocations == 1, "decode allocated " + std::to_string(sink.allocations) + " times");
    r.text = sink.text();
    r.shape = sink.shape;
    char32_t max = 0;
    for (char32_t c : r.text) max = std::max(max, c);
    check(storage_class(max) == storage_class(sink.shape.max_char), "shape max " + fmt::hex(sink.shape.max_char, 4) + " but text max " +
                                          fmt::hex(max, 4) + " for [" + hex_of(in) + "]");
    return r;
}

// The text stored `width` bytes per code point, `misalign` bytes into a buffer.
struct stored_text {
    std::unique_ptr<std::uint8_t[]> buf;
    text_view view;
};

stored_text store(const std::u32string& t, unsigned width, std::size_t misalign = 0) {
    stored_text s{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[t.size() * width + misalign]), {}};
    bool ascii = true;
    for (std::size_t k = 0; k < t.size(); ++k) {
        const std::uint32_t c = t[k];
        ascii &= c < 0x80;
        if (width == 1) s.buf[misalign + k] = static_cast<std::uint8_t>(c);
        if (width == 2) { const auto u = static_cast<std::uint16_t>(c); std::memcpy(&s.buf[misalign + 2 * k], &u, 2); }
        if (width == 4) std::memcpy(&s.buf[misalign + 4 * k], &c, 4);
    }
    s.view = {s.buf.get() + misalign, t.size(), width, width == 1 && ascii};
    return s;
}

unsigned narrowest_width(const std::u32string& t) {
    char32_t max = 0;
    for (char32_t c : t) max = std::max(max, c);
    return storage_width(max);
}

run_result encode(const encoder_fn& f, const std::u32string& t, unsigned width, std::size_t misalign = 0) {
    const stored_text s = store(t, width, misalign);
    recording_byte_sink sink;
    status st = f(s.view, sink);
    run_result r;
    r.ok = st.ok();
    check(sink.reserves == 1, "encoder reserved " + std::to_string(sink.reserves) + " times");
    if (!st.ok()) {
        r.message = st.err().message;
        check(sink.commits == 0, "a failed encode committed: " + r.message);
        return r;
    }
    check(sink.commits == 1 && sink.committed <= sink.reserved, "encoder commit");
    r.out.assign(sink.room.get(), sink.room.get() + sink.committed);
    return r;
}

const struct {
    const char* name;
    text_encoding enc;
} encodings[] = {
    {"utf8", text_encoding::utf8},         {"utf16", text_encoding::utf16},
    {"utf16le", text_encoding::utf16le},   {"utf16be", text_encoding::utf16be},
    {"utf32", text_encoding::utf32},       {"utf32le", text_encoding::utf32le},
    {"utf32be", text_encoding::utf32be},   {"us_ascii", text_encoding::us_ascii},
    {"iso_8859_1", text_encoding::iso_8859_1}, {"windows_1252", text_encoding::windows_1252},
};

encoder_fn encoder_for(text_encoding e) {
    return [e](const text_view& t, byte_sink& s) { return encode_text(e, t, s); };
}
decoder_fn decoder_for(text_encoding e) {
    return [e](std::span<const std::uint8_t> b, text_sink& s) { return decode_text(e, b, s); };
}

// ---------------------------------------------------------------------------
// Documented cases.

const std::string utf8_invalid = "Invalid UTF-8 bytes: invalid utf-8 sequence of ";
const std::string utf8_incomplete = "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index ";
const std::string lone_surrogate = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";

void test_encoder_cases() {
    struct row {
        text_encoding enc;
        std::u32string text;
        bytes out;            // expected bytes when message is empty
        std::string message;  // expected error
    };
    const row rows[] = {
        {text_encoding::utf16, U"", {0xFE, 0xFF}, ""},
        {text_encoding::utf16be, U"", {}, ""},
        {text_encoding::utf16le, U"", {}, ""},
        {text_encoding::utf32, U"", {0, 0, 0xFE, 0xFF}, ""},
        {text_encoding::utf8, U"", {}, ""},
        {text_encoding::windows_1252, U"", {}, ""},
        {text_encoding::utf16, U"A", {0xFE, 0xFF, 0, 0x41}, ""},
        {text_encoding::utf16le, U"A", {0x41, 0}, ""},
        {text_encoding::utf32le, U"A", {0x41, 0, 0, 0}, ""},
        {text_encoding::utf32be, U"A", {0, 0, 0, 0x41}, ""},
        {text_encoding::utf32, U"A", {0, 0, 0xFE, 0xFF, 0, 0, 0, 0x41}, ""},
        {text_encoding::utf16be, U"\U0001F600", {0xD8, 0x3D, 0xDE, 0x00}, ""},
        {text_encoding::utf16le, U"\U0001F600", {0x3D, 0xD8, 0x00, 0xDE}, ""},
        {text_encoding::utf32be, U"\U0001F600", {0x00, 0x01, 0xF6, 0x00}, ""},
        {text_encoding::utf8, U"\U0001F600", {0xF0, 0x9F, 0x98, 0x80}, ""},
        {text_encoding::utf8, U"\u00E9", {0xC3, 0xA9}, ""},
        {text_encoding::utf8, U"\u07FF\u0800\uFFFF\U00010000\U0010FFFF",
         {0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF, 0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}, ""},
        {text_encoding::us_ascii, U"h\u00E9llo\u20AC", {}, "Character '\u00E9' (U+00E9) is not valid US-ASCII"},
        {text_encoding::us_ascii, U"\u007F", {0x7F}, ""},
        {text_encoding::iso_8859_1, U"\u00E9\u00FF", {0xE9, 0xFF}, ""},
        {text_encoding::iso_8859_1, U"\u20AC", {}, "Character '\u20AC' (U+20AC) is not valid ISO-8859-1"},
        {text_encoding::iso_8859_1, U"a\u0100", {}, "Character '\u0100' (U+0100) is not valid ISO-8859-1"},
        {text_encoding::iso_8859_1, U"\U0001F600", {}, "Character '\U0001F600' (U+1F600) is not valid ISO-8859-1"},
        {text_encoding::windows_1252, U"\u20AC\u0178\u0081\u00E9\u2122", {0x80, 0x9F, 0x81, 0xE9, 0x99}, ""},
        {text_encoding::windows_1252, U"a\u0080", {}, "Failed to encode to Windows-1252"},
        {text_encoding::windows_1252, U"\u0151", {}, "Failed to encode to Windows-1252"},
        {text_encoding::windows_1252, U"\U0001F600", {}, "Failed to encode to Windows-1252"},
        // Host text may hold surrogates, which no encoder writes; the first
        // character that cannot be encoded decides the message.
        {text_encoding::utf8, U"A\xD800", {}, "Lone surrogate U+D800 at index 1 cannot be encoded"},
        {text_encoding::utf16be, U"\xDFFF", {}, "Lone surrogate U+DFFF at index 0 cannot be encoded"},
        {text_encoding::utf32le, U"ab\xDC00", {}, "Lone surrogate U+DC00 at index 2 cannot be encoded"},
        {text_encoding::us_ascii, U"\xD800\u00E9", {}, "Lone surrogate U+D800 at index 0 cannot be encoded"},
        {text_encoding::us_ascii, U"\u00E9\xD800", {}, "Character '\u00E9' (U+00E9) is not valid US-ASCII"},
        {text_encoding::windows_1252, U"\u20AC\xDBFF", {}, "Lone surrogate U+DBFF at index 1 cannot be encoded"},
    };
    for (const row& r : rows) {
        for (unsigned width : {1u, 2u, 4u}) {
            if (width < narrowest_width(r.text)) continue;
            const run_result got = encode(encoder_for(r.enc), r.text, width);
            const std::string what = "encode enc " + std::to_string(int(r.enc)) + " width " + std::to_string(width) +
                                     " [" + hex_of(r.text) + "]: " + got.describe();
            if (r.message.empty()) check(got.ok && got.out == r.out, what);
            else check(!got.ok && got.message == r.message, what + ", want " + r.message);
        }
    }
}

void test_decoder_cases() {
    struct row {
        text_encoding enc;
        bytes in;
        std::u32string text;
        std::string message;
    };
    const row rows[] = {
        {text_encoding::utf16, {}, U"", "UTF-16 requires an even number of bytes with at least 2 bytes"},
        {text_encoding::utf16, {0x41}, U"", "UTF-16 requires an even number of bytes with at least 2 bytes"},
        {text_encoding::utf16, {0xFE, 0xFF, 0}, U"", "UTF-16 requires an even number of bytes with at least 2 bytes"},
        {text_encoding::utf16be, {}, U"", ""},
        {text_encoding::utf16, {0xFE, 0xFF}, U"", ""},
        {text_encoding::utf16, {0xFF, 0xFE}, U"", ""},
        {text_encoding::utf16, {0x00, 0x41}, U"A", ""},
        {text_encoding::utf16, {0xFF, 0xFE, 0x41, 0x00}, U"A", ""},
        {text_encoding::utf16, {0xFE, 0xFF, 0x00, 0x41}, U"A", ""},
        {text_encoding::utf16, {0xFE, 0xFF, 0xFE, 0xFF}, U"\uFEFF", ""},
        {text_encoding::utf16be, {0xFE, 0xFF, 0x00, 0x41}, U"\uFEFFA", ""},
        {text_encoding::utf16le, {0x41, 0x00, 0x42}, U"", "UTF-16 requires an even number of bytes"},
        {text_encoding::utf16be, {0xD8, 0x00}, U"", lone_surrogate},
        {text_encoding::utf16be, {0xDC, 0x00, 0xD8, 0x00}, U"", lone_surrogate},
        {text_encoding::utf16be, {0xD8, 0x3D, 0x00, 0x41}, U"", lone_surrogate},
        {text_encoding::utf16be, {0xD8, 0x3D, 0xD8, 0x3D, 0xDE, 0x00}, U"", lone_surrogate},
        {text_encoding::utf16be, {0xD8, 0x3D, 0xDE, 0x00}, U"\U0001F600", ""},
        {text_encoding::utf16le, {0xFF, 0xDB, 0xFF, 0xDF}, U"\U0010FFFF", ""},
        {text_encoding::utf32, {0, 0, 0xFE, 0xFF}, U"", ""},
        {text_encoding::utf32, {0xFF, 0xFE, 0, 0, 0x41, 0, 0, 0}, U"A", ""},
        {text_encoding::utf32, {0, 0, 0, 0x41}, U"A", ""},
        {text_encoding::utf32, {0, 0, 0, 0x41, 0}, U"", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"},
        {text_encoding::utf32, {}, U"", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"},
        {text_encoding::utf32le, {}, U"", ""},
        {text_encoding::utf32le, {1, 2, 3}, U"", "UTF-32 requires a multiple of 4 bytes"},
        {text_encoding::utf32be, {0x00, 0x11, 0x00, 0x00}, U"", "Invalid UTF-32 codepoint: 0x00110000"},
        {text_encoding::utf32le, {0x00, 0xD8, 0x00, 0x00}, U"", "Invalid UTF-32 codepoint: 0x0000D800"},
        {text_encoding::utf32le, {0x41, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, U"", "Invalid UTF-32 codepoint: 0xFFFFFFFF"},
        {text_encoding::utf32be, {0x00, 0x10, 0xFF, 0xFF}, U"\U0010FFFF", ""},
        {text_encoding::utf8, {0xEF, 0xBB, 0xBF, 0x41}, U"\uFEFFA", ""},
        {text_encoding::utf8, {0xFF}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0x41, 0xE2, 0x82}, U"", utf8_incomplete + "1"},
        {text_encoding::utf8, {0x41, 0xE2, 0x82, 0x41}, U"", utf8_invalid + "2 bytes from index 1"},
        {text_encoding::utf8, {0xE0, 0x80, 0x80}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xED, 0xA0, 0x80}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xF0, 0x9F, 0x98, 0x41}, U"", utf8_invalid + "3 bytes from index 0"},
        {text_encoding::utf8, {0xF0, 0x9F, 0x98}, U"", utf8_incomplete + "0"},
        {text_encoding::utf8, {0x41, 0xC3}, U"", utf8_incomplete + "1"},
        // A second byte out of range at the very end is still invalid, not incomplete.
        {text_encoding::utf8, {0x41, 0xE0, 0x80}, U"", utf8_invalid + "1 bytes from index 1"},
        {text_encoding::utf8, {0xF4, 0x90, 0x80, 0x80}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xF0, 0x8F, 0xBF, 0xBF}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xC1, 0xBF}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xC3, 0xA9, 0xA9}, U"", utf8_invalid + "1 bytes from index 2"},
        {text_encoding::utf8, {0xF5, 0x80, 0x80, 0x80}, U"", utf8_invalid + "1 bytes from index 0"},
        {text_encoding::utf8, {0xC3, 0xA9, 0x7F}, U"\u00E9\u007F", ""},
        {text_encoding::us_ascii, {0x41, 0x80, 0xFF}, U"", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"},
        {text_encoding::us_ascii, {0x7F}, U"\u007F", ""},
        {text_encoding::iso_8859_1, {0x80, 0xFF}, U"\u0080\u00FF", ""},
        {text_encoding::windows_1252, {0x80, 0x81, 0x9F, 0xA0}, U"\u20AC\u0081\u0178\u00A0", ""},
        {text_encoding::windows_1252, {0x8D, 0x8F, 0x90, 0x9D}, U"\u008D\u008F\u0090\u009D", ""},
        {text_encoding::windows_1252, {0xEF, 0xBB, 0xBF, 0x41}, U"A", ""},
        {text_encoding::windows_1252, {0xFF, 0xFE, 0x41, 0x00}, U"A", ""},
        {text_encoding::windows_1252, {0xFE, 0xFF, 0x00, 0x41}, U"A", ""},
        {text_encoding::windows_1252, {0xFF, 0xFE}, U"", ""},
        {text_encoding::windows_1252, {0xEF, 0xBB}, U"\u00EF\u00BB", ""},
        {text_encoding::windows_1252, {0xFE, 0xFF, 0x00}, U"", "Failed to decode Windows-1252 bytes"},
        {text_encoding::windows_1252, {0xEF, 0xBB, 0xBF, 0xFF}, U"", "Failed to decode Windows-1252 bytes"},
        {text_encoding::windows_1252, {0xFF, 0xFE, 0x00, 0xD8}, U"", "Failed to decode Windows-1252 bytes"},
    };
    for (const row& r : rows) {
        const run_result got = decode(decoder_for(r.enc), r.in);
        const std::string what =
            "decode enc " + std::to_string(int(r.enc)) + " [" + hex_of(r.in) + "]: " + got.describe();
        if (r.message.empty()) check(got.ok && got.text == r.text, what + ", want [" + hex_of(r.text) + "]");
        else check(!got.ok && got.message == r.message, what + ", want " + r.message);
    }

    // Every byte outside a byte order mark comes back through windows-1252.
    bytes all;
    for (unsigned b = 0x80; b < 0x100; ++b) all.push_back(static_cast<std::uint8_t>(b));
    const run_result text = decode(decode_windows_1252, all);
    const run_result again = encode(encode_windows_1252, text.text, 2);
    check(text.ok && again.ok && again.out == all, "windows-1252 round trip of 80-FF");
}

void test_sink_protocol() {
    const stored_text t = store(U"abc\u00E9", 1);
    for (const auto& e : encodings) {
        recording_byte_sink sink;
        sink.refuse = true;
        status st = encode_text(e.enc, t.view, sink);
        check(!st.ok() && st.err().kind == error_kind::pending && sink.commits == 0,
              std::string("refused reserve: ") + e.name);
        recording_text_sink tsink;
        tsink.refuse = true;
        const std::uint8_t in[] = {0, 0, 0, 0};
        st = decode_text(e.enc, in, tsink);
        check(!st.ok() && st.err().kind == error_kind::pending && tsink.allocations == 1,
              std::string("refused allocate: ") + e.name);
    }
    const std::size_t huge = SIZE_MAX / 2;
    const text_view big{nullptr, huge, 4, false};
    check(encoded_size_bound(text_encoding::utf32, big) == SIZE_MAX, "bound saturates");
    check(encoded_size_bound(text_encoding::utf16, text_view{nullptr, 5, 2, false}) == 12, "utf16 bound");
    check(encoded_size_bound(text_encoding::utf8, text_view{nullptr, 5, 1, true}) == 5, "ascii bound");
}

// ---------------------------------------------------------------------------
// UTF-8 validity, exhaustively over short forms: a sequence is accepted
// exactly when it is the encoding of the scalar values it decodes to.

// The kernel tables of every level this machine runs, the scalar one first.
using text_kernels::decoder_table;
using text_kernels::encoder_table;
const std::span<const decoder_table> decoder_tables = text_kernels::runnable_decoder_tables();
const std::span<const encoder_table> encoder_tables = text_kernels::runnable_encoder_tables();

void use(const decoder_table& t) { text_kernels::active_decoder = &t; }
void use(const encoder_table& t) { text_kernels::active_encoder = &t; }

// Runs a decoder on every level; all must agree. Returns the scalar result.
run_result decode_all_levels(const decoder_fn& f, const bytes& in, std::size_t misalign = 0) {
    run_result first;
    for (const decoder_table& t : decoder_tables) {
        use(t);
        run_result r = decode(f, in, misalign);
        if (&t == &decoder_tables[0]) first = r;
        else check(r == first, std::string(t.name) + " disagrees on [" + hex_of(in) + "] misalign " +
                                   std::to_string(misalign) + ": " + r.describe() + " vs scalar " + first.describe());
    }
    set_text_decoder_path(text_decoder_path::best);
    return first;
}

// The path settings pick the tables: the test harnesses and fuzzers move
// the codecs between levels through them alone.
void test_path_selection() {
    struct decoder_case {
        text_decoder_path path;
        const decoder_table* want;
    };
    struct encoder_case {
        text_encoder_path path;
        const encoder_table* want;
    };
    const decoder_case decoder_cases[] = {{text_decoder_path::scalar, &decoder_tables[0]},
                                          {text_decoder_path::portable, &decoder_tables[1]},
                                          {text_decoder_path::best, &decoder_tables.back()}};
    const encoder_case encoder_cases[] = {{text_encoder_path::scalar, &encoder_tables[0]},
                                          {text_encoder_path::portable, &encoder_tables[1]},
                                          {text_encoder_path::best, &encoder_tables.back()}};
    for (const decoder_case& c : decoder_cases) {
        set_text_decoder_path(c.path);
        check(text_kernels::active_decoder == c.want, "decoder path " + std::to_string(int(c.path)) + " chose " +
                                                          text_kernels::active_decoder->name + ", not " + c.want->name);
    }
    for (const encoder_case& c : encoder_cases) {
        set_text_encoder_path(c.path);
        check(text_kernels::active_encoder == c.want, "encoder path " + std::to_string(int(c.path)) + " chose " +
                                                          text_kernels::active_encoder->name + ", not " + c.want->name);
    }
    // Levels that shared their loops would make every comparison between
    // them vacuous.
    for (std::size_t k = 1; k < decoder_tables.size(); ++k) {
        check(decoder_tables[k].utf8.scan != decoder_tables[k - 1].utf8.scan,
              std::string(decoder_tables[k].name) + " decodes UTF-8 with the loops of the level below");
        check(encoder_tables[k].utf8[2] != encoder_tables[k - 1].utf8[2],
              std::string(encoder_tables[k].name) + " encodes UTF-8 with the loops of the level below");
    }
}

void check_utf8_verdict(const bytes& seq, const run_result& r) {
    if (!r.ok) return;
    std::string again;
    for (char32_t c : r.text) {
        check(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF), "decoded a non-scalar from [" + hex_of(seq) + "]");
        fmt::append_utf8(again, c);
    }
    check(bytes(again.begin(), again.end()) == seq, "accepted a non-canonical form [" + hex_of(seq) + "]");
}

void test_utf8_exhaustive() {
    // Every scalar value's own form is accepted.
    for (char32_t c = 0; c <= 0x10FFFF; c += (c < 0x11000 ? 1 : 61)) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::string s;
        fmt::append_utf8(s, c);
        const bytes in(s.begin(), s.end());
        const run_result r = decode(decode_utf8, in);
        check(r.ok && r.text == std::u32string(1, c), "scalar value refused: " + fmt::hex(c, 4));
    }
    // Every 1- and 2-byte input, and every 4-byte input over the bytes where
    // the rules change, alone and straddling a 32-byte block boundary behind
    // a non-ASCII character; all levels agree.
    const std::uint8_t edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                  0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    for (unsigned a = 0; a < 0x10000; ++a) {
        const bytes in = a < 0x100 ? bytes{std::uint8_t(a)} : bytes{std::uint8_t(a >> 8), std::uint8_t(a)};
        check_utf8_verdict(in, decode_all_levels(decode_utf8, in));
    }
    for (auto b0 : edges)
        for (auto b1 : edges)
            for (auto b2 : edges)
                for (auto b3 : edges) {
                    const bytes seq{b0, b1, b2, b3};
                    check_utf8_verdict(seq, decode_all_levels(decode_utf8, seq));
                    bytes framed{0xC3, 0xA9};
                    framed.resize(30, 'x');
                    framed.insert(framed.end(), seq.begin(), seq.end());
                    framed.push_back('y');
                    decode_all_levels(decode_utf8, framed);
                }
}

// ---------------------------------------------------------------------------
// Randomized differential tests.

std::mt19937_64 rng(20240611);

std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// Text in runs of one kind of character, so ASCII runs cross block
// boundaries as real text does. With `ill_formed`, surrogates (and, for
// 4-byte storage, values past U+10FFFF) turn up now and then.
std::u32string random_text(std::size_t length, bool ill_formed) {
    static const char32_t specials[] = {0x7F, 0x80, 0x9F, 0xA0, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFEFF,
                                        0xFFFF, 0x10000, 0x10FFFF, 0x20AC, 0x2122, 0x0178, 0x0081};
    const unsigned mix = static_cast<unsigned>(pick(6));  // 0: ASCII only ... 5: everything
    std::u32string t;
    while (t.size() < length) {
        const std::size_t run = 1 + pick(pick(4) == 0 ? 64 : 8);
        const unsigned kind = static_cast<unsigned>(pick(mix + 1));
        for (std::size_t k = 0; k < run && t.size() < length; ++k) {
            char32_t c;
            switch (kind) {
                case 0: c = static_cast<char32_t>(pick(0x80)); break;
                case 1: c = static_cast<char32_t>(0x80 + pick(0x80)); break;
                case 2: c = specials[pick(std::size(specials))]; break;
                case 3: c = static_cast<char32_t>(0x100 + pick(0xD700)); break;
                case 4: c = static_cast<char32_t>(0xE000 + pick(0x2000)); break;
                default: c = static_cast<char32_t>(0x10000 + pick(0x100000)); break;
            }
            if (ill_formed && pick(200) == 0) c = static_cast<char32_t>(0xD800 + pick(0x800));
            t.push_back(c);
        }
    }
    return t;
}

void put_unit(bytes& out, std::uint32_t v, int size, bool le) {
    for (int k = 0; k < size; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * (le ? k : size - 1 - k))));
}

bytes utf16_of(const std::u32string& t, bool le) {
    bytes out;
    for (char32_t c : t) {
        if (c < 0x10000) { put_unit(out, c, 2, le); continue; }
        put_unit(out, 0xD800 + ((c - 0x10000) >> 10), 2, le);
        put_unit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, le);
    }
    return out;
}

bytes utf32_of(const std::u32string& t, bool le) {
    bytes out;
    for (char32_t c : t) put_unit(out, c, 4, le);
    return out;
}

bytes utf8_of(const std::u32string& t) {
    std::string s;
    for (char32_t c : t) fmt::append_utf8(s, c);
    return bytes(s.begin(), s.end());
}

// A few kinds of damage: a random byte, a byte that breaks or starts a
// sequence, a cut, or a swapped neighbour pair.
void damage(bytes& b) {
    if (b.empty()) return;
    static const std::uint8_t bad[] = {0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0,
                                       0xF4, 0xF5, 0xFF, 0x41, 0xD8, 0xDC, 0x00};
    const std::size_t at = pick(b.size());
    switch (pick(4)) {
        case 0: b[at] = static_cast<std::uint8_t>(rng()); break;
        case 1: b[at] = bad[pick(std::size(bad))]; break;
        case 2: b.resize(at); break;
        default: if (at + 1 < b.size()) std::swap(b[at], b[at + 1]); break;
    }
}

void test_random_decoders(int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const std::size_t length = pick(4) == 0 ? pick(2000) : pick(80);
        const std::u32string text = random_text(length, false);
        const bool le = pick(2) == 0;
        const std::size_t misalign = pick(32);
        struct input {
            const char* name;
            decoder_fn decode;
            bytes in;
            bool is_text;  // decodes to `text` while undamaged
        };
        std::vector<input> inputs = {
            {"utf8", decode_utf8, utf8_of(text), true},
            {"utf16", [le](auto b, auto& s) { return decode_utf16_with_endianness(b, le, s); }, utf16_of(text, le),
             true},
            {"utf32", [le](auto b, auto& s) { return decode_utf32_with_endianness(b, le, s); }, utf32_of(text, le),
             true},
            {"utf16 bom", decode_utf16, utf16_of(U"\uFEFF" + text, le), true},
            {"utf32 bom", decode_utf32, utf32_of(U"\uFEFF" + text, le), true},
            {"windows-1252 bom", decode_windows_1252, utf8_of(U"\uFEFF" + text), true},
            {"windows-1252", decode_windows_1252, bytes(length), false},
            {"us-ascii", decode_us_ascii, bytes(length), false},
            {"iso-8859-1", decode_iso_8859_1, bytes(length), false},
        };
        for (std::size_t k = 0; k < length; ++k) {
            const auto b = static_cast<std::uint8_t>(pick(3) == 0 ? rng() : text[k] & 0x7F);
            inputs[6].in[k] = inputs[8].in[k] = b;
            inputs[7].in[k] = static_cast<std::uint8_t>(b & (pick(500) == 0 ? 0xFF : 0x7F));
        }
        const bool damaged = pick(3) == 0;
        for (input& in : inputs) {
            if (damaged) damage(in.in);
            const run_result r = decode_all_levels(in.decode, in.in, misalign);
            if (in.is_text && !damaged)
                check(r.ok && r.text == text, std::string(in.name) + " lost the text: " + r.describe());
        }
    }
}

// Every position of a mixed text, near and across block boundaries, gets
// each kind of fault in turn.
void test_fault_sweep() {
    for (int round = 0; round < 6; ++round) {
        const std::u32string text = random_text(40 + pick(60), false);
        const bytes utf8 = utf8_of(text), utf16 = utf16_of(text, round % 2 == 0), utf32 = utf32_of(text, round % 2);
        const auto u16 = [round](auto b, auto& s) { return decode_utf16_with_endianness(b, round % 2 == 0, s); };
        const auto u32 = [round](auto b, auto& s) { return decode_utf32_with_endianness(b, round % 2, s); };
        for (std::size_t at = 0; at < utf8.size(); ++at)
            for (int bad : {0x80, 0xC0, 0xC3, 0xE0, 0xED, 0xF0, 0xF4, 0xFF, 0x41}) {
                bytes b = utf8;
                b[at] = static_cast<std::uint8_t>(bad);
                decode_all_levels(decode_utf8, b, at % 7);
                b.resize(at + 1);
                decode_all_levels(decode_utf8, b);
            }
        for (std::size_t at = 0; at + 1 < utf16.size(); at += 2)
            for (std::uint32_t unit : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
                bytes b = utf16;
                b[at + (round % 2 == 0 ? 1 : 0)] = static_cast<std::uint8_t>(unit >> 8);
                decode_all_levels(u16, b);
            }
        for (std::size_t at = 0; at + 3 < utf32.size(); at += 4)
            for (std::uint32_t unit : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
                bytes b = utf32;
                for (int k = 0; k < 4; ++k)
                    b[at + (round % 2 ? k : 3 - k)] = static_cast<std::uint8_t>(unit >> (8 * k));
                decode_all_levels(u32, b);
            }
    }
}

// Every BMP code point, and every 97th beyond, in runs of 40 that the block
// loops take whole: each Unicode encoder on each level must give the
// reference bytes, and each decoder must give the text back.
void test_code_point_sweep() {
    struct form {
        text_encoding enc;
        bytes (*reference)(const std::u32string&);
    };
    const form forms[] = {
        {text_encoding::utf8, [](const std::u32string& t) { return utf8_of(t); }},
        {text_encoding::utf16le, [](const std::u32string& t) { return utf16_of(t, true); }},
        {text_encoding::utf16be, [](const std::u32string& t) { return utf16_of(t, false); }},
        {text_encoding::utf32le, [](const std::u32string& t) { return utf32_of(t, true); }},
        {text_encoding::utf32be, [](const std::u32string& t) { return utf32_of(t, false); }},
    };
    char32_t c = 0;
    while (c <= 0x10FFFF) {
        std::u32string text;
        while (text.size() < 40 && c <= 0x10FFFF) {
            if (c < 0xD800 || c > 0xDFFF) text.push_back(c);
            c += c < 0x10000 ? 1 : 97;
        }
        for (const form& f : forms) {
            const bytes want = f.reference(text);
            for (unsigned width : {1u, 2u, 4u}) {
                if (width < narrowest_width(text)) continue;
                for (const encoder_table& t : encoder_tables) {
                    use(t);
                    const run_result got = encode(encoder_for(f.enc), text, width);
                    check(got.ok && got.out == want, "sweep encode enc " + std::to_string(int(f.enc)) + " " + t.name +
                                                         " from U+" + fmt::hex(text[0], 4) + ": " + got.describe());
                }
            }
            set_text_encoder_path(text_encoder_path::best);
            const run_result back = decode_all_levels(decoder_for(f.enc), want);
            check(back.ok && back.text == text, "sweep decode from U+" + fmt::hex(text[0], 4) + ": " + back.describe());
        }
    }
}

// Each code point up to U+2200 (and two far beyond) inside a run of 40: the
// encoder accepts exactly ASCII and the index, giving the index position.
void test_windows1252_every_char() {
    int byte_of[0x2200];
    std::fill(std::begin(byte_of), std::end(byte_of), -1);
    for (int b = 0; b < 0x80; ++b) byte_of[b] = b;
    for (int b = 0x80; b < 0x100; ++b) byte_of[windows1252::index[b - 0x80]] = b;
    std::vector<char32_t> chars;
    for (char32_t c = 0; c < 0x2200; ++c) chars.push_back(c);
    chars.push_back(0xFFFF);
    chars.push_back(0x1F600);
    for (char32_t c : chars) {
        std::u32string text(40, U'a');
        text[5] = c;
        text[27] = c;
        const int want = c < 0x2200 ? byte_of[c] : -1;
        for (unsigned width : {1u, 2u, 4u}) {
            if (width < narrowest_width(text)) continue;
            for (const encoder_table& t : encoder_tables) {
                use(t);
                const run_result got = encode(encode_windows_1252, text, width);
                const std::string what = "windows-1252 U+" + fmt::hex(c, 4) + " width " + std::to_string(width) +
                                         " " + t.name + ": " + got.describe();
                if (want < 0) check(!got.ok, what);
                else check(got.ok && got.out[5] == want && got.out[27] == want, what);
            }
        }
    }
    set_text_encoder_path(text_encoder_path::best);
}

void test_random_encoders(int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const std::size_t length = pick(4) == 0 ? pick(1500) : pick(70);
        const bool ill_formed = pick(4) == 0;
        std::u32string text = random_text(length, ill_formed);
        const unsigned narrowest = narrowest_width(text);
        if (ill_formed && narrowest == 4 && !text.empty() && pick(3) == 0) text[pick(text.size())] = 0x110000;
        const std::size_t misalign = pick(16);
        for (unsigned width : {1u, 2u, 4u}) {
            if (width < narrowest) continue;
            for (const auto& e : encodings) {
                run_result first;
                for (const encoder_table& t : encoder_tables) {
                    use(t);
                    run_result r = encode(encoder_for(e.enc), text, width, misalign);
                    if (&t == &encoder_tables[0]) first = r;
                    else check(r == first, std::string(e.name) + " encoder " + t.name + " disagrees at width " +
                                               std::to_string(width) + ": " + r.describe() + " vs " + first.describe());
                }
                set_text_encoder_path(text_encoder_path::best);
                // What encodes decodes back to the same text.
                const bool bom_like = e.enc == text_encoding::windows_1252 && first.out.size() >= 2 &&
                                      ((first.out[0] == 0xFF && first.out[1] == 0xFE) ||
                                       (first.out[0] == 0xFE && first.out[1] == 0xFF) ||
                                       (first.out.size() >= 3 && first.out[0] == 0xEF && first.out[1] == 0xBB &&
                                        first.out[2] == 0xBF));
                if (first.ok && !bom_like) {
                    const run_result back = decode(decoder_for(e.enc), first.out);
                    check(back.ok && back.text == text, std::string(e.name) + " round trip: " + back.describe());
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
    test_path_selection();
    test_encoder_cases();
    test_decoder_cases();
    test_sink_protocol();
    test_utf8_exhaustive();
    test_code_point_sweep();
    test_windows1252_every_char();
    test_fault_sweep();
    test_random_decoders(rounds);
    test_random_encoders(rounds / 2);
    if (failures != 0) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("text kernels: all tests passed");
    return 0;
}
