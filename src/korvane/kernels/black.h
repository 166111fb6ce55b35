// European (Black) price on the forward, its partials and its inversion for
// total standard deviation, after P. Jäckel, "Let's Be Rational" (2016).
//
// Same contract as kernels.h: doubles in, doubles out, no allocation, no
// written state, no Python; the grouping of every expression is the one
// written, so the results are the same doubles at every optimisation level.
#ifndef KORVANE_KERNELS_BLACK_H
#define KORVANE_KERNELS_BLACK_H

#include <cstdint>

#include "kernels.h"

namespace korvane::kernels {

// Normalised Black call b(x, s) = e^{x/2} Phi(x/s + s/2) - e^{-x/2} Phi(x/s - s/2)
// for x = ln(F/K) <= 0 and s > 0 (out of the money), without cancellation.
double _normalised_black_otm(double x, double s);

// European price on the forward, D * Black(F, K, sigma): the out-of-the-money
// part from _normalised_black_otm, the intrinsic value added on the money
// side.  sigma <= 0: D * max(s(F - K), 0).
double _black_price(std::int32_t flag, double K, double D, double F, double sigma);

// Price and forward-form partials in closed form (fields as in Greeks):
// delta = D (F/S) s Phi(s d1), gamma = D (F/S)^2 phi(d1)/(F sigma),
// vega = D F phi(d1), dD = price/D, dF = D s Phi(s d1).  sigma <= 0: the
// partials of D max(s(F - K), 0) (zero off the money side and at the kink).
// A NaN input gives NaN in every field.
void _black_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                   Greeks *out);

// Implied total standard deviation of a European price.  NaN price, K, D or F:
// -1.0; price below D max(s(F - K), 0): -1.0; equal to it: 0.0; at or above
// D F (call) or D K (put): -1.0; otherwise sigma to machine precision.  S is
// unused (the signature matches the American solvers').
double _black_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                            double F);

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_BLACK_H
