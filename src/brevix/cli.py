"""The ``brevix`` command line.

    brevix train [CORPUS] --merges N [--max-vocab-size V] --out MODEL
    brevix encode --model MODEL [TEXT | -]
    brevix decode --model MODEL [IDS... | -]
    brevix demo [--merges N]
    brevix encode-files MODEL OUT_DIR INPUT... [--per-line] [--workers N | --scheduler ADDRESS]

Training progress and the ids of ``encode`` are written by the core on the
process's standard output; status and error messages go to standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.resources
import os
import sys
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path

from brevix import distributed, model
from brevix.tokenizer import PyBytePairTokenizer, data_loader

PROG = "brevix"
INT32_MAX = 2**31 - 1
DEMO_SENTENCE = "Byte-pair encoding turns « naïve café » into tokens and back."

# Exit statuses: 1 for a failed job (bad file, bad model), 2 for bad usage
# (argparse's own convention), 130 for an interrupt (128 + SIGINT).
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


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


def _error(message: str) -> None:
    sys.stdout.flush()
    print(f"{PROG}: error: {message}", file=sys.stderr)


def _note(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


# ---- arguments -----------------------------------------------------------


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Byte-level byte-pair-encoding tokenizer."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train", help="learn merges from a corpus file and save the model"
    )
    train.add_argument(
        "corpus",
        nargs="?",
        metavar="CORPUS",
        help="corpus file (any bytes; newlines are dropped); default: the shipped sample text",
    )
    train.add_argument(
        "--merges", type=_count_arg, required=True, metavar="N", help="most merges to learn"
    )
    train.add_argument(
        "--max-vocab-size",
        type=_int32_arg,
        metavar="V",
        help="stop once the vocabulary has V tokens (default: 256 + N)",
    )
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.set_defaults(run=_run_train)

    encode = commands.add_parser("encode", help="print the token ids of a text")
    encode.add_argument("--model", required=True, metavar="MODEL")
    encode.add_argument(
        "text", nargs="?", default="-", metavar="TEXT", help="text to encode; '-' or none: stdin"
    )
    encode.set_defaults(run=_run_encode)

    decode = commands.add_parser("decode", help="write the bytes that token ids stand for")
    decode.add_argument("--model", required=True, metavar="MODEL")
    decode.add_argument(
        "ids",
        nargs="*",
        metavar="ID",
        help="token ids; '-' or none: whitespace-separated ids from stdin",
    )
    decode.set_defaults(run=_run_decode)

    demo = commands.add_parser(
        "demo", help="train on the shipped sample, then encode and decode a sentence"
    )
    demo.add_argument("--merges", type=_count_arg, default=300, metavar="N")
    demo.add_argument("text", nargs="?", default=DEMO_SENTENCE, metavar="TEXT")
    demo.set_defaults(run=_run_demo)

    distributed.add_command(commands)
    return parser


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
    if value < 0 or value > INT32_MAX - 256:
        raise argparse.ArgumentTypeError(f"must be between 0 and {INT32_MAX - 256}: {value}")
    return value


# ---- files -----------------------------------------------------------------


@contextlib.contextmanager
def _sample_path() -> Iterator[Path]:
    resource = importlib.resources.files("brevix").joinpath("data", "sample.txt")
    with importlib.resources.as_file(resource) as path:
        yield path


def _check_readable(path: str, what: str) -> None:
    """data_loader reports a missing file only by printing and returning an
    empty corpus, so the command line checks the file itself first."""
    try:
        with open(path, "rb"):
            pass
    except IsADirectoryError:
        raise CliError(f"{what} {path!r} is a directory") from None
    except OSError as e:
        raise CliError(f"cannot read {what} {path!r}: {e.strerror or e}") from None


def _load_corpus(path: str) -> list[int]:
    _check_readable(path, "corpus")
    return data_loader(os.fsencode(path))


def _load_model(path: str) -> PyBytePairTokenizer:
    try:
        return model.load(path)
    except ValueError as e:
        raise CliError(f"bad model: {e}") from None
    except OSError as e:
        raise CliError(f"cannot read model {path!r}: {e.strerror or e}") from None


def _save_model(tokenizer: PyBytePairTokenizer, path: str) -> None:
    try:
        model.save(tokenizer, path)
    except OSError as e:
        raise CliError(f"cannot write model {path!r}: {e.strerror or e}") from None


# ---- commands --------------------------------------------------------------


def _train(corpus: list[int], merges: int, max_vocab_size: int | None) -> PyBytePairTokenizer:
    limit = 256 + merges if max_vocab_size is None else max_vocab_size
    tokenizer = PyBytePairTokenizer()
    tokenizer.fit(corpus, limit, merges)
    # The core leaves its last progress text ("Nothing to Merge") unflushed.
    _flush_native_stdout()
    return tokenizer


def _flush_native_stdout() -> None:
    sys.stdout.flush()
    try:
        import ctypes

        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


def _run_train(args: argparse.Namespace) -> int:
    if args.corpus is None:
        with _sample_path() as path:
            corpus = _load_corpus(str(path))
        source = "the shipped sample text"
    else:
        corpus = _load_corpus(args.corpus)
        source = repr(args.corpus)
    if not corpus:
        raise CliError(f"corpus {source} is empty")
    tokenizer = _train(corpus, args.merges, args.max_vocab_size)
    _save_model(tokenizer, args.out)
    _note(
        f"learned {tokenizer.size - 256} merges from {source} "
        f"(vocabulary {tokenizer.size}), saved to {args.out!r}"
    )
    return 0


def _run_encode(args: argparse.Namespace) -> int:
    tokenizer = _load_model(args.model)
    text = sys.stdin.buffer.read() if args.text == "-" else os.fsencode(args.text)
    # encode() itself prints the ids, space-separated, on one line.
    tokenizer.encode(text)
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
    except (ValueError, RuntimeError) as e:
        raise CliError(f"cannot decode: {e}") from None
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    with _sample_path() as path:
        _note(f"training {args.merges} merges on the shipped sample text ({path})")
        corpus = _load_corpus(str(path))
    tokenizer = _train(corpus, args.merges, None)
    with tempfile.TemporaryDirectory(prefix="brevix-demo-") as tmp:
        model_path = os.path.join(tmp, "model.txt")
        _save_model(tokenizer, model_path)
        tokenizer = _load_model(model_path)
    text = os.fsencode(args.text)
    print(f"\ntext:    {args.text}", flush=True)
    print("ids:     ", end="", flush=True)
    ids = tokenizer.encode(text)
    back = tokenizer.decode(ids)
    print(f"decoded: {os.fsdecode(back)}")
    print(
        f"{len(text)} bytes -> {len(ids)} tokens; round trip "
        + ("OK" if back == text else "FAILED")
    )
    return 0 if back == text else EXIT_FAILURE
