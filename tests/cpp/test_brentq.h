// A Brent root finder of the tests' own in the place of SciPy's, which the
// BAW kernels take at import (the same algorithm: Brent 1973, ch. 4).
#ifndef KORVANE_TEST_BRENTQ_H
#define KORVANE_TEST_BRENTQ_H

#include <cmath>

#include "kernels/kernels.h"

namespace korvane::test {

namespace k = korvane::kernels;

// Bisection, secant and inverse quadratic steps as in scipy/optimize/Zeros/brentq.c.
inline double test_brentq(k::scalar_fn f, double xpre, double xcur, void *args, double xtol,
                          double rtol, int iter, k::zeros_full_output *)
{
    double xblk = 0, fblk = 0, spre = 0, scur = 0;
    double fpre = f(xpre, args), fcur = f(xcur, args);
    if (fpre == 0)
        return xpre;
    if (fcur == 0)
        return xcur;
    if (std::signbit(fpre) == std::signbit(fcur))
        return 0.0;
    for (int i = 0; i < iter; ++i) {
        if (fpre != 0 && fcur != 0 && std::signbit(fpre) != std::signbit(fcur)) {
            xblk = xpre;
            fblk = fpre;
            spre = scur = xcur - xpre;
        }
        if (std::fabs(fblk) < std::fabs(fcur)) {
            xpre = xcur, xcur = xblk, xblk = xpre;
            fpre = fcur, fcur = fblk, fblk = fpre;
        }
        const double delta = (xtol + rtol * std::fabs(xcur)) / 2;
        const double sbis = (xblk - xcur) / 2;
        if (fcur == 0 || std::fabs(sbis) < delta)
            return xcur;
        if (std::fabs(spre) > delta && std::fabs(fcur) < std::fabs(fpre)) {
            double stry;
            if (xpre == xblk) {
                stry = -fcur * (xcur - xpre) / (fcur - fpre);
            } else {
                const double dpre = (fpre - fcur) / (xpre - xcur);
                const double dblk = (fblk - fcur) / (xblk - xcur);
                stry = -fcur * (fblk * dblk - fpre * dpre) / (dblk * dpre * (fblk - fpre));
            }
            if (2 * std::fabs(stry) < std::fmin(std::fabs(spre), 3 * std::fabs(sbis) - delta)) {
                spre = scur;
                scur = stry;
            } else {
                spre = scur = sbis;
            }
        } else {
            spre = scur = sbis;
        }
        xpre = xcur;
        fpre = fcur;
        xcur += std::fabs(scur) > delta ? scur : (sbis > 0 ? delta : -delta);
        fcur = f(xcur, args);
    }
    return xcur;
}

}  // namespace korvane::test

#endif  // KORVANE_TEST_BRENTQ_H
