"""CounterAggregator against a Python class with a lock and runstats.Statistics."""

import threading

import pytest
import runstats

from korvane.monitoring.counter_hub import CounterAggregator

INF = float("inf")
CALLS = 1000  # calls per timed round
IDS = [i % 64 for i in range(CALLS)]
VALUES = [float(i % 97) * 0.5 for i in range(CALLS)]


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


class RunstatsTable:
    """runstats.Statistics per counter, read into the same dict as CounterAggregator.get_stats."""

    def __init__(self, num_counters=1000):
        self.table = [runstats.Statistics() for _ in range(num_counters)]

    def update(self, counter_id, value):
        self.table[counter_id].push(value)

    def get_stats(self, counter_id):
        s = self.table[counter_id]
        count = len(s)
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
        variance = s.variance(0)
        return {"count": count, "mean": s.mean(), "variance": variance, "std": variance**0.5, "min": s.minimum(),
                "max": s.maximum()}


IMPLS = {"korvane CounterAggregator": CounterAggregator, "Python with threading.Lock": PyCounterAggregator,
         "runstats": RunstatsTable}


def _filled(agg):
    for cid, value in zip(IDS, VALUES):
        agg.update(cid, value)
    return agg


@pytest.mark.benchmark(group="CounterAggregator.update")
@pytest.mark.parametrize("impl", list(IMPLS))
def test_update(benchmark, impl):
    update = IMPLS[impl]().update
    benchmark.extra_info["calls"] = CALLS

    def run():
        for cid, value in zip(IDS, VALUES):
            update(cid, value)

    benchmark(run)


@pytest.mark.benchmark(group="CounterAggregator.get_stats")
@pytest.mark.parametrize("impl", list(IMPLS))
def test_get_stats(benchmark, impl):
    get_stats = _filled(IMPLS[impl]()).get_stats
    benchmark.extra_info["calls"] = CALLS

    def run():
        for cid in IDS:
            get_stats(cid)

    benchmark(run)
