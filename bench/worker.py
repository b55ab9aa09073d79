"""One benchmark measurement, run in a fresh process by bench.py.

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


def train_brevix_fast(p: Result) -> Result:
    from brevix import model
    from brevix.tokenizer import PyBytePairTokenizer, data_loader

    corpus = data_loader(os.fsencode(p["corpus"]))
    tok = PyBytePairTokenizer()
    result, _ = measured(lambda: tok.fit(corpus, 256 + p["merges"], p["merges"]))
    if p.get("model_out"):
        model.save(tok, p["model_out"])
    result["merges_learned"] = tok.size - 256
    return result


def train_brevix_straightforward(p: Result) -> Result:
    from brevix import _internal
    from brevix.tokenizer import data_loader

    if not hasattr(_internal, "train"):
        return {"status": "unavailable", "why": "brevix._internal.train missing in this build"}
    corpus = data_loader(os.fsencode(p["corpus"]))
    m = p["merges"]
    result, out = measured(
        lambda: _internal.train(corpus, 256 + m, m, engine="straightforward")
    )
    result["merges_learned"] = len(out[1])
    return result


def train_hf(p: Result) -> Result:
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    # With use_regex the usual GPT-2 style split into words; without it each
    # line is one "word" (the closest the trainer gets to unsplit text).
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(
        add_prefix_space=False, use_regex=p["split"]
    )
    trainer = trainers.BpeTrainer(
        vocab_size=256 + p["merges"],
        min_frequency=0,
        show_progress=False,
        special_tokens=[],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
    )
    result, _ = measured(lambda: tok.train([p["corpus"]], trainer))
    result["merges_learned"] = tok.get_vocab_size() - 256
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
                input_sentence_size=0,
                max_sentence_length=1 << 16,
                minloglevel=2,
            )
        )
        sp = spm.SentencePieceProcessor(model_file=prefix + ".model")
        # Its vocabulary counts characters, merges and 3 special pieces.
        result["merges_learned"] = f"{sp.get_piece_size()} pieces"
    return result


# ---- throughput ------------------------------------------------------------


def best_of(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    best, value = float("inf"), None
    for _ in range(repeat):
        seconds, value = timed(fn)
        best = min(best, seconds)
    return best, value


def throughput_brevix(p: Result) -> Result:
    from brevix import model

    tok = model.load(p["model"])
    text = open(p["text"], "rb").read()
    mb = len(text) / 1e6
    repeat = p.get("repeat", 3)
    enc_s, ids = best_of(repeat, lambda: tok.encode(text))
    corpus = [b - 256 if b > 127 else b for b in text]
    encc_s, _ = best_of(repeat, lambda: tok.encode_corpus(corpus))
    dec_s, back = best_of(repeat, lambda: tok.decode(ids))
    if back != text:
        return {"status": "failed", "why": "decode(encode(text)) != text"}
    return {
        "encode_mb_s": mb / enc_s,
        "encode_corpus_mb_s": mb / encc_s,
        "decode_mb_s": mb / dec_s,
        "tokens": len(ids),
        "peak_rss_mb": peak_rss_mb(),
    }


LINE_PIECES = r"[^\n]*\n|[^\n]+"


def tiktoken_from_brevix(path: str) -> Any:
    import tiktoken

    from brevix import model

    tok = model.load(path)
    ranks: dict[bytes, int] = {bytes([b]): b for b in range(256)}
    for _, _, merged in model.merges(tok):
        # Two merges can spell the same bytes; tiktoken keeps one rank each.
        ranks.setdefault(tok.decode([merged]), merged)
    return tiktoken.Encoding(
        name="brevix-merges", pat_str=LINE_PIECES, mergeable_ranks=ranks, special_tokens={}
    )


def throughput_tiktoken(p: Result) -> Result:
    enc = tiktoken_from_brevix(p["model"])
    text_bytes = open(p["text"], "rb").read()
    text = text_bytes.decode("utf-8")
    mb = len(text_bytes) / 1e6
    repeat = p.get("repeat", 3)
    enc_s, ids = best_of(repeat, lambda: enc.encode_ordinary(text))
    dec_s, back = best_of(repeat, lambda: enc.decode_bytes(ids))
    if back != text_bytes:
        return {"status": "failed", "why": "decode_bytes(encode) != text"}
    return {
        "encode_mb_s": mb / enc_s,
        "decode_mb_s": mb / dec_s,
        "tokens": len(ids),
        "peak_rss_mb": peak_rss_mb(),
    }


TASKS: dict[str, Callable[[Result], Result]] = {
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
