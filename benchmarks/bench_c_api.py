"""A native operation called through the C API table, beside the Python method.

Each round makes CALLS calls; divide by CALLS for the cost of one."""

import itertools

import pytest

from korvane.memory.lockfree_core import AtomicCounter
from test_c_api import client  # noqa: F401  (the fixture building the client)

CALLS = 1000


@pytest.mark.benchmark(group=f"counter increment, {CALLS} calls")
@pytest.mark.parametrize("impl", ["korvane table from C", "increment() method from C",
                                  "increment() method from Python"])
def test_increment_calls(benchmark, client, impl):  # noqa: F811
    counter = AtomicCounter()
    if impl == "korvane table from C":
        benchmark(client.table_increments, counter, CALLS)
    elif impl == "increment() method from C":
        benchmark(client.method_increments, counter, CALLS)
    else:
        increment = counter.increment

        def python_loop():
            for _ in itertools.repeat(None, CALLS):
                increment()

        benchmark(python_loop)
