#!/usr/bin/env python3
"""High-precision reference table for other limb-darkening laws.

What
    ``tests/reference/data/limb_darkening_laws.json``, compared by
    ``tests/test_limb_darkening_laws.py`` with ``examples/limb_darkening_laws.py``:

    * "linear": the linear law I(r) = 1 - c (1 - mu), mu = sqrt(1 - r^2), for
      c = 0.2, 0.45, 0.8 at centre, inside, limb, outside and far separations
      l (source radii) and rho = rstar/re = 1e-3, 0.1, 1:
      rows {region, l, re, rstar, coefficient, expected}.
    * "laws": quadratic, square-root and power-2 laws (coefficients stored
      with the table) at rho = 0.01: rows {law, l, re, rstar, expected}.

How
    A(l) = int_0^1 2 pi r I(r) M(l, r) dr / int_0^1 2 pi r I(r) dr with M the
    ring mean of gen_model_reference.py (closed form in complete elliptic
    integrals, evaluated as one Bulirsch integral), tanh-sinh quadrature in r
    at 30 digits, split at r = l (logarithmic singularity of M) with
    geometric cuts towards it, and cut geometrically towards the limb, where
    the laws have their square-root (or fourth-root) edge. For the linear law
    the two parts U = int 2 pi r M dr and H = int 2 pi r mu M dr are
    integrated separately and combined in mpmath; the denominators are the
    exact fluxes pi (1 - c/3), pi (1 - a/3 - b/6), pi (1 - c/3 - d/5) and
    pi (1 - c alpha/(alpha + 2)), checked against quadrature.

    Cross-checks (any failure aborts before writing): U / pi against the
    Witt-Mao closed form of the uniform disk at every point; a sample
    recomputed at 40 digits with a higher quadrature degree.

Regenerate (about two minutes, two worker processes)
    python3 tests/reference/gen_limb_darkening_reference.py
"""

import json
import multiprocessing
import os
import sys
import time

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_model_reference import check, refine_near, ring_mean_fast, witt_mao_legendre  # noqa: E402

DPS = 30
DPS_CHECK = 40
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "limb_darkening_laws.json")

COEFFICIENTS = [0.2, 0.45, 0.8]
LAW_COEFFICIENTS = {
    "quadratic": [0.35, 0.25],   # I = 1 - a (1 - mu) - b (1 - mu)^2
    "square-root": [0.15, 0.55],  # I = 1 - c (1 - mu) - d (1 - sqrt(mu))
    "power-2": [0.65, 0.55],     # I = 1 - c (1 - mu^alpha)
}


def law(name, mu):
    if name == "uniform":
        return mpf(1)
    if name == "mu":
        return mu
    p, q = (mpf(v) for v in LAW_COEFFICIENTS[name])
    if name == "quadratic":
        return 1 - p * (1 - mu) - q * (1 - mu) ** 2
    if name == "square-root":
        return 1 - p * (1 - mu) - q * (1 - mp.sqrt(mu))
    if name == "power-2":
        return 1 - p * (1 - mu ** q)
    raise ValueError(name)


def law_flux(name):
    p, q = (mpf(v) for v in LAW_COEFFICIENTS[name])
    if name == "quadratic":
        return mp.pi * (1 - p / 3 - q / 6)
    if name == "square-root":
        return mp.pi * (1 - p / 3 - q / 5)
    return mp.pi * (1 - p * q / (q + 2))


def mu_of(r):
    return mp.sqrt((1 - r) * (1 + r))


def radial_integral(name, l, re, rstar, dps=DPS, maxdegree=None):
    """int_0^1 2 pi r I(r) M(l, r) dr for the named profile."""
    with mp.workdps(dps):
        l = mpf(l)
        eps = mpf(re) / mpf(rstar)
        brk = [mpf(0), l, mpf(1)] if 0 < l < 1 else [mpf(0), mpf(1)]
        pts = refine_near(brk, l)
        # geometric cuts towards the limb edge of the profile
        limb = [1 - mpf(4) ** -k for k in range(2, 12)]
        pts = sorted(set(pts) | {p for p in limb if p > pts[-2] and abs(p - l) > 0})
        kw = {} if maxdegree is None else {"maxdegree": maxdegree}

        def f(r):
            if r == l or r == 0:
                return mpf(0)
            return 2 * mp.pi * r * law(name, mu_of(r)) * ring_mean_fast(l, r, eps)
        return mp.quad(f, pts, **kw)


def linear_points():
    pts = []
    for rho in [1e-3, 0.1, 1.0]:
        for region, l in [("centre", 0.0), ("inside", 0.5), ("limb", 0.999), ("limb", 1.0),
                          ("limb", 1.001), ("outside", 1.5), ("outside", 3.0),
                          ("far", 20.0), ("far", 100.0)]:
            pts.append((region, l, 1.0, rho))
    pts.append(("outside", 3.0, 2.0, 0.2))  # other units, same ratio as rho = 0.1
    return pts


LAW_SEPARATIONS = [0.0, 0.5, 0.9, 1.0, 1.1, 2.0]
LAW_RHO = 0.01


def work_linear(pt):
    region, l, re, rstar = pt
    u = radial_integral("uniform", l, re, rstar)
    h = radial_integral("mu", l, re, rstar)
    with mp.workdps(DPS):
        closed = witt_mao_legendre(mpf(l), mpf(rstar) / mpf(re))
        uniform_check = float(abs(u / mp.pi / closed - 1))
        values = [((1 - mpf(c)) * u + mpf(c) * h) / (mp.pi * (1 - mpf(c) / 3)) for c in COEFFICIENTS]
        return [float(v) for v in values], uniform_check


def work_law(args):
    name, l = args
    num = radial_integral(name, l, 1.0, LAW_RHO)
    with mp.workdps(DPS):
        return float(num / law_flux(name))


def work_check(args):
    name, l, re, rstar = args
    a = radial_integral(name, l, re, rstar)
    b = radial_integral(name, l, re, rstar, DPS_CHECK, maxdegree=8)
    with mp.workdps(DPS_CHECK):
        return float(abs(a / b - 1))


def main():
    start = time.time()
    with mp.workdps(DPS):
        for name in LAW_COEFFICIENTS:
            q = mp.quad(lambda r: 2 * mp.pi * r * law(name, mu_of(r)), [0, 0.5, 0.9, 0.99, 1])
            check(abs(q / law_flux(name) - 1) < mpf(10) ** -25, f"flux of the {name} law")
        q = mp.quad(lambda r: 2 * mp.pi * r * mu_of(r), [0, 0.5, 0.9, 0.99, 1])
        check(abs(q / (2 * mp.pi / 3) - 1) < mpf(10) ** -25, "flux of mu")

    pool = multiprocessing.Pool(2)
    pts = linear_points()
    lin = pool.map(work_linear, pts, chunksize=1)
    worst = max(chk for _, chk in lin)
    print(f"linear: {len(pts)} points; uniform part vs Witt-Mao closed form max rel diff {worst:.1e}")
    check(worst < 1e-22, "uniform part vs Witt-Mao closed form")

    law_args = [(name, l) for name in LAW_COEFFICIENTS for l in LAW_SEPARATIONS]
    laws = pool.map(work_law, law_args, chunksize=1)
    print(f"laws: {len(law_args)} points")

    sample = [("mu", 0.5, 1.0, 1e-3), ("mu", 1.0, 1.0, 0.1), ("mu", 1.001, 1.0, 1.0),
              ("square-root", 0.9, 1.0, LAW_RHO), ("power-2", 1.0, 1.0, LAW_RHO),
              ("quadratic", 0.5, 1.0, LAW_RHO)]
    conv = pool.map(work_check, sample, chunksize=1)
    print(f"convergence ({len(sample)} samples at {DPS_CHECK} digits): max rel diff {max(conv):.1e}")
    check(max(conv) < 1e-22, "convergence at higher precision")
    pool.close()

    rows_linear = []
    for (region, l, re, rstar), (values, _) in zip(pts, lin):
        for c, v in zip(COEFFICIENTS, values):
            rows_linear.append({"region": region, "l": l, "re": re, "rstar": rstar,
                                "coefficient": c, "expected": v})
    rows_laws = [{"law": name, "l": l, "re": 1.0, "rstar": LAW_RHO, "expected": v}
                 for (name, l), v in zip(law_args, laws)]
    with open(OUT, "w") as fh:
        json.dump({"generator": "tests/reference/gen_limb_darkening_reference.py",
                   "law_coefficients": LAW_COEFFICIENTS,
                   "linear": rows_linear, "laws": rows_laws}, fh, indent=1)
        fh.write("\n")
    print(f"wrote {OUT} in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
