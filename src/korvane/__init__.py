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

Beside them, ``korvane.threads`` makes per-thread handles of bound methods,
for calling one shared object from many threads without the GIL.

``python -m korvane`` gives a short tour.
"""

__version__ = "0.1.0"

# The interpreters the native modules are built for.
_SUPPORTED = ((3, 13), (3, 14), (3, 15))
_NATIVE = ("memory/lockfree_core", "memory/block_index", "memory/slab_engine", "native/host_probe",
           "plugins/analyzer/task_scoring", "plugins/analyzer/adaptation_policy", "monitoring/counter_hub",
           "gpu/accel_planner")


def _require_native_modules() -> None:
    """Raises ImportError naming this interpreter and the supported ones when
    none of the native modules is built for it: a source tree without a build,
    or a build for another interpreter. Usually one file lookup."""
    import os
    import sys
    from importlib.machinery import EXTENSION_SUFFIXES

    here = os.path.dirname(os.path.abspath(__file__))
    for module in _NATIVE:
        stem = os.path.join(here, *module.split("/"))
        if any(os.path.exists(stem + suffix) for suffix in EXTENSION_SUFFIXES):
            return
    impl = {"cpython": "CPython", "pypy": "PyPy"}.get(sys.implementation.name, sys.implementation.name)
    free_threaded = " free-threaded" if "t" in getattr(sys, "abiflags", "") else ""
    running = f"{impl} {sys.version.split()[0]}{free_threaded} ({sys.executable})"
    *others, last = (f"{major}.{minor}" for major, minor in _SUPPORTED)
    supported = f"CPython {', '.join(others)} and {last}"
    memory = os.path.join(here, "memory")
    builds = sorted(name[14:-3] for name in (os.listdir(memory) if os.path.isdir(memory) else ())
                    if name.startswith("lockfree_core.") and name.endswith(".so"))
    found = f"; the native modules in {here} are built for {', '.join(builds)}" if builds else ""
    if impl == "CPython" and sys.version_info[:2] in _SUPPORTED:
        raise ImportError(f"korvane's native modules are not built for {running}{found}; install korvane "
                          f"for this interpreter (supported: {supported})", name=__name__)
    raise ImportError(f"korvane supports {supported}, not {running}{found}", name=__name__)

_require_native_modules()


def get_include() -> str:
    """The directory of korvane's C headers (``korvane.h`` and ``korvane/*.h``),
    for building native clients of its operation tables."""
    import os

    return os.path.join(os.path.dirname(__file__), "include")
