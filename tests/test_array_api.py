"""The array API against the module it must agree with: korvane.price, implied_vol and forward."""
import inspect
import itertools
import json
import math
import warnings

import numpy as np
import pytest

import korvane
import reference as ref
from interp import FREE_THREADED
from korvane import ufuncs
from korvane.vantrel import baw_implied_vol, baw_price, find_forward_baw

nan, inf = math.nan, math.inf


def price_cases():
    """Random contracts, then every combination of awkward values."""
    rand = ref.random_contracts(2000, 31, 1e-4, 6.0)
    odd = list(zip(*itertools.product([100.0, 1e-300, inf, nan], [100.0, 0.0, 1e17], [0.96, 1.0, 0.0],
                                      [100.0, 0.0, 102.0, nan], [0.2, 0.0, -1.0, nan, 1e-9, 50.0], "cp")))
    return [np.concatenate([np.asarray(r), np.asarray(o)]) for r, o in zip(rand, odd)]


def iv_cases():
    S, K, D, F, sigma, flag = ref.random_contracts(1500, 32, 1e-3, 7.9)
    scale = np.random.default_rng(33).uniform(0.9, 1.15, S.size)
    prices = np.array([baw_price(*c) for c in zip(S, K, D, F, sigma, flag)]) * scale
    odd = list(zip(*itertools.product([0.0, 1e-12, 5.0, 99.0, inf, nan], [100.0, 1e-300, inf], [100.0, 0.0, 1e17],
                                      [0.96, 1.0], [100.0, 0.0, 102.0, nan], "cp")))
    return [np.concatenate([np.asarray(r), np.asarray(o)]) for r, o in zip((prices, S, K, D, F, flag), odd)]


PRICES, IVS = price_cases(), iv_cases()
EXPECTED_PRICES = ref.bits([baw_price(*c) for c in zip(*PRICES)])
EXPECTED_IVS = ref.bits([baw_implied_vol(*c) for c in zip(*IVS)])


@pytest.mark.parametrize("workers", [1, 2])
def test_equal_to_the_module_bit_for_bit(workers):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # NaN and infinities are results here, not floating-point warnings
        assert ref.bits(korvane.price(*PRICES, workers=workers)) == EXPECTED_PRICES
        assert ref.bits(korvane.implied_vol(*IVS, workers=workers)) == EXPECTED_IVS


def test_broadcast_2d():
    rng = np.random.default_rng(34)
    S = rng.uniform(50, 150, (30, 1))
    K = np.linspace(60, 140, 40)[None, :]
    D, F, sigma = 0.95, S * rng.uniform(0.9, 1.1, (30, 1)), rng.uniform(0.05, 1.0, (30, 40))
    flags = np.array(["c", "P", "call", "Put"] * 10)
    grid = korvane.price(S, K, D, F, sigma, flags)
    assert grid.shape == (30, 40) and grid.dtype == np.float64
    full = np.broadcast_arrays(S, K, D, F, sigma, flags)
    assert ref.bits(grid) == ref.bits([baw_price(*c[:5], c[5].lower()[0]) for c in zip(*(a.ravel() for a in full))])
    vols = korvane.implied_vol(grid, S, K, D, F, flags)
    assert ref.bits(vols) == ref.bits([baw_implied_vol(p, *c[:4], c[5].lower()[0])
                                       for p, c in zip(grid.ravel(), zip(*(a.ravel() for a in full)))])


def test_out_and_where():
    S, K, D, F, sigma, flag = (a[:500] for a in PRICES)
    out = np.full(500, -1.0)
    assert korvane.price(S, K, D, F, sigma, flag, out=out) is out
    assert ref.bits(out) == EXPECTED_PRICES[:500]
    is_call = flag == "c"
    kept = np.full(500, -1.0)
    ufuncs.baw_price(S, K, D, F, sigma, is_call, out=kept, where=is_call)
    assert ref.bits(kept[is_call]) == ref.bits(out[is_call]) and (kept[~is_call] == -1.0).all()


@pytest.mark.parametrize("shape", [(5000,), (3, 2000), (1, 4000), (1000, 4), (2, 1, 999)])
@pytest.mark.parametrize("workers", [2, 3, -1])
def test_workers_give_the_same_doubles(shape, workers):
    n = math.prod(shape)
    S, K, D, F, sigma, flag = (np.resize(a, n).reshape(shape) for a in PRICES)
    one = korvane.price(S, K[..., :1], D, F, sigma, flag)  # a broadcast input, too
    assert ref.bits(korvane.price(S, K[..., :1], D, F, sigma, flag, workers=workers)) == ref.bits(one)
    strided = np.empty(shape + (2,))[..., 0]
    korvane.price(S, K[..., :1], D, F, sigma, flag, workers=workers, out=strided)
    assert ref.bits(strided) == ref.bits(one)


def test_workers_with_overlapping_out():
    # The result written over its own input, reversed: each of two blocks
    # would overwrite what the other still has to read, in either order, so
    # only the one call NumPy protects from overlap gives the right doubles.
    S = PRICES[0][:2000].copy()
    want = korvane.price(S, 100.0, 0.96, 101.0, 0.3, "c")[::-1]
    korvane.price(S, 100.0, 0.96, 101.0, 0.3, "c", out=S[::-1], workers=2)
    assert ref.bits(S) == ref.bits(want)


@pytest.mark.parametrize("workers, error, message", [
    (0, ValueError, "workers must not be zero"),
    (-100_000, ValueError, "workers value out of range; got -100000, must not be less than"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ("2", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_bad_workers(workers, error, message):
    with pytest.raises(error, match=message):
        korvane.price(100.0, 100.0, 0.96, 101.0, 0.2, "c", workers=workers)


@pytest.mark.parametrize("workers, threads", [(None, 1), (1, 1), (3, 3), (-1, 4), (-2, 3), (-4, 1)])
def test_workers_count_threads_as_scipy_does(monkeypatch, workers, threads):
    # On four cores -1 is all four, -2 all but one, ...
    from concurrent.futures import ThreadPoolExecutor

    from korvane import _policy

    used = [1]

    class Pool(ThreadPoolExecutor):
        def __init__(self, n):
            used.append(n)
            super().__init__(n)

    monkeypatch.setattr(_policy.os, "cpu_count", lambda: 4)
    monkeypatch.setattr(_policy, "ThreadPoolExecutor", Pool)
    korvane.price(np.linspace(90.0, 110.0, 4096), 100.0, 0.96, 101.0, 0.2, "c", workers=workers)
    assert used[-1] == threads


@pytest.mark.parametrize("flag, is_call", [
    ("c", True), ("CALL", True), ("Call", True), ("p", False), ("PuT", False), (True, True), (np.False_, False),
    (["c", "p", "C", "P", "call", "put"], [1, 0, 1, 0, 1, 0]),
    (np.array([["call", "p"], ["C", "Put"]]), [[1, 0], [1, 0]]),
    (np.array(["c", "P", b"C", b"put"], dtype=object), [1, 0, 1, 0]),
    (np.array([b"c", b"Put"]), [1, 0]), (b"CALL", True), (bytearray(b"p"), False),
    (np.array([True, False]), [1, 0]),
    ([], []),
])
def test_flags(flag, is_call):
    got = korvane.price(100.0, 100.0, 0.96, 101.0, 0.3, flag)
    calls, puts = (baw_price(100.0, 100.0, 0.96, 101.0, 0.3, f) for f in "cp")
    assert ref.bits(got) == ref.bits(np.where(np.asarray(is_call, dtype=bool), calls, puts))


@pytest.mark.parametrize("flag, message", [
    ("x", "flag is 'x'"), ("", "flag is ''"), (" c", "flag is ' c'"), ("calls", "flag is 'calls'"),
    (["c", "p", "cp"], "flag at position 2 is 'cp'"),
    (np.array([["c", "p"], ["p", "q"]]), r"flag at position \(1, 1\) is 'q'"),
    (np.array(["c", 3, None], dtype=object), "flag at position 1 is 3"),
    (np.array(["c", b"\xff"], dtype=object), r"flag at position 1 is b'\\xff'"),
    (np.array(["p", nan], dtype=object), "flag at position 1 is nan"),
    ([1, 0], "flag at position 0 is 1"), (1, "flag is 1"), (None, "flag is None"), (b"x", "flag is b'x'"),
    (np.array([b"c", b"cal"]), "flag at position 1 is b'cal'"), (2.5, "flag is 2.5"),
    (bytearray(b"x"), r"flag is bytearray\(b'x'\)"),
])
def test_bad_flags(flag, message):
    with pytest.raises(ValueError, match=message + r"; expected 'c', 'call', 'p' or 'put' \(either case\) or a boolean"):
        korvane.price(100.0, 100.0, 0.96, 101.0, 0.3, flag)


def test_result_types():
    scalar = korvane.price(100, 100, 0.96, 101, 0.2, "c")
    assert type(scalar) is np.float64 and scalar == baw_price(100, 100, 0.96, 101, 0.2, "c")
    assert type(korvane.implied_vol(np.float32(5), 100, 100, 0.96, 101, "c")) is np.float64
    listed = korvane.price([100, 110], 100, 0.96, [101, 111], np.float32(0.2), ["c", "p"])
    assert type(listed) is np.ndarray and listed.dtype == np.float64 and listed.shape == (2,)
    assert korvane.price(np.empty((0, 3)), 100.0, 0.96, 101.0, 0.2, "c").shape == (0, 3)


@pytest.mark.parametrize("args, error", [
    (([100, 110, 120], [100, 110], 0.96, 101, 0.2, "c"), ValueError),  # shapes do not broadcast
    ((100, 100, 0.96, 101, 0.2, ["c", "p", "c"], [0.1, 0.2]), None),
    (("100", 100, 0.96, 101, 0.2, "c"), TypeError),
    ((100, object(), 0.96, 101, 0.2, "c"), TypeError),
    ((100, 100, 0.96 + 1j, 101, 0.2, "c"), TypeError),
    ((100, 100, None, 101, 0.2, "c"), TypeError),
])
def test_bad_inputs(args, error):
    if error is None:  # an extra positional argument
        with pytest.raises(TypeError):
            korvane.price(*args)
        return
    with pytest.raises(error):
        korvane.price(*args)
    with pytest.raises(error):
        korvane.implied_vol(args[0], *args[:4], args[5])


def chain(S, D, F, strikes, sigma=0.3):
    return [np.array([baw_price(S, k, D, F, sigma, f) for k in strikes]) for f in "cp"]


def test_forward_of_stacked_chains_with_missing_quotes():
    strikes = np.linspace(80.0, 125.0, 10)
    spots, discounts, forwards = [100.0, 101.0, 99.0, 100.5], [0.99, 0.97, 0.95, 0.9], [100.4, 102.0, 101.1, 104.0]
    calls, puts = map(np.array, zip(*(chain(S, D, F, strikes) for S, D, F in zip(spots, discounts, forwards))))
    calls[0, 4], puts[1, 5], puts[2, :] = nan, nan, nan  # one missing quote each, then a whole chain
    calls[3, 2:8] = nan
    got = korvane.forward(calls, puts, strikes, spots, discounts)
    assert got.shape == (4,)
    for i in range(4):
        usable = ~(np.isnan(calls[i]) | np.isnan(puts[i]) | np.isnan(strikes))
        assert ref.same(got[i], find_forward_baw(calls[i][usable], puts[i][usable], strikes[usable],
                                                 spots[i], discounts[i]))
    assert math.isnan(got[2]) and all(map(math.isfinite, got[[0, 1, 3]]))
    # chains read in place whatever their layout: strides of 32 bytes along them
    strided = korvane.forward(np.asfortranarray(calls), np.asfortranarray(puts), strikes, spots, discounts)
    assert ref.bits(strided) == ref.bits(got)
    assert abs(got[0] / forwards[0] - 1) < 1e-6
    # strike_pct and a NaN strike broadcast the same way
    k2 = strikes.copy()
    k2[3] = nan
    wide = korvane.forward(calls[:2], puts[:2], k2, 100.0, 0.99, [[0.2], [0.05]])
    assert wide.shape == (2, 2)
    m = ~(np.isnan(calls[1]) | np.isnan(puts[1]) | np.isnan(k2))
    assert ref.same(wide[1, 1], find_forward_baw(calls[1][m], puts[1][m], k2[m], 100.0, 0.99, 0.05))


def test_forward_without_strikes_is_nan():
    assert math.isnan(korvane.forward([], [], [], 100.0, 0.99))
    assert np.isnan(korvane.forward(np.empty((3, 0)), np.empty((3, 0)), np.empty(0), 100.0, 0.99)).all()
    assert math.isnan(korvane.forward([nan], [1.0], [100.0], 100.0, 0.99))


def test_forward_bad_shapes():
    with pytest.raises(ValueError):
        korvane.forward([1.0, 2.0], [1.0], [100.0, 101.0], 100.0, 0.99)


IMPORT_ALONE = """
import json, sys
import korvane
r = korvane.price(100.0, 100.0, 0.96, 101.0, 0.2, "c")
print(json.dumps(["korvane.vantrel" in sys.modules, getattr(sys, "_is_gil_enabled", lambda: True)()]))
"""


def test_the_package_does_not_load_the_module(run_python):
    loaded, gil = json.loads(run_python(IMPORT_ALONE, env={"PYTHON_GIL": None}).stdout)
    assert loaded is False
    assert gil is not FREE_THREADED  # the ufunc module keeps a free-threaded interpreter's lock off


def test_the_namespace_shows_only_the_api():
    import pydoc

    assert not {"Any", "TYPE_CHECKING", "_typing"} & set(dir(korvane))
    assert set(korvane.__all__) <= set(dir(korvane))
    assert "ForwardRef" not in pydoc.render_doc(korvane.Greeks)


def test_signatures_name_the_methods_of_one_home():
    import typing

    from korvane import _policy, bsm, chain

    functions = [korvane.price, korvane.implied_vol, korvane.greeks, korvane.forward,
                 bsm.price, bsm.implied_vol, bsm.greeks, bsm.forward, chain.analyze]
    for fn in functions:
        hint = typing.get_type_hints(fn)["method"]
        assert typing.get_args(hint) == _policy.METHODS, fn.__qualname__
        assert len(str(inspect.signature(fn))) < 400  # no NumPy internals in help()


@pytest.mark.parametrize("method", ["baw", "alo", "european"])
def test_greeks_in_trader_units(method):
    from korvane import bsm

    args = (100.0, np.array([90.0, 105.0]), 0.5, 0.05, 0.02, 0.25, "p")
    model, trader = bsm.greeks(*args, method=method), bsm.greeks(*args, method=method, units="trader")
    for name, per in [("price", 1), ("delta", 1), ("gamma", 1), ("vega", 100), ("theta", 365), ("rho", 100),
                      ("psi", 100)]:
        assert np.allclose(getattr(trader, name) * per, getattr(model, name), rtol=1e-15), name
    D, F, sigma = bsm.to_forward_form(100.0, 0.5, 0.05, 0.02, 0.25)
    forward_form = korvane.greeks(100.0, args[1], D, F, sigma, "p", T=0.5, method=method, units="trader")
    assert np.allclose(forward_form.vega, trader.vega, rtol=1e-15)
    with pytest.raises(ValueError, match="units='trader' needs the maturity T"):
        korvane.greeks(100.0, 90.0, D, F, sigma, "p", units="trader")
    with pytest.raises(ValueError, match="units must be 'model' or 'trader'; got 'day'"):
        bsm.greeks(*args, units="day")
