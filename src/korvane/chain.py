"""A chain in, a volatility surface out: the quotes of one underlying (many
expiries, calls and puts, bids and asks) to each expiry's forward, yield and
at-the-money volatility, and each quote's implied volatilities, Greeks and,
where it has no volatility, the reason why.  A few passes over the table
around the array API's ufuncs; no numerics of its own:

    result = chain.analyze(quotes, spot=692.12, rate=0.04, valuation_date="2026-02-10")
    result.expiries        # one row per expiry
    result.quotes          # one row per quote, on the table's index
"""
from __future__ import annotations

import math
import operator
from concurrent.futures import ThreadPoolExecutor
from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np

from . import _api, _frames, _policy, bsm

__all__ = ["analyze", "ChainResult", "REASONS", "STATUSES"]

#: Why a quote has no implied volatility (``quotes.reason``), in the order
#: they are tested; "" where ``iv`` is a number.
REASONS = (
    "expired",                             # its expiry is not after the valuation date
    "missing quote",                       # the price, bid or ask is missing
    "crossed quote",                       # ask below bid
    "no bid",                              # bid <= 0: the mid is not a price
    "no forward",                          # its expiry has no forward (see STATUSES)
    "below the exercise value",            # see analyze
    "no time value",                       # at the exercise value (within 1e-10)
    "above the no-arbitrage bound",        # see analyze
    "no volatility in the search range",   # any other price no volatility reproduces
)

#: How each expiry's forward was found (``expiries.status``).
STATUSES = (
    "ok",                                              # from its call-put pairs
    "expired",                                         # not after the valuation date
    "no call-put pair: forward from the dividend yield",
    "no call-put pair: no forward",
    "no call-put pair: forward from the dividends",    # a cash schedule, no yield beyond it
    "no solvable pair: forward from the dividend yield",
    "no solvable pair: forward from the dividends",
    "no solvable pair: no forward",
)

# Greek columns: (name, bsm.greeks field, scale to the unit in the name).
_GREEKS = (("delta", "delta", 1.0), ("gamma", "gamma", 1.0), ("vega_per_volpt", "vega", 0.01),
           ("theta_per_day", "theta", 1 / 365), ("rho_per_pct", "rho", 0.01),
           ("psi_per_pct", "psi", 0.01))


class ChainResult:
    """What :func:`analyze` returns: the tables ``expiries`` and ``quotes``
    (in the quote table's library) and their pictures."""

    expiries: Any  #: one row per expiry, by maturity (pandas: indexed by expiry)
    quotes: Any    #: one row per quote (pandas: on the table's index)
    method: str    #: the pricing method
    spot: float    #: the spot

    def __init__(self, expiries: Any, quotes: Any, method: str, spot: float,
                 columns: tuple[dict[str, Any], dict[str, Any]]) -> None:
        self.expiries, self.quotes, self.method, self.spot = expiries, quotes, method, spot
        self._by_expiry, self._by_quote = columns  # the same columns as NumPy arrays

    def __repr__(self) -> str:
        e = self._by_expiry
        solved = int(np.isfinite(self._by_quote["iv"]).sum())
        return (f"<ChainResult: {len(e['T'])} expiries, {len(self._by_quote['iv'])} quotes "
                f"({solved} with a volatility), method={self.method!r}>")

    def plot_smiles(self, path: Any = None) -> Any:
        """Each expiry's smile, out of the money (puts below the forward, calls
        above), with bid-ask bars; a matplotlib Figure, also saved to `path`
        (any format matplotlib writes) when given."""
        from ._chain_plot import smiles

        return smiles(self._by_expiry, self._by_quote, self.method, path)

    def plot_term_structure(self, path: Any = None) -> Any:
        """Forwards (against the spot), implied yields and at-the-money
        volatilities by maturity; a matplotlib Figure, also saved to `path`."""
        from ._chain_plot import term_structure

        return term_structure(self._by_expiry, self.spot, self.method, path)


def analyze(quotes: Any, spot: float, rate: Any, *, valuation_date: Any = None,
            dividends: Any = None, method: Literal["baw", "alo", "european", "fd"] = "baw",
            workers: int | None = 1,
            forward_pairs: int = 8) -> ChainResult:
    """Forwards, yields and at-the-money volatilities per expiry; implied
    volatilities, Greeks and reasons per quote.

    quotes: a table, one row per option: a pandas DataFrame, or any eager
        dataframe narwhals reads (Polars, PyArrow, ...) when it is installed.
        Columns: ``expiry`` (dates, with `valuation_date`, or maturities in
        years), ``strike``, ``type`` ("c"/"call"/"p"/"put" in either case, or
        booleans, true for a call), and ``bid`` and ``ask`` (the mid is
        priced) or else ``price``.  Other columns are ignored.
    spot: the underlying's price.
    rate: the continuously compounded zero rate: a number; a curve
        ``(maturities, zero_rates)``, maturities in years or dates, read
        linearly in r*T between nodes (flat forward rates; the first zero
        rate before the first node, the last after the last); or a discount
        factor per expiry, a mapping (or pandas Series) keyed as the
        ``expiry`` column.
    valuation_date: the date the quotes were taken, when ``expiry`` holds
        dates; maturities count calendar days over 365 (Actual/365).
    dividends: None; a continuous dividend yield (or borrow) that gives the
        forward of an expiry without a usable call-put pair; or, with
        method="fd", a cash schedule ``(ex_dates, amounts)``, ex-dates as
        dates (with `valuation_date`) or years from today: every price,
        volatility and Greek then has the dividends as cash, each expiry's
        ``yield`` is the yield or borrow beyond them, and an expiry without
        a usable pair gets the forward of the dividends alone.  Every other
        expiry's forward (and the yield it implies) comes from its quotes.
    method: "baw", "alo", "european" or "fd", as in korvane.implied_vol.
    workers: threads, as in scipy.fft (-1 for all cores).
    forward_pairs: how many call-put pairs, nearest the spot, each
        expiry's forward is found from.

    Each expiry's forward is ``korvane.forward`` over its call-put pairs (the
    strikes whose call and put both have a usable quote, mid prices) with
    the strike_pct whose window about the spot holds the `forward_pairs`
    pairs nearest the spot.  A window by count rather than by width: the
    search solves two implied volatilities per pair at each trial forward,
    so its cost and its noise go with the pairs, and a fixed width holds
    27 pairs on a monthly's $1 strikes but 2 on a long expiry's $5 ones
    (on the SPY chain of examples/data: 2% of the spot).  Eight pairs give
    the yields of a 2% window to within 0.012 percentage points beyond the
    first month, at half the cost (the accurate method's search is most of
    its time); wider windows add in-the-money pairs, whose early exercise
    and wider spreads bias the forward.

    Returns a :class:`ChainResult` whose ``expiries`` table has, per expiry
    (sorted by maturity): ``T`` (years), ``D`` (the discount factor),
    ``rate`` (its zero rate), ``forward``, ``yield`` (the dividend yield or
    borrow the forward implies, ``bsm.implied_yield``), ``pairs`` (call-put
    pairs quoted), ``strikes_used`` (those in the window), ``strike_pct``
    (the window), ``atm_vol`` (the out-of-the-money smile read at the
    forward, linearly in ln(K/F) between the nearest strikes on either
    side; NaN without both), ``quotes`` (their number) and ``status`` (one
    of STATUSES).  Its ``quotes`` table has, per quote: ``expiry``, ``T``,
    ``strike``, ``type`` ("call" or "put"), ``bid`` and ``ask`` (NaN without
    them), ``mid`` ((bid + ask)/2, or the price), ``log_moneyness``
    (ln(K/F)), ``otm`` (out of the money at the forward), ``iv`` (the annual
    volatility of the mid, at its expiry's forward: korvane.implied_vol over
    sqrt(T)), ``iv_bid``, ``iv_ask`` (the same of the bid and the ask, as
    the solver gives them: 0.0 without time value), ``iv_european`` (Black's
    volatility of the mid, the quote read as if European: above ``iv`` by
    the early-exercise premium), ``exercise_premium`` (the mid less Black's
    price at ``iv``: what a surface fit on European prices takes off),
    ``delta``, ``gamma`` (per unit of spot), ``vega_per_volpt`` (per
    volatility point), ``theta_per_day`` (per calendar day), ``rho_per_pct``
    and ``psi_per_pct`` (per percentage point of rate and yield), from
    ``bsm.greeks`` at ``iv``, and ``reason``: "" where ``iv`` is a number,
    else one of REASONS.  The reasons follow the solvers' own screens: the
    exercise value is that of exercise now or, at no volatility, at expiry,
    max(S - K, D (F - K), 0) for a call, max(K - S, D (K - F), 0) for a put
    (method="european": the discounted max(F - K, 0), max(K - F, 0)); the
    no-arbitrage bound is max(S, D F) for a call, K max(1, D) for a put
    (the payoff received early or, at a negative rate, at expiry;
    "european": D F and D K).
    """
    _policy.ufunc("implied_vol", method)  # the method's error, first
    S = _spot(spot)
    valuation = None if valuation_date is None else _frames.date(valuation_date, "valuation_date")
    q_given, cash = _dividends(dividends, valuation, method)
    table = _frames.read(quotes)
    c = _read_columns(table, valuation)
    T, K, call, bid, ask, mid = (c[k] for k in ("T", "strike", "call", "bid", "ask", "mid"))

    # Expiries by maturity (code[i] is quote i's), and which mids are prices.
    T_e, first, code = np.unique(T, return_index=True, return_inverse=True)
    E = len(T_e)
    D_e, r_e = _rates(rate, T_e, c["expiry"][first], valuation, S)
    expired, missing, crossed, no_bid = T <= 0, np.isnan(mid), ask < bid, bid <= 0
    usable = ~(expired | missing | crossed | no_bid)

    # The chains and the forward search's windows.
    col, strikes, calls, puts = _chains(table, code, E, K, call, np.where(usable, mid, np.nan))
    paired = ~(np.isnan(calls) | np.isnan(puts))
    pct = _windows(strikes, paired, S, _count(forward_pairs))
    used = (paired & _inside(strikes, S, pct[:, None])).sum(axis=1)

    # Forwards, then volatilities and Greeks: over the whole table on one
    # thread, expiry by expiry on several.
    prices = np.stack([np.where(usable, mid, np.nan)] + ([bid, ask] if c["sides"] else []))
    work = _Work(method, S, T_e, D_e, r_e, q_given, cash, (calls, puts, strikes, pct), code, prices, K, T,
                 call)
    _run(work, _policy.workers_count(workers), cost=used)
    F_e, q_e, out = work.F_e, work.q_e, work.out

    status = np.where(paired.any(axis=1), "no solvable pair", "no call-put pair").astype(object)
    status[work.found] = "ok"
    fallback = ~work.found & (T_e > 0)
    status[fallback] += (": forward from the dividend yield" if q_given is not None
                         else ": forward from the dividends" if cash is not None else ": no forward")
    status[T_e <= 0] = "expired"

    D, F = D_e[code], F_e[code]
    with np.errstate(invalid="ignore", divide="ignore"):
        root_T = np.sqrt(np.where(T > 0, T, np.nan))
        vols = work.sigma / root_T
        x = np.log(K / F)
    iv = np.where(work.sigma[0] > 0, vols[0], np.nan)
    otm = np.where(call, K >= F, K < F) & np.isfinite(F)
    by_quote: dict[str, Any] = {
        "expiry": c["expiry"], "T": T, "strike": K, "type": np.where(call, "call", "put").astype(object),
        "bid": bid, "ask": ask, "mid": mid, "log_moneyness": x, "otm": otm, "iv": iv,
        "iv_bid": vols[1] if c["sides"] else np.full(len(T), np.nan),
        "iv_ask": vols[2] if c["sides"] else np.full(len(T), np.nan),
        "iv_european": out["sigma_eu"] / root_T, "exercise_premium": mid - out["black"],
        **{name: out[field] * scale for name, field, scale in _GREEKS},
        "reason": _reasons(method, iv, work.sigma[0], [expired, missing, crossed, no_bid, np.isnan(F)],
                           mid, S, K, D, F, call),
    }
    by_expiry: dict[str, Any] = {
        "T": T_e, "D": D_e, "rate": r_e, "forward": F_e, "yield": q_e, "pairs": paired.sum(axis=1),
        "strikes_used": used, "strike_pct": pct,
        "atm_vol": _atm_vol(strikes, code, col, np.where(otm, iv, np.nan), F_e),
        "quotes": np.bincount(code, minlength=E), "status": status,
    }
    expiries = _frames.write(table, by_expiry, index=c["expiry"][first], index_name="expiry")
    return ChainResult(expiries, _frames.write(table, by_quote), method, S,
                       ({"expiry": c["expiry"][first], **by_expiry}, by_quote))


def _chains(table: _frames.Table, code: np.ndarray, E: int, K: np.ndarray, call: np.ndarray,
            mid: np.ndarray) -> tuple[np.ndarray, ...]:
    """(col, strikes, calls, puts): the chains as arrays of one row per expiry
    and a column per strike, ascending, NaN-padded (the forward gufunc's
    stacked input; NaN where a side has no usable mid), and col[i], quote i's
    column."""
    order = np.lexsort((call, K, code))
    _no_duplicates(table, order, code, K, call)
    ks, es = K[order], code[order]
    slot = np.cumsum(np.r_[True, (ks[1:] != ks[:-1]) | (es[1:] != es[:-1])]) - 1
    col = np.empty(len(K), dtype=np.intp)
    col[order] = slot - slot[np.searchsorted(es, es)]  # the slot's place within its expiry
    width = int(col.max()) + 1
    strikes, calls, puts = (np.full((E, width), np.nan) for _ in range(3))
    strikes[code, col] = K
    calls[code[call], col[call]] = mid[call]
    puts[code[~call], col[~call]] = mid[~call]
    return col, strikes, calls, puts


# ---------------------------------------------------------------------------
# The passes over expiries and quotes.

class _Work:
    """The forward of each expiry and the volatilities and Greeks of each
    quote, written into arrays made up front, so that expiries and blocks of
    quotes can be done in any order, on any thread, with the same doubles."""

    def __init__(self, method: Literal["baw", "alo", "european", "fd"], S: float, T_e: np.ndarray, D_e: np.ndarray, r_e: np.ndarray,
                 q_given: float | None, cash: tuple[np.ndarray, np.ndarray] | None,
                 chains: tuple[np.ndarray, ...], code: np.ndarray, prices: np.ndarray, K: np.ndarray,
                 T: np.ndarray, call: np.ndarray) -> None:
        self.method, self.S, self.q_given, self.cash = method, S, q_given, cash
        self.T_e, self.D_e, self.r_e, self.chains = T_e, D_e, r_e, chains
        self.code, self.prices, self.K, self.T, self.call = code, prices, K, T, call
        E, n = len(T_e), len(K)
        self.F_e, self.q_e, self.found = np.full(E, np.nan), np.full(E, np.nan), np.zeros(E, dtype=bool)
        self.sigma = np.full(prices.shape, np.nan)
        fields = ["sigma_eu", "black"] + [field for _, field, _ in _GREEKS]
        self.out = {name: np.full(n, np.nan) for name in fields}

    def forwards(self, rows: np.ndarray) -> None:
        """The forwards of expiries `rows` (one gufunc call over their chains),
        else from the dividend yield given; NaN for an expired one."""
        calls, puts, strikes, pct = (a[rows] for a in self.chains)
        T, r = self.T_e[rows], self.r_e[rows]
        F = _api._forward(calls, puts, strikes, self.S, self.D_e[rows], pct, self.method, -1, None,
                          _policy.schedule(self.method, self.cash, np.maximum(T, 0.0)))
        self.found[rows] = found = np.isfinite(F) & (T > 0)
        if self.q_given is not None or self.cash is not None:
            beyond = 0.0 if self.q_given is None else self.q_given
            F = np.where(found, F, bsm.to_forward_form(self.S, T, r, beyond, dividends=self.cash)[1])
        F = np.where(T > 0, F, np.nan)
        self.F_e[rows], self.q_e[rows] = F, bsm.implied_yield(F, self.S, T, r, dividends=self.cash)

    def quotes(self, idx: np.ndarray) -> None:
        """Implied volatilities (one call for the mids, bids and asks), Black's
        volatility and price, and the Greeks at the mid's volatility, of quotes `idx`."""
        e, K, call = self.code[idx], self.K[idx], self.call[idx]
        D, F = self.D_e[e], self.F_e[e]
        extra = _policy.schedule(self.method, self.cash, np.maximum(self.T[idx], 0.0))
        sigma = _api._implied_vol(self.prices[:, idx], self.S, K, D, F, call, self.method, 1, None, extra)
        self.sigma[:, idx] = sigma
        mid_sigma = np.where(sigma[0] > 0, sigma[0], np.nan)
        out = self.out
        out["sigma_eu"][idx] = _api.implied_vol(self.prices[0, idx], self.S, K, D, F, call, method="european")
        out["black"][idx] = _api.price(self.S, K, D, F, mid_sigma, call, method="european")
        with np.errstate(invalid="ignore"):
            vol = mid_sigma / np.sqrt(self.T[idx])
        g = bsm.greeks(self.S, K, self.T[idx], self.r_e[e], self.q_e[e], vol, call, method=self.method,
                       dividends=self.cash)
        for _, field, _ in _GREEKS:
            out[field][idx] = getattr(g, field)


# Quotes per task, at least (an expiry with fewer is one task): small enough
# that the last tasks end together, large enough that the mids, bids and asks
# make an implied-volatility loop over 500 elements, which NumPy runs without
# the interpreter.
_BLOCK = 256


def _run(work: _Work, n: int, cost: np.ndarray) -> None:
    """All forwards then all quotes on one thread; on n threads, a task per
    expiry whose quotes, in blocks, queue behind the searches once its
    forward is known, so that the other threads work on while one search
    runs long.  The searches start by cost (their pairs), the shortest
    expiry first among equals: its small variance is where the accurate
    method's solves are slowest."""
    E = len(cost)
    if n <= 1:
        work.forwards(np.arange(E))
        work.quotes(np.arange(len(work.code)))
        return
    rows = np.argsort(-cost, kind="stable")
    ends = np.cumsum(np.bincount(work.code, minlength=E))[:-1]
    by_expiry = np.split(np.argsort(work.code, kind="stable"), ends)  # each expiry's quotes
    with ThreadPoolExecutor(n) as pool:
        queued: list[Any] = []

        def expiry(e: int) -> None:
            work.forwards(np.array([e]))
            for part in np.array_split(by_expiry[e], max(1, len(by_expiry[e]) // _BLOCK)):
                queued.append(pool.submit(work.quotes, part))

        for done in [pool.submit(expiry, int(e)) for e in rows]:
            done.result()
        for done in queued:
            done.result()


# ---------------------------------------------------------------------------
# Inputs.

def _spot(spot: Any) -> float:
    try:
        S = float(spot)
    except (TypeError, ValueError):
        raise ValueError(f"spot must be a positive number; got {spot!r}") from None
    if not (S > 0 and math.isfinite(S)):
        raise ValueError(f"spot must be a positive number; got {spot!r}")
    return S


def _count(forward_pairs: Any) -> int:
    try:
        k = operator.index(forward_pairs)
    except TypeError:
        k = 0
    if k < 1:
        raise ValueError(f"forward_pairs must be a positive integer; got {forward_pairs!r}")
    return k


def _dividends(dividends: Any, valuation: np.datetime64 | None,
               method: str) -> tuple[float | None, tuple[np.ndarray, np.ndarray] | None]:
    """(the continuous yield given, the cash schedule in years), either or none."""
    if dividends is None:
        return None, None
    if np.ndim(dividends) == 0 and not isinstance(dividends, (str, bytes)):
        try:
            return float(dividends), None
        except (TypeError, ValueError):
            pass
    if isinstance(dividends, (tuple, list)) and len(dividends) == 2:
        if method != "fd":
            raise ValueError(f"cash dividends need method='fd'; got method={method!r}")
        ex_dates, amounts = (np.atleast_1d(np.asarray(a)) for a in dividends)
        if valuation is None and _frames.is_dates(ex_dates):
            raise ValueError("dividends' ex-dates are dates: pass valuation_date")
        times = _frames.years(ex_dates, valuation, "dividends' ex-dates", lambda i: f"entry {i}")
        return None, _policy.schedule("fd", (times, np.asarray(amounts, dtype=np.float64)))[1:]
    raise ValueError(f"dividends must be None, a continuous yield or (ex_dates, amounts); got {dividends!r}")


def _read_columns(table: _frames.Table, valuation: np.datetime64 | None) -> dict[str, Any]:
    """The table's columns, checked: maturities, strikes, call flags, bid, ask, mid."""
    for name in ("expiry", "strike", "type"):
        if name not in table.columns:
            raise ValueError(f"quotes have no {name!r} column (columns: {', '.join(map(repr, table.columns))})")
    if not len(table):
        raise ValueError("quotes have no rows")
    sides = "bid" in table.columns and "ask" in table.columns
    if not sides and "price" not in table.columns:
        raise ValueError("quotes need 'bid' and 'ask' columns or a 'price' column")
    expiry = table.columns["expiry"]
    if valuation is not None and not _frames.is_dates(expiry):
        raise ValueError("column 'expiry' holds maturities in years; valuation_date applies to dates")
    T = _frames.years(expiry, valuation, "column 'expiry'", table.row)
    K = _frames.numbers(table, "strike")
    bad = ~(K > 0) | np.isinf(K)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"column 'strike', {table.row(i)}: {K[i]!r}; strikes must be positive numbers")
    call = _flags(table)
    if sides:
        bid, ask = _frames.numbers(table, "bid"), _frames.numbers(table, "ask")
        mid = (bid + ask) / 2
    else:
        mid = _frames.numbers(table, "price")
        bid = ask = np.full(len(mid), np.nan)
    return {"expiry": expiry, "T": T, "strike": K, "call": call,
            "bid": bid, "ask": ask, "mid": mid, "sides": sides}


def _flags(table: _frames.Table) -> np.ndarray:
    values = table.columns["type"]
    if values.dtype.kind == "O" and set(map(type, values.tolist())) == {str}:
        values = values.astype(str)  # compared as a whole, not flag by flag
    try:
        return np.asarray(_policy.flag_array(values), dtype=bool)
    except ValueError as error:
        items = values.tolist()
        bad = [_policy._one_flag(v) is None for v in items]  # the error path only
        i = bad.index(True) if True in bad else 0
        raise ValueError(f"column 'type', {table.row(i)}: {items[i]!r}; "
                         f"{str(error).partition('; ')[2]}") from None


def _no_duplicates(table: _frames.Table, order: np.ndarray, code: np.ndarray, K: np.ndarray,
                   call: np.ndarray) -> None:
    same = (code[order][1:] == code[order][:-1]) & (K[order][1:] == K[order][:-1]) & \
        (call[order][1:] == call[order][:-1])
    if same.any():
        i = int(np.argmax(same))
        a, b = sorted((int(order[i]), int(order[i + 1])))
        raise ValueError(f"quotes {table.row(a)} and {table.row(b)} are the same option "
                         "(expiry, strike and type)")


def _rates(rate: Any, T_e: np.ndarray, expiries: np.ndarray, valuation: np.datetime64 | None,
           S: float) -> tuple[np.ndarray, np.ndarray]:
    """(D, r) per expiry from a number, a zero curve or discount factors per expiry."""
    if isinstance(rate, Mapping) or (_policy.library(rate) == "pandas" and hasattr(rate, "index")):
        return _discount_factors(rate, T_e, expiries, valuation, S)
    if isinstance(rate, (tuple, list)) and len(rate) == 2:
        r = _zero_curve(rate, T_e, valuation)
    else:
        try:
            r = np.full(len(T_e), float(rate))
        except (TypeError, ValueError):
            raise ValueError("rate must be a number, (maturities, zero_rates) or a discount factor "
                             f"per expiry; got {rate!r}") from None
    return bsm.to_forward_form(S, T_e, r, 0.0)[0], r


def _zero_curve(rate: Sequence[Any], T_e: np.ndarray, valuation: np.datetime64 | None) -> np.ndarray:
    times, zeros = (np.atleast_1d(np.asarray(a)) for a in rate)
    t = _frames.years(times, valuation, "rate's maturities", lambda i: f"node {i}")
    z = np.asarray(zeros, dtype=np.float64)
    if t.ndim != 1 or t.shape != z.shape or not len(t):
        raise ValueError(f"rate's maturities and zero rates must be 1-D and as long; got shapes "
                         f"{t.shape} and {z.shape}")
    if not (np.all(t > 0) and np.all(np.diff(t) > 0) and np.isfinite(t).all() and np.isfinite(z).all()):
        raise ValueError("rate's maturities must be positive and increasing, its zero rates finite")
    # r T linear between the nodes (and from (0, 0)), flat zero rates beyond the last.
    Tp = np.where(T_e > 0, T_e, np.nan)
    rT = np.interp(Tp, np.r_[0.0, t], np.r_[0.0, z * t], right=np.nan)
    with np.errstate(invalid="ignore"):
        r = np.where(Tp > t[-1], z[-1], rT / Tp)
    return np.where(T_e > 0, r, z[0])


def _discount_factors(rate: Any, T_e: np.ndarray, expiries: np.ndarray,
                      valuation: np.datetime64 | None, S: float) -> tuple[np.ndarray, np.ndarray]:
    keys = list(rate.index if hasattr(rate, "index") and not isinstance(rate, Mapping) else rate.keys())
    values = np.array([rate[k] for k in keys] if isinstance(rate, Mapping) else np.asarray(rate),
                      dtype=np.float64)
    if valuation is None and any(_frames.is_dates(np.asarray([k])) for k in keys):
        raise ValueError("rate's expiries are dates: pass valuation_date")
    key_T = _frames.years(np.asarray(keys), valuation, "rate's expiries", lambda i: f"key {keys[i]!r}")
    at = {float(t): d for t, d in zip(key_T.tolist(), values.tolist())}
    missing = [i for i, t in enumerate(T_e.tolist()) if t not in at]
    if missing:
        raise ValueError(f"rate has no discount factor for expiry {expiries[missing[0]]!r}")
    D = np.array([at[t] for t in T_e.tolist()])
    if not (D > 0).all():
        raise ValueError("rate's discount factors must be positive")
    r = bsm.from_forward_form(S, T_e, D, S)[0]
    return D, r


# ---------------------------------------------------------------------------
# Forwards, reasons, at-the-money volatilities.

def _inside(strikes: np.ndarray, S: float, pct: Any) -> np.ndarray:
    """The forward search's window, in its own arithmetic: S(1 - pct) <= K <= S(1 + pct)."""
    inside: np.ndarray = (strikes >= S * (1 - pct)) & (strikes <= S * (1 + pct))
    return inside


def _windows(strikes: np.ndarray, paired: np.ndarray, S: float, forward_pairs: int) -> np.ndarray:
    """Per expiry, the strike_pct whose window about the spot holds its
    `forward_pairs` pairs nearest the spot (all of them when it has fewer)."""
    with np.errstate(invalid="ignore"):
        distance = np.sort(np.where(paired, np.abs(strikes / S - 1), np.inf), axis=1)
    count = np.minimum(paired.sum(axis=1), forward_pairs)
    if not distance.shape[1]:
        return np.zeros(len(strikes))
    kth = distance[np.arange(len(strikes)), np.maximum(count - 1, 0)]
    # Nudged out so that the pair is inside whatever the rounding of S(1 -+ pct).
    return np.where(count > 0, kth * (1 + 1e-12) + 1e-12, 0.0)


def _reasons(method: str, iv: np.ndarray, sigma: np.ndarray, quote_tests: list[np.ndarray],
             mid: np.ndarray, S: float, K: np.ndarray, D: np.ndarray, F: np.ndarray,
             call: np.ndarray) -> np.ndarray:
    """Each quote's reason, by the bounds the solvers screen with (no second solve)."""
    with np.errstate(invalid="ignore"):
        if method == "european":
            low = D * np.maximum(np.where(call, F - K, K - F), 0.0)
            high = D * np.where(call, F, K)
        else:  # exercised now or, at no volatility, at expiry; the solvers give no volatility below
            low = np.maximum(np.maximum(np.where(call, S - K, K - S), D * np.where(call, F - K, K - F)), 0.0)
            high = np.where(call, np.maximum(S, D * F), K * np.maximum(1.0, D))
        tests = quote_tests + [mid < low, sigma == 0, mid >= high, np.isnan(iv)]
    reason = np.select(tests, np.array(REASONS, dtype=object), default="")
    return np.where(np.isnan(iv), reason, "").astype(object)


def _atm_vol(strikes: np.ndarray, code: np.ndarray, col: np.ndarray, otm_iv: np.ndarray,
             F_e: np.ndarray) -> np.ndarray:
    """The out-of-the-money smile at the forward: linear in ln(K/F) between the
    nearest strikes with a volatility below and at or above it."""
    E, width = strikes.shape
    vol = np.full((E, width), np.nan)
    has = np.isfinite(otm_iv)  # one side at a strike is out of the money: the other must not overwrite it
    vol[code[has], col[has]] = otm_iv[has]
    with np.errstate(invalid="ignore", divide="ignore"):
        x = np.log(strikes / F_e[:, None])
    ok = np.isfinite(vol) & np.isfinite(x)
    below, above = ok & (x < 0), ok & (x >= 0)
    rows = np.arange(E)
    lo = width - 1 - np.argmax(below[:, ::-1], axis=1)
    hi = np.argmax(above, axis=1)
    both = below.any(axis=1) & above.any(axis=1)
    x_lo, x_hi = x[rows, lo], x[rows, hi]
    with np.errstate(invalid="ignore", divide="ignore"):
        w = -x_lo / (x_hi - x_lo)
        atm = vol[rows, lo] + w * (vol[rows, hi] - vol[rows, lo])
    return np.where(both, atm, np.nan)
