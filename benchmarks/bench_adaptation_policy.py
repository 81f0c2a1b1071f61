"""Trend and resource prediction over 1,000 samples: korvane against plain Python."""

import random

import pytest

from korvane.plugins.analyzer import adaptation_policy as ap
from test_adaptation_policy import ref_predict as py_predict
from test_adaptation_policy import ref_trend as py_trend

rng = random.Random(7)
PERFORMANCE = [(float(t), 100.0 + rng.gauss(0.0, 5.0) - 0.01 * t) for t in range(1000)]
ALLOCATIONS = [(t * 0.01, rng.choice((64, 256, 4096, 65536))) for t in range(1000)]


@pytest.mark.benchmark(group="calculate_performance_trend, 1,000 samples")
@pytest.mark.parametrize("impl", [ap.calculate_performance_trend, py_trend], ids=["korvane", "python"])
def test_performance_trend(benchmark, impl):
    assert benchmark(impl, PERFORMANCE, 100.0) == py_trend(PERFORMANCE, 100.0)


@pytest.mark.benchmark(group="predict_resource_requirements, 1,000 samples")
@pytest.mark.parametrize("impl", [ap.predict_resource_requirements, py_predict], ids=["korvane", "python"])
def test_resource_prediction(benchmark, impl):
    assert benchmark(impl, ALLOCATIONS, 60.0) == py_predict(ALLOCATIONS, 60.0)
