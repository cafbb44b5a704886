"""Time two builds of packweaver against each other in one process.

    python bench/bench_ab.py BUILD_A BUILD_B [--quick] [--clock cpu|wall] [--rounds N]

BUILD_A and BUILD_B are directories (or paths) holding a built extension
module (packweaver.*.so / .pyd), for example two cmake build directories of
two commits. Both are loaded into this process side by side, and every
function below is timed on both in every round, A and B taking turns, so
that a slow spell of a shared machine falls on both alike. Prints, per
function, the median ns per call of each build, the ratio B/A of the medians
(above 1.0: B is slower) with the ratio of the fastest runs in brackets, and
the spread of the per-round ratios (their 10th and 90th percentiles).

Functions: pack_parameters and unpack_parameters on the frames of
bench_packets.py (4, 32 and 256 fields) and on a 32-field frame with floats
(6 sub-byte header fields, 10 sub-byte body fields of which 3 two's
complement, 11 whole-byte unsigned and two's complement fields, and 5
ieee754_f32 / ieee754_f64 fields; 63 bytes). When both builds have the
compiled Recipe type, also on that frame: Recipe(items).pack(),
.unpack(packet), and .unpack_columns over 10,000 packets, plain and with
bit_exact=True (skipped, with a note, when either build lacks Recipe). Then
each text codec on a 16-byte and a 64 KiB input. Not a test.
"""

from __future__ import annotations

import argparse
import glob
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time
import timeit

CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}
TEXT = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1",
        "windows_1252"]


def load(path, alias):
    """The extension module at `path` (or the one inside the directory `path`), as a module named alias."""
    if os.path.isdir(path):
        found = sorted(glob.glob(os.path.join(path, "packweaver*.so")) + glob.glob(os.path.join(path, "packweaver*.pyd")))
        if not found:
            raise SystemExit(f"no packweaver extension module in {path}")
        path = found[0]
    # The module's init function is named after "packweaver": load it under
    # that name, then file it under the alias so that the next one loads too.
    loader = importlib.machinery.ExtensionFileLoader("packweaver", path)
    found = importlib.util.spec_from_file_location("packweaver", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    sys.modules.pop("packweaver", None)
    sys.modules[alias] = module
    return module, path


# The frame with floats: (name, kind, bits, value), kinds as in bench_packets
# ("u" unsigned, "s" two's complement, "f" ieee754_f32 / ieee754_f64). Every
# run of sub-byte fields fills whole bytes, so the whole-byte fields and the
# floats sit on byte boundaries, as in a real telemetry frame.
FLOAT_FRAME = [
    # Header: 16 bits in 6 sub-byte fields.
    ("version", "u", 3, 5), ("type", "u", 1, 1), ("sec_header", "u", 1, 0), ("apid_high", "u", 3, 7),
    ("flags", "u", 2, 3), ("seq_high", "u", 6, 45),
    ("length", "u", 16, 59), ("counter", "u", 8, 200), ("mode", "s", 8, -17),
    ("temperature_a", "f", 32, 21.5), ("voltage", "f", 64, 28.0123456789),
    # Body: 40 bits in 10 sub-byte fields, 3 of them two's complement.
    ("status_a", "u", 1, 1), ("status_b", "u", 2, 2), ("gain", "u", 3, 6), ("range", "u", 4, 9),
    ("filter", "u", 5, 17), ("channel", "u", 6, 33), ("level", "u", 7, 99), ("trim_a", "s", 4, -5),
    ("trim_b", "s", 5, -11), ("trim_c", "s", 3, -2),
    ("sample_a", "s", 16, -12345), ("sample_b", "s", 32, -1234567890), ("timestamp", "u", 32, 4000000000),
    ("temperature_b", "f", 32, -3.25), ("current", "f", 64, -0.000123), ("pressure", "f", 32, 1013.25),
    ("offset", "s", 16, -300), ("events", "u", 16, 65000), ("delta", "s", 64, -(1 << 40) - 7),
    ("checksum_low", "u", 8, 171), ("checksum_high", "s", 8, -86),
]
assert len(FLOAT_FRAME) == 32 and sum(bits for _, _, bits, _ in FLOAT_FRAME) % 8 == 0
COLUMN_PACKETS = 10_000


def cases(mod, with_recipe):
    """(name, callable, calls per run) for one build; the Recipe cases only when with_recipe."""
    # The frames and recipes of bench_packets.py (which imports a packweaver of its own).
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.modules.setdefault("packweaver", mod)
    import bench_packets

    out = []
    for count in (4, 32, 256):
        recipe = bench_packets.recipe_of(bench_packets.frame_fields(count))
        packet = mod.pack_parameters(recipe)
        number = max(20, 2000 * 4 // count)
        out.append((f"unpack_parameters {count} fields", lambda p=packet, r=recipe: mod.unpack_parameters(p, 0, r),
                    number))
        out.append((f"pack_parameters {count} fields", lambda r=recipe: mod.pack_parameters(r), number))
    recipe = bench_packets.recipe_of(FLOAT_FRAME)
    packet = mod.pack_parameters(recipe)
    out.append(("unpack_parameters float frame", lambda: mod.unpack_parameters(packet, 0, recipe), 250))
    out.append(("pack_parameters float frame", lambda: mod.pack_parameters(recipe), 250))
    if with_recipe:
        # Both modes named: builds before and after the exact default compare alike.
        compiled = mod.Recipe(recipe, bit_exact=False)
        exact = mod.Recipe(recipe, bit_exact=True)
        stream = packet * COLUMN_PACKETS
        out.append(("Recipe.pack() float frame", compiled.pack, 1000))
        out.append(("Recipe.unpack float frame", lambda: compiled.unpack(packet), 1000))
        out.append(("Recipe(bit_exact).unpack float frame", lambda: exact.unpack(packet), 1000))
        thousands = COLUMN_PACKETS // 1000
        out.append((f"Recipe.unpack_columns {thousands}k pk", lambda: compiled.unpack_columns(stream), 5))
        out.append((f"Recipe(bit_exact).unpack_cols {thousands}k", lambda: exact.unpack_columns(stream), 5))
    small = "0123456789abcdef"
    # Mostly ASCII with a few Latin-1 letters, which every codec but US-ASCII takes.
    mixed = ("The quick brown fox jumps over the lazy dog. Größe façade " * 1200)[:65536]
    plain = ("The quick brown fox jumps over the lazy dog. " * 1500)[:65536]
    for name in TEXT:
        encode, decode = getattr(mod, "encode_" + name), getattr(mod, "decode_" + name)
        text = plain if name == "us_ascii" else mixed
        data_small, data_large = encode(small), encode(text)
        out.append((f"encode_{name} 16 chars", lambda e=encode: e(small), 2000))
        out.append((f"encode_{name} 64 KiB", lambda e=encode, t=text: e(t), 20))
        out.append((f"decode_{name} 16 chars", lambda d=decode, b=data_small: d(b), 2000))
        out.append((f"decode_{name} 64 KiB", lambda d=decode, b=data_large: d(b), 20))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 21, or 7 with --quick)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of the benchmark's thread (default); wall: elapsed time")
    args = parser.parse_args(argv)
    rounds = args.rounds or (7 if args.quick else 21)
    clock = CLOCKS[args.clock]
    mod_a, path_a = load(args.a, "packweaver_a")
    mod_b, path_b = load(args.b, "packweaver_b")
    if mod_a is mod_b:
        raise SystemExit("both paths loaded the same module")
    load_avg = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"A = {path_a}\nB = {path_b}\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs, load {load_avg:.2f}; "
          f"{rounds} rounds, A and B in turn ({args.clock} time)")
    with_recipe = hasattr(mod_a, "Recipe") and hasattr(mod_b, "Recipe")
    if not with_recipe:
        lacking = [x for x, m in (("A", mod_a), ("B", mod_b)) if not hasattr(m, "Recipe")]
        print(f"(Recipe cases skipped: {' and '.join(lacking)} {'lacks' if len(lacking) == 1 else 'lack'} Recipe)")
    ca, cb = cases(mod_a, with_recipe), cases(mod_b, with_recipe)
    # Same results from both builds, or the comparison is meaningless.
    for (name, fa, _), (_, fb, _) in zip(ca, cb):
        assert fa() == fb(), name
    print(f"{'function':34} {'A ns':>11} {'B ns':>11} {'B/A':>6} {'(fastest)':>9} {'10%..90% of rounds':>19}")
    for (name, fa, number), (_, fb, _) in zip(ca, cb):
        ta, tb = timeit.Timer(fa, timer=clock), timeit.Timer(fb, timer=clock)
        a, b = [], []
        for k in range(rounds):
            # Alternate which goes first, so that neither always follows the other.
            first, second = ((ta, a), (tb, b)) if k % 2 == 0 else ((tb, b), (ta, a))
            for timer, into in (first, second):
                into.append(timer.timeit(number) / number * 1e9)
        ratios = sorted(y / x for x, y in zip(a, b))
        lo, hi = ratios[len(ratios) // 10], ratios[-1 - len(ratios) // 10]
        print(f"{name:34} {statistics.median(a):11.0f} {statistics.median(b):11.0f} "
              f"{statistics.median(b) / statistics.median(a):6.2f} {min(b) / min(a):9.2f} {lo:9.2f} .. {hi:5.2f}",
              flush=True)


if __name__ == "__main__":
    main()
