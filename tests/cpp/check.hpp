// Minimal test harness for the C++ kernel tests: no external framework.
//
//   TEST_CASE(name) { CHECK(cond); CHECK_EQ_BITS(a, b); CHECK_ULPS(a, b, n); ... }
//   int main() { return kalvorin_test::run_all(); }
//
// Every failed check prints file:line and the values; the executable exits
// non-zero when any check failed, which is what ctest looks at.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace kalvorin_test {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
inline int& failures() {
    static int n = 0;
    return n;
}
inline long& checks() {
    static long n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline std::string repr(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
}

// Distance in units in the last place between two finite doubles of any sign.
inline std::uint64_t ulp_distance(double a, double b) {
    auto key = [](double v) {
        std::int64_t i;
        std::memcpy(&i, &v, sizeof i);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    std::int64_t ka = key(a), kb = key(b);
    return ka > kb ? std::uint64_t(ka) - std::uint64_t(kb) : std::uint64_t(kb) - std::uint64_t(ka);
}

// Bitwise equality, except that any NaN equals any NaN.
inline bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline int run_all() {
    for (auto& c : registry()) {
        int before = failures();
        c.body();
        if (failures() != before) std::fprintf(stderr, "  in case: %s\n", c.name);
    }
    std::printf("%zu cases, %ld checks, %d failures\n", registry().size(), checks(), failures());
    return failures() == 0 ? 0 : 1;
}

}  // namespace kalvorin_test

#define KT_CAT2(a, b) a##b
#define KT_CAT(a, b) KT_CAT2(a, b)
#define TEST_CASE(name)                                                          \
    static void KT_CAT(kt_case_, __LINE__)();                                    \
    static kalvorin_test::Register KT_CAT(kt_reg_, __LINE__)(name, KT_CAT(kt_case_, __LINE__)); \
    static void KT_CAT(kt_case_, __LINE__)()

#define CHECK(cond)                                                              \
    do {                                                                         \
        ++kalvorin_test::checks();                                               \
        if (!(cond)) kalvorin_test::fail(__FILE__, __LINE__, #cond);             \
    } while (0)

// Bit-for-bit equality of two doubles (NaN matches NaN).
#define CHECK_EQ_BITS(actual, expected)                                          \
    do {                                                                         \
        ++kalvorin_test::checks();                                               \
        double kt_a = (actual), kt_e = (expected);                               \
        if (!kalvorin_test::same_bits(kt_a, kt_e))                               \
            kalvorin_test::fail(__FILE__, __LINE__,                              \
                std::string(#actual) + " = " + kalvorin_test::repr(kt_a) +       \
                ", expected " + kalvorin_test::repr(kt_e));                      \
    } while (0)

// |actual - expected| within n units in the last place (NaN matches NaN).
#define CHECK_ULPS(actual, expected, n)                                          \
    do {                                                                         \
        ++kalvorin_test::checks();                                               \
        double kt_a = (actual), kt_e = (expected);                               \
        bool kt_ok = kalvorin_test::same_bits(kt_a, kt_e) ||                     \
            (std::isfinite(kt_a) && std::isfinite(kt_e) &&                       \
             kalvorin_test::ulp_distance(kt_a, kt_e) <= std::uint64_t(n));       \
        if (!kt_ok)                                                              \
            kalvorin_test::fail(__FILE__, __LINE__,                              \
                std::string(#actual) + " = " + kalvorin_test::repr(kt_a) +       \
                ", expected " + kalvorin_test::repr(kt_e) + " within " #n " ulps"); \
    } while (0)

// Relative error |a - e| / |e| at most tol (NaN matches NaN, inf matches inf).
#define CHECK_REL(actual, expected, tol)                                         \
    do {                                                                         \
        ++kalvorin_test::checks();                                               \
        double kt_a = (actual), kt_e = (expected);                               \
        bool kt_ok = kalvorin_test::same_bits(kt_a, kt_e) ||                     \
            std::fabs(kt_a - kt_e) <= (tol) * std::fabs(kt_e);                   \
        if (!kt_ok)                                                              \
            kalvorin_test::fail(__FILE__, __LINE__,                              \
                std::string(#actual) + " = " + kalvorin_test::repr(kt_a) +       \
                ", expected " + kalvorin_test::repr(kt_e) + " rel tol " #tol);   \
    } while (0)

// A kernel Result that must fail with exactly the given message.
#define CHECK_FAILS_WITH(result, message)                                        \
    do {                                                                         \
        ++kalvorin_test::checks();                                               \
        auto kt_r = (result);                                                    \
        if (!kt_r.failed() || std::strcmp(kt_r.failure, (message)) != 0)         \
            kalvorin_test::fail(__FILE__, __LINE__,                              \
                std::string(#result) + ": expected failure \"" + (message) +     \
                "\", got " + (kt_r.failed() ? std::string("\"") + kt_r.failure + "\"" \
                                            : "value " + kalvorin_test::repr(kt_r.value))); \
    } while (0)

// A kernel Result that must succeed; evaluates to its value (0 on failure).
#define VALUE_OF(result)                                                         \
    ([&]() {                                                                     \
        auto kt_r = (result);                                                    \
        ++kalvorin_test::checks();                                               \
        if (kt_r.failed()) {                                                     \
            kalvorin_test::fail(__FILE__, __LINE__,                              \
                std::string(#result) + " failed: " + kt_r.failure);              \
            return std::numeric_limits<double>::quiet_NaN();                    \
        }                                                                        \
        return kt_r.value;                                                       \
    }())
