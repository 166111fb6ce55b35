"""Independent pure-Python model of the BAW pricer and implied-vol solver.

Every expression is evaluated in the documented order and grouping, with the
C maths library through ctypes, so that the results are the very doubles the
extension must produce: math.log and math.exp raise where C returns NaN or
infinity, and Python's division raises on a zero divisor.
"""
import ctypes
import ctypes.util
import math

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _nargs in (("erfc", 1), ("exp", 1), ("log", 1), ("sqrt", 1), ("pow", 2)):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double] * _nargs
erfc, exp, log, sqrt, pow_ = _libm.erfc, _libm.exp, _libm.log, _libm.sqrt, _libm.pow


def div(a, b):
    """IEEE a / b: a zero divisor gives +-inf, or the invalid-operation NaN for 0/0."""
    return a / b if b else a * math.copysign(math.inf, b)


def signbit(x):
    return math.copysign(1.0, x) < 0  # NaN has a sign too


def norm_cdf(x):
    if x > -10.0 or x != x:
        return erfc(-(x * 0.7071067811865476)) * 0.5
    s = 1.0  # Mills ratio series 1 - 1/x^2 + 3/x^4 - ..., two terms at a time
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


def bsm(q, K, D, F, sigma):
    """Black price on the forward, discounted by D; sigma is the total std dev."""
    d1 = div(log(div(F, K)), sigma) + 0.5 * sigma
    d2 = d1 - sigma
    if q == 1:
        return D * (F * norm_cdf(d1) - K * norm_cdf(d2))
    return D * (K * norm_cdf(-d2) - F * norm_cdf(-d1))


def brentq(f, xa, xb, xtol, rtol, maxiter):
    """SciPy's Zeros/brentq.c step for step, including 0.0 on a sign error."""
    xpre, xcur = xa, xb
    xblk = fblk = spre = scur = 0.0
    fpre, fcur = f(xpre), f(xcur)
    if fpre == 0:
        return xpre
    if fcur == 0:
        return xcur
    if signbit(fpre) == signbit(fcur):
        return 0.0
    for _ in range(maxiter):
        if fpre != 0 and fcur != 0 and signbit(fpre) != signbit(fcur):
            xblk, fblk = xpre, fpre
            spre = scur = xcur - xpre
        if abs(fblk) < abs(fcur):
            xpre, xcur, xblk = xcur, xblk, xcur
            fpre, fcur, fblk = fcur, fblk, fcur
        delta = (xtol + rtol * abs(xcur)) / 2
        sbis = (xblk - xcur) / 2
        if fcur == 0 or abs(sbis) < delta:
            return xcur
        if abs(spre) > delta and abs(fcur) < abs(fpre):
            if xpre == xblk:  # interpolate
                stry = div(-fcur * (xcur - xpre), fcur - fpre)
            else:  # inverse quadratic extrapolation
                dpre = div(fpre - fcur, xpre - xcur)
                dblk = div(fblk - fcur, xblk - xcur)
                stry = div(-fcur * (fblk * dblk - fpre * dpre), dblk * dpre * (fblk - fpre))
            a, b = abs(spre), 3 * abs(sbis) - delta
            if 2 * abs(stry) < (a if a < b else b):  # C's MIN macro, not min()
                spre, scur = scur, stry
            else:
                spre = scur = sbis
        else:
            spre = scur = sbis
        xpre, fpre = xcur, fcur
        xcur += scur if abs(scur) > delta else (delta if sbis > 0 else -delta)
        fcur = f(xcur)
    return xcur


def _boundary(q, K, D, g, sigma, qe):
    """Right minus left side of the BAW condition at a trial critical spot x."""
    def h(x):
        fwd = x * g
        d1 = div(log(div(fwd, K)), sigma) + 0.5 * sigma
        if q == 1:
            return bsm(1, K, D, fwd, sigma) + div(x * (1 - (g * D) * norm_cdf(d1)), qe) - (x - K)
        return bsm(-1, K, D, fwd, sigma) - div(x * (1 - (g * D) * norm_cdf(-d1)), qe) - (K - x)
    return h


def _critical(h, q, K):
    """S* (call) or S** (put): bracket the sign change of h, then Brent."""
    if q == 1:
        lo, hi = K + 1e-10, 2 * K
        if h(lo) <= 0:
            return lo
        for _ in range(20):
            if h(hi) < 0:
                return brentq(h, lo, hi, 1e-10, 1e-10, 100)
            hi *= 2
        return hi
    hi = K - 1e-10
    if h(hi) <= 0:
        return hi
    if h(1e-10) >= 0:
        return 1e-10
    return brentq(h, 1e-10, hi, 1e-10, 1e-10, 100)


def baw(q, S, K, D, F, sigma):
    if sigma <= 0:  # no time value: intrinsic on the spot
        return (S - K if S > K else 0.0) if q == 1 else (K - S if K > S else 0.0)
    E = bsm(q, K, D, F, sigma)
    if D >= 1:
        return E
    v, g = sigma * sigma, div(F, S)
    N = div(log(g) + log(g), v)  # 2b/sigma^2 in rate notation
    M = div(log(D) * -2.0, v)  # 2r/sigma^2
    disc = (N - 1) * (N - 1) + div(M * 4, 1 - D)
    root = sqrt(0.0 if disc < 0 else disc)
    if q == 1:
        q2 = (root - (N - 1)) * 0.5
        if D * g >= 1 or q2 <= 0:
            return E
        crit = _critical(_boundary(1, K, D, g, sigma, q2), 1, K)
        if S >= crit:
            return S - K
        d1 = div(log(div(g * crit, K)), sigma) + 0.5 * sigma
        return E + div(crit, q2) * (1 - (D * g) * norm_cdf(d1)) * pow_(div(S, crit), q2)
    q1 = (-(N - 1) - root) * 0.5
    if q1 >= 0:
        return E
    crit = _critical(_boundary(-1, K, D, g, sigma, q1), -1, K)
    if S <= crit:
        return K - S
    d1 = div(log(div(g * crit, K)), sigma) + 0.5 * sigma
    return E + div(-crit, q1) * (1 - (g * D) * norm_cdf(-d1)) * pow_(div(S, crit), q1)


def implied_vol_c(q, price, S, K, D, F):
    """0.0 without time value, -1.0 without a solution, else Brent's root."""
    intrinsic = (S - K if S > K else 0.0) if q == 1 else (K - S if K > S else 0.0)
    if price <= intrinsic + 1e-10:
        return 0.0
    hi = 1.0
    while baw(q, S, K, D, F, hi) < price and hi < 10.0:
        hi *= 2
    if hi >= 10.0:
        return -1.0
    if (baw(q, S, K, D, F, 1e-8) - price) * (baw(q, S, K, D, F, hi) - price) > 0:
        return -1.0
    return brentq(lambda x: baw(q, S, K, D, F, x) - price, 1e-8, hi, 1e-10, 1e-10, 200)


def price(S, K, D, F, sigma, flag):
    return baw(1 if flag == "c" else -1, float(S), float(K), float(D), float(F), float(sigma))


def implied_vol(p, S, K, D, F, flag):
    r = implied_vol_c(1 if flag == "c" else -1, *map(float, (p, S, K, D, F)))
    return math.nan if r < 0 else r
