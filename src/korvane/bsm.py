"""The array API in rate form: spot S, strike K, maturity T in years, rate r,
dividend yield (or borrow) q and annual volatility vol, continuously
compounded, over the same ufuncs as the forward form.

Every function converts once, by :func:`to_forward_form`,

    D = exp(-r T),   F = S exp((r - q) T),   sigma = vol sqrt(T),

and calls the forward-form function of :mod:`korvane` on the result, so its
doubles are those of ``korvane.price(S, K, *to_forward_form(S, T, r, q, vol),
flag)`` and so on.  A maturity T <= 0 is read as T = 0 for prices (the
exercise value, D = 1, F = S, sigma = 0); implied volatilities, vega, theta,
rho and psi need time and are NaN there.
"""
from __future__ import annotations  # readable signatures in help()

from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _api
from ._api import Greeks

__all__ = ["price", "implied_vol", "greeks", "forward", "implied_yield", "to_forward_form",
           "from_forward_form", "Greeks"]


def to_forward_form(S: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
                    vol: ArrayLike | None = None) -> tuple[Any, ...]:
    """(D, F) from the rate form, or (D, F, sigma) given vol: D = exp(-r T),
    F = S exp((r - q) T), sigma = vol sqrt(T).  T <= 0 is read as T = 0."""
    T0 = np.maximum(T, 0.0, dtype=np.float64)  # NaN stays NaN; float32 input is widened first
    D = _discount(T0, r)
    F = np.multiply(S, np.exp(np.multiply(np.subtract(r, q, dtype=np.float64), T0)))
    if vol is None:
        return D, F
    return D, F, np.multiply(vol, np.sqrt(T0))


def _discount(T0: ArrayLike, r: ArrayLike) -> Any:
    """D = exp(-r T) for a maturity already floored at 0."""
    return np.exp(np.negative(np.multiply(r, T0)))


def from_forward_form(S: ArrayLike, T: ArrayLike, D: ArrayLike, F: ArrayLike,
                      sigma: ArrayLike | None = None) -> tuple[Any, ...]:
    """(r, q) from the forward form, or (r, q, vol) given sigma: r = -ln(D)/T,
    q = r - ln(F/S)/T, vol = sigma/sqrt(T).  NaN where T <= 0."""
    Tp = _api._maturity(T)
    r = np.divide(np.negative(np.log(D)), Tp)
    q = np.subtract(r, np.divide(np.log(np.divide(F, S)), Tp))
    if sigma is None:
        return r, q
    return r, q, np.divide(sigma, np.sqrt(Tp))


def price(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
          flag: ArrayLike, *, method: Literal["baw", "alo", "european"] = "baw", workers: int | None = 1,
          out: NDArray[Any] | None = None) -> Any:
    """Option price in rate form; the exercise value where T <= 0.

    flag, method, workers and out as for korvane.price.
    """
    D, F, sigma = to_forward_form(S, T, r, q, vol)
    return _api.price(S, K, D, F, sigma, flag, method=method, workers=workers, out=out)


def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                q: ArrayLike, flag: ArrayLike, *, method: Literal["baw", "alo", "european"] = "baw", workers: int | None = 1,
                out: NDArray[Any] | None = None) -> Any:
    """Annual volatility at which the method's price equals `price`: 0.0
    where the price has no time value, NaN without a solution, for a NaN
    input and where T <= 0.  Arguments as for korvane.implied_vol."""
    D, F = to_forward_form(S, T, r, q)
    sigma = _api.implied_vol(price, S, K, D, F, flag, method=method, workers=workers, out=out)
    vol = np.divide(sigma, np.sqrt(_api._maturity(T)), out=out)
    return vol


def greeks(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
           flag: ArrayLike, *, method: Literal["baw", "alo", "european"] = "baw", workers: int | None = 1,
           units: Literal["model", "trader"] = "model") -> Greeks:
    """The price and its Greeks in rate form: delta = dV/dS and gamma =
    d2V/dS2 (q held, so the forward moves with the spot), vega = dV/dvol per
    unit of annual volatility, theta = -dV/dT per year (r, q, vol held), rho =
    dV/dr and psi = dV/dq per unit of rate and yield; units="trader" gives
    vega per volatility point, theta per calendar day and rho and psi per
    percentage point.  Where T <= 0 the price, delta and gamma are the
    exercise value's and the others NaN."""
    D, F, sigma = to_forward_form(S, T, r, q, vol)
    g = _api.greeks(S, K, D, F, sigma, flag, T=T, method=method, workers=workers, units=units)
    if units == "trader":  # vega per volatility point already
        return g
    return g._replace(vega=np.multiply(g.vega, np.sqrt(_api._maturity(T))))


def forward(call_prices: ArrayLike, put_prices: ArrayLike, strikes: ArrayLike, S: ArrayLike,
            T: ArrayLike, r: ArrayLike, strike_pct: ArrayLike = 0.01, *, method: Literal["baw", "alo", "european"] = "baw",
            axis: int = -1, dim: Any = None) -> Any:
    """The forward of each chain (korvane.forward with D = exp(-r T)); its
    dividend yield is implied_yield(F, S, T, r)."""
    D = _discount(np.maximum(T, 0.0, dtype=np.float64), r)
    return _api.forward(call_prices, put_prices, strikes, S, D, strike_pct, method=method,
                        axis=axis, dim=dim)


def implied_yield(F: ArrayLike, S: ArrayLike, T: ArrayLike, r: ArrayLike) -> Any:
    """The dividend yield (or borrow) q of forward F: r - ln(F/S)/T; NaN where T <= 0."""
    return np.subtract(r, np.divide(np.log(np.divide(F, S)), _api._maturity(T)))
