"""korvane.forward on real quotes: two AAPL chains of 2014, with missing quotes, one spanning
an ex-dividend date."""
import csv
import math
from pathlib import Path

import numpy as np
import pytest

import korvane
import reference as ref
from korvane.vantrel import find_forward_baw

RATE = 0.001  # US short rates were about 0.1% in late 2014
DATA = Path(__file__).with_name("data") / "aapl_2014.csv"


def chains():
    """{quote date: (spot, T, strikes, call mids, put mids)}, NaN where a side has no bid."""
    with open(DATA) as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    out = {}
    for date in sorted({r["quote_date"] for r in rows}):
        mine = [r for r in rows if r["quote_date"] == date]
        strikes = sorted({float(r["strike"]) for r in mine})
        mid = {(r["type"], float(r["strike"])): (float(r["bid"]) + float(r["ask"])) / 2 if float(r["bid"]) > 0 else math.nan
               for r in mine}
        calls, puts = (np.array([mid.get((kind, k), math.nan) for k in strikes]) for kind in ("call", "put"))
        out[date] = (float(mine[0]["spot"]), int(mine[0]["days"]) / 365, np.array(strikes), calls, puts)
    return out


CHAINS = chains()


def test_the_data_has_gaps():
    for S, T, strikes, calls, puts in CHAINS.values():
        assert len(strikes) > 35 and np.isnan(calls).any() and np.isnan(puts).any()


@pytest.mark.parametrize("pct", [0.01, 0.02, 0.05])
@pytest.mark.parametrize("date, dividend", [("2014-10-23", (-0.05, 0.05)), ("2014-11-05", (0.35, 0.65))])
def test_implied_dividends_are_plausible(date, dividend, pct):
    S, T, strikes, calls, puts = CHAINS[date]
    D = math.exp(-RATE * T)
    F = korvane.forward(calls, puts, strikes, S, D, pct)
    usable = ~(np.isnan(calls) | np.isnan(puts))
    assert ref.same(F, find_forward_baw(calls[usable], puts[usable], strikes[usable], S, D, pct))
    # The dividend the forward implies, paid before expiry: none in the one-day chain;
    # the $0.47 AAPL paid on 2014-11-06 in the other, within the quotes' spreads (5-10 cents).
    implied = S - D * F
    assert dividend[0] < implied < dividend[1]
    q = RATE - math.log(F / S) / T  # as a continuous yield
    assert (abs(q) < 0.2) if dividend[0] < 0 else (0.6 < q < 1.1)  # 0.47/108.86 over 2 days is 79% a year


def test_stacked_with_their_own_spot_and_discount():
    # On the union of both chains' strikes a strike one chain lacks is a missing quote.
    (S1, T1, k1, c1, p1), (S2, T2, k2, c2, p2) = CHAINS.values()
    strikes = np.union1d(k1, k2)

    def on_union(k, values):
        return np.array([values[np.searchsorted(k, s)] if s in k else math.nan for s in strikes])

    calls = np.stack([on_union(k1, c1), on_union(k2, c2)])
    puts = np.stack([on_union(k1, p1), on_union(k2, p2)])
    D = np.exp(-RATE * np.array([T1, T2]))
    got = korvane.forward(calls, puts, strikes, [S1, S2], D)
    assert ref.bits(got) == ref.bits([korvane.forward(c1, p1, k1, S1, D[0]), korvane.forward(c2, p2, k2, S2, D[1])])
