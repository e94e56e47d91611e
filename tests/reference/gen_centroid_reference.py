#!/usr/bin/env python3
"""High-precision reference table for the finite-source centroid shift.

What
    ``tests/reference/data/fspl_centroid.json``: the shift delta of the light
    centroid of the lensed images from the source centre, along the
    lens -> source direction, for a source of radius rho at separation u from
    a point lens (Einstein radii, lens at the origin, source centre at u e):

        C = int I F d^2s / int I A d^2s,   delta = C.e - u,
        A(d) = (d^2 + 2) / (d sqrt(d^2 + 4)),
        F(s) = s_hat (|s|^2 + 3) / sqrt(|s|^2 + 4)

    (F the magnification-weighted image position of a point source at s;
    point source: delta = u / (u^2 + 2)). Laws, coefficient sets, RHOS and
    the multiples x = u/rho are those of gen_gradient_reference.py (centre,
    inside, both sides of the limb down to |x - 1| = 1e-6, outside, either
    side of x = 3, far, its far point), plus u in FAR_US where u >= 30 rho
    (up to u = 1e6), plus u = rho exactly for the uniform law only (region
    "limb"; delta is finite there for every law, but only the uniform row is
    a sharp value: delta = 0, observed, not proven). Otherwise u is the
    double nearest to the stated multiple. Rows {law, params, rho, u, x,
    region, delta, delta_str, delta_dlaw, delta_dlaw_str}: delta the nearest
    double, delta_str 25 significant digits, delta_dlaw (and _str) the
    derivatives d delta/dp for the law's parameters in its order (empty for
    Uniform), x = u / rho rounded to a double.

How
    Every input is a double taken exactly (mpf(float)).

    * x < 3: ring by ring, in source units (Einstein radius eps = 1/rho,
      g = eps^2, ring of radius a about the source centre at distance u from
      the lens, phi from the direction centre -> lens, d^2 = u^2 + a^2 -
      2ua cos phi, <h> = (1/pi) int_0^pi h dphi),

          b(u, a) = <(u - a cos phi)(A + B)> - u <A> = u M_B - a (C + C_B),
          B = g / (d sqrt(d^2 + 4g)),  M_B = <B>,  C = <cos phi A>,
          C_B = <cos phi B>,

      and delta = rho int 2 pi r I b dr / int 2 pi r I M dr (M = <A>; the
      factor rho turns source radii into Einstein radii). The ring functions
      are closed forms in mpmath's Carlson integrals (f = u - a, S = u + a,
      D = f^2 + 4g, n = 4ua/S^2, nc = f^2/S^2, m = 16 g ua/(S^2 D),
      kc^2 = f^2 (S^2 + 4g)/(S^2 D)):

          M_B = 2g R_F(0, kc^2, 1) / (pi S sqrt D),
          C + C_B = 16 g ua I_1 / (pi S^3 sqrt D) + C/2,
          I_1 = [R_D(0, kc^2, 1) - nc R_J(0, kc^2, 1, nc)] / (3n),
          C = 64 g^2 ua H(m) / (pi S^3 D^(3/2)),
          H = (pi/16) 2F1(3/2, 3/2; 3; m)  (m < 1/2),
            = (2 R_D(0, kc^2, 1)/3 - R_F(0, kc^2, 1)) / m  (m >= 1/2),

      and M is gen_model_reference.ring_mean_fast. Where the ring encloses
      the lens far from it, u M_B and a (C + C_B) cancel to O(u g^2/a^4)
      (the mean of s/|s|^2 over an enclosing ring is 0): each ring is
      evaluated with 2 log10(a/eps) + log10(1/n) + EXTRA more digits than the
      working precision. At u = 0, b = 0 identically (delta = 0 by
      symmetry). The radial integral is the quadrature of
      gen_fspl_laws_reference.py (tanh-sinh in r on [0, 3/4] split at r = x,
      cut towards r = x and at r = x +- 2 eps 4^k; in s, mu = s^2, on
      [3/4, 1], cut geometrically towards the singular points of the ring
      functions mapped to s) at DPS digits, maximum degree DEG, per basis
      profile (mu^p, mu ln mu; the laws are their combinations), one ring
      evaluation per node shared by M, b and every basis.
    * x >= 3: the far-field series (Einstein units, w = u^2)

          delta = u sum_k x^(-2k) mu_k R_k / sum_k x^(-2k) mu_k P_k,
          P_k = sum_{i<=k} C(k,i) C(k+i,i) a_{k+i},
          R_k = sum_{i<=k} C(k,i) C(k+i,i) [b_{k+i} + i/(k+i) (a_{k+i-1} + b_{k+i-1})],

      a_j, b_j the scaled Taylor coefficients f^(j)(w) w^j / j! of A and of
      B = 1/sqrt(w (w + 4)) (the Taylor coefficients in t of f(w (1 + t)),
      by Miller's power-series rule for B and A = ((w + 2) + w t) B), mu_k = int 2 pi r I r^(2k) dr (exact: pi B(k + 1, p/2 + 1)
      for mu^p, (pi/2) B(k + 1, 3/2) (psi(3/2) - psi(k + 5/2)) for mu ln mu),
      summed until both terms fall below 10^-(DPS + 2) of their sums; the
      sums are the radial basis integrals themselves, at 2 log10(x) more
      digits (far out the law derivatives are ~x^-2 of their terms).
    * Law derivatives: every parameter enters the intensity linearly except
      Power2's alpha, and dI/dp is a combination of basis profiles g
      (mu^alpha ln(mu) for alpha), so d delta/dp = (rho N_b[g] -
      delta N_M[g]) / N_M from the same basis integrals (no difference).

    Cross-checks (any failure aborts before anything is written):

    * ring functions: the closed form of b against the tanh-sinh quadrature
      in phi of the definition <(u - a cos phi)(A + B) - u A> for RING_CASES
      (a/u from 1e-3 to 1e3, |f| down to 1e-6, eps from 1e-3 to 1e4), relative
      to |u M_B| + |a (C + C_B)|;
    * the scaled coefficients against mpmath's own Taylor coefficients
      (mp.taylor, numerical differentiation at 120 digits) at a few w;
    * Power2's alpha: the basis mu^alpha ln(mu) against the Richardson
      value of central differences of the bases mu^(alpha +- h),
      mu^(alpha +- h/4), h = H_ALPHA, at ALPHA_MULTIPLES for rho = 1e-4, 1, 1e3;
    * the denominators int 2 pi r I M dr / int 2 pi r I dr against the
      25-digit magnifications of fspl_gradient.json at every shared point;
    * convergence: every x < 3 point recomputed at DPS_CHECK digits, maximum
      degree DEG_CHECK, every quadrature piece halved: delta to 1e-22, the
      law derivatives to 1e-20 (their differences cancel by up to ~1e4 near
      the limb of a large source);
    * far field: the series against the radial quadrature at every far point
      with x <= 100 (delta and the law derivatives);
    * brute force: a brute-force 2-D integral of the definition (polar
      coordinates about the lens, area element d dd dpsi cancelling the 1/d,
      no ring function) at BRUTE_POINTS for BRUTE_LAWS;
    * sharp values: delta = 0 at u = 0; the uniform limb rows delta = 0
      (reported, and required below 1e-25 of u/(u^2 + 2)); the point-source
      limit |delta/(u/(u^2 + 2)) - 1| falling like x^-2 in the far rows.

Regenerate (one process; about twenty-five minutes on a shared two-core machine, with nice)
    nice python3 tests/reference/gen_centroid_reference.py
"""

import json
import math
import os
import sys
import time

import mpmath as mp
from mpmath import mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_fspl_laws_reference as fl  # noqa: E402
import gen_fspl_reference as fr  # noqa: E402
import gen_gradient_reference as gr  # noqa: E402
import gen_model_reference as g  # noqa: E402

DPS, DEG = 34, 8
DPS_CHECK, DEG_CHECK = 40, 9
DPS_BRUTE = 30
EXTRA = 4  # guard digits of every ring evaluation
X_FAR = 3
K_MAX = 200  # far-field terms

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "data", "fspl_centroid.json")
GRADIENT_JSON = os.path.join(HERE, "data", "fspl_gradient.json")

RHOS = gr.RHOS
LAWS = gr.LAWS
COEFFICIENTS = gr.COEFFICIENTS
MULTIPLES = gr.MULTIPLES
FAR_US = [10.0, 1e3, 1e6]  # added where u >= 30 rho

# (u, a, eps) in source units
RING_CASES = [(1, 0.5, 1), (0.3, 0.9, 2), (2, 1.9, 0.1), (1, 0.2, 0.01), (0.5, 0.6, 10),
              (1, 1 - 1e-6, 1), (1, 1 + 1e-6, 0.01), (1e-3, 1, 1e-3), (1e-3, 0.99, 1e4),
              (1, 1e3, 1), (1, 1e-3, 1e-3), (0.9, 0.95, 1e-3), (3, 1, 1), (2.99, 0.7, 1e4),
              (1e-3, 0.5, 1e-3 / 3)]
ALPHA_MULTIPLES = ("1e-3", "0.9", "0.999999", "1.000001", "1.5", "3.01", "30")  # at rho 1e-4, 1, 1e3
BRUTE_POINTS = [(0.1, "0.3"), (0.1, "2.5"), (1.0, "0.9"), (1.0, "1.5"), (10.0, "0.3")]
BRUTE_LAWS = [("Uniform", ()), ("Linear", (0.6,)), ("Power2", (0.4, 1.7))]


# --------------------------------------------------------------------------
# Laws: basis profiles
# --------------------------------------------------------------------------

law_terms = gr.law_terms


law_derivative_terms = gr.law_derivative_terms
H_ALPHA = mpf("1e-8")  # Power2's exponent: central differences of the bases mu^(alpha +- h)


def _alpha_shifts(alpha):
    with mp.workdps(DPS):
        return gr.alpha_shifts(alpha, H_ALPHA)


ALPHA_SHIFTS = {p[1]: _alpha_shifts(p[1]) for p in gr.COEFFICIENTS["Power2"]}


def alpha_shifts(alpha):
    """The exponents of the central differences in alpha (fixed numbers: basis keys)."""
    return ALPHA_SHIFTS[alpha]


KEYS = gr.KEYS  # the laws' bases and their parameter derivatives'
ALPHA_KEYS = KEYS + [("pow", e) for p in COEFFICIENTS["Power2"] for e in alpha_shifts(p[1])]


def moment(b, k):
    """int_0^1 2 pi r b(mu) r^(2k) dr (t = r^2: pi int t^k (1 - t)^(p/2) dt for mu^p)."""
    if b[0] == "pow":
        return mp.pi * mp.beta(k + 1, mpf(b[1]) / 2 + 1)
    # mu^p ln(mu) = (1 - t)^(p/2) ln(1 - t) / 2: (1/2) d/dq of pi B(k + 1, q + 1) at q = p/2
    h = (mpf(1) if b[0] == "mulog" else mpf(b[1])) / 2 + 1
    return mp.pi / 2 * mp.beta(k + 1, h) * (mp.digamma(h) - mp.digamma(k + 1 + h))


# --------------------------------------------------------------------------
# Ring functions (source units)
# --------------------------------------------------------------------------

def bracket(u, a, eps):
    """b = u M_B - a (C + C_B) = <F.e> - u M at extra precision (see How)."""
    if u == 0:
        return mpf(0), mpf(0)
    fa, fu, fe = float(a), float(u), float(eps)
    n_est = 4 * fu * fa / (fu + fa) ** 2
    extra = EXTRA + max(0.0, 2 * math.log10(fa / fe)) + max(0.0, -math.log10(n_est))
    with mp.workdps(mp.mp.dps + int(math.ceil(extra))):
        u, a, eps = +u, +a, +eps
        gg = eps * eps
        f = u - a
        S = u + a
        S2 = S * S
        D = f * f + 4 * gg
        sD = mp.sqrt(D)
        n = 4 * u * a / S2
        nc = f * f / S2
        m = 16 * gg * u * a / (S2 * D)
        kc2 = f * f * (S2 + 4 * gg) / (S2 * D)
        rf = mp.elliprf(0, kc2, 1)
        rd = mp.elliprd(0, kc2, 1)
        rj = mp.elliprj(0, kc2, 1, nc)
        mb = 2 * gg * rf / (mp.pi * S * sD)
        i1 = (rd - nc * rj) / (3 * n)
        h = mp.pi / 16 * mp.hyp2f1(1.5, 1.5, 3, m) if m < 0.5 else (2 * rd / 3 - rf) / m
        c = 64 * gg * gg * u * a * h / (mp.pi * S ** 3 * D * sD)
        cc = 16 * gg * u * a * i1 / (mp.pi * S ** 3 * sD) + c / 2
        b = u * mb - a * cc
        scale = abs(u * mb) + abs(a * cc)
    return +b, +scale


def bracket_direct(u, a, eps, dps):
    """b by tanh-sinh in phi of the definition, cut geometrically about phi = 0
    (width |f|/sqrt(ua) and 2 eps/sqrt(ua))."""
    with mp.workdps(dps):
        u, a, eps = mpf(u), mpf(a), mpf(eps)
        gg = eps * eps

        def h(p):
            d2 = (u - a) ** 2 + 4 * u * a * mp.sin(p / 2) ** 2
            root = mp.sqrt(d2 * (d2 + 4 * gg))
            c = mp.cos(p)
            return (u - a * c) * (d2 + 3 * gg) / root - u * (d2 + 2 * gg) / root
        pts = {mpf(0), mp.pi}
        for w in (abs(u - a) / mp.sqrt(u * a), 2 * eps / mp.sqrt(u * a)):
            for k in range(-3, 4):
                t = w * mpf(4) ** k
                if t < mp.pi:
                    pts.add(t)
        return mp.quad(h, sorted(pts), maxdegree=12) / mp.pi


# --------------------------------------------------------------------------
# Radial integrals: delta for x < 3
# --------------------------------------------------------------------------

def radial(u, rho, dps=DPS, deg=DEG, split=False, keys=KEYS):
    """({basis: int 2 pi r b(mu) M dr}, {basis: int 2 pi r b(mu) bracket dr})."""
    with mp.workdps(dps):
        x = mpf(u) / mpf(rho)
        eps = 1 / mpf(rho)
        rb, sb = fl.breakpoints(x, eps)
        if split:
            rb, sb = fr.halve(rb), fr.halve(sb)
        memo = {}

        def ring(r):
            v = memo.get(r)
            if v is None:
                v = memo[r] = (g.ring_mean_fast(x, r, eps), bracket(x, r, eps)[0])
            return v

        def fr_(r, b, j):
            if r == x or r == 0:
                return mpf(0)
            return 2 * mp.pi * r * fl.basis_of_mu(b, fl.mu_of_r(r)) * ring(r)[j]

        def fs_(s, b, j):
            if s == 0:
                return mpf(0)
            r = fl.r_of_s(s)
            if r == x:
                return mpf(0)
            return 4 * mp.pi * s ** 3 * fl.basis_of_s(b, s) * ring(r)[j]
        out = ({}, {})
        for j in (0, 1):
            for b in keys:
                out[j][b] = (mp.quad(lambda r: fr_(r, b, j), rb, maxdegree=deg)
                             + mp.quad(lambda s: fs_(s, b, j), sb, maxdegree=deg))
        return out


def combine(ints, law, params, rho):
    """{delta, A, dlaw, ...} from the basis integrals: delta = rho N_b / N_M
    with N = sum_b c_b N_(b), and for a parameter p with dI/dp = sum_g c_g g,
    d delta/dp = (rho N_b[g] - delta N_M[g]) / N_M."""
    nm, nb = ints

    def sums(terms):
        return mp.fsum(c * nm[b] for b, c in terms), mp.fsum(c * nb[b] for b, c in terms)
    terms = law_terms(law, params)
    rho = mpf(rho)
    den, num = sums(terms)
    delta = rho * num / den
    dlaw = []
    for dterms in law_derivative_terms(law, params):
        gm, gb = sums(dterms)
        dlaw.append((rho * gb - delta * gm) / den)
    res = {"delta": delta, "A": den / mp.fsum(c * fl.flux(b) for b, c in terms), "dlaw": dlaw}
    if law == "Power2" and ("pow", alpha_shifts(params[1])[0]) in nm:  # differences in alpha
        c = mpf(params[0])
        d = [rho * sums([(("pow", 0.0), 1 - c), (("pow", e), c)])[1]
             / sums([(("pow", 0.0), 1 - c), (("pow", e), c)])[0] for e in alpha_shifts(params[1])]
        d1 = (d[0] - d[1]) / (2 * H_ALPHA)
        d4 = (d[2] - d[3]) / (H_ALPHA / 2)
        res["alpha_difference"] = (16 * d4 - d1) / 15
    return res


# --------------------------------------------------------------------------
# Far field: delta for x >= 3
# --------------------------------------------------------------------------

def scaled_coefficients(w, J):
    """(a_j, b_j), j <= J: the scaled coefficients f^(j)(w) w^j / j! of
    A = (w + 2)/sqrt(w (w + 4)) and B = 1/sqrt(w (w + 4)), i.e. the Taylor
    coefficients in t of f(w (1 + t)). With P(t) = w (1 + t)(w + 4 + w t)
    = p0 + p1 t + p2 t^2, B = P^(-1/2) by J. C. P. Miller's power-series rule
    q_n = sum_k ((alpha + 1) k - n) p_k q_(n-k) / (n p0), alpha = -1/2
    (forward-stable: the wanted coefficients grow from the nearer root t = -1),
    and A = ((w + 2) + w t) B, which cancels to O(1/w^2) of its terms for
    j >= 1 (A - 1 ~ 2/w^2): 2 log10(w) guard digits."""
    with mp.workdps(mp.mp.dps + 4 + max(0, int(math.ceil(2 * math.log10(float(w)))))):
        a, b = _scaled_coefficients(+w, J)
    return [+v for v in a], [+v for v in b]


def _scaled_coefficients(w, J):
    p = [w * (w + 4), w * (2 * w + 4), w * w]
    al = -mpf(1) / 2
    b = [1 / mp.sqrt(p[0])]
    for n in range(1, J + 1):
        s = mpf(0)
        for k in (1, 2):
            if k <= n:
                s += ((al + 1) * k - n) * p[k] * b[n - k]
        b.append(s / (n * p[0]))
    a = [(w + 2) * b[0]] + [(w + 2) * b[j] + w * b[j - 1] for j in range(1, J + 1)]
    return a, b


def binom_sum(k, term):
    return mp.fsum(mp.binomial(k, i) * mp.binomial(k + i, i) * term(i) for i in range(k + 1))


def far_integrals(u, rho, dps=DPS, keys=KEYS):
    """The basis integrals of radial() from the far-field series: for a
    profile b with moments m_k, int 2 pi r b M dr = sum_k x^(-2k) m_k P_k and
    int 2 pi r b bracket dr = (u/rho) sum_k x^(-2k) m_k R_k (source units)."""
    with mp.workdps(dps + 10):
        u, rho = mpf(u), mpf(rho)
        q = (rho / u) ** 2
        a, b = scaled_coefficients(u * u, 2 * K_MAX + 2)
        tol = mpf(10) ** (-dps - 2)
        nm = {bb: mpf(0) for bb in keys}
        nb = {bb: mpf(0) for bb in keys}
        qk = mpf(1)
        for k in range(K_MAX):
            pk = binom_sum(k, lambda i: a[k + i])
            rk = binom_sum(k, lambda i: b[k + i] + (mpf(i) / (k + i) * (a[k + i - 1] + b[k + i - 1])
                                                   if i else 0))
            done = k > 2
            for bb in keys:
                mu = qk * moment(bb, k)
                nm[bb] += mu * pk
                nb[bb] += mu * rk
                done = done and abs(mu * pk) < tol * abs(nm[bb]) and abs(mu * rk) < tol * abs(nb[bb])
            qk *= q
            if done:
                break
        else:
            g.check(False, f"far-field series at u={u} rho={rho}")
        f = u / rho
        return {bb: +v for bb, v in nm.items()}, {bb: +v * f for bb, v in nb.items()}


# --------------------------------------------------------------------------
# Brute force: the definition in polar coordinates about the lens
# --------------------------------------------------------------------------

def delta_brute(u, rho, law, params, dps=DPS_BRUTE):
    """delta = C.e - u with C from 2-D quadrature about the lens (Einstein
    units): the area element d dd dpsi cancels A's and F's 1/d; psi from the
    lens -> source direction, the inner integral in d between the circle's
    crossings."""
    with mp.workdps(dps):
        u, rho = mpf(u), mpf(rho)
        terms = law_terms(law, params)

        def intensity(d, cp):
            r2 = (d * d + u * u - 2 * u * d * cp) / (rho * rho)
            mu = mp.sqrt(max(1 - r2, mpf(0)))
            return mp.fsum(c * fl.basis_of_mu(b, mu) for b, c in terms)

        def inner(psi, weight):
            cp, sp = mp.cos(psi), mp.sin(psi)
            disc = rho * rho - (u * sp) ** 2
            if disc <= 0:
                return mpf(0)
            sq = mp.sqrt(disc)
            hi, lo = u * cp + sq, max(mpf(0), u * cp - sq)
            if hi <= lo:
                return mpf(0)
            pts = [lo, hi]
            if lo == 0:  # A's structure at d ~ 2
                t = mpf(2)
                while t < hi / 4:
                    pts.insert(-1, t)
                    t *= 4
            return mp.quad(lambda d: intensity(d, cp) * weight(d) / mp.sqrt(d * d + 4), pts)
        top = mp.pi if u < rho else (mp.asin(rho / u) if u > rho else mp.pi / 2)
        num = mp.quad(lambda p: mp.cos(p) * inner(p, lambda d: d * (d * d + 3)), [0, top / 2, top])
        den = mp.quad(lambda p: inner(p, lambda d: d * d + 2), [0, top / 2, top])
        return num / den - u


# --------------------------------------------------------------------------
# Points
# --------------------------------------------------------------------------

def points():
    """(region, multiple, u, rho, uniform_only)."""
    pts = []
    with mp.workdps(60):
        for rho in RHOS:
            for region, m in MULTIPLES:
                pts.append((region, m, fr.nearest(mpf(rho) * mpf(m)), rho, False))
            pts.append(("limb", "1", rho, rho, True))
            far = [gr.far_point(rho)] + [u for u in FAR_US if u >= 30 * rho]
            for u in sorted(set(far)):
                pts.append(("far", mp.nstr(mpf(u) / mpf(rho), 6), u, rho, False))
    return pts


def x_of(u, rho):
    with mp.workdps(60):
        return mpf(u) / mpf(rho)


def evaluate(u, rho, dps=DPS, deg=DEG, split=False, far=False, keys=KEYS):
    """{(law, params): combine(...)} by the radial quadrature or the far-field series.
    Far out the law derivatives are x^-2 of the terms of their differences:
    2 log10(x) more digits there."""
    if far:
        dps += 2 + int(math.ceil(2 * math.log10(float(x_of(u, rho)))))
    ints = far_integrals(u, rho, dps, keys) if far else radial(u, rho, dps, deg, split, keys)
    with mp.workdps(dps):
        return {(law, tuple(p)): combine(ints, law, p, rho)
                for law, sets in COEFFICIENTS.items() for p in sets}


rel, s25 = gr.rel, gr.s25


# --------------------------------------------------------------------------
# Main
# --------------------------------------------------------------------------

def main():
    t0 = time.time()
    check = g.check
    mp.mp.dps = 60
    pts = points()
    for rho in RHOS:
        us = [p[2] for p in pts if p[3] == rho]
        check(len(set(us)) == len(us), f"separations at rho={rho}")
    print(f"bases {KEYS}; {len(pts)} points", flush=True)

    # ring functions: closed form vs quadrature in phi of the definition
    worst = (mpf(0), None)
    with mp.workdps(DPS):
        for u, a, eps in RING_CASES:
            b, scale = bracket(mpf(u), mpf(a), mpf(eps))
            d = bracket_direct(u, a, eps, DPS + 16)
            e = abs(b - d) / scale
            if e > worst[0]:
                worst = (e, (u, a, eps))
    print(f"ring bracket: closed form vs quadrature in phi ({len(RING_CASES)} cases): "
          f"worst {float(worst[0]):.1e} of |u M_B| + |a (C + C_B)| at {worst[1]}", flush=True)
    check(worst[0] < mpf("1e-30"), "ring bracket")

    # scaled coefficients vs mpmath's Taylor coefficients
    worst = mpf(0)
    with mp.workdps(40):
        for w in (mpf("0.01"), mpf(1), mpf(9), mpf(100), mpf(1e4)):
            a, b = scaled_coefficients(w, 12)
            with mp.workdps(120):  # numerical differentiation: A - 1 ~ 2/w^2
                ta = mp.taylor(lambda v: (v + 2) / mp.sqrt(v * (v + 4)), w, 12)
                tb = mp.taylor(lambda v: 1 / mp.sqrt(v * (v + 4)), w, 12)
            for j in range(13):
                worst = max(worst, rel(a[j], ta[j] * w ** j), rel(b[j], tb[j] * w ** j))
    print(f"scaled coefficients vs mp.taylor (j <= 12): worst {float(worst):.1e}", flush=True)
    check(worst < mpf("1e-25"), "scaled coefficients")

    results = values(pts)
    t_val = time.time() - t0
    cross_checks(pts, results)
    write(pts, results, t0, t_val)


def values(pts):
    """{(u, rho): {(law, params): (delta, A)}}."""
    results = {}
    for k, (region, m, u, rho, _) in enumerate(pts):
        t1 = time.time()
        x = x_of(u, rho)
        if x >= X_FAR:
            results[(u, rho)] = evaluate(u, rho, far=True)
            how = "series"
        else:
            results[(u, rho)] = evaluate(u, rho)
            how = "radial"
        print(f"  {k + 1}/{len(pts)} rho={rho:g} x={m} {how} in {time.time() - t1:.1f} s", flush=True)
    return results


def cross_checks(pts, results):
    check = g.check

    # denominators vs fspl_gradient.json
    with open(GRADIENT_JSON) as fh:
        grad = json.load(fh)["rows"]
    pairs = [(results[(r["u"], r["rho"])][(r["law"], tuple(r["params"]))]["A"], r["A_str"], r)
             for r in grad if (r["u"], r["rho"]) in results]
    worst = max(((rel(a, b), (r["law"], r["u"], r["rho"])) for a, b, r in pairs), key=lambda t: t[0])
    print(f"A (the denominators) vs fspl_gradient.json ({len(pairs)} rows): worst {float(worst[0]):.1e} "
          f"at {worst[1]}", flush=True)
    check(len(pairs) >= 500 and worst[0] < mpf("2e-24"), "A vs fspl_gradient.json")

    # Power2's exponent: the basis mu^alpha ln(mu) vs differences of mu^(alpha +- h)
    t1 = time.time()
    worst = (mpf(0), None)
    for region, m, u, rho, _ in pts:
        if rho not in (1e-4, 1.0, 1e3) or m not in ALPHA_MULTIPLES:
            continue
        res = evaluate(u, rho, far=x_of(u, rho) >= X_FAR, keys=ALPHA_KEYS)
        for key, r in res.items():
            if "alpha_difference" in r:
                e = abs(r["alpha_difference"] - r["dlaw"][1]) / max(abs(r["dlaw"][1]), scale_floor(u, rho))
                d = abs(r["dlaw"][1] - results[(u, rho)][key]["dlaw"][1]) / max(abs(r["dlaw"][1]),
                                                                               scale_floor(u, rho))
                check(d < mpf("1e-30"), "the same basis integrals with more bases")
                if e > worst[0]:
                    worst = (e, (key, u, rho))
    print(f"Power2 alpha: basis mu^alpha ln(mu) vs differences in alpha: worst {float(worst[0]):.1e} "
          f"at {worst[1]} ({time.time() - t1:.0f} s)", flush=True)
    check(worst[0] < mpf("1e-20"), "alpha derivative")

    # brute force
    t1 = time.time()
    worst = (mpf(0), None)
    for rho, m in BRUTE_POINTS:
        u = fr.nearest(mpf(rho) * mpf(m))
        for law, params in BRUTE_LAWS:
            d = results[(u, rho)][(law, params)]["delta"]
            bf = delta_brute(u, rho, law, params)
            e = rel(d, bf)
            print(f"  brute force rho={rho:g} x={m} {law}{params}: delta {mp.nstr(d, 22)} vs "
                  f"{mp.nstr(bf, 22)} ({float(-mp.log10(e)) if e else math.inf:.1f} digits)", flush=True)
            if e > worst[0]:
                worst = (e, (law, params, u, rho))
    print(f"brute-force 2-D definition: worst {float(worst[0]):.1e} at {worst[1]} ({time.time() - t1:.0f} s)",
          flush=True)
    check(worst[0] < mpf("1e-24"), "brute force")

    # sharp values
    for region, m, u, rho, only in pts:
        res = results[(u, rho)]
        ps = mpf(u) / (mpf(u) ** 2 + 2)
        if u == 0:
            check(all(r["delta"] == 0 for r in res.values()), "delta = 0 at u = 0")
        if only:
            d = res[("Uniform", ())]["delta"]
            print(f"uniform, u = rho = {rho:g}: delta = {mp.nstr(d, 5)} "
                  f"({mp.nstr(d / ps, 3)} of the point source's)")
            check(abs(d) < mpf("1e-25") * ps, "uniform limb delta = 0")
    for rho in RHOS:
        far = [(x_of(u, r), results[(u, r)][("Linear", (0.6,))]["delta"] / (mpf(u) / (mpf(u) ** 2 + 2)) - 1)
               for _, _, u, r, _ in pts if r == rho and x_of(u, r) >= 30]
        print(f"point-source limit rho={rho:g}, Linear(0.6): " + ", ".join(
            f"x={mp.nstr(x, 4)}: {mp.nstr(d, 3)}" for x, d in far))
        for (x1, d1), (x2, d2) in zip(far, far[1:]):
            check(abs(d2) < abs(d1) * (x1 / x2) ** 2 * 10, f"point-source limit at rho={rho}")

    # convergence (x < 3) and far series vs radial quadrature (3 <= x <= 100)
    t1 = time.time()
    worst = {"conv": (mpf(0), None), "far": (mpf(0), None), "conv_dlaw": (mpf(0), None)}
    for region, m, u, rho, _ in pts:
        x = x_of(u, rho)
        if x < X_FAR:
            other = evaluate(u, rho, DPS_CHECK, DEG_CHECK, split=True)
            target = "conv"
        elif x <= 100:
            other = evaluate(u, rho)
            target = "far"
        else:
            continue
        print(f"  {target} rho={rho:g} x={m} ({time.time() - t1:.0f} s)", flush=True)
        if u == 0:
            check(all(v["delta"] == 0 and all(d == 0 for d in v["dlaw"]) for v in other.values()),
                  "delta = 0 at u = 0")
            continue
        floor = scale_floor(u, rho)
        for key, r in results[(u, rho)].items():
            o = other[key]
            for name, a, b in [("delta", r["delta"], o["delta"])] + [
                    (f"dlaw[{p}]", v, o["dlaw"][p]) for p, v in enumerate(r["dlaw"])]:
                e = abs(a - b) / max(abs(b), floor)
                t = target + ("_dlaw" if target == "conv" and name != "delta" else "")
                if e > worst[t][0]:
                    worst[t] = (e, (key, name, u, rho))
    print(f"convergence (x < 3, {DPS_CHECK} digits, degree {DEG_CHECK}, pieces halved): delta worst "
          f"{float(worst['conv'][0]):.1e} at {worst['conv'][1]}; law derivatives worst "
          f"{float(worst['conv_dlaw'][0]):.1e} at {worst['conv_dlaw'][1]}", flush=True)
    print(f"far-field series vs radial quadrature (3 <= x <= 100): worst {float(worst['far'][0]):.1e} "
          f"at {worst['far'][1]} ({time.time() - t1:.0f} s)", flush=True)
    check(worst["conv"][0] < mpf("1e-22"), "convergence")
    check(worst["conv_dlaw"][0] < mpf("1e-20"), "convergence of the law derivatives")
    check(worst["far"][0] < mpf("1e-24"), "far series vs radial")


def scale_floor(u, rho):
    """1e-3 of the point-source shift, times x^-2 beyond x = 1 (the scale of the
    finite-source part of delta and of its law derivatives far out)."""
    with mp.workdps(60):
        u, x = mpf(u), x_of(u, rho)
        return mpf("1e-3") * u / (u * u + 2) / max(1, x) ** 2


def write(pts, results, t0, t_val):
    rows = []
    counts = {}
    with mp.workdps(60):
        for law, sets in COEFFICIENTS.items():
            for params in sets:
                for region, m, u, rho, only in pts:
                    if only and law != "Uniform":
                        continue
                    r = results[(u, rho)][(law, tuple(params))]
                    rows.append({"law": law, "params": list(params), "rho": rho, "u": u,
                                 "x": float(x_of(u, rho)), "region": region,
                                 "delta": float(r["delta"]), "delta_str": s25(r["delta"]),
                                 "delta_dlaw": [float(v) for v in r["dlaw"]],
                                 "delta_dlaw_str": [s25(v) for v in r["dlaw"]]})
                    counts[(law, region)] = counts.get((law, region), 0) + 1
    with open(OUT, "w") as fh:
        json.dump({
            "generator": "tests/reference/gen_centroid_reference.py",
            "quantity": "finite-source point-lens centroid shift delta(u, rho) along the lens -> source "
                        "direction and d delta/d(law parameters); u, rho, delta in Einstein radii; "
                        "I relative to the centre, mu = sqrt(1 - r^2)",
            "laws": LAWS,
            "rows": rows,
        }, fh, indent=1)
        fh.write("\n")
    for law in COEFFICIENTS:
        print(f"  {law}: " + ", ".join(f"{reg} {n}" for (l, reg), n in counts.items() if l == law))
    print(f"values {t_val:.0f} s; wrote {len(rows)} rows to {os.path.relpath(OUT)} "
          f"in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
