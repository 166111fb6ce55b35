"""Time per baw_price call for calls and puts in, at and out of the money.

A script, not a test: python benchmarks/bench_price.py [--repeat N]
"""
import argparse
import timeit

from korvane.vantrel import baw_price

# S, K, D, F, sigma: one year, r = 5%, q = 2%, vol = 25%.
D = 0.951229424500714
CASES = {
    "call ITM": (120.0, 100.0, D, 123.6545, 0.25, "c"),
    "call ATM": (100.0, 100.0, D, 103.0455, 0.25, "c"),
    "call OTM": (80.0, 100.0, D, 82.4364, 0.25, "c"),
    "put  ITM": (80.0, 100.0, D, 82.4364, 0.25, "p"),
    "put  ATM": (100.0, 100.0, D, 103.0455, 0.25, "p"),
    "put  OTM": (120.0, 100.0, D, 123.6545, 0.25, "p"),
    # A call that pays a dividend above the rate: early exercise matters.
    "call ATM, q > r": (100.0, 100.0, D, 97.0446, 0.25, "c"),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    print(f"{'contract':<18}{'price':>12}{'us/call':>10}")
    for name, contract in CASES.items():
        timer = timeit.Timer(lambda c=contract: baw_price(*c))
        best = min(timer.repeat(args.repeat, args.number)) / args.number
        print(f"{name:<18}{baw_price(*contract):>12.6f}{best * 1e6:>10.3f}")


if __name__ == "__main__":
    main()
