// Cooperative interruption of long computations.
//
// The core has no idea of signals or of Python. A host that wants long calls to be interruptible
// (the binding layer checks for Ctrl-C) installs a hook for the current thread; the core's long
// loops call `poll_interrupt()` every so often. The hook may throw any exception (the binding
// layer throws `Interrupted` when a signal handler raised); the exception unwinds the core call,
// which therefore must leave any long-lived state (the streaming matcher) exactly as before the
// call. Tests install a hook that throws `std::bad_alloc` at a chosen poll to check exactly that.
//
// Cost: a poll is a thread-local counter decrement; the hook runs once per `kPollInterval` units
// of work, where a unit is roughly one cheap inner-loop step (a line, a 64-cell word, a window).
#pragma once

#include <cstdint>
#include <optional>

namespace brindle {

// Thrown by a host's hook to abandon a computation; the host already knows why (for Python, the
// pending exception is set) and only needs the stack unwound.
struct Interrupted {};

// Called with `context` from inside long computations; may throw.
using InterruptHook = void (*)(void* context);

// Installs `hook` for the current thread for the lifetime of this object, restoring the previous
// hook afterwards. A null hook disables polling.
class ScopedInterruptHook {
public:
    ScopedInterruptHook(InterruptHook hook, void* context) noexcept;
    ~ScopedInterruptHook();
    ScopedInterruptHook(const ScopedInterruptHook&) = delete;
    ScopedInterruptHook& operator=(const ScopedInterruptHook&) = delete;

private:
    InterruptHook previous_hook_;
    void* previous_context_;
};

namespace detail {
struct InterruptState {
    InterruptHook hook = nullptr;
    void* context = nullptr;
    std::int64_t budget = 0;  // units left before the hook runs again
};
extern thread_local InterruptState interrupt_state;
void run_interrupt_hook();
}  // namespace detail

// Units of work between two calls of the hook (about a millisecond of the cheapest loops).
inline constexpr std::int64_t kPollInterval = 1 << 16;

// Accounts for `units` of work and runs the hook when the budget is used up. Cheap enough to call
// once per line or per word of a bit-parallel loop.
inline void poll_interrupt(std::int64_t units = 1) {
    detail::InterruptState& state = detail::interrupt_state;
    state.budget -= units;
    if (state.budget < 0) detail::run_interrupt_hook();
}

// Thrown by the hook of run_with_work_budget when the budget is used up, or by a computation
// inside one that can tell in advance that its next step will not fit in what is left
// (work_budget_left), rather than spend the rest on the step and end the same way.
struct WorkBudgetExhausted {};

namespace detail {
struct WorkBudget {
    InterruptHook previous;  // the hook installed before, still called at every poll interval
    void* previous_context;
    std::int64_t left;  // units of work left
};
void work_budget_hook(void* context);
}  // namespace detail

// Runs f() with about `units` units of polled work allowed (counted in steps of kPollInterval),
// and abandons it (by throwing WorkBudgetExhausted from a poll, as an interrupt would) when they
// are used up. A hook installed before keeps being called, so Ctrl-C still ends the call. Returns
// false when f() was abandoned; f() then returned no answer, so what it would have answered
// within the budget is never replaced by a partial one.
template <class F>
bool run_with_work_budget(std::int64_t units, F&& f) {
    detail::WorkBudget budget{detail::interrupt_state.hook, detail::interrupt_state.context, units};
    try {
        ScopedInterruptHook hook(&detail::work_budget_hook, &budget);
        f();
    } catch (const WorkBudgetExhausted&) {
        return false;
    }
    return true;
}

// The units of work left to the innermost run_with_work_budget running on this thread: the budget
// given less a whole kPollInterval for each time its hook ran and less the units polled since.
// Nothing outside one.
std::optional<std::int64_t> work_budget_left();

}  // namespace brindle
