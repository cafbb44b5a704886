// Reading a stream of a recipe with arrays into columns, packet by packet:
// each packet laid out first, then every field read at its place. A fixed
// count gives a column of rows (a two-dimensional memoryview over one
// array.array); a varying count gives the values of every packet one after
// another and n + 1 offsets into them, as pyarrow's list arrays take them.
//
// Every column is whole before the result holds it; a fault is reported
// where it happened (packet, field, element), or masked.
#include <cstring>
#include <vector>

#include "../packet/layout.hpp"
#include "column_parts.hpp"

namespace packweaver::py {
namespace {

// Packets read between two checks for signals.
constexpr std::size_t packets_per_check = 4096;

enum class column_road : std::uint8_t { scalar, rows, flat, text };

// A varying array's column while it is read.
struct flat_column {
    std::vector<std::uint8_t> values;
    std::vector<std::uint64_t> ends;  // per packet: elements so far

    // A new (values, offsets) pair: an array.array of the values, and one
    // of n + 1 offsets ('i', or 'q' from 2**31 elements).
    PyObject* to_pair(packet::column_type t) const {
        const std::size_t width = packet::column_width(t);
        const std::size_t total = values.size() / width;
        ref data(new_array(typecode_of(t), total, values.data()));
        if (!data) return nullptr;
        ref offsets(new_offsets(ends, total > static_cast<std::size_t>(INT32_MAX)));
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, data.get(), offsets.get());
    }
};

// Which numeric single fields have one place in every packet (an offset_bits,
// or only fields of a fixed size before them): those are read column by
// column, as a recipe without arrays reads them.
std::vector<bool> static_fields(const compiled_recipe& r) {
    std::vector<bool> out(r.fields.size(), false);
    bool fixed_so_far = true;
    for (std::size_t i = 0; i < r.fields.size(); ++i) {
        const packet::plan_field& p = r.fields[i];
        const bool placed = p.desc.has_offset || fixed_so_far;
        out[i] = placed && !p.shape.is_array() && !is_text(p.desc.encoding);
        if (p.shape.varies()) fixed_so_far = false;
    }
    return out;
}

// Reads static field i of every packet into its column; faults are offered
// to `log` (when raising, only the first), masked in `valid`.
void read_static_field(const compiled_recipe& r, std::size_t i, std::span<const std::uint8_t> data,
                       const stream_shape& shape, numeric_column& column, std::vector<numeric_column>& valid,
                       fault_log& log) {
    const packet::plan_field& p = r.fields[i];
    const u128 pos = static_cast<u128>(shape.offset) + p.position;
    const u128 needed = packet::bytes_needed(p.desc.bits, pos, true);
    const std::size_t width = packet::column_width(packet::column_type_of(p.desc.encoding, p.desc.bits));
    for (std::size_t k = 0; k < shape.count;) {
        error e;
        std::size_t at;
        if (shape.index) {
            const packet::packet_spans spans{data.data(), shape.index->offsets.data(), shape.index->lengths.data(),
                                             data.size()};
            at = packet::fill_column_at(p.desc, pos, true, spans, k, shape.count, column.data(), &e);
        } else {
            at = k + packet::fill_column(p.desc, pos, true, data.data() + k * shape.stride, shape.stride,
                                         shape.count - k, data.size() - k * shape.stride,
                                         column.data() + k * width, &e);
        }
        if (at >= shape.count) return;
        value_fault f{at, i, std::move(e)};
        if (shape.index) {
            f.needed = needed;
            f.length = static_cast<std::size_t>(shape.index->lengths[at]);
            f.too_short = needed > f.length;
        }
        log.offer(std::move(f));
        if (!log.mask) return;
        valid[i].data()[at] = 0;
        k = at + 1;
    }
}

}  // namespace

PyObject* read_array_columns(const compiled_recipe& r, std::span<const std::uint8_t> data, const stream_shape& shape,
                             bool mask, bool utf8_text) {
    const std::size_t n = r.fields.size();
    const std::size_t count = shape.count;
    std::vector<column_road> roads(n);
    std::vector<packet::column_type> types(n, packet::column_type::none);
    std::vector<numeric_column> numeric(n);
    std::vector<numeric_column> valid(mask ? n : 0);
    std::vector<flat_column> flat(n);
    std::vector<text_column> texts(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (mask && !valid[i].make('B', 1, count, 1)) return nullptr;
        const packet::plan_field& p = r.fields[i];
        if (is_text(p.desc.encoding)) {
            roads[i] = column_road::text;
            continue;
        }
        // An exact recipe's numeric fields all have a column type.
        types[i] = packet::column_type_of(p.desc.encoding, p.desc.bits);
        if (p.shape.varies()) {
            roads[i] = column_road::flat;
            flat[i].ends.reserve(count);
            // Elements lie in the buffer, one after another: at most this many bytes of values.
            const std::size_t most = data.size() * 8 / p.desc.bits * packet::column_width(types[i]);
            if (most / 4 <= data.size()) flat[i].values.reserve(most);
            continue;
        }
        roads[i] = p.shape.is_array() ? column_road::rows : column_road::scalar;
        const std::size_t per_packet = p.shape.count();
        if (count != 0 && per_packet > SIZE_MAX / count) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (!numeric[i].make(types[i], count * per_packet)) return nullptr;
    }

    fault_log log;
    log.mask = mask;
    // A strided stream whose packets are too short for a field reads it packet by packet (each its fault).
    std::vector<bool> by_column = static_fields(r);
    for (std::size_t i = 0; i < n; ++i) {
        if (!by_column[i]) continue;
        const u128 pos = static_cast<u128>(shape.offset) + r.fields[i].position;
        if (!shape.index && packet::bytes_needed(r.fields[i].desc.bits, pos, true) > shape.stride) {
            by_column[i] = false;
            continue;
        }
        read_static_field(r, i, data, shape, numeric[i], valid, log);
    }
    // The others packet by packet (when raising, up to the first fault of
    // those read by column). Only the places from the first array on are
    // worked out for each packet.
    std::vector<std::size_t> by_packet;
    for (std::size_t i = 0; i < n; ++i)
        if (!by_column[i]) by_packet.push_back(i);
    const packet::layout_start start = packet::fixed_prefix(r.fields);
    std::vector<packet::field_place> places(n);
    for (std::size_t i = 0; i < start.from; ++i) places[i] = {static_cast<u128>(shape.offset) + r.fields[i].position, 1};
    std::vector<std::uint8_t> points;  // scratch of the UTF-8 reading
    for (std::size_t k = 0; k < count; ++k) {
        if (k % packets_per_check == packets_per_check - 1 && PyErr_CheckSignals() < 0) return nullptr;
        const std::span<const std::uint8_t> packet = shape.packet(data.data(), k);
        // Loads may read past the packet's end up to the buffer's: every
        // field and element is checked to lie in the packet.
        const auto readable = static_cast<std::size_t>(data.data() + data.size() - packet.data());
        packet::layout_stop stop;
        const std::size_t placed =
            packet::lay_out(r.fields, packet, shape.offset, places.data(), stop, start.from, start.cursor);
        for (const std::size_t i : by_packet) {
            if (log.raising_at(k, i)) return raise_fault(r, shape, log.first);
            const packet::plan_field& p = r.fields[i];
            value_fault fault{k, i, error{}};
            bool failed = false;
            if (i >= placed) {
                // The packet is too short for this field's place (or its
                // count's): it and every field after it are lost.
                // (A stop at a field read by column was met there.)
                if (i == placed) {
                    fault.too_short = true;
                    fault.needed = stop.needed;
                    fault.length = packet.size();
                    log.offer(std::move(fault));
                    if (!mask) return raise_fault(r, shape, log.first);
                }
                if (roads[i] == column_road::flat) flat[i].ends.push_back(flat[i].values.size() / packet::column_width(types[i]));
                if (roads[i] == column_road::text) {
                    if (utf8_text) {
                        texts[i].ends.push_back(texts[i].used);
                    } else {
                        PyObject* empty = PyUnicode_FromStringAndSize("", 0);
                        if (!empty) return nullptr;
                        texts[i].values.push_back(empty);
                    }
                }
                if (mask) valid[i].data()[k] = 0;
                continue;
            }
            const u128 pos = places[i].position;
            switch (roads[i]) {
                case column_road::text: {
                    text_column& t = texts[i];
                    if (utf8_text) {
                        const std::size_t before = t.used;
                        status s = read_text_utf8(packet, p, pos, true, r.objects[i].labels(), t.utf8, t.used, points);
                        if (!s) {
                            if (s.err().kind == error_kind::pending) return nullptr;
                            t.used = before;
                            fault.err = s.take_error();
                            failed = true;
                        }
                        t.ends.push_back(t.used);
                        break;
                    }
                    auto value = read_value(packet, p, pos, true, false, r.objects[i].labels());
                    if (!value) {
                        if (value.err().kind == error_kind::pending) return nullptr;
                        fault.err = value.take_error();
                        failed = true;
                        PyObject* empty = PyUnicode_FromStringAndSize("", 0);
                        if (!empty) return nullptr;
                        t.values.push_back(empty);
                        break;
                    }
                    t.values.push_back(*value);
                    break;
                }
                case column_road::scalar: {
                    const u128 needed = packet::bytes_needed(p.desc.bits, pos, true);
                    if (needed > packet.size()) {
                        fault.too_short = true;
                        fault.needed = needed;
                        fault.length = packet.size();
                        failed = true;
                        break;
                    }
                    const std::size_t width = packet::column_width(types[i]);
                    failed = packet::fill_column(p.desc, pos, true, packet.data(), packet.size(), 1, readable,
                                                 numeric[i].data() + k * width, &fault.err) == 0;
                    break;
                }
                case column_road::rows: {
                    const std::size_t width = packet::column_width(types[i]);
                    const std::size_t c = p.shape.count();
                    std::uint8_t* row = numeric[i].data() + k * c * width;
                    const std::size_t got = packet::fill_samples(p.desc, static_cast<std::uint64_t>(pos), p.desc.bits,
                                                                 packet.data(), readable, 0, c, row, &fault.err);
                    if (got < c) {
                        std::memset(row, 0, c * width);
                        fault.element = got;
                        failed = true;
                    }
                    break;
                }
                case column_road::flat: {
                    flat_column& f = flat[i];
                    const std::size_t width = packet::column_width(types[i]);
                    const std::size_t before = f.values.size();
                    const auto c = static_cast<std::size_t>(places[i].count);
                    f.values.resize(before + c * width);
                    const std::size_t got = packet::fill_samples(p.desc, static_cast<std::uint64_t>(pos), p.desc.bits,
                                                                 packet.data(), readable, 0, c,
                                                                 f.values.data() + before, &fault.err);
                    if (got < c) {
                        f.values.resize(before);
                        fault.element = got;
                        failed = true;
                    }
                    f.ends.push_back(f.values.size() / width);
                    break;
                }
            }
            if (failed) {
                log.offer(std::move(fault));
                if (!mask) return raise_fault(r, shape, log.first);
                valid[i].data()[k] = 0;
            }
        }
    }

    if (!mask && log.first.packet != SIZE_MAX) return raise_fault(r, shape, log.first);

    // Every column is whole: the objects of the result are made now.
    std::vector<ref> made(n);
    std::vector<PyObject*> columns(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (roads[i]) {
            case column_road::scalar: columns[i] = numeric[i].object(); continue;
            case column_road::rows:
                made[i] = ref(rows_view(numeric[i].object(), count, r.fields[i].shape.count()));
                break;
            case column_road::flat: made[i] = ref(flat[i].to_pair(types[i])); break;
            case column_road::text: made[i] = ref(utf8_text ? texts[i].to_utf8_pair() : texts[i].to_list()); break;
        }
        if (!made[i]) return nullptr;
        columns[i] = made[i].get();
    }
    return columns_result(r, shape, columns, valid, log, mask);
}

}  // namespace packweaver::py
