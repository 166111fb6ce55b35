"""Implied-volatility throughput: one at a time, in one batch, and a batch
split across threads.

A script, not a test: python benchmarks/bench_iv.py [--n N] [--threads T]
"""
import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from korvane.vantrel import baw_implied_vol, baw_price, vectorized_baw_implied_vol


def contracts(n, seed=7):
    """Mixed calls and puts, 1 week to 2 years, 60% to 160% moneyness."""
    rng = np.random.default_rng(seed)
    t = rng.uniform(1 / 52, 2.0, n)
    S = np.full(n, 100.0)
    K = S * rng.uniform(0.6, 1.6, n)
    D = np.exp(-rng.uniform(0.0, 0.08, n) * t)
    F = S * np.exp(rng.uniform(-0.05, 0.08, n) * t)
    sigma = rng.uniform(0.08, 0.9, n) * np.sqrt(t)
    flags = np.where(rng.random(n) < 0.5, "c", "p")
    prices = np.array([baw_price(*row) for row in zip(S, K, D, F, sigma, flags)])
    return prices, S, K, D, F, flags


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.n
    prices, S, K, D, F, flags = contracts(n)
    rows = list(zip(prices.tolist(), S.tolist(), K.tolist(), D.tolist(), F.tolist(), flags.tolist()))
    flag_str = "".join(flags.tolist())

    scalar = best_of(args.repeat, lambda: [baw_implied_vol(*row) for row in rows])
    batch = best_of(args.repeat, lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flag_str))

    chunks = np.array_split(np.arange(n), args.threads)

    def part(idx):
        lo, hi = idx[0], idx[-1] + 1
        return vectorized_baw_implied_vol(prices[lo:hi], S[lo:hi], K[lo:hi], D[lo:hi], F[lo:hi],
                                          flag_str[lo:hi])

    with ThreadPoolExecutor(args.threads) as pool:
        threaded = best_of(args.repeat, lambda: list(pool.map(part, chunks)))

    solved = np.isfinite(vectorized_baw_implied_vol(prices, S, K, D, F, flag_str)).mean()
    print(f"{n} contracts, {solved:.1%} solved")
    print(f"baw_implied_vol, one call each:     {scalar / n * 1e6:8.2f} us per IV")
    print(f"vectorized_baw_implied_vol, 1 call: {batch / n * 1e6:8.2f} us per element")
    print(f"  split over {args.threads} threads:           {threaded / n * 1e6:8.2f} us per element"
          f"  ({batch / threaded:.2f}x)")


if __name__ == "__main__":
    main()
