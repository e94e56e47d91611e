// The physical domain of the models, and the ends of the float range.
//
// A source is described by separations l ≥ 0 and an Einstein radius re and
// a source radius rstar of the same sign, non-zero, all finite (only their
// ratio enters; for a single ring also re = 0, no lens: a mean of 1). Anything else has no magnification: the models give
// NaN for it, unless their elliptic kernels fail on it first (a NaN or
// negative separation in the closed forms), which stays a failure.
//
// Area-averaged magnifications (uniform disk, profiles), ρ = rstar/re the
// source radius in Einstein radii, x = l:
// - ρ < RHO_TINY: over the source the point lens magnifies like 1/d
//   (A(d) = (1/d)(1 + 3d²/8 + …), d ≤ ρ(x + 1) Einstein radii), so
//   A(x, ρ) = A(x, RHO_TINY)·RHO_TINY/ρ to a relative 1e-170 while
//   x ≤ POINT_SOURCE_FROM; beyond, the point-source magnification at ρx
//   (the finite-source terms are O(x⁻²) relative).
// - ρ > RHO_HUGE: A − 1 = O(ρ⁻²) wherever the lens is (the ring means
//   exceed 1 by O(ρ⁻¹ ln) only within ~1/ρ of the lens's ring): 1.
// - ρx ≥ 1e150 beyond the far-field zone: A − 1 ≈ 2/(ρx)⁴: 1.
// Between these ends the models' own zones serve (no intermediate over- or
// underflows); the same bits as without this layer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace kalvorin {

// (u² + 2)/(u √(u² + 4)), 1 to rounding beyond u = 1e150 (radial_integration.cpp).
double point_source_magnification(double u) noexcept;

namespace detail {

inline constexpr double RHO_TINY = 1e-100;
inline constexpr double RHO_HUGE = 1e10;
inline constexpr double POINT_SOURCE_FROM = 1e15;
inline constexpr double UNIT_FROM = 1e150;
inline constexpr double FAR_ZONE_FROM = 3.0;

inline bool physical_scale(double re, double rstar) noexcept {
    return std::fabs(re) < HUGE_VAL && std::fabs(rstar) < HUGE_VAL && ((re > 0.0 && rstar > 0.0) || (re < 0.0 && rstar < 0.0));
}

inline bool physical_separation(double x) noexcept { return x >= 0.0 && x < HUGE_VAL; }

// NaN for every separation outside the physical domain (all of them when
// re or rstar is).
inline void mark_outside_domain(std::span<const double> l, double re, double rstar, std::span<double> out) noexcept {
    const bool scale = physical_scale(re, rstar);
    for (std::size_t i = 0; i < l.size(); ++i)
        if (!scale || !physical_separation(l[i])) out[i] = std::numeric_limits<double>::quiet_NaN();
}

// compute(x, re, rstar, out) → failure or nullptr, an area-averaged model;
// run at the ends of the float range as the file comment says. Failures
// come only from the points `compute` is run on, in list order.
template <class Compute>
const char* over_float_range(std::span<const double> x, double re, double rstar, std::span<double> out,
                             Compute&& compute) {
    const double rho = rstar / re;
    const bool scale = physical_scale(re, rstar);
    const bool tiny = scale && rho < RHO_TINY, huge = scale && rho > RHO_HUGE;
    // What each valid point gets: 0 the model as called, 1 the value 1,
    // 2 the point source, 3 the model at RHO_TINY, scaled.
    const auto kind = [&](double xi) -> int {
        if (!scale || !physical_separation(xi)) return 0;
        if (huge) return 1;
        if (tiny) return xi > POINT_SOURCE_FROM ? 2 : 3;
        return xi > FAR_ZONE_FROM && rho * xi >= UNIT_FROM ? 1 : 0;
    };
    std::size_t special = 0;
    for (const double xi : x) special += kind(xi) != 0;
    if (special == 0) return compute(x, re, rstar, out);

    std::vector<double> as_called, scaled;
    std::vector<std::size_t> where_called, where_scaled;
    for (std::size_t i = 0; i < x.size(); ++i) {
        switch (kind(x[i])) {
        case 0: as_called.push_back(x[i]), where_called.push_back(i); break;
        case 1: out[i] = 1.0; break;
        case 2: out[i] = kalvorin::point_source_magnification(rho * x[i]); break;
        default: scaled.push_back(x[i]), where_scaled.push_back(i); break;
        }
    }
    std::vector<double> values(std::max(as_called.size(), scaled.size()));
    if (!as_called.empty()) {
        if (const char* failure = compute(std::span<const double>(as_called), re, rstar,
                                          std::span<double>(values.data(), as_called.size())))
            return failure;
        for (std::size_t j = 0; j < as_called.size(); ++j) out[where_called[j]] = values[j];
    }
    if (!scaled.empty()) {
        if (const char* failure = compute(std::span<const double>(scaled), 1.0, RHO_TINY,
                                          std::span<double>(values.data(), scaled.size())))
            return failure;
        const double factor = RHO_TINY / rho;
        for (std::size_t j = 0; j < scaled.size(); ++j) out[where_scaled[j]] = values[j] * factor;
    }
    return nullptr;
}

}  // namespace detail
}  // namespace kalvorin
