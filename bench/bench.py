#!/usr/bin/env python3
"""brevix benchmark: training time and peak memory against the straightforward
engine, Hugging Face tokenizers and SentencePiece; encode and decode
throughput against tiktoken built from the same merges.

    python bench/bench.py [--quick] [--no-peers] [--sizes MB ...] [--merges N ...]
                          [--text-mb MB] [--out-dir DIR] [--corpus-dir DIR]

Without --sizes and --merges it runs the full matrix (DEFAULT_CASES): 1, 10
and 100 MB at 1,000, 10,000, 30,000 and 50,000 merges; encode and decode
then use the tokenizer with the most merges on a 10 MB text. RESULTS.md
gets every measurement and a matrix of seconds per 1,000 merges. Last comes
the small-calls table (bench/small_calls.py): time per call on tiny inputs
against tables of up to 250,000 merges.

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
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus as corpora  # noqa: E402
from results_md import write_keeping_others  # noqa: E402

MB = corpora.MB
PEERS = {"tokenizers": "tokenizers", "sentencepiece": "sentencepiece", "tiktoken": "tiktoken"}


@dataclass(frozen=True)
class Case:
    """One training configuration: a corpus size and a number of merges."""

    size_mb: float
    merges: int

    @property
    def corpus(self) -> str:
        return f"{self.size_mb:g} MB"

    def within(self, other: Case) -> bool:
        """True when this case is no bigger than `other` in both dimensions."""
        return self.size_mb <= other.size_mb and self.merges <= other.merges


# The full matrix: linearity in corpus size and in merges.
MATRIX_SIZES = [1, 10, 100]
MATRIX_MERGES = [1000, 10000, 30000, 50000]
DEFAULT_CASES = [Case(size, merges) for size in MATRIX_SIZES for merges in MATRIX_MERGES]
QUICK_CASES = [Case(0.05, 50), Case(0.2, 50)]


@dataclass(frozen=True)
class Trainer:
    """A trainer compared with brevix's fast engine on every case."""

    name: str
    task: str
    params: dict[str, Any]
    module: str | None  # peer package, None for brevix itself
    short_timeout: bool = False  # known to grow faster than linearly
    threads: int = 1
    max_merges: int | None = None  # not run on larger cases (too slow to be useful there)


TRAINERS = [
    Trainer("brevix straightforward engine", "train-brevix-straightforward", {}, None),
    Trainer("HF tokenizers BPE, byte-level words", "train-hf", {"mode": "words"}, "tokenizers"),
    Trainer("HF tokenizers BPE, byte-level words, 2 threads", "train-hf", {"mode": "words"}, "tokenizers",
            threads=2),
    Trainer("HF tokenizers BPE, unsplit lines", "train-hf", {"mode": "lines"}, "tokenizers",
            max_merges=10000),
    Trainer("HF tokenizers BPE, whole text unsplit", "train-hf", {"mode": "whole"}, "tokenizers",
            short_timeout=True, max_merges=10000),
    Trainer("SentencePiece BPE", "train-sentencepiece", {}, "sentencepiece"),
]


@dataclass
class Row:
    corpus: str
    name: str
    result: dict[str, Any]
    baseline: dict[str, Any] | None = None
    merges: int | None = None


@dataclass
class Report:
    machine: dict[str, str]
    corpora: list[tuple[str, dict[str, int]]] = field(default_factory=list)
    training: list[Row] = field(default_factory=list)
    throughput: list[Row] = field(default_factory=list)
    settings: dict[str, Any] = field(default_factory=dict)
    api: list[ApiRow] = field(default_factory=list)
    small_calls: str = ""
    # (corpus, merges, brevix seconds per round, HF seconds per round)
    rounds: list[tuple[str, int, list[float], list[float]]] = field(default_factory=list)


@dataclass
class ApiRow:
    """One brevix.Tokenizer figure against the baseline it has a target for."""

    measure: str
    value: str
    baseline: str
    ratio: str
    target: str
    status: str


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
        return {"status": "timeout", "why": f"stopped after {timeout:.0f} s"}
    finally:
        os.unlink(out)


def peer_status(module: str | None, no_peers: bool) -> str | None:
    """None when the peer can run, otherwise why it is not measured."""
    if module is None:
        return None
    if no_peers:
        return "skipped (--no-peers)"
    if importlib.util.find_spec(module) is None:
        return "not installed (bench/run.sh installs it from PyPI)"
    return None


SINGLE_THREAD = {"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "1", "TOKENIZERS_PARALLELISM": "false",
                 "OMP_NUM_THREADS": "1"}


def thread_env(threads: int) -> dict[str, str]:
    if threads == 1:
        return SINGLE_THREAD
    n = str(threads)
    return {"RAYON_NUM_THREADS": n, "RAYON_RS_NUM_CPUS": n, "TOKENIZERS_PARALLELISM": "true", "OMP_NUM_THREADS": n}


class Training:
    """Runs the trainers over the cases, remembering which ones gave up."""

    def __init__(self, args: argparse.Namespace, workdir: Path, report: Report) -> None:
        self.args, self.workdir, self.report = args, workdir, report
        self.gave_up: dict[str, tuple[Case, str]] = {}

    def run_case(self, case: Case, path: Path) -> Path | None:
        params = {"corpus": str(path), "merges": case.merges}
        model_out = self.workdir / f"brevix-{case.size_mb:g}-{case.merges}.model"
        base = run_worker("train-brevix-fast", {**params, "model_out": str(model_out)}, self.args.timeout, {})
        self.add(Row(case.corpus, "brevix fit (fast engine)", base, merges=case.merges))
        for trainer in TRAINERS:
            extra = {"reference_model": str(model_out)} if trainer.module is None else {}
            result = self.skip_reason(trainer, case) or run_worker(
                trainer.task, {**params, **trainer.params, **extra},
                self.args.peer_timeout if trainer.short_timeout else self.args.timeout, thread_env(trainer.threads))
            if result.get("status") in ("timeout", "failed"):
                self.gave_up[trainer.name] = (case, result["status"])
            self.add(Row(case.corpus, trainer.name, result, base, case.merges))
        return model_out if base.get("status") == "ok" else None

    def skip_reason(self, trainer: Trainer, case: Case) -> dict[str, Any] | None:
        why = peer_status(trainer.module, self.args.no_peers)
        if why:
            return {"status": why}
        if trainer.module is None and case.size_mb * case.merges > self.args.straightforward_limit:
            return {"status": "skipped", "why": f"MB x merges over {self.args.straightforward_limit:g}"}
        if trainer.max_merges is not None and case.merges > trainer.max_merges:
            return {"status": "skipped", "why": f"run up to {trainer.max_merges} merges only"}
        if trainer.name in self.gave_up:
            earlier, status = self.gave_up[trainer.name]
            if earlier.within(case):
                return {"status": "not run", "why": f"{status} at {earlier.corpus} / {earlier.merges} merges"}
        return None

    def add(self, row: Row) -> None:
        self.report.training.append(row)
        show(row)


def throughput_runs(model: Path, text: Path, label: str, args: argparse.Namespace, report: Report) -> None:
    params = {"model": str(model), "text": str(text), "repeat": args.repeat}
    libraries = [
        ("brevix", "throughput-brevix", None),
        ("tiktoken (same merges)", "throughput-tiktoken", "tiktoken"),
    ]
    for name, task, module in libraries:
        why = peer_status(module, args.no_peers)
        result: dict[str, Any] = {"status": why} if why else run_worker(task, params, args.timeout, SINGLE_THREAD)
        # A library that did not run still gets a row, with the reason.
        rows: list[dict[str, Any]] = result.get("rows") or [{"op": "encode/decode", "impl": name}]
        status = {"status": result.get("status", "ok"), "why": result.get("why", "")}
        report.throughput.extend(Row(label, row["impl"], {**row, **status}) for row in rows)
    report.throughput.sort(key=lambda row: row.result.get("op") != "encode")  # encodes first, stable
    baselines = throughput_baselines(report.throughput)
    for row in report.throughput:
        row.baseline = baselines
        show(row)


def throughput_baselines(rows: list[Row]) -> dict[str, Any]:
    """Per operation: the brevix method's and the straightforward core's MB/s."""
    found: dict[str, Any] = {}
    for row in rows:
        r = row.result
        if r.get("status") != "ok":
            continue
        if row.name.startswith(("brevix encode (", "brevix decode (")):
            found[f"{r['op']} method"] = r["mb_s"]
        elif "straightforward" in row.name:
            found[f"{r['op']} straightforward"] = r["mb_s"]
    return found


# ---- brevix.Tokenizer ------------------------------------------------------------


def api_runs(model: Path, text: Path, train_case: Case, train_corpus: Path, args: argparse.Namespace,
             workdir: Path, report: Report) -> None:
    """The targets of brevix.Tokenizer: quiet encode >= 2x tiktoken, 2 threads
    >= 1.7x 1 thread, decode from NumPy >= 1 GB/s, train no slower and no
    bigger than fit on the same bytes."""
    r = run_worker("api-throughput", {"model": str(model), "text": str(text), "repeat": args.repeat},
                   args.timeout, SINGLE_THREAD)
    rows = r.get("rows", {})

    def speed(name: str) -> str:
        return f"{rows[name]['mb_s']:.2f} MB/s" if name in rows else ""

    def pair(measure: str, name: str, base: str, target: float) -> None:
        if name not in rows:
            report.api.append(ApiRow(measure, "", "", "", f">= {target:g}x", status_text(r) or "missing"))
            return
        check = "ok" if rows[name]["ok"] else "WRONG OUTPUT"
        if base not in rows:
            report.api.append(ApiRow(measure, speed(name), f"{base}: not run", "", f">= {target:g}x", check))
            return
        value = rows[name]["mb_s"] / rows[base]["mb_s"]
        report.api.append(ApiRow(measure, speed(name), f"{base} {speed(base)}", f"{value:.2f}x",
                                 f">= {target:g}x", check if value >= target else f"{check}; BELOW TARGET"))

    pair("quiet encode, 1 thread", "encode", "tiktoken encode_ordinary", 2.0)
    pair("quiet encode to NumPy, 1 thread", "encode numpy", "tiktoken encode_ordinary", 2.0)
    pair(f"encode_batch, 2 threads ({r.get('batch_pieces', '?')} pieces)", "encode_batch 2 threads",
         "encode_batch 1 thread", 1.7)
    if "decode numpy int32" in rows:
        gb_s = rows["decode numpy int32"]["mb_s"] / 1e3
        check = "ok" if rows["decode numpy int32"]["ok"] else "WRONG OUTPUT"
        report.api.append(ApiRow("decode from a NumPy int32 array", f"{gb_s:.3f} GB/s", "", "", ">= 1 GB/s",
                                 check if gb_s >= 1 else f"{check}; BELOW TARGET"))
    if "decode list" in rows:
        report.api.append(ApiRow("decode from a list", f"{rows['decode list']['mb_s'] / 1e3:.3f} GB/s",
                                 "", "", "", "ok" if rows["decode list"]["ok"] else "WRONG OUTPUT"))
    train_rows(train_case, train_corpus, args, workdir, report)
    for row in report.api:
        print(f"  {row.measure:<44} {row.value:>14}  vs {row.baseline:<40} {row.ratio:>7} "
              f"(target {row.target})  {row.status}", flush=True)


def train_rows(case: Case, corpus: Path, args: argparse.Namespace, workdir: Path, report: Report) -> None:
    """Tokenizer.train against fit, alternating over --ratio-rounds rounds (one each when
    quick or none), each in its own process: medians of time and peak RSS."""
    results: dict[str, list[dict[str, Any]]] = {"train": [], "fit": []}
    for _ in range(1 if args.quick else max(1, args.ratio_rounds)):
        for how in ("train", "fit"):
            out = workdir / f"api-{how}.json"
            params = {"corpus": str(corpus), "merges": case.merges, "how": how, "merges_out": str(out)}
            r = run_worker("api-train", params, args.timeout, {})
            r["merges"] = json.loads(out.read_text()) if out.exists() else None
            results[how].append(r)
    label = f"{case.corpus} file, {case.merges} merges"
    failed = [r for rs in results.values() for r in rs if not ok(r)]
    if failed:
        report.api.append(ApiRow(f"train, {label}", "", "", "", "", "; ".join(
            f"{how} {status_text(r)}" for how, rs in results.items() for r in rs if not ok(r))))
        return
    train, fit = results["train"], results["fit"]
    same = "same merges" if all(r["merges"] == fit[0]["merges"] for r in train + fit) else "MERGES DIFFER"
    t_train, t_fit = (statistics.median(r["seconds"] for r in rs) for rs in (train, fit))
    m_train, m_fit = (statistics.median(r["peak_rss_mb"] for r in rs) for rs in (train, fit))
    rounds = f", median of {len(train)}" if len(train) > 1 else ""
    report.api.append(ApiRow(f"train time, {label}{rounds}", f"{t_train:.2f} s",
                             f"fit on the same bytes {t_fit:.2f} s", f"{t_train / t_fit:.2f}x", "<= 1x",
                             same if t_train <= t_fit else f"{same}; ABOVE TARGET"))
    report.api.append(ApiRow(f"train peak RSS, {label}{rounds}", f"{m_train:.0f} MB",
                             f"fit {m_fit:.0f} MB (its id list included)", f"{m_train / m_fit:.2f}x",
                             "<= 1x", same if m_train <= m_fit else f"{same}; ABOVE TARGET"))


# ---- presentation ------------------------------------------------------------


def ratio(value: float | None, base: float | None) -> str:
    if value is None or not base:
        return ""
    return f"{value / base:.2f}x"


def ok(r: dict[str, Any] | None) -> bool:
    return bool(r) and r.get("status") == "ok"  # type: ignore[union-attr]


def status_text(r: dict[str, Any]) -> str:
    if ok(r):
        return "ok"
    return f"{r.get('status')}: {r.get('why', '')}".rstrip(": ")


def size_mb(corpus: str) -> float:
    return float(corpus.split()[0])


def training_cells(row: Row) -> dict[str, str]:
    """The figures of one training row, formatted, keyed by column."""
    r, base = row.result, row.baseline if ok(row.baseline) else None
    if not ok(r):
        return {}
    cells = {
        "time": f"{r['seconds']:.3f}",
        "per_mb": f"{r['seconds'] / size_mb(row.corpus):.4f}",
        "time_vs": ratio(r["seconds"], base["seconds"]) if base else "",
        "peak": f"{r['peak_rss_mb']:.1f}",
        "peak_vs": ratio(r["peak_rss_mb"], base["peak_rss_mb"]) if base else "",
        "before": f"{r['rss_before_mb']:.1f}",
        "per_token": "",
    }
    if r.get("tokens"):
        cells["per_token"] = f"{(r['peak_rss_mb'] - r['rss_before_mb']) * 1e6 / r['tokens']:.1f}"
    return cells


def training_notes(r: dict[str, Any]) -> str:
    notes = [r["note"]] if r.get("note") else []
    if "load_seconds" in r:
        notes.append(f"data_loader {r['load_seconds']:.2f} s (not timed)")
    return "; ".join(notes)


def throughput_cells(row: Row) -> dict[str, str]:
    r, base = row.result, row.baseline or {}
    if not ok(r):
        return {}
    speed = f"{r['mb_s'] / 1e3:.3f} GB/s" if r["op"] == "decode" else f"{r['mb_s']:.2f} MB/s"
    return {
        "speed": speed,
        "vs_method": ratio(r["mb_s"], base.get(f"{r['op']} method")),
        "vs_straight": ratio(r["mb_s"], base.get(f"{r['op']} straightforward")),
        "tokens": str(r.get("tokens", "")),
        "check": r.get("check", ""),
    }


def show(row: Row) -> None:
    r = row.result
    if not ok(r):
        print(f"  {row.corpus:>8}  {row.name:<48} {status_text(r)}", flush=True)
    elif "op" in r:
        c = throughput_cells(row)
        print(f"  {row.corpus:>8}  {r['op']:<6} {row.name:<66} {c['speed']:>14}  vs method "
              f"{c['vs_method']:>7}  vs straightforward {c['vs_straight']:>7}  {c['check']}", flush=True)
    else:
        c = training_cells(row)
        print(f"  {row.corpus:>8}  {row.merges:>6} merges  {row.name:<40} {c['time']:>9} s"
              f"  ({c['time_vs'] or '-':>8})  peak {c['peak']:>8} MB ({c['peak_vs'] or '-':>7})"
              f"  {training_notes(r)}", flush=True)


def proc_fields(path: str, keys: list[str], sep: str = ":") -> dict[str, str]:
    """The first value of each key in a "key: value" file such as /proc/cpuinfo."""
    found: dict[str, str] = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.partition(sep)
                key = key.strip()
                if key in keys and key not in found:
                    found[key] = value.strip().strip('"')
    except OSError:
        pass
    return found


def first_line(cmd: list[str]) -> str:
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout
        return out.splitlines()[0] if out else "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def machine() -> dict[str, str]:
    cpu = proc_fields("/proc/cpuinfo", ["model name", "cpu MHz", "cache size"])
    mem = proc_fields("/proc/meminfo", ["MemTotal"])
    os_name = proc_fields("/etc/os-release", ["PRETTY_NAME"], sep="=").get("PRETTY_NAME", "")
    info = {
        "CPU": ", ".join(filter(None, [cpu.get("model name", "unknown"),
                                       cpu.get("cpu MHz", "") and f"{float(cpu['cpu MHz']):.0f} MHz",
                                       cpu.get("cache size", "") and f"{cpu['cache size']} cache"])),
        "Cores": f"{os.cpu_count()} logical, {len(os.sched_getaffinity(0))} usable by this process "
                 "(a 2-core machine: figures are not those of a workstation)",
        "Memory": f"{int(mem['MemTotal'].split()[0]) / 1e6:.1f} GB" if "MemTotal" in mem else "unknown",
        "OS": ", ".join(filter(None, [os_name, platform.platform()])),
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "Compiler": first_line([os.environ.get("CXX", "c++"), "--version"]),
    }
    for name in ["brevix", *PEERS]:
        try:
            info[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            info[name] = "not installed"
    return info


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


READING = """\
How to read this. Every figure comes from one invocation on the machine above, which has only
2 cores: each measurement runs alone in its own process, peers are held to one thread (except
the HF row marked 2 threads), brevix runs as it ships (from 8 million tokens on, training counts the corpus and drops
stale list entries on every core; the merges run on one), and anything else running on the machine (the load averages above) competes for the same cores, so
differences under ~10% are noise, and more so for sub-second times. Ratios compare with brevix measured in this same run; a ratio
above 1x means more time or memory than brevix in the training table, and higher throughput in
the encode/decode table. brevix's peak RSS includes the corpus as a Python list of ints (the
`RSS before` column), which the public `fit` needs; `bytes per corpus token` is what training
adds on top, per byte of corpus. Peers read the file themselves inside the timed call, brevix's
`data_loader` time is listed in the notes and not timed. The peers do not solve the same problem:
HF tokenizers with byte-level words and SentencePiece count pre-split words (spaces cut pieces),
which makes the pair statistics much smaller; only the unsplit HF rows merge across word
boundaries as brevix does."""


MATRIX_COLUMNS = [
    ("brevix", "brevix fit (fast engine)"),
    ("HF words, 1 thread", "HF tokenizers BPE, byte-level words"),
    ("HF words, 2 threads", "HF tokenizers BPE, byte-level words, 2 threads"),
    ("SentencePiece", "SentencePiece BPE"),
]


def matrix_lines(report: Report) -> list[str]:
    """Seconds per 1,000 merges (and peak RSS) by corpus and merges, trainers side by side."""
    found = {(row.corpus, row.merges, row.name): row.result for row in report.training}
    keys = sorted({(size_mb(row.corpus), row.corpus, row.merges) for row in report.training})
    if not keys:
        return []
    head = " | ".join(f"{label} s/1k merges | {label} peak MB" for label, _ in MATRIX_COLUMNS)
    lines = [
        "",
        "## Seconds per 1,000 merges",
        "",
        "The training rows above, as time divided by thousands of merges asked for (a fit that "
        "grows linearly in merges keeps its figure across a row of the same corpus), with each "
        "trainer's peak RSS. HF runs out of pairs earlier than brevix on small corpora (see "
        "`merges/pieces` above).",
        "",
        f"| corpus | merges | {head} |",
        "|---|---:|" + "---:|---:|" * len(MATRIX_COLUMNS),
    ]
    for _, corpus, merges in keys:
        cells = []
        for _, name in MATRIX_COLUMNS:
            r = found.get((corpus, merges, name))
            if ok(r) and merges:
                cells += [f"{r['seconds'] * 1000 / merges:.3f}", f"{r['peak_rss_mb']:.0f}"]
            else:
                cells += [status_text(r) if r else "", ""]
        lines.append(f"| {corpus} | {merges} | " + " | ".join(cells) + " |")
    return lines


# The cases measured again in alternating rounds (--ratio-rounds).
ROUNDS_MERGES = 30000


def alternating_rounds(args: argparse.Namespace, report: Report) -> None:
    """brevix fit and HF words on one thread in turn, --ratio-rounds times per corpus at
    ROUNDS_MERGES merges: a drift of the machine's speed over minutes then hits both alike."""
    chosen = [c for c in args.cases if c.merges == ROUNDS_MERGES]
    if args.ratio_rounds < 1 or not chosen or peer_status("tokenizers", args.no_peers):
        return
    print(f"\nalternating rounds at {ROUNDS_MERGES} merges:", flush=True)
    for case in chosen:
        params = {"corpus": str(ensure_corpus(case.size_mb, args, report)), "merges": case.merges}
        brevix: list[float] = []
        hf: list[float] = []
        for _ in range(args.ratio_rounds):
            b = run_worker("train-brevix-fast", params, args.timeout, {})
            h = run_worker("train-hf", {**params, "mode": "words"}, args.timeout, SINGLE_THREAD)
            if not (ok(b) and ok(h)):
                break
            brevix.append(b["seconds"])
            hf.append(h["seconds"])
        report.rounds.append((case.corpus, case.merges, brevix, hf))
        if brevix:
            print(f"  {case.corpus:>8}  brevix {statistics.median(brevix):.3f} s  HF {statistics.median(hf):.3f} s"
                  f"  ratio {statistics.median(brevix) / statistics.median(hf):.3f}", flush=True)


def rounds_lines(report: Report) -> list[str]:
    if not report.rounds:
        return []
    lines = [
        "",
        "## Alternating rounds",
        "",
        "The 30,000-merge cases again: brevix fit, then HF tokenizers BPE (byte-level words, one "
        "thread), in turn, each run in its own process, so that a drift of the machine's speed "
        "over minutes hits both alike. The ratio of the medians is the figure to compare across "
        "runs; single rows of the training table above can be off by 10 to 20% on this machine.",
        "",
        "| corpus | merges | rounds | brevix median (s) | HF median (s) | brevix / HF | per round |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for corpus, merges, brevix, hf in report.rounds:
        if not brevix:
            lines.append(f"| {corpus} | {merges} | 0 | | | | failed |")
            continue
        per_round = ", ".join(f"{b / h:.3f}" for b, h in zip(brevix, hf))
        lines.append(f"| {corpus} | {merges} | {len(brevix)} | {statistics.median(brevix):.3f} | "
                     f"{statistics.median(hf):.3f} | {statistics.median(brevix) / statistics.median(hf):.3f} | "
                     f"{per_round} |")
    return lines


def write_markdown(report: Report, path: Path) -> None:
    s = report.settings
    lines = [
        "# brevix benchmark results",
        "",
        f"Run {s['started']} (UTC) with `{s['command']}`; it took {s['elapsed_min']:.1f} minutes.",
        "",
        "## Machine",
        "",
        *[f"- {k}: {v}" for k, v in report.machine.items()],
        f"- Load average (1, 5, 15 min) at start: {s['load_start']}; at end: {s['load_end']}",
        "",
        READING,
        "",
        "## Corpora",
        "",
        "Real text from this machine (see `bench/corpus.py`): brevix's sample text, manual pages in "
        "every installed language with roff stripped, /usr/share/doc text and HTML with tags "
        "stripped, Vim help. `passes` > 1 means the machine ran out of distinct text and "
        "documents were reused in another order. A smaller corpus is a prefix of a larger one.",
        "",
        "| corpus | bytes | non-ASCII bytes | passes |",
        "|---|---:|---:|---:|",
        *[f"| {label} | {i['bytes']} | {i['non_ascii_bytes']} | {i['passes']} |" for label, i in report.corpora],
        "",
        "## Training",
        "",
        "Vocabulary = 256 + merges. One process per measurement; time covers the training call "
        "only; peak RSS is the whole process's (getrusage); `RSS before` is the resident size just "
        "before training. `vs brevix` columns divide by the brevix fast-engine fit on the same "
        f"corpus and merges (lower is better for the trainer in that row). Peers run single-threaded "
        "(the HF row marked 2 threads runs on two); "
        f"a run is stopped after {s['timeout']:g} s ({s['peer_timeout']:g} s for the whole-text HF "
        "run, which grows faster than linearly), and a trainer that timed out or failed is not "
        "run again on a larger case.",
        "",
        "| corpus | trainer | merges | time (s) | s per MB | time vs brevix | peak RSS (MB) "
        "| peak vs brevix | RSS before (MB) | bytes per corpus token | merges/pieces | notes | status |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    for row in report.training:
        c = training_cells(row)
        lines.append(
            f"| {row.corpus} | {row.name} | {row.merges} | {c.get('time', '')} | {c.get('per_mb', '')} | "
            f"{c.get('time_vs', '')} | {c.get('peak', '')} | {c.get('peak_vs', '')} | {c.get('before', '')} | "
            f"{c.get('per_token', '')} | {row.result.get('merges_learned', '')} | "
            f"{training_notes(row.result)} | {status_text(row.result)} |"
        )
    lines += matrix_lines(report)
    lines += rounds_lines(report)
    lines += [
        "",
        "## Encode and decode throughput",
        "",
        f"Text: the {s['text']} corpus; tokenizer: the one brevix learned on "
        f"{s['model']}. Best of {s['repeat']} runs (fewer when a run is slow). MB/s and GB/s are "
        "bytes of text per second. The brevix `encode` method prints every id (to /dev/null "
        "here), which is part of its cost; the core hooks (`brevix._internal`) return the printed "
        "text as bytes instead and include loading the merge table and converting Python lists. "
        "tiktoken is built from the same merges (`mergeable_ranks`: the bytes of each merged "
        "token, ranked by id) with a pattern that only cuts the text at line ends, as brevix has "
        "no pre-tokenisation; tiktoken applies merges lowest rank first, brevix leftmost first, "
        "so token counts can differ slightly. `check` compares the output with the brevix method's "
        "ids (encode) or with the original text (decode). Ratios are throughput / the brevix "
        "method's and / the straightforward core's (higher is faster).",
        "",
        "| text | operation | implementation | throughput | vs brevix method | vs straightforward core "
        "| tokens | check | status |",
        "|---|---|---|---:|---:|---:|---:|---|---|",
    ]
    for row in report.throughput:
        c = throughput_cells(row)
        lines.append(
            f"| {row.corpus} | {row.result.get('op', '')} | {row.name} | {c.get('speed', '')} | "
            f"{c.get('vs_method', '')} | {c.get('vs_straight', '')} | {c.get('tokens', '')} | "
            f"{c.get('check', '')} | {status_text(row.result)} |"
        )
    lines += [
        "",
        "## brevix.Tokenizer",
        "",
        "The quiet API on the same text and tokenizer as above (encode and decode rows) and on the "
        "largest corpus (training rows: `Tokenizer.train(path)` against `PyBytePairTokenizer.fit` on "
        "the same bytes as signed ids, each in its own process, peak RSS of the whole process; fit's "
        "includes the Python list of ids it needs). Ratios are throughput / baseline for speeds and "
        "brevix.Tokenizer / fit for training (lower is better there).",
        "",
        "| measure | brevix.Tokenizer | baseline | ratio | target | status |",
        "|---|---:|---|---:|---|---|",
        *[f"| {r.measure} | {r.value} | {r.baseline} | {r.ratio} | {r.target} | {r.status} |" for r in report.api],
    ]
    if report.small_calls:
        lines += ["", report.small_calls.rstrip("\n")]
    write_keeping_others(path, "\n".join(lines) + "\n")


# ---- main ----------------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes, a few seconds (CI smoke run)")
    p.add_argument("--no-peers", action="store_true", help="measure brevix only")
    p.add_argument("--sizes", type=float, nargs="+", metavar="MB",
                   help="corpus sizes in MB (default: the full matrix, 1/10/100 MB)")
    p.add_argument("--merges", type=int, nargs="+", help="merges to learn (default 1000; quick: 50)")
    p.add_argument("--text-mb", type=float, help="throughput text size (default 10; quick: smallest corpus)")
    p.add_argument("--straightforward-limit", type=float, default=1000,
                   help="run the straightforward engine only when MB x merges <= this")
    p.add_argument("--timeout", type=float, help="seconds per measurement (default 1800; quick: 120)")
    p.add_argument("--peer-timeout", type=float, help="seconds for superlinear peers (default 120; quick: 30)")
    p.add_argument("--repeat", type=int, default=3, help="throughput: best of this many runs")
    p.add_argument("--ratio-rounds", type=int, default=3,
                   help=f"alternating brevix / HF rounds at {ROUNDS_MERGES} merges (0: none)")
    p.add_argument("--out-dir", type=Path, default=HERE, help="where RESULTS.md goes")
    p.add_argument("--corpus-dir", type=Path, help="corpus cache (default /tmp/brevix-bench-corpora)")
    args = p.parse_args(argv)
    args.cases = cases(args)
    args.text_mb = args.text_mb or (min(c.size_mb for c in args.cases) if args.quick else 10)
    args.timeout = args.timeout or (120 if args.quick else 1800)
    args.peer_timeout = args.peer_timeout or (30 if args.quick else 120)
    args.corpus_dir = args.corpus_dir or Path(tempfile.gettempdir()) / "brevix-bench-corpora"
    args.argv = argv if argv is not None else sys.argv[1:]
    return args


def cases(args: argparse.Namespace) -> list[Case]:
    if not args.sizes and not args.merges:
        return QUICK_CASES if args.quick else DEFAULT_CASES
    sizes = args.sizes or ([0.05, 0.2] if args.quick else [1, 10, 100])
    merges = args.merges or ([50] if args.quick else [1000])
    return [Case(s, m) for s in sizes for m in merges]


def ensure_corpus(size: float, args: argparse.Namespace, report: Report) -> Path:
    label = f"{size:g} MB"
    path, info = corpora.ensure(int(size * MB), args.corpus_dir)
    if label not in dict(report.corpora):
        report.corpora.append((label, info))
        print(f"\n{label} corpus: {path} ({info['bytes']} bytes, {info['non_ascii_bytes']} non-ASCII)", flush=True)
    return path


def throughput_model(models: dict[Case, Path]) -> tuple[Case, Path] | None:
    """The tokenizer with the most merges (learned on the largest corpus)."""
    if not models:
        return None
    case = max(models, key=lambda c: (c.merges, c.size_mb))
    return case, models[case]


def small_calls(args: argparse.Namespace, workdir: Path) -> str:
    """The small-calls table (bench/small_calls.py) as markdown, run in its own process."""
    table = workdir / "small_calls.md"
    command = [sys.executable, str(HERE / "small_calls.py"), "--markdown", str(table)]
    if args.quick:
        command.append("--quick")
    print("\nsmall calls:", flush=True)
    try:
        done = subprocess.run(command, timeout=args.timeout, capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        return f"## Small calls\n\nstopped after {args.timeout:g} s\n"
    print(done.stdout, end="", flush=True)
    if done.returncode != 0 or not table.exists():
        return f"## Small calls\n\nfailed (exit {done.returncode}): {done.stderr.strip()[-500:]}\n"
    return table.read_text()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    started = datetime.datetime.now(datetime.timezone.utc)
    report = Report(machine=machine())
    report.settings = {
        "argv": args.argv, "timeout": args.timeout, "peer_timeout": args.peer_timeout, "repeat": args.repeat,
        "started": started.isoformat(timespec="seconds"), "load_start": load_average(),
        "command": (os.environ.get("BREVIX_BENCH_COMMAND")
                    or f"python bench/bench.py {' '.join(args.argv)}").strip(),
        "text": f"{args.text_mb:g} MB",
    }
    print("machine: " + "; ".join(f"{k} {v}" for k, v in report.machine.items()), flush=True)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="brevix-bench-") as tmp:
        training = Training(args, Path(tmp), report)
        models: dict[Case, Path] = {}
        for case in args.cases:
            model = training.run_case(case, ensure_corpus(case.size_mb, args, report))
            if model is not None:
                models[case] = model
        alternating_rounds(args, report)
        chosen = throughput_model(models)
        report.settings["model"] = f"{chosen[0].corpus} with {chosen[0].merges} merges" if chosen else "none"
        if chosen is not None:
            text = ensure_corpus(args.text_mb, args, report)
            print(f"\nthroughput: {args.text_mb:g} MB text, model {report.settings['model']}", flush=True)
            throughput_runs(chosen[1], text, f"{args.text_mb:g} MB", args, report)
            largest = max(args.cases, key=lambda c: (c.size_mb, -c.merges))
            print(f"\nbrevix.Tokenizer: {args.text_mb:g} MB text; training on {largest.corpus}", flush=True)
            api_runs(chosen[1], text, largest, ensure_corpus(largest.size_mb, args, report), args,
                     Path(tmp), report)
        report.small_calls = small_calls(args, Path(tmp))
    report.settings["load_end"] = load_average()
    elapsed = datetime.datetime.now(datetime.timezone.utc) - started
    report.settings["elapsed_min"] = elapsed.total_seconds() / 60
    out = args.out_dir / "RESULTS.md"
    write_markdown(report, out)
    print(f"\nwrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
