"""Recipe under code that runs while its methods work: the collector, hooks, threads, signals.

Python code can run in the middle of a Recipe call: a conversion hook of an argument or an
item, a collection (and its gc.callbacks) at any container allocation, another thread while
the numeric columns are read without the interpreter lock, a signal handler. That code can
walk every object the collector tracks, call the Recipe again, replace the array module, or
reach a Recipe that the collector has already cleared. None of it may crash the interpreter:
each case runs in a child process, so that a crash fails its own test and nothing else.

The object walks look at the elements of the lists, tuples and dicts the collector tracks:
a container that the module made visible before filling it has NULL slots, and looking at
one crashes.
"""
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import packweaver as pw

# The child imports the module this process tests, wherever it was found.
HERE = pathlib.Path(pw.__file__).resolve()
ROOT = HERE.parent.parent if HERE.name.startswith("__init__.") else HERE.parent

# Under AddressSanitizer every C frame is several times larger.
STACK_SCALE = 4 if "asan" in os.environ.get("LD_PRELOAD", "") else 1

PRELUDE = '''
import gc
import sys
import threading


def it(bits=8, enc="unsigned", name="p", order="big", **extra):
    item = {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": False}
    item.update(extra)
    return item


def walk():
    """Looks at every element of every list, tuple and dict the collector tracks."""
    for o in gc.get_objects():
        if type(o) is list or type(o) is tuple:
            for x in o:
                type(x)
        elif type(o) is dict:
            for k, v in o.items():
                type(k), type(v)


def walk_quickly():
    """Looks at the first and the last element of every young list and tuple: a walk that never lags."""
    for g in (0, 1):
        for o in gc.get_objects(g):
            if (type(o) is list or type(o) is tuple) and o:
                type(o[0]), type(o[-1])


class Hook:
    """An int (or float) that walks the objects, or runs another action, whenever it converts."""
    def __init__(self, value, action=walk):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class _Truth(Hook):
    def __bool__(self):
        self.action()
        return bool(self.value)


Flag = type("numpy.bool_", (_Truth,), {})  # taken where a NumPy bool is
'''


def child(code, early="", timeout=300):
    """The stripped output of the code run in a new interpreter, which must exit cleanly.

    `early` runs before the module is imported.
    """
    source = "\n".join([PRELUDE, textwrap.dedent(early), "import packweaver as pw",
                        f"assert pw.__file__ == {pw.__file__!r}, pw.__file__", textwrap.dedent(code)])
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(ROOT), env.get("PYTHONPATH", "")] if p)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout, env=env)
    if done.returncode != 0:
        status = (f"killed by {signal.Signals(-done.returncode).name}" if done.returncode < 0
                  else f"exit status {done.returncode}")
        pytest.fail(f"child {status}\n{done.stdout[-2000:]}\n{done.stderr[-3000:]}", pytrace=False)
    return done.stdout.strip()


def check(output, expected):
    """expected: the exact output, or a compiled pattern the whole output matches."""
    if isinstance(expected, str):
        assert output == expected
    else:
        assert expected.fullmatch(output), output


def table(rows):
    return [pytest.param(*row[1:], id=row[0]) for row in rows]


# ---- the collector walks the objects while a hook runs ----

# Each hook runs walk(): the containers the call has made so far must be whole.
WALKED_IN_HOOKS = [
    ("init_bits_of_first_item",
     "r = pw.Recipe([it(Hook(8), name='a'), it(8, name='b'), it(8, name='c')]); print(r.names, r.size)",
     "('a', 'b', 'c') 3"),
    ("init_bits_of_middle_item",
     "r = pw.Recipe([it(8, name='a'), it(Hook(12), name='b'), it(4, name='c')]); print(r.names, r.size)",
     "('a', 'b', 'c') 3"),
    ("init_offset_and_flag",
     "r = pw.Recipe([it(8, name='a'), it(4, name='b', offset_bits=Hook(20), reverse_bits=Flag(True))])\n"
     "print(r.names, r.size, r.unpack(bytes.fromhex('abcdef')))",
     "('a', 'b') 3 {'a': 171, 'b': 15}"),
    ("init_many_items",
     "r = pw.Recipe([it(8, name=f'f{k}') for k in range(39)] + [it(Hook(8), name='last')]); print(len(r.names))",
     "40"),
    ("init_bit_exact",
     "r = pw.Recipe([it(8, 'utf8', name='a'), it(Hook(8), name='b')], bit_exact=True); print(r.unpack(b'AB'))",
     "{'a': 'A', 'b': 66}"),
    ("pack_int_value",
     "r = pw.Recipe([it(8, name='a', value=1), it(8, 'utf8', name='t', value='x'), it(8, name='b', value=Hook(2))])\n"
     "print(r.pack().hex())",
     "017802"),
    ("pack_float_value",
     "r = pw.Recipe([it(8, name='a', value=1), it(32, 'ieee754_f32', name='f', value=Hook(1.5))])\n"
     "print(r.pack().hex())",
     "013fc00000"),
    ("pack_values_sequence",
     "r = pw.Recipe([it(8, name='a'), it(16, 'twos_complement', name='b')]); print(r.pack([Hook(1), Hook(-2)]).hex())",
     "01fffe"),
    ("pack_values_mapping",
     "r = pw.Recipe([it(8, name='a'), it(8, 'utf8', name='t')]); print(r.pack({'a': Hook(7), 't': 'z'}).hex())",
     "077a"),
    ("pack_into_offset",
     "r = pw.Recipe([it(8, name='a', value=1), it(8, name='b', value=2)])\n"
     "b = bytearray(3); r.pack_into(b, Hook(8)); print(b.hex())",
     "000102"),
    ("pack_into_value",
     "r = pw.Recipe([it(8, name='a', value=1), it(8, 'utf8', name='t', value='q')])\n"
     "b = bytearray(3); r.pack_into(b, 4, [Hook(15), 'q']); print(b.hex())",
     "00f710"),
    ("unpack_offset",
     "r = pw.Recipe([it(8, name='a'), it(8, 'utf8', name='t')]); print(r.unpack(b'\\x00\\x01A', Hook(8)))",
     "{'a': 1, 't': 'A'}"),
    ("iter_unpack_stride_and_offset",
     "r = pw.Recipe([it(8, name='a'), it(8, 'utf8', name='t')])\n"
     "print(list(r.iter_unpack(b'\\x01A\\x02B', Hook(2), Hook(0))))",
     "[{'a': 1, 't': 'A'}, {'a': 2, 't': 'B'}]"),
    ("unpack_columns_stride_and_offset",
     "r = pw.Recipe([it(8, 'utf8', name='t'), it(8, name='a')])\n"
     "c = r.unpack_columns(b'\\x00A\\x01\\x00B\\x02', Hook(3), Hook(8)); print(c['t'], c['a'].tolist())",
     "['A', 'B'] [1, 2]"),
]


@pytest.mark.parametrize("code, expected", table(WALKED_IN_HOOKS))
def test_objects_walked_from_a_hook(code, expected):
    check(child(code), expected)


# ---- the collector walks the objects while the columns are made ----

COLUMNS_RECIPE = '''
recipe = [it(16, "utf8", name="t"), it(8, name="n"), it(8, "us_ascii", name="s"), it(16, "ieee754_f16", name="f")]
r = pw.Recipe(recipe)
buf = bytearray(b"AB\\x05C\\x3c\\x00" * 2000)
'''

# A collection at every container allocation, each one walking the objects. The text
# columns are read packet by packet; in the second case packet 1000 fails, half-way.
GC_CALLBACK = COLUMNS_RECIPE + '''
{edit}
old = gc.get_threshold()


def callback(phase, info):
    if phase == "start":
        walk()


gc.callbacks.append(callback)
gc.set_threshold(1)
try:
    try:
        c = r.unpack_columns(buf)
        out = (len(c["t"]), c["t"][-1], c["n"][-1], c["s"][0], c["f"][1])
    except ValueError as e:
        out = str(e)
finally:
    gc.callbacks.remove(callback)
    gc.set_threshold(*old)
print(out)
'''

# A thread walks the young objects over and over, each walk short so that one starts while
# the interpreter lock is free: while the main thread reads a stream long enough for its
# numeric columns to be read without the lock.
WALKER_THREAD = '''
recipe = [it(16, "utf8", name="t"), it(32, name="a"), it(32, "twos_complement", name="b"), it(8, "latin1", name="s")]
r = pw.Recipe(recipe, bit_exact=False)
packet = bytes.fromhex("4142" "00000007" "fffffff9" "e9")
buf = packet * 400_000
stop = threading.Event()


def walker():
    while not stop.is_set():
        walk_quickly()


thread = threading.Thread(target=walker)
thread.start()
try:
    for _ in range(8):
        {call}
finally:
    stop.set()
    thread.join()
print(out)
'''

COLUMNS_UNDER_THE_COLLECTOR = [
    ("gc_callbacks", GC_CALLBACK.format(edit=""), "(2000, 'AB', 5, 'C', 1.0)"),
    ("gc_callbacks_text_fails_half_way", GC_CALLBACK.format(edit="buf[6 * 1000 + 3] = 0x80"),
     "ValueError: Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("walker_thread_columns",
     WALKER_THREAD.format(call='c = r.unpack_columns(buf); out = (len(c["t"]), c["t"][-1], c["a"][-1], c["b"][0], '
                               'c["s"][7], c["a"].typecode)'),
     "(400000, 'AB', 7, -7, 'é', 'I')"),
    ("walker_thread_iter_unpack",
     WALKER_THREAD.format(call='out = [d for d in r.iter_unpack(buf[:20_000 * len(packet)])][-1]'),
     "{'t': 'AB', 'a': 7, 'b': -7, 's': 'é'}"),
]


@pytest.mark.parametrize("code, expected", table(COLUMNS_UNDER_THE_COLLECTOR))
def test_columns_made_while_the_collector_walks(code, expected):
    check(child(code), expected)


# ---- the array module replaced before the first columns are made ----

# Columns are either right (each numeric column holds what reading the packets one by one
# gives) or refused with an exception; the replacement never decides how much is written.
ARRAYS = '''
recipe = [it(32, name="a"), it(16, "twos_complement", name="b"), it(8, "iso_8859_1", name="t"), it(8, name="c")]
r = pw.Recipe(recipe)
buf = bytes((k * 37 + k // 7) % 256 for k in range(8 * 40_000))
try:
    columns = r.unpack_columns(buf)
except (SystemError, TypeError, ValueError) as e:
    print("refused")
else:
    rows = [r.unpack(buf[k:k + 8]) for k in range(0, len(buf), 8)]
    right = all(list(columns[name]) == [row[name] for row in rows] for name in r.names)
    print("right" if right else "wrong columns: " + repr({n: list(c[:4]) for n, c in columns.items()}))
'''

REAL_ARRAY = "import array as _real_module\nreal = _real_module.array\n"


def fake_array_module(body):
    """Code that puts a module whose `array` is defined by body in place of the array module."""
    return REAL_ARRAY + "import types\nfake = types.ModuleType('array')\n" + textwrap.dedent(body) + \
        "\nsys.modules['array'] = fake\n"


SHRINKS = "class Shrinks(real):\n    def __mul__(self, n):\n        return real(self.typecode, [0])\n"
RIGHT_OR_REFUSED = re.compile("right|refused")

ARRAY_REPLACED = [
    ("bytearray", fake_array_module("fake.array = lambda code, init: bytearray(len(init))"), ""),
    ("empty_array", fake_array_module("fake.array = lambda code, init: real(code)"), ""),
    ("one_byte_items", fake_array_module("fake.array = lambda code, init: real('B', init)"), ""),
    ("eight_byte_items", fake_array_module("fake.array = lambda code, init: real('d', init)"), ""),
    ("list", fake_array_module("fake.array = lambda code, init: list(init)"), ""),
    ("repeat_shrinks", fake_array_module(SHRINKS + "fake.array = Shrinks\n"), ""),
    ("repeat_shrinks_before_import", "", fake_array_module(SHRINKS + "fake.array = Shrinks\n")),
    ("empty_array_before_import", "", fake_array_module("fake.array = lambda code, init: real(code)")),
    ("attribute_replaced", REAL_ARRAY + SHRINKS + "_real_module.array = Shrinks\n", ""),
    ("subclass", fake_array_module("class Sub(real):\n    pass\nfake.array = Sub\n"), ""),
]


@pytest.mark.parametrize("after_import, before_import", table(ARRAY_REPLACED))
def test_array_module_replaced(after_import, before_import):
    check(child(after_import + ARRAYS, early=before_import), RIGHT_OR_REFUSED)


# ---- a Recipe the collector has cleared ----

# The item's value is the list [recipe, array]: the Recipe reaches itself through it. A NumPy
# array is not tracked by the collector, so it dies only while the cycle is torn down, when
# the list lets go of it (a list lets go of its last element first, while the Recipe is still
# held). The weakref to it lives outside the cycle, so its callback runs then, and brings the
# Recipe back by its address: the collector clears every object of the cycle whatever
# happens meanwhile, so the Recipe comes out cleared.
CLEARED = '''
import copy
import ctypes
import pickle
import weakref

import numpy as np

exposed = []


def make():
    value = []
    r = pw.Recipe([it(8, name="a", value=value), it(8, "utf8", name="t", value="x")])
    mortal = np.zeros(1)
    value += [r, mortal]
    address = id(r)
    return weakref.ref(mortal, lambda w: exposed.append(ctypes.cast(address, ctypes.py_object).value))


gc.collect()
ref = make()
gc.collect()
assert len(exposed) == 1 and type(exposed[0]) is pw.Recipe, exposed
r = exposed.pop()
try:
    result = {expr}
except Exception as e:
    print(type(e).__name__ + ":", e)
else:
    print("ok", type(result).__name__)
'''

NO_LONGER_USABLE = re.compile(r"ValueError: .*no longer usable.*")
USABLE_OR_NOT = re.compile(r"ok \w+|ValueError: .*no longer usable.*")

ON_A_CLEARED_RECIPE = [
    ("pack", "r.pack()", NO_LONGER_USABLE),
    ("pack_values", "r.pack([1, 'y'])", NO_LONGER_USABLE),
    ("pack_into", "r.pack_into(bytearray(4))", NO_LONGER_USABLE),
    ("unpack", "r.unpack(b'AB')", NO_LONGER_USABLE),
    ("iter_unpack", "list(r.iter_unpack(b'ABCD'))", NO_LONGER_USABLE),
    ("unpack_columns", "r.unpack_columns(b'ABCD')", NO_LONGER_USABLE),
    ("reduce", "r.__reduce__()", NO_LONGER_USABLE),
    ("reduce_ex", "r.__reduce_ex__(2)", NO_LONGER_USABLE),
    ("pickle", "pickle.dumps(r)", NO_LONGER_USABLE),
    ("copy", "copy.copy(r)", NO_LONGER_USABLE),
    ("deepcopy", "copy.deepcopy(r)", NO_LONGER_USABLE),
    ("repr", "repr(r)", USABLE_OR_NOT),
    ("len", "len(r)", USABLE_OR_NOT),
    ("names", "r.names", USABLE_OR_NOT),
    ("size", "r.size", USABLE_OR_NOT),
    ("bit_exact", "r.bit_exact", USABLE_OR_NOT),
    ("equal_to_itself", "r == r", USABLE_OR_NOT),
    ("equal_to_another", "r == pw.Recipe([it(8, name='a', value=1), it(8, 'utf8', name='t', value='x')])",
     USABLE_OR_NOT),
    ("unequal_to_another", "r != pw.Recipe([])", USABLE_OR_NOT),
]


@pytest.mark.parametrize("expr, expected", table(ON_A_CLEARED_RECIPE))
def test_cleared_recipe(expr, expected):
    check(child(CLEARED.format(expr=expr)), expected)


# ---- recursion through a hook ----

# Each hook calls the same method again, without end, in a thread with a small stack:
# the call ends in RecursionError (a hook's failure inside an item may reach the caller
# wrapped in the engine's ValueError "RecursionError: ..."), never in a stack overflow.
RECURSION = '''
class Again:
    """Converts to value after making the same call again."""
    def __init__(self, value=0):
        self.value = value

    def __index__(self):
        again()
        return self.value


r = pw.Recipe([it(8, name="a", value=1), it(8, "utf8", name="t", value="x")])
buf = bytes(8)


def again():
    {call}


outcome = []


def body():
    try:
        again()
        outcome.append("returned")
    except RecursionError:
        outcome.append("RecursionError")
    except ValueError as e:
        wrapped = "RecursionError: maximum recursion depth exceeded" in str(e)
        outcome.append("wrapped RecursionError" if wrapped else "ValueError: " + str(e)[-300:])


threading.stack_size({stack})
thread = threading.Thread(target=body)
thread.start()
thread.join()
print(*outcome)
'''

ENDS_IN_RECURSION_ERROR = re.compile("(wrapped )?RecursionError")

RECURSIVE_CALLS = [
    ("pack_into_offset", "r.pack_into(bytearray(8), Again())"),
    ("pack_value", "r.pack([Again(1), 'x'])"),
    ("unpack_offset", "r.unpack(buf, Again())"),
    ("iter_unpack_offset", "r.iter_unpack(buf, 2, Again())"),
    ("iter_unpack_stride", "r.iter_unpack(buf, Again(2))"),
    ("unpack_columns_offset", "r.unpack_columns(buf, 2, Again())"),
    ("unpack_columns_stride", "r.unpack_columns(buf, Again(2))"),
    ("init_bits", "pw.Recipe([it(Again(8))])"),
]


@pytest.mark.parametrize("stack", [1 << 20, 256 << 10], ids=["1MiB", "256KiB"])
@pytest.mark.parametrize("call", table(RECURSIVE_CALLS))
def test_recursion_through_a_hook(call, stack):
    check(child(RECURSION.format(call=call, stack=stack * STACK_SCALE)), ENDS_IN_RECURSION_ERROR)


# ---- KeyboardInterrupt while the columns are made ----

# A helper thread interrupts the main thread while it reads a stream that takes a good part
# of a second; calls repeat until the interrupt lands. The interrupt reaches the caller as
# KeyboardInterrupt, and the same Recipe reads the same columns afterwards.
INTERRUPTED = '''
import _thread
import random
import signal
import time

# Ctrl-C raises KeyboardInterrupt here whatever the parent left (a shell starts
# background jobs with SIGINT ignored, and interrupt_main then does nothing).
signal.signal(signal.SIGINT, signal.default_int_handler)

r = pw.Recipe({recipe})
count = {count}
# Random decimal digits, two a byte: valid for every field below.
digits = bytes((b >> 4) % 10 << 4 | (b & 15) % 10 for b in range(256))
buf = random.Random(5).randbytes(count * r.size).translate(digits)
want = r.unpack_columns(buf)
for k in (0, count // 2, count - 1):
    assert r.unpack(buf[k * r.size:(k + 1) * r.size]) == {{name: column[k] for name, column in want.items()}}


def interrupt():
    time.sleep(0.3)
    _thread.interrupt_main()


threading.Thread(target=interrupt).start()
try:
    while True:
        r.unpack_columns(buf)
except KeyboardInterrupt:
    pass
print("right" if r.unpack_columns(buf) == want else "wrong columns")
'''

INTERRUPTED_STREAMS = [
    ("numeric", "[it(4, 'packed_bcd', name=f'd{k}') for k in range(16)]", 4_000_000),
    ("numeric_and_text",
     "[it(8, 'iso_8859_1', name='s'), it(8, 'packed_bcd', name='d'), it(8, 'iso_8859_1', name='t')]", 4_000_000),
]


@pytest.mark.parametrize("recipe, count", table(INTERRUPTED_STREAMS))
def test_keyboard_interrupt_while_columns_are_read(recipe, count):
    check(child(INTERRUPTED.format(recipe=recipe, count=count)), "right")
