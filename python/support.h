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

// Failed overload dispatch: NotImplementedError with SWIG's message.
void raise_overload_error(const char* message);

// True for the record accessors that read a field.
constexpr bool is_getter(const char* name)
{
    std::size_t n = 0;
    while (name[n] != '\0') {
        ++n;
    }
    return n >= 4 && name[n - 4] == '_' && name[n - 3] == 'g' && name[n - 2] == 'e' &&
           name[n - 1] == 't';
}

// Moves name to the end of the module dictionary, so that the module lists
// its functions in a fixed order whatever order the interface declares them
// in. Names the module lacks are skipped.
void register_next(PyObject* module_dict, const char* name);

// Adds SWIG_PyInstanceMethod_New, the shadow-class support entry scripts of
// older module generations expect; it returns a null result.
void add_instance_method_new(PyObject* module_dict);

} // namespace kelvex::py
