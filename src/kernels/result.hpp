// Kernel result: a double, or a failure carrying one static message text.
//
// Numerical routines never throw and never allocate; a failure is a value
// that the caller passes on unchanged until it reaches the Python boundary,
// where it becomes a RuntimeError with exactly that text.
#pragma once

namespace kalvorin {

struct Result {
    double value;
    const char* failure;  // nullptr on success; otherwise a string literal

    static constexpr Result ok(double v) noexcept { return {v, nullptr}; }
    static constexpr Result fail(const char* message) noexcept { return {0.0, message}; }
    constexpr bool failed() const noexcept { return failure != nullptr; }
};

}  // namespace kalvorin
