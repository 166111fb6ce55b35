// Implied total standard deviation of a finite-difference American price
// with cash dividends: safeguarded Newton steps on the engine's own vega,
// starting from Barone-Adesi-Whaley's root for the contract with its
// dividends folded into the yield (the forward as given).
#include "alo.h"
#include "fd_internal.h"

#include <cmath>

namespace korvane::kernels {

namespace {

using fd::Contract;

constexpr double IV_LO = 1e-8;  // ends of the search
constexpr double IV_HI = 8.0;
constexpr int IV_MAX_STEPS = 60;
constexpr double IV_PRICE_TOL = 1e-12;  // relative price error that ends a search
constexpr double IV_SIGMA_TOL = 1e-10;  // relative step that ends it
constexpr double IV_STEER_STEP = 1e-4;  // relative step that ends the steering solves
constexpr double IV_BRACKET_TOL = 1e-15;    // a bracket this narrow, relative, ends a search
constexpr double IV_END_PRICE_TOL = 1e-9;   // farther than this (relative) at an end: no root
// A step on the full scheme below this (relative) is taken as the root
// without another solve.  Its slope is the steering scheme's vega, then the
// secant through the full scheme's prices, within some 1e-3 of the full
// price's own, so the iterate is off by some 1e-9 relative: far inside the
// scheme's own error.
constexpr double IV_ACCEPT_STEP = 1e-6;

// The search: Newton-secant steps inside a bracket [lo, hi] that every
// evaluation narrows (the price increases in sigma); a step that leaves it
// bisects instead (geometrically while the bracket spans orders of
// magnitude).  The slope starts from a vega and follows the secants of the
// evaluations, so that most need no partials.
struct Search {
    double lo = IV_LO, hi = IV_HI;  // the bracket
    double slope = NaN;             // of the price in sigma
    double x_last = NaN, f_last = NaN;  // the evaluation before (secants)

    // Takes the evaluation f = price(x) - target (and its vega, when
    // known); returns the next trial, or NaN when x is the root.
    double next(double x, double f, double vega, double target)
    {
        if (vega > 0)
            slope = vega;
        else if (!std::isnan(x_last) && x != x_last && (f - f_last) / (x - x_last) > 0)
            slope = (f - f_last) / (x - x_last);
        x_last = x;
        f_last = f;
        if (std::fabs(f) <= IV_PRICE_TOL * target)
            return NaN;
        if (f < 0)
            lo = x;
        else
            hi = x;
        double step = x - f / slope;
        if (!(step > lo && step < hi))
            step = hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
        return step;
    }
    // The search cannot reach the target: pinned at an end with the price off it.
    bool pinned(double f, double target) const
    {
        return std::fabs(f) > IV_END_PRICE_TOL * target && (lo == IV_LO || hi == IV_HI);
    }
};

// The root on scheme sc (extrapolated, no control variate: its price is
// richardson(level 0, level 1)) of a contract whose price is within the
// bounds, from Barone-Adesi-Whaley's root for its forward F as given (the
// dividends folded into the yield); `count` counts the evaluations.
double search(const FdScheme &sc, const Contract &c, double price, double F, int &count)
{
    const std::int32_t flag = c.p.flag;
    double x = brentq ? _baw_implied_vol_c(flag, price, c.p.S, c.p.K, c.D, F) : -1.0;  // start
    if (!(x > IV_LO && x < IV_HI))
        x = 0.5;
    int tridiagonal = 0;
    const auto level = [&](int l, double sigma, double *vega) {
        ++count;
        return fd::evaluate_level(sc, c, sigma, l, vega, &tridiagonal);
    };
    // Steering on level 0 to a step of IV_STEER_STEP; its last trial and
    // price are kept for the full scheme's first solve.
    Search steer;
    double x0 = x, p0 = NaN;  // the last level-0 trial and price
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        double vega = NaN;
        p0 = level(0, x, it == 0 ? &vega : nullptr);
        x0 = x;
        const double next = steer.next(x, p0 - price, vega, price);
        if (std::isnan(next) || std::fabs(next - x) <= IV_STEER_STEP * x)
            break;
        if (steer.hi - steer.lo <= IV_BRACKET_TOL * steer.hi)
            break;
        x = next;
    }
    // The full scheme from there, level 0 at x0 already solved; the slope
    // carries over, then follows the full scheme's secants.
    Search full;
    full.slope = steer.slope;
    x = x0;
    double p_low = p0;  // level 0 at x
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        if (std::isnan(p_low))
            p_low = level(0, x, nullptr);
        const double f = fd::richardson(p_low, level(1, x, nullptr)) - price;
        p_low = NaN;
        const double next = full.next(x, f, NaN, price);
        if (std::isnan(next))
            return x;
        const double step = std::fabs(next - x);
        if (next > full.lo && next < full.hi && step <= IV_ACCEPT_STEP * x)
            return next;
        if (step <= IV_SIGMA_TOL * x || full.hi - full.lo <= IV_BRACKET_TOL * full.hi)
            return full.pinned(f, price) ? -1.0 : next;
        x = next;
    }
    return x;
}

}  // namespace

// The screens use bounds, not solves: the price rises with sigma from the
// deterministic value (sigma = 0) towards max(S, D F) (call) or K max(1, D)
// (put).  The root is found on the cheap
// steering scheme (level 0 of the full one) first; from there
// Newton-secant steps on the full scheme, whose root is the answer, take one
// or two solves of its level 1 (the steering scheme's bias moves the root by
// some 1e-3 relative).
namespace fd {

double implied_vol_search(const FdScheme &sc, std::int32_t flag, double price, double S, double K,
                          double D, double F, const Dividends &dividends, int *solves)
{
    int count = 0;  // evaluations of the contract, on either level
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
    const Contract c = classify(flag, S, K, D, F, 1.0, dividends);
    if (c.kind == Contract::INVALID)
        return done(-1.0);
    // Exercised now or, at a negative rate, held to expiry on the forward.
    const double upper = c.p.flag == CALL ? std::fmax(c.p.S, D * F) : c.p.K * std::fmax(1.0, D);
    if (!(price > deterministic_price(c) && price < upper))
        return done(-1.0);
    return done(search(sc, c, price, F, count));
}

}  // namespace fd

double _fd_implied_vol_c(std::int32_t flag, double price, double S, double K, double D, double F,
                         const Dividends &dividends, int *solves)
{
    // Without dividends, the accurate engine's search (the two-boundary
    // scheme's where it has two), on the price without dividends.
    const Contract c = fd::classify(flag, S, K, D, F, 1.0, dividends);
    if (c.kind != Contract::INVALID && c.divs.n == 0) {
        if (solves)
            *solves = 0;
        return _alo_implied_vol_c(flag, price, S, K, D, F);
    }
    return fd::implied_vol_search(FD_SCHEME, flag, price, S, K, D, F, dividends, solves);
}

}  // namespace korvane::kernels
