// SciPy's compiled brentq, from the module's exported C function table.
#include "brentq.h"

#include "ref.h"

namespace korvane::capi {

int fetch_brentq(kernels::brentq_fn *out)
{
    Ref module(PyImport_ImportModule(BRENTQ_MODULE));
    if (!module)
        return -1;
    Ref table(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table)
        return -1;
    Ref capsule(PyMapping_GetItemString(table.get(), "brentq"));
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                         BRENTQ_MODULE, "function", "brentq");
        }
        return -1;
    }
    if (!PyCapsule_IsValid(capsule.get(), BRENTQ_SIGNATURE)) {
        const char *got = Py_TYPE(capsule.get())->tp_name;
        if (PyCapsule_CheckExact(capsule.get())) {
            got = PyCapsule_GetName(capsule.get());
            if (!got)
                got = "(null)";
        }
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", BRENTQ_MODULE, "brentq", BRENTQ_SIGNATURE, got);
        return -1;
    }
    void *pointer = PyCapsule_GetPointer(capsule.get(), BRENTQ_SIGNATURE);
    if (!pointer)
        return -1;
    *out = reinterpret_cast<kernels::brentq_fn>(pointer);
    return 0;
}

}  // namespace korvane::capi
