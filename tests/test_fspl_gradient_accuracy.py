"""Accuracy of kalvorin_fspl's derivatives dA/du, dA/drho and dA/d(law parameters).

The reference is tests/reference/data/fspl_gradient.json (mpmath central
differences of 40+-digit integrals, tests/reference/gen_gradient_reference.py):
every law, rho from 1e-4 to 1e3, x = u/rho in every zone on both sides of the
limb down to |x - 1| = 1e-6 and far from the source.

Targets: relative error <= 1e-10 in the limb band |x - 1| <= LIMB_BAND and
<= 1e-12 elsewhere, for every derivative. The error is measured against
max(|ref|, floor). For x < 3 the floor is FLOOR times the derivative's natural
scale, (A - 1)/max(u, rho) for dA/du, (A - 1)/rho for dA/drho and A - 1 for a
law parameter: near the source these derivatives change sign (dA/drho between
the centre and the limb, a coefficient's where the profiles' magnifications
cross) and vanish at the centre (dA/du), and a value there is only as
meaningful as the absolute accuracy at its scale. For x >= 3 no floor: there
the derivatives follow the far-field expansion (dA/du ~ -(A - 1)/u,
rho dA/drho and dA/dp ~ (A - 1)/x^2), of one sign, and must be accurate
relative to themselves. At u = 0, dA/du is 0 exactly.
"""

import json
import math
from pathlib import Path

import numpy as np
import pytest

import kalvorin_fspl as kf

DATA = Path(__file__).parent / "reference" / "data" / "fspl_gradient.json"
ROWS = json.loads(DATA.read_text())["rows"]

LIMB_BAND = 0.05
TOL_LIMB, TOL = 1e-10, 1e-12
FLOOR = 1e-3
X_FAR = 3.0

ZONES = {
    "inside": lambda x: x < 1 - LIMB_BAND,
    "limb": lambda x: abs(x - 1) <= LIMB_BAND,
    "outside": lambda x: 1 + LIMB_BAND < x < X_FAR,
    "far": lambda x: x >= X_FAR,
}
LAW_NAMES = ["Uniform", "Linear", "Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret"]


def rows_of(law, zone):
    return [r for r in ROWS if r["law"] == law and ZONES[zone](r["x"])]


def evaluate(rows):
    """Library values for rows of one law: one array call per parameter set."""
    out = [None] * len(rows)
    groups = {}
    for i, r in enumerate(rows):
        groups.setdefault(tuple(r["params"]), []).append(i)
    for params, idx in groups.items():
        law = getattr(kf, rows[idx[0]]["law"])(*params)
        u = np.array([rows[i]["u"] for i in idx])
        rho = np.array([rows[i]["rho"] for i in idx])
        a, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
        assert dlaw.shape == (len(idx), len(params))
        value = kf.magnification(u, rho, law)
        for k, i in enumerate(idx):
            out[i] = (a[k], du[k], drho[k], list(dlaw[k]), value[k])
    return out


def scales(r):
    """Natural scales of (dA/du, dA/drho, dA/dp)."""
    a1 = float(r["A_str"]) - 1
    return a1 / max(r["u"], r["rho"]), a1 / r["rho"], a1


def error(got, ref, scale, x):
    floor = FLOOR * scale if x < X_FAR else 0.0
    return abs(got - ref) / max(abs(ref), floor)


def label(r):
    return f"{r['law']}{tuple(r['params'])} rho={r['rho']:g} u={r['u']!r} x={r['x']:.9g} ({r['region']})"


@pytest.mark.parametrize("zone", list(ZONES))
@pytest.mark.parametrize("law", LAW_NAMES)
def test_derivatives_against_mpmath(law, zone):
    rows = rows_of(law, zone)
    assert rows, "no reference rows"
    got = evaluate(rows)
    worst = {}
    failures = []
    for r, (a, du, drho, dlaw, value) in zip(rows, got):
        tol = TOL_LIMB if abs(r["x"] - 1) <= LIMB_BAND else TOL
        assert a == value or (math.isnan(a) and math.isnan(value)), f"A differs from the value alone at {label(r)}"
        assert abs(a - float(r["A_str"])) <= 1e-14 * float(r["A_str"]), f"A at {label(r)}: {a!r} vs {r['A_str']}"
        su, srho, sp = scales(r)
        checks = [("dA_du", du, r["dA_du_str"], su), ("dA_drho", drho, r["dA_drho_str"], srho)]
        checks += [(f"dA_dlaw[{p}]", dlaw[p], s, sp) for p, s in enumerate(r["dA_dlaw_str"])]
        for name, g, s, scale in checks:
            if name == "dA_du" and r["u"] == 0:
                assert du == 0.0, f"dA/du at the centre: {du!r} at {label(r)}"
                continue
            e = error(g, float(s), scale, r["x"])
            if e > worst.get(name, (-1.0,))[0]:
                worst[name] = (e, label(r), g, s)
            if not e <= tol:
                failures.append(f"{name} at {label(r)}: {g!r} vs {s} (error {e:.2e} > {tol:g})")
    summary = "; ".join(f"{k} worst {v[0]:.1e} at {v[1]}" for k, v in worst.items())
    assert not failures, f"{len(failures)} failures, first: {failures[0]}. {summary}"


def test_table_covers_every_law_zone_and_parameter():
    for law in LAW_NAMES:
        for zone in ZONES:
            assert rows_of(law, zone), (law, zone)
    for r in ROWS:
        assert len(r["dA_dlaw_str"]) == len(r["params"]) == len(r["dA_dlaw"])
        assert r["u"] != r["rho"]
    assert {r["rho"] for r in ROWS} >= {1e-4, 1e3}
