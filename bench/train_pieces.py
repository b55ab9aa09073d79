#!/usr/bin/env python3
"""GPT-style training from piece counts: brevix against Hugging Face
tokenizers' BpeTrainer and rustbpe, on real text with documents = lines, the
cl100k split pattern and a vocabulary of 32,768 (256 bytes + 32,512 merges).

    python bench/train_pieces.py [--quick] [--sizes MB ...] [--rounds N]
                                 [--vocab N] [--no-write] [--corpus-dir DIR]
                                 [--trainers KEY ...] [--section TITLE] [--note TEXT]

    # the 1 GB run, brevix only, in a section of its own:
    python bench/train_pieces.py --sizes 1000 --trainers brevix brevix-1 \
        --section "## Training from piece counts at 1 GB (GPT-style)" --note "..."

Every measurement runs in its own process; time covers the training call
only (each trainer reads the file itself inside it), peak RSS is the
process's VmHWM. The trainers run in alternating rounds (brevix, brevix on
one thread, HF on 1 and 2 threads, rustbpe, then again), so that a drift of
the machine's speed hits all alike; the tables give medians and the ratios
of medians to brevix on its default threads. Each peer's merges are compared
with brevix's (the tokens' bytes in merge order).

The trainers:
- brevix: `_internal.train_file_pieces` (the file memory-mapped, counted on
  one thread per CPU, at most 8, then the merge loop on one);
- HF tokenizers: BPE model, pre-tokenizer Split(cl100k, isolated) then
  ByteLevel(use_regex=False), BpeTrainer with the 256-byte alphabet,
  `train([path])` (lines with their newline), RAYON_NUM_THREADS=1 and 2;
- rustbpe: `train_from_iterator` over the file's lines (`open(path, "rb")`,
  decoded) with pattern=cl100k, its default threads.

`--trainers` picks some of them by key (brevix, brevix-1, hf-1, hf-2,
rustbpe); the others get a row saying they were not run, with `--note`
giving the reason in the section's text.

Nothing here judges a timing. Unless --no-write, the section named by
--section (default "Training from piece counts (GPT-style)") of
bench/RESULTS.md is replaced (or added at the end).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus as corpora  # noqa: E402
from results_md import splice  # noqa: E402

SECTION = "## Training from piece counts (GPT-style)"

COMMON = r"""
import json, sys, time
def status_kb(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])
path, vocab, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
from brevix import _internal
CL100K = _internal.well_known_patterns()["cl100k"]
def finish(seconds, tokens, **extra):
    with open(out, "w") as f:
        json.dump([t.hex() for t in tokens], f)
    print(json.dumps({"seconds": seconds, "peak_kb": status_kb("VmHWM:"),
                      "rss_before_kb": before, "merges": len(tokens), **extra}))
"""

BREVIX = COMMON + r"""
threads = int(sys.argv[4])
before = status_kb("VmRSS:")
start = time.perf_counter()
r = _internal.train_file_pieces(CL100K, path, True, vocab - 256, threads=threads)
seconds = time.perf_counter() - start
table = {i: bytes([i]) for i in range(256)}
for left, right, new in r["merges"]:
    table[new] = table[left] + table[right]
finish(seconds, [table[m[2]] for m in r["merges"]],
       **{k: v for k, v in r.items() if k != "merges"})
"""

HF = COMMON + r"""
from tokenizers import Regex, Tokenizer, models, pre_tokenizers, trainers
tok = Tokenizer(models.BPE())
tok.pre_tokenizer = pre_tokenizers.Sequence([
    pre_tokenizers.Split(Regex(CL100K), behavior="isolated"),
    pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])
trainer = trainers.BpeTrainer(vocab_size=vocab, show_progress=False,
                              initial_alphabet=pre_tokenizers.ByteLevel.alphabet())
before = status_kb("VmRSS:")
start = time.perf_counter()
tok.train([path], trainer)
seconds = time.perf_counter() - start
# ByteLevel's characters back to bytes (GPT-2's table).
printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
chars = printable + [b for b in range(256) if b not in printable]
codes = printable + [256 + i for i in range(256 - len(printable))]
to_byte = {chr(c): b for b, c in zip(chars, codes)}
def raw(s):
    return bytes(to_byte[ch] for ch in s)
merges = json.loads(tok.to_str())["model"]["merges"]
pairs = [m if isinstance(m, list) else m.split(" ") for m in merges]
finish(seconds, [raw(a) + raw(b) for a, b in pairs])
"""

RUSTBPE = COMMON + r"""
import rustbpe
tok = rustbpe.Tokenizer()
before = status_kb("VmRSS:")
start = time.perf_counter()
with open(path, "rb") as f:
    tok.train_from_iterator((line.decode() for line in f), vocab, pattern=CL100K)
seconds = time.perf_counter() - start
ranks = sorted(tok.get_mergeable_ranks(), key=lambda t: t[1])
finish(seconds, [t for t, _ in ranks[256:]])
"""

# (label, program, extra argv, extra environment)
TRAINERS: list[tuple[str, str, list[str], dict[str, str]]] = [
    ("brevix", BREVIX, ["0"], {}),
    ("brevix, 1 thread", BREVIX, ["1"], {}),
    ("HF tokenizers, 1 thread", HF, [], {"RAYON_NUM_THREADS": "1"}),
    ("HF tokenizers, 2 threads", HF, [], {"RAYON_NUM_THREADS": "2"}),
    ("rustbpe", RUSTBPE, [], {}),
]
# --trainers names them by these keys, in TRAINERS' order.
KEYS = ["brevix", "brevix-1", "hf-1", "hf-2", "rustbpe"]
BASELINE = "brevix"


def run(program: str, argv: list[str], env: dict[str, str], timeout: float) -> dict[str, Any]:
    """One measurement in a fresh interpreter; {"error": ...} when it fails."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tokens_file:
        tokens_path = tokens_file.name
    try:
        done = subprocess.run([sys.executable, "-c", program, argv[0], argv[1], tokens_path, *argv[2:]],
                              capture_output=True, text=True, timeout=timeout,
                              env={**os.environ, **env})
        if done.returncode != 0:
            return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
        result: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
        with open(tokens_path) as f:
            result["tokens"] = json.load(f)
        return result
    except subprocess.TimeoutExpired:
        return {"error": f"stopped after {timeout:.0f} s"}
    finally:
        os.unlink(tokens_path)


def agreement(tokens: list[str], reference: list[str]) -> str:
    """How a trainer's merged tokens compare with brevix's."""
    if tokens == reference:
        return "identical"
    for i, (a, b) in enumerate(zip(tokens, reference)):
        if a != b:
            return f"first differs at merge {i:,}"
    return f"same first {min(len(tokens), len(reference)):,} merges, then one stops"


def measure(path: Path, args: argparse.Namespace) -> dict[str, list[dict[str, Any]]]:
    results: dict[str, list[dict[str, Any]]] = {label: [] for label, *_ in TRAINERS}
    chosen = [t for key, t in zip(KEYS, TRAINERS) if key in args.trainers]
    for key, (label, *_) in zip(KEYS, TRAINERS):
        if key not in args.trainers:
            results[label].append({"error": "not run (see the note above)"})
    for round_ in range(args.rounds):
        for label, program, extra, env in chosen:
            r = run(program, [str(path), str(args.vocab), *extra], env, args.timeout)
            results[label].append(r)
            shown = f"{r['seconds']:.2f} s, peak {r['peak_kb'] / 1024:.0f} MB" if "error" not in r \
                else r["error"]
            print(f"  round {round_ + 1}  {label:<26} {shown}", flush=True)
    return results


def median(runs: list[dict[str, Any]], key: str) -> float | None:
    values = [r[key] for r in runs if "error" not in r]
    return statistics.median(values) if values else None


def ratio(value: float | None, base: float | None) -> str:
    return f"{value / base:.2f}x" if value is not None and base else ""


def size_rows(size_mb: float, results: dict[str, list[dict[str, Any]]]) -> list[str]:
    base_time = median(results[BASELINE], "seconds")
    base_peak = median(results[BASELINE], "peak_kb")
    reference = next((r["tokens"] for r in results[BASELINE] if "error" not in r), [])
    rows = []
    for label, runs in results.items():
        good = [r for r in runs if "error" not in r]
        if not good:
            rows.append(f"| {size_mb:g} MB | {label} | | | | | | | {runs[0]['error']} |")
            continue
        seconds = median(runs, "seconds")
        peak = median(runs, "peak_kb")
        same = "" if label.startswith("brevix") and label != BASELINE else agreement(good[0]["tokens"], reference)
        if label == BASELINE:
            same = "(the reference)"
        per_round = ", ".join(f"{r['seconds']:.2f}" for r in good)
        rows.append(f"| {size_mb:g} MB | {label} | {seconds:.2f} | {ratio(seconds, base_time)} | "
                    f"{peak / 1024:,.0f} | {ratio(peak, base_peak)} | {good[0]['merges']:,} | {same} | "
                    f"{per_round} |")
    return rows


def detail_row(size_mb: float, results: dict[str, list[dict[str, Any]]]) -> list[str]:
    rows = []
    for label in ("brevix", "brevix, 1 thread"):
        good = [r for r in results[label] if "error" not in r]
        if not good:
            continue
        count = statistics.median(r["count_seconds"] for r in good)
        merge = statistics.median(r["merge_seconds"] for r in good)
        r = good[0]
        per_piece = r["trainer_bytes"] / max(r["trained_pieces"], 1)
        peak_per_piece = statistics.median(g["peak_kb"] for g in good) * 1024 / max(r["distinct_pieces"], 1)
        rows.append(f"| {size_mb:g} MB | {label} | {count:.2f} | {merge:.2f} | "
                    f"{count / (count + merge):.0%} | {r['bytes_counted'] / 1e6 / count:.0f} | "
                    f"{r['distinct_pieces']:,} | {r['piece_bytes'] / 1e6:.1f} | "
                    f"{r['table_bytes'] / 1e6:.1f} | {r['trainer_bytes'] / 1e6:.1f} | {per_piece:.0f} | "
                    f"{peak_per_piece:,.0f} |")
    return rows


def machine_lines() -> list[str]:
    try:
        import bench
        info = bench.machine()
        load = bench.load_average()
    except Exception as error:  # the description is a courtesy, not the measurement
        return [f"(machine description unavailable: {error})"]
    for name in ("rustbpe",):
        try:
            import importlib.metadata
            info[name] = importlib.metadata.version(name)
        except Exception:
            info[name] = "not installed"
    return [f"- {k}: {v}" for k, v in info.items()] + [f"- Load average at the end: {load}"]


def section(args: argparse.Namespace, tables: list[tuple[float, dict[str, Any], dict[str, list[dict[str, Any]]]]],
            started: datetime.datetime) -> list[str]:
    minutes = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds() / 60
    lines = [
        args.section,
        "",
        f"Run {started.isoformat(timespec='seconds')} (UTC) with `python bench/train_pieces.py"
        f"{' ' + shlex.join(sys.argv[1:]) if sys.argv[1:] else ''}`; it took {minutes:.1f} minutes. "
        f"Documents = lines (with their newline), the cl100k pattern, vocabulary {args.vocab:,} "
        f"({args.vocab - 256:,} merges). {args.rounds} alternating rounds, one process per "
        "measurement; time is the training call (reading the file included), peak RSS the "
        "process's VmHWM; medians, ratios of medians to brevix on its default threads (one per "
        "CPU). `merges vs brevix` compares the merged tokens' bytes in merge order. HF and "
        "rustbpe hold every line as a string while counting; brevix maps the file and hands "
        "pages back as it counts them." + (f" {args.note}" if args.note else ""),
        "",
        *machine_lines(),
        "",
        "| corpus | trainer | time (s) | time vs brevix | peak RSS (MB) | peak vs brevix | merges "
        "| merges vs brevix | seconds per round |",
        "|---|---|---:|---:|---:|---:|---:|---|---|",
    ]
    for size_mb, _, results in tables:
        lines += size_rows(size_mb, results)
    lines += [
        "",
        "brevix's two steps: counting (splitting every line and counting its distinct pieces, on "
        "the threads) and the merge loop (one thread); `trainer bytes per piece` is the merge "
        "loop's heap at its largest per distinct piece trained on (two bytes or more); the "
        "count table is the distinct pieces' hash table and bytes.",
        "",
        "| corpus | brevix | counting (s) | merging (s) | counting share | counting MB/s "
        "| distinct pieces | their bytes (MB) | count table (MB) | merge loop (MB) "
        "| trainer bytes per piece | peak RSS per distinct piece (bytes) |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for size_mb, _, results in tables:
        lines += detail_row(size_mb, results)
    corpus_notes = ", ".join(f"{size:g} MB: {info.get('bytes', 0):,} bytes, {info.get('passes', 1)} pass(es)"
                             for size, info, _ in tables)
    lines += ["", f"Corpora (bench/corpus.py): {corpus_notes}.", ""]
    return lines


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", type=float, nargs="+", default=[1, 10, 100], help="corpus sizes in MB")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--vocab", type=int, default=32768)
    p.add_argument("--timeout", type=float, default=1800)
    p.add_argument("--quick", action="store_true", help="1 MB, one round, no RESULTS.md")
    p.add_argument("--no-write", action="store_true", help="print only")
    p.add_argument("--corpus-dir", type=Path, default=Path("/tmp/brevix-bench-corpora"))
    p.add_argument("--trainers", nargs="+", choices=KEYS, default=KEYS, help="which trainers run")
    p.add_argument("--section", default=SECTION, help="the RESULTS.md section written")
    p.add_argument("--note", default="", help="a sentence added to the section's text")
    args = p.parse_args()
    if args.quick:
        args.sizes, args.rounds, args.no_write = [1], 1, True
    return args


def main() -> None:
    args = parse_args()
    started = datetime.datetime.now(datetime.timezone.utc)
    tables = []
    for size_mb in args.sizes:
        path, info = corpora.ensure(int(size_mb * corpora.MB), args.corpus_dir)
        print(f"{size_mb:g} MB ({path}):", flush=True)
        tables.append((size_mb, info, measure(path, args)))
    lines = section(args, tables, started)
    print("\n".join(lines))
    if not args.no_write:
        splice(HERE / "RESULTS.md", "\n".join(lines))


if __name__ == "__main__":
    main()
