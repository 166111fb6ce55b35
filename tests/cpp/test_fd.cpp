// The finite-difference kernels where Python cannot reach them: the carry's
// read-back from the forward, the cost of a price and of an implied
// volatility in grid solves, and the schemes beyond the default.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/fd.h"
#include "kernels/kernels.h"
#include "test_brentq.h"

namespace k = korvane::kernels;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

class Fd : public ::testing::Test {
protected:
    void SetUp() override { k::brentq = korvane::test::test_brentq; }
};

// A contract in rate form with cash dividends at times (years).
struct Rated {
    std::int32_t flag;
    double S, K, T, r, q, vol;
    double times[4], amounts[4];
    int n;

    double D() const { return std::exp(-r * T); }
    double F() const
    {
        double f = S * std::exp((r - q) * T);
        for (int i = 0; i < n; ++i)
            f -= amounts[i] * std::exp((r - q) * (T - times[i]));
        return f;
    }
    double sigma() const { return vol * std::sqrt(T); }
    k::Dividends dividends(double *fractions) const
    {
        for (int i = 0; i < n; ++i)
            fractions[i] = times[i] / T;
        return k::dividends_of(fractions, amounts, n);
    }
};

const Rated CASES[] = {
    {k::PUT, 100, 105, 2.0, 0.04, 0.01, 0.3, {0.1, 0.6, 1.1, 1.6}, {1.5, 1.5, 1.5, 1.5}, 4},
    {k::CALL, 100, 95, 0.5, 0.05, 0.0, 0.25, {0.2}, {2.0}, 1},
    {k::CALL, 100, 110, 1.0, -0.005, 0.02, 0.5, {0.25, 0.5, 0.75, 0.999}, {1.0, 1.0, 1.0, 1.0}, 4},
};

}  // namespace

// The carry r - q read back from F reproduces F, and the forward form's q
// without dividends.
TEST_F(Fd, CarryReadBack)
{
    for (const Rated &c : CASES) {
        double t[4];
        c.dividends(t);
        const double b = k::_fd_carry(c.S, c.F(), t, c.amounts, c.n);
        EXPECT_NEAR(b, (c.r - c.q) * c.T, 1e-13) << c.K;
    }
    EXPECT_EQ(k::_fd_carry(100, 105, nullptr, nullptr, 0), std::log(105.0 / 100));
    const double t[] = {0.5}, d[] = {200.0};  // the dividends worth more than the spot
    EXPECT_TRUE(std::isfinite(k::_fd_carry(100, 1.0, t, d, 1)));
    EXPECT_TRUE(std::isnan(k::_fd_carry(100, 0.0, t, d, 1)));
    EXPECT_TRUE(std::isnan(k::_fd_carry(100, NaN, t, d, 1)));
}

// A price is two grid solves' worth of tridiagonal solves (policy iteration
// mostly needs one per stage); an implied volatility a handful of grid
// solves (level 0 steering, then one or two of the full scheme).
TEST_F(Fd, SolvesCounted)
{
    for (const Rated &c : CASES) {
        double t[4];
        int solves = 0;
        const double v = k::_fd_price_scheme(k::FD_SCHEME, c.flag, c.S, c.K, c.D(), c.F(),
                                             c.sigma(), c.dividends(t), &solves);
        // 40 + 80 steps at least, under 1.6 solves a stage on average
        EXPECT_GE(solves, 120);
        EXPECT_LE(solves, 320) << c.K;
        int grid = 0;
        const double x = k::_fd_implied_vol_c(c.flag, v, c.S, c.K, c.D(), c.F(), c.dividends(t), &grid);
        EXPECT_NEAR(x, c.sigma(), 1e-7 * c.sigma());
        EXPECT_GE(grid, 3);
        EXPECT_LE(grid, 9) << c.K;
    }
}

// The finer settings agree with the reference to their accuracy, and the
// largest grid holds the reference; beyond it, NaN.
TEST_F(Fd, FinerSchemes)
{
    for (const Rated &c : CASES) {
        double t[4];
        const k::Dividends divs = c.dividends(t);
        const double ref = k::_fd_price_scheme(k::FD_REFERENCE_SCHEME, c.flag, c.S, c.K, c.D(), c.F(),
                                               c.sigma(), divs);
        const double fine = k::_fd_price_scheme(k::FD_FINE_SCHEME, c.flag, c.S, c.K, c.D(), c.F(),
                                                c.sigma(), divs);
        EXPECT_NEAR(fine, ref, 2e-6 * ref) << c.K;
        EXPECT_NEAR(k::_fd_price(c.flag, c.S, c.K, c.D(), c.F(), c.sigma(), divs), ref, 5e-5 * ref);
    }
    k::FdScheme too_large = k::FD_REFERENCE_SCHEME;
    too_large.nodes = k::FD_MAX_NODES;  // level 1 twice as many
    EXPECT_TRUE(std::isnan(k::_fd_price_scheme(too_large, k::PUT, 100, 100, 0.97, 101, 0.3,
                                               k::dividends_of(nullptr, nullptr, 0))));
    too_large.extrapolate = false;
    EXPECT_FALSE(std::isnan(k::_fd_price_scheme(too_large, k::PUT, 100, 100, 0.97, 101, 0.3,
                                                k::dividends_of(nullptr, nullptr, 0))));
}
