"""Type stubs and documentation for the packweaver extension module.

Every function converts its arguments, calls the native codec or packet
engine, and returns a new Python object; errors are Python exceptions with
fixed message texts, quoted below with placeholders in braces. The examples
assume ``import packweaver as pw``.
"""

from array import array
from collections.abc import Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, Literal, NoReturn, TextIO, Union, final, overload

from _typeshed import ReadableBuffer, WriteableBuffer

__version__: str

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

def unpack_parameters(packet_bytes: bytes, offset_bits: int, recipe: Sequence[Mapping[str, object]]) -> dict[str, Union[int, float, str]]:
    r"""Read the fields of a packet into a dict, as a recipe describes them.

    The reader walks the recipe in order. A field starts at the byte that
    holds its first bit, spans ``(bits + 7) // 8`` whole bytes (reversed for
    ``"little"`` byte order), and keeps the **low** ``bits`` bits of them,
    bit-reversed when ``reverse_bits`` is true. A field's ``offset_bits``
    counts from the call's ``offset_bits``; a field without it starts where
    the previous one ended. Text fields decode all their bytes, padding
    included. Items with equal names share one key; the later value wins.

    Bit layout (bit 0 is the most significant bit of the first byte)::

        a 12-bit "unsigned" field read from the bytes 0xAB 0xC0
        bytes   1010 1011 1100 0000
                ^^^^ dropped          -> 0xBC0 (3008)

    Recipe items (one dict per field; other keys are ignored):

    ================  ============  ==========================================
    key               type          meaning
    ================  ============  ==========================================
    ``name``          str           the parameter's name
    ``encoding``      str           an encoding name (below), in any case
    ``bits``          int >= 0      the field's width in bits
    ``byte_order``    str           ``"big"`` or ``"little"``, in any case
    ``reverse_bits``  bool          reverse the bit order of a numeric field
                                    (exactly True or False; no effect on text)
    ``offset_bits``   int >= 0      optional: where the field starts; without
                                    it the field follows the previous one
    ``value``         int, float    the value to pack (read by the packer
                      or str        only)
    ================  ============  ==========================================

    Encoding names, matched after full Unicode lower-casing, with nothing
    trimmed (``UTF-8`` and ``Packed-BCD-Signed`` match, ``utf_8`` and
    ``" utf8"`` do not):

    ==============================================  ==========================
    names                                           value / result
    ==============================================  ==========================
    ``unsigned``                                    int, 0 to 2**64-1
    ``twos_complement``, ``twosComplement``         int (signed 64-bit)
    ``ones_complement``, ``onesComplement``         int (signed 64-bit)
    ``sign_magnitude``, ``signMagnitude``           int (signed 64-bit)
    ``bcd`` (unpacked), ``bcd_signed`` (zoned)      int (signed 64-bit)
    ``packed_bcd``, ``packed_bcd_signed``           int (signed 64-bit)
    ``ieee754_f16``, ``ieee754_f32``                float (rounded to binary32
                                                    first)
    ``ieee754_f64``                                 float
    ``utf8``, ``utf16``, ``utf16le``, ``utf16be``   str
    ``utf32``, ``utf32le``, ``utf32be``             str
    ``us_ascii``, ``iso_8859_1``, ``windows_1252``  str
    ==============================================  ==========================

    Every name with an underscore also has a hyphenated spelling
    (``bcd-signed``, ``ieee754-f64``, ``utf-16le``, ``us-ascii``);
    ``unsigned`` and ``bcd`` have one spelling only.

    The reader also accepts ``latin1`` (ISO-8859-1), ``ieee754_f128``
    (which fails: ``IEEE 754 f128 requires a 128-bit field, got {bits}
    bits``, or for wider fields ``IEEE 754 f128 requires special handling
    for >64 bits (not yet implemented in process_recipe)``) and the legacy
    float names ``ieee754_1985_f32``, ``ieee754_1985_f64``,
    ``ieee754_1985_f80``, ``mil_std_1750a_f32``, ``mil_std_1750a_f48``,
    ``ti_f32``, ``ti_f40``, ``dec_f32``, ``dec_f64``, ``ibm_f32`` and
    ``ibm_f64``, which fail with NotImplementedError ``{format} format not
    yet implemented``. ``value`` is never read.

    Args:
        packet_bytes: The packet, a ``bytes`` object (bytearray and memoryview
            are refused).
        offset_bits: Where the recipe's bit 0 lies in the packet, 0 to the
            largest ``size_t``.
        recipe: A sequence (not a str) of dicts, one per field.

    Returns:
        A new dict from each item's name to its value: int for the integer
        and BCD encodings, float for IEEE 754, str for text.

    Raises:
        ValueError: Every failure while reading the items, its text the inner
            kind, a colon and its message: ``KeyError: "Recipe missing
            required field: 'bits'"``, ``TypeError: 'int' object cannot be
            cast as 'dict'``, ``ValueError: Packet too short for parameter
            '{name}': needs {n} bytes, packet has {m}``, ``ValueError: Invalid
            byte_order '{byte_order}': must be 'big' or 'little'``,
            ``ValueError: Unsupported encoding type: {encoding}``, a decoder's
            own message (``ValueError: Invalid BCD digit: 10 (must be 0-9)``).
            Checks run in this order per item: keys (``name``, ``encoding``,
            ``bits``, ``byte_order``, ``reverse_bits``, ``offset_bits``), room
            in the packet, byte order, encoding name, decoding.
        TypeError: ``argument 'packet_bytes': ...`` and the like, for an
            argument of the wrong type; ``argument 'recipe': Can't extract
            `str` to `Vec``` for a str recipe.
        OverflowError: A negative or too large ``offset_bits``.

    Example:
        >>> item = {"name": "n", "encoding": "unsigned", "bits": 16,
        ...         "byte_order": "little", "reverse_bits": False}
        >>> pw.unpack_parameters(b"\x34\x12", 0, [item])
        {'n': 4660}
        >>> pw.unpack_parameters(b"\xab\xc0", 0, [dict(item, bits=12, byte_order="big")])
        {'n': 3008}
        >>> pw.unpack_parameters(b"\x00", 0, [item])
        Traceback (most recent call last):
          ...
        ValueError: ValueError: Packet too short for parameter 'n': needs 2 bytes, packet has 1
    """
def pack_parameters(recipe: Sequence[Mapping[str, object]]) -> bytes:
    r"""Build a packet from a recipe: encode every item's value into its field.

    The packer sizes the packet first (every item's ``bits`` and
    ``offset_bits``), zero-fills it, then encodes the items in order. A
    numeric value becomes ``(bits + 7) // 8`` bytes, most significant first
    (right-aligned, its low ``bits`` bits reversed first when
    ``reverse_bits`` is true), byte-reversed for ``"little"`` order; text
    becomes its encoded bytes, byte-reversed for ``"little"`` order. The
    field then receives the **last** ``bits`` bits of those bytes at its
    exact bit position: a field wider than its bytes is zero-padded at its
    end (short text is left-aligned), a narrower one loses its leading bits.
    ``offset_bits`` is an absolute bit position; a field without it follows
    the previous field. A later field overwrites the bits it covers.

    Bit layout (bit 0 is the most significant bit of the first byte)::

        a = 0xA (4 bits), b = 0x5 (4 bits), c = 0xABC (12 bits)
        bit     0 1 2 3 | 4 5 6 7 | 8 ...              19 | 20..23
                1 0 1 0 | 0 1 0 1 | 1010 1011 1100        | 0000
        bytes   0xA5                0xAB      0xC0

    With ``"little"`` order and a width that is not a multiple of 8, the
    padding bits sit in the last byte after the reversal, so a 12-bit field
    holding 0xABC is written as the bits 1100 0000 1010 (0xBC minus its
    first four bits, then 0x0A).

    Recipe items (one dict per field; other keys are ignored):

    ================  ============  ==========================================
    key               type          meaning
    ================  ============  ==========================================
    ``name``          str           the parameter's name
    ``encoding``      str           an encoding name (below), in any case
    ``bits``          int >= 0      the field's width in bits
    ``byte_order``    str           ``"big"`` or ``"little"``, in any case
    ``reverse_bits``  bool          reverse the bit order of a numeric field
                                    (exactly True or False; no effect on text)
    ``offset_bits``   int >= 0      optional: where the field starts; without
                                    it the field follows the previous one
    ``value``         int, float    the value to pack (read by the packer
                      or str        only)
    ================  ============  ==========================================

    Encoding names, matched after full Unicode lower-casing, with nothing
    trimmed (``UTF-8`` and ``Packed-BCD-Signed`` match, ``utf_8`` and
    ``" utf8"`` do not):

    ==============================================  ==========================
    names                                           value / result
    ==============================================  ==========================
    ``unsigned``                                    int, 0 to 2**64-1
    ``twos_complement``, ``twosComplement``         int (signed 64-bit)
    ``ones_complement``, ``onesComplement``         int (signed 64-bit)
    ``sign_magnitude``, ``signMagnitude``           int (signed 64-bit)
    ``bcd`` (unpacked), ``bcd_signed`` (zoned)      int (signed 64-bit)
    ``packed_bcd``, ``packed_bcd_signed``           int (signed 64-bit)
    ``ieee754_f16``, ``ieee754_f32``                float (rounded to binary32
                                                    first)
    ``ieee754_f64``                                 float
    ``utf8``, ``utf16``, ``utf16le``, ``utf16be``   str
    ``utf32``, ``utf32le``, ``utf32be``             str
    ``us_ascii``, ``iso_8859_1``, ``windows_1252``  str
    ==============================================  ==========================

    Every name with an underscore also has a hyphenated spelling
    (``bcd-signed``, ``ieee754-f64``, ``utf-16le``, ``us-ascii``);
    ``unsigned`` and ``bcd`` have one spelling only.

    The packer knows no other names (``latin1``, ``ieee754_f128`` and the
    legacy float formats are unsupported encodings here).

    Per item the checks run in this order: ``name``, ``encoding``,
    ``bits``, ``byte_order``, ``reverse_bits``, ``offset_bits``, ``value``
    present, encoding name, value converted and encoded, byte order. The
    sizing pass reads ``bits`` and ``offset_bits`` of every item first.

    Args:
        recipe: A sequence (not a str) of dicts, one per field.

    Returns:
        The packet, ``(end + 7) // 8`` bytes where ``end`` is the furthest
        bit any field reaches; an empty recipe gives ``b""``.

    Raises:
        ValueError: Every failure while reading or encoding the items, its
            text the inner kind, a colon and its message: ``KeyError:
            "Recipe missing required field: 'bits'"``, ``KeyError: "Recipe
            item '{name}' missing required field: 'value'"``, ``ValueError:
            Unsupported encoding type: {encoding}``, ``ValueError: Value
            {value} is too large for {bits} bits`` (``unsigned``), ``ValueError:
            Invalid byte_order '{byte_order}': must be 'big' or 'little'``,
            an encoder's own message, or ``TypeError: ...`` and
            ``OverflowError: ...`` for a key or value of the wrong type or
            range.
        TypeError: ``argument 'recipe': Can't extract `str` to `Vec``` for a
            str, ``argument 'recipe': '{type}' object cannot be cast as
            'Sequence'`` for another non-sequence.

    Example:
        >>> def item(name, bits, value, order="big"):
        ...     return {"name": name, "encoding": "unsigned", "bits": bits,
        ...             "byte_order": order, "reverse_bits": False, "value": value}
        >>> pw.pack_parameters([item("hi", 4, 10), item("lo", 4, 5)])
        b'\xa5'
        >>> pw.pack_parameters([item("c", 12, 0xABC, "little")]).hex()
        'c0a0'
        >>> pw.pack_parameters([item("n", 8, 256)])
        Traceback (most recent call last):
          ...
        ValueError: ValueError: Value 256 is too large for 8 bits
    """
def decode_ones_complement(value: int, bits: int) -> int:
    r"""Decode a ones'-complement field of ``bits`` bits into a signed integer.

    The all-ones field (negative zero) decodes as 0. With the sign bit clear
    the pattern is returned as it is, bits above the field included. Never
    fails after argument conversion.

    Args:
        value: The bit pattern, 0 to 2**64-1.
        bits: The field width, normally 1 to 64.

    Returns:
        The integer, in the signed 64-bit range.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int,
            ``argument 'bits': ...`` likewise.
        OverflowError: A negative pattern or one of 2**64 or more, or a
            negative ``bits``.

    Example:
        >>> pw.decode_ones_complement(254, 8), pw.decode_ones_complement(255, 8)
        (-1, 0)
    """
def decode_twos_complement(value: int, bits: int) -> int:
    r"""Decode a two's-complement field of ``bits`` bits into a signed integer.

    With the sign bit (bit ``bits - 1``) clear the pattern is returned as it
    is, bits above the field included (261 with ``bits`` 8 gives 261); with
    it set, the result is negative and bits above the field are ignored.
    Widths of 64 and more read the pattern as a signed 64-bit integer. Never
    fails after argument conversion.

    Args:
        value: The bit pattern, 0 to 2**64-1.
        bits: The field width, normally 1 to 64.

    Returns:
        The integer, in the signed 64-bit range.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int,
            ``argument 'bits': ...`` likewise.
        OverflowError: A negative pattern or one of 2**64 or more, or a
            negative ``bits``.

    Example:
        >>> pw.decode_twos_complement(255, 8), pw.decode_twos_complement(128, 8)
        (-1, -128)
        >>> pw.decode_twos_complement(2**64 - 1, 64)
        -1
    """
def decode_sign_magnitude(value: int, bits: int) -> int:
    r"""Decode a sign-magnitude field of ``bits`` bits into a signed integer.

    The magnitude is the bits below the sign bit; the sign bit and every bit
    above it are left out of it. Negative zero decodes as 0. Never fails
    after argument conversion.

    Args:
        value: The bit pattern, 0 to 2**64-1.
        bits: The field width, normally 2 to 64.

    Returns:
        The integer, in the signed 64-bit range.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int,
            ``argument 'bits': ...`` likewise.
        OverflowError: A negative pattern or one of 2**64 or more, or a
            negative ``bits``.

    Example:
        >>> pw.decode_sign_magnitude(133, 8), pw.decode_sign_magnitude(128, 8)
        (-5, 0)
    """
def decode_unpacked_bcd(value: int, bits: int, signed: bool = False) -> int:
    r"""Decode an unpacked BCD (one digit a byte) or zoned decimal field.

    Unsigned, every byte must be 0x00 to 0x09 (ASCII and EBCDIC digits are
    refused). Signed, byte 0 may be 0x30-0x39, 0xC0-0xC9, 0xF0-0xF9
    (positive) or 0xD0-0xD9 (negative), and every other byte 0x30-0x39 or
    0xF0-0xF9; the digit is the low nibble. A width below 8 gives 0.

    Args:
        value: The bit pattern, 0 to 2**64-1.
        bits: The field width, normally 8 to 64.
        signed: Whether the field is zoned decimal with a sign zone.

    Returns:
        The integer.

    Raises:
        ValueError: Unsigned: ``Invalid BCD digit: {digit} (must be 0-9)``,
            the whole byte in decimal. Signed: ``Invalid zoned decimal signed
            byte: 0x{byte} (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or
            0xF0-0xF9)`` for byte 0, ``Invalid zoned decimal byte: 0x{byte}
            (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)`` for the others.
            The lowest faulty byte is reported.
        TypeError: ``argument 'value': ...`` for a non-int value,
            ``argument 'signed': 'int' object cannot be cast as 'bool'`` for a
            ``signed`` that is not exactly True or False.
        OverflowError: A negative pattern or one of 2**64 or more, or a
            negative ``bits``.

    Example:
        >>> pw.decode_unpacked_bcd(0x010203, 24), pw.decode_unpacked_bcd(0xF1F2D3, 24, signed=True)
        (123, -123)
        >>> pw.decode_unpacked_bcd(0x313233, 24)
        Traceback (most recent call last):
          ...
        ValueError: Invalid BCD digit: 51 (must be 0-9)
    """
def decode_packed_bcd(value: int, bits: int, signed: bool = False) -> int:
    r"""Decode a packed BCD field (one digit a nibble) into an integer.

    Unsigned, nibbles 0 to ``bits // 4 - 1`` are the digits. Signed, nibble
    0 is the sign, 0xA to 0xF, of which 0xB and 0xD mean negative, and the
    digits follow it. Bits beyond the last whole nibble are ignored; a
    width below 4 gives 0.

    Args:
        value: The bit pattern, 0 to 2**64-1.
        bits: The field width, normally 4 to 64.
        signed: Whether nibble 0 is a sign nibble.

    Returns:
        The integer.

    Raises:
        ValueError: ``Invalid BCD sign nibble: expected 0xA-0xF for signed
            packed BCD`` (checked first), ``Invalid BCD digit: {digit} (must
            be 0-9)`` for the lowest nibble above 9.
        TypeError: ``argument 'value': ...`` for a non-int value,
            ``argument 'signed': 'int' object cannot be cast as 'bool'`` for a
            ``signed`` that is not exactly True or False.
        OverflowError: A negative pattern or one of 2**64 or more, or a
            negative ``bits``.

    Example:
        >>> pw.decode_packed_bcd(0x1234, 16), pw.decode_packed_bcd(0x123D, 16, signed=True)
        (1234, -123)
        >>> pw.decode_packed_bcd(0x12A4, 16)
        Traceback (most recent call last):
          ...
        ValueError: Invalid BCD digit: 10 (must be 0-9)
    """
def decode_ieee754_f16(value: int) -> float:
    r"""Decode an IEEE 754 binary16 (half precision) bit pattern.

    Only the low 16 bits are read. The result is exact; a NaN keeps its
    payload as a quiet NaN.

    Args:
        value: The pattern, 0 to 2**64-1.

    Returns:
        The float.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int.
        OverflowError: A negative pattern or one too large.

    Example:
        >>> pw.decode_ieee754_f16(0x3C00), pw.decode_ieee754_f16(0x7BFF), pw.decode_ieee754_f16(0xFC00)
        (1.0, 65504.0, -inf)
    """
def decode_ieee754_f32(value: int) -> float:
    r"""Decode an IEEE 754 binary32 (single precision) bit pattern.

    Only the low 32 bits are read; the value widens exactly to a float.

    Args:
        value: The pattern, 0 to 2**64-1.

    Returns:
        The float.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int.
        OverflowError: A negative pattern or one too large.

    Example:
        >>> pw.decode_ieee754_f32(0x3F800000), pw.decode_ieee754_f32(0x1_3F800000)
        (1.0, 1.0)
    """
def decode_ieee754_f64(value: int) -> float:
    r"""Decode an IEEE 754 binary64 (double precision) bit pattern.

    Args:
        value: The pattern, 0 to 2**64-1.

    Returns:
        The float with those 64 bits.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int.
        OverflowError: A negative pattern or one too large.

    Example:
        >>> pw.decode_ieee754_f64(0x3FF0000000000000), pw.decode_ieee754_f64(0x8000000000000000)
        (1.0, -0.0)
    """
def decode_ieee754_f128(value: int) -> float:
    r"""Decode an IEEE 754 binary128 (quadruple precision) bit pattern to a float.

    The fraction is truncated to binary64's 52 bits (toward zero, not
    rounded). Magnitudes of 2**1024 and more become infinities, magnitudes
    below 2**-1022 become zeros of the same sign, and every NaN becomes the
    positive quiet NaN.

    Args:
        value: The pattern, 0 to 2**128-1.

    Returns:
        The float.

    Raises:
        TypeError: ``argument 'value': ...`` for a value that is not an int.
        OverflowError: A negative pattern or one of 2**128 or more.

    Example:
        >>> pw.decode_ieee754_f128(0x3FFF << 112), pw.decode_ieee754_f128(0xBFFF << 112)
        (1.0, -1.0)
    """
def decode_ieee754_1985_f32(_value: int) -> NoReturn:
    r"""Reserved: decoding IEEE 754-1985 single precision is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ieee754_1985_f32`` (or ``ieee754-1985-f32``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f32 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ieee754_1985_f32(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f32 format not yet implemented
    """
def decode_ieee754_1985_f64(_value: int) -> NoReturn:
    r"""Reserved: decoding IEEE 754-1985 double precision is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ieee754_1985_f64`` (or ``ieee754-1985-f64``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f64 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ieee754_1985_f64(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f64 format not yet implemented
    """
def decode_ieee754_1985_f80(_value: int) -> NoReturn:
    r"""Reserved: decoding IEEE 754-1985 80-bit extended precision is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ieee754_1985_f80`` (or ``ieee754-1985-f80``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f80 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ieee754_1985_f80(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f80 format not yet implemented
    """
def decode_mil_std_1750a_f32(_value: int) -> NoReturn:
    r"""Reserved: decoding MIL-STD-1750A 32-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``mil_std_1750a_f32`` (or ``mil-std-1750a-f32``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``MIL-STD-1750A f32 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_mil_std_1750a_f32(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: MIL-STD-1750A f32 format not yet implemented
    """
def decode_mil_std_1750a_f48(_value: int) -> NoReturn:
    r"""Reserved: decoding MIL-STD-1750A 48-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``mil_std_1750a_f48`` (or ``mil-std-1750a-f48``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``MIL-STD-1750A f48 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_mil_std_1750a_f48(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: MIL-STD-1750A f48 format not yet implemented
    """
def decode_dec_f32(_value: int) -> NoReturn:
    r"""Reserved: decoding DEC 32-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``dec_f32`` (or ``dec-f32``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``DEC f32 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_dec_f32(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: DEC f32 format not yet implemented
    """
def decode_dec_f64(_value: int) -> NoReturn:
    r"""Reserved: decoding DEC 64-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``dec_f64`` (or ``dec-f64``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``DEC f64 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_dec_f64(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: DEC f64 format not yet implemented
    """
def decode_ibm_f32(_value: int) -> NoReturn:
    r"""Reserved: decoding IBM hexadecimal 32-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ibm_f32`` (or ``ibm-f32``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``IBM f32 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ibm_f32(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IBM f32 format not yet implemented
    """
def decode_ibm_f64(_value: int) -> NoReturn:
    r"""Reserved: decoding IBM hexadecimal 64-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ibm_f64`` (or ``ibm-f64``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``IBM f64 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ibm_f64(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IBM f64 format not yet implemented
    """
def decode_ti_f32(_value: int) -> NoReturn:
    r"""Reserved: decoding Texas Instruments 32-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ti_f32`` (or ``ti-f32``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``TI f32 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ti_f32(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: TI f32 format not yet implemented
    """
def decode_ti_f40(_value: int) -> NoReturn:
    r"""Reserved: decoding Texas Instruments 40-bit floating point is not implemented.

    The reader of :func:`unpack_parameters` and :class:`Recipe` accepts the
    encoding name ``ti_f40`` (or ``ti-f40``) and fails
    with the same error.

    Args:
        _value: A bit pattern, 0 to 2**64-1 (converted, then unused).

    Raises:
        NotImplementedError: ``TI f40 format not yet implemented``, for
            every pattern.
        TypeError: ``argument '_value': ...`` for a value that is not an int
            (reported before the NotImplementedError).
        OverflowError: A negative pattern or one of 2**64 or more.

    Example:
        >>> pw.decode_ti_f40(0)
        Traceback (most recent call last):
          ...
        NotImplementedError: TI f40 format not yet implemented
    """
def decode_us_ascii(bytes: bytes) -> str:
    r"""Decode US-ASCII bytes into a str, one character a byte.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``Invalid US-ASCII byte: 0x{byte} (must be <= 0x7F)`` for
            the first byte of 0x80 or above.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_us_ascii(b"\x41\x80")
        Traceback (most recent call last):
          ...
        ValueError: Invalid US-ASCII byte: 0x80 (must be <= 0x7F)
    """
def decode_iso_8859_1(bytes: bytes) -> str:
    r"""Decode ISO-8859-1 (Latin-1) bytes into a str: byte b becomes U+00bb.

    Every byte is valid; this never fails after argument conversion.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_iso_8859_1(b"\xe9")
        'é'
    """
def decode_windows_1252(bytes: bytes) -> str:
    r"""Decode Windows-1252 bytes (the WHATWG decode, with byte order mark sniffing).

    A leading EF BB BF decodes the rest as UTF-8, FF FE as UTF-16
    little-endian, FE FF as UTF-16 big-endian; otherwise every byte maps
    through the WHATWG windows-1252 index, which cannot fail.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``Failed to decode Windows-1252 bytes`` for malformed
            UTF-8 or UTF-16 after a byte order mark.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_windows_1252(b"\x80\x9f"), pw.decode_windows_1252(b"\xef\xbb\xbfA")
        ('€Ÿ', 'A')
    """
def decode_utf8(bytes: bytes) -> str:
    r"""Decode UTF-8 bytes into a str.

    Only well-formed UTF-8 is accepted: no overlong forms, no encoded
    surrogates, nothing above U+10FFFF. A leading byte order mark is kept
    as U+FEFF.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``Invalid UTF-8 bytes: invalid utf-8 sequence of {length}
            bytes from index {index}`` or ``Invalid UTF-8 bytes: incomplete
            utf-8 byte sequence from index {index}``, for the first fault.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf8(b"\xc3\xa9")
        'é'
        >>> pw.decode_utf8(b"\x41\xe2\x82")
        Traceback (most recent call last):
          ...
        ValueError: Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1
    """
def decode_utf16(bytes: bytes) -> str:
    r"""Decode UTF-16 bytes, honouring a byte order mark; big-endian without one.

    A leading FE FF (big-endian) or FF FE (little-endian) is removed and
    sets the byte order; only the first mark is removed.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-16 requires an even number of bytes with at least 2
            bytes``; ``Invalid UTF-16 sequence: invalid utf-16: lone surrogate
            found``.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf16(b"\x00\x41"), pw.decode_utf16(b"\xff\xfe\x41\x00")
        ('A', 'A')
    """
def decode_utf16le(bytes: bytes) -> str:
    r"""Decode UTF-16 little-endian bytes into a str.

    No byte order mark is looked for: FF FE decodes as U+FEFF. Empty
    input gives the empty str.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-16 requires an even number of bytes``; ``Invalid
            UTF-16 sequence: invalid utf-16: lone surrogate found``.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf16le(b"\x41\x00\x3d\xd8\x00\xde") == "A\U0001F600"
        True
    """
def decode_utf16be(bytes: bytes) -> str:
    r"""Decode UTF-16 big-endian bytes into a str.

    No byte order mark is looked for: FE FF decodes as U+FEFF. Empty
    input gives the empty str.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-16 requires an even number of bytes``; ``Invalid
            UTF-16 sequence: invalid utf-16: lone surrogate found``.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf16be(b"\xd8\x00")
        Traceback (most recent call last):
          ...
        ValueError: Invalid UTF-16 sequence: invalid utf-16: lone surrogate found
    """
def decode_utf32(bytes: bytes) -> str:
    r"""Decode UTF-32 bytes, honouring a byte order mark; big-endian without one.

    A leading 00 00 FE FF (big-endian) or FF FE 00 00 (little-endian) is
    removed and sets the byte order.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-32 requires a multiple of 4 bytes with at least 4
            bytes``; ``Invalid UTF-32 codepoint: 0x{unit}`` (eight upper-case
            hexadecimal digits) for a unit that is a surrogate or above
            U+10FFFF.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf32(b"\xff\xfe\x00\x00\x41\x00\x00\x00")
        'A'
    """
def decode_utf32le(bytes: bytes) -> str:
    r"""Decode UTF-32 little-endian bytes into a str.

    No byte order mark is looked for. Empty input gives the empty str.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-32 requires a multiple of 4 bytes``; ``Invalid
            UTF-32 codepoint: 0x{unit}``.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf32le(b"\x00\xd8\x00\x00")
        Traceback (most recent call last):
          ...
        ValueError: Invalid UTF-32 codepoint: 0x0000D800
    """
def decode_utf32be(bytes: bytes) -> str:
    r"""Decode UTF-32 big-endian bytes into a str.

    No byte order mark is looked for. Empty input gives the empty str.

    Args:
        bytes: The encoded text, a bytes object.

    Returns:
        The text, a str.

    Raises:
        ValueError: ``UTF-32 requires a multiple of 4 bytes``; ``Invalid
            UTF-32 codepoint: 0x{unit}``.
        TypeError: ``argument 'bytes': '{type}' object cannot be cast as
            'bytes'`` for anything but a bytes object (bytearray and
            memoryview included).

    Example:
        >>> pw.decode_utf32be(b"\x00\x10\xff\xff") == "\U0010FFFF"
        True
    """
def encode_ones_complement(value: int, bits: int) -> int:
    r"""Encode a signed integer as a ones'-complement field of ``bits`` bits.

    A negative value is the inverted bits of its magnitude; zero is always
    all zeros, never the all-ones negative zero.

    Args:
        value: The integer; it must lie in -(2**(bits-1)-1) to
            2**(bits-1)-1 (with ``bits`` 1, only 0).
        bits: The field width, 1 to 64.

    Returns:
        The bit pattern, 0 to 2**bits-1.

    Raises:
        ValueError: ``bits must be <= 64 for ones' complement encoding``
            (``bits must be >= 1 ...`` for 0), checked first; ``Value {value}
            is too large for {bits} bits`` (positive) or ``Value {value} is
            too large (magnitude) for {bits} bits`` (negative).
        TypeError: ``argument 'value': ...`` for a value that is not an int
            (a float, a str), ``argument 'bits': ...`` likewise.
        OverflowError: A value outside -2**63 to 2**63-1, or a negative
            ``bits``.

    Example:
        >>> pw.encode_ones_complement(-1, 8), pw.encode_ones_complement(-127, 8)
        (254, 128)
        >>> pw.encode_ones_complement(-128, 8)
        Traceback (most recent call last):
          ...
        ValueError: Value -128 is too large (magnitude) for 8 bits
    """
def encode_twos_complement(value: int, bits: int) -> int:
    r"""Encode a signed integer as a two's-complement field of ``bits`` bits.

    Args:
        value: The integer; it must lie in -2**(bits-1) to 2**(bits-1)-1
            (any signed 64-bit value when ``bits`` is 64).
        bits: The field width, 1 to 64.

    Returns:
        The bit pattern, 0 to 2**bits-1: the low ``bits`` bits of the value's
        two's complement.

    Raises:
        ValueError: ``bits must be <= 64 for two's complement encoding``
            (``bits must be >= 1 ...`` for 0), checked before the value;
            ``Value {value} out of range for {bits} bits (range: {min} to
            {max})``.
        TypeError: ``argument 'value': ...`` for a value that is not an int
            (a float, a str), ``argument 'bits': ...`` likewise.
        OverflowError: A value outside -2**63 to 2**63-1, or a negative
            ``bits``.

    Example:
        >>> pw.encode_twos_complement(-1, 8), pw.encode_twos_complement(-128, 8)
        (255, 128)
        >>> pw.encode_twos_complement(128, 8)
        Traceback (most recent call last):
          ...
        ValueError: Value 128 out of range for 8 bits (range: -128 to 127)
    """
def encode_sign_magnitude(value: int, bits: int) -> int:
    r"""Encode a signed integer as a sign bit and a magnitude, in ``bits`` bits.

    The sign bit is bit ``bits - 1``; zero is always all zeros.

    Args:
        value: The integer; its absolute value must be below 2**(bits-1).
        bits: The field width, 2 to 64.

    Returns:
        The bit pattern, 0 to 2**bits-1.

    Raises:
        ValueError: ``bits must be between 2 and 64 for sign-magnitude
            encoding``, checked first; ``Magnitude of {value} is too large for
            {bits} bits``.
        TypeError: ``argument 'value': ...`` for a value that is not an int
            (a float, a str), ``argument 'bits': ...`` likewise.
        OverflowError: A value outside -2**63 to 2**63-1, or a negative
            ``bits``.

    Example:
        >>> pw.encode_sign_magnitude(-5, 8), pw.encode_sign_magnitude(-1, 64)
        (133, 9223372036854775809)
        >>> pw.encode_sign_magnitude(-128, 8)
        Traceback (most recent call last):
          ...
        ValueError: Magnitude of -128 is too large for 8 bits
    """
def encode_unpacked_bcd(value: int, bits: int, signed: bool = False) -> int:
    r"""Encode an integer as unpacked BCD (one digit a byte) or zoned decimal.

    Digit k goes to byte k, least significant first, with leading zero
    digits. Unsigned, each byte is the bare digit 0x00 to 0x09. Signed
    (zoned decimal), byte 0 carries the zone 0xC (zero or positive) or 0xD
    (negative) and every other byte the zone 0xF. Bits beyond the last whole
    byte are zero.

    Args:
        value: The integer; not negative unless ``signed``; at most
            ``bits // 8`` digits.
        bits: The field width, 8 to 64.
        signed: Whether to write zoned decimal with its sign zone.

    Returns:
        The bit pattern, 0 to 2**bits-1.

    Raises:
        ValueError: ``bits must be >= 8 for unpacked BCD`` (and ``bits must
            be <= 64 for unpacked BCD``), then ``Cannot encode negative value
            in unsigned BCD``, then ``Value {value} has too many digits for
            {digits} BCD digits``.
        TypeError: ``argument 'value': ...`` for a non-int value,
            ``argument 'signed': 'int' object cannot be cast as 'bool'`` for a
            ``signed`` that is not exactly True or False.
        OverflowError: A value outside -2**63 to 2**63-1, or a negative
            ``bits``.

    Example:
        >>> hex(pw.encode_unpacked_bcd(123, 24)), hex(pw.encode_unpacked_bcd(-123, 24, signed=True))
        ('0x10203', '0xf1f2d3')
    """
def encode_packed_bcd(value: int, bits: int, signed: bool = False) -> int:
    r"""Encode an integer as packed BCD: one decimal digit a nibble.

    Digit k (weight 10**k) goes to nibble k, least significant first, with
    leading zero digits. Signed, nibble 0 holds the sign (0xC for zero and
    positive values, 0xD for negative ones) and the digits move up a nibble.
    Bits beyond the last whole nibble are zero.

    Args:
        value: The integer; not negative unless ``signed``; at most
            ``bits // 4`` digits (one fewer when ``signed``).
        bits: The field width, 4 to 64.
        signed: Whether the field has a sign nibble.

    Returns:
        The bit pattern, 0 to 2**bits-1.

    Raises:
        ValueError: ``bits must be >= 4 for packed BCD`` (and ``bits must be
            <= 64 for packed BCD``), then ``Cannot encode negative value in
            unsigned BCD``, then ``Value {value} has too many digits for
            {digits} BCD digits``.
        TypeError: ``argument 'value': ...`` for a non-int value,
            ``argument 'signed': 'int' object cannot be cast as 'bool'`` for a
            ``signed`` that is not exactly True or False.
        OverflowError: A value outside -2**63 to 2**63-1, or a negative
            ``bits``.

    Example:
        >>> hex(pw.encode_packed_bcd(1234, 16)), hex(pw.encode_packed_bcd(-123, 16, signed=True))
        ('0x1234', '0x123d')
        >>> pw.encode_packed_bcd(1234, 16, signed=True)
        Traceback (most recent call last):
          ...
        ValueError: Value 1234 has too many digits for 3 BCD digits
    """
def encode_ieee754_f16(value: float) -> int:
    r"""Encode a number as an IEEE 754 binary16 (half precision) bit pattern.

    The number is first rounded to binary32, then to binary16, each time to
    nearest with ties to even; magnitudes of 65520 and more become infinity,
    and a NaN stays a quiet NaN.

    Args:
        value: A float, an int, or an object with ``__float__`` or
            ``__index__``.

    Returns:
        The pattern, 0 to 65535.

    Raises:
        TypeError: ``argument 'value': must be real number, not str`` and the
            like, for a value that is not a number.
        OverflowError: An int too large for a float.

    Example:
        >>> hex(pw.encode_ieee754_f16(1.0)), hex(pw.encode_ieee754_f16(65504.0)), hex(pw.encode_ieee754_f16(65520.0))
        ('0x3c00', '0x7bff', '0x7c00')
    """
def encode_ieee754_f32(value: float) -> int:
    r"""Encode a number as an IEEE 754 binary32 (single precision) bit pattern.

    The number is rounded to binary32 to nearest with ties to even;
    magnitudes beyond its range become infinities.

    Args:
        value: A float, an int, or an object with ``__float__`` or
            ``__index__``.

    Returns:
        The pattern, 0 to 2**32-1.

    Raises:
        TypeError: ``argument 'value': must be real number, not str`` and the
            like, for a value that is not a number.
        OverflowError: An int too large for a float.

    Example:
        >>> hex(pw.encode_ieee754_f32(1.0)), hex(pw.encode_ieee754_f32(0.1))
        ('0x3f800000', '0x3dcccccd')
    """
def encode_ieee754_f64(value: float) -> int:
    r"""Encode a number as an IEEE 754 binary64 (double precision) bit pattern.

    Args:
        value: A float, an int, or an object with ``__float__`` or
            ``__index__``.

    Returns:
        The float's 64 bits, 0 to 2**64-1.

    Raises:
        TypeError: ``argument 'value': must be real number, not str`` and the
            like, for a value that is not a number.
        OverflowError: An int too large for a float.

    Example:
        >>> hex(pw.encode_ieee754_f64(1.0)), hex(pw.encode_ieee754_f64(-2))
        ('0x3ff0000000000000', '0xc000000000000000')
    """
def encode_ieee754_f128(_value: float) -> NoReturn:
    r"""Reserved: encoding IEEE 754 binary128 is not implemented.

    Args:
        _value: A number (converted as for ``encode_ieee754_f64``, then
            unused).

    Raises:
        NotImplementedError: ``IEEE 754 f128 encoding not yet implemented``,
            for every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ieee754_f128(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754 f128 encoding not yet implemented
    """
def encode_ieee754_1985_f32(_value: float) -> NoReturn:
    r"""Reserved: encoding IEEE 754-1985 single precision is not implemented.

    Args:
        _value: A number (converted to binary32, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f32 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ieee754_1985_f32(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f32 encoding not yet implemented
    """
def encode_ieee754_1985_f64(_value: float) -> NoReturn:
    r"""Reserved: encoding IEEE 754-1985 double precision is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f64 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ieee754_1985_f64(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f64 encoding not yet implemented
    """
def encode_ieee754_1985_f80(_value: float) -> NoReturn:
    r"""Reserved: encoding IEEE 754-1985 80-bit extended precision is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``IEEE 754-1985 f80 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ieee754_1985_f80(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IEEE 754-1985 f80 encoding not yet implemented
    """
def encode_mil_std_1750a_f32(_value: float) -> NoReturn:
    r"""Reserved: encoding MIL-STD-1750A 32-bit floating point is not implemented.

    Args:
        _value: A number (converted to binary32, then unused).

    Raises:
        NotImplementedError: ``MIL-STD-1750A f32 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_mil_std_1750a_f32(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: MIL-STD-1750A f32 encoding not yet implemented
    """
def encode_mil_std_1750a_f48(_value: float) -> NoReturn:
    r"""Reserved: encoding MIL-STD-1750A 48-bit floating point is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``MIL-STD-1750A f48 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_mil_std_1750a_f48(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: MIL-STD-1750A f48 encoding not yet implemented
    """
def encode_dec_f32(_value: float) -> NoReturn:
    r"""Reserved: encoding DEC 32-bit floating point is not implemented.

    Args:
        _value: A number (converted to binary32, then unused).

    Raises:
        NotImplementedError: ``DEC f32 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_dec_f32(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: DEC f32 encoding not yet implemented
    """
def encode_dec_f64(_value: float) -> NoReturn:
    r"""Reserved: encoding DEC 64-bit floating point is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``DEC f64 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_dec_f64(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: DEC f64 encoding not yet implemented
    """
def encode_ibm_f32(_value: float) -> NoReturn:
    r"""Reserved: encoding IBM hexadecimal 32-bit floating point is not implemented.

    Args:
        _value: A number (converted to binary32, then unused).

    Raises:
        NotImplementedError: ``IBM f32 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ibm_f32(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IBM f32 encoding not yet implemented
    """
def encode_ibm_f64(_value: float) -> NoReturn:
    r"""Reserved: encoding IBM hexadecimal 64-bit floating point is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``IBM f64 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ibm_f64(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: IBM f64 encoding not yet implemented
    """
def encode_ti_f32(_value: float) -> NoReturn:
    r"""Reserved: encoding Texas Instruments 32-bit floating point is not implemented.

    Args:
        _value: A number (converted to binary32, then unused).

    Raises:
        NotImplementedError: ``TI f32 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ti_f32(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: TI f32 encoding not yet implemented
    """
def encode_ti_f40(_value: float) -> NoReturn:
    r"""Reserved: encoding Texas Instruments 40-bit floating point is not implemented.

    Args:
        _value: A number (converted to a float, then unused).

    Raises:
        NotImplementedError: ``TI f40 encoding not yet implemented``, for
            every number.
        TypeError: ``argument '_value': ...`` for a value that is not a
            number (reported before the NotImplementedError).
        OverflowError: An int too large for a float.

    Example:
        >>> pw.encode_ti_f40(1.0)
        Traceback (most recent call last):
          ...
        NotImplementedError: TI f40 encoding not yet implemented
    """
def encode_us_ascii(text: str) -> bytes:
    r"""Encode a str as US-ASCII, one byte a character.

    Args:
        text: The text, a str.

    Returns:
        One byte a character, 0x00 to 0x7F.

    Raises:
        ValueError: ``Character '{char}' (U+{code}) is not valid US-ASCII``
            for the first character above U+007F (``{code}`` is at least four
            upper-case hexadecimal digits).
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_us_ascii("héllo")
        Traceback (most recent call last):
          ...
        ValueError: Character 'é' (U+00E9) is not valid US-ASCII
    """
def encode_iso_8859_1(text: str) -> bytes:
    r"""Encode a str as ISO-8859-1 (Latin-1), one byte a character.

    Args:
        text: The text, a str.

    Returns:
        One byte a character: the byte of the code point, 0x00 to 0xFF.

    Raises:
        ValueError: ``Character '{char}' (U+{code}) is not valid ISO-8859-1``
            for the first character above U+00FF.
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_iso_8859_1("é")
        b'\xe9'
        >>> pw.encode_iso_8859_1("€")
        Traceback (most recent call last):
          ...
        ValueError: Character '€' (U+20AC) is not valid ISO-8859-1
    """
def encode_windows_1252(text: str) -> bytes:
    r"""Encode a str as Windows-1252 (the WHATWG index), one byte a character.

    ASCII and the 128 characters of the WHATWG windows-1252 index are
    encodable (the C1 controls U+0081, U+008D, U+008F, U+0090 and U+009D
    included); any other character fails the whole call.

    Args:
        text: The text, a str.

    Returns:
        One byte a character.

    Raises:
        ValueError: ``Failed to encode to Windows-1252``.
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_windows_1252("€Ÿé")
        b'\x80\x9f\xe9'
        >>> pw.encode_windows_1252("ő")
        Traceback (most recent call last):
          ...
        ValueError: Failed to encode to Windows-1252
    """
def encode_utf8(text: str) -> bytes:
    r"""Encode a str as UTF-8, without a byte order mark.

    Never fails for a str without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        The UTF-8 bytes.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf8("é")
        b'\xc3\xa9'
    """
def encode_utf16(text: str) -> bytes:
    r"""Encode a str as UTF-16 with a byte order mark: FE FF, then big-endian units.

    Characters above U+FFFF become surrogate pairs. Never fails for a str
    without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        The bytes FE FF followed by two bytes a code unit, big-endian.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf16("A").hex(" ")
        'fe ff 00 41'
    """
def encode_utf16le(text: str) -> bytes:
    r"""Encode a str as UTF-16 little-endian, without a byte order mark.

    Characters above U+FFFF become surrogate pairs. Never fails for a str
    without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        Two bytes a code unit, least significant first.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf16le("A").hex(" "), pw.encode_utf16le("\U0001F600").hex(" ")
        ('41 00', '3d d8 00 de')
    """
def encode_utf16be(text: str) -> bytes:
    r"""Encode a str as UTF-16 big-endian, without a byte order mark.

    Characters above U+FFFF become surrogate pairs. Never fails for a str
    without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        Two bytes a code unit, most significant first.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf16be("\U0001F600").hex(" ")
        'd8 3d de 00'
    """
def encode_utf32(text: str) -> bytes:
    r"""Encode a str as UTF-32 with a byte order mark: 00 00 FE FF, then big-endian units.

    Never fails for a str without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        The bytes 00 00 FE FF followed by four bytes a character, big-endian.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf32("").hex(" "), pw.encode_utf32("A").hex(" ")
        ('00 00 fe ff', '00 00 fe ff 00 00 00 41')
    """
def encode_utf32le(text: str) -> bytes:
    r"""Encode a str as UTF-32 little-endian, without a byte order mark.

    Never fails for a str without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        Four bytes a character, least significant first.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf32le("A").hex(" ")
        '41 00 00 00'
    """
def encode_utf32be(text: str) -> bytes:
    r"""Encode a str as UTF-32 big-endian, without a byte order mark.

    Never fails for a str without lone surrogates.

    Args:
        text: The text, a str.

    Returns:
        Four bytes a character, most significant first.

    Raises:
        TypeError: ``argument 'text': '{type}' object cannot be cast as
            'str'`` for a value that is not a str (bytes included).
        UnicodeEncodeError: A str holding a lone surrogate.

    Example:
        >>> pw.encode_utf32be("\U0001F600").hex(" ")
        '00 01 f6 00'
    """

def unpack_array(
    buffer: ReadableBuffer,
    bits: int,
    *,
    encoding: str = "unsigned",
    count: int | None = None,
    offset_bits: int = 0,
    stride_bits: int | None = None,
    byte_order: str = "big",
) -> array[int] | array[float]:
    r"""Read samples packed in a buffer into an ``array.array``.

    Sample ``k`` is ``bits`` bits at bit ``offset_bits + k * stride_bits``
    of the buffer (bit 0 the most significant bit of its first byte), read at
    its exact position and decoded with ``encoding``: 10-bit samples back to
    back, or one field of each fixed-size record. The array's typecode is the
    narrowest that holds every value the encoding can give (as for
    :meth:`Recipe.unpack_columns`). Large arrays are read without the
    interpreter lock.

    Args:
        buffer: Any bytes-like object.
        bits: Bits a sample, 1 to 64 (exactly 16, 32 or 64 for the IEEE 754
            encodings).
        encoding: A numeric encoding name (not text, not ``ieee754_f128`` or
            the legacy float formats).
        count: How many samples; default as many as the buffer holds.
        offset_bits: Where sample 0 starts.
        stride_bits: Bits from one sample's start to the next's; default
            ``bits``, at least ``bits``.
        byte_order: ``"big"``, or ``"little"`` for samples of whole bytes.

    Returns:
        A new ``array.array`` (NumPy takes it without a copy).

    Raises:
        ValueError: An unsupported encoding or width, a stride below
            ``bits``, ``buffer too short: ...`` for a ``count`` the buffer
            does not hold, and a sample that does not decode (a BCD digit
            out of range), with a note ``at sample {k}``.
        TypeError: A buffer without the buffer interface, or arguments of the
            wrong type.

    Example:
        >>> pw.unpack_array(bytes([0b00000001, 0b00000000, 0b11000000]), 10)
        array('H', [4, 12])
        >>> pw.unpack_array(b"\x81\x02", 4, encoding="twos_complement")
        array('b', [-8, 1, 0, 2])
    """

def pack_array(
    values: Sequence[int] | Sequence[float] | array[int] | array[float],
    bits: int,
    *,
    encoding: str = "unsigned",
    offset_bits: int = 0,
    stride_bits: int | None = None,
    byte_order: str = "big",
) -> bytes:
    r"""Pack numbers as samples of ``bits`` bits: the inverse of :func:`unpack_array`.

    Sample ``k`` goes to bit ``offset_bits + k * stride_bits``; bits between
    samples are 0, and the result ends with the byte that holds the last
    sample's last bit.

    Raises:
        ValueError: A value out of the encoding's range for ``bits``, with a
            note ``at sample {k}``; the layout errors of :func:`unpack_array`.
        TypeError: ``values`` not a sequence, or a value of the wrong type.

    Example:
        >>> pw.pack_array([4, 12], 10).hex()
        '0100c0'
    """

_Value = Union[int, float, str]
# A column: an array.array of ints or floats, a list of str, or (text="utf8")
# a (bytes, array) pair. Typed as Any so that code which knows its fields
# uses a column as what it is without a cast.
_Column = Any
_Faults = dict[str, Union[int, list[str]]]
_Values = Union[Mapping[str, object], Sequence[object], None]

@final
class Recipe:
    r"""A recipe read and checked once, then applied to any number of packets.

    ``Recipe(items)`` reads every item of a recipe (the dicts that
    :func:`pack_parameters` and :func:`unpack_parameters` take) once, works
    out every field's position, and keeps the result. Its methods then pack
    and read packets without looking at the dicts again: later changes to
    them have no effect. Fields are placed as both module functions place
    them: at ``offset_bits`` when given, else right after the previous field.

    Exact (the default): every field is read from its exact bit position, as
    the exact inverse of what :meth:`pack` writes, so
    ``recipe.unpack(recipe.pack())`` gives the values back for fields of any
    width and position. Every item is checked when the Recipe is made, and
    anything that could not be packed and read back bit for bit is refused
    with a ``ValueError`` naming the item (``Recipe item 2 ('temp'): ...``):
    an unknown key, encoding or byte order; a width of 0; a float field
    narrower or wider than its format (``ieee754_f16`` 16 bits,
    ``ieee754_f32`` 32, ``ieee754_f64`` 64); an integer field wider than 64
    bits; BCD fields that are not whole digits; text fields that are not
    whole code units, or with ``reverse_bits``; a ``"little"`` field that is
    not whole bytes (its partial byte would lose bits); an encoding that a
    Recipe can only read or not at all (``latin1``: name it
    ``iso-8859-1``; the legacy formats; ``ieee754_f128``). ``byte_order``
    (``"big"``) and ``reverse_bits`` (False) may be left out. Besides
    ``"big"`` and ``"little"``, the byte order of a numeric field of n whole
    bytes may be a string of the digits 1 to n in ccsdspy's notation: digit i
    names the byte of the value (1 the most significant) that the field's
    byte i holds, so ``"2143"`` swaps the bytes of each 16-bit half, ``"1234"``
    is big and ``"4321"`` little. A NaN of a
    binary16 or binary32 field keeps its payload and its quiet bit through
    :meth:`unpack` and :meth:`pack` (a signalling NaN stays signalling).

    Arrays: in an exact recipe, an item with a ``count`` is that many
    elements of ``bits`` each, back to back, each decoded with the item's
    encoding and byte order. ``count`` is an int (at least 1); the name of
    an earlier ``unsigned`` field of the same packet, whose value gives the
    count of each packet; or ``"rest"``, as many elements as fit in the rest
    of the packet before the fields that follow it, which then sit at the
    packet's end (a trailer or check value; they must have a fixed size and
    no ``offset_bits``; bits left between the last whole element and them are
    padding). Fields without ``offset_bits`` after an array whose count
    varies move with it. :meth:`unpack` gives an array as a list,
    :meth:`pack` takes any sequence of numbers (``bytes`` for 8-bit
    unsigned elements), whose length must be the count (for a count field,
    the value given for that field). Text fields take no ``count``; a
    packet's raw bytes are an ``unsigned`` array of 8-bit elements.

    ``bit_exact=False`` keeps the contract of the two module functions:
    fields are read as :func:`unpack_parameters` reads them (whole bytes from
    the byte holding a field's first bit, their low ``bits`` bits), a missing
    or mistyped key fails at construction, and a fault only one direction has
    (an encoding name the packer does not know, such as ``latin1``; a byte
    order word; a value) is reported by the method that meets it, with the
    same texts as the module functions. Keys that only an exact recipe
    understands (``count``) are refused.

    Columns: :meth:`unpack_columns` gives each numeric field an
    ``array.array`` of the narrowest type that holds every value the field
    can decode to; text fields give a list of str.

    =====================================  ===============================================
    encoding                               column
    =====================================  ===============================================
    ``unsigned``, ``bcd``, ``packed_bcd``  ``'B'``, ``'H'``, ``'I'`` or ``'Q'`` (unsigned)
    the signed encodings (below)           ``'b'``, ``'h'``, ``'i'`` or ``'q'`` (signed)
    ``ieee754_f16``, ``ieee754_f32``       ``'f'`` (binary32)
    ``ieee754_f64``                        ``'d'`` (binary64)
    text encodings                         a list of str
    =====================================  ===============================================

    An array field with a fixed ``count`` gives a ``memoryview`` of shape
    ``(packets, count)`` over such an array (``numpy.asarray`` takes it
    without a copy; ``tolist()`` gives the rows); one whose count varies
    gives a pair ``(values, offsets)``: every packet's elements one after
    another in such an array, and an ``array('i')`` of n + 1 offsets into it
    (``'q'`` from 2**31 elements), which ``pyarrow.ListArray.from_arrays``
    takes as they are.

    The signed encodings are ``twos_complement``, ``ones_complement``,
    ``sign_magnitude``, ``bcd_signed`` and ``packed_bcd_signed``; the four
    integer typecodes are 8, 16, 32 and 64 bits wide.

    For example a 12-bit ``unsigned`` field gives ``'H'``, a 9-bit
    ``twos_complement`` field ``'h'``, a 16-bit ``packed_bcd`` field (at most
    9999) ``'H'``.

    A Recipe has ``len()`` (its number of items), compares equal to another
    with the same items (as read) and the same ``bit_exact``, is not
    hashable, and pickles (to its items and ``bit_exact``), so it can be sent
    to worker processes.

    Every failure of a method carries a note (the exception's ``__notes__``,
    printed by tracebacks from Python 3.11 on) naming the field, as ``at field
    'temperature' (item 4)``; the stream methods add the packet's number and
    byte offset.

    A Recipe that the garbage collector cleared while breaking a reference
    cycle through one of its values (and that a finalizer or weakref
    callback reaches again) refuses every method with ``ValueError: Recipe
    object is no longer usable: ...``.

    Args:
        recipe: A sequence (not a str) of item dicts, with the keys of
            :func:`pack_parameters`; ``value`` may be left out, and in an
            exact recipe ``byte_order`` and ``reverse_bits`` too.
        bit_exact: True (the default) for the exact recipe above, False for
            the module functions' contract (keyword only, exactly True or
            False).

    Raises:
        ValueError: An item the exact recipe refuses (above), or with
            ``bit_exact=False`` a missing or mistyped key, as
            ``pack_parameters`` reports it: ``KeyError: "Recipe missing
            required field: 'bits'"``.
        TypeError: ``argument 'recipe': ...`` for a recipe that is not a
            sequence of dicts, ``argument 'bit_exact': ...`` for a
            ``bit_exact`` that is not a bool.

    Example:
        >>> def field(name, encoding, bits, value=None, order="big"):
        ...     return {"name": name, "encoding": encoding, "bits": bits,
        ...             "byte_order": order, "reverse_bits": False, "value": value}
        >>> header = pw.Recipe([field("version", "unsigned", 3, 0),
        ...                     field("flag", "unsigned", 1, 1),
        ...                     field("length", "unsigned", 12, 0xABC)], bit_exact=True)
        >>> header
        <Recipe: 3 fields, 2 bytes: 'version', 'flag', 'length', bit-exact>
        >>> packet = header.pack()
        >>> packet.hex()
        '1abc'
        >>> header.unpack(packet)
        {'version': 0, 'flag': 1, 'length': 2748}
        >>> try:
        ...     pw.Recipe([field("n", "unsigned", 12, 0xABC, "little")])
        ... except ValueError as e:
        ...     print(e)
        ValueError: Recipe item 0 ('n'): little byte order needs whole bytes: 12 bits would lose the bits of a partial byte
        >>> whole = pw.Recipe([field("n", "unsigned", 12, 0xABC)], bit_exact=False)
        >>> whole.unpack(b"\xab\xc0"), whole.unpack(b"\x0a\xbc")
        ({'n': 3008}, {'n': 2748})
    """
    def __new__(cls, recipe: Sequence[Mapping[str, object]], *, bit_exact: bool = True) -> Recipe: ...
    @property
    def size(self) -> int:
        r"""The length of one packet in bytes, as :meth:`pack` sizes it.

        ``(end + 7) // 8``, where ``end`` is the furthest bit a field reaches.
        With arrays whose count varies, the length with each of them empty
        (the repr says "at least"). It is the default ``stride`` of :meth:`iter_unpack` and
        :meth:`unpack_columns`.
        """
    @property
    def names(self) -> tuple[str, ...]:
        r"""The items' names, in recipe order (repeats included)."""
    @property
    def bit_exact(self) -> bool:
        r"""Whether fields are read at their exact bit positions."""
    def __len__(self) -> int:
        r"""The number of items."""
    def __eq__(self, other: object, /) -> bool:
        r"""Same items (as read at construction) and the same ``bit_exact``."""
    def __ne__(self, other: object, /) -> bool:
        r"""The negation of ``==``."""
    def pack(self, values: _Values = None) -> bytes:
        r"""Pack one packet.

        Args:
            values: Where the values come from: None (the default) takes
                each item's own ``value``; a mapping takes them by name; a
                sequence (not a str or bytes) gives one value per item, in
                order.

        Returns:
            The packet, :attr:`size` bytes (with arrays whose count varies,
            as long as the arrays given need), laid out as by
            :func:`pack_parameters`.

        Raises:
            ValueError: Every failure, its text the inner kind, a colon and
                its message: ``KeyError: "Recipe item '{name}' missing
                required field: 'value'"``, ``ValueError: Recipe has {n}
                items but {m} values were given`` (``1 item``, ``1 value
                was given`` for one), ``TypeError: '{type}'
                object cannot be cast as 'Mapping or Sequence'``, and the
                messages of :func:`pack_parameters` (unsupported encoding,
                value out of range, invalid byte order); for arrays ``the
                field holds {n} elements, {m} were given``, ``'{count}' is {n}
                but {m} elements were given``, and a note naming the element
                (``at field 'v' (item 2), element 5``).

        Example:
            >>> def field(name, encoding, bits):
            ...     return {"name": name, "encoding": encoding, "bits": bits,
            ...             "byte_order": "big", "reverse_bits": False}
            >>> frame = pw.Recipe([field("a", "unsigned", 4), field("b", "twos_complement", 12)])
            >>> frame.pack({"a": 10, "b": -1}).hex(), frame.pack([10, -1]).hex()
            ('afff', 'afff')
        """
    def pack_into(self, buffer: WriteableBuffer, offset_bits: int = 0, values: _Values = None) -> None:
        r"""Pack one packet into a writable buffer, at a bit offset.

        The recipe's bit 0 goes to bit ``offset_bits`` of the buffer. Only
        the bits that fields cover are written; every other bit of the buffer
        keeps its value. The packet is encoded in full first, so a failure
        writes nothing.

        Args:
            buffer: A writable bytes-like object (a bytearray, a writable
                memoryview, an array).
            offset_bits: Where the recipe's bit 0 goes, from bit 0 (the most
                significant bit of the buffer's first byte).
            values: As for :meth:`pack`.

        Raises:
            ValueError: ``ValueError: Buffer too small: the packet needs {n}
                bytes from bit {offset}, buffer has {m}``, and the failures of
                :meth:`pack`.
            TypeError: ``argument 'buffer': ...`` for an object without the
                buffer interface.
            BufferError: A read-only buffer such as ``bytes``.

        Example:
            >>> flags = pw.Recipe([{"name": "on", "encoding": "unsigned", "bits": 1,
            ...                     "byte_order": "big", "reverse_bits": False}])
            >>> buf = bytearray(b"\x00\xff")
            >>> flags.pack_into(buf, 3, [1]); flags.pack_into(buf, 15, [0])
            >>> buf.hex()
            '10fe'
        """
    def unpack(self, packet: ReadableBuffer, offset_bits: int = 0) -> dict[str, _Value]:
        r"""Read one packet into a dict from name to value.

        Fields are read at their exact bit positions, or as by
        :func:`unpack_parameters` (whole bytes) when the recipe was made with
        ``bit_exact=False``.

        Args:
            packet: Any bytes-like object (bytes, bytearray, memoryview,
                mmap, array).
            offset_bits: Where the recipe's bit 0 lies in the packet.

        Returns:
            A new dict, as :func:`unpack_parameters` returns; an array field's
            value is a list.

        Raises:
            ValueError: Every failure, its text the inner kind, a colon and
                its message: ``ValueError: Packet too short for parameter
                '{name}': needs {n} bytes, packet has {m}``, the byte order,
                encoding and decoder messages of :func:`unpack_parameters`.
            TypeError: ``argument 'packet': ...`` for an object without the
                buffer interface.

        Example:
            >>> r = pw.Recipe([{"name": "n", "encoding": "unsigned", "bits": 12}])
            >>> r.unpack(b"\xab\xc0"), r.unpack(bytearray(b"\x00\xab\xc0"), offset_bits=8)
            ({'n': 2748}, {'n': 2748})
            >>> samples = pw.Recipe([{"name": "n", "encoding": "unsigned", "bits": 4},
            ...                      {"name": "s", "encoding": "unsigned", "bits": 10, "count": "n"},
            ...                      {"name": "crc", "encoding": "unsigned", "bits": 8}])
            >>> samples.unpack(samples.pack({"n": 3, "s": [1, 2, 1023], "crc": 7}))
            {'n': 3, 's': [1, 2, 1023], 'crc': 7}
        """
    def iter_unpack(
        self, buffer: ReadableBuffer, stride: int | Index | None = None, offset_bits: int = 0
    ) -> Iterator[dict[str, _Value]]:
        r"""Iterate over the packets of a buffer, one dict each.

        The buffer holds packets of ``stride`` bytes back to back; packet k
        starts at byte ``k * stride``, and each is read as by :meth:`unpack`
        with the same ``offset_bits``. The iterator holds the buffer until it
        is exhausted.

        Args:
            buffer: Any bytes-like object.
            stride: Bytes from one packet to the next; default :attr:`size`.
                Or an :class:`Index` of the buffer (or one stream of it,
                :meth:`Index.select`): each packet is read at its own offset
                and length, and a packet shorter than a field is a failure.
            offset_bits: Where the recipe's bit 0 lies in each packet.

        Returns:
            An iterator of dicts.

        Raises:
            ValueError: ``buffer of {n} bytes is not a whole number of
                {stride}-byte packets``, ``stride must be at least 1 byte``,
                ``the recipe's packets are 0 bytes long: give a stride``,
                ``the recipe's packets vary in length with its arrays: give a
                stride or an Index`` (raised at the call); while iterating, the failures of
                :meth:`unpack`, with a note naming the packet (its number and
                byte offset) and the field.
            TypeError: ``argument 'buffer': ...``, ``argument 'stride': ...``.

        Example:
            >>> r = pw.Recipe([{"name": "n", "encoding": "unsigned", "bits": 8,
            ...                 "byte_order": "big", "reverse_bits": False}])
            >>> [p["n"] for p in r.iter_unpack(b"\x01\x02\x03")]
            [1, 2, 3]
        """
    @overload
    def unpack_columns(
        self,
        buffer: ReadableBuffer,
        stride: int | Index | None = None,
        offset_bits: int = 0,
        errors: Literal["raise"] = "raise",
        *,
        text: Literal["str", "utf8"] = "str",
    ) -> dict[str, _Column]: ...
    @overload
    def unpack_columns(
        self, buffer: ReadableBuffer, stride: int | Index | None, offset_bits: int, errors: Literal["mask"], *,
        text: Literal["str", "utf8"] = "str"
    ) -> tuple[dict[str, _Column], dict[str, array[int]], _Faults]: ...
    @overload
    def unpack_columns(
        self, buffer: ReadableBuffer, stride: int | Index | None = None, offset_bits: int = 0, *,
        errors: Literal["mask"], text: Literal["str", "utf8"] = "str"
    ) -> tuple[dict[str, _Column], dict[str, array[int]], _Faults]: ...
    def unpack_columns(  # type: ignore[misc]
        self, buffer: ReadableBuffer, stride: int | Index | None = None, offset_bits: int = 0, errors: str = "raise",
        *, text: str = "str"
    ) -> object:
        r"""Read every packet of a buffer into one column per name.

        Packets lie back to back, ``stride`` bytes each, or where an
        :class:`Index` of the buffer says, and are read as by :meth:`unpack`.
        A numeric field's column is an ``array.array`` whose typecode is the
        narrowest that holds every value the field can decode to (the table
        under :class:`Recipe`); a text field's column is a list of str. No
        Python object is made per numeric value, and for large buffers the
        numeric columns are filled without the interpreter lock. When two
        items share a name, the later one's column is kept.

        Args:
            buffer: Any bytes-like object, a whole number of packets.
            stride: Bytes from one packet to the next; default :attr:`size`.
                Or an :class:`Index` of the buffer (or one stream of it): each
                packet is read at its own offset and length, its first bit the
                recipe's bit 0 (header included). Packets whose arrays vary
                in length need an Index.
            offset_bits: Where the recipe's bit 0 lies in each packet.
            errors: ``"raise"`` stops at the first value that cannot be read.
                ``"mask"`` reads on: such a value is left 0 (``""`` for text)
                and flagged in its column's validity mask.
            text: ``"str"`` gives a text field's column as a list of str.
                ``"utf8"`` gives it as a pair ``(data, offsets)`` with no
                Python object per value: the values' UTF-8 one after another
                in a bytes object, and an ``array('i')`` of n + 1 offsets into
                it (``'q'`` from 2**31 bytes), the buffers of an Arrow string
                array (``pyarrow.StringArray.from_buffers(n,
                pyarrow.py_buffer(offsets), pyarrow.py_buffer(data))`` takes
                them without a copy) and what NumPy's ``frombuffer`` reads.

        Returns:
            A dict from name to column, in recipe order. With
            ``errors="mask"``, a tuple ``(columns, valid, faults)``: ``valid``
            maps each name to an ``array('B')`` with 1 for each value read
            and 0 for each left out; ``faults`` is ``{"count": n, "first":
            [...]}``, the number of values left out and descriptions of the
            first few (packet, byte offset, field, message).

        Raises:
            ValueError: The stride errors of :meth:`iter_unpack`, ``the index
                covers {n} bytes, the buffer has {m}``; otherwise the first
                failure that reading the packets one by one would meet (the
                first packet, then the first field), with the texts of
                :meth:`unpack` and a note naming the packet and field. Fields
                that cannot be read at all (``ieee754_f128``, the legacy float
                formats) fail so, whatever ``errors`` says.
            TypeError: ``argument 'buffer': ...``, ``argument 'stride': ...``.

        Example:
            >>> r = pw.Recipe([{"name": "t", "encoding": "twos_complement", "bits": 12,
            ...                 "byte_order": "big", "reverse_bits": False},
            ...                {"name": "v", "encoding": "ieee754_f16", "bits": 16,
            ...                 "byte_order": "big", "reverse_bits": False}], bit_exact=True)
            >>> data = r.pack([-5, 1.5]) + r.pack([7, -2.0])
            >>> r.unpack_columns(data)
            {'t': array('h', [-5, 7]), 'v': array('f', [1.5, -2.0])}
            >>> xy = pw.Recipe([{"name": "xy", "encoding": "twos_complement", "bits": 8, "count": 2}])
            >>> rows = xy.unpack_columns(bytes([1, 255, 3, 4]))["xy"]
            >>> rows.shape, rows.tolist()
            ((2, 2), [[1, -1], [3, 4]])
        """

    @classmethod
    def from_csv(cls, source: str | PathLike[str] | TextIO, *, primary_header: bool = True) -> Recipe:
        r"""A Recipe from a packet definition table in CSV, as ccsdspy reads them.

        The header row names the columns; ``name``, ``data_type`` and
        ``bit_length`` are needed, ``bit_offset`` and ``byte_order`` are
        read when present, and any other (such as ``calibration``) is
        ignored. The types map to encodings so:

        =============  ==========================================================
        data_type      encoding
        =============  ==========================================================
        ``uint``       ``unsigned``
        ``int``        ``twos_complement``
        ``float``      ``ieee754_f16``, ``ieee754_f32`` or ``ieee754_f64`` by width
        ``str``        ``iso-8859-1`` (every byte one character; ccsdspy gives bytes)
        ``fill``       no field: its bits are held (zeros when packed), not read
        =============  ==========================================================

        As ccsdspy places them: rows without ``bit_offset`` follow one
        another from the end of the 48-bit CCSDS primary header; a
        ``bit_offset`` counts from the packet's first bit. Array shapes give
        the item a ``count``: ``uint(4)`` 4 elements, ``uint(expand)``
        ``"rest"`` (the fields after it sit at the packet's end, as ccsdspy
        reads them), ``uint(OPMODE)`` the earlier field's name; rows after an
        array whose count varies follow it. Shapes of more than one dimension
        (``int(12, 24)``), and ``fill`` rows after an array whose count
        varies, are refused for now.

        Args:
            source: A path, or a text file object.
            primary_header: Begin with the primary header's fields, named as
                ccsdspy names them (``CCSDS_VERSION_NUMBER``,
                ``CCSDS_PACKET_TYPE``, ``CCSDS_SECONDARY_FLAG``,
                ``CCSDS_APID``, ``CCSDS_SEQUENCE_FLAG``,
                ``CCSDS_SEQUENCE_COUNT``, ``CCSDS_PACKET_LENGTH``), so that
                packing writes whole packets. Without it, rows without
                ``bit_offset`` start at bit 0.

        Raises:
            ValueError: ``definition row 3 ('temp'): ...`` for a row that
                cannot be read, or the Recipe's own refusal of an item.
            TypeError: ``argument 'source': ...``.
            OSError: The file cannot be opened.

        Example:
            >>> import io
            >>> table = io.StringIO("name,data_type,bit_length\n"
            ...                     "time,uint,32\nmode,uint,4\nspare,fill,4\ntemp,int,16\n")
            >>> r = pw.Recipe.from_csv(table)
            >>> r.names[3:], r.size
            (('CCSDS_APID', 'CCSDS_SEQUENCE_FLAG', 'CCSDS_SEQUENCE_COUNT', 'CCSDS_PACKET_LENGTH', 'time', 'mode', 'temp'), 13)
        """
    def pack_columns(self, columns: Mapping[str, object], *, count: int | None = None) -> bytes:
        r"""Pack N packets from columns, the inverse of :meth:`unpack_columns`.

        Packet k holds value k of every column, at the recipe's positions;
        the packets lie back to back, :attr:`size` bytes each. For large
        streams the values are encoded and placed without the interpreter
        lock.

        Args:
            columns: A mapping from name to column: an ``array.array``, a
                NumPy array or any buffer of numbers of native byte order
                (one dimension), a list (for text fields, a list of str, or
                the ``(data, offsets)`` pair of UTF-8 that
                ``unpack_columns(..., text="utf8")`` gives), or a single int,
                float or str for every packet. An array field takes what
                :meth:`unpack_columns` gives it (a buffer of shape ``(n,
                count)``, or of ``n * count`` values, for a fixed count; a
                ``(values, offsets)`` pair of buffers for any count), or a
                list of sequences, one per packet; a count field must hold its
                array's length. A field without a column takes its item's
                ``value`` (an array field's: one array for every packet).
                Every name must be a field's.
            count: The number of packets; by default the columns' length
                (every column that is not a single value has it).

        Returns:
            ``count * size`` bytes (with arrays whose count varies, each
            packet as long as its arrays need, back to back).

        Raises:
            ValueError: A value the field cannot hold, as :meth:`pack` reports
                it, with a note naming the packet and field (for buffers the
                earliest packet, then field); a column of the wrong length; a
                name that is no field's; ``count`` missing where every column
                is a single value.
            TypeError: ``argument 'columns': ...``; a column of floats for an
                integer field; a buffer whose format is not a native number.

        Example:
            >>> r = pw.Recipe([{"name": "n", "encoding": "unsigned", "bits": 4},
            ...                {"name": "t", "encoding": "twos_complement", "bits": 12}])
            >>> import array
            >>> data = r.pack_columns({"n": [1, 2, 3], "t": array.array("h", [-1, 0, 7])})
            >>> data.hex(" ")
            '1f ff 20 00 30 07'
            >>> r.pack_columns(r.unpack_columns(data)) == data
            True
        """
    def pack_columns_into(
        self, buffer: WriteableBuffer, columns: Mapping[str, object], *, count: int | None = None
    ) -> None:
        r"""Write N packets from columns into a writable buffer.

        As :meth:`pack_columns`, packet k at byte ``k * size`` of the buffer
        (packets with arrays whose count varies back to back from byte 0);
        only the bits the fields cover are written. Every value is checked
        before anything is written, so a failure leaves the buffer as it was.

        Raises:
            ValueError: As :meth:`pack_columns`, and ``Buffer too small``.
            TypeError: ``argument 'buffer': ...`` for a read-only buffer.
        """

@final
class Index:
    r"""The packets of one buffer, as :meth:`Framing.index` found them.

    Each packet's byte offset, length, stream key and sequence count, as
    ``array.array`` objects that numpy takes without a copy
    (``numpy.asarray(index.offsets)``); the bytes of an incomplete last
    packet (:attr:`tail`); and per stream key the faults of its sequence
    counts and check values. ``len(index)`` is the number of whole packets.
    Pass an Index (or :meth:`select` of one) as the ``stride`` of
    :meth:`Recipe.unpack_columns` or :meth:`Recipe.iter_unpack` to read the
    packets where they are. An Index holds numbers only, not the buffer. The
    arrays are copies of the index's own numbers, made on first use and kept:
    editing one changes what that attribute shows, never what the index reads.
    """
    def __new__(cls) -> NoReturn: ...
    @property
    def offsets(self) -> array[int]:
        r"""``array('Q')``: each packet's byte offset in the buffer."""
    @property
    def lengths(self) -> array[int]:
        r"""``array('Q')``: each packet's length in bytes."""
    @property
    def keys(self) -> array[int] | None:
        r"""``array('I')``: each packet's stream key (None when the framing has no key)."""
    @property
    def sequences(self) -> array[int] | None:
        r"""``array('I')``: each packet's sequence count (None when the framing has none)."""
    @property
    def tail(self) -> int:
        r"""Bytes of an incomplete packet at the end: carry them into the next chunk."""
    @property
    def end(self) -> int:
        r"""Where the last whole packet ends (the buffer's length less :attr:`tail`)."""
    @property
    def faults(self) -> list[tuple[int, int, int, str, int]]:
        r"""``(packet, offset, key, kind, missing)`` for each fault, in packet order.

        ``kind`` is ``"gap"`` (the packet's sequence count is not the one
        after its stream's previous packet; ``missing`` counts the counts
        skipped, modulo the counter's range), ``"repeat"`` (the same count
        again) or ``"check"`` (the check value does not match).
        """
    @property
    def streams(self) -> dict[int, dict[str, int]]:
        r"""Per key: ``packets``, ``gaps``, ``missing``, ``repeats``, ``wraps`` and ``check_failures``.

        A wrap is a step from the counter's largest values back through 0,
        counted whether or not counts were skipped on the way.
        """
    def select(self, key: int) -> Index:
        r"""The packets of one stream key, in order, with that stream's faults (renumbered)."""
    def __len__(self) -> int:
        r"""The number of whole packets."""

@final
class Framing:
    r"""Where each packet of a mixed stream ends, read from its header.

    A packet's length in bytes is its length field plus ``length_adjust``.
    Fields are ``(offset_bits, bits)`` pairs, big-endian unsigned, 1 to 32
    bits, counted from the packet's first bit. :data:`CCSDS` is the space
    packet's framing.

    Args:
        length: The packet length field.
        length_adjust: Added to the length field to give the packet's bytes.
        key: The stream identifier (the APID of a space packet), or None.
        sequence: The sequence counter, wrapping at its width, or None.
        crc: The check value over the packet, kept big-endian in its last 2
            or 4 bytes: ``"CRC-16/CCITT-FALSE"``, ``"CRC-16/XMODEM"``,
            ``"CRC-32"`` (zlib's) or ``"CRC-32C"``, or None.
        header_bits: Bits every packet has (a multiple of 8); defaults to the
            end of the last field above, in whole bytes.

    Raises:
        ValueError: A field of more than 32 bits or outside the header, an
            unknown ``crc``, a ``header_bits`` that is not a positive
            multiple of 8.
        TypeError: A field that is not a pair of ints; missing ``length`` or
            ``length_adjust``.

    Example:
        >>> import struct
        >>> def packet(apid, count, data):
        ...     return struct.pack(">HHH", apid, 0xC000 | count, len(data) - 1) + data
        >>> stream = packet(5, 0, b"ab") + packet(9, 0, b"xyz") + packet(5, 2, b"cd") + b"\x00\x05"
        >>> index = pw.CCSDS.index(stream)
        >>> len(index), list(index.keys), index.tail, index.faults
        (3, [5, 9, 5], 2, [(2, 17, 5, 'gap', 1)])
        >>> {key: len(packets) for key, packets in pw.CCSDS.split(stream).items()}
        {5: 16, 9: 9}
    """
    def __new__(
        cls,
        *,
        length: tuple[int, int],
        length_adjust: int,
        key: tuple[int, int] | None = None,
        sequence: tuple[int, int] | None = None,
        crc: str | None = None,
        header_bits: int | None = None,
    ) -> Framing: ...
    @property
    def length(self) -> tuple[int, int]:
        r"""``(offset_bits, bits)`` of the packet length field."""
    @property
    def length_adjust(self) -> int:
        r"""Added to the length field to give the packet's bytes."""
    @property
    def key(self) -> tuple[int, int] | None:
        r"""``(offset_bits, bits)`` of the stream key, or None."""
    @property
    def sequence(self) -> tuple[int, int] | None:
        r"""``(offset_bits, bits)`` of the sequence counter, or None."""
    @property
    def crc(self) -> str | None:
        r"""The check value's algorithm, or None."""
    @property
    def header_bits(self) -> int:
        r"""Bits every packet has at least."""
    def __eq__(self, other: object, /) -> bool:
        r"""The same fields, adjustment, check and header."""
    def __ne__(self, other: object, /) -> bool:
        r"""The negation of ``==``."""
    def index(self, buffer: ReadableBuffer) -> Index:
        r"""Walk the packets of a buffer once and return their :class:`Index`.

        Any C-contiguous buffer (bytes, bytearray, mmap, a numpy array); large
        ones are walked without the interpreter lock. An incomplete last
        packet is not an error: its bytes are :attr:`Index.tail`.

        Raises:
            ValueError: A packet whose length is less than the header (the
                framing is lost there): ``packet {k} at byte {b}: its length
                field gives {n} bytes, less than the {h}-byte header``.
        """
    def split(self, buffer: ReadableBuffer) -> dict[int, bytes]:
        r"""The whole packets of a buffer as ``{key: bytes}``, each stream's packets in order."""
    @overload
    def read(
        self, buffer: ReadableBuffer, recipes: Mapping[int, Recipe], errors: Literal["raise"] = "raise", *,
        text: Literal["str", "utf8"] = "str"
    ) -> dict[int, dict[str, _Column]]: ...
    @overload
    def read(
        self, buffer: ReadableBuffer, recipes: Mapping[int, Recipe], errors: Literal["mask"], *,
        text: Literal["str", "utf8"] = "str"
    ) -> dict[int, tuple[dict[str, _Column], dict[str, array[int]], _Faults]]: ...
    def read(  # type: ignore[misc]
        self, buffer: ReadableBuffer, recipes: Mapping[int, Recipe], errors: str = "raise", *, text: str = "str"
    ) -> object:
        r"""Columns of several streams of one buffer in one call.

        Indexes the buffer, then reads each key's packets with its Recipe as
        :meth:`Recipe.unpack_columns` does through an index. Packets of keys
        not in ``recipes`` are skipped (:attr:`Index.streams` counts them).
        ``errors`` and ``text`` are those of :meth:`Recipe.unpack_columns`.

        Returns:
            ``{key: columns}`` (with ``errors="mask"``, ``{key: (columns,
            valid, faults)}``), in the order of ``recipes``.
        """

CCSDS: Framing
r"""The CCSDS space packet: length at bit 32 (16 bits, +7), key the APID at bit 5 (11 bits), sequence at bit 18 (14 bits)."""
