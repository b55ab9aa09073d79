"""fit, encode, encode_corpus and decode at the boundary: what they accept,
the order they convert in, how core failures and interruptions surface, and
where their output goes."""

import pytest

from brevix.tokenizer import PyBytePairTokenizer

from helpers import MODULE_FILE, SANITIZED, exact_tracebacks, innermost, module_entries, run_python

FIT_ENTRY = ("brevix.tokenizer.PyBytePairTokenizer.fit", MODULE_FILE, 17)


class Tracked:
    """An int-like object that records whether it was ever converted."""

    def __init__(self, value, log, name):
        self.value, self.log, self.name = value, log, name

    def __int__(self):
        self.log.append(self.name)
        return self.value


class TestFit:
    @pytest.mark.parametrize("corpus", [
        [97, 97, 98, 97, 97], (97, 97, 98, 97, 97), iter([97, 97, 98, 97, 97]), b"aabaa",
        bytearray(b"aabaa"), range(97, 99),
    ])
    def test_accepts_iterables_and_returns_none(self, corpus):
        t = PyBytePairTokenizer()
        assert t.fit(corpus, 300, 1) is None
        assert t.size == 257

    def test_accumulates_across_calls(self):
        t = PyBytePairTokenizer()
        t.fit([1, 2, 1, 2, 1, 2], 300, 1)
        t.fit([3, 4, 3, 4, 3, 4], 300, 1)
        assert t.size == 258

    @pytest.mark.parametrize("failing,expected_log", [
        (0, []),
        (1, []),
        (2, ["max_vocab_size"]),
    ])
    def test_later_arguments_not_converted_after_failure(self, failing, expected_log):
        log = []
        args = [[1, 2, 1, 2], Tracked(300, log, "max_vocab_size"), Tracked(1, log, "n_iter")]
        args[failing] = "not convertible" if failing else 5
        t = PyBytePairTokenizer()
        with pytest.raises(TypeError) as excinfo:
            t.fit(*args)
        assert log == expected_log
        assert t.size == 256  # nothing reached the core
        assert module_entries(excinfo)[0] == FIT_ENTRY

    def test_core_untouched_when_conversion_fails(self):
        t = PyBytePairTokenizer()
        t.fit([5, 6, 5, 6], 300, 1)
        with pytest.raises(OverflowError):
            t.fit([5, 6, 5, 6, 2 ** 31], 300, 5)
        assert t.size == 257


class TestCoreFailures:
    def test_self_referencing_merge_fails_decode_cleanly(self, capfd):
        t = PyBytePairTokenizer()
        # The pair (256, 256) is learned as id 256, which then expands to itself.
        t.fit([256, 256], 1000, 5)
        with pytest.raises(ValueError, match="256") as excinfo:
            t.decode([256])
        caller, tail = innermost(excinfo, 1)
        assert caller == __file__
        assert tail == [("brevix.tokenizer.PyBytePairTokenizer.decode", MODULE_FILE, 26)]
        # Still usable afterwards.
        assert t.decode([104, 105]) == b"hi"
        assert t.encode_corpus([1, 2]) == [1, 2]

    @pytest.mark.skipif(SANITIZED,
                        reason="an address-space limit cannot coexist with AddressSanitizer")
    def test_memory_exhausted_in_core_is_memory_error(self):
        # Limit the address space so the core's allocation during encode fails;
        # the process must get a MemoryError, not an abort.
        code = """
            import resource, traceback
            from brevix.tokenizer import PyBytePairTokenizer
            text = b"x" * (64 << 20)
            t = PyBytePairTokenizer()
            with open("/proc/self/status") as f:
                vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
            resource.setrlimit(resource.RLIMIT_AS, (vm + (200 << 20), resource.RLIM_INFINITY))
            try:
                t.encode(text)
            except MemoryError as e:
                tb = traceback.extract_tb(e.__traceback__)
                print("MemoryError", tb[-1].name, tb[-1].lineno, flush=True)
        """
        out = run_python(code).stdout.decode()
        assert "MemoryError brevix.tokenizer.PyBytePairTokenizer.encode" in out


@exact_tracebacks
def test_interrupted_fit_raises_with_entry_and_keeps_merges():
    code = """
        import random, signal, traceback
        from brevix.tokenizer import PyBytePairTokenizer
        random.seed(7)
        corpus = bytes(random.randrange(256) for _ in range(1 << 20))
        t = PyBytePairTokenizer()
        def stop(signum, frame):
            # Interrupt only once a merge was learned, however slow the
            # build (a sanitizer build is several times slower).
            if t.size > 256:
                raise KeyboardInterrupt
            signal.setitimer(signal.ITIMER_REAL, 0.05)
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        try:
            t.fit(corpus, 10 ** 9, 10 ** 9)
            print("RESULT finished")
        except KeyboardInterrupt as e:
            # The handler's own frame is innermost; fit's entry stands above it.
            handler, last = traceback.extract_tb(e.__traceback__)[:-3:-1]
            assert handler.name == "stop"
            print("RESULT", last.name, last.filename, last.lineno, t.size > 256,
                  t.encode_corpus([1]) == [1])
    """
    out = run_python(code).stdout
    result = [line for line in out.splitlines() if line.startswith(b"RESULT")]
    assert result == [b"RESULT brevix.tokenizer.PyBytePairTokenizer.fit "
                      b"src/brevix/bindings/tokenizer 17 True True"]


class TestUntrained:
    def test_methods_work_before_any_training(self, capfd):
        t = PyBytePairTokenizer()
        assert t.encode(b"ab") == [97, 98]
        assert t.encode_corpus([300, -5]) == [300, -5]
        assert t.decode([]) == b""


class TestStandardOutput:
    def test_core_output_bypasses_sys_stdout(self):
        code = """
            import io, sys
            from brevix.tokenizer import PyBytePairTokenizer
            captured = io.StringIO()
            sys.stdout = captured
            t = PyBytePairTokenizer()
            t.encode(b"ab")
            t.encode_corpus([1, 2])
            t.decode([104, 105])
            t.encode(b"")
            sys.stdout = sys.__stdout__
            print("python saw", repr(captured.getvalue()))
        """
        assert run_python(code).stdout == b"97 98 \n\npython saw ''\n"

    def test_fit_progress_goes_to_native_stdout(self):
        code = """
            from brevix.tokenizer import PyBytePairTokenizer
            PyBytePairTokenizer().fit([97, 97, 98, 97, 97], 300, 1)
        """
        result = run_python(code)
        assert result.stdout.startswith(b"Iteration 1\n[97 .. 97] -> 2\n257\n")
        assert result.stderr == b""
