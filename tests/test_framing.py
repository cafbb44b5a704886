"""Framing, Index and reading mixed streams through an index.

One reference model in Python (`model_index`) says what an index of a
buffer holds; the index, split and per-stream columns are held against it,
and against ccsdspy on its bundled sample files where it is installed.
"""

import array
import binascii
import os
import pathlib
import pickle
import random
import struct
import threading
import zlib

import pytest
from hypothesis import given, strategies as st

import packweaver as pw

SANITIZED = os.environ.get("PACKWEAVER_EXPECT_BUILD") is not None


# ---- the reference model ----

def field_of(packet, field):
    offset, bits = field
    first, last = offset // 8, (offset + bits + 7) // 8
    value = int.from_bytes(packet[first:last], "big") >> (8 * last - offset - bits)
    return value & ((1 << bits) - 1)


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


# name: (function, bytes of the value, the catalogue's check value of b"123456789")
CRCS = {
    "CRC-16/CCITT-FALSE": (lambda d: binascii.crc_hqx(d, 0xFFFF), 2, 0x29B1),
    "CRC-16/XMODEM": (lambda d: binascii.crc_hqx(d, 0), 2, 0x31C3),
    "CRC-32": (zlib.crc32, 4, 0xCBF43926),
    "CRC-32C": (crc32c, 4, 0xE3069283),
}


def model_index(buf, length, adjust, key=None, sequence=None, crc=None, header=6):
    """(offsets, lengths, keys, sequences, faults, tail, streams) as an index should hold them."""
    offsets, lengths, keys, seqs, faults, streams, last = [], [], [], [], [], {}, {}
    pos = 0
    while len(buf) - pos >= header:
        size = field_of(buf[pos:], length) + adjust
        assert size >= header, "the model is not for broken framings"
        if size > len(buf) - pos:
            break
        packet = buf[pos:pos + size]
        n = len(offsets)
        k = field_of(packet, key) if key else 0
        offsets.append(pos)
        lengths.append(size)
        s = streams.setdefault(k, dict(packets=0, gaps=0, missing=0, repeats=0, wraps=0, check_failures=0))
        if key:
            keys.append(k)
        if sequence:
            q = field_of(packet, sequence)
            seqs.append(q)
            modulus = 1 << sequence[1]
            if k in last:
                if q == last[k]:
                    s["repeats"] += 1
                    faults.append((n, pos, k, "repeat", 0))
                else:
                    if q < last[k]:
                        s["wraps"] += 1
                    missing = (q - last[k] - 1) % modulus
                    if missing:
                        s["gaps"] += 1
                        s["missing"] += missing
                        faults.append((n, pos, k, "gap", missing))
            last[k] = q
        s["packets"] += 1
        if crc:
            compute, width, _ = CRCS[crc]
            if size < width or compute(packet[:-width]) != int.from_bytes(packet[-width:], "big"):
                s["check_failures"] += 1
                faults.append((n, pos, k, "check", 0))
        pos += size
    return offsets, lengths, keys, seqs, faults, len(buf) - pos, streams


def space_packet(apid, count, data, crc=None):
    body = data + (b"\0\0" if crc else b"")
    header = struct.pack(">HHH", 0x0800 | apid, 0xC000 | count, len(body) - 1)
    if crc:
        compute, width, _ = CRCS[crc]
        return header + data + compute(header + data).to_bytes(width, "big")
    return header + body


def mixed_stream(rng, packets, apids=(3, 17, 2047), sizes=(1, 40), crc=None, damage=0.0):
    counts = {a: rng.randrange(1 << 14) for a in apids}
    out = []
    for _ in range(packets):
        apid = rng.choice(apids)
        # Mostly in order; now and then a count skipped or repeated.
        step = rng.choices([1, 0, 3], [0.9, 0.05, 0.05])[0]
        counts[apid] = (counts[apid] + step) % (1 << 14)
        data = bytes(rng.randrange(256) for _ in range(rng.randint(*sizes)))
        packet = bytearray(space_packet(apid, counts[apid], data, crc))
        if damage and rng.random() < damage:
            packet[-1] ^= 0x40
        out.append(bytes(packet))
    return b"".join(out)


def check_against_model(framing, buf, **model):
    index = framing.index(buf)
    offsets, lengths, keys, seqs, faults, tail, streams = model_index(buf, **model)
    assert len(index) == len(offsets)
    assert index.offsets == array.array("Q", offsets) and index.lengths == array.array("Q", lengths)
    if model.get("key"):
        assert index.keys == array.array("I", keys)
    else:
        assert index.keys is None
    if model.get("sequence"):
        assert index.sequences == array.array("I", seqs)
    assert index.faults == faults
    assert index.tail == tail and index.end == len(buf) - tail
    assert index.streams == streams
    return index


CCSDS_MODEL = dict(length=(32, 16), adjust=7, key=(5, 11), sequence=(18, 14))


# ---- framing descriptions ----

def test_ccsds_preset_and_pickling():
    assert pw.CCSDS == pw.Framing(length=(32, 16), length_adjust=7, key=(5, 11), sequence=(18, 14))
    assert (pw.CCSDS.length, pw.CCSDS.length_adjust, pw.CCSDS.key, pw.CCSDS.sequence) == ((32, 16), 7, (5, 11), (18, 14))
    assert pw.CCSDS.header_bits == 48 and pw.CCSDS.crc is None
    framing = pw.Framing(length=(0, 16), length_adjust=4, crc="crc-32c", header_bits=32)
    assert framing.crc == "CRC-32C"
    for f in (pw.CCSDS, framing):
        assert pickle.loads(pickle.dumps(f)) == f
        assert eval(repr(f), {"Framing": pw.Framing}) == f
    assert framing != pw.CCSDS


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(length_adjust=7), TypeError, "needs length"),
        (dict(length=(32, 16)), TypeError, "needs length"),
        (dict(length=32, length_adjust=7), TypeError, "pair"),
        (dict(length=(32, 16, 1), length_adjust=7), TypeError, "pair"),
        (dict(length=(32, 33), length_adjust=7), ValueError, "1 to 32 bits"),
        (dict(length=(32, 0), length_adjust=7), ValueError, "1 to 32 bits"),
        (dict(length=(-1, 8), length_adjust=7), (ValueError, OverflowError, TypeError), None),
        (dict(length=(32, 16), length_adjust=7, header_bits=40), ValueError, "outside the 5-byte header"),
        (dict(length=(32, 16), length_adjust=7, header_bits=50), ValueError, "multiple of 8"),
        (dict(length=(32, 16), length_adjust=7, header_bits=0), ValueError, "multiple of 8"),
        (dict(length=(32, 16), length_adjust=7, crc="CRC-8"), ValueError, "CRC-16/CCITT-FALSE"),
        (dict(length=(32, 16), length_adjust=7, crc=16), TypeError, "crc must be a str"),
        (dict(length=(32, 16), length_adjust=2**63), (OverflowError, ValueError), None),
        (dict(length=(32, 16), length_adjust="7"), TypeError, "length_adjust"),
    ],
)
def test_framing_refuses(kwargs, error, text):
    with pytest.raises(error, match=text):
        pw.Framing(**kwargs)


def test_index_is_made_only_by_a_framing():
    with pytest.raises(TypeError):
        pw.Index()


# ---- indexing ----

@pytest.mark.parametrize("crc", [None, *CRCS])
def test_index_matches_the_model(crc):
    rng = random.Random(crc)
    buf = mixed_stream(rng, 400, crc=crc, damage=0.05 if crc else 0) + b"\x08\x03\xc0"  # and a tail
    framing = pw.Framing(length=(32, 16), length_adjust=7, key=(5, 11), sequence=(18, 14), crc=crc)
    index = check_against_model(framing, buf, crc=crc, **CCSDS_MODEL)
    if crc:
        assert any(f[3] == "check" for f in index.faults)


@pytest.mark.parametrize("crc", list(CRCS))
def test_crc_check_values(crc):
    compute, width, check = CRCS[crc]
    assert compute(b"123456789") == check  # the reference model itself
    # A packet of the framing whose check covers b"123456789" passes, and fails with one bit changed.
    framing = pw.Framing(length=(0, 8), length_adjust=0, crc=crc, header_bits=8)
    body = bytes([10 + width]) + b"123456789"[1:]
    for good in (True, False):
        packet = body + (compute(body) ^ (0 if good else 1)).to_bytes(width, "big")
        packet = bytes([len(packet)]) + packet[1:]
        packet = packet[:-width] + compute(packet[:-width]).to_bytes(width, "big")
        if not good:
            packet = packet[:-1] + bytes([packet[-1] ^ 1])
        index = framing.index(packet)
        assert len(index) == 1 and index.streams[0]["check_failures"] == (0 if good else 1)


@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 15), st.binary(min_size=0, max_size=9)), max_size=40),
       st.binary(max_size=3))
def test_index_of_any_stream_of_a_small_framing(packets, tail):
    # A 1-byte header: 2-bit key, 4-bit sequence, 2 bits unused; then a length byte.
    framing = pw.Framing(length=(8, 8), length_adjust=2, key=(0, 2), sequence=(2, 4))
    buf = b"".join(bytes([k << 6 | s << 2, len(d)]) + d for k, s, d in packets)
    buf += tail[:1]  # shorter than a header: never a packet
    check_against_model(framing, buf, length=(8, 8), adjust=2, key=(0, 2), sequence=(2, 4), header=2)


def test_sequence_wraps_gaps_and_repeats():
    counts = [16382, 16383, 0, 1, 1, 5, 16383, 2]
    buf = b"".join(space_packet(9, c, b"x") for c in counts)
    index = pw.CCSDS.index(buf)
    assert index.streams[9] == dict(packets=8, gaps=3, missing=3 + 16377 + 2, repeats=1, wraps=2, check_failures=0)
    assert [(f[0], f[3], f[4]) for f in index.faults] == [(4, "repeat", 0), (5, "gap", 3), (6, "gap", 16377), (7, "gap", 2)]


@pytest.mark.parametrize(
    "buf, packets, tail",
    [
        (b"", 0, 0),
        (b"\x08\x01\xc0", 0, 3),  # shorter than one header
        (space_packet(1, 0, b"ab")[:-1], 0, 7),  # a length that runs past the end
        (space_packet(1, 0, b"ab") + b"\x08\x01\xc0\x01\xff\xff", 1, 6),  # the largest length, past the end
        (space_packet(1, 0, b"ab") * 3, 3, 0),
    ],
)
def test_edges_of_a_buffer(buf, packets, tail):
    index = pw.CCSDS.index(buf)
    assert (len(index), index.tail) == (packets, tail)
    assert pw.CCSDS.split(buf) == ({1: buf[: len(buf) - tail]} if packets else {})


def test_lengths_near_the_maximum():
    data = bytes(65536)
    buf = space_packet(7, 0, data) + space_packet(7, 1, b"z")
    index = pw.CCSDS.index(buf)
    assert list(index.lengths) == [65542, 7] and index.tail == 0
    wide = pw.Framing(length=(0, 32), length_adjust=2**40, header_bits=32)
    assert wide.index(b"\xff\xff\xff\xff" * 4).tail == 16
    reach = pw.Framing(length=(0, 32), length_adjust=-(2**63), header_bits=32)
    with pytest.raises(ValueError, match="less than the 4-byte header"):
        reach.index(b"\xff\xff\xff\xff")


def test_a_length_shorter_than_the_header_is_located():
    framing = pw.Framing(length=(8, 8), length_adjust=0, header_bits=16)
    buf = bytes([0, 4, 1, 2]) + bytes([0, 3, 9])
    with pytest.raises(ValueError, match=r"packet 1 at byte 4: its length field gives 1 byte, less than the 2-byte header") as e:
        pw.Framing(length=(8, 8), length_adjust=-1, header_bits=16).index(bytes([0, 5, 1, 2]) + bytes([0, 2, 9]))
    assert e.value is not None
    assert len(framing.index(buf)) == 2


def test_many_tiny_packets():
    n = 10**5 if SANITIZED else 10**7
    buf = space_packet(5, 0, b"\x00") * n
    index = pw.CCSDS.index(buf)
    assert len(index) == n and index.tail == 0
    assert index.streams[5]["repeats"] == n - 1


def test_buffers_of_every_kind():
    buf = mixed_stream(random.Random(1), 50)
    want = pw.CCSDS.index(buf).offsets
    np = pytest.importorskip("numpy")
    import mmap
    with mmap.mmap(-1, len(buf)) as m:
        m.write(buf)
        for b in (bytearray(buf), memoryview(buf), np.frombuffer(buf, dtype=np.uint8), m):
            assert pw.CCSDS.index(b).offsets == want
    assert np.asarray(pw.CCSDS.index(buf).offsets).dtype == np.uint64
    with pytest.raises(BufferError):
        pw.CCSDS.index(memoryview(buf)[::2])


def test_a_buffer_cannot_change_size_while_it_is_read():
    buf = bytearray(space_packet(1, 0, bytes(100)) * 20000)
    refused, stop = [], threading.Event()

    def shrink():
        while not stop.is_set():
            try:
                buf.append(0)
                del buf[-1]
            except BufferError:
                refused.append(1)

    thread = threading.Thread(target=shrink)
    thread.start()
    try:
        for _ in range(20):
            assert len(pw.CCSDS.index(buf)) == 20000
    finally:
        stop.set()
        thread.join()
    recipe = pw.Recipe([dict(name="n", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False)])
    it = recipe.iter_unpack(buf, pw.CCSDS.index(buf))
    with pytest.raises(BufferError):
        buf.append(0)
    del it


# ---- selecting and splitting ----

def test_select_and_split_follow_the_model():
    buf = mixed_stream(random.Random(7), 300)
    index = pw.CCSDS.index(buf)
    split = pw.CCSDS.split(buf)
    assert sorted(split) == sorted(index.streams)
    for key in index.streams:
        sub = index.select(key)
        assert list(sub.keys) == [key] * len(sub)
        assert b"".join(buf[o:o + n] for o, n in zip(sub.offsets, sub.lengths)) == split[key]
        assert sub.streams == {key: index.streams[key]}
        # Faults renumbered within the stream.
        assert [(f[1], f[3]) for f in sub.faults] == [(f[1], f[3]) for f in index.faults if f[2] == key]
        assert all(sub.offsets[f[0]] == f[1] for f in sub.faults)
    assert len(index.select(1000)) == 0 and len(index.select(2**40)) == 0


# ---- reading through an index ----

def raw(columns):
    """Columns (or one packet's values) compared by their bits: NaN equals itself."""
    return {k: v.tobytes() if isinstance(v, array.array) else struct.pack(">d", v) if isinstance(v, float) else v
            for k, v in columns.items()}


def item(name, bits, offset=None, encoding="unsigned", order="big"):
    d = dict(name=name, encoding=encoding, bits=bits, byte_order=order, reverse_bits=False)
    if offset is not None:
        d["offset_bits"] = offset
    return d


HOUSEKEEPING = [item("apid", 11, 5), item("count", 14, 18), item("flag", 3, 48), item("temp", 13, 51, "twos_complement"),
                item("volts", 32, 64, "ieee754_f32"), item("word", 16, 96, order="little")]


@pytest.mark.parametrize("exact", [False, True])
def test_columns_through_an_index_equal_columns_of_the_split_stream(exact):
    rng = random.Random(3)
    recipe = pw.Recipe(HOUSEKEEPING, bit_exact=exact)
    # Packets of one kind, 14 bytes; another kind of other lengths mixed in.
    kind = [space_packet(100, k, bytes(rng.randrange(256) for _ in range(8))) for k in range(500)]
    other = [space_packet(200, k, bytes(rng.randrange(5, 90))) for k in range(500)]
    buf = b"".join(p for pair in zip(kind, other) for p in pair)
    index = pw.CCSDS.index(buf)
    want = raw(recipe.unpack_columns(b"".join(kind), 14))
    assert raw(recipe.unpack_columns(buf, index.select(100))) == want
    assert {k: raw(v) for k, v in pw.CCSDS.read(buf, {100: recipe}).items()} == {100: want}
    assert [raw(d) for d in recipe.iter_unpack(buf, index.select(100))] == [
        raw(d) for d in recipe.iter_unpack(b"".join(kind), 14)]
    # A key not asked for is skipped; one not present gives empty columns.
    got = pw.CCSDS.read(buf, {100: recipe, 5: recipe})
    assert raw(got[100]) == want and all(len(c) == 0 for c in got[5].values())


def test_text_fields_through_an_index():
    recipe = pw.Recipe([item("apid", 11, 5), dict(item("name", 32, 48), encoding="us_ascii")], bit_exact=True)
    buf = space_packet(1, 0, b"abcd") + space_packet(2, 0, b"xyzw!") + space_packet(1, 1, b"efgh")
    assert pw.CCSDS.read(buf, {1: recipe})[1] == {"apid": array.array("H", [1, 1]), "name": ["abcd", "efgh"]}


def corrupt_stream():
    """Ten packets of key 4; packet 6 is cut short (its length says 1 byte of data)."""
    packets = [space_packet(4, k, bytes([k]) * 8) for k in range(10)]
    packets[6] = space_packet(4, 6, b"\x06")
    return b"".join(packets)


def test_a_corrupt_packet_raises_where_it_is():
    buf = corrupt_stream()
    recipe = pw.Recipe(HOUSEKEEPING, bit_exact=True)
    index = pw.CCSDS.index(buf)
    for call in (lambda: recipe.unpack_columns(buf, index), lambda: list(recipe.iter_unpack(buf, index))):
        with pytest.raises(ValueError, match=r"Packet too short for parameter 'temp': needs 8 bytes, packet has 7") as e:
            call()
        assert e.value.__notes__ == ["at packet 6 (byte 84 of the buffer), field 'temp' (item 3)"]


def test_a_corrupt_packet_is_masked():
    buf = corrupt_stream()
    recipe = pw.Recipe(HOUSEKEEPING + [dict(item("text", 16, 48), encoding="us_ascii")], bit_exact=True)
    columns, valid, faults = recipe.unpack_columns(buf, pw.CCSDS.index(buf), errors="mask")
    assert list(valid["apid"]) == [1] * 10 and list(valid["flag"]) == [1] * 10
    for name in ("temp", "volts", "word", "text"):
        assert list(valid[name]) == [1] * 6 + [0] + [1] * 3
    assert (columns["temp"][6], columns["volts"][6], columns["word"][6], columns["text"][6]) == (0, 0, 0, "")
    assert list(columns["word"]) == [k * 257 for k in range(6)] + [0] + [k * 257 for k in range(7, 10)]
    assert faults["count"] == 4
    assert faults["first"][0] == (
        "packet 6 (byte 84), field 'temp' (item 3): Packet too short for parameter 'temp': needs 8 bytes, packet has 7")
    assert pw.CCSDS.read(buf, {4: recipe}, errors="mask")[4][2] == faults


def test_masked_faults_are_counted_beyond_those_described():
    packets = [space_packet(4, k, b"\x01" if k % 2 else bytes(8)) for k in range(100)]
    buf = b"".join(packets)
    recipe = pw.Recipe(HOUSEKEEPING, bit_exact=True)
    _, valid, faults = recipe.unpack_columns(buf, pw.CCSDS.index(buf), errors="mask")
    assert faults["count"] == 150 and len(faults["first"]) == 10
    assert faults["first"][0].startswith("packet 1 (byte 14), field 'temp'")
    assert sum(valid["word"]) == 50


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda r, b, i: r.unpack_columns(b[:-1], i), ValueError, "the index covers"),
        (lambda r, b, i: r.unpack_columns(b, i, errors="ignore"), ValueError, "errors must be"),
        (lambda r, b, i: pw.CCSDS.read(b, [r]), TypeError, "mapping"),
        (lambda r, b, i: pw.CCSDS.read(b, {1: "recipe"}), TypeError, "expected a Recipe"),
        (lambda r, b, i: pw.CCSDS.read(b, {-1: r}), ValueError, "keys must be"),
        (lambda r, b, i: pw.CCSDS.read(b, {"a": r}), TypeError, None),
    ],
)
def test_reading_refuses(call, error, text):
    buf = corrupt_stream()
    recipe = pw.Recipe(HOUSEKEEPING, bit_exact=True)
    with pytest.raises(error, match=text):
        call(recipe, buf, pw.CCSDS.index(buf))


# ---- against ccsdspy on its sample files ----

def ccsdspy_data():
    ccsdspy = pytest.importorskip("ccsdspy")
    return ccsdspy, pathlib.Path(ccsdspy.__file__).parent / "tests" / "data"


def test_split_equals_ccsdspy_on_its_mixed_sample():
    ccsdspy, data = ccsdspy_data()
    from ccsdspy.utils import split_by_apid
    mixed = (data / "split" / "CYGNSS_F7_L0_2022_086_10_15_V01_F__first101pkts.tlm").read_bytes()
    want = {apid: stream.read() for apid, stream in split_by_apid(data / "split" / "CYGNSS_F7_L0_2022_086_10_15_V01_F__first101pkts.tlm").items()}
    assert pw.CCSDS.split(mixed) == want
    for apid, stream in want.items():
        single = data / "split" / f"apid{apid:05d}.tlm"
        if single.exists():
            assert single.read_bytes() == stream


def test_split_equals_ccsdspy_on_its_housekeeping_samples_shuffled():
    ccsdspy, data = ccsdspy_data()
    from io import BytesIO

    from ccsdspy.utils import split_by_apid
    packets = []
    for path in sorted((data / "hs").glob("apid*/*.tlm")):
        stream = path.read_bytes()
        index = pw.CCSDS.index(stream)
        assert index.tail == 0 and len(index.streams) == 1
        packets += [stream[o:o + n] for o, n in zip(index.offsets, index.lengths)]
    random.Random(0).shuffle(packets)
    mixed = b"".join(packets)
    want = {apid: s.read() for apid, s in split_by_apid(BytesIO(mixed)).items()}
    assert pw.CCSDS.split(mixed) == want


@pytest.mark.parametrize(
    "call, text, note",
    [
        (lambda r: r.pack([1, 99]), "Value 99 is too large for 4 bits", "at field 'b' (item 1)"),
        (lambda r: r.pack({"a": 1}), "missing required field: 'value'", "at field 'b' (item 1)"),
        (lambda r: r.pack_into(bytearray(1), 0, [1, "x"]), "cannot be interpreted as an integer", "at field 'b' (item 1)"),
        (lambda r: r.unpack(b""), "Packet too short for parameter 'a'", "at field 'a' (item 0)"),
    ],
)
def test_one_packet_failures_name_the_field(call, text, note):
    recipe = pw.Recipe([item("a", 4), item("b", 4)])
    with pytest.raises(ValueError, match=text) as e:
        call(recipe)
    assert e.value.__notes__ == [note]
