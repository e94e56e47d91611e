"""centroid_shift(..., gradient=True): exact limits, the limb, consistency between zones and laws.

Accuracy against mpmath is in test_fspl_centroid_accuracy.py; here the
properties that hold exactly, the behaviour at the singular points, and
agreement with Richardson-extrapolated differences of the values for the
table law (which the mpmath table does not cover).
"""

import numpy as np
import pytest

import kalvorin_fspl as kf
from test_fspl_centroid import LAWS, RHOS


def point_slope(u):
    u = np.asarray(u, dtype=float)
    return (2 - u * u) / (u * u + 2) ** 2


def richardson(f, h):
    """Central difference of f at 0, extrapolated from steps h and h/2."""
    d1 = (f(h) - f(-h)) / (2 * h)
    d2 = (f(h / 2) - f(-h / 2)) / h
    return (4 * d2 - d1) / 3


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_shapes_bits_and_scalars(law):
    u = np.array([[0.0, 0.004, 0.01], [0.02, 0.5, 40.0]])
    rho = np.array([0.01, 0.2, 0.01])
    d, du, drho, dlaw = kf.centroid_shift(u, rho, law, gradient=True)
    assert d.shape == du.shape == drho.shape == (2, 3)
    assert dlaw.shape == (2, 3, len(law.params))
    assert np.array_equal(d, kf.centroid_shift(u, rho, law))
    one = kf.centroid_shift(0.004, 0.2, law, gradient=True)
    assert all(isinstance(v, float) for v in one[:3]) and one[3].shape == (len(law.params),)
    assert one[0] == d[0, 1] and one[1] == du[0, 1] and one[2] == drho[0, 1]
    assert np.array_equal(one[3], dlaw[0, 1])


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("rho", [1e-12, 1e-4, 0.1, 30.0, 1e3])
def test_shift_keeps_its_bits_in_every_zone(law, rho):
    # With the gradient the shift comes from the derivatives' own ring sums and
    # far-field series where they serve; it must be the value's, bit for bit.
    x = np.concatenate([np.linspace(0.0, 3.5, 57), np.geomspace(1e-3, 1e4, 40), [1e-30, 1.0, 3.0, 1 + 4 / rho]])
    u = x * rho
    assert np.array_equal(kf.centroid_shift(u, rho, law, gradient=True)[0], kf.centroid_shift(u, rho, law))


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_exact_limits(law):
    # rho = 0 and a lens beyond 1e15 source radii: the point source, nothing else moves it.
    u = np.array([1e-3, 0.3, np.sqrt(2.0), 7.0, 1e4])
    d, du, drho, dlaw = kf.centroid_shift(u, 0.0, law, gradient=True)
    assert np.array_equal(du, point_slope(u)) and np.all(drho == 0.0) and np.all(dlaw == 0.0)
    for rho in RHOS:
        _, du, drho, dlaw = kf.centroid_shift(rho * 2e15, rho, law, gradient=True)
        assert du == pytest.approx(point_slope(rho * 2e15), rel=1e-14) and drho == 0.0 and np.all(dlaw == 0.0)
        # u = 0: δ = 0 for every rho and law (drho, dlaw exactly 0); dδ/du the slope of δ ~ κu
        d0, du0, drho0, dlaw0 = kf.centroid_shift(0.0, rho, law, gradient=True)
        assert d0 == 0.0 and drho0 == 0.0 and np.all(dlaw0 == 0.0)
        x = 1e-7
        assert du0 == pytest.approx(kf.centroid_shift(x * rho, rho, law) / (x * rho), rel=1e-9)


@pytest.mark.parametrize("law", [kf.Uniform(), kf.Linear(0.6), kf.Claret(0.5, 0.1, 0.3, -0.15)], ids=repr)
@pytest.mark.parametrize("rho", [0.01, 0.5, 20.0])
def test_lens_on_a_bright_limb(law, rho):
    # At u = rho the slopes diverge like ln|u - rho| with opposite signs (δ depends on
    # u - rho there); the values nearby grow towards them with the same signs.
    _, du, drho, _ = kf.centroid_shift(rho, rho, law, gradient=True)
    assert np.isinf(du) and np.isinf(drho) and np.sign(du) == -np.sign(drho)
    if isinstance(law, kf.Uniform):
        assert du > 0 > drho
    for side in (-1, 1):
        near = kf.centroid_shift(rho * (1 + side * np.array([1e-6, 1e-9, 1e-12])), rho, law, gradient=True)
        for slope, limit in ((near[1], du), (near[2], drho)):
            assert np.all(np.sign(slope) == np.sign(limit))
            assert abs(slope[0]) < abs(slope[1]) < abs(slope[2])
            # logarithmic: three decades of |u - rho| add about the same each time (the
            # corrections go like |x - 1|^(1/4) for the sqrt(mu) terms of Claret's law)
            if not isinstance(law, kf.Claret):
                steps = np.diff(np.abs(slope))
                assert steps[1] == pytest.approx(steps[0], rel=0.02)


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("rho", [1e-4, 0.05, 1.0, 300.0])
def test_derivatives_continuous_across_the_edges_of_the_zones(law, rho):
    # Different rules and formulations meet at these x = u/rho (panels, Gauss rules,
    # product rules, the ring term without its harmonic part from x = 1 + 4/rho, the
    # far-field series from x = 3) and at u = 10 (the far field's 1/u² series): the
    # jump is measured against the trend of the neighbours.
    edges = [1.05, 1.2, 2.0, 3.0, 1 + 4 / rho, 10 / rho]
    for edge in edges:
        if not 1 < edge < 1e6:
            continue
        x = edge * (1 + 1e-12 * np.array([-3.0, -1.0, 1.0, 3.0]))
        _, du, drho, dlaw = kf.centroid_shift(x * rho, rho, law, gradient=True)
        for name, v in [("du", du), ("drho", drho)] + [(f"dlaw{j}", dlaw[:, j]) for j in range(dlaw.shape[1])]:
            jump = (v[2] - v[1]) - 0.5 * ((v[1] - v[0]) + (v[3] - v[2]))
            scale = np.max(np.abs(v))
            assert abs(jump) <= 1e-10 * scale, (name, edge, v)


@pytest.mark.parametrize("law", [kf.Linear(0.6), kf.Power2(0.6, 0.5), LAWS[-1]], ids=repr)
@pytest.mark.parametrize("x", [0.3, 1.5, 5.0])
def test_small_sources_scale(law, x):
    # Below rho = 2^-34 the rings are taken at 2^-34 and scaled: at fixed x = u/rho,
    # dδ/du and dδ/drho do not change with rho, dδ/dlaw scales like δ (to O(rho²)),
    # down to rho = 1e-90, where ε⁴ of a ring at the source's own radius overflows.
    ref = 2.0 ** -34
    rhos = (ref / 1.001, 1e-20, 1e-90)
    rows = [kf.centroid_shift(x * rho, rho, law, gradient=True) for rho in (ref * 1.001,) + rhos]
    for r, rho in zip(rows[1:], rhos):
        assert r[1] == pytest.approx(rows[0][1], rel=1e-12)
        assert r[2] == pytest.approx(rows[0][2], rel=1e-12)
        assert r[3] / rho == pytest.approx(rows[0][3] / (ref * 1.001), rel=1e-12)


TABLE = kf.Table([0.0, 0.3, 0.3, 0.7, 1.0], [1.0, 0.9, 0.7, 0.5, 0.2])


@pytest.mark.parametrize("rho", [0.05, 1.0, 30.0])
@pytest.mark.parametrize("x", [0.2, 0.85, 1.5, 2.5, 6.0])
def test_table_derivatives_against_differences_of_the_values(rho, x):
    # The table has no mpmath rows: its derivatives (other channels, the jumps'
    # boundary terms) against Richardson differences of δ itself (errors ~1e-9 of the
    # slope from rounding over steps of 1e-4).
    u = x * rho
    d, du, drho, dlaw = kf.centroid_shift(u, rho, TABLE, gradient=True)
    r = np.array([0.0, 0.3, 0.3, 0.7, 1.0])
    intensities = np.array([1.0, 0.9, 0.7, 0.5, 0.2])
    scale = np.max(np.abs(np.concatenate([[du * u, drho * rho], dlaw])))
    fu = richardson(lambda h: kf.centroid_shift(u * (1 + h), rho, TABLE), 1e-4) / u
    fr = richardson(lambda h: kf.centroid_shift(u, rho * (1 + h), TABLE), 1e-4) / rho
    assert abs(du - fu) * u <= 1e-8 * scale
    assert abs(drho - fr) * rho <= 1e-8 * scale
    for j in range(len(intensities)):
        def shifted(h, j=j):
            i = intensities.copy()
            i[j] += h
            return kf.centroid_shift(u, rho, kf.Table(r, i))
        assert abs(dlaw[j] - richardson(shifted, 1e-4)) <= 1e-8 * scale, j


def test_errors_name_the_argument():
    with pytest.raises(ValueError, match="u"):
        kf.centroid_shift([0.1, np.nan], 0.1, kf.Linear(0.5), gradient=True)
    with pytest.raises(ValueError, match="rho"):
        kf.centroid_shift(0.1, -1.0, gradient=True)
    with pytest.raises(ValueError, match="broadcast"):
        kf.centroid_shift(np.ones(3), np.ones(2), gradient=True)
    with pytest.raises(TypeError):
        kf.centroid_shift(0.1, 0.1, "linear", gradient=True)
