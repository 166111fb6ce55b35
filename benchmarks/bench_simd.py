"""method="alo" on each vector instruction set the CPU has: price, implied
volatility and Greeks per contract on bench_methods.py's grid, each level in
its own interpreter (KORVANE_SIMD), the levels taking turns and the best of
the rounds kept, so that a machine's drift falls on all of them alike; and
whether every level returns the same doubles.

A script, not a test: python benchmarks/bench_simd.py [--n N] [--rounds R]
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

RUN = """
import json, sys, time
import numpy as np
sys.path.insert(0, {here!r})
from bench_methods import grid
from korvane import bsm
import korvane.ufuncs as u
g = grid({n})
args = (g["S"], g["K"], g["T"], g["r"], g["q"], g["vol"], g["flag"])
price = bsm.price(*args, method="alo")
out = {{"level": u._simd}}
for name, call in [("price", lambda: bsm.price(*args, method="alo")),
                   ("implied vol", lambda: bsm.implied_vol(price, *args[:5], args[6], method="alo")),
                   ("greeks", lambda: bsm.greeks(*args, method="alo"))]:
    start = time.perf_counter()
    result = call()
    out[name] = (time.perf_counter() - start) / {n} * 1e6
    out[name + " bits"] = np.asarray(result, float).tobytes().hex()
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    a = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    code = RUN.format(here=here, n=a.n)
    best, bits = {}, {}
    for _ in range(a.rounds):
        for asked in ("scalar", "avx2", "avx512"):
            env = dict(os.environ, KORVANE_SIMD=asked)
            out = json.loads(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                            text=True, check=True).stdout)
            level = out.pop("level")
            for key, value in out.items():
                if key.endswith("bits"):
                    bits.setdefault(key, {})[level] = value
                else:
                    best.setdefault(level, {})[key] = min(value, best.get(level, {}).get(key, np.inf))
    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}; {a.n} contracts, best of {a.rounds}")
    print(f"{'level':10s}" + "".join(f"{k:>16s}" for k in ("price", "implied vol", "greeks")) + "  (us a contract)")
    for level, times in best.items():
        print(f"{level:10s}" + "".join(f"{times[k]:16.1f}" for k in ("price", "implied vol", "greeks")))
    same = all(len(set(v.values())) == 1 for v in bits.values())
    print("every level the same doubles:", "yes" if same else "NO")


if __name__ == "__main__":
    main()
