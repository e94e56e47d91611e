// Random-input fuzzing of the numerical kernels, meant to be built with
// AddressSanitizer and UndefinedBehaviorSanitizer (scripts/fuzz-kernels).
//
//   fuzz_kernels [-n ITERATIONS] [-t SECONDS] [-s SEED]
//
// Arguments mix special doubles (±0, ±∞, NaN, subnormals, the extremes, the
// neighbours of 0 and 1) with random bit patterns and random values of
// random magnitude. Per iteration every elliptic routine, integrate() and the
// interpolation are called; the checks are
//   - a failure carries one of the messages its routine can produce (its own
//     and those of the routines it calls), compared as text;
//   - the argument checks, tested in their order, fail with exactly their
//     message, and the domain messages appear only when their check fails;
//   - ellipk/ellipe succeed for m ≤ 1, finitely for 0 ≤ m < 1; ellippi is
//     finite for 0 ≤ n, m < 1 and fails with "elliprj: p must be non-zero"
//     for n = 1;
//   - integrate() evaluates the integrand exactly `evaluations` times, at
//     most 385, and stops only at the end of a level from the third on; an
//     integrand that is zero or non-finite everywhere gives 0 after 25;
//   - PiecewiseLinear returns the bits of interp();
//   - every iteration ends: a watchdog stops the run when no iteration has
//     finished for 10 s (a loop running past its bound).
// The first violation prints its inputs and ends the run with exit status 1;
// sanitizer reports end it on their own.
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernels/elliptic.hpp"
#include "kernels/interp.hpp"
#include "kernels/quadrature.hpp"
#include "kernels/result.hpp"

namespace {

using kalvorin::Result;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Failure texts of the elliptic kernels.
const char* const RF_DOMAIN = "elliprf: x, y, and z must be non-negative, and at most one can be zero.";
const char* const RF_NO_CONVERGENCE = "elliprf: Failed to converge.";
const char* const RC_X_NEGATIVE = "elliprc: x must be non-negative.";
const char* const RC_Y_ZERO = "elliprc: y must be non-zero.";
const char* const RD_XY_DOMAIN = "elliprd: x and y must be non-negative, and at most one can be zero.";
const char* const RD_Z_DOMAIN = "elliprd: z must be positive";
const char* const RD_NO_CONVERGENCE = "elliprd: Failed to converge.";
const char* const RJ_DOMAIN = "elliprj: x, y, and z must be non-negative, and at most one can be zero.";
const char* const RJ_P_ZERO = "elliprj: p must be non-zero";
const char* const RJ_NO_CONVERGENCE = "elliprj: Fail to converge";
const char* const K_DOMAIN = "ellipk: m must be less than 1.";
const char* const E_DOMAIN = "ellipe: m must be less than 1.";
const char* const PI_M_DOMAIN = "ellippi: m must be less than 1.";
const char* const PI_N_DOMAIN = "ellippi: n must be less than 1.";

using Messages = std::vector<const char*>;
const Messages RC_MESSAGES = {RC_X_NEGATIVE, RC_Y_ZERO};
const Messages RF_MESSAGES = {RF_DOMAIN, RF_NO_CONVERGENCE, RC_X_NEGATIVE, RC_Y_ZERO};
const Messages RD_MESSAGES = {RD_XY_DOMAIN, RD_Z_DOMAIN, RD_NO_CONVERGENCE};
const Messages RJ_MESSAGES = {RJ_DOMAIN,     RJ_P_ZERO,         RJ_NO_CONVERGENCE, RC_X_NEGATIVE,
                              RC_Y_ZERO,     RD_XY_DOMAIN,      RD_Z_DOMAIN,       RD_NO_CONVERGENCE,
                              RF_DOMAIN,     RF_NO_CONVERGENCE};
const Messages RJ_INNER_MESSAGES = {RJ_NO_CONVERGENCE, RC_X_NEGATIVE, RC_Y_ZERO};
const Messages PI_MESSAGES = {PI_M_DOMAIN,   PI_N_DOMAIN,  K_DOMAIN,          RJ_DOMAIN,     RJ_P_ZERO,
                              RJ_NO_CONVERGENCE, RC_X_NEGATIVE, RC_Y_ZERO,   RD_XY_DOMAIN,  RD_Z_DOMAIN,
                              RD_NO_CONVERGENCE, RF_DOMAIN,   RF_NO_CONVERGENCE};

// ---------------------------------------------------------------------------
// Random doubles
// ---------------------------------------------------------------------------

const double SPECIALS[] = {
    0.0, -0.0, INF, -INF, NaN, -NaN,
    std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(), 1e-310, -1e-310, 1e-300, 1e-200, 1e-100, 1e-16,
    2.220446049250313e-16, 1.0, -1.0, 0.5, 2.0, 3.0, 1.0 - 1.1102230246251565e-16,
    1.0 + 2.220446049250313e-16, 0.9999999, 1.0000001, 1e100, 1e200, 1e244, 1e246, 1e300, 1e308,
    -1e308, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 0.1, 1.2, 0.8,
};

class Source {
public:
    explicit Source(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t bits() { return rng_(); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }

    double any() {
        switch (below(10)) {
            case 0:
            case 1:
            case 2:
                return SPECIALS[below(std::size(SPECIALS))];
            case 3: {
                const std::uint64_t b = bits();
                double v;
                std::memcpy(&v, &b, sizeof v);
                return v;
            }
            case 4:
            case 5: {
                const double magnitude = std::pow(10.0, unit() * 628.0 - 320.0);
                return below(4) == 0 ? -magnitude : magnitude;
            }
            case 6:
                return unit() * 4.0 - 2.0;
            case 7:
                return unit();
            case 8: {
                const double tiny = std::ldexp(1.0, -static_cast<int>(1 + below(60)));
                return below(2) ? 1.0 - tiny : 1.0 + tiny;
            }
            default:
                return static_cast<double>(static_cast<int>(below(11)) - 3);
        }
    }

    // Mostly non-negative: the interesting region of the Carlson integrals.
    double mostly_positive() {
        const double v = any();
        return below(8) == 0 ? v : std::fabs(v);
    }

private:
    std::mt19937_64 rng_;
};

// ---------------------------------------------------------------------------
// Reporting
// ---------------------------------------------------------------------------

std::map<std::string, long> failure_counts;
long calls = 0;

[[noreturn]] void violation(const char* what, const char* routine, std::initializer_list<double> args,
                            const Result& r) {
    std::fprintf(stderr, "fuzz_kernels: %s\n  %s(", what, routine);
    const char* sep = "";
    for (const double a : args) {
        std::fprintf(stderr, "%s%.17g", sep, a);
        sep = ", ";
    }
    if (r.failed())
        std::fprintf(stderr, ") failed with \"%s\"\n", r.failure);
    else
        std::fprintf(stderr, ") = %.17g\n", r.value);
    std::exit(1);
}

bool same(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

// A failure must carry one of `allowed` (compared as text); `expected`, when
// set, is the only acceptable outcome, and `forbidden` messages may not occur.
void check(const char* routine, std::initializer_list<double> args, const Result& r, const Messages& allowed,
           const char* expected, const Messages& forbidden = {}) {
    ++calls;
    if (expected != nullptr) {
        if (!same(r.failure, expected)) violation(expected, routine, args, r);
    }
    if (!r.failed()) return;
    bool known = false;
    for (const char* m : allowed) known = known || same(r.failure, m);
    if (!known) violation("unexpected failure message", routine, args, r);
    for (const char* m : forbidden)
        if (same(r.failure, m)) violation("domain message although the arguments pass the check", routine, args, r);
    ++failure_counts[r.failure];
}

// ---------------------------------------------------------------------------
// Elliptic kernels
// ---------------------------------------------------------------------------

void fuzz_elliptic(Source& src) {
    const double x = src.mostly_positive(), y = src.mostly_positive(), z = src.mostly_positive();
    const double p = src.any();

    // y of either sign: RC(x, y) for y < 0 is the principal value.
    check("elliprc", {x, p}, kalvorin::elliprc(x, p), RC_MESSAGES,
          x < 0 ? RC_X_NEGATIVE : (p == 0 ? RC_Y_ZERO : nullptr));
    check("elliprc", {x, y}, kalvorin::elliprc(x, y), RC_MESSAGES,
          x < 0 ? RC_X_NEGATIVE : (y == 0 ? RC_Y_ZERO : nullptr));
    const bool xyz_domain = std::fmin(std::fmin(x, y), z) < 0 || std::fmin(std::fmin(y + z, x + y), x + z) == 0;
    check("elliprf", {x, y, z}, kalvorin::elliprf(x, y, z), RF_MESSAGES, xyz_domain ? RF_DOMAIN : nullptr,
          xyz_domain ? Messages{} : Messages{RF_DOMAIN});
    {
        const bool xy_domain = std::fmin(x, y) < 0 || x + y == 0;
        const char* expected = xy_domain ? RD_XY_DOMAIN : (z <= 0 ? RD_Z_DOMAIN : nullptr);
        const Messages forbidden = expected ? Messages{} : Messages{RD_XY_DOMAIN, RD_Z_DOMAIN};
        check("elliprd", {x, y, z}, kalvorin::elliprd(x, y, z), RD_MESSAGES, expected, forbidden);
    }
    {
        const char* expected = xyz_domain ? RJ_DOMAIN : (p == 0 ? RJ_P_ZERO : nullptr);
        check("elliprj", {x, y, z, p}, kalvorin::elliprj(x, y, z, p), RJ_MESSAGES, expected,
              xyz_domain ? Messages{} : Messages{RJ_DOMAIN, RF_DOMAIN});
        // The duplication alone, under the conditions elliprj calls it with.
        const double pp = std::isnan(p) ? p : std::fabs(p);
        if (!xyz_domain && pp != 0)
            check("_elliprj", {x, y, z, pp}, kalvorin::_elliprj(x, y, z, pp), RJ_INNER_MESSAGES, nullptr);
    }

    // Complete integrals at an arbitrary point and inside [0, 1).
    const double m = src.below(2) ? src.any() : src.unit();
    const double n = src.below(2) ? src.any() : src.unit();
    for (const double mm : {m, n}) {
        const Result k = kalvorin::ellipk(mm);
        check("ellipk", {mm}, k, {K_DOMAIN}, mm > 1 ? K_DOMAIN : nullptr);
        const Result e = kalvorin::ellipe(mm);
        check("ellipe", {mm}, e, {E_DOMAIN}, mm > 1 ? E_DOMAIN : nullptr);
        if (!(mm > 1) && (k.failed() || e.failed())) violation("failure for m <= 1", "ellipk/ellipe", {mm}, k);
        if (mm >= 0 && mm < 1 && !(std::isfinite(k.value) && std::isfinite(e.value)))
            violation("non-finite for 0 <= m < 1", "ellipk/ellipe", {mm}, std::isfinite(k.value) ? e : k);
    }
    {
        const Result pi = kalvorin::ellippi(n, m);
        const char* expected = m >= 1 ? PI_M_DOMAIN : (n > 1 ? PI_N_DOMAIN : nullptr);
        check("ellippi", {n, m}, pi, PI_MESSAGES, expected,
              expected ? Messages{} : Messages{PI_M_DOMAIN, PI_N_DOMAIN, K_DOMAIN});
        if (m >= 0 && m < 1 && n >= 0 && n < 1 && !(!pi.failed() && std::isfinite(pi.value)))
            violation("not finite for 0 <= n, m < 1", "ellippi", {n, m}, pi);
        if (m < 1)
            check("ellippi", {1.0, m}, kalvorin::ellippi(1.0, m), PI_MESSAGES, RJ_P_ZERO);
    }
}

// ---------------------------------------------------------------------------
// Quadrature
// ---------------------------------------------------------------------------

void fuzz_integrate(Source& src) {
    // Interval ends and target: mostly [0, 1] and 1e-16 as in the models.
    const double a = src.below(3) ? 0.0 : src.any();
    const double b = src.below(3) ? 1.0 : src.any();
    const double target = src.below(3) ? 1e-16 : src.any();
    const std::size_t kind = src.below(6);
    const double c = src.any();
    const int power = static_cast<int>(src.below(5));

    std::uint32_t count = 0;
    bool all_null = true;  // every value zero or non-finite
    auto f = [&](double x) {
        ++count;
        double v;
        switch (kind) {
            case 0: v = src.any(); break;                           // noise, specials included
            case 1: v = c * std::pow(x, power); break;              // smooth
            case 2: v = c; break;                                   // constant
            case 3: v = src.below(2) ? NaN : (src.below(2) ? INF : 0.0); break;  // null everywhere
            case 4: v = 1.0 / (x - 0.5); break;                     // pole inside
            default: v = std::log(x) * c; break;                    // endpoint singularity
        }
        if (std::isfinite(v) && v != 0.0) all_null = false;
        return v;
    };
    const kalvorin::QuadratureResult r = kalvorin::integrate(f, a, b, target);
    ++calls;

    const bool level_end = r.evaluations == 25 || r.evaluations == 49 || r.evaluations == 97 ||
                           r.evaluations == 193 || r.evaluations == 385;
    if (r.evaluations != count || count > 385 || !level_end) {
        std::fprintf(stderr,
                     "fuzz_kernels: integrate(kind %zu, c %.17g, a %.17g, b %.17g, target %.17g): "
                     "%" PRIu32 " calls, evaluations %" PRIu32 "\n",
                     kind, c, a, b, target, count, r.evaluations);
        std::exit(1);
    }
    if (all_null && std::isfinite(a) && std::isfinite(b) && std::isfinite((b - a) * 0.5) &&
        (r.integral != 0.0 || r.evaluations != 25)) {
        std::fprintf(stderr,
                     "fuzz_kernels: integrate of a null integrand on [%.17g, %.17g]: %.17g after %" PRIu32
                     " evaluations\n",
                     a, b, r.integral, r.evaluations);
        std::exit(1);
    }
}

// ---------------------------------------------------------------------------
// Interpolation
// ---------------------------------------------------------------------------

bool same_bits_or_both_nan(double u, double v) {
    if (std::isnan(u) && std::isnan(v)) return true;
    std::uint64_t bu, bv;
    std::memcpy(&bu, &u, sizeof u);
    std::memcpy(&bv, &v, sizeof v);
    return bu == bv;
}

void fuzz_interp(Source& src) {
    const std::size_t nx = src.below(8), ny = src.below(2) ? nx : src.below(8);
    std::vector<double> x(nx), y(ny);
    double at = src.unit() - 0.25;
    for (double& v : x) {
        // Mostly increasing, with repeats, specials and disorder.
        at += src.below(6) == 0 ? 0.0 : src.unit() * 0.5;
        v = src.below(8) == 0 ? src.any() : at;
    }
    for (double& v : y) v = src.below(6) == 0 ? src.any() : src.unit();
    const double outside = src.below(2) ? 0.0 : src.any();
    const kalvorin::PiecewiseLinear table(x, y, outside);
    for (int i = 0; i < 8; ++i) {
        double xp;
        switch (src.below(3)) {
            case 0: xp = nx ? x[src.below(nx)] : src.any(); break;
            case 1: xp = src.unit() * 2.0 - 0.5; break;
            default: xp = src.any(); break;
        }
        const double direct = kalvorin::interp(x, y, xp, outside);
        const double cached = table(xp);
        ++calls;
        if (!same_bits_or_both_nan(direct, cached)) {
            std::fprintf(stderr, "fuzz_kernels: PiecewiseLinear(%.17g) = %.17g, interp = %.17g; x =", xp, cached,
                         direct);
            for (const double v : x) std::fprintf(stderr, " %.17g", v);
            std::fputs("; y =", stderr);
            for (const double v : y) std::fprintf(stderr, " %.17g", v);
            std::fputc('\n', stderr);
            std::exit(1);
        }
    }
}

// ---------------------------------------------------------------------------
// Watchdog
// ---------------------------------------------------------------------------

volatile std::sig_atomic_t progress = 0;
volatile std::sig_atomic_t progress_seen = -1;

extern "C" void watchdog(int) {
    if (progress == progress_seen) {
        static const char text[] = "fuzz_kernels: no iteration finished within 10 s: a loop runs past its bound\n";
        [[maybe_unused]] const auto ignored = write(2, text, sizeof text - 1);
        _exit(1);
    }
    progress_seen = progress;
}

void start_watchdog() {
    std::signal(SIGALRM, watchdog);
    itimerval every{{10, 0}, {10, 0}};
    setitimer(ITIMER_REAL, &every, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = -1;
    double seconds = -1;
    std::uint64_t seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-n") == 0) iterations = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "-t") == 0) seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "-s") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [-n ITERATIONS] [-t SECONDS] [-s SEED]\n", argv[0]);
            return 2;
        }
    }
    if (iterations < 0 && seconds < 0) iterations = 100000;
    std::printf("fuzz_kernels: seed %" PRIu64 "\n", seed);
    std::fflush(stdout);

    Source src(seed);
    start_watchdog();
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; iterations < 0 || done < iterations; ++done) {
        if (seconds >= 0 && (done & 255) == 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds)
            break;
        fuzz_elliptic(src);
        fuzz_integrate(src);
        fuzz_interp(src);
        progress = static_cast<std::sig_atomic_t>(done & 0x3fffffff);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("fuzz_kernels: %ld iterations, %ld kernel calls in %.1f s, no violation\n", done, calls, elapsed);
    for (const auto& [message, count] : failure_counts) std::printf("  %9ld x \"%s\"\n", count, message.c_str());
    return 0;
}
