"""kalvorin's type stubs (src/lib/kalvorin.pyi) under mypy --strict, in the
developer build too: MYPYPATH points at src/lib, so the stubs of this tree
are checked whatever is installed (tests/test_ecosystem.py checks the
stubs a wheel installs)."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = ROOT / "src" / "lib"
EXAMPLE = ROOT / "examples" / "typed_usage.py"

# Calls that run (the example runs them too): every one must pass.
ACCEPTED = """\
import numpy as np
import kalvorin
u = np.linspace(0.0, 0.1, 5)
rho = 0.05
a: list[float] = kalvorin.witt_mao_magnification(u / rho, 1.0, rho)
b: list[float] = kalvorin.integrated_heyrovsky_magnification(np.arange(4), 1.0, rho)
c: list[float] = kalvorin.integrated_witt_mao_magnification(np.asarray(u, dtype=np.float32), 1, np.float32(rho))
t = np.array([[0.0, 1.0], [1.0, 0.4]])
d: list[float] = kalvorin.integrated_flux_map_witt_mao_magnification(u, 1.0, rho, t[:, 0], t[:, 1])
e: list[float] = kalvorin.discrete_flux_map_heyrovsky_magnification(u[::2], 1.0, rho, t[:, 0], t[:, 1])
f: float = kalvorin.heyrovsky_magnification(np.float64(0.7), 0.5, np.int64(1), rho)
g: list[float] = kalvorin.witt_mao_magnification(range(3), 1.0, 0.1)
"""

# Wrong calls, one per line from line 5 on: every one must be reported.
REJECTED = """\
import numpy as np
import kalvorin
complex_values = np.zeros(3, dtype=np.complex128)
strings = np.asarray(["0.5"], dtype=np.str_)
kalvorin.witt_mao_magnification("0.5", 1.0, 0.1)
kalvorin.witt_mao_magnification(0.5, 1.0, 0.1)
kalvorin.witt_mao_magnification(complex_values, 1.0, 0.1)
kalvorin.integrated_heyrovsky_magnification(strings, 1.0, 0.1)
kalvorin.heyrovsky_magnification([0.5], 0.5, 1.0, 0.1)
kalvorin.witt_mao_magnification([0.5], [1.0], 0.1)
x: float = kalvorin.witt_mao_magnification([0.5], 1.0, 0.1)
kalvorin.integrated_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.0, 1.0])
"""


def mypy(tmp_path, *args):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, MYPYPATH=str(STUBS), MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    # mypy never loads the module: under the sanitizer run it needs no sanitizer runtime
    env.pop("LD_PRELOAD", None)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", *args],
                          capture_output=True, text=True, env=env, cwd=tmp_path)


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("stubs")


def test_numpy_calls_pass_mypy_strict(cache):
    for target in (["-c", ACCEPTED], [str(EXAMPLE)]):
        done = mypy(cache, *target)
        assert done.returncode == 0, done.stdout + done.stderr


def test_the_accepted_calls_run():
    pytest.importorskip("numpy")
    namespace: dict = {}
    exec(compile(ACCEPTED, "accepted", "exec"), namespace)
    assert all(isinstance(namespace[k], list) for k in "abcdeg") and isinstance(namespace["f"], float)


def test_wrong_calls_are_reported_line_by_line(cache):
    done = mypy(cache, "-c", REJECTED)
    assert done.returncode != 0
    lines = {int(m.group(1)) for m in re.finditer(r"^<string>:(\d+): error", done.stdout, re.M)}
    expected = set(range(5, len(REJECTED.splitlines()) + 1))
    assert lines == expected, done.stdout
