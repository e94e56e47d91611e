// Derivatives of the magnification of a source with brightness law I(μ),
// A(u, ρ) = N/F, N = ∫_0^1 2πr I(r) M(u/ρ, r) dr, F = ∫_0^1 2πr I(r) dr, in
// the lens distance u and source radius ρ (Einstein radii; x = u/ρ and
// ε = 1/ρ in source radii) and in the coefficients β_b of basis terms B_b
// of the law (a law's parameters enter through such terms).
//
// Differentiating under the integral would meet ∂M/∂x ~ 1/(x − r) at the
// ring through the lens; both derivatives are moved off it:
// - ρ: with s = ρr, N = ρ⁻² ∫_0^ρ 2πs I(s/ρ) m(u, s) ds (m the ring mean in
//   Einstein radii), so that
//     ρ ∂N/∂ρ = 2π I(1) M(x, 1) − 2N − Q,   Q = ∫_0^1 2πr² I′(r) M dr,
//   the same ring means as N against the profile r I′(r).
// - u: the plane integral N = ∫ I(|s|) A(|s − x|) d²s by parts in s,
//     ∂N/∂x = ∫_0^1 2πr I′(r) C(x, r) dr − 2π I(1) C(x, 1),
//   C = ⟨cos φ A⟩ the dipole ring mean (ring_mean.cpp), a closed form in a
//   complete elliptic integral with a logarithmic singularity at the ring,
//   as M; C ∝ x, so ∂A/∂u → 0 at the centre without cancellation.
// - β_b: ∂A/∂β_b = (N_b − A F_b)/F, N_b = ∫ 2πr B_b M dr, F_b its flux.
// The constant part of M drops out of ρ ∂N/∂ρ (∫ 2πr² I′ dr = 2π I(1) − 2F)
// and of N_b − A F_b: both are computed with the excess M̃ = M − 1 in place
// of M (ring_mean_excess; a source of ρ = 1e3 leaves M − 1 ~ 1e-6 over it
// and 1e-12 just outside, which the subtraction would lose). A table's
// jumps ΔI at r_j add their terms 2π ΔI r_j² M̃(x, r_j) and −2π ΔI r_j C(x, r_j).
// With μ = cos θ = √(1 − r²), r I′(r) = −(r²/μ) dI/dμ, so in θ the profiles
// of Q and U are −2π r³ I_μ and −2π r² I_μ (the 1/μ cancels the Jacobian),
// and in μ on the limb panel −2π r² I_μ M and −2π r I_μ C with the powers of
// I_μ = Σ c_k p_k μ^{p_k − 1} + f (ln μ + 1) integrated by product weights.
// ∂A/∂ρ and ∂A/∂u diverge (log) at u = ρ where I(1) ≠ 0: ±inf there.
//
// Zones (as the value's, so that one set of ring evaluations serves every
// channel, and the value keeps its bits):
// - x ≥ 3: the far-field series differentiated term by term (far_field.cpp);
//   the value from the value's own series;
// - smooth laws (uniform excepted): 14/20/24-point Gauss–Legendre in θ for
//   1.05 ≤ x < 3, the panels of near_source.cpp below, each node giving M,
//   C (and on the log-corrected panels their log coefficients);
// - the other power laws: the panels of near_source_power.cpp at any x < 3;
// - tables: the value's product rules (1.2 ≤ x < 3) and panels in r below,
//   each table-like channel (the hats, r I′, I′) with product weights of its own;
// - uniform source: A from the closed form, ∂A/∂u = −2C(x, 1)/ρ and
//   ρ ∂A/∂ρ = 2(M(x, 1) − A) while A − 1 > 1e-3, else 2(M̃(x, 1) − Ã) with
//   Ã from the rings;
// - x < 2^-60: the value at the centre, the derivatives from x = 2^-60
//   (∂A/∂u scaled by x/2^-60: ∂N/∂x is odd and analytic in x; the others
//   are even, O(x²) from their centre values).
// Reference: tests/reference/gen_gradient_reference.py (mpmath, central
// differences of 40-digit integrals); accuracy in benchmarks/fspl_gradient.py.
#include "lib/derivatives.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/gauss_legendre.hpp"
#include "lib/float_range.hpp"
#include "lib/model_parts.hpp"

namespace kalvorin {

using detail::FAR_FIELD_MAX_TERMS;
using detail::GradientChannels;
using detail::GradientSums;
using detail::MAX_GRADIENT_BASIS;
using detail::PI;
using detail::TWO_PI;
using detail::CentroidRing;

namespace {

constexpr double SERIES_FROM = 3.0;
constexpr double GL14_FROM = 2.0;
constexpr double GL20_FROM = 1.2;
constexpr double GL24_FROM = 1.05;
constexpr double CENTRE_ZONE = 0x1p-60;
// Below this source radius the rings are taken at it and scaled (einstein_gradients).
constexpr double SMALL_SOURCE = 0x1p-34;
// The uniform disk's ρ-slope from its closed form while A − 1 exceeds this:
// 2(M(x, 1) − A) then loses ~1e-16·A/(M(x, 1) − A), M(x, 1) − A being of the
// order of A − 1, below 1e-13.
constexpr double UNIFORM_CLOSED_FROM = 1e-3;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// s_k = ∫_0^1 r^{2k} B(r) 2r dr: B(k + 1, p/2 + 1) for μ^p, and for μ^p ln μ
// its derivative in p, −½ B(k + 1, p/2 + 1) Σ_{j≤k} 1/(p/2 + 1 + j).
void basis_moments(const BasisTerm& t, long double* s) {
    const long double b = static_cast<long double>(t.p) / 2 + 1;
    long double beta = 1 / b, harmonic = 1 / b;
    for (int k = 0; k < FAR_FIELD_MAX_TERMS; ++k) {
        if (k > 0) {
            beta = beta * (k / (k + b));
            harmonic = harmonic + 1 / (k + b);
        }
        s[k] = t.log ? -0.5L * beta * harmonic : beta;
    }
}

// The slope dI/dμ of a power profile as channels.
void set_slope(GradientChannels& ch, const detail::PowerProfile& p) {
    ch.d_const = p.f;
    ch.d_log = p.f;
    for (std::size_t k = 0; k < p.n; ++k) {
        const double c = p.terms[k].c * p.terms[k].p, e = p.terms[k].p - 1;
        if (e == 0.0) {
            ch.d_const = ch.d_const + c;
        } else {
            ch.d_c[ch.d_n] = c;
            ch.d_p[ch.d_n] = e;
            ++ch.d_n;
        }
    }
}

bool integer(double p) noexcept { return p == std::floor(p); }

double point_source_slope(double u) noexcept {
    if (u > 1e100) return 0.0;
    const double u2 = u * u, s = u2 + 4;
    return -8 / (u2 * (s * std::sqrt(s)));
}

}  // namespace

LawGradient::LawGradient(const SourceLaw& law, std::span<const BasisTerm> basis) : law_(law) {
    const bool no_basis = law.kind() == SourceLaw::Kind::uniform || law.kind() == SourceLaw::Kind::table;
    if (basis.size() > MAX_GRADIENT_BASIS || (no_basis && !basis.empty()))
        throw AssertionFailure("gradient basis: " + std::to_string(basis.size()) + " terms for this law", __FILE__,
                               __LINE__);
    bool smooth_basis = true;
    ch_.nb = basis.size();
    for (std::size_t b = 0; b < basis.size(); ++b) {
        if (!(basis[b].p >= 0.0 && basis[b].p < HUGE_VAL))
            throw AssertionFailure("gradient basis: power out of range", __FILE__, __LINE__);
        ch_.b_p[b] = basis[b].p;
        ch_.b_log[b] = basis[b].log;
        smooth_basis = smooth_basis && !basis[b].log && integer(basis[b].p);
    }
    switch (law.kind()) {
    case SourceLaw::Kind::uniform:
        layout_ = Layout::uniform;
        break;
    case SourceLaw::Kind::linear: {
        const double c = law.coefficient();
        ch_.d_const = c;
        limb_intensity_ = 1 + (1 - 0.0) * (-c);
        layout_ = smooth_basis ? Layout::smooth : Layout::power;
        if (layout_ == Layout::power) {
            const double cs[1] = {c}, ps[1] = {1.0};
            power_ = detail::make_power_profile(1 - c, cs, ps, 0.0);
            separate_value_ = true;
        }
        break;
    }
    case SourceLaw::Kind::power: {
        power_ = law.power_profile();
        set_slope(ch_, power_);
        limb_intensity_ = power_.c0;
        layout_ = power_.smooth && smooth_basis ? Layout::smooth : Layout::power;
        separate_value_ = layout_ == Layout::power && power_.smooth;
        break;
    }
    case SourceLaw::Kind::table:
        layout_ = Layout::table;
        set_table();
        return;
    }
    if (layout_ == Layout::power) {
        detail::limb_product_weights(0.0, ch_.w_const);
        for (std::size_t k = 0; k < ch_.d_n; ++k) detail::limb_product_weights(ch_.d_p[k], ch_.w_d[k]);
        for (std::size_t b = 0; b < ch_.nb; ++b) detail::limb_product_weights(ch_.b_p[b] + 1, ch_.w_b[b]);
    }
    // ν_{b,k} = (s_{b,k} − μ_k s_{b,0})/S_0, S_0 = F/π.
    const long double S0 = static_cast<long double>(law.data().flux) / PI;
    basis_flux_.resize(ch_.nb);
    nu_.assign(ch_.nb * FAR_FIELD_MAX_TERMS, 0.0);
    for (std::size_t b = 0; b < ch_.nb; ++b) {
        long double m[FAR_FIELD_MAX_TERMS];
        basis_moments(basis[b], m);
        basis_flux_[b] = static_cast<double>(PI * m[0]);
        for (int k = 0; k < FAR_FIELD_MAX_TERMS; ++k)
            nu_[b * FAR_FIELD_MAX_TERMS + k] =
                static_cast<double>((m[k] - static_cast<long double>(law.data().moments.mu[k]) * m[0]) / S0);
    }
}

// A table through (r_j, I_j), 0 outside: hat functions of its points, its
// slope and r times it between the breakpoints, and the jumps (equal radii,
// and the ends of the table unless the intensity is 0 there).
void LawGradient::set_table() {
    const std::vector<double>& r = law_.table_radii();
    const std::vector<double>& I = law_.table_intensities();
    const std::size_t n = r.size();
    const auto piece = [](double a, double b, double ia, double ib) {
        const double rc = a + 0.5 * (b - a);
        return detail::TablePiece{a, b, rc, 0.5 * (ia + ib), (ib - ia) / (b - a)};
    };
    const auto finished = [](detail::TablePieces t) {
        for (const auto& q : t.pieces) t.scale = std::fmax(t.scale, std::fabs(q.ic));
        if (t.scale == 0.0) t.scale = 1.0;
        return t;
    };
    for (std::size_t j = 0; j < n; ++j) {
        detail::TablePieces h;
        if (j > 0 && r[j - 1] < r[j]) h.pieces.push_back(piece(r[j - 1], r[j], 0.0, 1.0));
        if (j + 1 < n && r[j] < r[j + 1]) h.pieces.push_back(piece(r[j], r[j + 1], 1.0, 0.0));
        table_.hats.push_back(finished(h));
    }
    detail::TablePieces slope, moment;
    for (std::size_t j = 0; j + 1 < n; ++j) {
        if (!(r[j] < r[j + 1])) continue;
        const detail::TablePiece q = piece(r[j], r[j + 1], I[j], I[j + 1]);
        slope.pieces.push_back({q.ra, q.rb, q.rc, q.slope, 0.0});
        moment.pieces.push_back({q.ra, q.rb, q.rc, q.rc * q.slope, q.slope});
    }
    table_.slope = finished(slope);
    table_.moment = finished(moment);
    if (I[0] != 0.0 && r[0] > 0.0) table_.jumps.push_back({r[0], -I[0]});
    for (std::size_t j = 0; j + 1 < n; ++j)
        if (r[j] == r[j + 1] && I[j] != I[j + 1]) table_.jumps.push_back({r[j], I[j] - I[j + 1]});
    if (I[n - 1] != 0.0) table_.jumps.push_back({r[n - 1], I[n - 1]});
    table_.slope24 = detail::table_product_weights<24>(table_.slope);
    table_.slope36 = detail::table_product_weights<36>(table_.slope);
    table_.moment24 = detail::table_product_weights<24>(table_.moment);
    table_.moment36 = detail::table_product_weights<36>(table_.moment);
    // The hats' moments: s_{j,k} = μ_k F_j/π from their own normalised moments.
    const long double S0 = static_cast<long double>(law_.data().flux) / PI;
    basis_flux_.resize(n);
    nu_.assign(n * FAR_FIELD_MAX_TERMS, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        table_.hat24.push_back(detail::table_product_weights<24>(table_.hats[j]));
        table_.hat36.push_back(detail::table_product_weights<36>(table_.hats[j]));
        if (table_.hats[j].pieces.empty()) continue;
        const detail::ProfileData d = detail::table_profile_data(table_.hats[j]);
        basis_flux_[j] = d.flux;
        const long double s0 = static_cast<long double>(d.flux) / PI;
        for (int k = 0; k < FAR_FIELD_MAX_TERMS; ++k)
            nu_[j * FAR_FIELD_MAX_TERMS + k] = static_cast<double>(
                (static_cast<long double>(d.moments.mu[k]) - static_cast<long double>(law_.data().moments.mu[k])) * s0 /
                S0);
    }
}

namespace detail {

RadialSums::RadialSums(const LawGradient& g, double rho, Mode mode)
    : g_(g), eps_(1 / rho), nb_(mode == Mode::centroid ? 0 : g.basis_size()), ch_(g.channels()) {
    ch_.derivatives = mode == Mode::gradient || mode == Mode::all;
    ch_.centroid = mode != Mode::gradient;
    ch_.centroid_derivatives = mode == Mode::centroid_gradient || mode == Mode::all;
    ch_.nb = nb_;
    if (g.layout() == LawGradient::Layout::table) {
        channels_.push_back({&g.law().data().table, RingKind::mean});
        if (ch_.derivatives) {
            // Ñ, Q's r·I′ (against M̃), U's I′ (against C), then the hats
            channels_.push_back({&g.law().data().table, RingKind::excess});
            channels_.push_back({&g.table().moment, RingKind::excess});
            channels_.push_back({&g.table().slope, RingKind::dipole});
            for (const auto& h : g.table().hats) channels_.push_back({&h, RingKind::excess});
        }
        centroid_at_ = channels_.size();
        if (ch_.centroid) {
            // the centroid's numerator, its flat profile's; for its
            // derivatives r·I′ and the hats against b
            flat_.pieces.push_back({0.0, 1.0, 0.5, 1.0, 0.0});
            flat_.scale = 1.0;
            channels_.push_back({&g.law().data().table, RingKind::centroid});
            channels_.push_back({&flat_, RingKind::centroid});
            if (ch_.centroid_derivatives) {
                channels_.push_back({&g.table().moment, RingKind::centroid});
                for (const auto& h : g.table().hats) channels_.push_back({&h, RingKind::centroid});
            }
            // the same without b's harmonic part (a lens well outside the source)
            channels_x_ = channels_;
            for (std::size_t k = centroid_at_; k < channels_x_.size(); ++k)
                channels_x_[k].ring = RingKind::centroid_excess;
        }
        sums_.resize(channels_.size());
    }
}

bool RadialSums::at(double x, GradientSums& s, double* db, double* dcb) {
    // The derivatives of the shift of a lens well outside the source cancel the
    // harmonic part g/x of b (its mean over each ring) exactly: they take b
    // without it (centroid.cpp).
    ch_.harmonic = !(ch_.centroid_derivatives && harmonic_part_dominates(x, eps_));
    bool ok, panels;
    switch (g_.layout()) {
    case LawGradient::Layout::table:
        ok = table_sums(x, s, db, dcb);
        panels = x < 1.2;
        break;
    case LawGradient::Layout::power:
        ok = near_source_gradient_power(x, eps_, g_.power_profile(), ch_, s);
        panels = true;
        break;
    case LawGradient::Layout::uniform:
        return flat(x, s);
    default:
        ok = g_.law().kind() == SourceLaw::Kind::linear ? smooth_sums(x, g_.law().linear_profile(), s)
                                                         : smooth_sums(x, g_.law().power_profile(), s);
        panels = x < GL24_FROM;
    }
    if (g_.layout() != LawGradient::Layout::table) {
        if (ch_.derivatives)
            for (std::size_t b = 0; b < nb_; ++b) db[b] = s.b[b];
        if (ch_.centroid_derivatives)
            for (std::size_t b = 0; b < nb_; ++b) dcb[b] = s.cb[b];
    }
    if (ch_.centroid && ch_.harmonic && panels) {
        // The ring term b has its structure within a few ε of the ring
        // through the lens (of a size the value's M keeps below its "1"),
        // which the panels resolve to ~1e-12 of it for ρ ≳ 100; the profile
        // less its value c there carries almost none of it, and the uniform
        // disk's numerator (closed form) the rest:
        //   ∫ 2πr I b dr = ∫ 2πr (I − c) b dr + c·N_c(x, 1).
        const double r = std::fmin(x, 1.0);
        double c;
        switch (g_.layout()) {
        case LawGradient::Layout::table: c = g_.law().table_profile()(r); break;
        case LawGradient::Layout::power: c = g_.power_profile()(r); break;
        default:
            c = g_.law().kind() == SourceLaw::Kind::linear ? g_.law().linear_profile()(r) : g_.law().power_profile()(r);
        }
        if (c != 0.0) s.c = (s.c - c * s.c1) + c * uniform_disk_centroid_numerator(x, x - 1, eps_);
    }
    return ok;
}

bool RadialSums::flat(double x, GradientSums& s) const {
    static const LinearProfile flat_profile{0.0};
    return smooth_sums(x, flat_profile, s);
}

template <class Profile>
bool RadialSums::smooth_sums(double x, const Profile& profile, GradientSums& s) const {
    if (x >= GL24_FROM) {
        if (x >= GL14_FROM) theta_rule<14>(x, profile, s);
        else if (x >= GL20_FROM) theta_rule<20>(x, profile, s);
        else theta_rule<24>(x, profile, s);
        return true;
    }
    return near_source_gradient(x, eps_, profile, ch_, s);
}

// Gauss–Legendre in θ over [0, π/2] (the value's arithmetic for N).
template <std::size_t M, class Profile>
void RadialSums::theta_rule(double x, const Profile& profile, GradientSums& out) const {
    const auto& gl = gauss_legendre<M>();
    const GradientChannels& ch = ch_;
    constexpr double hw = PI / 4;
    GradientSums s{};
    for (std::size_t i = 0; i < M; ++i) {
        const double t = hw + hw * gl.x[i];
        const double r = std::sin(t), c = std::cos(t);
        const double jac = (r * TWO_PI) * c;
        const CentroidRing ring = ch.centroid ? centroid_ring(x, r, x - r, eps_, ch.harmonic)
                                              : CentroidRing{ring_mean_fast(x, r, eps_), 0.0};
        const double w = gl.w[i];
        const double I = profile(std::sin(t));
        s.n = s.n + w * ((jac * ring.m) * I);
        if (ch.centroid) s.c = s.c + w * ((jac * ring.b) * I);
        if (ch.centroid_derivatives) {
            s.cq = s.cq + w * ((-TWO_PI * ((r * r) * r) * ch.slope(c)) * ring.b);
            for (std::size_t b = 0; b < ch.nb; ++b) s.cb[b] = s.cb[b] + w * ((jac * ch.basis(b, c)) * ring.b);
        }
        if (!ch.derivatives) continue;
        const double excess = ring_mean_excess(x, r, x - r, eps_, ring.m);
        const double C = ring_dipole_f(x, r, x - r, eps_);
        s.nx = s.nx + w * ((jac * excess) * I);
        const double slope = ch.slope(c);
        s.q = s.q + w * ((-TWO_PI * ((r * r) * r) * slope) * excess);
        s.u = s.u + w * ((-TWO_PI * (r * r) * slope) * C);
        for (std::size_t b = 0; b < ch.nb; ++b) s.b[b] = s.b[b] + w * ((jac * ch.basis(b, c)) * excess);
    }
    out.n = s.n * hw;
    out.nx = s.nx * hw;
    out.q = s.q * hw;
    out.u = s.u * hw;
    out.c = s.c * hw;
    out.cq = s.cq * hw;
    for (std::size_t b = 0; b < ch.nb; ++b) out.b[b] = s.b[b] * hw;
    for (std::size_t b = 0; b < ch.nb; ++b) out.cb[b] = s.cb[b] * hw;
}

// A table: the product rules of 1.2 ≤ x < 3 (24 points from x = 2, 36
// below) with the value's arithmetic, or the panels below 1.2 (the value,
// then the channels of the constructor).
bool RadialSums::table_sums(double x, GradientSums& s, double* db, double* dcb) {
    const LawGradient::TableChannels& t = g_.table();
    if (x >= 1.2) {
        if (x >= 2.0) product_rule<24>(x, g_.law().weights24().data(), t.moment24, t.slope24, t.hat24, s, db, dcb);
        else product_rule<36>(x, g_.law().weights36().data(), t.moment36, t.slope36, t.hat36, s, db, dcb);
        return true;
    }
    if (!near_source_table_channels(x, eps_, ch_.harmonic ? channels_ : channels_x_, sums_)) return false;
    s.n = sums_[0];
    if (ch_.derivatives) {
        s.nx = sums_[1];
        s.q = sums_[2];
        s.u = sums_[3];
        for (std::size_t b = 0; b < nb_; ++b) db[b] = sums_[4 + b];
    }
    if (ch_.centroid) {
        const std::size_t k = centroid_at_;
        s.c = sums_[k];
        s.c1 = sums_[k + 1];
        if (ch_.centroid_derivatives) {
            s.cq = sums_[k + 2];
            for (std::size_t b = 0; b < nb_; ++b) dcb[b] = sums_[k + 3 + b];
        }
    }
    return true;
}

template <std::size_t M>
void RadialSums::product_rule(double x, const double* value, const std::array<double, M>& moment,
                              const std::array<double, M>& slope, const std::vector<std::array<double, M>>& hats,
                              GradientSums& s, double* db, double* dcb) const {
    const auto& gl = gauss_legendre<M>();
    double n = 0.0, nx = 0.0, q = 0.0, u = 0.0, c = 0.0, cq = 0.0;
    if (ch_.derivatives)
        for (std::size_t b = 0; b < nb_; ++b) db[b] = 0.0;
    if (ch_.centroid_derivatives)
        for (std::size_t b = 0; b < nb_; ++b) dcb[b] = 0.0;
    for (std::size_t i = 0; i < M; ++i) {
        const double r = 0.5 + 0.5 * gl.x[i];
        const CentroidRing ring = ch_.centroid ? centroid_ring(x, r, x - r, eps_, ch_.harmonic)
                                               : CentroidRing{ring_mean_fast(x, r, eps_), 0.0};
        const double H = (r * TWO_PI) * ring.m;
        n = n + value[i] * H;
        if (ch_.centroid) {
            const double Hb = (r * TWO_PI) * ring.b;
            c = c + value[i] * Hb;
            if (ch_.centroid_derivatives) {
                cq = cq + moment[i] * Hb;
                for (std::size_t b = 0; b < nb_; ++b) dcb[b] = dcb[b] + hats[b][i] * Hb;
            }
        }
        if (!ch_.derivatives) continue;
        const double Hx = (r * TWO_PI) * ring_mean_excess(x, r, x - r, eps_, ring.m);
        const double Hc = (r * TWO_PI) * ring_dipole_f(x, r, x - r, eps_);
        nx = nx + value[i] * Hx;
        q = q + moment[i] * Hx;
        u = u + slope[i] * Hc;
        for (std::size_t b = 0; b < nb_; ++b) db[b] = db[b] + hats[b][i] * Hx;
    }
    s.n = n;
    s.nx = nx;
    s.q = q;
    s.u = u;
    s.c = c;
    s.cq = cq;
}

}  // namespace detail

namespace {

struct PointGradient {
    double a, du, drho;
    double* db;
};

// The gradient of one source radius, point by point.
class GradientIntegrator {
public:
    // With `centroid` the rings also give the centroid's sums (RadialSums::Mode::all),
    // kept for the last point that took them.
    GradientIntegrator(const LawGradient& g, double rho, bool centroid)
        : g_(g), rho_(rho), eps_(1 / rho), flux_(g.law().data().flux), nb_(g.basis_size()),
          sums_(g, rho, centroid ? detail::RadialSums::Mode::all : detail::RadialSums::Mode::gradient),
          dcb_(centroid ? g.basis_size() : 0) {}

    // The ring sums of the last point, once (taken = false if it took none;
    // valid until the next point).
    const detail::PointSums& take_sums() {
        const bool taken = last_taken_;
        last_taken_ = false;
        return taken ? last_ : none_;
    }

    const detail::ProfileMoments& moments() const noexcept {
        return g_.layout() == LawGradient::Layout::uniform ? detail::uniform_disk_moments() : g_.law().data().moments;
    }
    // True where the series serves (x = u/ρ ≥ 3, u² normal).
    bool series_serves(double u) const noexcept {
        const double x = u / rho_;
        return x >= SERIES_FROM && x < HUGE_VAL && u > 1e-150 && u < 1e150;
    }
    // The series' results for a point; false when they do not serve it.
    bool from_series(double u, const detail::FarFieldGradient& fg, bool have_value, PointGradient& out) const {
        if (!have_value || fg.terms == 0) return false;
        out.du = fg.u_d / u;
        out.drho = fg.rho_d / rho_;
        return true;
    }

    // out.a is the value when have_value (the law's own), else set here;
    // with tried_series the series has been tried (and out.a set if it converged).
    void at(double u, bool have_value, PointGradient& out, bool tried_series = false) {
        const double x = u / rho_;
        if (x > detail::POINT_SOURCE_FROM && !have_value) out.a = point_source_magnification(u), have_value = true;
        // Far field: the series.
        if (!tried_series && series_serves(u)) {
            detail::FarFieldValue v{0.0, 0};
            const detail::FarFieldGradient fg = detail::far_field_gradient(u, x, moments(), g_.moment_differences(),
                                                                           nb_, out.db, have_value ? nullptr : &v);
            if (!have_value && v.terms > 0) out.a = v.value, have_value = true;
            if (from_series(u, fg, have_value, out)) return;
        }
        if (g_.layout() == LawGradient::Layout::uniform) {
            // I = 1: Q = U = 0, ρ ∂A/∂ρ = 2(M(x, 1) − A) from the closed form
            // while A − 1 is large enough for the difference; else 2(M̃(x, 1) − Ã),
            // Ã = 2 ∫ r M̃ dr over the rings (a large source).
            out.du = (-2 * dipole_at(x, 1.0)) / rho_;
            if (out.a - 1 > UNIFORM_CLOSED_FROM) {
                out.drho = (2 * (mean_at(x, 1.0) - out.a)) / rho_;
                return;
            }
            GradientSums s;
            const double xc = x > 0.0 && x < CENTRE_ZONE ? 0.0 : x;
            out.drho = sums_.flat(xc, s) ? (2 * (excess_at(xc, 1.0) - s.nx / PI)) / rho_ : NaN;
            return;
        }
        // Within CENTRE_ZONE of the centre the value is the centre's (its
        // panels); the derivatives come from x = CENTRE_ZONE, whose graded
        // panels resolve them better than the centre's two or three (1e-12
        // against 1e-16 for μ^{1/2} terms at ρ = 1), and ∂A/∂u is scaled to x.
        const bool centre = x < CENTRE_ZONE;
        const double xc = centre ? CENTRE_ZONE : x;
        GradientSums s;
        if (centre && !have_value) {
            GradientSums s0;
            std::vector<double> unused(nb_);
            out.a = sums(0.0, s0, unused.data()) ? s0.n / flux_ : NaN;
            have_value = true;
        }
        if (!sums(xc, s, out.db)) {
            out.du = out.drho = NaN;
            for (std::size_t b = 0; b < nb_; ++b) out.db[b] = NaN;
            if (!have_value) out.a = NaN;
            return;
        }
        if (!have_value) out.a = s.n / flux_;
        // With the excess M − 1 throughout: ρ ∂N/∂ρ = 2π I(1) M̃(x, 1) − 2Ñ − Q̃ and
        // ∂A/∂β = (Ñ_β − Ã F_β)/F, Ã = Ñ/F (the constant parts cancel exactly).
        const double excess = s.nx / flux_;
        out.drho = (boundary_excess(xc) - 2 * s.nx - s.q) / (rho_ * flux_);
        for (std::size_t b = 0; b < nb_; ++b) out.db[b] = (out.db[b] - excess * g_.basis_flux(b)) / flux_;
        const double slope = (s.u - boundary_dipole(xc)) / (rho_ * flux_);
        out.du = centre ? (x > 0.0 ? slope * (x / CENTRE_ZONE) : 0.0) : slope;
    }

private:
    // The terms of ρ ∂N/∂ρ and ∂N/∂x from the profile's jumps: I(1) at the
    // limb, a table's jumps ΔI at r_j: Σ 2π ΔI r_j² M(x, r_j) and Σ 2π ΔI r_j C(x, r_j).
    double boundary_excess(double x) const {
        if (g_.layout() == LawGradient::Layout::table) {
            double v = 0.0;
            for (const auto& j : g_.table().jumps) v = v + ((TWO_PI * j.dI) * (j.r * j.r)) * excess_at(x, j.r);
            return v;
        }
        const double I1 = g_.limb_intensity();
        return I1 != 0.0 ? (TWO_PI * I1) * excess_at(x, 1.0) : 0.0;
    }
    double boundary_dipole(double x) const {
        if (g_.layout() == LawGradient::Layout::table) {
            double v = 0.0;
            for (const auto& j : g_.table().jumps) v = v + ((TWO_PI * j.dI) * j.r) * dipole_at(x, j.r);
            return v;
        }
        const double I1 = g_.limb_intensity();
        return I1 != 0.0 ? (TWO_PI * I1) * dipole_at(x, 1.0) : 0.0;
    }
    double mean_at(double x, double r) const {
        return x == r ? HUGE_VAL : detail::ring_mean_fast_f(x, r, x - r, eps_);
    }
    double excess_at(double x, double r) const {
        return x == r ? HUGE_VAL : detail::ring_mean_excess(x, r, x - r, eps_, mean_at(x, r));
    }
    double dipole_at(double x, double r) const {
        return x == r ? HUGE_VAL : detail::ring_dipole_f(x, r, x - r, eps_);
    }

    bool sums(double x, GradientSums& s, double* db) {
        const bool ok = sums_.at(x, s, db, dcb_.data());
        if (ok && sums_.centroid_derivatives()) {
            last_.taken = last_taken_ = true;
            last_.x = x;
            last_.s = s;
            last_.dcb.assign(dcb_.begin(), dcb_.end());
        }
        return ok;
    }

    const LawGradient& g_;
    double rho_, eps_, flux_;
    std::size_t nb_;
    detail::RadialSums sums_;
    std::vector<double> dcb_;
    detail::PointSums last_, none_;
    bool last_taken_ = false;
};

}  // namespace

const char* einstein_gradients(const LawGradient& g, std::span<const double> u, double rho, const GradientOut& out,
                               const PointSumsSink& centroid) {
    const std::size_t nb = g.basis_size();
    const auto basis_row = [&](std::size_t i) { return out.dbasis.data() + i * nb; };
    if (rho == 0.0) {
        for (std::size_t i = 0; i < u.size(); ++i) {
            out.a[i] = point_source_magnification(u[i]);
            out.du[i] = point_source_slope(u[i]);
            out.drho[i] = 0.0;
            std::fill_n(basis_row(i), nb, 0.0);
        }
        return nullptr;
    }
    const bool in_range = rho >= detail::RHO_TINY && rho <= detail::RHO_HUGE;
    const bool small = in_range && rho < SMALL_SOURCE;
    const bool values_first = !in_range || small || g.layout() == LawGradient::Layout::uniform || g.separate_value();
    if (values_first) {
        std::vector<double> scratch(u.size());
        if (const char* failure = einstein_magnifications(g.law(), u, rho, out.a, scratch)) return failure;
    }
    // A small source near the lens (x < 3): A = a(x)/ρ up to O(u², ρ²) (1e-19
    // here), so its gradient is that of a source of SMALL_SOURCE at the same x,
    // ∂A/∂u and ∂A/∂ρ scaled by (SMALL_SOURCE/ρ)², ∂A/∂β by SMALL_SOURCE/ρ (the
    // rings' ε⁴ would overflow below ρ ≈ 1e-77). The far field keeps ρ.
    const auto near_small = [&](std::size_t i) { return small && u[i] / rho < SERIES_FROM; };
    if (small) {
        std::vector<std::size_t> idx;
        for (std::size_t i = 0; i < u.size(); ++i)
            if (near_small(i)) idx.push_back(i);
        const std::size_t m = idx.size();
        std::vector<double> us(m), as(m), dus(m), drs(m), dbs(m * nb);
        for (std::size_t k = 0; k < m; ++k) us[k] = (u[idx[k]] / rho) * SMALL_SOURCE;
        PointSumsSink sink;
        if (centroid) sink = [&](std::size_t k, const detail::PointSums& p) { centroid(idx[k], p); };
        if (const char* failure = einstein_gradients(g, us, SMALL_SOURCE, GradientOut{as, dus, drs, dbs}, sink))
            return failure;
        const double k1 = SMALL_SOURCE / rho, k2 = k1 * k1;
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t i = idx[k];
            out.du[i] = dus[k] * k2;
            out.drho[i] = drs[k] * k2;
            for (std::size_t b = 0; b < nb; ++b) basis_row(i)[b] = dbs[k * nb + b] * k1;
        }
    }
    GradientIntegrator integrator(g, rho, static_cast<bool>(centroid) && g.layout() != LawGradient::Layout::uniform);
    const auto store = [&](std::size_t i, const PointGradient& p) {
        out.a[i] = p.a;
        out.du[i] = p.du;
        out.drho[i] = p.drho;
        if (centroid) centroid(i, integrator.take_sums());
    };
    // Far-field points go to the series four at a time.
    std::size_t index[4];
    double uu[4], xx[4];
    int batched = 0;
    const auto flush = [&]() {
        detail::FarFieldGradient fg[4];
        detail::FarFieldValue v[4];
        double* rows[4];
        for (int k = 0; k < batched; ++k) rows[k] = basis_row(index[k]);
        // Points whose value is known (the law's own, or a point source) take none from the series.
        bool known[4];
        for (int k = 0; k < batched; ++k) known[k] = values_first || xx[k] > detail::POINT_SOURCE_FROM;
        const bool all_known = std::all_of(known, known + batched, [](bool b) { return b; });
        const bool none_known = std::none_of(known, known + batched, [](bool b) { return b; });
        if (batched == 4 && (all_known || none_known)) {
            detail::far_field_gradient4(uu, xx, integrator.moments(), g.moment_differences(), nb, rows,
                                        all_known ? nullptr : v, fg);
        } else {
            for (int k = 0; k < batched; ++k)
                fg[k] = detail::far_field_gradient(uu[k], xx[k], integrator.moments(), g.moment_differences(), nb,
                                                   rows[k], known[k] ? nullptr : &v[k]);
        }
        for (int k = 0; k < batched; ++k) {
            const std::size_t i = index[k];
            PointGradient p{out.a[i], 0.0, 0.0, rows[k]};
            bool have = values_first;
            if (!have && xx[k] > detail::POINT_SOURCE_FROM) p.a = point_source_magnification(uu[k]), have = true;
            if (!have && v[k].terms > 0) p.a = v[k].value, have = true;
            if (!integrator.from_series(uu[k], fg[k], have, p)) integrator.at(uu[k], have, p, true);
            store(i, p);
        }
        batched = 0;
    };
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (!in_range) {
            out.du[i] = out.drho[i] = NaN;
            std::fill_n(basis_row(i), nb, NaN);
            continue;
        }
        if (near_small(i)) continue;  // above
        if (integrator.series_serves(u[i])) {
            index[batched] = i;
            uu[batched] = u[i];
            xx[batched] = u[i] / rho;
            if (++batched == 4) flush();
            continue;
        }
        PointGradient p{out.a[i], 0.0, 0.0, basis_row(i)};
        integrator.at(u[i], values_first, p);
        store(i, p);
    }
    flush();
    return nullptr;
}

}  // namespace kalvorin
