"""Indexing, splitting and reading mixed packet streams, against ccsdspy.

    python bench/bench_framing.py [--quick]

Streams:
  mixed     the six housekeeping sample files shipped with ccsdspy mixed into
            one stream, each file's packets in order (4.6 MB, 38 bytes a
            packet on average); mixed*N: the same repeated to 64 MB
  shuffled  the same packets in random order (a sequence fault at nearly
            every packet)
  1 KiB     space packets of 1024 bytes, three APIDs, 64 MB
For each: Framing.index (keys and sequence counts; then with CRC-16/CCITT-FALSE
checks) in GB/s and packets/s, Framing.split against
ccsdspy.utils.split_by_apid, and the ratio. Then the columns of one stream
read through the index from the mixed buffer against the same fields read
from the pre-split fixed-length stream (ns per value, and the ratio), and
the peak memory that index + read add (tracemalloc sees only Python
allocations, so the resident set is given). Not a test.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import resource
import struct
import sys
from io import BytesIO

import packweaver as pw
from bench_packets import best




def housekeeping_packets(shuffled=False):
    """The sample files' packets mixed into one stream: each file's packets kept
    in order, the files interleaved at random (as an archive interleaves its
    streams), or with shuffled, every packet anywhere (a sequence fault at
    nearly every packet)."""
    import ccsdspy

    data = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data" / "hs"
    streams = []
    for path in sorted(data.glob("apid*/*.tlm")):
        stream = path.read_bytes()
        index = pw.CCSDS.index(stream)
        streams.append([stream[o:o + n] for o, n in zip(index.offsets, index.lengths)])
    rng = random.Random(0)
    if shuffled:
        packets = [p for s in streams for p in s]
        rng.shuffle(packets)
        return packets
    order = [k for k, s in enumerate(streams) for _ in s]
    rng.shuffle(order)
    position = [0] * len(streams)
    packets = []
    for k in order:
        packets.append(streams[k][position[k]])
        position[k] += 1
    return packets


def crc_framed(packets):
    """The same packets with a CRC-16/CCITT-FALSE in their last two bytes."""
    import binascii

    out = []
    for p in packets:
        body = p[:-2]
        out.append(body + binascii.crc_hqx(body, 0xFFFF).to_bytes(2, "big"))
    return out


def space_packets(n, size, apids=(10, 20, 30)):
    out = []
    for k in range(n):
        data = bytes([k & 0xFF]) * (size - 6)
        out.append(struct.pack(">HHH", 0x0800 | apids[k % 3], 0xC000 | (k // 3) % 16384, len(data) - 1) + data)
    return out


def report_index(name, buf, packets, repeat, split_repeat, crc_buf):
    from ccsdspy.utils import split_by_apid

    crc = pw.Framing(length=(32, 16), length_adjust=7, key=(5, 11), sequence=(18, 14), crc="CRC-16/CCITT-FALSE")
    t = best(lambda: pw.CCSDS.index(buf), repeat)
    print(f"{name:<9} index           {len(buf) / t / 1e9:7.2f} GB/s  {packets / t / 1e6:7.1f} M packets/s")
    assert not any(f[3] == "check" for f in crc.index(crc_buf[: 1 << 20]).faults)
    t_crc = best(lambda: crc.index(crc_buf), repeat)
    print(f"{name:<9} index + CRC-16   {len(buf) / t_crc / 1e9:7.2f} GB/s  {packets / t_crc / 1e6:7.1f} M packets/s")
    # ccsdspy on a slice of a few MB (it is slow): rates compared per byte.
    part = buf[: pw.CCSDS.index(buf[: 4 << 20]).end]
    t_ccsdspy = best(lambda: split_by_apid(BytesIO(part)), split_repeat)
    t_split = best(lambda: pw.CCSDS.split(part), repeat)
    print(f"{name:<9} split           {len(part) / t_split / 1e9:7.2f} GB/s;  ccsdspy split_by_apid "
          f"{len(part) / t_ccsdspy / 1e6:7.1f} MB/s")
    ccsdspy_rate = len(part) / t_ccsdspy
    print(f"{name:<9} ratios to ccsdspy: index {len(buf) / t / ccsdspy_rate:8.0f}x, index + CRC "
          f"{len(buf) / t_crc / ccsdspy_rate:8.0f}x, split {len(part) / t_split / ccsdspy_rate:8.0f}x")


def report_columns(packets, repeat):
    # APID 1 of the housekeeping files: its fixed-length packets, pre-split.
    index = pw.CCSDS.index(b"".join(packets))
    apid = max(index.streams, key=lambda k: index.streams[k]["packets"])
    mixed = b"".join(packets)
    sub = index.select(apid)
    length = sub.lengths[0]
    alone = b"".join(mixed[o:o + n] for o, n in zip(sub.offsets, sub.lengths))
    fields = [dict(name=f"w{k}", encoding="unsigned", bits=16, byte_order="big", reverse_bits=False,
                   offset_bits=48 + 16 * k) for k in range((length - 6) // 2)]
    fields += [dict(name="apid", encoding="unsigned", bits=11, offset_bits=5, byte_order="big", reverse_bits=False),
               dict(name="count", encoding="unsigned", bits=14, offset_bits=18, byte_order="big", reverse_bits=False)]
    recipe = pw.Recipe(fields, bit_exact=True)
    values = len(sub) * len(fields)
    t_alone = best(lambda: recipe.unpack_columns(alone, length), repeat)
    t_index = best(lambda: recipe.unpack_columns(mixed, sub), repeat)
    t_read = best(lambda: pw.CCSDS.read(mixed, {apid: recipe}), repeat)
    print(f"columns of APID {apid} ({len(sub)} packets, {len(fields)} fields): pre-split {t_alone / values * 1e9:.2f} "
          f"ns/value, through the index {t_index / values * 1e9:.2f} ({t_index / t_alone:.2f}x), "
          f"Framing.read with indexing {t_read / values * 1e9:.2f} ({t_read / t_alone:.2f}x)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    repeat = 3 if args.quick else 7
    packets = housekeeping_packets()
    one = b"".join(packets)
    print(f"Python {sys.version.split()[0]}; mixed sample: {len(one)} bytes, {len(packets)} packets, "
          f"{len(one) / len(packets):.1f} bytes a packet")
    target = 16 << 20 if args.quick else 64 << 20
    times = max(1, target // len(one))
    # The CRC timings read the same packets with a valid CRC-16 in their last two bytes.
    crc_one = b"".join(crc_framed(packets))
    report_index("mixed", one, len(packets), 3 * repeat, 3, crc_one)
    report_index(f"mixed*{times}", one * times, len(packets) * times, repeat, 3, crc_one * times)
    shuffled = housekeeping_packets(shuffled=True)
    report_index("shuffled", b"".join(shuffled), len(packets), 3 * repeat, 3, b"".join(crc_framed(shuffled)))
    kib = space_packets(target // 1024, 1024)
    report_index("1 KiB", b"".join(kib), len(kib), repeat, 3, b"".join(crc_framed(kib)))
    report_columns(packets, repeat)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    big = one * times
    peak_buffer = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    index = pw.CCSDS.index(big)
    result = pw.CCSDS.read(big, {k: pw.Recipe([dict(name="apid", encoding="unsigned", bits=11, offset_bits=5,
                                                    byte_order="big", reverse_bits=False)], bit_exact=True)
                                 for k in index.streams})
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"peak RSS: {before / 1024:.0f} MiB before, {peak_buffer / 1024:.0f} MiB with the {len(big) >> 20} MiB "
          f"buffer, {after / 1024:.0f} MiB after index + read of {len(index)} packets "
          f"(the index itself: {len(index) * 24 / 2**20:.0f} MiB; columns {sum(len(c['apid']) * 2 for c in result.values()) / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
