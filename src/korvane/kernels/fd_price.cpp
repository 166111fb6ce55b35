// Finite-difference American prices and Greeks with cash dividends: the
// forward form read into rates, the deterministic value at zero volatility,
// and the solve combined with Richardson extrapolation.  Without dividends
// the result is the accurate engine's (_alo_price), which leaves two
// boundaries to this engine's finer scheme.  A scheme may also take that engine's dividend-free price as a
// control variate,
//   V = FD(with dividends) - FD(without) + ALO(without),
// both solves on the same grid and time steps, so that the discretisation
// error they share cancels.
#include "alo.h"
#include "fd_internal.h"

#include <cmath>
#include <utility>

namespace korvane::kernels {

namespace {

using fd::Contract;
using fd::payoff;

// The deterministic value: with no volatility the spot follows
// S(t) = S_a e^{(r-q)(t - t_a)} from its value S_a after each drop, and the
// holder exercises at the best time: today, just before an ex-date, at
// expiry, or where d/dt e^{-rt} (exercise value) = 0 inside a stretch,
// i.e. q S_a e^{-r t_a - q (t - t_a)} = r K e^{-rt}.  Fills the unit-life
// partials (delta, dV/dr, dV/dq and dV/dtau) at the best time held, which
// the envelope theorem allows.
struct Deterministic {
    double price, delta, d_r, d_q, rate;
};

Deterministic deterministic(const fd::Problem &p, const fd::Schedule &divs)
{
    const double b = p.r - p.q;
    const double s = p.flag == CALL ? 1.0 : -1.0;
    Deterministic best{payoff(p.flag, p.S, p.K), 0.0, 0.0, 0.0, 0.0};
    if (best.price > 0)
        best.delta = s;
    // Along the path: the spot S_a at t_a, and its partials in S and b
    // (zero once a drop has taken it to 0).
    double t_a = 0.0, S_a = p.S, dS_a = 1.0, db_a = 0.0;
    const auto consider = [&](double t) {
        const double grow = std::exp(b * (t - t_a));
        const double x = S_a * grow;
        const double v = std::exp(-p.r * t) * payoff(p.flag, x, p.K);
        if (!(v > best.price))
            return;
        const double disc = std::exp(-p.r * t);
        const double dx_db = db_a * grow + (t - t_a) * x;  // dS(t)/db
        best.price = v;
        best.delta = disc * s * dS_a * grow;
        best.d_r = -t * v + disc * s * dx_db;  // b = r - q
        best.d_q = -disc * s * dx_db;
        // Not exercised today: dV/dtau = (r - q) S V_S - r V, the equation
        // without diffusion.
        best.rate = b * p.S * best.delta - p.r * v;
    };
    for (int i = 0; i <= divs.n; ++i) {
        const double t_b = i < divs.n ? divs.t[i] : 1.0;
        if (p.r != p.q && S_a > 0) {
            const double ratio = (p.r * p.K) / (p.q * S_a);
            if (ratio > 0) {
                const double t = t_a + std::log(ratio) / (p.r - p.q);
                if (t > t_a && t < t_b)
                    consider(t);
            }
        }
        consider(t_b);
        if (i == divs.n)
            break;
        const double grow = std::exp(b * (t_b - t_a));
        const double x = S_a * grow - divs.d[i];
        if (x > 0) {
            db_a = db_a * grow + (t_b - t_a) * S_a * grow;
            dS_a = dS_a * grow;
            S_a = x;
        } else {
            S_a = dS_a = db_a = 0.0;
        }
        t_a = t_b;
    }
    return best;
}

double price_contract(const FdScheme &sc, const Contract &c, int *solves)
{
    switch (c.kind) {
    case Contract::INVALID:
        return NaN;
    case Contract::DETERMINISTIC:
        return deterministic_price(c);
    case Contract::SOLVE:
        break;
    }
    return fd::evaluate(sc, c, c.p.sigma, nullptr, solves);
}

// _fd_price's value: without dividends the accurate engine's (which leaves
// two boundaries to _fd_two_boundary_price).
double price_default(const Contract &c, int *solves)
{
    if (c.kind == Contract::SOLVE && c.divs.n == 0)
        return _alo_price(c.p.flag, c.p.S, c.p.K, c.D, c.F0, c.p.sigma);
    return price_contract(FD_SCHEME, c, solves);
}

}  // namespace

namespace fd {

bool solve_extrapolated(const FdScheme &sc, const Contract &c, bool both, int partials,
                        NodeValue *with, NodeValue *without, int *solves)
{
    if (!solve(sc, 0, c.p, c.divs, both, partials, with, without, solves))
        return false;
    if (!sc.extrapolate)
        return true;
    NodeValue w1, o1;
    if (!solve(sc, 1, c.p, c.divs, both, partials, &w1, &o1, solves))
        return false;
    const auto extrapolate = [](NodeValue &coarse, const NodeValue &fine) {
        const auto rich = richardson;
        coarse.price = rich(coarse.price, fine.price);
        coarse.delta = rich(coarse.delta, fine.delta);
        coarse.gamma = rich(coarse.gamma, fine.gamma);
        coarse.rate = rich(coarse.rate, fine.rate);
        for (int q = 0; q < MAX_PARTIALS; ++q)
            coarse.partial[q] = rich(coarse.partial[q], fine.partial[q]);
    };
    extrapolate(*with, w1);
    if (both)
        extrapolate(*without, o1);
    return true;
}

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma,
                  const Dividends &dividends)
{
    Contract c{};
    c.kind = Contract::INVALID;
    c.divs.n = 0;
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma))
        return c;
    if (!read_schedule(dividends, &c.divs))
        return c;
    if (!(S > 0 && K > 0 && D > 0 && F > 0) || std::isinf(S) || std::isinf(K) ||
        std::isinf(D) || std::isinf(F) || std::isinf(sigma))
        return c;
    const double b = _fd_carry(S, F, c.divs.t, c.divs.d, c.divs.n);
    if (std::isnan(b))
        return c;
    const double r = -std::log(D);
    c.p = {flag == CALL ? CALL : PUT, S, K, r, r - b, sigma};
    c.D = D;
    c.F0 = c.divs.n == 0 ? F : S * std::exp(b);
    c.kind = sigma > 0 ? Contract::SOLVE : Contract::DETERMINISTIC;
    return c;
}


double deterministic_price(const Contract &c)
{
    return deterministic(c.p, c.divs).price;
}

double evaluate(const FdScheme &sc, const Contract &c, double sigma, double *vega, int *solves)
{
    Contract at = c;
    at.p.sigma = sigma;
    // The dividend-free contract by the accurate engine: the answer without
    // dividends, and the control variate where the scheme takes one.  Where
    // it has two boundaries the accurate engine's answer is this engine's on
    // its finer scheme: the scheme asked for solves it instead.
    double alo = NaN, alo_vega = NaN;
    if ((c.divs.n == 0 || sc.control) && one_boundary(c.p))
        alo = vega ? _alo_price_vega(c.p.flag, c.p.S, c.p.K, c.D, c.F0, sigma, &alo_vega)
                   : _alo_price(c.p.flag, c.p.S, c.p.K, c.D, c.F0, sigma);
    if (c.divs.n == 0 && !std::isnan(alo)) {
        if (vega)
            *vega = alo_vega;
        return alo;
    }
    const bool control = sc.control && !std::isnan(alo);
    NodeValue with, without;
    if (!solve_extrapolated(sc, at, control, vega ? 1 : 0, &with, &without, solves))
        return NaN;
    const double exercise = payoff(c.p.flag, c.p.S, c.p.K);
    double v = with.price, dv = with.partial[D_SIGMA];
    // Exercised at the spot: no correction applies.
    if (control && with.price != exercise) {
        v = with.price - without.price + alo;
        dv = dv - without.partial[D_SIGMA] + alo_vega;
    }
    // Extrapolation (or the correction) can take a price just below the
    // exercise value where one level exercises at the spot and the other
    // does not: the price is never below it.
    if (!(v > exercise)) {
        v = exercise;
        dv = 0.0;
    }
    if (vega)
        *vega = dv;
    return v;
}

double evaluate_level(const FdScheme &sc, const Contract &c, double sigma, int level,
                      double *vega, int *solves)
{
    Contract at = c;
    at.p.sigma = sigma;
    NodeValue with, without;
    if (!solve(sc, level, at.p, at.divs, false, vega ? 1 : 0, &with, &without, solves))
        return NaN;
    if (vega)
        *vega = with.partial[D_SIGMA];
    return with.price;
}

}  // namespace fd

double _fd_price_scheme(const FdScheme &scheme, std::int32_t flag, double S, double K, double D,
                        double F, double sigma, const Dividends &dividends, int *solves)
{
    if (!fd::fits(scheme, scheme.extrapolate ? 1 : 0, FD_MAX_NODES))  // its finest level
        return NaN;
    int count = 0;
    const double v = price_contract(scheme, fd::classify(flag, S, K, D, F, sigma, dividends), &count);
    if (solves)
        *solves = count;
    return v;
}

double _fd_price(std::int32_t flag, double S, double K, double D, double F, double sigma,
                 const Dividends &dividends)
{
    int solves = 0;
    return price_default(fd::classify(flag, S, K, D, F, sigma, dividends), &solves);
}

void _fd_price_many(const FdContract *in, int count, double *out)
{
    static_assert(FD_SCHEME.extrapolate && !FD_SCHEME.control,
                  "the lanes price the scheme as richardson(level 0, level 1)");
    const FdScheme &sc = FD_SCHEME;
    Contract c[FD_BATCH];
    fd::LaneJob jobs[2][FD_BATCH];
    int of[FD_BATCH];  // the contract of each job
    int m = 0, solves = 0;
    count = count < FD_BATCH ? count : FD_BATCH;
    for (int i = 0; i < count; ++i) {
        const FdContract &x = in[i];
        c[i] = fd::classify(x.flag, x.S, x.K, x.D, x.F, x.sigma, x.dividends);
        if (c[i].kind != Contract::SOLVE || c[i].divs.n == 0 || !fd::one_boundary(c[i].p)) {
            out[i] = price_default(c[i], &solves);
            continue;
        }
        jobs[0][m] = jobs[1][m] = {&c[i].p, &c[i].divs, NaN};
        of[m++] = i;
    }
    // Longest solves first, so that the lanes run out of work together (the
    // order changes no price).
    int stages[FD_BATCH];
    for (int j = 0; j < m; ++j) {
        fd::TimeGrid tg;
        fd::time_grid(sc, 0, c[of[j]].divs, c[of[j]].p.flag, &tg);
        stages[j] = 0;
        for (int s = 0; s < tg.segments; ++s)
            stages[j] += tg.steps[s] + (tg.damping[s] > 1 ? tg.damping[s] - 1 : 0);
    }
    for (int j = 1; j < m; ++j) {
        for (int i = j; i > 0 && stages[i - 1] < stages[i]; --i) {
            std::swap(stages[i - 1], stages[i]);
            std::swap(jobs[0][i - 1], jobs[0][i]);
            std::swap(jobs[1][i - 1], jobs[1][i]);
            std::swap(of[i - 1], of[i]);
        }
    }
    if (!(fd::solve_lanes(sc, 0, jobs[0], m, &solves) && fd::solve_lanes(sc, 1, jobs[1], m, &solves))) {
        for (int j = 0; j < m; ++j)
            out[of[j]] = price_contract(sc, c[of[j]], &solves);
        return;
    }
    // As evaluate: the levels extrapolated, never below the exercise value.
    for (int j = 0; j < m; ++j) {
        const fd::Problem &p = c[of[j]].p;
        const double v = fd::richardson(jobs[0][j].price, jobs[1][j].price);
        const double exercise = payoff(p.flag, p.S, p.K);
        out[of[j]] = v > exercise ? v : exercise;
    }
}

void _fd_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                double T, const Dividends &dividends, FdGreeks *out)
{
    const Contract c = fd::classify(flag, S, K, D, F, sigma, dividends);
    *out = {NaN, NaN, NaN, NaN, NaN, NaN, NaN};
    const bool dated = T > 0;  // rates per year need the life in years
    switch (c.kind) {
    case Contract::INVALID:
        return;
    case Contract::DETERMINISTIC: {
        const Deterministic v = deterministic(c.p, c.divs);
        *out = {v.price, v.delta, 0.0, 0.0, NaN, NaN, NaN};
        if (dated) {
            out->theta = 0.0 - v.rate / T;
            out->rho = T * v.d_r;
            out->psi = T * v.d_q;
        }
        return;
    }
    case Contract::SOLVE:
        break;
    }
    const FdScheme &sc = FD_SCHEME;
    // The dividend-free contract by the accurate engine, in the same units:
    // the answer without dividends, and the control variate where the scheme
    // takes one.
    Greeks alo{NaN, NaN, NaN, NaN, NaN, NaN};
    double alo_theta = NaN, alo_rho = NaN, alo_psi = NaN;
    if (c.divs.n == 0 || sc.control) {
        _alo_greeks(c.p.flag, c.p.S, c.p.K, c.D, c.F0, c.p.sigma, &alo);
        _rate_greeks(alo, c.p.S, c.D, c.F0, c.p.sigma, dated ? T : 1.0, &alo_theta, &alo_rho,
                     &alo_psi);
    }
    const bool control = sc.control && !std::isnan(alo.price);
    const auto finish = [&](double theta, double rho, double psi) {
        if (dated) {
            out->theta = theta;
            out->rho = rho;
            out->psi = psi;
        }
    };
    if (c.divs.n == 0 && !std::isnan(alo.price)) {
        *out = {alo.price, alo.delta, alo.gamma, alo.vega, NaN, NaN, NaN};
        finish(alo_theta, alo_rho, alo_psi);
        return;
    }
    fd::NodeValue with, without;
    int solves = 0;
    if (!solve_extrapolated(sc, c, control, fd::MAX_PARTIALS, &with, &without, &solves))
        return;
    const double Tn = dated ? T : 1.0;
    // theta = dV/dt = -(dV/dtau)/T; rho and psi per unit of annual rate.
    FdGreeks g{with.price, with.delta, with.gamma, with.partial[fd::D_SIGMA], 0.0 - with.rate / Tn,
               Tn * with.partial[fd::D_R], Tn * with.partial[fd::D_Q]};
    const double exercise = payoff(c.p.flag, c.p.S, c.p.K);
    if (control && with.price != exercise) {
        g.price += alo.price - without.price;
        g.delta += alo.delta - without.delta;
        g.gamma += alo.gamma - without.gamma;
        g.vega += alo.vega - without.partial[fd::D_SIGMA];
        g.theta += alo_theta - (0.0 - without.rate / Tn);
        g.rho += alo_rho - Tn * without.partial[fd::D_R];
        g.psi += alo_psi - Tn * without.partial[fd::D_Q];
    }
    if (!(g.price > exercise))
        g.price = exercise;  // as the price (evaluate)
    *out = {g.price, g.delta, g.gamma, g.vega, NaN, NaN, NaN};
    finish(g.theta, g.rho, g.psi);
}

}  // namespace korvane::kernels
