// Argument parsing and conversions between Python objects and doubles.
//
// Every function that can fail returns false / nullptr with a Python
// exception set; nothing here throws except std::bad_alloc.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace kalvorin {

// Static description of one module function's parameters (all positional
// or keyword, all required).
struct FunctionDescription {
    const char* name;
    const char* const* params;
    Py_ssize_t n_params;
};

constexpr Py_ssize_t MAX_PARAMS = 5;

// Matches vectorcall arguments against the parameter list. On success
// slots[0 .. n_params) hold borrowed references; on failure a TypeError is set.
bool parse_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// Converts one argument to a double: an exact float is read directly, any
// other object goes through __float__/__index__.
bool extract_double(PyObject* obj, const char* param, double& out);

// Converts a sequence (not a str) to a vector of doubles by iteration.
bool extract_list(PyObject* obj, const char* param, std::vector<double>& out);

// New Python float / list of floats; on an interpreter failure the error is
// printed and PanicException("Python API call failed") is raised.
PyObject* float_result(double value);
PyObject* list_result(const std::vector<double>& values);

// Raises RuntimeError carrying a kernel failure message; returns nullptr.
PyObject* raise_failure(const char* message);

// Raises PanicException with the given message; returns nullptr.
PyObject* raise_panic(const std::string& message);

// The PanicException class, created on first use and kept for the process.
PyObject* panic_exception_type();

// Sets SystemError unless an exception is already pending (for C API calls
// that returned NULL); returns nullptr.
PyObject* ensure_error_set();

}  // namespace kalvorin
