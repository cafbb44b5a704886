"""The module object, its function table, argument binding and conversion."""
import ctypes
import importlib
import inspect
import operator
import os
import sys
import tempfile

import numpy as np
import pytest

import packweaver as pw

_LEGACY = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32", "mil_std_1750a_f48",
           "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"]
_TEXT = ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le",
         "utf32be"]
_INT = ["ones_complement", "twos_complement", "sign_magnitude"]
_BCD = ["unpacked_bcd", "packed_bcd"]
_IEEE = ["ieee754_f16", "ieee754_f32", "ieee754_f64"]

# Every function in registration order, with its parameter list.
TABLE = (
    [("unpack_parameters", "(packet_bytes, offset_bits, recipe)"), ("pack_parameters", "(recipe)")]
    + [(f"decode_{n}", "(value, bits)") for n in _INT]
    + [(f"decode_{n}", "(value, bits, signed=False)") for n in _BCD]
    + [(f"decode_{n}", "(value)") for n in _IEEE + ["ieee754_f128"]]
    + [(f"decode_{n}", "(_value)") for n in _LEGACY]
    + [(f"decode_{n}", "(bytes)") for n in _TEXT]
    + [(f"encode_{n}", "(value, bits)") for n in _INT]
    + [(f"encode_{n}", "(value, bits, signed=False)") for n in _BCD]
    + [(f"encode_{n}", "(value)") for n in _IEEE]
    + [(f"encode_{n}", "(_value)") for n in ["ieee754_f128"] + _LEGACY]
    + [(f"encode_{n}", "(text)") for n in _TEXT]
)
NUMERIC = [name for name, _ in TABLE if not name.endswith(("parameters",) + tuple(_TEXT))]
PRESENT = [(name, params) for name, params in TABLE if hasattr(pw, name)]


def test_function_table():
    assert len(TABLE) == 62 and len(NUMERIC) == 40
    assert set(NUMERIC) <= set(pw.__all__)
    # Exactly the functions: code that walks __all__ calls every entry. The
    # types (Recipe, Framing, Index) and the CCSDS preset are module attributes
    # beside them, as __version__ is.
    assert pw.__all__ == [name for name, _ in PRESENT]
    extras = ["CCSDS", "Framing", "Index", "Recipe", "pack_array", "unpack_array"]
    assert sorted(n for n in dir(pw) if not n.startswith("__")) == sorted(pw.__all__ + extras)
    assert pw.__doc__ == "" and pw.__name__ == "packweaver"


@pytest.mark.parametrize("name, params", PRESENT, ids=[n for n, _ in PRESENT])
def test_signature(name, params):
    fn = getattr(pw, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert (fn.__name__, fn.__module__, fn.__self__) == (name, "packweaver", pw)
    assert fn.__text_signature__ == params and fn.__doc__ is None
    sig = inspect.signature(fn)
    assert str(sig) == params
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert {n: p.default for n, p in sig.parameters.items() if p.default is not p.empty} == (
        {"signed": False} if "signed" in params else {})


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("packweaver")
    try:
        assert importlib.import_module("packweaver") is saved
    finally:
        sys.modules["packweaver"] = saved


def test_subinterpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    fd, out = tempfile.mkstemp()
    os.close(fd)
    code = f"""
import sys
sys.path.insert(0, {os.path.dirname(pw.__file__)!r})
try:
    import packweaver
    outcome = "imported"
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
with open({out!r}, "w") as f:
    f.write(outcome)
"""
    try:
        assert testcapi.run_in_subinterp(code) == 0
        with open(out) as f:
            outcome = f.read()
    finally:
        os.unlink(out)
    assert outcome.startswith("ImportError: ") and "sub-interpreters" in outcome
    assert pw.encode_twos_complement(-1, 8) == 255  # still usable here


def _call_error(fn, *args, **kwargs):
    """The call's result, or the type and text of what it raised."""
    try:
        return fn(*args, **kwargs)
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("encode_twos_complement", (1, 2, 3), {}, "takes 2 positional arguments but 3 were given"),
    ("decode_ieee754_f16", (1, 2), {}, "takes 1 positional argument but 2 were given"),
    ("encode_packed_bcd", (1, 2, True, 4), {}, "takes from 2 to 3 positional arguments but 4 were given"),
    ("decode_unpacked_bcd", (1, 2, True, 4, 5), {"x": 1}, "takes from 2 to 3 positional arguments but 5 were given"),
    ("decode_ieee754_f64", (), {}, "missing 1 required positional argument: 'value'"),
    ("encode_packed_bcd", (), {"signed": True}, "missing 2 required positional arguments: 'value' and 'bits'"),
    ("decode_sign_magnitude", (), {"bits": 8}, "missing 1 required positional argument: 'value'"),
    ("unpack_parameters", (), {}, "missing 3 required positional arguments: 'packet_bytes', 'offset_bits', and 'recipe'"),
    ("encode_ieee754_f128", (), {}, "missing 1 required positional argument: '_value'"),
    ("decode_ti_f32", (), {"value": 1}, "got an unexpected keyword argument 'value'"),
    ("encode_packed_bcd", (1, 8), {"signd": True}, "got an unexpected keyword argument 'signd'"),
    ("encode_twos_complement", (), {"bits": 8, "nope": 1}, "got an unexpected keyword argument 'nope'"),
    ("encode_twos_complement", (1,), {"value": 2}, "got multiple values for argument 'value'"),
    ("encode_packed_bcd", (1, 8, False), {"signed": False}, "got multiple values for argument 'signed'"),
])
def test_binding_errors(name, args, kwargs, message):
    fn = getattr(pw, name, None)
    if fn is None:
        pytest.skip(f"{name} not registered yet")
    assert _call_error(fn, *args, **kwargs) == (TypeError, f"{name}() {message}")


def test_binding_by_keyword():
    assert pw.encode_packed_bcd(12, 8) == pw.encode_packed_bcd(value=12, bits=8, signed=False) == 0x12
    assert pw.encode_packed_bcd(bits=16, signed=True, value=-12) == pw.encode_packed_bcd(-12, 16, True) == 0x12D
    # Keyword names built at run time are not the interned parameter names.
    assert pw.decode_twos_complement(**{"".join(["va", "lue"]): 255, "".join(["bi", "ts"]): 8}) == -1


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __float__(self):
        return 2.5


class SubTypeError(TypeError):
    pass


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


def _capi(function, restype, obj):
    """The interpreter's own error for converting obj with a C API function,
    after __index__ for the integer targets."""
    fn = getattr(ctypes.pythonapi, function)
    fn.argtypes, fn.restype = [ctypes.py_object], restype
    if function.startswith("PyLong"):
        try:
            obj = operator.index(obj)
        except TypeError as e:
            return TypeError, str(e)
    return _call_error(fn, obj)


I64, U64, SIZE = ("PyLong_AsLongLong", ctypes.c_longlong), ("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong), \
    ("PyLong_AsSize_t", ctypes.c_size_t)
F64 = ("PyFloat_AsDouble", ctypes.c_double)
BAD = {I64: [2**63, -2**63 - 1, 1.5, "1", None, b"1"], U64: [-1, 2**64, 2.0, "1"], SIZE: [-1, 2**64, 8.0, None],
       F64: ["1", None, b"x", 10**400, -10**400, 1j]}


@pytest.mark.parametrize("name, args, position, kind", [
    ("encode_twos_complement", [0, 8], 0, I64), ("encode_sign_magnitude", [0, 8], 1, SIZE),
    ("encode_packed_bcd", [0, 8, False], 0, I64), ("encode_unpacked_bcd", [0, 8, True], 1, SIZE),
    ("decode_ones_complement", [0, 8], 0, U64), ("decode_twos_complement", [0, 8], 1, SIZE),
    ("decode_packed_bcd", [0, 8], 0, U64), ("decode_unpacked_bcd", [0, 8], 1, SIZE),
    ("decode_ieee754_f16", [0], 0, U64), ("decode_ieee754_f32", [0], 0, U64), ("decode_ieee754_f64", [0], 0, U64),
    ("encode_ieee754_f16", [0], 0, F64), ("encode_ieee754_f32", [0], 0, F64), ("encode_ieee754_f64", [0], 0, F64),
])
def test_conversion_errors(name, args, position, kind):
    fn = getattr(pw, name)
    param = list(inspect.signature(fn).parameters)[position]
    for bad in BAD[kind]:
        kind_, message = _capi(*kind, bad)
        if kind_ is TypeError:
            message = f"argument '{param}': {message}"
        args[position] = bad
        assert _call_error(fn, *args) == (kind_, message), bad


@pytest.mark.parametrize("value, error", [
    (-1, (OverflowError, "can't convert negative int to unsigned")),
    (-2**200, (OverflowError, "can't convert negative int to unsigned")),
    (2**128, (OverflowError, "int too large to convert to a 128-bit unsigned integer")),
    (2**300, (OverflowError, "int too large to convert to a 128-bit unsigned integer")),
    (1.0, (TypeError, "argument 'value': 'float' object cannot be interpreted as an integer")),
])
def test_u128_conversion_errors(value, error):
    assert _call_error(pw.decode_ieee754_f128, value) == error


def test_argument_error_prefix_rules():
    # Only TypeError itself gets the prefix; the cause is kept.
    cause = ValueError("root")
    inner = TypeError("boom")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        pw.encode_twos_complement(Raises(inner), 8)
    assert type(info.value) is TypeError and str(info.value) == "argument 'value': boom"
    assert info.value.__cause__ is cause
    for exc in (SubTypeError("sub"), ValueError("val"), OverflowError("big")):
        for call in (lambda: pw.decode_sign_magnitude(1, Raises(exc)), lambda: pw.encode_ieee754_f64(Raises(exc))):
            assert _call_error(call) == (type(exc), str(exc))
    kind, message = _call_error(operator.index, Index("x"))
    assert _call_error(pw.encode_twos_complement, Index("x"), 8) == (kind, f"argument 'value': {message}")


@pytest.mark.parametrize("call, expected", [
    (lambda: pw.encode_twos_complement(-2**63, 64), 2**63),
    (lambda: pw.encode_twos_complement(2**63 - 1, 64), 2**63 - 1),
    (lambda: pw.encode_twos_complement(Index(-1), Index(8)), 255),
    (lambda: pw.encode_twos_complement(np.int64(-2), np.uint8(8)), 254),
    (lambda: pw.encode_twos_complement(True, 2), 1),
    (lambda: pw.decode_twos_complement(2**64 - 1, 64), -1),
    (lambda: pw.decode_twos_complement(np.uint64(2**64 - 1), Index(2**64 - 1)), -1),
    (lambda: pw.decode_ieee754_f128(Index(0x3FFF << 112)), 1.0),
    (lambda: pw.encode_ieee754_f64(Float()), 0x4004000000000000),
    (lambda: pw.encode_ieee754_f64(Index(3)), 0x4008000000000000),
    (lambda: pw.encode_ieee754_f64(2**53 + 1), 0x4340000000000000),
    (lambda: pw.encode_ieee754_f32(np.float32(0.1)), 0x3DCCCCCD),
    (lambda: pw.encode_ieee754_f16(Index(1)), 0x3C00),
])
def test_accepted_arguments(call, expected):
    assert call() == expected


def test_signed_accepts_numpy_bools():
    for name, value in [("encode_packed_bcd", -12), ("encode_unpacked_bcd", -12), ("decode_packed_bcd", 0x12D),
                        ("decode_unpacked_bcd", 0xF1D2)]:
        fn = getattr(pw, name)
        assert _call_error(fn, value, 16, np.True_) == _call_error(fn, value, 16, True) != _call_error(fn, value, 16, False)
        assert _call_error(fn, value, 16, np.False_) == _call_error(fn, value, 16, False)


@pytest.mark.parametrize("flag", [0, 1, 1.0, None, "True", np.int8(1), [], Index(1)])
@pytest.mark.parametrize("name", ["encode_packed_bcd", "encode_unpacked_bcd", "decode_packed_bcd",
                                  "decode_unpacked_bcd"])
def test_signed_rejects_non_bools(name, flag):
    assert _call_error(getattr(pw, name), 1, 8, flag) == (
        TypeError, f"argument 'signed': '{type(flag).__name__}' object cannot be cast as 'bool'")


@pytest.mark.parametrize("value, pattern", [
    (1 + 2**-24, 0x3F800000), (1 + 3 * 2**-24, 0x3F800002), (1 + 2**-24 + 2**-50, 0x3F800001),
    (2**-150, 0), (3 * 2**-151, 1), (3 * 2**-150, 2), (-2**-151, 0x80000000),
    (float.fromhex("0x1.fffffep127"), 0x7F7FFFFF), (float.fromhex("0x1.fffffefffffffp127"), 0x7F7FFFFF),
    (float.fromhex("0x1.ffffffp127"), 0x7F800000), (-float.fromhex("0x1.ffffffp127"), 0xFF800000),
    (1e300, 0x7F800000), (-1e300, 0xFF800000), (2**200, 0x7F800000), (-2**1000, 0xFF800000),
    (float("inf"), 0x7F800000), (float("-inf"), 0xFF800000),
])
def test_binary32_narrowing(value, pattern):
    assert pw.encode_ieee754_f32(value) == pattern
