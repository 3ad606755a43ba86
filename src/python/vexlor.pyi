# Type information for the vexlor extension module.
#
# Conventions of the module that the types below can only partly express:
# - Paths are `str` only; path-like objects are refused with a TypeError.
#   The input path "-" reads standard input.
# - Integer arguments take an `int` or any object with `__index__` (so `bool`
#   too).  Their ranges are checked at call time: `max_sessions` is an unsigned
#   32-bit number, ports are 0 to 65535, `buffer_bytes` and `flow_id` unsigned
#   64-bit numbers; a value outside its range raises OverflowError.
# - `ip_filters` and `port_filters` take any sequence (list, tuple, ...) except a
#   bare `str`, which is refused with a TypeError although `str` is itself a
#   `Sequence[str]` to a type checker.  Their default is an empty sequence.
# - `strategy`, `output_type` and the protocol name of `find_by_protocol` are
#   matched case-insensitively, so they are typed `str` rather than literals:
#   strategies "session", "flow", "host", "hostpair", "mac", "bssid", "nosplit";
#   output types "pcap", "l7"; protocols "tcp", "udp", "icmp", "icmpv6".
# - Failures: ValueError (unknown strategy, output type or protocol name, an
#   invalid address text), OSError (an input that cannot be read, an output that
#   cannot be created, an archive that cannot be opened), RuntimeError (a
#   malformed capture, a failure while writing, a damaged archive), TypeError and
#   OverflowError (arguments).
# - A broken internal invariant is raised as `PanicException`, a class derived
#   directly from BaseException (so `except Exception` lets it pass) that the
#   module creates when it first needs it.  The module does not export it as an
#   attribute, so it is not declared here: catch it with `except BaseException`
#   and test `type(e).__name__ == "PanicException"`.
# - Archive, Flow and Packet have no constructor: calling the class raises
#   TypeError.  Their `__new__` below asks for a keyword argument that no value
#   can satisfy, so that a type checker rejects every call of the class.
#   Archives come from `Archive.open` and `read_flows`, flows from the Archive
#   queries, packets from `Flow.packets()`.  None of the three can be
#   subclassed, and every attribute is read-only.

from collections.abc import Sequence
from typing import Literal, NoReturn, SupportsIndex, final

__all__ = ["Archive", "Flow", "Packet", "create_archive", "split", "pipe_archive", "read_flows"]

def split(
    input_path: str,
    output_dir: str,
    strategy: str = "session",
    max_sessions: SupportsIndex = 10000,
    buffer_bytes: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[SupportsIndex] = ...,
    output_type: str = "pcap",
) -> None:
    """Split a pcap/pcapng file into per-flow pcap or L7 files."""

def create_archive(
    input_path: str,
    output_path: str,
    strategy: str = "session",
    max_sessions: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[SupportsIndex] = ...,
) -> None:
    """Create a .vexlor archive from a pcap/pcapng file."""

def read_flows(
    input_path: str,
    strategy: str = "session",
    max_sessions: SupportsIndex = 10000,
    ip_filters: Sequence[str] = ...,
    port_filters: Sequence[SupportsIndex] = ...,
) -> Archive:
    """Build a temporary archive of a capture and return it opened.

    The temporary file is /tmp/vexlor_py_<pid>.vexlor; it is deleted when the
    returned Archive is released.
    """

def pipe_archive(archive_path: str) -> list[bytes]:
    """Every flow of an archive as a standalone classic pcap image, in flow order."""

@final
class Archive:
    """An opened .vexlor archive."""

    # No constructor: use Archive.open() or read_flows().
    def __new__(cls, *args: object, no_constructor: NoReturn, **kwargs: object) -> Archive: ...
    @staticmethod
    def open(path: str) -> Archive:
        """Open a .vexlor archive file."""
    @property
    def flow_count(self) -> int: ...
    @property
    def link_type(self) -> int:
        """Link-layer type of the capture the archive was made from (1 is Ethernet)."""
    def flows(self) -> list[Flow]:
        """Return all flows as a list of Flow objects."""
    def get_flow(self, flow_id: SupportsIndex) -> Flow | None:
        """Get a specific flow by ID; None when there is none (ids start at 1)."""
    def find_by_ip(self, ip_str: str) -> list[Flow]:
        """Find flows matching an IP address (src or dst)."""
    def find_by_port(self, port: SupportsIndex) -> list[Flow]:
        """Find flows matching a port number (src or dst)."""
    def find_by_protocol(self, proto_str: str) -> list[Flow]:
        """Find flows matching a protocol: "tcp", "udp", "icmp" or "icmpv6"."""
    def __len__(self) -> int: ...

@final
class Flow:
    """One flow of an archive, described by its first packet and its counters."""

    # No constructor: flows come from the Archive queries.
    def __new__(cls, *args: object, no_constructor: NoReturn, **kwargs: object) -> Flow: ...
    @property
    def id(self) -> int: ...
    @property
    def proto(self) -> int: ...
    @property
    def proto_name(self) -> Literal["TCP", "UDP", "ICMP", "ICMPv6", "?"]: ...
    @property
    def src_addr(self) -> str: ...
    @property
    def dst_addr(self) -> str: ...
    @property
    def src_port(self) -> int: ...
    @property
    def dst_port(self) -> int: ...
    @property
    def packet_count(self) -> int: ...
    @property
    def total_bytes(self) -> int: ...
    @property
    def start_ts(self) -> float: ...
    @property
    def end_ts(self) -> float: ...
    def packets(self) -> list[Packet]:
        """Return all packets in this flow as a list of Packet objects."""

@final
class Packet:
    """One stored packet: capture time, lengths and frame bytes."""

    # No constructor: packets come from Flow.packets().
    def __new__(cls, *args: object, no_constructor: NoReturn, **kwargs: object) -> Packet: ...
    @property
    def ts_sec(self) -> int: ...
    @property
    def ts_usec(self) -> int: ...
    @property
    def ts(self) -> float: ...
    @property
    def length(self) -> int: ...
    @property
    def orig_len(self) -> int: ...
    @property
    def data(self) -> bytes:
        """Raw L2 frame data (Ethernet frame or equivalent)."""
