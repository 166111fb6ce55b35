// Rates read back from the forward form, for the engines that work in rate
// terms over a maturity scaled to one: D = e^{-r}, F = S e^{r - q}.  (The rate
// form's own conversion, over T years, is korvane.bsm.to_forward_form.)
#ifndef KORVANE_KERNELS_RATES_H
#define KORVANE_KERNELS_RATES_H

#include <cmath>

namespace korvane::kernels {

struct ForwardRates {
    double ln_D;  // ln D = -r
    double ln_g;  // ln(F/S) = r - q, the carry
    double r;     // the rate, -ln D
    double q;     // the yield (or borrow), r - ln(F/S)
};

inline ForwardRates forward_rates(double S, double D, double F)
{
    const double ln_D = std::log(D);
    const double ln_g = std::log(F / S);
    const double r = -ln_D;
    return {ln_D, ln_g, r, r - ln_g};
}

}  // namespace korvane::kernels

#endif  // KORVANE_KERNELS_RATES_H
