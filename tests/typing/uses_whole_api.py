"""Uses every public function and method; must pass mypy --strict."""

import os
import pathlib
import tempfile

from brevix import Tokenizer, cli, model
from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver


def train_and_round_trip(directory: str) -> bytes:
    corpus_path = os.path.join(directory, "corpus.txt").encode()
    data_saver(list(b"low lower lowest"), corpus_path)
    data_saver(b"low lower lowest", bytearray(corpus_path))
    corpus: list[int] = data_loader(corpus_path)

    tok = PyBytePairTokenizer()
    tok.fit(corpus, 300, 10)
    tok.fit(range(10), max_vocab_size=300, n_iter=1)
    size: int = tok.size
    ids: list[int] = tok.encode(b"lower")
    ids = tok.encode(bytearray(b"lower"))
    again: list[int] = tok.encode_corpus(ids)
    again = tok.encode_corpus((1, 2, 3))
    text: bytes = tok.decode(ids)

    merges: list[tuple[int, int, int]] = model.merges(tok)
    for path in (os.path.join(directory, "m"), pathlib.Path(directory) / "m", os.fsencode(directory) + b"/m"):
        model.save(tok, path)
    loaded: PyBytePairTokenizer = model.load(pathlib.Path(directory) / "m")
    try:
        model.load(os.path.join(directory, "corpus.txt"))
    except model.ModelFormatError as e:
        line: int = e.lineno
    parsed: list[tuple[int, int, int]] = model.parse(b"brevix-merges 1\nmerges 0\n")
    status: int = cli.main(["encode", "--model", os.path.join(directory, "m"), "low"])
    del size, again, merges, loaded, line, parsed, status

    fast = Tokenizer()
    fast.train([b"low lower", "lowest", pathlib.Path(directory) / "corpus.txt"], 300, progress=True)
    fast.train(b"low lower lowest", 310, progress=lambda done, total: None)
    fast_ids: list[int] = fast.encode("lower")
    batch: list[list[int]] = fast.encode_batch(["low", b"lower"], threads=2)
    decoded: bytes = fast.decode(fast_ids)
    decoded_all: list[bytes] = fast.decode_batch(batch)
    vocab: int = fast.vocab_size
    table: list[tuple[int, int, int]] = fast.merges
    piece: bytes = fast.token_bytes(256)
    fast.save(pathlib.Path(directory) / "fast.model")
    again_fast: Tokenizer = Tokenizer.load(os.path.join(directory, "fast.model"))
    low: PyBytePairTokenizer = again_fast.to_low_level()
    back: Tokenizer = Tokenizer.from_low_level(low)
    assert decoded == b"lower" and back.merges == table
    del decoded_all, vocab, piece
    return text


with tempfile.TemporaryDirectory() as d:
    assert train_and_round_trip(d) == b"lower"
