"""ccsdspy's housekeeping samples read from the file: ccsdspy against Recipe.from_csv, ns per value.

    python bench/bench_housekeeping.py

For each APID of ccsdspy's bundled `hs` data: the definition read with
Recipe.from_csv, the file indexed with CCSDS.index and read with
unpack_columns (text as lists of str, and as UTF-8 data plus offsets),
against ccsdspy's FixedLength.load of the same file. Times are the best of
several runs, file reading included. Not a test.
"""

import logging
import pathlib

import ccsdspy

import packweaver as pw
from bench_packets import best

logging.getLogger("ccsdspy").setLevel(logging.ERROR)
HS = pathlib.Path(ccsdspy.__file__).parent / "tests" / "data" / "hs"




def main():
    print(f"{'APID':>6} {'packets':>8} {'values':>9} {'ccsdspy ns/v':>13} {'str ns/v':>9} {'utf8 ns/v':>10}"
          f" {'ratio str':>10} {'ratio utf8':>11}")
    for folder in sorted(p.parent for p in HS.glob("apid*/defs.csv")):
        (path,) = folder.glob("*.tlm")
        recipe = pw.Recipe.from_csv(folder / "defs.csv")
        theirs = ccsdspy.FixedLength.from_file(folder / "defs.csv")

        def ours(text):
            data = path.read_bytes()
            return recipe.unpack_columns(data, pw.CCSDS.index(data), text=text)

        columns = ours("str")
        packets = len(next(iter(columns.values())))
        values = packets * len(columns)
        t_them = best(lambda: theirs.load(path, include_primary_header=True))
        t_str = best(lambda: ours("str"))
        t_utf8 = best(lambda: ours("utf8"))
        print(f"{folder.name[4:]:>6} {packets:>8} {values:>9} {t_them / values * 1e9:>13.2f} {t_str / values * 1e9:>9.2f}"
              f" {t_utf8 / values * 1e9:>10.2f} {t_them / t_str:>10.1f} {t_them / t_utf8:>11.1f}")


if __name__ == "__main__":
    main()
