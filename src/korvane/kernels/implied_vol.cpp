// Implied total standard deviation of an American (BAW) price.
#include "kernels.h"

namespace korvane::kernels {

// American price at a trial sigma minus the target price.
double _iv_objective(double x, void *params)
{
    const auto *p = static_cast<const IvParams *>(params);
    return _baw_price(p->flag, p->S, p->K, p->D, p->F, x) - p->price;
}

// The price is increasing in sigma, from about the exercise value at sigma ->
// 0 upwards, so a target strictly inside [price(1e-8), price(hi)] has exactly
// one root there.  The screens below keep brentq to such brackets and answer
// the rest: 0.0 when the target has no time value, -1.0 when no sigma up to
// 8 reaches it.  A NaN among the inputs is screened first: it would pass both
// screens (every comparison with it is false) and brentq would report its
// sign error as 0.0, "no time value", for what is a missing quote.
double _baw_implied_vol_c(std::int32_t flag, double price, double S, double K,
                          double D, double F)
{
    // A NaN quote or contract has no solution.
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return -1.0;

    // At or within IV_TOL of the exercise value on the spot: no time value.
    if (price <= intrinsic_value(flag, S, K) + IV_TOL)
        return 0.0;

    // Upper end: double from 1 while the model price stays below the target.
    // Tries 1, 2, 4, 8 and 16; reaching 16 means even sigma = 8 fell short.
    double hi = 1.0;            // current upper end
    double price_hi;            // model price at hi
    for (;;) {
        price_hi = _baw_price(flag, S, K, D, F, hi);
        if (!(price_hi < price && hi < IV_SIGMA_HI))
            break;
        hi = hi * 2;
    }
    if (hi >= IV_SIGMA_HI)
        return -1.0;

    // Both ends on the same side of the target: below the price at 1e-8, or
    // unreachable.  A zero or NaN product goes on to the root finder.
    const double f_lo = _baw_price(flag, S, K, D, F, 1e-8) - price;
    const double f_hi = price_hi - price;
    if (f_lo * f_hi > 0)
        return -1.0;

    IvParams params{S, K, D, F, price, flag};
    zeros_full_output info;
    return brentq(_iv_objective, 1e-8, hi, &params, IV_TOL, IV_TOL, 200, &info);
}

}  // namespace korvane::kernels
