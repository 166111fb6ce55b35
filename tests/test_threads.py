"""Threads: the interpreter lock on free-threaded builds, concurrent calls, and loops that detach."""
import json
import threading

import numpy as np
import pytest

import reference as ref
from interp import FREE_THREADED, assert_collection_runs_during
from korvane.vantrel import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

GIL_STATE = """
import json, sys, warnings
before = sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import korvane.vantrel
print(json.dumps([before, sys._is_gil_enabled(), [(w.category.__name__, str(w.message)) for w in caught]]))
"""


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.parametrize("gil_env", [None, "0"], ids=["as-declared", "PYTHON_GIL=0"])
def test_import_and_the_interpreter_lock(run_python, gil_env):
    before, after, caught = json.loads(run_python(GIL_STATE, env={"PYTHON_GIL": gil_env}).stdout)
    assert before is False
    if gil_env is None:  # the module declares that it needs the lock: the interpreter turns it on, and says so
        assert after is True
        assert len(caught) == 1 and caught[0][0] == "RuntimeWarning"
        assert "'korvane.vantrel'" in caught[0][1] and "PYTHON_GIL=0" in caught[0][1]
    else:
        assert (after, caught) == (False, [])


def workload():
    """Shared read-only inputs for all four functions, and their serial results."""
    S, K, D, F, sigma, flags = ref.random_contracts(600, 21, 0.01, 3.0)
    prices = np.array([baw_price(*c) for c in zip(S, K, D, F, sigma, flags)])
    prices[::7] *= 1.3  # some without a solution (NaN)
    strikes = np.linspace(80.0, 120.0, 9)
    calls, puts = (np.array([baw_price(100.0, k, 0.97, 101.5, 0.25, f) for k in strikes]) for f in "cp")
    inputs = [S, K, D, F, sigma, prices, strikes, calls, puts]
    for a in inputs:
        a.setflags(write=False)
    rows = list(zip(S.tolist(), K.tolist(), D.tolist(), F.tolist(), sigma.tolist(), flags.tolist()))
    iv_rows = [(p, *r[:4], r[5]) for p, r in zip(prices.tolist(), rows)]
    calls_ = {
        "price": lambda: [baw_price(*r) for r in rows],
        "implied vol": lambda: [baw_implied_vol(*r) for r in iv_rows],
        "batch": lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flags),
        "forward": lambda: [find_forward_baw(calls, puts, strikes, 100.0, 0.97)],
    }
    return calls_, {name: ref.bits(call()) for name, call in calls_.items()}


def array_workload():
    """The same for the array API, shared read-only arrays, one call per function."""
    import korvane
    from korvane import ufuncs

    S, K, D, F, sigma, flags = ref.random_contracts(3000, 22, 0.01, 3.0)
    prices = korvane.price(S, K, D, F, sigma, flags)
    strikes = np.linspace(80.0, 120.0, 9)
    chains = np.stack([korvane.price(100.0, strikes, 0.97, f, 0.25, "c") for f in (99.0, 101.5, 103.0)])
    puts = np.stack([korvane.price(100.0, strikes, 0.97, f, 0.25, "p") for f in (99.0, 101.5, 103.0)])
    for a in (S, K, D, F, sigma, prices, strikes, chains, puts):
        a.setflags(write=False)
    calls_ = {
        "price": lambda: korvane.price(S, K, D, F, sigma, flags),
        "implied vol": lambda: korvane.implied_vol(prices, S, K, D, F, flags, workers=2),
        "greeks": lambda: np.concatenate(korvane.greeks(S, K, D, F, sigma, flags, T=1.5)),
        "forward": lambda: korvane.forward(chains, puts, strikes, 100.0, 0.97),
        "alo": lambda: np.concatenate([korvane.price(S[:150], K[:150], D[:150], F[:150], sigma[:150], flags[:150],
                                                     method="alo"),
                                       korvane.implied_vol(prices[:40], S[:40], K[:40], D[:40], F[:40], flags[:40],
                                                           method="alo")]),
        "european": lambda: korvane.implied_vol(korvane.price(S, K, D, F, sigma, flags, method="european"),
                                                S, K, D, F, flags, method="european", workers=2),
        "fd": lambda: ufuncs.fd_price(S[:40], K[:40], D[:40], F[:40], sigma[:40], flags[:40] == "c", 1.0,
                                      [0.3, 0.7], [1.0, 0.5]),
    }
    return calls_, {name: ref.bits(call()) for name, call in calls_.items()}


@pytest.mark.threads
@pytest.mark.parametrize("make", [workload, array_workload], ids=["module", "array-api"])
def test_eight_threads_give_the_serial_results(make):
    calls, serial = make()
    names, n_threads, rounds = list(calls), 8, 4
    barrier = threading.Barrier(n_threads)
    results, errors = [[] for _ in range(n_threads)], []

    def work(i):
        try:
            for r in range(rounds):
                # Every round starts in all eight threads together, each on
                # another function, so all of them are in flight at once
                # (truly parallel with the lock off, interleaved with it on).
                barrier.wait()
                k = i % len(names)
                for name in names[k:] + names[:k]:
                    results[i].append((name, ref.bits(calls[name]())))
        except BaseException as exc:  # reported below, in the main thread
            barrier.abort()
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    mismatched = [(i, name) for i, rs in enumerate(results) for name, got in rs if got != serial[name]]
    assert mismatched == [] and all(len(rs) == len(names) * rounds for rs in results)


def long_batch():
    n = 300_000  # long enough for several of ThreadSanitizer's slow collections, even on a loaded machine
    return lambda: vectorized_baw_implied_vol(np.linspace(2, 12, n), 100.0, np.linspace(80, 120, n), 0.96, 101.0, "c")


def long_forward():
    strikes = np.linspace(50.0, 150.0, 2000)
    calls, puts = (np.array([baw_price(100.0, k, 0.9, 103.0, 0.4, f) for k in strikes]) for f in "cp")
    return lambda: find_forward_baw(calls, puts, strikes, 100.0, 0.9, 0.5)


def one_chain_forward():  # a gufunc of one outer element: NumPy would keep the thread attached
    import korvane

    strikes = np.linspace(50.0, 150.0, 2000)
    calls, puts = (korvane.price(100.0, strikes, 0.9, 103.0, 0.4, f) for f in "cp")
    return lambda: korvane.forward(calls, puts, strikes, 100.0, 0.9, 0.5)


def small_accurate_batch():  # 490 slow solves, below NumPy's 500-element rule
    from korvane import ufuncs

    # The accurate engine on a finer scheme (the slow loops' test entry): some
    # seconds, so that even a debug interpreter's slow collection fits well
    # inside the call.
    strikes = np.linspace(80.0, 120.0, 490)
    return lambda: ufuncs._alo_scheme_price(100.0, strikes, 0.8, 118.0, 0.3, False, 24, 32, 64, 30, 1e-10)


def small_fd_batch():  # 300 finite-difference Greeks with dividends, a gufunc
    from korvane import ufuncs

    strikes = np.linspace(80.0, 120.0, 300)
    return lambda: ufuncs.fd_greeks(100.0, strikes, 0.97, 101.0, 0.3, False, 1.0, 1.0, [0.25, 0.75], [1.0, 1.0])


@pytest.mark.threads
@pytest.mark.parametrize("make_call", [long_batch, long_forward, one_chain_forward, small_accurate_batch,
                                       small_fd_batch],
                         ids=["batch", "forward", "ufunc-forward", "ufunc-small-alo", "ufunc-fd"])
def test_collection_does_not_wait_for_a_long_loop(make_call):
    assert_collection_runs_during(make_call())
