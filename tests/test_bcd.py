"""Packed and unpacked (zoned) binary-coded decimal codecs."""
import pytest
from hypothesis import given, strategies as st

import packweaver as pw

MAX_SIZE = 2**64 - 1
I64_MIN, I64_MAX = -2**63, 2**63 - 1
P, U = "packed_bcd", "unpacked_bcd"
NEGATIVE = "Cannot encode negative value in unsigned BCD"
SIGN_NIBBLE = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"


def digit(d):
    return f"Invalid BCD digit: {d} (must be 0-9)"


def too_many(value, digits):
    return f"Value {value} has too many digits for {digits} BCD digits"


def zoned(byte):
    return f"Invalid zoned decimal byte: 0x{byte:02X} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"


def zoned_sign(byte):
    return (f"Invalid zoned decimal signed byte: 0x{byte:02X} "
            "(expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)")


def outcome(fn, *args):
    try:
        return fn(*args)
    except ValueError as e:
        assert type(e) is ValueError
        return str(e)


def encode(layout, value, bits, signed=False):
    return outcome(getattr(pw, f"encode_{layout}"), value, bits, signed)


def decode(layout, pattern, bits, signed=False):
    return outcome(getattr(pw, f"decode_{layout}"), pattern, bits, signed)


@pytest.mark.parametrize("layout, value, bits, signed, expected", [
    (P, 1234, 16, False, 0x1234), (P, 99, 10, False, 0x99), (P, 5, 7, False, 5), (P, 0, 4, False, 0),
    (P, 9999999999999999, 64, False, 0x9999999999999999), (P, 123, 16, True, 0x123C), (P, -123, 16, True, 0x123D),
    (P, 0, 4, True, 0xC), (P, -999999999999999, 64, True, 0x999999999999999D), (P, -7, 9, True, 0x7D),
    (P, 1234, 16, True, too_many(1234, 3)), (P, 1, 4, True, too_many(1, 0)), (P, 10, 4, False, too_many(10, 1)),
    (P, I64_MAX, 64, False, too_many(I64_MAX, 16)), (P, I64_MIN, 64, True, too_many(I64_MIN, 15)),
    (P, -1, 16, False, NEGATIVE), (P, -1000, 16, False, NEGATIVE),
    (P, 5, 3, False, "bits must be >= 4 for packed BCD"), (P, -1, 0, False, "bits must be >= 4 for packed BCD"),
    (P, -1, 65, False, "bits must be <= 64 for packed BCD"), (P, 0, MAX_SIZE, True, "bits must be <= 64 for packed BCD"),
    (U, 123, 24, False, 0x010203), (U, 123, 24, True, 0xF1F2C3), (U, -123, 24, True, 0xF1F2D3),
    (U, 0, 16, True, 0xF0C0), (U, -5, 8, True, 0xD5), (U, 7, 15, False, 7), (U, 0, 8, False, 0),
    (U, 99999999, 64, False, 0x0909090909090909), (U, -99999999, 64, True, 0xF9F9F9F9F9F9F9D9),
    (U, 1234, 24, False, too_many(1234, 3)), (U, -100000000, 64, True, too_many(-100000000, 8)),
    (U, I64_MIN, 64, True, too_many(I64_MIN, 8)),
    (U, -123, 24, False, NEGATIVE), (U, -1234, 24, False, NEGATIVE),
    (U, 5, 7, False, "bits must be >= 8 for unpacked BCD"), (U, -5, 7, True, "bits must be >= 8 for unpacked BCD"),
    (U, -1, 65, False, "bits must be <= 64 for unpacked BCD"),
    (U, 0, MAX_SIZE, True, "bits must be <= 64 for unpacked BCD"),
])
def test_encode(layout, value, bits, signed, expected):
    assert encode(layout, value, bits, signed) == expected


@pytest.mark.parametrize("layout, pattern, bits, signed, expected", [
    (P, 0x1234, 16, False, 1234), (P, 0x123D, 16, True, -123), (P, 0x123B, 16, True, -123),
    (P, 0x123A, 16, True, 123), (P, 0x123C, 16, True, 123), (P, 0x123E, 16, True, 123), (P, 0x123F, 16, True, 123),
    (P, 0x0D, 8, True, 0), (P, 0xD, 4, True, 0), (P, 0x5C, 4, True, 0), (P, 0xFFFF, 3, False, 0),
    (P, 0xFFFF, 0, True, 0), (P, 0xF1234, 16, False, 1234), (P, 0x1234, 15, False, 234),
    (P, 0x9999999999999999, 64, False, 9999999999999999), (P, 0x999999999999999D, 64, True, -999999999999999),
    (P, 0x1239, 16, True, SIGN_NIBBLE), (P, 0xA5, 8, True, SIGN_NIBBLE), (P, 0x12A4, 16, False, digit(10)),
    (P, 0xAB, 8, False, digit(11)), (P, 0xF00C, 16, True, digit(15)),
    (P, 0x1234, 128, False, 1234), (P, 0x123D, 2**63, True, -123), (P, 0x123D, MAX_SIZE, True, -123),
    (P, 0xF000000000000000, 2**63, False, digit(15)),
    (U, 0x010203, 24, False, 123), (U, 0xF1F2D3, 24, True, -123), (U, 0x313233, 24, True, 123),
    (U, 0x39F9, 16, True, 99), (U, 0xFFFF0102, 16, False, 12), (U, 0x0102, 12, False, 2), (U, 0xFF, 7, True, 0),
    (U, 0x0909090909090909, 64, False, 99999999), (U, 0xF9F9F9F9F9F9F9D9, 64, True, -99999999),
    (U, 0x313233, 24, False, digit(51)), (U, 0x0A01, 16, False, digit(10)), (U, 0x0B0A, 16, False, digit(10)),
    (U, 0xF1F2A3, 24, True, zoned_sign(0xA3)), (U, 0xF1C2C3, 24, True, zoned(0xC2)),
    (U, 0x00C2, 16, True, zoned(0x00)), (U, 0xC2A1, 16, True, zoned_sign(0xA1)),
    (U, 0x0102, 2**63, False, 12), (U, 0x0102, MAX_SIZE, False, 12), (U, 0x0A, 2**63, False, digit(10)),
    (U, 0xF0F0F0F0F0F0F1C2, 64, True, 12), (U, 0xF0F0F0F0F0F0F1C2, 72, True, zoned(0x00)),
    (U, 0xF0F0F0F0F0F0F1D2, 2**63, True, zoned(0x00)), (U, 0xF0F0F0F0F0ABF1C2, 2**63, True, zoned(0xAB)),
    (U, 0xF0F0F0F0F0F0F1AB, MAX_SIZE, True, zoned_sign(0xAB)),
])
def test_decode(layout, pattern, bits, signed, expected):
    assert decode(layout, pattern, bits, signed) == expected


def test_every_sign_and_zone():
    for s in range(16):
        assert decode(P, 0x70 | s, 8, True) == (SIGN_NIBBLE if s < 0xA else -7 if s in (0xB, 0xD) else 7)
    for b in range(256):
        zone, low = b >> 4, b & 0xF
        assert decode(U, b, 8) == (b if b <= 9 else digit(b))
        accepted = low <= 9 and zone in (0x3, 0xC, 0xD, 0xF)
        assert decode(U, 0xF000 | b, 16, True) == ((-low if zone == 0xD else low) if accepted else zoned_sign(b))
        accepted = low <= 9 and zone in (0x3, 0xF)
        assert decode(U, b << 8 | 0xC1, 16, True) == (low * 10 + 1 if accepted else zoned(b))


def _expected_pattern(layout, value, bits, signed):
    """The field written out digit by digit as hexadecimal text."""
    digits = str(abs(value))
    if layout == P:
        return int(digits + ("D" if value < 0 else "C" if signed else ""), 16)
    zones = "F" * (bits // 8 - 1) + ("D" if value < 0 else "C") if signed else "0" * (bits // 8)
    digits = digits.zfill(bits // 8)
    return int("".join(z + d for z, d in zip(zones, digits)), 16)


@st.composite
def bcd_case(draw):
    layout, signed = draw(st.sampled_from([P, U])), draw(st.booleans())
    bits = draw(st.integers(4 if layout == P else 8, 64))
    room = bits // 4 - signed if layout == P else bits // 8
    edges = [10**room - 1, 10**room, 10**max(room - 1, 0)]
    value = draw(st.one_of(st.integers(-10**(room + 1), 10**(room + 1)), st.integers(I64_MIN, I64_MAX),
                           st.sampled_from(edges + [-e for e in edges])))
    return layout, max(min(value, I64_MAX), I64_MIN), bits, signed, room


@given(bcd_case())
def test_round_trip_every_width(case):
    layout, value, bits, signed, room = case
    got = encode(layout, value, bits, signed)
    if value < 0 and not signed:
        assert got == NEGATIVE
    elif len(str(abs(value))) > room and value != 0:
        assert got == too_many(value, room)
    else:
        assert got == _expected_pattern(layout, value, bits, signed)
        assert got < 2**bits
        assert decode(layout, got, bits, signed) == value
