// pack_columns for recipes with arrays: an array field's column taken as
// flat element values with where each packet's end, then the packets laid
// out one by one from their arrays' lengths and written back to back.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../common/format.hpp"
#include "../packet/layout.hpp"
#include "pack_columns_parts.hpp"

namespace packweaver::py {
namespace {

std::size_t element_size(packet::element_type t) noexcept {
    using packet::element_type;
    switch (t) {
        case element_type::i8: case element_type::u8: case element_type::boolean: return 1;
        case element_type::i16: case element_type::u16: case element_type::f16: return 2;
        case element_type::i32: case element_type::u32: case element_type::f32: return 4;
        default: return 8;
    }
}

// Value k of a column (an element index for arrays) as one value to place.
packet::column_values value_at(const column_input& in, std::size_t k) noexcept {
    if (in.values.repeat) return in.values;
    const auto* base = static_cast<const std::uint8_t*>(in.values.data);
    return {base + k * element_size(in.values.type), in.values.type, true};
}

// An unsigned count held by value k of a column, or false for one that is
// not a whole number from 0 (which packing the field reports).
bool count_at(const column_input& in, std::size_t k, std::uint64_t& out) noexcept {
    const packet::column_values v = value_at(in, k);
    using packet::element_type;
    std::int64_t s = 0;
    switch (v.type) {
        case element_type::patterns: case element_type::u64: std::memcpy(&out, v.data, 8); return true;
        case element_type::u32: { std::uint32_t x; std::memcpy(&x, v.data, 4); out = x; return true; }
        case element_type::u16: { std::uint16_t x; std::memcpy(&x, v.data, 2); out = x; return true; }
        case element_type::u8: case element_type::boolean: out = *static_cast<const std::uint8_t*>(v.data); return true;
        case element_type::i64: std::memcpy(&s, v.data, 8); break;
        case element_type::i32: { std::int32_t x; std::memcpy(&x, v.data, 4); s = x; break; }
        case element_type::i16: { std::int16_t x; std::memcpy(&x, v.data, 2); s = x; break; }
        case element_type::i8: s = *static_cast<const std::int8_t*>(v.data); break;
        default: return false;
    }
    if (s < 0) return false;
    out = static_cast<std::uint64_t>(s);
    return true;
}

// Where packet k's elements begin and end in an array column.
PW_INLINE std::pair<std::uint64_t, std::uint64_t> elements_of(const column_input& in, std::size_t k) noexcept {
    if (in.length == no_length) return {0, in.ends[0]};
    return {k == 0 ? 0 : in.ends[k - 1], in.ends[k]};
}

bool take_offsets(const packet::plan_field& p, const field_objects& o, PyObject* object, column_input& in) {
    std::vector<std::int64_t> offsets;
    if (!take_offsets_buffer(object, o, "an array column", offsets)) return false;
    const std::size_t n = offsets.size();
    auto at = [&](std::size_t k) { return offsets[k]; };
    const std::size_t size = in.has_view ? static_cast<std::size_t>(in.view.len / in.view.itemsize) : 0;
    if (at(0) != 0)
        return column_error(PyExc_ValueError, o, "the offsets of an array column start at 0, not " + std::to_string(at(0)));
    in.ends.resize(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const std::int64_t begin = at(k), end = at(k + 1);
        if (end < begin || static_cast<std::uint64_t>(end) > size)
            return column_error(PyExc_ValueError, o,
                                "offsets " + std::to_string(begin) + " to " + std::to_string(end) + " of packet " +
                                    std::to_string(k) + " do not lie in the " + std::to_string(size) + " values");
        if (p.shape.kind == packet::count_kind::fixed && static_cast<std::uint64_t>(end - begin) != p.shape.count())
            return column_error(PyExc_ValueError, o,
                                "the field holds " + std::to_string(p.shape.count()) + " elements, offsets " +
                                    std::to_string(begin) + " to " + std::to_string(end) + " of packet " +
                                    std::to_string(k) + " give " + std::to_string(end - begin));
        in.ends[k] = static_cast<std::uint64_t>(end);
    }
    in.length = n - 1;
    return true;
}

}  // namespace

bool take_array_column(const packet::plan_field& p, const field_objects& o, PyObject* column, bool single,
                       column_input& in, std::size_t& k_failed, std::size_t& j_failed) {
    k_failed = no_length;
    j_failed = no_length;
    const bool fixed = p.shape.kind == packet::count_kind::fixed;
    if (!single && PyTuple_Check(column) && PyTuple_GET_SIZE(column) == 2 &&
        PyObject_CheckBuffer(PyTuple_GET_ITEM(column, 0)) && PyObject_CheckBuffer(PyTuple_GET_ITEM(column, 1))) {
        if (!take_values_buffer(p, o, PyTuple_GET_ITEM(column, 0), in)) return false;
        if (in.view.ndim != 1) return column_error(PyExc_ValueError, o, "the values of an array column are one-dimensional");
        return take_offsets(p, o, PyTuple_GET_ITEM(column, 1), in);
    }
    if (!single && PyObject_CheckBuffer(column)) {
        if (!fixed)
            return column_error(PyExc_TypeError, o,
                                "the column of an array whose count varies is a (values, offsets) pair or a "
                                "sequence of sequences");
        if (!take_values_buffer(p, o, column, in)) return false;
        const std::size_t c = p.shape.count();
        const auto total = static_cast<std::size_t>(in.view.len / in.view.itemsize);
        const bool rows = in.view.ndim == 2 && in.view.shape[1] == static_cast<Py_ssize_t>(c);
        if (!rows && (in.view.ndim != 1 || total % c != 0))
            return column_error(PyExc_ValueError, o,
                                "an array of " + std::to_string(c) + " elements takes rows of " + std::to_string(c) +
                                    " values (a buffer of shape (n, " + std::to_string(c) + "))");
        in.length = total / c;
        in.ends.resize(in.length);
        for (std::size_t k = 0; k < in.length; ++k) in.ends[k] = (k + 1) * static_cast<std::uint64_t>(c);
        return true;
    }
    // A sequence of rows (or the item's value: one row for every packet).
    if (PyUnicode_Check(column) || PyBytes_Check(column) || !PySequence_Check(column))
        return column_error(PyExc_TypeError, o,
                            std::string("expected a sequence of sequences or a buffer of values, got '") +
                                Py_TYPE(column)->tp_name + "'");
    ref rows(single ? PyTuple_Pack(1, column) : PySequence_Tuple(column));
    if (!rows) return false;
    for (std::size_t k = 0; k < static_cast<std::size_t>(PyTuple_GET_SIZE(rows.get())); ++k) {
        k_failed = single ? no_length : k;
        PyObject* row_object = PyTuple_GET_ITEM(rows.get(), static_cast<Py_ssize_t>(k));
        if (PyUnicode_Check(row_object))
            return column_error(PyExc_TypeError, o, "an array's values are a sequence of numbers, not str");
        ref row(PySequence_Tuple(row_object));
        if (!row) return false;
        const auto c = static_cast<std::size_t>(PyTuple_GET_SIZE(row.get()));
        if (fixed && c != p.shape.count())
            return column_error(PyExc_ValueError, o,
                                "the field holds " + std::to_string(p.shape.count()) + " elements, " + std::to_string(c) +
                                    (c == 1 ? " was given" : " were given"));
        for (std::size_t j = 0; j < c; ++j)
            if (!add_number(p, PyTuple_GET_ITEM(row.get(), static_cast<Py_ssize_t>(j)), in)) {
                j_failed = j;
                return false;
            }
        in.ends.push_back(in.patterns.size());
    }
    k_failed = no_length;
    in.values = {in.patterns.data(), packet::element_type::patterns, false};
    in.length = single ? no_length : in.ends.size();
    return true;
}

void write_array_packets(const compiled_recipe& r, const std::vector<column_input>& in, std::size_t count,
                         std::uint8_t* out, std::size_t capacity, u128& bytes, packing_fault& fault) {
    const std::size_t n = r.fields.size();
    bytes = 0;
    // Every column a single value: every packet alike, so checking one checks
    // them all (and a count of billions costs nothing before the allocation
    // of their bytes fails).
    bool alike = true;
    for (const column_input& c : in) alike = alike && c.length == no_length;
    if (alike && out == nullptr && count > 1) {
        write_array_packets(r, in, 1, nullptr, 0, bytes, fault);
        bytes *= count;
        return;
    }
    std::vector<std::uint64_t> counts(n, 1);
    std::vector<packet::field_place> places(n);
    std::vector<std::uint8_t> scratch;
    auto stop = [&](std::size_t k, std::size_t i, error e, std::size_t element = SIZE_MAX) {
        fault.packet = k;
        fault.field = i;
        fault.element = element;
        fault.byte = bytes;
        fault.e = std::move(e);
    };
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t i = 0; i < n; ++i)
            if (r.fields[i].shape.is_array()) {
                const auto [begin, end] = elements_of(in[i], k);
                counts[i] = end - begin;
            }
        // A count field holds its array's length.
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = r.fields[i];
            if (p.shape.kind != packet::count_kind::field) continue;
            std::uint64_t given = 0;
            if (count_at(in[p.shape.field()], k, given) && given != counts[i])
                return stop(k, i,
                            value_error("'" + utf8_of(r.objects[p.shape.field()].name.get()) + "' is " + fmt::dec(given) +
                                        " but " + fmt::dec(counts[i]) +
                                        (counts[i] == 1 ? " element was" : " elements were") + " given"));
        }
        const u128 bits = packet::lay_out_for_packing(r.fields, counts.data(), places.data());
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = r.fields[i];
            if (p.shape.kind != packet::count_kind::rest) continue;
            const u128 room = bits - p.shape.trailing() - places[i].position;
            if (room / p.desc.bits != counts[i])
                return stop(k, i,
                            value_error(fmt::dec(counts[i]) + " elements of " + fmt::dec(std::uint64_t{p.desc.bits}) +
                                        " bits leave room for more before the packet's last whole byte: they would "
                                        "read back as " + fmt::dec(room / p.desc.bits)));
        }
        const auto size = static_cast<std::size_t>(bits / 8);
        // (Layouts come from copied offsets: the writing pass repeats the
        // checking pass's. Checked all the same: nothing is written past out.)
        if (out != nullptr && bytes + size > capacity)
            return stop(k, 0, value_error("the columns changed while they were packed"));
        std::uint8_t* packet = out == nullptr ? nullptr : out + static_cast<std::size_t>(bytes);
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = r.fields[i];
            const column_input& c = in[i];
            packet::plan_field at = p;
            at.position = places[i].position;
            if (c.text) {
                if (packet == nullptr) continue;
                const std::size_t j = c.length == no_length ? 0 : k;
                const std::size_t begin = j == 0 ? 0 : c.text_ends[j - 1];
                scratch.assign(c.text_bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                               c.text_bytes.begin() + static_cast<std::ptrdiff_t>(c.text_ends[j]));
                packet::place_text({packet, size}, at.position, p.desc.bits, scratch, p.desc.order);
                continue;
            }
            error e{error_kind::value_error, {}};
            if (!p.shape.is_array()) {
                if (packet::place_column(at, 0, value_at(c, k), packet, size, 0, 1, &e) < 1) return stop(k, i, std::move(e));
                continue;
            }
            const auto [begin, end] = elements_of(c, k);
            for (std::uint64_t j = begin; j < end; ++j) {
                at.position = places[i].position + static_cast<u128>(j - begin) * p.desc.bits;
                if (packet::place_column(at, 0, value_at(c, static_cast<std::size_t>(j)), packet, size, 0, 1, &e) < 1)
                    return stop(k, i, std::move(e), static_cast<std::size_t>(j - begin));
            }
        }
        bytes += size;
    }
}

}  // namespace packweaver::py
