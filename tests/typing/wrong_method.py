"""A method misspelt: mypy --strict must reject this file (CI checks that it does)."""
from korvane import bsm

print(bsm.price(100.0, 95.0, 0.5, 0.05, 0.02, 0.25, "put", method="ALO"))
