"""One benchmark measurement (or, for throughput, one library's set of them),
run in a fresh process by bench.py.

    python worker.py TASK PARAMS_JSON RESULT_JSON_PATH

Standard output is sent to /dev/null at the descriptor level before anything
runs, because brevix prints training progress and encoded ids on the native
stdout; the result goes to RESULT_JSON_PATH. Peak memory is the process's
peak resident set size (getrusage), reported together with the resident size
just before the measured call, so the cost of the call itself is visible.
"""

from __future__ import annotations

import json
import os
import resource
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

Result = dict[str, Any]


def silence_stdout() -> None:
    sys.stdout.flush()
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def rss_now_mb() -> float:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 1e6


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3  # KiB on Linux


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def measured(fn: Callable[[], Any]) -> tuple[Result, Any]:
    before = rss_now_mb()
    seconds, value = timed(fn)
    return {"seconds": seconds, "rss_before_mb": before, "peak_rss_mb": peak_rss_mb()}, value


# ---- training --------------------------------------------------------------


def load_corpus(path: str) -> tuple[list[int], float]:
    from brevix.tokenizer import data_loader

    seconds, corpus = timed(lambda: data_loader(os.fsencode(path)))
    return corpus, seconds


def train_brevix_fast(p: Result) -> Result:
    from brevix import model
    from brevix.tokenizer import PyBytePairTokenizer

    corpus, load_s = load_corpus(p["corpus"])
    tok = PyBytePairTokenizer()
    result, _ = measured(lambda: tok.fit(corpus, 256 + p["merges"], p["merges"]))
    if p.get("model_out"):
        model.save(tok, p["model_out"])
    result.update(merges_learned=tok.size - 256, tokens=len(corpus), load_seconds=load_s)
    return result


def train_brevix_straightforward(p: Result) -> Result:
    from brevix import _internal, model

    if not hasattr(_internal, "train"):
        return {"status": "unavailable", "why": "brevix._internal.train missing in this build"}
    corpus, load_s = load_corpus(p["corpus"])
    m = p["merges"]
    result, out = measured(lambda: _internal.train(corpus, 256 + m, m, engine="straightforward"))
    result.update(merges_learned=len(out[1]), tokens=len(corpus), load_seconds=load_s)
    if p.get("reference_model"):
        fast = model.merges(model.load(p["reference_model"]))
        same = [tuple(x) for x in out[1]] == [tuple(x) for x in fast]
        result["note"] = "merges identical to the fast engine's" if same else "MERGES DIFFER from the fast engine's"
    return result


def hf_training(tok: Any, trainer: Any, path: str, mode: str) -> Callable[[], Any]:
    """The call that trains: the file read line by line, or the whole text as one sequence."""
    if mode != "whole":
        return lambda: tok.train([path], trainer)

    def whole() -> None:
        with open(path, encoding="utf-8") as f:
            tok.train_from_iterator([f.read()], trainer)

    return whole


HF_NOTES = {
    "words": "GPT-2 regex split into words, then byte-level",
    "lines": "byte-level, no regex split: each line is one sequence",
    "whole": "byte-level, no regex split, the whole text one sequence (train_from_iterator)",
}


def train_hf(p: Result) -> Result:
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    # "words": the usual GPT-2 style byte-level split into words. Without the
    # regex split the trainer still reads a file line by line, so "lines"
    # makes each line one sequence, and "whole" hands it the whole text as a
    # single sequence, as brevix sees it.
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=p["mode"] == "words")
    trainer = trainers.BpeTrainer(
        vocab_size=256 + p["merges"],
        min_frequency=0,
        show_progress=False,
        special_tokens=[],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
    )
    result, _ = measured(hf_training(tok, trainer, p["corpus"], p["mode"]))
    result.update(merges_learned=tok.get_vocab_size() - 256, note=HF_NOTES[p["mode"]])
    return result


def train_sentencepiece(p: Result) -> Result:
    import sentencepiece as spm

    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "sp")
        result, _ = measured(
            lambda: spm.SentencePieceTrainer.train(
                input=p["corpus"],
                model_prefix=prefix,
                model_type="bpe",
                vocab_size=256 + p["merges"],
                num_threads=1,
                # Its default: rare characters become <unk> rather than
                # demanding a vocabulary larger than the merge budget.
                character_coverage=0.9995,
                input_sentence_size=p.get("input_sentence_size", 0),
                shuffle_input_sentence=True,
                max_sentence_length=1 << 16,
                minloglevel=2,
            )
        )
        sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
        # Its vocabulary counts characters, merges and 3 special pieces.
        result["merges_learned"] = f"{sp.get_piece_size()} pieces"
    sample = p.get("input_sentence_size", 0)
    result["note"] = (f"{'every line' if not sample else f'{sample} sampled lines'} "
                      "(input_sentence_size), split at whitespace, character_coverage 0.9995")
    return result


# ---- throughput ------------------------------------------------------------


def best_of(repeat: int, fn: Callable[[], Any], budget_s: float = 20.0) -> tuple[float, Any]:
    """Best time of up to `repeat` calls; stops repeating once `budget_s` is spent."""
    best, spent, value = float("inf"), 0.0, None
    for _ in range(repeat):
        seconds, value = timed(fn)
        best, spent = min(best, seconds), spent + seconds
        if spent > budget_s:
            break
    return best, value


Variant = tuple[str, Callable[[], Any]]


def measure_variants(op: str, variants: list[Variant], expected: Any, text_bytes: int, repeat: int) -> list[Result]:
    """Times each variant of one operation and compares its output with `expected`."""
    rows = []
    for impl, fn in variants:
        seconds, value = best_of(repeat, fn)
        row = {"op": op, "impl": impl, "seconds": seconds, "mb_s": text_bytes / 1e6 / seconds}
        if op == "encode":
            row["tokens"] = len(value)
        if op == "encode":
            row["check"] = "same ids as brevix" if value == expected else "ids differ from brevix"
        else:
            row["check"] = "text restored" if value == expected else "TEXT NOT RESTORED"
        rows.append(row)
    return rows


def read_text(p: Result) -> bytes:
    with open(p["text"], "rb") as f:
        return f.read()


def throughput_brevix(p: Result) -> Result:
    from brevix import _internal, model

    tok = model.load(p["model"])
    merges = model.merges(tok)
    text = read_text(p)
    ids = tok.encode(text)
    corpus = [b - 256 if b > 127 else b for b in text]
    encoders: list[Variant] = [
        ("brevix encode (method; ids printed to /dev/null)", lambda: tok.encode(text)),
        ("brevix encode_corpus (method, ids in and out)", lambda: tok.encode_corpus(corpus)),
        ("brevix core hook, fast engine", lambda: _internal.encode(merges, text, engine="fast")[1]),
        ("brevix core hook, straightforward (whole passes, std::unordered_map)",
         lambda: _internal.encode(merges, text, engine="straightforward")[1]),
    ]
    decoders: list[Variant] = [
        ("brevix decode (method)", lambda: tok.decode(ids)),
        ("brevix core hook, fast engine", lambda: _internal.decode(merges, ids, engine="fast")),
        ("brevix core hook, straightforward", lambda: _internal.decode(merges, ids, engine="straightforward")),
    ]
    repeat = p.get("repeat", 3)
    rows = measure_variants("encode", encoders, ids, len(text), repeat)
    rows += measure_variants("decode", decoders, text, len(text), repeat)
    return {"rows": rows, "peak_rss_mb": peak_rss_mb()}


LINE_PIECES = r"[^\n]*\n|[^\n]+"


def tiktoken_from_brevix(tok: Any) -> Any:
    import tiktoken

    from brevix import model

    ranks: dict[bytes, int] = {bytes([b]): b for b in range(256)}
    for _, _, merged in model.merges(tok):
        # Two merges can spell the same bytes; tiktoken keeps one rank each.
        ranks.setdefault(tok.decode([merged]), merged)
    return tiktoken.Encoding(
        name="brevix-merges", pat_str=LINE_PIECES, mergeable_ranks=ranks, special_tokens={}
    )


def throughput_tiktoken(p: Result) -> Result:
    from brevix import model

    tok = model.load(p["model"])
    enc = tiktoken_from_brevix(tok)
    text_bytes = read_text(p)
    text = text_bytes.decode("utf-8")
    ids = enc.encode_ordinary(text)
    repeat = p.get("repeat", 3)
    encoders: list[Variant] = [("tiktoken (same merges), encode_ordinary", lambda: enc.encode_ordinary(text))]
    decoders: list[Variant] = [("tiktoken (same merges), decode_bytes", lambda: enc.decode_bytes(ids))]
    rows = measure_variants("encode", encoders, tok.encode(text_bytes), len(text_bytes), repeat)
    rows += measure_variants("decode", decoders, text_bytes, len(text_bytes), repeat)
    return {"rows": rows, "peak_rss_mb": peak_rss_mb()}


# ---- brevix.Tokenizer ------------------------------------------------------


def text_chunks(text: bytes, count: int) -> list[bytes]:
    """`text` cut into about `count` pieces at line ends, for the batch rows."""
    step = max(1, len(text) // count)
    pieces, start = [], 0
    while start < len(text):
        end = text.find(b"\n", start + step)
        end = len(text) if end < 0 else end + 1
        pieces.append(text[start:end])
        start = end
    return pieces


def api_throughput(p: Result) -> Result:
    """Quiet encode against tiktoken from the same merges, encode_batch on 1
    and 2 threads, decode from a NumPy array; all in this one process."""
    import numpy as np

    from brevix import Tokenizer, model

    tok = Tokenizer.load(p["model"])
    text = read_text(p)
    repeat = p.get("repeat", 3)
    ids = tok.encode(text)
    pieces = text_chunks(text, 64)
    array = np.array(ids, dtype=np.int32)
    rows: dict[str, Any] = {}

    def row(name: str, fn: Callable[[], Any], check: Callable[[Any], bool]) -> None:
        seconds, value = best_of(repeat, fn)
        rows[name] = {"seconds": seconds, "mb_s": len(text) / 1e6 / seconds, "ok": bool(check(value))}

    row("encode", lambda: tok.encode(text), lambda v: v == ids)
    row("encode numpy", lambda: tok.encode(text, out="numpy"), lambda v: v.tolist() == ids)
    batch_ids = tok.encode_batch(pieces)
    row("encode_batch 1 thread", lambda: tok.encode_batch(pieces, threads=1), lambda v: v == batch_ids)
    row("encode_batch 2 threads", lambda: tok.encode_batch(pieces, threads=2), lambda v: v == batch_ids)
    row("decode numpy int32", lambda: tok.decode(array), lambda v: v == text)
    row("decode list", lambda: tok.decode(ids), lambda v: v == text)
    try:
        enc = tiktoken_from_brevix(model.load(p["model"]))
    except ImportError:
        pass
    else:
        unicode_text = text.decode("utf-8")
        row("tiktoken encode_ordinary", lambda: enc.encode_ordinary(unicode_text), lambda v: True)
    return {"rows": rows, "tokens": len(ids), "batch_pieces": len(pieces),
            "batch_tokens": sum(map(len, batch_ids)), "peak_rss_mb": peak_rss_mb()}


def api_train(p: Result) -> Result:
    """Tokenizer.train on the file, or fit on the same bytes as signed ids."""
    from pathlib import Path

    from brevix import Tokenizer

    vocab_size = 256 + p["merges"]
    if p["how"] == "train":
        tok = Tokenizer()
        result, _ = measured(lambda: tok.train(Path(p["corpus"]), vocab_size))
        merges = tok.merges
    else:
        import numpy as np

        from brevix.tokenizer import PyBytePairTokenizer

        corpus = np.frombuffer(Path(p["corpus"]).read_bytes(), dtype=np.int8).tolist()
        low = PyBytePairTokenizer()
        result, _ = measured(lambda: low.fit(corpus, vocab_size, 2**31 - 1))
        # Compared in Tokenizer's ids: the low-level class numbers bytes signed.
        merges = Tokenizer.from_low_level(low).merges
    with open(p["merges_out"], "w") as f:
        json.dump(merges, f)
    result["merges_learned"] = len(merges)
    return result


TASKS: dict[str, Callable[[Result], Result]] = {
    "api-throughput": api_throughput,
    "api-train": api_train,
    "train-brevix-fast": train_brevix_fast,
    "train-brevix-straightforward": train_brevix_straightforward,
    "train-hf": train_hf,
    "train-sentencepiece": train_sentencepiece,
    "throughput-brevix": throughput_brevix,
    "throughput-tiktoken": throughput_tiktoken,
}


def main() -> None:
    task, params, out = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    silence_stdout()
    try:
        result = TASKS[task](params)
        result.setdefault("status", "ok")
    except ImportError as e:
        result = {"status": "not installed", "why": str(e)}
    except Exception as e:  # reported in the table, never hidden
        result = {"status": "failed", "why": f"{type(e).__name__}: {e}"}
    with open(out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
