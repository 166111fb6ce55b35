"""method="european": Black's price on the forward against high-precision values,
its implied volatility to machine precision, and its 0.0 / NaN conventions."""
import math

import numpy as np
import pytest

import korvane
import reference as ref

nan, inf = math.nan, math.inf


def black_mp(is_call, K, D, F, sigma):
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 50
    K, D, F, sigma = map(mp.mpf, (K, D, F, sigma))
    d1 = mp.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    if is_call:
        return float(D * (F * mp.ncdf(d1) - K * mp.ncdf(d2)))
    return float(D * (K * mp.ncdf(-d2) - F * mp.ncdf(-d1)))


CASES = [(k, s) for k in (1e-3, 0.05, 0.5, 0.9, 1.0, 1.1, 2.0, 20.0, 1e3) for s in (1e-4, 0.01, 0.2, 1.0, 5.0)]


@pytest.mark.parametrize("flag", ["c", "p"])
def test_prices_against_high_precision(flag):
    worst = 0.0
    for k, s in CASES:
        want = black_mp(flag == "c", 100.0 * k, 0.97, 100.0, s)
        got = korvane.price(100.0, 100.0 * k, 0.97, 100.0, s, flag, method="european")
        if want > 1e-300:
            worst = max(worst, abs(got / want - 1))
        else:
            assert got < 1e-290
    assert worst < 1e-13  # a few units in the last place, out of the money included


@pytest.mark.parametrize("flag", ["c", "p"])
def test_near_the_money_against_high_precision(flag):
    # Every region of the normalised Black function meets near the money.
    x = np.concatenate([[-1e-9, 0.0, 1e-9], np.sinh(np.linspace(-4.0, 4.0, 23)) / 20])
    sigmas = np.exp(np.linspace(np.log(1e-3), np.log(3.0), 12))
    checked = 0
    for K in 100.0 * np.exp(-x):
        got = korvane.price(100.0, K, 0.97, 100.0, sigmas, flag, method="european")
        want = np.array([black_mp(flag == "c", K, 0.97, 100.0, s) for s in sigmas])
        # Rounding ln(F/K) moves the price by vega sigma/price of its own
        # relative units: some 2 ulp each (benchmarks/bench_european.py).
        vega = 0.97 * 100.0 * np.exp(-0.5 * (np.log(100.0 / K) / sigmas + sigmas / 2) ** 2) / np.sqrt(2 * np.pi)
        sensitivity = np.divide(vega * sigmas, want, out=np.full_like(want, np.inf), where=want > 0)
        ok = sensitivity < 100
        assert np.all(np.abs(got - want)[ok] <= 1e-15 * (10 + 4 * sensitivity[ok]) * want[ok])
        checked += ok.sum()
    assert checked > 200


@pytest.mark.parametrize("flag", ["c", "p"])
def test_tiny_sigma_and_the_bound(flag):
    # sigma -> 0: the discounted intrinsic value, subnormal sigma too; a
    # price one ulp below the bound D F (call) or D K (put): a finite root,
    # rising towards the bound.
    for K in (50.0, 150.0):
        for s in (1e-310, 5e-324):
            got = korvane.price(100.0, K, 0.97, 100.0, s, flag, method="european")
            assert got == 0.97 * max(100.0 - K if flag == "c" else K - 100.0, 0.0)
    K = 100.0 * np.exp(np.linspace(-3.0, 3.0, 301))
    bound = 0.97 * (100.0 if flag == "c" else K)
    below = [np.nextafter(bound, 0.0)]
    for _ in range(3):
        below.append(np.nextafter(below[-1], 0.0))
    vols = [korvane.implied_vol(b, 100.0, K, 0.97, 100.0, flag, method="european") for b in below]
    assert np.isfinite(vols).all() and all((v >= w).all() for v, w in zip(vols, vols[1:]))


def test_round_trip_to_machine_precision():
    # Out of the money on both wings: the price is all time value.  (In the
    # money, rounding the price to the intrinsic value's ulp loses the time
    # value's digits before any solver sees them.)
    strikes = 100.0 * np.exp(np.linspace(np.log(1e-3), np.log(1e3), 61))
    sigmas = np.exp(np.linspace(np.log(1e-4), np.log(5.0), 41))[:, None]
    flags = np.where(strikes >= 100.0, "c", "p")
    prices = korvane.price(100.0, strikes, 0.95, 100.0, sigmas, flags, method="european")
    back = korvane.implied_vol(prices, 100.0, strikes, 0.95, 100.0, flags, method="european")
    ok = prices > 1e-290  # not underflowed
    rel = np.abs(back / sigmas - 1)[ok]
    assert rel.max() < 1e-13 and ok.sum() > 900


def test_round_trip_in_and_out_of_the_money():
    # Strikes 1e-3 to 1e3 times the forward, sigma 1e-4 to 5, both kinds, D 1
    # and 0.93: every region of the inversion.  A case is left out where the
    # double price does not determine sigma to 1e-14 (its ulp over vega
    # sigma) or lies at a bound; the rest come back to 1e-13.
    K = np.logspace(-3.0, 3.0, 97)[:, None, None, None]
    sigma = np.logspace(-4.0, np.log10(5.0), 73)[None, :, None, None]
    D = np.array([1.0, 0.93])[None, None, :, None]
    flag = np.array(["c", "p"])[None, None, None, :]
    K, sigma, D, flag = np.broadcast_arrays(K, sigma, D, flag)
    p = korvane.price(1.0, K, D, 1.0, sigma, flag, method="european")
    d1 = np.log(1.0 / K) / sigma + 0.5 * sigma
    vega = D * np.exp(-0.5 * d1 * d1) / math.sqrt(2 * math.pi)
    with np.errstate(divide="ignore"):  # vega underflows far from the money
        resolution = np.maximum(np.spacing(1.0) * p, 1e-320) / (vega * sigma)
    call = flag == "c"
    intrinsic = D * np.maximum(np.where(call, 1.0 - K, K - 1.0), 0.0)
    ok = (resolution < 1e-14) & (p > intrinsic) & (p < D * np.where(call, 1.0, K))
    back = korvane.implied_vol(p, 1.0, K, D, 1.0, flag, method="european")
    assert ok.sum() > 7000 and np.abs(back / sigma - 1)[ok].max() < 1e-13


@pytest.mark.parametrize("price, K, flag, want", [
    (nan, 100.0, "c", nan), (5.0, nan, "p", nan),
    (-1.0, 100.0, "c", nan),              # negative
    (0.95 * 10.0 - 1e-9, 90.0, "c", nan),  # below the discounted intrinsic value
    (0.95 * 10.0, 90.0, "c", 0.0),         # at it: no time value
    (0.0, 110.0, "c", 0.0),
    (95.0, 110.0, "c", nan),               # at the bound D F
    (96.0, 110.0, "c", nan),
    (0.95 * 110.0, 110.0, "p", nan),       # at the bound D K
])
def test_no_time_value_and_no_solution(price, K, flag, want):
    got = korvane.implied_vol(price, 100.0, K, 0.95, 100.0, flag, method="european")
    assert ref.same(got, want)


def test_nan_inputs_give_nan():
    for i in range(5):
        args = [100.0, 100.0, 0.96, 101.0, 0.2]
        args[i] = nan
        assert math.isnan(korvane.price(*args, "c", method="european"))
        assert all(math.isnan(v) for v in korvane.greeks(*args, "p", T=1.0, method="european")[1:])


def test_greeks_closed_form():
    S, K, D, F, sigma = 100.0, 95.0, 0.97, 102.0, 0.3
    g = korvane.greeks(S, K, D, F, sigma, "c", method="european")
    d1 = math.log(F / K) / sigma + sigma / 2
    pdf = math.exp(-d1 * d1 / 2) / math.sqrt(2 * math.pi)
    cdf = 0.5 * math.erfc(-d1 / math.sqrt(2))
    assert g.delta == pytest.approx(D * F / S * cdf, rel=1e-14)
    assert g.gamma == pytest.approx(D * (F / S) ** 2 * pdf / (F * sigma), rel=1e-13)
    assert g.vega == pytest.approx(D * F * pdf, rel=1e-14)


def test_agrees_with_quantlib():
    ql = pytest.importorskip("QuantLib")
    for k, s in CASES:
        if not 1e-3 <= s <= 3.0 or k in (1e-3, 1e3):
            continue
        for flag, kind in (("c", ql.Option.Call), ("p", ql.Option.Put)):
            price = korvane.price(100.0, 100.0 * k, 0.95, 100.0, s, flag, method="european")
            if price < 1e-8:
                continue
            want = ql.blackFormulaImpliedStdDev(kind, 100.0 * k, 100.0, price, 0.95, 0.0, s, 1e-14, 200)
            got = korvane.implied_vol(price, 100.0, 100.0 * k, 0.95, 100.0, flag, method="european")
            assert got == pytest.approx(want, rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("method", ["baw", "alo", "european"])
@pytest.mark.parametrize("price, flag, american, european", [
    (nan, "c", nan, nan),
    (-1.0, "p", 0.0, nan),    # below the exercise value: "no time value" for American quotes
    (101.0, "c", nan, nan),   # above the spot (and D F): no volatility reaches it
    (100.5, "p", nan, nan),   # above the strike (and D K)
])
def test_bad_prices_by_method(method, price, flag, american, european):
    got = korvane.implied_vol(price, 100.0, 100.0, 0.96, 101.0, flag, method=method)
    assert ref.same(got, european if method == "european" else american)
