"""The build refuses a standard library other than libstdc++: training
reproduces the walk order of libstdc++'s unordered_map, and another library
would silently train different merges."""

import pathlib
import shutil
import subprocess

import pytest

CORE = pathlib.Path(__file__).resolve().parents[1] / "src" / "brevix" / "cpp"

# Just enough of a standard library for walk_order.h, without libstdc++'s
# configuration header (which is what defines __GLIBCXX__).
FAKE_HEADERS = {
    "cstdint": "#include <stdint.h>\nnamespace std { using ::uint32_t; using ::uint64_t; }\n",
    "vector": "namespace std { template <class T> class vector {}; }\n",
}


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("library", ["other", "libstdc++"])
def test_walk_order_compiles_against_libstdcxx_only(tmp_path, library):
    source = tmp_path / "use.cpp"
    source.write_text('#include "ties/walk_order.h"\n')
    command = ["g++", "-std=c++17", "-fsyntax-only", f"-I{CORE}", str(source)]
    if library == "other":
        for name, text in FAKE_HEADERS.items():
            (tmp_path / name).write_text(text)
        command[1:1] = ["-nostdinc++", f"-I{tmp_path}"]
    result = subprocess.run(command, capture_output=True, text=True)
    if library == "libstdc++":
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert "brevix needs libstdc++" in result.stderr
        # The check comes first: no other error precedes it.
        assert result.stderr.count("error:") == 1
