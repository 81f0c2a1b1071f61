"""Size-keyed red-black tree of free memory blocks with lock-free best-fit readers."""

import math as math
import threading as threading
import time as time
from typing import Any as Any, Dict as Dict, List as List, NotRequired, Optional as Optional, Tuple as Tuple, TypedDict, type_check_only

from typing_extensions import Self, disjoint_base

from korvane.memory.lockfree_core import AtomicCounter as AtomicCounter
from korvane.memory.memory_block import MemoryBlock as MemoryBlock

ATOMIC_AVAILABLE: bool

@type_check_only
class _TreeStats(TypedDict):
    total_blocks: int
    total_insertions: int
    total_deletions: int
    total_searches: int
    bucket_hits: int
    tree_hits: int
    operation_count: int
    circuit_breaker_trips: NotRequired[int]
    node_count: int
    height: int
    sampled_operations: int
    is_valid: bool

@disjoint_base
class FastRedBlackTree:
    """Red-black tree of free memory blocks keyed by size, for best-fit lookup."""

    def __new__(cls, sample_rate: int = 100) -> Self: ...
    @property
    def seq_counter(self) -> int:
        """Sequence counter of the writers: odd while a write is in progress."""

    @staticmethod
    def _sanitize_size(size: int) -> int: ...
    def insert(self, size: int, block: MemoryBlock) -> bool: ...
    def delete(self, size: int, block: MemoryBlock) -> bool: ...
    def size(self) -> int: ...
    def clear(self) -> None: ...
    def find_best_fit(self, size: int, alignment: int = 1) -> Optional[MemoryBlock]: ...
    def find_all_exact(self, size: int) -> List[MemoryBlock]: ...
    def remove_ge(self, size: int) -> tuple[int, MemoryBlock] | tuple[None, None]: ...
    def reset_circuit_breaker(self) -> None: ...
    def get_stats(self) -> _TreeStats: ...
    def get_size_distribution(self) -> Dict[int, int]: ...
    def get_statistics(self) -> Dict[int, List[float]]: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
