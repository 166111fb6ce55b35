// The state of one finite-difference solve (fd_solve.cpp): the grid, the
// Black-Scholes operator on it, the tracks of values, and what happens to
// them at an ex-date and at the end.
#ifndef KORVANE_FD_WORK_H
#define KORVANE_FD_WORK_H

#include "fd_internal.h"

#include <cmath>

namespace korvane::kernels::fd {

// One contract's state on the grid, with room for PA partials.
template <int CAP, int PA>
struct Track {
    double V[CAP + 1];                  // values at the current step
    double prev[CAP + 1];               // before the last stage
    double dV[PA > 0 ? PA : 1][PA > 0 ? CAP + 1 : 1];  // partials of V
    double rhs[CAP + 1];                // right side of the step's system
    double cp[CAP + 1];                 // elimination: the neighbour's coefficient after it
    double m[CAP + 1];                  // elimination: inverse pivots (0 on exercise rows)
    double dp[CAP + 1];                 // elimination: right side after it
    unsigned char ex[CAP + 1];          // exercise set
};

// Everything a solve holds: grids of up to CAP intervals, TR tracks (with
// the dividends, and without them for a control variate) and PA partials.
// The stencils D and C are kept only for the partials.
template <int CAP, int TR, int PA>
struct Work {
    using TrackT = Track<CAP, PA>;
    static constexpr int CAP_NODES = CAP;
    static constexpr int TRACKS = TR;
    static constexpr int PARTIALS = PA;
    static constexpr int DC = PA > 0 ? CAP + 1 : 1;  // room for the stencils D and C
    double S[CAP + 1];
    // L V_j = lo_j V_{j-1} + di_j V_j + up_j V_{j+1} = sigma^2 (D V)_j + mu (C V)_j - r V_j,
    // D the stencil of S^2 V_SS/2 and C that of S V_S.
    double lo[CAP + 1], di[CAP + 1], up[CAP + 1];
    double lu[CAP + 2];  // lo_j up_{j-1} (0 at 0 and n + 1): the pivots' coupling
    double Dlo[DC], Ddi[DC], Dup[DC];
    double Clo[DC], Cdi[DC], Cup[DC];
    double g[CAP + 1];  // exercise value at the nodes
    // The drops' cubic interpolation: the inverse denominators of the
    // Lagrange weights on the four nodes from k (cubic_at), and where the
    // solve reads them (this table, or a lane's copy).
    static constexpr int STENCIL = CAP <= SMALL_NODES ? CAP + 1 : 1;  // none on large grids
    double stencil[STENCIL][4];
    const double (*cubic)[4];
    double tmp[1 + PA][CAP + 1];
    TrackT track[TR];
    int n;
    int spot;
    int partials;
    double sigma;
    double strike;
    double side;  // 1 for a call, -1 for a put: the exercise value is max(side (S - K), 0)
    bool one_boundary;  // every step's exercise set is one block at an end of the grid
    double k;  // the stage's implicit weight: A = I - k L
};

// The stencils and the operator on the grid in w.S.
template <class Wk>
void build_operator(Wk &w, const Problem &p)
{
    constexpr bool keep = Wk::DC > 1;  // the stencils kept for the partials
    const int n = w.n;
    const double *S = w.S;
    const double s2 = p.sigma * p.sigma;
    const double mu = p.r - p.q;
    const auto set = [&](int j, double dlo, double ddi, double dup, double clo, double cdi,
                         double cup) {
        w.lo[j] = s2 * dlo + mu * clo;
        w.di[j] = s2 * ddi + mu * cdi - p.r;
        w.up[j] = s2 * dup + mu * cup;
        if (keep) {
            w.Dlo[j] = dlo, w.Ddi[j] = ddi, w.Dup[j] = dup;
            w.Clo[j] = clo, w.Cdi[j] = cdi, w.Cup[j] = cup;
        }
    };
    // S = 0: the equation degenerates to dV/dtau = -r V.
    set(0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
    for (int j = 1; j < n; ++j) {
        const double hm = S[j] - S[j - 1], hp = S[j + 1] - S[j], H = hm + hp;
        const double x = S[j];
        const double ihm = 1 / hm, ihp = 1 / hp, iH = 1 / H;
        const double wd = x * x * iH;
        const double dlo = wd * ihm, dup = wd * ihp, ddi = -(dlo + dup);
        // Central S V_S, second order on the uneven grid; where the drift
        // would make an off-diagonal of L negative (the cell Peclet number
        // above one) it is taken upwind instead.
        double clo = -x * hp * ihm * iH, cup = x * hm * ihp * iH;
        double cdi = x * (hp - hm) * ihm * ihp;
        if (s2 * dlo + mu * clo < 0 || s2 * dup + mu * cup < 0) {
            if (mu > 0) {
                clo = 0.0;
                cdi = -x * ihp;
                cup = x * ihp;
            } else {
                clo = -x * ihm;
                cdi = x * ihm;
                cup = 0.0;
            }
        }
        set(j, dlo, ddi, dup, clo, cdi, cup);
    }
    // The far end: V linear in S there (V_SS = 0), S V_S from below; exact
    // for the linear values an option takes far in or out of the money.
    const double hn = S[n] - S[n - 1];
    set(n, 0.0, 0.0, 0.0, -S[n] / hn, S[n] / hn, 0.0);
    w.lu[0] = w.lu[n + 1] = 0.0;
    for (int j = 1; j <= n; ++j)
        w.lu[j] = w.lo[j] * w.up[j - 1];
}

// Cubic Lagrange interpolation of f (given at the nodes) at x: the four
// nodes around x, shifted inwards at the grid's ends; i is the interval
// holding x (S[i] <= x < S[i+1]).
struct Cubic {
    int k;        // first of the four nodes
    double c[4];  // their weights
};

// The inverse denominators of the Lagrange weights on the nodes S[k] to
// S[k + 3], for every k: the drops' interpolations then take no division.
inline void cubic_table(const double *S, int n, double (*inv)[4])
{
    for (int k = 0; k + 3 <= n; ++k) {
        const double *s = S + k;
        const double s01 = s[0] - s[1], s02 = s[0] - s[2], s03 = s[0] - s[3];
        const double s12 = s[1] - s[2], s13 = s[1] - s[3], s23 = s[2] - s[3];
        inv[k][0] = 1 / (s01 * s02 * s03);
        inv[k][1] = 1 / (-s01 * s12 * s13);
        inv[k][2] = 1 / (s02 * s12 * s23);
        inv[k][3] = 1 / (-s03 * -s13 * -s23);
    }
}

template <class Wk>
Cubic cubic_at(const Wk &w, int i, double x)
{
    int k = i - 1;
    k = k < 0 ? 0 : k > w.n - 3 ? w.n - 3 : k;
    const double *s = w.S + k;
    double table[4];
    const double *inv = table;
    if constexpr (Wk::STENCIL > 1)
        inv = w.cubic[k];
    else
        cubic_table(s, 3, &table);
    const double d0 = x - s[0], d1 = x - s[1], d2 = x - s[2], d3 = x - s[3];
    return {k, {(d1 * d2 * d3) * inv[0], (d0 * d2 * d3) * inv[1], (d0 * d1 * d3) * inv[2],
                (d0 * d1 * d2) * inv[3]}};
}

// Mean over [a, b] of max(f, 0) for f linear from fa to fb.
inline double mean_positive(double fa, double fb)
{
    if (fa >= 0 && fb >= 0)
        return 0.5 * (fa + fb);
    if (fa <= 0 && fb <= 0)
        return 0.0;
    const double p = fa > 0 ? fa : fb;  // the positive end
    return 0.5 * p * p / (fa > 0 ? fa - fb : fb - fa);
}

// The mean of max(f, 0) over [S_j - e, S_j + e], e a quarter of the
// spacing across node j, f linear between nodes: the node's value of a
// kink (f changing sign beside it) smoothed as Pooley, Vetzal & Forsyth
// (2003) average a payoff over a cell, so the error stays smooth in the
// grid wherever the kink falls.  The interval is centred on the node
// (unlike the cell between the midpoints): a linear f keeps its node
// value however uneven the spacing, and by convexity the mean is never
// below max(f_j, 0), so the exercise constraint does not undo it.
inline double kink_mean(const double *S, const double *f, int j)
{
    const double hl = S[j] - S[j - 1], hr = S[j + 1] - S[j];
    const double e = 0.25 * (hl + hr);
    const double fl = f[j] + (f[j - 1] - f[j]) * (e / hl), fr = f[j] + (f[j + 1] - f[j]) * (e / hr);
    return 0.5 * (mean_positive(fl, f[j]) + mean_positive(f[j], fr));
}

// The ex-date's drop by d, going back in time: V(S) <- V(max(S - d, 0)),
// then exercise where it beats holding through the drop.  The maximum has
// a kink where the two cross; the nodes beside it take its smoothed value
// (kink_mean), as the expiry's payoff does.
template <class Wk>
void drop(Wk &w, typename Wk::TrackT &t, double d)
{
    const int n = w.n;
    const int np = w.partials < Wk::PARTIALS ? w.partials : Wk::PARTIALS;  // partials carried
    for (int j = 0; j <= n; ++j) {
        w.tmp[0][j] = t.V[j];
        for (int q = 0; q < np; ++q)
            w.tmp[1 + q][j] = t.dV[q][j];
    }
    // The held values into V and f = held - side (S - K) into dp (free until
    // the next stage): the maximum with the exercise value is
    // max(held, side (S - K)) as held >= 0, whose only kink is where f
    // changes sign (the exercise value's own kink at the strike is under the
    // held value).
    double *f = t.dp;
    int i = 0;  // interval of x = S[j] - d, non-decreasing in j
    for (int j = 0; j <= n; ++j) {
        const double x = w.S[j] - d;
        if (!(x > 0)) {
            t.V[j] = w.tmp[0][0];
            for (int q = 0; q < np; ++q)
                t.dV[q][j] = w.tmp[1 + q][0];
        } else {
            while (i + 1 < n && w.S[i + 1] <= x)
                ++i;
            const Cubic c = cubic_at(w, i, x);
            for (int q = 0; q <= np; ++q) {
                const double *h = w.tmp[q] + c.k;
                const double v = c.c[0] * h[0] + c.c[1] * h[1] + c.c[2] * h[2] + c.c[3] * h[3];
                (q == 0 ? t.V[j] : t.dV[q - 1][j]) = v;
            }
        }
        f[j] = t.V[j] - w.side * (w.S[j] - w.strike);
    }
    // Exercise where it beats holding; the nodes beside a sign change of f
    // take the kink's smoothed value.  Each node's value depends on f only,
    // so V is rewritten in place.
    for (int j = 0; j <= n; ++j) {
        const bool exercise = f[j] < 0 && w.g[j] > 0;
        t.ex[j] = exercise;
        if (exercise)
            t.V[j] = w.g[j];
        const bool below = j > 0 && (f[j - 1] < 0) != (f[j] < 0);
        const bool above = j < n && (f[j + 1] < 0) != (f[j] < 0);
        if ((below || above) && j > 0 && j < n) {
            t.V[j] = w.side * (w.S[j] - w.strike) + kink_mean(w.S, f, j);
            t.ex[j] = 0;
        }
        if (t.ex[j]) {
            for (int q = 0; q < np; ++q)
                t.dV[q][j] = 0.0;
        }
    }
}

// u^power for u in [0, 1]: the powers the time grids take in closed form
// (exact products and a square root: no library function's last ulp).
inline double crowd(double u, double power)
{
    if (power == 1.0)
        return u;
    if (power == 2.0)
        return u * u;
    if (power == 1.5)
        return u * std::sqrt(u);
    return std::pow(u, power);
}

// The stages and drops of a solve in order, from the time grid: each
// segment's steps (the first as `damping` fully implicit substeps,
// Rannacher 1984; the others Crank-Nicolson), then its ex-date's drop.
struct Cursor {
    enum Event { STAGE, DROP, END };
    int s = 0;         // segment
    int k = 1;         // step in it, 1 to steps[s]
    int sub = 0;       // substep of a damped first step
    double tau = 0.0;  // where the current step starts
    double dt = 0.0;   // its size
    double last = 0.0; // the step before's size (0 at a segment's start)

    // The next event: a stage with implicit weight *kk, explicit weight
    // *ee and trend *trend (for policy iteration's first guess), or a drop
    // of *ee.
    Event next(const TimeGrid &tg, double *kk, double *ee, double *trend)
    {
        for (;;) {
            if (s == tg.segments)
                return END;
            const int m = tg.steps[s];
            if (k > m) {
                const double d = tg.drop[s];
                ++s;
                k = 1;
                sub = 0;
                last = 0.0;
                if (s < tg.segments)
                    tau = tg.start[s];
                if (d > 0) {
                    *ee = d;
                    return DROP;
                }
                continue;
            }
            if (sub == 0) {
                const double end = tg.start[s] + tg.length[s] * crowd(double(k) / m, tg.power[s]);
                dt = end - tau;
                tau = end;
            }
            const int damping = tg.damping[s];
            if (k == 1 && damping > 0) {
                *kk = dt / damping;
                *ee = 0.0;
                *trend = sub == 0 ? 0.0 : 1.0;
                if (++sub == damping) {
                    sub = 0;
                    last = dt;
                    ++k;
                }
                return STAGE;
            }
            *kk = 0.5 * dt;
            *ee = 0.5 * dt;
            *trend = last > 0 ? dt / last : 0.0;
            last = dt;
            ++k;
            return STAGE;
        }
    }
};

// A solve's start on level `level`: the grid, the operator, and the values
// at expiry in track 0 (the exercise value, its kink at the strike smoothed
// over the cells beside it, kink_mean, as Pooley, Vetzal & Forsyth 2003
// average a payoff, so the error stays smooth in the grid wherever the
// strike falls).  False when the grid exceeds the Work.
template <class Wk>
bool begin(Wk &w, const FdScheme &sc, int level, const Problem &p, const Schedule &divs,
           int partials)
{
    double total = 0.0;
    for (int i = 0; i < divs.n; ++i)
        total += divs.d[i];
    if (!space_grid(sc, level, p, total, w.S, Wk::CAP_NODES, &w.n, &w.spot))
        return false;
    w.partials = partials;
    w.sigma = p.sigma;
    w.strike = p.K;
    w.side = p.flag == CALL ? 1.0 : -1.0;
    w.one_boundary = one_boundary(p);
    const int n = w.n;
    build_operator(w, p);
    if constexpr (Wk::STENCIL > 1) {
        if (divs.n > 0)
            cubic_table(w.S, n, w.stencil);
    }
    w.cubic = w.stencil;
    typename Wk::TrackT &a = w.track[0];
    double *f = w.tmp[0];  // the payoff's linear piece through the strike
    for (int j = 0; j <= n; ++j) {
        w.g[j] = payoff(p.flag, w.S[j], p.K);
        f[j] = w.side * (w.S[j] - p.K);
        a.V[j] = w.g[j];
        a.ex[j] = w.g[j] > 0;
        for (int q = 0; q < partials; ++q)
            a.dV[q][j] = 0.0;
    }
    for (int j = 1; j < n; ++j) {
        if ((f[j - 1] > 0) != (f[j] > 0) || (f[j + 1] > 0) != (f[j] > 0))
            a.V[j] = kink_mean(w.S, f, j);
    }
    for (int j = 0; j <= n; ++j)
        a.prev[j] = a.V[j];
    return true;
}

template <class TrackT>
void copy_track(const TrackT &from, TrackT &to, int n, int partials)
{
    for (int j = 0; j <= n; ++j) {
        to.V[j] = from.V[j];
        to.prev[j] = from.prev[j];
        to.ex[j] = from.ex[j];
        for (int q = 0; q < partials; ++q)
            to.dV[q][j] = from.dV[q][j];
    }
}

template <class Wk>
NodeValue read_spot(const Wk &w, const typename Wk::TrackT &t)
{
    const int s = w.spot;
    const double *S = w.S, *V = t.V;
    const double hm = S[s] - S[s - 1], hp = S[s + 1] - S[s], H = hm + hp;
    NodeValue v;
    v.price = V[s];
    v.delta = (-hp / (hm * H)) * V[s - 1] + ((hp - hm) / (hm * hp)) * V[s] + (hm / (hp * H)) * V[s + 1];
    v.gamma = 2 * ((V[s + 1] - V[s]) / hp - (V[s] - V[s - 1]) / hm) / H;
    v.rate = t.ex[s] ? 0.0 : w.lo[s] * V[s - 1] + w.di[s] * V[s] + w.up[s] * V[s + 1];
    for (int q = 0; q < MAX_PARTIALS; ++q)
        v.partial[q] = q < w.partials ? t.dV[q][s] : NaN;
    return v;
}

}  // namespace korvane::kernels::fd

#endif  // KORVANE_FD_WORK_H
