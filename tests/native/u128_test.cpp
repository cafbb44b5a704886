// The two-word u128 (wide_u128, which MSVC builds use) against the
// compiler's own unsigned __int128: every operator, on random values drawn
// to reach the carries, the word boundary and each division road, and on
// the edges. Without a native type only the constant checks below run.
// Exits non-zero if any check fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "common/format.hpp"
#include "common/platform.hpp"

using packweaver::wide_u128;

namespace {

// Worked out at compile time: the operators are usable in constant expressions.
constexpr wide_u128 two64 = wide_u128(1) << 64;
static_assert(two64.high() == 1 && two64.low() == 0);
static_assert(two64 - 1 == wide_u128(~std::uint64_t{0}));
static_assert((two64 >> 1).low() == std::uint64_t{1} << 63);
static_assert(wide_u128(~std::uint64_t{0}) + 1 == two64);
static_assert(wide_u128(0) - 1 == ~wide_u128(0));
static_assert(wide_u128(-1) == ~wide_u128(0));  // sign-extended, as the native conversion
static_assert(wide_u128(~std::uint64_t{0}) * ~std::uint64_t{0} == wide_u128::from_words(~std::uint64_t{0} - 1, 1));
static_assert((two64 * 10 + 7) / 10 == two64 && (two64 * 10 + 7) % 10 == 7);
static_assert(wide_u128::from_words(3, 5) / wide_u128::from_words(1, 0) == 3);
static_assert(wide_u128::from_words(3, 5) % wide_u128::from_words(1, 0) == 5);
static_assert(wide_u128::from_words(5, 0) / (std::uint64_t{1} << 40) == wide_u128(5) << 24);
static_assert(wide_u128(7) < two64 && two64 > 7u && two64 >= two64 && 7 <= wide_u128(7) && two64 != 0);
static_assert(static_cast<std::uint64_t>(two64 + 9) == 9 && static_cast<int>(two64 + 9) == 9);
static_assert(static_cast<bool>(two64) && !static_cast<bool>(wide_u128(0)));
static_assert(sizeof(wide_u128) == 16);

int failures = 0;

#if defined(__SIZEOF_INT128__)

__extension__ typedef unsigned __int128 native;

wide_u128 wide_of(native v) {
    return wide_u128::from_words(static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v));
}

std::string text(native v) {
    return "0x" + packweaver::fmt::hex(static_cast<std::uint64_t>(v >> 64), 16) +
           packweaver::fmt::hex(static_cast<std::uint64_t>(v), 16);
}

void same(wide_u128 got, native want, const char* op, native a, native b) {
    if (got == wide_of(want)) return;
    if (++failures <= 30)
        std::fprintf(stderr, "FAIL: %s %s %s: got 0x%016llx%016llx, want %s\n", text(a).c_str(), op, text(b).c_str(),
                     static_cast<unsigned long long>(got.high()), static_cast<unsigned long long>(got.low()),
                     text(want).c_str());
}

void same_bool(bool got, bool want, const char* op, native a, native b) {
    if (got == want) return;
    if (++failures <= 30) std::fprintf(stderr, "FAIL: %s %s %s: got %d\n", text(a).c_str(), op, text(b).c_str(), got);
}

// Values of every shape: small, one word, two words, near the edges, powers
// of two, and divisors for each road of the division.
native draw(std::mt19937_64& rng) {
    const native full = native{rng()} << 64 | rng();
    switch (rng() % 10) {
        case 0: return rng() % 300;
        case 1: return native{rng()};
        case 2: return native{rng() & 0xFFFFFFFF};
        case 3: return native{1} << (rng() % 128);
        case 4: return (native{1} << (rng() % 128)) - 1;
        case 5: return ~native{0} - rng() % 4;
        case 6: return full >> (rng() % 128);
        case 7: return (native{rng() % 4} << 64) | rng();
        default: return full;
    }
}

void check_pair(native a, native b) {
    const wide_u128 x = wide_of(a), y = wide_of(b);
    same(x + y, a + b, "+", a, b);
    same(x - y, a - b, "-", a, b);
    same(x * y, a * b, "*", a, b);
    if (b != 0) {
        same(x / y, a / b, "/", a, b);
        same(x % y, a % b, "%", a, b);
    }
    same(x & y, a & b, "&", a, b);
    same(x | y, a | b, "|", a, b);
    same(x ^ y, a ^ b, "^", a, b);
    same(~x, ~a, "~", a, 0);
    const unsigned n = static_cast<unsigned>(b % 128);
    same(x << n, a << n, "<<", a, n);
    same(x >> n, a >> n, ">>", a, n);
    same(x << static_cast<int>(n), a << n, "<< int", a, n);
    same(x >> std::size_t{n}, a >> n, ">> size_t", a, n);
    same_bool(x == y, a == b, "==", a, b);
    same_bool(x != y, a != b, "!=", a, b);
    same_bool(x < y, a < b, "<", a, b);
    same_bool(x <= y, a <= b, "<=", a, b);
    same_bool(x > y, a > b, ">", a, b);
    same_bool(x >= y, a >= b, ">=", a, b);
    same_bool(x == x, true, "== self", a, a);

    wide_u128 z = x;
    same(z += y, a + b, "+=", a, b);
    z = x;
    same(z -= y, a - b, "-=", a, b);
    z = x;
    same(z *= y, a * b, "*=", a, b);
    if (b != 0) {
        z = x;
        same(z /= y, a / b, "/=", a, b);
        z = x;
        same(z %= y, a % b, "%=", a, b);
    }
    z = x;
    same(z &= y, a & b, "&=", a, b);
    z = x;
    same(z |= y, a | b, "|=", a, b);
    z = x;
    same(z ^= y, a ^ b, "^=", a, b);
    z = x;
    same(z <<= n, a << n, "<<=", a, n);
    z = x;
    same(z >>= n, a >> n, ">>=", a, n);
    z = x;
    same(++z, a + 1, "++", a, 1);
    same(z++, a + 1, "post ++", a, 1);
    same(z, a + 2, "after post ++", a, 2);
    same(--z, a + 1, "--", a, 1);
    same(z--, a + 1, "post --", a, 1);
    same(z, a, "after post --", a, 0);

    // Mixed with built-in integers, the way the core writes them.
    const std::uint64_t w = static_cast<std::uint64_t>(b);
    same(x + w, a + w, "+ u64", a, w);
    same(x - w, a - w, "- u64", a, w);
    same(x * w, a * w, "* u64", a, w);
    same(w - x, w - a, "u64 -", w, a);
    same(x * 8, a * 8, "* 8", a, 8);
    same((x + 7) / 8, (a + 7) / 8, "/ 8", a + 7, 8);
    same(x % 10, a % 10, "% 10", a, 10);
    same(x / 10, a / 10, "/ 10", a, 10);
    if (w != 0) {
        same(x / w, a / w, "/ u64", a, w);
        same(x % w, a % w, "% u64", a, w);
    }
    same((x << 8) | static_cast<std::uint8_t>(w), (a << 8) | static_cast<std::uint8_t>(w), "<< 8 |", a, w);
    same_bool(x < w, a < w, "< u64", a, w);
    same_bool(x <= w, a <= w, "<= u64", a, w);
    same_bool(x > w, a > w, "> u64", a, w);
    same_bool(x >= w, a >= w, ">= u64", a, w);
    same_bool(x == w, a == w, "== u64", a, w);
    same_bool(w != x, w != a, "u64 !=", w, a);
    same_bool(x > 7, a > 7, "> 7", a, 7);
    same_bool(x == 0, a == 0, "== 0", a, 0);
    same_bool(static_cast<bool>(x), a != 0, "bool", a, 0);
    same_bool(static_cast<std::uint64_t>(x) == static_cast<std::uint64_t>(a), true, "to u64", a, 0);
    same_bool(static_cast<std::size_t>(x) == static_cast<std::size_t>(a), true, "to size_t", a, 0);
    same_bool(static_cast<unsigned>(x) == static_cast<unsigned>(a), true, "to unsigned", a, 0);
    same_bool(static_cast<int>(x) == static_cast<int>(a), true, "to int", a, 0);
    same_bool(static_cast<std::uint8_t>(x) == static_cast<std::uint8_t>(a), true, "to u8", a, 0);
    same_bool(std::min(x, y) == wide_of(a < b ? a : b), true, "min", a, b);
    same_bool(std::max(x, y) == wide_of(a < b ? b : a), true, "max", a, b);
}

#endif

}  // namespace

int main() {
#if defined(__SIZEOF_INT128__)
    // From built-in integers, signed ones sign-extended as the native conversion does.
    same(wide_u128(std::int64_t{-5}), static_cast<native>(std::int64_t{-5}), "from -5", 0, 0);
    same(wide_u128(-1), static_cast<native>(-1), "from -1", 0, 0);
    same(wide_u128(std::uint32_t{0xFFFFFFFF}), native{0xFFFFFFFF}, "from u32", 0, 0);
    same(wide_u128(true), native{1}, "from bool", 0, 0);

    const native edges[] = {0, 1, 2, 7, 8, 9, 10, 0xFFFFFFFF, native{1} << 32, ~std::uint64_t{0},
                            native{1} << 64, (native{1} << 64) + 1, native{0xFFFFFFFF} << 64, ~native{0} >> 1,
                            native{1} << 127, ~native{0} - 1, ~native{0}};
    for (native a : edges)
        for (native b : edges) check_pair(a, b);

    std::mt19937_64 rng(0x75313238);
    for (int i = 0; i < 400000; ++i) check_pair(draw(rng), draw(rng));

    // Decimal printing goes through % 10 and / 10.
    std::string want;
    for (native v = ~native{0}; v != 0; v /= 10) want.insert(want.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    std::string got;
    wide_u128 v = ~wide_u128(0);
    do {
        got.insert(got.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    if (got != want || got != "340282366920938463463374607431768211455") {
        ++failures;
        std::fprintf(stderr, "FAIL: decimal %s, want %s\n", got.c_str(), want.c_str());
    }
#endif
    if (failures != 0) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("u128: all checks passed");
    return 0;
}
