"""The array API's policies, in one place: flags, pricing methods, workers, and
how a call reaches the ufuncs whatever container its inputs come in."""
from __future__ import annotations

import functools
import importlib
import math
import operator
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from . import ufuncs

# ---------------------------------------------------------------------------
# Methods: each names a family of ufuncs, <method>_price, <method>_implied_vol,
# <method>_greeks and <method>_forward.

METHODS = ("baw", "alo", "european", "fd")


def ufunc(kind: str, method: str) -> np.ufunc:
    """The ufunc of `kind` (price, implied_vol, greeks, forward) for `method`."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be 'baw', 'alo', 'european' or 'fd'; got {method!r}")
    found: np.ufunc = getattr(ufuncs, f"{method}_{kind}")
    return found


# ---------------------------------------------------------------------------
# Dividends: cash amounts on ex-dates, which only the finite-difference method
# prices; its ufuncs take the life in the times' unit and the schedule.

_NO_DIVIDENDS = np.empty(0)
_NO_DIVIDENDS.setflags(write=False)


def schedule(method: str, dividends: Any, life: Any = 1.0) -> tuple[Any, ...]:
    """The arguments that carry `dividends` to `method`'s ufuncs: none for a
    method without dividends, else (life, times, amounts), times in the unit
    whose life is `life` (1.0: fractions of the life)."""
    ufunc("price", method)  # an unknown method first
    if method != "fd":
        if dividends is not None:
            raise ValueError(f"method {method!r} takes no dividends; method='fd' prices cash dividends")
        return ()
    if dividends is None:
        return (life, _NO_DIVIDENDS, _NO_DIVIDENDS)
    if not isinstance(dividends, (tuple, list)) or len(dividends) != 2:
        raise ValueError("dividends must be a pair (times, amounts) of array-likes with the schedule "
                         f"along their last axis; got {type(dividends).__name__}")
    times, amounts = dividends
    lengths = []
    for name, a in (("times", times), ("amounts", amounts)):
        if library(a) in ("dask", "xarray") and not hasattr(a, "columns"):
            lengths.append(np.shape(a)[-1] if np.ndim(a) else 0)  # values checked as computed
            continue
        try:
            values = np.asarray(a, dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"dividend {name} must be numbers; got {a!r}") from None
        if values.ndim == 0:
            raise ValueError(f"dividend {name} must have the schedule along a last axis; got a scalar")
        bad = (values < 0) | np.isinf(values)
        if bad.any():
            at = np.unravel_index(int(np.argmax(bad)), values.shape)
            place = at[0] if len(at) == 1 else at
            raise ValueError(f"dividend {name} must be finite and not negative; got {float(values[at])!r} "
                             f"at position {place}")
        lengths.append(values.shape[-1])
    if lengths[0] != lengths[1]:
        raise ValueError(f"dividend times and amounts differ in length: {lengths[0]} and {lengths[1]}")
    return (life, times, amounts)


# ---------------------------------------------------------------------------
# Flags: strings or booleans become the ufuncs' boolean "is call".

_SPELLINGS = {"c": True, "call": True, "p": False, "put": False}
_EXPECTED = "expected 'c', 'call', 'p' or 'put' (either case) or a boolean"


def _one_flag(value: Any) -> bool | None:
    """A single flag object as "is call", or None when it spells no flag."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (bytes, bytearray)):
        try:
            value = value.decode("ascii")
        except UnicodeDecodeError:
            return None
    if isinstance(value, str):
        return _SPELLINGS.get(value.lower())
    return None


def flag_array(flag: Any, offset: Sequence[int] = ()) -> Any:
    """Booleans for a flag or an array-like of flags: a Python bool for one flag
    (pandas' masked arrays refuse NumPy's), else a bool ndarray.  `offset` is
    added to the position an error names (a block's place in a larger array)."""
    if isinstance(flag, (bool, np.bool_, str, bytes, bytearray)):
        one = _one_flag(flag)
        if one is None:
            raise ValueError(f"flag is {flag!r}; {_EXPECTED}")
        return one
    # Lists keep their items as they are: [True, "p"] must not become strings.
    a = np.array(flag, dtype=object) if isinstance(flag, (list, tuple)) else np.asarray(flag)
    if a.dtype == np.bool_:
        return a
    if a.size == 0:
        return np.zeros(a.shape, dtype=bool)
    if a.dtype.kind == "O":
        return _object_flags(a, offset)
    if a.dtype.kind not in "UST":  # numbers, dates: never a flag
        _raise_bad_flag(a, np.ones(a.shape, dtype=bool), offset)
    # The usual spellings by whole-array comparison; only the rest is lowered.
    c, p = (b"c", b"p") if a.dtype.kind == "S" else ("c", "p")
    is_call = np.asarray(a == c, dtype=bool)
    rest = ~(is_call | np.asarray(a == p, dtype=bool))
    if rest.any():
        items = a[rest]
        # Bytes that are not ASCII decode to U+FFFD, which spells no flag.
        text = np.char.decode(items, "ascii", "replace") if a.dtype.kind == "S" else items
        low = _lower(text)
        calls = (low == "c") | (low == "call")
        bad = ~(calls | (low == "p") | (low == "put"))
        if bad.any():
            where = np.zeros(a.shape, dtype=bool)
            where[rest] = bad
            _raise_bad_flag(a, where, offset)
        is_call[rest] = calls
    return is_call


# NumPy 2's string functions know its StringDType too.
_lower = np.strings.lower if hasattr(np, "strings") else np.char.lower


def _object_flags(a: np.ndarray, offset: Sequence[int]) -> np.ndarray:
    # Element by element: booleans, strings and bytes mixed, and None or pd.NA
    # among them, which no whole-array comparison survives.
    out = np.empty(a.size, dtype=bool)
    for i, value in enumerate(a.ravel().tolist()):
        one = _one_flag(value)
        if one is None:
            bad = np.zeros(a.size, dtype=bool)
            bad[i] = True
            _raise_bad_flag(a, bad.reshape(a.shape), offset)
        out[i] = one
    return out.reshape(a.shape)


def _raise_bad_flag(a: np.ndarray, bad: np.ndarray, offset: Sequence[int]) -> None:
    index = np.unravel_index(int(np.argmax(bad)), a.shape) if a.ndim else ()
    value = a[index]
    value = value.item() if isinstance(value, np.generic) else value
    at = tuple(int(i) + (offset[d] if d < len(offset) else 0) for d, i in enumerate(index))
    place = f" at position {at[0] if len(at) == 1 else at}" if at else ""
    raise ValueError(f"flag{place} is {value!r}; {_EXPECTED}")


def library(obj: Any) -> str:
    return type(obj).__module__.partition(".")[0]


def _is_series(obj: Any) -> bool:
    return library(obj) == "pandas" and hasattr(obj, "index") and not hasattr(obj, "columns")


def _dask_flag_block(block: Any, block_info: Any = None) -> Any:
    start = [lo for lo, _ in block_info[0]["array-location"]] if isinstance(block_info, dict) else []
    return np.asarray(flag_array(block, start), dtype=bool)


def is_call(flag: Any, numbers: dict[str, Any]) -> Any:
    """The flags as booleans, in the flag's own container, so that pandas and
    xarray align them by label and Dask keeps them lazy.  `numbers` are the
    call's other arguments by name: a flag Series must label each of theirs."""
    lib = library(flag)
    if lib == "dask" and hasattr(flag, "map_blocks"):
        return flag.map_blocks(_dask_flag_block, dtype=bool)
    if lib == "pandas" and hasattr(flag, "index"):
        if _is_series(flag):
            _check_alignment(flag, numbers)
        values = np.asarray(flag_array(flag.to_numpy()), dtype=bool)
        if hasattr(flag, "columns"):
            return type(flag)(values, index=flag.index, columns=flag.columns)
        return type(flag)(values, index=flag.index, name=flag.name)
    if lib == "xarray" and hasattr(flag, "dims"):
        return flag.copy(data=is_call(flag.data, {}))
    return flag_array(flag)


def _check_alignment(flag: Any, numbers: dict[str, Any]) -> None:
    # pandas would align a missing label to NaN, which is no flag at all.
    for name, a in numbers.items():
        if _is_series(a) and not a.index.equals(flag.index):
            missing = a.index.difference(flag.index)
            if len(missing):
                shown = ", ".join(map(repr, missing[:3])) + (", ..." if len(missing) > 3 else "")
                raise ValueError(f"flags do not align with {name}: no flag for its label(s) {shown}")


# ---------------------------------------------------------------------------
# Threads: SciPy's `workers`, splitting the broadcast result into blocks.

# Below this many elements per thread a split costs more than it saves; and
# NumPy releases the interpreter lock only for loops of more than 500
# elements, so a smaller block would hold it and run its threads in turn.
_MIN_BLOCK = 512


def workers_count(workers: int | None) -> int:
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


def _plain(obj: Any) -> bool:
    """Whether NumPy turns `obj` into a plain ndarray (no subclass, mask or
    container of its own), so a split result is what one call gives."""
    if type(obj) is np.ndarray or isinstance(obj, (np.generic, int, float, bool)):
        return True
    if isinstance(obj, (list, tuple)):
        return type(np.asarray(obj)) is np.ndarray
    return False


def _split_axis(shape: tuple[int, ...], n: int) -> int:
    """The outermost axis whose n blocks share the work within 10% (they are
    contiguous when the axes before it are 1 long), else the fairest one."""
    # The largest block's share of the work over an even share.
    unfair = [math.ceil(length / n) * n / length if length else math.inf for length in shape]
    for axis, u in enumerate(unfair):
        if u <= 1.1:
            return axis
    return int(np.argmin(unfair))


def _block(a: np.ndarray, ndim: int, axis: int, part: slice, core: int) -> np.ndarray:
    """The part of input `a` (its last `core` axes its own) that block `part`
    of the result reads."""
    own = axis - (ndim - (a.ndim - core))  # the same axis in a's own (right-aligned) loop shape
    if own < 0 or a.shape[own] == 1:
        return a
    return a[(slice(None),) * own + (part,)]


def _threaded(uf: np.ufunc, args: Sequence[Any], n: int, out: Any, core: int = 0) -> Any:
    """The ufunc over `n` threads, each computing one block of the broadcast
    result into its slice of the outputs (a tuple when the ufunc has several).
    The last `core` arguments carry a schedule along their last axis.  None
    when a split would not give what one call gives."""
    arrays = [np.asarray(a) for a in args]
    cores = [0] * (len(arrays) - core) + [1] * core
    if any(a.ndim < c for a, c in zip(arrays, cores)):
        return None  # NumPy's own error, from one call
    try:
        shape = np.broadcast_shapes(*(a.shape[:a.ndim - c] for a, c in zip(arrays, cores)))
    except ValueError:
        return None
    if math.prod(shape) < 2 * _MIN_BLOCK:
        return None
    many = uf.nout > 1
    outs = out if many else (out,)
    if out is None:
        outs = tuple(np.empty(shape, dtype=np.float64) for _ in range(uf.nout))
    elif not all(type(o) is np.ndarray and o.shape == shape and o.dtype == np.float64 for o in outs):
        return None  # NumPy's broadcasting, casting and messages for out=
    elif any(np.may_share_memory(o, a) for o in outs for a in arrays):
        return None  # NumPy's handling of overlap, which blocks would race
    axis = _split_axis(shape, n)
    n = min(n, shape[axis], math.prod(shape) // _MIN_BLOCK)
    edges = np.linspace(0, shape[axis], n + 1).astype(int)
    parts = [slice(int(lo), int(hi)) for lo, hi in zip(edges[:-1], edges[1:])]
    lead = (slice(None),) * axis

    def run(part: slice) -> None:
        block_outs = tuple(o[lead + (part,)] for o in outs)
        uf(*(_block(a, len(shape), axis, part, c) for a, c in zip(arrays, cores)),
           out=block_outs if many else block_outs[0])

    with ThreadPoolExecutor(n) as pool:
        list(pool.map(run, parts))
    return outs if many else outs[0]


def apply(uf: np.ufunc, args: Sequence[Any], workers: int | None, out: Any = None, core: int = 0) -> Any:
    """The ufunc over `args` in their containers, split over threads where the
    result is a plain ndarray (or a pandas object) either way.  The last
    `core` arguments are a generalized ufunc's schedule arrays, with one core
    dimension each (their last axis)."""
    n = workers_count(workers)
    if out is None and (result := _unwrapped(uf, args, n, core)) is not None:
        return result
    if n > 1 and all(_plain(a) for a in args):
        result = _threaded(uf, args, n, out, core)
        if result is not None:
            return result
    return uf(*args, **({} if out is None else {"out": out}))


def _run(uf: np.ufunc, n: int, core: int, *arrays: Any) -> Any:
    """The ufunc over plain arrays, on n threads where that pays."""
    result = _threaded(uf, arrays, n, None, core) if n > 1 else None
    return uf(*arrays) if result is None else result


# ---------------------------------------------------------------------------
# Containers: pandas, xarray and Dask hand the ufunc plain arrays their own way
# and the result is wrapped again, rather than through __array_ufunc__, whose
# dispatch NumPy 2.4 leaks memory on for ufuncs of five or more inputs (some
# 240 bytes a call).  What none of these ways covers keeps NumPy's dispatch.

def _unwrapped(uf: np.ufunc, args: Sequence[Any], n: int, core: int) -> Any:
    """The result for containers of one library, or None to leave to NumPy."""
    libraries = {library(a) for a in args if _is_container(a)}
    if libraries == {"dask"}:
        return _dask(uf, args, core)
    if libraries == {"xarray"}:
        return _xarray(uf, args, n, core)
    if libraries == {"pandas"}:
        return _pandas(uf, args, n, core)
    return None


def _readable(obj: Any) -> bool:
    """Numbers or booleans of a NumPy dtype, or a Series of nullable numbers."""
    if hasattr(obj, "columns"):
        return all(isinstance(d, np.dtype) and d.kind in "fiub" for d in obj.dtypes)
    kind = getattr(obj.dtype, "kind", "O")
    return kind in "fiub" if isinstance(obj.dtype, np.dtype) else kind in "fiu"


def _pandas(uf: np.ufunc, args: Sequence[Any], n: int, core: int) -> Any:
    # pandas' own rule: the objects (all Series or all DataFrames) are aligned
    # on the union of their axes, and the result is of their type; nullable
    # numbers give nullable results, missing where an input is.  Beside them
    # scalars, and schedules that every row shares.
    pandas: Any = importlib.import_module("pandas")  # untyped without its stubs
    objs = [a for a in args if _is_container(a)]
    kind = type(objs[0])
    loop_ndims = [np.ndim(a) - (i >= len(args) - core) for i, a in enumerate(args) if not _is_container(a)]
    if (not all(type(o) is kind for o in objs) or not issubclass(kind, (pandas.Series, pandas.DataFrame))
            or not all(_readable(o) for o in objs) or any(loop_ndims)
            or any(_is_container(a) for a in args[len(args) - core:])):
        return None
    axes = list(objs[0].axes)
    for o in objs[1:]:
        axes = [a if a.equals(b) else a.union(b) for a, b in zip(axes, o.axes)]
    names = ("index", "columns")
    arrays = []
    missing = None  # where a nullable input is missing
    for a in args:
        if _is_container(a):
            if not all(x.equals(y) for x, y in zip(a.axes, axes)):
                a = a.reindex(**dict(zip(names, axes)))
            if isinstance(a.dtype, np.dtype) or hasattr(a, "columns"):
                a = a.to_numpy()
            else:
                na = a.isna().to_numpy()
                missing = na if missing is None else missing | na
                a = a.to_numpy(dtype=np.float64, na_value=np.nan)
        arrays.append(a)
    result = _run(uf, n, core, *arrays)
    series_names = {getattr(o, "name", None) for o in objs}
    name = series_names.pop() if len(series_names) == 1 else None

    def wrap(values: np.ndarray) -> Any:
        if issubclass(kind, pandas.DataFrame):
            return kind(values, index=axes[0], columns=axes[1])
        if missing is not None:
            values = pandas.arrays.FloatingArray(values, missing.copy())
        return kind(values, index=axes[0], name=name)

    return tuple(map(wrap, result)) if uf.nout > 1 else wrap(result)


def _xarray(uf: np.ufunc, args: Sequence[Any], n: int, core: int) -> Any:
    # xarray's own rule for ufuncs: its arithmetic join, attributes kept; a
    # Dask-backed object stays lazy, each block handed to the ufunc.  A
    # schedule every element shares rides along as a dimension of its own.
    import xarray

    get_options: Any = getattr(xarray, "get_options", dict)  # untyped
    join = get_options().get("arithmetic_join", "inner")
    apply_ufunc: Any = xarray.apply_ufunc  # untyped
    loop = list(args[:len(args) - core])
    schedule = [np.asarray(a) for a in args[len(args) - core:]]
    if not any(_is_container(a) for a in loop) or any(a.ndim != 1 for a in schedule):
        return None
    dim = "korvane schedule"
    arrays = loop + [xarray.DataArray(a, dims=[dim]) for a in schedule]
    return apply_ufunc(functools.partial(_run, uf, n, core), *arrays,
                       input_core_dims=[[]] * len(loop) + [[dim]] * core, output_core_dims=[[]] * uf.nout,
                       join=join, dataset_join=join, dataset_fill_value=np.nan, dask="parallelized",
                       output_dtypes=[np.float64] * uf.nout, keep_attrs=True,
                       dask_gufunc_kwargs={"allow_rechunk": True})


def _dask(uf: np.ufunc, args: Sequence[Any], core: int) -> Any:
    # Every block through the ufunc as an ndarray, lazily; broadcasting and
    # chunks are Dask's (a schedule in one chunk along its axis).
    import dask.array

    apply_gufunc: Any = dask.array.apply_gufunc  # untyped
    signature = ",".join(["()"] * (uf.nin - core) + ["(m)"] * core) + "->" + ",".join(["()"] * uf.nout)
    result = apply_gufunc(uf, signature, *args, output_dtypes=[np.float64] * uf.nout, allow_rechunk=True)
    return tuple(result) if uf.nout > 1 else result
