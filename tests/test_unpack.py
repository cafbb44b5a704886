"""unpack_parameters: field cut-out, decoding by encoding name, positions and error reporting."""
import ctypes
import operator
import struct

import pytest
from hypothesis import given, strategies as st

import packweaver as pw

NO = object()  # marks a key left out of an item
LEGACY = {"ti_f32": "TI f32", "ti_f40": "TI f40", "dec_f32": "DEC f32", "dec_f64": "DEC f64", "ibm_f32": "IBM f32",
          "ibm_f64": "IBM f64", "ieee754_1985_f32": "IEEE 754-1985 f32", "ieee754_1985_f64": "IEEE 754-1985 f64",
          "ieee754_1985_f80": "IEEE 754-1985 f80", "mil_std_1750a_f32": "MIL-STD-1750A f32",
          "mil_std_1750a_f48": "MIL-STD-1750A f48"}
F128_NARROW = "ValueError: IEEE 754 f128 requires a 128-bit field, got {} bits"
F128_WIDE = "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"


def it(bits=8, enc="unsigned", order="big", rev=False, name="p", **extra):
    item = {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": rev}
    item.update(extra)
    return {k: v for k, v in item.items() if v is not NO}


def read(packet, recipe, offset=0):
    """The decoded dict, or the text of the ValueError that reports an engine failure."""
    try:
        result = pw.unpack_parameters(bytes.fromhex(packet) if isinstance(packet, str) else packet, offset, recipe)
    except ValueError as e:
        assert type(e) is ValueError and e.__cause__ is None and e.__context__ is None
        return str(e)
    assert type(result) is dict and all(type(k) is str for k in result)
    return result


def typed(result):
    """Values with their exact types, floats by their bits, so that 1 != 1.0 != True and 0.0 != -0.0."""
    if not isinstance(result, dict):
        return result
    return [(k, type(v), struct.pack(">d", v) if type(v) is float else v) for k, v in result.items()]


def short(name, needed, length):
    return f"ValueError: Packet too short for parameter '{name}': needs {needed} bytes, packet has {length}"


def missing(field):
    return "KeyError: " + repr(f"Recipe missing required field: '{field}'")


def size_error(obj):
    """The interpreter's own error for a position or width that is not a size."""
    fn = ctypes.pythonapi.PyLong_AsSize_t
    fn.argtypes, fn.restype = [ctypes.py_object], ctypes.c_size_t
    try:
        fn(operator.index(obj))
    except (TypeError, OverflowError) as e:
        return type(e), str(e)
    raise AssertionError(obj)


def wrapped_size_error(obj):
    kind, message = size_error(obj)
    return f"{kind.__name__}: {message}"


class Index:
    """An integer-like value whose conversion may run an action first."""
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


class Name(str):
    """The reader must use the string's own characters, never these overrides."""
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__

    def lower(self):
        return "unsigned"


class Strict(dict):
    """Keys are looked up in the dict directly, never through the subclass."""
    def __getitem__(self, key):
        raise AssertionError("subclass lookup")

    get = __contains__ = keys = __iter__ = __getitem__


def P(value):
    return {"p": value}


def f64(pattern):
    return struct.unpack(">d", pattern.to_bytes(8, "big"))[0]


@pytest.mark.parametrize("packet, offset, recipe, expected", [
    ("abcd", 0, [it(12)], P(3021)),
    ("3412", 0, [it(16, order="little")], P(4660)),
    ("ab", 0, [it(4, name="a"), it(4, name="b")], {"a": 11, "b": 11}),
    ("a5", 0, [it(4, name="a"), it(4, name="b")], {"a": 5, "b": 5}),
    ("abc0", 0, [it(12)], P(3008)),
    ("ab", 0, [it(4, name="a"), it(4, name="b"), it(0, name="c")], {"a": 11, "b": 11, "c": 0}),
    ("010203", 8, [it(offset_bits=8)], P(3)),
    ("010203", 0, [it(offset_bits=3)], P(1)),
    ("010203", 15, [it()], P(2)),
    ("010203", Index(8), [it(offset_bits=Index(8))], P(3)),
    ("01020304", 0, [it(name="a", offset_bits=16), it(name="b", offset_bits=0), it(name="c")],
     {"a": 3, "b": 1, "c": 2}),
    ("01020304", 8, [it(name="a", offset_bits=16), it(name="b")], short("b", 5, 4)),
    ("ab", 0, [it(0, offset_bits=16)], short("p", 2, 1)),
    ("", 0, [it(0)], P(0)),
    ("", 0, [], {}), ("", 2**64 - 1, [], {}), ("ff", 12345, [], {}),
    ("01", 0, [it(8, rev=True)], P(128)),
    ("01", 0, [it(4, rev=True)], P(8)),
    ("0abc", 0, [it(12, rev=True)], P(0x3D5)),
    ("0100", 0, [it(16, order="little", rev=True)], P(0x8000)),
    ("ff", 0, [it(0, rev=True)], P(0)),
    ("ff" * 8, 0, [it(64)], P(2**64 - 1)),
    ("ffff", 0, [it(12)], P(4095)),
    ("01" + "00" * 8, 0, [it(72)], P(1 << 56)),
    ("01" + "00" * 8, 0, [it(72, rev=True)], P(0x80)),
    ("ff" * 9, 0, [it(72)], P(2**64 - 1)),
    ("01" + "00" * 8, 0, [it(72, order="little")], P(0)),
    ("ff", 0, [it(8, "twos_complement")], P(-1)),
    ("85", 0, [it(8, "sign_magnitude")], P(-5)),
    ("fe", 0, [it(8, "ones_complement")], P(-1)),
    ("f800", 0, [it(12, "twos_complement")], P(-2048)),
    ("ff" * 8, 0, [it(64, "twosComplement")], P(-1)),
    ("80" + "00" * 7, 0, [it(64, "ones_complement")], P(-(2**63 - 1))),
    ("0580", 0, [it(16, "sign_magnitude", "little")], P(-5)),
    ("010203", 0, [it(24, "bcd")], P(123)),
    ("f1f2d3", 0, [it(24, "bcd_signed")], P(-123)),
    ("313233", 0, [it(24, "bcd-signed")], P(123)),
    ("1234", 0, [it(16, "packed_bcd")], P(1234)),
    ("123d", 0, [it(16, "packed_bcd_signed")], P(-123)),
    ("ff", 0, [it(3, "packed_bcd")], P(0)),
    ("3c00", 0, [it(16, "ieee754_f16")], P(1.0)),
    ("3c", 0, [it(8, "ieee754_f16")], P(60 * 2.0**-24)),
    ("3f800000", 0, [it(32, "ieee754_f32")], P(1.0)),
    ("0000803f", 0, [it(32, "ieee754_f32", "little")], P(1.0)),
    ("ffffffff3f800000", 0, [it(64, "ieee754_f32")], P(1.0)),
    ("3ff0000000000000", 0, [it(64, "ieee754_f64")], P(1.0)),
    ("000000000000f03f", 0, [it(64, "ieee754_f64", "little")], P(1.0)),
    ("8000000000000000", 0, [it(64, "ieee754_f64")], P(-0.0)),
    ("3ff00000", 0, [it(32, "ieee754_f64")], P(f64(0x3FF00000))),
    ("3ff0000000000000ff", 0, [it(72, "ieee754_f64")], P(1.0)),
    ("00" * 8, 0, [it(64, "ieee754_f128")], F128_NARROW.format(64)),
    ("00", 0, [it(8, "ieee754-f128")], F128_NARROW.format(8)),
    ("", 0, [it(0, "IEEE754_F128")], F128_NARROW.format(0)),
    ("00" * 16, 0, [it(128, "ieee754_f128")], F128_WIDE),
    ("00" * 13, 0, [it(100, "ieee754_f128")], F128_WIDE),
    ("00" * 15, 0, [it(128, "ieee754_f128")], short("p", 16, 15)),
    ("4142", 0, [it(16, "utf-8")], P("AB")),
    ("4142", 0, [it(16, "utf-8", "little")], P("BA")),
    ("4142", 0, [it(16, "UTF8", "Little", rev=True)], P("BA")),
    ("410000", 0, [it(24, "utf8")], P("A\x00\x00")),
    ("4142", 0, [it(12, "utf8")], P("AB")),
    ("30313233343536373839", 0, [it(80, "utf8")], P("0123456789")),
    ("e9", 0, [it(8, "LATIN1")], P("é")),
    ("80ff", 0, [it(16, "iso_8859_1")], P("\x80ÿ")),
    ("80", 0, [it(8, "windows-1252")], P("€")),
    ("efbbbf41", 0, [it(32, "windows_1252")], P("A")),
    ("7f", 0, [it(8, "us_ascii")], P("\x7f")),
    ("feff0041", 0, [it(32, "utf16")], P("A")),
    ("fffe4100", 0, [it(32, "utf-16")], P("A")),
    ("0041", 0, [it(16, "utf16")], P("A")),
    ("4100", 0, [it(16, "utf16le")], P("A")),
    ("00de3dd8", 0, [it(32, "utf-16be", "little")], P("😀")),
    ("0000feff00000041", 0, [it(64, "utf32")], P("A")),
    ("41000000", 0, [it(32, "utf32le")], P("A")),
    ("0001f600", 0, [it(32, "utf-32be")], P("😀")),
    ("", 0, [it(0, "utf16be"), it(0, "utf8", name="q")], {"p": "", "q": ""}),
    ("41", 0, [it(8, value=object()), it(8, value=NO, name="q", offset_bits=0)], {"p": 0x41, "q": 0x41}),
])
def test_reads(packet, offset, recipe, expected):
    assert typed(read(packet, recipe, offset)) == typed(expected)


@pytest.mark.parametrize("packet, item, expected", [
    ("ff", it(8, "utf8"), "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("41e282", it(24, "utf-8"), "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1"),
    ("41", it(8, "utf16"), "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("", it(0, "utf16"), "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("414141", it(24, "utf16le"), "UTF-16 requires an even number of bytes"),
    ("00d8", it(16, "utf16be", "little"), "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"),
    ("0000", it(16, "utf32"), "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("0000", it(16, "utf32le"), "UTF-32 requires a multiple of 4 bytes"),
    ("00110000", it(32, "utf32be"), "Invalid UTF-32 codepoint: 0x00110000"),
    ("4180", it(16, "us-ascii"), "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("efbbbfff", it(32, "windows_1252"), "Failed to decode Windows-1252 bytes"),
    ("12a4", it(16, "packed_bcd"), "Invalid BCD digit: 10 (must be 0-9)"),
    ("313233", it(24, "bcd"), "Invalid BCD digit: 51 (must be 0-9)"),
    ("1239", it(16, "packed-bcd-signed"), "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"),
    ("f1f2a3", it(24, "bcd_signed"),
     "Invalid zoned decimal signed byte: 0xA3 (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"),
    ("f1c2c3", it(24, "bcd_signed"), "Invalid zoned decimal byte: 0xC2 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
    ("00", it(8, "nonsense", "middle"), "Invalid byte_order 'middle': must be 'big' or 'little'"),
    ("00", it(8, "nonsense", "B\u0130G"), "Invalid byte_order 'B\u0130G': must be 'big' or 'little'"),
    ("00", it(8, "nonsense"), "Unsupported encoding type: nonsense"),
    ("00", it(8, "TI-F32"), "NotImplementedError: TI f32 format not yet implemented"),
])
def test_decoder_failures_are_wrapped(packet, item, expected):
    expected = expected if expected.startswith("NotImplementedError") else "ValueError: " + expected
    assert read(packet, [it(0, name="ok"), item]) == expected


SAMPLES = {
    "unsigned": ("a5", 8, 0xA5), "twos_complement": ("fe", 8, -2), "ones_complement": ("fd", 8, -2),
    "sign_magnitude": ("82", 8, -2), "bcd": ("0402", 16, 42), "bcd_signed": ("f4d2", 16, -42),
    "packed_bcd": ("42", 8, 42), "packed_bcd_signed": ("042d", 12, -42), "ieee754_f16": ("c000", 16, -2.0),
    "ieee754_f32": ("3f000000", 32, 0.5), "ieee754_f64": ("8000000000000000", 64, -0.0),
    "utf8": ("c3a9", 16, "é"), "utf16": ("feff00e9", 32, "é"), "utf16le": ("e900", 16, "é"),
    "utf16be": ("d83dde00", 32, "😀"), "utf32": ("0000feff000000e9", 64, "é"), "utf32le": ("e9000000", 32, "é"),
    "utf32be": ("0001f600", 32, "😀"), "us_ascii": ("4869", 16, "Hi"), "iso_8859_1": ("e9", 8, "é"),
    "windows_1252": ("809f81", 24, "€Ÿ\x81"),
}
SAMPLES.update({name: ("00" * 8, 64, f"NotImplementedError: {text} format not yet implemented")
                for name, text in LEGACY.items()})
UNDERSCORED = [n for n in SAMPLES if "_" in n and n not in ("twos_complement", "ones_complement", "sign_magnitude")]
ALIASES = [(n, n) for n in SAMPLES] + [(n.replace("_", "-"), n) for n in UNDERSCORED] + [
    (n.replace("utf", "utf-"), n) for n in SAMPLES if n.startswith("utf")] + [
    ("twosComplement", "twos_complement"), ("onesComplement", "ones_complement"), ("signMagnitude", "sign_magnitude"),
    ("latin1", "iso_8859_1"), ("LATIN1", "iso_8859_1"), ("PAC\u212aED_BCD", "packed_bcd"), ("TI-F32", "ti_f32")]


@pytest.mark.parametrize("spelling, canonical", ALIASES)
def test_encoding_names_in_any_case(spelling, canonical):
    packet, bits, expected = SAMPLES[canonical]
    alternating = "".join(c.upper() if i % 2 else c for i, c in enumerate(spelling))
    if not str(expected).startswith("NotImplementedError"):
        expected = typed(P(expected))
    for name in {spelling, spelling.upper(), spelling.title(), alternating, alternating.swapcase()}:
        assert typed(read(packet, [it(bits, name)])) == expected, name


@pytest.mark.parametrize("name", [
    " utf8", "utf8 ", "utf_8", "ascii", "latin-1", "latin_1", "ISO8859-1", "unpacked_bcd", "ieee754_f128 ",
    "ti_f32x", "tif32", "UNS\u0130GNED", "\uff35\uff34\uff268", "un\u017figned", "", "utf8\x00", "twos-complement",
])
def test_unsupported_encoding_names(name):
    assert read("0000", [it(16, name)]) == f"ValueError: Unsupported encoding type: {name}"


@pytest.mark.parametrize("packet, recipe, expected", [
    # Every key of the item is read first, in order; offset_bits last.
    ("00", [{}], missing("name")),
    ("00", [it(enc=NO, bits=NO)], missing("encoding")),
    ("00", [it(bits=NO, order=NO)], missing("bits")),
    ("00", [it(order=NO, rev=NO)], missing("byte_order")),
    ("00", [it(rev=NO)], 'KeyError: "Recipe missing required field: \'reverse_bits\'"'),
    ("00", [it(name=1, enc=NO)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("00", [it(enc=b"utf8")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("00", [it(bits=-1, order=NO)], wrapped_size_error(-1)),
    ("00", [it(bits=8.0)], wrapped_size_error(8.0)),
    ("00", [it(bits=2**64)], wrapped_size_error(2**64)),
    ("00", [it(order=None)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ("00", [it(rev=1, offset_bits=None)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ("00", [it(offset_bits=None)], wrapped_size_error(None)),
    ("00", [it(enc="é\udc80")], "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 1: "
                                  "surrogates not allowed"),
    ("00", [5], "TypeError: 'int' object cannot be cast as 'dict'"),
    ("00", [it(), ["name"]], "TypeError: 'list' object cannot be cast as 'dict'"),
    # Nothing is cut or matched before the packet is known to be long enough.
    ("", [it(8, "nonsense", "middle")], short("p", 1, 0)),
    ("00", [it(16, "nonsense", "middle", name="x'y")], short("x'y", 2, 1)),
    ("00", [it(16, name="%s{}\x00é")], short("%s{}\x00é", 2, 1)),
    ("", [it(rev=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ("00", [it(), it(8, "ti_f40", offset_bits=0)], "NotImplementedError: TI f40 format not yet implemented"),
    ("00", [it(name="a"), it(name="b")], short("b", 2, 1)),
    ("00", [Strict(it(8, name="s"))], {"s": 0}),
    ("00", [Strict(it(8, rev=NO))], missing("reverse_bits")),
])
def test_key_order(packet, recipe, expected):
    assert typed(read(packet, recipe)) == typed(expected)


@pytest.mark.parametrize("packet, offset, item, needed", [
    ("00", 2**64 - 1, it(offset_bits=2**64 - 1), 2**62),
    ("0000", 2**64 - 8, it(offset_bits=16), 2**61 + 2),
    ("01", 8, it(offset_bits=2**64 - 8), 2**61 + 1),
    ("00", 2**64 - 1, it(), 2**61),
    ("00", 0, it(0, offset_bits=2**64 - 1), 2**61 - 1),
    ("00", 0, it(2**64 - 1), 2**61),
    ("00", 0, it(2**64 - 1, "utf8"), 2**61),
    ("00", 2**63, it(2**63, offset_bits=2**63), 2**61 + 2**60),
])
def test_positions_are_exact(packet, offset, item, needed):
    assert read(packet, [item], offset) == short("p", needed, len(bytes.fromhex(packet)))


CAST = "'{}' object cannot be cast as 'bytes'"


def call_error(*args):
    with pytest.raises(Exception) as info:
        pw.unpack_parameters(*args)
    return info.type, str(info.value)


@pytest.mark.parametrize("args, error", [
    ((bytearray(b"\x00"), 0, []), (TypeError, "argument 'packet_bytes': " + CAST.format("bytearray"))),
    ((bytearray(), -1, "x"), (TypeError, "argument 'packet_bytes': " + CAST.format("bytearray"))),
    ((memoryview(b""), 0, []), (TypeError, "argument 'packet_bytes': " + CAST.format("memoryview"))),
    (("00", 0, []), (TypeError, "argument 'packet_bytes': " + CAST.format("str"))),
    ((b"", -1, "x"), (OverflowError, size_error(-1)[1])),
    ((b"", 2**64, []), (OverflowError, size_error(2**64)[1])),
    ((b"", 1.5, "x"), (TypeError, "argument 'offset_bits': 'float' object cannot be interpreted as an integer")),
    ((b"", None, []), (TypeError, "argument 'offset_bits': 'NoneType' object cannot be interpreted as an integer")),
    ((b"", 0, "x"), (TypeError, "argument 'recipe': Can't extract `str` to `Vec`")),
    ((b"", 0, {}), (TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'")),
    ((b"", 0, iter([])), (TypeError, "argument 'recipe': 'list_iterator' object cannot be cast as 'Sequence'")),
])
def test_argument_errors(args, error):
    assert call_error(*args) == error


def test_call_forms_and_result_keys():
    class Packet(bytes):
        pass
    assert pw.unpack_parameters(recipe=(it(),), offset_bits=0, packet_bytes=Packet(b"\x07")) == {"p": 7}
    result = pw.unpack_parameters(b"\x01\x02\x03", 0, [it(name="a"), it(name=Name("b")), it(name="a")])
    assert list(result.items()) == [("a", 3), ("b", 2)] and [type(k) for k in result] == [str, str]
    recipe = [it()]
    assert pw.unpack_parameters(b"", Index(0, recipe.clear), recipe) == {}
    assert read("41", [it(8, Name("UTF8"), Name("Little"))]) == P("A")


@pytest.mark.parametrize("build, expected", [
    (lambda r: [it(Index(8, lambda: r[1].pop("name"))), it()], missing("name")),
    (lambda r: [it(Index(8, r.clear)), it(name="q")], {"p": 1, "q": 2}),
    (lambda r: [it(Index(8, lambda: r[0].clear()), "".join(["ut", "f8"]))], missing("byte_order")),
    (lambda r: [it(16, "".join(["ut", "f8"]), "".join(["lit", "tle"]), name="".join(["x", "y"]),
                   offset_bits=Index(0, lambda: r[0].clear()))], {"xy": "\x02\x01"}),
    (lambda r: [it(16, order="little", offset_bits=Index(0, lambda: r[0].update(bits=8, byte_order="big")))],
     P(0x0201)),
])
def test_recipe_edited_during_the_call(build, expected):
    recipe = []
    recipe.extend(build(recipe))
    assert typed(read("0102", recipe)) == typed(expected)


TEXT_CODECS = {"utf8": ("utf-8", 1), "utf16be": ("utf-16-be", 2), "utf32le": ("utf-32-le", 4),
               "iso_8859_1": ("latin-1", 1)}


@st.composite
def aligned_fields(draw, index):
    kind = draw(st.sampled_from(["unsigned", "twos_complement", "ones_complement", "sign_magnitude", "ieee754_f32",
                                 "ieee754_f64", *TEXT_CODECS]))
    order, rev = draw(st.sampled_from(["big", "little"])), draw(st.booleans())
    bits = 8 * draw(st.integers(4 if kind == "ieee754_f32" else 1, 8))
    if kind == "unsigned":
        value = expected = draw(st.integers(0, 2**bits - 1))
    elif kind == "twos_complement":
        value = expected = draw(st.integers(-2**(bits - 1), 2**(bits - 1) - 1))
    elif kind in ("ones_complement", "sign_magnitude"):
        value = expected = draw(st.integers(1 - 2**(bits - 1), 2**(bits - 1) - 1))
    elif kind.startswith("ieee754"):
        bits = 64 if kind == "ieee754_f64" else bits
        value = expected = draw(st.floats(width=32 if kind == "ieee754_f32" else 64, allow_nan=False))
    else:
        codec, unit = TEXT_CODECS[kind]
        value = draw(st.text(st.characters(max_codepoint=255 if codec == "latin-1" else None,
                                           exclude_categories=["Cs"]), max_size=5))
        pad = draw(st.integers(0, 3))
        bits = 8 * (len(value.encode(codec)) + pad * unit)
        expected = "\x00" * pad + value if order == "little" else value + "\x00" * pad
    return it(bits, kind, order, rev, name=f"f{index}", value=value), expected


@given(st.data())
def test_packed_fields_read_back(data):
    n = data.draw(st.integers(0, 6))
    fields = [data.draw(aligned_fields(i)) for i in range(n)]
    recipe = [item for item, _ in fields]
    expected = {item["name"]: value for item, value in fields}
    assert typed(pw.unpack_parameters(pw.pack_parameters(recipe), 0, recipe)) == typed(expected)


def cut_out(packet, position, item):
    """The reader's field integer: whole bytes from the byte holding the first bit, low bits kept."""
    bits = item["bits"]
    field = packet[position // 8:position // 8 + (bits + 7) // 8]
    field = field[::-1] if item["byte_order"] == "little" else field
    width = min(bits, 64)
    value = int.from_bytes(field[:8], "big") & (2**width - 1)
    return int(format(value, f"0{width}b")[::-1], 2) if item["reverse_bits"] and width else value


@given(st.binary(max_size=12), st.integers(0, 40), st.lists(st.tuples(st.integers(0, 80), st.sampled_from(
    ["big", "little"]), st.booleans(), st.none() | st.integers(0, 100)), max_size=5))
def test_unsigned_fields_match_the_cut_out_model(packet, base, shapes):
    recipe = [it(bits, "unsigned", order, rev, f"f{i}", **({} if offset is None else {"offset_bits": offset}))
              for i, (bits, order, rev, offset) in enumerate(shapes)]
    expected, cursor = {}, base
    for item in recipe:
        position = base + item["offset_bits"] if "offset_bits" in item else cursor
        needed = position // 8 + (item["bits"] + 7) // 8
        if needed > len(packet):
            expected = short(item["name"], needed, len(packet))
            break
        expected[item["name"]], cursor = cut_out(packet, position, item), position + item["bits"]
    assert read(packet, recipe, base) == expected
