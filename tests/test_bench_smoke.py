"""The benchmark runs end to end in quick mode (no timings are judged)."""

import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"


def test_quick_bench_runs_and_writes_results(tmp_path):
    result = subprocess.run(
        [sys.executable, str(BENCH), "--quick", "--no-peers", "--sizes", "0.02", "0.05",
         "--out-dir", str(tmp_path / "out"), "--corpus-dir", str(tmp_path / "corpora")],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    report = (tmp_path / "out" / "RESULTS.md").read_text()
    assert "## Machine" in report
    assert "## Small calls" in report and "decoded bytes correct" in report
    assert "| 0.02 MB | brevix fit (fast engine) |" in report
    # Every trainer and library has a row, measured or with its reason.
    rows = [line for line in report.splitlines() if line.startswith("| 0.0")]
    for name in ["HF tokenizers BPE", "SentencePiece BPE", "tiktoken (same merges)"]:
        peer_rows = [line for line in rows if name in line]
        assert peer_rows and all("skipped (--no-peers)" in line for line in peer_rows)
    fit_rows = [line for line in rows if "| brevix fit (fast engine) |" in line]
    assert len(fit_rows) == 2 and all(line.rstrip().endswith("| ok |") for line in fit_rows)
    corpora = sorted((tmp_path / "corpora").glob("corpus-*.txt"))
    assert [p.stat().st_size <= int(p.stem.split("-")[1]) for p in corpora] == [True, True]
    assert any(b >= 0x80 for b in corpora[-1].read_bytes())


def test_alternating_rounds_report_the_ratio_of_medians():
    sys.path.insert(0, str(BENCH.parent))
    try:
        import bench
    finally:
        sys.path.remove(str(BENCH.parent))
    report = bench.Report(machine={})
    report.rounds = [("1 MB", 30000, [3.0, 1.0, 2.0], [4.0, 4.0, 1.0]), ("10 MB", 30000, [], [])]
    rows = [line for line in bench.rounds_lines(report) if line.startswith("| 1")]
    # Medians 2.0 and 4.0, not the median of the per-round ratios (0.75).
    assert rows[0] == "| 1 MB | 30000 | 3 | 2.000 | 4.000 | 0.500 | 0.750, 0.250, 2.000 |"
    assert rows[1] == "| 10 MB | 30000 | 0 | | | | failed |"


@pytest.mark.slow
def test_bpe_encode_bench_runs_quick(tmp_path):
    script = BENCH.parent / "bpe_encode.py"
    result = subprocess.run(
        [sys.executable, str(script), "--quick", "--corpus-dir", str(tmp_path / "corpora")],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("# brevix::bpe encoding, one thread")
    for name in ("cl100k_base", "o200k_base"):
        assert f"| {name} |" in result.stdout


@pytest.mark.slow
def test_serving_bench_runs_quick_and_checks_every_output(tmp_path):
    pytest.importorskip("bpe_openai")
    result = subprocess.run(
        [sys.executable, str(BENCH.parent / "serving.py"), "--quick", "--corpus-dir", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    # Exit status 1 means some output differed from brevix's encode or the text.
    assert result.returncode == 0, result.stdout + result.stderr
    assert "WRONG OUTPUT" not in result.stdout
    targets = [line for line in result.stdout.splitlines() if line.startswith("| `count") or
               line.startswith("| `encode(text, max_tokens") or line.startswith("| streaming decode")]
    assert len(targets) == 6
    # Each target states a verdict, or why it has none (a peer not installed).
    assert all(line.rstrip().endswith(("| holds |", "| MISSED |", "| not measured |")) for line in targets)


def test_train_pieces_runs_only_the_chosen_trainers(tmp_path):
    result = subprocess.run(
        [sys.executable, str(BENCH.parent / "train_pieces.py"), "--quick", "--trainers", "brevix",
         "--corpus-dir", str(tmp_path), "--note", "Peers left out here."],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line for line in result.stdout.splitlines() if line.startswith("| 1 MB |")]
    measured = [line for line in rows if "not run" not in line]
    assert [line.split("|")[2].strip() for line in measured[:1]] == ["brevix"]
    assert sum("not run" in line for line in rows) == 4
    assert "Peers left out here." in result.stdout
