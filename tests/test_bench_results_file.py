"""Every benchmark script replaces only its own sections of RESULTS.md:
a run of one never drops what another recorded."""

import pathlib
import sys

import pytest

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
