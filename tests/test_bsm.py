"""korvane.bsm: the rate form over the same ufuncs, its conversions, its Greeks
in rate-form units, and maturities that are over."""
import math
import warnings

import numpy as np
import pytest

import korvane
import reference as ref
from korvane import bsm

METHODS = ["baw", "alo", "european"]
rng = np.random.default_rng(17)
N = 60
S = np.full(N, 100.0)
K = 100 * np.exp(rng.uniform(-0.3, 0.3, N))
T = np.exp(rng.uniform(np.log(0.02), np.log(5.0), N))
r = rng.uniform(-0.01, 0.1, N)
q = rng.uniform(0.0, 0.06, N)
vol = rng.uniform(0.05, 0.8, N)
FLAG = np.where(rng.uniform(size=N) < 0.5, "c", "p")


@pytest.mark.parametrize("method", METHODS)
def test_rate_form_is_the_forward_form_on_converted_inputs(method):
    D, F, sigma = bsm.to_forward_form(S, T, r, q, vol)
    prices = bsm.price(S, K, T, r, q, vol, FLAG, method=method)
    assert ref.bits(prices) == ref.bits(korvane.price(S, K, D, F, sigma, FLAG, method=method))
    vols = bsm.implied_vol(prices, S, K, T, r, q, FLAG, method=method)
    assert ref.bits(vols) == ref.bits(korvane.implied_vol(prices, S, K, D, F, FLAG, method=method) / np.sqrt(T))
    g, h = bsm.greeks(S, K, T, r, q, vol, FLAG, method=method), korvane.greeks(S, K, D, F, sigma, FLAG, T=T,
                                                                                  method=method)
    assert ref.bits(g.vega) == ref.bits(h.vega * np.sqrt(T))
    assert all(ref.bits(a) == ref.bits(b) for a, b in zip(g._replace(vega=0), h._replace(vega=0)))
    # the round trip price -> vol -> price
    ok = vols > 0
    assert np.allclose(vols[ok], vol[ok], rtol=1e-7) and ok.sum() > N // 2


def test_conversions_round_trip():
    D, F, sigma = bsm.to_forward_form(S, T, r, q, vol)
    back = bsm.from_forward_form(S, T, D, F, sigma)
    for got, want in zip(back, (r, q, vol)):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)
    assert ref.bits(bsm.to_forward_form(S, T, r, q)) == ref.bits((D, F))
    np.testing.assert_allclose(bsm.implied_yield(F, S, T, r), q, rtol=1e-12, atol=1e-14)
    assert np.isnan(bsm.from_forward_form(100.0, [0.0, -1.0], 0.99, 101.0, 0.2)).all()
    assert np.isnan(bsm.implied_yield(101.0, 100.0, 0.0, 0.03))


def rate_price(method, x, i, flag):
    args = [S[i], K[i], T[i], r[i], q[i], vol[i]]
    return lambda h: bsm.price(*(a + h if j == x else a for j, a in enumerate(args)), flag, method=method)


@pytest.mark.parametrize("method", METHODS)
def test_greeks_are_derivatives_of_rate_form_prices(method):
    checked = 0
    for i in range(0, N, 3):
        g = bsm.greeks(S[i], K[i], T[i], r[i], q[i], vol[i], FLAG[i], method=method)
        # S by 1e-2 S, T by 1e-3 T, r and q by 1e-3, vol by 1e-3: far from the boundary's kink
        for name, x, h in [("delta", 0, 1.0), ("vega", 5, 1e-3), ("rho", 3, 1e-3), ("psi", 4, 1e-3)]:
            want = ref.richardson(rate_price(method, x, i, FLAG[i]), 0.0, h)
            assert getattr(g, name) == pytest.approx(want, rel=2e-5, abs=2e-6 * S[i]), (name, i)
        theta = -ref.richardson(rate_price(method, 2, i, FLAG[i]), 0.0, 1e-3 * T[i])
        assert g.theta == pytest.approx(theta, rel=2e-5, abs=2e-6 * S[i]), ("theta", i)
        checked += 1
    assert checked == 20


@pytest.mark.parametrize("method", METHODS)
def test_a_maturity_that_is_over(method):
    prices = bsm.price(100.0, [90.0, 110.0, 90.0], [0.0, -0.5, np.nan], 0.05, 0.01, 0.3, "p", method=method)
    assert prices[0] == 0.0 and prices[1] == 10.0 and math.isnan(prices[2])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no division by a zero maturity
        for T_, price in [(0.0, 10.0), (0.0, 12.0), (math.inf, 12.0), (-1.0, 12.0)]:
            assert math.isnan(bsm.implied_vol(price, 100.0, 110.0, T_, 0.05, 0.01, "p", method=method))
    g = bsm.greeks(100.0, 110.0, 0.0, 0.05, 0.01, 0.3, "p", method=method)
    assert (g.price, g.delta, g.gamma) == (10.0, -1.0, 0.0)
    assert all(math.isnan(v) for v in (g.vega, g.theta, g.rho, g.psi))


def test_forward_and_its_yield():
    strikes = np.linspace(80.0, 120.0, 9)
    calls, puts = (bsm.price(100.0, strikes, 0.5, 0.04, 0.015, 0.25, f) for f in "cp")
    F = bsm.forward(calls, puts, strikes, 100.0, 0.5, 0.04)
    assert F == korvane.forward(calls, puts, strikes, 100.0, math.exp(-0.04 * 0.5))
    assert bsm.implied_yield(F, 100.0, 0.5, 0.04) == pytest.approx(0.015, abs=1e-7)


def test_greeks_become_a_frame_or_a_dataset():
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    g = bsm.greeks(100.0, pd.Series(K[:5], index=list("abcde")), 1.0, 0.03, 0.01, 0.2, "c")
    frame = g.to_frame()
    assert list(frame.columns) == list(korvane.Greeks._fields) and list(frame.index) == list("abcde")
    assert ref.bits(frame.vega) == ref.bits(g.vega)
    plain = korvane.greeks(100.0, K[:5], 0.99, 101.0, 0.2, "c")  # no T: theta, rho and psi are None
    assert list(plain.to_frame().columns) == ["price", "delta", "gamma", "vega"]
    ds = bsm.greeks(100.0, xr.DataArray(K[:5], dims="strike"), 1.0, 0.03, 0.01, 0.2, "c").to_dataset()
    assert set(ds.data_vars) == set(korvane.Greeks._fields) and ds.delta.dims == ("strike",)


def test_baw_under_negative_rates_is_never_below_exercise():
    # With D >= 1 the formula is European, which a call with a yield (or a put
    # whose yield is below the rate) falls under; the price is floored at the
    # exercise value, and implied volatilities and forwards follow.
    assert bsm.price(100, 70, 2, -0.008, 0.03, 0.12, "c") == 30.0
    strikes = np.linspace(50.0, 150.0, 41)
    for T_, r_, q_ in [(0.5, -0.008, 0.03), (2.0, -0.008, 0.03), (2.0, -0.004, -0.02), (5.0, -0.006, 0.01)]:
        D, F = bsm.to_forward_form(100.0, T_, r_, q_)
        prices = {f: bsm.price(100.0, strikes, T_, r_, q_, 0.12, f) for f in "cp"}
        assert (prices["c"] >= np.maximum(100.0 - strikes, 0)).all()
        assert (prices["p"] >= np.maximum(strikes - 100.0, 0)).all()
        assert bsm.forward(prices["c"], prices["p"], strikes, 100.0, T_, r_, 0.1) == pytest.approx(F, abs=2e-6)


@pytest.mark.parametrize("method", METHODS)
def test_float32_inputs_are_widened_before_the_conversion(method):
    args = [np.float32(x) for x in (100.0, 95.0, 0.5, 0.05, 0.02, 0.3)]
    wide = [float(x) for x in args]
    assert ref.bits(bsm.price(*args, "p", method=method)) == ref.bits(bsm.price(*wide, "p", method=method))
