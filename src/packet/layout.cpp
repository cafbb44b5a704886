#include "layout.hpp"

#include <algorithm>

namespace packweaver::packet {

layout_start fixed_prefix(std::span<const plan_field> fields) noexcept {
    u128 cursor = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const plan_field& p = fields[i];
        if (p.shape.is_array()) return {i, cursor};  // arrays are checked to fit each packet
        cursor = p.position + extent_bits(p, p.shape.count());
    }
    return {fields.size(), cursor};
}

std::size_t lay_out(std::span<const plan_field> fields, std::span<const std::uint8_t> packet, u128 base,
                    field_place* out, layout_stop& stop, std::size_t from, u128 cursor) noexcept {
    const u128 size = packet.size();
    const u128 end = size * 8;
    cursor += base;
    for (std::size_t i = from; i < fields.size(); ++i) {
        const plan_field& p = fields[i];
        const u128 pos = p.desc.has_offset ? base + p.desc.offset : cursor;
        std::uint64_t count = 1;
        switch (p.shape.kind) {
            case count_kind::one: break;
            case count_kind::fixed: count = p.shape.count(); break;
            case count_kind::field: {
                const plan_field& q = fields[p.shape.field()];
                const u128 at = out[p.shape.field()].position;
                const u128 needed = bytes_needed(q.desc.bits, at, true);
                if (needed > size) {
                    stop = {p.shape.field(), needed};
                    return p.shape.field();
                }
                count = read_number(packet, q, at, true, false);
                break;
            }
            case count_kind::rest: {
                const u128 fixed_end = pos + p.shape.trailing();
                if (fixed_end > end) {
                    stop = {i, (fixed_end + 7) / 8};
                    return i;
                }
                // A packet holds fewer than 2**64 bits: a 64-bit division.
                count = static_cast<std::uint64_t>(end - fixed_end) / p.desc.bits;
                break;
            }
        }
        out[i] = {pos, count};
        const u128 extent = extent_bits(p, count);
        if (p.shape.is_array()) {
            const u128 needed = (pos + extent + 7) / 8;
            if (needed > size) {
                stop = {i, needed};
                return i;
            }
        }
        cursor = p.shape.kind == count_kind::rest ? end - p.shape.trailing() : pos + extent;
    }
    return fields.size();
}

u128 lay_out_for_packing(std::span<const plan_field> fields, const std::uint64_t* counts, field_place* out) noexcept {
    u128 cursor = 0, end = 0;
    std::size_t rest = SIZE_MAX;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const plan_field& p = fields[i];
        const u128 pos = p.desc.has_offset ? static_cast<u128>(p.desc.offset) : cursor;
        const std::uint64_t count = p.shape.is_array() ? counts[i] : 1;
        out[i] = {pos, count};
        cursor = pos + extent_bits(p, count);
        end = std::max(end, cursor);
        if (p.shape.kind == count_kind::rest) rest = i;
    }
    end = (end + 7) / 8 * 8;
    if (rest != SIZE_MAX) {
        // The fields after the array sit at the packet's end, as they are read.
        u128 at = end - fields[rest].shape.trailing();
        for (std::size_t i = rest + 1; i < fields.size(); ++i) {
            out[i].position = at;
            at += extent_bits(fields[i], out[i].count);
        }
    }
    return end;
}

}  // namespace packweaver::packet
