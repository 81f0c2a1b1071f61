"""Scoring the source text of a function and classifying its workload."""

import inspect

from korvane._tour import heading, show
from korvane.plugins.analyzer.task_scoring import (
    calculate_gpu_suitability,
    calculate_parallelization_potential,
    determine_workload_pattern,
    estimate_gpu_speedup,
    normalize_scores,
    quick_framework_score,
    score_framework_patterns,
    score_indicators,
)


def normalise_rows(rows):  # type: ignore[no-untyped-def]
    """An example workload: scales each row of a matrix to unit sum."""
    import numpy as np  # type: ignore[import-not-found]

    matrix = np.asarray(rows, dtype=float)
    totals = matrix.sum(axis=1, keepdims=True)
    return np.divide(matrix, totals, out=np.zeros_like(matrix), where=totals != 0)


def run() -> None:
    heading("task scoring: the source of normalise_rows")
    code = inspect.getsource(normalise_rows)
    name = normalise_rows.__name__
    counts = score_indicators(code, name)
    labels = ("cpu", "memory", "parallel", "gpu operation", "large data", "embarrassing", "sequential")
    show("indicator counts", dict(zip(labels, counts)))
    numpy_score, pandas_score, sklearn_score = score_framework_patterns(code)
    show("framework scores (np, pd, sk)", f"{numpy_score:.3f}, {pandas_score:.3f}, {sklearn_score:.3f}")
    show("quick numpy pattern score", quick_framework_score(code, "numpy"))

    heading("task scoring: estimates and the workload pattern")
    cpu, memory, parallel, gpu_ops, large_data = normalize_scores(*counts[:5])
    suitability = calculate_gpu_suitability(gpu_ops, large_data, cpu, True, "8.6")
    potential = calculate_parallelization_potential(parallel, counts[5], counts[6], 0.5)
    show("GPU suitability (capability 8.6)", f"{suitability:.3f}")
    show("GPU speed-up estimate", f"{estimate_gpu_speedup(gpu_ops, large_data, True):.1f}x")
    show("parallelisation potential", f"{potential:.3f}")
    for numpy_threshold in (0.5, 0.1):
        pattern = determine_workload_pattern(
            cpu, memory, potential, suitability, gpu_ops, numpy_score, pandas_score, sklearn_score,
            counts[6], counts[5], 0.5, 0.5, 0.3, numpy_threshold, 0.5, 0.5, True)
        show(f"pattern code (numpy threshold {numpy_threshold})", pattern)
