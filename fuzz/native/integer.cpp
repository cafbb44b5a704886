// libFuzzer target: two's complement, ones' complement and sign-magnitude.
//
// Encoders: for every width from 1 to 64 (2 to 64 for sign-magnitude) a value
// encodes exactly when it lies in the format's range, the pattern has no bit
// at or above the width, decodes back to the value, and a refusal carries
// the documented message. Wider widths are refused; width 0 may be refused
// or must give an empty pattern. Decoders: every pattern and every width
// (0 and beyond 64 included) decodes without fault, a pattern inside the
// field re-encodes to itself (negative zeros to zero), and bits above the
// field never change the sign-magnitude result.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decoder/integer.hpp"
#include "encoder/integer.hpp"

using namespace packweaver;
using i128 = __int128;

namespace {

[[noreturn]] void fail(const char* what, std::int64_t v, std::size_t bits, const std::string& extra = {}) {
    std::fprintf(stderr, "FINDING: %s value=%lld bits=%zu %s\n", what, static_cast<long long>(v), bits,
                 extra.c_str());
    std::abort();
}

std::uint64_t mask(std::size_t bits) { return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1; }

std::size_t pick_width(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return in.ConsumeIntegral<std::size_t>();  // anything, SIZE_MAX included
        case 1: return in.ConsumeIntegralInRange<std::size_t>(60, 130);
        default: return in.ConsumeIntegralInRange<std::size_t>(0, 65);
    }
}

std::int64_t pick_value(FuzzedDataProvider& in, std::size_t bits) {
    // Values near the edges of the field's range find the off-by-ones.
    if (bits >= 1 && bits <= 64 && in.ConsumeBool()) {
        const i128 half = i128{1} << (bits - 1);
        const i128 edges[] = {-half - 1, -half, -half + 1, -1, 0, 1, half - 2, half - 1, half};
        i128 v = edges[in.ConsumeIntegralInRange<int>(0, 8)];
        if (v < INT64_MIN) v = INT64_MIN;
        if (v > INT64_MAX) v = INT64_MAX;
        return static_cast<std::int64_t>(v);
    }
    return in.ConsumeIntegral<std::int64_t>();
}

void check_twos(std::int64_t v, std::size_t bits) {
    const auto r = encode_twos_complement(v, bits);
    if (bits > 64) {
        if (r.ok() || r.err().message != "bits must be <= 64 for two's complement encoding")
            fail("twos: width above 64 not refused as documented", v, bits);
        return;
    }
    if (bits == 0) {
        if (r.ok() && *r != 0) fail("twos: width 0 gave bits", v, bits);
        return;
    }
    const i128 lo = -(i128{1} << (bits - 1)), hi = (i128{1} << (bits - 1)) - 1;
    const bool fits = v >= lo && v <= hi;
    if (fits != r.ok()) fail("twos: range check", v, bits);
    if (!fits) {
        const std::string want = "Value " + std::to_string(v) + " out of range for " + std::to_string(bits) +
                                 " bits (range: " + std::to_string(static_cast<long long>(lo)) + " to " +
                                 std::to_string(static_cast<long long>(hi)) + ")";
        if (r.err().message != want) fail("twos: message", v, bits, r.err().message);
        return;
    }
    if (*r != (static_cast<std::uint64_t>(v) & mask(bits))) fail("twos: pattern", v, bits);
    if (decode_twos_complement(*r, bits) != v) fail("twos: round trip", v, bits);
}

void check_ones(std::int64_t v, std::size_t bits) {
    const auto r = encode_ones_complement(v, bits);
    if (bits > 64) {
        if (r.ok() || r.err().message != "bits must be <= 64 for ones' complement encoding")
            fail("ones: width above 64 not refused as documented", v, bits);
        return;
    }
    if (bits == 0) {
        if (r.ok() && *r != 0 && v < 0) fail("ones: width 0 gave bits for a negative value", v, bits);
        return;
    }
    const i128 limit = (i128{1} << (bits - 1)) - 1;
    const bool fits = v >= -limit && v <= limit;
    if (fits != r.ok()) fail("ones: range check", v, bits);
    if (!fits) {
        const std::string want = "Value " + std::to_string(v) + (v < 0 ? " is too large (magnitude) for " : " is too large for ") +
                                 std::to_string(bits) + " bits";
        if (r.err().message != want) fail("ones: message", v, bits, r.err().message);
        return;
    }
    if ((*r & ~mask(bits)) != 0) fail("ones: bits above the field", v, bits);
    if (v < 0 && *r != mask(bits) - static_cast<std::uint64_t>(-static_cast<i128>(v))) fail("ones: pattern", v, bits);
    if (*r == mask(bits)) fail("ones: produced negative zero", v, bits);
    if (decode_ones_complement(*r, bits) != v) fail("ones: round trip", v, bits);
}

void check_sign_magnitude(std::int64_t v, std::size_t bits) {
    const auto r = encode_sign_magnitude(v, bits);
    if (bits < 2 || bits > 64) {
        if (r.ok() || r.err().message != "bits must be between 2 and 64 for sign-magnitude encoding")
            fail("sign-magnitude: width not refused as documented", v, bits);
        return;
    }
    const i128 m = v < 0 ? -static_cast<i128>(v) : v;
    const bool fits = m < (i128{1} << (bits - 1));
    if (fits != r.ok()) fail("sign-magnitude: range check", v, bits);
    if (!fits) {
        const std::string want = "Magnitude of " + std::to_string(v) + " is too large for " + std::to_string(bits) + " bits";
        if (r.err().message != want) fail("sign-magnitude: message", v, bits, r.err().message);
        return;
    }
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    if (*r != (static_cast<std::uint64_t>(m) | (v < 0 ? sign : 0))) fail("sign-magnitude: pattern", v, bits);
    if (decode_sign_magnitude(*r, bits) != v) fail("sign-magnitude: round trip", v, bits);
}

void check_decoders(std::uint64_t p, std::size_t bits) {
    // Any width decodes, without undefined behaviour (the sanitizers watch).
    const std::int64_t t = decode_twos_complement(p, bits);
    const std::int64_t o = decode_ones_complement(p, bits);
    const std::int64_t s = decode_sign_magnitude(p, bits);
    const std::string pat = "pattern=" + std::to_string(p);
    if (bits >= 64 && t != static_cast<std::int64_t>(p)) fail("twos decode: wide field", 0, bits, pat);
    if (bits >= 1 && bits <= 64) {
        // Bits above the sign position never reach the sign-magnitude result.
        if (decode_sign_magnitude(p | ~mask(bits), bits) != s) fail("sign-magnitude decode: high bits", 0, bits, pat);
        const std::uint64_t field = p & mask(bits);
        const bool negative_zero_ones = field == mask(bits);
        const bool negative_zero_sm = bits >= 2 && field == std::uint64_t{1} << (bits - 1);
        if (field == p) {
            const auto te = encode_twos_complement(t, bits);
            if (!te.ok() || *te != p) fail("twos: decode then encode", t, bits, pat);
            const auto oe = encode_ones_complement(o, bits);
            if (!oe.ok() || *oe != (negative_zero_ones ? 0 : p)) fail("ones: decode then encode", o, bits, pat);
            if (bits >= 2) {
                const auto se = encode_sign_magnitude(s, bits);
                if (!se.ok() || *se != (negative_zero_sm ? 0 : p)) fail("sign-magnitude: decode then encode", s, bits, pat);
            }
        } else if (bits < 64) {
            // Above-field bits: two's complement with the sign set ignores them.
            if ((p >> (bits - 1)) & 1) {
                if (t != decode_twos_complement(field, bits)) fail("twos decode: bits above a negative field", 0, bits, pat);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        const std::size_t bits = pick_width(in);
        const std::int64_t v = pick_value(in, bits);
        check_twos(v, bits);
        check_ones(v, bits);
        check_sign_magnitude(v, bits);
        check_decoders(static_cast<std::uint64_t>(in.ConsumeIntegral<std::int64_t>()), bits);
        check_decoders(static_cast<std::uint64_t>(v), bits);
    }
    return 0;
}
