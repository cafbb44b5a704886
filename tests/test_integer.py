"""Two's complement, ones' complement and sign-magnitude codecs."""
import pytest
from hypothesis import given, strategies as st

import packweaver as pw

MAX_SIZE = 2**64 - 1
I64_MIN, I64_MAX = -2**63, 2**63 - 1
TWOS, ONES, SM = "twos_complement", "ones_complement", "sign_magnitude"
WIDTH_TOO_LARGE = {TWOS: "bits must be <= 64 for two's complement encoding",
                   ONES: "bits must be <= 64 for ones' complement encoding",
                   SM: "bits must be between 2 and 64 for sign-magnitude encoding"}
WIDTH_ZERO = {TWOS: "bits must be >= 1 for two's complement encoding",
              ONES: "bits must be >= 1 for ones' complement encoding", SM: WIDTH_TOO_LARGE[SM]}


def raises(kind, message, fn, *args):
    with pytest.raises(kind) as info:
        fn(*args)
    assert type(info.value) is kind and str(info.value) == message


def encode(codec, value, bits):
    return getattr(pw, f"encode_{codec}")(value, bits)


def decode(codec, pattern, bits):
    return getattr(pw, f"decode_{codec}")(pattern, bits)


@pytest.mark.parametrize("codec, value, bits, expected", [
    (TWOS, -1, 8, 255), (TWOS, -128, 8, 128), (TWOS, 127, 8, 127), (TWOS, -1, 64, MAX_SIZE),
    (TWOS, I64_MIN, 64, 2**63), (TWOS, -1, 1, 1), (TWOS, 0, 1, 0), (TWOS, -2**62, 63, 2**62),
    (TWOS, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    (TWOS, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    (TWOS, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (TWOS, I64_MIN, 63, "Value -9223372036854775808 out of range for 63 bits "
                        "(range: -4611686018427387904 to 4611686018427387903)"),
    (ONES, -1, 8, 254), (ONES, -127, 8, 128), (ONES, 127, 8, 127), (ONES, -1, 64, MAX_SIZE - 1),
    (ONES, I64_MAX, 64, I64_MAX), (ONES, -I64_MAX, 64, 2**63), (ONES, 0, 1, 0),
    (ONES, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (ONES, 128, 8, "Value 128 is too large for 8 bits"), (ONES, 1, 1, "Value 1 is too large for 1 bits"),
    (ONES, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (ONES, I64_MIN, 64, "Value -9223372036854775808 is too large (magnitude) for 64 bits"),
    (SM, -5, 8, 133), (SM, -127, 8, 255), (SM, 0, 2, 0), (SM, -1, 2, 3), (SM, -1, 64, 2**63 + 1),
    (SM, I64_MAX, 64, I64_MAX), (SM, -I64_MAX, 64, MAX_SIZE),
    (SM, -128, 8, "Magnitude of -128 is too large for 8 bits"), (SM, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (SM, I64_MIN, 64, "Magnitude of -9223372036854775808 is too large for 64 bits"),
    (SM, 0, 1, WIDTH_TOO_LARGE[SM]),
])
def test_encode(codec, value, bits, expected):
    if isinstance(expected, str):
        raises(ValueError, expected, encode, codec, value, bits)
    else:
        assert encode(codec, value, bits) == expected


@pytest.mark.parametrize("codec", [TWOS, ONES, SM])
@pytest.mark.parametrize("value", [0, 1, -1, I64_MIN, I64_MAX])
def test_width_is_checked_before_the_value(codec, value):
    for bits, message in [(0, WIDTH_ZERO[codec]), (65, WIDTH_TOO_LARGE[codec]), (2**32, WIDTH_TOO_LARGE[codec]),
                          (MAX_SIZE, WIDTH_TOO_LARGE[codec])]:
        raises(ValueError, message, encode, codec, value, bits)


@pytest.mark.parametrize("codec, pattern, bits, expected", [
    (TWOS, 255, 8, -1), (TWOS, 128, 8, -128), (TWOS, 127, 8, 127), (TWOS, 261, 8, 261), (TWOS, 511, 8, -1),
    (TWOS, MAX_SIZE, 64, -1), (TWOS, 2**63, 8, I64_MIN), (TWOS, 1, 1, -1),
    (TWOS, 2**63, 0, 0), (TWOS, MAX_SIZE, 0, 0), (TWOS, 12345, 0, 12345),
    (TWOS, MAX_SIZE, 65, -1), (TWOS, 2**63 + 5, 200, I64_MIN + 5), (TWOS, MAX_SIZE, MAX_SIZE, -1),
    (ONES, 255, 8, 0), (ONES, 254, 8, -1), (ONES, 128, 8, -127), (ONES, 510, 8, 255), (ONES, 1, 1, 0),
    (ONES, MAX_SIZE, 64, 0), (ONES, MAX_SIZE - 1, 64, -1), (ONES, 2**63, 64, -I64_MAX),
    (ONES, MAX_SIZE, 0, -1), (ONES, 2**63, 0, I64_MIN), (ONES, 7, 0, 7),
    (ONES, MAX_SIZE - 1, 65, -1), (ONES, MAX_SIZE, MAX_SIZE, 0),
    (SM, 128, 8, 0), (SM, 133, 8, -5), (SM, 389, 8, -5), (SM, 2**63 + 5, 64, -5), (SM, 3, 1, 0),
    (SM, 2**63 + 5, 0, -5), (SM, 5, 0, 5),
    (SM, MAX_SIZE, 65, 0), (SM, 3, 66, -1), (SM, 2**63 + 5, 128, -5), (SM, 2**62 + 5, MAX_SIZE, -5),
])
def test_decode(codec, pattern, bits, expected):
    assert decode(codec, pattern, bits) == expected


def _signed64(p):
    return p - 2**64 if p >> 63 else p


def _reference_decode(codec, p, bits):
    """The decoders' rules written out, for any pattern and any width."""
    sign = (bits - 1) % 64
    negative = (p >> sign) & 1
    if codec == SM:
        magnitude = p & ((1 << sign) - 1)
        return -magnitude if negative else magnitude
    if bits >= 64:
        return _signed64(p) + (p >> 63 if codec == ONES else 0)
    if not negative:
        return _signed64(p)
    if codec == TWOS:
        return -((-p % 2**64) % 2**bits)
    return _signed64((p - 2**bits + 1) % 2**64)


@given(st.sampled_from([TWOS, ONES, SM]), st.integers(0, MAX_SIZE),
       st.one_of(st.integers(0, 130), st.integers(0, MAX_SIZE)))
def test_decode_any_pattern_any_width(codec, pattern, bits):
    assert decode(codec, pattern, bits) == _reference_decode(codec, pattern, bits)


@st.composite
def width_and_value(draw):
    codec = draw(st.sampled_from([TWOS, ONES, SM]))
    bits = draw(st.integers(2 if codec == SM else 1, 64))
    half = 2**(bits - 1)
    near_edges = st.integers(max(-half - 2, I64_MIN), min(half + 1, I64_MAX))
    return codec, bits, draw(st.one_of(near_edges, st.integers(I64_MIN, I64_MAX)))


@given(width_and_value())
def test_round_trip_every_width(case):
    codec, bits, value = case
    half = 2**(bits - 1)
    low = -half if codec == TWOS else -(half - 1)
    if low <= value < half:
        pattern = encode(codec, value, bits)
        assert 0 <= pattern < 2**bits
        assert pattern == {TWOS: value % 2**bits, ONES: value % (2**bits - 1) if value else 0,
                           SM: abs(value) | (half if value < 0 else 0)}[codec]
        assert decode(codec, pattern, bits) == value
    else:
        if codec == TWOS:
            message = f"Value {value} out of range for {bits} bits (range: {low} to {half - 1})"
        elif codec == ONES:
            message = f"Value {value} is too large{' (magnitude)' if value < 0 else ''} for {bits} bits"
        else:
            message = f"Magnitude of {value} is too large for {bits} bits"
        raises(ValueError, message, encode, codec, value, bits)
