// Shared body of the text codec fuzz targets.
//
// Decoding: the input bytes go to the decoder on every instruction level
// (scalar, portable, best); every level must give the scalar result, and the
// scalar result must equal a small reference decoder written here from the
// published rules (RFC 3629, the UTF-16/UTF-32 encoding forms, the WHATWG
// windows-1252 index and its byte order mark sniffing). The decoded text
// must be well formed and stored in its canonical width.
//
// Encoding: the input is read as a host text (code points 1, 2 or 4 bytes
// wide, possibly unaligned, possibly holding lone surrogates) and encoded on
// every level; all must agree with the scalar level and with a reference
// encoder, write only inside the room they asked for, and ask for exactly
// encoded_size_bound() bytes. Whatever encodes must decode back to the same
// code points.
//
// Sinks hand out exactly the bytes asked for, so AddressSanitizer sees any
// write past them; a control bit makes them refuse, which must end the call
// with pending_error() and no output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/text.hpp"
#include "decoder/text.hpp"
#include "encoder/text.hpp"

namespace pwfuzz {

using namespace packweaver;
using codepoints = std::vector<char32_t>;

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FINDING: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline const char* encoding_label(text_encoding enc) {
    static const char* const names[] = {"utf8",    "utf16",   "utf16le",  "utf16be",    "utf32",
                                        "utf32le", "utf32be", "us_ascii", "iso_8859_1", "windows_1252"};
    return names[static_cast<unsigned>(enc)];
}

// ---------------------------------------------------------------------------
// Reference codecs.

struct ref_result {
    bool ok = true;
    std::string message;  // when !ok
    codepoints text;      // decoders
    std::string bytes;    // encoders
};

inline ref_result ref_error(std::string m) {
    ref_result r;
    r.ok = false;
    r.message = std::move(m);
    return r;
}

inline std::string hex_upper(std::uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

inline void put_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Bytes 0x80-0x9F of windows-1252; 0xA0-0xFF are Latin-1.
inline constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char32_t cp1252_char(std::uint8_t b) { return b >= 0x80 && b < 0xA0 ? cp1252_high[b - 0x80] : b; }

inline int cp1252_byte(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (int i = 0; i < 32; ++i)
        if (cp1252_high[i] == c) return 0x80 + i;
    return -1;
}

inline ref_result ref_decode_utf8(const std::uint8_t* s, std::size_t n) {
    ref_result r;
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = s[i];
        if (b < 0x80) {
            r.text.push_back(b);
            ++i;
            continue;
        }
        std::size_t need;
        std::uint8_t lo = 0x80, hi = 0xBF;
        char32_t c;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return ref_error("Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index " + std::to_string(i));
        }
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= n)
                return ref_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + std::to_string(i));
            const std::uint8_t t = s[i + k];
            const bool in_range = k == 1 ? (t >= lo && t <= hi) : (t >= 0x80 && t <= 0xBF);
            if (!in_range)
                return ref_error("Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(k) +
                                 " bytes from index " + std::to_string(i));
            c = (c << 6) | (t & 0x3F);
        }
        r.text.push_back(c);
        i += need + 1;
    }
    return r;
}

inline ref_result ref_decode_utf16_fixed(const std::uint8_t* s, std::size_t n, bool le) {
    if (n % 2) return ref_error("UTF-16 requires an even number of bytes");
    ref_result r;
    const std::size_t units = n / 2;
    auto unit = [&](std::size_t k) -> char32_t {
        return le ? s[2 * k] | (s[2 * k + 1] << 8) : (s[2 * k] << 8) | s[2 * k + 1];
    };
    for (std::size_t k = 0; k < units; ++k) {
        const char32_t u = unit(k);
        if (u < 0xD800 || u > 0xDFFF) {
            r.text.push_back(u);
        } else if (u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
            r.text.push_back(0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00));
            ++k;
        } else {
            return ref_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
        }
    }
    return r;
}

inline ref_result ref_decode_utf32_fixed(const std::uint8_t* s, std::size_t n, bool le) {
    if (n % 4) return ref_error("UTF-32 requires a multiple of 4 bytes");
    ref_result r;
    for (std::size_t k = 0; k < n; k += 4) {
        const std::uint32_t u = le ? s[k] | (s[k + 1] << 8) | (s[k + 2] << 16) | (std::uint32_t{s[k + 3]} << 24)
                                   : (std::uint32_t{s[k]} << 24) | (s[k + 1] << 16) | (s[k + 2] << 8) | s[k + 3];
        if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) return ref_error("Invalid UTF-32 codepoint: 0x" + hex_upper(u, 8));
        r.text.push_back(u);
    }
    return r;
}

inline ref_result ref_decode(text_encoding enc, const std::uint8_t* s, std::size_t n) {
    switch (enc) {
        case text_encoding::utf8: return ref_decode_utf8(s, n);
        case text_encoding::utf16:
            if (n < 2 || n % 2) return ref_error("UTF-16 requires an even number of bytes with at least 2 bytes");
            if (s[0] == 0xFE && s[1] == 0xFF) return ref_decode_utf16_fixed(s + 2, n - 2, false);
            if (s[0] == 0xFF && s[1] == 0xFE) return ref_decode_utf16_fixed(s + 2, n - 2, true);
            return ref_decode_utf16_fixed(s, n, false);
        case text_encoding::utf16le: return ref_decode_utf16_fixed(s, n, true);
        case text_encoding::utf16be: return ref_decode_utf16_fixed(s, n, false);
        case text_encoding::utf32:
            if (n < 4 || n % 4) return ref_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
            if (s[0] == 0 && s[1] == 0 && s[2] == 0xFE && s[3] == 0xFF) return ref_decode_utf32_fixed(s + 4, n - 4, false);
            if (s[0] == 0xFF && s[1] == 0xFE && s[2] == 0 && s[3] == 0) return ref_decode_utf32_fixed(s + 4, n - 4, true);
            return ref_decode_utf32_fixed(s, n, false);
        case text_encoding::utf32le: return ref_decode_utf32_fixed(s, n, true);
        case text_encoding::utf32be: return ref_decode_utf32_fixed(s, n, false);
        case text_encoding::us_ascii: {
            ref_result r;
            for (std::size_t i = 0; i < n; ++i) {
                if (s[i] >= 0x80)
                    return ref_error("Invalid US-ASCII byte: 0x" + hex_upper(s[i], 2) + " (must be <= 0x7F)");
                r.text.push_back(s[i]);
            }
            return r;
        }
        case text_encoding::iso_8859_1: {
            ref_result r;
            for (std::size_t i = 0; i < n; ++i) r.text.push_back(s[i]);
            return r;
        }
        case text_encoding::windows_1252: {
            ref_result inner;
            if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
                inner = ref_decode_utf8(s + 3, n - 3);
            } else if (n >= 2 && s[0] == 0xFF && s[1] == 0xFE) {
                inner = ref_decode_utf16_fixed(s + 2, n - 2, true);
            } else if (n >= 2 && s[0] == 0xFE && s[1] == 0xFF) {
                inner = ref_decode_utf16_fixed(s + 2, n - 2, false);
            } else {
                for (std::size_t i = 0; i < n; ++i) inner.text.push_back(cp1252_char(s[i]));
            }
            if (!inner.ok) return ref_error("Failed to decode Windows-1252 bytes");
            return inner;
        }
    }
    fail("unknown encoding");
}

inline std::string lone_surrogate(char32_t c, std::size_t index) {
    return "Lone surrogate U+" + hex_upper(c, 4) + " at index " + std::to_string(index) + " cannot be encoded";
}

inline ref_result ref_encode(text_encoding enc, const codepoints& text) {
    ref_result r;
    std::string& out = r.bytes;
    auto unit16 = [&](char32_t u, bool le) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += le ? lo : hi;
        out += le ? hi : lo;
    };
    auto unit32 = [&](char32_t u, bool le) {
        for (int k = 0; k < 4; ++k) out += static_cast<char>((u >> (le ? 8 * k : 24 - 8 * k)) & 0xFF);
    };
    const bool le = enc == text_encoding::utf16le || enc == text_encoding::utf32le;
    if (enc == text_encoding::utf16) out.append("\xFE\xFF", 2);
    if (enc == text_encoding::utf32) out.append("\x00\x00\xFE\xFF", 4);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
        switch (enc) {
            case text_encoding::utf8:
            case text_encoding::utf16:
            case text_encoding::utf16le:
            case text_encoding::utf16be:
            case text_encoding::utf32:
            case text_encoding::utf32le:
            case text_encoding::utf32be:
                if (surrogate) return ref_error(lone_surrogate(c, i));
                break;
            default: break;
        }
        switch (enc) {
            case text_encoding::utf8: put_utf8(out, c); break;
            case text_encoding::utf16:
            case text_encoding::utf16le:
            case text_encoding::utf16be:
                if (c < 0x10000) {
                    unit16(c, le);
                } else {
                    unit16(0xD800 + ((c - 0x10000) >> 10), le);
                    unit16(0xDC00 + ((c - 0x10000) & 0x3FF), le);
                }
                break;
            case text_encoding::utf32:
            case text_encoding::utf32le:
            case text_encoding::utf32be: unit32(c, le); break;
            case text_encoding::us_ascii:
            case text_encoding::iso_8859_1: {
                const char32_t limit = enc == text_encoding::us_ascii ? 0x7F : 0xFF;
                if (c > limit) {
                    if (surrogate) return ref_error(lone_surrogate(c, i));
                    std::string ch;
                    put_utf8(ch, c);
                    return ref_error("Character '" + ch + "' (U+" + hex_upper(c, 4) + ") is not valid " +
                                     (enc == text_encoding::us_ascii ? "US-ASCII" : "ISO-8859-1"));
                }
                out += static_cast<char>(c);
                break;
            }
            case text_encoding::windows_1252: {
                const int b = cp1252_byte(c);
                if (b < 0) {
                    if (surrogate) return ref_error(lone_surrogate(c, i));
                    return ref_error("Failed to encode to Windows-1252");
                }
                out += static_cast<char>(b);
                break;
            }
        }
    }
    return r;
}

// ---------------------------------------------------------------------------
// Sinks that hand out exactly what is asked for.

struct exact_byte_sink final : byte_sink {
    bool refuse = false;
    int reserves = 0, commits = 0;
    std::size_t reserved = 0, committed = 0;
    std::unique_ptr<std::uint8_t[]> room;
    std::uint8_t* reserve(std::size_t n) override {
        if (++reserves != 1) fail("byte sink: reserve called twice");
        reserved = n;
        if (refuse) return nullptr;
        // Sizes beyond what the fuzzer can produce mean a broken bound.
        if (n > (std::size_t{1} << 28)) fail("byte sink: absurd reservation", std::to_string(n));
        room.reset(new std::uint8_t[n]);
        return room.get();
    }
    void commit(std::size_t n) override {
        if (++commits != 1) fail("byte sink: commit called twice");
        if (reserves != 1 || refuse) fail("byte sink: commit without room");
        if (n > reserved) fail("byte sink: committed more than reserved");
        committed = n;
    }
};

struct exact_text_sink final : text_sink {
    bool refuse = false;
    int calls = 0;
    text_shape shape{};
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t[]> room;
    void* allocate(const text_shape& s) override {
        if (++calls != 1) fail("text sink: allocate called twice");
        shape = s;
        if (refuse) return nullptr;
        if (s.length > (std::size_t{1} << 26)) fail("text sink: absurd length", std::to_string(s.length));
        size = s.length * storage_width(s.max_char);
        room.reset(new std::uint8_t[size]);
        // Poison-like filler: a decoder that leaves a unit unwritten shows up
        // as a wrong character rather than as a lucky zero.
        std::memset(room.get(), 0xA5, size);
        return room.get();
    }
    codepoints text() const {
        codepoints out;
        const unsigned w = storage_width(shape.max_char);
        for (std::size_t i = 0; i < shape.length; ++i) {
            std::uint32_t u = 0;
            if (w == 1) {
                u = room[i];
            } else if (w == 2) {
                std::uint16_t v;
                std::memcpy(&v, room.get() + 2 * i, 2);
                u = v;
            } else {
                std::memcpy(&u, room.get() + 4 * i, 4);
            }
            out.push_back(u);
        }
        return out;
    }
};

// One run of a codec, as comparable data.
struct outcome {
    bool ok = false;
    error_kind kind = error_kind::value_error;
    std::string message;
    codepoints text;   // decoders
    std::string bytes; // encoders
    unsigned storage = 0;  // decoders: storage class of the shape
    bool operator==(const outcome&) const = default;
};

inline std::string describe(const outcome& o) {
    if (!o.ok) return "error(" + std::to_string(static_cast<int>(o.kind)) + ") " + o.message;
    std::string s = "ok class " + std::to_string(o.storage) + " [";
    for (char32_t c : o.text) s += hex_upper(c, 4) + " ";
    s += "] bytes ";
    for (unsigned char b : o.bytes) s += hex_upper(b, 2);
    return s;
}

inline outcome run_decode(text_encoding enc, const std::uint8_t* data, std::size_t size, bool refuse) {
    exact_text_sink sink;
    sink.refuse = refuse;
    const status st = decode_text(enc, {data, size}, sink);
    outcome o;
    o.ok = st.ok();
    if (!o.ok) {
        o.kind = st.err().kind;
        o.message = st.err().message;
        if (o.kind == error_kind::pending) {
            if (!refuse || sink.calls != 1) fail("decoder: pending error without a refused sink");
        } else if (sink.calls != 0) {
            fail("decoder: sink called before a failure", o.message);
        }
        return o;
    }
    if (refuse) fail("decoder: succeeded with a refusing sink");
    if (sink.calls != 1) fail("decoder: success without storage");
    o.text = sink.text();
    o.storage = storage_class(sink.shape.max_char);
    // Well formed and canonical: scalar values only, and the largest one in
    // the class the shape announced (the host's strings depend on it).
    char32_t max = 0;
    for (char32_t c : o.text) {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) fail("decoder: produced a non-scalar value", hex_upper(c, 8));
        if (c > max) max = c;
    }
    if (storage_class(max) != o.storage)
        fail("decoder: shape class differs from the text", std::to_string(o.storage) + " vs max " + hex_upper(max, 4));
    return o;
}

inline outcome run_encode(text_encoding enc, const text_view& text, bool refuse) {
    exact_byte_sink sink;
    sink.refuse = refuse;
    const status st = encode_text(enc, text, sink);
    outcome o;
    o.ok = st.ok();
    if (sink.reserves == 1 && sink.reserved != encoded_size_bound(enc, text))
        fail("encoder: reservation differs from encoded_size_bound");
    if (!o.ok) {
        o.kind = st.err().kind;
        o.message = st.err().message;
        if (sink.commits != 0) fail("encoder: committed bytes and failed");
        if (o.kind == error_kind::pending && !refuse) fail("encoder: pending error without a refused sink");
        return o;
    }
    if (refuse) fail("encoder: succeeded with a refusing sink");
    if (sink.commits != 1) fail("encoder: success without commit");
    o.bytes.assign(reinterpret_cast<const char*>(sink.room.get()), sink.committed);
    return o;
}

inline outcome from_ref(const ref_result& r, bool decoder) {
    outcome o;
    o.ok = r.ok;
    o.message = r.message;
    if (decoder) {
        o.text = r.text;
        char32_t max = 0;
        for (char32_t c : r.text) max = c > max ? c : max;
        if (r.ok) o.storage = storage_class(max);
    } else {
        o.bytes = r.bytes;
    }
    return o;
}

// ---------------------------------------------------------------------------
// The two directions.

inline void check_decode(text_encoding enc, const std::uint8_t* data, std::size_t size) {
    const text_decoder_path paths[] = {text_decoder_path::scalar, text_decoder_path::portable,
                                       text_decoder_path::best};
    // The input is copied to a heap block of its exact size, so a read past
    // its end is caught even when the fuzzer's own buffer is larger.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size) std::memcpy(copy.get(), data, size);
    outcome first;
    for (auto p : paths) {
        set_text_decoder_path(p);
        const outcome o = run_decode(enc, copy.get(), size, false);
        if (p == text_decoder_path::scalar) {
            first = o;
            const outcome want = from_ref(ref_decode(enc, copy.get(), size), true);
            if (!(o == want))
                fail("decoder differs from the reference",
                     std::string(encoding_label(enc)) + "\n got  " + describe(o) + "\n want " + describe(want));
        } else if (!(o == first)) {
            fail("decoder level differs from scalar",
                 std::string(encoding_label(enc)) + " level " + std::to_string(static_cast<int>(p)) + "\n got    " +
                     describe(o) + "\n scalar " + describe(first));
        }
        // A sink that cannot give storage: a pending error, or the same fault.
        const outcome refused = run_decode(enc, copy.get(), size, true);
        if (first.ok ? refused.kind != error_kind::pending : !(refused == first))
            fail("decoder with a refusing sink", encoding_label(enc));
    }
    set_text_decoder_path(text_decoder_path::best);
}

// Builds a host text from fuzz bytes. control: bits 0-1 pick the width (1, 2,
// 4), bits 2-3 the misalignment, bit 4 clears the ASCII mark of ASCII text.
struct host_text {
    std::unique_ptr<std::uint8_t[]> block;
    text_view view;
    codepoints points;
};

inline host_text make_text(std::uint8_t control, const std::uint8_t* data, std::size_t size) {
    host_text t;
    const unsigned widths[] = {1, 2, 4, 1};
    const unsigned w = widths[control & 3];
    const unsigned skew = (control >> 2) & 3;
    const std::size_t n = size / w;
    t.block.reset(new std::uint8_t[n * w + skew]);
    std::uint8_t* base = t.block.get() + skew;
    bool ascii = true;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t c = 0;
        for (unsigned k = 0; k < w; ++k) c |= std::uint32_t{data[i * w + k]} << (8 * k);
        // Host strings hold code points only; surrogates are allowed.
        if (w == 4) c %= 0x110000;
        t.points.push_back(c);
        ascii &= c < 0x80;
        if (w == 1) base[i] = static_cast<std::uint8_t>(c);
        else if (w == 2) { const auto v = static_cast<std::uint16_t>(c); std::memcpy(base + 2 * i, &v, 2); }
        else std::memcpy(base + 4 * i, &c, 4);
    }
    t.view = text_view{base, n, w, w == 1 && ascii && !(control & 0x10)};
    return t;
}

inline void check_encode(text_encoding enc, const host_text& t) {
    const text_encoder_path paths[] = {text_encoder_path::scalar, text_encoder_path::portable,
                                       text_encoder_path::best};
    outcome first;
    for (auto p : paths) {
        set_text_encoder_path(p);
        const outcome o = run_encode(enc, t.view, false);
        if (p == text_encoder_path::scalar) {
            first = o;
            const outcome want = from_ref(ref_encode(enc, t.points), false);
            if (!(o == want))
                fail("encoder differs from the reference",
                     std::string(encoding_label(enc)) + " width " + std::to_string(t.view.width) + "\n got  " +
                         describe(o) + "\n want " + describe(want));
        } else if (!(o == first)) {
            fail("encoder level differs from scalar",
                 std::string(encoding_label(enc)) + " width " + std::to_string(t.view.width) + " level " +
                     std::to_string(static_cast<int>(p)) + "\n got    " + describe(o) + "\n scalar " + describe(first));
        }
        const outcome refused = run_encode(enc, t.view, true);
        if (refused.ok || (refused.kind != error_kind::pending && !(refused == first)))
            fail("encoder with a refusing sink", encoding_label(enc));
    }
    set_text_encoder_path(text_encoder_path::best);
    if (!first.ok) return;
    // Exact bounds where the interface promises them.
    const bool loose = (enc == text_encoding::utf8 && !(t.view.width == 1 && t.view.ascii)) ||
                       (t.view.width == 4 && (enc == text_encoding::utf16 || enc == text_encoding::utf16le ||
                                              enc == text_encoding::utf16be));
    if (!loose && first.bytes.size() != encoded_size_bound(enc, t.view)) fail("encoder: inexact size bound");
    // Back again. A windows-1252 text that starts like a byte order mark is
    // read as that mark by the decoder, so it cannot come back.
    const auto* b = reinterpret_cast<const std::uint8_t*>(first.bytes.data());
    const std::size_t n = first.bytes.size();
    if (enc == text_encoding::windows_1252 && n >= 2 &&
        ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF) ||
         (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)))
        return;
    const outcome back = run_decode(enc, b, n, false);
    if (!back.ok || back.text != t.points) fail("encoded text does not decode back", encoding_label(enc));
}

// One target: decode the input with each encoding, and encode it as text.
template <std::size_t N>
int fuzz_one(const text_encoding (&encodings)[N], const std::uint8_t* data, std::size_t size) {
    for (auto enc : encodings) check_decode(enc, data, size);
    if (size == 0) return 0;
    const host_text t = make_text(data[0], data + 1, size - 1);
    for (auto enc : encodings) check_encode(enc, t);
    return 0;
}

}  // namespace pwfuzz
