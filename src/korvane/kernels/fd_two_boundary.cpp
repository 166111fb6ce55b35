// Dividend-free American prices, Greeks and implied volatilities by finite
// differences on the finer two-boundary scheme, for the accurate engine
// (_alo_price) where one boundary does not describe the exercise region, a
// put with q < r < 0 or a call with r < q < 0,
// exercised inside a band of spots (Battauz, De Donno & Sbuelz 2015), and
// to the accurate engine's tolerance.  The scheme's levels are solved by
// policy iteration there (the band is no block at an end of the grid).
#include "fd_internal.h"

#include <cmath>

namespace korvane::kernels {

namespace {

using fd::Contract;

const Dividends NO_DIVIDENDS = dividends_of(nullptr, nullptr, 0);

// The scheme's price of a SOLVE contract with its unit-life partials, never
// below the exercise value (as fd::evaluate).
bool two_boundary_values(const Contract &c, int partials, fd::NodeValue *v)
{
    fd::NodeValue unused;
    int solves = 0;
    if (!fd::solve_extrapolated(FD_TWO_BOUNDARY_SCHEME, c, false, partials, v, &unused, &solves))
        return false;
    const double exercise = fd::payoff(c.p.flag, c.p.S, c.p.K);
    if (!(v->price > exercise)) {
        v->price = exercise;
        for (double &d : v->partial)
            d = 0.0;
    }
    return true;
}

}  // namespace

double _fd_two_boundary_price(std::int32_t flag, double S, double K, double D, double F,
                              double sigma)
{
    const Contract c = fd::classify(flag, S, K, D, F, sigma, NO_DIVIDENDS);
    switch (c.kind) {
    case Contract::INVALID:
        return NaN;
    case Contract::DETERMINISTIC:
        return fd::deterministic_price(c);
    case Contract::SOLVE:
        break;
    }
    fd::NodeValue v;
    return two_boundary_values(c, 0, &v) ? v.price : NaN;
}

void _fd_two_boundary_greeks(std::int32_t flag, double S, double K, double D, double F,
                             double sigma, Greeks *out)
{
    *out = {NaN, NaN, NaN, NaN, NaN, NaN};
    const Contract c = fd::classify(flag, S, K, D, F, sigma, NO_DIVIDENDS);
    if (c.kind != Contract::SOLVE) {
        // At sigma <= 0 the Greeks of the deterministic value are alo's
        // business; the price is given.
        if (c.kind == Contract::DETERMINISTIC)
            out->price = fd::deterministic_price(c);
        return;
    }
    fd::NodeValue v;
    if (!two_boundary_values(c, fd::MAX_PARTIALS, &v))
        return;
    // r = -ln D and q = r - ln(F/S) on the unit life: with S and F held, D
    // moves r and q alike; with S and D held, F moves q alone.
    const double v_r = v.partial[fd::D_R], v_q = v.partial[fd::D_Q];
    *out = {v.price, v.delta, v.gamma, v.partial[fd::D_SIGMA], -(v_r + v_q) / D, -v_q / F};
}

double _fd_two_boundary_implied_vol_c(std::int32_t flag, double price, double S, double K,
                                      double D, double F)
{
    return fd::implied_vol_search(FD_TWO_BOUNDARY_SCHEME, flag, price, S, K, D, F, NO_DIVIDENDS,
                                  nullptr);
}

}  // namespace korvane::kernels
