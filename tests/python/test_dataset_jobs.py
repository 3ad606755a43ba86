"""Jobs over many captures from Python: run here they give the tool's own outputs; as the tasks of a Dask cluster of
worker processes they give the same bytes, a worker killed mid-task included; a broken input is reported and the
others complete."""
import gzip, os, stat, subprocess

import pytest

from conftest import CLI, capture, contents, frame, needs_cli, sessions_bytes, write

pytestmark = needs_cli
vd = pytest.importorskip("vexlor_dataset")


def tree(root):
    """contents(root), with the job manifest's paths made relative to root."""
    return {k: v.replace(os.fsencode(root), b"OUT") if k.endswith(".jsonl") else v for k, v in contents(root).items()}


def make_inputs(root, big=0):
    """Four captures in two nested directories (one compressed, one pcapng, and a.pcap beside a.pcap.gz, whose
    outputs must be named apart), a broken one (gzip cut short) and a file that is not a capture."""
    write(root / "day1" / "a.pcap", sessions_bytes(5, 40, 120))
    write(root / "day1" / "a.pcap.gz", gzip.compress(sessions_bytes(7, 30, 200, ipv6_every=2)))
    write(root / "day2" / "c.pcapng", capture([(1700000000, n, frame("10.9.0.1", "192.0.2.%d" % (n % 4 + 1), 6,
                                                                   2000 + n % 4, 443, b"x" * n)) for n in range(30)],
                                                  ng=True))
    write(root / "day2" / "deep" / "d.pcap", sessions_bytes(9, 60 + big, 300 + 10 * big))
    write(root / "day2" / "broken.pcap.gz", gzip.compress(sessions_bytes(3, 20, 100))[:-40])
    write(root / "notes.txt", b"not a capture")
    return str(root)


@pytest.mark.parametrize("command, options, cli_options", [
    ("split", {"strategy": "host", "max_sessions": 3}, ["--strategy", "host", "--max-sessions", "3"]),
    ("split", {"port": [80, 443], "output_type": "l7"}, ["--port", "80", "--port", "443", "--output-type", "l7"]),
    ("archive", {}, []),
])
def test_a_job_run_here_gives_the_tools_outputs_and_reads_its_manifest(tmp_path, command, options, cli_options):
    src = make_inputs(tmp_path / "in")
    by_cli = subprocess.run([str(CLI), command, src, str(tmp_path / "cli"), "-j", "2", "--quiet", *cli_options])
    assert by_cli.returncode == 1
    result = vd.run_job(command, src, tmp_path / "api", jobs=2, **options)
    assert tree(tmp_path / "api") == tree(tmp_path / "cli")
    assert [os.path.relpath(r.path, src) for r in result] == [
        "day1/a.pcap", "day1/a.pcap.gz", "day2/broken.pcap.gz", "day2/c.pcapng", "day2/deep/d.pcap"]
    assert [r.status for r in result] == ["done", "done", "failed", "done", "done"] and not result.ok
    broken = result[os.path.join(src, "day2/broken.pcap.gz")]
    assert "truncated gzip" in broken.error and not os.path.exists(broken.output)
    assert result[0].output == str(tmp_path / "api" / "day1" / "a.pcap") + (".vexlor" if command == "archive" else "")
    if not options:
        assert (result[0].packets, result[0].flows, result[0].link_type) == (200, 5, 1) and result.packets == 980
    with pytest.raises(vd.ToolError, match="1 of 5 inputs failed: .*broken.pcap.gz"):
        result.check()
    # The tool's job and this one are the same job: nothing is left to do in either directory but the broken input.
    again = vd.run_job(command, [src], tmp_path / "cli", **options)
    assert [r.skipped for r in again] == [True, True, False, True, True] and tree(tmp_path / "cli") == tree(
        tmp_path / "api")


@pytest.mark.parametrize("call, message", [
    (lambda s, o: vd.split(s, o, bogus=1), "unknown option '--bogus'"),
    (lambda s, o: vd.split(s, o, strategy="nope"), "unknown strategy"),
    (lambda s, o: vd.split(s, o, combine="merge"), "not an option of a job"),
    (lambda s, o: vd.split(s, o, jobs=0), "jobs must be a whole number"),
    (lambda s, o: vd.run_job("merge", s, o), "unknown command"),
    (lambda s, o: vd.split(os.path.join(s, "day2", "none*.pcap"), o), "no file matches"),
    (lambda s, o: vd.split([], o), "no input"),
    # day1/a.pcap and a.pcap named alone would both give a.pcap (beside day1/a.pcap.gz).
    (lambda s, o: vd.split([os.path.join(s, "day1"), write(os.path.join(s, "x", "a.pcap"), capture([]))], o),
     "would both be written to"),
])
def test_mistakes_of_use_raise_and_run_nothing(tmp_path, call, message):
    src = make_inputs(tmp_path / "in")
    with pytest.raises(vd.ToolError, match=message):
        call(src, str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


def test_plan_and_progress(tmp_path, capfd):
    src = make_inputs(tmp_path / "in")
    plan = vd.plan_job("split", src, tmp_path / "out")
    assert [p.done for p in plan] == [False] * 5 and {p.root for p in plan} == {src + "/"}
    seen = []
    vd.split(src, tmp_path / "out", jobs=1, progress=lambda done, total: seen.append((done, total)))
    assert seen[0] == (0, 5) and seen[-1] == (5, 5) and seen == sorted(seen)
    assert capfd.readouterr().err == ""  # silent unless asked
    vd.split(src, tmp_path / "out", progress=True)
    assert "5/5" in capfd.readouterr().err
    assert [p.done for p in vd.plan_job("split", src, tmp_path / "out")] == [True, True, False, True, True]


# ---- on a Dask cluster of worker processes ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="400MiB",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("command", ["split", "archive"])
def test_a_cluster_job_gives_the_local_jobs_bytes(tmp_path, client, command):
    src = make_inputs(tmp_path / "in")
    here = vd.run_job(command, src, tmp_path / "here", jobs=2)
    # A split through the client, an archive through the scheduler's address (a client of the job's own).
    there = vd.run_job(command, src, tmp_path / "there", progress=True,
                       client=client if command == "split" else client.scheduler.address)
    assert tree(tmp_path / "there") == tree(tmp_path / "here") and len(tree(tmp_path / "here")) > 5
    assert [(r.path, r.status, r.packets, r.error) for r in there] == [(r.path, r.status, r.packets, r.error)
                                                                     for r in here]
    # Run again, only the broken input is a task.
    assert [r.skipped for r in vd.run_job(command, src, tmp_path / "there", client=client)] == [
        True, True, False, True, True]


def test_a_worker_killed_mid_task_is_survived_with_the_same_outputs(tmp_path, client):
    """The first run of the tool on the biggest input kills its own worker process once it is writing (watched for
    without pauses: the split takes milliseconds); the scheduler reruns that task on another worker, and the
    outputs are those of a job that never failed."""
    src = make_inputs(tmp_path / "in", big=400)
    expected = tree(vd.split(src, tmp_path / "here", jobs=2).outdir)
    killer = tmp_path / "killer.sh"
    killer.write_text("""#!/bin/sh
case "$*" in */deep/d.pcap*) if mkdir {mark} 2>/dev/null; then
  worker=$PPID
  (i=0; while [ $i -lt 100000 ]; do [ -d {partial} ] && touch {mark}/mid && break; i=$((i+1)); done
   kill -9 $worker) &
fi;; esac
exec {real} "$@"
""".format(mark=tmp_path / "killed", partial=tmp_path / "there" / "day2" / "deep" / "d.vexlor-partial", real=CLI))
    killer.chmod(killer.stat().st_mode | stat.S_IXUSR)
    pids = set(client.run(os.getpid).values())
    wrapper = str(killer)
    client.run(lambda: os.environ.update(VEXLOR_TOOL=wrapper))  # a lambda goes by value, with os by name
    try:
        result = vd.split(src, tmp_path / "there", client=client)
    finally:
        client.run(lambda: os.environ.pop("VEXLOR_TOOL", None))
    client.wait_for_workers(2)
    assert (tmp_path / "killed" / "mid").exists() and len(pids & set(client.run(os.getpid).values())) == 1
    assert tree(tmp_path / "there") == expected
    assert [r.status for r in result] == ["done", "done", "failed", "done", "done"]
