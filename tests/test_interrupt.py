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
