"""The bounds the far-field series' stopping rules rely on (src/lib/far_field.cpp).

With b_j = A^(j)(w) w^j / j! the scaled Taylor coefficients of the point-lens
magnification A(w) = (w + 2)/sqrt(w(w + 4)), w = u^2, and
P_k = sum_i C(k,i) C(k+i,i) b_{k+i}, R_k = w P_k'(w) - k P_k:
P_k > 0 with P_{k+1}/P_k <= 2.25 (the value's early stop), and R_k < 0 for
k >= 1 with R_{k+1}/R_k <= 3 (the derivatives' early stop), for
1e-15 <= w <= 1e15 and k < 24. Computed at 80 digits from the recurrence
y (y^2 - 4) dA/dy = -4A, y = w + 2, written in b_j; R_k from
w db_j/dw = (j + 1) b_{j+1} + j b_j.
"""

from math import comb

import mpmath as mp
import pytest

K = 24


def scaled_coefficients(w, count):
    # (w^2 + 6w + 8) ... in b_j: p0 (j + 1) b_{j+1} = -[(p1 j + q) b_j + p2 (j - 1) b_{j-1} + (j - 2) b_{j-2}]
    t2, t4 = 2 / w, 4 / w
    p0 = (1 + t2) * (1 + t4)
    p1 = p0 + (1 + t4) + (1 + t2)
    p2 = 3 + t2 + t4
    q = 4 / (w * w)
    b = [(w + 2) / mp.sqrt(w * (w + 4))]
    for j in range(count):
        s = (p1 * j + q) * b[j]
        if j >= 1:
            s += p2 * (j - 1) * b[j - 1]
        if j >= 2:
            s += (j - 2) * b[j - 2]
        b.append(-s / (p0 * (j + 1)))
    return b


@pytest.mark.parametrize("e", range(-15, 16, 2))
def test_far_field_term_ratios(e):
    with mp.workdps(80):
        w = mp.mpf(10) ** e
        b = scaled_coefficients(w, 2 * K + 2)
        # the recurrence against A's Taylor coefficients where they are cheap to get
        if -2 <= e <= 2:
            taylor = mp.taylor(lambda v: (v + 2) / mp.sqrt(v * (v + 4)), w, 4)
            for j in range(5):
                assert abs(b[j] - taylor[j] * w**j) <= mp.mpf(10) ** -40 * abs(b[0])
        d = [(j + 1) * b[j + 1] + j * b[j] for j in range(2 * K + 1)]
        P = [mp.fsum(comb(k, i) * comb(k + i, i) * b[k + i] for i in range(k + 1)) for k in range(K)]
        R = [mp.fsum(comb(k, i) * comb(k + i, i) * d[k + i] for i in range(k + 1)) - k * P[k] for k in range(K)]
        assert all(p > 0 for p in P)
        assert all(P[k + 1] / P[k] <= 2.25 for k in range(K - 1))
        assert all(r < 0 for r in R[1:])
        assert all(R[k + 1] / R[k] <= 3 for k in range(1, K - 1))
