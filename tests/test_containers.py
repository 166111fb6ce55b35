"""The array API keeps what NumPy keeps: result types, masks and dtypes whatever
`workers` is, every honest flag spelling, and forwards over any layout."""
import math

import numpy as np
import pytest

import korvane
import reference as ref
from korvane.vantrel import baw_price

pd = pytest.importorskip("pandas")

N = 1200
SPOTS = np.linspace(90.0, 110.0, N)
CALL, PUT = (baw_price(100.0, 100.0, 0.96, 101.0, 0.3, f) for f in "cp")


def same_as_one_call(fn, *args, **kwargs):
    """fn's result with workers=2 against workers=1: type, dtype, mask, values."""
    one, two = fn(*args, **kwargs, workers=1), fn(*args, **kwargs, workers=2)
    assert type(two) is type(one)
    assert getattr(two, "dtype", None) == getattr(one, "dtype", None)
    if isinstance(one, np.ma.MaskedArray):
        assert (np.ma.getmaskarray(two) == np.ma.getmaskarray(one)).all()
    assert ref.bits(filled(two)) == ref.bits(filled(one))
    return two


def filled(x):
    """Values as doubles, masked or missing ones 0."""
    if hasattr(x, "to_numpy"):
        x = x.to_numpy(dtype=float, na_value=np.nan)
    return np.ma.filled(x if np.ma.isMaskedArray(x) else np.asarray(x, dtype=float), 0.0)


@pytest.mark.parametrize("S", [
    np.ma.masked_array(SPOTS, mask=np.arange(N) % 3 == 1),
    np.matrix(SPOTS),
    100.0, np.float32(100.0), [100.0],
], ids=["masked", "matrix", "float", "float32", "list1"])
def test_workers_keep_the_result_type(S):
    got = same_as_one_call(korvane.price, S, 100.0, 0.96, 101.0, 0.3, "c")
    if np.ndim(S) == 0:
        assert type(got) is np.float64
    if isinstance(S, np.ma.MaskedArray):
        assert got.mask[1] and not got.mask[0]


def test_workers_keep_numpy_scalars_in_greeks():
    g = korvane.greeks(100.0, 100.0, 0.96, 101.0, 0.3, "c", T=1.0, workers=2)
    assert all(type(v) is np.float64 for v in g)


def test_series_beside_a_2d_array():
    s = pd.Series(np.full(40, 100.0))
    same_as_one_call(korvane.price, s, np.full((40, 40), 100.0), 0.96, 101.0, 0.3, "c")


@pytest.mark.parametrize("flag", ["c", True, np.True_])
def test_nullable_floats_stay_nullable(flag):
    S = pd.Series([100.0, None] * 300, dtype="Float64")
    got = same_as_one_call(korvane.price, S, 100.0, 0.96, 101.0, 0.3, flag)
    assert got.dtype == "Float64" and got.isna().sum() == 300 and got.iloc[0] == CALL


def test_out_of_the_wrong_shape_gets_numpys_own_message():
    messages = []
    for workers in (1, 2):
        with pytest.raises(ValueError) as info:
            korvane.price(SPOTS, 100.0, 0.96, 101.0, 0.3, "c", workers=workers, out=np.empty(5))
        messages.append(str(info.value))
    assert messages[0] == messages[1]


# ---------------------------------------------------------------------------
# Flags.

@pytest.mark.parametrize("flag, is_call", [
    (np.array([True, False], dtype=object), [1, 0]),
    ([True, "p", "CALL", np.False_], [1, 0, 1, 0]),
    (pd.Series([True, False], dtype=object), [1, 0]),
    (np.array(["c", "Put"], dtype=np.dtypes.StringDType()) if hasattr(np, "dtypes") and
     hasattr(np.dtypes, "StringDType") else np.array(["c", "Put"]), [1, 0]),
])
def test_more_honest_flags(flag, is_call):
    got = korvane.price(100.0, 100.0, 0.96, 101.0, 0.3, flag)
    assert ref.bits(got) == ref.bits(np.where(np.asarray(is_call, dtype=bool), CALL, PUT))


@pytest.mark.parametrize("flag, message", [
    (np.array([b"c", b"p", b"\xffp"]), r"flag at position 2 is b'\\xffp'"),
    (np.array(["c", None, "p"], dtype=object), "flag at position 1 is None"),
    (pd.Series(["c", pd.NA, "p"], dtype=object), "flag at position 1 is <NA>"),
    (pd.Series(["c", "p", None], dtype="string"), "flag at position 2 is <NA>"),
    ([True, "p", 1], "flag at position 2 is 1"),
])
def test_bad_flags_name_their_place(flag, message):
    with pytest.raises(ValueError, match=message):
        korvane.price(100.0, 100.0, 0.96, 101.0, 0.3, flag)


def test_a_flag_series_missing_a_label():
    S = pd.Series([100.0, 101.0, 102.0], index=["a", "b", "c"])
    flags = pd.Series(["c", "p"], index=["a", "b"])
    with pytest.raises(ValueError, match=r"flags do not align with S: no flag for its label\(s\) 'c'"):
        korvane.price(S, 100.0, 0.96, 101.0, 0.3, flags)
    extra = pd.Series(["c", "p", "c", "p"], index=["a", "b", "c", "d"])  # a flag without numbers is pandas' NaN
    got = korvane.price(S, 100.0, 0.96, 101.0, 0.3, extra)
    assert list(got.index) == ["a", "b", "c", "d"] and math.isnan(got["d"])


def test_dask_backed_flags_in_xarray_stay_lazy():
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    calls = []

    def spy(block):  # Dask may try it on an empty block to learn its type
        calls.extend([1] * (block.size > 0))
        return block

    flags = xr.DataArray(da.from_array(np.array(["c", "p"] * 4), chunks=4).map_blocks(spy, dtype="<U1"), dims="k")
    got = korvane.price(100.0, xr.DataArray(np.linspace(90, 110, 8), dims="k"), 0.96, 101.0, 0.3, flags)
    assert calls == [] and got.chunks is not None
    want = korvane.price(100.0, np.linspace(90, 110, 8), 0.96, 101.0, 0.3, ["c", "p"] * 4)
    assert ref.bits(got.compute()) == ref.bits(want)


# ---------------------------------------------------------------------------
# Forwards over any layout.

STRIKES = np.linspace(80.0, 125.0, 10)
CHAIN = [np.array([baw_price(100.0, k, 0.99, 101.0, 0.3, f) for k in STRIKES]) for f in "cp"]
C2, P2 = (np.stack([x, x * 1.001]) for x in CHAIN)  # two chains along axis 0 of each row
WANT = korvane.forward(C2, P2, STRIKES, 100.0, 0.99)


def test_forward_chain_axis():
    got = korvane.forward(C2.T, P2.T, STRIKES[:, None], 100.0, 0.99, axis=0)
    assert ref.bits(got) == ref.bits(WANT)


def test_forward_dask_mixed_and_unevenly_chunked():
    da = pytest.importorskip("dask.array")
    got = korvane.forward(da.from_array(C2, chunks=(1, 5)), da.from_array(P2, chunks=(1, 10)), list(STRIKES),
                          100.0, 0.99)
    assert ref.bits(got.compute()) == ref.bits(WANT)
    got = korvane.forward(da.from_array(C2.T, chunks=(3, 1)), P2.T, STRIKES[:, None], 100.0, 0.99, axis=0)
    assert ref.bits(got.compute()) == ref.bits(WANT)


def test_forward_of_the_rows_of_a_frame_keeps_their_labels():
    expiries = pd.Index(["2026-03", "2026-06"], name="expiry")
    calls, puts = (pd.DataFrame(x, index=expiries, columns=STRIKES) for x in (C2, P2))
    got = korvane.forward(calls, puts, STRIKES, 100.0, 0.99)
    assert isinstance(got, pd.Series) and got.index.equals(expiries) and ref.bits(got) == ref.bits(WANT)
    by_column = korvane.forward(calls.T, puts.T, STRIKES[:, None], 100.0, 0.99, axis=0)
    assert by_column.index.equals(expiries) and ref.bits(by_column) == ref.bits(WANT)


def test_forward_xarray_dim_not_last():
    xr = pytest.importorskip("xarray")
    calls = xr.DataArray(C2.T, dims=("strike", "expiry"))
    puts = xr.DataArray(P2.T, dims=("strike", "expiry"))
    strikes = xr.DataArray(STRIKES, dims="strike")
    got = korvane.forward(calls, puts, strikes, 100.0, 0.99, dim="strike")
    assert got.dims == ("expiry",) and ref.bits(got) == ref.bits(WANT)
    with pytest.raises(ValueError, match="dim 'date' is not a dimension"):
        korvane.forward(calls, puts, strikes, 100.0, 0.99, dim="date")


def test_bad_method():
    for fn, args in [(korvane.price, (100.0, 100.0, 0.96, 101.0, 0.3, "c")),
                     (korvane.implied_vol, (5.0, 100.0, 100.0, 0.96, 101.0, "c")),
                     (korvane.greeks, (100.0, 100.0, 0.96, 101.0, 0.3, "c")),
                     (korvane.forward, (C2, P2, STRIKES, 100.0, 0.99))]:
        with pytest.raises(ValueError, match=r"^method must be 'baw', 'alo', 'european' or 'fd'; got 'BAW'$"):
            fn(*args, method="BAW")
