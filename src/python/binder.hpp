// The argument binder shared by every function and method: binds positional and keyword
// arguments to the parameters of a static signature, then converts them left to right.
//
//   static constexpr const char* kNames[] = {"pattern", "instring", "adj_bonus"};
//   static constexpr auto kSig = signature("fuzzy_match()", kNames, 2);  // 2 required
//   BoundArgs<kSig.count> bound;
//   if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
//   if (!convert_args(kSig, bound, pattern, instring, adj_bonus)) return nullptr;
//
// The parameter count is the length of the names array, taken by the compiler; `bind` and
// `convert_args` accept only bound arguments and outputs of that same count.
// Missing optional parameters keep the value their output variable was initialised with.
#pragma once

#include <array>
#include <cstddef>

#include "python/convert.hpp"
#include "python/pyref.hpp"

namespace brindle::py {

// A signature with its parameter count erased, for the binding code that serves every count.
struct SignatureView {
    const char* display_name;  // "fuzzy_match()" or "StreamingFuzzyMatcher.push()"
    const char* const* names;  // parameter names in order
    std::size_t count;         // number of parameters
    std::size_t required;      // the leading `required` parameters have no default
};

template <std::size_t N>
struct Signature {
    static constexpr std::size_t count = N;
    const char* display_name;
    const char* const* names;  // N names
    std::size_t required;

    constexpr SignatureView view() const { return {display_name, names, N, required}; }
};

// The signature of a function whose parameters are `names`, the first `required` without default.
template <std::size_t N>
consteval Signature<N> signature(const char* display_name, const char* const (&names)[N],
                                 std::size_t required) {
    if (required > N) throw "more required parameters than parameters";
    return {display_name, names, required};
}

// The objects bound to each parameter (borrowed), nullptr where a parameter was not given.
template <std::size_t N>
struct BoundArgs {
    std::array<PyObject*, N> values{};
};

// Binds fast-call arguments into `slots` (sig.count of them); on failure sets the binding
// TypeError and returns false.
bool bind_arguments(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Binds tuple/dict arguments (as passed to tp_new) the same way.
bool bind_tuple_arguments(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs<N>& out) {
    return bind_arguments(sig.view(), args, nargs, kwnames, out.values.data());
}

template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs, BoundArgs<N>& out) {
    return bind_tuple_arguments(sig.view(), args, kwargs, out.values.data());
}

// Re-raises a TypeError of a failed conversion as "argument '{name}': {message}", keeping the
// original exception's cause; any other exception is left as it is. Always returns false.
bool argument_error(const char* name);

template <class T>
bool convert_one(const char* name, PyObject* value, T& out) {
    if (value == nullptr) return true;  // default kept
    if (from_py(value, out)) return true;
    return argument_error(name);
}

template <std::size_t N, class... T>
bool convert_args(const Signature<N>& sig, const BoundArgs<N>& bound, T&... outs) {
    static_assert(sizeof...(T) == N, "one output per parameter");
    std::size_t index = 0;
    auto next = [&](auto& out) {
        const std::size_t i = index++;
        return convert_one(sig.names[i], bound.values[i], out);
    };
    return (next(outs) && ...);
}

}  // namespace brindle::py
