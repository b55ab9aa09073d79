"""Shared helpers for tests that watch the process's native standard output."""

import os
import subprocess
import sys
import textwrap


def run_python(code, *, env=None, timeout=300, check=True):
    """Runs `code` in a fresh interpreter; returns (stdout bytes, stderr text).

    The core writes through the C++ stream, not sys.stdout, so printed text is
    observed as the bytes a child process leaves on its standard output.
    """
    full_env = dict(os.environ)
    # Unbuffered Python also makes C stdio unbuffered, which would hide how
    # the native stream buffers unflushed text.
    full_env.pop("PYTHONUNBUFFERED", None)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=full_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\nstderr:\n{proc.stderr.decode(errors='replace')}"
        )
    return proc.stdout, proc.stderr.decode(errors="replace")
