"""The examples of docs/guide.md run, in order, as one session."""

import doctest
import io
from contextlib import redirect_stdout
from pathlib import Path

import pandas  # noqa: F401  (the guide's model reads its data with it: a test dependency)

GUIDE = Path(__file__).resolve().parents[1] / "docs" / "guide.md"


def test_guide_examples():
    report = io.StringIO()
    with redirect_stdout(report):
        failed, attempted = doctest.testfile(
            str(GUIDE), module_relative=False, globs={}, report=True,
            optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert attempted > 50, "the guide lost its examples"
    assert failed == 0, report.getvalue()

