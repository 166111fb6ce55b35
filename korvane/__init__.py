"""American option pricing with the Barone-Adesi-Whaley approximation.

The array API, over NumPy arrays, pandas, xarray and Dask:

- ``price(S, K, D, F, sigma, flag)``: American prices;
- ``implied_vol(price, S, K, D, F, flag)``: implied total standard deviations;
- ``forward(call_prices, put_prices, strikes, S, D, strike_pct=0.01)``: the
  forward of each chain.

Their ufuncs are in :mod:`korvane.ufuncs`.  The compiled module
:mod:`korvane.vantrel` keeps its own conventions: ``baw_price``,
``baw_implied_vol``, ``vectorized_baw_implied_vol`` and ``find_forward_baw``.
"""

from ._api import forward, implied_vol, price

__all__ = ["price", "implied_vol", "forward"]
__version__ = "0.1.0"
