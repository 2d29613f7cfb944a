// brindle_search._native: the native helpers of the brindle_search package, built from the same
// core and binding layer as _brindle_search. In Python terms:
//
//   strategy_names, locate, closest_window, similarity, match_diff, unescape   (edit.cpp)
//   def extract(query, choices, limit=None, score_cutoff=None) -> list[(str, int, int)]
//                                                                              (ranking.cpp)
//
// Every function is a fast-call function; its arguments go through the shared binder and its
// body through the boundary guard.
#include "native/edit.hpp"
#include "native/ranking.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/pyref.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef native_functions[] = {
    {"strategy_names", as_cfunction(&edit_strategy_names), kFastCall, kStrategyNamesDoc},
    {"locate", as_cfunction(&edit_locate), kFastCall, kLocateDoc},
    {"closest_window", as_cfunction(&edit_closest_window), kFastCall, kClosestWindowDoc},
    {"closest_piece", as_cfunction(&edit_closest_piece), kFastCall, kClosestPieceDoc},
    {"closest_threshold", as_cfunction(&edit_closest_threshold), kFastCall, kClosestThresholdDoc},
    {"similarity", as_cfunction(&edit_similarity), kFastCall, kSimilarityDoc},
    {"match_diff", as_cfunction(&edit_match_diff), kFastCall, kMatchDiffDoc},
    {"unescape", as_cfunction(&edit_unescape), kFastCall, kUnescapeDoc},
    {"extract", as_cfunction(&native_extract), kFastCall,
     "extract(query, choices, limit=None, score_cutoff=None)\n--\n\n"
     "The matches of query among choices as (choice, score, position), best first."},
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
