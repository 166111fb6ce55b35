// Kernels that run without the root finder: the normal CDF, the European
// price on the forward and the bounded Brent minimiser.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernels/kernels.h"

namespace k = korvane::kernels;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Phi(x) = erfc(-x/sqrt 2)/2 to 50 digits, printed by make_tail_table.py.
struct TailPoint { double x, phi; };
constexpr TailPoint TAIL[] = {
    {-0x1.4p+3, 7.619853024160525e-24}, {-0x1.400002p+3, 7.619779643099582e-24}, {-0x1.48p+3, 5.917176907365617e-25},
    {-0x1.5p+3, 4.3190063178092304e-26}, {-0x1.6p+3, 1.9106595744986757e-28}, {-0x1.6999998p+3, 6.560903503356663e-30},
    {-0x1.8p+3, 1.776482112077679e-33}, {-0x1.98p+3, 1.5587262888811991e-37}, {-0x1.abd70ap+3, 4.527049477182469e-41},
    {-0x1.cp+3, 7.7935368191928e-45}, {-0x1.c48c6p+3, 1.044243845512971e-45}, {-0x1.fp+3, 1.7344607917938702e-54},
    {-0x1.0ccccdp+4, 1.2202161168400693e-63}, {-0x1.2p+4, 9.740948918937151e-73}, {-0x1.3e0652p+4, 3.24791194854756e-88},
    {-0x1.5p+4, 3.279278018979036e-98}, {-0x1.6666668p+4, 1.9678873159071905e-111}, {-0x1.8p+4, 1.390392118549703e-127},
    {-0x1.9a147bp+4, 3.533069057473096e-145}, {-0x1.b2ecbf8p+4, 5.1872074214274526e-163}, {-0x1.c8p+4, 5.8571412538063374e-179},
    {-0x1.ep+4, 4.906713927148187e-198}, {-0x1.f6a7a28p+4, 6.131770008412786e-217}, {-0x1.08p+5, 4.061185620915855e-239},
    {-0x1.147ae18p+5, 5.043038984764326e-262}, {-0x1.1ep+5, 3.3078761147810754e-280}, {-0x1.2199998p+5, 3.043990426669653e-287},
    {-0x1.27eb85p+5, 8.291000977827921e-300}, {-0x1.28p+5, 5.725571222524577e-300},
};

TEST(NormCdf, SpecialValues) {
    for (const auto &c : {TailPoint{0.0, 0.5}, {INF, 1.0}, {-INF, 0.0}, {-1e8, 0.0}})
        EXPECT_EQ(k::_norm_cdf(c.x), c.phi) << c.x;
    EXPECT_TRUE(std::isnan(k::_norm_cdf(NaN)));
}

// At -10 the series is good to an ulp or two, where erfc of the rounded x/sqrt 2
// is 4e-15 off; above -10 erfc's error is x^2 times its argument's rounding.
TEST(NormCdf, EitherSideOfTheSwitch) {
    EXPECT_NEAR(k::_norm_cdf(-10.0) / TAIL[0].phi, 1.0, 1e-15);
    EXPECT_NEAR(k::_norm_cdf(-9.999999) / 7.619929970531467e-24, 1.0, 2e-14);
}

TEST(NormCdf, FarTail) {
    for (const auto &p : TAIL)
        EXPECT_NEAR(k::_norm_cdf(p.x) / p.phi, 1.0, 1e-14) << std::hexfloat << p.x;
}

// The Black formula evaluated by mpmath at 40 digits; any q but 1 is a put.
TEST(BsmPrice, References) {
    struct { int q; double F, want; } const cases[] = {
        {1, 100, 7.6469447571895646}, {1, 102, 8.7211144779166876}, {-1, 102, 6.8011144779166876},
        {0, 102, 6.8011144779166876}, {2, 102, 6.8011144779166876}};
    for (const auto &c : cases)
        EXPECT_NEAR(k::_bsm_price(c.q, 100, 0.96, c.F, 0.2), c.want, 1e-12 * c.want) << c.q << " " << c.F;
    EXPECT_TRUE(std::isnan(k::_bsm_price(k::CALL, 100, 0.96, 100, NaN)));
    EXPECT_TRUE(std::isnan(k::_bsm_price(k::PUT, 100, 0.96, 100, NaN)));
}

// C - P = D (F - K), since Phi(d) + Phi(-d) = 1.
TEST(BsmPrice, PutCallParity) {
    struct { double K, D, F, sigma; } const cases[] = {
        {100, 0.96, 100, 0.2}, {80, 0.5, 120, 1.5}, {150, 0.99, 90, 0.05}, {0.3, 1.0, 0.25, 0.7}};
    for (const auto &c : cases) {
        const double diff = k::_bsm_price(k::CALL, c.K, c.D, c.F, c.sigma) - k::_bsm_price(k::PUT, c.K, c.D, c.F, c.sigma);
        EXPECT_NEAR(diff, c.D * (c.F - c.K), 1e-13 * std::fmax(c.F, c.K)) << c.K;
    }
}

// One minimisation; the function minimised sees its evaluation number.
struct Search {
    double (*g)(double x, int eval);
    int evals = 0;
    double last = NaN, x = NaN, f_best = NaN;
};

double probe(double x, void *args) {
    auto *s = static_cast<Search *>(args);
    s->last = x;
    return s->g(x, ++s->evals);
}

Search minimise(double (*g)(double, int), double lo, double hi) {
    Search s{g};
    s.x = k::_bounded_brent(probe, &s, lo, hi, &s.f_best);
    EXPECT_LE(s.evals, 101);
    return s;
}

double parabola(double x, int) { return (x - 1.234) * (x - 1.234); }
double constant(double, int) { return 1e10; }
double nan_first(double x, int eval) { return eval == 1 ? NaN : parabola(x, eval); }

// The final stopping distance around x: 2 (sqrt(eps) |x| + 1e-6/3).
double tol2(double x) { return 2 * (k::SQRT_EPS * std::fabs(x) + 1e-6 / 3); }

TEST(BoundedBrent, SmoothMinimum) {
    const Search s = minimise(parabola, 0, 3);
    EXPECT_NEAR(s.x, 1.234, tol2(s.x));
    EXPECT_EQ(s.f_best, parabola(s.x, 0));
}

// Every trial ties and is taken: the search ends on its latest point, near hi.
TEST(BoundedBrent, TiesTakeTheLatestPoint) {
    const Search s = minimise(constant, 97, 103);
    EXPECT_EQ(s.evals, 30);
    EXPECT_EQ(s.x, s.last);
    EXPECT_TRUE(103.0 - tol2(s.x) < s.x && s.x < 103.0) << s.x;
    EXPECT_EQ(s.f_best, 1e10);
}

// These end where the search starts, at lo + GOLDEN_C (hi - lo).
TEST(BoundedBrent, StaysOnTheFirstPoint) {
    struct { double (*g)(double, int); double lo, hi; int evals; } const cases[] = {
        {parabola, 3, 0, 1}, {parabola, 2, 2, 1}, {nan_first, 0, 3, 0}};  // evals 0: any
    for (const auto &c : cases) {
        const Search s = minimise(c.g, c.lo, c.hi);
        EXPECT_EQ(s.x, c.lo + k::GOLDEN_C * (c.hi - c.lo)) << c.lo;
        EXPECT_TRUE(c.evals == 0 || s.evals == c.evals) << s.evals;
        EXPECT_TRUE(c.g == nan_first ? std::isnan(s.f_best) : s.f_best == parabola(s.x, 0)) << s.f_best;
    }
}

TEST(BoundedBrent, NanBracketRunsToTheLimit) {
    for (const auto &[lo, hi] : {std::pair{NaN, 3.0}, std::pair{0.0, NaN}}) {
        const Search s = minimise(parabola, lo, hi);
        EXPECT_TRUE(std::isnan(s.x));
        EXPECT_EQ(s.evals, 101);
    }
}

}  // namespace
