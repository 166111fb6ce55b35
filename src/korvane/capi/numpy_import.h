// Loading NumPy's compiled interface in an extension module.
#ifndef KORVANE_CAPI_NUMPY_IMPORT_H
#define KORVANE_CAPI_NUMPY_IMPORT_H

namespace korvane::capi {

// Runs `import` (a translation unit's own _import_array or _import_umath,
// which fill that unit's NumPy API table) and turns any failure into
// ImportError "numpy._core.multiarray failed to import", with the original
// exception as its context.  0, or -1 with an exception set.
int import_numpy_api(int (*import)());

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_NUMPY_IMPORT_H
