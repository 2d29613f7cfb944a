// The boundary between the interpreter and C++: every entry point runs inside `guard`, which turns
// any C++ exception escaping from the core or the converters into a Python exception, so that no
// fault can cross into the interpreter as a crash: std::bad_alloc becomes MemoryError, an
// interruption leaves the signal handler's exception in place, anything else is an internal fault
// and becomes PanicException.
#pragma once

#include <string_view>
#include <type_traits>

#include "core/cancel.hpp"
#include "python/interrupt.hpp"
#include "python/pyref.hpp"

namespace brindle::py {

// Raises PanicException(message). The class is created on first use and lives for the process.
void raise_panic(std::string_view message);

// Called when a C++ exception reaches the boundary: sets the Python exception for it.
void handle_exception_at_boundary() noexcept;

// Runs `body` (which returns PyObject* or int) and converts escaping exceptions. The failure value
// (nullptr or -1) always comes with a Python exception set. Long core loops inside `body` poll for
// pending signals, so a long call ends promptly on Ctrl-C (interrupt.hpp).
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
    try {
        [[maybe_unused]] CallScope call;
        ScopedInterruptHook interrupt_hook(&check_signals_hook, nullptr);
        return body();
    } catch (...) {
        handle_exception_at_boundary();
        if constexpr (std::is_pointer_v<decltype(body())>) {
            return nullptr;
        } else {
            return -1;
        }
    }
}

}  // namespace brindle::py
