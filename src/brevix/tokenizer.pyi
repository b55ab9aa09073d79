# Type information for the extension module brevix.tokenizer.
#
# Text and paths are bytes (or bytearray); str is refused at run time.
# Integers are signed 32-bit; anything with __int__ is accepted where an int
# is expected, hence SupportsInt.
from collections.abc import Iterable
from typing import NoReturn, SupportsInt

_Ids = Iterable[SupportsInt]
_Bytes = bytes | bytearray

class PyBytePairTokenizer:
    """PyBytePairTokenizer()"""

    def __init__(self) -> None: ...
    @property
    def size(self) -> int:
        """Vocabulary size: 256 base tokens plus one per learned merge."""
    def fit(self, corpus: _Ids, max_vocab_size: SupportsInt, n_iter: SupportsInt) -> None:
        """PyBytePairTokenizer.fit(self, vector[int] corpus, int max_vocab_size, int n_iter)"""
    def encode(self, input_string: _Bytes) -> list[int]:
        """PyBytePairTokenizer.encode(self, string input_string)"""
    def encode_corpus(self, input_corpus: _Ids) -> list[int]:
        """PyBytePairTokenizer.encode_corpus(self, vector[int] input_corpus)"""
    def decode(self, encoded: _Ids) -> bytes:
        """PyBytePairTokenizer.decode(self, vector[int] encoded)"""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

def data_loader(filepath: _Bytes) -> list[int]:
    """data_loader(string filepath)"""

def data_saver(corpus: _Ids, filepath: _Bytes) -> None:
    """data_saver(vector[int] corpus, string filepath)"""
