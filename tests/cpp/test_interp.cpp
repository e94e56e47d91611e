// Tests of interp() and PiecewiseLinear.
//
// Expected values are reference edge cases of the routine, or follow by
// exact arithmetic from the slope-intercept form (tables chosen so that
// every slope, intercept and value is exactly representable, or infinite).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "check.hpp"
#include "kernels/interp.hpp"

using kalvorin::interp;
using kalvorin::PiecewiseLinear;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

using Vec = std::vector<double>;

double at(const Vec& x, const Vec& y, double xp, double outside = 0.0) {
    return interp(std::span<const double>(x), std::span<const double>(y), xp, outside);
}

struct Case {
    double xp;
    double expected;
};

}  // namespace

// ----------------------------------------------------------------- interp()

TEST_CASE("interp: three-point profile") {
    const Vec x = {0.0, 0.5, 1.0};
    const Vec y = {1.0, 0.8, 0.2};
    const Case cases[] = {
        {0.0, 1.0},
        {0.25, 0.9},
        {0.5, 0.8},
        {0.75, 0.5},
        // Slope -1.2000000000000002, intercept 1.4000000000000001.
        {1.0, 0.19999999999999996},
        {1.0000001, 0.0},
        {-0.1, 0.0},
        {INF, 0.0},
        {-INF, 0.0},
        {NaN, NaN},  // passes both outside tests
    };
    for (const Case& c : cases) CHECK_EQ_BITS(at(x, y, c.xp), c.expected);
    // The outside value is returned as given, inside points are unaffected.
    CHECK_EQ_BITS(at(x, y, -0.1, -7.5), -7.5);
    CHECK_EQ_BITS(at(x, y, 1.0000001, -7.5), -7.5);
    CHECK_EQ_BITS(at(x, y, 1.0, -7.5), 0.19999999999999996);
    CHECK_EQ_BITS(at(x, y, 1.0, NaN), 0.19999999999999996);
}

TEST_CASE("interp: empty table gives 0.0 for every point") {
    const Vec empty;
    const Vec some = {0.0, 0.5, 1.0};
    const double points[] = {0.0, 0.5, 5.0, -1.0, INF, -INF, NaN};
    for (double xp : points) {
        CHECK_EQ_BITS(at(empty, some, xp, -7.5), 0.0);
        CHECK_EQ_BITS(at(some, empty, xp, -7.5), 0.0);
        CHECK_EQ_BITS(at(empty, empty, xp, -7.5), 0.0);
    }
}

TEST_CASE("interp: one-point table is a constant, without outside value") {
    struct Table {
        Vec x, y;
    };
    const Table tables[] = {
        {{0.3}, {2.0}},
        {{0.3, 0.9, 1.5}, {2.0}},  // n = min of the lengths
        {{0.3}, {2.0, 4.0}},
        {{NaN}, {2.0}},
    };
    const double points[] = {5.0, -1.0, 0.3, 0.0, INF, -INF, NaN};
    for (const Table& t : tables)
        for (double xp : points) CHECK_EQ_BITS(at(t.x, t.y, xp, -7.5), 2.0);
}

TEST_CASE("interp: repeated first abscissa") {
    const Vec x = {0.0, 0.0, 1.0};
    const Vec y = {1.0, 0.5, 0.0};
    const Case cases[] = {
        {0.0, NaN},   // zero-width segment: slope -inf, intercept 1 - 0·inf
        {0.5, 0.25},  // slope -0.5, intercept 0.5
        {1.0, 0.0},
        {-0.5, 0.0},
        {1.5, 0.0},
    };
    for (const Case& c : cases) CHECK_EQ_BITS(at(x, y, c.xp), c.expected);
}

TEST_CASE("interp: an interior abscissa uses the segment to its left") {
    // Segment 1 has an infinite slope and gives NaN everywhere.
    const Vec x = {0.0, 1.0, 2.0};
    const Vec y = {0.0, 1.0, INF};
    const Case cases[] = {{0.0, 0.0}, {0.5, 0.5}, {1.0, 1.0}, {1.5, NaN}, {2.0, NaN}};
    for (const Case& c : cases) CHECK_EQ_BITS(at(x, y, c.xp), c.expected);
}

TEST_CASE("interp: only the first min(|x|, |y|) points form the table") {
    const Vec y = {1.0, 0.8, 0.2};
    const Vec longer_x[] = {
        {0.0, 0.5, 1.0, 2.0, 3.0},
        {0.0, 0.5, 1.0, -4.0, NaN, 0.7},  // unsorted and NaN tail
        {0.0, 0.5, 1.0, INF},
    };
    const Case cases[] = {
        {0.0, 1.0}, {0.25, 0.9}, {0.75, 0.5}, {1.0, 0.19999999999999996},
        {1.5, 0.0},  // beyond x[n-1] = 1.0 although x goes on
        {2.5, 0.0}, {-0.1, 0.0}, {NaN, NaN},
    };
    for (const Vec& x : longer_x)
        for (const Case& c : cases) CHECK_EQ_BITS(at(x, y, c.xp), c.expected);
    // Longer y: the extra ordinates are never read.
    const Vec x = {0.0, 0.5, 1.0};
    const Vec longer_y = {1.0, 0.8, 0.2, 99.0, NaN};
    for (const Case& c : cases) CHECK_EQ_BITS(at(x, longer_y, c.xp), c.expected);
}

TEST_CASE("interp: unsorted abscissae use the leading run and the end points") {
    struct Row {
        Vec x, y;
        double xp, expected;
    };
    const Row rows[] = {
        // x[0] = 0, x[2] = 0.5 bound the table; the run stops at x[1] = 1.
        {{0.0, 1.0, 0.5}, {0.0, 1.0, 3.0}, 0.25, 0.25},
        {{0.0, 1.0, 0.5}, {0.0, 1.0, 3.0}, 0.5, 0.5},
        {{0.0, 1.0, 0.5}, {0.0, 1.0, 3.0}, 0.75, -7.5},  // above x[2]
        // Decreasing first segment: slope -1, intercept 1.
        {{1.0, 0.0, 2.0}, {0.0, 1.0, 3.0}, 1.0, 0.0},
        {{1.0, 0.0, 2.0}, {0.0, 1.0, 3.0}, 1.5, 2.5},  // run of 2: segment 1
        {{1.0, 0.0, 2.0}, {0.0, 1.0, 3.0}, 2.0, 3.0},
        {{1.0, 0.0, 2.0}, {0.0, 1.0, 3.0}, 0.5, -7.5},  // below x[0]
        // Last abscissa below the first: every point is outside.
        {{1.0, 2.0, 0.0}, {0.0, 1.0, 3.0}, 1.5, -7.5},
        {{1.0, 2.0, 0.0}, {0.0, 1.0, 3.0}, 0.5, -7.5},
    };
    for (const Row& r : rows) CHECK_EQ_BITS(at(r.x, r.y, r.xp, -7.5), r.expected);
}

// ---------------------------------------------------------- PiecewiseLinear

namespace {

// Points worth probing for a table: every abscissa and its neighbours,
// midpoints, special values, and random points around the table's range.
Vec probe_points(const Vec& x, std::mt19937_64& rng) {
    Vec p = {0.0, -0.0, 1.0, -1.0, 0.5, INF, -INF, NaN, 1e300, -1e300,
             std::numeric_limits<double>::denorm_min(), 2.0, 3.0};
    double lo = 0.0, hi = 1.0;
    for (double v : x) {
        p.push_back(v);
        p.push_back(std::nextafter(v, INF));
        p.push_back(std::nextafter(v, -INF));
        if (std::isfinite(v)) {
            lo = std::fmin(lo, v);
            hi = std::fmax(hi, v);
        }
    }
    for (std::size_t j = 0; j + 1 < x.size(); ++j) p.push_back(0.5 * (x[j] + x[j + 1]));
    std::uniform_real_distribution<double> u(lo - 1.0, hi + 1.0);
    for (int i = 0; i < 500; ++i) p.push_back(u(rng));
    return p;
}

Vec sorted_random(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Vec v(n);
    for (double& e : v) e = u(rng);
    std::sort(v.begin(), v.end());
    return v;
}

Vec random_values(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    Vec v(n);
    for (double& e : v) e = u(rng);
    return v;
}

}  // namespace

TEST_CASE("PiecewiseLinear: bit-identical to interp for every table and point") {
    std::mt19937_64 rng(20240611);
    struct Table {
        const char* name;
        Vec x, y;
    };
    std::vector<Table> tables = {
        {"empty", {}, {}},
        {"empty y", {0.0, 1.0}, {}},
        {"one point", {0.3}, {2.0}},
        {"one point, long x", {0.3, 0.1, 0.9}, {2.0}},
        {"two points", {0.0, 1.0}, {1.0, 0.0}},
        {"profile", {0.0, 0.5, 1.0}, {1.0, 0.8, 0.2}},
        {"repeated first abscissa", {0.0, 0.0, 1.0}, {1.0, 0.5, 0.0}},
        {"repeated interior abscissa", {0.0, 0.3, 0.3, 0.3, 1.0}, {1.0, 0.9, 0.7, 0.6, 0.1}},
        {"all equal", {0.5, 0.5, 0.5, 0.5}, {1.0, 2.0, 3.0, 4.0}},
        {"unsorted", {0.0, 1.0, 0.5}, {0.0, 1.0, 3.0}},
        {"decreasing", {1.0, 0.75, 0.5, 0.25, 0.0}, {0.0, 1.0, 2.0, 3.0, 4.0}},
        {"sorted but last below", {0.0, 1.0, 2.0, 3.0, 1.5}, {1.0, 2.0, 4.0, 8.0, 16.0}},
        {"NaN abscissa", {0.0, 0.25, NaN, 0.75, 1.0}, {1.0, 0.9, 0.8, 0.7, 0.6}},
        {"NaN first abscissa", {NaN, 0.25, 0.5}, {1.0, 0.9, 0.8}},
        {"NaN last abscissa", {0.0, 0.25, NaN}, {1.0, 0.9, 0.8}},
        {"NaN ordinate", {0.0, 0.25, 0.5, 0.75}, {1.0, NaN, 0.8, 0.7}},
        {"infinite abscissae", {-INF, 0.0, 1.0, INF}, {1.0, 2.0, 3.0, 4.0}},
        {"infinite ordinate", {0.0, 1.0, 2.0}, {0.0, 1.0, INF}},
        {"signed zeros", {-0.0, 0.0, 1.0}, {1.0, 2.0, 3.0}},
        {"x longer, unsorted NaN tail", {0.0, 0.5, 1.0, -4.0, NaN, 0.7}, {1.0, 0.8, 0.2}},
        {"y longer", {0.0, 0.5, 1.0}, {1.0, 0.8, 0.2, 99.0, NaN}},
    };
    for (std::size_t n : {2u, 3u, 10u, 100u, 1000u})
        tables.push_back({"random sorted", sorted_random(n, rng), random_values(n, rng)});
    for (std::size_t n : {3u, 10u, 100u})
        tables.push_back({"random unsorted", random_values(n, rng), random_values(n, rng)});
    {
        Vec x = sorted_random(50, rng);
        x[20] = x[21];  // zero-width segment inside a sorted table
        x[30] = x[31] = x[32];
        tables.push_back({"random sorted with duplicates", x, random_values(50, rng)});
        Vec z = sorted_random(50, rng);
        z[25] = NaN;
        tables.push_back({"random sorted with a NaN", z, random_values(50, rng)});
        Vec w = sorted_random(40, rng);
        std::swap(w[10], w[11]);
        tables.push_back({"random almost sorted", w, random_values(40, rng)});
    }

    for (const Table& t : tables) {
        const Vec points = probe_points(t.x, rng);
        for (double outside : {0.0, -7.5}) {
            const PiecewiseLinear f(t.x, t.y, outside);
            CHECK(f.size() == std::min(t.x.size(), t.y.size()));
            int mismatches = 0;
            for (double xp : points) {
                const double expected = at(t.x, t.y, xp, outside);
                const double got = f(xp);
                if (!kalvorin_test::same_bits(got, expected) && mismatches++ == 0)
                    std::fprintf(stderr, "  %s: xp = %.17g gives %.17g, interp %.17g\n", t.name, xp,
                                 got, expected);
            }
            CHECK(mismatches == 0);
        }
    }
}

TEST_CASE("PiecewiseLinear: reference values") {
    const PiecewiseLinear profile({0.0, 0.5, 1.0}, {1.0, 0.8, 0.2}, 0.0);
    const Case cases[] = {{0.0, 1.0},  {0.25, 0.9},      {0.5, 0.8},  {0.75, 0.5},
                          {1.0, 0.19999999999999996}, {1.0000001, 0.0}, {-0.1, 0.0}, {NaN, NaN}};
    for (const Case& c : cases) CHECK_EQ_BITS(profile(c.xp), c.expected);

    const PiecewiseLinear repeated({0.0, 0.0, 1.0}, {1.0, 0.5, 0.0}, 0.0);
    CHECK_EQ_BITS(repeated(0.0), NaN);
    CHECK_EQ_BITS(repeated(0.5), 0.25);

    const PiecewiseLinear single({0.3}, {2.0}, -7.5);
    CHECK_EQ_BITS(single(5.0), 2.0);
    CHECK_EQ_BITS(single(-1.0), 2.0);

    const PiecewiseLinear empty({}, {1.0, 2.0}, -7.5);
    CHECK_EQ_BITS(empty(0.5), 0.0);
}

int main() { return kalvorin_test::run_all(); }
