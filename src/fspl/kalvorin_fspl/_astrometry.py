"""The shift of the light centroid of a lensed finite source, on numpy arrays."""

from __future__ import annotations

import math
from typing import Any, Literal, Tuple, overload

import numpy as np
import numpy.typing as npt

from . import _core
from ._api import (FloatOrArray, _domain_error, _index, _is_scalar, _raise_invalid, _real_array, _trajectory_arrays,
                   _u_rho_vectors)
from ._laws import Law, Uniform, _law_core

__all__ = ["centroid_shift", "astrometric_light_curve"]

_UNIFORM = Uniform()


def _centroid(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law) -> Tuple[Any, Any]:
    """(A, delta) at the broadcast u, rho."""
    _law_core(law)
    grad = law._gradient_core()
    if _is_scalar(u) and _is_scalar(rho):
        one = _core.centroid1(u, rho, grad)  # type: ignore[arg-type]
        if one is not None:
            return one
    if (isinstance(u, np.ndarray) and u.ndim == 1 and u.dtype == np.float64 and u.flags.c_contiguous
            and _is_scalar(rho)):
        # one source radius over a float64 vector: no broadcasting, no copies
        a, delta = np.empty(u.size), np.empty(u.size)
        ra = np.array([rho], dtype=np.float64)
        invalid = _core.centroid_shift(u, ra, grad, a, delta)
        if invalid is None:
            return a, delta
    shape, ua, ra = _u_rho_vectors(_real_array(u, "u"), _real_array(rho, "rho"))
    a, delta = np.empty(ua.size), np.empty(ua.size)
    invalid = _core.centroid_shift(ua, ra, grad, a, delta)
    if invalid is not None:
        _raise_invalid(invalid, {"u": ua, "rho": ra}, shape)
    if not shape:
        return float(a[0]), float(delta[0])
    return a.reshape(shape), delta.reshape(shape)


def _centroid_gradient(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law) -> Tuple[Any, Any, Any, Any]:
    """centroid_shift(u, rho, law, gradient=True)."""
    _law_core(law)
    grad = law._gradient_core()
    scalar = _is_scalar(u) and _is_scalar(rho)
    if scalar:
        one = _core.centroid_gradient1(u, rho, grad)  # type: ignore[arg-type]
        if one is not None:
            return one[0], one[1], one[2], np.array(one[3])
    shape, ua, ra = _u_rho_vectors(_real_array(u, "u"), _real_array(rho, "rho"))
    n, params = ua.size, grad.params
    a, delta, du, drho = np.empty(n), np.empty(n), np.empty(n), np.empty(n)
    dlaw = np.empty((n, params))
    invalid = _core.centroid_gradient(ua, ra, grad, a, delta, du, drho, dlaw.reshape(-1))
    if invalid is not None:
        _raise_invalid(invalid, {"u": ua, "rho": ra}, shape)
    if scalar:
        return float(delta[0]), float(du[0]), float(drho[0]), dlaw[0]
    return (delta.reshape(shape), du.reshape(shape), drho.reshape(shape),
            dlaw.reshape(shape + (dlaw.shape[1],)))


@overload
def centroid_shift(u: float, rho: float, law: Law = ..., gradient: Literal[False] = ...) -> float: ...
@overload
def centroid_shift(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = ...,
                   gradient: Literal[False] = ...) -> FloatOrArray: ...
@overload
def centroid_shift(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = ..., *,
                   gradient: Literal[True]) -> Tuple[Any, Any, Any, Any]: ...


def centroid_shift(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = _UNIFORM, gradient: bool = False) -> Any:
    """Shift of the light centroid of a finite source lensed by a point mass.

    Parameters
    ----------
    u : float or array-like
        Lens-source separation in Einstein radii (finite, >= 0).
    rho : float or array-like
        Source radius in Einstein radii (finite, >= 0); rho = 0 is the point
        source, delta = u/(u**2 + 2).
    law : Law, optional
        Brightness profile of the source (`Uniform()` by default; every law
        of `magnification`).
    gradient : bool, optional
        Also return the exact derivatives.

    Returns
    -------
    float or numpy.ndarray
        delta, float64, of the broadcast shape of `u` and `rho`: the shift of
        the light centroid of the images from the source centre, in Einstein
        radii, along the direction lens -> source (positive away from the
        lens). 0 at u = 0. NaN for rho outside [1e-100, 1e10] unless the
        lens is so far that the source is a point.
    (delta, ddelta_du, ddelta_drho, ddelta_dlaw) when `gradient` is true
        delta as above (the same bits), d(delta)/du at fixed rho and
        d(delta)/drho at fixed u (both of delta's shape), and ddelta_dlaw of
        delta's shape plus one axis: d(delta) with respect to each of
        ``law.params`` in order (empty for `Uniform`; for `Table` one per
        intensity value), as `magnification`'s gradient. Where the lens is on
        the limb (u = rho) of a source whose limb is not dark the slopes in u
        and rho diverge logarithmically, with opposite signs (+inf and -inf
        for `Uniform`). For rho = 0 the point source's slope
        (2 - u**2)/(u**2 + 2)**2, and 0.

    Raises
    ------
    ValueError, TypeError
        As `magnification`, naming the argument.

    Notes
    -----
    The centroid is the integral of I(s) F(s) over the source divided by that
    of I(s) A(s), ``F(s) = s_hat (s**2 + 3)/sqrt(s**2 + 4)`` (s = ``abs(s)``) the
    magnification-weighted mean image position of a point source at s, and
    delta its component along the lens -> source direction less u. Computed
    exactly ring by ring, on the magnification's rules (closed forms in
    complete elliptic integrals, a far-field series beyond 3 source radii);
    accuracy against mpmath by ``benchmarks/fspl_accuracy.py``. The
    derivatives are exact too: d(delta)/du from the magnification's own
    gradient by an identity (F is the gradient of a potential), the others
    from the same ring evaluations. Without the global interpreter lock for
    arrays; Ctrl-C interrupts a long call.

    Examples
    --------
    >>> import kalvorin_fspl as kf
    >>> d = kf.centroid_shift(0.5, 0.01)  # a small source: close to the point source's u/(u**2 + 2)
    >>> abs(d - 0.5 / (0.5**2 + 2)) < 1e-3
    True
    >>> d, dd_du, dd_drho, dd_dlaw = kf.centroid_shift([0.02, 0.5], 0.1, kf.Linear(0.6), gradient=True)
    >>> dd_dlaw.shape
    (2, 1)
    """
    if gradient:
        return _centroid_gradient(u, rho, law)
    return _centroid(u, rho, law)[1]


def astrometric_light_curve(t: npt.ArrayLike, t0: npt.ArrayLike, u0: npt.ArrayLike, tE: npt.ArrayLike,
                            rho: npt.ArrayLike, law: Law = _UNIFORM) -> Tuple[Any, Any, Any]:
    """Magnification and centroid shift along a rectilinear lens-source trajectory, in one call.

    The source sits at (tau, u0) from the lens, tau = (t - t0)/tE, at
    u = sqrt(u0**2 + tau**2) Einstein radii (as `light_curve`).

    Parameters
    ----------
    t, t0, u0, tE, rho, law
        As `light_curve` (u0 may be negative: the source passes the lens on
        the other side, and dy changes sign).

    Returns
    -------
    (A, dx, dy)
        float64 arrays shaped like `t` (like the broadcast arguments), floats
        for scalars: A the magnification (the bits of `light_curve`), and the
        centroid shift delta = `centroid_shift(u, rho, law)` resolved along the
        trajectory: dx = delta*tau/u along the relative lens-source motion
        (the direction of increasing tau) and dy = delta*u0/u perpendicular to
        it, both in Einstein radii (0 where u = 0).

    Raises
    ------
    ValueError, TypeError
        As `light_curve`, naming the argument.

    Examples
    --------
    >>> import numpy as np, kalvorin_fspl as kf
    >>> t = np.linspace(-1.0, 1.0, 401)
    >>> A, dx, dy = kf.astrometric_light_curve(t, t0=0.0, u0=0.02, tE=20.0, rho=0.05, law=kf.Linear(0.6))
    >>> A.shape, dx.shape, dy.shape
    ((401,), (401,), (401,))
    """
    _law_core(law)
    ta = _real_array(t, "t")
    scalars = all(_is_scalar(p) or (isinstance(p, np.ndarray) and p.ndim == 0) for p in (t0, u0, tE, rho))
    if scalars:
        t0f, u0f, tEf, rhof = float(t0), float(u0), float(tE), float(rho)  # type: ignore[arg-type]
        for name, value, ok in (("t0", t0f, math.isfinite(t0f)), ("u0", u0f, math.isfinite(u0f)),
                                ("tE", tEf, 0.0 < tEf < math.inf), ("rho", rhof, 0.0 <= rhof < math.inf)):
            if not ok:
                raise _domain_error(name, value)
        tf = ta.reshape(-1) if ta.dtype == np.float64 and ta.flags.c_contiguous else np.ascontiguousarray(
            ta, dtype=np.float64).reshape(-1)
        a, dx, dy = (np.empty(ta.shape, dtype=np.float64) for _ in range(3))
        invalid = _core.astrometric_light_curve(tf, t0f, u0f, tEf, rhof, law._gradient_core(), a.reshape(-1),
                                                dx.reshape(-1), dy.reshape(-1))
        if invalid is not None:
            raise _domain_error("t", float(tf[invalid[1]]), _index(invalid[1], ta.shape) if ta.ndim else "")
        if a.ndim == 0:
            return float(a[()]), float(dx[()]), float(dy[()])
        return a, dx, dy
    shape, tau, f = _trajectory_arrays({"t": ta, "t0": _real_array(t0, "t0"), "u0": _real_array(u0, "u0"),
                                        "tE": _real_array(tE, "tE"), "rho": _real_array(rho, "rho")})
    tau = np.broadcast_to(tau, shape)
    u0b = np.broadcast_to(f["u0"], shape)
    u = np.sqrt(u0b * u0b + tau * tau)
    A, delta = _centroid(u, np.broadcast_to(f["rho"], shape), law)
    with np.errstate(invalid="ignore", divide="ignore"):
        k = np.where(u > 0.0, delta / np.where(u > 0.0, u, 1.0), 0.0)
    return A, k * tau, k * u0b
