// The function table: one row per module function, in registration order.
// It drives registration, __all__, the text signatures and argument binding.
#pragma once

#include "numeric_functions.hpp"

namespace packweaver::py {

using lf = legacy_format;

using body_fn = PyObject* (*)(const call&);

struct function_def {
    const char* name;
    const char* params;  // the parenthesised list of the text signature
    body_fn body;
};

inline constexpr function_def functions[] = {
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
};

inline constexpr std::size_t function_count = sizeof(functions) / sizeof(functions[0]);

}  // namespace packweaver::py
