// The finite-difference kernels where Python cannot reach them: the carry's
// read-back from the forward, the cost of a price and of an implied
// volatility in grid solves, and the schemes beyond the default.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>

#include "kernels/alo.h"
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
        const double fine = k::_fd_price_scheme(k::FD_TWO_BOUNDARY_SCHEME, c.flag, c.S, c.K, c.D(),
                                                c.F(), c.sigma(), divs);
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

// The batch gives each contract _fd_price's doubles, whatever its
// neighbours: puts and calls, with and without dividends, one boundary and
// two, shuffled into blocks of different sizes.
TEST_F(Fd, BatchIsSingle)
{
    double t[40][4], a[40][4];
    k::FdContract in[40];
    for (int i = 0; i < 40; ++i) {
        const Rated &c = CASES[i % 3];
        const int n = i % 5 == 0 ? 0 : c.n;
        for (int j = 0; j < 4; ++j) {
            t[i][j] = c.times[j] / c.T;
            a[i][j] = c.amounts[j] * (1 + 0.01 * i);
        }
        const double r = i % 7 == 3 ? -0.01 : c.r, q = i % 7 == 3 ? -0.03 : c.q;  // two boundaries
        in[i] = {i % 2 ? k::PUT : k::CALL, c.S, c.K * (0.9 + 0.005 * i), std::exp(-r * c.T),
                 c.S * std::exp((r - q) * c.T), c.vol * std::sqrt(c.T), k::dividends_of(t[i], a[i], n)};
    }
    double one[40], many[40];
    for (int i = 0; i < 40; ++i)
        one[i] = k::_fd_price(in[i].flag, in[i].S, in[i].K, in[i].D, in[i].F, in[i].sigma,
                              in[i].dividends);
    for (const int block : {1, 7, k::FD_BATCH}) {
        for (int i = 0; i < 40; i += block)
            k::_fd_price_many(in + i, std::min(block, 40 - i), many + i);
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(std::memcmp(&one[i], &many[i], sizeof(double)), 0) << block << " " << i;
    }
}

// The two-boundary entries: a put with q < r < 0 inside its band (not
// exercised at the spot), Greeks against central differences of the price
// on the same scheme, and the implied sigma's round trip.
TEST_F(Fd, TwoBoundaryEntries)
{
    const double S = 100, K = 100, T = 2.0, r = -0.02, q = -0.05, vol = 0.15;
    const auto price = [&](double s, double d, double f, double sigma) {
        return k::_fd_two_boundary_price(k::PUT, s, K, d, f, sigma);
    };
    const double D = std::exp(-r * T), F = S * std::exp((r - q) * T), sigma = vol * std::sqrt(T);
    k::Greeks g;
    k::_fd_two_boundary_greeks(k::PUT, S, K, D, F, sigma, &g);
    const double v = price(S, D, F, sigma);
    EXPECT_EQ(g.price, v);
    EXPECT_EQ(k::_alo_price(k::PUT, S, K, D, F, sigma), v);  // the accurate engine's answer here
    EXPECT_GT(v, K - S);
    const double h = 1e-3;
    // F/S held for delta; D moves with S and F held; F alone.
    EXPECT_NEAR(g.delta, (price(S + h, D, F * (S + h) / S, sigma) - price(S - h, D, F * (S - h) / S, sigma)) / (2 * h), 2e-4);
    EXPECT_NEAR(g.vega, (price(S, D, F, sigma + h) - price(S, D, F, sigma - h)) / (2 * h), 2e-3 * std::fabs(g.vega));
    EXPECT_NEAR(g.dD, (price(S, D + h, F, sigma) - price(S, D - h, F, sigma)) / (2 * h), 2e-3 * std::fabs(g.dD));
    EXPECT_NEAR(g.dF, (price(S, D, F + h, sigma) - price(S, D, F - h, sigma)) / (2 * h), 2e-3 * std::fabs(g.dF) + 1e-4);
    EXPECT_NEAR(k::_fd_two_boundary_implied_vol_c(k::PUT, v, S, K, D, F), sigma, 1e-8 * sigma);
    EXPECT_EQ(k::_fd_two_boundary_implied_vol_c(k::PUT, K - S, S, K, D, F), 0.0);
    EXPECT_EQ(k::_fd_two_boundary_implied_vol_c(k::PUT, NaN, S, K, D, F), -1.0);
    EXPECT_TRUE(std::isnan(price(S, D, F, std::numeric_limits<double>::infinity())));
}
