// The finite-difference solve of one contract, with and without its
// dividends: Crank-Nicolson steps in time to expiry with Rannacher's (1984)
// implicit start after every kink, the discrete linear complementarity
// problem of each step, and partials in sigma, r and q carried forward
// through the same systems (the grid, the operator and the ex-dates' drops
// in fd_work.h).
//
// Each step solves, for A = I - theta dt L and b = (I + (1 - theta) dt L) V,
//   min(A V - b, V - g) = 0
// (g the exercise value).  Where its exercise set is one block at an end of
// the grid (all but a put with q < r < 0 and a call with r < q < 0: see
// one_boundary), by Brennan & Schwartz's single sweep (fd_sweep.h).
// Elsewhere by Howard's policy iteration as in Reisinger & Witte (2012):
// rows in the exercise set read V = g, the others A V = b; the set is
// updated from the solution until it repeats.  With A an M-matrix (central
// differences where they keep it one, upwind otherwise, as in Forsyth &
// Vetzal 2002) this terminates and needs no assumption on the shape of the
// exercise region (it also serves the control variate's two tracks).
#include "fd_sweep.h"
#include "fd_work.h"

#include <cmath>

namespace korvane::kernels::fd {

namespace {

constexpr int MAX_POLICY_ITERATIONS = 64;

// out = x + k L x (the stencil's ends have no outer neighbour).
inline void add_operator(const double *lo, const double *di, const double *up, int n, double k,
                         const double *x, double *out)
{
    out[0] = x[0] + k * (di[0] * x[0] + up[0] * x[1]);
    for (int j = 1; j < n; ++j)
        out[j] = x[j] + k * (lo[j] * x[j - 1] + di[j] * x[j] + up[j] * x[j + 1]);
    out[n] = x[n] + k * (lo[n] * x[n - 1] + di[n] * x[n]);
}

// One track's arrays as the elimination reads and writes them.
struct TrackArrays {
    unsigned char *ex;
    const double *rhs;
    double *cp, *m, *dp, *V;
};

template <class TrackT>
TrackArrays arrays_of(TrackT &t)
{
    return {t.ex, t.rhs, t.cp, t.m, t.dp, t.V};
}

// A chain of the elimination in continuant form.  Eliminating downwards,
// the pivot of row j is p_j / p_{j-1}, p the leading minors, which follow
// the three-term recurrence p_j = b_j p_{j-1} - a_j c_{j-1} p_{j-2}, and the
// eliminated right side is d_j = q_j / p_j with q_j = r_j p_{j-1} - a_j q_{j-1}
// (a, b, c the sub-, main and super-diagonal, r the right side).  The
// chain's critical path is then a multiplication and a subtraction a row;
// the reciprocals leave it.  The minors grow along the chain (the matrix is
// diagonally dominant): they are scaled by an exact power of two when
// large, which changes no ratio.  A row held at its exercise value
// restarts the chain (p = 1, q = g, the row before it decoupled).
struct Chain {
    double p1;  // p_{j-1}
    double p2;  // p_{j-2}
    double q;   // q_{j-1}
};

constexpr double CHAIN_LARGE = 0x1p128;

// The minor p and numerator q of a row from the chain (b the diagonal,
// ac the coupling a_j c_{j-1}, ar the row's neighbour coefficient a_j
// negated), held at g when exercised.
inline void chain_row(const Chain &ch, double b, double ac, double ar, double r, bool exercised,
                      double g, double *p, double *q)
{
    *p = exercised ? 1.0 : b * ch.p1 - ac * ch.p2;
    *q = exercised ? g : r * ch.p1 + ar * ch.q;
}

inline void chain_advance(Chain &ch, bool exercised, double p, double q)
{
    ch.p2 = exercised ? 0.0 : ch.p1;
    ch.p1 = p;
    ch.q = q;
    if (p > CHAIN_LARGE) {
        ch.p1 *= 1 / CHAIN_LARGE;
        ch.p2 *= 1 / CHAIN_LARGE;
        ch.q *= 1 / CHAIN_LARGE;
    }
}

// Solves A x = b (A = I - k L) on T tracks at once, each with the rows of
// its exercise set reading x = g (right side in its rhs, solution into its
// V), keeping the elimination for the partials.  The elimination runs from
// both ends towards the middle row (a twisted factorisation), each chain in
// continuant form (Chain), so each track has two independent chains, and a
// row pair's two reciprocals come from one division.  Row j eliminated
// from above reads x_j = dp_j - cp_j x_{j+1}, from below
// x_j = dp_j - cp_j x_{j-1}; m_j is its inverse pivot.  Returns whether the
// solution changed any track's exercise set (the policies are updated in
// place).
template <class Wk, int T>
bool eliminate(Wk &w, typename Wk::TrackT *const *tr)
{
    const int n = w.n, mid = n / 2;
    const double k = w.k, k2 = k * k;
    const double *__restrict lo = w.lo, *__restrict di = w.di, *__restrict up = w.up;
    const double *__restrict lu = w.lu;
    const double *__restrict g = w.g;
    TrackArrays L[T];
    for (int t = 0; t < T; ++t)
        L[t] = arrays_of(*tr[t]);
    Chain top[T], bottom[T];
    for (int t = 0; t < T; ++t)
        top[t] = bottom[t] = {1.0, 0.0, 0.0};
    // Row j of the chain from below alone (n odd: it has one row more).
    const auto below = [&](int j) {
        for (int t = 0; t < T; ++t) {
            const bool e = L[t].ex[j];
            double p, q;
            chain_row(bottom[t], 1.0 - k * di[j], k2 * lu[j + 1], k * up[j], L[t].rhs[j], e, g[j],
                      &p, &q);
            const double inv = 1.0 / p;
            L[t].dp[j] = q * inv;
            L[t].m[j] = e ? 0.0 : bottom[t].p1 * inv;
            L[t].cp[j] = (-k * lo[j]) * L[t].m[j];
            chain_advance(bottom[t], e, p, q);
        }
    };
    for (int i = 0; i < mid; ++i) {
        const int j = i, jb = n - i;
        const double bt = 1.0 - k * di[j], act = k2 * lu[j], art = k * lo[j];
        const double bb = 1.0 - k * di[jb], acb = k2 * lu[jb + 1], arb = k * up[jb];
        for (int t = 0; t < T; ++t) {
            const bool et = L[t].ex[j], eb = L[t].ex[jb];
            double pt, qt, pb, qb;
            chain_row(top[t], bt, act, art, L[t].rhs[j], et, g[j], &pt, &qt);
            chain_row(bottom[t], bb, acb, arb, L[t].rhs[jb], eb, g[jb], &pb, &qb);
            const double inv = 1.0 / (pt * pb);
            const double it = pb * inv, ib = pt * inv;  // 1/pt, 1/pb
            const double mt = et ? 0.0 : top[t].p1 * it, mb = eb ? 0.0 : bottom[t].p1 * ib;
            L[t].dp[j] = qt * it;
            L[t].m[j] = mt;
            L[t].cp[j] = (-k * up[j]) * mt;
            L[t].dp[jb] = qb * ib;
            L[t].m[jb] = mb;
            L[t].cp[jb] = (-k * lo[jb]) * mb;
            chain_advance(top[t], et, pt, qt);
            chain_advance(bottom[t], eb, pb, qb);
        }
    }
    if (n - mid > mid)
        below(mid + 1);
    double cf[T], df[T], cb[T], db[T];  // the chains' last coefficient and right side
    for (int t = 0; t < T; ++t) {
        cf[t] = L[t].cp[mid - 1];
        df[t] = L[t].dp[mid - 1];
        cb[t] = L[t].cp[mid + 1];
        db[t] = L[t].dp[mid + 1];
    }
    // The middle row joins the chains; then back-substitution outwards,
    // each row's policy updated as soon as its neighbours are known.
    // Howard's update: a continuation row below its exercise value is
    // exercised; an exercise row whose equation would give it less than its
    // exercise value (A x - b < 0 there) continues.  Ties keep the row's
    // policy, so the iteration ends.
    double xt[T], xb[T];  // the last values found above and below the middle
    unsigned moved = 0;
    const double am = -k * lo[mid], bm = 1.0 - k * di[mid], cm = -k * up[mid];
    for (int t = 0; t < T; ++t) {
        double m = 0.0, x = g[mid];
        if (!L[t].ex[mid]) {
            m = 1.0 / ((bm - am * cf[t]) - cm * cb[t]);
            x = ((L[t].rhs[mid] - am * df[t]) - cm * db[t]) * m;
        }
        L[t].m[mid] = m;
        L[t].V[mid] = x;
        xt[t] = xb[t] = x;
    }
    const auto check = [&](TrackArrays &l, int j, double left, double x, double right) -> unsigned {
        const unsigned e = l.ex[j];
        const unsigned next =
            e ? !((x - k * ((lo[j] * left + di[j] * x) + up[j] * right)) - l.rhs[j] < 0)
              : x < g[j];
        l.ex[j] = static_cast<unsigned char>(next);
        return next ^ e;
    };
    // A row is checked once its neighbours are known: the middle after the
    // first pair, then each pair's inner neighbours (n >= 4, so mid >= 2).
    for (int i = 1; i < mid; ++i) {
        const int jt = mid - i, jb = mid + i;
        for (int t = 0; t < T; ++t) {
            double *V = L[t].V;
            const double x = L[t].dp[jt] - L[t].cp[jt] * xt[t];
            const double y = L[t].dp[jb] - L[t].cp[jb] * xb[t];
            V[jt] = x;
            V[jb] = y;
            if (i == 1) {
                moved |= check(L[t], mid, x, xt[t], y);
            } else {
                moved |= check(L[t], jt + 1, x, xt[t], V[jt + 2]);
                moved |= check(L[t], jb - 1, V[jb - 2], xb[t], y);
            }
            xt[t] = x;
            xb[t] = y;
        }
    }
    // The ends: rows 0 and 2 mid ... n, then the rows left unchecked.
    for (int t = 0; t < T; ++t) {
        double *V = L[t].V;
        V[0] = L[t].dp[0] - L[t].cp[0] * V[1];
        for (int j = 2 * mid; j <= n; ++j)
            V[j] = L[t].dp[j] - L[t].cp[j] * V[j - 1];
        moved |= check(L[t], 0, 0.0, V[0], V[1]);
        moved |= check(L[t], 1, V[0], V[1], V[2]);
        for (int j = 2 * mid - 1; j < n; ++j)
            moved |= check(L[t], j, V[j - 1], V[j], V[j + 1]);
        moved |= check(L[t], n, V[n - 1], V[n], 0.0);
    }
    return moved != 0;
}

// The same systems with the right side b, on the kept elimination; rows of
// the exercise set read x = 0 (the exercise value does not move with sigma,
// r or q).  x may be b.
template <class Wk>
void resolve(const Wk &w, const typename Wk::TrackT &t, const double *b, double *x, double *d)
{
    const int n = w.n, mid = n / 2;
    const double k = w.k;
    const double *__restrict lo = w.lo, *__restrict up = w.up;
    double df = 0.0, db = 0.0;
    for (int i = 0; i < n - mid; ++i) {
        const int jt = i, jb = n - i;
        if (i < mid) {
            df = t.ex[jt] ? 0.0 : (b[jt] - (-k * lo[jt]) * df) * t.m[jt];
            d[jt] = df;
        }
        db = t.ex[jb] ? 0.0 : (b[jb] - (-k * up[jb]) * db) * t.m[jb];
        d[jb] = db;
    }
    x[mid] = t.ex[mid] ? 0.0
                       : ((b[mid] - (-k * lo[mid]) * df) - (-k * up[mid]) * db) * t.m[mid];
    for (int i = 1; i <= n - mid; ++i) {
        const int jt = mid - i, jb = mid + i;
        if (jt >= 0)
            x[jt] = d[jt] - t.cp[jt] * x[jt + 1];
        x[jb] = d[jb] - t.cp[jb] * x[jb - 1];
    }
}


// Brennan & Schwartz's sweep (fd_sweep.h) on one track.
template <class Wk>
void brennan_schwartz(Wk &w, typename Wk::TrackT &t, double e)
{
    constexpr bool keep = Wk::DC > 1;
    if (w.side < 0)
        sweep<double, ScalarOps, -1, keep>(w.n, w.lo, w.di, w.up, w.lu, w.g, t.V, t.dp, t.cp, w.k, e,
                                           t.m, t.ex);
    else
        sweep<double, ScalarOps, 1, keep>(w.n, w.lo, w.di, w.up, w.lu, w.g, t.V, t.dp, t.cp, w.k, e,
                                          t.m, t.ex);
}

// The same systems on the kept Brennan & Schwartz elimination: the
// exercise rows (a block at the elimination's far end) read x = 0.
template <class Wk>
void resolve_bs(const Wk &w, const typename Wk::TrackT &t, const double *b, double *x, double *d)
{
    const int n = w.n;
    const double k = w.k;
    const double *__restrict lo = w.lo, *__restrict up = w.up;
    double prev = 0.0;
    if (w.side < 0) {
        for (int j = n; j >= 0; --j)
            d[j] = prev = (b[j] - (-k * up[j]) * prev) * t.m[j];
        prev = 0.0;
        for (int j = 0; j <= n; ++j)
            x[j] = prev = t.ex[j] ? 0.0 : d[j] - t.cp[j] * prev;
    } else {
        for (int j = 0; j <= n; ++j)
            d[j] = prev = (b[j] - (-k * lo[j]) * prev) * t.m[j];
        prev = 0.0;
        for (int j = n; j >= 0; --j)
            x[j] = prev = t.ex[j] ? 0.0 : d[j] - t.cp[j] * prev;
    }
}

// A stage of a time step: with U the values before it, it solves the
// complementarity problem of (I - k L) x = (I + e L) U.  A theta-step of
// size dt is {theta dt, (1 - theta) dt}.
struct Stage {
    double k;      // implicit weight
    double e;      // explicit weight
    double trend;  // first policy from U + trend (U - values before U); 0 after a kink
};

// A stage's right side b = (I + e L) U into t.rhs, U into t.prev, and the
// first policy: Howard's update of the last one on the values extrapolated
// from the last two, U + trend (U - values before U), in one pass.
template <class Wk>
void prepare(Wk &w, typename Wk::TrackT &t, const Stage &st)
{
    const int n = w.n;
    const double *__restrict lo = w.lo, *__restrict di = w.di, *__restrict up = w.up;
    const double *__restrict g = w.g;
    double *__restrict V = t.V, *__restrict prev = t.prev, *__restrict rhs = t.rhs;
    unsigned char *__restrict ex = t.ex;
    const double e = st.e, k = st.k, trend = st.trend;
    // Row j from the values and the guess at j - 1, j, j + 1 (lo[0] = up[n]
    // = 0, and the window holds 0 beyond the ends).
    const auto row = [&](int j, double vm, double v0, double vp, double gm, double g0, double gp) {
        const double r = v0 + e * ((lo[j] * vm + di[j] * v0) + up[j] * vp);
        rhs[j] = r;
        prev[j] = v0;
        ex[j] = ex[j] ? !((g0 - k * ((lo[j] * gm + di[j] * g0) + up[j] * gp)) - r < 0) : g0 < g[j];
    };
    double vm = 0.0, v0 = V[0];
    double gm = 0.0, g0 = v0 + trend * (v0 - prev[0]);
    for (int j = 0; j < n; ++j) {
        const double vp = V[j + 1];
        const double gp = vp + trend * (vp - prev[j + 1]);
        row(j, vm, v0, vp, gm, g0, gp);
        vm = v0;
        v0 = vp;
        gm = g0;
        g0 = gp;
    }
    row(n, vm, v0, 0.0, gm, g0, 0.0);
}

// One stage on T tracks, each complementarity problem solved by policy
// iteration.  The first policy is Howard's update of the last one on the
// values extrapolated linearly from the last two, which is mostly the final
// one: a stage then takes one solve.  The partials follow by
// differentiating the stage's equation on the continuation rows:
//   (I - k L) dx = (I + e L) dU + (dL/dp)(e U + k x).
template <class Wk, int T>
void stage(Wk &w, typename Wk::TrackT *const *tr, const Stage &st, int *solves)
{
    const int n = w.n;
    w.k = st.k;
    const bool sweep = T == 1 && w.one_boundary;
    if (sweep) {
        if (w.partials > 0) {
            for (int j = 0; j <= n; ++j)
                tr[0]->prev[j] = tr[0]->V[j];
        }
        brennan_schwartz(w, *tr[0], st.e);
        *solves += 1;
    } else {
        for (int t = 0; t < T; ++t)
            prepare(w, *tr[t], st);
        for (int it = 0; it < MAX_POLICY_ITERATIONS; ++it) {
            const bool changed = eliminate<Wk, T>(w, tr);
            *solves += T;
            if (!changed)
                break;
        }
    }
    if constexpr (Wk::DC > 1) {  // room for partials
        if (w.partials == 0)
            return;
        for (int t = 0; t < T; ++t) {
            typename Wk::TrackT &x = *tr[t];
            double *W = w.tmp[0];
            for (int j = 0; j <= n; ++j)
                W[j] = st.e * x.prev[j] + st.k * x.V[j];
            for (int q = 0; q < w.partials; ++q) {
                double *dV = x.dV[q];
                add_operator(w.lo, w.di, w.up, n, st.e, dV, x.rhs);
                for (int j = 0; j <= n; ++j) {
                    double DW = w.Ddi[j] * W[j], CW = w.Cdi[j] * W[j];
                    if (j > 0) {
                        DW += w.Dlo[j] * W[j - 1];
                        CW += w.Clo[j] * W[j - 1];
                    }
                    if (j < n) {
                        DW += w.Dup[j] * W[j + 1];
                        CW += w.Cup[j] * W[j + 1];
                    }
                    x.rhs[j] += q == D_SIGMA ? 2 * w.sigma * DW : q == D_R ? CW - W[j] : -CW;
                }
                if (sweep)
                    resolve_bs(w, x, x.rhs, dV, w.tmp[1]);
                else
                    resolve(w, x, x.rhs, dV, w.tmp[1]);
            }
        }
    }
}

template <class Wk>
bool solve_on(Wk &w, const FdScheme &sc, int level, const Problem &p,
              const Schedule &divs, bool both, int partials, NodeValue *with,
              NodeValue *without, int *solves)
{
    if (!begin(w, sc, level, p, divs, partials))
        return false;
    const int n = w.n;

    TimeGrid tg;
    time_grid(sc, level, divs, p.flag, &tg);
    typename Wk::TrackT *const tracks[2] = {&w.track[0], &w.track[Wk::TRACKS - 1]};
    bool split = false;  // the dividend-free track has left the other
    Cursor cursor;
    for (;;) {
        double k = 0.0, e = 0.0, trend = 0.0;
        const Cursor::Event event = cursor.next(tg, &k, &e, &trend);
        if (event == Cursor::END)
            break;
        if (event == Cursor::DROP) {
            if constexpr (Wk::TRACKS == 2) {
                if (both && !split) {
                    copy_track(w.track[0], w.track[1], n, partials);
                    split = true;
                }
            }
            drop(w, w.track[0], e);
            continue;
        }
        if (split)
            stage<Wk, 2>(w, tracks, {k, e, trend}, solves);
        else
            stage<Wk, 1>(w, tracks, {k, e, trend}, solves);
    }
    *with = read_spot(w, w.track[0]);
    if (both)
        *without = read_spot(w, *tracks[split ? 1 : 0]);
    return true;
}

using Solver = bool (*)(const FdScheme &, int, const Problem &, const Schedule &, bool, int,
                        NodeValue *, NodeValue *, int *);

// A solve on its own Work, of its own frame.
template <int CAP, int TR, int PA>
bool run(const FdScheme &sc, int level, const Problem &p, const Schedule &divs, bool both,
         int partials, NodeValue *with, NodeValue *without, int *solves)
{
    Work<CAP, TR, PA> w;
    return solve_on(w, sc, level, p, divs, both, partials, with, without, solves);
}

// Called through pointers, so that no caller inlines them and reserves
// every Work's room at once: a call reserves only the one it needs.
constexpr Solver SMALL[2][2] = {{run<SMALL_NODES, 1, 0>, run<SMALL_NODES, 1, MAX_PARTIALS>},
                                {run<SMALL_NODES, 2, 0>, run<SMALL_NODES, 2, MAX_PARTIALS>}};
constexpr Solver LARGE[2] = {run<FD_MAX_NODES, 1, 0>, run<FD_MAX_NODES, 2, 0>};
constexpr Solver MEDIUM = run<MEDIUM_NODES, 1, MAX_PARTIALS>;  // partials on one track

}  // namespace

bool solve_small(const FdScheme &sc, int level, const Problem &p, const Schedule &divs, bool both,
                 int partials, NodeValue *with, NodeValue *without, int *solves)
{
    if (!fits(sc, level, SMALL_NODES))
        return false;
    const Solver f = SMALL[both ? 1 : 0][partials > 0 ? 1 : 0];
    return f(sc, level, p, divs, both, partials, with, without, solves);
}

bool solve_large(const FdScheme &sc, int level, const Problem &p, const Schedule &divs, bool both,
                 int partials, NodeValue *with, NodeValue *without, int *solves)
{
    if (partials > 0) {
        if (!fits(sc, level, MEDIUM_NODES) || both)
            return false;
        return MEDIUM(sc, level, p, divs, both, partials, with, without, solves);
    }
    if (!fits(sc, level, FD_MAX_NODES))
        return false;
    const Solver f = LARGE[both ? 1 : 0];
    return f(sc, level, p, divs, both, partials, with, without, solves);
}

}  // namespace korvane::kernels::fd
