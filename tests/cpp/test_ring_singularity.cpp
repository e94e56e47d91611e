// The logarithmic coefficient of the ring mean: near the ring,
// M(x, r) = q(r)·ln|r − x| + p(r) with p smooth, which the panel rules of
// the radial integrals rely on. Checked through p: its first and second
// differences across r = x settle as the step shrinks (with a coefficient
// wrong at order (r − x)², the second difference of p grows like ln|r − x|,
// by ~1.4 per decade for x = 0.6, ε = 1). Also the Bulirsch form of the ring
// mean against the Carlson closed form.
#include "check.hpp"
#include "kernels/gauss_legendre.hpp"
#include "lib/model_parts.hpp"

#include <cmath>
#include <initializer_list>
#include <utility>

using namespace kalvorin;

namespace {

double smooth_part(double x, double r, double eps) {
    return detail::ring_mean_fast(x, r, eps) - detail::ring_log_coefficient(x, r, eps) * std::log(std::fabs(r - x));
}

// The second differences of part(x, r, eps) across r = x settle as the step h
// shrinks when part is smooth there; a wrong coefficient of ln|r − x| leaves
// a logarithm in part, and its second differences grow by O(1) per step.
// Changes are measured against (|part| + eps_weight·ε)/x².
template <class Part>
void check_smooth_through_ring(Part part, std::initializer_list<double> steps, double eps_weight) {
    for (const double x : {0.05, 0.3, 0.6, 0.95}) {
        for (const double eps : {0.1, 1.0, 30.0}) {
            double previous = NAN;
            for (const double step : steps) {
                const double h = step * x;
                const double p0 = 0.5 * (part(x, x + 1e-9 * x, eps) + part(x, x - 1e-9 * x, eps));
                const double d2 = (part(x, x + h, eps) + part(x, x - h, eps) - 2 * p0) / (h * h);
                const double scale = (std::fabs(p0) + eps_weight * eps) / (x * x);
                if (!std::isnan(previous)) CHECK(std::fabs(d2 - previous) <= 0.02 * scale + 1e-6 * std::fabs(d2));
                previous = d2;
            }
        }
    }
}

TEST_CASE("ring mean minus its logarithm is smooth through the ring") {
    // Steps 3e-2, 1e-2, 3e-3 of x: a missing (r − x)² ln|r − x| term would
    // change the second differences by O(1) per step.
    check_smooth_through_ring(smooth_part, {0.03, 0.01, 0.003}, 0.0);
}

TEST_CASE("log coefficient: leading term -eps/(pi x) on the ring") {
    for (const double x : {0.1, 0.5, 1.0}) {
        for (const double eps : {0.1, 1.0, 10.0}) {
            const double q = detail::ring_log_coefficient(x, x * (1 + 1e-12), eps);
            CHECK_REL(q, -eps / (3.141592653589793 * x), 1e-9);
        }
    }
}

TEST_CASE("Bulirsch ring mean agrees with the Carlson closed form") {
    for (const double x : {0.0, 0.2, 0.7, 1.0, 3.0}) {
        for (const double r : {0.1, 0.5, 0.69999, 1.0}) {
            for (const double eps : {0.01, 1.0, 100.0}) {
                if (x == r) continue;
                const Result closed = detail::ring_magnification(x, r, eps);
                CHECK(!closed.failed());
                CHECK_REL(detail::ring_mean_fast(x, r, eps), closed.value, 2e-15);
            }
        }
    }
}

// ⟨cos φ A(d)⟩ by the trapezoidal rule over a period (geometric
// convergence, like (min(x, r)/max(x, r))^n, away from the ring), in the
// form by parts in φ, 8ε⁴xr⟨sin²φ/(d³(d² + 4ε²)^{3/2})⟩, whose terms are
// positive (the mean of cos φ·A cancels to C/A).
double dipole_by_trapezoid(double x, double r, double eps) {
    constexpr int n = 4096;
    long double sum = 0;
    const long double g = (long double)eps * eps;
    for (int j = 0; j < n; ++j) {
        const long double phi = 2 * 3.14159265358979323846L * j / n;
        const long double d2 = (long double)r * r + (long double)x * x - 2 * (long double)r * x * std::cos(phi);
        const long double s = std::sin(phi), e = d2 + 4 * g;
        sum += (s * s) / (d2 * std::sqrt(d2) * e * std::sqrt(e));
    }
    return (double)(8 * g * g * (long double)x * r * sum / n);
}

TEST_CASE("dipole ring mean against the trapezoidal rule in the angle") {
    for (const double x : {0.0, 1e-6, 0.01, 0.3, 0.7, 1.0, 2.5, 40.0}) {
        for (const double r : {1e-5, 0.1, 0.5, 1.0}) {
            for (const double eps : {0.01, 0.3, 1.0, 100.0}) {
                if (std::fabs(x - r) < 0.3 * std::fmax(x, r)) continue;  // slow convergence near the ring
                const double want = dipole_by_trapezoid(x, r, eps);
                const double got = detail::ring_dipole_f(x, r, x - r, eps);
                if (x == 0.0) {
                    CHECK(got == 0.0);
                    continue;
                }
                CHECK_REL(got, want, 4e-15);
            }
        }
    }
}

double dipole_smooth_part(double x, double r, double eps) {
    return detail::ring_dipole_f(x, r, x - r, eps) -
           detail::ring_log_coefficients(x, r, eps).c * std::log(std::fabs(r - x));
}

TEST_CASE("dipole ring mean minus its logarithm is smooth through the ring") {
    // Steps below the distance 2ε of C's branch points.
    check_smooth_through_ring(dipole_smooth_part, {0.01, 0.003, 0.001}, 0.0);
}

TEST_CASE("log coefficients of the pair: the ring mean's bit for bit") {
    for (const double x : {0.1, 0.5, 1.0, 2.0}) {
        for (const double r : {0.09, 0.4999, 1.0, 2.1}) {
            for (const double eps : {0.01, 1.0, 100.0}) {
                const double alone = detail::ring_log_coefficient(x, r, eps);
                CHECK_EQ_BITS(detail::ring_log_coefficients(x, r, eps).m, alone);
            }
        }
    }
}

// (1/π)∫_0^π (A(d) − 1) dφ with A − 1 = 4ε⁴/(d√(d² + 4ε²)(d² + 2ε² + d√(d² + 4ε²))),
// a form without cancellation, by the trapezoidal rule in long double.
double excess_by_trapezoid(double x, double r, double eps) {
    constexpr int n = 4096;
    long double sum = 0;
    const long double g = (long double)eps * eps;
    for (int j = 0; j < n; ++j) {
        const long double phi = 2 * 3.14159265358979323846L * j / n;
        const long double d2 = (long double)r * r + (long double)x * x - 2 * (long double)r * x * std::cos(phi);
        const long double d = std::sqrt(d2), e = std::sqrt(d2 + 4 * g);
        sum += 4 * g * g / (d * e * (d2 + 2 * g + d * e));
    }
    return (double)(sum / n);
}

TEST_CASE("ring mean excess against the trapezoidal rule") {
    for (const double x : {0.0, 0.3, 0.9, 1.5, 2.9}) {
        for (const double r : {0.05, 0.5, 1.0}) {
            for (const double eps : {1e-3, 0.01, 0.1, 2.0}) {
                if (std::fabs(x - r) < 0.3 * std::fmax(x, r)) continue;
                const double M = detail::ring_mean_fast(x, r, eps);
                const double got = detail::ring_mean_excess(x, r, x - r, eps, M);
                // the series where the ring keeps 4ε from the lens, else the subtraction
                // M − 1 (rounding of M relative to the excess)
                const double want = excess_by_trapezoid(x, r, eps);
                const bool series = std::fabs(x - r) >= 4 * eps;
                CHECK_REL(got, want, series ? 4e-15 : 4e-15 + 4e-16 * M / want);
            }
        }
    }
}

}  // namespace

// The centroid's ring term b = ⟨(u − a cos φ)(A + B)⟩ − u M = u⟨B⟩ − a⟨cos φ (A + B)⟩,
// B(d) = ε²/(d√(d² + 4ε²)), by the trapezoidal rule (long double); also the
// sum of the terms' magnitudes, the scale its rounding is measured against
// (where the ring encloses the lens the two means cancel to O(u ε⁴/a⁴)).
struct TrapezoidBracket {
    double b, scale;
};
// The mean over φ of term(cos φ, d², d, e = √(d² + 4g), g) → {value, magnitude}
// by the trapezoidal rule in long double.
template <class Term>
TrapezoidBracket ring_trapezoid(double x, double r, double eps, Term term) {
    constexpr int n = 8192;
    long double sum = 0, mag = 0;
    const long double g = (long double)eps * eps;
    for (int j = 0; j < n; ++j) {
        const long double phi = 2 * 3.14159265358979323846L * j / n;
        const long double c = std::cos(phi);
        const long double d2 = (long double)r * r + (long double)x * x - 2 * (long double)r * x * c;
        const long double d = std::sqrt(d2), e = std::sqrt(d2 + 4 * g);
        const auto [v, m] = term(c, d2, d, e, g);
        sum += v;
        mag += m;
    }
    return {(double)(sum / n), (double)(mag / n)};
}

TrapezoidBracket bracket_by_trapezoid(double x, double r, double eps) {
    return ring_trapezoid(x, r, eps, [&](long double c, long double d2, long double d, long double e, long double g) {
        const long double B = g / (d * e), AB = (d2 + 3 * g) / (d * e);
        return std::pair{x * B - r * c * AB, std::fabs(x * B) + std::fabs(r * c * AB)};
    });
}

TEST_CASE("centroid ring term against the trapezoidal rule; its ring mean the bits of the ring mean") {
    for (const double x : {0.0, 1e-6, 0.01, 0.3, 0.7, 1.0, 2.5, 40.0}) {
        for (const double r : {1e-5, 0.1, 0.5, 1.0}) {
            for (const double eps : {0.01, 0.3, 1.0, 100.0}) {
                if (std::fabs(x - r) < 0.3 * std::fmax(x, r)) continue;  // slow convergence near the ring
                const detail::CentroidRing got = detail::centroid_ring(x, r, x - r, eps);
                CHECK(got.m == detail::ring_mean_fast_f(x, r, x - r, eps));
                const TrapezoidBracket want = bracket_by_trapezoid(x, r, eps);
                if (x == 0.0) {
                    CHECK(got.b == 0.0);
                    continue;
                }
                CHECK(std::fabs(got.b - want.b) <= 4e-16 * want.scale + 4e-15 * std::fabs(want.b));
            }
        }
    }
}

// b less its harmonic part g/x (r < x) by the trapezoidal rule, in long
// double, from cancellation-free forms: with t = g/d², A − 1 and B − t,
//   b̃ = ⟨x (B − t) − r cos φ ((A − 1) + (B − t))⟩   (⟨r cos φ⟩ = 0).
TrapezoidBracket harmonic_free_by_trapezoid(double x, double r, double eps) {
    return ring_trapezoid(x, r, eps, [&](long double c, long double d2, long double d, long double e, long double g) {
        const long double a1 = 4 * g * g / (d * e * (d2 + 2 * g + d * e));
        const long double bt = -4 * g * g / (d2 * e * (d + e));
        return std::pair{x * bt - r * c * (a1 + bt), std::fabs(x * bt) + std::fabs(r * c * (a1 + bt))};
    });
}

TEST_CASE("centroid ring term without its harmonic part against the trapezoidal rule") {
    for (const double x : {0.3, 1.0, 2.5, 40.0}) {
        for (const double r : {1e-5, 0.1, 0.2}) {
            for (const double eps : {1e-3, 0.01, 0.3, 1.0, 100.0}) {
                if (!(r < x) || std::fabs(x - r) < 0.3 * x) continue;
                const detail::CentroidRing with = detail::centroid_ring(x, r, x - r, eps);
                const detail::CentroidRing got = detail::centroid_ring(x, r, x - r, eps, false);
                CHECK(got.m == with.m);
                const TrapezoidBracket want = harmonic_free_by_trapezoid(x, r, eps);
                // formed by the subtraction where the ring comes within 4ε of the lens
                const double h = std::fabs(x - r) < 4 * eps ? eps * eps / x : 0.0;
                CHECK(std::fabs(got.b - want.b) <= 4e-16 * (want.scale + h) + 4e-15 * std::fabs(want.b));
            }
        }
    }
    // outside the lens's distance there is no harmonic part
    CHECK(detail::centroid_ring(0.3, 0.9, -0.6, 0.01, false).b == detail::centroid_ring(0.3, 0.9, -0.6, 0.01).b);
}

double bracket_smooth_part(double x, double r, double eps) {
    return detail::centroid_ring(x, r, x - r, eps).b -
           detail::centroid_log_coefficients(x, r, eps).b * std::log(std::fabs(r - x));
}

TEST_CASE("centroid ring term minus its logarithm is smooth through the ring") {
    // b's smooth part passes through 0 near the ring: measured against ε/x² too.
    check_smooth_through_ring(bracket_smooth_part, {0.01, 0.003, 0.001}, 1.0);
}

TEST_CASE("centroid log coefficients: the ring mean's bit for bit, and eps/pi on the ring") {
    for (const double x : {0.1, 0.5, 1.0, 2.0}) {
        for (const double eps : {0.01, 1.0, 50.0}) {
            const double r = x * (1 + 1e-9);
            const detail::CentroidLogCoefficients q = detail::centroid_log_coefficients(x, r, eps);
            CHECK(q.ring.m == detail::ring_log_coefficient(x, r, eps));
            CHECK(q.ring.c == detail::ring_log_coefficients(x, r, eps).c);
            CHECK_REL(q.b, eps / 3.141592653589793, 1e-7);
        }
    }
}

// The uniform disk's closed-form numerator (divergence theorem) against the
// ring terms it differentiates to: N_c(x, a2) − N_c(x, a1) = ∫_{a1}^{a2} 2πr b(x, r) dr
// on intervals clear of the ring (composite 24-point Gauss–Legendre), with
// N_c(x, a) = a³ N_c(x/a, 1) at Einstein radius ε/a (lengths scale by a).
double disk_numerator(double x, double a, double eps) {
    return a * a * a * detail::uniform_disk_centroid_numerator(x / a, x / a - 1, eps / a);
}

TEST_CASE("uniform disk's centroid numerator against the integral of the ring terms") {
    const auto& gl = gauss_legendre<24>();
    for (const double eps : {0.01, 0.3, 5.0}) {
        for (const double x : {0.05, 0.3, 0.8, 2.0}) {
            for (const auto [lo, hi] : {std::pair{0.02, 0.04}, std::pair{0.1, 0.25}, std::pair{0.35, 0.7},
                                        std::pair{0.9, 1.0}}) {
                if (lo <= x && x <= hi) continue;
                long double sum = 0;
                constexpr int panels = 64;
                for (int j = 0; j < panels; ++j) {
                    const double a = lo + (hi - lo) * j / panels, b = lo + (hi - lo) * (j + 1) / panels;
                    const double hw = 0.5 * (b - a), c = 0.5 * (a + b);
                    for (int i = 0; i < 24; ++i) {
                        const double r = c + hw * gl.x[i];
                        sum += (long double)gl.w[i] * hw * (6.283185307179586 * r) *
                               detail::centroid_ring(x, r, x - r, eps).b;
                    }
                }
                const double want = disk_numerator(x, hi, eps) - disk_numerator(x, lo, eps);
                const double scale = std::fabs(disk_numerator(x, hi, eps)) + std::fabs(disk_numerator(x, lo, eps));
                CHECK(std::fabs((double)sum - want) <= 1e-14 * scale + 1e-13 * std::fabs(want));
            }
        }
    }
}

TEST_CASE("uniform disk's centroid numerator: 0 at the centre and on the limb, the sign of x - 1") {
    for (const double eps : {1e-3, 1.0, 1e3}) {
        CHECK(detail::uniform_disk_centroid_numerator(0.0, -1.0, eps) == 0.0);
        CHECK(detail::uniform_disk_centroid_numerator(1.0, 0.0, eps) == 0.0);
        for (const double x : {1e-6, 0.5, 1 - 1e-9}) CHECK(detail::uniform_disk_centroid_numerator(x, x - 1, eps) < 0.0);
        for (const double x : {1 + 1e-9, 2.0, 2.9}) CHECK(detail::uniform_disk_centroid_numerator(x, x - 1, eps) > 0.0);
    }
}

int main() { return kalvorin_test::run_all(); }
