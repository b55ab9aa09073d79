"""Helpers shared by the test modules (imported as ``from helpers import ...``;
conftest.py holds only fixtures)."""

import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer

# Set by scripts/sanitize.sh: the suite runs against an AddressSanitizer build.
SANITIZED = os.environ.get("BREVIX_SANITIZED") == "1"

# The file names and conversion entries brevix.tokenizer shows in tracebacks.
MODULE_FILE = "src/brevix/bindings/tokenizer"
CONVERSION_FILE = "<stringsource>"
CORPUS_FROM_PY = "vector.from_py.__pyx_convert_vector_from_py_int"
TEXT_FROM_PY = "string.from_py.__pyx_convert_string_from_py_6libcpp_6string_std__in_string"


# Whether brevix.tokenizer's traceback entries show their fixed lines: always
# where it is built on CPython's known frame layout; elsewhere (public API
# only) as the running interpreter derives them. Tests of exact lines skip
# where they do not.
EXACT_TRACEBACKS = _internal.exact_tracebacks()
exact_tracebacks = pytest.mark.skipif(
    not EXACT_TRACEBACKS, reason="traceback entries show derived lines on this build")


def require_exact_tracebacks():
    if not EXACT_TRACEBACKS:
        pytest.skip("traceback entries show derived lines on this build")


def entry(name, line, filename=MODULE_FILE):
    return (name, filename, line)


def module_entries(excinfo):
    """The traceback entries the module added: those below the test's own frames."""
    require_exact_tracebacks()
    frames = traceback.extract_tb(excinfo.value.__traceback__)
    return [
        (f.name, f.filename, f.lineno)
        for f in frames
        if f.filename in (MODULE_FILE, CONVERSION_FILE)
    ]


def innermost(excinfo, n):
    """The file of the frame just above the n innermost entries, and those entries."""
    require_exact_tracebacks()
    frames = traceback.extract_tb(excinfo.value.__traceback__)
    tail = [(f.name, f.filename, f.lineno) for f in frames[-n:]]
    return frames[-n - 1].filename, tail


def resident_bytes():
    """The process's resident set size, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, *, env=None, timeout=300, check=True):
    """Runs `code` in a fresh interpreter; returns the completed process, with
    stdout and stderr as bytes.

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
        capture_output=True,
        env=full_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\nstderr:\n{proc.stderr.decode(errors='replace')}"
        )
    return proc


def trained(corpus, max_vocab_size=1000, n_iter=50):
    """A tokenizer trained on `corpus` (its progress goes to the native stdout)."""
    tok = PyBytePairTokenizer()
    tok.fit(corpus, max_vocab_size, n_iter)
    return tok


def documents_of(data, per_line):
    """The documents encode-files makes of one input: the whole input, or
    each line without its newline (a final newline ends the last line)."""
    if not per_line:
        return [data]
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return lines


MEMORY_LIMITED_CHILD = """
import os as _os, resource as _resource

def _vm_bytes():
    return int(open("/proc/self/statm").read().split()[0]) * _os.sysconf("SC_PAGE_SIZE")

def check():
    pass

{setup}
for _name, _call in list(calls.items()):
    _resource.setrlimit(_resource.RLIMIT_AS, (_vm_bytes() + {headroom}, _resource.RLIM_INFINITY))
    try:
        _call()
        _outcome = "ok"
    except MemoryError:
        _outcome = "MemoryError"
    print(_name, _outcome, flush=True)
    check()
    _resource.setrlimit(_resource.RLIMIT_AS, (_resource.RLIM_INFINITY, _resource.RLIM_INFINITY))
{after}
"""


def run_under_memory_limit(setup, *, headroom_mb, after="", timeout=600):
    """Runs ``setup`` in a fresh interpreter, then each of the callables in
    the dict ``calls`` it defines under an address-space limit of the
    process's size before the call plus ``headroom_mb``: what ``setup`` built fits, a
    native allocation larger than the headroom does not. Prints
    ``name ok`` or ``name MemoryError`` per call and runs ``check()`` (if
    ``setup`` defines one) after each; any other exception or a crash
    fails the child. ``after`` runs once the limit is lifted. Returns the
    output lines."""
    code = MEMORY_LIMITED_CHILD.format(
        setup=textwrap.dedent(setup), headroom=headroom_mb << 20, after=textwrap.dedent(after)
    )
    return run_python(code, timeout=timeout).stdout.decode().splitlines()
