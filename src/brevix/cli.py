"""The ``brevix`` command line, on top of :class:`brevix.Tokenizer`.

    brevix train [CORPUS] --merges N [--max-vocab-size V] --out MODEL
                 [--progress | --quiet] [--trace] [--drop-newlines]
    brevix encode --model MODEL [TEXT | -]
    brevix decode --model MODEL [IDS... | -]
    brevix demo [--merges N] [--quiet]
    brevix encode-files MODEL OUT_DIR INPUT... [--per-line] [--workers N | --scheduler ADDRESS]
    brevix --version

Results go to standard output (the ids of ``encode``, the bytes of
``decode``, the per-iteration lines of ``train --trace``); the progress bar,
status and error messages go to standard error, every failure in one line.

More commands plug in through :func:`register_command`.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.resources
import os
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

from brevix import __version__, distributed, model
from brevix._tokenizer import Tokenizer

PROG = "brevix"
INT32_MAX = 2**31 - 1
FIRST_MERGE_ID = 256
DEMO_SENTENCE = "Byte-pair encoding turns « naïve café » into tokens and back."

# Exit statuses: 1 for a failed job (bad file, bad model), 2 for bad usage
# (argparse's own convention), 130 for an interrupt (128 + SIGINT).
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# argparse's sub-parser collection; typed loosely because its class is private.
Subparsers = Any
CommandRegistrar = Callable[[Subparsers], None]

_registrars: list[CommandRegistrar] = []


def register_command(registrar: CommandRegistrar) -> CommandRegistrar:
    """Adds a subcommand. ``registrar(commands)`` calls
    ``commands.add_parser(...)`` and sets ``run`` (a function of the parsed
    arguments returning the exit status) with ``set_defaults(run=...)``. Usable
    as a decorator; commands appear in registration order."""
    _registrars.append(registrar)
    return registrar


class CliError(Exception):
    """A problem to report in one line on stderr, with exit status 1."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CliError as e:
        _error(str(e))
        return EXIT_FAILURE
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing left to report to.
        _silence_stdout()
        return EXIT_FAILURE
    except (OSError, ValueError, RuntimeError, MemoryError) as e:
        # Anything unforeseen still gets one line, not a traceback.
        _error(f"{type(e).__name__}: {e}")
        return EXIT_FAILURE


def _error(message: str) -> None:
    with contextlib.suppress(OSError):
        sys.stdout.flush()
    print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)


def _note(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def _silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


# ---- arguments -----------------------------------------------------------


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Byte-level byte-pair-encoding tokenizer."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for registrar in _registrars:
        registrar(commands)
    return parser


@register_command
def _add_train(commands: Subparsers) -> None:
    train = commands.add_parser(
        "train", help="learn merges from a corpus file and save the model"
    )
    train.add_argument(
        "corpus",
        nargs="?",
        metavar="CORPUS",
        help="corpus file, read as bytes (every byte kept); default: the shipped sample text",
    )
    train.add_argument(
        "--merges", type=_count_arg, required=True, metavar="N", help="most merges to learn"
    )
    train.add_argument(
        "--max-vocab-size",
        type=_vocab_size_arg,
        metavar="V",
        help="stop once the vocabulary has V tokens, at least 257 (default: 256 + N)",
    )
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument(
        "--drop-newlines",
        action="store_true",
        help="drop newline bytes, as the corpus-file reader data_loader does",
    )
    _add_progress_options(train)
    train.add_argument(
        "--trace",
        action="store_true",
        help="print the per-iteration lines of the low-level trainer on stdout",
    )
    train.set_defaults(run=_run_train)


def _add_progress_options(parser: argparse.ArgumentParser) -> None:
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument(
        "--progress",
        action="store_true",
        help="show a progress bar on stderr (the default on a terminal)",
    )
    shown.add_argument("--quiet", action="store_true", help="no progress bar, no status lines")


@register_command
def _add_encode(commands: Subparsers) -> None:
    encode = commands.add_parser("encode", help="print the token ids of a text")
    encode.add_argument("--model", required=True, metavar="MODEL")
    encode.add_argument(
        "text", nargs="?", default="-", metavar="TEXT", help="text to encode; '-' or none: stdin"
    )
    encode.set_defaults(run=_run_encode)


@register_command
def _add_decode(commands: Subparsers) -> None:
    decode = commands.add_parser("decode", help="write the bytes that token ids stand for")
    decode.add_argument("--model", required=True, metavar="MODEL")
    decode.add_argument(
        "ids",
        nargs="*",
        metavar="ID",
        help="token ids; '-' or none: whitespace-separated ids from stdin",
    )
    decode.set_defaults(run=_run_decode)


@register_command
def _add_demo(commands: Subparsers) -> None:
    demo = commands.add_parser(
        "demo", help="train on the shipped sample, then encode and decode a sentence"
    )
    demo.add_argument("--merges", type=_count_arg, default=300, metavar="N")
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    demo.add_argument("text", nargs="?", default=DEMO_SENTENCE, metavar="TEXT")
    demo.set_defaults(run=_run_demo)


register_command(distributed.add_command)


def _int32_arg(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not -(2**31) <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"{value} is outside the signed 32-bit range")
    return value


def _count_arg(text: str) -> int:
    value = _int32_arg(text)
    if value < 1 or value > INT32_MAX - FIRST_MERGE_ID:
        raise argparse.ArgumentTypeError(
            f"must be between 1 and {INT32_MAX - FIRST_MERGE_ID}: {value}"
        )
    return value


def _vocab_size_arg(text: str) -> int:
    value = _int32_arg(text)
    if value <= FIRST_MERGE_ID:
        raise argparse.ArgumentTypeError(
            f"must be at least {FIRST_MERGE_ID + 1} (256 byte tokens and one merge): {value}"
        )
    return value


# ---- files -----------------------------------------------------------------


@contextlib.contextmanager
def _sample_path() -> Iterator[Path]:
    resource = importlib.resources.files("brevix").joinpath("data", "sample.txt")
    with importlib.resources.as_file(resource) as path:
        yield path


def _read_corpus(path: Path, drop_newlines: bool) -> bytes:
    """The corpus as bytes; with ``drop_newlines`` the bytes data_loader
    keeps (every byte but newline), without its locale switch."""
    try:
        data = path.read_bytes()
    except IsADirectoryError:
        raise CliError(f"corpus {str(path)!r} is a directory") from None
    except OSError as e:
        raise CliError(f"cannot read corpus {str(path)!r}: {e.strerror or e}") from None
    return data.replace(b"\n", b"") if drop_newlines else data


def _load_model(path: str) -> Tokenizer:
    try:
        return Tokenizer.load(path)
    except ValueError as e:
        raise CliError(f"bad model: {e}") from None
    except OSError as e:
        raise CliError(f"cannot read model {path!r}: {e.strerror or e}") from None


def _save_model(tokenizer: Tokenizer, path: str) -> None:
    try:
        tokenizer.save(path)
    except OSError as e:
        raise CliError(f"cannot write model {path!r}: {e.strerror or e}") from None


# ---- commands --------------------------------------------------------------


def _show_progress(args: argparse.Namespace) -> bool:
    if args.quiet:
        return False
    if args.progress:
        return True
    return not getattr(args, "trace", False) and sys.stderr.isatty()


def _run_train(args: argparse.Namespace) -> int:
    if args.corpus is None:
        with _sample_path() as path:
            corpus = _read_corpus(path, args.drop_newlines)
        source = "the shipped sample text"
    else:
        corpus = _read_corpus(Path(args.corpus), args.drop_newlines)
        source = repr(args.corpus)
    if not corpus:
        raise CliError(f"corpus {source} is empty")
    limit = FIRST_MERGE_ID + args.merges
    if args.max_vocab_size is not None:
        limit = min(limit, args.max_vocab_size)
    tokenizer = Tokenizer()
    try:
        tokenizer.train(corpus, limit, progress=_show_progress(args), trace=args.trace)
    except KeyboardInterrupt:
        _save_model(tokenizer, args.out)
        _error(
            f"interrupted: saved the {tokenizer.vocab_size - FIRST_MERGE_ID} merges "
            f"learned so far to {args.out!r}"
        )
        return EXIT_INTERRUPTED
    finally:
        if args.trace:
            sys.stdout.flush()
    _save_model(tokenizer, args.out)
    if not args.quiet:
        _note(
            f"learned {tokenizer.vocab_size - FIRST_MERGE_ID} merges from {source} "
            f"(vocabulary {tokenizer.vocab_size}), saved to {args.out!r}"
        )
    return 0


def _write_ids(ids: Sequence[int]) -> None:
    sys.stdout.write(" ".join(map(str, ids)) + "\n")
    sys.stdout.flush()


def _run_encode(args: argparse.Namespace) -> int:
    tokenizer = _load_model(args.model)
    text = sys.stdin.buffer.read() if args.text == "-" else os.fsencode(args.text)
    _write_ids(tokenizer.encode(text))
    return 0


def _parse_ids(words: Sequence[str]) -> list[int]:
    ids = []
    for word in words:
        try:
            ids.append(_int32_arg(word))
        except argparse.ArgumentTypeError as e:
            raise CliError(f"bad token id: {e}") from None
    return ids


def _run_decode(args: argparse.Namespace) -> int:
    tokenizer = _load_model(args.model)
    words = args.ids
    if not words or words == ["-"]:
        words = sys.stdin.read().split()
    ids = _parse_ids(words)
    try:
        data = tokenizer.decode(ids)
    except ValueError as e:
        raise CliError(f"cannot decode: {e}") from None
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    with _sample_path() as path:
        _note(f"training {args.merges} merges on the shipped sample text ({path})")
        corpus = _read_corpus(path, drop_newlines=False)
    tokenizer = Tokenizer()
    tokenizer.train(corpus, FIRST_MERGE_ID + args.merges, progress=not args.quiet)
    with tempfile.TemporaryDirectory(prefix="brevix-demo-") as tmp:
        model_path = os.path.join(tmp, "model.txt")
        _save_model(tokenizer, model_path)
        tokenizer = _load_model(model_path)
    text = os.fsencode(args.text)
    ids = tokenizer.encode(text)
    back = tokenizer.decode(ids)
    print(f"\ntext:    {args.text}")
    print(f"ids:     {' '.join(map(str, ids))}")
    print(f"decoded: {os.fsdecode(back)}")
    print(
        f"{len(text)} bytes -> {len(ids)} tokens; round trip "
        + ("OK" if back == text else "FAILED"),
        flush=True,
    )
    return 0 if back == text else EXIT_FAILURE
