#include "unpack_engine.hpp"

#include "../packet/plan.hpp"
#include "compat.hpp"
#include "field_steps.hpp"

namespace packweaver {

result<PyObject*> process_recipe(std::span<const std::uint8_t> packet, std::size_t base_offset,
                                 const py::item_list& items) {
    py::ref out(py::compat::new_presized_dict(static_cast<Py_ssize_t>(items.size())));
    if (!out) return pending_error();
    const std::size_t length = packet.size();
    packet::position_tracker positions(base_offset);

    py::item_view f;
    packet::plan_field p;
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::prefetch_items(items, i);
        if (status s = py::read_item(items[i], py::item_part::keys, f); PW_UNLIKELY(!s)) return s.take_error();
        const u128 pos = positions.place(f.desc);
        // Matching a name that is not canonical may run code.
        if (PW_UNLIKELY(!f.order_known || f.encoding == nullptr)) f.hold();
        if (status s = py::resolve_names(f); PW_UNLIKELY(!s)) return s.take_error();
        py::plan_of(f, pos, p);
        py::plan_cut(p, false, length);
        const py::field_labels labels{f.name, f.encoding_text, f.order_text};
        auto value = py::read_value(packet, p, pos, false, p.cut.usable(length), labels);
        if (PW_UNLIKELY(!value)) return value.take_error();
        py::ref held(*value);
        // The key is a plain str equal to the name, even for a str subclass.
        // (f holds the name: lower-casing a name above may have run code.)
        py::ref key;
        PyObject* key_object = f.name;
        if (PW_UNLIKELY(!PyUnicode_CheckExact(key_object))) {
            key = py::ref(PyUnicode_FromObject(key_object));
            if (!key) return pending_error();
            key_object = key.get();
        }
        if (PW_UNLIKELY(PyDict_SetItem(out.get(), key_object, held.get()) < 0)) return pending_error();
    }
    return out.release();
}

}  // namespace packweaver
