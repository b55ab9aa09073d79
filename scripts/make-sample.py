#!/usr/bin/env python3
"""Rebuilds src/brevix/data/sample.txt from text shipped with CPython 3.11
(PSF licence; see src/brevix/data/SOURCES.md).

    python3 scripts/make-sample.py [--stdlib DIR] [--out FILE]

Deterministic for a given CPython release: the language-reference topics of
pydoc_data in sorted order up to a size budget, then IDLE's NEWS, then the
UTF-8 versions of the CJK sample texts from the test suite.
"""

import argparse
import ast
import pathlib
import sysconfig

TOPICS_BUDGET = 250_000  # bytes of reference prose
NEWS_BUDGET = 40_000
CJK_SAMPLES = [
    "gb2312-utf8.txt",
    "big5-utf8.txt",
    "euc_kr-utf8.txt",
    "euc_jp-utf8.txt",
    "gb18030-utf8.txt",
]


def reference_topics(stdlib: pathlib.Path) -> list[str]:
    # Parsed rather than imported, so any CPython's file can be used.
    tree = ast.parse((stdlib / "pydoc_data" / "topics.py").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "topics":
            topics = ast.literal_eval(node.value)
            return [topics[k].strip() + "\n" for k in sorted(topics)]
    raise SystemExit("no 'topics' table in pydoc_data/topics.py")


def take(pieces: list[str], budget: int) -> list[str]:
    out, size = [], 0
    for piece in pieces:
        n = len(piece.encode("utf-8"))
        if size + n > budget:
            break
        out.append(piece)
        size += n
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--stdlib", type=pathlib.Path, default=pathlib.Path(sysconfig.get_paths()["stdlib"]))
    parser.add_argument("--out", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parent.parent / "src/brevix/data/sample.txt")
    args = parser.parse_args()

    parts = take(reference_topics(args.stdlib), TOPICS_BUDGET)
    news = (args.stdlib / "idlelib" / "NEWS.txt").read_text(encoding="utf-8")
    parts += take([p + "\n\n" for p in news.split("\n\n")], NEWS_BUDGET)
    for name in CJK_SAMPLES:
        parts.append((args.stdlib / "test" / "cjkencodings" / name).read_text(encoding="utf-8") + "\n")
    text = "\n".join(parts)
    args.out.write_text(text, encoding="utf-8", newline="\n")
    print(f"{args.out}: {len(text.encode('utf-8'))} bytes, "
          f"{sum(1 for c in text if ord(c) > 127)} non-ASCII characters")


if __name__ == "__main__":
    main()
