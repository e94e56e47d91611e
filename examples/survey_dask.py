"""Limb-darkened light curves of a simulated survey on a Dask cluster.

Draws N microlensing events (t0, u0, tE, rho from the distributions in
``draw_events``), computes the light curve of each at EPOCHS epochs with
``kalvorin_fspl.magnification`` (linear limb darkening, ``Linear(0.6)``;
one call per batch of events) on a Dask distributed cluster -- a
LocalCluster on this machine when no scheduler address is given -- reports
events per second and checks a sample of events against a serial
computation, one event at a time, in this process, bit for bit (the module
is deterministic and keeps no state, so a light curve does not depend on
where, or in which batch, it was computed).

Run:  pip install '.[examples]'
      python examples/survey_dask.py --events 2000
      python examples/survey_dask.py --events 20000 --scheduler tcp://host:8786

Workers of a remote cluster need kalvorin installed (the same build, for
bit-identical results); the events, the law and the functions travel by
pickle.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Sequence

import numpy as np

import kalvorin_fspl as kf

EPOCHS = 300
SEASON = (0.0, 240.0)  # days
LAW = kf.Linear(0.6)


def draw_events(n: int, seed: int = 0) -> list[tuple[float, float, float, float]]:
    """n events (t0 [d], u0, tE [d], rho): t0 uniform over the season, u0
    uniform in [0, 1), tE log-normal around 20 d (sigma 0.5 dex, clipped to
    1-300 d), rho log-uniform in [1e-3, 0.05]. Plain floats, so that the
    events pickle small."""
    rng = np.random.default_rng(seed)
    t0 = rng.uniform(*SEASON, n)
    u0 = rng.uniform(0.0, 1.0, n)
    te = np.clip(10.0 ** rng.normal(math.log10(20.0), 0.5, n), 1.0, 300.0)
    rho = 10.0 ** rng.uniform(-3.0, math.log10(0.05), n)
    return [tuple(float(v) for v in row) for row in zip(t0, u0, te, rho)]


def light_curve(event: Sequence[float], epochs: int = EPOCHS) -> np.ndarray:
    """Magnification at `epochs` epochs evenly spaced over t0 +- 2 tE."""
    t0, u0, te, rho = event
    tau = np.linspace(-2.0, 2.0, epochs)  # (t - t0) / tE
    return kf.magnification(np.hypot(u0, tau), rho, LAW)


def light_curves(events: Sequence[Sequence[float]], epochs: int = EPOCHS) -> np.ndarray:
    """One task: the light curves of a batch of events, one row each, in one
    call of the module (one array travels back faster than many small ones)."""
    if not events:
        return np.empty((0, epochs))
    _, u0, _, rho = np.array(events, dtype=np.float64).T
    tau = np.linspace(-2.0, 2.0, epochs)
    return kf.magnification(np.hypot(u0[:, None], tau), rho[:, None], LAW)


def batches(events, size):
    return [events[i:i + size] for i in range(0, len(events), size)]


def compute_on_cluster(client, events, epochs=EPOCHS, batch=500) -> list[np.ndarray]:
    """Light curves of all events, in order, computed on the client's cluster."""
    if __name__ != "__main__":
        # Imported (not run as a script): send these functions by value, so that
        # workers need kalvorin but not this file.
        import cloudpickle
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    futures = client.map(light_curves, batches(events, batch), epochs=epochs, pure=False)
    out = []
    for part in client.gather(futures):
        out.extend(part)
    return out


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Bit-for-bit equality (also of NaNs and signed zeros)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, required=True, help="number of simulated events")
    parser.add_argument("--scheduler", default=None,
                        help="address of a Dask scheduler (default: a LocalCluster here)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--epochs", type=int, default=EPOCHS, help="epochs per light curve")
    parser.add_argument("--batch", type=int, default=500,
                        help="events per task (a task should take tens of milliseconds, "
                             "or the scheduling overhead dominates)")
    parser.add_argument("--check", type=int, default=20, help="events checked against serial results")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    events = draw_events(args.events, args.seed)
    cluster = None
    if args.scheduler is None:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
        where = f"LocalCluster of {args.workers} worker processes"
    else:
        client = Client(args.scheduler)
        where = f"scheduler {args.scheduler}"
    try:
        n_workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        curves = compute_on_cluster(client, events, args.epochs, args.batch)
        elapsed = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print(f"{len(events)} events x {args.epochs} epochs on {where} ({n_workers} workers): "
          f"{elapsed:.2f} s, {len(events) / elapsed:.1f} events per second")

    rng = np.random.default_rng(args.seed + 1)
    sample = sorted(rng.choice(len(events), size=min(args.check, len(events)), replace=False))
    start = time.perf_counter()
    mismatches = [i for i in sample if not identical(curves[i], light_curve(events[i], args.epochs))]
    serial = time.perf_counter() - start
    print(f"serial check of {len(sample)} events: {len(sample) / serial:.1f} events per second "
          f"in this process; {len(sample) - len(mismatches)}/{len(sample)} bit-identical")
    if mismatches:
        print(f"MISMATCH in events {mismatches}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
