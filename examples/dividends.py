"""A chain on a stock that pays cash dividends: what the schedule changes.

Builds the quotes of a single stock (spot 100, $0.80 every quarter, the first
ex-date in three weeks, a 4.5% rate and a smile), American calls and puts on
four expiries from 2 months to 2 years, priced with the dividends as cash by
method="fd" and quoted 2 cents either side.  Then reads them back twice with
korvane.chain.analyze: with the schedule (method="fd"), which gives back the
smile that made them, and as most tools do, with a dividend yield implied by
each expiry's forward (method="alo"), which misses it by most of a vol point.

    python examples/dividends.py
"""
import numpy as np
import pandas as pd

from korvane import bsm, chain

SPOT, RATE = 100.0, 0.045
EX_DATES = pd.to_datetime("2026-01-05") + pd.to_timedelta(21 + 91 * np.arange(9), unit="D")
AMOUNTS = np.full(len(EX_DATES), 0.80)


def smile(K, T):
    """The volatility that makes the quotes: 28% at the money, skewed."""
    x = np.log(K / SPOT) / np.sqrt(T)
    return 0.28 - 0.06 * x + 0.04 * x * x


def quotes(valuation):
    rows = []
    times = ((EX_DATES - valuation).days / 365.0).to_numpy()
    for expiry in pd.to_datetime(["2026-03-06", "2026-06-19", "2026-12-18", "2028-01-21"]):
        T = (expiry - valuation).days / 365.0
        K = np.arange(70.0, 131.0, 5.0)
        for kind in ("call", "put"):
            price = bsm.price(SPOT, K, T, RATE, 0.0, smile(K, T), kind, method="fd", dividends=(times, AMOUNTS))
            rows += [(expiry, k, kind, p - 0.02, p + 0.02) for k, p in zip(K, price)]
    return pd.DataFrame(rows, columns=["expiry", "strike", "type", "bid", "ask"])


def main():
    valuation = pd.Timestamp("2026-01-05")
    table = quotes(valuation)
    cash = chain.analyze(table, SPOT, RATE, valuation_date=valuation, method="fd", dividends=(EX_DATES, AMOUNTS))
    as_yield = chain.analyze(table, SPOT, RATE, valuation_date=valuation, method="alo")
    T = cash.quotes["T"].to_numpy()
    truth = smile(cash.quotes.strike.to_numpy(), T)
    otm = cash.quotes.otm & (cash.quotes.reason == "")
    err = pd.DataFrame({"expiry": cash.quotes.expiry,
                        "cash, fd": (cash.quotes.iv - truth).abs() * 100,
                        "yield, alo": (as_yield.quotes.iv - truth).abs() * 100})[otm]
    print(f"{len(table)} quotes on a stock paying ${AMOUNTS[0]:.2f} a quarter; per expiry:")
    summary = pd.DataFrame({"forward": cash.expiries.forward, "borrow beyond the dividends (%)":
                            100 * cash.expiries["yield"], "implied yield, alo (%)": 100 * as_yield.expiries["yield"]})
    with pd.option_context("display.width", 120, "display.precision", 4):
        print(summary)
        print("\nworst error of the out-of-the-money volatilities, in vol points:")
        print(err.groupby("expiry").max())


if __name__ == "__main__":
    main()
