"""Builds the standalone C++ test programs of tests/native against the core
library (the CMake project with the module left out) and runs each."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
PROGRAMS = sorted(p.stem for p in (ROOT / "tests" / "native").glob("*_test.cpp"))

# The sanitizer run builds and runs these programs instrumented (tests/native/run.sh).
pytestmark = pytest.mark.skipif(os.environ.get("PACKWEAVER_EXPECT_BUILD") is not None,
                                reason="run instrumented by tests/native/run.sh")


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    if not (ROOT / "CMakeLists.txt").is_file():
        pytest.skip("no source tree here (the tests run against an installed wheel)")
    if shutil.which("cmake") is None:
        pytest.skip("cmake not found")
    out = tmp_path_factory.mktemp("native")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        ["cmake", "-S", str(ROOT), "-B", str(out), *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DPACKWEAVER_MODULE=OFF", "-DPACKWEAVER_NATIVE_TESTS=ON"],
        ["cmake", "--build", str(out), "--target", "native_tests", "--parallel", "2"],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    return out


@pytest.mark.parametrize("program", PROGRAMS)
def test_native_program(build, program):
    run = subprocess.run([str(build / program)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    if run.stdout.startswith("skipped"):
        pytest.skip(run.stdout.strip())
