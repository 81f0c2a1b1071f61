"""The README's examples run as written."""

import doctest
import logging


def test_readme_examples(readme_path):
    logging.getLogger("korvane").setLevel(logging.ERROR)  # keep load messages out of the output
    result = doctest.testfile(str(readme_path), module_relative=False, optionflags=doctest.ELLIPSIS, verbose=False)
    assert result.attempted > 30
    assert result.failed == 0
