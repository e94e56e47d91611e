"""kalvorin at the ends of the float range and outside the physical domain.

Valid extreme input against tests/reference/data/float_range.json
(tests/reference/gen_float_range_reference.py: the closed forms and radial
integrals evaluated in mpmath at these scales directly, nothing rescaled):
sources of 1e-300 ... 1e-120 and 1e20 ... 1e200 Einstein radii, separations
up to 1.7e308 source radii, rings and lenses from 5e-324 to 1.7e308. Input
that no source can have gives NaN, except where the closed forms' kernels
fail on it first (test_interface.py's kernel failures).
"""

import json
import math
import pathlib

import pytest

import kalvorin

ROWS = json.loads((pathlib.Path(__file__).parent / "reference" / "data" / "float_range.json").read_text())["rows"]
BOUND = 2e-15


def value(row):
    got = getattr(kalvorin, row["function"])(*row["args"])
    return got[0] if isinstance(got, list) else got


@pytest.mark.parametrize("row", ROWS, ids=[f"{r['function']}{r['args'][:4]}" for r in ROWS])
def test_extreme_input_against_mpmath(row):
    expected = float(row["expected"])  # "inf", or a value beyond the double range, reads as +inf
    got = value(row)
    if math.isinf(expected):
        assert got == expected
    else:
        assert abs(got / expected - 1) <= BOUND, got


TABLE = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.3])
RINGS = ([0.2, 0.5], [1.0, 1.0])
LISTS = [
    ("witt_mao_magnification", ()),
    ("integrated_witt_mao_magnification", ()),
    ("integrated_heyrovsky_magnification", ()),
    ("integrated_flux_map_heyrovsky_magnification", TABLE),
    ("integrated_flux_map_witt_mao_magnification", TABLE),
    ("discrete_flux_map_heyrovsky_magnification", RINGS),
]
# (re, rstar) that describe no source: a negative ratio, no source, no
# Einstein radius (for a whole source), infinities.
BAD_SCALES = [(1.0, -0.1), (-1.0, 0.1), (1.0, 0.0), (0.0, 0.1), (math.inf, 0.1), (1.0, math.inf)]


@pytest.mark.parametrize("name, extra", LISTS, ids=[n for n, _ in LISTS])
@pytest.mark.parametrize("re, rstar", BAD_SCALES)
def test_scales_outside_the_domain_are_nan_or_a_kernel_failure(name, extra, re, rstar):
    try:
        got = getattr(kalvorin, name)([0.0, 0.5, 3.0], re, rstar, *extra)
    except RuntimeError:
        return  # the closed form's kernels fail on it, as before
    assert all(math.isnan(v) for v in got), got


@pytest.mark.parametrize("name, extra", [c for c in LISTS if "heyrovsky" in c[0] and "discrete" not in c[0]])
@pytest.mark.parametrize("bad", [math.nan, -0.5, math.inf, -math.inf])
def test_separations_outside_the_domain_are_nan_where_nothing_fails(name, extra, bad):
    got = getattr(kalvorin, name)([0.5, bad, 3.0], 1.0, 0.1, *extra)
    assert math.isfinite(got[0]) and math.isnan(got[1]) and math.isfinite(got[2])


@pytest.mark.parametrize("args", [(-0.5, -0.3, 1.0, 0.03), (0.5, 0.3, -1.0, 0.03), (0.5, 0.3, 1.0, -0.03),
                                  (0.5, 0.3, 1.0, math.inf)])
def test_a_ring_outside_the_domain_is_nan(args):
    assert math.isnan(kalvorin.heyrovsky_magnification(*args))


def test_no_lens_leaves_a_ring_unmagnified():
    assert kalvorin.heyrovsky_magnification(3.0, 1.0, 0.0, 1.0) == pytest.approx(1.0, abs=1e-15)


@pytest.mark.parametrize("rstar", [1e-100, 1e-99])
def test_the_tiny_source_scaling_joins_the_models_own_zones(rstar):
    # Either side of the tiny-source edge the magnification times rho is the
    # same function of x (to rounding): no step at the edge.
    x = [0.0, 0.5, 0.999, 1.0, 2.0, 10.0]
    for name, extra in LISTS:
        below = getattr(kalvorin, name)(x, 1.0, rstar * 0.999999, *extra)
        at = getattr(kalvorin, name)(x, 1.0, rstar, *extra)
        for b, a in zip(below, at):
            if math.isinf(a):  # a ring through the lens
                assert b == a
            else:
                assert abs((b * 0.999999) / a - 1) <= 4e-15, (name, x, b, a)
