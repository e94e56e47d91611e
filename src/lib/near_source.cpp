// The radial integral ∫_0^1 2πr I(r) M(x, r) dr for a lens inside the source
// or near its limb (x < 1.05 source radii), M the ring mean.
//
// In r = sin θ (which removes the square-root edge of a limb-darkened
// profile at r = 1) the integrand is analytic on [0, π/2] except at the ring
// through the lens, θ* = asin x, where M has a logarithmic singularity
// M = q·ln|r − x| + (analytic), with q known in closed form
// (ring_log_coefficient). The interval is cut into panels:
// - two panels of length L = min(π/2 − θ*, θ*/2, 2ε) ending at θ* (ε the
//   Einstein radius in source radii; the other singularities of M and q lie
//   at r = 0 and about 2ε away from the ring in the complex plane); on each,
//   a 14-point Gauss–Legendre rule corrected for the logarithm: weights
//   c_i = ∫_0^1 ℓ_i(s) ln s ds − w_i ln s_i applied to the interpolated q
//   (ℓ_i the Lagrange basis; ∫_0^1 P_j(2s−1) ln s ds = (−1)^{j+1}/(j(j+1)),
//   −1 for j = 0);
// - towards 0 and π/2, panels doubling in length, each with a 12-point
//   Gauss–Legendre rule (the nearest singularity is at least half a panel
//   length away, so each converges like 3.7^{−24}).
// On the limb (x = 1) the two singular points merge (ln|sin θ − 1| ≈
// 2 ln(π/2 − θ)) into one singular panel of length min(2ε, 0.3)
// (limb_first_panel); just outside it (1 < x < 1.05) M is analytic on the
// interval with singularities at θ = π/2 ± i·acosh x, and the panels double
// from π/2 with first length min(acosh x, 2ε). The ring means come from one
// Bulirsch integral each, with f = x − r supplied (ring_mean_fast_f): from
// r = sin θ by subtraction, or, where the first panel spans less than 2^-30
// in r (the lens within ~5e-10 of the limb, or a tiny ε), from the angles
// without cancellation (NodeMap).
//
// Accuracy (benchmarks/builtin_law_accuracy.py against the mpmath tables
// integrated.json and limb_band.json): ≤ 4.4e-16 relative for the built-in
// law, x from 0 to 1.05 — with the 64 doubles below the limb, the limb and
// the doubles just above it — and ρ = rstar/re from 1e-3 to 800, with
// 40–140 ring evaluations; the steps from 1 − 1 ulp to 1 to 1 + 1 ulp and
// where the limb form of the nodes begins are within 2 ulps of the true
// ones. Tabulated profiles: near_source_table.cpp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/gauss_legendre.hpp"
#include "lib/laws.hpp"
#include "lib/model_parts.hpp"
#include "lib/panel_rules.hpp"

namespace kalvorin::detail {

namespace {

// The limb form of the nodes (NodeMap) serves lenses at x ≥ 1/2 whose
// first panel spans less than this in r (see limb_span).
constexpr double LIMB_ZONE = 0.5;
constexpr double LIMB_SPAN = 0x1p-30;

// φ* = π/2 − asin x = 2 asin √((1 − x)/2), 1 − x exact for x ≥ 1/2.
inline double limb_angle(double x) noexcept { return 2 * std::asin(std::sqrt((1 - x) * 0.5)); }

// The singular panel of a lens on the limb, [π/2 − L, π/2]: besides the ring
// (r = 1, ln|1 − sin θ| ≈ 2 ln φ) M has branch points where f² + 4ε² = 0,
// r = 1 ± 2iε, i.e. φ = π/2 − θ ≈ 2√ε·e^{∓iπ/4}. With L = 2ε they lie 1/√ε
// panel lengths away, too close for the rules once ε > 0.15 (2e-14 at
// ε = 1/2, 9e-15 at 1/3 measured against mpmath); the cap keeps them at
// least 2.6 panel lengths away for every ε.
constexpr double LIMB_FIRST = 0.3;
inline double limb_first_panel(double eps) noexcept { return std::fmin(LIMB_FIRST, KAPPA * eps); }

// A panel of the θ interval, parametrised by s ∈ [0, 1] from e to o; on a
// singular panel ln|sin θ − x| = factor·ln s + (analytic).
struct Panel {
    double e, o;
    bool singular;
    double factor;
};

// Visits the panels for a lens at x (see the file comment), in no particular
// order; false when they could not be laid out (graded_panels).
template <class Visit>
bool for_each_panel(double x, double ts, double eps, Visit&& visit) {
    const double scale = KAPPA * eps;
    int panels = 0;
    bool complete = true;
    const auto graded = [&](double start, double end, double first) {
        complete = complete && graded_panels(start, end, first, panels,
                                             [&](double a, double b) { visit(Panel{a, b, false, 0.0}); });
    };
    if (x == 0.0) {
        graded(0.0, HALF_PI, std::fmin(HALF_PI, scale));
    } else if (x < 1.0) {
        const double L = std::fmin(std::fmin(HALF_PI - ts, ts * 0.5), scale);
        visit(Panel{ts, ts + L, true, 1.0});
        visit(Panel{ts, ts - L, true, 1.0});
        if (ts + L < HALF_PI) graded(ts + L, HALF_PI, L * 2);
        graded(ts - L, 0.0, L * 2);
    } else if (x == 1.0) {
        const double L = limb_first_panel(eps);
        visit(Panel{HALF_PI, HALF_PI - L, true, 2.0});
        graded(HALF_PI - L, 0.0, L * 2);
    } else {
        graded(HALF_PI, 0.0, std::fmin(std::acosh(x), scale));
    }
    return complete;
}


// A node of the θ interval: r = sin θ, the Jacobian 2πr cos θ, f = x − r.
struct Node {
    double r, wt, f, mu;  // mu = cos θ
};

// How far in r the first panel at the ring through the lens (or at the limb
// for x ≥ 1) reaches, with the lengths for_each_panel gives it: the distance
// x − r at its nodes is this times the node's s (or more).
inline double limb_span(double x, double phis, double eps) noexcept {
    const double scale = KAPPA * eps;
    if (x < 1.0) return phis * std::fmin(std::fmin(phis, (HALF_PI - phis) * 0.5), scale);
    const double L = x == 1.0 ? limb_first_panel(eps) : std::fmin(std::acosh(x), scale);
    return (x - 1) + (L * L) * 0.5;
}

// Nodes θ = e + L·s. Plain form: r = sin θ, f = x − r as computed, and the
// ring at θ* = asin x. There r and x − r carry absolute errors of ~1e-16,
// which cost a few ulps of the integral as long as no node's x − r rounds to
// 0 (the ring mean is then NaN). Limb form, when the first panel spans less
// than LIMB_SPAN in r (the lens within ~5e-10 of the limb for ε ≥ 1e-3, or a
// tiny ε): with φ = π/2 − θ, r = cos φ, cos θ = sin φ and f without
// cancellation,
//   x < 1: θ* = π/2 − φ*, θ = θ* + t, f = −2 sin(t/2)·sin(φ* − t/2);
//   x ≥ 1: f = (x − 1) + 2 sin²(φ/2).
struct NodeMap {
    double x, phis, ts;
    bool limb;
    NodeMap(double x_, double eps) noexcept
        : x(x_),
          phis(x_ >= LIMB_ZONE && x_ < 1.0 ? limb_angle(x_) : 0.0),
          ts(x_ >= 1.0 ? HALF_PI : 0.0),
          limb(x_ >= LIMB_ZONE && limb_span(x_, phis, eps) < LIMB_SPAN) {
        if (x_ < 1.0) ts = limb ? HALF_PI - phis : std::asin(x_);
    }
    Node at(double e, double L, double s) const noexcept {
        if (!limb) {
            const double theta = e + L * s;
            const double r = std::sin(theta);
            const double c = std::cos(theta);
            return {r, (r * TWO_PI) * c, x - r, c};
        }
        if (x < 1.0) {
            const double t = (e - ts) + L * s;
            const double phi = phis - t;
            const double r = std::cos(phi);
            const double f = (-2 * std::sin(t * 0.5)) * std::sin(phis - t * 0.5);
            const double c = std::sin(phi);
            return {r, (r * TWO_PI) * c, f, c};
        }
        const double phi = (HALF_PI - e) - L * s;
        const double r = std::cos(phi);
        const double h = std::sin(phi * 0.5);
        const double c = std::sin(phi);
        return {r, (r * TWO_PI) * c, (x - 1) + (h * h) * 2, c};
    }
};

// A smooth profile: Gauss–Legendre on regular panels, the log-corrected
// rule on singular ones.
template <class Profile>
double smooth_panel(const Panel& p, const NodeMap& map, double eps, const Profile& profile,
                    std::uint32_t& evaluations) {
    const double x = map.x;
    const double L = p.o - p.e;
    double sum = 0.0;
    if (!p.singular) {
        const auto& rule = unit_rule<N_REGULAR>();
        for (std::size_t i = 0; i < N_REGULAR; ++i) {
            const Node n = map.at(p.e, L, rule.s[i]);
            const double wt = n.wt * profile(n.r);
            sum = sum + rule.w[i] * (wt * ring_mean_fast_f(x, n.r, n.f, eps));
        }
        evaluations += N_REGULAR;
    } else {
        const auto& rule = unit_rule<N_SINGULAR>();
        for (std::size_t i = 0; i < N_SINGULAR; ++i) {
            const Node n = map.at(p.e, L, rule.s[i]);
            const double wt = n.wt * profile(n.r);
            const double h = wt * ring_mean_fast_f(x, n.r, n.f, eps);
            const double q = wt * ring_log_coefficient(x, n.r, eps);
            sum = sum + rule.w[i] * h + (p.factor * rule.c[i]) * q;
        }
        evaluations += 2 * N_SINGULAR;
    }
    return sum * std::fabs(L);
}

// The gradient sums on one panel: N with smooth_panel's arithmetic, and
// in θ (2πr cos θ dr-weights) Ñ, Q with −2π r³ I_μ M̃, U with −2π r² I_μ C
// (I_μ = dI/dμ; r I′(r) = −(r²/μ) I_μ), N_b with 2πr cos θ B_b M̃.
template <class Profile>
void gradient_panel(const Panel& p, const NodeMap& map, double eps, const Profile& profile,
                    const GradientChannels& ch, GradientSums& out) {
    const double x = map.x;
    const double L = p.o - p.e;
    GradientSums s{};
    const auto node = [&](double w, double c, const Node& n, bool singular) {
        const CentroidRing ring = ch.centroid ? centroid_ring(x, n.r, n.f, eps, ch.harmonic)
                                              : CentroidRing{ring_mean_fast_f(x, n.r, n.f, eps), 0.0};
        CentroidLogCoefficients q{{0.0, 0.0, 0.0}, 0.0};
        if (singular) {
            if (ch.centroid) q = centroid_log_coefficients(x, n.r, eps);
            else q.ring = ring_log_coefficients(x, n.r, eps);
        }
        const double M = ring.m;
        const double wt = n.wt * profile(n.r);
        s.n = s.n + w * (wt * M) + c * (wt * q.ring.m);
        if (ch.centroid) {
            s.c = s.c + w * (wt * ring.b) + c * (wt * q.b);
            s.c1 = s.c1 + w * (n.wt * ring.b) + c * (n.wt * q.b);
            if (ch.centroid_derivatives) {
                const double kq = -TWO_PI * ((n.r * n.r) * n.r) * ch.slope(n.mu);
                s.cq = s.cq + w * (kq * ring.b) + c * (kq * q.b);
                for (std::size_t b = 0; b < ch.nb; ++b) {
                    const double kb = n.wt * ch.basis(b, n.mu);
                    s.cb[b] = s.cb[b] + w * (kb * ring.b) + c * (kb * q.b);
                }
            }
        }
        if (!ch.derivatives) return;
        const double Mx = ring_mean_excess(x, n.r, n.f, eps, M);
        const double C = ring_dipole_f(x, n.r, n.f, eps);
        const double slope = ch.slope(n.mu);
        const double kq = -TWO_PI * ((n.r * n.r) * n.r) * slope;
        const double ku = -TWO_PI * (n.r * n.r) * slope;
        s.nx = s.nx + w * (wt * Mx) + c * (wt * q.ring.m);
        s.q = s.q + w * (kq * Mx) + c * (kq * q.ring.m);
        s.u = s.u + w * (ku * C) + c * (ku * q.ring.c);
        for (std::size_t b = 0; b < ch.nb; ++b) {
            const double kb = n.wt * ch.basis(b, n.mu);
            s.b[b] = s.b[b] + w * (kb * Mx) + c * (kb * q.ring.m);
        }
    };
    if (!p.singular) {
        const auto& rule = unit_rule<N_REGULAR>();
        for (std::size_t i = 0; i < N_REGULAR; ++i) node(rule.w[i], 0.0, map.at(p.e, L, rule.s[i]), false);
    } else {
        const auto& rule = unit_rule<N_SINGULAR>();
        for (std::size_t i = 0; i < N_SINGULAR; ++i)
            node(rule.w[i], p.factor * rule.c[i], map.at(p.e, L, rule.s[i]), true);
    }
    out.add(s, std::fabs(L), ch.nb);
}

}  // namespace

template <class Profile>
bool near_source_gradient(double x, double eps, const Profile& profile, const GradientChannels& ch,
                          GradientSums& out) noexcept {
    out = GradientSums{};
    const NodeMap map(x, eps);
    return for_each_panel(x, map.ts, eps, [&](const Panel& p) { gradient_panel(p, map, eps, profile, ch, out); });
}

template bool near_source_gradient<LinearProfile>(double, double, const LinearProfile&, const GradientChannels&,
                                                  GradientSums&) noexcept;
template bool near_source_gradient<PowerProfile>(double, double, const PowerProfile&, const GradientChannels&,
                                                 GradientSums&) noexcept;

template <class Profile>
double near_source_integral(double x, double eps, const Profile& profile, std::uint32_t* evaluations) noexcept {
    double sum = 0.0;
    std::uint32_t count = 0;
    const NodeMap map(x, eps);
    if (!for_each_panel(x, map.ts, eps, [&](const Panel& p) { sum = sum + smooth_panel(p, map, eps, profile, count); }))
        return std::numeric_limits<double>::quiet_NaN();
    if (evaluations) *evaluations = count;
    return sum;
}

template double near_source_integral<LinearProfile>(double, double, const LinearProfile&, std::uint32_t*) noexcept;
template double near_source_integral<PowerProfile>(double, double, const PowerProfile&, std::uint32_t*) noexcept;
}  // namespace kalvorin::detail
