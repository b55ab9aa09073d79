"""The distributed-training benchmark runs end to end at a tiny size and
checks its cluster counts against one process (no timing is judged)."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "train_distributed.py"


def test_tiny_train_distributed_bench_runs(tmp_path):
    result = subprocess.run(
        [sys.executable, str(BENCH), "--mb", "0.2", "--shard-mb", "0.07", "--workers", "1",
         "--corpus-dir", str(tmp_path / "corpora"), "--out", str(tmp_path / "report.md")],
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    report = (tmp_path / "report.md").read_text()
    assert sum(line.startswith("| one process") for line in report.splitlines()) == 2
    assert "| Dask, 1 worker(s), 3 shards" in report
    assert "counts of one 0.1 MB shard" in report
