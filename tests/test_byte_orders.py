"""Byte orders as digit strings ("2143", "3412", "78563412", ...) in exact recipes, against ccsdspy."""

import csv
import io
import pathlib
import struct

import numpy as np
import pytest

import packweaver as pw

ccsdspy = pytest.importorskip("ccsdspy")
# ccsdspy's own warnings (its NumPy dtype assignments, its sequence count notice) are not ours.
pytestmark = [pytest.mark.filterwarnings("ignore::DeprecationWarning:ccsdspy"),
              pytest.mark.filterwarnings("ignore:Sequence count are out of order")]
SAMPLES = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data" / "byte_order"
ORDERS = sorted(p.stem.split("_")[1] for p in SAMPLES.glob("byteorder_*.bin")) if SAMPLES.is_dir() else []


@pytest.mark.skipif(not ORDERS, reason="ccsdspy's byte order samples are not installed")
@pytest.mark.parametrize("order", ORDERS)
def test_bundled_samples(order):
    """Each sample: packets of one header and unsigned values in one byte order; the CSV holds the values."""
    data = (SAMPLES / f"byteorder_{order}.bin").read_bytes()
    rows = [[int(v) for v in row] for row in csv.reader((SAMPLES / f"byteorder_{order}.csv").open())]
    per_packet, n = len(rows[0]), len(order)
    packet_size = 6 + per_packet * n
    assert len(data) == packet_size * len(rows)
    r = pw.Recipe([{"name": f"v{k}", "encoding": "unsigned", "bits": 8 * n, "byte_order": order,
                    **({"offset_bits": 48} if k == 0 else {})} for k in range(per_packet)])
    columns = r.unpack_columns(data, packet_size)
    assert [[columns[f"v{k}"][p] for k in range(per_packet)] for p in range(len(rows))] == rows
    assert [list(d.values()) for d in r.iter_unpack(data, packet_size)] == rows
    # Back into packets: every value's bytes where they came from (the headers stay as they were).
    again = bytearray(len(data))
    for p in range(len(rows)):
        again[p * packet_size:p * packet_size + 6] = data[p * packet_size:p * packet_size + 6]
    r.pack_columns_into(again, columns)
    assert again == data and r.size == packet_size
    for p, row in enumerate(rows):
        packet = bytearray(data[p * packet_size:(p + 1) * packet_size])
        r.pack_into(packet, 0, row)
        assert packet == data[p * packet_size:(p + 1) * packet_size]


def ccsdspy_read(fields, body):
    packet = struct.pack(">HHH", 0x0800 | 5, 0xC000, len(body) - 1) + body
    return ccsdspy.FixedLength(fields).load(io.BytesIO(packet))


@pytest.mark.parametrize("order", ["21", "312", "2143", "3412", "2341", "4123", "563412", "78563412", "21436587"])
@pytest.mark.parametrize("kind", ["uint", "int", "float"])
def test_against_ccsdspy(order, kind):
    n = len(order)
    if kind == "float" and n not in (4, 8):
        pytest.skip("binary32 and binary64 only")
    if kind == "int" and n not in (2, 4, 8):
        pytest.skip("ccsdspy leaves signed fields of 3 or 6 bytes in these orders without their sign")
    rng = np.random.default_rng(int(order))
    body = rng.integers(0, 256, 4 * n, dtype=np.uint8).tobytes()
    if kind == "float":  # keep clear of NaNs, which compare unequal
        body = bytes(b if i % n != order.index("1") else 0x3F for i, b in enumerate(body))
    fields = [ccsdspy.PacketField(name=f"f{k}", data_type=kind, bit_length=8 * n, byte_order=order) for k in range(4)]
    want = ccsdspy_read(fields, body)
    encoding = {"uint": "unsigned", "int": "twos_complement", "float": f"ieee754_f{8 * n}"}[kind]
    r = pw.Recipe([{"name": f"f{k}", "encoding": encoding, "bits": 8 * n, "byte_order": order} for k in range(4)])
    got = r.unpack(body)
    assert [got[f"f{k}"] for k in range(4)] == [want[f"f{k}"][0] for k in range(4)]
    assert r.pack(got) == body
    assert r.pack_columns(r.unpack_columns(body * 3)) == body * 3


@pytest.mark.parametrize("item, text", [
    ({"bits": 24, "byte_order": "2143"}, "the byte order '2143' orders 4 bytes, the field has 24 bits"),
    ({"bits": 32, "byte_order": "2144"}, "the byte order '2144' is not an order of the digits 1 to 4"),
    ({"bits": 32, "byte_order": "2153"}, "not an order of the digits 1 to 4"),
    ({"bits": 72, "byte_order": "987654321"}, "orders 9 bytes"),
    ({"bits": 16, "byte_order": "21", "encoding": "utf16be"}, "applies to numeric fields, not text"),
])
def test_refused_orders(item, text):
    with pytest.raises(ValueError, match=text):
        pw.Recipe([dict({"name": "p", "encoding": "unsigned"}, **item)])


def test_plain_orders_and_the_module_functions_contract():
    base = [{"name": "p", "encoding": "unsigned", "bits": 32}]
    for digits, word in (("1234", "big"), ("4321", "little")):
        assert pw.Recipe([dict(base[0], byte_order=digits)]).unpack(b"\x11\x22\x33\x44") == \
            pw.Recipe([dict(base[0], byte_order=word)]).unpack(b"\x11\x22\x33\x44")
    # A recipe made with bit_exact=False knows big and little only, as the module functions do.
    loose = pw.Recipe([dict(base[0], byte_order="2143", reverse_bits=False)], bit_exact=False)
    with pytest.raises(ValueError, match="Invalid byte_order '2143'"):
        loose.unpack(b"\x11\x22\x33\x44")
