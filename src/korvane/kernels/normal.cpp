// The normal distribution for every engine: Cody's erfcx, and the density,
// the distribution function and an approximate inverse built on it.
#include "normal.h"

#include <cmath>
#include <limits>

namespace korvane::kernels {

namespace {

constexpr double INV_SQRT_PI = 0.5641895835477563;  // 1/sqrt(pi)

// ---------------------------------------------------------------------------
// Cody's erfcx.  Coefficients of CALERF (Cody 1969, revised 1990).

constexpr double CODY_A[] = {3.1611237438705656, 113.864154151050156, 377.485237685302021,
                             3209.37758913846947, 0.185777706184603153};
constexpr double CODY_B[] = {23.6012909523441209, 244.024637934444173, 1282.61652607737228,
                             2844.23683343917062};
constexpr double CODY_C[] = {0.564188496988670089, 8.88314979438837594, 66.1191906371416295,
                             298.635138197400131,  881.95222124176909,  1712.04761263407058,
                             2051.07837782607147,  1230.33935479799725, 2.15311535474403846e-8};
constexpr double CODY_D[] = {15.7449261107098347, 117.693950891312499, 537.181101862009858,
                             1621.38957456669019, 3290.79923573345963, 4362.61909014324716,
                             3439.36767414372164, 1230.33935480374942};
constexpr double CODY_P[] = {0.305326634961232344, 0.360344899949804439, 0.125781726111229246,
                             0.0160837851487422766, 6.58749161529837803e-4, 0.0163153871373020978};
constexpr double CODY_Q[] = {2.56852019228982242, 1.87295284992346725, 0.527905102951428412,
                             0.0605183413124413191, 0.00233520497626869185};
constexpr double CODY_MID = 4.0;         // up to: erfc form; beyond: asymptotic form
constexpr double CODY_HUGE = 6.71e7;     // beyond: 1/(x sqrt pi) to the last bit
constexpr double CODY_NEG_MAX = -26.628; // below: 2 exp(x^2) overflows

// erfcx(y) for 0.46875 < y <= 4.
double cody_erfcx_mid(double y)
{
    double num = CODY_C[8] * y;
    double den = y;
    for (int i = 0; i < 7; ++i) {
        num = (num + CODY_C[i]) * y;
        den = (den + CODY_D[i]) * y;
    }
    return (num + CODY_C[7]) / (den + CODY_D[7]);
}

// erfcx(y) for y > 4: (1/sqrt(pi) - z R(z))/y with z = 1/y^2.
double cody_erfcx_large(double y)
{
    if (y >= CODY_HUGE)
        return INV_SQRT_PI / y;
    const double z = 1 / (y * y);
    double num = CODY_P[5] * z;
    double den = z;
    for (int i = 0; i < 4; ++i) {
        num = (num + CODY_P[i]) * z;
        den = (den + CODY_Q[i]) * z;
    }
    const double r = z * (num + CODY_P[4]) / (den + CODY_Q[4]);
    return (INV_SQRT_PI - r) / y;
}

// exp(x^2); past |x| = 2 with x split as x0 + (x - x0), x0 a multiple of
// 1/16, so the large part of the exponent is exact (Cody's device).
constexpr double EXP_SQUARE_SPLIT = 2.0;

double exp_square(double x)
{
    if (std::fabs(x) <= EXP_SQUARE_SPLIT)
        return std::exp(x * x);
    const double x0 = std::trunc(x * 16) / 16;
    const double del = (x - x0) * (x + x0);
    return std::exp(x0 * x0) * std::exp(del);
}

// Acklam's coefficients: the central rational function in (p - 1/2) and the
// tails' in sqrt(-2 ln p).
constexpr double ACKLAM_A[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                               -2.759285104469687e+02, 1.383577518672690e+02,
                               -3.066479806614716e+01, 2.506628277459239e+00};
constexpr double ACKLAM_B[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                               -1.556989798598866e+02, 6.680131188771972e+01,
                               -1.328068155288572e+01};
constexpr double ACKLAM_C[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                               -2.400758277161838e+00, -2.549732539343734e+00,
                               4.374664141464968e+00,  2.938163982698783e+00};
constexpr double ACKLAM_D[] = {7.784695709041462e-03, 3.224671290700398e-01,
                               2.445134137142996e+00, 3.754408661907416e+00};
constexpr double ACKLAM_LOW = 0.02425;  // below (and above 1 - it): tail form

double inverse_norm_cdf_tail(double p)
{
    const double q = std::sqrt(-2 * std::log(p));
    return (((((ACKLAM_C[0] * q + ACKLAM_C[1]) * q + ACKLAM_C[2]) * q + ACKLAM_C[3]) * q +
             ACKLAM_C[4]) * q + ACKLAM_C[5]) /
           ((((ACKLAM_D[0] * q + ACKLAM_D[1]) * q + ACKLAM_D[2]) * q + ACKLAM_D[3]) * q + 1);
}

}  // namespace

double cody_erf_small(double x)
{
    const double y = x * x;
    double num = CODY_A[4] * y;  // numerator of the rational function, by Horner
    double den = y;              // its denominator
    for (int i = 0; i < 3; ++i) {
        num = (num + CODY_A[i]) * y;
        den = (den + CODY_B[i]) * y;
    }
    return x * (num + CODY_A[3]) / (den + CODY_B[3]);
}

double _erfcx(double x)
{
    const double y = std::fabs(x);
    if (y <= CODY_SMALL)
        return exp_square(x) * (1 - cody_erf_small(x));
    const double r = y <= CODY_MID ? cody_erfcx_mid(y) : cody_erfcx_large(y);
    if (x > 0)
        return r;
    // erfcx(-y) = 2 exp(y^2) - erfcx(y).
    if (x < CODY_NEG_MAX)
        return std::numeric_limits<double>::infinity();
    return 2 * exp_square(y) - r;
}

double norm_pdf(double z) { return INV_SQRT_2PI * std::exp(-0.5 * (z * z)); }

double norm_cdf(double z)
{
    if (z <= 0)
        return 0.5 * (_erfcx(-(z * INV_SQRT2)) * std::exp(-0.5 * (z * z)));
    return 1 - 0.5 * (_erfcx(z * INV_SQRT2) * std::exp(-0.5 * (z * z)));
}

double inverse_norm_cdf(double p)
{
    if (p < ACKLAM_LOW)
        return inverse_norm_cdf_tail(p);
    if (p > 1 - ACKLAM_LOW)
        return -inverse_norm_cdf_tail(1 - p);
    const double q = p - 0.5;
    const double r = q * q;
    return (((((ACKLAM_A[0] * r + ACKLAM_A[1]) * r + ACKLAM_A[2]) * r + ACKLAM_A[3]) * r +
             ACKLAM_A[4]) * r + ACKLAM_A[5]) * q /
           (((((ACKLAM_B[0] * r + ACKLAM_B[1]) * r + ACKLAM_B[2]) * r + ACKLAM_B[3]) * r +
             ACKLAM_B[4]) * r + 1);
}

}  // namespace korvane::kernels
