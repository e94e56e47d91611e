// Exact derivatives of the magnification of a source with a brightness law:
// in the lens position u, the source radius ρ (both in Einstein radii) and
// the coefficients of basis terms of the law (derivatives.cpp).
#pragma once

#include <cstddef>
#include <array>
#include <functional>
#include <span>
#include <vector>

#include "lib/laws.hpp"

namespace kalvorin {

// A basis term μ^p (times ln μ when log) of a law's parameter derivatives:
// a law's ∂I/∂θ_j is a fixed combination of such terms.
struct BasisTerm {
    double p;
    bool log;
};

// What the gradients of one law need, derived once: the channels of the
// radial integral, the basis terms' fluxes and far-field moment differences.
// A table's basis terms are its points' hat functions (∂I/∂I_j), and its
// slope I′ is piecewise constant with jumps (ΔI at r_j: I′ ∋ −ΔI δ(r − r_j)).
class LawGradient {
public:
    // At most detail::MAX_GRADIENT_BASIS terms, p ≥ 0 (AssertionFailure
    // otherwise); the uniform law and tables take none.
    LawGradient(const SourceLaw& law, std::span<const BasisTerm> basis);

    enum class Layout { uniform, smooth, power, table };

    struct Jump {
        double r, dI;  // I(r⁻) − I(r⁺)
    };
    struct TableChannels {
        std::vector<detail::TablePieces> hats;
        detail::TablePieces slope, moment;  // I′ and r·I′ between the jumps
        std::vector<std::array<double, 24>> hat24;
        std::vector<std::array<double, 36>> hat36;
        std::array<double, 24> slope24{}, moment24{};
        std::array<double, 36> slope36{}, moment36{};
        std::vector<Jump> jumps;
    };

    const SourceLaw& law() const noexcept { return law_; }
    Layout layout() const noexcept { return layout_; }
    std::size_t basis_size() const noexcept { return basis_flux_.size(); }
    const detail::GradientChannels& channels() const noexcept { return ch_; }
    const detail::PowerProfile& power_profile() const noexcept { return power_; }
    const TableChannels& table() const noexcept { return table_; }
    // True when the value integral of the layout differs from the law's own
    // (the values then come from the law's integral).
    bool separate_value() const noexcept { return separate_value_; }
    double limb_intensity() const noexcept { return limb_intensity_; }
    double basis_flux(std::size_t b) const noexcept { return basis_flux_[b]; }
    // ν_{b,k} at [b·FAR_FIELD_MAX_TERMS + k].
    const double* moment_differences() const noexcept { return nu_.data(); }

private:
    void set_table();

    const SourceLaw& law_;
    Layout layout_ = Layout::smooth;
    detail::PowerProfile power_;
    detail::GradientChannels ch_;
    TableChannels table_;
    bool separate_value_ = false;
    double limb_intensity_ = 1.0;
    std::vector<double> basis_flux_, nu_;
};

namespace detail {

// The radial sums of GradientSums for a lens at x < 3 source radii (outside
// the far field), on the rules of the law's layout with the value's
// arithmetic for N (its bits): the derivatives' channels (gradient), N and
// the centroid's numerator c (centroid), with these the centroid's cq and
// cb against b (centroid_gradient), or everything at the same nodes (all).
// Not thread-safe (a table keeps scratch sums); one per thread and source
// radius.
class RadialSums {
public:
    enum class Mode { gradient, centroid, centroid_gradient, all };
    RadialSums(const LawGradient& g, double rho, Mode mode);
    // False when the panels cannot be laid out. db: the basis terms' N_b,
    // dcb their cb (basis_size() each, as the mode has them).
    bool at(double x, GradientSums& s, double* db, double* dcb = nullptr);
    bool centroid_derivatives() const noexcept { return ch_.centroid_derivatives; }
    // The same sums for a uniform source (I = 1, the flat linear profile).
    bool flat(double x, GradientSums& s) const;

private:
    template <class Profile>
    bool smooth_sums(double x, const Profile& profile, GradientSums& s) const;
    template <std::size_t M, class Profile>
    void theta_rule(double x, const Profile& profile, GradientSums& out) const;
    bool table_sums(double x, GradientSums& s, double* db, double* dcb);
    template <std::size_t M>
    void product_rule(double x, const double* value, const std::array<double, M>& moment,
                      const std::array<double, M>& slope, const std::vector<std::array<double, M>>& hats,
                      GradientSums& s, double* db, double* dcb) const;

    const LawGradient& g_;
    double eps_;
    std::size_t nb_;
    GradientChannels ch_;
    std::vector<TableChannel> channels_, channels_x_;
    std::size_t centroid_at_ = 0;  // a table's first centroid channel
    std::vector<double> sums_;
    TablePieces flat_;  // I = 1 on [0, 1]
};

// The ring sums behind one point's gradient, with the centroid's channels
// (RadialSums::Mode::all): taken at x (2^-60 near the centre), dcb the
// basis terms' cb; taken = false where the point took no rings.
struct PointSums {
    bool taken = false;
    double x = 0.0;
    GradientSums s;
    std::vector<double> dcb;
};

}  // namespace detail

// Receives (point index, its sums) for every point of einstein_gradients.
using PointSumsSink = std::function<void(std::size_t, const detail::PointSums&)>;

// Outputs of einstein_gradients, each of u's length (dbasis: basis_size()
// values per point, point-major).
struct GradientOut {
    std::span<double> a, du, drho, dbasis;
};

// A, ∂A/∂u, ∂A/∂ρ and ∂A/∂β_b (β_b the coefficient of basis term b added to
// the law) at u[i] Einstein radii for a source of radius rho, for finite
// u[i] ≥ 0 and finite rho ≥ 0. A has the bits of einstein_magnifications.
// ±inf where a derivative diverges (the lens on the limb of a source whose
// limb is bright); NaN for rho outside [1e-100, 1e10] (the derivatives
// only). Returns the first kernel failure of the values, or nullptr.
// With `centroid`, the rings also give the centroid's sums (one evaluation
// of each ring for both; not for a uniform source), handed to it point by point.
const char* einstein_gradients(const LawGradient& law, std::span<const double> u, double rho, const GradientOut& out,
                               const PointSumsSink& centroid = {});

}  // namespace kalvorin
