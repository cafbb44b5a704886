"""Time the 20 text functions against the interpreter's own codecs doing the same job.

    python bench/bench_text.py [--quick] [--clock cpu|wall]

Not a test. Each encode_X(text) is timed against text.encode(codec) and each
decode_X(data) against data.decode(codec), on the same input:

    utf8                     "utf-8"
    utf16le/be, utf32le/be   "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be"
    utf16, utf32             "utf-16", "utf-32". Ours writes a big-endian mark and
                             big-endian units; the interpreter writes its native
                             order (little-endian on x86/ARM), so the encoders do
                             the same amount of work but not byte-for-byte the same
                             output. The decoders read our big-endian output, which
                             both sides take from its mark.
    us_ascii                 "ascii"
    iso_8859_1               "latin-1"
    windows_1252             "cp1252" (the interpreter's table codec)

Inputs: "ascii 1M" is 1 MiB of ASCII text; "mixed 1M" is 1 MiB (as UTF-8) of
text valid for the codec: Latin, Greek, CJK and emoji among ASCII words for the
Unicode forms, Latin-1 letters for iso_8859_1, letters of the windows-1252 range
(including € and Ÿ) for windows_1252, and nothing for us_ascii; "16 bytes" is a
16-character ASCII text for the encoders and 16 bytes of encoded text for the
decoders. Rates for the 1 MiB inputs are GB/s of the bytes side (the decoder's
input, the encoder's output); the 16-byte inputs are reported in ns per call.
Ours and theirs are timed alternately; each run is long enough to swamp the
timer, and the median and the fastest of the runs are kept. Runs are timed by
the CPU time of the benchmark's thread, so that what other processes of a
shared machine take is not counted (--clock wall times elapsed time instead). The ratio is a time
ratio ours/theirs: below 1.0 means packweaver is faster.

For the 16-byte inputs the interpreter's side includes its codec lookup: the
names "utf-8", "utf-16", "utf-32", "latin-1" and "ascii" take its built-in fast
path, while "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be" and "cp1252" go
through the codec registry on every call, which is what a caller of
str.encode / bytes.decode pays.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

import packweaver as pw

NAMES = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "iso_8859_1", "windows_1252"]
CODEC = {"utf8": "utf-8", "utf16": "utf-16", "utf16le": "utf-16-le", "utf16be": "utf-16-be", "utf32": "utf-32",
         "utf32le": "utf-32-le", "utf32be": "utf-32-be", "us_ascii": "ascii", "iso_8859_1": "latin-1",
         "windows_1252": "cp1252"}
MIB = 1 << 20

# Pieces of mixed text, each valid in the codecs that use it.
UNICODE_WORDS = ["Größe", "façade", "naïve", "Ελληνικά", "γράμματα", "中文字符", "测试数据", "😀", "🚀👍", "ñandú", "Ωμέγα"]
LATIN1_WORDS = ["Größe", "façade", "naïve", "Ærøskøbing", "señor", "déjà", "Ångström", "£5", "½°", "©®"]
W1252_WORDS = ["Größe", "€100", "Ÿvonne", "œuvre", "Šibenik", "“quoted”", "naïve…", "Žižek", "™", "déjà—vu", "†‰"]


def mixed_text(words):
    """About 1 MiB of UTF-8: ASCII words with the given words scattered among them."""
    parts, size, k = [], 0, 0
    filler = ["frame", "packet", "telemetry", "of", "the", "sensor", "reading"]
    while size < MIB:
        word = words[k % len(words)] if k % 3 == 0 else filler[k % len(filler)]
        parts.append(word)
        size += len(word.encode()) + 1
        k += 1
    text = " ".join(parts).encode()[:MIB].decode(errors="ignore")
    return text


def inputs(name):
    """(label, text) pairs for the codec `name`."""
    ascii_text = ("The quick brown fox jumps over the lazy dog. " * (MIB // 45 + 1))[:MIB]
    mixed = {"us_ascii": None, "iso_8859_1": LATIN1_WORDS, "windows_1252": W1252_WORDS}.get(name, UNICODE_WORDS)
    rows = [("ascii 1M", ascii_text)]
    if mixed is not None:
        rows.append(("mixed 1M", mixed_text(mixed)))
    rows.append(("16 bytes", "0123456789abcdef"))
    return rows


def small_bytes(name):
    """16 bytes of encoded text for the decoder `name` (its mark included for the plain forms)."""
    chars = {"utf16": 7, "utf16le": 8, "utf16be": 8, "utf32": 3, "utf32le": 4, "utf32be": 4}.get(name, 16)
    data = getattr(pw, "encode_" + name)("0123456789abcdef"[:chars])
    assert len(data) == 16, (name, len(data))
    return data


# What a run is timed by: the CPU time of the calling thread by default, so
# that the time the other processes of a shared machine take the cores from
# the benchmark is not counted (--clock wall for elapsed time).
CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}
NOW = [CLOCKS["cpu"]]


def clock(fn, arg, loops):
    now = NOW[0]
    t0 = now()
    for _ in range(loops):
        fn(arg)
    return (now() - t0) / loops


def loops_for(fn, arg, target_ns):
    loops = 1
    while True:
        per_call = clock(fn, arg, loops)
        if per_call * loops >= target_ns / 10 or loops >= 1 << 24:
            return max(1, int(target_ns / max(per_call, 1.0)))
        loops *= 10


def compare(ours, theirs, arg, repeat, target_ns):
    """Median and fastest ns per call of each, timed alternately."""
    n_ours, n_theirs = loops_for(ours, arg, target_ns), loops_for(theirs, arg, target_ns)
    a, b = [], []
    for _ in range(repeat):
        a.append(clock(ours, arg, n_ours))
        b.append(clock(theirs, arg, n_theirs))
    return (statistics.median(a), min(a)), (statistics.median(b), min(b))


def rate(ns, size):
    return f"{size / ns:8.2f} GB/s" if size >= 1024 else f"{ns:8.0f} ns  "


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs (well under a minute)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of the benchmark's thread (default); wall: elapsed time")
    args = parser.parse_args(argv)
    NOW[0] = CLOCKS[args.clock]
    repeat, target_ns = (5, 10_000_000) if args.quick else (11, 40_000_000)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"Python {sys.version.split()[0]} on {platform.machine()}, {os.cpu_count()} CPUs, load {load:.2f}; "
          f"{repeat} runs of ~{target_ns / 1e6:.0f} ms each ({args.clock} time); "
          "median (ratio of the fastest runs in brackets)")
    print(f"{'function':22} {'input':9} {'ours':>13} {'theirs':>13} {'ours/theirs':>17}")
    started = time.perf_counter()
    for direction in ("decode", "encode"):
        for name in NAMES:
            fn = getattr(pw, f"{direction}_{name}")
            codec = CODEC[name]
            for label, text in inputs(name):
                if direction == "encode":
                    arg, theirs = text, (lambda s, c=codec: s.encode(c))
                    size = len(fn(text))
                    assert name in ("utf16", "utf32") or fn(text) == theirs(text), (name, label)
                else:
                    arg = small_bytes(name) if label == "16 bytes" else getattr(pw, "encode_" + name)(text)
                    theirs = lambda b, c=codec: b.decode(c)
                    assert fn(arg) == theirs(arg), (name, label)
                    size = len(arg)
                if label == "16 bytes":
                    size = 0  # report ns per call
                (ours_med, ours_min), (theirs_med, theirs_min) = compare(fn, theirs, arg, repeat, target_ns)
                print(f"{direction}_{name:15} {label:9} {rate(ours_med, size):>13} {rate(theirs_med, size):>13} "
                      f"{ours_med / theirs_med:6.2f} ({ours_min / theirs_min:5.2f})", flush=True)
    print(f"took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
