// Radial brightness laws of the source (limb darkening) and what the radial
// integration derives from a law once: its far-field moments, its exact
// flux and, for a table, its linear pieces and product-rule weights.
// Plain values; nothing here touches a Python object.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/interp.hpp"
#include "lib/model_parts.hpp"

namespace kalvorin {

namespace detail {

// Linear limb darkening I(r) = 1 − c(1 − μ), μ = √(1 − r²), evaluated in
// this order: t = 1 − r², s = √t, 1 + (1 − s)·(−c).
struct LinearProfile {
    double c;
    double operator()(double r) const noexcept {
        const double t = 1 - r * r;
        const double s = std::sqrt(t);
        return 1 + (1 - s) * (-c);
    }
};

// A sum of power profiles and a logarithmic one,
//   I(μ) = c0 + Σ_k c_k μ^{p_k} + f·μ ln μ,   μ = √(1 − r²), p_k > 0,
// which covers the quadratic, square-root, logarithmic, power-2 and
// four-parameter laws. Near the limb (μ → 0) the terms with p_k not an
// integer, and μ ln μ, are not smooth in θ (r = sin θ): the panel at the limb
// is integrated in μ with product weights for each term (near_source_power.cpp).
inline constexpr std::size_t MAX_POWER_TERMS = 4;
inline constexpr std::size_t LIMB_NODES = 16;

struct PowerProfile {
    enum class Power { half, one, three_halves, two, other };
    struct Term {
        double c, p;
        Power kind;
    };
    double c0 = 1.0;
    std::array<Term, MAX_POWER_TERMS> terms{};
    std::size_t n = 0;
    double f = 0.0;  // coefficient of μ ln μ
    bool smooth = true;  // every p_k an integer and f = 0: no limb treatment

    // Product weights of the LIMB_NODES Legendre points s_i on [0, 1]:
    // weights[b][l][i] = ∫_0^1 ℓ_i(s) s^{a_b} ln^l s ds for the basis terms b
    // (the constant, then the terms, then μ ln μ) with a_b = p_b + 1 (the
    // Jacobian μ of r dr = −μ dμ), l = 0, 1, 2.
    using Weights = std::array<std::array<double, LIMB_NODES>, 3>;
    std::array<Weights, MAX_POWER_TERMS + 2> weights{};

    double at_mu(double mu) const noexcept {
        double v = c0;
        for (std::size_t k = 0; k < n; ++k) {
            const Term& t = terms[k];
            double m;
            switch (t.kind) {
            case Power::half: m = std::sqrt(mu); break;
            case Power::one: m = mu; break;
            case Power::three_halves: m = mu * std::sqrt(mu); break;
            case Power::two: m = mu * mu; break;
            default: m = std::pow(mu, t.p); break;
            }
            v = v + t.c * m;
        }
        if (f != 0.0 && mu > 0.0) v = v + f * (mu * std::log(mu));
        return v;
    }
    double operator()(double r) const noexcept {
        const double t = (1 - r) * (1 + r);
        return at_mu(std::sqrt(t > 0.0 ? t : 0.0));
    }
};

// The channels a gradient integrates besides the value (derivatives.cpp):
// the law's slope dI/dμ = d_const + d_log·ln μ + Σ_k d_c[k] μ^{d_p[k]}
// (d_p > −1), and basis terms B_b = μ^{b_p[b]} (times ln μ where b_log[b])
// whose coefficients the gradient is taken with respect to. For the limb
// panel in μ (near_source_power.cpp), product weights of each: W^0 for
// d_const and d_log, W^{d_p} for the slope's powers, W^{b_p + 1} for the
// basis terms (the Jacobian μ of r dr = −μ dμ).
struct GradientChannels {
    // What the panels integrate besides N: the derivatives' sums, and the
    // centroid's C (centroid.cpp); with derivatives off, only N and C.
    bool derivatives = true, centroid = false;
    // With the centroid: cq and cb, r I′ and the basis against b (its derivatives);
    // without `harmonic` every centroid channel takes b less its harmonic part.
    bool centroid_derivatives = false, harmonic = true;
    double d_const = 0.0, d_log = 0.0;
    std::array<double, MAX_POWER_TERMS> d_c{}, d_p{};
    std::size_t d_n = 0;
    std::array<double, MAX_GRADIENT_BASIS> b_p{};
    std::array<bool, MAX_GRADIENT_BASIS> b_log{};
    std::size_t nb = 0;
    PowerProfile::Weights w_const{};
    std::array<PowerProfile::Weights, MAX_POWER_TERMS> w_d{};
    std::array<PowerProfile::Weights, MAX_GRADIENT_BASIS> w_b{};

    double slope(double mu) const noexcept {
        double v = d_const;
        for (std::size_t k = 0; k < d_n; ++k) v = v + d_c[k] * power(mu, d_p[k]);
        if (d_log != 0.0) v = v + d_log * std::log(mu);
        return v;
    }
    double basis(std::size_t b, double mu) const noexcept {
        const double v = power(mu, b_p[b]);
        return b_log[b] ? (mu > 0.0 ? v * std::log(mu) : 0.0) : v;
    }
    static double power(double mu, double p) noexcept {
        if (p == 0.0) return 1.0;
        if (p == 1.0) return mu;
        if (p == 2.0) return mu * mu;
        if (p == 0.5) return std::sqrt(mu);
        if (p == -0.5) return 1 / std::sqrt(mu);
        if (p == 1.5) return mu * std::sqrt(mu);
        return std::pow(mu, p);
    }
};

// Sums of a gradient integral: the value N = ∫ 2πr I M dr, and with the
// ring means' excess M̃ = M − 1 (ring_mean_excess: the constant part drops
// out of every derivative, and M − 1 by subtraction would lose what a large
// source leaves of it) Ñ = ∫ 2πr I M̃ dr, Q = ∫ 2πr² I′ M̃ dr and
// N_b = ∫ 2πr B_b M̃ dr; U = ∫ 2πr I′ C dr (C the dipole ring mean); and
// the centroid's numerator c = ∫ 2πr I b dr (b the ring's centroid term,
// centroid.cpp) and c1 = ∫ 2πr b dr with the same nodes (I = 1 there);
// with centroid_derivatives, cq = ∫ 2πr² I′ b dr and cb_b = ∫ 2πr B_b b dr.
struct GradientSums {
    double n = 0.0, nx = 0.0, q = 0.0, u = 0.0, c = 0.0, c1 = 0.0, cq = 0.0;
    std::array<double, MAX_GRADIENT_BASIS> b{}, cb{};

    // Adds a panel's sums times its length (or 2π), the first nb basis terms.
    void add(const GradientSums& panel, double scale, std::size_t nb) noexcept {
        n = n + panel.n * scale;
        nx = nx + panel.nx * scale;
        q = q + panel.q * scale;
        u = u + panel.u * scale;
        c = c + panel.c * scale;
        c1 = c1 + panel.c1 * scale;
        cq = cq + panel.cq * scale;
        for (std::size_t k = 0; k < nb; ++k) b[k] = b[k] + panel.b[k] * scale;
        for (std::size_t k = 0; k < nb; ++k) cb[k] = cb[k] + panel.cb[k] * scale;
    }
};

// W^{a,l}_i of near_source_power.cpp for exponent a > −1.
void limb_product_weights(double a, PowerProfile::Weights& weights) noexcept;

// The gradient sums near the source, on the panels of the value integral
// and with its arithmetic for N (the same bits): smooth profiles for
// 0 ≤ x < 1.05 (near_source.cpp), the power profiles for 0 ≤ x
// (near_source_power.cpp). False when the panels cannot be laid out.
template <class Profile>
bool near_source_gradient(double x, double eps, const Profile& profile, const GradientChannels& ch,
                          GradientSums& out) noexcept;
bool near_source_gradient_power(double x, double eps, const PowerProfile& profile, const GradientChannels& ch,
                                GradientSums& out) noexcept;

// What a profile contributes to the integrals, derived once.
struct ProfileData {
    ProfileMoments moments;
    double flux = 0.0;  // exact ∫_0^1 2πr I(r) dr
    TablePieces table;  // a table's linear pieces (empty for a law)
};

// Moments and flux of the linear law with coefficient c (closed form).
ProfileData linear_profile_data(double c);

// The profile c0 + Σ c_k μ^{p_k} + f μ ln μ with its limb weights.
PowerProfile make_power_profile(double c0, std::span<const double> c, std::span<const double> p, double f);
// Its moments (Beta functions) and flux.
ProfileData power_profile_data(const PowerProfile& profile);
// Sets profile.weights (near_source_power.cpp).
void set_limb_weights(PowerProfile& profile) noexcept;
// ∫_0^1 2πr I(r) M(x, r) dr for 0 ≤ x < 3 with the limb panel in μ
// (near_source_power.cpp); NaN when the panels cannot be laid out.
double near_source_integral_power(double x, double eps, const PowerProfile& profile,
                                  std::uint32_t* evaluations) noexcept;

// Breakpoints of [0, 1]: the ends and the table radii strictly inside.
std::vector<double> radius_breakpoints(const std::vector<double>& table_radii);

// A table's linear pieces between consecutive breakpoints, and its moments.
TablePieces table_pieces(const PiecewiseLinear& profile, const std::vector<double>& points);
ProfileData table_profile_data(TablePieces table);

}  // namespace detail

// A brightness law of the source, built once and then only read: several
// threads may integrate with the same law at once.
class SourceLaw {
public:
    enum class Kind { uniform, linear, table, power };

    static SourceLaw uniform();
    // I(μ) = 1 − c(1 − μ).
    static SourceLaw linear(double c);
    // Linear interpolation through (r[j], intensity[j]), 0 outside; radii
    // non-decreasing in [0, 1] (equal radii make a jump), equal lengths.
    static SourceLaw table(std::vector<double> r, std::vector<double> intensity);
    // I(μ) = c0 + Σ_k c[k] μ^{p[k]} + f·μ ln μ (at most MAX_POWER_TERMS terms,
    // p[k] > 0).
    static SourceLaw power(double c0, std::vector<double> c, std::vector<double> p, double f);

    Kind kind() const noexcept { return kind_; }
    double coefficient() const noexcept { return profile_.c; }
    const detail::LinearProfile& linear_profile() const noexcept { return profile_; }
    const PiecewiseLinear& table_profile() const noexcept { return table_; }
    const detail::PowerProfile& power_profile() const noexcept { return power_; }
    const detail::ProfileData& data() const noexcept { return data_; }
    const std::vector<double>& breakpoints() const noexcept { return points_; }
    const std::array<double, 24>& weights24() const noexcept { return weights24_; }
    const std::array<double, 36>& weights36() const noexcept { return weights36_; }
    // A table's points as given.
    const std::vector<double>& table_radii() const noexcept { return table_r_; }
    const std::vector<double>& table_intensities() const noexcept { return table_i_; }

private:
    SourceLaw(Kind kind, double c, PiecewiseLinear table);

    Kind kind_;
    detail::LinearProfile profile_;
    PiecewiseLinear table_;
    detail::PowerProfile power_;
    std::vector<double> points_;
    detail::ProfileData data_;
    std::array<double, 24> weights24_{};
    std::array<double, 36> weights36_{};
    std::vector<double> table_r_, table_i_;
};

// Magnification of a source with brightness law `law`, lens at x[i] source
// radii from its centre (re, rstar as in models.hpp), into out[i]. Returns
// the first kernel failure in list order (only the uniform law's closed form
// can fail, at absurd sizes), or nullptr.
const char* law_magnifications(const SourceLaw& law, std::span<const double> x, double re, double rstar,
                               std::span<double> out);

// Point-lens magnification (u² + 2)/(u√(u² + 4)), u in Einstein radii
// (+inf at u = 0, 1 beyond u = 1e150 where u² would overflow).
double point_source_magnification(double u) noexcept;

// Magnifications with the lens at u[i] Einstein radii from the source centre
// and the source radius rho in Einstein radii (rho = 0: the point source),
// for finite u[i] ≥ 0 and finite rho ≥ 0; `scratch` holds u.size() doubles.
// Returns the first kernel failure in list order, or nullptr.
const char* einstein_magnifications(const SourceLaw& law, std::span<const double> u, double rho,
                                    std::span<double> out, std::span<double> scratch);

}  // namespace kalvorin
