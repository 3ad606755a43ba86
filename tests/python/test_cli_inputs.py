"""The tool's inputs beyond one plain file: compressed captures, several inputs, directories and patterns, one output
per input with a manifest that makes reruns resume, and parts of a capture read as one, which split as the whole."""
import bz2, ctypes, gzip, json, lzma, os, pathlib, pty, random, re, resource, shutil, struct, subprocess, time

import pytest
import vexlor

from conftest import (CAPTURES, CLI, CORPUS, T, capture_tree, cli, contents, drain, frame, needs_cli, read_pcap,
                      sessions_bytes, small_capture, write)
from conftest import capture as pcap_bytes

pytestmark = needs_cli


def zstd(data):
    if not shutil.which("zstd"):
        pytest.skip("no zstd command")
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


COMPRESSORS = {"gz": gzip.compress, "xz": lzma.compress, "bz2": bz2.compress, "zst": zstd}
CAPTURE = sessions_bytes(7, 30, 300, ipv6_every=3)


@pytest.mark.parametrize("ext", sorted(COMPRESSORS))
@pytest.mark.parametrize("real", [False, True], ids=["built", "real"])
def test_compressed_captures_give_the_plain_captures_outputs(tmp_path, ext, real):
    if real and not CORPUS:
        pytest.skip("no real captures beside the project")
    # Captures already compressed are left out: compressing one again makes no capture.
    plains = [CAPTURES / r["file"] for r in CORPUS if not r["file"].endswith((".gz", ".zst", ".xz", ".bz2"))] if \
        real else [pathlib.Path(write(tmp_path / "cap.pcap", CAPTURE))]
    for n, plain in enumerate(plains):
        data, out = plain.read_bytes(), tmp_path / str(n)
        # Two members or frames back to back are one stream, as the tools that write them mean it.
        packed = b"".join(map(COMPRESSORS[ext], [data] if ext == "xz" else [data[:len(data) // 2],
                                                                             data[len(data) // 2:]]))
        want, got = (cli("split", src, out / d, "--quiet") for src, d in (
            (plain, "a"), (write(out / (plain.name + "." + ext), packed), "b")))
        assert (got.returncode, contents(out / "b")) == (want.returncode, contents(out / "a")), plain
    if not real:
        assert want.returncode == 0 and len(contents(out / "a")) == 7
        piped = cli("split", "-", out / "c", "--prefix", "cap", "--quiet", input=packed)
        assert piped.returncode == 0 and contents(out / "c") == contents(out / "a")
        # However little memory the buffers get (each flow then leaves in many writes), the files are the same.
        scant = cli("split", out / ("cap.pcap." + ext), out / "d", "--memory", "1K", "--quiet")
        assert scant.returncode == 0 and contents(out / "d") == contents(out / "a")
        for src, name in ((plain, "p.vexlor"), (out / ("cap.pcap." + ext), "c.vexlor")):
            assert cli("archive", src, out / name, "--quiet").returncode == 0
        assert (out / "p.vexlor").read_bytes() == (out / "c.vexlor").read_bytes()


def test_damage_in_a_zstd_stream_is_told_where_it_was_found(tmp_path):
    """libzstd does not say how much of its input it took before it failed: the damage is told at the end of the
    piece of input it was found in (a damaged block is read whole first), not where all that was given began."""
    text = random.Random(1).choices(b"abcdefghijklmnop", k=300 * 1000)  # compressed into coded blocks
    packed = bytearray(zstd(pcap_bytes([(T, i, frame("10.0.0.1", "10.0.0.2", 17, 1, 2, bytes(text[i::300])))
                                        for i in range(300)])))
    at = len(packed) // 2
    packed[at] ^= 0x10
    r = cli("archive", write(tmp_path / "d.pcap.zst", bytes(packed)), tmp_path / "d.vexlor")
    told = re.search(rb"corrupt zstd stream at byte (\d+) of ", r.stderr)
    assert r.returncode == 1 and told and at < int(told[1]) <= at + (128 + 16) * 1024, r.stderr
    assert os.listdir(tmp_path) == ["d.pcap.zst"]


@pytest.mark.parametrize("command, suffix", [("split", ""), ("archive", ".vexlor")])
def test_a_directory_gives_one_output_per_capture_and_reruns_resume(tmp_path, command, suffix):
    src, out = capture_tree(tmp_path / "in"), tmp_path / "out"
    r = cli(command, src, out)
    assert r.returncode == 0, r.stderr
    assert b"1 file found in the input directories or by patterns is not a capture: skipped" in r.stderr
    assert b"3 inputs: 3 done, 0 already done, 0 failed" in r.stderr
    # A pattern's matches that are no captures are skipped and counted as a directory's are.
    listed = cli(command, str(src) + "/*", tmp_path / "listed", "--list")
    assert listed.returncode == 0 and b"notes.txt" not in listed.stdout and len(listed.stdout.splitlines()) == 3
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
    # A changed input is redone; other options redo everything, and say so.
    write(src / "day1" / "a.pcap", small_capture(4))
    assert b"1 done, 2 already done" in cli(command, src, out).stderr
    r = cli(command, src, out, "--port", "80", "--strategy", "host", "--port", "443")
    assert b"3 done, 0 already done" in r.stderr and b"jsonl was written by other options; every" in r.stderr
    # Not the spelling of the paths, nor the options' order, nor options that leave the outputs as they are.
    r = cli(command, "./in", "out/", "--port=443", "--max-sessions=9", "--strategy=host", "--port=80", cwd=tmp_path)
    assert b"0 done, 3 already done" in r.stderr and b"written by" not in r.stderr
    assert len(open(out / "vexlor-manifest.jsonl").readlines()) == 4


def done_twice(line, then):
    return line.replace(b'"status": "done"', b'"status": "failed", "error": "x"') + line if then == "done" else \
        line + line.replace(b'"status": "done"', b'"status": "failed", "error": "x"')


@pytest.mark.parametrize("edit, shown", [
    # Killed while appending b's line: the half written counts as not written.
    (lambda a, b, c: [a, c, b[:len(b) // 2]], "ac"),
    # Appended out of order, a failed and then done (a retried task): the last line of an input tells.
    (lambda a, b, c: [c, done_twice(a, then="done"), b], "abc"),
    (lambda a, b, c: [b, c, done_twice(a, then="failed")], "bc"),
    # A rerun that spelt a's path otherwise: one output, still.
    (lambda a, b, c: [a, b, c, a.replace(b"/in/", b"/in/./", 1)], "abc"),
])
def test_a_manifest_as_a_killed_job_left_it_is_read_by_the_last_whole_line_of_each_input(tmp_path, edit, shown):
    src, out = capture_tree(tmp_path / "in"), tmp_path / "set"
    assert cli("archive", src, out, "--quiet").returncode == 0
    manifest = out / "vexlor-manifest.jsonl"
    whole = manifest.read_bytes()
    head, *lines = whole.splitlines(keepends=True)
    assert len(lines) == 3 and lines == sorted(lines)
    manifest.write_bytes(head + b"".join(edit(*lines)))
    listed = cli("flows", manifest, "--format", "json")
    assert listed.returncode == 0, listed.stderr
    archives = [json.loads(lines["abc".index(x)])["output"] for x in shown]
    assert [r["archive"] for r in json.loads(listed.stdout)] == [a for a in archives for _ in range(3)]
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
    # A pattern's matches are named below its leading directories without wildcards: day1/x and day2/x.
    ("split", ["g/day1/x.pcap", "g/day2/x.pcap"], ["g/day*/*.pcap"], None),
])
def test_inputs_whose_outputs_would_collide_are_refused_before_anything_runs(tmp_path, command, files, given, clash):
    src, out = tmp_path / "in", tmp_path / "out"
    for i, name in enumerate(files):
        write(src / name, gzip.compress(small_capture(i)) if name.endswith(".gz") else small_capture(i))
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
    src = capture_tree(tmp_path / "in")
    write(src / "day3" / "broken.pcap.gz", gzip.compress(small_capture(5))[:-20])
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


def test_captures_read_as_one_split_as_the_whole(tmp_path):
    whole = sessions_bytes(30, 20, 100, ipv6_every=4)
    records = [(s, u, f, o) for s, u, o, f in read_pcap(whole)[1]]
    # Five rotated files, named so that their names sort in another order than their packets; and two files that
    # each hold part of every flow, in turns of two packets, as two interfaces capture at once.
    n = len(records)
    rotated = [write(tmp_path / ("rot-%d.pcap" % (7 * i % 5)), pcap_bytes(records[i * n // 5:(i + 1) * n // 5]))
               for i in range(5)]
    interfaces = [write(tmp_path / ("if%d.pcap" % i), pcap_bytes([r for j, r in enumerate(records) if j // 2 % 2 != i]))
                  for i in range(2)]
    assert cli("split", write(tmp_path / "whole.pcap", whole), tmp_path / "whole", "--prefix", "x").returncode == 0
    for n, (how, files) in enumerate([("concat", sorted(rotated)), ("merge", sorted(rotated)), ("merge", interfaces)]):
        out = tmp_path / ("%s%d" % (how, n))
        assert cli("split", *files, out, "--combine", how, "--prefix", "x", "--quiet").returncode == 0
        assert contents(out) == contents(tmp_path / "whole") and len(contents(out)) == 30
    cooked = write(tmp_path / "cooked.pcap", pcap_bytes([], linktype=113))
    r = cli("archive", rotated[0], cooked, tmp_path / "x.vexlor", "--combine", "merge")
    assert r.returncode == 1 and b"captures read as one must share a link type" in r.stderr


def test_a_set_of_archives_is_queried_as_the_union_of_its_archives(tmp_path):
    src = capture_tree(tmp_path / "in")
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
    # One pcap of the set's chosen flows: the archives' own extracts, merged in time order.
    parts = [record for m in members for record in read_pcap(cli("extract", m, "--port", "80").stdout)[1]]
    assert cli("extract", tmp_path / "set", "--port", "80", "-o", tmp_path / "all.pcap").returncode == 0
    assert read_pcap((tmp_path / "all.pcap").read_bytes()) == (1, sorted(parts, key=lambda r: r[:2])) and parts
    bad = cli("flows", tmp_path / "set", "--since", "yesterday")
    assert bad.returncode == 2 and b"invalid value 'yesterday' for --since" in bad.stderr
    # Seconds may be left out; a lower bound finer than a microsecond is rounded up, never down.
    minute = int(since) - int(since) % 60
    text = time.strftime("%Y-%m-%d %H:%M", time.gmtime(minute))
    assert rows(tmp_path / "set", "--since", text) == rows(tmp_path / "set", "--since", str(minute))
    assert rows(tmp_path / "set", "--since", "1700000020.0000041") == rows(tmp_path / "set", "--since", "%.6f" % since)
    # A set lists its archive column when nothing is found too; its manifest is no place for a listing.
    assert cli("flows", tmp_path / "set", "--ip", "192.0.2.99", "--format", "csv").stdout.startswith(b"archive,id,")
    r = cli("flows", tmp_path / "set", "-o", tmp_path / "set" / "vexlor-manifest.jsonl")
    assert r.returncode == 1 and b"is the input" in r.stderr


def split_files(directory):
    """A split's files by flow name, without the stem of the input they were named after."""
    return {name.split("_", 1)[1]: data for name, data in contents(directory).items()}


def test_a_low_descriptor_limit_is_shared_by_files_inputs_and_runs(tmp_path):
    """Under a limit of 48 descriptors: 300 flows of three gzip pieces read as one, and four inputs at once; the
    files are those of a run without the limit."""
    frames = [frame("10.1.%d.1" % (f // 200), "192.0.2.1", 6, 1024 + f, 80, bytes([f & 0xFF]) * 60) for f in range(300)]
    packets = [(1700000000 + i // 100, i % 10**6, frames[i % 300]) for i in range(900)]
    whole = write(tmp_path / "whole.pcap", pcap_bytes(packets))
    for i in range(3):
        write(tmp_path / "pieces" / ("p%d.pcap.gz" % i), gzip.compress(pcap_bytes(packets[i * 300:(i + 1) * 300])))
    for i in range(4):
        shutil.copy(whole, write(tmp_path / "jobs" / ("c%d.pcap" % i), b""))
    assert cli("split", whole, tmp_path / "ref", "--quiet").returncode == 0

    def low():
        resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))

    for args in (["--combine", "concat", "--writer-threads", "0"], ["--combine", "merge"]):
        r = cli("split", tmp_path / "pieces", tmp_path / args[1], *args, "--quiet", preexec_fn=low)
        assert r.returncode == 0 and split_files(tmp_path / args[1]) == split_files(tmp_path / "ref"), r.stderr
    r = cli("split", tmp_path / "jobs", tmp_path / "each", "--jobs", "4", "--quiet", preexec_fn=low)
    assert r.returncode == 0, r.stderr
    assert all(split_files(tmp_path / "each" / ("c%d" % i)) == split_files(tmp_path / "ref") for i in range(4))


def without_override():
    """The tool run as root meets file permissions all the same: the capabilities that override them are dropped."""
    for cap in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, out of the bounding set (PR_CAPBSET_DROP)
        ctypes.CDLL(None).prctl(24, cap, 0, 0, 0)


# The first record claims more bytes than the file holds.
CUT = pcap_bytes([])[:24] + struct.pack("<IIII", 1, 0, 100000, 100000) + bytes(8214)
# A pcapng of two packets, the second's block damaged by `damage` (its offset in the file, 124, is told).
NG = pcap_bytes([(T, 0, frame("10.0.0.1", "10.0.0.2", 17, 1, 2, b"x"))] * 2, ng=True)


def ng_damaged(damage):
    data = bytearray(NG)
    damage(data)
    return bytes(data)


def gzip_of_more_than_a_window(head):
    """gzip of `head` and then 260 MiB of zeros, made a MiB at a time."""
    z, out = __import__("zlib").compressobj(1, wbits=31), []
    out.append(z.compress(head))
    for _ in range(260):
        out.append(z.compress(bytes(1 << 20)))
    return b"".join(out) + z.flush()


@pytest.mark.parametrize("name, data, options, status, said, entry", [
    ("notes.txt", b"no capture", [], 0, "1 file found in the input directories or by patterns is not a capture",
     None),
    # Damaged compressed captures fail as inputs, however early the damage.
    ("x.pcap.gz", gzip.compress(small_capture(2))[:12], [], 1, "truncated gzip stream at byte 12 of {p}", "failed"),
    ("x.pcap.xz", b"\xfd7zXZ\0" + bytes(20), [], 1, "corrupt xz stream at byte 12 of {p}", "failed"),
    # bzip2 gives out a damaged block before its check fails; data compressed but not a capture is skipped.
    ("x.pcap.bz2", (lambda d: d[:100] + bytes([d[100] ^ 0xFF]) + d[101:])(bz2.compress(small_capture(2))), [], 1,
     "corrupt bzip2 stream at byte ", "failed"),
    ("notes.bz2", bz2.compress(b"no capture" * 100) + b"junk", [], 0, "1 file found in the input directories or by "
     "patterns is not a capture", None),  # bytes after its stream leave it whole, and no capture
    ("x.pcap", 0o000, [], 1, "cannot read {p}: Permission denied", "failed"),
    ("sub/x.pcap", 0o000, [], 1, "vexlor: cannot read {d}: Permission denied\n", None),
    ("x.pcap", None, [], 1, "cannot read {p}: No such file or directory", "failed"),  # a link to nothing
    # A last record cut off: a warning of the input, in its entry too; unless --strict.
    ("x.pcap", CUT, [], 0, "vexlor: warning: {p}: last record cut off at byte 24 (8,230 bytes dropped)\n", "done"),
    ("x.pcap", CUT, ["--strict"], 1, "vexlor: {p}: Invalid PCAP format: packet incl_len 100000", "failed"),
    # pcapng damage the module's reading passes over silently: a block length below 12 (the blocks behind it are
    # lost), a packet of an interface never declared (skipped), a length past what a stream's window holds.
    ("x.pcapng", ng_damaged(lambda d: struct.pack_into("<I", d, 128, 0)), [], 1, "{p}: Invalid PCAP-NG format: block "
     "at byte 124 has a total length of 0, below the 12 bytes of any block", "failed"),
    ("x.pcapng", ng_damaged(lambda d: struct.pack_into("<I", d, 132, 7)), [], 0, "vexlor: warning: {p}: 1 packet of "
     "interfaces the capture never declared skipped\n", "done"),
    ("x.pcapng.gz", gzip_of_more_than_a_window(ng_damaged(lambda d: struct.pack_into("<I", d, 128, 0xFFFFFFF0))), [], 1,
     "{p}: Invalid PCAP-NG format: record at byte 124 claims more than the 256 MiB a record may take", "failed"),
])
def test_each_input_that_is_not_a_whole_capture_is_told(tmp_path, name, data, options, status, said, entry):
    src, out = tmp_path / "in", tmp_path / "out"
    write(src / "a.pcap", small_capture(1))
    p = write(src / name, small_capture(2) if isinstance(data, int) else data or b"")
    if data is None:
        os.remove(p)
        os.symlink(tmp_path / "nowhere", p)
    if isinstance(data, int):
        os.chmod(p if name == "x.pcap" else os.path.dirname(p), data)
    r = cli("archive", src, out, *options, preexec_fn=without_override)
    os.chmod(os.path.dirname(p), 0o755)
    assert r.returncode == status and said.format(p=p, d=os.path.dirname(p)) in r.stderr.decode(), r.stderr
    if not os.path.exists(out):
        assert name.startswith("sub/") and status == 1  # nothing was run
        return
    entries = {e["path"]: e for e in map(json.loads, open(out / "vexlor-manifest.jsonl").readlines()[1:])}
    assert entries.pop(str(src / "a.pcap"))["status"] == "done"
    assert [e["status"] for e in entries.values()] == ([entry] if entry else [])
    if data == CUT and not options:
        assert entries[p]["warning"] == "last record cut off at byte 24 (8,230 bytes dropped)"


def test_inputs_read_as_one_are_each_read_once_and_named(tmp_path):
    """Concatenating reads each input's first packet to order them: a pipe's is kept, not asked for again. A record
    cut off is told of the input that held it, not of the first."""
    a, b = write(tmp_path / "a.pcap", small_capture(1)), write(tmp_path / "b.pcap", small_capture(2)[:-5])
    fifo = tmp_path / "p.pcap"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$1" > "$2"', "sh", b, fifo])
    try:
        piped = cli("split", fifo, a, tmp_path / "piped", "--combine", "concat", "--quiet", timeout=30)
    finally:
        writer.kill()
    files = cli("split", a, b, tmp_path / "files", "--combine", "concat", "--quiet")
    warned = b"vexlor: warning: %s: last record cut off at byte" % b.encode()
    assert files.returncode == 0 and files.stderr.startswith(warned), files.stderr
    assert piped.returncode == 0 and b"warning: %s: last record" % bytes(fifo) in piped.stderr, piped.stderr
    assert split_files(tmp_path / "piped") == split_files(tmp_path / "files")
    assert len(split_files(tmp_path / "files")) == 6
    # Each input's cut-off record is told, not only the last one's.
    c = write(tmp_path / "c.pcap", small_capture(3)[:-5])
    both = cli("split", b, c, tmp_path / "both", "--combine", "merge", "--quiet").stderr
    assert both.startswith(warned) and b"vexlor: warning: %s: last record cut off" % c.encode() in both, both


@pytest.mark.parametrize("command", ["split", "archive"])
def test_an_input_added_beside_another_leaves_what_a_first_run_would(tmp_path, command):
    """b.pcap.gz added beside b.pcap takes both off the name b: b.pcap's old output goes, with its entry."""
    src, out, fresh = tmp_path / "in", tmp_path / "out", tmp_path / "fresh"
    write(src / "b.pcap", small_capture(1)), write(src / "c.pcap", small_capture(2))
    assert cli(command, src, out, "--quiet").returncode == 0
    write(src / "b.pcap.gz", gzip.compress(small_capture(3)))
    assert cli(command, src, out, "--quiet").returncode == 0 and cli(command, src, fresh, "--quiet").returncode == 0
    names = lambda d: [json.loads(line)["name"] for line in open(d / "vexlor-manifest.jsonl").readlines()[1:]]  # noqa
    assert contents(out).keys() == contents(fresh).keys() and names(out) == names(fresh) and len(names(out)) == 3
    # Only an output the job named for that very input goes: not one of an entry without a name (older manifests
    # keyed by input path, here with the inputs below the output directory), nor another input's of the same file.
    top = tmp_path / "top"
    shutil.copytree(src, top / "in")
    assert cli(command, "in", ".", "--quiet", cwd=top).returncode == 0
    lines = (top / "vexlor-manifest.jsonl").read_text().splitlines()
    (top / "vexlor-manifest.jsonl").write_text(
        "\n".join(lines[:1] + [re.sub(r', "name": "[^"]*"', "", line) for line in lines[1:]]) + "\n")
    assert cli(command, "in", ".", "--quiet", cwd=top).returncode == 0 and contents(top / "in") == contents(src)
    os.symlink(src / "c.pcap", write(tmp_path / "other" / "x", b"") and tmp_path / "other" / "d.pcap")
    before = contents(out)
    assert cli(command, tmp_path / "other", out, "--quiet").returncode == 0
    assert {k: v for k, v in contents(out).items() if k in before and "manifest" not in k} == {
        k: v for k, v in before.items() if "manifest" not in k}


def test_an_output_directory_not_writable_is_named(tmp_path):
    cap, out = write(tmp_path / "a.pcap", small_capture(1)), tmp_path / "ro"
    out.mkdir(mode=0o555)
    r = cli("split", cap, out, "--quiet", preexec_fn=without_override)
    assert (r.returncode, r.stderr) == (1, b"vexlor: cannot write %s: Permission denied (os error 13)\n" % bytes(out))


def test_outputs_whose_names_leave_no_room_for_a_suffix_are_made_all_the_same(tmp_path):
    """A split job's NAME.vexlor-partial, an archive's NAME.vexlor.tmp and -o FILE.tmp would not fit in a directory
    entry, though NAME does: they are cut short, told apart by a hash, and leave nothing behind."""
    src, long = tmp_path / "in", "n" * 246
    write(src / (long + ".pcap"), small_capture(2))
    for args in (["split", src, tmp_path / "s"], ["archive", src, tmp_path / "a"],
                 ["table", src / (long + ".pcap"), "-o", tmp_path / ("t" * 255)]):
        r = cli(*args, "--quiet")
        assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(tmp_path / "a")) == [".vexlor-manifest.lock", long + ".vexlor", "vexlor-manifest.jsonl"]
    assert {os.path.dirname(p) for p in contents(tmp_path / "s") if "/" in p} == {long}
    # An output name too long itself fails first, before any work.
    r = cli("archive", src / (long + ".pcap"), tmp_path / ("a" * 250 + ".vexlor"), "--quiet")
    assert r.returncode == 1 and b": Failed to create temp archive file: " in r.stderr
    assert sorted(os.listdir(tmp_path)) == ["a", "in", "s", "t" * 255]


def test_a_second_job_into_the_same_outputs_fails_at_once_touching_nothing(tmp_path):
    out, whole = tmp_path / "out", sessions_bytes(5, 20, 100)
    first = subprocess.Popen([CLI, "split", "--each", "-", out, "--quiet"], stdin=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    first.stdin.write(whole[:len(whole) // 2])
    first.stdin.flush()
    while not (out / "stdin.vexlor-partial").exists() and first.poll() is None:
        time.sleep(0.001)
    second = cli("split", "--each", "-", out, input=whole)
    in_use = b"vexlor: Output directory %s is in use by another run\n" % bytes(out)
    assert (second.returncode, second.stderr) == (1, in_use)
    first.stdin.write(whole[len(whole) // 2:])
    first.stdin.close()
    assert first.wait() == 0, first.stderr.read()
    assert len(contents(out / "stdin")) == 5


def test_a_split_into_a_new_directory_appears_whole_once_done(tmp_path):
    whole, want = sessions_bytes(5, 20, 100), tmp_path / "want"
    want.mkdir()
    assert cli("split", "-", want, "--quiet", input=whole).returncode == 0 and len(contents(want)) == 5
    top = tmp_path / "new"
    out, hidden = top / "out", top / ".out.vexlor-partial"

    def run(rest=whole[len(whole) // 2:], meanwhile=lambda: None, limit=None):
        first = subprocess.Popen([CLI, "split", "-", out, "--quiet"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=limit)
        first.stdin.write(whole[:len(whole) // 2])
        first.stdin.flush()
        while not hidden.exists() and first.poll() is None:
            time.sleep(0.001)
        assert os.listdir(out) == []
        meanwhile()
        first.stdin.write(rest)
        first.stdin.close()
        return first.wait(), first.stderr.read()

    def others_refused():
        others.extend(cli("split", *each, "-", out, input=whole) for each in ([], ["--each"]))
        with pytest.raises(OSError, match="^Output directory %s is in use by another run$" % re.escape(str(out))):
            vexlor.split(write(tmp_path / "c.pcap", whole), str(out))

    # Other runs into the directory are refused while the first is under way; the first's files then appear at once.
    others = []
    assert run(meanwhile=others_refused) == (0, b"")
    assert [(r.returncode, r.stderr) for r in others] == [
        (1, b"vexlor: Output directory %s is in use by another run\n" % bytes(out))] * 2
    assert contents(out) == contents(want) and not hidden.exists()
    # A run that fails leaves nothing, not even the directories made for it (ulimit -f: a file too large).
    shutil.rmtree(top)
    damaged = struct.pack("<IIII", 0, 0, 1 << 20, 1 << 20) + b"x" * 64
    assert run(rest=damaged)[0] == 1 and not top.exists()
    small = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (2000, resource.RLIM_INFINITY))  # noqa: E731
    assert run(limit=small) == (1, b"vexlor: cannot write %s: File too large (os error 27)\n" % bytes(out))
    assert not top.exists() and cli("split", tmp_path / "none.pcap", out).returncode == 1 and not top.exists()
    # What a killed run leaves (an empty OUTDIR and the hidden directory) is cleared and taken over by the next run,
    # unless the hidden directory holds that run's input (named, or on standard input).
    for how in ["", "path", "stdin"]:
        shutil.rmtree(top, ignore_errors=True)
        out.mkdir(parents=True)
        inside = write(hidden / "sub" / "c.pcap", whole)
        with open(inside, "rb") as f:
            r = cli("split", inside if how == "path" else "-", out, "--prefix", "stdin", "--quiet",
                    **(dict(stdin=f) if how == "stdin" else dict(input=whole)))
        assert r.returncode == 0 and contents(out) == contents(want), how
        assert contents(hidden) == ({"sub/c.pcap": whole} if how else {}), how
    # What another program writes into the directory meanwhile is left alone, and the files are kept where they are.
    shutil.rmtree(top)
    assert run(meanwhile=lambda: write(out / "theirs", b"")) == (
        1, b"vexlor: cannot write %s: another program wrote into it while the split ran; the files are in %s\n" % (
            bytes(out), bytes(hidden)))
    assert contents(hidden) == contents(want) and contents(out) == {"theirs": b""}


HEAD = b'{"vexlor_manifest": 1, "command": "archive", "options": ""}\n'


@pytest.mark.parametrize("manifest, message", [
    (None, "no archive in {d}"),  # a directory of captures
    (HEAD, "no archive in {m}"),  # an archive job with nothing done
    (HEAD.replace(b"archive", b"split"), "{m} is the manifest of a split job, not of archives"),
    (HEAD.replace(b"1", b"7", 1), "{m}: manifest version 7 is not one this tool reads"),
    (HEAD + b'{"path": "a\\u00zz"}\n', "damaged manifest {m}: line 2: bad \\u escape at column 12"),
])
def test_flows_and_extract_refuse_what_holds_no_archive(tmp_path, manifest, message):
    d, m = capture_tree(tmp_path / "in"), tmp_path / "in" / "vexlor-manifest.jsonl"
    if manifest:
        m.write_bytes(manifest)
    for command in ("flows", "extract"):
        r = cli(command, m if manifest else d, "--port", "80")
        assert (r.returncode, r.stdout, r.stderr.decode()) == (1, b"", "vexlor: %s\n" % message.format(d=d, m=m))


def test_a_jobs_outputs_inside_its_input_directory_are_not_read_again(tmp_path):
    src = capture_tree(tmp_path / "in")
    for command in ("split", "archive"):
        assert b"3 inputs: 3 done" in cli(command, src, src / ("out-" + command)).stderr
    table = cli("table", src, "--first", "0", "--quiet").stdout
    for command in ("split", "archive"):
        r = cli(command, src, src / ("out-" + command))
        assert b"2 output directories of jobs below" in r.stderr and b"3 inputs: 0 done, 3 already done" in r.stderr
    # The table of the directory is the table of its captures; an output directory named is read. A link to a
    # directory is not followed, but told.
    os.symlink(src / "day1", src / "again")
    assert cli("table", src, "--first", "0", "--quiet").stdout == table
    r = cli("archive", src, tmp_path / "linked")
    assert b"1 link to a directory below the input directories: not followed" in r.stderr and r.returncode == 0
    files = [p for p in contents(src / "out-split") if p.endswith(".pcap")]
    assert cli("table", src / "out-split", "--quiet").stdout.count(b"\n") == 1 + len(files) > 1


def test_an_input_that_grows_while_its_job_reads_it_is_done_again(tmp_path):
    """The manifest keeps the size and time the input had when its run began: the packets added while it was read
    are split by the next run, not taken as done."""
    src, out = tmp_path / "in", tmp_path / "out"
    rec = frame("10.0.0.1", "10.0.0.2", 17, 1, 2, b"x" * 100)
    for n in (1 << 17, 1 << 19, 1 << 21):
        cap = pathlib.Path(write(src / "a.pcap", pcap_bytes([(T, 0, rec)] * n)))
        shutil.rmtree(out, ignore_errors=True)
        run = subprocess.Popen([str(CLI), "split", str(src), str(out), "--quiet"])
        caught = False
        while run.poll() is None and not caught:
            try:
                caught = str(cap) in pathlib.Path("/proc/%d/maps" % run.pid).read_text()
            except OSError:
                pass
        if caught:
            run.send_signal(19)  # SIGSTOP: the packets are added while the input is read
            with open(cap, "ab") as f:
                f.write(pcap_bytes([(T, 1, rec)])[24:])
            run.send_signal(18)  # SIGCONT
        assert run.wait() == 0
        if caught:
            break
    else:
        pytest.skip("every run ended before it could be seen reading its input")
    assert b"1 done, 0 already done" in cli("split", src, out).stderr


def test_a_jobs_own_output_directory_is_not_read_for_inputs_on_any_run(tmp_path):
    """Captures that were in the output directory before the first run are not inputs of that run either, so that
    every run (a killed one's rerun too) reads the same inputs; named directly, one is read."""
    src = capture_tree(tmp_path / "in")
    old = pathlib.Path(write(src / "out" / "old.pcap", small_capture(9)))
    for said in (b"3 inputs: 3 done", b"3 inputs: 0 done, 3 already done"):
        r = cli("split", src, src / "out")
        assert said in r.stderr and b"1 output directory of jobs below" in r.stderr
    assert not (src / "out" / "old").exists() and old.read_bytes() == small_capture(9)
    assert b"4 inputs: 1 done, 3 already done" in cli("split", src, old, src / "out").stderr
    # Nor do a pattern's matches there count, folders or files: the same job named by a pattern.
    assert b"3 inputs: 0 done, 3 already done" in cli("split", str(src) + "/*/*", src / "out/").stderr


@pytest.mark.parametrize("command, args, dest", [
    ("table", ["{cap}"], "{cap}"),
    ("table", ["{dir}"], "{link}"),  # another name of a capture found in a directory
    ("bytes", ["{cap}", "--first", "8"], "{cap}"),
    ("flows", ["{arc}"], "{arc}"),
    ("flows", ["{dir}"], "{dir}/b.vexlor"),
    ("extract", ["{arc}", "--port", "80"], "{arc}"),
])
def test_an_output_that_is_an_input_is_refused_and_the_input_kept(tmp_path, command, args, dest):
    d = tmp_path / "d"
    cap = write(d / "a.pcap", small_capture(1))
    os.link(cap, tmp_path / "link.pcap")
    assert cli("archive", cap, d / "b.vexlor", "--quiet").returncode == 0
    names = {"cap": cap, "dir": d, "arc": d / "b.vexlor", "link": tmp_path / "link.pcap"}
    before = contents(tmp_path)
    r = cli(command, *[a.format(**names) for a in args], "-o", dest.format(**names))
    assert r.returncode == 1 and b"vexlor: Output path " in r.stderr and b" is the input " in r.stderr, r.stderr
    assert contents(tmp_path) == before


@pytest.mark.parametrize("args, message", [
    (["archive", "{d}/a.pcap", "{d}/b.pcap.gz"], "Output path {d}/b.pcap.gz is a capture, not an archive: name the "
                                                 "archive last (or remove the file to replace it)"),
    (["split", "{d}", "{d}/."], "Output directory {d}/. is the input directory {d}: give one outside it or below it"),
    (["archive", "{d}", "{d}"], "Output directory {d} is the input directory {d}: give one outside it or below it"),
    (["table", "{d}/a.pcap", "-o", "{d}/sub"], "Output path {d}/sub is a directory"),
    (["bytes", "{d}/a.pcap", "--first", "4", "-o", "{d}/sub"], "Output path {d}/sub is a directory"),
])
def test_outputs_that_would_lose_data_are_refused_before_any_work(tmp_path, args, message):
    d = tmp_path / "d"
    write(d / "a.pcap", small_capture(1))
    write(d / "b.pcap.gz", gzip.compress(small_capture(2)))
    (d / "sub").mkdir()
    before = contents(tmp_path)
    r = cli(*[a.format(d=d) for a in args])
    assert (r.returncode, r.stderr.decode()) == (1, "vexlor: %s\n" % message.format(d=d))
    assert contents(tmp_path) == before


@pytest.mark.parametrize("command", ["table", "bytes"])
def test_a_second_run_into_the_same_output_file_fails_at_once(tmp_path, command):
    data, out = small_capture(1), tmp_path / "t.out"
    args = [command, "-", "-o", out, "--quiet"] + (["--first", "4"] if command == "bytes" else [])
    first = subprocess.Popen([CLI, *map(str, args)], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    first.stdin.write(data[:100])
    first.stdin.flush()
    deadline = time.monotonic() + 10
    while not (tmp_path / "t.out.tmp").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    second = cli(*args, input=data)
    assert (second.returncode, second.stderr) == (1, b"vexlor: Output path %s is in use by another run\n" % bytes(out))
    first.stdin.write(data[100:])
    first.stdin.close()
    assert first.wait() == 0 and first.stderr.read() == b""
    alone = cli(*[a if a != out else tmp_path / "alone" for a in args], input=data)
    assert alone.returncode == 0 and out.read_bytes() == (tmp_path / "alone").read_bytes()


@pytest.mark.parametrize("command, out", [("split", "o"), ("archive", "a.vexlor"), ("table", "t.csv")])
def test_a_named_pipe_is_read_as_a_stream_like_standard_input(tmp_path, command, out):
    data, fifo = gzip.compress(CAPTURE), tmp_path / "in.pcap"
    os.mkfifo(fifo)
    # A tool that opened the pipe to look and closed it again could let the writer finish into no reader, then wait
    # for a writer forever: the timeout makes that a failure.
    writer = subprocess.Popen(["sh", "-c", 'cat > "$1"', "sh", fifo], stdin=subprocess.PIPE)
    writer.stdin.write(data)
    writer.stdin.close()
    dest = ["-o"] * (command == "table")
    try:
        piped = cli(command, fifo, *dest, tmp_path / ("pipe-" + out), "--quiet", timeout=30)
    finally:
        writer.kill()
    assert (piped.returncode, piped.stderr, writer.wait()) == (0, b"", 0)
    plain = cli(command, write(tmp_path / "file" / "in.pcap", CAPTURE), *dest, tmp_path / ("file-" + out), "--quiet")
    assert plain.returncode == 0
    got, want = tmp_path / ("pipe-" + out), tmp_path / ("file-" + out)
    if command == "split":
        assert contents(got) == contents(want) and len(contents(got)) == 7
    elif command == "table":  # the input column names the path
        assert got.read_text().replace(str(fifo), "IN") == want.read_text().replace(str(want.parent / "file" / "in.pcap"), "IN")
    else:
        assert got.read_bytes() == want.read_bytes()
