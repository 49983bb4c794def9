#!/usr/bin/env python3
"""The same exchanges as pyserial_client.py, through this project's Python module.

    binding_client.py DEVICE COUNT

Prints one line per kind (see client_timing).
"""
import sys

import serial_driver
from client_timing import measure


def succeeds(run):
    try:
        run()
        return True
    except serial_driver.LinkError:
        return False


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
            measure(name, lambda: succeeds(run), count)

if __name__ == "__main__":
    main()
