"""Importing korvane.vantrel: what the module holds, and how failed and repeated imports behave."""
import importlib
import importlib.util
import json
import sys

import numpy
import pytest

import korvane.vantrel as vantrel

FUNCTIONS = ("baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw")
ZEROS = "scipy.optimize.cython_optimize._zeros"
BRENTQ_SIGNATURE = ("double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
                    "void *, double, double, int, __pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)")


def test_module_attributes():
    first, blank, *rest = vantrel.__doc__.split("\n")
    assert first.endswith("Barone-Adesi-Whaley (1987) American option pricer and IV solver.")
    assert (blank, len(rest)) == ("", 2)
    assert all(word in " ".join(rest) for word in FUNCTIONS + ("the last two running without the interpreter lock",
                                                               "brentq"))
    assert vantrel.np is numpy
    assert type(vantrel.__test__) is dict and vantrel.__test__ == {}
    assert [getattr(vantrel, name).__defaults__ for name in FUNCTIONS] == [None, None, None, (0.01,)]


def test_reimport_returns_the_same_module(monkeypatch):
    published = [getattr(vantrel, name) for name in FUNCTIONS]
    monkeypatch.delitem(sys.modules, "korvane.vantrel")
    again = importlib.import_module("korvane.vantrel")
    assert again is vantrel
    assert [getattr(again, name) for name in FUNCTIONS] == published  # not filled a second time


FAILED_IMPORT = """
import ctypes, json, sys, traceback, types
import numpy, scipy.optimize.cython_optimize._zeros
ZEROS, CAPSULE_NAME = {zeros!r}, b"double (double)"  # the name must outlive the capsule
new_capsule = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)(
    ("PyCapsule_New", ctypes.pythonapi))

def attempt():
    try:
        import korvane.vantrel
    except Exception as exc:
        return [type(exc).__name__, str(exc), [entry.name for entry in traceback.extract_tb(exc.__traceback__)]]
    return korvane.vantrel.baw_price(100.0, 100.0, 0.96, 100.0, 0.2, "c")

saved = dict(sys.modules)
{setup}
failed = attempt()
sys.modules.update(saved)
print(json.dumps([failed, attempt()]))
"""


NUMPY_CORE = "numpy._core" if int(numpy.__version__.split(".")[0]) >= 2 else "numpy.core"  # renamed in NumPy 2

@pytest.mark.parametrize("setup, error, message", [
    ("sys.modules[ZEROS] = None", "ModuleNotFoundError", f"import of {ZEROS} halted; None in sys.modules"),
    ("sys.modules[ZEROS] = types.ModuleType(ZEROS)",
     "AttributeError", f"module '{ZEROS}' has no attribute '__pyx_capi__'"),
    ("sys.modules[ZEROS] = types.SimpleNamespace(__pyx_capi__={'bisect': None})",
     "ImportError", f"{ZEROS} does not export expected C function brentq"),
    ("sys.modules[ZEROS] = types.SimpleNamespace(__pyx_capi__={'brentq': new_capsule(1, CAPSULE_NAME, None)})",
     "TypeError",
     f"C function {ZEROS}.brentq has wrong signature (expected {BRENTQ_SIGNATURE}, got double (double))"),
    # NumPy itself is imported already; only its compiled interface is missing
    (f"sys.modules['{NUMPY_CORE}._multiarray_umath'] = types.ModuleType('{NUMPY_CORE}._multiarray_umath')",
     "ImportError", "numpy._core.multiarray failed to import"),  # the message of NumPy 2's headers
], ids=["no-scipy", "no-capi", "no-brentq", "wrong-capsule", "no-numpy-api"])
def test_failed_import_can_be_retried(run_python, setup, error, message):
    failed, retried = json.loads(run_python(FAILED_IMPORT.format(zeros=ZEROS, setup=setup)).stdout)
    assert failed[:2] == [error, message]
    assert "init korvane.vantrel" in failed[2]
    assert retried == vantrel.baw_price(100.0, 100.0, 0.96, 100.0, 0.2, "c")


def test_second_module_object_is_refused(run_python):
    out = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("korvane.vantrel")  # the extension file's own spec and loader
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            print(exc)
    """)
    assert out.stdout == "Module 'vantrel' has already been imported. Re-initialisation is not supported.\n"


@pytest.mark.skipif(importlib.util.find_spec("_interpreters") is None, reason="needs _interpreters (CPython 3.13+)")
@pytest.mark.parametrize("config, message", [
    # shares the main interpreter's GIL, so only the module's own check stops it
    ("legacy", "Interpreter change detected - this module can only be loaded into one interpreter per process."),
    # the module does not declare support for a per-interpreter GIL: CPython refuses it first
    ("isolated", "module korvane.vantrel does not support loading in subinterpreters"),
])
def test_import_in_a_subinterpreter_fails(run_python, config, message):
    out = run_python(f"""
        import _interpreters, json
        import korvane.vantrel
        interp = _interpreters.create({config!r})
        try:
            info = _interpreters.exec(interp, "import korvane.vantrel")  # None when nothing was raised
        finally:
            _interpreters.destroy(interp)
        print(json.dumps(info and [info.type.__name__, info.msg]))
    """)
    assert json.loads(out.stdout) == ["ImportError", message]


def test_reimport_releases_references(leakcheck):
    def reimport():
        del sys.modules["korvane.vantrel"]
        importlib.import_module("korvane.vantrel")

    # Every re-import leaves one block behind in the interpreter itself: it drops a module's
    # (zero-byte) state when a create step returns an existing module and allocates a new one.
    leakcheck(reimport, blocks=False)
