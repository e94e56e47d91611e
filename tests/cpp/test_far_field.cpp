// The far field's derivatives of the centroid shift: the series on the
// magnification's coefficients (R_k − cP_k, which cancel to ~u² of their
// terms) and the series in 1/u² of the functions themselves are independent
// formulations; where both hold (10 ≤ u ≤ 40, loss ≤ 2e-13) they agree.
#include "check.hpp"
#include "lib/derivatives.hpp"
#include "lib/model_parts.hpp"

#include <array>
#include <cmath>

using namespace kalvorin;

TEST_CASE("far-field centroid derivatives: the coefficient series and the 1/u^2 series agree") {
    const SourceLaw law = SourceLaw::linear(0.6);
    const std::array<BasisTerm, 2> basis{BasisTerm{1.0, false}, BasisTerm{0.5, false}};
    const LawGradient g(law, basis);
    const detail::ProfileMoments& moments = law.data().moments;
    for (const double u : {10.0, 20.0, 40.0}) {
        for (const double x : {3.0, 5.0, 30.0, 300.0}) {
            double b1[2], b2[2];
            const detail::FarFieldCentroidGradient c1 =
                detail::far_field_centroid_gradient(u, x, moments, g.moment_differences(), 2, b1);
            const double a = detail::far_field_mean(u, x, moments).value;
            const double delta = detail::far_field_centroid(u, x, moments, nullptr).delta;
            const detail::FarFieldCentroidGradient c2 =
                detail::far_field_centroid_gradient_large_u(u, x, a, delta, moments, g.moment_differences(), 2, b2);
            CHECK(c1.terms > 0);
            CHECK(c2.terms > 0);
            CHECK_REL(c1.rho_d, c2.rho_d, 1e-12);
            for (int j = 0; j < 2; ++j) CHECK_REL(b1[j], b2[j], 1e-12);
            // the shift falls towards the point source's as the source shrinks
            CHECK(c2.rho_d < 0.0);
        }
    }
}

int main() { return kalvorin_test::run_all(); }
