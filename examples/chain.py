"""A real chain in, a volatility surface out: SPY's end-of-day quotes of 2026-02-10.

Reads examples/data/spy_2026-02-10.csv (1,568 American calls and puts, six
expiries from 8 days to 2.8 years, bids and asks), and hands it to
korvane.chain.analyze with a flat 4% rate: each expiry's forward, the
dividend yield it implies and its at-the-money volatility; each quote's
implied volatilities, Greeks and, where it has none, the reason.  Prints the
table of expiries and the reasons, then saves the out-of-the-money smiles
with their bid-ask bars and the term structure as PNGs (with matplotlib).
First, the sample chain examples/data/chain.csv (made by make_chain.py with
a known forward) shows the forward coming back.

    python examples/chain.py [--method baw|alo|european] [--spy FILE] [--png FILE]
"""
import argparse
import time
from pathlib import Path

import pandas as pd

from korvane import chain

HERE = Path(__file__).parent
RATE = 0.04   # a flat rate for 2026-02-10 (the quotes carry none)


def sample_chain(path):
    """The one-expiry sample chain: strikes down, call and put prices across."""
    with open(path) as f:
        meta = {k: float(v) for k, v in (item.split("=") for item in f.readline().lstrip("# ").split())}
    wide = pd.read_csv(path, comment="#")
    quotes = wide.melt(id_vars="strike", var_name="type", value_name="price").assign(expiry=meta["expiry"])
    # Its discount factor as given, for its one expiry (maturities in years here).
    result = chain.analyze(quotes, meta["spot"], {meta["expiry"]: meta["discount"]})
    F = result.expiries.forward.iloc[0]
    print(f"sample chain: forward {F:.6f}, true {meta['forward']:.6f} "
          f"(relative error {F / meta['forward'] - 1:.1e})\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--method", default="baw", choices=("baw", "alo", "european"))
    parser.add_argument("--sample", default=HERE / "data" / "chain.csv", type=Path)
    parser.add_argument("--spy", default=HERE / "data" / "spy_2026-02-10.csv", type=Path)
    parser.add_argument("--png", default=HERE / "spy_smiles.png", type=Path)
    parser.add_argument("--term-png", default=HERE / "spy_term_structure.png", type=Path)
    args = parser.parse_args()

    sample_chain(args.sample)

    quotes = pd.read_csv(args.spy).rename(columns={"option_type": "type"})
    start = time.perf_counter()
    result = chain.analyze(quotes, spot=692.12, rate=RATE, valuation_date="2026-02-10",
                           method=args.method)
    seconds = time.perf_counter() - start
    print(f"SPY on 2026-02-10, spot 692.12, rate {RATE:.0%}, method {args.method!r}: "
          f"{len(quotes)} quotes in {seconds:.2f} s")
    e = result.expiries
    table = pd.DataFrame({"T (years)": e["T"], "forward": e.forward, "yield (%)": 100 * e["yield"],
                          "pairs used": e.strikes_used, "ATM vol (%)": 100 * e.atm_vol, "status": e.status})
    with pd.option_context("display.width", 120, "display.precision", 3):
        print(table)
        print("\nquotes without a volatility, by reason:")
        print(result.quotes.reason[result.quotes.reason != ""].value_counts().to_string())
    try:
        result.plot_smiles(args.png)
        result.plot_term_structure(args.term_png)
    except ImportError as error:
        print(f"\nno pictures: {error}")
    else:
        print(f"\nsmiles saved to {args.png}\nterm structure saved to {args.term_png}")


if __name__ == "__main__":
    main()
