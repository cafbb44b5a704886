#include "field_steps.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "../common/format.hpp"
#include "../decoder/text.hpp"
#include "../encoder/text.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "sinks.hpp"

namespace packweaver::py {

PW_COLD error packet_too_short(PyObject* name, u128 needed, std::size_t length) {
    return value_error("Packet too short for parameter '" + utf8_of(name) + "': needs " + fmt::dec(needed) +
                       " bytes, packet has " + fmt::dec(std::uint64_t{length}));
}

PW_COLD error fault_error(packet::field_fault fault, const field_labels& labels) {
    if (fault == packet::field_fault::byte_order) return invalid_byte_order(labels.order);
    return unsupported_encoding(labels.encoding);
}

PW_COLD error text_too_long(std::size_t bytes, std::size_t bits) {
    return value_error("Text of " + fmt::dec(std::uint64_t{bytes}) + (bytes == 1 ? " byte" : " bytes") +
                       " does not fit a field of " + fmt::dec(std::uint64_t{bits / 8}) +
                       (bits / 8 == 1 ? " byte" : " bytes"));
}

namespace detail {

result<std::uint64_t> encode_number_general(const packet::field_desc& desc, PyObject* value, bool keep_nan) {
    const bool narrow = desc.encoding == field_encoding::ieee754_f16 || desc.encoding == field_encoding::ieee754_f32;
    if (keep_nan && narrow) {
        double d;
        if (PW_UNLIKELY(!to_f64(value, d))) return pending_error();
        if (d != d)
            return desc.encoding == field_encoding::ieee754_f16 ? narrow_nan_f16(d) : narrow_nan_f32(d);
        packet::number v;
        v.f32 = narrow_to_f32(d);
        return packet::encode_number(desc.encoding, v, desc.bits);
    }
    packet::number v;
    if (status s = to_number(value, packet::value_kind_of(desc.encoding), v); PW_UNLIKELY(!s)) return s.take_error();
    return packet::encode_number(desc.encoding, v, desc.bits);
}

// Out of line: the encoding buffer is on the C stack only while the text is
// written, never while a conversion hook runs.
PW_NOINLINE status pack_text(std::span<std::uint8_t> packet, const packet::plan_field& p, u128 pos, PyObject* value,
                             const field_labels& labels) {
    text_view text;
    if (PW_UNLIKELY(!to_text(value, text))) return pending_error();
    buffer_sink sink;
    if (status s = encode_text(text_encoding_of(p.desc.encoding), text, sink); PW_UNLIKELY(!s)) {
        if (s.err().kind != error_kind::pending && raise_if_lone_surrogate(value)) return pending_error();
        return s;
    }
    if (PW_UNLIKELY(p.pack_fault != packet::field_fault::none)) return fault_error(p.pack_fault, labels);
    if (PW_UNLIKELY(p.exact && sink.size() > p.desc.bits / 8)) return text_too_long(sink.size(), p.desc.bits);
    packet::place_text(packet, pos, p.desc.bits, {sink.data(), sink.size()}, p.desc.order);
    return success();
}

namespace {

// Out of line: the scratch buffer is on the C stack only while the text is
// decoded.
PW_NOINLINE result<PyObject*> read_text(std::span<const std::uint8_t> packet, u128 pos, const packet::field_desc& d,
                                        bool exact) {
    const std::size_t count = d.bits / 8 + (d.bits % 8 != 0);
    std::uint8_t small[256];
    std::unique_ptr<std::uint8_t[]> large;
    std::uint8_t* scratch = small;
    if (packet::text_needs_scratch(d, exact) && count > sizeof(small)) {
        large.reset(new std::uint8_t[count]);
        scratch = large.get();
    }
    str_sink sink;
    const auto bytes = packet::read_text_bytes(packet, pos, d, exact, scratch);
    if (status s = decode_text(text_encoding_of(d.encoding), bytes, sink); PW_UNLIKELY(!s)) return s.take_error();
    return sink.release();
}

// Room for n more bytes after the `used` ones, grown by doubling.
PW_INLINE std::uint8_t* room(std::vector<std::uint8_t>& out, std::size_t used, std::size_t n) {
    if (PW_UNLIKELY(out.size() < used + n)) out.resize(std::max(2 * out.size(), used + n + 4096));
    return out.data() + used;
}

// Appends what encode_text writes after the `used` bytes.
class vector_sink final : public byte_sink {
public:
    vector_sink(std::vector<std::uint8_t>& out, std::size_t& used) noexcept : out_(out), used_(used) {}
    std::uint8_t* reserve(std::size_t n) override { return room(out_, used_, n); }
    void commit(std::size_t n) override { used_ += n; }

private:
    std::vector<std::uint8_t>& out_;
    std::size_t& used_;
};

PW_INLINE bool all_ascii(std::span<const std::uint8_t> b) noexcept {
    std::uint64_t any = 0;
    std::size_t k = 0;
    for (; k + 8 <= b.size(); k += 8) {  // a word at a time
        std::uint64_t w;
        std::memcpy(&w, b.data() + k, 8);
        any |= w;
    }
    for (; k < b.size(); ++k) any |= b[k];
    return (any & 0x8080808080808080u) == 0;
}

}  // namespace

result<PyObject*> read_value_general(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                     bool exact, bool cut_fits, const field_labels& labels) {
    // Positions are exact: a field however far past the end is too short,
    // never wrapped round to the start of the packet.
    const u128 needed = packet::bytes_needed(p.desc.bits, pos, exact);
    if (PW_UNLIKELY(needed > packet.size())) return packet_too_short(labels.name, needed, packet.size());
    if (PW_UNLIKELY(p.read_fault != packet::field_fault::none)) return fault_error(p.read_fault, labels);
    if (is_text(p.desc.encoding)) return read_text(packet, pos, p.desc, exact);
    const std::uint64_t pattern = packet::read_number(packet, p, pos, exact, cut_fits);
    auto number = packet::decode_number(p.desc.encoding, pattern, p.desc.bits);
    if (PW_UNLIKELY(!number)) return number.take_error();
    if ((*number).type == packet::decoded::kind::real && (*number).d != (*number).d && p.exact)
        (*number).d = packet::exact_nan(p.desc.encoding, pattern);
    PyObject* o = number_object(*number);
    if (PW_UNLIKELY(!o)) return pending_error();
    return o;
}

}  // namespace detail

bool append_one_byte_text(std::span<const std::uint8_t> bytes, text_encoding enc, std::vector<std::uint8_t>& out,
                          std::size_t& used) {
    // Text of one-byte encodings in ASCII is its own UTF-8 (the ISO-8859-1
    // kernels below copy ASCII as fast).
    const bool one_byte = enc == text_encoding::utf8 || enc == text_encoding::us_ascii ||
                          enc == text_encoding::windows_1252;
    if (one_byte && detail::all_ascii(bytes)) {
        std::memcpy(detail::room(out, used, bytes.size()), bytes.data(), bytes.size());
        used += bytes.size();
        return true;
    }
    if (enc == text_encoding::iso_8859_1) {
        // Every byte is its code point: the UTF-8 encoder's kernels for text
        // of one byte per code point (vector loops where the processor has
        // them) write it. They cannot fail on such text.
        detail::vector_sink sink(out, used);
        return static_cast<bool>(
            encode_text(text_encoding::utf8, text_view{bytes.data(), bytes.size(), 1, false}, sink));
    }
    return false;
}

status read_text_utf8(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos, bool exact,
                      const field_labels& labels, std::vector<std::uint8_t>& out, std::size_t& used,
                      std::vector<std::uint8_t>& scratch_points) {
    const u128 needed = packet::bytes_needed(p.desc.bits, pos, exact);
    if (PW_UNLIKELY(needed > packet.size())) return packet_too_short(labels.name, needed, packet.size());
    if (PW_UNLIKELY(p.read_fault != packet::field_fault::none)) return fault_error(p.read_fault, labels);
    const std::size_t count = p.desc.bits / 8 + (p.desc.bits % 8 != 0);
    std::uint8_t small[256];
    std::unique_ptr<std::uint8_t[]> large;
    std::uint8_t* scratch = small;
    if (packet::text_needs_scratch(p.desc, exact) && count > sizeof(small)) {
        large.reset(new std::uint8_t[count]);
        scratch = large.get();
    }
    const auto bytes = packet::read_text_bytes(packet, pos, p.desc, exact, scratch);
    const text_encoding enc = text_encoding_of(p.desc.encoding);
    if (append_one_byte_text(bytes, enc, out, used)) return success();
    code_point_sink points(scratch_points);
    if (status s = decode_text(enc, bytes, points); PW_UNLIKELY(!s)) return s;
    detail::vector_sink sink(out, used);
    return encode_text(text_encoding::utf8, points.view(), sink);
}

}  // namespace packweaver::py
