# The NumPy ufuncs of korvane (compiled in ufuncs.cpp).
import numpy as np

baw_price: np.ufunc
baw_implied_vol: np.ufunc
baw_forward: np.ufunc
baw_greeks: np.ufunc
