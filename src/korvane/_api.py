"""The array API in forward form: prices, implied volatilities, Greeks and
forwards over anything NumPy broadcasts, with results in the container the
inputs came in."""
from __future__ import annotations  # readable signatures in help()

from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._greeks import Greeks as Greeks, in_trader_units
from ._policy import apply, is_call, library, ufunc

# ---------------------------------------------------------------------------
# The public functions.

def price(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
          flag: ArrayLike, *, method: Literal["baw", "alo", "european"] = "baw", workers: int | None = 1,
          out: NDArray[Any] | None = None) -> Any:
    """Option price in forward form.

    S spot, K strike, D discount factor, F forward, sigma total standard
    deviation (volatility times the square root of time): array-likes that
    broadcast together.  flag: "c"/"call" or "p"/"put" (either case), an
    array-like of those, or booleans (true is a call).  method: "baw"
    (Barone-Adesi-Whaley, every element the double korvane.vantrel.baw_price
    gives), "alo" (the American price by Andersen-Lake-Offengenden's
    fixed-point method) or "european" (Black's price on the forward).
    workers: threads, as in scipy.fft (-1 for all cores).  The result is
    float64, in the inputs' container (ndarray, NumPy scalar, pandas, xarray
    or Dask).
    """
    numbers = {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}
    return apply(ufunc("price", method), (S, K, D, F, sigma, is_call(flag, numbers)), workers, out)


def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike,
                flag: ArrayLike, *, method: Literal["baw", "alo", "european"] = "baw", workers: int | None = 1,
                out: NDArray[Any] | None = None) -> Any:
    """Total standard deviation at which the method's price equals `price`.

    Arguments as for korvane.price.  0.0 where the price has no time value
    (for "european": equals the discounted intrinsic value D max(F - K, 0)
    or D max(K - F, 0)); NaN where no total standard deviation reproduces it
    (up to 8 for "baw", 16 for "alo"; below the intrinsic value or at or
    above the bound D F or D K for "european") and for a NaN input.  With
    method="baw" every element is the double korvane.vantrel.baw_implied_vol
    gives.
    """
    numbers = {"price": price, "S": S, "K": K, "D": D, "F": F}
    return apply(ufunc("implied_vol", method), (price, S, K, D, F, is_call(flag, numbers)), workers, out)


def greeks(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
           flag: ArrayLike, *, T: ArrayLike | None = None, method: Literal["baw", "alo", "european"] = "baw",
           workers: int | None = 1, units: Literal["model", "trader"] = "model") -> Greeks:
    """The price and its Greeks, analytic to the method.

    Arguments as for korvane.price.  delta and gamma hold F/S, K, D and
    sigma; vega is per unit of total standard deviation (times sqrt(T) per
    unit of annual volatility).  With T, the maturity in years, the
    rate-form sensitivities read D = exp(-rT), F = S exp((r - q)T) and
    sigma = vol sqrt(T): theta = -dV/dT per year with S, K, r, q and vol held,
    rho = dV/dr and psi = dV/dq; NaN where T <= 0.  A NaN input gives NaN
    Greeks.  units="trader" (needs T) gives vega per volatility point (0.01
    of annual volatility), theta per calendar day (a year of 365) and rho and
    psi per percentage point.
    """
    if units not in ("model", "trader"):
        raise ValueError(f"units must be 'model' or 'trader'; got {units!r}")
    if units == "trader" and T is None:
        raise ValueError("units='trader' needs the maturity T (vega per point of annual volatility)")
    maturity = np.nan if T is None else T
    numbers = {"S": S, "K": K, "D": D, "F": F, "sigma": sigma, "T": maturity}
    values = apply(ufunc("greeks", method), (S, K, D, F, sigma, is_call(flag, numbers), maturity), workers)
    price, delta, gamma, vega, theta, rho, psi = values
    if T is None:
        return Greeks(price, delta, gamma, vega, None, None, None)
    g = Greeks(price, delta, gamma, vega, theta, rho, psi)
    if units == "trader":
        g = in_trader_units(g._replace(vega=np.multiply(vega, np.sqrt(_maturity(T)))))
    return g


def _maturity(T: ArrayLike) -> Any:
    """T where 0 < T < inf, else NaN, in T's own container: the maturities
    that annual volatilities, rates and yields can be read over."""
    with np.errstate(invalid="ignore", divide="ignore"):
        ok = np.logical_and(np.greater(T, 0.0), np.less(T, np.inf))
        return np.divide(np.multiply(T, ok, dtype=np.float64), ok)


def forward(call_prices: ArrayLike, put_prices: ArrayLike, strikes: ArrayLike, S: ArrayLike,
            D: ArrayLike, strike_pct: ArrayLike = 0.01, *, method: Literal["baw", "alo", "european"] = "baw", axis: int = -1,
            dim: Any = None) -> Any:
    """Forward at which call and put implied volatilities agree best, per chain.

    call_prices, put_prices and strikes hold the chains along `axis` (for
    NumPy and Dask) or the dimension `dim` (for xarray; by default the last
    dimension of the first chain input); S, D and strike_pct broadcast over
    the other axes (one per expiry, say).  Strikes whose call price, put
    price or strike is NaN are left out first; on the rest, with
    method="baw", each result is korvane.vantrel.find_forward_baw's, and NaN
    when no strike qualifies.  method="alo" or "european" searches on that
    method's implied volatilities.
    """
    gufunc = ufunc("forward", method)
    args = (call_prices, put_prices, strikes, S, D, strike_pct)
    if any(library(a) == "xarray" for a in args):
        return _xarray_forward(gufunc, args, dim)
    if any(library(a) == "dask" for a in args):
        return _dask_forward(gufunc, args, axis)
    axes = [(axis,)] * 3 + [()] * 4
    return gufunc(*args, axes=axes)


def _xarray_forward(gufunc: np.ufunc, args: Sequence[Any], dim: Any) -> Any:
    # xarray does not dispatch generalized ufuncs: it moves the named core
    # dimension of each chain input last for apply_ufunc.
    import xarray

    chains = [a for a in args[:3] if hasattr(a, "dims")]
    if dim is None:
        dim = chains[0].dims[-1]
    for a in chains:
        if dim not in a.dims:
            raise ValueError(f"dim {dim!r} is not a dimension of every chain input (one has {a.dims})")
    core = [[dim] if hasattr(a, "dims") else [] for a in args[:3]] + [[], [], []]
    return xarray.apply_ufunc(gufunc, *args, input_core_dims=core,
                              dask="parallelized", output_dtypes=[np.float64])


def _dask_forward(gufunc: np.ufunc, args: Sequence[Any], axis: int) -> Any:
    # Every input as a Dask array (lists and ndarrays beside Dask ones); each
    # chain in one chunk along its axis, however it was chunked.
    import dask.array

    asarray: Any = dask.array.asarray  # untyped
    apply_gufunc: Any = dask.array.apply_gufunc
    arrays = [asarray(a) for a in args]
    axes = [(axis,)] * 3 + [()] * 4
    return apply_gufunc(gufunc, "(n),(n),(n),(),(),()->()", *arrays, axes=axes,
                        output_dtypes=np.float64, allow_rechunk=True)
