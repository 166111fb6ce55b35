"""QuantLib on a flat market, one contract at a time: the benchmarks' peer and reference."""
import math

from scipy.optimize import brentq


class FlatMarket:
    """Flat rate, yield and volatility curves from 2026-12-08 on quotes that
    every contract reuses (QuantLib's objects are built once)."""

    def __init__(self):
        import QuantLib as ql

        self.ql = ql
        self.today = ql.Date(8, 12, 2026)
        ql.Settings.instance().evaluationDate = self.today
        dc = ql.Actual365Fixed()
        self.spot, self.rate, self.div, self.sig = (ql.SimpleQuote(0.0) for _ in range(4))
        rts = ql.YieldTermStructureHandle(ql.FlatForward(self.today, ql.QuoteHandle(self.rate), dc))
        dts = ql.YieldTermStructureHandle(ql.FlatForward(self.today, ql.QuoteHandle(self.div), dc))
        vts = ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(self.today, ql.NullCalendar(), ql.QuoteHandle(self.sig), dc))
        self.process = ql.BlackScholesMertonProcess(ql.QuoteHandle(self.spot), dts, rts, vts)

    def option(self, engine, call, S, K, days, r, q, vol=math.nan):
        """An American option expiring `days` from today on `engine`, the market set to S, r, q, vol."""
        ql = self.ql
        kind = ql.Option.Call if call else ql.Option.Put
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(K)),
                                  ql.AmericanExercise(self.today, self.today + int(days)))
        option.setPricingEngine(engine)
        self.spot.setValue(float(S)), self.rate.setValue(float(r)), self.div.setValue(float(q))
        if not math.isnan(vol):
            self.sig.setValue(float(vol))
        return option

    def implied_vol(self, option, target):
        """Brent's method (SciPy's brentq, xtol 1e-10) on the option's price in (1e-4, 4); NaN without a root."""
        def f(v):
            self.sig.setValue(v)
            return option.NPV() - target

        try:
            return brentq(f, 1e-4, 4.0, xtol=1e-10)
        except ValueError:
            return math.nan
