import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# `python -m pytest` puts the working directory first on sys.path; the
# package's source lives in src/, so the root shadows nothing, but the tests'
# own helpers (reference, interp) are imported from tests/ only.
_ROOT = Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _ROOT]

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


@pytest.fixture
def leakcheck():
    """Run a body repeatedly and fail when it leaks.

    Needs a debug interpreter; elsewhere the test is skipped.  The body is
    warmed up first (caches, interned strings), then measured over several
    runs; as in CPython's own refleak hunter, a leak is reported only when a
    count grows on every measured run.  Two counts are watched:

    - the interpreter's total of references (``sys.gettotalrefcount``): exact
      for code built for the debug interpreter, but code built for a release
      interpreter (NumPy here) drifts it, so bodies that call into NumPy pass
      ``refcounts=False``;
    - memory blocks in use (``sys.getallocatedblocks``): sees objects that are
      never freed, whoever built the code.
    """
    if not DEBUG_INTERPRETER:
        pytest.skip("reference counts need a debug interpreter")

    def check(body, *, refcounts=True, blocks=True, warmup=5, runs=8, calls=20):
        def run():
            for _ in range(calls):
                body()

        for _ in range(warmup):
            run()
        counters = {"references": sys.gettotalrefcount, "memory blocks": sys.getallocatedblocks}
        watched = [name for name, on in zip(counters, (refcounts, blocks)) if on]
        deltas = {name: [] for name in watched}
        gc.collect()
        # What the process holds already (NumPy, pandas, Dask, ...) is left out
        # of the collections below, which then cost only what the body made.
        gc.freeze()
        try:
            before = {name: counters[name]() for name in watched}
            for _ in range(runs):
                run()
                gc.collect()
                for name in watched:
                    now = counters[name]()
                    deltas[name].append(now - before[name])
                    before[name] = now
        finally:
            gc.unfreeze()
        leaked = {name: d for name, d in deltas.items() if all(x >= calls for x in d)}
        assert not leaked, f"leaked over {calls} calls per run: {leaked}"

    return check


@pytest.fixture
def run_python(tmp_path):
    """Run code in a fresh interpreter (outside the source tree) and return
    the completed process; stdout and stderr are text.  `env` changes the
    environment: a value of None removes the variable."""

    def run(code, *, check=True, env=None):
        environ = dict(os.environ)
        for name, value in (env or {}).items():
            if value is None:
                environ.pop(name, None)
            else:
                environ[name] = value
        proc = subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(code)],
            cwd=tmp_path, capture_output=True, text=True, timeout=300, env=environ,
        )
        if check and proc.returncode != 0:
            raise AssertionError(f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
        return proc

    return run

