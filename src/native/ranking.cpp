// brindle_search._native.extract: the ranking behind brindle_search.extract. In Python terms:
//
//   def extract(query, choices, limit=None, score_cutoff=None) -> list[(str, int, int)]
//       # choices: any iterable of str; limit: None or an int >= 0; score_cutoff: None or an int
//       # in the signed 32-bit range. Each tuple is (choice, score, position of the choice),
//       # best score first, equal scores in input order, only scores >= score_cutoff.
//
// The choices are taken into a tuple first (a list or tuple is copied without iterating it in
// Python), so that the texts stay alive and unchanged whatever runs during the call. With a limit
// the best matches are selected by top_matches without sorting every match. The ranking of many or
// long choices runs with the interpreter lock released (release.hpp).
#include "native/ranking.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/fuzzy_match.hpp"
#include "core/top_matches.hpp"
#include "native/release.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/pyref.hpp"

namespace brindle::py {

namespace {

// The choices as a tuple we own, and their texts as UTF-8.
struct Choices {
    PyRef items;
    std::vector<std::string_view> views;
};

// None, or a count: a non-negative int (one beyond the address space counts as unlimited).
struct Limit {
    std::optional<std::size_t> value;
};

// None, or the lowest score kept.
struct Cutoff {
    std::optional<std::int32_t> value;
};

bool from_py(PyObject* o, Choices& out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "choices must be an iterable of str, not a str");
        return false;
    }
    PyRef tuple;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        tuple = PyRef::steal(PySequence_Tuple(o));
    } else {
        PyRef iter = PyRef::steal(PyObject_GetIter(o));
        if (!iter) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "choices must be an iterable of str, not '%s'",
                             type_display_name(o).c_str());
            }
            return false;
        }
        tuple = PyRef::steal(PySequence_Tuple(iter.get()));
    }
    if (!tuple) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(tuple.get());
    out.views.clear();
    out.views.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyTuple_GET_ITEM(tuple.get(), k);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "the choice at position %zd must be a str, not '%s'", k,
                         type_display_name(item).c_str());
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) return false;
        out.views.emplace_back(data, static_cast<std::size_t>(size));
    }
    out.items = std::move(tuple);
    return true;
}

bool from_py(PyObject* o, Limit& out) {
    if (o == Py_None) {
        out.value.reset();
        return true;
    }
    if (PyBool_Check(o)) return cast_error(o, "int");
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative == 1) {
        PyErr_SetString(PyExc_ValueError, "limit must be None or a non-negative int");
        return false;
    }
    std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        value = std::numeric_limits<std::size_t>::max();  // more than any list can hold
    }
    out.value = value;
    return true;
}

bool from_py(PyObject* o, Cutoff& out) {
    if (o == Py_None) {
        out.value.reset();
        return true;
    }
    if (PyBool_Check(o)) return cast_error(o, "int");
    std::int32_t value = 0;
    if (!py::from_py(o, value)) return false;
    out.value = value;
    return true;
}

// The tuple (choice, score, position): an exact str is handed back as it came, an instance of a
// subclass as a plain str with the same text. `score` is the int object of the match's score.
PyObject* match_tuple(const Choices& choices, std::size_t index, PyObject* score) {
    PyObject* item = PyTuple_GET_ITEM(choices.items.get(), static_cast<Py_ssize_t>(index));
    PyRef text = PyRef::steal(PyUnicode_CheckExact(item) ? new_ref(item) : to_py(choices.views[index]));
    PyRef position = PyRef::steal(PyLong_FromSize_t(index));
    if (!text || !position) return nullptr;
    PyObject* triple = PyTuple_New(3);
    if (triple == nullptr) return nullptr;
    PyTuple_SET_ITEM(triple, 0, text.release());
    PyTuple_SET_ITEM(triple, 1, new_ref(score));
    PyTuple_SET_ITEM(triple, 2, position.release());
    return triple;
}

}  // namespace

PyObject* native_extract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"query", "choices", "limit", "score_cutoff"};
        static constexpr auto kSig = signature("extract()", kNames, 2);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text query;
        Choices choices;
        Limit limit;
        Cutoff cutoff;
        if (!convert_args(kSig, bound, query, choices, limit, cutoff)) return nullptr;

        std::size_t bytes = query.view.size();
        for (const std::string_view choice : choices.views) bytes += choice.size() + 16;
        const std::vector<fuzzy::TopMatch> matches = without_gil(bytes >= kReleaseBytes, [&] {
            std::vector<fuzzy::TopMatch> found;
            if (!limit.value && !cutoff.value) {
                for (const auto& [index, score] : fuzzy::rank_candidates(query.view, choices.views)) {
                    found.push_back({index, score});
                }
            } else {
                found = fuzzy::top_matches(
                    query.view, choices.views,
                    limit.value.value_or(std::numeric_limits<std::size_t>::max()), cutoff.value);
            }
            return found;
        });
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(matches.size())));
        if (!list) return nullptr;
        PyRef score;  // equal scores are neighbours in the result and share one int object
        for (std::size_t k = 0; k < matches.size(); ++k) {
            if (k == 0 || matches[k].score != matches[k - 1].score) {
                score = PyRef::steal(to_py(matches[k].score));
                if (!score) return nullptr;
            }
            PyObject* triple = match_tuple(choices, matches[k].index, score.get());
            if (triple == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), triple);
        }
        return list.release();
    });
}

}  // namespace brindle::py
