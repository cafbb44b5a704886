// The Framing type: where each packet of a mixed stream ends, read from its
// header, and what is done with that: an index of a buffer, the buffer
// split by stream key, the columns of each stream.
#include "framing_object.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <utility>

#include "entry.hpp"
#include "errors.hpp"
#include "index_type.hpp"
#include "recipe_object.hpp"
#include "recipe_type.hpp"

namespace packweaver::py {
namespace {

struct framing_object {
    PyObject_HEAD
    packet::framing_layout layout;
};

PyTypeObject* framing_type = nullptr;

const packet::framing_layout& layout_of(PyObject* self) noexcept {
    return reinterpret_cast<framing_object*>(self)->layout;
}

// Buffers below this size are indexed with the lock held.
constexpr std::size_t bytes_without_lock = std::size_t{1} << 20;

// ---- construction ----

// (offset_bits, bits) into a header field; None leaves it absent.
bool header_field_arg(PyObject* o, const char* name, packet::header_field& out) {
    if (o == nullptr || o == Py_None) return true;
    ref seq(PySequence_Fast(o, ""));
    if (!seq && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // the object's own failure
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 2) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a pair (offset_bits, bits), not '%.200s'", name,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    // Both items held: converting the first may change the sequence.
    ref first(PySequence_Fast_GET_ITEM(seq.get(), 0)), second(PySequence_Fast_GET_ITEM(seq.get(), 1));
    Py_INCREF(first.get());
    Py_INCREF(second.get());
    std::uint64_t offset = 0, bits = 0;
    if (!to_u64(first.get(), offset) || !to_u64(second.get(), bits)) {
        prefix_argument_error(name);
        return false;
    }
    if (bits == 0 || bits > 32 || offset > 0xFFFFFFFFu - 32) {
        PyErr_Format(PyExc_ValueError, "%s: a field of 1 to 32 bits is supported, got %llu bits at bit %llu", name,
                     static_cast<unsigned long long>(bits), static_cast<unsigned long long>(offset));
        return false;
    }
    out = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(bits)};
    return true;
}

PyObject* make_framing(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    recursion_guard guard(" while reading a framing");
    if (!guard) return nullptr;
    static const char* kwlist[] = {"length", "length_adjust", "key", "sequence", "crc", "header_bits", nullptr};
    PyObject *length = nullptr, *adjust = nullptr, *key = nullptr, *sequence = nullptr, *crc = nullptr,
             *header = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OOOOOO:Framing", const_cast<char**>(kwlist), &length, &adjust,
                                     &key, &sequence, &crc, &header))
        return nullptr;
    if (length == nullptr || adjust == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Framing() needs length=(offset_bits, bits) and length_adjust=");
        return nullptr;
    }
    packet::framing_layout layout;
    if (!header_field_arg(length, "length", layout.length) || !header_field_arg(key, "key", layout.key) ||
        !header_field_arg(sequence, "sequence", layout.sequence))
        return nullptr;
    if (!to_i64(adjust, layout.length_adjust)) {
        prefix_argument_error("length_adjust");
        return nullptr;
    }
    if (crc != nullptr && crc != Py_None) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(crc) ? PyUnicode_AsUTF8AndSize(crc, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "crc must be a str or None, not '%.200s'",
                                                Py_TYPE(crc)->tp_name);
            return nullptr;
        }
        const auto found = crc::by_name({text, static_cast<std::size_t>(size)});
        if (!found) {
            PyErr_Format(PyExc_ValueError,
                         "unknown crc %R: supported are \"CRC-16/CCITT-FALSE\", \"CRC-16/XMODEM\", \"CRC-32\" and "
                         "\"CRC-32C\"",
                         crc);
            return nullptr;
        }
        layout.check = *found;
    }
    std::uint64_t header_bits = 0;
    if (header != nullptr && header != Py_None) {
        if (!to_u64(header, header_bits)) {
            prefix_argument_error("header_bits");
            return nullptr;
        }
        if (header_bits % 8 != 0 || header_bits == 0 || header_bits > (std::uint64_t{1} << 32)) {
            PyErr_SetString(PyExc_ValueError, "header_bits must be a positive multiple of 8");
            return nullptr;
        }
    } else {
        // The header ends where its last field ends, in whole bytes.
        const std::uint64_t end = std::max({layout.length.end(), layout.key.end(), layout.sequence.end()});
        header_bits = (end + 7) / 8 * 8;
    }
    layout.header_bytes = static_cast<std::uint32_t>(header_bits / 8);
    if (const std::string problem = packet::framing_problem(layout); !problem.empty()) {
        PyErr_SetString(PyExc_ValueError, problem.c_str());
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<framing_object*>(self)->layout = layout;
    return self;
}

PyObject* framing_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    try {
        return make_framing(type, args, kwds);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return detail::internal_fault("unknown exception");
    }
}

// ---- attributes ----

PyObject* field_pair(const packet::header_field& f) {
    if (!f.present()) Py_RETURN_NONE;
    return Py_BuildValue("(II)", f.offset, f.bits);
}

PyObject* get_length(PyObject* self, void*) { return field_pair(layout_of(self).length); }
PyObject* get_key(PyObject* self, void*) { return field_pair(layout_of(self).key); }
PyObject* get_sequence(PyObject* self, void*) { return field_pair(layout_of(self).sequence); }
PyObject* get_adjust(PyObject* self, void*) { return PyLong_FromLongLong(layout_of(self).length_adjust); }
PyObject* get_header_bits(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(std::uint64_t{layout_of(self).header_bytes} * 8);
}
PyObject* get_crc(PyObject* self, void*) {
    const std::string_view name = crc::name_of(layout_of(self).check);
    if (name.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The keyword arguments that make an equal framing.
PyObject* keywords_of(PyObject* self) {
    ref length(get_length(self, nullptr)), adjust(get_adjust(self, nullptr)), key(get_key(self, nullptr)),
        sequence(get_sequence(self, nullptr)), crc(get_crc(self, nullptr)), header(get_header_bits(self, nullptr));
    if (!length || !adjust || !key || !sequence || !crc || !header) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O,s:O}", "length", length.get(), "length_adjust", adjust.get(), "key",
                         key.get(), "sequence", sequence.get(), "crc", crc.get(), "header_bits", header.get());
}

PyObject* framing_repr(PyObject* self) {
    ref kw(keywords_of(self));
    if (!kw) return nullptr;
    const char* names[] = {"length", "length_adjust", "key", "sequence", "crc", "header_bits"};
    ref text(PyUnicode_FromString("Framing("));
    for (std::size_t k = 0; text && k < 6; ++k)
        text = ref(PyUnicode_FromFormat("%U%s%s=%R", text.get(), k ? ", " : "", names[k],
                                        PyDict_GetItemString(kw.get(), names[k])));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("%U)", text.get());
}

PyObject* framing_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, framing_type)) Py_RETURN_NOTIMPLEMENTED;
    const packet::framing_layout &a = layout_of(self), &b = layout_of(other);
    const auto same = [](const packet::header_field& x, const packet::header_field& y) {
        return x.offset == y.offset && x.bits == y.bits;
    };
    const bool equal = same(a.length, b.length) && same(a.key, b.key) && same(a.sequence, b.sequence) &&
                       a.length_adjust == b.length_adjust && a.check == b.check && a.header_bytes == b.header_bytes;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// ---- methods ----

// The index of a buffer, walked without the lock when it is large.
result<packet::packet_index> walk(const packet::framing_layout& layout, std::span<const std::uint8_t> data) {
    std::optional<result<packet::packet_index>> out;
    bool out_of_memory = false;
    auto run = [&]() noexcept {
        try {
            out.emplace(packet::index_packets(layout, data.data(), data.size()));
        } catch (...) {
            out_of_memory = true;
        }
    };
    if (data.size() >= bytes_without_lock) {
        Py_BEGIN_ALLOW_THREADS run();
        Py_END_ALLOW_THREADS
    } else {
        run();
    }
    if (out_of_memory) throw std::bad_alloc();
    return std::move(*out);
}

PyObject* framing_index(PyObject* self, const call& c) {
    const packet::framing_layout& layout = layout_of(self);
    buffer_arg buffer;
    if (!buffer.get(c.arg(0), "buffer", false)) return nullptr;
    auto index = walk(layout, buffer.bytes());
    if (!index) return raise(index.err());
    return new_index(std::move(*index), layout.key.present(), layout.sequence.present());
}

PyObject* framing_split(PyObject* self, const call& c) {
    const packet::framing_layout& layout = layout_of(self);
    buffer_arg buffer;
    if (!buffer.get(c.arg(0), "buffer", false)) return nullptr;
    auto found = walk(layout, buffer.bytes());
    if (!found) return raise(found.err());
    const packet::packet_index& index = *found;
    const std::uint8_t* data = buffer.bytes().data();
    // Each stream's bytes: sized first, then copied packet by packet into
    // bytes objects nothing else has seen yet.
    const std::size_t streams = index.streams.size();
    std::vector<std::size_t> sizes(streams, 0);
    // Each packet's stream: a slot per key, by a table of keys up to 16 bits.
    std::vector<std::uint32_t> slots(index.size(), 0);
    if (!index.keys.empty()) {
        const std::uint32_t largest = index.streams.back().key;
        if (largest <= 0xFFFF) {
            std::vector<std::uint32_t> slot_of(std::size_t{largest} + 1, 0);
            for (std::size_t s = 0; s < streams; ++s) slot_of[index.streams[s].key] = static_cast<std::uint32_t>(s);
            for (std::size_t k = 0; k < index.size(); ++k) slots[k] = slot_of[index.keys[k]];
        } else {
            for (std::size_t k = 0; k < index.size(); ++k) {
                const auto at = std::lower_bound(
                    index.streams.begin(), index.streams.end(), index.keys[k],
                    [](const packet::stream_summary& s, std::uint32_t key) { return s.key < key; });
                slots[k] = static_cast<std::uint32_t>(at - index.streams.begin());
            }
        }
    }
    for (std::size_t k = 0; k < index.size(); ++k) sizes[slots[k]] += static_cast<std::size_t>(index.lengths[k]);
    std::vector<ref> parts(streams);
    for (std::size_t s = 0; s < streams; ++s) {
        parts[s] = ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sizes[s])));
        if (!parts[s]) return nullptr;
    }
    std::vector<char*> to(streams);
    for (std::size_t s = 0; s < streams; ++s) to[s] = PyBytes_AS_STRING(parts[s].get());
    // Runs of packets of one stream are copied in one piece.
    for (std::size_t k = 0; k < index.size();) {
        const std::size_t s = slots[k];
        const std::uint64_t from = index.offsets[k];
        std::size_t bytes = 0;
        for (; k < index.size() && slots[k] == s && index.offsets[k] == from + bytes; ++k)
            bytes += static_cast<std::size_t>(index.lengths[k]);
        std::memcpy(to[s], data + from, bytes);
        to[s] += bytes;
    }
    ref out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t s = 0; s < streams; ++s) {
        ref key(PyLong_FromUnsignedLong(index.streams[s].key));
        if (!key || PyDict_SetItem(out.get(), key.get(), parts[s].get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* framing_read(PyObject* self, const call& c) {
    const packet::framing_layout& layout = layout_of(self);
    buffer_arg buffer;
    if (!buffer.get(c.arg(0), "buffer", false)) return nullptr;
    bool mask = false;
    if (!errors_argument(c.arg(2), mask)) return nullptr;
    bool utf8_text = false;
    if (!text_argument(c.arg(3), utf8_text)) return nullptr;
    // The (key, Recipe) pairs, each held for the call: nothing can take a
    // Recipe away. A dict's are taken in C++ storage (the interpreter's own
    // items() of a dict is a list that the collector can meet half-filled).
    std::vector<std::pair<ref, ref>> entries;
    if (PyDict_Check(c.arg(1))) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(c.arg(1))));
        while (PyDict_Next(c.arg(1), &pos, &key, &value)) {
            Py_INCREF(key);
            Py_INCREF(value);
            entries.emplace_back(ref(key), ref(value));
        }
    } else {
        ref method(PyObject_GetAttrString(c.arg(1), "items"));
        if (!method) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "argument 'recipes': expected a mapping of key to Recipe, got '%.200s'",
                             Py_TYPE(c.arg(1))->tp_name);
            }
            return nullptr;
        }
        ref items(PyObject_CallNoArgs(method.get()));
        if (!items) return nullptr;
        ref pairs(PySequence_Fast(items.get(), "argument 'recipes': items() must give a sequence"));
        if (!pairs) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(pairs.get());
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* pair = PySequence_Fast_GET_ITEM(pairs.get(), k);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "argument 'recipes': items() must give (key, Recipe) pairs");
                return nullptr;
            }
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            PyObject* value = PyTuple_GET_ITEM(pair, 1);
            Py_INCREF(key);
            Py_INCREF(value);
            entries.emplace_back(ref(key), ref(value));
        }
    }
    std::vector<std::pair<std::uint32_t, ref>> wanted;
    wanted.reserve(entries.size());
    for (auto& [key_object, recipe] : entries) {
        std::uint64_t key = 0;
        if (!to_u64(key_object.get(), key) || key > 0xFFFFFFFFu) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_ValueError, "argument 'recipes': keys must be ints from 0 to 2**32 - 1");
            }
            return nullptr;
        }
        if (!recipe_data(recipe.get())) return nullptr;
        wanted.emplace_back(static_cast<std::uint32_t>(key), std::move(recipe));
    }
    std::vector<packet::packet_index> streams;
    {
        auto found = walk(layout, buffer.bytes());
        if (!found) return raise(found.err());
        // Each stream's packets; the whole index goes before the columns come.
        streams.reserve(wanted.size());
        for (const auto& w : wanted) streams.push_back(packet::select_key(*found, w.first));
    }
    // Every stream's columns first; the dict only when all are made.
    std::vector<ref> results;
    results.reserve(wanted.size());
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        // Checked again: reading the previous stream may have run code.
        const compiled_recipe* r = recipe_data(wanted[k].second.get());
        if (!r) return nullptr;
        const packet::packet_index stream = std::move(streams[k]);
        stream_shape shape;
        shape.index = &stream;
        shape.count = stream.size();
        results.emplace_back(read_columns(*r, buffer.bytes(), shape, mask, utf8_text));
        if (!results.back()) return nullptr;
    }
    ref out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        ref key_object(PyLong_FromUnsignedLong(wanted[k].first));
        if (!key_object || PyDict_SetItem(out.get(), key_object.get(), results[k].get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* framing_reduce(PyObject* self, const call&) {
    ref kw(keywords_of(self));
    if (!kw) return nullptr;
    ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    ref newobj(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!newobj) return nullptr;
    return Py_BuildValue("O(O()O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), kw.get());
}

struct method_def {
    const char* name;
    const char* params;
    const char* doc;
    PyObject* (*body)(PyObject* self, const call& c);
};

const method_def methods[] = {
    {"index", "(buffer)",
     "index($self, /, buffer)\n--\n\n"
     "Walks the packets of a buffer once and returns their Index: offsets, lengths,\n"
     "keys and sequence counts, the bytes of an incomplete last packet (tail), and\n"
     "each stream's sequence gaps, repeats and failed checks.",
     framing_index},
    {"split", "(buffer)",
     "split($self, /, buffer)\n--\n\n"
     "The buffer's whole packets as {key: bytes}, each stream's packets in order.",
     framing_split},
    {"read", "(buffer, recipes, errors='raise', *, text='str')",
     "read($self, /, buffer, recipes, errors='raise', *, text='str')\n--\n\n"
     "Columns of several streams of one buffer: {key: Recipe} in, {key: columns}\n"
     "out, as Recipe.unpack_columns reads each stream's packets through the index.\n"
     "Packets of keys not in recipes are skipped (Index.streams counts them).\n"
     "text: as for Recipe.unpack_columns.",
     framing_read},
    {"__reduce__", "()", "__reduce__($self, /)\n--\n\n", framing_reduce},
};
constexpr std::size_t method_count = sizeof(methods) / sizeof(methods[0]);

signature method_signatures[method_count];
PyMethodDef method_table[method_count + 1];

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(method_signatures[I], args, nargs, kwnames, [self](const call& c) -> PyObject* {
        recursion_guard guard(" while reading a stream");
        if (!guard) return nullptr;
        return methods[I].body(self, c);
    });
}

template <std::size_t... I>
constexpr std::array<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), sizeof...(I)>
method_entries(std::index_sequence<I...>) {
    return {&method_entry<I>...};
}
constexpr auto entries = method_entries(std::make_index_sequence<method_count>{});

void framing_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef getset[] = {
    {"length", get_length, nullptr, "(offset_bits, bits) of the packet length field.", nullptr},
    {"length_adjust", get_adjust, nullptr, "Added to the length field to give the packet's bytes.", nullptr},
    {"key", get_key, nullptr, "(offset_bits, bits) of the stream key, or None.", nullptr},
    {"sequence", get_sequence, nullptr, "(offset_bits, bits) of the sequence counter, or None.", nullptr},
    {"crc", get_crc, nullptr, "The check value's algorithm, or None.", nullptr},
    {"header_bits", get_header_bits, nullptr, "Bits every packet has at least.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char framing_doc[] =
    "Framing(*, length, length_adjust, key=None, sequence=None, crc=None, header_bits=None)\n--\n\n"
    "Where each packet of a stream ends: its length field, (offset_bits, bits),\n"
    "big-endian, plus length_adjust gives its bytes. key and sequence are the\n"
    "stream identifier and the wrapping sequence counter; crc names a check value\n"
    "over the packet kept big-endian in its last bytes (\"CRC-16/CCITT-FALSE\",\n"
    "\"CRC-16/XMODEM\", \"CRC-32\" or \"CRC-32C\"). header_bits defaults to the end of\n"
    "the last of these fields, in whole bytes.";

}  // namespace

bool add_framing_types(PyObject* module) {
    if (!add_index_type(module)) return false;
    for (std::size_t i = 0; i < method_count; ++i) {
        if (!parse_signature(methods[i].name, methods[i].params, method_signatures[i])) return false;
        method_table[i] = PyMethodDef{methods[i].name,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                                      METH_FASTCALL | METH_KEYWORDS, methods[i].doc};
    }
    method_table[method_count] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(framing_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(framing_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(framing_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(framing_richcompare)},
        {Py_tp_methods, method_table},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(framing_doc)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"packweaver.Framing", sizeof(framing_object), 0, Py_TPFLAGS_DEFAULT, slots};
    framing_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!framing_type) return false;
    if (PyObject_SetAttrString(module, "Framing", reinterpret_cast<PyObject*>(framing_type)) < 0) return false;
    // The CCSDS space packet: length at bit 32 (16 bits, the data field's
    // bytes less one), APID at bit 5 (11 bits), sequence count at bit 18 (14 bits).
    ref ccsds(PyType_GenericAlloc(framing_type, 0));
    if (!ccsds) return false;
    packet::framing_layout& s = reinterpret_cast<framing_object*>(ccsds.get())->layout;
    s = packet::framing_layout{};
    s.length = {32, 16};
    s.length_adjust = 7;
    s.key = {5, 11};
    s.sequence = {18, 14};
    s.header_bytes = 6;
    return PyObject_SetAttrString(module, "CCSDS", ccsds.get()) == 0;
}

}  // namespace packweaver::py
