"""CounterAggregator against a Python class with a lock and runstats.Statistics."""

import threading

import pytest
import runstats

from korvane.monitoring.counter_hub import CounterAggregator

INF = float("inf")
ROUNDS = 1000  # calls per timed round
IDS = [i % 64 for i in range(ROUNDS)]
VALUES = [float(i % 97) * 0.5 for i in range(ROUNDS)]


class PyCounterAggregator:
    """The same table in plain Python: one lock, records as lists."""

    def __init__(self, num_counters=1000):
        self.num_counters = num_counters
        self.lock = threading.Lock()
        self.counters = [[0, 0.0, 0.0, INF, -INF] for _ in range(num_counters)]

    def update(self, counter_id, value):
        if counter_id < 0 or counter_id >= self.num_counters:
            raise IndexError(f"Counter ID {counter_id} out of range")
        value = float(value)
        with self.lock:
            r = self.counters[counter_id]
            r[0] += 1
            r[1] += value
            r[2] += value * value
            if r[3] > value:
                r[3] = value
            if value > r[4]:
                r[4] = value

    def get_stats(self, counter_id):
        if counter_id < 0 or counter_id >= self.num_counters:
            raise IndexError(f"Counter ID {counter_id} out of range")
        with self.lock:
            count, total, total_sq, lo, hi = self.counters[counter_id]
            if count == 0:
                return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
            mean = total / count
            variance = total_sq / count - mean * mean
            return {"count": count, "mean": mean, "variance": variance, "std": variance**0.5, "min": lo,
                    "max": hi}


def _filled(agg):
    for cid, value in zip(IDS, VALUES):
        agg.update(cid, value)
    return agg


def _update_loop(update):
    def run():
        for cid, value in zip(IDS, VALUES):
            update(cid, value)
    return run


def _get_stats_loop(get_stats):
    def run():
        for cid in IDS:
            get_stats(cid)
    return run


@pytest.mark.benchmark(group="update")
def test_update_korvane(benchmark):
    benchmark(_update_loop(CounterAggregator().update))


@pytest.mark.benchmark(group="update")
def test_update_python_lock(benchmark):
    benchmark(_update_loop(PyCounterAggregator().update))


@pytest.mark.benchmark(group="update")
def test_update_runstats(benchmark):
    table = [runstats.Statistics() for _ in range(1000)]
    benchmark(_update_loop(lambda cid, value: table[cid].push(value)))


@pytest.mark.benchmark(group="get_stats")
def test_get_stats_korvane(benchmark):
    benchmark(_get_stats_loop(_filled(CounterAggregator()).get_stats))


@pytest.mark.benchmark(group="get_stats")
def test_get_stats_python_lock(benchmark):
    benchmark(_get_stats_loop(_filled(PyCounterAggregator()).get_stats))


@pytest.mark.benchmark(group="get_stats")
def test_get_stats_runstats(benchmark):
    table = [runstats.Statistics() for _ in range(1000)]
    for cid, value in zip(IDS, VALUES):
        table[cid].push(value)

    def get_stats(cid):
        s = table[cid]
        return s.mean(), s.variance(0)

    benchmark(_get_stats_loop(get_stats))
