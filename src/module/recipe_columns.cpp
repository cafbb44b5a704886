// Reading a stream into columns: one array.array per numeric field (filled
// without the interpreter lock for large streams) and one list per text
// field.
//
// Nothing half-built is ever in reach of Python code: text values are kept
// in C++ storage and their lists made only when every value is read; the
// arrays are whole (zero-filled) from the start. Signals are checked every
// few milliseconds of work, so Ctrl-C stops a long read promptly.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "compat.hpp"
#include "errors.hpp"
#include "column_parts.hpp"

namespace packweaver::py {
namespace {

// By column_type, which has no typecode for `none`.
constexpr char typecodes[] = {'B', 'H', 'I', 'Q', 'b', 'h', 'i', 'q', 'f', 'd'};
static_assert(sizeof(typecodes) == static_cast<std::size_t>(packet::column_type::none));

PyObject* array_type = nullptr;  // array.array, looked up once

// Packets read per block: every field of a block before the next, so the
// block's bytes stay in the cache while its fields are read.
constexpr std::size_t block_packets = 256;
// Numeric values read between two checks for signals (about a millisecond).
constexpr std::size_t values_per_slice = std::size_t{1} << 20;
// Below this many numeric values the lock is kept: releasing costs more.
constexpr std::size_t values_without_lock = 16384;
// The most bytes of each packet copied side by side when reading through an index.
constexpr std::size_t max_gather_bytes = 4096;
// Text values decoded between two checks for signals.
constexpr std::size_t texts_per_check = 4096;

// A fault every packet meets, whatever it holds.
bool static_fault(const compiled_recipe& r, std::size_t i, const stream_shape& shape) {
    const packet::plan_field& p = r.fields[i];
    if (!shape.index && packet::bytes_needed(p.desc.bits, static_cast<u128>(shape.offset) + p.position, r.exact) >
                            shape.stride)
        return true;
    if (p.read_fault != packet::field_fault::none) return true;
    return !is_text(p.desc.encoding) && packet::column_type_of(p.desc.encoding, p.desc.bits) == packet::column_type::none;
}

// The numeric columns of a stream, filled slice by slice.
struct numeric_fill {
    const compiled_recipe& r;
    std::span<const std::uint8_t> data;
    const stream_shape& shape;
    std::vector<numeric_column>& columns;  // columns[i].data() null for text fields
    std::vector<numeric_column>& valid;    // when masking: per field, 1 for each value read
    std::vector<bool> stopped;             // per field: raising, and a fault was met
    std::vector<value_fault> faults;       // in the order met; when masking, the first few of each field
    std::vector<std::size_t> masked;       // per field: faults met, when masking

    // Through an index: each block's packets are copied side by side into
    // `gathered` (gather bytes each, the most any numeric field needs) when
    // all of them are that long, and read there as a strided stream.
    std::size_t gather = 0;
    std::vector<std::uint8_t> gathered;
    const std::uint8_t* block_data = nullptr;  // the block's packets gathered, or null
    std::size_t block_first = 0;

    // Fields of packets [first, last) from `from` on, until a fault: the
    // packet it stopped at (last when none).
    std::size_t fill_range(std::size_t i, std::size_t from, std::size_t last, error& e) const {
        const packet::plan_field& p = r.fields[i];
        const u128 pos = static_cast<u128>(shape.offset) + p.position;
        const std::size_t width = packet::column_width(packet::column_type_of(p.desc.encoding, p.desc.bits));
        if (block_data != nullptr)
            return from + packet::fill_column(p.desc, pos, r.exact, block_data + (from - block_first) * gather, gather,
                                              last - from, (last - block_first) * gather - (from - block_first) * gather,
                                              columns[i].data() + from * width, &e);
        if (shape.index) {
            const packet::packet_spans spans{data.data(), shape.index->offsets.data(), shape.index->lengths.data(),
                                             data.size()};
            return packet::fill_column_at(p.desc, pos, r.exact, spans, from, last, columns[i].data(), &e);
        }
        return from + packet::fill_column(p.desc, pos, r.exact, data.data() + from * shape.stride, shape.stride,
                                          last - from, data.size() - from * shape.stride,
                                          columns[i].data() + from * width, &e);
    }

    // Copies the block's packets into `gathered` if every one has the bytes.
    void gather_block(std::size_t first, std::size_t last) {
        block_data = nullptr;
        if (gather == 0) return;
        const packet::packet_index& x = *shape.index;
        for (std::size_t k = first; k < last; ++k)
            if (x.lengths[k] < gather) return;
        std::uint8_t* to = gathered.data();
        for (std::size_t k = first; k < last; ++k, to += gather) std::memcpy(to, data.data() + x.offsets[k], gather);
        block_data = gathered.data();
        block_first = first;
    }

    // Packets [first, last), in blocks. Runs no interpreter code; allocates
    // only for faults (a failure to is caught by the caller).
    void run(std::size_t first, std::size_t last) {
        const std::size_t n = r.fields.size();
        for (; first < last; first += block_packets) {
            const std::size_t block_end = std::min(last, first + block_packets);
            gather_block(first, block_end);
            for (std::size_t i = 0; i < n; ++i) {
                if (columns[i].data() == nullptr || stopped[i]) continue;
                for (std::size_t k = first; k < block_end;) {
                    error e;
                    const std::size_t at = fill_range(i, k, block_end, e);
                    if (at >= block_end) break;
                    value_fault f{at, i, std::move(e)};
                    if (shape.index) {
                        const packet::plan_field& p = r.fields[i];
                        f.needed = packet::bytes_needed(p.desc.bits, static_cast<u128>(shape.offset) + p.position,
                                                        r.exact);
                        f.length = static_cast<std::size_t>(shape.index->lengths[at]);
                        f.too_short = f.needed > f.length;
                    }
                    if (valid.empty()) {
                        faults.push_back(std::move(f));
                        stopped[i] = true;
                        break;
                    }
                    if (masked[i]++ < faults_described) faults.push_back(std::move(f));
                    valid[i].data()[at] = 0;
                    k = at + 1;
                }
            }
        }
    }
};

}  // namespace

PyObject* array_type_object() noexcept { return array_type; }

// The exception of a fault, with where it happened as a note.
PyObject* raise_fault(const compiled_recipe& r, const stream_shape& shape, const value_fault& f) {
    if (f.too_short)
        fail(packet_too_short(r.objects[f.field].name.get(), f.needed, f.length));
    else
        fail(f.err);
    note_place(r, shape, f.packet, f.field, f.element);
    return nullptr;
}

// "packet {k} (byte {b}), field '{name}' (item {i}): {message}"
PyObject* describe_fault(const compiled_recipe& r, const stream_shape& shape, const value_fault& f) {
    const error e = f.too_short ? packet_too_short(r.objects[f.field].name.get(), f.needed, f.length) : f.err;
    const std::string text = "packet " + std::to_string(f.packet) + " (byte " + std::to_string(shape.start(f.packet)) +
                             "), field '" + utf8_of(r.objects[f.field].name.get()) + "' (item " +
                             std::to_string(f.field) + ")" +
                             (f.element == SIZE_MAX ? std::string() : ", element " + std::to_string(f.element)) + ": " +
                             e.message;
    return str_from_utf8(text);
}

bool init_columns() {
    ref module(PyImport_ImportModule("array"));
    if (!module) return false;
    array_type = PyObject_GetAttrString(module.get(), "array");  // kept for the process
    return array_type != nullptr;
}

char typecode_of(packet::column_type t) noexcept { return typecodes[static_cast<std::size_t>(t)]; }

PyObject* new_offsets(const std::vector<std::uint64_t>& ends, bool wide) {
    if (wide) {
        std::vector<std::int64_t> o(ends.size() + 1, 0);
        for (std::size_t k = 0; k < ends.size(); ++k) o[k + 1] = static_cast<std::int64_t>(ends[k]);
        return new_array('q', o.size(), o.data());
    }
    std::vector<std::int32_t> o(ends.size() + 1, 0);
    for (std::size_t k = 0; k < ends.size(); ++k) o[k + 1] = static_cast<std::int32_t>(ends[k]);
    return new_array('i', o.size(), o.data());
}

PyObject* new_array(char code, std::size_t count, const void* data) {
    std::size_t width = 0;
    for (std::size_t t = 0; t < sizeof(typecodes); ++t)
        if (typecodes[t] == code) width = packet::column_width(static_cast<packet::column_type>(t));
    numeric_column column;
    if (!column.make(code, width, count)) return nullptr;
    if (data != nullptr && count != 0) std::memcpy(column.data(), data, count * width);
    PyObject* out = column.object();
    Py_INCREF(out);
    return out;
}

PyObject* read_columns(const compiled_recipe& r, std::span<const std::uint8_t> data, const stream_shape& shape,
                       bool mask, bool utf8_text) {
    if (r.has_arrays) return read_array_columns(r, data, shape, mask, utf8_text);
    const std::size_t n = r.fields.size();
    const std::size_t count = shape.count;

    // A fault every packet meets shows in the first packet: read it as a
    // packet of its own, which reports the first fault in order.
    if (count > 0)
        for (std::size_t i = 0; i < n; ++i)
            if (static_fault(r, i, shape)) {
                std::size_t failed = SIZE_MAX;
                auto first = unpack_one(r, shape.packet(data.data(), 0), shape.offset, &failed);
                if (!first) {
                    fail(first.err());
                    note_place(r, shape, 0, failed);
                    return nullptr;
                }
                Py_DECREF(*first);
                return fail(value_error("internal: a fault of every packet was not met"));
            }

    std::vector<numeric_column> numeric(n);
    std::vector<numeric_column> valid(mask ? n : 0);
    std::size_t numeric_fields = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (mask && !valid[i].make('B', 1, count, 1)) return nullptr;
        const packet::plan_field& p = r.fields[i];
        if (is_text(p.desc.encoding)) continue;
        // A field no packet can decode has no column type; with no packets
        // its column is an empty array of floats, as the formats it names
        // are floating-point ones.
        packet::column_type t = packet::column_type_of(p.desc.encoding, p.desc.bits);
        if (t == packet::column_type::none) t = packet::column_type::f64;
        if (!numeric[i].make(t, count)) return nullptr;
        ++numeric_fields;
        // A column of a large stream takes a while to make (its memory is
        // zeroed): a signal is seen between two.
        if (PyErr_CheckSignals() < 0) return nullptr;
    }

    fault_log log;
    log.mask = mask;
    if (numeric_fields > 0 && count > 0) {
        numeric_fill fill{r,  data, shape, numeric, valid, std::vector<bool>(n, false), {}, std::vector<std::size_t>(n, 0),
                          0,  {},   nullptr, 0};
        fill.faults.reserve(n);
        if (shape.index) {
            // Side by side, a block of packets reads like a strided stream:
            // worth a copy of each packet's first bytes, up to a few KiB.
            u128 most = 0;
            for (std::size_t i = 0; i < n; ++i)
                if (numeric[i].data() != nullptr)
                    most = std::max(most, packet::bytes_needed(r.fields[i].desc.bits,
                                                               static_cast<u128>(shape.offset) + r.fields[i].position,
                                                               r.exact));
            if (most > 0 && most <= max_gather_bytes) {
                fill.gather = static_cast<std::size_t>(most);
                fill.gathered.resize(fill.gather * block_packets);
            }
        }
        const bool release = count * numeric_fields >= values_without_lock;
        std::size_t slice = values_per_slice / numeric_fields;
        slice = std::max(block_packets, slice - slice % block_packets);
        for (std::size_t first = 0; first < count; first += slice) {
            const std::size_t last = std::min(count, first + slice);
            bool out_of_memory = false;
            // Nothing may unwind without the lock: a failure is noted and
            // reported once it is back.
            auto run = [&]() noexcept {
                try {
                    fill.run(first, last);
                } catch (...) {
                    out_of_memory = true;
                }
            };
            if (release) {
                Py_BEGIN_ALLOW_THREADS run();
                Py_END_ALLOW_THREADS
            } else {
                run();
            }
            if (out_of_memory) return PyErr_NoMemory();
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        for (auto& f : fill.faults) log.offer(std::move(f));
        // Faults only counted, beyond the first few of each field.
        for (std::size_t i = 0; i < n && mask; ++i)
            if (fill.masked[i] > faults_described) log.count += fill.masked[i] - faults_described;
    }

    // Text columns, packet by packet (when raising, up to the first fault).
    std::vector<std::size_t> texts;
    std::vector<text_column> text_values(n);
    for (std::size_t i = 0; i < n; ++i)
        if (is_text(r.fields[i].desc.encoding)) {
            texts.push_back(i);
            if (utf8_text)
                text_values[i].ends.reserve(count);
            else
                text_values[i].values.reserve(count);
        }
    std::size_t decoded = 0;
    std::vector<std::uint8_t> points;  // scratch of the UTF-8 reading
    // As UTF-8, text of one-byte encodings at a whole byte is read column by
    // column: each value's bytes copied (ASCII) or widened (ISO-8859-1) where
    // they lie; any other value, and any fault, takes the step of one value.
    if (utf8_text) {
        std::vector<std::size_t> rest;
        for (const std::size_t i : texts) {
            const packet::plan_field& p = r.fields[i];
            const u128 pos = static_cast<u128>(shape.offset) + p.position;
            if (!text_in_place(p, pos, r.exact)) {
                rest.push_back(i);
                continue;
            }
            text_column& t = text_values[i];
            const u128 needed = packet::bytes_needed(p.desc.bits, pos, r.exact);
            const auto start = static_cast<std::size_t>(pos / 8);  // fits: checked against each packet's size
            const std::size_t width = p.desc.bits / 8;
            const text_encoding enc = text_encoding_of(p.desc.encoding);
            for (std::size_t k = 0; k < count; ++k) {
                if (k % (16 * texts_per_check) == 16 * texts_per_check - 1 && PyErr_CheckSignals() < 0) return nullptr;
                const std::span<const std::uint8_t> packet = shape.packet(data.data(), k);
                if (PW_LIKELY(needed <= packet.size()) &&
                    append_one_byte_text(packet.subspan(start, width), enc, t.utf8, t.used)) {
                    t.ends.push_back(t.used);
                    continue;
                }
                const std::size_t before = t.used;
                status s = read_text_utf8(packet, p, pos, r.exact, r.objects[i].labels(), t.utf8, t.used, points);
                if (!s) {
                    if (s.err().kind == error_kind::pending) return nullptr;
                    t.used = before;
                    log.offer(value_fault{k, i, s.take_error()});
                    if (!mask) break;  // later values of this field come after its fault
                    valid[i].data()[k] = 0;
                }
                t.ends.push_back(t.used);
            }
        }
        texts = std::move(rest);
    }
    for (std::size_t k = 0; !texts.empty() && k < count && (mask || k <= log.first.packet); ++k) {
        const std::span<const std::uint8_t> packet = shape.packet(data.data(), k);
        for (const std::size_t i : texts) {
            if (log.raising_at(k, i)) break;
            const packet::plan_field& p = r.fields[i];
            if (utf8_text) {
                text_column& t = text_values[i];
                const std::size_t before = t.used;
                status s = read_text_utf8(packet, p, static_cast<u128>(shape.offset) + p.position, r.exact,
                                          r.objects[i].labels(), t.utf8, t.used, points);
                if (!s) {
                    if (s.err().kind == error_kind::pending) return nullptr;
                    t.used = before;
                    log.offer(value_fault{k, i, s.take_error()});
                    if (!mask) break;
                    valid[i].data()[k] = 0;
                }
                t.ends.push_back(t.used);
                if (++decoded % (16 * texts_per_check) == 0 && PyErr_CheckSignals() < 0) return nullptr;
                continue;
            }
            auto value = read_value(packet, p, static_cast<u128>(shape.offset) + p.position, r.exact, false,
                                    r.objects[i].labels());
            if (!value) {
                if (value.err().kind == error_kind::pending) return nullptr;
                value_fault f{k, i, value.take_error()};
                if (!mask) {
                    log.offer(std::move(f));
                    break;
                }
                log.offer(std::move(f));
                valid[i].data()[k] = 0;
                PyObject* empty = PyUnicode_FromStringAndSize("", 0);
                if (!empty) return nullptr;
                text_values[i].values.push_back(empty);
                continue;
            }
            text_values[i].values.push_back(*value);
            if (++decoded % texts_per_check == 0 && PyErr_CheckSignals() < 0) return nullptr;
        }
    }
    if (!mask && log.first.packet != SIZE_MAX) return raise_fault(r, shape, log.first);

    // Every column is whole: only now are the lists made, then the result
    // filled with nothing made in between (a list's making may start the
    // collector, which must not find the result half-filled).
    std::vector<ref> lists(n);
    for (std::size_t i = 0; i < n; ++i)
        if (is_text(r.fields[i].desc.encoding)) {
            lists[i] = ref(utf8_text ? text_values[i].to_utf8_pair() : text_values[i].to_list());
            if (!lists[i]) return nullptr;
        }
    std::vector<PyObject*> columns(n);
    for (std::size_t i = 0; i < n; ++i) columns[i] = lists[i] ? lists[i].get() : numeric[i].object();
    return columns_result(r, shape, columns, valid, log, mask);
}

PyObject* columns_result(const compiled_recipe& r, const stream_shape& shape, const std::vector<PyObject*>& columns,
                         std::vector<numeric_column>& valid, fault_log& log, bool mask) {
    const std::size_t n = r.fields.size();
    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(out.get(), r.objects[i].name.get(), columns[i]) < 0) return nullptr;
    }
    if (!mask) return out.release();

    ref masks(compat::new_presized_dict(static_cast<Py_ssize_t>(n)));
    if (!masks) return nullptr;
    for (std::size_t i = 0; i < n; ++i)
        if (PyDict_SetItem(masks.get(), r.objects[i].name.get(), valid[i].object()) < 0) return nullptr;
    // The described faults: strs made first, the list when all are made.
    std::sort(log.described.begin(), log.described.end(),
              [](const value_fault& a, const value_fault& b) { return b.before(a.packet, a.field); });
    if (log.described.size() > faults_described) log.described.resize(faults_described);
    std::vector<ref> texts_of(log.described.size());
    for (std::size_t k = 0; k < log.described.size(); ++k) {
        texts_of[k] = ref(describe_fault(r, shape, log.described[k]));
        if (!texts_of[k]) return nullptr;
    }
    ref first(PyList_New(static_cast<Py_ssize_t>(texts_of.size())));
    if (!first) return nullptr;
    for (std::size_t k = 0; k < texts_of.size(); ++k)
        PyList_SET_ITEM(first.get(), static_cast<Py_ssize_t>(k), texts_of[k].release());
    ref faults(Py_BuildValue("{s:n,s:O}", "count", static_cast<Py_ssize_t>(log.count), "first", first.get()));
    if (!faults) return nullptr;
    return PyTuple_Pack(3, out.get(), masks.get(), faults.get());
}

bool text_argument(PyObject* o, bool& utf8) {
    if (o == nullptr) return true;
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CompareWithASCIIString(o, "str") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(o, "utf8") == 0) return utf8 = true;
    }
    PyErr_Format(PyExc_ValueError, "argument 'text': expected 'str' or 'utf8', got %R", o);
    return false;
}

PyObject* recipe_unpack_columns(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg stream;
    stream_shape shape;
    if (!stream_arguments(r, c, stream, shape)) return nullptr;
    bool mask = false;
    if (!errors_argument(c.arg(3), mask)) return nullptr;
    bool utf8_text = false;
    if (!text_argument(c.arg(4), utf8_text)) return nullptr;
    std::span<const std::uint8_t> data = stream.bytes();
    // Packets of one length back to back read faster as a strided stream,
    // when every field fits that length (else each packet's fault is its own).
    stream_shape strided = shape;
    std::span<const std::uint8_t> strided_data = data;
    if (as_strided(strided, strided_data)) {
        bool fits = true;
        for (const auto& p : r.fields)
            fits = fits && packet::bytes_needed(p.desc.bits, static_cast<u128>(strided.offset) + p.position, r.exact) <=
                               strided.stride;
        if (fits) return read_columns(r, strided_data, strided, mask, utf8_text);
    }
    return read_columns(r, data, shape, mask, utf8_text);
}

}  // namespace packweaver::py
