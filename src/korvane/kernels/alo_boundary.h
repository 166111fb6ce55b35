// The exercise boundary of the fixed-point American kernels (alo.h): its QD
// start and Newton's method on the collocation equations of Andersen, Lake &
// Offengenden (2016) at Chebyshev nodes.  Internal to the kernels: namespace
// alo_detail.
//
// The put is the core; the call is the put with spot and strike, rate and
// yield exchanged (McDonald & Schroder 1998).  On a maturity scaled to one,
// the put with boundary B(u) (u = time to expiry) is worth (Kim 1990)
//   V = p(S) + int_0^1 [r K e^{-r t} Phi(-d-(t, S/B(u)))
//                       - q S e^{-q t} Phi(-d+(t, S/B(u)))] du,   t = 1 - u,
// with p the European put and d+-(t, z) = (ln z + (r - q) t +- vol^2 t/2)/(vol sqrt t).
// Smooth pasting, dV/dS = -1 at S = B(tau), is ALO's FP-B' equation with its
// two equal terms phi(d+-(tau, B/K))/(vol sqrt tau) taken off both sides:
// with s = tau - u and F(tau) = K e^{-(r-q) tau},
//   rho(tau) = (B/F) [Phi(d+(tau, B/K))
//                     + q int_0^tau e^{q u} (Phi(d+(s, .)) + phi(d+(s, .))/(vol sqrt s)) du]
//              - r int_0^tau e^{r u} phi(d-(s, B(tau)/B(u)))/(vol sqrt s) du = 0.
// ALO iterate B = F N/D on it, which contracts only while r is small
// against vol^2 and q is not far below zero (the D of a negative yield is a
// difference of near-equal terms); Newton's method on the n equations at
// the nodes, with the exact Jacobian of the discretised residual, converges
// quadratically in every regime from the QD start and needs no switch of
// form.  The boundary is held as H = ln(B/X)^2 against sqrt(tau/tau_max)
// (alo_grid.h), X = K min(1, r/q) its limit at expiry (K without a positive
// yield above r); the unknowns are s = ln(X/B) >= 0 at the nodes.  B and X
// scale with K, so s depends on r, q and vol alone: the boundary is solved
// for the put of unit strike, K = 1, whose doubles serve every strike.
#ifndef KORVANE_ALO_BOUNDARY_H
#define KORVANE_ALO_BOUNDARY_H

#include <cfloat>
#include <cmath>
#include <type_traits>

#include "alo_dual.h"
#include "alo_grid.h"
#include "alo_tables.h"

namespace korvane::kernels::alo_detail {

inline constexpr double QD_TOLERANCE = 1e-4;  // the QD Newton's last step in ln B
inline constexpr int QD_ITERATIONS = 20;      // most QD Newton steps at a node
inline constexpr int QD_LOCKSTEP = 12;        // most at all nodes at once
// The QD seed's share of the way from X towards the perpetual boundary (the
// one that takes the fewest steps at the slowest node, measured).
inline constexpr double QD_SEED_SHARE = 0.7;
inline constexpr double MAX_STEP = 0.5;       // largest Newton step in any node's ln B
// The boundary's level against the forward, B/F = e^{ln X - s}/F, carries
// rounding of a few ulp of ln X: no step in s finer than this is meaningful.
inline constexpr double LEVEL_NOISE = 1e-14;

// The put on the unit maturity with r >= 0 and vol > 0.
template <class T>
struct Rates {
    T r;    // riskless rate
    T q;    // dividend yield
    T vol;  // volatility, also the total standard deviation
};

// ln(X/K), X = K min(1, r/q) the boundary's limit at expiry.
template <class T>
T ln_start(const Rates<T> &m)
{
    return value(m.q) > value(m.r) ? log_of(m.r / m.q) : T(0.0);
}

// Per node and quadrature point of the boundary integrals, what does not
// depend on the boundary; u = tau - s is the point's time to expiry.  Node
// i's point k is at i LCAP + k: a pass can run over many nodes' points.
// Most points a pass of node_terms takes (its arrays live on the stack).
inline constexpr int NODE_PASS = 256;

template <class T, int NCAP, int LCAP>
struct NodeTerms {
    T wN[NCAP * LCAP];       // r e^{r u} du/(vol sqrt(2 pi s)), weighing e^{-d-^2/2}
    T wD1[NCAP * LCAP];      // q e^{q u} du, weighing Phi(d+)
    T wD2[NCAP * LCAP];      // q e^{q u} du/(vol sqrt(2 pi s)), weighing e^{-d+^2/2}
    T carry[NCAP * LCAP];    // e^{-(r-q) s}, as e^{-d+^2/2} = e^{-d-^2/2} e^{-(r-q)s} B(u)/B(tau)
    T drift[NCAP * LCAP];    // (r - q) s - vol^2 s/2
    T sd[NCAP * LCAP];       // vol sqrt s
    T inv_sd[NCAP * LCAP];   // 1/(vol sqrt s)
    double xi[NCAP * LCAP];  // u on the Chebyshev axis, 2 sqrt(u/tau_max) - 1
    T forward[NCAP];         // F(tau) = e^{-(r-q) tau} per node (K = 1)
    double root_tau[NCAP];   // sqrt(tau) per node
    T ln_XK;                 // ln(X/K)
    bool yield;              // q != 0: without it the integral of D vanishes, partials and all
};

// The geometry (nodes, points, weights) comes from the rates' values alone,
// so for a dual T the partials are those of the discretised problem at a
// fixed discretisation.
template <class T, int NCAP, int LCAP>
void node_terms(const Tables &tb, const Span &sp, const Rates<T> &m,
                NodeTerms<T, NCAP, LCAP> &nt)
{
    // Nodes a block, their points end to end (node i's k-th at i LCAP + k)
    // and each pass over all of them.  A node's points beyond l repeat its
    // first at no weight, so that every element is a point.
    constexpr int R = LCAP >= NODE_PASS ? 1 : NODE_PASS / LCAP < NCAP ? NODE_PASS / LCAP : NCAP;
    constexpr int E = R * LCAP;
    const int n = tb.n;
    const int l = tb.inner.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    nt.ln_XK = ln_start(m);
    nt.yield = !is_zero(q);
    T carry_tau[NCAP] = {};  // e^{-(r-q) tau}
    for (int i = 0; i < n; ++i) {
        const double rt = sp.root_max * tb.x[i];
        nt.root_tau[i] = rt;
        carry_tau[i] = (q - r) * (rt * rt);
    }
    exp_pass<NCAP>(carry_tau, carry_tau, n);
    for (int i = 0; i < n; ++i)
        nt.forward[i] = carry_tau[i];
    for (int i0 = 0; i0 < n; i0 += R) {
        const int rows = n - i0 < R ? n - i0 : R;
        const int e = rows * LCAP;  // the block's points
        const int o = i0 * LCAP;    // the first's place in nt
        double z[E], wz[E];         // the rule's abscissa and weight
        double xn[E];               // the node on [0, 1]
        double tau[E], rt[E];       // its tau and sqrt(tau)
        double b[E], inv_sb[E];     // its stretch (Stretch)
        double small[E];            // 1 where the stretch takes its series alone
        T ct[E];                    // e^{-(r-q) tau}
        for (int i = i0; i < i0 + rows; ++i) {
            const double rti = nt.root_tau[i];
            const Stretch st = make_stretch(sp.kappa * (rti * rti) / INNER_STRETCH);
            for (int k = 0; k < LCAP; ++k) {
                const int at = (i - i0) * LCAP + k;
                z[at] = tb.inner.z[k < l ? k : 0];
                wz[at] = k < l ? tb.inner.w[k] : 0.0;
                xn[at] = tb.x[i];
                tau[at] = rti * rti;
                rt[at] = rti;
                b[at] = st.b;
                inv_sb[at] = st.inv_sb;
                small[at] = st.small ? 1.0 : 0.0;
                ct[at] = carry_tau[i];
            }
        }
        double v[E], dv[E];
        stretch_pass<E>(b, inv_sb, small, z, e, v, dv);
        double s_[E], root_s[E], one_m[E], ds[E], ds_root[E];  // the Point
        for (int k = 0; k < e; ++k) {
            const Point pt = point_of(v[k], dv[k], tau[k], rt[k], wz[k]);
            s_[k] = pt.s;
            root_s[k] = pt.root_s;
            one_m[k] = pt.one_m;
            ds[k] = pt.ds;
            ds_root[k] = pt.ds_root;
        }
        T eru[E], equ[E] = {};  // e^{r u}, e^{q u}
        for (int k = 0; k < e; ++k) {
            const double u = tau[k] * (one_m[k] * one_m[k]);
            nt.xi[o + k] = 2 * (xn[k] * one_m[k]) - 1;
            eru[k] = r * u;
            equ[k] = q * u;
        }
        exp_pass<E>(eru, eru, e);
        for (int k = 0; k < e; ++k)
            nt.wN[o + k] = r * eru[k] * (ds_root[k] * INV_SQRT_2PI) / vol;
        if (nt.yield) {
            exp_pass<E>(equ, equ, e);
            for (int k = 0; k < e; ++k) {
                nt.wD1[o + k] = q * equ[k] * ds[k];
                nt.wD2[o + k] = q * equ[k] * (ds_root[k] * INV_SQRT_2PI) / vol;
                // e^{-(r-q)s} = e^{-(r-q)tau} e^{ru}/e^{qu}.
                nt.carry[o + k] = ct[k] * eru[k] / equ[k];
            }
        }
        for (int k = 0; k < e; ++k) {
            nt.drift[o + k] = (r - q) * s_[k] - 0.5 * (v2 * s_[k]);
            nt.sd[o + k] = vol * root_s[k];
            nt.inv_sd[o + k] = 1.0 / nt.sd[o + k];
        }
    }
}

// The Chebyshev cardinal functions W_j (j < n; H vanishes at the last node,
// B(0) = X) at each node's quadrature points, so that H(u_ik) = sum_j
// W_j(xi_ik) H_j and the Jacobian's sums over the points are plain
// products.  They depend on the geometry alone: built once a solve where
// they fit (HELD), else node by node as residuals needs them.  Both layouts
// are kept, so that either sum runs over consecutive doubles: H's over all
// the nodes' points at once, the Jacobian's over the nodes j.
template <int NCAP, int LCAP>
struct Cardinals {
    static constexpr bool HELD = NCAP * LCAP * NCAP <= 20 * 20 * 20;
    static constexpr int ROWS = HELD ? NCAP : 1;
    static constexpr int POINTS = ROWS * LCAP;  // node i's point k at i LCAP + k
    double w[POINTS][NCAP];   // w[i LCAP + k][j] = W_j(xi_ik)
    double wt[NCAP][POINTS];  // wt[j][i LCAP + k] = W_j(xi_ik)
};

// W_j(xi_k) for j < n at the m points xi by the barycentric formula on the
// extrema xi_j = cos(j pi/n), weights (-1)^j halved at the ends (Berrut &
// Trefethen 2004): n + 1 divisions a point, no recurrence; into card's
// points from `at` on.  The points are the inner loop, so that each point's
// sum over j keeps its order whatever the vector width.
template <int NCAP, int LCAP>
void cardinal_points(const Tables &tb, const double *xi, int m, Cardinals<NCAP, LCAP> &card, int at)
{
    const int n = tb.n;
    double node[NCAP + 1], weight[NCAP + 1];
    for (int j = 0; j <= n; ++j) {
        node[j] = tb.cheb[j * (n + 1) + 1];
        weight[j] = (j == 0 || j == n ? 0.5 : 1.0) * (j % 2 ? -1.0 : 1.0);
    }
    double sum[Cardinals<NCAP, LCAP>::POINTS];  // sum_j w_j/(xi_k - xi_j)
    for (int k = 0; k < m; ++k)
        sum[k] = 0.0;
    for (int j = 0; j < n; ++j) {
        double *Wt = card.wt[j] + at;
        for (int k = 0; k < m; ++k) {
            Wt[k] = weight[j] / (xi[k] - node[j]);
            sum[k] += Wt[k];
        }
    }
    for (int k = 0; k < m; ++k)
        sum[k] += weight[n] / (xi[k] - node[n]);
    // A point on a node divides by zero there, which leaves its sum
    // infinite (or NaN); no other point's sum leaves the finite doubles.
    int on_node = 0;
    for (int k = 0; k < m; ++k)
        on_node += !(std::fabs(sum[k]) <= DBL_MAX);
    for (int k = 0; k < m; ++k)
        sum[k] = 1 / sum[k];
    for (int j = 0; j < n; ++j)
        for (int k = 0; k < m; ++k)
            card.wt[j][at + k] *= sum[k];
    for (int k = 0; k < m && on_node; ++k)
        for (int j = 0; j <= n; ++j)
            if (xi[k] == node[j])  // there its own value
                for (int jj = 0; jj < n; ++jj)
                    card.wt[jj][at + k] = jj == j ? 1.0 : 0.0;
    for (int k = 0; k < m; ++k)
        for (int j = 0; j < n; ++j)
            card.w[at + k][j] = card.wt[j][at + k];
    // Zeros beyond the scheme's nodes: the Jacobian's sums run to the
    // capacity, whole vectors.
    if (n < NCAP)
        for (int k = 0; k < m; ++k)
            for (int j = n; j < NCAP; ++j)
                card.w[at + k][j] = 0.0;
}

template <int NCAP, int LCAP, class NT>
void cardinals(const Tables &tb, const NT &nt, Cardinals<NCAP, LCAP> &card)
{
    const int l = tb.inner.n;
    if constexpr (Cardinals<NCAP, LCAP>::HELD) {
        if (l == LCAP)  // every node's points end to end
            cardinal_points(tb, nt.xi, tb.n * LCAP, card, 0);
        else
            for (int i = 0; i < tb.n; ++i)
                cardinal_points(tb, nt.xi + i * LCAP, l, card, i * LCAP);
    }
}

// Phi(x_k) from e_k = exp(-x_k^2/2) on m <= CAP elements, element by
// element (normal.h).
template <int CAP>
void ncdf_pass(const double *x, const double *e, double *out, int m)
{
    for (int k = 0; k < m; ++k)
        out[k] = norm_cdf_given_exp(x[k], e[k]);
}
template <int CAP, int N>
void ncdf_pass(const Dual<N> *x, const Dual<N> *e, Dual<N> *out, int m)
{
    double xv[CAP], ev[CAP], v[CAP];  // the doubles' pass
    for (int k = 0; k < m; ++k) {
        xv[k] = x[k].v;
        ev[k] = e[k].v;
    }
    ncdf_pass<CAP>(xv, ev, v, m);
    for (int k = 0; k < m; ++k)
        out[k] = chain(x[k], v[k], INV_SQRT_2PI * ev[k]);
}

// The QD+ boundary of the put (Li 2010; Andersen, Lake & Offengenden 2016,
// their start): the quadratic (QD) condition of MacMillan (1986) and
// Barone-Adesi & Whaley (1987) with the exponent of Li (2005),
// h = 1 - e^{-r tau}, alpha = 2r/vol^2, beta = 2(r - q)/vol^2,
//   lambda = (-(beta - 1) - sqrt((beta - 1)^2 + 4 alpha/h))/2,
//   (1 - e^{-q tau} Phi(-d+(tau, B/K))) B + (lambda + c0) (K - B - p(B)) = 0,
// with Li's correction for the premium's decay in time,
//   c0 = -(1 - h) alpha/(2 lambda + beta - 1)
//        [1/h - e^{r tau} Theta(B)/(r (K - B - p(B))) + lambda'(h)/(2 lambda + beta - 1)],
// Theta the European put's theta, lambda'(h) = alpha/(h^2 sqrt(...)); c0 = 0
// (QD) at r = 0 and wherever it leaves the finite doubles; K = 1.  It lies
// several times closer to the collocation boundary than QD's, which saves
// the solve a Newton step.  Its terms at the nodes:
template <int NCAP>
struct QdNodes {
    double r, q, v2;               // the rates and vol^2
    double ln_X;                   // ln(X/K)
    double tau[NCAP], sd[NCAP];    // the node's maturity and vol sqrt(tau)
    double dr[NCAP], dq[NCAP];     // e^{-r tau}, e^{-q tau}
    double lambda[NCAP];           // the QD exponent
    double c_scale[NCAP];          // c0 = c_scale (c_shift - e^{r tau} Theta/(r (K - B - p)))
    double c_shift[NCAP];
    double live[NCAP];             // 1 while the node's last step exceeded QD_TOLERANCE
};

// Newton in ln B on the QD+ condition at nodes [a, b) from ln_B there, in
// passes over the nodes, at most `iterations` steps, each bounded and each
// node stopped at its own step of QD_TOLERANCE (it is only a start).
// Returns how many are still live.
template <int NCAP>
int qd_newton(QdNodes<NCAP> &qn, int a, int b, int iterations, double *ln_B)
{
    const int m = b - a;
    const double r = qn.r, q = qn.q, v2 = qn.v2;
    int left = m;  // nodes still live
    for (int it = 0; it < iterations && left; ++it) {
        double B[NCAP];                       // e^{ln B}
        exp_pass<NCAP>(ln_B + a, B, m);
        double dm[NCAP], dp[NCAP];            // -d-, -d+ at the iterate
        double em[NCAP] = {}, ep[NCAP] = {};  // e^{-d-^2/2}, e^{-d+^2/2}
        double Pm[NCAP], Pp[NCAP];            // Phi(-d-), Phi(-d+)
        for (int k = 0; k < m; ++k) {
            const int i = a + k;
            const double d = (ln_B[i] + (r - q) * qn.tau[i] - 0.5 * (v2 * qn.tau[i])) / qn.sd[i];
            dm[k] = -d;
            dp[k] = -(d + qn.sd[i]);
            em[k] = -0.5 * (d * d);
            ep[k] = -0.5 * (dp[k] * dp[k]);
        }
        exp_pass<NCAP>(em, em, m);
        exp_pass<NCAP>(ep, ep, m);
        ncdf_pass<NCAP>(dm, em, Pm, m);
        ncdf_pass<NCAP>(dp, ep, Pp, m);
        left = 0;
        for (int k = 0; k < m; ++k) {
            const int i = a + k;
            const double tau = qn.tau[i], sd = qn.sd[i], dq = qn.dq[i];
            const double np = dq * Pp[k];                             // e^{-q tau} Phi(-d+) = -p'(B)
            const double gap = 1 - B[k] - (qn.dr[i] * Pm[k] - B[k] * np);  // K - B - p(B)
            const double pdf = INV_SQRT_2PI * ep[k];                  // phi(d+)
            // Theta and its slope in B (r e^{-r tau} phi(d-) = r B e^{-q tau} phi(d+)).
            const double theta = r * qn.dr[i] * Pm[k] - q * B[k] * np - B[k] * dq * pdf * sd / (2 * tau);
            const double dtheta = dq * (-(r - q) * pdf / sd - q * Pp[k] + sd / (2 * tau) * pdf * (-dp[k] / sd - 1));
            const double ratio = theta / (qn.dr[i] * r * gap);       // e^{r tau} Theta/(r (K - B - p))
            double c0 = qn.c_scale[i] * (qn.c_shift[i] - ratio);
            double dc0 = -qn.c_scale[i] * (dtheta - ratio * (qn.dr[i] * r) * (np - 1)) / (qn.dr[i] * r * gap);
            const bool finite = std::fabs(c0) <= DBL_MAX && std::fabs(dc0) <= DBL_MAX;
            c0 = finite ? c0 : 0.0;
            dc0 = finite ? dc0 : 0.0;
            const double slope = qn.lambda[i] + c0;
            const double g = (1 - np) * B[k] + slope * gap;
            const double dg = (1 - np) + dq * pdf / sd + slope * (np - 1) + dc0 * gap;  // dg/dB
            double step = g / (dg * B[k]);  // Newton step in ln B
            step = step < 0.5 && step > -0.5 ? step : step > 0 ? 0.5 : -0.5;
            // Far below the root g turns over (dg <= 0) and Newton would
            // run away from it: back half the way to X instead.
            step = dg > 0 ? step : -0.5 * (qn.ln_X - ln_B[i]);
            step = qn.live[i] != 0 ? step : 0.0;
            ln_B[i] -= step;
            qn.live[i] = step < QD_TOLERANCE && step > -QD_TOLERANCE ? 0.0 : 1.0;
            left += qn.live[i] != 0;
        }
    }
    return left;
}

// The QD+ boundary's s = ln(X/B) at the nodes, held in [0, cap] (cap the
// perpetual gap); s[n] = 0 (B(0) = X).  All nodes at once from Barone-Adesi
// & Whaley's seed in ln B, QD_SEED_SHARE of the gap times 1 - e^h,
// h = ((r - q) tau - 2 vol sqrt(tau))/(1 - e^{-cap}) held at or below zero,
// the gap where there is none (r = 0) the variance's scale 1 + vol^2 tau.
// A node still moving after QD_LOCKSTEP steps (a boundary tens of units of
// ln B deep, where each step gains about one) starts again, from the
// shortest maturity up, from the line through the two nodes before it in
// sqrt(tau), on which ln B is nearly straight.
template <int NCAP>
void qd_start(const Tables &tb, const Span &sp, double r, double q, double vol, double cap,
              double *s)
{
    const int n = tb.n;
    QdNodes<NCAP> qn{};
    qn.r = r;
    qn.q = q;
    qn.v2 = vol * vol;
    qn.ln_X = value(ln_start(Rates<double>{r, q, vol}));
    const double beta_m1 = 2 * (r - q) / qn.v2 - 1;
    const double spread = -std::expm1(-cap);  // 1 - B_inf/X
    double seed[NCAP] = {};                   // e^h
    double ln_B[NCAP] = {};                   // the iterate
    for (int i = 0; i < n; ++i) {
        const double rt = sp.root_max * tb.x[i];
        qn.tau[i] = rt * rt;
        qn.sd[i] = vol * rt;
        qn.dr[i] = -r * qn.tau[i];
        qn.dq[i] = -q * qn.tau[i];
        const double h = ((r - q) * qn.tau[i] - 2 * qn.sd[i]) / spread;
        seed[i] = h < 0 ? h : 0.0;
        qn.live[i] = 1.0;
    }
    exp_pass<NCAP>(qn.dr, qn.dr, n);
    exp_pass<NCAP>(qn.dq, qn.dq, n);
    exp_pass<NCAP>(seed, seed, n);
    for (int i = 0; i < n; ++i) {
        const double x = r * qn.tau[i];
        // 1 - e^{-r tau}, by its series where the difference would cancel.
        const double h = x < 1e-2 ? x * (1 - x * (0.5 - x * (1.0 / 6 - x * (1.0 / 24)))) : 1 - qn.dr[i];
        const double r_h = r > 0 ? r / h : 1 / qn.tau[i];
        const double alpha = 2 * r / qn.v2;
        const double root = std::sqrt(beta_m1 * beta_m1 + 4 * (2 / qn.v2) * r_h);  // -(2 lambda + beta - 1)
        qn.lambda[i] = (-beta_m1 - root) * 0.5;
        qn.c_scale[i] = r > 0 ? (1 - h) * alpha / root : 0.0;
        qn.c_shift[i] = r > 0 ? 1 / h - alpha / (h * h * (root * root)) : 0.0;
        const double variance = 1 + qn.v2 * qn.tau[i];
        const double reach = cap < variance ? cap : variance;
        ln_B[i] = qn.ln_X - QD_SEED_SHARE * reach * (1 - seed[i]);
    }
    if (qd_newton(qn, 0, n, QD_LOCKSTEP, ln_B))
        for (int i = n - 1; i >= 0; --i) {
            if (qn.live[i] == 0)
                continue;
            ln_B[i] = i == n - 1 ? qn.ln_X
                    : i == n - 2 ? ln_B[i + 1]
                    : ln_B[i + 1] + (ln_B[i + 1] - ln_B[i + 2]) * ((tb.x[i] - tb.x[i + 1]) / (tb.x[i + 1] - tb.x[i + 2]));
            qd_newton(qn, i, i + 1, QD_ITERATIONS, ln_B);
        }
    for (int i = 0; i < n; ++i) {
        const double si = ln_B[i] < qn.ln_X ? qn.ln_X - ln_B[i] : 0.0;
        s[i] = si < cap ? si : cap;
    }
    s[n] = 0.0;  // B(0) = X
    // H = s^2 has no slope in s at zero, so a node started at B = X (the QD
    // boundary rounded to X) would never move: scale it from its neighbour
    // with the sqrt(tau) of the boundary's start.
    for (int i = 1; i < n; ++i)
        if (!(s[i] > 0))
            s[i] = s[i - 1] * (tb.x[i] / tb.x[i - 1]);
}

// The residuals rho at the nodes for the boundary s = ln(X/B) (doubles: in
// the partials' pass the boundary is held and the rates carry them), and,
// when J is given (T = double), the Jacobian d rho_i/d s_j, row-major n x n;
// when dvol is given (T = double), d rho_i/d vol at the boundary held.
//
// With L_ik = ln(B(tau_i)/B(u_ik)) = sqrt(H(u_ik)) - s_i and H(u) = sum_j
// W_j(u) s_j^2 (W_j the Chebyshev cardinal functions),
//   d rho_i/d s_j = [-(B/F)(D_i + phi(d+(tau_i))/(vol sqrt tau_i)) - sum_k g_ik] delta_ij
//                   + sum_k g_ik W_j(u_ik) s_j/sqrt(H(u_ik)),
// g_ik = d rho_i/d L_ik, the W_j(u_ik) from `card`.  In vol, with s held,
// d(d-)/dvol = -d+/vol and d(d+)/dvol = -d-/vol, and the weights of the
// densities scale as 1/vol, so
//   d rho_i/d vol = (B/F)(phi(d+(tau_i)) (-d-(tau_i)) + sum_k [wD2 e^{-d+^2/2} (d- d+ - 1)
//                   - wD1 phi(d+) d-]) / vol - sum_k wN e^{-d-^2/2} (d- d+ - 1)/vol.
//
// The integrands are evaluated in elementwise passes (a vector unit's
// lanes) over the points of a block of nodes, every node's points end to
// end where the cardinals are held, and summed over each node's points in
// their order: the doubles do not depend on the vector width or the block.
template <class T, int NCAP, int LCAP>
void residuals(const Tables &tb, const NodeTerms<T, NCAP, LCAP> &nt, Cardinals<NCAP, LCAP> &card,
               const Rates<T> &m, const double *s, T *rho, double *J, double *dvol = nullptr)
{
    using Card = Cardinals<NCAP, LCAP>;
    constexpr int R = Card::HELD ? NCAP : 1;  // most nodes a block
    constexpr int E = R * LCAP;               // most points a block
    const int n = tb.n;
    const int l = tb.inner.n;
    // Nodes a block: as many as fit where each fills its LCAP points.
    const int per = Card::HELD && l == LCAP ? R : 1;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    double H[NCAP] = {};  // s^2 at the nodes (0 at the last)
    for (int i = 0; i < n; ++i)
        H[i] = s[i] * s[i];
    // The terms outside the integrals, at z = B/K, in passes over the nodes.
    T B_F[NCAP] = {};  // B/F
    T sd0[NCAP];       // vol sqrt(tau)
    T dp0[NCAP];       // d+(tau)
    T ep0[NCAP] = {};  // e^{-d+^2/2}
    T D0[NCAP];        // Phi(d+)
    for (int i = 0; i < n; ++i)
        B_F[i] = nt.ln_XK - s[i];
    exp_pass<NCAP>(B_F, B_F, n);
    for (int i = 0; i < n; ++i) {
        const double rt = nt.root_tau[i];
        const double tau = rt * rt;
        B_F[i] = B_F[i] / nt.forward[i];
        sd0[i] = vol * rt;
        dp0[i] = (nt.ln_XK - s[i] + (r - q) * tau + 0.5 * (v2 * tau)) / sd0[i];
        ep0[i] = -0.5 * (dp0[i] * dp0[i]);
    }
    exp_pass<NCAP>(ep0, ep0, n);
    ncdf_pass<NCAP>(dp0, ep0, D0, n);
    for (int i0 = 0; i0 < n; i0 += per) {
        const int rows = n - i0 < per ? n - i0 : per;
        const int e = (rows - 1) * LCAP + l;  // the block's points, node i's k-th at (i - i0) LCAP + k
        const int o = i0 * LCAP;              // the block's first in nt
        const int c = Card::HELD ? o : 0;     // the block's first in card
        if constexpr (!Card::HELD)
            cardinal_points(tb, nt.xi + o, l, card, 0);
        double Hu[E];  // H at the points, each a sum over j in order
        double sH[E];  // s_i at node i's points
        for (int k = 0; k < e; ++k)
            Hu[k] = 0.0;
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < e; ++k)
                Hu[k] += card.wt[j][c + k] * H[j];
        for (int i = i0; i < i0 + rows; ++i)
            for (int k = 0; k < l; ++k)
                sH[(i - i0) * LCAP + k] = s[i];
        double sHu[E];  // ln(X/B(u))
        T dm[E];        // d-(s, B(tau)/B(u))
        T em[E];        // e^{-d-^2/2}
        T ep[E] = {};   // e^{-d+^2/2} = e^{-d-^2/2} e^{-(r-q)s} B(u)/B(tau)
        T dp[E] = {};   // d+ = d- + vol sqrt s
        T P[E] = {};    // Phi(d+)
        sqrt_pos_pass(Hu, sHu, e);
        for (int k = 0; k < e; ++k) {
            dm[k] = ((sHu[k] - sH[k]) + nt.drift[o + k]) * nt.inv_sd[o + k];
            em[k] = -0.5 * (dm[k] * dm[k]);
        }
        exp_pass<E>(em, em, e);
        if (nt.yield) {
            double ey[E];  // B(u)/B(tau) = e^{s_i - sHu}
            for (int k = 0; k < e; ++k)
                ey[k] = sH[k] - sHu[k];
            exp_pass<E>(ey, ey, e);
            for (int k = 0; k < e; ++k) {
                ep[k] = em[k] * nt.carry[o + k] * ey[k];
                dp[k] = dm[k] + nt.sd[o + k];
            }
            ncdf_pass<E>(dp, ep, P, e);
        }
        for (int i = i0; i < i0 + rows; ++i) {
            const int b = (i - i0) * LCAP;  // node i's first point in the block
            T N = 0.0;
            T D = D0[i];
            for (int k = b; k < b + l; ++k)
                N += nt.wN[o + k] * em[k];
            if (nt.yield)
                for (int k = b; k < b + l; ++k)
                    D += nt.wD1[o + k] * P[k] + nt.wD2[o + k] * ep[k];
            rho[i] = B_F[i] * D - N;
            if constexpr (std::is_same_v<T, double>) {
                if (dvol) {
                    double dN = 0.0;
                    double dD = INV_SQRT_2PI * ep0[i] * (sd0[i] - dp0[i]);
                    for (int k = b; k < b + l; ++k)
                        dN += nt.wN[o + k] * em[k] * (dm[k] * (dm[k] + nt.sd[o + k]) - 1);
                    if (nt.yield)
                        for (int k = b; k < b + l; ++k)
                            dD += nt.wD2[o + k] * ep[k] * (dm[k] * dp[k] - 1)
                                  - nt.wD1[o + k] * (INV_SQRT_2PI * ep[k]) * dm[k];
                    dvol[i] = (B_F[i] * dD - dN) / vol;
                }
                if (!J)
                    continue;
                double row[NCAP] = {};  // sum_k a_k W_j(xi_k), a_k = g_k/sqrt(H(u_k))
                double diag = -B_F[i] * (D + INV_SQRT_2PI * ep0[i] / sd0[i]);
                double g[LCAP];  // d rho/d L at the points
                for (int k = 0; k < l; ++k)
                    g[k] = nt.wN[o + b + k] * em[b + k] * dm[b + k] * nt.inv_sd[o + b + k];
                if (nt.yield)
                    for (int k = 0; k < l; ++k)
                        g[k] += B_F[i] * ep[b + k] * nt.inv_sd[o + b + k] *
                                (nt.wD1[o + b + k] * INV_SQRT_2PI - nt.wD2[o + b + k] * dp[b + k]);
                const double(*W)[NCAP] = card.w + c + b;
                for (int k = 0; k < l; ++k) {
                    diag -= g[k];
                    if (!(Hu[b + k] > 0))
                        continue;  // sqrt(H) held at zero
                    const double a = g[k] / sHu[b + k];
                    for (int j = 0; j < NCAP; ++j)
                        row[j] += a * W[k][j];
                }
                for (int j = 0; j < n; ++j)
                    J[i * n + j] = row[j] * s[j];
                J[i * n + i] += diag;
            }
        }
    }
}

// LU factorisation with partial pivoting of the n x n row-major A in place;
// false when singular.  N is int, or std::integral_constant for an order
// known when compiling (its loops then unroll and vectorise).
template <class N>
bool lu_factor_n(double *A, N n, int *piv)
{
    for (int k = 0; k < n; ++k) {
        int p = k;
        for (int i = k + 1; i < n; ++i)
            if (std::fabs(A[i * n + k]) > std::fabs(A[p * n + k]))
                p = i;
        piv[k] = p;
        if (!(A[p * n + k] != 0))
            return false;
        if (p != k)
            for (int j = 0; j < n; ++j) {
                const double t = A[k * n + j];
                A[k * n + j] = A[p * n + j];
                A[p * n + j] = t;
            }
        for (int i = k + 1; i < n; ++i) {
            const double f = A[i * n + k] / A[k * n + k];
            A[i * n + k] = f;
            for (int j = k + 1; j < n; ++j)
                A[i * n + j] -= f * A[k * n + j];
        }
    }
    return true;
}

template <int NCAP>
bool lu_factor(double *A, int n, int *piv)
{
    return n == NCAP ? lu_factor_n(A, std::integral_constant<int, NCAP>{}, piv) : lu_factor_n(A, n, piv);
}

// Solves A x = b in place from lu_factor's P A = L U.  The factorisation
// swaps whole rows, multipliers included, so b takes every interchange
// before the forward substitution.
template <class N>
void lu_solve_n(const double *A, N n, const int *piv, double *b)
{
    for (int k = 0; k < n; ++k) {
        const double t = b[k];
        b[k] = b[piv[k]];
        b[piv[k]] = t;
    }
    for (int k = 0; k < n; ++k)
        for (int i = k + 1; i < n; ++i)
            b[i] -= A[i * n + k] * b[k];
    for (int k = n - 1; k >= 0; --k) {
        b[k] = b[k] / A[k * n + k];
        for (int i = 0; i < k; ++i)
            b[i] -= A[i * n + k] * b[k];
    }
}

template <int NCAP>
void lu_solve(const double *A, int n, const int *piv, double *b)
{
    if (n == NCAP)
        lu_solve_n(A, std::integral_constant<int, NCAP>{}, piv, b);
    else
        lu_solve_n(A, n, piv, b);
}

// Newton's method on the collocation equations from s (a start in, the
// boundary out), at most `iterations` steps, until no node's ln B moves by
// more than `tolerance` times the boundary's scale, min(1, max s) (at small
// vol the boundary lies within vol or vol^2 of X), plus LEVEL_NOISE; each
// step bounded by
// MAX_STEP and held below X.  Returns the steps taken (more than
// `iterations` when it did not converge); J and piv keep the last
// Jacobian's factors for the partials.
template <int NCAP, int LCAP>
int newton_boundary(const Tables &tb, const NodeTerms<double, NCAP, LCAP> &nt,
                    Cardinals<NCAP, LCAP> &card, const Rates<double> &m, int iterations, double tolerance,
                    double *s, double *J, int *piv)
{
    const int n = tb.n;
    s[n] = 0.0;
    for (int it = 1; it <= iterations; ++it) {
        double step[NCAP];
        residuals(tb, nt, card, m, s, step, J);
        if (!lu_factor<NCAP>(J, n, piv))
            return iterations + 1;
        for (int i = 0; i < n; ++i)
            step[i] = -step[i];
        lu_solve<NCAP>(J, n, piv, step);
        double moved = 0.0;  // largest step, NaN if any
        for (int i = 0; i < n; ++i) {
            const double a = std::fabs(step[i]);
            if (a > moved || std::isnan(a))
                moved = std::isnan(a) ? NaN : a;
        }
        if (std::isnan(moved))
            return iterations + 1;
        const double scale = moved > MAX_STEP ? MAX_STEP / moved : 1.0;
        double largest = 0.0;  // max s
        for (int i = 0; i < n; ++i) {
            // At most a tenth of the way to B = X, where H = s^2 loses its
            // slope in s.
            const double next = s[i] + scale * step[i];
            s[i] = next > 0.1 * s[i] ? next : 0.1 * s[i];
            largest = s[i] > largest ? s[i] : largest;
        }
        if (moved <= tolerance * (largest < 1 ? largest : 1.0) + LEVEL_NOISE)
            return it;
    }
    return iterations + 1;
}

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_BOUNDARY_H
