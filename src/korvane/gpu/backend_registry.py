"""Accelerator backends available on this host.

A small registry that answers two questions, each probed afresh on every
call (nothing is cached):

- ``GPUBackendRegistry.detect_available_backends()``: a dict mapping each
  available ``GPUBackendKind`` to its ``GPUBackendInfo``;
- ``GPUBackendRegistry.get_best_available()``: a ``GPUBackend`` whose ``info``
  describes the preferred available backend.

The CPU is always available. An NVIDIA GPU is reported when ``nvidia-smi`` is
on the PATH and lists at least one device. ROCm and oneAPI are known kinds but
are not probed here, so they are never reported. Detection never raises on a
host without GPUs, a missing, failing or slow ``nvidia-smi``, or output it
cannot read.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass
from enum import Enum

__all__ = ["GPUBackendKind", "GPUBackendInfo", "GPUBackend", "GPUBackendRegistry"]

# nvidia-smi can take about a second to answer while the driver initialises.
NVIDIA_SMI_TIMEOUT = 2.0


class GPUBackendKind(Enum):
    """Kinds of compute backend, by the name the framework reports."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


@dataclass(frozen=True)
class GPUBackendInfo:
    """What is known of one available backend.

    ``memory_gb`` is the memory of the smallest device of the backend, in
    gigabytes (GiB): what a single allocation can count on whichever device it
    lands on. For the CPU backend it is the host's physical memory (0.0 when
    the platform cannot tell) and ``device_count`` is 1.
    """

    kind: GPUBackendKind
    version: str
    device_count: int
    memory_gb: float
    device_names: tuple[str, ...] = ()


@dataclass(frozen=True)
class GPUBackend:
    """A selected backend."""

    info: GPUBackendInfo


# Most preferred first.
_PREFERENCE = (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI, GPUBackendKind.CPU)


def _host_memory_gb() -> float:
    """Physical memory of the host in GiB; 0.0 when the platform cannot tell."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    except (AttributeError, ValueError, OSError):
        return 0.0


def _cpu_backend() -> GPUBackendInfo:
    return GPUBackendInfo(GPUBackendKind.CPU, "", 1, _host_memory_gb())


def _parse_nvidia_smi(text: str) -> GPUBackendInfo | None:
    """The CUDA backend from lines of "name, memory MiB, driver version"; None without a device.

    Lines that do not have three fields are skipped; a memory field that is not
    a number (such as "[N/A]") leaves that device out of the memory figure.
    """
    names: list[str] = []
    memories: list[float] = []
    version = ""
    for line in text.splitlines():
        fields = [f.strip() for f in line.split(",")]
        if len(fields) != 3 or not fields[0]:
            continue
        names.append(fields[0])
        try:
            memories.append(float(fields[1]))
        except ValueError:
            pass
        version = version or fields[2]
    if not names:
        return None
    memory_gb = min(memories) / 1024 if memories else 0.0
    return GPUBackendInfo(GPUBackendKind.CUDA, version, len(names), memory_gb, tuple(names))


def _cuda_backend() -> GPUBackendInfo | None:
    """The CUDA backend as nvidia-smi reports it; None when there is none or the tool fails."""
    executable = shutil.which("nvidia-smi")
    if executable is None:
        return None
    try:
        result = subprocess.run(
            [executable, "--query-gpu=name,memory.total,driver_version", "--format=csv,noheader,nounits"],
            capture_output=True,
            timeout=NVIDIA_SMI_TIMEOUT,
            check=False,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    if result.returncode != 0:
        return None
    return _parse_nvidia_smi(result.stdout.decode("utf-8", errors="replace"))


class GPUBackendRegistry:
    """Detection of the host's compute backends (class methods only)."""

    def __repr__(self) -> str:
        return "GPUBackendRegistry()"

    @classmethod
    def detect_available_backends(cls) -> dict[GPUBackendKind, GPUBackendInfo]:
        """Available backends in order of preference; the CPU is always among them."""
        found = {GPUBackendKind.CPU: _cpu_backend()}
        cuda = _cuda_backend()
        if cuda is not None:
            found[GPUBackendKind.CUDA] = cuda
        return {kind: found[kind] for kind in _PREFERENCE if kind in found}

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The most preferred available backend (the CPU when there is no accelerator)."""
        backends = cls.detect_available_backends()
        return GPUBackend(next(iter(backends.values())))
