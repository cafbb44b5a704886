"""Reference-leak check for packweaver, run under a debug build of the interpreter.

Every one of the module's functions is called on its success paths and its
failure paths (argument binding, conversions, range and format checks, every
kind of engine failure, recipes that hooks edit during the call). The whole
workload runs a few times to warm up, then several measured times; after each
run the garbage collector runs and sys.gettotalrefcount() and
sys.getallocatedblocks() are read. A counter that grows in every measured run
is a leak (one that grows in some runs only is noise: caches filling, free
lists, a collection landing elsewhere). When the whole workload leaks, each
group of calls is measured on its own to say where.

    python3.11-dbg tests/refleak/check.py [--warmups 3] [--runs 4] [--reps 3]
"""
import argparse
import array
import ctypes
import gc
import importlib.util
import itertools
import operator
import pathlib
import pickle
import sys
import sysconfig
import time

import packweaver as pw

HERE = pathlib.Path(__file__).resolve().parent


def load_hostile():
    """The tables of recipes edited during the call, from the test suite."""
    found = importlib.util.spec_from_file_location("hostile_cases", HERE.parent / "test_hostile.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        raise RuntimeError("no float")


class Text(str):
    pass


class Bytes(bytes):
    pass


# ---- single-value functions ----

INT_VALUES = [0, 1, -1, 5, 127, 128, -128, -129, 2**63 - 1, -2**63, 2**63, 2**64, -2**64, 10**30,
              True, 1.5, "1", None, Index(3), Index(2**70), Raising()]
BITS = [0, 1, 4, 8, 16, 63, 64, 65, 200, -1, 2**64, 1.5, Index(8), Raising(), None]
UNSIGNED = [0, 1, 0x3C00, 0x7BFF, 0x7C01, 0x3F800000, 0x7FF8000000000001, 2**64 - 1, 2**64, 2**128 - 1, 2**128,
            -1, 1.0, "x", Index(0x3C00), Raising()]
FLOATS = [0.0, -0.0, 1.0, 65504.0, 65520.0, 1e-8, 3.4e38, 1e300, float("inf"), float("nan"), 7, 2**1100,
          Real(2.5), Index(4), Raising(), "1.0", None]
SIGNED = [False, True, 1, None, "True"]
TEXTS = ["", "abc", "\u00e9\u20ac", "\u0080\u009f", "\U0001F600" * 3, "a" * 300, "\ud800", "a\udfff", Text("xy"),
         b"abc", 1, None]
BYTES = [b"", b"abc", bytes(range(256)), b"\xef\xbb\xbfA", b"\xfe\xff\x00A", b"\xff\xfe\x00\xd8", b"\xff\xfeA\x00",
         b"\x00\x00\xfe\xff\x00\x00\x00A", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80", b"\x00\x00\x11\x00",
         b"\x80\x81\x9f", b"A" * 301, Bytes(b"xy"), bytearray(b"a"), memoryview(b"a"), "abc", None]
PARAMETER_VALUES = {"bits": BITS, "signed": SIGNED, "text": TEXTS, "bytes": BYTES, "_value": [0, 1.0, "x", None]}


def parameters(fn):
    text = fn.__text_signature__.strip("()")
    return [p.split("=")[0] for p in text.split(", ")]


def value_choices(name):
    if name.startswith("encode_ieee754"):
        return FLOATS
    if name.startswith("decode_ieee754") and "1985" not in name:
        return UNSIGNED
    return INT_VALUES


def binding_calls(fn, params):
    """Wrong numbers of arguments, unknown and repeated keywords."""
    first = {"value": 1, "bits": 8, "signed": False, "text": "a", "bytes": b"a", "_value": 0,
             "packet_bytes": b"", "offset_bits": 0, "recipe": []}
    good = [first[p] for p in params]
    return [
        (fn, (), {}),
        (fn, tuple(good) + (1, 2), {}),
        (fn, tuple(good), {"nope": 1}),
        (fn, tuple(good), {params[0]: good[0]}),
        (fn, (), {p: v for p, v in zip(params, good)}),
        (fn, tuple(good[:1]), {}),
    ]


def codec_calls(fn):
    params = parameters(fn)
    choices = [value_choices(fn.__name__) if p == "value" else PARAMETER_VALUES[p] for p in params]
    calls = [(fn, args, {}) for args in itertools.product(*choices)]
    if "signed" in params:
        calls += [(fn, args[:2], {"signed": args[2]}) for args in itertools.product(*choices)][::7]
    return calls + binding_calls(fn, params)


# ---- the packet functions ----

PACK_ENCODINGS = ["unsigned", "twos_complement", "twosComplement", "ones_complement", "ONESCOMPLEMENT",
                  "sign_magnitude", "signMagnitude", "bcd", "bcd_signed", "bcd-signed", "packed_bcd", "packed-bcd",
                  "packed_bcd_signed", "Packed-BCD-Signed", "ieee754_f16", "ieee754-f32", "IEEE754_F64", "utf8",
                  "UTF-8", "utf16", "utf-16le", "utf16be", "utf32", "utf32le", "utf-32be", "us_ascii", "iso-8859-1",
                  "windows_1252", "PAC\u212aED_BCD"]
READ_ONLY = ["latin1", "ieee754_f128", "ieee754-f128", "ti_f32", "ti_f40", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64",
             "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32", "mil-std-1750a-f48"]
UNSUPPORTED = ["", "utf_8", " unsigned", "ascii", "\u00fctf8", "x" * 100]


def item(bits=8, value=1, enc="unsigned", order="big", rev=False, name="p", **extra):
    d = {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": rev, "value": value}
    d.update(extra)
    return {k: v for k, v in d.items() if v is not OMIT}


OMIT = object()


def sample_value(enc):
    e = enc.lower()
    if "ieee" in e:
        return 1.5
    if any(k in e for k in ("utf", "ascii", "8859", "1252")):
        return "Az\u00e9"
    if "bcd" in e:
        return 42
    return -3 if "complement" in e or "magnitude" in e else 200


def packet_recipes():
    """Recipes for both engines: every encoding, widths, orders, offsets; then one recipe per kind of failure."""
    recipes = []
    for enc in PACK_ENCODINGS + READ_ONLY + UNSUPPORTED:
        for bits, order, rev in [(8, "big", False), (16, "little", True), (32, "BIG", False), (64, "Little", True),
                                 (12, "big", True), (72, "big", False), (130, "little", True), (0, "big", False)]:
            recipes.append([item(bits, sample_value(enc), enc, order, rev)])
    recipes += [
        [item(4, 10), item(4, 5), item(12, 0xABC, offset_bits=Index(20)), item(8, 3, offset_bits=0)],
        [item(8, 1, name=Text("sub")), item(8, 2, name="\u00e9"), item(8, 3, name="sub")],
        [item(Index(16), Index(300)), item(32, Real(2.0), "ieee754_f32"), item(8, True)],
        [item(24, "abcdef", "utf8"), item(8 * 70, "long text " * 5, "utf16")],
        [{**item(), "extra": object(), 7: 8}],
        [dict(item())] * 70,  # more items than fit inline
        # one failure each
        [1], ["item"], [None], [item(), [("name", "p")]],
        [item(name=OMIT)], [item(enc=OMIT)], [item(bits=OMIT)], [item(order=OMIT)], [item(rev=OMIT)],
        [item(value=OMIT)], [item(value=OMIT, name=Text("t\u00e9"))],
        [item(name=1)], [item(enc=b"unsigned")], [item(bits="8")], [item(bits=-1)], [item(bits=2**64)],
        [item(bits=1.0)], [item(order=None)], [item(rev=1)], [item(rev=None)], [item(offset_bits=None)],
        [item(offset_bits=-1)], [item(offset_bits=2**64)], [item(bits=Raising())], [item(offset_bits=Raising())],
        [item(name="\ud800")], [item(enc="utf8\ud800")], [item(order="big\udc00")], [item(8, "\ud800", "utf8")],
        [item(8, "\ud800", "utf16")], [item(8, "\u20ac", "us_ascii")], [item(8, "\u0100", "iso_8859_1")],
        [item(8, "\u0081", "windows_1252")],
        [item(value=256)], [item(value=-1)], [item(value=2**64)], [item(value=1.5)], [item(value="1")],
        [item(value=Raising())], [item(8, 200, "twos_complement")], [item(8, -1, "bcd")], [item(4, 99, "packed_bcd")],
        [item(65, 1, "twos_complement")], [item(32, "x", "ieee754_f32")], [item(32, Raising(), "ieee754_f64")],
        [item(32, 2**2000, "ieee754_f64")], [item(8, 1, "utf8")], [item(order="middle")],
        [item(enc="nonsense", order="middle")], [item(enc="b\u0130g")],
        [item(8, 1, offset_bits=2**64 - 1)], [item(2**64 - 1, 1, offset_bits=2**64 - 1)],
        [item(8, 1, offset_bits=2**62)],  # a packet that cannot be allocated
        [item(8, 1), item(bits=OMIT)],
    ]
    return recipes


def packet_calls():
    packets = [b"", b"\x01", b"\xab\xcd", bytes(range(1, 17)), b"\xff" * 20, b"\x80\x00" * 40, Bytes(b"\x41\x42")]
    calls = []
    for recipe in packet_recipes():
        calls.append((pw.pack_parameters, (recipe,), {}))
        calls.append((pw.pack_parameters, (tuple(recipe),), {}))
        for packet in packets:
            calls.append((pw.unpack_parameters, (packet, 0, recipe), {}))
        calls.append((pw.unpack_parameters, (packets[4], 8, recipe), {}))
        calls.append((pw.unpack_parameters, (), {"packet_bytes": packets[3], "offset_bits": Index(3),
                                                 "recipe": recipe}))
    for bad in ["recipe", {"name": "p"}, 5, None, iter([item()]), {item()["name"]}]:
        calls.append((pw.pack_parameters, (bad,), {}))
        calls.append((pw.unpack_parameters, (b"\x01", 0, bad), {}))
    for packet, offset in [(bytearray(b"\x01"), 0), (memoryview(b"\x01"), 0), ("01", 0), (None, 0), (b"\x01", -1),
                           (b"\x01", 2**64), (b"\x01", 1.0), (b"\x01", Raising()), (b"\x01", 2**64 - 1)]:
        calls.append((pw.unpack_parameters, (packet, offset, [item()]), {}))
    calls += binding_calls(pw.pack_parameters, ["recipe"])
    calls += binding_calls(pw.unpack_parameters, ["packet_bytes", "offset_bits", "recipe"])
    return calls


def hostile_calls(hostile):
    """Each case of the test tables builds a fresh recipe per call, edits it through hooks and lets it go."""
    def pack_case(build):
        recipe = []
        recipe.extend(build(recipe))
        return pw.pack_parameters(recipe)

    def unpack_case(build):
        recipe = []
        recipe.extend(build(recipe))
        return pw.unpack_parameters(b"\x01\x02", 0, recipe)

    calls = [(pack_case, (build,), {}) for _, build, _ in hostile.PACK]
    calls += [(unpack_case, (build,), {}) for _, build, _ in hostile.UNPACK]
    return calls


def recipe_type_calls(hostile):
    """The compiled Recipe: building one from good and bad items, and every method on good and bad input."""
    Recipe = pw.Recipe
    fields = [item(4, 10), item(12, -1, "twos_complement"), item(24, "ab", "utf8"), item(16, 1.5, "ieee754_f16"),
              item(8, 3, "packed_bcd", "little", True, name="\u00e9")]
    plain, exact = Recipe(fields), Recipe(fields, bit_exact=True)
    no_values = Recipe([{k: v for k, v in f.items() if k != "value"} for f in fields])
    packet = plain.pack()
    buffer = bytearray(64)

    def consume(iterator, n=None):
        return list(itertools.islice(iterator, n))

    def build_hostile(build):
        recipe = []
        recipe.extend(build(recipe))
        return Recipe(recipe).pack()

    calls = [(build_hostile, (build,), {}) for _, build, _ in hostile.PACK[:20]]
    for recipe in packet_recipes()[::5] + [fields, fields * 20]:
        calls += [(Recipe, (recipe,), {}), (Recipe, (recipe,), {"bit_exact": True})]
    calls += [(Recipe, (bad,), {}) for bad in ["recipe", 5, None, {"a": 1}]]
    calls += [(Recipe, (fields,), {"bit_exact": 1}), (Recipe, (fields, True), {}), (Recipe, (), {})]
    for r in (plain, exact, no_values):
        calls += [
            (r.pack, (), {}), (r.pack, ([1, 2, "x", 0.5, 7],), {}), (r.pack, ({"a": 1, "b": 2},), {}),
            (r.pack, ([1],), {}), (r.pack, ([1, 2, 3, 4, 5, 6],), {}), (r.pack, ("abcde",), {}), (r.pack, (5,), {}),
            (r.pack, ([Index(1), Raising(), "x", 0.5, 7],), {}), (r.pack, ({"a": -1},), {}),
            (r.pack_into, (buffer,), {}), (r.pack_into, (buffer, 13, [1, 2, "x", 0.5, 7]), {}),
            (r.pack_into, (memoryview(buffer)[4:],), {}), (r.pack_into, (bytearray(2),), {}),
            (r.pack_into, (bytes(64),), {}), (r.pack_into, (buffer, 2**64), {}), (r.pack_into, ("abc",), {}),
            (r.unpack, (packet,), {}), (r.unpack, (bytearray(packet), 0), {}), (r.unpack, (memoryview(packet),), {}),
            (r.unpack, (packet[:2],), {}), (r.unpack, (packet, 8), {}), (r.unpack, ("packet",), {}),
            (consume, (r.iter_unpack(packet * 4),), {}), (consume, (r.iter_unpack(packet * 4), 1), {}),
            (r.iter_unpack, (packet * 4, 3), {}), (r.iter_unpack, (packet, 0), {}), (r.iter_unpack, (packet, -1), {}),
            (consume, (r.iter_unpack(packet * 2, len(packet), 4),), {}),
            (r.unpack_columns, (packet * 8,), {}), (r.unpack_columns, (packet * 8, len(packet), 3), {}),
            (r.unpack_columns, (packet[:3],), {}), (r.unpack_columns, (b"",), {}), (r.unpack_columns, (None,), {}),
            (repr, (r,), {}), (len, (r,), {}), (hash, (r,), {}), (operator.eq, (r, plain), {}),
            (operator.ne, (r, exact), {}), (operator.eq, (r, 5), {}),
            (pickle.loads, (pickle.dumps(r),), {}), (pickle.dumps, (r,), {}),
            (getattr, (r, "size"), {}), (getattr, (r, "names"), {}), (getattr, (r, "bit_exact"), {}),
        ]
    return calls


# ---- measuring ----

def run_calls(calls, reps):
    for _ in range(reps):
        for fn, args, kwargs in calls:
            try:
                fn(*args, **kwargs)
            except Exception:  # noqa: BLE001 - failure paths are half the point
                pass


def native_heap():
    """Bytes the C allocator has handed out (glibc), or None where that cannot be asked."""
    try:
        libc = ctypes.CDLL(None)

        class Mallinfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in
                        ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                         "keepcost")]
        libc.mallinfo2.restype = Mallinfo2
    except (OSError, AttributeError):
        return None

    def read():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
    return read


def settle():
    for _ in range(3):
        gc.collect()
    sys._clear_type_cache()


def measure(calls, warmups, runs, reps, heap):
    """The growth of each counter in every measured run. The samples go into
    arrays made beforehand, so that keeping them allocates nothing."""
    readers = {"refs": sys.gettotalrefcount, "blocks": sys.getallocatedblocks}
    if heap:
        readers["native bytes"] = heap
    total = max(warmups, 1) + runs
    samples = {k: array.array("q", bytes(8 * total)) for k in readers}
    for i in range(total):
        run_calls(calls, reps)
        settle()
        for k, read in readers.items():
            samples[k][i] = read()
    return {k: [s[i] - s[i - 1] for i in range(total - runs, total)] for k, s in samples.items()}


def leaks(deltas):
    """The counters that grew in every measured run. Native bytes must grow by more than a page each time:
    the C allocator's own bookkeeping moves by a few bytes."""
    floor = {"refs": 1, "blocks": 1, "native bytes": 4096}
    return [k for k, ds in deltas.items() if all(d >= floor[k] for d in ds)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmups", type=int, default=3)
    parser.add_argument("--runs", type=int, default=4)
    parser.add_argument("--reps", type=int, default=3, help="passes over the workload per run")
    args = parser.parse_args()

    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("this check needs a debug build of the interpreter (sys.gettotalrefcount)")
    if not pw.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        sys.exit(f"{pw.__file__} is not built for this interpreter's debug ABI")
    if sys.getallocatedblocks() == 0:
        sys.exit("sys.getallocatedblocks() is 0: run without PYTHONMALLOC=malloc")
    print(f"packweaver from {pw.__file__}")
    print(f"interpreter {sys.executable} {sys.version.split()[0]}, abiflags {sys.abiflags!r}")

    hostile = load_hostile()
    names = [n for n in pw.__all__ if type(getattr(pw, n)) is type(pw.pack_parameters)]
    groups = {}
    for name in names:
        if not name.endswith("_parameters"):
            groups[name] = codec_calls(getattr(pw, name))
    groups["pack_parameters + unpack_parameters"] = packet_calls()
    groups["recipes edited during the call"] = hostile_calls(hostile)
    if hasattr(pw, "Recipe"):
        groups["Recipe"] = recipe_type_calls(hostile)
    covered = {fn.__name__ for calls in groups.values() for fn, _, _ in calls if fn.__module__ == "packweaver"}
    missing = sorted(set(names) - covered)
    if len(names) != 62 or missing:
        sys.exit(f"not every function is exercised: {len(names)} functions in __all__, missing {missing}")
    everything = [c for calls in groups.values() for c in calls]
    print(f"{len(everything)} calls per pass over {len(names)} functions{' and Recipe' if 'Recipe' in groups else ''}, "
          f"{args.reps} passes per run, "
          f"{args.warmups} warm-up and {args.runs} measured runs")

    heap = native_heap()
    start = time.monotonic()
    deltas = measure(everything, args.warmups, args.runs, args.reps, heap)
    for k, ds in deltas.items():
        print(f"  {k:13} growth per run: {ds}")
    leaked = leaks(deltas)
    print(f"whole workload: {time.monotonic() - start:.1f} s")
    if not leaked:
        print("no leaks")
        return
    print(f"LEAK: {', '.join(leaked)} grew in every measured run; measuring each group on its own:")
    for group, calls in groups.items():
        group_deltas = measure(calls, 1, args.runs, 1, heap)
        found = leaks(group_deltas)
        if found:
            print(f"  {group}: " + "; ".join(f"{k} {group_deltas[k]}" for k in found))
    sys.exit(1)


if __name__ == "__main__":
    main()
