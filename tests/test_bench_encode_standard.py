"""The standard-encoding benchmark runs end to end in quick mode and keeps the
other sections of a RESULTS.md (no timing is judged)."""

import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "encode_standard.py"


def bench_module():
    sys.path.insert(0, str(BENCH.parent))
    try:
        import encode_standard
    finally:
        sys.path.remove(str(BENCH.parent))
    return encode_standard


@pytest.mark.slow
def test_quick_run_measures_every_part_and_splices_its_section(tmp_path):
    pytest.importorskip("bpe_openai")  # ships the cl100k file
    results = tmp_path / "RESULTS.md"
    results.write_text("# results\n\n## Machine\n\n- CPU: x\n\n## Small calls\n\nkept\n")
    command = [sys.executable, str(BENCH), "--quick", "--results", str(results),
               "--corpus-dir", str(tmp_path / "corpora")]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    report = results.read_text()
    assert report.count("## Standard encoding") == 1
    assert report.startswith("# results\n\n## Machine\n\n- CPU: x\n\n## Small calls\n\nkept\n\n")
    section = report.split("## Standard encoding", 1)[1]
    assert "- Load average" in section and "- bpe-openai:" in section
    targets = section.split("### Targets", 1)[1].split("\n### ", 1)[0]
    for measure in ["cl100k encode, brevix / tiktoken", "cl100k encode, brevix / bpe-openai",
                    "cl100k decode from a NumPy int32 array", "encode_batch 2 threads, documents",
                    "unsplit: rank encode / the encoding it replaced", "worst case, unsplit, letters"]:
        assert f"| {measure}" in targets
    # Every peer that ran gave brevix's ids; measured rows have a status.
    for line in section.splitlines():
        if line.startswith(("| tiktoken `encode", "| bpe-openai")):
            assert "identical to brevix" in line or "not installed" in line
    assert "TEXT NOT RESTORED" not in section and "ROUND TRIP FAILS" not in section
    assert "DIFFERS FROM THE REFERENCE" not in section and "| NO |" not in section
    # With cl100k each worst-case input is one piece: the pattern cuts none of them.
    worst = [line for line in section.splitlines() if line.startswith("| cl100k | ")]
    assert len(worst) == 3 and all(line.split(" | ")[2] == "1" for line in worst)


@pytest.mark.parametrize("kind", ["a", "random", "letters"])
def test_worst_case_inputs_have_the_size_asked_and_no_pattern_cuts_them(kind):
    from brevix import PATTERNS, _internal

    module = bench_module()
    real = "Ünïcode words, digits 123 and 'quotes' — 漢字かな\n".encode() * 50
    for size in (1000, 4096):
        data = module.worst_input(kind, size, real)
        assert size - 3 <= len(data) <= size
        data.decode("utf-8")  # whole characters only
        for name in ("cl100k", "o200k") if kind != "letters" else ("cl100k",):
            assert _internal.split(PATTERNS[name], data) == [len(data)]


def test_halves_split_a_batch_at_about_half_its_bytes():
    module = bench_module()
    batch = [b"x" * n for n in (5, 1, 1, 1, 2)]
    first, second = module.halves(batch)
    assert first + second == batch and sum(map(len, first)) == 5
    assert module.halves([b"abc"]) == [[b"abc"], []]
    assert module.halves([]) == [[], []]


@pytest.mark.parametrize(("argv", "default_results"), [
    ([], True),
    (["--parts", "unsplit"], False),
    (["--parts", "encode", "batch", "unsplit", "worst"], True),
    (["--quick"], False),
])
def test_only_a_full_run_replaces_the_recorded_results_by_default(argv, default_results):
    args = bench_module().parse_args(argv)
    assert (args.results == BENCH.parent / "RESULTS.md") is default_results
    assert bench_module().parse_args(argv + ["--results", "x.md"]).results == pathlib.Path("x.md")
