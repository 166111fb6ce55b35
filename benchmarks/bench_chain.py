"""korvane.chain.analyze on the real SPY chain of examples/data (1,568 quotes,
six expiries): the whole call by method and workers, and what the forward
search takes of it.

A script, not a test: python benchmarks/bench_chain.py [--repeat N] [--methods baw,alo]
"""
import argparse
import math
import os
from pathlib import Path

import numpy as np
import pandas as pd

import korvane
from bench_iv import best_of
from korvane import chain

SPY = Path(__file__).resolve().parents[1] / "examples" / "data" / "spy_2026-02-10.csv"
SPOT, RATE, DATE = 692.12, 0.04, "2026-02-10"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--methods", default="baw,alo")
    args = parser.parse_args()
    quotes = pd.read_csv(SPY).rename(columns={"option_type": "type"})
    print(f"{len(quotes)} quotes, {quotes.expiry.nunique()} expiries, {os.cpu_count()} cores")
    for method in args.methods.split(","):
        # One and two threads in turn, the best of each: on a shared machine a
        # burst of other work then spoils single runs, not a whole series.
        best = {1: math.inf, 2: math.inf}
        for _ in range(args.repeat):
            for workers in best:
                t = best_of(1, lambda: chain.analyze(quotes, SPOT, RATE, valuation_date=DATE,
                                                     method=method, workers=workers))
                best[workers] = min(best[workers], t)
        one = best[1]
        for workers, t in best.items():
            print(f"  {method:<8} workers={workers}  {t:7.3f} s  {one / t:5.2f}x")
        # The forward search alone, on the chains analyze built (one gufunc call).
        e = chain.analyze(quotes, SPOT, RATE, valuation_date=DATE, method=method).expiries
        q = quotes[(quotes.bid > 0) & (quotes.ask >= quotes.bid)].assign(mid=lambda d: (d.bid + d.ask) / 2)
        wide = q.pivot_table(index="expiry", columns=["strike", "type"], values="mid")
        calls = wide.xs("call", axis=1, level="type")
        puts = wide.xs("put", axis=1, level="type").reindex(columns=calls.columns.union(wide.columns.levels[0]))
        calls = calls.reindex(columns=puts.columns)
        strikes = np.broadcast_to(puts.columns.to_numpy(float), puts.shape)
        t = best_of(args.repeat, lambda: korvane.forward(calls.to_numpy(), puts.to_numpy(), strikes, SPOT,
                                                         e.D.to_numpy(), e.strike_pct.to_numpy(), method=method))
        print(f"  {method:<8} forward search alone   {t:7.3f} s  ({100 * t / one:.0f}% of the call)")


if __name__ == "__main__":
    main()
