"""kalvorin's functions on a seeded random sample of the whole domain and at every zone edge ± 1 ulp.

Reference: tests/reference/data/random.json (tests/reference/gen_random_reference.py,
mpmath, independent of the module). benchmarks/accuracy.py prints the worst
error by function and zone; the bounds here are those figures with a margin.
"""

import json
import pathlib

import pytest

import kalvorin

DATA = json.loads((pathlib.Path(__file__).parent / "reference" / "data" / "random.json").read_text())
FUNCTIONS = {
    "disk": ["witt_mao_magnification"],
    "ring": ["heyrovsky_magnification"],
    "law": ["integrated_heyrovsky_magnification", "integrated_witt_mao_magnification"],
    "table": ["integrated_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification"],
    "discrete": ["discrete_flux_map_heyrovsky_magnification"],
}
# Measured (benchmarks/accuracy.py): disk 8.9e-16, ring 6.7e-16, built-in law 6.7e-16, tables 4.4e-16, discrete 6.7e-16.
BOUND = {"disk": 2e-15, "ring": 1.5e-15, "law": 1.5e-15, "table": 1e-15, "discrete": 1.5e-15}


def value(name, row):
    fn = getattr(kalvorin, name)
    if row["family"] == "ring":
        return fn(*row["args"])
    extra = {"table": DATA["table"], "discrete": DATA["rings"]}.get(row["family"], ())
    return fn([row["args"][0]], *row["args"][1:], *extra)[0]


@pytest.mark.parametrize("family", sorted(FUNCTIONS))
def test_sample_against_mpmath(family):
    rows = [r for r in DATA["rows"] if r["family"] == family]
    worst = max(((abs(value(name, r) / float(r["expected"]) - 1), name, r) for r in rows
                 for name in FUNCTIONS[family]), key=lambda t: t[0])
    assert worst[0] <= BOUND[family], worst


def test_the_sample_covers_every_zone_edge():
    zones = {(r["family"], r["zone"]) for r in DATA["rows"]}
    assert len(DATA["rows"]) >= 600
    for family in FUNCTIONS:
        assert any(f == family and z.startswith("edge") for f, z in zones)
        assert any(f == family and z.startswith("random") for f, z in zones)
