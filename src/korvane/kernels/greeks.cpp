// Greeks of the Barone-Adesi-Whaley price, analytic on every branch of it.
//
// In forward form the price V(S, K, D, F, sigma) is, on its premium branch,
//   V = E(S) + A (S/S*)^q,   A = s (S*/q) (1 - D g Phi(s d1*)),
// with g = F/S, s = +1 for a call and -1 for a put, E the Black price,
// d1* the d1 of the spot S* (forward g S*) and q the exponent q2 or q1, the
// root of q^2 + (N - 1) q - kappa = 0 for N = 2 ln g/sigma^2 and
// kappa = -2 ln D/(sigma^2 (1 - D)).
//
// Delta and gamma hold F/S: then S* does not move, and the formula is
// differentiated in S as it stands.
//
// The other inputs move S*, but that sensitivity drops out.  In value-matching
// form the premium is
//   P(S*) = (s (S* - K) - E(S*)) (S/S*)^q,
// equal to A (S/S*)^q where S* solves the boundary condition
//   s (S* - K) - E(S*) = s (S*/q) (1 - D g Phi(s d1*)),
// and dP/dS* = (S/S*)^q [s - dE(S*)/dS* - q (s (S* - K) - E(S*))/S*] is zero
// there, because dE(S*)/dS* = s D g Phi(s d1*): the boundary condition is the
// first-order condition of P.  So for x in {D, F, sigma}
//   dV/dx = dE(S)/dx - (S/S*)^q dE(S*)/dx + A (S/S*)^q ln(S/S*) dq/dx
// with S* held, where E(S*) sees F through its forward g S* = F S*/S; and
// dq/dx = (dkappa/dx - q dN/dx)/(2q + N - 1) from the quadratic.  When S* is
// an end of its search rather than a root (exercise at the strike, or no
// boundary found), it does not move with x and A's own derivative is used.
//
// The rate form reads D = exp(-rT), F = S exp((r - q)T), sigma = vol sqrt(T):
//   rho = T (F dV/dF - D dV/dD),  psi = -T F dV/dF,
//   theta = -dV/dT = -(D ln D dV/dD + F ln(F/S) dV/dF + sigma/2 dV/dsigma)/T.
#include "black.h"
#include "kernels.h"
#include "normal.h"
#include "rates.h"

namespace korvane::kernels {

namespace {

// Black's price on the forward and its partials in F and sigma (dD is price/D).
struct BlackPartials {
    double price;
    double dF;      // D s Phi(s d1)
    double dFF;     // D phi(d1)/(F sigma)
    double dsigma;  // D F phi(d1)
};

BlackPartials black_partials(double s, double K, double D, double F, double sigma)
{
    Greeks g;  // at the spot F: delta is dV/dF, gamma d2V/dF2
    _black_greeks(s > 0 ? CALL : PUT, F, K, D, F, sigma, &g);
    return {g.price, g.dF, g.gamma, g.vega};
}

// Partials of the exponent q in D, F and sigma.
struct ExponentPartials {
    double dD;
    double dF;
    double dsigma;
};

ExponentPartials exponent_partials(const BawState &st, double D, double F, double sigma)
{
    const double v = sigma * sigma;
    const double ln_D = std::log(D);
    const double kappa = st.M / (1 - D);
    const double slope = 2 * st.q + st.N - 1;  // +-sqrt of the discriminant
    const double dkappa_dD = (-2 / v) * ((1 - D) / D + ln_D) / ((1 - D) * (1 - D));
    const double dN_dF = 2 / (F * v);
    // kappa and N both scale as 1/sigma^2.
    const double dq_dsigma = (-2 / sigma) * (kappa - st.q * st.N) / slope;
    return {dkappa_dD / slope, -st.q * dN_dF / slope, dq_dsigma};
}

void premium_greeks(double s, double S, double K, double D, double F, double sigma,
                    const BawState &st, Greeks *out)
{
    const double q = st.q;
    const double x = st.s_star;
    const double g = st.g;
    const double h = S / x;
    const double hq = std::pow(h, q);
    const double L = std::log(h);
    const BlackPartials e = black_partials(s, K, D, F, sigma);
    const ExponentPartials dq = exponent_partials(st, D, F, sigma);

    out->delta = g * e.dF + st.A * q * hq / S;
    out->gamma = g * g * e.dFF + st.A * q * (q - 1) * hq / (S * S);

    // The exponent's share, the same with S* solved or held.
    double dD = e.price / D + st.A * hq * L * dq.dD;
    double dF = e.dF + st.A * hq * L * dq.dF;
    double dsigma = e.dsigma + st.A * hq * L * dq.dsigma;
    if (st.solved) {
        // Value matching at S*: minus E(S*)'s partials, its forward being F x/S.
        const BlackPartials ex = black_partials(s, K, D, g * x, sigma);
        dD -= hq * ex.price / D;
        dF -= hq * ex.dF * (x / S);
        dsigma -= hq * ex.dsigma;
    } else {
        // S* held: A's own partials, A = s (x/q)(1 - D g Phi(s d1*)).
        const double d1 = black_d1(g * x, K, sigma);
        const double n1 = _norm_cdf(s * d1);
        const double pdf = norm_pdf(d1);
        const double c = s * x / q;
        const double dA_dq = -st.A / q;
        dD += (dA_dq * dq.dD - c * g * n1) * hq;
        dF += (dA_dq * dq.dF - c * (D / S) * (n1 + s * pdf / sigma)) * hq;
        dsigma += (dA_dq * dq.dsigma - c * D * g * s * pdf * ((sigma - d1) / sigma)) * hq;
    }
    out->vega = dsigma;
    out->dD = dD;
    out->dF = dF;
}

}  // namespace

void _baw_greeks(std::int32_t q, double S, double K, double D, double F, double sigma,
                 Greeks *out)
{
    BawState st;
    out->price = _baw_state(q, S, K, D, F, sigma, &st);
    const double s = q == CALL ? 1.0 : -1.0;
    // A NaN input, or a price that is none (sigma = inf): NaN throughout.
    if (std::isnan(out->price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F)
        || std::isnan(sigma)) {
        out->delta = out->gamma = out->vega = out->dD = out->dF = NaN;
        return;
    }
    out->gamma = out->vega = out->dD = out->dF = 0.0;
    switch (st.branch) {
    case BawState::INTRINSIC:
        // The exercise value on the spot, flat beyond its kink.
        out->delta = intrinsic_value(q, S, K) > 0 ? s : 0.0;
        return;
    case BawState::EXERCISE:
        // The exercise value: at or beyond the critical price, or where the
        // formula fell below it (zero only for a formula price below zero).
        out->delta = out->price > 0 ? s : 0.0;
        return;
    case BawState::EUROPEAN: {
        // Black on the forward, which moves with the spot: dF/dS = F/S.
        const BlackPartials e = black_partials(s, K, D, F, sigma);
        const double g = F / S;
        out->delta = g * e.dF;
        out->gamma = g * g * e.dFF;
        out->vega = e.dsigma;
        out->dD = e.price / D;
        out->dF = e.dF;
        return;
    }
    case BawState::PREMIUM:
        premium_greeks(s, S, K, D, F, sigma, st, out);
        return;
    }
}

void _rate_greeks(const Greeks &g, double S, double D, double F, double sigma, double T,
                  double *theta, double *rho, double *psi)
{
    // No maturity to read rates from.
    if (!(T > 0)) {
        *theta = *rho = *psi = NaN;
        return;
    }
    // (0.0 - x rather than -x: a flat branch gives +0.)
    *rho = T * (F * g.dF - D * g.dD);
    *psi = 0.0 - T * (F * g.dF);
    const ForwardRates m = forward_rates(S, D, F);  // r T and (r - q) T
    *theta = 0.0 - (D * m.ln_D * g.dD + F * m.ln_g * g.dF + 0.5 * sigma * g.vega) / T;
}

}  // namespace korvane::kernels
