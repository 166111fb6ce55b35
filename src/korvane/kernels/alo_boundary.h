// The exercise boundary of the fixed-point American kernels (alo.h): its QD
// start and the fixed-point sweeps of Andersen, Lake & Offengenden (2016) on
// Chebyshev nodes.  Internal to the kernels: namespace alo_detail.
//
// The put is the core; the call is the put with spot and strike, rate and
// yield exchanged (McDonald & Schroder 1998).  On a maturity scaled to one,
// the put with boundary B(u) (u = time to expiry) is worth (Kim 1990)
//   V = p(S) + int_0^1 [r K e^{-r t} Phi(-d-(t, S/B(u)))
//                       - q S e^{-q t} Phi(-d+(t, S/B(u)))] du,   t = 1 - u,
// with p the European put and d+-(t, z) = (ln z + (r - q) t +- vol^2 t/2)/(vol sqrt t).
// The boundary solves B = K e^{-(r-q) tau} N(tau, B)/D(tau, B); in ALO's
// smooth-pasting form FP-B', with s = tau - u,
//   N = phi(d-(tau, B/K))/(vol sqrt tau)
//       + r int_0^tau e^{r u} phi(d-(s, B(tau)/B(u)))/(vol sqrt s) du,
//   D = Phi(d+(tau, B/K)) + phi(d+(tau, B/K))/(vol sqrt tau)
//       + q int_0^tau e^{q u} [Phi(d+(s, .)) + phi(d+(s, .))/(vol sqrt s)] du,
// and in the value-matching form FP-B
//   N = Phi(d-(tau, B/K)) + r int_0^tau e^{r u} Phi(d-(s, B(tau)/B(u))) du,
//   D = Phi(d+(tau, B/K)) + q int_0^tau e^{q u} Phi(d+(s, B(tau)/B(u))) du.
// FP-B' contracts faster, but its sweeps diverge once the rate is large
// against the variance; FP-B is used there, on a finer scheme (its kernel
// is a step as s -> 0).  The boundary is held as
// H = ln(B/X)^2 against sqrt(tau), X = K min(1, r/q) its limit at expiry.
#ifndef KORVANE_ALO_BOUNDARY_H
#define KORVANE_ALO_BOUNDARY_H

#include <cmath>
#include <limits>

#include "alo_dual.h"
#include "alo_tables.h"

namespace korvane::kernels::alo_detail {

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double QD_TOLERANCE = 1e-4;      // the QD Newton's last step in ln B
inline constexpr int VALUE_MATCHING_SWEEPS = 3;  // FP-B's most sweeps, in multiples of FP-B' ones
inline constexpr double PASTING_MAX_RATE = 2.0;  // FP-B' while r <= this times vol^2

// The put on the unit maturity with r > 0 and vol > 0.
template <class T>
struct Rates {
    T r;    // riskless rate
    T q;    // dividend yield
    T vol;  // volatility, also the total standard deviation
};

// The form of the boundary equation the sweeps iterate.
enum class Form {
    SMOOTH_PASTING,  // FP-B'
    VALUE_MATCHING,  // FP-B
};

// FP-B' where it contracts; with a rate large against the variance (r > 2
// vol^2 over the unit maturity) its sweeps oscillate and diverge, while the
// value-matching FP-B still converges.
inline Form form_for(double r, double vol)
{
    return r <= PASTING_MAX_RATE * (vol * vol) ? Form::SMOOTH_PASTING : Form::VALUE_MATCHING;
}

// The quadratic (QD) boundary of a put of maturity tau: the condition of
// MacMillan (1986) and Barone-Adesi & Whaley (1987) with the exponent of Li
// (2005), h = 1 - e^{-r tau}, alpha = 2r/vol^2, beta = 2(r - q)/vol^2,
//   lambda = (-(beta - 1) - sqrt((beta - 1)^2 + 4 alpha/h))/2,
//   (1 - e^{-q tau} Phi(-d+(tau, B/K))) B + lambda (K - B - p(B)) = 0.
// (Li's QD+ adds a term c0 to lambda; as a start for the sweeps below it did
// no better here.)  Newton in ln B from `start`, its steps bounded; it is
// only a start, so it stops at a step of QD_TOLERANCE.  The result is held
double qd_boundary(double K, double r, double q, double vol, double tau, double X, double start);

// Per node and quadrature point of the boundary integrals, what does not
// depend on the boundary.
template <class T, int NCAP, int LCAP>
struct NodeTerms {
    T wN[NCAP][LCAP];      // FP-B': r e^{r u} du/(vol sqrt(2 pi s)), weighing e^{-d-^2/2};
                           // FP-B: r e^{r u} du, weighing Phi(d-)
    T wD1[NCAP][LCAP];     // q e^{q u} du, weighing Phi(d+)
    T wD2[NCAP][LCAP];     // FP-B': q e^{q u} du/(vol sqrt(2 pi s)), weighing e^{-d+^2/2}
    T carry[NCAP][LCAP];   // FP-B': e^{-(r-q) s}, as e^{-d+^2/2} = e^{-d-^2/2} e^{-(r-q)s} B(u)/B(tau)
    T drift[NCAP][LCAP];   // (r - q) s - vol^2 s/2
    T sd[NCAP][LCAP];      // vol sqrt s
    T inv_sd[NCAP][LCAP];  // 1/(vol sqrt s)
};

// The QD boundary at the nodes of tb, from the shortest maturity up.
template <class T>
void qd_start(const Tables &tb, double K, const Rates<T> &m, T *H)
{
    const double r = value(m.r), q = value(m.q);
    const double X = q > r ? K * (r / q) : K;
    double B = X;  // the previous node's boundary starts the next
    for (int i = tb.n - 1; i >= 0; --i) {
        const double tau = tb.root_tau[i] * tb.root_tau[i];
        B = qd_boundary(K, r, q, value(m.vol), tau, X, B);
        const double lnBX = std::log(B / X);
        H[i] = lnBX * lnBX;
    }
    H[tb.n] = 0.0;  // B(0) = X
}

// One node's fixed-point map f = forward N/D, with B dN/dB and B dD/dB from
// the terms outside the integrals (for the Jacobi-Newton step).
template <class T>
struct MapTerms {
    T N;
    T D;
    T dN;
    T dD;
};

// What the integrands of node i share whatever the form: the boundary
// through the node and at each quadrature point.
template <class T, int LCAP>
struct NodePoints {
    T L[LCAP];   // ln(B(tau)/B(u))
    T dm[LCAP];  // d-(s, B(tau)/B(u))
    T em[LCAP];  // e^{-d-^2/2}
};

// FP-B: Phi(d-) and Phi(d+) under the integrals.
template <class T, int NCAP, int LCAP>
MapTerms<T> value_matching_terms(const NodeTerms<T, NCAP, LCAP> &nt, int i, int l, bool yield,
                                 const NodePoints<T, LCAP> &p, const T &dm0, const T &dp0,
                                 const T &em0, const T &ep0, const T &pm0, const T &pp0,
                                 const T &sd0)
{
    MapTerms<T> t{ncdf_given(dm0, em0), ncdf_given(dp0, ep0), pm0 / sd0, pp0 / sd0};
    for (int k = 0; k < l; ++k)
        t.N += nt.wN[i][k] * ncdf_given(p.dm[k], p.em[k]);
    if (yield) {
        T dp[LCAP];  // d+ = d- + vol sqrt s
        T ep[LCAP];  // e^{-d+^2/2}
        for (int k = 0; k < l; ++k)
            dp[k] = p.dm[k] + nt.sd[i][k];
        for (int k = 0; k < l; ++k)
            ep[k] = exp_of(-0.5 * (dp[k] * dp[k]));
        for (int k = 0; k < l; ++k)
            t.D += nt.wD1[i][k] * ncdf_given(dp[k], ep[k]);
    }
    return t;
}

// FP-B': the densities, and Phi(d+) from the one of d+.
template <class T, int NCAP, int LCAP>
MapTerms<T> smooth_pasting_terms(const NodeTerms<T, NCAP, LCAP> &nt, int i, int l, bool yield,
                                 const NodePoints<T, LCAP> &p, const T &dm0, const T &dp0,
                                 const T &ep0, const T &pm0, const T &pp0, const T &sd0)
{
    MapTerms<T> t{pm0 / sd0, ncdf_given(dp0, ep0) + pp0 / sd0,
                  -(dm0 * pm0) / (sd0 * sd0), pp0 / sd0 - dp0 * pp0 / (sd0 * sd0)};
    for (int k = 0; k < l; ++k)
        t.N += nt.wN[i][k] * p.em[k];
    if (yield) {
        T ep[LCAP];  // e^{-d+^2/2} = e^{-d-^2/2} e^{-(r-q)s} B(u)/B(tau)
        for (int k = 0; k < l; ++k)
            ep[k] = p.em[k] * nt.carry[i][k] * exp_of(-p.L[k]);
        for (int k = 0; k < l; ++k) {
            const T dp = p.dm[k] + nt.sd[i][k];
            t.D += nt.wD1[i][k] * ncdf_given(dp, ep[k]) + nt.wD2[i][k] * ep[k];
        }
    }
    return t;
}

// The boundary-free parts of the integrands of `form` at every node and
// point; forward[i] receives K e^{-(r-q) tau_i}.
template <class T, int NCAP, int LCAP>
void node_terms(Form form, const Tables &tb, double K, const Rates<T> &m, bool yield,
                NodeTerms<T, NCAP, LCAP> &nt, T *forward)
{
    const int n = tb.n;
    const int l = tb.inner.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    for (int i = 0; i < n; ++i) {
        const double rt = tb.root_tau[i];
        const double tau = rt * rt;
        const T carry_tau = exp_of((q - r) * tau);  // e^{-(r-q) tau}
        forward[i] = K * carry_tau;
        for (int k = 0; k < l; ++k) {
            const double sn = tb.inner.sin[k], cs = tb.inner.cos[k], w = tb.inner.w[k];
            const double u = tau * (sn * sn), s = tau * (cs * cs);
            // du/sqrt(s) = 2 sqrt(tau) sin dtheta; du = 2 tau sin cos dtheta.
            const double du_root = 2 * rt * sn * w;
            const double du = 2 * tau * (sn * cs) * w;
            if (form == Form::SMOOTH_PASTING) {
                const T eru = exp_of(r * u);
                nt.wN[i][k] = r * eru * (du_root * INV_SQRT_2PI) / vol;
                if (yield) {
                    const T equ = exp_of(q * u);
                    nt.wD1[i][k] = q * equ * du;
                    nt.wD2[i][k] = q * equ * (du_root * INV_SQRT_2PI) / vol;
                    // e^{-(r-q)s} = e^{-(r-q)tau} e^{ru}/e^{qu}.
                    nt.carry[i][k] = carry_tau * eru / equ;
                }
            } else {
                nt.wN[i][k] = r * exp_of(r * u) * du;
                if (yield)
                    nt.wD1[i][k] = q * exp_of(q * u) * du;
            }
            nt.drift[i][k] = (r - q) * s - 0.5 * (v2 * s);
            nt.sd[i][k] = vol * (rt * cs);
            nt.inv_sd[i][k] = 1.0 / nt.sd[i][k];
        }
    }
}

// Sweeps the boundary H = ln(B/X)^2 at the nodes from its start there, at
// most `iterations` times and until no node's ln B moves by more than
// `tolerance`; c receives its Chebyshev coefficients.  The first sweep is
// ALO's partial Jacobi-Newton step, the others the plain map of `form`
// (FP-B, which contracts more slowly, gets VALUE_MATCHING_SWEEPS times as
// many).
template <class T, int NCAP, int LCAP>
void sweep_boundary(const Tables &tb, int iterations, double tolerance, double K,
                    const Rates<T> &m, T *H, T *c)
{
    const int n = tb.n;
    const int l = tb.inner.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    // Start of the boundary at expiry: X = K min(1, r/q).
    const T ln_XK = value(q) > value(r) ? log_of(r / q) : T(0.0);
    const T ln_X = std::log(K) + ln_XK;
    H[n] = 0.0;  // B(0) = X

    // No yield: the integral of D vanishes, partials and all.
    const bool yield = !is_zero(q);
    const Form form = form_for(value(r), value(vol));
    NodeTerms<T, NCAP, LCAP> nt;
    T forward[NCAP];  // K e^{-(r-q) tau} per node
    node_terms(form, tb, K, m, yield, nt, forward);

    const int sweeps = form == Form::SMOOTH_PASTING ? iterations : VALUE_MATCHING_SWEEPS * iterations;
    for (int j = 0; j < sweeps; ++j) {
        chebyshev_coefficients(tb, H, c);
        T H_new[NCAP + 1];
        double moved = 0.0;  // largest change of ln B over the nodes this sweep
        for (int i = 0; i < n; ++i) {
            const double rt = tb.root_tau[i];
            const double tau = rt * rt;
            const T sH = sqrt_pos(H[i]);  // ln(X/B(tau))
            const T B = exp_of(ln_X - sH);
            // The terms outside the integrals, at z = B/K.
            const T sd0 = vol * rt;
            const T ln_z = ln_XK - sH;
            const T dm0 = (ln_z + (r - q) * tau - 0.5 * (v2 * tau)) / sd0;
            const T dp0 = dm0 + sd0;
            const T em0 = exp_of(-0.5 * (dm0 * dm0));
            const T ep0 = em0 * forward[i] / B;  // e^{-d+^2/2} = e^{-d-^2/2} K e^{-(r-q)tau}/B
            const T pm0 = INV_SQRT_2PI * em0, pp0 = INV_SQRT_2PI * ep0;
            double xi[LCAP];  // sqrt(u) of each point on the Chebyshev axis
            for (int k = 0; k < l; ++k)
                xi[k] = 2 * rt * tb.inner.sin[k] - 1;
            T Hu[LCAP];  // H(sqrt u) there
            clenshaw_row<T, LCAP>(c, n, xi, l, Hu);
            // The integrands point by point in separate passes, each free of
            // the others' latency (the sums keep their order, so the doubles
            // are those of one pass).
            NodePoints<T, LCAP> p;
            for (int k = 0; k < l; ++k) {
                p.L[k] = sqrt_pos(Hu[k]) - sH;
                p.dm[k] = (p.L[k] + nt.drift[i][k]) * nt.inv_sd[i][k];
            }
            for (int k = 0; k < l; ++k)
                p.em[k] = exp_of(-0.5 * (p.dm[k] * p.dm[k]));
            // B dN/dB and B dD/dB (in the terms) from the terms outside the
            // integrals, the boundary elsewhere held (Jacobi-Newton); the
            // integrals' own partials, which the coupling with nearby nodes
            // offsets, are left out: with them the step overshoots.
            const MapTerms<T> t =
                form == Form::SMOOTH_PASTING
                    ? smooth_pasting_terms(nt, i, l, yield, p, dm0, dp0, ep0, pm0, pp0, sd0)
                    : value_matching_terms(nt, i, l, yield, p, dm0, dp0, em0, ep0, pm0, pp0, sd0);
            const T f = forward[i] * t.N / t.D;  // the fixed-point map
            T B_next = f;
            if (j == 0) {
                // ALO's partial Jacobi-Newton step on B - f(B) = 0:
                // B f'(B) = f (B N'/N - B D'/D).
                const T slope = f * (t.dN / t.N - t.dD / t.D) / B;
                const T newton = B + (B - f) / (slope - 1.0);
                // A step leaving (0, X] falls back on the plain map.
                if (value(newton) > 0 && value(newton) <= std::exp(value(ln_X)))
                    B_next = newton;
            }
            T lnBX = log_of(B_next) - ln_X;
            if (!(value(lnBX) < 0))
                lnBX = 0.0;  // at or above X: the boundary starts there
            H_new[i] = lnBX * lnBX;
            const double change = std::fabs(value(lnBX) + value(sH));
            if (change > moved || std::isnan(change))
                moved = std::isnan(change) ? NaN : change;
        }
        for (int i = 0; i < n; ++i)
            H[i] = H_new[i];
        if (moved <= tolerance)
            break;
    }
    chebyshev_coefficients(tb, H, c);
}

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_BOUNDARY_H
