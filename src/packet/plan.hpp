// The compiled form of a recipe item: a plan field. It holds the field's
// description, its position, a one-load cut worked out once (which knows
// when it can be used), and what keeps each direction from handling the
// field, as data. Every walker (the two packet functions, Recipe and its
// stream readers) builds plan fields and hands them to the steps below,
// which are the only code that places or reads a field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "field.hpp"

namespace packweaver::packet {

// A field's cut worked out once, for fields that one 8-byte load reaches:
// the W raw bits at byte `index`, bit `shift` of the packet (W + shift <=
// 64), their n bytes swapped for little order, then the low `bits` bits kept
// or reversed. Both ways of reading fit this: whole bytes read W = 8n bits
// from the start byte, bit-exact reading W = bits bits at the field.
struct word_cut {
    std::size_t index = 0;
    unsigned shift = 0;
    unsigned width = 0;  // W; 0 when the field needs the general road
    unsigned bytes = 0;  // n
    unsigned bits = 0;
    bool little = false;
    bool reverse = false;

    // Whether one load from a packet of `size` bytes reads the field (and so
    // the packet is long enough for it).
    PW_INLINE bool usable(std::size_t size) const noexcept { return width != 0 && index + 8 <= size; }
};

// `available` is how many packet bytes the reads may count on: a field in the
// last 8 of them is read from the word that ends there.
PW_INLINE word_cut word_cut_of(const field_desc& f, u128 pos, bool exact, std::size_t available = SIZE_MAX) noexcept {
    word_cut c;
    if (f.bits > 64 || f.bits == 0 || pos / 8 > SIZE_MAX - 8) return c;
    c.bits = static_cast<unsigned>(f.bits);
    c.bytes = (c.bits + 7) / 8;
    c.little = f.order == byte_order::little;
    c.reverse = f.reverse;
    c.index = static_cast<std::size_t>(pos / 8);
    c.shift = exact ? static_cast<unsigned>(pos % 8) : 0;
    c.width = exact ? c.bits : 8 * c.bytes;
    if (c.index + 8 > available && available >= 8 && c.index < available) {
        c.shift += 8 * static_cast<unsigned>(c.index - (available - 8));
        c.index = available - 8;
    }
    if (c.shift + c.width > 64) c.width = 0;
    return c;
}

PW_INLINE std::uint64_t load64_be(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return byte_swap64(v);
}

// The field integer, from a packet with at least index + 8 bytes.
PW_INLINE std::uint64_t apply_cut(const word_cut& c, const std::uint8_t* packet) noexcept {
    std::uint64_t raw = (load64_be(packet + c.index) << c.shift) >> (64 - c.width);
    if (c.little) raw = byte_swap64(raw) >> (64 - 8 * c.bytes);
    return c.reverse ? reverse_low_bits(raw, c.bits) : raw & low_mask(c.bits);
}

// What keeps a field from being handled, found when its item is read and
// reported when a direction reaches it: the reader after the room check,
// before decoding; the packer an unknown encoding before the value is
// converted and a bad byte order after the value is encoded.
enum class field_fault : std::uint8_t { none, byte_order, encoding };

// How many elements a field holds: one value, a fixed number, the value of
// an earlier field of the packet (`field`: its index), or as many as fit
// before the fields that follow it (`trailing`: their bits), which then sit
// at the packet's end.
enum class count_kind : std::uint8_t { one, fixed, field, rest };
// Packed, so that it fits beside the flags of a plan field: the plan walkers
// step through fields of a size the multiplications of their indexes like.
#pragma pack(push, 1)
struct array_shape {
    count_kind kind = count_kind::one;
    // fixed: the count (1 for one value); field: that field's index; rest:
    // the bits of the fields after it (less than 2**63, checked when compiled).
    std::uint64_t n = 1;

    std::uint64_t count() const noexcept { return n; }  // one, fixed
    std::size_t field() const noexcept { return static_cast<std::size_t>(n); }
    std::uint64_t trailing() const noexcept { return n; }
    bool is_array() const noexcept { return kind != count_kind::one; }
    bool varies() const noexcept { return kind == count_kind::field || kind == count_kind::rest; }
};
#pragma pack(pop)

// One field of a plan.
struct plan_field {
    field_desc desc;                               // desc.order holds only without a byte-order fault
    u128 position = 0;                        // first bit, counted from the packet's bit 0
    word_cut cut;                            // for `position`; width 0 when not worked out
    field_fault read_fault = field_fault::none;
    field_fault pack_fault = field_fault::none;
    // An exact recipe's field: binary16/32 NaNs keep their quiet bit both ways, and
    // text too long for the field is refused rather than cut.
    bool exact = false;
    // The packer meets something besides placing the pattern: a fault, or
    // bytes to permute first.
    bool pack_special = false;
    // Elements of desc.bits each, back to back from `position`.
    array_shape shape;
};
static_assert(sizeof(plan_field) == 96, "a plan field keeps its size: the walkers index fields by it");

// What an item's names resolved to, for the faults of a plan field.
struct names_known {
    bool order_known;    // the byte order word is "big" or "little"
    bool reader_knows;   // the reader accepts the encoding name
    bool packer_knows;   // the packer accepts it
};

PW_INLINE void set_faults(plan_field& p, names_known n) noexcept {
    p.read_fault = !n.order_known ? field_fault::byte_order
                   : !n.reader_knows ? field_fault::encoding
                                     : field_fault::none;
    p.pack_fault = !n.packer_knows ? field_fault::encoding
                   : !n.order_known ? field_fault::byte_order
                                    : field_fault::none;
    p.pack_special = p.pack_fault != field_fault::none || p.desc.permutation != 0;
}

// ---- positions ----

// Where each field goes: at base + offset_bits when the item gives it, else
// right after the previous field.
class position_tracker {
public:
    explicit position_tracker(u128 base = 0) noexcept : base_(base), cursor_(base) {}
    // `extent`: the bits the field takes (an array's elements), f.bits when absent.
    PW_INLINE u128 place(const field_desc& f, u128 extent) noexcept {
        const u128 pos = f.has_offset ? base_ + f.offset : cursor_;
        cursor_ = pos + extent;
        return pos;
    }
    PW_INLINE u128 place(const field_desc& f) noexcept { return place(f, f.bits); }

private:
    u128 base_;
    u128 cursor_;
};

// Where the packer ends a packet: an item without offset_bits follows the
// furthest field so far (where the positions follow the previous one).
class packet_extent {
public:
    PW_INLINE void add(const field_desc& f, u128 extent) noexcept {
        const u128 at = f.has_offset ? static_cast<u128>(f.offset) : end_;
        if (at + extent > end_) end_ = at + extent;
    }
    PW_INLINE void add(const field_desc& f) noexcept { add(f, f.bits); }
    u128 end_bits() const noexcept { return end_; }

private:
    u128 end_ = 0;
};

// Packet bytes a field at bit `pos` needs: whole bytes from the byte holding
// its first bit, or (bit-exact) up to the byte holding its last bit.
PW_INLINE u128 bytes_needed(std::size_t bits, u128 pos, bool exact) noexcept {
    if (exact) return (pos + bits + 7) / 8;
    return pos / 8 + (static_cast<u128>(bits) + 7) / 8;
}

// ---- the steps ----

// Places a numeric field's pattern at bit `pos`.
// A field of permuted bytes is placed as big order: the caller passes its
// pattern through permute_write first.
PW_INLINE void put_number(std::span<std::uint8_t> packet, u128 pos, const field_desc& d, std::uint64_t pattern) noexcept {
    if (PW_LIKELY(pos <= UINT64_MAX) &&
        place_number_in_word(packet, static_cast<std::uint64_t>(pos), d.bits, pattern, d.reverse, d.order))
        return;
    place_number(packet, pos, d.bits, pattern, d.reverse, d.order);
}

// The field integer of a numeric field at bit `pos` of a packet long enough
// for it (bytes_needed).
PW_INLINE std::uint64_t cut_number(std::span<const std::uint8_t> packet, u128 pos, const field_desc& f,
                                   bool exact) noexcept {
    if (exact) return cut_exact(packet, pos, f.bits, f.reverse, f.order);
    return cut_whole_bytes(packet, static_cast<std::size_t>(pos / 8), f.bits, f.reverse, f.order);
}

// The field integer of plan field p at bit `pos` (p.position plus the
// caller's base): by the one-load cut when `cut_fits` (the cut was worked out
// for `pos` and is usable on this packet), else by the general road.
PW_INLINE std::uint64_t read_number(std::span<const std::uint8_t> packet, const plan_field& p, u128 pos, bool exact,
                                    bool cut_fits) noexcept {
    // (A field of permuted bytes has no cut, so cut_fits is false for it.)
    const std::uint64_t raw = PW_LIKELY(cut_fits) ? apply_cut(p.cut, packet.data()) : cut_number(packet, pos, p.desc, exact);
    if (PW_UNLIKELY(p.desc.permutation != 0)) return permute_read(raw, p.desc.permutation, p.desc.bits);
    return raw;
}

// A text field's bytes at bit `pos`, in byte order undone: a view of the
// packet, or the bytes copied into scratch ((bits + 7) / 8 bytes) where they
// must be moved (bit-exact, or little order).
std::span<const std::uint8_t> read_text_bytes(std::span<const std::uint8_t> packet, u128 pos, const field_desc& d,
                                              bool exact, std::uint8_t* scratch) noexcept;

// Whether read_text_bytes needs scratch for this field.
PW_INLINE bool text_needs_scratch(const field_desc& d, bool exact) noexcept {
    return exact || d.order == byte_order::little;
}

// ---- columns ----

// The storage of a numeric column: the narrowest type that holds every value
// the field can decode to. Text fields (and fields that cannot be decoded)
// have none.
enum class column_type : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, none };

column_type column_type_of(field_encoding encoding, std::size_t bits) noexcept;
std::size_t column_width(column_type t) noexcept;  // bytes per value

// Reads one numeric field of `count` packets into out (count values of
// column_type_of(desc)): packet k starts at byte k * stride of data, and the
// field at bit `pos` of it, which must fit in the stride. `available` bytes
// from data may be read (at least stride * count). Returns count, or the
// index of the first packet whose field does not decode (its error in
// *fault). Runs no interpreter code; may allocate only for the fault's
// message.
std::size_t fill_column(const field_desc& desc, u128 pos, bool exact, const std::uint8_t* data, std::size_t stride,
                        std::size_t count, std::size_t available, void* out, error* fault);

// Packets of an index: packet k is lengths[k] bytes at offsets[k] of data,
// every one inside the `available` bytes.
struct packet_spans {
    const std::uint8_t* data;
    const std::uint64_t* offsets;
    const std::uint64_t* lengths;
    std::size_t available;
};

// The same for packets [first, count) of an index, into out[first, count).
// Returns count, or the first packet that is too short for the field (its
// length below bytes_needed) or whose field does not decode (its error in
// *fault).
std::size_t fill_column_at(const field_desc& desc, u128 pos, bool exact, const packet_spans& spans, std::size_t first,
                           std::size_t count, void* out, error* fault);

// ---- arrays of samples ----

// Samples packed in a buffer: sample k is desc.bits bits at bit
// first + k * stride of data[0, n), read at its exact bit position, into
// out[k] (of column_type_of(desc)). The caller has checked that every
// sample lies inside the n bytes. Returns count, or the first sample that
// does not decode (its error in *fault). Runs no interpreter code.
std::size_t fill_samples(const field_desc& desc, std::uint64_t first, std::uint64_t stride, const std::uint8_t* data,
                         std::size_t n, std::size_t begin, std::size_t count, void* out, error* fault);

}  // namespace packweaver::packet
