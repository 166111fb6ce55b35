"""fd_* ufuncs: finite-difference American prices with cash dividends against
a much finer solve of the same engine (itself checked against QuantLib's
finite-difference engine and the accurate engine), the schedule's
conventions, no-arbitrage properties, both exercise boundaries under negative
rates, implied volatilities, Greeks and the forward."""
import math
import threading

import numpy as np
import pytest

import reference as ref
from korvane import ufuncs as u

nan = math.nan

# The finer scheme the tests trust, in FdScheme's field order: 1000 and 2000
# nodes, 500 and 1000 steps, extrapolated (within some 1e-8 of a finer one).
REFERENCE = [1000, 500, 40, 8.0, 0.5, 2.0, 4, 1, 0]
# The default setting, and the finer one of dividend-free contracts with two
# boundaries (also for differences of the price).
DEFAULT = [120, 40, 6, 4.5, 0.75, 2.0, 2, 1, 0]
FINE = [400, 200, 6, 4.5, 0.75, 2.5, 2, 1, 0]


def contract(S, K, T, r, q, vol, times=(), amounts=()):
    """The forward form of a rate-form contract with cash dividends at
    `times` years: S, K, D, F, sigma and the ex-dates as fractions of T."""
    times, amounts = np.asarray(times, float), np.asarray(amounts, float)
    D = math.exp(-r * T)
    F = S * math.exp((r - q) * T) - float(np.sum(amounts * np.exp((r - q) * (T - times))))
    return S, K, D, F, vol * math.sqrt(T), times / T, amounts


def grid(n, seed):
    """Contracts across a desk's ranges with quarterly (or monthly) ex-dates
    from a random first one, at most 8, of 0.1%-3% of the spot, a quarter with
    an ex-date a day before expiry: 1 week to 5 years, strikes 0.7-1.3, vol
    0.1-0.8, rates -1% to 10%, yields -2% to 5%.  Schedules NaN-padded to 8."""
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(n):
        T = math.exp(rng.uniform(math.log(7 / 365), math.log(5.0)))
        K = 100 * math.exp(rng.uniform(math.log(0.7), math.log(1.3)))
        vol, r, q = rng.uniform(0.1, 0.8), rng.uniform(-0.01, 0.10), rng.uniform(-0.02, 0.05)
        period = 0.25 if rng.uniform() < 0.7 else 1 / 12
        times = list(np.arange(rng.uniform(0, period), T, period)[:8])
        if rng.uniform() < 0.25:
            if times and times[-1] > T - period:
                times[-1] = T - 1 / 365
            elif len(times) < 8:
                times.append(T - 1 / 365)
        amounts = 100 * rng.uniform(0.001, 0.03, len(times))
        S, K, D, F, sigma, t, d = contract(100.0, K, T, r, q, vol, times, amounts)
        pad = np.full(8 - len(t), nan)
        rows.append((S, K, D, F, sigma, rng.uniform() < 0.5, np.r_[t, pad], np.r_[d, pad], T))
    cols = list(zip(*rows))
    return [np.array(c) for c in cols]


S, K, D, F, SIGMA, CALL, TIMES, AMOUNTS, T = grid(48, 3)


def reference(*args):
    return u._fd_price_scheme(*args[:6], REFERENCE, *args[6:])


def rel_err(got, want, S=100.0):
    """Error in units of the target: 1e-5 relative, or 1e-7 S."""
    return np.abs(got - want) / np.maximum(1e-5 * np.abs(want), 1e-7 * S)


def test_reference_converged_and_against_alo_without_dividends():
    none = np.full(8, nan)
    args = (S[:16], K[:16], D[:16], F[:16], SIGMA[:16], CALL[:16])
    alo = u.alo_price(*args)
    fine = reference(*args, none, none)
    assert np.all(np.abs(fine - alo) <= np.maximum(2e-7 * alo, 1e-9 * S[:16]))
    finer = u._fd_price_scheme(*args, [1000, 1000, 40, 8.0, 0.5, 2.0, 4, 1, 0], TIMES[:16], AMOUNTS[:16])
    assert np.all(rel_err(finer, reference(*args, TIMES[:16], AMOUNTS[:16])) < 0.05)


def quantlib_prices(cases, exercise="american", tGrid=3200, xGrid=1600):
    """QuantLib's FdBlackScholesVanillaEngine (spot model) with the dividends
    on whole days; cases are (call, S, K, days, r, q, vol, dividend days, amounts)."""
    ql = pytest.importorskip("QuantLib")
    today = ql.Date(8, 12, 2026)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    out = []
    for call, s, k, days, r, q, vol, div_days, amounts in cases:
        rts = ql.YieldTermStructureHandle(ql.FlatForward(today, r, dc))
        dts = ql.YieldTermStructureHandle(ql.FlatForward(today, q, dc))
        vts = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), vol, dc))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(s)), dts, rts, vts)
        dividends = ql.DividendVector([today + d for d in div_days], list(amounts))
        engine = ql.FdBlackScholesVanillaEngine(process, dividends, tGrid, xGrid, 2)
        kind = ql.Option.Call if call else ql.Option.Put
        ex = (ql.AmericanExercise(today, today + days) if exercise == "american"
              else ql.EuropeanExercise(today + days))
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, k), ex)
        option.setPricingEngine(engine)
        out.append(option.NPV())
    return np.array(out)


QL_CASES = [(False, 100.0, 105.0, 900, 0.04, 0.01, 0.25, [10, 100, 190, 280, 370, 460, 550, 640], [1.5] * 8),
            (True, 100.0, 110.0, 365, 0.04, 0.01, 0.35, [10, 100, 190, 280], [1.5] * 4),
            (True, 100.0, 90.0, 30, 0.04, 0.01, 0.5, [29], [2.0]),
            (False, 100.0, 100.0, 120, 0.04, 0.01, 0.2, [10, 100], [1.5, 1.5])]


def ql_contracts():
    rows = []
    for call, s, k, days, r, q, vol, dd, a in QL_CASES:
        *head, t, amounts = contract(s, k, days / 365, r, q, vol, np.array(dd) / 365, a)
        pad = np.full(8 - len(t), nan)
        rows.append((*head, np.r_[t, pad], np.r_[amounts, pad]))
    return [np.array(c) for c in zip(*rows)], np.array([c[0] for c in QL_CASES])


def test_reference_against_quantlib_and_american_above_european():
    american = quantlib_prices(QL_CASES)
    (s, k, d, f, sigma, t, a), call = ql_contracts()
    mine = reference(s, k, d, f, sigma, call, t, a)
    # QuantLib's explicit exercise step is first order in time: at 3200 steps
    # it is within some 1e-5 of its limit
    assert np.all(np.abs(mine - american) <= 3e-5 * american)
    european = quantlib_prices(QL_CASES, "european", 800, 800)
    fd = u.fd_price(s, k, d, f, sigma, call, 1.0, t, a)
    assert np.all(fd >= european - 1e-4 * european)
    assert np.any(fd > european * (1 + 1e-3))  # some are exercised early


def test_prices_against_the_reference_on_a_wide_grid():
    args = (S, K, D, F, SIGMA, CALL, TIMES, AMOUNTS)
    prices = u.fd_price(*args[:6], 1.0, *args[6:])
    err = rel_err(prices, reference(*args), S)
    # the engine's accuracy on this grid: mostly well inside 1e-5 relative
    # (median 0.02, worst 0.9 of it); on other grids the worst reach 2.5 times it
    assert np.median(err) < 0.1 and np.quantile(err, 0.9) < 1.0 and err.max() < 1.5, err.max()
    # the batch solves several contracts in lockstep: each gets its own
    # solve's doubles, in any order and any company
    assert ref.bits(prices) == ref.bits([u.fd_price(*(x[i] for x in args[:6]), 1.0, *(x[i] for x in args[6:]))
                                         for i in range(len(S))])
    order = np.random.default_rng(1).permutation(len(S))
    assert ref.bits(u.fd_price(*(x[order] for x in args[:6]), 1.0, *(x[order] for x in args[6:]))) == \
        ref.bits(prices[order])


@pytest.mark.parametrize("times, amounts", [
    ([], []), ([nan], [nan]), ([0.5], [nan]), ([nan, nan], [1.0, 2.0]),   # padding
    ([1.0], [5.0]), ([1.5], [5.0]), ([0.0], [5.0]), ([0.5], [0.0]),        # at or after expiry, today, zero
])
def test_no_dividend_is_the_accurate_engine(times, amounts):
    args = (S[:12], K[:12], D[:12], F[:12], SIGMA[:12], CALL[:12])
    t, a = np.array(times, float), np.array(amounts, float)
    assert ref.bits(u.fd_price(*args, 1.0, t, a)) == ref.bits(u.alo_price(*args))
    g = u.fd_greeks(*args, T[:12], 1.0, t, a)
    assert ref.bits(g) == ref.bits(u.alo_greeks(*args, T[:12]))
    prices = u.alo_price(*args)
    assert ref.bits(u.fd_implied_vol(prices, *args[:4], CALL[:12], 1.0, t, a)) == \
        ref.bits(u.alo_implied_vol(prices, *args[:4], CALL[:12]))


def test_schedule_conventions():
    s, k, d, f, sigma = 100.0, 95.0, 0.97, 101.0, 0.3
    one = u.fd_price(s, k, d, f, sigma, True, 1.0, [0.5], [2.0])
    # order, padding and ignored entries do not matter; equal ex-dates add up
    assert u.fd_price(s, k, d, f, sigma, True, 1.0, [nan, 1.0, 0.5, 0.0], [1.0, 3.0, 2.0, 4.0]) == one
    assert u.fd_price(s, k, d, f, sigma, True, 1.0, [0.5, 0.5], [1.5, 0.5]) == one
    assert u.fd_price(s, k, d, f, sigma, True, 1.0, [0.7, 0.3], [1.0, 2.0]) == \
        u.fd_price(s, k, d, f, sigma, True, 1.0, [0.3, 0.7], [2.0, 1.0])
    # one schedule broadcast over many contracts, and m = 0
    strikes = np.linspace(80.0, 120.0, 5)
    batch = u.fd_price(s, strikes, d, f, sigma, True, 1.0, [0.5], [2.0])
    assert ref.bits(batch) == ref.bits([u.fd_price(s, x, d, f, sigma, True, 1.0, [0.5], [2.0]) for x in strikes])
    assert u.fd_price(s, strikes, d, f, sigma, True, 1.0, np.empty(0), np.empty(0)).shape == (5,)


@pytest.mark.parametrize("times, amounts", [([-0.1], [1.0]), ([0.5], [-1.0]), ([math.inf], [1.0]),
                                            ([0.5], [math.inf]), ([-math.inf, nan], [1.0, 1.0]),
                                            (np.linspace(0.01, 0.99, 65), np.full(65, 0.01))])  # 64 at most
def test_bad_schedules_give_nan(times, amounts):
    s, k, d, f, sigma = 100.0, 100.0, 0.97, 101.0, 0.3
    assert math.isnan(u.fd_price(s, k, d, f, sigma, True, 1.0, times, amounts))
    assert all(math.isnan(v) for v in u.fd_greeks(s, k, d, f, sigma, True, 1.0, 1.0, times, amounts))
    assert math.isnan(u.fd_implied_vol(8.0, s, k, d, f, True, 1.0, times, amounts))
    assert not math.isnan(u.fd_price(s, k, d, f, sigma, True, 1.0, np.linspace(0.01, 0.99, 64), np.full(64, 0.01)))


def test_limits():
    s, k, d, f = 100.0, 100.0, math.exp(-0.05), 100.0 * math.exp(0.03) - 2.0 * math.exp(0.015)
    for i in range(5):
        args = [s, k, d, f, 0.2]
        args[i] = nan
        assert math.isnan(u.fd_price(*args, False, 1.0, [0.5], [2.0]))
    assert math.isnan(u.fd_price(s, k, d, f, math.inf, False, 1.0, [0.5], [2.0]))
    assert math.isnan(u.fd_price(s, k, d, -1.0, 0.2, False, 1.0, [0.5], [2.0]))  # no yield fits
    # sigma <= 0: the best exercise on the certain path.  A call whose spot
    # drops by 30 at mid-life: exercised just before, worth
    # e^{-r/2} (S e^{(r-q)/2} - K) with q read back from the forward
    r, q = 0.05, 0.0
    f = s * math.exp(r - q) - 30.0 * math.exp((r - q) * 0.5)
    want = math.exp(-r * 0.5) * (s * math.exp((r - q) * 0.5) - 90.0)
    for sigma in (0.0, -1.0):
        assert u.fd_price(s, 90.0, math.exp(-r), f, sigma, True, 1.0, [0.5], [30.0]) == pytest.approx(want, rel=1e-12)


def test_call_exercised_just_before_a_large_dividend():
    # A dividend of 60 a tenth into the life: holding through the drop leaves
    # an option worth little, so the call is exercised just before, and is
    # worth about a European call that expires then
    s, k, r, q, vol = 100.0, 80.0, 0.05, 0.0, 0.3
    s_, k_, d, f, sigma, t, a = contract(s, k, 1.0, r, q, vol, [0.1], [60.0])
    american = u.fd_price(s, k, d, f, sigma, True, 1.0, t, a)
    ex_date = u.european_price(s, k, math.exp(-0.1 * r), s * math.exp(0.1 * (r - q)), vol * math.sqrt(0.1), True)
    without = u.fd_price(s, k, d, s * math.exp(r - q), sigma, True, 1.0, [], [])  # no drop: much more
    assert ex_date * (1 - 1e-5) <= american < ex_date + 0.05 and without > american + 3
    # deep in the money, a yield and no rate, and the dividend a moment away:
    # exercised today, at the exercise value exactly
    args = contract(200.0, 50.0, 1.0, 0.0, 0.05, 0.3, [0.001], [150.0])
    assert u.fd_price(*args[:5], True, 1.0, *args[5:]) == 150.0


@pytest.mark.parametrize("call", [True, False])
def test_no_arbitrage_and_monotonicity(call):
    strikes = np.linspace(60.0, 140.0, 41)
    for T_, r, q, vol, times, amounts in [(0.5, 0.05, 0.0, 0.3, [0.1, 0.35], [1.0, 1.0]),
                                          (3.0, 0.02, 0.01, 0.5, [0.2, 1.2, 2.2], [2.0, 2.0, 2.0]),
                                          (0.05, -0.005, 0.02, 0.2, [0.05 - 1 / 365], [1.5])]:
        s, _, d, f, sigma, t, a = contract(100.0, 100.0, T_, r, q, vol, times, amounts)
        v = u.fd_price(s, strikes, d, f, sigma, call, 1.0, t, a)
        exercise = np.maximum(s - strikes if call else strikes - s, 0.0)
        assert (v >= exercise).all() and (v >= 0).all()
        steps = np.diff(v) * (1 if call else -1)  # in strike: down for calls, up for puts
        assert (steps <= 0).all() and (steps[v[1:] > 1e-8] < 0).all()
        assert (u.fd_price(s, strikes, d, f, sigma * 1.01, call, 1.0, t, a) >= v).all()  # in vol
        # in the dividends, the spot, rates and vol held
        sizes = [u.fd_price(s, strikes, d, contract(100.0, 100.0, T_, r, q, vol, times, np.array(amounts) * m)[3],
                            sigma, call, 1.0, t, np.array(amounts) * m) for m in (0.5, 1.0, 2.0)]
        steps = np.diff(sizes, axis=0) * (1 if call else -1)
        assert (steps <= 1e-12).all()


def test_two_boundaries_under_negative_rates():
    # A put with q < r < 0 is exercised only inside a band of spots: the
    # value on both sides of the band above the exercise value, the accurate
    # engine's the same
    r, q, vol, T_ = -0.02, -0.05, 0.15, 2.0
    spots = np.array([30.0, 60.0, 70.0, 100.0])  # the band is about 47 to 78
    D, sigma = math.exp(-r * T_), vol * math.sqrt(T_)
    F = spots * math.exp((r - q) * T_)
    v = u.fd_price(spots, 100.0, D, F, sigma, False, 1.0, [], [])
    assert ref.bits(u.alo_price(spots, 100.0, D, F, sigma, False)) == ref.bits(v)
    fine = u._fd_price_scheme(spots, 100.0, D, F, sigma, False, FINE, [], [])
    want = u._fd_price_scheme(spots, 100.0, D, F, sigma, False, REFERENCE, [], [])
    assert (want != v)[[0, 3]].all()  # the reference solved on its own grid (60 and 70 are exercised)
    # without dividends the finer scheme, to the accurate engine's tolerance
    assert ref.bits(v) == ref.bits(fine) and np.all(np.abs(v - want) <= np.maximum(2e-7 * want, 1e-9 * spots))
    exercise = 100.0 - spots
    assert v[0] > exercise[0] and v[1] == exercise[1] and v[3] > exercise[3]
    # its Greeks and implied volatility on the same scheme
    g = u.fd_greeks(spots, 100.0, D, F, sigma, False, T_, 1.0, [], [])
    assert ref.bits(g[0]) == ref.bits(v)
    h = 0.01
    up, down = (u.fd_price(spots + e, 100.0, D, F * (spots + e) / spots, sigma, False, 1.0, [], []) for e in (h, -h))
    live = v > exercise
    assert np.allclose(g[1][live], ((up - down) / (2 * h))[live], rtol=1e-3, atol=1e-5)
    vols = u.fd_implied_vol(v, spots, 100.0, D, F, False, 1.0, [], [])
    assert np.allclose(vols[live], sigma, rtol=1e-7) and vols[1] == 0.0
    # the mirrored call (r < q < 0), and with dividends
    Fc = spots * math.exp((q - r) * T_)
    call = u.fd_price(spots, 100.0, math.exp(-q * T_), Fc, sigma, True, 1.0, [], [])
    assert np.all(rel_err(call, u._fd_price_scheme(spots, 100.0, math.exp(-q * T_), Fc, sigma, True,
                                                     REFERENCE, [], [])) < 0.5)
    # deep in the money it is worth more than the spot (up to D F): its volatility still found
    deep = u.alo_price(100.0, 30.0, math.exp(-q * T_), 100 * math.exp((q - r) * T_), 5.0, True)
    assert deep > 100 and u.fd_implied_vol(deep, 100.0, 30.0, math.exp(-q * T_), 100 * math.exp((q - r) * T_), True,
                                           1.0, [], []) == pytest.approx(5.0, rel=1e-9)
    s, k, d, f, sig, t, a = contract(100.0, 100.0, T_, r, q, vol, [0.5, 1.5], [1.0, 1.0])
    assert rel_err(u.fd_price(s, k, d, f, sig, False, 1.0, t, a), reference(s, k, d, f, sig, False, t, a)) < 1.0


def vega_per_point(i):
    return u.fd_greeks(S[i], K[i], D[i], F[i], SIGMA[i], CALL[i], T[i], 1.0, TIMES[i], AMOUNTS[i])[3] * math.sqrt(T[i]) / 100


def test_implied_vol_round_trip_and_conventions():
    args = (S, K, D, F, SIGMA, CALL, TIMES, AMOUNTS)
    prices = u.fd_price(*args[:6], 1.0, *args[6:])
    vols = u.fd_implied_vol(prices, S, K, D, F, CALL, 1.0, TIMES, AMOUNTS)
    quotable = np.array([vega_per_point(i) >= 0.01 for i in range(len(S))])
    assert quotable.sum() > 30
    assert np.all(np.abs(vols - SIGMA)[quotable] <= 1e-7 * SIGMA[quotable])
    s, k, d, f, sigma, t, a = contract(100.0, 100.0, 1.0, 0.05, 0.0, 0.3, [0.5], [2.0])
    assert u.fd_implied_vol(0.0, s, k, d, f, True, 1.0, t, a) == 0.0  # no time value
    assert u.fd_implied_vol(20.0, s, 120.0, d, f, False, 1.0, t, a) == 0.0
    assert u.fd_implied_vol(20.0 + 1e-11, s, 120.0, d, f, False, 1.0, t, a) == 0.0
    assert math.isnan(u.fd_implied_vol(100.5, s, k, d, f, True, 1.0, t, a))  # above the spot
    assert math.isnan(u.fd_implied_vol(nan, s, k, d, f, True, 1.0, t, a))
    assert math.isnan(u.fd_implied_vol(5.0, s, k, d, f, True, 1.0, [-1.0], [1.0]))


def richardson(f, h):
    d1, d2 = (f(h) - f(-h)) / (2 * h), (f(h / 2) - f(-h / 2)) / h
    return (4 * d2 - d1) / 3


@pytest.mark.parametrize("i", range(0, 48, 6))
def test_greeks_against_differences_of_the_price(i):
    T_, times, amounts = T[i], TIMES[i] * T[i], AMOUNTS[i]
    r, q = -math.log(D[i]) / T_, None
    price0 = u.fd_price(S[i], K[i], D[i], F[i], SIGMA[i], CALL[i], 1.0, TIMES[i], AMOUNTS[i])
    # rate form of this contract: q from the forward, dividends held in cash and dates
    ok = ~np.isnan(times)
    b = math.log((F[i] + np.sum(amounts[ok] * np.exp(0 * times[ok]))) / S[i]) / T_  # first guess
    for _ in range(60):  # the carry that reproduces F with the dividends
        Fb = S[i] * math.exp(b * T_) - np.sum(amounts[ok] * np.exp(b * (T_ - times[ok])))
        dF = S[i] * T_ * math.exp(b * T_) - np.sum(amounts[ok] * (T_ - times[ok]) * np.exp(b * (T_ - times[ok])))
        b -= (Fb - F[i]) / dF
    q = r - b
    vol = SIGMA[i] / math.sqrt(T_)

    def price(S_=S[i], r_=r, q_=q, vol_=vol, shift=0.0, scheme=FINE):
        s, k, d, f, sigma, t, a = contract(S_, K[i], T_ - shift, r_, q_, vol_, times[ok] - shift, amounts[ok])
        return u._fd_price_scheme(s, k, d, f, sigma, CALL[i], scheme, t, a)

    # The default scheme's price is smooth in the inputs only to its own
    # error (its nodes move with them): the differences are those of a finer
    # scheme's prices.
    assert price(scheme=DEFAULT) == pytest.approx(price0, rel=1e-12)
    g = u.fd_greeks(S[i], K[i], D[i], F[i], SIGMA[i], CALL[i], T_, 1.0, TIMES[i], AMOUNTS[i])
    exercise = max(S[i] - K[i] if CALL[i] else K[i] - S[i], 0.0)
    if g[0] <= exercise + 1e-6 or vega_per_point(i) < 1e-3:
        pytest.skip("exercised, or next to no time value: the price has a kink at the spot")
    shift = min(2e-3 * T_, 0.2 * np.min(times[ok], initial=T_))
    want = {"delta": richardson(lambda e: price(S_=S[i] + e), 0.5),
            "gamma": richardson(lambda e: (price(S_=S[i] + e + 0.25) - price(S_=S[i] + e - 0.25)) / 0.5, 0.5),
            "vega": richardson(lambda e: price(vol_=vol + e), 2e-3) / math.sqrt(T_),
            "theta": richardson(lambda e: price(shift=e), shift),
            "rho": richardson(lambda e: price(r_=r + e), 2e-3),
            "psi": richardson(lambda e: price(q_=q + e), 2e-3)}
    for j, name in enumerate(("delta", "gamma", "vega", "theta", "rho", "psi"), start=1):
        # within the finer scheme's own error (a few 1e-3 for gamma and vega
        # where the spot is near a kink)
        assert g[j] == pytest.approx(want[name], rel=5e-3, abs=1e-5 * S[i] * (1 if name != "gamma" else 0.01)), name


def test_forward_of_a_chain_with_dividends():
    s, _, d, f, sigma, t, a = contract(100.0, 100.0, 0.5, 0.04, 0.01, 0.3, [0.2], [1.5])
    strikes = np.array([94.0, 97.0, 100.0, 103.0, 106.0])
    calls = u.fd_price(s, strikes, d, f, sigma, True, 1.0, t, a)
    puts = u.fd_price(s, strikes, d, f, sigma, False, 1.0, t, a)
    got = u.fd_forward(calls, puts, strikes, s, d, 0.05, 1.0, t, a)
    assert got == pytest.approx(f, rel=1e-5)
    # one chain per row, the schedule broadcast
    both = u.fd_forward(np.stack([calls, calls]), np.stack([puts, puts]), strikes, s, d, 0.05, 1.0, t, a)
    assert ref.bits(both) == ref.bits([got, got])
    assert math.isnan(u.fd_forward(calls * nan, puts, strikes, s, d, 0.05, 1.0, t, a))


def test_same_doubles_from_two_threads():
    args = (S, K, D, F, SIGMA, CALL, np.ones(48), TIMES, AMOUNTS)
    one = u.fd_price(*args)
    halves = [None, None]

    def run(k):
        sl = slice(0, 24) if k == 0 else slice(24, 48)
        halves[k] = u.fd_price(*(a[sl] for a in args))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert ref.bits(np.concatenate(halves)) == ref.bits(one)
    assert ref.bits([u.fd_price(*(a[i] for a in args)) for i in range(0, 48, 7)]) == ref.bits(one[::7])
