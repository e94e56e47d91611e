"""Sample the posterior of MOA-2008-BLG-310 with NUTS, on exact gradients.

The data, the model and their handling are those of fit_event.py (whose
functions this script imports): seven data sets, a linearly limb-darkened
source, the source and blend fluxes of each data set solved by weighted
linear least squares at every point, the errors scaled by the least-squares
fit. The log-likelihood is -chi2/2 with flat priors on t0, u0 > 0, tE > 0,
rho > 0, the same posterior as fit_event's emcee run (``--mcmc``).

Gradients for the No-U-Turn sampler (numpyro's NUTS on JAX):

* the light curves of all data sets are one JAX function of
  p = (t0, u0, tE, rho), evaluated on the host by ``jax.pure_callback``
  (``kalvorin_fspl.light_curve``) and differentiated by a ``jax.custom_jvp``
  whose tangent is J dp, J = dA/dp from ``light_curve(..., jacobian=True)``
  (exact; no finite differences);
* the flux solve and chi2 are jax.numpy code (``Model.fluxes`` with
  ``xp=jax.numpy``), so JAX's own differentiation carries the chain rule
  through the fluxes.

The sampler's coordinates are z with p = p_hat + L z, L L^T the covariance
of the least-squares fit at its optimum p_hat (a linear map, so the flat
prior stays flat): in z the posterior is close to a unit normal, and a short
warmup adapts the step size. The chain starts at z = 0.

``--emcee N`` also runs fit_event's emcee sampler (N steps of 16 walkers,
the second half kept) on the same model and prints the two posteriors side
by side. The last line printed is
``NUTS median: t0=<HJD> u0=<> tE=<days> rho=<>``.

Run:  pip install '.[examples]' && python examples/hmc_event.py
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fit_event  # noqa: E402  (the data handling and model of the least-squares fit)

import jax  # noqa: E402

jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp  # noqa: E402


def jax_light_curves(model):
    """p -> the light curves of every data set of `model`, concatenated, as
    a JAX function with the exact JVP A'(p) dp."""
    n = sum(len(d.t) for d in model.sets)
    value_shape = jax.ShapeDtypeStruct((n,), jnp.float64)
    jacobian_shape = jax.ShapeDtypeStruct((n, 4), jnp.float64)

    def host_values(p):
        p = np.asarray(p, dtype=np.float64)
        return np.concatenate([model.magnification(p, d.t, d.law) for d in model.sets])

    def host_jacobian(p):
        p = np.asarray(p, dtype=np.float64)
        parts = [model.magnification(p, d.t, d.law, jacobian=True) for d in model.sets]
        model.n_jacobians += 1
        return np.concatenate([a for a, _ in parts]), np.concatenate([j for _, j in parts])

    @jax.custom_jvp
    def light_curves(p):
        return jax.pure_callback(host_values, value_shape, p)

    @light_curves.defjvp
    def light_curves_jvp(primals, tangents):
        (p,), (dp,) = primals, tangents
        a, jac = jax.pure_callback(host_jacobian, (value_shape, jacobian_shape), p)
        return a, jac @ dp

    return light_curves


def jax_log_likelihood(model):
    """p -> -chi2/2 of `model` (fluxes solved per data set), a JAX function."""
    light_curves = jax_light_curves(model)
    edges = np.cumsum([0] + [len(d.t) for d in model.sets])
    data = [(jnp.asarray(d.flux), jnp.asarray(d.sigma)) for d in model.sets]

    def log_likelihood(p):
        a_all = light_curves(p)
        chi2 = 0.0
        for lo, hi, (f, s) in zip(edges[:-1], edges[1:], data):
            a = a_all[lo:hi]
            fs, fb = fit_event.Model.fluxes(a, f, s, xp=jnp)
            r = (f - fs * a - fb) / s
            chi2 = chi2 + r @ r
        return -0.5 * chi2

    return log_likelihood


def run_nuts(model, p_hat, cov, warmup, samples, seed):
    """NUTS in the whitened coordinates z (p = p_hat + L z). Returns the
    samples of p (rows), the sampler's extra fields, and the wall time."""
    from numpyro.infer import MCMC, NUTS

    log_likelihood = jax_log_likelihood(model)
    centre = jnp.asarray(p_hat)
    chol = jnp.asarray(np.linalg.cholesky(cov))

    def potential(z):
        p = centre + chol @ z
        inside = jnp.all(p[1:] > 0.0)  # u0, tE, rho > 0 (flat prior)
        value = log_likelihood(jnp.where(inside, p, centre))
        return jnp.where(inside, -value, jnp.inf)

    kernel = NUTS(potential_fn=potential)
    mcmc = MCMC(kernel, num_warmup=warmup, num_samples=samples, num_chains=1, progress_bar=False)
    start = time.perf_counter()
    mcmc.run(jax.random.PRNGKey(seed), init_params=jnp.zeros(4),
             extra_fields=("num_steps", "diverging"))
    z = np.asarray(mcmc.get_samples())
    elapsed = time.perf_counter() - start
    extra = {k: np.asarray(v) for k, v in mcmc.get_extra_fields().items()}
    return p_hat + z @ np.asarray(chol).T, z, extra, elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=fit_event.DATA_DIR, help="directory of the .tbl files")
    parser.add_argument("--warmup", type=int, default=500, help="NUTS warmup steps")
    parser.add_argument("--samples", type=int, default=1000, help="NUTS samples kept")
    parser.add_argument("--emcee", type=int, default=0, metavar="N",
                        help="also run fit_event's emcee for N steps (16 walkers)")
    parser.add_argument("--seed", type=int, default=1, help="random seed of both samplers")
    args = parser.parse_args(argv)

    from numpyro.diagnostics import effective_sample_size

    model, res, _ = fit_event.fit_twice(fit_event.load(args.data), None, "exact")
    p_hat = res.x
    cov = fit_event.covariance(res.jac)
    sigma = np.sqrt(np.diag(cov))
    print("least squares (exact Jacobian): "
          + " ".join(f"{n}={v:.6g}+-{e:.2g}" for n, v, e in
                     zip(("t0-T_REF", "u0", "tE", "rho"), p_hat, sigma)))

    before = (model.n_residuals, model.n_jacobians, model.n_magnifications)
    chain, z, extra, elapsed = run_nuts(model, p_hat, cov, args.warmup, args.samples, args.seed)
    n_values = model.n_magnifications - before[2]
    n_gradients = model.n_jacobians - before[1]
    ess = [float(effective_sample_size(z[None, :, i])) for i in range(4)]
    print(f"NUTS: {args.warmup} warmup + {args.samples} samples, one chain, in {elapsed:.1f} s "
          f"(JAX tracing and compilation included); {n_gradients} gradient evaluations "
          f"({n_values} magnifications with or without derivatives); "
          f"{int(extra['num_steps'].sum())} leapfrog steps in the samples kept, "
          f"{int(extra['diverging'].sum())} divergent")
    print("NUTS effective sample size: "
          + " ".join(f"{n}={e:.0f}" for n, e in zip(("t0", "u0", "tE", "rho"), ess)))

    columns = [("NUTS", fit_event.posterior_quantiles(chain))]
    if args.emcee:
        emcee_chain, emcee_seconds, n_like = fit_event.run_mcmc(model, p_hat, cov, args.emcee, args.seed)
        print(f"emcee: {args.emcee} steps x 16 walkers (second half kept) in {emcee_seconds:.1f} s, "
              f"{n_like} likelihood evaluations")
        columns.append(("emcee", fit_event.posterior_quantiles(emcee_chain)))

    print()
    print("posterior: median +(84 % - median) -(median - 16 %)")
    print((f"  {'':<9} " + "".join(f"{name:<32}" for name, _ in columns)).rstrip())
    for i, name in enumerate(fit_event.POSTERIOR_NAMES):
        cells = [f"{q[i][1]:.5f} +{q[i][2] - q[i][1]:.2g} -{q[i][1] - q[i][0]:.2g}" for _, q in columns]
        print(f"  {name:<9} " + "".join(f"{c:<32}" for c in cells).rstrip())
    med = [q[1] for q in columns[0][1]]
    print(f"NUTS median: t0={med[0]:.5f} u0={med[1]:.5f} tE={med[2]:.3f} rho={med[3]:.5f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
