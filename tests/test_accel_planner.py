"""Tests of korvane.gpu.accel_planner: examples, messages and a Python model."""

import collections
import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

from korvane.gpu import accel_planner as ap

I32 = 2**31 - 1
I64 = 2**63 - 1
U64 = 2**64 - 1


# A straightforward Python rendering of the planning rules.
def py_safe_limit(available, ratio):
    if ratio < 0:
        ratio = 0.0
    elif not ratio <= 0.99:
        ratio = 0.99
    return min(int(min((1.0 - ratio) * float(available), float(U64))), U64, available)


def py_estimate(shape, element_size, factor=1.0):
    count = 1
    for dim in shape:
        if dim <= 0:
            return 0
        if count > I64 // dim:
            return I64
        count *= dim
    if element_size > 0 and count > I64 // element_size:
        return I64
    nbytes = (count * element_size) % 2**64
    if factor > 1.0:
        scaled = float(nbytes) * factor
        nbytes = 0 if math.isnan(scaled) else min(int(min(scaled, 2.0**64)), U64)  # 0 bytes x inf is 0
    return nbytes


def py_decide(requested, available, ratio, chunkable):
    safe = py_safe_limit(available, ratio)
    if safe == 0:
        return (2, 0, 1, "No GPU memory available")
    if safe >= requested:
        return (0, 0, 1, "Allocation fits in GPU memory")
    if chunkable:
        n = -(-requested // safe)
        return (1, safe, n, f"Chunking into {n} GPU passes")
    return (2, 0, 1, "Operation not chunkable, falling back to CPU")


def py_chunk_shapes(shape, element_size, max_chunk_bytes):
    if not shape:
        return [shape]
    row = element_size * math.prod(shape[1:])
    if row == 0:
        rows = I32
    elif row > max_chunk_bytes:
        rows = 1
    else:
        rows = min(max_chunk_bytes // row, I32)
    out, remaining = [], shape[0]
    while remaining > 0:
        n = min(remaining, rows)
        out.append((n,) + shape[1:])
        remaining -= n
    return out


def py_optimal_chunks(total, available, ratio, lo=1, hi=1000):
    safe = py_safe_limit(available, ratio)
    if safe == 0:
        return hi
    h = min(-(-total // safe), I32)
    return lo if h < lo else hi if h > hi else h


def py_is_oom(message, type_name):
    m, t = message.lower(), type_name.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


u64 = st.one_of(st.integers(0, 2**20), st.integers(0, U64))
ratios = st.one_of(st.floats(-2, 2), st.sampled_from([0.0, 0.99, 1.0, -0.0, math.nan, math.inf]))


def test_documented_examples():
    est = ap.estimate_allocation_bytes
    assert [est((1000, 1000), 8), est((1000, 1000), 8, 1.5), est((1000, 1000), 8, overhead_factor=0.5)] == [
        8000000, 12000000, 8000000]
    assert [est((10, 0, 5), 4), est((), 4), est((I32, I32, I32), 8)] == [0, 4, I64]
    assert [ap.calculate_safe_limit(1000, r) for r in (0.2, -1, 5)] == [800, 1000, 10]
    assert ap.compute_chunk_shapes((10, 4), 8, 64) == [(2, 4)] * 5
    assert ap.compute_chunk_shapes((5,), 8, 20) == [(2,), (2,), (1,)]
    assert ap.compute_chunk_shapes((3, 100), 8, 10) == [(1, 100)] * 3
    assert ap.compute_chunk_shapes((0, 4), 8, 64) == []
    opt = ap.calculate_optimal_chunks
    assert [opt(1000, 0, 0.2), opt(0, 1000, 0.2), opt(10**9, 1000, 0.0), opt(2500, 1000, 0.0, 5, 2)] == [
        1000, 1, 1000, 5]
    assert ap.is_chunkable_operation("random.randn")
    assert not any(map(ap.is_chunkable_operation, ["matmul", None, "Zeros", "zeros "]))
    score = ap.score_gpu_suitability
    assert [score(800, "zeros", 1000, 0.0), score(400, "zeros", 1000, 0.0), score(2000, "matmul", 1000, 0.0),
            score(800, "zeros", 0, 0.0), score(800, "reshape", 1000, 0.0), score(800, None, 1000, 0.0)] == [
        0.9, 0.45, 0.35, 0.0, 0.5, 0.5]
    assert [ap.calculate_memory_pressure(*a) for a in ((5, 0), (50, 200), (300, 200))] == [1.0, 0.25, 1.0]
    cases = [((0.9,), 0.8), ((0.7,), 0.6), ((0.5,), 0.5), ((0.1,), 0.4), ((0.1, 0.35), 0.3), ((0.5, 0.95), 0.8),
             ((0.5, 0.1), 0.3), ((0.8,), 0.65), ((0.6,), 0.5), ((0.3,), 0.4), ((0.1, math.nan), 0.3)]
    assert [ap.recommend_headroom(*a) for a, _ in cases] == pytest.approx([want for _, want in cases])


def test_decisions_and_fixed_tuples():
    d = ap.decide_allocation_strategy
    fits = d(100, 1000, 0.2, False)
    assert fits == (0, 0, 1, "Allocation fits in GPU memory")
    assert d(800, 1000, 0.2, False) is fits and d(0, U64, 0.0, True) is fits
    assert d(801, 1000, 0.2, True) == (1, 800, 2, "Chunking into 2 GPU passes")
    assert d(801, 1000, 0.2, True) is not d(801, 1000, 0.2, True)
    cpu = d(801, 1000, 0.2, False)
    assert cpu == (2, 0, 1, "Operation not chunkable, falling back to CPU") and d(9, 4, 0.5, 0) is cpu
    none = d(0, 0, 0.2, True)
    assert none == (2, 0, 1, "No GPU memory available") and d(5, 0, 0.0, False) is none

    class Raises:
        def __bool__(self):
            raise ZeroDivisionError

    assert d(801, 1000, 0.2, [0])[0] == 1 and d(801, 1000, 0.2, "")[0] == 2
    with pytest.raises(ZeroDivisionError):  # tested even when the request fits
        d(1, 1000, 0.2, Raises())


Point = collections.namedtuple("Point", "x y")
NEG = "can't convert negative value to uint64_t"
NO_LEN = "object of type 'NoneType' has no len()"
LOWER_NONE = "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"
BAD_CALLS = [  # exception, whole message (None: any), function, arguments
    (TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)", "estimate_allocation_bytes",
     ([10], 4)),
    (TypeError, "Argument 'shape' has incorrect type (expected tuple, got Point)", "compute_chunk_shapes",
     (Point(3, 4), 8, 64)),
    (TypeError, NO_LEN, "estimate_allocation_bytes", (None, 4)),
    (TypeError, NO_LEN, "compute_chunk_shapes", (None, 8, 64)),
    (ValueError, "element_size must be positive", "compute_chunk_shapes", (None, 0, 0)),
    (ValueError, "max_chunk_bytes must be positive", "compute_chunk_shapes", ((4,), 8, 0)),
    (OverflowError, NEG, "calculate_safe_limit", (-1, 0.2)),
    (OverflowError, NEG, "compute_chunk_shapes", ((4, -1), 8, 64)),
    (OverflowError, None, "estimate_allocation_bytes", ((2**31,), 4)),
    (OverflowError, None, "compute_chunk_shapes", ((2**31, 1), 8, 64)),
    (OverflowError, None, "calculate_safe_limit", (2**64, 0.1)),
    (TypeError, "Argument 'error_message' has incorrect type (expected str, got bytes)", "is_oom_error",
     (b"x", "y")),
    (TypeError, "Argument 'operation' has incorrect type (expected str, got int)", "is_chunkable_operation", (3,)),
    (TypeError, "Argument 'operation_type' has incorrect type (expected str, got S)", "score_gpu_suitability",
     (1, type("S", (str,), {})("zeros"), 1, 0.1)),
    (TypeError, LOWER_NONE, "is_oom_error", (None, "x")),
    (TypeError, LOWER_NONE, "is_oom_error", ("out of memory", None)),
    (TypeError, "estimate_allocation_bytes() takes at least 2 positional arguments (1 given)",
     "estimate_allocation_bytes", ((1,),)),
]


@pytest.mark.parametrize("exc_type, message, name, args", BAD_CALLS)
def test_bad_arguments(exc_type, message, name, args):
    with pytest.raises(exc_type) as info:
        getattr(ap, name)(*args)
    assert message is None or str(info.value) == message


def test_conversions():
    # __int__ / __float__ conversions; dimensions after a zero are never read.
    assert ap.estimate_allocation_bytes((2.9, 3), 4.5) == 24
    assert ap.estimate_allocation_bytes((0, "x"), 4) == 0
    assert ap.calculate_optimal_chunks(total_bytes=10, available_bytes=10, headroom_ratio=0.0, max_chunks=3) == 1


def test_overflow_edges_saturate():
    est = ap.estimate_allocation_bytes
    assert est((I32, I32), 2, 8.0) == U64  # overhead step past 2**64
    assert est((I32, I32), 2, 1.5) == int(float(2 * I32 * I32) * 1.5) > I64
    assert est((2,), 4, math.inf) == U64 and est((2,), 4, math.nan) == 8
    assert est((3,), -2) == 2**64 - 6  # two's-complement product, read as unsigned
    assert ap.calculate_safe_limit(U64, 0.0) == U64 and ap.calculate_safe_limit(U64, math.nan) == ap.calculate_safe_limit(U64, 0.99)
    assert ap.calculate_safe_limit(2**54 + 3, 0.0) == 2**54 + 3  # the double rounds up; never above available
    assert ap.decide_allocation_strategy(U64, 1, 0.0, True) == (1, 1, U64, f"Chunking into {U64} GPU passes")
    # Exact ceiling where doubles would round the pass count down.
    assert ap.decide_allocation_strategy(2**60 + 1, 2**60, 0.0, True)[2] == 2
    assert ap.calculate_optimal_chunks(U64, 1, 0.0, 1, I32) == I32
    assert ap.calculate_optimal_chunks(2**60 + 1, 2**60, 0.0) == 2
    # ... and where request + safe limit would pass 2**64.
    assert ap.decide_allocation_strategy(U64, 2**40, 0.0, True)[2] == 2**24
    assert ap.calculate_optimal_chunks(U64, 2**40, 0.0, 1, I32) == 2**24
    # Zero-byte rows all fit in one chunk; huge row counts per chunk saturate.
    assert ap.compute_chunk_shapes((I32, 0), 8, 1) == [(I32, 0)]
    assert ap.compute_chunk_shapes((7, 2**40, 2**40, 0), 8, 64) == [(7, 2**40, 2**40, 0)]
    assert ap.compute_chunk_shapes((I32,), 1, U64) == [(I32,)]
    assert ap.compute_chunk_shapes((3, 2**40, 2**40), 8, U64) == [(1, 2**40, 2**40)] * 3  # row past 2**64


@settings(max_examples=300)
@given(shape=st.lists(st.integers(-3, I32), max_size=4).map(tuple), element_size=st.integers(-8, 2**31 - 1),
       factor=st.one_of(st.floats(0, 4), st.just(math.inf)))
def test_estimate_matches_model(shape, element_size, factor):
    assert ap.estimate_allocation_bytes(shape, element_size, factor) == py_estimate(shape, element_size, factor)


@settings(max_examples=300)
@given(requested=u64, available=u64, ratio=ratios, chunkable=st.booleans(), lo=st.integers(-5, 50),
       hi=st.integers(-5, 2000))
def test_decisions_match_model(requested, available, ratio, chunkable, lo, hi):
    assert ap.calculate_safe_limit(available, ratio) == py_safe_limit(available, ratio)
    got = ap.decide_allocation_strategy(requested, available, ratio, chunkable)
    assert got == py_decide(requested, available, ratio, chunkable)
    if got[0] == 1:
        assert got[1] * (got[2] - 1) < requested <= got[1] * got[2] and got[1] <= available
    assert ap.calculate_optimal_chunks(requested, available, ratio, lo, hi) == py_optimal_chunks(
        requested, available, ratio, lo, hi)


dims = st.one_of(st.integers(0, 64), st.integers(0, 2**40))


@settings(max_examples=300)
@given(shape=st.tuples(st.integers(-2, 5000)) | st.tuples(st.integers(-2, 5000), dims)
       | st.tuples(st.integers(-2, 500), dims, dims, dims),
       element_size=st.integers(1, 2**31 - 1), max_chunk_bytes=u64.filter(bool))
def test_chunk_shapes_cover_first_axis(shape, element_size, max_chunk_bytes):
    chunks = ap.compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    assert chunks == py_chunk_shapes(shape, element_size, max_chunk_bytes)
    assert sum(c[0] for c in chunks) == max(shape[0], 0)
    assert all(c[0] > 0 and c[1:] == shape[1:] for c in chunks)


def test_chunk_shapes_keep_callers_objects():
    marker = 2**70 // 2**40  # a trailing dimension held only here
    shape = (10, marker)
    before = sys.getrefcount(marker)
    chunks = ap.compute_chunk_shapes(shape, 1, 3 * marker)
    assert [c[1] is marker for c in chunks] == [True] * 4
    assert sys.getrefcount(marker) == before + 2  # one shared full chunk, one last chunk
    del chunks
    assert sys.getrefcount(marker) == before
    empty = ()
    assert ap.compute_chunk_shapes(empty, 8, 10)[0] is empty


@settings(max_examples=500)
@given(message=st.text(alphabet=st.sampled_from("OUTFMEMRYCDAGPILSNou tfmerycdagpilsn\u0130\u212a\xe9\u03a3\U0001f600"),
                       max_size=40) | st.text(max_size=40),
       type_name=st.sampled_from(["", "RuntimeError", "torch.cuda.OutOfMemoryError", "OUTOFMEMORYERROR\u0130",
                                  "MemoryError"]))
def test_oom_matches_str_lower(message, type_name):
    assert ap.is_oom_error(message, type_name) is py_is_oom(message, type_name)


def test_oom_phrases():
    yes = ["CUDA error: OUT OF MEMORY", "cUdA MEMORY", "allocation FAILED", "Insufficient memory",
           "gpu memory exhausted", "\u00c9chec: Out Of Memory", "x" * 5000 + "Out of Memory"]
    assert all(ap.is_oom_error(m, "RuntimeError") for m in yes)
    assert ap.is_oom_error("", "torch.cuda.OutOfMemoryError") and ap.is_oom_error("", "OUTOFMEMORYERROR")
    no = [("cuda launch failure", "RuntimeError"), ("", "MemoryError"), ("memory fine", "x"),
          ("out of\u00a0memory", ""), ("x" * 5000, "y" * 5000)]
    assert not any(ap.is_oom_error(m, t) for m, t in no)


@given(p=st.floats(-1, 2), b=st.floats(-1, 2), used=u64, total=u64)
def test_pressure_and_headroom_ranges(p, b, used, total):
    assert 0.3 <= ap.recommend_headroom(p, b) <= 0.8
    assert 0.0 <= ap.calculate_memory_pressure(used, total) <= 1.0


def test_import_binds_attributes_in_order_and_logs(python_subprocess):
    result = python_subprocess("""
        import logging
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        logging.getLogger("korvane.gpu.accel_planner").addHandler(handler)
        logging.getLogger().setLevel(logging.INFO)
        import korvane.gpu.accel_planner as m
        print([k for k in vars(m) if not k.startswith("__")])
        print([(r.name, r.levelname, r.getMessage()) for r in records])
    """)
    assert result.returncode == 0, result.stderr
    names, records = result.stdout.splitlines()
    assert names == str([
        "estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy", "compute_chunk_shapes",
        "calculate_optimal_chunks", "is_oom_error", "is_chunkable_operation", "score_gpu_suitability",
        "calculate_memory_pressure", "recommend_headroom", "logging", "logger"])
    assert records == str([("korvane.gpu.accel_planner", "INFO",
                            "Korvane Accel Planner Cython module loaded - IP protected")])
