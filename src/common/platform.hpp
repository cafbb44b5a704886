// What the core asks of the compiler and the processor, in one place: branch
// hints and inlining attributes, the bit-level builtins, which vector
// instruction sets may be compiled in, and the run-time checks for the
// optional ones. Every builtin has a portable road for compilers without the
// GNU builtins (MSVC's intrinsics, or plain C++), so the rest of the core
// names none of them directly.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__GNUC__) || defined(__clang__)
#define PW_GNU 1
#else
#define PW_GNU 0
#endif

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define PW_X86 1
#else
#define PW_X86 0
#endif

#if PW_GNU && PW_X86 && defined(__clang__) && __clang_major__ < 16
#include <cpuid.h>
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define PW_MSVC 1
#else
#define PW_MSVC 0
#endif

// ---------------------------------------------------------------------------
// Hints and attributes.

#if PW_GNU
#define PW_LIKELY(x) __builtin_expect(!!(x), 1)
#define PW_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define PW_COLD __attribute__((cold, noinline))
#define PW_INLINE inline __attribute__((always_inline))
#define PW_NOINLINE __attribute__((noinline))
#elif PW_MSVC
#define PW_LIKELY(x) (x)
#define PW_UNLIKELY(x) (x)
#define PW_COLD __declspec(noinline)
#define PW_INLINE __forceinline
#define PW_NOINLINE __declspec(noinline)
#else
#define PW_LIKELY(x) (x)
#define PW_UNLIKELY(x) (x)
#define PW_COLD
#define PW_INLINE inline
#define PW_NOINLINE
#endif

// ---------------------------------------------------------------------------
// Vector instruction sets that may be compiled in.
//
// SSE2 is part of x86-64 and is used wherever the target has it; MSVC says so
// through _M_X64 rather than __SSE2__. AVX2 and F16C code is built into
// functions of its own with a target attribute and runs only after a
// run-time check (cpu_has_avx2(), cpu_has_f16c()); that needs the GNU
// attribute, so other compilers build without it.

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define PW_HAVE_SSE2 1
#else
#define PW_HAVE_SSE2 0
#endif

#if PW_HAVE_SSE2 && defined(__x86_64__) && PW_GNU
#define PW_HAVE_AVX2 1
// Functions built for AVX2. Before one of them calls into SSE2 code it
// clears the upper register halves (_mm256_zeroupper): the compiler does not
// always, and SSE2 code running with them dirty is several times slower.
#define PW_AVX2 __attribute__((target("avx2,popcnt")))
#define PW_AVX2_INLINE __attribute__((target("avx2,popcnt"), always_inline)) inline
#else
#define PW_HAVE_AVX2 0
#endif

#if PW_X86 && PW_GNU
#define PW_HAVE_F16C 1
#define PW_F16C __attribute__((target("f16c")))
#else
#define PW_HAVE_F16C 0
#endif

namespace packweaver {

// ---------------------------------------------------------------------------
// Wide integers.
//
// u128 holds exact sums of bit positions and widths: two 64-bit values can
// need 65 bits. Where the compiler has a 128-bit integer (GCC, Clang) it is
// that type. MSVC has none, so there u128 is wide_u128 below, two 64-bit
// words with the operators the core applies to u128; PW_PORTABLE_U128 picks
// it on any compiler, so that road can be built and tested where the native
// type exists. wide_u128 is always defined, for the test that holds it
// against the native type.

// Two-word unsigned 128-bit integer, modular like the built-in unsigned
// types. Built-in integers convert to it implicitly (negative ones
// sign-extended, as they would to unsigned __int128), so mixed arithmetic
// and comparisons read as they do with the native type; it converts back
// only through static_cast, keeping the low bits (bool: nonzero). Shift
// counts are 0..127. Division and remainder are cheap when both sides fit
// in 64 bits, or the divisor in 32; other divisions go bit by bit, which is
// fine for the cold paths that do them.
class wide_u128 {
public:
    constexpr wide_u128() noexcept = default;

    // Integers of up to 64 bits only: a wider one would lose its high word.
    template <class T, std::enable_if_t<std::is_integral_v<T> && sizeof(T) <= 8, int> = 0>
    constexpr wide_u128(T v) noexcept : lo_(static_cast<std::uint64_t>(v)) {
        if constexpr (std::is_signed_v<T>) hi_ = v < 0 ? ~std::uint64_t{0} : 0;
    }

    template <class T, std::enable_if_t<std::is_integral_v<T> && sizeof(T) <= 8, int> = 0>
    constexpr explicit operator T() const noexcept {
        if constexpr (std::is_same_v<T, bool>) return (lo_ | hi_) != 0;
        else return static_cast<T>(lo_);
    }

    constexpr std::uint64_t low() const noexcept { return lo_; }
    constexpr std::uint64_t high() const noexcept { return hi_; }
    static constexpr wide_u128 from_words(std::uint64_t high, std::uint64_t low) noexcept {
        wide_u128 r;
        r.hi_ = high;
        r.lo_ = low;
        return r;
    }

    friend constexpr bool operator==(wide_u128 a, wide_u128 b) noexcept { return a.lo_ == b.lo_ && a.hi_ == b.hi_; }
    friend constexpr bool operator!=(wide_u128 a, wide_u128 b) noexcept { return !(a == b); }
    friend constexpr bool operator<(wide_u128 a, wide_u128 b) noexcept {
        return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_;
    }
    friend constexpr bool operator>(wide_u128 a, wide_u128 b) noexcept { return b < a; }
    friend constexpr bool operator<=(wide_u128 a, wide_u128 b) noexcept { return !(b < a); }
    friend constexpr bool operator>=(wide_u128 a, wide_u128 b) noexcept { return !(a < b); }

    friend constexpr wide_u128 operator+(wide_u128 a, wide_u128 b) noexcept {
        const std::uint64_t low = a.lo_ + b.lo_;
        return from_words(a.hi_ + b.hi_ + (low < a.lo_ ? 1 : 0), low);
    }
    friend constexpr wide_u128 operator-(wide_u128 a, wide_u128 b) noexcept {
        return from_words(a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1 : 0), a.lo_ - b.lo_);
    }
    friend constexpr wide_u128 operator*(wide_u128 a, wide_u128 b) noexcept {
        wide_u128 r = multiply(a.lo_, b.lo_);
        r.hi_ += a.lo_ * b.hi_ + a.hi_ * b.lo_;
        return r;
    }
    friend constexpr wide_u128 operator/(wide_u128 a, wide_u128 b) noexcept {
        wide_u128 q, r;
        divide(a, b, q, r);
        return q;
    }
    friend constexpr wide_u128 operator%(wide_u128 a, wide_u128 b) noexcept {
        wide_u128 q, r;
        divide(a, b, q, r);
        return r;
    }
    friend constexpr wide_u128 operator&(wide_u128 a, wide_u128 b) noexcept {
        return from_words(a.hi_ & b.hi_, a.lo_ & b.lo_);
    }
    friend constexpr wide_u128 operator|(wide_u128 a, wide_u128 b) noexcept {
        return from_words(a.hi_ | b.hi_, a.lo_ | b.lo_);
    }
    friend constexpr wide_u128 operator^(wide_u128 a, wide_u128 b) noexcept {
        return from_words(a.hi_ ^ b.hi_, a.lo_ ^ b.lo_);
    }
    friend constexpr wide_u128 operator~(wide_u128 a) noexcept { return from_words(~a.hi_, ~a.lo_); }

    // The count is any integer type, as for the built-in shifts; it is not
    // converted to wide_u128.
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    friend constexpr wide_u128 operator<<(wide_u128 a, T count) noexcept {
        const unsigned n = static_cast<unsigned>(count) & 127;
        if (n == 0) return a;
        if (n >= 64) return from_words(a.lo_ << (n - 64), 0);
        return from_words(a.hi_ << n | a.lo_ >> (64 - n), a.lo_ << n);
    }
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    friend constexpr wide_u128 operator>>(wide_u128 a, T count) noexcept {
        const unsigned n = static_cast<unsigned>(count) & 127;
        if (n == 0) return a;
        if (n >= 64) return from_words(0, a.hi_ >> (n - 64));
        return from_words(a.hi_ >> n, a.lo_ >> n | a.hi_ << (64 - n));
    }

    constexpr wide_u128& operator+=(wide_u128 b) noexcept { return *this = *this + b; }
    constexpr wide_u128& operator-=(wide_u128 b) noexcept { return *this = *this - b; }
    constexpr wide_u128& operator*=(wide_u128 b) noexcept { return *this = *this * b; }
    constexpr wide_u128& operator/=(wide_u128 b) noexcept { return *this = *this / b; }
    constexpr wide_u128& operator%=(wide_u128 b) noexcept { return *this = *this % b; }
    constexpr wide_u128& operator&=(wide_u128 b) noexcept { return *this = *this & b; }
    constexpr wide_u128& operator|=(wide_u128 b) noexcept { return *this = *this | b; }
    constexpr wide_u128& operator^=(wide_u128 b) noexcept { return *this = *this ^ b; }
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    constexpr wide_u128& operator<<=(T count) noexcept { return *this = *this << count; }
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    constexpr wide_u128& operator>>=(T count) noexcept { return *this = *this >> count; }
    constexpr wide_u128& operator++() noexcept { return *this += 1; }
    constexpr wide_u128& operator--() noexcept { return *this -= 1; }
    constexpr wide_u128 operator++(int) noexcept {
        const wide_u128 old = *this;
        *this += 1;
        return old;
    }
    constexpr wide_u128 operator--(int) noexcept {
        const wide_u128 old = *this;
        *this -= 1;
        return old;
    }

private:
    // The full product of two 64-bit words.
    static constexpr wide_u128 multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if PW_MSVC && defined(_M_X64)
        if (!std::is_constant_evaluated()) {
            std::uint64_t high = 0;
            const std::uint64_t low = _umul128(a, b, &high);
            return from_words(high, low);
        }
#endif
        constexpr std::uint64_t half = 0xFFFFFFFF;
        const std::uint64_t a0 = a & half, a1 = a >> 32, b0 = b & half, b1 = b >> 32;
        const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        // Three 32-bit values and a carry: cannot overflow 64 bits.
        const std::uint64_t middle = (p00 >> 32) + (p01 & half) + (p10 & half);
        return from_words(p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), middle << 32 | (p00 & half));
    }

    // Quotient and remainder. A zero divisor divides by a 64-bit zero, so it
    // fails the way the built-in division does.
    static constexpr void divide(wide_u128 n, wide_u128 d, wide_u128& q, wide_u128& r) noexcept {
        if (d.hi_ == 0) {
            if (n.hi_ == 0) {
                q = n.lo_ / d.lo_;
                r = n.lo_ % d.lo_;
                return;
            }
            if (d.lo_ <= 0xFFFFFFFF) {
                // Long division by 32-bit digits: each step divides a value
                // below d * 2**32, which fits in 64 bits.
                const std::uint64_t digits[4] = {n.hi_ >> 32, n.hi_ & 0xFFFFFFFF, n.lo_ >> 32, n.lo_ & 0xFFFFFFFF};
                std::uint64_t quotient[4] = {}, rest = 0;
                for (int k = 0; k < 4; ++k) {
                    const std::uint64_t part = rest << 32 | digits[k];
                    quotient[k] = part / d.lo_;
                    rest = part % d.lo_;
                }
                q = from_words(quotient[0] << 32 | quotient[1], quotient[2] << 32 | quotient[3]);
                r = rest;
                return;
            }
        }
        // Shift and subtract, from the dividend's highest set bit down.
        q = 0;
        r = 0;
        if (n < d) {
            r = n;
            return;
        }
        const int top = n.hi_ != 0 ? 127 - std::countl_zero(n.hi_) : 63 - std::countl_zero(n.lo_);
        for (int k = top; k >= 0; --k) {
            r = r << 1 | ((n >> k).lo_ & 1);
            if (r >= d) {
                r -= d;
                q |= wide_u128(1) << k;
            }
        }
    }

    std::uint64_t lo_ = 0;
    std::uint64_t hi_ = 0;
};

#if defined(__SIZEOF_INT128__) && !defined(PW_PORTABLE_U128)
__extension__ typedef unsigned __int128 u128;
#else
using u128 = wide_u128;
#endif

// ---------------------------------------------------------------------------
// Bit operations on unsigned integers: byte_swap of 16, 32 or 64 bits, usable
// in constant expressions; popcount, count_trailing_zeros and
// count_leading_zeros of 32 or 64 bits, as std::popcount, std::countr_zero
// and std::countl_zero but for a nonzero argument only, which lets them be
// the bare instruction.

template <class T>
PW_INLINE constexpr T byte_swap(T v) noexcept {
    static_assert(std::is_unsigned_v<T> && (sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
#if PW_GNU
    if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
    else if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
    else return __builtin_bswap64(v);
#else
#if PW_MSVC
    if (!std::is_constant_evaluated()) {
        if constexpr (sizeof(T) == 2) return _byteswap_ushort(v);
        else if constexpr (sizeof(T) == 4) return _byteswap_ulong(v);
        else return _byteswap_uint64(v);
    }
#endif
    T r = 0;
    for (unsigned k = 0; k < sizeof(T); ++k) r = static_cast<T>(r << 8 | ((v >> (8 * k)) & 0xFF));
    return r;
#endif
}

template <class T>
PW_INLINE constexpr unsigned popcount(T v) noexcept {
    static_assert(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>);
#if PW_GNU
    if constexpr (sizeof(T) == 4) return static_cast<unsigned>(__builtin_popcount(v));
    else return static_cast<unsigned>(__builtin_popcountll(v));
#else
    return static_cast<unsigned>(std::popcount(v));
#endif
}

template <class T>
PW_INLINE constexpr unsigned count_trailing_zeros(T v) noexcept {
    static_assert(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>);
#if PW_GNU
    if constexpr (sizeof(T) == 4) return static_cast<unsigned>(__builtin_ctz(v));
    else return static_cast<unsigned>(__builtin_ctzll(v));
#else
    return static_cast<unsigned>(std::countr_zero(v));
#endif
}

template <class T>
PW_INLINE constexpr unsigned count_leading_zeros(T v) noexcept {
    static_assert(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>);
#if PW_GNU
    if constexpr (sizeof(T) == 4) return static_cast<unsigned>(__builtin_clz(v));
    else return static_cast<unsigned>(__builtin_clzll(v));
#else
    return static_cast<unsigned>(std::countl_zero(v));
#endif
}

// The byte swaps by width, for callers that name it.
PW_INLINE constexpr std::uint16_t byte_swap16(std::uint16_t v) noexcept { return byte_swap(v); }
PW_INLINE constexpr std::uint32_t byte_swap32(std::uint32_t v) noexcept { return byte_swap(v); }
PW_INLINE constexpr std::uint64_t byte_swap64(std::uint64_t v) noexcept { return byte_swap(v); }

// A hint to bring the cache line at p in for reading; never faults.
PW_INLINE void prefetch(const void* p) noexcept {
#if PW_GNU
    __builtin_prefetch(p);
#elif PW_MSVC && PW_X86
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

// ---------------------------------------------------------------------------
// Run-time processor checks, each asked once. They say what the processor
// and the operating system support, whether or not code for it is compiled
// in (PW_HAVE_AVX2, PW_HAVE_F16C).

namespace platform_detail {

#if PW_MSVC && PW_X86
// Leaf 1 ECX and leaf 7 EBX, with the AVX bits cleared unless the operating
// system saves the vector registers (XCR0 bits 1 and 2).
struct cpu_features {
    int leaf1_ecx = 0;
    int leaf7_ebx = 0;
};
inline cpu_features read_cpu_features() noexcept {
    int r[4];
    __cpuid(r, 0);
    const int max_leaf = r[0];
    cpu_features f;
    __cpuid(r, 1);
    f.leaf1_ecx = r[2];
    const bool os_saves_ymm = (r[2] & (1 << 27)) != 0 && (_xgetbv(0) & 6) == 6;
    if (!os_saves_ymm) f.leaf1_ecx &= ~((1 << 28) | (1 << 29));  // AVX, F16C
    if (max_leaf >= 7 && os_saves_ymm) {
        __cpuidex(r, 7, 0);
        f.leaf7_ebx = r[1];
    }
    return f;
}
#endif

}  // namespace platform_detail

// AVX2, together with POPCNT (which every AVX2 processor has, and which the
// AVX2 code uses too).
inline bool cpu_has_avx2() noexcept {
#if PW_GNU && PW_X86
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    }();
    return has;
#elif PW_MSVC && PW_X86
    static const bool has = [] {
        const platform_detail::cpu_features f = platform_detail::read_cpu_features();
        return (f.leaf7_ebx & (1 << 5)) != 0 && (f.leaf1_ecx & (1 << 23)) != 0;
    }();
    return has;
#else
    return false;
#endif
}

// The half-precision conversions (F16C).
inline bool cpu_has_f16c() noexcept {
#if PW_GNU && PW_X86 && defined(__clang__) && __clang_major__ < 16
    // Older clang does not know "f16c" as a feature name: ask the processor,
    // and the operating system whether it saves the vector registers.
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0 || (c & bit_F16C) == 0) return false;
        unsigned xcr0 = 0, high = 0;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
        return (xcr0 & 6) == 6;
    }();
    return has;
#elif PW_GNU && PW_X86
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("f16c") != 0;
    }();
    return has;
#elif PW_MSVC && PW_X86
    static const bool has = (platform_detail::read_cpu_features().leaf1_ecx & (1 << 29)) != 0;
    return has;
#else
    return false;
#endif
}

}  // namespace packweaver
