"""Whole-event light curves: kalvorin against VBMicrolensing's vectorised ESPLLightCurve.

A light curve spans t from -2 tE to 2 tE (2000 points, t0 = 0, tE = 1) with
u0 = 0.5 rho, so the lens crosses the source on a few points only and most
points lie hundreds of source radii away.  Times are medians over repeats of
one pass over the whole curve, per point, one thread; ratios are against the
peer measured in the same run.  Errors: against the mpmath values of
benchmarks/reference.py at 40 points of each curve (the crossing included).

Run alone:  python benchmarks/whole_event.py [--repeats N]
"""

import argparse
import math
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, __file__.rsplit("/", 1)[0])
import reference as ref  # noqa: E402

import kalvorin  # noqa: E402

RHOS = [1e-3, 1e-2]
N = 2000
U_LD = 0.6


def curve(rho):
    t = np.linspace(-2.0, 2.0, N)
    u0 = 0.5 * rho
    u = np.sqrt(u0 * u0 + t * t)
    return t, u0, u, (u / rho).tolist()


def timed(fn, repeats):
    fn()
    ts = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts)


def methods(rho, t, u0, u, l):
    bl41, bf41 = ref.law_table(41)
    bl200, bf200 = ref.law_rings(200)
    out = [
        ("kalvorin integrated_heyrovsky_magnification (LD 0.6)", "ld",
         lambda: kalvorin.integrated_heyrovsky_magnification(l, 1.0, rho)),
        ("kalvorin 41-point tabulated profile (LD 0.6)", "ld",
         lambda: kalvorin.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, bl41, bf41)),
        ("kalvorin 200-ring discrete map (LD 0.6)", "ld",
         lambda: kalvorin.discrete_flux_map_heyrovsky_magnification(l, 1.0, rho, bl200, bf200)),
        ("kalvorin witt_mao_magnification (uniform)", "uniform",
         lambda: kalvorin.witt_mao_magnification(l, 1.0, rho)),
    ]
    try:
        import VBMicrolensing
    except ImportError:
        return out
    params = [math.log(u0), math.log(1.0), 0.0, math.log(rho)]
    times = t.tolist()
    ulist = u.tolist()

    v_ld = VBMicrolensing.VBMicrolensing()
    v_ld.a1 = U_LD
    v_un = VBMicrolensing.VBMicrolensing()
    v_un.a1 = 0.0
    out += [
        ("peer ESPLLightCurve a1=0.6 (vectorised)", "ld-peer",
         lambda: v_ld.ESPLLightCurve(params, times)[0]),
        ("peer ESPLLightCurve a1=0 (vectorised)", "uniform-peer",
         lambda: v_un.ESPLLightCurve(params, times)[0]),
        ("peer ESPLMag per point (uniform, table)", "uniform-peer",
         lambda: [v_un.ESPLMag(x, rho) for x in ulist]),
        ("peer ESPLMagDark per point a1=0.6", "ld-peer",
         lambda: [v_ld.ESPLMagDark(x, rho) for x in ulist]),
    ]
    return out


_EXACT = {}


def reference_errors(rho, l, fn, kind):
    """Max relative error at 50 points (every 50th and the 10 nearest the source)."""
    idx = sorted(set(range(0, N, 50)) | set(np.argsort(np.array(l))[:10].tolist()))
    kind = "ld" if kind.startswith("ld") else "uniform"
    if (kind, rho) not in _EXACT:
        f = ref.limb_darkened if kind == "ld" else ref.uniform
        _EXACT[(kind, rho)] = [float(f(l[i], rho)) for i in idx]
    vals = fn()
    return max(abs(vals[i] / e - 1.0) for i, e in zip(idx, _EXACT[(kind, rho)]))


def run(repeats=7, errors=True):
    rows = []
    for rho in RHOS:
        t, u0, u, l = curve(rho)
        ms = methods(rho, t, u0, u, l)
        times = {name: timed(fn, repeats) / N * 1e6 for name, _, fn in ms}
        peer_ld = times.get("peer ESPLLightCurve a1=0.6 (vectorised)")
        peer_mag = times.get("peer ESPLMag per point (uniform, table)")
        kal_ld = times["kalvorin integrated_heyrovsky_magnification (LD 0.6)"]
        for name, kind, fn in ms:
            if name.startswith("kalvorin"):
                base = peer_mag if kind == "uniform" else peer_ld
            else:
                base = None
            err = None
            if errors:
                try:
                    err = reference_errors(rho, l, fn, kind)
                except Exception:  # reference values unavailable for this point set
                    err = None
            rows.append((f"{rho:g}", name, f"{times[name]:.3g}",
                         f"{times[name] / base:.2f}" if base else "",
                         f"{times[name] / kal_ld:.2f}" if name.startswith("kalvorin") else "",
                         f"{err:.1e}" if err is not None else ""))
    return rows


HEADER = ("rho", "function", "us/point", "x peer (LD: ESPLLightCurve a1=0.6; uniform: ESPLMag)",
          "x kalvorin LD", "max rel err")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--no-errors", action="store_true")
    args = ap.parse_args()
    rows = run(args.repeats, not args.no_errors)
    widths = [max(len(str(r[i])) for r in rows + [HEADER]) for i in range(len(HEADER))]
    for r in [HEADER] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))


if __name__ == "__main__":
    main()
