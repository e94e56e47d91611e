"""Workload for LeakSanitizer (scripts/test-sanitizers): every function and
every failure path of the boundary, a few hundred calls each, in a process
that then exits. Leaks whose allocation stack passes through the module are
reported by the sanitizer; the interpreter's own exit-time leaks are not ours.

Usage: python tests/fuzz/leak_workload.py [ROUNDS]
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import test_robustness as T  # noqa: E402 - the leak cases of the test suite


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)  # the assertion reports of the panic cases
    try:
        made = T.run_cases(T.leak_cases(), rounds)
    finally:
        os.dup2(stderr, 2)
    print(f"leak workload: {made} calls")


if __name__ == "__main__":
    main()
