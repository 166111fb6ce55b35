"""What treating cash dividends as a yield costs: the implied volatilities of
American quotes on a stock that pays cash, by the two shortcuts a user has
without method="fd" and by method="fd", against the volatility that made
the quotes.

A script, not a test: python benchmarks/bench_dividends.py

The quotes: S = 100, r = 4.5%, vol 30%, $1.00 every quarter (ex-dates at
1.5, 4.5, 7.5, ... months), strikes 80-120, maturities 3 months to 2 years,
calls and puts; each priced by the finite-difference engine on a much finer
scheme (the converged reference of benchmarks/bench_fd.py).  The shortcuts,
both on the accurate engine (method="alo"):
- a yield matched to the dividend forward: q with S e^{(r-q)T} = F, F the
  forward with the dividends as cash;
- an escrowed spot: S less the dividends' present value, no yield.
"""
import numpy as np

from korvane import bsm
from korvane import ufuncs as u

REFERENCE = [1000, 500, 40, 8.0, 0.5, 2.0, 4, 1, 0]  # FdScheme's fields, as bench_fd.py
S, R, VOL = 100.0, 0.045, 0.30
TIMES = 0.125 + 0.25 * np.arange(8)
AMOUNTS = np.ones(8)


def quotes():
    K, T, call = (a.ravel() for a in np.meshgrid([80.0, 90.0, 100.0, 110.0, 120.0], [0.25, 1.0, 2.0],
                                                 [True, False], indexing="ij"))
    D, F, sigma = bsm.to_forward_form(S, T, R, 0.0, VOL, dividends=(TIMES, AMOUNTS))
    fractions = TIMES / T[:, None]
    prices = u._fd_price_scheme(S, K, D, F, sigma, call, REFERENCE, fractions, np.broadcast_to(AMOUNTS, fractions.shape))
    return K, T, call, F, prices


def main():
    K, T, call, F, prices = quotes()
    flags = np.where(call, "c", "p")
    matched_q = bsm.implied_yield(F, S, T, R)
    pv = (AMOUNTS * np.exp(-R * TIMES) * (TIMES < T[:, None])).sum(axis=1)
    rows = {
        "yield matched to the forward, alo": bsm.implied_vol(prices, S, K, T, R, matched_q, flags, method="alo"),
        "escrowed spot, alo": bsm.implied_vol(prices, S - pv, K, T, R, 0.0, flags, method="alo"),
        "cash dividends, fd": bsm.implied_vol(prices, S, K, T, R, 0.0, flags, method="fd",
                                              dividends=(TIMES, AMOUNTS)),
    }
    print(f"{len(prices)} quotes: error of the implied volatility, in vol points (0.01 of annual vol)")
    print(f"  {'':<36}{'median':>10}{'worst':>10}")
    for name, vols in rows.items():
        err = np.abs(vols - VOL) * 100
        print(f"  {name:<36}{np.median(err):>10.3g}{np.max(err):>10.3g}")


if __name__ == "__main__":
    main()
