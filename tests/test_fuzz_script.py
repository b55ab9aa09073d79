"""fuzz/run.sh judges every target by its exit status: a harness that fails
without printing anything the summary looks for still fails the run."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

# Stands in for the interpreter: "import atheris" works, and running a
# harness exits with the status in FAKE_STATUS, printing only FAKE_OUTPUT.
FAKE_PYTHON = """#!/bin/sh
if [ "$1" = "-c" ]; then exit 0; fi
printf '%s' "$FAKE_OUTPUT"
exit "$FAKE_STATUS"
"""


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
@pytest.mark.parametrize(
    "status, output, fails",
    [
        (3, "", True),
        (77, "Segmentation fault\n", True),
        (1, "==1==ERROR: AddressSanitizer: heap-buffer-overflow\n", True),
        (0, "Done 5 runs in 1 second(s)\nstat::number_of_executed_units: 5\n", False),
    ],
)
def test_a_harness_is_judged_by_its_exit_status(tmp_path, status, output, fails):
    fake = tmp_path / "bin" / "python"
    fake.parent.mkdir()
    fake.write_text(FAKE_PYTHON)
    fake.chmod(0o755)
    env = {
        **os.environ,
        "PATH": f"{fake.parent}{os.pathsep}{os.environ['PATH']}",
        "BREVIX_FUZZ_PYTHON": str(fake),
        "BREVIX_FUZZ_TARGETS": "fuzz_core.py",
        "FAKE_STATUS": str(status),
        "FAKE_OUTPUT": output,
    }
    result = subprocess.run(
        ["bash", str(ROOT / "fuzz" / "run.sh"), "1"], env=env, capture_output=True, text=True,
        timeout=120,
    )
    assert (result.returncode != 0) == fails, result.stdout + result.stderr
    if fails:
        assert "fuzz_core.py FAILED" in result.stdout
