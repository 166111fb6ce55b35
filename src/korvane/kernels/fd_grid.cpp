// The finite-difference kernels' inputs and grids: the dividend schedule
// read and cleaned, the carry r - q beyond the dividends read back from the
// forward, and the grids in the spot and in time.
#include "fd_internal.h"

#include <cmath>
#include <cstring>

namespace korvane::kernels {

namespace fd {

namespace {

double read_at(const char *first, std::ptrdiff_t step, std::int64_t i)
{
    double value;
    std::memcpy(&value, first + i * step, sizeof value);
    return value;
}

}  // namespace

bool read_schedule(const Dividends &in, Schedule *out)
{
    out->n = 0;
    for (std::int64_t i = 0; i < in.n; ++i) {
        double t = read_at(in.times, in.times_step, i);
        const double d = read_at(in.amounts, in.amounts_step, i);
        if (std::isnan(t) || std::isnan(d))
            continue;  // padding
        if (!(t >= 0 && d >= 0) || std::isinf(t) || std::isinf(d))
            return false;
        if (t == 0 || d == 0 || !(t / in.life < 1))
            continue;  // the spot is already ex, or the drop comes at or after expiry
        t = t / in.life;  // a fraction of the life
        // Insertion into the ex-dates so far, ascending; an equal date adds
        // its amount (two drops at once are one drop by their sum, the floor
        // at zero included).
        int k = out->n;
        while (k > 0 && out->t[k - 1] > t)
            --k;
        if (k > 0 && out->t[k - 1] == t) {
            out->d[k - 1] += d;
            continue;
        }
        if (out->n == FD_MAX_DIVIDENDS)
            return false;
        for (int j = out->n; j > k; --j) {
            out->t[j] = out->t[j - 1];
            out->d[j] = out->d[j - 1];
        }
        out->t[k] = t;
        out->d[k] = d;
        ++out->n;
    }
    return true;
}

bool space_grid(const FdScheme &sc, int level, const Problem &p, double total_dividends,
                double *S, int capacity, int *n, int *spot)
{
    // Nodes uniform in xi under x = ln(S/K) = c sinh(xi) (Tavella & Randall's
    // map, here in the log-spot): the strike's neighbourhood of a few
    // standard deviations gets most nodes whatever sigma, the ends few.  The
    // range covers the spot's reach, `width` standard deviations beyond the
    // spot, the strike and the spot less its dividends.  Below it a single
    // cell reaches down to S = 0, where the equation degenerates to dV/dtau
    // = -r V: no boundary condition is needed there, and the values beneath
    // the range (exercised, or worth next to nothing) are linear in S.
    const double c = sc.density * p.sigma;
    const double mu = p.r - p.q;
    const double spread = sc.width * p.sigma;
    const double x_spot = std::log(p.S / p.K);
    const double left = p.S > total_dividends ? std::log1p(-total_dividends / p.S) : -1.0;
    const double x_lo = std::fmin(0.0, x_spot) + std::fmax(left, -1.0) - spread + std::fmin(mu, 0.0);
    const double x_hi = std::fmax(0.0, x_spot) + spread + std::fmax(mu, 0.0);
    const double xi_lo = std::asinh(x_lo / c);
    const double xi_hi = std::asinh(x_hi / c);
    const double xi_spot = std::asinh(x_spot / c);
    // The spot on a node, the others a whole number of steps h from it: the
    // nodes move with the spot, and only the ends gain or lose one as it
    // moves, so the price is smooth in the spot (and in sigma, r, q and the
    // dividends, which move h).
    const int base = sc.nodes;
    const double h = (xi_hi - xi_lo) / (base - 1);
    int j = 1 + static_cast<int>(std::lround((xi_spot - xi_lo) / h));
    j = j < 2 ? 2 : j > base - 1 ? base - 1 : j;
    // Level 1 halves every cell, the lowest (from 0) included.
    const int scale = level == 0 ? 1 : 2;
    *n = base * scale;
    if (*n > capacity)
        return false;
    *spot = j * scale;
    // sinh(xi) = (E - 1/E)/2 with E = e^xi stepped by e^(h/scale) from the
    // spot's (the nodes are as deterministic, at half the exponentials).
    S[0] = 0.0;
    const double grow = std::exp(h / scale);
    double E = std::exp(xi_spot + (scale - *spot) * (h / scale));
    for (int i = scale; i <= *n; ++i) {
        S[i] = p.K * std::exp(c * (0.5 * (E - 1 / E)));
        E *= grow;
    }
    if (scale == 2)
        S[1] = 0.5 * S[2];
    S[*spot] = p.S;
    return true;
}

// A call's segments after an ex-date: their kink is the exercise boundary
// just before the drop, less sharp than the payoff's at expiry (the slope
// jumps by 1 - delta), and best crowded less and damped longer.
constexpr double CALL_EX_DATE_POWER = 1.5;
constexpr int CALL_EX_DATE_DAMPING = 4;

void time_grid(const FdScheme &sc, int level, const Schedule &divs, std::int32_t flag,
               TimeGrid *tg)
{
    // Events in tau, from expiry back: the ex-dates latest first, then today.
    const int scale = level == 0 ? 1 : 2;
    tg->segments = divs.n + 1;
    double prev = 0.0;
    for (int i = 0; i <= divs.n; ++i) {
        const double end = i < divs.n ? 1 - divs.t[divs.n - 1 - i] : 1.0;
        tg->start[i] = prev;
        tg->length[i] = end - prev;
        tg->drop[i] = i < divs.n ? divs.d[divs.n - 1 - i] : 0.0;
        // A put's drop is smooth unless the payoff's kink is still young
        // there (the ex-date nearer expiry than the segment is long).
        const bool young = i > 0 && flag != CALL && tg->start[i] < tg->length[i];
        const bool kink = i == 0 || flag == CALL || young;
        const double want = sc.steps * (kink ? std::sqrt(tg->length[i]) : tg->length[i]);
        const int share = static_cast<int>(std::ceil(want));
        tg->steps[i] = scale * (share > sc.min_steps ? share : sc.min_steps);
        tg->power[i] = i == 0 || young ? sc.time_power : kink ? CALL_EX_DATE_POWER : 1.0;
        tg->damping[i] = i == 0 || young ? sc.damping : kink ? CALL_EX_DATE_DAMPING : 0;
        prev = end;
    }
}

}  // namespace fd

// With b the carry, F = e^b P(b) where P(b) = S - sum_i d_i e^{-b t_i} is the
// spot less the dividends' value carried back.  P increases and is concave
// in b, so phi(b) = b + ln P(b) - ln F is increasing and concave where P > 0:
// Newton from a point left of the root stays left of it and climbs
// monotonically to it.  The start is found by bisection of a bracket on
// which P > 0 at the right end; b = ln(F/S) (the dividend-free carry) is
// always left of the root, as P < S.
double _fd_carry(double S, double F, const double *times, const double *amounts, int n)
{
    if (!(S > 0 && F > 0) || std::isinf(S) || std::isinf(F))
        return NaN;
    const double b0 = std::log(F / S);
    if (n == 0)
        return b0;
    const double ln_F = std::log(F);
    // phi and its slope at b; phi is -inf where P <= 0.
    const auto phi = [&](double b, double *slope) {
        double P = S, dP = 0.0;  // P(b) and P'(b)
        for (int i = 0; i < n; ++i) {
            const double e = amounts[i] * std::exp(-b * times[i]);
            P -= e;
            dP += times[i] * e;
        }
        if (!(P > 0)) {
            *slope = NaN;
            return -std::numeric_limits<double>::infinity();
        }
        *slope = 1 + dP / P;
        return b + std::log(P) - ln_F;
    };
    double slope;
    double lo = b0;  // phi(lo) < 0 (or P(lo) <= 0)
    double f = phi(lo, &slope);
    if (!(f < 0))
        return f == 0 ? lo : NaN;  // only a NaN reaches here
    // A right end where phi >= 0: P -> S as b grows, so phi -> b + ln S - ln F.
    double hi = b0 + 1.0;
    double f_hi = phi(hi, &slope);
    for (int it = 0; it < 64 && f_hi < 0; ++it) {
        lo = hi;
        hi = b0 + 2 * (hi - b0);
        f_hi = phi(hi, &slope);
    }
    if (!(f_hi >= 0))
        return NaN;
    // Bisect until the left end has P > 0: from there Newton is monotone.
    double b = lo;
    f = phi(b, &slope);
    for (int it = 0; it < 200 && std::isinf(f); ++it) {
        const double mid = 0.5 * (b + hi);
        const double fm = phi(mid, &slope);
        if (fm >= 0) {
            hi = mid;
        } else {
            b = mid;
            f = fm;
        }
    }
    if (std::isinf(f))
        return hi;
    // Newton from the left: each iterate is below the root.
    for (int it = 0; it < 100; ++it) {
        f = phi(b, &slope);
        if (!(f < 0))
            break;
        const double next = b - f / slope;
        if (!(next > b))
            break;
        b = next;
    }
    return b;
}

double _fd_schedule_carry(double S, double F, const Dividends &dividends)
{
    fd::Schedule divs;
    if (!fd::read_schedule(dividends, &divs))
        return NaN;
    return _fd_carry(S, F, divs.t, divs.d, divs.n);
}

}  // namespace korvane::kernels
