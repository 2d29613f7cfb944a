// The process-wide Python state of the binding layer, all of it in one place.
//
// Both extensions use single-phase initialisation: each lives once per process, and so do the
// objects below. They are created on first need with the interpreter lock held, belong to the
// main interpreter and are never released (the process ends with them). Every extension that links
// the binding layer (`_brindle_search` and `brindle_search._native`) has its own copy of this
// state; a field that an extension does not use stays null.
//
// An object lives and dies with the interpreter that created it, so none of these may be created
// in, or handed to, any other interpreter: each module's initialisation calls
// `check_main_interpreter` before it creates or caches anything.
#pragma once

#include "python/pyref.hpp"

namespace brindle::py {

struct ProcessState {
    // The _brindle_search module object: built once and handed out again by every later call of
    // its initialisation function, since importing it twice must give the same module.
    PyObject* module = nullptr;

    // The five classes of _brindle_search, created when the module registers them. Kept because
    // every result must be an instance of the very class the module exposes, and because slots
    // compare `self` against them (PyPy's slot wrappers pass objects of any type).
    PyObject* streaming_matcher_type = nullptr;
    PyObject* match_range_type = nullptr;
    PyObject* replace_result_type = nullptr;
    PyObject* try_replace_result_type = nullptr;
    PyObject* fuzzy_match_info_type = nullptr;

    // PanicException: created on first use and not a module attribute. One class for the whole
    // process, so that one `except` clause catches the panics of every call.
    PyObject* panic_exception = nullptr;

    // collections.abc.Sequence, for the check of `candidates`: imported on first need and kept,
    // so that the import does not run in every call.
    PyObject* sequence_abc = nullptr;

    // PyPy only: a Python function that copies a list or tuple with every str-subclass item
    // replaced by an equal exact str (see the candidates converter). Compiled on first need and
    // kept, so that it is compiled once.
    PyObject* exact_texts = nullptr;

    // For taking SIGINT over during long calls (PyPy only) and for telling the main thread in
    // calls that release the interpreter lock (brindle_search._native): threading.main_thread,
    // signal.getsignal and signal.default_int_handler, imported on first need and kept, and (PyPy)
    // the main thread's identifier once known.
    PyObject* threading_main_thread = nullptr;
    PyObject* signal_getsignal = nullptr;
    PyObject* signal_default_int_handler = nullptr;
    unsigned long main_thread_ident = 0;
};

ProcessState& process_state();

// `module.name`, imported on first need and kept in `slot` (a field of the process state) for the
// rest of the process: a borrowed reference, or null with an exception set.
PyObject* imported_attribute(PyObject*& slot, const char* module, const char* name);

// True in the main interpreter. In any other (a subinterpreter) sets ImportError naming
// `module_name` and returns false.
bool check_main_interpreter(const char* module_name);

}  // namespace brindle::py
