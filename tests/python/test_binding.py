"""The module's names and signatures, argument binding and conversion (the same for every function and method) and
the errors each kind of bad argument gives, the classes' protocol, and the one-time initialisation."""
import pathlib, subprocess, sys, weakref

import pytest

import vexlor
from conftest import Index, MyStr

OVERFLOW = "out of range integral type conversion attempted"
NAMES = ["Archive", "Flow", "Packet", "create_archive", "split", "pipe_archive", "read_flows"]


def test_module_attributes():
    assert vexlor.__all__ == NAMES and type(vexlor.__all__) is list and vexlor.__doc__ == ""
    assert [k for k in vars(vexlor) if not k.startswith("_")] == NAMES
    for fn in [getattr(vexlor, n) for n in NAMES[3:]] + [getattr(vexlor.Archive, n) for n in (
            "open", "flows", "get_flow", "find_by_ip", "find_by_port", "find_by_protocol")] + [vexlor.Flow.packets]:
        assert fn.__doc__ and fn.__text_signature__, fn


NoLen = lambda items: type("NoLen", (), {"__getitem__": lambda _, i: items[i]})()  # noqa: E731 (a sequence, no len)
CAUSE, CONVERT = KeyError("k"), "argument '%s': '%s' object cannot be converted to '%s'"
NOT_INT = "argument '%s': '%s' object cannot be interpreted as an integer"


# "call -> exception: message" (no message: the class alone); `a` is the sample archive, `o` an output path that
# must stay absent, and `split(...)` splits a missing capture into `o`. The positional count is checked first, then
# keywords, then missing parameters; the interpreter's own errors pass through unwrapped; argument values are checked
# before the input is read, and accepted ones get as far as the missing input.
@pytest.mark.parametrize("row", [
    "vexlor.split() -> TypeError: split() missing 2 required positional arguments: 'input_path' and 'output_dir'",
    "vexlor.split(output_dir=o) -> TypeError: split() missing 1 required positional argument: 'input_path'",
    "vexlor.split(*'abcdefghi') -> TypeError: split() takes from 2 to 8 positional arguments but 9 were given",
    "vexlor.create_archive('a', o, strategie=1) -> TypeError: create_archive() got an unexpected keyword argument "
    "'strategie'",
    "vexlor.create_archive('a', o, input_path='c') -> TypeError: create_archive() got multiple values for argument "
    "'input_path'",
    "vexlor.pipe_archive('a', 'b', bogus=1) -> TypeError: pipe_archive() takes 1 positional arguments but 2 were given",
    "vexlor.pipe_archive(bogus=1) -> TypeError: pipe_archive() got an unexpected keyword argument 'bogus'",
    "vexlor.read_flows(strategy=1) -> TypeError: read_flows() missing 1 required positional argument: 'input_path'",
    "a.flows(1, 2) -> TypeError: Archive.flows() takes 0 positional arguments but 2 were given",
    "a.get_flow(1, flow_id=1) -> TypeError: Archive.get_flow() got multiple values for argument 'flow_id'",
    "a.find_by_protocol(proto=1) -> TypeError: Archive.find_by_protocol() got an unexpected keyword argument 'proto'",
    "a.get_flow(1).packets(1) -> TypeError: Flow.packets() takes 0 positional arguments but 1 was given",
    "vexlor.Archive() -> TypeError: No constructor defined for Archive",
    "vexlor.Flow(1, x=2) -> TypeError: No constructor defined for Flow",
    "vexlor.Packet() -> TypeError: No constructor defined for Packet",
    "a.find_by_ip(1) -> TypeError: " + CONVERT % ("ip_str", "int", "PyString"),
    "vexlor.Archive.open(pathlib.Path('x')) -> TypeError: " + CONVERT % ("path", "PosixPath", "PyString"),
    "a.get_flow('1') -> TypeError: " + NOT_INT % ("flow_id", "str"),
    "split(output_dir=None) -> TypeError: " + CONVERT % ("output_dir", "NoneType", "PyString"),
    "split(input_path=b'x') -> TypeError: " + CONVERT % ("input_path", "bytes", "PyString"),
    "split(input_path=4, output_dir=None, max_sessions=-1) -> TypeError: " + CONVERT % ("input_path", "int",
                                                                                         "PyString"),
    "split(ip_filters='10.0.0.1') -> TypeError: argument 'ip_filters': Can't extract `str` to `Vec`",
    "split(port_filters=(p for p in [80])) -> TypeError: " + CONVERT % ("port_filters", "generator", "Sequence"),
    "split(ip_filters=['10.0.0.1', 7]) -> TypeError: " + CONVERT % ("ip_filters", "int", "PyString"),
    "split(max_sessions=1.5) -> TypeError: " + NOT_INT % ("max_sessions", "float"),
    "split(port_filters=['80']) -> TypeError: " + NOT_INT % ("port_filters", "str"),
    "vexlor.read_flows('m', max_sessions=Raises(TypeError('boom'), CAUSE)) -> TypeError: argument 'max_sessions': boom",
    "split(max_sessions=Raises(ValueError('no'))) -> ValueError: no",
    "split(max_sessions=-1, output_type=3) -> OverflowError: " + OVERFLOW,
    "split(max_sessions=2**32) -> OverflowError: " + OVERFLOW,
    "split(port_filters=[65536]) -> OverflowError: " + OVERFLOW,
    "split(port_filters=(80, -1)) -> OverflowError: " + OVERFLOW,
    "split(max_sessions=Index(-5)) -> OverflowError: " + OVERFLOW,
    "a.find_by_port(70000) -> OverflowError: " + OVERFLOW, "a.find_by_port(-1) -> OverflowError: " + OVERFLOW,
    "split(max_sessions=2**70) -> OverflowError: Python int too large to convert to C long",
    "split(buffer_bytes=-1) -> OverflowError: can't convert negative int to unsigned",
    "split(buffer_bytes=2**64) -> OverflowError: int too big to convert",
    "split(input_path='\udcff') -> UnicodeEncodeError", "split(ip_filters=['\ud800']) -> UnicodeEncodeError",
    "a.find_by_protocol('\ud800') -> UnicodeEncodeError",
    "split(strategy='a\\0bé') -> ValueError: Unknown strategy: a\0bé",
    "split(strategy='bogus', output_type='csv') -> ValueError: Unknown strategy: bogus",
    "split(output_type='İ') -> ValueError: Unknown output_type: i\u0307. Valid: pcap, l7",
    "vexlor.create_archive('m', o, 'Bogus') -> ValueError: Unknown strategy: Bogus",
    "vexlor.read_flows('m', 'x') -> ValueError: Unknown strategy: x",
    "a.find_by_ip(' 10.0.0.1') -> ValueError: invalid IP address syntax",
    *["a.find_by_protocol(%r) -> ValueError: Unknown protocol: %s. Valid: tcp, udp, icmp, icmpv6" % p for p in [
        ("tcp ", "tcp "), ("İ", "i\u0307"), ("ΣΑ", "σα")]],
    *["split(%s) -> OSError: No such file or directory (os error 2)" % a for a in (
        "max_sessions=True", "max_sessions=2**32 - 1", "max_sessions=Index(3)", "buffer_bytes=2**64 - 1",
        "buffer_bytes=False", "port_filters=(0, 65535, True)", "ip_filters=('10.0.0.1',)", "ip_filters=[]",
        "port_filters=range(3)", "strategy=MyStr('Session')", "output_type=MyStr('PCAP')", "ip_filters=[MyStr('x')]",
        "strategy='HostPair', output_type='L7'", "port_filters=NoLen([80, 53])")],
    "vexlor.create_archive('m', o, 'FLOW', Index(1), [MyStr('::1')], NoLen([1])) -> OSError: No such file or directory "
    "(os error 2)",
    "vexlor.read_flows('m', 'mac', True, (), range(2)) -> OSError: No such file or directory (os error 2)"])
def test_argument_errors(tmp_path, archive, row):
    call, _, expected = row.partition(" -> ")
    exc, _, message = expected.partition(": ")
    o, raises = str(tmp_path / "out"), lambda exc, cause=None: (setattr(exc, "__cause__", cause), Index(exc))[1]
    names = dict(vexlor=vexlor, pathlib=pathlib, Index=Index, MyStr=MyStr, NoLen=NoLen, Raises=raises, CAUSE=CAUSE,
                 a=archive, o=o, split=lambda **kw: vexlor.split(**dict(dict(input_path="m.pcap", output_dir=o), **kw)))
    with pytest.raises(BaseException) as info:
        eval(call, names)
    assert type(info.value).__name__ == exc and (not message or info.value.args == (message,)), repr(info.value)
    assert not (tmp_path / "out").exists()
    # A wrapped TypeError keeps the original's cause (or none, which also hides the original as context).
    assert info.value.__cause__ is (CAUSE if "CAUSE" in call else None) and (
        info.value.__suppress_context__ or not message.startswith("argument"))


def test_classes_are_closed(archive):
    """No subclasses, read-only attributes, no instance dict or weak references; an Archive is no container."""
    for obj in [archive, archive.get_flow(1), archive.get_flow(1).packets()[0]]:
        for attempt in (lambda: type("X", (type(obj),), {}), lambda: weakref.ref(obj), lambda: iter(archive),
                        lambda: archive[0], lambda: 1 in archive):
            pytest.raises(TypeError, attempt)
        for attr in ("flow_count", "link_type", "id", "src_addr", "start_ts", "data", "ts", "length", "extra"):
            pytest.raises(AttributeError, setattr, obj, attr, 5), pytest.raises(AttributeError, delattr, obj, attr)
        assert not hasattr(obj, "__dict__")


def test_initialised_once_per_process():
    """A second import (after removing the module, or in a sub-interpreter where there are any) raises ImportError."""
    inner = "try:\n import vexlor\nexcept ImportError:\n print('refused')"
    code = ("import sys, vexlor\ndel sys.modules['vexlor']\ntry:\n    import vexlor\nexcept ImportError as e:\n"
            "    print(e)\ntry:\n    import _xxsubinterpreters as sub\nexcept ImportError:\n    exec(%r)\nelse:\n"
            "    sub.run_string(sub.create(), %r)\n" % (inner, inner))
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (res.returncode, res.stdout) == (0, "vexlor may only be initialized once per interpreter process\nrefused\n")
