// Signal checks between the chunks of a computation without the GIL.
#include "lib/interruptible.hpp"

#include <chrono>
#include <exception>
#include <thread>
#include <utility>

namespace kalvorin {

// The first check comes CHECK_SPACING after the start: the first chunks are
// short, and the polls after them cost a clock reading only.
SignalCheckpoint::SignalCheckpoint() noexcept
    : saved_(PyEval_SaveThread()), next_check_(Clock::now() + CHECK_SPACING) {}

// saved_ is cleared before the GIL is asked for: when the thread is ended
// there, the unwind must not ask for it again.
KALVORIN_CATCHES_FORCED_UNWIND SignalCheckpoint::~SignalCheckpoint() noexcept(false) {
    PyThreadState* const saved = std::exchange(saved_, nullptr);
    if (saved == nullptr) return;
    try {
        PyEval_RestoreThread(saved);
    } catch (ForcedUnwind&) {
        // Already unwinding for another exception: a second one would end
        // the process.
        if (std::uncaught_exceptions() > 0) block_thread_forever();
        throw;
    }
}

void block_thread_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool SignalCheckpoint::poll() {
    const Clock::time_point asked = Clock::now();
    if (asked < next_check_) return true;
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
    const Clock::time_point held = Clock::now();
    // Handlers run only on the main thread; elsewhere this returns 0 at once.
    if (PyErr_CheckSignals() != 0) return false;
    saved_ = PyEval_SaveThread();
    // Taking the GIL costs about a microsecond when no other thread wants it,
    // but up to the interpreter's switch interval (5 ms by default) while
    // another thread runs Python code. The next check is put off so that such
    // waits stay a small fraction of the computation.
    const Clock::time_point now = Clock::now();
    next_check_ = now + std::max(CHECK_SPACING, (held - asked) * WAIT_SHARE);
    return true;
}

}  // namespace kalvorin
