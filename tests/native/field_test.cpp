// The packet field model against a bit-by-bit model of the layout: placing
// numbers and text, the whole-byte cut and the bit-exact cut, for every
// width 0..72, every bit offset 0..15, both byte orders, with and without
// bit reversal. Exits non-zero if any check fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "packet/field.hpp"

using namespace packweaver;
using bits_t = std::vector<int>;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) return;
    if (++failures <= 30) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

std::string where(std::size_t bits, unsigned offset, byte_order order, bool reverse, std::uint64_t v) {
    return "bits=" + std::to_string(bits) + " offset=" + std::to_string(offset) +
           (order == byte_order::little ? " little" : " big") + (reverse ? " reversed" : "") +
           " value=" + std::to_string(v);
}

// The field bytes as a bit string, most significant bit first: the pattern
// right-aligned in (bits + 7) / 8 bytes, its low bits reversed first when
// asked (wider fields: the pattern, or its reversal, in the 64 bits the
// layout gives it), then the bytes reversed for little order.
bits_t model_field_bytes(std::uint64_t pattern, std::size_t bits, bool reverse, byte_order order) {
    const std::size_t n = (bits + 7) / 8, pad = 8 * n - bits;
    bits_t b(8 * n, 0);
    if (bits <= 64) {
        std::uint64_t p = pattern;
        if (reverse) {
            p = 0;
            for (std::size_t i = 0; i < bits; ++i)
                if ((pattern >> i) & 1) p |= std::uint64_t{1} << (bits - 1 - i);
        }
        for (std::size_t i = 0; i < 8 * n && i < 64; ++i) b[8 * n - 1 - i] = static_cast<int>((p >> i) & 1);
    } else if (!reverse) {
        for (std::size_t i = 0; i < 64; ++i) b[8 * n - 1 - i] = static_cast<int>((pattern >> i) & 1);
    } else {
        for (std::size_t i = 0; i < 64; ++i) b[pad + i] = static_cast<int>((pattern >> i) & 1);
    }
    if (order == byte_order::little) {
        bits_t r(b.size());
        for (std::size_t k = 0; k < n; ++k)
            for (int j = 0; j < 8; ++j) r[8 * k + j] = b[8 * (n - 1 - k) + j];
        b = r;
    }
    return b;
}

int get_bit(const std::vector<std::uint8_t>& p, std::size_t i) { return (p[i / 8] >> (7 - i % 8)) & 1; }
void set_bit(std::vector<std::uint8_t>& p, std::size_t i, int v) {
    p[i / 8] = static_cast<std::uint8_t>((p[i / 8] & ~(0x80 >> (i % 8))) | (v << (7 - i % 8)));
}

// Placement: the last `bits` bits of the field bytes (or all of them, then
// zeros) overwrite the field's bits; nothing past the packet is written.
void model_place(std::vector<std::uint8_t>& packet, std::size_t pos, std::size_t bits, const bits_t& field) {
    const std::size_t start = field.size() >= bits ? field.size() - bits : 0;
    for (std::size_t k = 0; k < bits; ++k) {
        if (pos + k >= 8 * packet.size()) break;
        set_bit(packet, pos + k, start + k < field.size() ? field[start + k] : 0);
    }
}

std::uint64_t low(std::uint64_t v, std::size_t bits) { return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1); }

void numbers(std::mt19937_64& rng) {
    for (std::size_t bits = 0; bits <= 72; ++bits)
        for (unsigned offset = 0; offset < 16; ++offset)
            for (auto order : {byte_order::big, byte_order::little})
                for (bool reverse : {false, true})
                    for (int round = 0; round < 6; ++round) {
                        const std::uint64_t v = round == 0 ? ~std::uint64_t{0} : round == 1 ? 1 : rng();
                        const std::string at = where(bits, offset, order, reverse, v);
                        const std::size_t size = (offset + bits + 7) / 8 + 2;
                        std::vector<std::uint8_t> got(size), want(size);
                        for (std::size_t i = 0; i < size; ++i) got[i] = want[i] = static_cast<std::uint8_t>(rng());
                        const bits_t field = model_field_bytes(v, bits, reverse, order);
                        model_place(want, offset, bits, field);
                        packet::place_number(got, offset, bits, v, reverse, order);
                        check(got == want, "place_number " + at);

                        // The bit-exact cut gives back what the field holds, with
                        // the bits placement dropped read as zeros.
                        bits_t held(field.size(), 0);
                        const std::size_t start = field.size() >= bits ? field.size() - bits : 0;
                        for (std::size_t k = start; k < field.size(); ++k) held[k] = field[k];
                        const std::uint64_t cut = packet::cut_exact(got, offset, bits, reverse, order);
                        if (bits <= 64) {
                            // Undo the byte order on the held bits, then the reversal.
                            const std::size_t n = held.size() / 8;
                            bits_t unordered = held;
                            if (order == byte_order::little)
                                for (std::size_t k = 0; k < n; ++k)
                                    for (int j = 0; j < 8; ++j) unordered[8 * k + j] = held[8 * (n - 1 - k) + j];
                            std::uint64_t x = 0;
                            for (std::size_t k = 0; k < unordered.size(); ++k)
                                x = (x << 1) | static_cast<std::uint64_t>(unordered[k]);
                            std::uint64_t m = 0;
                            if (reverse) {
                                for (std::size_t i = 0; i < bits; ++i)
                                    if ((x >> i) & 1) m |= std::uint64_t{1} << (bits - 1 - i);
                            } else {
                                m = low(x, bits);
                            }
                            check(cut == m, "cut_exact " + at);
                            // Where nothing is dropped the cut is the exact inverse.
                            if (order == byte_order::big || bits % 8 == 0) check(cut == low(v, bits), "round trip " + at);
                        } else if (order == byte_order::big || bits % 8 == 0) {
                            check(cut == v, "wide round trip " + at);
                        }

                        // The whole-byte cut: (bits + 7) / 8 bytes from the byte
                        // holding the first bit, in byte order, low bits kept.
                        const std::size_t n = (bits + 7) / 8, first = offset / 8;
                        std::uint64_t w = 0;
                        for (std::size_t k = 0; k < n && k < 8; ++k) {
                            const std::size_t idx = order == byte_order::big ? first + k : first + n - 1 - k;
                            w = (w << 8) | got[idx];
                        }
                        std::uint64_t expect = low(w, bits);
                        if (reverse) {
                            // Reversal is defined up to 64 bits only.
                            if (bits > 64) continue;
                            expect = 0;
                            for (std::size_t i = 0; i < bits; ++i)
                                if ((w >> i) & 1) expect |= std::uint64_t{1} << (bits - 1 - i);
                        }
                        check(packet::cut_whole_bytes(got, first, bits, reverse, order) == expect,
                              "cut_whole_bytes " + at);
                    }
}

void clipping(std::mt19937_64& rng) {
    // A field that runs past the packet writes only what fits.
    for (std::size_t bits = 1; bits <= 72; ++bits)
        for (std::size_t pos = 0; pos < 40; ++pos) {
            std::vector<std::uint8_t> got(3), want(3);
            for (std::size_t i = 0; i < 3; ++i) got[i] = want[i] = static_cast<std::uint8_t>(rng());
            const std::uint64_t v = rng();
            model_place(want, pos, bits, model_field_bytes(v, bits, false, byte_order::big));
            packet::place_number(got, pos, bits, v, false, byte_order::big);
            check(got == want, "clipped " + where(bits, static_cast<unsigned>(pos), byte_order::big, false, v));
        }
}

void texts(std::mt19937_64& rng) {
    for (std::size_t count = 0; count <= 6; ++count)
        for (std::size_t bits = 0; bits <= 64; ++bits)
            for (unsigned offset = 0; offset < 16; ++offset)
                for (auto order : {byte_order::big, byte_order::little}) {
                    std::vector<std::uint8_t> text(count);
                    for (auto& b : text) b = static_cast<std::uint8_t>(rng());
                    bits_t field;
                    for (std::size_t k = 0; k < count; ++k) {
                        const std::uint8_t b = order == byte_order::big ? text[k] : text[count - 1 - k];
                        for (int j = 7; j >= 0; --j) field.push_back((b >> j) & 1);
                    }
                    const std::size_t size = (offset + bits + 7) / 8 + 1;
                    std::vector<std::uint8_t> got(size, 0xA5), want(size, 0xA5);
                    model_place(want, offset, bits, field);
                    std::vector<std::uint8_t> scratch = text;
                    packet::place_text(got, offset, bits, scratch, order);
                    const std::string at = where(bits, offset, order, false, count);
                    check(got == want, "place_text " + at);

                    // Bit-exact text: the field's bits, zero bits to a whole
                    // byte, byte order undone.
                    const std::size_t n = (bits + 7) / 8;
                    std::vector<std::uint8_t> out(n + 1, 0xEE), expect(n, 0);
                    for (std::size_t k = 0; k < bits; ++k)
                        if (get_bit(got, offset + k)) expect[k / 8] |= static_cast<std::uint8_t>(0x80 >> (k % 8));
                    if (order == byte_order::little) std::reverse(expect.begin(), expect.end());
                    packet::cut_text_exact(got, offset, bits, order, out.data());
                    check(std::vector<std::uint8_t>(out.begin(), out.begin() + static_cast<long>(n)) == expect &&
                              out[n] == 0xEE,
                          "cut_text_exact " + at);
                    // A text that fills its field whole reads back as encoded.
                    if (bits == 8 * count)
                        check(std::vector<std::uint8_t>(out.begin(), out.begin() + static_cast<long>(n)) == text,
                              "text round trip " + at);
                }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261209);
    numbers(rng);
    clipping(rng);
    texts(rng);
    if (failures != 0) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::puts("field model: all checks passed");
    return 0;
}
