"""How soon Ctrl-C stops a long Recipe.unpack_columns.

    python bench/bench_interrupt.py [--numeric-mb 1024] [--texts 50000000]

Another process sends SIGINT a moment after the call starts, as a terminal
would (a thread of this process could not: it would wait for the
interpreter lock that the call holds); the time from the signal to the
KeyboardInterrupt reaching the caller is printed (median and worst of a few
tries), beside the time the whole call takes uninterrupted. Both clocks are
the system's monotonic clock. Not a test.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

import packweaver as pw


def numeric_case(megabytes):
    items = [{"name": f"f{i}", "encoding": enc, "bits": bits, "byte_order": "big", "reverse_bits": False}
             for i, (enc, bits) in enumerate([("unsigned", 3), ("unsigned", 5), ("twos_complement", 12),
                                              ("unsigned", 4), ("ieee754_f32", 32), ("ieee754_f64", 64)])]
    recipe = pw.Recipe(items)
    count = megabytes * (1 << 20) // recipe.size
    return recipe, bytes(recipe.size * count), f"{megabytes} MB numeric ({count:,} packets)"


def text_case(values):
    items = [{"name": "t", "encoding": "us_ascii", "bits": 32, "byte_order": "big", "reverse_bits": False}]
    recipe = pw.Recipe(items)
    return recipe, b"abcd" * values, f"{values:,} text values"


SENDER = "import os, sys, time; time.sleep(float(sys.argv[2])); t = time.monotonic(); os.kill(int(sys.argv[1]), 2); print(t)"


def latency(recipe, data, delay):
    # The sender starts first: its own start-up is not part of the delay.
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(os.getpid()), str(delay)], stdout=subprocess.PIPE,
                              text=True)
    time.sleep(0.2)
    try:
        recipe.unpack_columns(data)
        caught = None
    except KeyboardInterrupt:
        caught = time.monotonic()
    out, _ = sender.communicate()
    if caught is None:
        return None  # finished before the signal
    return caught - float(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--numeric-mb", type=int, default=1024)
    parser.add_argument("--texts", type=int, default=50_000_000)
    parser.add_argument("--tries", type=int, default=5)
    args = parser.parse_args(argv)
    for recipe, data, label in (numeric_case(args.numeric_mb), text_case(args.texts)):
        start = time.perf_counter()
        recipe.unpack_columns(data)
        whole = time.perf_counter() - start
        times = [t for t in (latency(recipe, data, 0.2 + whole / 3) for _ in range(args.tries)) if t is not None]
        if not times:
            print(f"{label}: the call ({whole:.2f} s) always finished before the signal")
            continue
        print(f"{label}: whole call {whole:.2f} s; signal to KeyboardInterrupt median "
              f"{statistics.median(times) * 1e3:.1f} ms, worst {max(times) * 1e3:.1f} ms ({len(times)} tries)")


if __name__ == "__main__":
    main()
