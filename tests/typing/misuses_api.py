"""Each marked line must be an error under mypy --strict."""

from brevix import Tokenizer, model
from brevix.tokenizer import PyBytePairTokenizer, data_loader

tok = PyBytePairTokenizer()
tok.encode("text")  # E: str is not bytes
data_loader("corpus.txt")  # E: paths are bytes
tok.fit([1, 2], 300)  # E: n_iter missing
text: str = tok.decode([1])  # E: decode returns bytes
tok.size = 3  # E: read-only
model.save(tok, 3)  # E: not a path
n: str = model.merges(tok)[0][0]  # E: ids are ints
Tokenizer().train(b"abc", "300")  # E: vocab_size is an int
Tokenizer().encode("x", out="arrow")  # E: out is "list" or "numpy"
fast_bytes: str = Tokenizer().decode([1])  # E: decode returns bytes
Tokenizer().vocab_size = 3  # E: read-only
wrong_ids: list[str] = Tokenizer().encode("x")  # E: ids are ints
