"""A limb-darkening profile that no law describes, as a table: spacing, accuracy, cost.

``kalvorin_fspl`` integrates the standard laws exactly (``Uniform``, ``Linear``,
``Quadratic``, ``SquareRoot``, ``Logarithmic``, ``Power2``, ``Claret``): use
them directly. A profile that none of them describes (a model atmosphere's
intensities, say) goes through ``kalvorin_fspl.Table(r, intensity)``, linear
in r between the table's points, and the table's sampling then sets the
accuracy: stellar profiles have a square-root edge at the limb
(dI/dr -> infinity as r -> 1), which a table uniform in r resolves poorly.
``main`` tabulates three laws with known answers (quadratic, square-root,
power-2), measures three spacings against mpmath (uniform in r, uniform in
mu, uniform in theta with r = sin theta), prints the largest relative error
of each table, and the cost of the theta tables relative to the law itself
(median over repeated calls).

Run:  python examples/limb_darkening_laws.py   (needs mpmath; about half a minute)
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Callable, Sequence

import numpy as np

import kalvorin_fspl as kf


# --------------------------------------------------------------------------
# Profiles as functions of mu = sqrt(1 - r^2), to tabulate (standing in for
# a profile that no law describes; each also exists as an exact law)
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
EXACT = {"quadratic": kf.Quadratic, "square-root": kf.SquareRoot, "power-2": kf.Power2}
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


def tabulate(law: Callable[[float], float], n: int = 41, spacing: str = "theta") -> kf.Table:
    """The law sampled at table_radii(n, spacing), as a kalvorin_fspl law
    (default: the recommended 41 points uniform in theta). Use it as any law:
    ``kalvorin_fspl.magnification(u, rho, tabulate(law))``."""
    r = table_radii(n, spacing)
    return kf.Table(r, [law(math.sqrt((1.0 - x) * (1.0 + x))) for x in r])


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
    """{(law, spacing, n): largest relative error over the separations}.

    ``separations`` in source radii (where the reference integrates); the
    module gets them in Einstein radii, u = l rho."""
    mp_laws = _mp_laws()
    u = np.asarray(separations, dtype=np.float64) * rho
    result = {}
    for name, (make, coeffs) in LAWS.items():
        law = make(*coeffs)
        refs = np.array([float(reference_magnification(mp_laws[name], x, rho)) for x in separations])
        for spacing in SPACINGS:
            for n in sizes:
                got = kf.magnification(u, rho, tabulate(law, n, spacing))
                result[(name, spacing, n)] = float(np.max(np.abs(got / refs - 1.0)))
    return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rho", type=float, default=0.01, help="source radius in Einstein radii")
    parser.add_argument("--sizes", type=int, nargs="+", default=[6, 11, 21, 41, 81, 161],
                        help="table sizes to measure")
    args = parser.parse_args(argv)

    rho = args.rho
    separations = [0.0, 0.5, 0.9, 1.0, 1.1, 2.0]  # source radii: centre, inside, limb, outside
    print(f"Laws through tables: largest relative error against mpmath at u = l rho, "
          f"l = {separations} source radii, rho = {rho}")
    for name, (_, coeffs) in LAWS.items():
        print(f"  {name}: coefficients {coeffs}")
    start = time.perf_counter()
    table = accuracy_table(args.sizes, separations, rho)
    print(f"  {'law':<12} {'spacing':<8}" + "".join(f"{'n=' + str(n):>10}" for n in args.sizes))
    for name in LAWS:
        for spacing in SPACINGS:
            print(f"  {name:<12} {spacing:<8}"
                  + "".join(f"{table[(name, spacing, n)]:>10.1e}" for n in args.sizes))
    # Cost of a magnification with the lens over the source (l = 0.3 ... 0.79),
    # the table built beforehand, as a fit builds it once, relative to the
    # exact law: median over 15 rounds of the ratio of the two, each timed as
    # 20 repeated calls moments apart.
    u = (0.3 + 0.01 * np.arange(50)) * rho
    exact = EXACT["quadratic"](*LAWS["quadratic"][1])
    cost = []
    for n in args.sizes:
        law = tabulate(LAWS["quadratic"][0](*LAWS["quadratic"][1]), n, "theta")
        ratios = []
        for _ in range(15):
            times = []
            for lw in (law, exact):
                t = time.perf_counter()
                for _ in range(20):
                    kf.magnification(u, rho, lw)
                times.append(time.perf_counter() - t)
            ratios.append(times[0] / times[1])
        cost.append(float(np.median(ratios)))
    print(f"  {'cost':<12} {'/ Quadratic':<8}" + "".join(f"{c:>10.2f}" for c in cost))
    print(f"  ({time.perf_counter() - start:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
