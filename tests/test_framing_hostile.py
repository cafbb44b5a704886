"""Framing, Index and Framing.read under code that runs in the middle of a call.

Hooks (__index__ of a key, items() of a mapping, gc.callbacks with threshold 1,
a thread walking the collector's objects while the lock is free) drop, edit or
look at what the call works on. Cases that may crash run in a child process
with the debugging allocator, which fills freed memory, so that reading an
object after it is freed fails there and not by chance.
"""
import gc
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

import packweaver as pw
from test_framing import model_index

HERE = pathlib.Path(pw.__file__).resolve()
ROOT = HERE.parent.parent if HERE.name.startswith("__init__.") else HERE.parent

PRELUDE = '''
import array, gc, struct, threading
import packweaver as pw

def sp(apid, count, data):
    return struct.pack(">HHH", 0x0800 | apid, 0xC000 | count, len(data) - 1) + data

def it(name, bits, offset, enc="unsigned"):
    return dict(name=name, encoding=enc, bits=bits, byte_order="big", reverse_bits=False, offset_bits=offset)

def fresh_recipe():
    return pw.Recipe([it("x", 8, 48)])

buf = b"".join(sp(1 + k % 3, k, bytes([k % 256]) * (1 + k % 13)) for k in range(300))
'''


def child(code, timeout=300):
    """The stripped output of the code run in a new interpreter, which must exit cleanly."""
    env = dict(os.environ, PYTHONMALLOC="debug")
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(ROOT), env.get("PYTHONPATH", "")] if p)
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert done.returncode == 0, f"child exit {done.returncode}\n{done.stdout[-2000:]}\n{done.stderr[-3000:]}"
    return done.stdout.strip()


def sp(apid, count, data):
    return struct.pack(">HHH", 0x0800 | apid, 0xC000 | count, len(data) - 1) + data


def it(name, bits, offset, enc="unsigned"):
    return dict(name=name, encoding=enc, bits=bits, byte_order="big", reverse_bits=False, offset_bits=offset)


BUF = b"".join(sp(1 + k % 3, k * (1 + (k % 7 == 0)), bytes([k % 256]) * (1 + k % 13)) for k in range(300))


# ---- Framing.read and the recipes it is given ----

# The (key, Recipe) pairs come from items(); the only references to the pairs and
# their recipes are in the list it returns, which a hook then empties.
RECIPES_DROPPED = [
    ("key_index_empties_the_pairs", '''
        pairs = []
        class Key:
            def __index__(self):
                pairs.clear()
                return 1
        class Mapping:
            def items(self):
                pairs[:] = [(Key(), fresh_recipe())]
                return pairs
        print(list(pw.CCSDS.read(buf, Mapping())[1]["x"][:3]))
     '''),
    ("collector_empties_the_pairs_between_streams", '''
        pairs = []
        class Mapping:
            def items(self):
                pairs[:] = [(1, fresh_recipe()), (2, fresh_recipe())]
                return pairs
        def drop(phase, info):
            if phase == "start":
                pairs.clear()
        gc.callbacks.append(drop)
        gc.set_threshold(1)
        out = pw.CCSDS.read(buf, Mapping())
        gc.set_threshold(700)
        gc.callbacks.remove(drop)
        print(list(out[1]["x"][:3]))
     '''),
]


@pytest.mark.parametrize("code", [pytest.param(c, id=i) for i, c in RECIPES_DROPPED])
def test_read_holds_the_recipes_it_reads_with(code):
    assert child(code) == "[0, 3, 6]"


# ---- half-made results ----

def junk_into_dicts_like(shape, live):
    """A collector hook: puts a junk entry into every dict of the given shape,
    while live[0] is set (only while the call runs: once it has returned, its
    result is the caller's to change)."""
    def hook(phase, info):
        if phase == "start" and live[0]:
            for o in gc.get_objects():
                if type(o) is dict and o and all(type(k) is int and shape(v) for k, v in o.items()):
                    o[987654321] = "junk"
    return hook


@pytest.mark.parametrize("call, shape", [
    pytest.param(lambda: pw.CCSDS.index(BUF).streams, lambda v: type(v) is dict and "packets" in v, id="streams"),
    pytest.param(lambda: pw.CCSDS.read(BUF, {1: pw.Recipe([it("x", 8, 48)]), 2: pw.Recipe([it("x", 8, 48)])}),
                 lambda v: type(v) is dict and "x" in v, id="read"),
])
def test_results_are_whole_before_python_code_sees_them(call, shape):
    live = [False]
    hook = junk_into_dicts_like(shape, live)
    held = [{} for _ in range(200)]  # new dicts come from the allocator, which counts them for the collector
    gc.callbacks.append(hook)
    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        live[0] = True
        out = call()
        live[0] = False
    finally:
        live[0] = False
        gc.set_threshold(*old)
        gc.callbacks.remove(hook)
    del held
    assert 987654321 not in out


def test_an_edited_index_array_never_changes_what_the_index_reads():
    index = pw.CCSDS.index(BUF)
    recipe = pw.Recipe([it("x", 8, 48)])
    want = recipe.unpack_columns(BUF, index)
    # The arrays are the index's copies, kept for the next look: edits show
    # there, never in what the index reads.
    index.offsets.append(5)
    index.offsets[0] = len(BUF) + 100
    index.lengths[1] = 0
    assert index.offsets is index.offsets and len(index.offsets) == len(index) + 1
    assert recipe.unpack_columns(BUF, index) == want


# ---- cases that hold ----

def test_collector_hooks_reenter_the_index_while_its_arrays_are_made():
    assert child('''
        index = pw.CCSDS.index(buf)
        want = pw.CCSDS.index(buf)
        names = ("offsets", "lengths", "keys", "sequences", "faults", "streams")
        def hook(phase, info):
            if phase == "start":
                gc.callbacks.remove(hook)  # not again from inside itself
                try:
                    [getattr(index, n) for n in names]
                    for o in gc.get_objects():
                        if type(o) in (list, tuple, dict):
                            [type(x) for x in o]
                finally:
                    gc.callbacks.append(hook)
        gc.callbacks.append(hook)
        gc.set_threshold(1)
        got = [getattr(index, n) for n in names] + [index.select(2).offsets]
        r = pw.Recipe([it("apid", 11, 5), it("x", 8, 48), it("b", 8, 48, "packed_bcd")], bit_exact=True)
        masked = r.unpack_columns(buf, index, errors="mask")
        read = pw.CCSDS.read(buf, {1: r, 3: r}, errors="mask")
        gc.set_threshold(700)
        gc.callbacks.remove(hook)
        print(got == [getattr(want, n) for n in names] + [want.select(2).offsets],
              masked == r.unpack_columns(buf, want, errors="mask"),
              read == pw.CCSDS.read(buf, {1: r, 3: r}, errors="mask"))
    ''') == "True True True"


def test_a_thread_walks_the_objects_while_large_buffers_are_read():
    assert child('''
        big = buf * 1000  # several MiB: the lock is let go while the index and columns are made
        r = pw.Recipe([it("apid", 11, 5), it("x", 8, 48), it("b", 8, 48, "packed_bcd")], bit_exact=True)
        def calls():
            index = pw.CCSDS.index(big)
            return (list(index.offsets[-3:]), index.faults[-3:], r.unpack_columns(big, index, errors="mask"),
                    pw.CCSDS.read(big, {1: r, 2: r}, errors="mask"), len(pw.CCSDS.split(big)[3]))
        want = calls()
        stop = threading.Event()
        def walker():
            while not stop.is_set():
                for o in gc.get_objects(0):
                    if (type(o) is list or type(o) is tuple) and o:
                        type(o[0]), type(o[-1])
        thread = threading.Thread(target=walker)
        thread.start()
        try:
            same = [calls() == want for _ in range(3)]
        finally:
            stop.set()
            thread.join()
        print(same)
    ''', timeout=600) == "[True, True, True]"


@pytest.mark.parametrize("offset_bits", [8, 2**20, 2**63, 2**64 - 1])
def test_offsets_past_every_packet_through_an_index(offset_bits):
    index = pw.CCSDS.index(BUF)
    recipe = pw.Recipe([it("a", 11, 5), it("b", 64, 0)], bit_exact=True)
    columns, valid, faults = recipe.unpack_columns(BUF, index, offset_bits, errors="mask")
    fits = {name: [offset_bits + end <= 8 * n for n in index.lengths] for name, end in (("a", 16), ("b", 64))}
    assert {name: list(v) for name, v in valid.items()} == fits
    assert faults["count"] == sum(not ok for v in fits.values() for ok in v)
    assert all(v == 0 for name in fits for v, ok in zip(columns[name], fits[name]) if not ok)
    with pytest.raises(ValueError, match="Packet too short") as e:
        next(recipe.iter_unpack(BUF, index, offset_bits))
    assert e.value.__notes__[0].startswith("at packet 0 (byte 0 of the buffer)")


class Key:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("key, packets", [
    (True, 100), (Key(2), 100), (0, 0), (2**32 - 1, 0), (2**32, 0), (-1, OverflowError), (2**64, OverflowError),
    (1.0, TypeError), ("1", TypeError),
])
def test_select_of_any_key(key, packets):
    index = pw.CCSDS.index(BUF)
    if isinstance(packets, type):
        with pytest.raises(packets):
            index.select(key)
        return
    chosen = index.select(key)
    assert len(chosen) == packets and list(chosen.keys) == [int(key)] * packets


@st.composite
def framings(draw):
    header = draw(st.integers(1, 9))
    def field():
        bits = draw(st.integers(1, min(32, 8 * header)))
        return draw(st.integers(0, 8 * header - bits)), bits
    length = field()
    key = field() if draw(st.booleans()) else None
    sequence = field() if draw(st.booleans()) else None
    crc = draw(st.sampled_from([None, "CRC-16/CCITT-FALSE", "CRC-16/XMODEM", "CRC-32", "CRC-32C"]))
    return dict(length=length, adjust=header + draw(st.integers(-3, 6)), key=key, sequence=sequence, crc=crc,
                header=header)


@given(framings(), st.binary(max_size=400))
def test_index_of_any_bytes_in_any_framing(f, buf):
    framing = pw.Framing(length=f["length"], length_adjust=f["adjust"], key=f["key"], sequence=f["sequence"],
                         crc=f["crc"], header_bits=8 * f["header"])
    try:
        want = model_index(buf, **f)
    except AssertionError:  # a length shorter than the header: the framing is broken there
        with pytest.raises(ValueError, match="less than the"):
            framing.index(buf)
        return
    index = framing.index(buf)
    offsets, lengths, keys, sequences, faults, tail, streams = want
    assert (list(index.offsets), list(index.lengths), index.faults, index.tail, index.streams) == (
        offsets, lengths, faults, tail, streams)
    assert list(index.keys or []) == keys and list(index.sequences or []) == sequences
    # Each stream read through the index, one field masked where a packet is too short for it.
    recipe = pw.Recipe([it("v", 12, 3)], bit_exact=True)
    read = framing.read(buf, {k: recipe for k in streams}, errors="mask")
    for key, (columns, valid, _) in read.items():
        chosen = index.select(key)
        packets = [buf[o:o + n] for o, n in zip(chosen.offsets, chosen.lengths)]
        assert list(valid["v"]) == [len(p) >= 2 for p in packets]
        assert list(columns["v"]) == [int.from_bytes(p[:2], "big") >> 1 & 0xFFF if len(p) >= 2 else 0 for p in packets]
