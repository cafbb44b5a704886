"""unpack_columns(text="utf8"): text columns as UTF-8 data plus offsets, the same values as the lists of str."""

import array

import pytest
from hypothesis import given, settings, strategies as st

import packweaver as pw

ENCODINGS = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso-8859-1",
             "windows-1252"]


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except ValueError as e:  # a text with a byte order mark may not fit back: both forms say so
        return "err", str(e), e.__notes__


def values_of(pair):
    data, offsets = pair
    assert type(data) is bytes and isinstance(offsets, array.array) and offsets.typecode == "i"
    assert offsets[0] == 0 and offsets[-1] == len(data) and list(offsets) == sorted(offsets)
    return [data[a:b].decode("utf-8") for a, b in zip(offsets, offsets[1:])]


@settings(max_examples=60, deadline=None)
@given(encoding=st.sampled_from(ENCODINGS), order=st.sampled_from(["big", "little"]),
       packets=st.lists(st.binary(min_size=8, max_size=8), max_size=12), offset=st.integers(0, 7))
def test_the_same_values_as_lists_of_str(encoding, order, packets, offset):
    """Every encoding, byte order and bit offset; faults masked the same way."""
    r = pw.Recipe([{"name": "n", "encoding": "unsigned", "bits": 3},
                   {"name": "t", "encoding": encoding, "bits": 32, "byte_order": order, "offset_bits": 3 + offset}])
    data = b"".join(p[:r.size].ljust(r.size, b"\0") for p in packets)
    as_str, valid, faults = r.unpack_columns(data, errors="mask")
    as_utf8, valid8, faults8 = r.unpack_columns(data, errors="mask", text="utf8")
    assert values_of(as_utf8["t"]) == as_str["t"]
    assert (valid8, faults8, as_utf8["n"]) == (valid, faults, as_str["n"])
    raised = [None, None]
    for k, mode in enumerate(["str", "utf8"]):
        try:
            r.unpack_columns(data, text=mode)
        except ValueError as e:
            raised[k] = (str(e), e.__notes__)
    assert raised[0] == raised[1]
    # Written back from either form, the same packets.
    if not faults["count"]:
        assert outcome(r.pack_columns, as_utf8) == outcome(r.pack_columns, as_str)


@pytest.mark.parametrize("pair, error, text", [
    ((b"abc", array.array("i", [0, 2, 1])), ValueError, "UTF-8 offsets 2 to 1 do not lie in the 3 bytes of data"),
    ((b"abc", array.array("q", [0, 4])), ValueError, "UTF-8 offsets 0 to 4 do not lie"),
    ((b"abc", array.array("i", [])), ValueError, r"have n \+ 1 entries, not 0"),
    ((b"abc", array.array("f", [0, 3])), TypeError, "the offsets of UTF-8 text are 32- or 64-bit integers"),
    ((b"\xff", array.array("i", [0, 1])), ValueError, "Invalid UTF-8 bytes"),
    ((b"abcd", array.array("i", [0, 4])), ValueError, "Text of 4 bytes does not fit a field of 2 bytes"),
])
def test_utf8_pairs_back_into_packets(pair, error, text):
    r = pw.Recipe([{"name": "t", "encoding": "us_ascii", "bits": 16}])
    assert r.pack_columns({"t": (b"abcd", array.array("i", [0, 2, 4]))}) == b"abcd"
    with pytest.raises(error, match=text):
        r.pack_columns({"t": pair})


def test_arrow_and_numpy_take_them_without_a_copy():
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    r = pw.Recipe([{"name": "t", "encoding": "iso-8859-1", "bits": 24}])
    data = r.pack_columns({"t": ["abc", "é\0\0", "\xff!?"]})
    text, offsets = r.unpack_columns(data, text="utf8")["t"]
    arrow = pa.StringArray.from_buffers(len(offsets) - 1, pa.py_buffer(offsets), pa.py_buffer(text))
    assert arrow.to_pylist() == r.unpack_columns(data)["t"] == ["abc", "é\0\0", "\xff!?"]
    assert arrow.buffers()[2].address == np.frombuffer(text, np.uint8).ctypes.data


@pytest.mark.parametrize("text", ["STR", "bytes", 1, None])
def test_the_text_argument(text):
    r = pw.Recipe([{"name": "t", "encoding": "utf8", "bits": 8}])
    with pytest.raises(ValueError, match="argument 'text': expected 'str' or 'utf8'"):
        r.unpack_columns(b"a", text=text)
    with pytest.raises(TypeError):
        r.unpack_columns(b"a", None, 0, "raise", "utf8")  # keyword only


def test_framing_read_gives_the_same_pairs():
    r = pw.Recipe([{"name": "apid", "encoding": "unsigned", "bits": 11, "offset_bits": 5},
                   {"name": "t", "encoding": "us_ascii", "bits": 24, "offset_bits": 48}])
    packets = b"".join(bytes.fromhex("0864c0000002") + text for text in (b"abc", b"xyz"))
    got = pw.CCSDS.read(packets, {100: r}, text="utf8")[100]
    assert got["t"] == r.unpack_columns(packets, pw.CCSDS.index(packets), text="utf8")["t"]
    assert values_of(got["t"]) == ["abc", "xyz"]
