"""Running statistics over a fixed number of lock-protected counters."""

import threading as threading
from types import CapsuleType
from typing import ClassVar, TypedDict, type_check_only

from typing_extensions import Self, disjoint_base

@type_check_only
class _CounterStats(TypedDict):
    count: int
    mean: float
    variance: float
    # A complex number when rounding makes the variance slightly negative.
    std: float | complex
    min: float
    max: float

@disjoint_base
class CounterAggregator:
    """Fast counter aggregation in compiled code."""

    _native_ops: ClassVar[CapsuleType]
    def __new__(cls, num_counters: int = 1000) -> Self: ...
    def update(self, counter_id: int, value: float) -> None: ...
    def get_stats(self, counter_id: int) -> _CounterStats: ...
    def reset(self, counter_id: int) -> None: ...
    def reset_all(self) -> None: ...
    def get_all_stats(self) -> list[tuple[int, _CounterStats]]: ...

def create_aggregator(num_counters: int = 1000) -> CounterAggregator: ...
