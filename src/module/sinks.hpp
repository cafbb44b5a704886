// Sinks that let the text codecs write straight into Python objects.
#pragma once

#include <vector>

#include <cstdint>
#include <memory>
#include <new>

#include "../common/platform.hpp"
#include "../common/text.hpp"
#include "compat.hpp"
#include "python.hpp"

namespace packweaver::py {

// Decoded text goes into a new str of exactly the shape the decoder found.
//
// A text of one Latin-1 character (U+0000 to U+00FF) is the exception: the
// interpreter keeps one shared str for each of those and its own decoders
// return it, never a new object (from 3.12 on the shared ones also carry their
// UTF-8 form, so a fresh copy would not even be the same size). From 3.11 on,
// where those are static objects, such a text is written to a byte held here;
// before, to a new str as usual. Either way release() returns the shared str.
// The empty text needs nothing: PyUnicode_New gives the shared empty str.
class str_sink final : public text_sink {
public:
    str_sink() = default;
    str_sink(const str_sink&) = delete;
    str_sink& operator=(const str_sink&) = delete;
    ~str_sink() { Py_XDECREF(str_); }

    void* allocate(const text_shape& shape) override {
        if (PW_UNLIKELY(shape.length == 1 && shape.max_char < 0x100)) {
            latin1_char_ = true;
            if constexpr (compat::static_latin1_strs) return &char_;
        }
        if (shape.length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return nullptr;
        }
        str_ = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), static_cast<Py_UCS4>(shape.max_char));
        return str_ ? PyUnicode_DATA(str_) : nullptr;
    }

    // The str; never nullptr once allocate() has succeeded.
    PyObject* release() noexcept {
        PyObject* s = str_;
        str_ = nullptr;
        if (PW_UNLIKELY(latin1_char_)) {
            latin1_char_ = false;
            if constexpr (compat::static_latin1_strs) {
                return PyUnicode_FromOrdinal(char_);  // cannot fail
            } else {
                // Older interpreters create a shared str on its first use, which
                // can fail; the str decoded into then stands in for it.
                PyObject* shared = PyUnicode_FromOrdinal(PyUnicode_READ_CHAR(s, 0));
                if (PW_UNLIKELY(shared == nullptr)) {
                    PyErr_Clear();
                    return s;
                }
                Py_DECREF(s);
                return shared;
            }
        }
        return s;
    }

private:
    PyObject* str_ = nullptr;
    bool latin1_char_ = false;
    std::uint8_t char_ = 0;
};

// Encoded bytes go into a new bytes object, trimmed to the encoded length.
class bytes_sink final : public byte_sink {
public:
    bytes_sink() = default;
    bytes_sink(const bytes_sink&) = delete;
    bytes_sink& operator=(const bytes_sink&) = delete;
    ~bytes_sink() { Py_XDECREF(bytes_); }

    std::uint8_t* reserve(std::size_t n) override {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return nullptr;
        }
        reserved_ = n;
        bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
        return bytes_ ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_)) : nullptr;
    }
    void commit(std::size_t n) override { used_ = n; }

    // The bytes object, or nullptr with an exception set.
    PyObject* release() {
        PyObject* b = bytes_;
        bytes_ = nullptr;
        if (used_ < reserved_ && compat::bytes_resize(&b, static_cast<Py_ssize_t>(used_)) < 0) return nullptr;
        return b;
    }

private:
    PyObject* bytes_ = nullptr;
    std::size_t reserved_ = 0;
    std::size_t used_ = 0;
};

// Encoded bytes into a caller's buffer, spilling to the heap when large.
class buffer_sink final : public byte_sink {
public:
    std::uint8_t* reserve(std::size_t n) override {
        if (n <= sizeof(inline_)) return data_ = inline_;
        heap_.reset(new (std::nothrow) std::uint8_t[n]);
        if (!heap_) PyErr_NoMemory();
        return data_ = heap_.get();
    }
    void commit(std::size_t n) override { size_ = n; }

    std::uint8_t* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    std::uint8_t inline_[256];
    std::unique_ptr<std::uint8_t[]> heap_;
    std::uint8_t* data_ = inline_;
    std::size_t size_ = 0;
};

// Code points decoded into the caller's memory, kept from use to use.
class code_point_sink final : public text_sink {
public:
    explicit code_point_sink(std::vector<std::uint8_t>& storage) noexcept : storage_(storage) {}
    void* allocate(const text_shape& shape) override {
        width_ = storage_width(shape.max_char);
        ascii_ = shape.max_char < 0x80;
        length_ = shape.length;
        storage_.resize(shape.length * width_ + 1);
        return storage_.data();
    }
    text_view view() const noexcept { return {storage_.data(), length_, width_, ascii_ && width_ == 1}; }

private:
    std::vector<std::uint8_t>& storage_;
    std::size_t length_ = 0;
    unsigned width_ = 1;
    bool ascii_ = false;
};

}  // namespace packweaver::py
