// The put's boundary solve and premium integral for the fixed-point American
// kernels (alo.h): what a contract reduces to, the schemes, and the solve the
// price, the Greeks and the implied-vol search share.  Internal to the
// kernels: namespace alo_detail.
#ifndef KORVANE_ALO_SOLVE_H
#define KORVANE_ALO_SOLVE_H

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "alo_boundary.h"

namespace korvane::kernels::alo_detail {

// What a solve returns besides the price.
enum class Purpose {
    PRICE,   // the price (and its partials in the rates and vol, for a dual T)
    GREEKS,  // the same, with the put's delta and gamma
};

// Where Newton's method starts.
enum class Start {
    COLD,  // the QD boundary
    WARM,  // the boundary the caller left (or predicted) in s
};

template <class T>
struct PutValue {
    T price;
    double delta;  // dV/dS, the boundary held (it does not depend on S)
    double gamma;
};

// European put, K e^{-r} Phi(-d-) - S e^{-q} Phi(-d+).
template <class T>
T european_put(double S, double K, const Rates<T> &m)
{
    const T dm = (std::log(S / K) + m.r - m.q - 0.5 * (m.vol * m.vol)) / m.vol;
    const T dp = dm + m.vol;
    return K * exp_of(-m.r) * ncdf_of(-dm) - S * exp_of(-m.q) * ncdf_of(-dp);
}

// The put at spot S on the boundary s = ln(X/B) at the nodes, c the
// Chebyshev coefficients of s^2: the exercise value at or beyond it, else the
// European price plus the premium integral over the time t from now, the
// boundary at time to expiry 1 - t (flat beyond tau_max).  Delta and gamma
// are filled for the Greeks.  In doubles, given c_vol, those of d(s^2)/dvol,
// *vega receives dV/dvol alongside (the implied-vol search's partial, without
// a pass in duals): with d-+ negated below and sqrt(H)' = H'/(2 sqrt(H)),
//   d(d-)/dvol = sqrt(H)'/(vol sqrt t) - d+/vol,  d(d+)/dvol = sqrt(H)'/(vol sqrt t) - d-/vol.
template <class T>
PutValue<T> put_premium(const Tables &tb, const Span &sp, double S, double K, const Rates<T> &m,
                        const T *s, const T *c, Purpose purpose, const double *c_vol = nullptr,
                        double *vega = nullptr)
{
    const int n = tb.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    const T ln_XK = ln_start(m);
    const T ln_X = std::log(K) + ln_XK;

    const bool greeks = purpose == Purpose::GREEKS;
    PutValue<T> out{T(0.0), 0.0, 0.0};
    if (vega)
        *vega = 0.0;  // where the value is the exercise value
    // At or beyond the boundary at the full maturity: the exercise value.
    const T &sH_T = s[0];
    // ln(S/X): X moves with r and q where q > r, and so does every ln(S/B(u)).
    const T ln_SX = std::log(S) - ln_X;
    if (value(ln_SX) <= -value(sH_T)) {
        out.price = K - S;
        out.delta = -1.0;
        return out;
    }

    // Premium integral in t on point_of's substitution (tau = 1).
    T premium = 0.0;
    double delta = 0.0, gamma = 0.0;  // their integrals, the boundary held
    const double rv = value(r), qv = value(q), vv = value(vol);
    // The integrand turns where d+- ~ 0: with B ~ X, where the forward path
    // a + b t = ln(S/X) + (r - q) t crosses zero, or comes closest to it
    // relative to vol sqrt(t), at t_c = |a/b|, over a time of about vol
    // sqrt(t_c)/|b| (or the kernels' 1/kappa); at small vol nearly a step.
    // The integral is split in two panels, at t_c where the turn is sharp
    // (a profile too narrow to resolve then leaves errors of opposite signs
    // on the two sides), moving to the middle as it broadens, and each
    // panel's points gather towards t_c (the sinh map of make_focus).
    const double a = value(ln_SX), b = rv - qv;
    const double t_c = std::fabs(a) < std::fabs(b) ? std::fabs(a / b) : 1.0;
    const double width = vv * std::sqrt(t_c) / std::fabs(b) + 1 / sp.kappa;
    // v(t) extended beyond [0, 1] with unit slope, so that a width beyond the
    // interval gathers nothing.
    const auto v_ext = [](double t) { return t < 0 ? t : t > 1 ? t : v_of(t); };
    const double vc = v_of(t_c);
    const double eta = 0.5 * (v_ext(t_c + width) - v_ext(t_c - width));
    double broad = (std::log(eta) - std::log(SHARP_TURN)) / std::log(BROAD_TURN / SHARP_TURN);
    broad = broad < 0 ? 0.0 : broad > 1 ? 1.0 : broad;
    broad = broad * broad * (3 - 2 * broad);
    const double vs = vc + (0.5 - vc) * broad;  // the split
    const int half = tb.outer.n;
    const int l = 2 * half;
    double ts[ALO_MAX_POINTS], root_t[ALO_MAX_POINTS], dt[ALO_MAX_POINTS];  // the points' Point
    double xi[ALO_MAX_POINTS] = {};  // the boundary's time to expiry on the Chebyshev axis
    for (int side = 0; side < 2; ++side) {
        const double lo = side == 0 ? 0.0 : vs, hi = side == 0 ? vs : 1.0;
        const double focus = vc < lo ? lo : vc > hi ? hi : vc;
        const double e = eta > FINEST_FOCUS * (hi - lo) ? eta : FINEST_FOCUS * (hi - lo);
        const Focus fc = make_focus(focus, lo, hi, e);
        const int at = side * half;
        double v[ALO_MAX_POINTS], dv[ALO_MAX_POINTS];
        focus_pass<ALO_MAX_POINTS>(fc, tb.outer.z, half, v, dv);
        for (int k = 0; k < half; ++k) {
            const Point pt = point_of(v[k], dv[k], 1.0, 1.0, tb.outer.w[k]);
            ts[at + k] = pt.s;
            root_t[at + k] = pt.root_s;
            dt[at + k] = pt.ds;
            const double x = pt.one_m / sp.root_max;
            xi[at + k] = 2 * (x < 1 ? x : 1.0) - 1;
        }
    }
    T Hu[ALO_MAX_POINTS];  // H there
    clenshaw_row<T, ALO_MAX_POINTS>(c, n, xi, l, Hu);
    double Hv[ALO_MAX_POINTS] = {};  // dH/dvol there
    if (vega)
        clenshaw_row<double, ALO_MAX_POINTS>(c_vol, n, xi, l, Hv);
    // The integrand in elementwise passes over the points (a vector unit's
    // lanes), then summed in the points' order.
    T dm[ALO_MAX_POINTS], dp[ALO_MAX_POINTS];  // d-, d+ at the point, negated below
    T er[ALO_MAX_POINTS], eq[ALO_MAX_POINTS];  // e^{-rt}, e^{-qt}
    T em[ALO_MAX_POINTS], ep[ALO_MAX_POINTS];  // e^{-d-^2/2}, e^{-d+^2/2}
    T sHu[ALO_MAX_POINTS];
    sqrt_pos_pass(Hu, sHu, l);
    for (int k = 0; k < l; ++k) {
        const double t = ts[k];
        const T sd = vol * root_t[k];
        dm[k] = (ln_SX + sHu[k] + (r - q) * t - 0.5 * (v2 * t)) / sd;
        dp[k] = dm[k] + sd;
        er[k] = -r * t;
        eq[k] = -q * t;
        em[k] = -0.5 * (dm[k] * dm[k]);
        ep[k] = -0.5 * (dp[k] * dp[k]);
    }
    exp_pass<ALO_MAX_POINTS>(er, er, l);
    exp_pass<ALO_MAX_POINTS>(eq, eq, l);
    exp_pass<ALO_MAX_POINTS>(em, em, l);
    exp_pass<ALO_MAX_POINTS>(ep, ep, l);
    T Pm[ALO_MAX_POINTS], Pp[ALO_MAX_POINTS];  // Phi(-d-), Phi(-d+)
    for (int k = 0; k < l; ++k) {
        dm[k] = -dm[k];
        dp[k] = -dp[k];
    }
    ncdf_pass<ALO_MAX_POINTS>(dm, em, Pm, l);
    ncdf_pass<ALO_MAX_POINTS>(dp, ep, Pp, l);
    double dpremium = 0.0;  // d premium/dvol
    for (int k = 0; k < l; ++k) {
        const double du = dt[k];
        if (!(du > 0))
            continue;  // a side of no length (t_c at an end)
        premium += (r * K * er[k] * Pm[k] - q * S * eq[k] * Pp[k]) * du;
        if constexpr (std::is_same_v<T, double>) {
            if (vega) {
                const double sd = vv * root_t[k];
                const double dsH = Hu[k] > 0 ? Hv[k] / (2 * sHu[k]) / sd : 0.0;
                const double ddm = dsH + dp[k] / vv, ddp = dsH + dm[k] / vv;
                dpremium += (q * S * eq[k] * (INV_SQRT_2PI * ep[k]) * ddp
                             - r * K * er[k] * (INV_SQRT_2PI * em[k]) * ddm) * du;
            }
        }
        if (greeks) {
            // d/dS: -q e^{-qt} Phi(-d+) + e^{-qt} phi(d+)(q - r K/B)/(vol sqrt t);
            // d2/dS2: e^{-qt} phi(d+)/(S vol sqrt t) [q - (q - r K/B) d+/(vol sqrt t)].
            const double dpv = -value(dp[k]), sdv = vv * root_t[k], eqv = value(eq[k]);
            const double KB = std::exp(value(sHu[k]) - value(ln_XK));  // K/B(u)
            const double pp = INV_SQRT_2PI * value(ep[k]);
            const double a = qv - rv * KB;
            delta += (-(qv * eqv) * norm_cdf(-dpv) + eqv * pp * a / sdv) * du;
            gamma += eqv * pp / (S * sdv) * (qv - a * dpv / sdv) * du;
        }
    }
    out.price = european_put(S, K, m) + premium;
    // A worthless put's premium may round below zero.
    if (value(out.price) < 0)
        out.price = T(0.0);
    // Short of the exercise value (a boundary left too low): exercised, as
    // the price can be no less.
    if (value(out.price) < K - S) {
        out.price = K - S;
        out.delta = -1.0;
        return out;
    }
    if (greeks || vega) {
        const double dp = (std::log(S / K) + rv - qv + 0.5 * (vv * vv)) / vv;  // the European d+
        if (greeks) {
            out.delta = -std::exp(-qv) * norm_cdf(-dp) + delta;
            out.gamma = std::exp(-qv) * norm_pdf(dp) / (S * vv) + gamma;
        }
        // A worthless put's price held at zero has none.
        if (vega && value(out.price) > 0)
            *vega = S * std::exp(-qv) * norm_pdf(dp) + dpremium;
    }
    return out;
}

// The scheme of the public kernels.
inline constexpr int NODES = ALO_SCHEME.nodes, POINTS = ALO_SCHEME.points;
static_assert(fits(ALO_SCHEME) && fits(ALO_REFERENCE_SCHEME));
inline constexpr Tables DEFAULT_TABLES = tables_of(ALO_SCHEME);

// Where the integrands forget fastest (kappa large: long maturities at high
// rates, or a large variance) ALO_SCHEME's 14 nodes leave up to some times
// the tolerance; there a finer scheme takes over, blended in smoothly over
// kappa in [BLEND_LO, BLEND_HI] (where both are within the tolerance), so
// that the price stays a smooth function of the inputs.  It allows more
// Newton steps: at the largest variances (vol^2 T near 100) its QD start
// lies several units of ln B off, and each step moves at most MAX_STEP.
inline constexpr AloScheme FINE_SCHEME{20, 30, 20, 64, 1e-4};
inline constexpr int FINE_NODES = FINE_SCHEME.nodes, FINE_POINTS = FINE_SCHEME.points;
static_assert(fits(FINE_SCHEME));
inline constexpr Tables FINE_TABLES = tables_of(FINE_SCHEME);
inline constexpr double BLEND_LO = 0.5;
inline constexpr double BLEND_HI = 0.7;

// The implied-vol search's steering scheme (alo_steer.h): its root lies
// within 1e-5 relative of the public schemes' in all but a few percent of
// contracts at about a fifth of a price a solve; it is only a start, so
// its Newton steps stop at 1e-3.
inline constexpr AloScheme STEER_SCHEME{5, 16, 6, 16, 1e-3};
inline constexpr int STEER_NODES = STEER_SCHEME.nodes, STEER_POINTS = STEER_SCHEME.points;
static_assert(fits(STEER_SCHEME));
inline constexpr Tables STEER_TABLES = tables_of(STEER_SCHEME);

// What the solve in doubles leaves for the partials' pass: the boundary,
// the last Jacobian's factors and the terms and cardinals of the geometry.
template <int NCAP, int LCAP>
struct Workspace {
    double s[NCAP + 1] = {};         // the boundary in doubles: the start in, the solve out
    double J[NCAP * NCAP];           // the last Jacobian's LU factors
    int piv[NCAP];                   // their row interchanges
    NodeTerms<double, NCAP, LCAP> nt;
    Cardinals<NCAP, LCAP> card;      // the interpolant at nt's points
};

// The boundary in doubles from w.s (WARM) or the QD start (COLD), by
// Newton's method; for the Greeks the Jacobian refactored at the boundary
// itself, not at the iterate before the last step.  *steps receives the
// steps taken; false when the solve does not converge.
template <int NCAP, int LCAP>
bool newton_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<NCAP, LCAP> &w, int *steps)
{
    if (start == Start::COLD)
        qd_start<NCAP>(tb, sp, mv.r, mv.q, mv.vol, sp.gap, w.s);
    node_terms(tb, sp, mv, w.nt);
    cardinals(tb, w.nt, w.card);
    *steps = newton_boundary(tb, w.nt, w.card, mv, sc.iterations, sc.tolerance, w.s, w.J, w.piv);
    if (*steps > sc.iterations)
        return false;
    if (purpose == Purpose::GREEKS) {
        double rho[NCAP];
        residuals(tb, w.nt, w.card, mv, w.s, rho, w.J);
        if (!lu_factor<NCAP>(w.J, tb.n, w.piv))
            return false;
    }
    return true;
}

// newton_solve for the public kernels' two schemes, compiled for each
// vector instruction set and chosen at run time (alo_vector.cpp): the same
// doubles on every one.  Any other scheme calls the template itself.
bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<NODES, POINTS> &w, int *steps);
bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<FINE_NODES, FINE_POINTS> &w,
                  int *steps);
template <int NCAP, int LCAP>
bool vector_solve(const Tables &tb, const AloScheme &sc, const Span &sp, const Rates<double> &mv,
                  Start start, Purpose purpose, Workspace<NCAP, LCAP> &w, int *steps)
{
    return newton_solve(tb, sc, sp, mv, start, purpose, w, steps);
}

// Whether a dual carries d/dvol alone (the implied-vol search's seed), whose
// partials the kernels take in doubles.
template <class T>
bool vol_alone(const Rates<T> &m)
{
    if constexpr (std::is_same_v<T, Dual<1>>)
        return m.r.d[0] == 0 && m.q.d[0] == 0 && m.vol.d[0] == 1;
    else
        return false;
}

// Solves the boundary in strike-free form (alo_boundary.h): s holds n + 1
// values of ln(X/B) at the nodes, which depend on r, q and vol alone.  s is the
// start when `start` is WARM, the converged boundary on return, with its
// partials in the seeded rates and vol for a dual T: with the boundary
// converged in doubles, ds/dtheta = -J^{-1} d rho/d theta (the implicit
// function theorem on the collocation equations, J their Jacobian), one
// residual pass in duals (in doubles for vol alone).  *steps receives the
// Newton steps taken; false when the solve does not converge.
template <class T, int NCAP, int LCAP>
bool solve_boundary(const Tables &tb, const AloScheme &sc, const Rates<T> &m, Start start, T *s,
                    Purpose purpose, int *steps)
{
    const int n = tb.n;
    const Rates<double> mv{value(m.r), value(m.q), value(m.vol)};
    const Span sp = make_span(mv.r, mv.q, mv.vol);
    const bool flat = !(sp.gap > FLAT_GAP);  // B = X
    Workspace<NCAP, LCAP> w;
    *steps = 0;
    if (!flat) {
        if (start == Start::WARM)
            for (int i = 0; i <= n; ++i)
                w.s[i] = value(s[i]);
        if (!vector_solve(tb, sc, sp, mv, start, purpose, w, steps))
            return false;
    }
    for (int i = 0; i <= n; ++i)
        s[i] = w.s[i];
    if constexpr (!std::is_same_v<T, double>) {
        if (!flat) {
            constexpr int P = sizeof(T{}.d) / sizeof(double);  // partials
            double drho[P][NCAP];  // d rho/d theta at the boundary held, per partial
            if (vol_alone(m)) {
                // vol alone (the implied-vol search): its column comes with
                // the residuals in doubles.
                double rho[NCAP];
                residuals(tb, w.nt, w.card, mv, w.s, rho, nullptr, drho[0]);
            } else {
                NodeTerms<T, NCAP, LCAP> ntd;
                node_terms(tb, sp, m, ntd);
                T rho[NCAP];
                residuals(tb, ntd, w.card, m, w.s, rho, static_cast<double *>(nullptr));
                for (int p = 0; p < P; ++p)
                    for (int i = 0; i < n; ++i)
                        drho[p][i] = rho[i].d[p];
            }
            for (int p = 0; p < P; ++p) {
                double b[NCAP];
                for (int i = 0; i < n; ++i)
                    b[i] = -drho[p][i];
                lu_solve<NCAP>(w.J, n, w.piv, b);
                for (int i = 0; i < n; ++i)
                    s[i].d[p] = b[i];
            }
        }
    }
    return true;
}

// The put at spot S and strike K on the solved boundary s; in doubles, given
// s_vol = ds/dvol, *vega receives dV/dvol.
template <class T>
PutValue<T> put_at(const Tables &tb, double S, double K, const Rates<T> &m, const T *s,
                   Purpose purpose, const double *s_vol = nullptr, double *vega = nullptr)
{
    const Span sp = make_span(value(m.r), value(m.q), value(m.vol));
    T H[ALO_MAX_NODES + 1];  // s^2 and its Chebyshev coefficients
    T c[ALO_MAX_NODES + 1] = {};
    for (int i = 0; i <= tb.n; ++i)
        H[i] = s[i] * s[i];
    chebyshev_coefficients(tb, H, c);
    double Hv[ALO_MAX_NODES + 1], cv[ALO_MAX_NODES + 1] = {};  // d(s^2)/dvol, its coefficients
    if (vega) {
        for (int i = 0; i <= tb.n; ++i)
            Hv[i] = 2 * (value(s[i]) * s_vol[i]);
        chebyshev_coefficients(tb, Hv, cv);
    }
    return put_premium(tb, sp, S, K, m, s, c, purpose, vega ? cv : nullptr, vega);
}

// put_at in doubles, compiled per instruction set like vector_solve.
PutValue<double> vector_put(const Tables &tb, double S, double K, const Rates<double> &m,
                            const double *s, Purpose purpose);

template <class T>
PutValue<T> put_on(const Tables &tb, double S, double K, const Rates<T> &m, const T *s,
                   Purpose purpose)
{
    if constexpr (std::is_same_v<T, double>) {
        return vector_put(tb, S, K, m, s, purpose);
    } else if constexpr (std::is_same_v<T, Dual<1>>) {
        if (vol_alone(m)) {
            // The price in doubles (the price kernel's own), its vega alongside.
            double sv[ALO_MAX_NODES + 1], ds[ALO_MAX_NODES + 1];
            for (int i = 0; i <= tb.n; ++i) {
                sv[i] = s[i].v;
                ds[i] = s[i].d[0];
            }
            Dual<1> price;
            const PutValue<double> p = put_at(tb, S, K, Rates<double>{m.r.v, m.q.v, m.vol.v}, sv,
                                              purpose, ds, &price.d[0]);
            price.v = p.price;
            return {price, p.delta, p.gamma};
        }
    }
    return put_at(tb, S, K, m, s, purpose);
}

// Solves the boundary and prices the put; NaN when the solve does not
// converge.
template <class T, int NCAP, int LCAP>
PutValue<T> put_value(const Tables &tb, const AloScheme &sc, double S, double K,
                      const Rates<T> &m, Start start, T *s, Purpose purpose, int *steps)
{
    if (!solve_boundary<T, NCAP, LCAP>(tb, sc, m, start, s, purpose, steps))
        return {T(NaN), NaN, NaN};
    return put_on(tb, S, K, m, s, purpose);
}

// What a contract reduces to.
struct Contract {
    enum Kind {
        INVALID,         // NaN or out-of-domain input: NaN out
        INTRINSIC,       // sigma <= 0 and no rates to read: the exercise value on the spot
        ZERO_VOL,        // sigma below SIGMA_ZERO, exercise possible: the deterministic value
        EUROPEAN,        // never exercised early: the Black price
        TWO_BOUNDARIES,  // q < r < 0 for the put: exercised inside a band
        BOUNDARY,        // one boundary: the collocation solve
    } kind;
    bool call;  // priced as the mirrored put
    double S;   // the put's spot (K for a call)
    double K;   // the put's strike (S for a call)
    double r;   // the put's rate (q for a call)
    double q;   // the put's yield (r for a call)
    // The contract as given, for the European branch: the very doubles of the
    // European method (black.h), whatever the mirroring.
    std::int32_t flag;
    double S0, K0, D0, F0;
};

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma);

// The put's value at sigma = 0: the forward path is certain, so it is the
// best of K e^{-r t} - S e^{-q t} over exercise times t in [0, 1] (and 0):
// at either end, or where r K e^{-r t} = q S e^{-q t} (a maximum when q > r).
// The time is chosen on the values, and the value taken at it, so a dual T
// carries the partials in r and q (the envelope theorem: the time's own
// partials do not count).  *delta receives dV/dS.
template <class T>
T zero_vol_put(double S, double K, const Rates<T> &m, double *delta)
{
    const double r = value(m.r), q = value(m.q);
    const auto at = [&](double t) { return K * std::exp(-r * t) - S * std::exp(-q * t); };
    double best = 0.0, t_best = -1.0;  // -1: never exercised
    for (double t : {0.0, 1.0}) {
        if (at(t) > best)
            best = at(t), t_best = t;
    }
    const double ratio = (r * K) / (q * S);
    if (r != q && ratio > 0) {
        const double t = std::log(ratio) / (r - q);
        if (t > 0 && t < 1 && at(t) > best)
            best = at(t), t_best = t;
    }
    if (t_best < 0) {
        *delta = 0.0;
        return T(0.0);
    }
    *delta = -std::exp(-q * t_best);
    if (t_best == 0)
        return T(K - S);
    return K * exp_of(-m.r * t_best) - S * exp_of(-m.q * t_best);
}

// The finer scheme's weight: 0 up to BLEND_LO, 1 from BLEND_HI, a cubic
// smoothstep in kappa between (in T, so that its partials count).
template <class T>
T fine_weight(const Rates<T> &m)
{
    const T k = decay_rate(m.r, m.q, m.vol);
    if (!(value(k) > BLEND_LO))
        return T(0.0);
    if (!(value(k) < BLEND_HI))
        return T(1.0);
    const T x = (k - BLEND_LO) / (BLEND_HI - BLEND_LO);
    return x * x * (3.0 - 2.0 * x);
}

// The boundaries of the schemes, kept between solves (the implied-vol
// search starts each solve from the last), and whether each holds one.
template <class T>
struct Boundaries {
    T coarse[NODES + 1];
    T fine[FINE_NODES + 1];
    T steer[STEER_NODES + 1];
    bool warm_coarse = false;
    bool warm_fine = false;
    bool warm_steer = false;
};

// The two schemes' values combined with the finer one's weight w (either
// alone at w = 0 or 1).
template <class T>
PutValue<T> blend(const T &w, const PutValue<T> &coarse, const PutValue<T> &fine)
{
    const double wv = value(w);
    if (wv == 0)
        return coarse;
    if (wv == 1)
        return fine;
    return {coarse.price + w * (fine.price - coarse.price), coarse.delta + wv * (fine.delta - coarse.delta),
            coarse.gamma + wv * (fine.gamma - coarse.gamma)};
}

// The put under the public kernels' schemes: ALO_SCHEME, FINE_SCHEME or the
// blend of the two; *steps receives the Newton steps of both.
template <class T>
PutValue<T> solve_default(const Contract &c, const Rates<T> &m, Boundaries<T> &b, Purpose purpose,
                          int *steps)
{
    const T w = fine_weight(m);
    const double wv = value(w);
    PutValue<T> coarse{T(0.0), 0.0, 0.0}, fine{T(0.0), 0.0, 0.0};
    int coarse_steps = 0, fine_steps = 0;
    if (wv < 1) {
        coarse = put_value<T, NODES, POINTS>(DEFAULT_TABLES, ALO_SCHEME, c.S, c.K, m,
                                             b.warm_coarse ? Start::WARM : Start::COLD, b.coarse,
                                             purpose, &coarse_steps);
        b.warm_coarse = !std::isnan(value(coarse.price));
    }
    if (wv > 0) {
        fine = put_value<T, FINE_NODES, FINE_POINTS>(FINE_TABLES, FINE_SCHEME, c.S, c.K, m,
                                                     b.warm_fine ? Start::WARM : Start::COLD, b.fine,
                                                     purpose, &fine_steps);
        b.warm_fine = !std::isnan(value(fine.price));
    }
    *steps = coarse_steps + fine_steps;
    return blend(w, coarse, fine);
}

// The price of a BOUNDARY contract and its vega dV/dsigma (one forward-mode
// partial), each scheme's boundary started from b's where it holds one and
// left there with its sensitivity to sigma.
inline double price_vega_at(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega)
{
    Rates<Dual<1>> m{c.r, c.q, sigma};
    m.vol.d[0] = 1.0;
    int steps;
    const Dual<1> price = solve_default<Dual<1>>(c, m, b, Purpose::PRICE, &steps).price;
    *vega = price.d[0];
    return price.v;
}

// price_vega_at compiled per instruction set like vector_solve.
double boundary_price_vega(const Contract &c, double sigma, Boundaries<Dual<1>> &b, double *vega);

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_SOLVE_H
