// Running the core with the interpreter lock released, so that other Python threads run while a
// long edit or ranking works.
//
// `without_gil(release, work)` runs `work` (core code only: it must not touch any Python object)
// after releasing the lock when `release` is true, and takes the lock back before it returns or
// throws. The caller converts its arguments into views and C++ values before, and builds Python
// results after, with the lock held; the views point into str objects that the caller's arguments
// keep alive, and str objects never change.
//
// Ctrl-C: the core polls its interrupt hook about once a millisecond. Signal handlers only ever run
// on the main thread, so on any other thread the hook does nothing. On the main thread it takes the
// lock back at most once per `kSignalCheckInterval` to run the usual signal check (which may throw
// `Interrupted` with the lock held) and releases it again; taking the lock back more often would
// make the call wait for the other threads at every poll.
#pragma once

#include <chrono>
#include <cstddef>

#include "core/cancel.hpp"
#include "python/interrupt.hpp"
#include "python/pyref.hpp"

namespace brindle::py {

// Calls whose inputs are smaller than this keep the lock: they take microseconds, less than
// waiting for the lock again when another thread has taken it meanwhile.
inline constexpr std::size_t kReleaseBytes = std::size_t{32} << 10;

inline constexpr std::chrono::milliseconds kSignalCheckInterval{20};

// Whether the calling thread is the interpreter's main thread (the one that runs signal handlers).
// Needs the lock; false, with no exception left set, when that cannot be found out.
bool on_main_thread_now();

class ReleasedGil {
public:
    explicit ReleasedGil(bool main_thread) noexcept
        : main_thread_(main_thread),
          last_check_(std::chrono::steady_clock::now()),
          state_(PyEval_SaveThread()) {}
    ~ReleasedGil() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // The interrupt hook while the lock is released; `context` is the ReleasedGil.
    static void poll(void* context) {
        auto* self = static_cast<ReleasedGil*>(context);
        if (!self->main_thread_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - self->last_check_ < kSignalCheckInterval) return;
        self->last_check_ = now;
        PyEval_RestoreThread(self->state_);
        self->state_ = nullptr;       // held: an exception thrown below leaves it held
        check_signals_hook(nullptr);  // may throw Interrupted, with the exception set
        self->state_ = PyEval_SaveThread();
    }

private:
    bool main_thread_;
    std::chrono::steady_clock::time_point last_check_;
    PyThreadState* state_;
};

template <class F>
auto without_gil(bool release, F&& work) -> decltype(work()) {
    if (!release) return work();
    ReleasedGil released(on_main_thread_now());
    ScopedInterruptHook hook(&ReleasedGil::poll, &released);
    return work();
}

}  // namespace brindle::py
