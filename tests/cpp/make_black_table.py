"""Print the reference tables of test_black.cpp.

erfcx(x) = exp(x^2) erfc(x) and the European price
D (s F Phi(s d1) - s K Phi(s d2)), d1,2 = ln(F/K)/sigma +- sigma/2, evaluated
by mpmath at 60 digits from the exact doubles printed, so the table measures
the kernels and not the rounding of their inputs.  The strikes and volatilities
cover every region of the normalised Black function: the asymptotic series
(d1 <= -10), the small-sigma Taylor series, the erfcx difference and the
Phi form, out of and in the money.

    python tests/cpp/make_black_table.py
"""
import mpmath

mpmath.mp.dps = 60

ERFCX_X = [-26.0, -12.5, -5.0, -1.0, -0.6, -0.46875, -0.2, 0.0, 1e-10, 0.1, 0.46875,
           0.4688, 1.0, 2.0, 3.9, 4.0, 4.1, 10.0, 100.0, 1e5, 1e8]

F = 100.0
SIGMAS = [1e-4, 3e-3, 0.05, 0.2, 0.4, 1.0, 3.0]
CALL_STRIKES = [1e5, 2e4, 1e3, 400.0, 150.0, 101.0, 100.0, 99.0, 60.0, 10.0]
PUT_STRIKES = [1e-1, 1.0, 5.0, 25.0, 66.0, 99.5, 100.0, 100.5, 140.0, 900.0]


def price(q, K, D, F, sigma):
    K, D, F, sigma = (mpmath.mpf(v) for v in (K, D, F, sigma))
    d1 = mpmath.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    return D * q * (F * mpmath.ncdf(q * d1) - K * mpmath.ncdf(q * d2))


def erfcx(x):
    x = mpmath.mpf(x)
    return mpmath.exp(x * x) * mpmath.erfc(x)


print("constexpr ErfcxPoint ERFCX[] = {")
cells = [f"{{{x!r}, {float(erfcx(x))!r}}}," for x in ERFCX_X]
for i in range(0, len(cells), 3):
    print("    " + " ".join(cells[i:i + 3]))
print("};")

rows = []
for q, strikes in ((1, CALL_STRIKES), (-1, PUT_STRIKES)):
    for K in strikes:
        for i, sigma in enumerate(SIGMAS):
            D = 1.0 if i % 2 == 0 else 0.97
            v = price(q, K, D, F, sigma)
            if v > mpmath.mpf("1e-300"):
                rows.append(f"{{{q}, {K!r}, {D!r}, {sigma!r}, {float(v)!r}}},")
print(f"// F = {F!r}")
print("constexpr PricePoint PRICES[] = {")
for i in range(0, len(rows), 2):
    print("    " + " ".join(rows[i:i + 2]))
print("};")
