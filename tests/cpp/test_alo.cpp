// The fixed-point American kernels' inner pieces, which Python cannot reach:
// the quadrature and interpolation tables, the maps of the integrals, the
// exponential and normal distribution of the sweeps, the LU solve, the
// collocation Jacobian, the perpetual boundary, and the implied-vol search
// without BAW's start.  Prices, Greeks and round trips are tested from Python.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "kernels/alo.h"
#include "kernels/alo_solve.h"
#include "kernels/alo_steer.h"
#include "kernels/black.h"
#include "kernels/normal.h"
#include "test_brentq.h"

namespace k = korvane::kernels;
namespace d = korvane::kernels::alo_detail;

namespace {

// Gauss-Legendre on [0, 1] is exact for degree 2n - 1; Clenshaw on the
// Chebyshev coefficients of a polynomial of degree <= n reproduces it.
TEST(AloTables, GaussAndChebyshevAreExactOnPolynomials)
{
    for (int n : {5, 10, 32}) {
        const d::Gauss g = d::gauss_legendre(n);
        for (int p = 0; p < 2 * n; ++p) {
            double sum = 0;
            for (int i = 0; i < n; ++i)
                sum += g.w[i] * std::pow(g.z[i], p);
            EXPECT_NEAR(sum, 1.0 / (p + 1), 1e-14) << n << " " << p;
        }
    }
    const d::Tables tb = d::make_tables(14, 10, 64);
    const auto poly = [](double x) { return 1 + x * (0.5 - x * x * (2 - 0.25 * std::pow(x, 10))); };
    double H[15], c[15];
    for (int i = 0; i <= 14; ++i)
        H[i] = poly(2 * tb.x[i] - 1);
    d::chebyshev_coefficients(tb, H, c);
    double xi[5] = {-1, -0.3, 0.01, 0.7, 1}, row[5];
    d::clenshaw_row<double, 5>(c, 14, xi, 5, row);
    for (int j = 0; j < 5; ++j) {
        EXPECT_NEAR(d::clenshaw(c, 14, xi[j]), poly(xi[j]), 1e-13);
        EXPECT_EQ(d::clenshaw(c, 14, xi[j]), row[j]);  // the same doubles, interleaved
    }
}

// The maps of the integrals: onto their interval, their derivative that of
// the map, and point_of's substitution exact for ds and ds/sqrt(s).
TEST(AloTables, MapsAndSubstitution)
{
    const auto check = [](auto map, double lo, double hi) {
        double v0, v1, dv;
        map(0.0, &v0, &dv);
        map(1.0, &v1, &dv);
        // onto the interval to a few ulp of its scale (libm's sinh and asinh differ by an ulp)
        EXPECT_NEAR(v0, lo, 1e-14);
        EXPECT_NEAR(v1, hi, 1e-14 * (1 + hi));
        for (double z : {0.1, 0.5, 0.93}) {
            double a, b, h = 1e-6;
            map(z + h, &a, &dv);
            map(z - h, &b, &dv);
            map(z, &v0, &dv);
            EXPECT_NEAR(dv, (a - b) / (2 * h), 1e-7 * (1 + std::fabs(dv)));
        }
    };
    for (double lengths : {0.0, 1e-3, 0.06, 0.5, 30.0, 1e8}) {
        const d::Stretch st = d::make_stretch(lengths);
        check([&](double z, double *v, double *dv) { d::stretch_at(st, z, v, dv); }, 0, 1);
    }
    for (double f : {0.0, 0.3, 0.6})
        for (double eta : {1e-7, 0.02, 5.0}) {
            const d::Focus fc = d::make_focus(f, 0.0, 0.6, eta);
            check([&](double z, double *v, double *dv) { d::focus_at(fc, z, v, dv); }, 0, 0.6);
        }
    const d::Gauss g = d::gauss_legendre(10);
    const double tau = 0.7;
    double ds = 0, ds_root = 0;
    for (int i = 0; i < 10; ++i) {
        const d::Point p = d::point_of(g.z[i], 1.0, tau, std::sqrt(tau), g.w[i]);
        ds += p.ds;
        ds_root += p.ds_root;
        EXPECT_NEAR(p.root_s * p.root_s, p.s, 1e-14);
        EXPECT_NEAR(tau * p.one_m * p.one_m, tau - p.s, 1e-14);
    }
    EXPECT_NEAR(ds, tau, 1e-14);
    EXPECT_NEAR(ds_root, 2 * std::sqrt(tau), 1e-10);  // smooth in v, not a polynomial
}

// The sweeps' own exp and Phi-from-exp against libm's and Cody's.
TEST(AloDual, ExpAndNormal)
{
    for (double x = -700; x < 700; x += 0.37) {
        const double e = std::exp(x);
        EXPECT_NEAR(d::exp_of(x), e, 6e-16 * e) << x;
    }
    for (double x = -12; x <= 12; x += 0.01) {
        const double phi = k::norm_cdf(x);
        const double tail = x < 0 ? phi : 1 - phi;
        const double got = d::ncdf_given(x, std::exp(-0.5 * x * x));
        EXPECT_NEAR(got, phi, std::fabs(x) < 7.07 ? 3e-16 : 2e-7 * tail) << x;
    }
}

// P A = L U with interchanges at several steps (rows of very different
// scales, as the collocation rows are): every interchange reaches b before
// the substitution.
TEST(AloSolve, LuWithPivoting)
{
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int trial = 0; trial < 20; ++trial) {
        const int n = 14;
        double A[n * n], LU[n * n], x[n], b[n];
        int piv[n];
        for (int i = 0; i < n; ++i) {
            const double scale = std::pow(10.0, -6 + 7 * (i % 5) / 4.0);
            for (int j = 0; j < n; ++j)
                A[i * n + j] = LU[i * n + j] = scale * (u(rng) + (i == j ? 0.1 : 0.0));
            b[i] = x[i] = u(rng);
        }
        ASSERT_TRUE(d::lu_factor<n>(LU, n, piv));
        d::lu_solve<n>(LU, n, piv, x);
        for (int i = 0; i < n; ++i) {
            double row = 0, ax = -b[i];
            for (int j = 0; j < n; ++j) {
                ax += A[i * n + j] * x[j];
                row += std::fabs(A[i * n + j] * x[j]);
            }
            EXPECT_NEAR(ax, 0.0, 1e-13 * (row + std::fabs(b[i]))) << trial << " " << i;
        }
    }
}

// A put's collocation problem on the 14-node scheme, from its QD start.
struct Problem {
    d::Rates<double> m;
    d::Span sp;
    d::NodeTerms<double, 14, 10> nt;
    d::Cardinals<14, 10> card;
    double s[15];

    Problem(const d::Tables &tb, double r, double q, double vol)
        : m{r, q, vol}, sp(d::make_span(r, q, vol))
    {
        d::node_terms(tb, sp, m, nt);
        d::cardinals(tb, nt, card);
        d::qd_start<14>(tb, sp, r, q, vol, sp.gap, s);
    }
};

// The exact Jacobian of the collocation residuals against central
// differences, and their column in vol against the dual numbers' partial,
// at the QD start and at the solved boundary, across regimes: a desk put, a
// negative yield below -vol^2, a zero rate at large variance, a yield far
// above the rate at small vol, the span cut short.
TEST(AloSolve, JacobianMatchesDifferences)
{
    struct { double S, K, r, q, vol; } const cases[] = {
        {100, 100, 0.05, 0.02, 0.3}, {100, 90, 0.6, -1.5, 0.9}, {100, 30, 0.0, -1.5, 2.9},
        {30, 100, 0.0059, 0.037, 0.0115}, {100, 100, 0.5, 0.1, 0.05}};
    const d::Tables tb = d::make_tables(14, 10, 64);
    for (const auto &c : cases) {
        Problem p(tb, c.r, c.q, c.vol);
        auto &[m, sp, nt, card, s] = p;
        double J[14 * 14], LU[14 * 14], rho[14], up[14], dn[14];
        int piv[14];
        d::Rates<d::Dual<1>> md{c.r, c.q, c.vol};
        md.vol.d[0] = 1.0;
        d::NodeTerms<d::Dual<1>, 14, 10> ntd;
        d::node_terms(tb, sp, md, ntd);
        for (int pass = 0; pass < 2; ++pass) {
            double dvol[14], largest = 0.0;
            d::Dual<1> rd[14];
            d::residuals(tb, nt, card, m, s, rho, J, dvol);
            d::residuals(tb, ntd, card, md, s, rd, static_cast<double *>(nullptr));
            for (int i = 0; i < 14; ++i)
                largest = std::fmax(largest, std::fabs(rd[i].d[0]));
            for (int i = 0; i < 14; ++i)
                EXPECT_NEAR(dvol[i], rd[i].d[0], 1e-12 * largest) << c.r << " " << c.q << " " << c.vol << " " << i;
            for (int j = 0; j < 14; ++j) {
                const double h = 1e-6 * s[j], sj = s[j];
                s[j] = sj + h;
                d::residuals(tb, nt, card, m, s, up, static_cast<double *>(nullptr));
                s[j] = sj - h;
                d::residuals(tb, nt, card, m, s, dn, static_cast<double *>(nullptr));
                s[j] = sj;
                for (int i = 0; i < 14; ++i)
                    EXPECT_NEAR(J[i * 14 + j], (up[i] - dn[i]) / (2 * h), 1e-5 * std::fabs(J[i * 14 + i]) / sj)
                        << c.r << " " << c.q << " " << c.vol << " pass " << pass << " (" << i << ", " << j << ")";
            }
            ASSERT_LE(d::newton_boundary(tb, nt, card, m, 16, 1e-10, s, LU, piv), 16);
        }
    }
}

// The QD+ start solves Li's condition at every node: its root, written out
// here in erfc, lies within the start's tolerance of each node's ln B.
TEST(AloSolve, QdPlusStartSolvesLisCondition)
{
    const auto g = [](double r, double q, double vol, double tau, double ln_B) {
        const double v2 = vol * vol, sd = vol * std::sqrt(tau), B = std::exp(ln_B);
        const double h = -std::expm1(-r * tau), alpha = 2 * r / v2, beta = 2 * (r - q) / v2;
        const double root = std::sqrt((beta - 1) * (beta - 1) + 4 * alpha / h);
        const double lambda = (-(beta - 1) - root) / 2, dlambda = alpha / (h * h * root);
        const double dm = (ln_B + (r - q) * tau - v2 * tau / 2) / sd, dp = dm + sd;
        const double Pm = std::erfc(dm / std::sqrt(2.0)) / 2, Pp = std::erfc(dp / std::sqrt(2.0)) / 2;
        const double pdf = std::exp(-dp * dp / 2) / std::sqrt(2 * M_PI);
        const double put = std::exp(-r * tau) * Pm - B * std::exp(-q * tau) * Pp;
        const double theta = r * std::exp(-r * tau) * Pm - q * B * std::exp(-q * tau) * Pp
                             - B * std::exp(-q * tau) * pdf * vol / (2 * std::sqrt(tau));
        const double c0 = -(1 - h) * alpha / (2 * lambda + beta - 1)
                          * (1 / h - std::exp(r * tau) * theta / (r * (1 - B - put)) + dlambda / (2 * lambda + beta - 1));
        return (1 - std::exp(-q * tau) * Pp) * B + (lambda + c0) * (1 - B - put);
    };
    struct { double r, q, vol; } const cases[] = {{0.05, 0.02, 0.3}, {0.08, 0.0, 0.1}, {0.02, 0.06, 0.4},
                                                 {0.3, -0.1, 0.5}, {0.01, 0.0, 1.2}};
    const d::Tables &tb = d::DEFAULT_TABLES;
    for (const auto &c : cases) {
        const d::Span sp = d::make_span(c.r, c.q, c.vol);
        double s[15];
        d::qd_start<14>(tb, sp, c.r, c.q, c.vol, sp.gap, s);
        const double ln_X = c.q > c.r ? std::log(c.r / c.q) : 0.0;
        for (int i = 0; i < 14; ++i) {
            const double rt = sp.root_max * tb.x[i], ln_B = ln_X - s[i], band = 2 * d::QD_TOLERANCE;
            EXPECT_LT(g(c.r, c.q, c.vol, rt * rt, ln_B - band) * g(c.r, c.q, c.vol, rt * rt, ln_B + band), 0.0)
                << c.r << " " << c.q << " " << c.vol << " node " << i;
        }
    }
}

// The boundary lies above the perpetual one, and reaches it when the span
// is cut short (kappa far above SPAN); the gap is McKean's closed form.
TEST(AloSolve, BoundaryAndThePerpetualGap)
{
    // gamma from the quadratic in long double, the put's root
    const auto gap = [](long double r, long double q, long double v) {
        const long double a = v * v / 2, b = r - q - v * v / 2;
        const long double g = (-b - std::sqrt(b * b + 4 * a * r)) / (2 * a);
        return static_cast<double>(std::log(q > r ? r / q : 1.0L) + std::log((g - 1) / g));
    };
    struct { double r, q, vol; } const cases[] = {{0.05, 0.02, 0.3}, {0.5, 0.9, 0.05}, {0.3, -0.4, 0.2},
                                                 {2.0, 0.0, 0.1}, {0.01, 0.0, 1.5}};
    const d::Tables tb = d::make_tables(14, 10, 64);
    for (const auto &c : cases) {
        EXPECT_NEAR(d::perpetual_gap(c.r, c.q, c.vol), gap(c.r, c.q, c.vol), 1e-12) << c.r << " " << c.q;
        Problem p(tb, c.r, c.q, c.vol);
        auto &[m, sp, nt, card, s] = p;
        double J[14 * 14];
        int piv[14];
        ASSERT_LE(d::newton_boundary(tb, nt, card, m, 16, 1e-10, s, J, piv), 16);
        for (int i = 0; i < 14; ++i)
            EXPECT_LE(s[i], sp.gap * (1 + 1e-3)) << c.r << " " << c.q << " node " << i;  // to the discretisation
        if (sp.tau_max < 1) {  // solved over SPAN decay lengths: the perpetual boundary
            EXPECT_NEAR(s[0], sp.gap, 1e-4 * sp.gap) << c.r << " " << c.q;
        }
    }
    EXPECT_TRUE(std::isinf(d::perpetual_gap(0.0, -0.01, 0.3)));  // r = 0 <= mu: none
}

// The price with its vega in doubles is the duals' premium on the same
// boundary: the price to the last bit, the vega to rounding, across regimes
// (a desk put, no yield, a yield above the rate, a week, the finer scheme at
// a long, high-rate maturity, spot beyond the boundary).
TEST(AloSolve, VegaInDoublesIsTheDuals)
{
    struct { double S, K, r, q, vol; bool fine, exercised; } const cases[] = {
        {100, 100, 0.05, 0.02, 0.3, false, false}, {100, 110, 0.08, 0.0, 0.2, false, false},
        {100, 90, 0.02, 0.09, 0.4, false, false},  {100, 99, 0.0005, 0.0002, 0.02, false, false},
        {100, 100, 0.9, 0.1, 0.8, true, false},    {60, 100, 0.1, 0.0, 0.15, false, true},
        {100, 105, 0.0005, 0.0002, 0.02, false, true}};
    for (const auto &c : cases) {
        d::Rates<d::Dual<1>> m{c.r, c.q, c.vol};
        m.vol.d[0] = 1.0;
        const d::Tables &tb = c.fine ? d::FINE_TABLES : d::DEFAULT_TABLES;
        d::Dual<1> s[d::FINE_NODES + 1];
        int steps;
        const bool solved = c.fine ? d::solve_boundary<d::Dual<1>, d::FINE_NODES, d::FINE_POINTS>(
                                         tb, d::FINE_SCHEME, m, d::Start::COLD, s, d::Purpose::PRICE, &steps)
                                   : d::solve_boundary<d::Dual<1>, d::NODES, d::POINTS>(
                                         tb, k::ALO_SCHEME, m, d::Start::COLD, s, d::Purpose::PRICE, &steps);
        ASSERT_TRUE(solved) << c.K;
        const d::Dual<1> doubles = d::put_on(tb, c.S, c.K, m, s, d::Purpose::PRICE).price;
        const d::Dual<1> duals = d::put_at(tb, c.S, c.K, m, s, d::Purpose::PRICE).price;
        EXPECT_EQ(doubles.v, duals.v) << c.K;
        EXPECT_NEAR(doubles.d[0], duals.d[0], 1e-12 * std::fabs(duals.d[0]) + 1e-300) << c.K;
        EXPECT_EQ(doubles.d[0] == 0, c.exercised) << c.K;  // exercised: no vega
    }
}

// A boundary seeded from the steering scheme's lies within its
// discretisation of the scheme's own solve, near expiry too, and Newton's
// method finishes from it in a step or two, fewer than from QD+.
template <int N, int L>
void expect_seed_finishes(const d::Tables &tb, const k::AloScheme &sc, const d::Rates<double> &m,
                          const d::Dual<1> *seeded)
{
    double cold[N + 1], warm[N + 1];
    int cold_steps, warm_steps;
    ASSERT_TRUE((d::solve_boundary<double, N, L>(tb, sc, m, d::Start::COLD, cold, d::Purpose::PRICE, &cold_steps)));
    for (int i = 0; i <= N; ++i)
        warm[i] = seeded[i].v;
    ASSERT_TRUE((d::solve_boundary<double, N, L>(tb, sc, m, d::Start::WARM, warm, d::Purpose::PRICE, &warm_steps)));
    for (int i = 0; i <= N; ++i)
        EXPECT_NEAR(seeded[i].v, cold[i], 5e-3 * cold[0]) << m.r << " " << m.vol << " node " << i;
    EXPECT_LE(warm_steps, 2) << m.r << " " << m.vol;
    EXPECT_LT(warm_steps, cold_steps) << m.r << " " << m.vol;
}

// The implied-vol search's public solves start from the steering scheme's
// boundary (seed_from_steer), on the scheme or schemes the blend takes:
// from the steering boundary interpolated alone, Newton's method takes up
// to nine steps, its few nodes missing the turn near expiry.
TEST(AloSolve, SeedFromTheSteeringScheme)
{
    struct { double K, r, q, vol; } const cases[] = {
        {100, 0.05, 0.02, 0.3}, {110, 0.08, 0.0, 0.2}, {90, 0.02, 0.09, 0.4},
        {100, 0.06, 0.0, 0.1},  {100, 0.9, 0.1, 0.8},  {100, 0.033, 0.006, 0.111}, {100, 0.55, 0.0, 0.3}};
    for (const auto &c : cases) {
        const d::Contract ct = d::classify(k::PUT, 100, c.K, std::exp(-c.r), 100 * std::exp(c.r - c.q), c.vol);
        ASSERT_EQ(ct.kind, d::Contract::BOUNDARY) << c.r;
        const d::Rates<double> m{c.r, c.q, c.vol};
        d::Boundaries<d::Dual<1>> b;
        double vega;
        d::steer_price_vega_at(ct, c.vol, b, &vega);
        d::seed_from_steer(ct, c.vol, b);
        const double w = d::fine_weight(m);
        EXPECT_EQ(b.warm_coarse, w < 1) << c.r;
        EXPECT_EQ(b.warm_fine, w > 0) << c.r;
        if (b.warm_coarse)
            expect_seed_finishes<d::NODES, d::POINTS>(d::DEFAULT_TABLES, k::ALO_SCHEME, m, b.coarse);
        if (b.warm_fine)
            expect_seed_finishes<d::FINE_NODES, d::FINE_POINTS>(d::FINE_TABLES, d::FINE_SCHEME, m, b.fine);
    }
}

// The search starts from Black's root; where Black has none (a put above
// D K) from BAW's, or without SciPy's brentq from 0.5: the same root.
TEST(AloImpliedVol, EveryStart)
{
    struct Case {
        double S, K, D, F, sigma;
    };
    const Case cases[] = {{100, 80, 0.95, 101, 0.3}, {100, 105, 0.95, 101, 0.3}, {100, 130, 0.95, 101, 0.3},
                          {20, 100, 0.7, 20 / 0.7, 2.5}};  // the last above D K: no Black root
    for (const Case &c : cases) {
        k::brentq = korvane::test::test_brentq;
        const double price = k::_alo_price(k::PUT, c.S, c.K, c.D, c.F, c.sigma);
        const double black = k::_black_implied_vol_c(k::PUT, price, c.S, c.K, c.D, c.F);
        EXPECT_EQ(black < 0, price > c.D * c.K) << c.K;
        const double with_baw = k::_alo_implied_vol_c(k::PUT, price, c.S, c.K, c.D, c.F);
        k::brentq = nullptr;
        const double without = k::_alo_implied_vol_c(k::PUT, price, c.S, c.K, c.D, c.F);
        EXPECT_NEAR(with_baw, c.sigma, 1e-9 * c.sigma) << c.K;
        EXPECT_NEAR(without, with_baw, 1e-9 * c.sigma) << c.K;
    }
    k::brentq = korvane::test::test_brentq;
}

// exp_pass gives exp_of's doubles element by element: in place, at the
// range's ends and beyond, for NaN and infinities; below the range, libm's
// (subnormal) doubles down to where they round to zero.
TEST(AloDual, ExpPassIsExpOf)
{
    constexpr int M = 15;
    const double inf = std::numeric_limits<double>::infinity();
    const double x[M] = {-708.0, -707.9, 708.9,  709.0,  -1e-300, 0.0,    1.5,   -inf,
                         inf,    k::NaN, -3.7,   40.2,   -745.1,  -746.0, -746.5};
    for (const double t : {-708.5, -745.0, -745.13, -745.2, -746.0, -746.5, -1e4})
        EXPECT_EQ(std::bit_cast<std::uint64_t>(d::exp_of(t)), std::bit_cast<std::uint64_t>(std::exp(t))) << t;
    double out[M], same[M];
    d::exp_pass<M>(x, out, M);
    for (int i = 0; i < M; ++i)
        same[i] = x[i];
    d::exp_pass<M>(same, same, M);
    for (int i = 0; i < M; ++i) {
        const double want = d::exp_of(x[i]);
        EXPECT_TRUE(std::bit_cast<std::uint64_t>(out[i]) == std::bit_cast<std::uint64_t>(want)
                    || (std::isnan(out[i]) && std::isnan(want))) << x[i];
        EXPECT_TRUE(std::bit_cast<std::uint64_t>(same[i]) == std::bit_cast<std::uint64_t>(out[i])
                    || (std::isnan(same[i]) && std::isnan(out[i]))) << x[i];
    }
}

}  // namespace
