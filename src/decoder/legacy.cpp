#include "legacy.hpp"

namespace packweaver {

const char* legacy_format_name(legacy_format format) noexcept {
    switch (format) {
        case legacy_format::ieee754_1985_f32: return "IEEE 754-1985 f32";
        case legacy_format::ieee754_1985_f64: return "IEEE 754-1985 f64";
        case legacy_format::ieee754_1985_f80: return "IEEE 754-1985 f80";
        case legacy_format::mil_std_1750a_f32: return "MIL-STD-1750A f32";
        case legacy_format::mil_std_1750a_f48: return "MIL-STD-1750A f48";
        case legacy_format::ti_f32: return "TI f32";
        case legacy_format::ti_f40: return "TI f40";
        case legacy_format::dec_f32: return "DEC f32";
        case legacy_format::dec_f64: return "DEC f64";
        case legacy_format::ibm_f32: return "IBM f32";
        case legacy_format::ibm_f64: return "IBM f64";
    }
    return "unknown";
}

PW_COLD error legacy_decode_error(legacy_format format) {
    return make_error(error_kind::not_implemented_error,
                      std::string(legacy_format_name(format)) + " format not yet implemented");
}

PW_COLD error legacy_encode_error(legacy_format format) {
    return make_error(error_kind::not_implemented_error,
                      std::string(legacy_format_name(format)) + " encoding not yet implemented");
}

}  // namespace packweaver
