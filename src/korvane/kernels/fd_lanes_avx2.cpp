// Brennan & Schwartz's sweep (fd_sweep.h) on four solves at once in AVX2
// vectors, built with AVX2 code generation and called only where the CPU
// has it (fd_lanes.cpp).  It shares no code with the other translation
// units: the sweep is instantiated here on this unit's own vector type.
#include "fd_sweep.h"

#include <immintrin.h>

namespace korvane::kernels::fd {

namespace {

// The block's arrays are doubles: the vector types may alias them.
using V4 = double __attribute__((vector_size(32), may_alias));
using M4 = long long __attribute__((vector_size(32), may_alias));

struct V4Ops {
    static V4 splat(double x) { return V4{x, x, x, x}; }
    static M4 less(V4 a, V4 b) { return a < b; }
    static V4 select(M4 mask, V4 a, V4 b)
    {
        return reinterpret_cast<V4>((mask & reinterpret_cast<M4>(a)) | (~mask & reinterpret_cast<M4>(b)));
    }
    static bool any(M4 mask) { return mask[0] | mask[1] | mask[2] | mask[3]; }
};

template <int DIR>
void sweep4(int n, const double *lo, const double *di, const double *up, const double *lu,
            const double *g, double *V, double *dp, double *cp, const double *k, const double *e)
{
    const auto v = [](const double *a) { return reinterpret_cast<const V4 *>(a); };
    const auto w = [](double *a) { return reinterpret_cast<V4 *>(a); };
    sweep<V4, V4Ops, DIR, false>(n, v(lo), v(di), v(up), v(lu), v(g), w(V), w(dp), w(cp), *v(k), *v(e),
                                 nullptr, nullptr);
}

}  // namespace

void sweep_lanes_avx2(int dir, int n, const double *lo, const double *di, const double *up,
                      const double *lu, const double *g, double *V, double *dp, double *cp,
                      const double *k, const double *e)
{
    if (dir < 0)
        sweep4<-1>(n, lo, di, up, lu, g, V, dp, cp, k, e);
    else
        sweep4<1>(n, lo, di, up, lu, g, V, dp, cp, k, e);
    // Back to the SSE code around it with clean upper halves: else every
    // SSE instruction after waits on them.
    _mm256_zeroupper();
}

}  // namespace korvane::kernels::fd
