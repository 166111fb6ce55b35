// Traceback entries for exceptions raised by compiled functions.
#ifndef KORVANE_CAPI_TRACEBACK_H
#define KORVANE_CAPI_TRACEBACK_H

#include <Python.h>

namespace korvane::capi {

// Adds a frame for `code` (its name and source file) to the exception being
// raised, as the interpreter does for a Python function.
void add_traceback(PyCodeObject *code, PyObject *globals);

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_TRACEBACK_H
