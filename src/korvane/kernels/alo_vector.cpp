// The fixed-point American kernels' hot paths in doubles compiled per vector
// instruction set (simd.h): the boundary's Newton solve for the public
// kernels' two schemes, the price on a boundary, the price with its vega, and
// the implied-vol search's steering solve and seed (alo_steer.h).
// Their loops over a node's points are elementwise passes (alo_boundary.h)
// on the kernels' own exponential and normal tail, so every variant gives
// the same doubles.
#include "alo_solve.h"
#include "alo_steer.h"
#include "simd.h"

namespace korvane::kernels::alo_detail {

bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<NODES, POINTS> &w, int *steps)
{
    return per_isa<newton_solve<NODES, POINTS>>()(tb, sc, sp, mv, start, purpose, w, steps);
}

bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<FINE_NODES, FINE_POINTS> &w, int *steps)
{
    return per_isa<newton_solve<FINE_NODES, FINE_POINTS>>()(tb, sc, sp, mv, start, purpose, w, steps);
}

PutValue<double> vector_put(const Tables &tb, double S, double K, const Rates<double> &m,
                            const double *s, Purpose purpose)
{
    return per_isa<put_at<double>>()(tb, S, K, m, s, purpose, nullptr, nullptr);
}

double boundary_price_vega(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega)
{
    return per_isa<price_vega_at>()(c, sigma, b, vega);
}

double steer_price_vega(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega)
{
    return per_isa<steer_price_vega_at>()(c, sigma, b, vega);
}

void steer_seed(const Contract &c, double sigma, Boundaries<Dual<1>> &b)
{
    per_isa<seed_from_steer>()(c, sigma, b);
}

}  // namespace korvane::kernels::alo_detail
