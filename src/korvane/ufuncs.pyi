# The NumPy ufuncs of korvane (compiled in ufuncs.cpp).
import numpy as np

baw_price: np.ufunc
baw_implied_vol: np.ufunc
baw_forward: np.ufunc
baw_greeks: np.ufunc
alo_price: np.ufunc
alo_implied_vol: np.ufunc
alo_forward: np.ufunc
alo_greeks: np.ufunc
european_price: np.ufunc
european_implied_vol: np.ufunc
european_forward: np.ufunc
european_greeks: np.ufunc
fd_price: np.ufunc
fd_implied_vol: np.ufunc
fd_forward: np.ufunc
fd_greeks: np.ufunc
fd_carry: np.ufunc
_fd_price_scheme: np.ufunc
_simd: str  # the vector instruction set the kernels run on: "scalar", "avx2" or "avx512"
