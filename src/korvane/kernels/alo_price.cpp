// Andersen, Lake & Offengenden (2016) American prices and Greeks in forward
// form (alo.h): the contract reduced to a put, its regime, and the boundary
// solve (alo_solve.h) where it has one.
//
// Sensitivities to r, q and vol move the boundary, and the premium integral
// is not stationary in it, so they are carried through the whole solve by
// forward-mode automatic differentiation; delta and gamma hold the boundary,
// which does not move with the spot at fixed rates.
#include "alo.h"
#include "alo_solve.h"
#include "black.h"

#include <cmath>
#include <cstdint>

namespace korvane::kernels {

namespace alo_detail {

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    Contract c{Contract::INVALID, flag == CALL, S, K, 0.0, 0.0, flag, S, K, D, F};
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma))
        return c;
    if (sigma <= 0) {
        c.kind = Contract::INTRINSIC;
        return c;
    }
    if (!(S > 0 && K > 0 && D > 0 && F > 0) || std::isinf(sigma))
        return c;
    const double r = -std::log(D);
    const double q = r - std::log(F / S);
    // Call by put-call symmetry: C(S, K, r, q) = P(K, S, q, r).
    if (c.call)
        c = Contract{Contract::INVALID, true, K, S, q, r, flag, S, K, D, F};
    else
        c.r = r, c.q = q;
    // A put's yield below minus its variance (over the unit maturity) leaves
    // the fixed point unresolved on these nodes: the sweeps wander, even on
    // the reference scheme, and prices come out wrong by up to all of their
    // time value (an at-the-money 30-year put at r = 0.01%, q = -5%, 10% vol
    // gave 0 against 3.86).  Down to q = -vol^2 they stay within some 2e-5.
    if (c.r > 0 && c.q < -(sigma * sigma))
        c.kind = Contract::DEEP_NEGATIVE_YIELD;
    else if (c.r > 0)
        c.kind = Contract::BOUNDARY;
    else if (c.q >= c.r)
        c.kind = Contract::EUROPEAN;  // r <= 0 <= ... : holding beats exercise
    else
        c.kind = Contract::DOUBLE;    // q < r <= 0: exercise only inside a band
    return c;
}

namespace {

// Price of a classified contract under the default scheme; *H receives the
// boundary (when BOUNDARY).
double price_default(const Contract &c, double sigma, double *H)
{
    switch (c.kind) {
    case Contract::INVALID:
    case Contract::DOUBLE:
    case Contract::DEEP_NEGATIVE_YIELD:
        return NaN;
    case Contract::INTRINSIC:
        return intrinsic_value(c.flag, c.S0, c.K0);
    case Contract::EUROPEAN:
        return _black_price(c.flag, c.K0, c.D0, c.F0, sigma);
    case Contract::BOUNDARY:
        break;
    }
    return solve_default<double>(c, {c.r, c.q, sigma}, Start::COLD, H, Purpose::PRICE).price;
}

}  // namespace

}  // namespace alo_detail

using namespace alo_detail;

double _alo_price_scheme(const AloScheme &scheme, std::int32_t flag, double S, double K, double D,
                         double F, double sigma)
{
    if (!fits(scheme))
        return NaN;
    const Contract c = classify(flag, S, K, D, F, sigma);
    if (c.kind != Contract::BOUNDARY) {
        double unused[1];
        return price_default(c, sigma, unused);
    }
    const Tables tb = make_tables(scheme.nodes, scheme.points, scheme.final_points);
    const Tables coarse = make_tables(scheme.coarse_nodes, scheme.coarse_points, 1);
    double H[ALO_MAX_NODES + 1];
    return solve<double, ALO_MAX_NODES, ALO_MAX_POINTS, ALO_MAX_COARSE, ALO_MAX_COARSE>(
               tb, scheme.coarse_nodes > 0 ? &coarse : nullptr, scheme, c, {c.r, c.q, sigma},
               Start::COLD, H, Purpose::PRICE)
        .price;
}

double _alo_price(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    const Contract c = classify(flag, S, K, D, F, sigma);
    double H[H_NODES + 1];
    return price_default(c, sigma, H);
}

void _alo_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 Greeks *out)
{
    const Contract c = classify(flag, S, K, D, F, sigma);
    out->gamma = out->vega = out->dD = out->dF = 0.0;
    switch (c.kind) {
    case Contract::INVALID:
    case Contract::DOUBLE:
    case Contract::DEEP_NEGATIVE_YIELD:
        out->price = out->delta = out->gamma = out->vega = out->dD = out->dF = NaN;
        return;
    case Contract::INTRINSIC:
        // The exercise value on the spot, flat beyond its kink.
        out->price = intrinsic_value(flag, S, K);
        out->delta = out->price > 0 ? (flag == CALL ? 1.0 : -1.0) : 0.0;
        return;
    case Contract::EUROPEAN:
        _black_greeks(flag, S, K, D, F, sigma, out);
        return;
    case Contract::BOUNDARY:
        break;
    }

    // The put's partials in its own r, q and vol, seeded in that order.
    using D3 = Dual<3>;
    Rates<D3> m{c.r, c.q, sigma};
    m.r.d[0] = m.q.d[1] = m.vol.d[2] = 1.0;
    D3 H[H_NODES + 1];
    const PutValue<D3> put = solve_default<D3>(c, m, Start::COLD, H, Purpose::GREEKS);

    double dr = put.price.d[0], dq = put.price.d[1];  // dV/dr, dV/dq of the contract
    out->price = put.price.v;
    if (c.call) {
        // C(S, K, r, q) = P(K, S, q, r); P is homogeneous of degree one in its
        // spot and strike, so dC/dS = dP/dK' = (P - K dP/dS')/S and
        // d2C/dS2 = (K/S)^2 d2P/dS'2.
        dr = put.price.d[1];
        dq = put.price.d[0];
        out->delta = (put.price.v - K * put.delta) / S;
        out->gamma = (K / S) * (K / S) * put.gamma;
    } else {
        out->delta = put.delta;
        out->gamma = put.gamma;
    }
    // r = -ln D and q = -ln D - ln(F/S).
    out->vega = put.price.d[2];
    out->dD = -(dr + dq) / D;
    out->dF = -dq / F;
}

}  // namespace korvane::kernels
