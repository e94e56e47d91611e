// Radial brightness laws of the source (limb darkening) and what the radial
// integration derives from a law once: its far-field moments, its exact
// flux and, for a table, its linear pieces and product-rule weights.
// Plain values; nothing here touches a Python object.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
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

// What a profile contributes to the integrals, derived once.
struct ProfileData {
    ProfileMoments moments;
    double flux = 0.0;  // exact ∫_0^1 2πr I(r) dr
    TablePieces table;  // a table's linear pieces (empty for a law)
};

// Moments and flux of the linear law with coefficient c (closed form).
ProfileData linear_profile_data(double c);

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
    enum class Kind { uniform, linear, table };

    static SourceLaw uniform();
    // I(μ) = 1 − c(1 − μ).
    static SourceLaw linear(double c);
    // Linear interpolation through (r[j], intensity[j]), 0 outside; radii
    // non-decreasing in [0, 1] (equal radii make a jump), equal lengths.
    static SourceLaw table(std::vector<double> r, std::vector<double> intensity);

    Kind kind() const noexcept { return kind_; }
    double coefficient() const noexcept { return profile_.c; }
    const detail::LinearProfile& linear_profile() const noexcept { return profile_; }
    const PiecewiseLinear& table_profile() const noexcept { return table_; }
    const detail::ProfileData& data() const noexcept { return data_; }
    const std::vector<double>& breakpoints() const noexcept { return points_; }
    const std::array<double, 24>& weights24() const noexcept { return weights24_; }
    const std::array<double, 36>& weights36() const noexcept { return weights36_; }

private:
    SourceLaw(Kind kind, double c, PiecewiseLinear table);

    Kind kind_;
    detail::LinearProfile profile_;
    PiecewiseLinear table_;
    std::vector<double> points_;
    detail::ProfileData data_;
    std::array<double, 24> weights24_{};
    std::array<double, 36> weights36_{};
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
