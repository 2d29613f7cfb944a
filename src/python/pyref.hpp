// PyRef: a move-only owning reference to a Python object, so that every early return releases
// what it holds. `steal` adopts a new reference, `borrow` takes an extra one; `release` hands the
// reference over to the caller (for returning to the interpreter).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brindle::py {

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* o) { return PyRef(o); }
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// A new reference to `o` (Py_NewRef is missing from older interpreters and PyPy 3.9).
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

inline PyObject* bool_to_py(bool b) {
    return new_ref(b ? Py_True : Py_False);
}

}  // namespace brindle::py
