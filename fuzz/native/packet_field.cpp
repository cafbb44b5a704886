// libFuzzer target: the packet field model (placing fields into packets and
// cutting them out), against a bit-by-bit model of the documented layout.
//
// Placing: a numeric pattern becomes (bits + 7) / 8 bytes, most significant
// first, its low bits reversed first when asked (a field wider than 64 bits
// holds the pattern zero-extended, or reversed right after the padding
// bits), the bytes reversed for little order, and the last `bits` bits of
// them are written at the position; text is left-aligned and zero-padded or
// cut to its last `bits` bits. Nothing past the packet's end and nothing
// outside the field is touched, whatever the position (up to 2**65) and
// width. Cutting: whole bytes as the reader documents it, and bit-exact
// cutting as the inverse of placing. The bit helpers, encode_number and
// decode_number are checked against the single codecs. All buffers are
// heap blocks of their exact size, so AddressSanitizer sees any overrun.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "decoder/bcd.hpp"
#include "decoder/ieee754.hpp"
#include "decoder/integer.hpp"
#include "encoder/bcd.hpp"
#include "encoder/ieee754.hpp"
#include "encoder/integer.hpp"
#include "packet/field.hpp"

using namespace packweaver;
using packweaver::u128;
namespace pk = packweaver::packet;

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FINDING: %s %s\n", what, detail.c_str());
    std::abort();
}

std::string describe(u128 pos, std::size_t bits, std::size_t size, bool reverse, byte_order order) {
    return "pos=" + std::to_string(static_cast<unsigned long long>(pos >> 64)) + ":" +
           std::to_string(static_cast<unsigned long long>(pos)) + " bits=" + std::to_string(bits) +
           " size=" + std::to_string(size) + " reverse=" + std::to_string(reverse) +
           " little=" + std::to_string(order == byte_order::little);
}

// An exact-size heap copy of some bytes.
struct block {
    std::unique_ptr<std::uint8_t[]> p;
    std::size_t n;
    explicit block(const std::vector<std::uint8_t>& v) : p(new std::uint8_t[v.size()]), n(v.size()) {
        if (n) std::memcpy(p.get(), v.data(), n);
    }
    std::vector<std::uint8_t> vec() const { return {p.get(), p.get() + n}; }
    std::span<std::uint8_t> span() { return {p.get(), n}; }
};

unsigned get_bit(const std::vector<std::uint8_t>& v, u128 i) { return (v[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1; }
void set_bit(std::vector<std::uint8_t>& v, u128 i, unsigned b) {
    auto& byte = v[static_cast<std::size_t>(i / 8)];
    const auto m = static_cast<std::uint8_t>(0x80 >> (i % 8));
    byte = b ? (byte | m) : (byte & ~m);
}

std::uint64_t rev_low(std::uint64_t v, std::size_t bits) {
    std::uint64_t r = 0;
    for (std::size_t i = 0; i < bits && i < 64; ++i)
        if ((v >> i) & 1) r |= std::uint64_t{1} << (bits - 1 - i);
    return r;
}

// Bit z (0 = most significant of byte 0) of the field bytes of a numeric
// pattern before byte order.
unsigned numeric_source_bit(std::uint64_t pattern, std::size_t bits, bool reverse, u128 n, u128 z) {
    if (reverse && bits > 64) {
        const u128 pad = n * 8 - bits;
        if (z < pad || z >= pad + 64) return 0;
        return (pattern >> static_cast<unsigned>(z - pad)) & 1;  // reversed: field bit pad+k is pattern bit k
    }
    const std::uint64_t p = reverse ? rev_low(pattern, bits) : pattern;
    const u128 from_right = n * 8 - 1 - z;  // bit weight within the big-endian byte string
    return from_right < 64 ? (p >> static_cast<unsigned>(from_right)) & 1 : 0;
}

// Bit x (0 .. bits-1) of a placed numeric field.
unsigned numeric_field_bit(std::uint64_t pattern, std::size_t bits, bool reverse, byte_order order, u128 x) {
    const u128 n = (static_cast<u128>(bits) + 7) / 8;
    const u128 y = x + (n * 8 - bits);  // in the byte string after byte order
    u128 j = y / 8;
    if (order == byte_order::little) j = n - 1 - j;
    return numeric_source_bit(pattern, bits, reverse, n, j * 8 + y % 8);
}

void model_place_number(std::vector<std::uint8_t>& packet, u128 pos, std::size_t bits, std::uint64_t pattern,
                        bool reverse, byte_order order) {
    const u128 end = static_cast<u128>(packet.size()) * 8;
    for (u128 x = 0; x < bits && pos + x < end; ++x) set_bit(packet, pos + x, numeric_field_bit(pattern, bits, reverse, order, x));
}

void model_place_text(std::vector<std::uint8_t>& packet, u128 pos, std::size_t bits, std::vector<std::uint8_t> bytes,
                      byte_order order) {
    if (order == byte_order::little) std::reverse(bytes.begin(), bytes.end());
    const u128 length = static_cast<u128>(bytes.size()) * 8, end = static_cast<u128>(packet.size()) * 8;
    for (u128 x = 0; x < bits && pos + x < end; ++x) {
        const u128 src = length >= bits ? length - bits + x : x;
        set_bit(packet, pos + x, src < length ? get_bit(bytes, src) : 0);
    }
}

u128 pick_pos(FuzzedDataProvider& in, std::size_t size) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return (static_cast<u128>(in.ConsumeIntegral<std::uint64_t>()) << 1) | in.ConsumeBool();  // up to 2**65
        case 1: {  // near the end
            const unsigned back = in.ConsumeIntegralInRange<unsigned>(0, 70);
            return size * 8 >= back ? static_cast<u128>(size * 8 - back) : 0;
        }
        default: return in.ConsumeIntegralInRange<std::uint64_t>(0, size * 8 + 16);
    }
}

std::size_t pick_bits(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: return in.ConsumeIntegral<std::size_t>();
        case 1: return in.ConsumeIntegralInRange<std::size_t>(65, 600);
        default: return in.ConsumeIntegralInRange<std::size_t>(0, 72);
    }
}

void check_bit_helpers(FuzzedDataProvider& in) {
    const auto a = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 40));
    const auto b = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 40));
    if (a.empty() || b.empty()) return;
    const std::uint64_t dst_bit = in.ConsumeIntegralInRange<std::uint64_t>(0, a.size() * 8);
    const std::uint64_t src_bit = in.ConsumeIntegralInRange<std::uint64_t>(0, b.size() * 8);
    const std::uint64_t count = in.ConsumeIntegralInRange<std::uint64_t>(0, std::min(a.size() * 8 - dst_bit, b.size() * 8 - src_bit));
    {
        block dst(a), src(b);
        pk::detail::copy_bits(dst.p.get(), dst_bit, src.p.get(), src_bit, count);
        auto want = a;
        for (std::uint64_t k = 0; k < count; ++k) set_bit(want, dst_bit + k, get_bit(b, src_bit + k));
        if (dst.vec() != want) fail("copy_bits", std::to_string(dst_bit) + " " + std::to_string(src_bit) + " " + std::to_string(count));
    }
    {
        block dst(a);
        pk::detail::clear_bits(dst.p.get(), dst_bit, std::min<std::uint64_t>(count, a.size() * 8 - dst_bit));
        auto want = a;
        for (std::uint64_t k = 0; k < std::min<std::uint64_t>(count, a.size() * 8 - dst_bit); ++k) set_bit(want, dst_bit + k, 0);
        if (dst.vec() != want) fail("clear_bits");
    }
    const unsigned width = static_cast<unsigned>(std::min<std::uint64_t>(in.ConsumeIntegralInRange<unsigned>(0, 64), a.size() * 8 - dst_bit));
    const std::uint64_t value = in.ConsumeIntegral<std::uint64_t>();
    {
        block dst(a);
        pk::detail::write_bits(dst.p.get(), dst.n, dst_bit, value, width);
        auto want = a;
        for (unsigned k = 0; k < width; ++k) set_bit(want, dst_bit + k, (value >> (width - 1 - k)) & 1);
        if (dst.vec() != want) fail("write_bits", std::to_string(dst_bit) + " " + std::to_string(width));
        std::uint64_t expect = 0;
        for (unsigned k = 0; k < width; ++k) expect = (expect << 1) | get_bit(a, dst_bit + k);
        block src(a);
        if (pk::detail::read_bits(src.p.get(), src.n, dst_bit, width) != expect) fail("read_bits");
    }
}

void check_placing(FuzzedDataProvider& in) {
    const auto initial = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 48));
    const std::size_t size = initial.size();
    const u128 pos = pick_pos(in, size);
    const std::size_t bits = pick_bits(in);
    const bool reverse = in.ConsumeBool();
    const byte_order order = in.ConsumeBool() ? byte_order::little : byte_order::big;
    const std::string where = describe(pos, bits, size, reverse, order);

    // encode_integer_to_bytes, for widths whose bytes are few enough to hold.
    const std::uint64_t pattern = in.ConsumeIntegral<std::uint64_t>();
    if (bits <= 4096) {
        const std::size_t n = (bits + 7) / 8;
        std::vector<std::uint8_t> want(n);
        for (std::size_t z = 0; z < n * 8; ++z) {
            const auto w = static_cast<u128>(n);
            if (numeric_source_bit(pattern, bits, reverse, w, z)) want[z / 8] |= static_cast<std::uint8_t>(0x80 >> (z % 8));
        }
        block out(std::vector<std::uint8_t>(n, 0x5A));
        pk::encode_integer_to_bytes(pattern, bits, reverse, out.span());
        if (out.vec() != want) fail("encode_integer_to_bytes", where);
    }

    // place_number
    {
        block packet(initial);
        auto want = initial;
        pk::place_number(packet.span(), pos, bits, pattern, reverse, order);
        model_place_number(want, pos, bits, pattern, reverse, order);
        if (packet.vec() != want) fail("place_number", where + " pattern=" + std::to_string(pattern));
    }
    // Bit-exact cutting inverts placing, where the field lies inside the packet,
    // for patterns as the encoders make them: nothing above the field.
    if (bits > 0 && pos + bits <= static_cast<u128>(size) * 8) {
        const std::uint64_t field = bits >= 64 ? pattern : pattern & low_mask(bits);
        block packet(initial);
        pk::place_number(packet.span(), pos, bits, field, reverse, order);
        const std::uint64_t got = pk::cut_exact(packet.span(), pos, bits, reverse, order);
        if ((order == byte_order::big || bits % 8 == 0) && got != field)
            fail("cut_exact does not invert place_number", where + " got " + std::to_string(got));
        // Where placing dropped bits, placing what was cut gives the same packet.
        block again(packet.vec());
        pk::place_number(again.span(), pos, bits, got, reverse, order);
        if (again.vec() != packet.vec()) fail("place_number of cut_exact changes the packet", where);
    }

    // place_text
    {
        const auto text = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 40));
        block packet(initial), bytes(text);
        auto want = initial;
        pk::place_text(packet.span(), pos, bits, bytes.span(), order);
        model_place_text(want, pos, bits, text, order);
        if (packet.vec() != want) fail("place_text", where + " text bytes=" + std::to_string(text.size()));
        if (bits > 0 && bits <= 4096 && pos + bits <= static_cast<u128>(size) * 8) {
            const std::size_t n = (bits + 7) / 8;
            block out(std::vector<std::uint8_t>(n, 0x5A));
            pk::cut_text_exact(packet.span(), pos, bits, order, out.p.get());
            std::vector<std::uint8_t> expect(n, 0);
            for (std::size_t x = 0; x < bits; ++x) set_bit(expect, x, get_bit(packet.vec(), pos + x));
            if (order == byte_order::little) std::reverse(expect.begin(), expect.end());
            if (out.vec() != expect) fail("cut_text_exact", where);
        }
    }

    // Whole-byte cutting, as the reader does it, when the bytes are there.
    const auto start = static_cast<std::size_t>(std::min<u128>(pos / 8, size));
    const u128 count = (static_cast<u128>(bits) + 7) / 8;
    if (start + count <= size) {
        block packet(initial);
        const auto c = static_cast<std::size_t>(count);
        std::vector<std::uint8_t> field(initial.begin() + static_cast<std::ptrdiff_t>(start),
                                        initial.begin() + static_cast<std::ptrdiff_t>(start + c));
        if (order == byte_order::little) std::reverse(field.begin(), field.end());
        std::uint64_t fi = 0;
        for (std::size_t k = 0; k < c && k < 8; ++k) fi = (fi << 8) | field[k];
        std::uint64_t want = fi;
        if (!reverse) {
            if (bits < 64) want &= low_mask(bits);
        } else {
            want = bits == 0 ? 0 : bits >= 64 ? rev_low(fi, 64) : rev_low(fi, bits);
        }
        if (pk::cut_whole_bytes(packet.span(), start, bits, reverse, order) != want) fail("cut_whole_bytes", where);
        block scratch(std::vector<std::uint8_t>(c, 0));
        const auto view = pk::cut_text_bytes(packet.span(), start, c, order, scratch.p.get());
        if (std::vector<std::uint8_t>(view.begin(), view.end()) != field) fail("cut_text_bytes", where);
    }
}

void check_numbers(FuzzedDataProvider& in) {
    static const field_encoding numeric[] = {
        field_encoding::unsigned_int, field_encoding::twos_complement, field_encoding::ones_complement,
        field_encoding::sign_magnitude, field_encoding::bcd, field_encoding::bcd_signed, field_encoding::packed_bcd,
        field_encoding::packed_bcd_signed, field_encoding::ieee754_f16, field_encoding::ieee754_f32,
        field_encoding::ieee754_f64, field_encoding::ieee754_f128, field_encoding::ti_f32, field_encoding::ibm_f64};
    const field_encoding e = in.PickValueInArray(numeric);
    const std::size_t bits = pick_bits(in);
    const std::uint64_t raw = in.ConsumeIntegral<std::uint64_t>();
    pk::number v{};
    switch (packet::value_kind_of(e)) {
        case pk::value_kind::binary32: v.f32 = std::bit_cast<float>(static_cast<std::uint32_t>(raw)); break;
        case pk::value_kind::binary64: v.f64 = std::bit_cast<double>(raw); break;
        case pk::value_kind::signed_int: v.i = static_cast<std::int64_t>(raw); break;
        default: v.u = raw; break;
    }
    // encode_number gives what the single encoder gives.
    if (e != field_encoding::ieee754_f128 && !is_legacy(e)) {
        result<std::uint64_t> want = std::uint64_t{0};
        const auto i = static_cast<std::int64_t>(raw);
        switch (e) {
            case field_encoding::unsigned_int:
                want = bits < 64 && (raw >> bits) ? result<std::uint64_t>(value_error(
                                                        "Value " + std::to_string(raw) + " is too large for " +
                                                        std::to_string(bits) + " bits"))
                                                  : result<std::uint64_t>(raw);
                break;
            case field_encoding::twos_complement: want = encode_twos_complement(i, bits); break;
            case field_encoding::ones_complement: want = encode_ones_complement(i, bits); break;
            case field_encoding::sign_magnitude: want = encode_sign_magnitude(i, bits); break;
            case field_encoding::bcd: want = encode_unpacked_bcd(i, bits, false); break;
            case field_encoding::bcd_signed: want = encode_unpacked_bcd(i, bits, true); break;
            case field_encoding::packed_bcd: want = encode_packed_bcd(i, bits, false); break;
            case field_encoding::packed_bcd_signed: want = encode_packed_bcd(i, bits, true); break;
            case field_encoding::ieee754_f16: want = encode_ieee754_f16(v.f32); break;
            case field_encoding::ieee754_f32: want = encode_ieee754_f32(v.f32); break;
            case field_encoding::ieee754_f64: want = encode_ieee754_f64(v.f64); break;
            default: break;
        }
        const auto got = pk::encode_number(e, v, bits);
        if (got.ok() != want.ok() || (got.ok() && *got != *want) ||
            (!got.ok() && got.err().message != want.err().message))
            fail("encode_number differs from the codec", std::to_string(static_cast<int>(e)) + " bits=" + std::to_string(bits));
    }
    // decode_number gives what the single decoder gives.
    const auto d = pk::decode_number(e, raw, bits);
    auto same_real = [&](double want) {
        return d.ok() && d.value().type == pk::decoded::kind::real &&
               std::bit_cast<std::uint64_t>(d.value().d) == std::bit_cast<std::uint64_t>(want);
    };
    auto same_int = [&](const result<std::int64_t>& want) {
        if (!want.ok()) return !d.ok() && d.err().message == want.err().message;
        return d.ok() && d.value().type == pk::decoded::kind::signed_int && d.value().i == *want;
    };
    bool good = true;
    switch (e) {
        case field_encoding::unsigned_int: good = d.ok() && d.value().type == pk::decoded::kind::unsigned_int && d.value().u == raw; break;
        case field_encoding::twos_complement: good = same_int(decode_twos_complement(raw, bits)); break;
        case field_encoding::ones_complement: good = same_int(decode_ones_complement(raw, bits)); break;
        case field_encoding::sign_magnitude: good = same_int(decode_sign_magnitude(raw, bits)); break;
        case field_encoding::bcd: good = same_int(decode_unpacked_bcd(raw, bits, false)); break;
        case field_encoding::bcd_signed: good = same_int(decode_unpacked_bcd(raw, bits, true)); break;
        case field_encoding::packed_bcd: good = same_int(decode_packed_bcd(raw, bits, false)); break;
        case field_encoding::packed_bcd_signed: good = same_int(decode_packed_bcd(raw, bits, true)); break;
        case field_encoding::ieee754_f16: good = same_real(decode_ieee754_f16(raw)); break;
        case field_encoding::ieee754_f32: good = same_real(decode_ieee754_f32(raw)); break;
        case field_encoding::ieee754_f64: good = same_real(decode_ieee754_f64(raw)); break;
        case field_encoding::ieee754_f128:
            good = bits > 64 ? !d.ok() && d.err().message ==
                                   "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"
                             : (!d.ok() && d.err().kind == error_kind::value_error) || same_real(0.0);
            break;
        default: good = !d.ok() && d.err().kind == error_kind::not_implemented_error; break;
    }
    if (!good) fail("decode_number differs from the codec", std::to_string(static_cast<int>(e)) + " bits=" + std::to_string(bits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: check_bit_helpers(in); break;
            case 1: check_numbers(in); break;
            default: check_placing(in); break;
        }
    }
    return 0;
}
