"""Pack a telemetry frame from a recipe and read it back.

The recipe lays out a small housekeeping frame: a header of byte-aligned
fields, a few status flags packed into single bits, and an instrument name.
"""

import packweaver

FRAME = [
    # name, encoding, bits, byte order, reverse bits, value
    {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": 0x07FF},
    {"name": "sequence", "encoding": "unsigned", "bits": 16, "byte_order": "little", "reverse_bits": False, "value": 4242},
    {"name": "temperature", "encoding": "twos_complement", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": -273},
    {"name": "voltage", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big", "reverse_bits": False, "value": 28.5},
    {"name": "counter", "encoding": "packed_bcd", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": 1234},
    {"name": "instrument", "encoding": "utf-8", "bits": 64, "byte_order": "big", "reverse_bits": False, "value": "MAG-2"},
    # Status flags: single bits at absolute positions after the 160 bits above.
    {"name": "heater_on", "encoding": "unsigned", "bits": 1, "byte_order": "big", "reverse_bits": False, "value": 1, "offset_bits": 160},
    {"name": "safe_mode", "encoding": "unsigned", "bits": 1, "byte_order": "big", "reverse_bits": False, "value": 0},
    {"name": "mode", "encoding": "unsigned", "bits": 6, "byte_order": "big", "reverse_bits": False, "value": 0b101101},
]


def main() -> None:
    packet = packweaver.pack_parameters(FRAME)
    print(f"packed {len(packet)} bytes: {packet.hex(' ')}")

    # The reader cuts whole bytes, so read the byte-aligned fields by name
    # and the flag byte as one field.
    layout = [dict(item) for item in FRAME[:6]]
    layout.append({"name": "flags", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False})
    values = packweaver.unpack_parameters(packet, 0, layout)
    for name, value in values.items():
        print(f"{name:>12}: {value!r}")

    flags = values["flags"]
    print(f"{'heater_on':>12}: {flags >> 7}")
    print(f"{'safe_mode':>12}: {(flags >> 6) & 1}")
    print(f"{'mode':>12}: {flags & 0x3F:#08b}")
    assert values["temperature"] == -273 and values["voltage"] == 28.5
    assert values["instrument"] == "MAG-2\x00\x00\x00"


if __name__ == "__main__":
    main()
