// Implied total standard deviation of the fixed-point American price (alo.h):
// Newton on the engine's own vega inside a shrinking bracket.
#include "alo.h"
#include "alo_solve.h"
#include "black.h"

#include <cmath>
#include <cstdint>

namespace korvane::kernels {

namespace alo_detail {
namespace {

// The search's ends and stops.
constexpr double IV_LO = 1e-8;  // lower end of the bracket (above a put's -q, see below)
constexpr double IV_HI = 8.0;   // upper end
constexpr int IV_MAX_STEPS = 100;  // most solves; the last iterate is returned after them
// A converged solve whose price is within this of the target, relative,
// ends the search at its sigma.
constexpr double IV_PRICE_TOL = 1e-12;
// A converged step (Newton's or a bisection's) shorter than this, relative to
// sigma, ends the search at its iterate.
constexpr double IV_SIGMA_TOL = 1e-10;
// A converged Newton step shorter than this, relative, is taken as the root
// without another solve: the vega is the converged fixed point's derivative,
// so Newton converges quadratically and the iterate's error is about
// (sigma f''/2f') step^2 relative, some 1e-10 here.
constexpr double IV_ACCEPT_STEP = 1e-5;
// The relative price error from which the solves converge: farther from the
// root a step needs no converged boundary (an inexact Newton step).
constexpr double IV_NEAR = 1e-2;
// A relative step longer than this starts the next boundary cold: from the
// last one the few sweeps of a steering solve fall short.  Up to it the
// first-order prediction H + dH/dsigma step starts nearer than QD.
constexpr double IV_WARM_STEP = 0.2;
// A search stopped at an end of the bracket with its price farther than
// this from the target, relative, has no root: the target lies beyond.
constexpr double IV_END_PRICE_TOL = 1e-9;
// A bracket narrower than this, relative to its upper end, ends the search.
constexpr double IV_BRACKET_TOL = 1e-15;

// Price and vega at a trial sigma, the boundary started from H when `start`
// is WARM and left there.
double price_vega(const Contract &c, double sigma, Start start, Dual<1> *H, double *vega,
                  Purpose purpose)
{
    Rates<Dual<1>> m{c.r, c.q, sigma};
    m.vol.d[0] = 1.0;
    if (c.kind == Contract::EUROPEAN) {
        // Black's price and vega on the contract as given (black.h).
        Greeks g;
        _black_greeks(c.flag, c.S0, c.K0, c.D0, c.F0, sigma, &g);
        *vega = g.vega;
        return g.price;
    }
    const Dual<1> price = solve_default<Dual<1>>(c, m, start, H, purpose).price;
    *vega = price.d[0];
    return price.v;
}

// The put's value as sigma -> 0: the spot's forward path is certain, so it
// is the best of K e^{-r t} - S e^{-q t} over exercise times t in [0, 1]
// (and 0): at either end, or where r K e^{-r t} = q S e^{-q t}.
double zero_vol_put(const Contract &c)
{
    const auto at = [&c](double t) { return c.K * std::exp(-c.r * t) - c.S * std::exp(-c.q * t); };
    double best = std::fmax(0.0, std::fmax(at(0.0), at(1.0)));
    const double ratio = (c.r * c.K) / (c.q * c.S);
    if (c.r != c.q && ratio > 0) {
        const double t = std::log(ratio) / (c.r - c.q);
        if (t > 0 && t < 1)
            best = std::fmax(best, at(t));
    }
    return best;
}

}  // namespace
}  // namespace alo_detail

using namespace alo_detail;

// Newton on the engine's own vega inside a bracket [lo, hi] that every
// evaluation narrows (price(lo) < target < price(hi)); a step that leaves it
// bisects instead.  Each boundary solve starts from the last one's, so later
// steps take few sweeps; the converged ones run to the scheme's tolerance,
// so the root does not depend on the path.  The screens use bounds, not
// solves: the price rises with sigma from the zero-volatility value towards
// the strike (put), or the strike discounted at a negative rate (the put's,
// so the call's yield); a target the search cannot reach ends at an end of
// the bracket with the price still off it.
double _alo_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                          double F)
{
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return -1.0;
    // At or within IV_TOL of the exercise value on the spot: no time value.
    if (price <= intrinsic_value(flag, S, K) + IV_TOL)
        return 0.0;
    const Contract c = classify(flag, S, K, D, F, IV_HI);
    if (c.kind != Contract::EUROPEAN && c.kind != Contract::BOUNDARY)
        return -1.0;
    if (!(price > zero_vol_put(c) && price < c.K * std::fmax(1.0, std::exp(-c.r))))
        return -1.0;
    // Below sigma^2 = -q (a put's negative yield) the prices are not handled
    // (classify): the search stays above.
    const double lo_end = c.kind == Contract::BOUNDARY && c.q < -(IV_LO * IV_LO)
                             ? std::sqrt(-c.q)
                             : IV_LO;  // lower end of the search

    // The search's state.
    // Start from BAW's root where it has one inside the bracket.
    double x = brentq ? _baw_implied_vol_c(flag, price, S, K, D, F) : -1.0;  // current iterate
    if (!(x > lo_end && x < IV_HI))
        x = lo_end < 0.25 ? 0.5 : std::sqrt(lo_end * IV_HI);
    Dual<1> H[H_NODES + 1];     // the last boundary and its sensitivity to sigma
    double lo = lo_end, hi = IV_HI;  // the bracket: price(lo) < target < price(hi)
    Start start = Start::COLD;  // WARM once H holds a boundary to start from
    bool near = false;          // a price within IV_NEAR of the target has been seen:
                                // from then on every solve converges
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        double vega;
        const bool exact = near;  // this solve runs to the tolerance
        const double f = price_vega(c, x, start, H, &vega,
                                    exact ? Purpose::SEARCH_CONVERGE : Purpose::SEARCH_STEER) -
                         price;
        start = c.kind == Contract::BOUNDARY ? Start::WARM : Start::COLD;
        if (exact && std::fabs(f) <= IV_PRICE_TOL * price)
            return x;  // the price reproduced
        if (f < 0)
            lo = x;
        else
            hi = x;
        if (!exact && std::fabs(f) <= IV_NEAR * price) {
            // From here on the solves converge; the inexact prices' bracket
            // may exclude the root, so it starts afresh.
            near = true;
            lo = lo_end;
            hi = IV_HI;
        }
        double next = x - f / vega;
        // Newton's iterate inside the bracket after a converged solve, and a
        // step short enough that its error is second order: the root, with
        // no further solve.  (A bisection's step is no such estimate.)
        if (exact && next > lo && next < hi && std::fabs(next - x) <= IV_ACCEPT_STEP * x)
            return next;
        // Outside the bracket, or no slope to follow: bisect (geometrically
        // while the bracket spans orders of magnitude).
        if (!(next > lo && next < hi))
            next = hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
        if (exact && std::fabs(next - x) <= IV_SIGMA_TOL * x) {
            // Converged, unless pinned at an end the target lies beyond.
            if (std::fabs(f) > IV_END_PRICE_TOL * price && (lo == lo_end || hi == IV_HI))
                return -1.0;
            return next;
        }
        if (hi - lo <= IV_BRACKET_TOL * hi)
            return (lo == lo_end || hi == IV_HI) ? -1.0 : next;
        if (std::fabs(next - x) > IV_WARM_STEP * x)
            start = Start::COLD;
        // A step across r = 2 vol^2 changes the form and the nodes.
        const int nodes = default_nodes(c.r, x);  // of the boundary in H
        if (default_nodes(c.r, next) != nodes)
            start = Start::COLD;
        // The next boundary predicted to first order from this one's
        // sensitivity: H + dH/dsigma (next - x).
        for (int i = 0; i < nodes; ++i)
            H[i].v = H[i].v + H[i].d[0] * (next - x);
        x = next;
    }
    return x;
}

}  // namespace korvane::kernels
