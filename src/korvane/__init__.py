"""American option prices, implied volatilities, Greeks and forwards.

The array API, over NumPy arrays, pandas, xarray and Dask, in forward form
(spot S, strike K, discount factor D, forward F, total standard deviation
sigma):

- ``price(S, K, D, F, sigma, flag)``: option prices;
- ``implied_vol(price, S, K, D, F, flag)``: implied total standard deviations;
- ``forward(call_prices, put_prices, strikes, S, D, strike_pct=0.01)``: the
  forward of each chain;
- ``greeks(S, K, D, F, sigma, flag, T=None)``: the price with delta, gamma,
  vega and, given the maturity T, theta, rho and psi.

Each takes ``method="baw"`` (Barone-Adesi-Whaley, the default), ``"alo"``
(the accurate American price of Andersen, Lake and Offengenden) or
``"european"``.  :mod:`korvane.bsm` has the same functions in rate form
(maturity T, rate r, yield q, annual volatility), and :mod:`korvane.chain`
takes a whole chain of quotes to forwards, volatilities and Greeks.  Their
ufuncs are in :mod:`korvane.ufuncs`.  The compiled module :mod:`korvane.vantrel` keeps its
own conventions: ``baw_price``, ``baw_implied_vol``,
``vectorized_baw_implied_vol`` and ``find_forward_baw``.
"""
import typing as _typing

__all__ = ["price", "implied_vol", "forward", "greeks", "Greeks", "bsm", "chain"]
__version__ = "0.2.0"

if _typing.TYPE_CHECKING:
    from . import bsm, chain
    from ._api import Greeks, forward, greeks, implied_vol, price
else:
    # Loaded on first use, so that importing korvane.vantrel loads nothing of
    # the array API (and neither does a bare `import korvane`).
    def __getattr__(name: str) -> _typing.Any:
        if name in ("bsm", "chain"):
            import importlib

            return importlib.import_module(f".{name}", __name__)
        if name in __all__:
            from . import _api

            return getattr(_api, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> list[str]:
        return sorted({n for n in globals() if not n.startswith("_") or n.startswith("__")} | set(__all__))
