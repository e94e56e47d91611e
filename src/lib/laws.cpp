// Brightness laws of the source, I(μ) relative to the centre, μ = √(1 − r²),
// r the fractional radius:
// - uniform: I = 1; the magnification is the uniform disk's (uniform_disk.cpp).
// - linear: I = 1 − c(1 − μ) for any c; moments in closed form,
//     ∫_0^1 r^{2k} I(r) 2r dr = (1 − c)/(k + 1) + c·B(k + 1, 3/2),
//     B(1, 3/2) = 2/3, B(k + 1, 3/2) = B(k, 3/2)·k/(k + 3/2),
//   flux π[(1 − c) + 2c/3]. The radial integral (radial_integration.cpp,
//   near_source.cpp) evaluates the law at its nodes in the order of
//   LinearProfile, so c = 0.6 gives the bits of the built-in law of the
//   source-radius functions.
// - table: linear interpolation through (r_j, I_j), 0 outside the table;
//   linear pieces between the breakpoints, moments per piece in closed form
//   (a steep piece by an exact Gauss–Legendre rule), product-rule weights
//   against the pieces (near_source_table.cpp) computed once per law.
// - power: I = c0 + Σ_k c_k μ^{p_k} + f·μ ln μ (the quadratic, square-root,
//   logarithmic, power-2 and four-parameter laws); moments
//     ∫_0^1 r^{2k} μ^p 2r dr = B(k + 1, p/2 + 1),
//     ∫_0^1 r^{2k} μ ln μ 2r dr = −½ B(k + 1, 3/2) Σ_{j=0}^{k} 1/(3/2 + j)
//   (the derivative in p at p = 1); near the source near_source_power.cpp, or
//   the linear law's path when every power is an integer and f = 0.
// Measured accuracy of the magnifications in Einstein radii against mpmath
// (tests/reference/gen_fspl_reference.py; benchmarks/fspl_accuracy.py prints
// it by zone), ρ from 1e-4 to 1e3, u from 0 to 1e6: uniform ≤ 6.0e-15 (just
// outside the limb; closed form, uniform_disk.cpp), linear with c from −0.5
// to 1 ≤ 2.2e-15 (on the limb; ≤ 1.3e-15 elsewhere), tables ≤ 6.7e-16; the
// power-law profiles (gen_fspl_laws_reference.py: quadratic, square-root,
// logarithmic, power-2, four-parameter) ≤ 2.7e-15 (quadratic on the limb;
// ≤ 1.1e-15 off it).
#include "lib/laws.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/gauss_legendre.hpp"

namespace kalvorin {
namespace detail {

ProfileData linear_profile_data(double c) {
    ProfileData d{};
    double beta = 2.0 / 3.0;
    const double total = (1 - c) + c * beta;
    for (int k = 0; k < FAR_FIELD_MAX_TERMS; ++k) {
        if (k > 0) beta = beta * (k / (k + 1.5));
        d.moments.mu[k] = ((1 - c) / (k + 1) + c * beta) / total;
    }
    d.flux = PI * total;
    d.moments.classify();
    return d;
}

PowerProfile make_power_profile(double c0, std::span<const double> c, std::span<const double> p, double f) {
    KALVORIN_ASSERT_EQ_LEN(c, p);
    PowerProfile profile;
    profile.c0 = c0;
    profile.f = f;
    profile.smooth = f == 0.0;
    for (std::size_t k = 0; k < c.size() && k < MAX_POWER_TERMS; ++k) {
        using P = PowerProfile::Power;
        const double q = p[k];
        const P kind = q == 0.5 ? P::half : q == 1.0 ? P::one : q == 1.5 ? P::three_halves : q == 2.0 ? P::two : P::other;
        profile.terms[k] = {c[k], q, kind};
        profile.n = k + 1;
        profile.smooth = profile.smooth && q == std::floor(q);
    }
    set_limb_weights(profile);
    return profile;
}

// ∫_0^1 r^{2k} μ^p 2r dr = B(k + 1, p/2 + 1) (t = μ² = 1 − r²), from
// B(1, b) = 1/b and B(k + 1, b) = B(k, b)·k/(k + b); for μ ln μ the
// derivative in p at p = 1, ½ B(k + 1, 3/2)(ψ(3/2) − ψ(k + 5/2))
// = −½ B(k + 1, 3/2) Σ_{j=0}^{k} 1/(3/2 + j).
ProfileData power_profile_data(const PowerProfile& profile) {
    constexpr int K = FAR_FIELD_MAX_TERMS;
    double sums[K];
    std::array<double, MAX_POWER_TERMS> beta{};
    for (std::size_t j = 0; j < profile.n; ++j) beta[j] = 1.0 / (profile.terms[j].p * 0.5 + 1.0);
    double beta_log = 2.0 / 3.0, harmonic = 2.0 / 3.0;
    for (int k = 0; k < K; ++k) {
        if (k > 0) {
            for (std::size_t j = 0; j < profile.n; ++j) beta[j] = beta[j] * (k / (k + profile.terms[j].p * 0.5 + 1.0));
            beta_log = beta_log * (k / (k + 1.5));
            harmonic = harmonic + 1.0 / (k + 1.5);
        }
        double s = profile.c0 / (k + 1);
        for (std::size_t j = 0; j < profile.n; ++j) s = s + profile.terms[j].c * beta[j];
        s = s + profile.f * (-0.5 * beta_log * harmonic);
        sums[k] = s;
    }
    ProfileData d{};
    for (int k = 0; k < K; ++k) d.moments.mu[k] = sums[k] / sums[0];
    d.flux = PI * sums[0];
    d.moments.classify();
    return d;
}

std::vector<double> radius_breakpoints(const std::vector<double>& table_radii) {
    std::vector<double> points{0.0, 1.0};
    for (const double b : table_radii)
        if (b > 0.0 && b < 1.0) points.push_back(b);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// Each piece from the profile's values at two inner points (jumps sit at
// the piece ends).
TablePieces table_pieces(const PiecewiseLinear& profile, const std::vector<double>& points) {
    TablePieces t;
    t.pieces.reserve(points.size());
    for (std::size_t j = 0; j + 1 < points.size(); ++j) {
        const double a = points[j], b = points[j + 1];
        const double w = b - a;
        const double r1 = a + 0.25 * w, r2 = a + 0.75 * w, rc = a + 0.5 * w;
        const double I1 = profile(r1), I2 = profile(r2);
        const double ic = 0.5 * (I1 + I2);
        t.pieces.push_back({a, b, rc, ic, (I2 - I1) / (r2 - r1)});
        t.scale = std::fmax(t.scale, std::fabs(ic));
    }
    return t;
}

// With I = A + B r on [a, b],
// ∫_a^b r^{2k} I 2r dr = 2A (b^{2k+2} − a^{2k+2})/(2k + 2) + 2B (b^{2k+3} − a^{2k+3})/(2k + 3),
// accurate to rounding in absolute terms when |B| is of the order of the
// profile; a steep piece (a jump resolved by a narrow piece), whose two terms
// would cancel, by a 25-point Gauss–Legendre rule (exact for these degrees).
ProfileData table_profile_data(TablePieces table) {
    constexpr int K = FAR_FIELD_MAX_TERMS;
    double sums[K] = {};
    for (const TablePiece& q : table.pieces) {
        const double a = q.ra, b = q.rb;
        if (std::fabs(q.slope) <= 8.0 * table.scale) {
            const double A = q.ic - q.slope * q.rc, B = q.slope;
            const double a2 = a * a, b2 = b * b;
            double pa = a2, pb = b2;  // a^{2k+2}, b^{2k+2}
            for (int k = 0; k < K; ++k) {
                const double n = 2.0 * k + 2.0;
                sums[k] = sums[k] + (2 * A) * ((pb - pa) / n) + (2 * B) * ((pb * b - pa * a) / (n + 1));
                pa = pa * a2;
                pb = pb * b2;
            }
            continue;
        }
        const auto& gl = gauss_legendre<25>();
        const double hw = (b - a) * 0.5, mid = (a + b) * 0.5;
        for (std::size_t i = 0; i < gl.x.size(); ++i) {
            const double r = mid + hw * gl.x[i];
            double term = (gl.w[i] * hw) * (2 * r) * (q.ic + q.slope * (r - q.rc));
            const double r2 = r * r;
            for (int k = 0; k < K; ++k) {
                sums[k] = sums[k] + term;
                term = term * r2;
            }
        }
    }
    ProfileData d{};
    for (int k = 0; k < K; ++k) d.moments.mu[k] = sums[k] / sums[0];
    d.flux = PI * sums[0];
    d.moments.classify();
    d.table = std::move(table);
    return d;
}

}  // namespace detail

SourceLaw::SourceLaw(Kind kind, double c, PiecewiseLinear table)
    : kind_(kind), profile_{c}, table_(std::move(table)) {}

SourceLaw SourceLaw::uniform() {
    SourceLaw law(Kind::uniform, 0.0, PiecewiseLinear({}, {}, 0.0));
    law.data_ = detail::linear_profile_data(0.0);
    law.points_ = detail::radius_breakpoints({});
    return law;
}

SourceLaw SourceLaw::linear(double c) {
    SourceLaw law(Kind::linear, c, PiecewiseLinear({}, {}, 0.0));
    law.data_ = detail::linear_profile_data(c);
    law.points_ = detail::radius_breakpoints({});
    return law;
}

SourceLaw SourceLaw::power(double c0, std::vector<double> c, std::vector<double> p, double f) {
    SourceLaw law(Kind::power, 0.0, PiecewiseLinear({}, {}, 0.0));
    law.power_ = detail::make_power_profile(c0, c, p, f);
    law.data_ = detail::power_profile_data(law.power_);
    law.points_ = detail::radius_breakpoints({});
    return law;
}

SourceLaw SourceLaw::table(std::vector<double> r, std::vector<double> intensity) {
    std::vector<double> points = detail::radius_breakpoints(r);
    std::vector<double> r_given = r, i_given = intensity;
    SourceLaw law(Kind::table, 0.0, PiecewiseLinear(std::move(r), std::move(intensity), 0.0));
    law.table_r_ = std::move(r_given);
    law.table_i_ = std::move(i_given);
    law.data_ = detail::table_profile_data(detail::table_pieces(law.table_, points));
    law.points_ = std::move(points);
    law.weights24_ = detail::table_product_weights<24>(law.data_.table);
    law.weights36_ = detail::table_product_weights<36>(law.data_.table);
    return law;
}

}  // namespace kalvorin
