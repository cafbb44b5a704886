"""Arrays whose length varies, into columns: ccsdspy's VariableLength against Recipe.unpack_columns.

    python bench/bench_var_arrays.py [--copies N]

The stream is ccsdspy's `var_length_packets_with_footer.bin` (10 packets of
2 to 29 16-bit samples and a footer) repeated N times (12,249 by default:
122,490 packets), read from a file. ccsdspy reads a tenth of it (it takes
about 0.15 ms a packet); times are per packet, file reading and indexing
included, the best of several runs. Not a test.
"""

import argparse
import logging
import pathlib
import tempfile
import warnings

import ccsdspy

import packweaver as pw
from bench_packets import best

logging.getLogger("ccsdspy").setLevel(logging.ERROR)
warnings.filterwarnings("ignore")
SAMPLE = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data" / "var_length" / "var_length_packets_with_footer.bin"
HEADER = [("CCSDS_VERSION_NUMBER", 3), ("CCSDS_PACKET_TYPE", 1), ("CCSDS_SECONDARY_FLAG", 1), ("CCSDS_APID", 11),
          ("CCSDS_SEQUENCE_FLAG", 2), ("CCSDS_SEQUENCE_COUNT", 14), ("CCSDS_PACKET_LENGTH", 16)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--copies", type=int, default=12249)
    args = parser.parse_args()
    sample = SAMPLE.read_bytes()
    recipe = pw.Recipe([{"name": n, "encoding": "unsigned", "bits": b} for n, b in HEADER]
                       + [{"name": "data", "encoding": "unsigned", "bits": 16, "count": "rest"},
                          {"name": "footer", "encoding": "unsigned", "bits": 16}])
    theirs = ccsdspy.VariableLength([ccsdspy.PacketArray(name="data", data_type="uint", bit_length=16,
                                                         array_shape="expand"),
                                     ccsdspy.PacketField(name="footer", data_type="uint", bit_length=16)])
    with tempfile.TemporaryDirectory() as folder:
        whole = pathlib.Path(folder) / "stream.bin"
        tenth = pathlib.Path(folder) / "tenth.bin"
        whole.write_bytes(sample * args.copies)
        tenth.write_bytes(sample * max(1, args.copies // 10))
        packets, their_packets = 10 * args.copies, 10 * max(1, args.copies // 10)

        def ours(text="str"):
            data = whole.read_bytes()
            return recipe.unpack_columns(data, pw.CCSDS.index(data), text=text)

        values, offsets = ours()["data"]
        assert len(offsets) == packets + 1
        t_ours = best(ours, 7) / packets
        t_them = best(lambda: theirs.load(tenth, include_primary_header=True), 1) / their_packets
        t_pack = best(lambda: recipe.pack_columns(ours()), 3) / packets
    print(f"packets: {packets} (ccsdspy: {their_packets}), samples: {len(values)}")
    print(f"ccsdspy VariableLength.load : {t_them * 1e6:10.2f} us/packet")
    print(f"Recipe.unpack_columns       : {t_ours * 1e6:10.3f} us/packet   ratio {t_them / t_ours:8.0f}x")
    print(f"unpack_columns + pack_columns: {t_pack * 1e6:9.3f} us/packet")


if __name__ == "__main__":
    main()
