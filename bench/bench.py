#!/usr/bin/env python3
"""brevix benchmark: training time and peak memory against the straightforward
engine, Hugging Face tokenizers and SentencePiece; encode and decode
throughput against tiktoken built from the same merges.

    python bench/bench.py [--quick] [--no-peers] [--sizes MB ...] [--merges N]
                          [--out-dir DIR] [--corpus-dir DIR]

Every measurement runs in its own process (bench/worker.py). Nothing here
judges a timing: the script prints each result with its ratio to the brevix
baseline measured in the same run, and writes RESULTS.md.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import importlib.util
import json
import os
import platform
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus as corpora  # noqa: E402

MB = corpora.MB
PEERS = {"tokenizers": "tokenizers", "sentencepiece": "sentencepiece", "tiktoken": "tiktoken"}


@dataclass
class Row:
    corpus: str
    name: str
    result: dict[str, Any]
    baseline: dict[str, Any] | None = None


@dataclass
class Report:
    machine: dict[str, str]
    corpora: list[tuple[str, dict[str, int]]] = field(default_factory=list)
    training: list[Row] = field(default_factory=list)
    throughput: list[Row] = field(default_factory=list)
    settings: dict[str, Any] = field(default_factory=dict)


# ---- running measurements ----------------------------------------------------


def run_worker(task: str, params: dict[str, Any], timeout: float, env: dict[str, str]) -> dict[str, Any]:
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    try:
        proc = subprocess.run(
            [sys.executable, str(HERE / "worker.py"), task, json.dumps(params), out],
            env={**os.environ, **env},
            stderr=subprocess.PIPE,
            timeout=timeout,
        )
        text = Path(out).read_text()
        if proc.returncode != 0 or not text:
            tail = proc.stderr.decode(errors="replace").strip().splitlines()[-1:] or [""]
            return {"status": "failed", "why": f"exit {proc.returncode}: {tail[0]}"}
        result: dict[str, Any] = json.loads(text)
        return result
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "why": f"over {timeout:.0f} s"}
    finally:
        os.unlink(out)


def peer_status(module: str, no_peers: bool) -> str | None:
    """None when the peer can run, otherwise why it is not measured."""
    if no_peers:
        return "skipped (--no-peers)"
    if importlib.util.find_spec(module) is None:
        return "not installed (bench/run.sh installs it from PyPI)"
    return None


SINGLE_THREAD = {"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "1", "TOKENIZERS_PARALLELISM": "false"}


def training_runs(path: Path, label: str, args: argparse.Namespace, workdir: Path, report: Report) -> Path | None:
    params = {"corpus": str(path), "merges": args.merges}
    model_out = workdir / f"brevix-{label}.model"
    base = run_worker("train-brevix-fast", {**params, "model_out": str(model_out)}, args.timeout, {})
    report.training.append(Row(label, "brevix fit (fast engine)", base))
    show(report.training[-1])

    size_mb = path.stat().st_size / MB
    if size_mb * args.merges <= args.straightforward_limit:
        r = run_worker("train-brevix-straightforward", params, args.timeout, {})
    else:
        r = {"status": "skipped", "why": f"over {args.straightforward_limit} MB x merges"}
    report.training.append(Row(label, "brevix straightforward engine", r, base))
    show(report.training[-1])

    peers = [
        ("tokenizers", "HF tokenizers BPE, byte-level words", "train-hf", {"split": True}),
        ("tokenizers", "HF tokenizers BPE, unsplit lines", "train-hf", {"split": False}),
        ("sentencepiece", "SentencePiece BPE", "train-sentencepiece", {}),
    ]
    for module, name, task, extra in peers:
        why = peer_status(module, args.no_peers)
        r = {"status": why} if why else run_worker(task, {**params, **extra}, args.timeout, SINGLE_THREAD)
        report.training.append(Row(label, name, r, base))
        show(report.training[-1])
    return model_out if base.get("status") == "ok" else None


def throughput_runs(model: Path, text: Path, label: str, args: argparse.Namespace, report: Report) -> None:
    params = {"model": str(model), "text": str(text), "repeat": args.repeat}
    base = run_worker("throughput-brevix", params, args.timeout, {})
    report.throughput.append(Row(label, "brevix", base))
    show(report.throughput[-1])
    why = peer_status("tiktoken", args.no_peers)
    r = {"status": why} if why else run_worker("throughput-tiktoken", params, args.timeout, {})
    report.throughput.append(Row(label, "tiktoken (same merges)", r, base))
    show(report.throughput[-1])


# ---- presentation ------------------------------------------------------------


def ratio(value: float | None, base: float | None) -> str:
    if value is None or not base:
        return ""
    return f"{value / base:.2f}x"


def show(row: Row) -> None:
    r = row.result
    if r.get("status") != "ok":
        why = f": {r['why']}" if r.get("why") else ""
        print(f"  {row.corpus:>8}  {row.name:<38} {r.get('status')}{why}", flush=True)
        return
    if "seconds" in r:
        base = row.baseline["seconds"] if row.baseline and row.baseline.get("status") == "ok" else None
        rel = f"  time vs brevix {ratio(r['seconds'], base)}" if base else ""
        print(f"  {row.corpus:>8}  {row.name:<38} {r['seconds']:9.3f} s  peak {r['peak_rss_mb']:8.1f} MB"
              f"  merges {r.get('merges_learned', '?')}{rel}", flush=True)
    else:
        base = row.baseline if row.baseline and row.baseline.get("status") == "ok" else None
        parts = [f"encode {r['encode_mb_s']:8.2f} MB/s", f"decode {r['decode_mb_s']:8.2f} MB/s"]
        if "encode_corpus_mb_s" in r:
            parts.append(f"encode_corpus {r['encode_corpus_mb_s']:8.2f} MB/s")
        if base:
            parts.append(f"encode vs brevix {ratio(r['encode_mb_s'], base['encode_mb_s'])}, "
                         f"decode vs brevix {ratio(r['decode_mb_s'], base['decode_mb_s'])}")
        print(f"  {row.corpus:>8}  {row.name:<38} " + "  ".join(parts), flush=True)


def machine() -> dict[str, str]:
    def first_line(cmd: list[str]) -> str:
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout
            return out.splitlines()[0] if out else "unknown"
        except (OSError, subprocess.SubprocessError):
            return "unknown"

    info = {"CPU": "unknown", "Memory": "unknown", "OS": platform.platform()}
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                info["CPU"] = line.split(":", 1)[1].strip()
                break
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                info["Memory"] = f"{int(line.split()[1]) / 1e6:.1f} GB"
                break
    except OSError:
        pass
    info["Cores"] = f"{os.cpu_count()} logical, {len(os.sched_getaffinity(0))} usable by this process"
    info["Python"] = f"{platform.python_implementation()} {platform.python_version()}"
    info["Compiler"] = first_line([os.environ.get("CXX", "c++"), "--version"])
    for name in ["brevix", *PEERS]:
        try:
            info[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            info[name] = "not installed"
    return info


def cell(r: dict[str, Any], key: str, fmt: str) -> str:
    return fmt.format(r[key]) if r.get("status") == "ok" and key in r else ""


def write_markdown(report: Report, path: Path) -> None:
    s = report.settings
    lines = [
        "# brevix benchmark results",
        "",
        f"Run {datetime.datetime.now().isoformat(timespec='seconds')} with "
        f"`python bench/bench.py {' '.join(s['argv'])}`.",
        "",
        "## Machine",
        "",
        *[f"- {k}: {v}" for k, v in report.machine.items()],
        "",
        "## Corpora",
        "",
        "Real text from this machine (see `bench/corpus.py`): brevix's sample text, manual pages in "
        "every installed language with roff stripped, /usr/share/doc text and HTML with tags "
        "stripped, Vim help. `passes` > 1 means the machine ran out of distinct text and "
        "documents were reused in another order.",
        "",
        "| corpus | bytes | non-ASCII bytes | passes |",
        "|---|---:|---:|---:|",
        *[f"| {label} | {i['bytes']} | {i['non_ascii_bytes']} | {i['passes']} |" for label, i in report.corpora],
        "",
        f"## Training ({s['merges']} merges, vocabulary {256 + s['merges']})",
        "",
        "One process per measurement; time covers the training call only; peak RSS is the whole "
        "process (corpus as loaded by each library included); `RSS before` is the resident size "
        "just before training. Ratios are time / brevix fit time on the same corpus (lower is "
        "faster). Peers run single-threaded.",
        "",
        "| corpus | trainer | time (s) | vs brevix | peak RSS (MB) | RSS before (MB) | merges/pieces | status |",
        "|---|---|---:|---:|---:|---:|---:|---|",
    ]
    for row in report.training:
        r = row.result
        base = row.baseline.get("seconds") if row.baseline and row.baseline.get("status") == "ok" else None
        rel = ratio(r.get("seconds"), base) if r.get("status") == "ok" and base else ""
        status = r.get("status", "")
        if status != "ok":
            status = f"{status}: {r.get('why', '')}".rstrip(": ")
        lines.append(
            f"| {row.corpus} | {row.name} | {cell(r, 'seconds', '{:.3f}')} | {rel} | "
            f"{cell(r, 'peak_rss_mb', '{:.1f}')} | {cell(r, 'rss_before_mb', '{:.1f}')} | "
            f"{r.get('merges_learned', '')} | {status} |"
        )
    lines += [
        "",
        "## Encode and decode throughput",
        "",
        "Both use the merges brevix learned on the text's own corpus. brevix `encode` also prints "
        "every id (to /dev/null here), which is part of its cost; `encode_corpus` is the same "
        "merging without bytes in or printing out. tiktoken is built from the same merges "
        "(`mergeable_ranks`: the bytes of each merged token, ranked by id) with a pattern that "
        "only cuts the text at line ends, as brevix has no pre-tokenisation; tiktoken applies "
        "merges lowest rank first, brevix leftmost first, so token counts can differ slightly. "
        "Ratios are peer / brevix throughput (higher is faster).",
        "",
        "| text | library | encode MB/s | vs brevix | encode_corpus MB/s | decode MB/s | vs brevix | tokens | status |",
        "|---|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for row in report.throughput:
        r = row.result
        ok = r.get("status") == "ok"
        b = row.baseline if row.baseline and row.baseline.get("status") == "ok" else None
        status = r.get("status", "") if ok else f"{r.get('status')}: {r.get('why', '')}".rstrip(": ")
        lines.append(
            f"| {row.corpus} | {row.name} | {cell(r, 'encode_mb_s', '{:.2f}')} | "
            f"{ratio(r.get('encode_mb_s'), b['encode_mb_s']) if ok and b else ''} | "
            f"{cell(r, 'encode_corpus_mb_s', '{:.2f}')} | {cell(r, 'decode_mb_s', '{:.2f}')} | "
            f"{ratio(r.get('decode_mb_s'), b['decode_mb_s']) if ok and b else ''} | "
            f"{r.get('tokens', '')} | {status} |"
        )
    path.write_text("\n".join(lines) + "\n")


# ---- main ----------------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes, a few seconds (CI smoke run)")
    p.add_argument("--no-peers", action="store_true", help="measure brevix only")
    p.add_argument("--sizes", type=float, nargs="+", metavar="MB", help="corpus sizes in MB")
    p.add_argument("--merges", type=int, help="merges to learn (default 1000; quick: 50)")
    p.add_argument("--straightforward-limit", type=float, default=1000,
                   help="run the straightforward engine only when MB x merges <= this")
    p.add_argument("--timeout", type=float, help="seconds per measurement (default 3600; quick: 120)")
    p.add_argument("--repeat", type=int, default=3, help="throughput: best of this many runs")
    p.add_argument("--out-dir", type=Path, default=HERE, help="where RESULTS.md goes")
    p.add_argument("--corpus-dir", type=Path, help="corpus cache (default /tmp/brevix-bench-corpora)")
    args = p.parse_args(argv)
    args.sizes = args.sizes or ([0.05, 0.2] if args.quick else [1, 10, 100])
    args.merges = args.merges or (50 if args.quick else 1000)
    args.timeout = args.timeout or (120 if args.quick else 3600)
    args.corpus_dir = args.corpus_dir or Path(tempfile.gettempdir()) / "brevix-bench-corpora"
    args.argv = argv if argv is not None else sys.argv[1:]
    return args


def size_label(size_mb: float) -> str:
    return f"{size_mb:g} MB"


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    report = Report(machine=machine(), settings={"merges": args.merges, "argv": args.argv})
    print("machine: " + "; ".join(f"{k} {v}" for k, v in report.machine.items()), flush=True)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="brevix-bench-") as tmp:
        for size_mb in args.sizes:
            label = size_label(size_mb)
            path, info = corpora.ensure(int(size_mb * MB), args.corpus_dir)
            report.corpora.append((label, info))
            print(f"\n{label} corpus: {path} ({info['bytes']} bytes, "
                  f"{info['non_ascii_bytes']} non-ASCII)", flush=True)
            model = training_runs(path, label, args, Path(tmp), report)
            # Throughput on the smallest corpus only: encoding time grows with
            # the text, and one size is enough to compare libraries.
            if model is not None and size_mb == min(args.sizes):
                throughput_runs(model, path, label, args, report)
    out = args.out_dir / "RESULTS.md"
    write_markdown(report, out)
    print(f"\nwrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
