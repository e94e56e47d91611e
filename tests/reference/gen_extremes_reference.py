#!/usr/bin/env python3
"""High-precision reference magnifications of profiles at the extremes of the
separation: the lens within ~1e-18 of the centre (down to the smallest
subnormal), one ulp inside the limb for tables, and a 2,002-point table.

What
    ``tests/reference/data/extremes.json``: rows {region, profile, l, re,
    rstar, expected} and the tables {name: {bl, bf}}; "limb_darkening" is the
    built-in law I(r) = 1 + (1 - sqrt(1 - r^2)) * (-0.6). A(l) =
    int_0^1 2 pi r I(r) M(l, r) dr / int_0^1 2 pi r I(r) dr, M the ring mean.

How
    gen_model_reference.integrated: tanh-sinh quadrature at 30 digits, split
    at r = l (the logarithmic singularity of M) and at every table radius,
    cut geometrically where l lies just outside a piece; the normalisation is
    the exact integral of the profile. The lens is put where it is, never at
    the centre in its place. A sample is recomputed at 40 digits with a
    higher quadrature degree (agreement better than 1e-20 required).

Regenerate (a few minutes in two worker processes; only this table)
    python3 tests/reference/gen_extremes_reference.py
"""

import math
import multiprocessing
import os
import sys
import time

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_model_reference as ref  # noqa: E402

TINY = [2.0 ** -64, 1e-19, 1e-30, 1e-300, 5e-324]
RSTARS = [1e-3, 0.17, 1.0, 266.1]


def tables():
    base = ref.tabulated_profiles()
    theta2002 = [math.sin(math.pi / 2 * j / 2001) for j in range(2002)]
    return {
        "linear_law_51": base["linear_law_51"],
        "sharp_step": base["sharp_step"],
        "linear_law_201": base["linear_law_201"],
        "linear_law_2002": {"bl": theta2002, "bf": [ref.linear_law(r) for r in theta2002]},
    }


def rows():
    out = []
    for rstar in RSTARS:
        for l in [0.0] + TINY:
            out.append(("centre", "limb_darkening", l, 1.0, rstar))
        for name in ["linear_law_51", "sharp_step", "linear_law_201"]:
            for l in [0.0] + TINY:
                out.append(("centre", name, l, 1.0, rstar))
            out.append(("limb", name, 1.0 - 2.0 ** -53, 1.0, rstar))
    for rstar in [1e-3, 1.0, 266.1]:  # slow: 2,001 pieces
        for region, l in [("centre", 0.0), ("centre", 1e-19), ("inside", 0.5), ("limb", 1.0 - 2.0 ** -53)]:
            out.append((region, "linear_law_2002", l, 1.0, rstar))
    return out


def work(args):
    row, profiles = args
    _, name, l, re, rstar = row
    return float(ref.integrated(ref._profile_arg(name, profiles), l, re, rstar))


def work_check(args):
    row, profiles = args
    _, name, l, re, rstar = row
    prof = ref._profile_arg(name, profiles)
    a = ref.integrated(prof, l, re, rstar, ref.DPS_INT)
    b = ref.integrated(prof, l, re, rstar, ref.DPS_CHECK, maxdegree=8)
    with mp.workdps(ref.DPS_CHECK):
        return float(abs(a / b - 1))


def main():
    t0 = time.time()
    profiles = tables()
    table = rows()
    with multiprocessing.Pool(2) as pool:
        res = pool.map(work, [(r, profiles) for r in table], chunksize=1)
        sample = [r for r in table if r[1] != "linear_law_2002"][::7]
        conv = pool.map(work_check, [(r, profiles) for r in sample], chunksize=1)
    print(f"check sample ({len(sample)} rows, 30 vs 40 digits): max rel diff {max(conv):.1e}")
    if not max(conv) < 1e-20:
        sys.exit("cross-check failed: 30 vs 40 digits")
    ref.dump("extremes.json", {
        "generator": "tests/reference/gen_extremes_reference.py",
        "quantity": "profile-weighted mean of ring magnifications over the source disk",
        "profiles": {"limb_darkening": "built-in law 1 + (1 - sqrt(1 - r*r)) * (-0.6)", **profiles},
        "rows": [{"region": r[0], "profile": r[1], "l": r[2], "re": r[3], "rstar": r[4], "expected": v}
                 for r, v in zip(table, res)],
    })
    print(f"wrote {len(table)} rows in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
