"""Throughput with two Python threads, and peak memory for a long list.

    python benchmarks/threads_memory.py

Prints the speed-up of two threads over one thread doing the same work (the
computations release the GIL), the slow-down of a computation while another
thread runs Python code (the signal checks between chunks then wait for the
GIL), and the growth of the peak resident memory while converting a list of
10^6 floats and returning its result, relative to the size of the input list.
"""

import gc
import resource
import statistics
import sys
import threading
import time

import kalvorin


def speedup(work, repeats=5):
    ratios = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        work()
        serial = time.perf_counter() - start
        threads = [threading.Thread(target=work) for _ in range(2)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        ratios.append(serial / (time.perf_counter() - start))
    return statistics.median(ratios)


def beside_python(work, repeats=5):
    """Time of work() while another thread runs a Python loop, over its time alone."""
    ratios = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        alone = time.perf_counter() - start
        stop = threading.Event()

        def spin():
            while not stop.is_set():
                pass

        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            start = time.perf_counter()
            work()
            ratios.append((time.perf_counter() - start) / alone)
        finally:
            stop.set()
            spinner.join()
    return statistics.median(ratios)


def main():
    # Memory first: the peak resident size only grows.
    l = [0.5 + i * 1e-6 for i in range(10**6)]
    size = sys.getsizeof(l) + sum(sys.getsizeof(x) for x in l)
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = kalvorin.witt_mao_magnification(l, 1.0, 0.01)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"peak memory growth for 10^6 separations (result list included): "
          f"{(peak - before) / 1e6:.1f} MB = {(peak - before) / size:.2f}x the input list ({size / 1e6:.1f} MB)")
    del result
    l_long = [0.5 + 5e-6 * i for i in range(1_000_000)]
    # A crossing light curve, 1e5 points over |l| ≤ 10 (about 0.1 s of work,
    # so that one switch interval of the GIL, 5 ms, does not dominate).
    l_lc = [abs(-10 + 20 * i / 99999) for i in range(100000)]
    print("two threads vs one (median of 5, higher is better; 2.0 is perfect on 2 cores)")
    print(f"  witt_mao_magnification, 1e6 separations (list):    "
          f"{speedup(lambda: kalvorin.witt_mao_magnification(l_long, 1.0, 0.01)):.2f}x")
    try:
        import numpy as np
    except ImportError:
        np = None
    if np is not None:
        a_long = np.asarray(l_long)
        # Converting a float64 array is a copy; only building the result list holds the GIL.
        print(f"  witt_mao_magnification, 1e6 separations (numpy):   "
              f"{speedup(lambda: kalvorin.witt_mao_magnification(a_long, 1.0, 0.01)):.2f}x")
    print(f"  integrated_heyrovsky_magnification, 1e5 separations: "
          f"{speedup(lambda: kalvorin.integrated_heyrovsky_magnification(l_lc, 1.0, 0.01)):.2f}x")
    print("time beside a thread running Python code / time alone (median of 5; 1.0 is no slow-down)")
    print(f"  integrated_heyrovsky_magnification, 1e5 separations: "
          f"{beside_python(lambda: kalvorin.integrated_heyrovsky_magnification(l_lc, 1.0, 0.01)):.3f}")



if __name__ == "__main__":
    main()
