"""Nothing survives a call: many calls of every function, succeeding and
failing, leave resident memory, Python's traced memory and the arguments'
reference counts where they were. And threads sharing inputs get exactly the
answers of serial calls.

The memory test is marked `stress` (make stress); TULM_STRESS_CALLS sets its
number of calls per case (default 100000)."""

import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import _tulm


class Level:
    """A level read through Python code, so conversion can switch threads."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class BrokenSequence:
    """A sequence whose items raise: the error must reach the caller unchanged."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise LookupError("no items here")


def unique_floats(values):
    # Fresh float objects, so their reference counts are their own.
    return [float(repr(x)) for x in values]


EVALUES = unique_floats([0.5, 1.0, 2.0, 5.0, 10.0, 25.0, 40.0, 60.0, 80.0, 300.0])
EVALUES_ARRAY = np.array(EVALUES)
CUM_E = unique_floats([0.0, 0.5, 1.5, 3.5, 8.5, 18.5, 43.5, 83.5, 143.5, 223.5, 523.5])
PVALUES = unique_floats([0.9, 0.5, 0.04, 0.03, 0.02, 0.01, 5e-3, 1e-3])
HARMONIC = [0.0]
for _i in range(1, 9):
    HARMONIC.append(HARMONIC[-1] + 1.0 / _i)
ALPHA = float("0.05")
SUBSET = [np.int64(9), np.int64(7), np.int64(8)]
R = np.int64(4)
WARM_S = np.int64(5)
NEGATIVE_R = np.int64(-3)
LEVEL = Level(0.05)
BROKEN = BrokenSequence()

# (id, function name, positional arguments, keyword arguments, error or None)
CASES = [
    ("eBH", "eBH_cpp", (EVALUES, ALPHA), {}, None),
    ("eBH ndarray", "eBH_cpp", (EVALUES_ARRAY, LEVEL), {}, None),
    ("eBH bad level", "eBH_cpp", (EVALUES, "0.05"), {}, TypeError),
    ("closed e-BH", "closede_bh_cpp", (EVALUES,), {"alpha": ALPHA}, None),
    ("closed e-BH approx", "closede_bh_cpp", (EVALUES, ALPHA, True), {}, None),
    ("closed e-BH bad flag", "closede_bh_cpp", (EVALUES, ALPHA, "yes"), {}, TypeError),
    ("largest k", "largest_mean_consistent_k", (EVALUES_ARRAY,), {"approximate": 1}, None),
    ("largest k broken items", "largest_mean_consistent_k", (BROKEN,), {}, LookupError),
    ("subset", "is_subset_mean_consistent", (EVALUES, SUBSET, ALPHA), {}, None),
    ("subset out of range", "is_subset_mean_consistent", (EVALUES, [R, 10], ALPHA), {}, IndexError),
    ("subset repeat", "is_subset_mean_consistent", (EVALUES, [R, R], ALPHA), {}, ValueError),
    ("subset too wide", "is_subset_mean_consistent", (EVALUES, [2**31], ALPHA), {}, TypeError),
    ("exact scan", "largestmeanconsistent_cpp", (EVALUES, ALPHA), {}, None),
    (
        "exact scan bad element",
        "largestmeanconsistent_cpp",
        ([*EVALUES, None], ALPHA),
        {},
        TypeError,
    ),
    ("bisection", "largestmeanconsistent_approximate_cpp", (EVALUES, ALPHA), {}, None),
    ("bisection no level", "largestmeanconsistent_approximate_cpp", (EVALUES,), {}, TypeError),
    ("wrapper", "meanconsistent_wrapper_cpp", (CUM_E, R, ALPHA), {}, None),
    (
        "wrapper negative r",
        "meanconsistent_wrapper_cpp",
        (CUM_E, NEGATIVE_R, ALPHA),
        {},
        ValueError,
    ),
    ("BY", "BY_cpp", (PVALUES, HARMONIC, ALPHA), {}, None),
    ("BY short table", "BY_cpp", (PVALUES, HARMONIC[:5], ALPHA), {}, ValueError),
    ("cBY exact", "largestcBYsignificant_cpp", (PVALUES, ALPHA), {}, None),
    ("cBY exact bad level", "largestcBYsignificant_cpp", (PVALUES, None), {}, TypeError),
    ("cBY bisection", "largestcBYsignificant_approximate_cpp", (PVALUES, LEVEL), {}, None),
    ("cBY bisection str", "largestcBYsignificant_approximate_cpp", ("0.9", ALPHA), {}, TypeError),
    ("cBY check", "cBY_check_cpp", (PVALUES, R, HARMONIC, WARM_S, ALPHA), {}, None),
    (
        "cBY check bad hint",
        "cBY_check_cpp",
        (PVALUES, R, HARMONIC, NEGATIVE_R, ALPHA),
        {},
        ValueError,
    ),
    ("cBY check wide r", "cBY_check_cpp", (PVALUES, 2**40, HARMONIC, WARM_S, ALPHA), {}, TypeError),
]


def outcome(name, args, kwargs):
    try:
        return getattr(_tulm, name)(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)


def test_every_function_succeeds_and_fails_here():
    covered = {name for _, name, *_ in CASES}
    assert covered == {name for name in vars(_tulm) if not name.startswith("__")}
    for case_id, name, args, kwargs, error in CASES:
        result = outcome(name, args, kwargs)
        if error is None:
            assert not isinstance(result, tuple), (case_id, result)
        else:
            assert result[0] is error, (case_id, result)


def referenced_objects(args, kwargs):
    objects = [*args, *kwargs.values()]
    for value in list(objects):
        if isinstance(value, list) and value:
            objects += [value[0], value[-1]]
    return objects


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.stress
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize(
    ("name", "args", "kwargs", "error"), [pytest.param(*case[1:], id=case[0]) for case in CASES]
)
def test_many_calls_leave_nothing_behind(name, args, kwargs, error):
    calls = int(os.environ.get("TULM_STRESS_CALLS", "100000"))
    function = getattr(_tulm, name)
    expected = error or ()

    def run(n):
        for _ in range(n):
            try:
                function(*args, **kwargs)
            except expected:
                pass

    objects = referenced_objects(args, kwargs)
    counts = [sys.getrefcount(o) for o in objects]
    run(calls // 10)  # warm-up: free lists, caches, first-use allocations
    # The interpreter reallocates a block of its own (hundreds of KiB, growing
    # with the process) every few thousand keyword calls; tracing sees the
    # first realloc after it starts as new memory. So the calls are split into
    # windows, and a leak is growth in more than one of them.
    windows = 4
    traced, resident = [], []
    tracemalloc.start()
    try:
        for _ in range(windows):
            before = tracemalloc.get_traced_memory()[0], resident_bytes()
            run(calls // windows)
            traced.append(tracemalloc.get_traced_memory()[0] - before[0])
            resident.append(resident_bytes() - before[1])
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == counts
    # One leaked object or vector per call would be hundreds of KiB a window.
    assert sum(growth > 32 * 1024 for growth in traced) <= 1, traced
    assert sum(growth > 512 * 1024 for growth in resident) <= 1, resident


def test_threads_get_the_serial_answers():
    serial = [outcome(name, args, kwargs) for _, name, args, kwargs, _ in CASES]
    rounds = 40
    barrier = threading.Barrier(8)
    mismatches = []

    def worker(offset):
        barrier.wait()
        for round_ in range(rounds):
            # Each thread walks the cases from its own starting point.
            for step in range(len(CASES)):
                i = (offset + round_ + step) % len(CASES)
                _, name, args, kwargs, _ = CASES[i]
                got = outcome(name, args, kwargs)
                if got != serial[i]:
                    mismatches.append((CASES[i][0], got, serial[i]))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(n * 3,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not mismatches, mismatches[:5]
    assert serial == [outcome(name, args, kwargs) for _, name, args, kwargs, _ in CASES]
