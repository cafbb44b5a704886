// Reading the items of an exact recipe. An exact recipe checks every item
// when it is made, so that nothing it was told is dropped later: an unknown
// key, encoding or byte order, a width its encoding cannot fill, a byte
// order that would lose the bits of a partial byte, are refused here with
// the item named. byte_order ("big") and reverse_bits (False) may be left
// out.
//
// Every value is looked up and held before anything is converted: a
// conversion may run code that changes the dict.
#include <array>
#include <string>

#include "../common/format.hpp"
#include "errors.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// The keys an exact item may have, in the order they are read.
enum exact_key : unsigned {
    ek_name, ek_encoding, ek_bits, ek_byte_order, ek_reverse_bits, ek_offset_bits, ek_value, ek_elements, ek_count
};
constexpr std::array<const char*, ek_count> exact_key_texts = {
    "name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value", "count",
};
// Keys that only an exact recipe understands.
constexpr std::array<const char*, 1> exact_only_keys = {"count"};

PyObject* big_text = nullptr;  // "big", the default byte order

std::string item_label(std::size_t index, PyObject* name) {
    compat::stashed_exception keep;
    std::string s = "Recipe item " + std::to_string(index);
    if (name != nullptr) s += " ('" + utf8_of(name) + "')";
    return s;
}



// The fixed width of an encoding's fields, or 0 when any width of a range will do.
std::size_t fixed_width(field_encoding e) noexcept {
    switch (e) {
        case field_encoding::ieee754_f16: return 16;
        case field_encoding::ieee754_f32: return 32;
        case field_encoding::ieee754_f64: return 64;
        default: return 0;
    }
}

// What is wrong with a field of this description, or an empty string.
std::string width_fault(const packet::field_desc& d, PyObject* encoding_text) {
    const std::size_t bits = d.bits;
    const std::string name = "'" + utf8_of(encoding_text) + "'";
    if (bits == 0) return "a field is at least 1 bit wide, not 0";
    if (const std::size_t w = fixed_width(d.encoding); w != 0 && bits != w)
        return name + " fields are " + fmt::dec(std::uint64_t{w}) + " bits wide, not " + fmt::dec(std::uint64_t{bits});
    switch (d.encoding) {
        case field_encoding::unsigned_int:
        case field_encoding::twos_complement:
        case field_encoding::ones_complement:
        case field_encoding::sign_magnitude:
            if (bits > 64) return name + " fields are at most 64 bits wide, not " + fmt::dec(std::uint64_t{bits});
            break;
        case field_encoding::bcd:
        case field_encoding::bcd_signed:
            if (bits % 8 != 0 || bits > 64)
                return name + " fields are whole digits of 8 bits, at most 64 bits, not " +
                       fmt::dec(std::uint64_t{bits});
            break;
        case field_encoding::packed_bcd:
        case field_encoding::packed_bcd_signed:
            if (bits % 4 != 0 || bits > 64)
                return name + " fields are whole digits of 4 bits, at most 64 bits, not " +
                       fmt::dec(std::uint64_t{bits});
            break;
        default: break;
    }
    if (is_text(d.encoding)) {
        const text_encoding t = text_encoding_of(d.encoding);
        const std::size_t unit = t == text_encoding::utf16 || t == text_encoding::utf16le || t == text_encoding::utf16be
                                     ? 16
                                 : t == text_encoding::utf32 || t == text_encoding::utf32le || t == text_encoding::utf32be
                                     ? 32
                                     : 8;
        if (bits % unit != 0)
            return name + " fields are whole code units of " + fmt::dec(std::uint64_t{unit}) + " bits, not " +
                   fmt::dec(std::uint64_t{bits}) + " bits";
        if (d.reverse) return "reverse_bits applies to numeric fields, not to " + name + " text";
    }
    if (d.order == byte_order::little && bits % 8 != 0)
        return "little byte order needs whole bytes: " + fmt::dec(std::uint64_t{bits}) +
               " bits would lose the bits of a partial byte";
    return {};
}

// A byte order of digits, as "2143": packet byte i holds the value's byte
// numbered by digit i (1 most significant). Returns false when the text is
// not all digits (a word, matched as usual). "12...n" is big order, "n...1"
// little; any other permutation of the field's bytes is kept in desc.
bool digit_order(PyObject* text, packet::field_desc& d, bool& known, std::string& fault) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const auto* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (n == 0) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (chars[i] < '0' || chars[i] > '9') return false;
    const std::string word(chars, n);
    if (is_text(d.encoding)) {
        fault = "the byte order '" + word + "' applies to numeric fields, not text";
        return true;
    }
    if (n > 8 || d.bits != 8 * n) {
        fault = "the byte order '" + word + "' orders " + std::to_string(n) + (n == 1 ? " byte" : " bytes") +
                ", the field has " + fmt::dec(std::uint64_t{d.bits}) + " bits";
        return true;
    }
    unsigned seen = 0;
    std::uint32_t to_value = 0;  // nibble i: the value byte that packet byte i holds
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned digit = static_cast<unsigned>(chars[i] - '1');
        if (digit >= n || (seen >> digit & 1)) {
            fault = "the byte order '" + word + "' is not an order of the digits 1 to " + std::to_string(n);
            return true;
        }
        seen |= 1u << digit;
        to_value |= digit << (4 * i);
    }
    bool ascending = true, descending = true;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned digit = to_value >> (4 * i) & 0xF;
        ascending = ascending && digit == i;
        descending = descending && digit == n - 1 - i;
    }
    known = true;
    d.order = descending && !ascending ? byte_order::little : byte_order::big;
    if (ascending || descending) return true;
    // Inverted: for value byte j, the packet byte that holds it.
    std::uint32_t from = 0;
    for (std::size_t i = 0; i < n; ++i) from |= static_cast<std::uint32_t>(i) << (4 * (to_value >> (4 * i) & 0xF));
    d.permutation = from;
    return true;
}

}  // namespace

PW_COLD error item_fault(std::size_t index, PyObject* name, const std::string& text) {
    return value_error(item_label(index, name) + ": " + text);
}

bool init_exact_items() {
    big_text = PyUnicode_InternFromString("big");
    return big_text != nullptr;
}

status refuse_exact_only_keys(PyObject* item, std::size_t index) {
    if (!PyDict_Check(item)) return success();  // reported where the item is read
    for (const char* key : exact_only_keys) {
        ref k(PyUnicode_InternFromString(key));
        if (!k) return pending_error();
        const int found = PyDict_Contains(item, k.get());
        if (found < 0) return pending_error();
        if (found > 0)
            return item_fault(index, nullptr, std::string("the key '") + key + "' needs an exact recipe (bit_exact=True)");
    }
    return success();
}

status read_exact_item(PyObject* item, std::size_t index, item_view& f, ref& count) {
    if (PW_UNLIKELY(!PyDict_Check(item))) {
        raise_cast_error(item, "dict");
        return pending_error();
    }
    std::array<ref, ek_count> v;
    for (unsigned k = 0; k < ek_count; ++k) {
        ref key(PyUnicode_InternFromString(exact_key_texts[k]));
        if (!key) return pending_error();
        PyObject* found = PyDict_GetItemWithError(item, key.get());
        if (found == nullptr && PyErr_Occurred()) return pending_error();
        Py_XINCREF(found);
        v[k] = ref(found);
    }
    PyObject* name = v[ek_name].get();
    if (name == nullptr) return make_error(error_kind::key_error, item_label(index, nullptr) + " has no 'name'");
    text_view text;
    if (!to_checked_text(name, text)) return pending_error();

    // Unknown keys, named. Only str contents are compared while the dict is
    // walked: no Python code runs.
    {
        std::string unknown;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(item, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                unknown = "a key that is not a str";
                break;
            }
            bool known = false;
            for (const char* k : exact_key_texts) known = known || PyUnicode_CompareWithASCIIString(key, k) == 0;
            if (!known) {
                unknown = "the key '" + utf8_of(key) + "' is unknown";
                break;
            }
        }
        if (!unknown.empty())
            return item_fault(index, name,
                              unknown + " (an item has name, encoding, bits and optionally byte_order, reverse_bits, "
                                        "offset_bits, value, count)");
    }

    f.name = name;
    for (auto [k, what] : {std::pair{ek_encoding, "encoding"}, std::pair{ek_bits, "bits"}})
        if (!v[k]) return make_error(error_kind::key_error, item_label(index, name) + " has no '" + what + "'");
    f.encoding_text = v[ek_encoding].get();
    if (!to_checked_text(f.encoding_text, text)) return pending_error();
    if (!to_size(v[ek_bits].get(), f.desc.bits)) return pending_error();
    f.order_text = v[ek_byte_order] ? v[ek_byte_order].get() : big_text;
    if (!to_checked_text(f.order_text, text)) return pending_error();
    f.desc.reverse = false;
    if (v[ek_reverse_bits] && !to_bool(v[ek_reverse_bits].get(), f.desc.reverse)) return pending_error();
    f.desc.has_offset = static_cast<bool>(v[ek_offset_bits]);
    if (f.desc.has_offset && !to_size(v[ek_offset_bits].get(), f.desc.offset)) return pending_error();
    f.value = v[ek_value].get();

    f.encoding = nullptr;
    f.order_known = false;
    f.desc.permutation = 0;
    if (status s = resolve_encoding_slow(f); !s) return pending_error();
    std::string order_fault;
    if (!digit_order(f.order_text, f.desc, f.order_known, order_fault)) {
        if (status s = resolve_order_slow(f); !s) return pending_error();
    }
    if (!order_fault.empty()) return item_fault(index, name, order_fault);
    if (f.encoding == nullptr) return item_fault(index, name, unsupported_encoding(f.encoding_text).message);
    if (!f.encoding->packer) {
        if (f.encoding->encoding == field_encoding::iso_8859_1)
            return item_fault(index, name, "'latin1' is read but not packed: name it 'iso-8859-1'");
        return item_fault(index, name,
                          "encoding '" + utf8_of(f.encoding_text) + "' can be neither packed nor read by a Recipe");
    }
    if (!f.order_known) return item_fault(index, name, invalid_byte_order(f.order_text).message);
    if (std::string fault = width_fault(f.desc, f.encoding_text); !fault.empty())
        return item_fault(index, name, fault);
    if (PyObject* c = v[ek_elements].get()) {
        if (is_text(f.desc.encoding))
            return item_fault(index, name, "count applies to numeric fields, not to '" + utf8_of(f.encoding_text) + "' text");
        if (PyUnicode_Check(c)) {
            if (!to_checked_text(c, text)) return pending_error();
        } else if (PyLong_Check(c) && !PyBool_Check(c)) {
            std::size_t n = 0;
            if (!to_size(c, n)) return pending_error();
            if (n == 0) return item_fault(index, name, "count is at least 1, not 0");
        } else {
            return item_fault(index, name,
                              std::string("count is an int, the name of an earlier field or \"rest\", not ") +
                                  Py_TYPE(c)->tp_name);
        }
        count = std::move(v[ek_elements]);
    }
    f.hold();  // the item's objects outlive the references above
    return success();
}

}  // namespace packweaver::py
