"""Talk to a chassis controller behind a 1a86:7523 USB serial adapter."""
import builtins
import datetime
import enum
from typing import Any, List, Optional, Type, Union

class Errc(enum.Enum):
    NOT_FOUND: int
    OPEN_FAILED: int
    BAD_BAUD: int
    NOT_OPEN: int
    SEND_FAILED: int
    HUNG_UP: int
    TIMEOUT: int
    REJECTED: int
    BAD_REPLY: int
    BAD_VALUE: int
    CANCELLED: int
    BUSY: int

class LinkError(Exception):
    """A link operation failed; .code says why (.item: a batch item's position)."""
    code: Errc
    item: int

class NotFoundError(LinkError): ...
class OpenFailedError(LinkError):
    """The port would not open or take the line settings; the message says why and the fix."""
    errno: Optional[int]
class BadBaudError(LinkError): ...
class NotOpenError(LinkError): ...
class SendFailedError(LinkError): ...
class HungUpError(LinkError): ...
class TimeoutError(LinkError, builtins.TimeoutError): ...
class RejectedError(LinkError): ...
class BadReplyError(LinkError): ...
class BadValueError(LinkError): ...
class CancelledError(LinkError): ...
class BusyError(LinkError):
    """Another program (or link) holds the port and does not serve."""
    holder: str  # "pid 4242 (robot_main)", or "another program"

class LinkStats:
    exchanges: int
    failures: int
    reconnections: int
    last_exchange: datetime.timedelta
    max_exchange: datetime.timedelta
    discarded_bytes: int
    skipped_lines: int
    stale_replies: int
    out_of_step: int
    held_back: int
    owner_pid: int  # the owner this link goes through; 0 when it holds the port itself
    owner_program: str
    clients: int  # programs this link serves now, while it holds the port

class ChassisLink:
    """The link to the controller; opened at construction, closed by close() or `with`.

    reply_timeout is seconds or a timedelta: negative (however little) raises ValueError, a
    fraction of a millisecond is rounded up to one, None or 0 is the rate's own deadline.
    None of serial, device and socket raises BadValueError; `with` on a closed link raises NotOpenError.
    exclusive=False opens without taking the port for this link alone, for a program that only
    watches a line another one drives. While it holds the port the link serves other programs'
    reads through a Unix socket named after the adapter (serve=False: they get BusyError), and
    their sets with serve_writes=True (else their sets raise RejectedError). A link that finds
    the port held by a serving owner goes through it; socket= names the owner's socket, where an
    owner serves or a link connects (serial and device may then be omitted). An index or int
    value beyond the controller's int range (however large) raises BadValueError."""
    def __init__(
        self,
        *,
        serial: Optional[str] = None,
        device: Optional[str] = None,
        baud: int = 115200,
        reply_timeout: Union[None, float, datetime.timedelta] = None,
        reconnect_after: int = 151,
        max_in_flight: int = 1,
        exclusive: bool = True,
        serve: bool = True,
        serve_writes: bool = False,
        socket: Optional[str] = None,
    ) -> None: ...
    def __enter__(self) -> "ChassisLink": ...
    def __exit__(self, *args: Any) -> None: ...
    def close(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def device(self) -> str: ...
    @property
    def stats(self) -> LinkStats: ...
    def set(
        self,
        index: int,
        value: Union[int, float, str],
        *,
        type: Union[None, str, Type[int], Type[float], Type[str]] = None,
    ) -> None: ...
    def get_float(self, index: int) -> float: ...
    def get_int(self, index: int) -> int: ...
    def get_text(self, index: int) -> str: ...
    def get_bytes(self, index: int) -> bytes: ...
    def exchange(self, batch: "Batch") -> List[Union[None, int, float, str, bytes]]:
        """Every item of the batch, the GIL released throughout, with up to max_in_flight
        commands on the line. Returns the values in item order (None for a set); otherwise
        raises the first failure in item order, with its position in `.item` (Ctrl-C raises
        KeyboardInterrupt). batch.result(i) and batch.error(i) give every item's outcome."""
        ...

class Batch:
    """A control cycle's gets and sets; get_* and set return the item's position.

        batch = serial_driver.Batch()
        left = batch.get_float(10)
        batch.set(1, 0.25)
        values = link.exchange(batch)   # values[left]; reuse the batch every cycle
    """
    def __init__(self) -> None: ...
    def get_float(self, index: int) -> int: ...
    def get_int(self, index: int) -> int: ...
    def get_text(self, index: int) -> int: ...
    def get_bytes(self, index: int) -> int: ...
    def set(
        self,
        index: int,
        value: Union[int, float, str],
        *,
        type: Union[None, str, Type[int], Type[float], Type[str]] = None,
    ) -> int:
        """An index or int out of range (however large) raises BadValueError here; a text that
        does not fit a frame fails its item with BadValueError at the exchange."""
        ...
    def __len__(self) -> int: ...
    def clear(self) -> None: ...
    def result(self, item: int) -> Union[None, int, float, str, bytes]:
        """The item's value from the last exchange (None for a set), or its error raised."""
        ...
    def error(self, item: int) -> Optional[LinkError]: ...

class SerialPort:
    devnode: str
    on_usb: bool
    vendor: str
    product: str
    serial: str

def list_serial_ports() -> List[SerialPort]: ...

class _Sim:
    """The serial_driver.sim submodule: the simulated chassis."""

    class Fault(enum.Enum):
        NONE: int
        NO_REPLY: int
        LATE_REPLY: int
        BAD_CHECKSUM: int
        WRONG_INDEX: int
        SPLIT_REPLY: int
        NOISE: int
        BANG_FRAME: int
        WRONG_KIND: int

    class Adapter:
        serial: str
        devnode: str
        plugged: bool
        def unplug(self) -> None: ...
        def plug(self, node_ready: bool = True) -> None: ...
        def make_node_ready(self) -> None: ...
        def inject(self, fault: "_Sim.Fault", count: int = 1) -> None: ...
        def set_byte_pacing(self, baud: int) -> None: ...
        def set_entry(self, index: int, value: Union[str, bytes]) -> None: ...
        def entry(self, index: int) -> str: ...
        def received(self) -> List[bytes]: ...
        def wait_idle(self) -> None: ...

    class Testbed:
        root_dir: str
        def __init__(self) -> None: ...
        def add_adapter(
            self,
            serial: str,
            node: str = "",
            has_serial: bool = True,
            fresh_termios: bool = False,
        ) -> "_Sim.Adapter": ...
        def adapter(self, i: int) -> "_Sim.Adapter": ...

    @staticmethod
    def preload_active() -> bool: ...
    @staticmethod
    def ensure_preload() -> None: ...

sim: _Sim
