"""kalvorin_fspl: laws as values, numpy conventions, input checks, help.

Values here are checked against independent arithmetic (the point-lens
formula, the Gamma convention's algebra) or against the source-radius
functions of ``kalvorin`` (the same models reached through another
boundary); accuracy against mpmath is in test_fspl_accuracy.py.
"""

import doctest
import math
import pickle
import pydoc

import numpy as np
import pytest

import kalvorin
import kalvorin_fspl as kf
from kalvorin_fspl import Linear, Table, Uniform

THETA = np.linspace(0.0, np.pi / 2, 41)
QUADRATIC_TABLE = (np.sin(THETA), 1 - 0.35 * (1 - np.cos(THETA)) - 0.25 * (1 - np.cos(THETA)) ** 2)
LAWS = [Uniform(), Linear(0.6), Linear(0.3), Linear(-0.4), Linear(1.0), Table(*QUADRATIC_TABLE)]


# --------------------------------------------------------------------------
# Laws
# --------------------------------------------------------------------------

@pytest.mark.parametrize("law, text", [
    (Uniform(), "Uniform()"),
    (Linear(0.6), "Linear(0.6)"),
    (Linear(-0.25), "Linear(-0.25)"),
    (Table([0.0, 0.5, 1.0], [1.0, 0.9, 0.4]), "Table(r=[0.0, 0.5, 1.0], intensity=[1.0, 0.9, 0.4])"),
])
def test_repr_reads_back(law, text):
    assert repr(law) == text
    assert eval(text, vars(kf)) == law


def test_long_table_repr_is_one_short_line():
    text = repr(Table(*QUADRATIC_TABLE))
    assert "\n" not in text and "41 points" in text and len(text) < 160


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_laws_are_immutable_hashable_values_that_pickle(law):
    again = pickle.loads(pickle.dumps(law))
    assert again == law and hash(again) == hash(law) and type(again) is type(law)
    assert np.array_equal(kf.magnification([0.0, 0.005, 0.02], 0.01, again),
                          kf.magnification([0.0, 0.005, 0.02], 0.01, law))
    with pytest.raises(AttributeError):
        law.u = 0.5
    with pytest.raises(AttributeError):
        law.anything = 1


def test_laws_compare_by_value():
    assert Linear(0.5) == Linear(0.5) and Linear(0.5) != Linear(0.51)
    assert Uniform() == Uniform() and Uniform() != Linear(0.0)
    assert Table([0, 1], [1, 0.5]) == Table(np.array([0.0, 1.0]), (1.0, 0.5))
    assert Table([0, 1], [1, 0.5]) != Table([0, 1], [1, 0.4])
    assert len({Linear(0.5), Linear(0.5), Uniform()}) == 2


def test_table_arrays_are_read_only_copies():
    r = np.array([0.0, 1.0])
    law = Table(r, [1.0, 0.5])
    r[1] = 0.5
    assert law.r[1] == 1.0
    with pytest.raises(ValueError):
        law.r[0] = 0.1


@pytest.mark.parametrize("gamma, u", [(0.5, 0.6), (0.0, 0.0), (1.0, 1.0), (-0.5, -1.0), (0.25, 1 / 3)])
def test_gamma_convention(gamma, u):
    # u = 3Γ/(2 + Γ): the same law written as I/<I> = 1 − Γ(1 − 3μ/2).
    law = Linear.from_gamma(gamma)
    assert law.u == pytest.approx(u, rel=1e-15, abs=1e-300)
    assert law.gamma == pytest.approx(gamma, rel=1e-15, abs=1e-300)
    mu = np.linspace(0, 1, 11)
    mean = law.flux / math.pi
    assert np.allclose(law.profile(np.sqrt(1 - mu ** 2)) / mean, 1 - gamma * (1 - 1.5 * mu), rtol=1e-14, atol=0)


@pytest.mark.parametrize("law, flux", [
    (Uniform(), math.pi),
    (Linear(0.6), 0.8 * math.pi),
    (Linear(1.0), 2 * math.pi / 3),
    (Table([0.0, 1.0], [1.0, 1.0]), math.pi),
    (Table([0.0, 1.0], [1.0, 0.0]), math.pi / 3),  # ∫ 2πr(1 − r) dr
    (Table([0.5, 0.5, 1.0], [0.0, 2.0, 2.0]), 2 * math.pi * 0.75),  # an annulus, with a jump
])
def test_law_flux(law, flux):
    assert law.flux == pytest.approx(flux, rel=4e-16)


@pytest.mark.parametrize("make, error, words", [
    (lambda: Linear(1.0 + 1e-15), ValueError, "u must be at most 1"),
    (lambda: Linear(math.nan), ValueError, "u must be finite"),
    (lambda: Linear(math.inf), ValueError, "u must be finite"),
    (lambda: Linear("0.5"), TypeError, "u must be a real number"),
    (lambda: Linear(True), TypeError, "u must be a real number"),
    (lambda: Linear(0.5j), TypeError, "u must be a real number"),
    (lambda: Linear.from_gamma(-2.0), ValueError, "gamma must lie in"),
    (lambda: Linear.from_gamma(1.0 + 1e-15), ValueError, "gamma must lie in"),
    (lambda: Linear.from_gamma(None), TypeError, "gamma must be a real number"),
    (lambda: Table([0.5], [1.0]), ValueError, "at least two points"),
    (lambda: Table([], []), ValueError, "at least two points"),
    (lambda: Table([0.0, 0.6, 0.5, 1.0], [1, 1, 1, 1]), ValueError, "r must be non-decreasing; r[2]"),
    (lambda: Table([-0.1, 1.0], [1, 1]), ValueError, "r must lie in [0, 1]; r[0]"),
    (lambda: Table([0.0, 1.5], [1, 1]), ValueError, "r must lie in [0, 1]; r[1]"),
    (lambda: Table([0.0, 0.5, 1.0], [1, -0.1, 1]), ValueError, "intensity must be non-negative; intensity[1]"),
    (lambda: Table([0.0, 1.0], [0.0, 0.0]), ValueError, "no flux"),
    (lambda: Table([0.0, 1.0], [1.0]), ValueError, "same length"),
    (lambda: Table([0.0, math.nan], [1, 1]), ValueError, "r must be finite; r[1]"),
    (lambda: Table([0.0, 1.0], [1, math.inf]), ValueError, "intensity must be finite; intensity[1]"),
    (lambda: Table([[0.0, 1.0]], [[1, 1]]), ValueError, "r must be one-dimensional"),
    (lambda: Table([0.0, 1.0j], [1, 1]), TypeError, "r must hold real numbers"),
    (lambda: Table(["a", "b"], [1, 1]), TypeError, "r must hold real numbers"),
])
def test_law_validation(make, error, words):
    with pytest.raises(error) as info:
        make()
    assert words in str(info.value)


def test_law_profiles():
    r = np.array([0.0, 0.6, 1.0])
    assert np.allclose(Linear(0.6).profile(r), [1.0, 1 - 0.6 * 0.2, 0.4])
    t = Table([0.2, 0.6], [1.0, 0.5])
    assert np.allclose(t.profile([0.0, 0.2, 0.4, 0.6, 0.8]), [0.0, 1.0, 0.75, 0.5, 0.0])
    assert Linear(0.3).params == (0.3,) and Uniform().params == () and t.params == (1.0, 0.5)


# --------------------------------------------------------------------------
# Shapes, types and conventions
# --------------------------------------------------------------------------

@pytest.mark.parametrize("u, rho, shape", [
    (0.5, 0.1, None),
    (np.float64(0.5), np.float32(0.1), None),
    (np.array(0.5), 0.1, None),
    ([0.1, 0.5, 2.0], 0.1, (3,)),
    (np.linspace(0, 1, 6).reshape(2, 3), 0.1, (2, 3)),
    (np.linspace(0, 1, 4)[:, None], np.array([0.01, 0.1, 1.0]), (4, 3)),
    (0.3, [0.01, 0.1], (2,)),
    (np.zeros((0, 3)), 0.1, (0, 3)),
    (np.arange(5), 1, (5,)),
    (np.linspace(0, 1, 10, dtype=np.float32)[::3], 0.1, (4,)),  # non-contiguous float32
])
@pytest.mark.parametrize("law", [Uniform(), Linear(0.6), Table(*QUADRATIC_TABLE)], ids=repr)
def test_broadcasting_and_shapes(u, rho, shape, law):
    got = kf.magnification(u, rho, law)
    if shape is None:
        assert type(got) is float
        return
    assert isinstance(got, np.ndarray) and got.dtype == np.float64 and got.shape == shape
    ub, rb = np.broadcast_arrays(np.asarray(u, dtype=np.float64), np.asarray(rho, dtype=np.float64))
    # Every element is the value of its own scalar call.
    expected = [kf.magnification(float(a), float(b), law) for a, b in zip(ub.ravel(), rb.ravel())]
    assert got.ravel().tolist() == expected


@pytest.mark.parametrize("rho", [1e-3, 0.1, 1.0, 5.0])
def test_linear_06_is_the_built_in_law_in_source_radii(rho):
    u = np.concatenate([np.linspace(0, 3 * rho, 31), [rho * (1 - 1e-6), rho * (1 + 1e-6), 20 * rho, 1e3]])
    got = kf.magnification(u, rho, Linear(0.6))
    expected = np.asarray(kalvorin.integrated_heyrovsky_magnification((u / rho).tolist(), 1.0, rho))
    assert np.max(np.abs(got / expected - 1)) <= 1e-15
    uniform = np.asarray(kalvorin.witt_mao_magnification((u / rho).tolist(), 1.0, rho))
    assert np.max(np.abs(kf.magnification(u, rho, Uniform()) / uniform - 1)) <= 1e-15


def test_table_is_the_flux_map_in_source_radii():
    rho = 0.05
    u = np.linspace(0, 4 * rho, 23)
    got = kf.magnification(u, rho, Table(*QUADRATIC_TABLE))
    expected = kalvorin.integrated_flux_map_heyrovsky_magnification(
        (u / rho).tolist(), 1.0, rho, QUADRATIC_TABLE[0].tolist(), QUADRATIC_TABLE[1].tolist())
    assert np.max(np.abs(got / np.asarray(expected) - 1)) <= 1e-15


@pytest.mark.parametrize("law", LAWS, ids=repr)
def test_point_source_at_rho_zero(law):
    u = np.array([1e-300, 1e-8, 0.1, 1.0, 3.0, 1e6, 1e150, 1e200, 1.7e308])
    got = kf.magnification(u, 0.0, law)
    with np.errstate(over="ignore", invalid="ignore"):
        formula = (u * u + 2) / (u * np.sqrt(u * u + 4))
    finite = u < 1e150
    assert np.array_equal(got[finite], formula[finite])
    assert np.all(got[~finite] == 1.0)  # 2/u⁴ is below the rounding of 1
    assert kf.magnification(0.0, 0.0, law) == math.inf


def test_tiny_sources_are_points():
    # Beyond 1e15 source radii the finite-source terms are ~1e-30 relative.
    u = np.array([1e-3, 1.0, 10.0])
    point = kf.magnification(u, 0.0)
    for law in (Uniform(), Linear(0.5)):
        assert np.allclose(kf.magnification(u, 1e-20, law), point, rtol=1e-15, atol=0)


def test_light_curve_is_magnification_along_the_trajectory():
    t = np.linspace(-3.0, 5.0, 401).reshape(1, 401)
    t0, u0, tE, rho, law = 1.0, 0.002, 2.5, 0.004, Linear(0.53)
    tau = (t - t0) / tE
    expected = kf.magnification(np.sqrt(u0 * u0 + tau * tau), rho, law)
    got = kf.light_curve(t, t0, u0, tE, rho, law)
    assert got.shape == t.shape and np.array_equal(got, expected)
    assert np.array_equal(kf.light_curve(t, t0, -u0, tE, rho, law), got)  # the sign of u0 does not matter
    assert type(kf.light_curve(1.0, t0, u0, tE, rho, law)) is float
    # Parameters as arrays broadcast with t (one curve per source radius).
    rhos = np.array([[0.001], [0.004]])
    many = kf.light_curve(t[0], t0, u0, tE, rhos, law)
    assert many.shape == (2, 401) and np.array_equal(many[1], got[0])


# --------------------------------------------------------------------------
# Bad input: an error naming the argument, never a number
# --------------------------------------------------------------------------

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("u, rho, words", [
    (NAN, 0.1, "u must be finite and non-negative (Einstein radii); got nan"),
    (-0.5, 0.1, "u must be finite and non-negative (Einstein radii); got -0.5"),
    (INF, 0.1, "; got inf"),
    (0.5, -0.3, "rho must be finite and non-negative (Einstein radii); got -0.3"),
    (0.5, NAN, "rho must be finite"),
    ([0.1, 0.2, NAN], 0.1, "u[2] = nan"),
    (np.array([[0.1, 0.2], [-1.0, 0.3]]), 0.1, "u[1, 0] = -1.0"),
    (np.array([0.1, 0.2]), np.array([0.1, -INF]), "rho[1] = -inf"),
    (np.ones((2, 2)), np.array([[0.1], [-0.1]]), "rho[1, 0] = -0.1"),
    (np.ones(3), np.ones(4), "shapes do not broadcast together: u (3,), rho (4,)"),
    ([[0.1, 0.2], [0.3]], 0.1, "u must be a number or an array of numbers"),
])
def test_bad_numbers_are_value_errors(u, rho, words):
    with pytest.raises(ValueError) as info:
        kf.magnification(u, rho, Linear(0.6))
    assert words in str(info.value)


@pytest.mark.parametrize("u, rho, law, words", [
    (1 + 2j, 0.1, Uniform(), "u must be real numbers; got dtype complex128"),
    (np.array([0.5, 1.0], dtype=complex), 0.1, Uniform(), "u must be real numbers"),
    ("0.5", 0.1, Uniform(), "u must be real numbers"),
    ([None, 0.5], 0.1, Uniform(), "u must be real numbers; got dtype object"),
    (np.array([True, False]), 0.1, Uniform(), "got booleans"),
    (0.5, [0.1j], Uniform(), "rho must be real numbers"),
    (0.5, 0.1, "linear", "law must be a limb-darkening law"),
    (0.5, 0.1, 0.6, "law must be a limb-darkening law"),
])
def test_bad_types_are_type_errors(u, rho, law, words):
    with pytest.raises(TypeError) as info:
        kf.magnification(u, rho, law)
    assert words in str(info.value)


@pytest.mark.parametrize("kwargs, error, words", [
    ({"tE": 0.0}, ValueError, "tE must be finite and positive; got 0.0"),
    ({"tE": -1.0}, ValueError, "tE must be finite and positive"),
    ({"tE": INF}, ValueError, "tE must be finite and positive"),
    ({"t0": NAN}, ValueError, "t0 must be finite"),
    ({"u0": INF}, ValueError, "u0 must be finite"),
    ({"rho": -0.01}, ValueError, "rho must be finite and non-negative"),
    ({"t": [0.0, NAN]}, ValueError, "t must be finite; t[1] = nan"),
    ({"tE": np.array([[1.0], [0.0]])}, ValueError, "tE must be finite and positive; tE[1, 0] = 0.0"),
    ({"rho": np.array([[0.1], [NAN]])}, ValueError, "rho[1, 0] = nan"),
    ({"t": ["a"]}, TypeError, "t must be real numbers"),
    ({"u0": 0.1j}, TypeError, "u0 must be real numbers"),
    ({"law": None}, TypeError, "law must be a limb-darkening law"),
])
def test_light_curve_bad_input(kwargs, error, words):
    args = dict(t=np.linspace(-1, 1, 5), t0=0.0, u0=0.1, tE=10.0, rho=0.01, law=Linear(0.6))
    args.update(kwargs)
    with pytest.raises(error) as info:
        kf.light_curve(**args)
    assert words in str(info.value)


# --------------------------------------------------------------------------
# Help and metadata
# --------------------------------------------------------------------------

@pytest.mark.parametrize("obj, words", [
    (kf.magnification, ["Einstein radii", "rho = 0 is the point", "Raises", ">>> "]),
    (kf.light_curve, ["sqrt(u0**2 + tau**2)", "Einstein time", "t*", ">>> "]),
    (kf.Linear, ["1 - u*(1 - mu)", "from_gamma", "Gamma"]),
    (kf.Table, ["0 outside", "non-decreasing", "theta"]),
])
def test_help_answers(obj, words):
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    for w in words:
        assert w in text


@pytest.mark.parametrize("module", [kf, kf._api, kf._laws, kf._astrometry])
def test_docstring_examples_run(module):
    failures, tried = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert failures == 0 and tried > 0


def test_version():
    assert isinstance(kf.__version__, str) and kf.__version__.count(".") == 2
    try:
        from importlib.metadata import PackageNotFoundError, version
        assert version("kalvorin") == kf.__version__
    except PackageNotFoundError:
        pytest.skip("developer build: no installed metadata")


def test_public_names():
    assert set(kf.__all__) == {"magnification", "light_curve", "centroid_shift", "astrometric_light_curve", "Law",
                               "Uniform", "Linear", "Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret",
                               "Table", "__version__"}
    # The source-radius module is left as it is.
    assert kalvorin.__all__ == [
        "witt_mao_magnification", "integrated_witt_mao_magnification",
        "integrated_flux_map_witt_mao_magnification", "heyrovsky_magnification",
        "integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification",
        "discrete_flux_map_heyrovsky_magnification"]
