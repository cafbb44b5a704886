// The Recipe type's object and its compiled form, shared by the units that
// make up the type: the type and its slots (recipe_type.cpp), compiling
// (recipe_compile.cpp), reading and the iterator (recipe_read.cpp), packing
// (recipe_pack.cpp) and columns (recipe_columns.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "../common/error.hpp"
#include "../packet/framing.hpp"
#include "../packet/plan.hpp"
#include "binding.hpp"
#include "field_steps.hpp"
#include "python.hpp"
#include "recipe.hpp"

namespace packweaver::py {

// What a compiled field keeps of its item besides its plan.
struct field_objects {
    ref name;           // an exact, interned str: the key of the results
    ref encoding_text;  // as the item gave it, for messages
    ref order_text;
    ref value;  // the item's value, or empty

    field_labels labels() const noexcept { return {name.get(), encoding_text.get(), order_text.get()}; }
};

struct compiled_recipe {
    std::vector<packet::plan_field> fields;  // cuts worked out for base offset 0
    std::vector<field_objects> objects;
    u128 end_bits = 0;  // where the packer's sizing pass ends the packet
    u128 size = 0;      // bytes; may exceed what a bytes object can hold
    bool exact = false;
    bool has_arrays = false;  // some field has a count: read and packed by the array road
    bool varies = false;      // some array's count varies: `size` is the least a packet has
    bool cleared = false;  // the collector cleared the object: no method may run
    ref snapshot;          // list of dicts: what was read, for == and pickling
    ref names;             // tuple of the names, in item order
};

struct recipe_object {
    PyObject_HEAD
    compiled_recipe* recipe;
};

PW_INLINE compiled_recipe& recipe_of(PyObject* self) noexcept {
    return *reinterpret_cast<recipe_object*>(self)->recipe;
}

// ValueError for a Recipe the collector cleared; returns nullptr.
PyObject* raise_cleared();

// Item i of an exact recipe read into f, its objects held, every check of
// the exact mode made (recipe_items.cpp).
status read_exact_item(PyObject* item, std::size_t index, item_view& f, ref& count);

// "Recipe item {index} ('{name}'): {text}"
error item_fault(std::size_t index, PyObject* name, const std::string& text);

// Refuses, for a recipe that is not exact, the keys only exact ones understand.
status refuse_exact_only_keys(PyObject* item, std::size_t index);

// Interns the default byte order; called once at start-up.
bool init_exact_items();

// Reads every item once into a compiled recipe; on failure, *failed is the
// item that failed.
result<std::unique_ptr<compiled_recipe>> compile(const item_list& items, bool exact, std::size_t* failed);

// A failure of a method, reported as the packet functions report theirs.
PyObject* fail(const error& e);

// ---- arguments of the methods ----

// The buffer of a bytes-like argument, released at scope exit.
class buffer_arg {
public:
    buffer_arg() = default;
    buffer_arg(const buffer_arg&) = delete;
    buffer_arg& operator=(const buffer_arg&) = delete;
    ~buffer_arg() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* o, const char* name, bool writable);
    std::span<std::uint8_t> bytes() const noexcept {
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    void release_to(Py_buffer& out) noexcept {
        out = view_;
        held_ = false;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An optional size argument: absent (or None, where allowed) keeps `out`.
bool optional_size(PyObject* o, const char* name, bool none_allowed, std::size_t& out);

// Where the packets of a stream are: one every `stride` bytes, or at the
// offsets and lengths of an index.
struct stream_shape {
    std::size_t stride = 0;
    std::size_t count = 0;
    std::size_t offset = 0;                       // bits: the recipe's bit 0 in each packet
    const packet::packet_index* index = nullptr;  // owned by index_object
    PyObject* index_object = nullptr;             // borrowed from the call's arguments
    std::uint64_t first_byte = 0;                 // without an index: where the data given starts in the buffer

    std::span<const std::uint8_t> packet(const std::uint8_t* data, std::size_t k) const noexcept {
        if (index) return {data + index->offsets[k], static_cast<std::size_t>(index->lengths[k])};
        return {data + k * stride, stride};
    }
    // Where packet k starts in the caller's buffer (for messages).
    std::uint64_t start(std::size_t k) const noexcept {
        return index ? index->offsets[k] : first_byte + static_cast<std::uint64_t>(k) * stride;
    }
};

// An index whose packets all have one length and lie back to back reads as a
// strided stream from its first packet: the same packets, without the
// gathering an index needs. Returns false (nothing changed) otherwise.
PW_INLINE bool as_strided(stream_shape& shape, std::span<const std::uint8_t>& data) noexcept {
    if (shape.index == nullptr || shape.count == 0) return false;
    const packet::packet_index& x = *shape.index;
    const std::uint64_t length = x.lengths[0], first = x.offsets[0];
    if (length == 0) return false;
    for (std::size_t k = 1; k < shape.count; ++k)
        if (x.lengths[k] != length || x.offsets[k] != first + k * length) return false;
    data = data.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(length) * shape.count);
    shape.stride = static_cast<std::size_t>(length);
    shape.first_byte = first;
    shape.index = nullptr;
    return true;
}

// The (buffer, stride=None, offset_bits=0) arguments of the stream methods,
// `stride` also an Index of the buffer; false with the exception set.
bool stream_arguments(const compiled_recipe& r, const call& c, buffer_arg& stream, stream_shape& shape);

// The shape of a buffer read through an index: every packet inside it.
bool indexed_shape(PyObject* index_object, std::size_t length, stream_shape& shape);

// text="str" (false: lists of str; absent is "str") or "utf8" (true).
bool text_argument(PyObject* o, bool& utf8);

// errors="raise" (false) or "mask" (true); absent is "raise".
bool errors_argument(PyObject* o, bool& mask);

// Adds where a stream method's failure happened to the exception being
// raised, as a note: the packet's number and byte offset, the field.
// With `element`, the element of an array field.
void note_place(const compiled_recipe& r, const stream_shape& shape, std::size_t packet, std::size_t field,
                std::size_t element = SIZE_MAX);

// The same for a method of one packet: the field.
void note_field(const compiled_recipe& r, std::size_t field, std::size_t element = SIZE_MAX);

// ---- the methods ----

PyObject* recipe_pack(PyObject* self, const call& c);
PyObject* recipe_pack_into(PyObject* self, const call& c);
PyObject* recipe_unpack(PyObject* self, const call& c);
PyObject* recipe_iter_unpack(PyObject* self, const call& c);
PyObject* recipe_unpack_columns(PyObject* self, const call& c);
PyObject* recipe_pack_columns(PyObject* self, const call& c);
PyObject* recipe_pack_columns_into(PyObject* self, const call& c);
PyObject* recipe_from_csv(PyObject* type, const call& c);

// One packet into a new dict (base: the bit offset of the recipe's bit 0);
// on failure, *failed is the field that failed (and *element its element,
// for an array field; else left alone).
result<PyObject*> unpack_fields(const compiled_recipe& c, std::span<const std::uint8_t> packet, std::size_t base,
                                std::size_t* failed);

// The same for a recipe with arrays (recipe_arrays.cpp).
result<PyObject*> unpack_with_arrays(const compiled_recipe& c, std::span<const std::uint8_t> packet,
                                     std::size_t base, std::size_t* failed, std::size_t* element);

PW_INLINE result<PyObject*> unpack_one(const compiled_recipe& c, std::span<const std::uint8_t> packet,
                                       std::size_t base, std::size_t* failed = nullptr,
                                       std::size_t* element = nullptr) {
    if (PW_UNLIKELY(c.has_arrays)) return unpack_with_arrays(c, packet, base, failed, element);
    return unpack_fields(c, packet, base, failed);
}

// The columns of every packet of a stream (the unpack_columns method, and
// Framing.read): a dict of columns, or with mask a tuple (columns, valid,
// faults).
PyObject* read_columns(const compiled_recipe& r, std::span<const std::uint8_t> data, const stream_shape& shape,
                       bool mask, bool utf8_text = false);

// The same for a recipe with arrays (recipe_array_columns.cpp): a fixed
// count's column is a memoryview of rows, a varying one's a (values,
// offsets) pair.
PyObject* read_array_columns(const compiled_recipe& r, std::span<const std::uint8_t> data, const stream_shape& shape,
                             bool mask, bool utf8_text);

// A new array.array of `count` values of typecode `code` copied from data
// (zeros where data is null).
PyObject* new_array(char code, std::size_t count, const void* data);

// The array.array typecode of a column type ('B' ... 'd').
char typecode_of(packet::column_type t) noexcept;

// A memoryview of `rows` x `columns` over a new array.array of that many
// values (rows_type.cpp); the type behind it is readied by add_rows_type.
PyObject* rows_view(PyObject* array, std::size_t rows, std::size_t columns);
bool add_rows_type();

// The iterator type of iter_unpack; readied by add_iterator_type.
bool add_iterator_type();

// The array.array type the numeric columns are made of, looked up once.
bool init_columns();

}  // namespace packweaver::py
