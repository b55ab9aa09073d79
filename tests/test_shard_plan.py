"""The shard plan: every byte of every input in exactly one shard, every
line in exactly one piece wherever the cuts fall."""

import os

from hypothesis import given, settings
from hypothesis import strategies as st

from brevix import _shards
from brevix._shards import InputFile, iter_documents, plan_shards
from helpers import documents_of

contents = st.lists(
    st.lists(st.sampled_from([b"a", b"bc", b"\n", b"\r\n", b"\xff"]), max_size=30).map(b"".join),
    max_size=5,
)


@settings(max_examples=150, deadline=None)
@given(contents=contents, shard_bytes=st.integers(1, 40), per_line=st.booleans(),
       block_bytes=st.integers(1, 12))
def test_every_document_once_in_order(
    tmp_path_factory, contents, shard_bytes, per_line, block_bytes
):
    root = tmp_path_factory.mktemp("plan")
    files = {}
    for i, data in enumerate(contents):
        path = os.path.join(root, str(i))
        with open(path, "wb") as f:
            f.write(data)
        files[i] = InputFile.stat(path)
    plans = plan_shards([len(d) for d in contents], shard_bytes, per_line)
    assert [p.index for p in plans] == list(range(len(plans)))
    pieces = [piece for plan in plans for piece in plan.pieces]
    # Pieces tile each input in order.
    ends = {}
    for piece in pieces:
        assert piece.start == ends.get(piece.input, 0)
        ends[piece.input] = piece.end
    assert all(ends.get(i, 0) == len(d) for i, d in enumerate(contents))
    for plan in plans:
        # Only a whole file larger than a shard (after empty ones) makes it larger.
        sizes = [p.end - p.start for p in plan.pieces]
        assert plan.nbytes <= shard_bytes or (not per_line and sum(sizes[:-1]) == 0)
    got = [
        doc for plan in plans for doc in iter_documents(files, plan.pieces, per_line, block_bytes)
    ]
    assert got == [doc for d in contents for doc in documents_of(d, per_line)]



class CountingBytes(bytes):
    """Bytes that count what concatenating them copies."""

    copied = 0

    def __add__(self, other):
        CountingBytes.copied += len(self) + len(other)
        return CountingBytes(bytes(self) + bytes(other))

    def __radd__(self, other):
        CountingBytes.copied += len(self) + len(other)
        return CountingBytes(bytes(other) + bytes(self))


class ChunkedFile:
    """A file whose reads give CountingBytes."""

    def __init__(self, data):
        self._data = data
        self._at = 0

    def read(self, n):
        chunk = self._data[self._at : self._at + n]
        self._at += len(chunk)
        return CountingBytes(chunk)

    def seek(self, offset, whence=0):
        self._at = offset if whence == 0 else self._at + offset
        return self._at


def test_a_line_longer_than_many_blocks_is_read_in_linear_work():
    # A 64 KB line read 64 bytes at a time: joining it at every read copies
    # it about a thousand times over.
    line = b"x" * 65536
    data = b"a\n" + line + b"\nb"
    CountingBytes.copied = 0
    blocks = list(_shards._lines_starting_in(ChunkedFile(data), 0, len(data), 64))
    assert [doc for block in blocks for doc in block] == [b"a", line, b"b"]
    assert CountingBytes.copied <= 4 * len(data)
