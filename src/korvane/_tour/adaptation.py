"""An adaptation decision from a synthetic performance history."""

from korvane._tour import heading, show
from korvane.plugins.analyzer.adaptation_policy import (
    calculate_adaptation_urgency,
    calculate_performance_trend,
    detect_dominant_pattern,
    detect_memory_pressure,
    detect_performance_degradation,
    detect_workload_characteristics_change,
    is_adaptation_beneficial,
    predict_resource_requirements,
    score_pool_recommendation,
    should_skip_adaptation,
)


def run() -> None:
    heading("adaptation policy: should the orchestrator switch pools?")
    # Throughput samples (second, ops/s): steady at 100, then sliding down to 70.
    history = [(float(t), 100.0) for t in range(10)] + [(float(t), 100.0 - 3.0 * (t - 10)) for t in range(10, 20)]
    baseline, window_start = 100.0, 12.0
    in_window = [p for t, p in history if t >= window_start]
    degradation = (baseline - sum(in_window) / len(in_window)) / baseline
    show("samples / in window", f"{len(history)} / {len(in_window)}")
    show("degraded by more than 10%", detect_performance_degradation(history, baseline, 0.1, window_start))
    show("relative trend per second", f"{calculate_performance_trend(history, window_start):+.4f}")

    records = [{"parallelization_potential": 0.2, "cpu_intensity": 0.4, "memory_intensity": 0.3}] * 3 + [
        {"parallelization_potential": 0.8, "cpu_intensity": 0.9, "memory_intensity": 0.3}] * 3
    changed, par, cpu, mem = detect_workload_characteristics_change(records)
    show("workload changed (par, cpu, mem)", f"{changed} ({par:.2f}, {cpu:.2f}, {mem:.2f})")
    show("dominant pattern", detect_dominant_pattern(["io_bound", "cpu_bound", "cpu_bound", "mixed", "cpu_bound"]))
    pressure = detect_memory_pressure(850e6, 1e9)
    show("memory pressure (850 MB of 1 GB)", pressure)

    urgency = calculate_adaptation_urgency(degradation, 0.85, 0.1, changed)
    score = score_pool_recommendation(0.9, 0.7, 0.8, 0.75)
    show("urgency", f"{urgency:.3f}")
    show("score of pool 'process'", f"{score:.3f}")
    show("skip (last adaptation 90 s ago)", should_skip_adaptation(100.0, 190.0, 60.0))
    show("switch 'thread' -> 'process'", is_adaptation_beneficial("thread", "process", score, 0.8, 0.6, 1))

    allocations = [(t * 0.5, 4096 if t % 4 else 65536) for t in range(40)]
    count, nbytes, confidence = predict_resource_requirements(allocations, 60.0)
    show("next 60 s: allocations, bytes", f"{count}, {nbytes}")
    show("prediction confidence", f"{confidence:.2f}")
