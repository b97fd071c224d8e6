// The overloaded forms the Python module offers for a few device functions.
// Each set lists the C function first (the pointer form) and then the form
// scripts call; SWIG dispatches between them by the arguments given.
#pragma once

#include "kelvex/devices.h"

#ifdef SWIG
// The C functions themselves, spelt as the overload sets show them.
int sunbattery_request_raw(unsigned short num, unsigned short *out);
#endif
// Signed unit numbers, passed on as their 16-bit pattern.
int sunbattery_request_raw(short num, unsigned short *pRAW_data);

#ifdef SWIG
int sunbattery_request_maxraw(unsigned short num, unsigned short *out);
#endif
int sunbattery_request_maxraw(short num, unsigned short *pMAXRAW_data);

#ifdef SWIG
int sunbattery_request_reset(unsigned short num);
#endif
int sunbattery_request_reset(short num);

// The answer comes back through the first two pointers.
int cobs_single_request(char **out_buffer, int *out_length, char *z, int n);
// The request as text; the answer is appended to the result.
int cobs_single_request(char *z, int n, char **zz, int *nn);
