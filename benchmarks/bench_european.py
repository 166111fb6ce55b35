"""European implied volatilities: korvane's method="european" against BAW's
implied vol and against py_vollib_vectorized, per element and in accuracy on
the round trip price -> vol.

A script, not a test: python benchmarks/bench_european.py [--n N]
(first the prices' accuracy against mpmath, in units of the last place)

The prices are exact to the last digits (Black's formula in mpmath on a sample,
korvane's own European price on the rest, which matches mpmath to a few ulp),
out of the money on both wings, strikes 1e-3 to 1e3 times the forward and
total standard deviations 1e-4 to 5.  py_vollib_vectorized 0.1.1 runs with
numba 0.59.1, NumPy 1.26, py_vollib 1.0.1 and py_lets_be_rational 1.0.1 (the
versions it was written for; newer ones fail to compile it); without it that
row is skipped.
"""
import argparse
import math

import numpy as np

import korvane
from bench_iv import best_of


def chain(n, seed=3):
    """Forward 100, discount 0.97 (r = 3%, T = 1), random out-of-the-money contracts."""
    rng = np.random.default_rng(seed)
    K = 100.0 * np.exp(rng.uniform(np.log(1e-3), np.log(1e3), n))
    sigma = np.exp(rng.uniform(np.log(1e-4), np.log(5.0), n))
    flags = np.where(K >= 100.0, "c", "p")
    prices = korvane.price(100.0, K, 0.97, 100.0, sigma, flags, method="european")
    keep = prices > 1e-280  # representable time value
    return prices[keep], K[keep], sigma[keep], flags[keep]


def accuracy(label, vols, sigma):
    rel = np.abs(vols / sigma - 1)
    bad = ~np.isfinite(rel)
    rel = np.where(bad, np.inf, rel)
    print(f"    {label:<34} round trip: median {np.median(rel):.1e}, 99th pct {np.quantile(rel, 0.99):.1e}, "
          f"worst {rel.max():.1e} relative in vol; {bad.sum()} not solved")


def price_accuracy(n=20_000, seed=5):
    """Prices against Black's formula in mpmath (40 digits), in units of the
    last place, by the price's sensitivity vega sigma/price: the rounding of
    ln(F/K) moves the price by that many of its own relative units."""
    import mpmath as mp

    mp.mp.dps = 40
    rng = np.random.default_rng(seed)
    k, s = np.exp(rng.uniform(-3, 3, n)), np.exp(rng.uniform(np.log(1e-4), np.log(5.0), n))
    flags = rng.choice(["c", "p"], n)
    got = korvane.price(100.0, 100.0 * k, 0.97, 100.0, s, flags, method="european")
    ulps, sensitivity = [], []
    for g, kk, ss, f in zip(got, k, s, flags):
        K, F, D, sg = mp.mpf(100.0 * kk), mp.mpf(100), mp.mpf(0.97), mp.mpf(ss)
        d1 = mp.log(F / K) / sg + sg / 2
        d2 = d1 - sg
        want = D * (F * mp.ncdf(d1) - K * mp.ncdf(d2)) if f == "c" else D * (K * mp.ncdf(-d2) - F * mp.ncdf(-d1))
        if want > 1e-300:
            ulps.append(float(abs(mp.mpf(g) - want) / np.spacing(float(want))))
            sensitivity.append(float(D * F * mp.npdf(d1)) * ss / float(want))
    ulps, sensitivity = np.array(ulps), np.array(sensitivity)
    print(f"prices against mpmath, {len(ulps)} contracts (K/F e^-3 to e^3, sigma 1e-4 to 5), error in ulp:")
    for lo, hi in [(0, 3), (3, 10), (10, 100), (100, np.inf)]:
        m = (sensitivity >= lo) & (sensitivity < hi)
        print(f"  vega sigma/price in [{lo:g}, {hi:g}): {m.sum():6d} contracts, median {np.median(ulps[m]):.2f}, "
              f"worst {ulps[m].max():.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    price_accuracy()
    prices, K, sigma, flags = chain(args.n)
    n = len(prices)
    D, r, T = 0.97, -math.log(0.97), 1.0
    print(f"{n} out-of-the-money European contracts, F = 100, D = 0.97")

    t = best_of(args.repeat, lambda: korvane.implied_vol(prices, 100.0, K, D, 100.0, flags, method="european"))
    print(f"  korvane method='european'   {t / n * 1e6:8.3f} us per element")
    accuracy("korvane", korvane.implied_vol(prices, 100.0, K, D, 100.0, flags, method="european"), sigma)
    for w in (2,):
        tw = best_of(args.repeat, lambda: korvane.implied_vol(prices, 100.0, K, D, 100.0, flags,
                                                              method="european", workers=w))
        print(f"  korvane, workers={w}          {tw / n * 1e6:8.3f} us per element ({t / tw:.2f}x)")

    # BAW on a sample (it is thousands of times slower); same contracts, American IV
    m = min(n, 20_000)
    tb = best_of(1, lambda: korvane.implied_vol(prices[:m], 100.0, K[:m], D, 100.0, flags[:m]))
    print(f"  korvane method='baw'        {tb / m * 1e6:8.3f} us per element "
          f"(european is {tb / m / (t / n):.0f}x faster)")

    try:
        from py_vollib_vectorized import vectorized_implied_volatility_black
    except ImportError as exc:
        print(f"  py_vollib_vectorized: SKIPPED ({exc})")
        return
    flag_arr = flags.astype(object)
    vectorized_implied_volatility_black(prices[:10], 100.0, K[:10], r, T, flag_arr[:10], return_as="numpy")  # JIT
    tp = best_of(args.repeat, lambda: vectorized_implied_volatility_black(prices, 100.0, K, r, T, flag_arr,
                                                                           return_as="numpy"))
    print(f"  py_vollib_vectorized        {tp / n * 1e6:8.3f} us per element "
          f"(korvane is {tp / t:.2f}x faster)")
    vols = vectorized_implied_volatility_black(prices, 100.0, K, r, T, flag_arr, return_as="numpy")
    accuracy("py_vollib_vectorized", vols * math.sqrt(T), sigma)


if __name__ == "__main__":
    main()
