"""Argument binding, translation of core failures and traceback entries."""
import errno
import traceback

import pytest

import brevix._internal as internal
import brevix.tokenizer as tokmod
from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver

from helpers import MODULE_FILE, exact_tracebacks, innermost

T = PyBytePairTokenizer

# (callable, args, kwargs, message, entry name, line)
BINDING_FAILURES = [
    (data_loader, (), {}, "data_loader() takes exactly 1 positional argument (0 given)",
     "data_loader", 30),
    (data_loader, (b"p", b"q"), {}, "data_loader() takes exactly 1 positional argument (2 given)",
     "data_loader", 30),
    (data_loader, (b"p",), {"filepath": b"p"},
     "data_loader() got multiple values for keyword argument 'filepath'", "data_loader", 30),
    (data_loader, (b"p",), {"x": 1}, "data_loader() got an unexpected keyword argument 'x'",
     "data_loader", 30),
    # A missing parameter is reported before a stray keyword.
    (data_loader, (), {"path": b"x"}, "data_loader() takes exactly 1 positional argument (0 given)",
     "data_loader", 30),
    (data_saver, ([1],), {}, "data_saver() takes exactly 2 positional arguments (1 given)",
     "data_saver", 34),
    (data_saver, (), {"corpus": [1]}, "data_saver() takes exactly 2 positional arguments (1 given)",
     "data_saver", 34),
    (data_saver, ([1], b"x"), {"filepath": b"y"},
     "data_saver() got multiple values for keyword argument 'filepath'", "data_saver", 34),
    (data_saver, ([1], b"x"), {"corpus": [2]},
     "data_saver() got multiple values for keyword argument 'corpus'", "data_saver", 34),
    (data_saver, ([1], b"x", b"y"), {}, "data_saver() takes exactly 2 positional arguments (3 given)",
     "data_saver", 34),
    (data_saver, (), {"filepath": b"x", "corpus": [1], "extra": 0},
     "data_saver() got an unexpected keyword argument 'extra'", "data_saver", 34),
    (T().fit, ([1], 2), {}, "fit() takes exactly 3 positional arguments (2 given)",
     "PyBytePairTokenizer.fit", 17),
    (T().fit, (), {"corpus": [1], "n_iter": 2},
     "fit() takes exactly 3 positional arguments (1 given)", "PyBytePairTokenizer.fit", 17),
    (T().fit, ([1], 2, 3, 4), {}, "fit() takes exactly 3 positional arguments (4 given)",
     "PyBytePairTokenizer.fit", 17),
    (T().encode, (), {}, "encode() takes exactly 1 positional argument (0 given)",
     "PyBytePairTokenizer.encode", 20),
    (T().encode, (b"a",), {"input_string": b"b"},
     "encode() got multiple values for keyword argument 'input_string'",
     "PyBytePairTokenizer.encode", 20),
    (T().encode_corpus, ([1],), {"corpus": [1]},
     "encode_corpus() got an unexpected keyword argument 'corpus'",
     "PyBytePairTokenizer.encode_corpus", 23),
    (T().decode, ([1], [2]), {}, "decode() takes exactly 1 positional argument (2 given)",
     "PyBytePairTokenizer.decode", 26),
    (T.decode, (T(),), {"ids": [1]}, "decode() takes exactly 1 positional argument (0 given)",
     "PyBytePairTokenizer.decode", 26),
]


@pytest.mark.parametrize("fn,args,kwargs,message,name,line", BINDING_FAILURES)
def test_binding_failure_message_and_entry(fn, args, kwargs, message, name, line):
    with pytest.raises(TypeError) as excinfo:
        fn(*args, **kwargs)
    assert str(excinfo.value) == message
    caller, tail = innermost(excinfo, 1)
    assert caller == __file__
    assert tail == [("brevix.tokenizer." + name, MODULE_FILE, line)]


@pytest.mark.parametrize("call,expected", [
    (lambda: data_saver(filepath=b"/nonexistent-dir/x", corpus=[1]), None),
    (lambda: T().fit(n_iter=0, corpus=[1], max_vocab_size=300), None),
    (lambda: T.encode_corpus(T(), input_corpus=[3]), [3]),
    (lambda: T().decode(encoded=[104]), b"h"),
])
def test_keywords_bind_in_any_order(call, expected, capfd):
    assert call() == expected


def test_non_string_keyword_refused():
    # The interpreter refuses non-str keys before the call; a str subclass
    # still binds by its text.
    class Key(str):
        pass

    assert T().encode_corpus(**{Key("input_corpus"): [7]}) == [7]
    with pytest.raises(TypeError, match="keywords must be strings"):
        data_loader(**{1: b"x"})


@pytest.mark.parametrize("name,line", [("fit", 17), ("encode", 20), ("encode_corpus", 23),
                                       ("decode", 26)])
def test_method_through_class_needs_an_argument(name, line):
    with pytest.raises(TypeError) as excinfo:
        getattr(T, name)()
    assert str(excinfo.value) == f"{name}() needs an argument"
    assert innermost(excinfo, 1)[1] == [("brevix.tokenizer.PyBytePairTokenizer." + name,
                                         MODULE_FILE, line)]


@pytest.mark.parametrize("name,args", [("fit", ([1], 300, 1)), ("encode", (b"a",)),
                                       ("encode_corpus", ([1],)), ("decode", ([1],))])
@pytest.mark.parametrize("bad_self", [1, None, "tokenizer", object()])
def test_method_refuses_foreign_self(name, args, bad_self):
    with pytest.raises(TypeError) as excinfo:
        getattr(T, name)(bad_self, *args)
    assert str(excinfo.value) == (
        f"descriptor '{name}' requires a 'brevix.tokenizer.PyBytePairTokenizer' object "
        f"but received a '{type(bad_self).__name__}'")


# The translation table, as a C++ exception thrown by the core reaches Python.
TRANSLATIONS = [
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("bad_cast", TypeError, "std::bad_cast"),
    ("bad_typeid", TypeError, "std::bad_typeid"),
    ("domain_error", ValueError, "boom"),
    ("invalid_argument", ValueError, "boom"),
    ("ios_base_failure", OSError, "boom: iostream error"),
    ("out_of_range", IndexError, "boom"),
    ("overflow_error", OverflowError, "boom"),
    ("range_error", ArithmeticError, "boom"),
    ("underflow_error", ArithmeticError, "boom"),
    ("length_error", RuntimeError, "boom"),
    ("logic_error", RuntimeError, "boom"),
    ("runtime_error", RuntimeError, "boom"),
    ("int", RuntimeError, "Unknown exception"),
    ("struct", RuntimeError, "Unknown exception"),
]


@pytest.mark.parametrize("kind,exc_type,message", TRANSLATIONS)
def test_core_exception_translation(kind, exc_type, message):
    with pytest.raises(Exception) as excinfo:
        internal._translate_core_exception(kind, b"boom", False)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message


def test_translation_keeps_pending_exception():
    with pytest.raises(ZeroDivisionError, match="already pending"):
        internal._translate_core_exception("bad_alloc", b"x", True)


def test_translation_reads_message_as_utf8():
    with pytest.raises(ValueError) as excinfo:
        internal._translate_core_exception("invalid_argument", "é\xff".encode("utf-8") + b"\xff",
                                           False)
    assert str(excinfo.value) == "é\xff\ufffd"


def test_file_error_becomes_oserror_with_errno_and_path():
    with pytest.raises(OSError) as excinfo:
        internal._translate_core_exception("file_error", b"/some/p\xe4th", False)
    err = excinfo.value
    assert err.errno == errno.ENOSPC
    assert err.strerror == __import__("os").strerror(errno.ENOSPC)
    assert err.filename == b"/some/p\xe4th"


class TestTracebackEntries:
    @exact_tracebacks
    def test_entry_is_a_real_frame(self):
        with pytest.raises(TypeError) as excinfo:
            data_loader()
        tb = excinfo.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        frame = tb.tb_frame
        assert tb.tb_lineno == 30 and frame.f_lineno == 30
        assert frame.f_code.co_name == "brevix.tokenizer.data_loader"
        assert frame.f_code.co_filename == MODULE_FILE
        assert frame.f_globals is vars(tokmod)

    def test_entries_are_cached_but_exact(self):
        # The same function fails twice at different lines: each entry shows its own line.
        t = T()
        for _ in range(2):
            with pytest.raises(TypeError) as first:
                t.encode("text")
            with pytest.raises(TypeError) as second:
                t.encode()
            assert innermost(first, 2)[1][0][2] == 20
            assert innermost(second, 1)[1][0][2] == 20

    def test_printed_traceback_names_entries(self):
        with pytest.raises(TypeError) as excinfo:
            T().fit("ab", 1, 1)
        text = "".join(traceback.format_exception(excinfo.value))
        assert 'File "src/brevix/bindings/tokenizer", line 17, in ' \
               'brevix.tokenizer.PyBytePairTokenizer.fit' in text
        assert 'File "<stringsource>", line 48, in ' \
               'vector.from_py.__pyx_convert_vector_from_py_int' in text
        assert text.rstrip().endswith("TypeError: an integer is required")

    def test_earlier_traceback_is_kept(self):
        def gen():
            yield 1
            raise KeyError("inner")

        with pytest.raises(KeyError) as excinfo:
            T().encode_corpus(gen())
        names = [f.name for f in traceback.extract_tb(excinfo.value.__traceback__)]
        assert names[-3:] == ["brevix.tokenizer.PyBytePairTokenizer.encode_corpus",
                              "vector.from_py.__pyx_convert_vector_from_py_int", "gen"]
