// Access to recipes and their items: the recipe argument as a list of items,
// the keys of one item, and the encoding and byte order names.
//
// Key strings are interned once at start-up. An item is read in one pass over
// its entries, matching keys by identity; when a value could run Python code
// while it is converted (anything but a plain int, float, str or bool), the
// item is read with one lookup per key instead, at the moment each key is
// needed, so that what the code does to the dict is seen exactly.
//
// The rule for every reader of a recipe: a borrowed reference (from a dict
// walk, a lookup, a sequence's items) is good only until the next thing that
// can run Python code: a conversion (__index__, __float__, __bool__), a
// lower-casing of a name, a lookup or comparison with a key that is not an
// exact str, or any allocation of an object the garbage collector tracks
// (whose collection runs finalizers). Across such a point, hold a strong
// reference (item_view does) or read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../common/encodings.hpp"
#include "../common/platform.hpp"
#include "../common/error.hpp"
#include "../packet/field.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "python.hpp"

namespace packweaver::py {

enum recipe_key : unsigned {
    key_name,
    key_encoding,
    key_bits,
    key_byte_order,
    key_reverse_bits,
    key_offset_bits,
    key_value,
    recipe_key_count,
};

// Interns the key strings and the canonical names; called once at start-up.
bool init_recipe_names();

// The recipe argument: any sequence but str, its elements taken once, as they
// are, and held for the call.
class item_list {
public:
    item_list() = default;
    item_list(const item_list&) = delete;
    item_list& operator=(const item_list&) = delete;
    ~item_list();

    std::size_t size() const noexcept { return size_; }
    PyObject* operator[](std::size_t i) const noexcept { return items_[i]; }

    // Returns false with TypeError set (no argument prefix).
    bool assign(PyObject* recipe);

private:
    // Small: a conversion hook may call the engines again, and every level of
    // that recursion keeps this on the C stack.
    static constexpr std::size_t inline_capacity = 64;
    PyObject* inline_[inline_capacity];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** items_ = inline_;
    std::size_t size_ = 0;
};

bool to_recipe(PyObject* recipe, item_list& out);

// A value whose conversion runs no Python code.
PW_INLINE bool is_inert(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// One recipe item as the engines see it: the field's description, and the
// objects it names. Read in one pass (every value plain), the objects are
// borrowed from the item's dict: nothing that can run Python code has run,
// and the engines run none (they allocate only ints, floats, strs and bytes,
// which the collector does not track) until they call hold(). Before
// converting a value that is not inert, or matching a name that is not
// canonical, the engines call hold(): converting may run code that drops the
// dict's own references. Read key by key, the objects are always held.
struct item_view {
    packet::field_desc desc;  // desc.encoding is set once `encoding` is resolved
    PyObject* name = nullptr;
    PyObject* encoding_text = nullptr;
    PyObject* order_text = nullptr;
    PyObject* value = nullptr;  // null when absent or not read
    const packweaver::encoding_name* encoding = nullptr;  // nullptr until resolved
    bool order_known = false;  // field.order is set
    bool ran_code = false;     // reading may have run Python code (a conversion hook)
    bool held = false;         // strong references to the objects in `kept`

    item_view() = default;
    item_view(const item_view&) = delete;
    item_view& operator=(const item_view&) = delete;
    ~item_view() { let_go(); }

    // Takes strong references to the objects named above, once.
    PW_INLINE void hold() noexcept {
        if (held) return;
        held = true;
        kept[0] = name;
        kept[1] = encoding_text;
        kept[2] = order_text;
        kept[3] = value;
        for (PyObject* o : kept) Py_XINCREF(o);
    }
    // Lets the held objects go, before the item is read again. (May run
    // finalizers: call it before reading, never between reading and use.)
    PW_INLINE void let_go() noexcept {
        if (PW_LIKELY(!held)) return;
        held = false;
        PyObject* const gone[4] = {kept[0], kept[1], kept[2], kept[3]};
        for (PyObject* o : gone) Py_XDECREF(o);
    }

private:
    PyObject* kept[4] = {};
};

// What of an item to read.
enum class item_part : std::uint8_t {
    extent,          // bits, then offset_bits (the packer's sizing pass)
    keys,            // name, encoding, bits, byte_order, reverse_bits, offset_bits (the reader)
    keys_and_value,  // the same, then value is looked up (the packer)
};

// Reads one recipe item: checks that it is a dict, then reads the part's
// keys in their documented order, so that the first fault is reported. The
// common case takes one pass over the dict's entries; the encoding and byte
// order names are then already matched.
status read_item(PyObject* item, item_part part, item_view& f);

status resolve_encoding_slow(item_view& f);
status resolve_order_slow(item_view& f);

// Matches the encoding name and the byte order word once: an unknown one is
// left unresolved (encoding nullptr, order_known false), as each direction
// reports it at its own point. Fails only when matching raised (a non-ASCII
// name is lower-cased in full, which may fail).
PW_INLINE status resolve_names(item_view& f) {
    if (PW_UNLIKELY(f.encoding == nullptr)) {
        if (status s = resolve_encoding_slow(f); PW_UNLIKELY(!s)) return s;
    }
    if (PW_UNLIKELY(!f.order_known)) return resolve_order_slow(f);
    return success();
}

// The value of a numeric field converted for its encoding.
PW_INLINE status to_number(PyObject* value, packet::value_kind kind, packet::number& out) {
    bool ok = false;
    switch (kind) {
        case packet::value_kind::signed_int: ok = to_i64(value, out.i); break;
        case packet::value_kind::unsigned_int: ok = to_u64(value, out.u); break;
        case packet::value_kind::binary32: ok = to_f32(value, out.f32); break;
        case packet::value_kind::binary64: ok = to_f64(value, out.f64); break;
        default: return value_error("internal: not a numeric value");
    }
    if (PW_UNLIKELY(!ok)) return pending_error();
    return success();
}
// Asks for the memory of the items after item i ahead of time: walking a
// recipe touches one dict after another, and each first touch would
// otherwise wait for memory.
PW_INLINE void prefetch_items(const item_list& items, std::size_t i) noexcept {
    if (i + 2 < items.size()) prefetch(items[i + 2]);
    if (i + 1 < items.size()) {
        PyObject* next = items[i + 1];
        if (PyDict_Check(next)) {
            const char* keys = static_cast<const char*>(compat::dict_keys_address(next));
            prefetch(keys);
            prefetch(keys + 64);
            prefetch(keys + 128);
        }
    }
}

// Key errors of the item format.
error missing_value(PyObject* name);
error unsupported_encoding(PyObject* name);
error invalid_byte_order(PyObject* word);

// The UTF-8 of a str known to hold no lone surrogate.
std::string utf8_of(PyObject* str);

}  // namespace packweaver::py
