"""Interrupting long computations.

The list functions compute in chunks without the GIL and run the handlers of
pending signals between chunks. Shown here:

1. In a separate process, for every list function: SIGINT about 0.5 s into a
   call that would run for more than 2 s raises KeyboardInterrupt within
   0.3 s of the signal, and a Python handler's own exception comes out the
   same way; the process then computes as before.
2. The values do not depend on how a list is cut into chunks, nor on signal
   handlers that run during the call without raising.
3. The order of failures is kept across chunks: the integrated Witt-Mao
   functions report a kernel failure anywhere in the list before they
   integrate, table checks come before kernel failures.
4. Interrupted calls keep no memory.
5. The report of an internal assertion names the source file relative to the
   project.

Latencies are measured (the promise is "promptly"), speeds are not.
"""

import array
import json
import math
import os
import re
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import kalvorin as K

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAN = float("nan")

LIST_FUNCTIONS = [name for name in K.__all__ if name != "heyrovsky_magnification"]
TABLE = ([0.0, 0.25, 0.5, 0.75, 1.0], [1.0, 0.9, 0.7, 0.4, 0.1])
RINGS = ([0.1 * k for k in range(1, 11)], [0.1] * 10)
# Arguments after (l, re, rstar).
EXTRA = {
    "witt_mao_magnification": (),
    "integrated_witt_mao_magnification": (),
    "integrated_flux_map_witt_mao_magnification": TABLE,
    "integrated_heyrovsky_magnification": (),
    "integrated_flux_map_heyrovsky_magnification": TABLE,
    "discrete_flux_map_heyrovsky_magnification": RINGS,
}
# Separations inside, across the limb and outside the source: their costs differ.
PATTERN = [0.05 + 2.9 * i / 499 for i in range(500)]


def call(name, l):
    return getattr(K, name)(l, 1.0, 0.1, *EXTRA[name])


def bits(values):
    return [struct.pack("<d", x) for x in values]


def repeated(seconds, name, clock=time.perf_counter):
    """PATTERN repeated (as an array of doubles) so that `name` computes for about `seconds` of `clock`."""
    n, took = 50, 0.0
    while took < 0.05:
        n *= 4
        probe = array.array("d", PATTERN) * math.ceil(n / len(PATTERN))
        start = clock()
        call(name, probe)
        took = clock() - start
    per_separation = took / len(probe)
    return array.array("d", PATTERN) * math.ceil(seconds / per_separation / len(PATTERN))


# --------------------------------------------------------------------------
# 1. A signal during a long call, in a separate process
# --------------------------------------------------------------------------

CHILD = textwrap.dedent(r"""
    import json, os, signal, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import test_interrupt as T

    name, how = sys.argv[2], sys.argv[3]

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("raised by the handler", signum)

    signum = signal.SIGINT
    if how == "handler":
        signum = signal.SIGUSR1
        signal.signal(signum, handler)

    expected = T.bits(T.call(name, T.PATTERN[::10]))
    separations = T.repeated(2.5, name)  # would compute for about 2.5 s
    started = threading.Event()
    sent = []

    def send():
        started.wait()
        time.sleep(0.5)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signum)

    sender = threading.Thread(target=send)
    sender.start()
    outcome = None
    started.set()
    start = time.perf_counter()
    try:
        result = T.call(name, separations)
        outcome = ["returned", len(result)]
    except (KeyboardInterrupt, Stop) as exc:
        ended = time.perf_counter()
        outcome = [type(exc).__name__, list(exc.args)]
    sender.join()
    if outcome[0] == "returned":
        ended = time.perf_counter()
    print(json.dumps({
        "outcome": outcome,
        "elapsed": ended - start,
        "latency": ended - sent[0],
        "afterwards": T.bits(T.call(name, T.PATTERN[::10])) == expected,
    }))
""")


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
@pytest.mark.parametrize("how, outcome", [
    ("SIGINT", ["KeyboardInterrupt", []]),
    ("handler", ["Stop", ["raised by the handler", int(signal.SIGUSR1)]]),
])
def test_a_signal_ends_a_long_call_promptly(name, how, outcome):
    env = dict(os.environ)
    location = os.path.dirname(os.path.abspath(K.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [location, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(os.path.abspath(__file__)), name, how],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    report = json.loads(proc.stdout)
    assert report["outcome"] == outcome, report
    assert report["elapsed"] >= 0.5, report  # not before the signal
    assert report["latency"] < 0.3, report
    assert report["afterwards"] is True, report


# --------------------------------------------------------------------------
# 2. Values independent of the chunks and of harmless signals
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_values_do_not_depend_on_how_the_list_is_cut(name):
    separations = repeated(0.06, name)
    separations = separations.tolist()
    start = time.perf_counter()
    whole = call(name, separations)
    assert time.perf_counter() - start > 0.015  # several chunks of about 5 ms
    one_by_one = [call(name, [x])[0] for x in separations]
    assert bits(whole) == bits(one_by_one)


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_handlers_that_do_not_raise_run_during_the_call_and_change_nothing(name):
    # Counted in CPU time: the timer ticks per 2 ms of the process's CPU time
    # (ITIMER_PROF) and the handler's runs are timed by this thread's CPU
    # clock, on which the call computes. On a loaded machine the process runs
    # in bursts between long waits; in wall time, ticks that fall due while
    # it waits merge into one, and their number follows the scheduler.
    separations = repeated(0.3, name, time.thread_time)
    expected = bits(call(name, separations))
    ticks = []
    previous = signal.signal(signal.SIGPROF, lambda signum, frame: ticks.append(time.thread_time()))
    try:
        signal.setitimer(signal.ITIMER_PROF, 0.002, 0.002)
        start = time.thread_time()
        result = call(name, separations)
        end = time.thread_time()
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)
    assert bits(result) == expected
    during = [start] + [t for t in ticks if start < t < end] + [end]
    # The handler runs at the checks between chunks, every few milliseconds
    # of CPU time, loaded machine or not; on a loaded one a single gap may
    # grow to tens of milliseconds, which the bound on the longest allows.
    gaps = sorted(b - a for a, b in zip(during, during[1:]))
    assert len(during) >= 16, (end - start, len(during))
    assert gaps[len(gaps) // 2] < 0.02, (end - start, len(during), gaps)
    assert gaps[-1] < 0.15, (end - start, len(during), gaps)


# --------------------------------------------------------------------------
# 3. Order of failures across chunks
# --------------------------------------------------------------------------

def outcome_of(name, l):
    try:
        return bits(call(name, l))
    except RuntimeError as exc:
        return ("RuntimeError", exc.args)


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_a_failure_in_a_late_chunk_is_the_failure_of_that_separation_alone(name):
    separations = repeated(0.05, name)
    separations = separations.tolist()
    alone = outcome_of(name, [NAN])
    got = outcome_of(name, separations + [NAN] + separations[:100])
    if isinstance(alone, tuple):
        assert got == alone  # RuntimeError with the kernel's message, no partial result
    else:
        assert got == outcome_of(name, separations) + alone + outcome_of(name, separations[:100])


@pytest.mark.parametrize("name", ["integrated_witt_mao_magnification",
                                  "integrated_flux_map_witt_mao_magnification"])
def test_a_kernel_failure_anywhere_ends_the_call_before_any_integration(name):
    separations = repeated(0.3, name)
    separations = separations.tolist()
    start = time.perf_counter()
    call(name, separations)
    integrating = time.perf_counter() - start
    message = outcome_of("witt_mao_magnification", [NAN])[1]
    for where in (0.0, 0.5, 1.0):
        position = round(where * len(separations))
        failing = separations[:position] + [NAN] + separations[position:]
        start = time.perf_counter()
        with pytest.raises(RuntimeError) as caught:
            call(name, failing)
        # Evaluating the uniform disks costs about 1 % of the integrations.
        assert time.perf_counter() - start < integrating / 10, where
        assert caught.value.args == message


@pytest.mark.parametrize("name", [name for name in LIST_FUNCTIONS if EXTRA[name]])
def test_the_table_check_comes_before_kernel_failures_of_a_long_list(name, capfd):
    separations = [NAN] + PATTERN * 4 + [NAN]
    bl, bf = EXTRA[name]
    with pytest.raises(BaseException) as caught:
        getattr(K, name)(separations, 1.0, 0.1, bl, bf[:-1])
    assert type(caught.value).__name__ == "PanicException"
    assert "assertion `left == right` failed" in capfd.readouterr().err


# --------------------------------------------------------------------------
# 4. Memory
# --------------------------------------------------------------------------

class Stop(Exception):
    pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def running_under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc")
@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_interrupted_calls_keep_no_memory(name):
    if running_under_asan():
        pytest.skip("freed memory stays in AddressSanitizer's quarantine (LeakSanitizer checks instead)")
    # 2.5 million separations: 20 MB for the converted list, 20 MB for the results.
    separations = array.array("d", PATTERN) * 5000

    def stop(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, stop)
    interrupted = 0
    try:
        for k in range(25):
            if k == 5:
                before = resident_bytes()
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            try:
                call(name, separations)
            except Stop:
                interrupted += 1
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert interrupted == 25
    # 20 calls keeping either buffer would add 400 MB.
    assert resident_bytes() - before < 60 << 20


# --------------------------------------------------------------------------
# 5. Assertion report
# --------------------------------------------------------------------------

@pytest.mark.parametrize("name", [name for name in LIST_FUNCTIONS if EXTRA[name]])
def test_the_assertion_report_names_the_source_relative_to_the_project(name, capfd):
    with pytest.raises(BaseException):
        getattr(K, name)([1.0], 1.0, 0.1, [0.5, 0.6], [1.0])
    err = capfd.readouterr().err
    found = re.search(r"internal assertion failed at (\S+):(\d+):", err)
    assert found, err
    path, line = found.group(1), int(found.group(2))
    assert not os.path.isabs(path) and path.startswith("src/"), path
    with open(os.path.join(ROOT, path)) as source:
        assert 1 <= line <= len(source.readlines())
    assert ROOT not in err


# --------------------------------------------------------------------------
# 6. A signal during a call on input outside the physical domain
# --------------------------------------------------------------------------

# There the integrations fall back on tanh-sinh quadrature, up to a thousand
# times slower per separation than on physical input (~0.1 ms per table
# point with a table): the chunks must still be short.
COSTLY_CHILD = textwrap.dedent(r"""
    import json, os, signal, sys, threading, time
    import kalvorin as K

    case = json.loads(sys.argv[1])
    points = case["table"]
    extra = ()
    if points:
        bl = [i / (points - 1) for i in range(points)]
        extra = (bl, [1.0 - 0.6 * r for r in bl])
    l = []
    for value, count in case["l"]:
        l += [float(value)] * count
    started = threading.Event()
    sent = []

    def send():
        started.wait()
        time.sleep(case["at"])
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    started.set()
    start = time.perf_counter()
    try:
        getattr(K, case["name"])(l, case["re"], case["rstar"], *extra)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    ended = time.perf_counter()
    sender.join()
    print(json.dumps({"outcome": outcome, "elapsed": ended - start, "latency": ended - sent[0]}))
""")

FLUX_MAP_HEYROVSKY = "integrated_flux_map_heyrovsky_magnification"
FLUX_MAP_WITT_MAO = "integrated_flux_map_witt_mao_magnification"
# (function, table points or 0, l as (value, count) runs, re, rstar, signal time); each would
# compute for several seconds.
COSTLY_CASES = {
    "NaN l, 41-point table": (FLUX_MAP_HEYROVSKY, 41, [("nan", 2000)], 1.0, 0.1, 0.5),
    "negative l, 500-point table": (FLUX_MAP_HEYROVSKY, 500, [(-0.5, 200)], 1.0, 0.1, 0.5),
    "rstar 0, 41-point table": (FLUX_MAP_WITT_MAO, 41, [(0.5, 2000)], 1.0, 0.0, 0.5),
    "rstar 0, 500-point table": (FLUX_MAP_WITT_MAO, 500, [(0.5, 200)], 1.0, 0.0, 0.5),
    "negative re, 41-point table": (FLUX_MAP_HEYROVSKY, 41, [(0.5, 2000)], -1.0, 0.1, 0.5),
    "NaN l after cheap ones, 41-point table": (FLUX_MAP_HEYROVSKY, 41, [(50.0, 10**6), ("nan", 2000)], 1.0, 0.1,
                                               0.5),
    "NaN l after cheap ones, built-in law": ("integrated_heyrovsky_magnification", 0,
                                             [(50.0, 10**6), ("nan", 50000)], 1.0, 0.1, 0.5),
    "rstar 0, built-in law": ("integrated_witt_mao_magnification", 0, [(0.5, 20000)], 1.0, 0.0, 0.5),
    # No longer than a chunk sized for physical input, about 1 s of work.
    "a short list, 500-point table": (FLUX_MAP_HEYROVSKY, 500, [("nan", 16)], 1.0, 0.1, 0.1),
}


@pytest.mark.parametrize("case", list(COSTLY_CASES))
def test_a_signal_ends_a_call_outside_the_physical_domain_promptly(case):
    name, table, l, re_, rstar, at = COSTLY_CASES[case]
    arguments = {"name": name, "table": table, "l": l, "re": re_, "rstar": rstar, "at": at}
    env = dict(os.environ)
    location = os.path.dirname(os.path.abspath(K.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [location, env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", COSTLY_CHILD, json.dumps(arguments)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    report = json.loads(proc.stdout)
    assert report["outcome"] == "KeyboardInterrupt", report
    assert report["elapsed"] >= at, report
    assert report["latency"] < 0.3, report


@pytest.mark.parametrize("name, extra", [
    (FLUX_MAP_HEYROVSKY, ([0.0, 0.5, 1.0], [1.0, 0.8, 0.5])),
    (FLUX_MAP_WITT_MAO, ([0.0, 0.5, 1.0], [1.0, 0.8, 0.5])),
    ("integrated_heyrovsky_magnification", ()),
    ("integrated_witt_mao_magnification", ()),
])
@pytest.mark.parametrize("rstar", [0.1, 0.0])
def test_values_outside_the_physical_domain_do_not_depend_on_how_the_list_is_cut(name, extra, rstar):
    # Costly separations among cheap ones: chunks of every size (with rstar 0
    # every separation is costly).
    separations = ([50.0] * (3000 if rstar else 20) + [0.5, -0.5, NAN, 1.2] * 8) * 3
    f = getattr(K, name)
    whole = outcome_of_call(lambda: f(separations, 1.0, rstar, *extra))
    alone = [outcome_of_call(lambda x=x: f([x], 1.0, rstar, *extra)) for x in separations]
    failures = [o for o in alone if isinstance(o, tuple)]
    if failures:
        assert whole == failures[0]
    else:
        assert whole == [b for o in alone for b in o]


def outcome_of_call(thunk):
    try:
        return bits(thunk())
    except RuntimeError as exc:
        return ("RuntimeError", exc.args)
