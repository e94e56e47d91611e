#!/usr/bin/env python3
"""mpmath derivatives of the limb-darkened point-lens magnification for benchmarks/fspl_gradient.py.

Usage:  python3 benchmarks/fspl_gradient_reference.py   (writes benchmarks/fspl_gradient_reference.json, ~3 min)

What
    At the points of `points()` (16 per curve on the whole-event curves of
    benchmarks/whole_event.py and the crossing curves of benchmarks/bench.py),
    for every law of LAWS: A(u, rho), dA/du, dA/drho and dA/d(each law
    parameter), u and rho the doubles used by the benchmark.

How
    A = sum_b c_b N_b / sum_b c_b F_b with the basis integrals N_b of
    tests/reference/gen_fspl_laws_reference.py (tanh-sinh at DPS digits,
    maximum degree DEGREE, the ring mean in closed form), every basis profile
    of every law from one call per (u, rho).

    dA/du, dA/drho: five-point central differences (truncation O(h^4)) with
    h = STEP * R, R = min(|u - rho|, u) for u and min(|u - rho|, rho) for rho:
    A is analytic in u and rho away from u = rho (where dA/du diverges
    logarithmically for a law bright at the limb) and u = 0, so its Taylor
    series converges within R and the truncation error is ~ STEP^4; the
    quadrature's noise (~10^-DPS) divided by h stays below 1e-20. The same
    difference with 2h is kept; their disagreement (`spread`) bounds the
    reference's own error and is checked below TOL.

    dA/d(law parameter): the coefficients enter linearly in numerator and
    flux, so for all but Power2's exponent the derivative is exact,
    sum_b dc_b/dp (N_b - A F_b) / sum_b c_b F_b; for the exponent alpha the
    same with the basis d(mu^alpha)/dalpha = mu^alpha ln(mu) integrated as
    one more basis profile (its flux -2 pi / (alpha + 2)^2). Not a difference
    in alpha: far from the source N - A F is ~ (rho/u)^2 of its terms, and a
    difference's truncation and noise would be amplified by as much.
"""

import json
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "reference"))

import bench  # noqa: E402
import whole_event  # noqa: E402

OUT = os.path.join(HERE, "fspl_gradient_reference.json")
DPS, DEGREE = 34, 8
STEP = 1e-5
TOL = 1e-15
N_EVEN, N_LIMB = 12, 4  # points per curve: evenly spaced, nearest the limb

# One typical coefficient set per law (the first of gen_fspl_laws_reference's table).
LAWS = {
    "Uniform": (),
    "Linear": (0.6,),
    "Quadratic": (0.4, 0.25),
    "SquareRoot": (0.2, 0.5),
    "Logarithmic": (0.6, 0.2),
    "Power2": (0.6, 0.5),
    "Claret": (0.5, 0.1, 0.3, -0.15),
}


def curves():
    """[(kind, rho, t, u0)]: t0 = 0, tE = 1."""
    out = [("whole-event", rho, *whole_event.curve(rho)[:2]) for rho in whole_event.RHOS]
    out += [("crossing", rho, np.array(bench.light_curve(rho).tau), 0.5 * rho) for rho in bench.RHOS]
    return out


def separations(t, u0, t0=0.0, tE=1.0):
    """u as kalvorin_fspl.light_curve forms it."""
    tau = (t - t0) / tE
    return np.sqrt(u0 * u0 + tau * tau)


def points(t, u0, rho):
    """Indices: N_EVEN evenly spaced and the N_LIMB nearest the limb crossing at t < 0."""
    u = separations(t, u0)
    idx = set(np.linspace(0, len(t) - 1, N_EVEN).round().astype(int).tolist())
    cand = np.where(t < 0)[0]
    idx.update(cand[np.argsort(np.abs(u[cand] / rho - 1.0))[:N_LIMB]].tolist())
    return sorted(idx)


def terms(g, name, params):
    """[(basis, c_b, [dc_b/dp for each parameter])] at the current precision."""
    mpf = g.mpf
    if name == "Uniform":
        return [(g.power(0), mpf(1), [])]
    if name == "Linear":
        c = mpf(params[0])
        return [(g.power(0), 1 - c, [mpf(-1)]), (g.power(1), c, [mpf(1)])]
    q = [mpf(v) for v in params]
    if name == "Quadratic":
        a, b = q
        return [(g.power(0), 1 - a - b, [-1, -1]), (g.power(1), a + 2 * b, [1, 2]), (g.power(2), -b, [0, -1])]
    if name == "SquareRoot":
        c, d = q
        return [(g.power(0), 1 - c - d, [-1, -1]), (g.power(1), c, [1, 0]), (g.power(0.5), d, [0, 1])]
    if name == "Logarithmic":
        e, f = q
        return [(g.power(0), 1 - e, [-1, 0]), (g.power(1), e, [1, 0]), (g.MULOG, -f, [0, -1])]
    if name == "Power2":  # the alpha column is handled by the caller
        c, _ = q
        return [(g.power(0), 1 - c, [-1, 0]), (g.power(params[1]), c, [1, 0])]
    if name == "Claret":
        return ([(g.power(0), 1 - g.mp.fsum(q), [-1] * 4)]
                + [(g.power(k / 2), q[k - 1], [1 if j == k - 1 else 0 for j in range(4)]) for k in (1, 2, 3, 4)])
    raise ValueError(name)


def all_keys(g):
    keys = []
    with g.mp.workdps(DPS):
        for name, params in LAWS.items():
            keys += [b for b, _, _ in terms(g, name, params) if b not in keys]
    keys.append(("powlog", float(LAWS["Power2"][1])))
    return keys


def law_values(g, n):
    """{law: (A, [dA/dp])} from basis integrals n."""
    out = {}
    for name, params in LAWS.items():
        tl = terms(g, name, params)
        num = g.mp.fsum(c * n[b] for b, c, _ in tl)
        den = g.mp.fsum(c * g.flux(b) for b, c, _ in tl)
        a = num / den
        grads = [g.mp.fsum(dc[k] * (n[b] - a * g.flux(b)) for b, _, dc in tl) / den for k in range(len(params))]
        if name == "Power2":
            c, alpha = (g.mpf(v) for v in params)
            dn = n[("powlog", float(params[1]))]
            dflux = -2 * g.mp.pi / (alpha + 2) ** 2
            grads[1] = c * (dn - a * dflux) / den
        out[name] = (a, grads)
    return out


def derivative(f, x, h):
    """Five-point central difference of f at x with step h, and with 2h."""
    fp1, fm1, fp2, fm2 = f(x + h), f(x - h), f(x + 2 * h), f(x - 2 * h)
    d_h = {k: (8 * (fp1[k] - fm1[k]) - (fp2[k] - fm2[k])) / (12 * h) for k in fp1}
    fp4, fm4 = f(x + 4 * h), f(x - 4 * h)
    d_2h = {k: (8 * (fp2[k] - fm2[k]) - (fp4[k] - fm4[k])) / (24 * h) for k in fp1}
    return d_h, d_2h


def with_powlog(g):
    """gen_fspl_laws_reference's basis profiles and one more, ("powlog", p): mu^p ln(mu)."""
    if getattr(g, "_powlog", False):
        return g
    of_mu, of_s = g.basis_of_mu, g.basis_of_s

    def basis_of_mu(b, mu):
        if b[0] == "powlog":
            return mu ** g.mpf(b[1]) * g.mp.log(mu) if mu > 0 else g.mpf(0)
        return of_mu(b, mu)

    def basis_of_s(b, s):
        if b[0] == "powlog":
            return s ** (2 * g.mpf(b[1])) * 2 * g.mp.log(s) if s > 0 else g.mpf(0)
        return of_s(b, s)
    g.basis_of_mu, g.basis_of_s, g._powlog = basis_of_mu, basis_of_s, True
    return g


def point(u, rho):
    import gen_fspl_laws_reference
    g = with_powlog(gen_fspl_laws_reference)
    keys = all_keys(g)
    with g.mp.workdps(DPS):
        mu, mrho = g.mpf(u), g.mpf(rho)

        def at(uu, rr):
            n = g.basis_integrals(uu, rr, rr, keys, dps=DPS, maxdegree=DEGREE)
            return {name: v[0] for name, v in law_values(g, n).items()}

        centre = law_values(g, g.basis_integrals(mu, mrho, mrho, keys, dps=DPS, maxdegree=DEGREE))
        gap = abs(mu - mrho)
        du, du2 = derivative(lambda x: at(x, mrho), mu, STEP * min(gap, mu))
        dr, dr2 = derivative(lambda x: at(mu, x), mrho, STEP * min(gap, mrho))
        row = {"u": u, "rho": rho, "laws": {}}
        for name in LAWS:
            a, grads = centre[name]
            spread = max(abs(du[name] / du2[name] - 1), abs(dr[name] / dr2[name] - 1))
            if spread > TOL:
                raise RuntimeError(f"{name} u={u!r} rho={rho!r}: differences with h and 2h differ by {float(spread):.1e}")
            row["laws"][name] = {"A": g.mp.nstr(a, 25), "dA_du": g.mp.nstr(du[name], 25),
                                 "dA_drho": g.mp.nstr(dr[name], 25),
                                 "dA_dlaw": [g.mp.nstr(x, 25) for x in grads], "spread": float(spread)}
        return row


def table():
    rows = []
    for kind, rho, t, u0 in curves():
        u = separations(t, u0)
        for i in points(t, u0, rho):
            rows.append((kind, float(rho), int(i), float(u[i])))
    return rows


def settings():
    return {"laws": {k: list(v) for k, v in LAWS.items()}, "dps": DPS, "degree": DEGREE, "step": STEP,
            "points": [list(r) for r in table()]}


def load():
    """The cached table if it matches the current points and laws, else None."""
    if not os.path.exists(OUT):
        return None
    with open(OUT) as fh:
        data = json.load(fh)
    return data if data["settings"] == settings() else None


def main():
    import multiprocessing
    start = time.time()
    pts = table()
    with multiprocessing.Pool(2) as pool:
        rows = pool.starmap(point, [(u, rho) for _, rho, _, u in pts])
    for (kind, _, i, _), row in zip(pts, rows):
        row["curve"], row["index"] = kind, i
    worst = max(v["spread"] for r in rows for v in r["laws"].values())
    with open(OUT, "w") as fh:
        json.dump({"settings": settings(), "worst_spread": worst, "rows": rows}, fh, indent=1)
        fh.write("\n")
    print(f"wrote {os.path.relpath(OUT, ROOT)}: {len(rows)} points, worst h/2h spread {worst:.1e}, "
          f"{time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
