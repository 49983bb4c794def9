"""The Python module against the simulated chassis: values, errors, replug, logging, threads."""
import datetime
import enum
import errno
import logging
import multiprocessing
import os
import pathlib
import re
import signal
import subprocess
import sys
import termios
import textwrap
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


def test_open_failures_say_the_cause_and_the_fix(chassis, tmp_path):
    link = serial_driver.ChassisLink(serial="ABC123", serve=False)
    with pytest.raises(serial_driver.BusyError) as busy:
        serial_driver.ChassisLink(serial="ABC123")
    name = pathlib.Path("/proc/self/comm").read_text().strip()
    assert busy.value.holder == f"pid {os.getpid()} ({name})"
    assert str(busy.value) == f"/dev/ttyUSB0: the port is held by {busy.value.holder}; close it first"
    regular = tmp_path / "file"
    regular.write_text("")
    for path, number in ((tmp_path, errno.EISDIR), (regular, errno.ENOTTY)):
        with pytest.raises(serial_driver.OpenFailedError) as failed:
            serial_driver.ChassisLink(device=str(path))
        assert failed.value.errno == number
        assert str(failed.value) == f"{path}: not a serial device"
    with pytest.raises(serial_driver.BadValueError):
        serial_driver.ChassisLink()
    link.close()
    with pytest.raises(serial_driver.NotOpenError):
        with link:
            pass


def test_reply_timeout_in_seconds_or_as_a_timedelta_is_one_rule(chassis):
    # However little below zero: a fraction of a millisecond must not round to the default.
    for negative in (-0.001, -0.0001, -1e-9, -10**400, datetime.timedelta(microseconds=-1)):
        with pytest.raises(ValueError):
            serial_driver.ChassisLink(serial="ABC123", reply_timeout=negative)
    # An int beyond a double waits as long as it takes, as the largest timeout does.
    serial_driver.ChassisLink(serial="ABC123", reply_timeout=10**400).close()
    # A reply paced at 38400 takes about 4 ms: within the rate's own deadline, never within
    # the millisecond half a millisecond rounds up to.
    chassis.adapter(0).set_byte_pacing(38400)
    for short in (0.0005, datetime.timedelta(microseconds=500)):
        with serial_driver.ChassisLink(serial="ABC123", reply_timeout=short) as link:
            with pytest.raises(serial_driver.TimeoutError):
                link.get_int(1)


def test_ints_of_any_size_raise_what_their_argument_raises_out_of_range(chassis, link):
    batch = serial_driver.Batch()
    for call in (lambda: batch.set(5, 2**63), lambda: batch.set(5, 2**31),
                 lambda: batch.get_float(-2**70), lambda: batch.set(2**40, 1.5),
                 lambda: link.set(5, -2**70), lambda: link.set(2**63, 1),
                 lambda: link.get_int(2**31), lambda: link.set(5, 10**400, type=float),
                 lambda: link.set(5, float("inf"), type=int),
                 lambda: serial_driver.ChassisLink(serial="ABC123", reconnect_after=2**64)):
        with pytest.raises(serial_driver.BadValueError):
            call()
    assert len(batch) == 0 and chassis.adapter(0).received() == []
    with pytest.raises(serial_driver.BadBaudError):
        serial_driver.ChassisLink(serial="ABC123", baud=2**70)
    with pytest.raises(ValueError):
        serial_driver.ChassisLink(serial="ABC123", max_in_flight=2**70)
    with pytest.raises(IndexError):
        batch.result(2**70)
    with pytest.raises(IndexError):
        chassis.adapter(2**64)
    with pytest.raises(ValueError):
        chassis.adapter(0).set_entry(2**63, "x")
    with pytest.raises(TypeError):
        link.get_int(1.0)


def test_exclusive_false_opens_without_taking_the_port(chassis):
    with serial_driver.ChassisLink(serial="ABC123", exclusive=False) as driving, \
            serial_driver.ChassisLink(serial="ABC123", exclusive=False) as watching:
        assert driving.is_open and watching.is_open
    with serial_driver.ChassisLink(serial="ABC123", exclusive=True, serve=False):
        with pytest.raises(serial_driver.BusyError):
            serial_driver.ChassisLink(serial="ABC123")


def test_a_second_link_goes_through_the_serving_owner(chassis, patient):
    adapter = chassis.adapter(0)
    adapter.set_entry(5, "1.500")
    program = pathlib.Path("/proc/self/comm").read_text().strip()
    with serial_driver.ChassisLink(serial="ABC123") as owner, \
            serial_driver.ChassisLink(serial="ABC123") as client:
        assert patient(client.get_float, 5) == 1.5
        assert (client.stats.owner_pid, client.stats.owner_program) == (os.getpid(), program)
        assert (owner.stats.owner_pid, owner.stats.clients) == (0, 1)
        # Served programs read only, unless the owner allows sets; the error says how.
        with pytest.raises(serial_driver.RejectedError, match="serve_writes=True"):
            client.set(5, 2.0)
        batch = serial_driver.Batch()
        batch.get_float(5), batch.set(5, 2.0)
        with pytest.raises(serial_driver.RejectedError, match=r"item 1, set 5\).*serve_writes"):
            patient(client.exchange, batch)
        assert batch.result(0) == 1.5 and adapter.entry(5) == "1.500"
    with serial_driver.ChassisLink(serial="ABC123", serve_writes=True), \
            serial_driver.ChassisLink(serial="ABC123") as client:
        patient(client.set, 5, 2.0)
        assert adapter.entry(5) == "2.000"


def test_a_socket_path_reaches_its_owner_and_nothing_once_it_is_gone(chassis, patient, tmp_path):
    chassis.adapter(0).set_entry(6, "-7")
    path = str(tmp_path / "owner.sock")
    with serial_driver.ChassisLink(serial="ABC123", socket=path), \
            serial_driver.ChassisLink(socket=path) as client:
        assert patient(client.get_int, 6) == -7
        assert client.stats.owner_pid == os.getpid() and client.device == path
    with pytest.raises(serial_driver.NotFoundError):
        serial_driver.ChassisLink(socket=path)


def test_a_python_script_and_chassisctl_read_through_the_owner_at_once(chassis):
    chassis.adapter(0).set_entry(5, "1.500")
    # Their commands run on the owner's engine: a deadline no loaded or emulated machine reaches.
    with serial_driver.ChassisLink(serial="ABC123", reply_timeout=2) as owner:
        # Both inherit the testbed and its socket directory from this process.
        tool = subprocess.Popen([os.environ["CHASSISCTL"], "--quiet", "--serial", "ABC123", "watch",
                                 "5", "--count", "20", "--interval", "10"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        child = _run_python("""
            import serial_driver
            with serial_driver.ChassisLink(serial="ABC123") as link:
                values = set()
                for attempt in range(20):
                    try:
                        values.add(link.get_float(5))
                    except serial_driver.TimeoutError:
                        pass
                print(sorted(values), link.stats.owner_pid)
            """)
        out, err = tool.communicate(timeout=120)
        assert child.returncode == 0, child.stderr
        assert child.stdout.split() == ["[1.5]", str(os.getpid())]
        readings = [line for line in out.splitlines() if line.startswith("entry 5 = ")]
        assert readings and all(line.startswith("entry 5 = 1.5  ") for line in readings), out + err
        assert owner.stats.owner_pid == 0 and owner.get_float(5) == 1.5


def test_a_forked_child_leaves_the_port_to_its_parent(chassis, link):
    fork = multiprocessing.get_context("fork")
    running, release = fork.Event(), fork.Event()

    def live():
        running.set()
        release.wait(60)

    child = fork.Process(target=live)
    child.start()
    try:
        assert running.wait(60), "the child runs"
        link.close()
        with serial_driver.ChassisLink(serial="ABC123") as again:
            assert again.is_open
    finally:
        release.set()
        child.join()
    assert child.exitcode == 0


def test_errc_and_fault_are_python_enums():
    assert [e.name for e in serial_driver.Errc][:2] == ["NOT_FOUND", "OPEN_FAILED"]
    assert serial_driver.Errc["TIMEOUT"] is serial_driver.Errc.TIMEOUT
    assert isinstance(serial_driver.Errc.BUSY, enum.Enum)
    assert isinstance(sim.Fault.NO_REPLY, enum.Enum) and sim.Fault["NOISE"] in list(sim.Fault)


def test_unplug_raises_hung_up_and_replug_recovers(chassis, link, patient):
    adapter = chassis.adapter(0)
    patient(link.set, 2, 42)
    adapter.unplug()
    with pytest.raises(serial_driver.HungUpError):
        link.get_int(2)
    adapter.plug()
    # The link looks for the adapter at a pace (every 100 ms at most) while it stays away.
    for _ in range(200):
        try:
            assert link.get_int(2) == 42, "the controller kept its entries"
            break
        except (serial_driver.NotFoundError, serial_driver.TimeoutError):
            time.sleep(0.005)
    assert link.stats.reconnections == 1


def test_library_messages_reach_python_logging(chassis, caplog):
    with caplog.at_level(logging.INFO, logger="serial_driver"):
        with serial_driver.ChassisLink(serial="ABC123"):
            pass
        with pytest.raises(serial_driver.NotFoundError):
            serial_driver.ChassisLink(device="/dev/ttyUSB9")
    records = [r for r in caplog.records if r.name == "serial_driver"]
    # A successful open says nothing; the failed one says why, at its level.
    assert len(records) == 1 and records[0].levelno == logging.ERROR
    assert "no such device" in records[0].getMessage()


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


def test_a_batch_gives_each_item_its_value_or_its_error_and_releases_the_gil(chassis, patient):
    adapter = chassis.adapter(0)
    adapter.set_entry(5, "1.500")
    adapter.set_entry(6, "-7")
    with pytest.raises(ValueError):
        serial_driver.ChassisLink(serial="ABC123", max_in_flight=17)
    with serial_driver.ChassisLink(serial="ABC123", max_in_flight=4, reply_timeout=0.5) as link:
        batch = serial_driver.Batch()
        items = [batch.get_float(5), batch.set(7, "left"), batch.get_int(6), batch.set(8, 2)]
        assert items == [0, 1, 2, 3] and len(batch) == 4
        assert patient(link.exchange, batch) == [1.5, None, -7, None]
        assert adapter.entry(7) == "left" and adapter.entry(8) == "2"

        # A lost reply fails its own item; the others keep their own values.
        adapter.inject(sim.Fault.NO_REPLY)
        with pytest.raises(serial_driver.TimeoutError) as raised:
            link.exchange(batch)
        assert raised.value.item == 0
        assert isinstance(batch.error(0), serial_driver.TimeoutError)
        with pytest.raises(serial_driver.TimeoutError):
            batch.result(0)
        if batch.error(2) is None:
            assert batch.result(2) == -7

        # Another thread runs while the batch is on the line, and may not touch it meanwhile.
        adapter.set_byte_pacing(9600)  # about 20 ms an item
        seen_busy = []
        done = threading.Event()

        def poke():
            while not done.is_set():
                try:
                    batch.result(0)
                except RuntimeError as e:
                    seen_busy.append("in an exchange" in str(e))
                except serial_driver.LinkError:
                    pass

        poker = threading.Thread(target=poke)
        poker.start()
        try:
            patient(link.exchange, batch)
        finally:
            done.set()
            poker.join()
        assert any(seen_busy)


def test_a_thread_polling_one_link_never_stalls_one_reading_its_state(chassis, link):
    adapter = chassis.adapter(0)
    logging.getLogger("serial_driver").setLevel(logging.DEBUG)  # every message takes the GIL
    done = threading.Event()

    def poll():
        while not done.is_set():
            try:
                link.get_float(1)
            except serial_driver.LinkError:
                pass

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()
    for _ in range(20):
        adapter.unplug()
        for _ in range(20):
            assert link.stats.exchanges >= 0 and link.is_open and link.device is not None
        adapter.plug()
        time.sleep(0.005)
    done.set()
    poller.join(timeout=10)
    assert not poller.is_alive()


def _run_python(code, **kwargs):
    """Runs code in a new interpreter under the simulator; its output and exit status."""
    prelude = "from serial_driver import sim\nsim.ensure_preload()\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60, **kwargs)


def test_ctrl_c_ends_a_long_wait_at_once_and_the_link_stays_usable():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import time
        import serial_driver
        from serial_driver import sim
        sim.ensure_preload()
        testbed = sim.Testbed()
        adapter = testbed.add_adapter("ABC123")
        link = serial_driver.ChassisLink(serial="ABC123", reply_timeout=10)
        adapter.inject(sim.Fault.NO_REPLY)
        print("waiting", flush=True)
        began = time.monotonic()
        try:
            link.get_float(1)
        except KeyboardInterrupt:
            print("interrupted after %.3f s" % (time.monotonic() - began), flush=True)
        link.set(1, 2.5)
        print("then", link.get_float(1), flush=True)
        """)], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "waiting\n"
    time.sleep(0.5)  # into the wait, even on a busy machine
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert child.returncode == 0, out
    interrupted, then = out.splitlines()
    assert float(interrupted.split()[2]) < 2.0, "the wait lasts 10 s"
    assert then == "then 2.5"


def test_interpreter_exit_with_a_daemon_thread_inside_a_call_is_clean():
    done = _run_python("""
        import threading, time
        import serial_driver
        testbed = sim.Testbed()
        testbed.add_adapter("ABC123").inject(sim.Fault.NO_REPLY)
        link = serial_driver.ChassisLink(serial="ABC123", reply_timeout=30)
        threading.Thread(target=link.get_float, args=(1,), daemon=True).start()
        time.sleep(0.2)
        """)
    assert done.returncode == 0, done.stderr
    assert "terminate" not in done.stderr


def test_an_owner_dropped_while_its_serving_thread_logs_goes_without_a_deadlock():
    # The serving thread logs through Python's logging and needs the GIL to finish; the owner's
    # destructor waits for that thread, so it must not hold the GIL meanwhile.
    dropped = _run_python("""
        import logging, threading
        import serial_driver
        in_sink, dropping = threading.Event(), threading.Event()

        class Waiting(logging.Handler):
            def emit(self, record):
                if isinstance(threading.current_thread(), threading._DummyThread):
                    in_sink.set()
                    dropping.wait(30)

        logging.getLogger("serial_driver").addHandler(Waiting())
        testbed = sim.Testbed()
        adapter = testbed.add_adapter("ABC123")
        owner = serial_driver.ChassisLink(serial="ABC123")
        client = serial_driver.ChassisLink(serial="ABC123")
        adapter.inject(sim.Fault.BANG_FRAME)  # the owner logs what the controller said

        def ask():
            try:
                client.get_int(1)
            except serial_driver.LinkError:
                pass

        asking = threading.Thread(target=ask)
        asking.start()
        assert in_sink.wait(30), "the serving thread logs"
        dropping.set()
        del owner
        asking.join()
        print("dropped")
        """)
    assert dropped.returncode == 0 and dropped.stdout == "dropped\n", dropped.stderr


def test_values_python_users_expect(chassis):
    adapter = chassis.adapter(0)
    with pytest.raises(ValueError):
        adapter.set_byte_pacing(0)
    adapter.set_entry(7, b"\xffok")
    with serial_driver.ChassisLink(serial="ABC123", reply_timeout=0.05) as link:
        assert link.get_bytes(7) == b"\xffok"
        assert link.get_text(7) == "\ufffdok"
        adapter.inject(sim.Fault.NO_REPLY)
        with pytest.raises(TimeoutError) as raised:  # the built-in one
            link.get_int(7)
        assert isinstance(raised.value, serial_driver.LinkError)


def test_simulator_misuse_says_what_to_do(chassis):
    with pytest.raises(RuntimeError, match="already exists"):
        sim.Testbed()
    unloaded = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    from_stdin = subprocess.run(
        [sys.executable, "-"], input="from serial_driver import sim\nsim.ensure_preload()\n",
        capture_output=True, text=True, timeout=60, env=unloaded)
    assert from_stdin.returncode != 0 and "standard input" in from_stdin.stderr
    unloaded = subprocess.run(
        [sys.executable, "-c", "from serial_driver import sim\nsim.Testbed()"],
        capture_output=True, text=True, timeout=60, env=unloaded)
    assert unloaded.returncode != 0 and "ensure_preload" in unloaded.stderr


def _readme_python_blocks():
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
    return {block.splitlines()[0].lstrip("# "): block for block in blocks}


def test_the_readme_python_examples_run_as_printed(tmp_path):
    blocks = _readme_python_blocks()
    for name in ("conftest.py", "test_bringup.py"):
        (tmp_path / name).write_text(blocks[name])
    suite = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"],
                           cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert suite.returncode == 0 and "1 passed" in suite.stdout, suite.stdout + suite.stderr
    bringup = _run_python("testbed = sim.Testbed()\ntestbed.add_adapter('ABC123')\n"
                          + blocks["bringup.py"])
    assert bringup.returncode == 0, bringup.stderr
    assert "Errc.NOT_FOUND" in bringup.stdout


def test_the_type_stubs_name_what_the_module_has():
    import ast
    stubs = ast.parse(pathlib.Path(serial_driver.__file__).with_name("serial_driver.pyi").read_text())
    classes = {node.name: node for node in ast.walk(stubs) if isinstance(node, ast.ClassDef)}

    def members(name):
        return [n.target.id for n in classes[name].body if isinstance(n, ast.AnnAssign)]

    assert members("Errc") == list(serial_driver.Errc.__members__)
    assert members("Fault") == list(sim.Fault.__members__)
    errors = {n for n, c in classes.items() if any(getattr(b, "id", "") == "LinkError" for b in c.bases)}
    module_errors = {n for n in dir(serial_driver)
                     if isinstance(getattr(serial_driver, n), type)
                     and issubclass(getattr(serial_driver, n), serial_driver.LinkError)
                     and n != "LinkError"}
    assert errors == module_errors
    assert set(members("LinkStats")) == {n for n in dir(serial_driver.LinkStats)
                                         if not n.startswith("_")}
    # The options ChassisLink takes, as the module's own signature names them.
    init = next(n for n in classes["ChassisLink"].body if getattr(n, "name", "") == "__init__")
    signature = serial_driver.ChassisLink.__init__.__doc__.splitlines()[0]
    options = re.findall(r"(\w+): ", signature.split("*,")[1])
    assert [a.arg for a in init.args.kwonlyargs] == options
