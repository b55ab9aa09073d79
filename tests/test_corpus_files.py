"""Corpus files: what the loader reads, what the saver writes, the message for
files that cannot be opened, the process-wide locale, and I/O failures."""

import errno
import os
import sys

import pytest

from brevix.tokenizer import data_loader, data_saver
from helpers import SANITIZED, run_python, run_under_memory_limit


def path_of(p):
    return os.fsencode(p)


@pytest.mark.parametrize(
    "content, corpus",
    [
        (b"ab\nc", [97, 98, 99]),
        (b"a\r\nb", [97, 13, 98]),
        (b"", []),
        (b"\n\n\n", []),
        (b"\xc3\xa9\n", [-61, -87]),
        (b"\x00\xff\x80\x7f", [0, -1, -128, 127]),
        (b"line one\nline two\n", list(b"line oneline two")),
    ],
)
def test_loader_reads_bytes_without_newlines(tmp_path, content, corpus):
    f = tmp_path / "c.txt"
    f.write_bytes(content)
    assert data_loader(path_of(f)) == corpus


@pytest.mark.parametrize(
    "corpus, content",
    [
        ([104, 105], b"hi"),
        ([-61, -87], b"\xc3\xa9"),
        ([], b""),
        ([10], b"\n"),
        ([256, 300, 200, -1000], b"\x00\x2c\xc8\x18"),
        (b"hi", b"hi"),
        (range(3), b"\x00\x01\x02"),
    ],
)
def test_saver_writes_one_low_byte_per_id(tmp_path, corpus, content):
    f = tmp_path / "out.bin"
    f.write_bytes(b"old contents that must go")
    assert data_saver(corpus, path_of(f)) is None
    assert f.read_bytes() == content


def test_round_trip_and_fresh_lists(tmp_path):
    f = path_of(tmp_path / "out.bin")
    corpus = [104, 105]
    data_saver(corpus, f)
    assert corpus == [104, 105]
    first, second = data_loader(f), data_loader(f)
    assert first == second == [104, 105]
    assert first is not second


@pytest.mark.parametrize("ids, back", [([10], []), ([256], [0]), ([200], [-56])])
def test_ids_outside_the_base_range_do_not_survive_a_round_trip(tmp_path, ids, back):
    f = path_of(tmp_path / "x")
    data_saver(ids, f)
    assert data_loader(f) == back


def test_bytearray_paths_are_accepted(tmp_path):
    f = tmp_path / "p"
    data_saver([65], bytearray(path_of(f)))
    assert data_loader(bytearray(path_of(f))) == [65]


@pytest.mark.parametrize(
    "call, result",
    [
        ("print(data_loader({missing}), flush=True)", b"[]"),
        ("print(data_saver([1, 2], {missing}), flush=True)", b"None"),
        ("print(data_loader(b''), flush=True)", b"[]"),
    ],
    ids=["loader", "saver", "empty-path"],
)
def test_unopenable_file_prints_a_message_and_is_not_an_error(call, result, tmp_path):
    missing = tmp_path / "no-such-dir" / "file.bin"
    code = call.format(missing=repr(path_of(missing)))
    out = run_python(f"from brevix.tokenizer import data_loader, data_saver\n{code}").stdout
    assert out == b"Error opening file\n" + result + b"\n"
    # Neither the file nor its directory is created.
    assert os.listdir(tmp_path) == []


def test_empty_file_loads_silently(tmp_path):
    f = tmp_path / "empty"
    f.write_bytes(b"")
    out = run_python(f"from brevix.tokenizer import data_loader\nprint(data_loader({path_of(f)!r}))").stdout
    assert out == b"[]\n"


LOCALE_PROBE = """
import locale
from brevix.tokenizer import data_loader, data_saver
before = locale.setlocale(locale.LC_ALL)
try:
    {call}
except Exception as exc:
    print(type(exc).__name__)
print("before", before == "en_US.UTF-8")
print("after", locale.setlocale(locale.LC_ALL))
"""


@pytest.mark.parametrize(
    "call",
    [
        "data_loader({f!r})",
        "data_saver([1], {f!r})",
        "data_loader(b'/nonexistent-dir/x')",
        "data_saver([1], b'/nonexistent-dir/x')",
    ],
)
def test_no_call_changes_the_process_locale(tmp_path, call):
    # Switching the process's locale would race with threads formatting text.
    f = path_of(tmp_path / "f")
    (tmp_path / "f").write_bytes(b"x")
    out = run_python(LOCALE_PROBE.format(call=call.format(f=f)), env={"LC_ALL": "C"}).stdout
    assert out.splitlines()[-2:] == [b"before False", b"after C"]


@pytest.mark.parametrize(
    "call",
    [
        "data_loader(b'x\\x00y')",
        "data_saver([1], b'x\\x00y')",
        "data_saver('not ints', b'x')",
        "data_loader('x')",
    ],
)
def test_refused_calls_leave_the_locale_and_files_alone(tmp_path, call):
    code = f"import os\nos.chdir({str(tmp_path)!r})\n" + LOCALE_PROBE.format(call=call)
    out = run_python(code).stdout
    assert b"after en_US.UTF-8" not in out
    assert os.listdir(tmp_path) == []


def test_nul_in_path_is_a_value_error(tmp_path):
    victim = tmp_path / "x"
    victim.write_bytes(b"keep")
    with pytest.raises(ValueError, match="embedded null byte"):
        data_saver([1], path_of(victim) + b"\x00.bak")
    with pytest.raises(ValueError, match="embedded null byte"):
        data_loader(path_of(victim) + b"\x00")
    assert victim.read_bytes() == b"keep"


def test_failed_conversion_leaves_an_existing_file_untouched(tmp_path):
    f = tmp_path / "out.bin"
    f.write_bytes(b"keep")
    with pytest.raises(TypeError, match="an integer is required"):
        data_saver("hi", path_of(f))
    with pytest.raises(OverflowError):
        data_saver([1, 2147483648], path_of(f))
    assert f.read_bytes() == b"keep"


def test_reading_a_directory_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as info:
        data_loader(path_of(tmp_path))
    assert info.value.errno == errno.EISDIR
    assert os.fsencode(info.value.filename) == path_of(tmp_path)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_disk_is_an_os_error_not_silent_truncation():
    with pytest.raises(OSError) as info:
        data_saver(b"x" * 100, b"/dev/full")
    assert info.value.errno == errno.ENOSPC
    assert os.fsencode(info.value.filename) == b"/dev/full"


def test_missing_locale_is_a_runtime_error_before_any_file_is_touched(tmp_path):
    target = tmp_path / "out.bin"
    out = run_python(
        f"""
        from brevix.tokenizer import data_saver, data_loader
        for call in (lambda: data_saver([1], {path_of(target)!r}), lambda: data_loader(b"/etc/hostname")):
            try:
                call()
            except RuntimeError as exc:
                print("RuntimeError", bool(str(exc)))
        """,
        env={"LOCPATH": str(tmp_path / "no-locales")},
    ).stdout
    assert out == b"RuntimeError True\nRuntimeError True\n"
    assert not target.exists()


@pytest.mark.slow
def test_hundred_megabyte_round_trip(tmp_path):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    raw = rng.integers(0, 256, size=100 * 1024 * 1024, dtype=np.uint8)
    raw[raw == 10] = 11
    data = raw.tobytes()
    f = path_of(tmp_path / "big.bin")
    data_saver(data, f)
    assert (tmp_path / "big.bin").read_bytes() == data
    loaded = data_loader(f)
    assert len(loaded) == len(data)
    assert np.array_equal(np.array(loaded, dtype=np.int8), raw.view(np.int8))


@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_a_large_file_of_newlines_loads_without_reserving_its_size_in_ids(tmp_path):
    # 100 MB of newlines load as []: no reservation of 100 M ids (400 MB).
    path = tmp_path / "newlines.txt"
    path.write_bytes(b"\n" * 100_000_000)
    setup = f"""
        from brevix.tokenizer import data_loader
        loaded = []
        calls = {{"newlines": lambda: loaded.append(data_loader({path_of(path)!r}))}}
    """
    lines = run_under_memory_limit(setup, headroom_mb=200, after="print(loaded)")
    assert lines == ["newlines ok", "[[]]"]


@pytest.mark.skipif(sys.maxsize > 2**32, reason="the echo's size wrapped on 32-bit builds only")
def test_the_echo_of_more_ids_than_a_32_bit_size_holds_twelve_times(tmp_path):
    # 12 bytes per id for 357,913,942 ids wraps a 32-bit size to 9 bytes.
    code = """
        import os
        from brevix.tokenizer import PyBytePairTokenizer
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        try:
            PyBytePairTokenizer().encode(bytes(357_913_942))
        except MemoryError:
            pass
        os.write(2, b"survived")
    """
    assert run_python(code, timeout=600).stderr.endswith(b"survived")
