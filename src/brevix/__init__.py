"""brevix: a byte-level byte-pair-encoding tokenizer with a C++ core.

The tokenizer lives in ``brevix.tokenizer``::

    from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver
"""

__version__ = "0.1.0"
