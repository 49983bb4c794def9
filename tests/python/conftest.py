"""The simulated chassis needs the umockdev preload in the interpreter: the run starts itself
again under it before any test is collected."""
import time

import pytest

import serial_driver
from serial_driver import sim


def pytest_configure(config):
    sim.ensure_preload()


@pytest.fixture
def chassis():
    """A testbed with one adapter, serial number ABC123, at /dev/ttyUSB0."""
    testbed = sim.Testbed()
    testbed.add_adapter("ABC123")
    yield testbed
    del testbed


@pytest.fixture
def link(chassis):
    with serial_driver.ChassisLink(serial="ABC123") as opened:
        yield opened


class Patient:
    """Makes a call again when it times out, three calls in all: on a busy machine a simulated
    reply may come late, but never wrong. Counts the calls made again in `retries`."""

    def __init__(self):
        self.retries = 0

    def __call__(self, call, *args, **kwargs):
        for attempt in range(3):
            try:
                return call(*args, **kwargs)
            except serial_driver.TimeoutError:
                if attempt == 2:
                    raise
                self.retries += 1
                time.sleep(0.02)


@pytest.fixture
def patient():
    return Patient()
