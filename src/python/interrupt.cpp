// The interrupt hook of every native call, and PyPy's SIGINT takeover (see interrupt.hpp).
#include "python/interrupt.hpp"

#include <Python.h>

#include "core/cancel.hpp"

#if defined(BRINDLE_SIGINT_TAKEOVER)
#include <signal.h>

#include <csignal>

#include "python/pyref.hpp"
#include "python/state.hpp"
#endif

namespace brindle::py {

#if defined(BRINDLE_SIGINT_TAKEOVER)
namespace {

volatile std::sig_atomic_t sigint_seen = 0;

extern "C" void note_sigint(int) {
    sigint_seen = 1;
}

// The takeover in force, if any. Only touched with the interpreter lock held, on the main thread.
struct Takeover {
    bool active = false;
    int depth = 0;             // the CallScope depth that installed it, and that releases it
    unsigned long thread = 0;  // the thread that installed it (the main thread)
    struct sigaction previous {};
};

Takeover takeover;
// Calls under way on this thread. Per thread, because calls of brindle_search._native release the
// interpreter lock, so that calls of other threads start and end while one of the main thread runs.
thread_local int call_depth = 0;

// Puts the interpreter's handler back; a SIGINT seen meanwhile and not yet acted on is raised
// again, so that the interpreter's handler receives it.
void release_takeover(bool redeliver) {
    sigaction(SIGINT, &takeover.previous, nullptr);
    takeover.active = false;
    if (sigint_seen != 0) {
        sigint_seen = 0;
        if (redeliver) std::raise(SIGINT);
    }
}

bool on_main_thread() {
    ProcessState& state = process_state();
    if (state.main_thread_ident == 0) {
        PyObject* main_thread =
            imported_attribute(state.threading_main_thread, "threading", "main_thread");
        if (main_thread == nullptr) return false;
        PyRef thread = PyRef::steal(PyObject_CallNoArgs(main_thread));
        if (!thread) return false;
        PyRef ident = PyRef::steal(PyObject_GetAttrString(thread.get(), "ident"));
        if (!ident) return false;
        state.main_thread_ident = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) return false;
    }
    // PyPy declares the identifier as a signed long.
    return static_cast<unsigned long>(PyThread_get_thread_ident()) == state.main_thread_ident;
}

// Whether SIGINT's Python-level handler is signal.default_int_handler; -1 with an exception set
// when that cannot be found out.
int default_handler_in_place() {
    ProcessState& state = process_state();
    PyObject* getsignal = imported_attribute(state.signal_getsignal, "signal", "getsignal");
    PyObject* default_handler = getsignal ? imported_attribute(state.signal_default_int_handler,
                                                               "signal", "default_int_handler")
                                          : nullptr;
    if (default_handler == nullptr) return -1;
    PyRef number = PyRef::steal(PyLong_FromLong(SIGINT));
    if (!number) return -1;
    PyRef handler = PyRef::steal(PyObject_CallOneArg(getsignal, number.get()));
    if (!handler) return -1;
    return handler.get() == default_handler ? 1 : 0;
}

void take_over_sigint() {
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) != 0) return;
    if (current.sa_handler == SIG_IGN || current.sa_handler == SIG_DFL) return;
    if (!on_main_thread()) {
        PyErr_Clear();  // not knowing is not taking over
        return;
    }
    struct sigaction ours {};
    ours.sa_handler = note_sigint;
    sigemptyset(&ours.sa_mask);
    sigint_seen = 0;
    if (sigaction(SIGINT, &ours, &takeover.previous) != 0) return;
    takeover.active = true;
    takeover.depth = call_depth;
    takeover.thread = static_cast<unsigned long>(PyThread_get_thread_ident());
}

// Whether the takeover in force belongs to this thread: only its own calls act on it.
bool own_takeover() {
    return takeover.active &&
           takeover.thread == static_cast<unsigned long>(PyThread_get_thread_ident());
}

}  // namespace

CallScope::CallScope() noexcept {
    ++call_depth;
}

CallScope::~CallScope() {
    if (own_takeover() && takeover.depth == call_depth) release_takeover(true);
    --call_depth;
}

void check_signals_hook(void*) {
    if (PyErr_CheckSignals() < 0) throw Interrupted{};
    if (call_depth == 0) return;  // a hook run outside any call (tests of the core)
    if (!takeover.active) {
        take_over_sigint();
        return;
    }
    if (sigint_seen == 0 || !own_takeover()) return;
    const int is_default = default_handler_in_place();
    if (is_default == 1) {
        release_takeover(false);
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw Interrupted{};
    }
    if (is_default < 0) PyErr_Clear();
    release_takeover(true);  // the program's own handler runs when the call returns
}

#else

void check_signals_hook(void*) {
    if (PyErr_CheckSignals() < 0) throw Interrupted{};
}

#endif

}  // namespace brindle::py
