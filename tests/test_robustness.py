"""Robustness of the Python boundary against arbitrary callers.

1. A property-based test calls every function with arbitrary mixtures of
   positional and keyword arguments drawn from numbers, strings, containers,
   numpy arrays and hostile objects. An executable model of the boundary
   (parsing, then float and sequence conversion through the interpreter's own
   C API, in parameter order) predicts the exception type of each call; a
   call that converts must return floats of the right length (bit-identical
   to the same call with plain lists of floats), fail with a kernel message,
   or raise PanicException for unequal tables.
2. Many calls over all functions and all failure paths leave the interpreter's
   allocated blocks, the traced memory and the resident set size flat.
3. Absurd reported lengths and allocation failures end in MemoryError (or
   the documented PanicException when the result list itself cannot be
   built), with the interpreter usable afterwards.
4. Conversions that call back into the module work, and concurrent calls
   from several threads give identical results while the GIL is released.

Environment: KALVORIN_FUZZ_EXAMPLES sets the number of examples of the
property test (default 300), KALVORIN_LEAK_CALLS the number of calls of the
leak test (default 20000), KALVORIN_FUZZ_REPORT a file that receives the
counts as JSON.
"""

import array
import builtins
import ctypes
import decimal
import fractions
import gc
import inspect
import json
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kalvorin as K

NAMES = list(K.__all__)
PARAMS = {name: tuple(inspect.signature(getattr(K, name)).parameters) for name in NAMES}
FLOAT_FUNCTIONS = {"heyrovsky_magnification"}
LIST_PARAMS = {"l", "bl", "bf"}
TABLE_FUNCTIONS = {name for name in NAMES if "bl" in PARAMS[name]}
# The ring integrals count a failing ring as a gap in the quadrature: no RuntimeError.
NEVER_RUNTIME_ERROR = {"integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification"}

KERNEL_MESSAGES = {
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprf: Failed to converge.",
    "elliprc: x must be non-negative.",
    "elliprc: y must be non-zero.",
    "elliprd: x and y must be non-negative, and at most one can be zero.",
    "elliprd: z must be positive",
    "elliprd: Failed to converge.",
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprj: p must be non-zero",
    "elliprj: Fail to converge",
    "ellipk: m must be less than 1.",
    "ellipe: m must be less than 1.",
    "ellippi: m must be less than 1.",
    "ellippi: n must be less than 1.",
}
ASSERTION_PREFIX = "assertion `left == right` failed"
# Elements a std::vector<double> can hold at most; a longer reservation is refused outright.
MAX_VECTOR = (2**63 - 1) // 8
# A reservation this large may or may not be granted, depending on the machine.
HUGE_RESERVATION = 2**30

NAN = float("nan")


def running_under_asan():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


UNDER_ASAN = running_under_asan()
# A reported length whose reservation fails in the allocator. AddressSanitizer's
# operator new reports such a failure and aborts instead of throwing
# std::bad_alloc, so under it only lengths beyond what a vector can hold at
# all (std::length_error, no allocation tried) are used.
ABSURD_LENGTH = 2**61 if UNDER_ASAN else 10**12


def is_panic(exc):
    cls = type(exc)
    return cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime" \
        and issubclass(cls, BaseException) and not issubclass(cls, Exception)


def bits(x):
    return struct.pack("<d", x)


# --------------------------------------------------------------------------
# Hostile objects. All are deterministic: converting one twice gives the same
# outcome, so the model and the real call see the same behaviour.
# --------------------------------------------------------------------------

class MyTypeError(TypeError):
    pass


class MyBaseException(BaseException):
    pass


class FloatSub(float):
    pass


EXCEPTION_KINDS = ["TypeError", "TypeError from KeyError", "MyTypeError", "ValueError", "ZeroDivisionError",
                   "OverflowError", "RuntimeError", "MemoryError", "LookupError", "MyBaseException"]


def make_exception(kind):
    if kind == "TypeError from KeyError":
        exc = TypeError("bad with a cause")
        exc.__cause__ = KeyError("cause")
        return exc
    cls = {"MyTypeError": MyTypeError, "MyBaseException": MyBaseException}.get(kind) or getattr(builtins, kind)
    return cls(f"{kind} raised on purpose")


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"HasFloat({self.value!r})"


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"HasIndex({self.value!r})"


class FloatRaises:
    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise make_exception(self.kind)

    def __repr__(self):
        return f"FloatRaises({self.kind!r})"


class IndexRaises(FloatRaises):
    __float__ = None

    def __index__(self):
        raise make_exception(self.kind)

    def __repr__(self):
        return f"IndexRaises({self.kind!r})"


class Reentrant:
    """__float__ calls the module (one call releases the GIL) and returns a value from it."""

    def __init__(self, mode):
        self.mode = mode

    def __float__(self):
        if self.mode == "value":
            return K.witt_mao_magnification([3.0, 2.0], 1.0, 0.1)[1] - K.heyrovsky_magnification(3.0, 1.0, 1.0, 0.1)
        if self.mode == "integrated":
            return K.integrated_heyrovsky_magnification([3.0], 1.0, 0.1)[0]
        if self.mode == "catches":
            for call in (lambda: K.witt_mao_magnification("x", 1.0, 0.1),
                         lambda: K.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.5], []),
                         lambda: K.witt_mao_magnification([NAN], 1.0, 0.1)):
                try:
                    call()
                except BaseException:  # noqa: B902 - PanicException included
                    pass
            return 0.25
        if self.mode == "inner TypeError":
            return K.heyrovsky_magnification("x", 1.0, 1.0, 0.1)
        if self.mode == "inner RuntimeError":
            return K.heyrovsky_magnification(NAN, 0.5, 1.0, 0.1)
        if self.mode == "inner PanicException":
            return K.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.5, 0.6], [1.0])[0]
        raise AssertionError(self.mode)

    def __repr__(self):
        return f"Reentrant({self.mode!r})"


class Seq:
    """A sequence by __len__/__getitem__. `length` may lie, be an exception kind
    (``"raises <kind>"``) or a non-integer; `fail_at` makes item access raise."""

    def __init__(self, items, length=None, fail_at=None, kind="TypeError"):
        self.items, self.length, self.fail_at, self.kind = list(items), length, fail_at, kind
        raises = isinstance(length, str) and length.startswith("raises ")
        self.length_kind = sys.intern(length[len("raises "):]) if raises else None

    def __len__(self):
        if self.length_kind:
            raise make_exception(self.length_kind)
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise make_exception(self.kind)
        return self.items[i]

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r}, " \
               f"kind={self.kind!r})"


class IterSeq(Seq):
    """The same, iterated through __iter__ (a generator raising at fail_at)."""

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise make_exception(self.kind)
            yield item


class ReentrantIterSeq(Seq):
    """__len__ and __iter__ call back into the module before yielding."""

    def __len__(self):
        K.witt_mao_magnification([2.0], 1.0, 0.1)
        return len(self.items)

    def __iter__(self):
        for item in self.items:
            K.integrated_witt_mao_magnification([3.0], 1.0, 0.1)
            K.discrete_flux_map_heyrovsky_magnification(Seq([3.0]), Reentrant("value"), 0.1, [0.5], [1.0])
            yield item


class NotIterableSeq(Seq):
    __iter__ = None


class BadIterSeq(Seq):
    def __iter__(self):
        return 5


# --------------------------------------------------------------------------
# Model of the boundary
# --------------------------------------------------------------------------

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double
_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int
_sequence_size = ctypes.pythonapi.PySequence_Size
_sequence_size.argtypes = [ctypes.py_object]
_sequence_size.restype = ctypes.c_ssize_t


class Raises:
    """Expected outcome: exactly this exception type; for a wrapped TypeError
    also the message and the cause."""

    def __init__(self, exc_type, message=None, cause=None):
        self.exc_type, self.message, self.cause = exc_type, message, cause

    def __repr__(self):
        return f"Raises({self.exc_type.__name__}, {self.message!r})"


class Converted:
    def __init__(self, values):
        self.values = values


class MayRunOutOfMemory:
    """A reservation of an absurd size: MemoryError, or `otherwise` when granted."""

    def __init__(self, otherwise):
        self.otherwise = otherwise


def model_float(obj):
    """The interpreter's own float conversion of obj (raises what it raises)."""
    if type(obj) is float:
        return obj
    return _as_double(obj)


def model_list(obj):
    """The doubles of a sequence, item by item as iteration yields them, or raises."""
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _sequence_check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    return [model_float(item) for item in iter(obj)]


def reported_length(obj):
    """What the sequence says its length is; an Exception counts as 0 (it is only a
    hint), any other BaseException propagates."""
    if isinstance(obj, str) or not _sequence_check(obj):
        return 0
    try:
        return _sequence_size(obj)
    except Exception:
        return 0


def model_call(name, args, kwargs):
    """The expected outcome of fn(*args, **kwargs) up to the computation."""
    params = PARAMS[name]
    n = len(params)
    if len(args) > n:
        return Raises(TypeError)
    slots = list(args) + [None] * (n - len(args))
    filled = [True] * len(args) + [False] * (n - len(args))
    for key, value in kwargs.items():
        if key not in params:
            return Raises(TypeError)
        i = params.index(key)
        if filled[i]:
            return Raises(TypeError)
        slots[i], filled[i] = value, True
    if not all(filled):
        return Raises(TypeError)

    values = []
    huge = False
    for param, obj in zip(params, slots):
        try:
            if param in LIST_PARAMS and name not in FLOAT_FUNCTIONS:
                hint = reported_length(obj)
                if hint > MAX_VECTOR:
                    return Raises(MemoryError)
                huge = huge or hint >= HUGE_RESERVATION
                values.append(model_list(obj))
            else:
                values.append(model_float(obj))
        except BaseException as exc:  # noqa: B902 - every exception is an outcome
            if type(exc) is TypeError:
                outcome = Raises(TypeError, f"argument '{param}': {exc}", exc.__cause__)
            else:
                outcome = Raises(type(exc))
            return MayRunOutOfMemory(outcome) if huge else outcome
    return MayRunOutOfMemory(Converted(values)) if huge else Converted(values)


def outcome_of(call):
    try:
        return call(), None
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: B902
        return None, exc


def check_raised(expected, exc):
    assert exc is not None, f"expected {expected}, got a result"
    assert type(exc) is expected.exc_type, f"expected {expected}, got {type(exc).__name__}: {exc}"
    if expected.message is not None:
        assert exc.args == (expected.message,)
        if expected.cause is None:
            assert exc.__cause__ is None
        else:
            assert type(exc.__cause__) is type(expected.cause) and exc.__cause__.args == expected.cause.args


def check_computed(name, values, result, exc):
    """A call whose arguments converted to `values`: check the result or failure."""
    if name in TABLE_FUNCTIONS and len(values[3]) != len(values[4]):
        assert exc is not None and is_panic(exc), f"unequal tables gave {result!r} / {exc!r}"
        assert exc.args[0].startswith(ASSERTION_PREFIX)
        return "panic"
    if exc is not None:
        assert type(exc) is RuntimeError, f"{type(exc).__name__}: {exc}"
        assert len(exc.args) == 1 and exc.args[0] in KERNEL_MESSAGES and exc.__cause__ is None
        assert name not in NEVER_RUNTIME_ERROR
        assert name in FLOAT_FUNCTIONS or len(values[0]) > 0
        assert not (name == "discrete_flux_map_heyrovsky_magnification" and not values[3])
        return "kernel failure"
    if name in FLOAT_FUNCTIONS:
        assert type(result) is float
        return "float"
    assert type(result) is list and len(result) == len(values[0])
    assert all(type(x) is float for x in result)
    if name == "discrete_flux_map_heyrovsky_magnification" and not values[3]:
        # No rings sum to 0; input outside the physical domain is NaN.
        re, rstar = values[1], values[2]
        scale = math.isfinite(re) and math.isfinite(rstar) and ((re > 0 and rstar > 0) or (re < 0 and rstar < 0))
        for x, r in zip(values[0], result):
            if scale and math.isfinite(x) and x >= 0:
                assert r == 0.0
            else:
                assert math.isnan(r)
    return "list"


def same_outcome(first, second):
    (r1, e1), (r2, e2) = first, second
    if e1 is not None or e2 is not None:
        return type(e1) is type(e2) and getattr(e1, "args", None) == getattr(e2, "args", None)
    if isinstance(r1, float):
        return bits(r1) == bits(r2)
    return [bits(x) for x in r1] == [bits(x) for x in r2]


def plain(values):
    return [float(v) for v in values] if isinstance(values, list) else values


STATS = {"examples": 0, "calls": 0, "outcomes": {}}


def count(outcome, calls):
    STATS["examples"] += 1
    STATS["calls"] += calls
    STATS["outcomes"][outcome] = STATS["outcomes"].get(outcome, 0) + 1


# --------------------------------------------------------------------------
# Strategies
# --------------------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, math.inf, -math.inf, NAN, -NAN, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310,
                  -1e-310, 1e308, -1e308, sys.float_info.max, 1.0, -1.0, 0.5, 2.0, 3.0, 0.1, 1.0000000000000002,
                  0.9999999999999999, 1e-300, 1e300]
HUGE_INTS = [2**53 + 1, 10**308, 10**309, -10**400, 2**1024, sys.maxsize, -sys.maxsize - 1, 2**64]

physical = st.floats(min_value=0.01, max_value=5.0)
floats = st.one_of(physical, st.sampled_from(SPECIAL_FLOATS), st.floats())
ints = st.one_of(st.integers(-5, 5), st.sampled_from(HUGE_INTS), st.integers())
exception_kinds = st.sampled_from(EXCEPTION_KINDS)

hostile_scalars = st.one_of(
    st.builds(HasFloat, st.one_of(floats, st.sampled_from(["1.5", 1, None, FloatSub(2.0), 10**400]))),
    st.builds(HasIndex, st.one_of(ints, st.sampled_from([1.5, "x", True, None]))),
    st.builds(FloatRaises, exception_kinds),
    st.builds(IndexRaises, exception_kinds),
    st.builds(Reentrant, st.sampled_from(["value", "integrated", "catches", "inner TypeError",
                                          "inner RuntimeError", "inner PanicException"])),
    floats.map(FloatSub),
    floats.map(np.float64),
    physical.map(np.float32),
    st.integers(-2**63, 2**63 - 1).map(np.int64),
    st.sampled_from([None, 1j, decimal.Decimal("1.5"), decimal.Decimal("nan"), fractions.Fraction(1, 3),
                     object(), "1.0", b"1", ...]),
)
scalars = st.one_of(floats, ints, st.booleans(), hostile_scalars)
# Items of containers: mostly numbers, sometimes anything else.
items = st.one_of(physical, floats, ints, st.booleans(), hostile_scalars, st.just([1.0]), st.just("x"))
item_lists = st.lists(items, max_size=5)
float_lists = st.lists(st.one_of(physical, floats), max_size=6)

length_lies = st.sampled_from([None, None, 0, 1000, ABSURD_LENGTH, sys.maxsize, -1, 2**64, "x", "raises TypeError",
                               "raises ValueError", "raises MyBaseException"])


def numpy_arrays_build(values, kind):
    with np.errstate(all="ignore"):
        return _numpy_array(values, kind)


def _numpy_array(values, kind):
    base = np.array(values, dtype=np.float64)
    if kind == "float64":
        return base
    if kind == "strided":
        return np.repeat(base, 2)[::2]
    if kind == "reversed":
        return base[::-1]
    if kind == "float32":
        return base.astype(np.float32)
    if kind == "big-endian":
        return base.astype(">f8")
    if kind == "int64":
        return np.nan_to_num(base, nan=0.0, posinf=1.0, neginf=-1.0).clip(-1e9, 1e9).astype(np.int64)
    if kind == "bool":
        return base > 1.0
    if kind == "complex":
        return base.astype(np.complex128)
    if kind == "2-D":
        return np.stack([base, base]) if len(base) else np.zeros((0, 2))
    if kind == "0-D":
        return np.array(values[0] if values else 1.0)
    if kind == "column":
        return base.reshape(-1, 1)
    if kind == "broadcast":  # stride 0
        return np.broadcast_to(base[:1], (len(base),)) if len(base) else base
    if kind == "unaligned":
        return np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1)
    raise AssertionError(kind)


def numpy_arrays():
    kinds = st.sampled_from(["float64", "float64", "strided", "reversed", "broadcast", "unaligned", "float32",
                             "big-endian", "int64", "bool", "complex", "2-D", "0-D", "column"])
    return st.tuples(float_lists, kinds).map(lambda args: numpy_arrays_build(*args))


containers = st.one_of(
    item_lists,
    item_lists.map(tuple),
    st.builds(range, st.integers(-3, 5), st.integers(-3, 8), st.sampled_from([1, 2, -1])),
    float_lists.map(lambda xs: (x for x in xs)),
    float_lists.map(iter),
    st.sets(physical, max_size=3),
    st.frozensets(physical, max_size=3),
    st.dictionaries(physical, physical, max_size=3),
    st.text(max_size=4),
    st.binary(max_size=5),
    st.binary(max_size=5).map(bytearray),
    st.binary(max_size=5).map(memoryview),
    numpy_arrays(),
    float_lists.map(lambda xs: array.array("d", xs)),
    float_lists.map(lambda xs: array.array("f", xs)),
    st.lists(st.integers(-100, 100), max_size=5).map(lambda xs: array.array("q", xs)),
    st.builds(Seq, item_lists, length_lies, st.one_of(st.none(), st.integers(0, 4)), exception_kinds),
    st.builds(IterSeq, item_lists, length_lies, st.one_of(st.none(), st.integers(0, 4)), exception_kinds),
    st.builds(ReentrantIterSeq, st.lists(physical, max_size=3)),
    st.builds(NotIterableSeq, float_lists),
    st.builds(BadIterSeq, float_lists),
)

anything = st.one_of(scalars, containers)
# Well-formed values of each kind, so that calls reach the computation as well
# as every conversion failure.
good_list = st.one_of(
    st.lists(physical, max_size=4),
    float_lists,
    float_lists.map(tuple),
    st.tuples(float_lists, st.sampled_from(["float64", "strided", "reversed", "broadcast", "unaligned", "float32",
                                            "int64"])).map(
        lambda args: numpy_arrays_build(*args)),
    st.builds(Seq, st.lists(physical, max_size=4), st.sampled_from([None, 0, 1000, "raises ValueError"])),
)
good_float = st.one_of(physical, floats, st.integers(-3, 5), st.booleans(), physical.map(np.float64),
                       physical.map(HasFloat), st.integers(0, 5).map(HasIndex), physical.map(FloatSub))
BOGUS_KEYWORDS = ["x", "L", "r ", "rstar_", "ł", "\udc80", "re\x00"]


def draw_value(draw, is_list):
    k = draw(st.integers(0, 19))
    if k == 0:
        return draw(anything)
    if k <= 2:
        return draw(containers if is_list else scalars)
    return draw(good_list if is_list else good_float)


@st.composite
def calls(draw):
    name = draw(st.sampled_from(NAMES))
    params = PARAMS[name]
    values = [draw_value(draw, param in LIST_PARAMS and name not in FLOAT_FUNCTIONS) for param in params]
    n_positional = draw(st.integers(0, len(params)))
    args = values[:n_positional]
    keyword_params = [p for i, p in enumerate(params) if i >= n_positional and draw(st.integers(0, 29)) > 0]
    keyword_params = draw(st.permutations(keyword_params))
    kwargs = {p: values[params.index(p)] for p in keyword_params}
    extra = draw(st.integers(0, 39))
    if extra == 0:
        args.append(draw(anything))
    elif extra == 1:
        kwargs[draw(st.sampled_from(BOGUS_KEYWORDS))] = draw(anything)
    elif extra == 2 and n_positional:
        kwargs[params[draw(st.integers(0, n_positional - 1))]] = draw(anything)
    return name, tuple(args), kwargs


FUZZ_EXAMPLES = int(os.environ.get("KALVORIN_FUZZ_EXAMPLES", "300"))
settings.register_profile(
    "kalvorin-boundary",
    max_examples=FUZZ_EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    print_blob=True,
)
BOUNDARY_PROFILE = settings.get_profile("kalvorin-boundary")


@pytest.fixture(scope="module", autouse=True)
def report_counts():
    yield
    path = os.environ.get("KALVORIN_FUZZ_REPORT")
    if path:
        with open(path, "w") as out:
            json.dump(STATS, out, indent=1, sort_keys=True)


@BOUNDARY_PROFILE
@given(call=calls())
def test_every_call_returns_or_raises_the_documented_exception(call):
    name, args, kwargs = call
    fn = getattr(K, name)
    expected = model_call(name, args, kwargs)
    result, exc = outcome_of(lambda: fn(*args, **kwargs))
    assert not isinstance(exc, SystemError), exc
    if isinstance(expected, MayRunOutOfMemory):
        if type(exc) is MemoryError:
            count("MemoryError (absurd length)", 1)
            return
        expected = expected.otherwise
    if isinstance(expected, Raises):
        check_raised(expected, exc)
        count(expected.exc_type.__name__, 1)
        return

    values = expected.values
    outcome = check_computed(name, values, result, exc)
    # The same call with plain floats and lists of floats gives the same bits:
    # every conversion (buffers included) produced exactly the model's doubles.
    plain_args = [plain(v) for v in values]
    assert same_outcome((result, exc), outcome_of(lambda: fn(*plain_args)))
    count(outcome, 2)


# --------------------------------------------------------------------------
# Leaks: many calls over all functions and all failure paths
# --------------------------------------------------------------------------

# Long lists make a leaked native buffer visible in the resident set size.
LONG = [0.5 + i / 1000.0 for i in range(1000)]
MEDIUM = LONG[:400]
TABLE = [0.0, 0.5, 1.0]


def leak_cases():
    with_cause = TypeError("bad item")
    with_cause.__cause__ = KeyError("cause")
    return [
        # successes, every function and several conversion paths
        ("witt_mao", lambda: K.witt_mao_magnification(MEDIUM, 1.0, 0.1)),
        ("witt_mao numpy", lambda: K.witt_mao_magnification(np.array(MEDIUM), 1.0, 0.1)),
        ("witt_mao strided numpy", lambda: K.witt_mao_magnification(np.array(LONG)[::3], 1.0, 0.1)),
        ("witt_mao float32", lambda: K.witt_mao_magnification(np.array(LONG[:50], dtype=np.float32), 1.0, 0.1)),
        ("witt_mao tuple range bytes", lambda: K.witt_mao_magnification(tuple(range(1, 40)), b"\x01", True)),
        ("witt_mao lying length", lambda: K.witt_mao_magnification(Seq(LONG[:20], length=1000), 1.0, 0.1)),
        ("witt_mao length raises", lambda: K.witt_mao_magnification(
            Seq(LONG[:20], length="raises ValueError"), HasFloat(1.0), HasIndex(1))),
        ("integrated_witt_mao", lambda: K.integrated_witt_mao_magnification([3.0], 1.0, 0.1)),
        ("integrated_flux_map_witt_mao", lambda: K.integrated_flux_map_witt_mao_magnification(
            [3.0], 1.0, 0.1, TABLE, [1.0, 0.8, 0.2])),
        ("heyrovsky", lambda: K.heyrovsky_magnification(3.0, HasFloat(1.0), 1.0, 0.1)),
        ("integrated_heyrovsky", lambda: K.integrated_heyrovsky_magnification([3.0], 1.0, 0.1)),
        ("integrated_flux_map_heyrovsky", lambda: K.integrated_flux_map_heyrovsky_magnification(
            [3.0], 1.0, 0.1, TABLE, [1.0, 0.8, 0.2])),
        ("discrete_flux_map", lambda: K.discrete_flux_map_heyrovsky_magnification(MEDIUM, 1.0, 0.1,
                                                                                   [0.5], [1.0])),
        ("reentrant", lambda: K.witt_mao_magnification(LONG[:10], Reentrant("catches"), 0.1)),
        # parse errors
        ("too many positional", lambda: K.witt_mao_magnification(LONG, 1.0, 0.1, 2.0)),
        ("unknown keyword", lambda: K.witt_mao_magnification(LONG, 1.0, rstar=0.1, x=1)),
        ("multiple values", lambda: K.witt_mao_magnification(LONG, 1.0, 0.1, l=LONG)),
        ("missing", lambda: K.integrated_flux_map_heyrovsky_magnification(LONG, 1.0, 0.1)),
        # conversion failures, after long lists were converted
        ("str for a list", lambda: K.witt_mao_magnification("3.0", 1.0, 0.1)),
        ("not a sequence", lambda: K.discrete_flux_map_heyrovsky_magnification(LONG, 1.0, 0.1, LONG, {1.0})),
        ("bad item, wrapped with cause", lambda: K.witt_mao_magnification(
            LONG + [FloatRaises("TypeError from KeyError")], 1.0, 0.1)),
        ("bad item ValueError", lambda: K.witt_mao_magnification(LONG + [FloatRaises("ValueError")], 1.0, 0.1)),
        ("__float__ wrong type", lambda: K.witt_mao_magnification(LONG, HasFloat("1.0"), 0.1)),
        ("iterator raises midway", lambda: K.witt_mao_magnification(
            IterSeq(LONG, fail_at=900, kind="RuntimeError"), 1.0, 0.1)),
        ("getitem raises midway", lambda: K.witt_mao_magnification(
            Seq(LONG, fail_at=900, kind="TypeError"), 1.0, 0.1)),
        ("huge int", lambda: K.witt_mao_magnification(LONG + [10**400], 1.0, 0.1)),
        ("bad rstar after l", lambda: K.witt_mao_magnification(LONG, 1.0, "x")),
        ("bad bf after l and bl", lambda: K.discrete_flux_map_heyrovsky_magnification(LONG, 1.0, 0.1, LONG,
                                                                                       LONG + ["x"])),
        ("length sys.maxsize", lambda: K.witt_mao_magnification(Seq(LONG, length=sys.maxsize), 1.0, 0.1)),
        ("absurd length", lambda: K.discrete_flux_map_heyrovsky_magnification(
            LONG, 1.0, 0.1, Seq([0.5], length=ABSURD_LENGTH), [1.0])),
        # failures of the computation
        ("kernel failure", lambda: K.witt_mao_magnification(MEDIUM + [NAN], 1.0, 0.1)),
        ("kernel failure, float", lambda: K.heyrovsky_magnification(NAN, 0.5, 1.0, 0.1)),
        ("kernel failure, integrated", lambda: K.integrated_witt_mao_magnification([3.0, NAN], 1.0, 0.1)),
        ("panic", lambda: K.discrete_flux_map_heyrovsky_magnification(LONG, 1.0, 0.1, LONG, LONG[:-1])),
        ("panic, integrated", lambda: K.integrated_flux_map_heyrovsky_magnification(LONG, 1.0, 0.1, LONG,
                                                                                     LONG[:-1])),
    ]


def resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return None


class _MallInfo2(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_bytes_in_use():
    """Bytes handed out by the C allocator (glibc's mallinfo2), where the
    module's native buffers live; None where it is not available."""
    if UNDER_ASAN:
        return None
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def run_cases(cases, rounds):
    made = 0
    for _ in range(rounds):
        for _, call in cases:
            try:
                call()
            except BaseException:  # noqa: B902 - every failure path is part of the loop
                pass
            made += 1
    return made


def fill_caches():
    """Fills the interpreter's free lists (tuples of every small size, floats,
    dicts, lists) and its type attribute cache, which keeps a reference to
    each attribute name looked up (a name built at run time is a new string
    every time, as in the failure path that reads a type's __qualname__).
    Otherwise they keep growing slowly towards their caps, which looks like a
    leak in the allocated-block count."""
    junk = [tuple([i] * k) for k in range(1, 21) for i in range(2100)]
    junk += [float(i) + 0.5 for i in range(200)]
    junk += [{i: i} for i in range(100)] + [[i] for i in range(100)]
    del junk
    # The cache slot depends on the address of the name: keep the names alive
    # together so that they spread over all slots.
    names = ["".join(("__qual", "name__")) for _ in range(3 * 4096)]
    for name in names:
        getattr(int, name)
    del names


def memory_state():
    gc.collect()
    return {"allocated blocks": sys.getallocatedblocks(),
            "total refcount": sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0,
            "traced bytes": tracemalloc.get_traced_memory()[0],
            "malloc bytes": malloc_bytes_in_use() or 0,
            "resident bytes": resident_bytes() or 0}


def test_many_calls_leave_references_and_memory_flat(capfd):
    cases = leak_cases()
    total = int(os.environ.get("KALVORIN_LEAK_CALLS", "20000"))
    per_window = max(total // len(cases) // 2, 100)  # calls of each case in each of two windows
    started_tracing = not tracemalloc.is_tracing()
    if started_tracing:
        tracemalloc.start()
    try:
        # warm-up: lazily created classes, interned names, caches
        made = run_cases(cases, max(per_window // 10, 3))
        states = []
        for _ in range(2):
            fill_caches()
            states.append(memory_state())
            made += run_cases(cases, per_window)
            states.append(memory_state())
    finally:
        if started_tracing:
            tracemalloc.stop()
    capfd.readouterr()  # the assertion reports of the panic cases

    # A leak recurs with every call, so it shows in both windows; one-off
    # growth (caches, allocator pools) does not. Take the smaller growth.
    growth = {key: min(states[1][key] - states[0][key], states[3][key] - states[2][key]) for key in states[0]}
    STATS["leak test"] = {"calls": made, "cases": len(cases), "calls per case and window": per_window,
                          "before": states[0], "after": states[3], "growth per window": growth}
    # One leaked object or reference per call of a single case would add
    # per_window blocks / references and at least 32 bytes each.
    assert growth["allocated blocks"] < per_window // 4, STATS["leak test"]
    assert growth["total refcount"] < per_window // 4, STATS["leak test"]
    assert growth["traced bytes"] < per_window * 8, STATS["leak test"]
    # Native memory: the smallest list converted above holds 400 doubles, so
    # leaking one native buffer per call of one case adds per_window·3.2 kB to
    # the C allocator's bytes in use, and over both windows to the resident
    # set (less what fits into memory freed before). Under AddressSanitizer
    # freed memory sits in quarantine: LeakSanitizer covers that build.
    if malloc_bytes_in_use() is not None:
        assert growth["malloc bytes"] < per_window * 1024, STATS["leak test"]
    if not UNDER_ASAN and resident_bytes() is not None:
        rss_growth = states[3]["resident bytes"] - states[0]["resident bytes"]
        assert rss_growth < max(per_window * 2 * 4096, 8 << 20), STATS["leak test"]


# --------------------------------------------------------------------------
# Memory exhaustion
# --------------------------------------------------------------------------

LIST_SLOTS = [(name, i) for name in NAMES if name not in FLOAT_FUNCTIONS
              for i, p in enumerate(PARAMS[name]) if p in LIST_PARAMS]
VALID = {
    3: ([3.0, 2.0], 1.0, 0.1),
    5: ([3.0, 2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
}


def args_with(name, position, obj):
    args = list(VALID[len(PARAMS[name])])
    args[position] = obj
    return args


@pytest.mark.parametrize("name, position", LIST_SLOTS)
def test_a_length_beyond_any_reservation_is_memory_error(name, position):
    fn = getattr(K, name)
    good = args_with(name, position, [3.0, 2.0] if position == 0 else [0.0, 1.0])
    before = fn(*good)
    lying = args_with(name, position, Seq(good[position], length=sys.maxsize))
    _, exc = outcome_of(lambda: fn(*lying))
    assert type(exc) is MemoryError
    # the interpreter and the module are still usable
    assert fn(*good) == before
    assert len(bytearray(10**7)) == 10**7


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer aborts on a failed operator new")
@pytest.mark.parametrize("name, position", LIST_SLOTS)
@pytest.mark.parametrize("length", [2**40, 10**12, 2**59])
def test_an_absurd_length_is_memory_error_or_ignored(name, position, length):
    fn = getattr(K, name)
    good = args_with(name, position, [3.0, 2.0] if position == 0 else [0.0, 1.0])
    before = fn(*good)
    lying = args_with(name, position, Seq(good[position], length=length))
    result, exc = outcome_of(lambda: fn(*lying))
    if exc is not None:
        assert type(exc) is MemoryError
    else:
        # the reservation was granted: the length was only a hint
        assert result == before
    assert fn(*good) == before


ALLOCATION_FAILURE_SCRIPT = textwrap.dedent("""
    import json, os, resource, sys
    import kalvorin as K

    PAGE = os.sysconf("SC_PAGE_SIZE")

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * PAGE

    # 16 MB for each buffer of doubles (converted list, result buffer, result
    # list) and 48 MB for the result's float objects. Without rings the
    # computation itself costs nothing.
    N = 2_000_000
    l = [0.5] * N
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = {}
    # The first sweep lets the C allocator settle its thresholds; the second
    # one must not grow the address space.
    for sweep in range(2):
        start = address_space()
        for headroom_mb in (4, 24, 40, 56, 90, 160):
            for _ in range(3):
                resource.setrlimit(resource.RLIMIT_AS, (address_space() + (headroom_mb << 20), hard))
                try:
                    result = K.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, [], [])
                    outcome = "ok" if len(result) == N and result[-1] == 0.0 else "wrong result"
                    del result
                except BaseException as exc:
                    outcome = type(exc).__name__ + ": " + str(exc)
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                outcomes.setdefault(str(headroom_mb), []).append(outcome)
        growth = address_space() - start
    usable = (K.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, [], []) == [0.0] * N
              and K.witt_mao_magnification(l[:3], 1.0, 0.1) == K.witt_mao_magnification([0.5] * 3, 1.0, 0.1))
    print(json.dumps({"outcomes": outcomes, "growth": growth, "usable": usable}))
""")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_allocation_failures_raise_and_leak_nothing():
    env = dict(os.environ)
    location = os.path.dirname(os.path.abspath(K.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [location, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE_SCRIPT], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    report = json.loads(proc.stdout)
    allowed = {"ok", "MemoryError: ", "PanicException: Python API call failed"}
    for headroom, outcomes in report["outcomes"].items():
        assert set(outcomes) <= allowed, (headroom, outcomes)
    # 4 MB cannot hold the 16 MB converted list
    assert report["outcomes"]["4"] == ["MemoryError: "] * 6
    # 18 failed or successful calls with 16 MB buffers each: nothing kept
    assert report["growth"] < 48 << 20, report
    assert report["usable"] is True
    STATS["allocation failures"] = report


# --------------------------------------------------------------------------
# Re-entrancy
# --------------------------------------------------------------------------

def test_float_conversion_calling_back_into_the_module():
    inner = K.witt_mao_magnification([3.0, 2.0], 1.0, 0.1)[1] - K.heyrovsky_magnification(3.0, 1.0, 1.0, 0.1)
    integrated = K.integrated_heyrovsky_magnification([3.0], 1.0, 0.1)[0]
    l = [3.0, 0.05, 1.5]
    assert K.witt_mao_magnification(l, Reentrant("value"), 0.1) == K.witt_mao_magnification(l, inner, 0.1)
    assert K.integrated_witt_mao_magnification([Reentrant("integrated")], 1.0, 0.1) == \
        K.integrated_witt_mao_magnification([integrated], 1.0, 0.1)
    assert K.heyrovsky_magnification(Reentrant("catches"), 0.5, 1.0, 0.1) == \
        K.heyrovsky_magnification(0.25, 0.5, 1.0, 0.1)


def test_failures_inside_a_nested_call():
    # A TypeError of the inner call is wrapped again with the outer parameter.
    _, exc = outcome_of(lambda: K.witt_mao_magnification([3.0], Reentrant("inner TypeError"), 0.1))
    assert type(exc) is TypeError
    assert exc.args[0].startswith("argument 're': argument 'l': ")
    # Other exceptions of the inner call pass through unchanged.
    _, exc = outcome_of(lambda: K.witt_mao_magnification([3.0], Reentrant("inner RuntimeError"), 0.1))
    assert type(exc) is RuntimeError and exc.args == ("elliprj: Fail to converge",)
    _, exc = outcome_of(lambda: K.witt_mao_magnification([Reentrant("inner PanicException")], 1.0, 0.1))
    assert is_panic(exc) and exc.args[0].startswith(ASSERTION_PREFIX)
    # and the module works afterwards
    assert K.witt_mao_magnification([3.0], 1.0, 0.1) == K.witt_mao_magnification((3.0,), 1.0, 0.1)


def test_len_and_iter_calling_back_into_the_module():
    l = [3.0, 0.5, 2.0]
    for name in NAMES:
        if name in FLOAT_FUNCTIONS:
            continue
        plain_args = list(VALID[len(PARAMS[name])])
        plain_args[0] = l
        nested = list(plain_args)
        nested[0] = ReentrantIterSeq(l)
        if len(nested) == 5:
            nested[3] = ReentrantIterSeq(plain_args[3])
        fn = getattr(K, name)
        assert fn(*nested) == fn(*plain_args), name


class Recursive:
    """Every conversion of it converts it again, through the module."""

    def __float__(self):
        return K.witt_mao_magnification([1.0], self, 0.1)[0]

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        return K.integrated_heyrovsky_magnification(self, 1.0, 0.1)[0]


@pytest.mark.parametrize("call", [
    lambda: K.witt_mao_magnification([1.0], Recursive(), 0.1),
    lambda: K.heyrovsky_magnification(Recursive(), 1.0, 1.0, 0.1),
    lambda: K.integrated_heyrovsky_magnification(Recursive(), 1.0, 0.1),
], ids=["__float__", "float argument", "__getitem__"])
def test_unbounded_recursion_through_the_module_is_recursion_error(call):
    _, exc = outcome_of(call)
    assert type(exc) is RecursionError
    assert K.witt_mao_magnification([3.0], 1.0, 0.1) == K.witt_mao_magnification((3.0,), 1.0, 0.1)


class Mutator:
    """Converts to `value` after applying `change` to the list being converted."""

    def __init__(self, target, change, value):
        self.target, self.change, self.value = target, change, value

    def __float__(self):
        self.change(self.target)
        return self.value


@pytest.mark.parametrize("change, converted", [
    (lambda l: l.clear(), [3.0, 0.5]),  # drops the list's reference to the item being converted
    (lambda l: l.pop(), [3.0, 0.5, 2.0]),
    (lambda l: l.__setitem__(slice(None), [7.0, 8.0, 9.0, 1.5, 2.5]), [3.0, 0.5, 9.0, 1.5, 2.5]),
    (lambda l: l.append(4.0), [3.0, 0.5, 2.0, 1.0, 4.0]),
], ids=["cleared", "shortened", "replaced", "grown"])
def test_list_changed_by_the_conversion_of_its_own_item(change, converted):
    # Conversion follows the list as iteration sees it, item by item.
    l = [3.0]
    l += [Mutator(l, change, 0.5), 2.0, 1.0]
    assert K.witt_mao_magnification(l, 1.0, 0.1) == K.witt_mao_magnification(converted, 1.0, 0.1)


# --------------------------------------------------------------------------
# Threads
# --------------------------------------------------------------------------

THREAD_CALLS = [
    ("witt_mao_magnification", ([0.1 * i for i in range(1, 400)], 1.0, 0.1)),
    ("integrated_witt_mao_magnification", ([0.2, 0.9, 1.0, 1.1, 3.0], 1.0, 0.1)),
    ("integrated_flux_map_witt_mao_magnification", ([0.3, 1.2, 3.0], 1.0, 0.1, TABLE, [1.0, 0.8, 0.2])),
    ("heyrovsky_magnification", (0.5, 0.7, 1.0, 0.1)),
    ("integrated_heyrovsky_magnification", ([0.2, 0.9, 1.0, 1.1, 3.0], 0.5, 0.2)),
    ("integrated_flux_map_heyrovsky_magnification", ([0.3, 1.2, 3.0], 1.0, 0.1, TABLE, [1.0, 0.8, 0.2])),
    ("discrete_flux_map_heyrovsky_magnification", ([0.1 * i for i in range(1, 50)], 1.0, 0.1,
                                                   [0.1, 0.5, 0.9], [1.0, 0.5, 0.25])),
    ("witt_mao_magnification", ([3.0, NAN], 1.0, 0.1)),
    ("discrete_flux_map_heyrovsky_magnification", ([3.0], 1.0, 0.1, [0.5, 0.6], [1.0])),
    ("witt_mao_magnification", ([3.0, Reentrant("value")], 1.0, 0.1)),
    ("witt_mao_magnification", ([3.0], "x", 0.1)),
]


def fingerprint(name, args):
    result, exc = outcome_of(lambda: getattr(K, name)(*args))
    if exc is not None:
        return (type(exc).__name__, exc.args)
    return tuple(bits(x) for x in result) if isinstance(result, list) else bits(result)


def test_concurrent_calls_give_identical_results(capfd):
    expected = [fingerprint(name, args) for name, args in THREAD_CALLS]
    n_threads, rounds = 4, 20
    barrier = threading.Barrier(n_threads)
    got = [[] for _ in range(n_threads)]
    errors = []

    def work(k):
        try:
            barrier.wait()
            for r in range(rounds):
                order = THREAD_CALLS[k + r:] + THREAD_CALLS[:k + r]  # different interleavings
                done = {id(c): fingerprint(*c) for c in order}
                got[k].append([done[id(c)] for c in THREAD_CALLS])
        except BaseException as exc:  # noqa: B902
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=600)
    finally:
        sys.setswitchinterval(interval)
    capfd.readouterr()
    assert not errors
    for k in range(n_threads):
        assert len(got[k]) == rounds
        for r in range(rounds):
            assert got[k][r] == expected


def test_other_threads_run_during_a_long_computation():
    table = ([0.0, 0.25, 0.5, 0.75, 1.0], [1.0, 0.9, 0.7, 0.4, 0.1])
    probe = [0.1 + 0.8 * i / 19 for i in range(20)]
    t = time.perf_counter()
    K.integrated_flux_map_heyrovsky_magnification(probe, 1.0, 0.1, *table)
    per_separation = (time.perf_counter() - t) / len(probe)
    n = max(20, math.ceil(0.5 / per_separation))  # about half a second
    args = ([0.1 + 0.8 * i / (n - 1) for i in range(n)], 1.0, 0.1, *table)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.01)
        t0 = time.perf_counter()
        K.integrated_flux_map_heyrovsky_magnification(*args)
        t1 = time.perf_counter()
    finally:
        stop.set()
        t.join()
    margin = 0.05
    assert t1 - t0 > 4 * margin, "the computation is too short to tell"
    # With the GIL held for the whole call the ticker could not run at all
    # between the first and the last switch interval of the call.
    during = [x for x in ticks if t0 + margin < x < t1 - margin]
    assert len(during) >= 3, (t1 - t0, len(ticks))
