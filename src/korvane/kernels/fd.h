// American prices, Greeks and implied total standard deviation with discrete
// cash dividends, by finite differences on the Black-Scholes equation in the
// spot, in the forward form of kernels.h plus a dividend schedule.
//
// The inputs read as rates over a life scaled to one: r = -ln D, and the
// yield (or borrow) q beyond the dividends from F = S e^{r-q} -
// sum_i d_i e^{(r-q)(1-t_i)}.  At an ex-date t_i the spot drops by d_i, never
// below zero: V(t_i-, S) = max(V(t_i+, max(S - d_i, 0)), exercise value).
// Like the other kernels these allocate nothing (the grid lives in
// fixed-size arrays on the stack), write no shared state and touch no Python
// object.
#ifndef KORVANE_FD_H
#define KORVANE_FD_H

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace korvane::kernels {

// A dividend schedule read in place: entry i is the ex-date times[i] (in a
// unit in which the contract's life is `life`: 1 for fractions of the life,
// T for years) and the cash amount amounts[i], each `step` bytes from the
// last.  An entry with a NaN time or amount pads and is skipped;
// a time at or after 1 (at expiry or later) or at 0 (the spot is already
// ex), or a zero amount, is no dividend; a negative or infinite time or
// amount makes the whole schedule invalid (NaN results).
struct Dividends {
    const char *times;
    const char *amounts;
    std::ptrdiff_t times_step;
    std::ptrdiff_t amounts_step;
    std::int64_t n;
    double life = 1.0;
};

// A schedule in two contiguous arrays of n doubles.
inline Dividends dividends_of(const double *times, const double *amounts, std::int64_t n)
{
    return {reinterpret_cast<const char *>(times), reinterpret_cast<const char *>(amounts),
            static_cast<std::ptrdiff_t>(sizeof(double)), static_cast<std::ptrdiff_t>(sizeof(double)),
            n};
}

// At most this many dividends inside the life (after padding and the ignored
// entries are dropped, and equal ex-dates merged); more give NaN.
inline constexpr int FD_MAX_DIVIDENDS = 64;

// How finely the equation is resolved.
struct FdScheme {
    int nodes;           // intervals of the grid in the spot
    int steps;           // time steps of a life without dividends (segments cut by
                         // ex-dates get their share, at least `min_steps` each)
    int min_steps;       // fewest steps between two events
    double width;        // the grid reaches max(S, K) e^{width sigma}
    double density;      // sinh-map scale at the strike, in units of K sigma
    double time_power;   // steps crowd towards each segment's start as u^power
    int damping;         // fully implicit substeps of each segment's first step (Rannacher)
    bool extrapolate;    // Richardson: also solve on twice the nodes and steps
    bool control;        // _alo_price of the dividend-free problem as a control variate
};

// Largest grid the kernels hold room for; a scheme beyond it gives NaN.
inline constexpr int FD_MAX_NODES = 2048;

// The one setting the public kernels use: Richardson's extrapolation of the
// solves on 120 and 240 nodes, 40 and 80 steps on a life without dividends
// (fd_internal.h's TimeGrid: more with them), at least 6 and 12 between
// two events.
inline constexpr FdScheme FD_SCHEME{120, 40, 6, 4.5, 0.75, 2.0, 2, true, false};

// A finer setting for dividend-free contracts the accurate engine leaves to
// this one (two boundaries under negative rates): within its tolerance,
// max(2e-7 V, 1e-9 S), of the reference.
inline constexpr FdScheme FD_TWO_BOUNDARY_SCHEME{400, 200, 6, 4.5, 0.75, 2.5, 2, true, false};

// A much finer setting, for testing the others against (some 200 KB of
// stack).
inline constexpr FdScheme FD_REFERENCE_SCHEME{1000, 500, 40, 8.0, 0.5, 2.0, 4, true, false};

// Dividend-free contracts on FD_TWO_BOUNDARY_SCHEME, for the accurate
// engine where one boundary's integral equation does not apply (a put with
// q < r < 0, a call with r < q < 0), with its conventions: the price (NaN input or sigma infinite:
// NaN; sigma <= 0: the deterministic value); Greeks with _alo_greeks'
// definitions (delta and gamma with F/S held, vega = dV/dsigma, dD with S
// and F held, dF with S and D held; NaN where the price is not solved);
// implied sigma with _alo_implied_vol_c's (0.0 for a price without time
// value, -1.0 for none or a NaN input), searched in (1e-8, 8] only.
double _fd_two_boundary_price(std::int32_t flag, double S, double K, double D, double F,
                              double sigma);
void _fd_two_boundary_greeks(std::int32_t flag, double S, double K, double D, double F,
                             double sigma, Greeks *out);
double _fd_two_boundary_implied_vol_c(std::int32_t flag, double price, double S, double K,
                                      double D, double F);

// b = r - q, the carry beyond the dividends of a schedule already read
// (times in (0, 1), amounts > 0): the root of S e^b - sum_i d_i e^{b(1-t_i)} = F.
// NaN where none fits (F <= 0, or a NaN input).
double _fd_carry(double S, double F, const double *times, const double *amounts, int n);

// The same for a schedule as given: NaN where it is invalid.
double _fd_schedule_carry(double S, double F, const Dividends &dividends);

// American price.  NaN input, S, K, D or F not positive (F <= 0: no yield
// fits), sigma infinite or an invalid schedule: NaN.  sigma <= 0: the
// deterministic value, the best of exercising at any time on the spot's
// certain path with its drops.
double _fd_price(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 const Dividends &dividends);

// The same under any scheme within FD_MAX_NODES (NaN beyond, or for fewer
// than 4 nodes or no steps); *solves (when not null) receives the number of
// tridiagonal solves it took.
double _fd_price_scheme(const FdScheme &scheme, std::int32_t flag, double S, double K, double D,
                        double F, double sigma, const Dividends &dividends,
                        int *solves = nullptr);

// A contract for _fd_price_many.
struct FdContract {
    std::int32_t flag;
    double S, K, D, F, sigma;
    Dividends dividends;
};

// _fd_price of each of `count` contracts (at most FD_BATCH), the same
// doubles: the solves of contracts with one exercise boundary run several
// at a time in lockstep, in vectors where the CPU has them (some 200 KB of
// stack).
inline constexpr int FD_BATCH = 32;
void _fd_price_many(const FdContract *contracts, int count, double *out);

// Price and Greeks for a life of T years, with korvane.greeks' units:
// delta = dV/dS and gamma = d2V/dS2 with r, q, sigma and the dividends held
// (without dividends, F/S held); vega = dV/dsigma; theta = dV/dt per year as
// calendar time passes with expiry and ex-dates fixed (-dV/dT without
// dividends); rho = dV/dr and psi = dV/dq per unit of annual rate and yield,
// the cash amounts and dates held.  theta, rho and psi are NaN unless T > 0.
struct FdGreeks {
    double price, delta, gamma, vega, theta, rho, psi;
};
void _fd_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                double T, const Dividends &dividends, FdGreeks *out);

// 0.0 for a price without time value (within IV_TOL of the exercise value on
// the spot), -1.0 when no sigma in (1e-8, 8] reproduces it or an input is
// NaN, else the root of _fd_price.  Without dividends, _alo_implied_vol_c's
// root where it has one.  *solves (when not null) receives the number of
// grid solves it took (one level of the scheme each: a price takes two).
double _fd_implied_vol_c(std::int32_t flag, double price, double S, double K, double D, double F,
                         const Dividends &dividends, int *solves = nullptr);

// The forward search of _find_forward_chain on _fd_implied_vol_c, with one
// dividend schedule for the whole chain (its implied_vol is not used).
struct FdChainParams : ChainParams {
    Dividends dividends;
};
double _fminbound(FdChainParams *params, double lo, double hi, double *f_best);
double _find_forward_chain_fd(FdChainParams *params, double strike_pct);

}  // namespace korvane::kernels

#endif  // KORVANE_FD_H
