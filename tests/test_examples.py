"""The example programs run and print what they promise.

Each runs as its own process on a small amount of data, headless, against
the packweaver the tests import. The plotting and Dask examples need the
examples extra and are skipped without it.
"""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import packweaver

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

needs_matplotlib = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib not installed")
needs_dask = pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="dask.distributed not installed")


def run(script, *args, cwd, timeout=600):
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("DISPLAY", None)
    # The examples import the same packweaver as the tests, wherever it lives.
    here = os.path.dirname(packweaver.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *args], cwd=cwd, env=env,
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_telemetry_frame(tmp_path):
    out = run("telemetry_frame.py", cwd=tmp_path)
    assert re.search(r"^packed \d+ bytes: [0-9a-f ]+$", out, re.M), out
    assert re.search(r"^\s+temperature: -273$", out, re.M), out
    assert re.search(r"^\s+voltage: 28\.5$", out, re.M), out


def test_read_columns_writes_and_reads_a_demo_file(tmp_path):
    out = run("read_columns.py", "--count", "300", cwd=tmp_path)
    assert "300 packets of 12 bytes from housekeeping.bin" in out
    assert "APIDs: [291]" in out and "sequence gaps: 0" in out
    assert re.search(r"temperature \(h\): min -100\s+max 99\s", out), out
    assert re.search(r"voltage \(f\): min 28\s", out), out
    assert "heater on: 50% of packets" in out


def test_read_columns_reads_a_given_file(tmp_path):
    sys.path.insert(0, str(EXAMPLES))
    try:
        import read_columns
    finally:
        sys.path.remove(str(EXAMPLES))
    path = tmp_path / "given.bin"
    read_columns.write_demo(path, 10)
    with open(path, "ab") as f:  # a gap in the sequence count
        f.write(read_columns.LAYOUT.pack([0, 0, 1, 0x7FF, 3, 50, 5, 0, 1, 7, 30.0]))
    out = run("read_columns.py", str(path), cwd=tmp_path)
    assert "11 packets of 12 bytes from given.bin" in out
    assert "APIDs: [291, 2047]" in out and "sequence gaps: 1" in out


@needs_matplotlib
def test_housekeeping_plot(tmp_path):
    out_dir = tmp_path / "plots"
    out = run("housekeeping_plot.py", "--seconds", "900", "--out", str(out_dir), "--repeats", "1", cwd=tmp_path)
    assert f"wrote 900 packets of 21 bytes to {out_dir / 'housekeeping.bin'}" in out
    assert re.search(r"^decoded 900 packets in [\d.]+ ms: [\d,]+ packets/s$", out, re.M), out
    png = out_dir / "housekeeping.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert png.stat().st_size > 10_000
    assert (out_dir / "housekeeping.bin").stat().st_size == 900 * 21


@needs_dask
def test_archive_dask(tmp_path):
    pytest.importorskip("pyarrow")
    out = run("archive_dask.py", "--megabytes", "2", "--partitions", "5", cwd=tmp_path)
    assert re.search(r"^archive: 2 MiB, [\d,]+ packets of 3 streams \(indexed at [\d.]+ GB/s\), cut into 5 partitions$",
                     out, re.M), out
    assert "sequence faults: 0; incomplete tail: 0 bytes" in out
    assert re.search(r"^one process, columns to Parquet: [\d,]+ MB/s$", out, re.M), out
    assert re.search(r"^1 worker: [\d,]+ MB/s, 15 Parquet files, worker peak RSS [\d,]+ MiB$", out, re.M), out
    assert re.search(r"^2 workers: [\d,]+ MB/s, 15 Parquet files", out, re.M), out
    assert "Parquet files equal the single-process reading: True" in out
    assert "Traceback" not in out


def test_archive_partitions_cut_at_packet_boundaries():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import archive_dask
    finally:
        sys.path.remove(str(EXAMPLES))
    packets = [archive_dask.space_packet(100 + k % 3, k, bytes(k % 7 + 1)) for k in range(50)]
    data = b"".join(packets)
    index = packweaver.CCSDS.index(data)
    for count in (1, 3, 7, 50, 80):
        pieces = archive_dask.partitions(index, count)
        assert pieces[0][0] == 0 and pieces[-1][1] == len(data) and len(pieces) == min(count, 50)
        assert all(a < b for a, b in pieces) and all(p[1] == q[0] for p, q in zip(pieces, pieces[1:]))
        assert {a for a, _ in pieces} <= set(index.offsets)
