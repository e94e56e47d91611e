"""kalvorin_fspl's centroid shift: limits, exact values, zone edges, the trajectory's components.

Accuracy against mpmath is in test_fspl_centroid_accuracy.py; here the
properties that hold exactly or follow from the definition.
"""

import numpy as np
import pytest

import kalvorin_fspl as kf

LAWS = [
    kf.Uniform(), kf.Linear(0.6), kf.Quadratic(0.4, 0.25), kf.SquareRoot(0.2, 0.5), kf.Logarithmic(0.6, 0.2),
    kf.Power2(0.6, 0.5), kf.Claret(0.5, 0.1, 0.3, -0.15),
    kf.Table([0.0, 0.3, 0.3, 0.7, 1.0], [1.0, 0.9, 0.7, 0.5, 0.2]),
]
RHOS = [1e-4, 0.01, 0.5, 20.0, 1e3]


def point_shift(u):
    u = np.asarray(u, dtype=float)
    return u / (u * u + 2)


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_limits_centre_point_source_and_far_field(law):
    # u = 0: no shift; rho = 0 or a lens beyond 1e15 source radii: the point source's.
    for rho in RHOS:
        assert kf.centroid_shift(0.0, rho, law) == 0.0
        far = rho * 2e15
        assert kf.centroid_shift(far, rho, law) == pytest.approx(point_shift(far), rel=1e-15)
    u = np.array([1e-3, 0.3, 1.0, 7.0, 1e4])
    assert np.array_equal(kf.centroid_shift(u, 0.0, law), point_shift(u))
    # A small source: the point source's shift to O(rho²) (ratio - 1 ~ 7e-8 at u = 0.3, rho = 1e-4).
    for uu in (0.3, 3.0):
        ratio = kf.centroid_shift(uu, 1e-4, law) / point_shift(uu)
        assert abs(ratio - 1) < 1e-7


@pytest.mark.parametrize("rho", [0.01, 0.1, 1.3, 20.0])
def test_uniform_source_with_the_lens_on_its_limb_has_no_shift(rho):
    # δ = 0 at u = rho for a uniform source (found to 33-36 digits at these rho by two
    # independent mpmath integrations); 1e-13 of the nearby shift's scale.
    scale = abs(kf.centroid_shift(0.5 * rho, rho))
    assert abs(kf.centroid_shift(rho, rho)) < 1e-13 * scale
    # and the sign changes there: negative inside, positive outside
    assert kf.centroid_shift(0.999 * rho, rho) < 0.0 < kf.centroid_shift(1.001 * rho, rho)


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("rho", RHOS)
def test_shift_is_continuous_across_the_edges_of_the_zones(law, rho):
    # Different rules on either side of each edge (x = u/rho in source radii): the
    # panels, the 24/20/14-point rules, the product rules, the far-field series.
    # δ can be steep there (its relative slope reaches ~20 near the limb of a small
    # uniform source), so the jump is measured against the trend of its neighbours.
    for edge in (1.05, 1.2, 2.0, 3.0):
        x = edge * (1 + 1e-13 * np.array([-3.0, -1.0, 1.0, 3.0]))
        d = kf.centroid_shift(x * rho, rho, law)
        jump = (d[2] - d[1]) - 0.5 * ((d[1] - d[0]) + (d[3] - d[2]))
        assert abs(jump) <= 5e-13 * abs(d).max(), (edge, d)
    # the centre zone (x < 2^-60 uses the odd extension from 2^-60)
    x = 2.0**-60 * np.array([1 - 1e-9, 1 + 1e-9])
    d = kf.centroid_shift(x * rho, rho, law)
    assert d[0] / x[0] == pytest.approx(d[1] / x[1], rel=1e-12)


def test_identical_profiles_through_different_rules_agree():
    u = np.array([0.0, 0.005, 0.05, 0.099, 0.1, 0.101, 0.15, 0.25, 0.6, 3.0])
    # (at rho = 1e3 the panels alone resolved the ring's structure to ~2e-12 of δ)
    for rho in (0.1, 5.0, 1e3):
        uniform = kf.centroid_shift(u * rho / 0.1, rho)
        # a flat table (product rules, table panels) and a law with a zero coefficient
        flat = kf.centroid_shift(u * rho / 0.1, rho, kf.Table([0.0, 1.0], [1.0, 1.0]))
        assert np.allclose(flat, uniform, rtol=1e-13, atol=1e-14 * abs(uniform).max())
        lin = kf.centroid_shift(u * rho / 0.1, rho, kf.Linear(0.5))
        for same in (kf.Quadratic(0.5, 0.0), kf.Power2(0.5, 1.0), kf.SquareRoot(0.5, 0.0)):
            got = kf.centroid_shift(u * rho / 0.1, rho, same)
            assert np.allclose(got, lin, rtol=1e-13, atol=1e-14 * abs(lin).max()), same


def test_limb_darkening_moves_the_centroid_towards_the_point_source_inside():
    # A darker limb concentrates the light towards the centre: inside the source the
    # shift lies between the uniform source's and the point source's.
    u, rho = np.linspace(0.01, 0.09, 9), 0.1
    uniform, darkened = kf.centroid_shift(u, rho), kf.centroid_shift(u, rho, kf.Linear(0.9))
    assert (uniform < darkened).all() and (darkened < point_shift(u)).all()


def test_shapes_broadcast_scalars_and_errors():
    d = kf.centroid_shift(np.linspace(0, 0.02, 3)[:, None], np.array([0.001, 0.01]), kf.Linear(0.6))
    assert d.shape == (3, 2) and d.dtype == np.float64
    assert type(kf.centroid_shift(0.003, 0.01)) is float
    assert type(kf.centroid_shift(np.float32(0.003), 0.01)) is float
    with pytest.raises(ValueError, match="u"):
        kf.centroid_shift([0.1, -1.0], 0.1)
    with pytest.raises(ValueError, match="rho"):
        kf.centroid_shift(0.1, float("nan"))
    with pytest.raises(ValueError, match="broadcast"):
        kf.centroid_shift(np.ones(3), np.ones(2))
    with pytest.raises(TypeError):
        kf.centroid_shift(1j, 0.1)
    with pytest.raises(TypeError):
        kf.centroid_shift(0.1, 0.1, "linear")
    with pytest.raises(ValueError, match="u"):
        kf.centroid_shift([0.1, -1.0], 0.1, kf.Linear(0.6), gradient=True)
    with pytest.raises(ValueError, match="rho"):
        kf.centroid_shift(0.1, float("inf"), gradient=True)


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("curve", [(0.001, 20.0, 0.001, 60.0), (0.01, 20.0, 0.1, 0.05), (0.3, 5.0, 0.5, 3.0)])
def test_astrometric_light_curve(law, curve):
    u0, tE, rho, span = curve
    half = np.linspace(0.0, span, 501)
    t = np.concatenate([-half[:0:-1], half])  # symmetric about t0 = 0, bit for bit
    A, dx, dy = kf.astrometric_light_curve(t, 0.0, u0, tE, rho, law)
    # the photometry has the bits of light_curve
    assert np.array_equal(A, kf.light_curve(t, 0.0, u0, tE, rho, law))
    # the components resolve the shift at u(t) along and across the motion
    tau = t / tE
    u = np.sqrt(u0 * u0 + tau * tau)
    delta = kf.centroid_shift(u, rho, law)
    assert np.allclose(np.hypot(dx, dy), np.abs(delta), rtol=1e-15, atol=0)
    assert np.allclose(dx, delta * tau / u, rtol=1e-15, atol=0) and np.allclose(dy, delta * u0 / u, rtol=1e-15, atol=0)
    # dx odd and dy even in t - t0; the other side of the lens flips dy only
    assert np.array_equal(dx, -dx[::-1]) and np.array_equal(dy, dy[::-1])
    A2, dx2, dy2 = kf.astrometric_light_curve(t, 0.0, -u0, tE, rho, law)
    assert np.array_equal(A2, A) and np.array_equal(dx2, dx) and np.array_equal(dy2, -dy)


def test_astrometric_light_curve_arrays_scalars_and_errors():
    t = np.linspace(-1, 1, 5)
    A, dx, dy = kf.astrometric_light_curve(t, 0.0, np.array([0.01, 0.02])[:, None], 20.0, 0.005)
    assert A.shape == dx.shape == dy.shape == (2, 5)
    for k, u0 in enumerate((0.01, 0.02)):
        single = kf.astrometric_light_curve(t, 0.0, u0, 20.0, 0.005)
        assert all(np.array_equal(a[k], b) for a, b in zip((A, dx, dy), single))
    out = kf.astrometric_light_curve(0.0, 0.0, 0.0, 20.0, 0.005)
    assert out == (kf.light_curve(0.0, 0.0, 0.0, 20.0, 0.005), 0.0, 0.0)
    for name, args in (("tE", (0.0, 0.0, 0.01, 0.0, 0.1)), ("rho", (0.0, 0.0, 0.01, 20.0, -1.0)),
                       ("t", ([0.0, float("inf")], 0.0, 0.01, 20.0, 0.1)), ("u0", (0.0, 0.0, float("nan"), 20.0, 0.1))):
        with pytest.raises(ValueError, match=name):
            kf.astrometric_light_curve(*args)


@pytest.mark.parametrize("law", LAWS[:3], ids=repr)
def test_small_sources_scale_with_their_radius(law):
    # Over a small source the lens magnifies like 1/d: δ/ρ depends on x = u/ρ alone
    # up to O(ρ²), from ρ = 1e-100 (where ρ⁻⁴ overflows) up through 5.8e-11.
    x = np.array([1e-3, 0.3, 0.999, 1.0, 1.001, 1.5, 3.0, 40.0])
    ref = kf.centroid_shift(x * 1e-9, 1e-9, law) / 1e-9
    for rho in (1e-100, 1e-60, 1e-20, 5.8e-11 * (1 - 1e-9), 5.8e-11 * (1 + 1e-9), 1e-8):
        got = kf.centroid_shift(x * rho, rho, law) / rho
        assert np.allclose(got, ref, rtol=1e-13, atol=1e-15), rho


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("rho", [1e-90, 1e-30, 1e-12])
def test_small_sources_far_from_the_lens_are_point_sources(law, rho):
    # Where u is not small the 1/d scaling does not hold: a tiny source at u ~ 1
    # shifts as a point source does, to O((ρ/u)²) (it once took the shift of a
    # source of 2^-34 at the same x, scaled: 6 % off at u = 0.1 for ρ = 1e-12).
    u = np.array([1e-6, 1e-3, 0.1, 1.0, np.sqrt(2.0), 10.0, 1e4])
    d, du, _, _ = kf.centroid_shift(u, rho, law, gradient=True)
    assert np.allclose(d, point_shift(u), rtol=1e-12, atol=0.0)
    point_slope = (2 - u * u) / (u * u + 2) ** 2
    assert np.allclose(du, point_slope, rtol=1e-12, atol=1e-13 * np.abs(point_shift(u) / u).max())
