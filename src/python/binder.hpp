// The argument binder shared by every function and method: binds positional and keyword
// arguments to the parameters of a static signature, then converts them left to right.
//
//   static constexpr const char* kNames[] = {"pattern", "instring", "adj_bonus"};
//   static constexpr Signature kSig{"fuzzy_match()", kNames, 3, 2};
//   BoundArgs<3> bound;
//   if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
//   if (!convert_args(kSig, bound, pattern, instring, adj_bonus)) return nullptr;
//
// Missing optional parameters keep the value their output variable was initialised with.
#pragma once

#include "python/convert.hpp"
#include "python/pyref.hpp"

#include <array>
#include <cstddef>

namespace brindle::py {

struct Signature {
    const char* display_name;  // "fuzzy_match()" or "StreamingFuzzyMatcher.push()"
    const char* const* names;  // parameter names in order
    std::size_t count;         // number of parameters
    std::size_t required;      // the leading `required` parameters have no default
};

// The objects bound to each parameter (borrowed), nullptr where a parameter was not given.
template <std::size_t N>
struct BoundArgs {
    std::array<PyObject*, N> values{};
};

// Binds fast-call arguments; on failure sets the binding TypeError and returns false.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Binds tuple/dict arguments (as passed to tp_new) the same way.
bool bind_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs<N>& out) {
    return bind_arguments(sig, args, nargs, kwnames, out.values.data());
}

// Re-raises a TypeError of a failed conversion as "argument '{name}': {message}", keeping the
// original exception's cause; any other exception is left as it is. Always returns false.
bool argument_error(const char* name);

template <class T>
bool convert_one(const Signature& sig, std::size_t index, PyObject* value, T& out) {
    if (value == nullptr) return true;  // default kept
    if (from_py(value, out)) return true;
    return argument_error(sig.names[index]);
}

template <std::size_t N, class... T>
bool convert_args(const Signature& sig, const BoundArgs<N>& bound, T&... outs) {
    static_assert(sizeof...(T) == N, "one output per parameter");
    std::size_t index = 0;
    auto next = [&](auto& out) {
        const std::size_t i = index++;
        return convert_one(sig, i, bound.values[i], out);
    };
    return (next(outs) && ...);
}

}  // namespace brindle::py
