// The Black price through the normalised Black function and its inversion by
// P. Jäckel, "Let's Be Rational", Wilmott (2016) 2015(75): 40-53.
//
// Normalised form: with x = ln(F/K) and s = sigma the undiscounted
// price is sqrt(F K) b(x, s), where for a call
//   b(x, s) = e^{x/2} Phi(x/s + s/2) - e^{-x/2} Phi(x/s - s/2).
// A put at x is a call at -x, and an in-the-money option is the intrinsic
// value plus the out-of-the-money option of the other kind, so everything
// below works on calls with x <= 0, where 0 <= b < b_max = e^{x/2}.
//
// With h = x/s and t = s/2 (so x/2 = h t) and Y(z) = Phi(z)/phi(z),
//   b = exp(-(h^2 + t^2)/2)/sqrt(2 pi) [Y(h + t) - Y(h - t)],
// and Y(z) = sqrt(pi/2) erfcx(-z/sqrt 2) stays finite where Phi underflows.
// The bracket is a difference of near-equal values when t is small, so it is
// replaced there by a series (the paper's asymptotic and small-t expansions).
#include "black.h"
#include "normal.h"

#include <cmath>
#include <limits>

namespace korvane::kernels {

namespace {

constexpr double EPS = std::numeric_limits<double>::epsilon();
constexpr double SQRT_PI_OVER_2 = 1.2533141373155003;    // sqrt(pi/2)
constexpr double SQRT3 = 1.7320508075688772;
constexpr double LN_SQRT_2PI = 0.9189385332046727;         // ln sqrt(2 pi)
constexpr double TWO_PI_OVER_SQRT27 = 1.2091995761561452;  // 2 pi/(3 sqrt 3)

// Region boundaries of the normalised Black function (the paper's choice of
// where each of its expansions and erfcx forms is exact to rounding).
constexpr double ASYMPTOTIC_H = -10.0;   // h + t at or below: asymptotic series in 1/(h +- t)
constexpr double SMALL_T = 0.21;         // t below: Taylor series in t (~ 2 eps^(1/16))
constexpr double CDF_FORM_D1 = 0.85;     // h + t above: Phi(d1) is no longer small
constexpr int ASYMPTOTIC_TERMS = 40;     // far more than the ~20 needed at h + t = -10
constexpr int TAYLOR_ORDER = 17;         // highest odd power of t in the small-t series

// Rational cubic control parameter bounds (guess interpolation).
constexpr double MAX_CONTROL = 1e12;     // beyond: the interpolant is linear to rounding

// ---------------------------------------------------------------------------
// Regions of b(x, s), x <= 0, all in the bracket form above.

// h + t <= -10: both Y(h +- t) by their asymptotic series
//   Y(-w) ~ sum_k c_k w^{-(2k+1)},  c_k = (-1)^k (2k-1)!!.
// With w1 = -(h + t) < w2 = -(h - t) and rho = w1/w2, term by term
//   w1^{-n} - w2^{-n} = w1^{-n} (1 - rho)(1 + rho + ... + rho^{n-1}),
// 1 - rho = 2t/w2: the difference is summed with no cancellation.  The series
// is stopped at its first term under eps of the sum (its smallest term is
// ~e^{-w1^2/2}, below eps for w1 >= 10).
double asymptotic_bracket_sum(double h, double t)
{
    const double w1 = -(h + t);
    const double inv_w1 = 1 / w1;
    const double inv_w2 = 1 / (t - h);  // 1/w2
    const double rho = w1 * inv_w2;
    const double u = inv_w1 * inv_w1;
    double power = inv_w1;  // w1^{-(2k+1)}
    double c = 1.0;         // c_k
    double rho_n = 1.0;     // rho^{2k}
    double geometric = 1.0; // 1 + rho + ... + rho^{2k}
    double sum = power;     // partial sum of c_k w1^{-(2k+1)} (1 + rho + ... + rho^{2k})
    for (int k = 1; k < ASYMPTOTIC_TERMS; ++k) {
        const double rho_odd = rho_n * rho;
        rho_n = rho_odd * rho;
        geometric = geometric + (rho_odd + rho_n);
        c = c * -(2 * k - 1);
        power = power * u;
        const double term = c * power * geometric;
        sum = sum + term;
        if (std::fabs(term) <= EPS * std::fabs(sum))
            break;
    }
    return (2 * t * inv_w2) * sum;
}

// t < 0.21: the odd part of Y's Taylor series about h,
//   Y(h + t) - Y(h - t) = 2 sum_{k odd} Y^(k)(h) t^k/k!,
// with Y' = 1 + h Y (from phi' = -z phi) and so
//   Y^(n) = h Y^(n-1) + (n - 1) Y^(n-2).
double small_t_bracket(double h, double t)
{
    const double w = t * t;
    double prev = SQRT_PI_OVER_2 * _erfcx(-(h * INV_SQRT2));  // Y^(n-1); Y at n = 1
    double cur = 1 + h * prev;                                // Y^(n), n odd; Y' at n = 1
    double coef = t;                                          // t^n/n!
    double sum = cur * coef;                                  // the odd series to order n
    for (int n = 1; n < TAYLOR_ORDER; n += 2) {
        const double even = h * cur + n * prev;  // Y^(n+1)
        prev = even;
        cur = h * even + (n + 1) * cur;          // Y^(n+2)
        coef = coef * (w / ((n + 1) * (n + 2)));
        sum = sum + cur * coef;
    }
    return 2 * sum;
}

// Otherwise, with Phi(d1) small: both terms v Y(h +- t) by erfcx, v the
// prefactor.  Where erfcx's argument a is small Cody forms it as
// exp(a^2) erfc(a), and exp(a^2) v = e^{+-x/2}/sqrt(2 pi) exactly (as
// (h +- t)^2 - h^2 - t^2 = +-2ht = +-x), so the term is e^{+-x/2} erfc(a)/2
// with no exponential of its own.
double y_term(double a, double v, double e)
{
    if (std::fabs(a) <= CODY_SMALL)
        return 0.5 * (e * (1 - cody_erf_small(a)));
    return v * (SQRT_PI_OVER_2 * _erfcx(a));
}

double erfcx_bracket_value(double h, double t, double v, double ex2)
{
    return y_term(-((h + t) * INV_SQRT2), v, ex2) - y_term(-((h - t) * INV_SQRT2), v, 1 / ex2);
}

// 1 - erfcx(u) for u >= 0; below 0.46875 as exp(u^2) erf(u) - expm1(u^2),
// free of the cancellation at u -> 0.
double one_minus_erfcx(double u)
{
    if (u <= CODY_SMALL)
        return std::exp(u * u) * cody_erf_small(u) - std::expm1(u * u);
    return 1 - _erfcx(u);
}

// b's prefactor exp(-(h^2 + t^2)/2)/sqrt(2 pi); also b's derivative in s.
double vega_factor(double h, double t) { return INV_SQRT_2PI * std::exp(-0.5 * (h * h + t * t)); }

// b(x, s) - b_max, i.e. minus the value still missing to e^{x/2}:
//   b_max - b = e^{x/2} Phi(-(h + t)) + e^{-x/2} Phi(h - t), a sum of positives.
double complement_otm(double x, double s, double ex2)
{
    const double h = x / s;
    const double t = 0.5 * s;
    return ex2 * norm_cdf(-(h + t)) + norm_cdf(h - t) / ex2;
}

// Derivatives of b in s, as ratios to b' = vega_factor:
//   b''/b' = x^2/s^3 - s/4,  b'''/b' = (b''/b')^2 - 3 x^2/s^4 - 1/4.
struct Slopes {
    double b1;  // b'
    double r2;  // b''/b'
    double r3;  // b'''/b'
};

Slopes slopes(double x, double s, double b1)
{
    const double inv_s = 1 / s;
    const double h = x * inv_s;
    const double h2_s = (h * h) * inv_s;  // x^2/s^3
    const double r2 = h2_s - 0.25 * s;
    return {b1, r2, r2 * r2 - 3 * (h2_s * inv_s) - 0.25};
}

// b(x, s) and b'(x, s) together: every region but the Phi form has b' as its
// prefactor already.
struct BlackValue {
    double b;   // b(x, s)
    double b1;  // db/ds
};

// ex2 = e^{x/2}, which the implied-vol iteration holds fixed.
BlackValue black_otm(double x, double s, double ex2)
{
    const double h = x / s;
    const double t = 0.5 * s;
    const double v = vega_factor(h, t);
    if (h + t <= ASYMPTOTIC_H)
        return {v * asymptotic_bracket_sum(h, t), v};
    if (t < SMALL_T)
        return {v * small_t_bracket(h, t), v};
    if (h + t > CDF_FORM_D1)
        return {ex2 * norm_cdf(h + t) - norm_cdf(h - t) / ex2, v};
    return {erfcx_bracket_value(h, t, v, ex2), v};
}

// Slopes at s with b as well.
struct Point {
    double b;   // b(x, s)
    Slopes sl;  // its derivatives
};

Point point_at(double x, double s, double ex2)
{
    const BlackValue v = black_otm(x, s, ex2);
    return {v.b, slopes(x, s, v.b1)};
}

// ---------------------------------------------------------------------------
// Rational cubic interpolation (Delbourgo & Gregory 1985), the paper's
// interpolant for the initial guess:
// on [xl, xr] with values yl, yr, slopes dl, dr and control parameter r,
//   f = [yr t^3 + (r yr - h dr) t^2 (1-t) + (r yl + h dl) t (1-t)^2 + yl (1-t)^3]
//       / [1 + (r - 3) t (1 - t)],   t = (x - xl)/h,  h = xr - xl;
// r = 3 is the cubic Hermite interpolant, r -> infinity the linear one.
struct Interval {
    double xl, xr;  // ends
    double yl, yr;  // values there
    double dl, dr;  // slopes there
};

double rational_cubic(const Interval &iv, double r, double x)
{
    const double h = iv.xr - iv.xl;
    if (!(h > 0))
        return 0.5 * (iv.yl + iv.yr);
    const double t = (x - iv.xl) / h;
    const double u = 1 - t;
    const double t2 = t * t;
    const double u2 = u * u;
    return (iv.yr * (t2 * t) + (r * iv.yr - h * iv.dr) * (t2 * u) +
            (r * iv.yl + h * iv.dl) * (t * u2) + iv.yl * (u2 * u)) /
           (1 + (r - 3) * (t * u));
}

// r bounded below by the monotonicity condition r >= (dl + dr)/Delta of the
// data's direction, and above by the linear limit; a NaN r takes the bound.
double bounded_control(const Interval &iv, double r)
{
    const double delta = (iv.yr - iv.yl) / (iv.xr - iv.xl);
    const double r_min = (iv.dl + iv.dr) / delta;
    const double lo = r_min > 0 ? r_min : 0.0;
    if (!(r >= lo))
        return lo < MAX_CONTROL ? lo : MAX_CONTROL;
    return r < MAX_CONTROL ? r : MAX_CONTROL;
}

// The r whose interpolant has second derivative f2 at the left or right end.
double control_left(const Interval &iv, double f2)
{
    const double h = iv.xr - iv.xl;
    const double delta = (iv.yr - iv.yl) / h;
    return bounded_control(iv, (0.5 * h * f2 + (iv.dr - iv.dl)) / (delta - iv.dl));
}

double control_right(const Interval &iv, double f2)
{
    const double h = iv.xr - iv.xl;
    const double delta = (iv.yr - iv.yl) / h;
    return bounded_control(iv, (0.5 * h * f2 + (iv.dr - iv.dl)) / (iv.dr - delta));
}

// ---------------------------------------------------------------------------
// Implied s on x < 0.  The curve s -> b has its inflection at
// s_c = sqrt(2|x|); its tangent there meets 0 at s_l and b_max at s_u, and
// b_l = b(s_l), b_u = b(s_u) split beta into four ranges of the guess and
// three of the objective.

enum class Branch { LOWER, MIDDLE, UPPER };

// The lowest range maps b through f_l(s) = (2 pi |x|/(3 sqrt 3)) Phi(z)^3,
// z = -|x|/(sqrt 3 s), which has b's leading asymptotics as s -> 0,
// s^3/(sqrt(2 pi) x^2) exp(-x^2/(2 s^2)): f_l(b) is then nearly linear, f_l ~ b at b = 0.
struct LowerMap {
    double f;    // f_l(s)
    double fs;   // df_l/ds
    double fss;  // d2f_l/ds2
};

LowerMap lower_map(double ax, double s)
{
    const double c = TWO_PI_OVER_SQRT27 * ax;
    const double z = -ax / (SQRT3 * s);
    const double zs = -z / s;          // dz/ds
    const double zss = -2 * zs / s;    // d2z/ds2
    const double d = norm_pdf(z);
    const double p = 0.5 * _erfcx(-(z * INV_SQRT2)) * (d / INV_SQRT_2PI);  // Phi(z), z < 0
    const double fs = 3 * c * (p * p) * d * zs;
    const double fss = 3 * c * (2 * p * (d * d) * (zs * zs) - p * p * (z * d) * (zs * zs) +
                                p * p * d * zss);
    return {c * (p * p * p), fs, fss};
}

// Slope and curvature of f(b) = g(s(b)) from those of g and b in s.
double slope_in_b(double gs, const Slopes &sl) { return gs / sl.b1; }
double curvature_in_b(double gs, double gss, const Slopes &sl)
{
    return (gss - gs * sl.r2) / (sl.b1 * sl.b1);
}

struct Guess {
    double s;       // initial s
    Branch branch;  // objective to iterate on
};

Guess initial_guess(double x, double beta, double b_max)
{
    const double ax = -x;
    const double s_c = std::sqrt(2 * ax);
    // At s_c, h = -t and h^2 + t^2 = |x|: b' = b_max/sqrt(2 pi) and the
    // bracket is Y(0) - Y(-s_c), so b_c = b_max (1 - erfcx(sqrt|x|))/2.
    const Slopes at_c = slopes(x, s_c, INV_SQRT_2PI * b_max);  // r2 = 0 here
    const double b_c = 0.5 * b_max * one_minus_erfcx(std::sqrt(ax));

    if (beta <= b_c) {
        const double s_l = s_c - b_c / at_c.b1;
        const Point l = point_at(x, s_l, b_max);
        const double b_l = l.b;
        const Slopes &at_l = l.sl;
        if (beta < b_l) {
            // f_l(beta) from 0 (slope 1) to f_l(b_l), curvature matched at b_l.
            const LowerMap m = lower_map(ax, s_l);
            const Interval iv{0.0, b_l, 0.0, m.f, 1.0, slope_in_b(m.fs, at_l)};
            const double r = control_right(iv, curvature_in_b(m.fs, m.fss, at_l));
            const double f = rational_cubic(iv, r, beta);
            // Phi(z) = (f/c)^(1/3), the quotient taken after the root when f is
            // subnormal, where it would underflow.
            const double c = TWO_PI_OVER_SQRT27 * ax;
            const double p = f >= std::numeric_limits<double>::min() ? std::cbrt(f / c)
                                                                     : std::cbrt(f) / std::cbrt(c);
            return {f > 0 ? ax / (SQRT3 * -inverse_norm_cdf(p)) : s_l * 0.5, Branch::LOWER};
        }
        // s(beta) from s_l to s_c, curvature -b''/b'^3 matched at b_l.
        const Interval iv{b_l, b_c, s_l, s_c, 1 / at_l.b1, 1 / at_c.b1};
        const double r = control_left(iv, -at_l.r2 / (at_l.b1 * at_l.b1));
        return {rational_cubic(iv, r, beta), Branch::MIDDLE};
    }

    const double s_u = s_c + (b_max - b_c) / at_c.b1;
    const Point pu = point_at(x, s_u, b_max);
    const double b_u = pu.b;
    const Slopes &at_u = pu.sl;
    if (beta <= b_u) {
        // s(beta) from s_c to s_u, curvature matched at b_u.
        const Interval iv{b_c, b_u, s_c, s_u, 1 / at_c.b1, 1 / at_u.b1};
        const double r = control_right(iv, -at_u.r2 / (at_u.b1 * at_u.b1));
        return {rational_cubic(iv, r, beta), Branch::MIDDLE};
    }
    // f_u(s) = Phi(-s/2) ~ (b_max - b)/2 as s -> infinity: interpolated from
    // f_u(s_u) to 0 (slope -1/2) at b_max, curvature matched at b_u.
    const double fs = -0.5 * norm_pdf(0.5 * s_u);
    const double fss = 0.125 * s_u * norm_pdf(0.5 * s_u);
    const Interval iv{b_u, b_max, norm_cdf(-0.5 * s_u), 0.0, slope_in_b(fs, at_u), -0.5};
    const double r = control_left(iv, curvature_in_b(fs, fss, at_u));
    const double f = rational_cubic(iv, r, beta);
    return {f > 0 ? -2 * inverse_norm_cdf(f) : 2 * s_u, Branch::UPPER};
}

// Householder's third-order step (Householder 1970): with nu = -g/g',
// h2 = g''/g', h3 = g'''/g', the step is nu (1 + nu h2/2)/(1 + nu (h2 + nu h3/6)),
// of convergence order four.
double householder_step(double nu, double h2, double h3)
{
    return nu * (1 + 0.5 * h2 * nu) / (1 + nu * (h2 + nu * h3 / 6));
}

// ln b and (ln b)' = b'/b.  Where b is subnormal or zero, from the series'
// bracket b/b' and ln b' = -(h^2 + t^2)/2 - ln sqrt(2 pi), neither of which
// underflows with b (b that small is in a series region); p is 0 when even
// the bracket did.
struct LogSlope {
    double ln_b;  // ln b
    double p;     // (ln b)'
};

LogSlope log_and_slope(const Point &pt, double x, double s)
{
    if (pt.b >= std::numeric_limits<double>::min())
        return {std::log(pt.b), pt.sl.b1 / pt.b};
    const double h = x / s;
    const double t = 0.5 * s;
    const double r = h + t <= ASYMPTOTIC_H ? asymptotic_bracket_sum(h, t)
                     : t < SMALL_T        ? small_t_bracket(h, t)
                                          : 0.0;
    if (!(r > 0))
        return {0.0, 0.0};
    return {(-0.5 * (h * h + t * t) - LN_SQRT_2PI) + std::log(r), 1 / r};
}

// What the iteration solves for: b(x, s) = beta.
struct Target {
    double x;        // log-moneyness, <= 0
    double beta;     // normalised out-of-the-money price
    double b_max;    // e^{x/2}, the limit of b as s -> infinity
    double ln_beta;  // ln beta (LOWER)
    double gap;      // b_max - beta (UPPER)
};

// One step on the branch's objective at s, the paper's three objectives:
//   LOWER  g = 1/ln b(s) - 1/ln beta   (near-linear in s where b is tiny)
//   MIDDLE g = b(s) - beta
//   UPPER  g = ln(b_max - beta) - ln(b_max - b(s))
// With L = ln b and p = L' = b'/b the lowest one has
//   g''/g' = L''/L' - 2p/L,  g'''/g' = L'''/L' - 6 L''/L + 6 p^2/L^2,
// L''/L' = b''/b' - p and L'''/L' = b'''/b' - 3p b''/b' + 2p^2; the upper one,
// with u = b_max - b and q = b'/u = g', has g''/g' = b''/b' + q and
// g'''/g' = b'''/b' + 3q b''/b' + 2q^2.
double objective_step(Branch branch, const Target &tg, double s)
{
    const double x = tg.x;
    const double beta = tg.beta;
    switch (branch) {
    case Branch::LOWER: {
        const Point pt = point_at(x, s, tg.b_max);
        const Slopes &sl = pt.sl;
        const LogSlope ls = log_and_slope(pt, x, s);
        if (!(ls.p > 0))
            return s;  // b and its bracket underflowed: s is far too small, double it
        const double ln_b = ls.ln_b;
        const double ln_beta = tg.ln_beta;
        const double p = ls.p;
        const double nu = (ln_beta - ln_b) * (ln_b / ln_beta) / p;
        const double h2 = sl.r2 - p * ((ln_b + 2) / ln_b);
        const double h3 = sl.r3 - 3 * p * sl.r2 + 2 * (p * p) - 6 * p * (sl.r2 - p) / ln_b +
                          6 * (p * p) / (ln_b * ln_b);
        return householder_step(nu, h2, h3);
    }
    case Branch::MIDDLE: {
        const Point pt = point_at(x, s, tg.b_max);
        return householder_step((beta - pt.b) / pt.sl.b1, pt.sl.r2, pt.sl.r3);
    }
    case Branch::UPPER: {
        const double u = complement_otm(x, s, tg.b_max);
        const Slopes sl = slopes(x, s, vega_factor(x / s, 0.5 * s));
        const double q = sl.b1 / u;  // g'
        const double nu = std::log(u / tg.gap) / q;
        return householder_step(nu, sl.r2 + q, sl.r3 + 3 * q * sl.r2 + 2 * (q * q));
    }
    }
    return NaN;
}

constexpr int HOUSEHOLDER_STEPS = 2;
constexpr double ATM_B_U = 0.7899085945560628;  // b_u at x = 0: erf(sqrt(pi)/2), s_u = sqrt(2 pi)

// s with b(x, s) = beta for x <= 0 and 0 < beta < b_max = e^{x/2}.
double implied_s_otm(double x, double beta, double b_max)
{
    Guess g;
    if (x == 0) {
        // b(0, s) = 2 Phi(s/2) - 1; s_u = sqrt(2 pi) splits the objective.
        const double s = -2 * inverse_norm_cdf(0.5 * (1 - beta));
        g = {s, beta > ATM_B_U ? Branch::UPPER : Branch::MIDDLE};
    } else {
        g = initial_guess(x, beta, b_max);
    }
    const Target tg{x, beta, b_max, g.branch == Branch::LOWER ? std::log(beta) : 0.0,
                    b_max - beta};
    double s = g.s;  // current iterate
    for (int i = 0; i < HOUSEHOLDER_STEPS; ++i) {
        const double ds = objective_step(g.branch, tg, s);
        // Never more than halve s in one step: the objectives are steep near 0.
        s = ds > -0.5 * s ? s + ds : 0.5 * s;
    }
    return s;
}

// ln(F/K).  Within a factor 2 of the money F - K is exact (Sterbenz), so
// log1p((F - K)/K) has a relative error of a few ulp, where log(F/K) would
// carry the rounding of F/K, half an ulp of 1, as an absolute error: b's
// sensitivity to x, |h|/sigma, would turn that into many ulp of price.
double log_moneyness(double F, double K)
{
    if (F >= 0.5 * K && F <= 2 * K)
        return std::log1p((F - K) / K);
    return std::log(F / K);
}

}  // namespace

double _normalised_black_otm(double x, double s)
{
    // A zero strike or forward: the option is worth nothing beyond intrinsic.
    if (x == -std::numeric_limits<double>::infinity())
        return 0.0;
    const double h = x / s;
    // So small a sigma against the moneyness that x/s overflows: the time
    // value, below Phi(-1e308), is zero.
    if (h == -std::numeric_limits<double>::infinity())
        return 0.0;
    const double t = 0.5 * s;
    const double ex2 = std::exp(0.5 * x);
    if (h + t > CDF_FORM_D1)
        return ex2 * norm_cdf(h + t) - norm_cdf(h - t) / ex2;
    return black_otm(x, s, ex2).b;
}

double _black_price(std::int32_t flag, double K, double D, double F, double sigma)
{
    const double s = flag == CALL ? 1.0 : -1.0;
    const double forward_intrinsic = s * (F - K) > 0 ? s * (F - K) : 0.0;
    if (std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma))
        return NaN;
    if (!(sigma > 0))
        return D * forward_intrinsic;
    if (sigma == std::numeric_limits<double>::infinity())
        return D * (flag == CALL ? F : K);
    // Out of the money at -|x|, plus the intrinsic value.
    const double x = log_moneyness(F, K);
    const double b = _normalised_black_otm(-std::fabs(x), sigma);
    return D * (std::sqrt(F) * std::sqrt(K) * b + forward_intrinsic);
}

void _black_greeks(std::int32_t flag, double S, double K, double D, double F, double sigma,
                   Greeks *out)
{
    out->price = _black_price(flag, K, D, F, sigma);
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma)) {
        out->price = out->delta = out->gamma = out->vega = out->dD = out->dF = NaN;
        return;
    }
    const double s = flag == CALL ? 1.0 : -1.0;
    const double g = F / S;
    out->dD = out->price / D;
    if (!(sigma > 0)) {
        // The discounted intrinsic value: linear on the money side, flat off it.
        const bool money = s * (F - K) > 0;
        out->dF = money ? D * s : 0.0;
        out->delta = money ? g * (D * s) : 0.0;
        out->gamma = out->vega = 0.0;
        return;
    }
    const double d1 = log_moneyness(F, K) / sigma + 0.5 * sigma;
    const double n1 = norm_cdf(s * d1);
    const double pdf = norm_pdf(d1);
    out->dF = D * s * n1;
    out->delta = g * out->dF;
    out->gamma = g * g * (D * pdf / (F * sigma));
    out->vega = D * F * pdf;
}

double _black_implied_vol_c(std::int32_t flag, double price, double, double K, double D,
                            double F)
{
    if (std::isnan(price) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return -1.0;
    const double s = flag == CALL ? 1.0 : -1.0;
    const double forward_intrinsic = s * (F - K) > 0 ? s * (F - K) : 0.0;
    const double intrinsic = D * forward_intrinsic;
    if (price < intrinsic)
        return -1.0;
    if (price == intrinsic)
        return 0.0;
    if (price >= D * (flag == CALL ? F : K))
        return -1.0;
    // The time value, normalised, of the out-of-the-money option at -|x|.
    const double x = -std::fabs(log_moneyness(F, K));
    double beta = (price / D - forward_intrinsic) / (std::sqrt(F) * std::sqrt(K));
    if (!(beta > 0))
        return 0.0;
    const double b_max = std::exp(0.5 * x);
    // The price is below the bound, but price/D may round onto it: the time
    // value then lies within rounding of b_max, and the root is the one just
    // below it.
    if (beta >= b_max && b_max > 0)
        beta = std::nextafter(b_max, 0.0);
    if (!(beta < b_max))
        return -1.0;
    return implied_s_otm(x, beta, b_max);
}

}  // namespace korvane::kernels
