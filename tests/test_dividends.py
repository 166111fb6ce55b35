"""Cash dividends in both faces: the schedule keyword, the rate form's forward
and its read-back, the same doubles through every path and container, and
clear errors for schedules or methods that cannot be."""
import math

import numpy as np
import pytest

import korvane
import reference as ref
from korvane import bsm

TIMES, AMOUNTS = np.array([0.1, 0.35, 0.6, 0.85, 1.1]), np.array([1.0, 1.0, 1.0, 1.0, 1.0])
STRIKES = np.linspace(80.0, 120.0, 9)
T, R, Q = 1.0, 0.045, 0.01


def test_rate_form_is_the_forward_form_on_converted_inputs():
    D, F, sigma = bsm.to_forward_form(100.0, T, R, Q, 0.3, dividends=(TIMES, AMOUNTS))
    # four dividends inside the year, carried to expiry; the fifth is after it
    want = 100.0 * math.exp((R - Q) * T) - sum(math.exp((R - Q) * (T - t)) for t in TIMES[:4])
    assert F == pytest.approx(want, rel=1e-15)
    fractions = (TIMES / T, AMOUNTS)
    for flag in "cp":
        p = bsm.price(100.0, STRIKES, T, R, Q, 0.3, flag, method="fd", dividends=(TIMES, AMOUNTS))
        assert ref.bits(p) == ref.bits(korvane.price(100.0, STRIKES, D, F, sigma, flag, method="fd",
                                                      dividends=fractions))
        vols = bsm.implied_vol(p, 100.0, STRIKES, T, R, Q, flag, method="fd", dividends=(TIMES, AMOUNTS))
        assert np.allclose(vols, 0.3, atol=1e-9)
        g = bsm.greeks(100.0, STRIKES, T, R, Q, 0.3, flag, method="fd", dividends=(TIMES, AMOUNTS))
        h = korvane.greeks(100.0, STRIKES, D, F, sigma, flag, T=T, method="fd", dividends=fractions)
        assert ref.bits(g.price) == ref.bits(p) and ref.bits(g.vega) == ref.bits(h.vega * math.sqrt(T))


def test_forward_and_the_yield_beyond_the_dividends():
    calls, puts = (bsm.price(100.0, STRIKES, T, R, Q, 0.25, f, method="fd", dividends=(TIMES, AMOUNTS))
                   for f in "cp")
    F = bsm.forward(calls, puts, STRIKES, 100.0, T, R, 0.1, method="fd", dividends=(TIMES, AMOUNTS))
    assert F == pytest.approx(bsm.to_forward_form(100.0, T, R, Q, dividends=(TIMES, AMOUNTS))[1], rel=1e-7)
    assert bsm.implied_yield(F, 100.0, T, R, dividends=(TIMES, AMOUNTS)) == pytest.approx(Q, abs=1e-6)
    # and the yield read back exactly where the forward is exact
    F_exact = bsm.to_forward_form(100.0, [0.5, 1.0, 2.0], R, Q, dividends=(TIMES, AMOUNTS))[1]
    assert np.allclose(bsm.implied_yield(F_exact, 100.0, [0.5, 1.0, 2.0], R, dividends=(TIMES, AMOUNTS)), Q,
                       atol=1e-14)


@pytest.mark.parametrize("times, amounts", [([], []), ([1.0], [3.0]), ([1.7], [3.0]), ([0.0], [3.0]),
                                            ([0.5], [0.0]), ([np.nan, 0.5], [2.0, np.nan])])
def test_schedules_that_are_no_dividend(times, amounts):
    none = bsm.price(100.0, STRIKES, T, R, Q, 0.3, "p", method="fd")
    got = bsm.price(100.0, STRIKES, T, R, Q, 0.3, "p", method="fd", dividends=(times, amounts))
    assert ref.bits(got) == ref.bits(none) == ref.bits(bsm.price(100.0, STRIKES, T, R, Q, 0.3, "p", method="alo"))


def test_per_contract_schedules_broadcast_like_the_chain_axis():
    times = np.array([[0.25, np.nan], [0.25, 0.75]])   # two schedules, the first padded
    amounts = np.array([[2.0, np.nan], [2.0, 1.0]])
    both = bsm.price(100.0, 100.0, T, R, Q, 0.3, "c", method="fd", dividends=(times, amounts))
    one = [bsm.price(100.0, 100.0, T, R, Q, 0.3, "c", method="fd", dividends=(t[~np.isnan(t)], a[~np.isnan(a)]))
           for t, a in zip(times, amounts)]
    assert both.shape == (2,) and ref.bits(both) == ref.bits(one)


def test_containers_and_workers_give_the_same_doubles():
    pd = pytest.importorskip("pandas")
    K = np.linspace(70.0, 130.0, 1200)
    args = (100.0, K, T, R, Q, 0.3, "p")
    want = bsm.price(*args, method="fd", dividends=(TIMES, AMOUNTS))
    assert ref.bits(bsm.price(*args, method="fd", dividends=(TIMES, AMOUNTS), workers=2)) == ref.bits(want)
    series = bsm.price(100.0, pd.Series(K, index=[f"k{i}" for i in range(len(K))]), *args[2:], method="fd",
                       dividends=(TIMES, AMOUNTS))
    assert isinstance(series, pd.Series) and series.index[0] == "k0" and ref.bits(series) == ref.bits(want)
    da = pytest.importorskip("dask.array")
    lazy = bsm.price(100.0, da.from_array(K, chunks=300), *args[2:], method="fd", dividends=(TIMES, AMOUNTS))
    assert isinstance(lazy, da.Array) and ref.bits(lazy.compute()) == ref.bits(want)
    xr = pytest.importorskip("xarray")
    labelled = bsm.price(100.0, xr.DataArray(K, dims="strike"), *args[2:], method="fd", dividends=(TIMES, AMOUNTS))
    assert labelled.dims == ("strike",) and ref.bits(labelled) == ref.bits(want)


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "alo", "dividends": (TIMES, AMOUNTS)}, "method 'alo' takes no dividends; method='fd' prices"),
    ({"method": "fd", "dividends": ([-0.1, 0.5], [1.0, 1.0])}, r"dividend times must be finite and not negative; "
                                                               r"got -0.1 at position 0"),
    ({"method": "fd", "dividends": ([0.5], [-1.0])}, "dividend amounts must be finite and not negative"),
    ({"method": "fd", "dividends": ([0.5, np.inf], [1.0, 1.0])}, "got inf at position 1"),
    ({"method": "fd", "dividends": ([0.2, 0.5], [1.0])}, "dividend times and amounts differ in length: 2 and 1"),
    ({"method": "fd", "dividends": (0.5, 1.0)}, "must have the schedule along a last axis"),
    ({"method": "fd", "dividends": [0.5, 0.6, 1.0]}, r"dividends must be a pair \(times, amounts\)"),
    ({"method": "fd", "dividends": (["x"], [1.0])}, "dividend times must be numbers"),
])
def test_bad_schedules_and_methods(kwargs, message):
    for fn, args in [(bsm.price, (100.0, 100.0, T, R, Q, 0.3, "p")), (bsm.implied_vol, (8.0, 100.0, 100.0, T, R, Q, "p")),
                     (bsm.greeks, (100.0, 100.0, T, R, Q, 0.3, "p"))]:
        with pytest.raises(ValueError, match=message):
            fn(*args, **kwargs)
    with pytest.raises(ValueError, match=message):
        korvane.forward(np.ones(3), np.ones(3), [90.0, 100.0, 110.0], 100.0, 0.97, **kwargs)
