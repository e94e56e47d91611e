// Argument parsing and conversions at the Python boundary.
#include "lib/conversions.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/pyref.hpp"

namespace kalvorin {

namespace {

// ---------------------------------------------------------------------------
// Message helpers
// ---------------------------------------------------------------------------

std::string full_name(const FunctionDescription& fn) { return std::string(fn.name) + "()"; }

void set_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_name_list(const std::vector<const char*>& names) {
    std::string out;
    const std::size_t k = names.size();
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) {
            if (k > 2) out += ',';
            out += (i + 1 == k) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// Clears the pending exception, if any, when it is an Exception; a
// BaseException that is not (KeyboardInterrupt, SystemExit, ...) stays
// pending, as the interpreter's own conversions let it through: false then.
bool clear_unless_interrupt() {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Text of the type's __qualname__, for "'X' object cannot be converted".
// False with the exception pending when reading it raised one that is not
// an Exception.
bool type_qualname(PyObject* obj, std::string& out) {
    static PyObject* key = nullptr;  // interned once, kept for the process
    if (key == nullptr) key = PyUnicode_InternFromString("__qualname__");
    PyRef qualname = key ? PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), key)) : PyRef();
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
        if (text) {
            out.assign(text, static_cast<std::size_t>(size));
            return true;
        }
    }
    if (!clear_unless_interrupt()) return false;
    out = "<failed to extract type name>";
    return true;
}

// A conversion of parameter `param` failed with the pending exception. A
// TypeError (exactly, not a subclass) is replaced by one whose message names
// the parameter and whose __cause__ is the original's __cause__; any other
// exception type passes unchanged.
void wrap_conversion_error(const char* param) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return;
    }
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    // PyException_SetCause steals the cause; nullptr clears it.
    PyException_SetCause(replacement.get(), PyException_GetCause(owned_value.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// Float conversion without wrapping: exact float read directly, everything
// else through PyFloat_AsDouble (__float__, then __index__).
bool as_double(PyObject* obj, double& out) {
    if (Py_IS_TYPE(obj, &PyFloat_Type)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Fast path for objects exposing a one-dimensional buffer of native doubles
// (numpy float64 arrays, array.array('d'), memoryviews of them): the values
// are copied directly, exactly the doubles that iteration would produce.
// Returns no, with no exception pending, when the object does not qualify;
// failed when the probe raised an exception that is not an Exception.
enum class Buffer { read, no, failed };

Buffer read_float64_buffer(PyObject* obj, std::vector<double>& out) {
    if (!PyObject_CheckBuffer(obj)) return Buffer::no;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0)
        return clear_unless_interrupt() ? Buffer::no : Buffer::failed;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const char* format = view.format ? view.format : "B";
    if (format[0] == '@' || format[0] == '=') ++format;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    else if (format[0] == '<') ++format;
#endif
    if (view.ndim != 1 || view.itemsize != static_cast<Py_ssize_t>(sizeof(double)) || std::strcmp(format, "d") != 0)
        return Buffer::no;
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    out.resize(static_cast<std::size_t>(n));
    const char* base = static_cast<const char*>(view.buf);
    if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
        if (n > 0) std::memcpy(out.data(), base, static_cast<std::size_t>(n) * sizeof(double));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(&out[static_cast<std::size_t>(i)], base + i * stride, sizeof(double));
    }
    return Buffer::read;
}

// An exact list, read by index as its iterator reads it: the length is read
// again at every step, because converting an item that is not a float may
// run Python code that changes the list; such items are held while they are
// converted.
bool read_exact_list(PyObject* list, std::vector<double>& out) {
    out.clear();
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (Py_IS_TYPE(item, &PyFloat_Type)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        const PyRef held = PyRef::borrow(item);
        double v;
        if (!as_double(held.get(), v)) {
            out.clear();
            return false;
        }
        out.push_back(v);
    }
    return true;
}

bool as_list(PyObject* obj, std::vector<double>& out) {
    if (PyType_IsSubtype(Py_TYPE(obj), &PyUnicode_Type)) {
        set_type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (PySequence_Check(obj) == 0) {
        std::string name;
        if (!type_qualname(obj, name)) return false;
        set_type_error("'" + name + "' object cannot be converted to 'Sequence'");
        return false;
    }
    switch (read_float64_buffer(obj, out)) {
    case Buffer::read: return true;
    case Buffer::failed: return false;
    case Buffer::no: break;
    }
    if (PyList_CheckExact(obj)) return read_exact_list(obj, out);
    // The reported length only sizes the first reservation; iteration decides.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        if (!clear_unless_interrupt()) return false;
        hint = 0;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(hint));
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) {
        ensure_error_set();
        return false;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        double v;
        if (!as_double(item.get(), v)) {
            out.clear();
            return false;
        }
        out.push_back(v);
    }
    if (PyErr_Occurred()) {
        out.clear();
        return false;
    }
    return true;
}

PyObject* api_call_failed() {
    PyErr_Print();
    return raise_panic("Python API call failed");
}

}  // namespace

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

bool parse_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = fn.n_params;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) slots[i] = args[i];

    if (nargs > n) {
        set_type_error(full_name(fn) + " takes " + std::to_string(n) + " positional arguments but " +
                       std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
        return false;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) PyErr_Clear();
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; text != nullptr && i < n; ++i) {
            if (std::strlen(fn.params[i]) == static_cast<std::size_t>(size) &&
                std::memcmp(fn.params[i], text, static_cast<std::size_t>(size)) == 0) {
                match = i;
                break;
            }
        }
        if (match < 0) {
            PyRef shown = PyRef::steal(PyObject_Str(key));
            if (!shown) return false;
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name(fn).c_str(),
                         shown.get());
            return false;
        }
        if (slots[match] != nullptr) {
            set_type_error(full_name(fn) + " got multiple values for argument '" + fn.params[match] + "'");
            return false;
        }
        slots[match] = args[nargs + k];
    }

    if (nargs < n) {
        std::vector<const char*> missing;
        for (Py_ssize_t i = nargs; i < n; ++i)
            if (slots[i] == nullptr) missing.push_back(fn.params[i]);
        if (!missing.empty()) {
            set_type_error(full_name(fn) + " missing " + std::to_string(missing.size()) + " required positional " +
                           (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_name_list(missing));
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

bool extract_double(PyObject* obj, const char* param, double& out) {
    if (as_double(obj, out)) return true;
    wrap_conversion_error(param);
    return false;
}

bool extract_list(PyObject* obj, const char* param, std::vector<double>& out) {
    if (as_list(obj, out)) return true;
    wrap_conversion_error(param);
    return false;
}

PyObject* float_result(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    return result ? result : api_call_failed();
}

PyObject* list_result(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return api_call_failed();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return api_call_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

PyObject* ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
}

PyObject* raise_failure(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // kept for the life of the process
    if (type == nullptr) {
        static const char doc[] =
            "\n"
            "The exception raised when the native code of a module, called from Python, fails an\n"
            "internal assertion.\n"
            "\n"
            "Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n";
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", doc, PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyErr_Print();
            std::fputs("failed to create the PanicException type\n", stderr);
            std::abort();
        }
    }
    return type;
}

PyObject* raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
    if (!args) return nullptr;
    PyRef instance = PyRef::steal(PyObject_Call(type, args.get(), nullptr));
    if (!instance) return nullptr;
    PyErr_SetObject(type, instance.get());
    return nullptr;
}

}  // namespace kalvorin
