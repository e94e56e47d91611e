"""Workload for LeakSanitizer (scripts/test-sanitizers): every function and
every failure path of the boundary, a few hundred calls each, and calls of
every list function ended by a signal handler, in a process that then exits. Leaks whose allocation stack passes through the module are
reported by the sanitizer; the interpreter's own exit-time leaks are not ours.

Usage: python tests/fuzz/leak_workload.py [ROUNDS]
"""
import array
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import test_interrupt as I  # noqa: E402 - the list functions and their arguments
import test_robustness as T  # noqa: E402 - the leak cases of the test suite


def interrupted_calls(rounds):
    """Calls stopped by a handler raising from SIGALRM, after the first chunks."""
    def stop(signum, frame):
        raise I.Stop()

    separations = array.array("d", I.PATTERN) * 2000
    previous = signal.signal(signal.SIGALRM, stop)
    stopped = 0
    try:
        for _ in range(rounds):
            for name in I.LIST_FUNCTIONS:
                signal.setitimer(signal.ITIMER_REAL, 0.005)
                try:
                    I.call(name, separations)
                except I.Stop:
                    stopped += 1
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    return stopped


def fspl_calls(rounds):
    """kalvorin_fspl: every law, arrays and scalars, its error paths and calls
    ended by a signal handler."""
    import numpy as np

    import kalvorin_fspl as kf

    def stop(signum, frame):
        raise I.Stop()

    laws = [kf.Uniform(), kf.Linear(0.4), kf.Table([0.0, 0.5, 0.5, 1.0], [1.0, 0.8, 0.6, 0.3])]
    u = np.linspace(0.0, 0.3, 200)
    calls = 0
    for _ in range(rounds):
        for law in laws:
            kf.magnification(u, 0.1, law)
            kf.magnification(u[:, None], np.array([0.0, 0.05, 0.1]), law)
            kf.magnification(0.05, 0.1, law)
            kf.light_curve(u, 0.1, 0.01, 1.0, 0.1, law)
            for bad in ([0.1, np.nan], -1.0, [1j]):
                try:
                    kf.magnification(bad, 0.1, law)
                except (ValueError, TypeError):
                    pass
            calls += 7
    previous = signal.signal(signal.SIGALRM, stop)
    try:
        for _ in range(max(rounds // 20, 1)):
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            try:
                kf.magnification(np.resize(u, 200_000), 0.1, laws[1])
            except I.Stop:
                pass
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    return calls


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)  # the assertion reports of the panic cases
    try:
        made = T.run_cases(T.leak_cases(), rounds)
    finally:
        os.dup2(stderr, 2)
    stopped = interrupted_calls(max(rounds // 20, 1))
    fspl = fspl_calls(max(rounds // 10, 1))
    print(f"leak workload: {made} calls, {stopped} interrupted; kalvorin_fspl: {fspl} calls")


if __name__ == "__main__":
    main()
