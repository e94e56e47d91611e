"""kalvorin_fspl: threads, interrupts and the type stubs.

1. Several threads computing at once give the values of serial calls, and
   array calls run without the GIL (another thread keeps running Python).
2. In a separate process, SIGINT 0.5 s into a long call raises
   KeyboardInterrupt within 0.3 s, a handler's own exception comes out the
   same way, and nothing is returned; the process then computes as before.
3. Values do not depend on how an array is cut into chunks.
4. The package's annotations accept numpy array-likes under mypy --strict.
Latencies are measured (the promise is "promptly"), speeds are not.
"""

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kalvorin_fspl as kf

HERE = pathlib.Path(__file__).resolve().parent
LAWS = {
    "uniform": kf.Uniform(),
    "linear": kf.Linear(0.53),
    "table": kf.Table(np.sin(np.linspace(0, np.pi / 2, 41)), np.cos(np.linspace(0, np.pi / 2, 41)) ** 0.5),
}
# Points inside, across the limb and outside a source of radius 0.1: their costs differ.
PATTERN = np.linspace(0.005, 0.3, 500)


def repeated(seconds, law):
    """PATTERN repeated so that one call computes for about `seconds`."""
    n, took = 500, 0.0
    while took < 0.05:
        n *= 4
        probe = np.resize(PATTERN, n)
        start = time.perf_counter()
        kf.magnification(probe, 0.1, law)
        took = time.perf_counter() - start
    return np.resize(PATTERN, int(n * seconds / took))


@pytest.mark.parametrize("name", LAWS)
def test_threads_compute_what_serial_calls_compute(name):
    law = LAWS[name]
    chunks = [np.resize(PATTERN, 3000) * (1 + 0.01 * k) for k in range(6)]
    expected = [kf.magnification(c, 0.1, law) for c in chunks]
    results = [None] * len(chunks)

    def work(k):
        results[k] = kf.magnification(chunks[k], 0.1, law)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(chunks))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


def test_array_calls_release_the_gil():
    u = repeated(0.4, LAWS["linear"])
    ticks = []
    done = threading.Event()

    def counter():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=counter)
    thread.start()
    start = time.perf_counter()
    kf.magnification(u, 0.1, LAWS["linear"])
    end = time.perf_counter()
    done.set()
    thread.join()
    during = [t for t in ticks if start < t < end]
    # Without the GIL released the counter would stall for the whole call.
    assert len(during) >= 0.25 * (end - start) / 0.001, (end - start, len(during))


@pytest.mark.parametrize("name", LAWS)
def test_values_do_not_depend_on_how_the_array_is_cut(name):
    law = LAWS[name]
    u = repeated(0.05, law)
    whole = kf.magnification(u, 0.1, law)
    assert np.array_equal(whole[:997], [kf.magnification(float(x), 0.1, law) for x in u[:997]])
    assert np.array_equal(whole, np.concatenate([kf.magnification(part, 0.1, law) for part in np.array_split(u, 7)]))


CHILD = textwrap.dedent(r"""
    import json, os, signal, sys, threading, time
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    import test_fspl_threads as T
    import kalvorin_fspl as kf

    name, how, call = sys.argv[2], sys.argv[3], sys.argv[4]
    law = T.LAWS[name]

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("raised by the handler")

    signum = signal.SIGINT
    if how == "handler":
        signum = signal.SIGUSR1
        signal.signal(signum, handler)

    expected = kf.magnification(T.PATTERN, 0.1, law).tobytes()
    u = T.repeated(2.5, law)  # would compute for about 2.5 s
    t = u * 10.0  # light curve with t0 = 0, u0 = 0, tE = 10: the same separations
    sent = []

    def send():
        time.sleep(0.5)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signum)

    sender = threading.Thread(target=send)
    start = time.perf_counter()
    sender.start()
    result = None
    try:
        if call == "magnification":
            result = kf.magnification(u, 0.1, law)
        elif call == "gradient":
            result = kf.magnification(u, 0.1, law, gradient=True)
        elif call == "jacobian":
            result = kf.light_curve(t, 0.0, 0.0, 10.0, 0.1, law, jacobian=True)
        elif call == "centroid":
            result = kf.centroid_shift(u, 0.1, law)
        elif call == "centroid_gradient":
            result = kf.centroid_shift(u, 0.1, law, gradient=True)
        elif call == "astrometric":
            result = kf.astrometric_light_curve(t, 0.0, 0.0, 10.0, 0.1, law)
        else:
            result = kf.light_curve(t, 0.0, 0.0, 10.0, 0.1, law)
        outcome = "returned"
    except (KeyboardInterrupt, Stop) as exc:
        outcome = type(exc).__name__
    ended = time.perf_counter()
    sender.join()
    print(json.dumps({
        "outcome": outcome,
        "result": result is not None,
        "elapsed": ended - start,
        "latency": ended - sent[0],
        "afterwards": kf.magnification(T.PATTERN, 0.1, law).tobytes() == expected,
    }))
""")


@pytest.mark.parametrize("name", LAWS)
@pytest.mark.parametrize("how, outcome", [("SIGINT", "KeyboardInterrupt"), ("handler", "Stop")])
@pytest.mark.parametrize("call", ["magnification", "light_curve", "gradient", "jacobian", "centroid", "centroid_gradient",
                                  "astrometric"])
def test_a_signal_ends_a_long_call_promptly(name, how, outcome, call):
    env = dict(os.environ)
    package = pathlib.Path(os.path.abspath(kf.__file__)).parents[1]
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(package), env.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", CHILD, str(HERE), name, how, call],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    report = json.loads(proc.stdout)
    assert report["outcome"] == outcome and report["result"] is False, report
    assert report["elapsed"] >= 0.5, report  # not before the signal
    assert report["latency"] < 0.3, report
    assert report["afterwards"] is True, report


TYPED = textwrap.dedent("""
    import numpy as np
    import numpy.typing as npt
    import kalvorin_fspl as kf

    u: npt.NDArray[np.float64] = np.linspace(0.0, 0.1, 11, dtype=np.float64)
    rho = 0.01
    a = kf.magnification(u / rho * rho, rho, kf.Linear(0.6))
    b = kf.magnification(np.arange(5), np.float32(0.1))
    c = kf.magnification([0.1, 0.2], [0.01, 0.02], kf.Table(np.linspace(0, 1, 5), np.ones(5)))
    d: float = kf.magnification(0.5, 0.1)
    e = kf.light_curve(np.linspace(-1, 1, 9, dtype=np.float32), 0.0, 0.01, 20.0, 0.005, kf.Linear.from_gamma(0.4))
    f = kf.light_curve(np.linspace(-1, 1, 9), 0.0, np.array([0.01, 0.02])[:, None], 20.0, 0.005)
    g: float = kf.Linear(0.5).gamma + kf.Uniform().flux
    h = kf.centroid_shift(u, rho, kf.Linear(0.6)) + kf.centroid_shift(0.5, 0.1)
    A, dx, dy = kf.astrometric_light_curve(np.linspace(-1, 1, 9), 0.0, 0.01, 20.0, 0.005, kf.Claret(0.5, 0.1, 0.3, 0.0))
    dl, dl_du, dl_drho, dl_dlaw = kf.centroid_shift(u, rho, kf.Quadratic(0.4, 0.2), gradient=True)
    print(a, b, c, d, e, f, g, h, A, dx, dy, dl, dl_du, dl_drho, dl_dlaw, kf.__version__)
""")


def test_annotations_accept_numpy_array_likes_under_mypy():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("mypy under a preloaded sanitizer runtime tests nothing of the package")
    if subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    package = pathlib.Path(os.path.abspath(kf.__file__)).parents[1]
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    if package.name != "site-packages":  # a developer build: mypy finds installed packages by itself
        env["MYPYPATH"] = str(package)
    good = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-c", TYPED],
                          capture_output=True, text=True, env=env)
    assert good.returncode == 0, good.stdout + good.stderr
    # The annotations are real: a wrong argument type is reported.
    bad = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-c",
                          "import kalvorin_fspl as kf\nkf.magnification(0.5, 0.1, 'linear')"],
                         capture_output=True, text=True, env=env)
    assert bad.returncode != 0 and "magnification" in bad.stdout, bad.stdout
