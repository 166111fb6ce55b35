"""korvane.greeks against Richardson-extrapolated central differences of the module's price,
Black's closed forms on the European branches, and exact values where the price is flat."""
import math

import numpy as np
import pytest
from scipy.special import ndtr

import korvane
import reference as ref
from korvane.vantrel import baw_price

nan = math.nan


def robust_derivative(f, x, h):
    """The median of Richardson estimates at h, h/3 and h/10: one of them may
    catch the noise of the critical-price solve (1e-10) over a small step."""
    return float(np.median([ref.richardson(f, x, h * m) for m in (1.0, 1 / 3, 0.1)]))


def contracts(n, seed):
    """S = 100 and F/S on a 1/1024 grid, so that bumped spots carry exactly the same F/S
    (then the critical price, which depends on F/S only, is solved bit for bit alike)."""
    rng = np.random.default_rng(seed)
    S = np.full(n, 100.0)
    K = 100 * np.exp(rng.uniform(-0.6, 0.6, n))
    D = rng.uniform(0.75, 0.999, n)
    g = np.round(rng.uniform(0.8, 1.25, n) * 1024) / 1024
    sigma = np.exp(rng.uniform(np.log(0.005), np.log(3.0), n))
    flag = rng.choice(["c", "p"], n)
    return S, K, D, g, sigma, flag


def close(a, b, rel=1e-6, scale=100.0):
    return abs(a - b) <= rel * abs(b) + 1e-9 * scale


def sample():
    """Contracts away from the exercise boundary and from the branch switch at D F/S = 1."""
    S, K, D, g, sigma, flag = contracts(4000, 51)
    keep = []
    for i in range(len(S)):
        spot = S[i]
        away = all(baw_price(x, K[i], D[i], g[i] * x, sigma[i] * m, flag[i]) > ref.intrinsic(flag[i] == "c", x, K[i]) + 1e-4
                   for x in (spot * 0.96, spot * 1.04) for m in (0.98, 1.02))
        if away and abs(D[i] * g[i] - 1) > 0.02:
            keep.append(i)
    return [a[keep] for a in (S, K, D, g, sigma, flag)]


SAMPLE = sample()


def test_sample_covers_both_kinds_and_early_exercise():
    S, K, D, g, sigma, flag = SAMPLE
    premium = [baw_price(s, k, d, gi * s, v, f) - black_greeks(f, s, k, d, gi * s, v)[0]
               for s, k, d, gi, v, f in zip(S, K, D, g, sigma, flag)]
    assert len(S) > 1500 and {"c", "p"} <= set(flag)
    assert sum(p > 1e-3 for p in premium) > 500  # the early-exercise premium matters in many


def test_forward_form_greeks_match_central_differences():
    S, K, D, g, sigma, flag = SAMPLE
    G = korvane.greeks(S, K, D, g * S, sigma, flag)
    bad = []
    for i in range(len(S)):
        k, d, gi, s, f = K[i], D[i], g[i], sigma[i], flag[i]
        at_spot = lambda x: baw_price(x, k, d, gi * x, s, f)  # noqa: E731
        h = 1 / 64  # a binary fraction: x +- h and gi (x +- h) are exact
        fd = {
            "delta": ref.richardson(at_spot, S[i], 4 * h),
            "gamma": ref.richardson2(at_spot, S[i], 4 * h),
            "vega": ref.richardson(lambda x: baw_price(S[i], k, d, gi * S[i], x, f), s, 1e-3 * s),
        }
        for name, want in fd.items():
            got = getattr(G, name)[i]
            if not close(got, want):
                bad.append((i, name, got, want))
    assert bad == []


def rate_price(S, K, r, q, vol, T, flag):
    return baw_price(S, K, math.exp(-r * T), S * math.exp((r - q) * T), vol * math.sqrt(T), flag)


@pytest.mark.parametrize("T", [0.05, 0.5, 2.0, 7.0])
def test_rate_form_greeks_match_central_differences(T):
    rng = np.random.default_rng(int(T * 100))
    n = 300
    S, K = np.full(n, 100.0), 100 * np.exp(rng.uniform(-0.4, 0.4, n))
    r, q, vol = rng.uniform(0.001, 0.12, n), rng.uniform(-0.03, 0.1, n), rng.uniform(0.08, 0.8, n)
    flag = rng.choice(["c", "p"], n)
    D, F, sigma = np.exp(-r * T), S * np.exp((r - q) * T), vol * np.sqrt(T)
    G = korvane.greeks(S, K, D, F, sigma, flag, T=T)
    bad, checked = [], 0
    for i in range(n):
        args = (S[i], K[i], r[i], q[i], vol[i], T, flag[i])
        intrinsic = ref.intrinsic(flag[i] == "c", S[i], K[i])
        near = [rate_price(S[i], K[i], r[i] * a, q[i] * b, vol[i], T * c, flag[i]) - intrinsic
                for a, b, c in ((1.05, 1, 1), (0.95, 1, 1), (1, 1.05, 1), (1, 0.95, 1), (1, 1, 1.02), (1, 1, 0.98))]
        if min(near) < 1e-4 or flag[i] == "c" and abs(q[i]) < 2e-3:
            continue  # at or near the exercise boundary, or the call's switch to Black at q = 0
        checked += 1
        fd = {
            "theta": -robust_derivative(lambda t: rate_price(*args[:5], t, args[6]), T, 3e-3 * T),
            "rho": robust_derivative(lambda x: rate_price(args[0], args[1], x, *args[3:]), r[i], 3e-4),
            "psi": robust_derivative(lambda x: rate_price(*args[:3], x, *args[4:]), q[i], 3e-4),
        }
        for name, want in fd.items():
            got = getattr(G, name)[i]
            if not close(got, want):
                bad.append((i, name, got, want))
    assert checked > n // 2 and bad == []


def black_greeks(flag, S, K, D, F, sigma):
    """Black on a forward that moves with the spot, from the textbook formulas."""
    s = 1 if flag == "c" else -1
    d1 = math.log(F / K) / sigma + sigma / 2
    pdf = math.exp(-d1 * d1 / 2) / math.sqrt(2 * math.pi)
    price = D * s * (F * ndtr(s * d1) - K * ndtr(s * (d1 - sigma)))
    return price, D * s * ndtr(s * d1) * F / S, D * pdf * F / (S * S * sigma), D * F * pdf


@pytest.mark.parametrize("S, K, D, F, sigma, flag", [
    (100.0, 100.0, 1.0, 100.0, 0.2, "p"),     # no positive rate
    (100.0, 120.0, 1.02, 95.0, 0.4, "c"),
    (100.0, 80.0, 0.95, 110.0, 0.3, "c"),     # carry above the rate: D F/S > 1
    (100.0, 100.0, 0.97, 100.0 / 0.97, 0.5, "c"),  # D F/S = 1
])
def test_european_branches_are_black(S, K, D, F, sigma, flag):
    G = korvane.greeks(S, K, D, F, sigma, flag, T=0.5)
    want = black_greeks(flag, S, K, D, F, sigma)
    assert G.price == baw_price(S, K, D, F, sigma, flag)
    for got, w in zip(G[:4], want):
        assert got == pytest.approx(w, rel=1e-12)


@pytest.mark.parametrize("S, K, D, F, sigma, flag, delta", [
    (60.0, 100.0, 0.9, 61.0, 0.2, "p", -1.0),  # deep in the money, early exercise: S <= S**
    (200.0, 100.0, 0.8, 150.0, 0.2, "c", 1.0),  # S >= S*
    (110.0, 100.0, 0.9, 150.0, 0.0, "c", 1.0),  # no volatility: the exercise value on the spot
    (90.0, 100.0, 0.9, 150.0, 0.0, "c", 0.0),
    (100.0, 100.0, 0.9, 150.0, 0.0, "c", 0.0),  # at the kink: flat, as the exercise value is above it
    (90.0, 100.0, 0.9, 50.0, -1.0, "p", -1.0),
    (110.0, 100.0, 0.9, 50.0, -0.0, "p", 0.0),
])
def test_flat_branches_are_exact(S, K, D, F, sigma, flag, delta):
    G = korvane.greeks(S, K, D, F, sigma, flag, T=1.5)
    assert G.price == baw_price(S, K, D, F, sigma, flag) == ref.intrinsic(flag == "c", S, K)
    assert G.delta == delta
    assert [ref.signbit(x) or x for x in G[2:]] == [0.0] * 5  # +0.0 each


@pytest.mark.parametrize("i", range(6))
def test_nan_input_gives_nan_greeks(i):
    args = [100.0, 100.0, 0.96, 101.0, 0.2, 1.0]
    args[i] = nan
    *contract, T = args
    G = korvane.greeks(*contract, "p", T=T)
    assert ref.same(G.price, korvane.price(*contract, "p"))
    assert all(math.isnan(x) for x in G[4:]) and all(math.isnan(x) for x in G[1:4]) == (i < 5)


@pytest.mark.parametrize("method", ["baw", "alo"])  # Black's tends to D F (call) or D K
@pytest.mark.parametrize("flag", ["c", "p"])
def test_no_price_gives_no_greeks(method, flag):
    G = korvane.greeks(100.0, 100.0, 0.96, 101.0, math.inf, flag, T=1.0, method=method)
    assert all(math.isnan(x) for x in G)


@pytest.mark.parametrize("T", [0.0, -1.0, nan])
def test_rate_form_needs_a_positive_maturity(T):
    G = korvane.greeks(100.0, 100.0, 0.96, 101.0, 0.2, "c", T=T)
    assert all(math.isnan(x) for x in G[4:]) and all(map(math.isfinite, G[:4]))


def test_without_maturity():
    G = korvane.greeks(np.array([90.0, 100.0]), 100.0, 0.96, 101.0, 0.2, ["c", "p"])
    assert type(G) is korvane.Greeks and G._fields == ("price", "delta", "gamma", "vega", "theta", "rho", "psi")
    assert (G.theta, G.rho, G.psi) == (None, None, None)
    assert ref.bits(G.price) == ref.bits(korvane.price(np.array([90.0, 100.0]), 100.0, 0.96, 101.0, 0.2, ["c", "p"]))


def test_broadcast_workers_and_types():
    S = np.linspace(60.0, 140.0, 700)[:, None]
    T = np.array([0.25, 1.0, 3.0])
    args = (S, 100.0, np.exp(-0.05 * T), S * np.exp(0.02 * T), 0.3 * np.sqrt(T), "p")
    one, two = korvane.greeks(*args, T=T), korvane.greeks(*args, T=T, workers=2)
    assert all(a.shape == (700, 3) and ref.bits(a) == ref.bits(b) for a, b in zip(one, two))
    assert ref.bits(one.price) == ref.bits(korvane.price(*args))
    scalar = korvane.greeks(100.0, 100.0, 0.96, 101.0, 0.2, "c", T=1.0)
    assert all(type(x) is np.float64 for x in scalar)


# An independent American pricer's Barone-Adesi-Whaley engine (QuantLib), in rate
# form: its own price, bumped.  It solves the critical price to about 1e-6, so
# the agreement is within that, not the 1e-6 of differences of our own price.
INDEPENDENT = [  # S, K, r, q, vol, days, flag, relative tolerance
    (100.0, 100.0, 0.05, 0.02, 0.25, 365, "p", 5e-5), (100.0, 110.0, 0.08, 0.0, 0.3, 180, "p", 5e-5),
    (100.0, 90.0, 0.06, 0.04, 0.2, 730, "c", 5e-5), (95.0, 100.0, 0.1, 0.06, 0.35, 90, "c", 5e-5),
    (100.0, 120.0, 0.04, 0.08, 0.6, 3650, "c", 5e-5),
    (100.0, 100.0, 0.02, -0.01, 0.3, 365, "p", 5e-5), (120.0, 100.0, 0.09, 0.09, 0.15, 45, "c", 5e-5),
    (80.0, 100.0, 0.06, 0.0, 0.4, 270, "p", 5e-5),
    # Five years at a volatility of 1.2: the engine's bumped vega moves by 2e-5 with its step,
    # its theta is 1.3e-4 from ours.
    (100.0, 80.0, 0.07, 0.03, 1.2, 1825, "p", 3e-4),
    # A tiny total deviation (0.014): the engine's own price is 1.4e-5 from ours here.
    (100.0, 100.0, 0.03, 0.01, 0.05, 30, "p", 5e-4),
]


@pytest.mark.parametrize("S, K, r, q, vol, days, flag, rel", INDEPENDENT)
def test_against_an_independent_baw_engine(S, K, r, q, vol, days, flag, rel):
    ql = pytest.importorskip("QuantLib")
    today = ql.Date(15, 6, 2026)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()

    def npv(S=S, r=r, q=q, vol=vol, days=days):
        curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc, ql.Continuous))  # noqa: E731
        vols = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), vol, dc))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)), curve(q), curve(r), vols)
        kind = ql.Option.Call if flag == "c" else ql.Option.Put
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, K), ql.AmericanExercise(today, today + days))
        option.setPricingEngine(ql.BaroneAdesiWhaleyApproximationEngine(process))
        return option.NPV()

    T = days / 365
    sigma = vol * math.sqrt(T)
    G = korvane.greeks(S, K, math.exp(-r * T), S * math.exp((r - q) * T), sigma, flag, T=T)
    # theta from whole days: T +- 1 and 2 days, fourth order
    day = 1 / 365
    theta = -(8 * (npv(days=days + 1) - npv(days=days - 1)) - (npv(days=days + 2) - npv(days=days - 2))) / (12 * day)
    want = {
        "price": npv(),
        "delta": ref.richardson(lambda x: npv(S=x), S, min(0.01, 0.1 * sigma) * S),  # well inside one sd
        "gamma": ref.richardson2(lambda x: npv(S=x), S, min(0.01, 0.1 * sigma) * S),
        "vega": ref.richardson(lambda x: npv(vol=x), vol, 0.01 * vol) / math.sqrt(T),  # ours is per unit of sigma
        "theta": theta,
        "rho": ref.richardson(lambda x: npv(r=x), r, 1e-3),
        "psi": ref.richardson(lambda x: npv(q=x), q, 1e-3),
    }
    for name, value in want.items():
        assert getattr(G, name) == pytest.approx(value, rel=rel, abs=1e-7 * S), name
