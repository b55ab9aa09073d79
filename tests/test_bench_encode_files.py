"""The encode-files benchmark runs end to end at a tiny size (no timing is judged)."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "encode_files.py"


@pytest.mark.slow
def test_tiny_encode_files_bench_runs_and_checks_its_output(tmp_path):
    result = subprocess.run(
        [sys.executable, str(BENCH), "--mb", "0.2", "--doc-mb", "0.05", "--shard-mb", "0.1",
         "--train-mb", "0.05", "--merges", "50", "--workers", "1", "--tiny-tasks", "5",
         "--corpus-dir", str(tmp_path / "corpora"), "--out", str(tmp_path / "report.md")],
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    report = (tmp_path / "report.md").read_text()
    rows = [line for line in report.splitlines() if line.startswith(("| files", "| per-line"))]
    assert len(rows) == 4 and sum("encode-files, 1 worker(s)" in row for row in rows) == 2
    assert "per-task overhead on 1 workers" in report
