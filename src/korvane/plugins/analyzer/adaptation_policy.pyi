"""Decision arithmetic of the orchestrator: performance degradation and trend,
workload change, dominant pattern, adaptation go/no-go rules, memory pressure,
fragmentation, urgency, pool recommendation and resource prediction."""

import logging as logging
from collections.abc import Sequence
from typing import Any, TypeVar, overload

logger: logging.Logger

# A timed record, (timestamp, performance) or (timestamp, size): any
# two-element sequence of numbers. The histories must be lists.
_Record = TypeVar("_Record", bound=Sequence[float])

def detect_performance_degradation(
    performance_history: list[_Record] | None, baseline_performance: float, threshold: float, window_start_time: float
) -> bool: ...
def calculate_performance_trend(performance_history: list[_Record] | None, window_start_time: float) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[dict[str, Any]], change_threshold: float = 0.3
) -> tuple[bool, float, float, float]: ...
@overload
def detect_dominant_pattern(patterns: list[str], window_size: int = 5) -> str: ...
@overload
def detect_dominant_pattern(patterns: list[str | None], window_size: int = 5) -> str | None: ...
def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: float,
    recommendation_confidence: float,
    current_performance_estimate: float,
    trigger_code: int,
    min_improvement_ratio: float = 1.1,
    min_confidence: float = 0.6,
) -> bool: ...
def should_skip_adaptation(last_adaptation_time: float, current_time: float, min_interval: float) -> bool: ...
def detect_memory_pressure(current_usage: float, peak_usage: float, pressure_threshold: float = 0.8) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: float, memory_pressure: float, fragmentation_ratio: float, workload_changed: object
) -> float: ...
def score_pool_recommendation(
    workload_fit: float, memory_fit: float, thread_count_fit: float, historical_success_rate: float
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[_Record], prediction_horizon_seconds: float
) -> tuple[int, int, float]: ...
