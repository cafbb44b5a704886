// libFuzzer target: packed BCD and unpacked (zoned) BCD, unsigned and signed.
//
// Encoders: within the meaningful widths (4 to 64 packed, 8 to 64 unpacked)
// a value encodes exactly when its digits fit, the pattern holds one valid
// digit per position and nothing above the field, and it decodes back.
// Wider fields may be refused; whatever they give must still decode back.
// Decoders: every pattern and width (huge widths included, which must not
// cost time) decodes without fault; the first bad nibble or byte in the
// documented order decides the message; an accepted pattern re-encodes to
// the same digits with the sign written canonically.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decoder/bcd.hpp"
#include "encoder/bcd.hpp"

using namespace packweaver;

namespace {

[[noreturn]] void fail(const char* what, std::uint64_t v, std::size_t bits, bool sig, const std::string& extra = {}) {
    std::fprintf(stderr, "FINDING: %s value/pattern=%llu (0x%llX) bits=%zu signed=%d %s\n", what,
                 static_cast<unsigned long long>(v), static_cast<unsigned long long>(v), bits, sig, extra.c_str());
    std::abort();
}

std::string hex2(unsigned b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

std::uint64_t mag(std::int64_t v) { return v < 0 ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v); }

unsigned decimal_digits(std::uint64_t m) {
    unsigned d = 0;
    while (m) { ++d; m /= 10; }
    return d;
}

std::size_t pick_width(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return in.ConsumeIntegral<std::size_t>();
        case 1: return in.ConsumeIntegralInRange<std::size_t>(60, 200);
        default: return in.ConsumeIntegralInRange<std::size_t>(0, 72);
    }
}

// A value, or a number with a chosen count of decimal digits.
std::int64_t pick_value(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<std::int64_t>();
    std::int64_t v = 0;
    const int digits = in.ConsumeIntegralInRange<int>(0, 18);
    for (int i = 0; i < digits; ++i) v = v * 10 + in.ConsumeIntegralInRange<int>(0, 9);
    return in.ConsumeBool() ? -v : v;
}

void check_packed_encode(std::int64_t v, std::size_t bits, bool sig) {
    const auto r = encode_packed_bcd(v, bits, sig);
    const auto uv = static_cast<std::uint64_t>(v);
    if (bits < 4) {
        if (r.ok() || r.err().message != "bits must be >= 4 for packed BCD") fail("packed encode: narrow width", uv, bits, sig);
        return;
    }
    if (v < 0 && !sig) {
        if (r.ok() || (bits <= 64 && r.err().message != "Cannot encode negative value in unsigned BCD"))
            fail("packed encode: negative unsigned", uv, bits, sig);
        return;
    }
    if (bits > 64 && !r.ok()) return;  // a wide field may be refused
    const std::size_t n = bits / 4, digits = sig ? n - 1 : n;
    const bool fits = decimal_digits(mag(v)) <= digits;
    if (bits <= 64) {
        if (fits != r.ok()) fail("packed encode: digit count check", uv, bits, sig);
        if (!fits) {
            const std::string want =
                "Value " + std::to_string(v) + " has too many digits for " + std::to_string(digits) + " BCD digits";
            if (r.err().message != want) fail("packed encode: message", uv, bits, sig, r.err().message);
            return;
        }
        if ((*r & ~(bits >= 64 ? ~0ull : (1ull << (4 * n)) - 1)) != 0) fail("packed encode: bits above the field", uv, bits, sig);
    }
    const auto back = decode_packed_bcd(*r, bits, sig);
    if (!back.ok() || *back != v) fail("packed: round trip", uv, bits, sig);
}

void check_unpacked_encode(std::int64_t v, std::size_t bits, bool sig) {
    const auto r = encode_unpacked_bcd(v, bits, sig);
    const auto uv = static_cast<std::uint64_t>(v);
    if (bits < 8) {
        if (r.ok() || r.err().message != "bits must be >= 8 for unpacked BCD") fail("unpacked encode: narrow width", uv, bits, sig);
        return;
    }
    if (bits > 64 && !r.ok()) return;
    const std::size_t n = bits / 8;
    if (v < 0 && !sig) {
        // Either refused, or the sign is dropped and the magnitude encoded.
        if (!r.ok()) return;
        const auto back = decode_unpacked_bcd(*r, bits, false);
        if (!back.ok() || static_cast<std::uint64_t>(*back) != mag(v)) fail("unpacked encode: negative unsigned", uv, bits, sig);
        return;
    }
    const bool fits = decimal_digits(mag(v)) <= n;
    if (bits <= 64) {
        if (fits != r.ok()) fail("unpacked encode: digit count check", uv, bits, sig);
        if (!fits) {
            const std::string want =
                "Value " + std::to_string(v) + " has too many digits for " + std::to_string(n) + " BCD digits";
            if (r.err().message != want) fail("unpacked encode: message", uv, bits, sig, r.err().message);
            return;
        }
        if (n < 8 && (*r >> (8 * n)) != 0) fail("unpacked encode: bits above the field", uv, bits, sig);
    }
    const auto back = decode_unpacked_bcd(*r, bits, sig);
    if (!back.ok() || *back != v) fail("unpacked: round trip", uv, bits, sig);
}

// The documented decoding, first fault in order. ok=false carries the message.
struct expect {
    bool ok;
    std::int64_t value;
    std::string message;
};

expect ref_packed(std::uint64_t p, std::size_t bits, bool sig) {
    if (bits < 4) return {true, 0, {}};
    const std::size_t n = bits / 4;
    bool negative = false;
    std::size_t first = 0;
    if (sig) {
        const unsigned s = p & 0xF;
        if (s < 0xA) return {false, 0, "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"};
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    std::uint64_t m = 0, weight = 1;
    for (std::size_t k = first; k < n && k < 16; ++k, weight *= 10) {
        const unsigned d = (p >> (4 * k)) & 0xF;
        if (d > 9) return {false, 0, "Invalid BCD digit: " + std::to_string(d) + " (must be 0-9)"};
        m += d * weight;
    }
    return {true, negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m), {}};
}

expect ref_unpacked(std::uint64_t p, std::size_t bits, bool sig) {
    if (bits < 8) return {true, 0, {}};
    const std::size_t n = bits / 8;
    bool negative = false;
    std::uint64_t m = 0, weight = 1;
    for (std::size_t k = 0; k < n && k < 8; ++k, weight *= 10) {
        const unsigned b = (p >> (8 * k)) & 0xFF, zone = b >> 4, d = b & 0xF;
        if (!sig) {
            if (b > 9) return {false, 0, "Invalid BCD digit: " + std::to_string(b) + " (must be 0-9)"};
        } else if (k == 0) {
            if (d > 9 || (zone != 0xC && zone != 0xD && zone != 0xF && zone != 0x3))
                return {false, 0, "Invalid zoned decimal signed byte: 0x" + hex2(b) +
                                      " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"};
            negative = zone == 0xD;
        } else if (d > 9 || (zone != 0x3 && zone != 0xF)) {
            return {false, 0, "Invalid zoned decimal byte: 0x" + hex2(b) + " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"};
        }
        m += d * weight;
    }
    return {true, negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m), {}};
}

void check_packed_decode(std::uint64_t p, std::size_t bits, bool sig) {
    const auto r = decode_packed_bcd(p, bits, sig);
    const expect e = ref_packed(p, bits, sig);
    if (r.ok() != e.ok) fail("packed decode: accepts differently", p, bits, sig, r.ok() ? "" : r.err().message);
    if (!r.ok()) {
        if (r.err().message != e.message) fail("packed decode: message", p, bits, sig, r.err().message);
        return;
    }
    if (*r != e.value) fail("packed decode: value", p, bits, sig, std::to_string(*r));
    if (bits < 4 || bits > 64) return;
    // Re-encoding gives the field's digits back, with the canonical sign.
    const std::size_t n = bits / 4;
    const auto again = encode_packed_bcd(*r, bits, sig);
    if (!again.ok()) fail("packed: decoded value does not encode", p, bits, sig);
    std::uint64_t want = p & (n >= 16 ? ~0ull : (1ull << (4 * n)) - 1);
    if (sig) want = (want & ~0xFull) | (*r < 0 ? 0xD : 0xC);
    if (*again != want) fail("packed: decode then encode", p, bits, sig);
}

void check_unpacked_decode(std::uint64_t p, std::size_t bits, bool sig) {
    const auto r = decode_unpacked_bcd(p, bits, sig);
    expect e = ref_unpacked(p, bits, sig);
    // Signed: zones are required on every byte, and a field wider than the
    // pattern has bytes without one.
    const bool wide_zoned = sig && bits / 8 > 8;
    if (wide_zoned && e.ok) {
        if (r.ok()) fail("unpacked decode: zoned bytes past the pattern accepted", p, bits, sig);
        return;
    }
    if (r.ok() != e.ok) fail("unpacked decode: accepts differently", p, bits, sig, r.ok() ? "" : r.err().message);
    if (!r.ok()) {
        if (r.err().message != e.message) fail("unpacked decode: message", p, bits, sig, r.err().message);
        return;
    }
    if (*r != e.value) fail("unpacked decode: value", p, bits, sig, std::to_string(*r));
    if (bits < 8 || bits > 64) return;
    const std::size_t n = bits / 8;
    const auto again = encode_unpacked_bcd(*r, bits, sig);
    if (!again.ok()) fail("unpacked: decoded value does not encode", p, bits, sig);
    std::uint64_t want = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t d = (p >> (8 * k)) & 0xF;
        const std::uint64_t zone = !sig ? 0 : k > 0 ? 0xF0 : (*r < 0 ? 0xD0 : 0xC0);
        want |= (zone | d) << (8 * k);
    }
    if (*again != want) fail("unpacked: decode then encode", p, bits, sig);
}

// A pattern made of mostly valid digits, so the decoders get past the first nibble.
std::uint64_t pick_pattern(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<std::uint64_t>();
    std::uint64_t p = 0;
    const bool zoned = in.ConsumeBool();
    for (int k = 0; k < (zoned ? 8 : 16); ++k) {
        std::uint64_t unit = in.ConsumeIntegralInRange<unsigned>(0, 9);
        if (zoned) unit |= std::uint64_t{in.PickValueInArray({0x30u, 0xC0u, 0xD0u, 0xF0u, 0x00u, 0xA0u})};
        p |= unit << (zoned ? 8 * k : 4 * k);
    }
    if (!zoned && in.ConsumeBool()) p = (p & ~0xFull) | in.ConsumeIntegralInRange<unsigned>(0, 15);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        const std::size_t bits = pick_width(in);
        const bool sig = in.ConsumeBool();
        const std::int64_t v = pick_value(in);
        check_packed_encode(v, bits, sig);
        check_unpacked_encode(v, bits, sig);
        const std::uint64_t p = pick_pattern(in);
        check_packed_decode(p, bits, sig);
        check_unpacked_decode(p, bits, sig);
    }
    return 0;
}
