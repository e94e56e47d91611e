#!/usr/bin/env python3
"""Largest relative errors of kalvorin's functions on a seeded random sample of the domain, by zone.

Reads tests/reference/data/random.json (tests/reference/gen_random_reference.py:
random points over the whole domain and every zone edge ± 1 ulp, in mpmath)
and prints a Markdown table: for each function and zone, the points, the
largest relative error and the point where it occurs (the two functions of a
family that give the same values share a row: the worst of both), and the
largest step between neighbouring doubles across a zone edge beyond the step
of the mpmath values. Discrete maps with
weights of both signs would be measured against Σ|w|·M; the sample's
weights are positive.

Run:  PYTHONPATH=build/dev python3 benchmarks/accuracy.py
"""

import collections
import json
import pathlib

import kalvorin

ROOT = pathlib.Path(__file__).resolve().parents[1]
FUNCTIONS = {
    "disk": ["witt_mao_magnification"],
    "ring": ["heyrovsky_magnification"],
    "law": ["integrated_heyrovsky_magnification", "integrated_witt_mao_magnification"],
    "table": ["integrated_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification"],
    "discrete": ["discrete_flux_map_heyrovsky_magnification"],
}


def evaluate(name, row, data):
    args = row["args"]
    fn = getattr(kalvorin, name)
    if row["family"] == "ring":
        return fn(*args)
    x, re, rstar = args
    extra = {"table": data["table"], "discrete": data["rings"]}.get(row["family"], ())
    return fn([x], re, rstar, *extra)[0]


def errors():
    """{(function, zone): [(error, row)]} over the sample."""
    data = json.loads((ROOT / "tests" / "reference" / "data" / "random.json").read_text())
    out = collections.defaultdict(list)
    for row in data["rows"]:
        want = float(row["expected"])
        for name in FUNCTIONS[row["family"]]:
            got = evaluate(name, row, data)
            out[(" = ".join(f"`{n}`" for n in FUNCTIONS[row["family"]]), row["zone"])].append(
                (abs(got / want - 1), row))
    return out, data


def main():
    groups, data = errors()
    print(f"Seeded sample (seed {data['seed']}): {len(data['rows'])} points, "
          f"{sum(len(v) for v in groups.values())} evaluations\n")
    print("| function | zone | points | max. relative error | at (args) |")
    print("|---|---|---|---|---|")
    for (name, zone), rows in sorted(groups.items()):
        e, row = max(rows, key=lambda t: t[0])
        args = ", ".join(f"{a:.17g}" for a in row["args"])
        print(f"| {name} | {zone} | {len(rows)} | {e:.1e} | {args} |")
    worst = max(e for rows in groups.values() for e, _ in rows)
    print(f"\nworst over the sample: {worst:.1e}")
    print("\n| function | largest step across a zone edge beyond mpmath's (ulps) | at (args) |")
    print("|---|---|---|")
    for name, (step, row) in sorted(edge_steps(data).items()):
        print(f"| {name} | {step:.1f} | {', '.join(f'{a:.17g}' for a in row['args'])} |")


def edge_steps(data):
    """{functions: (ulps, row)}: over each edge and its two neighbours (one
    ulp either side), the largest |A(a)/A(b) / (ref(a)/ref(b)) - 1| in ulps
    of 1 (2^-52) between neighbours."""
    rows = data["rows"]
    out = {}
    for i in range(len(rows) - 2):
        trio = rows[i:i + 3]
        if not all(r["zone"].startswith("edge") and r["family"] == trio[0]["family"] for r in trio):
            continue
        xs = [r["args"][0] for r in trio]  # the separation varies across the edge
        others = [r["args"][1:] for r in trio]
        if not (others[0] == others[1] == others[2] and xs[0] < xs[1] < xs[2]
                and all(abs(b / a - 1) < 1e-15 for a, b in zip(xs, xs[1:]))):
            continue
        for name in FUNCTIONS[trio[0]["family"]]:
            got = [evaluate(name, r, data) for r in trio]
            want = [float(r["expected"]) for r in trio]
            for j in range(2):
                step = abs((got[j + 1] / got[j]) / (want[j + 1] / want[j]) - 1) / 2.0 ** -52
                label = " = ".join(f"`{n}`" for n in FUNCTIONS[trio[0]["family"]])
                if step > out.get(label, (-1.0, None))[0]:
                    out[label] = (step, trio[j + 1])
    return out


if __name__ == "__main__":
    main()
