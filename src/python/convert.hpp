// Converters between Python objects and core values. `from_py` overloads return false with a
// Python exception set when the object is not acceptable; the binder adds the parameter name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/pyref.hpp"

namespace brindle::streaming {
struct MatchRange;
}

namespace brindle::py {

// A str argument as UTF-8, borrowed from the object for the duration of the call.
struct Text {
    std::string_view view;
};

// The optional 0..4294967295 line hint; None means absent.
struct LineHint {
    std::optional<std::uint32_t> value;
};

// A bool that accepts only True, False and numpy's booleans.
struct StrictBool {
    bool value = false;
};

// A sequence of str (but not a str itself). Holds its own references to the items, so the views
// stay valid even if the sequence is changed while the call runs.
struct TextList {
    std::vector<PyRef> objects;
    std::vector<std::string_view> views;
};

bool from_py(PyObject* o, Text& out);
bool from_py(PyObject* o, std::int32_t& out);
bool from_py(PyObject* o, LineHint& out);
bool from_py(PyObject* o, StrictBool& out);
bool from_py(PyObject* o, TextList& out);
// A MatchRange instance (defined with the result classes).
bool from_py(PyObject* o, streaming::MatchRange& out);

// Sets TypeError "'{type}' object cannot be converted to '{target}'" and returns false.
bool cast_error(PyObject* o, const char* target);

// The name under which messages show the type of `o`.
std::string type_display_name(PyObject* o);

PyObject* to_py(std::string_view s);
PyObject* to_py(std::uint64_t v);
PyObject* to_py(std::int32_t v);
PyObject* to_py(double v);
// A MatchRange instance (defined with the result classes).
PyObject* to_py(const streaming::MatchRange& range);

// A new list holding each value converted by `to_py`.
template <class T>
PyObject* list_to_py(const std::vector<T>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* item = to_py(values[k]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace brindle::py
