#!/usr/bin/env python3
"""Time of every list function in two builds of the module, side by side.

    python benchmarks/build_compare.py BASE_DIR NEW_DIR [--rounds N]

BASE_DIR and NEW_DIR are directories holding a built module (for example a
copy of build/dev made before a change, and build/dev after it). Each round
times every function once in each build, in separate processes that
alternate, so that slow drifts of a noisy machine hit both alike. The
workloads are the light curves of benchmarks/bench.py (1000 points,
u0 = 0.5 rho, tau from -10 rho to 10 rho, rho = 1e-3 ... 1, the same tables);
each sample is the best of a few passes over the four curves. Printed: the
median over the rounds of each build's time per point, and the median of
the per-round ratios NEW / BASE.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

WORKER = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import reference as ref
import kalvorin as K
curves = []
for rho in [1e-3, 1e-2, 0.1, 1.0]:
    tau = np.linspace(-10 * rho, 10 * rho, 1000)
    u = np.sqrt((0.5 * rho) ** 2 + tau * tau)
    curves.append(((u / rho).tolist(), rho))
calls = {
    "witt_mao_magnification": lambda l, rho: K.witt_mao_magnification(l, 1.0, rho),
    "integrated_heyrovsky_magnification": lambda l, rho: K.integrated_heyrovsky_magnification(l, 1.0, rho),
    "integrated_witt_mao_magnification": lambda l, rho: K.integrated_witt_mao_magnification(l, 1.0, rho),
    "integrated_flux_map_heyrovsky_magnification": lambda l, rho: K.integrated_flux_map_heyrovsky_magnification(
        l, 1.0, rho, ref.TAB_BL, ref.TAB_BF),
    "integrated_flux_map_witt_mao_magnification": lambda l, rho: K.integrated_flux_map_witt_mao_magnification(
        l, 1.0, rho, ref.TAB_BL, ref.TAB_BF),
    "discrete_flux_map_heyrovsky_magnification": lambda l, rho: K.discrete_flux_map_heyrovsky_magnification(
        l, 1.0, rho, ref.RINGS_BL, ref.RINGS_BF),
}
out = {}
for name, call in calls.items():
    passes = 20 if name in ("witt_mao_magnification", "discrete_flux_map_heyrovsky_magnification") else 3
    best = float("inf")
    for _ in range(passes):
        t = time.perf_counter()
        for l, rho in curves:
            call(l, rho)
        best = min(best, time.perf_counter() - t)
    out[name] = best / 4000
print(json.dumps(out))
"""


def sample(module_dir):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(module_dir))
    proc = subprocess.run([sys.executable, "-c", WORKER, HERE], env=env, capture_output=True, text=True,
                          check=True)
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("base")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    base, new = [], []
    for r in range(args.rounds):
        # alternate which build goes first
        if r % 2:
            new.append(sample(args.new))
            base.append(sample(args.base))
        else:
            base.append(sample(args.base))
            new.append(sample(args.new))
        print(f"round {r + 1}/{args.rounds}", file=sys.stderr)
    print(f"{'function':48} {'base µs/pt':>11} {'new µs/pt':>11} {'new/base':>9}")
    for name in base[0]:
        b = statistics.median(s[name] for s in base)
        n = statistics.median(s[name] for s in new)
        ratio = statistics.median(y[name] / x[name] for x, y in zip(base, new))
        print(f"{name:48} {b * 1e6:11.4f} {n * 1e6:11.4f} {ratio:9.4f}")


if __name__ == "__main__":
    main()
