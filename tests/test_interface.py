"""The Python boundary of the extension: module contents, argument parsing and
conversion, error messages, result objects, exceptions and initialisation."""

import array
import ctypes
import decimal
import fractions
import inspect
import json
import math
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

import kalvorin as K

NAN = float("nan")

SIGNATURES = [
    ("witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_witt_mao_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("heyrovsky_magnification", ("l", "r", "re", "rstar")),
    ("integrated_heyrovsky_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("discrete_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
]
NAMES = [name for name, _ in SIGNATURES]
LIST_FUNCTIONS = [name for name in NAMES if name != "heyrovsky_magnification"]
TABLE_FUNCTIONS = [name for name, params in SIGNATURES if "bl" in params]

# Valid arguments for every function: physical separations, a thin uniform
# flux map and one ring.
VALID = {
    "witt_mao_magnification": ([3.0, 2.0], 1.0, 0.1),
    "integrated_witt_mao_magnification": ([3.0, 2.0], 1.0, 0.1),
    "integrated_flux_map_witt_mao_magnification": ([3.0, 2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
    "heyrovsky_magnification": (3.0, 1.0, 1.0, 0.1),
    "integrated_heyrovsky_magnification": ([3.0, 2.0], 1.0, 0.1),
    "integrated_flux_map_heyrovsky_magnification": ([3.0, 2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
    "discrete_flux_map_heyrovsky_magnification": ([3.0, 2.0], 1.0, 0.1, [0.5], [1.0]),
}

# Reference values, to the digits shown: the uniform disk at u = 0.3 and u = 0.05 Einstein radii
# (rho = 0.1), and the ring r = 1 around a lens at l = 3 (epsilon = 10).
WM_3 = 3.494583351
WM_05 = 18.71389090
HEY_3 = 3.5465565


def fn(name):
    return getattr(K, name)


# PyFloat_AsDouble called directly: the interpreter's own verdict on a number.
_py_as_double = ctypes.pythonapi.PyFloat_AsDouble
_py_as_double.argtypes = [ctypes.py_object]
_py_as_double.restype = ctypes.c_double


def interpreter_float_error(obj):
    """The interpreter's TypeError message for obj taken as a float."""
    try:
        _py_as_double(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} converts to a float")


def raised(call):
    """Run call() and return the BaseException it raises."""
    try:
        call()
    except BaseException as exc:  # noqa: B902 - PanicException included
        return exc
    pytest.fail("no exception raised")


# --------------------------------------------------------------------------
# Helper objects
# --------------------------------------------------------------------------


class FloatSub(float):
    def __float__(self):  # never consulted: the stored value is read
        raise AssertionError("__float__ of a float subclass was called")


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    """__float__ raises the stored exception (kept for identity checks)."""

    def __init__(self, exc, cause=None):
        self.exc = exc
        self.cause = cause

    def __float__(self):
        if self.cause is None:
            raise self.exc
        raise self.exc from self.cause


class MyTypeError(TypeError):
    pass


class MyStr(str):
    pass


class MyDict(dict):
    pass


class Outer:
    class NotASequence:
        pass


class OnlyIter:
    def __iter__(self):
        return iter([3.0])


class Seq:
    """Sequence over items via __getitem__; __len__ reports `length` (or
    raises it when it is an exception); item `fail_at` raises `exc`."""

    def __init__(self, items, length=None, fail_at=None, exc=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.fail_at = fail_at
        self.exc = exc

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc
        return self.items[i]


class NotIterableSeq(Seq):
    __iter__ = None


class IterRaisesSeq(Seq):
    def __iter__(self):
        raise self.exc


# --------------------------------------------------------------------------
# The module
# --------------------------------------------------------------------------


def test_all_lists_the_functions_in_table_order():
    assert type(K.__all__) is list
    assert K.__all__ == NAMES


def test_public_names_are_exactly_the_functions():
    assert sorted(n for n in vars(K) if not n.startswith("_")) == sorted(NAMES)


def test_module_name_and_docstring():
    assert K.__name__ == "kalvorin"
    assert isinstance(K.__doc__, str) and K.__doc__.strip()


@pytest.mark.parametrize("name, params", SIGNATURES)
def test_function_metadata(name, params):
    f = fn(name)
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == name and f.__qualname__ == name
    assert f.__module__ == "kalvorin"
    assert f.__self__ is K
    assert f.__text_signature__ == "(" + ", ".join(params) + ")"
    assert f.__doc__ is None
    sig = inspect.signature(f)
    assert tuple(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert pickle.loads(pickle.dumps(f)) is f


# --------------------------------------------------------------------------
# Parsing
# --------------------------------------------------------------------------

W = "witt_mao_magnification()"
H = "heyrovsky_magnification()"
IW = "integrated_witt_mao_magnification()"
FW = "integrated_flux_map_witt_mao_magnification()"
FH = "integrated_flux_map_heyrovsky_magnification()"
D = "discrete_flux_map_heyrovsky_magnification()"

PARSE_ERRORS = [
    # too many positional arguments (n >= 3, so the count given is never 1)
    ("witt_mao_magnification", ([1.0], 1.0, 0.1, 2.0), {},
     W + " takes 3 positional arguments but 4 were given"),
    ("integrated_witt_mao_magnification", ([1.0], 1.0, 0.1, 2.0, 3.0), {},
     IW + " takes 3 positional arguments but 5 were given"),
    ("heyrovsky_magnification", (1.0,) * 5, {},
     H + " takes 4 positional arguments but 5 were given"),
    ("discrete_flux_map_heyrovsky_magnification", (1.0,) * 10, {},
     D + " takes 5 positional arguments but 10 were given"),
    # checked before any keyword and before any conversion
    ("witt_mao_magnification", ("x", 1.0, 0.1, 2.0), {"x": 1, "l": 2},
     W + " takes 3 positional arguments but 4 were given"),
    # keyword naming no parameter
    ("witt_mao_magnification", ([1.0], 1.0), {"rstar": 0.1, "x": 1},
     W + " got an unexpected keyword argument 'x'"),
    ("heyrovsky_magnification", (), {"L": 1.0},
     H + " got an unexpected keyword argument 'L'"),
    ("heyrovsky_magnification", (1.0, 0.5, 1.0, 0.1), {"rs": 1.0},
     H + " got an unexpected keyword argument 'rs'"),
    ("integrated_flux_map_witt_mao_magnification", ([1.0], 1.0, 0.1, [], []), {"r": 1.0},
     FW + " got an unexpected keyword argument 'r'"),
    ("discrete_flux_map_heyrovsky_magnification", (), {"l\u00e9": 1.0},
     D + " got an unexpected keyword argument 'l\u00e9'"),
    # a keyword name without UTF-8 text matches no parameter
    ("witt_mao_magnification", ([1.0], 1.0, 0.1), {"\udcff": 1},
     W + " got an unexpected keyword argument '\udcff'"),
    # unexpected keyword reported before the missing arguments
    ("witt_mao_magnification", (), {"x": 1},
     W + " got an unexpected keyword argument 'x'"),
    # parameter given twice
    ("witt_mao_magnification", ([1.0], 1.0, 0.1), {"l": [2.0]},
     W + " got multiple values for argument 'l'"),
    ("heyrovsky_magnification", (1.0, 0.5), {"re": 1.0, "r": 0.5},
     H + " got multiple values for argument 'r'"),
    ("integrated_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, [0.5]), {"bl": [0.5]},
     FH + " got multiple values for argument 'bl'"),
    # keywords are examined in order: the first error wins
    ("witt_mao_magnification", ([1.0],), {"x": 1, "l": 2},
     W + " got an unexpected keyword argument 'x'"),
    ("witt_mao_magnification", ([1.0],), {"l": 2, "x": 1},
     W + " got multiple values for argument 'l'"),
    # missing arguments: 1, 2, 3, 4, 5 names
    ("witt_mao_magnification", ([1.0],), {"rstar": 0.1},
     W + " missing 1 required positional argument: 're'"),
    ("witt_mao_magnification", ([1.0], 1.0), {},
     W + " missing 1 required positional argument: 'rstar'"),
    ("heyrovsky_magnification", (1.0, 0.5), {},
     H + " missing 2 required positional arguments: 're' and 'rstar'"),
    ("heyrovsky_magnification", (1.0,), {"re": 1.0},
     H + " missing 2 required positional arguments: 'r' and 'rstar'"),
    ("integrated_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1), {},
     FH + " missing 2 required positional arguments: 'bl' and 'bf'"),
    ("integrated_flux_map_witt_mao_magnification", (), {"l": [1.0], "rstar": 0.1, "bf": []},
     FW + " missing 2 required positional arguments: 're' and 'bl'"),
    ("witt_mao_magnification", (), {},
     W + " missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    ("heyrovsky_magnification", (), {"r": 0.5},
     H + " missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    ("discrete_flux_map_heyrovsky_magnification", ([1.0],), {"bf": [1.0]},
     D + " missing 3 required positional arguments: 're', 'rstar', and 'bl'"),
    ("heyrovsky_magnification", (), {},
     H + " missing 4 required positional arguments: 'l', 'r', 're', and 'rstar'"),
    ("discrete_flux_map_heyrovsky_magnification", (), {},
     D + " missing 5 required positional arguments: 'l', 're', 'rstar', 'bl', and 'bf'"),
    ("integrated_witt_mao_magnification", (), {},
     IW + " missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    # parsing completes before any conversion
    ("witt_mao_magnification", ("x",), {},
     W + " missing 2 required positional arguments: 're' and 'rstar'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", PARSE_ERRORS)
def test_parse_errors(name, args, kwargs, message):
    exc = raised(lambda: fn(name)(*args, **kwargs))
    assert type(exc) is TypeError
    assert exc.args == (message,)


KEYWORD_CALLS = [
    ("witt_mao_magnification", ([0.5, 3.0], 1.0, 0.1), (), {"l": [0.5, 3.0], "rstar": 0.1, "re": 1.0}),
    ("witt_mao_magnification", ([0.5, 3.0], 1.0, 0.1), ([0.5, 3.0],), {"rstar": 0.1, "re": 1.0}),
    ("heyrovsky_magnification", (3.0, 1.0, 1.0, 0.1), (), {"rstar": 0.1, "re": 1.0, "r": 1.0, "l": 3.0}),
    ("heyrovsky_magnification", (3.0, 1.0, 1.0, 0.1), (3.0, 1.0), {"rstar": 0.1, "re": 1.0}),
    ("discrete_flux_map_heyrovsky_magnification", ([3.0], 1.0, 0.1, [0.5], [1.0]),
     ([3.0],), {"bf": [1.0], "bl": [0.5], "rstar": 0.1, "re": 1.0}),
    ("integrated_witt_mao_magnification", ([3.0], 1.0, 0.1), ([3.0], 1.0), {"rstar": 0.1}),
]


@pytest.mark.parametrize("name, positional, args, kwargs", KEYWORD_CALLS)
def test_keywords_in_any_order_mixed_with_positional(name, positional, args, kwargs):
    assert fn(name)(*args, **kwargs) == fn(name)(*positional)


def test_keyword_call_gives_published_values():
    assert K.witt_mao_magnification(l=[3.0, 0.5], rstar=0.1, re=1.0) == pytest.approx(
        [WM_3, WM_05], rel=1e-9)
    assert K.heyrovsky_magnification(rstar=0.1, l=3.0, re=1.0, r=1.0) == pytest.approx(HEY_3, rel=1e-7)


# --------------------------------------------------------------------------
# Float conversion
# --------------------------------------------------------------------------

# Objects that convert to the double v (None where the kind cannot express v).
FLOAT_KINDS = {
    "float": lambda v: float(v),
    "float_subclass": lambda v: FloatSub(v),
    "int": lambda v: int(v) if v == int(v) else None,
    "bool": lambda v: True if v == 1.0 else None,
    "__float__": lambda v: HasFloat(v),
    "__index__": lambda v: HasIndex(int(v)) if v == int(v) else None,
    "Fraction": lambda v: fractions.Fraction(v),
    "Decimal": lambda v: decimal.Decimal(v),
}


HEY_BASE = (3.0, 1.0, 1.0, 0.1)


@pytest.mark.parametrize("kind, position", [
    (kind, position) for kind in sorted(FLOAT_KINDS) for position in range(4)
    if FLOAT_KINDS[kind](HEY_BASE[position]) is not None])
def test_float_conversion_in_every_position(kind, position):
    base = HEY_BASE
    obj = FLOAT_KINDS[kind](base[position])
    args = list(base)
    args[position] = obj
    value = K.heyrovsky_magnification(*args)
    assert value == K.heyrovsky_magnification(*base)
    assert value == pytest.approx(HEY_3, rel=1e-7)


@pytest.mark.parametrize("kind", ["float", "int", "__float__", "__index__", "Fraction"])
def test_minus_one_is_a_value_not_an_error_marker(kind):
    # rho = rstar / re is the same for (-1, -0.1) as for (1, 0.1)
    minus_one = FLOAT_KINDS[kind](-1.0)
    assert K.witt_mao_magnification([3.0], minus_one, -0.1) == K.witt_mao_magnification([3.0], 1.0, 0.1)
    assert K.witt_mao_magnification([3.0], minus_one, -0.1) == pytest.approx([WM_3], rel=1e-9)


NOT_FLOATS = ["0.5", MyStr("0.5"), None, [1.0], (1.0,), 1j, object(), HasFloat("1.0"), HasFloat(1)]


@pytest.mark.parametrize("obj", NOT_FLOATS, ids=lambda o: type(o).__name__ + ":" + repr(o)[:12])
@pytest.mark.parametrize("position, name", list(enumerate(["l", "r", "re", "rstar"])))
def test_float_conversion_type_error_is_prefixed(obj, position, name):
    args = [3.0, 1.0, 1.0, 0.1]
    args[position] = obj
    exc = raised(lambda: K.heyrovsky_magnification(*args))
    assert type(exc) is TypeError
    assert exc.args == (f"argument '{name}': " + interpreter_float_error(obj),)
    assert exc.__cause__ is None


@pytest.mark.parametrize("exc_obj, cause", [
    (TypeError("bad number"), None),
    (TypeError("bad number"), ValueError("inner")),
    (TypeError("bad number"), TypeError("inner")),
    (TypeError("a", 2), None),
    (TypeError(), None),
])
def test_type_error_from_float_is_wrapped_with_cause(exc_obj, cause):
    obj = FloatRaises(exc_obj, cause)
    exc = raised(lambda: K.witt_mao_magnification([3.0], 1.0, obj))
    assert type(exc) is TypeError
    assert exc is not exc_obj
    assert exc.args == ("argument 'rstar': " + str(exc_obj),)
    assert exc.__cause__ is cause


@pytest.mark.parametrize("make", [
    lambda: ValueError("no float here"),
    lambda: MyTypeError("subclass of TypeError"),
    lambda: ZeroDivisionError("zero"),
    lambda: KeyboardInterrupt(),
])
def test_other_exceptions_from_float_are_unchanged(make):
    original = make()
    exc = raised(lambda: K.witt_mao_magnification([3.0], FloatRaises(original), 0.1))
    assert exc is original
    assert exc.args == make().args


@pytest.mark.parametrize("call", [
    lambda huge: K.heyrovsky_magnification(huge, 1.0, 1.0, 0.1),
    lambda huge: K.witt_mao_magnification([3.0], huge, 0.1),
    lambda huge: K.witt_mao_magnification([3.0, huge], 1.0, 0.1),
    lambda huge: K.discrete_flux_map_heyrovsky_magnification([3.0], 1.0, 0.1, [0.5], [huge]),
    lambda huge: K.witt_mao_magnification([3.0], HasIndex(huge), 0.1),
])
def test_huge_int_overflow_is_unchanged(call):
    huge = 10**400
    with pytest.raises(OverflowError) as expected:
        float(huge)
    exc = raised(lambda: call(huge))
    assert type(exc) is OverflowError
    assert exc.args == expected.value.args


# --------------------------------------------------------------------------
# List conversion
# --------------------------------------------------------------------------

STR_REFUSED = "Can't extract `str` to `Vec`"


def _generator():
    yield 3.0


NON_SEQUENCES = [
    (0.5, "float"),
    (3, "int"),
    (None, "NoneType"),
    (_generator(), "generator"),
    ((x for x in [3.0]), "generator"),
    (iter([3.0]), "list_iterator"),
    ({3.0}, "set"),
    (frozenset([3.0]), "frozenset"),
    ({3.0: 1.0}, "dict"),
    (MyDict({3.0: 1.0}), "MyDict"),
    ({3.0: 1.0}.keys(), "dict_keys"),
    ({3.0: 1.0}.values(), "dict_values"),
    ({3.0: 1.0}.items(), "dict_items"),
    (object(), "object"),
    (OnlyIter(), "OnlyIter"),
    (Outer.NotASequence(), "Outer.NotASequence"),
]


@pytest.mark.parametrize("obj, type_name", NON_SEQUENCES, ids=[t for _, t in NON_SEQUENCES])
def test_non_sequence_for_a_list(obj, type_name):
    exc = raised(lambda: K.witt_mao_magnification(obj, 1.0, 0.1))
    assert type(exc) is TypeError
    assert exc.args == (f"argument 'l': '{type_name}' object cannot be converted to 'Sequence'",)
    assert exc.__cause__ is None


@pytest.mark.parametrize("name", TABLE_FUNCTIONS)
@pytest.mark.parametrize("position, param", [(0, "l"), (3, "bl"), (4, "bf")])
@pytest.mark.parametrize("bad, text", [
    ("0.5", STR_REFUSED),
    (MyStr("0.5"), STR_REFUSED),
    ("", STR_REFUSED),
    (2.0, "'float' object cannot be converted to 'Sequence'"),
    ({0.5}, "'set' object cannot be converted to 'Sequence'"),
])
def test_list_conversion_errors_name_the_parameter(name, position, param, bad, text):
    args = list(VALID[name])
    args[position] = bad
    exc = raised(lambda: fn(name)(*args))
    assert type(exc) is TypeError
    assert exc.args == (f"argument '{param}': {text}",)


@pytest.mark.parametrize("name", ["witt_mao_magnification", "integrated_witt_mao_magnification",
                                  "integrated_heyrovsky_magnification"])
@pytest.mark.parametrize("bad", ["3.0", MyStr("3.0")])
def test_str_refused_for_l(name, bad):
    exc = raised(lambda: fn(name)(bad, 1.0, 0.1))
    assert type(exc) is TypeError
    assert exc.args == ("argument 'l': " + STR_REFUSED,)


SEQUENCES = [
    ("tuple", lambda: (3.0, 0.5, 2.0)),
    ("tuple of ints", lambda: (3, HasFloat(0.5), 2)),
    ("list of ints", lambda: [3, FloatSub(0.5), 2]),
    ("list of number kinds", lambda: [decimal.Decimal(3), fractions.Fraction(1, 2), HasIndex(2)]),
    ("array", lambda: array.array("d", [3.0, 0.5, 2.0])),
    ("Seq", lambda: Seq([3.0, 0.5, 2.0])),
    ("Seq len raises ValueError", lambda: Seq([3.0, 0.5, 2.0], length=ValueError("no len"))),
    ("Seq len raises TypeError", lambda: Seq([3.0, 0.5, 2.0], length=TypeError("no len"))),
    ("Seq len negative", lambda: Seq([3.0, 0.5, 2.0], length=-1)),
    ("Seq len too small", lambda: Seq([3.0, 0.5, 2.0], length=0)),
    ("Seq len too large", lambda: Seq([3.0, 0.5, 2.0], length=1000)),
]


@pytest.mark.parametrize("kind, make", SEQUENCES, ids=[k for k, _ in SEQUENCES])
def test_sequences_are_accepted_for_a_list(kind, make):
    expected = K.witt_mao_magnification([3.0, 0.5, 2.0], 1.0, 0.1)
    assert expected[:2] == pytest.approx([WM_3, WM_05], rel=1e-9)
    assert K.witt_mao_magnification(make(), 1.0, 0.1) == expected


@pytest.mark.parametrize("make", [
    lambda: b"\x03\x02\x05",
    lambda: bytearray(b"\x03\x02\x05"),
    lambda: memoryview(b"\x03\x02\x05"),
    lambda: [3, 2, 5],
    lambda: range(3, 1, -1),
], ids=["bytes", "bytearray", "memoryview", "list", "range"])
def test_integer_sequences_become_doubles(make):
    obj = make()
    result = K.witt_mao_magnification(obj, 1.0, 0.1)
    assert result == K.witt_mao_magnification([float(x) for x in obj], 1.0, 0.1)
    assert all(type(x) is float for x in result)


def test_conversion_of_tables_in_every_table_argument():
    got = K.discrete_flux_map_heyrovsky_magnification(
        (3, 2), HasFloat(1.0), FloatSub(0.1), Seq([0.5], length=ValueError()), b"\x01")
    assert got == K.discrete_flux_map_heyrovsky_magnification([3.0, 2.0], 1.0, 0.1, [0.5], [1.0])


SEQUENCE_ERRORS = [
    # (sequence, expected exception type, expected message or None when the
    #  very exception raised inside must propagate unchanged)
    ("item str", lambda: [3.0, "x", None], TypeError,
     "argument 'l': " + interpreter_float_error("x")),
    ("first bad item", lambda: [3.0, None, "x"], TypeError,
     "argument 'l': " + interpreter_float_error(None)),
    ("item list", lambda: (3.0, [1.0]), TypeError,
     "argument 'l': " + interpreter_float_error([1.0])),
    ("item bad __float__", lambda: [HasFloat("no")], TypeError,
     "argument 'l': " + interpreter_float_error(HasFloat("no"))),
    ("item TypeError", lambda: [3.0, FloatRaises(TypeError("item says no"))], TypeError,
     "argument 'l': item says no"),
    ("getitem TypeError", lambda: Seq([3.0, 0.5, 2.0], fail_at=2, exc=TypeError("midway")),
     TypeError, "argument 'l': midway"),
    ("getitem TypeError, bad len", lambda: Seq([3.0, 0.5, 2.0], length=ValueError(), fail_at=1,
                                               exc=TypeError("midway")),
     TypeError, "argument 'l': midway"),
    ("not iterable", lambda: NotIterableSeq([3.0]), TypeError,
     "argument 'l': " + "'NotIterableSeq' object is not iterable"),
]


@pytest.mark.parametrize("kind, make, exc_type, message", SEQUENCE_ERRORS,
                         ids=[row[0] for row in SEQUENCE_ERRORS])
def test_sequence_conversion_type_errors(kind, make, exc_type, message):
    exc = raised(lambda: K.witt_mao_magnification(make(), 1.0, 0.1))
    assert type(exc) is exc_type
    assert exc.args == (message,)


def test_not_iterable_message_is_the_interpreters():
    with pytest.raises(TypeError) as expected:
        iter(NotIterableSeq([3.0]))
    assert str(expected.value) == "'NotIterableSeq' object is not iterable"


@pytest.mark.parametrize("make_seq", [
    lambda e: Seq([3.0, 0.5, 2.0], fail_at=2, exc=e),
    lambda e: Seq([3.0, 0.5, 2.0], length=TypeError(), fail_at=0, exc=e),
    lambda e: IterRaisesSeq([3.0], exc=e),
    lambda e: [3.0, 0.5, FloatRaises(e), "x"],
], ids=["getitem", "getitem bad len", "iter", "item"])
@pytest.mark.parametrize("make_exc", [
    lambda: ValueError("midway"), lambda: MyTypeError("midway"), lambda: RuntimeError("midway")])
def test_sequence_exceptions_other_than_type_error_propagate_unchanged(make_seq, make_exc):
    original = make_exc()
    exc = raised(lambda: K.witt_mao_magnification(make_seq(original), 1.0, 0.1))
    assert exc is original
    assert exc.args == ("midway",)


def test_sequence_type_error_cause_is_carried_over():
    inner = KeyError("inner")
    outer = TypeError("outer")
    outer.__cause__ = inner
    exc = raised(lambda: K.witt_mao_magnification(Seq([3.0, 1.0], fail_at=1, exc=outer), 1.0, 0.1))
    assert type(exc) is TypeError and exc is not outer
    assert exc.args == ("argument 'l': outer",)
    assert exc.__cause__ is inner


# --------------------------------------------------------------------------
# Conversion order
# --------------------------------------------------------------------------

ORDER_CASES = [
    ("witt_mao_magnification", ("x", "y", "z"), {}, TypeError, "argument 'l': " + STR_REFUSED),
    ("witt_mao_magnification", (5, "y", None), {}, TypeError,
     "argument 'l': 'int' object cannot be converted to 'Sequence'"),
    ("witt_mao_magnification", ([3.0], "y", "z"), {}, TypeError,
     "argument 're': " + interpreter_float_error("y")),
    ("witt_mao_magnification", ([3.0], "y", 10**400), {}, TypeError,
     "argument 're': " + interpreter_float_error("y")),
    ("witt_mao_magnification", (), {"rstar": "z", "re": "y", "l": "x"}, TypeError,
     "argument 'l': " + STR_REFUSED),
    ("witt_mao_magnification", (), {"rstar": "z", "re": None, "l": [3.0]}, TypeError,
     "argument 're': " + interpreter_float_error(None)),
    ("heyrovsky_magnification", ("a", "b", "c", "d"), {}, TypeError,
     "argument 'l': " + interpreter_float_error("a")),
    ("heyrovsky_magnification", (1.0, None, "c", "d"), {}, TypeError,
     "argument 'r': " + interpreter_float_error(None)),
    ("heyrovsky_magnification", (1.0, 0.5, 1.0, "d"), {}, TypeError,
     "argument 'rstar': " + interpreter_float_error("d")),
    ("discrete_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, "x", 5), {}, TypeError,
     "argument 'bl': " + STR_REFUSED),
    ("discrete_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, [1.0], 5), {}, TypeError,
     "argument 'bf': 'int' object cannot be converted to 'Sequence'"),
    ("discrete_flux_map_heyrovsky_magnification", ([1.0], 1.0, None, "x", 5), {}, TypeError,
     "argument 'rstar': " + interpreter_float_error(None)),
    ("integrated_flux_map_witt_mao_magnification", ([1.0], 1.0, 0.1, ["x"], ["y"]), {}, TypeError,
     "argument 'bl': " + interpreter_float_error("x")),
    ("integrated_flux_map_heyrovsky_magnification", ([1.0, "x"], 1.0, 0.1, "bl", 3), {}, TypeError,
     "argument 'l': " + interpreter_float_error("x")),
    # conversion precedes the table length check
    ("discrete_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, [0.5, 0.6], "x"), {}, TypeError,
     "argument 'bf': " + STR_REFUSED),
    ("integrated_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, [0.5, 0.6], {1.0}), {},
     TypeError, "argument 'bf': 'set' object cannot be converted to 'Sequence'"),
    # a non-TypeError of an earlier argument wins over a TypeError of a later one
    ("witt_mao_magnification", ([3.0], 10**400, "y"), {}, OverflowError, None),
]


@pytest.mark.parametrize("name, args, kwargs, exc_type, message", ORDER_CASES)
def test_first_bad_argument_in_parameter_order_is_reported(name, args, kwargs, exc_type, message):
    exc = raised(lambda: fn(name)(*args, **kwargs))
    assert type(exc) is exc_type
    if message is not None:
        assert exc.args == (message,)


class Logged:
    """Records its conversion in a shared log; optionally fails."""

    def __init__(self, log, name, value, fail=None):
        self.log, self.name, self.value, self.fail = log, name, value, fail

    def __float__(self):
        self.log.append(self.name)
        if self.fail is not None:
            raise self.fail
        return self.value


class LoggedSeq(Seq):
    def __init__(self, log, name, items):
        super().__init__(items)
        self.log, self.name = log, name

    def __getitem__(self, i):
        if i == 0:
            self.log.append(self.name)
        return super().__getitem__(i)


@pytest.mark.parametrize("fail, expected_log", [
    (None, ["l", "re", "rstar", "bl", "bf"]),
    ("re", ["l", "re"]),
    ("rstar", ["l", "re", "rstar"]),
    ("bl", ["l", "re", "rstar", "bl"]),
])
def test_conversion_runs_in_parameter_order_and_stops_at_the_first_failure(fail, expected_log):
    log = []
    values = {"l": [3.0], "re": 1.0, "rstar": 0.1, "bl": [0.5], "bf": [1.0]}
    args = {}
    for name, value in values.items():
        if isinstance(value, list):
            items = [Logged(log, "item", 0.0, TypeError("bad item"))] if fail == name else value
            args[name] = LoggedSeq(log, name, items)
        else:
            args[name] = Logged(log, name, value, TypeError("bad") if fail == name else None)
    call = lambda: K.discrete_flux_map_heyrovsky_magnification(**dict(reversed(list(args.items()))))
    if fail is None:
        assert call() == K.discrete_flux_map_heyrovsky_magnification(**values)
    else:
        exc = raised(call)
        assert type(exc) is TypeError and str(exc).startswith(f"argument '{fail}': ")
    assert [entry for entry in log if entry != "item"] == expected_log


# --------------------------------------------------------------------------
# Results
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_list_results(name):
    args = VALID[name]
    first = fn(name)(*args)
    second = fn(name)(*args)
    assert type(first) is list and len(first) == len(args[0])
    assert all(type(x) is float for x in first)
    assert all(math.isfinite(x) and x > 1.0 for x in first)
    assert first is not second and first == second
    assert sys.getrefcount(first) == 2
    assert all(sys.getrefcount(first[i]) == 2 for i in range(len(first)))


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_results_follow_the_order_of_l(name):
    args = list(VALID[name])
    single = {x: fn(name)(*([[x]] + args[1:]))[0] for x in (3.0, 2.0, 4.0)}
    args[0] = [2.0, 4.0, 3.0, 2.0]
    assert fn(name)(*args) == [single[2.0], single[4.0], single[3.0], single[2.0]]


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_empty_l_gives_a_new_empty_list(name):
    args = list(VALID[name])
    args[0] = []
    first = fn(name)(*args)
    assert type(first) is list and first == []
    assert fn(name)(*args) is not first
    args[0] = ()
    assert fn(name)(*args) == []


def test_float_result():
    value = K.heyrovsky_magnification(3.0, 1.0, 1.0, 0.1)
    assert type(value) is float
    assert sys.getrefcount(value) == 2
    assert value == pytest.approx(HEY_3, rel=1e-7)


def test_discrete_map_without_rings_gives_zeros():
    result = K.discrete_flux_map_heyrovsky_magnification([3.0, 2.0, 0.5], 1.0, 0.1, [], [])
    assert result == [0.0, 0.0, 0.0]
    assert all(type(x) is float for x in result)


def test_arguments_are_not_modified():
    l, bl, bf = [3.0, 2, True], [0.0, 1.0], [1.0, 1.0]
    for name in TABLE_FUNCTIONS:
        fn(name)(l, 1.0, 0.1, bl, bf)
    assert l == [3.0, 2, True] and type(l[1]) is int and l[2] is True
    assert bl == [0.0, 1.0] and bf == [1.0, 1.0]


@pytest.mark.parametrize("name, args", [
    ("integrated_heyrovsky_magnification", ([-1.0, NAN, 3.0], 1.0, 0.1)),
    ("integrated_flux_map_heyrovsky_magnification", ([-1.0, NAN, 3.0], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0])),
    ("integrated_flux_map_heyrovsky_magnification", ([NAN, 3.0], 1.0, 0.1, [0.0, NAN], [1.0, 1.0])),
])
def test_ring_integrals_never_raise_for_numerical_reasons(name, args):
    result = fn(name)(*args)
    assert type(result) is list and len(result) == len(args[0])
    assert all(type(x) is float for x in result)


CALLS_FOR_LEAKS = [
    ("success", lambda l, o, bl, bf: K.witt_mao_magnification(l, o, 0.1)),
    ("success tables", lambda l, o, bl, bf: K.discrete_flux_map_heyrovsky_magnification(l, o, 0.1, bl, bf)),
    ("float", lambda l, o, bl, bf: K.heyrovsky_magnification(3.0, o, o, 0.1)),
    ("bad later argument", lambda l, o, bl, bf: K.witt_mao_magnification(l, o, "x")),
    ("bad table", lambda l, o, bl, bf: K.discrete_flux_map_heyrovsky_magnification(l, o, 0.1, bl, "x")),
    ("kernel failure", lambda l, o, bl, bf: K.witt_mao_magnification(l + [NAN], o, 0.1)),
    ("assertion", lambda l, o, bl, bf: K.discrete_flux_map_heyrovsky_magnification(l, o, 0.1, bl, bf + bf)),
    ("parse error", lambda l, o, bl, bf: K.discrete_flux_map_heyrovsky_magnification(l, o, 0.1, bl, bf, x=o)),
]


@pytest.mark.parametrize("kind, call", CALLS_FOR_LEAKS, ids=[k for k, _ in CALLS_FOR_LEAKS])
def test_no_references_are_leaked(kind, call):
    l, o, bl, bf = [3.0, 2.0], HasFloat(1.0), [0.5], [1.0]
    item = l[0]

    def run():
        try:
            call(l, o, bl, bf)
        except BaseException:  # noqa: B902
            pass

    run()
    before = [sys.getrefcount(x) for x in (l, o, bl, bf, item)]
    for _ in range(50):
        run()
    assert [sys.getrefcount(x) for x in (l, o, bl, bf, item)] == before


# --------------------------------------------------------------------------
# Kernel failures
# --------------------------------------------------------------------------

KERNEL_FAILURES = [
    ("witt_mao_magnification", ([NAN], 1.0, 0.1), "elliprj: Fail to converge"),
    ("witt_mao_magnification", ([-3.0], 1.0, 0.1), "elliprj: Fail to converge"),
    ("witt_mao_magnification", ([3.0, 0.5, NAN, 2.0, 3.0], 1.0, 0.1), "elliprj: Fail to converge"),
    ("integrated_witt_mao_magnification", ([3.0, NAN], 1.0, 0.1), "elliprj: Fail to converge"),
    ("integrated_flux_map_witt_mao_magnification", ([3.0, NAN], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
     "elliprj: Fail to converge"),
    # (Sources of 1e200 Einstein radii are magnified by 1 now, not a failure:
    # tests/test_float_range.py.)
    ("heyrovsky_magnification", (-1.0, 0.5, 1.0, 0.1), "elliprj: Fail to converge"),
    ("heyrovsky_magnification", (NAN, 0.5, 1.0, 0.1), "elliprj: Fail to converge"),
    ("discrete_flux_map_heyrovsky_magnification", ([3.0, 2.0, -1.0, 3.0, 2.0], 1.0, 0.1, [0.5], [1.0]),
     "elliprj: Fail to converge"),
    ("discrete_flux_map_heyrovsky_magnification", ([3.0], 1.0, 0.1, [0.5, NAN], [1.0, 1.0]),
     "elliprj: Fail to converge"),
]


@pytest.mark.parametrize("name, args, message", KERNEL_FAILURES)
def test_kernel_failures_raise_runtime_error(name, args, message):
    exc = raised(lambda: fn(name)(*args))
    assert type(exc) is RuntimeError
    assert exc.args == (message,)
    assert exc.__cause__ is None


# --------------------------------------------------------------------------
# PanicException
# --------------------------------------------------------------------------

PANIC_DOC_SECOND_PARAGRAPH = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.")


def assertion_message(left, right):
    return f"assertion `left == right` failed\n  left: {left}\n right: {right}"


PANICS = [
    ("discrete_flux_map_heyrovsky_magnification", ([1.0], 1.0, 0.1, [0.5, 0.6], [1.0]), 2, 1),
    ("discrete_flux_map_heyrovsky_magnification", ([], 1.0, 0.1, [0.5, 0.6], [1.0]), 2, 1),
    ("discrete_flux_map_heyrovsky_magnification", ([NAN], 1.0, 0.1, [], [1.0] * 12), 0, 12),
    ("discrete_flux_map_heyrovsky_magnification", ([-1.0], 1.0, 0.1, [0.5] * 10, [1.0] * 9), 10, 9),
    ("integrated_flux_map_witt_mao_magnification", ([3.0], 1.0, 0.1, [0.0, 0.5], [1.0]), 2, 1),
    ("integrated_flux_map_witt_mao_magnification", ([], 1.0, 0.1, [0.0, 0.5], [1.0]), 2, 1),
    ("integrated_flux_map_witt_mao_magnification", ([NAN], 1.0, 0.1, [0.5], []), 1, 0),
    ("integrated_flux_map_heyrovsky_magnification", ([3.0], 1.0, 0.1, [0.0, 0.5], [1.0]), 2, 1),
    ("integrated_flux_map_heyrovsky_magnification", ([], 1.0, 0.1, [], [1.0, 2.0, 3.0]), 0, 3),
]


@pytest.mark.parametrize("name, args, left, right", PANICS)
def test_unequal_tables_raise_panic_exception(name, args, left, right, capfd):
    exc = raised(lambda: fn(name)(*args))
    cls = type(exc)
    assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
    assert cls.__name__ == "PanicException"
    assert exc.args == (assertion_message(left, right),)
    assert str(exc) == assertion_message(left, right)
    assert "assertion `left == right` failed" in capfd.readouterr().err


def test_panic_exception_class():
    exc = raised(lambda: K.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.5, 0.6], [1.0]))
    cls = type(exc)
    assert cls.__bases__ == (BaseException,)
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"
    doc = cls.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    first, second = doc[1:-1].split("\n\n")
    assert first.strip() and first == first.strip()
    assert second == PANIC_DOC_SECOND_PARAGRAPH


def test_panic_exception_is_not_caught_by_except_exception():
    def call():
        try:
            K.discrete_flux_map_heyrovsky_magnification([1.0], 1.0, 0.1, [0.5, 0.6], [1.0])
        except Exception:
            return "caught"
        return "returned"

    exc = raised(call)
    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)


def test_panic_exception_class_is_created_once():
    classes = {type(raised(lambda: fn(name)(*args))) for name, args, _, _ in PANICS for _ in range(2)}
    assert len(classes) == 1
    # the module stays usable after an assertion failure
    assert K.discrete_flux_map_heyrovsky_magnification([3.0], 1.0, 0.1, [], []) == [0.0]


# --------------------------------------------------------------------------
# Initialisation and the shared object
# --------------------------------------------------------------------------

SECOND_INIT_SCRIPT = textwrap.dedent("""
    import importlib, json, sys
    import kalvorin
    first = kalvorin
    del sys.modules["kalvorin"]
    out = {"raised": None}
    try:
        importlib.import_module("kalvorin")
    except BaseException as exc:
        out = {"raised": type(exc).__module__ + "." + type(exc).__qualname__, "args": list(exc.args)}
    out["in_modules"] = "kalvorin" in sys.modules
    out["first_works"] = first.witt_mao_magnification([], 1.0, 0.1) == []
    print(json.dumps(out))
""")


def test_second_initialisation_is_refused():
    env = dict(os.environ)
    location = os.path.dirname(os.path.abspath(K.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [location, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", SECOND_INIT_SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["raised"] == "builtins.ImportError"
    assert out["args"] == ["PyO3 modules compiled for CPython 3.8 or older may only be "
                           "initialized once per interpreter process"]
    assert out["in_modules"] is False
    assert out["first_works"] is True


def test_only_the_init_function_is_exported():
    path = K.__file__
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines()
                   if len(line.split()) >= 3 and line.split()[-2] not in ("A",)]
    elif shutil.which("readelf"):
        out = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True,
                             text=True, check=True).stdout
        symbols = []
        for line in out.splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) >= 8 and fields[0].endswith(":") and fields[4] in ("GLOBAL", "WEAK", "UNIQUE") \
                    and fields[6] not in ("UND", "ABS"):
                symbols.append(fields[7])
    else:
        pytest.skip("neither nm nor readelf is available")
    assert [s.split("@")[0] for s in symbols] == ["PyInit_kalvorin"]
