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
// reference (item_fields does) or read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../common/encodings.hpp"
#include "../common/compiler.hpp"
#include "../common/error.hpp"
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
    static constexpr std::size_t inline_capacity = 16;
    PyObject* inline_[inline_capacity];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** items_ = inline_;
    std::size_t size_ = 0;
};

bool to_recipe(PyObject* recipe, item_list& out);

// The keys of one item, found by one pass over its entries.
struct item_scan {
    PyObject* values[recipe_key_count];
    bool keys_plain;  // every key a plain str, so the pass found exactly what lookups would
};

void scan_item(PyObject* dict, item_scan& out) noexcept;

// True when converting the item's values runs no Python code (plain int,
// float, str, bool or None), so the dict cannot change while it is read.
bool scan_is_inert(const item_scan& scan) noexcept;

// A value whose conversion runs no Python code.
PW_INLINE bool is_inert(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           v == Py_None;
}

// Every key of an item, converted. The objects are held: converting a later
// key, or anything else that runs Python code, may drop the dict's own
// references to them.
struct item_fields {
    ref name;
    ref encoding_text;
    ref order_text;
    ref value;  // empty when absent
    const packweaver::encoding_name* encoding;  // nullptr until resolved
    std::size_t bits;
    std::size_t offset;
    byte_order order;
    bool reverse;
    bool has_offset;
    bool order_known;
};

// The common case in one pass over the item's entries: every key present
// with a plain value (ASCII names, encoding and byte order words spelled as
// the canonical lower-case names, non-negative ints that fit, a bool), so
// nothing can fail and no Python code runs. Returns false otherwise; the
// caller then reads the item key by key, which finds the first fault in the
// documented order.
bool read_plain_item(PyObject* dict, item_fields& f) noexcept;

// Asks for the memory of the items after item i ahead of time: walking a
// recipe touches one dict after another, and each first touch would
// otherwise wait for memory.
PW_INLINE void prefetch_items(const item_list& items, std::size_t i) noexcept {
    if (i + 2 < items.size()) __builtin_prefetch(items[i + 2]);
    if (i + 1 < items.size()) {
        PyObject* next = items[i + 1];
        if (PyDict_Check(next)) {
            const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(next)->ma_keys);
            __builtin_prefetch(keys);
            __builtin_prefetch(keys + 64);
            __builtin_prefetch(keys + 128);
        }
    }
}

// Reads keys from one dict, from a scan or by lookups.
class item_reader {
public:
    item_reader(PyObject* dict, const item_scan* scan) noexcept : dict_(dict), scan_(scan) {}
    item_reader(const item_reader&) = delete;
    item_reader& operator=(const item_reader&) = delete;
    ~item_reader();

    // The value, or nullptr when absent (pending_error() when a lookup raised).
    result<PyObject*> get(recipe_key key);

    status text(recipe_key key, ref& out);
    status size(recipe_key key, std::size_t& out);
    status flag(recipe_key key, bool& out);
    status optional_size(recipe_key key, bool& present, std::size_t& out);

    // name, encoding, bits, byte_order, reverse_bits, then offset_bits: the
    // order both engines read an item in, so the first fault is reported.
    // The encoding and byte order are left to be matched by the caller.
    status read_keys(item_fields& f);

private:
    PyObject* dict_;
    const item_scan* scan_;
    PyObject* owned_[recipe_key_count] = {};
};

// Holds a new reference to o (which may be null) in r.
PW_INLINE void hold(ref& r, PyObject* o) noexcept {
    Py_XINCREF(o);
    r = ref(o);
}

// Key errors of the item format.
error missing_field(recipe_key key);
error missing_value(PyObject* name);

// The encoding an item names: nullptr when the lower-cased name is unknown.
result<const encoding_name*> find_encoding(PyObject* name);
error unsupported_encoding(PyObject* name);

// "big" or "little" after lower-casing, or an error value.
result<byte_order> find_byte_order(PyObject* name);

// The UTF-8 of a str known to hold no lone surrogate.
std::string utf8_of(PyObject* str);

}  // namespace packweaver::py
