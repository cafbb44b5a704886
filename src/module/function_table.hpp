// The function table: one row per module function, in registration order.
// It drives registration, __all__, the text signatures and argument binding.
#pragma once

#include "numeric_functions.hpp"
#include "packet_functions.hpp"
#include "text_functions.hpp"

namespace packweaver::py {

using lf = legacy_format;
using te = text_encoding;

using body_fn = PyObject* (*)(const call&);

struct function_def {
    const char* name;
    const char* params;  // the parenthesised list of the text signature
    body_fn body;
};

inline constexpr function_def functions[] = {
    {"unpack_parameters", "(packet_bytes, offset_bits, recipe)", unpack_parameters},
    {"pack_parameters", "(recipe)", pack_parameters},
    {"decode_ones_complement", "(value, bits)", integer_decoder<decode_ones_complement>},
    {"decode_twos_complement", "(value, bits)", integer_decoder<decode_twos_complement>},
    {"decode_sign_magnitude", "(value, bits)", integer_decoder<decode_sign_magnitude>},
    {"decode_unpacked_bcd", "(value, bits, signed=False)", bcd_decoder<decode_unpacked_bcd>},
    {"decode_packed_bcd", "(value, bits, signed=False)", bcd_decoder<decode_packed_bcd>},
    {"decode_ieee754_f16", "(value)", f16_decoder},
    {"decode_ieee754_f32", "(value)", f32_decoder},
    {"decode_ieee754_f64", "(value)", f64_decoder},
    {"decode_ieee754_f128", "(value)", f128_decoder},
    {"decode_ieee754_1985_f32", "(_value)", legacy_decoder<lf::ieee754_1985_f32>},
    {"decode_ieee754_1985_f64", "(_value)", legacy_decoder<lf::ieee754_1985_f64>},
    {"decode_ieee754_1985_f80", "(_value)", legacy_decoder<lf::ieee754_1985_f80>},
    {"decode_mil_std_1750a_f32", "(_value)", legacy_decoder<lf::mil_std_1750a_f32>},
    {"decode_mil_std_1750a_f48", "(_value)", legacy_decoder<lf::mil_std_1750a_f48>},
    {"decode_dec_f32", "(_value)", legacy_decoder<lf::dec_f32>},
    {"decode_dec_f64", "(_value)", legacy_decoder<lf::dec_f64>},
    {"decode_ibm_f32", "(_value)", legacy_decoder<lf::ibm_f32>},
    {"decode_ibm_f64", "(_value)", legacy_decoder<lf::ibm_f64>},
    {"decode_ti_f32", "(_value)", legacy_decoder<lf::ti_f32>},
    {"decode_ti_f40", "(_value)", legacy_decoder<lf::ti_f40>},
    {"decode_us_ascii", "(bytes)", text_decoder<te::us_ascii>},
    {"decode_iso_8859_1", "(bytes)", text_decoder<te::iso_8859_1>},
    {"decode_windows_1252", "(bytes)", text_decoder<te::windows_1252>},
    {"decode_utf8", "(bytes)", text_decoder<te::utf8>},
    {"decode_utf16", "(bytes)", text_decoder<te::utf16>},
    {"decode_utf16le", "(bytes)", text_decoder<te::utf16le>},
    {"decode_utf16be", "(bytes)", text_decoder<te::utf16be>},
    {"decode_utf32", "(bytes)", text_decoder<te::utf32>},
    {"decode_utf32le", "(bytes)", text_decoder<te::utf32le>},
    {"decode_utf32be", "(bytes)", text_decoder<te::utf32be>},
    {"encode_ones_complement", "(value, bits)", integer_encoder<encode_ones_complement>},
    {"encode_twos_complement", "(value, bits)", integer_encoder<encode_twos_complement>},
    {"encode_sign_magnitude", "(value, bits)", integer_encoder<encode_sign_magnitude>},
    {"encode_unpacked_bcd", "(value, bits, signed=False)", bcd_encoder<encode_unpacked_bcd>},
    {"encode_packed_bcd", "(value, bits, signed=False)", bcd_encoder<encode_packed_bcd>},
    {"encode_ieee754_f16", "(value)", f16_encoder},
    {"encode_ieee754_f32", "(value)", f32_encoder},
    {"encode_ieee754_f64", "(value)", f64_encoder},
    {"encode_ieee754_f128", "(_value)", f128_encoder},
    {"encode_ieee754_1985_f32", "(_value)", legacy_encoder<lf::ieee754_1985_f32, true>},
    {"encode_ieee754_1985_f64", "(_value)", legacy_encoder<lf::ieee754_1985_f64, false>},
    {"encode_ieee754_1985_f80", "(_value)", legacy_encoder<lf::ieee754_1985_f80, false>},
    {"encode_mil_std_1750a_f32", "(_value)", legacy_encoder<lf::mil_std_1750a_f32, true>},
    {"encode_mil_std_1750a_f48", "(_value)", legacy_encoder<lf::mil_std_1750a_f48, false>},
    {"encode_dec_f32", "(_value)", legacy_encoder<lf::dec_f32, true>},
    {"encode_dec_f64", "(_value)", legacy_encoder<lf::dec_f64, false>},
    {"encode_ibm_f32", "(_value)", legacy_encoder<lf::ibm_f32, true>},
    {"encode_ibm_f64", "(_value)", legacy_encoder<lf::ibm_f64, false>},
    {"encode_ti_f32", "(_value)", legacy_encoder<lf::ti_f32, true>},
    {"encode_ti_f40", "(_value)", legacy_encoder<lf::ti_f40, false>},
    {"encode_us_ascii", "(text)", text_encoder<te::us_ascii>},
    {"encode_iso_8859_1", "(text)", text_encoder<te::iso_8859_1>},
    {"encode_windows_1252", "(text)", text_encoder<te::windows_1252>},
    {"encode_utf8", "(text)", text_encoder<te::utf8>},
    {"encode_utf16", "(text)", text_encoder<te::utf16>},
    {"encode_utf16le", "(text)", text_encoder<te::utf16le>},
    {"encode_utf16be", "(text)", text_encoder<te::utf16be>},
    {"encode_utf32", "(text)", text_encoder<te::utf32>},
    {"encode_utf32le", "(text)", text_encoder<te::utf32le>},
    {"encode_utf32be", "(text)", text_encoder<te::utf32be>},
};

inline constexpr std::size_t function_count = sizeof(functions) / sizeof(functions[0]);

}  // namespace packweaver::py
