#!/usr/bin/env python3
"""A seeded random sample of kalvorin's whole domain, with every zone edge ± 1 ulp, in mpmath.

What
    tests/reference/data/random.json: rows {family, zone, args, expected}
    (expected a decimal string of 25 digits) for the five model families of
    kalvorin's functions:

    * "disk": witt_mao_magnification([x], 1, rho);
    * "ring": heyrovsky_magnification(l, r, 1, rstar) (eps = 1/rstar);
    * "law": the built-in law, integrated_heyrovsky_magnification([x], 1, rho)
      (and integrated_witt_mao_magnification, the same values);
    * "table": the flux-map functions with TABLE;
    * "discrete": discrete_flux_map_heyrovsky_magnification with RINGS.

    Random points (random.Random(SEED)): rho log-uniform on [1e-6, 1e4];
    x uniform on [0, 3] (half), log-uniform on [1e-6, 1e6] (a third) or
    within 10^U(-15, -1) of the limb; ring radii uniform on [0, 1.5]. Edge
    points: each boundary between the models' zones, its neighbours one ulp
    either side, at rho = 1e-3, 0.1, 1 and 10. `zone` names where the point
    lies (EDGES lists the boundaries).

How
    The physics of gen_model_reference.py, independent of the module:
    Witt & Mao's closed form through Carlson's forms (at 40 + 2 log10 x
    digits beyond x = 1: its E and K terms cancel like x^2) and the limb form
    with 2 atan(rho); the ring mean through R_F, R_J at 60 digits; the radial
    integrals split at the lens ring and the table radii at 30 digits;
    discrete maps as sums of ring means. Every tenth row is recomputed at 10
    more digits (integrals: with one more tanh-sinh level); they must agree
    to 1e-22 or nothing is written.

Run:  python3 tests/reference/gen_random_reference.py   (about 10 minutes, two processes)
"""

import json
import math
import multiprocessing
import os
import random
import sys

import mpmath as mp
from mpmath import mpf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_model_reference as g  # noqa: E402

OUT = os.path.join(HERE, "data", "random.json")
SEED = 20261209
N_RANDOM = 60
TABLE = ([0.0, 0.3, 0.7, 0.9, 1.0], [1.0, 0.95, 0.7, 0.45, 0.2])
RINGS = ([0.1, 0.35, 0.6, 0.95], [0.2, 0.3, 0.3, 0.2])
EDGE_RHOS = [1e-3, 0.1, 1.0, 10.0]
# Boundaries between the zones of each family (x in source radii; for the
# ring, l/r at the edges of the complement zone |l − r| < 0.5 (l + r)).
EDGES = {
    "disk": [0.5, 1.0, 2.0, 3.0],
    "law": [0.5, 1.0, 1.05, 1.2, 2.0, 3.0],
    "table": [0.3, 0.7, 0.9, 1.0, 1.2, 2.0, 3.0],
    "discrete": [0.3, 1.05, 1.8, 2.85],
    "ring": [1.0 / 3.0, 1.0, 3.0],
}
WORKERS = 2


def ulp_neighbours(v):
    return [math.nextafter(v, -math.inf), v, math.nextafter(v, math.inf)]


def zone_of(family, x, r=None):
    if family == "ring":
        return "complement zone" if abs(x - r) < 0.5 * (x + r) else "direct"
    if family == "disk":
        return "x < 0.5" if x < 0.5 else "0.5 ≤ x ≤ 2" if x <= 2 else "2 < x ≤ 3" if x <= 3 else "x > 3"
    if family == "law":
        return "x < 1.05" if x < 1.05 else "1.05 ≤ x < 3" if x < 3 else "x ≥ 3"
    if family == "table":
        return "x < 1.2" if x < 1.2 else "1.2 ≤ x < 3" if x < 3 else "x ≥ 3"
    return "x < 3 max r" if x < 3 * max(RINGS[0]) else "x ≥ 3 max r"


def random_x(rng):
    u = rng.random()
    if u < 0.5:
        return rng.uniform(0.0, 3.0)
    if u < 0.83:
        return 10 ** rng.uniform(-6, 6)
    return 1.0 + rng.choice([-1, 1]) * 10 ** rng.uniform(-15, -1)


def points():
    rng = random.Random(SEED)
    out = []
    for family in ["disk", "law", "table", "discrete", "ring"]:
        for _ in range(N_RANDOM):
            rho = 10 ** rng.uniform(-6, 4)
            x = random_x(rng)
            if family == "ring":
                r = rng.uniform(0.0, 1.5)
                out.append((family, "random: " + zone_of(family, x, r), (x, r, 1.0, rho)))
            else:
                out.append((family, "random: " + zone_of(family, x), (x, 1.0, rho)))
        for rho in EDGE_RHOS:
            for edge in EDGES[family]:
                if family == "ring":
                    for r in [0.3, 1.0]:
                        for l in ulp_neighbours(edge * r):
                            out.append((family, "edge: " + zone_of(family, l, r), (l, r, 1.0, rho)))
                else:
                    for x in ulp_neighbours(edge):
                        out.append((family, "edge: " + zone_of(family, x), (x, 1.0, rho)))
    return out


def disk(x, rho):
    x, rho = mpf(x), mpf(rho)
    if x == 1:
        return (2 / rho + (1 + rho * rho) / (rho * rho) * 2 * mp.atan(rho)) / mp.pi
    with mp.workdps(40 + 2 * max(0, int(math.log10(float(x)) + 1))):
        return +g.witt_mao_carlson(x, rho)


def evaluate(pt, check=False):
    family, _, args = pt
    extra = 10 if check else 0
    if family == "disk":
        with mp.workdps(40 + extra):
            return disk(args[0], args[2])
    if family == "ring":
        l, r, re, rstar = args
        with mp.workdps(60 + extra):
            return g.ring_mean(mpf(l), mpf(r), mpf(re) / mpf(rstar))
    x, re, rho = args
    kw = {"dps": g.DPS_INT + extra, "maxdegree": 8 if check else None}
    if family == "law":
        return g.integrated("limb_darkening", x, re, rho, **kw)
    if family == "table":
        return g.integrated(TABLE, x, re, rho, **kw)
    with mp.workdps(60 + extra):
        eps = mpf(re) / mpf(rho)
        return mp.fsum(mpf(w) * g.ring_mean(mpf(x), mpf(b), eps) for b, w in zip(*RINGS))


def work(item):
    i, pt = item
    v = evaluate(pt)
    if i % 10 == 0:
        c = evaluate(pt, check=True)
        if abs(v / c - 1) > mpf("1e-22"):
            return i, None, f"{pt}: {v} vs {c}"
    return i, mp.nstr(v, 25), None


def main():
    pts = points()
    with multiprocessing.Pool(WORKERS) as pool:
        results = sorted(pool.imap_unordered(work, list(enumerate(pts)), chunksize=2))
    bad = [msg for _, _, msg in results if msg]
    if bad:
        sys.exit("cross-check failed:\n" + "\n".join(bad))
    rows = [{"family": f, "zone": z, "args": list(a), "expected": v} for (f, z, a), (_, v, _) in zip(pts, results)]
    with open(OUT, "w") as fh:
        json.dump({"generator": "tests/reference/gen_random_reference.py", "seed": SEED, "table": TABLE,
                   "rings": RINGS, "rows": rows}, fh, indent=1)
        fh.write("\n")
    print(f"wrote {len(rows)} rows to {OUT}")


if __name__ == "__main__":
    main()
