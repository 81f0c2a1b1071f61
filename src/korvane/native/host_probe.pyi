"""Host capability detection: usable CPUs, NUMA nodes, GPU backends and the
Python runtime, gathered into one report by detect_capabilities()."""

import os as os
import sys as sys
import time as time
from typing import NotRequired, TypedDict, type_check_only

@type_check_only
class _GPUInfo(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str

@type_check_only
class _CapabilityReport(TypedDict):
    physical_cores: int
    numa_nodes: int
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: str  # "native", or "native_fallback" when a probe failed
    error: NotRequired[str]  # only in the fallback report
    detection_time_ms: float

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> _GPUInfo: ...
def detect_python_version() -> tuple[str, bool]: ...
def detect_capabilities() -> _CapabilityReport: ...
