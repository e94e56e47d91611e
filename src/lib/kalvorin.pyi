"""Finite-source point-lens microlensing magnifications (native C++ module).

Units: every length that locates something on the source -- the
separations ``l``, the ring radius ``r``, the flux-map radii ``bl`` -- is in
units of the source radius (0 = source centre, 1 = limb). ``re`` (Einstein
radius) and ``rstar`` (source radius) may be given in any common unit; only
their ratio enters. ρ = rstar/re is the source radius in Einstein radii and
ε = re/rstar the Einstein radius in source radii.

Sequences may be lists, tuples, ranges, numpy arrays of any integer or
floating dtype (float32, big-endian, strided views included) or any other
sequence of numbers (not ``str``); results are plain ``list[float]``.

Errors: ``TypeError`` for bad arguments; ``RuntimeError`` carrying the
elliptic-kernel message when a magnification cannot be evaluated (for
example a NaN or negative separation); ``PanicException`` (a
``BaseException``, not an ``Exception``) when ``bl`` and ``bf`` differ in
length, and ``PanicException("Python API call failed")`` when the result
cannot be allocated (the interpreter's MemoryError is printed first);
MemoryError when an input cannot be converted for lack of memory.
"""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union

# numpy is a runtime dependency of the distribution; a type checker that
# cannot find it treats these arrays as Any and still checks the rest.
import numpy as np

_Number = Union[SupportsFloat, SupportsIndex]
# Real-valued arrays (bool, integer, floating dtypes). Complex arrays lose
# their imaginary part at run time (with numpy's ComplexWarning): the stubs
# report them as errors.
_RealArray = np.ndarray[Any, np.dtype[Union[np.integer[Any], np.floating[Any], np.bool_]]]
_Numbers = Union[Sequence[_Number], _RealArray]

__all__: list[str]

def witt_mao_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a uniformly bright disk (Witt & Mao 1994).

    For each separation x in ``l`` (source radii), with u = ρx and
    n = 4uρ/(u+ρ)², m = 4n/(4+(u−ρ)²):

        A = (1/π)[ (u+ρ)√(4+(u−ρ)²)/(2ρ²) E(m)
                   − (u−ρ)(8+u²−ρ²)/(2ρ²√(4+(u−ρ)²)) K(m)
                   + 2(u−ρ)²(1+ρ²)/(ρ²(u+ρ)√(4+(u−ρ)²)) Π(n|m) ].

    Raises RuntimeError for NaN or negative separations (kernel message).
    """

def integrated_witt_mao_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a linearly limb-darkened disk, I(r) = 1 − 0.6(1 − √(1−r²)).

        A(l) = ∫₀¹ 2πr I(r) M(l, r) dr / ∫₀¹ 2πr I(r) dr,

    M the ring mean of ``heyrovsky_magnification``. Evaluates the
    uniform-disk magnification of every separation first, so it raises the
    same RuntimeError as ``witt_mao_magnification``; otherwise identical to
    ``integrated_heyrovsky_magnification``.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """Magnification of a disk whose radial brightness is tabulated.

    The profile I(r) is the linear interpolation through (bl[j], bf[j])
    (radii in source radii, brightness in any unit), 0 outside the table; a
    single point is a constant. A(l) = ∫₀¹ 2πr I M dr / ∫₀¹ 2πr I dr, so the
    scale of ``bf`` cancels. Raises PanicException if len(bl) != len(bf) and
    RuntimeError as ``witt_mao_magnification``.
    """

def heyrovsky_magnification(l: _Number, r: _Number, re: _Number, rstar: _Number) -> float:
    """Mean magnification of the thin ring of radius ``r`` (source radii).

        M = (1/2π) ∫₀^{2π} A(√(l² + r² − 2lr cos θ)) dθ,
        A(x) = (x² + 2ε²)/(x√(x² + 4ε²)),

    evaluated in closed form with K(m) and Π(n|m) (Heyrovský 2003). +inf when
    the lens lies exactly on the ring; RuntimeError for NaN or sign-mixed input.
    """

def integrated_heyrovsky_magnification(l: _Numbers, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a linearly limb-darkened disk, I(r) = 1 − 0.6(1 − √(1−r²)).

        A(l) = ∫₀¹ 2πr I(r) M(l, r) dr / ∫₀¹ 2πr I(r) dr,

    M the ring mean. Never raises for numerical reasons: rings that cannot
    be evaluated contribute nothing.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """Magnification of a disk whose radial brightness is tabulated.

    As ``integrated_flux_map_witt_mao_magnification`` without the uniform-disk
    pre-check. Raises PanicException if len(bl) != len(bf).
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _Numbers, re: _Number, rstar: _Number, bl: _Numbers, bf: _Numbers
) -> list[float]:
    """Weighted sum of ring magnifications: A(l) = Σ_j bf[j]·M(l, bl[j]).

    Weights are used as given (pass weights summing to 1 for a
    magnification). Raises PanicException if len(bl) != len(bf) and
    RuntimeError if a ring cannot be evaluated.
    """
