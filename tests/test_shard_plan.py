"""The shard plan: every byte of every input in exactly one shard, every
line in exactly one piece wherever the cuts fall."""

import os

from hypothesis import given, settings
from hypothesis import strategies as st

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

