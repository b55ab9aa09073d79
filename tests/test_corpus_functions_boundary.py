"""data_loader and data_saver at the boundary: arguments, conversion order,
file-system failures and locale, and what reaches standard output."""
import errno
import os

import pytest

from brevix.tokenizer import data_loader, data_saver

from helpers import (CONVERSION_FILE, CORPUS_FROM_PY, MODULE_FILE, TEXT_FROM_PY, innermost,
                      run_python)

LOADER_ENTRY = ("brevix.tokenizer.data_loader", MODULE_FILE, 30)
SAVER_ENTRY = ("brevix.tokenizer.data_saver", MODULE_FILE, 34)


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "out.bin"
    path.write_bytes(b"keep")
    return path


class TestRoundTrip:
    @pytest.mark.parametrize("corpus", [[104, 105], b"hi", bytearray(b"hi"), (104, 105),
                                        iter([104, 105])])
    def test_save_then_load(self, tmp_path, corpus):
        path = tmp_path / "out.bin"
        assert data_saver(corpus, bytes(path)) is None
        assert path.read_bytes() == b"hi"
        assert data_loader(bytes(path)) == [104, 105]

    def test_keywords_and_bytearray_path(self, tmp_path):
        path = bytes(tmp_path / "k.bin")
        assert data_saver(filepath=bytearray(path), corpus=[1]) is None
        assert data_loader(filepath=path) == [1]

    def test_caller_list_unchanged_and_results_are_new(self, tmp_path):
        path = bytes(tmp_path / "x.bin")
        corpus = [300, -61]
        data_saver(corpus, path)
        assert corpus == [300, -61]
        first, second = data_loader(path), data_loader(path)
        assert first == second == [44, -61] and first is not second


class TestRefusalsLeaveFileAlone:
    @pytest.mark.parametrize("corpus,exc,message", [
        ("hi", TypeError, "an integer is required"),
        ([2147483648], OverflowError, "Python int too large to convert to C long"),
        ([1, None], TypeError, "an integer is required"),
    ])
    def test_bad_corpus(self, existing, corpus, exc, message, capfd):
        with pytest.raises(exc, match=f"^{message}$") as excinfo:
            data_saver(corpus, bytes(existing))
        assert innermost(excinfo, 2)[1] == [SAVER_ENTRY, (CORPUS_FROM_PY, CONVERSION_FILE, 48)]
        assert existing.read_bytes() == b"keep"
        assert capfd.readouterr().out == ""

    def test_uniterable_corpus(self, existing):
        with pytest.raises(TypeError) as excinfo:
            data_saver(5, bytes(existing))
        assert innermost(excinfo, 2)[1] == [SAVER_ENTRY, (CORPUS_FROM_PY, CONVERSION_FILE, 47)]
        assert existing.read_bytes() == b"keep"

    @pytest.mark.parametrize("fn,args,entry", [
        (data_loader, ("corpus.bin",), LOADER_ENTRY),
        (data_loader, (memoryview(b"corpus.bin"),), LOADER_ENTRY),
        (data_saver, ([1], "out.bin"), SAVER_ENTRY),
        (data_saver, ([1], None), SAVER_ENTRY),
    ])
    def test_non_bytes_path(self, fn, args, entry, capfd):
        with pytest.raises(TypeError) as excinfo:
            fn(*args)
        assert innermost(excinfo, 2)[1] == [entry, (TEXT_FROM_PY, CONVERSION_FILE, 15)]
        assert capfd.readouterr().out == ""

    def test_path_not_converted_when_corpus_fails(self):
        # Both arguments are bad; only the corpus is ever looked at.
        with pytest.raises(TypeError, match="^an integer is required$") as excinfo:
            data_saver(["x"], "not bytes")
        assert innermost(excinfo, 2)[1] == [SAVER_ENTRY, (CORPUS_FROM_PY, CONVERSION_FILE, 48)]

    @pytest.mark.parametrize("fn,args", [
        (data_loader, (b"a\x00b",)), (data_saver, ([1], b"a\x00b")),
    ])
    def test_embedded_nul_refused(self, tmp_path, fn, args, capfd):
        os.chdir(tmp_path)
        with pytest.raises(ValueError, match="^embedded null byte$") as excinfo:
            fn(*args)
        assert innermost(excinfo, 1)[1] == [LOADER_ENTRY if fn is data_loader else SAVER_ENTRY]
        assert not (tmp_path / "a").exists()
        assert capfd.readouterr().out == ""


class TestFileSystemFailures:
    def test_missing_file_prints_and_returns_empty(self, tmp_path, capfd):
        assert data_loader(bytes(tmp_path / "missing")) == []
        assert capfd.readouterr().out == "Error opening file\n"

    def test_empty_file_silent(self, tmp_path, capfd):
        (tmp_path / "empty").write_bytes(b"")
        assert data_loader(bytes(tmp_path / "empty")) == []
        assert capfd.readouterr().out == ""

    def test_unopenable_save_target(self, tmp_path, capfd):
        assert data_saver([1], bytes(tmp_path / "no-dir" / "x")) is None
        assert capfd.readouterr().out == "Error opening file\n"
        assert not (tmp_path / "no-dir").exists()

    def test_directory_read_is_oserror(self, tmp_path):
        with pytest.raises(IsADirectoryError) as excinfo:
            data_loader(bytes(tmp_path))
        err = excinfo.value
        assert err.errno == errno.EISDIR
        assert err.strerror == os.strerror(errno.EISDIR)
        assert err.filename == bytes(tmp_path)
        assert innermost(excinfo, 1)[1] == [LOADER_ENTRY]

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
    def test_full_device_write_is_oserror(self):
        with pytest.raises(OSError) as excinfo:
            data_saver(b"x" * 10, b"/dev/full")
        assert excinfo.value.errno == errno.ENOSPC
        assert excinfo.value.filename == b"/dev/full"
        assert innermost(excinfo, 1)[1] == [SAVER_ENTRY]


class TestLocale:
    def test_calls_leave_the_process_locale_alone(self, tmp_path):
        code = f"""
            import locale
            from brevix.tokenizer import data_loader, data_saver
            before = locale.setlocale(locale.LC_ALL)
            data_loader({bytes(tmp_path / "missing")!r})
            data_saver([104, 105], {bytes(tmp_path / "hi")!r})
            after = locale.setlocale(locale.LC_ALL)
            print(after == before, "en_US" in after, data_loader({bytes(tmp_path / "hi")!r}))
        """
        out = run_python(code, env={"LC_ALL": "", "LANG": "C"}).stdout.decode()
        assert out.splitlines() == ["Error opening file", "True False [104, 105]"]

    def test_threads_formatting_text_meanwhile_keep_their_locale(self, tmp_path):
        # A thread formatting numbers through the C library while others
        # load and save corpora sees the locale it started with throughout.
        code = f"""
            import ctypes, locale, threading
            from brevix.tokenizer import data_loader, data_saver
            locale.setlocale(locale.LC_ALL, "C")
            libc = ctypes.CDLL(None)
            buffer = ctypes.create_string_buffer(64)
            stop = threading.Event()
            path = {bytes(tmp_path / "c.bin")!r}
            def churn():
                while not stop.is_set():
                    data_saver([1, 2, 3], path)
                    data_loader(path)
            workers = [threading.Thread(target=churn) for _ in range(2)]
            for w in workers:
                w.start()
            seen = set()
            for _ in range(20000):
                libc.snprintf(buffer, 64, b"%'d", ctypes.c_int(1234567))
                seen.add(buffer.value)
            stop.set()
            for w in workers:
                w.join()
            print(sorted(seen))
        """
        out = run_python(code).stdout.decode()
        assert out.splitlines()[-1] == "[b'1234567']"

    @pytest.mark.parametrize("call", [
        "data_loader(b'/nonexistent')", "data_saver([1], b'/nonexistent/x')",
    ])
    def test_missing_locale_is_runtime_error(self, call):
        code = f"""
            import traceback
            from brevix.tokenizer import data_loader, data_saver
            try:
                {call}
            except RuntimeError as e:
                last = traceback.extract_tb(e.__traceback__)[-1]
                print("RuntimeError", last.name, last.lineno, bool(str(e)))
        """
        # An empty locale directory hides every installed locale from the C library.
        result = run_python(code, env={"LOCPATH": "/nonexistent-locales", "LC_ALL": "C"})
        assert result.stdout.split(b"\n")[-2].startswith(b"RuntimeError brevix.tokenizer.data_")
        assert result.stdout.endswith(b" True\n")
        assert b"Error opening file" not in result.stdout
