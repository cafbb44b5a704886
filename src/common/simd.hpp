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
