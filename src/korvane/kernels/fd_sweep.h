// Brennan & Schwartz's sweep of one stage, written once over a value type
// P: double for one solve (fd_solve.cpp), or a pack of several solves
// interleaved by row, which the sweep advances in lockstep (fd_lanes.cpp,
// fd_lanes_avx2.cpp).  Every operation is elementwise, so each lane of a
// pack computes the doubles the one-solve sweep computes.
//
// Only templates here: a translation unit built for another instruction set
// instantiates them on its own types and shares no code with the others.
#ifndef KORVANE_FD_SWEEP_H
#define KORVANE_FD_SWEEP_H

namespace korvane::kernels::fd {

// Where every step's exercise set is one block at an end of the grid (a
// put's at the bottom, a call's at the top), the stage's complementarity
// problem min((I - k L) x - b, x - g) = 0 is solved exactly by one
// elimination from the other end (the continuation side) and a
// back-substitution from the exercise side that takes max(x, g) row by row
// (Brennan & Schwartz 1977; Jaillet, Lamberton & Lapeyre 1990).  DIR is the
// elimination's direction: -1 from the top (a put), +1 from the bottom (a
// call).  The right side b = (I + e L) U is computed on the way (U in V,
// overwritten by x).
//
// The elimination is in continuant form: eliminating in DIR's order, the
// pivot of a row is p_i / p_{i-1}, p the leading minors, which follow the
// three-term recurrence p_i = b_i p_{i-1} - a_i c_{i-1} p_{i-2}, and the
// eliminated right side is dp_i = q_i / p_i with q_i = r_i p_{i-1} -
// a_i q_{i-1} (a the coupling to the row eliminated before, c to the one
// after, b the diagonal).  The chain's critical path is then a
// multiplication and a subtraction a row; the reciprocals leave it.  The
// minors grow along the chain (the matrix is diagonally dominant) and are
// scaled by 2^-128 where they pass 2^128: an exact scaling, which changes
// no ratio, so the results do not depend on when (or with which other
// lanes) a lane is scaled.
//
// With KEEP the inverse pivots go to m and the exercise set to ex (for the
// partials' systems).  Ops supplies, for P: splat(x), less(a, b) as a mask,
// select(mask, a, b), and any(mask).
template <class P, class Ops, int DIR, bool KEEP>
void sweep(int n, const P *lo, const P *di, const P *up, const P *lu, const P *g, P *V, P *dp,
           P *cp, P k, P e, P *m, unsigned char *ex)
{
    const P k2 = k * k, one = Ops::splat(1.0), zero = Ops::splat(0.0);

    const P large = Ops::splat(0x1p128), shrink = Ops::splat(0x1p-128);
    P p1 = one, p2 = zero, q1 = zero;  // p_{i-1}, p_{i-2}, q_{i-1}
    const auto row = [&](int j) {
        const int jm = j > 0 ? j - 1 : 0, jp = j < n ? j + 1 : n;  // lo[0] = up[n] = 0
        const P b = one - k * di[j];
        const P ac = DIR < 0 ? k2 * lu[j + 1] : k2 * lu[j];  // lu[0] = lu[n + 1] = 0
        const P ar = DIR < 0 ? k * up[j] : k * lo[j];
        const P next = DIR < 0 ? -(k * lo[j]) : -(k * up[j]);
        const P r = V[j] + e * ((lo[j] * V[jm] + di[j] * V[j]) + up[j] * V[jp]);
        const P p = b * p1 - ac * p2;
        const P q = r * p1 + ar * q1;
        const P inv = one / p;
        dp[j] = q * inv;
        cp[j] = (next * p1) * inv;
        if constexpr (KEEP)
            m[j] = p1 * inv;
        p2 = p1;
        p1 = p;
        q1 = q;
        const auto big = Ops::less(large, p);
        if (Ops::any(big)) {
            const P s = Ops::select(big, shrink, one);
            p2 = p2 * s;
            p1 = p1 * s;
            q1 = q1 * s;
        }
    };
    if (DIR < 0) {
        for (int j = n; j >= 0; --j)
            row(j);
    } else {
        for (int j = 0; j <= n; ++j)
            row(j);
    }
    // Back-substitution from the exercise side: x_j = dp_j - cp_j x_{j - DIR}.
    P x = zero;
    const auto back = [&](int j) {
        const P y = dp[j] - cp[j] * x;
        const auto below = Ops::less(y, g[j]);
        x = Ops::select(below, g[j], y);
        V[j] = x;
        if constexpr (KEEP)
            ex[j] = Ops::any(below);
    };
    if (DIR < 0) {
        for (int j = 0; j <= n; ++j)
            back(j);
    } else {
        for (int j = n; j >= 0; --j)
            back(j);
    }
}

// Ops for one solve in doubles.
struct ScalarOps {
    static double splat(double x) { return x; }
    static bool less(double a, double b) { return a < b; }
    static double select(bool mask, double a, double b) { return mask ? a : b; }
    static bool any(bool mask) { return mask; }
};

}  // namespace korvane::kernels::fd

#endif  // KORVANE_FD_SWEEP_H
