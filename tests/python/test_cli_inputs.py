"""The tool's inputs beyond one plain file: compressed captures, several inputs, directories and patterns, one output
per input with a manifest that makes reruns resume, and inputs read as one capture, checked against mergecap."""
import bz2, gzip, json, lzma, os, pty, re, shutil, signal, subprocess, time

import pytest

from conftest import capture as pcap_bytes
from conftest import CAPTURES, CLI, CORPUS, cli, contents, drain, frame, needs_cli, read_pcap, sessions_bytes, write

pytestmark = needs_cli


def zstd(data):
    if not shutil.which("zstd"):
        pytest.skip("no zstd command")
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


COMPRESSORS = {"gz": gzip.compress, "xz": lzma.compress, "bz2": bz2.compress, "zst": zstd}
CAPTURE = sessions_bytes(7, 30, 300, ipv6_every=3)


@pytest.mark.parametrize("ext", sorted(COMPRESSORS))
def test_compressed_captures_give_the_plain_captures_outputs(tmp_path, ext):
    packed = COMPRESSORS[ext](CAPTURE)
    # Two members or frames back to back are one stream, as the tools that write them mean it.
    if ext != "xz":
        half = len(CAPTURE) // 2
        packed = COMPRESSORS[ext](CAPTURE[:half]) + COMPRESSORS[ext](CAPTURE[half:])
    plain, comp = write(tmp_path / "cap.pcap", CAPTURE), write(tmp_path / ("cap.pcap." + ext), packed)
    assert cli("split", plain, tmp_path / "a", "--quiet").returncode == 0
    assert cli("split", comp, tmp_path / "b", "--quiet").returncode == 0
    assert contents(tmp_path / "a") == contents(tmp_path / "b") and len(contents(tmp_path / "a")) == 7
    piped = cli("split", "-", tmp_path / "c", "--prefix", "cap", "--quiet", input=packed)
    assert piped.returncode == 0 and contents(tmp_path / "c") == contents(tmp_path / "a")
    for src, out in ((plain, "p.vexlor"), (comp, "c.vexlor")):
        assert cli("archive", src, tmp_path / out, "--quiet").returncode == 0
    assert (tmp_path / "p.vexlor").read_bytes() == (tmp_path / "c.vexlor").read_bytes()


@pytest.mark.skipif(not CORPUS, reason="no real captures beside the project")
def test_compressed_copies_of_the_real_captures_split_as_the_captures_do(tmp_path):
    for row in CORPUS:
        plain = CAPTURES / row["file"]
        if plain.suffix in (".gz", ".zst", ".xz", ".bz2"):
            continue  # already compressed: compressing it again makes no capture
        want = cli("split", plain, tmp_path / "plain", "--quiet")
        for ext in sorted(COMPRESSORS):
            packed = write(tmp_path / (plain.name + "." + ext), COMPRESSORS[ext](plain.read_bytes()))
            got = cli("split", packed, tmp_path / ext, "--quiet")
            assert (got.returncode, contents(tmp_path / ext)) == (want.returncode, contents(tmp_path / "plain")), ext
            shutil.rmtree(tmp_path / ext, ignore_errors=True)
        shutil.rmtree(tmp_path / "plain", ignore_errors=True)


def capture(i, flows=3):
    """A small capture of its own: flows depend on i, times start at 1700000000 + 10 * i."""
    return pcap_bytes([(1700000000 + 10 * i, n, frame("10.0.%d.1" % i, "192.0.2.%d" % (n % flows + 1), 6,
                                                       1000 + n % flows, 80, bytes([n]) * 40)) for n in range(12)])


def make_tree(root):
    write(root / "day1" / "a.pcap", capture(1))
    write(root / "day1" / "b.pcap.gz", gzip.compress(capture(2)))
    write(root / "day2" / "nested" / "c.pcapng.xz", lzma.compress(capture(3)))
    write(root / "notes.txt", b"not a capture")
    return root


@pytest.mark.parametrize("command, suffix", [("split", ""), ("archive", ".vexlor")])
def test_a_directory_gives_one_output_per_capture_and_reruns_resume(tmp_path, command, suffix):
    src, out = make_tree(tmp_path / "in"), tmp_path / "out"
    r = cli(command, src, out)
    assert r.returncode == 0, r.stderr
    assert b"1 files in the input directories are not captures" in r.stderr
    assert b"3 inputs: 3 done, 0 already done, 0 failed" in r.stderr
    names = {"day1/a", "day1/b", "day2/nested/c"}
    made = {p for p in contents(out) if "vexlor-manifest" not in p}
    assert made == {n + suffix for n in names} if suffix else {os.path.dirname(p) for p in made} == names
    assert all(os.path.basename(p).startswith(os.path.basename(os.path.dirname(p)) + "_") for p in made if not suffix)
    head, *lines = [json.loads(line) for line in open(out / "vexlor-manifest.jsonl")]
    entries = {os.path.relpath(e["path"], src): e for e in lines}
    assert head["command"] == command and set(entries) == {"day1/a.pcap", "day1/b.pcap.gz", "day2/nested/c.pcapng.xz"}
    a = entries["day1/a.pcap"]
    assert (a["status"], a["packets"], a["link_type"]) == ("done", 12, 1)
    assert (a["first_packet_us"], a["last_packet_us"]) == (1700000010000000, 1700000010000011)
    assert a["size"] == os.path.getsize(src / "day1" / "a.pcap") and a["output"] == str(out / "day1" / "a") + suffix

    before = contents(out)
    r = cli(command, src, out, "-j", "1")
    assert b"3 inputs: 0 done, 3 already done" in r.stderr and contents(out) == before
    # A changed input is redone; other options redo everything.
    write(src / "day1" / "a.pcap", capture(4))
    assert b"1 done, 2 already done" in cli(command, src, out).stderr
    assert b"3 done, 0 already done" in cli(command, src, out, "--port", "80").stderr


def done_twice(line, then):
    return line.replace(b'"status": "done"', b'"status": "failed", "error": "x"') + line if then == "done" else \
        line + line.replace(b'"status": "done"', b'"status": "failed", "error": "x"')


@pytest.mark.parametrize("edit, shown", [
    # Killed while appending b's line: the half written counts as not written.
    (lambda a, b, c: [a, c, b[:len(b) // 2]], "ac"),
    # Appended out of order, a failed and then done (a retried task): the last line of an input tells.
    (lambda a, b, c: [c, done_twice(a, then="done"), b], "abc"),
    (lambda a, b, c: [b, c, done_twice(a, then="failed")], "bc"),
])
def test_a_manifest_as_a_killed_job_left_it_is_read_by_the_last_whole_line_of_each_input(tmp_path, edit, shown):
    src, out = make_tree(tmp_path / "in"), tmp_path / "set"
    assert cli("archive", src, out, "--quiet").returncode == 0
    manifest = out / "vexlor-manifest.jsonl"
    whole = manifest.read_bytes()
    head, *lines = whole.splitlines(keepends=True)
    assert len(lines) == 3 and lines == sorted(lines)
    manifest.write_bytes(head + b"".join(edit(*lines)))
    listed = cli("flows", manifest, "--format", "json")
    assert listed.returncode == 0, listed.stderr
    archives = [json.loads(lines["abc".index(x)])["output"] for x in shown]
    assert list(dict.fromkeys(r["archive"] for r in json.loads(listed.stdout))) == archives
    planned = [json.loads(line)["done"] for line in cli("archive", "--list", src, out).stdout.splitlines()]
    assert planned == [x in shown for x in "abc"]
    # The rerun redoes the others, and leaves the manifest of an uninterrupted run.
    r = cli("archive", src, out)
    assert b"3 inputs: %d done, %d already done, 0 failed" % (3 - len(shown), len(shown)) in r.stderr, r.stderr
    assert manifest.read_bytes() == whole


@pytest.mark.parametrize("command, files, given, clash", [
    ("split", ["a/x.pcap", "b/x.pcap"], ["a", "b"], ("a/x.pcap", "b/x.pcap")),
    ("archive", ["a/x.pcap", "b/x.pcap"], ["a/x.pcap", "b/x.pcap"], ("a/x.pcap", "b/x.pcap")),
    # x.pcap and x.pcap.gz keep their extensions, and x.pcap.pcap loses one: x.pcap twice.
    ("archive", ["d/x.pcap", "d/x.pcap.gz", "d/x.pcap.pcap"], ["d"], ("d/x.pcap", "d/x.pcap.pcap")),
    # A split's directory inside another's.
    ("split", ["d/a.pcap", "d/a/b.pcap"], ["d"], ("d/a.pcap", "d/a/b.pcap")),
    # Told apart: each output of its own.
    ("split", ["a/x.pcap", "b/x.pcap.gz"], ["a", "b"], None),
    ("archive", ["d/x.pcap", "d/x.pcap.gz"], ["d"], None),
    ("archive", ["d/a.pcap", "d/a/b.pcap"], ["d"], None),
])
def test_inputs_whose_outputs_would_collide_are_refused_before_anything_runs(tmp_path, command, files, given, clash):
    src, out = tmp_path / "in", tmp_path / "out"
    for i, name in enumerate(files):
        write(src / name, gzip.compress(capture(i)) if name.endswith(".gz") else capture(i))
    for extra in ("--list", "--quiet"):
        r = cli(command, *[src / g for g in given], out, extra)
        if clash:
            named = "vexlor: %s and %s would " % tuple(src / c for c in clash)
            assert (r.returncode, r.stdout) == (1, b"") and r.stderr.startswith(named.encode()), r.stderr
            assert not out.exists()
        else:
            assert r.returncode == 0, r.stderr
    if not clash:
        entries = [json.loads(line) for line in open(out / "vexlor-manifest.jsonl")][1:]
        assert [e["status"] for e in entries] == ["done"] * len(files)
        assert len({e["output"] for e in entries}) == len(files) and all(os.path.exists(e["output"]) for e in entries)


@pytest.mark.parametrize("option, terminal, shown", [("--quiet", True, False), ("-j2", False, False),
                                                     ("-j2", True, True)])
def test_a_batch_shows_its_progress_on_a_terminal_unless_quiet(tmp_path, option, terminal, shown):
    src = make_tree(tmp_path / "in")
    write(src / "day3" / "broken.pcap.gz", gzip.compress(capture(5))[:-20])
    reader, writer = pty.openpty() if terminal else os.pipe()
    p = subprocess.Popen([CLI, "archive", str(src), str(tmp_path / "out"), option], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=writer)
    os.close(writer)
    err = drain(reader)
    assert p.wait() == 1
    line = rb"4/4 inputs  (\S+ \S+) / \1  \d+ packets  [\d.]+ MB/s  0:00 left *\r?\n"
    assert bool(re.search(line, err)) == shown and (b" inputs  " in err) == shown, err
    # A failure's message takes a line of its own, the progress line blanked for it.
    assert re.search((rb"\r +\r" if shown else rb"(^|\n)") + rb"vexlor: [^\r\n]*broken.pcap.gz", err), err
    assert (b"4 inputs: 3 done, 0 already done, 1 failed" in err) == (option != "--quiet")


def test_a_job_killed_at_any_moment_and_rerun_leaves_the_uninterrupted_outputs(tmp_path):
    src = tmp_path / "in"
    for i in range(16):
        write(src / ("f%02d.pcap" % i), sessions_bytes(40 + i, 40, 200))
    assert cli("split", src, tmp_path / "whole", "--quiet", "-j", "2").returncode == 0
    expected = contents(tmp_path / "whole")
    for n, delay in enumerate((0.02, 0.08, 0.2)):
        out = tmp_path / ("killed%d" % n)
        p = subprocess.Popen([str(CLI), "split", str(src), str(out), "--quiet", "-j", "2"], stderr=subprocess.DEVNULL)
        time.sleep(delay)
        p.send_signal(signal.SIGKILL)
        p.wait()
        assert cli("split", src, out, "--quiet", "-j", "2").returncode == 0
        got = contents(out)
        # The manifest lists the same inputs and outputs; only the time stamps of a run may differ.
        assert set(got) == set(expected) and all(got[k] == expected[k] for k in got if "manifest" not in k)


def test_a_capture_cut_into_five_rotated_files_splits_as_the_whole(tmp_path):
    whole = sessions_bytes(30, 20, 100, ipv6_every=4)
    link, records = read_pcap(whole)
    parts = [records[i * len(records) // 5:(i + 1) * len(records) // 5] for i in range(5)]
    # Named so that their names sort in another order than their packets.
    files = [write(tmp_path / ("rot-%d.pcap" % ((7 * i) % 5)), pcap_bytes([(s, u, f, o) for s, u, o, f in part]))
             for i, part in enumerate(parts)]
    assert cli("split", write(tmp_path / "whole.pcap", whole), tmp_path / "a", "--prefix", "x").returncode == 0
    assert cli("split", *sorted(files), tmp_path / "b", "--combine", "concat", "--prefix", "x").returncode == 0
    assert contents(tmp_path / "a") == contents(tmp_path / "b") and len(contents(tmp_path / "a")) == 30


def test_inputs_read_as_one_match_mergecap(tmp_path):
    if not shutil.which("mergecap"):
        pytest.skip("no mergecap")
    # Two rotated files given out of order, and interfaces whose packets interleave in time.
    late, early = write(tmp_path / "late.pcap", capture(2)), write(tmp_path / "early.pcap", capture(1))
    for how, peer in (("concat", ["-a", early, late]), ("merge", [early, late])):
        merged = tmp_path / (how + ".pcap")
        subprocess.run(["mergecap", "-F", "pcap", "-w", str(merged), *peer], check=True)
        assert cli("split", late, early, tmp_path / how, "--combine", how, "--prefix", "x", "--quiet").returncode == 0
        assert cli("split", merged, tmp_path / (how + "-peer"), "--prefix", "x", "--quiet").returncode == 0
        assert contents(tmp_path / how) == contents(tmp_path / (how + "-peer")) and contents(tmp_path / how)
    cooked = write(tmp_path / "cooked.pcap", pcap_bytes([], linktype=113))
    r = cli("archive", early, cooked, tmp_path / "x.vexlor", "--combine", "merge")
    assert r.returncode == 1 and b"captures read as one must share a link type" in r.stderr


def test_a_set_of_archives_is_queried_as_the_union_of_its_archives(tmp_path):
    src = make_tree(tmp_path / "in")
    assert cli("archive", src, tmp_path / "set", "--quiet").returncode == 0
    members = sorted(str(p) for p in (tmp_path / "set").rglob("*.vexlor"))

    def rows(*args):
        r = cli("flows", *args, "--format", "json")
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)

    union = [dict(row, archive=m) for m in members for row in rows(m)]
    assert rows(tmp_path / "set") == union == rows(*members)
    assert [r["archive"] for r in rows(tmp_path / "set" / "vexlor-manifest.jsonl")] == [r["archive"] for r in union]
    # Time selects flows with a packet inside the bounds; UTC text and epoch seconds agree.
    since, until = 1700000020.000005, 1700000030.000002
    inside = [r for r in union if r["start"] + r["duration"] >= since and r["start"] <= until]
    assert 0 < len(inside) < len(union)
    assert rows(tmp_path / "set", "--since", "%.6f" % since, "--until", "%.6f" % until) == inside
    iso = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(int(since))) + ".000005Z"
    assert rows(tmp_path / "set", "--since", iso, "--until", "%.6f" % until) == inside
    # One pcap of the set's chosen flows, in time order: what mergecap makes of the archives' own extracts.
    parts = []
    for i, m in enumerate(members):
        parts.append(str(tmp_path / ("part%d.pcap" % i)))
        assert cli("extract", m, "--port", "80", "-o", parts[-1]).returncode == 0
    assert cli("extract", tmp_path / "set", "--port", "80", "-o", tmp_path / "all.pcap").returncode == 0
    if shutil.which("mergecap"):
        subprocess.run(["mergecap", "-F", "pcap", "-w", str(tmp_path / "peer.pcap"), *parts], check=True)
        # The records; the global headers' snapshot lengths differ.
        assert (tmp_path / "all.pcap").read_bytes()[24:] == (tmp_path / "peer.pcap").read_bytes()[24:]
    bad = cli("flows", tmp_path / "set", "--since", "yesterday")
    assert bad.returncode == 2 and b"invalid value 'yesterday' for --since" in bad.stderr
