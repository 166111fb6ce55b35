"""korvane.chain.analyze: forwards and volatilities as the array API gives them,
reasons where it gives none, curves, containers and bad input."""
import math
from pathlib import Path

import numpy as np
import pytest

import korvane
import reference as ref
from korvane import bsm, chain

pd = pytest.importorskip("pandas")

SPY = Path(__file__).resolve().parents[1] / "examples" / "data" / "spy_2026-02-10.csv"
S, R, Q = 100.0, 0.03, 0.01


def smile(m):
    return 0.2 - 0.1 * m + 0.2 * m * m


def synthetic(expiries=("2026-04-17", "2026-12-18"), strikes=np.arange(80.0, 121.0, 5.0), r=R, q=Q,
              spread=0.02, method="baw"):
    """Calls and puts priced on a smile with a known forward, bid and ask about the price."""
    rows = []
    for expiry in expiries:
        T = (np.datetime64(expiry) - np.datetime64("2026-02-10")) / np.timedelta64(1, "D") / 365
        for flag in ("call", "put"):
            vol = smile(np.log(strikes / S))
            price = bsm.price(S, strikes, T, r, q, vol, flag, method=method)
            rows += [(expiry, k, flag, p - spread, p + spread) for k, p in zip(strikes, price)]
    return pd.DataFrame(rows, columns=["expiry", "strike", "type", "bid", "ask"])


def analyze(quotes, **kw):
    kw.setdefault("valuation_date", "2026-02-10")
    return chain.analyze(quotes, S, kw.pop("rate", R), **kw)


@pytest.fixture(scope="module")
def spy():
    quotes = pd.read_csv(SPY).rename(columns={"option_type": "type"})
    return quotes, chain.analyze(quotes, 692.12, 0.04, valuation_date="2026-02-10")


def test_forwards_are_korvane_forward_per_expiry(spy):
    quotes, result = spy
    e = result.expiries
    assert (e.status == "ok").all() and (e.strikes_used >= 8).all()
    q = quotes[(quotes.bid > 0) & (quotes.ask >= quotes.bid)].assign(mid=lambda d: (d.bid + d.ask) / 2)
    for expiry, group in q.groupby("expiry"):
        pairs = group.pivot(index="strike", columns="type", values="mid").dropna()
        row = e.loc[expiry]
        F = korvane.forward(pairs.call, pairs.put, pairs.index, 692.12, row.D, row.strike_pct)
        assert ref.same(float(F), row.forward) and len(pairs) == row.pairs
        assert ref.same(row.D, float(bsm.to_forward_form(692.12, row["T"], 0.04, 0.0)[0]))
        assert ref.same(row["yield"], float(bsm.implied_yield(F, 692.12, row["T"], 0.04)))
        # The window holds the eight pairs nearest the spot.
        distance = np.sort(np.abs(pairs.index / 692.12 - 1))
        assert distance[7] <= row.strike_pct < distance[8] and row.strikes_used == 8


@pytest.mark.parametrize("method", ["baw", "alo", "european"])
def test_volatilities_and_greeks_are_the_array_apis(method):
    quotes = synthetic(method=method)
    result = analyze(quotes, method=method)
    e, v = result.expiries, result.quotes
    assert (e.status == "ok").all() and np.allclose(e["yield"], Q, atol=2e-4)
    # The smile at the forward, to the error of its chord between the strikes either side
    # (0.2 (x - m0)(m1 - x) <= 1.2e-4 on the 5-wide strikes).
    assert np.allclose(e.atm_vol, smile(np.log(e.forward / S)), rtol=0, atol=1.3e-4)
    D, F, T = e.D.loc[v.expiry].to_numpy(), e.forward.loc[v.expiry].to_numpy(), v["T"].to_numpy()
    flag = quotes.type.to_numpy()
    sigma = korvane.implied_vol(v.mid.to_numpy(), S, v.strike.to_numpy(), D, F, flag, method=method)
    solved = sigma > 0
    assert solved.mean() > 0.9
    assert ref.bits(v.iv[solved]) == ref.bits(sigma[solved] / np.sqrt(T[solved]))
    assert v.iv[~solved].isna().all() and (v.reason[~solved] != "").all() and (v.reason[solved] == "").all()
    for column, price in (("iv_bid", quotes.bid), ("iv_ask", quotes.ask)):
        want = korvane.implied_vol(price.to_numpy(), S, v.strike.to_numpy(), D, F, flag, method=method)
        assert ref.bits(v[column]) == ref.bits(want / np.sqrt(T))
    black = korvane.implied_vol(v.mid.to_numpy(), S, v.strike.to_numpy(), D, F, flag, method="european")
    assert ref.bits(v.iv_european) == ref.bits(black / np.sqrt(T))
    r, q = R, e["yield"].loc[v.expiry].to_numpy()
    g = bsm.greeks(S, v.strike.to_numpy(), T, r, q, v.iv.to_numpy(), flag, method=method)
    for column, field, scale in (("delta", "delta", 1), ("vega_per_volpt", "vega", 0.01),
                                 ("theta_per_day", "theta", 1 / 365), ("rho_per_pct", "rho", 0.01)):
        assert ref.bits(v[column]) == ref.bits(getattr(g, field) * scale)
    # Early exercise is worth something for American puts only.
    premium = v.exercise_premium[solved & (flag == "put")]
    assert (premium.abs() < 1e-12).all() if method == "european" else (premium > 0).all()


def test_workers_and_polars_give_the_same_doubles():
    quotes = synthetic(strikes=np.arange(50.0, 151.0, 0.25))  # 1,604 quotes: split over threads
    one = analyze(quotes)
    two = analyze(quotes, workers=2)
    for name in ("iv", "iv_bid", "delta", "theta_per_day"):
        assert ref.bits(one.quotes[name]) == ref.bits(two.quotes[name])
    assert ref.bits(one.expiries.forward) == ref.bits(two.expiries.forward)
    pl = pytest.importorskip("polars")
    pytest.importorskip("narwhals")
    other = analyze(pl.DataFrame(quotes.to_dict("list")))
    assert isinstance(other.quotes, pl.DataFrame) and other.expiries.columns[0] == "expiry"
    assert ref.bits(other.quotes["iv"].to_numpy()) == ref.bits(one.quotes.iv)
    assert other.quotes["reason"].to_list() == one.quotes.reason.tolist()


def one_of_each():
    """A chain with one quote of each reason (and their expected reasons)."""
    quotes = synthetic(expiries=("2026-08-10",), strikes=np.arange(70.0, 121.0, 2.5))
    quotes.index = [f"q{i}" for i in range(len(quotes))]
    put, call = quotes.type == "put", quotes.type == "call"
    want = pd.Series("", index=quotes.index)

    def make(mask, k, bid, ask, reason):
        label = quotes.index[mask & (quotes.strike == k)][0]
        quotes.loc[label, ["bid", "ask"]] = bid, ask
        want[label] = reason

    # Away from the eight pairs nearest the spot, which give the forward.
    make(call, 80.0, np.nan, 21.0, "missing quote")
    make(call, 70.0, 30.2, 30.4, "below the exercise value")  # at expiry: D (F - K) = 30.55
    make(call, 72.5, 29.0, 28.0, "crossed quote")
    make(call, 120.0, 0.0, 0.1, "no bid")
    make(put, 120.0, 19.0, 19.5, "below the exercise value")
    make(put, 117.5, 17.5, 17.5, "no time value")
    make(call, 75.0, 100.0, 101.0, "above the no-arbitrage bound")
    make(call, 77.5, 99.9, 99.9, "no volatility in the search range")
    # An expired expiry, and one with calls alone (no pair, so no forward).
    late = synthetic(expiries=("2026-02-10", "2026-10-16"))
    late.index = [f"x{i}" for i in range(len(late))]
    late = late[(late.expiry == "2026-02-10") | (late.type == "call")]
    reasons = np.where(late.expiry == "2026-02-10", "expired", "no forward")
    return pd.concat([quotes, late]), pd.concat([want, pd.Series(reasons, index=late.index)])


def test_each_reason_where_it_belongs():
    quotes, want = one_of_each()
    result = analyze(quotes)
    assert result.quotes.reason.to_dict() == want.to_dict()
    assert set(want) - {""} == set(chain.REASONS)
    status = result.expiries.status
    assert status.tolist() == ["expired", "ok", "no call-put pair: no forward"]
    assert result.expiries.forward.isna().tolist() == [True, False, True]
    # A yield gives the unpaired expiry its forward, and its quotes volatilities.
    given = analyze(quotes, dividends=0.02)
    assert given.expiries.status.iloc[2] == "no call-put pair: forward from the dividend yield"
    assert math.isclose(given.expiries["yield"].iloc[2], 0.02, abs_tol=1e-15)
    assert (given.quotes.reason[want == "no forward"] == "").all()


@pytest.mark.parametrize("method, reach", [("baw", 8.0), ("alo", 16.0)])
def test_a_puts_bound_at_a_negative_rate(method, reach):
    # Held to expiry a put is worth up to D K > K: 1e-3 below it takes a total
    # standard deviation near 9, beyond BAW's search (to 8), within the accurate one's (to 16).
    quotes = synthetic(expiries=("2027-02-10",), strikes=np.array([100.0, 105.0, 110.0]), r=-0.02, q=0.0)
    quotes = quotes[quotes.type == "put"].copy()
    DK = quotes.strike * math.exp(0.02 * 1.0)
    quotes["bid"] = quotes["ask"] = DK + np.array([-1e-3, 0.0, 1.0])
    got = analyze(quotes, rate=-0.02, dividends=0.0, method=method).quotes
    assert got.reason.tolist()[1:] == ["above the no-arbitrage bound"] * 2
    if reach == 8.0:
        assert got.reason.iloc[0] == "no volatility in the search range"
    else:
        assert 8.0 < got.iv.iloc[0] < 16.0  # T = 1: the total standard deviation


def test_rate_curves():
    quotes = synthetic(expiries=("2026-03-12", "2026-08-10", "2027-02-10", "2029-02-09"))
    T = analyze(quotes).expiries["T"].to_numpy()
    nodes, zeros = [0.25, 1.0, 2.0], [0.02, 0.03, 0.035]
    r = analyze(quotes, rate=(nodes, zeros)).expiries.rate.to_numpy()
    rT = np.interp(T, [0.0] + nodes, [0.0] + [z * t for z, t in zip(zeros, nodes)])
    assert np.allclose(r[:3] * T[:3], rT[:3], rtol=1e-15, atol=0)  # flat forwards between nodes
    assert r[0] == 0.02 and r[3] == 0.035  # flat zero rates outside them
    assert np.allclose(r[1] * T[1], 0.02 * 0.25 + (0.025 / 0.75) * (T[1] - 0.25), rtol=1e-14)
    # Dates as nodes, and a discount factor per expiry (a dict or a Series, by expiry).
    dated = analyze(quotes, rate=(["2026-05-12", "2027-02-10", "2028-02-10"], zeros)).expiries.rate
    assert np.allclose(dated, r, rtol=1e-3)
    D = {expiry: math.exp(-0.05 * t) for expiry, t in zip(sorted(set(quotes.expiry)), T)}
    for given in (D, pd.Series(D)):
        e = analyze(quotes, rate=given).expiries
        assert e.D.tolist() == list(D.values()) and np.allclose(e.rate, 0.05, rtol=1e-13)


def test_index_names_and_maturities_in_years():
    quotes = synthetic(expiries=("2026-08-10",))
    quotes.index = pd.Index(np.arange(100, 100 + len(quotes)), name="quote_id")
    by_date = analyze(quotes)
    assert by_date.quotes.index.equals(quotes.index) and by_date.expiries.index.name == "expiry"
    assert by_date.expiries.index.tolist() == ["2026-08-10"]
    years = quotes.assign(expiry=by_date.quotes["T"])
    in_years = chain.analyze(years, S, R)
    assert ref.bits(in_years.quotes.iv) == ref.bits(by_date.quotes.iv)
    # A price column instead of bid and ask.
    priced = quotes.drop(columns=["bid", "ask"]).assign(price=by_date.quotes.mid)
    assert ref.bits(analyze(priced).quotes.iv) == ref.bits(by_date.quotes.iv)


BAD = [
    (lambda q: q.drop(columns="strike"), {}, "no 'strike' column"),
    (lambda q: q.drop(columns=["bid"]), {}, "'bid' and 'ask' columns or a 'price' column"),
    (lambda q: q.assign(strike=q.strike.where(q.index != "q5", -5.0)), {}, r"'strike', row 'q5'"),
    (lambda q: q.assign(strike=q.strike.where(q.index != "q3", np.nan)), {}, r"'strike', row 'q3'"),
    (lambda q: q.assign(type=q.type.where(q.index != "q7", "straddle")), {}, r"'type', row 'q7': 'straddle'"),
    (lambda q: q.assign(bid=q.bid.astype(object).where(q.index != "q2", "n/a")), {}, r"'bid', row 'q2'"),
    (lambda q: q.assign(expiry=q.expiry.where(q.index != "q4", "soon")), {}, r"'expiry', row 'q4'"),
    (lambda q: pd.concat([q, q.iloc[[6]].rename(index={"q6": "again"})]), {}, "'q6' and row 'again'"),
    (lambda q: q, {"valuation_date": None}, "pass valuation_date"),
    (lambda q: q, {"dividends": ([0.1], [1.0])}, "cash dividends need method='fd'"),
    (lambda q: q, {"rate": ([1.0, 0.5], [0.01, 0.02])}, "positive and increasing"),
    (lambda q: q, {"rate": {"2026-01-01": 0.99}}, "no discount factor for expiry '2026-08-10'"),
    (lambda q: q, {"method": "binomial"}, "method must be"),
    (lambda q: q, {"forward_pairs": 0}, "forward_pairs must be"),
]


@pytest.mark.parametrize("change, kw, message", BAD, ids=[b[2] for b in BAD])
def test_bad_input_names_the_column_and_row(change, kw, message):
    quotes = synthetic(expiries=("2026-08-10",))
    quotes.index = [f"q{i}" for i in range(len(quotes))]
    with pytest.raises(ValueError, match=message):
        analyze(change(quotes), **kw)


def test_plots(tmp_path):
    pytest.importorskip("matplotlib")
    quotes, _ = one_of_each()
    result = analyze(quotes)
    fig = result.plot_smiles(tmp_path / "smiles.png")
    assert (tmp_path / "smiles.png").stat().st_size > 10_000
    # One panel per expiry (the expired one says so); out-of-the-money points only.
    panels = [ax for ax in fig.axes if ax.axison]
    assert len(panels) == 3 and "expired" in panels[0].texts[0].get_text()
    v = result.quotes
    shown = sum(len(line.get_xdata()) for line in panels[1].lines if line.get_marker() == "o")
    assert shown == (v.otm & v.iv.notna() & (v.expiry == "2026-08-10")).sum()
    fig = result.plot_term_structure(tmp_path / "term.svg")
    assert len(fig.axes) == 3 and (tmp_path / "term.svg").exists()
