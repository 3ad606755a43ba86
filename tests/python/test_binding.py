"""Argument binding and conversion, the same for every function and method."""
import pathlib

import pytest

import vexlor
from conftest import raises_exactly

OVERFLOW = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyStr(str):
    def lower(self):  # never consulted: the binding lower-cases with str.lower itself
        return "bogus"


@pytest.mark.parametrize("call,message", [
    (lambda a: vexlor.split(), "split() missing 2 required positional arguments: 'input_path' and 'output_dir'"),
    (lambda a: vexlor.split(output_dir="o"), "split() missing 1 required positional argument: 'input_path'"),
    (lambda a: vexlor.split(*"abcdefghi"), "split() takes from 2 to 8 positional arguments but 9 were given"),
    (lambda a: vexlor.read_flows(*"abcdef"), "read_flows() takes from 1 to 5 positional arguments but 6 were given"),
    (lambda a: vexlor.create_archive("a", "b", strategie="flow"),
     "create_archive() got an unexpected keyword argument 'strategie'"),
    (lambda a: vexlor.create_archive("a", "b", input_path="c"),
     "create_archive() got multiple values for argument 'input_path'"),
    # The positional count is checked first, then keywords, then missing parameters.
    (lambda a: vexlor.pipe_archive("a", "b", bogus=1), "pipe_archive() takes 1 positional arguments but 2 were given"),
    (lambda a: vexlor.pipe_archive(bogus=1), "pipe_archive() got an unexpected keyword argument 'bogus'"),
    (lambda a: vexlor.read_flows(strategy=1), "read_flows() missing 1 required positional argument: 'input_path'"),
    (lambda a: vexlor.Archive.open(), "Archive.open() missing 1 required positional argument: 'path'"),
    (lambda a: a.flows(1), "Archive.flows() takes 0 positional arguments but 1 was given"),
    (lambda a: a.flows(1, 2), "Archive.flows() takes 0 positional arguments but 2 were given"),
    (lambda a: a.get_flow(1, flow_id=1), "Archive.get_flow() got multiple values for argument 'flow_id'"),
    (lambda a: a.find_by_protocol(proto="tcp"), "Archive.find_by_protocol() got an unexpected keyword argument 'proto'"),
    (lambda a: a.get_flow(1).packets(1), "Flow.packets() takes 0 positional arguments but 1 was given"),
    (lambda a: a.find_by_ip(1), "argument 'ip_str': 'int' object cannot be converted to 'PyString'"),
    (lambda a: vexlor.Archive.open(pathlib.Path("x.vexlor")),
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
])
def test_binding_errors(archive, call, message):
    with raises_exactly(TypeError, message):
        call(archive)


def test_methods_accept_keywords(archive, sample_archive):
    assert vexlor.Archive.open(path=sample_archive).flow_count == 5
    assert archive.get_flow(flow_id=2).id == 2
    assert [f.id for f in archive.find_by_ip(ip_str="10.0.0.3")] == [2]
    assert [f.id for f in archive.find_by_port(port=53)] == [2]
    assert [f.id for f in archive.find_by_protocol(proto_str="udp")] == [2]


@pytest.mark.parametrize("kwargs,message", [
    (dict(output_dir=None), "argument 'output_dir': 'NoneType' object cannot be converted to 'PyString'"),
    (dict(input_path=b"x.pcap"), "argument 'input_path': 'bytes' object cannot be converted to 'PyString'"),
    (dict(ip_filters="10.0.0.1"), "argument 'ip_filters': Can't extract `str` to `Vec`"),
    (dict(ip_filters={"10.0.0.1": 1}), "argument 'ip_filters': 'dict' object cannot be converted to 'Sequence'"),
    (dict(port_filters=(p for p in [80])),
     "argument 'port_filters': 'generator' object cannot be converted to 'Sequence'"),
    (dict(ip_filters=["10.0.0.1", 7]), "argument 'ip_filters': 'int' object cannot be converted to 'PyString'"),
    (dict(max_sessions=1.5), "argument 'max_sessions': 'float' object cannot be interpreted as an integer"),
    (dict(port_filters=["80"]), "argument 'port_filters': 'str' object cannot be interpreted as an integer"),
])
def test_conversion_type_errors(tmp_path, kwargs, message):
    args = {"input_path": "missing.pcap", "output_dir": str(tmp_path / "out"), **kwargs}
    with raises_exactly(TypeError, message):
        vexlor.split(**args)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs,ours", [
    (dict(max_sessions=-1), True), (dict(max_sessions=2**32), True), (dict(port_filters=[70000]), True),
    (dict(port_filters=(80, -1)), True), (dict(max_sessions=Index(-5)), True),
    (dict(max_sessions=2**70), False), (dict(buffer_bytes=-1), False), (dict(buffer_bytes=2**64), False),
])
def test_overflow_errors(tmp_path, kwargs, ours):
    with pytest.raises(OverflowError) as info:
        vexlor.split("missing.pcap", str(tmp_path / "out"), **kwargs)
    # Out-of-range values get the fixed text; the interpreter's own errors pass through unwrapped.
    assert (str(info.value) == OVERFLOW) == ours and not str(info.value).startswith("argument")


def test_conversions_run_in_parameter_order():
    with raises_exactly(TypeError, "argument 'input_path': 'int' object cannot be converted to 'PyString'"):
        vexlor.split(42, None, max_sessions=-1)
    with raises_exactly(OverflowError, OVERFLOW):
        vexlor.split("missing.pcap", "out", max_sessions=-1, output_type=3)


class NoLen:
    """A sequence without a length: it is still iterated."""
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("kwargs", [
    dict(max_sessions=True), dict(max_sessions=2**32 - 1), dict(max_sessions=Index(3)),
    dict(buffer_bytes=2**64 - 1), dict(buffer_bytes=False), dict(port_filters=(0, 65535, True)),
    dict(ip_filters=("10.0.0.1",)), dict(ip_filters=[]), dict(port_filters=range(3)),
    dict(strategy=MyStr("Session")), dict(output_type=MyStr("PCAP")), dict(ip_filters=[MyStr("x")]),
    dict(strategy="HostPair", output_type="L7"), dict(port_filters=NoLen([80, 53])),
])
def test_accepted_values(tmp_path, make_capture, kwargs):
    empty = make_capture([], name="empty.pcap")
    assert vexlor.split(empty, str(tmp_path / "out"), **kwargs) is None
    kwargs = {k: v for k, v in kwargs.items() if k not in ("buffer_bytes", "output_type")}
    assert vexlor.create_archive(empty, str(tmp_path / "a.vexlor"), **kwargs) is None


def test_lone_surrogates_raise_unicode_encode_error(tmp_path, archive):
    for kwargs in [dict(input_path="\ud800.pcap"), dict(strategy="\udcff"), dict(ip_filters=["\ud800"])]:
        with pytest.raises(UnicodeEncodeError):
            vexlor.split(**{"input_path": "m.pcap", "output_dir": str(tmp_path), **kwargs})
    for call in (archive.find_by_ip, archive.find_by_protocol, vexlor.Archive.open, vexlor.pipe_archive):
        with pytest.raises(UnicodeEncodeError):
            call("\ud800")


def test_non_type_errors_propagate_and_causes_are_kept():
    class Bad:
        def __index__(self):
            raise ValueError("no index")
    with raises_exactly(ValueError, "no index"):
        vexlor.split("missing.pcap", "out", max_sessions=Bad())

    cause = KeyError("k")

    class Chained:
        def __index__(self):
            raise TypeError("boom") from cause
    with raises_exactly(TypeError, "argument 'max_sessions': boom") as info:
        vexlor.read_flows("missing.pcap", max_sessions=Chained())
    assert info.value.__cause__ is cause
    with pytest.raises(TypeError) as info:
        vexlor.split(1, "out")
    assert info.value.__cause__ is None and info.value.__suppress_context__


def test_archive_method_conversions(archive):
    assert archive.get_flow(True).id == 1 and archive.get_flow(Index(3)).id == 3
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            archive.get_flow(bad)
    with pytest.raises(TypeError, match="^argument 'flow_id': "):
        archive.get_flow("1")
    for port in (70000, -1):
        with raises_exactly(OverflowError, OVERFLOW):
            archive.find_by_port(port)
