"""The kernels run without the GIL, stop on Ctrl-C, and refuse oversize
arguments before reading them."""

import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _tulm


def slow_pvalues(m=40_000):
    # Strong signals out of order (two entries swapped): a long closed BY
    # search, seconds at this size, whatever shortcuts sorted input may take.
    p = np.geomspace(1.0, 1e-12, m)
    p[[0, 1]] = p[[1, 0]]
    return p


def test_other_threads_run_python_during_a_kernel():
    done = threading.Event()

    def search():
        _tulm.largestcBYsignificant_approximate_cpp(slow_pvalues(20_000), 0.05)
        done.set()

    worker = threading.Thread(target=search)
    worker.start()
    steps = 0
    while not done.is_set():
        steps += 1
    worker.join()
    # With the GIL held for the whole search this loop would not run at all.
    assert steps > 10_000


CHILD = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    import _tulm
    p = np.geomspace(1.0, 1e-12, 40_000)
    p[[0, 1]] = p[[1, 0]]
    print("started", flush=True)
    try:
        _tulm.largestcBYsignificant_approximate_cpp(p, 0.05)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    # Usable afterwards:
    print(_tulm.eBH_cpp([1.0, 50.0, 50.0], 0.05), flush=True)
    """
)


def test_ctrl_c_stops_a_long_kernel_and_leaves_the_module_usable():
    with subprocess.Popen(
        [sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True, bufsize=1
    ) as child:
        try:
            assert child.stdout.readline().strip() == "started"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            answer = child.stdout.readline().strip()
            waited = time.monotonic() - sent
            assert answer == "interrupted"
            assert child.stdout.readline().strip() == "2"
            # The search runs for many seconds; the kernel polls every few ms.
            assert waited < 2.0
        finally:
            child.kill()


HUGE = 2**31


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda v: _tulm.eBH_cpp(v, 0.05), id="eBH_cpp"),
        pytest.param(lambda v: _tulm.closede_bh_cpp(v), id="closede_bh_cpp"),
        pytest.param(lambda v: _tulm.BY_cpp([0.5], v, 0.05), id="BY_cpp-harmonic"),
        pytest.param(lambda v: _tulm.cBY_check_cpp([0.5], 0, v, 0, 0.05), id="cBY_check-harmonic"),
        pytest.param(lambda v: _tulm.is_subset_mean_consistent(v, [0]), id="subset-evalues"),
        pytest.param(
            lambda v: _tulm.is_subset_mean_consistent([1.0], np.broadcast_to(np.int32(0), v.shape)),
            id="subset-positions",
        ),
        pytest.param(
            lambda v: _tulm.largestcBYsignificant_cpp(v[: HUGE - 1], 0.05), id="search-one-less"
        ),
    ],
)
def test_an_oversize_view_is_refused_before_it_is_read(call):
    view = np.broadcast_to(np.float64(0.5), (HUGE,))  # 16 GiB if it were copied
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(ValueError, match="values is too long"):
        call(view)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 100_000


WORKERS_CHILD = textwrap.dedent(
    """
    import time
    import numpy as np
    import _tulm
    import tulm

    def slow_kernel(p, alpha):  # a family that takes a minute, off the main thread
        time.sleep(60)
        return 0

    _tulm.largestcBYsignificant_cpp = slow_kernel
    print("started", flush=True)
    try:
        tulm.closed_by(np.full((4, 10), 0.5), workers=2)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def test_ctrl_c_does_not_wait_for_the_worker_threads():
    with subprocess.Popen(
        [sys.executable, "-c", WORKERS_CHILD], stdout=subprocess.PIPE, text=True, bufsize=1
    ) as child:
        try:
            assert child.stdout.readline().strip() == "started"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline().strip() == "interrupted"
            assert time.monotonic() - sent < 2.0
        finally:
            child.kill()


SORTING_CHILD = textwrap.dedent(
    """
    import numpy as np
    import _tulm
    import tulm

    # The search itself answers on its own; here only the package's sort is long.
    _tulm.largestcBYsignificant_cpp = lambda p, alpha: 0
    p = np.random.default_rng(0).random(20_000_000)
    print("started", flush=True)
    try:
        tulm.closed_by(p)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(tulm.by([0.01, 0.5]).count, flush=True)
    """
)


def test_ctrl_c_does_not_wait_for_a_long_sort():
    """numpy sorts without the GIL, but the main thread runs signal handlers
    only between bytecodes: a long sort runs off it."""
    with subprocess.Popen(
        [sys.executable, "-c", SORTING_CHILD], stdout=subprocess.PIPE, text=True, bufsize=1
    ) as child:
        try:
            assert child.stdout.readline().strip() == "started"
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline().strip() == "interrupted"
            waited = time.monotonic() - sent
            assert child.stdout.readline().strip() == "1"
            # The sort takes over a second; the target is 0.2 s, the bound
            # leaves room for a loaded machine.
            assert waited < 0.5
        finally:
            child.kill()
