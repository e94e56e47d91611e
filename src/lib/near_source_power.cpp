// The radial integral ∫_0^1 2πr I(r) M(x, r) dr near the source (0 ≤ x < 3)
// for a law I(μ) = c0 + Σ_k c_k μ^{p_k} + f·μ ln μ (laws.hpp), μ = √(1 − r²),
// M the ring mean.
//
// In θ (r = sin θ, μ = cos θ) the integrand 2π sin θ cos θ I(cos θ) M is
// smooth but at the ring through the lens (θ* = asin x, logarithmic) and, for
// the terms with p_k not an integer and for μ ln μ, at the limb θ = π/2,
// where it behaves like (π/2 − θ)^{p_k + 1}. The interval is cut into panels
// as for the linear law (near_source.cpp): two log-corrected 14-point panels
// of length L = min((π/2 − θ*)/2, θ*/2, 2ε) at θ* (half the distance to the
// limb, so that they do not reach it), 12-point Gauss–Legendre panels
// doubling in length away from it, and one panel at the limb. Towards the
// limb the last two panels share what remains, R, when it is at most twice
// the next length: a regular panel of R/2, then the limb panel, so that the
// nearest singularity of every panel is at least half its length away (the
// limb one's at least its length).
//
// The limb panel, θ from θ_a to π/2, is integrated in μ ∈ [0, m], m = cos θ_a:
// there 2πr I M dr = 2π μ I(μ) M dμ, and M(x, √(1 − μ²)) is analytic in μ
// (a function of r² = 1 − μ²), so each basis term is μ^a × (analytic) with
// a = p + 1 (or μ² ln μ). The ring means at the 16 Legendre points of the
// panel serve every term: term by term, product weights
//   W^{a,l}_i = ∫_0^1 ℓ_i(s) s^a ln^l s ds = Σ_j T_ij ∂^l/∂a^l m_j(a),
//   m_j(a) = ∫_0^1 P_j(2s − 1) s^a ds = Π_{k<j}(a − k) / Π_{k=1}^{j+1}(a + k),
// (T as in panel_rules.hpp; the derivatives by second-order dual numbers,
// computed once per law), scaled by m^{a+1} (and ln μ = ln s + ln m). On the
// limb (x = 1) the ring's logarithm sits at μ = 0 as well, ln(1 − r) =
// 2 ln μ − ln(1 + r): one more power of ln s, with q from ring_log_coefficient.
// Beyond 1 < x < 3 the limb panel starts the graded panels, first length
// min(acosh x, 2ε) (M's singularities at θ = π/2 ± i acosh x).
//
// Accuracy against mpmath (tests/reference/gen_fspl_laws_reference.py, 17
// coefficient sets of the five laws, ρ from 1e-4 to 1e3, centre, inside, the
// limb and 1e-6 either side, outside, far; benchmarks/fspl_accuracy.py):
// ≤ 2.0e-15 relative, on the limb (power-2), ≤ 1.1e-15 elsewhere; and against
// a quadrature in θ (tests/test_fspl_laws.py): ≤ 1.1e-15 with 16 limb nodes
// (24 gave ≤ 5e-16 at ~5 % more cost on crossing light curves).
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "lib/laws.hpp"
#include "lib/model_parts.hpp"
#include "lib/panel_rules.hpp"

namespace kalvorin::detail {

namespace {


// Value and first two derivatives in a.
struct Jet {
    long double v, d1, d2;
};

Jet operator*(const Jet& f, const Jet& g) noexcept {
    return {f.v * g.v, f.d1 * g.v + f.v * g.d1, f.d2 * g.v + 2 * f.d1 * g.d1 + f.v * g.d2};
}

Jet operator/(const Jet& f, const Jet& g) noexcept {
    const long double h = f.v / g.v;
    const long double h1 = (f.d1 - h * g.d1) / g.v;
    const long double h2 = (f.d2 - 2 * h1 * g.d1 - h * g.d2) / g.v;
    return {h, h1, h2};
}

// weights[l][i] = ∫_0^1 ℓ_i(s) s^a ln^l s ds for the LIMB_NODES-point rule.
void product_weights(double a, PowerProfile::Weights& weights) noexcept {
    constexpr std::size_t N = LIMB_NODES;
    const auto& rule = unit_rule<N>();
    const long double al = a;
    std::array<Jet, N> moments;
    Jet m = Jet{1, 0, 0} / Jet{al + 1, 1, 0};
    moments[0] = m;
    for (std::size_t j = 1; j < N; ++j) {
        m = m * Jet{al - static_cast<long double>(j - 1), 1, 0} / Jet{al + static_cast<long double>(j + 1), 1, 0};
        moments[j] = m;
    }
    for (std::size_t i = 0; i < N; ++i) {
        long double w0 = 0, w1 = 0, w2 = 0;
        for (std::size_t j = 0; j < N; ++j) {
            const long double t = rule.T[i][j];
            w0 += t * moments[j].v;
            w1 += t * moments[j].d1;
            w2 += t * moments[j].d2;
        }
        weights[0][i] = static_cast<double>(w0);
        weights[1][i] = static_cast<double>(w1);
        weights[2][i] = static_cast<double>(w2);
    }
}

enum class Kind { regular, singular, limb };

// A panel: θ from e to o (regular, singular with ln|sin θ − x| =
// factor·ln s + analytic), or the limb panel from θ = e to π/2.
struct Panel {
    double e, o;
    Kind kind;
    double factor;
};

// Panels from `start` to the limb, first length `first`, doubling; the last
// two share what remains when it is at most twice the next length.
template <class Visit>
bool graded_to_limb(double start, double first, int& panels, Visit&& visit) {
    if (!(first > 0.0)) return false;
    double a = start, length = first;
    while (true) {
        if (++panels > MAX_PANELS) return false;
        const double rest = HALF_PI - a;
        if (rest <= 2 * length) {
            const double b = a + rest * 0.5;
            visit(Panel{a, b, Kind::regular, 0.0});
            visit(Panel{b, HALF_PI, Kind::limb, 0.0});
            return true;
        }
        visit(Panel{a, a + length, Kind::regular, 0.0});
        a = a + length;
        length = length * 2;
    }
}

template <class Visit>
bool for_each_panel(double x, double eps, Visit&& visit) {
    const double scale = KAPPA * eps;
    int panels = 0;
    const auto towards_centre = [&](double start, double first) {
        return graded_panels(start, 0.0, first, panels, [&](double a, double b) { visit(Panel{a, b, Kind::regular, 0.0}); });
    };
    if (x == 0.0) return graded_to_limb(0.0, std::fmin(HALF_PI, scale), panels, visit);
    if (x < 1.0) {
        const double ts = std::asin(x);
        const double L = std::fmin(std::fmin((HALF_PI - ts) * 0.5, ts * 0.5), scale);
        visit(Panel{ts, ts + L, Kind::singular, 1.0});
        visit(Panel{ts, ts - L, Kind::singular, 1.0});
        return graded_to_limb(ts + L, L * 2, panels, visit) && towards_centre(ts - L, L * 2);
    }
    if (x == 1.0) {
        const double L = std::fmin(HALF_PI * 0.5, scale);
        visit(Panel{HALF_PI - L, HALF_PI, Kind::limb, 2.0});
        return towards_centre(HALF_PI - L, L * 2);
    }
    const double first = std::fmin(std::acosh(x), scale);
    if (first >= HALF_PI) {
        visit(Panel{0.0, HALF_PI, Kind::limb, 0.0});
        return true;
    }
    visit(Panel{HALF_PI - first, HALF_PI, Kind::limb, 0.0});
    return towards_centre(HALF_PI - first, first * 2);
}

// A θ panel: Gauss–Legendre, or the log-corrected rule when singular.
double theta_panel(const Panel& p, double x, double eps, const PowerProfile& profile, std::uint32_t& evaluations) {
    const double L = p.o - p.e;
    double sum = 0.0;
    const auto weight = [&](double theta, double& r) {
        r = std::sin(theta);
        const double mu = std::cos(theta);
        return ((r * TWO_PI) * mu) * profile.at_mu(mu);
    };
    if (p.kind == Kind::regular) {
        const auto& rule = unit_rule<N_REGULAR>();
        for (std::size_t i = 0; i < N_REGULAR; ++i) {
            double r;
            const double wt = weight(p.e + L * rule.s[i], r);
            sum = sum + rule.w[i] * (wt * ring_mean_fast(x, r, eps));
        }
        evaluations += N_REGULAR;
    } else {
        const auto& rule = unit_rule<N_SINGULAR>();
        for (std::size_t i = 0; i < N_SINGULAR; ++i) {
            double r;
            const double wt = weight(p.e + L * rule.s[i], r);
            sum = sum + rule.w[i] * (wt * ring_mean_fast(x, r, eps)) +
                  (p.factor * rule.c[i]) * (wt * ring_log_coefficient(x, r, eps));
        }
        evaluations += 2 * N_SINGULAR;
    }
    return sum * std::fabs(L);
}

// The limb panel in μ ∈ [0, m]: Σ_i V_i 2π M_i (+ the log correction on the
// limb), V_i = Σ_terms c·m^{a+1}·W^{a,·}_i.
double limb_panel(const Panel& p, double x, double eps, const PowerProfile& profile, std::uint32_t& evaluations) {
    constexpr std::size_t N = LIMB_NODES;
    const double m = std::cos(p.e);
    const bool singular = p.factor != 0.0;
    const double log_m = std::log(m);
    std::array<double, N> V{}, U{};
    const auto add = [&](const PowerProfile::Weights& w, double c, double a, bool log_term) {
        if (c == 0.0) return;
        const double k = c * std::pow(m, a + 1);
        for (std::size_t i = 0; i < N; ++i) {
            const double base = log_term ? w[1][i] + log_m * w[0][i] : w[0][i];
            V[i] = V[i] + k * base;
        }
        if (!singular) return;
        for (std::size_t i = 0; i < N; ++i) {
            const double next = log_term ? w[2][i] + log_m * w[1][i] : w[1][i];
            U[i] = U[i] + k * next;
        }
    };
    add(profile.weights[0], profile.c0, 1.0, false);
    for (std::size_t k = 0; k < profile.n; ++k)
        add(profile.weights[1 + k], profile.terms[k].c, profile.terms[k].p + 1, false);
    add(profile.weights[MAX_POWER_TERMS + 1], profile.f, 2.0, true);

    const auto& rule = unit_rule<N>();
    double sum = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
        const double mu = m * rule.s[i];
        const double r = std::sqrt((1 - mu) * (1 + mu));
        sum = sum + V[i] * ring_mean_fast(x, r, eps);
        if (singular)
            sum = sum + (p.factor * (U[i] - V[i] * std::log(rule.s[i]))) * ring_log_coefficient(x, r, eps);
    }
    evaluations += singular ? 2 * N : N;
    return sum * TWO_PI;
}

// The gradient sums on a θ panel (theta_panel's arithmetic for N; the other
// channels as in near_source.cpp's gradient_panel).
void theta_gradient_panel(const Panel& p, double x, double eps, const PowerProfile& profile,
                          const GradientChannels& ch, GradientSums& out) {
    const double L = p.o - p.e;
    GradientSums s{};
    const auto node = [&](double w, double c, double theta, bool singular) {
        const double r = std::sin(theta);
        const double mu = std::cos(theta);
        const double jac = (r * TWO_PI) * mu;
        const double wt = jac * profile.at_mu(mu);
        const CentroidRing ring = ch.centroid ? centroid_ring(x, r, x - r, eps, ch.harmonic)
                                              : CentroidRing{ring_mean_fast(x, r, eps), 0.0};
        CentroidLogCoefficients q{{0.0, 0.0, 0.0}, 0.0};
        if (singular) {
            if (ch.centroid) q = centroid_log_coefficients(x, r, eps);
            else q.ring = ring_log_coefficients(x, r, eps);
        }
        const double M = ring.m;
        s.n = s.n + w * (wt * M) + c * (wt * q.ring.m);
        if (ch.centroid) {
            s.c = s.c + w * (wt * ring.b) + c * (wt * q.b);
            s.c1 = s.c1 + w * (jac * ring.b) + c * (jac * q.b);
            if (ch.centroid_derivatives) {
                const double kq = -TWO_PI * ((r * r) * r) * ch.slope(mu);
                s.cq = s.cq + w * (kq * ring.b) + c * (kq * q.b);
                for (std::size_t b = 0; b < ch.nb; ++b) {
                    const double kb = jac * ch.basis(b, mu);
                    s.cb[b] = s.cb[b] + w * (kb * ring.b) + c * (kb * q.b);
                }
            }
        }
        if (!ch.derivatives) return;
        const double Mx = ring_mean_excess(x, r, x - r, eps, M);
        const double C = ring_dipole_f(x, r, x - r, eps);
        const double slope = ch.slope(mu);
        const double kq = -TWO_PI * ((r * r) * r) * slope;
        const double ku = -TWO_PI * (r * r) * slope;
        s.nx = s.nx + w * (wt * Mx) + c * (wt * q.ring.m);
        s.q = s.q + w * (kq * Mx) + c * (kq * q.ring.m);
        s.u = s.u + w * (ku * C) + c * (ku * q.ring.c);
        for (std::size_t b = 0; b < ch.nb; ++b) {
            const double kb = jac * ch.basis(b, mu);
            s.b[b] = s.b[b] + w * (kb * Mx) + c * (kb * q.ring.m);
        }
    };
    if (p.kind == Kind::regular) {
        const auto& rule = unit_rule<N_REGULAR>();
        for (std::size_t i = 0; i < N_REGULAR; ++i) node(rule.w[i], 0.0, p.e + L * rule.s[i], false);
    } else {
        const auto& rule = unit_rule<N_SINGULAR>();
        for (std::size_t i = 0; i < N_SINGULAR; ++i)
            node(rule.w[i], p.factor * rule.c[i], p.e + L * rule.s[i], true);
    }
    out.add(s, std::fabs(L), ch.nb);
}

// Product weights of one term c·μ^a·ln^l μ on [0, m] (l = 0, 1), and those
// of the next power of the logarithm for the limb's log correction.
struct TermWeights {
    std::array<double, LIMB_NODES> V{}, U{};
    void add(const PowerProfile::Weights& w, double c, double a, bool log_term, double m, double log_m) noexcept {
        if (c == 0.0) return;
        const double k = c * std::pow(m, a + 1);
        for (std::size_t i = 0; i < LIMB_NODES; ++i) {
            V[i] = V[i] + k * (log_term ? w[1][i] + log_m * w[0][i] : w[0][i]);
            U[i] = U[i] + k * (log_term ? w[2][i] + log_m * w[1][i] : w[1][i]);
        }
    }
};

// The limb panel in μ: N with limb_panel's arithmetic, Ñ the same with M̃;
// Q = ∫ −2π r² I_μ M̃ dμ, U = ∫ −2π r I_μ C dμ (r C is analytic in μ, C being
// odd in r) with the slope's weights, N_b = ∫ 2π μ B_b M̃ dμ with the basis
// terms' weights (for the centroid's derivatives cq and cb against b).
void limb_gradient_panel(const Panel& p, double x, double eps, const PowerProfile& profile,
                         const GradientChannels& ch, GradientSums& out) {
    constexpr std::size_t N = LIMB_NODES;
    const double m = std::cos(p.e);
    const bool singular = p.factor != 0.0;
    const double log_m = std::log(m);
    TermWeights value, slope, flat;
    std::array<TermWeights, MAX_GRADIENT_BASIS> basis;
    if (ch.centroid) flat.add(profile.weights[0], 1.0, 1.0, false, m, log_m);
    value.add(profile.weights[0], profile.c0, 1.0, false, m, log_m);
    for (std::size_t k = 0; k < profile.n; ++k)
        value.add(profile.weights[1 + k], profile.terms[k].c, profile.terms[k].p + 1, false, m, log_m);
    value.add(profile.weights[MAX_POWER_TERMS + 1], profile.f, 2.0, true, m, log_m);
    slope.add(ch.w_const, ch.d_const, 0.0, false, m, log_m);
    slope.add(ch.w_const, ch.d_log, 0.0, true, m, log_m);
    for (std::size_t k = 0; k < ch.d_n; ++k) slope.add(ch.w_d[k], ch.d_c[k], ch.d_p[k], false, m, log_m);
    for (std::size_t b = 0; b < ch.nb; ++b) basis[b].add(ch.w_b[b], 1.0, ch.b_p[b] + 1, ch.b_log[b], m, log_m);

    const auto& rule = unit_rule<N>();
    GradientSums s{};
    for (std::size_t i = 0; i < N; ++i) {
        const double mu = m * rule.s[i];
        const double r = std::sqrt((1 - mu) * (1 + mu));
        const CentroidRing ring = ch.centroid ? centroid_ring(x, r, x - r, eps, ch.harmonic)
                                              : CentroidRing{ring_mean_fast(x, r, eps), 0.0};
        const double M = ring.m;
        s.n = s.n + value.V[i] * M;
        if (ch.centroid) {
            s.c = s.c + value.V[i] * ring.b;
            s.c1 = s.c1 + flat.V[i] * ring.b;
        }
        CentroidLogCoefficients q{{0.0, 0.0, 0.0}, 0.0};
        double ls = 0.0;
        if (singular) {
            if (ch.centroid) q = centroid_log_coefficients(x, r, eps);
            else q.ring = ring_log_coefficients(x, r, eps);
            ls = std::log(rule.s[i]);
            s.n = s.n + (p.factor * (value.U[i] - value.V[i] * ls)) * q.ring.m;
            if (ch.centroid) {
                s.c = s.c + (p.factor * (value.U[i] - value.V[i] * ls)) * q.b;
                s.c1 = s.c1 + (p.factor * (flat.U[i] - flat.V[i] * ls)) * q.b;
            }
        }
        if (ch.centroid_derivatives) {
            const double kq = -(r * r);
            s.cq = s.cq + slope.V[i] * (kq * ring.b);
            for (std::size_t b = 0; b < ch.nb; ++b) s.cb[b] = s.cb[b] + basis[b].V[i] * ring.b;
            if (singular) {
                s.cq = s.cq + (p.factor * (slope.U[i] - slope.V[i] * ls)) * (kq * q.b);
                for (std::size_t b = 0; b < ch.nb; ++b)
                    s.cb[b] = s.cb[b] + (p.factor * (basis[b].U[i] - basis[b].V[i] * ls)) * q.b;
            }
        }
        if (!ch.derivatives) continue;
        const double Mx = ring_mean_excess(x, r, x - r, eps, M);
        const double C = ring_dipole_f(x, r, x - r, eps);
        const double kq = -(r * r), ku = -r;
        s.nx = s.nx + value.V[i] * Mx;
        s.q = s.q + slope.V[i] * (kq * Mx);
        s.u = s.u + slope.V[i] * (ku * C);
        for (std::size_t b = 0; b < ch.nb; ++b) s.b[b] = s.b[b] + basis[b].V[i] * Mx;
        if (singular) {
            s.nx = s.nx + (p.factor * (value.U[i] - value.V[i] * ls)) * q.ring.m;
            const double sl = p.factor * (slope.U[i] - slope.V[i] * ls);
            s.q = s.q + sl * (kq * q.ring.m);
            s.u = s.u + sl * (ku * q.ring.c);
            for (std::size_t b = 0; b < ch.nb; ++b)
                s.b[b] = s.b[b] + (p.factor * (basis[b].U[i] - basis[b].V[i] * ls)) * q.ring.m;
        }
    }
    out.add(s, TWO_PI, ch.nb);
}

}  // namespace

void limb_product_weights(double a, PowerProfile::Weights& weights) noexcept { product_weights(a, weights); }

bool near_source_gradient_power(double x, double eps, const PowerProfile& profile, const GradientChannels& ch,
                                GradientSums& out) noexcept {
    out = GradientSums{};
    return for_each_panel(x, eps, [&](const Panel& p) {
        if (p.kind == Kind::limb) limb_gradient_panel(p, x, eps, profile, ch, out);
        else theta_gradient_panel(p, x, eps, profile, ch, out);
    });
}

void set_limb_weights(PowerProfile& profile) noexcept {
    product_weights(1.0, profile.weights[0]);
    for (std::size_t k = 0; k < profile.n; ++k) product_weights(profile.terms[k].p + 1, profile.weights[1 + k]);
    product_weights(2.0, profile.weights[MAX_POWER_TERMS + 1]);
}

double near_source_integral_power(double x, double eps, const PowerProfile& profile,
                                  std::uint32_t* evaluations) noexcept {
    double sum = 0.0;
    std::uint32_t count = 0;
    const bool complete = for_each_panel(x, eps, [&](const Panel& p) {
        sum = sum + (p.kind == Kind::limb ? limb_panel(p, x, eps, profile, count)
                                          : theta_panel(p, x, eps, profile, count));
    });
    if (!complete) return std::numeric_limits<double>::quiet_NaN();
    if (evaluations) *evaluations = count;
    return sum;
}

}  // namespace kalvorin::detail
