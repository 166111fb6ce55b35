// Where the fixed-point American kernels (alo.h) place their nodes and
// quadrature points: the span of maturities the boundary is solved over and
// the sinh maps that gather the integrals' points where their integrands
// turn.  Internal to the kernels: namespace alo_detail.
#ifndef KORVANE_ALO_GRID_H
#define KORVANE_ALO_GRID_H

#include <cmath>

#include "alo_dual.h"

namespace korvane::kernels::alo_detail {

// The integrands' memory.  Along the boundary the kernels of the integral
// equations decay in the elapsed time s like e^{-r s} phi(d-(s)) with
// d- ~ mu sqrt(s)/vol, mu = r - q - vol^2/2: like e^{-kappa s},
//   kappa = r + mu^2/(2 vol^2) = (mu^2 + 2 r vol^2)/(2 vol^2),
// the distance of the Laplace exponent's branch point that also sets how
// fast B(tau) approaches the perpetual boundary (as e^{-kappa tau}).
template <class T>
T decay_rate(const T &r, const T &q, const T &vol)
{
    const T mu = r - q - 0.5 * (vol * vol);
    return r + mu * mu / (2.0 * (vol * vol));
}

// Decay lengths 1/kappa the boundary is solved over: beyond SPAN/kappa it is
// the perpetual boundary to within e^{-SPAN}, so the nodes cover [0, tau_max],
// tau_max = min(1, SPAN/kappa), and the boundary is held flat beyond (the
// boundary of a maturity tau_max is the same function of time to expiry).
// The problem on [0, tau_max] is then of one size whatever the rates: as
// vol -> 0, kappa ~ mu^2/(2 vol^2) and the boundary's layer shrinks with it.
inline constexpr double SPAN = 12;
// Decay lengths an integral over elapsed time spans per unit of its sinh
// stretch's sinh(b)^2: its points gather towards the recent end, where the
// integrand lives, once it spans more than about this.
inline constexpr double INNER_STRETCH = 10;
// A sharp turn of the price integral narrower than this, relative to its
// side of the split, is not resolved (its errors on the two sides cancel).
inline constexpr double FINEST_FOCUS = 1e-6;
// The price integral's turn is split at below this width in v, and split
// in the middle above BROAD_TURN, smoothly between.
inline constexpr double SHARP_TURN = 0.01;
inline constexpr double BROAD_TURN = 0.2;

// sinh x / x as its Taylor series in y = x^2 (|x| <= 1/4: within 1e-17)
// and cosh x likewise.
inline double sinhc_series(double y)
{
    return 1 + y * (1.0 / 6 + y * (1.0 / 120 + y * (1.0 / 5040 + y * (1.0 / 362880 + y * (1.0 / 39916800)))));
}
inline double cosh_series(double y)
{
    return 1 + y * (0.5 + y * (1.0 / 24 + y * (1.0 / 720 + y * (1.0 / 40320 + y * (1.0 / 3628800)))));
}

// The map v = sinh(b z)/sinh(b) of [0, 1] onto itself, which gathers the
// Gauss-Legendre points near v = 0 on a scale of about 1/sinh(b) (Johnston &
// Elliott's sinh transformation for near-singular integrands); b -> 0 is
// the identity, continuously.
struct Stretch {
    double b;        // asinh of the interval's length in stretch units
    double inv_sb;   // b/sinh(b) when small, else 1/sinh(b)
    bool small;      // b <= 1/4: every sinh by its series
};

inline Stretch make_stretch(double lengths)
{
    Stretch st;
    st.b = std::asinh(std::sqrt(lengths));
    st.small = st.b <= 0.25;
    st.inv_sb = st.small ? 1 / sinhc_series(st.b * st.b) : 1 / std::sinh(st.b);
    return st;
}

// v(z_k) and dv/dz at m <= CAP points, each with its own stretch (b,
// inv_sb, and small as 1 or 0), in passes: every element computes each
// branch's formula, then keeps the one it takes (a select, which a vector
// unit does lane by lane; with the formulas in the selecting loop, or small
// as a bool, the compiler branches and the loop stays scalar).
//   small:    sinh(bz)/sinh(b) = z S(b^2 z^2)/S(b^2), S = sinh x/x;
//   x <= 1/4: sinh x and cosh x by their series;
//   else:     sinh x and cosh x from e^x.
template <int CAP>
void stretch_pass(const double *b, const double *inv_sb, const double *small, const double *z, int m,
                  double *v, double *dv)
{
    double x[CAP] = {}, ex[CAP];
    for (int k = 0; k < m; ++k)
        x[k] = b[k] * z[k];
    exp_pass<CAP>(x, ex, m);
    double vs[3][CAP], dvs[3][CAP];  // v and dv by the series, from e^x, and small
    for (int k = 0; k < m; ++k) {
        const double y = x[k] * x[k];
        const double S = sinhc_series(y), C = cosh_series(y);
        const double inv_ex = 1 / ex[k];
        vs[0][k] = x[k] * S * inv_sb[k];
        vs[1][k] = 0.5 * (ex[k] - inv_ex) * inv_sb[k];
        vs[2][k] = z[k] * S * inv_sb[k];
        dvs[0][k] = b[k] * C * inv_sb[k];
        dvs[1][k] = b[k] * (0.5 * (ex[k] + inv_ex)) * inv_sb[k];
        dvs[2][k] = C * inv_sb[k];
    }
    for (int k = 0; k < m; ++k) {
        const double v_wide = x[k] <= 0.25 ? vs[0][k] : vs[1][k];
        const double dv_wide = x[k] <= 0.25 ? dvs[0][k] : dvs[1][k];
        v[k] = small[k] != 0 ? vs[2][k] : v_wide;
        dv[k] = small[k] != 0 ? dvs[2][k] : dv_wide;
    }
}

// v(z) and dv/dz.
inline void stretch_at(const Stretch &st, double z, double *v, double *dv)
{
    const double small = st.small ? 1.0 : 0.0;
    stretch_pass<1>(&st.b, &st.inv_sb, &small, &z, 1, v, dv);
}

// A point of an integral over elapsed time s in [0, tau] on the substitution
// s = tau v^2 (2 - v^2), tau - s = tau (1 - v^2)^2, which keeps sqrt(s) and
// sqrt(tau - s) both smooth in v, with v = v(z) stretched.
struct Point {
    double s;        // elapsed time
    double root_s;   // sqrt(s)
    double one_m;    // 1 - v^2 = sqrt((tau - s)/tau)
    double ds;       // ds = 4 tau v (1 - v^2) dv, times the weight
    double ds_root;  // ds/sqrt(s) = 4 sqrt(tau) (1 - v^2)/sqrt(2 - v^2) dv, times the weight
};

inline Point point_of(double v, double dv, double tau, double root_tau, double w)
{
    const double v2 = v * v;
    const double one_m = 1 - v2;
    const double root2 = std::sqrt(2 - v2);
    Point p;
    p.s = tau * (v2 * (2 - v2));
    p.root_s = root_tau * (v * root2);
    p.one_m = one_m;
    p.ds = 4 * tau * (v * one_m) * dv * w;
    p.ds_root = 4 * root_tau * (one_m / root2) * dv * w;
    return p;
}

// The v of point_of's substitution at s = t tau: t = v^2 (2 - v^2).
inline double v_of(double t) { return std::sqrt(t / (1 + std::sqrt(1 - t))); }

// The interior sinh map of Johnston & Elliott (2005) of [0, 1] onto
// [lo, hi], v = f + eta sinh(mu z - mu1) with sinh(mu1) = (f - lo)/eta and
// sinh(mu - mu1) = (hi - f)/eta: points gathered about f
// in [lo, hi] on the scale eta (one-sided with f at an end, nearly uniform
// for eta beyond the panel).
struct Focus {
    double f, eta, mu1, mu;
};

inline Focus make_focus(double f, double lo, double hi, double eta)
{
    const double mu1 = std::asinh((f - lo) / eta);
    return {f, eta, mu1, mu1 + std::asinh((hi - f) / eta)};
}

// v(z_k) and dv/dz at m <= CAP points, in passes.
template <int CAP>
void focus_pass(const Focus &fc, const double *z, int m, double *v, double *dv)
{
    double e[CAP];
    for (int k = 0; k < m; ++k)
        e[k] = fc.mu * z[k] - fc.mu1;
    exp_pass<CAP>(e, e, m);
    for (int k = 0; k < m; ++k) {
        const double ie = 1 / e[k];
        v[k] = fc.f + fc.eta * (0.5 * (e[k] - ie));
        dv[k] = fc.eta * fc.mu * (0.5 * (e[k] + ie));
    }
}

inline void focus_at(const Focus &fc, double z, double *v, double *dv) { focus_pass<1>(fc, &z, 1, v, dv); }

// Where the boundary is solved, for a put on the unit maturity.
struct Span {
    double kappa;     // decay_rate
    double tau_max;   // the nodes cover [0, tau_max]
    double root_max;  // sqrt(tau_max)
    double gap;       // perpetual_gap
};

// ln(X/B_inf), B_inf the perpetual put's boundary (McKean 1965: B_inf = K
// gamma/(gamma - 1), gamma < 0 the put's root of vol^2/2 g(g - 1) + (r - q) g
// = r); infinite where there is none (r = 0 <= r - q - vol^2/2).  The
// boundary falls with the maturity towards B_inf, so s <= ln(X/B_inf).
double perpetual_gap(double r, double q, double vol);

// Below this perpetual gap the boundary is X to within the rounding of its
// level (alo_boundary.h's LEVEL_NOISE): it is taken as X, with no solve.  At small vol the gap
// is about vol^2/(2|r - q|).
inline constexpr double FLAT_GAP = 1e-13;

inline Span make_span(double r, double q, double vol)
{
    Span sp;
    sp.kappa = decay_rate(r, q, vol);
    sp.tau_max = sp.kappa > SPAN ? SPAN / sp.kappa : 1.0;
    sp.root_max = std::sqrt(sp.tau_max);
    sp.gap = perpetual_gap(r, q, vol);
    return sp;
}

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_GRID_H
