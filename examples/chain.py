"""Forward, volatility smile and Greeks of a chain of American options, in pandas.

Reads the sample chain in examples/data/chain.csv (made by make_chain.py
with a known forward) into a DataFrame, estimates the forward with
korvane.forward, inverts every call and put with korvane.implied_vol, adds
delta and vega from korvane.greeks and prints the table.  Then takes a real
chain, SPY's end-of-day quotes of 2026-02-10 (examples/data/spy_2026-02-10.csv,
six expiries to 2.8 years), and shows what the accurate American engine
changes against Barone-Adesi-Whaley: the forward (and the dividend yield it
implies) and the smile of every expiry.  When matplotlib is installed it
saves both smiles of the longest expiry as a PNG.

    python examples/chain.py [--csv FILE] [--spy FILE] [--png FILE]
"""
import argparse
import math
from pathlib import Path

import numpy as np
import pandas as pd

import korvane
from korvane import bsm

HERE = Path(__file__).parent
RATE = 0.04   # a flat rate for 2026-02-10 (the quotes carry none)


def read_chain(path):
    """(metadata dict, DataFrame of strike, call and put) from the chain CSV."""
    with open(path) as f:
        header = f.readline().lstrip("# ").split()
    meta = {key: float(value) for key, value in (item.split("=") for item in header)}
    return meta, pd.read_csv(path, comment="#")


def spy_quotes(path):
    """Mid prices of the SPY chain, skipping quotes a desk would not trust."""
    quotes = pd.read_csv(path)
    quotes = quotes[(quotes.bid > 0) & (quotes.ask >= quotes.bid)].copy()
    quotes["mid"] = (quotes.bid + quotes.ask) / 2
    return quotes


def spy_forwards(quotes, method):
    """One forward per expiry from the strikes quoted on both sides."""
    rows = []
    for expiry, group in quotes.groupby("expiry"):
        both = group.pivot_table(index="strike", columns="option_type", values="mid").dropna()
        S, T = group.S.iloc[0], group['T'].iloc[0]
        F = float(bsm.forward(both.call, both.put, both.index, S, T, RATE, 0.02, method=method))
        rows.append((expiry, T, S, F))
    return pd.DataFrame(rows, columns=["expiry", "T", "S", "F"]).set_index("expiry")


def spy_smiles(quotes, forwards, method):
    """Annual implied volatility of every quote at its expiry's own forward."""
    fwd = forwards.loc[quotes.expiry]
    D, T = np.exp(-RATE * fwd["T"].to_numpy()), fwd["T"].to_numpy()
    sigma = korvane.implied_vol(quotes.mid.to_numpy(), quotes.S.to_numpy(), quotes.strike.to_numpy(), D,
                                fwd.F.to_numpy(), quotes.option_type.to_numpy(), method=method, workers=-1)
    return pd.Series(sigma / np.sqrt(T), index=quotes.index)


def plot_smiles(path, quotes, expiry):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=120)
    last = quotes[(quotes.expiry == expiry) & (quotes.vol_alo > 0)]
    for kind, marker in (("call", "o"), ("put", "s")):
        side = last[last.option_type == kind]
        ax.plot(side.strike, side.vol_baw * 100, marker, mfc="none", ms=4, label=f"{kind}s, BAW")
        ax.plot(side.strike, side.vol_alo * 100, marker, ms=3, label=f"{kind}s, accurate (ALO)")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility (% per year)")
    ax.set_title(f"SPY {expiry} (quotes of 2026-02-10): American implied volatility by method")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def real_chain(path, png):
    quotes = spy_quotes(path)
    print(f"\nSPY, 2026-02-10, spot {quotes.S.iloc[0]:.2f}, rate {RATE:.0%}: {len(quotes)} quotes")
    forwards = {m: spy_forwards(quotes, m) for m in ("baw", "alo")}
    for m in ("baw", "alo"):
        quotes[f"vol_{m}"] = spy_smiles(quotes, forwards[m], m)
    table = pd.DataFrame({"T (years)": forwards["alo"]["T"]})
    for m in ("baw", "alo"):
        f = forwards[m]
        table[f"F {m}"] = f.F
        table[f"yield {m} (%/yr)"] = 100 * bsm.implied_yield(f.F, f.S, f["T"], RATE)
    atm = quotes[(quotes.strike / quotes.S - 1).abs() < 0.05]
    both = atm[(atm.vol_baw > 0) & (atm.vol_alo > 0)]
    table["ALO-BAW vol (vol pts, median, K/S 0.95-1.05)"] = \
        ((both.vol_alo - both.vol_baw) * 100).groupby(both.expiry).median()
    with pd.option_context("display.float_format", "{:.4f}".format, "display.width", 200, "display.max_columns", None):
        print(table)
    try:
        plot_smiles(png, quotes, forwards["alo"].index[-1])
    except ImportError:
        print('matplotlib not installed: pip install "korvane[plot]" for the smile plot')
    else:
        print(f"smiles of the longest expiry saved to {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--csv", default=HERE / "data" / "chain.csv", type=Path)
    parser.add_argument("--spy", default=HERE / "data" / "spy_2026-02-10.csv", type=Path)
    parser.add_argument("--png", default=HERE / "smile.png", type=Path)
    args = parser.parse_args()

    meta, chain = read_chain(args.csv)
    S, D, T = meta["spot"], meta["discount"], meta["expiry"]
    forward = float(korvane.forward(chain.call, chain.put, chain.strike, S, D))

    # One row per option: the flags are the column names "call" and "put".
    quotes = chain.melt(id_vars="strike", var_name="type", value_name="price")
    quotes["sigma"] = korvane.implied_vol(quotes.price, S, quotes.strike, D, forward, quotes.type)
    greeks = korvane.greeks(S, quotes.strike, D, forward, quotes.sigma, quotes.type, T=T)
    quotes["vol (%/yr)"] = quotes.sigma / math.sqrt(T)
    quotes["delta (/$S)"] = greeks.delta
    quotes["vega ($/vol pt)"] = greeks.vega * math.sqrt(T) / 100
    table = quotes.pivot(index="strike", columns="type",
                         values=["vol (%/yr)", "delta (/$S)", "vega ($/vol pt)"])

    print(f"spot {S:g}, discount factor {D:.6f}, expiry {T:g} years")
    print(f"forward: estimated {forward:.6f}, true {meta['forward']:.6f}, "
          f"relative error {forward / meta['forward'] - 1:.1e}")
    shown = table.copy()
    vol = "vol (%/yr)"
    shown[vol] = shown[vol].map(lambda v: f"{v:.4%}" if v > 0 else "-" if v == 0 else "n/a")
    with pd.option_context("display.float_format", "{:.4f}".format, "display.width", 200, "display.max_columns", None):
        print(shown)
    print("-: price without time value (exercise now); n/a: no solution")
    calls, puts = table[vol]["call"], table[vol]["put"]
    gap = (calls - puts).where(np.minimum(calls, puts) > 0)
    print(f"largest call - put volatility gap: {gap.abs().max():.1e}")

    real_chain(args.spy, args.png)


if __name__ == "__main__":
    main()
