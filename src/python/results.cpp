// The result classes: heap types whose instances each hold one core record, with read-only
// attributes in record order, the fixed representations, MatchRange equality and the truth
// value of TryReplaceResult. None can be created from Python or subclassed.
#include "python/results.hpp"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "core/utf8.hpp"
#include "python/boundary.hpp"
#include "python/convert.hpp"
#include "python/interface_text.hpp"
#include "python/state.hpp"

namespace brindle::py {

namespace {

using replacer::FuzzyMatchInfo;
using replacer::ReplaceResult;
using replacer::TryReplaceResult;
using streaming::MatchRange;

// `initialised` is set once `value` has been built in place. Memory of a new object is zeroed, so
// an instance that did not come from `make` (PyPy lets object.__new__ create one, and unpickling
// used to) has it false: every slot refuses it and dealloc leaves `value` alone.
template <class T>
struct Holder {
    PyObject_HEAD bool initialised;
    T value;
};

template <class T>
Holder<T>* holder_of(PyObject* self) {
    return reinterpret_cast<Holder<T>*>(self);
}

template <class T>
T& value_of(PyObject* self) {
    return holder_of<T>(self)->value;
}

// The class object of each record type.
template <class T>
PyObject* type_of();
template <>
PyObject* type_of<MatchRange>() {
    return match_range_type();
}
template <>
PyObject* type_of<ReplaceResult>() {
    return replace_result_type();
}
template <>
PyObject* type_of<FuzzyMatchInfo>() {
    return fuzzy_match_info_type();
}
template <>
PyObject* type_of<TryReplaceResult>() {
    return try_replace_result_type();
}

// The bare class name of `type` (some interpreters keep only the last dotted part in tp_name).
const char* bare_name(PyTypeObject* type) {
    const char* name = std::strrchr(type->tp_name, '.');
    return name == nullptr ? type->tp_name : name + 1;
}

// The record held by `self`, or nullptr with TypeError set when `self` is not a constructed
// instance of T's class. Slot wrappers of some interpreters (PyPy) pass any object as self, so
// every slot checks the type as well.
template <class T>
const T* checked_value(PyObject* self) {
    PyObject* type = type_of<T>();
    if (type == nullptr) return nullptr;
    PyTypeObject* expected = reinterpret_cast<PyTypeObject*>(type);
    if (Py_TYPE(self) != expected) {
        cast_error(self, bare_name(expected));
        return nullptr;
    }
    if (!holder_of<T>(self)->initialised) {
        PyErr_Format(PyExc_TypeError,
                     "%s object is not initialised; instances are created by _brindle_search only",
                     bare_name(expected));
        return nullptr;
    }
    return &value_of<T>(self);
}

template <class T>
void dealloc(PyObject* self) {
    if (holder_of<T>(self)->initialised) value_of<T>(self).~T();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new instance of `type` that takes over `value`.
template <class T>
PyObject* make(PyObject* type, T value) {
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (self == nullptr) return nullptr;
    new (&value_of<T>(self)) T(std::move(value));
    holder_of<T>(self)->initialised = true;
    return self;
}

// Field conversions for attribute reads; every read builds a new object.
PyObject* field_to_py(const std::string& s) {
    return to_py(std::string_view(s));
}
PyObject* field_to_py(std::uint64_t v) {
    return to_py(v);
}
PyObject* field_to_py(double v) {
    return to_py(v);
}
PyObject* field_to_py(bool v) {
    return bool_to_py(v);
}
PyObject* field_to_py(const std::vector<std::uint64_t>& v) {
    return list_to_py(v);
}
PyObject* field_to_py(const ReplaceResult& v) {
    return to_py(v);
}
PyObject* field_to_py(const FuzzyMatchInfo& v) {
    return to_py(v);
}
template <class T>
PyObject* field_to_py(const std::optional<T>& v) {
    return v ? field_to_py(*v) : new_ref(Py_None);
}

template <class T, auto Member>
PyObject* get_field(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const T* value = checked_value<T>(self);
        if (value == nullptr) return nullptr;
        return field_to_py(value->*Member);
    });
}

template <class T, auto Member>
constexpr PyGetSetDef field(const char* name) {
    return {name, &get_field<T, Member>, nullptr, nullptr, nullptr};
}

// Types that Python code may not instantiate. Newer interpreters refuse by flag; elsewhere a
// tp_new gives the same refusal.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT;
#endif

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Formatted by the interpreter, so that nothing here can throw.
    PyErr_Format(PyExc_TypeError, pinned::kCannotCreate, bare_name(type));
    return nullptr;
}

// Instances hold native records that no pickle can carry: pickling and copying refuse, with the
// message CPython gives for objects it cannot reduce. Without this, protocols 0 and 1 on CPython
// and every protocol on PyPy write pickles that cannot be loaded.
PyMethodDef refuse_pickling_methods[] = {
    {"__reduce__", &refuse_pickling, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* create_type(const char* name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec{name, basicsize, 0, static_cast<unsigned int>(kFlags), slots};
    return PyType_FromSpec(&spec);
}

// `tmpl` with each "{}" replaced by the next of `values`.
std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> values) {
    std::string out;
    auto value = values.begin();
    std::size_t k = 0;
    while (k < tmpl.size()) {
        if (tmpl.compare(k, 2, "{}") == 0 && value != values.end()) {
            out += *value++;
            k += 2;
        } else {
            out += tmpl[k++];
        }
    }
    return out;
}

// Text shortened to at most 50 bytes (cut at a character boundary) plus "..." when longer.
std::string shortened(const std::string& s) {
    constexpr std::size_t kMaxBytes = 50;
    if (s.size() <= kMaxBytes) return s;
    return s.substr(0, utf8::floor_boundary(s, kMaxBytes)) + "...";
}

// Some("word") for a present name, None otherwise; quotes and backslashes get a backslash.
std::string option_text(const std::optional<std::string>& word) {
    if (!word) return "None";
    std::string out = "Some(\"";
    for (char c : *word) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\")";
}

// ---- MatchRange ----

PyObject* match_range_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const MatchRange* value = checked_value<MatchRange>(self);
        if (value == nullptr) return nullptr;
        const MatchRange& r = *value;
        return PyUnicode_FromFormat(pinned::kMatchRangeRepr, static_cast<unsigned long long>(r.start),
                                    static_cast<unsigned long long>(r.end));
    });
}

PyObject* match_range_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* {
        const MatchRange* value = checked_value<MatchRange>(self);
        if (value == nullptr) return nullptr;
        if (op == Py_EQ) {
            if (Py_TYPE(other) != Py_TYPE(self)) return new_ref(Py_NotImplemented);
            const MatchRange* other_value = checked_value<MatchRange>(other);
            if (other_value == nullptr) return nullptr;
            return bool_to_py(*value == *other_value);
        }
        if (op == Py_NE) {
            int equal = PyObject_RichCompareBool(self, other, Py_EQ);
            if (equal < 0) return nullptr;
            return bool_to_py(equal == 0);
        }
        return new_ref(Py_NotImplemented);
    });
}

PyGetSetDef match_range_getset[] = {
    field<MatchRange, &MatchRange::start>("start"),
    field<MatchRange, &MatchRange::end>("end"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- ReplaceResult ----

PyObject* replace_result_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const ReplaceResult* value = checked_value<ReplaceResult>(self);
        if (value == nullptr) return nullptr;
        const ReplaceResult& r = *value;
        std::string text =
            fill(pinned::kReplaceResultRepr, {std::to_string(r.start_line), std::to_string(r.end_line),
                                              r.strategy, shortened(r.matched_text)});
        return to_py(std::string_view(text));
    });
}

PyGetSetDef replace_result_getset[] = {
    field<ReplaceResult, &ReplaceResult::content>("content"),
    field<ReplaceResult, &ReplaceResult::matched_text>("matched_text"),
    field<ReplaceResult, &ReplaceResult::start_line>("start_line"),
    field<ReplaceResult, &ReplaceResult::end_line>("end_line"),
    field<ReplaceResult, &ReplaceResult::strategy>("strategy"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- FuzzyMatchInfo ----

PyObject* fuzzy_match_info_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const FuzzyMatchInfo* value = checked_value<FuzzyMatchInfo>(self);
        if (value == nullptr) return nullptr;
        const FuzzyMatchInfo& m = *value;
        char similarity[64];
        std::snprintf(similarity, sizeof similarity, "%.2f", m.similarity);
        std::string text = fill(pinned::kFuzzyMatchInfoRepr,
                                {similarity, std::to_string(m.start_line), std::to_string(m.end_line)});
        return to_py(std::string_view(text));
    });
}

PyGetSetDef fuzzy_match_info_getset[] = {
    field<FuzzyMatchInfo, &FuzzyMatchInfo::similarity>("similarity"),
    field<FuzzyMatchInfo, &FuzzyMatchInfo::start_line>("start_line"),
    field<FuzzyMatchInfo, &FuzzyMatchInfo::end_line>("end_line"),
    field<FuzzyMatchInfo, &FuzzyMatchInfo::text>("text"),
    field<FuzzyMatchInfo, &FuzzyMatchInfo::diff>("diff"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- TryReplaceResult ----

PyObject* try_replace_result_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const TryReplaceResult* value = checked_value<TryReplaceResult>(self);
        if (value == nullptr) return nullptr;
        const TryReplaceResult& r = *value;
        std::string text;
        if (r.success) {
            std::optional<std::string> strategy;
            if (r.result) strategy = r.result->strategy;
            text = fill(pinned::kTryReplaceSuccessRepr, {option_text(strategy)});
        } else {
            text = fill(pinned::kTryReplaceFailureRepr, {option_text(r.error_type)});
        }
        return to_py(std::string_view(text));
    });
}

int try_replace_result_bool(PyObject* self) {
    const TryReplaceResult* value = checked_value<TryReplaceResult>(self);
    if (value == nullptr) return -1;
    return value->success ? 1 : 0;
}

PyGetSetDef try_replace_result_getset[] = {
    field<TryReplaceResult, &TryReplaceResult::success>("success"),
    field<TryReplaceResult, &TryReplaceResult::result>("result"),
    field<TryReplaceResult, &TryReplaceResult::error>("error"),
    field<TryReplaceResult, &TryReplaceResult::error_type>("error_type"),
    field<TryReplaceResult, &TryReplaceResult::closest_match>("closest_match"),
    field<TryReplaceResult, &TryReplaceResult::locations>("locations"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class T>
constexpr int basic_size() {
    return static_cast<int>(sizeof(Holder<T>));
}

#define BRINDLE_COMMON_SLOTS(T, doc, getset)                                                    \
    {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)}, \
        {Py_tp_getset, getset}, {Py_tp_new, reinterpret_cast<void*>(&refuse_new)}, {            \
        Py_tp_methods, refuse_pickling_methods                                                  \
    }

// Each type is created on first need and then kept (in the process state).
template <class Make>
PyObject* once(PyObject*& slot, Make make_type) {
    if (slot == nullptr) slot = make_type();
    return slot;
}

}  // namespace

PyObject* refuse_pickling(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", bare_name(Py_TYPE(self)));
    return nullptr;
}

PyObject* match_range_type() {
    return once(process_state().match_range_type, [] {
        static PyType_Slot slots[] = {
            BRINDLE_COMMON_SLOTS(MatchRange, pinned::kMatchRangeDoc, match_range_getset),
            {Py_tp_repr, reinterpret_cast<void*>(&match_range_repr)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&match_range_richcompare)},
            {0, nullptr},
        };
        return create_type("_brindle_search.MatchRange", basic_size<MatchRange>(), slots);
    });
}

PyObject* replace_result_type() {
    return once(process_state().replace_result_type, [] {
        static PyType_Slot slots[] = {
            BRINDLE_COMMON_SLOTS(ReplaceResult, pinned::kReplaceResultDoc, replace_result_getset),
            {Py_tp_repr, reinterpret_cast<void*>(&replace_result_repr)},
            {0, nullptr},
        };
        return create_type("_brindle_search.ReplaceResult", basic_size<ReplaceResult>(), slots);
    });
}

PyObject* try_replace_result_type() {
    return once(process_state().try_replace_result_type, [] {
        static PyType_Slot slots[] = {
            BRINDLE_COMMON_SLOTS(TryReplaceResult, pinned::kTryReplaceResultDoc,
                                 try_replace_result_getset),
            {Py_tp_repr, reinterpret_cast<void*>(&try_replace_result_repr)},
            {Py_nb_bool, reinterpret_cast<void*>(&try_replace_result_bool)},
            {0, nullptr},
        };
        return create_type("_brindle_search.TryReplaceResult", basic_size<TryReplaceResult>(), slots);
    });
}

PyObject* fuzzy_match_info_type() {
    return once(process_state().fuzzy_match_info_type, [] {
        static PyType_Slot slots[] = {
            BRINDLE_COMMON_SLOTS(FuzzyMatchInfo, pinned::kFuzzyMatchInfoDoc, fuzzy_match_info_getset),
            {Py_tp_repr, reinterpret_cast<void*>(&fuzzy_match_info_repr)},
            {0, nullptr},
        };
        return create_type("_brindle_search.FuzzyMatchInfo", basic_size<FuzzyMatchInfo>(), slots);
    });
}

PyObject* to_py(const MatchRange& range) {
    return make(match_range_type(), range);
}
PyObject* to_py(const ReplaceResult& result) {
    return make(replace_result_type(), result);
}
PyObject* to_py(const FuzzyMatchInfo& info) {
    return make(fuzzy_match_info_type(), info);
}
PyObject* to_py(TryReplaceResult result) {
    return make(try_replace_result_type(), std::move(result));
}

bool from_py(PyObject* o, MatchRange& out) {
    const MatchRange* value = checked_value<MatchRange>(o);
    if (value == nullptr) return false;
    out = *value;
    return true;
}

}  // namespace brindle::py
