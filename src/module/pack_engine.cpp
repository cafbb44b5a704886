#include "pack_engine.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "sinks.hpp"
#include "../encoder/bcd.hpp"
#include "../encoder/ieee754.hpp"
#include "../encoder/integer.hpp"
#include "../encoder/text.hpp"

namespace packweaver {

namespace detail {

namespace {

// Up to 8 bits starting at bit `bit`, right-aligned. Reads the next byte only
// when the bits run into it.
PW_INLINE unsigned get_bits8(const std::uint8_t* src, std::uint64_t bit, unsigned count) noexcept {
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    unsigned v = static_cast<unsigned>(src[i]) << 8;
    if (o + count > 8) v |= src[i + 1];
    return (v >> (16 - o - count)) & ((1u << count) - 1);
}

// Writes `count` (<= 8) right-aligned bits of v at bit `bit`.
PW_INLINE void put_bits8(std::uint8_t* dst, std::uint64_t bit, unsigned v, unsigned count) noexcept {
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    const unsigned shift = 16 - o - count;  // position of the bits in a 16-bit window
    const unsigned mask = ((1u << count) - 1) << shift;
    const unsigned bits = (v << shift) & mask;
    dst[i] = static_cast<std::uint8_t>((dst[i] & ~(mask >> 8)) | (bits >> 8));
    if (o + count > 8) dst[i + 1] = static_cast<std::uint8_t>((dst[i + 1] & ~mask) | bits);
}

}  // namespace

void copy_bits(std::uint8_t* dst, std::uint64_t dst_bit, const std::uint8_t* src, std::uint64_t src_bit,
               std::uint64_t count) noexcept {
    if (count == 0) return;
    if (dst_bit % 8 == src_bit % 8) {
        dst += dst_bit / 8;
        src += src_bit / 8;
        const unsigned head = dst_bit % 8;
        if (head != 0) {
            const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(8 - head, count));
            put_bits8(dst, head, get_bits8(src, head, take), take);
            ++dst;
            ++src;
            count -= take;
        }
        const std::uint64_t whole = count / 8;
        std::memcpy(dst, src, static_cast<std::size_t>(whole));
        if (count % 8 != 0)
            put_bits8(dst + whole, 0, get_bits8(src + whole, 0, count % 8), static_cast<unsigned>(count % 8));
        return;
    }
    while (count >= 8) {
        put_bits8(dst, dst_bit, get_bits8(src, src_bit, 8), 8);
        dst_bit += 8;
        src_bit += 8;
        count -= 8;
    }
    if (count != 0) put_bits8(dst, dst_bit, get_bits8(src, src_bit, static_cast<unsigned>(count)),
                              static_cast<unsigned>(count));
}

void clear_bits(std::uint8_t* dst, std::uint64_t bit, std::uint64_t count) noexcept {
    if (count == 0) return;
    dst += bit / 8;
    const unsigned head = bit % 8;
    if (head != 0) {
        const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(8 - head, count));
        put_bits8(dst, head, 0, take);
        ++dst;
        count -= take;
    }
    std::memset(dst, 0, static_cast<std::size_t>(count / 8));
    if (count % 8 != 0) put_bits8(dst + count / 8, 0, 0, static_cast<unsigned>(count % 8));
}

void write_bits(std::uint8_t* dst, std::size_t size, std::uint64_t bit, std::uint64_t value,
                unsigned width) noexcept {
    if (width == 0) return;
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    if (PW_LIKELY(o + width <= 64 && i + 8 <= size)) {
        // One unaligned 64-bit read-modify-write, big-endian.
        std::uint64_t word;
        std::memcpy(&word, dst + i, 8);
        word = __builtin_bswap64(word);
        const unsigned shift = 64 - o - width;
        const std::uint64_t mask = low_mask(width) << shift;
        word = (word & ~mask) | ((value << shift) & mask);
        word = __builtin_bswap64(word);
        std::memcpy(dst + i, &word, 8);
        return;
    }
    // Near the end of the packet, or a field reaching into a ninth byte: in
    // pieces of at most eight bits, most significant first.
    unsigned left = width;
    while (left > 0) {
        const unsigned take = std::min(left, 8 - static_cast<unsigned>(bit % 8));
        left -= take;
        put_bits8(dst, bit, static_cast<unsigned>((value >> left) & ((1u << take) - 1)), take);
        bit += take;
    }
}

}  // namespace detail

void encode_integer_to_bytes(std::uint64_t value, std::size_t bits, bool reverse_bits,
                             std::span<std::uint8_t> out) noexcept {
    const std::size_t n = out.size();
    std::memset(out.data(), 0, n);
    if (bits == 0) return;
    if (bits <= 64) {
        const std::uint64_t v = reverse_bits ? reverse_low_bits(value, bits) : value;
        for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - k)));
        return;
    }
    // Wider: the pattern zero-extended; reversed, its 64 bits lead the field
    // right after the padding bits.
    if (!reverse_bits) {
        for (std::size_t k = 0; k < 8; ++k) out[n - 8 + k] = static_cast<std::uint8_t>(value >> (56 - 8 * k));
        return;
    }
    const std::uint64_t rev = reverse64(value);
    std::uint8_t r[8];
    for (std::size_t k = 0; k < 8; ++k) r[k] = static_cast<std::uint8_t>(rev >> (56 - 8 * k));
    detail::copy_bits(out.data(), 8 * n - bits, r, 0, 64);
}

namespace {

using py::recipe_key;

PW_COLD error packet_too_large(u128 end_bits) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(end_bits % 10)));
        end_bits /= 10;
    } while (end_bits != 0);
    return value_error("Packet too large: " + digits + " bits do not fit in a bytes object");
}

PW_COLD error cannot_allocate(std::size_t bytes) {
    return value_error("Cannot allocate a packet of " + fmt::dec(std::uint64_t{bytes}) + " bytes");
}

PW_COLD error unsigned_too_large(std::uint64_t value, std::size_t bits) {
    return value_error("Value " + fmt::dec(value) + " is too large for " + fmt::dec(std::uint64_t{bits}) + " bits");
}

// Where the packet ends: bit 8N. Writes are clipped there, so a recipe whose
// values change between the passes cannot write outside the buffer.
struct packet_buffer {
    std::uint8_t* data;
    std::size_t size;
    u128 end_bit() const noexcept { return static_cast<u128>(size) * 8; }
};

// Writes source bits [src_bit, src_bit + count) at dest bit `at`, keeping only
// the part inside [lo, hi) and inside the packet.
void place_clipped(const packet_buffer& p, u128 at, const std::uint8_t* src, std::uint64_t src_bit,
                   std::uint64_t count, u128 lo, u128 hi) {
    hi = std::min(hi, p.end_bit());
    u128 from = at, to = at + count;
    if (from < lo) {
        src_bit += static_cast<std::uint64_t>(lo - from);
        from = lo;
    }
    if (to > hi) to = hi;
    if (from >= to) return;
    detail::copy_bits(p.data, static_cast<std::uint64_t>(from), src, src_bit, static_cast<std::uint64_t>(to - from));
}

void clear_clipped(const packet_buffer& p, u128 from, u128 to) {
    to = std::min(to, p.end_bit());
    if (from >= to) return;
    detail::clear_bits(p.data, static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(to - from));
}

// A numeric field: the pattern's bytes, optionally bit-reversed, in the
// item's byte order, keeping the last `bits` bits.
void place_number(const packet_buffer& p, u128 pos, std::size_t bits, std::uint64_t pattern, bool reverse,
                  byte_order order) {
    if (bits == 0) return;
    if (PW_LIKELY(bits <= 64)) {
        std::uint64_t v = reverse ? reverse_low_bits(pattern, bits) : pattern & low_mask(bits);
        if (order == byte_order::little) {
            // Reverse the (bits + 7) / 8 bytes, then keep the last `bits` bits:
            // the padding bits move to the front of the last byte.
            const unsigned n = static_cast<unsigned>((bits + 7) / 8);
            v = (__builtin_bswap64(v) >> (64 - 8 * n)) & low_mask(bits);
        }
        if (PW_LIKELY(pos + bits <= p.end_bit())) {
            detail::write_bits(p.data, p.size, static_cast<std::uint64_t>(pos), v, static_cast<unsigned>(bits));
            return;
        }
        std::uint8_t be[8];
        for (int k = 0; k < 8; ++k) be[k] = static_cast<std::uint8_t>(v >> (56 - 8 * k));
        place_clipped(p, pos, be, 64 - bits, bits, pos, pos + bits);
        return;
    }
    // Wider than the pattern: the field is zero but for at most nine bytes.
    // Work on that window of the field bytes rather than on the whole field.
    const u128 n = (static_cast<u128>(bits) + 7) / 8;
    const unsigned pad = static_cast<unsigned>(n * 8 - bits);
    std::uint8_t window[9] = {};
    unsigned width;   // bytes in the window
    u128 first;       // index of the window's first byte among the field bytes (big order)
    if (!reverse) {
        for (int k = 0; k < 8; ++k) window[k] = static_cast<std::uint8_t>(pattern >> (56 - 8 * k));
        width = 8;
        first = n - 8;
    } else {
        // The reversed pattern fills the field's first 64 bits, after the pad.
        const std::uint64_t rev = reverse64(pattern);
        const u128 wide = static_cast<u128>(rev) << (8 - pad);
        for (int k = 0; k < 9; ++k) window[k] = static_cast<std::uint8_t>(wide >> (64 - 8 * k));
        width = 9;
        first = 0;
    }
    if (order == byte_order::little) {
        std::reverse(window, window + width);
        first = n - first - width;
    }
    clear_clipped(p, pos, pos + bits);
    // Field byte j holds field bits [8j, 8j + 8); field bit x lands at
    // pos + x - pad, so the pad bits of the first byte fall before the field.
    if (first * 8 < pad) {
        place_clipped(p, pos, window, pad, width * 8 - pad, pos, pos + bits);
    } else {
        place_clipped(p, pos + first * 8 - pad, window, 0, width * 8, pos, pos + bits);
    }
}

// A text field: the encoded bytes (reversed for little byte order), the last
// `bits` bits of them, or all of them followed by zero bits.
void place_text(const packet_buffer& p, u128 pos, std::size_t bits, std::uint8_t* bytes, std::size_t count,
                byte_order order) {
    if (order == byte_order::little) std::reverse(bytes, bytes + count);
    const u128 length = static_cast<u128>(count) * 8;
    const u128 skip = length >= bits ? length - bits : 0;
    const u128 used = length - skip;
    clear_clipped(p, pos + used, pos + bits);
    place_clipped(p, pos, bytes, static_cast<std::uint64_t>(skip), static_cast<std::uint64_t>(used), pos, pos + bits);
}

// The bit pattern of a numeric value, or the value's failure.
status encode_number(field_encoding enc, PyObject* value, std::size_t bits, std::uint64_t& pattern) {
    switch (enc) {
        case field_encoding::unsigned_int: {
            if (!py::to_u64(value, pattern)) return pending_error();
            if (bits < 64 && (pattern >> bits) != 0) return unsigned_too_large(pattern, bits);
            return success();
        }
        case field_encoding::ieee754_f16:
        case field_encoding::ieee754_f32: {
            float f;
            if (!py::to_f32(value, f)) return pending_error();
            pattern = enc == field_encoding::ieee754_f16 ? encode_ieee754_f16(f) : encode_ieee754_f32(f);
            return success();
        }
        case field_encoding::ieee754_f64: {
            double d;
            if (!py::to_f64(value, d)) return pending_error();
            pattern = encode_ieee754_f64(d);
            return success();
        }
        default: break;
    }
    std::int64_t v;
    if (!py::to_i64(value, v)) return pending_error();
    result<std::uint64_t> r = [&]() -> result<std::uint64_t> {
        switch (enc) {
            case field_encoding::twos_complement: return encode_twos_complement(v, bits);
            case field_encoding::ones_complement: return encode_ones_complement(v, bits);
            case field_encoding::sign_magnitude: return encode_sign_magnitude(v, bits);
            case field_encoding::bcd: return encode_unpacked_bcd(v, bits, false);
            case field_encoding::bcd_signed: return encode_unpacked_bcd(v, bits, true);
            case field_encoding::packed_bcd: return encode_packed_bcd(v, bits, false);
            case field_encoding::packed_bcd_signed: return encode_packed_bcd(v, bits, true);
            default: return value_error("internal: not a numeric encoding");
        }
    }();
    if (PW_UNLIKELY(!r)) return r.take_error();
    pattern = *r;
    return success();
}

// Reads an item key by key, then looks `value` up, reporting the first fault.
PW_COLD status read_item(py::item_reader& reader, py::item_fields& f) {
    if (status s = reader.read_keys(f); !s) return s;
    auto value = reader.get(py::key_value);
    if (!value) return value.take_error();
    py::hold(f.value, *value);
    return success();
}

// The sizing pass reads only `bits` and `offset_bits`.
PW_COLD status read_extent(py::item_reader& reader, py::item_fields& f) {
    if (status s = reader.size(py::key_bits, f.bits); !s) return s;
    return reader.optional_size(py::key_offset_bits, f.has_offset, f.offset);
}

// A text field. Out of line: its encoding buffer is on the C stack only
// while the text is written, never while a conversion hook runs.
PW_NOINLINE status pack_text(const packet_buffer& buffer, u128 pos, py::item_fields& f, field_encoding enc) {
    text_view text;
    if (PW_UNLIKELY(!py::to_text(f.value.get(), text))) return pending_error();
    py::buffer_sink sink;
    if (status s = encode_text(text_encoding_of(enc), text, sink); PW_UNLIKELY(!s)) {
        if (s.err().kind != error_kind::pending && py::raise_if_lone_surrogate(f.value.get())) return pending_error();
        return s.take_error();
    }
    if (PW_UNLIKELY(!f.order_known)) {
        auto order = py::find_byte_order(f.order_text.get());
        if (PW_UNLIKELY(!order)) return order.take_error();
        f.order = *order;
    }
    place_text(buffer, pos, f.bits, sink.data(), sink.size(), f.order);
    return success();
}

}  // namespace

result<PyObject*> build_packet(const py::item_list& items) {
    const std::size_t n = items.size();
    if (n == 0) return PyBytes_FromStringAndSize(nullptr, 0);

    // Items read in one go in the sizing pass serve the encoding pass too, as
    // long as no Python code has run in between (only plain values were seen).
    // Kept small, as it stays on the C stack while conversion hooks run
    // (which may call the engines again); longer recipes use the heap.
    constexpr std::size_t inline_items = 8;
    py::item_fields inline_fields[inline_items];
    bool inline_fast[inline_items];
    std::unique_ptr<py::item_fields[]> heap_fields;
    std::unique_ptr<bool[]> heap_fast;
    py::item_fields* fields = inline_fields;
    bool* fast = inline_fast;
    if (n > inline_items) {
        heap_fields.reset(new py::item_fields[n]);
        heap_fast.reset(new bool[n]);
        fields = heap_fields.get();
        fast = heap_fast.get();
    }
    bool may_have_run_code = false;

    // Sizing pass.
    u128 end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        py::prefetch_items(items, i);
        if (PW_UNLIKELY(!PyDict_Check(item))) {
            py::raise_cast_error(item, "dict");
            return pending_error();
        }
        py::item_fields& f = fields[i];
        fast[i] = py::read_plain_item(item, f);
        if (PW_UNLIKELY(!fast[i])) {
            // The scan's values are borrowed: decide from them before reading
            // anything, as a conversion may run code that drops them.
            py::item_scan scan;
            py::scan_item(item, scan);
            const bool inert = py::scan_is_inert(scan);
            if (!inert) may_have_run_code = true;
            py::item_reader reader(item, inert ? &scan : nullptr);
            if (status s = read_extent(reader, f); PW_UNLIKELY(!s)) return s.take_error();
        }
        const u128 pos = f.has_offset ? static_cast<u128>(f.offset) : end;
        end = std::max(end, pos + f.bits);
    }
    const u128 size = (end + 7) / 8;
    if (PW_UNLIKELY(size > static_cast<u128>(PY_SSIZE_T_MAX))) return packet_too_large(end);
    py::ref packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (PW_UNLIKELY(!packet)) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return pending_error();
        PyErr_Clear();
        return cannot_allocate(static_cast<std::size_t>(size));
    }
    const packet_buffer buffer{reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get())),
                               static_cast<std::size_t>(size)};
    std::memset(buffer.data, 0, buffer.size);

    // Encoding pass.
    u128 cursor = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (PW_UNLIKELY(!PyDict_Check(item))) {
            py::raise_cast_error(item, "dict");
            return pending_error();
        }
        py::item_fields f;
        if (fast[i] && !may_have_run_code) {
            f = std::move(fields[i]);
        } else if (!py::read_plain_item(item, f)) {
            py::item_scan scan;
            py::scan_item(item, scan);
            const bool inert = py::scan_is_inert(scan);
            if (!inert) may_have_run_code = true;
            py::item_reader reader(item, inert ? &scan : nullptr);
            if (status s = read_item(reader, f); PW_UNLIKELY(!s)) return s.take_error();
        }
        if (PW_UNLIKELY(!f.value)) return py::missing_value(f.name.get());
        // Converting a value of another kind may run Python code, which may
        // change this dict or later ones: read every later item afresh.
        if (PW_UNLIKELY(!py::is_inert(f.value.get()))) may_have_run_code = true;
        if (f.has_offset) cursor = f.offset;
        const u128 pos = cursor;
        const std::size_t bits = f.bits;

        if (PW_UNLIKELY(f.encoding == nullptr)) {
            // Lower-casing a name outside ASCII calls into the interpreter.
            may_have_run_code = true;
            auto found = py::find_encoding(f.encoding_text.get());
            if (PW_UNLIKELY(!found)) return found.take_error();
            f.encoding = *found;
        }
        if (PW_UNLIKELY(f.encoding == nullptr || !f.encoding->packer))
            return py::unsupported_encoding(f.encoding_text.get());
        const field_encoding enc = f.encoding->encoding;

        if (!is_text(enc)) {
            std::uint64_t pattern = 0;
            if (status s = encode_number(enc, f.value.get(), bits, pattern); PW_UNLIKELY(!s)) return s.take_error();
            if (PW_UNLIKELY(!f.order_known)) {
                may_have_run_code = true;
                auto order = py::find_byte_order(f.order_text.get());
                if (PW_UNLIKELY(!order)) return order.take_error();
                f.order = *order;
            }
            place_number(buffer, pos, bits, pattern, f.reverse, f.order);
        } else {
            if (PW_UNLIKELY(!f.order_known)) may_have_run_code = true;
            if (status s = pack_text(buffer, pos, f, enc); PW_UNLIKELY(!s)) return s.take_error();
        }
        cursor = pos + bits;
    }
    return packet.release();
}

}  // namespace packweaver
