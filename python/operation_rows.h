/* The rows of src/devices/operation_list.h as JSON objects, one after each
 * "ROW" marker, for the build's preprocessor: stub_generator.py reads them
 * to write the device part of _kelvex.pyi. Not compiled. */
#include "devices/operation_list.h"

#define KX_TEXT(...) #__VA_ARGS__
#define KX_PARAMETERS(...) KX_TEXT(__VA_ARGS__)
#define KX_ROW(name, family, op, offset, kind, bytes, python, result, params, doc)                       \
    ROW {"name": #name, "family": #family, "kind": #kind, "python": #python, "result": #result, \
         "params": KX_PARAMETERS params, "doc": doc}

KELVEX_DEVICE_OPERATIONS(KX_ROW)
