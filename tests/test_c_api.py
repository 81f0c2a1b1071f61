"""The C API: a client extension built against the installed headers alone
(korvane.get_include()) runs the native operation tables, from threads of its
own that hold no interpreter lock, on objects Python also sees."""

import importlib.util
import os
import re
import shlex
import shutil
import struct
import subprocess
import sysconfig
import threading
from pathlib import Path

import pytest

import korvane
from korvane.memory.lockfree_core import AtomicCounter, AtomicCounterWrapper, LockFreeStack, LockFreeStatistics
from korvane.memory.slab_engine import FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector
from korvane.monitoring.counter_hub import CounterAggregator
from test_slab_engine import EDGE_I32, PARAMS, BucketModel, record

HERE = Path(__file__).parent
CLIENT_SOURCE = HERE / "c_api_client.c"

# The client's `tables`, in its order: each capsule and the type it serves.
TABLES = {f"{cls.__module__}.{cls.__name__}._native_ops": cls for cls in (
    AtomicCounter, LockFreeStatistics, FastSlabHeaderOps, FastBucketAllocator, FastStatsCollector,
    CounterAggregator)}


def build_client(directory, source, name, cxx=False, flags=()):
    """Compiles the C extension `source` (C++ with `cxx`) as module `name` in `directory` with the
    interpreter's compiler against the installed headers, and imports it."""
    var, default = ("CXX", "c++") if cxx else ("CC", "cc")
    compiler = shlex.split(os.environ.get(var) or sysconfig.get_config_var(var) or default)
    if shutil.which(compiler[0]) is None:
        pytest.skip(f"no compiler ({compiler[0]}) to build a native test client with")
    target = Path(directory) / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    coverage = os.environ.get("KORVANE_TEST_COVERAGE_DIR")  # make coverage: counters of the client's lines
    if coverage:
        flags = [*flags, "-O0", "--coverage", "-dumpdir", f"{coverage}/{name}-"]
    command = [*compiler, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", "-pthread", *flags,
               f"-I{korvane.get_include()}", f"-I{sysconfig.get_path('include')}", str(source), "-o", str(target)]
    # The compiler runs without the sanitizer runtime that `make sanitize` preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(command, capture_output=True, text=True, env=env)
    assert built.returncode == 0, built.stderr
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    return build_client(tmp_path_factory.mktemp("c_api"), CLIENT_SOURCE, "c_api_client")


def test_tables_carry_their_size_and_type_and_import_checks_both(client):
    assert {name: cls for name, (size, compiled, cls) in client.tables.items() if size == compiled} == TABLES
    counter = "korvane.memory.lockfree_core.AtomicCounter._native_ops"
    size = client.tables[counter][0]
    # A client built against older headers knows a shorter table: what it knows is there.
    for client_size in (size, size - 8, 16, 0):
        assert client.import_table("korvane.memory.lockfree_core", "AtomicCounter", counter, client_size) == size
    with pytest.raises(ImportError) as info:
        client.import_table("korvane.memory.lockfree_core", "AtomicCounter", counter, size + 8)
    assert str(info.value) == (f"{counter} has {size} bytes but this client was compiled for {size + 8}: "
                               "the installed korvane is older than the headers it was built with")
    statistics = "korvane.memory.lockfree_core.LockFreeStatistics._native_ops"
    for type_name, capsule in [("AtomicCounter", statistics), ("LockFreeStack", counter), ("Missing", counter)]:
        with pytest.raises(ImportError) as info:
            client.import_table("korvane.memory.lockfree_core", type_name, capsule, 0)
        assert str(info.value) == f"korvane.memory.lockfree_core.{type_name} has no native operation table named {capsule}"
    with pytest.raises(ModuleNotFoundError):
        client.import_table("korvane.no_such_module", "AtomicCounter", counter, 0)


def test_type_check_accepts_the_type_and_subclasses_only(client):
    objects = [AtomicCounter(), LockFreeStatistics(), FastSlabHeaderOps(1, 8), FastBucketAllocator(),
               FastStatsCollector(), CounterAggregator(2)]
    assert [[client.check(i, obj) for obj in objects] for i in range(6)] == [
        [i == j for j in range(6)] for i in range(6)]
    for i, cls in enumerate(TABLES.values()):
        sub = type("Sub", (cls,), {})
        assert client.check(i, sub(*([1, 8] if cls is FastSlabHeaderOps else []))) is True
        assert [client.check(i, obj) for obj in (None, 7, LockFreeStack(), AtomicCounterWrapper(), cls)] == [False] * 5
    # The client refuses what the check refuses, so the operations never see it.
    wrapper = AtomicCounterWrapper(3)
    with pytest.raises(TypeError, match="^expected korvane.memory.lockfree_core.AtomicCounter, got AtomicCounterWrapper$"):
        client.count_up(wrapper, False, 4, 10)
    with pytest.raises(TypeError, match="^expected korvane.memory.slab_engine.FastBucketAllocator, got korvane.memory.slab_engine.FastSlabHeaderOps$"):
        client.slab_churn(objects[2], objects[2], objects[4], 1, 1)
    assert wrapper.load() == 3 and objects[2].pack_header() == FastSlabHeaderOps(1, 8).pack_header()


def test_counter_from_native_threads_is_exact(client):
    counter, python_adds = AtomicCounter(5), 100_000

    def python_side():
        for _ in range(python_adds):
            counter.increment()

    beside = threading.Thread(target=python_side)
    beside.start()
    assert client.count_up(counter, False, 4, 10**6) == 0  # each thread's results only grow
    beside.join()
    assert counter.load() == 5 + 4 * 10**6 + python_adds
    subclassed = type("Sub", (AtomicCounter,), {})(-7)
    assert client.count_up(subclassed, True, 4, 10**6) == 0  # compare-and-swap loops
    assert subclassed.load() == -7 + 4 * 10**6


def test_statistics_peaks_from_native_threads_never_lower(client):
    stats = LockFreeStatistics()
    stats.py_record_allocation(64, True)
    stats.py_record_allocation(64, False)
    assert client.peaks(stats) == (2, 128)  # the native peaks Python's py_record_allocation raised
    stats.py_record_deallocation(64)
    stats.py_record_deallocation(64, 10)
    stats.py_record_allocation(32, True)
    assert client.peaks(stats) == (2, 128)  # the deallocations lowered what the next allocation adds to
    most_allocations, most_bytes, violations = client.raise_peaks(stats, 4, 10**6)
    assert violations == 0
    assert client.peaks(stats) == (max(2, most_allocations), max(128, most_bytes))
    assert stats.peak_allocations.load() == 0  # the public counters are separate
    stats.reset()
    assert client.peaks(stats) == (0, 0)


def test_slab_operations_serialised_by_the_client_match_python(client):
    header, allocator, collector = FastSlabHeaderOps(7, 40), FastBucketAllocator(), FastStatsCollector()
    header.py_allocate_object_at(3)  # a slot the client must leave alone
    done = client.slab_churn(header, allocator, collector, 4, 50_000)
    assert done["violations"] == 0 and min(done["allocations"], done["deallocations"]) > 10_000
    bitmap = (2**40 - 1) & ~(1 << 3) & ~done["held"]
    packed = header.pack_header()
    assert packed == record(7, 0x10, 1 + done["allocations"] + done["deallocations"], bitmap)
    assert struct.unpack_from("<H", packed, 6)[0] == done["checksum"]
    assert [header.py_is_object_free(i) for i in range(64)] == [bool(bitmap >> i & 1) for i in range(64)]
    allocations, bucketed = done["allocations"], done["bucketed"]
    assert collector.get_stats() == {
        "total_allocations": allocations, "total_deallocations": done["deallocations"],
        "bucketed_allocations": bucketed, "fallback_allocations": allocations - bucketed,
        "bucketed_allocation_ratio": f"{bucketed / allocations * 100:.1f}%",
        "alignment_padding_bytes": done["padding"]}
    for slot in [i for i in range(64) if done["held"] >> i & 1] + [3]:
        header.py_deallocate_object_at(slot)
    assert header.pack_header()[1] == 0 and header.py_find_free_object() == 0

    sizes = EDGE_I32 + list(range(-20, 5000, 7))
    for params in PARAMS:
        model = BucketModel(*params)
        assert client.bucket_sizes(FastBucketAllocator(*params), sizes) == [model.bucket(s) for s in sizes]


def test_counter_aggregator_table_reaches_overrides(client):
    class Doubling(CounterAggregator):
        def update(self, counter_id, value):
            super().update(counter_id, value * 2)

    assert client.update_and_read(CounterAggregator(4), 1, 2.5)["mean"] == 2.5
    assert client.update_and_read(Doubling(4), 1, 2.5)["mean"] == 5.0
    with pytest.raises(IndexError, match="^Counter ID 4 out of range$"):
        client.update_and_read(CounterAggregator(4), 4, 1.0)


def test_readme_example_builds_and_runs(tmp_path, readme_path):
    section = readme_path.read_text().split("\n## C API\n", 1)[1].split("\n## ", 1)[0]
    source = re.search(r"```c\n(.*?)```", section, re.S).group(1)
    name = re.search(r"PyInit_(\w+)", source).group(1)
    (tmp_path / f"{name}.c").write_text(source)
    example = build_client(tmp_path, tmp_path / f"{name}.c", name)
    hits = AtomicCounter(1)
    assert example.add_many(hits, 1000) == 1001 and hits.load() == 1001
    with pytest.raises(TypeError):
        example.add_many(AtomicCounterWrapper(), 1)
