// The StreamingFuzzyMatcher class: a Python object that owns one core streaming matcher.
#pragma once

#include "python/pyref.hpp"

namespace brindle::py {

// The class object, created once on first need.
PyObject* streaming_matcher_type();

}  // namespace brindle::py
