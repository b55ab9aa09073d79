"""brevix: a byte-level byte-pair-encoding tokenizer with a C++ core.

Start with :class:`Tokenizer`, the quiet, thread-parallel, picklable API::

    from brevix import Tokenizer

The low-level class with its exact printing contract lives in
``brevix.tokenizer``::

    from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver
"""

__version__ = "0.1.0"

from brevix._tokenizer import Tokenizer

__all__ = ["Tokenizer", "__version__"]
