"""Source-text scoring beside the straightforward pure-Python rendering."""

import argparse
import inspect

import pytest

from korvane.plugins.analyzer import task_scoring as ts

INDICATOR_LISTS = [
    ["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod",
     "dot", "matmul", "fft", "linalg"],
    ["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"],
    ["multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
     "processpoolexecutor", "threadpoolexecutor"],
    ["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean", "std",
     "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply", "divide", "/", "*",
     "+", "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"],
    ["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024",
     "megabyte", "mb"],
    ["workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"],
    ["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"],
]
FRAMEWORK_LISTS = [
    ["numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul", "linalg",
     "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape", "transpose", "concatenate",
     "stack", "split"],
    ["pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
     "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"],
    ["sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv",
     "pipeline", "featureunion", "train_test_split", "classification", "regression", "clustering",
     "preprocessing", "model_selection", "metrics", "ensemble"],
]


def py_score_indicators(code, function_name):
    code_lower = code.lower()
    name_lower = function_name.lower() if function_name else ""
    counts = []
    for i, keywords in enumerate(INDICATOR_LISTS):
        if i in (3, 5):
            counts.append(sum(1 for k in keywords if k in code_lower or k in name_lower))
        else:
            counts.append(sum(1 for k in keywords if k in code_lower))
    return tuple(counts)


def py_score_framework_patterns(code):
    code_lower = code.lower()
    return tuple(min(max(sum(1 for k in keywords if k in code_lower) / d, 0.0), 1.0)
                 for keywords, d in zip(FRAMEWORK_LISTS, (25.0, 18.0, 18.0)))


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
