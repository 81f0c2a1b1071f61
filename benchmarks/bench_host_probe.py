"""Host probe against what a user would otherwise call: os, psutil and plain Python."""

import os
import platform
import subprocess
import sys
import time

import pytest

hp = pytest.importorskip("korvane.native.host_probe")
psutil = pytest.importorskip("psutil")

REGISTRY = "korvane.gpu.backend_registry"


def py_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            return max(len(os.sched_getaffinity(0)), 1)
        return max(os.cpu_count() or 1, 1)
    except Exception:
        return os.cpu_count() or 1


def py_numa_nodes():
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if not os.path.exists(path):
                return 1
            return len([d for d in os.listdir(path) if d.startswith("node") and d[4:].isdigit()]) or 1
        return 1
    except Exception:
        return 1


def py_gpu_backends():
    info = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
    try:
        from korvane.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry
        backends = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"], info["backend_version"] = best.info.kind.value, best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            b = backends[best.info.kind]
            info["gpu_count"], info["gpu_memory_mb"] = b.device_count, int(b.memory_gb * 1024)
        return info
    except Exception:
        try:
            r = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                               capture_output=True, timeout=0.5, check=False)
            if r.returncode == 0 and r.stdout:
                lines = r.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                count = len([line for line in lines if line.strip()])
                if count:
                    info["has_gpu"], info["gpu_count"] = True, count
        except Exception:
            pass
    return info


def py_capabilities():
    start = time.perf_counter()
    caps = {"physical_cores": py_physical_cores(), "numa_nodes": py_numa_nodes(), **py_gpu_backends()}
    vi = sys.version_info
    caps["python_version"] = f"{vi.major}.{vi.minor}.{vi.micro}"
    try:
        import _xxsubinterpreters  # noqa: F401
        caps["subinterpreter_support"] = True
    except ImportError:
        caps["subinterpreter_support"] = False
    caps.update(platform=sys.platform, detected_at=time.time(), detector="python")
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps


def psutil_capabilities():
    """The same report as far as psutil covers it (no NUMA and no GPU knowledge)."""
    start = time.perf_counter()
    caps = {"physical_cores": len(psutil.Process().cpu_affinity()), "logical_cpus": psutil.cpu_count(),
            "core_count": psutil.cpu_count(logical=False), "numa_nodes": 1, "has_gpu": False,
            "python_version": platform.python_version(), "platform": sys.platform, "detected_at": time.time()}
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps


@pytest.mark.benchmark(group="detect_physical_cores")
@pytest.mark.parametrize("impl", [hp.detect_physical_cores, py_physical_cores, os.process_cpu_count,
                                  psutil.cpu_count, lambda: len(psutil.Process().cpu_affinity())],
                         ids=["korvane", "python", "os.process_cpu_count", "psutil.cpu_count",
                              "psutil.cpu_affinity"])
def test_cpu_count(benchmark, impl):
    assert benchmark(impl) >= 1


@pytest.mark.benchmark(group="detect_numa_nodes")
@pytest.mark.parametrize("impl", [hp.detect_numa_nodes, py_numa_nodes], ids=["korvane", "python"])
def test_numa_nodes(benchmark, impl):
    assert benchmark(impl) >= 1


@pytest.mark.benchmark(group="detect_capabilities")
@pytest.mark.parametrize("impl", [hp.detect_capabilities, py_capabilities, psutil_capabilities],
                         ids=["korvane", "python", "psutil"])
def test_capability_report(benchmark, impl):
    assert benchmark(impl)["physical_cores"] >= 1


# Without the registry every call falls back to starting nvidia-smi; on a host
# without it this measures the failed start.
@pytest.mark.benchmark(group="detect_gpu_backends (nvidia-smi fallback)")
@pytest.mark.parametrize("impl", [hp.detect_gpu_backends, py_gpu_backends], ids=["korvane", "python"])
def test_gpu_fallback(benchmark, impl, monkeypatch):
    monkeypatch.setitem(sys.modules, REGISTRY, None)
    assert "has_gpu" in benchmark(impl)


@pytest.mark.benchmark(group="detect_gpu_backends (registry)")
@pytest.mark.parametrize("impl", [hp.detect_gpu_backends, py_gpu_backends], ids=["korvane", "python"])
def test_gpu_registry(benchmark, impl):
    assert "has_gpu" in benchmark(impl)
