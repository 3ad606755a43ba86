"""Faults from outside, each in a child interpreter: writes that fail (file size limit, full file system,
/dev/full), an output path under a regular file, too few descriptors, and SIGKILL in the middle of a
large split or archive build. Whatever happens, a final-named output is complete (identical to that of an
undisturbed run) or absent, only hidden temporaries are left otherwise, and a rerun gives the normal
output."""
import errno
import io
import json
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import dpkt
import pytest

import vexlor
from conftest import eth, ipv6, listing, pcap_bytes, tcp4, udp, write

# The child: applies resource limits, says "go", makes the calls, restores the limits and reports each
# call's outcome and the state of the paths to report ("{pid}" stands for its process id).
CHILD = r"""
import json, os, resource, signal, sys
plan = json.loads(sys.argv[1].replace("{pid}", str(os.getpid())))
import vexlor
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the size limit fails with EFBIG instead
saved = {}
for name, value in plan.get("limits", {}).items():
    if name == "NOFILE":  # leave exactly so many descriptors free
        free, limit = value, 0
        while free:
            try:
                os.fstat(limit)
            except OSError:
                free -= 1
            limit += 1
        value = limit
    which = getattr(resource, "RLIMIT_" + name)
    saved[which] = resource.getrlimit(which)
    resource.setrlimit(which, (value, saved[which][1]))
print("go", flush=True)
results = []
for fn, args, kwargs in plan["calls"]:
    try:
        getattr(vexlor, fn)(*args, **kwargs)
        results.append(None)
    except BaseException as e:
        results.append([type(e).__name__] + [str(a) for a in e.args])
for which, limits in saved.items():
    resource.setrlimit(which, limits)
def state(p):
    if os.path.islink(p):
        return "link to " + os.readlink(p)
    if os.path.isdir(p):
        return {n: state(os.path.join(p, n)) for n in sorted(os.listdir(p))}
    return open(p, "rb").read().hex() if os.path.exists(p) else None
report = {p: state(p) for p in plan.get("report", [])}
for p in plan.get("unlink", []):
    if os.path.exists(p):
        os.unlink(p)
print(json.dumps({"results": results, "report": report}), flush=True)
"""

EFBIG = "%s (os error %d)" % (os.strerror(errno.EFBIG), errno.EFBIG)
ENOSPC = "%s (os error %d)" % (os.strerror(errno.ENOSPC), errno.ENOSPC)
EMFILE = "%s (os error %d)" % (os.strerror(errno.EMFILE), errno.EMFILE)
ELOOP = "%s (os error %d)" % (os.strerror(errno.ELOOP), errno.ELOOP)


def child_command(plan):
    return [sys.executable, "-c", CHILD, json.dumps(plan)]


def run_child(plan, wrap=(), timeout=120):
    res = subprocess.run(list(wrap) + child_command(plan), capture_output=True, timeout=timeout)
    assert res.returncode == 0, res.stderr.decode(errors="replace")
    lines = res.stdout.decode().splitlines()
    assert lines[0] == "go", lines
    out = json.loads(lines[-1])
    return [tuple(r) if r else None for r in out["results"]], out["report"]


def is_temporary(name):
    return name.startswith(".") and name.endswith(".tmp")


def contents(directory):
    return {n: (pathlib.Path(directory) / n).read_bytes() for n in listing(directory)}


def pcap_packet_count(data):
    """dpkt reads the whole file: a valid, complete capture."""
    return sum(1 for _ in dpkt.pcap.Reader(io.BytesIO(data)))


def sessions_capture(flows, per_flow, size, ipv6_every=0):
    recs = []
    for i in range(per_flow * flows):
        f = i % flows
        body = bytes([f & 0xFF]) * size
        if ipv6_every and f % ipv6_every == 0:
            frame = eth(ipv6("2001:db8::%x" % (f + 1), "2001:db8::ffff", 17, udp(1024 + f, 53, body)), 0x86DD)
        else:
            frame = tcp4("10.%d.%d.1" % (f // 250, f % 250), "192.0.2.1", 1024 + f, 80, body)
        recs.append((1700000000 + i // 100, i % 1000000, frame))
    return pcap_bytes(recs)


@pytest.fixture
def scratch(tmp_path):
    """Big captures and thousands of files live in memory where there is room (a disk's journal would
    set the pace), else in the test's directory."""
    shm = pathlib.Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > 512 << 20:
        d = pathlib.Path(tempfile.mkdtemp(prefix="vexlor-faults-", dir=shm))
        yield d
        shutil.rmtree(d, ignore_errors=True)
    else:
        yield tmp_path


def check_split_failure(names):
    """What a failed split leaves (names, or None without a directory): hidden temporaries only."""
    assert all(is_temporary(n) for n in names or ()), "final-named files after a failed split: %s" % names


# ---- writes that fail -----------------------------------------------------------

@pytest.mark.parametrize("limit,buffer_bytes,output_type", [
    (0, 0, "pcap"), (0, 10000, "pcap"), (24, 0, "pcap"), (2000, 0, "pcap"),
    (4343, 0, "pcap"), (4344, 10000, "pcap"),
    (100, 0, "l7"), (2919, 10000, "l7"), (2920, 0, "l7"),
])
def test_split_with_file_size_limit(tmp_path, limit, buffer_bytes, output_type):
    """Ten flows of 4344-byte pcap files (2920 bytes of l7 payload): below that limit every run fails
    with EFBIG, wherever the write falls (header, record, or the flush at the end)."""
    src = write(tmp_path / "cap.pcap", sessions_capture(10, 20, 146))
    ref, out = tmp_path / "ref", tmp_path / "out"
    vexlor.split(src, str(ref), buffer_bytes=buffer_bytes, output_type=output_type)
    largest = max(len(d) for d in contents(ref).values())
    assert largest == (4344 if output_type == "pcap" else 2920)
    plan = {"limits": {"FSIZE": limit}, "report": [str(out)],
            "calls": [["split", [src, str(out)], {"buffer_bytes": buffer_bytes, "output_type": output_type}]]}
    results, report = run_child(plan, timeout=120)
    if limit < largest:
        assert results == [("RuntimeError", EFBIG)]
        check_split_failure(report[str(out)])
    else:
        assert results == [None] and contents(out) == contents(ref)
    vexlor.split(src, str(out), buffer_bytes=buffer_bytes, output_type=output_type)  # the rerun
    assert contents(out) == contents(ref)


def archive_layout(data):
    """Where the regions of an archive start: offset lists, flow table, index region, footer."""
    end = len(data) - 128
    lists, _, table, _, _, index = struct.unpack_from("<QQQQQQ", data, end + 32)
    return lists, table, index, end


def test_archive_with_file_size_limit(tmp_path):
    """A 600 kB archive (the writer buffers 256 KiB), its writes failing at every stage of the build."""
    src = write(tmp_path / "cap.pcap", sessions_capture(50, 10, 1100, ipv6_every=7))
    ref = tmp_path / "ref.vexlor"
    vexlor.create_archive(src, str(ref))
    data = ref.read_bytes()
    lists, table, index, footer = archive_layout(data)
    size = len(data)
    limits = [0, 63, 64, 1000, 300000, lists + 3, table + 10, index + 5, footer, footer + 1, size - 1, size]
    out = str(tmp_path / "out.vexlor")
    for limit in limits:
        results, report = run_child({"limits": {"FSIZE": limit}, "report": [out, out + ".tmp"],
                                     "calls": [["create_archive", [src, out], {}]], "unlink": [out]})
        if limit < size:
            assert results[0] in [("RuntimeError", EFBIG), ("RuntimeError", "Failed to write footer")], limit
            assert report[out] is None and len(bytes.fromhex(report[out + ".tmp"])) <= limit
        else:
            assert results == [None] and bytes.fromhex(report[out]) == data
    vexlor.create_archive(src, out)  # the rerun, over the temporary file left behind
    assert pathlib.Path(out).read_bytes() == data and not os.path.exists(out + ".tmp")


def test_read_flows_with_file_size_limit(tmp_path):
    """The temporary archive of read_flows fails like any other; its own temporary file stays behind."""
    src = write(tmp_path / "cap.pcap", sessions_capture(50, 10, 1100))
    temp = "/tmp/vexlor_py_{pid}.vexlor"
    results, report = run_child({"limits": {"FSIZE": 300000}, "report": [temp, temp + ".tmp"],
                                 "calls": [["read_flows", [src], {}]], "unlink": [temp + ".tmp"]})
    assert results == [("RuntimeError", EFBIG)]
    archive, temporary = report.values()  # in the order asked for
    assert archive is None and temporary is not None


def full_file_system(mount_point):
    """A command prefix that runs the child with a 64 KiB tmpfs mounted at `mount_point` in a mount
    namespace of its own, or None where that is not possible."""
    wrap = ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=64k vexlor-full "$0" || exit 77; exec "$@"',
            str(mount_point)]
    try:
        probe = subprocess.run(wrap + ["true"], capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    return wrap if probe.returncode == 0 else None


@pytest.mark.parametrize("call", ["split", "create_archive"])
def test_full_file_system(tmp_path, call):
    mnt = tmp_path / "full"
    mnt.mkdir()
    wrap = full_file_system(mnt)
    if wrap is None:
        pytest.skip("no mount namespace with a tmpfs here")
    src = write(tmp_path / "cap.pcap", sessions_capture(10, 20, 1000))  # 200 kB of output
    out = str(mnt / ("out" if call == "split" else "out.vexlor"))
    results, report = run_child({"report": [out, out + ".tmp"], "calls": [[call, [src, out], {}]]}, wrap)
    assert results == [("RuntimeError", ENOSPC)]
    if call == "split":
        check_split_failure(report[out])
    else:
        assert report[out] is None and report[out + ".tmp"] is not None


def test_temporary_names_planted_as_links_to_dev_full(tmp_path):
    """Links planted where the temporaries go: the archive writer refuses to follow its link; split
    either refuses too or writes into /dev/full and fails. No final file either way."""
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = write(tmp_path / "cap.pcap", sessions_capture(3, 4, 100))
    out, arch = tmp_path / "out", str(tmp_path / "a.vexlor")
    out.mkdir()
    os.symlink("/dev/full", out / ".cap_all.pcap.tmp")
    os.symlink("/dev/full", arch + ".tmp")
    results, report = run_child({"report": [str(out), arch],
                                 "calls": [["split", [src, str(out), "nosplit"], {}],
                                           ["create_archive", [src, arch], {}]]})
    assert results[0] in [("RuntimeError", ENOSPC), ("RuntimeError", ELOOP)]
    assert results[1] == ("OSError", "Failed to create temp archive file: %s.tmp" % arch)
    assert listing(out) == [".cap_all.pcap.tmp"] and report[arch] is None


def test_output_path_under_a_regular_file(tmp_path):
    src = write(tmp_path / "cap.pcap", sessions_capture(3, 4, 100))
    blocker = write(tmp_path / "blocker", b"precious")
    results, _ = run_child({"calls": [["split", [src, blocker], {}],
                                      ["split", [src, blocker + "/a/b"], {}],
                                      ["create_archive", [src, blocker + "/a.vexlor"], {}]]})
    assert results == [("OSError", "%s (os error %d)" % (os.strerror(errno.EEXIST), errno.EEXIST)),
                       ("OSError", "%s (os error %d)" % (os.strerror(errno.ENOTDIR), errno.ENOTDIR)),
                       ("OSError", "Failed to create temp archive file: %s/a.vexlor.tmp" % blocker)]
    assert listing(tmp_path) == ["blocker", "cap.pcap"] and pathlib.Path(blocker).read_bytes() == b"precious"


# ---- too few descriptors -------------------------------------------------------

@pytest.mark.parametrize("spare,buffer_bytes,output_type", [
    (0, 10000, "pcap"), (1, 10000, "pcap"), (2, 10000, "pcap"), (2, 0, "pcap"), (3, 10000, "l7"), (8, 0, "pcap"),
])
def test_split_with_descriptor_limit(scratch, spare, buffer_bytes, output_type):
    """300 flows with only `spare` descriptors free: the writer gives back its least recently used file
    and reopens it later, so every flow is still complete. With none free the input cannot be opened;
    with one, it can, and so can the output directory, but then no output file."""
    src = write(scratch / "cap.pcap", sessions_capture(300, 3, 60, ipv6_every=5))
    ref, out = scratch / "ref", scratch / "out"
    vexlor.split(src, str(ref), buffer_bytes=buffer_bytes, output_type=output_type)
    assert len(listing(ref)) == 300
    results, report = run_child({"limits": {"NOFILE": spare}, "report": [str(out)],
                                 "calls": [["split", [src, str(out)], {"buffer_bytes": buffer_bytes,
                                                                        "output_type": output_type}]]})
    if spare >= 2:
        assert results == [None] and contents(out) == contents(ref)
    else:
        assert results == [("OSError" if spare == 0 else "RuntimeError", EMFILE)]
        assert report[str(out)] in (None, {})


def test_archive_with_descriptor_limit(tmp_path):
    """The archive build needs one descriptor at a time: the input's is closed once it is mapped."""
    src = write(tmp_path / "cap.pcap", sessions_capture(300, 3, 60))
    out = str(tmp_path / "a.vexlor")
    for spare, expected in [(0, ("OSError", EMFILE)), (1, None)]:
        results, report = run_child({"limits": {"NOFILE": spare}, "report": [out],
                                     "calls": [["create_archive", [src, out], {}]]})
        assert results == [expected] and (report[out] is None) == (expected is not None)
    assert len(vexlor.Archive.open(out)) == 300


# ---- killed at random moments ----------------------------------------------------

@pytest.fixture
def big_capture(scratch):
    """About 30 MB: 24000 frames of 1250 bytes in 2000 sessions."""
    return write(scratch / "big.pcap", sessions_capture(2000, 12, 1196, ipv6_every=9))


def split_state(out, reference):
    """After a kill: every final-named file is identical to the undisturbed run's; returns the phase."""
    names = listing(out) if os.path.isdir(out) else []
    finals = [n for n in names if not is_temporary(n)]
    for n in finals:
        assert (pathlib.Path(out) / n).read_bytes() == reference[n], n
    if not names:
        return "no files yet"
    return "temporaries only" if not finals else "complete" if names == sorted(reference) else "renaming"


def archive_state(out, reference):
    if os.path.exists(out):
        assert pathlib.Path(out).read_bytes() == reference
        return "complete" if not os.path.exists(out + ".tmp") else "complete, temporary left"
    return "temporary only" if os.path.exists(out + ".tmp") else "no files yet"


def start_child(call, src, target):
    """A child running one call; returns it once the call is about to begin."""
    child = subprocess.Popen(child_command({"calls": [[call, [src, target], {}]]}),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"go\n"
    return child


@pytest.mark.parametrize("call", ["split", "create_archive"])
def test_killed_at_random_moments(scratch, big_capture, call, kills=20):
    """Kills spread over the length of an undisturbed run (measured here, only to place the kills).
    After each, final-named outputs are identical to the undisturbed run's; every fifth kill, a rerun
    over what the killed run left gives the normal output."""
    target = str(scratch / ("out" if call == "split" else "out.vexlor"))
    ref = str(scratch / ("ref" if call == "split" else "ref.vexlor"))
    child = start_child(call, big_capture, ref)
    started = time.monotonic()
    out, err = child.communicate(timeout=300)
    duration = time.monotonic() - started
    assert json.loads(out.decode().splitlines()[-1])["results"] == [None], err
    if call == "split":
        reference, state = contents(ref), split_state
        assert len(reference) == 2000 and sum(pcap_packet_count(d) for d in reference.values()) == 24000
    else:
        reference, state = pathlib.Path(ref).read_bytes(), archive_state
        assert sum(f.packet_count for f in vexlor.Archive.open(ref).flows()) == 24000

    rng = random.Random(call)
    phases = {}
    for i in range(1, kills + 1):
        child = start_child(call, big_capture, target)
        time.sleep(rng.uniform(0, 1.1 * duration))
        child.kill()
        child.communicate(timeout=60)
        phase = state(target, reference)
        phases[phase] = phases.get(phase, 0) + 1
        if i % 5 == 0:  # a rerun over the leftovers
            getattr(vexlor, call)(big_capture, target)
            assert state(target, reference) == "complete"
        if call == "split":
            shutil.rmtree(target, ignore_errors=True)
        else:
            for p in (target, target + ".tmp"):
                if os.path.exists(p):
                    os.unlink(p)
    print("\n%s killed %d times: %s" % (call, kills, phases))
