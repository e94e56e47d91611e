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
// 2 ln(π/2 − θ)); just outside it (1 < x < 1.05) M is analytic on the
// interval with singularities at θ = π/2 ± i·acosh x, and the panels double
// from π/2 with first length min(acosh x, 2ε). The ring means come from one
// Bulirsch integral each (ring_mean_fast).
//
// Accuracy: ≤ 9e-15 relative against mpmath for the built-in law, x from
// 0 to 1.05 and ρ from 1e-3 to 10 (≤ 1.8e-15 except within 1e-6 of the
// limb), with 40–140 ring evaluations. Tabulated profiles:
// near_source_table.cpp.
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

constexpr std::size_t N_REGULAR = 12;
constexpr std::size_t N_SINGULAR = 14;
constexpr double KAPPA = 2.0;
constexpr double HALF_PI = 1.5707963267948966;

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
bool for_each_panel(double x, double eps, Visit&& visit) {
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
        const double ts = std::asin(x);
        const double L = std::fmin(std::fmin(HALF_PI - ts, ts * 0.5), scale);
        visit(Panel{ts, ts + L, true, 1.0});
        visit(Panel{ts, ts - L, true, 1.0});
        if (ts + L < HALF_PI) graded(ts + L, HALF_PI, L * 2);
        graded(ts - L, 0.0, L * 2);
    } else if (x == 1.0) {
        const double L = std::fmin(HALF_PI * 0.5, scale);
        visit(Panel{HALF_PI, HALF_PI - L, true, 2.0});
        graded(HALF_PI - L, 0.0, L * 2);
    } else {
        graded(HALF_PI, 0.0, std::fmin(std::acosh(x), scale));
    }
    return complete;
}

// 2πr cos θ at r = sin θ.
inline double jacobian(double theta, double& r) noexcept {
    r = std::sin(theta);
    return (r * TWO_PI) * std::cos(theta);
}

// A smooth profile: Gauss–Legendre on regular panels, the log-corrected
// rule on singular ones.
template <class Profile>
double smooth_panel(const Panel& p, double x, double eps, const Profile& profile, std::uint32_t& evaluations) {
    const double L = p.o - p.e;
    double sum = 0.0;
    if (!p.singular) {
        const auto& rule = unit_rule<N_REGULAR>();
        for (std::size_t i = 0; i < N_REGULAR; ++i) {
            double r;
            const double wt = jacobian(p.e + L * rule.s[i], r) * profile(r);
            sum = sum + rule.w[i] * (wt * ring_mean_fast(x, r, eps));
        }
        evaluations += N_REGULAR;
    } else {
        const auto& rule = unit_rule<N_SINGULAR>();
        for (std::size_t i = 0; i < N_SINGULAR; ++i) {
            double r;
            const double wt = jacobian(p.e + L * rule.s[i], r) * profile(r);
            const double h = wt * ring_mean_fast(x, r, eps);
            const double q = wt * ring_log_coefficient(x, r, eps);
            sum = sum + rule.w[i] * h + (p.factor * rule.c[i]) * q;
        }
        evaluations += 2 * N_SINGULAR;
    }
    return sum * std::fabs(L);
}

}  // namespace

template <class Profile>
double near_source_integral(double x, double eps, const Profile& profile, std::uint32_t* evaluations) noexcept {
    double sum = 0.0;
    std::uint32_t count = 0;
    if (!for_each_panel(x, eps, [&](const Panel& p) { sum = sum + smooth_panel(p, x, eps, profile, count); }))
        return std::numeric_limits<double>::quiet_NaN();
    if (evaluations) *evaluations = count;
    return sum;
}

template double near_source_integral<LinearProfile>(double, double, const LinearProfile&, std::uint32_t*) noexcept;
template double near_source_integral<PowerProfile>(double, double, const PowerProfile&, std::uint32_t*) noexcept;
}  // namespace kalvorin::detail
