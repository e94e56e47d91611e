// Signal checks between the chunks of a computation without the GIL.
#include "lib/interruptible.hpp"

namespace kalvorin {

// The first poll checks: it comes after the first chunk, which takes about a
// millisecond (and a short list is one chunk, without polls).
SignalCheckpoint::SignalCheckpoint() noexcept : saved_(PyEval_SaveThread()), next_check_() {}

SignalCheckpoint::~SignalCheckpoint() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
}

bool SignalCheckpoint::poll() noexcept {
    const Clock::time_point asked = Clock::now();
    if (asked < next_check_) return true;
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
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
