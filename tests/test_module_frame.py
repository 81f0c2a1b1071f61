"""Initialisation rules shared by every extension module of the package."""

import builtins
import contextlib
import gc
import importlib.machinery
import importlib.metadata
import importlib.util
import inspect
import os
import platform
import subprocess
import sys
import sysconfig
import threading
import types
from pathlib import Path

import pytest

try:
    from _testcapi import remove_mem_hooks, set_nomemory
except ImportError:
    set_nomemory = None

import korvane
from conftest import tracked_as_inserted
from korvane.memory import block_index, lockfree_core, slab_engine
from korvane.monitoring import counter_hub

MODULES = [
    "korvane.memory.lockfree_core",
    "korvane.memory.block_index",
    "korvane.memory.slab_engine",
    "korvane.native.host_probe",
    "korvane.plugins.analyzer.task_scoring",
    "korvane.plugins.analyzer.adaptation_policy",
    "korvane.monitoring.counter_hub",
    "korvane.gpu.accel_planner",
    "korvane.threads",
]


LOAD_MESSAGES = {
    "korvane.memory.lockfree_core": "Korvane Cython Lockfree Core loaded - C11 atomics active (10-20\u00d7 speedup)",
    "korvane.memory.slab_engine":
        "Korvane Slab Engine Cython module loaded - targeting 1.8-3\u00d7 performance improvement",
    "korvane.plugins.analyzer.task_scoring": "Korvane Task Scoring Cython module loaded - IP protected",
    "korvane.plugins.analyzer.adaptation_policy": "Korvane Adaptation Policy Cython module loaded - IP protected",
    "korvane.gpu.accel_planner": "Korvane Accel Planner Cython module loaded - IP protected",
}


def _require(name):
    assert importlib.util.find_spec(name) is not None, f"{name} is not built"


@pytest.mark.parametrize("name", MODULES)
def test_initialises_once_per_process_and_interpreter(name, python_subprocess):
    _require(name)
    short = name.rpartition(".")[2]
    result = python_subprocess(
        f"""
        import importlib, importlib.util, sys, _interpreters
        import {name} as first
        assert sys.modules[{name!r}] is first
        importlib.reload(first)                      # same module object: nothing happens
        spec = importlib.util.find_spec({name!r})
        second = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            print(exc)
        del sys.modules[{name!r}]
        try:
            importlib.import_module({name!r})
        except RuntimeError as exc:
            print(exc)
        sys.modules[{name!r}] = first
        for config in ("isolated", "legacy"):
            snapshot = _interpreters.exec(_interpreters.create(config), "import {name}")
            print(snapshot.type.__name__, snapshot.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    again = f"Module '{short}' has already been imported. Re-initialisation is not supported."
    refused = "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert result.stdout.splitlines() == [again, again, refused, refused]


@pytest.mark.parametrize("name", MODULES)
def test_import_logs_one_load_message_or_nothing(name, python_subprocess):
    _require(name)
    result = python_subprocess(
        f"""
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        import {name}
        import {name}
        for record in records:
            if record.name == {name!r}:
                print(record.name, record.levelname, record.getMessage(), sep="|")
        """
    )
    assert result.returncode == 0, result.stderr
    expected = [f"{name}|INFO|{LOAD_MESSAGES[name]}"] if name in LOAD_MESSAGES else []
    assert result.stdout.splitlines() == expected


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_importing_every_module_keeps_the_interpreter_lock_off(python_subprocess):
    # PYTHON_GIL="" counts as unset: the interpreter decides from what each module declares.
    result = python_subprocess(
        """
        import importlib, pkgutil, sys, warnings
        warnings.simplefilter("error")
        import korvane
        names = [m.name for m in pkgutil.walk_packages(korvane.__path__, "korvane.") if m.name != "korvane.__main__"]
        for name in names:
            importlib.import_module(name)
        print(len(names), sys._is_gil_enabled())
        """,
        env={"PYTHON_GIL": ""},
    )
    assert (result.returncode, result.stderr) == (0, "")
    count, enabled = result.stdout.split()
    assert int(count) > len(MODULES) and enabled == "False"


# The modules of the standard library each module imports at its import (the block index's other import
# rules are tested with it): (module, dependency, what stands in its place, the import's failure).
UNIMPORTABLE = "None", "ModuleNotFoundError import of {} halted; None in sys.modules"
MUTE_LOGGING = ("types.SimpleNamespace(getLogger=lambda name: object())",
                "AttributeError 'object' object has no attribute 'info'")
DEPENDENCIES = [
    *[(name, dependency, *UNIMPORTABLE) for name, dependency in [
        ("korvane.memory.lockfree_core", "threading"), ("korvane.memory.lockfree_core", "typing"),
        ("korvane.memory.lockfree_core", "logging"), ("korvane.memory.slab_engine", "threading"),
        ("korvane.memory.slab_engine", "logging"), ("korvane.native.host_probe", "os"),
        ("korvane.plugins.analyzer.task_scoring", "re"), ("korvane.plugins.analyzer.task_scoring", "logging"),
        ("korvane.plugins.analyzer.adaptation_policy", "logging"), ("korvane.monitoring.counter_hub", "threading"),
        ("korvane.gpu.accel_planner", "logging"), ("korvane.memory.block_index", "math")]],
    *[(name, "logging", *MUTE_LOGGING) for name in LOAD_MESSAGES],
    ("korvane.memory.slab_engine", "logging", "types.ModuleType('logging')",
     "AttributeError module 'logging' has no attribute 'getLogger'"),
    ("korvane.memory.lockfree_core", "typing", "types.ModuleType('typing')",
     "ImportError cannot import name 'Optional' from 'typing'"),
]


HEAPTYPE = 1 << 9  # the module's own extension types are static


@pytest.mark.parametrize("name, dependency, stand_in, failure", DEPENDENCIES,
                         ids=[f"{n.rpartition('.')[2]}-{d}-{s.partition('(')[0]}" for n, d, s, _ in DEPENDENCIES])
def test_a_dependency_that_cannot_be_imported_fails_the_import_until_it_can(name, dependency, stand_in, failure,
                                                                           python_subprocess):
    # A type readied before the failure is set up again as it was: flags and namespace as in a first import.
    _require(name)
    module = importlib.import_module(name)
    attributes = [k for k in vars(module) if not k.startswith("__")]
    types_ = [(k, v.__flags__, sorted(vars(v))) for k, v in vars(module).items()
              if isinstance(v, type) and not v.__flags__ & HEAPTYPE]
    result = python_subprocess(
        f"""
        import importlib, sys, types
        saved, sys.modules[{dependency!r}] = sys.modules.get({dependency!r}), {stand_in}
        try:
            importlib.import_module({name!r})
        except Exception as exc:
            print(type(exc).__name__, exc, {name!r} in sys.modules)
        if saved is None:
            del sys.modules[{dependency!r}]
        else:
            sys.modules[{dependency!r}] = saved
        module = importlib.import_module({name!r})
        print([k for k in vars(module) if not k.startswith("__")])
        print([(k, v.__flags__, sorted(vars(v))) for k, v in vars(module).items()
               if isinstance(v, type) and not v.__flags__ & {HEAPTYPE}])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"{failure.format(dependency)} False", repr(attributes), repr(types_)]


def test_module_globals_are_looked_up_at_call_time_then_in_the_builtins(monkeypatch):
    # As a global name in Python code: the module's own binding, else the builtins, else NameError.
    namespace = vars(lockfree_core)
    saved = dict(namespace)  # put back in binding order, which the module's own tests check
    try:
        del namespace["time"]
        with pytest.raises(NameError) as info:
            lockfree_core.PerformanceTimer().start()
        assert str(info.value) == "name 'time' is not defined"
        monkeypatch.setattr(builtins, "time", types.SimpleNamespace(perf_counter_ns=lambda: 7), raising=False)
        assert lockfree_core.PerformanceTimer().elapsed_ns() == 7
    finally:
        namespace.clear()
        namespace.update(saved)


@pytest.mark.parametrize("name", MODULES)
def test_registers_itself_under_its_dotted_name(name, python_subprocess, tmp_path):
    _require(name)
    short = name.rpartition(".")[2]
    result = python_subprocess(
        f"""
        import importlib, importlib.util, sys
        # The alias's package resolves the module's relative imports.
        sys.modules["elsewhere"] = importlib.import_module({name.rpartition(".")[0]!r})
        origin = importlib.util.find_spec({name!r}).origin
        spec = importlib.util.spec_from_file_location("elsewhere.{short}", origin)
        module = importlib.util.module_from_spec(spec)
        sys.modules["elsewhere.{short}"] = module
        spec.loader.exec_module(module)
        print(sys.modules[{name!r}] is module)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"]


@pytest.mark.parametrize("name", MODULES)
def test_functions_and_methods_have_signatures(name):
    _require(name)
    module = importlib.import_module(name)
    checked = 0
    for attr, value in vars(module).items():
        if attr.startswith("_") or getattr(value, "__module__", None) != name:
            continue
        members = [value] if callable(value) and not isinstance(value, type) else [
            v for k, v in vars(value).items() if callable(v) and not k.startswith("__")]
        for member in members:
            inspect.signature(member)
            checked += 1
    assert checked > 0


def test_version_and_license_are_those_of_the_installed_distribution():
    dist = importlib.metadata.distribution("korvane")
    assert korvane.__version__ == dist.version
    assert dist.metadata["License-Expression"] == "MIT"
    assert [f.name for f in dist.files if f.name == "LICENSE"] == ["LICENSE"]


def test_import_without_native_modules_for_this_interpreter_names_the_interpreters(tmp_path):
    """A copy of the package whose native modules were built for another
    interpreter: `import korvane` says which interpreter runs and which are
    supported; once one module is built for this interpreter, it imports."""
    package = tmp_path / "korvane"
    (package / "memory").mkdir(parents=True)
    (package / "__init__.py").write_bytes(Path(korvane.__file__).read_bytes())
    (package / "memory" / "lockfree_core.cpython-399-x86_64-linux-gnu.so").touch()

    def run(prelude=""):
        return subprocess.run([sys.executable, "-c", prelude + "import korvane"], capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=str(tmp_path)), timeout=60)

    running = f"CPython {platform.python_version()}"
    others = f"; the native modules in {package} are built for cpython-399-x86_64-linux-gnu"
    last = run().stderr.splitlines()[-1]
    assert last.startswith(f"ImportError: korvane's native modules are not built for {running}")
    assert last.endswith(f"{others}; install korvane for this interpreter (supported: CPython 3.13, 3.14 and 3.15)")
    last = run("import sys; sys.version_info = (3, 11, 7, 'final', 0); ").stderr.splitlines()[-1]
    assert last.startswith(f"ImportError: korvane supports CPython 3.13, 3.14 and 3.15, not {running}")
    assert last.endswith(others)
    (package / "gpu").mkdir()
    (package / "gpu" / f"accel_planner{importlib.machinery.EXTENSION_SUFFIXES[0]}").touch()
    result = run()
    assert (result.returncode, result.stderr) == (0, "")


@pytest.mark.parametrize("unbuffered", [None, "1"], ids=["buffered", "unbuffered"])
def test_tour_command_line(unbuffered):
    # Whatever PYTHONUNBUFFERED the caller has, each run sets it: the closed reader fails the first
    # write of an unbuffered stdout, but only the final flush of a buffered one.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = unbuffered

    def tour(*args, **popen):
        return subprocess.Popen([sys.executable, "-m", "korvane", *args], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env, **popen)

    out, err = tour("--version").communicate(timeout=60)
    assert (out, err) == (f"korvane {korvane.__version__}\n", "")
    out, err = tour("--help").communicate(timeout=60)
    assert out.startswith("usage: python -m korvane [-h] [--version]\n") and err == ""
    run = tour()
    out, err = run.communicate(timeout=120)
    assert run.returncode == 0, err
    lines = out.splitlines()
    assert lines[0] == "korvane native layer - a short tour" and lines[-1] == "== done ==" and err == ""
    # A reader that has gone, as in `python -m korvane | head -1`: no traceback.
    for args in [(), ("--help",), ("--version",)]:
        closed = tour(*args)
        closed.stdout.close()
        err = closed.stderr.read()
        # argparse itself passes over a failed write of its text, which only an unbuffered stdout reports
        expected = (0, "") if unbuffered and args else (1, "")
        assert (closed.wait(timeout=120), err) == expected, args
    _, err = tour("--bogus").communicate(timeout=60)
    assert err.endswith("error: unrecognized arguments: --bogus\n")


def test_every_public_type_has_a_short_repr_of_its_state():
    from korvane.gpu.backend_registry import GPUBackendRegistry
    from korvane.memory import lockfree_core as lf
    from korvane.memory import slab_engine as se
    from korvane.monitoring.counter_hub import CounterAggregator

    names = [*MODULES, "korvane.memory.memory_block", "korvane.gpu.backend_registry"]
    plain = [f"{name}.{attr}" for name in names for attr, value in vars(importlib.import_module(name)).items()
             if isinstance(value, type) and value.__module__ == name and not attr.startswith("_")
             and value.__repr__ is object.__repr__]
    assert plain == []

    pointer = lf.AtomicPointer("v1")
    pointer.store("v2")
    stack = lf.LockFreeStack()
    stack.push("a")
    stack.push("b")
    stats = lf.LockFreeStatistics()
    stats.record_allocation(4096)
    stats.record_allocation(100, False)
    emptied = lf.LockFreeStatistics()
    del emptied.total_allocations  # stores None
    emptied.bytes_allocated = "any object"
    timer = lf.PerformanceTimer()
    header = se.FastSlabHeaderOps(3, 32)
    header.py_allocate_object_at(0)
    buckets = se.FastBucketAllocator()
    buckets.add_to_bucket(64, 64)
    collector = se.FastStatsCollector()
    collector.py_record_allocation(10, 0, True)
    cases = [
        (lf.AtomicCounter(5), "AtomicCounter(5)"),
        (lf.AtomicCounterWrapper(7), "AtomicCounterWrapper(AtomicCounter(7))"),
        (lf.AtomicCounterWrapper.__new__(lf.AtomicCounterWrapper), "AtomicCounterWrapper()"),
        (pointer, "AtomicPointer(version=1)"),
        (stack, "LockFreeStack(size=2)"),
        (stats, "LockFreeStatistics(total_allocations=2, current_allocations=2, bytes_allocated=4196)"),
        (emptied, "LockFreeStatistics(total_allocations=None, current_allocations=0, bytes_allocated='any object')"),
        (timer, "PerformanceTimer(start=0)"),
        (header, "FastSlabHeaderOps(size_class_index=3, objects_per_slab=32, free=31, flags=0x10)"),
        (buckets, "FastBucketAllocator(buckets=512, blocks=1)"),
        (collector, "FastStatsCollector(total_allocations=1, total_deallocations=0)"),
        (CounterAggregator(16), "CounterAggregator(num_counters=16)"),
        (GPUBackendRegistry(), "GPUBackendRegistry()"),
    ]
    assert [repr(obj) for obj, _ in cases] == [text for _, text in cases]
    timer.start()
    assert repr(timer) != "PerformanceTimer(start=0)"


FRAME = Path(__file__).parent.parent / "src" / "frame"


@pytest.fixture(scope="module")
def record_dicts(tmp_path_factory):
    """The frame's helpers built as the modules build them, and with record dicts built key by key."""
    if not (FRAME / "kv" / "dicts.hpp").exists():
        pytest.skip("needs the frame headers of the source tree")
    from test_c_api import build_client

    directory = tmp_path_factory.mktemp("record_dicts")
    source = Path(__file__).parent / "frame_client.cpp"
    return [build_client(directory, source, name, cxx=True,
                         flags=["-std=c++20", "-fno-exceptions", f"-I{FRAME}", f"-DCLIENT_NAME={name}", *defines])
            for name, defines in [("records_in_place", []), ("records_by_key", ["-DKORVANE_DICTS_BY_KEY"])]]


def test_record_dicts_take_any_value_and_pass_on_a_failed_one(record_dicts):
    in_place, by_key = record_dicts
    assert by_key.direct is False
    assert in_place.direct is (sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED"))
    for module in record_dicts:
        plain = module.make(1.5, "x", 3, None)
        assert list(plain.items()) == [("first", 1.5), ("second", "x"), ("third", 3)]
        assert gc.is_tracked(plain) == tracked_as_inserted(plain)  # nothing in it can hold a reference
        box = []
        held = module.make(2.5, box, "y", None)
        assert held["second"] is box and gc.is_tracked(held)
        box.append(held)  # a cycle through the dict is the collector's to free
        del held, box
        values = [float("7.5"), object(), "z" * 40]
        refs = [sys.getrefcount(v) for v in values]
        made = module.make(*values, None)
        assert list(made.values()) == values
        del made
        assert [sys.getrefcount(v) for v in values] == refs
        for failed in range(3):
            error = KeyError(f"value {failed}")
            args = [... if i == failed else v for i, v in enumerate(values)]
            refs = [sys.getrefcount(v) for v in values]
            with pytest.raises(KeyError) as info:
                module.make(*args, error)
            assert info.value is error and [sys.getrefcount(v) for v in values] == refs, (module, failed)
    assert gc.collect() >= 2


@pytest.mark.skipif(set_nomemory is None, reason="needs _testcapi.set_nomemory (the interpreter's test C API)")
def test_a_list_that_cannot_be_made_releases_the_items_it_was_given(record_dicts):
    items = [object(), "".join(["x"] * 40), float("2.5")]
    refs = [sys.getrefcount(i) for i in items]
    for k in range(4):
        set_nomemory(k, 0)
        try:
            made = record_dicts[0].new_list(*items)
        except MemoryError:
            made = None
        finally:
            remove_mem_hooks()
        assert made in (None, items)
        del made
        assert [sys.getrefcount(i) for i in items] == refs, k


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="read sections of the free-threaded build")
def test_a_grace_period_sees_every_reader_that_may_hold_what_it_reclaims(record_dicts):
    # Entering a section and starting a grace period are each a store followed by a load of what the
    # other side stored; without a full fence between them the processor may reorder the two. The same
    # rounds without the fences show whether this machine does, and so whether the test can fail.
    frame = record_dicts[0]
    if frame.litmus(200_000, False) == 0:
        pytest.skip("the unfenced rounds showed no reordering here (one core free?)")
    assert frame.litmus(1_000_000, True) == 0


# Locked sections that run only native code skip entering a free threading.Lock; a lock that someone
# holds (here a thread that found it through the collector) is still waited for.
LOCKED_CALLS = [
    ("tree.insert", lambda: block_index.FastRedBlackTree(), lambda t: t.insert(8, "b")),
    ("tree.remove_ge", lambda: tree_holding(8), lambda t: t.remove_ge(1)),
    ("tree.delete", lambda: tree_holding(8), lambda t: t.delete(8, "b")),
    ("tree.get_stats", lambda: tree_holding(8), lambda t: t.get_stats()["node_count"]),
    ("tree.get_size_distribution", lambda: tree_holding(8), lambda t: t.get_size_distribution()),
    ("pointer.store", lambda: lockfree_core.AtomicPointer(1), lambda p: p.store(2)),
    ("pointer.load", lambda: lockfree_core.AtomicPointer(1), lambda p: p.load()),
    ("stack.push", lockfree_core.LockFreeStack, lambda s: s.push(1)),
    ("stack.pop", lambda: stack_holding(1), lambda s: s.pop()),
    ("allocator.add_to_bucket", slab_engine.FastBucketAllocator, lambda a: a.add_to_bucket(0, 64)),
    ("collector.get_stats", slab_engine.FastStatsCollector, lambda c: c.get_stats()["total_allocations"]),
    ("aggregator.update", counter_hub.CounterAggregator, lambda g: g.update(3, 1.0)),
    ("aggregator.get_stats", counter_hub.CounterAggregator, lambda g: g.get_stats(3)["count"]),
]


def tree_holding(size):
    tree = block_index.FastRedBlackTree()
    tree.insert(size, "b")
    return tree


def stack_holding(item):
    stack = lockfree_core.LockFreeStack()
    stack.push(item)
    return stack


@pytest.mark.parametrize("make, call", [row[1:] for row in LOCKED_CALLS], ids=[row[0] for row in LOCKED_CALLS])
def test_a_held_lock_is_waited_for(make, call):
    obj = make()
    expected = call(make())
    locks = [o for o in gc.get_referents(obj) if type(o) is type(threading.Lock())]
    results = []
    with contextlib.ExitStack() as held:
        for lock in locks:
            held.enter_context(lock)
        caller = threading.Thread(target=lambda: results.append(call(obj)))
        caller.start()
        caller.join(0.05)
        assert caller.is_alive() and results == []
    caller.join()
    assert results == [expected]
