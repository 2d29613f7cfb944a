// The native side of brindle_search's safe edits. In Python terms:
//
//   def strategy_names() -> tuple[str, ...]          # the driver's table, in its order
//   def locate(content, old_string, new_string, replace_all=False, line_hint=None,
//              strategies=<all>, work_budget=None)
//       -> ("ok", strategy, matched_text, position, start_line, end_line)
//        | (error_type, message, closest | None | "over_budget", locations, parts)
//   def closest_window(content, old_string, min_similarity, work_budget=None)
//       -> closest | None | "over_budget"
//   def closest_piece(similarity, start_line, end_line, diff) -> str
//   def closest_threshold() -> float
//   def similarity(a, b) -> float
//   def match_diff(old_string, window_text) -> str
//   def unescape(text) -> str
//
// `locate` runs the replacement driver but hands back where and how the edit was placed instead
// of the new content: the package splices a repaired new_string in itself. `position` is the match
// start counted in code points of `content` (a Python str index). A not-found message is
// parts[0] + closest_piece(closest) + parts[1] (the piece left out without a closest match), so
// that the package can show a closest match of its own in its place. A closest match is the tuple
// (similarity, start_line, end_line, text, diff). `closest_window` with a `work_budget` (units of
// polled work, see core/cancel.hpp; about a nanosecond each in the search's cheapest loops) gives
// up when they are used up and returns "over_budget" instead of an answer; `locate` with one
// gives its not-found diagnostics' closest-match search that budget, and puts "over_budget" in
// place of the closest match when it did not suffice (the message then has no closest piece).
//
// The core work of a call on large texts runs with the interpreter lock released (release.hpp):
// the arguments are converted first and the results built after, with the lock held.
#include "native/edit.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/cancel.hpp"
#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/driver.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/utf8.hpp"
#include "native/release.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"

namespace brindle::py {

namespace {

// A similarity threshold: any real number (int or float).
struct Fraction {
    double value = 0.0;
};

bool from_py(PyObject* o, Fraction& out) {
    if (!PyFloat_Check(o) && !PyLong_Check(o)) return cast_error(o, "float");
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out.value = v;
    return true;
}

// A set of strategies given by name; absent means all of them.
struct StrategySet {
    replacer::StrategyMask mask = replacer::kAllStrategies;
};

bool from_py(PyObject* o, StrategySet& out) {
    TextList names;
    if (!from_py(o, names)) return false;
    const auto table = replacer::strategy_names();
    out.mask = 0;
    for (const std::string_view name : names.views) {
        const auto it = std::find(table.begin(), table.end(), name);
        if (it == table.end()) {
            PyRef text = PyRef::steal(to_py(name));
            if (text) PyErr_Format(PyExc_ValueError, "unknown strategy %R", text.get());
            return false;
        }
        out.mask |= replacer::StrategyMask{1} << static_cast<unsigned>(it - table.begin());
    }
    return true;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    // Takes ownership of every item, also when one of them (or the tuple) failed to be created.
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t k = 0;
    bool complete = static_cast<bool>(tuple);
    for (PyObject* item : items) {
        if (item == nullptr) complete = false;
        if (tuple && item != nullptr) {
            PyTuple_SET_ITEM(tuple.get(), k, item);
        } else {
            Py_XDECREF(item);
        }
        ++k;
    }
    return complete ? tuple.release() : nullptr;
}

// An optional non-negative number of work units; None means no limit.
struct WorkBudget {
    std::optional<std::int64_t> units;
};

bool from_py(PyObject* o, WorkBudget& out) {
    if (o == Py_None) {
        out.units.reset();
        return true;
    }
    if (!PyLong_Check(o) || PyBool_Check(o)) return cast_error(o, "int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_ValueError, "work_budget must not be negative");
        return false;
    }
    out.units = overflow > 0 ? INT64_MAX : static_cast<std::int64_t>(v);
    return true;
}

// A 1-based line number of a report.
struct LineNumber {
    std::uint64_t value = 0;
};

bool from_py(PyObject* o, LineNumber& out) {
    if (!PyLong_Check(o) || PyBool_Check(o)) return cast_error(o, "int");
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.value = v;
    return true;
}

PyObject* closest_to_py(const std::optional<replacer::FuzzyMatchInfo>& info) {
    if (!info) return new_ref(Py_None);
    return tuple_of({to_py(info->similarity), to_py(info->start_line), to_py(info->end_line),
                     to_py(std::string_view(info->text)), to_py(std::string_view(info->diff))});
}

PyObject* str_of(const char* s) {
    return PyUnicode_FromString(s);
}

// Whether the texts of a call are large enough for its work to run with the lock released.
template <class... Views>
bool large(const Views&... views) {
    return (std::size_t{0} + ... + views.size()) >= kReleaseBytes;
}

}  // namespace

PyObject* edit_strategy_names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr Signature<0> kSig{"strategy_names()", nullptr, 0};
        BoundArgs<0> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        const auto names = replacer::strategy_names();
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!tuple) return nullptr;
        for (std::size_t k = 0; k < names.size(); ++k) {
            PyObject* name = to_py(names[k]);
            if (name == nullptr) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), name);
        }
        return tuple.release();
    });
}

PyObject* edit_locate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"content",   "old_string", "new_string", "replace_all",
                                                 "line_hint", "strategies", "work_budget"};
        static constexpr auto kSig = signature("locate()", kNames, 3);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text content;
        Text old_string;
        Text new_string;
        StrictBool replace_all;
        LineHint line_hint;
        StrategySet strategies;
        WorkBudget work_budget;
        if (!convert_args(kSig, bound, content, old_string, new_string, replace_all, line_hint,
                          strategies, work_budget)) {
            return nullptr;
        }
        const bool release = large(content.view, old_string.view, new_string.view);
        std::uint64_t position = 0;
        replacer::ReplaceOutcome outcome = without_gil(release, [&] {
            replacer::ReplaceOutcome found = replacer::replace_content(
                content.view, old_string.view, new_string.view, replace_all.value, line_hint.value,
                strategies.mask, work_budget.units);
            if (auto* ok = std::get_if<replacer::ReplaceResult>(&found)) {
                position = utf8::count_chars(content.view.substr(0, ok->position));
            }
            return found;
        });
        if (auto* ok = std::get_if<replacer::ReplaceResult>(&outcome)) {
            return tuple_of({str_of("ok"), to_py(std::string_view(ok->strategy)),
                             to_py(std::string_view(ok->matched_text)), to_py(position),
                             to_py(ok->start_line), to_py(ok->end_line)});
        }
        const auto& error = std::get<replacer::ReplaceError>(outcome);
        if (const auto* nf = std::get_if<replacer::NotFound>(&error)) {
            const std::string_view message(nf->message);
            PyObject* parts = tuple_of(
                {to_py(message.substr(0, nf->piece_begin)), to_py(message.substr(nf->piece_end))});
            PyObject* closest =
                nf->closest_over_budget ? str_of("over_budget") : closest_to_py(nf->closest_match);
            return tuple_of({str_of("not_found"), to_py(message), closest, new_ref(Py_None), parts});
        }
        if (const auto* mm = std::get_if<replacer::MultipleMatches>(&error)) {
            return tuple_of({str_of("multiple_matches"), to_py(std::string_view(mm->message)),
                             new_ref(Py_None), list_to_py(mm->locations), new_ref(Py_None)});
        }
        return tuple_of({str_of("no_change"), str_of("old_string and new_string must be different"),
                         new_ref(Py_None), new_ref(Py_None), new_ref(Py_None)});
    });
}

PyObject* edit_closest_window(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"content", "old_string", "min_similarity",
                                                 "work_budget"};
        static constexpr auto kSig = signature("closest_window()", kNames, 3);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text content;
        Text old_string;
        Fraction min_similarity;
        WorkBudget work_budget;
        if (!convert_args(kSig, bound, content, old_string, min_similarity, work_budget)) {
            return nullptr;
        }
        bool over_budget = false;
        const auto closest = without_gil(large(content.view, old_string.view), [&] {
            const replacer::ContentLines lines(content.view);
            std::optional<replacer::FuzzyMatchInfo> found;
            const auto search = [&] {
                found =
                    replacer::find_most_similar_window(lines, old_string.view, min_similarity.value);
            };
            if (!work_budget.units) {
                search();
            } else if (!run_with_work_budget(*work_budget.units, search)) {
                over_budget = true;
            }
            return found;
        });
        if (over_budget) return str_of("over_budget");
        return closest_to_py(closest);
    });
}

PyObject* edit_closest_piece(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"similarity", "start_line", "end_line", "diff"};
        static constexpr auto kSig = signature("closest_piece()", kNames, 4);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Fraction similarity;
        LineNumber start_line;
        LineNumber end_line;
        Text diff;
        if (!convert_args(kSig, bound, similarity, start_line, end_line, diff)) return nullptr;
        replacer::FuzzyMatchInfo info;
        info.similarity = similarity.value;
        info.start_line = start_line.value;
        info.end_line = end_line.value;
        info.diff = std::string(diff.view);
        const std::string piece = replacer::closest_match_piece(info);
        return to_py(std::string_view(piece));
    });
}

PyObject* edit_closest_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr Signature<0> kSig{"closest_threshold()", nullptr, 0};
        BoundArgs<0> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        return to_py(replacer::kClosestMatchThreshold);
    });
}

PyObject* edit_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"a", "b"};
        static constexpr auto kSig = signature("similarity()", kNames, 2);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text a;
        Text b;
        if (!convert_args(kSig, bound, a, b)) return nullptr;
        const double similarity = without_gil(
            large(a.view, b.view), [&] { return replacer::text_similarity(a.view, b.view); });
        return to_py(similarity);
    });
}

PyObject* edit_match_diff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"old_string", "window_text"};
        static constexpr auto kSig = signature("match_diff()", kNames, 2);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text old_string;
        Text window;
        if (!convert_args(kSig, bound, old_string, window)) return nullptr;
        const std::string diff = without_gil(large(old_string.view, window.view), [&] {
            return replacer::build_match_diff(old_string.view, window.view);
        });
        return to_py(std::string_view(diff));
    });
}

PyObject* edit_unescape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"text"};
        static constexpr auto kSig = signature("unescape()", kNames, 1);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        Text text;
        if (!convert_args(kSig, bound, text)) return nullptr;
        const std::string out =
            without_gil(large(text.view), [&] { return replacer::unescape_string(text.view); });
        return to_py(std::string_view(out));
    });
}

const char* const kStrategyNamesDoc =
    "strategy_names()\n--\n\nThe replacement strategies in the order they are tried.";
const char* const kLocateDoc =
    "locate(content, old_string, new_string, replace_all=False, line_hint=None, strategies=..., "
    "work_budget=None)\n--\n\nWhere and how the replacement would be placed, or why it cannot be; "
    "a not-found report's closest match is \"over_budget\" when work_budget units of work did not "
    "suffice to find it.";
const char* const kClosestPieceDoc =
    "closest_piece(similarity, start_line, end_line, diff)\n--\n\n"
    "The piece of a not-found message that shows a closest match.";
const char* const kClosestThresholdDoc =
    "closest_threshold()\n--\n\nThe similarity below which a closest match is not shown.";
const char* const kClosestWindowDoc =
    "closest_window(content, old_string, min_similarity, work_budget=None)\n--\n\n"
    "The most similar block of old_string's line count anywhere in content, or None; "
    "\"over_budget\" when work_budget units of work did not suffice.";
const char* const kSimilarityDoc = "similarity(a, b)\n--\n\n1 - edit distance / longer byte length.";
const char* const kMatchDiffDoc =
    "match_diff(old_string, window_text)\n--\n\nThe line diff shown with a closest match.";
const char* const kUnescapeDoc =
    "unescape(text)\n--\n\nResolves the escape sequences the escape-tolerant strategy accepts.";

}  // namespace brindle::py
