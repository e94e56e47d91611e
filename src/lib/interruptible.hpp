// Long computations over lists, interruptible by signals.
//
// A list is computed without the GIL, in consecutive chunks of separations:
// the model is called on each chunk in turn and the values are appended in
// order. Between chunks the GIL is taken for a moment to run the handlers of
// pending signals (PyErr_CheckSignals; the interpreter runs them on its main
// thread only, elsewhere the call returns at once); when a handler raises
// (KeyboardInterrupt for Ctrl-C, or any exception of a Python-level
// handler), the call ends with that exception and no result.
//
// The models compute each value from its own separation only, so the values
// do not depend on how the list is cut. Chunks are sized from the time the
// previous one took, so that signals are noticed every few milliseconds
// whatever a separation costs.
#pragma once

#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "lib/models.hpp"

namespace kalvorin {

// Releases the GIL for its lifetime (reacquired on every exit, also when an
// exception propagates) and checks for pending signals when asked.
//
// A daemon thread that asks for the GIL while the interpreter finalizes is
// ended inside PyEval_RestoreThread by pthread_exit, which with glibc unwinds
// the stack (abi::__forced_unwind). The functions that retake the GIL let
// that unwind pass (they are not noexcept); callers must not stop it either
// (see ForcedUnwind).
class SignalCheckpoint {
public:
    SignalCheckpoint() noexcept;
    ~SignalCheckpoint() noexcept(false);
    SignalCheckpoint(const SignalCheckpoint&) = delete;
    SignalCheckpoint& operator=(const SignalCheckpoint&) = delete;

    // Called between chunks, without the GIL. At most every CHECK_SPACING
    // takes the GIL and runs the handlers of pending signals. Returns false
    // when a handler raised: the exception is set and the GIL stays held
    // from then on.
    bool poll();

private:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration CHECK_SPACING = std::chrono::milliseconds(1);
    // After a check that waited w for the GIL, the next one comes no earlier
    // than WAIT_SHARE·w later: waiting stays below 1/WAIT_SHARE of the time.
    static constexpr int WAIT_SHARE = 20;

    PyThreadState* saved_;  // nullptr while the GIL is held
    Clock::time_point next_check_;
};

// The exception type of a thread's forced unwind, where the C++ library has
// one: a `catch (...)` on its way must rethrow it (glibc aborts otherwise).
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};  // never thrown
#endif

// A forced unwind has no exception object: its handler binds the reference
// to null, which UBSan's null check would report. For functions with one.
#if defined(__GNUC__) || defined(__clang__)
#define KALVORIN_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define KALVORIN_CATCHES_FORCED_UNWIND
#endif

// For callers whose own callers stop every exception (nanobind's entry
// points): the thread, ended by the interpreter's finalization, stays blocked
// here instead, as the interpreter's own threads do from Python 3.14 on. It
// holds no GIL and touches nothing; the process exits around it.
[[noreturn]] void block_thread_forever() noexcept;

// The outcome of a chunked computation.
struct ChunkedResult {
    std::vector<double> values;
    const char* failure = nullptr;  // a model failure: its message
    bool interrupted = false;       // a signal handler raised; its exception is set

    bool ended() const noexcept { return interrupted || failure != nullptr; }
};

// Time one chunk should take: long enough that the per-call set-up of a
// model (for a tabulated profile, the quadrature of its flux) is a small
// fraction of it, short enough that signals are noticed within ~10 ms.
inline constexpr std::chrono::microseconds CHUNK_TIME{5000};

// Size of the next chunk, from the size and the duration of the last one:
// scaled towards CHUNK_TIME, growing at most fourfold per chunk.
inline std::size_t next_chunk_size(std::size_t size, std::chrono::steady_clock::duration took) noexcept {
    const double seconds = std::chrono::duration<double>(took).count();
    const double target = std::chrono::duration<double>(CHUNK_TIME).count();
    const double grown = static_cast<double>(size) * 4.0;
    const double scaled = seconds > 0.0 ? static_cast<double>(size) * (target / seconds) : grown;
    return static_cast<std::size_t>(std::max(1.0, std::min(scaled, grown)));
}

// Size of the second chunk, from the time the first, of one separation and
// the model's set-up, took: what fills CHUNK_TIME at that cost, at most
// `first_chunk`.
inline std::size_t size_after_probe(std::size_t first_chunk, std::chrono::steady_clock::duration took) noexcept {
    const double seconds = std::chrono::duration<double>(took).count();
    const double target = std::chrono::duration<double>(CHUNK_TIME).count();
    const double wanted = seconds > 0.0 ? target / seconds : static_cast<double>(first_chunk);
    return static_cast<std::size_t>(std::max(1.0, std::min(wanted, static_cast<double>(first_chunk))));
}

// Separations that may cost far more than the others (input outside the
// physical domain, which the integrations serve by tanh-sinh quadrature):
// `per_chunk` of them at most go into one chunk, whatever its size, so that
// a chunk sized from cheap separations stays short when such ones follow.
struct CostlyLimit {
    std::size_t per_chunk = static_cast<std::size_t>(-1);  // no limit
    bool all = false;                                       // every separation is one
    bool costly(double l) const noexcept { return all || !(l >= 0.0 && l < HUGE_VAL); }
};

// Calls `model` (std::vector<double> -> ListResult) on consecutive chunks of
// `l` and concatenates the values. The first failure of a chunk ends the
// computation with that failure (the chunks are computed in order, so it is
// the failure of the first failing separation). An empty list is passed to
// the model once, so that its checks of the other arguments still run.
// The first chunk is one separation, timed: the cost of a separation depends
// on the input by orders of magnitude. The second has as many as take about
// CHUNK_TIME at that cost, at most `first_chunk` (as many as surely take
// well under CHUNK_TIME on physical input); later ones are sized from the
// time the previous one took, within `limit`.
// Without `keep_values` only the outcome is wanted: no values are kept.
template <class Model>
ChunkedResult compute_in_chunks(const std::vector<double>& l, SignalCheckpoint& checkpoint, Model&& model,
                                std::size_t first_chunk, bool keep_values = true, CostlyLimit limit = {}) {
    ChunkedResult out;
    if (l.empty()) {
        ListResult part = model(std::vector<double>());
        out.failure = part.failure;
        return out;
    }
    if (keep_values) out.values.reserve(l.size());
    std::size_t begin = 0, size = 1;
    while (begin < l.size()) {
        size = std::min(size, l.size() - begin);
        if (limit.per_chunk < size) {
            std::size_t count = 0;
            for (std::size_t i = begin; i < begin + size; ++i)
                if (limit.costly(l[i]) && ++count > limit.per_chunk) {
                    size = std::max<std::size_t>(i - begin, 1);
                    break;
                }
        }
        const auto start = std::chrono::steady_clock::now();
        ListResult part = model(std::vector<double>(l.begin() + static_cast<std::ptrdiff_t>(begin),
                                                    l.begin() + static_cast<std::ptrdiff_t>(begin + size)));
        const auto took = std::chrono::steady_clock::now() - start;
        if (part.failed()) return ChunkedResult{{}, part.failure, false};
        if (keep_values) out.values.insert(out.values.end(), part.values.begin(), part.values.end());
        const bool probe = begin == 0;
        begin += size;
        if (begin < l.size() && !checkpoint.poll()) return ChunkedResult{{}, nullptr, true};
        size = probe ? size_after_probe(std::max<std::size_t>(first_chunk, 1), took) : next_chunk_size(size, took);
    }
    return out;
}

}  // namespace kalvorin
