// Small portability helpers shared by every unit.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define PW_LIKELY(x) __builtin_expect(!!(x), 1)
#define PW_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define PW_COLD __attribute__((cold, noinline))
#define PW_INLINE inline __attribute__((always_inline))
#define PW_NOINLINE __attribute__((noinline))
#else
#define PW_LIKELY(x) (x)
#define PW_UNLIKELY(x) (x)
#define PW_COLD
#define PW_INLINE inline
#define PW_NOINLINE
#endif
