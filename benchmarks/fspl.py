#!/usr/bin/env python3
"""Time and accuracy of kalvorin_fspl against VBMicrolensing and kalvorin's list functions.

Usage:  python benchmarks/fspl.py [--quick] [--repeats N] [--no-write]

With a development build:  PYTHONPATH=build/dev python3 benchmarks/fspl.py
(against an installed package: without PYTHONPATH).

Figures, one thread, all measured in the same run:

1. Whole-event light curves (benchmarks/whole_event.py: t from -2 tE to 2 tE,
   2000 points, u0 = 0.5 rho, rho = 1e-3 and 1e-2), Linear(0.6):
   kalvorin_fspl.light_curve (numpy in and out), the peer's vectorised
   ESPLLightCurve (a1 = 0.6, default tolerance) and
   kalvorin.integrated_heyrovsky_magnification on a list (u and l = u/rho in
   numpy, .tolist() and np.asarray of the result inside the timing).
2. Crossing light curves (benchmarks/bench.py: 1000 points, u0 = 0.5 rho,
   tau from -10 rho to 10 rho, rho = 1e-3, 1e-2, 0.1, 1): the same three, and
   kalvorin_fspl with Linear(0.3), Linear(0.53), Linear(0.8).
3. One point per call: kalvorin_fspl.magnification(float, float, law) over
   the points of a whole-event and of a crossing curve (rho = 1e-2), and the
   bare call at u = 1e3 for floats and a 1-element array; the peer's ESPLMag2.
4. Errors against mpmath: crossing curves at the reference points of
   bench.py (cached in benchmarks/reference_values.json), whole-event curves at
   the 49 points of whole_event.py (computed here, a few seconds). The
   reference covers the linear coefficient 0.6 only.

Timing: the cases of one table are run in interleaved rounds (the order
rotated each round), each sample a loop lasting at least MIN_SAMPLE seconds;
figures are medians over the rounds, ratios medians over the rounds of the
ratio within a round. The profile at the end splits the time into the
Python layer and the compiled layer (kalvorin_fspl._core), and the compute
by distance from the source.
"""

import argparse
import datetime
import gc
import json
import math
import os
import platform
import shlex
import shutil
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import bench  # noqa: E402
import reference as ref  # noqa: E402
import whole_event  # noqa: E402

import kalvorin  # noqa: E402
import kalvorin_fspl as kf  # noqa: E402
from kalvorin_fspl import _core  # noqa: E402

RESULTS = os.path.join(HERE, "FSPL_RESULTS.md")
U_LD = ref.LD_U  # 0.6, the coefficient the mpmath references use
OTHER_U = (0.3, 0.53, 0.8)
RHOS_WE = whole_event.RHOS  # 1e-3, 1e-2
RHOS_LC = bench.RHOS  # 1e-3, 1e-2, 0.1, 1
RHO_CALL = 1e-2
U_FAR = 1e3
MIN_SAMPLE = 0.02  # seconds per timing sample

TARGETS = {"we_peer": 0.5, "we_list": 0.7, "lc_peer": 0.75, "lc_law": 1.1, "call_us": 1.0}


# ------------------------------------------------------------------ timing

def interleaved(cases, repeats, min_sample=MIN_SAMPLE, clock=time.perf_counter):
    """Median seconds per point of each case over `repeats` rounds (a Medians).

    cases: {name: (fn, points per call)}. Each round runs every case once,
    as a loop of `number` calls sized from a pilot so that it lasts at least
    min_sample; the order rotates from round to round so that no case
    always follows the same neighbour. The garbage collector is off while
    timing (as in timeit). clock: wall time by default; time.thread_time
    counts only this thread's CPU time, which other work on a shared
    machine does not inflate (single-threaded cases only)."""
    names = list(cases)
    number = {}
    for name in names:
        fn, _ = cases[name]
        fn()  # warm-up: lazy tables, first-call costs
        t0 = clock()
        fn()
        one = max(clock() - t0, 1e-7)
        number[name] = max(1, math.ceil(min_sample / one))
    samples = {name: [] for name in names}
    gc_on = gc.isenabled()
    gc.disable()
    try:
        for r in range(repeats):
            for name in names[r % len(names):] + names[:r % len(names)]:
                fn, n = cases[name]
                k = number[name]
                t0 = clock()
                for _ in range(k):
                    fn()
                samples[name].append((clock() - t0) / (k * n))
    finally:
        if gc_on:
            gc.enable()
    return Medians(samples)


class Medians(dict):
    """Median seconds per point by case; ratio(a, b) is the median over the
    rounds of the ratio within a round (both cases timed moments apart, so
    that a change of the machine's load between rounds cancels)."""

    def __init__(self, samples):
        super().__init__((name, statistics.median(s)) for name, s in samples.items())
        self.samples = samples

    def ratio(self, a, b):
        return statistics.median(x / y for x, y in zip(self.samples[a], self.samples[b]))



def markdown(header, rows):
    """A Markdown table."""
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)

def us(sec):
    x = sec * 1e6
    return f"{x:.3g}" if x < 100 else f"{x:.0f}"


def verdict(value, target):
    """'yes' or 'no (+N %)': by how much the value exceeds its target."""
    if value <= target:
        return "yes"
    return f"NO (+{100 * (value / target - 1):.0f} %)"


# ------------------------------------------------------------------ peers

def peer(a1=U_LD, tol=bench.VBM_DEFAULT):
    import VBMicrolensing
    v = VBMicrolensing.VBMicrolensing()
    v.a1 = a1
    v.Tol, v.RelTol = tol
    return v


def peer_params(u0, rho):
    """ESPLLightCurve's [log u0, log tE, t0, log rho] with tE = 1, t0 = 0."""
    return [math.log(u0), 0.0, 0.0, math.log(rho)]


def list_curve(t, u0, rho):
    """kalvorin's list function as a user calls it on a trajectory (t0 = 0, tE = 1)."""
    u = np.sqrt(u0 * u0 + t * t)
    return np.asarray(kalvorin.integrated_heyrovsky_magnification((u / rho).tolist(), 1.0, rho))


# ------------------------------------------------------------------ compiled layer

# The compiled function the package calls for an array u and one source
# radius (older builds: the general one, rho as a 1-element array).
if hasattr(_core, "magnification_rho"):
    CORE_ARRAY_NAME = "_core.magnification_rho"

    def core_array_call(u, rho, core, out):
        return _core.magnification_rho(u, rho, core, out)
else:
    CORE_ARRAY_NAME = "_core.magnification"

    def core_array_call(u, rho, core, out):
        return _core.magnification(u, np.array([rho]), core, out)


def call_profile(fn, number, top=10):
    """cProfile of `number` calls of fn: rows (function, us of own time per
    call of fn, its calls per call of fn, share of the profiled time), the
    largest first; this script's own frames and the profiler's are left out."""
    import cProfile
    import pstats
    pr = cProfile.Profile()
    pr.enable()
    for _ in range(number):
        fn()
    pr.disable()
    me = os.path.abspath(__file__)
    stats = {k: v for k, v in pstats.Stats(pr).stats.items()
             if os.path.abspath(k[0]) != me and "_lsprof.Profiler" not in k[2]}
    total = sum(v[2] for v in stats.values()) or 1.0
    rows = []
    for (path, line, name), (_, nc, tt, _, _) in sorted(stats.items(), key=lambda kv: -kv[1][2])[:top]:
        # Built-ins have path "~" and a name such as "<built-in method numpy.empty>".
        label = name if path == "~" else f"{os.path.basename(path)}:{line} {name}"
        rows.append((label, f"{tt / number * 1e6:.3g}", f"{nc / number:g}", f"{100 * tt / total:.0f} %"))
    return rows


# ------------------------------------------------------------------ 1. whole-event curves

def whole_event_curves(repeats):
    law = kf.Linear(U_LD)
    v = peer()
    rows, ratios = [], {}
    for rho in RHOS_WE:
        t, u0, _, _ = whole_event.curve(rho)
        params, times = peer_params(u0, rho), t.tolist()
        out = np.empty_like(t)
        cases = {
            "fspl": (lambda: kf.light_curve(t, 0.0, u0, 1.0, rho, law), len(t)),
            "peer": (lambda: v.ESPLLightCurve(params, times)[0], len(t)),
            "peer np": (lambda: np.asarray(v.ESPLLightCurve(params, t.tolist())[0]), len(t)),
            "list": (lambda: list_curve(t, u0, rho), len(t)),
            "core": (lambda: _core.light_curve(t, 0.0, u0, 1.0, rho, law._core, out), len(t)),
        }
        m = interleaved(cases, repeats)
        ratios[rho] = (m.ratio("fspl", "peer"), m.ratio("fspl", "list"))
        rows.append((f"{rho:g}", us(m["fspl"]), us(m["peer"]), us(m["peer np"]), us(m["list"]), us(m["core"]),
                     f"{ratios[rho][0]:.2f}", f"{ratios[rho][1]:.2f}", f"{m.ratio('core', 'peer'):.2f}",
                     f"{m.ratio('fspl', 'peer np'):.2f}"))
    return rows, ratios


WE_HEADER = ("rho", "fspl us/pt", "peer us/pt", "peer numpy in/out us/pt", "kalvorin list us/pt",
             "fspl _core us/pt", "fspl/peer", "fspl/list", "_core/peer", "fspl/peer numpy")


# ------------------------------------------------------------------ 2. crossing curves

def crossing_curves(repeats):
    laws = {c: kf.Linear(c) for c in (U_LD,) + OTHER_U}
    v = peer()
    rows, per, sums = [], {}, {"fspl": 0.0, "peer": 0.0}
    law_ratios = {c: [] for c in OTHER_U}
    for rho in RHOS_LC:
        seg = bench.light_curve(rho)
        tau, u0, n = np.array(seg.tau), seg.u0, len(seg)
        params, times = peer_params(u0, rho), list(seg.tau)
        out = np.empty_like(tau)
        cases = {f"fspl {c}": ((lambda law=law: kf.light_curve(tau, 0.0, u0, 1.0, rho, law)), n)
                 for c, law in laws.items()}
        cases["peer"] = (lambda: v.ESPLLightCurve(params, times)[0], n)
        cases["list"] = (lambda: list_curve(tau, u0, rho), n)
        cases["core"] = (lambda: _core.light_curve(tau, 0.0, u0, 1.0, rho, laws[U_LD]._core, out), n)
        m = interleaved(cases, repeats)
        f6, k6 = m[f"fspl {U_LD}"], f"fspl {U_LD}"
        per[rho] = m.ratio(k6, "peer")
        sums["fspl"] += f6 * n
        sums["peer"] += m["peer"] * n
        for c in OTHER_U:
            law_ratios[c].append(m.ratio(f"fspl {c}", k6))
        rows.append((f"{rho:g}", us(f6), us(m["peer"]), us(m["list"]), us(m["core"]), f"{per[rho]:.2f}",
                     f"{m.ratio(k6, 'list'):.2f}")
                    + tuple(f"{law_ratios[c][-1]:.2f}" for c in OTHER_U))
    return rows, per, sums["fspl"] / sums["peer"], law_ratios


LC_HEADER = ("rho", "fspl 0.6 us/pt", "peer us/pt", "kalvorin list us/pt", "fspl _core us/pt",
             "fspl/peer", "fspl/list") + tuple(f"{c}/0.6" for c in OTHER_U)


# ------------------------------------------------------------------ 3. one point per call

def per_call(repeats):
    law = kf.Linear(U_LD)
    core = law._core
    f, f1 = kf.magnification, _core.magnification1
    v = peer()
    rho = RHO_CALL
    _, _, u_we, _ = whole_event.curve(rho)
    seg = bench.light_curve(rho)
    u_lc = np.array(seg.u)
    sets = {"whole-event": u_we, "crossing": u_lc}
    rows = []
    res = {}
    for label, ua in sets.items():
        ul, n = ua.tolist(), len(ua)
        cases = {
            "fspl": (lambda: [f(x, rho, law) for x in ul], n),
            "core1": (lambda: [f1(x, rho, core) for x in ul], n),
            "array": (lambda: f(ua, rho, law), n),
            "peer": (lambda: [v.ESPLMag2(x, rho) for x in ul], n),
            "loop": (lambda: [x for x in ul], n),
        }
        m = interleaved(cases, repeats)
        res[label] = m
        rows.append((f"{label} rho={rho:g} ({n} pts)", us(m["fspl"]), us(m["core1"]), us(m["array"]),
                     us(m["fspl"] - m["array"]), us(m["peer"]), f"{m.ratio('fspl', 'peer'):.2f}"))
    # Bare calls at u = 1e3 (1e5 source radii), where the model costs some
    # tens of ns (row "model per point"): the rest is the call.
    n = 1000
    far = [U_FAR] * n
    a1, o1 = np.array([U_FAR]), np.empty(1)
    big = np.full(2000, U_FAR)
    cases = {
        "float": (lambda: [f(x, rho, law) for x in far], n),
        "core1": (lambda: [f1(x, rho, core) for x in far], n),
        "array1": (lambda: [f(a1, rho, law) for _ in far], n),
        "core_array1": (lambda: [core_array_call(a1, rho, core, o1) for _ in far], n),
        "peer": (lambda: [v.ESPLMag2(x, rho) for x in far], n),
        "model": (lambda: f(big, rho, law), len(big)),
        "loop": (lambda: [x for x in far], n),
    }
    m = interleaved(cases, repeats)
    res["bare"] = m
    bare = [
        ("magnification(float, float, law)", us(m["float"]), f"{m.ratio('float', 'peer'):.2f}"),
        ("  _core.magnification1 (compiled layer)", us(m["core1"]), f"{m.ratio('core1', 'peer'):.2f}"),
        ("magnification(1-element array, float, law)", us(m["array1"]), f"{m.ratio('array1', 'peer'):.2f}"),
        (f"  {CORE_ARRAY_NAME}, 1-element array", us(m["core_array1"]), f"{m.ratio('core_array1', 'peer'):.2f}"),
        ("peer ESPLMag2(u, rho), a1 = 0.6", us(m["peer"]), "1"),
        ("model per point (2000-point array)", us(m["model"]), ""),
        ("empty Python loop per element", us(m["loop"]), ""),
    ]
    return rows, bare, res


CALL_HEADER = ("points (one call each)", "fspl us/call", "_core.magnification1 us/call",
               "fspl array us/pt", "call overhead us (call - array)", "peer ESPLMag2 us/call",
               "fspl/peer")
BARE_HEADER = (f"bare call at u = {U_FAR:g}, rho = {RHO_CALL:g}", "us/call", "x peer")


# ------------------------------------------------------------------ 4. errors

def cached_reference(keys):
    """mpmath values for cache keys: benchmarks/reference_values.json (read
    only: bench.py owns it), any missing ones computed here."""
    vals = {}
    try:
        with open(bench.CACHE) as fh:
            vals = json.load(fh)["values"]
    except (OSError, KeyError, ValueError):
        pass
    out = {}
    for k in keys:
        out[k] = float(vals[k]) if k in vals else float(ref.evaluate(k)[1])
    return out


def rel_errors(got, want):
    return [abs(g / w - 1.0) if math.isfinite(g) else math.inf for g, w in zip(got, want)]


def errors():
    law = kf.Linear(U_LD)
    v = peer()
    rows = []
    worst_diff = 0.0
    for rho in RHOS_LC:
        seg = bench.light_curve(rho)
        idx = bench.lc_reference_indices(seg)
        want = cached_reference([bench.ref_key("ld", seg, i) for i in idx])
        want = [want[bench.ref_key("ld", seg, i)] for i in idx]
        tau = np.array(seg.tau)
        fs = kf.light_curve(tau, 0.0, seg.u0, 1.0, rho, law)
        pv = np.array(v.ESPLLightCurve(peer_params(seg.u0, rho), list(seg.tau))[0])
        kl = list_curve(tau, seg.u0, rho)
        worst_diff = max(worst_diff, float(np.max(np.abs(fs / kl - 1.0))))
        ef, ep = rel_errors(fs[idx], want), rel_errors(pv[idx], want)
        rows.append((f"crossing rho={rho:g}", len(idx), f"{max(ef):.1e}", f"{statistics.median(ef):.1e}",
                     f"{max(ep):.1e}", f"{statistics.median(ep):.1e}"))
    for rho in RHOS_WE:
        t, u0, _, l = whole_event.curve(rho)
        ef = whole_event.reference_errors(rho, l, lambda: kf.light_curve(t, 0.0, u0, 1.0, rho, law), "ld")
        pv = lambda: v.ESPLLightCurve(peer_params(u0, rho), t.tolist())[0]  # noqa: E731
        ep = whole_event.reference_errors(rho, l, pv, "ld")
        fs, kl = kf.light_curve(t, 0.0, u0, 1.0, rho, law), list_curve(t, u0, rho)
        worst_diff = max(worst_diff, float(np.max(np.abs(fs / kl - 1.0))))
        rows.append((f"whole-event rho={rho:g}", 49, f"{ef:.1e}", "", f"{ep:.1e}", ""))
    return rows, worst_diff


ERR_HEADER = ("curve (Linear 0.6)", "ref points", "fspl max", "fspl median", "peer max", "peer median")


# ------------------------------------------------------------------ profile

def profile(repeats):
    """Where the time goes: fixed cost of a call (Python layer vs compiled
    layer), the functions of the array path on one element, and the cost per
    point against the distance from the source for fspl and the peer."""
    law = kf.Linear(U_LD)
    core = law._core
    rho = RHO_CALL
    v = peer()
    out = []

    # Fixed cost of a light-curve call: one point.
    t1, o1 = np.array([0.5]), np.empty(1)
    p1, times1 = peer_params(0.5 * rho, rho), [0.5]
    m = interleaved({
        "fspl": (lambda: kf.light_curve(t1, 0.0, 0.5 * rho, 1.0, rho, law), 1),
        "core": (lambda: _core.light_curve(t1, 0.0, 0.5 * rho, 1.0, rho, core, o1), 1),
        "peer": (lambda: v.ESPLLightCurve(p1, times1)[0], 1),
    }, repeats)
    fixed = [("kalvorin_fspl.light_curve, 1 point", us(m["fspl"])),
             ("  _core.light_curve, 1 point (compiled layer)", us(m["core"])),
             ("  Python layer (difference)", us(m["fspl"] - m["core"])),
             ("peer ESPLLightCurve, 1 point", us(m["peer"]))]

    # Where a magnification(1-element array, float, law) call spends its
    # time, by function (cProfile), next to the uninstrumented call and the
    # compiled layer alone.
    a1 = np.array([U_FAR])
    k = 1000
    m = interleaved({
        "call": (lambda: [kf.magnification(a1, rho, law) for _ in range(k)], k),
        "core": (lambda: [core_array_call(a1, rho, core, o1) for _ in range(k)], k),
    }, repeats)
    steps = [("magnification(1-element array, float, law), uninstrumented", us(m["call"]), "", ""),
             (f"  {CORE_ARRAY_NAME} alone", us(m["core"]), "", ""),
             ("  Python layer (difference)", us(m["call"] - m["core"]), "", "")]
    steps += call_profile(lambda: kf.magnification(a1, rho, law), 20000)
    lc_steps = call_profile(lambda: kf.light_curve(t1, 0.0, 0.5 * rho, 1.0, rho, law), 20000)

    # Cost per point against l = u/rho: 2000 equal points; the peer through
    # ESPLLightCurve with t = 0 (u = u0).
    n = 2000
    by_l = []
    for l in (0.0, 0.5, 0.99, 1.01, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0, 1e3, 1e5):
        ua, oa = np.full(n, l * rho), np.empty(n)
        pl, zeros = peer_params(max(l * rho, 1e-300), rho), [0.0] * n
        m = interleaved({
            "core": (lambda: core_array_call(ua, rho, core, oa), n),
            "peer": (lambda: v.ESPLLightCurve(pl, zeros)[0], n),
        }, max(3, repeats // 2))
        by_l.append((f"{l:g}", us(m["core"]), us(m["peer"]), f"{m.ratio('core', 'peer'):.2f}"))

    # Curves by band of l: the compiled layer on each band's points and the
    # peer on the same times, all bands in the same rounds (the shares are of
    # the sum over the bands).
    bands = [(0, 1), (1, 2), (2, 10), (10, 100), (100, math.inf)]
    curves = [("whole-event", r) + whole_event.curve(r)[:2] for r in RHOS_WE]
    for r in (1e-2, 1.0):
        seg = bench.light_curve(r)
        curves.append(("crossing", r, np.array(seg.tau), seg.u0))
    by_band = []
    for label, r, t, u0 in curves:
        la = np.sqrt(u0 * u0 + t * t) / r
        params = peer_params(u0, r)
        cases, counts = {}, {}
        for lo, hi in bands:
            sel = (la >= lo) & (la < hi)
            k = int(sel.sum())
            if not k:
                continue
            ts, ob = t[sel].copy(), np.empty(k)
            tl = ts.tolist()
            counts[(lo, hi)] = k
            cases[("core", lo, hi)] = ((lambda ts=ts, ob=ob: _core.light_curve(ts, 0.0, u0, 1.0, r, core, ob)), 1)
            cases[("peer", lo, hi)] = ((lambda tl=tl: v.ESPLLightCurve(params, tl)[0]), 1)
        m = interleaved(cases, max(3, repeats // 2))
        tot_f = sum(m[("core",) + b] for b in counts)
        tot_p = sum(m[("peer",) + b] for b in counts)
        for (lo, hi), k in counts.items():
            tf, tp = m[("core", lo, hi)], m[("peer", lo, hi)]
            by_band.append((f"{label} rho={r:g}", f"[{lo:g}, {hi:g})", k, f"{tf * 1e6:.1f}",
                            f"{100 * tf / tot_f:.0f} %", f"{tf / k * 1e6:.3g}", f"{tp * 1e6:.1f}",
                            f"{100 * tp / tot_p:.0f} %", f"{tp / k * 1e6:.3g}",
                            f"{m.ratio(('core', lo, hi), ('peer', lo, hi)):.2f}"))
    return fixed, steps, lc_steps, by_l, by_band


FIXED_HEADER = ("fixed cost of a call", "us")
STEPS_HEADER = ("function", "us per call", "calls per call", "share of profiled time")
BY_L_HEADER = (f"l = u/rho (rho = {RHO_CALL:g})", "fspl _core us/pt", "peer us/pt", "fspl/peer")
BAND_HEADER = ("curve", "l band", "points", "fspl _core us", "share", "us/pt", "peer us", "share",
               "peer us/pt", "fspl/peer")


# ------------------------------------------------------------------ main

def command(script=__file__):
    """The command line that ran `script`, as a user would type it."""
    exe = sys.executable
    if exe.startswith(ROOT + os.sep):
        exe = os.path.relpath(exe, ROOT)
    else:
        name = os.path.basename(exe)
        on_path = shutil.which(name)
        if on_path and os.path.realpath(on_path) == os.path.realpath(exe):
            exe = name
    cmd = shlex.join([exe, os.path.relpath(os.path.abspath(script), ROOT)] + sys.argv[1:])
    if os.environ.get("PYTHONPATH"):
        cmd = f"PYTHONPATH={os.environ['PYTHONPATH']} " + cmd
    return cmd


def target_summary(worst, label, targets):
    """Each law's worst ratios against the targets, as table rows (label, ratio, verdict, ...), and a
    sentence on the worst over all laws. worst: {law: [ratio per target]}; targets: [(what, target)]."""
    rows = [(label(name),) + tuple(x for r, (_, t) in zip(ratios, targets) for x in (f"{r:.2f}", verdict(r, t)))
            for name, ratios in worst.items()]
    parts = []
    for k, (what, t) in enumerate(targets):
        w = max(ratios[k] for ratios in worst.values())
        parts.append(f"{what} ≤ {t}: worst {w:.2f} ({verdict(w, t)})")
    return rows, "Targets: " + "; ".join(parts) + ", over the laws and the six curves."


def options(doc, results, default_repeats=21):
    """(args, rounds per table) from the fspl benchmarks' common command line."""
    ap = argparse.ArgumentParser(description=doc.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="5 rounds per table")
    ap.add_argument("--repeats", type=int, help=f"rounds per table (default {default_repeats}, quick 5)")
    ap.add_argument("--no-write", action="store_true", help=f"do not write {os.path.relpath(results, ROOT)}")
    args = ap.parse_args()
    return args, args.repeats or (5 if args.quick else default_repeats)


def write_results(path, title, script, seconds, body):
    """A results page: title, the command, date, revision, machine and versions, then body."""
    vers, rev = bench.versions()
    with open(path, "w") as fh:
        fh.write(f"# {title}\n\n"
                 f"`{command(script)}`, {datetime.date.today()}, {rev}, {seconds:.0f} s.\n\n"
                 f"- Machine: {bench.machine()}\n"
                 f"- Python {platform.python_version()}; kalvorin_fspl {kf.__version__}, "
                 + ", ".join(f"{p} {v}" for p, v in vers.items() if p != "kalvorin") + "\n\n"
                 + body + "\n")
    print(f"wrote {os.path.relpath(path, ROOT)}")


def main():
    args, repeats = options(__doc__, RESULTS, 31)

    t_start = time.time()
    print(f"kalvorin_fspl {kf.__version__} from {os.path.dirname(kf.__file__)}", flush=True)
    we_rows, we_ratios = whole_event_curves(repeats)
    print(f"  whole-event curves: done ({time.time() - t_start:.0f} s)", flush=True)
    lc_rows, lc_per, lc_sum, law_ratios = crossing_curves(repeats)
    print(f"  crossing curves: done ({time.time() - t_start:.0f} s)", flush=True)
    call_rows, bare_rows, calls = per_call(repeats)
    print(f"  per-call: done ({time.time() - t_start:.0f} s)", flush=True)
    err_rows, fspl_vs_list = errors()
    print(f"  errors: done ({time.time() - t_start:.0f} s)", flush=True)
    fixed, steps, lc_steps, by_l, by_band = profile(repeats)
    print(f"  profile: done ({time.time() - t_start:.0f} s)", flush=True)

    T = TARGETS
    summary = []
    for rho, (rp, rl) in we_ratios.items():
        summary.append((f"whole-event rho={rho:g}: fspl/peer ESPLLightCurve", f"{rp:.2f}", f"<= {T['we_peer']}",
                        verdict(rp, T["we_peer"])))
        summary.append((f"whole-event rho={rho:g}: fspl/kalvorin list", f"{rl:.2f}", f"<= {T['we_list']}",
                        verdict(rl, T["we_list"])))
    for rho, r in lc_per.items():
        summary.append((f"crossing rho={rho:g}: fspl/peer ESPLLightCurve", f"{r:.2f}", f"<= {T['lc_peer']}",
                        verdict(r, T["lc_peer"])))
    summary.append(("crossing, sum over rho: fspl/peer", f"{lc_sum:.2f}", f"<= {T['lc_peer']}",
                    verdict(lc_sum, T["lc_peer"])))
    for c, rs in law_ratios.items():
        summary.append((f"crossing: Linear({c})/Linear(0.6), worst rho", f"{max(rs):.2f}", f"<= {T['lc_law']}",
                        verdict(max(rs), T["lc_law"])))
    x = calls["whole-event"]["fspl"] * 1e6
    summary.append((f"per call, whole-event rho={RHO_CALL:g}, float", f"{x:.3g} us", f"<= {T['call_us']:g} us",
                    verdict(x, T["call_us"])))
    # On a crossing curve the model alone takes more than the target: the
    # target applies to what the call adds to it.
    c = calls["crossing"]
    x = (c["fspl"] - c["array"]) * 1e6
    summary.append((f"per call, crossing rho={RHO_CALL:g}, float: {us(c['fspl'])} us - model {us(c['array'])} us",
                    f"{x:.3g} us", f"<= {T['call_us']:g} us", verdict(x, T["call_us"])))
    for key, label in (("float", "float"), ("array1", "1-element array")):
        x = calls["bare"][key] * 1e6
        summary.append((f"bare call at u={U_FAR:g}, {label}", f"{x:.3g} us", f"<= {T['call_us']:g} us",
                        verdict(x, T["call_us"])))
    sum_header = ("figure", "value", "target", "met")

    legend = (f"us/pt = median over {repeats} interleaved rounds of one pass / points; one thread; "
              "ratios: median over the rounds of the ratio within a round. peer = VBMicrolensing "
              f"ESPLLightCurve([log u0, log tE, t0, log rho], t) at a1 = {U_LD}, default tolerance "
              f"(Tol = {bench.VBM_DEFAULT[0]:g}, RelTol = {bench.VBM_DEFAULT[1]:g}), t as a list; "
              "fspl = kalvorin_fspl.light_curve(t, 0, u0, 1, rho, Linear(u)) on a numpy array; "
              "kalvorin list = integrated_heyrovsky_magnification((u/rho).tolist(), 1, rho) with u from t "
              "in numpy and np.asarray of the result, all inside the timing; peer numpy in/out = the peer with "
              "t.tolist() and np.asarray of its result inside the timing; "
              "fspl _core = kalvorin_fspl._core.light_curve into a preallocated array (compiled layer only).")

    sections = [
        ("Summary: targets", None, summary, sum_header),
        ("1. Whole-event light curves (t from -2 tE to 2 tE, 2000 points, u0 = 0.5 rho), Linear(0.6)",
         None, we_rows, WE_HEADER),
        ("2. Crossing light curves (1000 points, u0 = 0.5 rho, tau from -10 rho to 10 rho)",
         "Columns u/0.6: fspl with Linear(u) relative to Linear(0.6) on the same curve.", lc_rows, LC_HEADER),
        ("3. One point per call",
         "Each call from a Python list comprehension (its own cost: the empty-loop row). "
         "fspl array = the whole set in one magnification call, per point (the model's cost).",
         call_rows, CALL_HEADER),
        (None, None, bare_rows, BARE_HEADER),
        ("4. Relative errors against mpmath (Linear 0.6; the reference covers this coefficient only)",
         f"Crossing curves: the reference points of bench.py; whole-event: the points of whole_event.py "
         f"(max only). fspl = light_curve as timed; max relative difference between fspl and kalvorin's "
         f"list function over all points of these curves: {fspl_vs_list:.1e}.",
         err_rows, ERR_HEADER),
        ("Profile: fixed cost of a call", None, fixed, FIXED_HEADER),
        ("Profile: magnification(1-element array, float, law) by function",
         "First rows: timed as everywhere else. Then cProfile's own time per function (tottime) per "
         "call of magnification; the profiler adds a fixed cost to every function it records, so "
         "read these as shares. cProfile does not see nanobind functions: the compiled layer's time "
         "is in its caller's own time.", steps, STEPS_HEADER),
        ("Profile: light_curve(1-point array, floats, law) by function (cProfile, as above)",
         None, lc_steps, STEPS_HEADER),
        ("Profile: cost per point against the distance from the source (2000 equal points)",
         f"fspl through {CORE_ARRAY_NAME}; the peer through ESPLLightCurve with t = 0, u0 = l rho.",
         by_l, BY_L_HEADER),
        ("Profile: light curves by band of l = u/rho (compiled layer; the peer on the same times)",
         None, by_band, BAND_HEADER),
    ]
    sections = [s for s in sections if s]

    print()
    print(legend)
    for title, note, rows, header in sections:
        print()
        if title:
            print(title)
        if note:
            print(note)
        print(bench.table(rows, header))
    vers, rev = bench.versions()
    print(f"\nkalvorin_fspl {kf.__version__} from {kf.__file__}; kalvorin from {kalvorin.__file__} "
          f"(repo HEAD {rev}); {time.time() - t_start:.0f} s")

    if args.no_write:
        return
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    md = [
        "# Benchmark: kalvorin_fspl vs VBMicrolensing and kalvorin's list functions",
        "",
        f"- Date: {when}",
        f"- Machine: {bench.machine()}",
        f"- Python {platform.python_version()}; " + ", ".join(f"{k} {v}" for k, v in vers.items()),
        f"- kalvorin_fspl {kf.__version__} from `{os.path.dirname(kf.__file__)}`; repository HEAD {rev}",
        f"- Command: `{command()}` ({time.time() - t_start:.0f} s)",
        f"- Reference: mpmath via {ref.SOURCE}",
        "",
        "The machine has 2 cores shared with other work: timings are medians over interleaved rounds "
        "and vary by some 10-30 % between runs; the ratios, measured in the same rounds, vary less.",
        "",
        legend,
        "",
    ]
    for title, note, rows, header in sections:
        if title:
            md += [f"## {title}", ""]
        if note:
            md += [note, ""]
        md += [bench.md_table(rows, header), ""]
    with open(RESULTS, "w") as fh:
        fh.write("\n".join(md))
    print(f"wrote {os.path.relpath(RESULTS, ROOT)}")


if __name__ == "__main__":
    main()
