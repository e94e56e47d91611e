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

}  // namespace kalvorin
