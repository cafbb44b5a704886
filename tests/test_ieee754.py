"""IEEE 754 binary16/32/64/128 codecs and the reserved legacy float formats."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, strategies as st

import packweaver as pw

NAN, INF = float("nan"), float("inf")
U64 = st.integers(0, 2**64 - 1)


def bits64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def error_of(fn, *args, **kwargs):
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    return info.type, str(info.value)


def same(got, expected):
    """Equal floats, signs of zeros and NaN-ness included."""
    return (math.isnan(got) and math.isnan(expected)) or bits64(got) == bits64(expected)


@pytest.mark.parametrize("name, value, expected", [
    ("encode_ieee754_f16", 1.0, 0x3C00), ("encode_ieee754_f16", -0.0, 0x8000), ("encode_ieee754_f16", 65504.0, 0x7BFF),
    ("encode_ieee754_f16", 65519.99, 0x7BFF), ("encode_ieee754_f16", 65520.0, 0x7C00),
    ("encode_ieee754_f16", 2**-24, 0x0001), ("encode_ieee754_f16", 2**-25, 0x0000),
    ("encode_ieee754_f16", 1.5 * 2**-25, 0x0001), ("encode_ieee754_f16", -3 * 2**-25, 0x8002),
    ("encode_ieee754_f16", 2**-14, 0x0400), ("encode_ieee754_f16", 2**-14 - 2**-25, 0x0400),
    ("encode_ieee754_f16", INF, 0x7C00), ("encode_ieee754_f16", -INF, 0xFC00), ("encode_ieee754_f16", NAN, 0x7E00),
    ("encode_ieee754_f16", -NAN, 0xFE00), ("encode_ieee754_f16", 1e300, 0x7C00), ("encode_ieee754_f16", -1e-300, 0x8000),
    ("encode_ieee754_f16", 1 + 2**-11 + 2**-40, 0x3C00), ("encode_ieee754_f16", 1 + 2**-11 + 2**-20, 0x3C01),
    ("encode_ieee754_f16", 1 + 3 * 2**-11, 0x3C02), ("encode_ieee754_f16", 2**16, 0x7C00),
    ("encode_ieee754_f32", 1.0, 0x3F800000), ("encode_ieee754_f32", 0.1, 0x3DCCCCCD),
    ("encode_ieee754_f32", -0.0, 0x80000000), ("encode_ieee754_f32", 1e39, 0x7F800000),
    ("encode_ieee754_f32", NAN, 0x7FC00000), ("encode_ieee754_f32", 1, 0x3F800000),
    ("encode_ieee754_f64", 1.0, 0x3FF0000000000000), ("encode_ieee754_f64", -2.0, 0xC000000000000000),
    ("encode_ieee754_f64", 1, 0x3FF0000000000000), ("encode_ieee754_f64", -NAN, 0xFFF8000000000000),
    ("encode_ieee754_f64", 5e-324, 1),
])
def test_encode(name, value, expected):
    assert getattr(pw, name)(value) == expected


@pytest.mark.parametrize("name, pattern, expected", [
    ("decode_ieee754_f16", 0x3C00, 1.0), ("decode_ieee754_f16", 0x0001, 5.960464477539063e-08),
    ("decode_ieee754_f16", 0x7BFF, 65504.0), ("decode_ieee754_f16", 0xFC00, -INF), ("decode_ieee754_f16", 0x7E00, NAN),
    ("decode_ieee754_f16", 0x13C00, 1.0), ("decode_ieee754_f16", 0xFFFFFFFFFFFF8000, -0.0),
    ("decode_ieee754_f32", 0x3F800000, 1.0), ("decode_ieee754_f32", 0x13F800000, 1.0),
    ("decode_ieee754_f32", 0x00000001, 1.401298464324817e-45), ("decode_ieee754_f32", 0xFFFFFFFF80000000, -0.0),
    ("decode_ieee754_f32", 0xFF800000, -INF), ("decode_ieee754_f32", 0x7FC00000, NAN),
    ("decode_ieee754_f64", 0x3FF0000000000000, 1.0), ("decode_ieee754_f64", 0x8000000000000000, -0.0),
    ("decode_ieee754_f64", 0x7FF0000000000000, INF), ("decode_ieee754_f64", 0x7FF0000000000001, NAN),
])
def test_decode(name, pattern, expected):
    got = getattr(pw, name)(pattern)
    assert type(got) is float and same(got, expected)


def test_f16_decode_all_patterns_against_numpy():
    h = np.arange(0x10000, dtype=np.uint32)
    got = np.array([pw.decode_ieee754_f16(int(i)) for i in h]).astype(np.float32).view(np.uint32)
    expected = h.astype(np.uint16).view(np.float16).astype(np.float32).view(np.uint32)
    nan = ((h >> 10) & 0x1F == 0x1F) & (h & 0x3FF != 0)
    # A NaN comes back quiet with its payload: (s << 31) | 0x7FC00000 | (f << 13).
    expected[nan] = ((h[nan] & 0x8000) << 16) | 0x7FC00000 | ((h[nan] & 0x3FF) << 13)
    assert np.array_equal(got, expected)
    # Encoding a decoded pattern gives it back, a signalling NaN made quiet.
    back = np.array([pw.encode_ieee754_f16(pw.decode_ieee754_f16(int(i))) for i in h])
    assert np.array_equal(back, np.where(nan, h | 0x0200, h))


def _f16_expected(f32_patterns):
    x = f32_patterns.view(np.float32)
    with np.errstate(over="ignore", invalid="ignore"):
        expected = x.astype(np.float16).view(np.uint16).astype(np.int64)
    nan = np.isnan(x)
    p = f32_patterns.astype(np.int64)
    expected[nan] = ((p[nan] >> 16) & 0x8000) | 0x7E00 | ((p[nan] & 0x7FFFFF) >> 13)
    return expected


def test_f16_encode_against_numpy():
    rng = np.random.default_rng(20240607)
    random = rng.integers(0, 2**32, 200_000, dtype=np.uint64)
    # Exponents near every binary16 boundary, with the rounding bits at their edges.
    exponent = rng.integers(98, 146, 100_000, dtype=np.uint64)
    low = rng.choice(np.array([0, 1, 0xFFF, 0x1000, 0x1001, 0x1FFF, 0x2000, 0x3000], dtype=np.uint64), 100_000)
    edges = (rng.integers(0, 2, 100_000, dtype=np.uint64) << 31) | (exponent << 23) | \
        (rng.integers(0, 2**10, 100_000, dtype=np.uint64) << 13 & 0x7FE000) | low
    extremes = np.array([0x7F800000, 0xFF800000, 0x7F800001, 0x7FBFFFFF, 0xFFC00000, 0x7FFFFFFF, 0], dtype=np.uint64)
    patterns = np.concatenate([random, edges, extremes]).astype(np.uint32)
    got = np.array([pw.encode_ieee754_f16(v) for v in patterns.view(np.float32).tolist()])
    assert np.array_equal(got, _f16_expected(patterns))


@given(st.floats(allow_nan=False) | st.floats(-70000, 70000) | st.floats(-2**-13, 2**-13))
def test_f16_encode_rounds_twice(x):
    with np.errstate(over="ignore"):
        narrowed = np.array([x]).astype(np.float32).view(np.uint32)
    assert pw.encode_ieee754_f16(x) == _f16_expected(narrowed)[0]


@given(st.floats())
def test_f32_encode_against_numpy(x):
    with np.errstate(over="ignore"):
        expected = int(np.array([x]).astype(np.float32).view(np.uint32)[0])
    got = pw.encode_ieee754_f32(x)
    if math.isnan(x):
        assert got & 0x7F800000 == 0x7F800000 and got & 0x7FFFFF and got >> 31 == bits64(x) >> 63
    else:
        assert got == expected


@given(U64)
def test_f32_f64_round_trips(p):
    assert pw.encode_ieee754_f64(pw.decode_ieee754_f64(p)) == p
    assert bits64(pw.decode_ieee754_f64(p)) == p
    low = p & 0xFFFFFFFF
    got = pw.decode_ieee754_f32(p)
    if math.isnan(got):
        assert low & 0x7F800000 == 0x7F800000 and low & 0x7FFFFF
    else:
        assert pw.encode_ieee754_f32(got) == low and got == struct.unpack("<f", low.to_bytes(4, "little"))[0]


def f128(sign, exponent, fraction):
    return sign << 127 | exponent << 112 | fraction


FULL = 2**112 - 1


@pytest.mark.parametrize("pattern, expected", [
    (0x3FFF << 112, 1.0), (0x40008 << 108, 3.0), (0xBFFF << 112, -1.0), (0x8000 << 112, -0.0), (0, 0.0),
    (0x7FFF << 112, INF), (0xFFFF << 112, -INF), (0x7FFF8 << 108, NAN), (0xFFFF8 << 108, NAN),
    (f128(0, 0x7FFF, 1), NAN), (f128(1, 0x7FFF, 2**111), NAN), (2**128 - 1, NAN),
    (f128(0, 0x3FFF, FULL), 1.9999999999999998), (f128(1, 0x3FFF, FULL), -1.9999999999999998),
    (f128(0, 0x3C01, 0), 2**-1022), (f128(0, 0x3C00, FULL), 0.0), (f128(1, 0x3C00, FULL), -0.0),
    (f128(1, 0, FULL), -0.0), (f128(0, 0x43FE, FULL), 1.7976931348623157e308), (f128(0, 0x43FF, 0), INF),
    (f128(1, 0x43FF, 0), -INF), (f128(0, 0x43FF, FULL), INF), (f128(1, 0x7FFE, FULL), -INF), (f128(0, 0x3FFF, 2**60), 1 + 2**-52),
    (f128(0, 0x3FFF, 2**60 - 1), 1.0),
])
def test_f128_decode(pattern, expected):
    got = pw.decode_ieee754_f128(pattern)
    assert same(got, expected)
    if math.isnan(expected):
        assert bits64(got) == 0x7FF8000000000000


@given(st.floats(allow_nan=False, allow_infinity=False).filter(lambda x: abs(x) >= 2**-1022),
       st.integers(0, 2**60 - 1))
def test_f128_decode_truncates_normal_values(x, dropped):
    b = bits64(x)
    exponent = (b >> 52 & 0x7FF) - 1023 + 16383
    assert same(pw.decode_ieee754_f128(f128(b >> 63, exponent, (b & (2**52 - 1)) << 60 | dropped)), x)


@given(st.integers(0, 1), st.one_of(st.integers(0, 0x3C00), st.integers(0x43FF, 0x7FFE)), st.integers(0, FULL))
def test_f128_decode_out_of_range(sign, exponent, fraction):
    expected = (INF if exponent > 0x4000 else 0.0) * (-1 if sign else 1)
    assert same(pw.decode_ieee754_f128(f128(sign, exponent, fraction)), expected)


@pytest.mark.parametrize("args, kwargs, error", [
    ((1.0,), {}, (NotImplementedError, "IEEE 754 f128 encoding not yet implemented")),
    ((NAN,), {}, (NotImplementedError, "IEEE 754 f128 encoding not yet implemented")),
    ((), {"_value": 2**1000}, (NotImplementedError, "IEEE 754 f128 encoding not yet implemented")),
    (("1.0",), {}, (TypeError, "argument '_value': must be real number, not str")),
    ((10**400,), {}, (OverflowError, "int too large to convert to float")),
    ((), {"value": 1.0}, (TypeError, "encode_ieee754_f128() got an unexpected keyword argument 'value'")),
])
def test_f128_encode_is_reserved(args, kwargs, error):
    assert error_of(pw.encode_ieee754_f128, *args, **kwargs) == error


LEGACY = [  # (format, display name, argument conversion)
    ("ieee754_1985_f32", "IEEE 754-1985 f32", 32), ("ieee754_1985_f64", "IEEE 754-1985 f64", 64),
    ("ieee754_1985_f80", "IEEE 754-1985 f80", 64), ("mil_std_1750a_f32", "MIL-STD-1750A f32", 32),
    ("mil_std_1750a_f48", "MIL-STD-1750A f48", 64), ("ti_f32", "TI f32", 32), ("ti_f40", "TI f40", 64),
    ("dec_f32", "DEC f32", 32), ("dec_f64", "DEC f64", 64), ("ibm_f32", "IBM f32", 32), ("ibm_f64", "IBM f64", 64),
]


@pytest.mark.parametrize("fmt, display, width", LEGACY, ids=[f for f, _, _ in LEGACY])
def test_legacy_formats_are_reserved(fmt, display, width):
    encoder, decoder = getattr(pw, f"encode_{fmt}"), getattr(pw, f"decode_{fmt}")
    encoding = (NotImplementedError, f"{display} encoding not yet implemented")
    for value in (1.0, 0, -0.0, NAN, 1e300, True, np.float32(2.5), 2**1000):
        assert error_of(encoder, value) == error_of(encoder, _value=value) == encoding
    decoding = (NotImplementedError, f"{display} format not yet implemented")
    for value in (0, 2**64 - 1, np.uint64(7)):
        assert error_of(decoder, value) == error_of(decoder, _value=value) == decoding
    # Conversion fails first, exactly as for the IEEE 754 functions with the same argument type.
    twin_encoder = pw.encode_ieee754_f32 if width == 32 else pw.encode_ieee754_f64
    for bad in ("1", None, 10**400, -10**400):
        kind, message = error_of(twin_encoder, bad)
        assert error_of(encoder, bad) == (kind, message.replace("'value'", "'_value'"))
    for bad in (-1, 2**64, 1.5, "0"):
        kind, message = error_of(pw.decode_ieee754_f64, bad)
        assert error_of(decoder, bad) == (kind, message.replace("'value'", "'_value'"))
    assert error_of(decoder, value=0) == (TypeError, f"decode_{fmt}() got an unexpected keyword argument 'value'")
    assert error_of(encoder) == (TypeError, f"encode_{fmt}() missing 1 required positional argument: '_value'")
