"""Magnifications and light curves in Einstein radii, on numpy arrays."""

from __future__ import annotations

import math
from typing import Any, Literal, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from . import _core
from ._laws import Law, Uniform, _law_core

__all__ = ["magnification", "light_curve"]

_UNIFORM = Uniform()
_SCALARS = (float, int)


def _is_scalar(x: Any) -> bool:
    """A Python or numpy float, or an int (not a bool): the per-point fast path."""
    return isinstance(x, _SCALARS) and type(x) is not bool

FloatOrArray = Union[float, "npt.NDArray[np.float64]"]

_DOMAIN = {
    "u": "u must be finite and non-negative (Einstein radii)",
    "rho": "rho must be finite and non-negative (Einstein radii)",
    "t": "t must be finite",
    "t0": "t0 must be finite",
    "u0": "u0 must be finite",
    "tE": "tE must be finite and positive",
}


def _real_array(value: Any, name: str) -> "npt.NDArray[Any]":
    """`value` as a numpy array of real numbers (not converted yet)."""
    if type(value) is np.ndarray and value.dtype == np.float64:
        return value
    try:
        a = np.asarray(value)
    except ValueError as exc:  # ragged nested sequences
        raise ValueError(f"{name} must be a number or an array of numbers: {exc}") from None
    if a.dtype.kind not in "iuf":
        what = "booleans" if a.dtype.kind == "b" else f"dtype {a.dtype}"
        raise TypeError(f"{name} must be real numbers; got {what}")
    return a


def _index(flat: int, shape: Tuple[int, ...]) -> str:
    if len(shape) <= 1:
        return f"[{flat}]"
    return "[" + ", ".join(str(int(i)) for i in np.unravel_index(flat, shape)) + "]"


def _domain_error(name: str, value: float, where: str = "") -> ValueError:
    return ValueError(f"{_DOMAIN[name]}; {name}{where} = {value!r}" if where else f"{_DOMAIN[name]}; got {value!r}")


def _flat(a: "npt.NDArray[Any]", shape: Tuple[int, ...]) -> "npt.NDArray[np.float64]":
    """`a` broadcast to `shape`, as a C-contiguous float64 vector (no copy when it already is one)."""
    return np.ascontiguousarray(np.broadcast_to(a, shape), dtype=np.float64).reshape(-1)


def _vector(a: "npt.NDArray[Any]") -> "npt.NDArray[np.float64]":
    return np.ascontiguousarray(a, dtype=np.float64).reshape(-1)


def _broadcast(arrays: "dict[str, npt.NDArray[Any]]") -> Tuple[int, ...]:
    try:
        return tuple(np.broadcast_shapes(*(a.shape for a in arrays.values())))
    except ValueError:
        shapes = ", ".join(f"{k} {a.shape}" for k, a in arrays.items())
        raise ValueError(f"shapes do not broadcast together: {shapes}") from None


def _u_rho_vectors(u: "npt.NDArray[Any]", rho: "npt.NDArray[Any]") -> Tuple[Tuple[int, ...], Any, Any]:
    """The broadcast shape of u and rho and their float64 vectors (rho of one element when it has one)."""
    shape = _broadcast({"u": u, "rho": rho})
    ra = rho.astype(np.float64).reshape(1) if rho.size == 1 else _flat(rho, shape)
    return shape, _flat(u, shape), ra


def _trajectory_arrays(arrays: "dict[str, npt.NDArray[Any]]") -> Tuple[Tuple[int, ...], Any, "dict[str, Any]"]:
    """The broadcast shape, tau = (t - t0)/tE and the float64 arrays of a trajectory's
    arguments (t, t0, u0, tE, rho), each checked element by element."""
    shape = _broadcast(arrays)
    checks: "dict[str, Any]" = {"t": np.isfinite, "t0": np.isfinite, "u0": np.isfinite,
                                "tE": lambda v: (v > 0.0) & (v < np.inf), "rho": lambda v: (v >= 0.0) & (v < np.inf)}
    for name, a in arrays.items():
        af = np.asarray(a, dtype=np.float64)
        bad = np.flatnonzero(~checks[name](af.reshape(-1)))
        if bad.size:
            raise _domain_error(name, float(af.reshape(-1)[bad[0]]), _index(int(bad[0]), af.shape) if af.ndim else "")
    f = {k: np.asarray(a, dtype=np.float64) for k, a in arrays.items()}
    return shape, (f["t"] - f["t0"]) / f["tE"], f


@overload
def magnification(u: float, rho: float, law: Law = ..., gradient: Literal[False] = ...) -> float: ...
@overload
def magnification(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = ...,
                  gradient: Literal[False] = ...) -> FloatOrArray: ...
@overload
def magnification(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = ..., *,
                  gradient: Literal[True]) -> Tuple[Any, Any, Any, Any]: ...


def _raise_invalid(invalid: Any, arrays: "dict[str, npt.NDArray[Any]]", shape: Tuple[int, ...]) -> None:
    name, flat = invalid
    values = arrays[name]
    where = _index(flat, shape) if values.size > 1 else ""
    raise _domain_error(name, float(values.reshape(-1)[flat if values.size > 1 else 0]), where)


def _gradient(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law) -> Tuple[Any, Any, Any, Any]:
    """magnification(u, rho, law, gradient=True)."""
    _law_core(law)
    grad = law._gradient_core()
    scalar = _is_scalar(u) and _is_scalar(rho)
    if scalar:
        one = _core.gradient1(u, rho, grad)
        if one is not None:
            return one[0], one[1], one[2], np.array(one[3])
    shape, ua, ra = _u_rho_vectors(_real_array(u, "u"), _real_array(rho, "rho"))
    n, params = ua.size, grad.params
    a, du, drho = np.empty(n), np.empty(n), np.empty(n)
    dlaw = np.empty((n, params))
    invalid = _core.magnification_gradient(ua, ra, grad, a, du, drho, dlaw.reshape(-1))
    if invalid is not None:
        _raise_invalid(invalid, {"u": ua, "rho": ra}, shape)
    if scalar:
        return float(a[0]), float(du[0]), float(drho[0]), dlaw[0]
    return a.reshape(shape), du.reshape(shape), drho.reshape(shape), dlaw.reshape(shape + (dlaw.shape[1],))


def magnification(u: npt.ArrayLike, rho: npt.ArrayLike, law: Law = _UNIFORM, gradient: bool = False) -> Any:
    """Magnification of a finite source by a point-mass lens.

    Parameters
    ----------
    u : float or array-like
        Lens-source separation in Einstein radii (finite, >= 0).
    rho : float or array-like
        Source radius in Einstein radii (finite, >= 0); rho = 0 is the point
        source, A = (u**2 + 2)/(u*sqrt(u**2 + 4)).
    law : Law, optional
        Brightness profile of the source: `Uniform()` (default), `Linear`,
        `Quadratic`, `SquareRoot`, `Logarithmic`, `Power2`, `Claret` or
        `Table(r, intensity)`.
    gradient : bool, optional
        Also return the exact derivatives.

    Returns
    -------
    float or numpy.ndarray
        A, float64, of the broadcast shape of `u` and `rho` (a float when
        both are scalars). +inf where a source has no size and the lens sits
        on it (u = rho = 0).
    (A, dA_du, dA_drho, dA_dlaw) when `gradient` is true
        A as above (the same bits), dA/du at fixed rho, dA/drho at fixed u
        (both of A's shape) and dA_dlaw of A's shape plus one axis: dA with
        respect to each of ``law.params`` in order (empty for `Uniform`;
        for `Table` one per intensity value).
        At u = 0, dA/du = 0. Where the lens is on the limb (u = rho) of a
        source whose limb is not dark (I(1) != 0) the slopes in u and rho
        diverge logarithmically: -inf and +inf. For rho = 0 the point
        source's dA/du, and 0. NaN for rho outside [1e-100, 1e10].

    Raises
    ------
    ValueError
        NaN, infinite or negative `u` or `rho` (the message names the first
        offending element), or shapes that do not broadcast.
    TypeError
        Complex, boolean or non-numeric input, or a `law` that is not a law.

    Notes
    -----
    A = integral of 2*pi*r*I(r)*M(u/rho, r) over the source divided by its
    flux, M the mean point-lens magnification over the ring of radius r.
    Computed exactly: within 6.0e-15 relative of mpmath over the reference
    table (``benchmarks/fspl_accuracy.py`` prints it by law and zone),
    without the global interpreter lock for arrays; Ctrl-C interrupts a long
    call. Values do not depend on how the input is laid out or cut.

    Examples
    --------
    >>> import numpy as np, kalvorin_fspl as kf
    >>> A = kf.magnification(np.linspace(0, 0.02, 5), 0.01, kf.Linear(0.6))
    >>> A.shape
    (5,)
    >>> A, dA_du, dA_drho, dA_dlaw = kf.magnification(0.005, 0.01, kf.Linear(0.6), gradient=True)
    >>> dA_dlaw.shape
    (1,)
    """
    if gradient:
        return _gradient(u, rho, law)
    core = _law_core(law)
    if _is_scalar(u) and _is_scalar(rho):
        value = _core.magnification1(u, rho, core)
        if value != value:
            uu = float(u)
            if not 0.0 <= uu < np.inf:
                raise _domain_error("u", uu)
            raise _domain_error("rho", float(rho))
        return float(value)
    ua = _real_array(u, "u")
    if _is_scalar(rho) or (isinstance(rho, np.ndarray) and rho.ndim == 0):
        # One source radius: no broadcasting.
        if ua.ndim == 1 and ua.dtype == np.float64 and ua.flags.c_contiguous:
            out = np.empty(ua.shape[0], dtype=np.float64)
            invalid = _core.magnification_rho(ua, float(rho), core, out)  # type: ignore[arg-type]
            if invalid is None:
                return out
        uf = ua.reshape(-1) if ua.dtype == np.float64 and ua.flags.c_contiguous else _vector(ua)
        out = np.empty(ua.shape, dtype=np.float64)
        invalid = _core.magnification_rho(uf, float(rho), core, out.reshape(-1))  # type: ignore[arg-type]
        if invalid is not None:
            name, flat = invalid
            if name == "rho":
                raise _domain_error("rho", float(rho))  # type: ignore[arg-type]
            raise _domain_error("u", float(uf[flat]), _index(flat, ua.shape) if ua.ndim else "")
        return float(out[()]) if out.ndim == 0 else out
    shape, ua, ra = _u_rho_vectors(ua, _real_array(rho, "rho"))
    out = np.empty(shape, dtype=np.float64)
    invalid = _core.magnification(ua, ra, core, out.reshape(-1))
    if invalid is not None:
        name, flat = invalid
        values = ua if name == "u" else ra
        where = _index(flat, shape) if values.size > 1 else ""
        raise _domain_error(name, float(values[flat]), where)
    return float(out[()]) if out.ndim == 0 else out


@overload
def light_curve(t: float, t0: float, u0: float, tE: float, rho: float, law: Law = ...,
                jacobian: Literal[False] = ...) -> float: ...
@overload
def light_curve(t: npt.ArrayLike, t0: npt.ArrayLike, u0: npt.ArrayLike, tE: npt.ArrayLike, rho: npt.ArrayLike,
                law: Law = ..., jacobian: Literal[False] = ...) -> FloatOrArray: ...
@overload
def light_curve(t: npt.ArrayLike, t0: npt.ArrayLike, u0: npt.ArrayLike, tE: npt.ArrayLike, rho: npt.ArrayLike,
                law: Law = ..., *, jacobian: Literal[True]) -> Tuple[Any, Any]: ...


def light_curve(t: npt.ArrayLike, t0: npt.ArrayLike, u0: npt.ArrayLike, tE: npt.ArrayLike, rho: npt.ArrayLike,
                law: Law = _UNIFORM, jacobian: bool = False) -> Any:
    """Magnification along a rectilinear lens-source trajectory.

    u(t) = sqrt(u0**2 + tau**2), tau = (t - t0)/tE, in Einstein radii (in that
    order of operations), and A = magnification(u(t), rho, law).

    Parameters
    ----------
    t : float or array-like
        Times (any unit, the same as `t0` and `tE`; finite).
    t0 : float
        Time of the closest approach (finite).
    u0 : float
        Impact parameter in Einstein radii (finite; its sign does not matter
        for a point lens).
    tE : float
        Einstein time: the time to cross one Einstein radius (finite, > 0).
    rho : float
        Source radius in Einstein radii (finite, >= 0); rho*tE is the source
        crossing time t*.
    law : Law, optional
        Brightness profile of the source (`Uniform()` by default).
    jacobian : bool, optional
        Also return the exact Jacobian.

    `t0`, `u0`, `tE` and `rho` may also be arrays; all arguments then
    broadcast together (numpy rules).

    Returns
    -------
    float or numpy.ndarray
        A, float64, shaped like `t` (like the broadcast arguments).
    (A, J) when `jacobian` is true
        J of A's shape plus one axis: dA/d(t0, u0, tE, rho, then each of
        ``law.params``), through u(t) (at u = 0, where dA/du = 0, the
        trajectory columns are 0). Divergences as in `magnification`;
        where u(t) = rho at t = t0 the t0 and tE columns are 0 (their limit:
        u - rho grows like (t - t0)**2), the u0 column -inf.

    Raises
    ------
    ValueError, TypeError
        As `magnification`, naming the argument (and for arrays the first
        offending index).

    Examples
    --------
    >>> import numpy as np, kalvorin_fspl as kf
    >>> t = np.linspace(-2.0, 2.0, 2001)
    >>> A = kf.light_curve(t, t0=0.0, u0=0.001, tE=20.0, rho=0.002, law=kf.Linear(0.53))
    >>> A.shape
    (2001,)
    >>> A, J = kf.light_curve(t, 0.0, 0.001, 20.0, 0.002, kf.Linear(0.53), jacobian=True)
    >>> J.shape
    (2001, 5)
    """
    core = _law_core(law)
    ta = _real_array(t, "t")
    if _is_scalar(t0) and _is_scalar(u0) and _is_scalar(tE) and _is_scalar(rho):
        t0f, u0f, tEf, rhof = float(t0), float(u0), float(tE), float(rho)  # type: ignore[arg-type]
        params = None
    else:
        params = {"t0": _real_array(t0, "t0"), "u0": _real_array(u0, "u0"), "tE": _real_array(tE, "tE"),
                  "rho": _real_array(rho, "rho")}
        if all(p.ndim == 0 for p in params.values()):
            t0f, u0f, tEf, rhof = (float(p) for p in params.values())
            params = None
    if params is None:
        if not (math.isfinite(t0f) and math.isfinite(u0f) and 0.0 < tEf < math.inf and 0.0 <= rhof < math.inf):
            for name, value, ok in (("t0", t0f, math.isfinite(t0f)), ("u0", u0f, math.isfinite(u0f)),
                                    ("tE", tEf, 0.0 < tEf < math.inf), ("rho", rhof, 0.0 <= rhof < math.inf)):
                if not ok:
                    raise _domain_error(name, value)
        if jacobian:
            tf = ta.reshape(-1) if ta.dtype == np.float64 and ta.flags.c_contiguous else _vector(ta)
            out = np.empty(ta.shape, dtype=np.float64)
            grad = law._gradient_core()
            J = np.empty(ta.shape + (4 + grad.params,))
            invalid = _core.light_curve_jacobian(tf, t0f, u0f, tEf, rhof, grad, out.reshape(-1), J.reshape(-1))
            if invalid is not None:
                raise _domain_error("t", float(tf[invalid[1]]), _index(invalid[1], ta.shape) if ta.ndim else "")
            return (float(out[()]), J) if out.ndim == 0 else (out, J)
        if ta.ndim == 1 and ta.dtype == np.float64 and ta.flags.c_contiguous:
            tf, out = ta, np.empty(ta.shape[0], dtype=np.float64)
            invalid = _core.light_curve(tf, t0f, u0f, tEf, rhof, core, out)
        else:
            tf = ta.reshape(-1) if ta.dtype == np.float64 and ta.flags.c_contiguous else _vector(ta)
            out = np.empty(ta.shape, dtype=np.float64)
            invalid = _core.light_curve(tf, t0f, u0f, tEf, rhof, core, out.reshape(-1))
        if invalid is not None:
            raise _domain_error("t", float(tf[invalid[1]]), _index(invalid[1], ta.shape) if ta.ndim else "")
        return float(out[()]) if out.ndim == 0 else out
    # Parameters as arrays: checked element by element, then broadcast.
    shape, tau, f = _trajectory_arrays({"t": ta, **params})
    u = np.sqrt(f["u0"] * f["u0"] + tau * tau)
    if not jacobian:
        return magnification(np.broadcast_to(u, shape), f["rho"], law)
    A, du, drho, dlaw = _gradient(np.broadcast_to(u, shape), np.broadcast_to(f["rho"], shape), law)
    with np.errstate(invalid="ignore", divide="ignore"):
        k = np.where(u > 0.0, du / np.where(u > 0.0, u, 1.0), 0.0)
    tE = np.broadcast_to(f["tE"], shape)
    u0 = np.broadcast_to(f["u0"], shape)
    tau = np.broadcast_to(tau, shape)
    with np.errstate(invalid="ignore"):
        # a factor of 0 gives 0 even where dA/du diverges (the lens on the limb)
        cols = [np.where(tau == 0.0, 0.0, -(k * tau) / tE), np.where(u0 == 0.0, 0.0, k * u0),
                np.where(tau == 0.0, 0.0, -(k * (tau * tau)) / tE), drho]
    J = np.concatenate([np.stack([np.broadcast_to(c, shape) for c in cols], axis=-1), dlaw], axis=-1)
    return A, J

