"""The ``brevix`` command line, on top of :class:`brevix.Tokenizer`.

    brevix train [CORPUS...] (--merges N | --vocab-size V) --out MODEL
                 [--pattern P] [--special TOKEN]... [--lines]
                 [--progress | --quiet] [--trace] [--drop-newlines]
    brevix encode --model MODEL [TEXT | -]
    brevix count MODEL FILE...
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
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

from brevix import __version__, cluster, model
from brevix._tokenizer import Tokenizer
from brevix.model import FIRST_MERGE_ID, INT32_MAX, INT32_MIN

PROG = "brevix"
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
        "train",
        help="learn merges from corpus files and save the model",
        description="Learn merges from corpus files. With --pattern, GPT-style training from "
        "piece counts (each file a document, or each line with --lines); without, the exact "
        "unsplit trainer on the bytes of the files, concatenated.",
    )
    train.add_argument(
        "corpus",
        nargs="*",
        metavar="CORPUS",
        help="corpus files, read as bytes (every byte kept); default: the shipped sample text",
    )
    size = train.add_mutually_exclusive_group(required=True)
    size.add_argument("--merges", type=_count_arg, metavar="N", help="most merges to learn")
    size.add_argument(
        "--vocab-size",
        type=_vocab_size_arg,
        metavar="V",
        help="train until the vocabulary (special tokens included) has V ids",
    )
    train.add_argument(
        "--max-vocab-size",
        type=_vocab_size_arg,
        metavar="V",
        help="with --merges: stop once the vocabulary has V tokens, at least 257",
    )
    train.add_argument(
        "--pattern",
        metavar="P",
        help="split pattern: gpt2, cl100k, o200k or a regular expression (default: none)",
    )
    train.add_argument(
        "--special",
        action="append",
        default=[],
        metavar="TOKEN",
        help="a special token (repeatable); ids follow the merges",
    )
    train.add_argument("--lines", action="store_true", help="one document per line (with --pattern)")
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument(
        "--drop-newlines",
        action="store_true",
        help="drop newline bytes, as the corpus-file reader data_loader does (no --pattern)",
    )
    where = train.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=cluster._positive(int),
        metavar="N",
        help="count pieces on a local Dask cluster of N worker processes (with --pattern)",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="count pieces on the Dask cluster at ADDRESS, tcp://host:port (with --pattern)",
    )
    train.add_argument(
        "--shard-mb",
        type=cluster._positive(float),
        default=cluster.DEFAULT_TRAIN_SHARD_BYTES / cluster.MB,
        metavar="M",
        help="with --workers/--scheduler: MB of corpus per counting task (default: %(default)g)",
    )
    train.add_argument(
        "--max-pieces",
        type=cluster._positive(int),
        metavar="K",
        help="with --workers/--scheduler: keep only the K most frequent distinct pieces "
        "(default: as many as half the available memory holds, at least a million)",
    )
    _add_progress_options(train)
    train.add_argument(
        "--trace",
        action="store_true",
        help="print the per-iteration lines of the low-level trainer on stdout (no --pattern)",
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


@register_command
def _add_count(commands: Subparsers) -> None:
    count = commands.add_parser(
        "count", help="count the tokens of files (per file and in total)"
    )
    count.add_argument("model", metavar="MODEL")
    count.add_argument("files", nargs="+", metavar="FILE", help="files to count ('-': stdin)")
    count.add_argument(
        "--allow-special",
        action="store_true",
        help="count special tokens in the text as one token each (default: as ordinary text)",
    )
    count.set_defaults(run=_run_count)


register_command(cluster.add_command)


def _int32_arg(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not INT32_MIN <= value <= INT32_MAX:
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
    keeps (every byte but newline), without its need of the en_US.UTF-8 locale."""
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
    _check_writable(args.out)
    if args.pattern is not None and (args.drop_newlines or args.trace):
        raise CliError("--drop-newlines and --trace apply to training without --pattern")
    if args.lines and args.pattern is None:
        raise CliError("--lines needs --pattern")
    on_cluster = args.workers is not None or args.scheduler is not None
    if on_cluster and args.pattern is None:
        raise CliError("--workers and --scheduler need --pattern")
    if not on_cluster and args.max_pieces is not None:
        raise CliError("--max-pieces goes with --workers or --scheduler")
    try:
        tokenizer = Tokenizer(pattern=args.pattern, special_tokens=args.special or None)
    except (TypeError, ValueError) as e:
        raise CliError(str(e)) from None
    with contextlib.ExitStack() as stack:
        paths = [Path(c) for c in args.corpus] or [stack.enter_context(_sample_path())]
        source = "the shipped sample text" if not args.corpus else ", ".join(map(repr, args.corpus))
        data = _training_input(paths, args)
        target = _target_size(args, tokenizer)
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                if on_cluster:
                    _train_on_cluster(tokenizer, data, target, args)
                else:
                    tokenizer.train(
                        data,
                        target,
                        progress=_show_progress(args),
                        lines=args.lines,
                        trace=args.trace,
                    )
        except KeyboardInterrupt:
            partial = args.out + ".partial"
            _save_model(tokenizer, partial)
            _error(
                f"interrupted: saved the {len(tokenizer.merges)} merges learned so far to "
                f"{partial!r}; {args.out!r} is unchanged"
            )
            return EXIT_INTERRUPTED
        finally:
            if args.trace:
                sys.stdout.flush()
    _save_model(tokenizer, args.out)
    if not args.quiet:
        for warning in caught:
            _note(str(warning.message))
        _note(
            f"learned {len(tokenizer.merges)} merges from {source} "
            f"(vocabulary {tokenizer.vocab_size}), saved to {args.out!r}"
        )
    return 0


def _train_on_cluster(
    tokenizer: Tokenizer, paths: list[Path], target: int, args: argparse.Namespace
) -> None:
    try:
        cluster.train_tokenizer(
            tokenizer,
            paths,
            target,
            lines=args.lines,
            scheduler=args.scheduler,
            workers=args.workers,
            shard_bytes=max(1, int(args.shard_mb * cluster.MB)),
            max_pieces=args.max_pieces,
            progress=_show_progress(args),
        )
    except (cluster.DaskMissingError, cluster.EncodeFilesError) as e:
        raise CliError(str(e)) from None


def _check_writable(out: str) -> None:
    """Refuses an output that cannot be written before any training."""
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"cannot write model {out!r}: no such directory {directory!r}")
    if not os.access(directory, os.W_OK):
        raise CliError(f"cannot write model {out!r}: directory {directory!r} is not writable")
    if os.path.isdir(out):
        raise CliError(f"cannot write model {out!r}: it is a directory")


def _training_input(paths: list[Path], args: argparse.Namespace) -> Any:
    for path in paths:
        if path.is_dir():
            raise CliError(f"corpus {str(path)!r} is a directory")
        if not path.exists():
            raise CliError(f"cannot read corpus {str(path)!r}: No such file or directory")
    if args.pattern is not None:
        if all(p.stat().st_size == 0 for p in paths):
            raise CliError("the corpus is empty")
        return paths
    corpus = b"".join(_read_corpus(p, args.drop_newlines) for p in paths)
    if not corpus:
        raise CliError("the corpus is empty")
    return corpus


def _target_size(args: argparse.Namespace, tokenizer: Tokenizer) -> int:
    if args.vocab_size is not None:
        if args.max_vocab_size is not None:
            raise CliError("--max-vocab-size goes with --merges; use --vocab-size alone")
        return int(args.vocab_size)
    limit = tokenizer.vocab_size + args.merges
    if args.max_vocab_size is not None:
        limit = min(limit, args.max_vocab_size)
    return int(min(limit, INT32_MAX))


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


def _run_count(args: argparse.Namespace) -> int:
    tokenizer = _load_model(args.model)
    allowed: Any = "all" if args.allow_special else ()
    total = 0
    for name in args.files:
        try:
            data = sys.stdin.buffer.read() if name == "-" else Path(name).read_bytes()
        except IsADirectoryError:
            raise CliError(f"{name!r} is a directory") from None
        except OSError as e:
            raise CliError(f"cannot read {name!r}: {e.strerror or e}") from None
        n = tokenizer.count(data, allowed_special=allowed, disallowed_special=())
        total += n
        sys.stdout.write(f"{n}\t{name}\n")
    if len(args.files) > 1:
        sys.stdout.write(f"{total}\ttotal\n")
    sys.stdout.flush()
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    tokenizer = Tokenizer(pattern="cl100k", special_tokens=["<|endoftext|>"])
    with _sample_path() as path:
        _note(
            f"training {args.merges} merges (cl100k pattern, a document per line) on the "
            f"shipped sample text ({path})"
        )
        tokenizer.train(
            path, tokenizer.vocab_size + args.merges, lines=True, progress=not args.quiet
        )
    with tempfile.TemporaryDirectory(prefix="brevix-demo-") as tmp:
        model_path = os.path.join(tmp, "model.txt")
        _save_model(tokenizer, model_path)
        tokenizer = _load_model(model_path)
    text = os.fsencode(args.text) + b"<|endoftext|>"
    ids = tokenizer.encode(text, allowed_special="all")
    back = tokenizer.decode(ids)
    pieces = [tokenizer.token_bytes(i) for i in ids]
    print(f"\ntext:    {os.fsdecode(text)}")
    print(f"ids:     {' '.join(map(str, ids))}")
    print(f"tokens:  {' '.join(repr(p)[2:-1] for p in pieces)}")
    print(f"decoded: {os.fsdecode(back)}")
    print(
        f"{len(text)} bytes -> {len(ids)} tokens; round trip "
        + ("OK" if back == text else "FAILED"),
        flush=True,
    )
    return 0 if back == text else EXIT_FAILURE
