"""Which CPython internals the extension modules rely on.

brevix.tokenizer pins its traceback lines through CPython's internal frame
layout and reads small ints' digits on 3.11, only where those layouts are
known (BREVIX_KNOWN_LAYOUT, 3.11 to 3.13); every other build uses public API
alone. brevix._core, behind brevix.Tokenizer, never uses internals: its
sources and the toolkit it is built from keep them behind the switch, and it
links the toolkit built with the switch off.
"""
import os
import pathlib
import re
import sys

import pytest

from brevix import _internal
from brevix.tokenizer import data_loader

ROOT = pathlib.Path(__file__).resolve().parent.parent
BINDINGS = ROOT / "src" / "brevix" / "bindings"
CMAKE = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")

# What only CPython's internal or layout-specific headers offer. The one
# underscore name allowed, _PyBytes_Resize, is documented in the C API manual.
INTERNAL = re.compile(
    r"Py_BUILD_CORE|internal/pycore|\bob_digit\b|\bf_lineno\b|\b_Py(?!Bytes_Resize\b)\w+")
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def internal_uses_outside_switch(text):
    """Lines using internal API that a build with BREVIX_KNOWN_LAYOUT=0 compiles."""
    found = []
    # One flag per open #if: whether the code under it is compiled out when
    # the switch is off.
    stack = []
    for number, line in enumerate(text.splitlines(), 1):
        condition = CONDITION.match(line)
        if condition:
            kind, rest = condition.groups()
            if not any(stack) and INTERNAL.search(rest.split("//")[0]):
                found.append((number, line.strip()))
            if kind in ("if", "ifdef", "ifndef"):
                stack.append(kind == "if" and re.match(r"\s*BREVIX_KNOWN_LAYOUT\b", rest) is not None)
            elif kind in ("elif", "else") and stack:
                stack[-1] = False
            elif kind == "endif" and stack:
                stack.pop()
            continue
        if not any(stack) and INTERNAL.search(line.split("//")[0]):
            found.append((number, line.strip()))
    return found


def cmake_sources(block_start):
    """The bindings files listed after `block_start` up to its closing parenthesis."""
    block = CMAKE[CMAKE.index(block_start):]
    block = block[:block.index(")")]
    return [ROOT / name for name in re.findall(r"src/brevix/bindings/\S+\.cpp", block)]


def with_included_headers(files):
    """The files and every bindings header they include, transitively."""
    seen, pending = set(), list(files)
    while pending:
        path = pending.pop()
        if path in seen or not path.exists():
            continue
        seen.add(path)
        for line in path.read_text(encoding="utf-8").splitlines():
            include = INCLUDE.match(line)
            if include and (BINDINGS / include.group(1)).exists():
                pending.append(BINDINGS / include.group(1))
    return sorted(seen)


def test_core_module_is_built_on_public_api_only():
    sources = cmake_sources("python_add_library(_core") + cmake_sources("set(BREVIX_BOUNDARY_SOURCES")
    assert any(path.name == "core_module.cpp" for path in sources)
    assert any(path.name == "traceback_entry.cpp" for path in sources)
    assert re.search(r"target_link_libraries\(_core PRIVATE brevix_boundary_public\b", CMAKE)
    assert "target_compile_definitions(brevix_boundary_public PUBLIC BREVIX_KNOWN_LAYOUT=0)" in CMAKE
    offending = {
        path.name: uses
        for path in with_included_headers(sources)
        if (uses := internal_uses_outside_switch(path.read_text(encoding="utf-8")))
    }
    assert offending == {}


@pytest.mark.parametrize("text, expected", [
    ("x->ob_digit[0];", [1]),
    ("#if BREVIX_KNOWN_LAYOUT\nx->ob_digit[0];\n#endif", []),
    ("#if BREVIX_KNOWN_LAYOUT && PY_VERSION_HEX < 0x030C0000\nf->f_lineno = 1;\n#else\n_PyLong_Foo();\n#endif",
     [4]),
    ("#ifndef Py_BUILD_CORE\n#endif", [1]),
    ("#if BREVIX_KNOWN_LAYOUT\n#ifndef Py_BUILD_CORE\n#define Py_BUILD_CORE 1\n#endif\n#endif", []),
    ("_PyBytes_Resize(&b, 3); // ob_digit in a comment", []),
])
def test_internal_use_finder(text, expected):
    assert [number for number, _ in internal_uses_outside_switch(text)] == expected


def test_known_layout_only_where_known_and_asked_for():
    if sys.version_info[:2] not in ((3, 11), (3, 12), (3, 13)):
        assert not _internal.known_layout()
    # Set by scripts/test-fallback.sh for the build and the tests alike.
    if os.environ.get("BREVIX_KNOWN_LAYOUT", "").upper() == "OFF":
        assert not _internal.known_layout()
    if _internal.known_layout():
        assert _internal.exact_tracebacks()


def test_exact_tracebacks_tells_what_entries_show():
    with pytest.raises(TypeError) as excinfo:
        data_loader()
    tb = excinfo.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == "brevix.tokenizer.data_loader"
    assert (tb.tb_lineno == 30) == _internal.exact_tracebacks()
