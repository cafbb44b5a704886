"""Recipe.unpack_columns and iter_unpack: a stream of packets read field by field.

The columns must hold exactly what reading the packets one by one gives, in arrays of the
narrowest type that holds every value a field can decode to, and fail with the error the
packet-by-packet reading reports first.
"""
import array
import functools

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import packweaver as pw

# The recipes of these tests follow the packet functions' item contract (faults met at
# use, the whole-byte reader), which the exact recipe refuses at construction.
whole_bytes = functools.partial(pw.Recipe, bit_exact=False)
from test_recipe import (BIG_LITTLE, exact_recipe, CANONS, LEGACY, PACKER, PLAIN_SPELLINGS, ROLL, canonical, good_value, it,
                         outcome, typed)

SIGNED = {"twos_complement", "ones_complement", "sign_magnitude", "bcd_signed", "packed_bcd_signed"}


def decoded_range(canon, bits):
    """The least and greatest value a field of this encoding and width decodes to."""
    if canon == "unsigned":
        return 0, 2**min(bits, 64) - 1
    if canon in ("twos_complement", "ones_complement"):
        if bits == 0:
            return 0, 0
        half = 2**(min(bits, 64) - 1)
        return -half + (canon == "ones_complement"), half - 1
    if canon == "sign_magnitude":
        top = 0 if bits == 0 else 2**((bits - 1) % 64) - 1  # the sign bit's place is taken modulo 64
        return -top, top
    digits = {"bcd": min(bits // 8, 8), "bcd_signed": min(bits // 8, 8), "packed_bcd": min(bits // 4, 16),
              "packed_bcd_signed": max(min(bits // 4, 16) - 1, 0)}[canon]
    return (0 if canon in ("bcd", "packed_bcd") else 1 - 10**digits), 10**digits - 1


def typecode(canon, bits):
    """The narrowest array typecode that holds every value a field of this encoding and width decodes to."""
    if canon in ("ieee754_f16", "ieee754_f32"):
        return "f"
    if canon == "ieee754_f64":
        return "d"
    low, high = decoded_range(canon, bits)
    codes = "bhiq" if canon in SIGNED else "BHIQ"
    return next(c for c in codes if low >= -(2**(8 * array.array(c).itemsize - 1)) * (c in "bhiq")
                and high < 2**(8 * array.array(c).itemsize - (c in "bhiq")))


def packets(buffer, stride):
    return [buffer[k:k + stride] for k in range(0, len(buffer), stride)]


def one_by_one(r, buffer, stride, offset):
    """The dicts of the packets read one by one, up to the first failure, and that failure's text."""
    dicts = []
    for packet in packets(buffer, stride):
        got = outcome(r.unpack, packet, offset)
        if got[0] == "err":
            return dicts, got[1]
        dicts.append(r.unpack(packet, offset))
    return dicts, None


def check_columns(r, recipe, buffer, stride, offset):
    dicts, error = one_by_one(r, buffer, stride or r.size, offset)
    got = outcome(r.unpack_columns, buffer, stride, offset)
    # iter_unpack yields the same dicts, then raises the same failure.
    iterator = r.iter_unpack(buffer, stride, offset)
    seen = []
    try:
        for d in iterator:
            seen.append(typed(d))
    except ValueError as e:
        assert str(e) == error
    else:
        assert error is None
    assert seen == [typed(d) for d in dicts]
    if error is not None:
        assert got == ("err", error)
        return None
    assert got[0] == "ok"
    columns = r.unpack_columns(buffer, stride, offset)
    last = {i["name"]: i for i in recipe}  # a repeated name keeps the last item's values
    assert list(columns) == list(dict.fromkeys(i["name"] for i in recipe))
    for name, column in columns.items():
        values = [d[name] for d in dicts]
        canon = canonical(last[name]["encoding"])
        if canon is None and not values:  # no packets of a field that cannot be decoded
            assert len(column) == 0
            continue
        if canon is not None and PACKER[canon][0] == "t":
            assert type(column) is list and typed(column) == typed(values)
            continue
        assert type(column) is array.array
        assert column.typecode == typecode(canon, last[name]["bits"]), (canon, last[name]["bits"])
        assert typed(column.tolist()) == typed(values)
        if len(column):
            view = np.asarray(column)
            assert view.__array_interface__["data"][0] == column.buffer_info()[0]
            assert view.dtype.itemsize == column.itemsize and view.tobytes() == column.tobytes()
    return columns


# ---- the property ----

OTHER = st.sampled_from(["latin1", "ieee754_f128", "nonsense"] + LEGACY)
WIDTHS = st.integers(0, 99).flatmap(lambda k: st.integers(0, 72) if k < 94 else st.sampled_from([96, 128]))


@st.composite
def column_items(draw, name):
    if draw(ROLL) < 90:
        canon = draw(CANONS)
        enc = draw(PLAIN_SPELLINGS[canon])
    else:
        canon, enc = None, draw(OTHER)
    bits = draw(WIDTHS)
    order = draw(BIG_LITTLE) if draw(ROLL) < 97 else "middle"
    item = it(bits, enc, order, draw(st.booleans()), name)
    if draw(ROLL) < 20:
        item["offset_bits"] = draw(st.integers(0, 40))
    if canon is not None:
        item["value"] = draw(good_value(canon, bits))
    return item


recipes = st.lists(st.sampled_from("abcd"), max_size=5).flatmap(
    lambda names: st.tuples(*[column_items(n) for n in names]).map(list))


@settings(max_examples=150)
@given(recipe=recipes, exact=st.booleans(), data=st.data())
def test_columns_equal_the_packets_read_one_by_one(recipe, exact, data):
    undecodable = any(canonical(i["encoding"]) is None and i["encoding"] != "nonsense" for i in recipe)
    r = whole_bytes(recipe) if not exact else exact_recipe(recipe)
    if r is None:  # items an exact recipe refuses
        return
    stride = data.draw(st.sampled_from([None, r.size, r.size + 1, r.size + 3, max(r.size - 1, 1)]))
    if not (stride or r.size):
        stride = 1
    n = stride or r.size
    own = outcome(r.pack)
    own = r.pack() if own[0] == "ok" else bytes(r.size)
    count = data.draw(st.integers(1 if undecodable else 0, 5))  # see test_no_packets_of_a_field...
    buffer = b"".join(data.draw(st.sampled_from([own.ljust(n, b"\0")[:n], bytes(n)]) | st.binary(min_size=n, max_size=n))
                      for _ in range(count))
    offset = data.draw(st.sampled_from([0, 0, 0, 3, 8, 13]))
    check_columns(r, recipe, buffer, stride, offset)


# ---- typecodes ----

@pytest.mark.parametrize("enc, bits, code", [
    ("unsigned", 0, "B"), ("unsigned", 8, "B"), ("unsigned", 9, "H"), ("unsigned", 32, "I"), ("unsigned", 33, "Q"),
    ("unsigned", 100, "Q"), ("twos_complement", 1, "b"), ("twos_complement", 8, "b"), ("twos_complement", 9, "h"),
    ("ones_complement", 17, "i"), ("sign_magnitude", 33, "q"), ("sign_magnitude", 64, "q"),
    ("twos_complement", 100, "q"), ("bcd", 16, "B"), ("bcd", 24, "H"), ("bcd", 40, "I"), ("bcd", 100, "I"),
    ("bcd_signed", 16, "b"), ("bcd_signed", 40, "i"), ("packed_bcd", 8, "B"), ("packed_bcd", 12, "H"),
    ("packed_bcd", 40, "Q"), ("packed_bcd_signed", 4, "b"), ("packed_bcd_signed", 12, "b"),
    ("packed_bcd_signed", 16, "h"), ("packed_bcd_signed", 64, "q"), ("packed_bcd_signed", 100, "q"),
    ("ieee754_f16", 16, "f"), ("ieee754_f32", 8, "f"), ("ieee754_f64", 64, "d"), ("ieee754_f64", 32, "d"),
    ("sign_magnitude", 65, "b"), ("sign_magnitude", 72, "b"),
])
def test_typecodes(enc, bits, code):
    assert typecode(canonical(enc), bits) == code
    r = whole_bytes([it(bits, enc)])
    stride = max(r.size, 1)
    packet = bytearray(b"\xf0" * stride if canonical(enc) == "bcd_signed" else bytes(stride))
    if canonical(enc) == "packed_bcd_signed":
        packet[min(stride, 8) - 1] = 0x0C  # a sign nibble where the field integer ends
    columns = r.unpack_columns(bytes(packet) * 2, stride)
    assert columns["p"].typecode == code


@pytest.mark.parametrize("item, extremes", [
    (it(8, "twos_complement"), ["80", "7f"]), (it(16, "sign_magnitude"), ["ffff", "7fff"]),
    (it(64, "ones_complement"), ["8000000000000000", "7fffffffffffffff"]),
    (it(64, "unsigned"), ["ffffffffffffffff"]), (it(16, "packed_bcd_signed"), ["999d", "999c"]),
    (it(24, "bcd_signed"), ["f9f9d9", "393939"]), (it(32, "bcd"), ["09090909"]),
    (it(64, "packed_bcd"), ["9999999999999999"]),
])
def test_extreme_values_fit_their_columns(item, extremes):
    r = whole_bytes([item])
    buffer = bytes.fromhex("".join(extremes))
    columns = check_columns(r, [item], buffer, None, 0)
    assert columns["p"].tolist() == [r.unpack(bytes.fromhex(e))["p"] for e in extremes]


def test_float_columns_keep_nan_payloads_and_signed_zeros():
    recipe = [it(16, "ieee754_f16", name="h"), it(32, "ieee754_f32", name="s"), it(64, "ieee754_f64", name="d")]
    r = whole_bytes(recipe)
    rows = ["7d01" "7f800001" "7ff0000000000001", "8000" "80000000" "8000000000000000",
            "fe00" "ffc12345" "fff8000000abcdef", "7c00" "ff800000" "7ff0000000000000"]
    check_columns(r, recipe, bytes.fromhex("".join(rows)), None, 0)


# ---- failures: the first one a packet-by-packet reading meets ----

FAULTY = [
    # A field every packet fails on.
    ([it(8, name="a"), it(8, "ti_f32", name="b")], "00" * 4, "NotImplementedError: TI f32 format not yet implemented"),
    ([it(8, name="a"), it(64, "ieee754_f128", name="b")], "00" * 18, "f128"),
    ([it(8, name="a"), it(8, "nonsense", name="b")], "00" * 4, "Unsupported encoding type: nonsense"),
    ([it(8, name="a"), it(8, order="Middle", name="b")], "00" * 4, "Invalid byte_order 'Middle'"),
    # Decoding faults: the earliest packet wins, then the earliest field in it.
    ([it(8, "bcd", name="a"), it(8, "us_ascii", name="b")], "0041" "0a41" "0080", "Invalid BCD digit: 10"),
    ([it(8, "bcd", name="a"), it(8, "us_ascii", name="b")], "0041" "0080" "0a41", "Invalid US-ASCII byte: 0x80"),
    ([it(8, "us_ascii", name="b"), it(8, "bcd", name="a")], "4100" "800a", "Invalid US-ASCII byte: 0x80"),
    ([it(8, "bcd", name="a"), it(8, "us_ascii", name="b")], "0a80", "Invalid BCD digit: 10"),
    ([it(8, "packed_bcd_signed", name="a"), it(8, "bcd", name="c")], "1c00" "1c0b" "1900", "Invalid BCD digit: 11"),
    ([it(16, "utf16", name="t"), it(4, "packed_bcd", name="a")], "feff00" "0041ff", "Invalid BCD digit: 15"),
    ([it(8, "utf8", name="t"), it(0, "ti_f40", name="z")], "ff", "Invalid UTF-8 bytes"),
]


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("recipe, buffer, fragment", FAULTY)
def test_failures_are_those_of_the_packet_by_packet_reading(recipe, buffer, fragment, exact):
    r = whole_bytes(recipe) if not exact else exact_recipe(recipe)
    if r is None:  # a field that no packet could read: an exact recipe refuses it when it is made
        assert fragment in ("NotImplementedError: TI f32 format not yet implemented", "f128",
                            "Unsupported encoding type: nonsense", "Invalid byte_order 'Middle'", "Invalid UTF-8 bytes")
        return
    stride = max(r.size, 1)
    buffer = bytes.fromhex(buffer)
    dicts, error = one_by_one(r, buffer, stride, 0)
    assert error is not None and fragment in error
    check_columns(r, recipe, buffer, stride, 0)


# Faults put into a long stream: (packet, byte, value). Byte 4 is the unpacked BCD field c, byte 7
# the first of the UTF-16 field e, byte 9 the packed BCD field f, after them in the recipe.
@pytest.mark.parametrize("faults", [
    [], [(0, 4, 0x0B)], [(4_499, 4, 0x0B)], [(3_000, 9, 0xAA), (3_000, 4, 0x0B)], [(3_000, 9, 0xAA), (3_001, 4, 0x0B)],
    [(3_000, 7, 0xD8), (3_000, 4, 0x0B)], [(3_000, 7, 0xD8), (3_000, 9, 0x0A)], [(2_999, 9, 0x0A), (3_000, 7, 0xD8)],
])
def test_long_streams(faults):
    """Long enough for the numeric columns to be read without the interpreter lock."""
    recipe = [it(12, name="a"), it(20, "twos_complement", "little", True, name="b"), it(8, "bcd", name="c"),
              it(16, "ieee754_f16", name="d"), it(16, "utf16be", name="e"), it(8, "packed_bcd", name="f")]
    r = whole_bytes(recipe)
    rows = np.random.default_rng(len(faults)).integers(0, 256, size=(4_500, r.size), dtype=np.uint8)
    rows[:, 4] %= 10  # valid digits
    rows[:, 7:9] = (0x00, 0x41)  # a plain character
    rows[:, 9] = 0x42
    for packet, byte, value in faults:
        rows[packet, byte] = value
    check_columns(r, recipe, rows.tobytes(), None, 0)


# ---- empty streams ----

@pytest.mark.parametrize("enc", ["unsigned", "twos_complement", "bcd", "packed_bcd_signed", "ieee754_f16",
                                 "ieee754_f64", "utf8", "latin1"])
def test_no_packets(enc):
    r = whole_bytes([it(8, enc, name="x")])
    columns = r.unpack_columns(b"")
    assert list(columns) == ["x"] and len(columns["x"]) == 0 and list(r.iter_unpack(b"")) == []


@pytest.mark.parametrize("enc", ["ti_f32", "ieee754_f128", "mil-std-1750a-f48"])
def test_no_packets_of_a_field_that_cannot_be_decoded(enc):
    r = whole_bytes([it(64, enc, name="x"), it(8, name="y")])
    columns = r.unpack_columns(b"")
    assert list(columns) == ["x", "y"] and len(columns["x"]) == 0 == len(columns["y"])


# ---- shapes of streams ----

@pytest.mark.parametrize("stride, offset", [(None, 0), (2, 0), (5, 0), (5, 16), (5, 20), (1, 0), (3, 12)])
def test_strides_and_offsets(stride, offset):
    recipe = [it(4, name="a"), it(12, "twos_complement", name="b")]
    r = whole_bytes(recipe)
    buffer = bytes(range(1, 31))
    check_columns(r, recipe, buffer, stride, offset)


def test_duplicate_names_take_the_last_field():
    recipe = [it(8, name="a"), it(8, "utf8", name="b"), it(8, "latin1", name="a"), it(4, name="b", offset_bits=4)]
    r = whole_bytes(recipe)
    columns = check_columns(r, recipe, b"ABC" * 3, None, 0)
    assert columns == {"a": ["C"] * 3, "b": array.array("B", [1] * 3)}


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: array.array("B", b),
                                  lambda b: np.frombuffer(b, dtype=np.uint8).reshape(-1, 4),
                                  lambda b: np.frombuffer(b, dtype=np.int32)])
def test_buffer_kinds(make):
    recipe = [it(16, name="a"), it(16, "twos_complement", "little", name="b")]
    r = whole_bytes(recipe)
    data = bytes(range(0x30, 0x30 + 24))
    assert r.unpack_columns(make(data)) == r.unpack_columns(data)
    assert list(r.iter_unpack(make(data))) == list(r.iter_unpack(data))


def test_columns_are_new_and_writable():
    r = whole_bytes([it(8, name="a")])
    data = bytearray(b"\x01\x02")
    first = r.unpack_columns(data)
    first["a"][0] = 9
    np.asarray(first["a"])[1] = 7
    assert first["a"].tolist() == [9, 7] and r.unpack_columns(data)["a"].tolist() == [1, 2] and data == b"\x01\x02"
    data.append(3)  # no export of the buffer is left behind
