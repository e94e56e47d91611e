// The `kalvorin` extension module: definition, function table, entry points.
//
// Each entry point parses and converts its arguments, calls one model
// operation (which never touches Python objects) and converts the result or
// failure back. No C++ exception crosses into the interpreter: internal
// assertion failures become PanicException, allocation failures MemoryError.
// Only the forced unwind of a thread that the interpreter ends passes.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "lib/conversions.hpp"
#include "lib/interruptible.hpp"
#include "lib/models.hpp"
#include "lib/pyref.hpp"

namespace kalvorin {
namespace {

// ---------------------------------------------------------------------------
// Function descriptions
// ---------------------------------------------------------------------------

constexpr const char* LIST_PARAMS[] = {"l", "re", "rstar"};
constexpr const char* FLUX_MAP_PARAMS[] = {"l", "re", "rstar", "bl", "bf"};
constexpr const char* RING_PARAMS[] = {"l", "r", "re", "rstar"};

constexpr FunctionDescription WITT_MAO{"witt_mao_magnification", LIST_PARAMS, 3};
constexpr FunctionDescription INTEGRATED_WITT_MAO{"integrated_witt_mao_magnification", LIST_PARAMS, 3};
constexpr FunctionDescription INTEGRATED_FLUX_MAP_WITT_MAO{"integrated_flux_map_witt_mao_magnification",
                                                           FLUX_MAP_PARAMS, 5};
constexpr FunctionDescription HEYROVSKY{"heyrovsky_magnification", RING_PARAMS, 4};
constexpr FunctionDescription INTEGRATED_HEYROVSKY{"integrated_heyrovsky_magnification", LIST_PARAMS, 3};
constexpr FunctionDescription INTEGRATED_FLUX_MAP_HEYROVSKY{"integrated_flux_map_heyrovsky_magnification",
                                                            FLUX_MAP_PARAMS, 5};
constexpr FunctionDescription DISCRETE_FLUX_MAP_HEYROVSKY{"discrete_flux_map_heyrovsky_magnification",
                                                          FLUX_MAP_PARAMS, 5};

// ---------------------------------------------------------------------------
// Calls: parse, convert, compute, convert back
// ---------------------------------------------------------------------------

PyObject* finish(const ChunkedResult& result) {
    if (result.interrupted) return nullptr;  // the signal handler's exception is set
    if (result.failure != nullptr) return raise_failure(result.failure);
    return list_result(result.values);
}

using ListModel = ListResult (*)(std::vector<double>, double, double);
using TableModel = ListResult (*)(std::vector<double>, double, double, std::vector<double>, std::vector<double>);

// The integrated Witt–Mao models check the uniform disk at every separation
// before they integrate, so that a kernel failure anywhere in `l` ends the
// call before any integration. Run on one chunk after another they would
// only see the disks of their own chunk: for a list of more than one
// separation, the whole list is checked here first (a disk is evaluated only
// where it can fail, so the check costs next to nothing on physical input).
enum class Order { any, disks_first };

// Largest sizes of the chunk after the first (interruptible.hpp): about a
// millisecond of work on physical input, a few in a sanitizer build. A
// uniform disk costs 0.03-0.2 µs, an integration over the limb-darkened
// profile 0.03 µs far from the source and up to ~10 µs over it. With a table
// the cost near the source grows with its length, ~0.1 µs per table
// interval, and a sum over rings costs ~0.05 µs per ring, so the size for
// those is a budget of (separation × table point) pairs. Later chunks are
// sized from the time the previous one took.
constexpr std::size_t DISK_CHUNK = 4096;
constexpr std::size_t INTEGRATION_CHUNK = 128;
constexpr std::size_t INTEGRATION_TABLE_BUDGET = 8192;
constexpr std::size_t RING_TABLE_BUDGET = 16384;

// Outside the physical domain (l negative or NaN, re or rstar not positive
// and finite) the integrations fall back on tanh-sinh quadrature: 0.1-0.5 ms
// per separation over the built-in law, ~0.085 ms per table point with a
// table. At most this many such separations go into one chunk (a budget of
// separation × table point pairs with a table), about 2 ms of work.
constexpr std::size_t NO_LIMIT = static_cast<std::size_t>(-1);
constexpr std::size_t INTEGRATION_COSTLY = 4;
constexpr std::size_t INTEGRATION_TABLE_COSTLY = 24;

CostlyLimit costly_limit(std::size_t per_chunk, double re, double rstar) {
    CostlyLimit limit;
    limit.per_chunk = per_chunk;
    limit.all = !(re > 0.0 && re < HUGE_VAL && rstar > 0.0 && rstar < HUGE_VAL);
    return limit;
}

ChunkedResult uniform_disks(const std::vector<double>& l, double re, double rstar, SignalCheckpoint& checkpoint) {
    return compute_in_chunks(l, checkpoint, [&](std::vector<double> part) {
        return witt_mao_failure(std::move(part), re, rstar);
    }, DISK_CHUNK, false);
}

// (l, re, rstar) -> list, computed without the GIL. The converted list is
// moved into a local, released on return, before the result list is built
// (a parameter would live until the end of the caller's expression).
// A list of one separation is computed by one call of the model, as it
// comes; longer ones in chunks (interruptible.hpp).
template <ListModel Model, std::size_t first_chunk, Order order, std::size_t costly>
ChunkedResult compute_list_model(std::vector<double>&& separations, double re, double rstar) {
    std::vector<double> l = std::move(separations);
    SignalCheckpoint checkpoint;
    if (l.size() <= 1) {
        ListResult result = Model(std::move(l), re, rstar);
        return ChunkedResult{std::move(result.values), result.failure, false};
    }
    if (order == Order::disks_first) {
        ChunkedResult disks = uniform_disks(l, re, rstar, checkpoint);
        if (disks.ended()) return disks;
    }
    return compute_in_chunks(l, checkpoint, [&](std::vector<double> part) {
        return Model(std::move(part), re, rstar);
    }, first_chunk, true, costly_limit(costly, re, rstar));
}

template <ListModel Model, std::size_t first_chunk, Order order = Order::any, std::size_t costly = NO_LIMIT>
PyObject* call_list_model(PyObject* const* slots) {
    std::vector<double> l;
    double re, rstar;
    if (!extract_list(slots[0], "l", l)) return nullptr;
    if (!extract_double(slots[1], "re", re)) return nullptr;
    if (!extract_double(slots[2], "rstar", rstar)) return nullptr;
    return finish(compute_list_model<Model, first_chunk, order, costly>(std::move(l), re, rstar));
}

// (l, re, rstar, bl, bf) -> list, the same; every chunk gets its own copy of
// the table.
template <TableModel Model, std::size_t budget, Order order, std::size_t costly>
ChunkedResult compute_table_model(std::vector<double>&& separations, double re, double rstar,
                                  std::vector<double>&& bl, std::vector<double>&& bf) {
    std::vector<double> l = std::move(separations);
    SignalCheckpoint checkpoint;
    const std::size_t points = std::max<std::size_t>(1, bl.size());
    const std::size_t first_chunk = std::max<std::size_t>(1, budget / points);
    if (l.size() <= 1) {
        ListResult result = Model(std::move(l), re, rstar, std::move(bl), std::move(bf));
        return ChunkedResult{std::move(result.values), result.failure, false};
    }
    if (order == Order::disks_first) {
        // The model checks its table before anything else: a call without
        // separations does only that (and the flux of the table).
        const ListResult table = Model(std::vector<double>(), re, rstar, bl, bf);
        if (table.failed()) return ChunkedResult{{}, table.failure, false};
        ChunkedResult disks = uniform_disks(l, re, rstar, checkpoint);
        if (disks.ended()) return disks;
    }
    const std::size_t per_chunk = costly == NO_LIMIT ? NO_LIMIT : std::max<std::size_t>(1, costly / points);
    return compute_in_chunks(l, checkpoint, [&](std::vector<double> part) {
        return Model(std::move(part), re, rstar, bl, bf);
    }, first_chunk, true, costly_limit(per_chunk, re, rstar));
}

template <TableModel Model, std::size_t budget, Order order = Order::any, std::size_t costly = NO_LIMIT>
PyObject* call_table_model(PyObject* const* slots) {
    std::vector<double> l, bl, bf;
    double re, rstar;
    if (!extract_list(slots[0], "l", l)) return nullptr;
    if (!extract_double(slots[1], "re", re)) return nullptr;
    if (!extract_double(slots[2], "rstar", rstar)) return nullptr;
    if (!extract_list(slots[3], "bl", bl)) return nullptr;
    if (!extract_list(slots[4], "bf", bf)) return nullptr;
    return finish(compute_table_model<Model, budget, order, costly>(std::move(l), re, rstar, std::move(bl),
                                                                    std::move(bf)));
}

PyObject* call_heyrovsky(PyObject* const* slots) {
    double l, r, re, rstar;
    if (!extract_double(slots[0], "l", l)) return nullptr;
    if (!extract_double(slots[1], "r", r)) return nullptr;
    if (!extract_double(slots[2], "re", re)) return nullptr;
    if (!extract_double(slots[3], "rstar", rstar)) return nullptr;
    // A single ring is cheaper than releasing the GIL: keep it.
    const Result result = heyrovsky_magnification(l, r, re, rstar);
    if (result.failed()) return raise_failure(result.failure);
    return float_result(result.value);
}

// Turns an internal assertion failure into PanicException after reporting
// it on standard error. A failure while doing so cannot be reported to
// Python any more: the process aborts.
PyObject* panic_at_boundary(const char* message, const char* file, int line) noexcept {
    try {
        std::fprintf(stderr, "kalvorin: internal assertion failed at %s:%d:\n%s\n", file, line, message);
        return raise_panic(message);
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// The METH_FASTCALL | METH_KEYWORDS entry point of one module function.
// Not noexcept: a thread ended by the interpreter's finalization unwinds
// through here (interruptible.hpp).
template <const FunctionDescription& Fn, PyObject* (*Call)(PyObject* const*)>
KALVORIN_CATCHES_FORCED_UNWIND PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* slots[MAX_PARAMS];
        if (!parse_arguments(Fn, args, nargs, kwnames, slots)) return nullptr;
        return Call(slots);
    } catch (const AssertionFailure& failure) {
        return panic_at_boundary(failure.what(), failure.file(), failure.line());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        return panic_at_boundary(failure.what(), __FILE__, __LINE__);
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        return panic_at_boundary("internal error without a message", __FILE__, __LINE__);
    }
}

// ---------------------------------------------------------------------------
// Function table, in registration order. ml_doc carries only the text
// signature, from which the interpreter derives __text_signature__.
// ---------------------------------------------------------------------------

constexpr int METH_FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

#define KALVORIN_METHOD(fn, impl, signature)                                                     \
    PyMethodDef {                                                                                \
        fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)),              \
            METH_FASTCALL_KEYWORDS, signature "\n--\n\n"                                         \
    }

PyMethodDef FUNCTIONS[] = {
    KALVORIN_METHOD(WITT_MAO, (entry<WITT_MAO, call_list_model<witt_mao_magnification, DISK_CHUNK>>),
                    "witt_mao_magnification(l, re, rstar)"),
    KALVORIN_METHOD(INTEGRATED_WITT_MAO,
                    (entry<INTEGRATED_WITT_MAO,
                           call_list_model<integrated_witt_mao_magnification, INTEGRATION_CHUNK, Order::disks_first,
                                           INTEGRATION_COSTLY>>),
                    "integrated_witt_mao_magnification(l, re, rstar)"),
    KALVORIN_METHOD(INTEGRATED_FLUX_MAP_WITT_MAO,
                    (entry<INTEGRATED_FLUX_MAP_WITT_MAO,
                           call_table_model<integrated_flux_map_witt_mao_magnification, INTEGRATION_TABLE_BUDGET,
                                            Order::disks_first, INTEGRATION_TABLE_COSTLY>>),
                    "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)"),
    KALVORIN_METHOD(HEYROVSKY, (entry<HEYROVSKY, call_heyrovsky>), "heyrovsky_magnification(l, r, re, rstar)"),
    KALVORIN_METHOD(INTEGRATED_HEYROVSKY,
                    (entry<INTEGRATED_HEYROVSKY,
                           call_list_model<integrated_heyrovsky_magnification, INTEGRATION_CHUNK, Order::any, INTEGRATION_COSTLY>>),
                    "integrated_heyrovsky_magnification(l, re, rstar)"),
    KALVORIN_METHOD(INTEGRATED_FLUX_MAP_HEYROVSKY,
                    (entry<INTEGRATED_FLUX_MAP_HEYROVSKY,
                           call_table_model<integrated_flux_map_heyrovsky_magnification, INTEGRATION_TABLE_BUDGET, Order::any,
                                            INTEGRATION_TABLE_COSTLY>>),
                    "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)"),
    KALVORIN_METHOD(DISCRETE_FLUX_MAP_HEYROVSKY,
                    (entry<DISCRETE_FLUX_MAP_HEYROVSKY,
                           call_table_model<discrete_flux_map_heyrovsky_magnification, RING_TABLE_BUDGET>>),
                    "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)"),
};

// ---------------------------------------------------------------------------
// Module definition and initialisation (single phase, once per process)
// ---------------------------------------------------------------------------

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "kalvorin",
    "Finite-source point-lens microlensing magnifications, a Python module with a native C++ implementation.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The created module, one strong reference kept for the life of the process.
PyObject* module_cell = nullptr;

PyObject* interned(PyObject*& cell, const char* text) {
    if (cell == nullptr) {
        cell = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
        if (cell == nullptr) return nullptr;
        PyUnicode_InternInPlace(&cell);
    }
    return cell;
}
PyObject* all_name = nullptr;
PyObject* name_name = nullptr;

// The module's __all__ list, created empty when the attribute is missing.
PyRef all_list(PyObject* module) {
    PyObject* key = interned(all_name, "__all__");
    if (!key) return PyRef();
    PyRef all = PyRef::steal(PyObject_GetAttr(module, key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, key, all.get()) < 0) return PyRef();
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "'__all__' of the module is not a list");
        return PyRef();
    }
    return all;
}

bool register_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    module_name = PyRef();
    if (!function) return false;
    PyObject* key = interned(name_name, "__name__");
    if (!key) return false;
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), key));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
        return false;
    }
    PyRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* initialise() {
    if (module_cell != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
                        "interpreter process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create2(&MODULE_DEF, 1013));
    if (!module) return ensure_error_set();
    for (PyMethodDef& def : FUNCTIONS)
        if (!register_function(module.get(), &def)) return ensure_error_set();
    module_cell = module.release();
    Py_INCREF(module_cell);
    return module_cell;
}

}  // namespace
}  // namespace kalvorin

PyMODINIT_FUNC PyInit_kalvorin(void) {
    try {
        return kalvorin::initialise();
    } catch (const kalvorin::AssertionFailure& failure) {
        return kalvorin::panic_at_boundary(failure.what(), failure.file(), failure.line());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return kalvorin::panic_at_boundary("internal error during initialisation", __FILE__, __LINE__);
    }
}
