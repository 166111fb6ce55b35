import itertools
import math

import numpy as np
import pytest
from scipy.special import ndtr

import reference as ref
from korvane.vantrel import baw_price

nan, inf = math.nan, math.inf


def black(flag, K, D, F, sigma):
    d1 = np.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    call = D * (F * ndtr(d1) - K * ndtr(d2))
    return np.where(flag == "c", call, D * (K * ndtr(-d2) - F * ndtr(-d1)))


@pytest.mark.parametrize("args, american, european", [
    ((100, 100, 0.96, 100, 0.2, "c"), 7.73649, 7.64694),
    ((100, 100, 0.96, 102, 0.2, "p"), 7.02813, 6.80111),
    ((100, 100, 0.96, 105, 0.2, "c"), 10.46937, 10.46937),  # D F/S >= 1: never exercised early
])
def test_documented_prices(args, american, european):
    assert baw_price(*args) == pytest.approx(american, abs=1e-5)
    assert black(args[5], *args[1:5]) == pytest.approx(european, abs=1e-5)


# Critical prices S* ~ 141.954 (call, F = S) and S** ~ 76.4355 (put, F/S = 1.02):
# beyond them the option is exercised and worth exactly its intrinsic value.
@pytest.mark.parametrize("S, F, flag, exercised", [
    (141.96, 141.96, "c", True), (141.95, 141.95, "c", False),
    (70.0, 71.4, "p", True), (76.43, 77.9586, "p", True), (76.45, 77.979, "p", False),
])
def test_exercise_boundary(S, F, flag, exercised):
    intrinsic = S - 100 if flag == "c" else 100 - S
    price = baw_price(S, 100, 0.96, F, 0.2, flag)
    assert price == intrinsic if exercised else price > intrinsic


@pytest.mark.parametrize("S, K, D, F, sigma, flag, expected", [
    (110, 100, 0.5, 200, 0.0, "c", 10.0),  # no volatility: intrinsic on the spot, not the forward
    (110, 100, 0.9, 50, -1.0, "p", 0.0),
    (90, 100, 0.9, 150, -0.0, "p", 10.0),
    (90, 100, 0.9, 150, -3.0, "c", 0.0),
    (100, 100, 0.96, 100, nan, "c", nan),
    (100, 100, 0.96, 100, nan, "p", nan),
])
def test_special_volatilities(S, K, D, F, sigma, flag, expected):
    assert ref.same(baw_price(S, K, D, F, sigma, flag), expected)


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("D", [1.0, 1.03])
def test_no_discounting_is_european_floored_at_exercise(flag, D):
    for S, K, F, sigma in [(100, 100, 100, 0.2), (100, 60, 90, 1.3), (100, 150, 120, 0.05), (100, 70, 94, 0.17)]:
        exercise = max(S - K if flag == "c" else K - S, 0)
        want = max(black(flag, K, D, F, sigma), exercise)
        assert baw_price(S, K, D, F, sigma, flag) == pytest.approx(want, rel=1e-12)


# Haug (1998), The Complete Guide to Option Pricing Formulas, p. 24: K = 100,
# r = q = 0.10 (so D = exp(-0.1 t), F = S), sigma = v sqrt(t); S = 90, 100, 110.
HAUG = {
    ("c", 0.1, 0.15): (0.0206, 1.8771, 10.0089), ("c", 0.1, 0.25): (0.3159, 3.1280, 10.3919),
    ("c", 0.1, 0.35): (0.9495, 4.3777, 11.1679), ("c", 0.5, 0.15): (0.8208, 4.0842, 10.8087),
    ("c", 0.5, 0.25): (2.7437, 6.8015, 13.0170), ("c", 0.5, 0.35): (5.0063, 9.5106, 15.5689),
    ("p", 0.1, 0.15): (10.0000, 1.8770, 0.0410), ("p", 0.1, 0.25): (10.2533, 3.1277, 0.4562),
    ("p", 0.1, 0.35): (10.8787, 4.3777, 1.2402), ("p", 0.5, 0.15): (10.5595, 4.0842, 1.0822),
    ("p", 0.5, 0.25): (12.4419, 6.8014, 3.3226), ("p", 0.5, 0.35): (14.6945, 9.5104, 5.8823),
}


@pytest.mark.parametrize("flag, t, v, S, expected", [
    (*key, S, p) for key, row in HAUG.items() for S, p in zip((90, 100, 110), row)])
def test_haug_table(flag, t, v, S, expected):
    assert baw_price(S, 100, math.exp(-0.1 * t), S, v * math.sqrt(t), flag) == pytest.approx(expected, abs=3e-3)


# Zero, tiny, huge and infinite inputs in every combination; NaN one input at a
# time (where NaNs of both signs meet, which one propagates is up to the compiler).
ODD = [[1e-300, 0.0, inf], [1e-300, 0.0, inf, 1e17], [0.0, 1e-300, 1 - 1e-12], [0.0, inf], [1e-300, 1e-8, 50, 1e10, inf]]
BASE = (100.0, 100.0, 0.96, 100.0, 0.2)
EXTREMES = [*itertools.product(*([b, *odd] for b, odd in zip(BASE, ODD)), ["c", "p"]),
            *((*BASE[:i], nan, *BASE[i + 1:], flag) for i in range(5) for flag in "cp")]


def test_matches_reference_bit_for_bit():
    cases = [*zip(*(c.tolist() for c in ref.random_contracts(3000, 20240607, 1e-4, 3))), *EXTREMES]
    results = [(c, baw_price(*c), ref.price(*c)) for c in cases]
    assert [r for r in results if not ref.same(*r[1:])] == []


def test_american_bounds():
    S, K, D, F, sigma, flag = ref.random_contracts(3000, 7, 1e-4, 3)
    american = np.array([baw_price(*c) for c in zip(S, K, D, F, sigma, flag)])
    european = np.array([ref.bsm(1 if f == "c" else -1, *map(float, c)) for f, *c in zip(flag, K, D, F, sigma)])
    intrinsic = np.where(flag == "c", np.maximum(S - K, 0), np.maximum(K - S, 0))
    assert np.all(american >= european * (1 - 1e-12))
    assert np.all(american >= intrinsic)
    never_early = (flag == "c") & (D * (F / S) >= 1) & (D < 1)
    assert never_early.sum() > 100
    assert np.array_equal(american[never_early], european[never_early])
