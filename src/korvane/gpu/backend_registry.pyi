"""Accelerator backends available on this host."""

from dataclasses import dataclass
from enum import Enum

__all__ = ["GPUBackendKind", "GPUBackendInfo", "GPUBackend", "GPUBackendRegistry"]

NVIDIA_SMI_TIMEOUT: float

class GPUBackendKind(Enum):
    """Kinds of compute backend, by the name the framework reports."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"

@dataclass(frozen=True)
class GPUBackendInfo:
    """What is known of one available backend."""

    kind: GPUBackendKind
    version: str
    device_count: int
    memory_gb: float
    device_names: tuple[str, ...] = ()

@dataclass(frozen=True)
class GPUBackend:
    """A selected backend."""

    info: GPUBackendInfo

_PREFERENCE: tuple[GPUBackendKind, ...]

def _host_memory_gb() -> float: ...
def _cpu_backend() -> GPUBackendInfo: ...
def _parse_nvidia_smi(text: str) -> GPUBackendInfo | None: ...
def _cuda_backend() -> GPUBackendInfo | None: ...

class GPUBackendRegistry:
    """Detection of the host's compute backends (class methods only)."""

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, GPUBackendInfo]: ...
    @classmethod
    def get_best_available(cls) -> GPUBackend: ...
