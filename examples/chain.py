"""Forward, volatility smile and Greeks of a chain of American options, in pandas.

Reads the sample chain in examples/data/chain.csv (made by make_chain.py
with a known forward) into a DataFrame, estimates the forward with
korvane.forward, inverts every call and put with korvane.implied_vol, adds
delta and vega from korvane.greeks, prints the table and, when matplotlib is
installed, saves the smile as a PNG.

    python examples/chain.py [--csv FILE] [--png FILE]
"""
import argparse
import math
from pathlib import Path

import numpy as np
import pandas as pd

import korvane

HERE = Path(__file__).parent


def read_chain(path):
    """(metadata dict, DataFrame of strike, call and put) from the chain CSV."""
    with open(path) as f:
        header = f.readline().lstrip("# ").split()
    meta = {key: float(value) for key, value in (item.split("=") for item in header)}
    return meta, pd.read_csv(path, comment="#")


def plot_smile(path, smile, forward, expiry):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=120)
    # Options without time value have no volatility to show.
    vols = smile.where(smile > 0) * 100
    ax.plot(vols.index, vols["call"], "o-", label="calls", color="tab:blue")
    ax.plot(vols.index, vols["put"], "s--", label="puts", color="tab:orange", markersize=4)
    ax.axvline(forward, color="grey", linestyle=":", label=f"forward {forward:.2f}")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility (% per year)")
    ax.set_title(f"BAW implied volatility smile, {expiry:g}-year expiry")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--csv", default=HERE / "data" / "chain.csv", type=Path)
    parser.add_argument("--png", default=HERE / "smile.png", type=Path)
    args = parser.parse_args()

    meta, chain = read_chain(args.csv)
    S, D, T = meta["spot"], meta["discount"], meta["expiry"]
    forward = float(korvane.forward(chain.call, chain.put, chain.strike, S, D))

    # One row per option: the flags are the column names "call" and "put".
    quotes = chain.melt(id_vars="strike", var_name="type", value_name="price")
    quotes["sigma"] = korvane.implied_vol(quotes.price, S, quotes.strike, D, forward, quotes.type)
    greeks = korvane.greeks(S, quotes.strike, D, forward, quotes.sigma, quotes.type, T=T)
    quotes["vol"] = quotes.sigma / math.sqrt(T)                # annual volatility
    quotes["delta"] = greeks.delta
    quotes["vega"] = greeks.vega * math.sqrt(T) / 100           # per volatility point
    table = quotes.pivot(index="strike", columns="type", values=["vol", "delta", "vega"])

    print(f"spot {S:g}, discount factor {D:.6f}, expiry {T:g} years")
    print(f"forward: estimated {forward:.6f}, true {meta['forward']:.6f}, "
          f"relative error {forward / meta['forward'] - 1:.1e}")
    shown = table.copy()
    shown["vol"] = shown["vol"].map(lambda v: f"{v:.4%}" if v > 0 else "-" if v == 0 else "n/a")
    with pd.option_context("display.float_format", "{:.4f}".format, "display.width", 120):
        print(shown)
    print("-: price without time value (exercise now); n/a: no solution")
    gap = (table["vol"]["call"] - table["vol"]["put"]).where(np.minimum(table["vol"]["call"], table["vol"]["put"]) > 0)
    print(f"largest call - put volatility gap: {gap.abs().max():.1e}")

    try:
        plot_smile(args.png, table["vol"], forward, T)
    except ImportError:
        print('matplotlib not installed: pip install "korvane[plot]" for the smile plot')
    else:
        print(f"smile plot saved to {args.png}")


if __name__ == "__main__":
    main()
