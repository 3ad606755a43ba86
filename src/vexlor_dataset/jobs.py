"""One job per capture over many captures, on this machine or as the tasks of a Dask cluster.

    from vexlor_dataset import split
    result = split(["/data/day1", "/data/day2/*.pcap.gz"], "/data/flows", jobs=8, strategy="host")
    result = split("/shared/captures", "/shared/flows", client="tcp://scheduler:8786")
    for r in result.failed:
        print(r.path, r.error)

Inputs are what the tool takes: files, directories (walked recursively, captures known by their first bytes,
compressed with gzip, zstd, xz or bzip2 or not) and quoted glob patterns.  Every input gets its own output below
`outdir`, named after its path below the directory it was found in (a split's directory, an archive's
NAME.vexlor), published whole, and recorded in OUTDIR/vexlor-manifest.jsonl; running the same job again redoes
only the inputs not done (or changed since).  The result is read back from that manifest.

With a `distributed.Client`, the plan is made here and every input not done is one task, run by a worker as the
tool on that input alone; what the workers write is what the tool writes run here, byte for byte.  The inputs and
`outdir` must then be on a file system that every worker sees under the same paths (and so must the working
directory here, when they are relative: the workers run the tool in it).  A task whose worker dies is
run again elsewhere: an output is published only when complete and the manifest is merged under a lock, so the
rerun leaves the same outputs as a run that never failed.
"""
import functools
import json
import os
import subprocess
import sys
import time
import uuid
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, Optional, Sequence, Union

from ._tool import ToolError, run_tool, tool_path
from .progress import Progress

__all__ = ["split", "archive", "run_job", "plan_job", "JobResult", "InputResult", "PlannedInput"]

MANIFEST = "vexlor-manifest.jsonl"
COMMANDS = ("split", "archive")
# Options the job sets itself, or that would make one output of all the inputs.
_RESERVED = {"jobs", "each", "root", "list", "quiet", "combine", "help"}
_COMPRESSED = (".gz", ".zst", ".zstd", ".xz", ".bz2")
_CAPTURES = (".pcapng", ".pcap", ".cap", ".ntar")

PathArg = Union[str, "os.PathLike[str]"]
# One input or several: files, directories, glob patterns.
InputsArg = Union[PathArg, Sequence[PathArg]]
# None or False, True, "auto", or a callable(done, total).
ProgressArg = Union[None, bool, str, Callable[[int, int], Any]]


@dataclass(frozen=True)
class PlannedInput:
    """One input of a job as the tool plans it: its path, its path below the directory it was found in, its
    output, and whether the manifest shows it done already."""
    path: str
    relative: str
    output: str
    done: bool

    @functools.cached_property
    def size(self) -> int:
        """The input's size in bytes when first asked (0 when it cannot be read); the progress bar counts it."""
        return _size(self.path)

    @property
    def root(self) -> str:
        """The directory the input was found under (its path without `relative`)."""
        if self.relative and self.path.endswith(self.relative) and len(self.path) > len(self.relative):
            return self.path[:-len(self.relative)]
        return os.path.dirname(self.path)


@dataclass(frozen=True)
class InputResult:
    """One input's outcome, as the manifest records it.  `status` is "done" or "failed" (`error` then says why);
    `warning` what a done input's run warned of (a last record cut off); `skipped` tells an input done by an
    earlier run of the same job."""
    path: str
    output: str
    status: str
    error: Optional[str] = None
    warning: Optional[str] = None
    packets: int = 0
    flows: int = 0
    files: int = 0
    bytes_written: int = 0
    first_packet_us: int = 0
    last_packet_us: int = 0
    link_type: Optional[int] = None
    size: int = 0
    mtime_ns: int = 0
    skipped: bool = False

    @property
    def ok(self) -> bool:
        return self.status == "done"


@dataclass(frozen=True)
class JobResult:
    """Every input's outcome, in the order of their paths."""
    command: str
    outdir: str
    inputs: List[InputResult]

    @property
    def manifest(self) -> str:
        return os.path.join(self.outdir, MANIFEST)

    @property
    def done(self) -> List[InputResult]:
        return [r for r in self.inputs if r.ok]

    @property
    def failed(self) -> List[InputResult]:
        return [r for r in self.inputs if not r.ok]

    @property
    def ok(self) -> bool:
        return not self.failed

    @property
    def packets(self) -> int:
        return sum(r.packets for r in self.inputs)

    def check(self) -> "JobResult":
        """Returns the result when every input is done; raises ToolError naming the failed inputs otherwise."""
        if self.failed:
            raise ToolError("%d of %d inputs failed: %s" % (len(self.failed), len(self.inputs), "; ".join(
                "%s: %s" % (r.path, r.error) for r in self.failed)))
        return self

    def __iter__(self) -> Iterator[InputResult]:
        return iter(self.inputs)

    def __len__(self) -> int:
        return len(self.inputs)

    def __getitem__(self, path: Union[int, PathArg]) -> InputResult:
        """The outcome of the input `path` (as planned), or of the index `path`."""
        if isinstance(path, int):
            return self.inputs[path]
        path = os.fspath(path)
        for r in self.inputs:
            if r.path == path:
                return r
        raise KeyError(path)


def split(inputs: InputsArg, outdir: PathArg, *, jobs: Optional[int] = None, client: Any = None,
          progress: ProgressArg = None, retries: int = 2, **options: Any) -> JobResult:
    """Splits every capture of `inputs` into its own directory of flow files below `outdir`.  `options` are the
    tool's options by name (strategy="host", max_sessions=500, port=[53, 443], strict=True, output_type="l7",
    decode="basic"...).  See run_job."""
    return run_job("split", inputs, outdir, jobs=jobs, client=client, progress=progress, retries=retries, **options)


def archive(inputs: InputsArg, outdir: PathArg, *, jobs: Optional[int] = None, client: Any = None,
            progress: ProgressArg = None, retries: int = 2, **options: Any) -> JobResult:
    """Builds one archive (NAME.vexlor) per capture of `inputs` below `outdir`.  See run_job."""
    return run_job("archive", inputs, outdir, jobs=jobs, client=client, progress=progress, retries=retries,
                   **options)


def run_job(command: str, inputs: InputsArg, outdir: PathArg, *, jobs: Optional[int] = None, client: Any = None,
            progress: ProgressArg = None, retries: int = 2, **options: Any) -> JobResult:
    """Runs `command` ("split" or "archive") once per capture of `inputs`, each output below `outdir`.

    Without `client` the tool runs here on `jobs` threads (default: every core).  With a `distributed.Client` (or
    a scheduler's address, such as "tcp://scheduler:8786", for a client of the job's own),
    each input not done is a task of its own (retried up to `retries` times when it raises; a worker lost
    meanwhile reruns it as the scheduler allows); relative paths are taken from the working directory here, in
    which the workers then run the tool, so that the manifest and the result spell every path as a job run here
    does.  `progress`: None or False (silent), True, "auto" (only on a terminal) or a
    callable(done, total); see vexlor_dataset.progress.

    Returns a JobResult.  An input that fails is reported there and the others go on; ToolError is raised for
    mistakes of use (an unknown option, a bad value, inputs that hold no capture) and when the tool cannot keep
    its manifest."""
    args = _options(command, options)
    if jobs is not None:
        args.append("--jobs=%d" % _count(jobs, "jobs"))
    retries = _count(retries, "retries", 0)
    paths = _paths(inputs)
    outdir = os.fspath(outdir)
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise ValueError("outdir %s is not a directory" % outdir)
    planned = plan_job(command, paths, outdir, **options)
    before = _manifest_lines(outdir)
    # Done inputs first: the bar takes the count done as the first inputs' bytes.
    order = sorted(planned, key=lambda p: not p.done)
    with Progress(progress, len(planned), sum(p.done for p in planned), "vexlor " + command,
                  sizes=[p.size for p in order]) as bar:
        if client is None:
            errors = _run_here(command, paths, outdir, args, planned, before, bar)
        elif isinstance(client, str):
            from distributed import Client
            with Client(client) as connected:
                errors = _run_on(connected, command, outdir, args, planned, retries, bar)
        else:
            errors = _run_on(client, command, outdir, args, planned, retries, bar)
    return _result(command, outdir, planned, errors)


def plan_job(command: str, inputs: InputsArg, outdir: PathArg, **options: Any) -> List[PlannedInput]:
    """The inputs a job would read, in order, with their outputs and whether each is done already (nothing is
    run).  Raises ToolError for a mistake of use."""
    args = _options(command, options)
    listed = run_tool([command, "--list", "--each", "--quiet", *args, "--", *_paths(inputs), os.fspath(outdir)])
    return [PlannedInput(**json.loads(line)) for line in listed.stdout.decode("utf-8", "surrogateescape").splitlines()
            if line.strip()]


# ---- running ----------------------------------------------------------------------------------------------------

def _run_here(command, paths, outdir, args, planned, before, bar):
    """The tool on every input at once, on `jobs` threads; the manifest, as it grows, tells the progress."""
    argv = [tool_path(), command, "--each", "--quiet", *args, "--", *paths, outdir]
    with open(os.devnull, "rb") as null:
        proc = subprocess.Popen(argv, stdin=null, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                preexec_fn=_stop_with_parent if sys.platform.startswith("linux") else None)
    err = b""
    try:
        if bar.shown:
            import threading
            chunks = []
            reader = threading.Thread(target=lambda: chunks.append(proc.stderr.read()), daemon=True)
            reader.start()
            while proc.poll() is None:
                bar.update(*_finished(outdir, planned, before))
                time.sleep(0.25)
            reader.join()
            err = b"".join(chunks)
        else:
            err = proc.stderr.read()
        proc.wait()
    except BaseException:
        # Interrupted here: the tool stops as on SIGINT, publishing nothing half done.  A terminal's Ctrl-C has
        # reached it already: it takes this one, so soon after, for the same.
        proc.send_signal(2)
        proc.wait()
        raise
    finally:
        proc.stderr.close()
    message = err.decode("utf-8", "replace").strip()
    if proc.returncode not in (0, 1):
        raise ToolError(message or "vexlor exited with status %d" % proc.returncode, proc.returncode)
    bar.update(*_finished(outdir, planned, before))
    bar.update(len(planned), None, bar.total_bytes)
    return {p.path: message or "not run" for p in planned} if proc.returncode else {}


def _run_task(command, paths, root, outdir, args, cwd=None, host_threads=None):
    """One task of a cluster job: the tool on `paths` alone, as it runs them in a job of all the inputs, in the
    client's working directory `cwd` when a path is relative.  Raises when the tool was killed, so that the task
    is retried; an input that fails is the manifest's to tell.  `host_threads`: the workers' threads by host."""
    argv = [command, "--each", "--quiet", *args, "--jobs=1"]
    if host_threads and _shares_host(host_threads) and command == "split" and \
            not any(a.startswith("--writer-threads") for a in args):
        # Where the workers run several tasks at once on this host, a split's writer threads would only contend
        # with the other tasks for its cores: the tool's own --jobs above 1 runs without them too.
        argv.append("--writer-threads=0")
    if root:
        argv.append("--root=" + root)
    done = run_tool([*argv, "--", *paths, outdir], check=False, stdin=subprocess.DEVNULL, cwd=cwd,
                    preexec_fn=_die_with_parent if sys.platform.startswith("linux") else None)
    message = done.stderr.decode("utf-8", "replace").strip()
    if done.returncode < 0 or done.returncode > 1:
        raise ToolError(message or "vexlor ended by signal %d" % -done.returncode, done.returncode)
    return message if done.returncode else ""


def _shares_host(host_threads):
    """Whether the worker running this task is one of several threads (of one or more workers) on its host."""
    try:
        from distributed import get_worker
        from distributed.comm import get_address_host
        return host_threads.get(get_address_host(get_worker().address), 1) > 1
    except Exception:  # not in a worker (a task run by hand, say): as a job of one thread
        return False


def _host_threads(client):
    """The cluster's worker threads by host, as the scheduler knows them now (empty if it cannot say)."""
    from distributed.comm import get_address_host

    hosts = {}
    try:
        for address, n in client.nthreads().items():
            host = get_address_host(address)
            hosts[host] = hosts.get(host, 0) + n
    except Exception:
        return {}
    return hosts


def _stop_with_parent():
    # Should this Python die, the tool stops as on SIGTERM, clearing away what it had begun.
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, 15)  # PR_SET_PDEATHSIG, SIGTERM


def _die_with_parent():
    # The tool goes with the worker that runs it: a worker killed mid-task must not leave a run behind that
    # still writes the output its retry is writing.
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL


def _run_on(client, command, outdir, args, planned, retries, bar):
    from distributed import as_completed

    # The tool records the paths as it is given them: relative ones are given as they are, in our working
    # directory, so that the manifest is the one a job run here writes.  Absolute ones need no directory (which
    # a worker elsewhere may not have).
    relative = not os.path.isabs(outdir) or any(not os.path.isabs(p.path) for p in planned)
    cwd = os.getcwd() if relative else None
    futures, host_threads = {}, _host_threads(client)
    # Grouped over every input, done ones too: a task given b.pcap.gz without b.pcap (done) would name its
    # output as b.pcap's short name; the tool skips the done one again.
    for whole in _task_groups(planned):
        group = [p for p in whole if not p.done]
        if not group:
            continue
        key = "vexlor-%s-%s" % (command, uuid.uuid4().hex)
        future = client.submit(_run_task, command, [p.path for p in whole], whole[0].root, outdir, args, cwd,
                               host_threads, key=key, pure=False, retries=retries)
        futures[future] = group
    errors, finished, before, counted = {}, bar.done, _manifest_lines(outdir), 0.0
    size = sum(p.size for p in planned if p.done)
    for future in as_completed(list(futures)):
        group = futures[future]
        try:
            message = future.result()
        except Exception as e:  # the task failed for good (its worker lost too often, say)
            message = "%s: %s" % (type(e).__name__, e)
        if message:
            errors.update((p.path, message) for p in group)
        finished += len(group)
        size += sum(p.size for p in group)
        # The packets come from the manifest the tasks append to, read at most once a second (and at the end).
        packets = None
        if time.monotonic() - counted >= 1 or finished == bar.total:
            packets, counted = _finished(outdir, planned, before)[1], time.monotonic()
        bar.update(finished, packets, size)
    return errors


def _task_groups(planned):
    """Inputs one task each, except those whose outputs would take the same name (a.pcap and a.pcap.gz in one
    directory): the tool names them apart only when it reads them in one run."""
    groups = {}
    for p in planned:
        groups.setdefault((p.root, _stem(p.relative)), []).append(p)
    return list(groups.values())


def _stem(name):
    for exts in (_COMPRESSED, _CAPTURES):
        for ext in exts:
            if len(name) > len(ext) and name.endswith(ext) and name[-len(ext) - 1] != "/":
                name = name[:-len(ext)]
                break
    return name


# ---- the manifest -----------------------------------------------------------------------------------------------

def _manifest_lines(outdir):
    """The manifest's lines by output name below `outdir` (by input path in manifests without names): an input
    is known by its output, however its path was spelt by the run that recorded it ({} without a manifest)."""
    try:
        with open(os.path.join(outdir, MANIFEST), "rb") as f:
            lines = f.read().decode("utf-8", "surrogateescape").splitlines()
    except FileNotFoundError:
        return {}
    out = {}
    for line in lines[1:]:
        try:
            entry = json.loads(line)
            out[entry.get("name") or entry["path"]] = line
        except (ValueError, KeyError, AttributeError):
            pass
    return out


def _line(lines, p, outdir):
    """The manifest line of planned input `p`, or None."""
    name = os.path.relpath(p.output, outdir)
    return lines.get(name.replace(os.sep, "/")) or lines.get(p.path)


def _finished(outdir, planned, before):
    """Inputs finished (done before, or ended in this run), the packets of those ended in this run, and the bytes
    of all finished."""
    now = _manifest_lines(outdir)
    ended = [(line, p) for line, p in ((_line(now, p, outdir), p) for p in planned if not p.done)
             if line is not None and line != _line(before, p, outdir)]
    packets = 0
    for line, _ in ended:
        try:
            packets += int(json.loads(line).get("packets") or 0)
        except (ValueError, AttributeError):
            pass  # a line still being written
    size = sum(p.size for p in planned if p.done) + sum(p.size for _, p in ended)
    return sum(p.done for p in planned) + len(ended), packets, size


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _result(command, outdir, planned, errors):
    lines = _manifest_lines(outdir)
    if planned and not any(_line(lines, p, outdir) for p in planned) and errors:
        raise ToolError(next(iter(errors.values())))
    results = []
    for p in planned:
        line = _line(lines, p, outdir)
        entry = json.loads(line) if line is not None else None
        if entry is None or entry.get("status") not in ("done", "failed"):
            results.append(InputResult(p.path, p.output, "failed", errors.get(p.path, "not run")))
            continue
        fields = {k: entry[k] for k in InputResult.__dataclass_fields__ if k in entry and k not in ("path", "skipped")}
        fields["output"] = p.output  # as this run spells it
        if fields["status"] == "done" and not _still_done(p, entry):
            # An earlier run's entry that this run did not replace (its task lost for good).
            fields = {"output": p.output, "status": "failed", "error": errors.get(p.path, "not run")}
        results.append(InputResult(path=p.path, skipped=p.done, **fields))
    return JobResult(command, outdir, results)


def _still_done(p, entry):
    try:
        st = os.stat(p.path)
    except OSError:
        return False
    return (entry.get("size"), entry.get("mtime_ns")) == (st.st_size, st.st_mtime_ns) and os.path.exists(p.output)


# ---- arguments --------------------------------------------------------------------------------------------------

def _paths(inputs):
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    paths = [os.fsdecode(p) for p in inputs]
    if not paths:
        raise ToolError("no input given", 2)
    return paths


def _options(command, options):
    """The tool's options from keyword arguments: max_sessions=500 is --max-sessions=500, True a flag, False or
    None left out, a list or tuple the option repeated."""
    if command not in COMMANDS:
        raise ToolError("unknown command %r (valid: %s)" % (command, ", ".join(COMMANDS)), 2)
    args = []
    for name, value in options.items():
        flag = name.replace("_", "-")
        if flag in _RESERVED:
            raise ToolError("%s is not an option of a job (it runs one output per input; give jobs= for --jobs)"
                            % name, 2)
        for v in value if isinstance(value, (list, tuple)) else [value]:
            if v is True:
                args.append("--" + flag)
            elif v is not None and v is not False:
                args.append("--%s=%s" % (flag, os.fspath(v) if isinstance(v, os.PathLike) else v))
    return args


def _count(value, name, least=1):
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise ToolError("%s must be a whole number of at least %d, not %r" % (name, least, value), 2)
    return value
