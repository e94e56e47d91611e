"""Light curve of a microlensing event in which the lens transits the source.

Computes the magnification of a default event with three source models:

* point source: A(u) = (u² + 2) / (u √(u² + 4)),
* uniform disk: ``kalvorin.witt_mao_magnification``,
* linearly limb-darkened disk (coefficient 0.6):
  ``kalvorin.integrated_heyrovsky_magnification``,

prints a short table and, when matplotlib is installed
(``pip install '.[plot]'``), writes a PNG with the three curves and their
residuals against each other.

The lens–source separation follows the usual rectilinear trajectory
u(t) = √(u0² + ((t − t0)/tE)²) in Einstein radii; kalvorin takes it in
units of the source radius, l = u/ρ, with ρ = rstar/re.
"""

from __future__ import annotations

import argparse
import math
import sys

import kalvorin


def point_source(u: float) -> float:
    """Point-source point-lens magnification at separation u (Einstein radii)."""
    if u == 0.0:
        return math.inf
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


def light_curve(t0: float, te: float, u0: float, rho: float, n: int, span: float):
    """Times (days) and the three magnification curves."""
    times = [t0 + span * te * (2.0 * i / (n - 1) - 1.0) for i in range(n)]
    u = [math.hypot(u0, (t - t0) / te) for t in times]
    l = [ui / rho for ui in u]  # separations in source radii
    # Only re/rstar matters: pass the Einstein radius as 1 and the source radius as rho.
    uniform = kalvorin.witt_mao_magnification(l, 1.0, rho)
    limb = kalvorin.integrated_heyrovsky_magnification(l, 1.0, rho)
    point = [point_source(ui) for ui in u]
    return times, u, point, uniform, limb


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--t0", type=float, default=0.0, help="time of closest approach [days]")
    parser.add_argument("--te", type=float, default=20.0, help="Einstein crossing time [days]")
    parser.add_argument("--u0", type=float, default=0.01, help="impact parameter [Einstein radii]")
    parser.add_argument("--rho", type=float, default=0.03, help="source radius [Einstein radii]")
    parser.add_argument("--points", type=int, default=801, help="number of epochs")
    parser.add_argument("--span", type=float, default=0.08, help="half-width of the window [tE]")
    parser.add_argument("--output", default="light_curve.png", help="PNG file to write")
    args = parser.parse_args(argv)

    times, u, point, uniform, limb = light_curve(args.t0, args.te, args.u0, args.rho, args.points, args.span)

    print(f"event: t0 = {args.t0} d, tE = {args.te} d, u0 = {args.u0}, rho = {args.rho}")
    print(f"{'t [d]':>9} {'u':>9} {'point':>12} {'uniform':>12} {'limb-dark.':>12}")
    step = max(1, (len(times) - 1) // 16)
    for i in range(0, len(times), step):
        print(f"{times[i]:9.4f} {u[i]:9.5f} {point[i]:12.6f} {uniform[i]:12.6f} {limb[i]:12.6f}")
    peak = max(range(len(times)), key=lambda i: limb[i])
    print(f"peak limb-darkened magnification {limb[peak]:.6f} at t = {times[peak]:.4f} d")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written (pip install '.[plot]' to get it)")
        return 0

    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(8, 7), gridspec_kw={"height_ratios": [3, 2]}, constrained_layout=True
    )
    top.plot(times, point, label="point source", color="0.5", lw=1.0)
    top.plot(times, uniform, label="uniform disk", lw=1.5)
    top.plot(times, limb, label="limb-darkened disk (0.6)", lw=1.5, ls="--")
    finite = [p for p in point if math.isfinite(p)]
    top.set_ylim(0.0, 1.15 * max(max(uniform), max(limb), min(max(finite), 3 * max(limb))))
    top.set_ylabel("magnification A")
    top.set_title(f"u0 = {args.u0}, rho = {args.rho}, tE = {args.te} d")
    top.legend(loc="upper right")

    bottom.plot(times, [(b - a) / a for a, b in zip(uniform, limb)], label="limb-darkened / uniform − 1")
    bottom.plot(times, [(p - a) / a for a, p in zip(uniform, point)], label="point / uniform − 1", color="0.5")
    bottom.axhline(0.0, color="k", lw=0.5)
    bottom.set_ylim(-0.35, 0.65)
    bottom.set_xlabel("t − t0 [days]")
    bottom.set_ylabel("relative residual")
    bottom.legend(loc="lower right")
    fig.savefig(args.output, dpi=120)
    print(f"plot written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
