// Implied total standard deviation of a finite-difference American price
// with cash dividends: safeguarded Newton steps on the engine's own vega.
//
// The search starts from Barone-Adesi-Whaley's root for the contract with
// its dividends folded into the yield (the forward as given), steers with
// cheap solves (one grid, no control variate) while the price is far from
// the target, and ends with solves of the full scheme, whose price the root
// reproduces.
#include "fd_internal.h"

#include <cmath>

namespace korvane::kernels {

namespace {

using fd::Contract;

constexpr double IV_LO = 1e-8;  // ends of the search
constexpr double IV_HI = 8.0;
constexpr int IV_MAX_STEPS = 60;
constexpr int IV_STEER_STEPS = 8;       // most cheap Newton steps
constexpr double IV_NEAR = 2e-3;        // relative price error that ends the cheap steps
constexpr double IV_PRICE_TOL = 1e-12;  // relative price error that ends the search
constexpr double IV_SIGMA_TOL = 1e-10;  // relative step that ends it
// A Newton step after a full solve below this (relative) is taken as the
// root without another solve.  The vega is the scheme's derivative on its
// grid held, within some 1e-4 of the price's own slope (the grid moves with
// sigma), so the iterate is off by about that fraction of the step: below
// 1e-10 relative.
constexpr double IV_ACCEPT_STEP = 1e-6;

// The scheme's single grid without the control variate: a tenth of the cost.
constexpr FdScheme steering(const FdScheme &s)
{
    FdScheme c = s;
    c.extrapolate = false;
    c.control = false;
    return c;
}

}  // namespace

// Newton inside a bracket [lo, hi] that every full solve narrows (price(lo)
// < target < price(hi)); a step that leaves it bisects instead.  The screens
// use bounds, not solves: the price rises with sigma from the deterministic
// value (sigma = 0) towards the spot (call) or the strike, discounted at a
// negative rate (put); a target the search cannot reach ends at an end of
// the bracket with the price still off it.
double _fd_implied_vol_c(std::int32_t flag, double price, double S, double K, double D, double F,
                         const Dividends &dividends, int *solves)
{
    int count = 0;  // finite-difference solves of the contract
    const auto done = [&](double x) {
        if (solves)
            *solves = count;
        return x;
    };
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return done(-1.0);
    // At or within IV_TOL of the exercise value on the spot: no time value.
    if (price <= intrinsic_value(flag, S, K) + IV_TOL)
        return done(0.0);
    const Contract c = fd::classify(flag, S, K, D, F, 1.0, dividends);
    if (c.kind == Contract::INVALID)
        return done(-1.0);
    const double upper = c.p.flag == CALL ? c.p.S : c.p.K * std::fmax(1.0, std::exp(-c.p.r));
    if (!(price > fd::deterministic_price(c) && price < upper))
        return done(-1.0);

    const FdScheme &full = FD_SCHEME;
    constexpr FdScheme cheap = steering(FD_SCHEME);
    double x = brentq ? _baw_implied_vol_c(flag, price, S, K, D, F) : -1.0;  // current iterate
    if (!(x > IV_LO && x < IV_HI))
        x = 0.5;
    int tridiagonal = 0;

    // Cheap steps towards the root: their prices differ from the full
    // scheme's by its discretisation error, so their bracket is not kept.
    for (int it = 0; it < IV_STEER_STEPS; ++it) {
        double vega;
        const double f = fd::evaluate(cheap, c, x, &vega, &tridiagonal) - price;
        ++count;
        if (!(std::fabs(f) > IV_NEAR * price) || !(vega > 0))
            break;
        double next = x - f / vega;
        // A step is held within a factor 2 of the iterate (the price is
        // convex in sigma far out, and Newton overshoots from the flat end).
        next = std::fmin(std::fmax(next, 0.5 * x), 2.0 * x);
        if (!(next > IV_LO && next < IV_HI))
            break;
        x = next;
    }

    double lo = IV_LO, hi = IV_HI;  // the bracket
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        double vega;
        const double f = fd::evaluate(full, c, x, &vega, &tridiagonal) - price;
        ++count;
        if (std::fabs(f) <= IV_PRICE_TOL * price)
            return done(x);
        if (f < 0)
            lo = x;
        else
            hi = x;
        double next = x - f / vega;
        if (next > lo && next < hi && std::fabs(next - x) <= IV_ACCEPT_STEP * x)
            return done(next);
        // Outside the bracket, or no slope to follow: bisect (geometrically
        // while the bracket spans orders of magnitude).
        if (!(next > lo && next < hi))
            next = hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
        if (std::fabs(next - x) <= IV_SIGMA_TOL * x || hi - lo <= 1e-15 * hi) {
            // Converged, unless pinned at an end the target lies beyond.
            if (std::fabs(f) > 1e-9 * price && (lo == IV_LO || hi == IV_HI))
                return done(-1.0);
            return done(next);
        }
        x = next;
    }
    return done(x);
}

}  // namespace korvane::kernels
