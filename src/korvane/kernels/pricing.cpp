// Barone-Adesi & Whaley (1987), "Efficient analytic approximation of American
// option values", J. Finance 42(2), in forward form: spot S, strike K,
// discount factor D = exp(-rT), forward F = S exp(bT), total standard
// deviation sigma = vol sqrt(T).  In that notation the paper's
// N = 2b/vol^2 and M = 2r/vol^2 become 2 ln(F/S)/sigma^2 and -2 ln(D)/sigma^2,
// and its K = 1 - exp(-rT) becomes 1 - D.
#include "kernels.h"

namespace korvane::kernels {

brentq_fn brentq = nullptr;

// Phi(x) for x <= -10 as phi(x)/|x| times the Mills-ratio series
//   1 - 1/x^2 + 3/x^4 - 15/x^6 + 105/x^8 - ...
// (Abramowitz & Stegun 26.2.12).  The series is asymptotic: its terms shrink
// while (2k-1)/x^2 < 1 and grow afterwards, so it is summed a pair of terms at
// a time and stopped at the first pair that is no smaller than the one
// before, or that no longer moves the sum.  Below -2^26 every correction is
// under an ulp and the density underflows anyway.
double _norm_cdf_tail(double x)
{
    double s = 1.0;  // partial sum of the series
    if (x >= NORM_CDF_FAR_TAIL) {
        const double x2 = x * x;
        double f = 1.0;              // size of the last term added: (n-2)!!/x^(n-1)
        int n = 3;                   // odd factor of the pair's second term
        double prev = SERIES_START;  // |pair| of the previous step
        for (;;) {
            const double t1 = (n - 2) / x2;
            const double t2 = t1 * (n / x2);
            const double pair = f * (t1 - t2);
            s = s - pair;
            f = f * t2;
            n = n + 4;
            if (!(prev > std::fabs(pair) && std::fabs(pair) >= std::fabs(s * SERIES_EPS)))
                break;
            prev = std::fabs(pair);
        }
    }
    return s * (-(INV_SQRT_2PI * std::exp(x * (x * -0.5)))) / x;
}

// Right side minus left side of the call boundary condition
//   S* - K = C_E(S*) + (1 - D (F/S) Phi(d1(S*))) S*/q2:
// positive below the critical price, negative above it.  The European price
// and the boundary term share d1 and Phi(d1).
double _call_critical_func(double x, void *params)
{
    const auto *p = static_cast<const CriticalParams *>(params);
    const double fwd = x * p->F_ratio;
    const double d1 = black_d1(fwd, p->K, p->sigma);
    double n_d1;
    const double e_x = black_from_d1(CALL, p->K, p->D, fwd, p->sigma, d1, &n_d1);
    return e_x + x * (1.0 - (p->F_ratio * p->D) * n_d1) / p->q_exp - (x - p->K);
}

// Right side minus left side of the put boundary condition
//   K - S** = P_E(S**) - (1 - D (F/S) Phi(-d1(S**))) S**/q1:
// negative below the critical price, positive above it.
double _put_critical_func(double x, void *params)
{
    const auto *p = static_cast<const CriticalParams *>(params);
    const double fwd = x * p->F_ratio;
    const double d1 = black_d1(fwd, p->K, p->sigma);
    double n_minus_d1;
    const double e_x = black_from_d1(PUT, p->K, p->D, fwd, p->sigma, d1, &n_minus_d1);
    return e_x - x * (1.0 - (p->F_ratio * p->D) * n_minus_d1) / p->q_exp - (p->K - x);
}

// S*: the root of the call condition above the strike.  A NaN fails every
// test, so it walks the whole doubling search and ends at the cap.
// *solved tells a root of the condition from an end of the search.
double _call_critical_price(CriticalParams *p, bool *solved)
{
    const double lo = p->K + 1e-10;
    *solved = false;
    // Already non-positive next to the strike: exercise at once above it.
    if (_call_critical_func(lo, p) <= 0)
        return lo;
    // Double the upper end until the condition turns negative (2K .. 2^20 K).
    double hi = 2 * p->K;
    for (int i = 0; i < 20; ++i) {
        if (_call_critical_func(hi, p) < 0) {
            zeros_full_output info;
            *solved = true;
            return brentq(_call_critical_func, lo, hi, p, PRICE_EPS, PRICE_EPS, 100, &info);
        }
        hi = hi * 2;
    }
    // No sign change up to 2^20 K: the boundary is taken as 2^21 K.
    return hi;
}

// S**: the root of the put condition in (0, K).
double _put_critical_price(CriticalParams *p, bool *solved)
{
    const double hi = p->K - 1e-10;
    *solved = false;
    // Already non-positive next to the strike: exercise at once below it.
    if (_put_critical_func(hi, p) <= 0)
        return hi;
    // Non-negative at the bottom too: no boundary above zero.
    if (_put_critical_func(1e-10, p) >= 0)
        return 1e-10;
    zeros_full_output info;
    *solved = true;
    return brentq(_put_critical_func, 1e-10, hi, p, PRICE_EPS, PRICE_EPS, 100, &info);
}

namespace {

// The Barone-Adesi-Whaley formula branch by branch, before the floor below.
double baw_formula(std::int32_t q, double S, double K, double D, double F, double sigma,
                   BawState *st)
{
    // No volatility (a NaN goes on): the undiscounted exercise value.
    if (sigma <= 0) {
        st->branch = BawState::INTRINSIC;
        return intrinsic_value(q, S, K);
    }

    const double E = _bsm_price(q, K, D, F, sigma);
    st->branch = BawState::EUROPEAN;
    st->E = E;
    // No positive rate: the formula has no premium term, and the European
    // price stands (floored at the exercise value by _baw_state).
    if (D >= 1)
        return E;

    const double g = F / S;
    // Carry at least the rate: an American call is never exercised early.
    // (Tested before the exponents, which it does not need.)
    if (q == CALL && D * g >= 1)
        return E;

    const double v = sigma * sigma;
    const double ln_g = std::log(g);
    const double N = (ln_g + ln_g) / v;
    const double M = (std::log(D) * -2.0) / v;
    const double n_minus_1 = N - 1;
    double disc = n_minus_1 * n_minus_1 + (M * 4) / (1 - D);
    if (disc < 0)
        disc = 0;
    const double root = std::sqrt(disc);
    st->g = g;
    st->N = N;
    st->M = M;

    if (q == CALL) {
        // q2, the positive root of q^2 + (N-1) q - M/(1-D) = 0.
        const double q2 = (root - n_minus_1) * 0.5;
        if (q2 <= 0)
            return E;
        CriticalParams params{K, D, g, sigma, q2};
        const double s_star = _call_critical_price(&params, &st->solved);
        st->q = q2;
        st->s_star = s_star;
        if (S >= s_star) {
            st->branch = BawState::EXERCISE;
            return S - K;
        }
        const double d1 = black_d1(g * s_star, K, sigma);
        const double A2 = (s_star / q2) * (1 - (D * g) * _norm_cdf(d1));
        st->branch = BawState::PREMIUM;
        st->A = A2;
        return E + A2 * std::pow(S / s_star, q2);
    }

    // q1, the negative root.
    const double q1 = (-n_minus_1 - root) * 0.5;
    if (q1 >= 0)
        return E;
    CriticalParams params{K, D, g, sigma, q1};
    const double s_star = _put_critical_price(&params, &st->solved);
    st->q = q1;
    st->s_star = s_star;
    if (S <= s_star) {
        st->branch = BawState::EXERCISE;
        return K - S;
    }
    const double d1 = black_d1(g * s_star, K, sigma);
    const double A1 = (-s_star / q1) * (1 - (g * D) * _norm_cdf(-d1));
    st->branch = BawState::PREMIUM;
    st->A = A1;
    return E + A1 * std::pow(S / s_star, q1);
}

}  // namespace

double _baw_state(std::int32_t q, double S, double K, double D, double F, double sigma,
                  BawState *st)
{
    const double V = baw_formula(q, S, K, D, F, sigma, st);
    // An American option is worth at least its exercise value.  The European
    // branches can fall below it: with D >= 1 a call with a yield, or a put
    // whose yield is below a negative rate, is worth exercising now.  (A NaN
    // fails the test and stays.)
    const double exercise = intrinsic_value(q, S, K);
    if (V < exercise) {
        st->branch = BawState::EXERCISE;
        return exercise;
    }
    return V;
}

double _baw_price(std::int32_t q, double S, double K, double D, double F, double sigma)
{
    BawState st;
    return _baw_state(q, S, K, D, F, sigma, &st);
}

}  // namespace korvane::kernels
