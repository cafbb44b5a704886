#include "recipe.hpp"

#include <cstring>
#include <string>

#include "compat.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace packweaver::py {
namespace {

const char* const key_texts[recipe_key_count] = {
    "name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value",
};

// Two spare null slots: classify_key looks one and two past the last key.
PyObject* key_objects[recipe_key_count + 2];

// Interned canonical names, matched by identity before any lower-casing. The
// table holds a reference to each, so an address cannot be reused by another
// string while the process lives.
constexpr std::size_t name_slots = 256;
struct name_slot {
    PyObject* key;
    int value;  // index into encoding_names, or -1 - byte order
};
name_slot name_table[name_slots];

std::size_t slot_of(PyObject* p) noexcept {
    auto h = reinterpret_cast<std::uintptr_t>(p);
    h ^= h >> 9;
    return (h >> 4) & (name_slots - 1);
}

bool add_name(const char* text, int value) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) return false;
    std::size_t i = slot_of(s);
    while (name_table[i].key != nullptr && name_table[i].key != s) i = (i + 1) & (name_slots - 1);
    name_table[i] = name_slot{s, value};
    return true;
}

// The canonical entry for an interned name, or nullptr.
PW_INLINE const name_slot* known_name(PyObject* s) noexcept {
    std::size_t i = slot_of(s);
    while (name_table[i].key != nullptr) {
        if (name_table[i].key == s) return &name_table[i];
        i = (i + 1) & (name_slots - 1);
    }
    return nullptr;
}

// The key an exact str names, or recipe_key_count.
PW_COLD unsigned key_by_content(PyObject* key) noexcept {
    if (!PyUnicode_IS_ASCII(key)) return recipe_key_count;
    const char* data = static_cast<const char*>(PyUnicode_DATA(key));
    const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    for (unsigned k = 0; k < recipe_key_count; ++k)
        if (std::strlen(key_texts[k]) == len && std::memcmp(key_texts[k], data, len) == 0) return k;
    return recipe_key_count;
}

// A lower-cased copy of an ASCII name, when it is short enough to be known.
bool lower_ascii(PyObject* s, char* out, std::size_t& len) noexcept {
    len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (len > longest_encoding_name) return false;
    const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = data[i];
        out[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c + 32 : c);
    }
    return true;
}

}  // namespace

// The keys of one item, found by one pass over its entries.
struct item_scan {
    PyObject* values[recipe_key_count];
    bool keys_plain;  // every key a plain str, so the pass found exactly what lookups would
};

void scan_item(PyObject* dict, item_scan& out) noexcept;

// True when converting the item's values runs no Python code (plain int,
// float, str, bool or None), so the dict cannot change while it is read.
bool scan_is_inert(const item_scan& scan) noexcept;


// The common case in one pass over the item's entries: every key present
// with a plain value (ASCII names, encoding and byte order words spelled as
// the canonical lower-case names, non-negative ints that fit, a bool), so
// nothing can fail and no Python code runs. Returns false otherwise; the
// caller then reads the item key by key, which finds the first fault in the
// documented order.



// Reads keys from one dict, from a scan or by lookups.
class item_reader {
public:
    item_reader(PyObject* dict, const item_scan* scan) noexcept : dict_(dict), scan_(scan) {}
    item_reader(const item_reader&) = delete;
    item_reader& operator=(const item_reader&) = delete;
    ~item_reader();

    // The value, or nullptr when absent (pending_error() when a lookup raised).
    result<PyObject*> get(recipe_key key);

    status text(recipe_key key, PyObject*& out);
    status size(recipe_key key, std::size_t& out);
    status flag(recipe_key key, bool& out);
    status optional_size(recipe_key key, bool& present, std::size_t& out);

    // name, encoding, bits, byte_order, reverse_bits, then offset_bits: the
    // order both engines read an item in, so the first fault is reported.
    // The encoding and byte order are left to be matched by the caller.
    status read_keys(item_view& f);

private:
    PyObject* dict_;
    const item_scan* scan_;
    PyObject* owned_[recipe_key_count] = {};
};

error missing_field(recipe_key key);
result<const encoding_name*> find_encoding(PyObject* name);
result<byte_order> find_byte_order(PyObject* name);

bool init_recipe_names() {
    for (unsigned k = 0; k < recipe_key_count; ++k) {
        key_objects[k] = PyUnicode_InternFromString(key_texts[k]);
        if (!key_objects[k]) return false;
    }
    int index = 0;
    for (const auto& e : encoding_names) {
        const std::string text(e.name);
        if (!add_name(text.c_str(), index++)) return false;
    }
    return add_name("big", -1 - static_cast<int>(byte_order::big)) &&
           add_name("little", -1 - static_cast<int>(byte_order::little));
}

// ---- the recipe argument ----

item_list::~item_list() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
}

bool item_list::assign(PyObject* recipe) {
    ref seq(PySequence_Fast(recipe, "'recipe' object cannot be cast as 'Sequence'"));
    if (!seq) return false;
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    if (n > inline_capacity) {
        heap_.reset(new PyObject*[n]);
        items_ = heap_.get();
    }
    PyObject** src = PySequence_Fast_ITEMS(seq.get());
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(src[i]);
        items_[i] = src[i];
    }
    size_ = n;
    return true;
}

bool to_recipe(PyObject* recipe, item_list& out) {
    if (PW_UNLIKELY(PyUnicode_Check(recipe))) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PW_UNLIKELY(!PySequence_Check(recipe))) {
        raise_cast_error(recipe, "Sequence");
        return false;
    }
    return out.assign(recipe);
}

// ---- one item ----

// Which recipe key an entry's key is: recipe_key_count for a key of no
// interest, not_plain for a key that is not a plain str (it may compare equal
// to one of ours, so only a lookup can tell). Recipes are usually written in
// one order, so the key after the previous one is tried first.
constexpr unsigned not_plain = recipe_key_count + 1;

PW_INLINE unsigned classify_key(PyObject* key, unsigned expected) noexcept {
    // expected is at most recipe_key_count: the spare null slots make both reads safe.
    if (key == key_objects[expected]) return expected;
    // The optional offset_bits is often left out.
    if (key == key_objects[expected + 1]) return expected + 1;
    for (unsigned k = 0; k < recipe_key_count; ++k)
        if (key == key_objects[k]) return k;
    if (!PyUnicode_CheckExact(key)) return not_plain;
    return key_by_content(key);
}

void scan_item(PyObject* dict, item_scan& out) noexcept {
    for (auto& v : out.values) v = nullptr;
    out.keys_plain = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    unsigned expected = 0;
    // Counting the entries saves the call that would report the end.
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && compat::dict_next(dict, &pos, &key, &value); --left) {
        const unsigned k = classify_key(key, expected);
        if (k == not_plain) {
            out.keys_plain = false;
            return;
        }
        if (k == recipe_key_count) continue;
        out.values[k] = value;
        expected = k + 1;
    }
}

bool scan_is_inert(const item_scan& scan) noexcept {
    if (!scan.keys_plain) return false;
    for (PyObject* v : scan.values)
        if (v != nullptr && !is_inert(v)) return false;
    return true;
}

item_reader::~item_reader() {
    for (auto* p : owned_) Py_XDECREF(p);
}

result<PyObject*> item_reader::get(recipe_key key) {
    if (PW_LIKELY(scan_ != nullptr)) return scan_->values[key];
    // Look the key up now, holding what we find: converting another key may
    // run code that changes the dict.
    PyObject* v = PyDict_GetItemWithError(dict_, key_objects[key]);
    if (!v) {
        if (PyErr_Occurred()) return pending_error();
        return static_cast<PyObject*>(nullptr);
    }
    Py_INCREF(v);
    Py_XDECREF(owned_[key]);
    owned_[key] = v;
    return v;
}

PW_COLD error missing_field(recipe_key key) {
    return make_error(error_kind::key_error,
                      std::string("Recipe missing required field: '") + key_texts[key] + "'");
}

PW_COLD std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) {
        PyErr_Clear();
        return std::string();
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

PW_COLD error missing_value(PyObject* name) {
    return make_error(error_kind::key_error, "Recipe item '" + utf8_of(name) + "' missing required field: 'value'");
}

status item_reader::text(recipe_key key, PyObject*& out) {
    auto v = get(key);
    if (PW_UNLIKELY(!v)) return v.take_error();
    if (PW_UNLIKELY(*v == nullptr)) return missing_field(key);
    text_view t;
    if (PW_UNLIKELY(!to_checked_text(*v, t))) return pending_error();
    out = *v;  // the reader holds it (or, from an inert scan, no code runs)
    return success();
}

status item_reader::size(recipe_key key, std::size_t& out) {
    auto v = get(key);
    if (PW_UNLIKELY(!v)) return v.take_error();
    if (PW_UNLIKELY(*v == nullptr)) return missing_field(key);
    if (PW_UNLIKELY(!to_size(*v, out))) return pending_error();
    return success();
}

status item_reader::flag(recipe_key key, bool& out) {
    auto v = get(key);
    if (PW_UNLIKELY(!v)) return v.take_error();
    if (PW_UNLIKELY(*v == nullptr)) return missing_field(key);
    if (PW_UNLIKELY(!to_bool(*v, out))) return pending_error();
    return success();
}

status item_reader::optional_size(recipe_key key, bool& present, std::size_t& out) {
    auto v = get(key);
    if (PW_UNLIKELY(!v)) return v.take_error();
    present = *v != nullptr;
    if (present && PW_UNLIKELY(!to_size(*v, out))) return pending_error();
    return success();
}

PW_INLINE static bool plain_size(PyObject* o, std::size_t& out) noexcept {
    if (!PyLong_CheckExact(o)) return false;
    long long small;
    if (PW_LIKELY(compat::small_int_value(o, small))) {
        out = static_cast<std::size_t>(small);
        return small >= 0;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || v < 0) return false;  // (v == -1 never holds an error here)
    out = static_cast<std::size_t>(v);
    return true;
}

PW_INLINE static bool plain_ascii(PyObject* o) noexcept { return PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o); }

bool read_plain_item(PyObject* dict, item_view& f) noexcept {
    constexpr unsigned required = (1u << key_name) | (1u << key_encoding) | (1u << key_bits) |
                                  (1u << key_byte_order) | (1u << key_reverse_bits);
    unsigned found = 0;
    unsigned expected = 0;
    f.value = nullptr;
    f.desc.has_offset = false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && compat::dict_next(dict, &pos, &key, &value); --left) {
        const unsigned k = classify_key(key, expected);
        if (k == not_plain) return false;
        if (k == recipe_key_count) continue;
        expected = k + 1;
        found |= 1u << k;
        switch (k) {
            case key_name:
                if (!plain_ascii(value)) return false;
                f.name = value;
                break;
            case key_encoding: {
                // Only our own interned names are found, so the value is a plain str.
                const name_slot* e = known_name(value);
                if (!e || e->value < 0) return false;
                f.encoding_text = value;
                f.encoding = &encoding_names[e->value];
                f.desc.encoding = f.encoding->encoding;
                break;
            }
            case key_bits:
                if (!plain_size(value, f.desc.bits)) return false;
                break;
            case key_byte_order: {
                const name_slot* o = known_name(value);
                if (!o || o->value >= 0) return false;
                f.order_text = value;
                f.desc.order = static_cast<byte_order>(-1 - o->value);
                break;
            }
            case key_reverse_bits:
                if (value != Py_True && value != Py_False) return false;
                f.desc.reverse = value == Py_True;
                break;
            case key_offset_bits:
                if (!plain_size(value, f.desc.offset)) return false;
                f.desc.has_offset = true;
                break;
            default:
                f.value = value;
                break;
        }
    }
    f.order_known = true;
    return (found & required) == required;
}

PW_COLD status item_reader::read_keys(item_view& f) {
    f.encoding = nullptr;
    f.order_known = false;
    f.value = nullptr;
    if (status s = text(key_name, f.name); !s) return s;
    if (status s = text(key_encoding, f.encoding_text); !s) return s;
    if (status s = size(key_bits, f.desc.bits); !s) return s;
    if (status s = text(key_byte_order, f.order_text); !s) return s;
    if (status s = flag(key_reverse_bits, f.desc.reverse); !s) return s;
    return optional_size(key_offset_bits, f.desc.has_offset, f.desc.offset);
}

// ---- names ----

result<const encoding_name*> find_encoding(PyObject* name) {
    if (const name_slot* s = known_name(name); s != nullptr && s->value >= 0) return &encoding_names[s->value];
    char buf[longest_encoding_name];
    std::size_t len = 0;
    if (PyUnicode_IS_ASCII(name)) {
        if (!lower_ascii(name, buf, len)) return static_cast<const encoding_name*>(nullptr);
        return packweaver::find_encoding(std::string_view(buf, len));
    }
    // Full Unicode lower-casing, as str.lower() does it (never a subclass's
    // own lower()): some characters outside ASCII lower-case into it.
    ref lowered(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", name));
    if (!lowered) return pending_error();
    if (!PyUnicode_IS_ASCII(lowered.get())) return static_cast<const encoding_name*>(nullptr);
    if (!lower_ascii(lowered.get(), buf, len)) return static_cast<const encoding_name*>(nullptr);
    return packweaver::find_encoding(std::string_view(buf, len));
}

PW_COLD error unsupported_encoding(PyObject* name) {
    return value_error("Unsupported encoding type: " + utf8_of(name));
}

PW_COLD error invalid_byte_order(PyObject* name) {
    return value_error("Invalid byte_order '" + utf8_of(name) + "': must be 'big' or 'little'");
}

PW_COLD static result<byte_order> find_byte_order_slow(PyObject* name) {
    PyObject* lowered = name;
    ref owner;
    if (!PyUnicode_IS_ASCII(name)) {
        owner = ref(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", name));
        if (!owner) return pending_error();
        lowered = owner.get();
        if (!PyUnicode_IS_ASCII(lowered)) return invalid_byte_order(name);
    }
    char buf[longest_encoding_name];
    std::size_t len = 0;
    if (lower_ascii(lowered, buf, len)) {
        const std::string_view word(buf, len);
        if (word == "big") return byte_order::big;
        if (word == "little") return byte_order::little;
    }
    return invalid_byte_order(name);
}

result<byte_order> find_byte_order(PyObject* name) {
    if (const name_slot* s = known_name(name); PW_LIKELY(s != nullptr && s->value < 0))
        return static_cast<byte_order>(-1 - s->value);
    return find_byte_order_slow(name);
}

// ---- one item ----

PW_COLD static status read_extent_slow(item_reader& reader, item_view& f) {
    if (status s = reader.size(key_bits, f.desc.bits); !s) return s;
    return reader.optional_size(key_offset_bits, f.desc.has_offset, f.desc.offset);
}

PW_COLD static status read_item_slow(PyObject* item, item_part part, item_view& f) {
    // The scan's values are borrowed: decide from them before reading
    // anything, as a conversion may run code that drops them.
    item_scan scan;
    scan_item(item, scan);
    const bool inert = scan_is_inert(scan);
    f.ran_code = !inert;
    item_reader reader(item, inert ? &scan : nullptr);
    if (part == item_part::extent) return read_extent_slow(reader, f);
    if (status s = reader.read_keys(f); !s) return s;
    if (part != item_part::keys) {
        auto value = reader.get(key_value);
        if (!value) return value.take_error();
        f.value = *value;
    }
    // The reader's references go with it.
    f.hold();
    return success();
}

status read_item(PyObject* item, item_part part, item_view& f) {
    if (PW_UNLIKELY(!PyDict_Check(item))) {
        raise_cast_error(item, "dict");
        return pending_error();
    }
    f.let_go();
    f.ran_code = false;
    if (PW_LIKELY(read_plain_item(item, f))) return success();
    f.encoding = nullptr;
    f.order_known = false;
    return read_item_slow(item, part, f);
}

status resolve_encoding_slow(item_view& f) {
    auto found = find_encoding(f.encoding_text);
    if (PW_UNLIKELY(!found)) return found.take_error();
    f.encoding = *found;
    if (f.encoding != nullptr) f.desc.encoding = f.encoding->encoding;
    return success();
}

status resolve_order_slow(item_view& f) {
    auto order = find_byte_order(f.order_text);
    if (PW_UNLIKELY(!order)) {
        // An unknown word stays unresolved; only a failure to match it fails.
        if (order.err().kind == error_kind::pending) return order.take_error();
        return success();
    }
    f.desc.order = *order;
    f.order_known = true;
    return success();
}

}  // namespace packweaver::py
