"""A user of the module's four functions and of the array API, type-checked with mypy --strict in CI."""
import numpy as np
import numpy.typing as npt

import korvane
from korvane import ufuncs
from korvane.vantrel import (
    baw_implied_vol,
    baw_price,
    find_forward_baw,
    vectorized_baw_implied_vol,
)

price: float = baw_price(100, 100.0, 0.96, 102.0, 0.2, "p")
vol: float = baw_implied_vol(price, S=100.0, K=100, D=0.96, F=np.float64(102.0), flag="p")
strikes = np.linspace(90.0, 110.0, 5)
calls = [baw_price(100.0, k, 0.96, 102.0, 0.2, "c") for k in strikes]
puts = [baw_price(100.0, k, 0.96, 102.0, 0.2, "p") for k in strikes]
vols: npt.NDArray[np.float64] = vectorized_baw_implied_vol(calls, 100.0, strikes, 0.96, 102.0, "c")
forward: float = find_forward_baw(calls, puts, strikes, 100.0, 0.96, strike_pct=0.02)
print(price, vol, vols.mean(), forward)

spots = np.linspace(95.0, 105.0, 3)[:, None]
grid: npt.NDArray[np.float64] = korvane.price(spots, strikes, 0.96, spots * 1.02, 0.2, ["c", "p", "Call", "put", "C"])
surface = korvane.implied_vol(grid, spots, strikes, 0.96, spots * 1.02, "c", workers=-1)
out = np.empty_like(grid)
korvane.price(spots, strikes, 0.96, spots * 1.02, 0.2, "p", workers=2, out=out)
forwards = korvane.forward(np.stack([calls, calls]), np.stack([puts, puts]), strikes, [100.0, 100.0], 0.96, strike_pct=0.05)
is_call = np.array([True, False])
raw: npt.NDArray[np.float64] = ufuncs.baw_price(100.0, 100.0, 0.96, 102.0, 0.2, is_call)
print(grid.shape, surface, forwards, raw)
sensitivities: korvane.Greeks = korvane.greeks(spots, strikes, 0.96, spots * 1.02, 0.2, "c", T=0.5, workers=2)
hedge: npt.NDArray[np.float64] = sensitivities.delta * 100.0
print(hedge.sum(), sensitivities.theta)

from korvane import bsm

american: npt.NDArray[np.float64] = bsm.price(100.0, strikes, 0.5, 0.04, 0.01, 0.25, "p", method="alo")
annual = bsm.implied_vol(american, 100.0, strikes, 0.5, 0.04, 0.01, "p", method="alo", workers=2)
european = bsm.price(100.0, strikes, 0.5, 0.04, 0.01, annual, "p", method="european")
D, F = bsm.to_forward_form(100.0, 0.5, 0.04, 0.01)
rate_greeks: korvane.Greeks = bsm.greeks(100.0, strikes, 0.5, 0.04, 0.01, 0.25, "c")
print(american - european, D, F, rate_greeks.vega, bsm.implied_yield(F, 100.0, 0.5, 0.04))

from korvane import chain



def analyzed(quotes: object) -> chain.ChainResult:  # quotes: a pandas or Polars DataFrame
    result = chain.analyze(quotes, 100.0, (np.array([0.25, 1.0]), [0.03, 0.035]), valuation_date="2026-02-10",
                           dividends=0.01, method="alo", workers=-1, forward_pairs=4)
    reasons: tuple[str, ...] = chain.REASONS
    print(result.expiries, result.quotes, result.plot_term_structure("term.png"), reasons)
    return result
