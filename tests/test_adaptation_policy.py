import decimal
import functools
import math
import operator
import random
import struct
import sys
import sysconfig
import threading
import time

import pytest
from hypothesis import example, given, settings, strategies as st

from korvane.plugins.analyzer import adaptation_policy as ap

NO_CHANGE = ap.detect_workload_characteristics_change([])
EMPTY = ap.predict_resource_requirements([], 1.0)
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


# --- Python rendering of the same rules ---------------------------------------------------------


def clamp(v, lo, hi):
    return max(lo, min(hi, v))


def sat32(v):
    if v != v:
        return 0
    if v <= -(2**31):
        return -(2**31)
    if v >= 2**31:
        return 2**31 - 1
    return int(v)


def ref_degradation(history, baseline, threshold, window_start):
    if history is None or not history or baseline <= 0.0 or len(history) < 5:
        return False
    count, total = 0, 0.0
    for sample in history:
        t, p = sample
        t, p = float(t), float(p)
        if t >= window_start:
            count += 1
            total += p
    if count < 5:
        return False
    return (baseline - total / count) / baseline > threshold


def ref_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    window = [(float(t), float(p)) for t, p in history]
    window = [(t, p) for t, p in window if t >= window_start]
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
    return clamp(((sxy - (n * mx) * my) / den) / my, -1.0, 1.0)


def ref_change(history, threshold=0.3):
    n = len(history)
    if n < 6 or any(k not in r for r in history[-6:] for k in KEYS):
        return NO_CHANGE
    # Plain left-to-right addition: sum() compensates rounding for floats.
    avg = [[functools.reduce(operator.add, (r[k] for r in part), 0.0) / 3.0 for k in KEYS]
           for part in (history[-3:], history[-6:-3])]
    changes = [abs(a - b) for a, b in zip(*avg)]
    return (any(c > threshold for c in changes), *changes)


def ref_dominant(patterns, window_size=5):
    counts = {}
    for p in patterns[max(len(patterns) - window_size, 0):] if window_size > 0 else []:
        counts[p] = counts.get(p, 0) + 1
    best, best_count = "mixed", 0
    for p, c in counts.items():
        if c > best_count:
            best, best_count = p, c
    return best


def ref_beneficial(cur, rec, score, conf, est, trigger, ratio=1.1, min_conf=0.6):
    if cur == rec or conf < min_conf:
        return False
    if int(trigger) == 0:
        return score > 0.5
    return score > ratio * est if est > 0.0 else score > 0.6


def ref_urgency(d, p, f, changed):
    u = 0.0 + clamp(d, 0.0, 1.0) * 0.4 + clamp(p, 0.0, 1.0) * 0.3 + clamp(f, 0.0, 1.0) * 0.15
    return clamp(u + 0.15 if changed else u, 0.0, 1.0)


def ref_score(w, m, t, h):
    s = clamp(m, 0.0, 1.0) * 0.3 + clamp(w, 0.0, 1.0) * 0.35 + clamp(t, 0.0, 1.0) * 0.2
    return clamp(s + clamp(h, 0.0, 1.0) * 0.15, 0.0, 1.0)


def ref_predict(history, horizon):
    n = len(history)
    if n < 10:
        return EMPTY
    span = float(history[-1][0]) - float(history[0][0])
    if span <= 0.0:
        return EMPTY
    total = 0.0
    for _, size in history:
        total += float(size)
    count = sat32(n / span * horizon)
    return (count, sat32(total / n * count), min(n / 100.0, 1.0) * 0.8)


def bits(v):
    if isinstance(v, float):
        return struct.pack("<d", v)
    if isinstance(v, tuple):
        return tuple(bits(x) for x in v)
    return (type(v), v)


# --- differential tests -------------------------------------------------------------------------

any_float = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([0.0, -0.0, 0.5, 1.0, 0.3, 0.6, 1.1])
unit = st.floats(-0.5, 1.5) | st.sampled_from([0.0, -0.0, 1.0, math.nan, math.inf, -math.inf])


@settings(max_examples=400)
@given(unit, unit, unit, unit, st.booleans())
def test_scores_match_python(a, b, c, d, flag):
    assert bits(ap.calculate_adaptation_urgency(a, b, c, flag)) == bits(ref_urgency(a, b, c, flag))
    assert bits(ap.score_pool_recommendation(a, b, c, d)) == bits(ref_score(a, b, c, d))
    assert ap.detect_memory_pressure(a, b, c) == (not (b <= 0.0 or a < 0.0) and a / b > c)
    assert ap.detect_fragmentation_threshold(a, b) == (not a < 0.0 and a > b)
    assert ap.should_skip_adaptation(a, b, c) == (b - a < c)


@settings(max_examples=400)
@given(st.sampled_from(["a", "b", None]), st.sampled_from(["a", "b", None]), any_float, unit, any_float,
       st.sampled_from([0, 1, -7, 0.5, 2.9]), any_float, unit)
# The defaults' edges: a confidence just below and at min_confidence 0.6, a score just above 1.1 x estimate.
@example("a", "b", 0.9, 0.59, 0.5, 0, 1.1, 0.6)
@example("a", "b", 0.9, 0.55, 0.5, 0, 1.1, 0.6)
@example("a", "b", 0.9, 0.6, 0.5, 0, 1.1, 0.6)
@example("a", "b", 0.56, 0.7, 0.5, 1, 1.1, 0.6)
def test_beneficial_matches_python(cur, rec, score, conf, est, trigger, ratio, min_conf):
    args = (cur, rec, score, conf, est, trigger, ratio, min_conf)
    assert ap.is_adaptation_beneficial(*args) == ref_beneficial(*args)
    assert ap.is_adaptation_beneficial(*args[:6]) == ref_beneficial(*args[:6])


def random_history(rng, n):
    t = rng.choice([0.0, 1e9, -50.0])
    out = []
    for _ in range(n):
        t += rng.choice([0.0, 1.0, rng.random(), rng.expovariate(0.1), -rng.random()])
        p = rng.choice([rng.uniform(-10, 200), 100, 0.0, 1e-12, rng.gauss(50, 40)])
        out.append(rng.choice([(t, p), [t, p], (int(t), p), (t, int(p))]))
    return out


def test_history_functions_match_python():
    rng = random.Random(1234)
    for _ in range(3000):
        history = random_history(rng, rng.choice([0, 2, 3, 4, 5, 6, 9, 10, 12, 40, 150]))
        ws = rng.choice([-math.inf, 0.0, rng.uniform(-50, 60), history[len(history) // 2][0] if history else 0.0])
        base, thr, hor = rng.uniform(-10, 200), rng.uniform(-0.5, 0.5), rng.choice([0.0, 1.0, 3600.0, 1e12, -5.0])
        assert bits(ap.calculate_performance_trend(history, ws)) == bits(ref_trend(history, ws))
        assert ap.detect_performance_degradation(history, base, thr, ws) == ref_degradation(history, base, thr, ws)
        assert bits(ap.predict_resource_requirements(history, hor)) == bits(ref_predict(history, hor))


@settings(max_examples=300)
@given(st.lists(st.tuples(any_float, any_float), max_size=14), any_float, any_float)
def test_history_functions_with_extreme_values(history, ws, horizon):
    assert bits(ap.calculate_performance_trend(history, ws)) == bits(ref_trend(history, ws))
    assert ap.detect_performance_degradation(history, 100.0, 0.1, ws) == ref_degradation(history, 100.0, 0.1, ws)
    assert bits(ap.predict_resource_requirements(history, horizon)) == bits(ref_predict(history, horizon))


def test_records_and_patterns_match_python():
    rng = random.Random(99)
    for _ in range(2000):
        history = [{k: rng.choice([rng.random(), 1, True, 0.5]) for k in KEYS if rng.random() > 0.03}
                   for _ in range(rng.randrange(0, 10))]
        thr = rng.choice([0.0, 0.3, 0.5])
        got, want = ap.detect_workload_characteristics_change(history, thr), ref_change(history, thr)
        assert bits(got) == bits(want) and (want is not NO_CHANGE or got is NO_CHANGE)
        names = [rng.choice(["a", "b", "c", None, "a" * 3]) for _ in range(rng.randrange(0, 150))]
        w = rng.choice([-3, 0, 1, 5, 7, 64, 65, 200])
        assert ap.detect_dominant_pattern(names, w) == ref_dominant(names, w)


def samples(n, slope, kind=tuple):
    """n fresh samples, performance 100 changing by slope per time unit."""
    return [kind((t * 1.0, 100.0 + slope * t)) for t in range(n)]


# Each function with two states of its list argument (made afresh on every call).
CHANGING = [
    (lambda h: ap.calculate_performance_trend(h, 0.0), lambda: samples(3, 10.0), lambda: samples(6, -7.0, list)),
    (lambda h: ap.detect_performance_degradation(h, 100.0, 0.05, 0.0), lambda: samples(5, -5.0),
     lambda: samples(8, 1.0, list)),
    (ap.detect_workload_characteristics_change, lambda: [dict.fromkeys(KEYS, i / 10) for i in range(6)],
     lambda: [dict.fromkeys(KEYS, (i % 2) / 3) for i in range(9)]),
    (lambda h: ap.detect_dominant_pattern(h, 6), lambda: ["".join("ab")] * 2 + ["".join("cd")] * 3,
     lambda: [str(i) for i in range(40, 50)]),
    (lambda h: ap.predict_resource_requirements(h, 9.0), lambda: samples(10, 1.0),
     lambda: samples(13, 3.0, list)),
]


@pytest.mark.parametrize("call, first, second", CHANGING)
def test_lists_changed_by_other_threads(call, first, second):
    # One thread replaces the list's contents whole, again and again, while two others call the
    # function on it: every call sees one of the two states (no crash, no mixture of them).
    history, stop, seen = first(), threading.Event(), [[], []]
    valid = {call(first()), call(second())}

    def flip():
        while not stop.is_set():
            history[:] = second()
            history[:] = first()

    def read(k):
        seen[k] = [call(history) for _ in range(1500)]

    threads = [threading.Thread(target=flip)] + [threading.Thread(target=read, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()
    assert set(seen[0] + seen[1]) <= valid and len(seen[0]) == len(seen[1]) == 1500


class Pausing:
    """A number whose conversion, in the middle of a pass over its list, waits (busy, never blocking)
    until released."""

    def __init__(self, value):
        self.value, self.entered, self.released = value, threading.Event(), threading.Event()

    def __float__(self):
        self.entered.set()
        deadline = time.monotonic() + 10
        while not self.released.is_set() and time.monotonic() < deadline:
            pass
        return float(self.value)

    def __radd__(self, other):
        return other + float(self)


# (the call, its list around one Pausing value)
PAUSED = [
    (lambda h: ap.calculate_performance_trend(h, 0.0), lambda p: samples(3, 1.0) + [(3.0, p)] + samples(3, 1.0)),
    (lambda h: ap.detect_performance_degradation(h, 100.0, 0.1, 0.0), lambda p: samples(4, 1.0) + [(4.0, p)]),
    (lambda h: ap.predict_resource_requirements(h, 9.0), lambda p: [(t, 64) for t in range(9)] + [(9, p)]),
    (ap.detect_workload_characteristics_change, lambda p: [dict.fromkeys(KEYS, 0.1) for _ in range(5)] +
     [dict.fromkeys(KEYS, p)]),
]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="lists' critical sections")
@pytest.mark.parametrize("call, make", PAUSED)
def test_a_thread_changing_the_list_waits_for_the_pass(call, make):
    # The pass holds the list's critical section while a conversion runs Python code that does not
    # block: another thread's change waits for the pass to end.
    pausing = Pausing(0.5)
    history, results = make(pausing), []
    caller = threading.Thread(target=lambda: results.append(call(history)))
    caller.start()
    assert pausing.entered.wait(10)
    changer = threading.Thread(target=history.clear)
    changer.start()
    waited = still_running(changer)
    pausing.released.set()
    caller.join()
    changer.join()
    assert waited and len(results) == 1 and history == []


def still_running(thread, seconds=0.2):
    thread.join(seconds)
    return thread.is_alive()


# --- fixed results, messages and malformed input ------------------------------------------------


def test_shared_results_and_examples():
    assert NO_CHANGE == (False, 0.0, 0.0, 0.0) and EMPTY == (0, 0, 0.0)
    six = [dict.fromkeys(KEYS, 0.5) for _ in range(6)]
    six[2] = {"parallelization_potential": 1, "cpu_intensity": 9}  # no memory key: unchanged at once
    assert ap.detect_workload_characteristics_change(six) is NO_CHANGE
    assert ap.predict_resource_requirements([(i, 100) for i in range(9)], 9.0) is EMPTY
    assert ap.predict_resource_requirements([(5, 100)] * 10, 9.0) is EMPTY
    assert ap.predict_resource_requirements([(i, 100) for i in range(10)], 9.0) == (10, 1000, 0.1 * 0.8)
    assert ap.predict_resource_requirements([(i, 10**6) for i in range(100)], 1e10) == (2**31 - 1, 2**31 - 1, 0.8)
    assert ap.predict_resource_requirements([(i, 1) for i in range(10)], -math.inf)[:2] == (-(2**31), -(2**31))
    assert ap.score_pool_recommendation(1, 1, 1, 1) == pytest.approx(1.0)
    eighty = [(float(t), 80) for t in range(5)]
    assert [ap.detect_performance_degradation(eighty, 100, thr, 0.0) for thr in (0.1, 0.2)] == [True, False]
    assert [ap.detect_memory_pressure(85, 100), ap.detect_memory_pressure(80, 100)] == [True, False]
    assert [ap.should_skip_adaptation(100.0, t, 10.0) for t in (105.0, 110.0)] == [True, False]
    assert ap.detect_fragmentation_threshold(0.3) is False and ap.detect_fragmentation_threshold(-1, -2) is False
    big = ["x"] * 50 + ["b", "a"] * 40  # window of 70 needs the dict path
    assert [ap.detect_dominant_pattern(big, w) for w in (70, 71, 200)] == ["b", "a", "x"]
    first = "p" + "q"
    assert ap.detect_dominant_pattern([first, "pq"]) is first
    assert ap.detect_dominant_pattern(["a"], window_size=2.9) == "a"


def above(x):
    return math.nextafter(x, math.inf)


def below(x):
    return math.nextafter(x, -math.inf)


def records(older, recent):
    return [dict.fromkeys(KEYS, older)] * 3 + [dict.fromkeys(KEYS, recent)] * 3


def test_band_edges_and_defaults():
    degraded = [(float(t), 50.0) for t in range(6)]
    rising = [(0.0, 1.0), (1.0, 2.0), (2.0, 3.0)]
    ben = ap.is_adaptation_beneficial
    for call, expected in [
        # Degradation: at least 5 samples at or after the window start, a baseline above 0, a drop above the threshold.
        (lambda: ap.detect_performance_degradation(degraded[:4], 100, 0.1, 0.0), False),
        (lambda: ap.detect_performance_degradation(degraded[:5], 100, 0.1, 0.0), True),
        (lambda: ap.detect_performance_degradation(degraded, 100, 0.1, 1.0), True),  # t == start counts
        (lambda: ap.detect_performance_degradation(degraded, 100, 0.1, above(1.0)), False),
        (lambda: ap.detect_performance_degradation([(t, -p) for t, p in degraded], 0.0, -5.0, 0.0), False),
        (lambda: ap.detect_performance_degradation(degraded, 100, 0.5, 0.0), False),
        (lambda: ap.detect_performance_degradation(degraded, 100, below(0.5), 0.0), True),
        # Trend: at least 3 samples at or after the window start.
        (lambda: ap.calculate_performance_trend(rising[:2], 0.0), 0.0),
        (lambda: ap.calculate_performance_trend(rising, 0.0), 0.5),
        (lambda: ap.calculate_performance_trend(rising, above(0.0)), 0.0),
        # Workload change: 6 records, a change above the threshold (0.3 by default).
        (lambda: ap.detect_workload_characteristics_change(records(0.5, 0.75)[1:]), NO_CHANGE),
        (lambda: ap.detect_workload_characteristics_change(records(0.5, 0.75), 0.25), (False, 0.25, 0.25, 0.25)),
        (lambda: ap.detect_workload_characteristics_change(records(0.5, 0.75), below(0.25))[0], True),
        (lambda: ap.detect_workload_characteristics_change(records(0.0, 0.28125))[0], False),
        (lambda: ap.detect_workload_characteristics_change(records(0.0, 0.3125))[0], True),
        # Dominant pattern: the last 5 by default; a tie goes to the pattern seen first.
        (lambda: ap.detect_dominant_pattern(["a", "b", "b", "c", "c", "a"]), "b"),
        (lambda: ap.detect_dominant_pattern(["a", "b", "b", "c", "c", "a"], 6), "a"),
        (lambda: ap.detect_dominant_pattern(["x"] + ["y", "z"] * 32, 64), "y"),
        (lambda: ap.detect_dominant_pattern(["z"] + ["y", "z"] * 32, 65), "z"),
        (lambda: ap.detect_dominant_pattern(["a"], 0), "mixed"),
        # Beneficial: confidence at least min_confidence (0.6), then a score above 0.5 (trigger 0), above
        # min_improvement_ratio (1.1) times a positive estimate, or else above 0.6.
        (lambda: ben("a", "b", 0.9, 0.6, 0.0, 0), True), (lambda: ben("a", "b", 0.9, below(0.6), 0.0, 0), False),
        (lambda: ben("a", "b", 0.5, 0.9, 0.0, 0), False), (lambda: ben("a", "b", above(0.5), 0.9, 0.0, 0), True),
        (lambda: ben("a", "b", 1.1, 0.9, 1.0, 1), False), (lambda: ben("a", "b", above(1.1), 0.9, 1.0, 1), True),
        (lambda: ben("a", "b", 0.6, 0.9, 0.0, 1), False), (lambda: ben("a", "b", above(0.6), 0.9, 0.0, 1), True),
        (lambda: ben("a", "b", 0.6, 0.9, -1.0, 1), False), (lambda: ben("a", "a", 9.0, 0.9, 0.0, 0), False),
        (lambda: ben(None, None, 9.0, 0.9, 0.0, 0), False), (lambda: ben(None, "a", 9.0, 0.9, 0.0, 0), True),
        # Skipping: while less than min_interval has passed.
        (lambda: ap.should_skip_adaptation(100.0, below(110.0), 10.0), True),
        (lambda: ap.should_skip_adaptation(100.0, 110.0, 10.0), False),
        # Memory pressure: a usage share above the threshold (0.8 by default), for a positive peak and usage
        # that is not negative.
        (lambda: ap.detect_memory_pressure(80.0, 100), False),
        (lambda: ap.detect_memory_pressure(above(80.0), 100), True),
        (lambda: ap.detect_memory_pressure(0.0, 100, below(0.0)), True),
        (lambda: ap.detect_memory_pressure(-1.0, 100, -5.0), False),
        (lambda: ap.detect_memory_pressure(5.0, 0.0, -5.0), False),
        (lambda: ap.detect_memory_pressure(5.0, -1.0, -50.0), False),
        # Fragmentation: a ratio that is not negative, above the threshold (0.3 by default).
        (lambda: ap.detect_fragmentation_threshold(above(0.3)), True),
        (lambda: ap.detect_fragmentation_threshold(0.0, -1.0), True),
        (lambda: ap.detect_fragmentation_threshold(below(0.0), -1.0), False),
        # Prediction: at least 10 records over a positive span; confidence grows to 0.8 at 100 records.
        (lambda: ap.predict_resource_requirements([(i, 1) for i in range(9)], 1.0), EMPTY),
        (lambda: ap.predict_resource_requirements([(i, 1) for i in range(10)], 9.0), (10, 10, 0.1 * 0.8)),
        (lambda: ap.predict_resource_requirements([(5, 1)] * 10, 1.0), EMPTY),
        (lambda: ap.predict_resource_requirements([(9 - i, 1) for i in range(10)], 1.0), EMPTY),
        (lambda: ap.predict_resource_requirements([(i, 1) for i in range(99)], 98.0)[2], 0.99 * 0.8),
        (lambda: ap.predict_resource_requirements([(i, 1) for i in range(101)], 100.0)[2], 0.8),
    ]:
        assert bits(call()) == bits(expected), expected


def err(exc, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    return str(info.value)


class Strs(str):
    pass


def test_argument_errors():
    count = "%s() takes %s positional argument%s (%d given)"
    for call, want in [
        (lambda: ap.detect_dominant_pattern([], 1, 2), ("detect_dominant_pattern", "at most 2", "s", 3)),
        (lambda: ap.is_adaptation_beneficial("a"), ("is_adaptation_beneficial", "at least 6", "s", 1)),
        (lambda: ap.detect_fragmentation_threshold(), ("detect_fragmentation_threshold", "at least 1", "", 0)),
        (lambda: ap.predict_resource_requirements([]), ("predict_resource_requirements", "exactly 2", "s", 1)),
    ]:
        assert err(TypeError, call) == count % want
    assert err(TypeError, ap.calculate_performance_trend, [], 1, window_start=1) == \
        "calculate_performance_trend() got an unexpected keyword argument 'window_start'"
    typ = "Argument '%s' has incorrect type (expected %s, got %s)"
    for bad in ((1, 2), type("L", (list,), {})()):
        got = ("list", type(bad).__name__)
        assert err(TypeError, ap.calculate_performance_trend, bad, 0) == typ % ("performance_history", *got)
        assert err(TypeError, ap.detect_performance_degradation, bad, 1, 1, 1) == typ % ("performance_history", *got)
        assert err(TypeError, ap.detect_workload_characteristics_change, bad) == typ % ("pattern_history", *got)
        assert err(TypeError, ap.detect_dominant_pattern, bad) == typ % ("patterns", *got)
        assert err(TypeError, ap.predict_resource_requirements, bad, 1) == typ % ("allocation_history", *got)
    assert err(TypeError, ap.is_adaptation_beneficial, Strs("a"), "b", 1, 1, 1, 0) == \
        typ % ("current_pool", "str", "Strs")
    assert err(TypeError, ap.is_adaptation_beneficial, "a", b"b", 1, 1, 1, 0) == \
        typ % ("recommended_pool", "str", "bytes")
    no_len = "object of type 'NoneType' has no len()"
    assert err(TypeError, ap.detect_workload_characteristics_change, None) == no_len
    assert err(TypeError, ap.detect_dominant_pattern, None) == no_len
    assert err(TypeError, ap.predict_resource_requirements, None, 1) == no_len
    assert ap.calculate_performance_trend(None, 0) == 0.0 and ap.detect_performance_degradation(None, 1, 1, 1) is False
    assert err(OverflowError, ap.detect_dominant_pattern, ["a"], 2**31)
    assert err(OverflowError, ap.is_adaptation_beneficial, "a", "b", 1, 1, 1, -(2**31) - 1)
    assert err(TypeError, ap.detect_dominant_pattern, ["a"], "5") == "an integer is required"
    assert err(TypeError, ap.should_skip_adaptation, 1, "2", 3) == "must be real number, not str"
    assert ap.is_adaptation_beneficial("a", "b", 0.55, 0.7, 0.5, 0.5) is True  # trigger 0.5 truncates to 0


def two_then_raise():
    yield 1.0
    yield 2.0
    raise LookupError("third")


def test_malformed_samples_inside_and_outside_the_window():
    good = [(t, 80.0) for t in range(10, 16)]
    alloc = [(t, 64) for t in range(12)]
    cases = [(lambda: (1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
             (lambda: [1], ValueError, "need more than 1 value to unpack"),
             (lambda: (), ValueError, "need more than 0 values to unpack"),
             (lambda: iter([1]), ValueError, "need more than 1 value to unpack"),
             (lambda: (x for x in (1, 2, 3)), ValueError, "too many values to unpack (expected 2)"),
             (lambda: 5, TypeError, "'int' object is not iterable"),
             (lambda: (5.0, "x"), TypeError, "must be real number, not str"),  # before the window start
             (lambda: two_then_raise(), LookupError, "third")]
    for make, exc, msg in cases:
        for at in (0, 3, 6):
            assert err(exc, ap.detect_performance_degradation, good[:at] + [make()] + good[at:], 100, 0.1, 10) == msg
            assert err(exc, ap.calculate_performance_trend, good[:at] + [make()] + good[at:], 10.0) == msg
        assert err(exc, ap.predict_resource_requirements, alloc[:5] + [make()] + alloc[5:], 1.0) == msg
    assert ap.predict_resource_requirements([(0, 1)] + [("ts", 1)] * 8 + [(9, 1)], 9.0) == (10, 10, 0.1 * 0.8)
    assert err(TypeError, ap.predict_resource_requirements, [5] + alloc, 1.0) == "'int' object is not subscriptable"
    assert err(IndexError, ap.predict_resource_requirements, alloc + [[]], 1.0) == "list index out of range"
    recs = [dict.fromkeys(KEYS, 0.1) for _ in range(6)]
    assert err(TypeError, ap.detect_workload_characteristics_change, recs[:5] + [[1]]) == "Expected dict, got list"
    assert err(TypeError, ap.detect_workload_characteristics_change, [None] + recs[1:]) == \
        "'NoneType' object is not iterable"
    assert ap.detect_workload_characteristics_change([None, 7] + recs) == (False, 0.0, 0.0, 0.0)
    recs[-1] = {**recs[-1], "cpu_intensity": decimal.Decimal(1)}
    assert err(TypeError, ap.detect_workload_characteristics_change, recs) == \
        "unsupported operand type(s) for +: 'float' and 'decimal.Decimal'"
    assert err(TypeError, ap.detect_dominant_pattern, ["a", Strs("b")]) == "Expected str, got Strs"
    assert ap.detect_dominant_pattern([1, 2, "a"], 1) == "a"  # entries outside the window are not read


def in_another_thread(change):
    """Runs `change` in a second thread and waits for it: the caller blocks meanwhile, which lets
    go of a list's critical section (free-threaded build) or of the interpreter lock."""
    worker = threading.Thread(target=change)
    worker.start()
    worker.join()


def test_hostile_samples_and_reference_counts():
    # A sample's conversion empties the history, itself or through another thread, while it is read.
    for shorten in (lambda f: f(), in_another_thread):
        for call in (lambda h: ap.calculate_performance_trend(h, 0.0),
                     lambda h: ap.detect_performance_degradation(h, 100.0, 0.1, 0.0)):
            history = [(float(t), 80.0) for t in range(8)]

            class Shrinking:
                def __float__(self):
                    shorten(history.clear)
                    return 5.0

            history.insert(1, (Shrinking(), 1.0))
            assert call(history) in (0.0, False) and history == []

    class Colliding:  # a dict key that empties the history while a record is searched
        def __hash__(self):
            return hash("parallelization_potential")

        def __eq__(self, other):
            records.clear()
            return True

    records = [{Colliding(): 1, "cpu_intensity": 1, "memory_intensity": 1}] + [dict.fromkeys(KEYS, 0.1)] * 5
    assert err(IndexError, ap.detect_workload_characteristics_change, records) == "list index out of range"

    class Changing(float):  # a value whose addition changes an older record, read after the recent ones
        def __radd__(self, other):
            change(records)
            return other + float(self)

    for change, exc, message in [(lambda r: r[0].pop("memory_intensity", None), KeyError, "'memory_intensity'"),
                                 (lambda r: r.__setitem__(1, [0.1]), TypeError, "Expected dict, got list")]:
        records = [dict.fromkeys(KEYS, 0.1) for _ in range(5)] + [dict.fromkeys(KEYS, Changing(0.5))]
        assert err(exc, ap.detect_workload_characteristics_change, records) == message

    class Raising:
        def __int__(self):
            raise ZeroDivisionError("int")

        __float__ = __iter__ = __bool__ = __int__

    assert err(ZeroDivisionError, ap.detect_dominant_pattern, ["a"], Raising()) == "int"
    assert err(ZeroDivisionError, ap.calculate_adaptation_urgency, 1, 1, 1, Raising()) == "int"
    assert err(ZeroDivisionError, ap.predict_resource_requirements, [(0, 1), Raising()] + [(9, 1)] * 8, 1) == "int"
    bad = object()
    payload = [(float(i), bad) for i in range(10)]
    before = sys.getrefcount(bad), sys.getrefcount(payload[0]), sys.getrefcount(payload)
    for _ in range(1000):
        with pytest.raises(TypeError):
            ap.calculate_performance_trend(payload, 0.0)
        with pytest.raises(TypeError):
            ap.predict_resource_requirements(payload, 1.0)
        with pytest.raises(ValueError):
            ap.detect_performance_degradation([(1.0, 1.0)] * 5 + [iter([1.0, 2.0, bad])], 1.0, 0.1, 0.0)
    assert (sys.getrefcount(bad), sys.getrefcount(payload[0]), sys.getrefcount(payload)) == before


def test_import_binds_attributes_in_order_and_logs_once(python_subprocess):
    result = python_subprocess("""
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.basicConfig(level=logging.INFO, handlers=[Keep()])
        from korvane.plugins.analyzer import adaptation_policy as ap
        print([k for k in vars(ap) if not k.startswith("__")])
        print([(r.name, r.levelname, r.getMessage()) for r in records])
    """)
    assert result.returncode == 0, result.stderr
    names, logged = result.stdout.splitlines()
    assert eval(names) == [
        "detect_performance_degradation", "calculate_performance_trend", "detect_workload_characteristics_change",
        "detect_dominant_pattern", "is_adaptation_beneficial", "should_skip_adaptation", "detect_memory_pressure",
        "detect_fragmentation_threshold", "calculate_adaptation_urgency", "score_pool_recommendation",
        "predict_resource_requirements", "logging", "logger"]
    assert eval(logged) == [("korvane.plugins.analyzer.adaptation_policy", "INFO",
                             "Korvane Adaptation Policy Cython module loaded - IP protected")]
