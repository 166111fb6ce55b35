import itertools
import math
import sys
import threading

import numpy as np
import pytest

import reference as ref
from interp import assert_collection_runs_during, gil_enabled
from korvane.vantrel import baw_implied_vol, baw_price, vectorized_baw_implied_vol as batch

nan, inf = math.nan, math.inf


def test_round_trip():
    checked = 0
    for S, K, D, F, sigma, flag in zip(*ref.random_contracts(1500, 11, 0.01, 3)):
        price, up, down, floor = (baw_price(S, K, D, F, s, flag) for s in (sigma, sigma + 1e-6, sigma - 1e-6, 1e-8))
        # sigma is identifiable to 1e-8 where the price has time value, rises from the
        # solver's lower end (BAW is not monotone in sigma everywhere), and moves with a
        # 1e-8 change of sigma far past its rounding noise (~1e-14 S): vega > 1e-5 S.
        if price > ref.intrinsic(flag == "c", S, K) + 1e-9 and floor < price and (up - down) / 2e-6 > 1e-5 * S:
            checked += 1
            assert baw_implied_vol(price, S, K, D, F, flag) == pytest.approx(sigma, abs=1e-8)
    assert checked > 600


@pytest.mark.parametrize("S, K, D, F, flag", [(100, 120, 0.96, 100, "c"), (100, 120, 0.9, 110, "p"),
                                              (110, 100, 0.99, 125, "c"), (60, 100, 0.8, 60, "p")])
@pytest.mark.parametrize("above", [-1.0, -1e-12, 0.0, 0.5e-10, 1e-10])
def test_no_time_value_is_zero(S, K, D, F, flag, above):
    # intrinsic value on the spot, not the forward
    assert baw_implied_vol(ref.intrinsic(flag == "c", S, K) + above, S, K, D, F, flag) == 0.0


@pytest.mark.parametrize("price, S, K, D, F, flag", [
    (15.0, 110, 100, 0.99, 120, "c"),  # between S - K and the price 19.8 at sigma = 1e-8
    (12.0, 90, 100, 0.95, 80, "p"),  # below the price 19.0 at sigma = 1e-8
    (99.5, 100, 100, 0.96, 100, "c"),  # above the price at sigma = 8 (99.145), below 16 (99.723)
    (95.0, 100, 100, 0.5, 100, "p"),  # likewise: 90.789 at 8, 96.769 at 16
    (150.0, 100, 100, 0.96, 100, "p"),
])
def test_no_solution_is_nan(price, S, K, D, F, flag):
    assert math.isnan(baw_implied_vol(price, S, K, D, F, flag))


NAN_INPUTS = [(nan, 100, 100, 0.99, 100, "c"), (5.0, nan, 100, 0.99, 100, "c"), (5.0, 100, nan, 0.99, 100, "p"),
              (5.0, 100, 100, nan, 100, "p"), (5.0, 100, 100, 0.99, nan, "c"), (-nan, 100, 120, 0.99, 100, "p"),
              (nan, 100, 80, 0.99, 100, "c")]  # deep in the money: the no-time-value screen must not claim it


@pytest.mark.parametrize("args", NAN_INPUTS)
def test_nan_input_is_no_solution(args):
    import korvane

    assert math.isnan(baw_implied_vol(*args))
    assert np.isnan(batch(*([a] for a in args))).all()
    assert np.isnan(korvane.implied_vol(*args))


@pytest.mark.parametrize("sigma", [1e-8, 1.0, 2.0, 8.0])
def test_price_at_a_bracket_end_gives_that_end(sigma):  # the root finder's f(end) == 0 shortcut
    price = baw_price(110, 100, 0.99, 120, sigma, "c")
    assert baw_implied_vol(price, 110, 100, 0.99, 120, "c") == sigma


def iv_cases():
    scale = np.random.default_rng(6).uniform(0.9, 1.15, 200)
    rand = [(baw_price(*c) * m, *c[:4], c[5]) for c, m in zip(zip(*ref.random_contracts(200, 5, 1e-3, 7.9)), scale)]
    odd = itertools.product([0.0, 1e-12, 5.0, 99.0, inf], [100.0, 1e-300, inf], [100.0, 0.0, 1e17], [0.96, 1.0],
                            [100.0, 0.0, 102.0], "cp")  # NaN one input at a time, as for prices
    nans = [(*c[:i], x, *c[i + 1:]) for c in [(5.0, 100.0, 90.0, 0.96, 102.0, "c"), (5.0, 100.0, 110.0, 0.96, 98.0, "p")]
            for i in range(5) for x in (nan, -nan)]
    return rand + [c for i, c in enumerate(odd) if i % 3 == 0] + nans


def test_matches_reference_bit_for_bit():
    results = [(c, baw_implied_vol(*c), ref.implied_vol(*c)) for c in iv_cases()]
    assert [r for r in results if not ref.same(*r[1:])] == []


# A chain of six options: calls and puts, with and without time value, one out of reach.
P, S, K, D, F, FL = [5.0, 7.0, 0.0, 30.0, 99.5, nan], [100.0] * 6, [100, 90, 80, 130, 100, 110], \
    [0.96] * 6, [101.0] * 6, ["c", "p", "c", "p", "c", "p"]
ro = np.array(K, dtype=float)
ro.setflags(write=False)
FORMS = {
    "lists": (P, S, K, D, F, FL),
    "tuples and a flag string": (tuple(P), tuple(S), tuple(K), tuple(D), tuple(F), "cpcpcp"),
    "int, big-endian and strided arrays": (np.array(P), np.array(S, dtype=np.int32), np.array(K, dtype=">f8"),
                                           np.repeat(D, 2)[::2], np.array(F, dtype=">f8"), np.array(FL)),
    "read-only arrays": (np.frombuffer(np.array(P).tobytes()), S, ro, D, F, FL),
    "other flags are puts": (P, S, K, D, F, ("c", None, b"c", "C", "x", 1)),
    "broadcast scalars": (P, 100.0, K, [0.96], 101, ["c"]),
    "longer inputs": (P, S + [1.0], K + [2, 3], D + [0.5], F + [7.0], "cpcpcpcc"),
}


@pytest.mark.parametrize("args", FORMS.values(), ids=FORMS.keys())
def test_batch_equals_scalar(args):
    out = batch(*args)
    cols = [np.asarray(a, dtype=float).ravel() for a in args[:5]] + [list(args[5])]
    expected = [baw_implied_vol(*(c[i] if len(c) > 1 else c[0] for c in cols)) for i in range(len(P))]
    assert out.dtype == np.float64 and out.shape == (6,)  # a new array, sharing no input's memory
    assert not any(np.shares_memory(out, a) for a in args if isinstance(a, np.ndarray))
    assert all(map(ref.same, out.tolist(), expected))
    assert np.count_nonzero(out > 0) >= 2 and np.isnan(out).any() and (out == 0).any()


def test_batch_empty():
    assert batch([], [], [], [], [], "").dtype == np.float64 and batch(np.empty(0), 1.0, 1.0, 1.0, 1.0, "c").size == 0


class Prices:  # len() says 3 while NumPy sees 2 numbers
    __len__ = lambda self: 3  # noqa: E731
    __array__ = lambda self, dtype=None, copy=None: np.array([5.0, 6.0])  # noqa: E731


TWO_D = "Buffer has wrong number of dimensions (expected 1, got 2)"


@pytest.mark.parametrize("n, arg, value, message", [
    (3, 0, Prices(), "prices has 2 elements, expected 3 (or 1)"),
    (5, 1, [100.0] * 3, "S_arr has 3 elements, expected 5 (or 1)"),
    (5, 2, [], "K_arr has 0 elements, expected 5 (or 1)"),
    (5, 3, [0.9] * 4, "D_arr has 4 elements, expected 5 (or 1)"),
    (5, 4, [1.0, 2.0], "F_arr has 2 elements, expected 5 (or 1)"),
    (5, 5, "cp", "flags has 2 elements, expected 5 (or 1)"),
    (1, 1, [], "S_arr has 0 elements, expected 1"),
    (1, 5, "", "flags has 0 elements, expected 1"),
    (3, 0, np.ones((3, 2)), TWO_D), (3, 1, np.ones((3, 1)), TWO_D), (3, 2, [[1.0]] * 3, TWO_D),
    (3, 3, np.ones((1, 3)), TWO_D), (3, 4, np.ones((3, 3)), TWO_D), (0, 1, np.ones((2, 2)), TWO_D),
])
def test_batch_rejects(n, arg, value, message):
    args = [[5.0] * n, 100.0, [100.0] * n, 0.96, [101.0] * n, "c" * n]
    args[arg] = value
    with pytest.raises(ValueError) as info:
        batch(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("prices", [5.0, None, iter([5.0]), np.float64(5.0)])
def test_batch_prices_need_a_length(prices):
    with pytest.raises(TypeError, match=r"has no len\(\)"):
        batch(prices, 100.0, 100.0, 0.96, 101.0, "c")


def test_batch_releases_the_interpreter():
    n = 30_000 if gil_enabled() else 100_000
    args = (np.linspace(2, 12, n), 100.0, np.linspace(80, 120, n), 0.96, 101.0, "c")
    if not gil_enabled():
        # No lock to release: the loop must detach its thread state instead, which a
        # stop-the-world collection in another thread shows.
        assert_collection_runs_during(lambda: batch(*args))
        return
    big, count, stop = np.random.default_rng(0).random(300_000).tolist(), [0], []

    def count_until_stopped():
        while not stop:
            count[0] += 1

    def progress(call):  # iterations of the counter thread while `call` runs
        before = count[0]
        call()
        return count[0] - before

    counter, old = threading.Thread(target=count_until_stopped), sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # a thread kept waiting for the interpreter forces a switch soon
    counter.start()
    try:  # sorted() holds the interpreter: the counter runs only around it
        held, released = progress(lambda: sorted(big)), progress(lambda: batch(*args))
    finally:
        stop.append(True)
        counter.join()
        sys.setswitchinterval(old)
    assert released > 5 * max(held, 1000)


@pytest.mark.parametrize("fn, args", [
    (baw_price, (100.0, 100.0, 0.96, 100.0, 0.2, "p")),
    (baw_price, (100.0, "100", 0.96, 100.0, 0.2, "c")),
    (baw_implied_vol, (5.0, 100.0, 100.0, 0.96, 100.0, "c")),
    (baw_implied_vol, (5.0, 100.0, None, 0.96, 100.0, "c")),
    (batch, (P, S, K, D, F, FL)),
    (batch, (P, S, K, np.ones((6, 2)), F, FL)),  # 2-D
    (batch, (P, S, K, D, F, "cp")),  # length
    (batch, (P, S, K, D, F, 5)),  # flags not iterable
    (batch, (P, S, ["x"] * 6, D, F, FL)),  # not numbers
], ids=["price", "price-error", "iv", "iv-error", "batch", "batch-2d", "batch-length",
        "batch-flags", "batch-nonnumeric"])
def test_no_leaks(leakcheck, fn, args):
    def body():
        try:
            fn(*args)
        except (TypeError, ValueError):
            pass
    leakcheck(body, refcounts=fn is not batch)  # NumPy, built for a release interpreter, drifts the total
