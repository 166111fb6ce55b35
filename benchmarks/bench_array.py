"""The array API against the module, side by side on the same contracts:
per-element cost of korvane.price and korvane.implied_vol, their `workers`
(for every method), and a Dask array on the threaded scheduler.

A script, not a test: python benchmarks/bench_array.py [--n N] [--dask-n N]
"""
import argparse
import os
import time

import numpy as np

import korvane
from bench_iv import best_of, contracts
from korvane.vantrel import baw_price, vectorized_baw_implied_vol


def row(label, seconds, n, **bases):
    """One timing, with its speed-up over each named base timing."""
    ratios = "".join(f"  {base / seconds:5.2f}x {name}" for name, base in bases.items())
    print(f"  {label:<42} {seconds / n * 1e6:7.3f} us per element{ratios}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dask-n", type=int, default=1_000_000)
    parser.add_argument("--alo-n", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n, cores = args.n, os.cpu_count() or 1
    prices, S, K, D, F, flags = contracts(n)
    sigma = np.random.default_rng(8).uniform(0.08, 0.9, n) * 0.7
    flag_str = "".join(flags.tolist())
    print(f"{n} contracts, {cores} cores")

    print("prices")
    rows = list(zip(S.tolist(), K.tolist(), D.tolist(), F.tolist(), sigma.tolist(), flags.tolist()))
    module = best_of(args.repeat, lambda: [baw_price(*r) for r in rows])
    row("korvane.vantrel.baw_price, one call each", module, n)
    for w in (1, 2, -1):
        t = best_of(args.repeat, lambda: korvane.price(S, K, D, F, sigma, flags, workers=w))
        row(f"korvane.price, workers={w}", t, n, module=module)

    print("implied volatilities")
    batch = best_of(args.repeat, lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flag_str))
    row("vectorized_baw_implied_vol", batch, n)
    one = best_of(args.repeat, lambda: korvane.implied_vol(prices, S, K, D, F, flags))
    row("korvane.implied_vol, workers=1", one, n, batch=batch)
    for w in (2, -1):
        t = best_of(args.repeat, lambda: korvane.implied_vol(prices, S, K, D, F, flags, workers=w))
        row(f"korvane.implied_vol, workers={w}", t, n, batch=batch, **{"workers=1": one})

    # The accurate American engine and European volatilities: workers on fewer contracts.
    for method, m in (("alo", min(n, args.alo_n)), ("european", n)):
        print(f"method={method!r}, {m} contracts")
        part = [a[:m] for a in (prices, S, K, D, F, flags)]
        for name, fn in (("price", lambda w: korvane.price(*part[1:5], sigma[:m], part[5], method=method,
                                                             workers=w)),
                         ("implied_vol", lambda w: korvane.implied_vol(*part, method=method, workers=w))):
            one = best_of(args.repeat, lambda: fn(1))
            row(f"korvane.{name}, workers=1", one, m)
            two = best_of(args.repeat, lambda: fn(2))
            row(f"korvane.{name}, workers=2", two, m, **{"workers=1": one})

    try:
        import dask
        import dask.array as da
    except ImportError:
        print("dask not installed: Dask rows skipped")
        return
    m = args.dask_n
    big = [np.resize(a, m) for a in (prices, S, K, D, F, flags)]
    single = best_of(1, lambda: korvane.implied_vol(*big))
    chunks = m // 8
    lazy = [da.from_array(a, chunks=chunks) for a in big]
    with dask.config.set(scheduler="threads", num_workers=2):
        threaded = best_of(1, lambda: korvane.implied_vol(*lazy).compute())
    print(f"Dask, {m} implied volatilities in chunks of {chunks}")
    row("korvane.implied_vol on NumPy, one thread", single, m)
    row("korvane.implied_vol on Dask, 2 threads", threaded, m, **{"one thread": single})


if __name__ == "__main__":
    main()
