"""Type-checked use of kalvorin (checked with ``mypy --strict`` by the test suite)."""

from __future__ import annotations

import kalvorin


def limb_darkened_curve(u: list[float], rho: float) -> list[float]:
    """Limb-darkened magnification along separations u (Einstein radii)."""
    return kalvorin.integrated_heyrovsky_magnification([x / rho for x in u], 1.0, rho)


def ring(l: float, r: float, rho: float) -> float:
    return kalvorin.heyrovsky_magnification(l, r, 1.0, rho)


uniform: list[float] = kalvorin.witt_mao_magnification(range(3), 1.0, 0.1)
mapped: list[float] = kalvorin.integrated_flux_map_witt_mao_magnification(
    (0.0, 0.5), 2, 0.1, [0.0, 1.0], [1.0, 0.4]
)
print(limb_darkened_curve([0.1, 0.2], 0.1), ring(0.5, 0.5, 0.1), uniform, mapped)
