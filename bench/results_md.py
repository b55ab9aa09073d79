"""bench/RESULTS.md one "## " section at a time: each benchmark script
replaces the sections it measured and leaves every other section as it is,
so that a run of one script never drops what another recorded."""

from __future__ import annotations

from pathlib import Path


def sections(text: str) -> list[tuple[str, str]]:
    """(title line, whole block) per "## " section, in order; the text before
    the first section comes first with the title "". Blocks carry no
    trailing newlines; "### " subsections stay inside their section."""
    parts: list[tuple[str, list[str]]] = [("", [])]
    for line in text.splitlines():
        if line.startswith("## "):
            parts.append((line.rstrip(), []))
        parts[-1][1].append(line)
    blocks = [(title, "\n".join(lines).strip("\n")) for title, lines in parts]
    return [(title, block) for title, block in blocks if title or block]


def join(blocks: list[tuple[str, str]]) -> str:
    return "\n\n".join(block for _, block in blocks) + "\n" if blocks else ""


def splice(path: Path, section: str) -> None:
    """Replaces the section of `path` whose title is `section`'s first line,
    or appends it."""
    title = section.splitlines()[0].rstrip()
    if not title.startswith("## "):
        raise ValueError(f"a section starts with a '## ' title, not {title!r}")
    new = (title, section.strip("\n"))
    old = sections(path.read_text()) if path.exists() else []
    if any(t == title for t, _ in old):
        blocks = [new if t == title else (t, b) for t, b in old]
    else:
        blocks = old + [new]
    path.write_text(join(blocks))


def write_keeping_others(path: Path, text: str) -> None:
    """Writes `text` (a whole results file) to `path`, followed by the
    sections of the file there now that `text` does not have, in their
    order."""
    mine = sections(text)
    titles = {t for t, _ in mine if t}
    old = sections(path.read_text()) if path.exists() else []
    path.write_text(join(mine + [(t, b) for t, b in old if t and t not in titles]))
