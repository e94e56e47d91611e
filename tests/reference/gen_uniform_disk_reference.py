#!/usr/bin/env python3
"""High-precision reference magnifications of the uniform disk on a dense grid
of separations and on both sides of every change of formulation.

What
    ``tests/reference/data/uniform_disk.json``: rows {region, x, re, rstar,
    expected}, the uniform-disk magnification (Witt & Mao 1994) at separation x
    (source radii) for a source of radius rho = rstar/re (Einstein radii):

    * ``grid``: x from 0 to 5 (every zone of the closed form and the start of
      the far field), rho from 1e-6 to 1e3;
    * ``edge``: the doubles either side of x = 0.7, 1.3 and 3, and of
      |rho x - rho| = 1e-5 (formed as the module forms it, rho·x - rho) for
      rho from 1e-5 to 3e-5, where that band reaches beyond |x - 1| = 0.3;
    * ``limb``: x = 1 and 1 -+ 1, 2, 1000 ulps.

How
    gen_model_reference.witt_mao_legendre (mpmath's ellipe, ellipk, ellippi)
    at 80 digits, every input taken exactly; each row checked against
    gen_model_reference.witt_mao_carlson (complements without cancellation):
    agreement better than 1e-30 required.

Regenerate (seconds; only this table)
    python3 tests/reference/gen_uniform_disk_reference.py
"""

import math
import multiprocessing
import os
import sys
import time

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_model_reference as ref  # noqa: E402

DPS = 80
RHOS = [1e-6, 1e-4, 1e-3, 0.01, 0.1, 0.3, 1.0, 3.0, 10.0, 100.0, 1e3]
GRID = [0.0, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.55, 0.6, 0.65, 0.69, 0.75, 0.85, 0.95, 0.99, 1.01, 1.1, 1.2,
        1.25, 1.31, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.2, 2.4, 2.6, 2.8, 2.9, 2.99, 3.5, 4.0, 5.0]


def around(x, k):
    """x and the k doubles on either side of it."""
    out = [x]
    lo = hi = x
    for _ in range(k):
        lo, hi = math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf)
        out += [lo, hi]
    return sorted(out)


def near_limb_edges(rho, band=1e-5):
    """The doubles either side of where |rho*x - rho| (in double arithmetic)
    crosses band, for the crossings at x > 0."""
    out = []
    inside = lambda v: abs(rho * v - rho) < band
    for side in (-1.0, 1.0):
        x = 1.0 + side * band / rho
        if not x > 0.0:
            continue
        for _ in range(64):  # the crossing is within a few doubles of x
            if inside(x) != inside(math.nextafter(x, side * math.inf)):
                out += around(x, 1)
                break
            # outwards while inside the band, inwards while outside it
            x = math.nextafter(x, (side if inside(x) else -side) * math.inf)
    return out


def rows():
    out = []
    for rho in RHOS:
        for x in GRID:
            out.append(("grid", x, 1.0, rho))
        for e in [0.7, 1.3, 3.0]:
            for x in around(e, 2):
                out.append(("edge", x, 1.0, rho))
        for k in [1000, 2, 1]:
            out.append(("limb", 1.0 - k * 2.0 ** -53, 1.0, rho))
        out.append(("limb", 1.0, 1.0, rho))
        for k in [1, 2, 1000]:
            out.append(("limb", 1.0 + k * 2.0 ** -52, 1.0, rho))
    for rho in [1e-5, 1.5e-5, 2e-5, 3e-5]:
        for x in near_limb_edges(rho):
            out.append(("edge", x, 1.0, rho))
    return out


def work(row):
    _, x, re, rstar = row
    with mp.workdps(DPS):
        rho = mpf(rstar) / mpf(re)
        a = ref.witt_mao_legendre(mpf(x), rho)
        b = ref.witt_mao_carlson(mpf(x), rho)
        return float(a), float(abs(a / b - 1))


def main():
    t0 = time.time()
    table = rows()
    with multiprocessing.Pool(2) as pool:
        res = pool.map(work, table, chunksize=8)
    worst = max(d for _, d in res)
    print(f"{len(table)} rows; Legendre vs Carlson form max rel diff {worst:.1e}")
    if not worst < 1e-30:
        sys.exit("cross-check failed: Legendre vs Carlson form")
    ref.dump("uniform_disk.json", {
        "generator": "tests/reference/gen_uniform_disk_reference.py",
        "quantity": "uniform-disk magnification, separation x in source radii, rho = rstar/re",
        "rows": [{"region": r[0], "x": r[1], "re": r[2], "rstar": r[3], "expected": v}
                 for r, (v, _) in zip(table, res)],
    })
    print(f"wrote {len(table)} rows in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
