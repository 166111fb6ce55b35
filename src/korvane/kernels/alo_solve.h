// The put's boundary solve and premium integral for the fixed-point American
// kernels (alo.h): what a contract reduces to, the schemes, and the solve the
// price, the Greeks and the implied-vol search share.  Internal to the
// kernels: namespace alo_detail.
#ifndef KORVANE_ALO_SOLVE_H
#define KORVANE_ALO_SOLVE_H

#include <cmath>
#include <cstdint>

#include "alo_boundary.h"

namespace korvane::kernels::alo_detail {

inline constexpr double COARSE_TOLERANCE = 1e-7;  // the coarse sweeps' stop: below the fine start's error
inline constexpr int IV_SWEEPS = 30;  // most fine sweeps of each solve in the implied-vol search

// What a boundary solve is for: the scheme it runs and what it returns.
enum class Purpose {
    PRICE,            // the price on the default schemes
    GREEKS,           // the same solve, with the put's delta and gamma
    SEARCH_STEER,     // an implied-vol search step far from the root: few sweeps
    SEARCH_CONVERGE,  // a search step near the root: swept to the tolerance
};

// Where a solve's sweeps start.
enum class Start {
    COLD,  // the QD boundary (through the coarse stage, when the scheme has one)
    WARM,  // the boundary the caller left in H
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

// The put at spot S on the boundary H (coefficients c): the exercise value
// at or beyond it, else the European price plus the premium integral.  Delta
// and gamma are filled for the Greeks.
template <class T>
PutValue<T> put_premium(const Tables &tb, double S, double K, const Rates<T> &m, const T *H,
                        const T *c, Purpose purpose)
{
    const int n = tb.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    const T ln_XK = value(q) > value(r) ? log_of(r / q) : T(0.0);
    const T ln_X = std::log(K) + ln_XK;

    const bool greeks = purpose == Purpose::GREEKS;
    PutValue<T> out{T(0.0), 0.0, 0.0};
    // At or beyond the boundary at the full maturity: the exercise value.
    const T sH_T = sqrt_pos(H[0]);
    // ln(S/X): X moves with r and q where q > r, and so does every ln(S/B(u)).
    const T ln_SX = std::log(S) - ln_X;
    if (value(ln_SX) <= -value(sH_T)) {
        out.price = K - S;
        out.delta = -1.0;
        return out;
    }

    // Premium integral in theta, u = sin^2, t = cos^2, du = 2 sin cos dtheta.
    T premium = 0.0;
    double delta = 0.0, gamma = 0.0;  // their integrals, the boundary held
    const double rv = value(r), qv = value(q), vv = value(vol);
    double xi[ALO_MAX_POINTS] = {};  // sqrt(u) of each point on the Chebyshev axis
    for (int k = 0; k < tb.outer.n; ++k)
        xi[k] = 2 * tb.outer.sin[k] - 1;
    T Hu[ALO_MAX_POINTS];  // H(sqrt u) there
    clenshaw_row<T, ALO_MAX_POINTS>(c, n, xi, tb.outer.n, Hu);
    for (int k = 0; k < tb.outer.n; ++k) {
        const double sn = tb.outer.sin[k], cs = tb.outer.cos[k];
        const double t = cs * cs;
        const double du = 2 * (sn * cs) * tb.outer.w[k];
        const T sHu = sqrt_pos(Hu[k]);
        const T sd = vol * cs;
        const T dm = (ln_SX + sHu + (r - q) * t - 0.5 * (v2 * t)) / sd;
        const T dp = dm + sd;
        const T er = exp_of(-r * t), eq = exp_of(-q * t);
        const T em = exp_of(-0.5 * (dm * dm)), ep = exp_of(-0.5 * (dp * dp));
        premium += (r * K * er * ncdf_given(-dm, em) - q * S * eq * ncdf_given(-dp, ep)) * du;
        if (greeks) {
            // d/dS: -q e^{-qt} Phi(-d+) + e^{-qt} phi(d+)(q - r K/B)/(vol sqrt t);
            // d2/dS2: e^{-qt} phi(d+)/(S vol sqrt t) [q - (q - r K/B) d+/(vol sqrt t)].
            const double dpv = value(dp), sdv = value(sd), eqv = value(eq);
            const double KB = std::exp(value(sHu) - value(ln_XK));  // K/B(u)
            const double pp = INV_SQRT_2PI * value(ep);
            const double a = qv - rv * KB;
            delta += (-(qv * eqv) * _norm_cdf(-dpv) + eqv * pp * a / sdv) * du;
            gamma += eqv * pp / (S * sdv) * (qv - a * dpv / sdv) * du;
        }
    }
    out.price = european_put(S, K, m) + premium;
    // Short of the exercise value (a boundary the sweeps left too low, seen
    // only with a negative yield far above the rate): exercised, as the
    // price can be no less.
    if (value(out.price) < K - S) {
        out.price = K - S;
        out.delta = -1.0;
        return out;
    }
    if (greeks) {
        const double dp = (std::log(S / K) + rv - qv + 0.5 * (vv * vv)) / vv;
        out.delta = -std::exp(-qv) * _norm_cdf(-dp) + delta;
        out.gamma = std::exp(-qv) * value(npdf_of(dp)) / (S * vv) + gamma;
    }
    return out;
}

// Solves the boundary, leaving H = ln(B/X)^2 at the nodes in H (its start
// there when `start` is WARM) and its Chebyshev coefficients in c, and
// prices the put.
// A cold start is the QD boundary, first swept on the coarse nodes when
// there are any: there a sweep costs a fraction of one on the fine nodes,
// which then start within the coarse discretisation's error.
template <class T, int NCAP, int LCAP, int CNCAP, int CLCAP>
PutValue<T> put_value(const Tables &tb, const Tables *coarse, const AloScheme &sc, double S,
                      double K, const Rates<T> &m, Start start, T *H, T *c, Purpose purpose)
{
    if (start == Start::COLD && !coarse) {
        qd_start(tb, K, m, H);
    } else if (start == Start::COLD) {
        if constexpr (CNCAP >= 2) {  // else no room for a coarse stage
            T Hc[CNCAP + 1];  // the coarse boundary
            T cc[CNCAP + 1];  // its Chebyshev coefficients
            qd_start(*coarse, K, m, Hc);
            sweep_boundary<T, CNCAP, CLCAP>(*coarse, sc.coarse_iterations, COARSE_TOLERANCE, K,
                                            m, Hc, cc);
            for (int i = 0; i < tb.n; ++i) {
                H[i] = clenshaw(cc, coarse->n, 2 * tb.root_tau[i] - 1);
                if (!(value(H[i]) > 0))
                    H[i] = 0.0;
            }
        }
    }
    sweep_boundary<T, NCAP, LCAP>(tb, sc.iterations, sc.tolerance, K, m, H, c);
    return put_premium(tb, S, K, m, H, c, purpose);
}

// ---------------------------------------------------------------------------
// Forward form to the put, and the regimes that need no boundary.

// What a contract reduces to.
struct Contract {
    enum Kind {
        INVALID,    // NaN or out-of-domain input: NaN out
        INTRINSIC,  // sigma <= 0: the undiscounted exercise value
        EUROPEAN,   // never exercised early: the Black price
        DOUBLE,     // two boundaries (q < r < 0 for the put): not handled, NaN
        DEEP_NEGATIVE_YIELD,  // r > 0 > q + vol^2 for the put: not handled, NaN
        BOUNDARY,   // one boundary: the fixed-point solve
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

template <class T, int NCAP, int LCAP, int CNCAP, int CLCAP>
PutValue<T> solve(const Tables &tb, const Tables *coarse, const AloScheme &sc, const Contract &c,
                  const Rates<T> &m, Start start, T *H, Purpose purpose)
{
    T coef[NCAP + 1];
    return put_value<T, NCAP, LCAP, CNCAP, CLCAP>(tb, coarse, sc, c.S, c.K, m, start, H, coef,
                                                  purpose);
}

// Where the value-matching form FP-B is used (r > 2 vol^2) its kernel
// Phi(d-(s, .)) steps from 0 to 1 as s -> 0, where FP-B''s densities are
// smooth: on ALO_SCHEME's nodes and points it missed the reference by up to
// 5e-6 relative.  This finer scheme holds it within 2e-7.  No coarse stage:
// started from the coarse FP-B boundary its sweeps ended further off than
// from QD.
inline constexpr AloScheme VALUE_MATCHING_SCHEME{24, 6, 18, 64, 1e-9, 0, 0, 0};

inline constexpr int NODES = ALO_SCHEME.nodes;
inline constexpr int POINTS = ALO_SCHEME.points;
inline constexpr int COARSE_NODES = ALO_SCHEME.coarse_nodes;
inline constexpr int COARSE_POINTS = ALO_SCHEME.coarse_points;
inline constexpr int VM_NODES = VALUE_MATCHING_SCHEME.nodes;
inline constexpr int VM_POINTS = VALUE_MATCHING_SCHEME.points;
inline constexpr int H_NODES = NODES > VM_NODES ? NODES : VM_NODES;  // room for either boundary

static_assert(fits(ALO_SCHEME) && fits(ALO_REFERENCE_SCHEME) && fits(VALUE_MATCHING_SCHEME));
inline constexpr Tables DEFAULT_TABLES =
    make_tables(ALO_SCHEME.nodes, ALO_SCHEME.points, ALO_SCHEME.final_points);
inline constexpr Tables COARSE_TABLES =
    make_tables(ALO_SCHEME.coarse_nodes, ALO_SCHEME.coarse_points, 1);
inline constexpr Tables VM_TABLES = make_tables(
    VALUE_MATCHING_SCHEME.nodes, VALUE_MATCHING_SCHEME.points, VALUE_MATCHING_SCHEME.final_points);

// A scheme with `sweeps` fine sweeps at most to `tolerance`, else as `s`.
constexpr AloScheme with_sweeps(const AloScheme &s, int sweeps, double tolerance)
{
    return {s.nodes, sweeps, s.points, s.final_points, tolerance, s.coarse_nodes,
            s.coarse_iterations, s.coarse_points};
}

// The implied-volatility search's converged solves sweep every boundary to a
// tolerance, so that its root is that of the converged price whatever the
// path to it.  FP-B' contracts fast (its last changes shrink 3 to 20 times a
// sweep), so a change of 1e-8 in ln B leaves an error below it: the roots
// stay within 4e-10 in sigma of the fully converged ones.  FP-B's slow mode
// (0.96 a sweep near the end) keeps the default 1e-9.
inline constexpr double IV_TOLERANCE = 1e-8;
inline constexpr AloScheme IV_SCHEME = with_sweeps(ALO_SCHEME, IV_SWEEPS, IV_TOLERANCE);
inline constexpr AloScheme VM_IV_SCHEME =
    with_sweeps(VALUE_MATCHING_SCHEME, IV_SWEEPS, VALUE_MATCHING_SCHEME.tolerance);
// The search's steering solves only steer its steps towards the root, and
// the converged solves that follow take up the sweeps they leave: the
// Jacobi-Newton sweep alone (after the coarse stage, for FP-B').
inline constexpr AloScheme STEER_SCHEME = with_sweeps(ALO_SCHEME, 1, ALO_SCHEME.tolerance);
inline constexpr AloScheme VM_STEER_SCHEME =
    with_sweeps(VALUE_MATCHING_SCHEME, 1, VALUE_MATCHING_SCHEME.tolerance);

// Nodes of the boundary the default solve holds at this rate and vol.
inline int default_nodes(double r, double vol)
{
    return form_for(r, vol) == Form::VALUE_MATCHING ? VM_NODES : NODES;
}

// The default solve for `purpose`: on ALO_SCHEME or, where FP-B is used,
// VALUE_MATCHING_SCHEME, with the search's sweep counts and tolerances for
// its steps.  H has room for H_NODES + 1 values.
template <class T>
PutValue<T> solve_default(const Contract &c, const Rates<T> &m, Start start, T *H,
                          Purpose purpose)
{
    if (form_for(value(m.r), value(m.vol)) == Form::VALUE_MATCHING) {
        const AloScheme &sc = purpose == Purpose::SEARCH_STEER      ? VM_STEER_SCHEME
                              : purpose == Purpose::SEARCH_CONVERGE ? VM_IV_SCHEME
                                                                    : VALUE_MATCHING_SCHEME;
        // No coarse stage.
        return solve<T, VM_NODES, VM_POINTS, 0, 0>(VM_TABLES, nullptr, sc, c, m, start, H,
                                                   purpose);
    }
    const AloScheme &sc = purpose == Purpose::SEARCH_STEER      ? STEER_SCHEME
                          : purpose == Purpose::SEARCH_CONVERGE ? IV_SCHEME
                                                                : ALO_SCHEME;
    return solve<T, NODES, POINTS, COARSE_NODES, COARSE_POINTS>(DEFAULT_TABLES, &COARSE_TABLES,
                                                                sc, c, m, start, H, purpose);
}

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_SOLVE_H
