// Detaching the calling thread around a ufunc loop that NumPy left attached.
#ifndef KORVANE_CAPI_DETACH_H
#define KORVANE_CAPI_DETACH_H

#include <Python.h>

namespace korvane::capi {

// NumPy detaches the thread only for loops of more than 500 elements, and a
// generalized ufunc's count is its outer elements: one chain search, or a few
// hundred accurate American solves, would hold the interpreter (or, without
// the lock, hold up a stop-the-world collection) for its whole run.  A loop
// that touches no Python object detaches itself for as long as this lives,
// when NumPy has not.
class DetachedIfAttached {
public:
    DetachedIfAttached() : state_(PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
    ~DetachedIfAttached()
    {
        if (state_)
            PyEval_RestoreThread(state_);
    }
    DetachedIfAttached(const DetachedIfAttached &) = delete;
    DetachedIfAttached &operator=(const DetachedIfAttached &) = delete;

private:
    PyThreadState *state_;  // the thread state to restore, null when NumPy detached
};

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_DETACH_H
