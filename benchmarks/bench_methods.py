"""The American methods side by side: korvane's method="baw" and method="alo"
against QuantLib's fixed-point engine (QdFpAmericanEngine, fast and accurate
schemes), per price and per implied volatility, with their errors against one
reference (QuantLib's high-precision scheme).

A script, not a test: python benchmarks/bench_methods.py [--n N]
(needs QuantLib: pip install QuantLib)

The grid: quotable American puts and calls with dividends, 1 week to 5 years,
strikes 0.8-1.2 of spot, vol 0.1-0.8, rates 1-10%, yields 0-4%; "quotable"
means a price of at least 0.01 and a vega of at least 0.01 per vol point.
Volatility errors are those of inverting the reference price with each
engine, in vol points (0.01 of annual volatility); QuantLib's implied
volatility is Brent's method (SciPy's brentq, xtol 1e-10) on its engine.
"""
import argparse
import math
import os
import time

import numpy as np

from _quantlib import FlatMarket
import korvane
from korvane import bsm


def grid(n, seed=15):
    rng = np.random.default_rng(seed)
    days = np.round(np.exp(rng.uniform(np.log(7), np.log(5 * 365), n)))
    return dict(S=np.full(n, 100.0), K=100.0 * rng.uniform(0.8, 1.2, n), T=days / 365, days=days.astype(int),
                r=rng.uniform(0.01, 0.10, n), q=rng.uniform(0.0, 0.04, n), vol=rng.uniform(0.1, 0.8, n),
                flag=np.where(rng.uniform(size=n) < 0.5, "c", "p"))


class QuantLibPricer:
    """One contract at a time through QuantLib's QdFp engine on `scheme`."""

    def __init__(self, scheme):
        self.market = FlatMarket()
        ql = self.market.ql
        self.engine = ql.QdFpAmericanEngine(self.market.process, getattr(ql.QdFpAmericanEngine, scheme)())

    def option(self, c, vol=math.nan):
        return self.market.option(self.engine, c["flag"] == "c", c["S"], c["K"], c["days"], c["r"], c["q"], vol)

    def price(self, c, vol):
        return self.option(c, vol).NPV()

    def implied_vol(self, c, target):
        return self.market.implied_vol(self.option(c), target)


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def stats(err):
    err = np.abs(err)
    return f"median {np.nanmedian(err):.1e}, 95th pct {np.nanquantile(err, 0.95):.1e}, worst {np.nanmax(err):.1e}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--ql-iv", type=int, default=200, help="contracts for QuantLib's implied vols")
    args = parser.parse_args()
    g = grid(args.n)
    contracts = [dict(zip(g, values)) for values in zip(*g.values())]
    print(f"{os.cpu_count()} cores; reference: QuantLib QdFp high-precision scheme")

    ref_pricer = QuantLibPricer("highPrecisionScheme")
    reference, t_ref = timed(lambda: np.array([ref_pricer.price(c, c["vol"]) for c in contracts]))
    args_rate = (g["S"], g["K"], g["T"], g["r"], g["q"])
    vega = bsm.greeks(*args_rate, g["vol"], g["flag"], method="alo").vega / 100
    quotable = (reference >= 0.01) & (vega >= 0.01)
    idx = np.flatnonzero(quotable)
    print(f"{len(idx)} quotable contracts of {args.n}; QuantLib high precision {t_ref / args.n * 1e6:.0f} us per price")
    sel = {k: v[idx] for k, v in g.items()}
    ref_q = reference[idx]
    n = len(idx)
    rate = (sel["S"], sel["K"], sel["T"], sel["r"], sel["q"])

    print(f"\n{'engine':<34}{'us/price':>10}{'us/IV':>10}   price error (relative) | vol error (vol points)")
    for method in ("baw", "alo"):
        for workers in (1, 2):
            if method == "baw" and workers == 2:
                continue
            prices, tp = timed(lambda: bsm.price(*rate, sel["vol"], sel["flag"], method=method, workers=workers))
            vols, tv = timed(lambda: bsm.implied_vol(ref_q, *rate, sel["flag"], method=method, workers=workers))
            label = f"korvane {method}" + (f", workers={workers}" if method == "alo" else "")
            print(f"{label:<34}{tp / n * 1e6:>10.2f}{tv / n * 1e6:>10.1f}   "
                  f"{stats(prices / ref_q - 1)} | {stats((vols - sel['vol']) * 100)}")

    m = min(args.ql_iv, n)
    for scheme in ("fastScheme", "accurateScheme"):
        pricer = QuantLibPricer(scheme)
        chosen = [contracts[i] for i in idx]
        prices, tp = timed(lambda: np.array([pricer.price(c, c["vol"]) for c in chosen]))
        vols, tv = timed(lambda: np.array([pricer.implied_vol(c, p) for c, p in zip(chosen[:m], ref_q[:m])]))
        print(f"{'QuantLib QdFp ' + scheme:<34}{tp / n * 1e6:>10.2f}{tv / m * 1e6:>10.1f}   "
              f"{stats(prices / ref_q - 1)} | {stats((vols - sel['vol'][:m]) * 100)}  (IV on {m})")


if __name__ == "__main__":
    main()
