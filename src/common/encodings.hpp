// The field encodings a recipe item may name, and their lower-case names.
#pragma once

#include <cstdint>
#include <string_view>

#include "text.hpp"

namespace packweaver {

enum class field_encoding : std::uint8_t {
    unsigned_int,
    twos_complement,
    ones_complement,
    sign_magnitude,
    bcd,
    bcd_signed,
    packed_bcd,
    packed_bcd_signed,
    ieee754_f16,
    ieee754_f32,
    ieee754_f64,
    ieee754_f128,
    // text encodings, in the order of text_encoding
    utf8,
    utf16,
    utf16le,
    utf16be,
    utf32,
    utf32le,
    utf32be,
    us_ascii,
    iso_8859_1,
    windows_1252,
    // legacy floating-point formats, in the order of legacy_format
    ieee754_1985_f32,
    ieee754_1985_f64,
    ieee754_1985_f80,
    mil_std_1750a_f32,
    mil_std_1750a_f48,
    ti_f32,
    ti_f40,
    dec_f32,
    dec_f64,
    ibm_f32,
    ibm_f64,
};

constexpr bool is_text(field_encoding e) noexcept {
    return e >= field_encoding::utf8 && e <= field_encoding::windows_1252;
}
constexpr text_encoding text_encoding_of(field_encoding e) noexcept {
    return static_cast<text_encoding>(static_cast<unsigned>(e) - static_cast<unsigned>(field_encoding::utf8));
}
constexpr bool is_legacy(field_encoding e) noexcept { return e >= field_encoding::ieee754_1985_f32; }
constexpr unsigned legacy_index(field_encoding e) noexcept {
    return static_cast<unsigned>(e) - static_cast<unsigned>(field_encoding::ieee754_1985_f32);
}

// The text rows follow text_encoding's order, so one offset converts them.
static_assert(text_encoding_of(field_encoding::utf8) == text_encoding::utf8);
static_assert(text_encoding_of(field_encoding::utf32be) == text_encoding::utf32be);
static_assert(text_encoding_of(field_encoding::windows_1252) == text_encoding::windows_1252);

struct encoding_name {
    std::string_view name;  // lower case
    field_encoding encoding;
    bool packer;  // the packer knows it (the reader knows every name)
};

// Every accepted name after lower-casing. The camel-case spellings
// ("twosComplement") lower-case to the run-together forms.
inline constexpr encoding_name encoding_names[] = {
    {"unsigned", field_encoding::unsigned_int, true},
    {"twos_complement", field_encoding::twos_complement, true},
    {"twoscomplement", field_encoding::twos_complement, true},
    {"ones_complement", field_encoding::ones_complement, true},
    {"onescomplement", field_encoding::ones_complement, true},
    {"sign_magnitude", field_encoding::sign_magnitude, true},
    {"signmagnitude", field_encoding::sign_magnitude, true},
    {"bcd", field_encoding::bcd, true},
    {"bcd_signed", field_encoding::bcd_signed, true},
    {"bcd-signed", field_encoding::bcd_signed, true},
    {"packed_bcd", field_encoding::packed_bcd, true},
    {"packed-bcd", field_encoding::packed_bcd, true},
    {"packed_bcd_signed", field_encoding::packed_bcd_signed, true},
    {"packed-bcd-signed", field_encoding::packed_bcd_signed, true},
    {"ieee754_f16", field_encoding::ieee754_f16, true},
    {"ieee754-f16", field_encoding::ieee754_f16, true},
    {"ieee754_f32", field_encoding::ieee754_f32, true},
    {"ieee754-f32", field_encoding::ieee754_f32, true},
    {"ieee754_f64", field_encoding::ieee754_f64, true},
    {"ieee754-f64", field_encoding::ieee754_f64, true},
    {"ieee754_f128", field_encoding::ieee754_f128, false},
    {"ieee754-f128", field_encoding::ieee754_f128, false},
    {"utf8", field_encoding::utf8, true},
    {"utf-8", field_encoding::utf8, true},
    {"utf16", field_encoding::utf16, true},
    {"utf-16", field_encoding::utf16, true},
    {"utf16le", field_encoding::utf16le, true},
    {"utf-16le", field_encoding::utf16le, true},
    {"utf16be", field_encoding::utf16be, true},
    {"utf-16be", field_encoding::utf16be, true},
    {"utf32", field_encoding::utf32, true},
    {"utf-32", field_encoding::utf32, true},
    {"utf32le", field_encoding::utf32le, true},
    {"utf-32le", field_encoding::utf32le, true},
    {"utf32be", field_encoding::utf32be, true},
    {"utf-32be", field_encoding::utf32be, true},
    {"us_ascii", field_encoding::us_ascii, true},
    {"us-ascii", field_encoding::us_ascii, true},
    {"iso_8859_1", field_encoding::iso_8859_1, true},
    {"iso-8859-1", field_encoding::iso_8859_1, true},
    {"latin1", field_encoding::iso_8859_1, false},
    {"windows_1252", field_encoding::windows_1252, true},
    {"windows-1252", field_encoding::windows_1252, true},
    {"ieee754_1985_f32", field_encoding::ieee754_1985_f32, false},
    {"ieee754-1985-f32", field_encoding::ieee754_1985_f32, false},
    {"ieee754_1985_f64", field_encoding::ieee754_1985_f64, false},
    {"ieee754-1985-f64", field_encoding::ieee754_1985_f64, false},
    {"ieee754_1985_f80", field_encoding::ieee754_1985_f80, false},
    {"ieee754-1985-f80", field_encoding::ieee754_1985_f80, false},
    {"mil_std_1750a_f32", field_encoding::mil_std_1750a_f32, false},
    {"mil-std-1750a-f32", field_encoding::mil_std_1750a_f32, false},
    {"mil_std_1750a_f48", field_encoding::mil_std_1750a_f48, false},
    {"mil-std-1750a-f48", field_encoding::mil_std_1750a_f48, false},
    {"ti_f32", field_encoding::ti_f32, false},
    {"ti-f32", field_encoding::ti_f32, false},
    {"ti_f40", field_encoding::ti_f40, false},
    {"ti-f40", field_encoding::ti_f40, false},
    {"dec_f32", field_encoding::dec_f32, false},
    {"dec-f32", field_encoding::dec_f32, false},
    {"dec_f64", field_encoding::dec_f64, false},
    {"dec-f64", field_encoding::dec_f64, false},
    {"ibm_f32", field_encoding::ibm_f32, false},
    {"ibm-f32", field_encoding::ibm_f32, false},
    {"ibm_f64", field_encoding::ibm_f64, false},
    {"ibm-f64", field_encoding::ibm_f64, false},
};

inline constexpr std::size_t longest_encoding_name = 17;

// The entry for an already lower-cased name, or nullptr.
inline const encoding_name* find_encoding(std::string_view lowered) noexcept {
    if (lowered.size() > longest_encoding_name) return nullptr;
    for (const auto& e : encoding_names)
        if (e.name == lowered) return &e;
    return nullptr;
}

enum class byte_order : std::uint8_t { big, little };

}  // namespace packweaver
