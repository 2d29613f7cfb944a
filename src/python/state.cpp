// The process-wide state of the binding layer, the imported objects it keeps, and the
// main-interpreter check.
#include "python/state.hpp"

namespace brindle::py {

ProcessState& process_state() {
    static ProcessState state;
    return state;
}

PyObject* imported_attribute(PyObject*& slot, const char* module, const char* name) {
    if (slot != nullptr) return slot;
    PyRef mod = PyRef::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    PyObject* found = PyObject_GetAttrString(mod.get(), name);
    if (found == nullptr) return nullptr;
    if (slot == nullptr) {
        slot = found;  // the import may have let another thread get here first
    } else {
        Py_DECREF(found);
    }
    return slot;
}

bool check_main_interpreter(const char* module_name) {
#ifndef PYPY_VERSION  // PyPy has a single interpreter
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError,
                     "%s can only be imported in the main interpreter; subinterpreters are not "
                     "supported",
                     module_name);
        return false;
    }
#else
    (void)module_name;
#endif
    return true;
}

}  // namespace brindle::py
