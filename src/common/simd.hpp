// Which vector instructions the text kernels may use: SSE2 wherever the
// target has it, AVX2 only after a run-time check.
#pragma once

// SSE2 is part of x86-64; MSVC says so through _M_X64 rather than __SSE2__.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define PW_TEXT_SSE2 1
#else
#define PW_TEXT_SSE2 0
#endif

#include <cstdint>

#if PW_TEXT_SSE2 && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PW_TEXT_AVX2 1
// Functions built for AVX2 run only after a run-time check. Before one of
// them calls into SSE2 code it clears the upper register halves
// (_mm256_zeroupper): the compiler does not always, and SSE2 code running
// with them dirty is several times slower.
#define PW_AVX2 __attribute__((target("avx2,popcnt")))
#define PW_AVX2_INLINE __attribute__((target("avx2,popcnt"), always_inline)) inline
#else
#define PW_TEXT_AVX2 0
#endif

namespace packweaver::detail {

// True when the processor runs AVX2 (and POPCNT); asked once.
inline bool cpu_has_avx2() noexcept {
#if PW_TEXT_AVX2
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace packweaver::detail

namespace packweaver::simd {

#if PW_TEXT_SSE2
// Unaligned loads and stores, byte swaps within 16- and 32-bit units.
inline __m128i load128(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i swap_bytes16(__m128i v) noexcept { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
inline __m128i swap_bytes32(__m128i v) noexcept {
    return swap_bytes16(_mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1));
}
// 0xFF in every byte that is 0x80-0x9F, where windows-1252 differs from Latin-1.
inline __m128i c1_bytes(__m128i v) noexcept { return _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0))); }
#endif

#if PW_TEXT_AVX2
PW_AVX2_INLINE __m256i load256(const std::uint8_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
PW_AVX2_INLINE void store256(std::uint8_t* p, __m256i v) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
PW_AVX2_INLINE __m256i swap_bytes16(__m256i v) noexcept {
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5,
                                                   4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
}
PW_AVX2_INLINE __m256i swap_bytes32(__m256i v) noexcept {
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7,
                                                   6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
}
#endif

}  // namespace packweaver::simd
