"""Scoring of function source text against keyword tables and framework patterns,
workload-pattern codes, GPU suitability, speed-up and parallelisation estimates."""

import logging as logging
import re as re

logger: logging.Logger

def quick_framework_score(code: str, framework: str | None) -> float: ...
def calculate_gpu_suitability(
    gpu_operation_score: float,
    gpu_data_size_score: float,
    cpu_intensity: float,
    gpu_available: object,
    compute_capability: str | None,
) -> float: ...
def estimate_gpu_speedup(gpu_operation_score: float, gpu_data_size_score: float, gpu_available: object) -> float: ...
def calculate_parallelization_potential(
    base_parallel_score: float, embarrassing_bonus: float, sequential_penalty: float, loop_chunking_potential: float
) -> float: ...
def score_indicators(code: str, function_name: str | None) -> tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: int, memory_score: int, parallel_score: int, gpu_op_score: int, large_data_score: int
) -> tuple[float, float, float, float, float]: ...
def score_framework_patterns(code: str) -> tuple[float, float, float]: ...
def determine_workload_pattern(
    cpu_intensity: float,
    memory_intensity: float,
    parallelization_potential: float,
    gpu_suitability: float,
    gpu_operation_score: float,
    numpy_score: float,
    pandas_score: float,
    sklearn_score: float,
    sequential_count: int,
    embarrassing_count: int,
    cpu_threshold: float,
    memory_threshold: float,
    gpu_threshold: float,
    numpy_threshold: float,
    pandas_threshold: float,
    sklearn_threshold: float,
    gpu_available: object,
) -> int: ...
def update_adaptive_threshold(
    current_threshold: float, success_rate: float, learning_rate: float, min_threshold: float, max_threshold: float
) -> float: ...
