"""Time pack_parameters / unpack_parameters against what users would otherwise use.

Frames of 4, 32 and 256 fields (the 32-field telemetry frame: 16 byte-aligned
u8/u16/u32/i16/f32/f64 fields and 16 sub-byte fields of 1 to 12 bits, 62
bytes), packed from and unpacked into a dict, against bitstruct's C extension
(format string each call, and pre-compiled), construct, and a hand-written
pure-Python loop over the same list-of-dicts recipe. Prints ns per packet and
the ratio ours/theirs from one run.

    python bench/bench_packets.py [--quick]

Not a test. Needs `pip install bitstruct construct` for the peers (missing
peers are skipped). The peers follow their own bit layouts; what is compared
is the cost of moving the same fields through the same kinds of values.
"""

from __future__ import annotations

import argparse
import struct
import sys
import timeit

import packweaver

try:
    import bitstruct.c as bitstruct_c
except ImportError:  # pragma: no cover
    bitstruct_c = None
try:
    import construct
except ImportError:  # pragma: no cover
    construct = None

ALIGNED = [("u", 8), ("u", 16), ("u", 32), ("s", 16), ("f", 32), ("f", 64)]
SUB_BYTE = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4]


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


def interleaved_best_ns(jobs, repeat):
    """Best time per call of each job, the jobs taking turns in every round.

    Taking turns keeps a slow spell of the machine from falling on one peer
    only, so the ratios of one run compare like with like.
    """
    best = {key: float("inf") for key in jobs}
    for _ in range(repeat):
        for key, (fn, number) in jobs.items():
            best[key] = min(best[key], timeit.timeit(fn, number=number) / number * 1e9)
    return best


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
    best = interleaved_best_ns(jobs, repeat)
    rows = {}
    for name, _ in jobs:
        rows[name] = (best[(name, "unpack")], best[(name, "pack")])
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args(argv)
    number, repeat = (1000, 5) if args.quick else (4000, 15)
    print(f"Python {sys.version.split()[0]}; best of {repeat} interleaved rounds; ns per packet")
    per_field = {}
    for count in (4, 32, 256):
        n = max(50, number * 32 // count)
        rows = run(count, n, repeat)
        ours_unpack, ours_pack = rows["packweaver"]
        per_field[count] = rows["packweaver"]
        print(f"\n{count} fields ({len(packweaver.pack_parameters(recipe_of(frame_fields(count))))} bytes)")
        print(f"  {'':22} {'unpack ns':>11} {'pack ns':>11} {'ours/theirs unpack':>19} {'ours/theirs pack':>17}")
        for name, (u, p) in rows.items():
            ratio = "" if name == "packweaver" else f"{ours_unpack / u:19.2f} {ours_pack / p:17.2f}"
            print(f"  {name:22} {u:11.0f} {p:11.0f} {ratio}")
    du = (per_field[256][0] - per_field[4][0]) / 252
    dp = (per_field[256][1] - per_field[4][1]) / 252
    print(f"\nper additional field (4 -> 256 fields): unpack {du:.1f} ns, pack {dp:.1f} ns")


if __name__ == "__main__":
    main()
