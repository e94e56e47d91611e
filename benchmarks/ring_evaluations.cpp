// Ring evaluations spent per separation by the limb-darkened integration, on
// the light curves of the benchmark (u0 = 0.5ρ, τ from −10ρ to 10ρ, 1000
// points) and the time per point of the C++ computation alone.
//
//   cmake -S . -B build/bench -DKALVORIN_BENCHMARKS=ON -DKALVORIN_MODULE=OFF
//   cmake --build build/bench && build/bench/ring_evaluations
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "lib/models.hpp"

int main() {
    std::printf("%8s %10s %8s %8s %8s %12s\n", "rho", "points", "median", "max", "min", "us/point");
    for (const double rho : {1e-3, 1e-2, 0.1, 1.0}) {
        std::vector<double> l;
        const double u0 = 0.5 * rho;
        for (int i = 0; i < 1000; ++i) {
            const double tau = -10 * rho + 20 * rho * i / 999.0;
            l.push_back(std::hypot(u0, tau) / rho);
        }
        std::vector<std::uint32_t> counts = kalvorin::integrated_ring_evaluations(l, 1.0, rho);
        std::sort(counts.begin(), counts.end());
        const auto start = std::chrono::steady_clock::now();
        const auto values = kalvorin::integrated_heyrovsky_magnification(l, 1.0, rho);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%8g %10zu %8u %8u %8u %12.2f\n", rho, counts.size(), counts[counts.size() / 2], counts.back(),
                    counts.front(), 1e6 * seconds / double(values.values.size()));
    }
    return 0;
}
