#!/usr/bin/env python3
"""Largest relative errors of kalvorin_fspl against the mpmath table, by law and zone.

Reads tests/reference/data/fspl.json (tests/reference/gen_fspl_reference.py)
and prints a Markdown table: for each law and zone, the number of rows, the
source radii and separations covered and the worst relative error.
Run: PYTHONPATH=build/dev python3 benchmarks/fspl_accuracy.py
"""

import collections
import json
import math
import pathlib

import kalvorin_fspl as kf

ROOT = pathlib.Path(__file__).resolve().parents[1]
ZONES = ["centre", "inside", "limb_minus", "limb", "limb_plus", "outside", "far", "breakpoint", "consistency",
         "point"]
ZONE_TEXT = {"centre": "centre (u = 0)", "inside": "inside (u = 0.3ρ, 0.9ρ)", "limb_minus": "1e-6 inside the limb",
             "limb": "on the limb", "limb_plus": "1e-6 outside the limb", "outside": "outside (1.5ρ … 5ρ)",
             "far": "far (20ρ … 1e6)", "breakpoint": "at table radii", "consistency": "mixed", "point": "ρ = 0"}


def main():
    data = json.loads((ROOT / "tests" / "reference" / "data" / "fspl.json").read_text())
    tables = {name: kf.Table(t["r"], t["intensity"]) for name, t in data["tables"].items()}
    groups = collections.defaultdict(list)
    for r in data["rows"]:
        law = {"linear": lambda: kf.Linear(r["c"]), "table": lambda: tables[r["table"]]}.get(r["law"], kf.Uniform)()
        got = kf.magnification(r["u"], r["rho"], law)
        e = (0.0 if got == r["expected"] else math.inf) if math.isinf(r["expected"]) else abs(got / r["expected"] - 1)
        groups[(r["law"], r["region"])].append((e, r))
    print("| law | zone | rows | ρ | max. relative error |")
    print("|---|---|---|---|---|")
    for law in ["uniform", "linear", "table", "point"]:
        for zone in ZONES:
            rows = groups.get((law, zone))
            if not rows:
                continue
            rhos = [r["rho"] for _, r in rows]
            name = law if law != "linear" else "linear, c = " + ", ".join(
                f"{c:g}" for c in sorted({r["c"] for _, r in rows}))
            print(f"| {name} | {ZONE_TEXT[zone]} | {len(rows)} | {min(rhos):g} … {max(rhos):g} | "
                  f"{max(e for e, _ in rows):.1e} |")
    print(f"\nall {len(data['rows'])} rows: worst {max(e for g in groups.values() for e, _ in g):.1e}")


if __name__ == "__main__":
    main()
