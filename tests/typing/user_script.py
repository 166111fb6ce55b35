"""A user of all four functions, type-checked with mypy --strict in CI."""
import numpy as np
import numpy.typing as npt

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
