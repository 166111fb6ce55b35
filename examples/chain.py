"""Forward and volatility smile of a chain of American options.

Reads the sample chain in examples/data/chain.csv (made by make_chain.py
with a known forward), estimates the forward with find_forward_baw, inverts
every call and put with vectorized_baw_implied_vol, prints the smile and, when
matplotlib is installed, saves it as a PNG.

    python examples/chain.py [--csv FILE] [--png FILE]
"""
import argparse
import csv
import math
from pathlib import Path

import numpy as np

from korvane.vantrel import find_forward_baw, vectorized_baw_implied_vol

HERE = Path(__file__).parent


def read_chain(path):
    """(metadata dict, strikes, calls, puts) from the chain CSV."""
    with open(path, newline="") as f:
        header = f.readline().lstrip("# ").split()
        meta = {key: float(value) for key, value in (item.split("=") for item in header)}
        rows = list(csv.DictReader(f))
    columns = (np.array([float(row[name]) for row in rows]) for name in ("strike", "call", "put"))
    return (meta, *columns)


def show_vol(vol):
    """A volatility as a percentage; 0.0 (no time value) and NaN as marks."""
    if vol > 0:
        return f"{vol:.4%}"
    return "-" if vol == 0 else "n/a"


def plot_smile(path, strikes, call_vols, put_vols, forward, expiry):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=120)
    # Options without time value have no volatility to show.
    call_vols = np.where(call_vols > 0, call_vols, np.nan)
    put_vols = np.where(put_vols > 0, put_vols, np.nan)
    ax.plot(strikes, call_vols * 100, "o-", label="calls", color="tab:blue")
    ax.plot(strikes, put_vols * 100, "s--", label="puts", color="tab:orange", markersize=4)
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

    meta, strikes, calls, puts = read_chain(args.csv)
    S, D, expiry = meta["spot"], meta["discount"], meta["expiry"]
    forward = find_forward_baw(calls, puts, strikes, S, D)

    # Total standard deviations, annualised for display.
    scale = 1.0 / math.sqrt(expiry)
    call_vols = vectorized_baw_implied_vol(calls, S, strikes, D, forward, "c") * scale
    put_vols = vectorized_baw_implied_vol(puts, S, strikes, D, forward, "p") * scale

    print(f"spot {S:g}, discount factor {D:.6f}, expiry {expiry:g} years")
    print(f"forward: estimated {forward:.6f}, true {meta['forward']:.6f}, "
          f"relative error {forward / meta['forward'] - 1:.1e}")
    print(f"{'strike':>8} {'call vol':>10} {'put vol':>10} {'call - put':>11}")
    for K, cv, pv in zip(strikes, call_vols, put_vols):
        diff = f"{cv - pv:+11.2e}" if cv > 0 and pv > 0 else ""
        print(f"{K:8.2f} {show_vol(cv):>10} {show_vol(pv):>10} {diff}")
    print("-: price without time value (exercise now); n/a: no solution")

    try:
        plot_smile(args.png, strikes, call_vols, put_vols, forward, expiry)
    except ImportError:
        print('matplotlib not installed: pip install "korvane[plot]" for the smile plot')
    else:
        print(f"smile plot saved to {args.png}")


if __name__ == "__main__":
    main()
