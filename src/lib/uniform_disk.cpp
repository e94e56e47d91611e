// Uniform disk of radius ρ (Einstein radii), lens at u = ρx (Witt & Mao 1994):
//
//   A = (1/π) [ (u+ρ) √(4+(u-ρ)²)/(2ρ²) E(m)
//             - (u-ρ)(8+u²-ρ²)/(2ρ² √(4+(u-ρ)²)) K(m)
//             + 2(u-ρ)²(1+ρ²)/(ρ² (u+ρ) √(4+(u-ρ)²)) Π(n|m) ],
//   n = 4uρ/(u+ρ)²,  m = 4n/(4+(u-ρ)²);
//
// on the limb (u = ρ) A = (1/π)[2/ρ + (1+ρ²)/ρ² (π/2 + asin((ρ²-1)/(ρ²+1)))].
//
// Four formulations, by zone (x = l in source radii):
// - 0 ≤ x < 0.5: the closed form with n and m formed directly, evaluated in
//   a fixed order (E, K, Π; the two-term division by π).
// - 0.5 ≤ x ≤ 2 (and |u − ρ| < 1e-5 Einstein radii): 1 − n and 1 − m vanish
//   like (x − 1)², and forming them by subtraction loses ~1e-16/(2(1 − n))
//   through Π (4.6e-15 just below 0.7, 9e-15 at x = 1.31 measured); here
//   1 − n = d²/s², 1 − m = (d² + 4(1 − n))/(d² + 4) (d = ρ(x − 1),
//   s = ρ(x + 1)); K and Π come from Carlson's forms, E from Bulirsch's cel.
//   Exactly on the limb the closed form above, with the angle evaluated as
//   2·atan ρ (the sum asin + π/2 cancels for small ρ).
// - 2 < x ≤ 3: the E and K terms cancel by up to 7× and either form of the
//   closed form errs by 3–4e-15; here the disk is the area mean of its rings,
//   A = 2 ∫_0^1 r M(x, r) dr, by 14-point Gauss–Legendre in r = sin θ (M is
//   analytic over the disk, its singularities at θ = π/2 ± i·acosh x).
// - x > 3: the E and K terms are each ~x² times the result and cancel
//   (~1e-16·x² lost); the far-field series of far_field.cpp is used instead.
// Measured against mpmath on a random sample and every zone edge ± 1 ulp
// (benchmarks/accuracy.py): ≤ 8.9e-16; steps across the zone edges ≤ 4 ulps
// beyond the true ones.
#include <cmath>
#include <span>
#include <vector>

#include "kernels/elliptic.hpp"
#include "kernels/gauss_legendre.hpp"
#include "lib/float_range.hpp"
#include "lib/model_parts.hpp"
#include "lib/models.hpp"

namespace kalvorin {

namespace detail {

namespace {

// |u − ρ| below this (Einstein radii): complements formed without cancellation.
constexpr double NEAR_LIMB = 1e-5;
// x in [COMPLEMENT_FROM, COMPLEMENT_TO]: the same.
constexpr double COMPLEMENT_FROM = 0.5;
constexpr double COMPLEMENT_TO = 2.0;
// x above this: far-field series.
constexpr double FAR_FIELD = 3.0;

}  // namespace

UniformDisk::UniformDisk(double re, double rstar) noexcept
    : rho_(rstar / re),
      rho2_(rho_ * rho_),
      p2_((rho2_ + 1) / rho2_),
      p3_(2 / rho_),
      p4_(rho_ * 4),
      p5_(rho2_ + rho2_) {}

bool UniformDisk::series_serves(double x, double& u) const noexcept {
    u = rho_ * x;
    // The series needs u² normal and finite.
    return x > FAR_FIELD && x < HUGE_VAL && rho_ > 0.0 && u > 1e-150 && u < 1e150;
}

Result UniformDisk::at(double x) const noexcept {
    double u;
    if (series_serves(x, u)) {
        const FarFieldValue v = far_field_mean(u, x, uniform_disk_moments());
        if (v.terms > 0) return Result::ok(v.value);
    }
    return closed_form(x);
}

Result UniformDisk::closed_form(double x) const noexcept {
    if (x > COMPLEMENT_TO && x <= FAR_FIELD && rho_ >= 1e-100 && rho_ <= 1e100) return Result::ok(by_rings(x));
    if (x == 1.0) return Result::ok((p3_ + p2_ * (2 * std::atan(std::fabs(rho_)))) / PI);
    if (x >= COMPLEMENT_FROM && x <= COMPLEMENT_TO) return complements(x);
    const double u = rho_ * x;
    const double d = u - rho_;
    if (d == 0.0) {
        return Result::ok((p3_ + p2_ * (2 * std::atan(std::fabs(rho_)))) / PI);
    }
    const double s = rho_ + u;
    const double n = (p4_ * u) / (s * s);
    const double d2 = d * d;
    const double S = std::sqrt(d2 + 4);
    const double k = std::sqrt(n * 4) / S;
    const double m = k * k;
    double E, K, Pi;
    if (std::fabs(d) < NEAR_LIMB) {
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
    const double cE = (s * S) / p5_;
    const double cK = (d * (4 + (u * u - rho2_) * 0.5)) / (rho2_ * S);
    const double cPi = ((rho2_ + 1) * (d2 + d2)) / ((rho2_ * s) * S);
    const double X = (cE * E - cK * K) + cPi * Pi;
    return Result::ok((X + PI) / TWO_PI + (X - PI) / TWO_PI);
}

// 0.5 ≤ x ≤ 2: d = ρ(x − 1) with x − 1 exact (Sterbenz), not ρx − ρ, whose
// rounding of ρx is a relative error of up to 50 % in d next to the limb;
// 1 − n = ((x − 1)/(x + 1))², u² − ρ² = d·s.
Result UniformDisk::complements(double x) const noexcept {
    const double t = x - 1;
    const double d = rho_ * t;
    const double s = rho_ * (x + 1);
    const double q = t / (x + 1);
    const double nc = q * q;
    const double n = (x * 4) / ((x + 1) * (x + 1));
    const double d2 = d * d;
    const double S = std::sqrt(d2 + 4);
    const double m = (n * 4) / (d2 + 4);
    const double mc = (d2 + 4 * nc) / (d2 + 4);
    const CompleteIntegrals c = complete_from_complements(m, mc, n, nc, true);
    if (c.failure) return Result::fail(c.failure);
    const double cE = (s * S) / p5_;
    const double cK = (d * (4 + (d * s) * 0.5)) / (rho2_ * S);
    const double cPi = ((rho2_ + 1) * (d2 + d2)) / ((rho2_ * s) * S);
    const double X = (cE * c.E - cK * c.K) + cPi * c.Pi;
    return Result::ok((X + PI) / TWO_PI + (X - PI) / TWO_PI);
}

double UniformDisk::by_rings(double x) const noexcept {
    // 2 ∫_0^{π/2} sin θ cos θ M(x, sin θ) dθ.
    const auto& gl = gauss_legendre<14>();
    constexpr double hw = PI / 4;
    const double eps = 1 / rho_;
    double sum = 0.0;
    for (std::size_t i = 0; i < 14; ++i) {
        const double t = hw + hw * gl.x[i];
        const double r = std::sin(t);
        sum = sum + gl.w[i] * ((r * std::cos(t)) * ring_mean_fast(x, r, eps));
    }
    return (sum * hw) * 2;
}

}  // namespace detail

namespace detail {

const char* uniform_disk_magnifications(std::span<const double> l, double re, double rstar,
                                        std::span<double> out) noexcept {
    const UniformDisk disk(re, rstar);
    // Far-field points go to the series four at a time, after the others; a
    // kernel failure of the closed form ends the loop and is reported for the
    // first failing separation in list order.
    const char* failure = nullptr;
    std::size_t failed_at = l.size();
    const auto closed = [&](std::size_t i) {
        const Result a = disk.closed_form(l[i]);
        if (a.failed() && i < failed_at) {
            failure = a.failure;
            failed_at = i;
        }
        out[i] = a.value;
    };
    FarFieldBatch batch(uniform_disk_moments(), [&](std::size_t i, const FarFieldValue& v) {
        if (v.terms > 0) out[i] = v.value;
        else closed(i);
    });
    for (std::size_t i = 0; i < failed_at; ++i) {
        double u;
        if (disk.series_serves(l[i], u)) batch.push(i, u, l[i]);
        else closed(i);
    }
    batch.flush();
    return failure;
}

}  // namespace detail

ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    ListResult out;
    out.values.resize(l.size());
    const char* failure = detail::over_float_range(l, re, rstar, out.values, detail::uniform_disk_magnifications);
    if (failure) return ListResult{{}, failure};
    detail::mark_outside_domain(l, re, rstar, out.values);
    return out;
}

ListResult witt_mao_failure(std::vector<double> l, double re, double rstar) {
    // The points the disk is evaluated at, as witt_mao_magnification chooses them.
    std::vector<double> unused(l.size());
    const auto check = [](std::span<const double> x, double re1, double rstar1, std::span<double>) -> const char* {
        const detail::UniformDisk disk(re1, rstar1);
        for (const double xi : x) {
            if (!disk.may_fail(xi)) continue;
            const Result a = disk.at(xi);
            if (a.failed()) return a.failure;
        }
        return nullptr;
    };
    return ListResult{{}, detail::over_float_range(l, re, rstar, unused, check)};
}

}  // namespace kalvorin
