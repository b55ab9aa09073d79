"""Ctrl-C during training: KeyboardInterrupt at an iteration boundary, and the
tokenizer left consistent enough to save and use."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from brevix import model
from helpers import run_python

# Random bytes keep training going for a very long time (hardly any pair
# repeats much), whichever engine runs, so the signal always lands mid-fit.
CHILD = textwrap.dedent(
    """
    import random, sys
    from brevix import model
    from brevix.tokenizer import PyBytePairTokenizer

    corpus = list(random.Random(7).randbytes(3_000_000))
    tok = PyBytePairTokenizer()
    try:
        tok.fit(corpus, 2**31 - 1, 2**31 - 1)
    except KeyboardInterrupt:
        if sys.argv[1] != "-":
            model.save(tok, sys.argv[1])
        print("caught KeyboardInterrupt", file=sys.stderr, flush=True)
        raise
    print("training finished", file=sys.stderr)
    """
)

STARTED = b"Iteration 3\n"
START_TIMEOUT = 120
STOP_TIMEOUT = 60


def run_and_interrupt(tmp_path, save_to):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    out = tmp_path / "stdout"
    with open(out, "wb") as stdout:
        child = subprocess.Popen(
            [sys.executable, str(script), save_to], stdout=stdout, stderr=subprocess.PIPE
        )
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while STARTED not in out.read_bytes():
            assert child.poll() is None, "child ended before training started"
            assert time.monotonic() < deadline, "training did not start"
            time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail("fit did not stop after SIGINT")
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, stderr, out.read_bytes()


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("save", [False, True], ids=["plain", "save-on-interrupt"])
def test_sigint_interrupts_fit(tmp_path, save):
    save_to = str(tmp_path / "partial.model") if save else "-"
    status, stderr, stdout = run_and_interrupt(tmp_path, save_to)

    # An uncaught KeyboardInterrupt makes Python exit by SIGINT itself.
    assert status == -signal.SIGINT, stderr
    assert b"caught KeyboardInterrupt" in stderr
    assert b"KeyboardInterrupt" in stderr.splitlines()[-1]
    assert b"training finished" not in stderr
    # Stopped between iterations: the last progress block is complete.
    assert stdout.endswith(b"%\n"), stdout[-200:]

    if save:
        tok = model.load(save_to)
        merges = model.merges(tok)
        assert len(merges) >= 2
        # Every iteration that started was finished and recorded its merge.
        assert len(merges) == stdout.count(b"Iteration ")
        assert [m[2] for m in merges] == list(range(256, 256 + len(merges)))
        assert tok.size == 256 + len(merges)
        sample = os.urandom(2000) + "naïve café".encode()
        assert tok.decode(tok.encode(sample)) == sample


REENTRY_CHILD = """
import random, signal, sys
from brevix import _core, _internal, model
from brevix.tokenizer import PyBytePairTokenizer

tok = PyBytePairTokenizer()
corpus = random.Random(5).choices(range(40), k=300_000)
uses = {
    "__init__": lambda: tok.__init__(),
    "fit": lambda: tok.fit([1, 2, 1, 2], 300, 1),
    "encode": lambda: tok.encode(b"abc"),
    "encode_corpus": lambda: tok.encode_corpus([1, 2]),
    "decode": lambda: tok.decode([1, 2]),
    "set_low_level_merges": lambda: _core.set_low_level_merges(tok, []),
    "set_merges": lambda: _internal.set_merges(tok, []),
    "merges": lambda: model.merges(tok),
    "from_low_level": lambda: __import__("brevix").Tokenizer.from_low_level(tok),
}
outcomes = []

def handler(signum, frame):
    signal.setitimer(signal.ITIMER_REAL, 0)
    for name, use in uses.items():
        try:
            use()
            outcomes.append(name + " ok")
        except RuntimeError:
            outcomes.append(name + " RuntimeError")
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.5)  # well after the corpus is built, even on a busy machine
try:
    tok.fit(corpus, 1_000_000, 1_000_000)
except KeyboardInterrupt:
    pass
learned = tok.size - 256
reference = PyBytePairTokenizer()
reference.fit(corpus, 1_000_000, learned)
print("|".join(outcomes), learned > 0, model.merges(tok) == model.merges(reference), file=sys.stderr)
"""


def test_a_signal_handler_cannot_use_the_tokenizer_fit_is_training():
    # The handler runs between two merges, on the thread running fit: every
    # use of the tokenizer there is refused, and what fit learned before the
    # interrupt is exactly what an uninterrupted fit learns first.
    stderr = run_python(REENTRY_CHILD).stderr.decode().strip().splitlines()[-1]
    outcomes, learned, same = stderr.rsplit(" ", 2)
    assert outcomes.split("|") == [
        "__init__ RuntimeError",
        "fit RuntimeError",
        "encode RuntimeError",
        "encode_corpus RuntimeError",
        "decode RuntimeError",
        "set_low_level_merges RuntimeError",
        "set_merges RuntimeError",
        "merges RuntimeError",
        "from_low_level RuntimeError",
    ]
    assert (learned, same) == ("True", "True")
