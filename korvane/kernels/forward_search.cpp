// Forward estimation: the forward at which BAW implied volatilities of calls
// and puts on common strikes agree best, found by bounded Brent minimisation.
#include "kernels.h"

namespace korvane::kernels {

// Absolute tolerance 1e-6 on the forward, entering the tolerance as tol/3.
static constexpr double ABS_TOL_THIRD = 3.333333333333333e-07;
static constexpr int MAX_ITERATIONS = 100;

// Mean |sigma_call - sigma_put| at trial forward F.  A strike counts when
// both solves give a positive sigma; 0.0 (no time value) and -1.0 (no
// solution) drop it, a NaN does not and makes the mean NaN.  Both solves run
// at every strike, the call first.
double _forward_mismatch(double F, void *params)
{
    const auto *p = static_cast<const ForwardParams *>(params);
    if (p->n_strikes < 1)
        return NO_DATA_MISMATCH;
    double sum = 0.0;
    std::int64_t count = 0;
    for (std::int64_t j = 0; j < p->n_strikes; ++j) {
        const double sc = _baw_implied_vol_c(CALL, p->calls[j], p->S, p->strikes[j], p->D, F);
        const double sp = _baw_implied_vol_c(PUT, p->puts[j], p->S, p->strikes[j], p->D, F);
        if (sc <= 0 || sp <= 0)
            continue;
        sum += std::fabs(sc - sp);
        ++count;
    }
    return count > 0 ? sum / count : NO_DATA_MISMATCH;
}

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

}  // namespace korvane::kernels
