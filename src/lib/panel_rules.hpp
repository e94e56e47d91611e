// Shared by the panel integrations (near_source.cpp, near_source_power.cpp,
// near_source_table.cpp): the panel layout, and rules on [0, 1] (Gauss–
// Legendre nodes and weights, log-product weights, Lagrange weights from
// Legendre moments, Legendre recurrences).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "kernels/gauss_legendre.hpp"

namespace kalvorin::detail {

// The panel layout of the radial integrations near the source: points of
// the regular and of the log-corrected Gauss–Legendre panels, and the length
// of the panels next to the lens's ring in Einstein radii (KAPPA·ε: the ring
// mean's other singularities lie about 2ε from the ring).
inline constexpr std::size_t N_REGULAR = 12;
inline constexpr std::size_t N_SINGULAR = 14;
inline constexpr double KAPPA = 2.0;
inline constexpr double HALF_PI = 1.5707963267948966;

// Gauss–Legendre on [0, 1]: nodes s_i, weights w_i, log-product weights
// ω_i = ∫_0^1 ℓ_i(s) ln s ds, and log corrections c_i = ω_i − w_i ln s_i.
// T_ij = w_i (2j + 1) P_j(2s_i − 1) gives the Lagrange weights from Legendre
// moments: ∫ ℓ_i(s) f(s) ds = Σ_j T_ij ∫ P_j(2s − 1) f(s) ds, since
// ℓ_i(s) = w_i Σ_j (2j + 1) P_j(2s_i − 1) P_j(2s − 1) (discrete orthogonality).
template <std::size_t N>
struct UnitRule {
    std::array<double, N> s, w, omega, c;
    std::array<std::array<double, N>, N> T;
};

template <std::size_t N>
inline UnitRule<N> make_unit_rule() noexcept {
    const auto& gl = gauss_legendre<N>();
    UnitRule<N> rule{};
    for (std::size_t i = 0; i < N; ++i) {
        const long double t = gl.x[i];
        // ℓ_i(s) = w_i Σ_j (2j + 1) P_j(t_i) P_j(2s − 1) and
        // ∫_0^1 P_j(2s − 1) ln s ds = μ_j, μ_0 = −1, μ_j = (−1)^{j+1}/(j(j+1)).
        long double sum = -1.0L;
        long double p_prev = 1.0L, p = t;
        const long double w_half = 0.5L * gl.w[i];
        rule.T[i][0] = static_cast<double>(w_half);
        for (std::size_t j = 1; j < N; ++j) {
            const long double mu = ((j % 2 == 1) ? 1.0L : -1.0L) / (static_cast<long double>(j) * (j + 1.0L));
            sum += (2.0L * j + 1.0L) * p * mu;
            rule.T[i][j] = static_cast<double>(w_half * (2.0L * j + 1.0L) * p);
            const long double next = ((2.0L * j + 1.0L) * t * p - static_cast<long double>(j) * p_prev) / (j + 1.0L);
            p_prev = p;
            p = next;
        }
        const long double w = 0.5L * gl.w[i];
        const long double s = 0.5L * (1.0L + t);
        rule.s[i] = static_cast<double>(s);
        rule.w[i] = static_cast<double>(w);
        rule.omega[i] = static_cast<double>(w * sum);
        rule.c[i] = static_cast<double>(w * sum - w * std::log(s));
    }
    return rule;
}

template <std::size_t N>
inline const UnitRule<N>& unit_rule() noexcept {
    static const UnitRule<N> rule = make_unit_rule<N>();
    return rule;
}

// Legendre recurrence P_{j+1} = A_j t P_j − B_j P_{j−1}, A_j = (2j + 1)/(j + 1),
// B_j = j/(j + 1).
// Also 1/(2j + 1), for the antiderivatives of P_j.
struct Recurrence {
    double a[64] = {}, b[64] = {}, inv_odd[64] = {};
    constexpr Recurrence() {
        for (int j = 0; j < 64; ++j) {
            a[j] = (2.0 * j + 1.0) / (j + 1.0);
            b[j] = static_cast<double>(j) / (j + 1.0);
            inv_odd[j] = 1.0 / (2.0 * j + 1.0);
        }
        a[0] = 0.0;  // unused: P_1 = t
    }
};
inline constexpr Recurrence RECURRENCE{};
inline constexpr const double* RECURRENCE_A = RECURRENCE.a;
inline constexpr const double* RECURRENCE_B = RECURRENCE.b;
inline constexpr const double* INVERSE_ODD = RECURRENCE.inv_odd;

// Adds weight·P_j(2v − 1), j < N, to acc (three-term recurrence).
template <std::size_t N>
inline void add_legendre(double v, double weight, std::array<double, N>& acc) noexcept {
    const double t = 2 * v - 1;
    double p_prev = weight, p = weight * t;
    acc[0] = acc[0] + p_prev;
    acc[1] = acc[1] + p;
    for (std::size_t j = 1; j + 1 < N; ++j) {
        const double next = (RECURRENCE_A[j] * t) * p - RECURRENCE_B[j] * p_prev;
        acc[j + 1] = acc[j + 1] + next;
        p_prev = p;
        p = next;
    }
}

// Panels from `start` towards `end` with lengths first, 2·first, 4·first, …
// (the last one cut at `end`), each passed to visit(a, b) in the direction
// of travel; `panels` counts them across calls. False, having stopped, when
// `first` is not positive or more than MAX_PANELS would be needed (a first
// length below ~1e-18 of the span, as for an absurdly small Einstein radius).
inline constexpr int MAX_PANELS = 64;

template <class Visit>
bool graded_panels(double start, double end, double first, int& panels, Visit&& visit) {
    if (!(first > 0.0)) return false;
    const double direction = end > start ? 1.0 : -1.0;
    double a = start, length = first;
    while (a != end) {
        if (++panels > MAX_PANELS) return false;
        double b = a + direction * length;
        if ((end - b) * direction < 0.0) b = end;
        visit(a, b);
        a = b;
        length = length * 2;
    }
    return true;
}

}  // namespace kalvorin::detail
