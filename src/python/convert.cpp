// Conversions of arguments and results. Texts are borrowed as UTF-8 from the str objects (no
// copy for ASCII on CPython); a str holding lone surrogates fails with the interpreter's own
// UnicodeEncodeError.
#include "python/convert.hpp"

#include <climits>
#include <cstring>

#include "python/interface_text.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

// The integer value of `o` as a signed 64-bit number, by the interpreter's own conversion (its
// own TypeError for non-integers, its own OverflowError beyond 64 bits).
bool to_int64(PyObject* o, long long& out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    out = PyLong_AsLongLong(index.get());
    return !(out == -1 && PyErr_Occurred());
}

PyObject* sequence_abc() {
    return imported_attribute(process_state().sequence_abc, "collections.abc", "Sequence");
}

#ifdef PYPY_VERSION
// A list of the items of the list or tuple `o`, each str-subclass instance replaced by an equal
// exact str. PyPy makes an item ready for C (when C first reads it) by asking its length through
// the type, so a str subclass with a failing __len__ raises there: out of PyIter_Next that is a
// fatal error, and out of item access an object half made ready that crashes the garbage collector
// later. Exact str objects are made ready without running Python code, and the copies are taken in
// Python, before C reads any item. CPython never runs Python code there and needs no copy.
PyObject* exact_texts(PyObject* o) {
    PyObject*& function = process_state().exact_texts;
    if (function == nullptr) {
        PyRef globals = PyRef::steal(PyDict_New());
        if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
            return nullptr;
        }
        function = PyRun_String(
            "lambda seq: [x if type(x) is str or not isinstance(x, str) else str.__add__(x, '')"
            " for x in seq]",
            Py_eval_input, globals.get(), globals.get());
        if (function == nullptr) return nullptr;
    }
    return PyObject_CallFunctionObjArgs(function, o, nullptr);
}
#endif

bool is_sequence(PyObject* o) {
    if (PySequence_Check(o)) return true;
    PyObject* abc = sequence_abc();
    if (abc == nullptr) {
        PyErr_WriteUnraisable(o);
        return false;
    }
    int r = PyObject_IsInstance(o, abc);
    if (r < 0) {
        PyErr_WriteUnraisable(o);
        return false;
    }
    return r == 1;
}

std::string attr_text(PyObject* o, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(o, name));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string type_display_name(PyObject* o) {
    std::string name = attr_text(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__");
    return name.empty() ? std::string(Py_TYPE(o)->tp_name) : name;
}

bool cast_error(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, pinned::kCastError, type_display_name(o).c_str(), target);
    return false;
}

bool from_py(PyObject* o, Text& out) {
    if (!PyUnicode_Check(o)) return cast_error(o, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return false;
    out.view = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool from_py(PyObject* o, std::int32_t& out) {
    long long v = 0;
    if (!to_int64(o, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, pinned::kOutOfRange);
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool from_py(PyObject* o, LineHint& out) {
    if (o == Py_None) {
        out.value.reset();
        return true;
    }
    long long v = 0;
    if (!to_int64(o, v)) return false;
    if (v < 0 || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, pinned::kOutOfRange);
        return false;
    }
    out.value = static_cast<std::uint32_t>(v);
    return true;
}

bool from_py(PyObject* o, StrictBool& out) {
    if (o == Py_True || o == Py_False) {
        out.value = o == Py_True;
        return true;
    }
    // numpy's booleans, recognised by name so that numpy need not be imported.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    const std::string name = attr_text(type, "__name__");
    if ((name == "bool_" || name == "bool") && attr_text(type, "__module__") == "numpy") {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out.value = truth == 1;
        return true;
    }
    return cast_error(o, "bool");
}

bool from_py(PyObject* o, TextList& out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, pinned::kCantExtractStr);
        return false;
    }
    if (!is_sequence(o)) return cast_error(o, "Sequence");
    // The length only sizes the lists in advance: a failing one is ignored, and a very large one
    // (which a sequence may report without holding that many items) reserves no more than a cap.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
    Py_ssize_t hint = PyObject_Size(o);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    if (hint > kMaxReserve) hint = kMaxReserve;
    out.objects.clear();
    out.views.clear();
    out.objects.reserve(static_cast<std::size_t>(hint));
    out.views.reserve(static_cast<std::size_t>(hint));
    auto add = [&](PyRef item) {
        Text text;
        if (!from_py(item.get(), text)) return false;
        out.views.push_back(text.view);
        out.objects.push_back(std::move(item));
        return true;
    };
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Exact lists and tuples are read by index, as their iterators do: the size is read again
        // at every step.
#ifdef PYPY_VERSION
        PyRef copy = PyRef::steal(exact_texts(o));
        if (!copy) return false;
        o = copy.get();
#endif
        for (Py_ssize_t k = 0; k < PySequence_Size(o); ++k) {
            PyRef item = PyRef::steal(PySequence_GetItem(o, k));
            if (!item || !add(std::move(item))) return false;
        }
        return !PyErr_Occurred();
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(o));
    if (!iter) return false;
    while (true) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) break;
        if (!add(std::move(item))) return false;
    }
    return !PyErr_Occurred();
}

PyObject* to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_py(std::uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}

PyObject* to_py(std::int32_t v) {
    return PyLong_FromLong(v);
}

PyObject* to_py(double v) {
    return PyFloat_FromDouble(v);
}

}  // namespace brindle::py
