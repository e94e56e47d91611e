"""Type-checked use of kalvorin (checked with ``mypy --strict`` by the test suite).

Lists, tuples, ranges and numpy arrays (float64, float32, integer, views,
columns of a table) are all accepted by the stubs, as they are at run time.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import kalvorin


def limb_darkened_curve(u: list[float], rho: float) -> list[float]:
    """Limb-darkened magnification along separations u (Einstein radii)."""
    return kalvorin.integrated_heyrovsky_magnification([x / rho for x in u], 1.0, rho)


def limb_darkened_array(u: npt.NDArray[np.float64], rho: float) -> npt.NDArray[np.float64]:
    """The same on a numpy array: l = u / rho, and the list back to an array."""
    return np.asarray(kalvorin.integrated_heyrovsky_magnification(u / rho, 1.0, rho))


def ring(l: float, r: float, rho: float) -> float:
    return kalvorin.heyrovsky_magnification(l, r, 1.0, rho)


uniform: list[float] = kalvorin.witt_mao_magnification(range(3), 1.0, 0.1)
mapped: list[float] = kalvorin.integrated_flux_map_witt_mao_magnification(
    (0.0, 0.5), 2, 0.1, [0.0, 1.0], [1.0, 0.4]
)
print(limb_darkened_curve([0.1, 0.2], 0.1), ring(0.5, 0.5, 0.1), uniform, mapped)

# numpy arrays and scalars
u = np.linspace(0.0, 0.1, 5, dtype=np.float64)  # dtype given: numpy 2.2's stubs type the default as floating[Any]
rho = 0.05
print(limb_darkened_array(u, rho))
print(kalvorin.witt_mao_magnification(u / rho, 1.0, rho))
print(kalvorin.integrated_witt_mao_magnification(np.arange(4), 1.0, rho))
print(kalvorin.witt_mao_magnification(np.asarray([0.5, 2.0], dtype=np.float32), 1.0, np.float32(0.1)))
table = np.array([[0.0, 1.0], [0.5, 0.9], [1.0, 0.4]])  # radius, brightness
print(kalvorin.integrated_flux_map_heyrovsky_magnification(u / rho, 1.0, rho, table[:, 0], table[:, 1]))
print(kalvorin.discrete_flux_map_heyrovsky_magnification(np.arange(0.25, 3.0, 0.5), 1.0, rho,
                                                         table[:, 0], table[:, 1] / table[:, 1].sum()))
print(kalvorin.heyrovsky_magnification(np.float64(0.7), np.float32(0.5), np.int64(1), rho))
