// Owned references to Python objects, for every extension module of korvane.
#ifndef KORVANE_CAPI_REF_H
#define KORVANE_CAPI_REF_H

#include <Python.h>

namespace korvane::capi {

// Owns one strong reference (or none); every early return drops it.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject *owned = nullptr) noexcept { Py_XSETREF(obj_, owned); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

// d[key] as a new reference: 1 found, 0 absent, -1 error.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **value)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    PyObject *item = PyDict_GetItemWithError(dict, key);
    *value = Py_XNewRef(item);
    return item ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_REF_H
