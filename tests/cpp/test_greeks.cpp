// The critical price and the Greeks, with a Brent root finder of the test's
// own in the place of SciPy's (the same algorithm: Brent 1973, ch. 4).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernels/kernels.h"
#include "test_brentq.h"

namespace k = korvane::kernels;

namespace {

using korvane::test::test_brentq;

class Kernels : public ::testing::Test {
protected:
    void SetUp() override { k::brentq = test_brentq; }
};

// The premium in value-matching form, s (x - K) - E(x) times (S/x)^q, for a
// trial critical price x, and the smooth-pasting form A(x) (S/x)^q.
struct Premium {
    double s, S, K, D, g, sigma, q;
    double matching(double x) const
    {
        const double e = k::_bsm_price(s > 0 ? k::CALL : k::PUT, K, D, g * x, sigma);
        return (s * (x - K) - e) * std::pow(S / x, q);
    }
    // d matching/dx: (S/x)^q [s - dE/dx - q (s (x - K) - E(x))/x], dE/dx = s D g Phi(s d1(x)).
    double matching_slope(double x) const
    {
        const double e = k::_bsm_price(s > 0 ? k::CALL : k::PUT, K, D, g * x, sigma);
        const double dE = s * D * g * k::_norm_cdf(s * k::black_d1(g * x, K, sigma));
        return std::pow(S / x, q) * (s - dE - q * (s * (x - K) - e) / x);
    }
    double pasting(double x) const
    {
        const double d1 = k::black_d1(g * x, K, sigma);
        return s * (x / q) * (1 - D * g * k::_norm_cdf(s * d1)) * std::pow(S / x, q);
    }
};

// The boundary condition is the first-order condition of the value-matching
// premium: at the solved critical price its slope vanishes to the solver's
// tolerance (1e-10), while the smooth-pasting form, equal there, has a slope of
// its own.  This is what lets the Greeks hold S* fixed.
TEST_F(Kernels, ValueMatchingPremiumIsStationaryAtTheCriticalPrice)
{
    struct { std::int32_t q; double S, K, D, F, sigma; } const cases[] = {
        {k::PUT, 100, 100, 0.8, 90, 0.6}, {k::PUT, 110, 100, 0.95, 111, 0.2},
        {k::CALL, 100, 100, 0.9, 105, 0.3}, {k::CALL, 90, 100, 0.7, 95, 0.8}};
    for (const auto &c : cases) {
        k::BawState st;
        k::_baw_state(c.q, c.S, c.K, c.D, c.F, c.sigma, &st);
        ASSERT_EQ(st.branch, k::BawState::PREMIUM);
        ASSERT_TRUE(st.solved);
        const Premium p{c.q == k::CALL ? 1.0 : -1.0, c.S, c.K, c.D, st.g, c.sigma, st.q};
        const double x = st.s_star, h = 1e-4 * x;
        EXPECT_NEAR(p.matching(x), p.pasting(x), 1e-9 * c.K);
        // Slopes as relative changes of the premium per relative change of x.
        const double scale = x / p.matching(x);
        const double slope = p.matching_slope(x) * scale;
        const double pasting_slope = (p.pasting(x + h) - p.pasting(x - h)) / (2 * h) * scale;
        EXPECT_LT(std::fabs(slope), 1e-8) << c.S;
        EXPECT_GT(std::fabs(pasting_slope), 1e-2) << c.S;
        // Second order in the step: a hundred times smaller step, ten thousand times smaller change.
        const double curvature = p.matching(x + h) - p.matching(x);
        EXPECT_NEAR(p.matching(x + h / 100) - p.matching(x), curvature / 1e4, 1e-3 * std::fabs(curvature));
    }
}

// The price the Greeks report is _baw_price's, bit for bit, on every branch.
TEST_F(Kernels, GreeksPriceIsThePrice)
{
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    struct { std::int32_t q; double S, K, D, F, sigma; } const cases[] = {
        {k::PUT, 100, 100, 0.8, 90, 0.6}, {k::CALL, 100, 100, 0.9, 105, 0.3}, {k::PUT, 60, 100, 0.9, 61, 0.2},
        {k::CALL, 100, 100, 1.0, 100, 0.2}, {k::CALL, 110, 100, 0.9, 150, 0.0}, {k::PUT, 100, NaN, 0.9, 100, 0.2},
        {k::CALL, 100, 100, 0.9, 100, 1e-9}, {k::PUT, 1e-300, 100, 0.5, 1e-300, 5.0}};
    for (const auto &c : cases) {
        k::Greeks g;
        k::_baw_greeks(c.q, c.S, c.K, c.D, c.F, c.sigma, &g);
        const double price = k::_baw_price(c.q, c.S, c.K, c.D, c.F, c.sigma);
        EXPECT_TRUE(g.price == price || (std::isnan(g.price) && std::isnan(price))) << c.S << " " << c.sigma;
    }
}

// Delta and gamma against differences of the price at a fixed F/S, where the
// critical price is solved alike at every bumped spot.
TEST_F(Kernels, DeltaAndGammaHoldTheCarry)
{
    const double g = 1.0 + 3.0 / 1024;  // F/S: exact in every product below
    for (std::int32_t q : {k::CALL, k::PUT}) {
        for (double K : {80.0, 100.0, 125.0}) {
            const double S = 100, h = 0.25, D = 0.9, sigma = 0.35;
            const auto V = [&](double x) { return k::_baw_price(q, x, K, D, g * x, sigma); };
            k::Greeks out;
            k::_baw_greeks(q, S, K, D, g * S, sigma, &out);
            const double delta = (8 * (V(S + h) - V(S - h)) - (V(S + 2 * h) - V(S - 2 * h))) / (12 * h);
            const double gamma = (16 * (V(S + h) + V(S - h)) - (V(S + 2 * h) + V(S - 2 * h)) - 30 * V(S)) / (12 * h * h);
            EXPECT_NEAR(out.delta, delta, 1e-8) << q << " " << K;
            EXPECT_NEAR(out.gamma, gamma, 1e-7) << q << " " << K;
        }
    }
}

}  // namespace
