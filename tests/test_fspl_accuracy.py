"""kalvorin_fspl against mpmath, in Einstein radii.

Reference values: tests/reference/data/fspl.json, produced by
tests/reference/gen_fspl_reference.py (the radial integral of the ring mean
at 30 digits, split at r = u/rho, with x = u/rho taken exactly; never from
this module). Rows: every law (uniform, linear with c from -0.5 to 1,
tabulated), rho from 1e-4 to 1e3, u from 0 to 1e6 at the centre, inside,
within 1e-6 of the limb on both sides, on it, outside and far.
Bounds are the measured worst errors (benchmarks/fspl_accuracy.py prints
them by zone) with a margin of about two.
"""

import json
import math
import pathlib

import numpy as np
import pytest

import kalvorin_fspl as kf

DATA = json.loads((pathlib.Path(__file__).parent / "reference" / "data" / "fspl.json").read_text())
TABLES = {name: kf.Table(t["r"], t["intensity"]) for name, t in DATA["tables"].items()}
# Measured: uniform 6.0e-15 (just outside the limb), linear 2.2e-15 (on the
# limb), tables 6.7e-16, point source 2.2e-16.
BOUND = {"uniform": 1.5e-14, "linear": 5e-15, "table": 2e-15, "point": 4.4e-16}


def law_of(row):
    if row["law"] == "linear":
        return kf.Linear(row["c"])
    if row["law"] == "table":
        return TABLES[row["table"]]
    return kf.Uniform()


def rel_err(got, expected):
    if math.isinf(expected):
        return 0.0 if got == expected else math.inf
    return abs(got / expected - 1.0)


GROUPS = sorted({(r["law"], r["region"]) for r in DATA["rows"]})


@pytest.mark.parametrize("law, region", GROUPS, ids=[f"{a}-{b}" for a, b in GROUPS])
def test_against_mpmath(law, region):
    rows = [r for r in DATA["rows"] if r["law"] == law and r["region"] == region]
    errors = [rel_err(kf.magnification(r["u"], r["rho"], law_of(r)), r["expected"]) for r in rows]
    worst = int(np.argmax(errors))
    assert errors[worst] <= BOUND[law], rows[worst]


def test_arrays_give_the_values_of_single_points():
    # One call per law over all its rows (u and rho as arrays, mixed zones
    # and radii), bit for bit the scalar calls.
    for key in {(r["law"], r.get("c"), r.get("table")) for r in DATA["rows"]}:
        rows = [r for r in DATA["rows"] if (r["law"], r.get("c"), r.get("table")) == key]
        law = law_of(rows[0])
        u = np.array([r["u"] for r in rows])
        rho = np.array([r["rho"] for r in rows])
        assert kf.magnification(u, rho, law).tolist() == [kf.magnification(r["u"], r["rho"], law) for r in rows]


def test_coverage_of_the_reference_table():
    rho = {r["rho"] for r in DATA["rows"] if r["law"] == "linear"}
    assert min(rho) <= 1e-4 and max(rho) >= 1e3
    assert max(r["u"] for r in DATA["rows"]) >= 1e6
    assert {"centre", "inside", "limb_minus", "limb", "limb_plus", "outside", "far"} <= {r["region"] for r in DATA["rows"]}


# The laws beyond linear: tests/reference/data/fspl_laws.json from
# tests/reference/gen_fspl_laws_reference.py (basis integrals of mu^p and
# mu ln mu at 40 digits, split at r = x and in mu = s^2 near the limb).
LAWS = json.loads((pathlib.Path(__file__).parent / "reference" / "data" / "fspl_laws.json").read_text())
LAW_GROUPS = sorted({(r["law"], r["region"]) for r in LAWS["rows"]})
# Measured worst (benchmarks/fspl_accuracy.py): 2.7e-15, quadratic on the limb.
LAW_BOUND = 5e-15


@pytest.mark.parametrize("law, region", LAW_GROUPS, ids=[f"{a}-{b}" for a, b in LAW_GROUPS])
def test_laws_against_mpmath(law, region):
    rows = [r for r in LAWS["rows"] if r["law"] == law and r["region"] == region]
    errors = [rel_err(kf.magnification(r["u"], r["rho"], getattr(kf, law)(*r["params"])), r["expected"])
              for r in rows]
    worst = int(np.argmax(errors))
    assert errors[worst] <= LAW_BOUND, rows[worst]


def test_coverage_of_the_laws_table():
    assert {r["law"] for r in LAWS["rows"]} == {"Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret"}
    assert min(r["rho"] for r in LAWS["rows"]) <= 1e-4 and max(r["rho"] for r in LAWS["rows"]) >= 1e3
    assert max(r["u"] for r in LAWS["rows"]) >= 1e6
    assert {"centre", "inside", "limb_minus", "limb", "limb_plus", "outside", "far"} <= {r["region"] for r in LAWS["rows"]}
