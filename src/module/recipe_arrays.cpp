// Reading one packet of a recipe with arrays: each packet laid out first (an
// array's count may come from an earlier field or from the packet's length),
// then every field read at its place, an array into a list.
//
// Every value is made before any container that holds it: the lists when
// their elements are whole, the dict when every value is.
#include <vector>

#include "../packet/layout.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// The elements of array field p at `pos` into a new list.
result<PyObject*> read_elements(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                std::uint64_t count, const field_labels& labels, std::size_t* element) {
    std::vector<ref> values(static_cast<std::size_t>(count));
    for (std::size_t j = 0; j < values.size(); ++j) {
        auto v = read_value(packet, p, pos + static_cast<u128>(j) * p.desc.bits, true, false, labels);
        if (PW_UNLIKELY(!v)) {
            if (element) *element = j;
            return v.take_error();
        }
        values[j] = ref(*v);
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) return pending_error();
    for (std::size_t j = 0; j < values.size(); ++j) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), values[j].release());
    return list;
}

}  // namespace

result<PyObject*> unpack_with_arrays(const compiled_recipe& c, std::span<const std::uint8_t> packet,
                                     std::size_t base, std::size_t* failed, std::size_t* element) {
    const std::size_t n = c.fields.size();
    std::vector<packet::field_place> places(n);
    packet::layout_stop stop;
    const packet::layout_start start = packet::fixed_prefix(c.fields);
    for (std::size_t i = 0; i < start.from; ++i) places[i] = {static_cast<u128>(base) + c.fields[i].position, 1};
    const std::size_t placed = packet::lay_out(c.fields, packet, base, places.data(), stop, start.from, start.cursor);
    std::vector<ref> values(n);
    for (std::size_t i = 0; i < placed; ++i) {
        const packet::plan_field& p = c.fields[i];
        const field_labels labels = c.objects[i].labels();
        auto value = p.shape.is_array() ? read_elements(packet, p, places[i].position, places[i].count, labels, element)
                                        : read_value(packet, p, places[i].position, true, false, labels);
        if (PW_UNLIKELY(!value)) {
            if (failed) *failed = i;
            return value.take_error();
        }
        values[i] = ref(*value);
    }
    if (placed < n) {
        if (failed) *failed = stop.field;
        return packet_too_short(c.objects[stop.field].name.get(), stop.needed, packet.size());
    }
    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(n)));
    if (!out) return pending_error();
    for (std::size_t i = 0; i < n; ++i)
        if (PyDict_SetItem(out.get(), c.objects[i].name.get(), values[i].get()) < 0) {
            if (failed) *failed = i;
            return pending_error();
        }
    return out.release();
}

}  // namespace packweaver::py
