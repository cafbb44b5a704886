"""unpack_array and pack_array: ns per sample, against NumPy's own unpacking.

    python bench/bench_arrays.py

For widths of 10, 12, 16, 24 and 32 bits, 8 MB of samples packed back to
back: unpack_array's time per sample (the new array included), NumPy's
where it has a direct road (whole-byte widths by a big-endian view; 12 bits
by the usual reshape-and-shift recipe), and pack_array's. Not a test.
"""


import packweaver as pw
from bench_packets import best




def numpy_road(np, data, bits):
    if bits in (16, 32):
        return lambda: np.frombuffer(data, dtype=f">u{bits // 8}").astype(f"u{bits // 8}")
    if bits == 12:
        def twelve():
            b = np.frombuffer(data[: len(data) // 3 * 3], dtype=np.uint8).reshape(-1, 3).astype(np.uint16)
            out = np.empty(len(b) * 2, dtype=np.uint16)
            out[0::2] = (b[:, 0] << 4) | (b[:, 1] >> 4)
            out[1::2] = ((b[:, 1] & 0xF) << 8) | b[:, 2]
            return out
        return twelve
    return None


def main():
    try:
        import numpy as np
    except ImportError:
        np = None
    data = bytes(range(256)) * (8 << 12)
    print(f"{len(data) >> 20} MiB of packed samples")
    for bits in (10, 12, 16, 24, 32):
        n = len(data) * 8 // bits
        t = best(lambda: pw.unpack_array(data, bits))
        line = f"{bits:2d} bits: unpack_array {t / n * 1e9:5.2f} ns/sample ({n / t / 1e6:6.0f} M samples/s)"
        road = numpy_road(np, data, bits) if np is not None else None
        if road is not None:
            tn = best(road)
            line += f", numpy {tn / n * 1e9:5.2f} ns ({tn / t:4.2f}x the time)"
        values = pw.unpack_array(data, bits)
        tp = best(lambda: pw.pack_array(values, bits), 3)
        line += f"; pack_array {tp / n * 1e9:5.2f} ns/sample"
        print(line)


if __name__ == "__main__":
    main()
