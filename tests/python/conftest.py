"""The simulated chassis needs the umockdev preload in the interpreter: the run starts itself
again under it before any test is collected."""
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
