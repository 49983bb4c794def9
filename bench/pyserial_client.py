#!/usr/bin/env python3
"""A typical Python client of the controller, with pyserial, for comparison.

    pyserial_client.py DEVICE COUNT
    pyserial_client.py DEVICE COUNT cycle

Runs COUNT exchanges of each kind and prints one line per kind (see client_timing); with
"cycle", COUNT control cycles of 6 gets and 6 sets of entries 10 to 15, one exchange after
the other, and one line named "cycle" (times per cycle, CPU time per exchange).
"""
import sys

import serial

from client_timing import measure


def frame(text):
    data = text.encode()
    checksum = 0
    for byte in data:
        checksum ^= byte
    return data + bytes([checksum]) + b"\n"


def valid(reply):
    if len(reply) < 3 or reply[:1] != b"$" or reply[-1:] != b"\n":
        return False
    checksum = 0
    for byte in reply[:-2]:
        checksum ^= byte
    return checksum == reply[-2]


def exchange(port, text, expect):
    port.reset_input_buffer()
    port.write(frame(text))
    reply = port.read_until(b"\n", 64)
    return valid(reply) and reply.split(b" ")[0] == expect


def cycle(port):
    ok = True
    for entry in range(10, 16):
        ok = exchange(port, f"$get {entry}", b"$fdb") and ok
    for entry in range(10, 16):
        ok = exchange(port, f"$set {entry} 0.250", b"$ack") and ok
    return ok


def main():
    device, count = sys.argv[1], int(sys.argv[2])
    port = serial.Serial(device, 115200, timeout=0.011)
    if sys.argv[3:] == ["cycle"]:
        for _ in range(3):
            cycle(port)
        measure("cycle", lambda: cycle(port), count, per_call=12)
        return
    kinds = [
        ("setEntry float", "$set 5 1.500", b"$ack"),
        ("setEntry int", "$set 6 -7", b"$ack"),
        ("setEntry text", "$set 7 rover", b"$ack"),
        ("getEntry float", "$get 5", b"$fdb"),
        ("getEntry int", "$get 6", b"$fdb"),
        ("getEntry text", "$get 7", b"$fdb"),
    ]
    for name, text, expect in kinds:
        measure(name, lambda: exchange(port, text, expect), count)

if __name__ == "__main__":
    main()
