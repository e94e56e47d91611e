// The shift of the light centroid of a finite source lensed by a point mass.
//
// A point source at s (lens at the origin, Einstein units) has images whose
// magnification-weighted mean position is F(s) = ŝ(|s|² + 3)/√(|s|² + 4)
// = s(A + B), A(d) = (d² + 2)/(d√(d² + 4)), B(d) = 1/(d√(d² + 4)). For a
// source of radius ρ centred at u·û with brightness I, the centroid is
// ∫ I F d²s / ∫ I A d²s and its shift from the source centre along û is
//
//   δ = ∫ I (F·û − uA) d²s / ∫ I A d²s = ρ ∫_0^1 2πr I(r) b(x, r) dr / N,
//
// N = ∫_0^1 2πr I M dr the magnification's integral (x = u/ρ, ε = 1/ρ, in
// source radii, g = ε²), and per ring of radius a = r, with φ from the
// direction of the lens, ⟨F·û⟩ − uM = b:
//
//   b = u M_B − a (C + C_B),   M_B = ⟨B⟩ = 2g K(m)/(π S √D),
//   C + C_B = ⟨cos φ (A + B)⟩ = (16 g ua/(π S³ √D))·I + C/2,
//   I = ∫_0^{π/2} s²c²/((c² + nc s²)√(c² + kc² s²)) dθ
//     = [cel(kc, 1, 0, 1) − nc·cel(kc, nc, 0, 1)]/n,
//
// C the dipole ring mean (ring_mean.cpp), f = u − a, S = u + a, D = f² + 4g,
// n = 4ua/S², nc = f²/S², m = 16g·ua/(S²D), kc² = 1 − m (by parts in φ,
// C_B = 2ua·g·⟨sin²φ/(d³√(d² + 4g))⟩ − C/2; then φ = 2θ). b is O(u) at the
// centre (b → u B(u) as a → 0), so δ → 0 there without cancellation, and
// b = q_b ln|f| + (analytic) at the ring through the lens, with
//
//   q_b = u q_MB − a (q_C + q_CB),  q_MB = P·cel(√m, 1, 1, 1),
//   q_CB = P·cel(√m, n, 1, 2 − n),  P = −4g/(π² S √D)
//
// (the coefficients over the vanishing cycle φ → it of the pinched branch
// points, mapped to a cel of the complementary modulus √m with positive terms).
//
// Formulations, by zone of the ring (measured against mpmath, 40 digits,
// u = 1, a/u from 1e-6 to 1e6, ε from 1e-4 to 1e4):
// - |f| ≥ 4ε: the closed forms cancel where the ring encloses the lens
//   (b = O(u g²/a⁴) from terms O(u g/a²): 7.5e3 relative lost at a/u = 1e6,
//   ε = 1e-4). There, with t = g/d², A = 1 + Σ_{k≥2} a_k t^k, B = Σ_{k≥1}
//   b_k t^k (the k = 1 term of B is harmonic: its mean is g/u outside the
//   ring, 0 inside) and Legendre functions for the ring means of d^{-2k}:
//     b = (g/u)[a < u] + Σ_{k≥2} [b_k u Q_k − (a_k + b_k) a s₁ D_k/(k − 1)],
//     Q_k = g^k⟨d^{-2k}⟩ = w^k P_{k−1}(z), D_k = g^k |u² − a²|^k⟨cos φ d^{-2k}⟩·(k − 1)/s₁,
//     w = g/(|f|S), z = (u² + a²)/(|f|S), s₁ = 2ua/(|f|S),
//   by Q_{k+1} = ((2k − 1) wz Q_k − (k − 1) w² Q_{k−1})/k, D_{k+1} = w(z D_k + k Q_k)
//   (≤ 28 terms): ≤ 7.9e-16.
// - elsewhere the closed forms, I by its series of positive terms
//   Σ_p β_{p+1} c_p (β_1 = π/16, β_{p+1} = β_p (p + ½)/(p + 2), c_p = n c_{p−1} + e_p,
//   e_p = e_{p−1}(p − ½)m/p) for n ≤ 0.1, where the cel form loses ~1/n:
//   ≤ 3.6e-15 relative; ≤ 4.4e-14 where b changes sign (a < u, |f| of a few
//   ε), ≤ 5.6e-16 of |u M_B| + |a(C + C_B)| everywhere.
// - the coefficient q_b: ≤ 1.7e-15 (its terms cancel by at most ~2).
// M comes from the same Bulirsch iteration (p = nc) as cel(kc, nc, 0, 1),
// with the bits of ring_mean_fast_f; K, cel(kc, 1, 0, 1) and C's
// cel(kc, 1, −1, 1) share one iteration (p = 1).
//
// A uniform source needs no radial integral: over a disk of radius a the
// numerator is ∫_disk (F·û − uA) d²s = 16g·ua²(u − a)·I/(S²√D) (I of the ring
// of radius a; its a-derivative over 2πa is b), from the divergence theorem
// (F = ∇G, ∫_disk ∂_û G = ∮ G n·û = 2πu a²⟨sin²φ (A + B)⟩, a closed form in
// K, E, Π whose O(1) part cancels exactly against u·πA_disk's), so that
// δ = ρ·16g·x(x − 1)·I/(π S² √D A) for x < 3, A the magnification (its closed
// form): 0 at the limb, exactly, with the sign of x − 1 (negative inside).
// I by its series for n ≤ 0.5, the cel form above: ≤ 1.5e-15 relative for
// x ≤ 3, ρ = 1e-4 … 1e3, x = 1 ± 1e-6 included.
//
// The radial integral uses the magnification's rules and panels (the same
// nodes; its N has the magnification's bits), b beside M at every node and
// q_b beside q at the log-corrected panels; the far field (x ≥ 3) its series
// (far_field.cpp). Accuracy of δ against the mpmath table of
// tests/reference/gen_centroid_reference.py: benchmarks/fspl_accuracy.py.
//
// The derivatives of δ (einstein_centroid_gradients, at the end): ∂δ/∂u from
// the magnification's gradient by an identity, ∂δ/∂ρ and the law's from b
// against r I′ and the basis terms at the same nodes (b less its harmonic
// part well outside a large source), the far field's series differentiated.
// Accuracy against tests/reference/gen_centroid_gradient_reference.py and the
// law derivatives of gen_centroid_reference.py: benchmarks/fspl_accuracy.py.
#include "lib/centroid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/bulirsch.hpp"
#include "lib/float_range.hpp"
#include "lib/model_parts.hpp"

namespace kalvorin {

namespace detail {

namespace {

constexpr double T_SERIES_FROM = 4.0;  // |f| in units of ε
constexpr double I_SERIES_TO = 0.1;    // n, in the ring term
constexpr double DISK_I_SERIES_TO = 0.5;  // n, for the uniform disk (I alone: ≤ 9.1e-16 with ≤ 51 terms)

// a_k + b_k and b_k of the t-series (a_k as ring_mean_excess's).
struct TCoefficients {
    double b[40] = {}, ab[40] = {};
    constexpr TCoefficients() {
        double c2k = 2.0, c2km2 = 1.0;  // C(2k, k), C(2k − 2, k − 1) at k = 1
        for (int k = 1; k < 40; ++k) {
            b[k] = (k % 2 == 1 ? 1.0 : -1.0) * c2km2;
            ab[k] = (k % 2 == 0 ? 1.0 : -1.0) * (c2k - 2 * c2km2) + b[k];
            c2km2 = c2k;
            c2k = c2k * (2.0 * (2 * k + 1)) / (k + 1);
        }
    }
};
constexpr TCoefficients TCOEF{};

double bracket_tseries(double u, double a, double f, double eps, bool harmonic) noexcept {
    const double g = eps * eps;
    const double L = std::fabs(f) * (u + a);
    const double w = g / L, z = (u * u + a * a) / L, s1 = ((u * 2) * a) / L;
    const double wz = w * z, w2 = w * w;
    double sum = harmonic && a < u ? g / u : 0.0;
    double q_prev = w, q = w2 * z, d = w2;  // Q_1, Q_2, D_2
    for (int k = 2; k + 1 < 40; ++k) {
        const double term = (TCOEF.b[k] * u) * q - (((TCOEF.ab[k] * a) * s1) * d) / (k - 1);
        sum = sum + term;
        if (std::fabs(term) <= 0x1p-56 * std::fabs(sum)) break;
        const double next = ((2.0 * k - 1) * wz * q - (k - 1.0) * w2 * q_prev) / k;
        d = w * (z * d + k * q);
        q_prev = q;
        q = next;
    }
    return sum;
}

// I for n ≤ I_SERIES_TO (m ≤ n): its series of positive terms.
double i_series(double n, double m) noexcept {
    double beta = PI / 16, c = 1.0, e = 1.0, sum = beta;
    for (int p = 1; p < 90; ++p) {
        e = e * (((p - 0.5) / p) * m);
        c = n * c + e;
        beta = beta * ((p + 0.5) / (p + 2));
        const double t = beta * c;
        sum = sum + t;
        if (t <= sum * 0x1p-56) break;
    }
    return sum;
}

}  // namespace

CentroidRing centroid_ring(double u, double rho, double f, double eps, bool harmonic) noexcept {
    const double g = eps * eps, f2 = f * f, S = u + rho, S2 = S * S, D = f2 + g * 4;
    const double nc = f2 / S2;
    const double mc = (f2 * (S2 + g * 4)) / (S2 * D);
    const double kc = std::sqrt(mc);
    const double sd = S * std::sqrt(D);
    if (std::fabs(f) >= T_SERIES_FROM * eps) {
        const double c = cel(kc, nc, f2 + (g + g), f2 + (g + g) * nc);
        return {((4 / sd) * c) / TWO_PI, bracket_tseries(u, rho, f, eps, harmonic)};
    }
    const auto cm = cel<2>(kc, nc, {f2 + (g + g), 0.0}, {f2 + (g + g) * nc, 1.0});
    const double M = ((4 / sd) * cm[0]) / TWO_PI;
    const double n = ((u * 4) * rho) / S2;
    const double m = ((g * 4) * ((u * 4) * rho)) / (S2 * D);
    double K, H, I;
    if (n <= I_SERIES_TO) {
        K = cel(kc, 1.0, 1.0, 1.0);
        H = ring_dipole_h(m, mc);  // m ≤ n: the series
        I = i_series(n, m);
    } else {
        const auto c1 = cel<3>(kc, 1.0, {1.0, 0.0, -1.0}, {1.0, 1.0, 1.0});
        K = c1[0];
        H = m <= DIPOLE_SERIES_TO ? ring_dipole_h(m, mc) : c1[2] / m;
        I = (c1[1] - nc * cm[1]) / n;
    }
    const double ua = u * rho;
    const double MB = ((g * 2) * K) / (PI * sd);
    const double C = ((((g * g) * 64) * ua) / PI) / ((S2 * S) * (D * std::sqrt(D))) * H;
    const double CB = (((g * 16) * ua) / (PI * (S2 * sd))) * I + C * 0.5;
    const double b = u * MB - rho * CB;
    return {M, harmonic || !(rho < u) ? b : b - g / u};
}

CentroidLogCoefficients centroid_log_coefficients(double u, double rho, double eps) noexcept {
    const RingLogCoefficients q = ring_log_coefficients(u, rho, eps);
    const double g = eps * eps, f = u - rho, S = u + rho, S2 = S * S, D = f * f + g * 4;
    const double n = ((u * 4) * rho) / S2;
    const double m = ((g * 4) * ((u * 4) * rho)) / (S2 * D);
    const double P = -(g * 4) / ((PI * PI) * (S * std::sqrt(D)));
    const double q_mb = P * q.k1;
    const double q_cb = P * cel(std::sqrt(m), n, 1.0, 2.0 - n);
    return {q, u * q_mb - rho * (q.c + q_cb)};
}

double uniform_disk_centroid_numerator(double x, double f, double eps) noexcept {
    if (f == 0.0 || x == 0.0) return 0.0;
    const double g = eps * eps, f2 = f * f, S = x + 1, S2 = S * S, D = f2 + g * 4;
    const double n = (x * 4) / S2;
    const double m = ((g * 4) * (x * 4)) / (S2 * D);
    double I;
    if (n <= DISK_I_SERIES_TO) {
        I = i_series(n, m);
    } else {
        const double nc = f2 / S2;
        const double kc = std::sqrt((f2 * (S2 + g * 4)) / (S2 * D));
        I = (cel(kc, 1.0, 0.0, 1.0) - nc * cel(kc, nc, 0.0, 1.0)) / n;
    }
    return ((((g * 16) * x) * f) * I) / (S2 * std::sqrt(D));
}

}  // namespace detail

namespace {

constexpr double SERIES_FROM = 3.0;
constexpr double CENTRE_ZONE = 0x1p-60;
constexpr double UNIFORM_SERIES_FROM = 3.0;
// The far field's derivatives in 1/u² from here (their coefficient series
// cancel to ~u² of their terms: 1e-14 at u = 10).
constexpr double LARGE_U = 10.0;
constexpr double SMALL_SOURCE = 0x1p-34;  // 5.8e-11  // the uniform disk's series: x > 3
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// u/(u² + 2), u in Einstein radii.
double point_source_shift(double u) noexcept { return u > 1e100 ? 1 / u : u / (u * u + 2); }

bool series_serves(double u, double x) noexcept {
    return x >= SERIES_FROM && x < HUGE_VAL && u > 1e-150 && u < 1e150;
}

}  // namespace

const char* einstein_centroids(const LawGradient& g, std::span<const double> u, double rho, std::span<double> a,
                               std::span<double> delta) {
    if (rho == 0.0) {
        for (std::size_t i = 0; i < u.size(); ++i) {
            a[i] = point_source_magnification(u[i]);
            delta[i] = point_source_shift(u[i]);
        }
        return nullptr;
    }
    const bool in_range = rho >= detail::RHO_TINY && rho <= detail::RHO_HUGE;
    // A small source near the lens (x < 3: u < 3ρ): over it the lens
    // magnifies like 1/d, and δ/ρ depends on x = u/ρ alone up to O(u², ρ²)
    // (1e-19 at SMALL_SOURCE): the rings' shift is that of a source of radius
    // SMALL_SOURCE scaled by ρ/SMALL_SOURCE, which keeps ε⁴ = ρ⁻⁴ of the ring
    // formulas far from overflow. The far field's series takes the actual u
    // (no ε in it; at larger u the lens no longer magnifies like 1/d).
    const bool small = in_range && rho < SMALL_SOURCE;
    const double rho_rings = small ? SMALL_SOURCE : rho;
    const double shift_scale = small ? rho / SMALL_SOURCE : 1.0;
    const bool values_first = !in_range || small || g.separate_value();
    if (values_first) {
        std::vector<double> scratch(u.size());
        if (const char* failure = einstein_magnifications(g.law(), u, rho, a, scratch)) return failure;
    }
    // A uniform source's values come from its closed form (the series beyond
    // x = 3, which the centroid's series reproduces bit for bit): the points
    // left to it are gathered and evaluated at the end.
    const bool uniform = g.layout() == LawGradient::Layout::uniform;
    const bool values_from_rings = !values_first && !uniform;
    std::vector<std::size_t> pending;
    const double flux = g.law().data().flux;
    const detail::ProfileMoments& moments = uniform ? detail::uniform_disk_moments() : g.law().data().moments;
    detail::RadialSums sums(g, rho_rings, detail::RadialSums::Mode::centroid);
    // δ (and A unless known) from the rings at x.
    std::vector<std::size_t> disks;
    const auto direct = [&](std::size_t i, double x) {
        if (uniform) {
            // the disk's closed form: the numerator now, δ once A is known
            if (!values_first) pending.push_back(i);
            // x − 1 from u − ρ (exact near the limb, where δ ∝ (x − 1) ln|x − 1| is
            // steep: x = u/ρ rounded would cost 1e-16/|x − 1| of δ)
            const double f = x >= 0.5 && x <= 2.0 ? (u[i] - rho) / rho : x - 1;
            delta[i] = detail::uniform_disk_centroid_numerator(x, f, 1 / rho);
            disks.push_back(i);
            return;
        }
        const bool centre = x < CENTRE_ZONE;
        detail::GradientSums s;
        if (centre && values_from_rings) {
            // The magnification's value at the centre (its rule), the shift
            // from x = CENTRE_ZONE scaled to x (δ is odd and analytic in x).
            a[i] = sums.at(0.0, s, nullptr) ? s.n / flux : NaN;
        }
        if (x == 0.0) {
            delta[i] = 0.0;
            return;
        }
        const double xc = centre ? CENTRE_ZONE : x;
        if (!sums.at(xc, s, nullptr)) {
            delta[i] = NaN;
            if (values_from_rings) a[i] = NaN;
            return;
        }
        if (values_from_rings && !centre) a[i] = s.n / flux;
        const double d = (rho_rings * (s.c / s.n)) * shift_scale;
        delta[i] = centre ? d * (x / CENTRE_ZONE) : d;
    };
    std::size_t index[4];
    double uu[4], xx[4];
    int batched = 0;
    const auto flush = [&]() {
        detail::FarFieldValue v[4];
        detail::FarFieldCentroid c[4];
        detail::FarFieldValue* vp = values_first ? nullptr : v;
        if (batched == 4) {
            detail::far_field_centroid4(uu, xx, moments, vp, c);
        } else {
            for (int k = 0; k < batched; ++k) c[k] = detail::far_field_centroid(uu[k], xx[k], moments, vp ? &v[k] : nullptr);
        }
        for (int k = 0; k < batched; ++k) {
            const std::size_t i = index[k];
            if (c[k].terms == 0 || (vp && v[k].terms == 0)) {
                direct(i, xx[k]);
                continue;
            }
            if (vp && (!uniform || xx[k] > UNIFORM_SERIES_FROM)) a[i] = v[k].value;
            else if (vp) pending.push_back(i);
            delta[i] = c[k].delta;
        }
        batched = 0;
    };
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double x = u[i] / rho;
        if (x > detail::POINT_SOURCE_FROM) {
            if (!values_first) a[i] = point_source_magnification(u[i]);
            delta[i] = point_source_shift(u[i]);
            continue;
        }
        if (!in_range) {
            delta[i] = NaN;
            continue;
        }
        if (series_serves(rho * x, x)) {
            // the lens distance as the magnification's series takes it (ρ·x)
            index[batched] = i;
            uu[batched] = rho * x;
            xx[batched] = x;
            if (++batched == 4) flush();
            continue;
        }
        direct(i, x);
    }
    flush();
    if (!pending.empty()) {
        std::vector<double> us(pending.size()), as(pending.size()), scratch(pending.size());
        for (std::size_t k = 0; k < pending.size(); ++k) us[k] = u[pending[k]];
        if (const char* failure = einstein_magnifications(g.law(), us, rho, as, scratch)) return failure;
        for (std::size_t k = 0; k < pending.size(); ++k) a[pending[k]] = as[k];
    }
    for (const std::size_t i : disks) delta[i] = rho * (delta[i] / (detail::PI * a[i]));
    return nullptr;
}

// The derivatives of δ = ρc/N (c = ∫ 2πr I b dr, N = ∫ 2πr I M dr, source
// radii), from the magnification's gradient and the centroid's sums:
// - u: with F = ∇G and ∇²G = 2A + (s/2)A′(s) (A′ = dA/ds), the divergence of
//   the centroid's numerator P(u)û in the lens position and the dilation
//   (u, ρ) → λ(u, ρ) of the magnification's give
//     ∂P/∂u + P/u = ∫ I ∇²G d²s = N_E + (u ∂N_E/∂u + ρ ∂N_E/∂ρ)/2
//   (Einstein units, N_E = ρ²N), hence, with δ = P/N_E − u,
//     ∂δ/∂u = −δ/u − (u/2 + δ)(∂A/∂u)/A + (ρ/2)(∂A/∂ρ)/A,
//   and ρ(∂A/∂ρ)/(4A) at u = 0 (δ ~ κu there): no new ring function.
// - ρ: with s = ρr as for the magnification (derivatives.cpp),
//     ρ ∂δ/∂ρ = ρ(2π I(1) b(x, 1) − Q_b)/N − δ(ρ(∂A/∂ρ)/A + 2),
//   Q_b = ∫ 2πr² I′ b dr (a table's jumps ΔI at r_j: 2π ΔI r_j² b(x, r_j));
//   the uniform disk: 2ρ b(x, 1)/A − δ(ρ(∂A/∂ρ)/A + 2).
// - β_b: ∂δ/∂β_b = ρ P_b/N − δ((∂A/∂β_b)/A + F_b/F), P_b = ∫ 2πr B_b b dr.
// Q_b and P_b are taken at the nodes of c (RadialSums' centroid_gradient
// mode), the far field differentiates its series (far_field.cpp); below
// x = 2^-60 the odd ρ and β derivatives are scaled from x = 2^-60. A small
// source (ρ < 2^-34) takes its rings at 2^-34: ρ ∂δ/∂ρ and ∂δ/∂β scale as δ.
const char* einstein_centroid_gradients(const LawGradient& g, std::span<const double> u, double rho,
                                        const CentroidGradientOut& out) {
    const std::size_t n = u.size(), nb = g.basis_size();
    std::vector<double> au(n), arho(n), ab(n * nb);
    const auto row = [&](std::size_t i) { return out.dbasis.data() + i * nb; };
    const bool in_range = rho >= detail::RHO_TINY && rho <= detail::RHO_HUGE;
    const bool small = in_range && rho < SMALL_SOURCE;
    const double rho_rings = small ? SMALL_SOURCE : rho;
    const double shift_scale = small ? rho / SMALL_SOURCE : 1.0;
    // The magnification's gradient (a small source's near rings taken at 2^-34
    // and scaled, as the centroid's own); its rings give the centroid's sums
    // too (one evaluation of each ring for both; none for the uniform disk).
    std::vector<detail::GradientSums> ring_sums;
    std::vector<double> ring_x, ring_dcb;
    PointSumsSink sink;
    if (g.layout() != LawGradient::Layout::uniform) {
        ring_sums.resize(n);
        ring_x.assign(n, NaN);
        ring_dcb.resize(n * nb);
        sink = [&](std::size_t i, const detail::PointSums& p) {
            if (!p.taken) return;
            ring_sums[i] = p.s;
            ring_x[i] = p.x;
            std::copy(p.dcb.begin(), p.dcb.end(), ring_dcb.begin() + i * nb);
        };
    }
    if (const char* failure = einstein_gradients(g, u, rho, GradientOut{out.a, au, arho, ab}, sink)) return failure;
    const double eps = 1 / rho_rings, flux = g.law().data().flux;
    const bool uniform = g.layout() == LawGradient::Layout::uniform;
    const bool table = g.layout() == LawGradient::Layout::table;
    const detail::ProfileMoments& moments = uniform ? detail::uniform_disk_moments() : g.law().data().moments;
    // δ of a law's source near it comes from the sums below, in the far field
    // from the derivatives' series, with the bits of einstein_centroids (the
    // same nodes, terms and arithmetic); the others' from it.
    const auto from_sums = [&](double x) {
        return in_range && rho > 0.0 && !uniform && x <= detail::POINT_SOURCE_FROM && !series_serves(rho * x, x) &&
               !detail::harmonic_part_dominates(x, eps);
    };
    // the far field's derivatives (ρ ∂δ/∂ρ, into the rows ∂δ/∂β), terms = 0 where not
    std::vector<detail::FarFieldCentroidGradient> far(n, detail::FarFieldCentroidGradient{NaN, NaN, 0});
    if (in_range && rho > 0.0) {
        for (std::size_t i = 0; i < n; ++i) {
            const double x = u[i] / rho, uf = rho * x;  // as the shift's series takes it
            if (x > detail::POINT_SOURCE_FROM || !series_serves(uf, x)) continue;
            if (uf < LARGE_U) {
                far[i] = detail::far_field_centroid_gradient(uf, x, moments, g.moment_differences(), nb, row(i));
                if (far[i].terms > 0) out.delta[i] = far[i].delta;
            }
        }
    }
    {
        std::vector<std::size_t> rest;
        for (std::size_t i = 0; i < n; ++i)
            if (!from_sums(u[i] / rho) && far[i].terms == 0) rest.push_back(i);
        std::vector<double> ur(rest.size()), ar(rest.size()), dr(rest.size());
        for (std::size_t k = 0; k < rest.size(); ++k) ur[k] = u[rest[k]];
        if (const char* failure = einstein_centroids(g, ur, rho, ar, dr)) return failure;
        for (std::size_t k = 0; k < rest.size(); ++k) out.delta[rest[k]] = dr[k];
    }
    detail::RadialSums sums(g, rho_rings, detail::RadialSums::Mode::centroid_gradient);
    // b of the ring of radius r, x − r from u − ρ near the limb; −inf on it
    // (b = q_b ln|x − r| + analytic, q_b = ε/π > 0 there).
    const auto ring_b = [&](double x, double r, double ui, bool harmonic) {
        const double f = r == 1.0 && x >= 0.5 && x <= 2.0 ? (ui - rho) / rho : x - r;
        return f == 0.0 ? -HUGE_VAL : detail::centroid_ring(x, r, f, eps, harmonic).b;
    };
    // 2π I(1) b(x, 1), or a table's jumps
    const auto boundary = [&](double x, double ui, bool harmonic) {
        if (table) {
            double v = 0.0;
            for (const auto& j : g.table().jumps)
                v = v + ((detail::TWO_PI * j.dI) * (j.r * j.r)) * ring_b(x, j.r, ui, harmonic);
            return v;
        }
        const double I1 = g.limb_intensity();
        return I1 != 0.0 ? (detail::TWO_PI * I1) * ring_b(x, 1.0, ui, harmonic) : 0.0;
    };
    for (std::size_t i = 0; i < n; ++i) {
        double* db = row(i);
        const double ui = u[i], A = out.a[i];
        if (rho == 0.0 || ui / rho > detail::POINT_SOURCE_FROM) {
            // a point source: δ = u/(u² + 2)
            const double w = ui * ui + 2;
            out.du[i] = ui > 1e100 ? -1 / (ui * ui) : (2 - ui * ui) / (w * w);
            out.drho[i] = 0.0;
            std::fill_n(db, nb, 0.0);
            continue;
        }
        const double x = ui / rho;
        if (!in_range || (!from_sums(x) && !std::isfinite(out.delta[i]))) {
            out.du[i] = out.drho[i] = NaN;
            std::fill_n(db, nb, NaN);
            continue;
        }
        const double rA = rho * (arho[i] / A);  // ρ(∂A/∂ρ)/A
        // ∂δ/∂u from the magnification's gradient once δ is known
        const auto set_du = [&](double d) {
            out.du[i] = ui == 0.0 ? 0.25 * rA : (-(d / ui) - (0.5 * ui + d) * (au[i] / A)) + (0.5 * rho) * (arho[i] / A);
        };
        const double d = out.delta[i];  // unless from the sums
        // ρ ∂δ/∂ρ into rd, ∂δ/∂β into db
        double rd = NaN;
        bool limb = false;
        if (series_serves(rho * x, x)) {
            const double uf = rho * x;  // as the shift's series takes it
            const detail::FarFieldCentroidGradient fg =
                uf >= LARGE_U ? detail::far_field_centroid_gradient_large_u(uf, x, A, d, moments,
                                                                            g.moment_differences(), nb, db)
                              : far[i];
            if (fg.terms > 0) rd = fg.rho_d;
        }
        // Outside the source (x ≥ 1 + 4ε) b's harmonic part h = g/x on every ring
        // cancels: bnd − Q_b = 2hF + (the same without it), c = hF + c̃,
        // P_b = hF_b + P̃_b, so that
        //   ρ ∂δ/∂ρ = ρ(bnd̃ − Q̃_b − 2c̃)/N − δρ(∂A/∂ρ)/A,
        //   ∂δ/∂β_b = ρ(P̃_b − c̃ F_b/F)/N − δ(∂A/∂β_b)/A,
        // without the loss of ~(h/b̃)·1e-16 of forming them from b (a source
        // of ρ = 1e3 at x = 3: b̃/h ~ 1e-7).
        const bool outside = detail::harmonic_part_dominates(x, eps);
        if (std::isnan(rd) && uniform) {
            const double b1 = ring_b(x, 1.0, ui, !outside);
            limb = b1 == -HUGE_VAL;
            detail::GradientSums s;
            if (limb) {
                rd = -HUGE_VAL;
            } else if (outside) {
                rd = sums.at(x, s, nullptr, db) ? (2 * rho_rings) * ((b1 - s.c / detail::PI) / A) - d * rA : NaN;
            } else {
                rd = (2 * rho_rings) * (b1 / A) - d * (rA + 2);
            }
        } else if (std::isnan(rd)) {
            if (x == 0.0) {
                out.delta[i] = 0.0;
                set_du(0.0);
                out.drho[i] = 0.0;
                std::fill_n(db, nb, 0.0);
                continue;
            }
            const bool centre = x < CENTRE_ZONE;
            const double xc = centre ? CENTRE_ZONE : x;
            detail::GradientSums s;
            const bool shared = !ring_x.empty() && ring_x[i] == xc;
            if (shared) {
                s = ring_sums[i];
                std::copy_n(ring_dcb.begin() + i * nb, nb, db);
            } else if (!sums.at(xc, s, nullptr, db)) {
                if (from_sums(x)) out.delta[i] = NaN;
                out.du[i] = out.drho[i] = NaN;
                std::fill_n(db, nb, NaN);
                continue;
            }
            const double dc = (rho_rings * (s.c / s.n)) * shift_scale;  // δ at xc
            if (from_sums(x)) out.delta[i] = centre ? dc * (x / CENTRE_ZONE) : dc;
            const double bnd = boundary(xc, centre ? xc * rho : ui, !outside);
            limb = bnd == -HUGE_VAL || bnd == HUGE_VAL;
            const double k = shift_scale * rho_rings / s.n, scale = centre ? x / CENTRE_ZONE : 1.0;
            if (limb) {
                // divergent as (bnd/q_b)(ρ q_b − δ q_M)/N, q the log coefficients of the ring through the lens
                const detail::CentroidLogCoefficients q = detail::centroid_log_coefficients(xc, xc, eps);
                const double coef = (shift_scale * rho_rings) * q.b - dc * q.ring.m;
                rd = (bnd < 0.0) == (coef > 0.0) ? -HUGE_VAL : HUGE_VAL;
            } else if (outside) {
                rd = k * ((bnd - s.cq) - 2 * s.c) - d * rA;
            } else {
                rd = (k * (bnd - s.cq) - dc * (rA + 2)) * scale;
            }
            if (outside) {
                for (std::size_t b = 0; b < nb; ++b)
                    db[b] = k * (db[b] - s.c * (g.basis_flux(b) / flux)) - d * (ab[i * nb + b] / A);
            } else {
                for (std::size_t b = 0; b < nb; ++b)
                    db[b] = (k * db[b] - dc * (ab[i * nb + b] / A + g.basis_flux(b) / flux)) * scale;
            }
        }
        set_du(out.delta[i]);
        out.drho[i] = rd / rho;
        // On the limb both diverge (log), with ∂δ/∂u = −∂δ/∂ρ there.
        if (limb) out.du[i] = -out.drho[i];
    }
    return nullptr;
}

}  // namespace kalvorin
