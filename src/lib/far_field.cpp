// Far-field expansion of the mean point-lens magnification over a source.
//
// The mean of a plane function f over a ring of radius s about a point is
// Σ_k (s/2)^{2k} Δ^k f / (k!)², Δ the Laplacian. The point-lens
// magnification A depends on w = u² only (u the lens distance in Einstein
// radii), where Δ = 4 d/dw (w d/dw) and (d/dw w d/dw)^k = d^k/dw^k w^k d^k/dw^k.
// With the scaled Taylor coefficients b_j = A^{(j)}(w) w^j / j! this gives
//
//   ring of radius s:  M = Σ_k (s²/w)^k P_k,   P_k = Σ_{i≤k} C(k,i) C(k+i,i) b_{k+i},
//
// and for a source of radius ρ whose brightness profile I(r) has the moments
// μ_k = ∫_0^1 r^{2k} I(r) 2πr dr / ∫_0^1 I(r) 2πr dr, with x = u/ρ,
//
//   A_source = Σ_k x^{-2k} μ_k P_k       (uniform disk: μ_k = 1/(k+1)).
//
// The coefficients follow from y(y² − 4) dA/dy = −4A, y = w + 2, a
// three-term recurrence that is stable forwards (the wanted solution is the
// dominant one: the nearest singularity of A is w = 0). Every P_k is positive
// and P_k/P_{k−1} ≤ 2.25 (checked for 1e-15 ≤ w ≤ 1e15, k < 24), so the
// terms fall at least as fast as (2.25/x²)^k; individual products in P_k
// cancel, but only in terms already ≥ x² times smaller than the sum.
//
// Domain: x ≥ 3 (at most 16 terms there, 2 terms at x = 1e4).
// Accuracy: ≤ 4e-16 relative against mpmath for ρ from 1e-6 to 1e3 and x from
// 3 to 1e6 (tests/reference/gen_model_reference.py, test_accuracy.py).
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "lib/model_parts.hpp"

namespace kalvorin::detail {

namespace {

constexpr int K = FAR_FIELD_MAX_TERMS;

// C(k, i)·C(k + i, i) for 0 ≤ i ≤ k < K, as doubles (exact up to 2^53; the
// few larger ones are rounded once).
struct Coefficients {
    double c[K][K] = {};

    constexpr Coefficients() {
        double binom[2 * K][2 * K] = {};
        for (int n = 0; n < 2 * K; ++n) {
            binom[n][0] = 1.0;
            for (int i = 1; i <= n; ++i) binom[n][i] = binom[n - 1][i - 1] + (i < n ? binom[n - 1][i] : 0.0);
        }
        for (int k = 0; k < K; ++k)
            for (int i = 0; i <= k; ++i) c[k][i] = binom[k][i] * binom[k + i][i];
    }
};

constexpr Coefficients COEFFICIENTS{};

// 1/j for the recurrence.
struct Inverses {
    double v[2 * K] = {};
    constexpr Inverses() {
        for (int j = 1; j < 2 * K; ++j) v[j] = 1.0 / j;
    }
};
constexpr Inverses INVERSES{};
constexpr const double* INVERSE = INVERSES.v;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Relative size of a term below which the series stops; the terms are
// positive and the remaining ones sum to less than a third of the last.
constexpr double STOP = 0x1p-56;

// The series' stopping rule: a negligible term, or the next one bounded
// negligible: it is at most 2.5·q·term·μ_{k+1}/μ_k (|P_{k+1}| ≤ 2.25 |P_k|, and
// |R_{k+1}| ≤ 2.25 |R_k| for the centroid's numerator), and with non-increasing
// moments the tail after it is smaller still.
inline bool converged(double term, double sum, double q, const ProfileMoments& moments, int k) noexcept {
    return std::fabs(term) <= STOP * std::fabs(sum) ||
           (moments.decreasing && k + 1 < K &&
            ((2.5 * q) * std::fabs(term)) * (moments.mu[k + 1] / moments.mu[k]) <= STOP * std::fabs(sum));
}

}  // namespace

void ProfileMoments::classify() noexcept {
    decreasing = mu[0] > 0.0;
    for (int k = 1; k < K && decreasing; ++k) decreasing = mu[k] > 0.0 && mu[k] <= mu[k - 1];
}

const ProfileMoments& uniform_disk_moments() noexcept {
    static constexpr ProfileMoments moments = [] {
        ProfileMoments m{};
        for (int k = 0; k < K; ++k) m.mu[k] = 1.0 / (k + 1);
        m.decreasing = true;
        return m;
    }();
    return moments;
}

namespace {

// The recurrence's coefficients at w = u², normalised by t² so that nothing
// overflows for large w, and b_0 = A(w).
struct Recurrence {
    double c1, c4, gamma, delta, b0;
    Recurrence() noexcept = default;
    explicit Recurrence(double u) noexcept {
        const double w = u * u;
        const double inv_t = w > 1.0 ? 1 / w : 1.0;
        const double ww = w > 1.0 ? 1.0 : w;
        const double p2 = (w + 2) * inv_t;
        const double p4 = (w + 4) * inv_t;
        const double inv_t2 = inv_t * inv_t;
        const double inv_alpha = 1 / (p2 * p4);
        c1 = (3 * (ww * p4) + 8 * inv_t2) * inv_alpha;
        c4 = (4 * inv_t2) * inv_alpha;
        gamma = (3 * (p2 * ww)) * inv_alpha;
        delta = (ww * ww) * inv_alpha;
        b0 = w < 1e150 ? (w + 2) / std::sqrt(w * (w + 4)) : (w + 2) / (std::sqrt(w) * std::sqrt(w + 4));
    }
    // b_{j+1} from b_j, b_{j−1}, b_{j−2} (j ≥ 1).
    double next(const double* b, int j) const noexcept {
        const double s = (c1 * j + c4) * b[j] + (gamma * (j - 1)) * b[j - 1] + (j >= 2 ? (delta * (j - 2)) * b[j - 2] : 0.0);
        return -s * INVERSE[j + 1];
    }
};

// The series for L points at once: the same arithmetic, lane by lane, so
// that every lane gets the bits of the single-point call; the lanes'
// recurrences are independent chains, which the processor overlaps.
template <int L>
void far_field_lanes(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* out) noexcept {
    double c1[L], c4[L], gamma[L], delta[L], q[L], qk[L], sum[L];
    double b[L][2 * K - 1];
    bool active[L];
    for (int n = 0; n < L; ++n) {
        const Recurrence r(u[n]);
        c1[n] = r.c1;
        c4[n] = r.c4;
        gamma[n] = r.gamma;
        delta[n] = r.delta;
        b[n][0] = r.b0;
        b[n][1] = -c4[n] * b[n][0];
        q[n] = 1 / (x[n] * x[n]);
        qk[n] = 1.0;
        sum[n] = moments.mu[0] * b[n][0];
        active[n] = true;
        out[n] = {sum[n], 0};
    }
    // b_{j+1} from b_j, b_{j-1}, b_{j-2} (j ≥ 1).
    const auto next = [&](int n, int j) {
        const double s = (c1[n] * j + c4[n]) * b[n][j] + (gamma[n] * (j - 1)) * b[n][j - 1] +
                         (j >= 2 ? (delta[n] * (j - 2)) * b[n][j - 2] : 0.0);
        b[n][j + 1] = -s * INVERSE[j + 1];
    };
    int remaining = L;
    for (int k = 1; k < K && remaining > 0; ++k) {
        for (int n = 0; n < L; ++n) {
            if (!active[n]) continue;
            if (k > 1) next(n, 2 * k - 2);
            next(n, 2 * k - 1);
        }
        for (int n = 0; n < L; ++n) {
            if (!active[n]) continue;
            double p = 0.0;
            for (int i = k; i >= 0; --i) p = p + COEFFICIENTS.c[k][i] * b[n][k + i];
            qk[n] = qk[n] * q[n];
            const double term = (qk[n] * moments.mu[k]) * p;
            sum[n] = sum[n] + term;
            const bool done = converged(term, sum[n], q[n], moments, k);
            if (done) {
                out[n] = {sum[n], k + 1};
                active[n] = false;
                --remaining;
            } else {
                out[n] = {sum[n], 0};
            }
        }
    }
}

}  // namespace

FarFieldValue far_field_mean(double u, double x, const ProfileMoments& moments) noexcept {
    FarFieldValue out;
    far_field_lanes<1>(&u, &x, moments, &out);
    return out;
}

void far_field_mean4(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* out) noexcept {
    far_field_lanes<4>(u, x, moments, out);
}

// Derivatives of the series term by term. With T_k = x^{-2k} P_k and
// w P_k′(w) = Σ_i C(k,i) C(k+i,i) [(k+i+1) b_{k+i+1} + (k+i) b_{k+i}]
// (from w db_j/dw = (j + 1) b_{j+1} + j b_j), at fixed ρ and u = ρx:
//   ρ ∂A/∂ρ = Σ_k 2k μ_k T_k,   u ∂A/∂u = Σ_k μ_k (2 x^{-2k} w P_k′ − 2k T_k),
// and a coefficient β of the profile I = Σ β_b B_b enters the normalised
// moments, ∂A/∂β_b = Σ_{k≥1} ν_{b,k} T_k with ν_{b,k} = (s_{b,k} − μ_k s_{b,0})/S_0
// (s_{b,k}, S_k the moments of B_b and of I; the k = 0 terms cancel exactly).
// The sums stop when a bound of each next term is below 2^-44 of its sum
// (the tail is at most half as much again: 8.5e-14 for targets of 1e-12);
// terms = 0 when they have not in FAR_FIELD_MAX_TERMS terms (near x = 3
// the factors 2k slow them down), and the caller integrates instead.
namespace {

template <int L>
void far_field_gradient_lanes(const double* u, const double* x, const ProfileMoments& moments, const double* nu,
                              std::size_t nb, double* const* basis, FarFieldValue* value,
                              FarFieldGradient* out) noexcept {
    constexpr double TOL = 0x1p-44;
    Recurrence r[L];
    // d_j = (j + 1) b_{j+1} + j b_j: w P_k′ = Σ_i C(k,i) C(k+i,i) d_{k+i}.
    double b[L][2 * K + 1], d[L][2 * K], q[L], qk[L], sum[L];
    bool value_done[L], gradient_done[L];
    for (int n = 0; n < L; ++n) {
        r[n] = Recurrence(u[n]);
        b[n][0] = r[n].b0;
        b[n][1] = -r[n].c4 * b[n][0];
        b[n][2] = r[n].next(b[n], 1);
        d[n][0] = b[n][1];
        d[n][1] = 2 * b[n][2] + b[n][1];
        out[n] = FarFieldGradient{moments.mu[0] * (2 * b[n][1]), 0.0, 0};
        for (std::size_t j = 0; j < nb; ++j) basis[n][j] = 0.0;
        q[n] = 1 / (x[n] * x[n]);
        qk[n] = 1.0;
        // The value with far_field_mean's arithmetic and stopping rule.
        sum[n] = moments.mu[0] * b[n][0];
        value_done[n] = value == nullptr;
        gradient_done[n] = false;
        if (value) value[n] = {sum[n], 0};
    }
    int remaining = L;
    for (int k = 1; k < K && remaining > 0; ++k) {
        for (int n = 0; n < L; ++n) {
            if (value_done[n] && gradient_done[n]) continue;
            b[n][2 * k + 1] = r[n].next(b[n], 2 * k);
            b[n][2 * k + 2] = r[n].next(b[n], 2 * k + 1);
            d[n][2 * k] = (2.0 * k + 1) * b[n][2 * k + 1] + (2.0 * k) * b[n][2 * k];
            d[n][2 * k + 1] = (2.0 * k + 2) * b[n][2 * k + 2] + (2.0 * k + 1) * b[n][2 * k + 1];
        }
        for (int n = 0; n < L; ++n) {
            if (value_done[n] && gradient_done[n]) continue;
            const double* bn = b[n];
            const double* dn = d[n];
            double p = 0.0, pd = 0.0;
            for (int i = k; i >= 0; --i) {
                const double c = COEFFICIENTS.c[k][i];
                p = p + c * bn[k + i];
                pd = pd + c * dn[k + i];
            }
            qk[n] = qk[n] * q[n];
            if (!value_done[n]) {
                const double term = (qk[n] * moments.mu[k]) * p;
                sum[n] = sum[n] + term;
                value_done[n] = converged(term, sum[n], q[n], moments, k);
                value[n] = {sum[n], value_done[n] ? k + 1 : 0};
            }
            if (!gradient_done[n]) {
                const double t = qk[n] * p, td = qk[n] * pd;
                const double rho_term = (2.0 * k) * (moments.mu[k] * t);
                const double u_term = moments.mu[k] * (2 * td - (2.0 * k) * t);
                FarFieldGradient& o = out[n];
                o.rho_d = o.rho_d + rho_term;
                o.u_d = o.u_d + u_term;
                // Stop when the next terms are bounded negligible: with
                // |T_{k+1}| ≤ 2.25 q |T_k| and |R_{k+1}| ≤ 3 q |R_k| (R_k = w P_k′ − k P_k,
                // of one sign for k ≥ 1; both checked for 1e-15 ≤ w ≤ 1e15, k < 24),
                // and every later term smaller still (q ≤ 1/9).
                bool done = k + 1 < K;
                if (done) {
                    const double qt = q[n] * std::fabs(t), mu1 = moments.mu[k + 1];
                    done = (2.0 * (k + 1)) * mu1 * (2.25 * qt) <= TOL * std::fabs(o.rho_d) &&
                           2 * mu1 * (3.0 * q[n]) * std::fabs(td - k * t) <= TOL * std::fabs(o.u_d);
                    for (std::size_t j = 0; j < nb; ++j) {
                        basis[n][j] = basis[n][j] + nu[j * K + k] * t;
                        done = done && std::fabs(nu[j * K + k + 1]) * (2.25 * qt) <= TOL * std::fabs(basis[n][j]);
                    }
                } else {
                    for (std::size_t j = 0; j < nb; ++j) basis[n][j] = basis[n][j] + nu[j * K + k] * t;
                }
                if (done) o.terms = k + 1, gradient_done[n] = true;
            }
            if (value_done[n] && gradient_done[n]) --remaining;
        }
    }
}

}  // namespace

FarFieldGradient far_field_gradient(double u, double x, const ProfileMoments& moments, const double* nu,
                                    std::size_t nb, double* basis, FarFieldValue* value) noexcept {
    FarFieldGradient out;
    far_field_gradient_lanes<1>(&u, &x, moments, nu, nb, &basis, value, &out);
    return out;
}

void far_field_gradient4(const double* u, const double* x, const ProfileMoments& moments, const double* nu,
                         std::size_t nb, double* const* basis, FarFieldValue* value, FarFieldGradient* out) noexcept {
    far_field_gradient_lanes<4>(u, x, moments, nu, nb, basis, value, out);
}

// The centroid shift of the source (centroid.cpp for its definition). With
// G(d) = (d/2)√(d² + 4) + asinh(d/2), F = ∇G and dG/dw = (A + B)/2, B = 1/√(w(w + 4)),
// the profile mean of G has the series of the magnification's, and ∂/∂u of
// it less u·Ā, on the scaled coefficients a_j of A and β_j of B, is
//
//   δ = u Σ_k x^{-2k} μ_k R_k / Σ_k x^{-2k} μ_k P_k,
//   R_k = Σ_{i≤k} C(k,i) C(k+i,i) [β_{k+i} + (i/(k+i))(a_{k+i−1} + β_{k+i−1})],  R_0 = B,
//
// (the "1" of A drops out exactly). β_j by w(w + 4)B′ + (w + 2)B = 0,
//   (1 + τ)(j + 1) β_{j+1} = −[((2 + τ) j + 1 + 2/w) β_j + j β_{j−1}],  τ = 4/w,
// multiplied through by w/4 for w ≤ 4 (no overflow as w → 0); stable
// forwards as A's. R_0 > 0, R_k < 0 for k ≥ 1 and |R_{k+1}/R_k| ≤ 2.25 for
// k ≥ 1 (checked for 1e-15 ≤ w ≤ 1e15, k < 24), so the numerator stops on the
// value's rule. At large w, R_k (k ≥ 1) cancels to ~8/w of its terms, in
// terms already x²w below R_0. Measured ≤ 4.8e-16 relative in 53-bit
// arithmetic against mpmath (x = 3, 10, 100; ρ = 1e-3, 1, 100).
namespace {

struct CentroidCoefficients {
    double c[K][K] = {};  // C(k,i) C(k+i,i) i/(k+i)
    constexpr CentroidCoefficients() {
        for (int k = 1; k < K; ++k)
            for (int i = 1; i <= k; ++i) c[k][i] = COEFFICIENTS.c[k][i] * i / (k + i);
    }
};
constexpr CentroidCoefficients CENTROID_COEFFICIENTS{};

// β_{j+1} = −[(e1 j + e0) β_j + e2 j β_{j−1}]·ip/(j + 1).
struct BRecurrence {
    double e0, e1, e2, ip, beta0, beta1;
    BRecurrence() noexcept = default;
    // b0 = A(w) = (w + 2)·B(w): β_0 from it (one division, no second root).
    BRecurrence(double u, double b0) noexcept {
        const double w = u * u;
        double p;
        if (w > 4.0) {
            const double tau = 4 / w;
            p = 1 + tau;
            e1 = 2 + tau;
            e0 = 1 + 2 / w;
            e2 = 1.0;
        } else {
            const double q = w * 0.25;
            p = q + 1;
            e1 = w * 0.5 + 1;
            e0 = q + 0.5;
            e2 = q;
        }
        ip = 1 / p;
        beta0 = b0 / (w + 2);
        beta1 = -(e0 * beta0) * ip;
    }
    double next(const double* beta, int j) const noexcept {
        return -(((e1 * j + e0) * beta[j] + (e2 * j) * beta[j - 1]) * ip) * INVERSE[j + 1];
    }
};

template <int L>
void far_field_centroid_lanes(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* value,
                              FarFieldCentroid* out) noexcept {
    Recurrence r[L];
    BRecurrence br[L];
    // sab_j = a_j + β_j
    double a[L][2 * K], beta[L][2 * K], sab[L][2 * K], q[L], qk[L], sum[L], num[L];
    bool value_done[L], done[L];
    for (int n = 0; n < L; ++n) {
        r[n] = Recurrence(u[n]);
        br[n] = BRecurrence(u[n], r[n].b0);
        a[n][0] = r[n].b0;
        a[n][1] = -r[n].c4 * a[n][0];
        beta[n][0] = br[n].beta0;
        beta[n][1] = br[n].beta1;
        sab[n][0] = a[n][0] + beta[n][0];
        sab[n][1] = a[n][1] + beta[n][1];
        q[n] = 1 / (x[n] * x[n]);
        qk[n] = 1.0;
        sum[n] = moments.mu[0] * a[n][0];
        num[n] = moments.mu[0] * beta[n][0];
        value_done[n] = false;
        done[n] = false;
        if (value) value[n] = {sum[n], 0};
        out[n] = {0.0, 0};
    }
    int remaining = L;
    for (int k = 1; k < K && remaining > 0; ++k) {
        for (int n = 0; n < L; ++n) {
            if (value_done[n] && done[n]) continue;
            if (k > 1) {
                a[n][2 * k - 1] = r[n].next(a[n], 2 * k - 2);
                beta[n][2 * k - 1] = br[n].next(beta[n], 2 * k - 2);
                sab[n][2 * k - 2] = a[n][2 * k - 2] + beta[n][2 * k - 2];
            }
            a[n][2 * k] = r[n].next(a[n], 2 * k - 1);
            beta[n][2 * k] = br[n].next(beta[n], 2 * k - 1);
            sab[n][2 * k - 1] = a[n][2 * k - 1] + beta[n][2 * k - 1];
        }
        for (int n = 0; n < L; ++n) {
            if (value_done[n] && done[n]) continue;
            const double* an = a[n];
            const double* bn = beta[n];
            const double* sn = sab[n];
            double p = 0.0, rk = 0.0;
            for (int i = k; i >= 0; --i) {
                p = p + COEFFICIENTS.c[k][i] * an[k + i];
                rk = rk + (COEFFICIENTS.c[k][i] * bn[k + i] + CENTROID_COEFFICIENTS.c[k][i] * sn[k + i - 1]);
            }
            qk[n] = qk[n] * q[n];
            if (!value_done[n]) {
                // far_field_mean's arithmetic and stopping rule
                const double term = (qk[n] * moments.mu[k]) * p;
                sum[n] = sum[n] + term;
                value_done[n] = converged(term, sum[n], q[n], moments, k);
                if (value) value[n] = {sum[n], value_done[n] ? k + 1 : 0};
            }
            if (!done[n]) {
                const double term = (qk[n] * moments.mu[k]) * rk;
                num[n] = num[n] + term;
                done[n] = converged(term, num[n], q[n], moments, k);
                if (done[n]) out[n].terms = k + 1;
            }
            if (value_done[n] && done[n]) --remaining;
        }
    }
    // δ = u·num/den, den the mean (the value's series); not converged unless both are.
    for (int n = 0; n < L; ++n) {
        out[n].delta = u[n] * (num[n] / sum[n]);
        if (!value_done[n]) out[n].terms = 0;
    }
}

}  // namespace

// Derivatives of the centroid's series at fixed (u, ρ): ρ enters through
// x^{-2k} alone and a coefficient β_b of the profile through the normalised
// moments (∂μ_k/∂β_b = ν_{b,k}, ν_{b,0} = 0), so with c = δ/u = num/den and
// T_k = x^{-2k}(R_k − c P_k),
//   ρ ∂δ/∂ρ = (u/den) Σ_{k≥1} 2k μ_k T_k,   ∂δ/∂β_b = (u/den) Σ_{k≥1} ν_{b,k} T_k.
// The sums stop when a bound of their next term (|P_{k+1}| ≤ 2.25|P_k|,
// |R_{k+1}| ≤ 2.25|R_k|) is below 2^-44 of each (as the magnification's).
FarFieldCentroidGradient far_field_centroid_gradient(double u, double x, const ProfileMoments& moments,
                                                     const double* nu, std::size_t nb, double* basis) noexcept {
    constexpr double TOL = 0x1p-44;
    const Recurrence r(u);
    const BRecurrence br(u, r.b0);
    double a[2 * K], beta[2 * K], sab[2 * K];
    a[0] = r.b0;
    a[1] = -r.c4 * a[0];
    beta[0] = br.beta0;
    beta[1] = br.beta1;
    sab[0] = a[0] + beta[0];
    sab[1] = a[1] + beta[1];
    const double q = 1 / (x * x);
    // den and num with far_field_centroid's arithmetic and stopping rules (its δ, bit for bit)
    double qk = 1.0, den = moments.mu[0] * a[0], num = moments.mu[0] * beta[0];
    bool den_done = false, num_done = false;
    // Σ w_k x^{-2k} R_k and Σ w_k x^{-2k} P_k for w_k = 2k μ_k (ρ) and ν_{b,k}:
    // Σ w_k T_k = (the first) − c (the second), one pass over the coefficients
    // (the basis terms' first sums in basis[], their second in bp).
    double rr = 0.0, rp = 0.0;
    double bp_small[MAX_GRADIENT_BASIS];
    std::vector<double> bp_large;
    double* bp = bp_small;
    if (nb > MAX_GRADIENT_BASIS) {
        bp_large.resize(nb);
        bp = bp_large.data();
    }
    for (std::size_t j = 0; j < nb; ++j) basis[j] = bp[j] = 0.0;
    FarFieldCentroidGradient out{NaN, 0.0, 0};
    for (int k = 1; k < K; ++k) {
        if (k > 1) {
            a[2 * k - 1] = r.next(a, 2 * k - 2);
            beta[2 * k - 1] = br.next(beta, 2 * k - 2);
            sab[2 * k - 2] = a[2 * k - 2] + beta[2 * k - 2];
        }
        a[2 * k] = r.next(a, 2 * k - 1);
        beta[2 * k] = br.next(beta, 2 * k - 1);
        sab[2 * k - 1] = a[2 * k - 1] + beta[2 * k - 1];
        double p = 0.0, rk = 0.0;
        for (int i = k; i >= 0; --i) {
            p = p + COEFFICIENTS.c[k][i] * a[k + i];
            rk = rk + (COEFFICIENTS.c[k][i] * beta[k + i] + CENTROID_COEFFICIENTS.c[k][i] * sab[k + i - 1]);
        }
        qk = qk * q;
        if (!den_done) {
            const double term = (qk * moments.mu[k]) * p;
            den = den + term;
            den_done = converged(term, den, q, moments, k);
        }
        if (!num_done) {
            const double term = (qk * moments.mu[k]) * rk;
            num = num + term;
            num_done = converged(term, num, q, moments, k);
        }
        const double tp = qk * p, tr = qk * rk;
        const double w = (2.0 * k) * moments.mu[k];
        rr = rr + w * tr;
        rp = rp + w * tp;
        for (std::size_t j = 0; j < nb; ++j) {
            basis[j] = basis[j] + nu[j * K + k] * tr;
            bp[j] = bp[j] + nu[j * K + k] * tp;
        }
        if (!(den_done && num_done) || k + 1 >= K) continue;
        // a bound of every sum's next term (|P_{k+1}| ≤ 2.25|P_k|, |R_{k+1}| ≤ 2.25|R_k|)
        const double c = num / den;
        const double next = (2.25 * q) * (std::fabs(tr) + std::fabs(c * tp));
        bool done = (2.0 * (k + 1)) * moments.mu[k + 1] * next <= TOL * std::fabs(rr - c * rp);
        for (std::size_t j = 0; j < nb && done; ++j)
            done = std::fabs(nu[j * K + k + 1]) * next <= TOL * std::fabs(basis[j] - c * bp[j]);
        if (done) {
            out.terms = k + 1;
            break;
        }
    }
    if (out.terms == 0) return out;
    out.delta = u * (num / den);
    const double c = num / den, scale = u / den;
    out.rho_d = (rr - c * rp) * scale;
    for (std::size_t j = 0; j < nb; ++j) basis[j] = (basis[j] - c * bp[j]) * scale;
    return out;
}

// The same derivatives for u ≥ 10 from the series in y = 1/u² of the
// functions themselves, where R_k − cP_k cancels to ~1/w of its terms: the
// profile mean of f is Σ_k μ_k (ρ²/4)^k Δ^k f(u)/(k!)², and with
//   A − 1 = Σ_{n≥2} α_n y^n,   G′ = s Σ_n γ_n y^n   (y = 1/s²),
//   α_n = (−1)^n [C(2n, n) − 2C(2n − 2, n − 1)],  γ_n = (−1)^n [C(2n, n) − 3C(2n − 2, n − 1)]
// (Δ s^{-2n} = 4n² s^{-2n-2}; Δ^k of G's s²/2 and ln s vanish for k ≥ 1),
//   H_k = μ-free k-th term of ⟨F·û − (u + δ)A⟩ = x^{-2k} Σ_{n≥1} C(n + k − 1, k)² y^n
//         [γ_{n+1}(n + k)/(n u) − (u + δ) α_n],
//   ρ ∂δ/∂ρ = Σ_k 2k μ_k H_k / A,   ∂δ/∂β_b = Σ_k ν_{b,k} H_k / A
// (a double series of terms falling like 4y and x^{-2}: no cancellation).
namespace {

constexpr int NY = 48;  // terms in y
struct InverseCoefficients {
    double alpha[NY + 2] = {}, gamma[NY + 2] = {};
    double binom2[NY + 1][K] = {};  // C(n + k − 1, k)²
    constexpr InverseCoefficients() {
        double c2n = 1.0, c2nm2 = 0.0;  // C(2n, n), C(2n − 2, n − 1)
        for (int n = 0; n < NY + 2; ++n) {
            const double s = n % 2 == 0 ? 1.0 : -1.0;
            alpha[n] = s * (c2n - 2 * c2nm2);
            gamma[n] = s * (c2n - 3 * c2nm2);
            c2nm2 = c2n;
            c2n = c2n * (2.0 * (2 * n + 1)) / (n + 1);
        }
        for (int n = 1; n <= NY; ++n) {
            double c = 1.0;  // C(n − 1, 0)
            for (int k = 0; k < K; ++k) {
                binom2[n][k] = c * c;
                c = c * (n + k) / (k + 1);  // C(n + k, k + 1)
            }
        }
    }
};
constexpr InverseCoefficients INVERSE_COEFFICIENTS{};

}  // namespace

FarFieldCentroidGradient far_field_centroid_gradient_large_u(double u, double x, double a, double delta,
                                                             const ProfileMoments& moments, const double* nu,
                                                             std::size_t nb, double* basis) noexcept {
    const InverseCoefficients& c = INVERSE_COEFFICIENTS;
    const double y = 1 / (u * u), q = 1 / (x * x), ud = u + delta;
    FarFieldCentroidGradient out{NaN, 0.0, 0};
    for (std::size_t j = 0; j < nb; ++j) basis[j] = 0.0;
    double qk = 1.0;
    int quiet = 0;
    for (int k = 1; k < K; ++k) {
        qk = qk * q;
        double h = 0.0, yn = 1.0;
        for (int n = 1; n <= NY; ++n) {
            yn = yn * y;
            const double t = (c.binom2[n][k] * yn) * ((c.gamma[n + 1] * ((n + k) / (n * u))) - ud * c.alpha[n]);
            h = h + t;
            if (n > 2 && std::fabs(t) <= 0x1p-60 * std::fabs(h)) break;
        }
        h = h * qk;
        const double rt = (2.0 * k) * (moments.mu[k] * h);
        out.rho_d = out.rho_d + rt;
        bool small = std::fabs(rt) <= 0x1p-56 * std::fabs(out.rho_d);
        for (std::size_t j = 0; j < nb; ++j) {
            const double bt = nu[j * K + k] * h;
            basis[j] = basis[j] + bt;
            small = small && std::fabs(bt) <= 0x1p-56 * std::fabs(basis[j]);
        }
        // two negligible terms in a row (the terms fall by at least x^{-2} ≤ 1/9)
        quiet = small ? quiet + 1 : 0;
        if (quiet == 2) {
            out.terms = k + 1;
            break;
        }
    }
    if (out.terms == 0) return out;
    out.rho_d = out.rho_d / a;
    for (std::size_t j = 0; j < nb; ++j) basis[j] = basis[j] / a;
    return out;
}

FarFieldCentroid far_field_centroid(double u, double x, const ProfileMoments& moments, FarFieldValue* value) noexcept {
    FarFieldCentroid out;
    far_field_centroid_lanes<1>(&u, &x, moments, value, &out);
    return out;
}

void far_field_centroid4(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* value,
                         FarFieldCentroid* out) noexcept {
    far_field_centroid_lanes<4>(u, x, moments, value, out);
}

}  // namespace kalvorin::detail
