"""Closed-form checks and structural properties of the magnification models.

Expected values are the published figures of the model definitions (quoted to
the digits given there) or exact closed forms; accuracy against
high-precision references lives in test_accuracy.py.
"""

import math

import pytest

import kalvorin


def point_lens(x, eps):
    """Point-lens magnification at distance x, Einstein radius eps (same unit)."""
    return (x * x + 2 * eps * eps) / (x * math.sqrt(x * x + 4 * eps * eps))


def bits(values):
    return [float(v).hex() for v in values]


# (l, re, rstar, expected, absolute tolerance: half a unit of the last quoted digit)
UNIFORM_DISK = [
    (3.0, 1.0, 0.1, 3.494583351, 5e-10),
    (2.0, 1.0, 0.5, 1.381003928, 5e-10),
    (0.5, 1.0, 2.0, 1.388308185, 5e-10),
    (0.5, 1.0, 0.1, 18.71389090, 5e-9),
    (0.0, 1.0, 0.5, math.sqrt(1 + 4 / 0.25), 1e-15),  # centre: sqrt(1 + 4/rho^2)
    (1.0, 1.0, 0.3, 4.369248157, 5e-10),  # on the limb
    (10.0, 2.0, 0.2, 1.343076904, 5e-10),
]


@pytest.mark.parametrize("l,re,rstar,expected,tol", UNIFORM_DISK)
def test_uniform_disk_published_values(l, re, rstar, expected, tol):
    (got,) = kalvorin.witt_mao_magnification([l], re, rstar)
    assert abs(got - expected) <= tol


# (l, r, re, rstar, expected)
RING_CASES = [
    (3.0, 1.0, 1.0, 0.1, 3.5465565),
    (0.0, 0.5, 1.0, 1.0, point_lens(0.5, 1.0)),  # lens at the centre: A at distance r
    (0.0, 0.25, 3.0, 2.0, point_lens(0.25, 1.5)),
    (0.7, 0.0, 1.0, 1.0, point_lens(0.7, 1.0)),  # ring of radius 0: A at distance l
    (2.0, 0.0, 0.2, 1.0, point_lens(2.0, 0.2)),
]


@pytest.mark.parametrize("l,r,re,rstar,expected", RING_CASES)
def test_ring_closed_forms(l, r, re, rstar, expected):
    got = kalvorin.heyrovsky_magnification(l, r, re, rstar)
    assert abs(got - expected) <= 2e-15 * expected + (5e-8 if l == 3.0 else 0.0)


@pytest.mark.parametrize("u", [1e-3, 0.5, 1.0, 7.0])
def test_ring_through_the_lens_is_infinite(u):
    assert kalvorin.heyrovsky_magnification(u, u, 1.0, 0.1) == math.inf


def test_ring_and_lens_at_the_centre_is_nan():
    assert math.isnan(kalvorin.heyrovsky_magnification(0.0, 0.0, 1.0, 0.1))


@pytest.mark.parametrize("l,r", [(0.3, 0.9), (2.0, 0.5), (0.5, 0.5005), (0.5, 0.4995)])
def test_ring_without_lensing_is_one(l, r):
    assert abs(kalvorin.heyrovsky_magnification(l, r, 0.0, 1.0) - 1.0) <= 1e-15


@pytest.mark.parametrize("l,r", [(0.3, 0.9), (3.0, 1.0), (0.5, 0.5004), (0.0, 0.5)])
def test_only_the_ratio_of_radii_matters(l, r):
    a = kalvorin.heyrovsky_magnification(l, r, 2.0, 4.0)
    b = kalvorin.heyrovsky_magnification(l, r, 0.5, 1.0)
    assert a.hex() == b.hex()
    assert bits(kalvorin.witt_mao_magnification([l, r], 2.0, 4.0)) == bits(
        kalvorin.witt_mao_magnification([l, r], 0.5, 1.0)
    )


@pytest.mark.parametrize("u", [30.0, 300.0, 3000.0])
def test_ring_far_from_the_lens_is_the_point_lens(u):
    # The ring mean is A(u) + (r^2/4) (A'' + A'/u) + O(r^4): relative (r/u)^2.
    got = kalvorin.heyrovsky_magnification(u, 1.0, 1.0, 0.1)
    assert abs(got / point_lens(u, 10.0) - 1.0) <= 2.0 / u**2


def test_rstar_zero_gives_nan_not_an_error():
    assert all(math.isnan(v) for v in kalvorin.witt_mao_magnification([0.0, 1.0, 3.0], 1.0, 0.0))


# ---------------------------------------------------------------------------
# Discrete flux map
# ---------------------------------------------------------------------------

L = [0.0, 0.2, 0.75, 1.3, 4.0]


@pytest.mark.parametrize("copies", [1, 700, 1500])  # 3, 2100 and 4500 rings
def test_repeated_rings_sum_like_one_copy(copies):
    # Near the rings the map sums the rings of radius <= l/3 by a series over
    # the rings sorted by radius and evaluates the others; maps of more than
    # 4096 rings evaluate every ring. Each route, with the rings interleaved
    # out of order, must give the sum of one copy (ring by ring) times the
    # number of copies.
    radii, weights = [0.9, 0.2, 0.5], [0.2, 0.5, 0.3]
    ls = [0.1, 0.45, 0.7, 1.2, 1.6, 2.5, 2.8]
    ring_sum = [sum(w * kalvorin.heyrovsky_magnification(l, r, 1.0, 0.01) for r, w in zip(radii, weights))
                for l in ls]
    got = kalvorin.discrete_flux_map_heyrovsky_magnification(ls, 1.0, 0.01, radii * copies,
                                                             [w / copies for w in weights] * copies)
    for l, g, e in zip(ls, got, ring_sum):
        assert abs(g - e) <= 1e-13 * e, (l, g, e)


@pytest.mark.parametrize("radius", [0.0, 0.1, 0.5, 1.0])
def test_single_ring_equals_the_ring_magnification(radius):
    # The map evaluates its rings by a cheaper route (one Bulirsch integral,
    # or the far-field series beyond three ring radii), which agrees with the
    # ring function to rounding.
    got = kalvorin.discrete_flux_map_heyrovsky_magnification(L[1:], 1.0, 0.1, [radius], [1.0])
    ring = [kalvorin.heyrovsky_magnification(u, radius, 1.0, 0.1) for u in L[1:]]
    for u, g, r in zip(L[1:], got, ring):
        assert abs(g - r) <= 2e-15 * r, (u, g, r)


def test_weights_are_not_normalised():
    bl, bf = [0.1, 0.4, 0.6, 0.9], [0.1, 0.2, 0.3, 0.4]
    once = kalvorin.discrete_flux_map_heyrovsky_magnification(L, 1.0, 0.1, bl, bf)
    twice = kalvorin.discrete_flux_map_heyrovsky_magnification(L, 1.0, 0.1, bl, [2 * w for w in bf])
    assert bits(twice) == bits([2 * v for v in once])


def test_ring_through_the_lens_makes_the_sum_infinite_or_nan():
    got = kalvorin.discrete_flux_map_heyrovsky_magnification([0.5, 0.5], 1.0, 0.1, [0.5, 0.2], [1.0, 1.0])
    assert got == [math.inf, math.inf]
    (zero_weight,) = kalvorin.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.5], [0.0])
    assert math.isnan(zero_weight)


# ---------------------------------------------------------------------------
# Integrated magnifications: tables and families
# ---------------------------------------------------------------------------

FLUX_MAP_FUNCTIONS = [
    kalvorin.integrated_flux_map_witt_mao_magnification,
    kalvorin.integrated_flux_map_heyrovsky_magnification,
]


@pytest.mark.parametrize("fn", FLUX_MAP_FUNCTIONS)
@pytest.mark.parametrize("bl,bf", [([], []), ([2.0, 3.0], [1.0, 1.0]), ([-2.0, -1.0], [1.0, 5.0])])
def test_profile_without_flux_gives_nan(fn, bl, bf):
    assert all(math.isnan(v) for v in fn([0.0, 0.5, 3.0], 1.0, 0.1, bl, bf))
    assert fn([], 1.0, 0.1, bl, bf) == []


@pytest.mark.parametrize("fn", FLUX_MAP_FUNCTIONS)
def test_constant_profiles_give_the_uniform_disk(fn):
    l = [0.0, 0.5, 0.999, 1.0, 1.001, 3.0, 30.0]
    disk = kalvorin.witt_mao_magnification(l, 1.0, 0.1)
    for bl, bf in [([0.5], [2.0]), ([0.0, 1.0], [1.0, 1.0]), ([-1.0, 2.0], [3.0, 3.0])]:
        got = fn(l, 1.0, 0.1, bl, bf)
        assert all(abs(g - d) <= 1e-12 * d for g, d in zip(got, disk)), (bl, got, disk)


@pytest.mark.parametrize("rho", [1e-3, 0.1, 2.0])
def test_both_families_give_the_same_limb_darkened_values(rho):
    l = [0.0, 0.4, 0.9999, 1.0, 1.0001, 2.5, 80.0]
    a = kalvorin.integrated_witt_mao_magnification(l, 1.0, rho)
    b = kalvorin.integrated_heyrovsky_magnification(l, 1.0, rho)
    assert bits(a) == bits(b)


def test_only_the_heyrovsky_family_absorbs_kernel_failures():
    with pytest.raises(RuntimeError, match="elliprj: Fail to converge"):
        kalvorin.integrated_witt_mao_magnification([1.0, math.nan], 1.0, 0.1)
    got = kalvorin.integrated_heyrovsky_magnification([1.0, math.nan], 1.0, 0.1)
    assert math.isfinite(got[0]) and math.isnan(got[1])


# ---------------------------------------------------------------------------
# A list gives each separation the value of a call with that separation alone
# ---------------------------------------------------------------------------

MIXED = [5.0, 0.3, 1e4, 7.5, 2.0, 40.0, 1.0, 3.0000000000000004, 1e6, 0.0, 12.0, 3.5, 0.9, 250.0, 6.0,
         1.1, 8.0, 2.9, 31.0]  # far-field points interleaved with the others, 19 in all

LIST_CALLS = [
    ("witt_mao_magnification", ()),
    ("integrated_heyrovsky_magnification", ()),
    ("integrated_witt_mao_magnification", ()),
    ("integrated_flux_map_heyrovsky_magnification", ([0.0, 0.4, 0.8, 1.0], [1.0, 0.9, 0.6, 0.3])),
    ("integrated_flux_map_witt_mao_magnification", ([0.0, 0.4, 0.8, 1.0], [1.0, 0.9, 0.6, 0.3])),
    ("discrete_flux_map_heyrovsky_magnification", ([0.2, 0.5, 0.9], [0.3, 0.5, 0.2])),
]


@pytest.mark.parametrize("name,extra", LIST_CALLS, ids=[c[0] for c in LIST_CALLS])
@pytest.mark.parametrize("rstar", [1e-3, 0.1])
def test_list_values_equal_single_calls(name, extra, rstar):
    # Far-field points are evaluated in groups of four apart from the others;
    # the order of the result and the bits of every value must not show it.
    fn = getattr(kalvorin, name)
    whole = fn(MIXED, 1.0, rstar, *extra)
    single = [fn([x], 1.0, rstar, *extra)[0] for x in MIXED]
    assert bits(whole) == bits(single)
