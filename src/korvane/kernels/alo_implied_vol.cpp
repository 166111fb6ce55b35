// Implied total standard deviation of the fixed-point American price (alo.h):
// Newton on the engine's own vega inside a shrinking bracket.
#include "alo.h"
#include "alo_solve.h"
#include "alo_steer.h"
#include "black.h"
#include "fd.h"

#include <cmath>
#include <cstdint>

namespace korvane::kernels {

namespace alo_detail {
namespace {

// The search's ends and stops.
constexpr double IV_LO = 1e-8;     // lower end of the bracket
constexpr double IV_HI = 16.0;     // upper end (vol 200% over 64 years)
constexpr int IV_MAX_STEPS = 100;  // most solves; the last iterate is returned after them
// A price within this of the target, relative, ends the search at its sigma.
constexpr double IV_PRICE_TOL = 1e-12;
// A step (Newton's or a bisection's) shorter than this, relative to sigma,
// ends the search at its iterate.
constexpr double IV_SIGMA_TOL = 1e-10;
// A Newton step shorter than this, relative, ends the search without
// another solve: the vega is the converged boundary's own derivative, so
// Newton's iterate is off by about (sigma f''/2f') step^2 relative, some
// 1e-10 here; the root returned is black_step's with the premium's
// curvature, which leaves only the premium's third order.
constexpr double IV_ACCEPT_STEP = 1e-5;
// The same for the steering scheme (alo_steer.h), whose root is only a
// start: taken on the premium's curvature after such a step, it is off by
// about the step's cube, within the scheme's own distance from the public
// schemes' root.
constexpr double STEER_ACCEPT_STEP = 1e-2;
// Most steering solves before the search goes on without.
constexpr int STEER_MAX_SOLVES = 12;
// A relative step up to this starts the next boundary from the first-order
// prediction s + ds/dsigma step; a longer one starts from QD.
constexpr double IV_WARM_STEP = 0.2;
// A search stopped at an end of the bracket with its price farther than
// this from the target, relative, has no root: the target lies beyond.
constexpr double IV_END_PRICE_TOL = 1e-9;
// A bracket narrower than this, relative to its upper end, ends the search.
constexpr double IV_BRACKET_TOL = 1e-15;
// The next trial's closed-form root (black_step): most Newton steps on it,
// and the relative step that ends them.
constexpr int BLACK_STEP_ITERATIONS = 8;
constexpr double BLACK_STEP_TOL = 1e-13;

// Price and vega at a trial sigma; each scheme's boundary starts from b's
// where it holds one and is left there with its sensitivity to sigma.
double price_vega(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega)
{
    if (c.kind == Contract::EUROPEAN) {
        // Black's price and vega on the contract as given (black.h).
        Greeks g;
        _black_greeks(c.flag, c.S0, c.K0, c.D0, c.F0, sigma, &g);
        *vega = g.vega;
        return g.price;
    }
    return boundary_price_vega(c, sigma, b, vega);
}

// The early-exercise premium (the price less Black's) about an evaluation
// at x: its value, slope and curvature in sigma.
struct Premium {
    double x, value, slope, curvature;
};

// The root of Black's price plus the premium p, a quadratic about p.x, at
// `target`, by Newton's method on that closed form from s.  With the
// premium linear it agrees with Newton's step on the price to first order,
// and the curvature of Black's part, most of the price's, is exact, so a
// distant start takes fewer solves.  NaN where it leaves the positive axis.
double black_step(const Contract &c, const Premium &p, double s, double target)
{
    Greeks g;
    for (int it = 0; it < BLACK_STEP_ITERATIONS; ++it) {
        _black_greeks(c.flag, c.S0, c.K0, c.D0, c.F0, s, &g);
        const double h = s - p.x;
        const double step = (g.price + p.value + h * (p.slope + 0.5 * (p.curvature * h)) - target)
                            / (g.vega + p.slope + p.curvature * h);
        s -= step;
        if (!(s > 0))
            return NaN;
        if (std::fabs(step) <= BLACK_STEP_TOL * s)
            break;
    }
    return s;
}

// The time value's power law through two evaluations, T = c (sigma - a)^p:
// its u = T/T' = (sigma - a)/p is linear in sigma (Schroeder 1870), which
// fixes p and a, then c; the trial is where T reaches the target's time
// value tau.  Near where the exercise region swallows the spot the time
// value rises from zero like such a power (p about 1.1-1.5 in the
// value-matching regime), where Black's curvature leaves the trials
// creeping down one side and the power's trial lies several times closer.
// NaN where the two do not fit one (no time value, p outside
// [POWER_P_LO, POWER_P_HI]).
constexpr double POWER_P_LO = 0.5, POWER_P_HI = 20.0;

double power_step(double x1, double t1, double v1, double x2, double t2, double v2, double tau)
{
    if (!(t1 > 0 && t2 > 0 && tau > 0 && v1 > 0 && v2 > 0))
        return NaN;
    const double u1 = t1 / v1, u2 = t2 / v2;
    const double p = (x1 - x2) / (u1 - u2);  // NaN or infinite where u1 = u2
    if (!(p >= POWER_P_LO && p <= POWER_P_HI))
        return NaN;
    const double a = x2 - p * u2;  // below x2: u2 > 0
    return a + (x2 - a) * std::pow(tau / t2, 1 / p);
}

}  // namespace

// Newton on the engine's own vega inside a bracket [lo, hi] that every
// evaluation narrows (price(lo) < target < price(hi)); a step that leaves it
// bisects instead.  The trials follow Black's curvature (black_step), from
// the third on the time value's power law where it fits (power_step); a root
// is accepted on Newton's own step and taken on the premium's curvature.
// The search first runs to its root on STEER_SCHEME (a BOUNDARY contract),
// at a fraction of a price a solve, then goes on from there on the public
// schemes, whose boundaries start from the steering one (seed_from_steer):
// mostly one solve, whose Newton step is short enough to accept.  Every
// public solve converges (the same function as _alo_price's), each started
// from the last one's boundary moved by its sensitivity to sigma, so later
// solves take a Newton step or two.  The screens use bounds, not solves: the
// price rises with sigma from the zero-volatility value towards the strike
// (put); a target the search cannot reach ends at an end of the bracket with
// the price still off it.
double implied_vol(std::int32_t flag, double price, double S, double K, double D, double F,
                   int *solves, int *steers)
{
    *solves = *steers = 0;
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return -1.0;
    // At or within IV_TOL of the exercise value on the spot: no time value.
    if (price <= intrinsic_value(flag, S, K) + IV_TOL)
        return 0.0;
    const Contract c = classify(flag, S, K, D, F, IV_HI);
    if (c.kind == Contract::TWO_BOUNDARIES)  // the price's engine, the search's (fd.h)
        return _fd_two_boundary_implied_vol_c(flag, price, S, K, D, F);
    if (c.kind != Contract::EUROPEAN && c.kind != Contract::BOUNDARY)
        return -1.0;
    double unused;
    const double floor = zero_vol_put(c.S, c.K, Rates<double>{c.r, c.q, 0.0}, &unused);
    if (!(price > floor && price < c.K * std::fmax(1.0, std::exp(-c.r))))
        return -1.0;

    // Start from Black's root of the price (Jaeckel's, a few hundred
    // nanoseconds): the early-exercise premium read as volatility puts it at
    // or above the root, about as close as BAW's search, which costs a third
    // of a price.  BAW's where Black has none (a put above D K), else 0.5.
    double x = _black_implied_vol_c(flag, price, S, K, D, F);  // current iterate
    if (!(x > IV_LO && x < IV_HI) && brentq)
        x = _baw_implied_vol_c(flag, price, S, K, D, F);
    if (!(x > IV_LO && x < IV_HI))
        x = 0.5;
    Boundaries<Dual<1>> b;           // the last boundaries and their sensitivity to sigma
    double lo = IV_LO, hi = IV_HI;   // the bracket: price(lo) < target < price(hi)
    const double exercise = intrinsic_value(flag, S, K);
    // The evaluation before: its sigma, time value, vega and premium slope.
    double last_x = NaN, last_tv = NaN, last_vega = NaN, last_slope = NaN;
    bool steering = c.kind == Contract::BOUNDARY;  // on STEER_SCHEME
    double hint = NaN;  // the premium's curvature the steering's last two evaluations left
    // Ends the steering: the search goes on at `start` on the public
    // schemes, with a bracket of their own (the steering's brackets its
    // own root), their boundaries seeded from the steering one moved there.
    // The boundaries b holds moved to sigma `to` to first order,
    // s + ds/dsigma (to - x), where the step is short enough to start from.
    const auto move_to = [&](double to) {
        if (std::fabs(to - x) > IV_WARM_STEP * x)
            b.warm_coarse = b.warm_fine = b.warm_steer = false;
        const auto predict = [&](Dual<1> *s, int n, bool warm) {
            for (int i = 0; warm && i < n; ++i) {
                const double moved = s[i].v + s[i].d[0] * (to - x);
                s[i].v = moved > 0.1 * s[i].v ? moved : 0.1 * s[i].v;  // clear of X, as in Newton
            }
        };
        predict(b.coarse, NODES, b.warm_coarse);
        predict(b.fine, FINE_NODES, b.warm_fine);
        predict(b.steer, STEER_NODES, b.warm_steer);
    };
    const auto leave_steering = [&](double start, double curvature) {
        move_to(start);
        steer_seed(c, start, b);
        steering = false;
        hint = curvature;
        lo = IV_LO, hi = IV_HI;
        last_x = last_tv = last_vega = last_slope = NaN;
        x = start;
    };
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        double vega;
        const double f = (steering ? steer_price_vega(c, x, b, &vega) : price_vega(c, x, b, &vega)) - price;
        ++*(steering ? steers : solves);
        if (!steering && std::fabs(f) <= IV_PRICE_TOL * price)
            return x;  // the price reproduced
        // A solve that fails to converge (at a sigma far below the rates'
        // scale, where the boundary hugs X) counts as below the target: the
        // price there is near its zero-volatility floor.
        if (f < 0 || std::isnan(f))
            lo = x;
        else if (f > 0)
            hi = x;
        double next = std::isnan(f) ? NaN : x - f / vega;
        Greeks g;
        _black_greeks(c.flag, c.S0, c.K0, c.D0, c.F0, x, &g);
        Premium p{x, f + price - g.price, vega - g.vega, 0.0};
        // Newton's iterate inside the bracket, and a step short enough that
        // its error is second order: the root, with no further solve, taken
        // on Black's curvature and the premium's from the slopes of the last
        // two evaluations (linear after one).
        if (next > lo && next < hi && std::fabs(next - x) <= (steering ? STEER_ACCEPT_STEP : IV_ACCEPT_STEP) * x) {
            double curvature = (p.slope - last_slope) / (x - last_x);
            curvature = std::isfinite(curvature) ? curvature : hint;
            p.curvature = std::isfinite(curvature) ? curvature : 0.0;
            double root = black_step(c, p, next, price);
            root = root > lo && root < hi ? root : next;
            if (!steering)
                return root;
            leave_steering(root, p.curvature);
            continue;
        }
        // The next trial along Black's curvature, the premium linear, where
        // that stays inside.
        if (next > lo && next < hi) {
            const double along = black_step(c, p, next, price);
            if (along > lo && along < hi)
                next = along;
        }
        // After two evaluations, the time value's power law where the
        // bracket holds its trial.
        const double tv = f + price - exercise;
        if (c.kind == Contract::BOUNDARY) {
            const double power = power_step(last_x, last_tv, last_vega, x, tv, vega, price - exercise);
            if (power > lo && power < hi)
                next = power;
        }
        last_x = x, last_tv = tv, last_vega = vega, last_slope = p.slope;
        // Outside the bracket, or no slope to follow: bisect (geometrically
        // while the bracket spans orders of magnitude).
        if (!(next > lo && next < hi))
            next = hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
        if (steering && (*steers == STEER_MAX_SOLVES || std::fabs(next - x) <= IV_SIGMA_TOL * x
                         || hi - lo <= IV_BRACKET_TOL * hi)) {
            leave_steering(next, NaN);
            continue;
        }
        if (std::fabs(next - x) <= IV_SIGMA_TOL * x) {
            // Converged, unless pinned at an end the target lies beyond.
            if (std::fabs(f) > IV_END_PRICE_TOL * price && (lo == IV_LO || hi == IV_HI))
                return -1.0;
            return next;
        }
        if (hi - lo <= IV_BRACKET_TOL * hi)
            return (lo == IV_LO || hi == IV_HI) ? -1.0 : next;
        move_to(next);
        x = next;
    }
    return x;
}

}  // namespace alo_detail

double _alo_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                          double F)
{
    int solves, steers;
    return alo_detail::implied_vol(flag, price, S, K, D, F, &solves, &steers);
}

double _alo_implied_vol_counted(std::int32_t flag, double price, double S, double K, double D,
                                double F, int *solves, int *steers)
{
    return alo_detail::implied_vol(flag, price, S, K, D, F, solves, steers);
}

}  // namespace korvane::kernels
