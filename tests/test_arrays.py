"""unpack_array and pack_array: packed samples against a reference model.

The model reads the buffer as one big-endian integer and cuts sample k at
bit offset + k * stride; the codecs are the module's own single-value
decoders, already held against theirs elsewhere.
"""

import array
import struct

import pytest
from hypothesis import given, strategies as st

import packweaver as pw

DECODE = {
    "unsigned": lambda v, bits: v,
    "twos_complement": pw.decode_twos_complement,
    "ones_complement": pw.decode_ones_complement,
    "sign_magnitude": pw.decode_sign_magnitude,
}


def model(buf, bits, encoding="unsigned", count=None, offset=0, stride=None):
    stride = stride or bits
    total = len(buf) * 8
    if count is None:
        count = 0 if offset + bits > total else (total - offset - bits) // stride + 1
    whole = int.from_bytes(buf, "big")
    out = []
    for k in range(count):
        pos = offset + k * stride
        out.append(DECODE[encoding]((whole >> (total - pos - bits)) & ((1 << bits) - 1), bits))
    return out


@given(st.binary(max_size=64), st.integers(1, 64), st.sampled_from(sorted(DECODE)), st.integers(0, 20),
       st.integers(0, 9))
def test_unpack_array_matches_the_model(buf, bits, encoding, offset, extra):
    if encoding == "sign_magnitude" and bits == 1:
        return
    got = pw.unpack_array(buf, bits, encoding=encoding, offset_bits=offset, stride_bits=bits + extra)
    assert list(got) == model(buf, bits, encoding, offset=offset, stride=bits + extra)


@given(st.lists(st.integers(0, 2**64 - 1), max_size=40), st.integers(1, 64), st.integers(0, 13), st.integers(0, 5))
def test_pack_array_is_the_inverse(values, bits, offset, extra):
    values = [v & ((1 << bits) - 1) for v in values]
    packed = pw.pack_array(values, bits, offset_bits=offset, stride_bits=bits + extra)
    end = offset + (len(values) - 1) * (bits + extra) + bits if values else offset
    assert len(packed) == (end + 7) // 8
    back = pw.unpack_array(packed, bits, count=len(values), offset_bits=offset, stride_bits=bits + extra)
    assert list(back) == values


@pytest.mark.parametrize(
    "bits, encoding, typecode",
    [(1, "unsigned", "B"), (8, "unsigned", "B"), (10, "unsigned", "H"), (17, "unsigned", "I"), (33, "unsigned", "Q"),
     (12, "twos_complement", "h"), (48, "twos_complement", "q"), (16, "packed_bcd", "H"),
     (16, "ieee754_f16", "f"), (32, "ieee754_f32", "f"), (64, "ieee754_f64", "d")],
)
def test_narrowest_typecode(bits, encoding, typecode):
    assert pw.unpack_array(bytes(16), bits, encoding=encoding).typecode == typecode


@pytest.mark.parametrize("fmt, bits, encoding", [("<4h", 16, "twos_complement"), ("<4I", 32, "unsigned"),
                                                  ("<4f", 32, "ieee754_f32"), ("<4d", 64, "ieee754_f64")])
def test_little_byte_order_against_struct(fmt, bits, encoding):
    values = (1, -2, 3, -4) if "h" in fmt else (1.5, -2.25, 3.0, 1e30) if "f" in fmt or "d" in fmt else (1, 2, 3, 4**10)
    data = struct.pack(fmt, *values)
    got = pw.unpack_array(data, bits, encoding=encoding, byte_order="little")
    assert list(got) == [struct.unpack(fmt[-1], struct.pack(fmt[-1], v))[0] for v in values]
    assert pw.pack_array(got, bits, encoding=encoding, byte_order="little") == data


def test_ten_bit_samples_and_records():
    samples = [(k * 37) % 1024 for k in range(1000)]
    packed = pw.pack_array(samples, 10)
    assert len(packed) == 1250
    assert pw.unpack_array(packed, 10) == array.array("H", samples)
    # 48-bit records: a 12-bit two's complement value at bit 4 of each.
    records = pw.pack_array([(((k - 500) & 0xFFF) << 32) for k in range(100)], 48)
    assert list(pw.unpack_array(records, 12, encoding="twos_complement", offset_bits=4, stride_bits=48)) == \
        [k - 500 for k in range(100)]
    np = pytest.importorskip("numpy")
    assert np.asarray(pw.unpack_array(packed, 10)).dtype == np.uint16


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: pw.unpack_array(b"ab", 0), ValueError, "bits must be 1 to 64"),
        (lambda: pw.unpack_array(b"ab", 65), ValueError, "bits must be 1 to 64"),
        (lambda: pw.unpack_array(b"ab", 8, encoding="utf8"), ValueError, "unsupported encoding"),
        (lambda: pw.unpack_array(b"ab", 8, encoding="ieee754_f128"), ValueError, "unsupported encoding"),
        (lambda: pw.unpack_array(b"ab", 16, encoding="ieee754_f32"), ValueError, "binary32 sample is 32 bits"),
        (lambda: pw.unpack_array(b"ab", 12, byte_order="little"), ValueError, "whole bytes"),
        (lambda: pw.unpack_array(b"ab", 8, byte_order="LE"), ValueError, "byte_order"),
        (lambda: pw.unpack_array(b"ab", 8, stride_bits=4), ValueError, "less than bits"),
        (lambda: pw.unpack_array(b"ab", 8, count=3), ValueError, "buffer too short: 3 samples of 8 bits"),
        (lambda: pw.unpack_array(b"ab", 8, count=2, offset_bits=1), ValueError, "need 3 bytes, buffer has 2"),
        (lambda: pw.unpack_array(b"ab", 8, offset_bits=-1), (OverflowError, ValueError), None),
        (lambda: pw.unpack_array("ab", 8), TypeError, "buffer"),
        (lambda: pw.unpack_array(b"\x1a", 8, encoding="bcd"), ValueError, "Invalid BCD digit"),
        (lambda: pw.pack_array([1, 2, 300], 8), ValueError, "too large for 8 bits"),
        (lambda: pw.pack_array([1.5], 8), TypeError, None),
        (lambda: pw.pack_array(5, 8), TypeError, "sequence of numbers"),
    ],
)
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


@pytest.mark.parametrize("call, note", [
    (lambda: pw.unpack_array(b"\x05\x0a", 8, encoding="bcd"), "at sample 1"),
    (lambda: pw.pack_array([1, 2, 300], 8), "at sample 2"),
])
def test_a_failing_sample_is_named(call, note):
    with pytest.raises(ValueError) as e:
        call()
    assert e.value.__notes__ == [note]


def test_pack_array_holds_each_value_while_it_converts():
    values = []

    class Shrinks:
        def __index__(self):
            values.clear()
            return 3

    values[:] = [Shrinks(), Shrinks(), 7]
    with pytest.raises(RuntimeError, match="changed size"):
        pw.pack_array(values, 8)


def test_empty_and_large():
    assert len(pw.unpack_array(b"", 8)) == 0 and pw.pack_array([], 8) == b""
    assert len(pw.unpack_array(b"a", 8, offset_bits=2)) == 0
    big = bytes(range(256)) * 1000  # over the size read without the lock
    assert pw.unpack_array(big, 16) == array.array("H", struct.unpack(">128000H", big))
