// Magnification of a source with a radial brightness profile I(r):
//
//   A(x) = ∫_0^1 2πr I(r) M(x, r) dr / ∫_0^1 2πr I(r) dr,
//
// M the ring mean (ring_mean.cpp), x the lens distance in source radii. The
// uniform disk F of radius r obeys d(r²F)/dr = 2rM, so this is also the
// profile-weighted integral of disk magnifications; both public families
// integrate the ring means. By zone:
// - x ≥ 3: far-field series with the profile's moments (far_field.cpp); no
//   ring is evaluated. ≤ 3e-16 relative.
// - 1.05 ≤ x < 3 (built-in law) or 1.2 ≤ x < 3 (tables): Gauss–Legendre in
//   r = sin θ, or a product rule in r for tables, 14–36 ring means. ≤ 9e-16.
// - 0 ≤ x below those: panels graded towards the ring through the lens with
//   a log-corrected rule next to it (near_source.cpp, near_source_table.cpp),
//   40–140 ring means; a lens within 2^-60 of the centre is put at it. The
//   built-in law ≤ 4.4e-16 (benchmarks/builtin_law_accuracy.py).
// - input outside the physical domain (x < 0, NaN, ρ ≤ 0, an Einstein radius
//   too small for the panels): tanh-sinh quadrature (kernels/quadrature.hpp),
//   split at the table radii (kinks) and at r = x.
// Accuracy measured against mpmath (tests/reference/gen_model_reference.py,
// tests/test_accuracy.py) for ρ from 1e-3 to 10.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/gauss_legendre.hpp"
#include "lib/float_range.hpp"
#include "kernels/interp.hpp"
#include "kernels/quadrature.hpp"
#include "lib/laws.hpp"
#include "lib/model_parts.hpp"
#include "lib/models.hpp"

namespace kalvorin {

using detail::TWO_PI;

// ---------------------------------------------------------------------------
// Integration over the source radius
// ---------------------------------------------------------------------------

namespace {

// ∫_0^1 2πr I(r) dr for the built-in law as tanh-sinh quadrature evaluates
// it (0.8π to 1.6e-14): the normalisation of the tanh-sinh fallback, whose
// truncation it cancels; the exact rules divide by the exact flux.
constexpr double LIMB_DARKENING_NORM = 2.5132741228717936;
// Relative accuracy asked of each magnification integral: its pieces get an
// absolute target of RELATIVE_TARGET·N·A_disk·(piece width), with A_disk the
// uniform-disk magnification at the same separation (the integral is close
// to N·A_disk). The tanh-sinh estimate is conservative (it squares the last
// change once convergence is quadratic), so the results stay within ~2e-13
// of the exact integral while most separations stop after 49-193 points.
constexpr double RELATIVE_TARGET = 1e-12;
// Where that scale is unusable (a kernel failure, a non-finite value) the
// quadrature runs to its last level: a zero target never stops it early, and
// the result does not depend on the scale of the profile.
constexpr double FALLBACK_TARGET = 0.0;
// A lens just outside the limb puts the logarithmic singularity of the ring
// through it just beyond r = 1: the integrand is nearly singular at the end
// of the interval and the convergence estimate stops too early (errors up
// to 1.5e-11 measured at l = 1 + 1e-6). Within this distance outside the
// limb every level of the rule is used.
constexpr double NEAR_LIMB_OUTSIDE = 0.01;

using detail::LinearProfile;
using detail::ProfileData;
using detail::radius_breakpoints;

struct PieceSum {
    double integral;
    std::uint32_t evaluations;
};

// Sum over consecutive pieces [points[i], points[i+1]] of the integral of f,
// each piece with the absolute target target_per_width·(its width). A split
// point strictly inside a piece divides it in two (NaN: none).
template <class F>
PieceSum integrate_pieces(F&& f, const std::vector<double>& points, double split, double target_per_width) {
    PieceSum total{0.0, 0};
    const auto piece = [&](double a, double b) {
        const QuadratureResult q = integrate(f, a, b, target_per_width * (b - a));
        total.integral = total.integral + q.integral;
        total.evaluations += q.evaluations;
    };
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const double a = points[i], b = points[i + 1];
        if (a < split && split < b) {
            piece(a, split);
            piece(split, b);
        } else {
            piece(a, b);
        }
    }
    return total;
}

// Near the source but outside it, the integrand is analytic on [0, 1] but
// for the square-root edge of a limb-darkened profile at r = 1; with
// r = sin θ that edge disappears and Gauss–Legendre rules in θ converge
// geometrically (the ring through the lens, r = x, is the nearest
// singularity). Node counts by distance (14 from x = 2, 20 from 1.2, 24 from
// 1.05), measured against mpmath: ≤ 4.4e-16 relative for ρ from 1e-3 to 10.
constexpr double GL14_FROM = 2.0;
constexpr double GL20_FROM = 1.2;
constexpr double GL24_FROM = 1.05;
// A tabulated profile has kinks (and no square-root edge), so the ring
// means at the Legendre points in r are interpolated and the interpolant
// integrated exactly against the profile's linear pieces: a product rule
// whose weights are computed once per call (on first use); convergence is
// ρ^{−n} rather than ρ^{−2n} in theory, faster in practice: 24 nodes from
// x = 2 and 36 from 1.2 give ≤ 8.9e-16 (20 and 28 give 8.9e-15).
constexpr double PRODUCT24_FROM = 2.0;
constexpr double PRODUCT36_FROM = 1.2;
// Far-field series from here on (x in source radii).
constexpr double SERIES_FROM = 3.0;
// Below this the lens is put at the centre: the panels towards the ring at
// r = x would need more than MAX_PANELS from x ≈ 1e-19 down (and the
// tanh-sinh fallback is good to ~1e-14 only), while A(x) − A(0) is
// O(x²/min(1, ε)²) relative, far below rounding here (the same doubles as
// mpmath's A(x) for x from 2^-64 down to 5e-324, tests/test_accuracy.py).
constexpr double CENTRE_ZONE = 0x1p-60;

// Σ_i w_i g(θ_i) over [0, π/2] with the n-point rule.
template <std::size_t N, class G>
double gauss_legendre_theta(G&& g) {
    const auto& gl = gauss_legendre<N>();
    constexpr double hw = detail::PI / 4;
    double sum = 0.0;
    for (std::size_t i = 0; i < N; ++i) sum = sum + gl.w[i] * g(hw + hw * gl.x[i]);
    return sum * hw;
}

// For each separation x: ∫_0^1 2πr I(r) M(x, r) dr / N, M the ring mean,
// by the rule of its zone (file comment). The rules that integrate exactly
// divide by the profile's exact flux; the tanh-sinh fallback divides by its
// own value of the flux (the built-in law's stored constant), so that the
// truncation of its rule (3e-14 relative) cancels in the ratio, and takes its
// accuracy target from the uniform disk (a kernel failure counts as NaN,
// which the quadrature ignores).
template <class Profile>
class RadialIntegrator {
public:
    // A table's product-rule weights may be given (computed once per law);
    // otherwise they are computed here on first use.
    RadialIntegrator(const Profile& profile, bool smooth, const ProfileData& data, double re, double rstar,
                     double norm, const std::vector<double>& points, const double* weights24 = nullptr,
                     const double* weights36 = nullptr)
        : profile_(profile),
          smooth_(smooth),
          data_(data),
          disk_(re, rstar),
          eps_(re / rstar),
          norm_(norm),
          points_(points),
          given24_(weights24),
          given36_(weights36) {}

    // True for a separation the far-field series serves (w = ρu, the lens
    // distance in Einstein radii); rest() when the series does not converge.
    bool series_serves(double u, double& w) const noexcept {
        const double rho = disk_.rho();
        w = rho * u;
        return u >= SERIES_FROM && u < HUGE_VAL && rho > 0.0 && w > 1e-150 && w < 1e150;
    }

    const detail::ProfileMoments& moments() const noexcept { return data_.moments; }

    // Every rule but the series.
    double rest(double u, std::uint32_t* evaluations) {
        if (u > 0.0 && u < CENTRE_ZONE) u = 0.0;
        const double rho = disk_.rho();
        if constexpr (std::is_same_v<Profile, detail::PowerProfile>) {
            // Not smooth at the limb: panels with the limb one in μ, at any x.
            if (!profile_.smooth) {
                if (u >= 0.0 && u < HUGE_VAL && rho > 0.0 && std::isfinite(eps_) && eps_ > 0.0) {
                    std::uint32_t count = 0;
                    const double v = detail::near_source_integral_power(u, eps_, profile_, &count) / data_.flux;
                    if (std::isfinite(v)) {
                        if (evaluations) *evaluations = count;
                        return v;
                    }
                }
                return by_quadrature(u, evaluations);
            }
        }
        if (u >= GL24_FROM && u < HUGE_VAL && rho > 0.0) {
            const double v = near_outside(u, evaluations);
            if (std::isfinite(v)) return v;
        }
        if (u >= 0.0 && u < (smooth_ ? GL24_FROM : PRODUCT36_FROM) && rho > 0.0 && std::isfinite(eps_) &&
            eps_ > 0.0) {
            std::uint32_t count = 0;
            double v;
            if constexpr (!std::is_same_v<Profile, PiecewiseLinear>) {
                v = detail::near_source_integral(u, eps_, profile_, &count);
            } else {
                v = detail::near_source_integral_table(u, eps_, data_.table, &count);
            }
            v = v / data_.flux;
            if (std::isfinite(v)) {
                if (evaluations) *evaluations = count;
                return v;
            }
        }
        return by_quadrature(u, evaluations);
    }

private:
    // 2π r cos θ M(x, r) at r = sin θ.
    double ring_term(double u, double theta) const {
        const double r = std::sin(theta);
        return ((r * TWO_PI) * std::cos(theta)) * detail::ring_mean_fast(u, r, eps_);
    }

    double near_outside(double u, std::uint32_t* evaluations) {
        if (smooth_) {
            const auto g = [&](double t) { return ring_term(u, t) * profile_(std::sin(t)); };
            std::uint32_t n;
            double sum;
            if (u >= GL14_FROM) sum = gauss_legendre_theta<14>(g), n = 14;
            else if (u >= GL20_FROM) sum = gauss_legendre_theta<20>(g), n = 20;
            else sum = gauss_legendre_theta<24>(g), n = 24;
            if (evaluations) *evaluations = n;
            return sum / data_.flux;
        }
        if (u >= PRODUCT24_FROM) return product_rule<24>(u, given24_, weights24_, evaluations);
        if (u >= PRODUCT36_FROM) return product_rule<36>(u, given36_, weights36_, evaluations);
        return std::numeric_limits<double>::quiet_NaN();
    }

    // Σ_i W_i·2πr_i M(x, r_i) over the N Legendre points in r on [0, 1].
    template <std::size_t N>
    double product_rule(double u, const double* given, std::vector<double>& computed, std::uint32_t* evaluations) {
        const double* weights = given;
        if (weights == nullptr) {
            if (computed.empty()) {
                const std::array<double, N> W = detail::table_product_weights<N>(data_.table);
                computed.assign(W.begin(), W.end());
            }
            weights = computed.data();
        }
        const auto& gl = gauss_legendre<N>();
        double sum = 0.0;
        for (std::size_t i = 0; i < N; ++i) {
            const double r = 0.5 + 0.5 * gl.x[i];
            sum = sum + weights[i] * ((r * TWO_PI) * detail::ring_mean_fast(u, r, eps_));
        }
        if (evaluations) *evaluations = N;
        return sum / data_.flux;
    }

    double by_quadrature(double u, std::uint32_t* evaluations) const {
        const auto integrand = [&](double r) {
            const Result ring = detail::ring_magnification(u, r, eps_);
            const double M = ring.failed() ? std::numeric_limits<double>::quiet_NaN() : ring.value;
            const double w = r * TWO_PI;
            return (w * M) * profile_(r);
        };
        const Result scale = disk_.at(u);
        double target = FALLBACK_TARGET;
        if (!scale.failed() && !(u > 1.0 && u < 1.0 + NEAR_LIMB_OUTSIDE)) {
            const double relative = RELATIVE_TARGET * std::fabs(norm_ * scale.value);
            if (std::isfinite(relative) && relative > 0.0) target = relative;
        }
        // The ring through the lens (r = u) is singular: split there.
        const PieceSum sum = integrate_pieces(integrand, points_, u, target);
        if (evaluations) *evaluations = sum.evaluations;
        return sum.integral / norm_;
    }

    const Profile& profile_;
    bool smooth_;
    const ProfileData& data_;
    detail::UniformDisk disk_;
    double eps_, norm_;
    const std::vector<double>& points_;
    const double* given24_;
    const double* given36_;
    std::vector<double> weights24_, weights36_;
};

// values[i] for every separation l[i], by the integrator's zones.
template <class Profile>
void integrate_rings(RadialIntegrator<Profile>& integrator, std::span<const double> l, std::span<double> values,
                     std::vector<std::uint32_t>* evaluations = nullptr) {
    if (evaluations) evaluations->assign(l.size(), 0);
    // Far-field points go to the series four at a time.
    detail::FarFieldBatch batch(integrator.moments(), [&](std::size_t i, const detail::FarFieldValue& v) {
        if (v.terms > 0) {
            values[i] = v.value;
            return;
        }
        std::uint32_t count = 0;
        values[i] = integrator.rest(l[i], &count);
        if (evaluations) (*evaluations)[i] = count;
    });
    for (std::size_t i = 0; i < l.size(); ++i) {
        double w;
        if (integrator.series_serves(l[i], w)) {
            batch.push(i, w, l[i]);
            continue;
        }
        std::uint32_t count = 0;
        values[i] = integrator.rest(l[i], &count);
        if (evaluations) (*evaluations)[i] = count;
    }
    batch.flush();
}

template <class Profile>
std::vector<double> integrate_rings(std::span<const double> l, const Profile& profile, bool smooth,
                                    const ProfileData& data, double re, double rstar, double norm,
                                    const std::vector<double>& points,
                                    std::vector<std::uint32_t>* evaluations = nullptr) {
    RadialIntegrator<Profile> integrator(profile, smooth, data, re, rstar, norm, points);
    std::vector<double> values(l.size());
    integrate_rings(integrator, l, std::span<double>(values), evaluations);
    return values;
}

// A profile with what the integration derives from it once per call.
template <class Profile>
struct RadialProfile {
    const Profile& profile;
    bool smooth;  // no kinks on (0, 1): Gauss–Legendre in θ near the source
    ProfileData data;
    double norm;
    std::vector<double> points;
};

// The radial integral of a profile at every separation, over the float
// range (float_range.hpp), NaN outside the physical domain.
template <class Profile>
std::vector<double> integrated_values(const std::vector<double>& l, const Profile& profile, bool smooth,
                                      const ProfileData& data, double norm, const std::vector<double>& points,
                                      double re, double rstar, const double* weights24 = nullptr,
                                      const double* weights36 = nullptr) {
    std::vector<double> values(l.size());
    detail::over_float_range(l, re, rstar, values,
                             [&](std::span<const double> x, double re1, double rstar1, std::span<double> out) {
                                 RadialIntegrator<Profile> integrator(profile, smooth, data, re1, rstar1, norm, points,
                                                                      weights24, weights36);
                                 integrate_rings(integrator, x, out);
                                 return static_cast<const char*>(nullptr);
                             });
    detail::mark_outside_domain(l, re, rstar, values);
    return values;
}

template <class Profile>
std::vector<double> integrated_values(const std::vector<double>& l, const RadialProfile<Profile>& p, double re,
                                      double rstar) {
    return integrated_values(l, p.profile, p.smooth, p.data, p.norm, p.points, re, rstar);
}

template <class Profile>
ListResult _integrated_heyrovsky_magnification(std::vector<double> l, const RadialProfile<Profile>& p, double re,
                                               double rstar) {
    return ListResult{integrated_values(l, p, re, rstar), nullptr};
}

template <class Profile>
ListResult _integrated_witt_mao_magnification(std::vector<double> l, const RadialProfile<Profile>& p, double re,
                                              double rstar) {
    // The uniform disk is checked first, so that a kernel failure at any
    // separation ends the call before any integration.
    const ListResult check = witt_mao_failure(l, re, rstar);
    if (check.failed()) return check;
    return ListResult{integrated_values(l, p, re, rstar), nullptr};
}

// The source-radius functions' law: linear with coefficient 0.6.
constexpr double BUILT_IN_COEFFICIENT = 0.6;

RadialProfile<LinearProfile> limb_darkening() {
    static const LinearProfile law{BUILT_IN_COEFFICIENT};
    return {law, true, detail::linear_profile_data(BUILT_IN_COEFFICIENT), LIMB_DARKENING_NORM,
            radius_breakpoints({})};
}

}  // namespace

std::vector<std::uint32_t> integrated_ring_evaluations(const std::vector<double>& l, double re, double rstar) {
    std::vector<std::uint32_t> counts;
    const auto p = limb_darkening();
    integrate_rings(l, p.profile, p.smooth, p.data, re, rstar, p.norm, p.points, &counts);
    return counts;
}

ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_witt_mao_magnification(std::move(l), limb_darkening(), re, rstar);
}

ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_heyrovsky_magnification(std::move(l), limb_darkening(), re, rstar);
}

namespace {

// The set-up of a flux-map table (its linear pieces, moments, exact flux and
// product-rule weights) depends only on (bl, bf) and costs about as much as
// 15 separations near the source: the last table is kept and reused by the
// next call that passes the same table, bit for bit, as a fit does at every
// step. Tables of more than CACHED_TABLE_MAX points are rebuilt each time.
// The state is never destroyed, so that a thread still running at
// interpreter exit cannot meet a destroyed mutex.
constexpr std::size_t CACHED_TABLE_MAX = 4096;

struct TableEntry {
    std::vector<double> bl, bf;
    SourceLaw law;
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) noexcept {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

std::shared_ptr<const TableEntry> table_law(std::vector<double> bl, std::vector<double> bf) {
    struct State {
        std::mutex mutex;
        std::shared_ptr<const TableEntry> last;
    };
    static State* const state = new State;
    const bool cacheable = bl.size() <= CACHED_TABLE_MAX;
    if (cacheable) {
        const std::lock_guard<std::mutex> lock(state->mutex);
        if (state->last && same_bits(state->last->bl, bl) && same_bits(state->last->bf, bf)) return state->last;
    }
    SourceLaw law = SourceLaw::table(bl, bf);
    auto entry = std::make_shared<const TableEntry>(TableEntry{std::move(bl), std::move(bf), std::move(law)});
    if (cacheable) {
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->last = entry;
    }
    return entry;
}

// A flux-map function: checks the table (before any other work), then (the
// Witt–Mao variant) the uniform disk at every separation, so that a kernel
// failure ends the call before any integration, then integrates with the
// interpolated profile, its exact flux (also the normalisation of the
// tanh-sinh fallback, whose truncation would otherwise bias the ratio by
// 3e-14; used only for input outside the physical domain), moments and
// product weights.
ListResult flux_map_magnifications(const std::vector<double>& l, double re, double rstar, std::vector<double> bl,
                                   std::vector<double> bf, bool check_disk) {
    KALVORIN_ASSERT_EQ_LEN(bl, bf);
    const std::shared_ptr<const TableEntry> entry = table_law(std::move(bl), std::move(bf));
    if (check_disk) {
        const ListResult check = witt_mao_failure(l, re, rstar);
        if (check.failed()) return check;
    }
    const SourceLaw& law = entry->law;
    return ListResult{integrated_values(l, law.table_profile(), false, law.data(), law.data().flux, law.breakpoints(),
                                        re, rstar, law.weights24().data(), law.weights36().data()),
                      nullptr};
}

}  // namespace

ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re, double rstar,
                                                      std::vector<double> bl, std::vector<double> bf) {
    return flux_map_magnifications(l, re, rstar, std::move(bl), std::move(bf), true);
}

ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                       std::vector<double> bl, std::vector<double> bf) {
    return flux_map_magnifications(l, re, rstar, std::move(bl), std::move(bf), false);
}

// ---------------------------------------------------------------------------
// Any law
// ---------------------------------------------------------------------------

namespace {

const char* law_magnifications_within(const SourceLaw& law, std::span<const double> x, double re, double rstar,
                                      std::span<double> out) {
    const ProfileData& data = law.data();
    switch (law.kind()) {
    case SourceLaw::Kind::uniform: {
        const detail::UniformDisk disk(re, rstar);
        if (std::none_of(x.begin(), x.end(), [&](double xi) { return disk.may_fail(xi); }))
            return detail::uniform_disk_magnifications(x, re, rstar, out);
        // Near the ends of the float range the closed form may fail: there
        // the disk is integrated ring by ring (I = 1), which cannot.
        static const LinearProfile flat{0.0};
        RadialIntegrator<LinearProfile> rings(flat, true, data, re, rstar, data.flux, law.breakpoints());
        for (std::size_t i = 0; i < x.size(); ++i) {
            const Result a = disk.may_fail(x[i]) ? Result::fail("") : disk.at(x[i]);
            if (!a.failed()) out[i] = a.value;
            else integrate_rings(rings, x.subspan(i, 1), out.subspan(i, 1));
        }
        return nullptr;
    }
    case SourceLaw::Kind::linear: {
        // The tanh-sinh fallback (input outside the physical domain only)
        // divides by its own value of the flux, stored for the built-in law.
        const double norm = law.coefficient() == BUILT_IN_COEFFICIENT ? LIMB_DARKENING_NORM : data.flux;
        RadialIntegrator<LinearProfile> integrator(law.linear_profile(), true, data, re, rstar, norm,
                                                   law.breakpoints());
        integrate_rings(integrator, x, out);
        return nullptr;
    }
    case SourceLaw::Kind::power: {
        RadialIntegrator<detail::PowerProfile> integrator(law.power_profile(), true, data, re, rstar, data.flux,
                                                          law.breakpoints());
        integrate_rings(integrator, x, out);
        return nullptr;
    }
    case SourceLaw::Kind::table: {
        RadialIntegrator<PiecewiseLinear> integrator(law.table_profile(), false, data, re, rstar, data.flux,
                                                     law.breakpoints(), law.weights24().data(),
                                                     law.weights36().data());
        integrate_rings(integrator, x, out);
        return nullptr;
    }
    }
    return nullptr;
}

}  // namespace

const char* law_magnifications(const SourceLaw& law, std::span<const double> x, double re, double rstar,
                               std::span<double> out) {
    return detail::over_float_range(x, re, rstar, out,
                                    [&](std::span<const double> xs, double re1, double rstar1, std::span<double> o) {
                                        return law_magnifications_within(law, xs, re1, rstar1, o);
                                    });
}

double point_source_magnification(double u) noexcept {
    if (u > 1e150) return 1.0;  // A − 1 = 2/u⁴ + … is below the rounding of 1
    const double u2 = u * u;
    return (u2 + 2) / (u * std::sqrt(u2 + 4));
}

const char* einstein_magnifications(const SourceLaw& law, std::span<const double> u, double rho,
                                    std::span<double> out, std::span<double> scratch) {
    if (rho == 0.0) {
        for (std::size_t i = 0; i < u.size(); ++i) out[i] = point_source_magnification(u[i]);
        return nullptr;
    }
    // x = u/ρ source radii; re = 1, rstar = ρ. Points that are sources of no
    // size are set aside (x = 0 keeps its place: the series is not used).
    std::size_t n = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double x = u[i] / rho;
        if (x > detail::POINT_SOURCE_FROM) out[i] = point_source_magnification(u[i]);
        else scratch[n++] = x;
    }
    if (n == u.size()) return law_magnifications(law, scratch.first(n), 1.0, rho, out);
    std::vector<double> values(n);
    const char* failure = law_magnifications(law, scratch.first(n), 1.0, rho, values);
    for (std::size_t i = 0, j = 0; i < u.size(); ++i)
        if (!(u[i] / rho > detail::POINT_SOURCE_FROM)) out[i] = values[j++];
    return failure;
}

}  // namespace kalvorin
