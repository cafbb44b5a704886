#include "unpack_engine.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "sinks.hpp"
#include "../decoder/bcd.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"
#include "../decoder/legacy.hpp"
#include "../decoder/text.hpp"

namespace packweaver {
namespace {

using py::recipe_key;

PW_INLINE std::uint64_t load_be(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

PW_INLINE std::uint64_t load_le(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

PW_INLINE std::uint64_t load64_be(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

PW_INLINE std::uint64_t load64_le(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The field integer: the first eight field bytes as a big-endian number. The
// field bytes are the packet's bytes, reversed for little byte order. `room`
// is how many packet bytes lie from the field's start to the packet's end.
PW_INLINE std::uint64_t field_integer(const std::uint8_t* field, std::size_t count, std::size_t room,
                                      byte_order order) noexcept {
    if (count == 0) return 0;
    if (order == byte_order::big) {
        if (count >= 8) return load64_be(field);
        // One 8-byte load where the packet allows it; the shift keeps `count` bytes.
        if (room >= 8) return load64_be(field) >> (64 - 8 * count);
        return load_be(field, count);
    }
    // Reversed bytes read big-endian are the last eight bytes read little-endian.
    if (count >= 8) return load64_le(field + count - 8);
    if (room >= 8) return load64_le(field) & (~std::uint64_t{0} >> (64 - 8 * count));
    return load_le(field, count);
}

PW_COLD error packet_too_short(PyObject* name, u128 needed, std::size_t length) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(needed % 10)));
        needed /= 10;
    } while (needed != 0);
    return value_error("Packet too short for parameter '" + py::utf8_of(name) + "': needs " + digits +
                       " bytes, packet has " + fmt::dec(std::uint64_t{length}));
}

PW_COLD error f128_field_error(std::size_t bits) {
    if (bits > 64)
        return value_error(
            "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
    return value_error("IEEE 754 f128 requires a 128-bit field, got " + fmt::dec(std::uint64_t{bits}) + " bits");
}

template <class T>
PW_INLINE PyObject* integer_or_error(result<T>& r, std::unique_ptr<error>& failure) {
    if (PW_UNLIKELY(!r)) {
        failure = std::make_unique<error>(r.take_error());
        return nullptr;
    }
    return PyLong_FromLongLong(*r);
}

// The text of a field: its bytes, reversed for little byte order.
PyObject* decode_field_text(text_encoding enc, const std::uint8_t* field, std::size_t count, byte_order order,
                            std::unique_ptr<error>& failure) {
    std::span<const std::uint8_t> bytes(field, count);
    std::uint8_t small[256];
    std::unique_ptr<std::uint8_t[]> large;
    if (order == byte_order::little && count > 0) {
        std::uint8_t* copy = small;
        if (count > sizeof(small)) {
            large.reset(new std::uint8_t[count]);
            copy = large.get();
        }
        for (std::size_t i = 0; i < count; ++i) copy[i] = field[count - 1 - i];
        bytes = {copy, count};
    }
    py::str_sink sink;
    status s = decode_text(enc, bytes, sink);
    if (PW_UNLIKELY(!s)) {
        failure = std::make_unique<error>(s.take_error());
        return nullptr;
    }
    return sink.release();
}


}  // namespace

result<PyObject*> process_recipe(std::span<const std::uint8_t> packet, std::size_t base_offset,
                                 const py::item_list& items) {
#if PY_VERSION_HEX < 0x030E0000
    py::ref out(_PyDict_NewPresized(static_cast<Py_ssize_t>(items.size())));
#else
    py::ref out(PyDict_New());
#endif
    if (!out) return pending_error();
    const std::size_t length = packet.size();
    u128 cursor = base_offset;

    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        py::prefetch_items(items, i);
        if (PW_UNLIKELY(!PyDict_Check(item))) {
            py::raise_cast_error(item, "dict");
            return pending_error();
        }
        py::item_fields f;
        if (PW_UNLIKELY(!py::read_plain_item(item, f))) {
            py::item_scan scan;
            py::scan_item(item, scan);
            py::item_reader reader(item, py::scan_is_inert(scan) ? &scan : nullptr);
            if (status s = reader.read_keys(f); PW_UNLIKELY(!s)) return s.take_error();
        }
        // Held by f: lower-casing a name below may run the garbage collector.
        PyObject* const name = f.name.get();
        const std::size_t bits = f.bits;

        // Positions are exact: a field however far past the end is too short,
        // never wrapped round to the start of the packet.
        const u128 position =
            f.has_offset ? static_cast<u128>(base_offset) + f.offset : cursor;
        const u128 start = position / 8;
        const std::size_t count = bits / 8 + (bits % 8 != 0);
        const u128 needed = start + count;
        if (PW_UNLIKELY(needed > length)) return packet_too_short(name, needed, length);
        const std::uint8_t* field = packet.data() + static_cast<std::size_t>(start);

        if (PW_UNLIKELY(!f.order_known)) {
            auto order = py::find_byte_order(f.order_text.get());
            if (PW_UNLIKELY(!order)) return order.take_error();
            f.order = *order;
        }

        std::uint64_t value = field_integer(field, count, length - static_cast<std::size_t>(start), f.order);
        value = f.reverse ? reverse_low_bits(value, bits) : value & low_mask(bits);

        if (PW_UNLIKELY(f.encoding == nullptr)) {
            auto found = py::find_encoding(f.encoding_text.get());
            if (PW_UNLIKELY(!found)) return found.take_error();
            if (PW_UNLIKELY(*found == nullptr)) return py::unsupported_encoding(f.encoding_text.get());
            f.encoding = *found;
        }

        std::unique_ptr<error> failure;
        PyObject* decoded = nullptr;
        switch (const field_encoding enc = f.encoding->encoding) {
            case field_encoding::unsigned_int: decoded = PyLong_FromUnsignedLongLong(value); break;
            case field_encoding::twos_complement:
                decoded = PyLong_FromLongLong(decode_twos_complement(value, bits));
                break;
            case field_encoding::ones_complement:
                decoded = PyLong_FromLongLong(decode_ones_complement(value, bits));
                break;
            case field_encoding::sign_magnitude:
                decoded = PyLong_FromLongLong(decode_sign_magnitude(value, bits));
                break;
            case field_encoding::bcd:
            case field_encoding::bcd_signed: {
                auto r = decode_unpacked_bcd(value, bits, enc == field_encoding::bcd_signed);
                decoded = integer_or_error(r, failure);
                break;
            }
            case field_encoding::packed_bcd:
            case field_encoding::packed_bcd_signed: {
                auto r = decode_packed_bcd(value, bits, enc == field_encoding::packed_bcd_signed);
                decoded = integer_or_error(r, failure);
                break;
            }
            case field_encoding::ieee754_f16: decoded = PyFloat_FromDouble(decode_ieee754_f16(value)); break;
            case field_encoding::ieee754_f32: decoded = PyFloat_FromDouble(decode_ieee754_f32(value)); break;
            case field_encoding::ieee754_f64: decoded = PyFloat_FromDouble(decode_ieee754_f64(value)); break;
            case field_encoding::ieee754_f128: return f128_field_error(bits);
            default:
                if (is_legacy(enc)) return legacy_decode_error(static_cast<legacy_format>(legacy_index(enc)));
                decoded = decode_field_text(text_encoding_of(enc), field, count, f.order, failure);
                break;
        }
        if (PW_UNLIKELY(decoded == nullptr)) {
            if (failure) return std::move(*failure);
            return pending_error();
        }
        // The key is a plain str equal to the name, even for a str subclass.
        py::ref key;
        PyObject* key_object = name;
        if (PW_UNLIKELY(!PyUnicode_CheckExact(name))) {
            key = py::ref(PyUnicode_FromObject(name));
            if (!key) {
                Py_DECREF(decoded);
                return pending_error();
            }
            key_object = key.get();
        }
        const int stored = PyDict_SetItem(out.get(), key_object, decoded);
        Py_DECREF(decoded);
        if (PW_UNLIKELY(stored < 0)) return pending_error();
        cursor = position + bits;
    }
    return out.release();
}

}  // namespace packweaver
