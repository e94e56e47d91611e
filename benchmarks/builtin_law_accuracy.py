#!/usr/bin/env python3
"""Largest relative errors of the built-in law against the mpmath tables, by zone.

Reads the built-in law's rows of tests/reference/data/integrated.json
(tests/reference/gen_model_reference.py) and tests/reference/data/limb_band.json
(tests/reference/gen_limb_band_reference.py) and prints, for both integrated
functions and each zone, the rows, separations and source radii covered and
the worst relative error; then, in ulps of the value, how far the steps
from 1 - 1 ulp to 1 to 1 + 1 ulp are from the reference's, and the step at
l = 1 -+ 2^-31 (where the limb form of the nodes begins) as lines fitted to
40 doubles either side see it.
Run: PYTHONPATH=build/dev python3 benchmarks/builtin_law_accuracy.py
"""

import collections
import json
import math
import pathlib

import kalvorin

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "reference" / "data"
FUNCTIONS = {"heyrovsky": kalvorin.integrated_heyrovsky_magnification,
             "witt_mao": kalvorin.integrated_witt_mao_magnification}


def zone(row):
    l = row["l"]
    if l == 0.0:
        return "centre (x = 0)"
    if l < 1.0 - 1e-4:
        return "inside (x < 1 - 1e-4)"
    if l < 1.0 - 2.0 ** -31:
        return "inside, 1 - 1e-4 <= x < 1 - 2^-31"
    if l < 1.0 - 64 * 2.0 ** -53:
        return "inside, 1 - 2^-31 <= x < 1 - 64 ulp"
    if l < 1.0:
        return "1 - 64 ulp <= x < 1"
    if l == 1.0:
        return "x = 1"
    if l <= 1.0 + 2.0 ** -31:
        return "outside, 1 < x <= 1 + 2^-31"
    if l <= 1.0 + 1e-4:
        return "outside, 1 + 2^-31 < x <= 1 + 1e-4"
    if l < 1.05:
        return "outside, 1 + 1e-4 < x < 1.05"
    return "outside, x >= 1.05"


def rows():
    out = [r for r in json.loads((DATA / "integrated.json").read_text())["rows"]
           if r["profile"] == "limb_darkening"]
    return out + json.loads((DATA / "limb_band.json").read_text())["rows"]


def neighbours(centre, count):
    below, above = [centre], [centre]
    for _ in range(count):
        below.append(math.nextafter(below[-1], -math.inf))
        above.append(math.nextafter(above[-1], math.inf))
    return below[:0:-1], above[1:]


def line_at(xs, ys, x0):
    mx, my = math.fsum(xs) / len(xs), math.fsum(ys) / len(ys)
    sxx = math.fsum((x - mx) ** 2 for x in xs)
    return my + math.fsum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx * (x0 - mx)


def form_edge_jump(fn, centre, rstar):
    """Largest mismatch (ulps) of lines fitted to 40 doubles either side of
    centre and the value there."""
    below, above = neighbours(centre, 40)
    v = fn(below + [centre] + above, 1.0, rstar)
    left = line_at([x - centre for x in below], v[:40], 0.0)
    right = line_at([x - centre for x in above], v[41:], 0.0)
    return max(abs(right - left), abs(v[40] - left), abs(v[40] - right)) / math.ulp(v[40])


def limb_step_error(fn, band):
    """Largest difference (ulps) between the steps 1 - 1 ulp -> 1 -> 1 + 1 ulp
    and the reference's."""
    by = {(r["l"], r["rstar"]): r["expected"] for r in band}
    ls = [1.0 - 2.0 ** -53, 1.0, 1.0 + 2.0 ** -52]
    worst = 0.0
    for rstar in sorted({r["rstar"] for r in band}):
        ref = [by[(l, rstar)] for l in ls]
        got = fn(ls, 1.0, rstar)
        for i in range(2):
            worst = max(worst, abs((got[i + 1] - got[i]) - (ref[i + 1] - ref[i])) / math.ulp(ref[1]))
    return worst


def main():
    groups = collections.defaultdict(list)
    for r in rows():
        for name, fn in FUNCTIONS.items():
            got = fn([r["l"]], r["re"], r["rstar"])[0]
            groups[(name, zone(r))].append((abs(got / r["expected"] - 1), r))
    print("| function | zone | rows | rstar/re | max. relative error |")
    print("|---|---|---|---|---|")
    for (name, z), g in sorted(groups.items(), key=lambda kv: (kv[0][0], min(r["l"] for _, r in kv[1]))):
        rhos = [r["rstar"] / r["re"] for _, r in g]
        print(f"| {name} | {z} | {len(g)} | {min(rhos):g} … {max(rhos):g} | {max(e for e, _ in g):.1e} |")
    band = json.loads((DATA / "limb_band.json").read_text())["rows"]
    rstars = sorted({r["rstar"] for r in band})
    print(f"\nrstar = {', '.join(f'{s:g}' for s in rstars)}, both functions:")
    print(f"  steps 1 - 1 ulp -> 1 -> 1 + 1 ulp against the reference's: "
          f"{max(limb_step_error(fn, band) for fn in FUNCTIONS.values()):.1f} ulps")
    for centre in [1.0 - 2.0 ** -31, 1.0 + 2.0 ** -31]:
        worst = max(form_edge_jump(fn, centre, rstar) for fn in FUNCTIONS.values() for rstar in rstars)
        print(f"  step where the limb form of the nodes begins (l = {centre!r}): {worst:.1f} ulps")


if __name__ == "__main__":
    main()
