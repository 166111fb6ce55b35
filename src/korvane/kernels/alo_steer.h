// The implied-vol search's steering (alo_implied_vol.cpp): its price and
// vega under STEER_SCHEME, whose root the search finds first at a fraction
// of a price a solve, and the start it leaves the public schemes'
// boundaries, so that one of their solves mostly confirms that root.
// Internal to the kernels: namespace alo_detail.
#ifndef KORVANE_ALO_STEER_H
#define KORVANE_ALO_STEER_H

#include <cmath>

#include "alo_solve.h"

namespace korvane::kernels::alo_detail {

// price_vega_at under STEER_SCHEME, on b's steer boundary.
inline double steer_price_vega_at(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega)
{
    Rates<Dual<1>> m{c.r, c.q, sigma};
    m.vol.d[0] = 1.0;
    int steps;
    const Dual<1> price =
        put_value<Dual<1>, STEER_NODES, STEER_POINTS>(STEER_TABLES, STEER_SCHEME, c.S, c.K, m,
                                                       b.warm_steer ? Start::WARM : Start::COLD,
                                                       b.steer, Purpose::PRICE, &steps).price;
    b.warm_steer = !std::isnan(price.v);
    *vega = price.d[0];
    return price.v;
}

// A start for the public schemes' boundaries from the steering scheme's at
// sigma: QD+ (qd_start) on their nodes plus the steering boundary's
// distance from QD+ on its own nodes, interpolated.  QD+ is right at short
// maturities, where the boundary turns too fast in sqrt(tau) for five nodes
// to follow (their interpolant alone leaves Newton's method up to nine
// steps); the distance vanishes there and is smooth, so the start lies
// within the steering scheme's discretisation of the solve everywhere.
//
// seed_one: the start on tb's nodes from the distance's Chebyshev
// coefficients c; false where a node other than the last reaches X.
template <int NCAP>
bool seed_one(const Tables &tb, const Span &sp, const Rates<double> &m, const double *c, double *out)
{
    qd_start<NCAP>(tb, sp, m.r, m.q, m.vol, sp.gap, out);
    double xi[NCAP + 1] = {}, d[NCAP + 1];  // the nodes, the distance there
    for (int i = 0; i <= tb.n; ++i)
        xi[i] = tb.cheb[i * (tb.n + 1) + 1];
    clenshaw_row<double, NCAP + 1>(c, STEER_NODES, xi, tb.n + 1, d);
    bool clear = true;  // every node but the last below X
    for (int i = 0; i < tb.n; ++i) {
        out[i] += d[i];
        clear = clear && out[i] > 0;
    }
    out[tb.n] = 0.0;
    return clear;
}

// The boundaries the blend takes at sigma seeded, and marked warm, from b's
// steering boundary (solved or predicted at sigma); none where it holds
// none or the boundary is X itself.
inline void seed_from_steer(const Contract &c, double sigma, Boundaries<Dual<1>> &b)
{
    const Rates<double> m{c.r, c.q, sigma};
    const Span sp = make_span(m.r, m.q, m.vol);
    if (!b.warm_steer || !(sp.gap > FLAT_GAP))
        return;  // none to start from, or no solve (B = X)
    double qd[STEER_NODES + 1], d[STEER_NODES + 1], coef[STEER_NODES + 1] = {};
    qd_start<STEER_NODES>(STEER_TABLES, sp, m.r, m.q, m.vol, sp.gap, qd);
    for (int i = 0; i <= STEER_NODES; ++i)
        d[i] = b.steer[i].v - qd[i];
    d[STEER_NODES] = 0.0;
    chebyshev_coefficients(STEER_TABLES, d, coef);
    const double w = value(fine_weight(m));
    double s[FINE_NODES + 1];
    if (w < 1 && seed_one<NODES>(DEFAULT_TABLES, sp, m, coef, s)) {
        for (int i = 0; i <= NODES; ++i)
            b.coarse[i] = Dual<1>(s[i]);
        b.warm_coarse = true;
    }
    if (w > 0 && seed_one<FINE_NODES>(FINE_TABLES, sp, m, coef, s)) {
        for (int i = 0; i <= FINE_NODES; ++i)
            b.fine[i] = Dual<1>(s[i]);
        b.warm_fine = true;
    }
}

// steer_price_vega_at and seed_from_steer compiled per instruction set like
// vector_solve (alo_vector.cpp).
double steer_price_vega(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega);
void steer_seed(const Contract &c, double sigma, Boundaries<Dual<1>> &b);

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_STEER_H
