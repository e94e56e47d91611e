#!/usr/bin/env python3
"""Largest relative errors of kalvorin_fspl against the mpmath table, by law and zone.

Reads tests/reference/data/fspl.json (tests/reference/gen_fspl_reference.py),
tests/reference/data/fspl_laws.json (tests/reference/gen_fspl_laws_reference.py)
tests/reference/data/fspl_gradient.json (tests/reference/gen_gradient_reference.py)
tests/reference/data/fspl_centroid.json (tests/reference/gen_centroid_reference.py)
and tests/reference/data/fspl_centroid_gradient.json
(tests/reference/gen_centroid_gradient_reference.py) and prints Markdown
tables: for each law and zone, the number of rows, the source radii covered
and the worst relative error; for the derivatives dA/du, dA/drho and
dA/d(law parameters), measured as tests/test_fspl_gradient_accuracy.py
measures them; for the centroid shift and its derivatives, as
tests/test_fspl_centroid_accuracy.py measures them.
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

    laws = json.loads((ROOT / "tests" / "reference" / "data" / "fspl_laws.json").read_text())
    by_law = collections.defaultdict(lambda: collections.defaultdict(list))
    for r in laws["rows"]:
        got = kf.magnification(r["u"], r["rho"], getattr(kf, r["law"])(*r["params"]))
        by_law[r["law"]][r["region"]].append(abs(got / r["expected"] - 1))
    zones = [z for z in ZONES if any(z in g for g in by_law.values())]
    print("\n| law (coefficient sets) | " + " | ".join(ZONE_TEXT[z] for z in zones) + " |")
    print("|---|" + "---|" * len(zones))
    for law, g in by_law.items():
        sets = len({tuple(r["params"]) for r in laws["rows"] if r["law"] == law})
        print(f"| {law} ({sets}) | " + " | ".join(f"{max(g[z]):.1e}" for z in zones) + " |")
    print(f"\nall {len(laws['rows'])} rows of the laws, ρ {min(r['rho'] for r in laws['rows']):g} … "
          f"{max(r['rho'] for r in laws['rows']):g}: worst {max(max(v) for g in by_law.values() for v in g.values()):.1e}")

    gradients()
    centroid()


def centroid():
    import sys

    sys.path.insert(0, str(ROOT / "tests"))
    import test_fspl_centroid_accuracy as T

    worst = collections.defaultdict(float)
    relative = 0.0
    for law in T.LAW_NAMES:
        for region in T.REGIONS:
            rows = T.rows_of(law, region)
            for r, g in zip(rows, T.evaluate(rows) if rows else []):
                if r["u"] == 0:
                    continue
                ref = float(r["delta_str"])
                point = r["u"] / (r["u"] ** 2 + 2)
                worst[(law, region)] = max(worst[(law, region)], abs(g - ref) / max(abs(ref), point))
                if abs(ref) >= point:
                    relative = max(relative, abs(g - ref) / abs(ref))
    text = {"inside": "inside (x ≤ 0.9)", "limb_minus": "x = 1 − 1e-3 … 1 − 1e-6", "limb": "on the limb",
            "limb_plus": "x = 1 + 1e-6 … 1 + 1e-3", "outside": "outside (x < 3)", "far": "far (x ≥ 3)"}
    # (the centre rows, u = 0, give 0 exactly: tests/test_fspl_centroid_accuracy.py)
    regions = [z for z in T.REGIONS if any((law, z) in worst for law in T.LAW_NAMES)]
    print("\n| centroid shift δ | " + " | ".join(text.get(z, z) for z in regions) + " |")
    print("|---|" + "---|" * len(regions))
    for law in T.LAW_NAMES:
        print(f"| {law} | " + " | ".join(f"{worst[(law, z)]:.1e}" if (law, z) in worst else "–" for z in regions) + " |")
    print(f"\nall {len(T.ROWS)} rows of the centroid shift, ρ {min(r['rho'] for r in T.ROWS):g} … "
          f"{max(r['rho'] for r in T.ROWS):g}, u up to {max(r['u'] for r in T.ROWS):g}: worst {max(worst.values()):.1e} "
          f"(against max(|δ|, u/(u² + 2))); relative where |δ| ≥ u/(u² + 2): {relative:.1e}")

    # the derivatives: d delta/d(law) from the same table, the slopes from the gradient table
    dw = collections.defaultdict(float)
    for law in T.LAW_NAMES[1:]:
        for region in T.REGIONS:
            rows = T.rows_of(law, region)
            for r, (d, dlaw) in zip(rows, T.evaluate(rows, gradient=True) if rows else []):
                if r["u"] == 0:
                    continue
                scale = abs(float(r["delta_str"]) - r["u"] / (r["u"] ** 2 + 2))
                for p, s in enumerate(r["delta_dlaw_str"]):
                    dw[(law, region, "law")] = max(dw[(law, region, "law")],
                                                   abs(dlaw[p] - float(s)) / max(abs(float(s)), scale))
    for law in T.LAW_NAMES:
        for region in T.REGIONS:
            rows = [r for r in T.GRAD_ROWS if r["law"] == law and r["region"] == region]
            for r, eu, erho, _ in T.slope_errors(rows) if rows else []:
                dw[(law, region, "u")] = max(dw[(law, region, "u")], eu)
                dw[(law, region, "rho")] = max(dw[(law, region, "rho")], erho)
    print("\n| law | derivative of δ | " + " | ".join(text.get(z, z) for z in regions) + " |")
    print("|---|---|" + "---|" * len(regions))
    for law in T.LAW_NAMES:
        for d, name in (("u", "dδ/du"), ("rho", "dδ/dρ"), ("law", "dδ/d(params)")):
            cells = [f"{dw[(law, z, d)]:.1e}" if (law, z, d) in dw else "–" for z in regions]
            if any(c != "–" for c in cells):
                print(f"| {law} | {name} | " + " | ".join(cells) + " |")
    band = [v for (law, z, d), v in dw.items() if z in ("limb_minus", "limb_plus")]
    print(f"\nall {len(T.GRAD_ROWS)} rows of dδ/du and dδ/dρ and the law derivatives of the {len(T.ROWS)} rows: "
          f"worst {max(band):.1e} within 1e-3 of the limb, "
          f"{max(v for (law, z, d), v in dw.items() if z not in ('limb_minus', 'limb_plus')):.1e} elsewhere "
          f"(against max(|ref|, the floors of tests/test_fspl_centroid_accuracy.py))")


def gradients():
    import sys

    sys.path.insert(0, str(ROOT / "tests"))
    import test_fspl_gradient_accuracy as T

    worst = collections.defaultdict(float)
    for law in T.LAW_NAMES:
        for zone in T.ZONES:
            rows = T.rows_of(law, zone)
            for r, (_, du, drho, dlaw, _) in zip(rows, T.evaluate(rows)):
                su, srho, sp = T.scales(r)
                if r["u"] > 0:
                    worst[(law, zone, "u")] = max(worst[(law, zone, "u")], T.error(du, float(r["dA_du_str"]), su, r["x"]))
                worst[(law, zone, "rho")] = max(worst[(law, zone, "rho")], T.error(drho, float(r["dA_drho_str"]), srho, r["x"]))
                for p, ref in enumerate(r["dA_dlaw_str"]):
                    worst[(law, zone, "law")] = max(worst[(law, zone, "law")], T.error(dlaw[p], float(ref), sp, r["x"]))
    zones = list(T.ZONES)
    text = {"inside": "inside", "limb": f"limb band (x within {T.LIMB_BAND:g} of 1)", "outside": "outside (x < 3)",
            "far": "far (x ≥ 3)"}
    print("\n| law | derivative | " + " | ".join(text[z] for z in zones) + " |")
    print("|---|---|" + "---|" * len(zones))
    for law in T.LAW_NAMES:
        for d, name in (("u", "dA/du"), ("rho", "dA/dρ"), ("law", "dA/d(params)")):
            if (law, zones[0], d) not in worst and d == "law":
                continue
            print(f"| {law} | {name} | " + " | ".join(f"{worst[(law, z, d)]:.1e}" for z in zones) + " |")
    print("\n| worst over the laws | " + " | ".join(text[z] for z in zones) + " |")
    print("|---|" + "---|" * len(zones))
    for d, name in (("u", "dA/du"), ("rho", "dA/dρ"), ("law", "dA/d(law parameters)")):
        print(f"| {name} | " + " | ".join(f"{max(v for (_, z2, d2), v in worst.items() if z2 == z and d2 == d):.1e}"
                                         for z in zones) + " |")
    print(f"\nall {len(T.ROWS)} rows of the derivatives, ρ {min(r['rho'] for r in T.ROWS):g} … "
          f"{max(r['rho'] for r in T.ROWS):g}: worst {max(worst.values()):.1e} in the limb band, "
          f"{max(v for (_, z, _), v in worst.items() if z != 'limb'):.1e} elsewhere")


if __name__ == "__main__":
    main()
