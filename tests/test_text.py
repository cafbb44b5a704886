"""Text codecs: UTF-8/16/32, US-ASCII, ISO-8859-1 and Windows-1252, checked against the interpreter's codecs."""
import random

import pytest
from hypothesis import given, strategies as st

import packweaver as pw

NAMES = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1", "windows_1252"]
BOM8, FEFF, FFFE, BOM32BE, BOM32LE = b"\xef\xbb\xbf", b"\xfe\xff", b"\xff\xfe", b"\0\0\xfe\xff", b"\xff\xfe\0\0"
BYTEORDER = {"le": "little", "be": "big"}
LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
W1252_FAIL, W1252_DECODE_FAIL = "Failed to encode to Windows-1252", "Failed to decode Windows-1252 bytes"


def _w1252_table():
    table = {}
    for b in range(256):
        try:
            table[b] = bytes([b]).decode("cp1252")
        except UnicodeDecodeError:
            table[b] = chr(b)  # the five C1 controls the interpreter's table leaves out
    assert {b for b in range(256) if table[b] == chr(b) and 0x80 <= b < 0xA0} == {0x81, 0x8D, 0x8F, 0x90, 0x9D}
    return table


W1252 = _w1252_table()
W1252_INV = {c: b for b, c in W1252.items()}


# Reference codecs: the result, or (ValueError, message) as our codec must report it.

def _single_byte_error(text, e, label):
    c = text[e.start]
    return ValueError, f"Character '{c}' (U+{ord(c):04X}) is not valid {label}"


def ref_encode(name, text):
    plain = {"utf16": (FEFF, "utf-16-be"), "utf32": (BOM32BE, "utf-32-be")}
    if name in plain:
        return plain[name][0] + text.encode(plain[name][1])
    if name.startswith("utf"):
        return text.encode(name.replace("utf", "utf-").replace("le", "-le").replace("be", "-be"))
    if name == "windows_1252":
        try:
            return bytes(W1252_INV[c] for c in text)
        except KeyError:
            return ValueError, W1252_FAIL
    codec, label = {"us_ascii": ("ascii", "US-ASCII"), "iso_8859_1": ("latin-1", "ISO-8859-1")}[name]
    try:
        return text.encode(codec)
    except UnicodeEncodeError as e:
        return _single_byte_error(text, e, label)


def ref_utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return ValueError, f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {e.start}"
        length = e.end - e.start
        return ValueError, f"Invalid UTF-8 bytes: invalid utf-8 sequence of {length} bytes from index {e.start}"


def ref_utf16(data, order):
    if len(data) % 2:
        return ValueError, "UTF-16 requires an even number of bytes"
    try:
        return data.decode("utf-16-" + order)
    except UnicodeDecodeError:
        return ValueError, LONE


def ref_utf32(data, order):
    if len(data) % 4:
        return ValueError, "UTF-32 requires a multiple of 4 bytes"
    try:
        return data.decode("utf-32-" + order)
    except UnicodeDecodeError as e:
        unit = int.from_bytes(data[e.start:e.start + 4], BYTEORDER[order])
        return ValueError, f"Invalid UTF-32 codepoint: 0x{unit:08X}"


def ref_with_bom(data, unit, marks, fixed):
    if len(data) < unit or len(data) % unit:
        return ValueError, ("UTF-16 requires an even number of bytes with at least 2 bytes" if unit == 2
                            else "UTF-32 requires a multiple of 4 bytes with at least 4 bytes")
    for mark, order in marks:
        if data.startswith(mark):
            return fixed(data[len(mark):], order)
    return fixed(data, "be")


def ref_windows_1252(data):
    for mark, decode in [(BOM8, ref_utf8), (FFFE, lambda d: ref_utf16(d, "le")), (FEFF, lambda d: ref_utf16(d, "be"))]:
        if data.startswith(mark):
            got = decode(data[len(mark):])
            return got if isinstance(got, str) else (ValueError, W1252_DECODE_FAIL)
    return "".join(W1252[b] for b in data)


def ref_us_ascii(data):
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as e:
        return ValueError, f"Invalid US-ASCII byte: 0x{data[e.start]:02X} (must be <= 0x7F)"


REF_DECODE = {
    "utf8": ref_utf8,
    "utf16": lambda d: ref_with_bom(d, 2, [(FEFF, "be"), (FFFE, "le")], ref_utf16),
    "utf16le": lambda d: ref_utf16(d, "le"), "utf16be": lambda d: ref_utf16(d, "be"),
    "utf32": lambda d: ref_with_bom(d, 4, [(BOM32BE, "be"), (BOM32LE, "le")], ref_utf32),
    "utf32le": lambda d: ref_utf32(d, "le"), "utf32be": lambda d: ref_utf32(d, "be"),
    "us_ascii": ref_us_ascii, "iso_8859_1": lambda d: d.decode("latin-1"), "windows_1252": ref_windows_1252,
}


def run(fn, arg):
    try:
        return fn(arg)
    except Exception as e:
        return type(e), str(e)


def storage(text):
    """How the interpreter stores text: "ascii", or 1, 2 or 4 bytes a character, set by its largest code point."""
    top = max(map(ord, text), default=0)
    return "ascii" if top < 0x80 else 1 if top < 0x100 else 2 if top < 0x10000 else 4


def check(got, expected):
    """got matches the reference: same bytes or error, or a str equal to it and stored the same way."""
    if isinstance(expected, str):
        assert type(got) is str and got == expected, (got, expected)
        # Equality compares the storage width before the characters, so a str stored wider than its text needs
        # is already unequal; one of the right width that lacks the ASCII flag is not, but isascii() reads the flag.
        assert got.isascii() == (storage(expected) == "ascii"), (got, storage(expected))
    else:
        assert got == expected and type(got) is type(expected)


def encoder(name):
    return getattr(pw, "encode_" + name)


def decoder(name):
    return getattr(pw, "decode_" + name)


def encodable(name, text):
    return not isinstance(ref_encode(name, text), tuple)


# Fixed cases: byte order marks, message wording, and the edges the references do not pin down.

@pytest.mark.parametrize("name, text, hexed", [
    ("utf16", "", "feff"), ("utf16be", "", ""), ("utf16le", "", ""), ("utf32", "", "0000feff"),
    ("utf16", "A", "feff0041"), ("utf16le", "A", "4100"), ("utf32le", "A", "41000000"), ("utf32be", "A", "00000041"),
    ("utf32", "A", "0000feff00000041"), ("utf16be", "😀", "d83dde00"), ("utf16le", "😀", "3dd800de"),
    ("utf16", "\ufeff", "fefffeff"), ("utf32be", "😀", "0001f600"), ("utf8", "é", "c3a9"), ("utf8", "a\x00b", "610062"),
    ("us_ascii", "\x00\x7f", "007f"), ("iso_8859_1", "é\xff", "e9ff"), ("windows_1252", "€Ÿ\x81é", "809f81e9"),
])
def test_encode_cases(name, text, hexed):
    assert encoder(name)(text).hex() == hexed


@pytest.mark.parametrize("name, hexed, expected", [
    ("utf16", "feff", ""), ("utf16", "fffe", ""), ("utf16", "0041", "A"), ("utf16", "fffe4100", "A"),
    ("utf16", "feff0041", "A"), ("utf16", "fefffeff0041", "\ufeffA"), ("utf16", "fffe0041", "\u4100"),
    ("utf16be", "", ""), ("utf16be", "feff0041", "\ufeffA"), ("utf16le", "fffe", "\ufeff"),
    ("utf16be", "d83dde00", "😀"),
    ("utf32", "0000feff", ""), ("utf32", "fffe000041000000", "A"), ("utf32", "00000041", "A"),
    ("utf32", "fffe0000", ""), ("utf32le", "", ""), ("utf32be", "0010ffff", "\U0010ffff"),
    ("utf8", "efbbbf41", "\ufeffA"), ("utf8", "00", "\x00"), ("us_ascii", "7f00", "\x7f\x00"),
    ("iso_8859_1", "80ff00", "\x80\xff\x00"),
    ("windows_1252", "80", "€"), ("windows_1252", "81", "\x81"), ("windows_1252", "9f", "Ÿ"),
    ("windows_1252", "a0", "\xa0"),
    ("windows_1252", "efbbbf41", "A"), ("windows_1252", "fffe4100", "A"), ("windows_1252", "feff0041", "A"),
    ("windows_1252", "fffe", ""), ("windows_1252", "efbbbf", ""), ("windows_1252", "efbb", "ï»"),
    ("windows_1252", "ff", "ÿ"), ("windows_1252", "efbbbfefbbbf", "\ufeff"), ("windows_1252", "feff", ""),
    ("windows_1252", "fffe3dd800de", "😀"), ("windows_1252", "efbbbff09f9880", "😀"),
])
def test_decode_cases(name, hexed, expected):
    check(decoder(name)(bytes.fromhex(hexed)), expected)


def read_field(name, data):
    item = {"name": "t", "encoding": name, "bits": 8 * len(data), "byte_order": "big", "reverse_bits": False}
    return pw.unpack_parameters(data, 0, [item])["t"]


# The interpreter keeps one shared str for each character up to U+00FF, and on
# every supported version chr() and its own decoders return that one rather
# than a copy; the empty text is likewise one shared str. Ours do the same,
# both as module functions and as a packet field's text.
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("read", [lambda name, data: decoder(name)(data), read_field], ids=["function", "field"])
def test_empty_and_one_latin1_character_are_the_interpreters_shared_str(name, read):
    for text in ["", *map(chr, range(256))]:
        for mark, body in BODIES[name]:
            if not encodable(body, text) or not isinstance(REF_DECODE[name](mark + ref_encode(body, text)), str):
                continue
            got = read(name, mark + ref_encode(body, text))
            assert got is text, (mark, body, text, got)


U8 = "Invalid UTF-8 bytes: "


@pytest.mark.parametrize("name, hexed, message", [
    ("utf8", "ff", U8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ("utf8", "41e282", U8 + "incomplete utf-8 byte sequence from index 1"),
    ("utf8", "41e28241", U8 + "invalid utf-8 sequence of 2 bytes from index 1"),
    ("utf8", "e08080", U8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ("utf8", "eda080", U8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ("utf8", "f09f9841", U8 + "invalid utf-8 sequence of 3 bytes from index 0"),
    ("utf8", "f4908080", U8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ("utf8", "41e080", U8 + "invalid utf-8 sequence of 1 bytes from index 1"),
    ("utf8", "41f09f98", U8 + "incomplete utf-8 byte sequence from index 1"),
    ("utf8", "c0af", U8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ("utf16", "", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("utf16", "41", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("utf16", "feff41", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("utf16le", "414141", "UTF-16 requires an even number of bytes"),
    ("utf16be", "d800", LONE), ("utf16be", "dc00d800", LONE), ("utf16be", "d83d0041", LONE), ("utf16le", "00dc", LONE),
    ("utf16", "feffd800", LONE), ("utf16be", "d800d800dc00", LONE),
    ("utf32", "", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("utf32", "0000feff00", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("utf32be", "000000", "UTF-32 requires a multiple of 4 bytes"),
    ("utf32be", "00110000", "Invalid UTF-32 codepoint: 0x00110000"),
    ("utf32le", "00d80000", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("utf32be", "ffffffff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    ("utf32", "fffe00000000dfff", "Invalid UTF-32 codepoint: 0xFFDF0000"),
    ("us_ascii", "4180", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("us_ascii", "ff80", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    ("windows_1252", "feff00", W1252_DECODE_FAIL), ("windows_1252", "efbbbfff", W1252_DECODE_FAIL),
    ("windows_1252", "fffe00d8", W1252_DECODE_FAIL), ("windows_1252", "efbbbfe282", W1252_DECODE_FAIL),
])
def test_decode_errors(name, hexed, message):
    assert run(decoder(name), bytes.fromhex(hexed)) == (ValueError, message)


@pytest.mark.parametrize("name, text, message", [
    ("us_ascii", "héllo€", "Character 'é' (U+00E9) is not valid US-ASCII"),
    ("us_ascii", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    ("us_ascii", "a😀é", "Character '😀' (U+1F600) is not valid US-ASCII"),
    ("iso_8859_1", "é€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
    ("iso_8859_1", "\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    ("iso_8859_1", "ab\U0010ffff", "Character '\U0010ffff' (U+10FFFF) is not valid ISO-8859-1"),
    ("windows_1252", "\x80", W1252_FAIL), ("windows_1252", "aő", W1252_FAIL), ("windows_1252", "€😀", W1252_FAIL),
])
def test_encode_errors(name, text, message):
    assert run(encoder(name), text) == (ValueError, message)


def test_windows_1252_every_byte_and_every_bmp_character():
    check(pw.decode_windows_1252(bytes(range(256))), "".join(W1252[b] for b in range(256)))
    for cp in range(0x10000):
        if not 0xD800 <= cp < 0xE000:
            c = chr(cp)
            expected = bytes([W1252_INV[c]]) if c in W1252_INV else (ValueError, W1252_FAIL)
            assert run(pw.encode_windows_1252, c) == expected


# Argument conversion.

@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("arg", [b"a", bytearray(b"a"), memoryview(b"a"), 1, None, ["a"]])
def test_text_argument_type(name, arg):
    message = f"argument 'text': '{type(arg).__name__}' object cannot be cast as 'str'"
    assert run(encoder(name), arg) == (TypeError, message)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("arg", ["a", bytearray(b"a"), memoryview(b"a"), 1, None, [97]])
def test_bytes_argument_type(name, arg):
    message = f"argument 'bytes': '{type(arg).__name__}' object cannot be cast as 'bytes'"
    assert run(decoder(name), arg) == (TypeError, message)


class Str(str):
    def __str__(self):
        return "wrong"


class Bytes(bytes):
    def __bytes__(self):
        return b"wrong"


@pytest.mark.parametrize("name", NAMES)
def test_subclasses_are_taken_by_value(name):
    text = "Aé" if name != "us_ascii" else "Az"
    data = encoder(name)(Str(text))
    assert type(data) is bytes and data == ref_encode(name, text)
    check(decoder(name)(Bytes(data)), text)
    check(decoder(name)(bytes=data), text)
    assert encoder(name)(text=text) == data


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("text", ["\ud800", "a\udfff", "é\ud800", "€\udc00", "😀\ud83d", "\ud83d\ude00",
                                  "ő" * 40 + "\udbff"])
def test_lone_surrogate_is_refused_before_encoding(name, text):
    with pytest.raises(UnicodeEncodeError) as ours:
        encoder(name)(text)
    with pytest.raises(UnicodeEncodeError) as theirs:
        text.encode("utf-8")
    assert type(ours.value) is UnicodeEncodeError and str(ours.value) == str(theirs.value)


# Position sweeps: the kernels take 16-, 32- and 64-byte steps, so every probe
# character or fault is tried at every offset across several of those blocks.

POSITIONS = range(131)
PROBES = ["z", "\x00", "\x7f", "\x80", "\x81", "é", "ÿ", "Ā", "€", "Ÿ", "\ufeff", "\uffff", "\U00010000", "😀",
          "\U0010ffff"]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("fill", ["a", "é", "Ж", "😀"])
def test_widest_character_at_every_position(name, fill):
    for c in PROBES:
        for i in POSITIONS:
            text = fill * i + c + fill * (130 - i)
            expected = ref_encode(name, text)
            assert run(encoder(name), text) == expected, (c, i)
            if not isinstance(expected, tuple):
                check(decoder(name)(expected), text)
            for short in (text[:i + 1], text[i:]):  # the character last, then first
                if encodable(name, short):
                    check(decoder(name)(ref_encode(name, short)), short)


@pytest.mark.parametrize("name, first, later", [
    ("us_ascii", ["é", "\x80", "Ā", "😀"], "ÿ"), ("iso_8859_1", ["Ā", "€", "😀", "\uffff"], "ő"),
    ("windows_1252", ["\x80", "ő", "😀", "\x9f"], "\x8d"),
])
@pytest.mark.parametrize("fill", ["a", "é"])
def test_first_unencodable_character_at_every_position(name, first, later, fill):
    for c in first:
        for i in POSITIONS:
            text = fill * i + c + fill * 7 + later + fill * (120 - i)
            assert run(encoder(name), text) == ref_encode(name, text), (c, i)


UTF8_FAULTS = [b"\xff", b"\x80", b"\xc1\xbf", b"\xc3", b"\xc3A", b"\xe0\x80", b"\xe0\xa0", b"\xed\xa0\x80", b"\xe2\x82",
               b"\xe2\x82A", b"\xf0\x8f", b"\xf0\x9f\x98", b"\xf0\x9f\x98A", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80"]


@pytest.mark.parametrize("fill", ["a", "é", "€", "😀", "aé€😀"])
@pytest.mark.parametrize("tail", [b"", b"\xff"])
def test_utf8_first_fault_at_every_position(fill, tail):
    base = (fill * 140).encode()
    for fault in UTF8_FAULTS:
        for i in POSITIONS:
            for data in (base[:i] + fault + base[i:] + tail, base[:i] + fault):
                assert run(pw.decode_utf8, data) == ref_utf8(data), (fault, i, data)


@pytest.mark.parametrize("name", ["utf16le", "utf16be", "utf16", "windows_1252"])
@pytest.mark.parametrize("fill", ["a", "é", "€", "😀"])
def test_utf16_lone_surrogate_at_every_position(name, fill):
    order = "le" if name == "utf16le" else "be"
    mark = {"utf16": FEFF, "windows_1252": FEFF}.get(name, b"")
    base = (fill * 140).encode("utf-16-" + order)
    for unit in (0xD800, 0xDBFF, 0xDC00, 0xDFFF):
        bad = unit.to_bytes(2, BYTEORDER[order])
        for i in range(0, 262, 2):
            for data in (base[:i] + bad + base[i:], base[:i] + bad, base[:i] + bad + bad[::-1] + base[i:]):
                assert run(decoder(name), mark + data) == REF_DECODE[name](mark + data), (unit, i)


@pytest.mark.parametrize("name", ["utf32le", "utf32be", "utf32"])
@pytest.mark.parametrize("fill", ["a", "é", "€", "😀"])
def test_utf32_first_bad_unit_at_every_position(name, fill):
    order = "le" if name == "utf32le" else "be"
    base = (fill * 140).encode("utf-32-" + order)
    later = (0xDC00).to_bytes(4, BYTEORDER[order])  # must not change the report
    for unit in (0xD800, 0xDFFF, 0x110000, 0x80000000, 0xFFFFFFFF):
        for i in range(0, 4 * len(POSITIONS), 4):
            data = base[:i] + unit.to_bytes(4, BYTEORDER[order]) + base[i:i + 20] + later
            assert run(decoder(name), data) == REF_DECODE[name](data), (unit, i)


@pytest.mark.parametrize("fill", [b"a", b"\x7f"])
def test_us_ascii_first_bad_byte_at_every_position(fill):
    for bad in (0x80, 0xC3, 0xFF):
        for i in POSITIONS:
            data = fill * i + bytes([bad]) + fill * 9 + b"\x81" + fill * (120 - i)
            message = f"Invalid US-ASCII byte: 0x{bad:02X} (must be <= 0x7F)"
            assert run(pw.decode_us_ascii, data) == (ValueError, message)


# Properties against the references.

def _runs(alphabet):
    piece = st.one_of(st.text(st.characters(max_codepoint=0x7F), max_size=70), st.text(alphabet, max_size=12))
    return st.lists(piece, max_size=8).map("".join)


ANY_TEXT = _runs(st.one_of(st.characters(min_codepoint=0x80, max_codepoint=0xFF),
                           st.characters(min_codepoint=0x100, max_codepoint=0xFFFF, codec="utf-8"),
                           st.characters(min_codepoint=0x10000)))
VALID_TEXT = dict.fromkeys(NAMES[:7], ANY_TEXT) | {
    "us_ascii": _runs(st.characters(max_codepoint=0x7F)),
    "iso_8859_1": _runs(st.characters(max_codepoint=0xFF)),
    "windows_1252": _runs(st.sampled_from(sorted(W1252_INV))),
}
# What a decoder is fed before mutation: (mark, encoder of the body).
BODIES = dict((n, [(b"", n)]) for n in NAMES) | {
    "utf16": [(b"", "utf16be"), (FEFF, "utf16be"), (FFFE, "utf16le")],
    "utf32": [(b"", "utf32be"), (BOM32BE, "utf32be"), (BOM32LE, "utf32le")],
    "windows_1252": [(b"", "windows_1252"), (BOM8, "utf8"), (FFFE, "utf16le"), (FEFF, "utf16be")],
}


@st.composite
def nearly_valid(draw, name):
    mark, body = draw(st.sampled_from(BODIES[name]))
    data = bytearray(mark + ref_encode(body, draw(VALID_TEXT[body])))
    for _ in range(draw(st.integers(0, 2))):
        i = draw(st.integers(0, len(data)))
        action = draw(st.sampled_from(["set", "insert", "cut"]))
        if action == "set" and i < len(data):
            data[i] = draw(st.integers(0, 255))
        elif action == "insert":
            data[i:i] = draw(st.binary(min_size=1, max_size=4))
        elif action == "cut":
            del data[i:]
    return bytes(data)


@pytest.mark.parametrize("name", NAMES)
@given(data=st.data())
def test_encoders_match_reference_and_round_trip(name, data):
    text = data.draw(st.one_of(ANY_TEXT, VALID_TEXT[name]))
    expected = ref_encode(name, text)
    assert run(encoder(name), text) == expected
    if not isinstance(expected, tuple):
        check(decoder(name)(expected), text)


@pytest.mark.parametrize("name", NAMES)
@given(data=st.data())
def test_decoders_match_reference(name, data):
    raw = data.draw(st.one_of(nearly_valid(name), st.binary(max_size=80)))
    check(run(decoder(name), raw), REF_DECODE[name](raw))


@pytest.mark.parametrize("name", NAMES)
def test_one_mebibyte(name):
    rng = random.Random(name)
    pool = sorted({c for c in "àéîõüßñçÆØΑβγδλΩ中文字符号😀🚀👍" if encodable(name, c)} or {"~"})
    pieces, size = [], 0
    while size < 1 << 20:
        pieces.append("".join(rng.choices("packet telemetry frame ", k=rng.randrange(40)))
                      + "".join(rng.choices(pool, k=rng.randrange(1, 6))))
        size += len(pieces[-1])
    for text in ("The quick brown fox jumps over the lazy dog. " * 23302)[:1 << 20], "".join(pieces):
        expected = ref_encode(name, text)
        assert encoder(name)(text) == expected
        check(decoder(name)(expected), text)


# The widest character last, after a Latin-1 one, with the rest of the input
# 31 bytes long modulo 32: its sequence starts in the last bytes of the final
# block, where a vector scan for the largest character can miss it.
@pytest.mark.parametrize("last", ["Ā", "\u07ff", "\u0800", "\uffff", "\U00010000"])
@pytest.mark.parametrize("ascii_before", [0, 1, 31, 32, 64])
@pytest.mark.parametrize("blocks", [0, 1, 2])
def test_widest_character_closing_the_last_block(last, ascii_before, blocks):
    tail = 31 - len(last.encode())
    text = "a" * ascii_before + "é" + "a" * (tail - 2 + 32 * blocks) + last
    data = text.encode()
    assert (len(data) - ascii_before) % 32 == 31
    assert pw.decode_utf8(data) == text
    assert pw.decode_windows_1252(b"\xef\xbb\xbf" + data) == text
    recipe = [{"name": "t", "encoding": "utf8", "bits": 8 * len(data), "byte_order": "big", "reverse_bits": False}]
    assert pw.unpack_parameters(data, 0, recipe) == {"t": text}
