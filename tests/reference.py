"""The BAW pricer and implied-vol solver in pure Python, expression by expression in
the documented order and grouping on the C maths library (math.log and math.exp raise
where C gives NaN or infinity), so the results are the very doubles of the extension."""
import ctypes
import ctypes.util
import math

import numpy as np

# The C maths library: libm on POSIX systems, the universal C runtime on Windows.
_libm = ctypes.CDLL(ctypes.util.find_library("m") or ctypes.util.find_library("ucrtbase") or "msvcrt")
_double = ctypes.c_double
erfc, exp, log, sqrt = (ctypes.CFUNCTYPE(_double, _double)((f, _libm)) for f in ("erfc", "exp", "log", "sqrt"))
pow_ = ctypes.CFUNCTYPE(_double, _double, _double)(("pow", _libm))


def div(a, b):  # C's a / b, where Python raises on a zero divisor
    return a / b if b else a * math.copysign(math.inf, b)


def signbit(x):  # NaN has a sign too
    return math.copysign(1.0, x) < 0


def same(a, b):  # the same double, or both NaN
    return a == b and signbit(a) == signbit(b) or a != a and b != b


def bits(values):
    """The doubles' bit patterns as a flat list, with every NaN alike."""
    a = np.asarray(values, dtype=np.float64).ravel()
    return np.where(np.isnan(a), np.nan, a).view(np.uint64).tolist()


def norm_cdf(x):
    if x > -10.0 or x != x:
        return erfc(-(x * 0.7071067811865476)) * 0.5
    s = 1.0  # Mills ratio 1 - 1/x^2 + 3/x^4 - 15/x^6 + ..., two terms at a time
    if x >= -67108864.0:
        x2, f, n, prev = x * x, 1.0, 3, 1.7976931348623157e308
        while True:
            t1 = (n - 2) / x2
            t2 = t1 * (n / x2)
            pair = f * (t1 - t2)
            s, f, n = s - pair, f * t2, n + 4
            if not (prev > abs(pair) and abs(pair) >= abs(s * 2.220446049250313e-16)):
                break
            prev = abs(pair)
    return s * (-(0.3989422804014327 * exp(x * (x * -0.5)))) / x


def bsm(q, K, D, F, sigma):  # Black on the forward; sigma is the total std dev
    d1 = div(log(div(F, K)), sigma) + 0.5 * sigma
    d2 = d1 - sigma
    if q == 1:
        return D * (F * norm_cdf(d1) - K * norm_cdf(d2))
    return D * (K * norm_cdf(-d2) - F * norm_cdf(-d1))


def brentq(f, xpre, xcur, xtol, rtol, maxiter):
    """SciPy's Zeros/brentq.c step for step, with its 0.0 on a sign error."""
    xblk = fblk = spre = scur = 0.0
    fpre, fcur = f(xpre), f(xcur)
    if fpre == 0 or fcur == 0:
        return xpre if fpre == 0 else xcur
    if signbit(fpre) == signbit(fcur):
        return 0.0
    for _ in range(maxiter):
        if fpre != 0 and fcur != 0 and signbit(fpre) != signbit(fcur):
            xblk, fblk, spre, scur = xpre, fpre, xcur - xpre, xcur - xpre
        if abs(fblk) < abs(fcur):
            xpre, xcur, xblk, fpre, fcur, fblk = xcur, xblk, xcur, fcur, fblk, fcur
        delta, sbis = (xtol + rtol * abs(xcur)) / 2, (xblk - xcur) / 2
        if fcur == 0 or abs(sbis) < delta:
            return xcur
        step = (sbis, sbis)  # bisect unless interpolation makes a short step
        if abs(spre) > delta and abs(fcur) < abs(fpre):
            if xpre == xblk:  # secant
                stry = div(-fcur * (xcur - xpre), fcur - fpre)
            else:  # inverse quadratic
                dpre, dblk = div(fpre - fcur, xpre - xcur), div(fblk - fcur, xblk - xcur)
                stry = div(-fcur * (fblk * dblk - fpre * dpre), dblk * dpre * (fblk - fpre))
            a, b = abs(spre), 3 * abs(sbis) - delta
            if 2 * abs(stry) < (a if a < b else b):  # C's MIN(a, b), not min()
                step = (scur, stry)
        (spre, scur), xpre, fpre = step, xcur, fcur
        xcur += scur if abs(scur) > delta else (delta if sbis > 0 else -delta)
        fcur = f(xcur)
    return xcur


def critical_price(q, K, D, g, sigma, qe):
    """S* (call) or S** (put): the root of right minus left side of the BAW condition."""
    def h(x):
        fwd = x * g
        d1 = div(log(div(fwd, K)), sigma) + 0.5 * sigma
        if q == 1:
            return bsm(1, K, D, fwd, sigma) + div(x * (1 - (g * D) * norm_cdf(d1)), qe) - (x - K)
        return bsm(-1, K, D, fwd, sigma) - div(x * (1 - (g * D) * norm_cdf(-d1)), qe) - (K - x)
    if q != 1:
        hi = K - 1e-10
        return hi if h(hi) <= 0 else 1e-10 if h(1e-10) >= 0 else brentq(h, 1e-10, hi, 1e-10, 1e-10, 100)
    lo, hi = K + 1e-10, 2 * K
    if h(lo) <= 0:
        return lo
    for _ in range(20):
        if h(hi) < 0:
            return brentq(h, lo, hi, 1e-10, 1e-10, 100)
        hi *= 2
    return hi


def intrinsic(call, S, K):  # on the spot, never the forward
    return (S - K if S > K else 0.0) if call else (K - S if K > S else 0.0)


def baw(q, S, K, D, F, sigma):
    """The formula, floored at the exercise value on the spot (a NaN stays)."""
    value, exercise = baw_formula(q, S, K, D, F, sigma), intrinsic(q == 1, S, K)
    return exercise if value < exercise else value


def baw_formula(q, S, K, D, F, sigma):
    if sigma <= 0:
        return intrinsic(q == 1, S, K)
    E = bsm(q, K, D, F, sigma)
    if D >= 1:
        return E
    v, g = sigma * sigma, div(F, S)
    N, M = div(log(g) + log(g), v), div(log(D) * -2.0, v)  # 2b/sigma^2 and 2r/sigma^2 in rates
    disc = (N - 1) * (N - 1) + div(M * 4, 1 - D)
    root = sqrt(0.0 if disc < 0 else disc)
    q2, q1 = (root - (N - 1)) * 0.5, (-(N - 1) - root) * 0.5
    if q == 1 and (D * g >= 1 or q2 <= 0) or q != 1 and q1 >= 0:
        return E
    crit = critical_price(q, K, D, g, sigma, q2 if q == 1 else q1)
    if q == 1:
        if S >= crit:
            return S - K
        d1 = div(log(div(g * crit, K)), sigma) + 0.5 * sigma
        return E + div(crit, q2) * (1 - (D * g) * norm_cdf(d1)) * pow_(div(S, crit), q2)
    if S <= crit:
        return K - S
    d1 = div(log(div(g * crit, K)), sigma) + 0.5 * sigma
    return E + div(-crit, q1) * (1 - (g * D) * norm_cdf(-d1)) * pow_(div(S, crit), q1)


def implied_vol_c(q, price, S, K, D, F):
    """0.0 without time value, -1.0 without a solution or for a NaN input, else Brent's root."""
    if any(x != x for x in (price, S, K, D, F)):
        return -1.0
    if price <= intrinsic(q == 1, S, K) + 1e-10:
        return 0.0
    hi = 1.0
    while baw(q, S, K, D, F, hi) < price and hi < 10.0:
        hi *= 2
    if hi >= 10.0 or (baw(q, S, K, D, F, 1e-8) - price) * (baw(q, S, K, D, F, hi) - price) > 0:
        return -1.0
    return brentq(lambda x: baw(q, S, K, D, F, x) - price, 1e-8, hi, 1e-10, 1e-10, 200)


def price(S, K, D, F, sigma, flag):
    return baw(1 if flag == "c" else -1, *map(float, (S, K, D, F, sigma)))


def implied_vol(p, S, K, D, F, flag):
    r = implied_vol_c(1 if flag == "c" else -1, *map(float, (p, S, K, D, F)))
    return math.nan if r < 0 else r


def random_contracts(n, seed, sigma_lo, sigma_hi):
    """S = 100, K/S in [0.22, 4.5], D in [0.5, 1.05), F/S in [0.8, 1.25), sigma log-uniform."""
    rng = np.random.default_rng(seed)
    return (np.full(n, 100.0), 100 * np.exp(rng.uniform(-1.5, 1.5, n)), rng.uniform(0.5, 1.05, n),
            100 * rng.uniform(0.8, 1.25, n), np.exp(rng.uniform(np.log(sigma_lo), np.log(sigma_hi), n)),
            rng.choice(["c", "p"], n))


def richardson(f, x, h):
    """f'(x) from central differences at h and h/2, extrapolated: error O(h^4)."""
    d1, d2 = ((f(x + s) - f(x - s)) / (2 * s) for s in (h, h / 2))
    return (4 * d2 - d1) / 3


def richardson2(f, x, h):
    """f''(x) likewise."""
    d1, d2 = ((f(x + s) - 2 * f(x) + f(x - s)) / (s * s) for s in (h, h / 2))
    return (4 * d2 - d1) / 3
