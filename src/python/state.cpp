// The process-wide state of the binding layer and the main-interpreter check.
#include "python/state.hpp"

namespace brindle::py {

ProcessState& process_state() {
    static ProcessState state;
    return state;
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
