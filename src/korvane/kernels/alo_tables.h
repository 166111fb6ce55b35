// Chebyshev interpolation and Gauss-Legendre quadrature tables of the
// fixed-point American kernels (alo.h), built by constexpr code so that the
// default schemes' are compile-time constants and a run-time scheme's are the
// same doubles.  Internal to the kernels: namespace alo_detail.
#ifndef KORVANE_ALO_TABLES_H
#define KORVANE_ALO_TABLES_H

#include "alo.h"

namespace korvane::kernels::alo_detail {

inline constexpr double PI = 3.141592653589793;
inline constexpr double HALF_PI = 1.5707963267948966;

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

// Gauss-Legendre points and weights on [0, 1].
struct Gauss {
    int n;
    double z[ALO_MAX_POINTS];
    double w[ALO_MAX_POINTS];
};

constexpr Gauss gauss_legendre(int n)
{
    Gauss g{};
    g.n = n;
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
        g.z[i] = (1 - x) * 0.5;  // ascending
        g.w[i] = 1 / ((1 - x * x) * dp * dp);
    }
    return g;
}

// Chebyshev interpolation on the extrema xi_i = cos(i pi/n) of [-1, 1],
// x = (1 + xi)/2 in [0, 1]: node 0 is x = 1, node n is x = 0.
struct Tables {
    int n;                                                   // Chebyshev intervals
    double cheb[(ALO_MAX_NODES + 1) * (ALO_MAX_NODES + 1)];  // cos(i k pi/n), row i
    double x[ALO_MAX_NODES + 1];                             // (1 + xi_i)/2
    Gauss inner;                                             // the boundary integrals'
    Gauss outer;                                             // the price integral's
};

constexpr Tables make_tables(int nodes, int points, int final_points)
{
    Tables t{};
    t.n = nodes;
    const int n = nodes;
    for (int i = 0; i <= n; ++i) {
        for (int k = 0; k <= n; ++k)
            t.cheb[i * (n + 1) + k] = cos_series(PI * ((i * k) % (2 * n)) / n);
        t.x[i] = (1 + t.cheb[i * (n + 1) + 1]) * 0.5;
    }
    t.inner = gauss_legendre(points);
    t.outer = gauss_legendre((final_points + 1) / 2);  // each side of the price integral's split
    return t;
}

constexpr bool fits(const AloScheme &s)
{
    return s.nodes >= 2 && s.nodes <= ALO_MAX_NODES && s.points >= 1 && s.points <= ALO_MAX_POINTS
           && s.final_points >= 1 && s.final_points <= ALO_MAX_POINTS && s.iterations >= 0;
}

// A scheme's tables, where it fits.
constexpr Tables tables_of(const AloScheme &s) { return make_tables(s.nodes, s.points, s.final_points); }


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

}  // namespace korvane::kernels::alo_detail

#endif  // KORVANE_ALO_TABLES_H
