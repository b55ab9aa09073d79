"""Every benchmark script replaces only its own sections of RESULTS.md:
a run of one never drops what another recorded."""

import pathlib
import sys
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
try:
    import results_md
finally:
    sys.path.remove(str(BENCH))


@pytest.mark.parametrize(("before", "after"), [
    ("", "## Standard encoding\n\nnew\n"),
    ("# r\n\n## A\n\na", "# r\n\n## A\n\na\n\n## Standard encoding\n\nnew\n"),
    ("# r\n\n## A\n\na\n\n## Standard encoding\n\nold\n\n### sub\n\nold\n\n## B\n\nb\n",
     "# r\n\n## A\n\na\n\n## Standard encoding\n\nnew\n\n## B\n\nb\n"),
    # A title that merely begins another's, or is quoted in prose, is not it.
    ("## Standard encoding at 1 GB\n\nkept\n\nsee ## Standard encoding\n",
     "## Standard encoding at 1 GB\n\nkept\n\nsee ## Standard encoding\n\n## Standard encoding\n\nnew\n"),
])
def test_splice_replaces_or_appends_only_its_own_section(tmp_path, before, after):
    path = tmp_path / "RESULTS.md"
    if before:
        path.write_text(before)
    results_md.splice(path, "## Standard encoding\n\nnew\n")
    assert path.read_text() == after


def test_splice_refuses_a_section_without_a_title(tmp_path):
    with pytest.raises(ValueError, match="starts with a '## ' title"):
        results_md.splice(tmp_path / "RESULTS.md", "no title\n")


def test_the_main_run_keeps_the_sections_other_scripts_wrote(tmp_path):
    path = tmp_path / "RESULTS.md"
    path.write_text("# old\n\n## Machine\n\nold cpu\n\n## Standard encoding\n\nse\n\n"
                    "## Training\n\nold training\n\n## Serving\n\nsv\n")
    results_md.write_keeping_others(path, "# new\n\n## Machine\n\nnew cpu\n\n## Training\n\nnew\n")
    assert path.read_text() == ("# new\n\n## Machine\n\nnew cpu\n\n## Training\n\nnew\n\n"
                                "## Standard encoding\n\nse\n\n## Serving\n\nsv\n")


_TITLES = st.lists(st.sampled_from(["## A", "## B", "## Standard encoding", "## Standard encoding at 1 GB",
                                    "## Serving"]), unique=True, max_size=5)
# Body text with "#" and "### " lines, but no line of its own that starts a section.
_BODY = st.text(st.sampled_from("ab #\n|"), max_size=30).map(
    lambda s: "\n".join("x" + line if line.startswith("## ") else line for line in s.split("\n")))


@settings(max_examples=200, deadline=None)
@given(_TITLES, st.lists(_BODY, min_size=5, max_size=5), _TITLES, st.data())
def test_writers_replace_their_sections_and_keep_every_other_in_order(old, bodies, mine, data):
    def block(title, body):
        return f"{title}\n{body}".strip("\n")

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "RESULTS.md"
        path.write_text("# head\n\n" + "\n\n".join(block(t, b) for t, b in zip(old, bodies)) + "\n")
        # splice: one section replaced in place or appended, the rest untouched.
        title = data.draw(st.sampled_from(["## A", "## Serving", "## Standard encoding"]))
        results_md.splice(path, f"{title}\n\nnew\n")
        after = results_md.sections(path.read_text())
        expected = old if title in old else old + [title]
        assert [t for t, _ in after if t] == expected
        assert dict(after)[title] == f"{title}\n\nnew"
        # The main run's writer: its sections first, then the others in their order.
        results_md.write_keeping_others(path, "# new\n\n" + "\n\n".join(f"{t}\n\nmine" for t in mine) + "\n")
        titles = [t for t, _ in results_md.sections(path.read_text()) if t]
        assert titles == mine + [t for t in expected if t not in mine]
