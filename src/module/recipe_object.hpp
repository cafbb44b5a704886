// The Recipe type's object and its compiled form, shared by the units that
// make up the type: the type and its slots (recipe_type.cpp), compiling
// (recipe_compile.cpp), reading and the iterator (recipe_read.cpp), packing
// (recipe_pack.cpp) and columns (recipe_columns.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "../common/error.hpp"
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

// Reads every item once into a compiled recipe.
result<std::unique_ptr<compiled_recipe>> compile(const item_list& items, bool exact);

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

// The (buffer, stride=None, offset_bits=0) arguments of the stream methods:
// the packet count of a stream, or false with the exception set.
bool stream_arguments(const compiled_recipe& r, const call& c, buffer_arg& stream, std::size_t& stride,
                      std::size_t& count, std::size_t& offset);

// ---- the methods ----

PyObject* recipe_pack(PyObject* self, const call& c);
PyObject* recipe_pack_into(PyObject* self, const call& c);
PyObject* recipe_unpack(PyObject* self, const call& c);
PyObject* recipe_iter_unpack(PyObject* self, const call& c);
PyObject* recipe_unpack_columns(PyObject* self, const call& c);

// One packet into a new dict (base: the bit offset of the recipe's bit 0).
result<PyObject*> unpack_one(const compiled_recipe& c, std::span<const std::uint8_t> packet, std::size_t base);

// The iterator type of iter_unpack; readied by add_iterator_type.
bool add_iterator_type();

// The array.array type the numeric columns are made of, looked up once.
bool init_columns();

}  // namespace packweaver::py
