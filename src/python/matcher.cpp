// StreamingFuzzyMatcher: holds the core matcher in place and an access counter that refuses
// overlapping use of one instance (0 free, n > 0 shared readers, -1 one exclusive writer). Use can
// only overlap while Python code runs inside a call, i.e. while an argument is being converted.
//
//   class StreamingFuzzyMatcher:
//       def __new__(cls, source_text: str) -> StreamingFuzzyMatcher
//       def push(self, chunk: str, line_hint: int | None = None) -> MatchRange | None
//       def finish(self) -> list[MatchRange]
//       def select_best_match(self) -> MatchRange | None
//       def get_text(self, match_range: MatchRange) -> str
//       query_lines: list[str]   (read-only)
//       source_lines: list[str]  (read-only)
#include "python/matcher.hpp"

#include <atomic>
#include <new>
#include <string>
#include <variant>

#include "core/streaming_matcher.hpp"
#include "python/binder.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/interface_text.hpp"
#include "python/results.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

using streaming::MatchRange;
using streaming::StreamingFuzzyMatcher;

// `initialised` is set once the constructor has built `access` and `matcher` in place. Memory of a
// new object is zeroed, so an instance that did not come through the constructor (PyPy lets
// object.__new__ make one) has it false and is refused by every method.
struct PyStreamingFuzzyMatcher {
    PyObject_HEAD std::atomic<int> access;
    bool initialised;
    StreamingFuzzyMatcher matcher;
};

PyStreamingFuzzyMatcher* as_matcher(PyObject* self) {
    return reinterpret_cast<PyStreamingFuzzyMatcher*>(self);
}

// Scoped access to an instance's matcher; `ok()` is false (with RuntimeError set) when refused.
class Access {
public:
    enum Kind { kShared, kExclusive };

    Access(PyObject* self, Kind kind) : counter_(&as_matcher(self)->access), kind_(kind) {
        int current = counter_->load();
        if (kind == kExclusive) {
            int expected = 0;
            if (!counter_->compare_exchange_strong(expected, -1)) {
                PyErr_SetString(PyExc_RuntimeError, pinned::kAlreadyBorrowed);
                counter_ = nullptr;
            }
            return;
        }
        while (true) {
            if (current < 0) {
                PyErr_SetString(PyExc_RuntimeError, pinned::kAlreadyMutablyBorrowed);
                counter_ = nullptr;
                return;
            }
            if (counter_->compare_exchange_weak(current, current + 1)) return;
        }
    }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    ~Access() {
        if (counter_ == nullptr) return;
        if (kind_ == kExclusive) {
            counter_->store(0);
        } else {
            counter_->fetch_sub(1);
        }
    }
    bool ok() const { return counter_ != nullptr; }

private:
    std::atomic<int>* counter_;
    Kind kind_;
};

// The instance check that every method makes before touching the matcher.
bool check_instance(PyObject* self) {
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(process_state().streaming_matcher_type)) {
        return cast_error(self, "StreamingFuzzyMatcher");
    }
    if (as_matcher(self)->initialised) return true;
    PyErr_SetString(PyExc_TypeError,
                    "StreamingFuzzyMatcher object is not initialised; create it with "
                    "StreamingFuzzyMatcher(source_text)");
    return false;
}

PyObject* optional_range(const std::optional<MatchRange>& range) {
    return range ? to_py(*range) : new_ref(Py_None);
}

// The instance is built in memory allocated for `type`, so only the class itself will do. CPython
// refuses a type that is not a subtype before calling here, and refuses subclasses when they are
// defined; PyPy does neither, so both are refused here with CPython's messages.
bool check_new_type(PyTypeObject* type) {
    PyTypeObject* own = reinterpret_cast<PyTypeObject*>(process_state().streaming_matcher_type);
    if (type == own) return true;
    if (PyType_IsSubtype(type, own)) {
        PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", own->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", own->tp_name,
                     type->tp_name, type->tp_name, own->tp_name);
    }
    return false;
}

PyObject* matcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        if (!check_new_type(type)) return nullptr;
        static constexpr const char* kNames[] = {"source_text"};
        static constexpr auto kSig = signature("StreamingFuzzyMatcher.__new__()", kNames, 1);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, kwargs, bound)) return nullptr;
        Text source;
        if (!convert_args(kSig, bound, source)) return nullptr;
        StreamingFuzzyMatcher core(source.view);
        PyObject* self = PyType_GenericAlloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&as_matcher(self)->access) std::atomic<int>(0);
        new (&as_matcher(self)->matcher) StreamingFuzzyMatcher(std::move(core));
        as_matcher(self)->initialised = true;
        return self;
    });
}

void matcher_dealloc(PyObject* self) {
    if (as_matcher(self)->initialised) {
        as_matcher(self)->matcher.~StreamingFuzzyMatcher();
        as_matcher(self)->access.~atomic();
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* matcher_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"chunk", "line_hint"};
        static constexpr auto kSig = signature("StreamingFuzzyMatcher.push()", kNames, 1);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        if (!check_instance(self)) return nullptr;
        Access access(self, Access::kExclusive);
        if (!access.ok()) return nullptr;
        Text chunk;
        LineHint hint;
        if (!convert_args(kSig, bound, chunk, hint)) return nullptr;
        return optional_range(as_matcher(self)->matcher.push(chunk.view, hint.value));
    });
}

PyObject* matcher_finish(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if (!check_instance(self)) return nullptr;
        Access access(self, Access::kExclusive);
        if (!access.ok()) return nullptr;
        return list_to_py(as_matcher(self)->matcher.finish());
    });
}

PyObject* matcher_select_best_match(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if (!check_instance(self)) return nullptr;
        Access access(self, Access::kShared);
        if (!access.ok()) return nullptr;
        return optional_range(as_matcher(self)->matcher.select_best_match());
    });
}

PyObject* matcher_get_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"match_range"};
        static constexpr auto kSig = signature("StreamingFuzzyMatcher.get_text()", kNames, 1);
        BoundArgs<kSig.count> bound;
        if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
        if (!check_instance(self)) return nullptr;
        Access access(self, Access::kShared);
        if (!access.ok()) return nullptr;
        MatchRange range{};
        if (!convert_args(kSig, bound, range)) return nullptr;
        auto text = as_matcher(self)->matcher.get_text(range);
        if (auto* bad = std::get_if<streaming::TextRangeError>(&text)) {
            raise_panic("range " + std::to_string(range.start) + ".." + std::to_string(range.end) +
                        " cannot be cut from the source text (clamped to " +
                        std::to_string(bad->start) + ".." + std::to_string(bad->end) + ")");
            return nullptr;
        }
        return to_py(std::string_view(std::get<std::string>(text)));
    });
}

template <const std::vector<std::string>& (StreamingFuzzyMatcher::*Lines)() const>
PyObject* matcher_lines(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        if (!check_instance(self)) return nullptr;
        Access access(self, Access::kShared);
        if (!access.ok()) return nullptr;
        return list_to_py((as_matcher(self)->matcher.*Lines)());
    });
}

// Fast-call methods are declared with CPython's signature and cast through a generic function
// pointer: PyPy's typedef of the same signature differs in constness.
template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef matcher_methods[] = {
    {"push", as_cfunction(&matcher_push), METH_FASTCALL | METH_KEYWORDS, pinned::kPushDoc},
    {"finish", as_cfunction(&matcher_finish), METH_NOARGS, pinned::kFinishDoc},
    {"select_best_match", as_cfunction(&matcher_select_best_match), METH_NOARGS,
     pinned::kSelectBestMatchDoc},
    {"get_text", as_cfunction(&matcher_get_text), METH_FASTCALL | METH_KEYWORDS, pinned::kGetTextDoc},
    {"__reduce__", &refuse_pickling, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef matcher_getset[] = {
    {"query_lines", &matcher_lines<&StreamingFuzzyMatcher::query_lines>, nullptr,
     pinned::kQueryLinesDoc, nullptr},
    {"source_lines", &matcher_lines<&StreamingFuzzyMatcher::source_lines>, nullptr,
     pinned::kSourceLinesDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* streaming_matcher_type() {
    if (process_state().streaming_matcher_type != nullptr)
        return process_state().streaming_matcher_type;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(pinned::kStreamingFuzzyMatcherDoc)},
        {Py_tp_new, reinterpret_cast<void*>(&matcher_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&matcher_dealloc)},
        {Py_tp_methods, matcher_methods},
        {Py_tp_getset, matcher_getset},
        {0, nullptr},
    };
    PyType_Spec spec{"_brindle_search.StreamingFuzzyMatcher",
                     static_cast<int>(sizeof(PyStreamingFuzzyMatcher)), 0, Py_TPFLAGS_DEFAULT, slots};
    process_state().streaming_matcher_type = PyType_FromSpec(&spec);
    return process_state().streaming_matcher_type;
}

}  // namespace brindle::py
