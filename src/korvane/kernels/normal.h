// The normal distribution shared by every engine: Cody's erfcx and the
// density, distribution function and approximate inverse built on it.
// (Barone-Adesi-Whaley keeps its own Phi, _norm_cdf in kernels.h, whose
// doubles are that method's.)
#ifndef KORVANE_KERNELS_NORMAL_H
#define KORVANE_KERNELS_NORMAL_H

#include "kernels.h"

namespace korvane::kernels {

// exp(x^2) erfc(x), W. J. Cody's rational approximations (Math. Comp. 23,
// 1969); finite for every x above -26.6, ~1/(x sqrt(pi)) for large x.
double _erfcx(double x);

// Where Cody forms erfcx as exp(x^2) (1 - erf x), erf by its own rational
// function, free of cancellation as x -> 0: |x| up to this.
inline constexpr double CODY_SMALL = 0.46875;

// erf(x) for |x| <= CODY_SMALL.
double cody_erf_small(double x);

// phi(z) = exp(-z^2/2)/sqrt(2 pi).
double norm_pdf(double z);

// Phi(z) = erfcx(-z/sqrt 2) exp(-z^2/2)/2, relative accuracy kept in the
// lower tail.
double norm_cdf(double z);

// Phi^{-1}(p) to ~1e-9 relative (P. J. Acklam's rational approximation):
// enough for a starting point that an iteration then polishes.
double inverse_norm_cdf(double p);

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_NORMAL_H
