"""Recipe.from_csv against ccsdspy's own reading of its bundled definitions and data."""

import io
import logging
import pathlib

import numpy as np
import pytest

import packweaver as pw

ccsdspy = pytest.importorskip("ccsdspy")
# ccsdspy's own warnings (its NumPy dtype assignments, its sequence count notice) are not ours.
pytestmark = [pytest.mark.filterwarnings("ignore::DeprecationWarning:ccsdspy"),
              pytest.mark.filterwarnings("ignore:Sequence count are out of order")]
logging.getLogger("ccsdspy").setLevel(logging.ERROR)
DATA = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data"
HS = sorted(p.parent for p in (DATA / "hs").glob("apid*/defs.csv")) if DATA.is_dir() else []
needs_data = pytest.mark.skipif(not HS, reason="ccsdspy's sample data is not installed")


@needs_data
@pytest.mark.parametrize("folder", HS, ids=lambda p: p.name)
def test_housekeeping_definitions_read_as_ccsdspy_reads_them(folder):
    (path,) = folder.glob("*.tlm")
    data = path.read_bytes()
    want = ccsdspy.FixedLength.from_file(folder / "defs.csv").load(path, include_primary_header=True)
    r = pw.Recipe.from_csv(folder / "defs.csv")
    got = r.unpack_columns(data, pw.CCSDS.index(data))
    assert set(got) == set(want)
    for name, column in got.items():
        if isinstance(column, list):  # text: ccsdspy gives the bytes, without trailing zeros
            assert [v.encode("latin-1").rstrip(b"\0") for v in column] == list(want[name]), name
        else:
            assert np.array_equal(np.asarray(column), want[name], equal_nan=True), name
    # Written back from the columns, the packets read back the same.
    again = r.pack_columns(got)
    assert r.unpack_columns(again).keys() == got.keys()
    for name, column in r.unpack_columns(again).items():
        assert np.array_equal(np.asarray(column), np.asarray(got[name]), equal_nan=True) if not isinstance(
            column, list) else column == got[name]


def fields_of(packet):
    return [(f._name, f._bit_length, f._bit_offset) for f in packet._fields if f._data_type != "fill"]


@needs_data
@pytest.mark.parametrize("name", ["basic_csv_3col", "extended_csv_4col"])
def test_packet_definitions_give_ccsdspy_positions(name):
    path = DATA / "packet_def" / f"{name}.csv"
    r = pw.Recipe.from_csv(path, primary_header=False)
    theirs = fields_of(ccsdspy.FixedLength.from_file(path))
    ours = [(i["name"], i["bits"], i.get("offset_bits")) for i in r.__reduce__()[1][1][0]]
    assert [n for n, _, _ in ours] == [n for n, _, _ in theirs]
    assert [b for _, b, _ in ours] == [b for _, b, _ in theirs]
    # Without bit_offset the fields follow one another; a fill row holds its bits.
    if name == "basic_csv_3col":
        assert [o for _, _, o in ours] == [0, 32, 52, 56]
    else:
        assert [o for _, _, o in ours] == [o for _, _, o in theirs]


@needs_data
@pytest.mark.parametrize("name, count", [("extended_csv_4col_with_array", 4), ("basic_csv_3col_with_expand", "rest"),
                                         ("basic_csv_3col_with_reference", "OPMODE")])
def test_array_definitions_give_ccsdspy_shapes(name, count):
    path = DATA / "packet_def" / f"{name}.csv"
    kind = ccsdspy.FixedLength if isinstance(count, int) else ccsdspy.VariableLength
    theirs = kind.from_file(path)._fields
    ours = pw.Recipe.from_csv(path, primary_header=False).__reduce__()[1][1][0]
    assert [(i["name"], i["bits"]) for i in ours] == [(f._name, f._bit_length) for f in theirs
                                                     if f._data_type != "fill"]
    shapes = {f._name: f._array_shape for f in theirs if isinstance(f, ccsdspy.PacketArray)}
    (array_name,) = shapes
    (entry,) = [i for i in ours if "count" in i]
    assert entry["name"] == array_name and entry["count"] == count
    assert shapes[array_name] == ("expand" if count == "rest" else count if isinstance(count, str) else (count,))


@needs_data
def test_arrays_of_more_than_one_dimension_are_refused_for_now():
    with pytest.raises(ValueError, match=r"definition row 5 \('VOLTAGE'\): array shapes of more than one dimension"):
        pw.Recipe.from_csv(DATA / "packet_def" / "basic_csv_3col_with_array.csv")


@pytest.mark.parametrize("table, kwargs, expected", [
    ("name,data_type,bit_length\na,uint,4\nb,int,12\nc,float,32\nd,str,16\n", {"primary_header": False},
     [("a", "unsigned", 4, 0), ("b", "twos_complement", 12, 4), ("c", "ieee754_f32", 32, 16),
      ("d", "iso-8859-1", 16, 48)]),
    ("name, data_type, bit_length, bit_offset, byte_order, calibration\n"
     "t, uint, 32, 48, 2143, {}\nh, float, 16, 80, little,\n", {},
     [("t", "unsigned", 32, 48), ("h", "ieee754_f16", 16, 80)]),
    ("name,data_type,bit_length\n\ns,fill,5\nx,uint,3\n", {}, [("x", "unsigned", 3, 53)]),
    ("name,data_type,bit_length\nn,uint,8\nv,uint(n),12\nw,int(2),4\nt,uint,16\n", {"primary_header": False},
     [("n", "unsigned", 8, 0, None), ("v", "unsigned", 12, 8, "n"), ("w", "twos_complement", 4, None, 2),
      ("t", "unsigned", 16, None, None)]),
    ("name,data_type,bit_length,bit_offset\nv,float(expand),32,\nt,uint,16,\n", {"primary_header": False},
     [("v", "ieee754_f32", 32, 0, "rest"), ("t", "unsigned", 16, None, None)]),
    ("name,data_type,bit_length\nv,uint(3),8\nt,uint,16\n", {"primary_header": False},
     [("v", "unsigned", 8, 0, 3), ("t", "unsigned", 16, 24, None)]),
])
def test_tables(table, kwargs, expected):
    r = pw.Recipe.from_csv(io.StringIO(table), **kwargs)
    items = r.__reduce__()[1][1][0]
    body = [(i["name"], i["encoding"], i["bits"], i.get("offset_bits")) + (("count" in i or len(e) == 5) * (
        i.get("count"),)) for i, e in zip([i for i in items if not i["name"].startswith("CCSDS")], expected)]
    assert body == expected
    assert len(items) - len(body) == (0 if kwargs.get("primary_header") is False else 7)


@pytest.mark.parametrize("table, error, text", [
    ("", ValueError, "the definition has no header row"),
    ("name,bit_length\na,8\n", ValueError, "names no 'name', 'data_type' or 'bit_length' column"),
    ("name,data_type,bit_length\na,uint,eight\n", ValueError, "definition row 1 ('a'): bit_length 'eight' is not"),
    ("name,data_type,bit_length\na,bool,8\n", ValueError, "unknown data_type 'bool'"),
    ("name,data_type,bit_length\n,uint,8\n", ValueError, "definition row 1: the name is empty"),
    ("name,data_type,bit_length\na,float,24\n", ValueError, "Recipe item 7 ('a'): 'ieee754_f32' fields are 32 bits"),
    ("name,data_type,bit_length,byte_order\na,uint,16,middle\n", ValueError, "Invalid byte_order 'middle'"),
    ("name,data_type,bit_length\nn,uint,8\nv,uint(n),8\ns,fill,4\n", ValueError,
     "definition row 3 ('s'): fill after an array whose length varies is not supported yet"),
    ("name,data_type,bit_length\nv,uint(4,8\n", ValueError, "data_type 'uint(4' is not a type with an array shape"),
    ("name,data_type,bit_length\nv,uint(),8\n", ValueError, "data_type 'uint()' has an empty shape"),
    ("name,data_type,bit_length\nv,uint(m),8\n", ValueError, "no field before this one is named 'm'"),
])
def test_faults(table, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        pw.Recipe.from_csv(io.StringIO(table))


def test_sources():
    with pytest.raises(TypeError, match="argument 'source'"):
        pw.Recipe.from_csv(42)
    with pytest.raises(FileNotFoundError):
        pw.Recipe.from_csv("/no/such/definition.csv")
    with pytest.raises(TypeError, match="takes 1 positional argument"):
        pw.Recipe.from_csv(io.StringIO("name,data_type,bit_length\n"), False)
