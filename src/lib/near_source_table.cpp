// The radial integral ∫_0^1 2πr I(r) M(x, r) dr for a tabulated profile I
// (linear in r between its radii, kinks or jumps at them) and a lens inside
// the source or near its limb (0 ≤ x < 1.2), M the ring mean.
//
// A table has no square-root edge, so the panels are laid out in r itself:
// two singular panels of length L = min(x/2, 1 − x, 2ε, 0.05) ending at r = x
// (M = q·ln|r − x| + analytic, q from ring_log_coefficient), then panels
// doubling in length towards 0 and 1; on the limb one singular panel ending
// at r = 1; just outside (x > 1) panels doubling from r = 1 with first length
// min(x − 1, 2ε, 0.05). The profile enters through product weights: on each
// panel the smooth factor H(r) = 2πr M(x, r) (and on the singular panels
// 2πr q) is interpolated at the panel's 18 Legendre points, and the
// interpolant is integrated exactly against the linear pieces of the
// profile, from the Legendre moments ∫ P_j(2s − 1)(A + B s) ds of each piece
// in closed form (antiderivatives of P_j and t·P_j at the piece ends;
// steep pieces, where that difference would lose accuracy, by an exact
// Gauss–Legendre rule). On the singular panels the ln s-weighted moments
// come from a 20-point (8 for short pieces) rule where the logarithm is
// smooth on the piece and from differences of ∫_0^t P_j I ln s ds (24-point
// log-product rule, exact for these polynomials) near s = 0. The ring
// evaluations do not depend on the number of table points; the work per
// table piece is O(18) operations per panel that covers it.
//
// Accuracy: ≤ 9e-16 relative against mpmath for tables of 3 to 201 points,
// jumps included, x from 0 to 1.2 and ρ from 1e-3 to 10; within 2e-15 for
// x = 1 − 1 ulp, ρ up to 266.1, and for a 2,002-point table
// (tests/test_accuracy.py against extremes.json).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "lib/model_parts.hpp"
#include "lib/panel_rules.hpp"

namespace kalvorin::detail {

namespace {

constexpr std::size_t N = 18;        // interpolation points per panel
constexpr std::size_t N_SMOOTH_LOG = 20;
constexpr std::size_t N_SHORT = 8;
constexpr std::size_t N_LOG = 24;    // log-product rule from s = 0
constexpr double MAX_SINGULAR = 0.05;
// Singular panels shorter than this times x (a lens within ~2e-10 of the
// limb, or a tiny ε): x − r from the offset L·s of the node instead of by
// subtraction. Within a few ulps of the limb r = x + L·s rounds to x or 1,
// and x − r is 0 or wrong by its own size (3.6e-14 at 1 − 1 ulp measured).
// Elsewhere x − r is exact for the rounded r (Sterbenz) and r's rounding
// costs nothing.
constexpr double OFFSET_PANEL = 0x1p-30;

struct Panel {
    double e, o;  // r from e (s = 0) to o (s = 1)
    bool singular;
};

// Visits the panels for a lens at x, in no particular order; false when they
// could not be laid out (graded_panels).
template <class Visit>
bool for_each_panel(double x, double eps, Visit&& visit) {
    const double scale = std::fmin(KAPPA * eps, MAX_SINGULAR);
    int panels = 0;
    bool complete = true;
    const auto graded = [&](double start, double end, double first) {
        complete = complete && graded_panels(start, end, first, panels,
                                             [&](double a, double b) { visit(Panel{a, b, false}); });
    };
    if (x == 0.0) {
        graded(0.0, 1.0, std::fmin(1.0, KAPPA * eps));
    } else if (x < 1.0) {
        const double L = std::fmin(std::fmin(x * 0.5, 1.0 - x), scale);
        visit(Panel{x, x + L, true});
        visit(Panel{x, x - L, true});
        if (x + L < 1.0) graded(x + L, 1.0, L * 2);
        graded(x - L, 0.0, L * 2);
    } else if (x == 1.0) {
        const double L = std::fmin(0.5, scale);
        visit(Panel{1.0, 1.0 - L, true});
        graded(1.0 - L, 0.0, L * 2);
    } else {
        graded(1.0, 0.0, std::fmin(x - 1.0, scale));
    }
    return complete;
}

// P_0 … P_{M+1} at t.
template <std::size_t M>
void legendre_values(double t, std::array<double, M + 2>& P) noexcept {
    P[0] = 1.0;
    P[1] = t;
    for (std::size_t j = 1; j + 1 < M + 2; ++j) P[j + 1] = (RECURRENCE_A[j] * t) * P[j] - RECURRENCE_B[j] * P[j - 1];
}

// Antiderivatives in t ∈ [−1, 1] (constants irrelevant, only differences are
// used): I0_j = ∫ P_j dt, I1_j = ∫ t P_j dt, from
// ∫ P_j = (P_{j+1} − P_{j−1})/(2j + 1), t P_j = ((j + 1) P_{j+1} + j P_{j−1})/(2j + 1).
// The integers j are read from a table (no conversion per call).
struct Integers {
    double v[66] = {};
    constexpr Integers() {
        for (int j = 0; j < 66; ++j) v[j] = j;
    }
};
inline constexpr Integers INTEGERS{};

template <std::size_t M>
void antiderivatives(double t, const std::array<double, M + 2>& P, std::array<double, M>& I0,
                     std::array<double, M>& I1) noexcept {
    // ∫ P_M needs P_{M+1}; I1_j needs ∫ P_{j+1} for j + 1 ≤ M.
    std::array<double, M + 1> IP;
    IP[0] = t;
    for (std::size_t k = 1; k <= M; ++k) IP[k] = (P[k + 1] - P[k - 1]) * INVERSE_ODD[k];
    for (std::size_t j = 0; j < M; ++j) I0[j] = IP[j];
    I1[0] = 0.5 * t * t;
    for (std::size_t j = 1; j < M; ++j)
        I1[j] = (INTEGERS.v[j + 1] * IP[j + 1] + INTEGERS.v[j] * IP[j - 1]) * INVERSE_ODD[j];
}

// Adds to W_j, j < M, the moments ∫_{sa}^{sb} P_j(2s − 1)(Im + B(s − sm)) ds
// of one linear piece, sm = (sa + sb)/2: in closed form from the
// antiderivatives at the ends (with s = (t + 1)/2, ds = dt/2:
// (1/2)[Im ΔI0 + (B/2)(ΔI1 − tm ΔI0)], tm = 2sm − 1); a steep piece
// (|B| > 8·scale), where those differences would lose accuracy, by an exact
// Gauss–Legendre rule.
// Antiderivatives of P_j and t·P_j at the last piece end, reused as the
// start of the next piece.
template <std::size_t M>
struct EndValues {
    double t = std::numeric_limits<double>::quiet_NaN();
    std::array<double, M> I0, I1;

    void at(double t_new) noexcept {
        if (t_new == t) return;
        std::array<double, M + 2> P;
        legendre_values<M>(t_new, P);
        antiderivatives<M>(t_new, P, I0, I1);
        t = t_new;
    }
};

// Adds to W_j, j < M, the moments ∫_{sa}^{sb} P_j(2s − 1)(Im + B(s − sm)) ds
// of one linear piece, sm = (sa + sb)/2: in closed form from the
// antiderivatives at the ends (with s = (t + 1)/2, ds = dt/2:
// (1/2)[Im ΔI0 + (B/2)(ΔI1 − tm ΔI0)], tm = 2sm − 1); a steep piece
// (|B| > 8·scale), where those differences would lose accuracy, by an exact
// Gauss–Legendre rule. `a` and `b` cache the end values of the previous
// piece, one of which is an end of this one.
template <std::size_t M>
void add_piece_moments(double sa, double sb, double Im, double B, double scale, std::array<double, M>& W,
                       EndValues<M>*& pa, EndValues<M>*& pb) noexcept {
    const double sm = (sa + sb) * 0.5;
    if (std::fabs(B) <= 8.0 * scale) {
        const double ta = 2 * sa - 1, tb = 2 * sb - 1, tm = 2 * sm - 1;
        if (pb->t == ta || pa->t == tb) std::swap(pa, pb);  // pieces in increasing or decreasing s
        EndValues<M>& a = *pa;
        EndValues<M>& b = *pb;
        a.at(ta);
        b.at(tb);
        for (std::size_t j = 0; j < M; ++j) {
            const double d0 = b.I0[j] - a.I0[j];
            const double d1 = b.I1[j] - a.I1[j];
            W[j] = W[j] + 0.5 * (Im * d0 + (0.5 * B) * (d1 - tm * d0));
        }
        return;
    }
    const auto& steep = unit_rule<M / 2 + 2>();
    const double h = sb - sa;
    for (std::size_t k = 0; k < steep.s.size(); ++k) {
        const double v = sa + h * steep.s[k];
        add_legendre<M>(v, (steep.w[k] * h) * (Im + B * (v - sm)), W);
    }
}

// T_ji of the panel rule (unit_rule<N>().T transposed).
const std::array<std::array<double, N>, N>& transposed_t() noexcept {
    static const auto Tt = [] {
        const auto& rule = unit_rule<N>();
        std::array<std::array<double, N>, N> t{};
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = 0; j < N; ++j) t[j][i] = rule.T[i][j];
        return t;
    }();
    return Tt;
}

double panel_integral(const Panel& p, double x, double eps, const TablePieces& table, std::uint32_t& evaluations) {
    const auto& rule = unit_rule<N>();
    const double L = p.o - p.e;
    const double lo = std::fmin(p.e, p.o), hi = std::fmax(p.e, p.o);
    // Legendre moments of the profile over the panel in s: W_j = ∫_0^1 p_j I ds,
    // V_j = ∫_0^1 p_j I ln s ds (p_j(s) = P_j(2s − 1)).
    std::array<double, N> W{}, V{};
    EndValues<N> end_a, end_b;
    EndValues<N>* pa = &end_a;
    EndValues<N>* pb = &end_b;

    // Pieces overlapping the panel, in increasing r.
    const auto first = std::upper_bound(table.pieces.begin(), table.pieces.end(), lo,
                                        [](double v, const TablePiece& q) { return v < q.rb; });
    for (auto it = first; it != table.pieces.end() && it->ra < hi; ++it) {
        const double ra = std::fmax(it->ra, lo), rb = std::fmin(it->rb, hi);
        if (!(rb > ra)) continue;
        // In s: from sa to sb (increasing), I = Im + B (s − sm).
        double sa = (ra - p.e) / L, sb = (rb - p.e) / L;
        if (sa > sb) std::swap(sa, sb);
        const double h = sb - sa;
        const double sm = (sa + sb) * 0.5;
        const double rm = p.e + L * sm;
        const double Im = it->ic + it->slope * (rm - it->rc);
        const double B = it->slope * L;
        add_piece_moments<N>(sa, sb, Im, B, table.scale, W, pa, pb);
        if (!p.singular) continue;
        if (sa >= h) {
            // ln s smooth on the piece (its singularity a piece length away).
            const auto accumulate = [&](const auto& pr) {
                for (std::size_t k = 0; k < pr.s.size(); ++k) {
                    const double v = sa + h * pr.s[k];
                    add_legendre<N>(v, ((pr.w[k] * h) * (Im + B * (v - sm))) * std::log(v), V);
                }
            };
            if (sa >= 4 * h && h * N <= 1.0) accumulate(unit_rule<N_SHORT>());
            else accumulate(unit_rule<N_SMOOTH_LOG>());
            continue;
        }
        // Near s = 0: ∫_0^t p_j I ln s ds at t = sb and sa, I extended linearly
        // (less than a piece length), t Σ_k (ω_k + w_k ln t) p_j(t v_k) I(t v_k).
        const auto& lr = unit_rule<N_LOG>();
        const auto add_G = [&](double t, double sign) {
            if (t == 0.0) return;
            const double lt = std::log(t);
            for (std::size_t k = 0; k < N_LOG; ++k) {
                const double v = t * lr.s[k];
                add_legendre<N>(v, ((lr.omega[k] + lr.w[k] * lt) * t) * (sign * (Im + B * (v - sm))), V);
            }
        };
        add_G(sb, 1.0);
        add_G(sa, -1.0);
    }

    // Lagrange weights Wi = Σ_j T_ij W_j (and Vi), each summed in increasing
    // j, all i at once (independent sums, which the compiler may vectorise).
    const auto& Tt = transposed_t();
    std::array<double, N> Wl{}, Vl{};
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t i = 0; i < N; ++i) Wl[i] = Wl[i] + Tt[j][i] * W[j];
    if (p.singular)
        for (std::size_t j = 0; j < N; ++j)
            for (std::size_t i = 0; i < N; ++i) Vl[i] = Vl[i] + Tt[j][i] * V[j];
    double sum = 0.0;
    const bool offsets = p.singular && std::fabs(L) < OFFSET_PANEL * x;
    for (std::size_t i = 0; i < N; ++i) {
        const double Wi = Wl[i], Vi = Vl[i];
        const double r = p.e + L * rule.s[i];
        const double f = offsets ? -(L * rule.s[i]) : x - r;  // the panel starts at x
        const double H = (r * TWO_PI) * ring_mean_fast_f(x, r, f, eps);
        if (!p.singular) {
            sum = sum + Wi * H;
        } else {
            const double Q = (r * TWO_PI) * ring_log_coefficient(x, r, eps);
            sum = sum + Wi * (H - Q * std::log(rule.s[i])) + Vi * Q;
        }
    }
    evaluations += p.singular ? 2 * N : N;
    return sum * std::fabs(L);
}

}  // namespace

template <std::size_t M>
std::array<double, M> table_product_weights(const TablePieces& table) noexcept {
    std::array<double, M> moments{};
    EndValues<M> end_a, end_b;
    EndValues<M>* pa = &end_a;
    EndValues<M>* pb = &end_b;
    for (const TablePiece& q : table.pieces) {
        const double ra = std::fmax(q.ra, 0.0), rb = std::fmin(q.rb, 1.0);
        if (!(rb > ra)) continue;
        const double rm = 0.5 * (ra + rb);
        add_piece_moments<M>(ra, rb, q.ic + q.slope * (rm - q.rc), q.slope, table.scale, moments, pa, pb);
    }
    const auto& rule = unit_rule<M>();
    std::array<double, M> W{};
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < M; ++j) W[i] = W[i] + rule.T[i][j] * moments[j];
    return W;
}

template std::array<double, 24> table_product_weights<24>(const TablePieces&) noexcept;
template std::array<double, 36> table_product_weights<36>(const TablePieces&) noexcept;

double near_source_integral_table(double x, double eps, const TablePieces& table, std::uint32_t* evaluations) noexcept {
    double sum = 0.0;
    std::uint32_t count = 0;
    if (!for_each_panel(x, eps, [&](const Panel& p) { sum = sum + panel_integral(p, x, eps, table, count); }))
        return std::numeric_limits<double>::quiet_NaN();
    if (evaluations) *evaluations = count;
    return sum;
}

}  // namespace kalvorin::detail
