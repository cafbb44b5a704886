"""Arrays in recipes: a field of `count` elements, fixed, taken from an earlier field, or the rest of the packet."""

import array
import logging
import pickle
import pathlib
import struct

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import packweaver as pw


def item(name, bits, encoding="unsigned", **keys):
    return {"name": name, "encoding": encoding, "bits": bits, **keys}


# ---- the reference: every element a field of its own, at the place the array recipe gives it ----

def layout(recipe, counts):
    """Each field's first bit and the packet's bits, as packing lays them out."""
    places, cursor, end = [], 0, 0
    for entry, count in zip(recipe, counts):
        at = entry.get("offset_bits", cursor)
        places.append(at)
        cursor = at + count * entry["bits"]
        end = max(end, cursor)
    end = -(-end // 8) * 8
    rest = [i for i, entry in enumerate(recipe) if entry.get("count") == "rest"]
    if rest:  # the fields after a "rest" array sit at the packet's end
        at = end - sum(counts[i] * recipe[i]["bits"] for i in range(rest[0] + 1, len(recipe)))
        for i in range(rest[0] + 1, len(recipe)):
            places[i] = at
            at += counts[i] * recipe[i]["bits"]
    return places, end


def elements_recipe(recipe, values):
    """The recipe of single fields, and its values, that packs what the array recipe packs."""
    counts = [len(values[e["name"]]) if "count" in e else 1 for e in recipe]
    places, _ = layout(recipe, counts)
    fields, flat = [], {}
    for entry, at in zip(recipe, places):
        single = {k: v for k, v in entry.items() if k not in ("count", "offset_bits")}
        elements = values[entry["name"]] if "count" in entry else [values[entry["name"]]]
        for j, v in enumerate(elements):
            name = f"{entry['name']}[{j}]"
            fields.append({**single, "name": name, "offset_bits": at + j * entry["bits"]})
            flat[name] = v
    return fields, flat


# ---- random recipes with arrays ----

F16 = [0.0, -0.0, 1.0, -2.5, 65504.0, 0.000060975551605224609375, float("inf")]


@st.composite
def element(draw):
    encoding, bits = draw(st.sampled_from([
        ("unsigned", 1), ("unsigned", 3), ("unsigned", 8), ("unsigned", 12), ("unsigned", 16), ("unsigned", 33),
        ("unsigned", 64), ("twos_complement", 4), ("twos_complement", 16), ("twos_complement", 24),
        ("ieee754_f16", 16), ("ieee754_f32", 32), ("ieee754_f64", 64)]))
    keys = {}
    if bits % 8 == 0 and bits > 8:
        keys["byte_order"] = draw(st.sampled_from(["big", "little"] + (["21"] if bits == 16 else [])
                                                  + (["2143", "3412"] if bits == 32 else [])))
    return encoding, bits, keys


def value_of(encoding, bits):
    if encoding == "unsigned":
        return st.integers(0, 2**bits - 1)
    if encoding == "twos_complement":
        return st.integers(-2**(bits - 1), 2**(bits - 1) - 1)
    if encoding == "ieee754_f16":
        return st.sampled_from(F16)
    if encoding == "ieee754_f32":
        return st.floats(width=32, allow_nan=False)
    return st.floats(allow_nan=False)


@st.composite
def array_recipes(draw):
    """A recipe led by a 16-bit length field (for an index), with scalars and arrays of every kind."""
    recipe = [item("length", 16)]
    kinds = draw(st.lists(st.sampled_from(["one", "fixed", "field", "rest"]), min_size=1, max_size=5))
    if "rest" in kinds:  # one "rest" array, followed only by fields of a fixed size
        kinds = [k for k in kinds if k != "rest"]
        after = draw(st.integers(0, 2))
        kinds = [k for k in kinds[:len(kinds) - after]] + ["rest"] + [
            draw(st.sampled_from(["one", "fixed"])) for _ in range(after)]
    for k, kind in enumerate(kinds):
        encoding, bits, keys = draw(element())
        name = f"f{k}"
        if kind == "fixed":
            keys["count"] = draw(st.integers(1, 4))
        elif kind == "field":
            recipe.append(item(f"n{k}", draw(st.sampled_from([3, 8]))))
            keys["count"] = f"n{k}"
        elif kind == "rest":
            if bits < 8:  # so that a whole byte of padding never holds another element
                encoding, bits = "unsigned", 12
            keys["count"] = "rest"
        recipe.append(item(name, bits, encoding, **keys))
    return recipe


@st.composite
def packet_values(draw, recipe):
    values = {}
    for entry in recipe:
        kind = entry.get("count")
        if kind is None:
            values[entry["name"]] = draw(value_of(entry["encoding"], entry["bits"]))
            continue
        size = kind if isinstance(kind, int) else draw(st.integers(0, 5))
        values[entry["name"]] = draw(st.lists(value_of(entry["encoding"], entry["bits"]), min_size=size, max_size=size))
        if isinstance(kind, str) and kind != "rest":
            values[kind] = size
    return values


def packed(r, values):
    """The packet of `values`, its length field holding its length."""
    values = dict(values, length=0)
    values["length"] = len(r.pack(values))
    return r.pack(values), values


FRAMING = pw.Framing(length=(0, 16), length_adjust=0)


def rows_of(column, count):
    """Each packet's elements, from the column unpack_columns gives an array field."""
    if isinstance(column, memoryview):
        return column.tolist()
    values, offsets = column
    return [list(values[offsets[k]:offsets[k + 1]]) for k in range(count)]


@settings(max_examples=150)
@given(data=st.data())
def test_arrays_against_elements_placed_one_by_one(data):
    """Every method agrees with the same packets built from single fields at the places arrays take."""
    recipe = data.draw(array_recipes())
    r = pw.Recipe(recipe)
    packets, rows = [], []
    for _ in range(data.draw(st.integers(1, 4))):
        packet, values = packed(r, data.draw(packet_values(recipe)))
        fields, flat = elements_recipe(recipe, values)
        assert packet == pw.Recipe(fields).pack(flat)
        assert r.unpack(packet) == values
        packets.append(packet)
        rows.append(values)
    stream = b"".join(packets)
    index = FRAMING.index(stream)
    assert list(r.iter_unpack(stream, index)) == rows
    for text in ("str", "utf8"):
        columns = r.unpack_columns(stream, index, text=text)
        for entry in recipe:
            name, column = entry["name"], columns[entry["name"]]
            expected = [v[name] for v in rows]
            assert (rows_of(column, len(rows)) if "count" in entry else list(column)) == expected, name
        assert r.pack_columns(columns) == stream
        into = bytearray(len(stream) + 3)
        r.pack_columns_into(into, columns)
        assert into[:len(stream)] == stream
    # Columns as lists of rows, and fixed rows as NumPy arrays, pack the same.
    as_lists = {e["name"]: [v[e["name"]] for v in rows] for e in recipe}
    assert r.pack_columns(as_lists) == stream
    columns = r.unpack_columns(stream, index)
    numpy_form = {k: np.asarray(v) if isinstance(v, memoryview) else v for k, v in columns.items()}
    assert r.pack_columns(numpy_form) == stream


# ---- ccsdspy's variable-length samples ----

ccsdspy = pytest.importorskip("ccsdspy")
logging.getLogger("ccsdspy").setLevel(logging.ERROR)
DATA = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data"
needs_data = pytest.mark.skipif(not (DATA / "var_length").is_dir(), reason="ccsdspy's sample data is not installed")
HEADER = [("CCSDS_VERSION_NUMBER", 3), ("CCSDS_PACKET_TYPE", 1), ("CCSDS_SECONDARY_FLAG", 1), ("CCSDS_APID", 11),
          ("CCSDS_SEQUENCE_FLAG", 2), ("CCSDS_SEQUENCE_COUNT", 14), ("CCSDS_PACKET_LENGTH", 16)]
EUROPA = ([("Instrument SCLK Time second", 32, "uint"), ("Instrument SCLK Time subsec", 16, "uint"),
           ("Accountability ID", 32, "uint"), ("FGX_CHANNELS", 8, "expand")]
          + [(n, 24, "int") for n in ("FGx_-4.7VHK", "FGx_+4.7VHK", "FGx_2VREF", "FGx_1VREF", "FGx_DRV_SNS",
                                      "FGx_OP_PRTA", "FGx_FBX", "FGx_FBY", "FGx_FBZ", "FGx_BPFX", "FGx_BPFY",
                                      "FGx_BPFZ", "FGx_+4.7_I", "FGx_-4.7_I", "FGx_HK_CH14", "FGx_HK_CH15")]
          + [("Register 80", 16, "uint"), ("PEC (CRC-16-CCITT)", 16, "uint")])
SAMPLES = {
    "var_length/var_length_packets.bin": [("data", 16, "expand")],
    "var_length/var_length_packets_with_footer.bin": [("data", 16, "expand"), ("footer", 16, "uint")],
    "var_length/var_length_packets_double_varfield_with_footer.bin": [
        ("data1_len", 8, "uint"), ("data1", 16, "data1_len"), ("data2_len", 8, "uint"), ("data2", 16, "data2_len"),
        ("footer", 16, "uint")],
    "europa_clipper/expanding_footer_packet.bin": EUROPA,
}


def both_definitions(fields):
    theirs, ours = [], [item(name, bits) for name, bits in HEADER]
    for name, bits, kind in fields:
        if kind in ("uint", "int"):
            theirs.append(ccsdspy.PacketField(name=name, data_type=kind, bit_length=bits))
            ours.append(item(name, bits, "unsigned" if kind == "uint" else "twos_complement"))
        else:
            theirs.append(ccsdspy.PacketArray(name=name, data_type="uint", bit_length=bits, array_shape=kind))
            ours.append(item(name, bits, count="rest" if kind == "expand" else kind))
    return ccsdspy.VariableLength(theirs), pw.Recipe(ours)


@needs_data
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("sample", sorted(SAMPLES))
def test_variable_length_samples_read_as_ccsdspy_reads_them(sample):
    theirs, r = both_definitions(SAMPLES[sample])
    data = (DATA / sample).read_bytes()
    want = theirs.load(DATA / sample, include_primary_header=True)
    index = pw.CCSDS.index(data)
    got = r.unpack_columns(data, index)
    assert set(got) == set(want)
    for name, column in got.items():
        if isinstance(column, tuple):
            assert rows_of(column, len(index)) == [list(a) for a in want[name]], name
        else:
            assert list(column) == list(want[name]), name
    assert r.pack_columns(got) == data
    assert [r.unpack(data[o:o + n]) for o, n in zip(index.offsets, index.lengths)] == list(r.iter_unpack(data, index))


@needs_data
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("order", ["big", "little"])
def test_fixed_arrays_read_as_ccsdspy_reads_them(order, tmp_path):
    """Fixed shapes, ccsdspy's PacketArray with an int shape, on packets of random contents."""
    fields = [("volts", 16, "uint", 3), ("temps", 8, "int", 2), ("flags", 32, "uint", None), ("raw", 12, "uint", 4)]
    # (ccsdspy would swap the bytes of 12-bit elements too: those stay big.)
    theirs = ccsdspy.FixedLength([
        ccsdspy.PacketArray(name=n, data_type=t, bit_length=b, array_shape=c, byte_order=order if b % 8 == 0 else "big")
        if c else ccsdspy.PacketField(name=n, data_type=t, bit_length=b, byte_order=order)
        for n, b, t, c in fields])
    body = [item(n, b, "unsigned" if t == "uint" else "twos_complement",
                 **({"count": c} if c else {}), **({"byte_order": order} if b % 8 == 0 else {}))
            for n, b, t, c in fields]
    r = pw.Recipe([item(name, bits) for name, bits in HEADER] + body)
    rng = np.random.default_rng(7)
    packets = []
    for k in range(50):
        body_bytes = rng.integers(0, 256, r.size - 6, dtype=np.uint8).tobytes()
        packets.append(struct.pack(">HHH", 0x0800 | 42, 0xC000 | k, r.size - 7) + body_bytes)
    path = tmp_path / "fixed.bin"
    path.write_bytes(b"".join(packets))
    want = theirs.load(path, include_primary_header=True)
    got = r.unpack_columns(path.read_bytes())
    for name, _, _, count in fields:
        assert np.array_equal(np.asarray(got[name]), want[name]), name
        if count:
            assert np.asarray(got[name]).shape == (50, count)
    assert r.pack_columns(got) == path.read_bytes()


# ---- columns that NumPy and pyarrow take as they are ----

def test_columns_are_taken_without_a_copy():
    r = pw.Recipe([item("n", 8), item("v", 10, count="n"), item("xyz", 16, "twos_complement", count=3)])
    stream = b"".join(r.pack({"n": 2, "v": [k, k + 1], "xyz": [k, -k, 7]}) for k in range(5))
    columns = r.unpack_columns(stream, 10)
    xyz = columns["xyz"]
    assert isinstance(xyz, memoryview) and xyz.shape == (5, 3) and xyz.format == "h"
    a, b = np.asarray(xyz), np.asarray(xyz)
    assert a.shape == (5, 3) and np.shares_memory(a, b)
    assert a[:, 1].tolist() == [0, -1, -2, -3, -4]
    values, offsets = columns["v"]
    assert offsets.typecode == "i" and list(offsets) == [0, 2, 4, 6, 8, 10]
    pa = pytest.importorskip("pyarrow")
    lists = pa.ListArray.from_arrays(pa.array(np.asarray(offsets)), pa.array(np.asarray(values)))
    assert lists.to_pylist() == [[k, k + 1] for k in range(5)]
    with pytest.raises(ValueError, match="vary in length with its arrays: give a stride or an Index"):
        r.unpack_columns(stream)
    empty = r.unpack_columns(b"", 10)
    assert empty["xyz"].shape == (0, 3) and np.asarray(empty["xyz"]).shape == (0, 3)


# ---- faults ----

@pytest.mark.parametrize("recipe, text", [
    ([item("a", 8, count=0)], "Recipe item 0 ('a'): count is at least 1, not 0"),
    ([item("a", 64, count=2**61 + 1)], "a field of 2305843009213693953 elements of 64 bits is larger than any packet"),
    ([item("a", 8, count=2.0)], "count is an int, the name of an earlier field or \"rest\", not float"),
    ([item("a", 8, count=True)], "not bool"),
    ([item("a", 8, count="n"), item("n", 8)], "no field before this one is named 'n'"),
    ([item("n", 8, "twos_complement"), item("a", 8, count="n")], "count names 'n', which is not a single 'unsigned'"),
    ([item("n", 8, count=2), item("a", 8, count="n")], "not a single 'unsigned' field"),
    ([item("t", 16, "utf8", count=2)], "count applies to numeric fields, not to 'utf8' text"),
    ([item("a", 8, count="rest"), item("b", 8, offset_bits=0)], "Recipe item 1 ('b'): a field after a \"rest\" array"),
    ([item("a", 8, count="rest"), item("n", 8), item("b", 8, count="n")], "can have no count but a fixed one"),
    ([item("a", 8, count="rest"), item("b", 8, count="rest")], "can have no count but a fixed one"),
])
def test_refused_at_construction(recipe, text):
    with pytest.raises(ValueError) as info:
        pw.Recipe(recipe)
    assert text in str(info.value)


def test_count_needs_an_exact_recipe():
    with pytest.raises(ValueError, match=r"the key 'count' needs an exact recipe"):
        pw.Recipe([item("a", 8, count=2)], bit_exact=False)


COUNTED = [item("n", 8), item("v", 12, count="n"), item("crc", 16)]


@pytest.mark.parametrize("recipe, packet, text, note", [
    (COUNTED, bytes([3, 0, 0, 0, 0]), "Packet too short for parameter 'v': needs 6 bytes, packet has 5",
     "at field 'v' (item 1)"),
    (COUNTED, b"", "Packet too short for parameter 'n': needs 1 bytes, packet has 0", "at field 'n' (item 0)"),
    (COUNTED, bytes([1, 0, 0, 0]), "Packet too short for parameter 'crc': needs 5 bytes, packet has 4",
     "at field 'crc' (item 2)"),
    ([item("v", 16, count="rest"), item("crc", 32)], bytes(3), "needs 4 bytes, packet has 3", "at field 'v' (item 0)"),
    ([item("v", 16, "packed_bcd", count=2)], bytes([0x12, 0x34, 0x1A, 0]), "Invalid BCD", "at field 'v' (item 0), element 1"),
])
def test_read_faults_name_the_field_and_element(recipe, packet, text, note):
    with pytest.raises(ValueError) as info:
        pw.Recipe(recipe).unpack(packet)
    assert text in str(info.value) and getattr(info.value, "__notes__", [note]) == [note]


@pytest.mark.parametrize("recipe, values, text, note", [
    (COUNTED, {"n": 2, "v": [1, 2, 3], "crc": 0}, "'n' is 2 but 3 elements were given", "at field 'v' (item 1)"),
    (COUNTED, {"n": 1, "v": [4096], "crc": 0}, "Value 4096 is too large for 12 bits", "at field 'v' (item 1), element 0"),
    (COUNTED, {"n": 1, "v": "a", "crc": 0}, "an array field takes a sequence of numbers, not str", "at field 'v' (item 1)"),
    (COUNTED, {"n": 1, "v": 5, "crc": 0}, "'int' object is not iterable", "at field 'v' (item 1)"),
    ([item("v", 8, count=2)], {"v": [1]}, "the field holds 2 elements, 1 was given", "at field 'v' (item 0)"),
    ([item("v", 4, count="rest")], {"v": [1]}, "would read back as 2", "at field 'v' (item 0)"),
])
def test_pack_faults(recipe, values, text, note):
    with pytest.raises(ValueError) as info:
        pw.Recipe(recipe).pack(values)
    assert text in str(info.value) and getattr(info.value, "__notes__", [note]) == [note]


def test_stream_faults_are_placed_and_masked():
    r = pw.Recipe(COUNTED)
    good = r.pack({"n": 2, "v": [1, 2], "crc": 9})
    bad = bytes([200]) + good[1:]
    stream = good + bad + good
    shape = stream, len(good)
    with pytest.raises(ValueError) as info:
        r.unpack_columns(*shape)
    assert "Packet too short for parameter 'v'" in str(info.value)
    assert info.value.__notes__ == [f"at packet 1 (byte {len(good)} of the buffer), field 'v' (item 1)"]
    columns, valid, faults = r.unpack_columns(*shape, errors="mask")
    assert list(valid["n"]) == [1, 1, 1] and list(valid["v"]) == [1, 0, 1] and list(valid["crc"]) == [1, 0, 1]
    assert rows_of(columns["v"], 3) == [[1, 2], [], [1, 2]] and list(columns["crc"]) == [9, 0, 9]
    assert faults["count"] == 1 and faults["first"][0].startswith("packet 1 (byte 6), field 'v' (item 1): ")


@pytest.mark.parametrize("columns, text", [
    ({"n": [1], "v": (np.array([1, 2], "u2"), np.array([0, 2], "i4")), "crc": 0}, "'n' is 1 but 2 elements"),
    ({"n": [1], "v": np.array([1], "u2"), "crc": 0}, "is a (values, offsets) pair or a sequence of sequences"),
    ({"n": [1], "v": (np.array([1], "u2"), np.array([1, 1], "i4")), "crc": 0}, "offsets of an array column start at 0"),
    ({"n": [1], "v": (np.array([1], "u2"), np.array([0, 2], "i4")), "crc": 0}, "do not lie in the 1 values"),
    ({"n": [1], "v": (np.array([1], "u2"), np.array([0, 1], "u1")), "crc": 0}, "32- or 64-bit integers"),
    ({"n": [1], "v": (np.array([1.0]), np.array([0, 1], "i4")), "crc": 0}, "float values for an integer field"),
    ({"n": [1], "v": [[5000]], "crc": 0}, "Value 5000 is too large for 12 bits"),
])
def test_pack_columns_faults(columns, text):
    with pytest.raises((ValueError, TypeError)) as info:
        pw.Recipe(COUNTED).pack_columns(columns)
    assert text in str(info.value)


def test_fixed_rows_are_checked_for_their_width():
    r = pw.Recipe([item("xy", 8, count=2)])
    with pytest.raises(ValueError, match="the field holds 2 elements, offsets 0 to 1 of packet 0 give 1"):
        r.pack_columns({"xy": (array.array("B", [1, 2, 3]), array.array("i", [0, 1, 3]))})
    assert r.pack_columns({"xy": np.array([[1, 2], [3, 4]], "u1")}) == bytes([1, 2, 3, 4])
    assert r.pack_columns({"xy": array.array("B", [1, 2, 3, 4])}) == bytes([1, 2, 3, 4])
    for bad in (np.zeros((2, 3), "u1"), np.zeros(3, "u1")):
        with pytest.raises(ValueError, match="takes rows of 2 values"):
            r.pack_columns({"xy": bad})
    with pytest.raises(ValueError, match=r"at packet 1, field 'xy' \(item 0\)"):
        r.pack_columns({"xy": [[1, 2], [3]]})




def test_recipe_with_arrays_keeps_its_counts():
    recipe = [item("n", 8), item("v", 12, count="n"), item("xy", 8, count=2), item("rest", 16, count="rest")]
    r = pw.Recipe(recipe)
    assert repr(r).startswith("<Recipe: 4 fields, at least 3 bytes: ")
    again = pickle.loads(pickle.dumps(r))
    assert again == r and [i.get("count") for i in again.__reduce__()[1][1][0]] == [None, "n", 2, "rest"]
    assert pw.Recipe([item("xy", 8, count=2)]).size == 2


def test_hostile_counts_and_hooks():
    # Every packet alike (only item values) and billions of them: refused before any work.
    r = pw.Recipe([item("v", 8, count="rest", value=[1, 2])])
    with pytest.raises(ValueError, match="Cannot allocate"):
        r.pack_columns({}, count=2**62)
    assert r.pack_columns({}, count=3) == bytes([1, 2]) * 3
    # A count field's value is converted once: what is compared is what is packed.
    calls = []

    class Shifty:
        def __index__(self):
            calls.append(1)
            return 2 if len(calls) == 1 else 200

    counted = pw.Recipe([item("n", 8), item("a", 8, count="n")])
    assert counted.pack({"n": Shifty(), "a": [7, 8]}) == bytes([2, 7, 8]) and len(calls) == 1
    # The rows behind a column are made only by unpack_columns.
    rows = pw.Recipe([item("xy", 8, count=2)]).unpack_columns(bytes(4))["xy"]
    with pytest.raises(TypeError, match="made by Recipe.unpack_columns"):
        type(rows.obj)()
