#!/usr/bin/env python3
"""Benchmark suite: every public operation of vexlor on synthetic captures,
next to the tools a user would otherwise reach for.

    run_bench.py [--size S|L] [--rounds 3] [--only REGEX] [--quick] [--install]
                 [--scratch /tmp/vexlor-bench] [--outputs DIR] [--settle SECONDS]
                 [--delete-each-run] [--markdown PATH] [--json PATH]

Run it with the interpreter that has vexlor installed (and dpkt, for the
dpkt baseline).  Inputs are generated into the scratch directory the first
time (bench/gen_capture.py, fixed seed, so they are the same bytes on every
machine) and kept; the archives the read-side scenarios need are rebuilt on
every run, so they always come from the library being measured.

Every scenario runs as its own process, once per round, the rounds going
round robin over all scenarios and baselines.  The page cache is warm: the
inputs are read once before the first round.  The `cat` baseline runs three
times at the start of every round (after one untimed run before the first
round), and each scenario's wall time is also given as a multiple of the
fastest of those three: the "× cat" column, which makes rounds taken under
different machine load comparable.  The table shows medians over the rounds.
Outputs go to SCRATCH/out, or with --outputs to another directory (on tmpfs,
for example, to take the file system's cost of creating files out of the
picture).

After every run its output directory is moved aside (renamed into
SCRATCH/trash, or DIR.trash next to --outputs DIR: the same file system, so
it takes no time) and synced, and the moved outputs are deleted only after
the last round.  Deleting tens of thousands of files makes the file system
slower at creating files for minutes afterwards (ext4 mounted with
`discard` spends up to 2.5 times the kernel time), which a run right after
the deletion would pay for.  When the free space after the first round
cannot hold the remaining rounds' outputs (with a margin), the outputs are
deleted at the end of every round instead, followed by a sync and the
--settle wait; the log says so.  --delete-each-run deletes every run's
outputs before the next run (the former method).

Baselines: `cat`, `editcap`, `tcpdump` (when installed), a dpkt script, and
floor_split.c, compiled with `cc -O2` into the scratch directory: the
smallest C splitter that does the same file work as `split` with default
options, by session and by host, the floor of what a split costs on the
machine.

Columns: wall = process start to exit, as a user waits for it; call = the
vexlor calls alone, measured inside the process (wall minus interpreter
start-up and import); user/sys = CPU time of the process and its threads;
RSS = peak resident set (VmHWM: heap, stacks and the touched pages of mapped
files); anon = peak anonymous memory (RssAnon: heap and stacks, without the
file mappings).  Both are sampled from /proc every 10 ms, and the Python
scenarios add their own reading at the end.  Mpkt/s = input packets / wall.
"""
import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
GEN = os.path.join(HERE, "gen_capture.py")
WORKER = os.path.join(HERE, "bench_worker.py")
DPKT_SPLIT = os.path.join(HERE, "dpkt_split.py")
FLOOR_SPLIT = os.path.join(HERE, "floor_split.c")
FLOOR_NAME = "floor C splitter"

# name -> generator arguments.  "flows" is the capture of tiny sessions behind
# the archive that the lookups are measured on.
SIZES = {
    "Q": {"packets": 20_000, "sessions": 200},
    "S": {"packets": 200_000, "sessions": 2_000},
    "L": {"packets": 2_000_000, "sessions": 20_000},
}
FLOWS_FULL = 1_000_000
FLOWS_QUICK = 10_000
SAMPLE_INTERVAL = 0.010


# ---------------------------------------------------------------- inputs


def generate(path, gen_args):
    """Runs the generator unless `path` exists and was made with the same
    arguments (recorded next to it)."""
    stamp = path + ".args.json"
    want = json.dumps(gen_args, sort_keys=True)
    if os.path.exists(path) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == want:
                return
    argv = [sys.executable, GEN, path + ".part"]
    for k, v in gen_args.items():
        argv += ["--" + k.replace("_", "-"), str(v)]
    log(f"generating {os.path.basename(path)} ({' '.join(argv[3:])})")
    subprocess.run(argv, check=True)
    os.replace(path + ".part", path)
    with open(stamp, "w") as f:
        f.write(want)


def build_archive(python, capture, archive, scratch):
    tmp = os.path.join(scratch, "archive-build")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    log(f"building {os.path.basename(archive)} from {os.path.basename(capture)}")
    subprocess.run([python, WORKER, "create_archive:session", capture, tmp], check=True,
                   stdout=subprocess.DEVNULL)
    os.replace(os.path.join(tmp, "out.vexlor"), archive)
    shutil.rmtree(tmp)


def warm(path):
    with open(path, "rb", buffering=0) as f:
        while f.read(8 << 20):
            pass


# ---------------------------------------------------------------- scenarios


class Scenario:
    """One measured command.  `argv(paths, out)` gives the command line;
    `stdout_to` names the file its standard output goes to (inside `out`),
    otherwise it is kept for the JSON line of bench_worker.py."""

    def __init__(self, name, argv, packets_of=None, stdout_to=None):
        self.name = name
        self.argv = argv
        self.packets_of = packets_of  # key of the input whose packet count gives Mpkt/s
        self.stdout_to = stdout_to


def build_floor(scratch):
    """Compiles floor_split.c into the scratch directory unless the binary
    there is newer than the source; returns its path, or None when the C
    compiler is missing or fails."""
    binary = os.path.join(scratch, "floor_split")
    if os.path.exists(binary) and os.path.getmtime(binary) >= os.path.getmtime(FLOOR_SPLIT):
        return binary
    cc = shutil.which("cc")
    if not cc:
        log("no C compiler (cc): the floor splitter is left out")
        return None
    log(f"compiling {os.path.basename(FLOOR_SPLIT)}")
    r = subprocess.run([cc, "-O2", "-o", binary + ".part", FLOOR_SPLIT],
                       capture_output=True, text=True)
    if r.returncode != 0:
        log(f"compiling the floor splitter failed: the floor is left out\n{r.stderr}")
        return None
    os.replace(binary + ".part", binary)
    return binary


def scenarios(python, floor_binary):
    def worker(scenario, input_key):
        return lambda p, out: [python, WORKER, scenario, p[input_key], out]

    out = [
        Scenario("cat > file", lambda p, out: ["cat", p["capture"]], "capture",
                 stdout_to="cat.pcap"),
    ]
    if shutil.which("editcap"):
        out.append(Scenario("editcap -F pcap", lambda p, o: [
            "editcap", "-F", "pcap", p["capture"], os.path.join(o, "editcap.pcap")],
            "capture"))
    if shutil.which("tcpdump"):
        out.append(Scenario("tcpdump -r -w", lambda p, o: [
            "tcpdump", "-r", p["capture"], "-w", os.path.join(o, "tcpdump.pcap")],
            "capture"))
    if subprocess.run([python, "-c", "import dpkt"], stderr=subprocess.DEVNULL).returncode == 0:
        out.append(Scenario("dpkt split by 5-tuple", lambda p, o: [
            python, DPKT_SPLIT, p["capture"], o], "capture"))
    # The binary is built later, and only when one of these is selected.
    for strategy in ("session", "host"):
        out.append(Scenario(f"{FLOOR_NAME} ({strategy})", lambda p, o, s=strategy: [
            floor_binary, s, p["capture"], o], "capture"))
    for strategy in ("session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"):
        out.append(Scenario(f"split {strategy}", worker(f"split:{strategy}", "capture"), "capture"))
        if strategy == "session":
            out.append(Scenario("split session l7", worker("split:session:l7", "capture"),
                                "capture"))
    for strategy in ("session", "host"):
        out.append(Scenario(f"create_archive {strategy}",
                            worker(f"create_archive:{strategy}", "capture"), "capture"))
    out.append(Scenario("read_flows", worker("read_flows", "capture"), "capture"))
    out.append(Scenario("Flow.packets() all flows", worker("flow_packets", "archive"), "capture"))
    out.append(Scenario("pipe_archive", worker("pipe_archive", "archive"), "capture"))
    out.append(Scenario("Archive.open + queries", worker("archive_queries", "flows_archive")))
    return out


# ---------------------------------------------------------------- measuring


def memory_kb(pid):
    """(VmHWM, RssAnon) of a running process, in KiB; None once it is gone."""
    hwm = anon = None
    try:
        with open(f"/proc/{pid}/status", "rb") as f:
            for line in f:
                if line.startswith(b"VmHWM:"):
                    hwm = int(line.split()[1])
                elif line.startswith(b"RssAnon:"):
                    anon = int(line.split()[1])
    except OSError:
        pass
    return hwm, anon


def measure(argv, stdout_path, stderr_path):
    """Runs argv to completion; returns its exit code, wall time, CPU times
    and peak VmHWM and RssAnon.
    A sampler thread polls /proc while this thread blocks in wait4, so the
    sampling adds nothing to the wall time."""
    with open(stdout_path, "wb") as so, open(stderr_path, "wb") as se:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=so, stderr=se, stdin=subprocess.DEVNULL)
    stop = threading.Event()
    peak = {"hwm": 0, "anon": 0}

    def sample():
        while not stop.is_set():
            hwm, anon = memory_kb(proc.pid)
            peak["hwm"] = max(peak["hwm"], hwm or 0)
            peak["anon"] = max(peak["anon"], anon or 0)
            stop.wait(SAMPLE_INTERVAL)

    # One sample here, so that a process too short for the thread to get
    # scheduled still gets a figure.
    hwm, anon = memory_kb(proc.pid)
    peak["hwm"], peak["anon"] = hwm or 0, anon or 0
    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    _, status, ru = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    stop.set()
    sampler.join()
    proc.returncode = os.waitstatus_to_exitcode(status)  # already reaped by wait4
    return {
        "rc": proc.returncode,
        "pid": proc.pid,
        "wall": wall,
        "user": ru.ru_utime,
        "sys": ru.ru_stime,
        # Not ru_maxrss: it starts from the parent's resident size at the fork
        # (the high-water mark survives exec), which hides small processes.
        "rss_kb": peak["hwm"],
        "anon_kb": peak["anon"],
    }


GB = 1 << 30
# Free space kept beyond the outputs the remaining rounds are expected to
# leave, and the factor on those.
FREE_MARGIN = 5 * GB
FREE_FACTOR = 1.3


def disk_bytes(path):
    """Bytes allocated to the files under `path`."""
    total = 0
    stack = [path]
    while stack:
        try:
            with os.scandir(stack.pop()) as it:
                for e in it:
                    if e.is_dir(follow_symlinks=False):
                        stack.append(e.path)
                    else:
                        total += e.stat(follow_symlinks=False).st_blocks * 512
        except OSError:
            pass
    return total


def drop_cached(path):
    """Evicts the files under `path` (written back already) from the page
    cache.  Kept outputs would otherwise fill the memory, and every later
    run would pay for reclaiming it page by page as it writes."""
    for root, _dirs, files in os.walk(path):
        for name in files:
            try:
                fd = os.open(os.path.join(root, name), os.O_RDONLY | os.O_NOFOLLOW)
            except OSError:
                continue
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


class Outputs:
    """The scenarios' output directory between runs.

    Deleting a run's files right before the next run makes that run pay for
    the deletion: ext4 skips recently deleted inodes when it allocates new
    ones, and with online `discard` it trims the freed blocks, so creating
    thousands of files after thousands were deleted costs up to 2.5 times
    the kernel time of a quiet file system, for minutes.  So each run's
    directory is renamed into the trash (same file system, instant) and
    synced, so that its writeback is not charged to the next run either, and
    the trash is deleted after the last round.  When the disk cannot hold
    all rounds, the trash is deleted at the end of each round instead
    (then sync and the settle wait)."""

    def __init__(self, out, trash, rounds, delete_each_run, settle):
        self.out = out
        self.trash = trash
        self.rounds = rounds
        self.settle = settle
        self.mode = "each run" if delete_each_run else "after the last round"
        self.moved = 0
        self.round_bytes = 0
        self.biggest_run = 0

    def _delete(self, path, why):
        if path and os.path.exists(path):
            if why:
                log(f"deleting the outputs {why}")
            shutil.rmtree(path, ignore_errors=True)
        os.sync()
        if self.settle:
            time.sleep(self.settle)

    def start(self):
        """Before the first run: what an interrupted run left goes, and
        what was written before (inputs, archives) is synced."""
        if os.path.isdir(self.out) and os.listdir(self.out):
            self._delete(self.out, "an earlier run left")
        if os.path.exists(self.trash):
            self._delete(self.trash, "an earlier run left in the trash")
        os.sync()
        self.fresh()

    def fresh(self):
        """Before a run: an empty output directory."""
        if self.mode == "each run":
            shutil.rmtree(self.out, ignore_errors=True)
            os.makedirs(self.out)
            self._delete(None, None)  # the sync and the settle wait
        else:
            os.makedirs(self.out, exist_ok=True)

    def done(self, counted=True):
        """After a run: its outputs go to the trash.  `counted`: the run
        belongs to a round (the untimed first one does not)."""
        if self.mode == "each run":
            return
        n = disk_bytes(self.out)
        if counted:
            self.round_bytes += n
        self.biggest_run = max(self.biggest_run, n)
        os.makedirs(self.trash, exist_ok=True)
        try:
            os.rename(self.out, os.path.join(self.trash, str(self.moved)))
            self.moved += 1
        except OSError as e:
            # A mount point, say: no rename possible, so the former method.
            log(f"cannot move {self.out} to {self.trash} ({e.strerror}): "
                "deleting the outputs before every run")
            self.mode = "each run"
            self._delete(self.trash, None)
            return
        os.sync()
        drop_cached(os.path.join(self.trash, str(self.moved - 1)))
        free = shutil.disk_usage(os.path.dirname(self.trash)).free
        if free < 2 * self.biggest_run + FREE_MARGIN:
            self._delete(self.trash, f"now: {free / GB:.1f} GB left on the disk")

    def end_round(self, round_no):
        if self.mode == "each run":
            shutil.rmtree(self.out, ignore_errors=True)
            os.makedirs(self.out)
            self._delete(None, None)
            return
        if round_no == 0:
            left = self.rounds - 1
            free = shutil.disk_usage(os.path.dirname(self.trash)).free
            need = left * self.round_bytes * FREE_FACTOR + FREE_MARGIN
            if free < need:
                log(f"a round leaves {self.round_bytes / GB:.1f} GB of outputs and "
                    f"{free / GB:.1f} GB are free: deleting the outputs after every round")
                self.mode = "every round"
        if self.mode == "every round":
            self._delete(self.trash, f"of round {round_no + 1}")

    def finish(self):
        if os.path.exists(self.trash):
            log(f"deleting the outputs ({disk_bytes(self.trash) / GB:.1f} GB)")
        shutil.rmtree(self.trash, ignore_errors=True)
        shutil.rmtree(self.out, ignore_errors=True)


CAT_RUNS = 3


def run_round(selected, paths, scratch, outputs, results, cat_walls, round_no, rounds):
    out = outputs.out
    cat = [sc for sc in selected if sc.name == "cat > file"]
    plan = cat * CAT_RUNS + [sc for sc in selected if sc.name != "cat > file"]
    cats = []
    for sc in plan:
        outputs.fresh()
        stdout_path = os.path.join(out, sc.stdout_to) if sc.stdout_to else os.path.join(
            scratch, "run.stdout")
        stderr_path = os.path.join(scratch, "run.stderr")
        r = measure(sc.argv(paths, out), stdout_path, stderr_path)
        outputs.done()
        # read_flows leaves its temporary archive behind if the process dies.
        leftover = f"/tmp/vexlor_py_{r['pid']}.vexlor"
        if os.path.exists(leftover):
            os.unlink(leftover)
        if r["rc"] != 0:
            with open(stderr_path, errors="replace") as f:
                tail = f.read()[-2000:]
            log(f"[{round_no + 1}/{rounds}] {sc.name}: FAILED (exit {r['rc']})\n{tail}")
        elif not sc.stdout_to:
            with open(stdout_path) as f:
                text = f.read().strip().splitlines()
            if text:
                try:
                    r.update(json.loads(text[-1]))
                except ValueError:
                    pass
                own = r.pop("memory_kb", None) or {}
                r["rss_kb"] = max(r["rss_kb"], own.get("VmHWM", 0))
                r["anon_kb"] = max(r["anon_kb"], own.get("RssAnon", 0))
        if sc.name == "cat > file" and r["rc"] == 0:
            cats.append(r["wall"])
            cat_walls[round_no] = min(cats)
        r["round"] = round_no
        results.setdefault(sc.name, []).append(r)
        if r["rc"] == 0:
            extra = f", call {r['call_s']:.3f} s" if "call_s" in r else ""
            log(f"[{round_no + 1}/{rounds}] {sc.name}: {r['wall']:.3f} s "
                f"(user {r['user']:.2f}, sys {r['sys']:.2f}{extra})")
    outputs.end_round(round_no)


# ---------------------------------------------------------------- reporting


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, pattern, missing="–"):
    return missing if v is None else format(v, pattern)


def summary_table(selected, results, cat_walls, packets):
    rows = ["| scenario | wall s | call s | user s | sys s | RSS MB | anon MB | Mpkt/s | × cat |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for sc in selected:
        runs = [r for r in results.get(sc.name, []) if r["rc"] == 0]
        if sc.name == "cat > file":
            # The reference of each round is its fastest cat; show those.
            by_round = {}
            for r in runs:
                if r["round"] not in by_round or r["wall"] < by_round[r["round"]]["wall"]:
                    by_round[r["round"]] = r
            runs = list(by_round.values())
        if not runs:
            rows.append(f"| {sc.name} | failed | | | | | | | |")
            continue
        wall = med([r["wall"] for r in runs])
        ratio = med([r["wall"] / cat_walls[r["round"]] for r in runs
                     if cat_walls.get(r["round"])]) if sc.packets_of else None
        mpps = packets[sc.packets_of] / wall / 1e6 if sc.packets_of else None
        rows.append("| {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
            sc.name,
            fmt(wall, ".3f"),
            fmt(med([r.get("call_s") for r in runs]), ".3f"),
            fmt(med([r["user"] for r in runs]), ".2f"),
            fmt(med([r["sys"] for r in runs]), ".2f"),
            fmt(med([r["rss_kb"] / 1024 for r in runs]), ".0f"),
            fmt(med([r["anon_kb"] / 1024 for r in runs]), ".0f"),
            fmt(mpps, ".2f"),
            fmt(ratio, ".2f")))
    return "\n".join(rows)


def queries_table(results):
    runs = [r for r in results.get("Archive.open + queries", []) if r["rc"] == 0 and r.get("parts")]
    if not runs:
        return None
    rows = ["| call | median ms | flows returned |", "|---|---:|---:|"]
    for name in runs[0]["parts"]:
        ms = med([r["parts"][name]["s"] * 1000 for r in runs if name in r["parts"]])
        rows.append(f"| {name} | {ms:.2f} | {runs[0]['parts'][name]['n']} |")
    return "\n".join(rows)


def machine():
    info = {"nproc": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next((l.split(":", 1)[1].strip() for l in f
                                if l.startswith("model name")), "?")
        with open("/proc/meminfo") as f:
            kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
        info["memory"] = f"{kb / 1024 / 1024:.1f} GiB"
    except (OSError, StopIteration):
        pass
    info["kernel"] = platform.release()
    info["python"] = platform.python_version()
    return info


def filesystem(path):
    best, fs = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, typ = line.split()[:3]
                mnt = mnt.replace("\\040", " ")
                if (path == mnt or path.startswith(mnt.rstrip("/") + "/")) and len(mnt) > len(best):
                    best, fs = mnt, typ if dev == typ else f"{typ} on {dev}"
    except OSError:
        pass
    return fs


def git_revision():
    try:
        rev = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        return rev + (" + uncommitted changes in src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- main


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="\n".join(__doc__.splitlines()[2:]))
    p.add_argument("--size", choices=("S", "L"), default="S",
                   help="S: 200,000 packets / 2,000 sessions; L: 2,000,000 / 20,000")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--only", metavar="REGEX",
                   help="run only scenarios whose name matches (cat always runs)")
    p.add_argument("--quick", action="store_true",
                   help="smoke run: 20,000 packets, a 10,000-flow archive, one round")
    p.add_argument("--scratch", default="/tmp/vexlor-bench")
    p.add_argument("--outputs", metavar="DIR",
                   help="new or empty directory for the scenarios' outputs (default SCRATCH/out); "
                   "each run's outputs are moved to DIR.trash next to it; both are "
                   "removed at the end")
    p.add_argument("--python", default=sys.executable,
                   help="interpreter for the scenarios (needs vexlor; dpkt for its baseline)")
    p.add_argument("--install", action="store_true",
                   help="first pip-install the working tree into the --python environment "
                   "(build directory build/bench-install)")
    p.add_argument("--settle", type=float, default=0.0, metavar="SECONDS",
                   help="wait this long after every deletion of outputs (ext4 penalises "
                        "creating files right after deleting many)")
    p.add_argument("--delete-each-run", action="store_true",
                   help="delete every run's outputs before the next run instead of keeping "
                        "them until the last round")
    p.add_argument("--markdown", metavar="PATH", help="also write the report here")
    p.add_argument("--json", metavar="PATH", help="write every run's raw numbers here")
    a = p.parse_args(argv)

    scratch = os.path.realpath(a.scratch)
    if os.path.commonpath([scratch, os.path.realpath(REPO)]) == os.path.realpath(REPO):
        p.error("the scratch directory must be outside the repository")
    if a.outputs:
        out = os.path.realpath(a.outputs)
        if os.path.commonpath([out, os.path.realpath(REPO)]) == os.path.realpath(REPO):
            p.error("--outputs must be outside the repository")
        if os.path.isdir(out) and os.listdir(out):
            p.error("--outputs must name a new or empty directory (it is deleted afterwards)")
        trash = out + ".trash"
        if os.path.exists(trash):
            p.error(f"{trash} is in the way (it holds the outputs between rounds)")
    else:
        out = os.path.join(scratch, "out")
        trash = os.path.join(scratch, "trash")
    if a.install:
        log(f"installing {REPO}")
        subprocess.run([a.python, "-m", "pip", "install", "-q", REPO,
                        "-C", "build-dir=build/bench-install"], check=True)
    # Taken before the rounds: a commit made during a long run must not be
    # credited with its numbers.
    revision = git_revision()
    if subprocess.run([a.python, "-c", "import vexlor"]).returncode != 0:
        p.error(f"{a.python} cannot import vexlor; install it first (pip install .)")

    size = "Q" if a.quick else a.size
    rounds = 1 if a.quick else a.rounds
    flows = FLOWS_QUICK if a.quick else FLOWS_FULL
    inputs = os.path.join(scratch, "inputs")
    os.makedirs(inputs, exist_ok=True)
    paths = {
        "capture": os.path.join(inputs, f"{size}.pcap"),
        "archive": os.path.join(inputs, f"{size}.vexlor"),
        "flows_capture": os.path.join(inputs, f"flows{flows}.pcap"),
        "flows_archive": os.path.join(inputs, f"flows{flows}.vexlor"),
    }

    os.makedirs(scratch, exist_ok=True)
    selected = scenarios(a.python, os.path.join(scratch, "floor_split"))
    if a.only:
        rx = re.compile(a.only)
        selected = [s for s in selected if s.name == "cat > file" or rx.search(s.name)]
    if any(s.name.startswith(FLOOR_NAME) for s in selected) and not build_floor(scratch):
        selected = [s for s in selected if not s.name.startswith(FLOOR_NAME)]
    names = {s.name for s in selected}
    needs_archive = names & {"Flow.packets() all flows", "pipe_archive"}
    needs_flows = "Archive.open + queries" in names

    generate(paths["capture"], SIZES[size])
    if needs_flows:
        generate(paths["flows_capture"], {"tiny_sessions": flows})
    # Rebuilt every run: the archive format belongs to the library under test.
    if needs_archive:
        build_archive(a.python, paths["capture"], paths["archive"], scratch)
    if needs_flows:
        build_archive(a.python, paths["flows_capture"], paths["flows_archive"], scratch)
    for key in ("capture", "archive", "flows_archive"):
        if os.path.exists(paths[key]):
            warm(paths[key])

    packets = {"capture": SIZES[size]["packets"]}
    load_before = os.getloadavg()
    started = time.strftime("%Y-%m-%d %H:%M")
    results, cat_walls = {}, {}
    # One untimed cat first: the first write of a run after the inputs were
    # built is often much slower (the file system is still busy with them).
    cat = next(sc for sc in selected if sc.name == "cat > file")
    outputs = Outputs(out, trash, rounds, a.delete_each_run, a.settle)
    try:
        outputs.start()
        measure(cat.argv(paths, out), os.path.join(out, cat.stdout_to),
                os.path.join(scratch, "run.stderr"))
        outputs.done(counted=False)
        for r in range(rounds):
            run_round(selected, paths, scratch, outputs, results, cat_walls, r, rounds)
    finally:
        outputs.finish()
    # The archives are rebuilt by every run; only the captures are worth keeping.
    sizes = {}
    for key in ("archive", "flows_archive"):
        if os.path.exists(paths[key]):
            sizes[key] = os.path.getsize(paths[key])
            os.unlink(paths[key])
    load_after = os.getloadavg()

    m = machine()
    cap_mb = os.path.getsize(paths["capture"]) / 1e6
    where = filesystem(scratch)
    if filesystem(out) != where:
        where += f", outputs on {filesystem(out)}"
    lines = [
        f"### Size {size}: {SIZES[size]['packets']:,} packets, {SIZES[size]['sessions']:,} "
        f"sessions, {cap_mb:,.0f} MB classic pcap",
        "",
        f"{started}, {rounds} round(s), medians. vexlor {revision}. "
        f"{m.get('nproc')} CPUs ({m.get('cpu', '?')}), {m.get('memory', '?')}, "
        f"Linux {m.get('kernel')}, Python {m.get('python')}, scratch on "
        f"{where}. Load average (1/5/15 min) "
        f"{' '.join(f'{x:.2f}' for x in load_before)} before, "
        f"{' '.join(f'{x:.2f}' for x in load_after)} after.",
        "",
        summary_table(selected, results, cat_walls, packets),
    ]
    q = queries_table(results)
    if q:
        fm = sizes.get("flows_archive", 0) / 1e6
        lines += ["", f"Archive.open and lookups on an archive of {flows:,} tiny sessions "
                  f"({fm:,.0f} MB), each call timed on its own inside one process:", "", q]
    report = "\n".join(lines) + "\n"
    print(report)
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write(report)
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"size": size, "rounds": rounds, "machine": m, "results": results,
                       "cat_walls": cat_walls, "outputs_deleted": outputs.mode}, f, indent=1)
    failed = [n for n, rs in results.items() if any(r["rc"] != 0 for r in rs)]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
