"""What an installed brevix consists of: Python files, stubs, py.typed, the
shipped data and extension modules that export their init function only."""

import importlib.machinery
import pathlib
import shutil
import subprocess

import pytest

import brevix

PACKAGE = pathlib.Path(brevix.__file__).parent
EXTENSIONS = sorted(
    p for p in PACKAGE.iterdir() if p.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
)


def test_every_extension_module_is_installed():
    assert {p.name.split(".")[0] for p in EXTENSIONS} == {"tokenizer", "_internal", "_core"}


@pytest.mark.parametrize("extension", EXTENSIONS, ids=lambda p: p.name.split(".")[0])
def test_extension_exports_only_its_init_function(extension):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", str(extension)], capture_output=True,
                             text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + extension.name.split(".")[0]]


def test_installed_package_holds_no_build_sources():
    if (PACKAGE.parent.parent / "CMakeLists.txt").exists():
        pytest.skip("brevix is imported from the source tree, not from an installation")
    allowed = {".py", ".pyi", ".typed", ".txt", ".md", ".pyc"}
    unexpected = [
        str(p.relative_to(PACKAGE)) for p in PACKAGE.rglob("*")
        if p.is_file() and p not in EXTENSIONS and p.suffix not in allowed
    ]
    assert unexpected == []
    assert not (PACKAGE / "cpp").exists() and not (PACKAGE / "bindings").exists()
