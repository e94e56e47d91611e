#!/usr/bin/env python3
"""High-precision reference table for d delta/du and d delta/drho of the finite-source centroid shift.

What
    ``tests/reference/data/fspl_centroid_gradient.json``: the derivatives
    d delta/du (rho fixed) and d delta/drho (u fixed) of the centroid shift
    delta(u, rho) of gen_centroid_reference.py (u, rho, delta in Einstein
    radii), for the same (law, params, rho, u) rows as fspl_centroid.json,
    taken from that generator's points(), except the uniform rows u = rho
    (region "limb"): there the intensity at the limb is nonzero and the
    derivatives diverge logarithmically. Rows {law, params, rho, u, x,
    region, delta_du, delta_du_str, delta_drho, delta_drho_str}: each value
    the nearest double and its 25-significant-digit string, x = u / rho
    rounded to a double.

How
    delta is gen_centroid_reference.evaluate (radial quadrature for x < 3,
    far-field series for x >= 3, every law from one set of basis integrals),
    and the derivatives are finite differences of it, independent in u and
    in rho (the far-field rows too: the series is differenced like the
    quadrature, not differentiated term by term):

    * central differences D(h) = (delta(p + h) - delta(p - h)) / (2h),
      reported as the Richardson value (4 D(h/2) - D(h)) / 3 (error O(h^4));
    * h the power of two at or below T_STEP = 2^-17 (7.6e-6) of the local
      scale: min(u, rho, |u - rho|) for u, min(rho, |u - rho|) for rho (at
      fixed u, delta is analytic in rho except at rho = u). The derivative
      has a logarithmic singularity at u = rho, so the step stays 2^17
      times inside |u - rho|. A power of two keeps p +- h, p +- h/2 exact
      at the working precision (a double p plus log2(p/h) + 1 bits);
    * u = 0: delta is odd in u, so d delta/du is the Richardson value of
      D(h) = delta(h)/h with h = T_STEP rho; d delta/drho = 0 exactly
      (delta = 0 for every rho);
    * working digits DPS (34, the value generator's), plus
      max(0, ceil(log10(rho/|u - rho|)) - 3) near the limb (a relative
      error e of delta becomes up to e rho/h of the derivative, and h is
      2^-17 |u - rho| there); maximum tanh-sinh degree DEG (8); far-field
      points with the value generator's own 2 + 2 log10(x) extra digits
      (far out the rho dependence is x^-2 of delta).

    Cross-checks (any failure aborts before anything is written):

    * convergence: the sample of gen_gradient_reference.convergence_sample
      (centre, both sides of the limb down to |x - 1| = 1e-6, either side
      of x = 3, far points, at rho = 1e-4 and 1e3; x = 1e-3, 0.999, 1.001
      at rho = 1) recomputed with steps h/4, h/8, at DPS_CHECK more digits,
      degree DEG + 1 and every quadrature piece halved: agreement to
      TOL_CHECK = 1e-18 relative to max(|derivative|, floor), floor =
      1e-3 |(2 - u^2)/(u^2 + 2)^2| / max(1, x)^2 (the point-source
      d delta/du, times x^-2 beyond the limb, as the value generator's);
    * far field vs quadrature: at the sample's far points with x <= 100 the
      differences of the far-field series against differences of the
      radial quadrature, to the same tolerance;
    * Richardson: |D(h/2) - D(h)| (the O(h^2) term) printed, worst case;
    * point-source limit: for every law and rho, over the rows with x >= 30,
      |d delta/du / ((2 - u^2)/(u^2 + 2)^2) - 1| and
      |rho (d delta/drho) / (u/(u^2 + 2))| fall like x^-2 (within a factor
      10 from one row to the next).

Regenerate (two processes; about twenty-five minutes on a shared two-core machine, with nice
    and gmpy2 installed as mpmath's backend; slower without it)
    nice python3 tests/reference/gen_centroid_gradient_reference.py
    (--test: a handful of points, nothing written; --cache FILE: keep the
    derivatives in FILE, or read them from it, to rerun only the checks)
"""

import json
import math
import multiprocessing
import os
import pickle
import sys
import time

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_centroid_reference as cr  # noqa: E402
import gen_gradient_reference as gr  # noqa: E402
import gen_model_reference as g  # noqa: E402

DPS, DEG = cr.DPS, cr.DEG
DPS_CHECK = 6  # more digits in the convergence check
T_STEP = mpf(2) ** -17
TOL_CHECK = mpf("1e-18")
WORKERS = 2

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "data", "fspl_centroid_gradient.json")
LAW_KEYS = [(law, tuple(p)) for law, sets in cr.COEFFICIENTS.items() for p in sets]


def pow2_below(v):
    """The largest power of two <= v (v > 0)."""
    return mp.ldexp(1, int(mp.floor(mp.log(v, 2))))


def steps(u, rho):
    """(h_u, h_rho) at T_STEP of the local scales (u = 0: h_u from rho, h_rho unused)."""
    with mp.workdps(60):
        u, rho = mpf(u), mpf(rho)
        su = min(v for v in (u, rho, abs(u - rho)) if v > 0)
        return pow2_below(T_STEP * su), pow2_below(T_STEP * min(rho, abs(u - rho)))


def digits(u, rho, extra=0):
    """DPS, plus one per decade of rho/|u - rho| beyond 1e3 (noise e of delta -> e rho/h)."""
    if u == 0:
        return DPS + extra
    d = math.log10(rho / abs(u - rho))
    return DPS + extra + max(0, math.ceil(d - 1e-9) - 3)


def deltas(u, rho, dps, deg, split, far):
    """{(law, params): delta} at (u, rho) (mpf), by the value generator."""
    res = cr.evaluate(u, rho, dps, deg, split=split, far=far)
    return {k: res[k]["delta"] for k in LAW_KEYS}


def derivatives(u, rho, scale=1, extra=0, deg=DEG, split=False, far=None):
    """({law: d delta/du}, {law: d delta/drho}, {law: (|D_u(h/2) - D_u(h)|, same for rho)})
    with steps h/scale, h/(2 scale) and `extra` more digits."""
    if far is None:
        far = cr.x_of(u, rho) >= cr.X_FAR
    dps = digits(u, rho, extra)
    hu, hr = steps(u, rho)
    hu, hr = hu / scale, hr / scale
    with mp.workdps(60):
        U, R = mpf(u), mpf(rho)
    ev = lambda uu, rr: deltas(uu, rr, dps, deg, split, far)  # noqa: E731
    with mp.workdps(dps + 10):
        if u == 0:
            d1 = {k: v / hu for k, v in ev(hu, R).items()}
            d2 = {k: v / (hu / 2) for k, v in ev(hu / 2, R).items()}
            du = {k: (4 * d2[k] - d1[k]) / 3 for k in LAW_KEYS}
            dr = {k: mpf(0) for k in LAW_KEYS}
            return du, dr, {k: (abs(d2[k] - d1[k]), mpf(0)) for k in LAW_KEYS}

        def rich(f, p, h):
            a, b = f(p + h), f(p - h)
            c, d = f(p + h / 2), f(p - h / 2)
            d1 = {k: (a[k] - b[k]) / (2 * h) for k in LAW_KEYS}
            d2 = {k: (c[k] - d[k]) / h for k in LAW_KEYS}
            return {k: (4 * d2[k] - d1[k]) / 3 for k in LAW_KEYS}, {k: abs(d2[k] - d1[k]) for k in LAW_KEYS}
        du, eu = rich(lambda v: ev(v, R), U, hu)
        dr, er = rich(lambda v: ev(U, v), R, hr)
        return du, dr, {k: (eu[k], er[k]) for k in LAW_KEYS}


def floor_of(u, rho):
    """1e-3 of the point-source d delta/du, times x^-2 beyond x = 1."""
    with mp.workdps(60):
        u, x = mpf(u), cr.x_of(u, rho)
        return mpf("1e-3") * abs((2 - u * u) / (u * u + 2) ** 2) / max(1, x) ** 2


def work(item):
    k, (region, m, u, rho, _), mode = item
    t1 = time.time()
    mp.mp.dps = 60
    if mode == "main":
        res = derivatives(u, rho)
    elif mode == "check":
        res = derivatives(u, rho, scale=4, extra=DPS_CHECK, deg=DEG + 1, split=True)
    else:  # "radial": the far point by the quadrature
        res = derivatives(u, rho, far=False)
    return k, mode, res, time.time() - t1


def rows_points(pts):
    """The points with rows (the uniform u = rho rows are left out: divergent derivatives)."""
    return [p for p in pts if not p[4]]


def main():
    t0 = time.time()
    mp.mp.dps = 60
    check = g.check
    args = sys.argv[1:]
    test = "--test" in args
    cache = args[args.index("--cache") + 1] if "--cache" in args else None
    allpts = cr.points()
    pts = rows_points(allpts)
    excluded = [p for p in allpts if p[4]]
    sample = [p for p in gr.convergence_sample(pts)]
    if test:
        pick = {(1e-4, "0"), (1.0, "0.3"), (1e3, "1.000001"), (1e-4, "0.999999"), (0.1, "3.01")}
        pts = [p for p in pts if (p[3], p[1]) in pick or (p[3] == 1e-4 and p[2] >= 1.0)]
        sample = [p for p in pts if p[1] in ("0", "1.000001", "3.01")]
    far_sample = [p for p in sample if cr.X_FAR <= cr.x_of(p[2], p[3]) <= 100]
    print(f"{len(pts)} points ({len(excluded)} left out: u = rho, uniform), convergence sample "
          f"{len(sample)}, far vs radial {len(far_sample)}; T_STEP 2^-17, DPS {DPS}, DEG {DEG}", flush=True)
    items = [(k, p, "main") for k, p in enumerate(pts)]
    items += [(k, p, "check") for k, p in enumerate(pts) if p in sample]
    items += [(k, p, "radial") for k, p in enumerate(pts) if p in far_sample]
    # longest first (near the limb, large rho), far-field series last
    cost = lambda it: (it[1][2] / it[1][3] < cr.X_FAR or it[2] == "radial",  # noqa: E731
                       it[2] != "main", -math.log10(abs(it[1][2] / it[1][3] - 1)))
    items.sort(key=cost, reverse=True)
    if cache and os.path.exists(cache):
        with open(cache, "rb") as fh:
            out, t_val = pickle.load(fh)
        print(f"derivatives from {cache}")
    else:
        out = {}
        with multiprocessing.Pool(WORKERS) as pool:
            for n, (k, mode, res, dt) in enumerate(pool.imap_unordered(work, items, chunksize=1)):
                out[(k, mode)] = res
                region, m, u, rho, _ = pts[k]
                print(f"  {n + 1}/{len(items)} {mode} rho={rho:g} x={m} in {dt:.1f} s "
                      f"({time.time() - t0:.0f} s)", flush=True)
        t_val = time.time() - t0
        if cache:
            with open(cache, "wb") as fh:
                pickle.dump((out, t_val), fh)

    # Richardson: size of the O(h^2) term removed
    worst = (mpf(0), None)
    for k, p in enumerate(pts):
        fl_ = floor_of(p[2], p[3])
        du, dr, er = out[(k, "main")]
        for key in LAW_KEYS:
            for name, d, e in (("du", du[key], er[key][0]), ("drho", dr[key], er[key][1])):
                r = e / max(abs(d), fl_)
                if r > worst[0]:
                    worst = (r, (key, name, p[2], p[3]))
    print(f"Richardson: |D(h/2) - D(h)| worst {float(worst[0]):.1e} of the derivative at {worst[1]}")

    # convergence and far series vs radial
    for mode, what in (("check", f"steps h/4, h/8, {DPS_CHECK} more digits, degree {DEG + 1}, pieces halved"),
                       ("radial", "far-field series vs radial quadrature")):
        worst = (mpf(0), None)
        n = 0
        for k, p in enumerate(pts):
            if (k, mode) not in out:
                continue
            n += 1
            fl_ = floor_of(p[2], p[3])
            a, b = out[(k, "main")], out[(k, mode)]
            for key in LAW_KEYS:
                for j, name in ((0, "du"), (1, "drho")):
                    e = abs(a[j][key] - b[j][key]) / max(abs(b[j][key]), fl_)
                    if e > worst[0]:
                        worst = (e, (key, name, p[1], p[2], p[3]))
        print(f"{what} ({n} points): worst {float(worst[0]):.1e} at {worst[1]}", flush=True)
        check(worst[0] <= TOL_CHECK, what)

    # point-source limit
    with mp.workdps(60):
        for key in LAW_KEYS:
            for rho in cr.RHOS:
                seq = []
                for k, p in enumerate(pts):
                    u, x = mpf(p[2]), cr.x_of(p[2], p[3])
                    if p[3] != rho or x < 30:
                        continue
                    du, dr, _ = out[(k, "main")]
                    seq.append((x, du[key] / ((2 - u * u) / (u * u + 2) ** 2) - 1,
                                mpf(rho) * dr[key] / (u / (u * u + 2))))
                if key == ("Linear", (0.6,)):
                    print(f"point-source limit rho={rho:g}, Linear(0.6): " + ", ".join(
                        f"x={mp.nstr(x, 4)}: du {mp.nstr(a, 3)}, drho {mp.nstr(b, 3)}" for x, a, b in seq))
                for (x1, a1, b1), (x2, a2, b2) in zip(seq, seq[1:]):
                    check(abs(a2) < abs(a1) * (x1 / x2) ** 2 * 10 and abs(b2) < abs(b1) * (x1 / x2) ** 2 * 10,
                          f"point-source limit {key} rho={rho}")
    if test:
        for k, p in enumerate(pts):
            du, dr, _ = out[(k, "main")]
            key = ("Linear", (0.6,))
            print(f"  rho={p[3]:g} x={p[1]}: du {mp.nstr(du[key], 25)} drho {mp.nstr(dr[key], 25)}")
        print(f"test: {time.time() - t0:.0f} s, nothing written")
        return
    write(pts, out, t0, t_val)


def write(pts, out, t0, t_val):
    rows = []
    with mp.workdps(60):
        for key in LAW_KEYS:
            law, params = key
            for k, (region, m, u, rho, _) in enumerate(pts):
                du, dr, _ = out[(k, "main")]
                rows.append({"law": law, "params": list(params), "rho": rho, "u": u,
                             "x": float(cr.x_of(u, rho)), "region": region,
                             "delta_du": float(du[key]), "delta_du_str": cr.s25(du[key]),
                             "delta_drho": float(dr[key]), "delta_drho_str": cr.s25(dr[key])})
    with open(OUT, "w") as fh:
        json.dump({
            "generator": "tests/reference/gen_centroid_gradient_reference.py",
            "quantity": "d delta/du (rho fixed) and d delta/drho (u fixed) of the finite-source point-lens "
                        "centroid shift delta(u, rho) of fspl_centroid.json; u, rho, delta in Einstein radii; "
                        "no rows at u = rho (uniform), where they diverge",
            "laws": cr.LAWS,
            "rows": rows,
        }, fh, indent=1)
        fh.write("\n")
    print(f"derivatives {t_val:.0f} s; wrote {len(rows)} rows to {os.path.relpath(OUT)} "
          f"in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
