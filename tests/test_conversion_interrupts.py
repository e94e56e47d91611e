"""Exceptions raised by the Python code that converting a list argument runs
besides iteration: a sequence's __len__ (a size hint), the buffer probe
(__buffer__) and reading the type's __qualname__ for a TypeError message.

An ordinary exception there is discarded, as before: the hint counts as
absent, the object is read by iteration, the message names no type. Any other
BaseException (KeyboardInterrupt, SystemExit, ...) ends the call with that
exception, as it ends the interpreter's own conversions.
"""

import sys

import pytest

import kalvorin as K

PHYSICAL = [0.5, 1.5, 3.0]
TABLE = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.5])


class Special(BaseException):
    pass


KINDS = [KeyboardInterrupt, SystemExit, Special, ValueError, TypeError]


def propagates(kind):
    return not issubclass(kind, Exception)


# Each list parameter of a function, with the other arguments physical.
CALLS = {
    "l of witt_mao_magnification": lambda v: K.witt_mao_magnification(v, 1.0, 0.1),
    "l of integrated_heyrovsky_magnification": lambda v: K.integrated_heyrovsky_magnification(v, 1.0, 0.1),
    "bl of integrated_flux_map_witt_mao_magnification":
        lambda v: K.integrated_flux_map_witt_mao_magnification(PHYSICAL, 1.0, 0.1, v, TABLE[1]),
    "bf of discrete_flux_map_heyrovsky_magnification":
        lambda v: K.discrete_flux_map_heyrovsky_magnification(PHYSICAL, 1.0, 0.1, TABLE[0], v),
}
PARAM_VALUES = {
    "l of witt_mao_magnification": PHYSICAL,
    "l of integrated_heyrovsky_magnification": PHYSICAL,
    "bl of integrated_flux_map_witt_mao_magnification": TABLE[0],
    "bf of discrete_flux_map_heyrovsky_magnification": TABLE[1],
}


class LengthRaises:
    """A sequence by __getitem__ whose __len__ raises `kind`."""

    def __init__(self, items, kind):
        self.items, self.kind = list(items), kind

    def __len__(self):
        raise self.kind("from __len__")

    def __getitem__(self, i):
        return self.items[i]


class BufferRaises(LengthRaises):
    """A sequence whose buffer probe raises `kind` (its __len__ is honest)."""

    def __len__(self):
        return len(self.items)

    def __buffer__(self, flags):
        raise self.kind("from __buffer__")


def qualname_raises(kind):
    """An object that is no sequence, whose type's __qualname__ raises `kind`."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise kind("from __qualname__")
            return super().__getattribute__(name)

    return Meta("NoSequence", (), {})()


needs_buffer_protocol = pytest.mark.skipif(sys.version_info < (3, 12),
                                           reason="__buffer__ in Python classes needs Python 3.12")


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("where", ["__len__", pytest.param("__buffer__", marks=needs_buffer_protocol)])
@pytest.mark.parametrize("param", list(CALLS))
def test_a_sequence_whose_probe_raises(param, where, kind):
    call, values = CALLS[param], PARAM_VALUES[param]
    obj = (LengthRaises if where == "__len__" else BufferRaises)(values, kind)
    if propagates(kind):
        with pytest.raises(kind) as caught:
            call(obj)
        assert caught.value.args == (f"from {where}",)
    else:
        assert call(obj) == call(list(values))  # read by iteration


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("param", list(CALLS))
def test_a_non_sequence_whose_type_name_raises(param, kind):
    obj = qualname_raises(kind)
    with pytest.raises(BaseException) as caught:
        CALLS[param](obj)
    if propagates(kind):
        assert type(caught.value) is kind and caught.value.args == ("from __qualname__",)
    else:
        assert type(caught.value) is TypeError
        name = param.split()[0]
        assert caught.value.args == (
            f"argument '{name}': '<failed to extract type name>' object cannot be converted to 'Sequence'",)


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
def test_the_module_works_after_a_propagated_interrupt(kind):
    expected = K.witt_mao_magnification(PHYSICAL, 1.0, 0.1)
    for obj in (LengthRaises(PHYSICAL, kind), qualname_raises(kind)):
        with pytest.raises(kind):
            K.witt_mao_magnification(obj, 1.0, 0.1)
    assert K.witt_mao_magnification(PHYSICAL, 1.0, 0.1) == expected
