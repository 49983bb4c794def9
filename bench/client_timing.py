"""Timing shared by the benchmark's Python clients: one line per kind of exchange."""
import statistics
import time


def measure(name, exchange, count, per_call=1):
    """Runs exchange() count times (it returns True on success) and prints: name, median and
    p99 in microseconds, failed calls, and the process's CPU time per exchange in
    microseconds (a call making per_call exchanges)."""
    times = []
    failed = 0
    cpu_start = time.process_time()
    for _ in range(count):
        start = time.perf_counter()
        if not exchange():
            failed += 1
        times.append((time.perf_counter() - start) * 1e6)
    cpu_us = (time.process_time() - cpu_start) * 1e6 / (count * per_call)
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"{name}\t{statistics.median(times):.1f}\t{p99:.1f}\t{failed}\t{cpu_us:.1f}", flush=True)
