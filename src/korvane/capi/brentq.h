// SciPy's compiled Brent root finder, taken from the C function table that
// scipy.optimize.cython_optimize._zeros exports.
#ifndef KORVANE_CAPI_BRENTQ_H
#define KORVANE_CAPI_BRENTQ_H

#include <Python.h>

#include "../kernels/kernels.h"

namespace korvane::capi {

inline constexpr char BRENTQ_MODULE[] = "scipy.optimize.cython_optimize._zeros";
// The capsule's name: the exact C signature Cython gives the exported function.
inline constexpr char BRENTQ_SIGNATURE[] =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, "
    "double, void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

// Stores the entry point in *out; 0, or -1 with an exception set (the
// import's and the lookup's own, or an ImportError / TypeError for a missing
// entry or another signature).
int fetch_brentq(kernels::brentq_fn *out);

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_BRENTQ_H
