"""Accelerator planner beside the same rules written in plain Python."""

import math

import pytest

from korvane.gpu import accel_planner as ap


def py_safe_limit(available, ratio):
    if ratio < 0:
        ratio = 0.0
    elif ratio > 0.99:
        ratio = 0.99
    return int((1.0 - ratio) * available)


FITS = (0, 0, 1, "Allocation fits in GPU memory")
NO_MEMORY = (2, 0, 1, "No GPU memory available")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def py_decide_allocation_strategy(requested, available, ratio, chunkable):
    safe = py_safe_limit(available, ratio)
    if safe == 0:
        return NO_MEMORY
    if safe >= requested:
        return FITS
    if chunkable:
        n = math.ceil(requested / safe)
        return (1, safe, n, f"Chunking into {n} GPU passes")
    return NOT_CHUNKABLE


def py_compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes <= 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row_bytes = element_size * math.prod(rest)
    rows = 1 if row_bytes > max_chunk_bytes else max(max_chunk_bytes // row_bytes, 1)
    chunks, remaining = [], shape[0]
    while remaining > 0:
        n = min(remaining, rows)
        chunks.append((n,) + rest)
        remaining -= n
    return chunks


def py_is_oom_error(message, type_name):
    m, t = message.lower(), type_name.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


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
