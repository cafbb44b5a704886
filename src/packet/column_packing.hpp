// Columns back into packets: the values of one numeric column encoded and
// placed into every packet of a stream, the inverse of fill_column. Runs no
// interpreter code; allocates only for a fault's message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plan.hpp"

namespace packweaver::packet {

// The element type of a column's memory. `patterns` holds field patterns
// encoded already (values converted one by one by the caller).
enum class element_type : std::uint8_t { i8, i16, i32, i64, u8, u16, u32, u64, f16, f32, f64, boolean, patterns };

constexpr bool is_float_element(element_type t) noexcept {
    return t == element_type::f16 || t == element_type::f32 || t == element_type::f64;
}

// A column's values: element k at data[k], or data[0] for every packet.
struct column_values {
    const void* data = nullptr;
    element_type type = element_type::patterns;
    bool repeat = false;
};

// Encodes values [first, last) of a column for field `p` (its desc, its
// position counted from each packet's bit 0 plus `base`, its exactness) and
// places value k in packet k, which starts at byte k * stride of out. With
// out null, only checks that every value encodes. Returns last, or the first
// value that does not encode (its error in *fault, as the packer words it).
// Float values for integer fields are refused by the caller.
std::size_t place_column(const plan_field& p, u128 base, const column_values& src, std::uint8_t* out,
                         std::size_t stride, std::size_t first, std::size_t last, error* fault);

}  // namespace packweaver::packet
