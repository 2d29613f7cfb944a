// Binding of Python call arguments to parameters, with the binding error messages.
#include "python/binder.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "python/interface_text.hpp"

namespace brindle::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += k + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[k];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const SignatureView& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required == sig.count) {
        PyErr_Format(PyExc_TypeError, pinned::kTakesPositional, sig.display_name, sig.count, given,
                     verb);
    } else {
        PyErr_Format(PyExc_TypeError, pinned::kTakesFromTo, sig.display_name, sig.required, sig.count,
                     given, verb);
    }
    return false;
}

// Index of the parameter called `name`, or sig.count when there is none. Sets no error on a
// miss. A name without a UTF-8 form (lone surrogates) matches no parameter; any other failure to
// read the name sets `failed` with the exception pending.
std::size_t find_parameter(const SignatureView& sig, PyObject* name, bool& failed) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
        } else {
            failed = true;
        }
        return sig.count;
    }
    for (std::size_t k = 0; k < sig.count; ++k) {
        if (std::strlen(sig.names[k]) == static_cast<std::size_t>(size) &&
            std::memcmp(sig.names[k], text, static_cast<std::size_t>(size)) == 0) {
            return k;
        }
    }
    return sig.count;
}

bool bind_keyword(const SignatureView& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  PyObject** slots) {
    bool failed = false;
    std::size_t index = find_parameter(sig, name, failed);
    if (failed) return false;
    if (index == sig.count) {
        PyErr_Format(PyExc_TypeError, pinned::kUnexpectedKeyword, sig.display_name, name);
        return false;
    }
    if (static_cast<Py_ssize_t>(index) < nargs || slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, pinned::kMultipleValues, sig.display_name, sig.names[index]);
        return false;
    }
    slots[index] = value;
    return true;
}

bool check_required(const SignatureView& sig, PyObject** slots) {
    std::vector<const char*> missing;
    for (std::size_t k = 0; k < sig.required; ++k) {
        if (slots[k] == nullptr) missing.push_back(sig.names[k]);
    }
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, pinned::kMissingRequired, sig.display_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", quoted_list(missing).c_str());
    return false;
}

}  // namespace

bool bind_arguments(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    for (std::size_t k = 0; k < sig.count; ++k) slots[k] = nullptr;
    if (nargs > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) slots[k] = args[k];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots)) {
                return false;
            }
        }
    }
    return check_required(sig, slots);
}

bool bind_tuple_arguments(const SignatureView& sig, PyObject* args, PyObject* kwargs,
                          PyObject** slots) {
    for (std::size_t k = 0; k < sig.count; ++k) slots[k] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) slots[k] = PyTuple_GET_ITEM(args, k);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, nargs, slots)) return false;
        }
    }
    return check_required(sig, slots);
}

bool argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef original_type = PyRef::steal(type);
    PyRef original = PyRef::steal(value);
    PyRef original_tb = PyRef::steal(traceback);
    PyRef message = PyRef::steal(PyObject_Str(original.get()));
    if (!message) return false;
    PyRef wrapped = PyRef::steal(PyUnicode_FromFormat(pinned::kArgumentError, name, message.get()));
    if (!wrapped) return false;
    PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, wrapped.get(), nullptr));
    if (!error) return false;
    // SetCause steals the reference it is given; NULL clears the cause.
    PyException_SetCause(error.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

}  // namespace brindle::py
