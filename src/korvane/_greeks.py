"""The Greeks' result type and its units, shared by the forward and rate forms."""
import importlib
from typing import Any, NamedTuple

import numpy as np


class Greeks(NamedTuple):
    """The price and its sensitivities, each broadcast like korvane.price."""

    price: Any  #: the price
    delta: Any  #: dV/dS, the forward moving with the spot (F/S held)
    gamma: Any  #: d2V/dS2, likewise
    vega: Any   #: dV/dsigma (forward form) or dV/dvol (korvane.bsm)
    theta: Any  #: -dV/dT per year (with T; else None)
    rho: Any    #: dV/dr (with T; else None)
    psi: Any    #: dV/dq, q the dividend yield or borrow (with T; else None)

    def to_frame(self) -> Any:
        """A pandas DataFrame with a column per field (None fields left out), on
        the index of Series results."""
        pandas: Any = importlib.import_module("pandas")  # untyped without its stubs
        return pandas.DataFrame({k: _flat(v) for k, v in self._asdict().items() if v is not None},
                                index=getattr(self.price, "index", None))

    def to_dataset(self) -> Any:
        """An xarray Dataset with a variable per field (None fields left out)."""
        xarray: Any = importlib.import_module("xarray")
        fields = {k: v for k, v in self._asdict().items() if v is not None}
        if all(hasattr(v, "dims") for v in fields.values()):
            return xarray.Dataset(fields)
        dims = [f"dim_{i}" for i in range(np.ndim(self.price))]
        return xarray.Dataset({k: (dims, np.asarray(v)) for k, v in fields.items()})


def _flat(values: Any) -> Any:
    return values if hasattr(values, "index") else np.ravel(values)


def in_trader_units(g: Greeks) -> Greeks:
    """Greeks with vega per unit of annual volatility, theta per year and rho
    and psi per unit of rate, in a trader's units: per volatility point, per
    calendar day, per percentage point."""
    return g._replace(vega=np.divide(g.vega, 100.0), theta=np.divide(g.theta, 365.0),
                      rho=np.divide(g.rho, 100.0), psi=np.divide(g.psi, 100.0))
