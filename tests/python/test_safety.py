"""Locks, outputs over their input, interrupts, failing writes and too few descriptors: a final-named output is
complete or absent, only hidden temporaries are left otherwise, and a rerun gives the normal output."""
import errno, fcntl, gzip, json, os, pathlib, random, re, resource, signal, struct, subprocess, sys, time

import pytest

import vexlor
from conftest import (CLI, SAMPLE, capture, cli, contents, finals, needs_cli, raises_exactly, sessions_bytes,
                      small_capture, write)

BUILD, TEMP = {"split": vexlor.split, "archive": vexlor.create_archive}, "/tmp/vexlor_py_%d.vexlor"


# (kind, output, the path named in the message, how that path is made). A run locks its output directory, or its
# archive's temporary file; an output over the input is refused by name, by link, and by its temporary's name.
@needs_cli
@pytest.mark.parametrize("kind,out,named,how", [
    ("split", "out", "out", "held"), ("archive", "a", "a.tmp", "held"), ("archive", "cap.pcap", "cap.pcap", None),
    ("archive", "./cap.pcap", "./cap.pcap", None), ("archive", "link", "link", os.symlink),
    ("archive", "hard", "hard", os.link), ("archive", "a", "a.tmp", os.link),
    ("split", "out", "out/cap_all.pcap", os.link), ("split", "out", "out/.cap_all.pcap.tmp", os.link)])
@pytest.mark.parametrize("front", ["module", "tool"])
def test_held_outputs_and_outputs_over_the_input_are_refused(tmp_path, kind, out, named, how, front):
    """The module raises, the tool exits 1; input and outputs are left alone; once unlocked, the run goes through."""
    data = capture(SAMPLE)
    cap, out, named = write(tmp_path / "cap.pcap", data), "%s/%s" % (tmp_path, out), "%s/%s" % (tmp_path, named)
    if how == "held":
        write(out + "/cap_all.pcap" if kind == "split" else named, b"earlier")
        fd = os.open(named, os.O_RDONLY if kind == "split" else os.O_RDWR)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # the lock a run takes
        exc, message = OSError, "Output %s %s is in use by another run" % ("directory" if kind == "split" else "path",
                                                                           out)
    else:
        if how:
            os.makedirs(os.path.dirname(named), exist_ok=True)
            how(cap, named)
        exc, message = ValueError, "Output %s %s is the input capture %s" % ("file" if kind == "split" else "path",
                                                                             named, cap)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    if front == "module":
        with raises_exactly(exc, message):
            BUILD[kind](cap, out, *["nosplit"] * (kind == "split"))
    else:
        result = cli(kind, cap, out, *["--strategy", "nosplit"] * (kind == "split"))
        assert (result.returncode, result.stderr) == (1, b"vexlor: %s\n" % message.encode())
    assert front == "module" and named.startswith(out + "/") or {
        p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
    assert pathlib.Path(cap).read_bytes() == data
    if how == "held":
        os.close(fd)
        assert BUILD[kind](cap, out) is None if front == "module" else cli(kind, cap, out).returncode == 0


@needs_cli
@pytest.mark.parametrize("kind", ["link", "pipe", "device", "stdout", "loop", "shared"])
def test_outputs_named_by_a_link_a_pipe_or_a_device_stay_what_they_are(tmp_path, kind):
    """A link's file is replaced, not the link; a pipe's reader gets the rows; a device is written into, and so is
    /dev/stdout (a file it was redirected to for appending keeps what it held). An archive, renamed into place, and
    the two files of bytes are refused on any of them."""
    vexlor.create_archive(write(tmp_path / "cap.pcap", capture(SAMPLE)), str(tmp_path / "a.vexlor"))
    out, want = tmp_path / "out", cli("flows", tmp_path / "a.vexlor", "--format", "csv").stdout
    stdout, log = None, tmp_path / "log"
    if kind == "link":
        write(tmp_path / "file", b"before")
        os.symlink("file", out)
    elif kind == "loop":
        os.symlink("out2", out)
        os.symlink("out", tmp_path / "out2")
    elif kind == "shared":  # another user's link in a directory like /tmp: not followed, as open() would not
        write(tmp_path / "file", b"before")
        os.mkdir(tmp_path / "shared")
        os.chmod(tmp_path / "shared", 0o1777)
        out = tmp_path / "shared" / "out"
        os.symlink(tmp_path / "file", out)
        try:
            os.lchown(out, 54321, 54321)
        except PermissionError:
            pytest.skip("giving a link to another user needs privileges")
    elif kind == "pipe":
        os.mkfifo(out)
        reader = subprocess.Popen(["cat", str(out)], stdout=subprocess.PIPE)
    elif kind == "stdout":
        out, stdout = "/dev/stdout", open(write(log, b"before\n"), "ab")
    else:
        try:
            os.mknod(out, 0o666 | 0o20000, os.makedev(1, 3))  # a null device of our own, not the system's
        except PermissionError:
            pytest.skip("making a device needs privileges")
    done = subprocess.run([str(CLI), "flows", str(tmp_path / "a.vexlor"), "--format", "csv", "-o", str(out)],
                          stdout=stdout, stderr=subprocess.PIPE)
    if kind in ("loop", "shared"):
        assert done.returncode == 1 and done.stderr == b"vexlor: Output path %s%s\n" % (bytes(out), {
            "loop": b": too many levels of symbolic links",
            "shared": b" is a link another user made in the shared directory %s: not followed" % bytes(out.parent)}[
            kind])
        assert out.is_symlink() and finals(tmp_path, True) == [] and kind == "loop" or (
            tmp_path / "file").read_bytes() == b"before"
        return
    assert done.returncode == 0, done.stderr
    if kind == "link":
        assert out.is_symlink() and (tmp_path / "file").read_bytes() == want
    elif kind == "pipe":
        assert reader.communicate(timeout=30)[0] == want
    elif kind == "stdout":
        stdout.close()
        assert log.read_bytes() == b"before\n" + want
        # Standard output redirected onto the input is the input, by any of its names.
        archive = (tmp_path / "a.vexlor").read_bytes()
        for name in ("/dev/stdout", "/dev/fd/%d"):
            with open(tmp_path / "a.vexlor", "ab") as onto:
                refused = subprocess.run([str(CLI), "flows", str(tmp_path / "a.vexlor"), "-o", name.replace(
                    "%d", str(onto.fileno()))], stdout=onto, stderr=subprocess.PIPE, pass_fds=(onto.fileno(),))
            assert refused.returncode == 1 and b"is the input" in refused.stderr, refused.stderr
        assert (tmp_path / "a.vexlor").read_bytes() == archive
    if kind != "stdout":
        assert (out.is_symlink(), out.is_fifo(), out.is_char_device()) == (kind == "link", kind == "pipe",
                                                                            kind == "device")
    if kind != "link":
        for refused in (cli("archive", tmp_path / "cap.pcap", out), cli("bytes", tmp_path / "cap.pcap", "--first",
                                                                          "8", "-o", out)):
            assert refused.returncode == 1 and b"is not a regular file" in refused.stderr
        assert not os.path.exists(str(out) + ".tmp") and finals(tmp_path, True) == []


@needs_cli
@pytest.mark.parametrize("front", ["module", "tool", "tool, one input streamed"])
def test_an_input_shortened_while_it_is_read_fails_the_run_cleanly(tmp_path, big, front):
    """Inputs are mapped: a file truncated under a run (a rotation by truncation) is a failure that says so, not a
    death of the process (the interpreter) by SIGBUS, and nothing is published.  Cut by a few bytes, the page it
    now ends in reads as zeros without any fault: the file itself is looked at before anything is published."""
    # The tool maps every input before it reads the first: once the second is mapped, the run is early in the first.
    # The module reads its one input as soon as it is mapped, and takes most of a second for one so big.  With a
    # compressed input merged with it, the mapped one is read as it was opened, and nothing holds it to the end.
    mapped = write(tmp_path / "late.pcap", pathlib.Path(big).read_bytes() if front != "tool" else
                   sessions_bytes(50, 100, 1000))
    run = {"module": [sys.executable, "-c", "import sys, vexlor; vexlor.split(sys.argv[1], sys.argv[2])", mapped],
           "tool": [str(CLI), "split", big, mapped, "--combine", "concat", "--quiet"],
           "tool, one input streamed": [str(CLI), "split", mapped, write(tmp_path / "z.pcap.gz", gzip.compress(
               small_capture(9))), "--combine", "merge", "--quiet"]}[front]
    proc = subprocess.Popen(run + [str(tmp_path / "out")], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while mapped not in pathlib.Path("/proc/%d/maps" % proc.pid).read_text() and time.monotonic() < deadline:
        time.sleep(0.001)
    proc.send_signal(signal.SIGSTOP)
    os.truncate(mapped, os.path.getsize(mapped) - 10 if "streamed" in front else 100)
    proc.send_signal(signal.SIGCONT)
    status, err = proc.wait(), proc.stderr.read()
    assert status == 1 and b"the input file was cut short while it was read" in err, (status, err)
    assert finals(tmp_path / "out") == []


def outputs(path):
    """A run's files (or its archive), the bytes of a job's manifest left out: only a run's times differ there."""
    found = contents(path)
    return {k: "manifest" in k or v for k, v in found.items()} if isinstance(found, dict) else found


# A directory of captures split one job each on two threads (-j) resumes by its manifest.
@needs_cli
@pytest.mark.parametrize("kind,sig,options", [
    ("split", signal.SIGINT, ["--writer-threads", "2"]), ("archive", signal.SIGINT, []),
    ("split", signal.SIGTERM, ["--writer-threads", "0"]), ("split", signal.SIGHUP, []),
    ("split", signal.SIGKILL, ["--writer-threads", "4"]),
    ("split", signal.SIGKILL, ["-j", "2"])])
def test_interrupts_publish_nothing_and_leave_no_temporary_file(tmp_path, big, kind, sig, options):
    if "-j" in options:
        big = tmp_path / "in"
        for i in range(16):
            write(big / ("f%02d.pcap" % i), sessions_bytes(40 + i, 40, 200))
    rng, interrupted, ref = random.Random(7), 0, tmp_path / ("ref" if kind == "split" else "ref.vexlor")
    spread = 0.1 if "-j" in options else 0.6  # seconds: about as long as a run takes
    assert cli(kind, big, ref, "--quiet", *options).returncode == 0
    want = outputs(ref)
    for i in range(6):
        out = tmp_path / ("out%d" % i if kind == "split" else "a%d.vexlor" % i)
        proc = subprocess.Popen([str(CLI), kind, big, str(out), "--quiet", *options], stderr=subprocess.PIPE)
        time.sleep(spread / 6 if i == 0 else rng.uniform(0.0, spread))
        proc.send_signal(sig)
        status, err = proc.wait(), proc.stderr.read()
        if status == 0 or (status == -sig and not out.exists()):  # done, or signalled before its handlers were set
            continue
        interrupted += 1
        if sig == signal.SIGKILL:  # no clean-up: temporaries stay, and a file under its final name is whole
            assert status == -sig and all(v == want[k] for k, v in outputs(out).items() if not re.search(
                r"\.tmp$|-partial/|manifest", k))
        else:
            assert (status, err) == (128 + sig, b"vexlor: interrupted: nothing published\n")
            assert (not out.exists() or os.listdir(out) == []) if kind == "split" else \
                finals(tmp_path, True) == [] and not out.exists()
        assert cli(kind, big, out, "--quiet", *options).returncode == 0  # a rerun gives the normal outputs
        assert outputs(out) == want and (kind != "split" or finals(out, True) == [])
    assert interrupted > 0, "every run ended before its signal"
    assert finals(tmp_path, True) == []


@needs_cli
def test_a_run_waiting_on_a_silent_pipe_stops_at_the_first_interrupt(tmp_path):
    proc = subprocess.Popen([str(CLI), "split", "-", str(tmp_path / "o")], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 130 and proc.stderr.read() == b"vexlor: interrupted: nothing published\n"
        assert os.listdir(tmp_path) == []
    finally:
        proc.kill()
        proc.stdin.close()


# The child leaves `spare` descriptors free if asked, makes the call and prints its outcome.
CHILD = r"""
import json, os, resource, sys, vexlor
fn, args, kwargs, spare = json.loads(sys.argv[1])
if spare is not None:
    free = [fd for fd in range(64) if not os.path.exists("/proc/self/fd/%d" % fd)]
    resource.setrlimit(resource.RLIMIT_NOFILE, (free[spare], resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
try:
    print(json.dumps(getattr(vexlor, fn)(*args, **kwargs)))
except Exception as e:
    print(json.dumps([type(e).__name__, str(e)]))
"""


def os_error(code):
    return "%s (os error %d)" % (os.strerror(code), code)


def child(fn, args, kwargs, spare=None, fsize=None):
    """(the call's None or (exception class name, message), the child's pid); writes past `fsize` fail (EFBIG)."""
    limit = lambda: (signal.signal(signal.SIGXFSZ, signal.SIG_IGN), resource.setrlimit(  # noqa: E731
        resource.RLIMIT_FSIZE, (fsize, resource.getrlimit(resource.RLIMIT_FSIZE)[1])))
    proc = subprocess.Popen([sys.executable, "-c", CHILD, json.dumps([fn, args, kwargs, spare])],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=limit if fsize is not None else None)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err.decode(errors="replace")
    result = json.loads(out)
    return result and tuple(result), proc.pid


# (call, options, file size limit, spare descriptors, the error expected). split: ten flows of 4344-byte pcap files
# (2920 bytes of l7 payload); create_archive: 600 kB (the writer buffers 256 KiB), whose regions start at `lists`,
# `table`, `index` and `footer`: below its size every run fails with EFBIG, wherever the write falls. With `spare`
# descriptors, 300 flows: the split writer gives back its least recently used file and reopens it later; with none
# free the input cannot be opened; with one, it can, and so can the output directory, but no output file. The
# archive build needs one at a time.
L7, NOBUF = dict(output_type="l7"), dict(buffer_bytes=0)
@pytest.mark.parametrize("call,options,fsize,spare,error", [
    *[("split", o, f, None, None) for o, f in [(NOBUF, "0"), ({}, "0"), (NOBUF, "24"), (NOBUF, "2000"),
                                                (NOBUF, "4343"), ({}, "4344"), (dict(L7, **NOBUF), "100"), (L7, "2919"),
                                                (dict(L7, **NOBUF), "2920")]],
    *[("create_archive", {}, f, None, None) for f in ["0", "64", "300000", "lists + 3", "table + 10", "index + 5",
                                                      "footer", "footer + 1", "size - 1", "size"]],
    ("split", {}, None, 0, "OSError"), ("split", {}, None, 1, "RuntimeError"), ("split", {}, None, 2, None),
    ("split", NOBUF, None, 2, None), ("split", dict(L7, buffer_bytes=10000), None, 3, None),
    ("split", NOBUF, None, 8, None), ("create_archive", {}, None, 0, "OSError"), ("create_archive", {}, None, 1, None)])
def test_file_size_and_descriptor_limits(tmp_path, call, options, fsize, spare, error):
    src = write(tmp_path / "cap.pcap", sessions_bytes(300, 3, 60, 5) if spare is not None else sessions_bytes(
        10, 20, 146) if call == "split" else sessions_bytes(50, 10, 1100, ipv6_every=7))
    ref, out = tmp_path / "ref", tmp_path / "out"
    getattr(vexlor, call)(src, str(ref), **options)
    if fsize is not None:
        size = max(map(len, contents(ref).values())) if call == "split" else len(ref.read_bytes())
        assert call != "split" or size == (2920 if "output_type" in options else 4344)
        lists, _, table, _, _, index = struct.unpack_from("<QQQQQQ", ref.read_bytes(), size - 96) if call != "split" \
            else [0] * 6
        fsize = eval(fsize, dict(footer=size - 128, lists=lists, table=table, index=index, size=size))
    result, _ = child(call, [src, str(out)], options, spare=spare, fsize=fsize)
    if error or fsize is not None and fsize < size:
        assert result in [(error, os_error(errno.EMFILE))] if error else [
            ("RuntimeError", os_error(errno.EFBIG)), ("RuntimeError", "Failed to write footer")]
        assert finals(out) == [] and not out.is_file()
        assert spare is not None or call == "split" or os.path.getsize(str(out) + ".tmp") <= fsize
    else:
        assert result is None and contents(out) == contents(ref)
    getattr(vexlor, call)(src, str(out), **options)  # a rerun over what was left
    assert contents(out) == contents(ref) and not os.path.exists(str(out) + ".tmp")
    if fsize == 300000:  # read_flows fails like any other; its own temporary file stays behind
        result, pid = child("read_flows", [src], {}, fsize=fsize)
        assert result == ("RuntimeError", os_error(errno.EFBIG)) and not os.path.exists(TEMP % pid)
        os.unlink(TEMP % pid + ".tmp")
