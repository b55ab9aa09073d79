"""Files written whole or not at all: models, exports and shard files appear
complete under their name or not at all, keep the permissions of a file
they replace, and give a new file what the umask allows."""

import os
import stat

import pytest

from brevix import Tokenizer, _files, _shards, model
from brevix.tokenizer import PyBytePairTokenizer


def shard_file(path):
    with _shards.atomic_file(str(path)) as f:
        f.write(b"\x93NUMPY")


WRITERS = {
    "model.save": lambda path: model.save(PyBytePairTokenizer(), path),
    "Tokenizer.save": lambda path: Tokenizer().save(path),
    "Tokenizer.save_tiktoken": lambda path: Tokenizer().save_tiktoken(path),
    "Tokenizer.save_hf": lambda path: Tokenizer().save_hf(path),
    "shard file": shard_file,
}


@pytest.fixture
def umask():
    """Sets the process's umask for one test, then puts the old one back."""
    old = os.umask(0o022)
    yield os.umask
    os.umask(old)


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o077, 0o002])
@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS.keys())
def test_a_new_file_gets_what_the_umask_allows(tmp_path, umask, writer, mask):
    umask(mask)
    writer(tmp_path / "out")
    assert mode_of(tmp_path / "out") == 0o666 & ~mask
    assert os.listdir(tmp_path) == ["out"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS.keys())
def test_a_replaced_file_keeps_its_permissions(tmp_path, umask, writer, mode):
    umask(0o077)
    path = tmp_path / "out"
    path.write_bytes(b"old contents")
    path.chmod(mode)
    writer(path)
    assert mode_of(path) == mode
    assert path.read_bytes() != b"old contents"
    assert os.listdir(tmp_path) == ["out"]


def test_the_file_appears_only_when_the_block_ends(tmp_path):
    path = tmp_path / "shard-0.ids.npy"
    with _files.atomic_file(str(path)) as f:
        f.write(b"header and data")
        f.seek(0)
        assert f.read(6) == b"header"  # open for reading too
        assert not path.exists()
        (temporary,) = os.listdir(tmp_path)
    assert path.read_bytes() == b"header and data"
    assert os.listdir(tmp_path) == [path.name]
    # Killed mid-write, the writer leaves a name the clean-up removes.
    (tmp_path / temporary).write_bytes(b"left behind")
    _shards.remove_temporary_files(str(tmp_path))
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("failing", ["inside", "fsync", "replace"])
def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, monkeypatch, failing):
    path = tmp_path / "out"
    path.write_bytes(b"old contents")

    def boom(*args, **kwargs):
        raise OSError(28, "No space left on device")

    if failing != "inside":
        monkeypatch.setattr(os, failing, boom)
    with pytest.raises(OSError, match="No space"):
        with _files.atomic_file(str(path)) as f:
            f.write(b"new contents")
            if failing == "inside":
                boom()
    monkeypatch.undo()
    assert path.read_bytes() == b"old contents"
    assert os.listdir(tmp_path) == ["out"]


def test_writing_into_a_missing_directory_creates_nothing(tmp_path):
    with pytest.raises(FileNotFoundError):
        _files.write_atomically(str(tmp_path / "no" / "out"), b"data")
    assert os.listdir(tmp_path) == []
