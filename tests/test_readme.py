"""The README's Python examples run as written."""
import doctest
import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvane
import reference as ref
from korvane.vantrel import vectorized_baw_implied_vol

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


CHECKOUT = """
import json, korvane
print(json.dumps([korvane.__file__, float(korvane.price(100.0, 100.0, 0.96, 102.0, 0.2, "p"))]))
"""


def test_python_started_in_the_checkout_imports_the_installed_package():
    root = README.parent
    out = subprocess.run([sys.executable, "-c", CHECKOUT], cwd=root, capture_output=True, text=True, check=True)
    path, value = json.loads(out.stdout)
    assert Path(path).resolve().parent != root / "korvane" and value > 0


def test_interactive_examples():
    text = "\n".join(b for b in BLOCKS if b.startswith(">>>"))
    test = doctest.DocTestParser().get_doctest(text, {}, "README", str(README), 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.failures == 0 and runner.tries >= 6


def test_the_whole_readme_as_a_doctest():
    # What `python -m doctest README.md` runs: an output line right before a
    # closing fence would take the fence as output.
    test = doctest.DocTestParser().get_doctest(README.read_text(), {}, "README", str(README), 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.failures == 0 and runner.tries >= 6


def printed_forwards():
    """(expiry, forward) of each row the README shows the chain call print."""
    rows = re.findall(r"^(\d{4}-\d\d-\d\d) +([\d.]+) ", README.read_text(), flags=re.M)
    return [(date, float(F)) for date, F in rows]


def inputs():
    """What the fragments that are not whole scripts work on."""
    S, K, D, F, sigma, flags = ref.random_contracts(300, 61, 0.05, 1.0)
    import korvane.vantrel as v
    prices = np.array([v.baw_price(*c) for c in zip(S, K, D, F, sigma, flags)])
    return {"korvane": korvane, "prices": prices, "S": S, "K": K, "D": D, "F": F, "flags": flags}


@pytest.mark.parametrize("block", [b for b in BLOCKS if not b.startswith(">>>")],
                         ids=lambda b: b.splitlines()[0][:40])
def test_script_examples(block, tmp_path, monkeypatch):
    for lib in ("pandas", "dask"):
        if lib in block:
            pytest.importorskip(lib)
    if ".plot_" in block:
        pytest.importorskip("matplotlib")
    if "examples/data" in block:  # paths as typed in the checkout; what it writes goes elsewhere
        (tmp_path / "examples").symlink_to(README.parent / "examples")
        monkeypatch.chdir(tmp_path)
    ns = inputs()
    args = [ns[k] for k in ("prices", "S", "K", "D", "F", "flags")]
    want = ref.bits(vectorized_baw_implied_vol(*args))
    exec(compile(block, str(README), "exec"), ns)
    checks = {
        "grid": lambda: ns["grid"].shape == (5, 9),
        "chain": lambda: ns["chain"] is korvane.chain or (
            (ns["chain"].sigma > 0).all() and list(ns["chain"].index) == ["A", "B", "C"]),
        "values": lambda: ns["values"].shape == (1_000_000,) and not np.isnan(ns["values"]).any(),
        "vols": lambda: ref.bits(ns["vols"]) == want,
        "iv_threaded": lambda: ref.bits(ns["iv_threaded"](*args)) == want and ref.bits(
            ns["iv_threaded"](list(args[0][:40]), 100.0, list(args[2][:40]), 0.97, 101.0, "cp" * 20)) == ref.bits(
            vectorized_baw_implied_vol(args[0][:40], 100.0, args[2][:40], 0.97, 101.0, "cp" * 20)),
        "premium": lambda: (ns["premium"] >= 0).all() and (ns["premium"][-1] > 0),
        "call_vols": lambda: np.allclose(ns["call_vols"], 0.3, atol=1e-8) and (ns["g"].delta > 0).all(),
        "result": lambda: Path("spy_smiles.png").exists() and printed_forwards() == [
            (str(k), round(v, 6)) for k, v in ns["result"].expiries.forward.items()],
    }
    ran = [name for name in checks if name in ns]
    assert ran and all(checks[name]() for name in ran)
