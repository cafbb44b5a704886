"""Read a file of fixed-length packets into columns and print a few statistics.

Each packet is a 48-bit primary header (version 3 bits, type 1, secondary
header flag 1, APID 11, sequence flags 2, sequence count 14, data length 16)
followed by the housekeeping data. A bit-exact Recipe reads every field at
its exact bit position, and unpack_columns turns the whole file into one
array per field.

    python examples/read_columns.py                 # writes a demo file first
    python examples/read_columns.py packets.bin     # reads an existing file
"""

import argparse
import os
import statistics
import sys
import tempfile

import packweaver


def field(name, encoding, bits):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


HEADER = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("secondary_header", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("sequence_flags", "unsigned", 2),
    field("sequence_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
]

DATA = [
    field("temperature", "twos_complement", 12),
    field("heater", "unsigned", 1),
    field("mode", "unsigned", 3),
    field("voltage", "ieee754_f32", 32),
]

LAYOUT = packweaver.Recipe(HEADER + DATA, bit_exact=True)


def write_demo(path, count):
    """Writes `count` packets of made-up housekeeping to `path`."""
    data_length = LAYOUT.size - 6 - 1  # bytes after the header, less one
    with open(path, "wb") as out:
        for n in range(count):
            out.write(LAYOUT.pack([0, 0, 1, 0x123, 3, n % 16384, data_length,
                                   n % 200 - 100, n % 2, n % 8, 28 + n / 1000]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", help="a file of packets (default: write a demo file first)")
    parser.add_argument("--count", type=int, default=600, help="packets in the demo file")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as scratch:
        path = args.path
        if path is None:
            path = os.path.join(scratch, "housekeeping.bin")
            write_demo(path, args.count)
        with open(path, "rb") as packets:
            columns = LAYOUT.unpack_columns(packets.read())

    count = len(columns["apid"])
    print(f"{count} packets of {LAYOUT.size} bytes from {os.path.basename(path)}")
    if count == 0:
        return 0
    print(f"APIDs: {sorted(set(columns['apid']))}")
    gaps = sum(1 for a, b in zip(columns["sequence_count"], columns["sequence_count"][1:]) if (a + 1) % 16384 != b)
    print(f"sequence gaps: {gaps}")
    for name in ("temperature", "voltage"):
        column = columns[name]
        print(f"{name:>12} ({column.typecode}): min {min(column):g}  max {max(column):g}  "
              f"mean {statistics.fmean(column):.3f}")
    print(f"{'heater on':>12}: {sum(columns['heater']) / count:.0%} of packets")
    modes = {mode: columns["mode"].count(mode) for mode in sorted(set(columns["mode"]))}
    print(f"{'modes':>12}: {modes}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
