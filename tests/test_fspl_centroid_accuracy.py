"""Accuracy of kalvorin_fspl.centroid_shift against mpmath.

The reference is tests/reference/data/fspl_centroid.json
(tests/reference/gen_centroid_reference.py: ring closed forms in Carlson's
integrals integrated over the source radius for x = u/rho < 3, the far-field
series beyond; checked against quadrature in phi of the definition, a
brute-force 2-D integral and its own convergence): every law, rho from 1e-4
to 1e3, x in every zone on both sides of the limb down to |x - 1| = 1e-6, far
points up to u = 1e6, and u = rho for the uniform source.

Target: |got - ref| <= TOL max(|ref|, |u/(u^2 + 2)|): relative where the
shift is at least the point-source shift u/(u^2 + 2), absolute at the scale
of the point-source shift where it is smaller. Inside the source and at its
limb the shift changes sign (for a uniform source it passes through 0 at
u = rho, steeply for a large source: |delta| ~ 5e-3 u/(u^2 + 2) at
|x - 1| = 1e-6 for rho = 1e3), and there a value is only as meaningful as
the absolute accuracy at that scale; far from the source the shift is
one-signed and close to the point source's, so the absolute bound does not
bind. At u = 0 the shift is 0 exactly (every ring's contribution carries a
factor u).

The law derivatives (gradient=True) are held to the same TOL against
max(|ref|, |delta - u/(u^2 + 2)|): a parameter moves only the finite-source
part of the shift, so that part is their natural scale.
"""

import json
from pathlib import Path

import numpy as np
import pytest

import kalvorin_fspl as kf

DATA = Path(__file__).parent / "reference" / "data" / "fspl_centroid.json"
ROWS = json.loads(DATA.read_text())["rows"]

TOL = 1e-12

LAW_NAMES = ["Uniform", "Linear", "Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret"]
REGIONS = ["centre", "inside", "limb_minus", "limb", "limb_plus", "outside", "far"]
HAS_CENTROID = hasattr(kf, "centroid_shift")


def rows_of(law, region):
    return [r for r in ROWS if r["law"] == law and r["region"] == region]


def evaluate(rows, gradient=False):
    """Library values for rows of one law: one array call per parameter set
    (with gradient, (delta, d delta/d law) per row)."""
    out = [None] * len(rows)
    groups = {}
    for i, r in enumerate(rows):
        groups.setdefault(tuple(r["params"]), []).append(i)
    for params, idx in groups.items():
        law = getattr(kf, rows[idx[0]]["law"])(*params)
        u = np.array([rows[i]["u"] for i in idx])
        rho = np.array([rows[i]["rho"] for i in idx])
        if gradient:
            d, _, _, dlaw = kf.centroid_shift(u, rho, law, gradient=True)
            assert np.shape(dlaw) == (len(idx), len(params))
        else:
            d = kf.centroid_shift(u, rho, law)
        d = np.asarray(d)
        assert d.shape == (len(idx),)
        for k, i in enumerate(idx):
            out[i] = (float(d[k]), [float(v) for v in dlaw[k]]) if gradient else float(d[k])
    return out


def label(r):
    return f"{r['law']}{tuple(r['params'])} rho={r['rho']:g} u={r['u']!r} x={r['x']:.9g} ({r['region']})"


def cases():
    return [(law, region) for law in LAW_NAMES for region in REGIONS if rows_of(law, region)]


@pytest.mark.skipif(not HAS_CENTROID, reason="kalvorin_fspl has no centroid_shift yet")
@pytest.mark.parametrize("law,region", cases())
def test_centroid_shift_against_mpmath(law, region):
    rows = rows_of(law, region)
    got = evaluate(rows)
    worst = (-1.0, None)
    failures = []
    for r, g in zip(rows, got):
        ref = float(r["delta_str"])
        if r["u"] == 0:
            if g != 0.0:
                failures.append(f"centre: {g!r} instead of 0 at {label(r)}")
            continue
        point = r["u"] / (r["u"] ** 2 + 2)
        e = abs(g - ref) / max(abs(ref), point)
        if e > worst[0]:
            worst = (e, label(r))
        if not e <= TOL:
            failures.append(f"{label(r)}: {g!r} vs {r['delta_str']} (error {e:.2e} > {TOL:g})")
    assert not failures, f"{len(failures)} failures, first: {failures[0]}; worst {worst[0]:.1e} at {worst[1]}"


@pytest.mark.skipif(not HAS_CENTROID, reason="kalvorin_fspl has no centroid_shift yet")
@pytest.mark.parametrize("law,region", [c for c in cases() if c[0] != "Uniform"])
def test_law_derivatives_against_mpmath(law, region):
    rows = rows_of(law, region)
    got = evaluate(rows, gradient=True)
    values = evaluate(rows)
    worst = (-1.0, None)
    failures = []
    for r, (d, dlaw), value in zip(rows, got, values):
        if not d == value:
            failures.append(f"delta with gradient {d!r} differs from the value alone {value!r} at {label(r)}")
        point = r["u"] / (r["u"] ** 2 + 2) if r["u"] else 0.0
        scale = abs(float(r["delta_str"]) - point)
        for p, s in enumerate(r["delta_dlaw_str"]):
            ref = float(s)
            if r["u"] == 0:
                if dlaw[p] != 0.0:
                    failures.append(f"d delta/dp{p} at the centre: {dlaw[p]!r} instead of 0 at {label(r)}")
                continue
            e = abs(dlaw[p] - ref) / max(abs(ref), scale)
            if e > worst[0]:
                worst = (e, f"p{p} {label(r)}")
            if not e <= TOL:
                failures.append(f"d delta/dp{p} at {label(r)}: {dlaw[p]!r} vs {s} (error {e:.2e} > {TOL:g})")
    assert not failures, f"{len(failures)} failures, first: {failures[0]}; worst {worst[0]:.1e} at {worst[1]}"


def test_table_covers_every_law_and_zone():
    for law in LAW_NAMES:
        for region in ("centre", "inside", "limb_minus", "limb_plus", "outside", "far"):
            assert rows_of(law, region), (law, region)
    assert rows_of("Uniform", "limb")
    assert {r["rho"] for r in ROWS} >= {1e-4, 1e3}
    assert max(r["u"] for r in ROWS) >= 1e6
    for r in ROWS:
        # u = rho only for the uniform source, where the shift is 0
        assert (r["u"] == r["rho"]) == (r["region"] == "limb")
        assert r["region"] != "limb" or r["law"] == "Uniform"
        assert len(r["delta_dlaw_str"]) == len(r["params"]) == len(r["delta_dlaw"])
