"""Limb-darkening laws other than the built-in one.

kalvorin has one analytic limb-darkening law built in, the linear law with
coefficient 0.6, I(r) = 1 - 0.6 (1 - mu), mu = sqrt(1 - r^2). Real sources
need other coefficients and other laws. This example shows both ways:

* Any linear law, exactly, from two of the module's functions
  (``linear_limb_darkened_magnification`` below). Write the magnification of a
  profile I as  A = int_0^1 2 pi r I(r) M(l, r) dr / int_0^1 2 pi r I(r) dr,
  M the mean magnification of the ring of radius r, and split the law
  I_c = (1 - c) + c mu into its two parts:

      U = int 2 pi r M dr      = pi * A_uniform             (uniform disk)
      H = int 2 pi r mu M dr                                 (the mu part)

  so that A_c = [(1 - c) U + c H] / [(1 - c) pi + c 2 pi / 3]. The built-in
  function returns the magnification A_0.6 = (0.4 U + 0.6 H) / (0.8 pi), so

      H = (0.8 pi A_0.6 - 0.4 pi A_uniform) / 0.6.

  The uniform disk comes from ``witt_mao_magnification`` (~0.1 us per point,
  accurate to ~1e-14 everywhere, far from the source included).

* Any other law through a table for the flux-map functions. The accuracy is
  then set by how the table samples the law: the profiles have a square-root
  edge at the limb (dI/dr -> infinity as r -> 1), which a table uniform in r
  resolves poorly. ``main`` measures three spacings against mpmath (uniform
  in r, uniform in mu, uniform in theta with r = sin theta) for the
  quadratic, square-root and power-2 laws and prints the largest relative
  error of each table.

Run:  python examples/limb_darkening_laws.py   (needs mpmath; about a minute)
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Callable, Iterable, Sequence

import kalvorin

# The built-in law of integrated_{heyrovsky,witt_mao}_magnification and its
# flux, pi (1 - c/3) = 0.8 pi.
BUILTIN_COEFFICIENT = 0.6
BUILTIN_FLUX = 0.8 * math.pi


def linear_limb_darkened_magnification(l: Iterable[float], re: float, rstar: float,
                                       coefficient: float) -> list[float]:
    """Magnification of a source with the linear law I = 1 - c (1 - sqrt(1 - r^2)).

    Same conventions as the module: ``l`` separations in source radii, ``re``
    and ``rstar`` in a common unit; returns one float per separation. Exact
    for every coefficient c (up to the accuracy of the two module functions it
    combines, ~1e-13).
    """
    l = [float(x) for x in l]
    c = float(coefficient)
    uniform = kalvorin.witt_mao_magnification(l, re, rstar)
    builtin = kalvorin.integrated_heyrovsky_magnification(l, re, rstar)
    flux = math.pi * (1.0 - c / 3.0)  # (1 - c) pi + c 2 pi / 3
    out = []
    for a_u, a_b in zip(uniform, builtin):
        u_part = math.pi * a_u
        mu_part = (BUILTIN_FLUX * a_b - (1.0 - BUILTIN_COEFFICIENT) * u_part) / BUILTIN_COEFFICIENT
        out.append(((1.0 - c) * u_part + c * mu_part) / flux)
    return out


# --------------------------------------------------------------------------
# Other laws, as functions of mu = sqrt(1 - r^2)
# --------------------------------------------------------------------------

def quadratic_law(a: float, b: float) -> Callable[[float], float]:
    """I = 1 - a (1 - mu) - b (1 - mu)^2."""
    return lambda mu: 1.0 - a * (1.0 - mu) - b * (1.0 - mu) ** 2


def square_root_law(c: float, d: float) -> Callable[[float], float]:
    """I = 1 - c (1 - mu) - d (1 - sqrt(mu))."""
    return lambda mu: 1.0 - c * (1.0 - mu) - d * (1.0 - math.sqrt(mu))


def power2_law(c: float, alpha: float) -> Callable[[float], float]:
    """I = 1 - c (1 - mu^alpha)."""
    return lambda mu: 1.0 - c * (1.0 - mu ** alpha)


# Coefficients of the demonstration (typical of a solar-type star in I).
LAWS = {
    "quadratic": (quadratic_law, (0.35, 0.25)),
    "square-root": (square_root_law, (0.15, 0.55)),
    "power-2": (power2_law, (0.65, 0.55)),
}
SPACINGS = ("r", "mu", "theta")


def table_radii(n: int, spacing: str) -> list[float]:
    """n radii from 0 to 1 (both included, increasing) in the given spacing.

    "r": uniform in r; "mu": uniform in mu = sqrt(1 - r^2); "theta": uniform
    in theta with r = sin(theta) (dense towards the limb, like "mu", and also
    at the centre)."""
    if n < 2:
        raise ValueError("a table needs at least two points")
    t = [j / (n - 1) for j in range(n)]
    if spacing == "r":
        radii = t
    elif spacing == "mu":
        # mu from 1 down to 0; r = sqrt((1 - mu)(1 + mu)) without cancellation.
        radii = [math.sqrt(x * (2.0 - x)) for x in t]
    elif spacing == "theta":
        radii = [math.sin(0.5 * math.pi * x) for x in t]
    else:
        raise ValueError(f"unknown spacing {spacing!r}")
    radii[0], radii[-1] = 0.0, 1.0
    return radii


def tabulate(law: Callable[[float], float], n: int, spacing: str) -> tuple[list[float], list[float]]:
    """(bl, bf) for the flux-map functions: the law sampled at table_radii."""
    bl = table_radii(n, spacing)
    bf = [law(math.sqrt((1.0 - r) * (1.0 + r))) for r in bl]
    return bl, bf


def tabulated_magnification(law: Callable[[float], float], l: Sequence[float], re: float,
                            rstar: float, n: int = 41, spacing: str = "theta") -> list[float]:
    """Magnification for any law through an n-point table (default: the
    recommended 41 points uniform in theta)."""
    bl, bf = tabulate(law, n, spacing)
    return kalvorin.integrated_flux_map_heyrovsky_magnification(list(l), re, rstar, bl, bf)


# --------------------------------------------------------------------------
# Reference in mpmath (independent of the module)
# --------------------------------------------------------------------------

def reference_magnification(law_mp, l: float, rho: float, dps: int = 20):
    """A(l) of a profile given as a function of mu (mpmath numbers), by
    tanh-sinh quadrature in theta (r = sin theta, which removes the square-root
    edge of the measure at the limb), split at the ring through the lens."""
    import mpmath as mp

    with mp.workdps(dps):
        x = mp.mpf(l)
        g = (1 / mp.mpf(rho)) ** 2  # eps^2, the Einstein radius in source radii squared

        def ring_mean(r):
            # Mean point-lens magnification of the ring of radius r, lens at x:
            # 4 / (S sqrt(D)) (f^2 Pi(n|m) + 2 g K(m)) / (2 pi), through
            # Carlson's forms with 1 - n and 1 - m formed without cancellation.
            f, s = x - r, x + r
            s2 = s * s
            d = f * f + 4 * g
            n = 4 * x * r / s2
            one_m = f * f * (s2 + 4 * g) / (s2 * d)
            k = mp.elliprf(0, one_m, 1)
            p = k if n == 0 else k + n / 3 * mp.elliprj(0, one_m, 1, f * f / s2)
            return 4 / (s * mp.sqrt(d)) * (f * f * p + 2 * g * k) / (2 * mp.pi)

        def num(t):
            r, mu = mp.sin(t), mp.cos(t)
            if r == 0 or r == x:
                return mp.mpf(0)
            return 2 * mp.pi * r * mu * law_mp(mu) * ring_mean(r)

        def den(t):
            return 2 * mp.pi * mp.sin(t) * mp.cos(t) * law_mp(mp.cos(t))

        half = mp.pi / 2
        cuts = [mp.mpf(0), half]
        if 0 < x < 1:
            a = mp.asin(x)
            # geometric cuts towards the logarithmic singularity at r = x
            cuts = sorted({mp.mpf(0), half, a} | {a - a / 4 ** k for k in range(1, 6)}
                          | {a + (half - a) / 4 ** k for k in range(1, 6)})
        elif x >= 1:
            cuts = [mp.mpf(0), half - (half) / 4, half - half / 16, half - half / 64, half]
        return mp.quad(num, cuts) / mp.quad(den, [0, half])


def _mp_laws():
    import mpmath as mp
    (qa, qb), (sc, sd), (pc, pa) = (LAWS[k][1] for k in ("quadratic", "square-root", "power-2"))
    return {
        "quadratic": lambda mu: 1 - qa * (1 - mu) - qb * (1 - mu) ** 2,
        "square-root": lambda mu: 1 - sc * (1 - mu) - sd * (1 - mp.sqrt(mu)),
        "power-2": lambda mu: 1 - pc * (1 - mu ** pa),
    }


def accuracy_table(sizes: Sequence[int], separations: Sequence[float], rho: float):
    """{(law, spacing, n): largest relative error over the separations}."""
    mp_laws = _mp_laws()
    result = {}
    for name, (make, coeffs) in LAWS.items():
        law = make(*coeffs)
        refs = [float(reference_magnification(mp_laws[name], x, rho)) for x in separations]
        for spacing in SPACINGS:
            for n in sizes:
                got = tabulated_magnification(law, separations, 1.0, rho, n, spacing)
                result[(name, spacing, n)] = max(abs(g / r - 1.0) for g, r in zip(got, refs))
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rho", type=float, default=0.01, help="source radius in Einstein radii")
    parser.add_argument("--sizes", type=int, nargs="+", default=[6, 11, 21, 41, 81, 161],
                        help="table sizes to measure")
    args = parser.parse_args(argv)

    rho = args.rho
    print(f"Linear laws from the uniform disk and the built-in 0.6 law (rho = {rho}):")
    separations = [0.0, 0.5, 0.9, 1.0, 1.1, 2.0, 30.0]
    print("  l     " + "".join(f"  c = {c:<12}" for c in (0.2, 0.45, 0.6, 0.8)))
    cols = [linear_limb_darkened_magnification(separations, 1.0, rho, c) for c in (0.2, 0.45, 0.6, 0.8)]
    for i, x in enumerate(separations):
        print(f"  {x:<5} " + "".join(f"  {col[i]:<16.12f}" for col in cols))

    print()
    print(f"Other laws through tables: largest relative error against mpmath over "
          f"l = {separations[:-1]} source radii, rho = {rho}")
    for name, (_, coeffs) in LAWS.items():
        print(f"  {name}: coefficients {coeffs}")
    start = time.perf_counter()
    table = accuracy_table(args.sizes, separations[:-1], rho)
    print(f"  {'law':<12} {'spacing':<8}" + "".join(f"{'n=' + str(n):>10}" for n in args.sizes))
    for name in LAWS:
        for spacing in SPACINGS:
            print(f"  {name:<12} {spacing:<8}"
                  + "".join(f"{table[(name, spacing, n)]:>10.1e}" for n in args.sizes))
    cost = []
    for n in args.sizes:
        bl, bf = tabulate(LAWS["quadratic"][0](*LAWS["quadratic"][1]), n, "theta")
        grid = [0.3 + 0.01 * i for i in range(50)]
        t = time.perf_counter()
        kalvorin.integrated_flux_map_heyrovsky_magnification(grid, 1.0, rho, bl, bf)
        cost.append((time.perf_counter() - t) / len(grid) * 1e6)
    print(f"  {'cost':<12} {'us/point':<8}" + "".join(f"{c:>10.0f}" for c in cost))
    print(f"  ({time.perf_counter() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
