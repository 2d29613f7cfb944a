// The ranking functions of brindle_search._native (bound in module.cpp's function table).
#pragma once

#include "python/pyref.hpp"

namespace brindle::py {

// extract(query, choices, limit=None, score_cutoff=None) -> list[(str, int, int)]
PyObject* native_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brindle::py
