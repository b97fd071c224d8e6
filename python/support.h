// Conversions and module plumbing shared by the wrapper's typemaps. Every
// function here runs with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace kelvex::py {

enum class Conv { ok, type_error, overflow };

// A text argument: bytes as they are (zero bytes included) or str encoded as
// UTF-8. *p points into the object, which keeps it alive; nothing is copied.
// None and every other type are refused.
Conv text_arg(PyObject* o, const char** p, Py_ssize_t* n);

// Bytes for the bus or an instrument: bytes as they are, str one byte per
// character (0 to 255, as the byte strings of older scripts were); a
// character above 255 is a type error. *p points into the object, which
// keeps it alive and zero-terminated; nothing is copied.
Conv bytes_arg(PyObject* o, const char** p, Py_ssize_t* n);

// A one-byte argument: bytes or str of length 1, empty bytes/str or None (0),
// or an int from 0 to 255.
Conv char_arg(PyObject* o, unsigned char* out);

// A heap copy of the text of o up to its first zero byte, or null for None;
// *conv reports a refused type. The library releases such strings with free().
char* text_copy(PyObject* o, Conv* conv);

// Bytes of a buffer the library produced, up to its first zero byte and never
// beyond max.
PyObject* bytes_until_zero(const unsigned char* p, std::size_t max);

// Bytes of an answer buffer of n bytes; a negative count gives no bytes.
PyObject* answer_bytes(const void* p, long n);

// An angle in degrees as a whole number, truncated toward zero.
long whole_degrees(double angle);

// Python keeps its standard streams buffered while the library writes to the
// process's own descriptors (stdio, perror, the tools it runs) and may end
// the process with exit(). Flushing Python's streams before a call and the
// C streams after it keeps the two in order and loses nothing at an exit.
void flush_python_streams();
void flush_c_streams();

// Calls that only read or set memory and never print: they skip the flushes.
constexpr bool starts_with(const char* name, const char* prefix)
{
    while (*prefix != '\0') {
        if (*name++ != *prefix++) {
            return false;
        }
    }
    return true;
}
constexpr bool ends_with(const char* name, const char* suffix)
{
    std::size_t n = 0;
    std::size_t m = 0;
    while (name[n] != '\0') {
        ++n;
    }
    while (suffix[m] != '\0') {
        ++m;
    }
    if (m > n) {
        return false;
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (name[n - m + i] != suffix[i]) {
            return false;
        }
    }
    return true;
}
constexpr bool stays_quiet(const char* name)
{
    return starts_with(name, "Global_") || starts_with(name, "battery_") ||
           ends_with(name, "_Global") || ends_with(name, "_get_state") ||
           starts_with(name, "sunsensors_angle");
}

// Failed overload dispatch: NotImplementedError with SWIG's message.
void raise_overload_error(const char* message);

// True for the record accessors that read a field.
constexpr bool is_getter(const char* name)
{
    return ends_with(name, "_get");
}

// Moves name to the end of the module dictionary, so that the module lists
// its functions in a fixed order whatever order the interface declares them
// in. Names the module lacks are skipped.
void register_next(PyObject* module_dict, const char* name);

// Adds SWIG_PyInstanceMethod_New, the shadow-class support entry scripts of
// older module generations expect; it returns a null result.
void add_instance_method_new(PyObject* module_dict);

} // namespace kelvex::py
