"""Pictures of a chain's result with matplotlib (an optional import): each
expiry's out-of-the-money smile with bid-ask bars, and the term structure of
forwards, yields and at-the-money volatilities."""
from __future__ import annotations

import importlib
import math
from typing import Any

import numpy as np


def _figure(**kwargs: Any) -> Any:
    # A bare Figure (no pyplot): no backend, no global state, nothing to close.
    try:
        figure: Any = importlib.import_module("matplotlib.figure")
    except ImportError:
        raise ImportError('plots need matplotlib: pip install matplotlib (".[plot]" in korvane\'s folder)') from None
    return figure.Figure(**kwargs)


def _label(expiry: Any) -> str:
    text = str(expiry)
    return text[:10] if isinstance(expiry, np.datetime64) else text


def _saved(fig: Any, path: Any) -> Any:
    if path is not None:
        fig.savefig(path)
    return fig


def smiles(by_expiry: dict[str, Any], by_quote: dict[str, Any], method: str, path: Any) -> Any:
    """One panel per expiry: implied volatility (% a year) against strike, puts
    below the forward and calls above, the mid's volatility as a point and the
    bid's and ask's as a bar (from zero where the bid has no time value)."""
    E = len(by_expiry["T"])
    ncols = max(min(E, max(3, math.ceil(math.sqrt(E)))), 1)  # 3 across, more for many expiries
    nrows = max(math.ceil(E / ncols), 1)
    fig = _figure(figsize=(4.6 * ncols, 3.4 * nrows), dpi=110, layout="constrained")
    axes = fig.subplots(nrows, ncols, squeeze=False).ravel()
    code = np.searchsorted(by_expiry["T"], by_quote["T"])
    shown = by_quote["otm"] & np.isfinite(by_quote["iv"])
    for e, ax in enumerate(axes):
        if e >= E:
            ax.set_axis_off()
            continue
        mine = shown & (code == e)
        for kind, color in (("put", "tab:blue"), ("call", "tab:red")):
            side = mine & (by_quote["type"] == kind)
            K = by_quote["strike"][side]
            iv = 100 * by_quote["iv"][side]
            lo = np.nan_to_num(iv - 100 * by_quote["iv_bid"][side], nan=0.0).clip(0)
            hi = np.nan_to_num(100 * by_quote["iv_ask"][side] - iv, nan=0.0).clip(0)
            ax.errorbar(K, iv, yerr=(lo, hi), fmt="o", ms=2.5, lw=0.8, color=color,
                        ecolor=color, alpha=0.8, label=f"{kind}s")
        F, atm, T = by_expiry["forward"][e], by_expiry["atm_vol"][e], by_expiry["T"][e]
        if np.isfinite(F):
            ax.axvline(F, color="0.4", lw=0.8, ls="--")
        atm_text = f", ATM {100 * atm:.1f}%" if np.isfinite(atm) else ""
        ax.set_title(f"{_label(by_expiry['expiry'][e])}  (T = {T:.3f}){atm_text}", fontsize=9)
        if not mine.any():
            ax.text(0.5, 0.5, by_expiry["status"][e] if by_expiry["status"][e] != "ok"
                    else "no volatility", transform=ax.transAxes, ha="center", fontsize=9)
        ax.grid(alpha=0.3)
        ax.tick_params(labelsize=8)
    for ax in axes[(nrows - 1) * ncols:]:
        ax.set_xlabel("strike", fontsize=8)
    for ax in axes[::ncols]:
        ax.set_ylabel("implied vol (%/yr)", fontsize=8)
    axes[0].legend(fontsize=8)
    fig.suptitle(f"Out-of-the-money smiles, bid-ask bars ({method}); dashed: the forward", fontsize=10)
    return _saved(fig, path)


def term_structure(by_expiry: dict[str, Any], spot: float, method: str, path: Any) -> Any:
    """Forward (with the spot), implied yield and at-the-money volatility by maturity."""
    fig = _figure(figsize=(7.0, 7.5), dpi=110, layout="constrained")
    axes = fig.subplots(3, 1, sharex=True)
    T = by_expiry["T"]
    panels = ((by_expiry["forward"], "forward"), (100 * by_expiry["yield"], "implied yield (%/yr)"),
              (100 * by_expiry["atm_vol"], "ATM vol (%/yr)"))
    for ax, (values, label) in zip(axes, panels):
        ax.plot(T, values, "o-", ms=4, lw=1)
        ax.set_ylabel(label, fontsize=9)
        ax.grid(alpha=0.3)
    axes[0].axhline(spot, color="0.4", lw=0.8, ls="--", label=f"spot {spot:g}")
    axes[0].legend(fontsize=8)
    axes[1].axhline(0.0, color="0.6", lw=0.6)
    axes[-1].set_xlabel("maturity (years)")
    fig.suptitle(f"Term structure ({method})", fontsize=10)
    return _saved(fig, path)
