// kalvorin_fspl._core: the compiled layer of kalvorin_fspl (nanobind).
//
// Flat float64 arrays in, results written into a flat float64 array that the
// Python layer allocated; the Python layer broadcasts, converts, checks
// scalars and words the errors. Here: a scan of the arrays for values
// outside the domain (reported as (argument, flat index)), then the model in
// chunks without the GIL, with pending signals handled between chunks (an
// exception raised by a handler ends the call; the output is then never
// returned). The models are the C++ laws of lib/laws.hpp.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lib/centroid.hpp"
#include "lib/derivatives.hpp"
#include "lib/interruptible.hpp"
#include "lib/laws.hpp"
#include "lib/models.hpp"

namespace nb = nanobind;

namespace kalvorin::fspl {
namespace {

using In = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// An argument outside its domain: its name and the flat index of the first
// offending element.
using Invalid = std::optional<std::pair<std::string, std::size_t>>;

std::span<const double> view(const In& a) { return {a.data(), a.shape(0)}; }
std::span<double> view(Out& a) { return {a.data(), a.shape(0)}; }

bool finite_non_negative(double v) noexcept { return v >= 0.0 && v < HUGE_VAL; }
bool finite(double v) noexcept { return std::isfinite(v); }

template <class Ok>
std::optional<std::size_t> first_invalid(std::span<const double> a, Ok ok) noexcept {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!ok(a[i])) return i;
    return std::nullopt;
}

// Separations in the first chunk: about a millisecond of work at the most
// expensive points (a far-field point costs ~0.03 µs, a uniform disk
// ~0.2 µs, an integration over the source up to ~10 µs, ~0.1 µs more per
// table interval). Later chunks are sized from the time the last one took.
std::size_t first_chunk(const SourceLaw& law) noexcept {
    switch (law.kind()) {
    case SourceLaw::Kind::uniform: return 4096;
    case SourceLaw::Kind::linear: return 128;
    case SourceLaw::Kind::power: return 96;
    case SourceLaw::Kind::table: return std::max<std::size_t>(1, 8192 / std::max<std::size_t>(1, law.breakpoints().size()));
    }
    return 1;
}

// Runs compute(begin, end) over [0, n) in chunks, polling for signals in
// between; false when a signal handler raised (its exception is set and the
// GIL held). The first kernel failure ends the loop and is returned.
template <class Compute>
bool run_in_chunks(std::size_t n, std::size_t first, SignalCheckpoint& checkpoint, const char*& failure,
                   Compute&& compute) {
    std::size_t begin = 0, size = std::max<std::size_t>(first, 1);
    while (begin < n) {
        size = std::min(size, n - begin);
        const auto start = std::chrono::steady_clock::now();
        failure = compute(begin, begin + size);
        const auto took = std::chrono::steady_clock::now() - start;
        if (failure) return true;
        begin += size;
        if (begin < n && !checkpoint.poll()) return false;
        size = next_chunk_size(size, took);
    }
    return true;
}

// Raises what a chunked run ended with (GIL held).
void finish(bool completed, const char* failure) {
    if (!completed) throw nb::python_error();
    if (failure) throw std::runtime_error(failure);
}

// Calls f(i, j, r) for each run [i, j) of [b, e) with one source radius r
// (rho of one element serves every point); the first failure it returns.
template <class F>
const char* for_each_rho_run(std::size_t b, std::size_t e, std::span<const double> rho, F&& f) {
    for (std::size_t i = b; i < e;) {
        std::size_t j = rho.size() == 1 ? e : i + 1;
        while (j < e && rho[j] == rho[i]) ++j;
        if (const char* failure = f(i, j, rho.size() == 1 ? rho[0] : rho[i])) return failure;
        i = j;
    }
    return nullptr;
}

// The first u or rho outside the domain (finite, ≥ 0), or nothing.
Invalid invalid_u_rho(std::span<const double> u, std::span<const double> rho) noexcept {
    if (const auto i = first_invalid(u, finite_non_negative)) return std::pair{std::string("u"), *i};
    if (const auto i = first_invalid(rho, finite_non_negative)) return std::pair{std::string("rho"), *i};
    return std::nullopt;
}

// Magnification at u[i] for a source of radius rho[i] (rho of one element
// serves every point); out has u's length.
Invalid magnification_spans(std::span<const double> u, std::span<const double> rho, const SourceLaw& law,
                            std::span<double> out) {
    if (out.size() != u.size() || (rho.size() != 1 && rho.size() != u.size()))
        throw std::invalid_argument("u, rho and out: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (Invalid bad = invalid_u_rho(u, rho)) return bad;
        std::vector<double> scratch;
        completed = run_in_chunks(u.size(), first_chunk(law), checkpoint, failure, [&](std::size_t b, std::size_t e) {
            scratch.resize(e - b);
            // Consecutive points with the same source radius share the set-up.
            return for_each_rho_run(b, e, rho, [&](std::size_t i, std::size_t j, double r) {
                return einstein_magnifications(law, u.subspan(i, j - i), r, out.subspan(i, j - i),
                                               std::span<double>(scratch).first(j - i));
            });
        });
    }
    finish(completed, failure);
    return std::nullopt;
}

// Runs a computation that releases the GIL. A daemon thread that retakes it
// while the interpreter finalizes is ended by a forced unwind
// (interruptible.hpp), which nanobind's entry points would stop, aborting the
// process: the thread stays blocked here instead.
// Not inlined: the sanitizer attribute must stay with the handler.
template <class Compute>
KALVORIN_CATCHES_FORCED_UNWIND [[gnu::noinline]] Invalid without_forced_unwind(Compute&& compute) {
    try {
        return compute();
    } catch (ForcedUnwind&) {
        block_thread_forever();
    }
}

Invalid magnification(const In& u, const In& rho, const SourceLaw& law, Out& out) {
    return without_forced_unwind([&] { return magnification_spans(view(u), view(rho), law, view(out)); });
}

// The same for one source radius.
Invalid magnification_rho(const In& u, double rho, const SourceLaw& law, Out& out) {
    return without_forced_unwind([&] { return magnification_spans(view(u), {&rho, 1}, law, view(out)); });
}

// One point, with the GIL held (cheaper than releasing it); NaN when u or
// rho is outside the domain (the Python layer words the error).
double magnification1(double u, double rho, const SourceLaw& law) {
    if (!finite_non_negative(u) || !finite_non_negative(rho)) return std::nan("");
    double out, scratch;
    const char* failure = einstein_magnifications(law, {&u, 1}, rho, {&out, 1}, {&scratch, 1});
    if (failure) throw std::runtime_error(failure);
    return out;
}

// Rectilinear trajectory u(t) = √(u0² + τ²), τ = (t − t0)/tE, in that order
// of operations (hypot where τ² would overflow), source radius rho; the
// scalars are checked by the Python layer.
double trajectory(double t, double t0, double u0, double tE) noexcept {
    const double tau = (t - t0) / tE;
    if (std::fabs(tau) < 1e150 && std::fabs(u0) < 1e150) return std::sqrt(u0 * u0 + tau * tau);
    return std::hypot(u0, tau);
}

Invalid light_curve_spans(const In& t_in, double t0, double u0, double tE, double rho, const SourceLaw& law,
                          Out& out_arr) {
    const std::span<const double> t = view(t_in);
    const std::span<double> out = view(out_arr);
    if (out.size() != t.size()) throw std::invalid_argument("t and out: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (const auto i = first_invalid(t, finite)) return std::pair{std::string("t"), *i};
        std::vector<double> u, scratch;
        completed = run_in_chunks(t.size(), first_chunk(law), checkpoint, failure, [&](std::size_t b, std::size_t e) {
            u.resize(e - b);
            scratch.resize(e - b);
            for (std::size_t i = b; i < e; ++i) u[i - b] = trajectory(t[i], t0, u0, tE);
            return einstein_magnifications(law, u, rho, out.subspan(b, e - b), scratch);
        });
    }
    finish(completed, failure);
    return std::nullopt;
}

Invalid light_curve(const In& t, double t0, double u0, double tE, double rho, const SourceLaw& law, Out& out) {
    return without_forced_unwind([&] { return light_curve_spans(t, t0, u0, tE, rho, law, out); });
}

// Basis terms (p, ln μ?) of the law's parameter derivatives, and the matrix
// G (parameters × terms, row-major) with ∂I/∂θ_j = Σ_b G[j][b]·term_b.
using Basis = std::vector<std::pair<double, bool>>;

struct ParameterMap {
    std::vector<double> G;  // empty: the identity (a table's points are its terms)
    std::size_t params, terms;
    // out[j] = Σ_b G[j][b] db[b] for one point.
    void apply(const double* db, double* out) const noexcept {
        if (G.empty()) {
            std::copy_n(db, terms, out);
            return;
        }
        for (std::size_t j = 0; j < params; ++j) {
            double v = 0.0;
            for (std::size_t b = 0; b < terms; ++b) v = v + G[j * terms + b] * db[b];
            out[j] = v;
        }
    }
};

ParameterMap parameter_map(const std::vector<double>& G, std::size_t params, std::size_t terms) {
    if (G.size() != params * terms && !(G.empty() && params == terms))
        throw std::invalid_argument("G: size does not match the parameters and terms");
    return {G, params, terms};
}

LawGradient law_gradient(const SourceLaw& law, const Basis& basis) {
    std::vector<BasisTerm> terms;
    for (const auto& [p, log] : basis) terms.push_back({p, log});
    return LawGradient(law, terms);
}

// The outputs of a span of points, the basis derivatives in db (point-major).
GradientOut part_of(const GradientOut& out, std::size_t b, std::size_t e, std::span<double> db) {
    return {out.a.subspan(b, e - b), out.du.subspan(b, e - b), out.drho.subspan(b, e - b), db};
}
CentroidGradientOut part_of(const CentroidGradientOut& out, std::size_t b, std::size_t e, std::span<double> db) {
    return {out.a.subspan(b, e - b), out.delta.subspan(b, e - b), out.du.subspan(b, e - b),
            out.drho.subspan(b, e - b), db};
}
const char* gradients(const LawGradient& g, std::span<const double> u, double rho, const GradientOut& out) {
    return einstein_gradients(g, u, rho, out);
}
const char* gradients(const LawGradient& g, std::span<const double> u, double rho, const CentroidGradientOut& out) {
    return einstein_centroid_gradients(g, u, rho, out);
}
bool lengths_match(const GradientOut& o, std::size_t n) {
    return o.a.size() == n && o.du.size() == n && o.drho.size() == n;
}
bool lengths_match(const CentroidGradientOut& o, std::size_t n) {
    return o.a.size() == n && o.delta.size() == n && o.du.size() == n && o.drho.size() == n;
}

// Gradients of the magnification (GradientOut) or of the centroid shift
// (CentroidGradientOut) at u[i] (rho of one element or u's length): the
// values and du, drho of u's length, dlaw (out.dbasis) of u's length × the
// parameters.
template <class Outputs>
Invalid gradient_spans(std::span<const double> u, std::span<const double> rho, const LawGradient& g,
                       const ParameterMap& map, const Outputs& out) {
    const std::size_t nb = g.basis_size(), np = map.params;
    if (!lengths_match(out, u.size()) || out.dbasis.size() != u.size() * np ||
        (rho.size() != 1 && rho.size() != u.size()) || map.terms != nb)
        throw std::invalid_argument("u, rho and the outputs: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (Invalid bad = invalid_u_rho(u, rho)) return bad;
        std::vector<double> db;
        const auto part = [&](std::size_t b, std::size_t e, std::size_t first) {
            return part_of(out, b, e, std::span<double>(db).subspan((b - first) * nb, (e - b) * nb));
        };
        completed = run_in_chunks(u.size(), std::max<std::size_t>(1, first_chunk(g.law()) / 2), checkpoint, failure,
                                  [&](std::size_t b, std::size_t e) {
                                      db.resize((e - b) * nb);
                                      const char* f = for_each_rho_run(b, e, rho, [&](std::size_t i, std::size_t j, double r) {
                                          return gradients(g, u.subspan(i, j - i), r, part(i, j, b));
                                      });
                                      if (f) return f;
                                      for (std::size_t i = b; i < e; ++i)
                                          map.apply(db.data() + (i - b) * nb, out.dbasis.data() + i * np);
                                      return static_cast<const char*>(nullptr);
                                  });
    }
    finish(completed, failure);
    return std::nullopt;
}

// What a law's gradients need, built once per law object (the Python layer
// keeps it with the law): the gradient set-up and the parameter map.
struct GradientLaw {
    LawGradient g;
    ParameterMap map;
    GradientLaw(const SourceLaw& law, const Basis& basis, const std::vector<double>& G, std::size_t params)
        : g(law_gradient(law, basis)), map(parameter_map(G, params, g.basis_size())) {}
};

// One point, with the GIL held: (A, dA/du, dA/drho, [dA/dθ_j]); None when u
// or rho is outside the domain (the Python layer words the error).
std::optional<std::tuple<double, double, double, std::vector<double>>> gradient1(double u, double rho,
                                                                                 const GradientLaw& law) {
    if (!finite_non_negative(u) || !finite_non_negative(rho)) return std::nullopt;
    const std::size_t nb = law.g.basis_size();
    double a, du, drho;
    std::vector<double> db(nb), dlaw(law.map.params);
    const char* failure = einstein_gradients(law.g, {&u, 1}, rho, GradientOut{{&a, 1}, {&du, 1}, {&drho, 1}, db});
    if (failure) throw std::runtime_error(failure);
    law.map.apply(db.data(), dlaw.data());
    return std::tuple{a, du, drho, std::move(dlaw)};
}

Invalid magnification_gradient(const In& u, const In& rho, const GradientLaw& law, Out& a, Out& du, Out& drho,
                               Out& dlaw) {
    return without_forced_unwind([&] {
        return gradient_spans(view(u), view(rho), law.g, law.map,
                              GradientOut{view(a), view(du), view(drho), view(dlaw)});
    });
}

// The light curve and its Jacobian: J (t's length × (4 + parameters),
// point-major) = ∂A/∂(t0, u0, tE, rho, θ_j), through u = √(u0² + τ²),
// τ = (t − t0)/tE: ∂u/∂t0 = −τ/(u tE), ∂u/∂u0 = u0/u, ∂u/∂tE = −τ²/(u tE)
// (0 at u = 0, where ∂A/∂u = 0, and where the factor is 0).
Invalid light_curve_jacobian_spans(const In& t_in, double t0, double u0, double tE, double rho, const LawGradient& g,
                                   const ParameterMap& map, Out& a_arr, Out& j_arr) {
    const std::span<const double> t = view(t_in);
    const std::span<double> a = view(a_arr), J = view(j_arr);
    const std::size_t nb = g.basis_size(), width = 4 + map.params;
    if (a.size() != t.size() || J.size() != t.size() * width)
        throw std::invalid_argument("t and the outputs: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (const auto i = first_invalid(t, finite)) return std::pair{std::string("t"), *i};
        std::vector<double> u, du, drho, db;
        completed = run_in_chunks(t.size(), std::max<std::size_t>(1, first_chunk(g.law()) / 2), checkpoint, failure,
                                  [&](std::size_t b, std::size_t e) {
                                      const std::size_t n = e - b;
                                      u.resize(n), du.resize(n), drho.resize(n), db.resize(n * nb);
                                      for (std::size_t i = b; i < e; ++i) u[i - b] = trajectory(t[i], t0, u0, tE);
                                      const char* f = einstein_gradients(g, u, rho, GradientOut{a.subspan(b, n), du, drho, db});
                                      if (f) return f;
                                      for (std::size_t i = 0; i < n; ++i) {
                                          const double tau = (t[b + i] - t0) / tE;
                                          double* row = J.data() + (b + i) * width;
                                          const double k = u[i] > 0.0 ? du[i] / u[i] : 0.0;
                                          // A factor of 0 gives 0 even where dA/du diverges
                                          // (on the limb: ln|u − ρ| against u − ρ ∝ the factor²).
                                          row[0] = tau == 0.0 ? 0.0 : -(k * tau) / tE;
                                          row[1] = u0 == 0.0 ? 0.0 : k * u0;
                                          row[2] = tau == 0.0 ? 0.0 : -(k * (tau * tau)) / tE;
                                          row[3] = drho[i];
                                          map.apply(db.data() + i * nb, row + 4);
                                      }
                                      return static_cast<const char*>(nullptr);
                                  });
    }
    finish(completed, failure);
    return std::nullopt;
}

Invalid light_curve_jacobian(const In& t, double t0, double u0, double tE, double rho, const GradientLaw& law,
                             Out& a, Out& J) {
    return without_forced_unwind([&] { return light_curve_jacobian_spans(t, t0, u0, tE, rho, law.g, law.map, a, J); });
}

// The centroid shift δ and A at u[i] (rho of one element or u's length).
Invalid centroid_spans(std::span<const double> u, std::span<const double> rho, const LawGradient& g,
                       std::span<double> a, std::span<double> delta) {
    if (a.size() != u.size() || delta.size() != u.size() || (rho.size() != 1 && rho.size() != u.size()))
        throw std::invalid_argument("u, rho and the outputs: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (Invalid bad = invalid_u_rho(u, rho)) return bad;
        completed = run_in_chunks(u.size(), std::max<std::size_t>(1, first_chunk(g.law()) / 2), checkpoint, failure,
                                  [&](std::size_t b, std::size_t e) {
                                      return for_each_rho_run(b, e, rho, [&](std::size_t i, std::size_t j, double r) {
                                          return einstein_centroids(g, u.subspan(i, j - i), r, a.subspan(i, j - i),
                                                                    delta.subspan(i, j - i));
                                      });
                                  });
    }
    finish(completed, failure);
    return std::nullopt;
}

Invalid centroid_shift(const In& u, const In& rho, const GradientLaw& law, Out& a, Out& delta) {
    return without_forced_unwind([&] { return centroid_spans(view(u), view(rho), law.g, view(a), view(delta)); });
}

Invalid centroid_gradient(const In& u, const In& rho, const GradientLaw& law, Out& a, Out& delta, Out& du, Out& drho,
                          Out& dlaw) {
    return without_forced_unwind([&] {
        return gradient_spans(view(u), view(rho), law.g, law.map,
                              CentroidGradientOut{view(a), view(delta), view(du), view(drho), view(dlaw)});
    });
}

// One point, with the GIL held: (δ, dδ/du, dδ/drho, [dδ/dθ_j]); None when u
// or rho is outside the domain.
std::optional<std::tuple<double, double, double, std::vector<double>>> centroid_gradient1(double u, double rho,
                                                                                          const GradientLaw& law) {
    if (!finite_non_negative(u) || !finite_non_negative(rho)) return std::nullopt;
    const std::size_t nb = law.g.basis_size();
    double a, delta, du, drho;
    std::vector<double> db(nb), dlaw(law.map.params);
    const char* failure = einstein_centroid_gradients(
        law.g, {&u, 1}, rho, CentroidGradientOut{{&a, 1}, {&delta, 1}, {&du, 1}, {&drho, 1}, db});
    if (failure) throw std::runtime_error(failure);
    law.map.apply(db.data(), dlaw.data());
    return std::tuple{delta, du, drho, std::move(dlaw)};
}

// One point, with the GIL held: (A, δ); None when u or rho is outside the domain.
std::optional<std::pair<double, double>> centroid1(double u, double rho, const GradientLaw& law) {
    if (!finite_non_negative(u) || !finite_non_negative(rho)) return std::nullopt;
    double a, delta;
    if (const char* failure = einstein_centroids(law.g, {&u, 1}, rho, {&a, 1}, {&delta, 1}))
        throw std::runtime_error(failure);
    return std::pair{a, delta};
}

// A and the centroid shift's components along the trajectory: with
// τ = (t − t0)/tE and u = √(u0² + τ²), dx = δ τ/u (the direction of
// increasing τ) and dy = δ u0/u (0 at u = 0, where δ = 0).
Invalid astrometric_light_curve_spans(const In& t_in, double t0, double u0, double tE, double rho,
                                      const LawGradient& g, Out& a_arr, Out& dx_arr, Out& dy_arr) {
    const std::span<const double> t = view(t_in);
    const std::span<double> a = view(a_arr), dx = view(dx_arr), dy = view(dy_arr);
    if (a.size() != t.size() || dx.size() != t.size() || dy.size() != t.size())
        throw std::invalid_argument("t and the outputs: lengths do not match");
    const char* failure = nullptr;
    bool completed;
    {
        SignalCheckpoint checkpoint;
        if (const auto i = first_invalid(t, finite)) return std::pair{std::string("t"), *i};
        std::vector<double> u;
        completed = run_in_chunks(t.size(), std::max<std::size_t>(1, first_chunk(g.law()) / 2), checkpoint, failure,
                                  [&](std::size_t b, std::size_t e) {
                                      const std::size_t n = e - b;
                                      u.resize(n);
                                      for (std::size_t i = b; i < e; ++i) u[i - b] = trajectory(t[i], t0, u0, tE);
                                      const std::span<double> delta = dx.subspan(b, n);
                                      if (const char* f = einstein_centroids(g, u, rho, a.subspan(b, n), delta))
                                          return f;
                                      for (std::size_t i = 0; i < n; ++i) {
                                          const double tau = (t[b + i] - t0) / tE;
                                          const double d = delta[i], k = u[i] > 0.0 ? d / u[i] : 0.0;
                                          dx[b + i] = k * tau;
                                          dy[b + i] = k * u0;
                                      }
                                      return static_cast<const char*>(nullptr);
                                  });
    }
    finish(completed, failure);
    return std::nullopt;
}

Invalid astrometric_light_curve(const In& t, double t0, double u0, double tE, double rho, const GradientLaw& law,
                                Out& a, Out& dx, Out& dy) {
    return without_forced_unwind(
        [&] { return astrometric_light_curve_spans(t, t0, u0, tE, rho, law.g, a, dx, dy); });
}

}  // namespace
}  // namespace kalvorin::fspl

NB_MODULE(_core, m) {
    using namespace kalvorin;
    // Module-level law objects of the Python layer (the default law) may
    // outlive the module at interpreter exit; that is no leak.
    nb::set_leak_warnings(false);
    m.doc() = "Compiled layer of kalvorin_fspl (flat float64 arrays; use the package's functions).";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const AssertionFailure& failure) {
            PyErr_Format(PyExc_RuntimeError, "kalvorin_fspl: internal assertion failed at %s:%d: %s",
                         failure.file(), failure.line(), failure.what());
        }
    });

    nb::class_<SourceLaw>(m, "Law", "A brightness law built once for the integrations (immutable).")
        .def_static("uniform", &SourceLaw::uniform)
        .def_static("linear", &SourceLaw::linear, nb::arg("c"))
        .def_static("table", &SourceLaw::table, nb::arg("r"), nb::arg("intensity"))
        .def_static("power", &SourceLaw::power, nb::arg("c0"), nb::arg("c"), nb::arg("p"), nb::arg("f"))
        .def_prop_ro("flux", [](const SourceLaw& law) { return law.data().flux; },
                     "∫_0^1 2πr I(r) dr, I relative to the centre");

    m.def("magnification", &fspl::magnification, nb::arg("u"), nb::arg("rho"), nb::arg("law"), nb::arg("out"));
    m.def("magnification_rho", &fspl::magnification_rho, nb::arg("u"), nb::arg("rho"), nb::arg("law"),
          nb::arg("out"));
    m.def("magnification1", &fspl::magnification1, nb::arg("u"), nb::arg("rho"), nb::arg("law"));
    nb::class_<fspl::GradientLaw>(m, "Gradient", "A law's gradient set-up (built once per law; immutable).")
        .def(nb::init<const SourceLaw&, const fspl::Basis&, const std::vector<double>&, std::size_t>(),
             nb::arg("law"), nb::arg("basis"), nb::arg("G"), nb::arg("params"), nb::keep_alive<1, 2>())
        .def_prop_ro("params", [](const fspl::GradientLaw& g) { return g.map.params; });
    m.def("gradient1", &fspl::gradient1, nb::arg("u"), nb::arg("rho"), nb::arg("law"));
    m.def("magnification_gradient", &fspl::magnification_gradient, nb::arg("u"), nb::arg("rho"), nb::arg("law"),
          nb::arg("a"), nb::arg("du"), nb::arg("drho"), nb::arg("dlaw"));
    m.def("light_curve_jacobian", &fspl::light_curve_jacobian, nb::arg("t"), nb::arg("t0"), nb::arg("u0"),
          nb::arg("tE"), nb::arg("rho"), nb::arg("law"), nb::arg("a"), nb::arg("J"));
    m.def("centroid_shift", &fspl::centroid_shift, nb::arg("u"), nb::arg("rho"), nb::arg("law"), nb::arg("a"),
          nb::arg("delta"));
    m.def("centroid1", &fspl::centroid1, nb::arg("u"), nb::arg("rho"), nb::arg("law"));
    m.def("centroid_gradient", &fspl::centroid_gradient, nb::arg("u"), nb::arg("rho"), nb::arg("law"), nb::arg("a"),
          nb::arg("delta"), nb::arg("du"), nb::arg("drho"), nb::arg("dlaw"));
    m.def("centroid_gradient1", &fspl::centroid_gradient1, nb::arg("u"), nb::arg("rho"), nb::arg("law"));
    m.def("astrometric_light_curve", &fspl::astrometric_light_curve, nb::arg("t"), nb::arg("t0"), nb::arg("u0"),
          nb::arg("tE"), nb::arg("rho"), nb::arg("law"), nb::arg("a"), nb::arg("dx"), nb::arg("dy"));
    m.def("light_curve", &fspl::light_curve, nb::arg("t"), nb::arg("t0"), nb::arg("u0"), nb::arg("tE"),
          nb::arg("rho"), nb::arg("law"), nb::arg("out"));
}
