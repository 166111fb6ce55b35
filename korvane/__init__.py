"""American option pricing with the Barone-Adesi-Whaley approximation.

The compiled module :mod:`korvane.vantrel` holds the four functions
``baw_price``, ``baw_implied_vol``, ``vectorized_baw_implied_vol`` and
``find_forward_baw``.
"""

__version__ = "0.1.0"
