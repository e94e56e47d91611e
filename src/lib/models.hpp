// Magnification models of a finite source by a point-mass lens.
//
// Plain functions on doubles and vectors of doubles; nothing here touches a
// Python object. Lengths that locate something on the source (separations
// `l`, ring radius `r`, flux-map radii `bl`) are in units of the source
// radius; `re` and `rstar` are in any common unit, only re/rstar enters.
//
// Failures of the elliptic kernels are values (a static message) and are
// passed on unchanged; an internal consistency violation throws
// `AssertionFailure`, the one exception of the computation.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/result.hpp"

namespace kalvorin {

// A list of doubles, or a failure carrying a static message.
struct ListResult {
    std::vector<double> values;
    const char* failure = nullptr;

    bool failed() const noexcept { return failure != nullptr; }
};

// Internal assertion failure (for example flux-map tables of unequal length).
// Carries the assertion's message and the source location it was raised at.
class AssertionFailure : public std::logic_error {
public:
    AssertionFailure(const std::string& message, const char* file, int line)
        : std::logic_error(message), file_(file), line_(line) {}
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    const char* file_;
    int line_;
};

// Uniform-disk magnification (Witt & Mao 1994) for every separation in `l`.
ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar);

// The first kernel failure of the uniform disk over `l`, in list order (an
// empty list of values either way): the check the Witt–Mao integrated family
// makes before it integrates. Separations where the disk cannot fail are
// not evaluated.
ListResult witt_mao_failure(std::vector<double> l, double re, double rstar);

// Mean point-lens magnification of the thin ring of radius `r` around the
// source centre, lens at separation `l` (Heyrovsky 2003 ring decomposition).
Result heyrovsky_magnification(double l, double r, double re, double rstar);

// Sum over rings (bl[j], weight bf[j]) of the ring magnification, per separation.
ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                     std::vector<double> bl, std::vector<double> bf);

// Magnification of a limb-darkened source, I(r) = 1 - 0.6 (1 - sqrt(1 - r²)):
//   A(l) = ∫_0^1 2πr I(r) M(l, r) dr / ∫_0^1 2πr I(r) dr,
// M the ring mean. The Witt–Mao variant first evaluates the uniform-disk
// magnification of every separation (its kernel failure ends the call); the
// disk of radius r has F + (r/2) dF/dr = M(r), so both variants integrate
// the same ring decomposition and agree.
ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar);
ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar);

// The same with the profile read by linear interpolation from the table
// (bl[j], bf[j]) (0 outside it), normalised by its own flux.
ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re, double rstar,
                                                      std::vector<double> bl, std::vector<double> bf);
ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                       std::vector<double> bl, std::vector<double> bf);

// Diagnostics for benchmarks: quadrature points (ring evaluations) spent on
// each separation by integrated_heyrovsky_magnification.
std::vector<std::uint32_t> integrated_ring_evaluations(const std::vector<double>& l, double re, double rstar);

}  // namespace kalvorin
