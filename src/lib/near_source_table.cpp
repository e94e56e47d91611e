// The radial integral ∫_0^1 2πr I(r) M(x, r) dr for a tabulated profile I
// (linear in r between its radii, kinks or jumps at them) and a lens inside
// the source or near its limb (0 ≤ x < 1.2), M the ring mean.
//
// A table has no square-root edge, so the panels are laid out in r itself:
// two singular panels of length L = min(x/2, 1 − x, 2ε, 0.05) ending at r = x
// (M = q·ln|r − x| + analytic, q from ring_log_coefficient), then panels
// doubling in length towards 0 and 1; on the limb one singular panel ending
// at r = 1; just outside (x > 1) panels doubling from r = 1 with first length
// min(x − 1, 2ε, 0.05) (longer singular panels lose up to 1e-13 on tables
// with jumps). The profile enters through product weights: on each panel the
// smooth factor H(r) = 2πr M(x, r) (and on the singular panels 2πr q) is
// interpolated at the panel's Legendre points (18; 14 on the two singular
// panels), and the interpolant is integrated exactly against the linear
// pieces of the profile, from the Legendre moments ∫ P_j(2s − 1) I ds and
// (singular panels) ∫ P_j(2s − 1) I ln s ds. These come by parts from closed
// forms at the breakpoints (PieceMoments), one evaluation per breakpoint
// however many pieces meet there; steep pieces, where the end terms would
// cancel, by exact rules of their own. A panel with no breakpoint inside
// reduces to Gauss–Legendre weights times I at the nodes. The ring
// evaluations do not depend on the number of table points; the work per
// breakpoint is O(18) operations.
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
#include <span>
#include <vector>

#include "lib/model_parts.hpp"
#include "lib/panel_rules.hpp"

namespace kalvorin::detail {

namespace {

constexpr std::size_t N = 18;           // interpolation points per regular panel
constexpr std::size_t N_AT_RING = 14;  // per singular panel (16 and 14 measured alike, 12 loses 2e-15)
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

// The moments W_j = ∫_0^1 p_j I ds and (with Log) V_j = ∫_0^1 p_j I ln s ds,
// p_j(s) = P_j(2s − 1), of a piecewise linear I over s ∈ [0, 1], by parts on
// each piece [sa, sb] (I = A + B s):
//   ∫_{sa}^{sb} p_j I ds = [F1_j I − B F2_j]_{sa}^{sb},
//   ∫_{sa}^{sb} p_j I ln s ds = [G1_j I − B G2_j]_{sa}^{sb},
// with F1_j(s) = ∫_0^s p_j, F2_j = ∫_0^s F1_j, G1_j = ∫_0^s p_j ln u du,
// G2_j = ∫_0^s G1_j. Summed over the pieces, each breakpoint s_k contributes
// a_k F1_j(s_k) + b_k F2_j(s_k) (and a_k G1_j + b_k G2_j), a_k the jump of I
// and b_k that of −B there: one evaluation per breakpoint, not per piece.
// a_k is formed as (Im_left − Im_right) + (half-widths times slopes), so
// that for a continuous table it is a small difference computed almost
// exactly (the rounding of the piece values would otherwise enter once per
// breakpoint, not in proportion to the piece lengths). At s = 0 all four
// vanish. With t = 2s − 1, IP_k = ∫_{−1}^t P_k = (P_{k+1} − P_{k−1})/(2k + 1)
// (IP_0 = 2s) and, from (t² − 1)P_j' = j(j + 1)(P_{j+1} − P_{j−1})/(2j + 1),
// E_j = ∫_0^s F1_j(u)/u du = ((t − 1)P_j + 2(−1)^j − IP_j)/(2j(j + 1)) (E_0 = s):
//   F1_j = IP_j/2,  F2_j = (IP_{j+1} − IP_{j−1})/(4(2j + 1))  (F2_0 = s²/2),
//   G1_j = F1_j ln s − E_j,
//   G2_j = F2_j ln s − D_j − s E_j + F2_j,  D_j = ∫_0^s F2_j/u du
//        = (E_{j+1} − E_{j−1})/(2(2j + 1))  (D_0 = s²/4).
// A steep piece (|B| > 8·scale), whose end terms would cancel, is
// integrated instead by exact rules of its own (steep(); its neighbours'
// ends then count as jumps).
struct LogConstants {
    double inv_jj1[64] = {}, sign_jj1[64] = {};  // 1/(2j(j + 1)), (−1)^j/(j(j + 1))
    constexpr LogConstants() {
        for (int j = 1; j < 64; ++j) {
            inv_jj1[j] = 1.0 / (2.0 * j * (j + 1.0));
            sign_jj1[j] = (j % 2 == 0 ? 1.0 : -1.0) / (j * (j + 1.0));
        }
    }
};
inline constexpr LogConstants LOG_CONSTANTS{};

template <std::size_t M, bool Log>
class PieceMoments {
public:
    explicit PieceMoments(double scale) noexcept : steep_(8.0 * scale) {}

    // The piece from s0 to s1 (either order; consecutive pieces share an
    // end), I(s) = Im + B (s − sm), sm = (s0 + s1)/2. False for a steep
    // piece, which the caller integrates (W by steep_moments()).
    bool add(double s0, double s1, double Im, double B) noexcept {
        const double sa = std::fmin(s0, s1), sb = std::fmax(s0, s1);
        if (!(sb > sa)) return true;
        if (!(std::fabs(B) <= steep_)) {
            interior_ = true;
            return false;
        }
        const double h = sb - sa, half = (0.5 * B) * h;
        // W_0 and W_1 directly: ∫ I = Im h, ∫ (2s − 1) I = Im (2sm − 1) h + B h³/6
        // (by parts their end terms, up to B s²/2, would cancel near s = 1).
        W_[0] = W_[0] + Im * h;
        W_[1] = W_[1] + (Im * ((sa + sb) - 1.0) * h + B * (h * h * h) * (1.0 / 6.0));
        // In the order given, so that an end shared with the next piece is
        // evaluated once.
        const double sign0 = s0 < s1 ? -1.0 : 1.0;
        end(s0, sign0, Im, half, B);
        end(s1, -sign0, Im, half, B);
        return true;
    }

    // W_j of a steep piece from sa to sb by a Gauss–Legendre rule exact for
    // its degree.
    void steep_moments(double sa, double sb, double Im, double B) noexcept {
        const auto& steep = unit_rule<M / 2 + 2>();
        const double h = sb - sa, sm = (sa + sb) * 0.5;
        for (std::size_t k = 0; k < steep.s.size(); ++k) {
            const double v = sa + h * steep.s[k];
            add_legendre<M>(v, (steep.w[k] * h) * (Im + B * (v - sm)), W_);
        }
    }

    // After the last piece.
    void finish() noexcept { flush(); }
    std::array<double, M>& W() noexcept { return W_; }
    std::array<double, M>& V() noexcept { return V_; }
    // True when a breakpoint or a steep piece lies inside (0, 1): otherwise
    // only W_0 and W_1 are nonzero (I is linear on the whole interval).
    bool interior() const noexcept { return interior_; }

private:
    // At s: a += sign·Im + half, b −= sign·B (sign +1 at the upper end of a
    // piece, where I = Im + half; −1 at the lower, where I = Im − half).
    void end(double s, double sign, double Im, double half, double B) noexcept {
        if (s != s_) {
            flush();
            s_ = s;
        }
        a_im_ = a_im_ + sign * Im;
        a_half_ = a_half_ + half;
        b_ = b_ - sign * B;
    }

    void flush() noexcept {
        const double s = s_, a = a_im_ + a_half_, b = b_;
        s_ = std::numeric_limits<double>::quiet_NaN();
        a_im_ = 0.0;
        a_half_ = 0.0;
        b_ = 0.0;
        if (!(s > 0.0)) return;  // nothing pending, or s = 0 where every term vanishes
        if (!Log && s == 1.0) return;  // F1_j(1), F2_j(1) vanish for j ≥ 2
        if (s != 1.0) interior_ = true;
        // One pass in k: P_{k+1} by the recurrence, IP_k, E_k, then the
        // terms of j = k − 1, which need IP and E at j ± 1.
        const double t = 2 * s - 1;
        const double ls = Log ? std::log(s) : 0.0;
        if constexpr (Log) {
            const double G1 = s * ls - s;
            const double G2 = (0.5 * (s * s)) * ls - 0.25 * (s * s) - s * s + 0.5 * (s * s);
            V_[0] = V_[0] + (a * G1 + b * G2);
        }
        double pm1 = 1.0, p = t;  // P_{k−1}, P_k
        double ipm2 = 0.0, ipm1 = s + s;  // IP_{k−2}, IP_{k−1}
        double em2 = 0.0, em1 = s;  // E_{k−2}, E_{k−1}
        for (std::size_t k = 1; k <= M; ++k) {
            const double pp1 = (RECURRENCE_A[k] * t) * p - RECURRENCE_B[k] * pm1;
            const double ip = (pp1 - pm1) * INVERSE_ODD[k];
            const double e = Log ? ((t - 1) * p - ip) * LOG_CONSTANTS.inv_jj1[k] + LOG_CONSTANTS.sign_jj1[k] : 0.0;
            if (k >= 2) {
                const std::size_t j = k - 1;
                const double F1 = 0.5 * ipm1;
                const double F2 = (ip - ipm2) * (0.25 * INVERSE_ODD[j]);
                if (j >= 2) W_[j] = W_[j] + (a * F1 + b * F2);
                if constexpr (Log) {
                    const double D = (e - em2) * (0.5 * INVERSE_ODD[j]);
                    const double G1 = F1 * ls - em1;
                    const double G2 = F2 * ls - D - s * em1 + F2;
                    V_[j] = V_[j] + (a * G1 + b * G2);
                }
            }
            pm1 = p;
            p = pp1;
            ipm2 = ipm1;
            ipm1 = ip;
            em2 = em1;
            em1 = e;
        }
    }

    double steep_;
    std::array<double, M> W_{}, V_{};
    double s_ = std::numeric_limits<double>::quiet_NaN(), a_im_ = 0.0, a_half_ = 0.0, b_ = 0.0;
    bool interior_ = false;
};

// T_ji of the panel rule (unit_rule<N>().T transposed).
template <std::size_t N>
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

// V_j of a steep piece from sa to sb (I = Im + B (s − sm)): where ln s is
// smooth on it (sa ≥ its length) by a Gauss–Legendre rule, 8 points when it
// is short and far from s = 0, else 20; nearer s = 0 as the difference of
// ∫_0^t p_j I ln s ds at t = sb and sa (I extended linearly, less than a
// piece length), t Σ_k (ω_k + w_k ln t) p_j(t v_k) I(t v_k), exact for these
// polynomials.
template <std::size_t N>
void steep_log_moments(double sa, double sb, double Im, double B, std::array<double, N>& V) noexcept {
    const double h = sb - sa, sm = (sa + sb) * 0.5;
    if (sa >= h) {
        const auto accumulate = [&](const auto& pr) {
            for (std::size_t k = 0; k < pr.s.size(); ++k) {
                const double v = sa + h * pr.s[k];
                add_legendre<N>(v, ((pr.w[k] * h) * (Im + B * (v - sm))) * std::log(v), V);
            }
        };
        if (sa >= 4 * h && h * N <= 1.0) accumulate(unit_rule<N_SHORT>());
        else accumulate(unit_rule<N_SMOOTH_LOG>());
        return;
    }
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

// Lagrange weights of one table on a panel: Wl_i = Σ_j T_ij W_j (and Vl
// from V_j on a singular panel), W_j = ∫_0^1 p_j I ds, V_j = ∫_0^1 p_j I ln s ds
// (p_j(s) = P_j(2s − 1)); false when no piece of the table meets the panel.
template <std::size_t N, bool Singular>
bool panel_weights(const Panel& p, const TablePieces& table, std::array<double, N>& Wl, std::array<double, N>& Vl) {
    const double L = p.o - p.e;
    const double lo = std::fmin(p.e, p.o), hi = std::fmax(p.e, p.o);
    PieceMoments<N, Singular> moments(table.scale);

    // Pieces overlapping the panel, in increasing r.
    const auto first = std::upper_bound(table.pieces.begin(), table.pieces.end(), lo,
                                        [](double v, const TablePiece& q) { return v < q.rb; });
    bool any = false;
    for (auto it = first; it != table.pieces.end() && it->ra < hi; ++it) {
        const double ra = std::fmax(it->ra, lo), rb = std::fmin(it->rb, hi);
        if (!(rb > ra)) continue;
        any = true;
        // In s: from s0 (at ra) to s1 (at rb), I = Im + B (s − sm).
        const double s0 = (ra - p.e) / L, s1 = (rb - p.e) / L;
        const double sa = std::fmin(s0, s1), sb = std::fmax(s0, s1);
        const double sm = (sa + sb) * 0.5;
        const double rm = p.e + L * sm;
        const double Im = it->ic + it->slope * (rm - it->rc);
        const double B = it->slope * L;
        if (moments.add(s0, s1, Im, B)) continue;
        moments.steep_moments(sa, sb, Im, B);
        if constexpr (Singular) steep_log_moments(sa, sb, Im, B, moments.V());
    }
    moments.finish();

    // All i at once (independent sums, which the compiler may vectorise).
    // With no breakpoint inside the panel only W_0 and W_1 are nonzero (the
    // Gauss–Legendre weights times I at the nodes).
    const auto& Tt = transposed_t<N>();
    const std::array<double, N>& W = moments.W();
    Wl.fill(0.0);
    Vl.fill(0.0);
    const std::size_t terms = moments.interior() ? N : 2;
    for (std::size_t j = 0; j < terms; ++j)
        for (std::size_t i = 0; i < N; ++i) Wl[i] = Wl[i] + Tt[j][i] * W[j];
    if constexpr (Singular) {
        const std::array<double, N>& V = moments.V();
        for (std::size_t j = 0; j < N; ++j)
            for (std::size_t i = 0; i < N; ++i) Vl[i] = Vl[i] + Tt[j][i] * V[j];
    }
    return any;
}

template <std::size_t N, bool Singular>
double panel_integral(const Panel& p, double x, double eps, const TablePieces& table, std::uint32_t& evaluations) {
    const auto& rule = unit_rule<N>();
    const double L = p.o - p.e;
    std::array<double, N> Wl, Vl;
    panel_weights<N, Singular>(p, table, Wl, Vl);
    double sum = 0.0;
    if constexpr (!Singular) {
        for (std::size_t i = 0; i < N; ++i) {
            const double r = p.e + L * rule.s[i];
            sum = sum + Wl[i] * ((r * TWO_PI) * ring_mean_fast(x, r, eps));
        }
        evaluations += N;
    } else {
        const bool offsets = std::fabs(L) < OFFSET_PANEL * x;
        for (std::size_t i = 0; i < N; ++i) {
            const double r = p.e + L * rule.s[i];
            const double f = offsets ? -(L * rule.s[i]) : x - r;  // the panel starts at x
            const double H = (r * TWO_PI) * ring_mean_fast_f(x, r, f, eps);
            const double Q = (r * TWO_PI) * ring_log_coefficient(x, r, eps);
            sum = sum + Wl[i] * (H - Q * std::log(rule.s[i])) + Vl[i] * Q;
        }
        evaluations += 2 * N;
    }
    return sum * std::fabs(L);
}

// The same panel for several tables at once, each against the ring mean M,
// its excess M − 1, the dipole ring mean C or the centroid's ring term b
// (channels[k].ring): the ring
// functions once per node, then each table's weights against them. The
// first table's sum has panel_integral's arithmetic.
template <std::size_t N, bool Singular>
void panel_channels(const Panel& p, double x, double eps, std::span<const TableChannel> channels,
                    std::span<double> sums) {
    const auto& rule = unit_rule<N>();
    const double L = p.o - p.e;
    bool want_c = false, want_x = false, want_b = false, want_bx = false;
    for (const TableChannel& c : channels) {
        want_c = want_c || c.ring == RingKind::dipole;
        want_x = want_x || c.ring == RingKind::excess;
        want_b = want_b || c.ring == RingKind::centroid;
        want_bx = want_bx || c.ring == RingKind::centroid_excess;
    }
    // H[kind][i] = 2πr·(ring function), Q[kind][i] = 2πr·(its log coefficient).
    std::array<std::array<double, N>, 5> H{}, Q{};
    std::array<double, N> ls{};
    const bool offsets = std::fabs(L) < OFFSET_PANEL * x;
    for (std::size_t i = 0; i < N; ++i) {
        const double r = p.e + L * rule.s[i];
        const double f = Singular && offsets ? -(L * rule.s[i]) : x - r;
        const double w = r * TWO_PI;
        const CentroidRing ring = want_b || want_bx ? centroid_ring(x, r, f, eps, !want_bx)
                                                    : CentroidRing{ring_mean_fast_f(x, r, f, eps), 0.0};
        const double M = ring.m;
        H[0][i] = w * M;
        if (want_x) H[1][i] = w * ring_mean_excess(x, r, f, eps, M);
        if (want_c) H[2][i] = w * ring_dipole_f(x, r, f, eps);
        if (want_bx) H[4][i] = w * ring.b;
        if (want_b) H[3][i] = w * (want_bx && r < x ? ring.b + (eps * eps) / x : ring.b);
        if constexpr (Singular) {
            CentroidLogCoefficients q{{0.0, 0.0, 0.0}, 0.0};
            if (want_b || want_bx) q = centroid_log_coefficients(x, r, eps);
            else q.ring = ring_log_coefficients(x, r, eps);
            Q[0][i] = Q[1][i] = w * q.ring.m;
            Q[2][i] = w * q.ring.c;
            Q[3][i] = Q[4][i] = w * q.b;
            ls[i] = std::log(rule.s[i]);
        }
    }
    std::array<double, N> Wl, Vl;
    for (std::size_t k = 0; k < channels.size(); ++k) {
        if (!panel_weights<N, Singular>(p, *channels[k].table, Wl, Vl) && k > 0) continue;
        const auto& h = H[static_cast<int>(channels[k].ring)];
        const auto& q = Q[static_cast<int>(channels[k].ring)];
        double part = 0.0;
        for (std::size_t i = 0; i < N; ++i) {
            if constexpr (!Singular) part = part + Wl[i] * h[i];
            else part = part + Wl[i] * (h[i] - q[i] * ls[i]) + Vl[i] * q[i];
        }
        sums[k] = sums[k] + part * std::fabs(L);
    }
}

}  // namespace

template <std::size_t M>
std::array<double, M> table_product_weights(const TablePieces& table) noexcept {
    PieceMoments<M, false> pieces(table.scale);
    for (const TablePiece& q : table.pieces) {
        const double ra = std::fmax(q.ra, 0.0), rb = std::fmin(q.rb, 1.0);
        if (!(rb > ra)) continue;
        const double rm = 0.5 * (ra + rb), Im = q.ic + q.slope * (rm - q.rc);
        if (!pieces.add(ra, rb, Im, q.slope)) pieces.steep_moments(ra, rb, Im, q.slope);
    }
    pieces.finish();
    const std::array<double, M>& moments = pieces.W();
    const auto& rule = unit_rule<M>();
    std::array<double, M> W{};
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < M; ++j) W[i] = W[i] + rule.T[i][j] * moments[j];
    return W;
}

template std::array<double, 24> table_product_weights<24>(const TablePieces&) noexcept;
template std::array<double, 36> table_product_weights<36>(const TablePieces&) noexcept;

bool near_source_table_channels(double x, double eps, std::span<const TableChannel> channels,
                                std::span<double> sums) noexcept {
    std::fill(sums.begin(), sums.end(), 0.0);
    return for_each_panel(x, eps, [&](const Panel& p) {
        if (p.singular) panel_channels<N_AT_RING, true>(p, x, eps, channels, sums);
        else panel_channels<N, false>(p, x, eps, channels, sums);
    });
}

double near_source_integral_table(double x, double eps, const TablePieces& table, std::uint32_t* evaluations) noexcept {
    double sum = 0.0;
    std::uint32_t count = 0;
    if (!for_each_panel(x, eps, [&](const Panel& p) {
            sum = sum + (p.singular ? panel_integral<N_AT_RING, true>(p, x, eps, table, count)
                                    : panel_integral<N, false>(p, x, eps, table, count));
        }))
        return std::numeric_limits<double>::quiet_NaN();
    if (evaluations) *evaluations = count;
    return sum;
}

}  // namespace kalvorin::detail
