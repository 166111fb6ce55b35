// NumPy's compiled interface; any failure reads as one ImportError.
#include "numpy_import.h"

#include <Python.h>

namespace korvane::capi {

int import_numpy_api(int (*import)())
{
    if (import() >= 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, cause);
    PyErr_SetRaisedException(replacement);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *rtype, *rvalue, *rtb;
    PyErr_Fetch(&rtype, &rvalue, &rtb);
    PyErr_NormalizeException(&rtype, &rvalue, &rtb);
    PyException_SetContext(rvalue, value);
    PyErr_Restore(rtype, rvalue, rtb);
#endif
    return -1;
}

}  // namespace korvane::capi
