"""The interpreter exits while a daemon thread is inside a long call.

The interpreter ends such a thread when it asks for the GIL again (with
glibc by unwinding its stack); the process must exit as the script says,
not abort. Each case runs in a separate process.
"""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import kalvorin as K

pytest.importorskip("numpy")

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = textwrap.dedent(r"""
    import array, sys, threading, time
    import kalvorin as K
    PATTERN = [0.05 + 2.9 * i / 499 for i in range(500)]
    TABLE = ([0.0, 0.25, 0.5, 0.75, 1.0], [1.0, 0.9, 0.7, 0.4, 0.1])
    RINGS = ([0.1 * k for k in range(1, 11)], [0.1] * 10)
    EXTRA = {
        "integrated_flux_map_witt_mao_magnification": TABLE,
        "integrated_flux_map_heyrovsky_magnification": TABLE,
        "discrete_flux_map_heyrovsky_magnification": RINGS,
    }

    def long_call(target):
        # Calls of some 10-100 ms each, until the interpreter ends the thread.
        if target.startswith("kalvorin_fspl."):
            import numpy as np, kalvorin_fspl as F
            law = F.Linear(0.6)
            points = np.tile(np.linspace(0.0, 2.0, 500), 400)
            while True:
                if target == "kalvorin_fspl.magnification":
                    F.magnification(points, 0.1, law)
                else:
                    F.light_curve(points, 1.0, 0.01, 0.5, 0.1, law)
        separations = array.array("d", PATTERN) * 400
        while True:
            getattr(K, target)(separations, 1.0, 0.1, *EXTRA.get(target, ()))
""")

DAEMON = PRELUDE + textwrap.dedent(r"""
    started = threading.Event()

    def work():
        started.set()
        long_call(sys.argv[1])

    threading.Thread(target=work, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    sys.exit(3)
""")

POOL = PRELUDE + textwrap.dedent(r"""
    import os, signal
    from multiprocessing.pool import ThreadPool

    def send():
        time.sleep(0.5)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=send, daemon=True).start()
    # Ctrl-C while the pool's (daemon) workers compute: KeyboardInterrupt in
    # the main thread, which ends the interpreter.
    ThreadPool(4).starmap(long_call, [(sys.argv[1],)] * 8)
""")

TARGETS = [name for name in K.__all__ if name != "heyrovsky_magnification"] + [
    "kalvorin_fspl.magnification", "kalvorin_fspl.light_curve"]


def run(script, target):
    env = dict(os.environ)
    location = os.path.dirname(os.path.abspath(K.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [location, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", script, target], env=env, capture_output=True, text=True,
                          timeout=60, cwd=HERE)


@pytest.mark.parametrize("target", TARGETS)
def test_exit_during_a_call_in_a_daemon_thread_keeps_the_exit_status(target):
    proc = run(DAEMON, target)
    assert proc.returncode == 3, proc.stderr[-4000:]
    assert "terminate" not in proc.stderr, proc.stderr[-4000:]


@pytest.mark.parametrize("target", ["integrated_heyrovsky_magnification",
                                    "integrated_flux_map_witt_mao_magnification",
                                    "kalvorin_fspl.magnification"])
def test_ctrl_c_during_a_thread_pool_of_calls_exits_as_interrupted(target):
    proc = run(POOL, target)
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT.
    assert proc.returncode == -signal.SIGINT, (proc.returncode, proc.stderr[-4000:])
    assert proc.stderr.rstrip().endswith("KeyboardInterrupt"), proc.stderr[-4000:]
