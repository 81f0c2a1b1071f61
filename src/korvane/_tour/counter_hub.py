"""Running counter statistics."""

from korvane._tour import heading, show
from korvane.monitoring.counter_hub import create_aggregator


def run() -> None:
    heading("counter hub: running statistics per counter")
    agg = create_aggregator(8)
    for latency_ms in (2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0):
        agg.update(0, latency_ms)
    for size in (512.0, 4096.0, 1024.0):
        agg.update(5, size)
    for counter_id, stats in agg.get_all_stats():
        show(f"counter {counter_id}", ", ".join(f"{k}={v:g}" for k, v in stats.items()))
    agg.update(3, 0.1)
    agg.update(3, 0.1)
    agg.update(3, 0.1)
    stats = agg.get_stats(3)
    show("three samples of 0.1: variance", stats["variance"])
    show("std, a complex root", stats["std"])
    try:
        agg.update(8, 1.0)
    except IndexError as exc:
        show("update(8, 1.0) on 8 counters", f"IndexError: {exc}")
    agg.reset_all()
    show("after reset_all()", agg.get_all_stats())
