"""The split throughput benchmark runs end to end in quick mode (no timings
are judged)."""

import pathlib
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "split_throughput.py"


def test_quick_split_bench_reports_every_corpus_and_pattern(tmp_path):
    table = tmp_path / "split.md"
    result = subprocess.run([sys.executable, str(BENCH), "--quick", "--markdown", str(table)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line for line in table.read_text().splitlines() if line.startswith("| ") and "MB/s" not in line]
    patterns = {row.split("|")[2].strip() for row in rows}
    assert patterns == {"gpt2", "cl100k", "o200k"}
    assert any(row.startswith("| Python sources |") for row in rows)
