"""find_forward_baw: strike windows, the parity guess and the forward search."""
import contextlib
import math
import sys
import threading
import time

import numpy as np
import pytest

import korvane
from korvane.vantrel import baw_price, find_forward_baw as ff

NAN = math.nan


def chain(S, D, F, strikes, sigma=0.5, skew=0.0):
    """Call and put prices for forward F, total sd sigma + skew ln(K/F) at K."""
    k = np.asarray(strikes, dtype=float)
    sig = sigma + skew * np.log(k / F)
    return (np.array([baw_price(S, K, D, F, s, flag) for K, s in zip(k, sig)]) for flag in "cp"), k


def error_of(fn):
    with pytest.raises(Exception) as exc:
        fn()
    return exc.type, str(exc.value)


@pytest.mark.parametrize("S, D, F, sigma, skew, strikes", [
    (100.0, 0.96, 101.0, 0.2, 0.0, [100.0]),
    (100.0, 1.0, 100.0, 0.05, 0.0, [99.5, 100.0, 100.5]),
    (100.0, 0.8, 95.0, 0.6, 0.0, [99.0, 101.0]),
    (100.0, 0.99, 102.0, 0.3, -0.2, np.linspace(50, 150, 200)),
    (100.0, 0.9, 103.0, 0.25, 0.1, [90.0, 110.0]),        # 10% window
    (100.0, 0.95, 99.0, 0.4, 0.0, [60.0, 140.0, 170.0]),  # 50% window
    (100.0, 0.7, 140.0, 0.6, 0.0, [100.0]),  # early exercise: F beyond 1.03 x the guess
    (4500.0, 0.99, 4520.0, 0.15, -0.3, np.arange(4000.0, 5001.0, 25.0)),
])
def test_recovers_the_forward(S, D, F, sigma, skew, strikes):
    (c, p), k = chain(S, D, F, strikes, sigma, skew)
    for pct in (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0):  # the parity guess on the first window hit
        m = (k >= S * (1 - pct)) & (k <= S * (1 + pct))
        if m.any():
            break
    guess = np.mean(k[m] + (c[m] - p[m]) / D)
    got = ff(c, p, k, S, D)
    if 0.97 * guess <= F <= 1.03 * guess:
        assert got == pytest.approx(F, rel=1e-6)
    else:  # the mismatch falls all the way to the end nearest F
        assert got == pytest.approx((1.03 if F > guess else 0.97) * guess, rel=1e-6)


S0 = 101.3
LO, HI = S0 * (1 - 0.01), S0 * (1 + 0.01)


@pytest.mark.parametrize("S, pct, strikes, picked", [
    (S0, 0.01, [LO, HI, np.nextafter(LO, 0), np.nextafter(HI, 999), S0 * 1.3], [0, 1]),
    (100.0, 0.01, [97.5, 98.5, 101.5, 103.0], [1, 2]),
    (100.0, 0.01, [70.0, 85.0, 118.0, 125.0], [1, 2]),
    (100.0, 0.01, [10.0, 160.0, 250.0], [0, 1]),
    (100.0, 0.01, [210.0, 250.0], [0, 1]),  # none within 2 S: all
    (100.0, 0.01, [NAN, 100.0, NAN], [1]),
    (100.0, 0.0, [100.0, 100.5], [0]),
    (100.0, -0.01, [99.5, 100.0, 100.5, 103.0], [0, 1, 2]),
    (100.0, NAN, [99.5, 100.0, 100.5, 103.0], [0, 1, 2]),
    (100.0, 0.3, [75.0, 95.0, 140.0], [0, 1]),  # strike_pct comes first, however wide
    (100.0, 0.3, [60.0, 155.0, 180.0], [0]),
])
def test_strike_window(S, pct, strikes, picked):
    (c, p), k = chain(S, 0.97, 1.005 * S, strikes)
    got = ff(c, p, k, S, 0.97, pct)
    assert math.isfinite(got)
    assert got == ff(c[picked], p[picked], k[picked], S, 0.97, pct)
    assert korvane.forward(c, p, k, S, 0.97, pct) == got  # the chain kernel selects its own windows
    for i in range(len(k)):  # a NaN price spoils the parity guess only where selected
        probe = c.copy()
        probe[i] = NAN
        assert math.isnan(ff(probe, p, k, S, 0.97, pct)) == (i in picked)


def test_array_likes():
    (c, p), k = chain(100.0, 0.97, 101.0, [99.5, 100.0, 100.5, 130.0])
    want = ff(c, p, k, 100.0, 0.97)
    assert ff(c.reshape(2, 2), p.reshape(2, 2), k.reshape(2, 2), 100.0, 0.97) == want
    assert ff(list(c), tuple(p), np.array([99.5, 100, 100.5, 130]), 100, 0.97) == want


def test_default_strike_pct_is_fixed():
    (c, p), k = chain(100.0, 0.97, 101.0, [100.0, 130.0])
    p[1] *= 1.2  # an inconsistent far strike: a wider window moves the answer
    want = ff(c, p, k, 100.0, 0.97, 0.01)
    assert ff.__defaults__ == (0.01,)
    assert ff(c, p, k, 100.0, 0.97) == want != ff(c, p, k, 100.0, 0.97, 0.5)
    try:
        ff.__defaults__ = (0.5,)
        assert ff(c, p, k, 100.0, 0.97) == want
    finally:
        ff.__defaults__ = (0.01,)


(C1, P1), K1 = chain(100.0, 0.96, 101.0, [100.0])


@pytest.mark.parametrize("args", [
    ([], [], [], 100.0, 0.96),
    ([1.0, 0.0, 0.0], [0.0, 0.0, 1.0], [99.0, 100.0, 101.0], 100.0, 0.96),  # at intrinsic
    ([0.5, -0.1], [0.0, -0.2], [99.0, 100.0], 100.0, 0.96),  # below it
    (C1, P1, K1, 100.0, 0.0),
    (C1, [NAN], K1, 100.0, 0.96),
    ([1.0, 1.0], [1.0, 1.0], [NAN, NAN], 100.0, 0.96),
])
def test_no_estimate_is_nan(args):
    assert math.isnan(ff(*args))


SHORT = error_of(lambda: np.ones(2)[np.ones(3, dtype=bool)])
UNSIZED = error_of(lambda: len(np.asarray(1.0)))
ROWS2D = (ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)")
BINDING_ERRORS = [  # raised before any array is looked at
    (([1.0], [1.0], [1.0], 100.0), (TypeError, "find_forward_baw() takes at least 5 positional arguments (4 given)")),
    (([1.0], [1.0], [1.0], 100.0, 1.0, 0.01, 7),
     (TypeError, "find_forward_baw() takes at most 6 positional arguments (7 given)")),
    ((["x"], [1.0], [1.0], "S", 1.0), error_of(lambda: math.sqrt("S"))),
]
NUMPY_ERRORS = [
    (([1.0, 2.0], [1.0, 2.0, 3.0], [99.0, 100.0, 101.0], 100.0, 1.0), SHORT),
    (([1.0, 2.0, 3.0], [1.0, 2.0], [99.0, 100.0, 101.0], 100.0, 1.0), SHORT),
    ((["x"], ["y"], ["z"], 100.0, 1.0), error_of(lambda: np.asarray(["x"], dtype=np.float64))),
    # No window holds a strike (above 2 S, NaN, S < 0), so all are taken: a 0-d
    # array has no len(), and the mask picks whole rows of a 2-D one.
    ((1.0, 1.0, 201.0, 100.0, 1.0), UNSIZED),
    ((1.0, 1.0, NAN, 100.0, 1.0), UNSIZED),
    ((1.0, 1.0, -100.0, -100.0, 1.0), UNSIZED),
    ((np.ones((2, 2)), np.ones((2, 2)), np.full((2, 2), 201.0), 100.0, 1.0), ROWS2D),
    ((np.ones((2, 2)), np.ones((2, 2)), np.full((2, 2), 100.0), -100.0, 1.0), ROWS2D),
]


@pytest.mark.parametrize("args, error", BINDING_ERRORS + NUMPY_ERRORS)
def test_errors(args, error):
    assert error_of(lambda: ff(*args)) == error


def test_search_lets_other_threads_run():
    (c, p), k = chain(100.0, 0.98, 101.0, np.linspace(121.0, 199.0, 200))  # deep OTM calls
    ticks, done = [], threading.Event()

    def spin():  # sleep(0) gives the lock back as soon as the search asks for it
        while not done.is_set():
            ticks.append(0)
            time.sleep(0)

    # Under a long switch interval the spinning thread gets the lock only
    # while this one has released it, so it counts only during the search.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    worker = threading.Thread(target=spin)
    worker.start()
    try:
        before = len(ticks)
        got = ff(c, p, k, 100.0, 0.98)
        during = len(ticks) - before
    finally:
        done.set()
        worker.join()
        sys.setswitchinterval(interval)
    assert during > 0
    assert got == pytest.approx(101.0, rel=1e-6)


# NumPy, built for a release interpreter, drifts the total of references, so
# only calls that fail before reaching it count them; all count memory blocks,
# and lists make every array that a call creates new memory.
@pytest.mark.parametrize("args, refcounts", [((list(C1), list(P1), list(K1), 100.0, 0.96), False),
                                             (([], [], [], 100.0, 0.96), False)]
                         + [(a, True) for a, _ in BINDING_ERRORS] + [(a, False) for a, _ in NUMPY_ERRORS])
def test_no_leaks(leakcheck, args, refcounts):
    def call():
        with contextlib.suppress(TypeError, ValueError, IndexError):
            ff(*args)
    leakcheck(call, refcounts=refcounts, calls=5)
