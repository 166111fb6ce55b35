"""The array API in rate form: spot S, strike K, maturity T in years, rate r,
dividend yield (or borrow) q and annual volatility vol, continuously
compounded, over the same ufuncs as the forward form.

Every function converts once, by :func:`to_forward_form`,

    D = exp(-r T),   F = S exp((r - q) T),   sigma = vol sqrt(T),

and calls the forward-form function of :mod:`korvane` on the result, so its
doubles are those of ``korvane.price(S, K, *to_forward_form(S, T, r, q, vol),
flag)`` and so on.  With cash dividends (``method="fd"``,
``dividends=(times, amounts)``, ex-dates in years from today) the forward is

    F = S exp((r - q) T) - sum_i d_i exp((r - q)(T - t_i))

over the ex-dates in (0, T), and q is the yield or borrow beyond the
dividends.  A maturity T <= 0 is read as T = 0 for prices (the exercise
value, D = 1, F = S, sigma = 0); implied volatilities, vega, theta, rho and
psi need time and are NaN there.
"""
from __future__ import annotations  # readable signatures in help()

from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _api, ufuncs
from ._api import Greeks
from ._policy import apply, schedule

__all__ = ["price", "implied_vol", "greeks", "forward", "implied_yield", "to_forward_form",
           "from_forward_form", "Greeks"]


def to_forward_form(S: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike,
                    vol: ArrayLike | None = None, *, dividends: Any = None) -> tuple[Any, ...]:
    """(D, F) from the rate form, or (D, F, sigma) given vol: D = exp(-r T),
    F = S exp((r - q) T) less, with dividends=(times, amounts), each cash
    dividend d_i paid at t_i in (0, T) carried to T, d_i exp((r - q)(T - t_i));
    sigma = vol sqrt(T).  T <= 0 is read as T = 0."""
    T0 = _life(T)  # NaN stays NaN; float32 input is widened first
    D = _discount(T0, r)
    carry = np.subtract(r, q, dtype=np.float64)
    F = np.multiply(S, np.exp(np.multiply(carry, T0)))
    if dividends is not None:
        times, amounts = schedule("fd", dividends)[1:]
        F = np.subtract(F, _carried_dividends(T0, carry, times, amounts))
    if vol is None:
        return D, F
    return D, F, np.multiply(vol, np.sqrt(T0))


def _carried_dividends(T0: Any, carry: Any, times: Any, amounts: Any) -> Any:
    """sum_i d_i exp(carry (T - t_i)) over the ex-dates in (0, T), the
    schedule along the last axis (NaN entries pad), in the contracts'
    container."""
    times, amounts = np.asarray(times, dtype=np.float64), np.asarray(amounts, dtype=np.float64)
    pad = np.isnan(times) | np.isnan(amounts)
    times, amounts = np.where(pad, 0.0, times), np.where(pad, 0.0, amounts)
    total: Any = 0.0
    for i in range(np.shape(times)[-1]):
        t, d = times[..., i], amounts[..., i]
        # t clipped to [0, T], so the factor stays finite where it does not count.
        inside = np.logical_and(np.greater(t, 0.0), np.less(t, T0))
        carried = np.multiply(d, np.exp(np.multiply(carry, np.subtract(T0, np.minimum(t, T0)))))
        total = np.add(total, np.multiply(carried, inside))
    return total


def _discount(T0: ArrayLike, r: ArrayLike) -> Any:
    """D = exp(-r T) for a maturity already floored at 0."""
    return np.exp(np.negative(np.multiply(r, T0)))


def from_forward_form(S: ArrayLike, T: ArrayLike, D: ArrayLike, F: ArrayLike,
                      sigma: ArrayLike | None = None) -> tuple[Any, ...]:
    """(r, q) from the forward form, or (r, q, vol) given sigma: r = -ln(D)/T,
    q = r - ln(F/S)/T, vol = sigma/sqrt(T).  NaN where T <= 0.  (With cash
    dividends, implied_yield gives q beyond them.)"""
    Tp = _api._maturity(T)
    r = np.divide(np.negative(np.log(D)), Tp)
    q = np.subtract(r, np.divide(np.log(np.divide(F, S)), Tp))
    if sigma is None:
        return r, q
    return r, q, np.divide(sigma, np.sqrt(Tp))


def _life(T: ArrayLike) -> Any:
    """The life the ex-dates are measured against: T floored at 0 (then none
    lies inside it)."""
    return np.maximum(T, 0.0, dtype=np.float64)


def price(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
          flag: ArrayLike, *, method: Literal["baw", "alo", "european", "fd"] = "baw", workers: int | None = 1,
          out: NDArray[Any] | None = None, dividends: Any = None) -> Any:
    """Option price in rate form; the exercise value where T <= 0.

    flag, method, workers and out as for korvane.price.  dividends (with
    method="fd" only): a pair (times, amounts) of array-likes with the
    schedule along their last axis, ex-dates in years from today and cash
    amounts (NaN entries pad; ex-dates at 0 or from T on are none),
    broadcast against the contracts.
    """
    extra = schedule(method, dividends, _life(T))
    D, F, sigma = to_forward_form(S, T, r, q, vol, dividends=dividends)
    return _api._price(S, K, D, F, sigma, flag, method, workers, out, extra)


def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike,
                q: ArrayLike, flag: ArrayLike, *, method: Literal["baw", "alo", "european", "fd"] = "baw",
                workers: int | None = 1, out: NDArray[Any] | None = None, dividends: Any = None) -> Any:
    """Annual volatility at which the method's price equals `price`: 0.0
    where the price has no time value, NaN without a solution, for a NaN
    input and where T <= 0.  Arguments as for korvane.implied_vol; dividends
    as for price."""
    extra = schedule(method, dividends, _life(T))
    D, F = to_forward_form(S, T, r, q, dividends=dividends)
    sigma = _api._implied_vol(price, S, K, D, F, flag, method, workers, out, extra)
    return np.divide(sigma, np.sqrt(_api._maturity(T)), out=out)


def greeks(S: ArrayLike, K: ArrayLike, T: ArrayLike, r: ArrayLike, q: ArrayLike, vol: ArrayLike,
           flag: ArrayLike, *, method: Literal["baw", "alo", "european", "fd"] = "baw", workers: int | None = 1,
           units: Literal["model", "trader"] = "model", dividends: Any = None) -> Greeks:
    """The price and its Greeks in rate form: delta = dV/dS and gamma =
    d2V/dS2 (q held, so the forward moves with the spot), vega = dV/dvol per
    unit of annual volatility, theta = -dV/dT per year (r, q, vol held), rho =
    dV/dr and psi = dV/dq per unit of rate and yield; units="trader" gives
    vega per volatility point, theta per calendar day and rho and psi per
    percentage point.  With dividends (method="fd"), delta and gamma hold
    them too, theta is the decay as calendar time passes with expiry and
    ex-dates fixed, and rho and psi hold the cash amounts.  Where T <= 0 the
    price, delta and gamma are the exercise value's and the others NaN."""
    extra = schedule(method, dividends, _life(T))
    D, F, sigma = to_forward_form(S, T, r, q, vol, dividends=dividends)
    g = _api._greeks(S, K, D, F, sigma, flag, T, method, workers, units, extra)
    if units == "trader":  # vega per volatility point already
        return g
    return g._replace(vega=np.multiply(g.vega, np.sqrt(_api._maturity(T))))


def forward(call_prices: ArrayLike, put_prices: ArrayLike, strikes: ArrayLike, S: ArrayLike,
            T: ArrayLike, r: ArrayLike, strike_pct: ArrayLike = 0.01, *,
            method: Literal["baw", "alo", "european", "fd"] = "baw", axis: int = -1, dim: Any = None,
            dividends: Any = None) -> Any:
    """The forward of each chain (korvane.forward with D = exp(-r T)); its
    dividend yield is implied_yield(F, S, T, r).  With method="fd" and
    dividends as for price (one schedule per chain), the market forward,
    dividends included, and implied_yield(F, S, T, r, dividends=...) the
    yield or borrow beyond them."""
    extra = schedule(method, dividends, _life(T))
    D = _discount(_life(T), r)
    return _api._forward(call_prices, put_prices, strikes, S, D, strike_pct, method, axis, dim, extra)


def implied_yield(F: ArrayLike, S: ArrayLike, T: ArrayLike, r: ArrayLike, *, dividends: Any = None) -> Any:
    """The dividend yield (or borrow) q of forward F: r - ln(F/S)/T, or with
    dividends=(times, amounts) the yield beyond them, the q at which
    to_forward_form gives F; NaN where T <= 0 (or no q gives F)."""
    if dividends is None:
        return np.subtract(r, np.divide(np.log(np.divide(F, S)), _api._maturity(T)))
    times, amounts = schedule("fd", dividends)[1:]
    carry = apply(ufuncs.fd_carry, (S, F, _life(T), times, amounts), 1, core=2)  # (r - q) T
    return np.subtract(r, np.divide(carry, _api._maturity(T)))
