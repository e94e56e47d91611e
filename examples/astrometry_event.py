"""Astrometric microlensing: the centroid shift of a source that the lens transits.

Besides brightening the source, a point lens displaces the light centroid
of its images: for a point source at separation u (Einstein radii) by
δ = u / (u² + 2) along the lens → source direction. When the lens passes in
front of the source disk (u0 < rho) the finite source reshapes the shift
near the peak: the point-source shift stays positive and falls to u0/(u0² + 2)
at closest approach, but with the lens on the disk the images of its
near and far sides pull the centroid in opposite directions and the shift
changes sign close to the limb crossings: the centroid moves towards the
lens (it is zero with the lens on the centre of the disk).

``kalvorin_fspl.astrometric_light_curve(t, t0, u0, tE, rho, law)`` returns
the magnification and the two components of the shift in one call: dx
along the lens–source relative motion, dy perpendicular to it. This script
computes them for a default transit event (uniform and linearly
limb-darkened disk, ``Linear(0.6)``) next to the point-source shift, prints
a table, the shift at closest approach and how closely the finite-source
shift approaches the point-source one far from the lens (where the source
looks point-like, the correction falling off like (rho/u)²), and, when
matplotlib is installed (``pip install '.[plot]'``), writes a PNG with
A(t), dx(t), dy(t) around the transit and the centroid track (dx, dy) over
the whole event. The astrometric signal outlasts the photometric one by
far: A − 1 falls like 2/u⁴, the shift only like 1/u, so the epochs reach
out to ±50 tE.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import kalvorin_fspl as kf

LIMB_DARKENING = 0.6


def epochs(t0: float, te: float, n: int, span: float, step: float) -> np.ndarray:
    """n epochs over t0 ± span tE, spaced step tE near t0 and growing outwards
    (tau = span sinh(a x) / sinh(a), x uniform in [-1, 1]); n odd puts one on t0."""
    x = 2.0 * np.arange(n) / (n - 1) - 1.0
    # a such that dtau/dx at x = 0, span a / sinh(a), is step (n - 1) / 2
    want = step * (n - 1) / 2.0 / span
    lo, hi = 1e-9, 50.0
    for _ in range(200):  # bisection: a / sinh(a) falls from 1 to 0
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if mid / np.sinh(mid) > want else (lo, mid)
    a = 0.5 * (lo + hi)
    return t0 + te * span * np.sinh(a * x) / np.sinh(a)


def point_source_shift(tau: np.ndarray, u0: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """δ = u/(u² + 2) and its components δ τ/u = τ/(u² + 2), δ u0/u = u0/(u² + 2)."""
    u2 = u0 * u0 + tau * tau
    return np.sqrt(u2) / (u2 + 2.0), tau / (u2 + 2.0), u0 / (u2 + 2.0)


def event(t0: float, te: float, u0: float, rho: float, n: int, span: float):
    """Epochs, tau, u and {model: (A, dx, dy, delta)} for the point source, uniform and limb-darkened disks."""
    times = epochs(t0, te, n, span, rho / 50.0)
    tau = (times - t0) / te
    u = np.sqrt(u0 * u0 + tau * tau)
    delta, dx, dy = point_source_shift(tau, u0)
    models = {"point": (kf.light_curve(times, t0, u0, te, 0.0), dx, dy, delta)}
    for name, law in (("uniform", kf.Uniform()), ("limb", kf.Linear(LIMB_DARKENING))):
        a, dx, dy = kf.astrometric_light_curve(times, t0, u0, te, rho, law)
        models[name] = (a, dx, dy, kf.centroid_shift(u, rho, law))
    return times, tau, u, models


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--t0", type=float, default=0.0, help="time of closest approach [days]")
    parser.add_argument("--te", type=float, default=20.0, help="Einstein crossing time [days]")
    parser.add_argument("--u0", type=float, default=0.02, help="impact parameter [Einstein radii]")
    parser.add_argument("--rho", type=float, default=0.05, help="source radius [Einstein radii]")
    parser.add_argument("--points", type=int, default=4001, help="number of epochs")
    parser.add_argument("--span", type=float, default=50.0, help="half-width of the window [tE]")
    parser.add_argument("--output", default="astrometry_event.png", help="PNG file to write")
    parser.add_argument("--no-plot", action="store_true", help="print only, write no figure")
    args = parser.parse_args(argv)

    times, tau, u, models = event(args.t0, args.te, args.u0, args.rho, args.points, args.span)
    point, uniform, limb = models["point"], models["uniform"], models["limb"]

    print(f"event: t0 = {args.t0} d, tE = {args.te} d, u0 = {args.u0}, rho = {args.rho}, "
          f"limb darkening Linear({LIMB_DARKENING}); shifts in Einstein radii")
    print(f"{'t [d]':>10} {'u':>9} {'A point':>10} {'A uniform':>10} {'A limb':>10} "
          f"{'δ point':>10} {'δ uniform':>10} {'δ limb':>10} {'dy uniform':>11}")
    taus = (-10.0, -1.0, -0.3, -2 * args.rho, -args.rho, -0.5 * args.rho, 0.0, 0.5 * args.rho, args.rho, 2 * args.rho)
    rows = sorted({int(np.argmin(np.abs(tau - x))) for x in taus})
    for i in rows:
        print(f"{times[i]:10.4f} {u[i]:9.5f} {point[0][i]:10.4f} {uniform[0][i]:10.4f} {limb[0][i]:10.4f} "
              f"{point[3][i]:10.6f} {uniform[3][i]:10.6f} {limb[3][i]:10.6f} {uniform[2][i]:11.6f}")
    c = int(np.argmin(np.abs(tau)))
    print(f"closest approach (u = {u[c]:g}): shift point {point[3][c]:.9f}, uniform {uniform[3][c]:.9f}, "
          f"limb-darkened {limb[3][c]:.9f}")
    k = int(np.argmax(point[3]))
    print(f"largest point-source shift {point[3][k]:.6f} at u = {u[k]:.4f} (u = sqrt(2): 1/sqrt(8) = "
          f"{1 / np.sqrt(8):.6f}); finite source there: uniform {uniform[3][k]:.6f}, limb-darkened {limb[3][k]:.6f}")
    far = u >= 0.5 * args.span
    for name, m in (("uniform", uniform), ("limb-darkened", limb)):
        worst = float(np.max(np.abs(m[3][far] / point[3][far] - 1.0)))
        print(f"far from the lens (u >= {0.5 * args.span:g}): {name} shift / point-source shift - 1 "
              f"at most {worst:.2e}")
    # The leading finite-source correction is proportional to the flux-weighted
    # mean of r^2 of the profile: 1/2 uniform, 0.45 for Linear(0.6).
    mid = (u > 10 * args.rho) & (u < 2.0)
    ratio = (limb[3][mid] - point[3][mid]) / (uniform[3][mid] - point[3][mid])
    print(f"10 rho < u < 2: (δ limb - δ point) / (δ uniform - δ point) from {ratio.min():.5f} to {ratio.max():.5f}")

    if args.no_plot:
        return 0
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written (pip install '.[plot]' to get it)")
        return 0

    fig, axes = plt.subplots(2, 2, figsize=(10, 8), constrained_layout=True)
    (ax_a, ax_track), (ax_dx, ax_dy) = axes
    colour = {"point": "0.45", "uniform": "C0", "limb": "C3"}
    style = {"point": "-", "uniform": "-", "limb": "--"}
    names = {"point": "point source", "uniform": "uniform disk", "limb": f"limb-darkened, Linear({LIMB_DARKENING})"}
    zoom = np.abs(tau) <= 3 * args.rho
    dt = times - args.t0
    for key, m in models.items():
        kw = dict(color=colour[key], ls=style[key], lw=1.2 if key == "point" else 1.5, label=names[key])
        ax_a.plot(dt[zoom], m[0][zoom], **kw)
        ax_dx.plot(dt[zoom], m[1][zoom], **kw)
        ax_dy.plot(dt[zoom], m[2][zoom], **kw)
        ax_track.plot(m[1], m[2], **kw)
    ax_a.set_ylim(0.0, 1.15 * max(uniform[0].max(), limb[0].max()))
    ax_a.set_ylabel("magnification A")
    ax_a.set_title(f"u0 = {args.u0}, rho = {args.rho}, tE = {args.te} d")
    ax_dx.set_ylabel("dx: along the motion [θE]")
    ax_dy.set_ylabel("dy: perpendicular [θE]")
    if args.rho > abs(args.u0):
        half = args.te * float(np.sqrt(args.rho**2 - args.u0**2))
        for ax in (ax_a, ax_dx, ax_dy):
            for k, tc in enumerate((-half, half)):
                ax.axvline(tc, color="k", lw=0.8, ls=":", label="limb crossing" if k == 0 and ax is ax_a else None)
    for ax in (ax_a, ax_dx, ax_dy):
        ax.set_xlabel("t − t0 [days]")
        ax.axhline(0.0, color="k", lw=0.5)
    ax_a.legend(loc="upper left", fontsize=8)
    ax_track.set_xlabel("dx [θE]")
    ax_track.set_ylabel("dy [θE]")
    ax_track.set_title(f"centroid track, t0 ± {args.span:g} tE")
    ax_track.axhline(0.0, color="k", lw=0.5)
    ax_track.legend(loc="lower center", fontsize=8)
    fig.savefig(args.output, dpi=120)
    print(f"plot written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
