"""MkDocs hook: the command-line page is brevix's own argparse help.

A page line that is exactly ``<!-- brevix-cli-reference -->`` becomes the
help of ``brevix`` and of each subcommand, in the parser's order, rendered
from ``brevix.cli._build_parser()`` at build time, so the page cannot drift
from the parser. Also strips Sphinx roles (``:class:`` and the like) that
docstrings use from the rendered API pages.
"""

from __future__ import annotations

import argparse
import os
import re

MARKER = "<!-- brevix-cli-reference -->"
ROLE = re.compile(r":(?:class|meth|func|data|attr|exc|mod|obj):(?=<code>|`)")


def _subcommands(parser: argparse.ArgumentParser) -> list[tuple[str, str, argparse.ArgumentParser]]:
    """(name, one-line help, parser) of each subcommand, in registration order."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {choice.dest: choice.help or "" for choice in action._choices_actions}
            return [(name, helps.get(name, ""), sub) for name, sub in action.choices.items()]
    return []


def render_cli_reference() -> str:
    """The Markdown of the whole command-line reference."""
    from brevix.cli import _build_parser

    # argparse wraps help to the terminal's width: fix it for the page.
    os.environ["COLUMNS"] = "88"
    parser = _build_parser()
    parts = ["## `brevix`", "", "```text", parser.format_help().rstrip(), "```", ""]
    for name, summary, sub in _subcommands(parser):
        parts += [f"## `brevix {name}`", ""]
        if summary:
            parts += [summary[0].upper() + summary[1:] + ".", ""]
        parts += ["```text", sub.format_help().rstrip(), "```", ""]
    return "\n".join(parts)


def on_page_markdown(markdown: str, **kwargs: object) -> str:
    if MARKER not in markdown:
        return markdown
    return markdown.replace(MARKER, render_cli_reference())


def on_page_content(html: str, **kwargs: object) -> str:
    return ROLE.sub("", html)
