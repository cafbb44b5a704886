"""Builds and runs the standalone C++ test programs under tests/native."""
import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"
SRC = Path(__file__).parent.parent / "src"
CORE = "every unit of src/common, src/decoder and src/encoder that stands apart from the interpreter"

# (program, the module sources it links besides itself, or CORE)
PROGRAMS = [
    ("f16_roads_test.cpp", ["encoder/ieee754.cpp", "decoder/ieee754.cpp"]),
    ("text_kernels_test.cpp", CORE),
    ("text_sweep_test.cpp", CORE),
]


def core_sources():
    """Found when the test runs, so that a codec split into more units needs no change here."""
    return sorted(str(f) for unit in ("common", "decoder", "encoder") for f in (SRC / unit).glob("*.cpp")
                  if not re.search(r'Python\.h|"\.\./module/', f.read_text()))


def compiler():
    command = shlex.split(os.environ.get("CXX") or "c++")
    if not command or shutil.which(command[0]) is None:
        pytest.skip("no C++ compiler found")
    return command


@pytest.mark.parametrize("program, sources", PROGRAMS, ids=[p for p, _ in PROGRAMS])
def test_native_program(program, sources, tmp_path):
    exe = tmp_path / Path(program).stem
    files = core_sources() if sources == CORE else [str(SRC / s) for s in sources]
    build = subprocess.run(
        [*compiler(), "-std=c++20", "-O2", f"-I{SRC}", str(NATIVE / program), *files, "-o", str(exe)],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    if run.stdout.startswith("skipped"):
        pytest.skip(run.stdout.strip())
