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

// Hart's (1968) approximation 5666 of the normal tail: the numerator's and
// denominator's coefficients in |x|, highest first.
inline constexpr double HART_NUM[] = {0.0352624965998911, 0.700383064443688, 6.37396220353165,
                                      33.912866078383,    112.079291497871,  221.213596169931,
                                      220.206867912376};
inline constexpr double HART_DEN[] = {0.0883883476483184, 1.75566716318264, 16.064177579207,
                                      86.7807322029461,   296.564248779674, 637.333633378831,
                                      793.826512519948,   440.413735824752};

// Phi(x) from e = exp(-x^2/2), for callers that have it at hand (the
// fixed-point American integrals): no erfc, so no exponential of its own.
// Hart's rational approximation 5666 of Phi(-|x|) e^{x^2/2} (as in West
// 2005): within 3e-16 of Phi for |x| below 5 sqrt 2, where it was fitted,
// and beyond within 2e-7 relative to |x| = 12 (Phi below 1e-32), its
// asymptote being the Mills ratio's 1/(sqrt(2 pi) |x|).  For integrals that
// need absolute accuracy only, one formula for all x.
inline double norm_cdf_given_exp(double x, double e)
{
    const double z = x < 0 ? -x : x;
    double num = HART_NUM[0];
    for (int i = 1; i < 7; ++i)
        num = num * z + HART_NUM[i];
    double den = HART_DEN[0];
    for (int i = 1; i < 8; ++i)
        den = den * z + HART_DEN[i];
    const double tail = e * num / den;  // Phi(-|x|)
    return x > 0 ? 1 - tail : tail;
}

// Phi^{-1}(p) to ~1e-9 relative (P. J. Acklam's rational approximation):
// enough for a starting point that an iteration then polishes.
double inverse_norm_cdf(double p);

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_NORMAL_H
