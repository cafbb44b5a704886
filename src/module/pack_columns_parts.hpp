// What the two halves of pack_columns share: a field's column as taken with
// the lock held, and the packing of recipes with arrays, packet by packet
// (recipe_pack_array_columns.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../packet/column_packing.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {

constexpr std::size_t no_length = SIZE_MAX;  // a single value, repeated


// One field's column, as taken with the lock held.
struct column_input {
    packet::column_values values;
    Py_buffer view{};
    bool has_view = false;
    std::vector<std::uint64_t> patterns;
    bool text = false;
    std::vector<std::uint8_t> text_bytes;  // every value's encoded bytes, one after another
    std::vector<std::size_t> text_ends;    // where value k's bytes end
    std::size_t length = no_length;
    // An array field's column: where packet k's elements end in `values`
    // (fixed or varying count alike); one entry when repeated.
    std::vector<std::uint64_t> ends;

    column_input() = default;
    column_input(const column_input&) = delete;
    column_input& operator=(const column_input&) = delete;
    ~column_input() {
        if (has_view) PyBuffer_Release(&view);
    }
};

// Raises exc with "column '{name}': {text}"; returns false.
bool column_error(PyObject* exc, const field_objects& o, const std::string& text);

// The element type of a buffer's format, or false.
bool element_of(const Py_buffer& v, packet::element_type& out);

// A numeric buffer column's view held in `in`, its element type checked for
// the field (native numbers; floats only for float fields).
bool take_values_buffer(const packet::plan_field& p, const field_objects& o, PyObject* object, column_input& in);

// The n + 1 offsets of a (values, offsets) pair: a buffer of 32- or 64-bit
// integers of one dimension, at least one of them (`what`: "UTF-8 text", for
// its messages).
bool take_offsets_buffer(PyObject* object, const field_objects& o, const char* what, std::vector<std::int64_t>& out);

// One value converted for a numeric field, onto the patterns.
bool add_number(const packet::plan_field& p, PyObject* value, column_input& in);

// An array field's column from the caller's object: a (values, offsets)
// pair, a buffer of rows (fixed counts), or a sequence of sequences; with
// `single`, the item's own value, one array for every packet.
// `k_failed`, `j_failed`: the packet and element that failed, for the note.
bool take_array_column(const packet::plan_field& p, const field_objects& o, PyObject* column, bool single,
                       column_input& in, std::size_t& k_failed, std::size_t& j_failed);

struct packing_fault {
    std::size_t packet = SIZE_MAX;
    std::size_t field = 0;
    std::size_t element = SIZE_MAX;
    u128 byte = 0;  // where the packet starts, for a recipe with arrays
    error e{error_kind::value_error, {}};
};

// Packets [0, count) of a recipe with arrays, back to back from out, which
// holds `capacity` bytes (or, with out null, only checked); `bytes`: the
// bytes of them all. A fault keeps the first packet, then field. Runs no
// interpreter code.
void write_array_packets(const compiled_recipe& r, const std::vector<column_input>& in, std::size_t count,
                         std::uint8_t* out, std::size_t capacity, u128& bytes, packing_fault& fault);

}  // namespace packweaver::py
