// The fixed-point American kernels against a much finer solve of their own,
// QuantLib's QdFpAmericanEngine, the European price and BAW, and their
// Greeks against differences of the price.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/alo.h"
#include "kernels/kernels.h"
#include "test_brentq.h"

namespace k = korvane::kernels;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

class Alo : public ::testing::Test {
protected:
    void SetUp() override { k::brentq = korvane::test::test_brentq; }
};

// A contract in rate form, read into the kernels' forward form.
struct Rated {
    std::int32_t q;
    double S, K, T, r, y, vol;
    double D() const { return std::exp(-r * T); }
    double F() const { return S * std::exp((r - y) * T); }
    double sigma() const { return vol * std::sqrt(T); }
    double price() const { return k::_alo_price(q, S, K, D(), F(), sigma()); }
    double reference() const
    {
        return k::_alo_price_scheme(k::ALO_REFERENCE_SCHEME, q, S, K, D(), F(), sigma());
    }
};

// The accuracy the one setting promises: 2e-7 relative, or 1e-9 S.
double tolerance(double price, double S) { return std::fmax(2e-7 * std::fabs(price), 1e-9 * S); }

// The reference has converged: a still finer scheme moves it by under 1e-10.
TEST_F(Alo, ReferenceHasConverged)
{
    const k::AloScheme finer{48, 60, 128, 128, 1e-15};
    for (const Rated &c : {Rated{k::PUT, 100, 100, 1, 0.05, 0.02, 0.25},
                           Rated{k::CALL, 100, 110, 3, 0.03, 0.05, 0.4},
                           Rated{k::PUT, 100, 90, 5, 0.1, 0.0, 0.8}}) {
        const double fine = k::_alo_price_scheme(finer, c.q, c.S, c.K, c.D(), c.F(), c.sigma());
        EXPECT_NEAR(c.reference(), fine, 1e-10 * fine) << c.K << " " << c.T;
    }
}

// Over maturities from a week to five years, moneyness 0.8 to 1.2, puts and
// calls with the yield below and above the rate.
TEST_F(Alo, MatchesTheFineSolve)
{
    for (std::int32_t q : {k::PUT, k::CALL})
        for (double T : {1.0 / 52, 0.25, 1.0, 5.0})
            for (double K : {80.0, 100.0, 120.0})
                for (double vol : {0.2, 0.5})
                    for (double r : {0.01, 0.05})
                        for (double y : {0.0, 0.04}) {
                            const Rated c{q, 100, K, T, r, y, vol};
                            const double ref = c.reference();
                            EXPECT_NEAR(c.price(), ref, tolerance(ref, c.S))
                                << q << " T=" << T << " K=" << K << " vol=" << vol << " r=" << r
                                << " q=" << y;
                        }
}

// A put's rate large against its variance (r > 2 vol^2 over the maturity),
// where the value-matching form and its finer scheme are used: within the
// same tolerance (these were off by up to 26 and 32 times it).
TEST_F(Alo, HighRateAgainstTheVariance)
{
    for (const Rated &c : {Rated{k::PUT, 100, 120, 5, 0.1, 0.02, 0.2},
                           Rated{k::CALL, 100, 100, 5, 0.01, 0.12, 0.1},
                           Rated{k::PUT, 100, 100, 5, 0.1, 0.0, 0.2},
                           Rated{k::PUT, 100, 90, 2, 0.1, 0.04, 0.1}}) {
        const double ref = c.reference();
        EXPECT_NEAR(c.price(), ref, tolerance(ref, c.S)) << c.q << " K=" << c.K;
        const double iv = k::_alo_implied_vol_c(c.q, ref, c.S, c.K, c.D(), c.F());
        EXPECT_NEAR(iv / std::sqrt(c.T), c.vol, 5e-6) << c.q << " K=" << c.K;
    }
}

// QuantLib 1.44, QdFpAmericanEngine with its high-precision scheme (Actual/365
// days, hence the odd discount factors), good to a few 1e-9.
TEST_F(Alo, MatchesQuantLib)
{
    struct { std::int32_t q; double S, K, D, F, sigma, price; } const cases[] = {
        {k::PUT, 100, 100, 0.95122942450071402, 103.0454533953517, 0.25, 8.56522884543},
        {k::CALL, 100, 110, 0.9851524244872506, 99.502610959397515, 0.21184124321946168, 4.51405966687},
        {k::PUT, 100, 90, 0.92311634638663576, 108.32870676749586, 0.70710678118654757, 18.3620139879},
        {k::CALL, 100, 95, 0.94176453358424872, 94.176453358424865, 0.34641016151377546, 13.0048078545},
    };
    for (const auto &c : cases) {
        EXPECT_NEAR(k::_alo_price(c.q, c.S, c.K, c.D, c.F, c.sigma), c.price, tolerance(c.price, c.S));
        EXPECT_NEAR(k::_alo_price_scheme(k::ALO_REFERENCE_SCHEME, c.q, c.S, c.K, c.D, c.F, c.sigma),
                    c.price, 1e-8 * c.price);
    }
}

// C(S, K, r, q) = P(K, S, q, r): in forward form the put has discount factor
// e^{-q} = D F/S and forward K e^{q - r} = K S/F.
TEST_F(Alo, PutCallSymmetry)
{
    for (double K : {85.0, 100.0, 115.0}) {
        const double S = 100, D = 0.95, F = 98.0, sigma = 0.3;
        const double call = k::_alo_price(k::CALL, S, K, D, F, sigma);
        const double put = k::_alo_price(k::PUT, K, S, D * F / S, K * S / F, sigma);
        EXPECT_NEAR(call, put, 1e-13 * call) << K;
    }
}

// Bounds and monotonicity: at least the European price and the exercise
// value, rising with the strike (put) and with sigma.
TEST_F(Alo, BoundsAndMonotonicity)
{
    for (std::int32_t q : {k::PUT, k::CALL}) {
        const double S = 100, D = 0.9, F = 103, sigma = 0.3;
        double last = q == k::PUT ? 0.0 : 1e300;
        for (double K = 60; K <= 160; K += 5) {
            const double v = k::_alo_price(q, S, K, D, F, sigma);
            EXPECT_GE(v, k::_bsm_price(q, K, D, F, sigma) - 1e-12) << q << " " << K;
            EXPECT_GE(v, k::intrinsic_value(q, S, K)) << q << " " << K;
            if (q == k::PUT)
                EXPECT_GT(v, last) << K;
            else
                EXPECT_LT(v, last) << K;
            last = v;
        }
        double prev = 0.0;
        for (double s = 0.05; s <= 1.5; s += 0.05) {
            const double v = k::_alo_price(q, S, 100, D, F, s);
            EXPECT_GT(v, prev) << q << " " << s;
            prev = v;
        }
    }
}

// No positive rate with the yield at least the rate (put), or no positive
// yield with the rate at least the yield (call): the Black price.
TEST_F(Alo, EuropeanRegimes)
{
    for (double K : {80.0, 100.0, 120.0}) {
        struct { std::int32_t q; double D, F; } const cases[] = {
            {k::PUT, 1.0, 98}, {k::PUT, 1.01, 97}, {k::CALL, 0.95, 106}};
        for (const auto &c : cases) {
            const double black = k::_bsm_price(c.q, K, c.D, c.F, 0.3);
            EXPECT_NEAR(k::_alo_price(c.q, 100, K, c.D, c.F, 0.3), black, 1e-14 * black) << c.q << " " << K;
        }
    }
    // Negative rate and a yield below it: a put with two boundaries, not handled.
    EXPECT_TRUE(std::isnan(k::_alo_price(k::PUT, 100, 100, 1.02, 101, 0.3)));
}

// A put's yield below minus the variance (a call's rate) with a positive
// rate: NaN, not the wrong price the sweeps give there; just above it, a
// price near QuantLib's (high-precision scheme, 10950 days on Actual/365).
TEST_F(Alo, NegativeYieldBeyondTheVariance)
{
    const double T = 30;
    const Rated deep{k::PUT, 100, 100, T, 1e-6, -0.05, 0.1};  // q T = -1.5, sigma^2 = 0.3
    EXPECT_TRUE(std::isnan(deep.price()));
    EXPECT_TRUE(std::isnan(deep.reference()));
    k::Greeks g;
    k::_alo_greeks(k::PUT, deep.S, deep.K, deep.D(), deep.F(), deep.sigma(), &g);
    EXPECT_TRUE(std::isnan(g.price) && std::isnan(g.vega));
    // The mirrored call: rate -5%, yield 0.0001%.
    const Rated call{k::CALL, 100, 100, T, -0.05, 1e-6, 0.1};
    EXPECT_TRUE(std::isnan(call.price()));

    const Rated handled{k::PUT, 100, 100, T, 1e-6, -0.05, 0.4};  // sigma^2 = 4.8
    EXPECT_NEAR(handled.price(), 53.3141364326, 1e-6 * 53.3);
    // The search stays where prices are handled and finds sigma there.
    const double iv = k::_alo_implied_vol_c(k::PUT, handled.price(), 100, 100, handled.D(),
                                            handled.F());
    EXPECT_NEAR(iv, handled.sigma(), 1e-7 * handled.sigma());
    // A price only a sigma below sqrt(1.5) would give: out of reach.
    EXPECT_EQ(k::_alo_implied_vol_c(k::PUT, 4.0, 100, 100, handled.D(), handled.F()), -1.0);
}

// Degenerate inputs: no volatility gives BAW's undiscounted exercise value, a
// NaN anywhere a NaN, and a spot beyond the boundary the exercise value exactly.
TEST_F(Alo, DegenerateInputs)
{
    for (std::int32_t q : {k::PUT, k::CALL})
        for (double K : {90.0, 110.0}) {
            EXPECT_EQ(k::_alo_price(q, 100, K, 0.9, 105, 0.0), k::_baw_price(q, 100, K, 0.9, 105, 0.0));
            EXPECT_EQ(k::_alo_price(q, 100, K, 0.9, 105, -1.0), k::intrinsic_value(q, 100, K));
        }
    const double args[5] = {100, 100, 0.95, 101, 0.3};
    for (int i = 0; i < 5; ++i) {
        double a[5];
        for (int j = 0; j < 5; ++j)
            a[j] = i == j ? NaN : args[j];
        EXPECT_TRUE(std::isnan(k::_alo_price(k::PUT, a[0], a[1], a[2], a[3], a[4]))) << i;
        k::Greeks g;
        k::_alo_greeks(k::CALL, a[0], a[1], a[2], a[3], a[4], &g);
        EXPECT_TRUE(std::isnan(g.price) && std::isnan(g.delta) && std::isnan(g.vega)) << i;
        EXPECT_EQ(k::_alo_implied_vol_c(k::PUT, i == 4 ? NaN : 5.0, a[0], a[1], a[2], a[3]), -1.0) << i;
    }
    // Deep in the money at a high rate: exercised at once.
    EXPECT_EQ(k::_alo_price(k::PUT, 60, 100, 0.9, 61, 0.2), 40.0);
    EXPECT_EQ(k::_alo_price(k::CALL, 160, 100, 0.97, 120, 0.2), 60.0);
}

// Over a few days BAW's approximation is close to the exact price (to 1e-3;
// QuantLib agrees with the fixed point to 1e-10 on these).
TEST_F(Alo, ShortMaturitiesAgreeWithBaw)
{
    for (std::int32_t q : {k::PUT, k::CALL})
        for (double K : {95.0, 100.0, 105.0}) {
            const Rated c{q, 100, K, 3.0 / 365, 0.05, 0.03, 0.3};
            const double baw = k::_baw_price(q, c.S, K, c.D(), c.F(), c.sigma());
            EXPECT_NEAR(c.price(), baw, 1e-3 * baw) << q << " " << K;
        }
}

// Five-point central differences (error O(h^4)) of f at x.
template <class Fn>
double slope(Fn f, double x, double h)
{
    return (8 * (f(x + h) - f(x - h)) - (f(x + 2 * h) - f(x - 2 * h))) / (12 * h);
}
template <class Fn>
double curvature(Fn f, double x, double h)
{
    return (16 * (f(x + h) + f(x - h)) - (f(x + 2 * h) + f(x - 2 * h)) - 30 * f(x)) / (12 * h * h);
}

// Every Greek against differences of _alo_price, Richardson-extrapolated.
TEST_F(Alo, GreeksAgreeWithDifferences)
{
    struct { std::int32_t q; double S, K, D, F, sigma; } const cases[] = {
        {k::PUT, 100, 100, 0.95, 102, 0.25}, {k::PUT, 100, 110, 0.9, 100, 0.5},
        {k::CALL, 100, 100, 0.97, 98, 0.3}, {k::CALL, 100, 90, 0.9, 95, 0.6},
        {k::PUT, 100, 95, 0.99, 100.5, 0.1}, {k::CALL, 100, 100, 0.97, 104, 0.3}};
    for (const auto &c : cases) {
        k::Greeks g;
        k::_alo_greeks(c.q, c.S, c.K, c.D, c.F, c.sigma, &g);
        EXPECT_EQ(g.price, k::_alo_price(c.q, c.S, c.K, c.D, c.F, c.sigma));
        const double ratio = c.F / c.S;
        const auto spot = [&](double x) { return k::_alo_price(c.q, x, c.K, c.D, ratio * x, c.sigma); };
        const auto vol = [&](double x) { return k::_alo_price(c.q, c.S, c.K, c.D, c.F, x); };
        const auto disc = [&](double x) { return k::_alo_price(c.q, c.S, c.K, x, c.F, c.sigma); };
        const auto fwd = [&](double x) { return k::_alo_price(c.q, c.S, c.K, c.D, x, c.sigma); };
        const double tol = 1e-6 * g.price + 1e-9 * c.S;
        // Steps small enough for the O(h^4) error, large enough for the
        // solve's own tolerance.
        EXPECT_NEAR(g.delta, slope(spot, c.S, 0.005 * c.S), tol) << c.q << " " << c.K;
        EXPECT_NEAR(g.gamma, curvature(spot, c.S, 0.005 * c.S), 1e-5 * std::fabs(g.gamma) + 1e-7) << c.q << " " << c.K;
        EXPECT_NEAR(g.vega, slope(vol, c.sigma, 0.01 * c.sigma), tol) << c.q << " " << c.K;
        EXPECT_NEAR(g.dD, slope(disc, c.D, 0.0005 * c.D), tol) << c.q << " " << c.K;
        EXPECT_NEAR(g.dF, slope(fwd, c.F, 0.001 * c.F), tol) << c.q << " " << c.K;
    }
}

// Implied volatility reproduces sigma from the kernel's own prices and from
// the fine solve's, screens prices without time value (0.0) and out of reach
// (-1.0), and does not depend on where it starts.
TEST_F(Alo, ImpliedVolatility)
{
    for (std::int32_t q : {k::PUT, k::CALL})
        for (double T : {0.1, 1.0, 3.0})
            for (double K : {80.0, 100.0, 120.0})
                for (double vol : {0.15, 0.4, 0.8}) {
                    const Rated c{q, 100, K, T, 0.04, 0.02, vol};
                    k::Greeks g;
                    k::_alo_greeks(q, c.S, K, c.D(), c.F(), c.sigma(), &g);
                    // Vega per vol point of at least 0.01.
                    if (g.vega * std::sqrt(T) * 0.01 < 0.01)
                        continue;
                    const double own = k::_alo_implied_vol_c(q, c.price(), c.S, K, c.D(), c.F());
                    // _alo_price stops after its few sweeps, the search's solves at
                    // the tolerance: their prices differ by some 1e-9 relative.
                    EXPECT_NEAR(own / std::sqrt(T), vol, 1e-8) << q << " T=" << T << " K=" << K;
                    const double ref = k::_alo_implied_vol_c(q, c.reference(), c.S, K, c.D(), c.F());
                    EXPECT_NEAR(ref / std::sqrt(T), vol, 5e-6) << q << " T=" << T << " K=" << K;
                }
    EXPECT_EQ(k::_alo_implied_vol_c(k::PUT, 10.0, 100, 110, 0.95, 101), 0.0);
    EXPECT_EQ(k::_alo_implied_vol_c(k::CALL, 1e-12, 100, 110, 0.95, 101), 0.0);
    EXPECT_EQ(k::_alo_implied_vol_c(k::PUT, 120.0, 100, 110, 0.95, 101), -1.0);
    EXPECT_EQ(k::_alo_implied_vol_c(k::CALL, 100.0, 100, 110, 0.95, 101), -1.0);

    // Without BAW's start the search begins at 0.5 and lands on the same root.
    const double price = k::_alo_price(k::PUT, 100, 105, 0.95, 101, 0.3);
    const double with_start = k::_alo_implied_vol_c(k::PUT, price, 100, 105, 0.95, 101);
    k::brentq = nullptr;
    const double without = k::_alo_implied_vol_c(k::PUT, price, 100, 105, 0.95, 101);
    EXPECT_NEAR(with_start, 0.3, 1e-10);
    EXPECT_NEAR(without, with_start, 1e-9);
}

}  // namespace
