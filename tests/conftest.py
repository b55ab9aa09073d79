import pytest

from brevix.tokenizer import PyBytePairTokenizer

from helpers import trained


@pytest.fixture
def tok():
    return PyBytePairTokenizer()


@pytest.fixture
def trained_tok():
    # Training progress goes to the process's stdout, which pytest captures.
    return trained(list(b"abababcabcabcd"), 300, 3)
