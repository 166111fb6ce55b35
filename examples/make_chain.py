"""Write the sample option chain examples/data/chain.csv.

American calls and puts on one expiry, priced with korvane's own
Barone-Adesi-Whaley price from a known forward and a volatility skew, so
that examples/chain.py can show the forward coming back.
"""
import math
from pathlib import Path

from korvane.vantrel import baw_price

SPOT = 250.0
EXPIRY = 0.5        # years
RATE = 0.045        # continuously compounded
DIVIDEND = 0.015    # continuous yield
STRIKES = [180.0 + 5.0 * i for i in range(29)]   # 180 .. 320

OUT = Path(__file__).with_name("data") / "chain.csv"


def skew_vol(strike, forward):
    """Annual volatility: a downward skew with some smile, 18% to 45%."""
    m = math.log(strike / forward)
    return min(0.45, max(0.18, 0.26 - 0.30 * m + 0.60 * m * m))


def main():
    D = math.exp(-RATE * EXPIRY)
    F = SPOT * math.exp((RATE - DIVIDEND) * EXPIRY)
    lines = [
        f"# spot={SPOT!r} discount={D!r} forward={F!r} expiry={EXPIRY!r}",
        "strike,call,put",
    ]
    for K in STRIKES:
        sigma = skew_vol(K, F) * math.sqrt(EXPIRY)
        call = baw_price(SPOT, K, D, F, sigma, "c")
        put = baw_price(SPOT, K, D, F, sigma, "p")
        lines.append(f"{K:g},{call:.6f},{put:.6f}")
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(STRIKES)} strikes to {OUT}")


if __name__ == "__main__":
    main()
