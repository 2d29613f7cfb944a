// brindle_search._native: the native helpers of the brindle_search package, built from the same
// core and binding layer as _brindle_search. In Python terms:
//
//   (functions are added here as the package needs them)
//
// Every function is a fast-call function; its arguments go through the shared binder and its
// body through the boundary guard.
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/pyref.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

PyMethodDef native_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "brindle_search._native",
    "Native helpers of the brindle_search package.",
    0,  // see PyInit__brindle_search: initialised again, and refused, in other interpreters
    native_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace brindle::py

PyMODINIT_FUNC PyInit__native() {
    if (!brindle::py::check_main_interpreter("brindle_search._native")) return nullptr;
    return brindle::py::guard([] { return PyModule_Create(&brindle::py::native_module); });
}
