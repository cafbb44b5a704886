"""Thread stress for the packet engines.

Several threads pack and unpack recipes that all of them share, while other
threads (and conversion hooks run from inside the engines) replace values,
keys and whole items, insert and delete items, clear dicts, run the garbage
collector and call the engines again. The interpreter switches threads as
often as it can, so another thread's edits land in the middle of a call
whenever a hook runs Python code.

Stream threads read shared buffers through shared Recipe objects with
iter_unpack and unpack_columns (long enough streams that the numeric columns
are read without the interpreter lock), and compile Recipes from the shared,
changing recipes. A walker thread looks at the elements of the lists, tuples
and dicts the collector tracks, over and over: a container that the module
made visible before filling it crashes the program.

Every call must return a result of the right type or raise the documented
exception: a ValueError "{kind}: {message}" from the engines (or, for a hook
passed as the offset argument, the hook's own exception). A private recipe,
which only its own thread uses, must give the same result every time, and so
must a Recipe read over a buffer that nothing changes. Any other outcome, or a
thread that does not finish, makes the program exit non-zero.

    python tests/stress/threads.py --seconds 30
"""
import argparse
import array
import gc
import itertools
import os
import random
import re
import sys
import threading
import time
import traceback

import packweaver as pw

PACK_NAMES = ["unsigned", "twos_complement", "onesComplement", "SIGN_MAGNITUDE", "bcd", "bcd-signed", "packed_bcd",
              "packed-bcd-signed", "ieee754_f16", "IEEE754-F32", "ieee754_f64", "utf8", "UTF-16", "utf16le", "utf32",
              "utf-32be", "us_ascii", "iso-8859-1", "windows_1252"]
READ_ONLY_NAMES = ["latin1", "ieee754_f128", "ti_f32", "mil-std-1750a-f48", "IBM_F64"]
BAD_NAMES = ["", "utf_8", " unsigned", "ascii", "PAC\u212aED_BCD", "\u00fctf8", "x" * 300]
KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]
WRAPPED = re.compile(r"^[A-Za-z_][\w.<>]*: ")
MAX_ITEMS = 40  # more than the engines keep inline
# What values suit an encoding: unsigned, signed, decimal, float, text (the rest).
KINDS = {"unsigned": "u", "twos_complement": "s", "onescomplement": "s", "sign_magnitude": "s", "bcd": "d",
         "bcd-signed": "d", "packed_bcd": "d", "packed-bcd-signed": "d", "ieee754_f16": "f", "ieee754-f32": "f",
         "ieee754_f64": "f"}


class HookError(Exception):
    pass


def nothing():
    pass


class Probe:
    """A non-str key with the hash of a recipe key: lookups of that key compare with it and run its action."""
    def __init__(self, twin):
        self.twin, self.action = twin, nothing

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        self.action()
        return False


class Key(str):
    """A str-subclass key whose comparisons run an action."""
    action = staticmethod(nothing)
    __hash__ = str.__hash__

    def __eq__(self, other):
        self.action()
        return str.__eq__(self, other)


SHADOWED = "subclass lookup used"


class Shadow(dict):
    """Items are read from the dict directly, never through a subclass's own lookup."""
    def __getitem__(self, key):
        raise HookError(SHADOWED)

    def get(self, key, default=None):
        raise HookError(SHADOWED)


class Hook:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def _convert(self):
        self.action()
        return self.value


class Int(Hook):
    def __index__(self):
        return self._convert()


class Real(Hook):
    def __float__(self):
        return self._convert()


class _Truth(Hook):
    def __bool__(self):
        return self._convert()


Flag = type("numpy.bool_", (_Truth,), {})  # accepted where a NumPy bool is


def as_hook_error(action):
    """The action, any failure of it raised as HookError."""
    def run():
        try:
            action()
        except Exception as e:  # noqa: BLE001
            raise HookError(f"{type(e).__name__}: {e}") from e
    return run


class World:
    """The recipes every thread shares, and the ways of changing them."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.recipes = [[self.make_item(rng) for _ in range(rng.randint(0, 6))] for _ in range(6)]
        self.packets = [bytes(rng.getrandbits(8) for _ in range(n)) for n in (0, 1, 3, 8, 17, 64)]
        self.streams = stream_cases()
        # A stream that mutators edit in place (its length too, when no call holds it).
        recipe, buffer, _ = self.streams[0]
        self.shared_buffer = bytearray(buffer)
        self.shared_recipe = recipe
        self.local = threading.local()
        self.run = None  # the Run that judges the calls made from hooks

    # ---- values ----

    def hook_action(self, rng):
        """What a hook does when it converts: edit the world, yield, collect, call an engine, raise."""
        roll = rng.random()
        if roll < 0.55:
            return lambda: self.mutate(rng)
        if roll < 0.7:
            return lambda: time.sleep(0)
        if roll < 0.75:
            return gc.collect
        if roll < 0.85:
            return lambda: self.reenter(rng)
        return lambda: (_ for _ in ()).throw(HookError("hook failed"))

    def reenter(self, rng):
        depth = getattr(self.local, "depth", 0)
        if depth >= 3:
            return
        self.local.depth = depth + 1
        try:
            recipe = rng.choice(self.recipes)
            roll = rng.random()
            if roll < 0.4:
                self.run.pack(recipe)
            elif roll < 0.8:
                self.run.unpack(rng.choice(self.packets), 0, recipe)
            else:
                self.run.stream_from(recipe, rng)
        finally:
            self.local.depth = depth

    def text(self, rng):
        roll = rng.random()
        if roll < 0.6:
            return "".join(rng.choice("abcXYZ019 ") for _ in range(rng.randint(0, 6)))
        if roll < 0.8:
            return "".join(chr(rng.choice([0xE9, 0x20AC, 0x1F600, 0x80, 0x9F])) for _ in range(rng.randint(1, 3)))
        if roll < 0.9:
            return "p" * rng.choice([1 << 10, 1 << 16])
        return "a\ud800b"  # a lone surrogate

    def hooked(self, rng, value):
        """Now and then the value behind a conversion hook."""
        if rng.random() >= 0.15:
            return value
        action = self.hook_action(rng)
        if type(value) is bool:
            return Flag(value, action)
        if type(value) is float:
            return Real(value, action)
        if type(value) is int:
            return Int(value, action)
        return value

    def junk(self, rng):
        return rng.choice([None, b"big", 1.5, -1, 2**64, "8", [], 1, "big", -2**63, 10**20, float("nan")])

    def fitting(self, rng, key, d):
        """A value for `key` that suits the rest of item d, mostly; sometimes one that does not."""
        if rng.random() < 0.05:
            return self.junk(rng)
        enc = dict.get(d, "encoding")
        kind = KINDS.get(enc.lower(), "t") if isinstance(enc, str) else "t"
        bits = dict.get(d, "bits")
        bits = bits if type(bits) is int and bits >= 0 else 8
        if key == "name":
            return self.text(rng) if rng.random() < 0.3 else rng.choice(["a", "b", "c", "d"])
        if key == "encoding":
            return rng.choice(PACK_NAMES * 8 + READ_ONLY_NAMES + BAD_NAMES)
        if key == "byte_order":
            return rng.choice(["big", "little"] * 5 + ["BIG", "Little", "middle", "b\u0130g"])
        if key == "reverse_bits":
            return self.hooked(rng, rng.random() < 0.5)
        if key == "offset_bits":
            return self.hooked(rng, rng.choice([0, 3, 8, 13, 64, 200] * 30 + [2**64 - 1]))
        if key == "bits":
            if kind == "f":
                choices = [16, 32, 64]
            elif kind == "d":
                choices = [8, 16, 24, 32]
            else:
                choices = [0, 1, 4, 7, 8, 12, 16, 24, 32, 64, 72, 130]
            return self.hooked(rng, rng.choice(choices))
        # value
        if kind == "u":
            value = rng.randrange(2**min(bits, 64)) if bits else 0
        elif kind == "s":
            half = 2**(min(max(bits, 2), 64) - 1)
            value = rng.randrange(1 - half, half)
        elif kind == "d":
            value = rng.randint(0, 9)
        elif kind == "f":
            value = rng.choice([rng.uniform(-1e3, 1e3), 0.5, -0.0, 1e300, float("inf"), float("nan")])
        else:
            value = self.text(rng)
        return self.hooked(rng, value)

    def make_item(self, rng):
        d = {}
        for key in KEYS:
            if key == "offset_bits" and rng.random() < 0.7:
                continue
            if rng.random() < 0.02:
                continue  # a missing key
            d[key] = self.fitting(rng, key, d)
        roll = rng.random()
        if roll < 0.04:
            return Shadow(d)
        if roll < 0.08:
            # Armed once in the dict: building it compares keys too.
            key = Key(rng.choice(KEYS))
            d[key] = self.fitting(rng, str(key), d)
            key.action = self.hook_action(rng)
        elif roll < 0.12:
            probe = Probe(rng.choice(KEYS))
            d = dict([(probe, None)], **d)
            probe.action = self.hook_action(rng)
        elif roll < 0.13:
            return rng.choice([1, "item", None, [("name", "p")]])  # not a dict
        return d

    # ---- edits ----

    def mutate(self, rng):
        """One edit of a shared recipe. Races with other threads may make it fail; that is fine."""
        recipe = rng.choice(self.recipes)
        op = rng.randrange(12)
        if op <= 4 and recipe:
            d = rng.choice(recipe)
            if isinstance(d, dict):
                # Missing keys come back as often as others go.
                absent = [k for k in KEYS if k not in dict.keys(d)]
                key = rng.choice(absent) if absent and rng.random() < 0.5 else rng.choice(KEYS)
                d[key] = self.fitting(rng, key, d)
        elif op == 5 and recipe:
            d = rng.choice(recipe)
            if isinstance(d, dict):
                d.pop(rng.choice(KEYS), None)
        elif op == 6 and recipe:
            d = rng.choice(recipe)
            if isinstance(d, dict):
                if rng.random() < 0.2:
                    d.clear()
                else:
                    d.update({f"extra{i}": i for i in range(rng.choice([10, 300]))})
        elif op <= 8 and recipe:
            recipe[rng.randrange(len(recipe))] = self.make_item(rng)
        elif op == 9:
            for _ in range(rng.choice([1, 1, 1, 20])):
                if len(recipe) < MAX_ITEMS:
                    recipe.insert(rng.randint(0, len(recipe)), self.make_item(rng))
        elif op == 10 and recipe:
            recipe.pop(rng.randrange(len(recipe)))
        else:
            roll = rng.random()
            if roll < 0.3:
                self.recipes[rng.randrange(len(self.recipes))] = [self.make_item(rng) for _ in range(rng.randint(0, 5))]
            elif roll < 0.5:
                recipe.reverse()
            elif roll < 0.6:
                recipe.clear()
            elif roll < 0.8:
                self.edit_shared_buffer(rng)

    def edit_shared_buffer(self, rng):
        """Packets of the shared stream replaced (now and then by one that does not decode), or its
        length changed (refused while a call holds it)."""
        b, size = self.shared_buffer, self.shared_recipe.size
        roll = rng.random()
        if roll < 0.9:
            good = self.streams[0][1]
            for _ in range(rng.randint(1, 20)):
                at = rng.randrange(len(b) // size) * size if len(b) >= size else 0
                k = rng.randrange(len(good) // size) * size
                b[at:at + size] = good[k:k + size]
            if roll < 0.05 and b:
                b[rng.randrange(len(b))] = 0xFF  # no UTF-8, US-ASCII or BCD byte
            return
        try:
            if roll < 0.93:
                b.extend(bytes(rng.randint(1, 3)))
            else:
                del b[len(b) - len(b) % size:]
        except BufferError:  # a call holds it
            pass


class Run:
    def __init__(self, world, deadline):
        self.world, self.deadline = world, deadline
        self.lock = threading.Lock()
        self.failures = []
        self.counts = {}

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def fail(self, what):
        with self.lock:
            if len(self.failures) < 20:
                self.failures.append(what)

    def guarded(self, body):
        def thread_main():
            try:
                body()
            except BaseException:
                self.fail("thread died:\n" + traceback.format_exc())
        return thread_main

    # ---- callers ----

    def check_failure(self, e, call, allowed=()):
        if SHADOWED in str(e):
            self.fail(f"{call} used a dict subclass's own lookup")
        elif "SystemError" in str(e):
            self.fail(f"{call}: internal fault: {str(e)[:300]}")
        elif type(e) is ValueError and WRAPPED.match(str(e)) and e.__cause__ is None:
            self.count(f"{call} raised ValueError({str(e).split(':')[0]})")
        elif isinstance(e, allowed):
            self.count(f"{call} raised {type(e).__name__}")
        else:
            self.fail(f"{call}: unexpected {type(e).__name__}: {str(e)[:200]}\n" +
                      "".join(traceback.format_exception(type(e), e, e.__traceback__)))

    def pack(self, recipe):
        try:
            out = pw.pack_parameters(recipe)
        except Exception as e:  # noqa: BLE001 - every kind is judged here
            self.check_failure(e, "pack")
            return
        if type(out) is not bytes:
            self.fail(f"pack returned {type(out).__name__}")
        self.count("pack returned")

    def unpack(self, packet, offset, recipe, allowed=()):
        try:
            out = pw.unpack_parameters(packet, offset, recipe)
        except Exception as e:  # noqa: BLE001
            self.check_failure(e, "unpack", allowed)
            return
        if type(out) is not dict or any(type(k) is not str or type(v) not in (int, float, str) for k, v in out.items()):
            self.fail(f"unpack returned {out!r:.200}")
        self.count("unpack returned")

    def stream_from(self, recipe, rng):
        """A Recipe compiled from a shared recipe, then one of its stream methods over a packet stream."""
        try:
            r = pw.Recipe(recipe, bit_exact=rng.random() < 0.3)
        except Exception as e:  # noqa: BLE001
            self.check_failure(e, "Recipe")
            return
        packet = rng.choice(self.world.packets)
        stride = max(len(packet), 1)
        buffer = (packet or b"\0") * rng.choice([1, 4, 300])
        try:
            if rng.random() < 0.5:
                out = r.unpack_columns(buffer, stride, rng.choice([0, 3]))
                judge_columns(self, out, len(buffer) // stride)
            else:
                for d in r.iter_unpack(buffer, stride, rng.choice([0, 3])):
                    judge_dict(self, d)
        except Exception as e:  # noqa: BLE001
            self.check_failure(e, "Recipe stream")
            return
        self.count("Recipe stream returned")

    # ---- threads ----

    def caller(self, seed):
        rng = random.Random(seed)
        w = self.world
        private, expected_pack, expected_unpack = private_recipe()
        while time.monotonic() < self.deadline:
            recipe = rng.choice(w.recipes)
            roll = rng.random()
            if roll < 0.45:
                self.pack(recipe)
            elif roll < 0.9:
                self.unpack(rng.choice(w.packets), rng.choice([0, 0, 5, 8, 64]), recipe)
            elif roll < 0.95:
                # The offset argument converts before the recipe: its hook may edit the recipe first.
                self.unpack(rng.choice(w.packets), Int(rng.randint(0, 16), as_hook_error(w.hook_action(rng))),
                            recipe, HookError)
            else:
                got = pw.pack_parameters(private)
                if got != expected_pack:
                    self.fail(f"private recipe packed as {got.hex()}, expected {expected_pack.hex()}")
                got = pw.unpack_parameters(expected_pack, 0, private)
                if got != expected_unpack:
                    self.fail(f"private recipe read as {got!r}, expected {expected_unpack!r}")
                self.count("private checked")

    def streamer(self, seed):
        """Shared Recipes over shared buffers: the unchanged ones read the same every time."""
        rng = random.Random(seed)
        w = self.world
        first = True
        while time.monotonic() < self.deadline:
            roll = 0.0 if first else rng.random()  # the columns first, so that every run checks some
            first = False
            r, buffer, want = rng.choice(w.streams)
            if roll < 0.35:
                got = r.unpack_columns(buffer)
                if got != want["columns"]:
                    self.fail(f"columns of an unchanged stream differ: {sorted(got)}")
                self.count("columns checked")
            elif roll < 0.55:
                # A part of the stream through a memoryview, packet by packet.
                k = rng.randint(0, 40)
                got = list(r.iter_unpack(memoryview(buffer)[:k * r.size]))
                if got != want["dicts"][:k]:
                    self.fail(f"iter_unpack of an unchanged stream differs at {k} packets")
                self.count("iter_unpack checked")
            elif roll < 0.85:
                # The stream that mutators edit: any result of the right shape, or a documented failure.
                try:
                    if rng.random() < 0.7:
                        judge_columns(self, w.shared_recipe.unpack_columns(w.shared_buffer), None)
                    else:
                        for _, d in zip(range(50), w.shared_recipe.iter_unpack(w.shared_buffer)):
                            judge_dict(self, d)
                except Exception as e:  # noqa: BLE001
                    if type(e) is ValueError and "is not a whole number of" in str(e):
                        self.count("shared stream of part packets refused")  # a mutator's extend
                    else:
                        self.check_failure(e, "shared stream")
                    continue
                self.count("shared stream returned")
            else:
                self.stream_from(rng.choice(w.recipes), rng)

    def walker(self):
        """The lists, tuples and dicts the collector tracks, looked at over and over: every element of a
        short one, the first and the last of a long one (a half-filled container has a NULL last)."""
        while time.monotonic() < self.deadline:
            for o in gc.get_objects():
                try:
                    if type(o) is list or type(o) is tuple:
                        for x in (o if len(o) < 64 else (o[0], o[-1])):
                            type(x)
                    elif type(o) is dict:
                        for k, v in itertools.islice(o.items(), 64):
                            type(k), type(v)
                except (IndexError, RuntimeError):  # another thread shrank it, or resized the dict
                    pass
            self.count("object walks")

    def mutator(self, seed):
        rng = random.Random(seed)
        while time.monotonic() < self.deadline:
            try:
                self.world.mutate(rng)
            except Exception:  # noqa: BLE001 - a race with another thread's edit, or a key's hook raising
                pass
            self.count("edits")
            if rng.random() < 0.001:
                gc.collect()


def judge_dict(run, d):
    if type(d) is not dict or any(type(k) is not str or type(v) not in (int, float, str) for k, v in d.items()):
        run.fail(f"stream read a packet as {d!r:.200}")


def judge_columns(run, columns, count):
    """Columns of the right types and lengths (count: the packets, None when not known)."""
    if type(columns) is not dict:
        run.fail(f"unpack_columns returned {type(columns).__name__}")
        return
    lengths = set()
    for name, column in columns.items():
        if type(name) is not str or type(column) not in (array.array, list):
            run.fail(f"unpack_columns gave {name!r:.50}: {type(column).__name__}")
            return
        if type(column) is list and any(type(v) is not str for v in column):
            run.fail(f"text column {name!r:.50} holds a value that is not a str")
        lengths.add(len(column))
    if len(lengths) > 1 or (count is not None and lengths and lengths != {count}):
        run.fail(f"unpack_columns gave columns of lengths {sorted(lengths)} for {count} packets")


def stream_cases():
    """Recipes with numeric and text fields, each with a buffer long enough that its numeric columns
    are read without the interpreter lock, and what reading it gives."""
    def item(name, enc, bits, order="big", rev=False, value=0):
        return {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": rev,
                "value": value}
    recipes = [
        [item("a", "unsigned", 12, value=0xABC), item("b", "twos_complement", 20, "little", True, -5),
         item("t", "utf8", 16, value="hi"), item("c", "packed_bcd", 8, value=42),
         item("f", "ieee754_f16", 16, value=1.5), item("u", "us_ascii", 8, value="z")],
        [item("x", "unsigned", 32, value=7), item("y", "sign_magnitude", 16, value=-300),
         item("z", "ieee754_f64", 64, value=-0.25)],
        [item("s", "utf-16be", 32, value="\u20ac!"), item("n", "bcd", 16, value=19)],
    ]
    rng = random.Random(7)
    cases = []
    for items in recipes:
        r = pw.Recipe(items, bit_exact=False)
        packets = []
        for _ in range(20_000):
            for d in items:  # a few values vary from packet to packet
                if d["encoding"] == "unsigned":
                    d["value"] = rng.randrange(2 ** d["bits"])
            packets.append(pw.pack_parameters(items))
        buffer = b"".join(packets)
        cases.append((r, buffer, {"columns": r.unpack_columns(buffer), "dicts": [r.unpack(p) for p in packets[:40]]}))
    return cases


def private_recipe():
    """A recipe only its own thread sees, with hooks that yield but never edit: its results are fixed."""
    def yielding(value, kind=Int):
        return kind(value, lambda: time.sleep(0))
    recipe = [
        {"name": "a", "encoding": "unsigned", "bits": yielding(8), "byte_order": "big", "reverse_bits": False,
         "value": yielding(0xAB)},
        {"name": "b", "encoding": "twos_complement", "bits": 16, "byte_order": "LITTLE",
         "reverse_bits": False, "value": yielding(-2)},
        {"name": "c", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big", "reverse_bits": False,
         "value": yielding(1.5, Real), "offset_bits": yielding(24)},
        {"name": "d", "encoding": "utf-8", "bits": 24, "byte_order": "big", "reverse_bits": False,
         "value": "x\u00e9"},
    ]
    packed = pw.pack_parameters(recipe)
    return recipe, packed, pw.unpack_parameters(packed, 0, recipe)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to run (default 5)")
    parser.add_argument("--callers", type=int, default=4, help="threads that call the engines (default 4)")
    parser.add_argument("--mutators", type=int, default=2, help="threads that edit the recipes (default 2)")
    parser.add_argument("--streamers", type=int, default=2,
                        help="threads that read streams through Recipe objects (default 2)")
    parser.add_argument("--walkers", type=int, default=1,
                        help="threads that walk every object the collector tracks (default 1)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: from the clock)")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else time.time_ns() % 1_000_000
    sys.setswitchinterval(1e-6)

    run = Run(World(seed), time.monotonic() + args.seconds)
    run.world.run = run
    threads = [threading.Thread(target=run.guarded(lambda s=seed + i: run.caller(s)), daemon=True)
               for i in range(args.callers)]
    threads += [threading.Thread(target=run.guarded(lambda s=seed + 1000 + i: run.mutator(s)), daemon=True)
                for i in range(args.mutators)]
    threads += [threading.Thread(target=run.guarded(lambda s=seed + 2000 + i: run.streamer(s)), daemon=True)
                for i in range(args.streamers)]
    threads += [threading.Thread(target=run.guarded(run.walker), daemon=True) for _ in range(args.walkers)]
    for t in threads:
        t.start()
    # A call or a hook that never returns: report it rather than wait for ever.
    limit = time.monotonic() + args.seconds + 60
    for t in threads:
        t.join(max(0.0, limit - time.monotonic()))
    hung = sum(t.is_alive() for t in threads)

    print(f"seed {seed}, {args.seconds:g} s, {args.callers} callers, {args.mutators} mutators, "
          f"{args.streamers} streamers, {args.walkers} walkers")
    for what, n in sorted(run.counts.items()):
        print(f"  {what:40} {n}")
    for f in run.failures:
        print("FAILURE:", f)
    if hung:
        print(f"FAILURE: {hung} threads still running 60 s after the deadline")
        sys.stdout.flush()
        os._exit(2)
    missing = [what for what, wanted in [("pack returned", True), ("unpack returned", True),
                                         ("columns checked", args.streamers > 0), ("object walks", args.walkers > 0)]
               if wanted and not run.counts.get(what)]
    if missing:
        print("FAILURE: nothing counted for", ", ".join(missing))
    if run.failures or missing:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
