#include "support.h"

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace kelvex::py {

Conv text_arg(PyObject* o, const char** p, Py_ssize_t* n)
{
    if (PyBytes_Check(o)) {
        char* data = nullptr;
        if (PyBytes_AsStringAndSize(o, &data, n) < 0) {
            PyErr_Clear();
            return Conv::type_error;
        }
        *p = data;
        return Conv::ok;
    }
    if (PyUnicode_Check(o)) {
        // Lone surrogates have no UTF-8 form.
        const char* data = PyUnicode_AsUTF8AndSize(o, n);
        if (data == nullptr) {
            PyErr_Clear();
            return Conv::type_error;
        }
        *p = data;
        return Conv::ok;
    }
    return Conv::type_error;
}

Conv bytes_arg(PyObject* o, const char** p, Py_ssize_t* n)
{
    if (!PyUnicode_Check(o)) {
        return text_arg(o, p, n);
    }
    // A str whose characters all fit a byte is stored one byte each: that
    // storage is the byte string, already zero-terminated.
    if (PyUnicode_READY(o) != 0) {
        PyErr_Clear();
        return Conv::type_error;
    }
    if (PyUnicode_KIND(o) != PyUnicode_1BYTE_KIND) {
        return Conv::type_error;
    }
    *p = static_cast<const char*>(PyUnicode_DATA(o));
    *n = PyUnicode_GET_LENGTH(o);
    return Conv::ok;
}

Conv char_arg(PyObject* o, unsigned char* out)
{
    if (o == Py_None) {
        *out = 0;
        return Conv::ok;
    }
    if (PyLong_Check(o)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (overflow != 0 || v < 0 || v > 255) {
            return Conv::overflow;
        }
        *out = static_cast<unsigned char>(v);
        return Conv::ok;
    }
    const char* p = nullptr;
    Py_ssize_t n = 0;
    if (text_arg(o, &p, &n) != Conv::ok || n > 1) {
        return Conv::type_error;
    }
    *out = n == 0 ? 0 : static_cast<unsigned char>(p[0]);
    return Conv::ok;
}

char* text_copy(PyObject* o, Conv* conv)
{
    *conv = Conv::ok;
    if (o == Py_None) {
        return nullptr;
    }
    const char* p = nullptr;
    Py_ssize_t n = 0;
    *conv = text_arg(o, &p, &n);
    if (*conv != Conv::ok) {
        return nullptr;
    }
    char* copy = strdup(p);
    if (copy == nullptr) {
        *conv = Conv::type_error;
        PyErr_NoMemory();
    }
    return copy;
}

PyObject* bytes_until_zero(const unsigned char* p, std::size_t max)
{
    const void* end = std::memchr(p, 0, max);
    const std::size_t n = end == nullptr ? max : static_cast<const unsigned char*>(end) - p;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n));
}

PyObject* answer_bytes(const void* p, long n)
{
    return PyBytes_FromStringAndSize(static_cast<const char*>(p), n < 0 ? 0 : n);
}

long whole_degrees(double angle)
{
    // Out-of-range values would make the conversion undefined.
    if (!std::isfinite(angle) || std::fabs(angle) > 1e15) {
        return 0;
    }
    return static_cast<long>(angle);
}

namespace {

void flush_stream(PyObject* stream)
{
    if (stream == nullptr || stream == Py_None) {
        return;
    }
    // Made once: the flushes come with every call that can print.
    static PyObject* const flush = PyUnicode_InternFromString("flush");
    PyObject* r = flush == nullptr ? nullptr : PyObject_CallMethodNoArgs(stream, flush);
    if (r == nullptr) {
        // A stream that cannot be flushed (closed, broken pipe) reports it
        // when the script next writes to it; the device call goes on.
        PyErr_Clear();
    }
    Py_XDECREF(r);
}

}  // namespace

void flush_python_streams()
{
    // An exception already set belongs to the caller's conversion code.
    if (PyErr_Occurred() != nullptr) {
        return;
    }
    PyObject* seen[4] = {};
    const char* names[] = {"stdout", "stderr", "__stdout__", "__stderr__"};
    for (std::size_t i = 0; i < 4; ++i) {
        // Borrowed references; a script may have replaced either stream.
        PyObject* stream = PySys_GetObject(names[i]);
        bool again = false;
        for (std::size_t j = 0; j < i; ++j) {
            again = again || seen[j] == stream;
        }
        seen[i] = stream;
        if (!again) {
            flush_stream(stream);
        }
    }
}

void flush_c_streams()
{
    fflush(stdout);
    fflush(stderr);
}

void raise_overload_error(const char* message)
{
    PyErr_Clear();
    PyErr_SetString(PyExc_NotImplementedError, message);
}

void register_next(PyObject* module_dict, const char* name)
{
    PyObject* value = PyDict_GetItemString(module_dict, name);
    if (value == nullptr) {
        return;
    }
    Py_INCREF(value);
    PyDict_DelItemString(module_dict, name);
    PyDict_SetItemString(module_dict, name, value);
    Py_DECREF(value);
}

namespace {

PyObject* instance_method_new(PyObject*, PyObject*)
{
    return nullptr;
}

PyMethodDef instance_method_new_def = {"SWIG_PyInstanceMethod_New", instance_method_new, METH_O,
                                       nullptr};

} // namespace

void add_instance_method_new(PyObject* module_dict)
{
    PyObject* function = PyCFunction_New(&instance_method_new_def, nullptr);
    if (function != nullptr) {
        PyDict_SetItemString(module_dict, instance_method_new_def.ml_name, function);
        Py_DECREF(function);
    }
}

} // namespace kelvex::py
