"""Limb-darkening laws: immutable values that describe the source's brightness.

Every law gives the surface brightness I relative to the centre of the
source as a function of mu = sqrt(1 - r**2), r the fractional radius
(0 at the centre, 1 at the limb). The magnification does not depend on the
law's overall scale: it is normalised by the law's own flux.
"""

from __future__ import annotations

import math
from typing import Any, Tuple

import numpy as np
import numpy.typing as npt

from . import _core

__all__ = ["Law", "Uniform", "Linear", "Table", "Quadratic", "SquareRoot", "Logarithmic", "Power2", "Claret"]


def _real(value: Any, name: str) -> float:
    """A real number as a float; TypeError for anything else (bool included)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    x = float(value)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite; got {x!r}")
    return x


class Law:
    """Base class of the limb-darkening laws (not instantiated directly)."""

    __slots__ = ("_core", "_gradient")
    _core: Any

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable")

    def _set_core(self, core: Any) -> None:
        object.__setattr__(self, "_core", core)

    @property
    def params(self) -> Tuple[float, ...]:
        """The law's parameters in their order (empty for `Uniform`)."""
        return ()

    @property
    def flux(self) -> float:
        """Integral of 2*pi*r*I(r) over the source, r from 0 to 1 (I relative to the centre)."""
        return float(self._core.flux)

    def profile(self, r: npt.ArrayLike) -> Any:
        """I at fractional radius `r` (array-like in [0, 1]), relative to the centre."""
        raise NotImplementedError

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == other._key()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self).__name__, self._key()))

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), self._args())

    def _key(self) -> Any:
        return self._args()

    def _args(self) -> Tuple[Any, ...]:
        return ()

    def _gradient_basis(self) -> Tuple[Any, Any]:
        """Basis terms [(p, log)] (mu**p, times ln(mu) when log) and the matrix G with
        dI/d(param j) = sum_b G[j, b] * term_b."""
        return [], np.zeros((0, 0))

    def _gradient_core(self) -> Any:
        """The compiled gradient set-up of this law, built on first use and kept."""
        try:
            return self._gradient
        except AttributeError:
            basis, G = self._gradient_basis()
            core = _core.Gradient(self._core, basis, G.reshape(-1).tolist(), G.shape[0])
            object.__setattr__(self, "_gradient", core)
            return core


class Uniform(Law):
    """Uniformly bright source: I(mu) = 1.

    >>> Uniform()
    Uniform()
    """

    __slots__ = ()

    def __init__(self) -> None:
        self._set_core(_core.Law.uniform())

    def profile(self, r: npt.ArrayLike) -> Any:
        return np.ones_like(np.asarray(r, dtype=float))

    def __repr__(self) -> str:
        return "Uniform()"


class Linear(Law):
    """Linear limb darkening: I(mu) = 1 - u*(1 - mu), mu = sqrt(1 - r**2).

    Parameters
    ----------
    u : float
        The limb-darkening coefficient (the "u" or "a1" of other fitting
        codes): finite and at most 1 (the intensity at the limb is 1 - u);
        negative values brighten the limb.

    Other codes write the law with Gamma, I/I_mean = 1 - Gamma*(1 - 3*mu/2):
    ``Linear.from_gamma(gamma)`` converts (u = 3*Gamma/(2 + Gamma)) and
    ``law.gamma`` is the inverse.

    >>> Linear(0.6)
    Linear(0.6)
    >>> Linear.from_gamma(0.5).u
    0.6
    """

    __slots__ = ("u",)
    u: float

    def __init__(self, u: float) -> None:
        c = _real(u, "u")
        if c > 1.0:
            raise ValueError(f"u must be at most 1 (the intensity at the limb is 1 - u); got {c!r}")
        object.__setattr__(self, "u", c)
        self._set_core(_core.Law.linear(c))

    @classmethod
    def from_gamma(cls, gamma: float) -> "Linear":
        """The law with Gamma = `gamma`, u = 3*gamma/(2 + gamma); gamma in (-2, 1]."""
        g = _real(gamma, "gamma")
        if not (-2.0 < g <= 1.0):
            raise ValueError(f"gamma must lie in (-2, 1] (u = 3 gamma/(2 + gamma) at most 1); got {g!r}")
        return cls(3.0 * g / (2.0 + g))

    @property
    def gamma(self) -> float:
        """Gamma = 2u/(3 - u), the coefficient of I/I_mean = 1 - Gamma*(1 - 3*mu/2)."""
        return 2.0 * self.u / (3.0 - self.u)

    @property
    def params(self) -> Tuple[float, ...]:
        return (self.u,)

    def profile(self, r: npt.ArrayLike) -> Any:
        mu = np.sqrt(1.0 - np.square(np.asarray(r, dtype=float)))
        return 1.0 - self.u * (1.0 - mu)

    def _args(self) -> Tuple[Any, ...]:
        return (self.u,)

    def _gradient_basis(self) -> Tuple[Any, Any]:
        return [(0.0, False), (1.0, False)], np.array([[-1.0, 1.0]])

    def __repr__(self) -> str:
        return f"Linear({self.u!r})"


def _table_array(value: Any, name: str) -> "npt.NDArray[np.float64]":
    try:
        a = np.array(value)
    except ValueError as exc:  # ragged nested sequences
        raise ValueError(f"{name} must be a one-dimensional sequence of numbers: {exc}") from None
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers; got an array of dtype {a.dtype}")
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional; got shape {a.shape}")
    a = a.astype(np.float64)
    bad = np.flatnonzero(~np.isfinite(a))
    if bad.size:
        raise ValueError(f"{name} must be finite; {name}[{bad[0]}] = {a[bad[0]]!r}")
    a.flags.writeable = False
    return a


class Table(Law):
    """Tabulated brightness profile: linear in r between the points, 0 outside them.

    Parameters
    ----------
    r : array-like
        Fractional radii, at least two, non-decreasing, in [0, 1]. Two equal
        radii make a jump.
    intensity : array-like
        The brightness at each radius (any positive scale: the magnification
        is normalised by the table's own flux); non-negative, not all 0.

    For profiles that no closed-form law describes (a flux map). Sample a
    limb-darkened profile uniformly in theta, r = sin(theta), where its
    slope diverges at the limb.

    >>> Table([0.0, 0.5, 1.0], [1.0, 0.9, 0.4])
    Table(r=[0.0, 0.5, 1.0], intensity=[1.0, 0.9, 0.4])
    """

    __slots__ = ("r", "intensity")
    r: "npt.NDArray[np.float64]"
    intensity: "npt.NDArray[np.float64]"

    def __init__(self, r: npt.ArrayLike, intensity: npt.ArrayLike) -> None:
        ra = _table_array(r, "r")
        ia = _table_array(intensity, "intensity")
        if ra.size != ia.size:
            raise ValueError(f"r and intensity must have the same length; got {ra.size} and {ia.size}")
        if ra.size < 2:
            raise ValueError(f"a table needs at least two points; got {ra.size}")
        out = np.flatnonzero((ra < 0.0) | (ra > 1.0))
        if out.size:
            raise ValueError(f"r must lie in [0, 1]; r[{out[0]}] = {ra[out[0]]!r}")
        down = np.flatnonzero(np.diff(ra) < 0.0)
        if down.size:
            i = down[0] + 1
            raise ValueError(f"r must be non-decreasing; r[{i}] = {ra[i]!r} < r[{i - 1}] = {ra[i - 1]!r}")
        neg = np.flatnonzero(ia < 0.0)
        if neg.size:
            raise ValueError(f"intensity must be non-negative; intensity[{neg[0]}] = {ia[neg[0]]!r}")
        core = _core.Law.table(ra.tolist(), ia.tolist())
        if not core.flux > 0.0:
            raise ValueError("the table has no flux: intensity is 0 over the whole source")
        object.__setattr__(self, "r", ra)
        object.__setattr__(self, "intensity", ia)
        self._set_core(core)

    @property
    def params(self) -> Tuple[float, ...]:
        return tuple(self.intensity.tolist())

    def profile(self, r: npt.ArrayLike) -> Any:
        x = np.asarray(r, dtype=float)
        v = np.interp(x, self.r, self.intensity)
        return np.where((x < self.r[0]) | (x > self.r[-1]), 0.0, v)

    def _args(self) -> Tuple[Any, ...]:
        return (self.r, self.intensity)

    def _key(self) -> Any:
        return (self.r.tobytes(), self.intensity.tobytes())

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # the hat functions of the points, computed in the compiled layer; G the identity
        return [], np.zeros((self.r.size, 0))

    def __repr__(self) -> str:
        def fmt(a: "npt.NDArray[np.float64]") -> str:
            if a.size <= 8:
                return repr(a.tolist())
            head = ", ".join(f"{v:.6g}" for v in a[:3])
            tail = ", ".join(f"{v:.6g}" for v in a[-2:])
            return f"[{head}, ..., {tail}]"

        if self.r.size > 8:
            return f"Table(r={fmt(self.r)}, intensity={fmt(self.intensity)}, {self.r.size} points)"
        return f"Table(r={fmt(self.r)}, intensity={fmt(self.intensity)})"


class _PowerLaw(Law):
    """A law I(mu) = c0 + sum_k c_k mu**p_k + f*mu*ln(mu), integrated exactly.

    Subclasses define `_names`, `_basis()` (c0, [(c, p)], f) and `_minimum()`
    (the smallest intensity over mu in [0, 1] and where it is).
    """

    __slots__ = ()
    _names: Tuple[str, ...] = ()

    def __init__(self, *values: float) -> None:
        for name, v in zip(self._names, values):
            object.__setattr__(self, name, _real(v, name))
        self._check()
        c0, terms, f = self._basis()
        terms = [(c, p) for c, p in terms if c != 0.0]
        if f == 0.0 and len(terms) == 1 and terms[0][1] == 1.0:
            # the linear law's own path (the same bits as Linear)
            core = _core.Law.linear(terms[0][0])
        elif f == 0.0 and not terms:
            core = _core.Law.linear(0.0)
        else:
            core = _core.Law.power(c0, [c for c, _ in terms], [p for _, p in terms], f)
        self._set_core(core)

    def _check(self) -> None:
        value, mu = self._minimum()
        if value < -1e-14:
            raise ValueError(
                f"{self!r}: the intensity must be non-negative over the source; I(mu={mu:.6g}) = {value:.6g}"
            )

    def _basis(self) -> Tuple[float, Any, float]:
        raise NotImplementedError

    def _minimum(self) -> Tuple[float, float]:
        raise NotImplementedError

    @property
    def params(self) -> Tuple[float, ...]:
        return tuple(getattr(self, n) for n in self._names)

    def _args(self) -> Tuple[Any, ...]:
        return self.params

    def profile(self, r: npt.ArrayLike) -> Any:
        mu = np.sqrt(np.clip(1.0 - np.square(np.asarray(r, dtype=float)), 0.0, None))
        c0, terms, f = self._basis()
        v = c0 + sum(c * mu**p for c, p in terms)
        if f != 0.0:
            with np.errstate(divide="ignore", invalid="ignore"):
                v = v + f * np.where(mu > 0.0, mu * np.log(np.where(mu > 0.0, mu, 1.0)), 0.0)
        return v

    def _intensity(self, mu: float) -> float:
        c0, terms, f = self._basis()
        v = c0 + sum(c * mu**p for c, p in terms)
        return v + (f * mu * math.log(mu) if f != 0.0 and mu > 0.0 else 0.0)

    def _lowest(self, candidates: Any) -> Tuple[float, float]:
        pts = [m for m in candidates if 0.0 <= m <= 1.0] + [0.0, 1.0]
        vals = [(self._intensity(m), m) for m in pts]
        return min(vals)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({', '.join(repr(v) for v in self.params)})"


class Quadratic(_PowerLaw):
    """Quadratic limb darkening: I(mu) = 1 - a*(1 - mu) - b*(1 - mu)**2, mu = sqrt(1 - r**2).

    `a` and `b` are the "u1" and "u2" (or "a", "b") of other codes; the
    intensity must be non-negative over the whole source (ValueError
    otherwise). Integrated exactly (to rounding), at about the cost of `Linear`.

    >>> Quadratic(0.4, 0.25)
    Quadratic(0.4, 0.25)
    """

    __slots__ = ("a", "b")
    _names = ("a", "b")
    a: float
    b: float

    def __init__(self, a: float, b: float) -> None:
        super().__init__(a, b)

    def _basis(self) -> Tuple[float, Any, float]:
        a, b = self.a, self.b
        return 1.0 - a - b, [(a + 2.0 * b, 1.0), (-b, 2.0)], 0.0

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # d/da = mu - 1, d/db = -(1 - mu)**2 = -1 + 2 mu - mu**2
        return [(0.0, False), (1.0, False), (2.0, False)], np.array([[-1.0, 1.0, 0.0], [-1.0, 2.0, -1.0]])

    def _minimum(self) -> Tuple[float, float]:
        a, b = self.a, self.b  # in y = 1 - mu: 1 - a y - b y**2
        return self._lowest([1.0 + a / (2.0 * b)] if b != 0.0 else [])


class SquareRoot(_PowerLaw):
    """Square-root limb darkening: I(mu) = 1 - c*(1 - mu) - d*(1 - sqrt(mu)).

    >>> SquareRoot(0.2, 0.5).params
    (0.2, 0.5)
    """

    __slots__ = ("c", "d")
    _names = ("c", "d")
    c: float
    d: float

    def __init__(self, c: float, d: float) -> None:
        super().__init__(c, d)

    def _basis(self) -> Tuple[float, Any, float]:
        c, d = self.c, self.d
        return 1.0 - c - d, [(c, 1.0), (d, 0.5)], 0.0

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # d/dc = mu - 1, d/dd = sqrt(mu) - 1
        return [(0.0, False), (1.0, False), (0.5, False)], np.array([[-1.0, 1.0, 0.0], [-1.0, 0.0, 1.0]])

    def _minimum(self) -> Tuple[float, float]:
        c, d = self.c, self.d  # in s = sqrt(mu): (1 - c - d) + d s + c s**2
        return self._lowest([(d / (2.0 * c)) ** 2] if c > 0.0 and d < 0.0 else [])


class Logarithmic(_PowerLaw):
    """Logarithmic limb darkening: I(mu) = 1 - e*(1 - mu) - f*mu*ln(mu).

    >>> Logarithmic(0.6, 0.2)
    Logarithmic(0.6, 0.2)
    """

    __slots__ = ("e", "f")
    _names = ("e", "f")
    e: float
    f: float

    def __init__(self, e: float, f: float) -> None:
        super().__init__(e, f)

    def _basis(self) -> Tuple[float, Any, float]:
        return 1.0 - self.e, [(self.e, 1.0)], -self.f

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # d/de = mu - 1, d/df = -mu ln(mu)
        return [(0.0, False), (1.0, False), (1.0, True)], np.array([[-1.0, 1.0, 0.0], [0.0, 0.0, -1.0]])

    def _minimum(self) -> Tuple[float, float]:
        e, f = self.e, self.f  # I' = e - f (ln mu + 1) = 0
        cand = []
        if f != 0.0 and e / f - 1.0 < 700.0:
            cand.append(math.exp(e / f - 1.0))
        return self._lowest(cand)


class Power2(_PowerLaw):
    """Power-2 limb darkening: I(mu) = 1 - c*(1 - mu**alpha), alpha > 0.

    >>> Power2(0.6, 0.5)
    Power2(0.6, 0.5)
    """

    __slots__ = ("c", "alpha")
    _names = ("c", "alpha")
    c: float
    alpha: float

    def __init__(self, c: float, alpha: float) -> None:
        a = _real(alpha, "alpha")
        if not a > 0.0:
            raise ValueError(f"alpha must be positive; got {a!r}")
        super().__init__(c, a)

    def _basis(self) -> Tuple[float, Any, float]:
        return 1.0 - self.c, [(self.c, self.alpha)], 0.0

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # d/dc = mu**alpha - 1, d/dalpha = c mu**alpha ln(mu)
        a = self.alpha
        return [(0.0, False), (a, False), (a, True)], np.array([[-1.0, 1.0, 0.0], [0.0, 0.0, self.c]])

    def _minimum(self) -> Tuple[float, float]:
        return self._lowest([])


class Claret(_PowerLaw):
    """Four-parameter limb darkening: I(mu) = 1 - sum_k a_k*(1 - mu**(k/2)), k = 1..4.

    >>> Claret(0.5, 0.1, 0.3, -0.15)
    Claret(0.5, 0.1, 0.3, -0.15)
    """

    __slots__ = ("a1", "a2", "a3", "a4")
    _names = ("a1", "a2", "a3", "a4")
    a1: float
    a2: float
    a3: float
    a4: float

    def __init__(self, a1: float, a2: float, a3: float, a4: float) -> None:
        super().__init__(a1, a2, a3, a4)

    def _basis(self) -> Tuple[float, Any, float]:
        a = self.params
        return 1.0 - sum(a), [(a[0], 0.5), (a[1], 1.0), (a[2], 1.5), (a[3], 2.0)], 0.0

    def _gradient_basis(self) -> Tuple[Any, Any]:
        # d/da_k = mu**(k/2) - 1
        g = np.hstack([-np.ones((4, 1)), np.eye(4)])
        return [(0.0, False), (0.5, False), (1.0, False), (1.5, False), (2.0, False)], g

    def _minimum(self) -> Tuple[float, float]:
        a1, a2, a3, a4 = self.params  # a quartic in s = sqrt(mu); its stationary points
        coeffs = [4.0 * a4, 3.0 * a3, 2.0 * a2, a1]
        while coeffs and coeffs[0] == 0.0:
            coeffs = coeffs[1:]
        cand = []
        if len(coeffs) > 1:
            for root in np.roots(coeffs):
                if abs(root.imag) < 1e-12 and 0.0 <= root.real <= 1.0:
                    cand.append(float(root.real) ** 2)
        return self._lowest(cand)


def _law_core(law: Any) -> Any:
    try:
        return law._core
    except AttributeError:
        raise TypeError(
            f"law must be a limb-darkening law (a kalvorin_fspl.Law such as Uniform, Linear or Quadratic), not {type(law).__name__}"
        ) from None

