#!/usr/bin/env python3
"""The same exchanges as pyserial_client.py, through this project's Python module.

    binding_client.py DEVICE COUNT

Prints one line per kind: name, median and p99 in microseconds, failed exchanges, and the
process's CPU time per exchange in microseconds.
"""
import statistics
import sys
import time

import serial_driver


def main():
    device, count = sys.argv[1], int(sys.argv[2])
    with serial_driver.ChassisLink(device=device) as link:
        kinds = [
            ("setEntry float", lambda: link.set(5, 1.5)),
            ("setEntry int", lambda: link.set(6, -7)),
            ("setEntry text", lambda: link.set(7, "rover")),
            ("getEntry float", lambda: link.get_float(5)),
            ("getEntry int", lambda: link.get_int(6)),
            ("getEntry text", lambda: link.get_text(7)),
        ]
        for name, run in kinds:
            times = []
            failed = 0
            cpu_start = time.process_time()
            for _ in range(count):
                start = time.perf_counter()
                try:
                    run()
                except serial_driver.LinkError:
                    failed += 1
                times.append((time.perf_counter() - start) * 1e6)
            cpu_us = (time.process_time() - cpu_start) * 1e6 / count
            times.sort()
            p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
            print(f"{name}\t{statistics.median(times):.1f}\t{p99:.1f}\t{failed}\t{cpu_us:.1f}",
                  flush=True)


if __name__ == "__main__":
    main()
