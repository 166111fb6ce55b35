// The QD start of the fixed-point American boundary (alo_boundary.h).
#include "alo_boundary.h"

#include <cmath>
#include <limits>

namespace korvane::kernels::alo_detail {

double qd_boundary(double r, double q, double vol, double tau, double X, double start)
{
    const double v2 = vol * vol;
    // alpha/h = (2/vol^2) r/(1 - e^{-r tau}), which tends to 2/(vol^2 tau) as r -> 0.
    const double r_h = r > 0 ? r / -std::expm1(-r * tau) : 1 / tau;
    const double beta_m1 = 2 * (r - q) / v2 - 1;
    const double lambda = (-beta_m1 - std::sqrt(beta_m1 * beta_m1 + 4 * (2 / v2) * r_h)) * 0.5;
    const double sd = vol * std::sqrt(tau);
    const double dr = std::exp(-r * tau), dq = std::exp(-q * tau);
    double ln_B = std::log(start);  // current iterate
    double B = start;               // e^{ln_B}
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
    if (!(B < X))
        return X;
    return B;
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
    const double X = std::exp(value(ln_start(Rates<double>{r, q, vol})));
    double B = X;  // the previous node's boundary starts the next
    for (int i = tb.n - 1; i >= 0; --i) {
        const double rt = sp.root_max * tb.x[i];
        const double tau = rt * rt;
        B = qd_boundary(r, q, vol, tau, X, B);
        s[i] = std::log(X / B);
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
