#!/usr/bin/env python3
"""mpmath references at the ends of the float range, for kalvorin's functions.

What
    tests/reference/data/float_range.json: rows {function, args, expected}
    (expected a decimal string, "inf" for the ring through the lens) for
    valid input at the ends of the double range: sources of 1e-300 ... 1e-120
    and 1e20 ... 1e200 Einstein radii, separations of 1e160 ... 1.7e308 source
    radii, rings and lenses at 1e-300 ... 1e300 with Einstein radii that are
    tiny or huge beside them.

How
    The physics of gen_model_reference.py evaluated directly at these
    scales (mpmath has no exponent range): Witt & Mao's closed form with
    Carlson's forms for the disk, the ring mean through R_F, R_J, the radial
    integral split at the lens ring, sums of ring means for discrete maps.
    Nothing is rescaled: the tiny-source rows check, independently, that the
    magnification scales like 1/rho. Each value is computed at DPS and again
    at DPS + 10 digits; they must agree to 1e-25 or nothing is written.

Run:  python3 tests/reference/gen_float_range_reference.py   (about a minute)
"""

import json
import os
import sys

import mpmath as mp
from mpmath import mpf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_model_reference as g  # noqa: E402

OUT = os.path.join(HERE, "data", "float_range.json")
DPS = 30
TABLE = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.3])
RINGS = ([0.2, 0.5], [1.0, 1.0])


def disk(x, re, rstar):
    """Witt & Mao's closed form; on the limb with pi/2 + asin((r2 - 1)/(r2 + 1))
    = 2 atan(rho) (the sum cancels for small rho); beyond x = 3, where its E
    and K terms cancel like x^2, the area mean of the rings instead."""
    rho = mpf(rstar) / mpf(re)
    x = mpf(x)
    if x == 1:
        return (2 / rho + (1 + rho * rho) / (rho * rho) * 2 * mp.atan(rho)) / mp.pi
    if x > 3:
        return g.disk_by_rings(x, rho)
    return g.witt_mao_carlson(x, rho)


def ring(l, r, re, rstar):
    l, r = mpf(l), mpf(r)
    if l == r:
        return mp.inf
    return g.ring_mean(l, r, mpf(re) / mpf(rstar))


def discrete(x, re, rstar, bl, bf):
    return mp.fsum(mpf(w) * ring(x, b, re, rstar) for b, w in zip(bl, bf))


def rows():
    out = []
    tiny = [1e-120, 1e-200, 1e-300]
    xs = [0.0, 0.5, 0.999, 1.0, 1.001, 2.0, 10.0, 1e10]
    for rstar in tiny:
        for x in xs:
            out.append(("witt_mao_magnification", [[x], 1.0, rstar], lambda x=x, rs=rstar: disk(x, 1.0, rs)))
    for rstar in [1e-200, 1e-300]:
        for x in [0.0, 0.5, 1.0, 2.0, 10.0]:
            out.append(("integrated_heyrovsky_magnification", [[x], 1.0, rstar],
                        lambda x=x, rs=rstar: g.integrated("limb_darkening", x, 1.0, rs)))
            out.append(("integrated_witt_mao_magnification", [[x], 1.0, rstar],
                        lambda x=x, rs=rstar: g.integrated("limb_darkening", x, 1.0, rs)))
            out.append(("integrated_flux_map_heyrovsky_magnification", [[x], 1.0, rstar, *TABLE],
                        lambda x=x, rs=rstar: g.integrated(TABLE, x, 1.0, rs)))
            out.append(("discrete_flux_map_heyrovsky_magnification", [[x], 1.0, rstar, *RINGS],
                        lambda x=x, rs=rstar: discrete(x, 1.0, rs, *RINGS)))
    for rstar in [1e20, 1e200]:
        for x in [0.0, 0.5, 1.0, 2.0]:
            out.append(("witt_mao_magnification", [[x], 1.0, rstar], lambda x=x, rs=rstar: disk(x, 1.0, rs)))
            out.append(("integrated_heyrovsky_magnification", [[x], 1.0, rstar],
                        lambda x=x, rs=rstar: g.integrated("limb_darkening", x, 1.0, rs)))
            out.append(("integrated_flux_map_witt_mao_magnification", [[x], 1.0, rstar, *TABLE],
                        lambda x=x, rs=rstar: g.integrated(TABLE, x, 1.0, rs)))
    for x in [1e160, 1e200, 1e300, 1.7e308]:
        out.append(("witt_mao_magnification", [[x], 1.0, 0.1], lambda x=x: disk(x, 1.0, 0.1)))
        out.append(("integrated_heyrovsky_magnification", [[x], 1.0, 0.1],
                    lambda x=x: g.integrated("limb_darkening", x, 1.0, 0.1)))
        out.append(("integrated_flux_map_heyrovsky_magnification", [[x], 1.0, 0.1, *TABLE],
                    lambda x=x: g.integrated(TABLE, x, 1.0, 0.1)))
        out.append(("discrete_flux_map_heyrovsky_magnification", [[x], 1.0, 0.1, *RINGS],
                    lambda x=x: discrete(x, 1.0, 0.1, *RINGS)))
    rings = [
        (1e-200, 2e-200, 1.0, 1.0), (1e-300, 0.0, 1.0, 1.0), (0.5, 1e-300, 1.0, 1.0), (1e-160, 0.5, 1.0, 1.0),
        (1e200, 0.5, 1.0, 0.1), (1e300, 2e300, 1.0, 1.0), (1e-250, 3e-250, 1e-10, 1.0), (3e-51, 6e-51, 1.0, 1.0),
        (3e-49, 6e-49, 1.0, 1.0), (1e50, 2e50, 1.0, 1.0), (1e-120, 1.5e-120, 1e-125, 1.0),
        (1e250, 1.0000000000000002e250, 1.0, 1.0), (2e-310, 3e-310, 1.0, 1.0),
    ]
    for args in rings:
        out.append(("heyrovsky_magnification", list(args), lambda a=args: ring(*a)))
    for l in [5e-324, 1e-300, 1e-155, 1e155, 1e300, 1.7e308]:
        out.append(("heyrovsky_magnification", [l, l, 1.0, 1.0], lambda l=l: ring(l, l, 1.0, 1.0)))
    return out


def main():
    result = []
    for name, args, fn in rows():
        with mp.workdps(DPS):
            a = fn()
        with mp.workdps(DPS + 10):
            b = fn()
        if mp.isinf(a) or mp.isinf(b):
            if not (mp.isinf(a) and mp.isinf(b)):
                sys.exit(f"{name}{args}: {a} vs {b}")
            expected = "inf"
        else:
            if abs(a / b - 1) > mpf("1e-25"):
                sys.exit(f"{name}{args}: {a} vs {b} disagree")
            expected = mp.nstr(b, 25)
        result.append({"function": name, "args": args, "expected": expected})
        print(name, args, expected, flush=True)
    with open(OUT, "w") as fh:
        json.dump({"generator": "tests/reference/gen_float_range_reference.py", "rows": result}, fh, indent=1)
        fh.write("\n")
    print(f"wrote {len(result)} rows to {OUT}")


if __name__ == "__main__":
    main()
