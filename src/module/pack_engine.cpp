#include "pack_engine.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "../encoder/text.hpp"
#include "../packet/field.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "sinks.hpp"

namespace packweaver {

namespace py {

PW_COLD static error packet_too_large(u128 end_bits) {
    return value_error("Packet too large: " + fmt::dec(end_bits) + " bits do not fit in a bytes object");
}

PW_COLD static error cannot_allocate(u128 bytes) {
    return value_error("Cannot allocate a packet of " + fmt::dec(bytes) + " bytes");
}

result<PyObject*> new_packet(u128 end_bits) {
    const u128 size = (end_bits + 7) / 8;
    if (PW_UNLIKELY(size > static_cast<u128>(PY_SSIZE_T_MAX))) return packet_too_large(end_bits);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (PW_UNLIKELY(!bytes)) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return pending_error();
        PyErr_Clear();
        return cannot_allocate(size);
    }
    std::memset(PyBytes_AS_STRING(bytes), 0, static_cast<std::size_t>(size));
    return bytes;
}

status encode_text_value(const packet::field& desc, PyObject* value, buffer_sink& sink) {
    text_view text;
    if (PW_UNLIKELY(!to_text(value, text))) return pending_error();
    if (status s = encode_text(text_encoding_of(desc.encoding), text, sink); PW_UNLIKELY(!s)) {
        if (s.err().kind != error_kind::pending && raise_if_lone_surrogate(value)) return pending_error();
        return s;
    }
    return success();
}

}  // namespace py

namespace {

// A text field. Out of line: its encoding buffer is on the C stack only
// while the text is written, never while a conversion hook runs.
PW_NOINLINE status pack_text(std::span<std::uint8_t> packet, u128 pos, py::item_fields& f) {
    py::buffer_sink sink;
    if (status s = py::encode_text_value(f.field, f.value.get(), sink); PW_UNLIKELY(!s)) return s;
    if (status s = py::resolve_order(f); PW_UNLIKELY(!s)) return s;
    packet::place_text(packet, pos, f.field.bits, {sink.data(), sink.size()}, f.field.order);
    return success();
}

// A numeric field: the value converted and encoded, then placed.
PW_INLINE status pack_number(std::span<std::uint8_t> packet, u128 pos, py::item_fields& f) {
    auto pattern = py::encode_number_value(f.field, f.value.get());
    if (PW_UNLIKELY(!pattern)) return pattern.take_error();
    if (status s = py::resolve_order(f); PW_UNLIKELY(!s)) return s;
    if (PW_LIKELY(pos <= UINT64_MAX) &&
        packet::place_number_quick(packet, static_cast<std::uint64_t>(pos), f.field.bits, *pattern, f.field.reverse,
                                   f.field.order))
        return success();
    packet::place_number(packet, pos, f.field.bits, *pattern, f.field.reverse, f.field.order);
    return success();
}

}  // namespace

result<PyObject*> build_packet(const py::item_list& items) {
    const std::size_t n = items.size();
    if (n == 0) return PyBytes_FromStringAndSize(nullptr, 0);

    // Items read in one go in the sizing pass serve the encoding pass too, as
    // long as no Python code has run in between. Kept small, as it stays on
    // the C stack while conversion hooks run (which may call the engines
    // again); longer recipes use the heap.
    constexpr std::size_t inline_items = 8;
    py::item_fields inline_fields[inline_items];
    std::unique_ptr<py::item_fields[]> heap_fields;
    py::item_fields* fields = inline_fields;
    if (n > inline_items) {
        // A list holds at most PY_SSIZE_T_MAX items; saying so keeps the
        // array's byte count in range.
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(py::item_fields)) throw std::bad_alloc();
        heap_fields.reset(new py::item_fields[n]);
        fields = heap_fields.get();
    }
    bool may_have_run_code = false;

    // Sizing pass.
    u128 end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        py::prefetch_items(items, i);
        py::item_fields& f = fields[i];
        if (status s = py::read_item(items[i], py::item_part::extent, f); PW_UNLIKELY(!s)) return s.take_error();
        may_have_run_code |= f.ran_code;
        const u128 pos = f.field.has_offset ? static_cast<u128>(f.field.offset) : end;
        end = std::max(end, pos + f.field.bits);
    }
    auto made = py::new_packet(end);
    if (PW_UNLIKELY(!made)) return made.take_error();
    py::ref bytes(*made);
    const std::span<std::uint8_t> packet(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));

    // Encoding pass.
    u128 cursor = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // The sizing pass read the whole item in one go (the encoding is
        // known then) and nothing has run since that could have changed it:
        // use what it read in place. Otherwise read the item again, over it.
        py::item_fields& f = fields[i];
        if (!(f.encoding != nullptr && !f.ran_code && !may_have_run_code)) {
            if (status s = py::read_item(items[i], py::item_part::keys_and_value, f); PW_UNLIKELY(!s))
                return s.take_error();
            may_have_run_code |= f.ran_code;
        }
        if (PW_UNLIKELY(!f.value)) return py::missing_value(f.name.get());
        // Converting a value of another kind, or lower-casing a name outside
        // ASCII, may run Python code: read every later item afresh.
        if (PW_UNLIKELY(!py::is_inert(f.value.get()) || !f.order_known || f.encoding == nullptr))
            may_have_run_code = true;
        if (f.field.has_offset) cursor = f.field.offset;
        const u128 pos = cursor;

        if (status s = py::resolve_encoding(f); PW_UNLIKELY(!s)) return s.take_error();
        if (PW_UNLIKELY(f.encoding == nullptr || !f.encoding->packer))
            return py::unsupported_encoding(f.encoding_text.get());
        status s = is_text(f.field.encoding) ? pack_text(packet, pos, f) : pack_number(packet, pos, f);
        if (PW_UNLIKELY(!s)) return s.take_error();
        cursor = pos + f.field.bits;
    }
    return bytes.release();
}

}  // namespace packweaver
