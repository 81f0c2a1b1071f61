"""Planning a large array for a GPU with a given amount of free memory."""

from korvane._tour import heading, show
from korvane.gpu.accel_planner import (
    calculate_memory_pressure,
    calculate_optimal_chunks,
    calculate_safe_limit,
    compute_chunk_shapes,
    decide_allocation_strategy,
    estimate_allocation_bytes,
    is_chunkable_operation,
    is_oom_error,
    recommend_headroom,
    score_gpu_suitability,
)

GIB = 2**30
STRATEGIES = {0: "GPU_DIRECT", 1: "GPU_CHUNKED", 2: "CPU_FALLBACK"}


def run() -> None:
    heading("accelerator planner: a 40000 x 20000 float32 array on a GPU with 2 GiB free")
    shape, element_size, free = (40_000, 20_000), 4, 2 * GIB
    pressure = calculate_memory_pressure(6 * GIB, 8 * GIB)
    headroom = recommend_headroom(pressure)
    show("memory pressure (6 of 8 GiB used)", f"{pressure:.2f}")
    show("recommended headroom", f"{headroom:.3f}")
    needed = estimate_allocation_bytes(shape, element_size)
    safe = calculate_safe_limit(free, headroom)
    show("allocation estimate", f"{needed:,} bytes ({needed / GIB:.2f} GiB)")
    show("safe limit", f"{safe:,} bytes")
    operation = "zeros"
    code, chunk_bytes, passes, message = decide_allocation_strategy(needed, free, headroom,
                                                                    is_chunkable_operation(operation))
    show("decision", f"{STRATEGIES[code]} ({message})")
    show("bytes per pass", f"{chunk_bytes:,}")
    show("optimal chunk count", calculate_optimal_chunks(needed, free, headroom))
    chunks = compute_chunk_shapes(shape, element_size, chunk_bytes)
    show("chunk shapes", f"{len(chunks)} chunks: {chunks[0]} x {len(chunks) - 1}, last {chunks[-1]}")
    show("rows covered", sum(c[0] for c in chunks))
    show("'matmul' instead", decide_allocation_strategy(needed, free, headroom, is_chunkable_operation("matmul")))
    show("GPU suitability of 'zeros'", f"{score_gpu_suitability(needed, operation, free, headroom):.3f}")

    heading("accelerator planner: out-of-memory classification")
    for label, message, type_name in (
        ("'OUT OF MEMORY' from RuntimeError", "CUDA error: OUT OF MEMORY (tried to allocate 2.98 GiB)", "RuntimeError"),
        ("empty message, OutOfMemoryError", "", "torch.cuda.OutOfMemoryError"),
        ("'device-side assert' RuntimeError", "CUDA error: device-side assert triggered", "RuntimeError"),
    ):
        show(label, is_oom_error(message, type_name))
