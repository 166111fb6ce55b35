"""The array API in forward form: prices, implied volatilities, Greeks and
forwards over anything NumPy broadcasts, with results in the container the
inputs came in."""
from __future__ import annotations  # readable signatures in help()

import importlib
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._greeks import Greeks as Greeks, in_trader_units
from ._policy import apply, is_call, library, schedule, ufunc

# ---------------------------------------------------------------------------
# The public functions.

def price(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
          flag: ArrayLike, *, method: Literal["baw", "alo", "european", "fd"] = "baw", workers: int | None = 1,
          out: NDArray[Any] | None = None, dividends: Any = None) -> Any:
    """Option price in forward form.

    S spot, K strike, D discount factor, F forward, sigma total standard
    deviation (volatility times the square root of time): array-likes that
    broadcast together.  flag: "c"/"call" or "p"/"put" (either case), an
    array-like of those, or booleans (true is a call).  method: "baw"
    (Barone-Adesi-Whaley, every element the double korvane.vantrel.baw_price
    gives), "alo" (the American price by Andersen-Lake-Offengenden's
    fixed-point method; where negative rates make two exercise boundaries,
    the finite-difference engine's), "european" (Black's price on the
    forward) or "fd"
    (the American price by finite differences, with cash dividends).
    workers: threads, as in scipy.fft (-1 for all cores).  dividends (with
    method="fd" only): a pair (times, amounts) of array-likes with the
    schedule along their last axis, ex-dates as fractions of the contract's
    life and cash amounts (NaN entries pad; at or after expiry, or at 0,
    none); F is then the market forward, dividends included.  The result is
    float64, in the inputs' container (ndarray, NumPy scalar, pandas, xarray
    or Dask).
    """
    return _price(S, K, D, F, sigma, flag, method, workers, out, schedule(method, dividends))


def _price(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike, flag: ArrayLike,
           method: str, workers: int | None, out: Any, extra: tuple[Any, ...]) -> Any:
    return _elementwise("price", {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}, flag, method, workers,
                        out, extra)


def _elementwise(kind: str, numbers: dict[str, Any], flag: ArrayLike, method: str, workers: int | None,
                 out: Any, extra: tuple[Any, ...]) -> Any:
    """The method's ufunc of `kind` over the numbers (in the ufunc's order),
    the flags and the schedule arguments `extra` (see _policy.schedule)."""
    args = (*numbers.values(), is_call(flag, numbers), *extra)
    return apply(ufunc(kind, method), args, workers, out, core=2 * bool(extra))


def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike,
                flag: ArrayLike, *, method: Literal["baw", "alo", "european", "fd"] = "baw", workers: int | None = 1,
                out: NDArray[Any] | None = None, dividends: Any = None) -> Any:
    """Total standard deviation at which the method's price equals `price`.

    Arguments as for korvane.price.  0.0 where the price has no time value
    (for "european": equals the discounted intrinsic value D max(F - K, 0)
    or D max(K - F, 0)); NaN where no total standard deviation reproduces it
    (up to 8 for "baw", 16 for "alo"; below the intrinsic value or at or
    above the bound D F or D K for "european") and for a NaN input.  With
    method="baw" every element is the double korvane.vantrel.baw_implied_vol
    gives.
    """
    return _implied_vol(price, S, K, D, F, flag, method, workers, out, schedule(method, dividends))


def _implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, flag: ArrayLike,
                 method: str, workers: int | None, out: Any, extra: tuple[Any, ...]) -> Any:
    return _elementwise("implied_vol", {"price": price, "S": S, "K": K, "D": D, "F": F}, flag, method,
                        workers, out, extra)


def greeks(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
           flag: ArrayLike, *, T: ArrayLike | None = None, method: Literal["baw", "alo", "european", "fd"] = "baw",
           workers: int | None = 1, units: Literal["model", "trader"] = "model", dividends: Any = None) -> Greeks:
    """The price and its Greeks, analytic to the method.

    Arguments as for korvane.price.  delta and gamma hold F/S, K, D and
    sigma; vega is per unit of total standard deviation (times sqrt(T) per
    unit of annual volatility).  With T, the maturity in years, the
    rate-form sensitivities read D = exp(-rT), F = S exp((r - q)T) and
    sigma = vol sqrt(T): theta = -dV/dT per year with S, K, r, q and vol held,
    rho = dV/dr and psi = dV/dq; NaN where T <= 0.  A NaN input gives NaN
    Greeks.  units="trader" (needs T) gives vega per volatility point (0.01
    of annual volatility), theta per calendar day (a year of 365) and rho and
    psi per percentage point.  With method="fd" and dividends, delta and
    gamma hold the rates, the volatility and the dividends, and theta is the
    decay as calendar time passes with expiry and ex-dates fixed.
    """
    return _greeks(S, K, D, F, sigma, flag, T, method, workers, units, schedule(method, dividends))


def _greeks(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike, flag: ArrayLike,
            T: ArrayLike | None, method: str, workers: int | None, units: str, extra: tuple[Any, ...]) -> Greeks:
    if units not in ("model", "trader"):
        raise ValueError(f"units must be 'model' or 'trader'; got {units!r}")
    if units == "trader" and T is None:
        raise ValueError("units='trader' needs the maturity T (vega per point of annual volatility)")
    maturity = np.nan if T is None else T
    numbers = {"S": S, "K": K, "D": D, "F": F, "sigma": sigma, "T": maturity}
    args = (S, K, D, F, sigma, is_call(flag, numbers), maturity, *extra)
    values = apply(ufunc("greeks", method), args, workers, core=2 * bool(extra))
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
            D: ArrayLike, strike_pct: ArrayLike = 0.01, *, method: Literal["baw", "alo", "european", "fd"] = "baw",
            axis: int = -1, dim: Any = None, dividends: Any = None) -> Any:
    """Forward at which call and put implied volatilities agree best, per chain.

    call_prices, put_prices and strikes hold the chains along `axis` (for
    NumPy, pandas and Dask) or the dimension `dim` (for xarray; by default
    the last dimension of the first chain input); S, D and strike_pct
    broadcast over the other axes (one per expiry, say).  Strikes whose call
    price, put price or strike is NaN are left out first; on the rest, with
    method="baw", each result is korvane.vantrel.find_forward_baw's, and NaN
    when no strike qualifies.  method="alo", "european" or "fd" searches on
    that method's implied volatilities; with method="fd", dividends as for
    korvane.price, one schedule for each chain.  Chains in the rows of a
    DataFrame give a Series on its index.
    """
    return _forward(call_prices, put_prices, strikes, S, D, strike_pct, method, axis, dim,
                    schedule(method, dividends))


def _forward(call_prices: ArrayLike, put_prices: ArrayLike, strikes: ArrayLike, S: ArrayLike, D: ArrayLike,
             strike_pct: ArrayLike, method: str, axis: int, dim: Any, extra: tuple[Any, ...]) -> Any:
    gufunc = ufunc("forward", method)
    args = (call_prices, put_prices, strikes, S, D, strike_pct, *extra)
    if any(library(a) == "xarray" for a in args):
        return _xarray_forward(gufunc, args, dim, len(extra))
    if any(library(a) == "dask" for a in args):
        return _dask_forward(gufunc, args, axis, len(extra))
    frames = [a for a in args[:3] if library(a) == "pandas" and hasattr(a, "columns")]
    arrays = [a.to_numpy() if library(a) == "pandas" else a for a in args]
    result = gufunc(*arrays, axes=_forward_axes(axis, len(extra)))
    if frames:  # one forward per row (or column) of the chains' frame
        pandas: Any = importlib.import_module("pandas")  # untyped without its stubs
        labels = frames[0].index if axis in (-1, 1) else frames[0].columns
        return pandas.Series(result, index=labels, name="forward")
    return result


def _forward_axes(axis: int, n_extra: int) -> list[tuple[int, ...]]:
    """The gufunc's axes: the chains along `axis`, a schedule along its last."""
    schedule_axes = [(), (-1,), (-1,)] if n_extra else []
    return [(axis,)] * 3 + [()] * 3 + schedule_axes + [()]


def _xarray_forward(gufunc: np.ufunc, args: Sequence[Any], dim: Any, n_extra: int) -> Any:
    # xarray does not dispatch generalized ufuncs: it moves the named core
    # dimension of each chain input last for apply_ufunc; a schedule every
    # chain shares rides along as a dimension of its own.
    import xarray

    chains = [a for a in args[:3] if hasattr(a, "dims")]
    if dim is None:
        dim = chains[0].dims[-1]
    for a in chains:
        if dim not in a.dims:
            raise ValueError(f"dim {dim!r} is not a dimension of every chain input (one has {a.dims})")
    core: list[list[Any]] = [[dim] if hasattr(a, "dims") else [] for a in args[:3]] + [[], [], []]
    arrays = list(args)
    if n_extra:
        arrays[7:] = [xarray.DataArray(np.asarray(a), dims=["korvane schedule"]) for a in args[7:]]
        core += [[], ["korvane schedule"], ["korvane schedule"]]
    return xarray.apply_ufunc(gufunc, *arrays, input_core_dims=core,
                              dask="parallelized", output_dtypes=[np.float64])


def _dask_forward(gufunc: np.ufunc, args: Sequence[Any], axis: int, n_extra: int) -> Any:
    # Every input as a Dask array (lists and ndarrays beside Dask ones); each
    # chain in one chunk along its axis, however it was chunked.
    import dask.array

    asarray: Any = dask.array.asarray  # untyped
    apply_gufunc: Any = dask.array.apply_gufunc
    arrays = [asarray(a) for a in args]
    signature = "(n),(n),(n),(),(),()" + (",(),(m),(m)" if n_extra else "") + "->()"
    return apply_gufunc(gufunc, signature, *arrays, axes=_forward_axes(axis, n_extra),
                        output_dtypes=np.float64, allow_rechunk=True)
