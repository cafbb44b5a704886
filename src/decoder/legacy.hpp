// Legacy floating-point formats whose conversions are reserved but not
// written yet: each decoder reports so.
#pragma once

#include "../common/encodings.hpp"
#include "../common/error.hpp"

namespace packweaver {

enum class legacy_format {
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

// legacy_format follows the legacy rows of field_encoding, so one offset
// converts them.
static_assert(legacy_index(field_encoding::ieee754_1985_f32) == static_cast<unsigned>(legacy_format::ieee754_1985_f32));
static_assert(legacy_index(field_encoding::mil_std_1750a_f48) == static_cast<unsigned>(legacy_format::mil_std_1750a_f48));
static_assert(legacy_index(field_encoding::ibm_f64) == static_cast<unsigned>(legacy_format::ibm_f64));

// The format's display name, as in "TI f40".
const char* legacy_format_name(legacy_format format) noexcept;

// "{name} format not yet implemented" (decoders) and
// "{name} encoding not yet implemented" (encoders).
error legacy_decode_error(legacy_format format);
error legacy_encode_error(legacy_format format);

}  // namespace packweaver
