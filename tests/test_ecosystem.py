"""numpy interoperability, pickling across processes, installed type stubs."""

import concurrent.futures
import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pytest

import kalvorin

RE, RSTAR = 1.0, 0.1
L = [0.0, 0.3, 0.999, 1.0, 1.2, 3.0, 50.0]
BL = [0.0, 0.25, 0.5, 0.75, 1.0]
BF = [1.0, 0.95, 0.85, 0.7, 0.4]

LIST_FUNCTIONS = [
    ("witt_mao_magnification", False),
    ("integrated_witt_mao_magnification", False),
    ("integrated_heyrovsky_magnification", False),
    ("integrated_flux_map_witt_mao_magnification", True),
    ("integrated_flux_map_heyrovsky_magnification", True),
    ("discrete_flux_map_heyrovsky_magnification", True),
]


def bits(values):
    """Exact bit patterns, so that NaN == NaN and -0.0 != 0.0."""
    return [float(v).hex() for v in values]


def call(name, table, l, bl=BL, bf=BF):
    fn = getattr(kalvorin, name)
    return fn(l, RE, RSTAR, bl, bf) if table else fn(l, RE, RSTAR)


ARRAYS = {
    "float64": lambda v: np.asarray(v, dtype=np.float64),
    "float32": lambda v: np.asarray(v, dtype=np.float32),
    "int64": lambda v: np.asarray(np.round(v), dtype=np.int64),
    "big-endian float64": lambda v: np.asarray(v, dtype=">f8"),
    "strided slice": lambda v: np.repeat(np.asarray(v, dtype=np.float64), 2)[::2],
    "reversed view": lambda v: np.asarray(v[::-1], dtype=np.float64)[::-1],
    "column of 2-d array": lambda v: np.stack([np.asarray(v), np.zeros(len(v))], axis=1)[:, 0],
}


@pytest.mark.parametrize("kind", list(ARRAYS))
@pytest.mark.parametrize("name,table", LIST_FUNCTIONS)
def test_numpy_arrays_give_the_same_results_as_lists(name, table, kind):
    make = ARRAYS[kind]
    arr_l = make(L)
    as_list = [float(x) for x in arr_l]
    assert bits(call(name, table, arr_l)) == bits(call(name, table, as_list))
    if table:
        arr_bl, arr_bf = make(BL), make(BF)
        expected = call(name, table, as_list, [float(x) for x in arr_bl], [float(x) for x in arr_bf])
        assert bits(call(name, table, arr_l, arr_bl, arr_bf)) == bits(expected)


@pytest.mark.parametrize("name,table", LIST_FUNCTIONS)
def test_empty_arrays(name, table):
    assert call(name, table, np.zeros(0)) == []


def test_numpy_scalars_are_accepted_as_floats():
    expected = kalvorin.heyrovsky_magnification(0.7, 0.5, 1.0, 0.1)
    args = (np.float64(0.7), np.float32(0.5), np.int64(1), np.float64(0.1))
    assert kalvorin.heyrovsky_magnification(*args) == kalvorin.heyrovsky_magnification(0.7, float(np.float32(0.5)), 1.0, 0.1)
    assert kalvorin.heyrovsky_magnification(np.float64(0.7), 0.5, 1, 0.1) == expected


def test_results_convert_to_numpy():
    out = np.asarray(kalvorin.witt_mao_magnification(np.linspace(0.0, 5.0, 11), RE, RSTAR))
    assert out.dtype == np.float64 and out.shape == (11,)
    assert np.all(np.isfinite(out)) and np.all(out > 1.0)


def _uniform(l):
    return kalvorin.witt_mao_magnification(l, RE, RSTAR)


def test_functions_pickle_by_reference_and_run_in_worker_processes():
    for name in kalvorin.__all__:
        assert pickle.loads(pickle.dumps(getattr(kalvorin, name))) is getattr(kalvorin, name)
    chunks = [L[:3], L[3:], []]
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        parallel = list(pool.map(kalvorin.witt_mao_magnification, chunks, [RE] * 3, [RSTAR] * 3))
        via_helper = list(pool.map(_uniform, chunks))
    serial = [_uniform(c) for c in chunks]
    assert parallel == serial == via_helper


def _installed_stub_dir():
    here = pathlib.Path(kalvorin.__file__).parent
    return here if (here / "kalvorin-stubs" / "__init__.pyi").exists() else None


def test_type_stubs_installed_and_pass_mypy_strict():
    site = _installed_stub_dir()
    if site is None:
        pytest.skip("kalvorin is not installed from a wheel here (developer build)")
    assert (site / "kalvorin.pyi").is_file() and (site / "py.typed").is_file()
    if shutil.which("mypy") is None and subprocess.run([sys.executable, "-m", "mypy", "--version"],
                                                      capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    example = pathlib.Path(__file__).resolve().parents[1] / "examples" / "typed_usage.py"
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(example)],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    # The stubs are real: a wrong argument type must be reported.
    bad = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-c",
                          "import kalvorin\nkalvorin.heyrovsky_magnification([1.0], 0.5, 1.0, 0.1)"],
                         capture_output=True, text=True, env=env)
    assert bad.returncode != 0 and "heyrovsky_magnification" in bad.stdout


def test_stub_signatures_match_the_module():
    import ast
    import inspect

    stub = pathlib.Path(__file__).resolve().parents[1] / "src" / "lib" / "kalvorin.pyi"
    tree = ast.parse(stub.read_text())
    stubbed = {node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(stubbed) == kalvorin.__all__
    for name, params in stubbed.items():
        assert list(inspect.signature(getattr(kalvorin, name)).parameters) == params
