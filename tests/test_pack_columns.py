"""Recipe.pack_columns and pack_columns_into: columns back into packets, the inverse of unpack_columns."""

import array

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import packweaver as pw
from test_recipe import round_trip_items


def item(name, bits, encoding="unsigned", **keys):
    return {"name": name, "encoding": encoding, "bits": bits, **keys}


@settings(max_examples=120, deadline=None)
@given(fields=st.lists(st.integers(0, 6), min_size=1, max_size=5).flatmap(
    lambda gaps: st.tuples(*[st.lists(round_trip_items(f"f{k}"), min_size=1, max_size=4)
                             for k in range(len(gaps))], st.just(gaps))),
       form=st.sampled_from(["array", "numpy", "list"]))
def test_round_trip_over_random_recipes(fields, form):
    """pack_columns(unpack_columns(packets)) gives the packets back, whatever form the columns take."""
    *fields, gaps = fields
    # Text with a byte order mark reads back with its zero padding as text, which a mark and
    # the padding's characters would no longer fit: those fields do not round-trip by design.
    assume(all(rows[0][0] not in ("utf16", "utf32") for rows in fields))
    recipe, cursor = [], 0
    for rows, gap in zip(fields, gaps):
        _, first = rows[0]
        entry = {k: v for k, v in first.items() if k != "value"}
        entry["name"] = first["name"]
        if gap:
            cursor += gap
            entry["offset_bits"] = cursor
        cursor += entry["bits"]
        recipe.append(entry)
    r = pw.Recipe(recipe)
    count = max(len(rows) for rows in fields)
    packets = []
    for k in range(count):
        # Each row's value where the field's own strategy drew one for it, else its first.
        values = [rows[k % len(rows)][1]["value"] if rows[k % len(rows)][1]["encoding"] == rows[0][1]["encoding"]
                  and rows[k % len(rows)][1]["bits"] == rows[0][1]["bits"] else rows[0][1]["value"]
                  for rows in fields]
        packets.append(r.pack(values))
    data = b"".join(packets)
    columns = r.unpack_columns(data)
    if form == "numpy":
        columns = {k: np.asarray(v) if isinstance(v, array.array) else v for k, v in columns.items()}
    elif form == "list":
        columns = {k: list(v) for k, v in columns.items()}
    assert r.pack_columns(columns) == data
    buffer = bytearray(len(data))
    r.pack_columns_into(buffer, columns)
    assert buffer == data


FRAME = [item("a", 3), item("b", 13, "twos_complement"), item("f", 32, "ieee754_f32"),
         item("t", 16, "utf8", value="hi")]


@pytest.mark.parametrize("columns, kwargs, error, text", [
    ({"a": [1, 2, 8], "b": 0, "f": 1.0}, {}, ValueError, "Value 8 is too large for 3 bits"),
    ({"a": np.array([1, 2, 8], "u1"), "b": 0, "f": 1.0}, {}, ValueError, "Value 8 is too large for 3 bits"),
    ({"a": np.array([1, -1], "i8"), "b": 0, "f": 1.0}, {}, ValueError, "Value -1 out of range for 3 bits"),
    ({"a": 1, "b": np.array([0, 4096], "i4"), "f": 1.0}, {}, ValueError, "out of range"),
    ({"a": 1, "b": 0, "f": 1.0, "t": ["a", "abc"]}, {}, ValueError, "Text of 3 bytes does not fit a field of 2 bytes"),
    ({"a": [1, 2], "b": [1, 2, 3], "f": 1.0}, {}, ValueError, "column 'b': 3 values, not 2 (the packet count)"),
    ({"a": [1], "b": 0, "f": 1.0}, {"count": 2}, ValueError, "column 'a': 1 value, not 2"),
    ({"a": 1, "b": 0, "f": 1.0}, {}, ValueError, "count is needed when every column is a single value"),
    ({"a": 1, "b": 0}, {"count": 1}, ValueError, "column 'f': no column for the field, and its item has no value"),
    ({"a": 1, "b": 0, "f": 1.0, "typo": [1]}, {"count": 1}, ValueError, "columns name no field of the recipe: 'typo'"),
    ({"a": np.array([1.0]), "b": 0, "f": 1.0}, {}, TypeError, "column 'a': float values for an integer field"),
    ({"a": np.zeros((2, 2), "u1"), "b": 0, "f": 1.0}, {}, ValueError, "not 2-dimensional"),
    ({"a": np.array([1], ">u2"), "b": 0, "f": 1.0}, {}, TypeError, "values of format '>H' cannot be packed"),
    ({"a": "x", "b": 0, "f": 1.0}, {"count": 1}, TypeError, "expected a sequence or buffer of values, got 'str'"),
    ([1, 2], {}, TypeError, "argument 'columns'"),
])
def test_faults(columns, kwargs, error, text):
    r = pw.Recipe(FRAME)
    for method in (r.pack_columns, lambda c, **k: r.pack_columns_into(bytearray(100), c, **k)):
        with pytest.raises(error) as info:
            method(columns, **kwargs)
        assert text in str(info.value)


def test_the_first_fault_is_named_and_nothing_is_written():
    r = pw.Recipe(FRAME)
    a, b = np.ones(600, "u1"), np.zeros(600, "i2")
    a[500], b[300] = 9, 5000  # the earlier packet is reported, though its field comes later
    buffer = bytearray(b"\xee" * 8 * 600)
    with pytest.raises(ValueError) as info:
        r.pack_columns_into(buffer, {"a": a, "b": b, "f": 1.0})
    assert info.value.__notes__ == ["at packet 300 (byte 2400 of the buffer), field 'b' (item 1)"]
    assert buffer == b"\xee" * 8 * 600
    # Lists are converted field by field: a value that cannot be converted is named where it is.
    with pytest.raises(ValueError) as info:
        r.pack_columns({"a": [1, 2, 3], "b": [0, 0, "x"], "f": 1.0})
    assert info.value.__notes__ == ["at packet 2 (byte 16 of the buffer), field 'b' (item 1)"]
    with pytest.raises(ValueError, match="buffer has 7"):
        r.pack_columns_into(bytearray(7), {"a": 1, "b": 0, "f": 1.0}, count=1)


def set_bits(buffer, pos, bits, value):
    for j in range(bits):
        byte, bit = divmod(pos + j, 8)
        if value >> (bits - 1 - j) & 1:
            buffer[byte] |= 0x80 >> bit
        else:
            buffer[byte] &= ~(0x80 >> bit) & 0xFF


def test_into_writes_only_the_fields_bits():
    r = pw.Recipe([item("a", 4, offset_bits=2), item("b", 8, offset_bits=12)])
    buffer = bytearray(b"\xff" * 9)
    r.pack_columns_into(buffer, {"a": [0, 5, 0], "b": array.array("B", [0, 0, 0x81])})
    want = bytearray(b"\xff" * 9)
    for k, (a, b) in enumerate([(0, 0), (5, 0), (0, 0x81)]):
        set_bits(want, 24 * k + 2, 4, a)
        set_bits(want, 24 * k + 12, 8, b)
    assert buffer == want and r.size == 3
    assert r.pack_columns({"a": 1, "b": 2}, count=3) == r.pack([1, 2]) * 3


def test_keyword_only_count_and_columns_of_every_buffer_kind():
    r = pw.Recipe([item("u", 16), item("s", 16, "twos_complement"), item("h", 16, "ieee754_f16"),
                   item("d", 64, "ieee754_f64"), item("flag", 1), item("pad", 7)])
    with pytest.raises(TypeError, match="takes 1 positional argument"):
        r.pack_columns({}, 2)
    want = b"".join(r.pack([u, s, h, d, f, 0]) for u, s, h, d, f in
                    [(1, -1, 0.5, 2.5, 1), (65535, -32768, -2.0, -0.0, 0)])
    columns = {"u": np.array([1, 65535], "u8"), "s": bytes([0xFF, 0x80]) and np.array([-1, -32768], "i2"),
               "h": np.array([0.5, -2.0], "f2"), "d": memoryview(array.array("d", [2.5, -0.0])),
               "flag": np.array([True, False]), "pad": 0}
    assert r.pack_columns(columns) == want


@pytest.mark.parametrize("entry, text", [
    (item("p", 8, "latin1"), "Unsupported encoding type: latin1"),
    (item("p", 8, "nonsense"), "Unsupported encoding type: nonsense"),
    (item("p", 8, byte_order="middle"), "Invalid byte_order 'middle'"),
    (item("p", 32, "ti_f32"), "Unsupported encoding type: ti_f32"),
])
def test_fields_the_packer_refuses_are_refused_as_pack_refuses_them(entry, text):
    """A recipe made with bit_exact=False may hold them: never packed as something else."""
    r = pw.Recipe([dict({"byte_order": "big", "reverse_bits": False}, **entry)], bit_exact=False)
    for call in (lambda: r.pack([1]), lambda: r.pack_columns({"p": [1]}),
                 lambda: r.pack_columns_into(bytearray(8), {"p": [1]})):
        with pytest.raises(ValueError) as info:
            call()
        assert text in str(info.value) and info.value.__notes__ == ["at field 'p' (item 0)"]
