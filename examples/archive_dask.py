"""Decode an archive of fixed-length packets in parallel with Dask.

The archive is split at packet boundaries into chunks; each Dask worker reads
its chunks from the file and decodes them with a Recipe that was pickled and
sent to it once; the columns that come back are joined in order. The script
prints the decode rate with 1 and with 2 workers and checks that the joined
columns equal those of one process reading the whole file.

    python -m pip install '.[examples]'
    python examples/archive_dask.py --packets 200000 --chunks 8

Needs dask.distributed (the examples extra); packweaver itself does not.
"""

import argparse
import array
import os
import sys
import tempfile
import time

import packweaver


def field(name, encoding, bits):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


# A 48-bit primary header (3, 1, 1, 11, 2, 14, 16 bits), then the data.
LAYOUT = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("secondary_header", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("sequence_flags", "unsigned", 2),
    field("sequence_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
    field("time", "unsigned", 32),
    field("temperature", "twos_complement", 12),
    field("heater_on", "unsigned", 1),
    field("mode", "unsigned", 3),
    field("voltage", "ieee754_f32", 32),
    field("pressure", "ieee754_f16", 16),
    field("status", "us_ascii", 32),
]


def write_archive(path, count):
    """Writes `count` made-up packets; returns the packet size."""
    recipe = packweaver.Recipe(LAYOUT)
    buffer = bytearray(recipe.size * count)
    for n in range(count):
        values = [0, 0, 1, 0x123, 3, n % 16384, recipe.size - 7, 1_000_000 + n,
                  n % 4000 - 2000, n % 2, n % 8, 28 + (n % 1000) / 1000, 1000 + n % 64,
                  ("NOM ", "SAFE", "WARM")[n % 3]]
        recipe.pack_into(buffer, 8 * n * recipe.size, values)
    with open(path, "wb") as out:
        out.write(buffer)
    return recipe.size


def decode_chunk(path, start, length, recipe):
    """Runs on a worker: one chunk of the file into columns."""
    with open(path, "rb") as archive:
        archive.seek(start)
        return recipe.unpack_columns(archive.read(length))


def chunks(total_bytes, size, count):
    """(start, length) of `count` pieces of the file, cut at packet boundaries."""
    packets = total_bytes // size
    bounds = [packets * k // count * size for k in range(count + 1)]
    return [(a, b - a) for a, b in zip(bounds, bounds[1:]) if b > a]


def join(parts, names):
    """The chunks' columns, end to end."""
    joined = {}
    for name in names:
        first = parts[0][name]
        column = array.array(first.typecode) if isinstance(first, array.array) else []
        for part in parts:
            column.extend(part[name])
        joined[name] = column
    return joined


def decode_parallel(client, path, recipe, pieces):
    # The Recipe is pickled once and sent to every worker; the tasks refer to it.
    shared = client.scatter(recipe, broadcast=True)
    client.submit(decode_chunk, path, 0, 0, shared, pure=False).result()  # warm the workers up
    start = time.perf_counter()
    futures = [client.submit(decode_chunk, path, a, n, shared, pure=False) for a, n in pieces]
    columns = join(client.gather(futures), recipe.names)
    return columns, time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_000_000, help="packets in the made-up archive")
    parser.add_argument("--archive", help="decode this file instead (packets of the layout above)")
    parser.add_argument("--chunks", type=int, default=16, help="pieces the archive is cut into")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2], help="worker counts to time")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    recipe = packweaver.Recipe(LAYOUT, bit_exact=True)
    with tempfile.TemporaryDirectory() as scratch:
        path = args.archive
        if path is None:
            path = os.path.join(scratch, "archive.bin")
            write_archive(path, args.packets)
        total = os.path.getsize(path)
        if total % recipe.size:
            parser.error(f"{path}: {total} bytes is not a whole number of {recipe.size}-byte packets")
        count = total // recipe.size
        print(f"archive: {count} packets of {recipe.size} bytes, cut into {args.chunks} chunks")

        start = time.perf_counter()
        with open(path, "rb") as archive:
            expected = recipe.unpack_columns(archive.read())
        seconds = time.perf_counter() - start
        print(f"one process: {count / seconds:,.0f} packets/s")

        pieces = chunks(total, recipe.size, max(1, args.chunks))
        all_equal = True
        for workers in args.workers:
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                columns, seconds = decode_parallel(client, path, recipe, pieces)
            equal = columns == expected
            all_equal &= equal
            print(f"{workers} worker{'s' if workers > 1 else ''}: {count / seconds:,.0f} packets/s")
        print(f"columns equal the single-process result: {all_equal}")
    return 0 if all_equal else 1


if __name__ == "__main__":
    sys.exit(main())
