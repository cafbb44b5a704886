// The vector primitives the text kernels build on: unaligned loads and
// stores, byte swaps within 16- and 32-bit units. Which instruction sets are
// compiled in, and the run-time check for AVX2, are platform.hpp's.
#pragma once

#include <cstdint>

#include "platform.hpp"

#if PW_HAVE_SSE2
#include <emmintrin.h>
#endif
#if PW_HAVE_AVX2
#include <immintrin.h>
#endif

namespace packweaver::simd {

#if PW_HAVE_SSE2
inline __m128i load128(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m128i swap_bytes16(__m128i v) noexcept { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
inline __m128i swap_bytes32(__m128i v) noexcept {
    return swap_bytes16(_mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1));
}
#endif

#if PW_HAVE_AVX2
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
