// Native helpers of the package's safe edits (edit.cpp): fast-call functions and their docstrings,
// listed in the module's function table.
#pragma once

#include "python/pyref.hpp"

namespace brindle::py {

PyObject* edit_strategy_names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_locate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_closest_window(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_closest_piece(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_closest_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_match_diff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* edit_unescape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const kStrategyNamesDoc;
extern const char* const kLocateDoc;
extern const char* const kClosestWindowDoc;
extern const char* const kClosestPieceDoc;
extern const char* const kClosestThresholdDoc;
extern const char* const kSimilarityDoc;
extern const char* const kMatchDiffDoc;
extern const char* const kUnescapeDoc;

}  // namespace brindle::py
