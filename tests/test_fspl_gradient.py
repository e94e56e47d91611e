"""kalvorin_fspl's exact derivatives: shapes, the value's bits, limits, the chain rule of the Jacobian.

Accuracy against mpmath is in test_fspl_gradient_accuracy.py; here the
properties that hold exactly or follow from the definitions.
"""

import math

import numpy as np
import pytest

import kalvorin_fspl as kf

LAWS = [
    kf.Uniform(), kf.Linear(0.6), kf.Quadratic(0.4, 0.25), kf.SquareRoot(0.2, 0.5), kf.Logarithmic(0.6, 0.2),
    kf.Power2(0.6, 0.5), kf.Claret(0.5, 0.1, 0.3, -0.15),
    # reduced to the linear law's path, with a derivative along a term that is absent
    kf.Quadratic(0.4, 0.0), kf.SquareRoot(0.3, 0.0), kf.Power2(0.5, 1.0),
]
# Separations in source radii over every zone and its edges.
X = [0.0, 2.0**-70, 1e-9, 0.3, 0.999999, 1.000001, 1.05, 1.2, 1.7, 2.0, 2.9999, 3.0, 3.0001, 7.0, 1e4, 1e16]
RHOS = [1e-4, 0.01, 0.5, 20.0]


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_value_has_the_bits_of_the_magnification(law):
    for rho in RHOS:
        u = np.array(X) * rho
        A, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
        assert np.array_equal(A, kf.magnification(u, rho, law)), rho
        assert np.isfinite(du).all() and np.isfinite(drho).all() and np.isfinite(dlaw).all()
        assert dlaw.shape == (len(X), len(law.params))


def test_shapes_broadcast_and_scalars():
    law = kf.Quadratic(0.4, 0.25)
    A, du, drho, dlaw = kf.magnification(np.linspace(0, 0.02, 3)[:, None], np.array([0.001, 0.01]), law, gradient=True)
    assert A.shape == du.shape == drho.shape == (3, 2) and dlaw.shape == (3, 2, 2)
    out = kf.magnification(0.003, 0.01, law, gradient=True)
    assert [type(v) for v in out[:3]] == [float, float, float] and out[3].shape == (2,)
    _, _, _, empty = kf.magnification([0.1, 0.2], 0.1, kf.Uniform(), gradient=True)
    assert empty.shape == (2, 0)
    A, J = kf.light_curve(np.zeros((2, 3)), 0.1, 0.01, 10.0, 0.02, law, jacobian=True)
    assert A.shape == (2, 3) and J.shape == (2, 3, 6)
    A1, J1 = kf.light_curve(0.0, 0.1, 0.01, 10.0, 0.02, law, jacobian=True)
    assert isinstance(A1, float) and J1.shape == (6,)


# Limb intensity I(1) != 0: the slopes diverge at u = rho; a dark limb keeps them finite.
@pytest.mark.parametrize("law", [kf.Uniform(), kf.Linear(0.6), kf.Quadratic(0.4, 0.25), kf.SquareRoot(0.2, 0.5),
                                 kf.Claret(0.5, 0.1, 0.3, -0.15)], ids=repr)
@pytest.mark.parametrize("rho", [1e-3, 0.3, 5.0])
def test_slopes_diverge_on_a_bright_limb(law, rho):
    _, du, drho, dlaw = kf.magnification(rho, rho, law, gradient=True)
    assert du == -math.inf and drho == math.inf
    assert np.isfinite(dlaw).all()
    # and grow like ln|u - rho| on either side
    near = [kf.magnification(rho * (1 + s * h), rho, law, gradient=True)[1] for h in (1e-6, 1e-9) for s in (-1, 1)]
    assert near[2] < near[0] and near[3] < near[1] < 0


@pytest.mark.parametrize("law, alpha", [(kf.Linear(1.0), 1.0), (kf.Quadratic(0.6, 0.4), 1.0),
                                        (kf.Power2(1.0, 0.7), 0.7)], ids=repr)
@pytest.mark.parametrize("rho", [1e-3, 0.3, 5.0])
def test_slopes_stay_finite_on_a_dark_limb(law, alpha, rho):
    # I ~ mu^alpha at the limb: the slopes are continuous there, with a cusp
    # |u - rho|^(alpha/2) outside (100 times closer, 100^(alpha/2) times
    # nearer the limit) and at least as smooth inside.
    on = kf.magnification(rho, rho, law, gradient=True)
    for sign in (1, -1):
        near = [kf.magnification(rho * (1 + sign * h), rho, law, gradient=True) for h in (1e-6, 1e-8)]
        for k in (1, 2):
            assert math.isfinite(on[k])
            order = math.log(abs(near[0][k] - on[k]) / abs(near[1][k] - on[k]), 100)
            if sign > 0:
                assert order == pytest.approx(alpha / 2, abs=0.05), (k, sign)
            else:
                assert order >= alpha / 2 - 0.05, (k, sign)


@pytest.mark.parametrize("law", LAWS[:7], ids=repr)
def test_at_the_centre_and_towards_it(law):
    rho = 0.02
    _, du0, _, _ = kf.magnification(0.0, rho, law, gradient=True)
    assert du0 == 0.0
    # dA/du is odd and analytic in u: proportional to u near 0, across the centre zone (u < 2^-60 rho)
    u = rho * np.array([1e-8, 1e-12, 2.0**-61, 1e-25])
    _, du, _, _ = kf.magnification(u, rho, law, gradient=True)
    slope = du / u
    np.testing.assert_allclose(slope, slope[0], rtol=1e-7)


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_small_sources_scale_down_to_the_smallest_radius(law):
    # Near a small source A = a(x)/rho up to O(u², rho²): rho² dA/du, rho² dA/drho and
    # rho dA/dlaw depend on x = u/rho alone. Below rho ~ 1e-77 the rings' eps⁴ overflows;
    # the gradient takes them at 2^-34 and scales (it was NaN or inf there).
    x = np.array([1e-3, 0.3, 0.999, 1.5, 2.9])
    _, du, drho, dlaw = kf.magnification(x * 1e-9, 1e-9, law, gradient=True)
    for rho in (1e-100, 1e-80, 1e-20, 5.8e-11):
        _, gu, grho, glaw = kf.magnification(x * rho, rho, law, gradient=True)
        assert np.allclose(gu * rho**2, du * 1e-18, rtol=1e-12, atol=0.0), rho
        assert np.allclose(grho * rho**2, drho * 1e-18, rtol=1e-12, atol=0.0), rho
        assert np.allclose(glaw * rho, dlaw * 1e-9, rtol=1e-12, atol=1e-13 * np.abs(dlaw * 1e-9).max(initial=0.0)), rho


def test_point_source_at_rho_zero():
    u = np.array([0.01, 0.3, 2.0, 1e3])
    A, du, drho, dlaw = kf.magnification(u, 0.0, kf.Linear(0.6), gradient=True)
    np.testing.assert_array_equal(A, (u**2 + 2) / (u * np.sqrt(u**2 + 4)))
    np.testing.assert_allclose(du, -8 / (u**2 * (u**2 + 4) ** 1.5), rtol=1e-15)
    assert (drho == 0).all() and (dlaw == 0).all()


@pytest.mark.parametrize("law", [kf.Linear(0.6), kf.SquareRoot(0.2, 0.5)], ids=repr)
@pytest.mark.parametrize("edge", [1.05, 1.2, 2.0, 3.0])
@pytest.mark.parametrize("rho", [1e-3, 0.5])
def test_derivatives_are_continuous_across_the_zone_edges(law, edge, rho):
    # Each zone's rule is exact to ~1e-13, so the two sides of an edge agree to that.
    u = np.array([np.nextafter(edge, 0), edge, np.nextafter(edge, 9)]) * rho
    _, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
    for d in (du, drho, *dlaw.T):
        np.testing.assert_allclose(d, d[1], rtol=1e-12, atol=0)


def _fd(f, x, h):
    return (-f(x + 2 * h) + 8 * f(x + h) - 8 * f(x - h) + f(x - 2 * h)) / (12 * h)


@pytest.mark.parametrize("law", LAWS[1:7], ids=repr)
@pytest.mark.parametrize("rho, x", [(1e-3, 0.4), (0.05, 0.97), (0.05, 1.3), (2.0, 2.5), (0.01, 5.0)])
def test_against_finite_differences_of_the_values(law, rho, x):
    # A coarse check of signs and factors (differences lose ~6 digits here).
    u = x * rho
    A, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
    h = 1e-4 * rho * min(abs(x - 1), 1.0)
    assert du == pytest.approx(_fd(lambda v: kf.magnification(v, rho, law), u, h), rel=1e-6)
    assert drho == pytest.approx(_fd(lambda r: kf.magnification(u, r, law), rho, h), rel=1e-6)
    for j, p in enumerate(law.params):
        def value(v, j=j):
            q = list(law.params)
            q[j] = v
            return kf.magnification(u, rho, type(law)(*q))
        ref = _fd(value, p, 1e-4)
        assert dlaw[j] == pytest.approx(ref, rel=1e-5, abs=1e-9 * A), (j, dlaw[j], ref)


@pytest.mark.parametrize("law", [kf.Uniform(), kf.Linear(0.6), kf.Power2(0.6, 0.5)], ids=repr)
def test_jacobian_is_the_chain_rule_through_the_trajectory(law):
    t0, u0, tE, rho = 0.3, -0.004, 12.0, 0.01
    t = np.concatenate([np.linspace(-1, 1, 401), [t0]])
    A, J = kf.light_curve(t, t0, u0, tE, rho, law, jacobian=True)
    tau = (t - t0) / tE
    u = np.sqrt(u0 * u0 + tau * tau)
    Am, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
    np.testing.assert_array_equal(A, Am)
    np.testing.assert_allclose(J[:, 0], -du * tau / (u * tE), rtol=1e-14, atol=0)
    np.testing.assert_allclose(J[:, 1], du * u0 / u, rtol=1e-14, atol=0)
    np.testing.assert_allclose(J[:, 2], -du * tau**2 / (u * tE), rtol=1e-14, atol=0)
    np.testing.assert_array_equal(J[:, 3], drho)
    np.testing.assert_array_equal(J[:, 4:], dlaw)
    # array-valued parameters take numpy's route: the same numbers
    A2, J2 = kf.light_curve(t, np.array([t0]), u0, tE, np.array(rho), law, jacobian=True)
    np.testing.assert_array_equal(A2, A)
    np.testing.assert_allclose(J2, J, rtol=1e-15, atol=0)


@pytest.mark.parametrize("array_params", [False, True])
def test_jacobian_on_the_limb_at_closest_approach(array_params):
    # u = rho at t = t0: dA/du is -inf there, the t0 and tE columns tend to 0
    # (u - rho grows like tau^2), dA/du0 diverges.
    t0 = np.array([0.0]) if array_params else 0.0
    A, J = kf.light_curve([0.0, 1e-4], t0, 0.01, 10.0, 0.01, kf.Linear(0.6), jacobian=True)
    assert J[0, 0] == 0.0 and J[0, 2] == 0.0 and J[0, 1] == -math.inf
    assert np.isfinite(J[1]).all() and abs(J[1, 0]) < 1e-3 * abs(J[1, 1])


def test_jacobian_at_u_zero():
    A, J = kf.light_curve(np.array([5.0]), 5.0, 0.0, 20.0, 0.01, kf.Linear(0.6), jacobian=True)
    assert J[0, 0] == J[0, 1] == J[0, 2] == 0.0 and np.isfinite(J).all()


TABLES = [
    kf.Table([0.0, 0.3, 0.3, 0.7, 1.0], [1.0, 0.9, 0.7, 0.5, 0.2]),  # a jump at 0.3, bright limb
    kf.Table(np.sin(np.linspace(0, np.pi / 2, 9)), 1 - 0.6 * (1 - np.cos(np.linspace(0, np.pi / 2, 9)))),
    kf.Table([0.1, 0.5, 0.9], [0.5, 1.0, 0.6]),  # dark centre, ends inside the disk
]


@pytest.mark.parametrize("law", TABLES, ids=lambda t: f"{t.r.size} points")
@pytest.mark.parametrize("rho, x", [(1e-3, 0.05), (1e-3, 0.62), (0.1, 0.97), (0.1, 1.5), (2.0, 2.5), (0.01, 4.0)])
def test_table_gradient_against_finite_differences(law, rho, x):
    u = x * rho
    A, du, drho, dlaw = kf.magnification(u, rho, law, gradient=True)
    assert A == kf.magnification(u, rho, law) and dlaw.shape == (law.r.size,)
    h = 1e-5 * rho
    assert du == pytest.approx(_fd(lambda v: kf.magnification(v, rho, law), u, h), rel=1e-6)
    assert drho == pytest.approx(_fd(lambda r: kf.magnification(u, r, law), rho, h), rel=1e-6)
    for j, v in enumerate(law.intensity):
        def value(w, j=j):
            q = law.intensity.copy()
            q[j] = w
            return kf.magnification(u, rho, kf.Table(law.r, q))
        assert dlaw[j] == pytest.approx(_fd(value, v, 1e-4), rel=1e-5, abs=1e-9 * A), j


@pytest.mark.parametrize("points", [9, 41, 301])
def test_table_gradient_is_homogeneous_of_degree_zero(points):
    # A does not depend on the scale of the intensities: sum_j I_j dA/dI_j = 0.
    theta = np.linspace(0, np.pi / 2, points)
    law = kf.Table(np.sin(theta), 1 - 0.6 * (1 - np.cos(theta)))
    u = np.concatenate([np.linspace(0, 0.035, 60), [0.05, 0.3]])
    _, _, _, dlaw = kf.magnification(u, 0.01, law, gradient=True)
    euler = dlaw @ law.intensity
    assert np.max(np.abs(euler)) <= 1e-12 * np.max(np.abs(dlaw))


def test_table_slopes_diverge_at_its_jumps():
    law = TABLES[0]
    for x, finite in [(0.3, False), (1.0, False), (0.7, True)]:  # a jump, the bright limb, a kink
        _, du, drho, dlaw = kf.magnification(0.01 * x, 0.01, law, gradient=True)
        assert math.isfinite(du) == finite and math.isfinite(drho) == finite and np.isfinite(dlaw).all()
    A, J = kf.light_curve([0.0, 1.0], 0.0, 0.05, 10.0, 0.1, law, jacobian=True)
    assert J.shape == (2, 9)


@pytest.mark.parametrize("u, rho, error, words", [
    (-0.1, 0.1, ValueError, "u must be finite and non-negative"),
    ([0.1, np.nan], 0.1, ValueError, "u[1]"),
    (0.1, -1.0, ValueError, "rho must be finite"),
    ("a", 0.1, TypeError, "u must be real numbers"),
])
def test_bad_input_names_the_argument(u, rho, error, words):
    with pytest.raises(error, match=words.replace("[", r"\[").replace("]", r"\]")):
        kf.magnification(u, rho, kf.Linear(0.6), gradient=True)
