"""method="alo": the accurate American price against QuantLib's high-precision
fixed-point engine, its no-arbitrage properties and limits, its implied
volatility and Greeks, and the same doubles through every container."""
import math

import numpy as np
import pytest

import korvane
import reference as ref
from korvane import bsm

nan = math.nan


def grid(n=400, seed=29):
    """Rate-form contracts across a desk's ranges: 1 week to 5 years,
    strikes 0.8-1.2 (and wider), vol 0.1-0.8, rates 1-10%, yields 0-4%."""
    rng = np.random.default_rng(seed)
    T = np.exp(rng.uniform(np.log(7 / 365), np.log(5.0), n))
    K = 100 * np.exp(rng.uniform(np.log(0.7), np.log(1.3), n))
    vol = rng.uniform(0.1, 0.8, n)
    r = rng.uniform(0.01, 0.10, n)
    q = rng.uniform(0.0, 0.04, n)
    flag = np.where(rng.uniform(size=n) < 0.5, "c", "p")
    return np.full(n, 100.0), K, T, r, q, vol, flag


S, K, T, R, Q, VOL, FLAG = grid()


def quantlib_prices(S, K, T, r, q, vol, flag, scheme="highPrecisionScheme"):
    ql = pytest.importorskip("QuantLib")
    today = ql.Date(8, 12, 2026)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot, rate, div, sig = (ql.SimpleQuote(0.0) for _ in range(4))
    rts = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(rate), dc))
    dts = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(div), dc))
    vts = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(sig), dc))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(spot), dts, rts, vts)
    engine = ql.QdFpAmericanEngine(process, getattr(ql.QdFpAmericanEngine, scheme)())
    out = []
    for s, k, t, rr, qq, v, f in zip(S, K, T, r, q, vol, flag):
        # a whole number of days, and the rates read back over that span
        days = max(1, round(t * 365))
        t_ql = days / 365
        spot.setValue(s), rate.setValue(rr), div.setValue(qq), sig.setValue(v)
        kind = ql.Option.Call if f == "c" else ql.Option.Put
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, k), ql.AmericanExercise(today, today + days))
        option.setPricingEngine(engine)
        out.append((t_ql, option.NPV()))
    return np.array(out).T


def test_prices_against_quantlib_high_precision():
    T_ql, want = quantlib_prices(S, K, T, R, Q, VOL, FLAG)
    got = bsm.price(S, K, T_ql, R, Q, VOL, FLAG, method="alo")
    err = np.abs(got - want)
    tol = np.maximum(2e-7 * want, 1e-9 * S)
    assert (err <= 5 * tol).all(), np.max(err / tol)  # QuantLib's own scheme is good to about 1e-7
    assert np.median(err / tol) < 0.5


def test_implied_vols_of_quantlib_prices():
    T_ql, want = quantlib_prices(S, K, T, R, Q, VOL, FLAG)
    vega = bsm.greeks(S, K, T_ql, R, Q, VOL, FLAG, method="alo").vega / 100  # per vol point
    vols = bsm.implied_vol(want, S, K, T_ql, R, Q, FLAG, method="alo")
    quotable = vega >= 0.01
    assert quotable.sum() > 300
    assert np.abs(vols - VOL)[quotable].max() < 5e-6 * 2  # within 0.001 vol points of QuantLib's value


@pytest.mark.parametrize("flag", ["c", "p"])
def test_no_arbitrage_bounds_and_monotonicity(flag):
    strikes = np.linspace(60.0, 140.0, 81)
    for T_, r, q, vol in [(0.25, 0.05, 0.02, 0.3), (2.0, 0.08, 0.0, 0.2), (5.0, 0.03, 0.04, 0.6)]:
        american = bsm.price(100.0, strikes, T_, r, q, vol, flag, method="alo")
        european = bsm.price(100.0, strikes, T_, r, q, vol, flag, method="european")
        exercise = np.maximum(100.0 - strikes if flag == "c" else strikes - 100.0, 0.0)
        assert (american >= european - 1e-12).all() and (american >= exercise).all()
        steps = np.diff(american)
        assert (steps < 0).all() if flag == "c" else (steps > 0).all()  # in strike
        up = bsm.price(100.0, strikes, T_, r, q, vol * 1.01, flag, method="alo")
        assert (up >= american).all()  # in volatility


def test_put_call_symmetry():
    # C(S, K, r, q) = P(K, S, q, r)  (McDonald & Schroder 1998)
    calls = bsm.price(S, K, T, R, Q, VOL, "c", method="alo")
    puts = bsm.price(K, S, T, Q, R, VOL, "p", method="alo")
    np.testing.assert_allclose(calls, puts, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("flag, r, q", [("p", 0.0, 0.03), ("p", -0.01, 0.02), ("p", -0.02, -0.01),
                                        ("c", 0.03, 0.0), ("c", 0.02, -0.01), ("c", -0.01, -0.02)])
def test_never_exercised_is_european(flag, r, q):
    # in forward form with D and F built in Python's own exp, and with each moved
    # by an ulp either way: the regime must not hang on a rate's rounding
    K = np.linspace(70.0, 130.0, 13)
    for bump in (-1, 0, 1):
        D = np.nextafter(math.exp(-1.5 * r), math.inf * bump) if bump else math.exp(-1.5 * r)
        F = 100.0 * math.exp(1.5 * (r - q))
        F = np.nextafter(F, math.inf * -bump) if bump else F
        args = (100.0, K, D, F, 0.3 * math.sqrt(1.5), flag)
        assert ref.bits(korvane.price(*args, method="alo")) == ref.bits(korvane.price(*args, method="european"))


def test_limits():
    # sigma <= 0 and deep in the exercise region: the exercise value; NaN in, NaN out
    assert korvane.price(100.0, 120.0, 0.95, 103.0, 0.0, "p", method="alo") == 20.0
    assert korvane.price(50.0, 120.0, 0.9, 51.0, 0.2, "p", method="alo") == 70.0
    for i in range(5):
        args = [100.0, 100.0, 0.96, 101.0, 0.2]
        args[i] = nan
        assert math.isnan(korvane.price(*args, "p", method="alo"))
        assert math.isnan(korvane.implied_vol(5.0, *args[:4], "c", method="alo")) or i == 4


def test_short_maturities_agree_with_baw():
    # Barone-Adesi-Whaley's error shrinks with the maturity: at each of 30, 7
    # and 1 days its largest gap to the accurate price is smaller, and below a
    # fifth of the largest early-exercise premium (it is near the boundary)
    gaps = []
    for days in (30, 7, 1):
        args = (100.0, np.linspace(85.0, 115.0, 31), days / 365, 0.05, 0.01, 0.3, "p")
        alo, baw, european = (bsm.price(*args, method=m) for m in ("alo", "baw", "european"))
        gaps.append(np.abs(alo - baw).max())
        assert gaps[-1] < 0.2 * (alo - european).max()
    assert gaps[0] > gaps[1] > gaps[2] and gaps[2] < 2e-3
    calls = (100.0, np.linspace(85.0, 115.0, 31), 7 / 365, 0.05, 0.01, 0.3, "c")  # q < r: hardly any premium
    assert np.abs(bsm.price(*calls, method="alo") - bsm.price(*calls, method="baw")).max() < 1e-12


def test_implied_vol_round_trip_and_conventions():
    prices = bsm.price(S, K, T, R, Q, VOL, FLAG, method="alo")
    vols = bsm.implied_vol(prices, S, K, T, R, Q, FLAG, method="alo")
    vega = bsm.greeks(S, K, T, R, Q, VOL, FLAG, method="alo").vega
    ok = vega > 1e-2
    # the price solves its boundary to a fixed number of sweeps, the inversion to
    # convergence: they agree to about 1e-7 of the price
    assert np.abs(vols - VOL)[ok].max() < 1e-6 and ok.sum() > 300
    D, F = bsm.to_forward_form(100.0, 1.0, 0.05, 0.02)
    assert korvane.implied_vol(0.0, 100.0, 100.0, D, F, "c", method="alo") == 0.0  # no time value
    assert korvane.implied_vol(20.0, 100.0, 120.0, D, F, "p", method="alo") == 0.0
    assert math.isnan(korvane.implied_vol(100.5, 100.0, 100.0, D, F, "c", method="alo"))  # above the spot
    assert math.isnan(korvane.implied_vol(nan, 100.0, 100.0, D, F, "c", method="alo"))


def test_greeks_against_differences_of_the_price():
    for i in range(0, 400, 23):
        args = [S[i], K[i], T[i], R[i], Q[i], VOL[i]]
        g = bsm.greeks(*args, FLAG[i], method="alo")
        if g.price <= max(100.0 - K[i] if FLAG[i] == "c" else K[i] - 100.0, 0.0) + 1e-6:
            continue  # at the exercise boundary the price has a kink
        for name, x, h in [("delta", 0, 0.5), ("vega", 5, 1e-3), ("rho", 3, 1e-3), ("psi", 4, 1e-3),
                           ("theta", 2, -1e-3 * T[i])]:
            def f(e, x=x):
                return bsm.price(*(a + e if j == x else a for j, a in enumerate(args)), FLAG[i], method="alo")
            want = ref.richardson(f, 0.0, h) * (-1 if name == "theta" else 1)
            assert getattr(g, name) == pytest.approx(want, rel=1e-5, abs=1e-6 * S[i]), (name, i)
        gamma = ref.richardson(lambda e: bsm.greeks(args[0] + e, *args[1:], FLAG[i], method="alo").delta, 0.0, 0.5)
        assert g.gamma == pytest.approx(gamma, rel=1e-5, abs=1e-7), ("gamma", i)


@pytest.mark.parametrize("S_, K_, T_, r, q, vol, flag, rel", [
    (100.0, 100.0, 1.0, 0.001, -0.05, 0.3, "p", 1e-5),  # near zero rate (rho crosses to it)
    (100.0, 95.0, 2.0, 0.08, -0.1, 0.15, "p", 1e-5),    # yield below -vol^2
    (100.0, 70.0, 1.0, 0.1, 0.4, 0.05, "p", 1e-5),    # yield far above the rate, small vol
    (100.0, 120.0, 5.0, -0.02, 0.03, 0.6, "c", 1e-5),   # negative rate call
    (100.0, 100.0, 8.0, 0.08, 0.01, 1.2, "c", 1e-5),    # large variance
    # two boundaries: the finite-difference scheme's vega holds its grid, which moves with sigma
    (100.0, 90.0, 1.0, -0.01, -0.03, 0.3, "p", 1e-4),
])
def test_greeks_against_differences_across_regimes(S_, K_, T_, r, q, vol, flag, rel):
    args = [S_, K_, T_, r, q, vol]
    g = bsm.greeks(*args, flag, method="alo")
    for name, x, h in [("delta", 0, 0.5), ("vega", 5, 1e-3 * vol), ("rho", 3, 1e-3), ("psi", 4, 1e-3)]:
        def f(e, x=x):
            return bsm.price(*(a + e if j == x else a for j, a in enumerate(args)), flag, method="alo")
        assert getattr(g, name) == pytest.approx(ref.richardson(f, 0.0, h), rel=rel, abs=1e-6 * S_), name


@pytest.mark.parametrize("workers", [2, -1])
def test_same_doubles_across_workers_and_containers(workers):
    pd = pytest.importorskip("pandas")
    D, F, sigma = bsm.to_forward_form(S, T, R, Q, VOL)
    one = korvane.price(S, K, D, F, sigma, FLAG, method="alo")
    assert ref.bits(korvane.price(S, K, D, F, sigma, FLAG, method="alo", workers=workers)) == ref.bits(one)
    series = korvane.price(*(pd.Series(a) for a in (S, K, D, F, sigma, FLAG)), method="alo", workers=workers)
    assert ref.bits(series) == ref.bits(one)
    vols = korvane.implied_vol(one, S, K, D, F, FLAG, method="alo")
    assert ref.bits(korvane.implied_vol(one, S, K, D, F, FLAG, method="alo", workers=workers)) == ref.bits(vols)
    da = pytest.importorskip("dask.array")
    lazy = korvane.price(da.from_array(S, chunks=100), K, D, F, sigma, FLAG, method="alo")
    assert ref.bits(lazy.compute()) == ref.bits(one)


@pytest.mark.parametrize("flag, r, q", [
    ("p", -0.01, -0.03),   # q < r < 0: exercise inside a band, two boundaries
    ("c", -0.03, -0.01),   # the mirrored call
])
def test_two_boundaries_are_the_finite_difference_engines(flag, r, q):
    args = (100.0, 100.0, 1.0, r, q, 0.3, flag)
    got = bsm.greeks(*args, method="alo")
    assert ref.bits(got) == ref.bits(bsm.greeks(*args, method="fd"))
    assert math.isclose(bsm.implied_vol(got.price, *args[:5], flag, method="alo"), 0.3, rel_tol=1e-9)


# Contracts outside the desk grid and their prices under a much finer scheme
# (48 nodes, 128 and 128 points, Newton to 1e-12), which QuantLib's QdFp
# high-precision scheme matches within 0.6 of the tolerance except where
# marked, and an independent Crank-Nicolson solve (benchmarks/fd_reference.py,
# three grids to 8000 steps, extrapolated) within its error bar: a zero rate,
# negative yields above and below minus the variance, a negative-rate call,
# the old form switch at r = 2 vol^2, a large variance, small vols.
REGIMES = [  # S, K, days, r, q, vol, flag, price
    (100, 100, 91, -0.00425, 0.0, 0.7, "c", 13.8305799662),   # the put's r = 0 > q
    (100, 100, 365, 0.0, -0.01, 0.25, "p", 9.5536709889),
    (100, 100, 365, 0.0, -0.05, 0.3, "p", 10.1794204329),
    (100, 120, 10950, 0.05, -0.04, 0.2, "p", 20.2981392456),  # QuantLib 6 tol below; FD 20.298149(9)
    (100, 100, 1825, 0.15, -0.08, 0.3, "p", 6.8743625435),    # QuantLib 8 tol above; FD 6.8743628(3)
    (100, 100, 365, 0.01, -0.2, 0.3, "p", 6.4607097755),      # q < -vol^2
    (100, 100, 365, -0.2, 0.01, 0.3, "c", 6.4607097755),      # the same, mirrored
    (100, 90, 730, 0.08, -0.1, 0.15, "p", 0.3748424361),
    (100, 100, 10950, 0.05, -0.02, 0.1581138, "p", 6.2936506072),  # QuantLib 6 tol below; FD 1 tol
    (100, 100, 10950, 0.05, -0.02, 0.1581139, "p", 6.2936581835),
    (100, 80, 365, 0.0, -0.03, 0.5, "p", 8.8066447721),
    (100, 110, 730, -0.01, 0.0, 0.4, "c", 18.0560511462),
    (30, 100, 10950, 0.0, -0.05, 0.863, "p", 97.9962335990),  # zero rate, variance 22
    (100, 70, 365, 0.1, 0.4, 0.02, "p", 0.0008851185),        # yield far above the rate, vol 2%
    (100, 100, 2900, 0.08, 0.0, 2.0, "c", 99.6509778637),     # vol 200% over 8 years
    (100, 97.33, 7, 0.0107, -0.0104, 0.9893, "p", 4.1423266714),  # the QD start far below its root
    (100, 100, 10950, -0.03, 0.0, 2.0, "c", 99.9999932677),   # the put's r = 0, a boundary 50 deep; FD
]


@pytest.mark.parametrize("S_, K_, days, r, q, vol, flag, want", REGIMES)
def test_regimes_against_a_finer_scheme(S_, K_, days, r, q, vol, flag, want):
    T_ = days / 365
    got = bsm.price(S_, K_, T_, r, q, vol, flag, method="alo")
    assert abs(got - want) <= max(2e-7 * want, 1e-9 * S_), (got, want)
    g = bsm.greeks(S_, K_, T_, r, q, vol, flag, method="alo")
    assert g.price == got and np.isfinite(list(g)).all()
    # the price inverts to its own volatility
    assert bsm.implied_vol(got, S_, K_, T_, r, q, flag, method="alo") == pytest.approx(vol, rel=1e-6)


def wide(n=400, seed=5):
    """Contracts across the ranges of benchmarks/bench_regimes.py: 1 day to
    30 years, K/S 0.3-3, vol 3%-200%, r -3% to 25%, q -5% to 15%."""
    rng = np.random.default_rng(seed)
    T_ = np.exp(rng.uniform(np.log(1 / 365), np.log(30), n))
    K_ = 100 * np.exp(rng.uniform(np.log(0.3), np.log(3), n))
    vol = np.exp(rng.uniform(np.log(0.03), np.log(2), n))
    r, q = rng.uniform(-0.03, 0.25, n), rng.uniform(-0.05, 0.15, n)
    r[::7] = 0.0  # the put's zero rate, and the call's
    q[3::7] = 0.0
    flag = np.where(rng.uniform(size=n) < 0.5, "c", "p")
    put_r, put_q = np.where(flag == "c", q, r), np.where(flag == "c", r, q)
    return np.full(n, 100.0), K_, T_, r, q, vol, flag, (put_q < put_r) & (put_r < 0)


def test_no_nan_and_round_trips_across_regimes():
    S_, K_, T_, r, q, vol, flag, two = wide()
    p = bsm.price(S_, K_, T_, r, q, vol, flag, method="alo")
    assert two.any() and not np.isnan(p).any()
    g = bsm.greeks(S_, K_, T_, r, q, vol, flag, method="alo")
    assert np.isfinite(g.vega).all()
    quotable = g.vega / 100 >= 0.01
    assert quotable.sum() > 100
    vols = bsm.implied_vol(p[quotable], S_[quotable], K_[quotable], T_[quotable], r[quotable], q[quotable],
                           flag[quotable], method="alo")
    assert np.abs(vols - vol[quotable]).max() * 100 < 5e-4  # vol points


def test_against_quantlib_across_regimes():
    S_, K_, T_, r, q, vol, flag, two = wide(120, seed=8)
    keep = ~two & (T_ < 10)  # QuantLib's fixed scheme errs at longer dates (see REGIMES)
    T_ql, want = quantlib_prices(S_[keep], K_[keep], T_[keep], r[keep], q[keep], vol[keep], flag[keep])
    got = bsm.price(S_[keep], K_[keep], T_ql, r[keep], q[keep], vol[keep], flag[keep], method="alo")
    ok = np.isfinite(want)
    err = np.abs(got - want)[ok] / np.maximum(2e-7 * want[ok], 1e-9 * 100)
    assert err.max() < 5 and np.median(err) < 0.1, (err.max(), np.median(err))


def test_continuous_and_increasing_in_vol_across_regimes():
    # a put's rate from below to above 2 vol^2 (where an older solver switched
    # form), a yield from above to below -vol^2: no jump, no fall
    for T_, r, q, K_ in [(30.0, 0.05, -0.02, 100.0), (5.0, 0.15, -0.08, 100.0), (1.0, 0.08, -0.03, 120.0)]:
        vols = np.linspace(0.05, 0.6, 221)
        p = bsm.price(100.0, K_, T_, r, q, vols, "p", method="alo")
        vega = bsm.greeks(100.0, K_, T_, r, q, vols, "p", method="alo").vega
        steps = np.diff(p)
        live = p[1:] > max(K_ - 100.0, 0.0) + 1e-12  # else exercised at once, or worthless
        assert (steps[live] > 0).all() and (steps >= 0).all()
        # each step within 2% of the trapezoid of its ends' vegas (where
        # both are above the exercise value: the price has a kink there)
        both = live & (p[:-1] > max(K_ - 100.0, 0.0) + 1e-12)
        trapezoid = 0.5 * (vega[1:] + vega[:-1]) * np.diff(vols)
        np.testing.assert_allclose(steps[both], trapezoid[both], rtol=2e-2, atol=1e-9)


@pytest.mark.parametrize("S_, K_, r, q, flag", [
    (100.0, 95.0, 0.05, 0.02, "c"),   # exercised at expiry
    (100.0, 105.0, 0.05, 0.02, "p"),  # at once
    (83.7, 100.0, 0.05, 0.06, "p"),   # r < q: at t* = ln(r K/(q S))/(r - q), 0.44
    (100.0, 100.0, 0.05, 0.05, "p"),  # r = q, at the money: the price moves like sigma
    (100.0, 120.0, 0.0, -0.03, "p"),  # zero rate
    (100.0, 80.0, 0.2, 0.05, "p"),
])
def test_zero_volatility_is_the_deterministic_american_value(S_, K_, r, q, flag):
    # the best of exercising at any t in [0, 1] on the forward path, and
    # sigma -> 0 tends to it continuously, the price rising all the way
    t = np.linspace(0.0, 1.0, 100001)
    if flag == "c":
        S_, K_, r, q = K_, S_, q, r
    best = max(0.0, (K_ * np.exp(-r * t) - S_ * np.exp(-q * t)).max())
    if flag == "c":
        S_, K_, r, q = K_, S_, q, r
    det = bsm.price(S_, K_, 1.0, r, q, 0.0, flag, method="alo")
    assert det == pytest.approx(best, rel=1e-9, abs=1e-12)
    vols = 10.0 ** np.arange(-18.0, -1.0, 0.25)
    p = bsm.price(S_, K_, 1.0, r, q, vols, flag, method="alo")
    assert (np.diff(p) >= -1e-13 * det).all()
    assert (np.abs(p - det) <= 0.5 * vols * max(S_, K_) + 1e-13 * det).all(), np.abs(p - det) / vols


def test_implied_vol_takes_few_solves():
    # the number of boundary solves, not time: on the desk grid about one
    # public solve per volatility (1.80 without the steering scheme, whose
    # solves cost a fraction of a price each)
    D, F, sigma = bsm.to_forward_form(S, T, R, Q, VOL)
    prices = korvane.price(S, K, D, F, sigma, FLAG, method="alo")
    u = korvane.ufuncs
    solves = u._alo_implied_vol_solves(prices, S, K, D, F, FLAG == "c")
    steers = u._alo_implied_vol_steers(prices, S, K, D, F, FLAG == "c")
    assert solves.mean() < 1.05 and solves.max() <= 2, (solves.mean(), solves.max())
    assert steers.mean() < 1.4 and steers.max() <= 4, (steers.mean(), steers.max())
    # Deep in-the-money puts with r > 2 vol^2, whose Black root lies far above
    # and whose trials creep down one side without the time value's power law
    # (eight or nine solves); the root on the premium's curvature (Newton's
    # iterate is 1.4e-9 off the last).
    K2 = np.array([112.15722954227587, 111.78975241692855, 115.70783004534535, 114.61792827332657])
    D2 = np.array([0.88398962408629367, 0.76907712008519102, 0.94079720647623977, 0.83167860423158113])
    F2 = np.array([111.73429991328338, 128.02927542130499, 106.12321337798501, 112.56354377943829])
    s2 = np.array([0.18006508972745688, 0.24986960599771488, 0.16559494021700083, 0.21146809970496486])
    p2 = korvane.price(100.0, K2, D2, F2, s2, "p", method="alo")
    solves = u._alo_implied_vol_solves(p2, 100.0, K2, D2, F2, False)
    steers = u._alo_implied_vol_steers(p2, 100.0, K2, D2, F2, False)
    assert solves.max() <= 3 and steers.max() <= 4, (solves, steers)
    assert korvane.implied_vol(p2, 100.0, K2, D2, F2, "p", method="alo") == pytest.approx(s2, rel=2e-10)


def test_any_scheme_at_the_public_size_gives_the_public_doubles():
    # The public scheme's kernels run every node's points in one pass with
    # the cardinal functions held; a scheme given at run time runs node by
    # node within larger capacities.  Where the public price is the coarse
    # scheme alone (decay rate below the finer scheme's blend), the two agree
    # to the last bit.
    D, F, sigma = bsm.to_forward_form(S, T, R, Q, VOL)

    def decay(a, b):
        mu = a - b - sigma**2 / 2
        return a + mu**2 / (2 * sigma**2)

    rT, qT = R * T, Q * T
    coarse = (decay(rT, qT) < 0.45) & (decay(qT, rT) < 0.45)
    public = korvane.price(S, K, D, F, sigma, FLAG, method="alo")[coarse]
    given = korvane.ufuncs._alo_scheme_price(S, K, D, F, sigma, FLAG == "c", 14, 12, 64, 16, 1e-4)[coarse]
    assert coarse.sum() > 250
    np.testing.assert_array_equal(given, public)


@pytest.mark.parametrize("flag", ["p", "c"])
@pytest.mark.parametrize("vol", [0.12, 0.45])
def test_a_strike_chain_shares_one_boundary(flag, vol):
    # one solve for a chain at one volatility, and the doubles of a fresh solve per strike;
    # a contract with other rates or vol between two of the chain's takes its own
    u = korvane.ufuncs
    strikes = np.linspace(60.0, 140.0, 41)
    D, F = bsm.to_forward_form(100.0, 1.5, 0.06, 0.02)
    is_call = flag == "c"
    chain = u.alo_price(100.0, strikes, D, F, vol, is_call)
    alone = [u.alo_price(100.0, k, D, F, vol, is_call) for k in strikes]
    assert ref.bits(chain) == ref.bits(np.array(alone))
    assert u._alo_price_solves(100.0, strikes, D, F, vol, is_call).tolist() == [1] + [0] * 40
    # interleaved with other vols, other rates and the other flag: every change solves anew
    sig = np.where(np.arange(41) % 3 == 1, vol * 1.01, vol)
    DD = np.where(np.arange(41) % 5 == 2, D * 0.999, D)
    flags = np.where(np.arange(41) % 7 == 3, not is_call, is_call)
    mixed = u.alo_price(100.0, strikes, DD, F, sig, flags)
    alone = [u.alo_price(100.0, *a) for a in zip(strikes, DD, [F] * 41, sig, flags)]
    assert ref.bits(mixed) == ref.bits(np.array(alone))
    solves = u._alo_price_solves(100.0, strikes, DD, F, sig, flags)
    changed = np.r_[True, (sig[1:] != sig[:-1]) | (DD[1:] != DD[:-1]) | (flags[1:] != flags[:-1])]
    assert solves.tolist() == changed.astype(float).tolist()
    # the Greeks' loop reuses the boundary with its partials, to the same doubles
    chain = u.alo_greeks(100.0, strikes, DD, F, sig, flags, 1.5)
    alone = [u.alo_greeks(100.0, *a, 1.5) for a in zip(strikes, DD, [F] * 41, sig, flags)]
    for j, values in enumerate(chain):
        assert ref.bits(values) == ref.bits(np.array([g[j] for g in alone]))
