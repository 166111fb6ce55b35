"""The vector paths: every instruction set the kernels run on gives the
portable code's doubles, for each engine that has vector code."""
import os
import subprocess
import sys

import numpy as np
import pytest

import korvane.ufuncs as u
import reference as ref

# Contracts across every regime: maturities of a day to 30 years, negative
# and high rates and yields, vols of 2% to 200%, strikes far either side; a
# strike chain (boundary reuse) and dividend payers on the finite-difference
# engine's lanes.
WORKLOAD = """
import sys
import numpy as np
import korvane.ufuncs as u
rng = np.random.default_rng(11)
n = 600
T = np.exp(rng.uniform(np.log(1 / 365), np.log(30), n))
r, q = rng.uniform(-0.02, 0.15, n), rng.uniform(-0.03, 0.12, n)
S, K = 100.0, 100 * np.exp(rng.normal(0, 0.3, n))
D, F = np.exp(-r * T), 100 * np.exp((r - q) * T)
sigma = np.exp(rng.uniform(np.log(0.02), np.log(2.0), n)) * np.sqrt(T)
call = rng.uniform(size=n) < 0.5
price = u.alo_price(S, K, D, F, sigma, call)
out = [price, *u.alo_greeks(S, K, D, F, sigma, call, T),
       u.alo_implied_vol(price[:150], S, K[:150], D[:150], F[:150], call[:150]),
       u.alo_price(S, np.linspace(60, 140, 41), 0.95, 101.0, 0.15, False),
       u.fd_price(S, K[:60], D[:60], F[:60], sigma[:60], call[:60], T[:60], T[:60, None] * [0.3, 0.7], [1.0, 1.5])]
np.save(sys.argv[1] if len(sys.argv) > 1 else "out.npy", np.concatenate([np.ravel(x) for x in out]))
"""
LEVELS = ["scalar", "avx2", "avx512"]
BEST = "import korvane.ufuncs as u; print(u._simd)"


@pytest.fixture(scope="module")
def best(tmp_path_factory):
    """The CPU's best level, whatever KORVANE_SIMD says in this process."""
    env = {k: v for k, v in os.environ.items() if k != "KORVANE_SIMD"}
    out = subprocess.run([sys.executable, "-P", "-c", BEST], capture_output=True, text=True, check=True,
                         env=env, cwd=tmp_path_factory.mktemp("best"))
    return out.stdout.strip()


@pytest.mark.parametrize("level", LEVELS[:-1])
def test_every_vector_path_gives_the_portable_doubles(run_python, tmp_path, best, level):
    if LEVELS.index(level) >= LEVELS.index(best):
        pytest.skip(f"the CPU's best is {best}")
    run_python(WORKLOAD, env={"KORVANE_SIMD": None})
    run_python(WORKLOAD.replace('"out.npy"', '"lower.npy"'), env={"KORVANE_SIMD": level})
    top, lower = np.load(tmp_path / "out.npy"), np.load(tmp_path / "lower.npy")
    assert not np.all(np.isnan(top))
    assert ref.bits(lower) == ref.bits(top)


def test_the_level_asked_for(run_python, best):
    # "scalar" forces the portable code; an unknown or absent value takes the CPU's best
    for asked, expected in [("scalar", "scalar"), ("nonsense", best), (None, best)]:
        assert run_python(BEST, env={"KORVANE_SIMD": asked}).stdout.strip() == expected
