"""Print the far-tail reference table of test_kernels.cpp.

Phi(x) = erfc(-x/sqrt 2)/2, evaluated by mpmath at 50 digits, at points on
[-37, -10].  Each x is rounded to 26 significant bits, so x*x is exact in a
double: the table then measures the Mills-ratio series and not the rounding
of the Gaussian's exponent x*x/2, which alone costs up to x*x * 2^-54
relative (8e-14 at -37) at a full-width x.

    python tests/cpp/make_tail_table.py
"""
import math

import mpmath

mpmath.mp.dps = 50

NOMINAL = [
    -10.0, -10.000001, -10.25, -10.5, -11.0, -11.3, -12.0, -12.75, -13.37,
    -14.0, -14.142135623730951, -15.5, -16.8, -18.0, -19.87654321, -21.0,
    -22.4, -24.0, -25.63, -27.1828, -28.5, -30.0, -31.4159265, -33.0,
    -34.56, -35.75, -36.2, -36.99, -37.0,
]


def short(v):
    m, e = math.frexp(v)
    return math.ldexp(round(m * 2**26), e - 26)


def hexf(x):
    mant, exp = x.hex().split("p")
    return mant.rstrip("0").rstrip(".") + "p" + exp


def phi(x):
    return float(0.5 * mpmath.erfc(-mpmath.mpf(x) / mpmath.sqrt(2)))


points = [short(v) for v in NOMINAL]
cells = [f"{{{hexf(x)}, {phi(x)!r}}}," for x in points]
for i in range(0, len(cells), 3):
    print("    " + " ".join(cells[i:i + 3]))
