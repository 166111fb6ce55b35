// Andersen, Lake & Offengenden (2016) American prices and Greeks in forward
// form (alo.h): the contract reduced to a put, its regime, and the boundary
// solve (alo_solve.h) where it has one.
//
// Sensitivities to r, q and vol move the boundary, and the premium integral
// is not stationary in it, so they are carried through the solve by
// forward-mode automatic differentiation; delta and gamma hold the boundary,
// which does not move with the spot at fixed rates.
#include "alo.h"
#include "alo_solve.h"
#include "black.h"
#include "fd.h"
#include "rates.h"
#include "simd.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace korvane::kernels {

namespace alo_detail {

// Rates read from D and F carry a few ulp of their logarithms' arguments: r =
// -ln D is off by up to ~eps (1 + |r|), q = r - ln(F/S) by ~eps (1 + |r| +
// |ln F/S|) (NumPy's exp and libm's differ by an ulp).  The regime turns on
// the signs of r, q and q - r, so each is read as zero within
// RATE_NOISE (1 + |r| + |ln F/S|), a margin rounding cannot cross: the
// prices on either side of it differ by far less than the accuracy.
constexpr double RATE_NOISE = 64 * std::numeric_limits<double>::epsilon();

// Below this total standard deviation the price is the deterministic one:
// they differ by less than about sigma K/sqrt(2 pi), at the rounding of the
// price, and the boundary's offset from X (~sigma^2) is far below the
// rounding of its level.
constexpr double SIGMA_ZERO = 1e-15;

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    Contract c{Contract::INVALID, flag == CALL, S, K, 0.0, 0.0, flag, S, K, D, F};
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma))
        return c;
    if (!(S > 0 && K > 0 && D > 0 && F > 0) || std::isinf(D) || std::isinf(F)) {
        if (sigma <= 0)
            c.kind = Contract::INTRINSIC;
        return c;
    }
    if (std::isinf(sigma) || std::isinf(S) || std::isinf(K))
        return c;
    const ForwardRates fr = forward_rates(S, D, F);
    double r = fr.r;
    const double carry = fr.ln_g;  // (r - q) over the unit maturity
    double q = fr.q;
    const double noise = RATE_NOISE * (1 + std::fabs(r) + std::fabs(carry));
    if (std::fabs(r) <= noise)
        r = 0.0;
    if (std::fabs(q) <= noise)
        q = 0.0;
    if (std::fabs(carry) <= noise)
        q = r;
    // Call by put-call symmetry: C(S, K, r, q) = P(K, S, q, r).
    if (c.call)
        c = Contract{Contract::INVALID, true, K, S, q, r, flag, S, K, D, F};
    else
        c.r = r, c.q = q;
    // The put's exercise benefit per unit time is r K - q S: exercise can pay
    // only where it is positive.  Where it can, below SIGMA_ZERO the value is
    // the deterministic one.
    if (c.r > 0 || (c.r == 0 && c.q < 0))
        c.kind = Contract::BOUNDARY;       // positive for S below K r/q (every S when q <= 0)
    else if (c.q >= c.r)
        c.kind = Contract::EUROPEAN;       // r <= 0, q >= r: positive only above K, never used
    else
        c.kind = Contract::TWO_BOUNDARIES;  // q < r < 0: positive above K r/q < K
    if (sigma < SIGMA_ZERO && c.kind != Contract::EUROPEAN)
        c.kind = Contract::ZERO_VOL;
    return c;
}

namespace {

// The put with q < r < 0 is exercised inside a band between two boundaries
// (Andersen & Lake 2021, Healy 2021), which one boundary's integral equation
// does not describe: such contracts, and their Greeks and implied
// volatilities, go to the finite-difference engine's finer scheme (fd.h),
// solved by policy iteration.
double two_boundary_price(const Contract &c, double sigma)
{
    return _fd_two_boundary_price(c.flag, c.S0, c.K0, c.D0, c.F0, sigma);
}

// A boundary of n + 1 nodes and its P partials, to and from a reuse record.
template <class T, int P>
void keep(const T *s, int n, double (*out)[P + 1])
{
    for (int i = 0; i <= n; ++i) {
        out[i][0] = value(s[i]);
        if constexpr (P > 0)
            for (int p = 0; p < P; ++p)
                out[i][p + 1] = s[i].d[p];
    }
}

template <class T, int P>
void take(const double (*in)[P + 1], int n, T *s)
{
    for (int i = 0; i <= n; ++i) {
        s[i] = T(in[i][0]);
        if constexpr (P > 0)
            for (int p = 0; p < P; ++p)
                s[i].d[p] = in[i][p + 1];
    }
}

// The put of a BOUNDARY contract under the public schemes on the boundaries
// in `reuse`, solved first unless they are the contract's.  A fresh solve
// and a reused one give the same doubles: the boundaries are solved cold
// from the rates alone, and the contract's S and K enter only the premium.
template <class T, int P>
PutValue<T> put_reusing(const Contract &c, const Rates<T> &m, Purpose purpose, AloReuseOf<P> &reuse)
{
    const T w = fine_weight(m);
    const double wv = value(w);
    const std::uint64_t key[3] = {std::bit_cast<std::uint64_t>(c.r),
                                  std::bit_cast<std::uint64_t>(c.q),
                                  std::bit_cast<std::uint64_t>(value(m.vol))};
    const bool held = reuse.held && key[0] == reuse.key[0] && key[1] == reuse.key[1]
                      && key[2] == reuse.key[2];
    T coarse_s[NODES + 1], fine_s[FINE_NODES + 1];
    if (!held) {
        int steps;
        reuse.converged[0] = wv < 1 && solve_boundary<T, NODES, POINTS>(
                                           DEFAULT_TABLES, ALO_SCHEME, m, Start::COLD, coarse_s,
                                           purpose, &steps);
        reuse.converged[1] = wv > 0 && solve_boundary<T, FINE_NODES, FINE_POINTS>(
                                           FINE_TABLES, FINE_SCHEME, m, Start::COLD, fine_s,
                                           purpose, &steps);
        if (reuse.converged[0])
            keep<T, P>(coarse_s, NODES, reuse.s[0]);
        if (reuse.converged[1])
            keep<T, P>(fine_s, FINE_NODES, reuse.s[1]);
        for (int j = 0; j < 3; ++j)
            reuse.key[j] = key[j];
        reuse.held = true;
        ++reuse.solves;
    } else {
        if (reuse.converged[0])
            take<T, P>(reuse.s[0], NODES, coarse_s);
        if (reuse.converged[1])
            take<T, P>(reuse.s[1], FINE_NODES, fine_s);
    }
    const PutValue<T> none{T(NaN), NaN, NaN};
    PutValue<T> coarse{T(0.0), 0.0, 0.0}, fine{T(0.0), 0.0, 0.0};
    if (wv < 1)
        coarse = reuse.converged[0] ? put_on(DEFAULT_TABLES, c.S, c.K, m, coarse_s, purpose) : none;
    if (wv > 0)
        fine = reuse.converged[1] ? put_on(FINE_TABLES, c.S, c.K, m, fine_s, purpose) : none;
    return blend(w, coarse, fine);
}

// The Greeks' put, compiled per instruction set (simd.h).
PutValue<Dual<3>> greeks_put(const Contract &c, const Rates<Dual<3>> &m, AloGreeksReuse &reuse)
{
    return put_reusing<Dual<3>, 3>(c, m, Purpose::GREEKS, reuse);
}

double price_reusing(const Contract &c, double sigma, AloReuse &reuse)
{
    return put_reusing<double, 0>(c, {c.r, c.q, sigma}, Purpose::PRICE, reuse).price;
}

// Price of a classified contract under the default scheme, a boundary
// taken from or left in `reuse`.
double price_default(const Contract &c, double sigma, AloReuse &reuse)
{
    switch (c.kind) {
    case Contract::INVALID:
        return NaN;
    case Contract::INTRINSIC:
        return intrinsic_value(c.flag, c.S0, c.K0);
    case Contract::ZERO_VOL: {
        double delta;
        return zero_vol_put(c.S, c.K, Rates<double>{c.r, c.q, 0.0}, &delta);
    }
    case Contract::EUROPEAN:
        return _black_price(c.flag, c.K0, c.D0, c.F0, sigma);
    case Contract::TWO_BOUNDARIES:
        return two_boundary_price(c, sigma);
    case Contract::BOUNDARY:
        break;
    }
    return price_reusing(c, sigma, reuse);
}

}  // namespace

}  // namespace alo_detail

using namespace alo_detail;

double _alo_price_scheme(const AloScheme &scheme, std::int32_t flag, double S, double K, double D,
                         double F, double sigma)
{
    if (!fits(scheme))
        return NaN;
    const Contract c = classify(flag, S, K, D, F, sigma);
    if (c.kind != Contract::BOUNDARY) {
        AloReuse none;
        return price_default(c, sigma, none);
    }
    const Tables tb = tables_of(scheme);
    double s[ALO_MAX_NODES + 1];
    int steps;
    return put_value<double, ALO_MAX_NODES, ALO_MAX_POINTS>(tb, scheme, c.S, c.K,
                                                           {c.r, c.q, sigma}, Start::COLD, s,
                                                           Purpose::PRICE, &steps)
        .price;
}

double _alo_price(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    AloReuse fresh;
    return price_default(classify(flag, S, K, D, F, sigma), sigma, fresh);
}

double _alo_price_reusing(AloReuse &reuse, std::int32_t flag, double S, double K, double D,
                          double F, double sigma)
{
    return price_default(classify(flag, S, K, D, F, sigma), sigma, reuse);
}

void _alo_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 Greeks *out)
{
    AloGreeksReuse fresh;
    _alo_greeks_reusing(fresh, flag, S, K, D, F, sigma, out);
}

void _alo_greeks_reusing(AloGreeksReuse &reuse, std::int32_t flag, double S, double K, double D,
                         double F, double sigma, Greeks *out)
{
    const Contract c = classify(flag, S, K, D, F, sigma);
    out->gamma = out->vega = out->dD = out->dF = 0.0;
    // The put's partials in its own r, q and vol, seeded in that order.
    using D3 = Dual<3>;
    Rates<D3> m{c.r, c.q, sigma};
    m.r.d[0] = m.q.d[1] = m.vol.d[2] = 1.0;
    PutValue<D3> put{D3(0.0), 0.0, 0.0};
    switch (c.kind) {
    case Contract::INVALID:
        out->price = out->delta = out->gamma = out->vega = out->dD = out->dF = NaN;
        return;
    case Contract::INTRINSIC:
        // The exercise value on the spot, flat beyond its kink.
        out->price = intrinsic_value(flag, S, K);
        out->delta = out->price > 0 ? (flag == CALL ? 1.0 : -1.0) : 0.0;
        return;
    case Contract::EUROPEAN:
        _black_greeks(flag, S, K, D, F, sigma, out);
        return;
    case Contract::TWO_BOUNDARIES:
        _fd_two_boundary_greeks(flag, S, K, D, F, sigma, out);
        return;
    case Contract::ZERO_VOL:
        put.price = zero_vol_put(c.S, c.K, m, &put.delta);
        put.gamma = 0.0;
        put.price.d[2] = 0.0;
        break;
    case Contract::BOUNDARY:
        put = per_isa<greeks_put>()(c, m, reuse);
        break;
    }

    double dr = put.price.d[0], dq = put.price.d[1];  // dV/dr, dV/dq of the contract
    out->price = put.price.v;
    if (c.call) {
        // C(S, K, r, q) = P(K, S, q, r); P is homogeneous of degree one in its
        // spot and strike, so dC/dS = dP/dK' = (P - K dP/dS')/S and
        // d2C/dS2 = (K/S)^2 d2P/dS'2.
        dr = put.price.d[1];
        dq = put.price.d[0];
        out->delta = (put.price.v - K * put.delta) / S;
        out->gamma = (K / S) * (K / S) * put.gamma;
    } else {
        out->delta = put.delta;
        out->gamma = put.gamma;
    }
    // r = -ln D and q = -ln D - ln(F/S).
    out->vega = put.price.d[2];
    out->dD = -(dr + dq) / D;
    out->dF = -dq / F;
}

double _alo_price_vega(std::int32_t flag, double S, double K, double D, double F, double sigma,
                       double *vega)
{
    const Contract c = classify(flag, S, K, D, F, sigma);
    if (c.kind != Contract::BOUNDARY) {
        // The other regimes' vega comes with their Greeks: closed forms, or
        // the two-boundary scheme's solve, which gives both at once.
        Greeks g;
        _alo_greeks(flag, S, K, D, F, sigma, &g);
        *vega = g.vega;
        return g.price;
    }
    Boundaries<Dual<1>> b;
    return boundary_price_vega(c, sigma, b, vega);
}

}  // namespace korvane::kernels
