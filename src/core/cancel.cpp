// The per-thread interrupt hook polled by long computations (see cancel.hpp).
#include "core/cancel.hpp"

namespace brindle {

namespace detail {

thread_local InterruptState interrupt_state;

void run_interrupt_hook() {
    InterruptState& state = interrupt_state;
    state.budget = kPollInterval;
    if (state.hook != nullptr) state.hook(state.context);
}

void work_budget_hook(void* context) {
    auto* budget = static_cast<WorkBudget*>(context);
    if (budget->previous != nullptr) budget->previous(budget->previous_context);
    budget->left -= kPollInterval;
    if (budget->left < 0) throw WorkBudgetExhausted{};
}

}  // namespace detail

std::optional<std::int64_t> work_budget_left() {
    const detail::InterruptState& state = detail::interrupt_state;
    if (state.hook != &detail::work_budget_hook) return std::nullopt;
    // `left` is charged a whole interval at each poll that runs the hook; the units polled since
    // are kPollInterval - state.budget.
    const auto* budget = static_cast<const detail::WorkBudget*>(state.context);
    return budget->left - (kPollInterval - state.budget);
}

ScopedInterruptHook::ScopedInterruptHook(InterruptHook hook, void* context) noexcept
    : previous_hook_(detail::interrupt_state.hook), previous_context_(detail::interrupt_state.context) {
    detail::interrupt_state.hook = hook;
    detail::interrupt_state.context = context;
    detail::interrupt_state.budget = kPollInterval;
}

ScopedInterruptHook::~ScopedInterruptHook() {
    detail::interrupt_state.hook = previous_hook_;
    detail::interrupt_state.context = previous_context_;
}

}  // namespace brindle
