#include "plan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "../decoder/bcd.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"

namespace packweaver::packet {

// ---- column types ----

namespace {

column_type unsigned_type(std::uint64_t max) noexcept {
    return max <= 0xFF ? column_type::u8 : max <= 0xFFFF ? column_type::u16 : max <= 0xFFFFFFFF ? column_type::u32
                                                                                                : column_type::u64;
}

// Holds every value from -max to max.
column_type signed_type(std::uint64_t max) noexcept {
    return max <= 0x7F ? column_type::i8 : max <= 0x7FFF ? column_type::i16 : max <= 0x7FFFFFFF ? column_type::i32
                                                                                                 : column_type::i64;
}

std::uint64_t decimal_max(std::size_t digits) noexcept {
    std::uint64_t m = 0;
    for (std::size_t k = 0; k < digits; ++k) m = m * 10 + 9;
    return m;
}

}  // namespace

column_type column_type_of(field_encoding encoding, std::size_t bits) noexcept {
    // The signed integer codecs give values within the field's signed range.
    const std::uint64_t half = bits == 0 ? 0 : bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (bits - 1)) - 1;
    switch (encoding) {
        case field_encoding::unsigned_int: return unsigned_type(low_mask(bits));
        case field_encoding::twos_complement:
        case field_encoding::ones_complement: return signed_type(half);
        // The sign sits at bit bits - 1 taken modulo 64, so wider fields keep
        // only the magnitude below it.
        case field_encoding::sign_magnitude: return signed_type(bits == 0 ? 0 : sign_bit(bits) - 1);
        // One decimal digit a nibble (packed) or a byte (unpacked), at most 16
        // or 8 of them; a signed packed field spends a nibble on the sign.
        case field_encoding::packed_bcd: return unsigned_type(decimal_max(std::min<std::size_t>(bits / 4, 16)));
        case field_encoding::packed_bcd_signed:
            return signed_type(decimal_max(std::min<std::size_t>(bits / 4, 16) - (bits >= 4 ? 1 : 0)));
        case field_encoding::bcd: return unsigned_type(decimal_max(std::min<std::size_t>(bits / 8, 8)));
        case field_encoding::bcd_signed: return signed_type(decimal_max(std::min<std::size_t>(bits / 8, 8)));
        case field_encoding::ieee754_f16:
        case field_encoding::ieee754_f32: return column_type::f32;
        case field_encoding::ieee754_f64: return column_type::f64;
        default: return column_type::none;
    }
}

std::size_t column_width(column_type t) noexcept {
    switch (t) {
        case column_type::u8:
        case column_type::i8: return 1;
        case column_type::u16:
        case column_type::i16: return 2;
        case column_type::u32:
        case column_type::i32:
        case column_type::f32: return 4;
        case column_type::u64:
        case column_type::i64:
        case column_type::f64: return 8;
        default: return 0;
    }
}

// ---- cutting ----

std::span<const std::uint8_t> read_text_bytes(std::span<const std::uint8_t> packet, u128 pos, const field_desc& d,
                                              bool exact, std::uint8_t* scratch) noexcept {
    const std::size_t count = d.bits / 8 + (d.bits % 8 != 0);
    // Whole bytes at a byte boundary read the same either way: the bytes
    // themselves, in byte order.
    const bool whole = pos % 8 == 0 && d.bits % 8 == 0;
    if (exact && !whole) {
        cut_text_exact(packet, pos, d.bits, d.order, scratch);
        return {scratch, count};
    }
    return cut_text_bytes(packet, static_cast<std::size_t>(pos / 8), count, d.order, scratch);
}

// ---- filling a column ----

namespace {

// The fast road's loop, with the cut's parameters in locals and its two
// options fixed: writes through `out` could otherwise alias them, and the
// compiler would reload them for every value.
template <bool Little, bool Reverse, class Out, class Decode>
std::size_t fill_fast(const word_cut& c, const std::uint8_t* p, std::size_t stride, std::size_t count, Out* out,
                      Decode decode) {
    const unsigned shift = c.shift, drop = 64 - c.width, swap = 64 - 8 * c.bytes, bits = c.bits;
    const std::uint64_t mask = low_mask(bits);
    for (std::size_t k = 0; k < count; ++k, p += stride) {
        std::uint64_t raw = (load64_be(p) << shift) >> drop;
        if constexpr (Little) raw = byte_swap64(raw) >> swap;
        raw = Reverse ? reverse_low_bits(raw, bits) : raw & mask;
        if (!decode(raw, out[k])) return k;
    }
    return count;
}

template <class Out, class Decode>
std::size_t fill(const word_cut& c, const field_desc& desc, u128 pos, bool exact, const std::uint8_t* data,
                 std::size_t stride, std::size_t count, std::size_t available, Out* out, Decode decode) {
    // Packets whose 8-byte load stays inside the readable bytes take the fast road.
    std::size_t fast = 0;
    if (c.width != 0 && available >= c.index + 8) fast = std::min(count, (available - c.index - 8) / stride + 1);
    const std::uint8_t* p = data + c.index;
    std::size_t done;
    if (c.little)
        done = c.reverse ? fill_fast<true, true>(c, p, stride, fast, out, decode)
                         : fill_fast<true, false>(c, p, stride, fast, out, decode);
    else
        done = c.reverse ? fill_fast<false, true>(c, p, stride, fast, out, decode)
                         : fill_fast<false, false>(c, p, stride, fast, out, decode);
    if (done < fast) return done;
    for (std::size_t k = fast; k < count; ++k) {
        const std::span<const std::uint8_t> packet(data + k * stride, stride);
        if (!decode(cut_number(packet, pos, desc, exact), out[k])) return k;
    }
    return count;
}

template <class Out>
struct store {
    PW_INLINE bool operator()(std::uint64_t v, Out& o) const noexcept {
        o = static_cast<Out>(v);
        return true;
    }
};

template <class Out, std::int64_t (*Decode)(std::uint64_t, std::size_t) noexcept>
struct integer_codec {
    std::size_t bits;
    PW_INLINE bool operator()(std::uint64_t v, Out& o) const noexcept {
        o = static_cast<Out>(Decode(v, bits));
        return true;
    }
};

template <class Out>
struct bcd_codec {
    std::size_t bits;
    bool packed;
    bool is_signed;
    error* fault;
    PW_INLINE bool operator()(std::uint64_t v, Out& o) const {
        auto r = packed ? decode_packed_bcd(v, bits, is_signed) : decode_unpacked_bcd(v, bits, is_signed);
        if (PW_UNLIKELY(!r)) {
            *fault = r.take_error();
            return false;
        }
        o = static_cast<Out>(*r);
        return true;
    }
};

struct f16_codec {
    bool keep_nan;  // a NaN keeps its quiet bit as the field holds it
    PW_INLINE bool operator()(std::uint64_t v, float& o) const noexcept {
        o = decode_ieee754_f16(v);
        if (PW_UNLIKELY(o != o) && keep_nan)
            o = std::bit_cast<float>(static_cast<std::uint32_t>((v >> 15 & 1) << 31 | 0x7F800000 | (v & 0x3FF) << 13));
        return true;
    }
};

struct f32_codec {
    PW_INLINE bool operator()(std::uint64_t v, float& o) const noexcept {
        o = std::bit_cast<float>(static_cast<std::uint32_t>(v));
        return true;
    }
};

struct f64_codec {
    PW_INLINE bool operator()(std::uint64_t v, double& o) const noexcept {
        o = std::bit_cast<double>(v);
        return true;
    }
};

// The codec of a field whose bytes are permuted: the field integer put in
// value order first.
template <class Codec>
struct permuted {
    Codec inner;
    std::uint32_t permutation;
    std::size_t bits;
    template <class Out>
    PW_INLINE bool operator()(std::uint64_t v, Out& o) const {
        return inner(permute_read(v, permutation, bits), o);
    }
};

// The integer codecs, for each storage type their values may land in:
// run(out, codec) fills the column with the field's codec.
template <class Out, class Run>
std::size_t by_integer_codec(const field_desc& desc, Out* out, error* fault, Run run) {
    const std::size_t bits = desc.bits;
    switch (desc.encoding) {
        case field_encoding::unsigned_int: return run(out, store<Out>{});
        case field_encoding::twos_complement: return run(out, integer_codec<Out, decode_twos_complement>{bits});
        case field_encoding::ones_complement: return run(out, integer_codec<Out, decode_ones_complement>{bits});
        case field_encoding::sign_magnitude: return run(out, integer_codec<Out, decode_sign_magnitude>{bits});
        case field_encoding::bcd:
        case field_encoding::bcd_signed:
        case field_encoding::packed_bcd:
        case field_encoding::packed_bcd_signed: {
            const bool packed =
                desc.encoding == field_encoding::packed_bcd || desc.encoding == field_encoding::packed_bcd_signed;
            const bool is_signed =
                desc.encoding == field_encoding::bcd_signed || desc.encoding == field_encoding::packed_bcd_signed;
            return run(out, bcd_codec<Out>{bits, packed, is_signed, fault});
        }
        default: return 0;
    }
}

// The codec and storage type of the field's column: run(out, codec).
template <class Run>
std::size_t by_column_type(const field_desc& desc, bool keep_nan, void* out, error* fault, Run plain_run) {
    // A permuted field's codecs take the field integer in value order.
    auto run = [&](auto* o, auto codec) {
        if (PW_UNLIKELY(desc.permutation != 0))
            return plain_run(o, permuted<decltype(codec)>{codec, desc.permutation, desc.bits});
        return plain_run(o, codec);
    };
    switch (column_type_of(desc.encoding, desc.bits)) {
        case column_type::u8: return by_integer_codec(desc, static_cast<std::uint8_t*>(out), fault, run);
        case column_type::u16: return by_integer_codec(desc, static_cast<std::uint16_t*>(out), fault, run);
        case column_type::u32: return by_integer_codec(desc, static_cast<std::uint32_t*>(out), fault, run);
        case column_type::u64: return by_integer_codec(desc, static_cast<std::uint64_t*>(out), fault, run);
        case column_type::i8: return by_integer_codec(desc, static_cast<std::int8_t*>(out), fault, run);
        case column_type::i16: return by_integer_codec(desc, static_cast<std::int16_t*>(out), fault, run);
        case column_type::i32: return by_integer_codec(desc, static_cast<std::int32_t*>(out), fault, run);
        case column_type::i64: return by_integer_codec(desc, static_cast<std::int64_t*>(out), fault, run);
        case column_type::f32:
            if (desc.encoding == field_encoding::ieee754_f16) return run(static_cast<float*>(out), f16_codec{keep_nan});
            return run(static_cast<float*>(out), f32_codec{});
        case column_type::f64: return run(static_cast<double*>(out), f64_codec{});
        default: return 0;
    }
}

// fill_fast for packets of an index, each at its own offset: every packet
// of [first, last) is long enough and its 8-byte load inside the buffer.
template <bool Little, bool Reverse, class Out, class Decode>
std::size_t fill_spans_fast(const word_cut& c, const packet_spans& s, std::size_t first, std::size_t last, Out* out,
                            Decode decode) {
    const unsigned shift = c.shift, drop = 64 - c.width, swap = 64 - 8 * c.bytes, bits = c.bits;
    const std::uint64_t mask = low_mask(bits);
    const std::uint8_t* base = s.data + c.index;
    const std::uint64_t* offsets = s.offsets;
    for (std::size_t k = first; k < last; ++k) {
        std::uint64_t raw = (load64_be(base + offsets[k]) << shift) >> drop;
        if constexpr (Little) raw = byte_swap64(raw) >> swap;
        raw = Reverse ? reverse_low_bits(raw, bits) : raw & mask;
        if (!decode(raw, out[k])) return k;
    }
    return last;
}

// Packets [first, count) of an index: runs of packets that are long enough
// and far enough from the buffer's end take the one-load road; any other
// packet is read by the general road, or is too short.
template <class Out, class Decode>
std::size_t fill_spans(const word_cut& c, const field_desc& desc, u128 pos, bool exact, const packet_spans& s,
                       std::size_t first, std::size_t count, std::size_t need, Out* out, Decode decode) {
    // Offsets from which an 8-byte load at the cut stays inside the buffer.
    const bool loads = c.width != 0 && s.available >= 8 && c.index <= s.available - 8;
    const std::uint64_t last_load = loads ? s.available - 8 - c.index : 0;
    std::size_t k = first;
    while (k < count) {
        std::size_t run = k;
        if (loads)
            while (run < count && s.lengths[run] >= need && s.offsets[run] <= last_load) ++run;
        if (run > k) {
            std::size_t done;
            if (c.little)
                done = c.reverse ? fill_spans_fast<true, true>(c, s, k, run, out, decode)
                                 : fill_spans_fast<true, false>(c, s, k, run, out, decode);
            else
                done = c.reverse ? fill_spans_fast<false, true>(c, s, k, run, out, decode)
                                 : fill_spans_fast<false, false>(c, s, k, run, out, decode);
            if (done < run) return done;
            k = run;
            continue;
        }
        const std::uint64_t at = s.offsets[k], length = s.lengths[k];
        if (PW_UNLIKELY(length < need)) return k;
        if (!decode(cut_number({s.data + at, static_cast<std::size_t>(length)}, pos, desc, exact), out[k])) return k;
        ++k;
    }
    return count;
}

// A whole-byte field of 8, 16, 32 or 64 bits whose column has its width and
// needs no decoding beyond the bytes (unsigned, two's complement, binary32,
// binary64): a copy, byte-swapped for big order.
template <class Word>
void copy_words(const std::uint8_t* p, std::size_t stride, std::size_t count, bool little, void* out) {
    auto* o = static_cast<std::uint8_t*>(out);
    for (std::size_t k = 0; k < count; ++k, p += stride, o += sizeof(Word)) {
        Word w;
        std::memcpy(&w, p, sizeof w);
        if (little != (std::endian::native == std::endian::little)) {
            if constexpr (sizeof(Word) == 2) w = byte_swap16(w);
            if constexpr (sizeof(Word) == 4) w = byte_swap32(w);
            if constexpr (sizeof(Word) == 8) w = byte_swap64(w);
        }
        std::memcpy(o, &w, sizeof w);
    }
}

bool copy_column(const field_desc& desc, const word_cut& c, const std::uint8_t* data, std::size_t stride,
                 std::size_t count, std::size_t available, void* out) {
    const bool plain = desc.encoding == field_encoding::unsigned_int ||
                       desc.encoding == field_encoding::twos_complement ||
                       (desc.encoding == field_encoding::ieee754_f32 && desc.bits == 32) ||
                       (desc.encoding == field_encoding::ieee754_f64 && desc.bits == 64);
    if (!plain || c.width == 0 || c.shift != 0 || c.reverse || c.width != c.bits ||
        column_width(column_type_of(desc.encoding, desc.bits)) * 8 != c.bits)
        return false;
    // Every packet's field lies inside the readable bytes.
    if (count == 0 || available < (count - 1) * stride + c.index + c.bytes) return false;
    const std::uint8_t* p = data + c.index;
    switch (c.bits) {
        case 8: copy_words<std::uint8_t>(p, stride, count, c.little, out); return true;
        case 16: copy_words<std::uint16_t>(p, stride, count, c.little, out); return true;
        case 32: copy_words<std::uint32_t>(p, stride, count, c.little, out); return true;
        case 64: copy_words<std::uint64_t>(p, stride, count, c.little, out); return true;
        default: return false;
    }
}

}  // namespace

std::size_t fill_column(const field_desc& desc, u128 pos, bool exact, const std::uint8_t* data, std::size_t stride,
                        std::size_t count, std::size_t available, void* out, error* fault) {
    const word_cut c = word_cut_of(desc, pos, exact);
    if (desc.permutation == 0 && copy_column(desc, c, data, stride, count, available, out)) return count;
    return by_column_type(desc, exact, out, fault, [&](auto* o, auto decode) {
        return fill(c, desc, pos, exact, data, stride, count, available, o, decode);
    });
}

std::size_t fill_column_at(const field_desc& desc, u128 pos, bool exact, const packet_spans& spans, std::size_t first,
                           std::size_t count, void* out, error* fault) {
    const word_cut c = word_cut_of(desc, pos, exact);
    const u128 need = bytes_needed(desc.bits, pos, exact);
    const std::size_t need_bytes = need > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(need);
    return by_column_type(desc, exact, out, fault, [&](auto* o, auto decode) {
        return fill_spans(c, desc, pos, exact, spans, first, count, need_bytes, o, decode);
    });
}

// ---- arrays of samples ----

namespace {

template <class Out, class Decode>
std::size_t fill_samples_with(const field_desc& desc, std::uint64_t first, std::uint64_t stride,
                              const std::uint8_t* data, std::size_t n, std::size_t begin, std::size_t count, Out* out,
                              Decode decode) {
    const unsigned bits = static_cast<unsigned>(desc.bits);
    // One load reads a big-endian sample that starts anywhere in a byte.
    const bool loads = desc.order == byte_order::big && !desc.reverse && bits <= 57 && n >= 8;
    const std::uint64_t last_load = loads ? n - 8 : 0;
    const unsigned drop = 64 - bits;
    const std::span<const std::uint8_t> all(data, n);
    // Samples up to `fast` start in a byte from which 8 can be loaded.
    std::size_t fast = begin;
    if (loads && first + begin * stride <= last_load * 8 + 7)
        fast = static_cast<std::size_t>(std::min<std::uint64_t>(count, (last_load * 8 + 7 - first) / stride + 1));
    std::uint64_t pos = first + begin * stride;
    std::size_t k = begin;
    for (; k < fast; ++k, pos += stride) {
        const std::uint64_t raw = (load64_be(data + pos / 8) << (pos % 8)) >> drop;
        if (!decode(raw, out[k])) return k;
    }
    for (; k < count; ++k, pos += stride)
        if (!decode(cut_exact(all, pos, bits, desc.reverse, desc.order), out[k])) return k;
    return count;
}

}  // namespace

std::size_t fill_samples(const field_desc& desc, std::uint64_t first, std::uint64_t stride, const std::uint8_t* data,
                         std::size_t n, std::size_t begin, std::size_t count, void* out, error* fault) {
    return by_column_type(desc, true, out, fault, [&](auto* o, auto decode) {
        return fill_samples_with(desc, first, stride, data, n, begin, count, o, decode);
    });
}

}  // namespace packweaver::packet
