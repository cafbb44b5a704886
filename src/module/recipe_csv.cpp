// Recipe.from_csv: a packet definition table, as ccsdspy writes them, read
// into a recipe, so that a definition moves over unchanged.
//
// The table has a header row naming its columns: name, data_type and
// bit_length, optionally bit_offset and byte_order (other columns, such as
// calibration, are ignored). data_type is uint, int, float, str or fill. As
// ccsdspy reads them: without bit_offset the fields follow one another from
// the end of the 48-bit primary header; with it, bit_offset counts from the
// packet's first bit. fill rows hold their bits and are not read.
//
// Python's csv module splits the rows; the rest is ours.
#include <string>
#include <vector>

#include "../common/format.hpp"
#include "errors.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// The primary header's fields, named as ccsdspy names them.
struct header_field {
    const char* name;
    unsigned bits;
};
constexpr header_field primary_header[] = {
    {"CCSDS_VERSION_NUMBER", 3}, {"CCSDS_PACKET_TYPE", 1},     {"CCSDS_SECONDARY_FLAG", 1}, {"CCSDS_APID", 11},
    {"CCSDS_SEQUENCE_FLAG", 2},  {"CCSDS_SEQUENCE_COUNT", 14}, {"CCSDS_PACKET_LENGTH", 16},
};
constexpr std::size_t primary_header_bits = 48;

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

PW_COLD PyObject* table_error(std::size_t row, const std::string& name, const std::string& text) {
    std::string where = "definition row " + std::to_string(row);
    if (!name.empty()) where += " ('" + name + "')";
    PyErr_SetString(PyExc_ValueError, (where + ": " + text).c_str());
    return nullptr;
}

// The rows of the table, each a list of stripped cells.
bool read_rows(PyObject* source, std::vector<std::vector<std::string>>& rows) {
    ref csv(PyImport_ImportModule("csv"));
    if (!csv) return false;
    ref file;
    ref text;
    if (PyUnicode_Check(source) || PyBytes_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        ref io(PyImport_ImportModule("io"));
        if (!io) return false;
        ref open(PyObject_GetAttrString(io.get(), "open"));
        ref args(Py_BuildValue("(Os)", source, "r"));
        ref kwargs(Py_BuildValue("{s:s,s:s}", "encoding", "utf-8", "newline", ""));
        if (!open || !args || !kwargs) return false;
        ref opened(PyObject_Call(open.get(), args.get(), kwargs.get()));
        if (!opened) return false;
        text = ref(PyObject_CallMethod(opened.get(), "read", nullptr));
        ref closed(PyObject_CallMethod(opened.get(), "close", nullptr));
        if (!text || !closed) return false;
    } else {
        text = ref(PyObject_CallMethod(source, "read", nullptr));
        if (!text) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                raise_cast_error(source, "path or text file");
                prefix_argument_error("source");
            }
            return false;
        }
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "argument 'source': read() gave '%.200s', not str",
                         Py_TYPE(text.get())->tp_name);
            return false;
        }
    }
    ref lines(PyObject_CallMethod(text.get(), "splitlines", nullptr));
    if (!lines) return false;
    // A quoted cell may follow a comma and a space ("int(12, 24)" in ccsdspy's tables).
    ref make_reader(PyObject_GetAttrString(csv.get(), "reader"));
    ref args(PyTuple_Pack(1, lines.get()));
    ref kwargs(Py_BuildValue("{s:O}", "skipinitialspace", Py_True));
    if (!make_reader || !args || !kwargs) return false;
    ref reader(PyObject_Call(make_reader.get(), args.get(), kwargs.get()));
    if (!reader) return false;
    for (;;) {
        ref row(PyIter_Next(reader.get()));
        if (!row) {
            if (PyErr_Occurred()) return false;
            break;
        }
        std::vector<std::string> cells;
        const Py_ssize_t n = PyList_Check(row.get()) ? PyList_GET_SIZE(row.get()) : 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* cell = PyList_GET_ITEM(row.get(), i);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(cell) ? PyUnicode_AsUTF8AndSize(cell, &size) : nullptr;
            if (!utf8) return false;
            cells.push_back(trimmed(std::string(utf8, static_cast<std::size_t>(size))));
        }
        bool blank = true;
        for (const auto& c : cells) blank = blank && c.empty();
        if (!blank) rows.push_back(std::move(cells));
    }
    return true;
}

bool parse_size(const std::string& text, std::size_t& out) {
    if (text.empty() || text.size() > 18) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
}

// An array's count as the item's key takes it: an int, "rest" or a name.
struct count_cell {
    enum class kind : std::uint8_t { none, fixed, name } type = kind::none;
    std::size_t count = 0;
    std::string name;
};

// One item dict from its parts (offset_bits left out when `follows`).
PyObject* new_item(const std::string& name, const char* encoding, std::size_t bits, std::size_t offset,
                   const std::string& order, bool with_order, bool follows = false, const count_cell& count = {}) {
    ref item(PyDict_New());
    ref n(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    ref e(PyUnicode_FromString(encoding));
    ref b(PyLong_FromSize_t(bits));
    ref o(PyLong_FromSize_t(offset));
    if (!item || !n || !e || !b || !o) return nullptr;
    if (PyDict_SetItemString(item.get(), "name", n.get()) < 0 ||
        PyDict_SetItemString(item.get(), "encoding", e.get()) < 0 ||
        PyDict_SetItemString(item.get(), "bits", b.get()) < 0 ||
        (!follows && PyDict_SetItemString(item.get(), "offset_bits", o.get()) < 0))
        return nullptr;
    if (count.type != count_cell::kind::none) {
        ref c(count.type == count_cell::kind::fixed
                  ? PyLong_FromSize_t(count.count)
                  : PyUnicode_FromStringAndSize(count.name.data(), static_cast<Py_ssize_t>(count.name.size())));
        if (!c || PyDict_SetItemString(item.get(), "count", c.get()) < 0) return nullptr;
    }
    if (with_order) {
        ref w(PyUnicode_FromStringAndSize(order.data(), static_cast<Py_ssize_t>(order.size())));
        if (!w || PyDict_SetItemString(item.get(), "byte_order", w.get()) < 0) return nullptr;
    }
    return item.release();
}

}  // namespace

PyObject* recipe_from_csv(PyObject* type, const call& c) {
    PyObject* source = c.arg(0);
    bool header = true;
    if (c.arg(1) != nullptr && !to_bool(c.arg(1), header)) {
        prefix_argument_error("primary_header");
        return nullptr;
    }
    std::vector<std::vector<std::string>> rows;
    if (!read_rows(source, rows)) return nullptr;
    if (rows.empty()) {
        PyErr_SetString(PyExc_ValueError, "the definition has no header row");
        return nullptr;
    }
    // Columns by name, as the header row gives them.
    constexpr std::size_t absent = SIZE_MAX;
    std::size_t col_name = absent, col_type = absent, col_bits = absent, col_offset = absent, col_order = absent;
    for (std::size_t i = 0; i < rows[0].size(); ++i) {
        const std::string& h = rows[0][i];
        if (h == "name") col_name = i;
        else if (h == "data_type") col_type = i;
        else if (h == "bit_length") col_bits = i;
        else if (h == "bit_offset") col_offset = i;
        else if (h == "byte_order") col_order = i;
    }
    if (col_name == absent || col_type == absent || col_bits == absent) {
        PyErr_SetString(PyExc_ValueError,
                        "the definition's header row names no 'name', 'data_type' or 'bit_length' column");
        return nullptr;
    }
    std::vector<ref> items;
    std::size_t cursor = header ? primary_header_bits : 0;
    bool after_varying = false;  // fields follow an array whose length varies
    if (header) {
        std::size_t at = 0;
        for (const auto& h : primary_header) {
            items.emplace_back(new_item(h.name, "unsigned", h.bits, at, "big", false));
            if (!items.back()) return nullptr;
            at += h.bits;
        }
    }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const auto& row = rows[r];
        auto cell = [&](std::size_t col) -> std::string { return col < row.size() ? row[col] : std::string(); };
        const std::string name = cell(col_name), kind = cell(col_type);
        std::size_t bits = 0;
        if (name.empty()) return table_error(r, name, "the name is empty");
        if (!parse_size(cell(col_bits), bits))
            return table_error(r, name, "bit_length '" + cell(col_bits) + "' is not a whole number");
        std::size_t offset = cursor;
        const bool placed = col_offset != absent && !cell(col_offset).empty();
        if (placed && !parse_size(cell(col_offset), offset))
            return table_error(r, name, "bit_offset '" + cell(col_offset) + "' is not a whole number");
        // "uint(4)": 4 elements; "uint(expand)": as many as fit before the
        // fields that follow; "uint(OPMODE)": as many as that field holds.
        std::string base = kind;
        count_cell count;
        std::size_t elements = 1;
        if (const std::size_t open = kind.find('('); open != std::string::npos) {
            const std::size_t close = kind.rfind(')');
            if (close == std::string::npos || close < open || !trimmed(kind.substr(close + 1)).empty())
                return table_error(r, name, "data_type '" + kind + "' is not a type with an array shape");
            base = trimmed(kind.substr(0, open));
            const std::string shape = trimmed(kind.substr(open + 1, close - open - 1));
            if (shape.find(',') != std::string::npos)
                return table_error(r, name, "array shapes of more than one dimension ('" + kind +
                                                "') are not supported yet");
            if (parse_size(shape, count.count)) {
                count.type = count_cell::kind::fixed;
                elements = count.count;
            } else {
                count.type = count_cell::kind::name;
                count.name = shape == "expand" ? std::string("rest") : shape;
                if (count.name.empty()) return table_error(r, name, "data_type '" + kind + "' has an empty shape");
            }
        }
        const bool follows = after_varying && !placed;
        if (elements != 0 && bits > (SIZE_MAX - offset) / elements)
            return table_error(r, name, "the field's bits do not fit in a packet");
        cursor = offset + bits * elements;
        const char* encoding = nullptr;
        if (base == "uint") encoding = "unsigned";
        else if (base == "int") encoding = "twos_complement";
        else if (base == "float") encoding = bits == 16 ? "ieee754_f16" : bits == 64 ? "ieee754_f64" : "ieee754_f32";
        else if (base == "str") encoding = "iso-8859-1";
        else if (base == "fill" && count.type == count_cell::kind::none) {
            // Its bits are held, not read; after an array whose length
            // varies there is no place to hold them from.
            if (follows) return table_error(r, name, "fill after an array whose length varies is not supported yet");
            continue;
        } else {
            return table_error(r, name, "unknown data_type '" + kind + "' (uint, int, float, str, fill)");
        }
        if (count.type == count_cell::kind::name) after_varying = true;
        const std::string order = col_order != absent ? cell(col_order) : std::string();
        items.emplace_back(new_item(name, encoding, bits, offset, order, !order.empty(), follows, count));
        if (!items.back()) return nullptr;
    }
    // The list is made whole before anything can see it.
    ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return PyObject_CallFunctionObjArgs(type, list.get(), nullptr);
}

}  // namespace packweaver::py
