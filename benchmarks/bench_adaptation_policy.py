"""Trend and resource prediction over 1,000 samples: korvane against plain Python."""

import random

import pytest

from korvane.plugins.analyzer import adaptation_policy as ap

rng = random.Random(7)
PERFORMANCE = [(float(t), 100.0 + rng.gauss(0.0, 5.0) - 0.01 * t) for t in range(1000)]
ALLOCATIONS = [(t * 0.01, rng.choice((64, 256, 4096, 65536))) for t in range(1000)]


def py_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    window = []
    for t, p in history:
        t, p = float(t), float(p)
        if t >= window_start:
            window.append((t, p))
    if len(window) < 3:
        return 0.0
    t0 = window[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, p in window:
        x = t - t0
        sx += x
        sy += p
        sxy += x * p
        sxx += x * x
    n = float(len(window))
    mx, my = sx / n, sy / n
    den = sxx - (n * mx) * mx
    if abs(den) < 1e-10 or abs(my) < 1e-10:
        return 0.0
    return max(-1.0, min(1.0, ((sxy - (n * mx) * my) / den) / my))


def py_predict(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(history[-1][0]) - float(history[0][0])
    if span <= 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for _, size in history:
        total += float(size)
    count = max(-(2**31), min(2**31 - 1, int(n / span * horizon)))
    return (count, max(-(2**31), min(2**31 - 1, int(total / n * count))), min(n / 100.0, 1.0) * 0.8)


@pytest.mark.benchmark(group="performance_trend")
@pytest.mark.parametrize("impl", [ap.calculate_performance_trend, py_trend], ids=["korvane", "python"])
def test_performance_trend(benchmark, impl):
    assert benchmark(impl, PERFORMANCE, 100.0) == py_trend(PERFORMANCE, 100.0)


@pytest.mark.benchmark(group="resource_prediction")
@pytest.mark.parametrize("impl", [ap.predict_resource_requirements, py_predict], ids=["korvane", "python"])
def test_resource_prediction(benchmark, impl):
    assert benchmark(impl, ALLOCATIONS, 60.0) == py_predict(ALLOCATIONS, 60.0)
