// libFuzzer target: the IEEE 754 codecs.
//
// binary16: the portable road and the processor's half-precision road (when
// this machine has it) must agree bit for bit in both directions, and both
// must equal a reference computed in binary64 arithmetic with round to
// nearest, ties to even; a non-NaN pattern survives decode then encode.
// binary32/binary64: reinterpretation round trips, and narrowing a binary64
// to binary32 gives the nearest binary32 (ties to even, infinities past the
// range). binary128 decoding: the documented truncation, checked against a
// reference, and every binary64 widened exactly to binary128 decodes back
// to itself (subnormals to a zero of the same sign).
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "decoder/ieee754.hpp"
#include "encoder/ieee754.hpp"

using namespace packweaver;

namespace {

[[noreturn]] void fail(const char* what, unsigned long long input, unsigned long long got, unsigned long long want) {
    std::fprintf(stderr, "FINDING: %s input=0x%llX got=0x%llX want=0x%llX\n", what, input, got, want);
    std::abort();
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }
std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

std::uint64_t ref_encode_f16(float f) {
    const std::uint32_t x = bits_of(f);
    const std::uint64_t sign = (x >> 16) & 0x8000;
    if (std::isnan(f)) return sign | 0x7C00 | 0x0200 | ((x & 0x7FFFFF) >> 13);
    const double a = std::fabs(static_cast<double>(f));
    if (std::isinf(a)) return sign | 0x7C00;
    if (a < 0x1p-14) return sign | static_cast<std::uint64_t>(std::nearbyint(a * 0x1p24));  // 1024 is the least normal
    int k = 0;
    const double m = std::frexp(a, &k);  // a = m * 2**k, m in [0.5, 1)
    double q = std::nearbyint(m * 2048.0);  // 11 significant bits
    int e = k - 1 + 15;
    if (q == 2048.0) {
        q = 1024.0;
        ++e;
    }
    if (e >= 31) return sign | 0x7C00;
    return sign | (static_cast<std::uint64_t>(e) << 10) | (static_cast<std::uint64_t>(q) - 1024);
}

std::uint32_t ref_decode_f16(std::uint64_t pattern) {
    const auto h = static_cast<std::uint32_t>(pattern & 0xFFFF);
    const std::uint32_t sign = (h & 0x8000) << 16, e = (h >> 10) & 0x1F, f = h & 0x3FF;
    if (e == 31) return f == 0 ? (sign | 0x7F800000) : (sign | 0x7FC00000 | (f << 13));
    const double v = e == 0 ? std::ldexp(f, -24) : std::ldexp(1024 + f, static_cast<int>(e) - 25);
    return bits_of(static_cast<float>(v)) | sign;
}

void check_f16(float f) {
    const std::uint64_t want = ref_encode_f16(f);
    const std::uint64_t portable = detail::encode_f16_portable(f);
    if (portable != want) fail("binary16 encode, portable road", bits_of(f), portable, want);
    if (detail::f16_hardware_available()) {
        const std::uint64_t hw = detail::encode_f16_hardware(f);
        if (hw != want) fail("binary16 encode, hardware road", bits_of(f), hw, want);
    }
    const std::uint64_t chosen = encode_ieee754_f16(f);
    if (chosen != want) fail("binary16 encode", bits_of(f), chosen, want);
}

void check_f16_decode(std::uint64_t pattern) {
    const std::uint32_t want = ref_decode_f16(pattern);
    const std::uint32_t portable = bits_of(detail::decode_f16_portable(pattern));
    if (portable != want) fail("binary16 decode, portable road", pattern, portable, want);
    if (detail::f16_hardware_available()) {
        const std::uint32_t hw = bits_of(detail::decode_f16_hardware(pattern));
        if (hw != want) fail("binary16 decode, hardware road", pattern, hw, want);
    }
    const float back = decode_ieee754_f16(pattern);
    if (bits_of(back) != want) fail("binary16 decode", pattern, bits_of(back), want);
    // Exact widening: encoding gives the pattern back (a NaN made quiet).
    const std::uint64_t h = pattern & 0xFFFF;
    const bool nan = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0;
    const std::uint64_t again = encode_ieee754_f16(back);
    if (again != (nan ? h | 0x0200 : h)) fail("binary16 decode then encode", pattern, again, h);
}

void check_narrow(double d) {
    const float r = narrow_to_f32(d);
    if (std::isnan(d)) {
        if (!std::isnan(r)) fail("narrowing a NaN", bits_of(d), bits_of(r), 0);
        return;
    }
    if (std::signbit(r) != std::signbit(d)) fail("narrowing lost the sign", bits_of(d), bits_of(r), 0);
    if (std::fabs(d) >= 0x1.ffffffp127) {
        if (!std::isinf(r)) fail("narrowing past the binary32 range", bits_of(d), bits_of(r), 0);
        return;
    }
    if (std::isinf(d) || !std::isfinite(r)) fail("narrowing to an infinity", bits_of(d), bits_of(r), 0);
    // Nearest, ties to the even significand. Differences are exact in long double.
    const long double err = std::fabs(static_cast<long double>(d) - r);
    for (float next : {std::nextafter(r, INFINITY), std::nextafter(r, -INFINITY)}) {
        if (std::isinf(next)) continue;
        const long double other = std::fabs(static_cast<long double>(d) - next);
        if (other < err || (other == err && (bits_of(r) & 1))) fail("narrowing is not to nearest even", bits_of(d), bits_of(r), bits_of(next));
    }
}

double ref_f128(std::uint64_t high, std::uint64_t low) {
    const bool negative = high >> 63;
    const unsigned e = (high >> 48) & 0x7FFF;
    const std::uint64_t fh = high & 0xFFFFFFFFFFFFULL;
    double mag;
    if (e == 0x7FFF) {
        if (fh || low) return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000ULL});
        mag = INFINITY;
    } else if (e >= 0x43FF) {
        mag = INFINITY;
    } else if (e <= 0x3C00) {
        mag = 0.0;
    } else {
        const std::uint64_t significand = (std::uint64_t{1} << 52) | (fh << 4) | (low >> 60);
        mag = std::ldexp(static_cast<double>(significand), static_cast<int>(e) - 16383 - 52);
    }
    return negative ? -mag : mag;
}

void check_f128(std::uint64_t high, std::uint64_t low) {
    const double got = decode_ieee754_f128(high, low);
    const double want = ref_f128(high, low);
    if (bits_of(got) != bits_of(want)) fail("binary128 decode", high, bits_of(got), bits_of(want));
}

// The binary128 with the same value as d (d not NaN), as two halves.
void widen(double d, std::uint64_t& high, std::uint64_t& low) {
    const std::uint64_t x = bits_of(d);
    const std::uint64_t sign = x & 0x8000000000000000ULL;
    std::uint64_t e = (x >> 52) & 0x7FF, f = x & 0xFFFFFFFFFFFFFULL;
    std::uint64_t e128;
    if (e == 0x7FF) {
        e128 = 0x7FFF;
    } else if (e == 0) {
        if (f == 0) {
            e128 = 0;
        } else {  // normalise the subnormal
            int shift = 0;
            while (!(f & (std::uint64_t{1} << 52))) {
                f <<= 1;
                ++shift;
            }
            f &= 0xFFFFFFFFFFFFFULL;
            e128 = static_cast<std::uint64_t>(1 - shift - 1023 + 16383);
        }
    } else {
        e128 = e - 1023 + 16383;
    }
    high = sign | (e128 << 48) | (f >> 4);
    low = f << 60;
}

void check_widened(double d) {
    if (std::isnan(d)) return;
    std::uint64_t high, low;
    widen(d, high, low);
    const double got = decode_ieee754_f128(high, low);
    const double want = std::fpclassify(d) == FP_SUBNORMAL ? std::copysign(0.0, d) : d;
    if (bits_of(got) != bits_of(want)) fail("binary128 of a binary64 does not decode back", bits_of(d), bits_of(got), bits_of(want));
}

// Float bits whose exponent is often at a binary16 boundary.
std::uint32_t pick_float_bits(FuzzedDataProvider& in) {
    std::uint32_t x = in.ConsumeIntegral<std::uint32_t>();
    if (in.ConsumeBool()) {
        static const std::uint32_t exponents[] = {0, 1, 101, 102, 103, 112, 113, 114, 126, 127, 141, 142, 143, 144, 254, 255};
        x = (x & 0x807FFFFF) | (in.PickValueInArray(exponents) << 23);
    }
    return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        const float f = std::bit_cast<float>(pick_float_bits(in));
        check_f16(f);
        if (bits_of(static_cast<float>(decode_ieee754_f32(encode_ieee754_f32(f)))) != bits_of(f))
            fail("binary32 round trip", bits_of(f), 0, 0);
        check_f16_decode(in.ConsumeIntegral<std::uint64_t>());
        const double d = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        if (bits_of(decode_ieee754_f64(encode_ieee754_f64(d))) != bits_of(d)) fail("binary64 round trip", bits_of(d), 0, 0);
        check_narrow(d);
        check_narrow(static_cast<double>(f) * (1.0 + std::ldexp(in.ConsumeIntegralInRange<int>(-3, 3), -25)));
        // The double-rounding road of the packer: binary64 to binary32 to binary16.
        check_f16(narrow_to_f32(d));
        check_widened(d);
        const std::uint64_t high = in.ConsumeIntegral<std::uint64_t>(), low = in.ConsumeIntegral<std::uint64_t>();
        check_f128(high, low);
        // Exponents at the edges of the binary64 range.
        static const std::uint64_t edges[] = {0x3BFF, 0x3C00, 0x3C01, 0x3FFF, 0x43FE, 0x43FF, 0x7FFE, 0x7FFF, 0};
        check_f128((high & 0x8000FFFFFFFFFFFFULL) | (in.PickValueInArray(edges) << 48), low);
    }
    return 0;
}
