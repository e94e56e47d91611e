"""High-precision reference magnifications for the benchmark workloads.

Quantities, all from the physics of a point lens (never from kalvorin):

* ``uniform(l, rho)``  uniformly bright disk of radius rho (Einstein radii), lens
  at l source radii: Witt & Mao (1994) closed form in E, K, Pi; the limb l = 1
  has its own closed form.
* ``ring(l, r, rho)``  mean point-lens magnification of the ring of radius r
  (source radii), closed form (Heyrovsky 2003):
  f = l - r, S = l + r, g = eps^2, D = f^2 + 4g, n = 4lr/S^2, m = 16glr/(S^2 D),
  M = 4/(S sqrt D) (f^2 Pi(n|m) + 2g K(m)) / (2 pi),  eps = 1/rho.
* ``limb_darkened(l, rho)``  linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)):
  A = int_0^1 2 pi r I M dr / int_0^1 2 pi r I dr, tanh-sinh quadrature split
  at r = l (logarithmic singularity of M) and cut geometrically towards l when
  the lens lies just outside the disk.
* ``tabulated(l, rho)``  the same integral for the law tabulated at 21 radii and
  interpolated linearly (what the integrated flux-map functions are given),
  split at every abscissa as well.
* ``discrete_rings(l, rho)``  sum_j w_j M(l, r_j) for the 100-ring table given
  to the discrete flux-map function.

When the project's reference generator (tests/reference/gen_model_reference.py)
is importable its functions are used, since they are cross-checked there
(Legendre vs Carlson forms, closed forms vs angular quadrature); otherwise the
compact formulas below, which follow the same physics independently.
Inputs are doubles taken exactly.
"""

import math
import os
import sys

import mpmath as mp
from mpmath import mpf

DPS_CLOSED = 40  # closed forms (m close to 1 near the ring / limb)
DPS_INT = 20  # radial integrals: double results need ~17 digits
LD_U = 0.6  # linear coefficient, I = 1 - u (1 - mu), mu = sqrt(1 - r^2)


def ld_law(r):
    """The limb-darkening law in double precision (as a user would tabulate it)."""
    return 1.0 + (1.0 - math.sqrt(1.0 - r * r)) * (-LD_U)


def law_table(n):
    """The built-in law tabulated at n radii evenly spaced in r."""
    bl = [j / (n - 1) for j in range(n)]
    return bl, [ld_law(r) for r in bl]


def law_rings(n):
    """n rings at the midpoints of equal-width annuli, weights proportional to
    r I(r) (midpoint rule of the flux integral), summing to 1."""
    bl = [(j + 0.5) / n for j in range(n)]
    w = [r * ld_law(r) for r in bl]
    total = math.fsum(w)
    return bl, [x / total for x in w]


# Tabulated law for the integrated flux-map functions (21 radii) and the
# discrete flux map (100 rings).
TAB_BL, TAB_BF = law_table(21)
RINGS_BL, RINGS_BF = law_rings(100)

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_ROOT, "tests", "reference"))
try:
    import gen_model_reference as _gen

    _gen.witt_mao_legendre, _gen.ring_mean_legendre, _gen.integrated  # noqa: B018
    _gen.tabulated_pieces  # noqa: B018
    SOURCE = "tests/reference/gen_model_reference.py"
except (ImportError, AttributeError):
    _gen = None
    SOURCE = "benchmarks/reference.py (own formulas)"
finally:
    sys.path.pop(0)


# ---------------------------------------------------------------- own formulas

def _uniform_own(x, rho):
    if x == 1:
        r2 = rho * rho
        return (2 / rho + (1 + r2) / r2 * (mp.pi / 2 + mp.asin((r2 - 1) / (r2 + 1)))) / mp.pi
    u = rho * x
    d, s, r2 = u - rho, u + rho, rho * rho
    n = 4 * u * rho / (s * s)
    m = 4 * n / (4 + d * d)
    q = mp.sqrt(4 + d * d)
    return (s * q / (2 * r2) * mp.ellipe(m)
            - d * (8 + u * u - r2) / (2 * r2 * q) * mp.ellipk(m)
            + 2 * d * d * (1 + r2) / (r2 * s * q) * mp.ellippi(n, m)) / mp.pi


def _ring_own(l, r, eps):
    # Pi(n|m) = K(m) + n/3 R_J(0, 1-m, 1, 1-n), K(m) = R_F(0, 1-m, 1), with the
    # complements 1-n = f^2/S^2 and 1-m = f^2 (S^2+4g)/(S^2 D) formed without
    # cancellation: quadrature nodes come arbitrarily close to the ring r = l.
    f, S, g = l - r, l + r, eps * eps
    S2, D = S * S, f * f + 4 * g
    n = 4 * l * r / S2
    one_n, one_m = f * f / S2, f * f * (S2 + 4 * g) / (S2 * D)
    K = mp.elliprf(0, one_m, 1)
    P = K if n == 0 else K + n / 3 * mp.elliprj(0, one_m, 1, one_n)
    return 4 / (S * mp.sqrt(D)) * (f * f * P + 2 * g * K) / (2 * mp.pi)


def _cuts(a, b, l):
    """Break points of [a, b]: r = l inside, geometric cuts towards l just outside."""
    if a < l < b:
        return [a, l, b]
    pts = [a, b]
    for end, sign in ((a, 1), (b, -1)):
        t = abs(l - end)
        if 0 < t < (b - a) / 4:
            while t < (b - a) / 2:
                pts.append(end + sign * t)
                t *= 4
    return sorted(set(pts))


def _pieces_own(bl, bf):
    """Linear pieces (a, b, alpha, beta), I = alpha + beta r, of the interpolated table."""
    bl, bf = [mpf(v) for v in bl], [mpf(v) for v in bf]
    out = []
    for j in range(len(bl) - 1):
        beta = (bf[j + 1] - bf[j]) / (bl[j + 1] - bl[j])
        out.append((bl[j], bl[j + 1], bf[j] - beta * bl[j], beta))
    return out


def _profile_own(l, rho, pieces):
    """pieces: (a, b, I(r)) on [0, 1]; returns int 2 pi r I M dr / int 2 pi r I dr."""
    eps = 1 / rho
    num = den = mpf(0)
    for a, b, prof in pieces:
        def f(r, prof=prof):
            if r == 0 or r == l:
                return mpf(0)
            return 2 * mp.pi * r * prof(r) * _ring_own(l, r, eps)
        num += mp.quad(f, _cuts(a, b, l))
        den += mp.quad(lambda r, prof=prof: 2 * mp.pi * r * prof(r), [a, b])
    return num / den


def _limb_darkened_own(l, rho):
    u = mpf(LD_U)
    return _profile_own(l, rho, [(mpf(0), mpf(1), lambda r: 1 - u * (1 - mp.sqrt(1 - r * r)))])


def _tabulated_own(l, rho, bl, bf):
    pieces = [(a, b, (lambda al, be: lambda r: al + be * r)(al, be))
              for a, b, al, be in _pieces_own(bl, bf)]
    return _profile_own(l, rho, pieces)


# ---------------------------------------------------------------- public

def uniform(l, rho):
    with mp.workdps(DPS_CLOSED):
        fn = _gen.witt_mao_legendre if _gen else _uniform_own
        return fn(mpf(l), mpf(rho))


def ring(l, r, rho):
    with mp.workdps(DPS_CLOSED):
        if l == 0 and r == 0:
            return mp.inf
        fn = _gen.ring_mean_legendre if _gen else _ring_own
        return fn(mpf(l), mpf(r), 1 / mpf(rho))


def limb_darkened(l, rho):
    if _gen:
        return _gen.integrated("limb_darkening", l, 1.0, rho, dps=DPS_INT)
    with mp.workdps(DPS_INT):
        return _limb_darkened_own(mpf(l), mpf(rho))


def tabulated(l, rho, bl=TAB_BL, bf=TAB_BF):
    """Disk whose brightness is the linear interpolation of (bl, bf) on [bl[0], bl[-1]] = [0, 1]."""
    assert bl[0] == 0 and bl[-1] == 1
    if _gen:
        return _gen.integrated((bl, bf), l, 1.0, rho, dps=DPS_INT)
    with mp.workdps(DPS_INT):
        return _tabulated_own(mpf(l), mpf(rho), bl, bf)


def discrete_rings(l, rho, bl=RINGS_BL, bf=RINGS_BF):
    """Weighted sum of ring means, sum_j bf[j] M(l, bl[j]) (weights taken as given)."""
    with mp.workdps(DPS_CLOSED):
        return mp.fsum(mpf(w) * ring(l, r, rho) for r, w in zip(bl, bf))


KINDS = {
    "uniform": lambda rho, l: uniform(l, rho),
    "ld": lambda rho, l: limb_darkened(l, rho),
    "tab21": lambda rho, l: tabulated(l, rho),
    "rings100": lambda rho, l: discrete_rings(l, rho),
    "ring": lambda rho, r, l: ring(l, r, rho),
}


def key(kind, rho, *args):
    """Cache key: the kind and the exact doubles, e.g. 'ring|0.1|0.7|0.5001'."""
    return "|".join([kind] + [repr(float(v)) for v in (rho,) + args])


def evaluate(k):
    """(key, value as a 20-digit string) for a cache key."""
    kind, *args = k.split("|")
    return k, mp.nstr(KINDS[kind](*[float(v) for v in args]), 20)
