// A systematic sweep of the text codecs over short inputs. For every length
// up to a bound and every position in it, one "special" character, sequence
// or fault sits in a background of one character class; every decoder and
// every encoder runs it on every instruction level this machine has
// (scalar, portable, and AVX2 where there is one)
// and must give exactly what a small reference codec written here from the
// rules gives: the status kind and message, the decoded text and the shape
// handed to the sink, or the encoded bytes.
// Inputs and outputs live in buffers of exactly their size, so the
// sanitizers see any overrun.
//
// Usage: text_sweep_test [max_length [crossed]]
//   max_length  inputs grow one character at a time until the background
//               alone takes this many bytes (a decoder's input, or an
//               encoder's text as the host stores it); default 130
//   crossed     every class of first character before every background
//               class, and every background for every encoder
// Exits non-zero on any failure.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "common/text_kernels.hpp"
#include "decoder/text.hpp"
#include "encoder/text.hpp"

using namespace packweaver;

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using bytes = std::vector<u8>;
using text = std::u32string;

// ---------------------------------------------------------------------------
// What a call produced, in a form the reference can be compared with.

struct outcome {
    bool ok = true;
    error_kind kind = error_kind::value_error;
    std::string message;
    bytes out;      // encoders
    text decoded;   // decoders
    std::size_t shape_length = 0;
    unsigned shape_class = 0;  // storage class of the shape's max_char
};

unsigned class_of(const text& t) {
    char32_t max = 0;
    for (char32_t c : t) max = std::max(max, c);
    return storage_class(max);
}

outcome failed(std::string message) {
    outcome o;
    o.ok = false;
    o.message = std::move(message);
    return o;
}

outcome decoded(text t) {
    outcome o;
    o.shape_length = t.size();
    o.shape_class = class_of(t);
    o.decoded = std::move(t);
    return o;
}

std::string hex(u32 v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

std::string hex_of(const bytes& b) {
    std::string s;
    for (u8 x : b) s += hex(x, 2);
    return s;
}

std::string hex_of(const text& t) {
    std::string s;
    for (char32_t c : t) {
        if (!s.empty()) s += ' ';
        s += hex(c, 4);
    }
    return s;
}

std::string describe(const outcome& o) {
    if (!o.ok) return "error '" + o.message + "'" + (o.kind != error_kind::value_error ? " of another kind" : "");
    std::string s = "[" + hex_of(o.out) + hex_of(o.decoded) + "]";
    if (s.size() > 300) s = s.substr(0, 300) + "...";
    if (o.out.empty()) s += " shape " + std::to_string(o.shape_length) + "/class " + std::to_string(o.shape_class);
    return s;
}

// ---------------------------------------------------------------------------
// Reference codecs, straight from the rules, one character at a time.

constexpr bool is_surrogate(u32 c) { return c >= 0xD800 && c <= 0xDFFF; }

// Windows-1252 bytes 0x80-0x9F; 0xA0-0xFF stand for U+00A0-U+00FF.
constexpr char16_t w1252_c1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

u32 w1252_char(u8 b) { return b >= 0x80 && b < 0xA0 ? w1252_c1[b - 0x80] : b; }

int w1252_byte(u32 c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (int k = 0; k < 32; ++k)
        if (w1252_c1[k] == c) return 0x80 + k;
    return -1;
}

void put_utf8(bytes& out, u32 c) {
    if (c < 0x80) {
        out.push_back(static_cast<u8>(c));
    } else if (c < 0x800) {
        out.insert(out.end(), {static_cast<u8>(0xC0 | c >> 6), static_cast<u8>(0x80 | (c & 0x3F))});
    } else if (c < 0x10000) {
        out.insert(out.end(), {static_cast<u8>(0xE0 | c >> 12), static_cast<u8>(0x80 | (c >> 6 & 0x3F)),
                               static_cast<u8>(0x80 | (c & 0x3F))});
    } else {
        out.insert(out.end(), {static_cast<u8>(0xF0 | c >> 18), static_cast<u8>(0x80 | (c >> 12 & 0x3F)),
                               static_cast<u8>(0x80 | (c >> 6 & 0x3F)), static_cast<u8>(0x80 | (c & 0x3F))});
    }
}

void put_unit(bytes& out, u32 v, int size, bool le) {
    for (int k = 0; k < size; ++k) out.push_back(static_cast<u8>(v >> (8 * (le ? k : size - 1 - k))));
}

void put_utf16(bytes& out, u32 c, bool le) {
    if (c < 0x10000) return put_unit(out, c, 2, le);
    put_unit(out, 0xD800 + ((c - 0x10000) >> 10), 2, le);
    put_unit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, le);
}

std::string utf8_string(u32 c) {
    bytes b;
    put_utf8(b, c);
    return std::string(b.begin(), b.end());
}

outcome ref_utf8(const u8* s, std::size_t n) {
    const auto invalid = [](std::size_t length, std::size_t i) {
        return failed("Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(length) +
                      " bytes from index " + std::to_string(i));
    };
    text t;
    t.reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const u8 b0 = s[i];
        if (b0 < 0x80) {
            t.push_back(b0);
            ++i;
            continue;
        }
        std::size_t need;
        u8 lo = 0x80, hi = 0xBF;
        u32 c;
        if (b0 >= 0xC2 && b0 <= 0xDF) need = 1, c = b0 & 0x1Fu;
        else if (b0 == 0xE0) need = 2, lo = 0xA0, c = 0;
        else if (b0 == 0xED) need = 2, hi = 0x9F, c = 0xD;
        else if (b0 >= 0xE1 && b0 <= 0xEF) need = 2, c = b0 & 0x0Fu;
        else if (b0 == 0xF0) need = 3, lo = 0x90, c = 0;
        else if (b0 >= 0xF1 && b0 <= 0xF3) need = 3, c = b0 & 0x07u;
        else if (b0 == 0xF4) need = 3, hi = 0x8F, c = 4;
        else return invalid(1, i);
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= n)
                return failed("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + std::to_string(i));
            const u8 b = s[i + k];
            if (b < lo || b > hi) return invalid(k, i);
            c = c << 6 | (b & 0x3Fu);
            lo = 0x80, hi = 0xBF;
        }
        t.push_back(c);
        i += need + 1;
    }
    return decoded(t);
}

outcome ref_utf16(const u8* s, std::size_t n, bool le) {
    if (n % 2) return failed("UTF-16 requires an even number of bytes");
    const auto unit = [&](std::size_t k) {
        return le ? u32{s[2 * k]} | u32{s[2 * k + 1]} << 8 : u32{s[2 * k]} << 8 | s[2 * k + 1];
    };
    text t;
    t.reserve(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const u32 u = unit(k);
        if (!is_surrogate(u)) {
            t.push_back(u);
        } else if (u < 0xDC00 && k + 1 < n / 2 && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
            t.push_back(0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00));
            ++k;
        } else {
            return failed("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
        }
    }
    return decoded(t);
}

outcome ref_utf32(const u8* s, std::size_t n, bool le) {
    if (n % 4) return failed("UTF-32 requires a multiple of 4 bytes");
    text t;
    t.reserve(n / 4);
    for (std::size_t k = 0; k < n; k += 4) {
        u32 u = 0;
        for (int j = 0; j < 4; ++j) u = u << 8 | s[k + (le ? 3 - j : j)];
        if (u > 0x10FFFF || is_surrogate(u)) return failed("Invalid UTF-32 codepoint: 0x" + hex(u, 8));
        t.push_back(u);
    }
    return decoded(t);
}

bool starts(const u8* s, std::size_t n, std::initializer_list<u8> mark) {
    return n >= mark.size() && std::equal(mark.begin(), mark.end(), s);
}

outcome ref_decode(text_encoding e, const bytes& in) {
    const u8* s = in.data();
    const std::size_t n = in.size();
    switch (e) {
        case text_encoding::utf8: return ref_utf8(s, n);
        case text_encoding::utf16le: return ref_utf16(s, n, true);
        case text_encoding::utf16be: return ref_utf16(s, n, false);
        case text_encoding::utf32le: return ref_utf32(s, n, true);
        case text_encoding::utf32be: return ref_utf32(s, n, false);
        case text_encoding::utf16:
            if (n < 2 || n % 2) return failed("UTF-16 requires an even number of bytes with at least 2 bytes");
            if (starts(s, n, {0xFE, 0xFF})) return ref_utf16(s + 2, n - 2, false);
            if (starts(s, n, {0xFF, 0xFE})) return ref_utf16(s + 2, n - 2, true);
            return ref_utf16(s, n, false);
        case text_encoding::utf32:
            if (n < 4 || n % 4) return failed("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
            if (starts(s, n, {0, 0, 0xFE, 0xFF})) return ref_utf32(s + 4, n - 4, false);
            if (starts(s, n, {0xFF, 0xFE, 0, 0})) return ref_utf32(s + 4, n - 4, true);
            return ref_utf32(s, n, false);
        case text_encoding::us_ascii:
            for (std::size_t k = 0; k < n; ++k)
                if (s[k] > 0x7F) return failed("Invalid US-ASCII byte: 0x" + hex(s[k], 2) + " (must be <= 0x7F)");
            return decoded(text(in.begin(), in.end()));
        case text_encoding::iso_8859_1: return decoded(text(in.begin(), in.end()));
        case text_encoding::windows_1252: {
            outcome o;
            if (starts(s, n, {0xEF, 0xBB, 0xBF})) o = ref_utf8(s + 3, n - 3);
            else if (starts(s, n, {0xFF, 0xFE})) o = ref_utf16(s + 2, n - 2, true);
            else if (starts(s, n, {0xFE, 0xFF})) o = ref_utf16(s + 2, n - 2, false);
            else {
                text t;
                for (u8 b : in) t.push_back(w1252_char(b));
                return decoded(t);
            }
            return o.ok ? o : failed("Failed to decode Windows-1252 bytes");
        }
    }
    return failed("unknown encoding");
}

bool refuses(text_encoding e, u32 c) {
    if (is_surrogate(c)) return true;
    if (e == text_encoding::us_ascii) return c > 0x7F;
    if (e == text_encoding::iso_8859_1) return c > 0xFF;
    return e == text_encoding::windows_1252 && w1252_byte(c) < 0;
}

outcome ref_encode(text_encoding e, const text& t) {
    outcome o;
    o.out.reserve(4 * t.size() + 4);
    for (std::size_t i = 0; i < t.size(); ++i) {
        const u32 c = t[i];
        if (is_surrogate(c))
            return failed("Lone surrogate U+" + hex(c, 4) + " at index " + std::to_string(i) + " cannot be encoded");
        const auto refused = [c] { return "Character '" + utf8_string(c) + "' (U+" + hex(c, 4) + ") is not valid "; };
        switch (e) {
            case text_encoding::utf8: put_utf8(o.out, c); break;
            case text_encoding::utf16: case text_encoding::utf16be: put_utf16(o.out, c, false); break;
            case text_encoding::utf16le: put_utf16(o.out, c, true); break;
            case text_encoding::utf32: case text_encoding::utf32be: put_unit(o.out, c, 4, false); break;
            case text_encoding::utf32le: put_unit(o.out, c, 4, true); break;
            case text_encoding::us_ascii:
                if (c > 0x7F) return failed(refused() + "US-ASCII");
                o.out.push_back(static_cast<u8>(c));
                break;
            case text_encoding::iso_8859_1:
                if (c > 0xFF) return failed(refused() + "ISO-8859-1");
                o.out.push_back(static_cast<u8>(c));
                break;
            case text_encoding::windows_1252:
                if (w1252_byte(c) < 0) return failed("Failed to encode to Windows-1252");
                o.out.push_back(static_cast<u8>(w1252_byte(c)));
                break;
        }
    }
    if (e == text_encoding::utf16) o.out.insert(o.out.begin(), {0xFE, 0xFF});
    if (e == text_encoding::utf32) o.out.insert(o.out.begin(), {0, 0, 0xFE, 0xFF});
    return o;
}

// ---------------------------------------------------------------------------
// Sinks that hand out exactly the room asked for and record their use.

int failures = 0;
long long runs = 0;

void fail(const std::string& what) {
    if (++failures <= 25) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

struct exact_text_sink final : text_sink {
    std::unique_ptr<u8[]> room;
    text_shape shape{};
    int calls = 0;
    void* allocate(const text_shape& s) override {
        ++calls;
        shape = s;
        room.reset(new u8[s.length * storage_width(s.max_char)]);
        return room.get();
    }
    u32 at(std::size_t k) const {
        const unsigned w = storage_width(shape.max_char);
        if (w == 1) return room[k];
        if (w == 2) { std::uint16_t u; std::memcpy(&u, &room[2 * k], 2); return u; }
        u32 v;
        std::memcpy(&v, &room[4 * k], 4);
        return v;
    }
};

struct exact_byte_sink final : byte_sink {
    std::unique_ptr<u8[]> room;
    std::size_t reserved = 0, committed = 0;
    int reserves = 0, commits = 0;
    u8* reserve(std::size_t n) override {
        ++reserves;
        room.reset(new u8[n]);
        reserved = n;
        return room.get();
    }
    void commit(std::size_t n) override {
        ++commits;
        committed = n;
    }
};

// A failed call leaves the sink unused (decoders) or uncommitted (encoders);
// a successful one asks once. matches() is the quick test, outcome_of() the
// full account for a failure.
outcome failure_of(const status& st, bool sink_touched) {
    outcome o = failed(st.err().message + (sink_touched ? " (after using the sink)" : ""));
    o.kind = st.err().kind;
    return o;
}

bool matches(const status& st, const exact_text_sink& sink, const outcome& want) {
    if (!st.ok()) return !want.ok && st.err().kind == want.kind && st.err().message == want.message && sink.calls == 0;
    if (!want.ok || sink.calls != 1 || sink.shape.length != want.shape_length ||
        storage_class(sink.shape.max_char) != want.shape_class)
        return false;
    for (std::size_t k = 0; k < want.decoded.size(); ++k)
        if (sink.at(k) != want.decoded[k]) return false;
    return true;
}

outcome outcome_of(const status& st, const exact_text_sink& sink) {
    if (!st.ok()) return failure_of(st, sink.calls != 0);
    if (sink.calls != 1) return failed("success after " + std::to_string(sink.calls) + " sink calls");
    outcome o;
    o.shape_length = sink.shape.length;
    o.shape_class = storage_class(sink.shape.max_char);
    for (std::size_t k = 0; k < sink.shape.length; ++k) o.decoded.push_back(sink.at(k));
    return o;
}

bool matches(const status& st, const exact_byte_sink& sink, std::size_t bound, const outcome& want) {
    if (sink.reserves != 1 || sink.reserved != bound) return false;
    if (!st.ok())
        return !want.ok && st.err().kind == want.kind && st.err().message == want.message && sink.commits == 0;
    return want.ok && sink.commits == 1 && sink.committed == want.out.size() &&
           std::equal(want.out.begin(), want.out.end(), sink.room.get());
}

outcome outcome_of(const status& st, const exact_byte_sink& sink, std::size_t bound) {
    if (sink.reserves != 1 || sink.reserved != bound)
        return failed("reserved " + std::to_string(sink.reserved) + " bytes in " + std::to_string(sink.reserves) +
                      " calls, not encoded_size_bound() " + std::to_string(bound) + " in one");
    if (!st.ok()) return failure_of(st, sink.commits != 0);
    if (sink.commits != 1 || sink.committed > sink.reserved) return failed("committed wrongly");
    outcome o;
    o.out.assign(sink.room.get(), sink.room.get() + sink.committed);
    return o;
}

// The kernel tables of every level this machine runs, the scalar one first.
const std::span<const text_kernels::decoder_table> decoder_tables = text_kernels::runnable_decoder_tables();
const std::span<const text_kernels::encoder_table> encoder_tables = text_kernels::runnable_encoder_tables();

// ---------------------------------------------------------------------------
// Inputs: a background of one character class, lengthened one character at a
// time, with one special piece inserted at every position.

// Characters of each class, used in turn so that neighbours differ.
using chars = std::vector<u32>;
const chars ascii_chars = {0x61, 0x00, 0x7F, 0x3C, 0x20};
const chars latin1_chars = {0xE9, 0xA0, 0xFF, 0xC0, 0xB5};
const chars two_byte_chars = {0x100, 0x7FF, 0x3B1, 0x416, 0x5D0};
const chars three_byte_chars = {0x800, 0xD7FF, 0xE000, 0xFFFF, 0x20AC};
const chars bmp_chars = {0x100, 0xD7FF, 0xE000, 0x7FF, 0xFFFF, 0x800, 0x20AC};
const chars four_byte_chars = {0x10000, 0x10FFFF, 0x1F600, 0x2A6D6, 0x10400};
const chars w1252_wide_chars = {0x20AC, 0x0178, 0x2122, 0x0152, 0x201A};  // windows-1252, stored 2 bytes wide
// Bytes for the single-byte decoders: ASCII, A0-FF, and 80-9F where
// windows-1252 differs from Latin-1.
const chars high_bytes = {0xE9, 0xA0, 0xFF, 0xC0, 0xB5};
const chars c1_bytes = {0x80, 0x9F, 0x8D, 0x99, 0x81};

struct background {
    std::string name;
    const chars* lead;    // the first character's class, or none
    const chars* filler;  // the rest
    const chars* trail;   // the last character's class, or none
    bool for_faults;      // also the background of the fault classes
    unsigned encoders = ~0u;  // encoder sweep: the encodings it is run on
};

struct named_class {
    const char* name;
    const chars* members;
};

// Each class alone, then each wider first character before the first class,
// ASCII (the kernels skip an ASCII prefix and scan the rest from where it
// ends); crossed, every class of first character before every class. Faults
// go in each class alone but the second, which a first character of that
// class before ASCII stands for.
std::vector<background> backgrounds(const std::vector<named_class>& classes, bool crossed) {
    std::vector<background> out;
    for (const auto& c : classes) out.push_back({c.name, nullptr, c.members, nullptr, c.members != classes[1].members});
    for (const auto& lead : classes)
        for (const auto& c : classes)
            if (lead.members != c.members && (crossed || c.members == classes[0].members))
                out.push_back({std::string(lead.name) + " then " + c.name, lead.members, c.members, nullptr,
                               lead.members == classes[1].members && c.members == classes[0].members});
    return out;
}

enum class piece_kind { character, unit, byte };
struct piece {
    piece_kind kind;
    u32 value;
};
using special = std::vector<piece>;

struct slot {
    std::string name;
    std::vector<special> options;  // taken in turn over lengths and positions
    bool fault = false;            // run on the fault backgrounds only
    unsigned encoders = ~0u;       // encoder sweep: the encodings it is run on
};

// One option per list, each a sequence of pieces of one kind.
slot make_slot(const char* name, piece_kind kind, std::initializer_list<chars> options, bool fault = false) {
    slot s{name, {}, fault};
    for (const chars& values : options) {
        special sp;
        for (u32 v : values) sp.push_back({kind, v});
        s.options.push_back(sp);
    }
    return s;
}

slot char_slot(const char* name, const chars& members) {
    slot s{name, {}};
    for (u32 c : members) s.options.push_back({{piece_kind::character, c}});
    return s;
}

// The special of `sl` at position p of an input of n characters.
const special& special_at(const slot& sl, std::size_t n, std::size_t p) {
    return sl.options[(n * 7 + p) % sl.options.size()];
}

// The background characters of an input of n characters: n - 1 of them,
// the special goes in between.
void background_chars(const background& bg, std::size_t n, chars& out) {
    out.clear();
    const std::size_t m = n - 1;
    for (std::size_t k = 0; k < m; ++k) {
        const chars* cls = bg.filler;
        if (k == 0 && bg.lead) cls = bg.lead;
        else if (k + 1 == m && m > 1 && bg.trail) cls = bg.trail;
        out.push_back((*cls)[(k + n) % cls->size()]);
    }
}

// Where an input came from, spelled out only for a failure.
struct place {
    const background* bg = nullptr;
    const slot* sl = nullptr;
    std::size_t n = 0, p = 0;
    std::string str() const {
        if (!bg) return "empty";
        return bg->name + " background, " + sl->name + " at " + std::to_string(p) + " of " + std::to_string(n);
    }
};

// ---------------------------------------------------------------------------
// Decoders.

// How the body of a decoder's input is written.
enum class body { utf8, utf16le, utf16be, utf32le, utf32be, single };

void put(bytes& out, body b, const piece& pc) {
    if (pc.kind == piece_kind::byte || b == body::single) return out.push_back(static_cast<u8>(pc.value));
    const bool le = b == body::utf16le || b == body::utf32le;
    switch (b) {
        case body::utf8:
            return pc.kind == piece_kind::unit ? out.push_back(static_cast<u8>(pc.value)) : put_utf8(out, pc.value);
        case body::utf16le: case body::utf16be:
            return pc.kind == piece_kind::unit ? put_unit(out, pc.value, 2, le) : put_utf16(out, pc.value, le);
        default: return put_unit(out, pc.value, 4, le);
    }
}

struct decoder_form {
    std::string name;
    text_encoding enc;
    bytes mark;
    body kind;
};

// The reference fixes the shape's length and storage class (the largest
// code point may be any of its class); the levels must agree on it exactly.
void check_decoder(const decoder_form& f, const bytes& in, std::size_t misalign, const place& where) {
    const outcome want = ref_decode(f.enc, in);
    // The input ends where its buffer ends.
    std::unique_ptr<u8[]> buf(new u8[misalign + in.size()]);
    if (!in.empty()) std::memcpy(buf.get() + misalign, in.data(), in.size());
    char32_t scalar_max = 0;
    for (const auto& table : decoder_tables) {
        text_kernels::active_decoder = &table;
        exact_text_sink sink;
        const status st = decode_text(f.enc, {buf.get() + misalign, in.size()}, sink);
        ++runs;
        if (!matches(st, sink, want))
            fail(f.name + ", " + where.str() + ", " + table.name + ": input [" + hex_of(in) + "] gave " +
                 describe(outcome_of(st, sink)) + ", want " + describe(want));
        else if (st.ok() && &table == &decoder_tables[0])
            scalar_max = sink.shape.max_char;
        else if (st.ok() && sink.shape.max_char != scalar_max)
            fail(f.name + ", " + where.str() + ", " + table.name + ": input [" + hex_of(in) + "] gave max_char " +
                 hex(sink.shape.max_char, 4) + ", the scalar level " + hex(scalar_max, 4));
    }
}

void sweep_decoders(std::size_t max_length, bool crossed) {
    const std::vector<background> utf8_bgs = backgrounds({{"ASCII", &ascii_chars}, {"Latin-1", &latin1_chars},
                                                          {"2-byte", &two_byte_chars}, {"3-byte", &three_byte_chars},
                                                          {"4-byte", &four_byte_chars}},
                                                         crossed);
    // UTF-16 and UTF-32 take U+0100-U+FFFF alike.
    const std::vector<background> unit_bgs = backgrounds(
        {{"ASCII", &ascii_chars}, {"Latin-1", &latin1_chars}, {"U+0100-U+FFFF", &bmp_chars},
         {"4-byte", &four_byte_chars}},
        crossed);
    const std::vector<background> byte_bgs =
        backgrounds({{"ASCII", &ascii_chars}, {"A0-FF", &high_bytes}, {"80-9F", &c1_bytes}}, crossed);

    const auto c = piece_kind::character, b = piece_kind::byte, u = piece_kind::unit;
    const slot ascii = char_slot("ASCII", {0x41, 0x00, 0x7F}), latin1 = char_slot("Latin-1", {0x80, 0xFF, 0xE9});
    const slot four_byte = char_slot("4-byte", {0x10000, 0x10FFFF, 0x1F600});
    const std::vector<slot> utf8 = {
        ascii, latin1, char_slot("2-byte", {0x100, 0x7FF, 0x5D0}),
        char_slot("3-byte", {0x800, 0xFFFF, 0xD7FF, 0xE000, 0xFEFF}), four_byte,
        make_slot("invalid byte", b, {{0x80}, {0xBF}, {0xC0}, {0xC1}, {0xF5}, {0xFF}}, true),
        // Followed by the background these are invalid; at the end, incomplete.
        make_slot("truncated sequence", b,
                  {{0xC3}, {0xE2, 0x82}, {0xF0, 0x9F, 0x98}, {0xDF}, {0xE0, 0xA0}, {0xF4, 0x8F, 0xBF}, {0xED, 0x9F}},
                  true),
        make_slot("overlong form", b,
                  {{0xC0, 0xAF}, {0xE0, 0x80, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF}, {0xC1, 0xBF}, {0xE0, 0x9F, 0xBF}}, true),
        make_slot("encoded surrogate", b, {{0xED, 0xA0, 0x80}, {0xED, 0xBF, 0xBF}, {0xED, 0xB0, 0x80}}, true),
        make_slot("sequence above U+10FFFF", b,
                  {{0xF4, 0x90, 0x80, 0x80}, {0xF7, 0xBF, 0xBF, 0xBF}, {0xF8, 0x88, 0x80, 0x80, 0x80}}, true),
    };
    const slot bmp = char_slot("U+0100-U+FFFF", {0x100, 0xFFFF, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFEFF});
    const std::vector<slot> utf16 = {
        ascii, latin1, bmp, four_byte,
        make_slot("lone high surrogate", u, {{0xD800}, {0xDBFF}, {0xD83D}}, true),
        make_slot("lone low surrogate", u, {{0xDC00}, {0xDFFF}, {0xDC00, 0xD800}}, true),
        make_slot("stray byte", b, {{0x00}, {0xD8}}, true),
    };
    const std::vector<slot> utf32 = {
        ascii, latin1, bmp, four_byte,
        make_slot("surrogate unit", u, {{0xD800}, {0xDFFF}}, true),
        make_slot("unit above U+10FFFF", u, {{0x110000}, {0xFFFFFFFF}, {0x80000000}, {0x0011FFFF}}, true),
        make_slot("stray bytes", b, {{0x00}, {0x00, 0x00}, {0xFF, 0xFE, 0x00}}, true),
    };
    const std::vector<slot> single = {
        make_slot("ASCII byte", c, {{0x41}, {0x00}, {0x7F}}),
        make_slot("A0-FF byte", c, {{0xA0}, {0xE9}, {0xFF}}),
        make_slot("80-9F byte", c, {{0x80}, {0x81}, {0x8D}, {0x8F}, {0x90}, {0x9D}, {0x9F}}),
        // Byte order marks count only at the start.
        make_slot("mark bytes", c, {{0xEF, 0xBB, 0xBF}, {0xFF, 0xFE}, {0xFE, 0xFF}, {0xEF, 0xBB}}),
    };

    const bytes none, fe_ff = {0xFE, 0xFF}, ff_fe = {0xFF, 0xFE}, bom8 = {0xEF, 0xBB, 0xBF};
    const std::vector<decoder_form> forms = {
        {"utf8", text_encoding::utf8, none, body::utf8},
        {"utf16le", text_encoding::utf16le, none, body::utf16le},
        {"utf16be", text_encoding::utf16be, none, body::utf16be},
        {"utf16 without mark", text_encoding::utf16, none, body::utf16be},
        {"utf16 after FE FF", text_encoding::utf16, fe_ff, body::utf16be},
        {"utf16 after FF FE", text_encoding::utf16, ff_fe, body::utf16le},
        {"utf32le", text_encoding::utf32le, none, body::utf32le},
        {"utf32be", text_encoding::utf32be, none, body::utf32be},
        {"utf32 without mark", text_encoding::utf32, none, body::utf32be},
        {"utf32 after 00 00 FE FF", text_encoding::utf32, {0, 0, 0xFE, 0xFF}, body::utf32be},
        {"utf32 after FF FE 00 00", text_encoding::utf32, {0xFF, 0xFE, 0, 0}, body::utf32le},
        {"us_ascii", text_encoding::us_ascii, none, body::single},
        {"iso_8859_1", text_encoding::iso_8859_1, none, body::single},
        {"windows_1252", text_encoding::windows_1252, none, body::single},
        {"windows_1252 after EF BB BF", text_encoding::windows_1252, bom8, body::utf8},
        {"windows_1252 after FF FE", text_encoding::windows_1252, ff_fe, body::utf16le},
        {"windows_1252 after FE FF", text_encoding::windows_1252, fe_ff, body::utf16be},
    };

    chars chs;
    bytes body_bytes, in;
    std::vector<std::size_t> offsets;
    for (const decoder_form& f : forms) {
        check_decoder(f, f.mark, 0, place{});
        const bool is_single = f.kind == body::single;
        const std::vector<slot>& slots = is_single ? single
                                         : f.kind == body::utf8 ? utf8
                                         : f.kind == body::utf16le || f.kind == body::utf16be ? utf16 : utf32;
        for (const background& bg : is_single ? byte_bgs : f.kind == body::utf8 ? utf8_bgs : unit_bgs) {
            // A background whose first character fails tells no more.
            bytes first = f.mark;
            put(first, f.kind, {piece_kind::character, (bg.lead ? *bg.lead : *bg.filler)[0]});
            if (!ref_decode(f.enc, first).ok) continue;
            for (const slot& sl : slots) {
                if (sl.fault && !bg.for_faults) continue;
                // Lengthened until the background alone fills max_length bytes.
                for (std::size_t n = 1;; ++n) {
                    background_chars(bg, n, chs);
                    body_bytes.clear();
                    offsets.clear();
                    for (u32 ch : chs) {
                        offsets.push_back(body_bytes.size());
                        put(body_bytes, f.kind, {piece_kind::character, ch});
                    }
                    offsets.push_back(body_bytes.size());
                    if (n > 1 && body_bytes.size() >= max_length) break;
                    for (std::size_t p = 0; p < n; ++p) {
                        in.assign(f.mark.begin(), f.mark.end());
                        in.insert(in.end(), body_bytes.begin(), body_bytes.begin() + offsets[p]);
                        for (const piece& pc : special_at(sl, n, p)) put(in, f.kind, pc);
                        in.insert(in.end(), body_bytes.begin() + offsets[p], body_bytes.end());
                        check_decoder(f, in, (n + 3 * p) % 8, place{&bg, &sl, n, p});
                    }
                }
            }
        }
    }
    set_text_decoder_path(text_decoder_path::best);
}

// ---------------------------------------------------------------------------
// Encoders. The host stores a text in the narrowest width its largest code
// point allows, so the background (with a wider first or last character)
// decides whether the kernels see 1, 2 or 4 bytes a character.

const text_encoding encodings[] = {text_encoding::utf8,     text_encoding::utf16,      text_encoding::utf16le,
                                   text_encoding::utf16be,  text_encoding::utf32,      text_encoding::utf32le,
                                   text_encoding::utf32be,  text_encoding::us_ascii,   text_encoding::iso_8859_1,
                                   text_encoding::windows_1252};
const char* const encoding_names[] = {"utf8",    "utf16",   "utf16le",  "utf16be",    "utf32",
                                      "utf32le", "utf32be", "us_ascii", "iso_8859_1", "windows_1252"};
constexpr unsigned bit(text_encoding e) { return 1u << static_cast<unsigned>(e); }
constexpr unsigned utf16_all = bit(text_encoding::utf16) | bit(text_encoding::utf16le) | bit(text_encoding::utf16be);
constexpr unsigned utf32_all = bit(text_encoding::utf32) | bit(text_encoding::utf32le) | bit(text_encoding::utf32be);
constexpr unsigned unicode_all = bit(text_encoding::utf8) | utf16_all | utf32_all;
constexpr unsigned single_all =
    bit(text_encoding::us_ascii) | bit(text_encoding::iso_8859_1) | bit(text_encoding::windows_1252);

// A text stored as the host stores it, ending where its buffer ends.
struct stored_text {
    std::unique_ptr<u8[]> buf;
    text_view view;
    explicit stored_text(const text& t, std::size_t misalign) {
        unsigned width = 1;
        bool ascii = true;
        for (char32_t ch : t) {
            ascii = ascii && ch < 0x80;
            width = std::max(width, storage_width(ch));
        }
        buf.reset(new u8[misalign + t.size() * width]);
        for (std::size_t k = 0; k < t.size(); ++k) {
            const u32 ch = t[k];
            u8* at = &buf[misalign + width * k];
            if (width == 1) *at = static_cast<u8>(ch);
            if (width == 2) { const auto v = static_cast<std::uint16_t>(ch); std::memcpy(at, &v, 2); }
            if (width == 4) std::memcpy(at, &ch, 4);
        }
        view = {buf.get() + misalign, t.size(), width, width == 1 && ascii};
    }
};

void check_encoder(text_encoding e, const text& t, const stored_text& s, const place& where) {
    const outcome want = ref_encode(e, t);
    const std::size_t bound = encoded_size_bound(e, s.view);
    for (const auto& table : encoder_tables) {
        text_kernels::active_encoder = &table;
        exact_byte_sink sink;
        const status st = encode_text(e, s.view, sink);
        ++runs;
        if (!matches(st, sink, bound, want))
            fail(std::string(encoding_names[static_cast<int>(e)]) + ", " + where.str() + ", width " +
                 std::to_string(s.view.width) + ", " + table.name + ": text [" + hex_of(t) + "] gave " +
                 describe(outcome_of(st, sink, bound)) + ", want " + describe(want));
    }
}

void sweep_encoders(std::size_t max_length, bool crossed) {
    std::vector<background> bgs = backgrounds({{"ASCII", &ascii_chars}, {"Latin-1", &latin1_chars},
                                               {"2-byte", &two_byte_chars}, {"3-byte", &three_byte_chars},
                                               {"4-byte", &four_byte_chars}},
                                              crossed);
    // A first character before ASCII matters where it sets the storage
    // width and the kernels take ASCII runs apart.
    for (background& bg : bgs) {
        if (crossed || !bg.lead) continue;
        if (bg.lead == &latin1_chars) bg.encoders = bit(text_encoding::utf8) | single_all;
        else if (bg.lead != &four_byte_chars) bg.encoders = bit(text_encoding::utf8) | utf16_all;
    }
    // Narrow text stored wide because of its last character: the
    // single-byte encoders scan it all before they refuse that character.
    bgs.push_back({"ASCII then a 3-byte last", nullptr, &ascii_chars, &three_byte_chars, true, single_all});
    bgs.push_back({"Latin-1 then a 4-byte last", nullptr, &latin1_chars, &four_byte_chars, true, single_all});
    // Stored 2 bytes wide and still windows-1252.
    bgs.push_back({"windows-1252 2-byte then ASCII", &w1252_wide_chars, &ascii_chars, nullptr, true, single_all});
    bgs.push_back({"windows-1252 2-byte then Latin-1", &w1252_wide_chars, &latin1_chars, nullptr, true, single_all});

    // Each class runs on the encoders whose kernels treat it apart from its
    // neighbours; UTF-32 copies every scalar value alike.
    const auto c = piece_kind::character;
    const auto on = [](slot s, unsigned encoders) {
        s.encoders = encoders;
        return s;
    };
    const unsigned utf8 = bit(text_encoding::utf8);
    const std::vector<slot> slots = {
        on(make_slot("ASCII", c, {{0x41}, {0x00}, {0x7F}}), utf8 | single_all),
        on(make_slot("Latin-1", c, {{0x80}, {0xE9}, {0xFF}, {0x81}, {0x9F}, {0xA0}, {0x8D}}),
           utf8 | utf16_all | single_all),
        on(make_slot("windows-1252 2-byte", c, {{0x20AC}, {0x0178}, {0x2122}, {0x201A}, {0x02DC}}), utf8 | single_all),
        on(make_slot("2-byte", c, {{0x100}, {0x7FF}, {0x151}}), utf8 | utf16_all | single_all),
        on(make_slot("3-byte", c, {{0x800}, {0xFFFF}, {0xD7FF}, {0xE000}, {0xFEFF}}),
           unicode_all | bit(text_encoding::us_ascii)),
        make_slot("4-byte", c, {{0x10000}, {0x10FFFF}, {0x1F600}}),
        make_slot("lone high surrogate", c, {{0xD800}, {0xDBFF}, {0xD83D}}, true),
        make_slot("lone low surrogate", c, {{0xDC00}, {0xDFFF}}, true),
        // A high and a low surrogate stored as two code points are two lone
        // surrogates, not a pair.
        make_slot("surrogate pair as two code points", c, {{0xD83D, 0xDE00}, {0xDBFF, 0xDFFF}}, true),
    };
    const auto check_all = [&](const text& t, std::size_t misalign, const place& where, unsigned mask) {
        const stored_text s(t, misalign);
        for (text_encoding e : encodings) {
            if (!(mask & bit(e))) continue;
            // A text whose first character the encoder refuses tells no more.
            if (t.size() > 1 && refuses(e, t[0])) continue;
            check_encoder(e, t, s, where);
        }
    };
    check_all(text(), 0, place{}, ~0u);
    chars chs;
    text t;
    for (const background& bg : bgs)
        for (const slot& sl : slots) {
            if (sl.fault && !bg.for_faults) continue;
            unsigned special_width = 1;
            for (const special& sp : sl.options)
                for (const piece& pc : sp) special_width = std::max(special_width, storage_width(pc.value));
            // Lengthened until the stored background alone fills max_length bytes.
            for (std::size_t n = 1;; ++n) {
                background_chars(bg, n, chs);
                unsigned width = special_width;
                for (u32 ch : chs) width = std::max(width, storage_width(ch));
                if (n > 1 && chs.size() * width >= max_length) break;
                for (std::size_t p = 0; p < n; ++p) {
                    t.assign(chs.begin(), chs.begin() + static_cast<std::ptrdiff_t>(p));
                    for (const piece& pc : special_at(sl, n, p)) t.push_back(pc.value);
                    t.append(chs.begin() + static_cast<std::ptrdiff_t>(p), chs.end());
                    check_all(t, (n + 3 * p) % 8, place{&bg, &sl, n, p}, sl.encoders & bg.encoders);
                }
            }
        }
    set_text_encoder_path(text_encoder_path::best);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t max_length = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 130;
    const bool crossed = argc > 2 && std::strcmp(argv[2], "crossed") == 0;
    const auto t0 = std::chrono::steady_clock::now();
    sweep_decoders(max_length, crossed);
    const long long decoder_runs = runs;
    const auto t1 = std::chrono::steady_clock::now();
    sweep_encoders(max_length, crossed);
    const auto t2 = std::chrono::steady_clock::now();
    std::printf("decoders: %lld runs in %.1f s, encoders: %lld runs in %.1f s\n", decoder_runs,
                std::chrono::duration<double>(t1 - t0).count(), runs - decoder_runs,
                std::chrono::duration<double>(t2 - t1).count());
    if (failures != 0) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::printf("text sweep: all passed up to %zu characters\n", max_length);
    return 0;
}
