import gc
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# `python -m pytest` puts the working directory first on sys.path; from the
# repository root that would shadow the installed package with the source
# folder korvane/, which holds no compiled module.
_ROOT = Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _ROOT]

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


@pytest.fixture
def leakcheck():
    """Run a body repeatedly and fail when it leaks references.

    Needs a debug interpreter (``sys.gettotalrefcount``); elsewhere the test
    is skipped.  The body is warmed up first (caches, interned strings), then
    measured over several runs; like CPython's own refleak hunter, a leak is
    reported only when the total grows on every measured run.
    """
    if not DEBUG_INTERPRETER:
        pytest.skip("reference counts need a debug interpreter")

    def check(body, *, warmup=5, runs=8, calls=20):
        def run():
            for _ in range(calls):
                body()

        for _ in range(warmup):
            run()
        gc.collect()
        deltas = []
        before = sys.gettotalrefcount()
        for _ in range(runs):
            run()
            gc.collect()
            after = sys.gettotalrefcount()
            deltas.append(after - before)
            before = after
        assert not all(d >= 1 for d in deltas), f"references leaked: {deltas}"

    return check


@pytest.fixture
def run_python(tmp_path):
    """Run code in a fresh interpreter (outside the source tree) and return
    the completed process; stdout and stderr are text."""

    def run(code, *, check=True):
        proc = subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(code)],
            cwd=tmp_path, capture_output=True, text=True, timeout=300,
        )
        if check and proc.returncode != 0:
            raise AssertionError(f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
        return proc

    return run
