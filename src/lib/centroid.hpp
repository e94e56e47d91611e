// The shift of the light centroid of a finite source with a brightness law
// lensed by a point mass (centroid.cpp).
#pragma once

#include <span>

#include "lib/derivatives.hpp"

namespace kalvorin {

// A and δ at u[i] Einstein radii for a source of radius rho (Einstein radii),
// finite u[i] ≥ 0 and rho ≥ 0: δ the shift of the light centroid of the
// images from the source centre along lens → source, in Einstein radii
// (u/(u² + 2) for a point source, 0 at u = 0). A has the bits of
// einstein_magnifications. δ is NaN for rho outside [1e-100, 1e10] unless
// the source is a point at that distance. The law's basis terms are not used.
// Returns the first kernel failure of the values, or nullptr.
const char* einstein_centroids(const LawGradient& law, std::span<const double> u, double rho, std::span<double> a,
                               std::span<double> delta);

// Outputs of einstein_centroid_gradients, each of u's length (dbasis:
// basis_size() values per point, point-major).
struct CentroidGradientOut {
    std::span<double> a, delta, du, drho, dbasis;
};

// A and δ as einstein_centroids (their bits), and ∂δ/∂u, ∂δ/∂ρ and ∂δ/∂β_b
// (β_b the coefficient of the law's basis term b): ±inf where they diverge
// (the lens on the limb of a source whose limb is bright), NaN where δ is.
// Returns the first kernel failure of the values, or nullptr.
const char* einstein_centroid_gradients(const LawGradient& law, std::span<const double> u, double rho,
                                        const CentroidGradientOut& out);

}  // namespace kalvorin
