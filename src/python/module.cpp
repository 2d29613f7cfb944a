// The _brindle_search module: initialisation and the five module functions. In Python terms:
//
//   __all__ = ["fuzzy_match", "get_best_matches", "fuzzy_match_simple", "replace_content",
//              "try_replace_content", "StreamingFuzzyMatcher", "MatchRange", "ReplaceResult",
//              "TryReplaceResult", "FuzzyMatchInfo"]
//   def fuzzy_match(pattern, instring, adj_bonus=5, sep_bonus=10, camel_bonus=10,
//                   lead_penalty=-3, max_lead_penalty=-9, unmatched_penalty=-1) -> (bool, int)
//   def get_best_matches(search_string, candidates) -> list[(str, int)]
//   def fuzzy_match_simple(pattern, instring, case_sensitive) -> bool
//   def replace_content(content, old_string, new_string, replace_all=False, line_hint=None)
//       -> ReplaceResult                     # raises ValueError when it cannot replace
//   def try_replace_content(...same...) -> TryReplaceResult
//
// Every function is a fast-call function; its arguments go through the shared binder and its
// body through the boundary guard.
#include <variant>

#include "core/content_replacer/driver.hpp"
#include "core/content_replacer/try_replace.hpp"
#include "core/fuzzy_match.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/interface_text.hpp"
#include "python/matcher.hpp"
#include "python/pyref.hpp"
#include "python/results.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

PyObject* py_fuzzy_match(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"pattern",          "instring",         "adj_bonus",
                                                 "sep_bonus",        "camel_bonus",      "lead_penalty",
                                                 "max_lead_penalty", "unmatched_penalty"};
        static constexpr auto kSig = signature("fuzzy_match()", kNames, 2);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text pattern;
        Text instring;
        fuzzy::Weights w;
        if (!convert_args(kSig, bound, pattern, instring, w.adj_bonus, w.sep_bonus, w.camel_bonus,
                          w.lead_penalty, w.max_lead_penalty, w.unmatched_penalty)) {
            return nullptr;
        }
        const fuzzy::Score s = fuzzy::fuzzy_match(pattern.view, instring.view, w);
        PyRef score = PyRef::steal(to_py(s.score));
        if (!score) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyTuple_SET_ITEM(pair, 0, bool_to_py(s.matched));
        PyTuple_SET_ITEM(pair, 1, score.release());
        return pair;
    });
}

PyObject* py_get_best_matches(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"search_string", "candidates"};
        static constexpr auto kSig = signature("get_best_matches()", kNames, 2);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text search;
        TextList candidates;
        if (!convert_args(kSig, bound, search, candidates)) return nullptr;
        const auto ranked = fuzzy::rank_candidates(search.view, candidates.views);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranked.size())));
        if (!list) return nullptr;
        PyRef value;  // equal scores are neighbours in the ranking and share one int object
        for (std::size_t k = 0; k < ranked.size(); ++k) {
            const auto [index, score] = ranked[k];
            // An exact str is handed back as it came; a subclass instance as a plain str copy.
            PyObject* item = candidates.objects[index].get();
            PyRef text = PyRef::steal(PyUnicode_CheckExact(item) ? new_ref(item)
                                                                 : to_py(candidates.views[index]));
            if (k == 0 || score != ranked[k - 1].second) value = PyRef::steal(to_py(score));
            if (!text || !value) return nullptr;
            PyObject* pair = PyTuple_New(2);
            if (pair == nullptr) return nullptr;
            PyTuple_SET_ITEM(pair, 0, text.release());
            PyTuple_SET_ITEM(pair, 1, new_ref(value.get()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair);
        }
        return list.release();
    });
}

PyObject* py_fuzzy_match_simple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"pattern", "instring", "case_sensitive"};
        static constexpr auto kSig = signature("fuzzy_match_simple()", kNames, 3);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text pattern;
        Text instring;
        StrictBool case_sensitive;
        if (!convert_args(kSig, bound, pattern, instring, case_sensitive)) return nullptr;
        return bool_to_py(fuzzy::fuzzy_match_simple(pattern.view, instring.view, case_sensitive.value));
    });
}

// The replacement arguments shared by replace_content and try_replace_content.
struct ReplaceArgs {
    Text content;
    Text old_string;
    Text new_string;
    StrictBool replace_all;
    LineHint line_hint;
};

template <std::size_t N>
bool bind_replace_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, ReplaceArgs& out) {
    BoundArgs<N> bound;
    if (!bind(sig, args, nargs, kwnames, bound)) return false;
    return convert_args(sig, bound, out.content, out.old_string, out.new_string, out.replace_all,
                        out.line_hint);
}

constexpr const char* kReplaceNames[] = {"content", "old_string", "new_string", "replace_all",
                                         "line_hint"};

PyObject* py_replace_content(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr auto kSig = signature("replace_content()", kReplaceNames, 3);
        ReplaceArgs a;
        if (!bind_replace_args(kSig, args, nargs, kwnames, a)) return nullptr;
        replacer::ReplaceOutcome outcome =
            replacer::replace_content(a.content.view, a.old_string.view, a.new_string.view,
                                      a.replace_all.value, a.line_hint.value);
        if (auto* ok = std::get_if<replacer::ReplaceResult>(&outcome)) return to_py(*ok);
        const std::string message = replacer::error_message(std::get<replacer::ReplaceError>(outcome));
        PyRef text = PyRef::steal(to_py(std::string_view(message)));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    });
}

PyObject* py_try_replace_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr auto kSig = signature("try_replace_content()", kReplaceNames, 3);
        ReplaceArgs a;
        if (!bind_replace_args(kSig, args, nargs, kwnames, a)) return nullptr;
        return to_py(replacer::try_replace_content(a.content.view, a.old_string.view, a.new_string.view,
                                                   a.replace_all.value, a.line_hint.value));
    });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef module_functions[] = {
    {"fuzzy_match", as_cfunction(&py_fuzzy_match), kFastCall, pinned::kFuzzyMatchDoc},
    {"get_best_matches", as_cfunction(&py_get_best_matches), kFastCall, pinned::kGetBestMatchesDoc},
    {"fuzzy_match_simple", as_cfunction(&py_fuzzy_match_simple), kFastCall,
     pinned::kFuzzyMatchSimpleDoc},
    {"replace_content", as_cfunction(&py_replace_content), kFastCall, pinned::kReplaceContentDoc},
    {"try_replace_content", as_cfunction(&py_try_replace_content), kFastCall,
     pinned::kTryReplaceContentDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_brindle_search", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating the list on first use) and sets the attribute.
bool add_public(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);              // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (all == nullptr) {
        PyRef fresh = PyRef::steal(PyList_New(0));
        if (!fresh || PyObject_SetAttrString(module, "__all__", fresh.get()) < 0) return false;
        all = fresh.get();
    }
    if (PyList_Append(all, name) < 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_brindle_search"));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    return add_public(module, name.get(), function.get());
}

bool add_class(PyObject* module, const char* name, PyObject* type) {
    if (type == nullptr) return false;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && add_public(module, text.get(), type);
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    // Some interpreters turn an empty m_doc into no docstring at all; the module's is "".
    PyRef doc = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        if (!add_function(module.get(), def)) return nullptr;
    }
    if (!add_class(module.get(), "StreamingFuzzyMatcher", streaming_matcher_type()) ||
        !add_class(module.get(), "MatchRange", match_range_type()) ||
        !add_class(module.get(), "ReplaceResult", replace_result_type()) ||
        !add_class(module.get(), "TryReplaceResult", try_replace_result_type()) ||
        !add_class(module.get(), "FuzzyMatchInfo", fuzzy_match_info_type())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace brindle::py

// Single-phase initialisation: the module is built once per process and handed out again. Only
// the main interpreter may import it (see python/state.hpp); its module definition has a state
// size of 0 rather than -1, so that CPython calls this function again in every interpreter that
// imports the module instead of copying the first interpreter's module contents.
PyMODINIT_FUNC PyInit__brindle_search() {
    using namespace brindle::py;
    if (!check_main_interpreter("_brindle_search")) return nullptr;
    PyObject*& module = process_state().module;
    if (module != nullptr) return new_ref(module);
    PyObject* created = guard([] { return create_module(); });
    if (created == nullptr) return nullptr;
    module = new_ref(created);
    return created;
}
