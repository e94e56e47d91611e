// Piecewise-linear interpolation of a table (x[j], y[j]).
//
//   v(xp) = c[i] + m[i]·xp,  m[i] = (y[i+1] − y[i]) / (x[i+1] − x[i]),
//                            c[i] = y[i] − x[i]·m[i],
//
// with n = min(|x|, |y|) table points and segment i = clamp(k − 1, 0, n − 2),
// k the number of leading abscissae x[0], x[1], ... that are < xp. Points
// with xp < x[0] or xp > x[n−1] get the fixed outside value; a one-point
// table is the constant y[0], an empty table the constant 0.0.
//
// Abscissae are meant to increase, but nothing is checked: an unsorted table
// uses the segment found by the leading run, a zero-width segment gives an
// infinite or NaN slope, and NaN or infinite inputs propagate through the
// arithmetic. The slope-intercept form is kept (rather than the two-point
// form) so that values are reproducible to the last bit; at a table point it
// may differ from y[j] by an ulp or so.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace kalvorin {

// Value of the piecewise-linear function through the first min(|x|, |y|)
// points at xp, or `outside` beyond the first or last abscissa. O(n), pure.
inline double interp(std::span<const double> x, std::span<const double> y, double xp,
                     double outside) noexcept {
    const std::size_t n = std::min(x.size(), y.size());
    if (n == 1) return y[0];
    if (n == 0) return 0.0;

    // Leading run of abscissae below xp (stops at the first false comparison,
    // NaN included), over the whole x sequence.
    std::size_t k = 0;
    while (k < x.size() && x[k] < xp) ++k;
    const std::size_t i = std::min(k > 0 ? k - 1 : 0, n - 2);

    const double dx = x[i + 1] - x[i];
    const double dy = y[i + 1] - y[i];
    const double slope = dy / dx;
    const double intercept = y[i] - x[i] * slope;
    const double v = intercept + slope * xp;

    if (xp < x[0]) return outside;
    if (xp > x[n - 1]) return outside;
    return v;
}

// The same function with slopes and intercepts derived once per table; every
// call returns the bits of interp(x, y, xp, outside).
//
// The segment index clamp(k − 1, 0, n − 2) depends on k only through
// min(k, n − 1), which is the leading-run count over the first n − 1
// abscissae alone; abscissae beyond those never change the result and are
// not kept. When those n − 1 abscissae are non-decreasing, the predicate
// x[j] < xp is true on a prefix and false after it for every xp (NaN xp:
// false everywhere), so the run length is its partition point and a binary
// search finds it. Otherwise the search walks them linearly.
class PiecewiseLinear {
public:
    PiecewiseLinear(std::vector<double> x, std::vector<double> y, double outside)
        : outside_(outside) {
        n_ = std::min(x.size(), y.size());
        if (n_ == 0) return;
        first_y_ = y[0];
        if (n_ == 1) return;
        x.resize(n_);
        x_ = std::move(x);
        slope_.resize(n_ - 1);
        intercept_.resize(n_ - 1);
        for (std::size_t i = 0; i + 1 < n_; ++i) {
            const double dx = x_[i + 1] - x_[i];
            const double dy = y[i + 1] - y[i];
            slope_[i] = dy / dx;
            intercept_[i] = y[i] - x_[i] * slope_[i];
        }
        sorted_ = true;
        for (std::size_t j = 0; j + 2 < n_; ++j) {
            if (!(x_[j] <= x_[j + 1])) {
                sorted_ = false;
                break;
            }
        }
    }

    double operator()(double xp) const noexcept {
        if (n_ == 1) return first_y_;
        if (n_ == 0) return 0.0;

        const std::size_t searched = n_ - 1;  // abscissae that can move the index
        std::size_t k = 0;
        if (sorted_) {
            const auto begin = x_.begin();
            const auto end = begin + static_cast<std::ptrdiff_t>(searched);
            k = static_cast<std::size_t>(
                std::partition_point(begin, end, [xp](double xj) { return xj < xp; }) - begin);
        } else {
            while (k < searched && x_[k] < xp) ++k;
        }
        const std::size_t i = std::min(k > 0 ? k - 1 : 0, n_ - 2);

        const double v = intercept_[i] + slope_[i] * xp;
        if (xp < x_[0]) return outside_;
        if (xp > x_[n_ - 1]) return outside_;
        return v;
    }

    std::size_t size() const noexcept { return n_; }

private:
    std::vector<double> x_;          // first n abscissae
    std::vector<double> slope_;      // n − 1 segment slopes
    std::vector<double> intercept_;  // n − 1 segment intercepts
    std::size_t n_ = 0;
    double first_y_ = 0.0;
    double outside_;
    bool sorted_ = false;
};

}  // namespace kalvorin
