"""Type stubs against the built modules: stubtest, mypy --strict on client code,
result dicts against their TypedDicts, and introspection of every public object."""

import ast
import importlib
import importlib.metadata
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import korvane

MODULES = [
    "korvane.memory.lockfree_core",
    "korvane.memory.block_index",
    "korvane.memory.memory_block",
    "korvane.memory.slab_engine",
    "korvane.native.host_probe",
    "korvane.gpu.backend_registry",
    "korvane.plugins.analyzer.task_scoring",
    "korvane.plugins.analyzer.adaptation_policy",
    "korvane.monitoring.counter_hub",
    "korvane.gpu.accel_planner",
    "korvane.threads",
]
EXTENSIONS = [m for m in MODULES if not m.endswith(("memory_block", "backend_registry"))]
HERE = Path(__file__).parent


def stub_path(name):
    module = importlib.import_module(name)
    return Path(module.__file__).parent / (name.rpartition(".")[2] + ".pyi")


def run_mypy_tool(args, cache, **env):
    """Runs `python -m <args>` in a scratch directory on the korvane the tests import."""
    env = dict(os.environ, MYPY_CACHE_DIR=str(cache), PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cache,
                          timeout=300)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    pytest.importorskip("mypy")
    return tmp_path_factory.mktemp("mypy")


def test_stubs_and_marker_are_installed_beside_the_modules():
    assert (Path(korvane.__file__).parent / "py.typed").is_file()
    assert [name for name in MODULES if not stub_path(name).is_file()] == []


# stubtest before mypy 1.20 checks the classes the stubs re-export from typing against typeshed's
# typing stubs, which leave out Any's metaclass and TypeVar.__mro_entries__. Free-threaded builds
# can install no later mypy (1.19 and later need librt, which has no wheel for them).
TYPING_REEXPORTS = [r"korvane\..*\.Any(\..*)?", r"korvane\..*\.TypeVar\..*"]


def test_stubtest_finds_no_difference(mypy_cache):
    allow = []
    if tuple(int(part) for part in importlib.metadata.version("mypy").split(".")[:2]) < (1, 20):
        allowlist = mypy_cache / "typing-reexports.txt"
        allowlist.write_text("\n".join(TYPING_REEXPORTS) + "\n")
        allow = ["--allowlist", str(allowlist)]
    result = run_mypy_tool(["mypy.stubtest", *allow, *MODULES], mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_and_client_code_pass_mypy_strict(mypy_cache):
    modules = [arg for name in ["stub_usage", *MODULES] for arg in ("-m", name)]
    result = run_mypy_tool(["mypy", "--strict", *modules], mypy_cache, MYPYPATH=str(HERE))
    assert result.returncode == 0, result.stdout + result.stderr
    result = subprocess.run([sys.executable, str(HERE / "stub_usage.py")], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert result.returncode == 0, result.stderr


def typed_dicts(name):
    """{class name: [(key, annotation text)]} of the TypedDicts in a module's stub."""
    tree = ast.parse(stub_path(name).read_text())
    return {
        node.name: [(item.target.id, ast.unparse(item.annotation)) for item in node.body
                    if isinstance(item, ast.AnnAssign)]
        for node in tree.body
        if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "TypedDict" for b in node.bases)
    }


def check_result(name, typed_dict, result):
    """`result` has exactly the stub's keys in order (absent NotRequired ones aside) and values of their types."""
    fields = typed_dicts(name)[typed_dict]
    expected = [key for key, annotation in fields if key in result or not annotation.startswith("NotRequired[")]
    assert list(result) == expected
    for key, annotation in fields:
        if key in result:
            kind = annotation.removeprefix("NotRequired[").removesuffix("]")
            assert isinstance(result[key], eval(kind)), (key, result[key])


def test_result_dicts_match_their_typed_dicts(monkeypatch):
    from korvane.memory.block_index import FastRedBlackTree
    from korvane.memory.lockfree_core import LockFreeStatistics
    from korvane.memory.memory_block import MemoryBlock
    from korvane.memory.slab_engine import FastStatsCollector
    from korvane.monitoring.counter_hub import CounterAggregator
    from korvane.native import host_probe

    stats = LockFreeStatistics()
    stats.record_allocation(64, True, 8, 100)
    check_result("korvane.memory.lockfree_core", "_Snapshot", stats.get_snapshot())
    tree = FastRedBlackTree()
    tree.insert(64, MemoryBlock(0, 64))
    check_result("korvane.memory.block_index", "_TreeStats", tree.get_stats())
    tree.reset_circuit_breaker()
    check_result("korvane.memory.block_index", "_TreeStats", tree.get_stats())
    check_result("korvane.memory.slab_engine", "_SlabStats", FastStatsCollector().get_stats())
    aggregator = CounterAggregator(1)
    aggregator.update(0, 2.0)
    check_result("korvane.monitoring.counter_hub", "_CounterStats", aggregator.get_stats(0))
    check_result("korvane.native.host_probe", "_GPUInfo", host_probe.detect_gpu_backends())
    check_result("korvane.native.host_probe", "_CapabilityReport", host_probe.detect_capabilities())
    monkeypatch.setattr(host_probe, "detect_python_version", lambda: ("3.13.0", False, None))
    fallback = host_probe.detect_capabilities()
    assert "error" in fallback
    check_result("korvane.native.host_probe", "_CapabilityReport", fallback)


@pytest.mark.parametrize("name", EXTENSIONS)
def test_every_public_object_has_a_signature_and_a_docstring(name):
    module = importlib.import_module(name)
    assert module.__doc__
    for attr, value in vars(module).items():
        if attr.startswith("_") or getattr(value, "__module__", None) != name:
            continue
        members = [value]
        if isinstance(value, type):
            members += [getattr(value, k) for k, v in vars(value).items()
                        if callable(v) and not k.startswith("__") or isinstance(v, staticmethod)]
        for member in members:
            inspect.signature(member)
            assert inspect.getdoc(member), member
