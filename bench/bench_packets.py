"""Time the packet functions and Recipe against what users would otherwise use.

Frames of 4, 32 and 256 fields (the 32-field telemetry frame: 16 byte-aligned
u8/u16/u32/i16/f32/f64 fields and 16 sub-byte fields of 1 to 12 bits, 62
bytes). Prints ns per packet (or per value) and the ratio ours/theirs: below
1.0 means packweaver is faster.

- pack_parameters / unpack_parameters, packed from and unpacked into a dict,
  against bitstruct's C extension (format string each call, and pre-compiled),
  construct, and a hand-written pure-Python loop over the same list-of-dicts
  recipe.
- Recipe(items, bit_exact=True).unpack / .pack(dict) against
  bitstruct.c.compile(fmt, names).unpack / .pack(dict), which lays the fields
  out at the same bits, and the cost per additional field (4 -> 256 fields).
- Recipe.iter_unpack per packet against Recipe.unpack per packet.
- Recipe.unpack_columns over 20,000 packets against a vectorised numpy program
  (per field: gather the 8 bytes from its first byte as a big-endian uint64
  through a strided view, widen to native uint64, shift, mask, sign-extend or
  reinterpret); on the 16 byte-aligned fields
  alone against numpy's structured dtype (frombuffer plus a copy of each
  field); and, behind a 6-byte CCSDS primary header in a file, against
  ccsdspy's FixedLength.load. ns per value.
- Peak memory of unpack_columns over 10^6 packets (a child process: growth of
  the peak RSS over the call, and tracemalloc's peak) against the size of the
  columns themselves.

Peers take turns in every timing round. Runs are timed by the CPU time of the
benchmark's thread, so that what other processes of a shared machine take is
not counted (--clock wall times elapsed time instead); the Recipe sections
print the median with the fastest and slowest runs in brackets.

    python bench/bench_packets.py [--quick] [--clock cpu|wall] [--only engines|recipe]

Not a test. Needs `pip install bitstruct construct numpy ccsdspy` for the peers
(missing peers are skipped). For pack_parameters / unpack_parameters the peers
follow their own bit layouts; what is compared is the cost of moving the same
fields through the same kinds of values.
"""

from __future__ import annotations

import argparse
import os
import statistics
import struct
import sys
import tempfile
import time
import timeit
import warnings

import packweaver

try:
    import bitstruct
    import bitstruct.c as bitstruct_c
except ImportError:  # pragma: no cover
    bitstruct = bitstruct_c = None
try:
    import construct
except ImportError:  # pragma: no cover
    construct = None
# numpy's BLAS threads are of no use here and would only take cores from the timings.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")
try:
    import numpy as np
except ImportError:  # pragma: no cover
    np = None
try:
    import logging

    logging.disable(logging.INFO)  # ccsdspy greets on import
    import ccsdspy

    logging.getLogger("ccsdspy").setLevel(logging.ERROR)  # and warns of wrapped sequence counts
except ImportError:  # pragma: no cover
    ccsdspy = None
finally:
    logging.disable(logging.NOTSET)

ALIGNED = [("u", 8), ("u", 16), ("u", 32), ("s", 16), ("f", 32), ("f", 64)]
SUB_BYTE = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4]


def best(fn, repeat=5):
    """The shortest of `repeat` timed calls of fn, in seconds (the other benchmarks share it)."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def frame_fields(count: int) -> list[tuple[str, str, int, object]]:
    """(name, kind, bits, value) for a frame of `count` fields."""
    base = []
    for i in range(16):
        kind, bits = ALIGNED[i % len(ALIGNED)]
        value = {"u": (1 << bits) - 1 - i, "s": -1000 - i, "f": 1.5 + i}[kind]
        base.append((kind, bits, value))
    for bits in SUB_BYTE:
        base.append(("u", bits, (1 << bits) - 1))
    fields = []
    for i in range(count):
        kind, bits, value = base[i % len(base)]
        fields.append((f"field{i}", kind, bits, value))
    return fields


ENCODING = {"u": "unsigned", "s": "twos_complement", "f": None}


def recipe_of(fields):
    recipe = []
    for name, kind, bits, value in fields:
        encoding = ENCODING[kind] or ("ieee754_f32" if bits == 32 else "ieee754_f64")
        recipe.append(
            {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, "value": value}
        )
    return recipe


# ---- the pure-Python loop a user would write over the same recipe ----
# It does the job the engines do: every key of every item is honoured
# (position, byte order, bit reversal), with the same layouts.

def _reverse(value, bits):
    return int(format(value, f"0{bits}b")[::-1], 2) if bits else 0


def python_pack(recipe):
    end = 0
    for item in recipe:
        pos = item.get("offset_bits", end)
        end = max(end, pos + item["bits"])
    acc = 0
    total = (end + 7) // 8 * 8
    cursor = 0
    for item in recipe:
        bits = item["bits"]
        value = item["value"]
        encoding = item["encoding"]
        cursor = item.get("offset_bits", cursor)
        if encoding == "unsigned":
            pattern = value
        elif encoding == "twos_complement":
            pattern = value & ((1 << bits) - 1)
        elif encoding == "ieee754_f32":
            pattern = struct.unpack(">I", struct.pack(">f", value))[0]
        else:
            pattern = struct.unpack(">Q", struct.pack(">d", value))[0]
        if item["reverse_bits"]:
            pattern = _reverse(pattern & ((1 << bits) - 1), bits)
        nbytes = (bits + 7) // 8
        if item["byte_order"] == "little":
            pattern = int.from_bytes(pattern.to_bytes(nbytes, "big"), "little")
        pattern &= (1 << bits) - 1
        shift = total - cursor - bits
        acc = (acc & ~(((1 << bits) - 1) << shift)) | (pattern << shift)
        cursor += bits
    return acc.to_bytes(total // 8, "big")


def python_unpack(packet, offset, recipe):
    out = {}
    cursor = offset
    for item in recipe:
        bits = item["bits"]
        pos = offset + item["offset_bits"] if "offset_bits" in item else cursor
        start = pos // 8
        count = (bits + 7) // 8
        if start + count > len(packet):
            raise ValueError(f"Packet too short for parameter '{item['name']}'")
        field = int.from_bytes(packet[start:start + count], item["byte_order"])
        if item["reverse_bits"]:
            field = _reverse(field & ((1 << bits) - 1), bits)
        else:
            field &= (1 << bits) - 1
        encoding = item["encoding"]
        if encoding == "unsigned":
            value = field
        elif encoding == "twos_complement":
            value = field - (1 << bits) if field >> (bits - 1) else field
        elif encoding == "ieee754_f32":
            value = struct.unpack(">f", field.to_bytes(4, "big"))[0]
        else:
            value = struct.unpack(">d", field.to_bytes(8, "big"))[0]
        out[item["name"]] = value
        cursor = pos + bits
    return out


def bitstruct_format(fields):
    return "".join(f"{kind}{bits}" for _, kind, bits, _ in fields)


def construct_groups(fields):
    """Consecutive fields grouped: byte-aligned ones alone, sub-byte runs together."""
    groups = []
    run = []
    for field in fields:
        _, kind, bits, _ = field
        if bits % 8 == 0 and not run:
            groups.append(field)
        else:
            run.append(field)
            if sum(f[2] for f in run) % 8 == 0:
                groups.append(run)
                run = []
    if run:
        groups.append(run)
    return groups


def construct_struct(fields):
    c = construct
    scalar = {("u", 8): c.Int8ub, ("u", 16): c.Int16ub, ("u", 32): c.Int32ub, ("s", 16): c.Int16sb,
              ("f", 32): c.Float32b, ("f", 64): c.Float64b}
    parts = []
    for k, group in enumerate(construct_groups(fields)):
        if isinstance(group, tuple):
            name, kind, bits, _ = group
            parts.append(name / scalar[(kind, bits)])
        else:
            subs = [name / c.BitsInteger(bits, signed=kind == "s") for name, kind, bits, _ in group]
            used = sum(bits for _, _, bits, _ in group)
            if used % 8:
                subs.append("_pad" / c.Padding(8 - used % 8))
            parts.append(f"bits{k}" / c.BitStruct(*subs))
    return c.Struct(*parts)


def construct_data(fields, data):
    out = {}
    for k, group in enumerate(construct_groups(fields)):
        if isinstance(group, tuple):
            out[group[0]] = data[group[0]]
        else:
            out[f"bits{k}"] = {name: data[name] for name, _, _, _ in group}
    return out


# What a run is timed by: the CPU time of the calling thread by default, so
# that the time the other processes of a shared machine take the cores from
# the benchmark is not counted (--clock wall for elapsed time).
CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}
CLOCK = [CLOCKS["cpu"]]


def interleaved_samples(jobs, repeat):
    """ns per call of each job in every round, the jobs taking turns in every round.

    Taking turns keeps a slow spell of the machine from falling on one peer
    only, so the ratios of one run compare like with like.
    """
    samples = {key: [] for key in jobs}
    timers = {key: timeit.Timer(fn, timer=CLOCK[0]) for key, (fn, _) in jobs.items()}
    for _ in range(repeat):
        for key, (_, number) in jobs.items():
            samples[key].append(timers[key].timeit(number) / number * 1e9)
    return samples


def interleaved_best_ns(jobs, repeat):
    """Best time per call of each job, the jobs taking turns in every round."""
    return {key: min(times) for key, times in interleaved_samples(jobs, repeat).items()}


def run(count, number, repeat):
    fields = frame_fields(count)
    recipe = recipe_of(fields)
    names = [f[0] for f in fields]
    data = {f[0]: f[3] for f in fields}
    packet = packweaver.pack_parameters(recipe)
    # The pure-Python loop does the same job: same bytes, same values.
    assert python_pack(recipe) == packet
    assert python_unpack(packet, 0, recipe) == packweaver.unpack_parameters(packet, 0, recipe)
    jobs = {
        ("packweaver", "unpack"): (lambda: packweaver.unpack_parameters(packet, 0, recipe), number),
        ("packweaver", "pack"): (lambda: packweaver.pack_parameters(recipe), number),
    }
    if bitstruct_c is not None:
        fmt = bitstruct_format(fields)
        bpacket = bitstruct_c.pack_dict(fmt, names, data)
        compiled = bitstruct_c.compile(fmt, names)
        jobs[("bitstruct.c", "unpack")] = (lambda: bitstruct_c.unpack_dict(fmt, names, bpacket), number)
        jobs[("bitstruct.c", "pack")] = (lambda: bitstruct_c.pack_dict(fmt, names, data), number)
        jobs[("bitstruct.c compiled", "unpack")] = (lambda: compiled.unpack(bpacket), number)
        jobs[("bitstruct.c compiled", "pack")] = (lambda: compiled.pack(data), number)
    if construct is not None:
        st = construct_struct(fields)
        cdata = construct_data(fields, data)
        cpacket = st.build(cdata)
        slow = max(1, number // 20)
        jobs[("construct", "unpack")] = (lambda: st.parse(cpacket), slow)
        jobs[("construct", "pack")] = (lambda: st.build(cdata), slow)
    loop = max(1, number // 5)
    jobs[("pure Python loop", "unpack")] = (lambda: python_unpack(packet, 0, recipe), loop)
    jobs[("pure Python loop", "pack")] = (lambda: python_pack(recipe), loop)
    samples = interleaved_samples(jobs, repeat)
    rows = {}
    for name, _ in jobs:
        u, p = samples[(name, "unpack")], samples[(name, "pack")]
        rows[name] = (min(u), min(p), statistics.median(u), statistics.median(p))
    return rows


# ---- compiled recipes ----

def stats(times):
    """(median, fastest, slowest) of a list of ns."""
    return statistics.median(times), min(times), max(times)


def show(label, times, per=1, unit="ns"):
    med, lo, hi = stats(times)
    return f"  {label:34} {med / per:11.2f} {unit:<8} [{lo / per:.2f} .. {hi / per:.2f}]"


def ratio_text(ours, theirs):
    """Ratio of the medians, with the ratio of the fastest runs in brackets."""
    return f"{statistics.median(ours) / statistics.median(theirs):6.2f} ({min(ours) / min(theirs):5.2f})"


def compiled_rows(count, number, repeat):
    """Recipe (bit-exact) against bitstruct.c compiled, dict form, on a frame of `count` fields."""
    fields = frame_fields(count)
    recipe = recipe_of(fields)
    names = [f[0] for f in fields]
    data = {f[0]: f[3] for f in fields}
    compiled_recipe = packweaver.Recipe(recipe, bit_exact=True)
    packet = compiled_recipe.pack(data)
    assert compiled_recipe.unpack(packet) == data
    jobs = {
        ("Recipe", "unpack"): (lambda: compiled_recipe.unpack(packet), number),
        ("Recipe", "pack"): (lambda: compiled_recipe.pack(data), number),
    }
    if bitstruct_c is not None:
        compiled = bitstruct_c.compile(bitstruct_format(fields), names)
        # Same layout: bitstruct's big-endian fields sit at the same bits.
        assert compiled.pack(data) == packet
        assert compiled.unpack(packet) == data
        jobs[("bitstruct.c compiled", "unpack")] = (lambda: compiled.unpack(packet), number)
        jobs[("bitstruct.c compiled", "pack")] = (lambda: compiled.pack(data), number)
    return interleaved_samples(jobs, repeat), len(packet)


# ---- a vectorised numpy program doing the column job ----

def field_positions(fields, start=0):
    out = []
    pos = start
    for name, kind, bits, _ in fields:
        out.append((name, kind, bits, pos))
        pos += bits
    return out


NUMPY_TYPE = {("u", 8): "u1", ("u", 16): "u2", ("u", 32): "u4", ("s", 16): "i2", ("f", 32): "f4", ("f", 64): "f8"}


def numpy_dtype_of(kind, bits):
    """The narrowest dtype that holds the field, as unpack_columns chooses it."""
    if kind == "f":
        return np.dtype(NUMPY_TYPE[(kind, bits)])
    for width in (8, 16, 32, 64):
        if bits <= width:
            return np.dtype(("u" if kind == "u" else "i") + str(width // 8))
    raise ValueError(bits)


def numpy_plan(fields, start=0):
    """Per field: its first byte, the right shift and mask of its bits in the
    8 bytes from there, its sign bit and its output dtype."""
    plan = []
    for name, kind, bits, pos in field_positions(fields, start):
        assert pos % 8 + bits <= 64, "a field over nine bytes needs a wider window"
        plan.append((name, kind, bits, pos // 8, np.uint64(64 - pos % 8 - bits), np.uint64((1 << bits) - 1),
                     np.uint64(1 << (bits - 1)), numpy_dtype_of(kind, bits)))
    return plan


def numpy_columns(buffer, stride, plan):
    """Per field: gather the 8 bytes from the field's first byte of every
    packet as big-endian uint64 (an unaligned strided view of the stream,
    padded by 8 bytes for the fields near its end), widened to native uint64
    in one pass, then shift, mask, and sign-extend or reinterpret."""
    count = len(buffer) // stride
    padded = np.zeros(len(buffer) + 8, np.uint8)
    padded[:len(buffer)] = np.frombuffer(buffer, np.uint8)
    out = {}
    for name, kind, bits, first, shift, mask, sign, dtype in plan:
        v = np.ndarray((count,), ">u8", padded, first, (stride,)).astype(np.uint64)
        if shift:
            v >>= shift
        if bits < 64:
            v &= mask
        if kind == "u":
            out[name] = v.astype(dtype)
        elif kind == "s":
            v ^= sign
            v -= sign
            out[name] = v.view(np.int64).astype(dtype)
        elif bits == 32:
            out[name] = v.astype(np.uint32).view(np.float32)
        else:
            out[name] = v.view(np.float64)
    return out


def structured_dtype(fields):
    """numpy's structured dtype of byte-aligned big-endian fields."""
    layout = {"names": [], "formats": [], "offsets": []}
    for name, kind, bits, pos in field_positions(fields):
        assert pos % 8 == 0 and bits % 8 == 0
        layout["names"].append(name)
        layout["formats"].append(">" + NUMPY_TYPE[(kind, bits)])
        layout["offsets"].append(pos // 8)
    return np.dtype(layout)


def structured_columns(buffer, dtype, native):
    records = np.frombuffer(buffer, dtype)
    return {name: records[name].astype(native[name]) for name in dtype.names}


def same_columns(ours, theirs):
    assert list(ours) == list(theirs), (list(ours)[:3], list(theirs)[:3])
    for name, column in ours.items():
        a = np.frombuffer(column, column.typecode) if hasattr(column, "typecode") else np.asarray(column)
        b = np.asarray(theirs[name])
        assert a.dtype == b.dtype and np.array_equal(a, b), (name, a.dtype, b.dtype, a[:4], b[:4])


# ---- ccsdspy: the same fields behind a CCSDS primary header, from a file ----

CCSDS_TYPE = {"u": "uint", "s": "int", "f": "float"}


def ccsds_stream(stream, size, apid=0x123):
    """The packets of `stream` (each `size` bytes), each behind a 6-byte CCSDS primary header."""
    out = bytearray()
    for seq in range(len(stream) // size):
        out += struct.pack(">HHH", apid, (3 << 14) | (seq & 0x3FFF), size - 1)  # unsegmented; data length - 1
        out += stream[seq * size:(seq + 1) * size]
    return bytes(out)


def ccsds_definition(fields):
    return ccsdspy.FixedLength(
        [ccsdspy.PacketField(name=name, data_type=CCSDS_TYPE[kind], bit_length=bits) for name, kind, bits, _ in fields]
    )


def column_rows(packets, repeat):
    """unpack_columns against numpy and ccsdspy; ns per value."""
    fields = frame_fields(32)
    recipe = recipe_of(fields)
    data = {f[0]: f[3] for f in fields}
    exact = packweaver.Recipe(recipe, bit_exact=True)
    packet = exact.pack(data)
    # Vary the values from packet to packet, so that no column is a constant.
    stream = bytearray(packet * packets)
    rng = np.random.default_rng(1)
    noise = rng.integers(0, 256, size=(packets, len(packet)), dtype=np.uint8)
    stream_rows = np.frombuffer(stream, np.uint8).reshape(packets, len(packet))
    # Keep the float fields finite: only their low bytes vary.
    float_bytes = np.zeros(len(packet), bool)
    for name, kind, bits, pos in field_positions(fields):
        if kind == "f":
            float_bytes[pos // 8:pos // 8 + bits // 8 - 2] = True
    stream_rows[:, ~float_bytes] = noise[:, ~float_bytes]
    stream = bytes(stream)
    values = packets * len(fields)
    rows = {}
    jobs = {("columns", "packweaver"): (lambda: exact.unpack_columns(stream), 1)}
    if np is not None:
        plan = numpy_plan(fields)
        same_columns(exact.unpack_columns(stream), numpy_columns(stream, len(packet), plan))
        jobs[("columns", "numpy vectorised")] = (lambda: numpy_columns(stream, len(packet), plan), 1)

        aligned = fields[:16]
        aligned_recipe = packweaver.Recipe(recipe_of(aligned), bit_exact=True)
        aligned_packet = aligned_recipe.pack({f[0]: f[3] for f in aligned})
        aligned_stream = bytes(np.frombuffer(stream, np.uint8).reshape(packets, len(packet))[:, :len(aligned_packet)])
        sdtype = structured_dtype(aligned)
        native = {f[0]: numpy_dtype_of(f[1], f[2]) for f in aligned}
        aligned_plan = numpy_plan(aligned)
        same_columns(aligned_recipe.unpack_columns(aligned_stream), structured_columns(aligned_stream, sdtype, native))
        jobs[("aligned", "packweaver")] = (lambda: aligned_recipe.unpack_columns(aligned_stream), 1)
        jobs[("aligned", "numpy structured dtype")] = (lambda: structured_columns(aligned_stream, sdtype, native), 1)
        jobs[("aligned", "numpy vectorised")] = (
            lambda: numpy_columns(aligned_stream, len(aligned_packet), aligned_plan), 1)
    tmp = None
    if ccsdspy is not None and np is not None:
        tmp = tempfile.NamedTemporaryFile(suffix=".bin", delete=False)
        with tmp:
            tmp.write(ccsds_stream(stream, len(packet)))
        definition = ccsds_definition(fields)
        path = tmp.name

        def ours_from_file():
            with open(path, "rb") as f:
                return exact.unpack_columns(f.read(), len(packet) + 6, 48)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the wrapping sequence count
            theirs = definition.load(path)
        same_columns(ours_from_file(), {name: theirs[name].astype(numpy_dtype_of(kind, bits))
                                        for name, kind, bits, _ in fields})

        def ccsdspy_load():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return definition.load(path)

        jobs[("ccsds", "packweaver")] = (ours_from_file, 1)
        jobs[("ccsds", "ccsdspy FixedLength.load")] = (ccsdspy_load, 1)
    try:
        samples = interleaved_samples(jobs, repeat)
    finally:
        if tmp is not None:
            os.unlink(tmp.name)
    for (group, name), times in samples.items():
        n = values if group != "aligned" else packets * 16
        rows.setdefault(group, {})[name] = [t / n for t in times]
    return rows


def iterate_rows(packets, number, repeat):
    """iter_unpack per packet against Recipe.unpack per packet."""
    fields = frame_fields(32)
    data = {f[0]: f[3] for f in fields}
    exact = packweaver.Recipe(recipe_of(fields), bit_exact=True)
    packet = exact.pack(data)
    stream = packet * packets
    singles = [stream[k * len(packet):(k + 1) * len(packet)] for k in range(packets)]

    def iterate():
        for _ in exact.iter_unpack(stream):
            pass

    def each():
        unpack = exact.unpack
        for p in singles:
            unpack(p)

    jobs = {
        "iter_unpack, for loop": (iterate, 1),
        "Recipe.unpack, for loop over bytes": (each, 1),
        "Recipe.unpack, one call": (lambda: exact.unpack(packet), number),
    }
    samples = interleaved_samples(jobs, repeat)
    return {k: [t / (packets if k != "Recipe.unpack, one call" else 1) for t in v] for k, v in samples.items()}


# ---- memory of unpack_columns, in a child process ----

def memory_child(mode, packets):
    """Prints a JSON line: peak RSS growth over one call, and the columns' own size."""
    import gc
    import json
    import resource
    import tracemalloc

    fields = frame_fields(32)
    data = {f[0]: f[3] for f in fields}
    exact = packweaver.Recipe(recipe_of(fields), bit_exact=True)
    packet = exact.pack(data)
    stream = packet * packets
    plan = numpy_plan(fields) if mode == "numpy" else None

    def call():
        if mode == "numpy":
            return numpy_columns(stream, len(packet), plan)
        return exact.unpack_columns(stream)

    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    columns = call()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    size = sum(len(c) * c.itemsize for c in columns.values())
    del columns
    gc.collect()
    tracemalloc.start()
    columns = call()
    current, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(json.dumps({"rss_growth": after - before, "columns": size, "traced_peak": peak, "traced_kept": current,
                      "stream": len(stream)}))


def memory_rows(packets):
    import json
    import subprocess

    out = {}
    for mode in ("packweaver", "numpy"):
        if mode == "numpy" and np is None:
            continue
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", mode, str(packets)],
                              capture_output=True, text=True, check=True)
        out[mode] = json.loads(proc.stdout.strip().splitlines()[-1])
    return out


def report_compiled(number, repeat):
    print("\nRecipe(items, bit_exact=True) vs bitstruct.c compiled (dict form); "
          "median ns per packet [fastest .. slowest]; ratio of medians (of the fastest)")
    per_field = {}
    for count in (4, 32, 256):
        n = max(50, number * 32 // count)
        samples, size = compiled_rows(count, n, repeat)
        per_field[count] = {k: statistics.median(v) for k, v in samples.items()}
        print(f"\n{count} fields ({size} bytes)")
        for op in ("unpack", "pack"):
            for name in ("Recipe", "bitstruct.c compiled"):
                if (name, op) in samples:
                    label = f"{name}.{op}" + ("(packet)" if op == "unpack" else "(dict)")
                    print(show(label, samples[(name, op)]))
            if ("bitstruct.c compiled", op) in samples:
                print(f"  {'ours/theirs ' + op:34} {ratio_text(samples[('Recipe', op)], samples[('bitstruct.c compiled', op)])}")
    print("\nper additional field (4 -> 256 fields), from the medians:")
    for name in ("Recipe", "bitstruct.c compiled"):
        if (name, "unpack") in per_field[4]:
            du = (per_field[256][(name, "unpack")] - per_field[4][(name, "unpack")]) / 252
            dp = (per_field[256][(name, "pack")] - per_field[4][(name, "pack")]) / 252
            print(f"  {name:22} unpack {du:5.1f} ns   pack {dp:5.1f} ns")


def report_columns(packets, repeat):
    if np is None:
        print("\n(numpy missing: column comparisons skipped)")
        return
    rows = column_rows(packets, repeat)
    print(f"\nunpack_columns (bit-exact) over {packets} packets; median ns per value [fastest .. slowest]; "
          "ratio ours/theirs of medians (of the fastest)")
    titles = {
        "columns": "32-field frame (62 bytes), 32 values per packet",
        "aligned": "16 byte-aligned fields (51 bytes), 16 values per packet",
        "ccsds": "32-field frame behind a 6-byte CCSDS primary header, read from a file",
    }
    for group, title in titles.items():
        if group not in rows:
            continue
        print(f"\n{title}")
        ours = rows[group]["packweaver"]
        for name, times in rows[group].items():
            line = show(name, times, unit="ns/value")
            if name != "packweaver":
                line += f"   ours/theirs {ratio_text(ours, times)}"
            print(line)


def report_iterate(packets, number, repeat):
    rows = iterate_rows(packets, number, repeat)
    print(f"\niter_unpack vs Recipe.unpack, bit-exact, 32-field frame; median ns per packet [fastest .. slowest]"
          f" ({packets} packets)")
    for name, times in rows.items():
        print(show(name, times))
    print(f"  {'ours/theirs iter vs one call':34} {ratio_text(rows['iter_unpack, for loop'], rows['Recipe.unpack, one call'])}")
    print(f"  {'ours/theirs iter vs loop':34} "
          f"{ratio_text(rows['iter_unpack, for loop'], rows['Recipe.unpack, for loop over bytes'])}")


def report_memory(packets):
    rows = memory_rows(packets)
    print(f"\nmemory of one call over {packets} packets of the 32-field frame (child process; MB = 10^6 bytes)")
    print(f"  {'':20} {'peak RSS growth':>16} {'columns':>10} {'growth/columns':>15} {'tracemalloc peak':>17}")
    for name, m in rows.items():
        print(f"  {name:20} {m['rss_growth'] / 1e6:13.1f} MB {m['columns'] / 1e6:7.1f} MB {m['rss_growth'] / m['columns']:15.2f}"
              f" {m['traced_peak'] / 1e6:14.1f} MB")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of the benchmark's thread (default); wall: elapsed time")
    parser.add_argument("--only", choices=("engines", "recipe"),
                        help="engines: only pack_parameters/unpack_parameters; recipe: only the Recipe comparisons")
    parser.add_argument("--memory-child", nargs=2, metavar=("MODE", "PACKETS"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    CLOCK[0] = CLOCKS[args.clock]
    number, repeat = (1000, 5) if args.quick else (4000, 15)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__ if np else '-'}, "
          f"bitstruct {getattr(bitstruct, '__version__', '-')}, ccsdspy {getattr(ccsdspy, '__version__', '-')}; "
          f"{os.cpu_count()} CPUs, load {load:.2f}; clock: {args.clock} time")
    if args.only != "recipe":
        report_engines(number, repeat)
    if args.only == "engines":
        return
    if not hasattr(packweaver, "Recipe"):
        print("\n(this build has no Recipe: compiled-recipe comparisons skipped)")
        return
    report_compiled(number, repeat)
    report_iterate(2000 if args.quick else 20000, number, repeat)
    report_columns(4000 if args.quick else 20000, repeat)
    report_memory(10 ** 6)


def report_engines(number, repeat):
    print(f"\npack_parameters / unpack_parameters; best of {repeat} interleaved rounds (and their median); "
          "ns per packet; ratios of the best")
    per_field = {}
    for count in (4, 32, 256):
        n = max(50, number * 32 // count)
        rows = run(count, n, repeat)
        ours_unpack, ours_pack = rows["packweaver"][:2]
        per_field[count] = rows["packweaver"]
        print(f"\n{count} fields ({len(packweaver.pack_parameters(recipe_of(frame_fields(count))))} bytes)")
        print(f"  {'':22} {'unpack ns':>11} {'pack ns':>11} {'ours/theirs unpack':>19} {'ours/theirs pack':>17}"
              f"   {'median unpack':>13} {'median pack':>11}")
        for name, (u, p, mu, mp) in rows.items():
            ratio = f"{'':19} {'':17}" if name == "packweaver" else f"{ours_unpack / u:19.2f} {ours_pack / p:17.2f}"
            print(f"  {name:22} {u:11.0f} {p:11.0f} {ratio}   {mu:13.0f} {mp:11.0f}")
    du = (per_field[256][0] - per_field[4][0]) / 252
    dp = (per_field[256][1] - per_field[4][1]) / 252
    print(f"\nper additional field (4 -> 256 fields): unpack {du:.1f} ns, pack {dp:.1f} ns")


if __name__ == "__main__":
    main()
