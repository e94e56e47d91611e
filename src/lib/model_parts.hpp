// Building blocks shared by the model files: the uniform disk and the ring
// mean of one separation, the complete elliptic integrals from complementary
// parameters, and the far-field expansion. Internal to the core library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernels/result.hpp"
#include "lib/models.hpp"

namespace kalvorin::detail {

[[noreturn]] inline void assert_equal_lengths(std::size_t left, std::size_t right, const char* file, int line) {
    throw AssertionFailure("assertion `left == right` failed\n  left: " + std::to_string(left) +
                               "\n right: " + std::to_string(right),
                           file, line);
}

#define KALVORIN_ASSERT_EQ_LEN(a, b)                                                       \
    do {                                                                                   \
        if ((a).size() != (b).size())                                                      \
            ::kalvorin::detail::assert_equal_lengths((a).size(), (b).size(), __FILE__, __LINE__); \
    } while (0)

inline constexpr double PI = 3.141592653589793;
inline constexpr double TWO_PI = 6.283185307179586;

// Complete K, E and Π(n|m) from the complementary parameters mc = 1 - m and
// nc = 1 - n (ring_mean.cpp).
struct CompleteIntegrals {
    double K, E, Pi;
    const char* failure;
};
CompleteIntegrals complete_from_complements(double m, double mc, double n, double nc, bool want_e) noexcept;

// Ring mean for a lens at u, ring radius rho, Einstein radius eps, all in
// source radii (ring_mean.cpp).
Result ring_magnification(double u, double rho, double eps) noexcept;
// The same from one Bulirsch integral (u, rho ≥ 0; NaN on the ring).
double ring_mean_fast(double u, double rho, double eps) noexcept;
double ring_mean_fast_f(double u, double rho, double f, double eps) noexcept;
// Coefficient q of ln|u − rho| in the ring mean near the ring.
double ring_log_coefficient(double u, double rho, double eps) noexcept;
// Dipole ring mean C = ⟨cos φ A⟩ (φ from the lens direction) with f = u − ρ
// supplied, and the coefficients of ln|u − ρ| in M and in C near the ring.
double ring_dipole_f(double u, double rho, double f, double eps) noexcept;
// M − 1 without the cancellation of the subtraction (mean = M at the same
// ring, f = u − ρ).
double ring_mean_excess(double u, double rho, double f, double eps, double mean) noexcept;
// The coefficients of ln|u − ρ| in M and C, and K′ = K(1 − m) of the
// iteration they share (the centroid's coefficients need it).
struct RingLogCoefficients {
    double m, c, k1;
};
RingLogCoefficients ring_log_coefficients(double u, double rho, double eps) noexcept;
// H(m) = cel(kc, 1, −1, 1)/m of the dipole C, mc = kc² (series for m ≤ 0.2).
double ring_dipole_h(double m, double mc) noexcept;
inline constexpr double DIPOLE_SERIES_TO = 0.2;

// The centroid's ring functions (centroid.cpp): the ring mean M (the bits of
// ring_mean_fast_f) and the ring's term b of the centroid numerator, with
// f = u − ρ supplied; and their coefficients of ln|u − ρ| (m, c as
// ring_log_coefficients, b the centroid term's). Without `harmonic`, b less
// its harmonic part ε²/u on rings inside the lens's distance (rho < u; the
// mean of the 1/d term of B there), formed without the subtraction where
// the ring keeps 4ε from the lens.
struct CentroidRing {
    double m, b;
};
CentroidRing centroid_ring(double u, double rho, double f, double eps, bool harmonic = true) noexcept;
// Where every ring of a source of radius 1 keeps 4ε from a lens at x, so that
// b is its harmonic part to O(ε²/(x − 1)²): the centroid's derivatives then
// take b without it (centroid.cpp).
inline bool harmonic_part_dominates(double x, double eps) noexcept { return x - 1 >= 4 * eps; }
struct CentroidLogCoefficients {
    RingLogCoefficients ring;
    double b;
};
CentroidLogCoefficients centroid_log_coefficients(double u, double rho, double eps) noexcept;
// The centroid numerator ∫ (F·û − uA) d²s of a uniform disk of radius 1, lens
// at x source radii from its centre, f = x − 1 (closed form, centroid.cpp).
double uniform_disk_centroid_numerator(double x, double f, double eps) noexcept;

// Uniform disk of radius rho = rstar/re Einstein radii (uniform_disk.cpp).
class UniformDisk {
public:
    UniformDisk(double re, double rstar) noexcept;
    // Magnification with the lens at x source radii from the centre.
    Result at(double x) const noexcept;
    double rho() const noexcept { return rho_; }
    // True where the far-field series serves x (u = ρx set); closed_form(x)
    // is the rest of at(x), also where the series does not converge.
    bool series_serves(double x, double& u) const noexcept;
    Result closed_form(double x) const noexcept;
    // False where at(x) cannot fail: x ≥ 0 and 1e-100 ≤ ρ, ρx ≤ 1e50 (no
    // kernel argument then reaches n ≥ 1, a NaN or an overflow).
    bool may_fail(double x) const noexcept {
        return !(x >= 0.0 && rho_ >= 1e-100 && rho_ <= 1e50 && x <= 1e50 && rho_ * x <= 1e50);
    }

private:
    double by_rings(double x) const noexcept;
    Result complements(double x) const noexcept;
    double rho_, rho2_, p2_, p3_, p4_, p5_;
};

// Uniform disks for every separation l[i] into out[i] (witt_mao_magnification
// without the list); the first kernel failure in list order, or nullptr.
const char* uniform_disk_magnifications(std::span<const double> l, double re, double rstar,
                                        std::span<double> out) noexcept;

// ∫_0^1 2πr I(r) M(x, r) dr for a lens inside the source or near its limb
// (0 ≤ x < 1.05), I a profile without kinks on (0, 1) (near_source.cpp).
template <class Profile>
double near_source_integral(double x, double eps, const Profile& profile, std::uint32_t* evaluations) noexcept;
// A tabulated profile on [0, 1] as linear pieces [ra, rb] with
// I(r) = ic + slope·(r − rc) (rc the piece centre), in increasing r; scale
// is the largest |I| at the piece centres.
struct TablePiece {
    double ra, rb, rc, ic, slope;
};
struct TablePieces {
    std::vector<TablePiece> pieces;
    double scale = 0.0;
};

// Weights W_i = ∫_0^1 ℓ_i(r) I(r) dr of the m-point Legendre points on
// [0, 1] against a table (m = 24, 36; near_source_table.cpp).
template <std::size_t M>
std::array<double, M> table_product_weights(const TablePieces& table) noexcept;

// The same integral for a tabulated profile, 0 ≤ x < 1.2 (near_source_table.cpp).
double near_source_integral_table(double x, double eps, const TablePieces& table, std::uint32_t* evaluations) noexcept;
// ∫_0^1 2πr T_k(r) R_k(x, r) dr for several tables T_k at once, R_k the ring
// mean M, its excess M − 1 or the dipole ring mean C, on the panels of
// near_source_integral_table (the first table's sum with its bits). False
// when the panels cannot be laid out.
// centroid_excess: b less its harmonic part (centroid_ring without `harmonic`).
enum class RingKind { mean, excess, dipole, centroid, centroid_excess };
struct TableChannel {
    const TablePieces* table;
    RingKind ring;
};
bool near_source_table_channels(double x, double eps, std::span<const TableChannel> channels,
                                std::span<double> sums) noexcept;

// Far-field expansion of a profile-weighted mean of the point-lens
// magnification (far_field.cpp).
inline constexpr int FAR_FIELD_MAX_TERMS = 24;

// Moments μ_k, k = 0 … FAR_FIELD_MAX_TERMS - 1, of a radial profile.
struct ProfileMoments {
    double mu[FAR_FIELD_MAX_TERMS];
    // Positive and non-increasing (set by classify()): lets the series stop
    // one term early on a bound of the next term.
    bool decreasing = false;
    void classify() noexcept;
};

// Uniform disk: μ_k = 1/(k + 1).
const ProfileMoments& uniform_disk_moments() noexcept;

struct FarFieldValue {
    double value;
    int terms;  // 0: the series was not used (outside its domain or not converged)
};

// Σ_k x^{-2k} μ_k P_k(u²): the mean of the point-lens magnification over a
// source whose rings, in units of the source's radial scale rho (Einstein
// radii), carry the moments μ_k; the lens at u = rho·x Einstein radii.
FarFieldValue far_field_mean(double u, double x, const ProfileMoments& moments) noexcept;
// The same for four points at once, bit for bit (independent recurrences
// overlap in the processor).
void far_field_mean4(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* out) noexcept;

// Derivatives of far_field_mean (far_field.cpp): u ∂A/∂u and ρ ∂A/∂ρ at
// fixed (u, ρ), and into basis[b] ∂A/∂β_b for a profile Σ_b β_b B_b from
// the moment differences nu[b·FAR_FIELD_MAX_TERMS + k] (k ≥ 1 used);
// terms = 0: not converged. With `value`, also far_field_mean(u, x,
// moments) (the same bits).
inline constexpr std::size_t MAX_GRADIENT_BASIS = 6;
struct FarFieldGradient {
    double u_d, rho_d;
    int terms;
};
FarFieldGradient far_field_gradient(double u, double x, const ProfileMoments& moments, const double* nu,
                                    std::size_t nb, double* basis, FarFieldValue* value = nullptr) noexcept;
// Four points at once (basis[n], value[n] per point; value may be null),
// each with the bits of far_field_gradient.
void far_field_gradient4(const double* u, const double* x, const ProfileMoments& moments, const double* nu,
                         std::size_t nb, double* const* basis, FarFieldValue* value, FarFieldGradient* out) noexcept;

// The centroid shift δ (Einstein radii, along lens → source) of the source
// of far_field_mean, and with `value` the mean itself (its bits); terms = 0:
// not converged (far_field.cpp).
struct FarFieldCentroid {
    double delta;
    int terms;
};
FarFieldCentroid far_field_centroid(double u, double x, const ProfileMoments& moments,
                                    FarFieldValue* value) noexcept;
// ρ ∂δ/∂ρ and into basis[b] ∂δ/∂β_b of far_field_centroid's shift (at fixed
// u, ρ; nu as far_field_gradient's), and the shift δ itself (its bits; NaN
// from the 1/u² series); terms = 0: not converged.
struct FarFieldCentroidGradient {
    double delta, rho_d;
    int terms;
};
FarFieldCentroidGradient far_field_centroid_gradient(double u, double x, const ProfileMoments& moments,
                                                     const double* nu, std::size_t nb, double* basis) noexcept;
// The same for u ≥ 10 from a series in 1/u² (a the mean, δ the shift).
FarFieldCentroidGradient far_field_centroid_gradient_large_u(double u, double x, double a, double delta,
                                                             const ProfileMoments& moments, const double* nu,
                                                             std::size_t nb, double* basis) noexcept;
// Four points at once (value may be null), each with the bits of far_field_centroid.
void far_field_centroid4(const double* u, const double* x, const ProfileMoments& moments, FarFieldValue* value,
                         FarFieldCentroid* out) noexcept;

// Gathers points for the series and evaluates them four at a time, handing
// each result to done(index, value) (value.terms == 0: not converged, the
// caller falls back); flush() evaluates the rest one by one. The results are
// the bits of far_field_mean for each point.
template <class Done>
class FarFieldBatch {
public:
    FarFieldBatch(const ProfileMoments& moments, Done done) : moments_(moments), done_(done) {}

    void push(std::size_t index, double u, double x) {
        index_[n_] = index;
        u_[n_] = u;
        x_[n_] = x;
        if (++n_ == 4) {
            FarFieldValue out[4];
            far_field_mean4(u_, x_, moments_, out);
            for (int i = 0; i < 4; ++i) done_(index_[i], out[i]);
            n_ = 0;
        }
    }

    void flush() {
        for (int i = 0; i < n_; ++i) done_(index_[i], far_field_mean(u_[i], x_[i], moments_));
        n_ = 0;
    }

private:
    const ProfileMoments& moments_;
    Done done_;
    std::size_t index_[4];
    double u_[4], x_[4];
    int n_ = 0;
};

}  // namespace kalvorin::detail
