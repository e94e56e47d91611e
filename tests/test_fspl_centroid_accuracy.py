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

The slopes d delta/du and d delta/drho against
tests/reference/data/fspl_centroid_gradient.json
(tests/reference/gen_centroid_gradient_reference.py: Richardson-extrapolated
central differences of the same mpmath shift) as the magnification's
derivatives are held (tests/test_fspl_gradient_accuracy.py): TOL_LIMB in the
band |x - 1| <= LIMB_BAND, where they grow like ln|x - 1|, TOL elsewhere,
relative to max(|ref|, floor). The floor is FLOOR times the slope's natural
scale max(|delta|, u/(u^2 + 2))/max(u, rho): d delta/du changes sign (at
u = sqrt(2) for a point source, inside and near the limb of a finite one),
d delta/drho for x < 3; beyond, rho d delta/drho follows the far-field
expansion (~ -2(delta - u/(u^2 + 2))), of one sign, and is held relative to
itself. d delta/du comes from the magnification's gradient by an identity in
which rho (dA/drho)/(2A) enters with a weight up to 2 of the result (exactly
2 at u = 0), so it is held to twice the tolerances the magnification's
slopes meet: inside a source of rho = 1e3, dA/drho is within 5.8e-13 of the
reference (tests/test_fspl_gradient_accuracy.py) and d delta/du within 1.3e-12.
"""

import json
import math
from pathlib import Path

import numpy as np
import pytest

import kalvorin_fspl as kf

DATA = Path(__file__).parent / "reference" / "data" / "fspl_centroid.json"
ROWS = json.loads(DATA.read_text())["rows"]

TOL = 1e-12
TOL_LIMB, LIMB_BAND, FLOOR, X_FAR = 1e-10, 0.05, 1e-3, 3.0
U_WEIGHT = 2.0  # d delta/du: twice the magnification's slopes' tolerance
GRAD_DATA = Path(__file__).parent / "reference" / "data" / "fspl_centroid_gradient.json"
GRAD_ROWS = json.loads(GRAD_DATA.read_text())["rows"]

LAW_NAMES = ["Uniform", "Linear", "Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret"]
REGIONS = ["centre", "inside", "limb_minus", "limb", "limb_plus", "outside", "far"]
HAS_CENTROID = hasattr(kf, "centroid_shift")


def rows_of(law, region):
    return [r for r in ROWS if r["law"] == law and r["region"] == region]


def groups(rows):
    """(law, row indices, u, rho) for each parameter set of rows of one law."""
    by_params = {}
    for i, r in enumerate(rows):
        by_params.setdefault(tuple(r["params"]), []).append(i)
    for params, idx in by_params.items():
        yield (getattr(kf, rows[idx[0]]["law"])(*params), idx, np.array([rows[i]["u"] for i in idx]),
               np.array([rows[i]["rho"] for i in idx]))


def evaluate(rows, gradient=False):
    """Library values for rows of one law: one array call per parameter set
    (with gradient, (delta, d delta/d law) per row)."""
    out = [None] * len(rows)
    for law, idx, u, rho in groups(rows):
        params = law.params
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


def slope_errors(rows):
    """[(row, error of d delta/du, error of d delta/drho, tolerance of d delta/drho)] for rows of one law
    (d delta/du's tolerance is U_WEIGHT times it)."""
    deltas = {(r["law"], tuple(r["params"]), r["rho"], r["u"]): float(r["delta_str"]) for r in ROWS}
    out = []
    for law, idx, u, rho in groups(rows):
        _, du, drho, _ = kf.centroid_shift(u, rho, law, gradient=True)
        for k, i in enumerate(idx):
            r = rows[i]
            delta = deltas[(r["law"], tuple(r["params"]), r["rho"], r["u"])]
            point = r["u"] / (r["u"] ** 2 + 2)
            scale = FLOOR * max(abs(delta), point) / max(r["u"], r["rho"])
            ref_u, ref_rho = float(r["delta_du_str"]), float(r["delta_drho_str"])
            eu = abs(du[k] - ref_u) / max(abs(ref_u), scale)
            if r["u"] == 0:
                # δ = 0 for every rho: its rho-slope is 0 exactly
                erho = 0.0 if drho[k] == 0.0 and ref_rho == 0.0 else math.inf
            else:
                erho = abs(drho[k] - ref_rho) / max(abs(ref_rho), scale if r["x"] < X_FAR else 0.0)
            out.append((r, eu, erho, TOL_LIMB if abs(r["x"] - 1) <= LIMB_BAND else TOL))
    return out


def grad_cases():
    return sorted({(r["law"], r["region"]) for r in GRAD_ROWS}, key=lambda c: (LAW_NAMES.index(c[0]), c[1]))


@pytest.mark.parametrize("law,region", grad_cases())
def test_slopes_against_mpmath(law, region):
    rows = [r for r in GRAD_ROWS if r["law"] == law and r["region"] == region]
    failures, worst = [], (-1.0, None)
    for r, eu, erho, tol in slope_errors(rows):
        for name, e, t in (("d delta/du", eu, U_WEIGHT * tol), ("d delta/drho", erho, tol)):
            if e > worst[0]:
                worst = (e, f"{name} {label(r)}")
            if not e <= t:
                failures.append(f"{name} at {label(r)}: error {e:.2e} > {t:g}")
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
