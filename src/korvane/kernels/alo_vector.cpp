// The boundary's Newton solve (alo_solve.h) for the public kernels' two
// schemes and the price on a boundary, compiled for AVX2 and AVX-512 besides the portable code and
// chosen once at run time (simd.h).  Each variant inlines the whole solve,
// so the residuals' elementwise passes over a node's points (alo_boundary.h)
// run in that instruction set's vectors.  A compiler vectorises elementwise
// work only: a sum keeps its order, nothing is contracted
// (-ffp-contract=off) and the exponential and normal tail are the kernels'
// own arithmetic, so every variant gives the same doubles.
#include "alo_solve.h"
#include "simd.h"

namespace korvane::kernels::alo_detail {

namespace {

template <int NCAP, int LCAP>
using Solve = bool (*)(const Tables &, const AloScheme &, const Span &, const Rates<double> &, Start,
                       Purpose, Workspace<NCAP, LCAP> &, int *);

template <int NCAP, int LCAP>
[[gnu::flatten]] bool solve_portable(const Tables &tb, const AloScheme &sc, const Span &sp,
                                     const Rates<double> &mv, Start start, Purpose purpose,
                                     Workspace<NCAP, LCAP> &w, int *steps)
{
    return newton_solve(tb, sc, sp, mv, start, purpose, w, steps);
}

#if defined(__GNUC__) && defined(__x86_64__)
template <int NCAP, int LCAP>
[[gnu::target("avx2"), gnu::flatten]] bool solve_avx2(const Tables &tb, const AloScheme &sc,
                                                      const Span &sp, const Rates<double> &mv,
                                                      Start start, Purpose purpose,
                                                      Workspace<NCAP, LCAP> &w, int *steps)
{
    return newton_solve(tb, sc, sp, mv, start, purpose, w, steps);
}

template <int NCAP, int LCAP>
[[gnu::target("avx512f,avx512dq,avx512vl,prefer-vector-width=512"), gnu::flatten]] bool
solve_avx512(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
             Start start, Purpose purpose, Workspace<NCAP, LCAP> &w, int *steps)
{
    return newton_solve(tb, sc, sp, mv, start, purpose, w, steps);
}
#endif

using Put = PutValue<double> (*)(const Tables &, double, double, const Rates<double> &, const double *,
                                 Purpose);

[[gnu::flatten]] PutValue<double> put_portable(const Tables &tb, double S, double K,
                                               const Rates<double> &m, const double *s, Purpose purpose)
{
    return put_at(tb, S, K, m, s, purpose);
}

#if defined(__GNUC__) && defined(__x86_64__)
[[gnu::target("avx2"), gnu::flatten]] PutValue<double> put_avx2(const Tables &tb, double S, double K,
                                                               const Rates<double> &m, const double *s,
                                                               Purpose purpose)
{
    return put_at(tb, S, K, m, s, purpose);
}

[[gnu::target("avx512f,avx512dq,avx512vl,prefer-vector-width=512"), gnu::flatten]] PutValue<double>
put_avx512(const Tables &tb, double S, double K, const Rates<double> &m, const double *s, Purpose purpose)
{
    return put_at(tb, S, K, m, s, purpose);
}
#endif

Put chosen_put()
{
#if defined(__GNUC__) && defined(__x86_64__)
    switch (simd_level()) {
    case Simd::AVX512:
        return put_avx512;
    case Simd::AVX2:
        return put_avx2;
    case Simd::SCALAR:
        break;
    }
#endif
    return put_portable;
}

template <int NCAP, int LCAP>
Solve<NCAP, LCAP> chosen()
{
#if defined(__GNUC__) && defined(__x86_64__)
    switch (simd_level()) {
    case Simd::AVX512:
        return solve_avx512<NCAP, LCAP>;
    case Simd::AVX2:
        return solve_avx2<NCAP, LCAP>;
    case Simd::SCALAR:
        break;
    }
#endif
    return solve_portable<NCAP, LCAP>;
}

}  // namespace

bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<NODES, POINTS> &w, int *steps)
{
    static const Solve<NODES, POINTS> solve = chosen<NODES, POINTS>();
    return solve(tb, sc, sp, mv, start, purpose, w, steps);
}

bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<FINE_NODES, FINE_POINTS> &w, int *steps)
{
    static const Solve<FINE_NODES, FINE_POINTS> solve = chosen<FINE_NODES, FINE_POINTS>();
    return solve(tb, sc, sp, mv, start, purpose, w, steps);
}

PutValue<double> vector_put(const Tables &tb, double S, double K, const Rates<double> &m,
                            const double *s, Purpose purpose)
{
    static const Put put = chosen_put();
    return put(tb, S, K, m, s, purpose);
}

}  // namespace korvane::kernels::alo_detail
