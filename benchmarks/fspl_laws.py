#!/usr/bin/env python3
"""Cost and accuracy of kalvorin_fspl's limb-darkening laws: against Linear, the peer's laws and tables.

Usage:  PYTHONPATH=build/dev python3 benchmarks/fspl_laws.py [--quick] [--repeats N] [--no-write]

Figures, one thread, all measured in the same run (writes
benchmarks/FSPL_LAWS_RESULTS.md unless --no-write):

1. Each law against Linear(0.6) on the whole-event curves of
   benchmarks/whole_event.py (2000 points, t from -2 tE to 2 tE, u0 = 0.5 rho,
   rho = 1e-3, 1e-2) and on the crossing curves of benchmarks/bench.py (1000
   points, tau from -10 rho to 10 rho, u0 = 0.5 rho, rho = 1e-3 ... 1):
   kalvorin_fspl.light_curve, the ratio of each law's time to Linear's.
2. The quadratic, square-root and logarithmic laws against the peer's same
   laws (VBMicrolensing, SetLDprofile with a1, a2, default tolerance) on the
   crossing curves: time ratio, and the largest relative error of both
   against mpmath at the reference points of bench.py (every 25th point and
   the 10 nearest the limb crossing).
3. A profile tabulated at n radii r = sin(theta), theta evenly spaced
   (kalvorin_fspl.Table): the quadratic law as a table, against the law
   itself on the crossing curves, time ratio and largest relative error at
   the same reference points.

The mpmath values come from tests/reference/gen_fspl_laws_reference.py's
basis integrals (tanh-sinh in r below 3/4 and in s, mu = s^2, above, split at
the lens), at REF_DPS digits, a few seconds per curve.

Timing: CPU time of the calling thread (time.thread_time: every case is
single-threaded, and the machine is shared, so that wall time would count
other work), interleaved rounds (the order rotated each round), each sample a
loop of at least 20 ms; ratios are medians over the rounds of the ratio
within a round (benchmarks/fspl.py's `interleaved`).
"""

import datetime
import math
import os
import platform
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "reference"))

import bench  # noqa: E402
import fspl  # noqa: E402
import whole_event  # noqa: E402

import kalvorin_fspl as kf  # noqa: E402

RESULTS = os.path.join(HERE, "FSPL_LAWS_RESULTS.md")
REF_DPS, REF_DEGREE = 30, 7
TARGET_LAW, TARGET_PEER = 1.3, 1.0

# The first coefficient set of each law in the mpmath table (typical values).
LAWS = {
    "Quadratic": (0.4, 0.25),
    "SquareRoot": (0.2, 0.5),
    "Logarithmic": (0.6, 0.2),
    "Power2": (0.6, 0.5),
    "Claret": (0.5, 0.1, 0.3, -0.15),
}
PEER_PROFILE = {"Quadratic": "LDquadratic", "SquareRoot": "LDsquareroot", "Logarithmic": "LDlog"}
TABLE_SIZES = (11, 21, 41, 81, 161)


def law(name):
    return getattr(kf, name)(*LAWS[name])


def theta_table(name, n):
    """The law sampled at r = sin(theta), theta = j pi / (2 (n - 1))."""
    r = np.sin(0.5 * np.pi * np.arange(n) / (n - 1))
    r[0], r[-1] = 0.0, 1.0
    return kf.Table(r, law(name).profile(r))


def peer(name):
    import VBMicrolensing
    v = VBMicrolensing.VBMicrolensing()
    v.SetLDprofile(getattr(v, PEER_PROFILE[name]))
    v.a1, v.a2 = LAWS[name]
    v.Tol, v.RelTol = bench.VBM_DEFAULT
    return v


# ------------------------------------------------------------------ references

def reference(names, u, rho):
    """{law: mpmath A at each separation u (Einstein radii)} for the laws named."""
    import gen_fspl_laws_reference as g
    keys = []
    with g.mp.workdps(REF_DPS):
        for name in names:
            keys += [b for b, _ in g.law_terms(name, LAWS[name]) if b not in keys]
    out = {name: [] for name in names}
    for x in u:
        n = g.basis_integrals(float(x), rho, rho, keys, dps=REF_DPS, maxdegree=REF_DEGREE)
        with g.mp.workdps(REF_DPS):
            for name in names:
                out[name].append(float(g.combine(name, LAWS[name], n)))
    return {name: np.array(v) for name, v in out.items()}


def worst(got, want):
    return float(np.max(np.abs(got / want - 1.0)))


# ------------------------------------------------------------------ 1. laws against Linear

def against_linear(repeats):
    curves = [("whole-event", rho, *whole_event.curve(rho)[:2]) for rho in whole_event.RHOS]
    curves += [("crossing", rho, np.array(bench.light_curve(rho).tau), 0.5 * rho) for rho in bench.RHOS]
    laws = {"Linear": kf.Linear(0.6)} | {name: law(name) for name in LAWS}
    rows, worst_ratio = [], {"whole-event": 0.0, "crossing": 0.0}
    by_law = {name: {"whole-event": [], "crossing": []} for name in LAWS}
    for kind, rho, t, u0 in curves:
        cases = {name: ((lambda lw=lw: kf.light_curve(t, 0.0, u0, 1.0, rho, lw)), len(t)) for name, lw in laws.items()}
        m = fspl.interleaved(cases, repeats, clock=time.thread_time)
        ratios = [m.ratio(name, "Linear") for name in LAWS]
        for name, r in zip(LAWS, ratios):
            by_law[name][kind].append(r)
        worst_ratio[kind] = max(worst_ratio[kind], *ratios)
        rows.append((kind, f"{rho:g}", fspl.us(m["Linear"])) + tuple(f"{r:.2f}" for r in ratios))
    return rows, worst_ratio, by_law


LINEAR_HEADER = ("curve", "rho", "Linear(0.6) us/pt") + tuple(f"{name}{LAWS[name]}/Linear" for name in LAWS)


# ------------------------------------------------------------------ 2. against the peer, 3. tables

def against_peer_and_tables(repeats):
    peer_rows, table_rows, worst_ratio = [], [], 0.0
    sums = {name: [0.0, 0.0] for name in PEER_PROFILE}  # time over the four curves: fspl, peer
    per_rho = {name: [] for name in PEER_PROFILE}  # (ratio, peer error) by rho
    table_err = {n: 0.0 for n in TABLE_SIZES}
    table_ratio = {n: [] for n in TABLE_SIZES}
    for rho in bench.RHOS:
        seg = bench.light_curve(rho)
        tau, u0 = np.array(seg.tau), seg.u0
        idx = bench.lc_reference_indices(seg)
        u = np.sqrt(u0 * u0 + tau * tau)
        want = reference(list(PEER_PROFILE), u[idx], rho)
        params, times = fspl.peer_params(u0, rho), list(seg.tau)
        laws = {name: law(name) for name in PEER_PROFILE}
        peers = {name: peer(name) for name in PEER_PROFILE}
        tables = {n: theta_table("Quadratic", n) for n in TABLE_SIZES}
        cases = {}
        for name in PEER_PROFILE:
            cases[name] = ((lambda lw=laws[name]: kf.light_curve(tau, 0.0, u0, 1.0, rho, lw)), len(tau))
            cases["peer " + name] = ((lambda v=peers[name]: v.ESPLLightCurve(params, times)[0]), len(tau))
        for n, tab in tables.items():
            cases[f"table {n}"] = ((lambda tab=tab: kf.light_curve(tau, 0.0, u0, 1.0, rho, tab)), len(tau))
        m = fspl.interleaved(cases, repeats, clock=time.thread_time)
        for name in PEER_PROFILE:
            ours = kf.light_curve(tau, 0.0, u0, 1.0, rho, laws[name])[idx]
            theirs = np.array(peers[name].ESPLLightCurve(params, times)[0])[idx]
            r = m.ratio(name, "peer " + name)
            worst_ratio = max(worst_ratio, r)
            per_rho[name].append((r, worst(theirs, want[name])))
            sums[name][0] += m[name] * len(tau)
            sums[name][1] += m["peer " + name] * len(tau)
            peer_rows.append((name, f"{rho:g}", fspl.us(m[name]), fspl.us(m["peer " + name]), f"{r:.2f}",
                              f"{worst(ours, want[name]):.1e}", f"{worst(theirs, want[name]):.1e}"))
        for n, tab in tables.items():
            table_err[n] = max(table_err[n], worst(kf.light_curve(tau, 0.0, u0, 1.0, rho, tab)[idx], want["Quadratic"]))
            table_ratio[n].append(m.ratio(f"table {n}", "Quadratic"))
    table_rows = [("largest relative error against mpmath",) + tuple(f"{table_err[n]:.1e}" for n in TABLE_SIZES)]
    for i, rho in enumerate(bench.RHOS):
        table_rows.append((f"time / Quadratic law, crossing rho = {rho:g}",)
                          + tuple(f"{table_ratio[n][i]:.2f}" for n in TABLE_SIZES))
    return peer_rows, worst_ratio, {name: a / b for name, (a, b) in sums.items()}, per_rho, table_rows


PEER_HEADER = ("law", "crossing rho", "fspl us/pt", "peer us/pt", "fspl/peer", "fspl max error", "peer max error")
TABLE_HEADER = ("Quadratic(0.4, 0.25) as a θ table of n points",) + tuple(f"n = {n}" for n in TABLE_SIZES)


# ------------------------------------------------------------------ output

SUMMARY_HEADER = ("law", "× Linear, whole event ρ = " + " / ".join(f"{r:g}" for r in whole_event.RHOS),
                  "× Linear, crossing (4 ρ)", "× peer's law, crossing", "× peer, the four curves",
                  "peer's max. error")


def main():
    args, repeats = fspl.options(__doc__, RESULTS)
    start = time.time()
    lin_rows, lin_worst, by_law = against_linear(repeats)
    print(f"  laws against Linear: done ({time.time() - start:.0f} s)", flush=True)
    peer_rows, peer_worst, peer_sum, per_rho, table_rows = against_peer_and_tables(repeats)
    slash = " / ".join
    summary_rows = []
    for name in LAWS:
        we, lc = by_law[name]["whole-event"], by_law[name]["crossing"]
        row = (f"`{name}{LAWS[name]}`", slash(f"{r:.2f}" for r in we), f"{min(lc):.2f} … {max(lc):.2f}")
        if name in PEER_PROFILE:
            row += (slash(f"{r:.2f}" for r, _ in per_rho[name]), f"{peer_sum[name]:.2f}",
                    slash(f"{e:.1e}" for _, e in per_rho[name]))
        else:
            row += ("", "", "")
        summary_rows.append(row)
    print(f"  peer and tables: done ({time.time() - start:.0f} s)", flush=True)
    summary = (f"Targets: each law ≤ {TARGET_LAW} × Linear: whole-event worst {lin_worst['whole-event']:.2f} "
               f"({fspl.verdict(lin_worst['whole-event'], TARGET_LAW)}), crossing worst {lin_worst['crossing']:.2f} "
               f"({fspl.verdict(lin_worst['crossing'], TARGET_LAW)}); quadratic, square-root, logarithmic ≤ "
               f"{TARGET_PEER} × the peer's on crossing curves: worst rho {peer_worst:.2f} "
               f"({fspl.verdict(peer_worst, TARGET_PEER)}); the four curves together (time summed over rho) "
               + ", ".join(f"{name} {r:.2f} ({fspl.verdict(r, TARGET_PEER)})" for name, r in peer_sum.items()) + ".")
    legend = (f"{repeats} interleaved rounds per curve, one thread, CPU time of the thread; ratios are medians of the ratio within a round. "
              f"peer = VBMicrolensing (SetLDprofile, a1 and a2 the law's coefficients, Tol = {bench.VBM_DEFAULT[0]:g}, "
              f"RelTol = {bench.VBM_DEFAULT[1]:g}), ESPLLightCurve on the same times. Errors against mpmath "
              f"({REF_DPS} digits) at the {len(bench.lc_reference_indices(bench.light_curve(1.0)))} reference "
              "points of each crossing curve.")
    body = "\n\n".join([
        "Summary (the peer's columns on the crossing curves at rho = "
        + slash(f"{rho:g}" for rho in bench.RHOS) + "):", fspl.markdown(SUMMARY_HEADER, summary_rows),
        "Each law against `Linear(0.6)` (`light_curve`, time ratio):", fspl.markdown(LINEAR_HEADER, lin_rows),
        "Against the peer's same laws on the crossing curves:", fspl.markdown(PEER_HEADER, peer_rows),
        "A profile as a table (`Table`, radii r = sin θ, θ evenly spaced), against the law it tabulates, over the "
        "four crossing curves:", fspl.markdown(TABLE_HEADER, table_rows), summary, legend])
    print(body)
    if not args.no_write:
        with open(RESULTS, "w") as fh:
            fh.write("# Benchmark: kalvorin_fspl's limb-darkening laws\n\n"
                     f"`{fspl.command(__file__)}`, {datetime.date.today()}, {platform.machine()}, Python "
                     f"{platform.python_version()}, kalvorin_fspl {kf.__version__}, {time.time() - start:.0f} s.\n\n"
                     + body + "\n")
        print(f"wrote {os.path.relpath(RESULTS, ROOT)}")


if __name__ == "__main__":
    main()
