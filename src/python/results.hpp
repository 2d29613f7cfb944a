// The four immutable result classes: MatchRange, ReplaceResult, FuzzyMatchInfo and
// TryReplaceResult. Each instance holds one core record; every attribute read converts anew.
#pragma once

#include "core/content_replacer/try_replace.hpp"
#include "core/content_replacer/types.hpp"
#include "core/streaming_matcher.hpp"
#include "python/pyref.hpp"

namespace brindle::py {

// The four class objects, each created on first need and then kept (python/state.hpp); nullptr
// with an exception set when the creation fails.
PyObject* match_range_type();
PyObject* replace_result_type();
PyObject* try_replace_result_type();
PyObject* fuzzy_match_info_type();

// The `__reduce__` of every class of the module: refuses pickling and copying with TypeError.
PyObject* refuse_pickling(PyObject* self, PyObject* unused);

PyObject* to_py(const replacer::ReplaceResult& result);
PyObject* to_py(const replacer::FuzzyMatchInfo& info);
PyObject* to_py(replacer::TryReplaceResult result);

}  // namespace brindle::py
