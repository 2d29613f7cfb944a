// The main-thread test of calls that release the interpreter lock (see release.hpp).
#include "native/release.hpp"

#include "python/state.hpp"

namespace brindle::py {

bool on_main_thread_now() {
    // Asked anew at every call, not cached: after a fork in another thread, the child's main
    // thread is the forking one.
    PyObject* main_thread =
        imported_attribute(process_state().threading_main_thread, "threading", "main_thread");
    if (main_thread == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyRef thread = PyRef::steal(PyObject_CallNoArgs(main_thread));
    PyRef ident = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "ident")) : PyRef();
    if (!ident) {
        PyErr_Clear();
        return false;
    }
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    // PyPy declares the identifier as a signed long.
    return static_cast<unsigned long>(PyThread_get_thread_ident()) == main_ident;
}

}  // namespace brindle::py
