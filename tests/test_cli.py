"""The command line, end to end in subprocesses."""

import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from brevix import Tokenizer, cli

TEXT = "naïve café, the lower lowest: 東京"


def brevix(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "brevix", *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=120,
    )


@pytest.fixture(scope="module")
def corpus_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_bytes((TEXT + "\n").encode() * 50)
    return path


@pytest.fixture(scope="module")
def model_file(corpus_file, tmp_path_factory):
    out = tmp_path_factory.mktemp("model") / "m.txt"
    result = brevix("train", corpus_file, "--merges", 40, "--out", out)
    assert result.returncode == 0, result.stderr
    return out


def ids_of(stdout):
    return [int(word) for word in stdout.split()]


def test_train_prints_progress_and_saves_a_model(model_file, corpus_file):
    tok = Tokenizer.load(model_file)
    assert 256 < tok.vocab_size <= 296
    result = brevix(
        "train", corpus_file, "--merges", 3, "--trace", "--out", model_file.parent / "x"
    )
    assert result.stdout.startswith(b"Iteration 1\n")
    assert result.stdout.count(b"Iteration ") == 3
    assert b"saved" in result.stderr


@pytest.mark.parametrize("text", [TEXT, "plain ascii", "x"])
def test_encode_then_decode_round_trips(model_file, text):
    encoded = brevix("encode", "--model", model_file, text)
    assert encoded.returncode == 0, encoded.stderr
    ids = ids_of(encoded.stdout)
    assert ids == Tokenizer.load(model_file).encode(text.encode())
    decoded = brevix("decode", "--model", model_file, *ids)
    assert decoded.returncode == 0, decoded.stderr
    assert decoded.stdout == text.encode()


def test_encode_reads_stdin_and_keeps_arbitrary_bytes(model_file):
    data = b"\x00\xff\n" + TEXT.encode() + b"\r\n"
    for args in (["-"], []):
        encoded = brevix("encode", "--model", model_file, *args, stdin=data)
        assert encoded.returncode == 0, encoded.stderr
        decoded = brevix("decode", "--model", model_file, "-", stdin=encoded.stdout)
        assert decoded.stdout == data


def test_decode_takes_byte_ids_from_0(model_file):
    result = brevix("decode", "--model", model_file, 195, 169, 0, 255)
    assert (result.returncode, result.stdout) == (0, "é".encode() + b"\x00\xff")


def test_train_without_corpus_uses_shipped_sample(tmp_path):
    out = tmp_path / "m"
    result = brevix("train", "--merges", 5, "--out", out)
    assert result.returncode == 0, result.stderr
    assert b"sample" in result.stderr
    assert len(Tokenizer.load(out).merges) == 5


def test_max_vocab_size_limits_training(corpus_file, tmp_path):
    out = tmp_path / "m"
    result = brevix("train", corpus_file, "--merges", 100, "--max-vocab-size", 260, "--out", out)
    assert result.returncode == 0, result.stderr
    assert Tokenizer.load(out).vocab_size == 260


def test_demo_round_trips():
    result = brevix("demo", "--merges", 20)
    assert result.returncode == 0, result.stderr
    assert b"round trip OK" in result.stdout


@pytest.fixture
def bad_files(tmp_path, corpus_file):
    (tmp_path / "empty.txt").write_bytes(b"")
    (tmp_path / "newlines.txt").write_bytes(b"\n\n\n")
    (tmp_path / "damaged.model").write_bytes(b"brevix-merges 1\nmerges 2\n97 98 256\n")
    (tmp_path / "adir").mkdir()
    return tmp_path


FAILURES = [
    # (arguments, exit status, fragment of the message on stderr)
    pytest.param(["train", "{d}/missing.txt", "--merges", "5", "--out", "{d}/m"], 1,
                 "No such file", id="missing-corpus"),
    pytest.param(["train", "{d}/adir", "--merges", "5", "--out", "{d}/m"], 1,
                 "directory", id="corpus-is-directory"),
    pytest.param(["train", "{d}/empty.txt", "--merges", "5", "--out", "{d}/m"], 1,
                 "empty", id="empty-corpus"),
    pytest.param(["train", "{d}/newlines.txt", "--merges", "5", "--drop-newlines",
                  "--out", "{d}/m"], 1,
                 "empty", id="newlines-only-corpus"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--out", "{d}/no/such/dir/m"], 1,
                 "cannot write model", id="unwritable-out"),
    pytest.param(["train", "{corpus}", "--out", "{d}/m"], 2, "--merges", id="merges-missing"),
    pytest.param(["train", "{corpus}", "--merges", "5"], 2, "--out", id="out-missing"),
    pytest.param(["train", "{corpus}", "--merges", "-1", "--out", "{d}/m"], 2,
                 "between", id="negative-merges"),
    pytest.param(["train", "{corpus}", "--merges", "ten", "--out", "{d}/m"], 2,
                 "not an integer", id="text-merges"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--max-vocab-size", "9999999999",
                  "--out", "{d}/m"], 2, "32-bit", id="huge-vocab"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--lines", "--out", "{d}/m"], 1,
                 "--lines needs --pattern", id="lines-without-pattern"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--pattern", "(", "--out", "{d}/m"], 1,
                 "invalid pattern at position 1", id="bad-pattern"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--pattern", "gpt2", "--trace",
                  "--out", "{d}/m"], 1, "without --pattern", id="trace-with-pattern"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--vocab-size", "300", "--out", "{d}/m"],
                 2, "not allowed with", id="merges-and-vocab-size"),
    pytest.param(["encode", "--model", "{d}/missing.model", "x"], 1,
                 "cannot read model", id="missing-model"),
    pytest.param(["encode", "--model", "{d}/damaged.model", "x"], 1,
                 "line 4", id="damaged-model"),
    pytest.param(["decode", "--model", "{d}/adir", "1"], 1, "cannot read model",
                 id="model-is-directory"),
    pytest.param(["decode", "--model", "{model}", "1", "x"], 1, "bad token id",
                 id="text-id"),
    pytest.param(["decode", "--model", "{model}", "4294967296"], 1, "32-bit",
                 id="id-out-of-range"),
    pytest.param([], 2, "COMMAND", id="no-command"),
    pytest.param(["frobnicate"], 2, "invalid choice", id="unknown-command"),
]


@pytest.mark.parametrize("args, status, fragment", FAILURES)
def test_bad_arguments_and_files(bad_files, corpus_file, model_file, args, status, fragment):
    filled = [a.format(d=bad_files, corpus=corpus_file, model=model_file) for a in args]
    result = brevix(*filled)
    assert result.returncode == status
    assert fragment.encode() in result.stderr
    assert b"Traceback" not in result.stderr
    assert not (bad_files / "m").exists()


def test_failed_train_keeps_existing_model(corpus_file, model_file, tmp_path):
    before = model_file.read_bytes()
    result = brevix("train", tmp_path / "missing", "--merges", 5, "--out", model_file)
    assert result.returncode == 1
    assert model_file.read_bytes() == before


@pytest.mark.parametrize("out", ["no/such/dir/m", "adir"])
def test_an_output_that_cannot_be_written_is_refused_before_training(bad_files, corpus_file, out):
    # --trace prints a line per merge: none may appear before the refusal.
    result = brevix("train", corpus_file, "--merges", 5, "--trace", "--out", bad_files / out)
    assert result.returncode == 1
    assert b"cannot write model" in result.stderr
    assert result.stdout == b""


def test_console_script_runs_the_command_line(model_file):
    # The installed `brevix` command behaves exactly like `python -m brevix`.
    (script,) = [ep for ep in importlib.metadata.entry_points(group="console_scripts")
                 if ep.name == "brevix"]
    command = shutil.which("brevix", path=os.path.dirname(sys.executable))
    assert command is not None, "the brevix command is not installed beside the interpreter"
    result = subprocess.run([command, "encode", "--model", str(model_file), TEXT],
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == brevix("encode", "--model", model_file, TEXT).stdout
    assert script.load() is cli.main


# ---- the command line on brevix.Tokenizer ------------------------------------


def test_version():
    result = brevix("--version")
    assert result.returncode == 0
    assert result.stdout.decode().strip() == f"brevix {importlib.metadata.version('brevix')}"


def test_train_is_quiet_or_shows_a_bar(corpus_file, tmp_path):
    quiet = brevix("train", corpus_file, "--merges", 5, "--quiet", "--out", tmp_path / "q")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, b"", b"")
    shown = brevix("train", corpus_file, "--merges", 5, "--progress", "--out", tmp_path / "p")
    assert shown.returncode == 0 and shown.stdout == b""
    assert b"5/5" in shown.stderr and b"saved" in shown.stderr
    # Not a terminal and no --progress: only the status line.
    plain = brevix("train", corpus_file, "--merges", 5, "--out", tmp_path / "n")
    assert plain.stderr.count(b"\n") == 1


def test_train_reads_the_corpus_as_bytes(tmp_path):
    corpus = tmp_path / "c"
    corpus.write_bytes(b"a\n" * 50 + b"bc" * 10)
    for flag, first in (([], (97, 10, 256)), (["--drop-newlines"], (97, 97, 256))):
        out = tmp_path / "m"
        assert brevix("train", corpus, "--merges", 1, *flag, "--out", out).returncode == 0
        assert Tokenizer.load(out).merges[0] == first


def test_train_with_a_pattern_equals_the_api_on_the_same_files(corpus_file, tmp_path):
    other = tmp_path / "other.txt"
    other.write_bytes(pathlib.Path(__file__).read_bytes())
    out = tmp_path / "m"
    specials = ["<|endoftext|>", "<|pad|>"]
    result = brevix("train", corpus_file, other, "--pattern", "cl100k", "--special", specials[0],
                    "--special", specials[1], "--vocab-size", 400, "--lines", "--quiet",
                    "--out", out)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    expected = Tokenizer(pattern="cl100k", special_tokens=specials)
    expected.train([corpus_file, other], 400, lines=True)
    saved = Tokenizer.load(out)
    assert saved.vocab_size == 400
    assert (saved.merges, saved.pattern, saved.special_tokens) == (
        expected.merges, expected.pattern, expected.special_tokens)


CLEAN_FAILURES = [
    # (arguments, exit status, the one line on stderr starts with)
    pytest.param(["decode", "--model", "{model}", "1", "99999"], 1,
                 "brevix: error: cannot decode: unknown token id 99999 at position 1",
                 id="unknown-id"),
    pytest.param(["decode", "--model", "{model}", "-129"], 1,
                 "brevix: error: cannot decode: unknown token id -129", id="below-bytes"),
    pytest.param(["decode", "--model", "{model}", "97", "-61", "-87"], 1,
                 "brevix: error: cannot decode: unknown token id -61 at position 1",
                 id="signed-byte-id"),
    pytest.param(["encode", "--model", "{corpus}", "x"], 1,
                 "brevix: error: bad model: ", id="corpus-as-model"),
    pytest.param(["encode", "--model", "{d}/random.bin", "x"], 1,
                 "brevix: error: bad model: ", id="random-bytes-as-model"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--max-vocab-size", "256",
                  "--out", "{d}/m"], 2, "usage:", id="vocab-256"),
    pytest.param(["train", "{corpus}", "--merges", "0", "--out", "{d}/m"], 2, "usage:",
                 id="zero-merges"),
    pytest.param(["train", "{corpus}", "--merges", "5", "--quiet", "--progress",
                  "--out", "{d}/m"], 2, "usage:", id="quiet-and-progress"),
]


@pytest.mark.parametrize("args, status, start", CLEAN_FAILURES)
def test_failures_are_reported_cleanly(tmp_path, corpus_file, model_file, args, status, start):
    (tmp_path / "random.bin").write_bytes(bytes(range(256)) * 8 + b"\n")
    filled = [a.format(d=tmp_path, corpus=corpus_file, model=model_file) for a in args]
    result = brevix(*filled)
    assert result.returncode == status
    assert result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert any(line.startswith(start) for line in lines), lines
    if status == 1:
        assert len(lines) == 1
        assert "line 1: not a brevix model" in lines[0] or "model" not in start
    assert not (tmp_path / "m").exists()


def test_subcommands_can_be_registered(tmp_path):
    code = (
        "import sys\n"
        "from brevix import cli\n"
        "@cli.register_command\n"
        "def add(commands):\n"
        "    p = commands.add_parser('hello')\n"
        "    p.set_defaults(run=lambda args: print('hi') or 3)\n"
        "sys.exit(cli.main(['hello']))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert (result.returncode, result.stdout) == (3, b"hi\n")


def test_main_job_needs_no_locale(tmp_path):
    # LOCPATH pointing nowhere: no named locale exists, as on a machine where
    # en_US.UTF-8 was never generated (only the corpus-file functions need it).
    env = {**os.environ, "LOCPATH": str(tmp_path / "no-locales")}
    for args in (["demo", "--merges", "30"], ["train", "--merges", "5", "--out", tmp_path / "m"]):
        result = subprocess.run([sys.executable, "-m", "brevix", *map(str, args)],
                                capture_output=True, env=env, timeout=120)
        assert result.returncode == 0, result.stderr
        assert b"Traceback" not in result.stderr
