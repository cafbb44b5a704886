"""The exact Recipe (the default): every item checked when it is made, nothing dropped later."""

import array
import struct

import pytest

import packweaver as pw


def item(bits, encoding="unsigned", **keys):
    return {"name": "p", "encoding": encoding, "bits": bits, **keys}


# Items that would drop bits or fail at every use: refused at construction, naming the item.
@pytest.mark.parametrize("entry, fragment", [
    (item(16, "ieee754_f32"), "'ieee754_f32' fields are 32 bits wide, not 16"),
    (item(64, "ieee754_f32"), "not 64"),
    (item(32, "ieee754_f16"), "'ieee754_f16' fields are 16 bits wide"),
    (item(32, "IEEE754-F64"), "'IEEE754-F64' fields are 64 bits wide, not 32"),
    (item(65), "'unsigned' fields are at most 64 bits wide, not 65"),
    (item(128, "twos_complement"), "at most 64 bits"),
    (item(0), "a field is at least 1 bit wide, not 0"),
    (item(0, "utf8"), "at least 1 bit"),
    (item(12, "bcd"), "whole digits of 8 bits"),
    (item(10, "packed_bcd_signed"), "whole digits of 4 bits"),
    (item(72, "packed_bcd"), "at most 64 bits"),
    (item(12, "utf8"), "'utf8' fields are whole code units of 8 bits, not 12 bits"),
    (item(24, "utf-16be"), "whole code units of 16 bits"),
    (item(48, "utf32"), "whole code units of 32 bits"),
    (item(16, "us_ascii", reverse_bits=True), "reverse_bits applies to numeric fields"),
    (item(12, byte_order="little"), "little byte order needs whole bytes: 12 bits"),
    (item(8, "uint"), "Unsupported encoding type: uint"),
    (item(8, byte_order="bigg"), "Invalid byte_order 'bigg'"),
    (item(8, "latin1"), "'latin1' is read but not packed: name it 'iso-8859-1'"),
    (item(32, "ti_f32"), "'ti_f32' can be neither packed nor read"),
    (item(128, "ieee754_f128"), "neither packed nor read"),
    (item(8, offest_bits=3), "the key 'offest_bits' is unknown"),
    (item(8, count=0), "count is at least 1, not 0"),
    ({"name": "p", "encoding": "unsigned", "bits": 8, 1: 2}, "a key that is not a str"),
])
def test_refused_at_construction(entry, fragment):
    with pytest.raises(ValueError) as info:
        pw.Recipe([item(8, name="first"), dict(entry)])
    text = str(info.value)
    assert text.startswith("ValueError: Recipe item 1 ('p'): ") and fragment in text, text


@pytest.mark.parametrize("entry, error, text", [
    ({"encoding": "unsigned", "bits": 8}, ValueError, "Recipe item 0 has no 'name'"),
    ({"name": "p", "bits": 8}, ValueError, "Recipe item 0 ('p') has no 'encoding'"),
    ({"name": "p", "encoding": "unsigned"}, ValueError, "Recipe item 0 ('p') has no 'bits'"),
    ({"name": "p", "encoding": "unsigned", "bits": "8"}, ValueError, "TypeError: 'str' object cannot be interpreted"),
    ({"name": "p", "encoding": "unsigned", "bits": -1}, ValueError, "OverflowError: can't convert negative"),
    ({"name": 3, "encoding": "unsigned", "bits": 8}, ValueError, "TypeError: 'int' object cannot be cast as 'str'"),
    ({"name": "p", "encoding": "unsigned", "bits": 8, "reverse_bits": "yes"}, ValueError, "TypeError: 'str' object"),
    ("not a dict", ValueError, "TypeError: 'str' object cannot be cast as 'dict'"),
])
def test_faults_of_keys_name_the_item(entry, error, text):
    """A conversion's own failure keeps its text, as the methods report theirs, and names the item in a note."""
    with pytest.raises(error) as info:
        pw.Recipe([entry])
    assert text in str(info.value)
    if error is ValueError and not str(info.value).startswith("KeyError"):
        assert [n for n in getattr(info.value, "__notes__", []) if n.startswith("in Recipe item 0")], info.value


def test_defaults_and_the_whole_byte_contract():
    short = pw.Recipe([item(12), item(4, name="q", reverse_bits=True, value=1)])
    full = pw.Recipe([item(12, byte_order="big", reverse_bits=False), item(4, name="q", byte_order="big",
                                                                           reverse_bits=True, value=1)])
    assert short == full and short.bit_exact and short.unpack(b"\xab\xc8") == {"p": 0xABC, "q": 1}
    # bit_exact=False keeps the module functions' contract, and refuses what only exact recipes understand.
    whole = pw.Recipe([item(12, byte_order="big", reverse_bits=False)], bit_exact=False)
    assert whole.unpack(b"\xab\xc0") == pw.unpack_parameters(b"\xab\xc0", 0, [item(12, byte_order="big",
                                                                                     reverse_bits=False)])
    with pytest.raises(ValueError, match=r"Recipe item 0: the key 'count' needs an exact recipe"):
        pw.Recipe([item(8, byte_order="big", reverse_bits=False, count=3)], bit_exact=False)
    loose = pw.Recipe([item(8, "uint", byte_order="bigg", reverse_bits=False)], bit_exact=False)
    with pytest.raises(ValueError, match="Invalid byte_order"):
        loose.unpack(b"\x00")


NANS32 = [0x7F800001, 0xFFA00000, 0x7FBFFFFF, 0x7FC00001, 0xFFFFFFFF]  # signalling ones first
NANS16 = [0x7C01, 0xFD00, 0x7E01, 0xFFFF]


@pytest.mark.parametrize("encoding, bits, pattern", [("ieee754_f32", 32, p) for p in NANS32] +
                                                    [("ieee754_f16", 16, p) for p in NANS16])
def test_nan_payloads_survive_unpack_then_pack(encoding, bits, pattern):
    r = pw.Recipe([item(bits, encoding), item(4, name="pad")])
    packet = (pattern << 8 | 0xA0).to_bytes(bits // 8 + 1, "big")
    value = r.unpack(packet)["p"]
    assert value != value and r.pack(r.unpack(packet)) == packet
    assert r.pack(list(r.iter_unpack(packet))[0]) == packet
    # The column of a binary16 field is binary32: the NaN widened bit by bit.
    column = r.unpack_columns(packet)["p"]
    widened = struct.unpack("=I", column.tobytes())[0]  # (indexing would convert it to a Python float)
    if bits == 32:
        assert widened == pattern
    else:
        assert widened == (pattern >> 15) << 31 | 0x7F800000 | (pattern & 0x3FF) << 13
    # The packet functions keep their conversion: the quiet bit is set.
    got = pw.unpack_parameters(packet, 0, [item(bits, encoding, byte_order="big", reverse_bits=False)])["p"]
    quiet = 0x200 if bits == 16 else 0x400000
    assert pw.pack_parameters([item(bits, encoding, byte_order="big", reverse_bits=False, value=got)]) == \
        (pattern | quiet).to_bytes(bits // 8, "big") + b"\0"[:0]


@pytest.mark.parametrize("double, f32, f16", [
    (0x7FF0000000000001, 0x7FC00000, 0x7E00),  # a payload too low for the field: the quiet bit keeps it a NaN
    (0xFFF4000000000000, 0xFFA00000, 0xFD00),
    (0x7FF8000000000000, 0x7FC00000, 0x7E00),
])
def test_nan_narrowed_bit_by_bit(double, f32, f16):
    value = struct.unpack(">d", struct.pack(">Q", double))[0]
    r = pw.Recipe([item(32, "ieee754_f32", name="a"), item(16, "ieee754_f16", name="b")])
    assert r.pack([value, value]) == f32.to_bytes(4, "big") + f16.to_bytes(2, "big")
    assert pw.pack_array(array.array("d", [value]), 32, encoding="ieee754_f32") == f32.to_bytes(4, "big")


@pytest.mark.parametrize("encoding, bits, text, fits", [
    ("utf8", 16, "ab", True), ("utf8", 16, "abc", False), ("utf8", 16, "é", True), ("utf8", 16, "éa", False),
    ("utf16be", 32, "ab", True), ("utf16", 32, "a", True), ("utf16", 32, "ab", False), ("us_ascii", 8, "", True),
])
def test_text_never_loses_bytes(encoding, bits, text, fits):
    r = pw.Recipe([item(bits, encoding)])
    loose = pw.Recipe([item(bits, encoding, byte_order="big", reverse_bits=False)], bit_exact=False)
    if fits:
        assert r.pack([text]) == loose.pack([text])
    else:
        with pytest.raises(ValueError, match=r"^ValueError: Text of \d+ bytes does not fit a field of \d+ bytes?\n"):
            r.pack([text])
        assert len(loose.pack([text])) == bits // 8  # the module functions' contract keeps the last bytes
