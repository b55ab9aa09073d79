#!/usr/bin/env python3
"""Generates src/brevix/cpp/text/unicode_data.inc, the Unicode tables of the
pattern splitters, from the `regex` module (pinned: regex==2026.5.9, which
implements Unicode 17.0.0).

The tables hold, per code point: the general category, and whether `\\s`,
`\\w` and `\\d` match it in a str pattern; and a simple case fold under which
two code points are equal exactly when `(?i)` makes them match each other.
Every value is read from `regex` itself, so the splitters agree with it by
construction; the suite checks the committed tables against it again.

Usage: python3 scripts/gen-unicode-tables.py [--out PATH] [--check]
(--check compares with the committed file instead of writing it).
"""
import argparse
import pathlib
import sys

import regex
from regex import _regex

REGEX_VERSION = "2026.5.9"
UNICODE_VERSION = "17.0.0"
MAX_CP = 0x110000

# Order fixed by brevix::text::Category.
CATEGORIES = ("Cn Lu Ll Lt Lm Lo Mn Mc Me Nd Nl No Pc Pd Ps Pe Pi Pf Po "
              "Sm Sc Sk So Zs Zl Zp Cc Cf Cs Co").split()
SPACE_BIT, WORD_BIT, DIGIT_BIT = 0x20, 0x40, 0x80
MAX_CASE_VARIANTS = 4  # brevix::text::kMaxCaseVariants

DEFAULT_OUT = (pathlib.Path(__file__).resolve().parent.parent /
               "src/brevix/cpp/text/unicode_data.inc")


def every_code_point():
    """One str of all code points, surrogates included, in order."""
    return "".join(map(chr, range(MAX_CP)))


def spans(pattern, text):
    """(start, end) of each maximal run `pattern` (a class followed by +) matches."""
    return [m.span() for m in regex.finditer(pattern, text)]


def properties(text):
    """The property byte of every code point: category | space | word | digit."""
    props = [None] * MAX_CP
    for index, name in enumerate(CATEGORIES):
        for start, end in spans(r"\p{%s}+" % name, text):
            for cp in range(start, end):
                assert props[cp] is None, f"U+{cp:04X} in two categories"
                props[cp] = index
    missing = [cp for cp in range(MAX_CP) if props[cp] is None]
    assert not missing, f"no category for U+{missing[0]:04X}"
    for bit, pattern in ((SPACE_BIT, r"\s+"), (WORD_BIT, r"\w+"), (DIGIT_BIT, r"\d+")):
        for start, end in spans(pattern, text):
            for cp in range(start, end):
                props[cp] |= bit
    return props


def case_folds():
    """(fold, extra_pairs). fold[cp] names the class of code points that (?i)
    matches with cp: regex's own simple fold, with two of its classes joined
    where every member of the union matches every other. extra_pairs lists the
    pairs (a < b) that regex matches but that no such class can hold, because
    regex's relation is not transitive there (I matches i and dotless i, which
    do not match each other; likewise i, I and dotted I)."""
    flags = regex.IGNORECASE | regex.UNICODE
    cases = [frozenset(_regex.get_all_cases(flags, cp)) for cp in range(MAX_CP)]
    assert max(map(len, cases)) <= MAX_CASE_VARIANTS
    fold = [ord(_regex.fold_case(flags, chr(cp))) for cp in range(MAX_CP)]
    members = {}
    for cp in range(MAX_CP):
        members.setdefault(fold[cp], set()).add(cp)
    extra_pairs = []
    for a in range(MAX_CP):
        assert a in cases[a]
        for b in sorted(cases[a]):
            assert a in cases[b], f"U+{a:04X} matches U+{b:04X} but not the other way"
            if b <= a or fold[a] == fold[b]:
                continue
            union = members[fold[a]] | members[fold[b]]
            if all(union <= cases[m] for m in union):
                lower = ord(chr(a).lower())
                target = lower if lower in union else min(union)
                for m in union:
                    fold[m] = target
                members[target] = union
            else:
                extra_pairs.append((a, b))
    for cp in range(MAX_CP):
        same = members[fold[cp]]
        related = same | {b for a, b in extra_pairs if a == cp}
        related |= {a for a, b in extra_pairs if b == cp}
        assert related == cases[cp], f"fold of U+{cp:04X} does not follow regex"
    return fold, extra_pairs


def case_orbits(fold):
    """[(cp, next)] for each code point whose fold class has two or more
    members, sorted: next is the following member in code point order,
    wrapping around to the smallest."""
    classes = {}
    for cp in range(MAX_CP):
        classes.setdefault(fold[cp], []).append(cp)
    orbit = []
    for members in classes.values():
        if len(members) > 1:
            orbit.extend(zip(members, members[1:] + members[:1]))
    return sorted(orbit)


def two_stage(values, shift):
    """(index, blocks) with values[cp] == blocks[index[cp >> shift] * size + (cp & mask)]."""
    size = 1 << shift
    index, blocks, seen = [], [], {}
    for start in range(0, MAX_CP, size):
        block = tuple(values[start:start + size])
        if block not in seen:
            seen[block] = len(seen)
            blocks.extend(block)
        index.append(seen[block])
    return index, blocks


# Blocks of 256 code points: the smallest tables for both arrays (the
# lookups in unicode_classes.h assume this shift).
SHIFT = 8


def c_array(ctype, name, items, per_line=16):
    lines = [f"const {ctype} {name}[{len(items)}] = {{"]
    for start in range(0, len(items), per_line):
        lines.append("    " + ", ".join(str(v) for v in items[start:start + per_line]) + ",")
    lines.append("};")
    return "\n".join(lines)


def render(props, fold, extra_pairs):
    prop_index, prop_blocks = two_stage(props, SHIFT)
    deltas = [fold[cp] - cp for cp in range(MAX_CP)]
    fold_index, fold_blocks = two_stage(deltas, SHIFT)
    assert len(prop_blocks) >> SHIFT < 65536 and len(fold_blocks) >> SHIFT < 65536
    parts = [
        f"// Generated by scripts/gen-unicode-tables.py from regex {REGEX_VERSION}",
        f"// (Unicode {UNICODE_VERSION}). Do not edit: run the script instead.",
        "//",
        "// Property bytes: bits 0-4 the general category (brevix::text::Category),",
        f"// {SPACE_BIT:#x} \\s, {WORD_BIT:#x} \\w, {DIGIT_BIT:#x} \\d. Fold deltas: foldCase(cp) - cp.",
        "// Case orbits: (cp, next member of its fold class) pairs sorted by cp.",
        "// Extra case pairs: (a, b) that (?i) matches although their folds differ.",
        "",
        f'const char kUnicodeVersionData[] = "{UNICODE_VERSION}";',
        f"constexpr unsigned kGeneratedBlockShift = {SHIFT};",
        "",
        c_array("std::uint16_t", "kPropertyIndexData", prop_index),
        c_array("std::uint8_t", "kPropertyBlockData", prop_blocks),
        c_array("std::uint16_t", "kFoldIndexData", fold_index),
        c_array("std::int32_t", "kFoldBlockData", fold_blocks, per_line=12),
        c_array("std::uint32_t", "kCaseOrbitData",
                [v for pair in case_orbits(fold) for v in pair], per_line=12),
        c_array("std::uint32_t", "kExtraCasePairData",
                [v for pair in extra_pairs for v in pair], per_line=12),
        "",
    ]
    return "\n".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    if regex.__version__ != REGEX_VERSION:
        sys.exit(f"regex {REGEX_VERSION} is required (found {regex.__version__}): "
                 f"pip install regex=={REGEX_VERSION}")
    fold, extra_pairs = case_folds()
    text = render(properties(every_code_point()), fold, extra_pairs)
    if args.check:
        if args.out.read_text() != text:
            sys.exit(f"{args.out} is not what the script generates")
        return
    args.out.write_text(text)


if __name__ == "__main__":
    main()
