"""Fuzzes the Python boundary of brevix.tokenizer: random objects and random
byte strings go to every function and method. A crash, a hang or an
exception outside the documented ones is a finding.

    python fuzz/fuzz_boundary.py -max_total_time=60
"""

import os
import sys
import tempfile
import warnings

import atheris

from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver

# Exceptions the boundary documents for bad input.
EXPECTED = (TypeError, ValueError, OverflowError, OSError, DeprecationWarning, ZeroDivisionError)

# Scratch directory for the files the random calls write. fuzz/run.sh passes
# one under the checkout and removes it; libFuzzer ends the process without
# running Python's exit handlers, so the harness cannot clean up itself.
WORKDIR = os.environ.get("BREVIX_FUZZ_WORKDIR") or tempfile.mkdtemp(prefix="brevix-fuzz-")


class IntHook:
    """An object whose integer conversion returns whatever it was given."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntSub(int):
    pass


class ListSub(list):
    def __iter__(self):
        # An overridden iterator must be honoured over the list's items.
        return iter(list(super().__iter__())[::-1])


def raising_generator(items, at):
    for i, item in enumerate(items):
        if i == at:
            raise ZeroDivisionError("raised midway")
        yield item


def make_int(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.ConsumeIntInRange(-130, 300)
    if kind == 1:
        return fdp.ConsumeInt(8)
    if kind == 2:
        return fdp.ConsumeIntInRange(-(2**31) - 2, -(2**31) + 2)
    if kind == 3:
        return fdp.ConsumeIntInRange(2**31 - 2, 2**31 + 2)
    if kind == 4:
        return IntSub(fdp.ConsumeIntInRange(-5, 300))
    return fdp.ConsumeBool()


def make_object(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 2:
        return make_int(fdp)
    if kind == 3:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    if kind == 4:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 16))
    if kind == 6:
        return fdp.ConsumeFloat()
    if kind == 7:
        return None
    if kind == 8:
        return IntHook(make_object(fdp, depth + 1) if depth < 2 else ValueError("hook"))
    if depth >= 2:
        return 0
    items = [make_object(fdp, depth + 1) if fdp.ConsumeIntInRange(0, 7) == 0 else make_int(fdp)
             for _ in range(fdp.ConsumeIntInRange(0, 24))]
    if kind == 9:
        return items
    if kind == 10:
        return tuple(items)
    if kind == 11:
        return iter(items)
    if kind == 12:
        return raising_generator(items, fdp.ConsumeIntInRange(0, len(items) + 1))
    if kind == 13:
        return ListSub(items)
    if kind == 14:
        return {item: 0 for item in items if isinstance(item, int)}
    return memoryview(bytes(fdp.ConsumeBytes(8)))


def make_path(fdp):
    if fdp.ConsumeIntInRange(0, 3) == 0:
        return make_object(fdp)
    name = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12)).replace(b"/", b"_")
    path = os.fsencode(WORKDIR) + b"/" + name
    return bytearray(path) if fdp.ConsumeBool() else path


tokenizer = PyBytePairTokenizer()
tokenizer.fit(list(b"the quick brown fox jumps over the lazy dog " * 4), 300, 30)


def call_one(fdp):
    global tokenizer
    op = fdp.ConsumeIntInRange(0, 8)
    if op == 0:
        args = [make_object(fdp), make_object(fdp), make_object(fdp)][: fdp.ConsumeIntInRange(0, 4)]
        return tokenizer.fit(*args)
    if op == 1:
        text = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 256))
        ids = tokenizer.encode(text)
        assert tokenizer.decode(ids) == text, (text, ids)
        return ids
    if op == 2:
        return tokenizer.encode(make_object(fdp))
    if op == 3:
        return tokenizer.encode_corpus(make_object(fdp))
    if op == 4:
        return tokenizer.decode(make_object(fdp))
    if op == 5:
        return data_saver(make_object(fdp), make_path(fdp))
    if op == 6:
        return data_loader(make_path(fdp))
    if op == 7:
        method = getattr(PyBytePairTokenizer, fdp.PickValueInList(["fit", "encode", "encode_corpus", "decode"]))
        return method(make_object(fdp), *[make_object(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))])
    tokenizer = PyBytePairTokenizer()
    return tokenizer.fit(list(fdp.ConsumeBytes(64)), fdp.ConsumeIntInRange(250, 400), fdp.ConsumeIntInRange(0, 20))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore" if fdp.ConsumeBool() else "error", DeprecationWarning)
        try:
            call_one(fdp)
        except EXPECTED:
            pass
    assert tokenizer.size >= 256


def main():
    # Relative paths among the random objects must land in the scratch
    # directory, never in the checkout.
    os.makedirs(WORKDIR, exist_ok=True)
    os.chdir(WORKDIR)
    # The core echoes encoded ids on the native standard output.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    # Coverage of the harness's own Python branches steers inputs toward new
    # argument shapes; on the clang build (fuzz/run.sh) the native edges too.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
