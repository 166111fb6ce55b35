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
    int iterations;     // most Newton steps on the collocation equations
    int points;         // Gauss-Legendre points of each boundary integral
    int final_points;   // Gauss-Legendre points of the price integral
    double tolerance;   // Newton stops once no node's ln B moves by more than this times
                        // the boundary's scale (its largest ln(X/B), at most 1): the
                        // iterate after such a step is within about its square
};

// Largest scheme the kernels hold room for.
inline constexpr int ALO_MAX_NODES = 48;
inline constexpr int ALO_MAX_POINTS = 128;

// The one setting the public kernels use: within 2e-7 of the price or 1e-9
// S on contracts to a few years (benchmarks/bench_regimes.py for the rest).
inline constexpr AloScheme ALO_SCHEME{14, 16, 12, 64, 1e-4};

// A much finer setting, for testing the one above against.
inline constexpr AloScheme ALO_REFERENCE_SCHEME{40, 30, 96, 128, 1e-13};

// American price by the fixed-point method of Andersen, Lake & Offengenden
// (2016).  sigma <= 0 gives the deterministic American value (exercise now,
// at expiry or at the best time between, on the forward path).  A put with
// q < r < 0 (call with r < q < 0) has two boundaries: it is priced by
// _fd_two_boundary_price (fd.h), its Greeks and implied volatility likewise.
double _alo_price(std::int32_t flag, double S, double K, double D, double F, double sigma);

// The same under any scheme within the maxima above (NaN beyond them); its
// tables take some 400 KB of stack at the maxima.
double _alo_price_scheme(const AloScheme &scheme, std::int32_t flag, double S, double K, double D,
                         double F, double sigma);

// The boundaries a loop solved last, kept for its next contract: a put's
// boundary in strike-free form depends on its r, q and vol alone, so
// contracts that share them (a strike chain at one volatility) reuse it
// with the very doubles of a fresh solve.  P partials ride along (3, in the
// put's r, q and vol, for the Greeks).  One per loop, never shared between
// threads; a default-constructed one holds nothing.
template <int P>
struct AloReuseOf {
    std::uint64_t key[3] = {};               // the bits of the put's r, q and vol
    bool held = false;                       // whether the boundaries belong to key
    bool converged[2] = {};                  // per scheme: the coarse one, the fine one
    double s[2][ALO_MAX_NODES + 1][P + 1];   // their ln(X/B) at the nodes, and its partials
    std::int64_t solves = 0;                 // boundary solves made through this record
};
using AloReuse = AloReuseOf<0>;
using AloGreeksReuse = AloReuseOf<3>;

// _alo_price's doubles, its boundary taken from `reuse` where that holds the
// contract's and left there for the next contract otherwise.
double _alo_price_reusing(AloReuse &reuse, std::int32_t flag, double S, double K, double D,
                          double F, double sigma);

// Price and forward-form partials, with _baw_greeks' definitions: delta =
// dV/dS with F/S held, gamma likewise, vega = dV/dsigma, dD = dV/dD (S, F
// held), dF = dV/dF (S, D held).
void _alo_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 Greeks *out);

// _alo_greeks' doubles, the boundary and its partials reused as by
// _alo_price_reusing.
void _alo_greeks_reusing(AloGreeksReuse &reuse, std::int32_t flag, double S, double K, double D,
                         double F, double sigma, Greeks *out);

// _alo_price and its vega dV/dsigma (one forward-mode partial, cheaper than
// _alo_greeks); the price is _alo_price's.  NaN for both where _alo_price is.
double _alo_price_vega(std::int32_t flag, double S, double K, double D, double F, double sigma,
                       double *vega);

// 0.0 for a price without time value (price <= intrinsic_value(flag, S, K) +
// IV_TOL), -1.0 when no sigma in (1e-8, 16] reproduces it (in (1e-8, 8] for
// two boundaries, _fd_two_boundary_implied_vol_c's), else the root.  A NaN
// price, S, K, D or F gives -1.0, tested first.
double _alo_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                          double F);

// _alo_implied_vol_c, and the number of boundary solves it made, under the
// public schemes in *solves and under its steering scheme in *steers (for
// tests of its cost).
double _alo_implied_vol_counted(std::int32_t flag, double price, double S, double K, double D,
                                double F, int *solves, int *steers);

}  // namespace korvane::kernels

#endif  // KORVANE_ALO_H
