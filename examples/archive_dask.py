"""Decode a mixed packet archive in parallel with Dask, into Parquet files.

The archive is one file of space packets of three streams (APIDs) of
different lengths, as a ground station stores them. The client indexes the
file once (through a memory map, so it is never read into memory) and cuts
the packets into partitions at packet boundaries. Each task gets only its
byte range: the worker maps the file itself, reads the streams of its range
with the Recipes (pickled and sent once), and writes one Parquet file per
stream and partition. Only file names and counts travel back. The script
then reads the Parquet files back and checks them against one process
reading the whole archive, and prints rates and peak memory.

    python -m pip install '.[examples]'
    python examples/archive_dask.py --megabytes 1024 --partitions 16

Needs dask.distributed and pyarrow (the examples extra); packweaver itself
does not.
"""

import argparse
import logging
import mmap
import os
import pathlib
import resource
import struct
import sys
import tempfile
import time

import packweaver as pw


def field(name, encoding, bits, offset):
    return {"name": name, "encoding": encoding, "bits": bits, "offset_bits": offset,
            "byte_order": "big", "reverse_bits": False}


# Each stream's fields, bit 0 being the packet's first bit (header included).
HEADER = [field("sequence_count", "unsigned", 14, 18)]
RECIPES = {
    # Housekeeping, 24 bytes: time, a 12-bit temperature, a heater flag, a mode, a voltage.
    100: pw.Recipe(HEADER + [field("time", "unsigned", 32, 48), field("temperature", "twos_complement", 12, 80),
                             field("heater", "unsigned", 1, 92), field("mode", "unsigned", 3, 93),
                             field("voltage", "ieee754_f32", 32, 96), field("current", "ieee754_f32", 32, 128),
                             field("status", "us_ascii", 32, 160)], bit_exact=True),
    # Science, 70 bytes: time and 32 samples of 16 bits.
    200: pw.Recipe(HEADER + [field("time", "unsigned", 32, 48)]
                   + [field(f"sample_{k:02d}", "twos_complement", 16, 80 + 16 * k) for k in range(32)],
                   bit_exact=True),
    # Events, 12 to 40 bytes: time and an event code (the rest is free text, not read here).
    300: pw.Recipe(HEADER + [field("time", "unsigned", 32, 48), field("code", "unsigned", 16, 80)], bit_exact=True),
}


def space_packet(apid, count, data):
    return struct.pack(">HHH", 0x0800 | apid, 0xC000 | count % 16384, len(data) - 1) + data


def write_archive(path, megabytes):
    """Writes a made-up archive of at least `megabytes` MiB, in blocks of mixed packets."""
    counts = {100: 0, 200: 0, 300: 0}
    with open(path, "wb") as out:
        written = 0
        block = 0
        while written < megabytes << 20:
            packets = []
            for n in range(4096):
                t = 1_000_000 + block * 4096 + n
                if n % 3 == 0:
                    data = struct.pack(">Ihff4s", t, (n % 4000 - 2000) * 16 | (n & 1) << 3 | n % 8,
                                       28 + n % 1000 / 1000, n % 100 / 10, b"NOM ")
                    apid = 100
                elif n % 3 == 1:
                    data = struct.pack(">I32h", t, *[(n * 7 + k * 131) % 65536 - 32768 for k in range(32)])
                    apid = 200
                else:
                    data = struct.pack(">IH", t, n % 50) + b"event text"[: n % 11] + b"." * (n % 18)
                    apid = 300
                packets.append(space_packet(apid, counts[apid], data))
                counts[apid] += 1
            chunk = b"".join(packets)
            out.write(chunk)
            written += len(chunk)
            block += 1
    return written


def partitions(index, count):
    """(start, stop) byte ranges of `count` partitions of the indexed packets, cut at packet boundaries."""
    n = len(index)
    starts = [index.offsets[n * k // count] for k in range(count) if n * k // count < n]
    bounds = sorted(set(starts)) + [index.end]
    return list(zip(bounds, bounds[1:]))


def peak_rss_mib():
    """This process's peak resident memory, in MiB. Linux's VmHWM starts afresh
    in a new program; ru_maxrss would carry the launching process's peak."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def decode_partition(path, start, stop, recipes, out_dir, part):
    """Runs on a worker: one byte range of the file into one Parquet file per stream."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    with open(path, "rb") as archive, mmap.mmap(archive.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        with memoryview(mapped)[start:stop] as view:
            streams = pw.CCSDS.read(view, recipes)
    written = {}
    for key, columns in streams.items():
        # numpy and Arrow take the numeric columns without a copy.
        table = pa.table({name: pa.array(column) if isinstance(column, list)
                          else pa.array(np.frombuffer(column, dtype=column.typecode))
                          for name, column in columns.items()})
        name = os.path.join(out_dir, f"apid{key}-part{part:05d}.parquet")
        pq.write_table(table, name)
        written[key] = (name, table.num_rows)
    return written, peak_rss_mib()


def warm_up():
    import pyarrow.parquet  # noqa: F401


def read_back(results, key):
    import pyarrow as pa
    import pyarrow.parquet as pq

    parts = [written[key][0] for written, _ in results if key in written]
    return pa.concat_tables([pq.read_table(name) for name in parts])


def same(table, columns):
    """Whether a table read back holds exactly the columns of the single-process reading."""
    import numpy as np

    for name, column in columns.items():
        got = table.column(name).to_numpy(zero_copy_only=False)
        if isinstance(column, list):
            if list(got) != column:
                return False
        elif got.tobytes() != np.frombuffer(column, dtype=column.typecode).tobytes():
            return False
    return True


def run_cluster(path, pieces, workers, out_dir):
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        shared = client.scatter(RECIPES, broadcast=True)
        client.run(warm_up)  # the workers are up, with pyarrow imported
        start = time.perf_counter()
        futures = [client.submit(decode_partition, path, a, b, shared, out_dir, k, pure=False)
                   for k, (a, b) in enumerate(pieces)]
        results = client.gather(futures)
        seconds = time.perf_counter() - start
    return results, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=1024, help="size of the made-up archive, in MiB")
    parser.add_argument("--archive", help="decode this file instead (space packets of the APIDs above)")
    parser.add_argument("--partitions", type=int, default=16, help="pieces the archive is cut into")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2], help="worker counts to time")
    args = parser.parse_args(argv)
    # Workers that stop while the cluster closes log their goodbyes: not news.
    for name in ("distributed", "tornado", "asyncio"):
        logging.getLogger(name).setLevel(logging.CRITICAL)

    with tempfile.TemporaryDirectory() as scratch:
        path = args.archive or os.path.join(scratch, "archive.bin")
        if args.archive is None:
            write_archive(path, args.megabytes)
        size = os.path.getsize(path)
        with open(path, "rb") as archive, mmap.mmap(archive.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            start = time.perf_counter()
            index = pw.CCSDS.index(mapped)
            indexed = time.perf_counter() - start
            pieces = partitions(index, max(1, args.partitions))
            print(f"archive: {size / 2**20:.0f} MiB, {len(index):,} packets of {len(index.streams)} streams "
                  f"(indexed at {size / indexed / 1e9:.2f} GB/s), cut into {len(pieces)} partitions")
            faults = sum(s["gaps"] + s["repeats"] + s["check_failures"] for s in index.streams.values())
            print(f"sequence faults: {faults}; incomplete tail: {index.tail} bytes")
            start = time.perf_counter()
            expected = pw.CCSDS.read(mapped, RECIPES)
            seconds = time.perf_counter() - start
            del index
        print(f"one process, columns only: {size / seconds / 1e6:,.0f} MB/s, peak RSS {peak_rss_mib():,.0f} MiB")
        with tempfile.TemporaryDirectory() as alone:
            warm_up()
            start = time.perf_counter()
            decode_partition(path, 0, size, RECIPES, alone, 0)
            seconds = time.perf_counter() - start
        print(f"one process, columns to Parquet: {size / seconds / 1e6:,.0f} MB/s")

        all_equal = True
        for workers in args.workers:
            out_dir = os.path.join(scratch, f"parquet-{workers}")
            os.makedirs(out_dir)
            results, seconds = run_cluster(path, pieces, workers, out_dir)
            rss = max(r for _, r in results)
            equal = all(same(read_back(results, key), expected[key]) for key in RECIPES)
            all_equal &= equal
            files = sum(len(written) for written, _ in results)
            print(f"{workers} worker{'s' if workers > 1 else ''}: {size / seconds / 1e6:,.0f} MB/s, "
                  f"{files} Parquet files, worker peak RSS {rss:,.0f} MiB")
        print(f"Parquet files equal the single-process reading: {all_equal}")
    return 0 if all_equal else 1


if __name__ == "__main__":
    sys.exit(main())
