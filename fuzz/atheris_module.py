#!/usr/bin/env python3
"""Coverage-guided fuzzing of the packweaver module through its Python surface.

Each input picks one scenario and drives it from the input's bytes:

- any of the 62 functions with arbitrary arguments (ints of every size, floats
  with NaN and infinities, bytes, str with surrogates and astral characters,
  subclasses, wrong types, objects with __index__/__float__, keyword misuse);
- the numeric codecs against their documented ranges and round trips and
  against ``struct`` (binary16/32/64 via 'e', 'f', 'd');
- the text codecs against the interpreter's own codecs (utf-8, utf-16-be/le,
  utf-32-be/le, ascii, latin-1, cp1252 where it agrees with the WHATWG index);
- pack_parameters and unpack_parameters against a reference written here
  from the documented bit layout, with exact error texts;
- hostile recipes: conversion hooks that mutate or clear the item dicts and
  the recipe, replace values, raise, re-enter the module or collect garbage;
  dict subclasses, str-subclass keys, fake NumPy bools, huge widths/offsets.

Any exception other than TypeError, ValueError, OverflowError, KeyError,
NotImplementedError, UnicodeEncodeError (and MemoryError where a giant packet
was asked for, or the hooks' own HookError) is a finding, as is any result
that differs from the reference. Crashes and memory errors are found by
running against a build with AddressSanitizer and UndefinedBehaviorSanitizer.

    python fuzz/atheris_module.py [libFuzzer flags] [corpus dirs]
    python fuzz/atheris_module.py --replay DIR_OR_FILE...   (plain loop, no atheris driver)
"""
import gc
import math
import operator
import os
import pickle
import struct
import sys

import atheris

import packweaver as pw

ALLOWED = (TypeError, ValueError, OverflowError, KeyError, NotImplementedError, UnicodeEncodeError)
U64 = (1 << 64) - 1
GIANT = 1 << 40  # widths and offsets from here on may ask for a packet that cannot be allocated


class Finding(AssertionError):
    pass


class HookError(Exception):
    """Raised on purpose by a hostile hook."""


def check(cond, what, *details):
    if not cond:
        raise Finding(what + "".join("\n  " + repr(d) for d in details))


# ---------------------------------------------------------------------------
# The function table.

LEGACY = {
    "ieee754_1985_f32": "IEEE 754-1985 f32", "ieee754_1985_f64": "IEEE 754-1985 f64",
    "ieee754_1985_f80": "IEEE 754-1985 f80", "mil_std_1750a_f32": "MIL-STD-1750A f32",
    "mil_std_1750a_f48": "MIL-STD-1750A f48", "ti_f32": "TI f32", "ti_f40": "TI f40", "dec_f32": "DEC f32",
    "dec_f64": "DEC f64", "ibm_f32": "IBM f32", "ibm_f64": "IBM f64",
}
TEXT = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1",
        "windows_1252"]
PARAMS = {"unpack_parameters": ("packet_bytes", "offset_bits", "recipe"), "pack_parameters": ("recipe",)}
for _n in ("ones_complement", "twos_complement", "sign_magnitude"):
    PARAMS["encode_" + _n] = PARAMS["decode_" + _n] = ("value", "bits")
for _n in ("packed_bcd", "unpacked_bcd"):
    PARAMS["encode_" + _n] = PARAMS["decode_" + _n] = ("value", "bits", "signed")
for _n in ("ieee754_f16", "ieee754_f32", "ieee754_f64"):
    PARAMS["encode_" + _n] = PARAMS["decode_" + _n] = ("value",)
PARAMS["decode_ieee754_f128"] = ("value",)
PARAMS["encode_ieee754_f128"] = ("_value",)
for _n in LEGACY:
    PARAMS["encode_" + _n] = PARAMS["decode_" + _n] = ("_value",)
for _n in TEXT:
    PARAMS["encode_" + _n] = ("text",)
    PARAMS["decode_" + _n] = ("bytes",)
FUNCTIONS = sorted(PARAMS)
assert len(FUNCTIONS) == 62 and set(FUNCTIONS) <= set(pw.__all__), sorted(set(FUNCTIONS) - set(pw.__all__))


def call(fn, *args, giant=False, **kwargs):
    """(True, result) or (False, exception); a disallowed exception is a finding."""
    try:
        return True, fn(*args, **kwargs)
    except ALLOWED as e:
        check(isinstance(str(e), str), "exception without a printable message", fn, e)
        return False, e
    except HookError as e:
        return False, e
    except MemoryError as e:
        check(giant, "MemoryError without a giant allocation", fn.__name__, args, kwargs)
        return False, e
    except RecursionError as e:
        check(depth[0] > 0, "RecursionError outside a re-entrant hook", fn.__name__)
        return False, e
    except Finding:
        raise
    except BaseException as e:  # noqa: BLE001 - anything else is what we are looking for
        raise Finding(f"{fn.__name__} raised {type(e).__name__}: {e}\n  args={args!r:.500}\n  kwargs={kwargs!r:.300}")


depth = [0]


# ---------------------------------------------------------------------------
# Values.

class Index:
    """An int through __index__ (and __float__), optionally hostile."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value

    def __float__(self):
        if self.hook:
            self.hook()
        return float(self.value) if isinstance(self.value, int) else self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Floaty:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __float__(self):
        if self.hook:
            self.hook()
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class SubInt(int):
    pass


class SubFloat(float):
    pass


class SubStr(str):
    pass


class SubBytes(bytes):
    pass


class EvilStr(str):
    """A str subclass whose own methods lie; the module must use the str itself."""

    def lower(self):
        raise HookError("lower called")

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("name")


def fake_numpy_bool(truth, hook=None):
    def __bool__(self):
        if hook:
            hook()
        return truth
    return type("numpy.bool_", (), {"__bool__": __bool__})()


def pick_int(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return fdp.ConsumeIntInRange(-300, 300)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))  # any size up to 320 bits
    if kind == 2:
        e = fdp.ConsumeIntInRange(0, 130)
        return (1 << e) + fdp.ConsumeIntInRange(-2, 1)
    if kind == 3:
        e = fdp.ConsumeIntInRange(0, 130)
        return -(1 << e) + fdp.ConsumeIntInRange(-1, 2)
    if kind == 4:
        return fdp.ConsumeIntInRange(0, U64)
    if kind == 5:
        return fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1)
    if kind == 6:
        return fdp.ConsumeIntInRange(0, (1 << 128) - 1)
    if kind == 7:
        return fdp.PickValueInList([0, 1, -1, U64, 1 << 64, 1 << 63, -(1 << 63), -(1 << 63) - 1, 10 ** 400])
    return fdp.ConsumeIntInRange(0, 70)


def pick_float(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.ConsumeRegularFloat()
    if kind == 1:
        return fdp.ConsumeFloat()
    if kind == 2:
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    if kind == 3:
        return struct.unpack("<f", fdp.ConsumeBytes(4).ljust(4, b"\0"))[0]
    if kind == 4:
        return fdp.PickValueInList([0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 65504.0, 65520.0,
                                    2.0 ** -24, 2.0 ** -25, 1 + 2.0 ** -11 + 2.0 ** -40, 3.4028235677973366e38,
                                    3.402823669209385e38, 1e300, 5e-324, 1.5 * 2 ** -25])
    return math.ldexp(fdp.ConsumeIntInRange(-(1 << 53), 1 << 53), fdp.ConsumeIntInRange(-1130, 970))


CHAR_RANGES = [(0x00, 0x7F), (0x80, 0xFF), (0x100, 0x7FF), (0x800, 0xD7FF), (0xD800, 0xDFFF), (0xE000, 0xFFFF),
               (0x10000, 0x10FFFF), (0x20AC, 0x20AC), (0x152, 0x17E), (0xFEFF, 0xFEFF), (0x80, 0x9F)]


def pick_text(fdp, surrogates=True):
    if fdp.ConsumeIntInRange(0, 5) == 0:
        n = fdp.ConsumeIntInRange(0, 80)
        return fdp.ConsumeUnicode(n) if surrogates else fdp.ConsumeUnicodeNoSurrogates(n)
    n = fdp.ConsumeIntInRange(0, 8)
    parts = []
    for _ in range(n):
        lo, hi = CHAR_RANGES[fdp.ConsumeIntInRange(0, len(CHAR_RANGES) - 1)]
        if not surrogates and lo == 0xD800:
            lo, hi = 0x41, 0x5A
        ch = chr(fdp.ConsumeIntInRange(lo, hi))
        # Runs cross the vector kernels' block edges (16, 32, 64 units).
        parts.append(ch * fdp.PickValueInList([1, 1, 2, 3, 7, 15, 16, 17, 29, 30, 31, 32, 33, 63, 64, 65]))
    return "".join(parts)


def pick_bytes(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
    # Near-valid data: an encoding of a text, maybe cut or with one byte changed.
    text = pick_text(fdp, surrogates=False)
    codec = fdp.PickValueInList(["utf-8", "utf-16-be", "utf-16-le", "utf-32-be", "utf-32-le", "latin-1"])
    data = bytearray(text.encode(codec, "replace" if codec == "latin-1" else "strict"))
    if kind >= 3 and data:
        data[fdp.ConsumeIntInRange(0, len(data) - 1)] = fdp.ConsumeIntInRange(0, 255)
    if kind == 4:
        data = data[:fdp.ConsumeIntInRange(0, len(data))]
    prefix = fdp.PickValueInList([b"", b"", b"\xef\xbb\xbf", b"\xfe\xff", b"\xff\xfe", b"\x00\x00\xfe\xff",
                                  b"\xff\xfe\x00\x00"])
    return prefix + bytes(data)


def pick_any(fdp, hook=None):
    kind = fdp.ConsumeIntInRange(0, 14)
    if kind <= 3:
        return pick_int(fdp)
    if kind == 4:
        return pick_float(fdp)
    if kind == 5:
        return pick_text(fdp)
    if kind == 6:
        return pick_bytes(fdp)
    if kind == 7:
        return Index(pick_int(fdp), hook)
    if kind == 8:
        return Floaty(pick_float(fdp), hook)
    if kind == 9:
        return fdp.PickValueInList([True, False, None, [], {}, (), object(), 1j, bytearray(b"ab"),
                                    memoryview(b"ab"), fake_numpy_bool(True), Index("not an int"),
                                    Index(1.5), Floaty("x"), Floaty(2)])
    if kind == 10:
        return SubInt(pick_int(fdp))
    if kind == 11:
        return SubFloat(pick_float(fdp))
    if kind == 12:
        return SubStr(pick_text(fdp))
    if kind == 13:
        return SubBytes(pick_bytes(fdp))
    return EvilStr(pick_text(fdp))


# ---------------------------------------------------------------------------
# Scenario: any function, any arguments.

def scenario_any_call(fdp):
    name = fdp.PickValueInList(FUNCTIONS)
    fn = getattr(pw, name)
    params = PARAMS[name]
    nargs = fdp.ConsumeIntInRange(0, len(params) + 1)
    args = [pick_any(fdp) for _ in range(nargs)]
    kwargs = {}
    if fdp.ConsumeBool():
        # Move some arguments to keywords, maybe under a wrong or repeated name.
        for _ in range(fdp.ConsumeIntInRange(1, 3)):
            key = fdp.PickValueInList(list(params) + ["value", "bits", "text", "bogus", "_value", "signed"])
            kwargs[key] = pick_any(fdp)
        if args and fdp.ConsumeBool():
            args.pop()
    ok, result = call(fn, *args, **kwargs)
    if not ok:
        return
    if name.startswith("encode_") and name[7:] in TEXT or name == "pack_parameters":
        check(type(result) is bytes, "result type", name, result)
    elif name.startswith("decode_") and name[7:] in TEXT:
        check(type(result) is str, "result type", name, result)
    elif name == "unpack_parameters":
        check(type(result) is dict, "result type", name, result)
    elif name.startswith("encode_"):
        check(type(result) is int and 0 <= result <= U64, "encoder result", name, args, kwargs, result)
    elif name in ("decode_ieee754_f16", "decode_ieee754_f32", "decode_ieee754_f64", "decode_ieee754_f128"):
        check(type(result) is float, "result type", name, result)
    else:
        check(type(result) is int and -(1 << 63) <= result < (1 << 63), "decoder result", name, args, result)


# ---------------------------------------------------------------------------
# Scenario: numeric codecs against their documented behaviour.

def expect_value_error(ok, result, message, *context):
    check(not ok and type(result) is ValueError and str(result) == message, "expected ValueError", message,
          result, *context)


def scenario_integers(fdp):
    v = pick_int(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1)
    bits = fdp.ConsumeIntInRange(0, 70) if fdp.ConsumeIntInRange(0, 7) else pick_int(fdp)
    in_i64 = -(1 << 63) <= v < (1 << 63)
    in_size = 0 <= bits <= U64
    for name in ("twos_complement", "ones_complement", "sign_magnitude"):
        ok, r = call(getattr(pw, "encode_" + name), v, bits)
        if not in_i64 or not in_size:
            check(not ok and type(r) is OverflowError, "out-of-range argument", name, v, bits, r)
            continue
        if name == "sign_magnitude":
            if bits < 2 or bits > 64:
                expect_value_error(ok, r, "bits must be between 2 and 64 for sign-magnitude encoding", v, bits)
                continue
            fits = abs(v) < 1 << (bits - 1)
        else:
            if bits > 64:
                word = "two's" if name == "twos_complement" else "ones'"
                expect_value_error(ok, r, f"bits must be <= 64 for {word} complement encoding", v, bits)
                continue
            if bits == 0:
                check(not ok or r == 0 or (name == "ones_complement" and v >= 0), "width 0", name, v, r)
                continue
            half = 1 << (bits - 1)
            fits = -half <= v < half if name == "twos_complement" else abs(v) < half
            if name == "twos_complement" and bits == 64:
                fits = True
        check(ok == fits, "range check", name, v, bits, r)
        if ok:
            check(0 <= r < 1 << bits, "pattern outside the field", name, v, bits, r)
            ok2, back = call(getattr(pw, "decode_" + name), r, bits)
            check(ok2 and back == v, "round trip", name, v, bits, r, back)
    # Decoders on any pattern and width, against the documented formulas.
    p = fdp.ConsumeIntInRange(0, U64)
    if not in_size:
        return
    s = (bits - 1) % 64
    signed = lambda x: x - (1 << 64) if x >= 1 << 63 else x  # noqa: E731
    if bits >= 64:
        twos = signed(p)
        ones = signed(p) + (p >> 63)
    elif bits == 0:
        twos = 0 if p >> 63 else signed(p)
        ones = signed(p)
    else:
        neg = (p >> (bits - 1)) & 1
        twos = -(((1 << 64) - p) & ((1 << bits) - 1)) if neg else signed(p)
        ones = signed((p - (1 << bits) + 1) % (1 << 64)) if neg else signed(p)
    mag = p & ((1 << s) - 1)
    sm = -mag if (p >> s) & 1 else mag
    for name, want in (("twos_complement", twos), ("ones_complement", ones), ("sign_magnitude", sm)):
        ok, r = call(getattr(pw, "decode_" + name), p, bits)
        check(ok and r == want, "decoder", name, p, bits, r, want)


def scenario_bcd(fdp):
    v = fdp.ConsumeIntInRange(-(10 ** 17), 10 ** 17) if fdp.ConsumeBool() else pick_int(fdp)
    bits = fdp.ConsumeIntInRange(0, 72) if fdp.ConsumeIntInRange(0, 7) else pick_int(fdp)
    signed = fdp.ConsumeBool()
    if not (-(1 << 63) <= v < (1 << 63)) or not (0 <= bits <= U64):
        for name in ("encode_packed_bcd", "encode_unpacked_bcd"):
            ok, r = call(getattr(pw, name), v, bits, signed)
            check(not ok and type(r) is OverflowError, "out-of-range argument", name, v, bits, r)
        return
    for packed in (True, False):
        name = "packed_bcd" if packed else "unpacked_bcd"
        ok, r = call(getattr(pw, "encode_" + name), v, bits, signed=signed)
        unit = 4 if packed else 8
        if bits < unit:
            expect_value_error(ok, r, f"bits must be >= {unit} for {'packed' if packed else 'unpacked'} BCD", v, bits)
            continue
        if bits > 64:
            if ok:
                ok2, back = call(getattr(pw, "decode_" + name), r, bits, signed)
                check(ok2 and back == v, "wide-field round trip", name, v, bits, r, back)
            continue
        if v < 0 and not signed:
            if packed or not ok:
                expect_value_error(ok, r, "Cannot encode negative value in unsigned BCD", name, v, bits)
            continue
        digits = bits // unit - (1 if packed and signed else 0)
        fits = len(str(abs(v))) <= digits or v == 0
        if not fits:
            expect_value_error(ok, r, f"Value {v} has too many digits for {digits} BCD digits", name, bits, signed)
            continue
        check(ok, "refused a value that fits", name, v, bits, signed, r)
        ok2, back = call(getattr(pw, "decode_" + name), r, bits, signed)
        check(ok2 and back == v, "round trip", name, v, bits, signed, r, back)
        # The interpreter's own formatting of the digits.
        mag = abs(v)
        if packed:
            want = int(str(mag), 16) << 4 | (0xD if v < 0 else 0xC) if signed else int(str(mag), 16)
        else:
            ds = str(mag).rjust(digits, "0")
            want = 0
            for i, ch in enumerate(ds):
                zone = 0 if not signed else (0xF0 if i < len(ds) - 1 else (0xD0 if v < 0 else 0xC0))
                want = want << 8 | zone | int(ch)
        check(r == want, "BCD pattern", name, v, bits, signed, hex(r), hex(want))


def f16_of_f32_value(x):
    """binary16 bits of a value exactly representable in binary32, via struct 'e'."""
    try:
        return struct.unpack("<H", struct.pack("<e", x))[0]
    except OverflowError:
        return 0x7C00 | (0x8000 if math.copysign(1, x) < 0 else 0)


def narrowed(x):
    """x rounded to binary32 the way the module narrows, via struct 'f'."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        # Beyond the binary32 range: the infinity of its sign, unless it rounds to FLT_MAX.
        return math.copysign(math.inf, x) if abs(x) >= 3.4028235677973366e38 else math.copysign(3.4028234663852886e38, x)


def f128_reference(v):
    sign = -1.0 if v >> 127 else 1.0
    e = (v >> 112) & 0x7FFF
    f = v & ((1 << 112) - 1)
    if e == 0x7FFF:
        return math.nan if f else sign * math.inf
    if e >= 0x43FF:
        return sign * math.inf
    if e <= 0x3C00:
        return sign * 0.0
    return sign * math.ldexp((1 << 52) | (f >> 60), e - 16383 - 52)


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


def scenario_ieee754(fdp):
    x = pick_float(fdp)
    if fdp.ConsumeIntInRange(0, 5) == 0:
        x = pick_int(fdp)  # ints are numbers too
    try:
        xd = float(x)
    except OverflowError:
        for name in ("encode_ieee754_f16", "encode_ieee754_f32", "encode_ieee754_f64"):
            ok, r = call(getattr(pw, name), x)
            check(not ok and type(r) is OverflowError, "int too large for a float", name, r)
        return
    ok16, h = call(pw.encode_ieee754_f16, x)
    ok32, s = call(pw.encode_ieee754_f32, x)
    ok64, d = call(pw.encode_ieee754_f64, x)
    check(ok16 and ok32 and ok64, "float encoders refused a number", x, h, s, d)
    n = narrowed(xd)
    if not math.isnan(xd):
        check(s == struct.unpack("<I", struct.pack("<f", n))[0], "binary32 pattern", x, hex(s))
        check(d == struct.unpack("<Q", struct.pack("<d", xd))[0], "binary64 pattern", x, hex(d))
        check(h == f16_of_f32_value(n), "binary16 pattern (binary32 first, then binary16)", x, hex(h),
              hex(f16_of_f32_value(n)))
    else:
        check((s & 0x7F800000) == 0x7F800000 and s & 0x7FFFFF, "binary32 NaN", x, hex(s))
        check((h & 0x7C00) == 0x7C00 and h & 0x200, "binary16 NaN is quiet", x, hex(h))
    ok, back = call(pw.encode_ieee754_f128, x)
    check(not ok and type(back) is NotImplementedError and str(back) == "IEEE 754 f128 encoding not yet implemented",
          "binary128 encoder", back)
    # Decoders against struct.
    p = pick_int(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, U64)
    if 0 <= p <= U64:
        for name, width, code in (("decode_ieee754_f16", 2, "<e"), ("decode_ieee754_f32", 4, "<f"),
                                  ("decode_ieee754_f64", 8, "<d")):
            ok, r = call(getattr(pw, name), p)
            want = struct.unpack(code, (p & ((1 << (8 * width)) - 1)).to_bytes(width, "little"))[0]
            check(ok and same_float(r, want), "decoder differs from struct", name, hex(p), r, want)
    q = fdp.ConsumeIntInRange(0, (1 << 128) - 1)
    if fdp.ConsumeBool():
        q = (q & ~(0x7FFF << 112)) | (fdp.PickValueInList([0, 0x3C00, 0x3C01, 0x3FFF, 0x43FE, 0x43FF, 0x7FFF]) << 112)
    ok, r = call(pw.decode_ieee754_f128, q)
    want = f128_reference(q)
    check(ok and same_float(r, want), "binary128 decode", hex(q), r, want)
    if math.isnan(want):
        check(struct.pack("<d", r) == struct.pack("<d", math.nan) and math.copysign(1, r) > 0,
              "binary128 NaN is the positive quiet NaN", hex(q), r)


def scenario_legacy(fdp):
    name = fdp.PickValueInList(list(LEGACY))
    v = pick_any(fdp)
    for direction in ("encode", "decode"):
        ok, r = call(getattr(pw, f"{direction}_{name}"), v)
        check(not ok, "legacy function returned", name, r)
        if type(r) is NotImplementedError:
            word = "encoding" if direction == "encode" else "format"
            check(str(r) == f"{LEGACY[name]} {word} not yet implemented", "legacy message", name, r)


# ---------------------------------------------------------------------------
# Scenario: text codecs against the interpreter's codecs.

CP1252_C1 = {0x81, 0x8D, 0x8F, 0x90, 0x9D}  # bytes that Python's cp1252 leaves undefined


def ref_encode(enc, s):
    """bytes, or the ValueError message."""
    if enc == "utf8":
        return s.encode("utf-8")
    if enc in ("utf16", "utf16be"):
        return (b"\xfe\xff" if enc == "utf16" else b"") + s.encode("utf-16-be")
    if enc == "utf16le":
        return s.encode("utf-16-le")
    if enc in ("utf32", "utf32be"):
        return (b"\x00\x00\xfe\xff" if enc == "utf32" else b"") + s.encode("utf-32-be")
    if enc == "utf32le":
        return s.encode("utf-32-le")
    if enc in ("us_ascii", "iso_8859_1"):
        limit, label = (0x7F, "US-ASCII") if enc == "us_ascii" else (0xFF, "ISO-8859-1")
        for c in s:
            if ord(c) > limit:
                return f"Character '{c}' (U+{ord(c):04X}) is not valid {label}"
        return s.encode("latin-1")
    out = bytearray()
    for c in s:
        if ord(c) in CP1252_C1:
            out.append(ord(c))
            continue
        try:
            b = c.encode("cp1252")
        except UnicodeEncodeError:
            return "Failed to encode to Windows-1252"
        if b[0] in CP1252_C1:
            return "Failed to encode to Windows-1252"
        out += b
    return bytes(out)


def _utf8(b):
    try:
        return True, b.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return False, f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {e.start}"
        return False, f"Invalid UTF-8 bytes: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"


def _utf16(b, le):
    if len(b) % 2:
        return False, "UTF-16 requires an even number of bytes"
    try:
        return True, b.decode("utf-16-le" if le else "utf-16-be")
    except UnicodeDecodeError:
        return False, "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"


def _utf32(b, le):
    if len(b) % 4:
        return False, "UTF-32 requires a multiple of 4 bytes"
    try:
        return True, b.decode("utf-32-le" if le else "utf-32-be")
    except UnicodeDecodeError as e:
        unit = int.from_bytes(b[e.start:e.start + 4], "little" if le else "big")
        return False, f"Invalid UTF-32 codepoint: 0x{unit:08X}"


def ref_decode(enc, b):
    """(True, str) or (False, the ValueError message)."""
    if enc == "utf8":
        return _utf8(b)
    if enc == "utf16":
        if len(b) < 2 or len(b) % 2:
            return False, "UTF-16 requires an even number of bytes with at least 2 bytes"
        if b[:2] in (b"\xfe\xff", b"\xff\xfe"):
            return _utf16(b[2:], b[:2] == b"\xff\xfe")
        return _utf16(b, False)
    if enc in ("utf16le", "utf16be"):
        return _utf16(b, enc == "utf16le")
    if enc == "utf32":
        if len(b) < 4 or len(b) % 4:
            return False, "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"
        if b[:4] in (b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00"):
            return _utf32(b[4:], b[:4] == b"\xff\xfe\x00\x00")
        return _utf32(b, False)
    if enc in ("utf32le", "utf32be"):
        return _utf32(b, enc == "utf32le")
    if enc == "us_ascii":
        for x in b:
            if x > 0x7F:
                return False, f"Invalid US-ASCII byte: 0x{x:02X} (must be <= 0x7F)"
        return True, b.decode("ascii")
    if enc == "iso_8859_1":
        return True, b.decode("latin-1")
    # windows-1252: a byte order mark chooses UTF-8 or UTF-16.
    if b[:3] == b"\xef\xbb\xbf":
        ok, r = _utf8(b[3:])
    elif b[:2] in (b"\xff\xfe", b"\xfe\xff"):
        ok, r = _utf16(b[2:], b[:2] == b"\xff\xfe")
    else:
        return True, "".join(chr(x) if x in CP1252_C1 else bytes([x]).decode("cp1252") for x in b)
    return (True, r) if ok else (False, "Failed to decode Windows-1252 bytes")


def scenario_text(fdp):
    enc = fdp.PickValueInList(TEXT)
    s = pick_text(fdp)
    if fdp.ConsumeBool():
        s = SubStr(s)
    ok, r = call(getattr(pw, "encode_" + enc), s)
    try:
        str(s).encode("utf-8")
        has_surrogate = False
    except UnicodeEncodeError:
        has_surrogate = True
    if has_surrogate:
        check(not ok and type(r) is UnicodeEncodeError, "lone surrogate not refused", enc, s, r)
    else:
        want = ref_encode(enc, str(s))
        if isinstance(want, bytes):
            check(ok and r == want, "encoder differs from the interpreter's codec", enc, s, r, want)
        else:
            expect_value_error(ok, r, want, enc, s)
        if ok:
            # And back, where the bytes cannot be taken for a byte order mark.
            bom = r[:3] == b"\xef\xbb\xbf" or r[:2] in (b"\xff\xfe", b"\xfe\xff")
            if not (enc == "windows_1252" and bom):
                ok2, back = call(getattr(pw, "decode_" + enc), r)
                check(ok2 and back == s, "text does not decode back", enc, s, r, back)
    b = pick_bytes(fdp)
    if fdp.ConsumeBool():
        b = SubBytes(b)
    ok, r = call(getattr(pw, "decode_" + enc), b)
    good, want = ref_decode(enc, bytes(b))
    if good:
        check(ok and r == want and type(r) is str, "decoder differs from the interpreter's codec", enc, b, r, want)
    else:
        expect_value_error(ok, r, want, enc, b)


# ---------------------------------------------------------------------------
# Packets: a reference packer and reader written from the documented layout.

PACK_NAMES = {
    "unsigned": "unsigned", "twos_complement": "twos", "twoscomplement": "twos", "ones_complement": "ones",
    "onescomplement": "ones", "sign_magnitude": "sm", "signmagnitude": "sm", "bcd": "bcd",
    "bcd_signed": "bcd_s", "bcd-signed": "bcd_s", "packed_bcd": "pbcd", "packed-bcd": "pbcd",
    "packed_bcd_signed": "pbcd_s", "packed-bcd-signed": "pbcd_s", "ieee754_f16": "f16", "ieee754-f16": "f16",
    "ieee754_f32": "f32", "ieee754-f32": "f32", "ieee754_f64": "f64", "ieee754-f64": "f64",
    "utf8": "utf8", "utf-8": "utf8", "utf16": "utf16", "utf-16": "utf16", "utf16le": "utf16le",
    "utf-16le": "utf16le", "utf16be": "utf16be", "utf-16be": "utf16be", "utf32": "utf32", "utf-32": "utf32",
    "utf32le": "utf32le", "utf-32le": "utf32le", "utf32be": "utf32be", "utf-32be": "utf32be",
    "us_ascii": "us_ascii", "us-ascii": "us_ascii", "iso_8859_1": "iso_8859_1", "iso-8859-1": "iso_8859_1",
    "windows_1252": "windows_1252", "windows-1252": "windows_1252",
}
READ_NAMES = dict(PACK_NAMES, **{"latin1": "iso_8859_1", "ieee754_f128": "f128", "ieee754-f128": "f128"})
for _n in LEGACY:
    READ_NAMES[_n] = READ_NAMES[_n.replace("_", "-")] = "legacy:" + _n
SPELLINGS = sorted(set(READ_NAMES) | {"twosComplement", "UTF-8", "Latin1", "IEEE754-F64", "Packed-BCD-Signed",
                                      "utf_8", " utf8", "ascii", "İ", "unsigned\0", "ＵＴＦ８"})


class Expected(Exception):
    """What the engine must raise: kind name and message (None: any message)."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind, self.message = kind, message


class Unsettled(Exception):
    """A case whose result the documentation leaves open."""


def _fail_from(e):
    return Expected(type(e).__name__, str(e))


def _index(v):
    """The int the module's integer conversion sees, or the failure it raises."""
    try:
        return operator.index(v)
    except TypeError:
        raise Expected("TypeError") from None


def _to_float(v):
    """What the module's float conversion gives (PyFloat_AsDouble's rules)."""
    if isinstance(v, float):
        return float(v)
    if hasattr(type(v), "__float__"):
        try:
            return float(v)
        except TypeError:
            raise Expected("TypeError") from None
    try:
        return float(operator.index(v))
    except TypeError:
        raise Expected("TypeError") from None
    except OverflowError:
        raise Expected("OverflowError") from None


def _size(d, key, required=True):
    if key not in d:
        if required:
            raise Expected("KeyError", str(KeyError(f"Recipe missing required field: '{key}'")))
        return None
    v = _index(d[key])
    if not 0 <= v <= U64:
        raise Expected("OverflowError")
    return v


def _text(d, key):
    if key not in d:
        raise Expected("KeyError", str(KeyError(f"Recipe missing required field: '{key}'")))
    v = d[key]
    if not isinstance(v, str):
        raise Expected("TypeError", f"'{type(v).__name__}' object cannot be cast as 'str'")
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        raise Expected("UnicodeEncodeError") from None
    return v


def _flag(d, key):
    if key not in d:
        raise Expected("KeyError", str(KeyError(f"Recipe missing required field: '{key}'")))
    v = d[key]
    if type(v).__name__ in ("numpy.bool_", "numpy.bool"):
        return bool(v)
    if type(v) is not bool:
        raise Expected("TypeError", f"'{type(v).__name__}' object cannot be cast as 'bool'")
    return v


def _keys(d):
    if not isinstance(d, dict):
        raise Expected("TypeError", f"'{type(d).__name__}' object cannot be cast as 'dict'")
    name = _text(d, "name")
    enc = _text(d, "encoding")
    bits = _size(d, "bits")
    order = _text(d, "byte_order")
    rev = _flag(d, "reverse_bits")
    offset = _size(d, "offset_bits", required=False)
    return name, enc, bits, order, rev, offset


def _order(order):
    low = str.lower(order)
    if low not in ("big", "little"):
        raise Expected("ValueError", f"Invalid byte_order '{order}': must be 'big' or 'little'")
    return low


def _reverse(v, bits):
    return int(format(v & ((1 << bits) - 1), f"0{bits}b")[::-1], 2) if bits else 0


def _i64(v):
    v = _index(v)
    if not -(1 << 63) <= v < (1 << 63):
        raise Expected("OverflowError")
    return v


def _module(fn, *args):
    try:
        return fn(*args)
    except (ValueError, NotImplementedError) as e:
        raise _fail_from(e) from None


def field_bytes(kind, bits, rev, v):
    """The field bytes before byte order, as the packer makes them."""
    if kind in ("utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1",
                "windows_1252"):
        if not isinstance(v, str):
            raise Expected("TypeError")
        try:
            v.encode("utf-8")
        except UnicodeEncodeError:
            raise Expected("UnicodeEncodeError") from None
        if kind == "utf8":
            return v.encode("utf-8")
        return _module(getattr(pw, "encode_" + kind), v)
    if kind in ("f16", "f32", "f64"):
        v = _to_float(v)
        pattern = getattr(pw, {"f16": "encode_ieee754_f16", "f32": "encode_ieee754_f32", "f64": "encode_ieee754_f64"}[kind])(v)
    elif kind == "unsigned":
        v = _index(v)
        if not 0 <= v <= U64:
            raise Expected("OverflowError")
        if bits <= 63 and v >= 1 << bits:
            raise Expected("ValueError", f"Value {v} is too large for {bits} bits")
        pattern = v
    else:
        v = _i64(v)
        fn = {"twos": pw.encode_twos_complement, "ones": pw.encode_ones_complement, "sm": pw.encode_sign_magnitude}
        if kind in fn:
            pattern = _module(fn[kind], v, bits)
        else:
            packed = kind.startswith("pbcd")
            pattern = _module(pw.encode_packed_bcd if packed else pw.encode_unpacked_bcd, v, bits,
                              kind.endswith("_s"))
    if rev:
        if bits > 64:
            raise Unsettled("reversal of a field wider than 64 bits")
        pattern = _reverse(pattern, bits)
    n = (bits + 7) // 8
    return (pattern & ((1 << (8 * n)) - 1)).to_bytes(n, "big")


def ref_pack(recipe):
    if not recipe:
        return b""
    end = 0
    for d in recipe:
        if not isinstance(d, dict):
            raise Expected("TypeError", f"'{type(d).__name__}' object cannot be cast as 'dict'")
        bits = _size(d, "bits")
        offset = _size(d, "offset_bits", required=False)
        end = max(end, (end if offset is None else offset) + bits)
    if end > 1 << 22:
        raise Unsettled("a packet too large to model bit by bit")
    total = (end + 7) // 8 * 8
    packet = 0
    cursor = 0
    for d in recipe:
        name, enc, bits, order, rev, offset = _keys(d)
        if "value" not in d:
            raise Expected("KeyError", str(KeyError(f"Recipe item '{name}' missing required field: 'value'")))
        if offset is not None:
            cursor = offset
        kind = PACK_NAMES.get(str.lower(enc))
        if kind is None:
            raise Expected("ValueError", f"Unsupported encoding type: {enc}")
        fb = field_bytes(kind, bits, rev, d["value"])
        if _order(order) == "little":
            fb = fb[::-1]
        length = 8 * len(fb)
        f = int.from_bytes(fb, "big")
        src = f & ((1 << bits) - 1) if length >= bits else f << (bits - length)
        shift = total - (cursor + bits)
        if cursor < total:
            if shift >= 0:
                packet = (packet & ~(((1 << bits) - 1) << shift)) | (src << shift)
            else:
                kept = bits + shift
                packet = (packet & ~((1 << kept) - 1)) | (src >> -shift)
        cursor += bits
    return packet.to_bytes(total // 8, "big")


def ref_unpack(packet, base, recipe):
    out = {}
    cursor = base
    for d in recipe:
        name, enc, bits, order, rev, offset = _keys(d)
        pos = base + offset if offset is not None else cursor
        start, count = pos // 8, (bits + 7) // 8
        if start + count > len(packet):
            raise Expected("?")  # the text is the module's own
        low = _order(order)
        field = packet[start:start + count]
        if low == "little":
            field = field[::-1]
        fi = int.from_bytes(field[:8], "big")
        if not rev:
            if bits < 64:
                fi &= (1 << bits) - 1
        elif bits > 64:
            fi = None  # undefined; only text may use the field
        else:
            fi = _reverse(fi, bits)
        kind = READ_NAMES.get(str.lower(enc))
        if kind is None:
            raise Expected("ValueError", f"Unsupported encoding type: {enc}")
        if fi is None and kind not in TEXT and kind not in ("iso_8859_1",) and not kind.startswith("legacy:") and kind != "f128":
            raise Unsettled("reversal of a field wider than 64 bits")
        if kind == "unsigned":
            v = fi
        elif kind in ("twos", "ones", "sm"):
            v = getattr(pw, {"twos": "decode_twos_complement", "ones": "decode_ones_complement",
                             "sm": "decode_sign_magnitude"}[kind])(fi, bits)
        elif kind in ("bcd", "bcd_s", "pbcd", "pbcd_s"):
            fn = pw.decode_packed_bcd if kind.startswith("p") else pw.decode_unpacked_bcd
            v = _module(fn, fi, bits, kind.endswith("_s"))
        elif kind == "f16":
            v = pw.decode_ieee754_f16(fi & 0xFFFF)
        elif kind == "f32":
            v = struct.unpack(">f", (fi & 0xFFFFFFFF).to_bytes(4, "big"))[0]
        elif kind == "f64":
            v = struct.unpack(">d", (fi & U64).to_bytes(8, "big"))[0]
        elif kind == "f128":
            if bits > 64:
                raise Expected("ValueError", "IEEE 754 f128 requires special handling for >64 bits "
                                             "(not yet implemented in process_recipe)")
            # A narrower field reads as 0.0 in the documented table; the module
            # refuses it instead ("requires a 128-bit field"). Either passes here.
            raise Unsettled("binary128 field of 64 bits or less")
        elif kind.startswith("legacy:"):
            raise Expected("NotImplementedError", f"{LEGACY[kind[7:]]} format not yet implemented")
        elif kind == "iso_8859_1":
            v = field.decode("latin-1")
        else:
            v = _module(getattr(pw, "decode_" + kind), field)
        out[name] = v
        cursor = pos + bits
    return out


def same_rows(a, b):
    """Two result dicts alike, key for key in order (keys compared as plain str:
    a str subclass may define its own equality and hash)."""
    if type(a) is not dict or type(b) is not dict or len(a) != len(b):
        return False
    return all(type(ka) is type(kb) and str.__eq__(ka, kb) is True and same_value(va, vb)
               for (ka, va), (kb, vb) in zip(a.items(), b.items()))


def same_value(a, b):
    if type(a) is not type(b):
        return False
    return same_float(a, b) if isinstance(a, float) else a == b


def compare_engine(fn, ref, args, giant=False):
    try:
        want = ref(*args)
    except Unsettled:
        call(fn, *args, giant=True)
        return
    except Expected as e:
        ok, r = call(fn, *args, giant=giant)
        check(not ok, f"{fn.__name__} succeeded where it must fail", e.kind, e.message, args, r)
        if type(r) is MemoryError:
            return
        check(type(r) is ValueError, f"{fn.__name__} raised {type(r).__name__}, not ValueError", r, args)
        if e.message is not None:
            check(str(r) == f"{e.kind}: {e.message}", f"{fn.__name__} error text", str(r), e.kind, e.message, args)
        elif e.kind != "?":
            check(str(r).startswith(e.kind + ": "), f"{fn.__name__} error kind", str(r), e.kind, args)
        return
    ok, r = call(fn, *args, giant=giant)
    check(ok, f"{fn.__name__} failed", r, args, want)
    if isinstance(want, dict):
        check(same_rows(r, want), "unpack_parameters differs from the reference", args, r, want)
    else:
        check(r == want, "pack_parameters differs from the reference", args, r, want)


VALUE_FOR = {
    "unsigned": lambda fdp, bits: fdp.ConsumeIntInRange(0, (1 << min(bits, 64)) - 1) if fdp.ConsumeIntInRange(0, 5) else pick_int(fdp),
    "text": lambda fdp, bits: pick_text(fdp, surrogates=fdp.ConsumeIntInRange(0, 15) == 0),
    "float": lambda fdp, bits: pick_float(fdp),
    "int": lambda fdp, bits: fdp.ConsumeIntInRange(-(1 << min(max(bits, 1) - 1, 63)), (1 << min(max(bits, 1) - 1, 63)) - 1)
    if fdp.ConsumeIntInRange(0, 5) else pick_int(fdp),
    "bcd": lambda fdp, bits: int(str(fdp.ConsumeIntInRange(0, 10 ** 16))[: max(bits // 4 - 1, 0)] or 0)
    * fdp.PickValueInList([1, 1, -1]),
}


def value_kind(kind):
    if kind in TEXT:
        return "text"
    if kind in ("f16", "f32", "f64"):
        return "float"
    if kind in ("bcd", "bcd_s", "pbcd", "pbcd_s"):
        return "bcd"
    return "unsigned" if kind == "unsigned" else "int"


def pick_item(fdp, for_reading=False, aligned=False, hook=None):
    spelling = fdp.PickValueInList(SPELLINGS)
    if fdp.ConsumeIntInRange(0, 4) == 0:
        spelling = "".join(c.upper() if fdp.ConsumeBool() else c for c in spelling)
    kind = READ_NAMES.get(spelling.lower(), "unsigned")
    if aligned:
        bits = 8 * fdp.ConsumeIntInRange(0, 12)
    else:
        bits = fdp.PickValueInList([0, 1, 3, 4, 7, 8, 12, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 72, 100, 128,
                                    fdp.ConsumeIntInRange(0, 300)])
    item = {"name": fdp.PickValueInList(["a", "b", "c", "d", "é", "x" * 40]),
            "encoding": spelling,
            "bits": bits,
            "byte_order": fdp.PickValueInList(["big", "little", "BIG", "Little", "middle", "bıg"]),
            "reverse_bits": fdp.ConsumeIntInRange(0, 3) == 0}
    if fdp.ConsumeIntInRange(0, 3) == 0:
        item["offset_bits"] = 8 * fdp.ConsumeIntInRange(0, 40) if aligned else fdp.ConsumeIntInRange(0, 400)
    if not for_reading:
        item["value"] = VALUE_FOR[value_kind(kind)](fdp, bits)
    # Now and then a fault in the item itself.
    fault = fdp.ConsumeIntInRange(0, 30)
    if fault == 0:
        del item[fdp.PickValueInList(list(item))]
    elif fault == 1:
        item[fdp.PickValueInList(list(item))] = pick_any(fdp)
    elif fault == 2:
        item["reverse_bits"] = fdp.PickValueInList([0, 1, None, "yes"])
    elif fault == 3:
        item["value"] = pick_any(fdp)
    return item


def scenario_pack(fdp):
    recipe = [pick_item(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if fdp.ConsumeIntInRange(0, 20) == 0:
        recipe.insert(fdp.ConsumeIntInRange(0, len(recipe)), pick_any(fdp))
    if fdp.ConsumeBool():
        recipe = tuple(recipe)
    compare_engine(pw.pack_parameters, ref_pack, (recipe,))


def scenario_unpack(fdp):
    recipe = [pick_item(fdp, for_reading=True) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    if fdp.ConsumeBool() and recipe:
        # Bytes that decode: the encoding of some text, under a text item.
        packet = pick_bytes(fdp) + packet
    base = fdp.PickValueInList([0, 0, 0, 1, 4, 8, 16, fdp.ConsumeIntInRange(0, 600)])
    compare_engine(pw.unpack_parameters, ref_unpack, (packet, base, recipe))


def scenario_round_trip(fdp):
    """A packet built from byte-aligned items reads back to the same values."""
    recipe = []
    for _ in range(fdp.ConsumeIntInRange(1, 5)):
        item = pick_item(fdp, aligned=True)
        recipe.append(item)
    try:
        packet = ref_pack(recipe)
    except (Expected, Unsettled):
        return
    compare_engine(pw.pack_parameters, ref_pack, (recipe,))
    compare_engine(pw.unpack_parameters, ref_unpack, (packet, 0, recipe))


# ---------------------------------------------------------------------------
# Hostile recipes: nothing is checked but the kinds of exceptions (and the
# sanitizers, which watch every access).

def scenario_hostile(fdp):
    recipe = []
    actions = []

    busy = []

    def hook():
        # The dict subclass's methods call the hook too: no hook inside a hook.
        if not actions or busy:
            return
        act, arg = actions[fdp.ConsumeIntInRange(0, len(actions) - 1)] if fdp.remaining_bytes() else actions[0]
        busy.append(1)
        try:
            act(arg)
        finally:
            busy.pop()

    def replace(key):
        # A freshly made object, so that the dict held its only reference.
        fresh = {"name": lambda: "".join(["na", "me", str(len(recipe))]),
                 "value": lambda: float(len(recipe)) * 1.5,
                 "encoding": lambda: "".join(["uns", "igned"]),
                 "byte_order": lambda: "".join(["bi", "g"])}[key]
        for d in recipe:
            if isinstance(d, dict) and key in d:
                d[key] = fresh()

    def clear(_):
        for d in recipe:
            if isinstance(d, dict):
                d.clear()

    def drop(key):
        for d in recipe:
            if isinstance(d, dict):
                d.pop(key, None)

    def reenter(_):
        if depth[0] < 2:
            depth[0] += 1
            try:
                call(pw.pack_parameters, recipe)
                call(pw.unpack_parameters, b"\0" * 64, 0, recipe)
            finally:
                depth[0] -= 1

    def raise_(_):
        raise HookError("hook raised")

    def mutate_list(_):
        if recipe:
            recipe.pop()
        recipe.append({"name": "late", "encoding": "unsigned", "bits": 8, "byte_order": "big",
                       "reverse_bits": False, "value": 1})

    def collect(_):
        gc.collect()

    def fill(_):
        for d in recipe:
            if isinstance(d, dict):
                for i in range(50):
                    d[f"k{i}"] = i  # forces the dict to grow and move its entries

    all_actions = [(replace, "name"), (replace, "value"), (replace, "encoding"), (replace, "byte_order"),
                   (clear, None), (drop, "bits"), (drop, "value"), (reenter, None), (raise_, None),
                   (mutate_list, None), (collect, None), (fill, None)]
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        actions.append(fdp.PickValueInList(all_actions))

    giant = False
    for _ in range(fdp.ConsumeIntInRange(1, 5)):
        item = pick_item(fdp, for_reading=fdp.ConsumeIntInRange(0, 5) == 0)
        slot = fdp.PickValueInList(["bits", "offset_bits", "value", "reverse_bits", "name", "encoding",
                                    "byte_order", None])
        if slot in ("bits", "offset_bits"):
            base = fdp.PickValueInList([item.get(slot, 8) if isinstance(item.get(slot, 8), int) else 8,
                                        U64, U64 - 7, 1 << 63, GIANT, 1 << 62, (1 << 64) - 8])
            item[slot] = Index(base, hook) if fdp.ConsumeBool() else base
            giant |= base >= GIANT
        elif slot == "value":
            item["value"] = fdp.PickValueInList([Index, Floaty])(pick_int(fdp) if fdp.ConsumeBool() else 1, hook)
        elif slot == "reverse_bits":
            item["reverse_bits"] = fake_numpy_bool(fdp.ConsumeBool(), hook)
        elif slot in ("name", "encoding", "byte_order"):
            item[slot] = fdp.PickValueInList([SubStr, EvilStr])(str(item.get(slot, "x")))
        if fdp.ConsumeIntInRange(0, 4) == 0:
            item = {EvilStr(k) if fdp.ConsumeBool() else SubStr(k): v for k, v in item.items()}
        if fdp.ConsumeIntInRange(0, 4) == 0:
            sub = type("ItemDict", (dict,), {"__getitem__": lambda self, k: hook() or dict.__getitem__(self, k),
                                              "get": lambda self, k, d=None: hook() or dict.get(self, k, d),
                                              "__contains__": lambda self, k: hook() or dict.__contains__(self, k)})
            item = sub(item)
        recipe.append(item)
    giant |= any(isinstance(d, dict) and any(isinstance(v, int) and v >= GIANT for v in d.values()) for d in recipe)
    call(pw.pack_parameters, recipe, giant=True if giant else False)
    call(pw.unpack_parameters, b"\xa5" * fdp.ConsumeIntInRange(0, 40), fdp.PickValueInList([0, 3, U64]), recipe)
    call(pw.unpack_parameters, pick_bytes(fdp), Index(fdp.ConsumeIntInRange(0, 70), hook), recipe)


def scenario_giant(fdp):
    """Huge widths and offsets: a MemoryError or a clear error, never a crash or a hang."""
    bits = fdp.PickValueInList([U64, U64 - 7, 1 << 63, (1 << 63) - 1, 1 << 62, GIANT, 1 << 48, 1 << 44])
    offset = fdp.PickValueInList([None, 0, 7, U64, U64 - 7, (1 << 64) - 8, 1 << 63, GIANT])
    kind = fdp.PickValueInList(["unsigned", "utf8", "ieee754_f64", "packed_bcd", "twos_complement", "windows-1252"])
    item = {"name": "g", "encoding": kind, "bits": bits, "byte_order": fdp.PickValueInList(["big", "little"]),
            "reverse_bits": fdp.ConsumeBool(),
            "value": "x" * fdp.ConsumeIntInRange(0, 9) if kind in ("utf8", "windows-1252") else 1}
    if offset is not None:
        item["offset_bits"] = offset
    small = {"name": "s", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 3}
    recipe = fdp.PickValueInList([[item], [small, item], [item, small]])
    call(pw.pack_parameters, recipe, giant=True)
    call(pw.unpack_parameters, b"\x01" * fdp.ConsumeIntInRange(0, 16), fdp.PickValueInList([0, U64, 1 << 63]), recipe)


# ---------------------------------------------------------------------------
# The compiled Recipe type: it must agree with the two packet functions, and
# its bit-exact reader must give back what its packer wrote.

def scenario_recipe(fdp):
    if not hasattr(pw, "Recipe"):
        return
    aligned = fdp.ConsumeBool()
    items = [pick_item(fdp, aligned=aligned) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    # Packets of a few KiB at most: a giant one is the giant scenario's business
    # and would only cost time here.
    for d in items:
        for key in ("bits", "offset_bits"):
            if isinstance(d, dict) and type(d.get(key)) is int and d[key] > 4096:
                d[key] = d[key] % 4096
    exact = fdp.ConsumeBool()
    ok, recipe = call(pw.Recipe, items, bit_exact=exact)
    ok_pack, packet = call(pw.pack_parameters, items, giant=True)
    if not ok:
        check(type(recipe) is not MemoryError or not ok_pack, "Recipe refused what pack_parameters packs", items,
              recipe)
        return
    # Read once: later edits of the items change nothing.
    snapshot = [dict(d) if isinstance(d, dict) else d for d in items]
    for d in items:
        if isinstance(d, dict) and fdp.ConsumeBool():
            d["bits"] = fdp.ConsumeIntInRange(0, 99)
            d.pop("value", None)
    ok2, mine = call(recipe.pack, giant=True)
    if ok_pack and not exact:
        check(ok2 and mine == packet, "Recipe.pack differs from pack_parameters", snapshot, mine, packet)
    elif ok_pack:
        # An exact recipe packs as the function does, but refuses text too long
        # for its field, and keeps a NaN's quiet bit as the value holds it.
        nan = any(isinstance(d, dict) and isinstance(d.get("value"), float) and d["value"] != d["value"]
                  for d in snapshot)
        if ok2 and not nan:
            check(mine == packet, "exact Recipe.pack differs from pack_parameters", snapshot, mine, packet)
        elif not ok2 and type(mine) is ValueError:
            check("does not fit a field" in str(mine), "exact Recipe refused what pack_parameters packs",
                  snapshot, mine)
    # A Recipe compares by its items, so values must compare by value too.
    plain = all(isinstance(d, dict) and all(type(v) in (int, str, bool) or (type(v) is float and v == v)
                                            for v in d.values()) for d in snapshot)
    if plain:
        again = pickle.loads(pickle.dumps(recipe))
        check(again == recipe, "a pickled Recipe differs", snapshot)
    if not ok2 or type(mine) is not bytes:
        return
    # Reading.
    data = mine + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24))
    base = fdp.PickValueInList([0, 0, 1, 8, fdp.ConsumeIntInRange(0, 64)])
    ok3, rows = call(recipe.unpack, data, base, giant=True)
    if not exact:
        ok4, want = call(pw.unpack_parameters, data, base, snapshot, giant=True)
        check(ok3 == ok4 and (not ok3 or same_rows(rows, want)), "Recipe.unpack differs from unpack_parameters",
              snapshot, data, base, rows, want)
    elif base == 0 and ok3:
        # Bit-exact: numeric values written without overlap come back.
        overlap = any("offset_bits" in d for d in snapshot)
        names = [d["name"] for d in snapshot]
        if not overlap and len(set(names)) == len(names):
            for d in snapshot:
                kind = PACK_NAMES.get(str.lower(d["encoding"]))
                if kind in ("twos", "ones", "sm", "unsigned", "bcd", "bcd_s", "pbcd", "pbcd_s") and \
                        d["bits"] <= 64 and (str.lower(d["byte_order"]) == "big" or d["bits"] % 8 == 0):
                    v = operator.index(d["value"])
                    check(rows[d["name"]] == v, "bit-exact Recipe does not read back its packet", snapshot,
                          mine, rows)
    size = recipe.size
    if size and len(data) >= size and fdp.ConsumeBool():
        buf = data * fdp.ConsumeIntInRange(1, 3)
        ok5, listed = call(lambda: list(recipe.iter_unpack(buf)), giant=True)
        if ok5:
            count = len(buf) // size
            check(len(listed) == count, "iter_unpack count", size, len(buf), len(listed))
            for k, row in enumerate(listed):
                okk, one = call(recipe.unpack, buf[k * size:(k + 1) * size])
                check(okk and same_rows(row, one), "iter_unpack differs from unpack", k, row, one)
            names = [d["name"] for d in snapshot]
            if len(set(names)) == len(names):
                ok6, cols = call(recipe.unpack_columns, buf, giant=True)
                check(ok6, "unpack_columns failed where iter_unpack did not", snapshot, cols)
                for name in names:
                    column = list(cols[name])
                    check(len(column) == count and all(
                        same_value(float(a), float(b)) if isinstance(b, float) else a == b
                        for a, b in zip(column, (row[name] for row in listed))),
                        "unpack_columns differs from iter_unpack", name, column, [r[name] for r in listed])
    # pack_into a buffer that is too small, read-only, or at a far offset.
    target = fdp.PickValueInList([bytearray(size), bytearray(max(size - 1, 0)), bytes(size), memoryview(bytearray(size + 4)),
                                  bytearray(size + 2)])
    offset = fdp.PickValueInList([0, 3, 8, U64, 1 << 63])
    if isinstance(target, bytes):
        # A read-only buffer: the interpreter's BufferError is let through
        # here (struct.pack_into raises TypeError instead).
        try:
            recipe.pack_into(target, offset)
        except (BufferError, TypeError):
            pass
        else:
            raise Finding("pack_into wrote into bytes")
    else:
        call(recipe.pack_into, target, offset, giant=True)
    values = fdp.PickValueInList([None, [], {}, [pick_any(fdp) for _ in snapshot], {"a": pick_any(fdp)}, "abc", 7])
    call(recipe.pack, values, giant=True)


ARRAY_ELEMENTS = [("unsigned", 1), ("unsigned", 5), ("unsigned", 8), ("unsigned", 12), ("unsigned", 16),
                  ("unsigned", 64), ("twos_complement", 7), ("twos_complement", 32), ("ieee754_f16", 16),
                  ("ieee754_f32", 32), ("ieee754_f64", 64), ("packed_bcd", 8)]
LENGTH_FRAMING = pw.Framing(length=(0, 16), length_adjust=0) if hasattr(pw, "Framing") else None


def element_value(fdp, item):
    """A value of the item's element that reads back equal to itself."""
    enc, bits = item["encoding"], item["bits"]
    if enc == "unsigned":
        return fdp.ConsumeIntInRange(0, (1 << bits) - 1)
    if enc == "twos_complement":
        return fdp.ConsumeIntInRange(-(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    if enc == "packed_bcd":
        return fdp.ConsumeIntInRange(0, 99)
    code = {16: "e", 32: "f", 64: "d"}[bits]
    value = struct.unpack(">" + code, fdp.ConsumeIntInRange(0, (1 << bits) - 1).to_bytes(bits // 8, "big"))[0]
    return 0.5 if value != value else value


def scenario_recipe_arrays(fdp):
    """Recipes with arrays: what pack writes reads back by every method, and any bytes are read without harm."""
    if LENGTH_FRAMING is None:
        return
    items = [{"name": "length", "encoding": "unsigned", "bits": 16}]
    rest = False
    for k in range(fdp.ConsumeIntInRange(1, 5)):
        enc, bits = fdp.PickValueInList(ARRAY_ELEMENTS)
        item = {"name": f"f{k}", "encoding": enc, "bits": bits}
        if bits % 8 == 0 and bits > 8 and fdp.ConsumeBool():
            item["byte_order"] = "little"
        kind = fdp.ConsumeIntInRange(0, 1 if rest else 3)
        if kind == 1:
            item["count"] = fdp.ConsumeIntInRange(1, 6)
        elif kind == 2:
            items.append({"name": f"n{k}", "encoding": "unsigned", "bits": fdp.PickValueInList([3, 8, 64])})
            item["count"] = f"n{k}"
        elif kind == 3 and bits >= 8:
            item["count"] = "rest"
            rest = True
        items.append(item)
    ok, recipe = call(pw.Recipe, items)
    check(ok, "a recipe with arrays was refused", items, recipe)
    rows, packets = [], []
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        values = {"length": 0}
        for item in items[1:]:
            count = item.get("count")
            if count is None:
                values.setdefault(item["name"], element_value(fdp, item))
                continue
            n = count if isinstance(count, int) else fdp.ConsumeIntInRange(0, 5 if item["bits"] < 64 else 2)
            values[item["name"]] = [element_value(fdp, item) for _ in range(n)]
            if isinstance(count, str) and count != "rest":
                values[count] = n
        ok, packet = call(recipe.pack, values)
        check(ok, "pack refused the values of a recipe with arrays", items, values, packet)
        values["length"] = len(packet)
        packet = recipe.pack(values)
        row = {item["name"]: values[item["name"]] for item in items}
        ok, back = call(recipe.unpack, packet)
        check(ok and back == row, "a recipe with arrays does not read back its packet", items, row, back)
        rows.append(row)
        packets.append(packet)
    stream = b"".join(packets)
    index = LENGTH_FRAMING.index(stream)
    check(list(recipe.iter_unpack(stream, index)) == rows, "iter_unpack differs from unpack", items, rows)
    ok, columns = call(recipe.unpack_columns, stream, index, text=fdp.PickValueInList(["str", "utf8"]))
    check(ok, "unpack_columns failed on packets pack wrote", items, columns)
    for item in items:
        name, column = item["name"], columns[item["name"]]
        if isinstance(column, memoryview):
            got = column.tolist()
        elif isinstance(column, tuple):
            values, offsets = column
            got = [list(values[offsets[k]:offsets[k + 1]]) for k in range(len(rows))]
        else:
            got = list(column)
        check(got == [r[name] for r in rows], "unpack_columns differs from unpack", items, name, got, rows)
    ok, again = call(recipe.pack_columns, columns)
    check(ok and again == stream, "pack_columns does not give back the packets", items, rows, again, stream)
    # Any bytes, read every way: faults are exceptions, never harm.
    junk = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    call(recipe.unpack, junk, fdp.PickValueInList([0, 3, 8]))
    ok, junk_index = call(LENGTH_FRAMING.index, junk)
    if ok:
        call(recipe.unpack_columns, junk, junk_index, errors=fdp.PickValueInList(["raise", "mask"]))
        call(lambda: list(recipe.iter_unpack(junk, junk_index)))
    stride = fdp.ConsumeIntInRange(1, 16)
    if len(junk) % stride == 0:
        call(recipe.unpack_columns, junk, stride, errors="mask")
    call(recipe.pack_columns, {k: fdp.PickValueInList([[], [[1]], 3, (b"", b""), [[1, 2], [3]]]) for k in recipe.names})


SCENARIOS = [scenario_any_call, scenario_integers, scenario_bcd, scenario_ieee754, scenario_legacy, scenario_text,
             scenario_text, scenario_pack, scenario_pack, scenario_unpack, scenario_unpack, scenario_round_trip,
             scenario_hostile, scenario_hostile, scenario_giant, scenario_recipe, scenario_recipe,
             scenario_recipe_arrays]


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    SCENARIOS[fdp.ConsumeIntInRange(0, len(SCENARIOS) - 1)](fdp)


def replay(paths):
    """Runs saved inputs in a plain loop; returns the number of findings."""
    files = []
    for p in paths:
        if os.path.isdir(p):
            files += sorted(os.path.join(p, f) for f in os.listdir(p))
        elif os.path.exists(p):
            files.append(p)
    findings = 0
    for f in files:
        with open(f, "rb") as fh:
            data = fh.read()
        try:
            one_input(data)
        except Finding as e:
            findings += 1
            print(f"FINDING in {f}:\n{e}", file=sys.stderr)
    print(f"replayed {len(files)} inputs, {findings} findings")
    return findings


def main():
    print(f"packweaver from {pw.__file__}", file=sys.stderr)
    if len(sys.argv) > 1 and sys.argv[1] == "--replay":
        sys.exit(1 if replay(sys.argv[2:]) else 0)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
