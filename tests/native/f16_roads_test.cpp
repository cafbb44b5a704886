// The two binary16 roads, the portable bit-level one and the processor's
// half-precision instructions, must agree bit for bit. Encoding is checked
// for every binary32 pattern whose exponent sits near a binary16 boundary
// (overflow, the normal/subnormal edge, underflow, zero, infinity and NaN)
// and for every 17th pattern elsewhere, which still meets every combination
// of the rounding bits; decoding is checked for all 65,536 patterns.
// Exits 0 with a notice when the processor lacks the instructions.
#include <bit>
#include <cstdint>
#include <cstdio>

#include "../../src/decoder/ieee754.hpp"
#include "../../src/encoder/ieee754.hpp"

namespace d = packweaver::detail;

namespace {

int failures = 0;

void report(const char* what, std::uint32_t input, std::uint64_t portable, std::uint64_t hardware) {
    if (++failures <= 8)
        std::printf("%s mismatch for 0x%08X: portable 0x%llX, hardware 0x%llX\n", what, input,
                    static_cast<unsigned long long>(portable), static_cast<unsigned long long>(hardware));
}

void check_encode(std::uint32_t x) {
    const float f = std::bit_cast<float>(x);
    const std::uint64_t p = d::encode_f16_portable(f), h = d::encode_f16_hardware(f);
    if (p != h) report("encode", x, p, h);
}

// Zero and binary32 subnormals, underflow to the subnormal range and to the
// normal range, overflow with and without a rounding carry, infinity and NaN.
bool near_boundary(std::uint32_t exponent) {
    return exponent == 0 || (exponent >= 101 && exponent <= 113) || exponent == 142 || exponent == 143 ||
           exponent == 255;
}

}  // namespace

int main() {
    if (!d::f16_hardware_available()) {
        std::puts("skipped: no half-precision conversion instructions on this processor");
        return 0;
    }
    std::uint64_t checked = 0;
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
            const std::uint32_t base = (sign << 31) | (exponent << 23);
            const std::uint32_t stride = near_boundary(exponent) ? 1 : 17;
            for (std::uint32_t m = exponent % stride; m < (1u << 23); m += stride, ++checked) check_encode(base | m);
        }
    }
    for (std::uint32_t h = 0; h < 0x10000; ++h) {
        const auto p = std::bit_cast<std::uint32_t>(d::decode_f16_portable(h));
        const auto w = std::bit_cast<std::uint32_t>(d::decode_f16_hardware(h));
        if (p != w) report("decode", h, p, w);
    }
    if (failures != 0) {
        std::printf("%d mismatches\n", failures);
        return 1;
    }
    std::printf("ok: %llu binary32 and 65536 binary16 patterns agree\n", static_cast<unsigned long long>(checked));
    return 0;
}
