"""American option pricing with the Barone-Adesi-Whaley approximation.

The array API, over NumPy arrays, pandas, xarray and Dask:

- ``price(S, K, D, F, sigma, flag)``: American prices;
- ``implied_vol(price, S, K, D, F, flag)``: implied total standard deviations;
- ``forward(call_prices, put_prices, strikes, S, D, strike_pct=0.01)``: the
  forward of each chain;
- ``greeks(S, K, D, F, sigma, flag, T=None)``: the price with delta, gamma,
  vega and, given the maturity T, theta, rho and psi.

Their ufuncs are in :mod:`korvane.ufuncs`.  The compiled module
:mod:`korvane.vantrel` keeps its own conventions: ``baw_price``,
``baw_implied_vol``, ``vectorized_baw_implied_vol`` and ``find_forward_baw``.
"""
from typing import TYPE_CHECKING, Any

__all__ = ["price", "implied_vol", "forward", "greeks", "Greeks"]
__version__ = "0.1.0"

if TYPE_CHECKING:
    from ._api import Greeks, forward, greeks, implied_vol, price
else:
    # Loaded on first use, so that importing korvane.vantrel loads nothing of
    # the array API (and neither does a bare `import korvane`).
    def __getattr__(name: str) -> Any:
        if name in __all__:
            from . import _api

            return getattr(_api, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> list[str]:
        return sorted(list(globals()) + __all__)
