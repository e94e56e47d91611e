#!/usr/bin/env python3
"""mpmath centroid shifts of a limb-darkened source lensed by a point lens, for benchmarks/fspl_centroid.py.

Usage:  nice python3 benchmarks/fspl_centroid_reference.py [--workers N] [--checks-only]
        (writes benchmarks/fspl_centroid_reference.json; ~20 min on one core of
        a busy machine, the checks alone ~5 min)

What
    At the points of benchmarks/fspl_gradient_reference.py (16 per curve on
    the whole-event and crossing curves), for every law of its LAWS: the
    shift delta of the light centroid of the images from the source centre,
    Einstein radii, along lens -> source (positive away from the lens),

        C = int I F d^2s / int I A d^2s,   delta = C.u_hat - u,

    F(s) = s_hat (|s|^2 + 3)/sqrt(|s|^2 + 4) the magnification-weighted image
    position of a point source at s, A(d) = (d^2 + 2)/(d sqrt(d^2 + 4)); and
    the magnification A = int I A d^2s / int I d^2s, u and rho the doubles
    used by the benchmark.

How
    Every law is a sum of the basis profiles of
    tests/reference/gen_fspl_laws_reference.py (mu^p, mu ln mu), so with r
    the fractional radius and a = rho r

        P_b = int_0^1 2 pi r b(mu) <F.u_hat>(u, a) dr,
        N_b = int_0^1 2 pi r b(mu) <A>(u, a) dr,
        delta = sum c_b P_b / sum c_b N_b - u.

    Both radial integrals use that generator's quadrature (tanh-sinh in r up
    to r = 3/4, in s with mu = s^2 beyond, split at the ring through the lens
    and cut towards the branch points), one ring mean per node shared by the
    bases. <A> is its closed-form ring mean (the magnification reference of
    the test suite). <F.u_hat> is NOT a closed form: it is tanh-sinh
    quadrature in the polar angle phi about the source centre of the
    definition itself, F.u_hat = (u - a cos phi)(d^2 + 3)/(d sqrt(d^2 + 4)),
    d^2 = (u - a)^2 + 4 u a sin^2(phi/2) (phi from the direction source
    centre -> lens, no cancellation in d), split at phi where d reaches
    |u - a| 4^k and 2 * 4^k (the scales of the integrand's two branch points
    nearest the real axis).

    Checks (a failure aborts before anything is written):
    * at three points per curve (the lens nearest the source centre, nearest
      the limb, farthest), uniform and linear laws: delta against a
      brute-force 2-D integral of the definition in polar coordinates (d,
      psi) about the lens (the area element cancels A's 1/d; no ring mean),
      at another precision and other nodes; agreement within TOL relative to
      max(|delta|, 1e-3 u/(u^2 + 2)) (delta changes sign inside the source);
    * at every point, A of every law against benchmarks/fspl_gradient_reference.json
      (an independent computation at 34 digits) within TOL when that file is
      current.
"""

import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "reference"))

import fspl_gradient_reference as gref  # noqa: E402

import mpmath as mp  # noqa: E402
from mpmath import mpf  # noqa: E402

OUT = os.path.join(HERE, "fspl_centroid_reference.json")
DPS, DEGREE = 22, 7
DPS_2D = 21
TOL = 1e-16
LAWS = gref.LAWS
CHECK_LAWS = ("Uniform", "Linear")


def _gen():
    import gen_fspl_laws_reference
    return gen_fspl_laws_reference


def terms(name, params):
    """[(basis, c_b)]: I = sum c_b b(mu)."""
    g = _gen()
    if name == "Uniform":
        return [(g.power(0), mpf(1))]
    if name == "Linear":
        c = mpf(params[0])
        return [(g.power(0), 1 - c), (g.power(1), c)]
    return g.law_terms(name, params)


def keys():
    out = []
    with mp.workdps(DPS):
        for name, params in LAWS.items():
            out += [b for b, _ in terms(name, params) if b not in out]
    return out


def ring_centroid(u, a):
    """<F.u_hat> = (1/pi) int_0^pi (u - a cos phi)(d^2 + 3)/(d sqrt(d^2 + 4)) dphi, Einstein units."""
    f2 = (u - a) ** 2
    four_ua = 4 * u * a

    def h(phi):
        d2 = f2 + four_ua * mp.sin(phi / 2) ** 2
        if d2 == 0:
            return mpf(0)
        return (u - a * mp.cos(phi)) * (d2 + 3) / mp.sqrt(d2 * (d2 + 4))
    pts = {mpf(0), +mp.pi}
    if u * a > 0:
        # d = 2 sqrt(ua) sin(phi/2) + ... reaches the scale w near phi = w / sqrt(ua)
        for scale in (abs(u - a), mpf(2)):
            for k in range(-3, 4):
                p = scale * mpf(4) ** k / mp.sqrt(u * a)
                if 0 < p < mp.pi:
                    pts.add(p)
    return mp.quad(h, sorted(pts), maxdegree=DEGREE + 2) / mp.pi


def point(u, rho):
    """{law: (delta, A)} as 25-digit strings."""
    g = _gen()
    ks = keys()
    with mp.workdps(DPS):
        def centroid_ring(x, r, eps):
            return ring_centroid(x / eps, r / eps)
        n = g.basis_integrals(u, rho, rho, ks, dps=DPS, maxdegree=DEGREE)
        p = g.basis_integrals(u, rho, rho, ks, dps=DPS, maxdegree=DEGREE, ring=centroid_ring)
        out = {}
        for name, params in LAWS.items():
            tl = terms(name, params)
            num = mp.fsum(c * p[b] for b, c in tl)
            den = mp.fsum(c * n[b] for b, c in tl)
            flux = mp.fsum(c * g.flux(b) for b, c in tl)
            out[name] = {"delta": mp.nstr(num / den - mpf(u), 25), "A": mp.nstr(den / flux, 25)}
        return out


def delta_brute(u, rho, name):
    """delta from the definition in polar coordinates (d, psi) about the lens, every law of LAWS."""
    params = LAWS[name]
    with mp.workdps(DPS_2D):
        u, rho = mpf(u), mpf(rho)
        tl = terms(name, params)
        g = _gen()

        def intensity(d, psi):
            r2 = (d * d + u * u - 2 * u * d * mp.cos(psi)) / (rho * rho)
            mu = mp.sqrt(max(1 - r2, mpf(0)))
            return mp.fsum(c * g.basis_of_mu(b, mu) for b, c in tl)

        def inner(psi, weight):
            disc = rho * rho - (u * mp.sin(psi)) ** 2
            if disc <= 0:
                return mpf(0)
            sq = mp.sqrt(disc)
            hi, lo = u * mp.cos(psi) + sq, max(mpf(0), u * mp.cos(psi) - sq)
            if hi <= lo:
                return mpf(0)
            return mp.quad(lambda d: intensity(d, psi) * weight(d) / mp.sqrt(d * d + 4), [lo, hi])
        top = mp.pi if u < rho else mp.asin(min(rho / u, mpf(1)))
        num = mp.quad(lambda q: mp.cos(q) * inner(q, lambda d: d * (d * d + 3)), [0, top])
        den = mp.quad(lambda q: inner(q, lambda d: d * d + 2), [0, top])
        return num / den - u


def table():
    """[(curve, rho, index, u)]."""
    return [tuple(r) for r in gref.table()]


def settings():
    return {"laws": {k: list(v) for k, v in LAWS.items()}, "dps": DPS, "degree": DEGREE,
            "points": [list(r) for r in table()]}


def load():
    """The cached table if it matches the current points and laws, else None."""
    if not os.path.exists(OUT):
        return None
    with open(OUT) as fh:
        data = json.load(fh)
    return data if data["settings"] == settings() else None


def check_points(pts):
    """Per curve, the points checked by the 2-D integral: the lens nearest the
    source centre, nearest the limb, and farthest."""
    by_curve = {}
    for kind, rho, i, u in pts:
        by_curve.setdefault((kind, rho), []).append((i, u))
    out = []
    for (kind, rho), rows in by_curve.items():
        picks = {min(rows, key=lambda r: r[1]), min(rows, key=lambda r: abs(r[1] / rho - 1)), max(rows, key=lambda r: r[1])}
        out += [(kind, rho, i, u) for i, u in sorted(picks)]
    return out


def _check(args):
    kind, rho, i, u, name = args
    return kind, rho, i, name, mp.nstr(delta_brute(u, rho, name), 25)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--workers", type=int, default=1, help="processes (default 1)")
    ap.add_argument("--checks-only", action="store_true",
                    help="keep the values of the current JSON file (same points and laws), redo the checks")
    args = ap.parse_args(argv)
    start = time.time()
    pts = table()
    jobs = [(u, rho) for _, rho, _, u in pts]
    checks = [(kind, rho, i, u, name) for kind, rho, i, u in check_points(pts) for name in CHECK_LAWS]
    cached = load() if args.checks_only else None
    if args.checks_only and cached is None:
        raise SystemExit(f"{os.path.relpath(OUT, ROOT)} is missing or for other points or laws")
    if cached is not None:
        rows = [r["laws"] for r in cached["rows"]]
    if args.workers > 1:
        import multiprocessing
        with multiprocessing.Pool(args.workers) as pool:
            if cached is None:
                rows = pool.starmap(point, jobs)
            brute = pool.map(_check, checks)
    else:
        if cached is None:
            rows = []
            for k, job in enumerate(jobs):
                rows.append(point(*job))
                if k % 16 == 15:
                    print(f"  {k + 1}/{len(jobs)} points, {time.time() - start:.0f} s", flush=True)
        brute = [_check(c) for c in checks]
    out = [{"curve": kind, "rho": rho, "index": i, "u": u, "laws": row} for (kind, rho, i, u), row in zip(pts, rows)]
    # the 2-D check
    mp.mp.dps = DPS  # the comparisons below at the working precision, not mpmath's default 15 digits
    worst_2d = 0.0
    lookup = {(r["curve"], r["rho"], r["index"]): r for r in out}
    for kind, rho, i, name, value in brute:
        ring = mpf(lookup[(kind, rho, i)]["laws"][name]["delta"])
        u = mpf(lookup[(kind, rho, i)]["u"])
        err = float(abs(ring - mpf(value)) / max(abs(mpf(value)), u / (u * u + 2) / 1000))
        worst_2d = max(worst_2d, err)
        print(f"  2-D check {kind} rho = {rho:g} u = {lookup[(kind, rho, i)]['u']:.6g} {name}: rel. {err:.1e}")
        if err > TOL:
            raise RuntimeError(f"{kind} rho={rho} index={i} {name}: rings {ring} against 2-D {value}")
    # A against the 34-digit derivative reference, when current
    worst_a = None
    gdata = gref.load()
    if gdata is not None:
        worst_a = 0.0
        glook = {(r["curve"], r["rho"], r["index"]): r for r in gdata["rows"]}
        for r in out:
            for name in LAWS:
                want = mpf(glook[(r["curve"], r["rho"], r["index"])]["laws"][name]["A"])
                err = float(abs(mpf(r["laws"][name]["A"]) / want - 1))
                worst_a = max(worst_a, err)
                if err > TOL:
                    raise RuntimeError(f"A at {r['curve']} rho={r['rho']} u={r['u']} {name}: {err:.1e}")
    with open(OUT, "w") as fh:
        json.dump({"settings": settings(), "check_2d": worst_2d, "check_A": worst_a, "rows": out}, fh, indent=1)
        fh.write("\n")
    print(f"wrote {os.path.relpath(OUT, ROOT)}: {len(out)} points, 2-D check {worst_2d:.1e}, "
          f"A against fspl_gradient_reference.json {'-' if worst_a is None else f'{worst_a:.1e}'}, "
          f"{time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
