"""The Python module against the simulated chassis: values, errors, replug, logging, threads."""
import logging
import os
import termios
import threading
import time

import pytest

import serial_driver
from serial_driver import sim


def test_each_type_round_trips_with_the_wire_text_of_its_python_type(chassis, link, patient):
    adapter = chassis.adapter(0)
    patient(link.set, 5, 1.5)
    patient(link.set, 6, -7)
    patient(link.set, 7, "left wheel")
    patient(link.set, 8, 2, type=float)
    patient(link.set, 9, "12", type="int")
    with pytest.raises(serial_driver.BadValueError):
        link.set(9, 2**40)
    # Each frame: its text, the checksum byte and the newline; a call made again repeats it.
    frames = adapter.received()
    assert len(frames) == 5 + patient.retries
    assert [f[:-2] for f in dict.fromkeys(frames)] == [
        b"$set 5 1.500", b"$set 6 -7", b"$set 7 left wheel", b"$set 8 2.000", b"$set 9 12"]
    assert patient(link.get_float, 5) == 1.5
    assert patient(link.get_int, 6) == -7
    assert patient(link.get_text, 7) == "left wheel"
    assert link.device == "/dev/ttyUSB0"
    assert link.stats.exchanges == 8 + patient.retries
    assert link.stats.failures == patient.retries


def _stop_output(devnode):
    port = os.open(devnode, os.O_RDWR | os.O_NOCTTY)
    termios.tcflow(port, termios.TCOOFF)
    return port


@pytest.mark.parametrize("fault, on_get, error, code", [
    (sim.Fault.NO_REPLY, True, serial_driver.TimeoutError, serial_driver.Errc.TIMEOUT),
    (sim.Fault.BANG_FRAME, False, serial_driver.RejectedError, serial_driver.Errc.REJECTED),
    (sim.Fault.WRONG_KIND, True, serial_driver.BadReplyError, serial_driver.Errc.BAD_REPLY),
])
def test_reply_faults_raise_their_error(chassis, link, fault, on_get, error, code):
    # A busy machine may turn the faulty reply into a time-out: that one is tried again.
    for _ in range(3):
        chassis.adapter(0).inject(fault)
        caught = None
        try:
            link.get_int(3) if on_get else link.set(3, 1)
        except serial_driver.LinkError as raised:
            caught = raised
        if isinstance(caught, error) or not isinstance(caught, serial_driver.TimeoutError):
            break
        time.sleep(0.02)
    assert isinstance(caught, error), caught
    assert caught.code == code


def test_errors_of_opening_sending_and_values(chassis, link):
    with pytest.raises(serial_driver.NotFoundError):
        serial_driver.ChassisLink(serial="NOPE")
    with pytest.raises(serial_driver.OpenFailedError):
        serial_driver.ChassisLink(device="/dev/null")
    with pytest.raises(serial_driver.BadBaudError):
        serial_driver.ChassisLink(serial="ABC123", baud=57600)
    with pytest.raises(serial_driver.BadValueError) as raised:
        link.set(1, "two\nlines")
    assert raised.value.code == serial_driver.Errc.BAD_VALUE
    port = _stop_output("/dev/ttyUSB0")
    try:
        with pytest.raises(serial_driver.SendFailedError):
            link.set(1, 1)
    finally:
        termios.tcflow(port, termios.TCOON)
        os.close(port)
    link.close()
    with pytest.raises(serial_driver.NotOpenError):
        link.get_float(1)


def test_unplug_raises_hung_up_and_replug_recovers(chassis, link, patient):
    adapter = chassis.adapter(0)
    patient(link.set, 2, 42)
    adapter.unplug()
    with pytest.raises(serial_driver.HungUpError):
        link.get_int(2)
    adapter.plug()
    assert patient(link.get_int, 2) == 42, "the controller kept its entries"
    assert link.stats.reconnections == 1


def test_library_messages_reach_python_logging(chassis, caplog):
    with caplog.at_level(logging.INFO, logger="serial_driver"):
        with serial_driver.ChassisLink(serial="ABC123"):
            pass
    records = [r for r in caplog.records if r.name == "serial_driver"]
    assert records and records[0].levelno == logging.INFO
    assert "Open Serial Port!" in records[0].getMessage()


def test_exchanges_release_the_gil(patient):
    testbed = sim.Testbed()
    for serial in ("LEFT", "RIGHT"):
        testbed.add_adapter(serial).set_byte_pacing(9600)  # about 20 ms an exchange
    spans = {"LEFT": [], "RIGHT": []}
    start_together = threading.Barrier(2)

    def run(serial):
        with serial_driver.ChassisLink(serial=serial, baud=9600) as link:
            for _ in range(5):
                start_together.wait()
                began = time.monotonic()
                patient(link.set, 1, 1.0)
                spans[serial].append((began, time.monotonic()))

    threads = [threading.Thread(target=run, args=(s,)) for s in spans]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    overlapping = sum(1 for (a0, a1), (b0, b1) in zip(spans["LEFT"], spans["RIGHT"])
                      if a0 < b1 and b0 < a1)
    assert len(spans["LEFT"]) == 5 and overlapping > 0, spans
