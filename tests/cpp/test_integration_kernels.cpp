// Tests of the kernels behind the radial integrals: Gauss–Legendre rules,
// Bulirsch's complete integral and the joint RF/RD duplication, against the
// 50-digit mpmath tables of the elliptic kernels
// (tests/reference/gen_elliptic_reference.py) and exact polynomial moments.
#include "check.hpp"
#include "kernels/bulirsch.hpp"
#include "kernels/elliptic.hpp"
#include "kernels/gauss_legendre.hpp"

#include <cmath>
#include <cstddef>

using namespace kalvorin;

namespace {

struct Ref1 { double m, v; };
struct Ref2 { double a, b, v; };
struct Ref3 { double x, y, z, v; };
struct Ref4 { double x, y, z, p, v; };
struct Ref4s { double x, y, z, p, v, scale; };

#include "elliptic_reference.inc"

// ∫_{-1}^{1} x^k dx is 0 for odd k and 2/(k + 1) for even k; an n-point
// rule is exact (to rounding) for k ≤ 2n − 1 and its nodes are symmetric.
template <std::size_t N>
void check_rule() {
    const auto& r = gauss_legendre<N>();
    for (std::size_t i = 0; i < N; ++i) {
        CHECK(r.x[i] > -1.0 && r.x[i] < 1.0);
        if (i > 0) CHECK(r.x[i] > r.x[i - 1]);
        CHECK_ULPS(r.x[i], -r.x[N - 1 - i], 0);
        CHECK(r.w[i] > 0.0);
    }
    for (std::size_t k = 0; k < 2 * N; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i < N; ++i) sum += r.w[i] * std::pow(r.x[i], static_cast<double>(k));
        const double exact = (k % 2 == 1) ? 0.0 : 2.0 / (k + 1.0);
        CHECK(std::fabs(sum - exact) <= 8e-16);
    }
    // Degree 2n has the classical error 2^{2n+1}(n!)^4/((2n + 1)((2n)!)^2)
    // (DLMF 3.5.19 with f = x^{2n}); checked where it exceeds rounding.
    if (N <= 14) {
        double sum = 0.0;
        for (std::size_t i = 0; i < N; ++i) sum += r.w[i] * std::pow(r.x[i], static_cast<double>(2 * N));
        const double n = N;
        const double error = std::exp((2 * n + 1) * std::log(2.0) + 4 * std::lgamma(n + 1) -
                                      std::log(2 * n + 1) - 2 * std::lgamma(2 * n + 1));
        CHECK_REL(2.0 / (2 * n + 1.0) - sum, error, 1e-6);
    }
}

TEST_CASE("gauss legendre rules integrate polynomials exactly") {
    check_rule<8>();
    check_rule<12>();
    check_rule<14>();
    check_rule<20>();
    check_rule<24>();
    check_rule<32>();
    check_rule<48>();
}

TEST_CASE("gauss legendre known nodes") {
    // 2-point-like check on a larger rule: the 14-point rule's largest node,
    // 0.9862838086968123388415972667 (DLMF §3.5 tables / mpmath).
    CHECK_ULPS(gauss_legendre<14>().x[13], 0.9862838086968123, 2);
    // Weight sum 2.
    double s = 0.0;
    for (const double w : gauss_legendre<48>().w) s += w;
    CHECK(std::fabs(s - 2.0) <= 4e-15);
}

TEST_CASE("cel gives K and E of the reference table") {
    // K(m) = cel(kc, 1, 1, 1), E(m) = cel(kc, 1, 1, kc²) with kc² = 1 − m.
    for (const auto& row : K_REFERENCE) {
        if (!(row.m < 1.0 && row.m > -1e3) || !std::isfinite(row.v)) continue;
        const double kc = std::sqrt(1.0 - row.m);
        CHECK_REL(cel(kc, 1.0, 1.0, 1.0), row.v, 2e-15);
    }
    for (const auto& row : E_REFERENCE) {
        if (!(row.m < 1.0 && row.m > -1e3) || !std::isfinite(row.v)) continue;
        const double kc2 = 1.0 - row.m;
        CHECK_REL(cel(std::sqrt(kc2), 1.0, 1.0, kc2), row.v, 2e-15);
    }
}

TEST_CASE("cel gives Pi of the reference table") {
    // Π(n|m) = cel(kc, 1 − n, 1, 1) for n < 1.
    for (const auto& row : PI_REFERENCE) {
        const double n = row.a, m = row.b;
        if (!(n < 1.0 && m < 1.0 && m > -1e3 && n > -1e3) || !std::isfinite(row.v)) continue;
        CHECK_REL(cel(std::sqrt(1.0 - m), 1.0 - n, 1.0, 1.0), row.v, 4e-15);
    }
}

TEST_CASE("cel several numerators share one iteration") {
    const auto two = cel<2>(0.3, 0.7, {1.0, 0.25}, {2.0, -0.5});
    CHECK_ULPS(two[0], cel(0.3, 0.7, 1.0, 2.0), 0);
    CHECK_ULPS(two[1], cel(0.3, 0.7, 0.25, -0.5), 0);
}

TEST_CASE("cel does not loop on invalid input") {
    CHECK(std::isnan(cel(0.0, 1.0, 1.0, 1.0)));
    CHECK(std::isnan(cel(std::nan(""), 1.0, 1.0, 1.0)));
}

TEST_CASE("joint rf rd matches the reference tables") {
    for (const auto& row : RF_REFERENCE) {
        if (!(row.x > 0.0 && row.y > 0.0 && row.z > 0.0) || !std::isfinite(row.v)) continue;
        if (row.x > 1e100 || row.y > 1e100 || row.z > 1e100) continue;
        CHECK_REL(elliprf_rd(row.x, row.y, row.z).rf, row.v, 4e-15);
    }
    for (const auto& row : RD_REFERENCE) {
        if (!(row.x > 0.0 && row.y > 0.0 && row.z > 0.0) || !std::isfinite(row.v)) continue;
        if (row.x > 1e100 || row.y > 1e100 || row.z > 1e100) continue;
        CHECK_REL(elliprf_rd(row.x, row.y, row.z).rd, row.v, 4e-15);
    }
}

}  // namespace

int main() { return kalvorin_test::run_all(); }
