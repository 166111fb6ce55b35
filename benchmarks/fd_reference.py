"""An independent American price for disputed contracts: Crank-Nicolson on
the Black-Scholes equation in ln S, Rannacher start, policy iteration for
the early-exercise constraint, Richardson extrapolation in both grid sizes.

Not korvane's method: a plain finite-difference solve (Forsyth & Vetzal 2002,
"Quadratic convergence for valuing American options using a penalty
method"; Rannacher 1984; Howard's policy iteration), slow but with an error
estimate, for the few hundred contracts where the fixed-point engine and
QuantLib's disagree.  A call is priced as the put with spot and strike, rate
and yield exchanged (McDonald & Schroder 1998).

    from fd_reference import american
    price, err = american(S, K, T, r, q, vol, "p")
"""
import math

import numpy as np
from scipy.linalg import solve_banded


def _grid(S, K, T, r, q, vol, n):
    """About n + 1 points in x = ln S, x = ln K + c sinh(u) on a uniform u
    grid with ln K and ln S both nodes (so grids of n and 2n nest)."""
    sd = vol * math.sqrt(T)
    drift = abs(r - q - 0.5 * vol * vol) * T
    half = 8 * sd + drift + abs(math.log(S / K)) + 0.5
    c = max(0.1 * sd, 0.02 * half)  # the cluster's width about ln K
    u_end = math.asinh(half / c)
    h = 2 * u_end / n
    u_s = math.asinh(math.log(S / K) / c)
    if u_s != 0:
        h = abs(u_s) / max(1, round(abs(u_s) / h))
    m = int(math.ceil(u_end / h))
    u = h * np.arange(-m, m + 1)
    x = math.log(K) + c * np.sinh(u)
    j = m + int(round(u_s / h))
    x[j] = math.log(S)
    return x, j


def _put(S, K, T, r, q, vol, n, m):
    x, j = _grid(S, K, T, r, q, vol, n)
    h_m = np.diff(x)[:-1]   # x_i - x_{i-1}, interior i
    h_p = np.diff(x)[1:]    # x_{i+1} - x_i
    mu = r - q - 0.5 * vol * vol
    d2 = 0.5 * vol * vol
    # L V_i = lo V_{i-1} + di V_i + up V_{i+1}: central differences, upwind
    # where the drift would make an off-diagonal negative
    lo = d2 * 2 / (h_m * (h_m + h_p)) - mu / (h_m + h_p)
    up = d2 * 2 / (h_p * (h_m + h_p)) + mu / (h_m + h_p)
    bad = (lo < 0) | (up < 0)
    lo = np.where(bad, d2 * 2 / (h_m * (h_m + h_p)) + np.maximum(-mu, 0) / h_m, lo)
    up = np.where(bad, d2 * 2 / (h_p * (h_m + h_p)) + np.maximum(mu, 0) / h_p, up)
    di = -(lo + up) - r
    g = np.maximum(K - np.exp(x), 0.0)     # exercise value
    left, right = K - math.exp(x[0]), 0.0  # exercised deep in the money; worthless far out
    V = g[1:-1].copy()
    # time to expiry on tau = T (k/m)^2: steps shrink towards expiry, where
    # the boundary moves like sqrt(tau)
    taus = T * (np.arange(m + 1) / m) ** 2
    steps = []
    for k in range(m):
        dt = taus[k + 1] - taus[k]
        if k < 2:  # Rannacher: the first two steps as four implicit Euler half steps
            steps += [(0.5 * dt, 1.0)] * 2
        else:
            steps.append((dt, 0.5))
    N = V.size
    for dt, theta in steps:
        # (I - theta dt L) V' = (I + (1 - theta) dt L) V, V' >= g
        rhs = V + (1 - theta) * dt * (di * V + lo * np.r_[left, V[:-1]] + up * np.r_[V[1:], right])
        rhs[0] += theta * dt * lo[0] * left
        rhs[-1] += theta * dt * up[-1] * right
        ab = np.zeros((3, N))
        ab[0, 1:] = -theta * dt * up[:-1]
        ab[1] = 1 - theta * dt * di
        ab[2, :-1] = -theta * dt * lo[1:]
        gi = g[1:-1]
        active = V <= gi + 1e-14 * K  # exercised at the last step
        for _ in range(50):
            # policy iteration on min(A V - rhs, V - g) = 0
            A = ab.copy()
            b = rhs.copy()
            A[1, active] = 1.0
            A[0, 1:][active[:-1]] = 0.0
            A[2, :-1][active[1:]] = 0.0
            b[active] = gi[active]
            Vn = solve_banded((1, 1), A, b)
            resid = ab[1] * Vn + np.r_[ab[0, 1:] * Vn[1:], 0.0] + np.r_[0.0, ab[2, :-1] * Vn[:-1]] - rhs
            nxt = resid > Vn - gi
            if np.array_equal(nxt, active):
                break
            active = nxt
        V = np.maximum(Vn, gi)
    return V[j - 1]


def american(S, K, T, r, q, vol, flag, n=2000, levels=3):
    """Price and error estimate from grids of n 2^k space steps and half as
    many time steps (k < levels; time errors are far smaller): extrapolated
    with the order the last three show (the free boundary crossing nodes
    makes it irregular, between 1 and 2), the gap to a second-order
    extrapolation as the error."""
    if flag in ("c", "call"):
        S, K, r, q = K, S, q, r
    vals = [_put(S, K, T, r, q, vol, n << k, (n << k) // 2) for k in range(levels)]
    d1, d2 = vals[-2] - vals[-3], vals[-1] - vals[-2]
    ratio = d1 / d2 if d2 != 0 else 4.0
    ratio = min(max(ratio, 2.0), 4.0)  # orders 1 to 2
    best = vals[-1] + d2 / (ratio - 1)
    second = vals[-1] + d2 / 3
    return best, max(abs(best - second), abs(d2) / (ratio - 1) * 0.1)
