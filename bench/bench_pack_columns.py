"""Recipe.pack_columns: ns per value on the 32-field frame from NumPy columns, against a pack_into loop.

    python bench/bench_pack_columns.py [--packets N]

The frame has sub-byte, two's complement and float fields (bench_packets.frame_fields(32)).
Columns come from unpack_columns of packed packets, turned into NumPy arrays; the
pack_into loop writes the same packets one by one from per-packet dicts. Not a test.
"""

import argparse

import numpy as np

import bench_packets
from bench_packets import best
import packweaver as pw




def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=200_000)
    args = parser.parse_args()
    items = bench_packets.recipe_of(bench_packets.frame_fields(32))
    recipe = pw.Recipe(items)
    n = args.packets
    one = recipe.pack()
    columns = {k: np.asarray(v) for k, v in recipe.unpack_columns(one * n).items()}
    values = len(items) * n
    ours = best(lambda: recipe.pack_columns(columns))
    assert recipe.pack_columns(columns) == one * n
    buffer = bytearray(len(one) * n)
    into = best(lambda: recipe.pack_columns_into(buffer, columns))
    rows = [dict(zip(columns, row)) for row in zip(*(c.tolist() for c in columns.values()))][:20_000]
    size = recipe.size
    loop_buffer = bytearray(size * len(rows))

    def loop():
        for k, row in enumerate(rows):
            recipe.pack_into(loop_buffer, 8 * size * k, row)

    per_loop = best(loop, 3) / len(rows)
    print(f"{n} packets of {size} bytes, {len(items)} fields ({values} values)")
    print(f"pack_columns       {ours / values * 1e9:6.2f} ns/value  {n / ours / 1e6:7.2f} M packets/s")
    print(f"pack_columns_into  {into / values * 1e9:6.2f} ns/value  (every value checked first)")
    print(f"pack_into loop     {per_loop * 1e9 / len(items):6.2f} ns/value  {1 / per_loop / 1e6:7.3f} M packets/s")
    print(f"ratio: pack_columns is {per_loop * n / ours:.0f}x the pack_into loop")


if __name__ == "__main__":
    main()
