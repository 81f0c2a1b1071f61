"""korvane: the native layer of the korvane performance framework.

Eight CPython extension modules, each imported on its own:

- ``korvane.memory.lockfree_core``: atomic counter, versioned pointer, stack,
  allocation statistics and a nanosecond timer;
- ``korvane.memory.block_index``: a size-keyed red-black tree of free blocks
  with lock-free best-fit readers;
- ``korvane.memory.slab_engine``: the checked 16-byte slab header with its
  object bitmap, size-bucket free lists and slab statistics;
- ``korvane.native.host_probe``: CPU, NUMA, GPU and runtime detection;
- ``korvane.plugins.analyzer.task_scoring`` and
  ``korvane.plugins.analyzer.adaptation_policy``: the analyzer's and the
  orchestrator's scoring and decision arithmetic;
- ``korvane.monitoring.counter_hub``: running statistics of counters;
- ``korvane.gpu.accel_planner``: GPU allocation planning and chunking.

``python -m korvane`` gives a short tour.
"""

__version__ = "0.1.0"


def get_include() -> str:
    """The directory of korvane's C headers (``korvane.h`` and ``korvane/*.h``),
    for building native clients of its operation tables."""
    import os

    return os.path.join(os.path.dirname(__file__), "include")
