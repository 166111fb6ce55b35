"""pandas, xarray and Dask in, the same containers out, with the module's very doubles."""
import gc
import os
from pathlib import Path

import numpy as np
import pytest

import korvane
import reference as ref
from korvane.vantrel import baw_price, find_forward_baw

pd = pytest.importorskip("pandas")


def frame(n=400, seed=41):
    S, K, D, F, sigma, flag = ref.random_contracts(n, seed, 0.02, 2.0)
    labels = [f"opt{i}" for i in range(n)]
    types = np.where(flag == "c", "Call", "put")
    df = pd.DataFrame({"S": S, "K": K, "D": D, "F": F, "sigma": sigma, "type": types}, index=labels)
    df["price"] = [baw_price(*c) for c in zip(S, K, D, F, sigma, flag)]
    return df


DF = frame()
WANT = ref.bits(DF.price)


@pytest.mark.parametrize("workers", [1, 2])
def test_dataframe_columns_give_a_series_on_the_same_index(workers):
    got = korvane.price(DF.S, DF.K, DF.D, DF.F, DF.sigma, DF.type, workers=workers)
    assert isinstance(got, pd.Series) and got.index.equals(DF.index) and got.dtype == np.float64
    assert ref.bits(got) == WANT
    vols = korvane.implied_vol(DF.price, DF.S, DF.K, DF.D, DF.F, DF.type, workers=workers)
    assert isinstance(vols, pd.Series) and vols.index.equals(DF.index)
    assert ref.bits(vols) == ref.bits(korvane.implied_vol(*(DF[c].to_numpy() for c in ["price", "S", "K", "D", "F", "type"])))


def test_series_align_by_label():
    shuffled = DF.sample(frac=1.0, random_state=0)  # the same rows in another order
    got = korvane.price(DF.S, DF.K, DF.D, DF.F, DF.sigma, shuffled.type, workers=2)
    assert ref.bits(got.reindex(DF.index)) == WANT
    assert ref.bits(korvane.price(DF.S, shuffled.K, DF.D, DF.F, shuffled.sigma, DF.type).reindex(DF.index)) == WANT


def test_bad_flag_in_a_series_names_its_position():
    types = DF.type.copy()
    types.iloc[7] = "straddle"
    with pytest.raises(ValueError, match="flag at position 7 is 'straddle'"):
        korvane.price(DF.S, DF.K, DF.D, DF.F, DF.sigma, types)


def grid():
    xr = pytest.importorskip("xarray")
    strikes = np.linspace(80.0, 120.0, 9)
    spot = xr.DataArray([98.0, 100.0, 103.0], dims="date", coords={"date": ["mon", "tue", "wed"]})
    K = xr.DataArray(strikes, dims="strike", coords={"strike": strikes})
    return xr, spot, K


def test_xarray_keeps_dimensions_and_coordinates():
    xr, spot, K = grid()
    got = korvane.price(spot, K, 0.97, spot * 1.01, 0.25, "p", workers=2)
    assert isinstance(got, xr.DataArray) and got.dims == ("date", "strike")
    assert list(got.coords["date"].values) == ["mon", "tue", "wed"]
    want = [[baw_price(s, k, 0.97, s * 1.01, 0.25, "p") for k in K.values] for s in spot.values]
    assert ref.bits(got) == ref.bits(want)


def test_xarray_forward_over_the_last_dimension():
    xr, spot, K = grid()
    calls, puts = (korvane.price(spot, K, 0.97, spot * 1.01, 0.25, f) for f in "cp")
    got = korvane.forward(calls, puts, K, spot, 0.97)
    assert isinstance(got, xr.DataArray) and got.dims == ("date",)
    want = [find_forward_baw(calls.values[i], puts.values[i], K.values, spot.values[i], 0.97) for i in range(3)]
    assert ref.bits(got) == ref.bits(want)


@pytest.fixture(scope="module")
def dask_inputs():
    da = pytest.importorskip("dask.array")
    n = 20_000
    S, K, D, F, sigma, flag = (np.resize(a, n) for a in ref.random_contracts(2000, 42, 0.02, 2.0))
    lazy = [da.from_array(a, chunks=2500) for a in (S, K, D, F, sigma, flag)]
    return da, (S, K, D, F, sigma, flag), lazy


@pytest.mark.parametrize("scheduler", ["threads", "synchronous"])
def test_dask_stays_lazy_and_computes_the_same_doubles(dask_inputs, scheduler):
    da, eager, lazy = dask_inputs
    prices = korvane.price(*lazy)
    assert isinstance(prices, da.Array) and prices.chunks == lazy[0].chunks
    vols = korvane.implied_vol(prices, *lazy[:4], lazy[5])
    assert isinstance(vols, da.Array)
    want = korvane.price(*eager)
    assert ref.bits(prices.compute(scheduler=scheduler)) == ref.bits(want)
    assert ref.bits(vols.compute(scheduler=scheduler)) == ref.bits(korvane.implied_vol(want, *eager[:4], eager[5]))


def test_dask_flag_error_names_the_global_position(dask_inputs):
    da, eager, lazy = dask_inputs
    flags = eager[5].copy()
    flags[12_345] = "x"
    lazy_prices = korvane.price(*lazy[:5], da.from_array(flags, chunks=2500))  # nothing is checked yet
    with pytest.raises(ValueError, match="flag at position 12345 is 'x'"):
        lazy_prices.compute(scheduler="synchronous")


def test_dask_forward_of_stacked_chains(dask_inputs):
    da = dask_inputs[0]
    strikes = np.linspace(85.0, 115.0, 7)
    calls, puts = (np.stack([korvane.price(100.0, strikes, 0.98, f, 0.3, t) for f in (100.5, 101.5, 99.0)]) for t in "cp")
    got = korvane.forward(da.from_array(calls, chunks=(1, 7)), da.from_array(puts, chunks=(1, 7)), strikes, 100.0, 0.98)
    assert isinstance(got, da.Array)
    assert ref.bits(got.compute()) == ref.bits(korvane.forward(calls, puts, strikes, 100.0, 0.98))


def test_dask_distributed_cluster_of_two_processes(dask_inputs):
    distributed = pytest.importorskip("distributed")
    da, eager, lazy = dask_inputs
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        got = client.compute(korvane.price(*lazy)).result()
    assert ref.bits(got) == ref.bits(korvane.price(*eager))


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="reads the resident set from /proc")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="AddressSanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("fn, calls", [(korvane.price, 10_000), (korvane.greeks, 5_000)])
def test_containers_leak_nothing(fn, calls):
    # NumPy 2.4's dispatch through __array_ufunc__ leaked 240 (price) and 470
    # (greeks) bytes a call on a Series: 2.4 MB over these calls.
    def resident():
        return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    s = pd.Series(np.linspace(90.0, 110.0, 10))
    for _ in range(1_000):
        fn(s, 100.0, 0.97, 101.0, 0.3, "p")
    gc.collect()
    before = resident()
    for _ in range(calls):
        fn(s, 100.0, 0.97, 101.0, 0.3, "p")
    gc.collect()
    assert resident() - before < 1_000_000
