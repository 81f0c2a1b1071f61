import math
import random
import re
import struct
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.plugins.analyzer import task_scoring as ts

# --- a plain Python rendering of the rules ------------------------------------

INDICATOR_LISTS = [
    ["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod",
     "dot", "matmul", "fft", "linalg"],
    ["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"],
    ["multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
     "processpoolexecutor", "threadpoolexecutor"],
    ["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean", "std",
     "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply", "divide", "/", "*",
     "+", "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"],
    ["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024",
     "megabyte", "mb"],
    ["workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"],
    ["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"],
]
FRAMEWORK_LISTS = [
    ["numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul", "linalg",
     "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape", "transpose", "concatenate",
     "stack", "split"],
    ["pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
     "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"],
    ["sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv",
     "pipeline", "featureunion", "train_test_split", "classification", "regression", "clustering",
     "preprocessing", "model_selection", "metrics", "ensemble"],
]
PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def ref_indicators(code, name):
    code, name = code.lower(), name.lower() if name else ""
    return tuple(sum(1 for k in lst if k in code or (i in (3, 5) and k in name))
                 for i, lst in enumerate(INDICATOR_LISTS))


def ref_frameworks(code):
    code = code.lower()
    return tuple(clamp(sum(1 for k in lst if k in code) / d, 0.0, 1.0)
                 for lst, d in zip(FRAMEWORK_LISTS, (25.0, 18.0, 18.0)))


def ref_quick(code, framework):
    if framework not in PATTERNS:
        return 0.0
    return min(len(PATTERNS[framework].findall(code)) / 10.0, 1.0)


def ref_suitability(op, data, cpu, available, capability):
    if not available:
        return 0.0
    cpu_term = clamp(cpu * 0.3, 0.0, 0.3)
    multiplier = 1.0
    if capability:
        try:
            major = int(capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            if not -2**31 <= major < 2**31:
                raise OverflowError
            multiplier = 1.2 if major >= 8 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
    return clamp((op * 0.6 + data * 0.4 + cpu_term) * multiplier, 0.0, 1.0)


def ref_speedup(op, data, available):
    if not available or op == 0.0:
        return 1.0
    base = 15.0 if op > 0.8 else 8.0 if op > 0.6 else 4.0 if op > 0.3 else 2.0
    return (data * 0.5 + 1.0) * base


def ref_parallel(base, bonus, penalty, chunking):
    return clamp(clamp(bonus * 0.3, 0.0, 0.7) + base - clamp(penalty * 0.2, 0.0, 0.5) + chunking * 0.4, 0.0, 1.0)


def ref_threshold(current, rate, learning, lo, hi):
    t = current + learning if rate > 0.8 else current - learning if rate < 0.4 else current
    return clamp(t, lo, hi)


def same(a, b):
    """Equal as doubles, bit for bit (NaN equals NaN)."""
    return struct.pack("<d", a) == struct.pack("<d", b)


# --- generated inputs ----------------------------------------------------------

KEYWORDS = sorted({k for lst in INDICATOR_LISTS + FRAMEWORK_LISTS for k in lst}
                  | {"np. ", "pd.x", "DataFrame", "GridSearchCV", "RandomForest"})
ODD = ["\u0130", "\u212a", "LOC\u212a", "s\u212alearn", "\u03a3", "\u00df", "\u00e9", "\u00c9", "\u00ff", "\U0001f600", "\u0307", " ", ".", "_",
       "\n", "x", "9"]
fragment = st.one_of(
    st.sampled_from(KEYWORDS).flatmap(lambda k: st.sampled_from([k, k.upper(), k.title(), k[:-1], k[1:]])),
    st.sampled_from(ODD),
    st.text(max_size=3),
)
texts = st.lists(fragment, max_size=40).map("".join)


def random_text(rng, size, odd=ODD):
    parts, length = [], 0
    while length < size:
        r = rng.random()
        parts.append(rng.choice(KEYWORDS).upper() if r < 0.1 else rng.choice(KEYWORDS) if r < 0.2
                     else rng.choice(odd) if r < 0.3 else "".join(rng.choices("abcdefghijklmnopqrstuvwxyz_ .()", k=8)))
        length += len(parts[-1])
    return "".join(parts)


# --- module ------------------------------------------------------------------


def test_module_attributes_and_private_patterns():
    assert [k for k in vars(ts) if not k.startswith("__")] == [
        "re", "quick_framework_score", "calculate_gpu_suitability", "estimate_gpu_speedup",
        "calculate_parallelization_potential", "score_indicators", "normalize_scores", "score_framework_patterns",
        "determine_workload_pattern", "update_adaptive_threshold", "logging", "logger"]
    assert ts.re is re and ts.logger.name == "korvane.plugins.analyzer.task_scoring"
    assert not hasattr(ts, "FRAMEWORK_PATTERNS")


@settings(max_examples=400)
@given(texts, st.one_of(st.none(), texts))
def test_text_scorers_match_the_plain_rules(code, name):
    assert ts.score_indicators(code, name) == ref_indicators(code, name)
    assert ts.score_indicators(code=code, function_name=name) == ref_indicators(code, name)
    assert ts.score_framework_patterns(code) == ref_frameworks(code)
    for framework in ("numpy", "pandas", "sklearn", "NumPy", "", None):
        assert ts.quick_framework_score(code, framework) == ref_quick(code, framework)


def test_long_texts_match_the_plain_rules_across_scan_boundaries():
    rng = random.Random(5)
    # Without U+0130 and U+212A wide texts are scanned in place; with them, lowered first.
    plain_odd = [c for c in ODD if "\u0130" not in c and "\u212a" not in c] + ["\u2192" + " " * 70]
    for size in [0, 1, 255, 256, 257, 1000, 4099, 40000, 70001]:
        for odd in (ODD, plain_odd, plain_odd[3:]):
            code = random_text(rng, size, odd)
            assert ts.score_indicators(code, "") == ref_indicators(code, "")
            assert ts.score_framework_patterns(code) == ref_frameworks(code)
    # A keyword straddling any position is found wherever it lies.
    for pos in range(0, 1200, 7):
        code = " " * pos + "Processpoolexecutor" + "\u00e9\u2192" * (600 - pos // 2)
        assert ts.score_indicators(code, None)[2] == 2  # "pool" and "processpoolexecutor"
        assert ts.score_framework_patterns(code.replace("Processpoolexecutor", "RandomizedSearchCV"))[2] == 1 / 18


def test_lowering_follows_str_lower_for_any_text():
    # Latin-1 characters lower to one character, ASCII to ASCII and the rest to non-ASCII.
    for c in map(chr, range(256)):
        assert len(c.lower()) == 1 and (c.lower() < "\x80") == (c < "\x80")
    assert ts.score_indicators("\u0130\u212aFOR", None) == ref_indicators("\u0130\u212aFOR", None) == (1, 0, 0, 0, 0, 0, 0)
    # The Kelvin sign lowers to "k", also in a long text that is otherwise scanned in place.
    for pad in ("", "\u2192" * 300):
        assert ts.score_indicators(pad + "LOC\u212a wor\u212aer", "") == (0, 0, 1, 0, 0, 0, 1)
        assert ts.score_framework_patterns("s\u212aLEARN" + pad) == (0.0, 0.0, 1 / 18)
    assert ts.score_framework_patterns("LİNALG") == (0.0, 0.0, 0.0)  # "i\u0307" breaks the word


def test_text_scoring_examples():
    code = "import numpy as np\nx = np.array([1, 2])"
    assert ts.quick_framework_score(code, "numpy") == 0.3
    assert ts.quick_framework_score(code, "NumPy") == 0.0
    assert ts.quick_framework_score("np. x", "numpy") == 0.0
    assert ts.quick_framework_score("fit " * 12, "sklearn") == 1.0
    assert ts.score_indicators("for i in range(10): total = sum(x)", "") == (3, 0, 0, 1, 0, 0, 0)
    assert ts.score_indicators("information", "")[0] == 1
    assert ts.score_indicators("x", "run_benchmark") == (0, 0, 0, 0, 0, 1, 0)
    assert ts.score_indicators("x", "run_benchmark_with_lock") == (0, 0, 0, 0, 0, 1, 0)  # sequential: code only
    assert ts.score_framework_patterns("") == (0.0, 0.0, 0.0)
    everything = " ".join(k for lst in INDICATOR_LISTS for k in lst)
    assert ts.score_indicators(everything, None) == (15, 10, 11, 36, 13, 8, 8)


def test_text_argument_errors():
    class Str(str):
        pass

    def message(arg, got):
        return f"Argument '{arg}' has incorrect type (expected str, got {got})"

    for call, text in [
        (lambda: ts.score_indicators(Str("for"), ""), message("code", "Str")),
        (lambda: ts.score_indicators("for", b"x"), message("function_name", "bytes")),
        (lambda: ts.score_framework_patterns(3), message("code", "int")),
        (lambda: ts.quick_framework_score(["x"], "zzz"), message("code", "list")),
        (lambda: ts.quick_framework_score("x", Str("numpy")), message("framework", "Str")),
        (lambda: ts.calculate_gpu_suitability(1, 1, 1, False, 8.6), message("compute_capability", "float")),
        (lambda: ts.score_indicators(None, ""), "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
        (lambda: ts.score_framework_patterns(None), "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object"),
        (lambda: ts.quick_framework_score(None, "numpy"), "expected string or bytes-like object, got 'NoneType'"),
        (lambda: ts.score_indicators("x"), "score_indicators() takes exactly 2 positional arguments (1 given)"),
        (lambda: ts.score_framework_patterns(), "score_framework_patterns() takes exactly 1 positional argument (0 given)"),
        (lambda: ts.estimate_gpu_speedup(1, 2, 3, 4), "estimate_gpu_speedup() takes exactly 3 positional arguments (4 given)"),
        (lambda: ts.score_indicators("x", "y", code="z"), "score_indicators() got multiple values for argument 'code'"),
        (lambda: ts.quick_framework_score("x", "y", frame="z"), "quick_framework_score() got an unexpected keyword argument 'frame'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
    assert ts.quick_framework_score(None, "keras") == 0.0 and ts.quick_framework_score("numpy", None) == 0.0


# --- numeric functions ----------------------------------------------------------

reals = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(-2.0, 2.0),
                  st.sampled_from([0.0, -0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 1.0]))
capabilities = st.one_of(st.none(), st.sampled_from(["", "abc", " 8 .6", "10.0", "7.5", "6", "5.2", ".5", "8.",
                                                     "-1.0", "+7", "1_0", "\u0663.5", "9" * 12, "-" + "9" * 12]),
                         st.text(alphabet="0123456789. -_x", max_size=6))


@settings(max_examples=500)
@given(st.lists(reals, min_size=5, max_size=5), st.booleans(), capabilities)
def test_numeric_functions_match_the_plain_rules(v, available, capability):
    try:
        expected = ref_suitability(v[0], v[1], v[2], available, capability)
    except OverflowError:
        with pytest.raises(OverflowError):
            ts.calculate_gpu_suitability(v[0], v[1], v[2], available, capability)
    else:
        assert same(ts.calculate_gpu_suitability(v[0], v[1], v[2], available, capability), expected)
    assert same(ts.estimate_gpu_speedup(v[0], v[1], available), ref_speedup(v[0], v[1], available))
    assert same(ts.calculate_parallelization_potential(*v[:4]), ref_parallel(*v[:4]))
    assert same(ts.update_adaptive_threshold(*v), ref_threshold(*v))


@given(st.lists(st.integers(-2**31, 2**31 - 1), min_size=5, max_size=5))
def test_normalize_scores_match_the_plain_rules(counts):
    expected = tuple(clamp(c / d, 0.0, 1.0) for c, d in zip(counts, (15.0, 10.0, 11.0, 36.0, 13.0)))
    assert ts.normalize_scores(*counts) == expected


def test_numeric_conversions_and_hostile_arguments():
    assert ts.calculate_gpu_suitability(0.5, 0.5, 0.0, True, " 8 .6") == 0.6
    assert ts.normalize_scores(3.9, True, 0, 0, 0)[:2] == (3 / 15, 0.1)

    class Boom(Exception):
        pass

    class Hostile:
        def __bool__(self):
            raise Boom

        def __float__(self):
            raise Boom

        def __int__(self):
            raise Boom

    for call in [lambda: ts.estimate_gpu_speedup(0.5, 0.5, Hostile()), lambda: ts.normalize_scores(1, 2, 3, 4, Hostile()),
                 lambda: ts.calculate_gpu_suitability(Hostile(), 0, 0, True, 5)]:
        with pytest.raises(Boom):
            call()
    with pytest.raises(TypeError, match="^an integer is required$"):
        ts.normalize_scores(1, 2, 3, 4, "5")
    with pytest.raises(OverflowError):
        ts.normalize_scores(2**31, 0, 0, 0, 0)
    with pytest.raises(TypeError, match="must be real number, not str"):
        ts.update_adaptive_threshold(0.5, "0.9", 0.1, 0.1, 0.9)


def above(x):
    return math.nextafter(x, math.inf)


def below(x):
    return math.nextafter(x, -math.inf)


def test_numeric_band_edges():
    # The speed-up bands: 0.3, 0.6 and 0.8 belong to the band below; no GPU operations, no speed-up.
    for op, base in [(0.0, None), (-0.0, None), (below(0.3), 2.0), (0.3, 2.0), (above(0.3), 4.0), (0.6, 4.0),
                     (above(0.6), 8.0), (0.8, 8.0), (above(0.8), 15.0), (1.0, 15.0)]:
        assert ts.estimate_gpu_speedup(op, 0.5, True) == (1.0 if base is None else 1.25 * base), op
        assert ts.estimate_gpu_speedup(op, 0.5, False) == 1.0
    # The compute-capability bands: major 8 and up, 7, 6, anything else.
    for capability, multiplier in [("9.0", 1.2), ("8", 1.2), ("8.0", 1.2), ("7.9", 1.1), ("7", 1.1), ("6.5", 1.0),
                                   ("5.9", 0.8), ("0", 0.8), ("-7", 0.8), ("x.7", 1.0), (None, 1.0), ("", 1.0),
                                   ("0000000008.5", 1.2), ("2147483647", 1.2), ("-2147483648", 0.8)]:
        assert ts.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == 0.5 * multiplier, capability
    for capability in ("2147483648", "-2147483649"):  # a major version past 32 bits
        with pytest.raises(OverflowError):
            ts.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability)
    # The success-rate bands: above 0.8 raises, below 0.4 lowers, both edges keep the threshold.
    for rate, threshold in [(above(0.8), 0.625), (0.8, 0.5), (0.4, 0.5), (below(0.4), 0.375)]:
        assert ts.update_adaptive_threshold(0.5, rate, 0.125, 0.0, 1.0) == threshold, rate


def workload(**kw):
    args = dict(cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
                gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0, sequential_count=0,
                embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5, gpu_threshold=0.5,
                numpy_threshold=0.5, pandas_threshold=0.5, sklearn_threshold=0.5, gpu_available=False)
    args.update(kw)
    return ts.determine_workload_pattern(**args), ts.determine_workload_pattern(*args.values())


def test_every_workload_pattern_branch():
    gpu = dict(gpu_available=True, gpu_suitability=0.9)
    for kw, code in [
        ({}, 0), (dict(sequential_count=3), 4), (dict(sequential_count=2), 0),
        (dict(memory_intensity=0.6), 2), (dict(cpu_intensity=0.6, memory_intensity=0.6), 1),
        (dict(embarrassing_count=1, sequential_count=9, cpu_intensity=0.9), 3), (dict(parallelization_potential=0.61), 3),
        (dict(parallelization_potential=0.6), 0),
        ({**gpu}, 5), ({**gpu, "memory_intensity": 0.51}, 7), ({**gpu, "gpu_operation_score": 0.71, "cpu_intensity": 0.61}, 6),
        ({**gpu, "gpu_operation_score": 0.71, "cpu_intensity": 0.6, "embarrassing_count": 5}, 5),
        (dict(gpu_suitability=0.9, gpu_available=0), 0), ({**gpu, "gpu_suitability": 0.5}, 0),
        ({**gpu, "numpy_score": 0.6}, 8), (dict(numpy_score=0.6, pandas_score=0.6), 10),
        (dict(numpy_score=1, pandas_score=1, sklearn_score=1, cpu_intensity=1, gpu_available=True), 12),
        (dict(sklearn_score=0.5), 0), (dict(sklearn_score=math.nan, cpu_intensity=math.inf), 1),
        # Each comparison at its edge (equal: not above) and just above it.
        (dict(pandas_score=0.5), 0), (dict(pandas_score=above(0.5)), 10),
        (dict(numpy_score=0.5), 0), (dict(numpy_score=above(0.5)), 8),
        (dict(sklearn_score=above(0.5)), 12), (dict(sklearn_score=0.7, sklearn_threshold=0.7), 0),
        ({**gpu, "gpu_suitability": above(0.5)}, 5), ({**gpu, "gpu_operation_score": 0.7, "cpu_intensity": 0.61}, 5),
        ({**gpu, "gpu_operation_score": above(0.7), "cpu_intensity": above(0.6)}, 6),
        ({**gpu, "memory_intensity": 0.5}, 5), ({**gpu, "memory_intensity": above(0.5)}, 7),
        (dict(parallelization_potential=above(0.6)), 3), (dict(embarrassing_count=1), 3),
        (dict(cpu_intensity=0.5), 0), (dict(cpu_intensity=above(0.5)), 1),
        (dict(cpu_intensity=0.2, cpu_threshold=0.2), 0), (dict(cpu_intensity=0.2, cpu_threshold=below(0.2)), 1),
        (dict(memory_intensity=0.5), 0), (dict(memory_intensity=above(0.5)), 2),
        (dict(memory_intensity=0.9, memory_threshold=0.9), 0),
    ]:
        assert workload(**kw) == (code, code), kw
    with pytest.raises(OverflowError):
        workload(embarrassing_count=2**31)


def test_concurrent_scoring_of_long_texts():
    rng = random.Random(11)
    codes = [random_text(rng, 50_000) for _ in range(4)]
    expected = [(ref_indicators(c, "map"), ref_frameworks(c)) for c in codes]
    failures = []

    def work(i):
        for _ in range(30):
            got = (ts.score_indicators(codes[i], "map"), ts.score_framework_patterns(codes[i]))
            if got != expected[i]:
                failures.append(i)

    threads = [threading.Thread(target=work, args=(i % 4,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
