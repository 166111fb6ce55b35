// Internals shared by the finite-difference kernels (fd_*.cpp): the schedule
// as the solver reads it, the grids, and the solve of one contract.
#ifndef KORVANE_FD_INTERNAL_H
#define KORVANE_FD_INTERNAL_H

#include <cstdint>

#include "fd.h"

namespace korvane::kernels::fd {

using kernels::NaN;

// A schedule read and cleaned: ex-dates strictly ascending in (0, 1), equal
// ones merged, amounts positive.
struct Schedule {
    int n;
    double t[FD_MAX_DIVIDENDS];
    double d[FD_MAX_DIVIDENDS];
};

// Reads `in` into *out; false when it is invalid (a negative or infinite
// entry, or more than FD_MAX_DIVIDENDS dividends inside the life).
bool read_schedule(const Dividends &in, Schedule *out);

// The contract on the unit life, with rates read from the forward form.
struct Problem {
    std::int32_t flag;
    double S;      // spot
    double K;      // strike
    double r;      // rate, -ln D
    double q;      // yield beyond the dividends
    double sigma;  // total standard deviation
};

// Two exercise boundaries only for a put with q < r < 0 or a call with
// r < q < 0 (Battauz, De Donno & Sbuelz 2015); cash dividends add none
// between the ex-dates.  Elsewhere every step's exercise set is one block at
// an end of the grid, and Brennan & Schwartz's sweep solves it.
inline bool one_boundary(const Problem &p)
{
    return p.flag == CALL ? !(p.r < p.q && p.q < 0) : !(p.q < p.r && p.r < 0);
}

// Exercise value at spot x.
inline double payoff(std::int32_t flag, double x, double K)
{
    return flag == CALL ? (x > K ? x - K : 0.0) : (K > x ? K - x : 0.0);
}

// The grid in the spot: S[0] = 0 < S[1] < ... < S[n], concentrated at the
// strike, with the spot on node `spot`.  Level 1 has twice the intervals and
// nests level 0's nodes.  False when the nodes exceed `capacity` intervals.
bool space_grid(const FdScheme &scheme, int level, const Problem &p, double total_dividends,
                double *S, int capacity, int *n, int *spot);

// The time steps in tau = 1 - t: segments between expiry, the ex-dates and
// today.  A segment that starts at a kink (the payoff at expiry; at an
// ex-date, a call's exercise just before the drop) crowds its steps
// towards its start, opens with fully implicit substeps (Rannacher 1984),
// and takes steps as the square root of its length: near a kink the
// solution varies on the scale sqrt(tau - start), so a short segment
// needs nearly as many steps as a long one.  A put's ex-date makes no kink
// (the held value V(t+, S - d) >= K - S + d is above the exercise value):
// the segment after it takes uniform steps, its share of the life, as the
// exercise boundary reforms across it.
struct TimeGrid {
    int segments;
    double start[FD_MAX_DIVIDENDS + 1];   // tau at each segment's start
    double length[FD_MAX_DIVIDENDS + 1];
    int steps[FD_MAX_DIVIDENDS + 1];
    double drop[FD_MAX_DIVIDENDS + 1];    // dividend at each segment's end (0 for the last)
    double power[FD_MAX_DIVIDENDS + 1];   // step k of m ends at start + length (k/m)^power
    int damping[FD_MAX_DIVIDENDS + 1];    // implicit substeps of the segment's first step
};
void time_grid(const FdScheme &scheme, int level, const Schedule &divs, std::int32_t flag,
               TimeGrid *tg);

// Partials carried through the scheme by forward-mode differentiation, the
// exercise set held (each an extra right-hand side of the same systems).
enum Partial { D_SIGMA = 0, D_R = 1, D_Q = 2 };
inline constexpr int MAX_PARTIALS = 3;

// What a solve gives at the spot node: the value, its first and second
// difference quotients, the operator applied to it (dV/dtau in continuation,
// 0 where exercised) and the requested partials.
struct NodeValue {
    double price;
    double delta;
    double gamma;
    double rate;               // dV/dtau on the unit life (minus theta times the life)
    double partial[MAX_PARTIALS];
};

// One solve: the contract with and without its dividends on the same grid
// and time steps (the second only when `both`), with `partials` partials
// (D_SIGMA first, then D_R and D_Q).  `level` 1 doubles the scheme's nodes
// and steps (its grid nests the level-0 one).  False when the scheme does
// not fit.  The grid's arrays live on the stack: up to some 80 KB on grids
// of up to SMALL_NODES intervals, 250 KB up to MEDIUM_NODES with partials,
// 250 KB (no partials) up to FD_MAX_NODES.
inline constexpr int SMALL_NODES = 256;
inline constexpr int MEDIUM_NODES = 1024;
bool solve_small(const FdScheme &scheme, int level, const Problem &p, const Schedule &divs,
                 bool both, int partials, NodeValue *with, NodeValue *without, int *solves);
bool solve_large(const FdScheme &scheme, int level, const Problem &p, const Schedule &divs,
                 bool both, int partials, NodeValue *with, NodeValue *without, int *solves);

// Intervals of the grid at `level`: level 1 has twice level 0's.
inline int level_nodes(const FdScheme &scheme, int level)
{
    return scheme.nodes * (level == 0 ? 1 : 2);
}

// A well-formed scheme whose grid at `level` fits `capacity` intervals.
inline bool fits(const FdScheme &scheme, int level, int capacity)
{
    return scheme.nodes >= 4 && scheme.steps >= 1 && scheme.min_steps >= 1 && scheme.damping >= 1 &&
           level_nodes(scheme, level) <= capacity;
}

inline bool solve(const FdScheme &scheme, int level, const Problem &p, const Schedule &divs,
                  bool both, int partials, NodeValue *with, NodeValue *without, int *solves)
{
    return level_nodes(scheme, level) <= SMALL_NODES
               ? solve_small(scheme, level, p, divs, both, partials, with, without, solves)
               : solve_large(scheme, level, p, divs, both, partials, with, without, solves);
}

// Level `level` of the scheme on many contracts with one boundary (see
// one_boundary), their solves several at a time in lockstep (fd_lanes.cpp):
// each job's price is the one its solve gives alone.  False when the
// scheme does not fit SMALL_NODES.  Some 160 KB of stack.
struct LaneJob {
    const Problem *p;
    const Schedule *divs;
    double price;  // out: the value at the spot
};
bool solve_lanes(const FdScheme &scheme, int level, LaneJob *jobs, int count, int *solves);

// A contract in forward form read into the problem on the unit life.
struct Contract {
    enum Kind {
        INVALID,        // NaN or out-of-domain input: NaN out
        DETERMINISTIC,  // sigma <= 0: the best exercise on the spot's certain path
        SOLVE,
    } kind;
    Problem p;
    Schedule divs;
    double D;
    double F0;  // the dividend-free forward S e^{r-q} (F itself without dividends)
};

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma,
                  const Dividends &dividends);

// The solve on one level, or on two with Richardson's extrapolation
// v1 + (v1 - v0)/3 of their second-order errors (the scheme's extrapolate).
bool solve_extrapolated(const FdScheme &scheme, const Contract &c, bool both, int partials,
                        NodeValue *with, NodeValue *without, int *solves);

// The value at sigma = 0 (any kind but INVALID).
double deterministic_price(const Contract &c);

// Price of a SOLVE contract at volatility sigma under the scheme, and its
// vega when `vega` is not null; *solves counts the tridiagonal solves.  NaN
// when the scheme does not fit.
double evaluate(const FdScheme &scheme, const Contract &c, double sigma, double *vega,
                int *solves);

// One level of the scheme alone (no extrapolation, no control variate):
// price and, when `vega` is not null, vega.  A scheme that extrapolates
// without a control variate prices richardson(level 0, level 1) where the
// accurate engine does not answer.
double evaluate_level(const FdScheme &scheme, const Contract &c, double sigma, int level,
                      double *vega, int *solves);

// _fd_implied_vol_c's search on scheme sc (extrapolated, without control
// variate), for any schedule: its conventions, no accurate engine first.
double implied_vol_search(const FdScheme &scheme, std::int32_t flag, double price, double S,
                          double K, double D, double F, const Dividends &dividends, int *solves);

// Richardson's extrapolation of two levels' second-order errors.
inline double richardson(double coarse, double fine)
{
    return fine + (fine - coarse) / 3;
}

}  // namespace korvane::kernels::fd

#endif  // KORVANE_FD_INTERNAL_H
