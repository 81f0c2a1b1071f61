"""Initialisation rules shared by every extension module of the package."""

import importlib.util
import inspect

import pytest

MODULES = [
    "korvane.memory.lockfree_core",
    "korvane.memory.block_index",
    "korvane.memory.slab_engine",
    "korvane.native.host_probe",
    "korvane.plugins.analyzer.task_scoring",
    "korvane.plugins.analyzer.adaptation_policy",
    "korvane.monitoring.counter_hub",
    "korvane.gpu.accel_planner",
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
