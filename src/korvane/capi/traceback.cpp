// Traceback entries for exceptions raised by compiled functions.
#include "traceback.h"

#include <frameobject.h>

namespace korvane::capi {

// The frame is built with the exception set aside.
void add_traceback(PyCodeObject *code, PyObject *globals)
{
    if (!code || !globals)
        return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
#endif
    if (!frame)
        return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace korvane::capi
