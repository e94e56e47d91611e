// Gauss–Legendre rules on [-1, 1]:  ∫_{-1}^{1} f(x) dx ≈ Σ_i w_i f(x_i),
// exact for polynomials of degree ≤ 2n − 1 and geometrically convergent for
// functions analytic on the interval (error ~ ρ^{−2n}, ρ the sum of the
// semi-axes of the largest Bernstein ellipse free of singularities).
//
// Nodes are the zeros of P_n, found by Newton's iteration from Tricomi's
// asymptotic estimate in extended precision (long double), weights
// w_i = 2/((1 − x_i²) P_n'(x_i)²); rounded once to double (≤ 1 ulp; checked
// against mpmath in tests/cpp/test_gauss_legendre.cpp). Reference: DLMF
// §3.5(v); A. Glaser, X. Liu, V. Rokhlin, SIAM J. Sci. Comput. 29 (2007).
//
// Each rule is computed on first use and cached (thread-safe static
// initialisation); nodes are in increasing order.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace kalvorin {

template <std::size_t N>
struct GaussLegendreRule {
    std::array<double, N> x;
    std::array<double, N> w;
};

// P_N(x) and its derivative, by the three-term recurrence.
template <std::size_t N>
void legendre_and_derivative(long double x, long double& p, long double& dp) noexcept {
    long double p0 = 1.0L, p1 = x;
    for (std::size_t k = 2; k <= N; ++k) {
        const long double p2 = ((2.0L * k - 1.0L) * x * p1 - (k - 1.0L) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    p = p1;
    dp = static_cast<long double>(N) * (x * p1 - p0) / (x * x - 1.0L);
}

template <std::size_t N>
GaussLegendreRule<N> make_gauss_legendre() noexcept {
    GaussLegendreRule<N> rule{};
    constexpr long double PI_L = 3.141592653589793238462643383279502884L;
    const long double n = N;
    for (std::size_t i = 0; i < (N + 1) / 2; ++i) {
        // i-th largest zero, Tricomi's estimate, then Newton's iteration.
        const long double theta = PI_L * (4.0L * (i + 1) - 1.0L) / (4.0L * n + 2.0L);
        long double x = (1.0L - (n - 1.0L) / (8.0L * n * n * n)) * std::cos(theta);
        long double p, dp;
        for (int iter = 0; iter < 100; ++iter) {
            legendre_and_derivative<N>(x, p, dp);
            const long double dx = p / dp;
            x -= dx;
            if (std::fabs(dx) <= 1e-19L * std::fabs(x) || dx == 0.0L) break;
        }
        legendre_and_derivative<N>(x, p, dp);
        const long double w = 2.0L / ((1.0L - x * x) * dp * dp);
        rule.x[N - 1 - i] = static_cast<double>(x);
        rule.x[i] = static_cast<double>(-x);
        rule.w[N - 1 - i] = static_cast<double>(w);
        rule.w[i] = static_cast<double>(w);
    }
    if (N % 2 == 1) rule.x[N / 2] = 0.0;
    return rule;
}

// The n-point rule, computed once per process.
template <std::size_t N>
const GaussLegendreRule<N>& gauss_legendre() noexcept {
    static const GaussLegendreRule<N> rule = make_gauss_legendre<N>();
    return rule;
}

}  // namespace kalvorin
