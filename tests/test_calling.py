"""How the four functions bind and convert their arguments, and what their function objects offer."""
import copy
import ctypes
import inspect
import multiprocessing
import pickle
import traceback

import numpy as np
import pytest

import korvane.vantrel as vantrel
from korvane.vantrel import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

NUMS = (100.0, 100.0, 0.96, 102.0, 0.2)  # S, K, D, F, sigma: the call and the put differ in price
IV = (7.0, 100.0, 100.0, 0.96, 102.0)  # price, S, K, D, F
CALL, PUT = baw_price(*NUMS, "c"), baw_price(*NUMS, "p")
CALL_IV, PUT_IV = baw_implied_vol(*IV, "c"), baw_implied_vol(*IV, "p")
ARR = np.ones(2)
AMBIGUOUS = np.array(["c", "p"])  # == "c" gives an array without a truth value
CALL_PATHS = pytest.mark.parametrize("call", [  # the slot wrapper hands a tuple and a dict straight to tp_call
    lambda f, *a, **kw: f(*a, **kw), lambda f, *a, **kw: type(f).__call__(f, *a, **kw)], ids=["vectorcall", "tp_call"])


PyObject_Call = ctypes.PYFUNCTYPE(*[ctypes.py_object] * 4)(("PyObject_Call", ctypes.pythonapi))
PyObject_Vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                        ctypes.c_size_t, ctypes.py_object)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(f, args, kwnames, kwvalues):
    return PyObject_Vectorcall(f, (ctypes.py_object * 6)(*args, *kwvalues), len(args), kwnames)


class Name(str):
    pass


class Probe:
    """Stands in for a number or a flag: logs each use, answers `result`, or raises it."""

    def __init__(self, result, log=None):
        self.result, self.log = result, [] if log is None else log

    def answer(self, what):
        self.log.append(what)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    __float__ = lambda self: self.answer("__float__")
    __eq__ = lambda self, other: self.answer("__eq__")
    __bool__ = lambda self: self.answer("__bool__")
    __hash__ = object.__hash__


IndexOnly = type("IndexOnly", (), {"__index__": lambda self: 100})


def last_entry(exc):
    entry = traceback.extract_tb(exc.__traceback__)[-1]
    return entry.name, entry.filename


BINDING_ERRORS = [
    (baw_price, NUMS, {}, "baw_price() takes exactly 6 positional arguments (5 given)"),
    (baw_price, NUMS + ("c", 1), {"flag": "c"}, "baw_price() takes exactly 6 positional arguments (7 given)"),
    (baw_price, NUMS[:4], {"sigma": 0.2}, "baw_price() takes exactly 6 positional arguments (5 given)"),
    (baw_price, (), dict(S=1.0, K=1.0, D=1.0, F=1.0, flag="c"), "baw_price() takes exactly 6 positional arguments (4 given)"),
    (baw_price, ("x", 1.0), dict(F=1.0, sigma=1.0, flag="c"), "baw_price() takes exactly 6 positional arguments (2 given)"),
    (baw_price, NUMS + ("c",), {"vol": 1.0}, "baw_price() got an unexpected keyword argument 'vol'"),
    (baw_price, ("x",) * 3, {"vol": 1.0}, "baw_price() got an unexpected keyword argument 'vol'"),
    (baw_price, NUMS + ("c",), {"vol": 1.0, "S": 1.0}, "baw_price() got an unexpected keyword argument 'vol'"),
    (baw_price, NUMS + ("c",), {"S": 1.0, "vol": 1.0}, "baw_price() got multiple values for keyword argument 'S'"),
    (baw_implied_vol, IV + ("c",), {"price": 1.0}, "baw_implied_vol() got multiple values for keyword argument 'price'"),
    (vectorized_baw_implied_vol, (ARR,) * 5, {}, "vectorized_baw_implied_vol() takes exactly 6 positional arguments (5 given)"),
    (find_forward_baw, (ARR,) * 4, {}, "find_forward_baw() takes at least 5 positional arguments (4 given)"),
    (find_forward_baw, (ARR,) * 7, {}, "find_forward_baw() takes at most 6 positional arguments (7 given)"),
    (find_forward_baw, (ARR,) * 3, {"D": 1.0}, "find_forward_baw() takes at least 5 positional arguments (3 given)"),
    (find_forward_baw, (), {"strike_pct": 0.01}, "find_forward_baw() takes at least 5 positional arguments (0 given)"),
    (find_forward_baw, (ARR,) * 6, {"strike_pct": 0.5}, "find_forward_baw() got multiple values for keyword argument 'strike_pct'"),
]
KEYWORD_CALLS = [  # (function, args, kwargs, the positional arguments they amount to)
    (baw_price, NUMS[:3], {"flag": "p", "sigma": 0.2, "F": 102.0}, NUMS + ("p",)),
    (baw_price, (), {Name(k): v for k, v in zip(["S", "K", "D", "F", "sigma", "flag"], NUMS + ("c",))}, NUMS + ("c",)),
    (baw_implied_vol, IV[:1], dict(flag="c", F=102.0, D=0.96, K=100.0, S=100.0), IV + ("c",)),
    (find_forward_baw, ([7.0], [7.0], [100.0], 100.0), {"D": 0.96}, ([7.0], [7.0], [100.0], 100.0, 0.96, 0.01)),
]
FAILING_CALLS = [  # (function, args, exception): conversion errors and errors raised in the body
    (baw_price, ("1.5",) + NUMS[1:] + ("c",), TypeError), (baw_price, NUMS[:2] + (b"1",) + NUMS[3:] + ("c",), TypeError),
    (baw_price, NUMS[:4] + (None, "c"), TypeError), (baw_price, (10**400,) + NUMS[1:] + ("c",), OverflowError),
    (baw_price, NUMS + (AMBIGUOUS,), ValueError), (baw_implied_vol, IV[:4] + ("0.9", "c"), TypeError),
    (baw_implied_vol, IV + (AMBIGUOUS,), ValueError),
    (vectorized_baw_implied_vol, (ARR, np.ones((2, 2))) + (ARR,) * 3 + ("cc",), ValueError),
    # the numbers are converted before NumPy sees "no array" (which it would refuse with a ValueError)
    (find_forward_baw, (ARR, ARR, "no array", "1.5", 1.0), TypeError),
    (find_forward_baw, (ARR, ARR, "no array", 100.0, 1.0, None), TypeError),
    (find_forward_baw, (np.ones(3), ARR, ARR, 1.0, 1.0), IndexError),
]


@CALL_PATHS
@pytest.mark.parametrize("f, args, kwargs, message", BINDING_ERRORS, ids=[row[3] for row in BINDING_ERRORS])
def test_binding_errors(call, f, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(f, *args, **kwargs)
    assert str(info.value) == message
    assert last_entry(info.value) == (f"korvane.vantrel.{f.__name__}", "korvane/vantrel.cpp")


@CALL_PATHS
@pytest.mark.parametrize("f, args, kwargs, positional", KEYWORD_CALLS)
def test_keywords_bind_by_name(call, f, args, kwargs, positional):
    assert call(f, *args, **kwargs) == f(*positional)


@pytest.mark.parametrize("raw_call, message", [
    (lambda: PyObject_Call(baw_price, NUMS, {1: 2}), "keywords must be strings"),
    (lambda: PyObject_Call(type(baw_price).__call__, (baw_price,) + NUMS, {1: 2}), "keywords must be strings"),
    (lambda: vectorcall(baw_price, NUMS, (1,), ("c",)), "baw_price() keywords must be strings"),
    (lambda: vectorcall(baw_price, NUMS[:4], ("flag", "flag"), ("c", "c")),
     "baw_price() got multiple values for keyword argument 'flag'"),
    (lambda: vectorcall(baw_price, NUMS[:4], ("flag", Name("flag")), ("c", "c")),
     "baw_price() got multiple values for keyword argument 'flag'"),
], ids=["call-mapping", "tp_call-mapping", "vectorcall-kwnames", "repeated", "repeated-str-subclass"])
def test_keyword_names_from_c(raw_call, message):
    with pytest.raises(TypeError) as info:
        raw_call()
    assert str(info.value) == message


@CALL_PATHS
@pytest.mark.parametrize("position, value, plain", [
    (0, 100, 100.0), (4, True, 1.0), (1, np.float64(100.0), 100.0), (3, np.int64(102), 102.0),
    (0, Probe(100.0), 100.0), (1, IndexOnly(), 100.0), (2, np.float32(0.5), 0.5),
], ids=["int", "True", "float64", "int64", "__float__", "__index__", "float32"])
def test_numbers_convert_as_float_does(call, position, value, plain):
    args, expected = list(NUMS), list(NUMS)
    args[position], expected[position] = value, plain
    assert call(baw_price, *args, "c") == baw_price(*expected, "c")


@CALL_PATHS
@pytest.mark.parametrize("f, make_args, log_after", [  # where the raising object sits, and what was asked before
    (baw_price, lambda e, log: (100.0, Probe(e), Probe(0.96, log), 102.0, 0.2, Probe(True, log)), []),
    (baw_price, lambda e, log: (100.0, 100.0, Probe(0.96, log), 102.0, 0.2, Probe(e, log)), ["__float__", "__eq__"]),
    (baw_price, lambda e, log: NUMS + (Probe(Probe(e, log), log),), ["__eq__", "__bool__"]),
    (baw_implied_vol, lambda e, log: IV + (Probe(e, log),), ["__eq__"]),
    (baw_implied_vol, lambda e, log: IV + (Probe(Probe(e, log), log),), ["__eq__", "__bool__"]),
    (find_forward_baw, lambda e, log: (ARR, ARR, ARR, 100.0, Probe(e), Probe(0.01, log)), []),
], ids=["__float__", "after-float", "__bool__", "iv-__eq__", "iv-__bool__", "forward-__float__"])
def test_raised_errors_propagate_unchanged(call, f, make_args, log_after):
    log, error = [], ArithmeticError("raised by the caller's object")
    with pytest.raises(ArithmeticError) as info:
        call(f, *make_args(error, log))
    assert info.value is error and log == log_after


FLAGS = [("c", True), (np.str_("c"), True), (Name("c"), True), (Probe(np.True_), True), ("p", False), ("C", False),
         ("P", False), ("call", False), ("", False), (None, False), (b"c", False), (1, False), (Probe(0), False)]


@CALL_PATHS
@pytest.mark.parametrize("flag, is_call", FLAGS, ids=[repr(flag) for flag, _ in FLAGS])
def test_flags(call, flag, is_call):
    assert call(baw_price, *NUMS, flag) == (CALL if is_call else PUT)
    assert call(baw_implied_vol, *IV, flag=flag) == (CALL_IV if is_call else PUT_IV)


@CALL_PATHS
@pytest.mark.parametrize("f, args, error", FAILING_CALLS)
def test_errors_name_the_function_in_tracebacks(call, f, args, error):
    with pytest.raises(error) as info:
        call(f, *args)
    assert last_entry(info.value) == (f"korvane.vantrel.{f.__name__}", "korvane/vantrel.cpp")
    if f is vectorized_baw_implied_vol and error is ValueError:
        assert str(info.value) == "Buffer has wrong number of dimensions (expected 1, got 2)"


FUNCTIONS = [  # (name, parameters, start of the docstring, its remaining lines)
    ("baw_price", "S K D F sigma flag", "BAW American option price",
     ["", "    S spot, K strike, D discount factor, F forward, sigma total std dev.", "    flag: 'c' or 'p'."]),
    ("baw_implied_vol", "price S K D F flag", "BAW implied total std dev",
     ["", "    Returns sigma or NaN on failure.", "    0.0 for a price without time value; NaN for a NaN input."]),
    ("vectorized_baw_implied_vol", "prices S_arr K_arr D_arr F_arr flags", "Batch BAW IV extraction",
     ["    Inputs of len(prices) elements, or of one for every element (longer",
      "    ones are read in part). flags is array of 'c'/'p'.",
      "    Returns numpy array of implied vols: 0.0 for a price without time",
      "    value, NaN without a solution or for a NaN input."]),
    ("find_forward_baw", "call_prices put_prices strikes S D strike_pct=0.01",
     "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.", []),
]


@pytest.mark.parametrize("name, params, summary, doc_rest", FUNCTIONS, ids=[row[0] for row in FUNCTIONS])
def test_function_objects(name, params, summary, doc_rest):
    f = getattr(vantrel, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "korvane.vantrel")
    assert f.__globals__ is vars(vantrel)
    sig = inspect.signature(f)
    assert str(sig) == f"({params.replace(' ', ', ')})"
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert repr(f) == f"<function korvane.vantrel.{name}{sig}>"
    assert all(pickle.loads(pickle.dumps(f, protocol)) is f for protocol in range(pickle.HIGHEST_PROTOCOL + 1))
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    with pytest.raises(TypeError, match="^cannot create 'korvane.vantrel.function' instances$"):
        type(f)()
    first, *rest = f.__doc__.split("\n")
    assert (first[:len(summary)], rest) == (summary, doc_rest)


def test_defaults_are_shown_but_never_read():
    calls, puts = ([baw_price(100.0, k, 0.99, fwd, 0.2, flag) for k, fwd in [(90, 106), (100, 101), (110, 106)]]
                   for flag in "cp")
    args = (calls, puts, [90.0, 100.0, 110.0], 100.0, 0.99)
    before = find_forward_baw(*args)
    assert find_forward_baw(*args, 0.5) != before  # the answer does depend on the first window
    try:
        for value in [(0.5,), (), None]:
            find_forward_baw.__defaults__ = baw_price.__defaults__ = value
            assert (find_forward_baw.__defaults__, baw_price.__defaults__, find_forward_baw(*args)) == (value, value, before)
        baw_price.__defaults__ = (1.0,)
        with pytest.raises(TypeError, match=r"^baw_price\(\) takes exactly 6 positional arguments \(5 given\)$"):
            baw_price(*NUMS)
        with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
            find_forward_baw.__defaults__ = [0.5]
    finally:
        find_forward_baw.__defaults__, baw_price.__defaults__ = (0.01,), None


def test_functions_travel_to_worker_processes():
    with multiprocessing.Pool(2) as pool:
        assert pool.apply(baw_price, NUMS + ("c",)) == CALL
        assert pool.apply(baw_implied_vol, IV, {"flag": "p"}) == PUT_IV


def fresh(value):
    """A new float for every call, so that a reference kept by mistake shows as a memory block."""
    return value + 0.0 if type(value) is float else value


@CALL_PATHS
@pytest.mark.parametrize("f, args, kwargs", [row[:3] for row in KEYWORD_CALLS + BINDING_ERRORS]
                         + [(f, positional, {}) for f, _, _, positional in KEYWORD_CALLS]
                         + [(f, args, {}) for f, args, _ in FAILING_CALLS])
def test_calls_release_references(leakcheck, call, f, args, kwargs):
    def body():
        try:
            call(f, *map(fresh, args), **{key: fresh(value) for key, value in kwargs.items()})
        except (TypeError, ValueError, OverflowError, IndexError):
            pass

    # NumPy, built for a release interpreter, drifts the reference total of a debug one; the
    # memory blocks of the fresh arguments still show a reference kept by mistake.
    touches_numpy = f in (vectorized_baw_implied_vol, find_forward_baw) or any(
        isinstance(a, (np.ndarray, np.generic)) for a in (*args, *kwargs.values()))
    leakcheck(body, refcounts=not touches_numpy)
