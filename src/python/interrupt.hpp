// Ctrl-C during long native calls.
//
// Every call runs with `check_signals_hook` installed as the core's interrupt hook (see
// core/cancel.hpp), and inside a `CallScope`. On CPython the hook runs the pending signal handlers:
// Ctrl-C raises KeyboardInterrupt there, and the hook throws `Interrupted` so that the core
// abandons its work and the call returns with that exception.
//
// PyPy's signal handler only sets a flag that its bytecode loop reads, so inside a native call
// PyErr_CheckSignals reports nothing. There, once a call on the main thread has run long enough for
// the hook to run, the hook takes SIGINT over with a handler of its own until the call ends:
//   - if SIGINT arrives and the program's handler is still the default one (the one that raises
//     KeyboardInterrupt), the call raises KeyboardInterrupt itself, as the interpreter would;
//   - otherwise the signal is handed back to the interpreter (re-raised after its handler is
//     restored), whose handler then runs when the call returns, as it would have without us.
// A SIGINT ignored or left at its system default is never taken over. (POSIX systems only: the
// takeover needs sigaction.)
#pragma once

#include <Python.h>  // defines PYPY_VERSION on PyPy

#if defined(PYPY_VERSION) && (defined(__unix__) || defined(__APPLE__))
#define BRINDLE_SIGINT_TAKEOVER 1
#endif

namespace brindle::py {

void check_signals_hook(void* context);

#if defined(BRINDLE_SIGINT_TAKEOVER)
class CallScope {
public:
    CallScope() noexcept;
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};
#else
class CallScope {};
#endif

}  // namespace brindle::py
