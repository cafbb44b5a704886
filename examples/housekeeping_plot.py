"""A day of housekeeping telemetry: write it, read it back, plot it.

Simulates one housekeeping packet a second for a day (or --seconds), each a
48-bit primary header (3, 1, 1, 11, 2, 14 and 16-bit fields), a 32-bit
on-board time, then integers, floats and status bits at whatever bit
positions they fall on. The packets go to a file; a bit-exact Recipe reads
the file back into columns, and matplotlib plots three of them against time
into a PNG. Prints the decode rate in packets per second.

    python -m pip install '.[examples]'
    python examples/housekeeping_plot.py --seconds 3600 --out /tmp/plots

Needs matplotlib (the examples extra); packweaver itself does not.
"""

import argparse
import math
import os
import random
import sys
import time

import packweaver


def field(name, encoding, bits):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


LAYOUT = [
    # primary header: 48 bits
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("secondary_header", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("sequence_flags", "unsigned", 2),
    field("sequence_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
    # secondary header: on-board time in seconds
    field("time", "unsigned", 32),
    # integers
    field("board_temperature", "twos_complement", 12),  # 0.1 degC per count
    field("bus_current", "unsigned", 10),  # mA
    field("reset_count", "packed_bcd", 8),
    # floats
    field("bus_voltage", "ieee754_f32", 32),
    field("tank_pressure", "ieee754_f16", 16),
    # status bits
    field("heater_on", "unsigned", 1),
    field("valve_open", "unsigned", 1),
    field("safe_mode", "unsigned", 1),
    field("mode", "unsigned", 3),
]

APID = 0x2A5
EPOCH = 800_000_000  # on-board seconds at the start of the day


def simulate(seconds, seed):
    """Yields one packet's values (in LAYOUT order) a second."""
    rng = random.Random(seed)
    recipe = packweaver.Recipe(LAYOUT)
    data_length = recipe.size - 6 - 1
    heater = 0
    for t in range(seconds):
        day = 2 * math.pi * t / 86400
        orbit = 2 * math.pi * t / 5400  # a 90-minute orbit
        temperature = 18 + 6 * math.sin(orbit) + 2 * math.sin(day) + rng.gauss(0, 0.2)
        # A thermostat: the heater switches on below 14 degC and off above 16.
        heater = 1 if temperature < 14 else 0 if temperature > 16 else heater
        voltage = 28 + 0.6 * math.cos(orbit) - 0.4 * heater + rng.gauss(0, 0.02)
        current = min(1023, max(0, int(420 + 150 * heater + 30 * math.sin(orbit) + rng.gauss(0, 5))))
        pressure = 1650 - 0.004 * t + rng.gauss(0, 0.5)
        yield [0, 0, 1, APID, 3, t % 16384, data_length, EPOCH + t,
               round(temperature * 10), current, t // 40000,
               voltage, pressure, heater, int(t % 3600 < 60), 0, 2 + heater]


def write_packets(path, seconds, seed):
    recipe = packweaver.Recipe(LAYOUT)
    buffer = bytearray(recipe.size * seconds)
    for k, values in enumerate(simulate(seconds, seed)):
        recipe.pack_into(buffer, 8 * k * recipe.size, values)
    with open(path, "wb") as out:
        out.write(buffer)
    return recipe.size


def decode(path, repeats):
    """The file's columns, and the best decode time of `repeats` runs."""
    reader = packweaver.Recipe(LAYOUT, bit_exact=True)
    with open(path, "rb") as packets:
        data = packets.read()
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        columns = reader.unpack_columns(data)
        best = min(best, time.perf_counter() - start)
    return columns, best


def check(columns, seconds, seed):
    """The integer columns hold exactly what was packed."""
    names = [item["name"] for item in LAYOUT]
    integers = [n for n in names if n not in ("bus_voltage", "tank_pressure")]
    for t, values in zip(range(min(seconds, 1000)), simulate(seconds, seed)):
        sent = dict(zip(names, values))
        for name in integers:
            if columns[name][t] != sent[name]:
                raise SystemExit(f"packet {t}: {name} reads back as {columns[name][t]}, not {sent[name]}")


def plot(columns, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    hours = [(t - EPOCH) / 3600 for t in columns["time"]]
    fig, axes = plt.subplots(3, 1, sharex=True, figsize=(10, 7), constrained_layout=True)
    axes[0].plot(hours, [c / 10 for c in columns["board_temperature"]], lw=0.6, color="tab:red")
    axes[0].set_ylabel("board temperature\n[degC]")
    axes[1].plot(hours, columns["bus_voltage"], lw=0.6, color="tab:blue")
    axes[1].set_ylabel("bus voltage\n[V]")
    axes[2].step(hours, columns["heater_on"], lw=0.6, color="tab:orange", where="post")
    axes[2].set_ylabel("heater on")
    axes[2].set_yticks([0, 1])
    axes[2].set_xlabel("hours since the start of the day")
    fig.suptitle(f"housekeeping, APID {APID:#x}: {len(hours)} packets")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=86400, help="packets to simulate, one a second (default: a day)")
    parser.add_argument("--out", default=".", help="folder for the packet file and the PNG")
    parser.add_argument("--seed", type=int, default=1, help="seed of the simulated noise")
    parser.add_argument("--repeats", type=int, default=5, help="decode runs to time; the best counts")
    args = parser.parse_args(argv)
    if args.seconds < 1:
        parser.error("--seconds must be at least 1")

    os.makedirs(args.out, exist_ok=True)
    packets_path = os.path.join(args.out, "housekeeping.bin")
    size = write_packets(packets_path, args.seconds, args.seed)
    print(f"wrote {args.seconds} packets of {size} bytes to {packets_path}")

    columns, seconds = decode(packets_path, max(1, args.repeats))
    count = len(columns["time"])
    check(columns, args.seconds, args.seed)
    print(f"decoded {count} packets in {seconds * 1e3:.2f} ms: {count / seconds:,.0f} packets/s")

    png = os.path.join(args.out, "housekeeping.png")
    plot(columns, png)
    print(f"plotted board_temperature, bus_voltage, heater_on to {png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
