"""Accelerator planner beside the same rules written in plain Python."""

import pytest

from korvane.gpu import accel_planner as ap
from test_accel_planner import py_chunk_shapes as py_compute_chunk_shapes
from test_accel_planner import py_decide as py_decide_allocation_strategy
from test_accel_planner import py_is_oom as py_is_oom_error

IMPLS = ["korvane", "pure Python"]

@pytest.mark.benchmark(group="decide_allocation_strategy (chunked)")
@pytest.mark.parametrize("impl", IMPLS)
def test_decide_chunked(benchmark, impl):
    fn = ap.decide_allocation_strategy if impl == "korvane" else py_decide_allocation_strategy
    assert benchmark(fn, 20 * 2**30, 8 * 2**30, 0.2, True)[2] == 4

@pytest.mark.benchmark(group="decide_allocation_strategy (fits)")
@pytest.mark.parametrize("impl", IMPLS)
def test_decide_fits(benchmark, impl):
    fn = ap.decide_allocation_strategy if impl == "korvane" else py_decide_allocation_strategy
    assert benchmark(fn, 2**30, 8 * 2**30, 0.2, False)[0] == 0

@pytest.mark.benchmark(group="compute_chunk_shapes (5 chunks)")
@pytest.mark.parametrize("impl", IMPLS)
def test_chunk_shapes_small(benchmark, impl):
    fn = ap.compute_chunk_shapes if impl == "korvane" else py_compute_chunk_shapes
    assert len(benchmark(fn, (10, 4), 8, 64)) == 5

@pytest.mark.benchmark(group="compute_chunk_shapes (100 chunks)")
@pytest.mark.parametrize("impl", IMPLS)
def test_chunk_shapes_large(benchmark, impl):
    fn = ap.compute_chunk_shapes if impl == "korvane" else py_compute_chunk_shapes
    assert len(benchmark(fn, (100_000, 256, 3), 4, 3072 * 1000)) == 100

@pytest.mark.benchmark(group="is_oom_error (match)")
@pytest.mark.parametrize("impl", IMPLS)
def test_oom_match(benchmark, impl):
    fn = ap.is_oom_error if impl == "korvane" else py_is_oom_error
    assert benchmark(fn, "CUDA error: out of memory (tried to allocate 2.00 GiB)", "RuntimeError") is True

@pytest.mark.benchmark(group="is_oom_error (no match)")
@pytest.mark.parametrize("impl", IMPLS)
def test_oom_no_match(benchmark, impl):
    fn = ap.is_oom_error if impl == "korvane" else py_is_oom_error
    message = "Expected all tensors to be on the same device, but found at least two devices, cuda:0 and cpu!"
    assert benchmark(fn, message, "RuntimeError") is False
