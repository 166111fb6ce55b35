// Forward estimation: the forward at which BAW implied volatilities of calls
// and puts on common strikes agree best, found by bounded Brent minimisation;
// the same on a chain with any method's implied volatility, and with the
// finite-difference engine's under a dividend schedule.
#include <cstring>
#include <iterator>

#include "fd.h"
#include "kernels.h"

namespace korvane::kernels {

// Absolute tolerance 1e-6 on the forward, entering the tolerance as tol/3.
static constexpr double ABS_TOL_THIRD = 3.333333333333333e-07;
static constexpr int MAX_ITERATIONS = 100;

namespace {

// Calls visit(call, put, strike) for each strike of a selection, in order.
template <class Visit>
void for_each_strike(const ForwardParams &p, Visit &&visit)
{
    for (std::int64_t j = 0; j < p.n_strikes; ++j)
        visit(p.calls[j], p.puts[j], p.strikes[j]);
}

double read_at(const char *first, std::ptrdiff_t step, std::int64_t j)
{
    double value;
    std::memcpy(&value, first + j * step, sizeof value);
    return value;
}

// The same for a chain: only strikes with three numbers inside the window.
template <class Visit>
void for_each_strike(const ChainParams &p, Visit &&visit)
{
    for (std::int64_t j = 0; j < p.n_strikes; ++j) {
        const double c = read_at(p.calls, p.calls_step, j);
        const double put = read_at(p.puts, p.puts_step, j);
        const double K = read_at(p.strikes, p.strikes_step, j);
        if (std::isnan(c) || std::isnan(put) || !(K >= p.lo && K <= p.hi))
            continue;
        visit(c, put, K);
    }
}

// The solver of a selection (Barone-Adesi-Whaley's) and of a chain (its own).
double solve(const ForwardParams &, std::int32_t flag, double price, double S, double K, double D,
             double F)
{
    return _baw_implied_vol_c(flag, price, S, K, D, F);
}

double solve(const ChainParams &p, std::int32_t flag, double price, double S, double K, double D,
             double F)
{
    return p.implied_vol(flag, price, S, K, D, F);
}

double solve(const FdChainParams &p, std::int32_t flag, double price, double S, double K,
             double D, double F)
{
    return _fd_implied_vol_c(flag, price, S, K, D, F, p.dividends);
}

// Mean |sigma_call - sigma_put| at trial forward F.  A strike counts when
// both solves give a positive sigma; 0.0 (no time value) and -1.0 (no
// solution) drop it, a NaN does not and makes the mean NaN.  Both solves run
// at every strike, the call first.
template <class Params>
double mismatch(double F, const Params &p)
{
    double sum = 0.0;
    std::int64_t count = 0;
    for_each_strike(p, [&](double call, double put, double K) {
        const double sc = solve(p, CALL, call, p.S, K, p.D, F);
        const double sp = solve(p, PUT, put, p.S, K, p.D, F);
        if (sc <= 0 || sp <= 0)
            return;
        sum += std::fabs(sc - sp);
        ++count;
    });
    return count > 0 ? sum / count : NO_DATA_MISMATCH;
}

template <class Params>
double search_forward(Params &p)
{
    // First guess: the mean put-call parity forward K + (C - P)/D.
    double F_init = p.S;
    double f_est_sum = 0.0;
    std::int64_t count = 0;
    for_each_strike(p, [&](double call, double put, double K) {
        f_est_sum += K + (call - put) / p.D;
        ++count;
    });
    if (count >= 1)
        F_init = f_est_sum / static_cast<double>(count);
    double best_mismatch;
    const double F = _fminbound(&p, F_init * 0.97, F_init * 1.03, &best_mismatch);
    // No strike qualified at any trial forward: there is no estimate.
    return best_mismatch == NO_DATA_MISMATCH ? NaN : F;
}

}  // namespace

double _forward_mismatch(double F, void *params)
{
    return mismatch(F, *static_cast<const ForwardParams *>(params));
}

double _chain_mismatch(double F, void *params)
{
    return mismatch(F, *static_cast<const ChainParams *>(params));
}

namespace {

double fd_chain_mismatch(double F, void *params)
{
    return mismatch(F, *static_cast<const FdChainParams *>(params));
}

}  // namespace

// Brent (1973), "Algorithms for Minimization without Derivatives", ch. 5:
// golden-section search with successive parabolic interpolation, in the
// bounded arrangement of SciPy's fminbound.
//
// Invariant: the minimum lies in [a, b]; x is the lowest value seen (the
// latest of equals), w the next lowest, v the previous w.  A parabola through
// (v, w, x) is trusted only when its step is less than half the step before
// last (so steps shrink geometrically) and lands inside (a, b); otherwise a
// golden-section step goes into the larger part of the bracket.  No trial
// comes within tol1 of x.  Ends when [a, b] is within 2 tol1 of x on both
// sides, or after 100 iterations; a NaN never stops it early.
double _bounded_brent(scalar_fn f, void *args, double lo, double hi, double *f_best)
{
    double a = lo;  // lower end of the bracket
    double b = hi;  // upper end of the bracket
    double x = lo + GOLDEN_C * (hi - lo);  // best point so far
    double fx = f(x, args);
    double w = x, fw = fx;  // second-best point
    double v = x, fv = fx;  // previous value of w
    double d = 0.0;  // last step, before the minimum-step rule
    double e = 0.0;  // step before d: the parabola must beat half of it

    for (int k = 0; k < MAX_ITERATIONS; ++k) {
        const double xm = (a + b) * 0.5;  // midpoint of the bracket
        const double tol1 = SQRT_EPS * std::fabs(x) + ABS_TOL_THIRD;
        const double tol2 = 2 * tol1;
        if (std::fabs(x - xm) <= tol2 - (b - a) / 2)
            break;

        bool golden = true;
        if (std::fabs(e) > tol1) {
            // Vertex of the parabola through (v, fv), (w, fw), (x, fx) as x + p/q.
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2 * (q - r);
            if (q > 0)
                p = -p;
            q = std::fabs(q);
            if (std::fabs(p) < std::fabs(0.5 * q * e) && p > q * (a - x) && p < q * (b - x)) {
                e = d;
                d = p / q;
                golden = false;
                // Keep the trial at least tol2 inside the bracket.
                if ((x + d) - a < tol2 || b - (x + d) < tol2)
                    d = x < xm ? tol1 : -tol1;
            }
        }
        if (golden) {
            // Golden section of the larger part of the bracket.
            e = x < xm ? b - x : a - x;
            d = GOLDEN_C * e;
        }

        // Never evaluate closer than tol1 to x; a zero step goes down.
        double u;
        if (std::fabs(d) >= tol1)
            u = x + d;
        else
            u = d > 0 ? x + tol1 : x - tol1;
        const double fu = f(u, args);

        if (fu <= fx) {
            // New best point (ties included): the bracket shrinks to x's side.
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            // Worse, or NaN: u becomes an end, and maybe w or v.
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    *f_best = fx;
    return x;
}

double _fminbound(ForwardParams *params, double lo, double hi, double *f_best)
{
    return _bounded_brent(_forward_mismatch, params, lo, hi, f_best);
}

double _fminbound(ChainParams *params, double lo, double hi, double *f_best)
{
    return _bounded_brent(_chain_mismatch, params, lo, hi, f_best);
}

double _fminbound(FdChainParams *params, double lo, double hi, double *f_best)
{
    return _bounded_brent(fd_chain_mismatch, params, lo, hi, f_best);
}

double _find_forward(ForwardParams *params)
{
    return search_forward(*params);
}

namespace {

// Selects the first window around S (ends included) that holds a usable
// strike: strike_pct, then STRIKE_WINDOWS; every strike when none does.
void select_window(ChainParams *params, double strike_pct)
{
    bool found = false;
    for (int stage = 0; stage <= static_cast<int>(std::size(STRIKE_WINDOWS)) && !found; ++stage) {
        const double pct = stage == 0 ? strike_pct : STRIKE_WINDOWS[stage - 1];
        params->lo = params->S * (1 - pct);
        params->hi = params->S * (1 + pct);
        for_each_strike(*params, [&](double, double, double) { found = true; });
    }
    if (!found) {
        params->lo = -std::numeric_limits<double>::infinity();
        params->hi = std::numeric_limits<double>::infinity();
    }
}

}  // namespace

double _find_forward_chain(ChainParams *params, double strike_pct)
{
    select_window(params, strike_pct);
    return search_forward(*params);
}

double _find_forward_chain_fd(FdChainParams *params, double strike_pct)
{
    select_window(params, strike_pct);
    return search_forward(*params);
}

}  // namespace korvane::kernels
