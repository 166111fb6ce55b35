"""The finite-difference engine with cash dividends (korvane.ufuncs.fd_*)
against QuantLib's FdBlackScholesVanillaEngine at its default grid (100 time
steps, 100 spot nodes, the spot cash-dividend model) with the same dividends,
per price and per implied volatility, both measured against one reference:
korvane's engine on a much finer scheme (2000 nodes, 1000 steps,
extrapolated), which the tests check against QuantLib's engine on a fine
grid and against the accurate engine without dividends.

A script, not a test: python benchmarks/bench_fd.py [--n N] [--ql-iv M]
(needs QuantLib: pip install QuantLib)

The grid: American puts and calls, 1 week to 5 years (whole days), strikes
0.7-1.3 of spot, vol 0.1-0.8, rates -1% to 10%, yields (beyond the
dividends) -2% to 5%; quarterly (or monthly) ex-dates from a random first
one, at most 8, each 0.1%-3% of spot, a quarter of the contracts with an
ex-date the day before expiry.  "Quotable" means a price of at least 0.01
and a vega of at least 0.01 per vol point.  Price errors are in units of the
target, max(1e-5 price, 1e-7 S); volatility errors are those of inverting
the reference price, in vol points (0.01 of annual volatility).  QuantLib's
implied volatility is Brent's method (SciPy's brentq, xtol 1e-10) on its
engine.  Further tables price the same contracts on coarser and finer
settings, and dividend-free puts with q < r < 0 (two exercise boundaries,
which the accurate engine and fd_price both give to the finer
two-boundary scheme).  Times are the shortest of a few runs
(the machine may be shared).
"""
import argparse
import math
import os
import threading
import time

import numpy as np

from _quantlib import FlatMarket
from korvane import ufuncs as u

# Schemes in FdScheme's field order: nodes, steps, min_steps, width, density,
# time_power, damping, extrapolate, control.
REFERENCE = [1000, 500, 40, 8.0, 0.5, 2.0, 4, 1, 0]
SETTINGS = {"100x28": [100, 28, 4, 4.5, 0.75, 2.0, 2, 1, 0],
            "120x32": [120, 32, 5, 4.5, 0.75, 2.0, 2, 1, 0],
            "default": [120, 40, 6, 4.5, 0.75, 2.0, 2, 1, 0],
            "default+cv": [120, 40, 6, 4.5, 0.75, 2.0, 2, 1, 1],
            "140x48": [140, 48, 6, 4.5, 0.75, 2.0, 2, 1, 0],
            "200x96": [200, 96, 6, 4.5, 0.75, 2.0, 2, 1, 0],
            "300x150": [300, 150, 6, 4.5, 0.75, 2.5, 2, 1, 0],
            "two-bound.": [400, 200, 6, 4.5, 0.75, 2.5, 2, 1, 0]}


def grid(n, seed=17):
    """Contracts in whole days, with their schedules (days, amounts), NaN-padded to 8."""
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(n):
        days = int(round(math.exp(rng.uniform(math.log(7), math.log(5 * 365)))))
        K = 100 * math.exp(rng.uniform(math.log(0.7), math.log(1.3)))
        vol, r, q = rng.uniform(0.1, 0.8), rng.uniform(-0.01, 0.10), rng.uniform(-0.02, 0.05)
        period = 91 if rng.uniform() < 0.7 else 30
        ex = list(range(int(rng.integers(1, period + 1)), days, period))[:8]
        if rng.uniform() < 0.25 and days > 2:
            if ex and ex[-1] > days - period:
                ex[-1] = days - 1
            elif len(ex) < 8:
                ex.append(days - 1)
        amounts = list(100 * rng.uniform(0.001, 0.03, len(ex)))
        rows.append(dict(call=bool(rng.uniform() < 0.5), S=100.0, K=K, days=days, r=r, q=q, vol=vol,
                         ex=ex, amounts=amounts))
    return rows


def forward_form(c):
    """D, F, sigma and the schedule as fractions of the life (NaN-padded)."""
    T = c["days"] / 365
    b = c["r"] - c["q"]
    t = np.array(c["ex"], float) / 365
    a = np.array(c["amounts"], float)
    F = c["S"] * math.exp(b * T) - float(np.sum(a * np.exp(b * (T - t))))
    pad = np.full(8 - len(t), np.nan)
    return math.exp(-c["r"] * T), F, c["vol"] * math.sqrt(T), np.r_[t / T, pad], np.r_[a, pad]


def arrays(contracts):
    cols = [forward_form(c) for c in contracts]
    D, F, sigma, t, a = (np.array(x) for x in zip(*cols))
    S = np.array([c["S"] for c in contracts])
    K = np.array([c["K"] for c in contracts])
    call = np.array([c["call"] for c in contracts])
    return S, K, D, F, sigma, call, t, a


class QuantLibPricer:
    """One contract at a time through QuantLib's finite-difference engine at
    its default grid, with the contract's dividends."""

    def __init__(self):
        self.market = FlatMarket()

    def option(self, c):
        ql, m = self.market.ql, self.market
        dividends = ql.DividendVector([m.today + d for d in c["ex"]], [float(a) for a in c["amounts"]])
        engine = ql.FdBlackScholesVanillaEngine(m.process, dividends)
        return m.option(engine, c["call"], c["S"], c["K"], c["days"], c["r"], c["q"])

    def price(self, c):
        option = self.option(c)
        self.market.sig.setValue(c["vol"])
        return option.NPV()

    def implied_vol(self, c, target):
        return self.market.implied_vol(self.option(c), target)


def timed(fn, repeat=1):
    """fn's result and its shortest time over `repeat` runs (the machine is shared)."""
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return result, best


def two_threads(fn, args, repeat=1):
    """fn on two halves of the batch, one thread each; the shortest of `repeat` runs."""
    n = len(args[0])
    halves = [slice(0, n // 2), slice(n // 2, n)]
    out = [None, None]

    def run(k):
        out[k] = fn(*(a[halves[k]] for a in args))

    def both():
        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return np.concatenate(out)

    return timed(both, repeat)


def stats(x):
    x = np.abs(x)
    return f"median {np.nanmedian(x):.1e}, 95th pct {np.nanquantile(x, 0.95):.1e}, worst {np.nanmax(x):.1e}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=400)
    parser.add_argument("--ql-iv", type=int, default=40, help="contracts for QuantLib's implied vols")
    args = parser.parse_args()
    contracts = grid(args.n)
    S, K, D, F, sigma, call, t, a = arrays(contracts)
    print(f"{os.cpu_count()} cores; reference: korvane fd on {REFERENCE[0]}/{2 * REFERENCE[0]} nodes, extrapolated")

    reference, t_ref = timed(lambda: u._fd_price_scheme(S, K, D, F, sigma, call, REFERENCE, t, a))
    T = np.array([c["days"] / 365 for c in contracts])
    vega = u.fd_greeks(S, K, D, F, sigma, call, T, 1.0, t, a)[3] * np.sqrt(T) / 100
    quotable = (reference >= 0.01) & (vega >= 0.01)
    idx = np.flatnonzero(quotable)
    n = len(idx)
    print(f"{n} quotable contracts of {args.n}; the reference takes {t_ref / args.n * 1e3:.0f} ms a price")
    sel = [x[idx] for x in (S, K, D, F, sigma, call, t, a)]
    ref_q, S_q = reference[idx], S[idx]
    vols = sigma[idx] / np.sqrt(T[idx])
    tol = np.maximum(1e-5 * ref_q, 1e-7 * S_q)

    print(f"\n{'engine':<38}{'us/price':>10}{'us/IV':>10}   price error (relative) | in units of the target | vol error (vol points)")
    prices, tp = timed(lambda: u.fd_price(*sel[:6], 1.0, *sel[6:]), 3)
    ivs, tv = timed(lambda: u.fd_implied_vol(ref_q, *sel[:4], sel[5], 1.0, *sel[6:]), 3)
    print(f"{'korvane fd_price, one thread':<38}{tp / n * 1e6:>10.1f}{tv / n * 1e6:>10.1f}   "
          f"{stats(prices / ref_q - 1)} | {stats((prices - ref_q) / tol)} | "
          f"{stats((ivs / np.sqrt(T[idx]) - vols) * 100)}")
    prices2, tp2 = two_threads(lambda *x: u.fd_price(*x[:6], 1.0, *x[6:]), sel, 3)
    ivs2, tv2 = two_threads(lambda p, *x: u.fd_implied_vol(p, *x[:4], x[5], 1.0, *x[6:]), [ref_q] + sel, 3)
    same = np.array_equal(prices2, prices) and np.array_equal(ivs2, ivs, equal_nan=True)
    print(f"{'korvane fd, two threads on halves':<38}{tp2 / n * 1e6:>10.1f}{tv2 / n * 1e6:>10.1f}   "
          f"speed-up {tp / tp2:.2f}x (price), {tv / tv2:.2f}x (IV); same doubles: {same}")

    try:
        pricer = QuantLibPricer()
    except ImportError:
        print("QuantLib is not installed: no comparison")
        return
    chosen = [contracts[i] for i in idx]
    m = min(args.ql_iv, n)
    ql_prices, tq = timed(lambda: np.array([pricer.price(c) for c in chosen]), 2)
    ql_ivs, tqv = timed(lambda: np.array([pricer.implied_vol(c, p) for c, p in zip(chosen[:m], ref_q[:m])]))
    print(f"{'QuantLib FD, default grid':<38}{tq / n * 1e6:>10.1f}{tqv / m * 1e6:>10.1f}   "
          f"{stats(ql_prices / ref_q - 1)} | {stats((ql_prices - ref_q) / tol)} | "
          f"{stats((ql_ivs - vols[:m]) * 100)}  (IV on {m})")
    print(f"\nkorvane against QuantLib: {tq / tp:.1f}x faster a price, {tqv / m / (tv / n):.1f}x an implied vol; "
          f"median price error {np.median(np.abs(ql_prices / ref_q - 1)) / np.median(np.abs(prices / ref_q - 1)):.0f}x smaller")

    # Other settings on the same contracts (cv: the accurate engine's
    # dividend-free price as a control variate), one solve at a time (no
    # lanes: slower than fd_price for the default).
    print(f"\n{'setting':<12}{'us/price':>10}{'vs QL':>8}   price error (relative) | in units of the target  (one solve at a time)")
    for name, scheme in SETTINGS.items():
        if name in ("300x150", "two-bound."):
            continue
        got, ts = timed(lambda: u._fd_price_scheme(*sel[:6], scheme, *sel[6:]), 3)
        print(f"{name:<12}{ts / n * 1e6:>10.1f}{tq / ts:>7.1f}x   {stats(got / ref_q - 1)} | {stats((got - ref_q) / tol)}")

    # Two boundaries: dividend-free puts with q < r < 0.
    rng = np.random.default_rng(5)
    k = 200
    Tb = np.exp(rng.uniform(np.log(7 / 365), np.log(5.0), k))
    rb = rng.uniform(-0.03, -0.001, k)
    qb = rb - rng.uniform(0.001, 0.03, k)
    vb = rng.uniform(0.1, 0.8, k)
    Kb = 100 * np.exp(rng.uniform(np.log(0.7), np.log(1.3), k))
    Sb = np.full(k, 100.0)
    Db, Fb, sb = np.exp(-rb * Tb), Sb * np.exp((rb - qb) * Tb), vb * np.sqrt(Tb)
    none = np.full(0, 0.0)
    want = u._fd_price_scheme(Sb, Kb, Db, Fb, sb, False, REFERENCE, none, none)
    live = want - np.maximum(Kb - Sb, 0) > 1e-6 * Sb  # not exercised at the spot
    alo_tol = np.maximum(2e-7 * want, 1e-9 * Sb)  # the accurate engine's own promise
    print(f"\ntwo boundaries (puts, q < r < 0, no dividends), {live.sum()} contracts not exercised at the spot:")
    print(f"{'setting':<12}{'us/price':>10}   relative error | in units of max(2e-7 V, 1e-9 S)")
    got, tb = timed(lambda: u.fd_price(Sb, Kb, Db, Fb, sb, False, 1.0, none, none), 2)
    print(f"{'fd_price':<12}{tb / k * 1e6:>10.0f}   {stats((got / want - 1)[live])} | {stats(((got - want) / alo_tol)[live])}"
          "  (the two-boundary entry)")
    for name, scheme in SETTINGS.items():
        if name == "default+cv":
            continue
        got, tb = timed(lambda: u._fd_price_scheme(Sb, Kb, Db, Fb, sb, False, scheme, none, none), 2)
        print(f"{name:<12}{tb / k * 1e6:>10.0f}   {stats((got / want - 1)[live])} | {stats(((got - want) / alo_tol)[live])}")


if __name__ == "__main__":
    main()
