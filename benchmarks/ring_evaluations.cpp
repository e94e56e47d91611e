// Ring evaluations spent per separation by the limb-darkened integration, on
// the light curves of the benchmark (u0 = 0.5ρ, τ from −10ρ to 10ρ, 1000
// points) and on whole-event curves (t from −2 tE to 2 tE, 2000 points,
// u0 = 0.5ρ), and the time per point of the C++ computation alone. Points
// served by the far-field series evaluate no ring.
//
//   cmake -S . -B build/bench -DKALVORIN_BENCHMARKS=ON -DKALVORIN_MODULE=OFF
//   cmake --build build/bench && build/bench/ring_evaluations
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "lib/models.hpp"

namespace {

void report(const char* name, double rho, const std::vector<double>& l) {
    {
        std::vector<std::uint32_t> counts = kalvorin::integrated_ring_evaluations(l, 1.0, rho);
        double total = 0.0;
        for (const auto c : counts) total += c;
        std::sort(counts.begin(), counts.end());
        const auto start = std::chrono::steady_clock::now();
        const auto values = kalvorin::integrated_heyrovsky_magnification(l, 1.0, rho);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-12s %8g %8zu %8.1f %8u %8u %8u %12.3f\n", name, rho, counts.size(),
                    total / double(counts.size()), counts[counts.size() / 2], counts.back(), counts.front(),
                    1e6 * seconds / double(values.values.size()));
    }
}

}  // namespace

int main() {
    std::printf("%-12s %8s %8s %8s %8s %8s %8s %12s\n", "curve", "rho", "points", "mean", "median", "max", "min",
                "us/point");
    for (const double rho : {1e-3, 1e-2, 0.1, 1.0}) {
        std::vector<double> l;
        const double u0 = 0.5 * rho;
        for (int i = 0; i < 1000; ++i) {
            const double tau = -10 * rho + 20 * rho * i / 999.0;
            l.push_back(std::hypot(u0, tau) / rho);
        }
        report("crossing", rho, l);
    }
    for (const double rho : {1e-3, 1e-2}) {
        std::vector<double> l;
        const double u0 = 0.5 * rho;
        for (int i = 0; i < 2000; ++i) {
            const double t = -2.0 + 4.0 * i / 1999.0;
            l.push_back(std::hypot(u0, t) / rho);
        }
        report("whole-event", rho, l);
    }
    return 0;
}
