"""Ctrl-C while brevix.Tokenizer trains, in a child process: KeyboardInterrupt,
the merges learned so far kept; and `brevix train` saving them beside the
model it was asked for, which stays as it was."""

import os
import signal
import subprocess
import sys
import textwrap
import time

from brevix import Tokenizer

START_TIMEOUT = 120
STOP_TIMEOUT = 60

CHILD = textwrap.dedent(
    """
    import random, sys
    from brevix import Tokenizer

    data = random.Random(7).randbytes(2_000_000)
    tok = Tokenizer()

    def progress(done, total):
        if done >= 3:
            print("started", flush=True)

    try:
        tok.train(data, 2**31 - 1, progress=progress)
    except KeyboardInterrupt:
        assert tok.decode(tok.encode(data[:5000])) == data[:5000]
        tok.save(sys.argv[1])
        print("interrupted", tok.vocab_size, flush=True)
        sys.exit(0)
    print("finished", flush=True)
    """
)


def interrupt_when(args, marker, stdout_path):
    with open(stdout_path, "wb") as out:
        child = subprocess.Popen(args, stdout=out, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while marker not in stdout_path.read_bytes():
            assert child.poll() is None, child.stderr.read().decode()
            assert time.monotonic() < deadline, "training did not start"
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=STOP_TIMEOUT)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, stderr.decode(), stdout_path.read_bytes()


def test_keyboard_interrupt_keeps_the_merges_learned(tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    status, stderr, stdout = interrupt_when(
        [sys.executable, str(script), str(tmp_path / "m")], b"started", tmp_path / "out"
    )
    assert status == 0, stderr
    last = stdout.splitlines()[-1].split()
    assert last[0] == b"interrupted"
    saved = Tokenizer.load(tmp_path / "m")
    assert saved.vocab_size == int(last[1]) >= 259


def test_cli_saves_what_it_learned_and_exits_130(tmp_path):
    corpus = tmp_path / "corpus.bin"
    corpus.write_bytes(os.urandom(2_000_000))
    out = tmp_path / "m"
    Tokenizer().save(out)
    before = out.read_bytes()
    status, stderr, _ = interrupt_when(
        [sys.executable, "-m", "brevix", "train", str(corpus), "--merges", "2000000000",
         "--trace", "--out", str(out)],
        b"Iteration 3\n",
        tmp_path / "stdout",
    )
    assert status == 130
    assert "Traceback" not in stderr
    message = stderr.strip().splitlines()[-1]
    assert message.startswith("brevix: error: interrupted: saved the ")
    assert f"{str(out) + '.partial'!r}" in message and "unchanged" in message
    merges = int(message.split("saved the ")[1].split()[0])
    assert merges >= 2
    assert len(Tokenizer.load(f"{out}.partial").merges) == merges
    assert out.read_bytes() == before


WAITER = textwrap.dedent(
    """
    import os, random, threading
    from brevix import Tokenizer

    tok = Tokenizer()
    learning = threading.Event()

    def progress(done, total):
        if done >= 3:
            learning.set()

    data = random.Random(5).randbytes(2_000_000)
    threading.Thread(target=tok.train, args=(data, 2**31 - 1), kwargs={"progress": progress},
                     daemon=True).start()
    learning.wait()
    try:
        print("waiting", flush=True)
        tok.encode(b"blocked behind the training")
    except KeyboardInterrupt:
        print("interrupted while waiting", flush=True)
        os._exit(0)
    os._exit(1)
    """
)


def test_ctrl_c_reaches_a_thread_waiting_for_training(tmp_path):
    script = tmp_path / "waiter.py"
    script.write_text(WAITER)
    status, stderr, stdout = interrupt_when(
        [sys.executable, str(script)], b"waiting", tmp_path / "out"
    )
    assert status == 0, stderr
    assert stdout.endswith(b"interrupted while waiting\n")
