"""The tools behind the documentation site: the command-line page rendered
from the parser, the benchmark plots read from RESULTS.md tables, and the
screenshot check that fails on a blank page."""
import importlib.util
import struct
import zlib
from pathlib import Path

import pytest

from brevix.cli import _build_parser

ROOT = Path(__file__).resolve().parent.parent


def load(relative):
    spec = importlib.util.spec_from_file_location(Path(relative).stem, ROOT / relative)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_cli_page_is_every_subcommands_own_help():
    hook = load("docs/hooks/cli_reference.py")
    page = hook.on_page_markdown("intro\n\n<!-- brevix-cli-reference -->\n")
    names = [name for name, _, _ in hook._subcommands(_build_parser())]
    assert {"train", "encode", "decode", "demo", "encode-files"} <= set(names)
    for name, _, sub in hook._subcommands(_build_parser()):
        assert f"## `brevix {name}`" in page
        for option in sub._option_string_actions:
            assert option in page
    assert page.startswith("intro\n") and "<!--" not in page
    assert hook.on_page_markdown("no marker here") == "no marker here"
    assert hook.on_page_content("<p>:class:<code>Tokenizer</code></p>") == "<p><code>Tokenizer</code></p>"


RESULTS = """# results

## Machine

- CPU: test
- Cores: 2

## Training

Text.

| corpus | trainer | merges | time (s) | peak RSS (MB) | status |
|---|---|---:|---:|---:|---|
| 1 MB | brevix fit | 1000 | 0.100 | 50.5 | ok |
| 10 MB | brevix fit | 1000 | 0.552 | 222.1 | ok |
| 1 MB | peer | 1000 | 0.218 | 30.6 | ok |
| 10 MB | peer | 1000 |  |  | timeout: stopped |
| 1,000 MB | brevix fit | 30000 | 96.1 | 11,342 | ok |

## Standard encoding

### Encode

#### cl100k

| implementation | MB/s | status |
|---|---:|---|
| brevix `encode(str)` | 11.87 | ok |
| tiktoken `encode_ordinary(str)` | 3.86 | ok |

| implementation | GB/s | check |
|---|---:|---|
| brevix `decode(numpy)` | 0.108 | text restored |

## Encode and decode throughput

| text | operation | implementation | throughput | status |
|---|---|---|---:|---|
| 10 MB | encode | brevix encode | 38.13 MB/s | ok |
| 10 MB | decode | tiktoken decode_bytes | 0.219 GB/s | ok |
"""


def test_plots_read_the_tables_and_skip_what_is_missing(tmp_path):
    pytest.importorskip("matplotlib")
    plots = load("bench/plots.py")
    sections = plots.sections(RESULTS)
    training = sections["Training"]
    assert plots.training_series(training, "time (s)", 1000) == {
        "brevix fit": [(1.0, 0.1), (10.0, 0.552)], "peer": [(1.0, 0.218)]}
    assert plots.training_series(training, "peak RSS (MB)", 30000) == {"brevix fit": [(1000.0, 11342.0)]}
    assert plots.training_series(None, "time (s)", 1000) == {}
    assert plots.throughput_panels(sections) == [
        ("Tokenizer vs tiktoken, bpe-openai",
         [("cl100k: brevix encode(str)", 11.87), ("cl100k: tiktoken encode_ordinary(str)", 3.86)],
         [("cl100k: brevix decode(numpy)", 108.0)]),
        ("low-level class", [("brevix encode", 38.13)], [("tiktoken decode_bytes", 219.0)])]

    results = tmp_path / "RESULTS.md"
    results.write_text(RESULTS)
    out = tmp_path / "plots"
    import sys
    argv = sys.argv
    try:
        sys.argv = ["plots.py", "--results", str(results), "--out", str(out)]
        plots.main()
        sys.argv = ["plots.py", "--results", str(tmp_path / "missing.md"), "--out", str(tmp_path / "none")]
        plots.main()
    finally:
        sys.argv = argv
    for directory in (out, tmp_path / "none"):
        for name in ("training-time.png", "training-gpt.png", "throughput.png", "peak-memory.png"):
            assert (directory / name).read_bytes().startswith(b"\x89PNG")
    assert "- CPU: test" in (out / "machine.inc").read_text()


def png(width, height, pixel_of):
    """An RGB PNG with each row stored with filter type (row % 5)."""
    raw = bytearray()
    previous = bytes(width * 3)
    for y in range(height):
        row = b"".join(bytes(pixel_of(x, y)) for x in range(width))
        kind = y % 5
        filtered = bytearray()
        for i, value in enumerate(row):
            left = row[i - 3] if i >= 3 else 0
            up = previous[i]
            corner = previous[i - 3] if i >= 3 else 0
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            paeth = left if pa <= pb and pa <= pc else up if pb <= pc else corner
            predictor = [0, left, up, (left + up) // 2, paeth][kind]
            filtered.append((value - predictor) & 0xFF)
        raw += bytes([kind]) + filtered
        previous = row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw)))
            + chunk(b"IEND", b""))


def test_screenshot_check_tells_a_page_from_a_blank(tmp_path):
    check = load("scripts/check_screenshots.py")
    blank = tmp_path / "blank.png"
    blank.write_bytes(png(64, 64, lambda x, y: (255, 255, 255)))
    def shade(x, y):
        return (20, 20 + x, 20 + y) if (x // 4 + y // 8) % 3 == 0 else (250, 250 - x, 250 - y)

    text = tmp_path / "text.png"
    text.write_bytes(png(64, 64, shade))
    assert check.varied_fraction(blank)[0] == 0
    assert check.varied_fraction(text)[0] > 0.2
    width, height, rows, channels = check.read_png(text)
    assert (width, height, channels) == (64, 64, 3)
    # Every filter type decodes back to the pixels.
    assert rows == [b"".join(bytes(shade(x, y)) for x in range(64)) for y in range(64)]
    with pytest.raises(ValueError):
        (tmp_path / "no.png").write_bytes(b"GIF89a")
        check.read_png(tmp_path / "no.png")
