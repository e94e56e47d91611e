// Elliptic integrals: Carlson's symmetric forms and the complete Legendre
// integrals built on them.
//
//   RF(x,y,z)   = 1/2 ∫_0^∞ dt / sqrt((t+x)(t+y)(t+z))
//   RC(x,y)     = 1/2 ∫_0^∞ dt / ((t+y) sqrt(t+x))            (p.v. for y < 0)
//   RD(x,y,z)   = 3/2 ∫_0^∞ dt / ((t+z) sqrt((t+x)(t+y)(t+z)))
//   RJ(x,y,z,p) = 3/2 ∫_0^∞ dt / ((t+p) sqrt((t+x)(t+y)(t+z))) (p.v. for p < 0)
//
//   K(m)    = ∫_0^{π/2} dθ / sqrt(1 - m sin²θ)
//   E(m)    = ∫_0^{π/2} sqrt(1 - m sin²θ) dθ
//   Π(n|m)  = ∫_0^{π/2} dθ / ((1 - n sin²θ) sqrt(1 - m sin²θ))
//
// m is the parameter (square of the modulus), n the characteristic.
// References: B. C. Carlson, "Numerical computation of real or complex
// elliptic integrals", Numer. Algorithms 10 (1995) 13-26; DLMF §19.
//
// Every routine is a pure function; domain violations and non-convergence
// are returned as failures with fixed message texts.
#pragma once

#include "kernels/result.hpp"

namespace kalvorin {

Result elliprf(double x, double y, double z) noexcept;
Result elliprc(double x, double y) noexcept;
Result elliprd(double x, double y, double z) noexcept;
Result elliprj(double x, double y, double z, double p) noexcept;
// RJ duplication without argument checks or special cases (p > 0 or NaN).
Result _elliprj(double x, double y, double z, double p) noexcept;

// RF(x, y, z) and RD(x, y, z) together, x, y, z > 0 (NaN otherwise or on
// non-convergence); not bit-compatible with elliprf and elliprd.
struct RfRd {
    double rf, rd;
};
RfRd elliprf_rd(double x, double y, double z) noexcept;

Result ellipk(double m) noexcept;
Result ellipe(double m) noexcept;
Result ellippi(double n, double m) noexcept;

}  // namespace kalvorin
