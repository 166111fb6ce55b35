"""The array API: prices, implied volatilities and forwards over anything NumPy
broadcasts, with results in the container the inputs came in."""
from __future__ import annotations

import math
import operator
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import ufuncs

_CALLS = ("c", "call")
_PUTS = ("p", "put")
_EXPECTED = "expected 'c', 'call', 'p' or 'put' (either case) or a boolean"
# Below this many elements per thread a split costs more than it saves.
_MIN_BLOCK = 256


# ---------------------------------------------------------------------------
# Flags: strings or booleans become the ufuncs' boolean "is call".

def _flag_array(flag: Any, offset: Sequence[int] = ()) -> Any:
    """NumPy booleans for a flag or an array-like of flags; `offset` is added to
    the position an error names (a block's place in a larger array)."""
    if isinstance(flag, (bool, np.bool_)):
        return np.bool_(flag)
    if isinstance(flag, (str, bytes)):
        low = _lower(np.array([flag]))[0]
        if low in _CALLS or low in _PUTS:
            return np.bool_(low in _CALLS)
        raise ValueError(f"flag is {flag!r}; {_EXPECTED}")
    a = np.asarray(flag)
    if a.dtype == np.bool_:
        return a
    if a.size == 0:
        return np.zeros(a.shape, dtype=bool)
    if a.dtype.kind not in "USO":  # numbers, dates: never a flag
        _raise_bad_flag(a, np.ones(a.shape, dtype=bool), offset)
    # The usual spellings by whole-array comparison; only the rest is lowered,
    # objects by their str() (True, 1 and NaN spell no flag that way).
    c, p = (b"c", b"p") if a.dtype.kind == "S" else ("c", "p")
    is_call = np.asarray(a == c, dtype=bool)
    rest = ~(is_call | np.asarray(a == p, dtype=bool))
    if rest.any():
        low = _lower(a[rest])
        calls = (low == "c") | (low == "call")
        bad = ~(calls | (low == "p") | (low == "put"))
        if bad.any():
            where = np.zeros(a.shape, dtype=bool)
            where[rest] = bad
            _raise_bad_flag(a, where, offset)
        is_call[rest] = calls
    return is_call


def _lower(items: np.ndarray) -> np.ndarray:
    """Lower-case text of strings, ASCII bytes and other objects' str()."""
    try:
        text = items.astype(str)
    except UnicodeDecodeError:  # bytes that are not ASCII: no flag
        text = np.array([v if isinstance(v, str) else "" for v in items.tolist()], dtype=str)
    return np.char.lower(text)


def _raise_bad_flag(a: np.ndarray, bad: np.ndarray, offset: Sequence[int]) -> None:
    index = np.unravel_index(int(np.argmax(bad)), a.shape) if a.ndim else ()
    value = a[index]
    value = value.item() if isinstance(value, np.generic) else value
    at = tuple(int(i) + (offset[d] if d < len(offset) else 0) for d, i in enumerate(index))
    place = f" at position {at[0] if len(at) == 1 else at}" if at else ""
    raise ValueError(f"flag{place} is {value!r}; {_EXPECTED}")


def _library(obj: Any) -> str:
    return type(obj).__module__.partition(".")[0]


def _dask_flag_block(block: Any, block_info: Any = None) -> Any:
    start = [lo for lo, _ in block_info[0]["array-location"]] if block_info else []
    return _flag_array(block, start)


def _is_call(flag: Any) -> Any:
    """The flags as booleans, in the flag's own container, so that pandas and
    xarray align them by label and Dask keeps them lazy."""
    lib = _library(flag)
    if lib == "dask" and hasattr(flag, "map_blocks"):
        return flag.map_blocks(_dask_flag_block, dtype=bool)
    if lib == "pandas" and hasattr(flag, "index"):
        values = _flag_array(flag.to_numpy())
        if hasattr(flag, "columns"):
            return type(flag)(values, index=flag.index, columns=flag.columns)
        return type(flag)(values, index=flag.index, name=flag.name)
    if lib == "xarray" and hasattr(flag, "dims"):
        return flag.copy(data=_flag_array(flag.values))
    return _flag_array(flag)


# ---------------------------------------------------------------------------
# Threads: SciPy's `workers`, splitting the broadcast result into blocks.

def _workers(workers: int | None) -> int:
    """scipy.fft's rule: None is 1, -1 all cores, -2 all but one, ..."""
    if workers is None:
        return 1
    workers = operator.index(workers)
    cpus = os.cpu_count() or 1
    if workers < 0:
        if workers < -cpus:
            raise ValueError(f"workers value out of range; got {workers}, must not be less than {-cpus}")
        return workers + 1 + cpus
    if workers == 0:
        raise ValueError("workers must not be zero")
    return workers


def _is_container(obj: Any) -> bool:
    return hasattr(obj, "__array_ufunc__") and not isinstance(obj, (np.ndarray, np.generic))


def _split_axis(shape: tuple[int, ...], n: int) -> int:
    """The outermost axis whose n blocks share the work within 10% (they are
    contiguous when the axes before it are 1 long), else the fairest one."""
    # The largest block's share of the work over an even share.
    unfair = [math.ceil(length / n) * n / length if length else math.inf for length in shape]
    for axis, u in enumerate(unfair):
        if u <= 1.1:
            return axis
    return int(np.argmin(unfair))


def _block(a: np.ndarray, ndim: int, axis: int, part: slice) -> np.ndarray:
    """The part of input `a` that block `part` of the result reads."""
    own = axis - (ndim - a.ndim)  # the same axis in a's own (right-aligned) shape
    if own < 0 or a.shape[own] == 1:
        return a
    return a[(slice(None),) * own + (part,)]


def _threaded(ufunc: np.ufunc, args: Sequence[Any], n: int, out: Any) -> Any:
    """The ufunc over `n` threads, each computing one block of the broadcast
    result into its slice of the outputs (a tuple when the ufunc has several)."""
    arrays = [np.asarray(a) for a in args]
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    many = ufunc.nout > 1
    outs = out if many else (out,)
    if out is None:
        outs = tuple(np.empty(shape, dtype=np.float64) for _ in range(ufunc.nout))
    elif (not all(isinstance(o, np.ndarray) and np.broadcast_shapes(shape, o.shape) == o.shape for o in outs)
          or any(np.may_share_memory(o, a) for o in outs for a in arrays)):
        # NumPy's own error, or its handling of overlap, which blocks would race.
        return ufunc(*arrays, out=out)
    shape = outs[0].shape
    if outs[0].size < 2 * _MIN_BLOCK:
        return ufunc(*arrays, out=outs if many else outs[0])
    axis = _split_axis(shape, n)
    n = min(n, shape[axis], outs[0].size // _MIN_BLOCK)
    edges = np.linspace(0, shape[axis], n + 1).astype(int)
    parts = [slice(int(lo), int(hi)) for lo, hi in zip(edges[:-1], edges[1:])]
    lead = (slice(None),) * axis

    def run(part: slice) -> None:
        block_outs = tuple(o[lead + (part,)] for o in outs)
        ufunc(*(_block(a, len(shape), axis, part) for a in arrays), out=block_outs if many else block_outs[0])

    with ThreadPoolExecutor(n) as pool:
        list(pool.map(run, parts))
    return outs if many else outs[0]


def _same_index_series(args: Sequence[Any]) -> Any:
    """The common index when every container is a pandas Series on one index."""
    series = [a for a in args if _is_container(a)]
    if not series or not all(_library(s) == "pandas" and hasattr(s, "index") and not hasattr(s, "columns")
                             for s in series):
        return None
    index = series[0].index
    return index if all(s.index.equals(index) for s in series[1:]) else None


def _apply(ufunc: np.ufunc, args: Sequence[Any], workers: int | None, out: Any = None) -> Any:
    n = _workers(workers)
    kwargs = {} if out is None else {"out": out}
    if ufunc.nout > 1 and any(_library(a) == "dask" for a in args):
        return _dask_many_outputs(ufunc, args)
    if n == 1:
        return ufunc(*args, **kwargs)
    if not any(_is_container(a) for a in args):
        return _threaded(ufunc, args, n, out)
    index = _same_index_series(args) if out is None else None
    if index is None:  # pandas aligns, xarray and Dask schedule: one call through them
        return ufunc(*args, **kwargs)
    names = {a.name for a in args if _is_container(a)}
    name = names.pop() if len(names) == 1 else None
    values = _threaded(ufunc, [a.to_numpy() if _is_container(a) else a for a in args], n, None)
    series = type(next(a for a in args if _is_container(a)))
    if ufunc.nout > 1:
        return tuple(series(v, index=index, name=name) for v in values)
    return series(values, index=index, name=name)


def _dask_many_outputs(ufunc: np.ufunc, args: Sequence[Any]) -> Any:
    # Dask dispatches only the ufuncs it knows by name when they have several
    # outputs; as a generalized ufunc with scalar core dimensions it takes any.
    import dask.array

    apply_gufunc: Any = dask.array.apply_gufunc  # untyped
    signature = ",".join(["()"] * ufunc.nin) + "->(" + "),(".join([""] * ufunc.nout) + ")"
    return tuple(apply_gufunc(ufunc, signature, *args, output_dtypes=[np.float64] * ufunc.nout))


# ---------------------------------------------------------------------------
# The public functions.

def price(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
          flag: ArrayLike, *, workers: int | None = 1, out: NDArray[Any] | None = None) -> Any:
    """American option price (Barone-Adesi-Whaley) in forward form.

    S spot, K strike, D discount factor, F forward, sigma total standard
    deviation (volatility times the square root of time): array-likes that
    broadcast together.  flag: "c"/"call" or "p"/"put" (either case), an
    array-like of those, or booleans (true is a call).  workers: threads, as
    in scipy.fft (-1 for all cores).  The result is float64, in the
    inputs' container (ndarray, NumPy scalar, pandas, xarray or Dask); every
    element is the double korvane.vantrel.baw_price gives.
    """
    return _apply(ufuncs.baw_price, (S, K, D, F, sigma, _is_call(flag)), workers, out)


def implied_vol(price: ArrayLike, S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike,
                flag: ArrayLike, *, workers: int | None = 1, out: NDArray[Any] | None = None) -> Any:
    """Total standard deviation at which the American price equals `price`.

    Arguments as for korvane.price.  0.0 where the price has no time value,
    NaN where no total standard deviation up to 8 reproduces it; every element
    is the double korvane.vantrel.baw_implied_vol gives.
    """
    return _apply(ufuncs.baw_implied_vol, (price, S, K, D, F, _is_call(flag)), workers, out)


class Greeks(NamedTuple):
    """The price and its sensitivities, each broadcast like korvane.price."""

    price: Any  #: korvane.price's
    delta: Any  #: dV/dS, the forward moving with the spot (F/S held)
    gamma: Any  #: d2V/dS2, likewise
    vega: Any   #: dV/dsigma, per unit of total standard deviation
    theta: Any  #: -dV/dT per year (with T; else None)
    rho: Any    #: dV/dr (with T; else None)
    psi: Any    #: dV/dq, q the dividend yield or borrow (with T; else None)


def greeks(S: ArrayLike, K: ArrayLike, D: ArrayLike, F: ArrayLike, sigma: ArrayLike,
           flag: ArrayLike, *, T: ArrayLike | None = None, workers: int | None = 1) -> Greeks:
    """The American price and its Greeks, analytic to the approximation.

    Arguments as for korvane.price.  delta and gamma hold F/S, K, D and
    sigma; vega is per unit of total standard deviation (times sqrt(T) per
    unit of annual volatility).  With T, the maturity in years, the
    rate-form sensitivities read D = exp(-rT), F = S exp((r - q)T) and
    sigma = vol sqrt(T): theta = -dV/dT per year with S, K, r, q and vol held,
    rho = dV/dr and psi = dV/dq; NaN where T <= 0.  A NaN input gives NaN
    Greeks.
    """
    maturity = np.nan if T is None else T
    values = _apply(ufuncs.baw_greeks, (S, K, D, F, sigma, _is_call(flag), maturity), workers)
    price, delta, gamma, vega, theta, rho, psi = values
    if T is None:
        return Greeks(price, delta, gamma, vega, None, None, None)
    return Greeks(price, delta, gamma, vega, theta, rho, psi)


def forward(call_prices: ArrayLike, put_prices: ArrayLike, strikes: ArrayLike, S: ArrayLike,
            D: ArrayLike, strike_pct: ArrayLike = 0.01) -> Any:
    """Forward at which call and put implied volatilities agree best, per chain.

    call_prices, put_prices and strikes hold the chains along their last
    axis; S, D and strike_pct broadcast over the others (one per expiry, say).
    Strikes whose call price, put price or strike is NaN are left out first;
    on the rest each result is korvane.vantrel.find_forward_baw's, NaN when
    no strike qualifies.
    """
    args = (call_prices, put_prices, strikes, S, D, strike_pct)
    if any(_library(a) == "xarray" for a in args):
        return _xarray_forward(args)
    return ufuncs.baw_forward(*args)


def _xarray_forward(args: Sequence[Any]) -> Any:
    # xarray does not dispatch generalized ufuncs: name the core dimension (the
    # last of the first chain input that has dimensions) to apply_ufunc.
    import xarray

    chain = next(a for a in args[:3] if hasattr(a, "dims"))
    dim = chain.dims[-1]
    core = [[dim] if hasattr(a, "dims") else [] for a in args[:3]] + [[], [], []]
    return xarray.apply_ufunc(ufuncs.baw_forward, *args, input_core_dims=core,
                              dask="parallelized", output_dtypes=[np.float64])

