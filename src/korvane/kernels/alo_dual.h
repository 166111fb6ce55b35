// Forward-mode dual numbers for the fixed-point American kernels (alo.h), and
// the exponential and normal distribution the boundary solve evaluates on
// doubles and duals alike.  Internal to the kernels: namespace alo_detail.
#ifndef KORVANE_ALO_DUAL_H
#define KORVANE_ALO_DUAL_H

#include <bit>
#include <cmath>
#include <cstdint>

#include "kernels.h"
#include "normal.h"

namespace korvane::kernels::alo_detail {

// exp by Tang's table method: x = (64 m + j) ln2/64 + t, |t| <= ln2/128.
inline constexpr double LN2 = 0.6931471805599453;
inline constexpr double LN2_HI = 6.93147180369123816490e-01;  // ln 2 to 32 bits: k LN2_HI is exact
inline constexpr double LN2_LO = 1.90821492927058770002e-10;  // ln 2 - LN2_HI
inline constexpr double ROUNDER = 6755399441055744.0;  // 1.5 2^52: (y + it) - it rounds y to an integer

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
// keep (0 * inf is NaN).  The same values; a
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

inline constexpr ExpTable EXP_TABLE = make_exp_table();
static_assert(EXP_TABLE.v[0] == 1.0);

// e^x = 2^m 2^(j/64) e^t, e^t by its Taylor polynomial of degree 6 (error
// below 1e-19 for |t| <= ln2/128) in Estrin's form, whose chain of dependent
// operations is half Horner's: within 6e-16 relative of libm's, inline
// and without libm's call and error handling.  Below -746, where e^x
// rounds to zero (under 2^-1075), zero; elsewhere outside (-708, 709), where
// 2^m leaves the normal range, and for NaN, libm's.  The reduction reads the
// integer 64 m + j from the mantissa of x 64/ln2 + ROUNDER, so that a vector
// unit needs no conversion of doubles to integers.
struct ExpParts {
    double poly;     // e^t
    double scale;    // 2^m
    std::int64_t j;  // the table's row
};

inline bool exp_in_range(double x) { return x > -708.0 && x < 709.0; }
inline constexpr double EXP_ZERO_BELOW = -746.0;

inline ExpParts exp_parts(double x)
{
    const double y = x * (64 / LN2) + ROUNDER;
    const double kf = y - ROUNDER;  // nearest integer to 64 x/ln2
    const double t = (x - kf * (LN2_HI / 64)) - kf * (LN2_LO / 64);
    const std::int64_t k = std::bit_cast<std::int64_t>(y) - std::bit_cast<std::int64_t>(ROUNDER);
    ExpParts e;
    const double t2 = t * t;
    e.poly = 1 + (t + t2 * ((0.5 + t * (1.0 / 6)) + t2 * ((1.0 / 24 + t * (1.0 / 120)) + t2 * (1.0 / 720))));
    // floor(k/64) + 1023, from a positive dividend over the whole range.
    e.scale = std::bit_cast<double>(static_cast<std::uint64_t>((k + 64 * 1023) >> 6) << 52);
    e.j = k & 63;
    return e;
}

inline double exp_of(double x)
{
    if (!exp_in_range(x))
        return x < EXP_ZERO_BELOW ? 0.0 : std::exp(x);
    const ExpParts e = exp_parts(x);
    return EXP_TABLE.v[e.j] * e.poly * e.scale;
}

// exp_of on m <= CAP elements (out may be x), in passes a vector unit takes
// element by element (the reduction and polynomial; the table's loads; the
// product), with libm's exponential only where an element leaves the range
// (its parts then e^x, 1 and row 0, whose 2^0 = 1 leaves the product exact):
// each element gets exp_of's doubles.
template <int CAP>
void exp_pass(const double *x, double *out, int m)
{
    double poly[CAP], scale[CAP];
    std::int64_t j[CAP];
    int outside = 0;  // elements for libm
    for (int k = 0; k < m; ++k) {
        const bool in = exp_in_range(x[k]);
        outside += !in;
        const ExpParts e = exp_parts(in ? x[k] : 0.0);
        poly[k] = e.poly;
        scale[k] = e.scale;
        j[k] = e.j;
    }
    if (outside)
        for (int k = 0; k < m; ++k)
            if (!exp_in_range(x[k])) {
                poly[k] = x[k] < EXP_ZERO_BELOW ? 0.0 : std::exp(x[k]);
                scale[k] = 1.0;
                j[k] = 0;
            }
    for (int k = 0; k < m; ++k)
        out[k] = EXP_TABLE.v[j[k]] * poly[k] * scale[k];
}

inline double log_of(double x) { return std::log(x); }
inline double ncdf_of(double x) { return norm_cdf(x); }

template <int N>
inline Dual<N> exp_of(const Dual<N> &x)
{
    // The same exponential as the plain doubles': the Greeks' price is
    // _alo_price's to the last bit.
    const double e = exp_of(x.v);
    return chain(x, e, e);
}
template <int CAP, int N>
void exp_pass(const Dual<N> *x, Dual<N> *out, int m)
{
    double v[CAP];  // the values, through the doubles' passes
    for (int k = 0; k < m; ++k)
        v[k] = x[k].v;
    exp_pass<CAP>(v, v, m);
    for (int k = 0; k < m; ++k)
        out[k] = chain(x[k], v[k], v[k]);
}
template <int N>
Dual<N> log_of(const Dual<N> &x) { return chain(x, std::log(x.v), 1.0 / x.v); }
template <int N>
Dual<N> ncdf_of(const Dual<N> &x)
{
    // Phi' = phi, the derivative of erfc being -2/sqrt(pi) exp(-x^2).
    return chain(x, norm_cdf(x.v), norm_pdf(x.v));
}
// sqrt of a quantity that rounding can leave slightly negative; at zero the
// partials are taken as zero (ln(B/X)^2 is flat where B touches X).
template <int N>
inline Dual<N> sqrt_pos(const Dual<N> &x)
{
    if (!(x.v > 0))
        return Dual<N>(0.0);
    const double s = std::sqrt(x.v);
    return chain(x, s, 0.5 / s);
}

// sqrt_pos on m elements (out may be x).  The clamp has a pass of its own:
// fused with the root, the compiler branches to sqrt(0) and the loop no
// longer vectorises.
inline void sqrt_pos_pass(const double *x, double *out, int m)
{
    for (int k = 0; k < m; ++k)
        out[k] = x[k] > 0 ? x[k] : 0.0;
    for (int k = 0; k < m; ++k)
        out[k] = std::sqrt(out[k]);
}
template <int N>
void sqrt_pos_pass(const Dual<N> *x, Dual<N> *out, int m)
{
    for (int k = 0; k < m; ++k)
        out[k] = sqrt_pos(x[k]);
}

// Phi(x) from e = exp(-x^2/2) (normal.h), on doubles and duals alike.
inline double ncdf_given(double x, double e) { return norm_cdf_given_exp(x, e); }

template <int N>
inline Dual<N> ncdf_given(const Dual<N> &x, const Dual<N> &e)
{
    return chain(x, ncdf_given(x.v, e.v), INV_SQRT_2PI * e.v);
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

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_DUAL_H
