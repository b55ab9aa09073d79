"""GPT-style training with piece counting on a Dask cluster: the model
equals training in one process whatever the workers and shard sizes,
pruning keeps the most frequent pieces, a changed input is refused by
name, and an interrupted run leaves no task behind."""

import contextlib
import os
import warnings

import pytest

dask_distributed = pytest.importorskip("distributed")

from brevix import Tokenizer, _core, _internal, cli, cluster  # noqa: E402
from brevix.cluster import InputChangedError, train_files  # noqa: E402
from test_piece_count_merging import decode  # noqa: E402

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "src", "brevix", "data", "sample.txt")
SPECIALS = ["<|endoftext|>", "<s>"]
PATTERNS = ["gpt2", "cl100k", r"\s+|[a-z]+|[^a-z\s]"]


@contextlib.contextmanager
def local_client(workers):
    """Workers as threads of this process: enough for what is shared between tasks."""
    with dask_distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=False,
        dashboard_address="127.0.0.1:0", silence_logs=50,
    ) as local, dask_distributed.Client(local) as client:
        yield client


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Files of odd sizes: specials inside, no final newline, CRLF, a long
    line, blank lines, an empty file, a file in a subdirectory."""
    with open(SAMPLE, "rb") as f:
        text = f.read(24_000)
    root = tmp_path_factory.mktemp("corpus")
    (root / "sub").mkdir()
    contents = {
        "a.txt": text[:9_000],
        "b.txt": text[9_000:9_500].replace(b". ", b".<|endoftext|> ") + b"no newline at the end",
        "c.txt": b"",
        "d.txt": text[9_500:15_000].replace(b"\n", b"\r\n") + b"\n\n\n<s>\n",
        "e.txt": b"x" * 5_000 + b"\n" + text[15_000:16_000],
        "sub/f.txt": text[16_000:],
    }
    paths = []
    for name, data in contents.items():
        (root / name).write_bytes(data)
        paths.append(str(root / name))
    return paths


def model_bytes(tokenizer, tmp_path, name):
    path = tmp_path / name
    tokenizer.save(path)
    return path.read_bytes()


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("lines", [False, True])
@pytest.mark.parametrize("workers, shard_bytes", [(1, 997), (2, 2_003), (3, 4_099), (2, 10**9)])
def test_model_equals_training_in_one_process(corpus, tmp_path, pattern, lines, workers, shard_bytes):
    local = Tokenizer(pattern=pattern, special_tokens=SPECIALS)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        local.train(files=corpus, vocab_size=700, lines=lines)
        with local_client(workers) as client:
            clustered = train_files(
                corpus, pattern=pattern, special_tokens=SPECIALS, vocab_size=700, lines=lines,
                client=client, shard_bytes=shard_bytes, progress=False,
            )
    assert model_bytes(clustered, tmp_path, "c") == model_bytes(local, tmp_path, "l")


def test_directories_and_globs_name_each_file_once(corpus, tmp_path):
    root = os.path.dirname(corpus[0])
    local = Tokenizer(pattern="gpt2")
    local.train(files=sorted(corpus), vocab_size=400, lines=True)
    with local_client(2) as client:
        clustered = train_files(
            [root, os.path.join(root, "*.txt")], pattern="gpt2", vocab_size=400, lines=True,
            client=client, shard_bytes=3_000, progress=False,
        )
    assert clustered.merges == local.merges


def test_too_small_data_warns_like_local_training(tmp_path):
    path = tmp_path / "tiny.txt"
    path.write_bytes(b"ab ab ab")
    with local_client(1) as client, pytest.warns(UserWarning, match="ran out of pairs"):
        clustered = train_files(
            [path], pattern="gpt2", vocab_size=1000, client=client, progress=False
        )
    local = Tokenizer(pattern="gpt2")
    with pytest.warns(UserWarning, match="ran out of pairs"):
        local.train(files=[path], vocab_size=1000)
    assert clustered.merges == local.merges


@pytest.mark.parametrize("max_pieces", [0, 1, 40, 10**6])
def test_max_pieces_trains_on_the_most_frequent_pieces(corpus, max_pieces):
    pattern = _internal.well_known_patterns()["gpt2"]
    counts = _internal.count_file_pieces(pattern, corpus, True)
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    kept = dict(ranked[:max_pieces])
    expected = _internal.train_pieces(kept, 120)
    with local_client(2) as client, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tokenizer = train_files(
            corpus, pattern="gpt2", vocab_size=256 + 120, lines=True, client=client,
            shard_bytes=5_000, max_pieces=max_pieces, progress=False,
        )
    assert [tuple(m) for m in tokenizer.merges] == [tuple(m) for m in expected]
    pruned = [str(w.message) for w in caught if "rarest" in str(w.message)]
    if len(counts) > max_pieces:
        least = min(kept.values(), default=0)
        assert pruned == [
            f"dropped the {len(counts) - len(kept)} rarest distinct pieces to keep "
            f"{max_pieces}: the least frequent piece kept occurs {least} times"
        ]
        record = {"dropped": len(counts) - len(kept), "max_pieces": max_pieces, "least_kept_count": least}
        # Recorded only when merges were learned from the pruned counts.
        assert tokenizer.metadata == ({"pruned_pieces": [record]} if expected else {})
    else:
        assert pruned == []
        assert tokenizer.metadata == {}


@pytest.mark.parametrize("available, bound", [(None, 10**6), (10**8, 10**6), (64 * 2**30, 64 * 2**30 // 2 // 320)])
def test_the_default_bound_is_sized_from_available_memory(monkeypatch, available, bound):
    monkeypatch.setattr(cluster, "_available_memory", lambda: available)
    assert cluster.default_max_pieces() == bound


def test_without_max_pieces_the_memory_bound_prunes_and_says_so(corpus, monkeypatch):
    # A machine whose memory holds 30 distinct pieces: the default bound
    # prunes, as max_pieces=30 does, and the warning names the default.
    monkeypatch.setattr(cluster, "default_max_pieces", lambda: 30)
    with local_client(1) as client, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        by_default = train_files(corpus, pattern="gpt2", vocab_size=256 + 40, lines=True,
                                 client=client, progress=False)
        chosen = train_files(corpus, pattern="gpt2", vocab_size=256 + 40, lines=True,
                             client=client, progress=False, max_pieces=30)
    assert by_default.merges == chosen.merges
    messages = [str(w.message) for w in caught if "rarest" in str(w.message)]
    assert len(messages) == 2 and "the default bound, sized from the memory available" in messages[0]
    assert "default" not in messages[1]


def test_an_input_changed_after_planning_is_refused_by_name(corpus, tmp_path, monkeypatch):
    path = tmp_path / "changing.txt"
    path.write_bytes(b"some text\n" * 50)
    real_plan = cluster.plan_shards

    def plan_then_change(*args):
        with open(path, "ab") as f:
            f.write(b"more\n")
        return real_plan(*args)

    monkeypatch.setattr(cluster, "plan_shards", plan_then_change)
    with local_client(2) as client:
        with pytest.raises(InputChangedError, match="changing.txt"):
            train_files(
                [corpus[0], path], pattern="gpt2", vocab_size=300, lines=True, client=client,
                shard_bytes=500, progress=False,
            )
        assert not client.futures


def test_interrupt_cancels_every_task(corpus, monkeypatch):
    real_result = cluster._count_result

    def interrupted(dask, future, plan):
        real_result(dask, future, plan)
        raise KeyboardInterrupt

    monkeypatch.setattr(cluster, "_count_result", interrupted)
    with local_client(2) as client:
        with pytest.raises(KeyboardInterrupt):
            train_files(
                corpus, pattern="gpt2", vocab_size=300, lines=True, client=client,
                shard_bytes=700, progress=False,
            )
        assert not client.futures


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"pattern": None}, ValueError, "needs a pattern"),
        ({"vocab_size": 10}, ValueError, "vocab_size"),
        ({"shard_bytes": 0}, ValueError, "shard_bytes"),
        ({"max_pieces": -1}, ValueError, "max_pieces"),
        ({"special_tokens": [""]}, TypeError, "special tokens"),
    ],
)
def test_bad_arguments_are_refused_before_any_cluster(corpus, kwargs, error, match, monkeypatch):
    monkeypatch.setattr(cluster, "_import_distributed", lambda: pytest.fail("cluster used"))
    arguments = {"pattern": "gpt2", "vocab_size": 300, **kwargs}
    with pytest.raises(error, match=match):
        train_files(corpus, progress=False, **arguments)


def test_missing_and_empty_inputs(tmp_path):
    with pytest.raises(cluster.EncodeFilesError, match="no such input"):
        train_files([tmp_path / "missing"], pattern="gpt2", vocab_size=300, progress=False)
    with pytest.raises(ValueError, match="nothing to train on"):
        train_files([tmp_path], pattern="gpt2", vocab_size=300, progress=False)


def test_cli_with_worker_processes_writes_the_local_model(corpus, tmp_path, capsys):
    """Real worker processes (the command's own local cluster), gone after it."""
    psutil = pytest.importorskip("psutil")
    before = {p.pid for p in psutil.Process().children(recursive=True)}
    common = ["train", *corpus, "--pattern", "cl100k", "--vocab-size", "600", "--lines",
              "--special", "<|endoftext|>", "--quiet"]
    assert cli.main([*common, "--out", str(tmp_path / "local.model")]) == 0
    assert cli.main([*common, "--out", str(tmp_path / "cluster.model"),
                     "--workers", "2", "--shard-mb", "0.003"]) == 0
    assert (tmp_path / "cluster.model").read_bytes() == (tmp_path / "local.model").read_bytes()
    new = [p for p in psutil.Process().children(recursive=True) if p.pid not in before
           and "multiprocessing.resource_tracker" not in " ".join(p.cmdline())]
    _, alive = psutil.wait_procs(new, timeout=15)
    assert not alive


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--workers", "2"], "need --pattern"),
        (["--pattern", "gpt2", "--max-pieces", "5"], "--max-pieces goes with"),
    ],
)
def test_cli_refuses_cluster_options_that_do_not_apply(corpus, tmp_path, capsys, extra, message):
    status = cli.main(["train", corpus[0], "--vocab-size", "300",
                       "--out", str(tmp_path / "m.model"), *extra])
    assert status != 0
    assert message in capsys.readouterr().err


def test_counter_of_a_cluster_run_is_the_sum_of_its_shards(corpus):
    """What the workers send back is the count of every document exactly once."""
    pattern = _internal.well_known_patterns()["o200k"]
    with local_client(3) as client:
        jobs = []
        inputs = [cluster.InputFile.stat(p) for p in corpus]
        for plan in cluster.plan_shards([f.size for f in inputs], 1_234, True):
            files = {p.input: inputs[p.input] for p in plan.pieces}
            jobs.append(cluster.CountJob(pattern, (b"<s>",), plan, files, True))
        encoded = cluster._count_on(dask_distributed, client, jobs, False)
    whole = _core.PieceCounter(pattern, [b"<s>"], 1)
    for path in corpus:
        whole.add_file(os.fsencode(path), True, None)
    assert decode(encoded) == decode(whole.to_bytes())


def test_the_earlier_module_name_is_the_same_module():
    from brevix import distributed

    assert distributed is cluster
    import brevix.distributed

    assert brevix.distributed is cluster and cluster.train_files is train_files
