import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from brevix.tokenizer import PyBytePairTokenizer

MODULE_FILE = "src/brevix/bindings/tokenizer"
CONVERSION_FILE = "<stringsource>"
CORPUS_FROM_PY = "vector.from_py.__pyx_convert_vector_from_py_int"
TEXT_FROM_PY = "string.from_py.__pyx_convert_string_from_py_6libcpp_6string_std__in_string"


def entry(name, line, filename=MODULE_FILE):
    return (name, filename, line)


def module_entries(excinfo):
    """The traceback entries the module added: those below the test's own frames."""
    frames = traceback.extract_tb(excinfo.value.__traceback__)
    return [
        (f.name, f.filename, f.lineno)
        for f in frames
        if f.filename in (MODULE_FILE, CONVERSION_FILE)
    ]


def innermost(excinfo, n):
    """The file of the frame just above the n innermost entries, and those entries."""
    frames = traceback.extract_tb(excinfo.value.__traceback__)
    tail = [(f.name, f.filename, f.lineno) for f in frames[-n:]]
    return frames[-n - 1].filename, tail


def run_python(code, env=None, check=True):
    """Runs `code` in a fresh interpreter and returns the completed process (bytes output)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=full_env,
        check=check,
        timeout=120,
    )


@pytest.fixture
def tok():
    return PyBytePairTokenizer()


@pytest.fixture
def trained():
    # Training progress goes to the process's stdout, which pytest captures.
    t = PyBytePairTokenizer()
    t.fit(list(b"abababcabcabcd"), 300, 3)
    return t
