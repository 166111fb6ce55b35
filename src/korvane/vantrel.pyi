"""Barone-Adesi-Whaley (1987) American option pricer and IV solver."""

from typing import Any, Iterable, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

# Numbers are converted with float(): floats, ints, NumPy scalars and any
# object with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex

__test__: dict[str, Any]

def baw_price(S: _Float, K: _Float, D: _Float, F: _Float, sigma: _Float, flag: object) -> float:
    """American price; flag "c" is a call, anything else a put."""

def baw_implied_vol(
    price: _Float, S: _Float, K: _Float, D: _Float, F: _Float, flag: object
) -> float:
    """Implied total standard deviation; 0.0 without time value, nan without a solution."""

def vectorized_baw_implied_vol(
    prices: npt.ArrayLike,
    S_arr: npt.ArrayLike,
    K_arr: npt.ArrayLike,
    D_arr: npt.ArrayLike,
    F_arr: npt.ArrayLike,
    flags: Iterable[Any],
) -> npt.NDArray[np.float64]:
    """Implied total standard deviations of len(prices) options; inputs of
    length 1 apply to every option."""

def find_forward_baw(
    call_prices: npt.ArrayLike,
    put_prices: npt.ArrayLike,
    strikes: npt.ArrayLike,
    S: _Float,
    D: _Float,
    strike_pct: _Float = 0.01,
) -> float:
    """Forward at which call and put implied volatilities agree best; nan
    when no strike qualifies."""
