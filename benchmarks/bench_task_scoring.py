"""Source-text scoring beside the straightforward pure-Python rendering."""

import argparse
import inspect

import pytest

from korvane.plugins.analyzer import task_scoring as ts
from test_task_scoring import ref_frameworks as py_score_framework_patterns
from test_task_scoring import ref_indicators as py_score_indicators

# 20 KB of real Python source; the second text carries one non-ASCII character,
# which takes the str.lower path.
SOURCE = inspect.getsource(argparse)[:20_000]
SOURCE_WIDE = SOURCE[:10_000] + "\u2192" + SOURCE[10_001:]
assert SOURCE.isascii() and len(SOURCE) == len(SOURCE_WIDE) == 20_000
assert ts.score_indicators(SOURCE, "run") == py_score_indicators(SOURCE, "run")
assert ts.score_framework_patterns(SOURCE_WIDE) == py_score_framework_patterns(SOURCE_WIDE)


@pytest.mark.benchmark(group="score_indicators 20 KB")
@pytest.mark.parametrize("impl", [ts.score_indicators, py_score_indicators], ids=["korvane", "python"])
def test_score_indicators(benchmark, impl):
    benchmark(impl, SOURCE, "process_chunk")


@pytest.mark.benchmark(group="score_indicators 20 KB, non-ASCII")
@pytest.mark.parametrize("impl", [ts.score_indicators, py_score_indicators], ids=["korvane", "python"])
def test_score_indicators_wide(benchmark, impl):
    benchmark(impl, SOURCE_WIDE, "process_chunk")


@pytest.mark.benchmark(group="score_framework_patterns 20 KB")
@pytest.mark.parametrize("impl", [ts.score_framework_patterns, py_score_framework_patterns],
                         ids=["korvane", "python"])
def test_score_framework_patterns(benchmark, impl):
    benchmark(impl, SOURCE)


@pytest.mark.benchmark(group="score_framework_patterns 20 KB, non-ASCII")
@pytest.mark.parametrize("impl", [ts.score_framework_patterns, py_score_framework_patterns],
                         ids=["korvane", "python"])
def test_score_framework_patterns_wide(benchmark, impl):
    benchmark(impl, SOURCE_WIDE)
