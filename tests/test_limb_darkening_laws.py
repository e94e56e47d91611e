"""Limb-darkening laws against mpmath: kalvorin_fspl's linear law for any
coefficient, and other laws through the tables of
examples/limb_darkening_laws.py.

Reference values: tests/reference/data/limb_darkening_laws.json, produced by
tests/reference/gen_limb_darkening_reference.py (radial integrals of the ring
mean in mpmath at 30 digits; never from this module). Its rows give the
separation l in source radii and the radii re, rstar; the module takes
u = l rho Einstein radii with rho = rstar/re.
"""

import json
import os
import sys

import numpy as np
import pytest

import kalvorin_fspl as kf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import limb_darkening_laws as ldl  # noqa: E402

with open(os.path.join(HERE, "reference", "data", "limb_darkening_laws.json")) as fh:
    REF = json.load(fh)


def rel_err(got, expected):
    return abs(got / expected - 1.0)


def _lin_id(r):
    return f"{r['region']}-l={r['l']}-rho={r['rstar'] / r['re']:g}-re={r['re']}-c={r['coefficient']}"


# Centre, inside, near and on the limb, outside, and far (20 and 100 source
# radii); measured up to 2.0e-15 (on the limb), 4.4e-16 elsewhere.
LINEAR_BOUND = 1e-14


@pytest.mark.parametrize("row", REF["linear"], ids=[_lin_id(r) for r in REF["linear"]])
def test_linear_law_against_mpmath(row):
    rho = row["rstar"] / row["re"]
    got = kf.magnification(row["l"] * rho, rho, kf.Linear(row["coefficient"]))
    assert isinstance(got, float)
    assert rel_err(got, row["expected"]) <= LINEAR_BOUND, (got, row["expected"])


@pytest.mark.parametrize("c", [0.2, 0.45, 0.8])
def test_linear_law_one_array_call(c):
    # All separations and source sizes of a coefficient in one call (u and
    # rho arrays, closed-form and far points mixed): in order, as accurate,
    # and bit-identical to the calls one point at a time.
    rows = [r for r in REF["linear"] if r["coefficient"] == c]
    assert len(rows) == 28
    rho = np.array([r["rstar"] / r["re"] for r in rows])
    u = np.array([r["l"] for r in rows]) * rho
    got = kf.magnification(u, rho, kf.Linear(c))
    assert got.shape == (len(rows),)
    assert [rel_err(g, r["expected"]) <= LINEAR_BOUND for g, r in zip(got, rows)] == [True] * len(rows)
    one_by_one = np.array([kf.magnification(float(x), float(p), kf.Linear(c)) for x, p in zip(u, rho)])
    assert got.tobytes() == one_by_one.tobytes()


def test_demonstration_coefficients_match_reference():
    for name, (_, coeffs) in ldl.LAWS.items():
        assert list(coeffs) == REF["law_coefficients"][name]


def _law_refs(name):
    rows = [r for r in REF["laws"] if r["law"] == name]
    return [r["l"] for r in rows], rows[0]["rstar"] / rows[0]["re"], [r["expected"] for r in rows]


def _table_error(name, n, spacing):
    ls, rho, expected = _law_refs(name)
    make, coeffs = ldl.LAWS[name]
    got = kf.magnification(np.array(ls) * rho, rho, ldl.tabulate(make(*coeffs), n, spacing))
    return float(np.max(np.abs(got / np.array(expected) - 1.0)))


# The guidance of the README: largest relative error over l = 0 ... 2 source
# radii (centre, inside, limb, outside) for tables uniform in theta
# (r = sin theta). Bounds with a margin over the measured values (quadratic /
# square-root / power-2): n = 21: 3.1e-4 / 7.1e-4 / 6.6e-4;
# n = 41: 7.8e-5 / 1.9e-4 / 1.8e-4; n = 81: 2.0e-5 / 5.0e-5 / 4.6e-5.
THETA_GUIDANCE = [(21, 1e-3), (41, 3e-4), (81, 7e-5)]


@pytest.mark.parametrize("name", list(ldl.LAWS))
@pytest.mark.parametrize("n,bound", THETA_GUIDANCE)
def test_theta_table_accuracy(name, n, bound):
    assert _table_error(name, n, "theta") <= bound


@pytest.mark.parametrize("name", list(ldl.LAWS))
def test_theta_table_converges_at_second_order(name):
    # Doubling the table divides the error by about 4 (linear interpolation
    # of a profile whose limb edge is smooth in theta): measured 3.7-4.1.
    e41, e81 = _table_error(name, 41, "theta"), _table_error(name, 81, "theta")
    assert e41 / e81 > 3.0


@pytest.mark.parametrize("name", list(ldl.LAWS))
def test_uniform_r_table_is_the_poor_choice(name):
    # A table uniform in r misses the square-root edge at the limb: at 41
    # points it is 20-25x worse than uniform in theta (measured 1.6e-3 ...
    # 4.2e-3) and converges at about first order (error ratio 2.0-2.3 per
    # doubling, against 3.8-4.0 in theta).
    e_r41, e_r81 = _table_error(name, 41, "r"), _table_error(name, 81, "r")
    assert e_r41 > 10 * _table_error(name, 41, "theta")
    assert e_r41 / e_r81 < 2.5


@pytest.mark.parametrize("spacing", ldl.SPACINGS)
@pytest.mark.parametrize("n", [2, 7, 41])
def test_table_radii_are_increasing_from_centre_to_limb(spacing, n):
    # kalvorin_fspl.Table needs non-decreasing radii (equal ones make a jump),
    # and a table that does not reach 0 and 1 would cut off part of the source.
    bl = ldl.table_radii(n, spacing)
    assert len(bl) == n and bl[0] == 0.0 and bl[-1] == 1.0
    assert all(a < b for a, b in zip(bl, bl[1:]))


@pytest.mark.parametrize("name,l", [("square-root", 0.5), ("power-2", 1.0), ("quadratic", 1.1)])
def test_example_reference_agrees_with_reference_table(name, l):
    # The example prints its accuracy table against its own mpmath integral
    # (in theta, r = sin theta); the generator integrates in r with other
    # splits. Agreement to 1e-15 shows the printed table measures the tables,
    # not the reference.
    pytest.importorskip("mpmath")
    row = next(r for r in REF["laws"] if r["law"] == name and r["l"] == l)
    got = ldl.reference_magnification(ldl._mp_laws()[name], l, row["rstar"])
    assert rel_err(float(got), row["expected"]) <= 1e-15
