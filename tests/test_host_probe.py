"""korvane.native.host_probe and the backend registry it asks first."""

import collections
import enum
import functools
import itertools
import os
import random
import subprocess
import sys
import threading
import types
from types import SimpleNamespace as NS

import pytest

hp = pytest.importorskip("korvane.native.host_probe")
from korvane.gpu import backend_registry as br  # noqa: E402

REGISTRY = "korvane.gpu.backend_registry"
SMI_ARGS = (["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],)
SMI_KWARGS = {"capture_output": True, "timeout": 0.5, "check": False}
GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
            "oneapi_available", "active_backend", "backend_version"]
INITIAL_GPU = dict(zip(GPU_KEYS, [False, 0, 0, False, False, False, "cpu", ""]))
REPORT_KEYS = ["physical_cores", "numa_nodes", *GPU_KEYS, "python_version", "subinterpreter_support",
               "platform", "detected_at", "detector", "detection_time_ms"]
FALLBACK_KEYS = REPORT_KEYS[:-1] + ["error", "detection_time_ms"]
PROBES = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version"]
Version = collections.namedtuple("Version", "major minor micro")


# A plain rendering of the probes. `env` carries the globals (os, sys, time)
# and the probes detect_capabilities calls.
def ref_physical_cores(env):
    try:
        if hasattr(env.os, "sched_getaffinity"):
            cores = len(env.os.sched_getaffinity(0))
        else:
            cores = env.os.cpu_count() or 1
        return max(cores, 1)
    except Exception:
        return env.os.cpu_count() or 1


def ref_numa_nodes(env):
    try:
        if env.sys.platform == "linux":
            if not env.os.path.exists("/sys/devices/system/node"):
                return 1
            entries = env.os.listdir("/sys/devices/system/node")
            return len([d for d in entries if d.startswith("node") and d[4:].isdigit()]) or 1
        if env.sys.platform == "win32":
            import ctypes
            from ctypes import wintypes
            fn = ctypes.WinDLL("kernel32", use_last_error=True).GetNumaHighestNodeNumber
            fn.restype = wintypes.BOOL
            fn.argtypes = [ctypes.POINTER(ctypes.c_ulong)]
            highest = ctypes.c_ulong()
            return highest.value + 1 if fn(ctypes.byref(highest)) else 1
        return 1
    except Exception:
        return 1


def ref_gpu_backends(env):
    info = dict(INITIAL_GPU)
    try:
        from korvane.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry
        backends = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            b = backends[best.info.kind]
            info["gpu_count"] = b.device_count
            info["gpu_memory_mb"] = int(b.memory_gb * 1024)
        return info
    except Exception:
        try:
            r = subprocess.run(*SMI_ARGS, **SMI_KWARGS)
            if r.returncode == 0 and r.stdout:
                lines = r.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                count = len([line for line in lines if line.strip()])
                if count:  # output naming no GPU reports none
                    info["has_gpu"], info["gpu_count"] = True, count
        except Exception:
            pass
    return info


def ref_python_version(env):
    vi = env.sys.version_info
    supported = False
    if vi >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
            supported = True
        except ImportError:
            pass
    return (f"{vi.major}.{vi.minor}.{vi.micro}", supported)


def ref_capabilities(env):
    start = float(env.time.perf_counter())
    try:
        caps = {"physical_cores": env.detect_physical_cores(), "numa_nodes": env.detect_numa_nodes()}
        gpu = env.detect_gpu_backends()
        caps.update((k, gpu[k]) for k in GPU_KEYS)
        caps["python_version"], caps["subinterpreter_support"] = env.detect_python_version()
        caps.update(platform=env.sys.platform, detected_at=env.time.time(), detector="native")
        caps["detection_time_ms"] = (env.time.perf_counter() - start) * 1000
        return caps
    except Exception as exc:
        vi = env.sys.version_info
        report = {"physical_cores": env.os.cpu_count() or 1, "numa_nodes": 1, **INITIAL_GPU,
                  "python_version": f"{vi.major}.{vi.minor}", "subinterpreter_support": False,
                  "platform": env.sys.platform, "detected_at": env.time.time(), "detector": "native_fallback",
                  "error": str(exc)}
        report["detection_time_ms"] = (env.time.perf_counter() - start) * 1000
        return report


REF = NS(detect_physical_cores=ref_physical_cores, detect_numa_nodes=ref_numa_nodes,
         detect_gpu_backends=ref_gpu_backends, detect_python_version=ref_python_version,
         detect_capabilities=ref_capabilities)


class Host:
    """Substitutes globals and probes in the native module and in the rendering alike."""

    def __init__(self, mp):
        self.mp = mp
        self.env = NS(os=os, sys=sys, time=fake_time())
        for name in PROBES:
            setattr(self.env, name, functools.partial(getattr(REF, name), self.env))

    def set(self, name, value):
        self.mp.setattr(hp, name, value)
        setattr(self.env, name, value)

    def both(self, probe):
        """Outcomes of the native probe and of its rendering, each with a fresh clock."""
        self.mp.setattr(hp, "time", fake_time())
        native = outcome(getattr(hp, probe))
        self.env.time = fake_time()
        return native, outcome(lambda: getattr(REF, probe)(self.env))


def fake_time():
    ticks = itertools.count(10.0, 0.25)
    return NS(perf_counter=lambda: next(ticks), time=lambda: 1234.5)


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as exc:  # noqa: BLE001
        return ("raised", type(exc), str(exc))


def raiser(exc):
    def f(*args, **kwargs):
        raise exc
    return f


def fake_os(affinity=None, cpu_count=4, exists=True, entries=()):
    ns = NS(cpu_count=cpu_count if callable(cpu_count) else lambda: cpu_count,
            path=NS(exists=exists if callable(exists) else lambda p: exists),
            listdir=entries if callable(entries) else lambda p: list(entries))
    if affinity is not None:
        ns.sched_getaffinity = affinity if callable(affinity) else lambda pid: set(affinity)
    return ns


class NumaFunction:
    def __init__(self, highest, ok):
        self.highest, self.ok = highest, ok

    def __call__(self, ref):
        ref.obj.value = self.highest
        return self.ok


def fake_ctypes(highest=0, ok=1, windll=None):
    mod = types.ModuleType("ctypes")
    mod.c_ulong = type("c_ulong", (), {"__init__": lambda self, value=0: setattr(self, "value", value)})
    mod.POINTER = lambda t: ("POINTER", t)
    mod.byref = lambda obj: NS(obj=obj)
    mod.wintypes = NS(BOOL="BOOL")
    mod.fn, mod.opened = NumaFunction(highest, ok), []
    mod.WinDLL = windll or (lambda name, **kw: mod.opened.append((name, kw)) or NS(GetNumaHighestNodeNumber=mod.fn))
    return mod


class Kind(enum.Enum):
    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


def fake_registry(backends, best_kind, version="12.4", fail=None):
    def detect():
        if fail == "detect":
            raise RuntimeError("no registry")
        return backends

    def best():
        if fail == "best":
            raise RuntimeError("no best backend")
        return NS(info=NS(kind=best_kind, version=version))
    mod = types.ModuleType(REGISTRY)
    mod.GPUBackendKind = Kind
    mod.GPUBackendRegistry = NS(detect_available_backends=detect, get_best_available=best)
    return mod


def fake_run(behaviour, calls):
    def run(*args, **kwargs):
        calls.append((args, kwargs))
        if isinstance(behaviour, BaseException):
            raise behaviour
        return subprocess.CompletedProcess(args[0], behaviour[0], behaviour[1], b"")
    return run


def test_module_frame_and_arguments(python_subprocess):
    names = [n for n in vars(hp) if not n.startswith("__")]
    assert names == ["sys", "os", "time", "detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                     "detect_python_version", "detect_capabilities"]
    assert (hp.sys, hp.os, hp.time) == (sys, os, __import__("time"))
    with pytest.raises(TypeError, match=r"^detect_capabilities\(\) takes exactly 0 positional arguments \(1 given\)$"):
        hp.detect_capabilities(1)
    with pytest.raises(TypeError, match=r"^detect_numa_nodes\(\) got an unexpected keyword argument 'x'$"):
        hp.detect_numa_nodes(x=1)
    # Nothing is probed, imported or logged at import.
    result = python_subprocess("""
        import os, sys
        os.sched_getaffinity = os.listdir = os.cpu_count = None
        import korvane.native.host_probe
        print(sorted(m for m in ("logging", "subprocess", "ctypes", "korvane.gpu.backend_registry")
                     if m in sys.modules))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_cpu_probe(monkeypatch, python_subprocess):
    cpus = os.sched_getaffinity(0)
    assert hp.detect_physical_cores() == len(cpus)
    # What os.sched_getaffinity holds at the call is called, even when it was installed before import.
    result = python_subprocess("""
        import os
        os.sched_getaffinity = lambda pid: set(range(37))
        from korvane.native import host_probe
        print(host_probe.detect_physical_cores())
    """)
    assert (result.returncode, result.stdout.strip()) == (0, "37"), result.stderr
    # Another built-in function of the posix module in its place is called too, before and after the
    # interpreter's own sched_getaffinity has been seen.
    result = python_subprocess("""
        import os
        from korvane.native import host_probe
        own = os.sched_getaffinity
        for fn in (os.strerror, os.urandom, own, os.strerror, os.urandom, len):
            os.sched_getaffinity = fn
            try:
                expected = max(len(fn(0)), 1)
            except TypeError:
                expected = os.cpu_count()
            print(host_probe.detect_physical_cores() == expected, end=" ")
    """)
    assert (result.returncode, result.stdout.split()) == (0, ["True"] * 6), result.stderr
    os.sched_setaffinity(0, {min(cpus)})  # this thread only
    try:
        assert hp.detect_physical_cores() == 1
    finally:
        os.sched_setaffinity(0, cpus)
    host = Host(monkeypatch)
    for os_, expected in [(fake_os(affinity={0, 2, 5}, cpu_count=64), 3),
                          (fake_os(cpu_count=None), 1), (fake_os(cpu_count=0), 1), (fake_os(cpu_count=6), 6),
                          (fake_os(cpu_count=-3), 1), (fake_os(cpu_count=2), 2), (fake_os(affinity={7}), 1),
                          (fake_os(affinity=set(), cpu_count=8), 1),
                          (fake_os(affinity=raiser(OSError("denied")), cpu_count=5), 5),
                          (fake_os(affinity=raiser(OSError("denied")), cpu_count=None), 1)]:
        host.set("os", os_)
        assert hp.detect_physical_cores() == expected
    host.set("os", fake_os(affinity=raiser(KeyboardInterrupt())))
    pytest.raises(KeyboardInterrupt, hp.detect_physical_cores)
    # A failing fallback propagates, chained to the failure it replaced.
    host.set("os", fake_os(affinity=raiser(OSError("denied")), cpu_count=raiser(ValueError("no count"))))
    with pytest.raises(ValueError, match="^no count$") as info:
        hp.detect_physical_cores()
    assert str(info.value.__context__) == "denied"
    assert sys.exc_info() == (None, None, None)


def test_numa_probe(monkeypatch, tmp_path):
    host = Host(monkeypatch)
    host.set("sys", NS(platform="linux", version_info=sys.version_info))
    for os_, expected in [(fake_os(entries=["node0", "node1", "possible", "online", "has_cpu"]), 2),
                          (fake_os(entries=["node12", "node", "nodes", "node0a"]), 1),
                          (fake_os(exists=False, entries=raiser(AssertionError)), 1),
                          (fake_os(entries=["possible"]), 1),
                          # Entries of other types answer through their own methods: a bytes entry fails.
                          (fake_os(entries=[Entry("node0"), Entry("node7"), Entry("cpu0"), Entry("nodeX")]), 2),
                          (fake_os(entries=[Entry("node0"), b"node1"]), 1),
                          (fake_os(entries=raiser(PermissionError("denied"))), 1)]:
        host.set("os", os_)
        assert hp.detect_numa_nodes() == expected
    host.set("os", fake_os(entries=raiser(KeyboardInterrupt())))
    pytest.raises(KeyboardInterrupt, hp.detect_numa_nodes)
    host.set("sys", NS(platform="win32"))
    for ctypes_, expected in [(fake_ctypes(0), 1), (fake_ctypes(3), 4), (fake_ctypes(3, ok=0), 1),
                              (fake_ctypes(windll=raiser(OSError("no kernel32"))), 1)]:
        monkeypatch.setitem(sys.modules, "ctypes", ctypes_)
        assert hp.detect_numa_nodes() == expected
    ctypes_ = fake_ctypes(1)
    monkeypatch.setitem(sys.modules, "ctypes", ctypes_)
    assert hp.detect_numa_nodes() == 2
    assert ctypes_.opened == [("kernel32", {"use_last_error": True})]
    assert (ctypes_.fn.restype, ctypes_.fn.argtypes) == ("BOOL", [("POINTER", ctypes_.c_ulong)])
    # `from ctypes import wintypes` imports the submodule when nothing imported it yet.
    (tmp_path / "wintypes.py").write_text("BOOL = 'WINBOOL'\n")
    ctypes_ = fake_ctypes(5)
    del ctypes_.wintypes
    ctypes_.__path__ = [str(tmp_path)]
    monkeypatch.setitem(sys.modules, "ctypes", ctypes_)
    monkeypatch.delitem(sys.modules, "ctypes.wintypes", raising=False)
    try:
        assert hp.detect_numa_nodes() == 6 and ctypes_.fn.restype == "WINBOOL"
    finally:
        sys.modules.pop("ctypes.wintypes", None)
    host.set("sys", NS(platform="darwin"))
    assert hp.detect_numa_nodes() == 1


class Entry(str):
    pass


def test_python_version(monkeypatch):
    seen = []

    class Finder:
        def find_spec(self, name, path=None, target=None):
            seen.append(name)

    monkeypatch.setattr(sys, "meta_path", [Finder(), *sys.meta_path])
    monkeypatch.delitem(sys.modules, "_xxsubinterpreters", raising=False)
    vi = sys.version_info
    assert hp.detect_python_version() == (f"{vi.major}.{vi.minor}.{vi.micro}", False)
    assert seen == ["_xxsubinterpreters"]
    monkeypatch.setattr(hp, "sys", NS(version_info=Version(3, 11, 9)))
    assert hp.detect_python_version() == ("3.11.9", False)
    assert seen == ["_xxsubinterpreters"]
    monkeypatch.setattr(hp, "sys", NS(version_info=Version(3, 12, 0)))  # from 3.12 on the module is looked for
    assert hp.detect_python_version() == ("3.12.0", False)
    assert seen == ["_xxsubinterpreters"] * 2
    monkeypatch.setattr(hp, "sys", sys)
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", types.ModuleType("_xxsubinterpreters"))
    assert hp.detect_python_version()[1] is True
    monkeypatch.delitem(sys.modules, "_xxsubinterpreters")
    monkeypatch.setattr(Finder, "find_spec", raiser(RuntimeError("finder broke")))
    with pytest.raises(RuntimeError, match="^finder broke$"):
        hp.detect_python_version()


def test_gpu_tool_path(monkeypatch):
    monkeypatch.setitem(sys.modules, REGISTRY, None)
    for behaviour, expected in [((0, b"GPU A\nGPU B\n"), (True, 2)), ((0, b"  A\n\n \r\nB\n\n"), (True, 2)),
                                ((0, b"\xff\xfeTesla\xff\n"), (True, 1)), ((0, b"\xff\xfe\n \n"), (False, 0)),
                                ((9, b"GPU A\n"), (False, 0)), ((0, b""), (False, 0)),
                                (FileNotFoundError("nvidia-smi"), (False, 0)),
                                # Output of other types is decoded by its own decode(), which must give a str.
                                ((0, bytearray(b"GPU A\nGPU B\n")), (True, 2)), ((0, "GPU A\n"), (False, 0)),
                                ((0, NS(decode=lambda *args: b"GPU A")), (False, 0)),
                                ((0, NS(decode=lambda *args: Entry("A\nB"))), (True, 2)),
                                (subprocess.TimeoutExpired("nvidia-smi", 0.5), (False, 0))]:
        calls = []
        monkeypatch.setattr(subprocess, "run", fake_run(behaviour, calls))
        has_gpu, count = expected
        assert hp.detect_gpu_backends() == {**INITIAL_GPU, "has_gpu": has_gpu, "gpu_count": count}
        assert calls == [(SMI_ARGS, SMI_KWARGS)]
    monkeypatch.setattr(subprocess, "run", fake_run(KeyboardInterrupt(), []))
    pytest.raises(KeyboardInterrupt, hp.detect_gpu_backends)


def test_gpu_registry_path(monkeypatch):
    calls = []
    monkeypatch.setattr(subprocess, "run", fake_run((0, b"GPU A\n"), calls))
    cuda = {Kind.CUDA: NS(device_count=2, memory_gb=7.9999), Kind.CPU: NS(device_count=1, memory_gb=64)}
    version = object()
    monkeypatch.setitem(sys.modules, REGISTRY, fake_registry(cuda, Kind.CUDA, version))
    before = sys.getrefcount(version)
    info = hp.detect_gpu_backends()
    assert info == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 8191,
                    "cuda_available": True, "active_backend": "cuda", "backend_version": version}
    del info
    assert sys.getrefcount(version) == before
    monkeypatch.setitem(sys.modules, REGISTRY, fake_registry(cuda, Kind.CPU, "x86"))
    assert hp.detect_gpu_backends() == {**INITIAL_GPU, "cuda_available": True, "backend_version": "x86"}
    assert calls == []
    # A registry failing half way keeps what it set; the tool then counts the GPUs.
    monkeypatch.setitem(sys.modules, REGISTRY, fake_registry(cuda, Kind.CUDA, fail="best"))
    assert hp.detect_gpu_backends() == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 1, "cuda_available": True}
    assert calls == [(SMI_ARGS, SMI_KWARGS)]
    del sys.modules[REGISTRY].GPUBackendKind
    assert hp.detect_gpu_backends() == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 1}
    # A backend kind the registry lacks (its third) stops the registry path there.
    monkeypatch.setitem(sys.modules, REGISTRY, fake_registry(cuda, Kind.CUDA))
    sys.modules[REGISTRY].GPUBackendKind = NS(CUDA=Kind.CUDA, ROCm=Kind.ROCm)
    assert hp.detect_gpu_backends() == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 1, "cuda_available": True}


def test_capability_report(monkeypatch):
    host = Host(monkeypatch)
    (status, report), expected = host.both("detect_capabilities")
    assert list(report) == REPORT_KEYS and ("ok", report) == expected
    assert report["detection_time_ms"] == 250.0 and report["detected_at"] == 1234.5
    assert report["detector"] == "native" and report["platform"] == sys.platform
    error = ValueError("boom")
    host.set("detect_python_version", lambda: ("3.13.0", False, "extra"))
    host.set("time", fake_time())
    monkeypatch.setattr(hp.os, "cpu_count", lambda: None)
    report = hp.detect_capabilities()
    assert list(report) == FALLBACK_KEYS
    assert report == {"physical_cores": 1, "numa_nodes": 1, **INITIAL_GPU,
                      "python_version": f"{sys.version_info.major}.{sys.version_info.minor}",
                      "subinterpreter_support": False, "platform": sys.platform, "detected_at": 1234.5,
                      "detector": "native_fallback", "error": "too many values to unpack (expected 2)",
                      "detection_time_ms": 250.0}
    # The version probe's result is unpacked as an assignment would: any iterable of exactly two.
    for result, error_text in [(iter(["3.13.9", True]), None), ((x for x in ["3.13.9"]), "need more than 1 value to unpack"),
                               (iter("abc"), "too many values to unpack (expected 2)"),
                               (map(int, ["1", "x"]), "invalid literal for int() with base 10: 'x'")]:
        host.set("detect_python_version", lambda: result)
        report = hp.detect_capabilities()
        if error_text is None:
            assert (report["python_version"], report["subinterpreter_support"]) == ("3.13.9", True)
        else:
            assert report["error"] == error_text
    host.set("detect_numa_nodes", raiser(error))
    before = sys.getrefcount(error)
    assert hp.detect_capabilities()["error"] == "boom"
    assert sys.getrefcount(error) == before
    host.set("detect_gpu_backends", lambda: {"has_gpu": False})
    host.set("detect_numa_nodes", lambda: 1)
    assert hp.detect_capabilities()["error"] == "'gpu_count'"
    host.set("detect_numa_nodes", raiser(KeyboardInterrupt()))
    pytest.raises(KeyboardInterrupt, hp.detect_capabilities)
    host.set("detect_numa_nodes", raiser(error))
    for sys_ in (NS(platform="linux"), NS(platform="linux", version_info=NS(major=3))):
        host.set("sys", sys_)
        with pytest.raises(AttributeError) as info:
            hp.detect_capabilities()
        assert info.value.__context__ is error


def test_probes_from_several_threads(monkeypatch):
    # Four threads probe this host at once (the real registry: the CPU only) while a fifth
    # keeps replacing the contents of the list that the version probe answers with: every
    # report is whole and holds one state of that list.
    monkeypatch.setattr(br.shutil, "which", lambda name: None)
    answer, stop = ["3.13.0", False], threading.Event()
    monkeypatch.setattr(hp, "detect_python_version", lambda: answer)
    steady = {k: v for k, v in hp.detect_capabilities().items() if k not in ("detected_at", "detection_time_ms")}
    assert steady["detector"] == "native"
    states = {("3.13.0", False), ("3.14.1", True)}
    reports = [[] for _ in range(4)]

    def flip():
        while not stop.is_set():
            answer[:] = ["".join(["3.14", ".1"]), True]
            answer[:] = ["".join(["3.13", ".0"]), False]

    def probe(k):
        for _ in range(150):
            report = hp.detect_capabilities()
            reports[k].append((hp.detect_physical_cores(), report.pop("detected_at"), report.pop("detection_time_ms"),
                               report.pop("python_version"), report.pop("subinterpreter_support"), report))

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        threads = [threading.Thread(target=probe, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        stop.set()
        flipper.join()
    del steady["python_version"], steady["subinterpreter_support"]
    for cores, _, _, version, support, report in (r for part in reports for r in part):
        assert cores == steady["physical_cores"] and (version, support) in states and report == steady
    assert sum(map(len, reports)) == 600


def test_matches_plain_rendering_on_generated_hosts(monkeypatch):
    rng = random.Random(20240613)
    entries = ["node0", "node1", "node12", "node", "nodes", "node0a", "possible", "online", "has_cpu",
               "node\u0663", "node\u00b2", "Node1", "node 1"]
    faults = [OSError("denied"), ValueError("bad"), PermissionError("no")]
    for _ in range(400):
        with pytest.MonkeyPatch.context() as mp:
            host = Host(mp)
            pick = rng.choice
            host.set("os", fake_os(
                affinity=pick([None, None, set(rng.sample(range(64), rng.randrange(5))), raiser(pick(faults))]),
                cpu_count=pick([None, 0, 1, 7, raiser(pick(faults))]),
                exists=pick([True, True, False, raiser(pick(faults))]),
                entries=pick([rng.sample(entries, rng.randrange(6)), raiser(pick(faults)), [b"node3"]])))
            host.set("sys", NS(platform=pick(["linux", "win32", "darwin", "linux2"]),
                               version_info=pick([sys.version_info, Version(3, 11, 9)])))
            sub = pick([types.ModuleType("_xxsubinterpreters"), None, "absent"])
            if sub == "absent":
                mp.delitem(sys.modules, "_xxsubinterpreters", raising=False)
            else:
                mp.setitem(sys.modules, "_xxsubinterpreters", sub)
            mp.setitem(sys.modules, "ctypes", fake_ctypes(rng.randrange(8), ok=pick([0, 1]),
                                                          windll=pick([None, raiser(pick(faults))])))
            backends = {k: NS(device_count=rng.randrange(9), memory_gb=pick([0, 7.9999, 24, float("nan")]))
                        for k in rng.sample(list(Kind), rng.randrange(5))}
            mp.setitem(sys.modules, REGISTRY, pick([None, fake_registry(
                backends, pick(list(Kind)), rng.random(), fail=pick([None, None, "detect", "best"]))]))
            out = b"".join(pick([b"GPU A\n", b"\n", b" \r\n", b"\xff", b"B"]) for _ in range(rng.randrange(5)))
            mp.setattr(subprocess, "run", fake_run(pick([(0, out), (0, out), (9, out), FileNotFoundError()]), []))
            for probe in [*PROBES, "detect_capabilities"]:
                native, expected = host.both(probe)
                assert native == expected, probe


def test_backend_registry(monkeypatch):
    # This host: the CPU only, and no nvidia-smi run when the tool is not installed.
    monkeypatch.setattr(br.shutil, "which", lambda name: None)
    monkeypatch.setattr(br.subprocess, "run", raiser(AssertionError("ran")))
    backends = br.GPUBackendRegistry.detect_available_backends()
    assert list(backends) == [br.GPUBackendKind.CPU] and br.GPUBackendKind.CPU.value == "cpu"
    assert br.GPUBackendRegistry.get_best_available().info == backends[br.GPUBackendKind.CPU]
    calls = []
    monkeypatch.setattr(br.shutil, "which", lambda name: "/usr/bin/nvidia-smi")
    for behaviour, expected in [((0, b"GPU A, 24576, 550.54\nGPU B, 16384, 550.54\n"), (2, 16.0, "550.54")),
                                ((0, b"GPU A, [N/A], 550\n\ngarbage\n"), (1, 0.0, "550")),
                                ((0, b"\xff\n"), None), ((6, b"No devices were found"), None),
                                (subprocess.TimeoutExpired("nvidia-smi", 2), None), (PermissionError(), None)]:
        monkeypatch.setattr(br.subprocess, "run", fake_run(behaviour, calls))
        backends = br.GPUBackendRegistry.detect_available_backends()
        best = br.GPUBackendRegistry.get_best_available().info
        if expected is None:
            assert list(backends) == [br.GPUBackendKind.CPU] and best.kind is br.GPUBackendKind.CPU
            continue
        cuda = backends[br.GPUBackendKind.CUDA]
        assert list(backends) == [br.GPUBackendKind.CUDA, br.GPUBackendKind.CPU] and best == cuda
        assert (cuda.device_count, cuda.memory_gb, cuda.version) == expected
    assert calls[0] == ((["/usr/bin/nvidia-smi", "--query-gpu=name,memory.total,driver_version",
                          "--format=csv,noheader,nounits"],),
                        {"capture_output": True, "timeout": br.NVIDIA_SMI_TIMEOUT, "check": False})
    # The host probe over the real registry.
    monkeypatch.setattr(br.subprocess, "run", fake_run((0, b"GPU A, 8191.9, 550\nGPU B, 8192, 550\n"), []))
    assert hp.detect_gpu_backends() == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 8191,
                                        "cuda_available": True, "active_backend": "cuda", "backend_version": "550"}
