"""Jobs over many captures from Python: run here they give the tool's own outputs; as the tasks of a Dask cluster of
worker processes they give the same bytes, a worker killed mid-task included; a broken input is reported and the
others complete."""
import gzip, os, signal, stat, subprocess, sys

import pytest

from conftest import CLI, T, capture, capture_tree, contents, frame, needs_cli, sessions_bytes, small_capture, write

pytestmark = needs_cli
vd = pytest.importorskip("vexlor_dataset")


def tree(root):
    """contents(root), with the job manifest's paths made relative to root."""
    return {k: v.replace(os.fsencode(root), b"OUT") if k.endswith(".jsonl") else v for k, v in contents(root).items()}


def make_inputs(root, big=0):
    """The tree of captures, with a.pcap.gz beside a.pcap (their outputs must be named apart), a bigger capture
    deeper down and a broken one (gzip cut short)."""
    capture_tree(root)
    write(root / "day1" / "a.pcap.gz", gzip.compress(sessions_bytes(7, 30, 200, ipv6_every=2)))
    write(root / "day2" / "deep" / "d.pcap", sessions_bytes(9, 60 + big, 300 + 10 * big))
    write(root / "day2" / "broken.pcap.gz", gzip.compress(sessions_bytes(3, 20, 100))[:-40])
    return str(root)


INPUTS = ["day1/a.pcap", "day1/a.pcap.gz", "day1/b.pcap.gz", "day2/broken.pcap.gz", "day2/deep/d.pcap",
          "day2/nested/c.pcapng.xz"]
DONE = [name != "day2/broken.pcap.gz" for name in INPUTS]  # once the job has run


@pytest.mark.parametrize("in_thread", [False, True])
def test_a_ctrl_c_at_the_terminal_stops_a_job_run_here_leaving_nothing_begun(tmp_path, in_thread):
    """A terminal sends SIGINT to its whole foreground group: the tool hears it, and Python passes it on a moment
    later, which must not end the tool before it cleared away what it had begun.  A job run on a thread of its
    own (which no KeyboardInterrupt reaches) stops all the same."""
    src, out = tmp_path / "in", tmp_path / "out"
    data = capture([(T, 0, frame("10.0.0.1", "10.0.0.2", 17, 1, 2, b"x" * 100))] * (1 << 18))
    for i in range(3):
        write(src / ("c%d.pcap" % i), data)
    code = "import sys, threading, vexlor_dataset as v; run = lambda: v.split(sys.argv[1], sys.argv[2], jobs=1)\n"
    code += "t = threading.Thread(target=run); t.start(); t.join()" if in_thread else "run()"
    job = subprocess.Popen([sys.executable, "-c", code, str(src), str(out)], start_new_session=True,
                           stderr=subprocess.DEVNULL, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while job.poll() is None and not list(out.glob("*.vexlor-partial")):
        pass
    os.killpg(job.pid, signal.SIGINT)
    assert job.wait() != 0 and not [p for p in out.rglob("*") if "partial" in p.name or p.name.endswith(".tmp")]
    assert len(list(out.glob("c*"))) < 3


@pytest.mark.parametrize("command, options, cli_options", [
    ("split", {"strategy": "host", "max_sessions": 3}, ["--strategy", "host", "--max-sessions", "3"]),
    ("split", {"port": [80, 443], "output_type": "l7"}, ["--port", "80", "--port", "443", "--output-type", "l7"]),
    ("archive", {}, []),
])
def test_a_job_run_here_gives_the_tools_outputs_and_reads_its_manifest(tmp_path, capfd, command, options,
                                                                       cli_options):
    src = make_inputs(tmp_path / "in")
    by_cli = subprocess.run([str(CLI), command, src, str(tmp_path / "cli"), "-j", "2", "--quiet", *cli_options])
    assert by_cli.returncode == 1
    capfd.readouterr()  # the tool's message of the broken input
    plan, seen = vd.plan_job(command, src, tmp_path / "api", **options), []
    assert [p.done for p in plan] == [False] * 6 and {p.root for p in plan} == {src + "/"}
    result = getattr(vd, command)(src, tmp_path / "api", jobs=2, progress=lambda *n: seen.append(n), **options)
    # Progress goes from nothing done to everything, only forward, and nothing is shown unless asked.
    assert seen[0] == (0, 6) and seen[-1] == (6, 6) and seen == sorted(seen) and capfd.readouterr().err == ""
    assert tree(tmp_path / "api") == tree(tmp_path / "cli")
    assert [os.path.relpath(r.path, src) for r in result] == INPUTS
    assert [r.status for r in result] == [["failed", "done"][d] for d in DONE] and not result.ok
    broken = result[os.path.join(src, "day2/broken.pcap.gz")]
    assert "truncated gzip" in broken.error and not os.path.exists(broken.output)
    assert result[0].output == str(tmp_path / "api" / "day1" / "a.pcap") + (".vexlor" if command == "archive" else "")
    if not options:
        assert (result[0].packets, result[0].flows, result[0].link_type) == (12, 3, 1) and result.packets == 786
    with pytest.raises(vd.ToolError, match="1 of 6 inputs failed: .*broken.pcap.gz"):
        result.check()
    # The tool's job and this one are the same job: nothing is left to do in either directory but the broken input.
    again = vd.run_job(command, [src], tmp_path / "cli", progress=True, **options)
    assert [r.skipped for r in again] == DONE and tree(tmp_path / "cli") == tree(
        tmp_path / "api") and "6/6" in capfd.readouterr().err
    assert [p.done for p in vd.plan_job(command, src, tmp_path / "api", **options)] == DONE
    # Inputs spelt otherwise are the same inputs, done already.
    assert [r.skipped for r in vd.run_job(command, os.path.relpath(src), tmp_path / "api", **options)] == DONE


@pytest.mark.parametrize("call, message", [
    (lambda s, o: vd.split(s, o, bogus=1), "unknown option '--bogus'"),
    (lambda s, o: vd.split(s, o, strategy="nope"), "unknown strategy"),
    (lambda s, o: vd.split(s, o, combine="merge"), "not an option of a job"),
    (lambda s, o: vd.split(s, o, jobs=0), "jobs must be a whole number"),
    (lambda s, o: vd.run_job("merge", s, o), "unknown command"),
    (lambda s, o: vd.split(os.path.join(s, "day2", "none*.pcap"), o), "no file matches"),
    (lambda s, o: vd.split([], o), "no input"),
    # day1/a.pcap and a.pcap named alone would both give a.pcap (beside day1/a.pcap.gz).
    (lambda s, o: vd.split([os.path.join(s, "day1"), write(os.path.join(s, "x", "a.pcap"), small_capture(9))], o),
     "would both be written to"),
    # Inputs named like the job's own files (its manifest, its lock, a split's partial output).
    *[(lambda s, o, n=n: vd.split([os.path.join(s, "day1"), write(os.path.join(s, "y", n), small_capture(9))], o),
       "a name the job keeps for its own files")
      for n in ("vexlor-manifest.jsonl.pcap", ".vexlor-manifest.lock.pcap", "a.vexlor-partial.pcap")],
])
def test_mistakes_of_use_raise_and_run_nothing(tmp_path, call, message):
    src = make_inputs(tmp_path / "in")
    with pytest.raises(vd.ToolError, match=message):
        call(src, str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


# ---- on a Dask cluster of worker processes ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="400MiB",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


def test_a_cluster_job_names_an_input_redone_beside_a_done_one_as_a_local_job_does(tmp_path, client):
    """a.pcap.gz changed beside a.pcap, done: the task reads both (the done one is skipped), so that the output is
    named apart from a.pcap's, as here."""
    src = make_inputs(tmp_path / "in")
    for out in ("here", "there"):
        vd.archive(src, tmp_path / out)
    os.utime(os.path.join(src, "day1", "a.pcap.gz"), (1, 1))
    vd.archive(src, tmp_path / "here")
    vd.archive(src, tmp_path / "there", client=client)
    assert tree(tmp_path / "there") == tree(tmp_path / "here") and "day1/a.pcap.gz.vexlor" in tree(tmp_path / "here")


@pytest.mark.parametrize("command", ["split", "archive"])
def test_a_cluster_job_gives_the_local_jobs_bytes_a_worker_killed_mid_task_included(tmp_path, client, command,
                                                                                    monkeypatch):
    """A split goes through the client, and its first run of the tool on the biggest input kills its own worker
    process once it is writing (watched for without pauses: the split takes milliseconds); the scheduler reruns
    that task on another worker, and the outputs are those of a job that never failed. An archive goes through the
    scheduler's address (a client of the job's own)."""
    src = make_inputs(tmp_path / "in", big=400)
    here = getattr(vd, command)(src, tmp_path / "here", jobs=2)
    killer = tmp_path / "killer.sh"
    killer.write_text("""#!/bin/sh
echo "$*" >> {calls}
case "$*" in */deep/d.pcap*) if mkdir {mark} 2>/dev/null; then
  worker=$PPID
  (i=0; while [ $i -lt 100000 ]; do [ -d {partial} ] && touch {mark}/mid && break; i=$((i+1)); done
   kill -9 $worker) &
fi;; esac
exec {real} "$@"
""".format(mark=tmp_path / "killed", partial=tmp_path / "there" / "day2" / "deep" / "d.vexlor-partial", real=CLI,
               calls=tmp_path / "calls"))
    killer.chmod(killer.stat().st_mode | stat.S_IXUSR)
    pids, wrapper = set(client.run(os.getpid).values()), str(killer) if command == "split" else str(CLI)
    client.run(lambda: os.environ.update(VEXLOR_TOOL=wrapper))  # a lambda goes by value, with os by name
    try:
        there = getattr(vd, command)(src, tmp_path / "there", progress=True,
                                     client=client if command == "split" else client.scheduler.address)
    finally:
        client.run(lambda: os.environ.pop("VEXLOR_TOOL", None))
    client.wait_for_workers(2)
    assert command != "split" or (tmp_path / "killed" / "mid").exists() and len(
        pids & set(client.run(os.getpid).values())) == 1
    # Two workers share this host: a task's split runs without writer threads, as the tool's --jobs 2 does.
    calls = (tmp_path / "calls").read_text().splitlines() if command == "split" else ["--writer-threads=0"]
    assert calls and all("--writer-threads=0" in line for line in calls)
    assert tree(there.outdir) == tree(here.outdir) and len(tree(here.outdir)) > 5
    assert [(r.path, r.status, r.packets, r.error) for r in there] == [(r.path, r.status, r.packets, r.error)
                                                                     for r in here]
    # Run again, only the broken input is a task.
    assert [r.skipped for r in vd.run_job(command, src, tmp_path / "there", client=client)] == DONE
    # Relative paths, the workers' own directory elsewhere: the manifest and the result spell them as here.
    monkeypatch.chdir(tmp_path)
    cwd, elsewhere = client.run(os.getcwd), tmp_path / "elsewhere"
    elsewhere.mkdir()
    client.run(os.chdir, str(elsewhere))
    try:
        remote = vd.run_job(command, os.path.relpath(src), "rel", client=client)
    finally:
        client.run(os.chdir, next(iter(cwd.values())))
    os.rename("rel", "remote")
    local = getattr(vd, command)(os.path.relpath(src), "rel", jobs=2)
    assert contents("remote") == contents("rel") and list(remote) == list(local)
    # Inputs a local job did, spelt otherwise there (relative), are done for a cluster job (which spells them whole).
    again = vd.run_job(command, src, tmp_path / "rel", client=client)
    assert [(r.skipped, r.status) for r in again] == [(d, r.status) for d, r in zip(DONE, local)]


def test_the_progress_bar_counts_the_bytes_of_the_inputs_that_ended():
    from vexlor_dataset.progress import Progress
    bar = Progress(False, 3, sizes=[100, 1, 1])
    bar.update(2, size=2)  # the two small inputs ended first: not the first two sizes
    assert (bar.done, bar.bytes, bar.total_bytes) == (2, 2, 102)
    bar.update(3, size=102)
    assert (bar.done, bar.bytes) == (3, 102)
