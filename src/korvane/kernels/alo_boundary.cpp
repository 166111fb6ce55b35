// The QD start of the fixed-point American boundary (alo_boundary.h).
#include "alo_boundary.h"

#include <cmath>
#include <limits>

namespace korvane::kernels::alo_detail {

double qd_boundary(double r, double q, double vol, double tau, double ln_X, double ln_start)
{
    const double v2 = vol * vol;
    // alpha/h = (2/vol^2) r/(1 - e^{-r tau}), which tends to 2/(vol^2 tau) as r -> 0.
    const double r_h = r > 0 ? r / -std::expm1(-r * tau) : 1 / tau;
    const double beta_m1 = 2 * (r - q) / v2 - 1;
    const double lambda = (-beta_m1 - std::sqrt(beta_m1 * beta_m1 + 4 * (2 / v2) * r_h)) * 0.5;
    const double sd = vol * std::sqrt(tau);
    const double dr = exp_of(-r * tau), dq = exp_of(-q * tau);
    double ln_B = ln_start;       // current iterate
    double B = exp_of(ln_start);  // e^{ln_B}
    for (int it = 0; it < 20; ++it) {
        // Phi from the solve's own exponential and rational tail: no erfc.
        const double dm = (ln_B + (r - q) * tau - 0.5 * (v2 * tau)) / sd;
        const double dp = dm + sd;
        const double ep = exp_of(-0.5 * (dp * dp)), em = exp_of(-0.5 * (dm * dm));
        const double np = dq * ncdf_given(-dp, ep);  // e^{-q tau} Phi(-d+) = -p'(B)
        const double gap = 1 - B - (dr * ncdf_given(-dm, em) - B * np);  // K - B - p(B)
        const double g = (1 - np) * B + lambda * gap;
        const double dg = (1 - np) + dq * (INV_SQRT_2PI * ep) / sd + lambda * (np - 1);
        double step = g / (dg * B);  // Newton step in ln B
        if (!(step < 0.5 && step > -0.5))
            step = step > 0 ? 0.5 : -0.5;
        ln_B -= step;
        B = exp_of(ln_B);
        if (step < QD_TOLERANCE && step > -QD_TOLERANCE)
            break;
    }
    if (!(ln_B < ln_X))
        return ln_X;
    return ln_B;
}

double perpetual_gap(double r, double q, double vol)
{
    const double v2 = vol * vol;
    const double mu = r - q - 0.5 * v2;
    const double root = std::sqrt(mu * mu + 2 * r * v2);
    // gamma < 0 the put's root of v2/2 g(g - 1) + (r - q) g - r = 0, free of
    // cancellation on either side of mu = 0.
    const double gamma = mu <= 0 ? -2 * r / (root - mu) : (-mu - root) / v2;
    const double ln_XK = value(ln_start(Rates<double>{r, q, vol}));
    if (!(gamma < 0))
        return std::numeric_limits<double>::infinity();
    return ln_XK + std::log1p(-1 / gamma);
}

void qd_start(const Tables &tb, const Span &sp, double r, double q, double vol,
              double cap, double *s)
{
    const double ln_X = value(ln_start(Rates<double>{r, q, vol}));
    // Each node starts from the line through the two before it in sqrt(tau)
    // (ln B is nearly linear there at short maturities), the first two from
    // X and the first.
    double ln_B[ALO_MAX_NODES + 1];
    for (int i = tb.n - 1; i >= 0; --i) {
        const double rt = sp.root_max * tb.x[i];
        double start = ln_X;
        if (i == tb.n - 2)
            start = ln_B[i + 1];
        else if (i < tb.n - 2)
            start = ln_B[i + 1] + (ln_B[i + 1] - ln_B[i + 2]) * ((tb.x[i] - tb.x[i + 1]) / (tb.x[i + 1] - tb.x[i + 2]));
        ln_B[i] = qd_boundary(r, q, vol, rt * rt, ln_X, start);
        s[i] = ln_X - ln_B[i];
        if (!(s[i] > 0))
            s[i] = 0.0;
        if (s[i] > cap)
            s[i] = cap;
    }
    s[tb.n] = 0.0;  // B(0) = X
    // H = s^2 has no slope in s at zero, so a node started at B = X (the QD
    // boundary rounded to X) would never move: scale it from its neighbour
    // with the sqrt(tau) of the boundary's start.
    for (int i = 1; i < tb.n; ++i)
        if (!(s[i] > 0))
            s[i] = s[i - 1] * (tb.x[i] / tb.x[i - 1]);
}

}  // namespace korvane::kernels::alo_detail
