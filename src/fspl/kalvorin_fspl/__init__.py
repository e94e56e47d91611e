"""kalvorin_fspl: finite-source point-lens magnifications in Einstein radii, on numpy arrays.

The astronomer's interface to the kalvorin models: separations and source
radii in Einstein radii, numpy broadcasting, limb-darkening laws as values,
float64 arrays out. The numerics are those of the ``kalvorin`` module
(within 6.0e-15 of high-precision references; ``benchmarks/fspl_accuracy.py``).

>>> import numpy as np, kalvorin_fspl as kf
>>> A = kf.light_curve(np.linspace(-1, 1, 201), t0=0.0, u0=0.005, tE=10.0, rho=0.01, law=kf.Linear(0.53))

Functions: `magnification(u, rho, law)`, `light_curve(t, t0, u0, tE, rho, law)`;
with ``gradient=True`` / ``jacobian=True`` also their exact derivatives in
u, rho (t0, u0, tE, rho for a light curve) and the law's parameters.
Astrometry: `centroid_shift(u, rho, law)`, the shift of the light centroid of
the images from the source centre, and `astrometric_light_curve(t, t0, u0,
tE, rho, law)`, the magnification with the shift's two components along a
trajectory, in one call.
Laws: `Uniform()`, `Linear(u)` (`Linear.from_gamma(gamma)`), `Quadratic(a, b)`,
`SquareRoot(c, d)`, `Logarithmic(e, f)`, `Power2(c, alpha)`, `Claret(a1, a2, a3, a4)`
(integrated exactly) and `Table(r, intensity)` for profiles no law describes.
"""

from ._api import light_curve, magnification
from ._astrometry import astrometric_light_curve, centroid_shift
from ._laws import Claret, Law, Linear, Logarithmic, Power2, Quadratic, SquareRoot, Table, Uniform
from ._version import __version__

__all__ = [
    "magnification", "light_curve", "centroid_shift", "astrometric_light_curve", "Law", "Uniform", "Linear", "Quadratic", "SquareRoot", "Logarithmic",
    "Power2", "Claret", "Table", "__version__",
]
