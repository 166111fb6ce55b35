// Andersen, Lake & Offengenden (2016) American prices in forward form: the
// exercise boundary by fixed-point iteration on Chebyshev nodes, then the
// early exercise premium integrated along it.
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
//
// Sensitivities to r, q and vol move the boundary, and the premium integral
// is not stationary in it, so they are carried through the whole solve by
// forward-mode automatic differentiation; delta and gamma hold the boundary,
// which does not move with the spot at fixed rates.
#include "alo.h"
#include "black.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace korvane::kernels {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double QUARTER_PI = 0.7853981633974483;
// Hart's (1968) approximation 5666 of the normal tail: the numerator's and
// denominator's coefficients in |x|, highest first.
constexpr double HART_NUM[] = {0.0352624965998911, 0.700383064443688, 6.37396220353165,
                               33.912866078383, 112.079291497871, 221.213596169931,
                               220.206867912376};
constexpr double HART_DEN[] = {0.0883883476483184, 1.75566716318264, 16.064177579207,
                               86.7807322029461, 296.564248779674, 637.333633378831,
                               793.826512519948, 440.413735824752};
// exp by Tang's table method: x = (64 m + j) ln2/64 + t, |t| <= ln2/128.
constexpr double LN2 = 0.6931471805599453;
constexpr double LN2_HI = 6.93147180369123816490e-01;  // ln 2 to 32 bits: k LN2_HI is exact
constexpr double LN2_LO = 1.90821492927058770002e-10;  // ln 2 - LN2_HI
constexpr double ROUNDER = 6755399441055744.0;  // 1.5 2^52: (y + it) - it rounds y to an integer
constexpr double QD_TOLERANCE = 1e-4;      // the QD Newton's last step in ln B
constexpr double COARSE_TOLERANCE = 1e-7;  // the coarse sweeps' stop: below the fine start's error
constexpr int IV_SWEEPS = 30;  // most fine sweeps of each solve in the implied-vol search
constexpr int VALUE_MATCHING_SWEEPS = 3;  // FP-B's most sweeps, in multiples of FP-B' ones
constexpr double PASTING_MAX_RATE = 2.0;  // FP-B' while r <= this times vol^2

// ---------------------------------------------------------------------------
// Forward-mode automatic differentiation: a value and its partials in N
// seeded inputs.  Hidden friends, so a double converts on either side.

template <int N>
struct Dual {
    double v;     // value
    double d[N];  // partials in the seeded inputs

    Dual(double x = 0.0) : v(x), d{} {}

    friend Dual operator+(const Dual &a, const Dual &b)
    {
        Dual r(a.v + b.v);
        for (int i = 0; i < N; ++i)
            r.d[i] = a.d[i] + b.d[i];
        return r;
    }
    friend Dual operator-(const Dual &a, const Dual &b)
    {
        Dual r(a.v - b.v);
        for (int i = 0; i < N; ++i)
            r.d[i] = a.d[i] - b.d[i];
        return r;
    }
    friend Dual operator-(const Dual &a)
    {
        Dual r(-a.v);
        for (int i = 0; i < N; ++i)
            r.d[i] = -a.d[i];
        return r;
    }
    friend Dual operator*(const Dual &a, const Dual &b)
    {
        Dual r(a.v * b.v);
        for (int i = 0; i < N; ++i)
            r.d[i] = a.d[i] * b.v + a.v * b.d[i];
        return r;
    }
    friend Dual operator/(const Dual &a, const Dual &b)
    {
        Dual r(a.v / b.v);
        for (int i = 0; i < N; ++i)
            r.d[i] = (a.d[i] - r.v * b.d[i]) / b.v;
        return r;
    }
    Dual &operator+=(const Dual &b) { return *this = *this + b; }
};

// Dual<1> (the implied-vol search's only) with a double on one side, without
// the products and sums of the double's zero partial, which the compiler must
// keep (0 * inf is NaN): a fifth of those sweeps' work.  The same values; a
// partial may differ in the sign of a zero only.  Dual<3> (the Greeks') keeps
// the friends above, so _alo_greeks' doubles are untouched.
inline Dual<1> operator*(double a, const Dual<1> &b)
{
    Dual<1> r(a * b.v);
    r.d[0] = a * b.d[0];
    return r;
}
inline Dual<1> operator*(const Dual<1> &a, double b)
{
    Dual<1> r(a.v * b);
    r.d[0] = a.d[0] * b;
    return r;
}
inline Dual<1> operator/(const Dual<1> &a, double b)
{
    Dual<1> r(a.v / b);
    r.d[0] = a.d[0] / b;
    return r;
}
inline Dual<1> operator+(double a, const Dual<1> &b)
{
    Dual<1> r(a + b.v);
    r.d[0] = b.d[0];
    return r;
}
inline Dual<1> operator+(const Dual<1> &a, double b)
{
    Dual<1> r(a.v + b);
    r.d[0] = a.d[0];
    return r;
}
inline Dual<1> operator-(double a, const Dual<1> &b)
{
    Dual<1> r(a - b.v);
    r.d[0] = -b.d[0];
    return r;
}
inline Dual<1> operator-(const Dual<1> &a, double b)
{
    Dual<1> r(a.v - b);
    r.d[0] = a.d[0];
    return r;
}

inline double value(double x) { return x; }
template <int N>
double value(const Dual<N> &x) { return x.v; }

// f(x) from f and f' at x's value.
template <int N>
inline Dual<N> chain(const Dual<N> &x, double f, double df)
{
    Dual<N> r(f);
    for (int i = 0; i < N; ++i)
        r.d[i] = df * x.d[i];
    return r;
}

// e^x for |x| <= ln 2 by its Taylor series (for the table below).
constexpr double exp_series(double x)
{
    double term = 1.0, sum = 1.0;  // x^k/k!, its partial sum
    for (int k = 1; k < 30; ++k) {
        term = term * x / k;
        sum += term;
    }
    return sum;
}

struct ExpTable {
    double v[64];  // 2^(j/64)
};

constexpr ExpTable make_exp_table()
{
    ExpTable t{};
    for (int j = 0; j < 64; ++j)
        t.v[j] = exp_series(j * (LN2 / 64));
    return t;
}

constexpr ExpTable EXP_TABLE = make_exp_table();

// e^x = 2^m 2^(j/64) e^t, e^t by its Taylor polynomial of degree 6 (error
// below 1e-19 for |t| <= ln2/128): within 6e-16 relative of libm's, inline
// and without libm's call and error handling, which took a third of the
// sweeps' time.  Outside (-708, 709), where 2^m leaves the normal range, and
// for NaN, libm's.
inline double exp_of(double x)
{
    if (!(x > -708.0 && x < 709.0))
        return std::exp(x);
    const double kf = (x * (64 / LN2) + ROUNDER) - ROUNDER;  // nearest integer to 64 x/ln2
    const double t = (x - kf * (LN2_HI / 64)) - kf * (LN2_LO / 64);
    const std::int64_t k = static_cast<std::int64_t>(kf);
    const double p =
        1 + t * (1 + t * (0.5 + t * (1.0 / 6 + t * (1.0 / 24 + t * (1.0 / 120 + t * (1.0 / 720))))));
    const double scale = std::bit_cast<double>(static_cast<std::uint64_t>((k >> 6) + 1023) << 52);
    return EXP_TABLE.v[k & 63] * p * scale;
}
inline double log_of(double x) { return std::log(x); }
inline double ncdf_of(double x) { return _norm_cdf(x); }
// sqrt of a quantity that rounding can leave slightly negative; at zero the
// partials are taken as zero (ln(B/X)^2 is flat where B touches X).
inline double sqrt_pos(double x) { return x > 0 ? std::sqrt(x) : 0.0; }

template <int N>
inline Dual<N> exp_of(const Dual<N> &x)
{
    // The same exponential as the plain sweeps': the Greeks' price is
    // _alo_price's to the last bit.
    const double e = exp_of(x.v);
    return chain(x, e, e);
}
template <int N>
Dual<N> log_of(const Dual<N> &x) { return chain(x, std::log(x.v), 1.0 / x.v); }
template <int N>
Dual<N> ncdf_of(const Dual<N> &x)
{
    // Phi' = phi, the derivative of erfc being -2/sqrt(pi) exp(-x^2).
    return chain(x, _norm_cdf(x.v), INV_SQRT_2PI * std::exp(-0.5 * (x.v * x.v)));
}
template <int N>
inline Dual<N> sqrt_pos(const Dual<N> &x)
{
    if (!(x.v > 0))
        return Dual<N>(0.0);
    const double s = std::sqrt(x.v);
    return chain(x, s, 0.5 / s);
}

template <class T>
T npdf_of(const T &x) { return INV_SQRT_2PI * exp_of(-0.5 * (x * x)); }

// Phi(x) from e = exp(-x^2/2), which the sweeps have at hand: no erfc, so no
// exponential of its own.  Hart's (1968) rational approximation 5666 of
// Phi(-|x|) e^{x^2/2} (as in West 2005): within 3e-16 of Phi for |x| below
// 5 sqrt 2, where it was fitted, and beyond within 1e-7 relative to |x| = 12
// (Phi below 1e-32), its asymptote being the Mills ratio's 1/(sqrt(2 pi) |x|).
// The integrals need absolute accuracy only, so one formula serves all x.
inline double ncdf_given(double x, double e)
{
    const double z = std::fabs(x);
    double num = HART_NUM[0];
    for (int i = 1; i < 7; ++i)
        num = num * z + HART_NUM[i];
    double den = HART_DEN[0];
    for (int i = 1; i < 8; ++i)
        den = den * z + HART_DEN[i];
    const double tail = e * num / den;  // Phi(-|x|)
    return x > 0 ? 1 - tail : tail;
}

template <int N>
inline Dual<N> ncdf_given(const Dual<N> &x, const Dual<N> &e)
{
    return chain(x, ncdf_given(x.v, e.v), INV_SQRT_2PI * e.v);
}

// ---------------------------------------------------------------------------
// Quadrature and interpolation tables, built by constexpr code so that the
// default scheme's are compile-time constants and a run-time scheme's are the
// same doubles.

// cos x for x in [0, 2 pi], reduced to [0, pi/2] and summed as its Taylor series.
constexpr double cos_series(double x)
{
    double sign = 1.0;  // cos(2 pi - x) = cos x, cos(pi - x) = -cos x
    if (x > PI)
        x = 2 * PI - x;
    if (x > HALF_PI) {
        x = PI - x;
        sign = -1.0;
    }
    const double x2 = x * x;
    double term = 1.0;  // (-1)^k x^2k/(2k)!
    double sum = 1.0;
    for (int k = 1; k < 30; ++k) {
        term = -term * x2 / ((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sign * sum;
}

// Gauss-Legendre points mapped to the angle theta in (0, pi/2), with their
// sines, cosines and weights.  The integrals substitute u = tau sin^2 theta,
// so sqrt(u) and sqrt(tau - u) are both smooth in theta and the 1/sqrt(tau - u)
// of FP-B' cancels against du = 2 tau sin cos dtheta.
struct Angles {
    int n;
    double sin[ALO_MAX_POINTS];
    double cos[ALO_MAX_POINTS];
    double w[ALO_MAX_POINTS];  // Gauss-Legendre weight times dtheta/dx = pi/4
};

constexpr Angles gauss_legendre(int n)
{
    Angles a{};
    a.n = n;
    for (int i = 0; i < n; ++i) {
        // Newton on P_n from the usual asymptotic guess for its i-th root.
        double x = cos_series(PI * (i + 0.75) / (n + 0.5));
        double dp = 1.0;  // P_n'(x)
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = x;  // P_{k-1}, P_k by the three-term recurrence
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            dp = n * (x * p1 - p0) / (x * x - 1);
            const double dx = p1 / dp;
            x -= dx;
            if (dx < 1e-17 && dx > -1e-17)
                break;
        }
        const double theta = (x + 1) * QUARTER_PI;
        a.sin[i] = cos_series(HALF_PI - theta);
        a.cos[i] = cos_series(theta);
        a.w[i] = 2 / ((1 - x * x) * dp * dp) * QUARTER_PI;
    }
    return a;
}

// Chebyshev interpolation of H(sqrt tau) in xi = 2 sqrt(tau) - 1 on the
// extrema xi_i = cos(i pi/n): node 0 is tau = 1, node n is tau = 0.
struct Tables {
    int n;                                               // Chebyshev intervals
    double cheb[(ALO_MAX_NODES + 1) * (ALO_MAX_NODES + 1)];  // cos(i k pi/n), row i
    double root_tau[ALO_MAX_NODES + 1];                  // sqrt(tau_i) = (1 + xi_i)/2
    Angles inner;                                        // the boundary integrals'
    Angles outer;                                        // the price integral's
};

constexpr Tables make_tables(int nodes, int points, int final_points)
{
    Tables t{};
    t.n = nodes;
    const int n = nodes;
    if (n < 1)
        return t;  // no coarse stage
    for (int i = 0; i <= n; ++i) {
        for (int k = 0; k <= n; ++k)
            t.cheb[i * (n + 1) + k] = cos_series(PI * ((i * k) % (2 * n)) / n);
        t.root_tau[i] = (1 + t.cheb[i * (n + 1) + 1]) * 0.5;
    }
    t.inner = gauss_legendre(points);
    t.outer = gauss_legendre(final_points);
    return t;
}

constexpr bool fits(const AloScheme &s)
{
    return s.nodes >= 2 && s.nodes <= ALO_MAX_NODES && s.points >= 1 && s.points <= ALO_MAX_POINTS
           && s.final_points >= 1 && s.final_points <= ALO_MAX_POINTS && s.iterations >= 0;
}

static_assert(fits(ALO_SCHEME) && fits(ALO_REFERENCE_SCHEME));
constexpr Tables DEFAULT_TABLES =
    make_tables(ALO_SCHEME.nodes, ALO_SCHEME.points, ALO_SCHEME.final_points);
constexpr Tables COARSE_TABLES = make_tables(ALO_SCHEME.coarse_nodes, ALO_SCHEME.coarse_points, 1);

// Chebyshev coefficients of the node values (discrete cosine transform with
// halved end terms), first and last already halved for summation.
template <class T>
void chebyshev_coefficients(const Tables &tb, const T *H, T *c)
{
    const int n = tb.n;
    for (int k = 0; k <= n; ++k) {
        T sum = 0.5 * (H[0] * tb.cheb[k]) + 0.5 * (H[n] * tb.cheb[n * (n + 1) + k]);
        for (int i = 1; i < n; ++i)
            sum += H[i] * tb.cheb[i * (n + 1) + k];
        c[k] = sum * (2.0 / n);
    }
    c[0] = c[0] * 0.5;
    c[n] = c[n] * 0.5;
}

// Clenshaw's recurrence for sum_k c_k T_k(xi).
template <class T>
T clenshaw(const T *c, int n, double xi)
{
    T b1 = 0.0, b2 = 0.0;  // b_{k+1}, b_{k+2}
    const double x2 = 2 * xi;
    for (int k = n; k >= 1; --k) {
        const T b0 = c[k] + x2 * b1 - b2;
        b2 = b1;
        b1 = b0;
    }
    return c[0] + xi * b1 - b2;
}

// The same at m points at once: the same doubles, but the points' recurrences
// interleave, so one's latency hides behind the others'.
template <class T, int M>
void clenshaw_row(const T *c, int n, const double *xi, int m, T *out)
{
    T b1[M], b2[M];  // b_{k+1}, b_{k+2} per point
    for (int k = 0; k < m; ++k)
        b1[k] = b2[k] = 0.0;
    for (int j = n; j >= 1; --j) {
        for (int k = 0; k < m; ++k) {
            const T b0 = c[j] + (2 * xi[k]) * b1[k] - b2[k];
            b2[k] = b1[k];
            b1[k] = b0;
        }
    }
    for (int k = 0; k < m; ++k)
        out[k] = c[0] + xi[k] * b1[k] - b2[k];
}

// Whether x and its partials are all zero: a yield that drops out.
inline bool is_zero(double x) { return x == 0; }
template <int N>
bool is_zero(const Dual<N> &x)
{
    for (int i = 0; i < N; ++i)
        if (x.d[i] != 0)
            return false;
    return x.v == 0;
}

// ---------------------------------------------------------------------------
// The put on the unit maturity with r > 0 and vol > 0.

template <class T>
struct Rates {
    T r;    // riskless rate
    T q;    // dividend yield
    T vol;  // volatility, also the total standard deviation
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

// The quadratic (QD) boundary of a put of maturity tau: the condition of
// MacMillan (1986) and Barone-Adesi & Whaley (1987) with the exponent of Li
// (2005), h = 1 - e^{-r tau}, alpha = 2r/vol^2, beta = 2(r - q)/vol^2,
//   lambda = (-(beta - 1) - sqrt((beta - 1)^2 + 4 alpha/h))/2,
//   (1 - e^{-q tau} Phi(-d+(tau, B/K))) B + lambda (K - B - p(B)) = 0.
// (Li's QD+ adds a term c0 to lambda; as a start for the sweeps below it did
// no better here.)  Newton in ln B from `start`, its steps bounded; it is
// only a start, so it stops at a step of QD_TOLERANCE.  The result is held
// at or below X, where the true boundary starts.
double qd_boundary(double K, double r, double q, double vol, double tau, double X, double start)
{
    const double v2 = vol * vol;
    const double h = 1 - std::exp(-r * tau);
    const double beta_m1 = 2 * (r - q) / v2 - 1;
    const double lambda = (-beta_m1 - std::sqrt(beta_m1 * beta_m1 + 4 * (2 * r / v2) / h)) * 0.5;
    const double sd = vol * std::sqrt(tau);
    const double dr = std::exp(-r * tau), dq = std::exp(-q * tau);
    const double ln_K = std::log(K);
    double ln_B = std::log(start);  // current iterate
    double B = start;               // e^{ln_B}
    for (int it = 0; it < 20; ++it) {
        // Phi from the sweeps' exponential and rational tail: no erfc.
        const double dm = (ln_B - ln_K + (r - q) * tau - 0.5 * (v2 * tau)) / sd;
        const double dp = dm + sd;
        const double ep = exp_of(-0.5 * (dp * dp)), em = exp_of(-0.5 * (dm * dm));
        const double np = dq * ncdf_given(-dp, ep);  // e^{-q tau} Phi(-d+) = -p'(B)
        const double gap = K - B - (K * dr * ncdf_given(-dm, em) - B * np);  // K - B - p(B)
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

// Sweeps the boundary H = ln(B/X)^2 at the nodes from its start there, at
// most `iterations` times and until no node's ln B moves by more than
// `tolerance`; c receives its Chebyshev coefficients.
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
    // FP-B' where it contracts; with a rate large against the variance
    // (r > 2 vol^2 over the unit maturity) its sweeps oscillate and diverge,
    // while the value-matching FP-B still converges.
    const bool pasting = value(r) <= PASTING_MAX_RATE * value(v2);
    NodeTerms<T, NCAP, LCAP> nt;
    T forward[NCAP];  // K e^{-(r-q) tau} per node
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
            if (pasting) {
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

    // FP-B contracts more slowly than FP-B': it gets more sweeps.
    const int sweeps = pasting ? iterations : VALUE_MATCHING_SWEEPS * iterations;
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
            T N = pasting ? pm0 / sd0 : ncdf_given(dm0, em0);
            T Dn = pasting ? ncdf_given(dp0, ep0) + pp0 / sd0 : ncdf_given(dp0, ep0);
            // B dN/dB and B dD/dB from the terms outside the integrals, the
            // boundary elsewhere held (Jacobi-Newton); the integrals' own
            // partials, which the coupling with nearby nodes offsets, are left
            // out: with them the step overshoots.
            const T dN = pasting ? -(dm0 * pm0) / (sd0 * sd0) : pm0 / sd0;
            const T dD = pasting ? pp0 / sd0 - dp0 * pp0 / (sd0 * sd0) : pp0 / sd0;
            double xi[LCAP];  // sqrt(u) of each point on the Chebyshev axis
            for (int k = 0; k < l; ++k)
                xi[k] = 2 * rt * tb.inner.sin[k] - 1;
            T Hu[LCAP];  // H(sqrt u) there
            clenshaw_row<T, LCAP>(c, n, xi, l, Hu);
            // The integrands point by point in separate passes, each free of
            // the others' latency (the sums keep their order, so the doubles
            // are those of one pass).
            T L[LCAP];   // ln(B(tau)/B(u))
            T dm[LCAP];  // d-(s, B(tau)/B(u))
            T em[LCAP];  // e^{-d-^2/2}
            for (int k = 0; k < l; ++k) {
                L[k] = sqrt_pos(Hu[k]) - sH;
                dm[k] = (L[k] + nt.drift[i][k]) * nt.inv_sd[i][k];
            }
            for (int k = 0; k < l; ++k)
                em[k] = exp_of(-0.5 * (dm[k] * dm[k]));
            if (!pasting) {
                // FP-B: Phi(d-) and Phi(d+) under the integrals.
                for (int k = 0; k < l; ++k)
                    N += nt.wN[i][k] * ncdf_given(dm[k], em[k]);
                if (yield) {
                    T dp[LCAP];  // d+ = d- + vol sqrt s
                    T ep[LCAP];  // e^{-d+^2/2}
                    for (int k = 0; k < l; ++k)
                        dp[k] = dm[k] + nt.sd[i][k];
                    for (int k = 0; k < l; ++k)
                        ep[k] = exp_of(-0.5 * (dp[k] * dp[k]));
                    for (int k = 0; k < l; ++k)
                        Dn += nt.wD1[i][k] * ncdf_given(dp[k], ep[k]);
                }
            } else {
                // FP-B': the densities, and Phi(d+) from the one of d+.
                for (int k = 0; k < l; ++k)
                    N += nt.wN[i][k] * em[k];
                if (yield) {
                    T ep[LCAP];  // e^{-d+^2/2} = e^{-d-^2/2} e^{-(r-q)s} B(u)/B(tau)
                    for (int k = 0; k < l; ++k)
                        ep[k] = em[k] * nt.carry[i][k] * exp_of(-L[k]);
                    for (int k = 0; k < l; ++k) {
                        const T dp = dm[k] + nt.sd[i][k];
                        Dn += nt.wD1[i][k] * ncdf_given(dp, ep[k]) + nt.wD2[i][k] * ep[k];
                    }
                }
            }
            const T f = forward[i] * N / Dn;  // the fixed-point map
            T B_next = f;
            if (j == 0) {
                // ALO's partial Jacobi-Newton step on B - f(B) = 0:
                // B f'(B) = f (B N'/N - B D'/D).
                const T slope = f * (dN / N - dD / Dn) / B;
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

// The put at spot S on the boundary H (coefficients c): the exercise value
// at or beyond it, else the European price plus the premium integral.  Delta
// and gamma are filled when asked for.
template <class T>
PutValue<T> put_premium(const Tables &tb, double S, double K, const Rates<T> &m, const T *H,
                        const T *c, bool greeks)
{
    const int n = tb.n;
    const T &r = m.r, &q = m.q, &vol = m.vol;
    const T v2 = vol * vol;
    const T ln_XK = value(q) > value(r) ? log_of(r / q) : T(0.0);
    const T ln_X = std::log(K) + ln_XK;

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
// there when `warm`) and its Chebyshev coefficients in c, and prices the put.
// A cold start is the QD boundary, first swept on the coarse nodes when
// there are any: there a sweep costs a fraction of one on the fine nodes,
// which then start within the coarse discretisation's error.
template <class T, int NCAP, int LCAP, int CNCAP, int CLCAP>
PutValue<T> put_value(const Tables &tb, const Tables *coarse, const AloScheme &sc, double S,
                      double K, const Rates<T> &m, bool warm, T *H, T *c, bool greeks)
{
    if (!warm && coarse) {
        T Hc[CNCAP + 1];  // the coarse boundary
        T cc[CNCAP + 1];  // its Chebyshev coefficients
        qd_start(*coarse, K, m, Hc);
        sweep_boundary<T, CNCAP, CLCAP>(*coarse, sc.coarse_iterations, COARSE_TOLERANCE, K, m,
                                        Hc, cc);
        for (int i = 0; i < tb.n; ++i) {
            H[i] = clenshaw(cc, coarse->n, 2 * tb.root_tau[i] - 1);
            if (!(value(H[i]) > 0))
                H[i] = 0.0;
        }
    } else if (!warm) {
        qd_start(tb, K, m, H);
    }
    sweep_boundary<T, NCAP, LCAP>(tb, sc.iterations, sc.tolerance, K, m, H, c);
    return put_premium(tb, S, K, m, H, c, greeks);
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

Contract classify(std::int32_t flag, double S, double K, double D, double F, double sigma)
{
    Contract c{Contract::INVALID, flag == CALL, S, K, 0.0, 0.0, flag, S, K, D, F};
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma))
        return c;
    if (sigma <= 0) {
        c.kind = Contract::INTRINSIC;
        return c;
    }
    if (!(S > 0 && K > 0 && D > 0 && F > 0) || std::isinf(sigma))
        return c;
    const double r = -std::log(D);
    const double q = r - std::log(F / S);
    // Call by put-call symmetry: C(S, K, r, q) = P(K, S, q, r).
    if (c.call)
        c = Contract{Contract::INVALID, true, K, S, q, r, flag, S, K, D, F};
    else
        c.r = r, c.q = q;
    // A put's yield below minus its variance (over the unit maturity) leaves
    // the fixed point unresolved on these nodes: the sweeps wander, even on
    // the reference scheme, and prices come out wrong by up to all of their
    // time value (an at-the-money 30-year put at r = 0.01%, q = -5%, 10% vol
    // gave 0 against 3.86).  Down to q = -vol^2 they stay within some 2e-5.
    if (c.r > 0 && c.q < -(sigma * sigma))
        c.kind = Contract::DEEP_NEGATIVE_YIELD;
    else if (c.r > 0)
        c.kind = Contract::BOUNDARY;
    else if (c.q >= c.r)
        c.kind = Contract::EUROPEAN;  // r <= 0 <= ... : holding beats exercise
    else
        c.kind = Contract::DOUBLE;    // q < r <= 0: exercise only inside a band
    return c;
}

template <class T, int NCAP, int LCAP, int CNCAP, int CLCAP>
PutValue<T> solve(const Tables &tb, const Tables *coarse, const AloScheme &sc, const Contract &c,
                  const Rates<T> &m, bool warm, T *H, bool greeks)
{
    T coef[NCAP + 1];
    return put_value<T, NCAP, LCAP, CNCAP, CLCAP>(tb, coarse, sc, c.S, c.K, m, warm, H, coef,
                                                  greeks);
}

// Where the value-matching form FP-B is used (r > 2 vol^2) its kernel
// Phi(d-(s, .)) steps from 0 to 1 as s -> 0, where FP-B''s densities are
// smooth: on ALO_SCHEME's nodes and points it missed the reference by up to
// 5e-6 relative.  This finer scheme holds it within 2e-7 (the grid's 1176
// such contracts within 0.74 of the tolerance).  No coarse stage: started
// from the coarse FP-B boundary its sweeps ended further off than from QD.
constexpr AloScheme VALUE_MATCHING_SCHEME{24, 6, 18, 64, 1e-9, 0, 0, 0};

constexpr int NODES = ALO_SCHEME.nodes;
constexpr int POINTS = ALO_SCHEME.points;
constexpr int COARSE_NODES = ALO_SCHEME.coarse_nodes;
constexpr int COARSE_POINTS = ALO_SCHEME.coarse_points;
constexpr int VM_NODES = VALUE_MATCHING_SCHEME.nodes;
constexpr int VM_POINTS = VALUE_MATCHING_SCHEME.points;
constexpr int H_NODES = NODES > VM_NODES ? NODES : VM_NODES;  // room for either boundary

static_assert(fits(VALUE_MATCHING_SCHEME));
constexpr Tables VM_TABLES = make_tables(VALUE_MATCHING_SCHEME.nodes, VALUE_MATCHING_SCHEME.points,
                                         VALUE_MATCHING_SCHEME.final_points);

// A scheme with `sweeps` fine sweeps at most to `tolerance`, else as `s`.
constexpr AloScheme with_sweeps(const AloScheme &s, int sweeps, double tolerance)
{
    return {s.nodes, sweeps, s.points, s.final_points, tolerance, s.coarse_nodes,
            s.coarse_iterations, s.coarse_points};
}

// The implied-volatility search sweeps every boundary to the tolerance, so
// that its root is that of the converged price whatever the path to it.
// FP-B' contracts fast (its last changes shrink 3 to 20 times a sweep), so a
// change of 1e-8 in ln B leaves an error below it: the roots stay within
// 4e-10 in sigma of the fully converged ones over the benchmark grid, 8%
// faster than at 1e-9.  FP-B's slow mode (0.96 a sweep near the end)
// keeps the default 1e-9.
constexpr double IV_TOLERANCE = 1e-8;
constexpr AloScheme IV_SCHEME = with_sweeps(ALO_SCHEME, IV_SWEEPS, IV_TOLERANCE);
constexpr AloScheme VM_IV_SCHEME =
    with_sweeps(VALUE_MATCHING_SCHEME, IV_SWEEPS, VALUE_MATCHING_SCHEME.tolerance);
// The search's inexact solves only steer its steps towards the root, and the
// converged solves that follow take up the sweeps they leave: the Jacobi-
// Newton sweep alone after the coarse stage (FP-B', 7% faster searches than
// with 4 sweeps), and 3 FP-B sweeps, not 18 (FP-B searches 20% faster).
constexpr AloScheme STEER_SCHEME = with_sweeps(ALO_SCHEME, 1, ALO_SCHEME.tolerance);
constexpr AloScheme VM_STEER_SCHEME =
    with_sweeps(VALUE_MATCHING_SCHEME, 1, VALUE_MATCHING_SCHEME.tolerance);

// Whether the sweeps use FP-B (sweep_boundary's test, on the same doubles).
bool value_matching(double r, double vol) { return !(r <= PASTING_MAX_RATE * (vol * vol)); }

// Nodes of the boundary the default solve holds at this rate and vol.
int default_nodes(double r, double vol) { return value_matching(r, vol) ? VM_NODES : NODES; }

// The default solve, on ALO_SCHEME or, where FP-B is used,
// VALUE_MATCHING_SCHEME; H has room for H_NODES + 1 values.  The implied-vol
// search's (`search`) run to the tolerance when `converge`, else are its
// steering solves above.
template <class T>
PutValue<T> solve_default(const Contract &c, const Rates<T> &m, bool warm, T *H, bool greeks,
                          bool search = false, bool converge = false)
{
    if (value_matching(value(m.r), value(m.vol)))
        return solve<T, VM_NODES, VM_POINTS, 1, 1>(  // no coarse stage: its room unused
            VM_TABLES, nullptr,
            !search ? VALUE_MATCHING_SCHEME : converge ? VM_IV_SCHEME : VM_STEER_SCHEME, c, m,
            warm, H, greeks);
    return solve<T, NODES, POINTS, COARSE_NODES, COARSE_POINTS>(
        DEFAULT_TABLES, &COARSE_TABLES,
        !search ? ALO_SCHEME : converge ? IV_SCHEME : STEER_SCHEME, c, m, warm, H, greeks);
}

// Price of a classified contract under the default scheme; *H receives the
// boundary (when BOUNDARY) and starts it when `warm`.
double price_default(const Contract &c, double sigma, bool warm, double *H)
{
    switch (c.kind) {
    case Contract::INVALID:
    case Contract::DOUBLE:
    case Contract::DEEP_NEGATIVE_YIELD:
        return NaN;
    case Contract::INTRINSIC:
        return NaN;  // handled by the callers
    case Contract::EUROPEAN:
        return _black_price(c.flag, c.K0, c.D0, c.F0, sigma);
    case Contract::BOUNDARY:
        break;
    }
    return solve_default<double>(c, {c.r, c.q, sigma}, warm, H, false).price;
}

}  // namespace

double _alo_price_scheme(const AloScheme &scheme, std::int32_t q, double S, double K, double D,
                         double F, double sigma)
{
    if (!fits(scheme))
        return NaN;
    const Contract c = classify(q, S, K, D, F, sigma);
    if (c.kind == Contract::INTRINSIC)
        return intrinsic_value(q, S, K);
    if (c.kind != Contract::BOUNDARY) {
        double unused[1];
        return price_default(c, sigma, false, unused);
    }
    const Tables tb = make_tables(scheme.nodes, scheme.points, scheme.final_points);
    const Tables coarse = make_tables(scheme.coarse_nodes, scheme.coarse_points, 1);
    double H[ALO_MAX_NODES + 1];
    return solve<double, ALO_MAX_NODES, ALO_MAX_POINTS, ALO_MAX_COARSE, ALO_MAX_COARSE>(
               tb, scheme.coarse_nodes > 0 ? &coarse : nullptr, scheme, c, {c.r, c.q, sigma},
               false, H, false)
        .price;
}

double _alo_price(std::int32_t q, double S, double K, double D, double F, double sigma)
{
    const Contract c = classify(q, S, K, D, F, sigma);
    if (c.kind == Contract::INTRINSIC)
        return intrinsic_value(q, S, K);
    double H[H_NODES + 1];
    return price_default(c, sigma, false, H);
}

void _alo_greeks(std::int32_t q, double S, double K, double D, double F, double sigma,
                 Greeks *out)
{
    const Contract c = classify(q, S, K, D, F, sigma);
    out->gamma = out->vega = out->dD = out->dF = 0.0;
    switch (c.kind) {
    case Contract::INVALID:
    case Contract::DOUBLE:
    case Contract::DEEP_NEGATIVE_YIELD:
        out->price = out->delta = out->gamma = out->vega = out->dD = out->dF = NaN;
        return;
    case Contract::INTRINSIC:
        // The exercise value on the spot, flat beyond its kink.
        out->price = intrinsic_value(q, S, K);
        out->delta = out->price > 0 ? (q == CALL ? 1.0 : -1.0) : 0.0;
        return;
    case Contract::EUROPEAN:
        _black_greeks(q, S, K, D, F, sigma, out);
        return;
    case Contract::BOUNDARY:
        break;
    }

    // The put's partials in its own r, q and vol, seeded in that order.
    using D3 = Dual<3>;
    Rates<D3> m{c.r, c.q, sigma};
    m.r.d[0] = m.q.d[1] = m.vol.d[2] = 1.0;
    D3 H[H_NODES + 1];
    const PutValue<D3> put = solve_default<D3>(c, m, false, H, true);

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

double _alo_price_vega(std::int32_t q, double S, double K, double D, double F, double sigma,
                       double *vega)
{
    const Contract c = classify(q, S, K, D, F, sigma);
    switch (c.kind) {
    case Contract::INVALID:
    case Contract::DOUBLE:
    case Contract::DEEP_NEGATIVE_YIELD:
        *vega = NaN;
        return NaN;
    case Contract::INTRINSIC:
        *vega = 0.0;
        return intrinsic_value(q, S, K);
    case Contract::EUROPEAN: {
        Greeks g;
        _black_greeks(q, S, K, D, F, sigma, &g);
        *vega = g.vega;
        return _black_price(q, K, D, F, sigma);
    }
    case Contract::BOUNDARY:
        break;
    }
    Rates<Dual<1>> m{c.r, c.q, sigma};
    m.vol.d[0] = 1.0;
    Dual<1> H[H_NODES + 1];
    const Dual<1> price = solve_default<Dual<1>>(c, m, false, H, false).price;
    *vega = price.d[0];
    return price.v;
}

namespace {

// Price and vega at a trial sigma, the boundary started from (and left in) H
// once `warm`.
double price_vega(const Contract &c, double sigma, bool warm, Dual<1> *H, double *vega,
                  bool converge)
{
    Rates<Dual<1>> m{c.r, c.q, sigma};
    m.vol.d[0] = 1.0;
    if (c.kind == Contract::EUROPEAN) {
        // Black's price and vega on the contract as given (black.h).
        Greeks g;
        _black_greeks(c.flag, c.S0, c.K0, c.D0, c.F0, sigma, &g);
        *vega = g.vega;
        return g.price;
    }
    const Dual<1> price = solve_default<Dual<1>>(c, m, warm, H, false, true, converge).price;
    *vega = price.d[0];
    return price.v;
}

constexpr double IV_LO = 1e-8;  // ends of the search
constexpr double IV_HI = 8.0;
constexpr int IV_MAX_STEPS = 100;
constexpr double IV_PRICE_TOL = 1e-12;  // relative price error that ends the search
constexpr double IV_SIGMA_TOL = 1e-10;  // relative step that ends it
// Relative Newton step after a converged solve below which its iterate is
// taken without another solve.  The vega is the converged fixed point's
// derivative, so Newton converges quadratically: the iterate's error is
// about (sigma f''/2f') step^2 relative, some 1e-10 here (within 3e-11 in
// sigma over the benchmark grid of the search run to 1e-14).  A Newton
// iterate strictly inside the bracket is a root's estimate, not a search
// pinned at an end: the end-of-bracket check does not apply to it.
constexpr double IV_ACCEPT_STEP = 1e-5;
constexpr double IV_NEAR = 1e-2;        // relative price error from which solves converge
constexpr double IV_WARM_STEP = 0.2;    // relative step beyond which a solve starts cold

// The put's value as sigma -> 0: the spot's forward path is certain, so it
// is the best of K e^{-r t} - S e^{-q t} over exercise times t in [0, 1]
// (and 0): at either end, or where r K e^{-r t} = q S e^{-q t}.
double zero_vol_put(const Contract &c)
{
    const auto at = [&c](double t) { return c.K * std::exp(-c.r * t) - c.S * std::exp(-c.q * t); };
    double best = std::fmax(0.0, std::fmax(at(0.0), at(1.0)));
    const double ratio = (c.r * c.K) / (c.q * c.S);
    if (c.r != c.q && ratio > 0) {
        const double t = std::log(ratio) / (c.r - c.q);
        if (t > 0 && t < 1)
            best = std::fmax(best, at(t));
    }
    return best;
}

}  // namespace

// Newton on the engine's own vega inside a bracket [lo, hi] that every
// evaluation narrows (price(lo) < target < price(hi)); a step that leaves it
// bisects instead.  Each boundary solve starts from the last one's, so later
// steps take few sweeps; they run to the scheme's tolerance, so the root does
// not depend on the path.  The screens use bounds, not solves: the price
// rises with sigma from the zero-volatility value towards the strike (put),
// or the strike discounted at a negative rate (the put's, so the call's
// yield); a target the search cannot reach ends at an end of the
// bracket with the price still off it.
double _alo_implied_vol_c(std::int32_t flag, double price, double S, double K, double D,
                          double F)
{
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F))
        return -1.0;
    // At or within IV_TOL of the exercise value on the spot: no time value.
    if (price <= intrinsic_value(flag, S, K) + IV_TOL)
        return 0.0;
    const Contract c = classify(flag, S, K, D, F, IV_HI);
    if (c.kind != Contract::EUROPEAN && c.kind != Contract::BOUNDARY)
        return -1.0;
    if (!(price > zero_vol_put(c) && price < c.K * std::fmax(1.0, std::exp(-c.r))))
        return -1.0;
    // Below sigma^2 = -q (a put's negative yield) the prices are not handled
    // (classify): the search stays above.
    const double lo_end = c.kind == Contract::BOUNDARY && c.q < -(IV_LO * IV_LO)
                             ? std::sqrt(-c.q)
                             : IV_LO;  // lower end of the search

    // Start from BAW's root where it has one inside the bracket.
    double x = brentq ? _baw_implied_vol_c(flag, price, S, K, D, F) : -1.0;  // current iterate
    if (!(x > lo_end && x < IV_HI))
        x = lo_end < 0.25 ? 0.5 : std::sqrt(lo_end * IV_HI);
    Dual<1> H[H_NODES + 1];
    double lo = lo_end, hi = IV_HI;  // the bracket
    bool warm = false;              // H holds a boundary to start from
    bool near = false;              // a price within IV_NEAR of the target has been seen
    for (int it = 0; it < IV_MAX_STEPS; ++it) {
        double vega;
        // Far from the root a step needs no converged boundary (an inexact
        // Newton step); near it every solve runs to the tolerance, and only
        // such solves end the search.
        const bool exact = near;  // this solve runs to the tolerance
        const double f = price_vega(c, x, warm, H, &vega, exact) - price;
        warm = c.kind == Contract::BOUNDARY;
        if (exact && std::fabs(f) <= IV_PRICE_TOL * price)
            return x;  // the price reproduced to 1e-12 of itself
        if (f < 0)
            lo = x;
        else
            hi = x;
        if (!exact && std::fabs(f) <= IV_NEAR * price) {
            // From here on the solves converge; the inexact prices' bracket
            // may exclude the root, so it starts afresh.
            near = true;
            lo = lo_end;
            hi = IV_HI;
        }
        double next = x - f / vega;
        // Newton's iterate inside the bracket after a converged solve, and a
        // step short enough that its error is second order: the root, with
        // no further solve.  (A bisection's step is no such estimate.)
        if (exact && next > lo && next < hi && std::fabs(next - x) <= IV_ACCEPT_STEP * x)
            return next;
        // Outside the bracket, or no slope to follow: bisect (geometrically
        // while the bracket spans orders of magnitude).
        if (!(next > lo && next < hi))
            next = hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
        if (exact && std::fabs(next - x) <= IV_SIGMA_TOL * x) {
            // Converged, unless pinned at an end the target lies beyond.
            if (std::fabs(f) > 1e-9 * price && (lo == lo_end || hi == IV_HI))
                return -1.0;
            return next;
        }
        if (hi - lo <= 1e-15 * hi)
            return (lo == lo_end || hi == IV_HI) ? -1.0 : next;
        // A long step starts its boundary afresh: from the last one the few
        // sweeps of an inexact solve fall short.  Up to 20% the first-order
        // prediction below starts nearer than QD (FP-B's searches, whose
        // cold starts take 18 sweeps, some 10% faster than at 2%).
        if (std::fabs(next - x) > IV_WARM_STEP * x)
            warm = false;
        // A step across r = 2 vol^2 changes the form and the nodes.
        const int nodes = default_nodes(c.r, x);  // of the boundary in H
        if (default_nodes(c.r, next) != nodes)
            warm = false;
        // The next boundary predicted to first order from this one's
        // sensitivity: H + dH/dsigma (next - x).
        for (int i = 0; i < nodes; ++i)
            H[i].v = H[i].v + H[i].d[0] * (next - x);
        x = next;
    }
    return x;
}

}  // namespace korvane::kernels
