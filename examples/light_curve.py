"""Light curve of a microlensing event in which the lens transits the source.

Computes the magnification of a default event with three source models,
all through ``kalvorin_fspl.light_curve`` (separations and radii in
Einstein radii, numpy arrays):

* point source (rho = 0): A(u) = (u² + 2) / (u √(u² + 4)),
* uniform disk: ``Uniform()``,
* linearly limb-darkened disk: ``Linear(0.6)``, I = 1 − 0.6 (1 − μ),

prints a short table and, when matplotlib is installed
(``pip install '.[plot]'``), writes a PNG with the three curves and their
ratios to the uniform disk (A / A_uniform − 1), with the two limb crossings
(u = rho) marked. The lens–source separation follows the rectilinear
trajectory u(t) = √(u0² + ((t − t0)/tE)²).
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import kalvorin_fspl as kf

LIMB_DARKENING = 0.6


def light_curve(t0: float, te: float, u0: float, rho: float, n: int, span: float):
    """Times (days), separations (Einstein radii) and the three magnification curves."""
    times = t0 + span * te * (2.0 * np.arange(n) / (n - 1) - 1.0)
    tau = (times - t0) / te
    u = np.sqrt(u0 * u0 + tau * tau)  # the separations kf.light_curve uses
    point = kf.light_curve(times, t0, u0, te, 0.0)
    uniform = kf.light_curve(times, t0, u0, te, rho, kf.Uniform())
    limb = kf.light_curve(times, t0, u0, te, rho, kf.Linear(LIMB_DARKENING))
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
    peak = int(np.argmax(limb))
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
    # one colour per source model in both panels
    colour = {"point": "0.45", "uniform": "C0", "limb": "C3"}
    limb_label = f"limb-darkened disk,\nlinear coefficient u = {LIMB_DARKENING}"
    top.plot(times, point, label="point source", color=colour["point"], lw=1.0)
    top.plot(times, uniform, label="uniform disk", color=colour["uniform"], lw=1.5)
    top.plot(times, limb, label=limb_label, color=colour["limb"], lw=1.5, ls="--")
    finite = point[np.isfinite(point)]
    top.set_ylim(0.0, 1.15 * max(uniform.max(), limb.max(), min(finite.max(), 3 * limb.max())))
    top.set_ylabel("magnification A")
    top.set_title(f"u0 = {args.u0}, rho = {args.rho}, tE = {args.te} d")

    # The lens crosses the limb where u = rho: t = t0 -+ tE sqrt(rho^2 - u0^2).
    if args.rho > abs(args.u0):
        half = args.te * float(np.sqrt(args.rho**2 - args.u0**2))
        for k, tc in enumerate((args.t0 - half, args.t0 + half)):
            for ax in (top, bottom):
                ax.axvline(tc, color="k", lw=0.8, ls=":", label="limb crossing (u = rho)" if ax is top and k == 0 else None)
    # the legend in the empty upper left corner, clear of every curve
    top.legend(loc="upper left", fontsize=8.5, framealpha=0.95)

    bottom.plot(times, limb / uniform - 1.0, label="limb-darkened / uniform − 1", color=colour["limb"], ls="--")
    bottom.plot(times, point / uniform - 1.0, label="point / uniform − 1", color=colour["point"])
    bottom.axhline(0.0, color="k", lw=0.5)
    bottom.set_ylim(-0.35, 0.65)
    bottom.set_xlabel("t − t0 [days]")
    bottom.set_ylabel("A / A_uniform − 1")
    bottom.legend(loc="upper right", fontsize=9)
    fig.savefig(args.output, dpi=120)
    print(f"plot written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
