"""The module object, its docstrings and signatures, and its one-time initialisation."""
import inspect
import subprocess
import sys

import pytest

import vexlor

NAMES = ["Archive", "Flow", "Packet", "create_archive", "split", "pipe_archive", "read_flows"]


def test_all_and_attribute_order():
    assert vexlor.__all__ == NAMES and type(vexlor.__all__) is list
    assert [k for k in vars(vexlor) if not k.startswith("_")] == NAMES
    assert (vexlor.__doc__, vexlor.__name__) == ("", "vexlor")
    assert not [o for o in vars(vexlor).values() if isinstance(o, type) and issubclass(o, BaseException)]


DOCS = {
    "split": ('(input_path, output_dir, strategy="session", max_sessions=10000, buffer_bytes=10000, '
              'ip_filters=..., port_filters=..., output_type="pcap")',
              "Split a pcap/pcapng file into per-flow pcap or L7 files."),
    "create_archive": ('(input_path, output_path, strategy="session", max_sessions=10000, '
                       'ip_filters=..., port_filters=...)',
                       "Create a .vexlor archive from a pcap/pcapng file."),
    "read_flows": ('(input_path, strategy="session", max_sessions=10000, ip_filters=..., port_filters=...)',
                   "Directly read a pcap/pcapng file and return all flows as an Archive.\n\n"
                   "Internally creates a temporary .vexlor archive, opens it, and returns\n"
                   "the Archive. The temp file is cleaned up when the Archive is garbage collected."),
    "pipe_archive": ("(archive_path)",
                     "Yield each flow from a .vexlor archive as a complete pcap file (bytes).\n"
                     "Returns a list of bytes; each bytes object is a standalone pcap file."),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_function_docstring_and_signature(name):
    fn = getattr(vexlor, name)
    sig, desc = DOCS[name]
    assert type(fn).__name__ == "builtin_function_or_method"
    assert (fn.__text_signature__, fn.__doc__, fn.__module__) == (sig, desc, "vexlor")
    params = inspect.signature(fn).parameters  # every parameter by position or keyword
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert list(params) == [s.split("=")[0].strip() for s in sig[1:-1].split(",")]
    if name == "split":
        assert {k: p.default for k, p in params.items()} == {
            "input_path": inspect.Parameter.empty, "output_dir": inspect.Parameter.empty,
            "strategy": "session", "max_sessions": 10000, "buffer_bytes": 10000,
            "ip_filters": Ellipsis, "port_filters": Ellipsis, "output_type": "pcap"}


@pytest.mark.parametrize("method,sig,desc", [
    (vexlor.Archive.open, "(path)", "Open a .vexlor archive file."),
    (vexlor.Archive.flows, "($self)", "Return all flows as a list of Flow objects."),
    (vexlor.Archive.get_flow, "($self, flow_id)", "Get a specific flow by ID."),
    (vexlor.Archive.find_by_ip, "($self, ip_str)", "Find flows matching an IP address (src or dst)."),
    (vexlor.Archive.find_by_port, "($self, port)", "Find flows matching a port number (src or dst)."),
    (vexlor.Archive.find_by_protocol, "($self, proto_str)",
     'Find flows matching a protocol: "tcp", "udp", or "icmp".'),
    (vexlor.Flow.packets, "($self)", "Return all packets in this flow as a list of Packet objects."),
], ids=lambda v: getattr(v, "__name__", None))
def test_method_docstrings(method, sig, desc):
    assert (method.__text_signature__, method.__doc__) == (sig, desc)


@pytest.mark.parametrize("cls,properties", [
    (vexlor.Packet, ["ts_sec", "ts_usec", "length", "orig_len", "ts"]),
    (vexlor.Flow, ["id", "proto", "proto_name", "src_addr", "dst_addr", "src_port", "dst_port", "packet_count",
                   "total_bytes", "start_ts", "end_ts"]),
    (vexlor.Archive, ["flow_count", "link_type"]),
])
def test_class_identity_and_property_docs(cls, properties):
    assert (cls.__module__, cls.__doc__, cls.__qualname__, cls.__base__) == ("builtins", None, cls.__name__, object)
    assert [getattr(cls, name).__doc__ for name in properties] == [""] * len(properties)
    assert vexlor.Packet.data.__doc__ == "Raw L2 frame data (Ethernet frame or equivalent)."


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_second_initialisation_raises_import_error():
    res = run_python("import sys, vexlor\ndel sys.modules['vexlor']\n"
                     "try:\n    import vexlor\nexcept ImportError as e:\n    print('ImportError', e)\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith("ImportError ") and "once" in res.stdout, res.stdout


def test_sub_interpreter_import_raises_import_error():
    res = run_python("import vexlor\n"
                     "try:\n    import _xxsubinterpreters as sub\nexcept ImportError:\n    raise SystemExit(3)\n"
                     "i = sub.create()\n"
                     "sub.run_string(i, 'try:\\n import vexlor\\nexcept ImportError:\\n print(\"refused\")')\n")
    if res.returncode == 3:
        pytest.skip("no sub-interpreter support")
    assert (res.returncode, res.stdout) == (0, "refused\n"), res.stderr
