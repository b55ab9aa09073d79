#!/usr/bin/env python3
"""Draws the benchmark plots of the documentation from bench/RESULTS.md.

    python bench/plots.py [--results bench/RESULTS.md] [--out docs/assets/bench]

Reads the Markdown tables the benchmark scripts write into RESULTS.md and
draws, with matplotlib (Agg, no display needed):

- training-time.png: training time against corpus size, brevix and each
  peer, at two vocabulary sizes ("## Training");
- training-gpt.png: GPT-style training from piece counts against corpus
  size ("## Training from piece counts", when present);
- throughput.png: encode and decode throughput of brevix and the peers
  ("## Encode and decode throughput", "## brevix.Tokenizer",
  "## Standard encoding", whichever are present);
- peak-memory.png: peak resident memory of the trainers against corpus
  size.

It also writes machine.inc, the machine and run the results come from, for
the benchmarks page. A section or series that RESULTS.md does not have (yet)
is left out of its plot with a note on stdout; a plot with nothing to draw
shows that it has no data rather than failing. Nothing here judges a result.
"""

from __future__ import annotations

import argparse
import re
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).resolve().parent
NUMBER = re.compile(r"^\s*([0-9][0-9,]*(?:\.[0-9]+)?)")
THROUGHPUT = re.compile(r"([0-9][0-9,]*(?:\.[0-9]+)?)\s*(MB/s|GB/s)")

# The two vocabulary sizes (merges learned) of the training-time plot: the
# first two of these that the results have.
TRAINING_MERGES = (1000, 30000, 10000, 50000)


# ---- reading RESULTS.md ---------------------------------------------------------


def sections(text: str) -> dict[str, str]:
    """{level-2 heading: its text up to the next level-2 heading}."""
    found: dict[str, str] = {}
    for part in re.split(r"(?m)^## ", text)[1:]:
        heading, _, body = part.partition("\n")
        found[heading.strip()] = body
    return found


def section(all_sections: dict[str, str], prefix: str) -> str | None:
    for heading, body in all_sections.items():
        if heading.startswith(prefix):
            return body
    return None


def tables(body: str) -> list[list[dict[str, str]]]:
    """Every Markdown table of a section, as rows of {column: cell}; each row
    also has "_heading", the last ### or #### heading above its table."""
    result: list[list[dict[str, str]]] = []
    lines = body.splitlines()
    heading = ""
    i = 0
    while i < len(lines):
        if lines[i].startswith("###"):
            heading = lines[i].lstrip("#").strip()
            i += 1
        elif lines[i].startswith("|") and i + 1 < len(lines) and re.match(r"^\|[-:| ]+\|$", lines[i + 1]):
            header = [c.strip() for c in lines[i].strip().strip("|").split("|")]
            rows = []
            i += 2
            while i < len(lines) and lines[i].startswith("|"):
                cells = [c.strip() for c in lines[i].strip().strip("|").split("|")]
                row = dict(zip(header, cells + [""] * (len(header) - len(cells))))
                row["_heading"] = heading
                rows.append(row)
                i += 1
            result.append(rows)
        else:
            i += 1
    return result


def number(cell: str | None) -> float | None:
    match = NUMBER.match(cell or "")
    return float(match.group(1).replace(",", "")) if match else None


def megabytes(corpus: str) -> float | None:
    """The size in MB of a corpus label such as '10 MB' or '1,000 MB'."""
    value = number(corpus)
    if value is None:
        return None
    return value / 1024 if "KB" in corpus else value * 1024 if "GB" in corpus else value


def mb_per_second(cell: str) -> float | None:
    match = THROUGHPUT.search(cell or "")
    if not match:
        return None
    value = float(match.group(1).replace(",", ""))
    return value * 1000 if match.group(2) == "GB/s" else value


def row_throughput(row: dict[str, str]) -> float | None:
    """MB/s of a row: a column headed "MB/s" or "GB/s" holding a number, or the
    first cell that carries its unit."""
    for unit, scale in (("MB/s", 1.0), ("GB/s", 1000.0)):
        value = number(row.get(unit))
        if value is not None:
            return value * scale
    return next((v for k, c in row.items() if k != "_heading" and (v := mb_per_second(c)) is not None),
                None)


def ok(row: dict[str, str]) -> bool:
    status = row.get("status", "ok")
    return status == "" or status.startswith("ok") or status.startswith("same")


# ---- series ---------------------------------------------------------------------------

Series = dict[str, list[tuple[float, float]]]


def training_series(body: str | None, column: str, merges: int | None) -> Series:
    """{trainer: [(corpus MB, value of `column`)]} of the rows that ran."""
    series: Series = {}
    if body is None:
        return series
    for table in tables(body):
        for row in table:
            if "trainer" not in row or column not in row or not ok(row):
                continue
            if merges is not None and number(row.get("merges")) != merges:
                continue
            size, value = megabytes(row.get("corpus", "")), number(row[column])
            if size is not None and value is not None:
                series.setdefault(row["trainer"], []).append((size, value))
    return {name: sorted(points) for name, points in series.items() if points}


THROUGHPUT_SECTIONS = (
    ("Standard encoding", "Tokenizer vs tiktoken, bpe-openai"),
    ("brevix.Tokenizer", "Tokenizer, earlier run"),
    ("Encode and decode throughput", "low-level class"),
)
PEERS = ("tiktoken", "bpe-openai", "hf ", "tokenizers", "rustbpe", "sentencepiece")


def section_throughput(body: str, prefix: str) -> tuple[list[tuple[str, float]], list[tuple[str, float]]]:
    """(encode bars, decode bars) as (label, MB/s) of one section's tables."""
    encode: list[tuple[str, float]] = []
    decode: list[tuple[str, float]] = []
    for table in tables(body):
        for row in table:
            if not ok(row):
                continue
            value = row_throughput(row)
            if value is None:
                continue
            label = next((row[k] for k in ("implementation", "library", "measure", "engine", "encoding")
                          if row.get(k)), next(iter(row.values())))
            label = re.sub(r"[`*]", "", label)
            if prefix == "Standard encoding" and row["_heading"]:
                label = f"{row['_heading']}: {label}"
            if prefix == "brevix.Tokenizer":
                label = f"brevix.Tokenizer {label}"
            text = f"{row.get('operation', '')} {row['_heading']} {label}".lower()
            (decode if "decod" in text else encode).append((label, value))
            # A baseline cell with its own throughput ("tiktoken ... 16.18 MB/s").
            baseline = row.get("baseline", "")
            base_value = mb_per_second(baseline)
            if base_value is not None and "encode" in baseline:
                base_label = THROUGHPUT.sub("", baseline).strip()
                if not base_label.lower().startswith(PEERS):
                    base_label = f"brevix.Tokenizer {base_label}"
                encode.append((base_label, base_value))
    return dedupe(encode), dedupe(decode)


def throughput_panels(all_sections: dict[str, str]) -> list[tuple[str, list[tuple[str, float]], list[tuple[str, float]]]]:
    """(title, encode bars, decode bars) of each section that has any."""
    panels = []
    for prefix, title in THROUGHPUT_SECTIONS:
        body = section(all_sections, prefix)
        if body is None:
            print(f"plots: no '{prefix}' section; its throughput bars are left out")
            continue
        encode, decode = section_throughput(body, prefix)
        if encode or decode:
            panels.append((title, encode, decode))
    return panels


def dedupe(bars: list[tuple[str, float]]) -> list[tuple[str, float]]:
    seen: dict[str, float] = {}
    for label, value in bars:
        seen.setdefault(label, value)
    return list(seen.items())


# ---- drawing --------------------------------------------------------------------------


def no_data(ax: plt.Axes, what: str) -> None:
    ax.text(0.5, 0.5, f"no {what} in RESULTS.md yet", ha="center", va="center",
            transform=ax.transAxes, color="gray")
    ax.set_xticks([])
    ax.set_yticks([])


def draw_lines(ax: plt.Axes, series: Series, ylabel: str, title: str) -> None:
    ax.set_title(title, fontsize=10)
    if not series:
        no_data(ax, title)
        return
    for name in sorted(series, key=lambda n: (not n.startswith("brevix"), n)):
        xs, ys = zip(*series[name])
        style = dict(linewidth=2.4) if name.startswith("brevix") else dict(linewidth=1.2)
        ax.plot(xs, ys, marker="o", label=name, **style)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("corpus (MB)")
    ax.set_ylabel(ylabel)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)


def draw_bars(ax: plt.Axes, bars: list[tuple[str, float]], title: str) -> None:
    ax.set_title(title, fontsize=10)
    if not bars:
        no_data(ax, title)
        return
    labels = [label if len(label) <= 46 else label[:43] + "..." for label, _ in bars]
    values = [value for _, value in bars]
    # A label may start with the table's heading ("cl100k: tiktoken ...").
    colors = ["tab:gray" if label.split(": ", 1)[-1].lower().startswith(PEERS) else "tab:blue"
              for label in labels]
    ax.barh(range(len(values)), values, color=colors)
    ax.set_yticks(range(len(values)), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("MB of text per second")
    ax.grid(True, axis="x", alpha=0.3)
    for i, value in enumerate(values):
        ax.text(value, i, f" {value:,.0f}", va="center", fontsize=7)


def save(fig: plt.Figure, path: Path) -> None:
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plots: wrote {path}")


def machine_description(all_sections: dict[str, str], text: str) -> str:
    run = re.search(r"^Run .*$", text, re.MULTILINE)
    body = section(all_sections, "Machine")
    lines = [line for line in (body or "").splitlines() if line.startswith("- ")]
    head = run.group(0) if run else "Run date not recorded."
    if not lines:
        return head + "\n\nNo machine description in RESULTS.md.\n"
    return head + "\n\n" + "\n".join(lines) + "\n"


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    p.add_argument("--out", type=Path, default=HERE / "out" / "plots")
    args = p.parse_args()
    text = args.results.read_text(encoding="utf-8") if args.results.exists() else ""
    if not text:
        print(f"plots: {args.results} is missing or empty; every plot says so")
    all_sections = sections(text)
    args.out.mkdir(parents=True, exist_ok=True)

    training = section(all_sections, "Training\n") or all_sections.get("Training")
    available = [m for m in TRAINING_MERGES if training_series(training, "time (s)", m)]
    chosen = sorted(available[:2]) or [TRAINING_MERGES[0], TRAINING_MERGES[1]]
    fig, axes = plt.subplots(1, len(chosen), figsize=(11, 4.6), squeeze=False)
    for ax, merges in zip(axes[0], chosen):
        draw_lines(ax, training_series(training, "time (s)", merges), "training time (s)",
                   f"training, vocabulary 256 + {merges:,} merges")
    save(fig, args.out / "training-time.png")

    pieces = section(all_sections, "Training from piece counts")
    if pieces is None:
        print("plots: no 'Training from piece counts' section; training-gpt.png says so")
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    draw_lines(axes[0], training_series(pieces, "time (s)", None), "training time (s)",
               "GPT-style training from piece counts")
    draw_lines(axes[1], training_series(pieces, "peak RSS (MB)", None), "peak RSS (MB)",
               "GPT-style training, peak memory")
    save(fig, args.out / "training-gpt.png")

    panels = throughput_panels(all_sections)
    heights = [max(len(encode), len(decode), 1) for _, encode, decode in panels] or [1]
    fig, axes = plt.subplots(len(heights), 2, figsize=(13, 1.2 + 0.36 * sum(heights) + 0.9 * len(heights)),
                             squeeze=False, gridspec_kw={"height_ratios": heights})
    if not panels:
        no_data(axes[0][0], "encode throughput")
        no_data(axes[0][1], "decode throughput")
    for row, (title, encode, decode) in zip(axes, panels):
        draw_bars(row[0], encode, f"encode: {title}")
        draw_bars(row[1], decode, f"decode: {title}")
    save(fig, args.out / "throughput.png")

    memory_merges = 10000 if training_series(training, "peak RSS (MB)", 10000) else chosen[0]
    fig, ax = plt.subplots(figsize=(8, 4.6))
    draw_lines(ax, training_series(training, "peak RSS (MB)", memory_merges), "peak RSS (MB)",
               f"training peak memory, {memory_merges:,} merges")
    save(fig, args.out / "peak-memory.png")

    (args.out / "machine.inc").write_text(machine_description(all_sections, text), encoding="utf-8")
    print(f"plots: wrote {args.out / 'machine.inc'}")


if __name__ == "__main__":
    main()
