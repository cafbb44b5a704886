// Columns back into packets: pack_columns (a new bytes of N packets) and
// pack_columns_into (a caller's buffer), the inverse of unpack_columns.
//
// With the lock held, every column is taken once: a buffer is held as a view
// (its memory read later, without the lock), a list or a single value is
// converted value by value into field patterns, text is encoded. Then the
// packets are written block by block, field by field, without the lock for
// large streams; a value that does not encode stops the writing, and the
// first failing packet (then field) is reported with where it is.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../common/format.hpp"
#include "../decoder/text.hpp"
#include "../encoder/text.hpp"
#include "../packet/column_packing.hpp"
#include "errors.hpp"
#include "pack_columns_parts.hpp"
#include "sinks.hpp"

namespace packweaver::py {
namespace {

constexpr std::size_t block_packets = 256;
constexpr std::size_t values_without_lock = 16384;

}  // namespace

// One value converted for a numeric field, onto the patterns.
bool add_number(const packet::plan_field& p, PyObject* value, column_input& in) {
    auto pattern = encode_number_value(p.desc, value, p.exact);
    if (!pattern) {
        fail(pattern.err());
        return false;
    }
    in.patterns.push_back(*pattern);
    return true;
}

PW_COLD bool column_error(PyObject* exc, const field_objects& o, const std::string& text) {
    const std::string name = utf8_of(o.name.get());
    PyErr_SetString(exc, ("column '" + name + "': " + text).c_str());
    return false;
}

// The element type of a buffer's format, or false.
bool element_of(const Py_buffer& v, packet::element_type& out) {
    const char* f = v.format ? v.format : "B";
    if (*f == '@' || *f == '=' || (*f == (std::endian::native == std::endian::little ? '<' : '>'))) ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    using packet::element_type;
    const bool is_signed = f[0] == 'b' || f[0] == 'h' || f[0] == 'i' || f[0] == 'l' || f[0] == 'q' || f[0] == 'n';
    switch (f[0]) {
        case '?': out = element_type::boolean; return v.itemsize == 1;
        case 'e': out = element_type::f16; return v.itemsize == 2;
        case 'f': out = element_type::f32; return v.itemsize == 4;
        case 'd': out = element_type::f64; return v.itemsize == 8;
        case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l': case 'L': case 'q': case 'Q': case 'n': case 'N':
            switch (v.itemsize) {
                case 1: out = is_signed ? element_type::i8 : element_type::u8; return true;
                case 2: out = is_signed ? element_type::i16 : element_type::u16; return true;
                case 4: out = is_signed ? element_type::i32 : element_type::u32; return true;
                case 8: out = is_signed ? element_type::i64 : element_type::u64; return true;
                default: return false;
            }
        default: return false;
    }
}

bool take_values_buffer(const packet::plan_field& p, const field_objects& o, PyObject* object, column_input& in) {
    if (PyObject_GetBuffer(object, &in.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    in.has_view = true;
    if (!element_of(in.view, in.values.type))
        return column_error(PyExc_TypeError, o,
                            std::string("values of format '") + (in.view.format ? in.view.format : "B") +
                                "' cannot be packed (numbers of native byte order can)");
    const packet::value_kind kind = packet::value_kind_of(p.desc.encoding);
    const bool float_field = kind == packet::value_kind::binary32 || kind == packet::value_kind::binary64;
    if (packet::is_float_element(in.values.type) && !float_field)
        return column_error(PyExc_TypeError, o, "float values for an integer field");
    in.values.data = in.view.buf;
    return true;
}

bool take_offsets_buffer(PyObject* object, const field_objects& o, const char* what, std::vector<std::int64_t>& out) {
    Py_buffer offsets{};
    if (PyObject_GetBuffer(object, &offsets, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    struct releaser {
        Py_buffer* v;
        ~releaser() { PyBuffer_Release(v); }
    } keep{&offsets};
    packet::element_type type;
    if (offsets.ndim != 1 || !element_of(offsets, type) ||
        (type != packet::element_type::i32 && type != packet::element_type::i64))
        return column_error(PyExc_TypeError, o, std::string("the offsets of ") + what + " are 32- or 64-bit integers");
    const auto n = static_cast<std::size_t>(offsets.len / offsets.itemsize);
    if (n == 0) return column_error(PyExc_ValueError, o, std::string("the offsets of ") + what + " have n + 1 entries, not 0");
    out.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = type == packet::element_type::i32 ? static_cast<const std::int32_t*>(offsets.buf)[k]
                                                   : static_cast<const std::int64_t*>(offsets.buf)[k];
    return true;
}

namespace {

// A text value encoded onto the column's bytes.
bool add_text(const packet::plan_field& p, PyObject* value, column_input& in) {
    text_view t;
    if (!to_text(value, t)) return false;
    buffer_sink sink;
    if (status s = encode_text(text_encoding_of(p.desc.encoding), t, sink); !s) {
        if (s.err().kind != error_kind::pending && raise_if_lone_surrogate(value)) return false;
        fail(s.err());
        return false;
    }
    if (p.exact && sink.size() > p.desc.bits / 8) {
        fail(text_too_long(sink.size(), p.desc.bits));
        return false;
    }
    in.text_bytes.insert(in.text_bytes.end(), sink.data(), sink.data() + sink.size());
    in.text_ends.push_back(in.text_bytes.size());
    return true;
}

// A text column given as UTF-8 data and offsets (what unpack_columns gives
// with text="utf8"): each value re-encoded for the field.
bool add_utf8_pair(const packet::plan_field& p, const field_objects& o, PyObject* pair, column_input& in,
                   std::size_t& k_failed) {
    Py_buffer data{};
    if (PyObject_GetBuffer(PyTuple_GET_ITEM(pair, 0), &data, PyBUF_C_CONTIGUOUS) < 0) return false;
    struct releaser {
        Py_buffer* v;
        ~releaser() { PyBuffer_Release(v); }
    } keep_data{&data};
    std::vector<std::int64_t> offsets;
    if (!take_offsets_buffer(PyTuple_GET_ITEM(pair, 1), o, "UTF-8 text", offsets)) return false;
    const std::size_t n = offsets.size();
    auto at = [&](std::size_t k) { return offsets[k]; };
    const auto size = static_cast<std::int64_t>(data.len);
    const auto* bytes = static_cast<const std::uint8_t*>(data.buf);
    std::vector<std::uint8_t> points;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const std::int64_t begin = at(k), end = at(k + 1);
        if (begin < 0 || end < begin || end > size) {
            k_failed = k;
            return column_error(PyExc_ValueError, o,
                                "UTF-8 offsets " + std::to_string(begin) + " to " + std::to_string(end) +
                                    " do not lie in the " + std::to_string(size) + " bytes of data");
        }
        code_point_sink decoded(points);
        const std::span<const std::uint8_t> value(bytes + begin, static_cast<std::size_t>(end - begin));
        buffer_sink sink;
        status s = decode_text(text_encoding::utf8, value, decoded);
        if (s) s = encode_text(text_encoding_of(p.desc.encoding), decoded.view(), sink);
        if (s && p.exact && sink.size() > p.desc.bits / 8) s = text_too_long(sink.size(), p.desc.bits);
        if (!s) {
            k_failed = k;
            if (s.err().kind != error_kind::pending) fail(s.err());
            return false;
        }
        in.text_bytes.insert(in.text_bytes.end(), sink.data(), sink.data() + sink.size());
        in.text_ends.push_back(in.text_bytes.size());
    }
    in.length = n - 1;
    return true;
}

// The column of field i from the caller's object (a new reference).
// `k_failed` is the value that failed, for the note.
bool take_column(const packet::plan_field& p, const field_objects& o, PyObject* column, column_input& in,
                 std::size_t& k_failed) {
    k_failed = no_length;
    in.text = is_text(p.desc.encoding);
    const bool single = in.text ? PyUnicode_Check(column) : (PyLong_Check(column) || PyFloat_Check(column));
    if (single) {
        in.values = {nullptr, packet::element_type::patterns, true};
        if (in.text) return add_text(p, column, in);
        if (!add_number(p, column, in)) return false;
        in.values.data = in.patterns.data();
        return true;
    }
    if (in.text && PyTuple_Check(column) && PyTuple_GET_SIZE(column) == 2 &&
        PyObject_CheckBuffer(PyTuple_GET_ITEM(column, 0)) && PyObject_CheckBuffer(PyTuple_GET_ITEM(column, 1)))
        return add_utf8_pair(p, o, column, in, k_failed);
    if (!in.text && PyObject_CheckBuffer(column)) {
        if (!take_values_buffer(p, o, column, in)) return false;
        if (in.view.ndim > 1)
            return column_error(PyExc_ValueError, o, "a column is one value per packet, not " +
                                                         std::to_string(in.view.ndim) + "-dimensional");
        in.values.repeat = in.view.ndim == 0;
        in.length = in.view.ndim == 0 ? no_length : static_cast<std::size_t>(in.view.len / in.view.itemsize);
        return true;
    }
    if (PyUnicode_Check(column) || PyBytes_Check(column) || !PySequence_Check(column))
        return column_error(PyExc_TypeError, o,
                            std::string("expected a sequence or buffer of values, got '") + Py_TYPE(column)->tp_name + "'");
    ref seq(PySequence_Fast(column, "a column must be a sequence"));
    if (!seq) return false;
    // A list may change while its values are converted: read it afresh each time.
    for (std::size_t k = 0;; ++k) {
        if (k >= static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()))) break;
        ref value(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(k)));
        Py_INCREF(value.get());
        k_failed = k;
        if (!(in.text ? add_text(p, value.get(), in) : add_number(p, value.get(), in))) return false;
    }
    k_failed = no_length;
    in.length = in.text ? in.text_ends.size() : in.patterns.size();
    in.values = {in.patterns.data(), packet::element_type::patterns, false};
    return true;
}

// Places text values [first, last) of a column.
void place_texts(const packet::plan_field& p, const column_input& in, std::uint8_t* out, std::size_t stride,
                 std::size_t first, std::size_t last, std::vector<std::uint8_t>& scratch) {
    for (std::size_t k = first; k < last; ++k) {
        const std::size_t j = in.length == no_length ? 0 : k;
        const std::size_t begin = j == 0 ? 0 : in.text_ends[j - 1];
        scratch.assign(in.text_bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                       in.text_bytes.begin() + static_cast<std::ptrdiff_t>(in.text_ends[j]));
        packet::place_text({out + k * stride, stride}, p.position, p.desc.bits, scratch, p.desc.order);
    }
}

// Writes (or, with out null, only checks) packets [0, count): block by
// block, field by field; a fault keeps the earliest packet, then field.
void write_packets(const compiled_recipe& r, const std::vector<column_input>& in, std::uint8_t* out,
                   std::size_t stride, std::size_t count, packing_fault& fault) {
    std::vector<std::uint8_t> scratch;
    for (std::size_t block = 0; block < count; block += block_packets) {
        std::size_t limit = std::min(count, block + block_packets);
        for (std::size_t i = 0; i < r.fields.size(); ++i) {
            const packet::plan_field& p = r.fields[i];
            if (in[i].text) {
                if (out != nullptr) place_texts(p, in[i], out, stride, block, limit, scratch);
                continue;
            }
            error e{error_kind::value_error, {}};
            const std::size_t got = packet::place_column(p, 0, in[i].values, out, stride, block, limit, &e);
            if (got < limit) {
                limit = got;
                fault.packet = got;
                fault.field = i;
                fault.e = std::move(e);
            }
        }
        if (fault.packet != SIZE_MAX) return;
    }
}

// The columns of every field, the packet count, and the fields' inputs.
bool take_columns(const compiled_recipe& r, PyObject* columns, PyObject* count_arg, std::vector<column_input>& in,
                  std::size_t& count) {
    if (!PyDict_Check(columns) && !PyObject_HasAttrString(columns, "keys")) {
        raise_cast_error(columns, "Mapping");
        prefix_argument_error("columns");
        return false;
    }
    bool counted = false;
    if (count_arg != nullptr && count_arg != Py_None) {
        if (!optional_size(count_arg, "count", true, count)) return false;
        counted = true;
    }
    const std::size_t n = r.fields.size();
    in = std::vector<column_input>(n);
    std::size_t found = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const field_objects& o = r.objects[i];
        // What keeps the packer from a field (a recipe made with
        // bit_exact=False may hold one) is reported as pack reports it.
        if (r.fields[i].pack_fault != packet::field_fault::none) {
            fail(fault_error(r.fields[i].pack_fault, o.labels()));
            note_field(r, i);
            return false;
        }
        ref column(PyObject_GetItem(columns, o.name.get()));
        bool from_item = false;
        if (!column) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            if (!o.value)
                return column_error(PyExc_ValueError, o, "no column for the field, and its item has no value");
            Py_INCREF(o.value.get());
            column = ref(o.value.get());
            from_item = true;
        } else {
            // Names are interned: a repeated name is the same object.
            bool repeated = false;
            for (std::size_t j = 0; j < i && !repeated; ++j) repeated = r.objects[j].name.get() == o.name.get();
            if (!repeated) ++found;
        }
        std::size_t k_failed = no_length, j_failed = no_length;
        const bool taken = r.fields[i].shape.is_array()
                               ? take_array_column(r.fields[i], o, column.get(), from_item, in[i], k_failed, j_failed)
                               : take_column(r.fields[i], o, column.get(), in[i], k_failed);
        if (!taken) {
            if (k_failed != no_length && r.has_arrays) {
                // Packets of a recipe with arrays have no place before they are laid out.
                std::string text;
                {
                    compat::stashed_exception keep;
                    text = "at packet " + std::to_string(k_failed) + ", field '" + utf8_of(o.name.get()) + "' (item " +
                           std::to_string(i) + ")" +
                           (j_failed == no_length ? std::string() : ", element " + std::to_string(j_failed));
                }
                compat::add_exception_note(text);
            } else if (k_failed != no_length) {
                stream_shape shape;
                shape.stride = static_cast<std::size_t>(r.size);
                note_place(r, shape, k_failed, i);
            } else {
                note_field(r, i);
            }
            return false;
        }
        if (in[i].length == no_length) continue;
        if (!counted) {
            count = in[i].length;
            counted = true;
        } else if (in[i].length != count) {
            return column_error(PyExc_ValueError, o,
                                fmt::dec(std::uint64_t{in[i].length}) +
                                    (in[i].length == 1 ? " value, " : " values, ") + "not " +
                                    fmt::dec(std::uint64_t{count}) + " (the packet count)");
        }
    }
    if (!counted) {
        PyErr_SetString(PyExc_ValueError, "count is needed when every column is a single value");
        return false;
    }
    // Every name of the mapping must be a field's: a misspelt one would
    // otherwise be left out without a word. (Repeated names count once.)
    const Py_ssize_t given = PyObject_Length(columns);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > found) {
        ref keys(PySequence_List(columns));
        if (!keys) return false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
            ref key(PyList_GET_ITEM(keys.get(), k));
            Py_INCREF(key.get());
            const int known = PySequence_Contains(r.names.get(), key.get());
            if (known < 0) return false;
            if (!known) {
                PyErr_Format(PyExc_ValueError, "columns name no field of the recipe: %R", key.get());
                return false;
            }
        }
    }
    return true;
}

PyObject* fail_at(const compiled_recipe& r, const packing_fault& f) {
    fail(f.e);
    stream_shape shape;
    shape.stride = static_cast<std::size_t>(r.size);
    if (r.has_arrays) {
        shape.stride = 0;
        shape.first_byte = static_cast<std::uint64_t>(f.byte);
    }
    note_place(r, shape, f.packet, f.field, f.element);
    return nullptr;
}

// Runs write_packets (write_array_packets for a recipe with arrays, which
// also counts the bytes, into `stride` bytes at out), without the lock for
// large streams.
bool run_writer(const compiled_recipe& r, const std::vector<column_input>& in, std::uint8_t* out, std::size_t stride,
                std::size_t count, packing_fault& fault, u128* bytes = nullptr) {
    bool out_of_memory = false;
    auto run = [&]() noexcept {
        try {
            if (r.has_arrays)
                write_array_packets(r, in, count, out, stride, *bytes, fault);
            else
                write_packets(r, in, out, stride, count, fault);
        } catch (...) {
            out_of_memory = true;
        }
    };
    if (count * std::max<std::size_t>(r.fields.size(), 1) >= values_without_lock) {
        Py_BEGIN_ALLOW_THREADS run();
        Py_END_ALLOW_THREADS
    } else {
        run();
    }
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

PyObject* pack_array_columns(const compiled_recipe& r, const std::vector<column_input>& in, std::size_t count) {
    packing_fault fault;
    u128 bytes = 0;
    if (!run_writer(r, in, nullptr, 0, count, fault, &bytes)) return nullptr;
    if (fault.packet != SIZE_MAX) return fail_at(r, fault);
    if (bytes > static_cast<u128>(PY_SSIZE_T_MAX)) return fail(value_error("Cannot allocate " + fmt::dec(bytes) + " bytes"));
    ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
    if (!out) return nullptr;
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    std::memset(data, 0, static_cast<std::size_t>(bytes));
    const u128 checked = bytes;
    if (!run_writer(r, in, data, static_cast<std::size_t>(checked), count, fault, &bytes)) return nullptr;
    // A buffer another thread changes between the two passes may fail now,
    // or lay its packets out longer: reported, never returned.
    if (fault.packet != SIZE_MAX) return fail_at(r, fault);
    if (bytes != checked) return fail(value_error("the columns changed while they were packed"));
    return out.release();
}

}  // namespace

PyObject* recipe_pack_columns(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    std::vector<column_input> in;
    std::size_t count = 0;
    if (!take_columns(r, c.arg(0), c.arg(1), in, count)) return nullptr;
    if (r.has_arrays) return pack_array_columns(r, in, count);
    const auto stride = static_cast<std::size_t>(r.size);
    if (stride != 0 && count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / stride)
        return fail(value_error("Cannot allocate " + fmt::dec(static_cast<u128>(count) * stride) + " bytes"));
    ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * stride)));
    if (!bytes) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    std::memset(out, 0, count * stride);
    packing_fault fault;
    if (!run_writer(r, in, out, stride, count, fault)) return nullptr;
    if (fault.packet != SIZE_MAX) return fail_at(r, fault);
    return bytes.release();
}

PyObject* recipe_pack_columns_into(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg target;
    if (!target.get(c.arg(0), "buffer", true)) return nullptr;
    std::vector<column_input> in;
    std::size_t count = 0;
    if (!take_columns(r, c.arg(1), c.arg(2), in, count)) return nullptr;
    const auto stride = static_cast<std::size_t>(r.size);
    const std::span<std::uint8_t> out = target.bytes();
    if (r.has_arrays) {
        // Every packet is laid out and checked first: its length is known then.
        packing_fault fault;
        u128 bytes = 0;
        if (!run_writer(r, in, nullptr, 0, count, fault, &bytes)) return nullptr;
        if (fault.packet != SIZE_MAX) return fail_at(r, fault);
        if (bytes > out.size())
            return fail(value_error("Buffer too small: the packets need " + fmt::dec(bytes) + " bytes, buffer has " +
                                    fmt::dec(std::uint64_t{out.size()})));
        if (!run_writer(r, in, out.data(), out.size(), count, fault, &bytes)) return nullptr;
        if (fault.packet != SIZE_MAX) return fail_at(r, fault);  // a buffer changed by another thread meanwhile
        Py_RETURN_NONE;
    }
    if (static_cast<u128>(count) * stride > out.size())
        return fail(value_error("Buffer too small: " + fmt::dec(std::uint64_t{count}) +
                                (count == 1 ? " packet" : " packets") + " of " + fmt::dec(std::uint64_t{stride}) +
                                " bytes, buffer has " + fmt::dec(std::uint64_t{out.size()})));
    // Every value is checked before anything is written: a failure leaves
    // the buffer as it was.
    packing_fault fault;
    if (!run_writer(r, in, nullptr, stride, count, fault)) return nullptr;
    if (fault.packet != SIZE_MAX) return fail_at(r, fault);
    if (!run_writer(r, in, out.data(), stride, count, fault)) return nullptr;
    // A column another thread changed since the check may fail now: reported.
    if (fault.packet != SIZE_MAX) return fail_at(r, fault);
    Py_RETURN_NONE;
}

}  // namespace packweaver::py
