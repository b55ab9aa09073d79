"""brevix: a byte-level byte-pair-encoding tokenizer with a C++ core.

Start with :class:`Tokenizer`: ids from 0, merges applied by rank, split
patterns (:data:`PATTERNS`), special tokens, GPT-style training, and the
files of tiktoken and HF tokenizers::

    from brevix import Tokenizer

The low-level class with its exact printing contract lives in
``brevix.tokenizer``::

    from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver
"""

__version__ = "0.1.0"

from brevix._tokenizer import PATTERNS, Tokenizer

__all__ = ["PATTERNS", "Tokenizer", "__version__"]
