"""The core's include graph: no cycles between its files, no Python in it.

A header and its source are one node (tokenizer.h and tokenizer.cpp are
"tokenizer"), so a header that includes one whose source includes it back is
a cycle, as it is for anyone reading or changing the two.
"""
import pathlib
import re

import pytest

CORE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "cpp"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def includes(directory):
    """{file name: [(bracket, included name), ...]} for the core's files."""
    return {
        path.name: INCLUDE.findall(path.read_text(encoding="utf-8"))
        for path in sorted(directory.iterdir())
        if path.suffix in (".h", ".cpp")
    }


def module_graph(directory):
    """{module: set of modules it includes}, a module being a file name's stem."""
    graph = {}
    for name, found in includes(directory).items():
        module = pathlib.Path(name).stem
        edges = graph.setdefault(module, set())
        edges.update(pathlib.Path(target).stem for bracket, target in found if bracket == '"')
        edges.discard(module)
    return graph


def find_cycle(graph):
    """One cycle as a list of modules (first == last), or None."""
    state = {}  # module -> "open" while on the path, "done" after

    def visit(module, path):
        state[module] = "open"
        for target in sorted(graph.get(module, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [module, target]
            if target not in state:
                cycle = visit(target, path + [module])
                if cycle:
                    return cycle
        state[module] = "done"
        return None

    for module in sorted(graph):
        if module not in state:
            cycle = visit(module, [])
            if cycle:
                return cycle
    return None


def folders():
    """The core's folders, each one concern."""
    return [path for path in sorted(CORE.iterdir()) if path.is_dir()]


@pytest.mark.parametrize("folder", [path.name for path in folders()])
def test_each_core_folder_include_graph_has_no_cycle(folder):
    graph = module_graph(CORE / folder)
    assert graph, f"{folder} holds no source"
    assert find_cycle(graph) is None, " -> ".join(find_cycle(graph))


def test_core_includes_only_its_own_headers_and_no_python():
    for folder in folders():
        for name, found in includes(folder).items():
            for bracket, target in found:
                assert "Python" not in target, f"{folder.name}/{name} includes {target}"
                if bracket == '"':
                    assert (CORE / target).is_file(), f"{folder.name}/{name} includes {target} from outside the core"
                    assert "/" in target, f"{folder.name}/{name} includes {target} without its folder"


def test_core_has_no_loose_sources():
    # Every file of the core sits in the folder of its concern.
    loose = [path.name for path in CORE.iterdir() if path.suffix in (".h", ".cpp")]
    assert loose == []


def folder_graph(graph):
    """{folder: folders it includes from}, from a whole-core module graph."""
    folders = {}
    for module, targets in graph.items():
        edges = folders.setdefault(module.split("/")[0], set())
        edges.update(target.split("/")[0] for target in targets)
    for folder, edges in folders.items():
        edges.discard(folder)
    return folders


def test_core_folders_include_only_downward():
    # Folders in the order they may include each other: each only from the
    # ones before it.
    order = ["common", "corpus", "text", "ties", "exact", "encode", "pieces", "engine"]
    graph = folder_graph(whole_core_graph())
    assert sorted(graph) == sorted(order)
    for folder, edges in graph.items():
        below = set(order[:order.index(folder)])
        assert edges <= below, f"{folder} includes from {sorted(edges - below)}"
    assert find_cycle(graph) is None


def test_folder_graph_sees_a_cycle_between_folders():
    graph = {"a/x": {"b/y"}, "b/y": {"b/z"}, "b/z": {"a/w"}, "a/w": set()}
    folders = folder_graph(graph)
    assert folders == {"a": {"b"}, "b": {"a"}}
    cycle = find_cycle(folders)
    assert cycle[0] == cycle[-1] and set(cycle) == {"a", "b"}


def test_cycle_check_sees_a_header_and_source_pair_cycle(tmp_path):
    # The shape the core once had: the front's source uses an engine whose
    # header includes the front.
    (tmp_path / "front.h").write_text('#include "types.h"\n')
    (tmp_path / "front.cpp").write_text('#include "front.h"\n#include "engine.h"\n')
    (tmp_path / "engine.h").write_text('#include "front.h"\n')
    (tmp_path / "types.h").write_text("#include <vector>\n")
    cycle = find_cycle(module_graph(tmp_path))
    assert cycle[0] == cycle[-1] and set(cycle) == {"front", "engine"}


def whole_core_graph():
    """{module: modules it includes} over the core and its subfolders, a
    module named by its path without suffix ("encode/vocabulary")."""
    graph = {}
    for path in sorted(CORE.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        module = path.relative_to(CORE).with_suffix("").as_posix()
        edges = graph.setdefault(module, set())
        for bracket, target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            assert "Python" not in target, f"{module} includes {target}"
            if bracket == '"':
                assert (CORE / target).is_file(), f"{module} includes {target} from outside the core"
                edges.add(pathlib.PurePosixPath(target).with_suffix("").as_posix())
        edges.discard(module)
    return graph


def test_whole_core_include_graph_has_no_cycle_and_no_python():
    graph = whole_core_graph()
    assert "encode/vocabulary" in graph and "text/make_splitter" in graph
    assert "exact/straightforward" in graph and "exact/tokenizer" in graph
    cycle = find_cycle(graph)
    assert cycle is None, " -> ".join(cycle)
