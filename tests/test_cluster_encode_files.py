"""brevix encode-files on a local Dask cluster: the output equals encoding
each document alone in one process, through killed workers and reruns."""

import fcntl
import hashlib
import json
import os
import signal
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
dask_distributed = pytest.importorskip("distributed")
psutil = pytest.importorskip("psutil")

from brevix import Tokenizer, model  # noqa: E402
from brevix._shards import find_inputs  # noqa: E402
from brevix.cluster import EncodeFilesError, InputChangedError, encode_files  # noqa: E402
from brevix.tokenizer import PyBytePairTokenizer  # noqa: E402
from helpers import documents_of  # noqa: E402

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "src", "brevix", "data", "sample.txt")


def children():
    return {p.pid: p for p in psutil.Process().children(recursive=True)}


def assert_no_new_processes(before):
    """Worker processes may take a moment to exit once their cluster closed.
    multiprocessing's resource tracker stays for the life of the interpreter."""
    new = [p for pid, p in children().items()
           if pid not in before and "multiprocessing.resource_tracker" not in " ".join(p.cmdline())]
    gone, alive = psutil.wait_procs(new, timeout=15)
    assert not alive, f"processes left behind: {[p.cmdline() for p in alive]}"


@pytest.fixture(scope="module")
def client():
    """One cluster of 2 worker processes for the whole module (startup is slow)."""
    before = children()
    with dask_distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0",
        silence_logs=50,
    ) as local, dask_distributed.Client(local) as c:
        yield c
    assert_no_new_processes(before)


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    with open(SAMPLE, "rb") as f:
        text = f.read(20_000)
    tok = PyBytePairTokenizer()
    tok.fit([b - 256 if b > 127 else b for b in text], 256 + 60, 60)
    path = tmp_path_factory.mktemp("model") / "m.model"
    # The file Tokenizer.save writes: a run names its model by that file's sha256.
    Tokenizer.from_low_level(tok).save(path)
    return str(path)


@pytest.fixture
def corpus(tmp_path):
    """A mix of inputs: empty, one byte, not UTF-8, lines of every kind, a subdirectory."""
    root = tmp_path / "in"
    (root / "sub").mkdir(parents=True)
    with open(SAMPLE, "rb") as f:
        text = f.read(9_000)
    files = {
        "a-empty": b"",
        "b-one": b"x",
        "c-binary": bytes(range(256)) + b"\xff\xfe\n\x00\x80\n",
        "d-text.txt": text,
        "sub/e-lines": b"\n\nfirst\r\n\nsecond line\nno newline at the end",
        "sub/f-newline": b"\n",
    }
    for name, data in files.items():
        (root / name).write_bytes(data)
    return root


def encode_alone(model_path, inputs, per_line):
    """Each document encoded on its own in this process: the expected output."""
    tok = Tokenizer.load(model_path)
    out = []
    for path in find_inputs(inputs):
        with open(path, "rb") as f:
            out.extend(list(tok.encode(d)) for d in documents_of(f.read(), per_line))
    return out


def read_back(out_dir):
    with open(out_dir / "manifest.json") as f:
        manifest = json.load(f)
    docs = []
    for shard in manifest["shards"]:
        ids = np.load(out_dir / shard["ids"])
        ends = np.load(out_dir / shard["offsets"])
        starts = np.concatenate([[0], ends[:-1]]).astype(np.int64)
        docs.extend(ids[s:e].tolist() for s, e in zip(starts, ends))
    return docs


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.mark.parametrize(
    "per_line, shard_mb",
    [(False, 1.0), (False, 0.003), (True, 0.05), (True, 0.0007)],
    ids=["files-one-shard", "files-many-shards", "lines-one-shard", "lines-many-shards"],
)
def test_matches_encoding_each_document_alone(
    client, model_path, corpus, tmp_path, per_line, shard_mb
):
    out = tmp_path / "out"
    manifest = encode_files(
        model_path, out, [corpus], per_line=per_line, shard_mb=shard_mb, client=client
    )
    assert read_back(out) == encode_alone(model_path, [corpus], per_line)
    assert manifest == json.loads((out / "manifest.json").read_text())
    assert (len(manifest["shards"]) >= 3) == (shard_mb < 0.01)
    assert not [n for n in os.listdir(out) if n.endswith(".tmp")]


def test_manifest_field_by_field(client, model_path, corpus, tmp_path):
    out = tmp_path / "out"
    # Through the scheduler's address, as on a cluster started elsewhere.
    encode_files(model_path, out, [str(corpus / "sub"), str(corpus / "*-*")], per_line=True,
                 shard_mb=0.002, scheduler=client.scheduler.address)
    m = json.loads((out / "manifest.json").read_text())
    assert sorted(m) == ["complete", "documents", "format", "format_version", "inputs", "model",
                         "per_line", "shard_bytes", "shards", "tokens"]
    assert (m["format"], m["format_version"], m["complete"]) == ("brevix-encoded-shards", 1, True)
    with open(model_path, "rb") as f:
        assert m["model"] == {"path": model_path, "sha256": hashlib.sha256(f.read()).hexdigest()}
    assert (m["per_line"], m["shard_bytes"]) == (True, 2000)
    # Directories walked in sorted order, then the glob's matches in sorted order.
    names = ["sub/e-lines", "sub/f-newline", "a-empty", "b-one", "c-binary", "d-text.txt"]
    paths = [str(corpus / n) for n in names]
    assert m["inputs"] == [
        {"path": p, "size": os.stat(p).st_size, "mtime_ns": os.stat(p).st_mtime_ns} for p in paths
    ]
    covered = {i: 0 for i in range(len(paths))}
    for index, shard in enumerate(m["shards"]):
        name = f"shard-{index:05d}"
        assert [shard["name"], shard["ids"], shard["offsets"]] == [
            name, name + ".npy", name + ".idx.npy"
        ]
        ids, ends = np.load(out / shard["ids"]), np.load(out / shard["offsets"])
        assert (ids.dtype, ends.dtype) == (np.dtype("<i4"), np.dtype("<i8"))
        assert (shard["tokens"], shard["documents"]) == (len(ids), len(ends))
        assert list(ends) == sorted(ends) and (len(ends) == 0 or ends[-1] == len(ids))
        assert shard["ids_sha256"] == sha256(out / shard["ids"])
        assert shard["offsets_sha256"] == sha256(out / shard["offsets"])
        assert shard["bytes"] == sum(p["end"] - p["start"] for p in shard["pieces"]) <= 2000
        for piece in shard["pieces"]:
            assert piece["start"] == covered[piece["input"]]  # in order, no gap, no overlap
            covered[piece["input"]] = piece["end"]
    assert covered == {i: os.stat(p).st_size for i, p in enumerate(paths)}
    assert m["documents"] == sum(s["documents"] for s in m["shards"])
    assert m["documents"] == len(encode_alone(model_path, paths, True))
    assert m["tokens"] == sum(s["tokens"] for s in m["shards"])


class KillsItsWorkerOnce:
    """A tokenizer that kills the worker process running it the first time
    any worker encodes with it (the marker file tells)."""

    def __init__(self, model_path, marker):
        self.tok = Tokenizer.load(model_path)
        self.marker = marker

    def save(self, path):
        self.tok.save(path)

    def encode(self, text, **kwargs):
        try:
            fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return self.tok.encode(text, **kwargs)
        os.close(fd)
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_killed_worker_changes_nothing(client, model_path, corpus, tmp_path):
    marker = tmp_path / "killed"
    out = tmp_path / "out"
    manifest = encode_files(
        KillsItsWorkerOnce(model_path, str(marker)), out, [corpus], per_line=True,
        shard_mb=0.001, client=client,
    )
    assert marker.exists()
    assert read_back(out) == encode_alone(model_path, [corpus], True)
    shard_files = [s[kind] for s in manifest["shards"] for kind in ("ids", "offsets")]
    assert sorted(os.listdir(out)) == sorted(["manifest.json", *shard_files])
    client.wait_for_workers(2, timeout=60)


def test_rerun_redoes_missing_and_damaged_shards_only(client, model_path, corpus, tmp_path):
    out = tmp_path / "out"
    first = encode_files(model_path, out, [corpus], shard_mb=0.003, client=client)
    files = sorted(p.name for p in out.iterdir())
    before = {name: ((out / name).read_bytes(), os.stat(out / name).st_mtime_ns) for name in files}
    (out / "shard-00001.npy").unlink()
    damaged = out / "shard-00002.idx.npy"
    damaged.write_bytes(damaged.read_bytes()[:-1] + b"\x01")
    second = encode_files(model_path, out, [corpus], shard_mb=0.003, client=client)
    assert second == first
    assert sorted(p.name for p in out.iterdir()) == files
    for name, (data, mtime) in before.items():
        assert (out / name).read_bytes() == data
        rewritten = name.startswith(("shard-00001.", "shard-00002.", "manifest"))
        assert (os.stat(out / name).st_mtime_ns != mtime) == rewritten, name


class FailsOn:
    """A tokenizer that fails on one document."""

    def __init__(self, model_path, document):
        self.tok = Tokenizer.load(model_path)
        self.document = document

    def save(self, path):
        self.tok.save(path)

    def encode(self, text, **kwargs):
        if text == self.document:
            raise RuntimeError("cannot encode this one")
        return self.tok.encode(text, **kwargs)


def test_failed_run_is_not_complete_and_a_rerun_finishes_it(client, model_path, corpus, tmp_path):
    out = tmp_path / "out"
    encode_files(model_path, out, [corpus], shard_mb=0.003, client=client)
    (out / "shard-00000.npy").unlink()  # holds the document b"x"
    with pytest.raises(RuntimeError, match="cannot encode this one"):
        encode_files(FailsOn(model_path, b"x"), out, [corpus], shard_mb=0.003, client=client)
    manifest = json.loads((out / "manifest.json").read_text())
    assert (manifest["complete"], manifest["documents"], manifest["tokens"]) == (False, None, None)
    assert manifest["shards"][0]["ids_sha256"] is not None  # the earlier claim, checked next time
    manifest = encode_files(model_path, out, [corpus], shard_mb=0.003, client=client)
    assert manifest["complete"] and read_back(out) == encode_alone(model_path, [corpus], False)


@pytest.mark.parametrize("change", ["grown", "touched", "removed", "added"])
def test_changed_input_is_refused_by_name(client, model_path, corpus, tmp_path, change):
    out = tmp_path / "out"
    encode_files(model_path, out, [corpus], client=client)
    manifest = (out / "manifest.json").read_bytes()
    target = corpus / ("new" if change == "added" else "b-one")
    if change == "grown":
        target.write_bytes(b"xy")
    elif change == "touched":
        os.utime(target, ns=(0, 0))
    elif change == "removed":
        target.unlink()
    else:
        target.write_bytes(b"")
    with pytest.raises(InputChangedError, match="b-one" if change != "added" else "new") as e:
        encode_files(model_path, out, [corpus], client=client)
    assert e.value.path == str(target)
    assert (out / "manifest.json").read_bytes() == manifest


@pytest.mark.parametrize(
    "inputs, options, message",
    [
        (["missing-file"], {}, "no such input: 'missing-file'"),
        (["in/*.nothing"], {}, "no such input"),
        (["in", "out"], {}, "is inside the output directory"),
        (["in"], {"shard_mb": 1.5}, "used shard_bytes=64000000, not 1500000"),
        (["in"], {"per_line": True}, "used per_line=False, not True"),
        (["in"], {"manifest": b'{"format": "brevix-encoded-shards", "format_version": 1}'},
         "the manifest in '.*' is damaged"),
        (["in"], {"manifest": b"[1, 2"}, "cannot read '.*manifest.json'"),
        (["in"], {"manifest": b'{"format": "brevix-encoded-shards", "format_version": 2}'},
         "has format version 2; this brevix writes version 1"),
    ],
)
def test_refused_before_any_task(
    client, model_path, tmp_path, monkeypatch, inputs, options, message
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a").write_bytes(b"abc")
    encode_files(model_path, "out", ["in"], client=client)
    (tmp_path / "out" / "stray").write_bytes(b"")
    if "manifest" in options:
        (tmp_path / "out" / "manifest.json").write_bytes(options.pop("manifest"))
    with pytest.raises(EncodeFilesError, match=message.replace("*.", r"\*\.")):
        encode_files(model_path, "out", inputs, client=client, **options)


def test_one_run_at_a_time_per_directory(model_path, tmp_path):
    (tmp_path / "out").mkdir()
    fd = os.open(tmp_path / "out", os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # as a run in progress holds it
        with pytest.raises(EncodeFilesError, match="another encode-files run is writing to"):
            encode_files(model_path, tmp_path / "out", [model_path], workers=1)
    finally:
        os.close(fd)
    assert os.listdir(tmp_path / "out") == []


def test_other_model_or_bad_model_refused(client, model_path, tmp_path):
    (tmp_path / "a").write_bytes(b"abc")
    encode_files(model_path, tmp_path / "out", [tmp_path / "a"], client=client)
    other = tmp_path / "other.model"
    model.save(PyBytePairTokenizer(), other)
    with pytest.raises(EncodeFilesError, match="differs from the one of the run recorded"):
        encode_files(str(other), tmp_path / "out", [tmp_path / "a"], client=client)
    with pytest.raises(EncodeFilesError, match="bad model"):
        encode_files(str(tmp_path / "a"), tmp_path / "out2", [tmp_path / "a"], client=client)


def test_without_dask_one_line_and_exit_1(tmp_path):
    code = (
        "import sys; sys.modules['distributed'] = None\n"
        "from brevix.cli import main\n"
        "sys.exit(main(['encode-files', 'm', 'out', 'in']))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=tmp_path, timeout=60)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "brevix: error: encode-files needs Dask: pip install 'brevix[dask]'\n"


def test_command_line_starts_and_stops_its_own_cluster(model_path, corpus, tmp_path, capfd):
    from brevix.cli import main

    before = children()
    out = tmp_path / "out"
    args = ["encode-files", model_path, str(out), str(corpus), "--per-line", "--workers", "1",
            "--shard-mb", "0.004", "--progress"]
    assert main(args) == 0
    assert read_back(out) == encode_alone(model_path, [corpus], True)
    assert main(args) == 0
    err = capfd.readouterr().err
    assert "in 3 shards (3 kept from the earlier run)" in err and "encode-files: 100%" in err
    assert_no_new_processes(before)


def test_the_manifest_hash_is_that_of_the_model_used(tmp_path, monkeypatch):
    # The model file is replaced by another between any two reads of it:
    # the tokenizer used and the hash recorded must come from the same read.
    import builtins
    import io

    from brevix import cluster

    path = tmp_path / "m.model"
    first, second = Tokenizer(), Tokenizer()
    first.train(b"abababab cdcdcd", 258)
    second.train(b"xyxyxyxy zwzwzw", 260)
    first.save(path)
    contents = [path.read_bytes()]
    second.save(path)
    contents.append(path.read_bytes())
    real_open = builtins.open
    reads = []

    def replaced_between_reads(file, mode="r", *args, **kwargs):
        if os.fspath(file) == str(path) and mode == "rb":
            reads.append(file)
            return io.BytesIO(contents[min(len(reads), 2) - 1])
        return real_open(file, mode, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", replaced_between_reads)
    tokenizer, name, digest = cluster._load_model(str(path))
    monkeypatch.undo()
    by_merges = {len(first.merges): contents[0], len(second.merges): contents[1]}
    used = by_merges[len(tokenizer.merges)]
    assert digest == hashlib.sha256(used).hexdigest()
