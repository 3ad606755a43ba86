"""Runs that lose nothing and say what went wrong, through the module and the tool: locks on outputs, outputs that
would replace their input, and interrupts."""
import fcntl
import os
import pathlib
import random
import signal
import subprocess
import time

import pytest

import vexlor
from conftest import CLI, SAMPLE, capture, cli, contents, listing, needs_cli, raises_exactly, temporaries, write

pytestmark = needs_cli
BUILD = {"split": vexlor.split, "archive": vexlor.create_archive}


def refused(front, kind, cap, out, exc, message, *args):
    """The module raises `exc` with `message`; the tool says it with status 1."""
    if front == "module":
        with raises_exactly(exc, message):
            BUILD[kind](cap, str(out), *args)
    else:
        result = cli(kind, cap, out, *(["--strategy", args[0]] if args else []))
        assert (result.returncode, result.stderr) == (1, b"vexlor: %s\n" % message.encode())


@pytest.mark.parametrize("front", ["module", "tool"])
@pytest.mark.parametrize("kind", ["split", "archive"])
def test_a_held_output_refuses_a_second_run_and_is_left_alone(tmp_path, front, kind):
    cap = write(tmp_path / "cap.pcap", capture(SAMPLE))
    out = tmp_path / ("out" if kind == "split" else "a.vexlor")
    target = str(out) + ".tmp" if kind == "archive" else out
    write(out / "cap_all.pcap" if kind == "split" else target, b"earlier")
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    fd = os.open(target, os.O_RDONLY if kind == "split" else os.O_RDWR)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # the lock a run takes
    try:
        refused(front, kind, cap, out, OSError, "Output %s %s is in use by another run" % (
            "directory" if kind == "split" else "path", out))
    finally:
        os.close(fd)
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
    # Once the lock is gone, the same run goes through.
    assert BUILD[kind](cap, str(out)) is None if front == "module" else cli(kind, cap, out, "--quiet").returncode == 0


@pytest.mark.parametrize("kind", ["split", "archive"])
def test_two_tool_runs_at_once_give_one_output_and_one_error(tmp_path, big, kind):
    out = tmp_path / ("out" if kind == "split" else "a.vexlor")
    first = subprocess.Popen([str(CLI), kind, big, str(out), "--quiet"], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20  # the second starts once the first is writing (its temporary files are there)
    while time.monotonic() < deadline and first.poll() is None and not (
            temporaries(out) if kind == "split" else os.path.exists(str(out) + ".tmp")):
        time.sleep(0.005)
    second = cli(kind, big, out, "--quiet")
    assert first.wait() == 0, first.stderr.read()
    if second.returncode == 0:
        pytest.skip("the first run ended before the second began")
    assert second.stderr == b"vexlor: Output %s %s is in use by another run\n" % (
        b"directory" if kind == "split" else b"path", bytes(out))
    BUILD[kind](big, str(tmp_path / "ref"))
    assert contents(out) == contents(tmp_path / "ref") and not os.path.exists(str(out) + ".tmp")


@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink", "tmp-hardlink", "split-file",
                                      "split-temporary"])
@pytest.mark.parametrize("front", ["module", "tool"])
def test_an_output_over_its_own_input_is_refused(tmp_path, spelling, front):
    data = capture(SAMPLE)
    cap = write(tmp_path / "cap.pcap", data)
    out, named = {"same": (cap, cap), "dotted": (str(tmp_path / "." / "cap.pcap"),) * 2,
                  "symlink": (str(tmp_path / "link"),) * 2, "hardlink": (str(tmp_path / "hard"),) * 2,
                  "tmp-hardlink": (str(tmp_path / "x.vexlor"), str(tmp_path / "x.vexlor.tmp")),
                  "split-file": (tmp_path / "out", tmp_path / "out" / "cap_all.pcap"),
                  "split-temporary": (tmp_path / "out", tmp_path / "out" / ".cap_all.pcap.tmp")}[spelling]
    if spelling not in ("same", "dotted"):
        os.makedirs(os.path.dirname(named), exist_ok=True)
        (os.symlink if spelling == "symlink" else os.link)(cap, named)
    kind = "split" if spelling.startswith("split") else "archive"
    before = listing(tmp_path / "out") if kind == "split" else None
    refused(front, kind, cap, out, ValueError, "Output %s %s is the input capture %s" % (
        "file" if kind == "split" else "path", named, cap), *["nosplit"] * (kind == "split"))
    assert pathlib.Path(cap).read_bytes() == pathlib.Path(named).read_bytes() == data
    assert front == "module" or kind == "archive" or listing(tmp_path / "out") == before  # the tool removes its own


@pytest.mark.parametrize("kind,sig", [("split", signal.SIGINT), ("archive", signal.SIGINT),
                                      ("split", signal.SIGTERM)])
def test_interrupts_publish_nothing_and_leave_no_temporary_file(tmp_path, big, kind, sig):
    rng = random.Random(7)
    interrupted = 0
    for i in range(6):
        out = tmp_path / ("out%d" % i if kind == "split" else "a%d.vexlor" % i)
        proc = subprocess.Popen([str(CLI), kind, big, str(out), "--quiet"], stderr=subprocess.PIPE)
        time.sleep(0.1 if i == 0 else rng.uniform(0.0, 0.6))
        proc.send_signal(sig)
        status, err = proc.wait(), proc.stderr.read()
        if status == 0:
            continue
        interrupted += 1
        assert (status, err) == (128 + sig, b"vexlor: interrupted: nothing published\n")
        assert (not out.exists() or os.listdir(out) == []) if kind == "split" else temporaries(tmp_path) == [] and \
            not out.exists()
        assert cli(kind, big, out, "--quiet").returncode == 0  # a rerun gives the normal outputs
    assert interrupted > 0, "every run ended before its signal"
    assert temporaries(tmp_path) == []
