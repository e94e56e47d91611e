"""Fit a finite-source point-lens model to the photometry of MOA-2008-BLG-310.

The data (examples/data/MB08310/, seven telescopes; source in its README) are
relative magnitudes with magnitude errors, times in full HJD. The model:

* u(t) = sqrt(u0^2 + ((t - t0)/tE)^2), source radius rho (Einstein radii);
* magnification of a linearly limb-darkened source, one coefficient per band
  (``LD_COEFFICIENTS``; typical values for a solar-type source, not fitted):
  ``kalvorin_fspl.light_curve(t, t0, u0, tE, rho, Linear(c))``;
* flux of data set k: F = fs_k A(t) + fb_k, with the source and blend fluxes
  solved by weighted linear least squares at every evaluation (the nonlinear
  fit sees only t0, u0, tE, rho).

Data handling (printed in the summary):

* magnitudes become fluxes on an arbitrary zero point, F = 10^(-0.4 (m - 18)),
  with sigma_F = 0.4 ln(10) F sigma_m;
* points with sigma_m > MAX_MAG_ERROR are dropped: at such errors the flux is
  close to the noise and a magnitude error is no Gaussian flux error (MOA's
  faint baseline frames, four Canopus points);
* Danish has two exposures with the same time stamp: both are kept;
* a first fit with the published errors, then per data set: points more than
  CLIP sigma from the model would be rejected (on these data none are: the
  "clipped" column of the summary; the short planetary anomaly over the peak
  stays in, within the scaled errors of the CTIO data) and the errors are
  scaled so that chi2/dof of the data set is 1; a second fit gives the
  result. 1-sigma uncertainties come from the covariance (J^T J)^-1 of that
  fit.

The fit's Jacobian (``--jacobian exact``, the default) is exact: the
columns dA/d(t0, u0, tE, rho) of ``light_curve(..., jacobian=True)``,
carried through the flux solve by the chain rule (``Model.jacobian``).
``--jacobian fd`` lets least_squares difference the residuals instead (one
more evaluation per parameter and Jacobian). Either way the script then
fits again with the other Jacobian, from freshly loaded data, and prints
both optima (their difference in units of each parameter's 1 sigma), the
model evaluations and the time of each (the ``jacobian:`` lines).

Writes a PNG (data, model and residuals over the peak and over the 2008
season) unless --no-plot. The plot shows every data set on MOA's flux
scale (the same source magnified, MOA's blend), as the magnitude
18 - 2.5 log10 F on the arbitrary zero point above; points whose error bar
on that scale exceeds PLOT_MAX_MAG_ERROR (data sets with a small source
flux, CTIO_H's faint points) are left out of the plot only, never out of
the fit. --mcmc N adds an emcee run of N steps. The last line printed is
``best fit: t0=<HJD> u0=<> tE=<days> rho=<> chi2/dof=<>``.

Run:  pip install '.[examples]' && python examples/fit_event.py
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np
from scipy.optimize import least_squares

import kalvorin_fspl as kf

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "MB08310")

# Published (single-lens part of the planetary model).
PUBLISHED = {"t0": 2454656.39975, "u0": 0.00300, "tE": 11.14, "t_star": 0.05487}

# Linear limb-darkening coefficient per filter.
LD_COEFFICIENTS = {"I": 0.53, "R": 0.62, "H": 0.36, "unfiltered": 0.60}
MAX_MAG_ERROR = 0.5
CLIP = 4.0
PLOT_MAX_MAG_ERROR = 0.25  # magnitudes on MOA's scale; larger error bars are not drawn
T_REF = 2454656.0  # times are fitted relative to this HJD


class DataSet:
    def __init__(self, name: str, telescope: str, band: str, hjd, mag, err):
        self.name, self.telescope, self.band = name, telescope, band
        self.hjd_all, self.mag_all, self.err_all = hjd, mag, err
        self.flux_all = 10.0 ** (-0.4 * (mag - 18.0))
        self.sigma_all = 0.4 * math.log(10.0) * self.flux_all * err
        self.use = err <= MAX_MAG_ERROR
        self.n_error_cut = int((~self.use).sum())
        self.n_clipped = 0
        self.scale = 1.0
        self.law = kf.Linear(LD_COEFFICIENTS[band])

    @property
    def t(self):
        return self.hjd_all[self.use] - T_REF

    @property
    def flux(self):
        return self.flux_all[self.use]

    @property
    def sigma(self):
        return self.sigma_all[self.use] * self.scale


def load(directory: str = DATA_DIR) -> list[DataSet]:
    sets = []
    for fname in sorted(os.listdir(directory)):
        if not fname.endswith(".tbl"):
            continue
        meta, rows = {}, []
        with open(os.path.join(directory, fname)) as fh:
            for line in fh:
                if line.startswith("\\"):
                    key, _, value = line[1:].partition("=")
                    meta[key.strip()] = value.strip().strip('"')
                elif line.strip() and not line.startswith("|"):
                    rows.append([float(v) for v in line.split()[:3]])
        a = np.array(rows)
        if len(a) != int(meta["NUMBER_OF_POINTS"]):
            raise ValueError(f"{fname}: {len(a)} rows, header says {meta['NUMBER_OF_POINTS']}")
        if meta["TIME_REFERENCE_FRAME"] != "Heliocentric JD" or a[:, 0].min() < 2.4e6:
            raise ValueError(f"{fname}: times are not full HJD")
        order = np.argsort(a[:, 0], kind="stable")
        a = a[order]
        name = fname.split("_0300089")[0]
        sets.append(DataSet(name, meta["TELESCOPE"], meta["TIME_SERIES_DATA_FILTER"],
                            a[:, 0], a[:, 1], a[:, 2]))
    return sets


class Model:
    """FSPL light curve with linear fluxes solved per data set; counts evaluations."""

    def __init__(self, sets: list[DataSet]):
        self.sets = sets
        self.n_magnifications = 0
        self.seconds_magnifications = 0.0
        # model evaluations: residual vectors (every data set's light curve),
        # and Jacobians (every data set's light curve with its derivatives)
        self.n_residuals = 0
        self.n_jacobians = 0

    def magnification(self, p, t, law, jacobian=False):
        """A(t), or (A, dA/d(t0, u0, tE, rho)) with `jacobian` (the law's
        own columns dropped: its coefficients are not fitted)."""
        t0, u0, te, rho = p
        start = time.perf_counter()
        out = kf.light_curve(t, t0, u0, te, rho, law, jacobian=jacobian)
        self.seconds_magnifications += time.perf_counter() - start
        self.n_magnifications += len(t)
        return (out[0], out[1][:, :4]) if jacobian else out

    @staticmethod
    def fluxes(a, f, s, xp=np):
        """Weighted least squares for F = fs A + fb (`xp`: numpy, or an
        array module of the same interface such as jax.numpy)."""
        w = 1.0 / (s * s)
        m = xp.array([[xp.sum(w * a * a), xp.sum(w * a)], [xp.sum(w * a), xp.sum(w)]])
        v = xp.array([xp.sum(w * a * f), xp.sum(w * f)])
        return xp.linalg.solve(m, v)

    @staticmethod
    def flux_residual_jacobian(a, da, f, s):
        """(r, dr/dp) of one data set, r = (F - fs A - fb)/sigma with (fs, fb)
        the weighted least-squares fluxes for this A, `da` = dA/dp (n x k).

        The fluxes solve M c = v, M = sum w [[A^2, A], [A, 1]], v = sum w F [A, 1],
        w = 1/sigma^2, so dc = M^-1 (dv - dM c) with, per parameter column,
        dM c = sum w A' [2 fs A + fb, fs] and dv = sum w A' [F, 0]; then
        dr = -(fs A' + A dfs + dfb)/sigma. Exact: the fluxes' own
        derivatives are kept (Kaufman's simplification of variable
        projection drops some of them)."""
        w = 1.0 / (s * s)
        m = np.array([[np.sum(w * a * a), np.sum(w * a)], [np.sum(w * a), np.sum(w)]])
        fs, fb = np.linalg.solve(m, np.array([np.sum(w * a * f), np.sum(w * f)]))
        rhs = np.stack([(w * (f - 2.0 * fs * a - fb)) @ da, -fs * (w @ da)])
        dfs, dfb = np.linalg.solve(m, rhs)
        r = (f - fs * a - fb) / s
        dr = -(fs * da + np.outer(a, dfs) + dfb) / s[:, None]
        return r, dr

    def residuals(self, p):
        self.n_residuals += 1
        out = []
        for d in self.sets:
            a = self.magnification(p, d.t, d.law)
            fs, fb = self.fluxes(a, d.flux, d.sigma)
            out.append((d.flux - fs * a - fb) / d.sigma)
        return np.concatenate(out)

    def residuals_and_jacobian(self, p):
        """The residual vector and its exact Jacobian d r/d(t0, u0, tE, rho)."""
        self.n_jacobians += 1
        rs, drs = [], []
        for d in self.sets:
            a, da = self.magnification(p, d.t, d.law, jacobian=True)
            r, dr = self.flux_residual_jacobian(a, da, d.flux, d.sigma)
            rs.append(r)
            drs.append(dr)
        return np.concatenate(rs), np.concatenate(drs)

    def jacobian(self, p):
        return self.residuals_and_jacobian(p)[1]

    def chi2(self, p):
        r = self.residuals(p)
        return float(r @ r)


def initial_guess(model):
    """Start at u0 = 0.01, rho = 0.02 (a source larger than the usual one:
    the fit shrinks it more easily than it grows it; and the lens inside it,
    not on its limb, where the slopes in u0 and rho diverge: with t0 on a
    data point, u0 = rho would put that point on the limb), tE = 10 d, and
    t0 at the brightest point of one of the data sets, whichever gives the
    lowest chi2 (a started fit does not cross from one side of the peak to
    the other)."""
    candidates = [d.t[np.argmax(d.flux)] for d in model.sets]
    starts = [np.array([t, 0.01, 10.0, 0.02]) for t in candidates]
    return min(starts, key=model.chi2)


def fit(model, p0, max_nfev, jacobian="exact"):
    """One least-squares pass; `jacobian` "exact" (Model.jacobian) or "fd"
    (scipy's forward differences of the residuals)."""
    jac = model.jacobian if jacobian == "exact" else "2-point"
    res = least_squares(model.residuals, p0, jac=jac, x_scale=np.array([1e-3, 1e-3, 1.0, 1e-3]),
                        bounds=([-np.inf, 0.0, 0.0, 0.0], np.inf), method="trf",
                        max_nfev=max_nfev)
    return res


def fit_twice(sets, max_nfev=None, jacobian="exact"):
    """The fit of this script on `sets` (whose error scales and clipping it
    sets): a first pass from initial_guess, rescale_and_clip, a second pass.
    Returns the Model, the second pass's result and the cost of the two
    passes and the rescaling (the initial guess not counted): model
    evaluations, magnifications, seconds of wall time and of light_curve."""
    model = Model(sets)
    p = initial_guess(model)
    before = (model.n_residuals, model.n_jacobians, model.n_magnifications, model.seconds_magnifications)
    start = time.perf_counter()
    res = fit(model, p, max_nfev, jacobian)
    rescale_and_clip(model, res.x)
    res = fit(model, res.x, max_nfev, jacobian)
    seconds = time.perf_counter() - start
    cost = {"residuals": model.n_residuals - before[0], "jacobians": model.n_jacobians - before[1],
            "magnifications": model.n_magnifications - before[2],
            "seconds_light_curve": model.seconds_magnifications - before[3], "seconds": seconds}
    return model, res, cost


def rescale_and_clip(model, p):
    """Per data set: reject points more than CLIP sigma from the model (sigma
    the larger of the error bar and the robust spread of the residuals), then
    scale the errors so that chi2/dof = 1."""
    for d in model.sets:
        a = model.magnification(p, d.t, d.law)
        fs, fb = model.fluxes(a, d.flux, d.sigma)
        r = (d.flux - fs * a - fb) / d.sigma
        spread = 1.4826 * float(np.median(np.abs(r)))  # robust sigma of the residuals
        bad = np.abs(r) > CLIP * max(1.0, spread)
        d.use[np.flatnonzero(d.use)[bad]] = False
        d.n_clipped += int(bad.sum())
        a = a[~bad]
        fs, fb = model.fluxes(a, d.flux, d.sigma)
        r = (d.flux - fs * a - fb) / d.sigma
        d.scale *= math.sqrt(float(r @ r) / (len(r) - 2))


def covariance(jac):
    return np.linalg.inv(jac.T @ jac)


def plot(model, p, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ref = next(d for d in model.sets if d.name == "MOA")
    a_ref = model.magnification(p, ref.t, ref.law)
    fs_ref, fb_ref = model.fluxes(a_ref, ref.flux, ref.sigma)
    fig, axes = plt.subplots(2, 2, figsize=(12, 7.5), sharex="col",
                             gridspec_kw={"height_ratios": [3, 1]})
    windows = [(p[0] - 0.6, p[0] + 0.6, "peak"), (-120.0, 100.0, "2008 season")]
    colours = {d.name: f"C{i}" for i, d in enumerate(model.sets)}
    hidden = {}
    for col, (lo, hi, title) in enumerate(windows):
        ax, axr = axes[0, col], axes[1, col]
        tt = np.sort(np.append(np.linspace(lo, hi, 1500), p[0]))  # the peak itself included
        a = model.magnification(p, tt, ref.law)
        ax.plot(tt, 18.0 - 2.5 * np.log10(fs_ref * a + fb_ref), "k-", lw=1, label="model (MOA, I)", zorder=5)
        for d in model.sets:
            m = (d.t > lo) & (d.t < hi)
            if not m.any():
                continue
            a = model.magnification(p, d.t[m], d.law)
            fs, fb = model.fluxes(model.magnification(p, d.t, d.law), d.flux, d.sigma)
            # data on the MOA flux scale: the same source magnified, MOA's blend
            f = (d.flux[m] - fb) / fs * fs_ref + fb_ref
            s = d.sigma[m] / fs * fs_ref
            emag = 2.5 / math.log(10.0) * s / np.abs(f)
            # the plot only: error bars that would span the panel are not drawn
            shown = (f > 0) & (emag <= PLOT_MAX_MAG_ERROR)
            hidden.setdefault(d.name, set()).update(d.t[m][~shown].tolist())
            if not shown.any():
                continue
            t_shown, f, s, emag, a = d.t[m][shown], f[shown], s[shown], emag[shown], a[shown]
            mag = 18.0 - 2.5 * np.log10(f)
            ax.errorbar(t_shown, mag, emag, fmt=".", ms=3, lw=0.5, color=colours[d.name],
                        label=f"{d.name} ({d.band})")
            model_f = fs_ref * a + fb_ref
            axr.errorbar(t_shown, (f - model_f) / model_f, s / model_f, fmt=".", ms=3, lw=0.5,
                         color=colours[d.name])
        model_mag = 18.0 - 2.5 * np.log10(fs_ref * model.magnification(p, tt, ref.law) + fb_ref)
        ax.set_ylim(model_mag.max() + 0.8, model_mag.min() - 0.3)  # magnitudes: bright up
        ax.set_title(f"MOA-2008-BLG-310, {title}")
        ax.set_ylabel("18 − 2.5 log₁₀ F  (MOA I flux scale,\narbitrary zero point)")
        axr.axhline(0.0, color="k", lw=0.8)
        axr.set_ylabel("F / F_model − 1")
        axr.set_xlabel(f"HJD − {T_REF:.0f}")
        axr.set_xlim(lo, hi)
        axr.set_ylim(*((-0.15, 0.15) if col == 0 else (-1.0, 1.0)))
        ax.legend(fontsize=9, loc="upper right", markerscale=2, framealpha=0.9)
    left_out = ", ".join(f"{n} {len(k)}" for n, k in hidden.items() if k)
    if left_out:
        fig.text(0.5, 0.005, f"not drawn (error bar > {PLOT_MAX_MAG_ERROR} mag on MOA's scale; all are fitted): "
                 f"{left_out} points", ha="center", va="bottom", fontsize=9)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def run_mcmc(model, p, cov, steps, seed):
    import emcee

    ndim, nwalkers = 4, 16
    rng = np.random.default_rng(seed)
    start = rng.multivariate_normal(p, cov, size=nwalkers)
    start[:, 1:] = np.abs(start[:, 1:])

    def log_prob(q):
        if q[1] <= 0 or q[2] <= 0 or q[3] <= 0:
            return -np.inf
        return -0.5 * model.chi2(q)

    sampler = emcee.EnsembleSampler(nwalkers, ndim, log_prob)
    # the sampler's own generator (its moves) from the seed too: by default
    # it is seeded from the operating system, and runs would not repeat
    sampler.random_state = np.random.RandomState(seed).get_state()
    t = time.perf_counter()
    sampler.run_mcmc(start, steps, progress=False)
    elapsed = time.perf_counter() - t
    chain = sampler.get_chain(discard=steps // 2, flat=True)
    return chain, elapsed, nwalkers * steps


POSTERIOR_NAMES = ["t0 [HJD]", "u0", "tE [d]", "rho", "t* [d]"]


def posterior_quantiles(chain):
    """16, 50, 84 % points of t0 (full HJD), u0, tE, rho and t* = rho tE
    over the samples (rows of `chain`, columns t0 - T_REF, u0, tE, rho)."""
    columns = [chain[:, 0] + T_REF, chain[:, 1], chain[:, 2], chain[:, 3], chain[:, 2] * chain[:, 3]]
    return [np.percentile(c, [16, 50, 84]) for c in columns]


def posterior_lines(chain):
    """One line per parameter: name, median, +(84 % - median), -(median - 16 %)."""
    return [f"{name:<9} {q[1]:.5f} +{q[2] - q[1]:.2g} -{q[1] - q[0]:.2g}"
            for name, q in zip(POSTERIOR_NAMES, posterior_quantiles(chain))]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=DATA_DIR, help="directory of the .tbl files")
    parser.add_argument("--max-nfev", type=int, default=None,
                        help="budget of function evaluations per least-squares pass (default: scipy's)")
    parser.add_argument("--plot", default="fit_event.png", help="PNG to write")
    parser.add_argument("--no-plot", action="store_true", help="write no PNG")
    parser.add_argument("--jacobian", choices=["exact", "fd"], default="exact",
                        help="Jacobian of the fit reported: exact (default) or finite differences; "
                             "the other is fitted too, for comparison")
    parser.add_argument("--mcmc", type=int, default=0, metavar="N", help="run emcee for N steps")
    parser.add_argument("--seed", type=int, default=1, help="random seed of the MCMC")
    args = parser.parse_args(argv)

    start = time.perf_counter()
    sets = load(args.data)
    model, res, cost = fit_twice(sets, args.max_nfev, args.jacobian)
    p = res.x
    cov = covariance(res.jac)
    err = np.sqrt(np.diag(cov))
    chi2 = float(res.fun @ res.fun)
    n = len(res.fun)
    dof = n - 4 - 2 * len(sets)

    print(f"{'data set':<9} {'band':<10} {'points':>6} {'err>' + str(MAX_MAG_ERROR):>7} {'clipped':>7} "
          f"{'err scale':>9} {'chi2/N':>7} {'fs':>10} {'fb':>10}")
    offset = 0
    for d in sets:
        a = model.magnification(p, d.t, d.law)
        fs, fb = model.fluxes(a, d.flux, d.sigma)
        r = res.fun[offset:offset + len(d.t)]
        offset += len(d.t)
        print(f"{d.name:<9} {d.band:<10} {len(d.t):>6} {d.n_error_cut:>7} {d.n_clipped:>7} "
              f"{d.scale:>9.2f} {float(r @ r) / len(r):>7.2f} {fs:>10.4g} {fb:>10.4g}")

    t_star = p[2] * p[3]
    var_ts = (p[3] ** 2 * cov[2, 2] + p[2] ** 2 * cov[3, 3] + 2 * p[2] * p[3] * cov[2, 3])
    print()
    print(f"{'parameter':<10} {'fit':>16} {'1 sigma':>10} {'published':>16} {'difference':>11}")
    rows = [("t0 [HJD]", p[0] + T_REF, err[0], PUBLISHED["t0"]),
            ("u0", p[1], err[1], PUBLISHED["u0"]),
            ("tE [d]", p[2], err[2], PUBLISHED["tE"]),
            ("rho", p[3], err[3], PUBLISHED["t_star"] / PUBLISHED["tE"]),
            ("t* [d]", t_star, math.sqrt(var_ts), PUBLISHED["t_star"])]
    for name, v, e, pub in rows:
        diff = f"{v - pub:+.5f} d" if name.startswith("t0") else f"{(v / pub - 1) * 100:+.1f} %"
        print(f"{name:<10} {v:>16.5f} {e:>10.2g} {pub:>16.5f} {diff:>11}")
    print(f"least squares: {res.nfev} evaluations in the last pass, status {res.status} ({res.message})")

    other = "fd" if args.jacobian == "exact" else "exact"
    model_other, res_other, cost_other = fit_twice(load(args.data), args.max_nfev, other)
    costs = {args.jacobian: cost, other: cost_other}
    optima = {args.jacobian: p, other: res_other.x}
    # both optima on this fit's error scales (the other fit scaled its own)
    chi2s = {args.jacobian: chi2, other: model.chi2(res_other.x)}
    print()
    print(f"{'jacobian':<9} {'values':>9} {'Jacobians':>9} {'magnifications':>14} "
          f"{'light_curve [s]':>15} {'fit [s]':>8}")
    for name in ("exact", "fd"):
        c = costs[name]
        print(f"{name:<9} {c['residuals']:>9} {c['jacobians']:>9} {c['magnifications']:>14} "
              f"{c['seconds_light_curve']:>15.3f} {c['seconds']:>8.3f}")
    shift = (optima["exact"] - optima["fd"]) / err
    print("jacobian: exact - fd optimum in units of 1 sigma: "
          + " ".join(f"{k}={v:+.1e}" for k, v in zip(("t0", "u0", "tE", "rho"), shift))
          + f" (largest {np.max(np.abs(shift)):.1e}); "
          f"chi2 exact - fd {chi2s['exact'] - chi2s['fd']:+.1e}")
    e, f = costs["exact"], costs["fd"]
    print(f"jacobian: exact uses {e['residuals'] + e['jacobians']} model evaluations against "
          f"{f['residuals']} ({(e['residuals'] + e['jacobians']) / f['residuals']:.2f}), "
          f"{e['magnifications'] / f['magnifications']:.2f} of the magnifications, "
          f"{e['seconds'] / f['seconds']:.2f} of the time ({f['seconds'] - e['seconds']:.3f} s saved)")

    if args.mcmc:
        chain, elapsed, n_like = run_mcmc(model, p, cov, args.mcmc, args.seed)
        print()
        print(f"MCMC: {args.mcmc} steps x 16 walkers, posterior (second half): median and 16/84 %")
        for line in posterior_lines(chain):
            print(f"  {line}")
        print(f"  {n_like} likelihood evaluations in {elapsed:.1f} s: {n_like / elapsed:.1f} per second")

    if not args.no_plot:
        plot(model, p, args.plot)
        print(f"wrote {args.plot}")

    elapsed = time.perf_counter() - start
    n_mag = model.n_magnifications + model_other.n_magnifications
    seconds_mag = model.seconds_magnifications + model_other.seconds_magnifications
    print(f"time: {elapsed:.1f} s; {n_mag} magnification evaluations, "
          f"{n_mag / seconds_mag:.0f} per second "
          f"({n_mag / elapsed:.0f} per second of wall time)")
    print(f"best fit: t0={p[0] + T_REF:.5f} u0={p[1]:.5f} tE={p[2]:.3f} rho={p[3]:.5f} "
          f"chi2/dof={chi2 / dof:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
