from lib import *
import QuantLib as ql, math
def qlp(flag,S,K,T,r,q,vol):
    today=ql.Date(1,1,2020); ql.Settings.instance().evaluationDate=today
    dc=ql.Actual365Fixed(); mat=today+round(T*365); T=(mat-today)/365.0
    opt=ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call if flag==1 else ql.Option.Put,K),ql.AmericanExercise(today,mat))
    proc=ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)),ql.YieldTermStructureHandle(ql.FlatForward(today,q,dc,ql.Continuous)),ql.YieldTermStructureHandle(ql.FlatForward(today,r,dc,ql.Continuous)),ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today,ql.NullCalendar(),vol,dc)))
    opt.setPricingEngine(ql.QdFpAmericanEngine(proc,ql.QdFpAmericanEngine.highPrecisionScheme())); return opt.NPV(),T
for r in [1e-6,1e-4,1e-3,0.005,0.01]:
  for vol in [0.1,0.2,0.4]:
    flag,S,K,T,q=-1,100,100,30,-0.05
    p,T=qlp(flag,S,K,T,r,q,vol); D,F,s=fwd(S,T,r,q,vol)
    print(r,vol,'QL',p,'alo',L.alo_price(flag,S,K,D,F,s))
