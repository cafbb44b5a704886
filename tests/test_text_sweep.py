"""A systematic sweep of the text codec functions against the interpreter's own codecs.

Inputs grow one character at a time until their background of one character
class takes 130 bytes (a decoder's input, or an encoder's text as stored),
and at every position one special character, sequence or fault sits in that
background; each of the twenty functions must give what the interpreter's
codec gives, with the differences the module has by design spelled out in
the references below: its byte order marks, the five C1 bytes windows-1252
maps (0x81, 0x8D, 0x8F, 0x90, 0x9D), and its own error messages (rebuilt
from the failing position the interpreter reports). A decoded str must also
be stored as the interpreter would store it (same size, so the same kind and
ASCII flag).
"""
import codecs
import sys
from itertools import accumulate

import pytest

import packweaver as pw

MAX_LENGTH = 130
U8 = "Invalid UTF-8 bytes: "
LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
C1_BYTES = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def _windows_1252_c1(e):
    """cp1252 as windows-1252: the five bytes the interpreter leaves undefined stand for the C1 controls."""
    if isinstance(e, UnicodeDecodeError) and e.object[e.start] in C1_BYTES:
        return chr(e.object[e.start]), e.start + 1
    if isinstance(e, UnicodeEncodeError) and ord(e.object[e.start]) in C1_BYTES:
        return bytes([ord(e.object[e.start])]), e.start + 1
    raise e


codecs.register_error("packweaver-sweep-c1", _windows_1252_c1)


# References: the result, or (exception type, message) as the module must raise it.

def reference_encoder(name):
    codec = {"utf8": "utf-8", "utf16": "utf-16-be", "utf16le": "utf-16-le", "utf16be": "utf-16-be",
             "utf32": "utf-32-be", "utf32le": "utf-32-le", "utf32be": "utf-32-be", "us_ascii": "ascii",
             "iso_8859_1": "latin-1", "windows_1252": "cp1252"}[name]
    mark = {"utf16": b"\xfe\xff", "utf32": b"\0\0\xfe\xff"}.get(name, b"")
    label = {"ascii": "US-ASCII", "latin-1": "ISO-8859-1"}.get(codec)
    errors = "packweaver-sweep-c1" if codec == "cp1252" else "strict"

    def encode(text):
        try:
            return mark + text.encode(codec, errors)
        except UnicodeEncodeError as e:
            try:
                text.encode("utf-8")
            except UnicodeEncodeError as lone:  # a lone surrogate is refused before any codec runs
                return UnicodeEncodeError, str(lone)
            if codec == "cp1252":
                return ValueError, "Failed to encode to Windows-1252"
            c = text[e.start]
            return ValueError, f"Character '{c}' (U+{ord(c):04X}) is not valid {label}"
    return encode


def ref_utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return ValueError, f"{U8}incomplete utf-8 byte sequence from index {e.start}"
        return ValueError, f"{U8}invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"


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
        unit = int.from_bytes(data[e.start:e.start + 4], "little" if order == "le" else "big")
        return ValueError, f"Invalid UTF-32 codepoint: 0x{unit:08X}"


def ref_with_mark(data, unit, marks, fixed, short):
    if len(data) < unit or len(data) % unit:
        return ValueError, short
    for mark, order in marks:
        if data.startswith(mark):
            return fixed(data[len(mark):], order)
    return fixed(data, "be")


W1252_TABLE = bytes(range(256)).decode("cp1252", "packweaver-sweep-c1")


def ref_windows_1252(data):
    for mark, decode in [(b"\xef\xbb\xbf", ref_utf8), (b"\xff\xfe", lambda d: ref_utf16(d, "le")),
                         (b"\xfe\xff", lambda d: ref_utf16(d, "be"))]:
        if data.startswith(mark):
            got = decode(data[len(mark):])
            return got if isinstance(got, str) else (ValueError, "Failed to decode Windows-1252 bytes")
    return codecs.charmap_decode(data, "strict", W1252_TABLE)[0]


def ref_us_ascii(data):
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as e:
        return ValueError, f"Invalid US-ASCII byte: 0x{data[e.start]:02X} (must be <= 0x7F)"


REF_DECODE = {
    "utf8": ref_utf8,
    "utf16": lambda d: ref_with_mark(d, 2, [(b"\xfe\xff", "be"), (b"\xff\xfe", "le")], ref_utf16,
                                     "UTF-16 requires an even number of bytes with at least 2 bytes"),
    "utf16le": lambda d: ref_utf16(d, "le"), "utf16be": lambda d: ref_utf16(d, "be"),
    "utf32": lambda d: ref_with_mark(d, 4, [(b"\0\0\xfe\xff", "be"), (b"\xff\xfe\0\0", "le")], ref_utf32,
                                     "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    "utf32le": lambda d: ref_utf32(d, "le"), "utf32be": lambda d: ref_utf32(d, "be"),
    "us_ascii": ref_us_ascii, "iso_8859_1": lambda d: d.decode("latin-1"), "windows_1252": ref_windows_1252,
}


# Inputs: characters of one class in turn, so that neighbours differ.

ASCII, LATIN1, TWO, THREE, FOUR = "a\x00\x7f< ", "é\xa0ÿÀµ", "\u0100\u07ffαЖא", "\u0800\ud7ff\ue000\uffff€", \
    "\U00010000\U0010ffff😀\U0002a6d6\U00010400"
HIGH_BYTES, C1 = "é\xa0ÿÀµ", "\x80\x9f\x8d\x99\x81"  # single-byte input, as Latin-1 characters

# (name, first character's class or "", class of the rest, last character's class or "")
TEXT_BACKGROUNDS = [("ASCII", "", ASCII, ""), ("Latin-1", "", LATIN1, ""), ("2-byte", "", TWO, ""),
                    ("3-byte", "", THREE, ""), ("4-byte", "", FOUR, ""),
                    # A wider first character ends the ASCII prefix the kernels skip.
                    ("Latin-1 then ASCII", LATIN1, ASCII, "")]
ENCODER_BACKGROUNDS = [("ASCII", "", ASCII, ""), ("3-byte", "", THREE, ""), ("4-byte", "", FOUR, ""),
                       ("Latin-1 then ASCII", LATIN1, ASCII, ""), ("ASCII then a 3-byte last", "", ASCII, THREE),
                       ("€ then Latin-1", "€Ÿ™", LATIN1, "")]
BYTE_BACKGROUNDS = [("ASCII", "", ASCII, ""), ("80-9F", "", C1, ""), ("A0-FF then ASCII", HIGH_BYTES, ASCII, "")]


def background(n, lead, filler, trail):
    """The n - 1 characters around the special of an input of n characters."""
    chars = [filler[(k + n) % len(filler)] for k in range(n - 1)]
    if lead and chars:
        chars[0] = lead[n % len(lead)]
    if trail and len(chars) > 1:
        chars[-1] = trail[n % len(trail)]
    return chars


VALID = [("ASCII", ["A", "\x00", "\x7f"]), ("Latin-1", ["\x80", "ÿ", "é"]), ("2-byte", ["Ā", "\u07ff", "א"]),
         ("3-byte", ["\u0800", "\uffff", "\ud7ff", "\ue000", "\ufeff"]),
         ("4-byte", ["\U00010000", "\U0010ffff", "😀"])]
ENCODER_SPECIALS = VALID + [
    ("windows-1252 index", ["€", "Ÿ", "™", "‚", "\x81"]),
    ("lone surrogate", ["\ud800", "\udbff", "\udc00", "\udfff"]),
    ("surrogate pair as two code points", ["\ud83d\ude00"]),
]
# Faults are raw bytes, or (for UTF-16 and UTF-32) code units as ints.
UTF8_FAULTS = [
    ("invalid byte", [b"\x80", b"\xbf", b"\xc0", b"\xc1", b"\xf5", b"\xff"]),
    ("truncated sequence", [b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xe0\xa0", b"\xf4\x8f\xbf", b"\xed\x9f"]),
    ("overlong form", [b"\xc0\xaf", b"\xe0\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xe0\x9f\xbf"]),
    ("encoded surrogate", [b"\xed\xa0\x80", b"\xed\xbf\xbf"]),
    ("sequence above U+10FFFF", [b"\xf4\x90\x80\x80", b"\xf7\xbf\xbf\xbf"]),
]
UTF16_FAULTS = [("lone high surrogate", [[0xD800], [0xDBFF]]), ("lone low surrogate", [[0xDC00], [0xDC00, 0xD800]]),
                ("stray byte", [b"\x00", b"\xd8"])]
UTF32_FAULTS = [("surrogate unit", [[0xD800], [0xDFFF]]), ("unit above U+10FFFF", [[0x110000], [0xFFFFFFFF]]),
                ("stray bytes", [b"\x00", b"\0\0", b"\xff\xfe\0"])]
BYTE_SPECIALS = [("ASCII byte", [b"A", b"\x00", b"\x7f"]), ("A0-FF byte", [b"\xa0", b"\xe9", b"\xff"]),
                 ("80-9F byte", [b"\x80", b"\x81", b"\x8d", b"\x8f", b"\x90", b"\x9d", b"\x9f"]),
                 ("mark bytes", [b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\xef\xbb"])]

# Each decoder's inputs: (byte order mark, codec of the body) in turn, its backgrounds, its specials.
BOM_UTF16 = [(b"", "utf-16-be"), (b"\xfe\xff", "utf-16-be"), (b"\xff\xfe", "utf-16-le")]
BOM_UTF32 = [(b"", "utf-32-be"), (b"\0\0\xfe\xff", "utf-32-be"), (b"\xff\xfe\0\0", "utf-32-le")]
# Faults are tried in the backgrounds of one class each.
FAULT_BACKGROUNDS = {"ASCII", "3-byte", "4-byte"}
DECODER_FORMS = [
    ("utf8", "utf8", [(b"", "utf-8")], TEXT_BACKGROUNDS, VALID, UTF8_FAULTS),
    ("utf16", "utf16", BOM_UTF16, TEXT_BACKGROUNDS, VALID, UTF16_FAULTS),
    ("utf16le", "utf16le", [(b"", "utf-16-le")], TEXT_BACKGROUNDS, VALID, UTF16_FAULTS),
    ("utf16be", "utf16be", [(b"", "utf-16-be")], TEXT_BACKGROUNDS, VALID, UTF16_FAULTS),
    ("utf32", "utf32", BOM_UTF32, TEXT_BACKGROUNDS, VALID, UTF32_FAULTS),
    ("utf32le", "utf32le", [(b"", "utf-32-le")], TEXT_BACKGROUNDS, VALID, UTF32_FAULTS),
    ("utf32be", "utf32be", [(b"", "utf-32-be")], TEXT_BACKGROUNDS, VALID, UTF32_FAULTS),
    ("us_ascii", "us_ascii", [(b"", "latin-1")], BYTE_BACKGROUNDS, BYTE_SPECIALS, []),
    ("iso_8859_1", "iso_8859_1", [(b"", "latin-1")], BYTE_BACKGROUNDS, BYTE_SPECIALS, []),
    ("windows_1252", "windows_1252", [(b"", "latin-1")], BYTE_BACKGROUNDS, BYTE_SPECIALS, []),
    ("windows_1252 after EF BB BF", "windows_1252", [(b"\xef\xbb\xbf", "utf-8")], TEXT_BACKGROUNDS, VALID,
     UTF8_FAULTS),
    ("windows_1252 after FF FE or FE FF", "windows_1252", BOM_UTF16[:0:-1], TEXT_BACKGROUNDS, VALID, UTF16_FAULTS),
]


def encoded(piece, codec):
    if isinstance(piece, str):
        return piece.encode(codec)
    if isinstance(piece, list):  # code units
        size, order = (2 if "16" in codec else 4), ("little" if codec.endswith("le") else "big")
        return b"".join(unit.to_bytes(size, order) for unit in piece)
    return piece


def lengths(lead, filler, trail, size):
    """(n, background) for inputs of n characters, until the background alone fills MAX_LENGTH bytes."""
    for n in range(1, MAX_LENGTH + 1):
        chars = background(n, lead, filler, trail)
        if n > 1 and size(chars) >= MAX_LENGTH:
            return
        yield n, chars


def run(fn, arg):
    try:
        return fn(arg)
    except Exception as e:
        return type(e), str(e)


def check(fn, ref, runs):
    """fn gives what ref gives on every input, each str stored alike (same size: same kind and ASCII flag).

    runs holds (background, special class, inputs, their (n, p)); most runs raise nothing, for the fast road.
    """
    bad = []
    for bg, sp, inputs, places in runs:
        try:
            got = list(map(fn, inputs))
        except Exception:
            got = [run(fn, x) for x in inputs]
        want = list(map(ref, inputs))
        if got != want or list(map(sys.getsizeof, got)) != list(map(sys.getsizeof, want)):
            bad += [f"{bg} background, {sp} at {p} of {n}: {x!r} gave {g!r}, want {w!r}"
                    for x, (n, p), g, w in zip(inputs, places, got, want)
                    if g != w or sys.getsizeof(g) != sys.getsizeof(w)]
    assert not bad, f"{len(bad)} mismatches, the first:\n" + "\n".join(bad[:5])


@pytest.mark.parametrize("form, name, variants, backgrounds, valid, faults", DECODER_FORMS,
                         ids=[f[0] for f in DECODER_FORMS])
def test_decoder_sweep(form, name, variants, backgrounds, valid, faults):
    runs = [("no", "nothing", [variants[0][0]], [(0, 0)])]
    if name == "us_ascii":  # input that fails at its first byte tells no more
        backgrounds = [bg for bg in backgrounds if bg[0] == "ASCII"]
    for bg, lead, filler, trail in backgrounds:
        specials = valid + faults if bg in FAULT_BACKGROUNDS else valid
        runs += [(bg, sp, [], []) for sp, _ in specials]
        for n, chars in lengths(lead, filler, trail, lambda cs: len("".join(cs).encode(variants[0][1]))):
            # Each variant's body, and where each character starts in it; the variants take turns.
            bodies = []
            for mark, codec in variants:
                pieces = [c.encode(codec) for c in chars]
                bodies.append((mark, codec, b"".join(pieces), list(accumulate(map(len, pieces), initial=0))))
            for (_, options), (_, _, inputs, places) in zip(specials, runs[-len(specials):]):
                for p in range(n):
                    mark, codec, body, starts = bodies[(n + p) % len(bodies)]
                    special = encoded(options[(7 * n + p) % len(options)], codec)
                    inputs.append(mark + body[:starts[p]] + special + body[starts[p]:])
                    places.append((n, p))
    check(getattr(pw, "decode_" + name), REF_DECODE[name], runs)


def width(c):
    return 1 if c < 0x100 else 2 if c < 0x10000 else 4


@pytest.fixture(scope="module")
def encoder_runs():
    """Texts lengthened until the background, stored as the host stores it with the special, fills MAX_LENGTH bytes."""
    runs = [("no", "nothing", [""], [(0, 0)])]
    for bg, lead, filler, trail in ENCODER_BACKGROUNDS:
        for sp, options in ENCODER_SPECIALS:
            widest = max(ord(c) for o in options for c in o)
            inputs, places = [], []
            for n, chars in lengths(lead, filler, trail, lambda cs: len(cs) * width(max(widest, *map(ord, cs)))):
                text = "".join(chars)
                for p in range(n):
                    inputs.append(text[:p] + options[(7 * n + p) % len(options)] + text[p:])
                    places.append((n, p))
            runs.append((bg, sp, inputs, places))
    return runs


ENCODERS = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1",
            "windows_1252"]


@pytest.mark.parametrize("name", ENCODERS)
def test_encoder_sweep(name, encoder_runs):
    ref = reference_encoder(name)
    if name in ("us_ascii", "iso_8859_1", "windows_1252"):
        # A background whose first character the encoder refuses tells no more. The last input of a run
        # has its special at the end.
        encoder_runs = [r for r in encoder_runs if not isinstance(ref(r[2][-1][:1]), tuple)]
    check(getattr(pw, "encode_" + name), ref, encoder_runs)
