"""Faults from outside, each in a child interpreter: writes that fail (file size limit, full file system, /dev/full),
too few descriptors, and SIGKILL in the middle of a large split or archive build. Whatever happens, a final-named
output is complete (identical to that of an undisturbed run) or absent, only hidden temporaries are left otherwise,
and a rerun gives the normal output."""
import errno
import json
import os
import pathlib
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import vexlor
from conftest import contents, finals, listing, read_pcap, sessions_bytes, write

# The child: leaves `spare` descriptors free if asked, says "go", makes the calls (of vexlor, or "os.listdir") and
# prints their outcomes: None, the value of an os call, or [exception class name, message].
CHILD = r"""
import json, os, resource, sys, vexlor
calls, spare = json.loads(sys.argv[1])
if spare is not None:
    free = [fd for fd in range(64) if not os.path.exists("/proc/self/fd/%d" % fd)]
    resource.setrlimit(resource.RLIMIT_NOFILE, (free[spare], resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
print("go", flush=True)
results = []
for fn, args, kwargs in calls:
    try:
        value = (getattr(os, fn[3:]) if fn.startswith("os.") else getattr(vexlor, fn))(*args, **kwargs)
        results.append(sorted(value) if fn.startswith("os.") else None)
    except Exception as e:
        results.append([type(e).__name__, str(e)])
print(json.dumps(results), flush=True)
"""


def os_error(code):
    return "%s (os error %d)" % (os.strerror(code), code)


def child(calls, spare=None, fsize=None, wrap=()):
    """The child process; with `fsize`, writes past that size fail with EFBIG (SIGXFSZ is ignored)."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    return subprocess.Popen([*wrap, sys.executable, "-c", CHILD, json.dumps([calls, spare])], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=limit if fsize is not None else None)


def outcomes(proc):
    out, err = proc.communicate(timeout=300)
    lines = out.decode().splitlines()
    assert proc.returncode == 0 and lines[0] == "go", err.decode(errors="replace")
    return [tuple(r) if r and r[0].endswith("Error") else r for r in json.loads(lines[-1])]


@pytest.fixture
def scratch(tmp_path):
    """Big captures and thousands of files live in memory where there is room, else in the test's directory."""
    shm = pathlib.Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > 512 << 20:
        d = pathlib.Path(tempfile.mkdtemp(prefix="vexlor-faults-", dir=shm))
        yield d
        shutil.rmtree(d, ignore_errors=True)
    else:
        yield tmp_path


@pytest.mark.parametrize("call,limit,options", [
    ("split", "0", dict(buffer_bytes=0)), ("split", "0", {}), ("split", "24", dict(buffer_bytes=0)),
    ("split", "2000", dict(buffer_bytes=0)), ("split", "4343", dict(buffer_bytes=0)), ("split", "4344", {}),
    ("split", "100", dict(buffer_bytes=0, output_type="l7")), ("split", "2919", dict(output_type="l7")),
    ("split", "2920", dict(buffer_bytes=0, output_type="l7")),
] + [("create_archive", limit, {}) for limit in ["0", "64", "300000", "lists + 3", "table + 10", "index + 5",
                                                 "footer", "footer + 1", "size - 1", "size"]])
def test_file_size_limit(tmp_path, call, limit, options):
    """split: ten flows of 4344-byte pcap files (2920 bytes of l7 payload); create_archive: 600 kB (the writer
    buffers 256 KiB), whose regions start at `lists`, `table`, `index` and `footer`. Below its size every run fails
    with EFBIG, wherever the write falls, and leaves no final-named file; a rerun gives the normal output."""
    src = write(tmp_path / "cap.pcap", sessions_bytes(10, 20, 146) if call == "split" else
                sessions_bytes(50, 10, 1100, ipv6_every=7))
    ref, out = tmp_path / "ref", tmp_path / "out"
    getattr(vexlor, call)(src, str(ref), **options)
    if call == "split":
        size = max(len(d) for d in contents(ref).values())
        assert size == (2920 if options.get("output_type") == "l7" else 4344)
    else:
        size, footer = len(ref.read_bytes()), len(ref.read_bytes()) - 128
        lists, _, table, _, _, index = struct.unpack_from("<QQQQQQ", ref.read_bytes(), footer + 32)
    limit = eval(limit, {}, locals())
    results = outcomes(child([[call, [src, str(out)], options]], fsize=limit))
    if limit < size:
        assert results[0] in [("RuntimeError", os_error(errno.EFBIG)), ("RuntimeError", "Failed to write footer")]
        assert finals(out) == [] if call == "split" else (
            not out.exists() and os.path.getsize(str(out) + ".tmp") <= limit)
    else:
        assert results == [None] and contents(out) == contents(ref)
    getattr(vexlor, call)(src, str(out), **options)  # the rerun
    assert contents(out) == contents(ref) and not os.path.exists(str(out) + ".tmp")
    if call == "create_archive" and limit == 300000:  # read_flows' own temporary file stays behind
        proc = child([["read_flows", [src], {}]], fsize=limit)
        assert outcomes(proc) == [("RuntimeError", os_error(errno.EFBIG))]
        assert not os.path.exists("/tmp/vexlor_py_%d.vexlor" % proc.pid)
        os.unlink("/tmp/vexlor_py_%d.vexlor.tmp" % proc.pid)


@pytest.mark.parametrize("call", ["split", "create_archive", "planted-links"])
def test_full_file_system(tmp_path, call):
    """A 64 KiB tmpfs (in a mount namespace of the child's own) fills up under 200 kB of output; or links to
    /dev/full planted where the temporaries go: the archive writer refuses to follow its link, split refuses too or
    writes into /dev/full and fails. No final file either way."""
    src, out, full = write(tmp_path / "cap.pcap", sessions_bytes(10, 20, 1000)), tmp_path / "out", tmp_path / "full"
    if call == "planted-links":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        out.mkdir()
        os.symlink("/dev/full", out / ".cap_all.pcap.tmp")
        os.symlink("/dev/full", str(tmp_path / "a.vexlor.tmp"))
        results = outcomes(child([["split", [src, str(out), "nosplit"], {}],
                                  ["create_archive", [src, str(tmp_path / "a.vexlor")], {}]]))
        assert results[0] in [("RuntimeError", os_error(errno.ENOSPC)), ("RuntimeError", os_error(errno.ELOOP))]
        assert results[1] == ("OSError", "Failed to create temp archive file: %s/a.vexlor.tmp" % tmp_path)
        assert listing(out) == [".cap_all.pcap.tmp"] and not os.path.exists(tmp_path / "a.vexlor")
        return
    full.mkdir()
    wrap = ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=64k vexlor-full "$0" || exit 77; exec "$@"', full]
    try:
        if subprocess.run(wrap + ["true"], capture_output=True, timeout=60).returncode != 0:
            pytest.skip("no mount namespace with a tmpfs here")
    except (OSError, subprocess.SubprocessError):
        pytest.skip("no mount namespace with a tmpfs here")
    # The tmpfs lives only as long as the child: the child lists what the call left.
    target = str(full / ("out" if call == "split" else "out.vexlor"))
    results = outcomes(child([[call, [src, target], {}], ["os.listdir", [str(full)], {}]] + [
        ["os.listdir", [target], {}]] * (call == "split"), wrap=[str(w) for w in wrap]))
    assert results[:2] == [("RuntimeError", os_error(errno.ENOSPC)), ["out" if call == "split" else "out.vexlor.tmp"]]
    assert call != "split" or all(n.startswith(".") and n.endswith(".tmp") for n in results[2])


@pytest.mark.parametrize("call,spare,buffer_bytes,output_type,error", [
    ("split", 0, 10000, "pcap", "OSError"), ("split", 1, 10000, "pcap", "RuntimeError"),
    ("split", 2, 10000, "pcap", None), ("split", 2, 0, "pcap", None), ("split", 3, 10000, "l7", None),
    ("split", 8, 0, "pcap", None), ("create_archive", 0, None, None, "OSError"),
    ("create_archive", 1, None, None, None),
])
def test_descriptor_limit(scratch, call, spare, buffer_bytes, output_type, error):
    """300 flows with only `spare` descriptors free: the split writer gives back its least recently used file and
    reopens it later, so every flow is still complete. With none free the input cannot be opened; with one, it can,
    and so can the output directory, but then no output file. The archive build needs one at a time."""
    src, ref, out = write(scratch / "cap.pcap", sessions_bytes(300, 3, 60, 5)), scratch / "ref", scratch / "out"
    options = {"buffer_bytes": buffer_bytes, "output_type": output_type} if call == "split" else {}
    getattr(vexlor, call)(src, str(ref), **options)
    results = outcomes(child([[call, [src, str(out)], options]], spare=spare))
    if error:
        assert results == [(error, os_error(errno.EMFILE))] and finals(out) == [] and not os.path.isfile(out)
    else:
        assert results == [None] and contents(out) == contents(ref)


@pytest.mark.parametrize("call", ["split", "create_archive"])
def test_killed_at_random_moments(scratch, call, kills=20):
    """Kills spread over the length of an undisturbed run of about 30 MB, 2000 sessions. After each, final-named
    outputs are identical to the undisturbed run's; every fifth kill, a rerun over what was left gives the normal
    output."""
    src, target, ref = write(scratch / "big.pcap", sessions_bytes(2000, 12, 1196, 9)), scratch / "out", scratch / "ref"
    started = time.monotonic()
    assert outcomes(child([[call, [src, str(ref)], {}]])) == [None]
    duration = time.monotonic() - started
    reference = contents(ref) if call == "split" else {"out": ref.read_bytes()}
    assert sum(len(read_pcap(d)[1]) for d in reference.values()) == 24000 if call == "split" else \
        sum(f.packet_count for f in vexlor.Archive.open(str(ref)).flows()) == 24000
    rng = random.Random(call)
    for i in range(1, kills + 1):
        proc = child([[call, [src, str(target)], {}]])
        assert proc.stdout.readline() == b"go\n"  # the call is about to begin
        time.sleep(rng.uniform(0, 1.1 * duration))
        proc.kill()
        proc.communicate()
        for path in [target / n for n in finals(target)] if call == "split" else [target] * target.is_file():
            assert path.read_bytes() == reference[path.name], path
        if i % 5 == 0:  # a rerun over the leftovers
            getattr(vexlor, call)(src, str(target))
            assert (contents(target) if call == "split" else {"out": target.read_bytes()}) == reference
            assert not os.path.exists(str(target) + ".tmp")
        shutil.rmtree(target, ignore_errors=True)
        for path in (str(target), str(target) + ".tmp"):
            if os.path.isfile(path):
                os.unlink(path)
