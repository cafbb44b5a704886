#include "unpack_engine.hpp"

#include <memory>
#include <string>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "../decoder/text.hpp"
#include "../packet/plan.hpp"
#include "compat.hpp"
#include "errors.hpp"
#include "sinks.hpp"

namespace packweaver {

namespace py {

PW_COLD error packet_too_short(PyObject* name, u128 needed, std::size_t length) {
    return value_error("Packet too short for parameter '" + utf8_of(name) + "': needs " + fmt::dec(needed) +
                       " bytes, packet has " + fmt::dec(std::uint64_t{length}));
}

namespace {

// A text field's bytes, decoded. Out of line: its scratch buffer is on the C
// stack only while the text is decoded.
PW_NOINLINE result<PyObject*> unpack_text(std::span<const std::uint8_t> packet, u128 pos, const packet::field& desc,
                                          bool exact) {
    const std::size_t count = desc.bits / 8 + (desc.bits % 8 != 0);
    std::uint8_t small[256];
    std::unique_ptr<std::uint8_t[]> large;
    std::uint8_t* scratch = small;
    if ((exact || desc.order == byte_order::little) && count > sizeof(small)) {
        large.reset(new std::uint8_t[count]);
        scratch = large.get();
    }
    std::span<const std::uint8_t> bytes;
    if (exact) {
        packet::cut_text_exact(packet, pos, desc.bits, desc.order, scratch);
        bytes = {scratch, count};
    } else {
        bytes = packet::cut_text_bytes(packet, static_cast<std::size_t>(pos / 8), count, desc.order, scratch);
    }
    str_sink sink;
    if (status s = decode_text(text_encoding_of(desc.encoding), bytes, sink); PW_UNLIKELY(!s)) return s.take_error();
    return sink.release();
}

}  // namespace

result<PyObject*> unpack_field(std::span<const std::uint8_t> packet, u128 pos, const packet::field& desc,
                               bool exact) {
    if (is_text(desc.encoding)) return unpack_text(packet, pos, desc, exact);
    auto number = packet::decode_number(desc.encoding, packet::cut_number(packet, pos, desc, exact), desc.bits);
    if (PW_UNLIKELY(!number)) return number.take_error();
    PyObject* o = number_object(*number);
    if (PW_UNLIKELY(!o)) return pending_error();
    return o;
}

}  // namespace py

result<PyObject*> process_recipe(std::span<const std::uint8_t> packet, std::size_t base_offset,
                                 const py::item_list& items) {
    py::ref out(py::compat::new_presized_dict(static_cast<Py_ssize_t>(items.size())));
    if (!out) return pending_error();
    const std::size_t length = packet.size();
    u128 cursor = base_offset;

    for (std::size_t i = 0; i < items.size(); ++i) {
        py::prefetch_items(items, i);
        py::item_fields f;
        if (status s = py::read_item(items[i], py::item_part::keys, f); PW_UNLIKELY(!s)) return s.take_error();
        const std::size_t bits = f.field.bits;

        // Positions are exact: a field however far past the end is too short,
        // never wrapped round to the start of the packet.
        const u128 position = f.field.has_offset ? static_cast<u128>(base_offset) + f.field.offset : cursor;
        const u128 start = position / 8;
        const std::size_t count = bits / 8 + (bits % 8 != 0);
        if (PW_UNLIKELY(start + count > length)) return py::packet_too_short(f.name.get(), start + count, length);

        if (status s = py::resolve_order(f); PW_UNLIKELY(!s)) return s.take_error();
        if (status s = py::resolve_encoding(f); PW_UNLIKELY(!s)) return s.take_error();
        if (PW_UNLIKELY(f.encoding == nullptr)) return py::unsupported_encoding(f.encoding_text.get());

        // The common numeric field: one load, one object.
        PyObject* quick = nullptr;
        if (PW_LIKELY(!is_text(f.field.encoding) && bits <= 64)) {
            const packet::quick_cut cut = packet::quick_cut_of(f.field, position, false, length);
            if (cut.width != 0 && cut.index + 8 <= length) {
                quick = py::quick_number_object(f.field, packet::apply_cut(cut, packet.data()));
                if (PW_UNLIKELY(quick == nullptr && PyErr_Occurred())) return pending_error();
            }
        }
        if (quick == nullptr) {
            auto decoded = py::unpack_field(packet, position, f.field, false);
            if (PW_UNLIKELY(!decoded)) return decoded.take_error();
            quick = *decoded;
        }
        py::ref value(quick);
        // The key is a plain str equal to the name, even for a str subclass.
        // (f holds the name: lower-casing a name above may have run code.)
        py::ref key;
        PyObject* key_object = f.name.get();
        if (PW_UNLIKELY(!PyUnicode_CheckExact(key_object))) {
            key = py::ref(PyUnicode_FromObject(key_object));
            if (!key) return pending_error();
            key_object = key.get();
        }
        if (PW_UNLIKELY(PyDict_SetItem(out.get(), key_object, value.get()) < 0)) return pending_error();
        cursor = position + bits;
    }
    return out.release();
}

}  // namespace packweaver
