// PanicException and the conversion of C++ exceptions at the interpreter boundary.
#include "python/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "python/interface_text.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

PyObject* panic_type() {
    PyObject*& type = process_state().panic_exception;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(pinned::kPanicName, pinned::kPanicDoc, PyExc_BaseException,
                                         nullptr);
    }
    return type;
}

[[noreturn]] void abort_at_boundary() {
    std::fputs(pinned::kUncaughtPanic, stderr);
    std::abort();
}

}  // namespace

void raise_panic(std::string_view message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation failure is the pending exception
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void handle_exception_at_boundary() noexcept {
    // A second fault while the first is being reported cannot be reported at all.
    try {
        try {
            throw;
        } catch (const Interrupted&) {
            // The signal handler's exception is already set; only the stack needed unwinding.
            if (PyErr_Occurred()) return;
            raise_panic("interrupted without a pending exception");
        } catch (const std::bad_alloc&) {
            // Running out of memory is not a fault of the module: the caller gets the same
            // MemoryError as when the interpreter's own allocation fails.
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("unknown native exception");
        }
    } catch (...) {
        abort_at_boundary();
    }
    if (!PyErr_Occurred()) abort_at_boundary();
}

}  // namespace brindle::py
