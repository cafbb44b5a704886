"""Pack a telemetry frame from a recipe and read it back.

The recipe lays out a small housekeeping frame: a header of byte-aligned
fields, a few status flags packed into single bits, and an instrument name.
A Recipe checks the items once, packs the frame, and reads every field back
from its exact bit position, flags included.
"""

import packweaver

FRAME = [
    # byte_order ("big") and reverse_bits (False) may be left out
    {"name": "apid", "encoding": "unsigned", "bits": 16, "value": 0x07FF},
    {"name": "sequence", "encoding": "unsigned", "bits": 16, "byte_order": "little", "value": 4242},
    {"name": "temperature", "encoding": "twos_complement", "bits": 16, "value": -273},
    {"name": "voltage", "encoding": "ieee754_f32", "bits": 32, "value": 28.5},
    {"name": "counter", "encoding": "packed_bcd", "bits": 16, "value": 1234},
    {"name": "instrument", "encoding": "utf-8", "bits": 64, "value": "MAG-2"},
    # Status flags: single bits at absolute positions after the 160 bits above.
    {"name": "heater_on", "encoding": "unsigned", "bits": 1, "value": 1, "offset_bits": 160},
    {"name": "safe_mode", "encoding": "unsigned", "bits": 1, "value": 0},
    {"name": "mode", "encoding": "unsigned", "bits": 6, "value": 0b101101},
]


def main() -> None:
    frame = packweaver.Recipe(FRAME)
    packet = frame.pack()
    print(f"packed {len(packet)} bytes: {packet.hex(' ')}")

    values = frame.unpack(packet)
    for name, value in values.items():
        print(f"{name:>12}: {value!r}")

    # Every value comes back; text keeps the zero bytes that padded it.
    assert values["instrument"] == "MAG-2\x00\x00\x00"
    assert all(values[item["name"]] == item["value"] for item in FRAME if item["name"] != "instrument")


if __name__ == "__main__":
    main()
