// American prices, Greeks and implied total standard deviation by the
// fixed-point method of Andersen, Lake & Offengenden (2016), "High-performance
// American option pricing", J. Comput. Finance 20(1), in the forward form of
// kernels.h.
//
// The inputs read as rates over a maturity scaled to one: r = -ln D,
// q = -ln D - ln(F/S), vol = sigma, T = 1.  Like the BAW kernels these
// allocate nothing (every table is a fixed-size array on the stack), write no
// shared state and touch no Python object.
#ifndef KORVANE_ALO_H
#define KORVANE_ALO_H

#include <cstdint>

#include "kernels.h"

namespace korvane::kernels {

// How finely the exercise boundary and the integrals are resolved.
struct AloScheme {
    int nodes;          // Chebyshev intervals: the boundary is held on nodes + 1 points in sqrt(tau)
    int iterations;     // most fixed-point sweeps; the first is a partial Jacobi-Newton step
    int points;         // Gauss-Legendre points of each boundary integral
    int final_points;   // Gauss-Legendre points of the price integral
    double tolerance;   // the sweeps stop once no node's ln B moves by more than this
    int coarse_nodes;       // a first stage on this many Chebyshev intervals (0: none)
    int coarse_iterations;  // its most sweeps
    int coarse_points;      // its Gauss-Legendre points per boundary integral
};

// Largest scheme the kernels hold room for.
inline constexpr int ALO_MAX_NODES = 48;
inline constexpr int ALO_MAX_POINTS = 128;
inline constexpr int ALO_MAX_COARSE = 16;  // nodes and points of a coarse stage

// The one setting the public kernels use.
inline constexpr AloScheme ALO_SCHEME{14, 4, 10, 40, 1e-9, 9, 3, 9};

// A much finer setting, for testing the one above against.
inline constexpr AloScheme ALO_REFERENCE_SCHEME{40, 40, 96, 128, 1e-15, 0, 0, 0};

// American price by the fixed-point method of Andersen, Lake & Offengenden (2016).
// NaN where it is not handled: a put (call) whose yield (rate) is below minus
// sigma^2 while its rate (yield) is positive, and a put with q < r < 0 (call
// with r < q < 0), which has two boundaries.
double _alo_price(std::int32_t flag, double S, double K, double D, double F, double sigma);

// The same under any scheme within the maxima above (NaN beyond them); its
// tables take some 400 KB of stack at the maxima.
double _alo_price_scheme(const AloScheme &scheme, std::int32_t flag, double S, double K, double D,
                         double F, double sigma);

// Price and forward-form partials, with _baw_greeks' definitions: delta =
// dV/dS with F/S held, gamma likewise, vega = dV/dsigma, dD = dV/dD (S, F
// held), dF = dV/dF (S, D held).
void _alo_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 Greeks *out);

// 0.0 for a price without time value (price <= intrinsic_value(flag, S, K) +
// IV_TOL), -1.0 when no sigma in (1e-8, 8] reproduces it (only sigma^2 above
// minus the put's yield where that is negative, see _alo_price), else the root.
// A NaN price, S, K, D or F gives -1.0, tested first.
double _alo_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                          double F);

}  // namespace korvane::kernels

#endif  // KORVANE_ALO_H
