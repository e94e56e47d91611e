// The logarithmic coefficient of the ring mean: near the ring,
// M(x, r) = q(r)·ln|r − x| + p(r) with p smooth, which the panel rules of
// the radial integrals rely on. Checked through p: its first and second
// differences across r = x settle as the step shrinks (with a coefficient
// wrong at order (r − x)², the second difference of p grows like ln|r − x|,
// by ~1.4 per decade for x = 0.6, ε = 1). Also the Bulirsch form of the ring
// mean against the Carlson closed form.
#include "check.hpp"
#include "lib/model_parts.hpp"

#include <cmath>
#include <initializer_list>

using namespace kalvorin;

namespace {

double smooth_part(double x, double r, double eps) {
    return detail::ring_mean_fast(x, r, eps) - detail::ring_log_coefficient(x, r, eps) * std::log(std::fabs(r - x));
}

TEST_CASE("ring mean minus its logarithm is smooth through the ring") {
    for (const double x : {0.05, 0.3, 0.6, 0.95}) {
        for (const double eps : {0.1, 1.0, 30.0}) {
            // Second differences with steps 3e-2, 1e-2, 3e-3: a missing
            // (r − x)² ln|r − x| term would change them by O(1) per step.
            double previous = NAN;
            for (const double h : {0.03 * x, 0.01 * x, 0.003 * x}) {
                const double p0 = 0.5 * (smooth_part(x, x + 1e-9 * x, eps) + smooth_part(x, x - 1e-9 * x, eps));
                const double d2 = (smooth_part(x, x + h, eps) + smooth_part(x, x - h, eps) - 2 * p0) / (h * h);
                const double scale = std::fabs(p0) / (x * x);
                if (!std::isnan(previous)) CHECK(std::fabs(d2 - previous) <= 0.02 * scale + 1e-6 * std::fabs(d2));
                previous = d2;
            }
        }
    }
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

}  // namespace

int main() { return kalvorin_test::run_all(); }
