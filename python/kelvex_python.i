/* Python conversions of the kelvex interface.
 *
 * Inputs are keyed to the types and parameter names of the public headers:
 * a unit number or value is converted as a Python short whatever its C
 * width, bytes come and go as Python bytes. Outputs of the device operations
 * are keyed to the kelvex_out_ types their rows give them and are appended
 * to the result list in parameter order; a new operation whose outputs use
 * those types needs nothing here. */

%include <stdint.i>

%{
#include "support.h"
%}

%fragment("kelvex_conv", "header") %{
static int kelvex_conv_code(kelvex::py::Conv c)
{
    return c == kelvex::py::Conv::ok ? SWIG_OK
           : c == kelvex::py::Conv::overflow ? SWIG_OverflowError : SWIG_TypeError;
}
%}

%define %kelvex_arg_fail(CODE, TYPE_TEXT)
SWIG_exception_fail(SWIG_ArgError(CODE), "in method '" "$symname" "', argument " "$argnum" " of type '" TYPE_TEXT "'")
%enddef

/* ---- Numbers: short ------------------------------------------------------
 * Unit numbers and values travel as 16-bit patterns: -1 reaches the library
 * as 65535, out of every family's range. */
%typemap(in, fragment=SWIG_AsVal_frag(short)) uint16_t (short v, int res), const uint16_t (short v, int res),
                                              int16_t (short v, int res), short (short v, int res) {
  res = SWIG_AsVal_short($input, &v);
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "short");
  }
  $1 = ($1_ltype)v;
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_INT16, fragment=SWIG_AsVal_frag(short))
    uint16_t, const uint16_t, int16_t, short {
  $1 = SWIG_IsOK(SWIG_AsVal_short($input, NULL));
}

/* ---- Numbers: unsigned short (ports, unsigned overloads) ---------------- */
%typemap(in, fragment=SWIG_AsVal_frag(unsigned short)) uint16_t port (unsigned short v, int res),
                                                       unsigned short (unsigned short v, int res) {
  res = SWIG_AsVal_unsigned_SS_short($input, &v);
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "unsigned short");
  }
  $1 = ($1_ltype)v;
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_UINT16, fragment=SWIG_AsVal_frag(unsigned short))
    uint16_t port, unsigned short {
  $1 = SWIG_IsOK(SWIG_AsVal_unsigned_SS_short($input, NULL));
}

/* ---- One byte: arm positions, calibration modes ------------------------- */
%typemap(in, fragment="kelvex_conv") uint8_t (unsigned char v, int res) {
  res = kelvex_conv_code(kelvex::py::char_arg($input, &v));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char");
  }
  $1 = v;
}

/* ---- Text ----------------------------------------------------------------
 * bytes as they are or str as UTF-8, handed over without a copy. None would
 * reach code that reads through the pointer, so it is refused. */
%typemap(in, fragment="kelvex_conv") char * (const char *p = 0, Py_ssize_t n = 0, int res),
                                     const char * (const char *p = 0, Py_ssize_t n = 0, int res) {
  res = kelvex_conv_code(kelvex::py::text_arg($input, &p, &n));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char *");
  }
  $1 = ($1_ltype)p;
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_STRING) char *, const char * {
  $1 = PyBytes_Check($input) || PyUnicode_Check($input);
}
%typemap(freearg) char *, const char * "";

/* ---- Bytes for the bus and the instruments -------------------------------
 * A str goes one byte per character, as the byte strings of older scripts
 * did; UTF-8 would put two bytes on the line for every character above 127.
 * Characters above 255 have no byte and are refused. */
%typemap(in, fragment="kelvex_conv") char *args (const char *p = 0, Py_ssize_t n = 0, int res) {
  res = kelvex_conv_code(kelvex::py::bytes_arg($input, &p, &n));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char *");
  }
  $1 = ($1_ltype)p;
}

/* With the byte count: raw requests and instrument measurements. */
%typemap(in, fragment="kelvex_conv") (const uint8_t *z, int n) (const char *p = 0, Py_ssize_t len = 0, int res),
                                     (char *z, int n) (const char *p = 0, Py_ssize_t len = 0, int res),
                                     (char *buf, int len) (const char *p = 0, Py_ssize_t len = 0, int res) {
  res = kelvex_conv_code(kelvex::py::bytes_arg($input, &p, &len));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char *");
  }
  if (len > INT_MAX) {
    SWIG_exception_fail(SWIG_OverflowError, "$symname: request longer than 2147483647 bytes");
  }
  $1 = ($1_ltype)p;
  $2 = (int)len;
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_STRING) (char *z, int n) {
  $1 = PyBytes_Check($input) || PyUnicode_Check($input);
}

/* The transceiver counts its data in 16 bits; a longer text would silently
 * lose its length modulo 65536. */
%typemap(in, fragment="kelvex_conv") (const uint8_t *data, uint16_t len) (const char *p = 0, Py_ssize_t n = 0, int res) {
  res = kelvex_conv_code(kelvex::py::bytes_arg($input, &p, &n));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char *");
  }
  if (n > 65535) {
    SWIG_exception_fail(SWIG_ValueError, "$symname: data longer than 65535 bytes");
  }
  $1 = ($1_ltype)p;
  $2 = ($2_ltype)n;
}

/* ---- Outputs appended to the result -------------------------------------
 * The device operations' rows (src/devices/operation_list.h) write each
 * output with the kelvex_out_ type of its conversion. */
%typemap(in, numinputs=0) kelvex_out_short * (short v = 0), kelvex_out_ushort * (unsigned short v = 0),
                          kelvex_out_byte * (unsigned char v = 0), kelvex_out_degrees * (double v = 0) {
  $1 = &v;
}
%typemap(argout) kelvex_out_short *, kelvex_out_ushort *, kelvex_out_byte * {
  $result = SWIG_AppendOutput($result, PyLong_FromLong((long)*$1));
}
%typemap(argout) kelvex_out_degrees * {
  $result = SWIG_AppendOutput($result, PyLong_FromLong(kelvex::py::whole_degrees(*$1)));
}

/* Fixed buffers, zero-filled so that only bytes the library wrote show. */
%typemap(in, numinputs=0) kelvex_out_buffer * (unsigned char buffer[32] = {0}) {
  $1 = buffer;
}
%typemap(argout) kelvex_out_buffer * {
  $result = SWIG_AppendOutput($result, PyBytes_FromStringAndSize((const char *)$1, 32));
}
%typemap(in, numinputs=0) kelvex_out_text * (char buffer[1025] = {0}) {
  $1 = buffer;
}
%typemap(argout) kelvex_out_text * {
  $1[1024] = 0;
  $result = SWIG_AppendOutput($result, kelvex::py::bytes_until_zero((const unsigned char *)$1, 1024));
}

/* Answer buffers the library allocates: copied exactly, then released. */
%typemap(in, numinputs=0) (uint8_t **zz, int *nn) (uint8_t *buffer = 0, int length = 0),
                          (char **zz, int *nn) (char *buffer = 0, int length = 0),
                          (char **pa, int *pi) (char *buffer = 0, int length = 0) {
  $1 = &buffer;
  $2 = &length;
}
%typemap(argout) (uint8_t **zz, int *nn), (char **zz, int *nn), (char **pa, int *pi) {
  if (*$1) {
    $result = SWIG_AppendOutput($result, kelvex::py::answer_bytes(*$1, *$2));
  }
}
%typemap(freearg) (uint8_t **zz, int *nn), (char **zz, int *nn), (char **pa, int *pi) {
  free(*$1);
}

/* ---- Pointer objects that the code behind writes through ---------------- */
%typemap(check) unsigned short *out, char **out_buffer, int *out_length {
  if (!$1) {
    %kelvex_arg_fail(SWIG_TypeError, "$1_type");
  }
}

/* ---- The configuration record ------------------------------------------- */
/* Pointer objects name the record by its short name. */
%init %{
  SWIGTYPE_p_Global->str = "struct Global *|Global *";
%}

/* A script's record is released once: its pointer object forgets the
 * address, so a repeated delete_Global finds null and does nothing. The
 * module's own record lives as long as the module. */
%typemap(in) struct Global *self (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, $descriptor, 0);
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "struct Global *");
  }
  if (kelvex::py::ends_with("$symname", "delete_Global")) {
    if (argp == &G) {
      SWIG_exception_fail(SWIG_ValueError, "$symname: cvar.G is the module's own record and is never released");
    }
    SWIG_ConvertPtr($input, &argp, $descriptor, SWIG_POINTER_DISOWN | SWIG_POINTER_CLEAR);
  }
  $1 = ($1_ltype)argp;
}

/* Getters read through the record; setters and delete_Global already skip a
 * null one. */
%typemap(check) struct Global *self {
  if (!$1 && kelvex::py::is_getter("$symname")) {
    %kelvex_arg_fail(SWIG_TypeError, "struct Global *");
  }
}

/* The runner releases its strings with free(); None unsets the server. */
%typemap(in, fragment="kelvex_conv") char *buzz_server (const char *p = 0, Py_ssize_t n = 0, int res) {
  res = $input == Py_None ? SWIG_OK : kelvex_conv_code(kelvex::py::text_arg($input, &p, &n));
  if (!SWIG_IsOK(res)) {
    %kelvex_arg_fail(res, "char *");
  }
  $1 = (char *)p;
}
/* arg1 is the record: a null one is left alone, as for the other fields. */
%typemap(memberin) char *buzz_server {
  if (arg1) {
    char *copy = $input ? strdup($input) : 0;
    free($1);
    $1 = copy;
  }
}
%typemap(varin, fragment="kelvex_conv") char *ftp_path {
  kelvex::py::Conv conv;
  char *copy = kelvex::py::text_copy($input, &conv);
  if (conv != kelvex::py::Conv::ok) {
    SWIG_exception_fail(kelvex_conv_code(conv), "in variable '$name' of type '$type'");
  }
  free($1);
  $1 = copy;
}

/* Assigning a record copies its log-server string, so that the two records
 * never share one string. */
%typemap(varin) struct Global G {
  void *argp = 0;
  int res = SWIG_ConvertPtr($input, &argp, $descriptor(struct Global *), 0);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in variable '$name' of type '$type'");
  }
  if (!argp) {
    SWIG_exception_fail(SWIG_ValueError, "invalid null reference in variable '$name' of type '$type'");
  }
  struct Global *from = (struct Global *)argp;
  if (from != &$1) {
    char *server = from->buzz_server ? strdup(from->buzz_server) : 0;
    if (from->buzz_server && !server) {
      SWIG_exception_fail(SWIG_MemoryError, "in variable '$name' of type '$type'");
    }
    free($1.buzz_server);
    $1 = *from;
    $1.buzz_server = server;
  }
}

/* ---- Overload dispatch ---------------------------------------------------
 * Scripts expect NotImplementedError when no form of an overloaded function
 * takes the arguments. Only the dispatchers, emitted after this point, use
 * the name. */
%header %{
#define SWIG_Python_RaiseOrModifyTypeError(message) kelvex::py::raise_overload_error(message)
%}

/* ---- Output order and exits ----------------------------------------------
 * Whatever the script printed goes out before the library's own output, and
 * the library's output before the script's next line; an exit inside the
 * library then loses nothing of either. */
%exception {
  if (!kelvex::py::stays_quiet("$symname")) {
    kelvex::py::flush_python_streams();
  }
  $action
  if (!kelvex::py::stays_quiet("$symname")) {
    kelvex::py::flush_c_streams();
  }
}
