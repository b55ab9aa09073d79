"""Type information: the stubs describe the API strictly enough for
mypy --strict, and match what the modules really do."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).parent / "typing"


def mypy(*args):
    # Run from an empty directory so that the installed package (with its
    # py.typed and stubs) is what gets checked, not the source tree.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir=/dev/null", *args],
        capture_output=True,
        text=True,
        cwd="/",
        timeout=300,
    )


@pytest.mark.slow
def test_example_using_whole_api_passes_strict():
    result = mypy(str(HERE / "uses_whole_api.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_runs_as_written(tmp_path):
    result = subprocess.run(
        [sys.executable, str(HERE / "uses_whole_api.py")],
        capture_output=True, cwd=tmp_path, timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()


@pytest.mark.slow
def test_misuses_are_flagged():
    source = HERE / "misuses_api.py"
    expected = {
        n for n, line in enumerate(source.read_text().splitlines(), 1) if "# E:" in line
    }
    result = mypy(str(source))
    flagged = {int(m) for m in re.findall(r"misuses_api\.py:(\d+): error", result.stdout)}
    assert flagged == expected, result.stdout


@pytest.mark.slow
def test_package_itself_passes_strict():
    result = mypy("-p", "brevix")
    assert result.returncode == 0, result.stdout + result.stderr
