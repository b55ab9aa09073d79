"""Smoke test of an installed brevix wheel (run by scripts/build-wheel.sh in
a fresh virtual environment with no build tools on PATH).

Usage: python wheel-smoke.py WHEEL_FILE
"""

import pathlib
import pickle
import shutil
import subprocess
import sys
import sysconfig
import tempfile


def check(condition, message):
    if not condition:
        sys.exit(f"wheel-smoke: {message}")


def main():
    wheel = pathlib.Path(sys.argv[1]).name
    for tool in ("cc", "gcc", "g++", "c++", "clang", "cmake", "make", "ninja"):
        check(shutil.which(tool) is None, f"{tool} is on PATH: the test must run without it")

    import brevix
    import brevix._core
    import brevix._internal
    import brevix.tokenizer
    from brevix import PATTERNS, Tokenizer

    site = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    for module in (brevix, brevix._core, brevix._internal, brevix.tokenizer):
        where = pathlib.Path(module.__file__).resolve()
        check(site in where.parents, f"{module.__name__} comes from {where}, not the venv")
    check(wheel.startswith(f"brevix-{brevix.__version__}-"),
          f"version {brevix.__version__} is not the wheel's ({wheel})")
    shipped = {p.name for p in pathlib.Path(brevix.__file__).parent.iterdir()}
    for name in ("py.typed", "tokenizer.pyi", "_core.pyi", "data"):
        check(name in shipped, f"{name} is missing from the installed package")

    sample = (pathlib.Path(brevix.__file__).parent / "data" / "sample.txt").read_bytes()
    tok = Tokenizer(pattern="cl100k", special_tokens=["<|endoftext|>"])
    learned = tok.train(sample.splitlines(), 1000)
    check(learned == 1000 - 256 - 1, f"learned {learned} merges")
    text = "naïve café, the wheel works<|endoftext|>"
    ids = tok.encode(text, allowed_special="all")
    check(tok.decode(ids) == text.encode(), "decode(encode(text)) differs")
    check(ids[-1] == tok.special_tokens["<|endoftext|>"], "special token not encoded")
    check(pickle.loads(pickle.dumps(tok)).encode(text, allowed_special="all") == ids, "pickle")
    check(tok.encode_batch([text, b"\xff\x00"], allowed_special="all", threads=2)[0] == ids,
          "encode_batch")
    check(set(PATTERNS) >= {"gpt2", "cl100k", "o200k"}, "PATTERNS")

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "smoke.model"
        tok.save(path)
        check(Tokenizer.load(path).merges == tok.merges, "model file round trip")
        command = [sys.executable, "-m", "brevix", "encode", "--model", str(path), "hello world"]
        shown = subprocess.run(command, capture_output=True, text=True, check=True).stdout.split()
        check([int(i) for i in shown] == tok.encode("hello world"), "brevix encode")

    low = brevix.tokenizer.PyBytePairTokenizer()
    low.fit([1, 2, 3, 1, 2], 1000, 10)
    check(low.decode(low.encode_corpus([1, 2, 3, 1, 2])) == b"\x01\x02\x03\x01\x02", "low level")

    print(f"wheel-smoke: {wheel} works on CPython {sys.version.split()[0]} "
          f"(known layout {brevix._internal.known_layout()}, "
          f"exact traceback lines {brevix._internal.exact_tracebacks()})")


if __name__ == "__main__":
    main()
