// Magnification models: uniform disk, ring mean, discrete and integrated profiles.
//
// Every expression below is written in the order in which it is evaluated;
// the build forbids contraction into fused multiply-add, so results are
// reproducible to the last bit.
#include "lib/models.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "kernels/elliptic.hpp"
#include "kernels/interp.hpp"
#include "kernels/quadrature.hpp"

namespace kalvorin {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;

// Limb band of the uniform disk: |u - rho| below this (Einstein radii).
constexpr double WITT_MAO_NEAR_LIMB = 1e-5;
// Around the limb |x - 1| below this (source radii), the complementary
// parameters are formed without cancellation.
constexpr double WITT_MAO_LIMB_ZONE = 0.01;
// Near-ring window of the ring mean, |u - r| below this (source radii).
constexpr double RING_WINDOW = 0.001;

[[noreturn]] void assert_equal_lengths(std::size_t left, std::size_t right, const char* file, int line) {
    throw AssertionFailure("assertion `left == right` failed\n  left: " + std::to_string(left) +
                               "\n right: " + std::to_string(right),
                           file, line);
}

#define KALVORIN_ASSERT_EQ_LEN(a, b)                                      \
    do {                                                                   \
        if ((a).size() != (b).size())                                      \
            assert_equal_lengths((a).size(), (b).size(), __FILE__, __LINE__); \
    } while (0)

// Complete K, E and Π(n|m) from the complementary parameters mc = 1 - m and
// nc = 1 - n, given directly so that no cancellation occurs when m and n are
// close to 1 (DLMF 19.25.1-2):
//   K = RF(0, mc, 1),  E = K - (m/3) RD(0, mc, 1),  Π = K + (n/3) RJ(0, mc, 1, nc).
struct CompleteIntegrals {
    double K, E, Pi;
    const char* failure;
};

CompleteIntegrals complete_from_complements(double m, double mc, double n, double nc, bool want_e) {
    CompleteIntegrals out{0.0, 0.0, 0.0, nullptr};
    const Result rf = elliprf(0.0, mc, 1.0);
    if (rf.failed()) return out.failure = rf.failure, out;
    out.K = rf.value;
    if (want_e) {
        const Result rd = elliprd(0.0, mc, 1.0);
        if (rd.failed()) return out.failure = rd.failure, out;
        out.E = out.K - (m / 3) * rd.value;
    }
    const Result rj = elliprj(0.0, mc, 1.0, nc);
    if (rj.failed()) return out.failure = rj.failure, out;
    out.Pi = out.K + (n / 3) * rj.value;
    return out;
}

}  // namespace

// Uniform disk of radius rho (Einstein radii), lens at u = rho*x (Witt & Mao 1994):
//
//   A = (1/π) [ (u+ρ) √(4+(u-ρ)²)/(2ρ²) E(m)
//             - (u-ρ)(8+u²-ρ²)/(2ρ² √(4+(u-ρ)²)) K(m)
//             + 2(u-ρ)²(1+ρ²)/(ρ² (u+ρ) √(4+(u-ρ)²)) Π(n|m) ],
//   n = 4uρ/(u+ρ)²,  m = 4n/(4+(u-ρ)²);
//
// on the limb (u = ρ) A = (1/π)[2/ρ + (1+ρ²)/ρ² (π/2 + asin((ρ²-1)/(ρ²+1)))].
//
// Near the limb 1 - n and 1 - m are tiny and forming them by subtraction
// loses ~1e-16/(x-1)² relative accuracy; there the complements are formed as
// 1 - n = d²/s², 1 - m = (d² + 4(1-n))/(d² + 4) and the integrals are taken
// from Carlson's forms directly. Accuracy: ≤ 1e-13 relative against an
// independent high-precision evaluation for ρ from 1e-5 to 100.
namespace {

// Quantities of the uniform disk that depend on rho = rstar/re only.
struct Disk {
    double rho, rho2, p2, p3, p4, p5;

    Disk(double re, double rstar) noexcept
        : rho(rstar / re),
          rho2(rho * rho),
          p2((rho2 + 1) / rho2),
          p3(2 / rho),
          p4(rho * 4),
          p5(rho2 + rho2) {}

    // Magnification at separation x (source radii), or a kernel failure.
    Result at(double x) const noexcept {
        const double u = rho * x;
        const double d = u - rho;
        if (d == 0.0) {
            // Lens on the limb: closed form, depends on rho only. The angle
            // asin((ρ²-1)/(ρ²+1)) + π/2 equals 2·atan|ρ|; evaluated as a sum
            // it cancels for small ρ (2e-8 relative at ρ = 1e-5).
            return Result::ok((p3 + p2 * (2 * std::atan(std::fabs(rho)))) / PI);
        }
        const double s = rho + u;
        const double n = (p4 * u) / (s * s);
        const double d2 = d * d;
        const double S = std::sqrt(d2 + 4);
        const double k = std::sqrt(n * 4) / S;
        const double m = k * k;
        double E, K, Pi;
        if (std::fabs(d) < WITT_MAO_NEAR_LIMB || std::fabs(x - 1) < WITT_MAO_LIMB_ZONE) {
            const double nc = d2 / (s * s);
            const double mc = (d2 + 4 * nc) / (d2 + 4);
            const CompleteIntegrals c = complete_from_complements(m, mc, n, nc, true);
            if (c.failure) return Result::fail(c.failure);
            E = c.E;
            K = c.K;
            Pi = c.Pi;
        } else {
            const Result e = ellipe(m);
            if (e.failed()) return e;
            const Result kk = ellipk(m);
            if (kk.failed()) return kk;
            const Result pp = ellippi(n, m);
            if (pp.failed()) return pp;
            E = e.value;
            K = kk.value;
            Pi = pp.value;
        }
        const double cE = (s * S) / p5;
        const double cK = (d * (4 + (u * u - rho2) * 0.5)) / (rho2 * S);
        const double cPi = ((rho2 + 1) * (d2 + d2)) / ((rho2 * s) * S);
        const double X = (cE * E - cK * K) + cPi * Pi;
        return Result::ok((X + PI) / TWO_PI + (X - PI) / TWO_PI);
    }
};

}  // namespace

ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    const Disk disk(re, rstar);
    ListResult out;
    out.values.reserve(l.size());
    for (const double x : l) {
        const Result a = disk.at(x);
        if (a.failed()) return ListResult{{}, a.failure};
        out.values.push_back(a.value);
    }
    return out;
}

namespace {
// Ring mean for a lens at u, ring radius rho, Einstein radius eps (source radii).
Result ring_magnification(double u, double rho, double eps) noexcept;
}  // namespace

// Mean point-lens magnification over a ring of radius ρ = r around the source
// centre, lens at u = l, ε = re/rstar the Einstein radius in source radii:
//
//   M = (1/2π) ∫_0^{2π} A(√(u² + ρ² - 2uρ cos θ)) dθ,  A(x) = (x² + 2ε²)/(x √(x² + 4ε²))
//     = 4/(2π S √D) · (f² Π(n|m) + 2ε² K(m)),
//   f = u - ρ, S = u + ρ, D = f² + 4ε², n = 4uρ/S², m = 16ε²uρ/(S² D).
//
// Within |f| < 0.001 of the ring, 1 - m = f²(S² + 4ε²)/(S² D) and
// 1 - n = f²/S² are formed directly (they vanish like f²); exactly on the
// ring (f = 0) the mean diverges logarithmically and the leading term of its
// expansion gives +∞ (NaN for u = ρ = 0). Accuracy: ≤ 1e-12 relative
// against the angular average evaluated at high precision.
Result heyrovsky_magnification(double l, double r, double re, double rstar) {
    return ring_magnification(l, r, re / rstar);
}

namespace {

Result ring_magnification(double u, double rho, double eps) noexcept {
    const double g = eps * eps;
    const double f = u - rho;

    if (f == 0.0) {
        // Leading terms of the logarithmic expansion about the ring; the
        // logarithm is of +∞ here.
        const double s = std::sqrt(u * u + g);
        const double L = std::log(((eps * 8) * u) / (std::fabs(f) * s));
        const double T = std::atan(u / eps);
        const double B = (1 - f / (u + u)) * ((eps + eps) / u);
        const double Q = (eps * ((u * u + u * u) + g)) / ((u * u) * (u * u + g));
        const double A = ((T * 4) + B * L) + f * Q;
        return Result::ok(A / TWO_PI);
    }

    const double f2 = f * f;
    const double D = f2 + g * 4;
    const double S = u + rho;
    if (std::fabs(f) < RING_WINDOW && u >= 0.0 && rho >= 0.0) {
        const double S2 = S * S;
        const double mc = (f2 * (S2 + g * 4)) / (S2 * D);
        const double nc = f2 / S2;
        const double n = ((u * 4) * rho) / S2;
        const CompleteIntegrals c = complete_from_complements(0.0, mc, n, nc, false);
        if (c.failure) return Result::fail(c.failure);
        const double A = (4 / (S * std::sqrt(D))) * (f2 * c.Pi + (g + g) * c.K);
        return Result::ok(A / TWO_PI);
    }

    const double k = ((eps * 4) / S) * std::sqrt((u * rho) / D);
    const double m = k * k;
    const Result K = ellipk(m);
    if (K.failed()) return K;
    const double n = ((u * 4) * rho) / (S * S);
    const Result P = ellippi(n, m);
    if (P.failed()) return P;
    const double A = (4 / (S * std::sqrt(D))) * (f2 * P.value + (g + g) * K.value);
    return Result::ok(A / TWO_PI);
}

}  // namespace

// Weighted sum of ring means over the rings (bl[j], bf[j]); weights are used
// as given (not normalised).
ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                     std::vector<double> bl, std::vector<double> bf) {
    KALVORIN_ASSERT_EQ_LEN(bl, bf);
    ListResult out;
    out.values.reserve(l.size());
    for (const double u : l) {
        double sum = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            const Result h = heyrovsky_magnification(u, bl[j], re, rstar);
            if (h.failed()) return ListResult{{}, h.failure};
            sum = sum + h.value * bf[j];
        }
        out.values.push_back(sum);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Integration over the source radius
// ---------------------------------------------------------------------------

namespace {

// ∫_0^1 2πr I(r) dr for the built-in law, as the quadrature evaluates it
// (0.8π to 1.6e-14); dividing by the quadrature's own value makes a source
// far from the lens come out at 1 to rounding.
constexpr double LIMB_DARKENING_NORM = 2.5132741228717936;
// Absolute target of the quadrature for the flux of a tabulated profile.
constexpr double FLUX_TARGET = 1e-16;
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

// Linear limb darkening with coefficient 0.6: I(r) = 1 + (1 - sqrt(1 - r²))·(-0.6).
double limb_darkening_profile(double r) {
    const double t = 1 - r * r;
    const double s = std::sqrt(t);
    return 1 + (1 - s) * (-0.6);
}

// Breakpoints of the integration over [0, 1]: the ends, the table radii
// strictly inside, and the separation when the lens lies inside the source
// (the ring through the lens is logarithmically singular). Tanh-sinh handles
// kinks and integrable singularities at the ends of an interval, not inside.
std::vector<double> radius_breakpoints(const std::vector<double>& table_radii) {
    std::vector<double> points{0.0, 1.0};
    for (const double b : table_radii)
        if (b > 0.0 && b < 1.0) points.push_back(b);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

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

// Flux of a tabulated profile, ∫_0^1 (r·2π)·p(r) dr.
template <class Profile>
double profile_flux(const Profile& profile, const std::vector<double>& points) {
    const auto integrand = [&](double r) { return (r * TWO_PI) * profile(r); };
    return integrate_pieces(integrand, points, std::numeric_limits<double>::quiet_NaN(), FLUX_TARGET).integral;
}

// For each separation u: ∫_0^1 ((r·2π)·M(u, r))·I(r) dr / N, with M the ring
// mean (a kernel failure counts as NaN, which the quadrature ignores).
// The uniform-disk magnifications of `l` set the accuracy target; callers
// that have them already pass them in. Records the number of ring
// evaluations per separation when asked.
template <class Profile>
std::vector<double> integrate_rings(const std::vector<double>& l, const Profile& profile, double re,
                                    double rstar, double norm, const std::vector<double>& points,
                                    const std::vector<double>* disk_values = nullptr,
                                    std::vector<std::uint32_t>* evaluations = nullptr) {
    const Disk disk(re, rstar);
    const double eps = re / rstar;
    std::vector<double> values;
    values.reserve(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double u = l[i];
        const auto integrand = [&](double r) {
            const Result ring = ring_magnification(u, r, eps);
            const double M = ring.failed() ? std::numeric_limits<double>::quiet_NaN() : ring.value;
            const double w = r * TWO_PI;
            return (w * M) * profile(r);
        };
        const Result scale = disk_values ? Result::ok((*disk_values)[i]) : disk.at(u);
        double target = FALLBACK_TARGET;
        if (!scale.failed() && !(u > 1.0 && u < 1.0 + NEAR_LIMB_OUTSIDE)) {
            const double relative = RELATIVE_TARGET * std::fabs(norm * scale.value);
            if (std::isfinite(relative) && relative > 0.0) target = relative;
        }
        // The ring through the lens (r = u) is singular: split there.
        const PieceSum sum = integrate_pieces(integrand, points, u, target);
        values.push_back(sum.integral / norm);
        if (evaluations) evaluations->push_back(sum.evaluations);
    }
    return values;
}

template <class Profile>
ListResult _integrated_heyrovsky_magnification(std::vector<double> l, const Profile& profile, double re,
                                               double rstar, double norm, const std::vector<double>& points) {
    return ListResult{integrate_rings(l, profile, re, rstar, norm, points), nullptr};
}

template <class Profile>
ListResult _integrated_witt_mao_magnification(std::vector<double> l, const Profile& profile, double re,
                                              double rstar, double norm, const std::vector<double>& points) {
    // The uniform-disk values are evaluated first, so that a kernel failure at
    // any separation ends the call before any integration.
    const ListResult disk = witt_mao_magnification(l, re, rstar);
    if (disk.failed()) return disk;
    return ListResult{integrate_rings(l, profile, re, rstar, norm, points, &disk.values), nullptr};
}

}  // namespace

std::vector<std::uint32_t> integrated_ring_evaluations(const std::vector<double>& l, double re, double rstar) {
    std::vector<std::uint32_t> counts;
    integrate_rings(l, limb_darkening_profile, re, rstar, LIMB_DARKENING_NORM, radius_breakpoints({}), nullptr,
                    &counts);
    return counts;
}

ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_witt_mao_magnification(std::move(l), limb_darkening_profile, re, rstar,
                                              LIMB_DARKENING_NORM, radius_breakpoints({}));
}

ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_heyrovsky_magnification(std::move(l), limb_darkening_profile, re, rstar,
                                               LIMB_DARKENING_NORM, radius_breakpoints({}));
}

namespace {

// A flux-map operation: checks the table (before any other work), builds the
// interpolated profile and its flux, then runs `operation` with them.
template <class Operation>
ListResult with_flux_map(std::vector<double> l, double re, double rstar, std::vector<double> bl,
                         std::vector<double> bf, Operation operation) {
    KALVORIN_ASSERT_EQ_LEN(bl, bf);
    const std::vector<double> points = radius_breakpoints(bl);
    const PiecewiseLinear profile(std::move(bl), std::move(bf), 0.0);
    const double norm = profile_flux(profile, points);
    return operation(std::move(l), profile, re, rstar, norm, points);
}

}  // namespace

ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re, double rstar,
                                                      std::vector<double> bl, std::vector<double> bf) {
    return with_flux_map(std::move(l), re, rstar, std::move(bl), std::move(bf), [](auto&&... args) {
        return _integrated_witt_mao_magnification(std::forward<decltype(args)>(args)...);
    });
}

ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                       std::vector<double> bl, std::vector<double> bf) {
    return with_flux_map(std::move(l), re, rstar, std::move(bl), std::move(bf), [](auto&&... args) {
        return _integrated_heyrovsky_magnification(std::forward<decltype(args)>(args)...);
    });
}

}  // namespace kalvorin
