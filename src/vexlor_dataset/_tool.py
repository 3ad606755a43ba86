"""Finding and running the vexlor command-line tool that this distribution installs."""
import os
import shutil
import subprocess
import sys
import warnings

__all__ = ["ToolError", "tool_path", "run_tool", "forward_warnings"]


class ToolError(RuntimeError):
    """The tool failed: `status` is its exit status, the message its own words (standard error)."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def tool_path():
    """The tool's path: $VEXLOR_TOOL when set, else the `vexlor` installed beside this Python, else the one on PATH."""
    explicit = os.environ.get("VEXLOR_TOOL")
    if explicit:
        return explicit
    beside = os.path.join(os.path.dirname(sys.executable), "vexlor")
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which("vexlor")
    if not found:
        raise ToolError("the vexlor command-line tool is not installed (pip install vexlor puts it beside python)")
    return found


def run_tool(args, check=True, **kw):
    """Runs the tool with `args` (str items) and returns the CompletedProcess; raises ToolError on a failure when
    `check`, with the tool's message."""
    done = subprocess.run([tool_path(), *args], capture_output=True, **kw)
    if check and done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or "vexlor exited with status %d" % done.returncode
        raise ToolError(message, done.returncode)
    if done.returncode == 0:
        forward_warnings(done.stderr, stacklevel=3)
    return done


def forward_warnings(stderr, stacklevel=2):
    """The tool's warnings of a run that succeeded (a last record cut off, packets stored under another link type)
    as Python warnings (RuntimeWarning), so that a script sees them without reading standard error."""
    for line in stderr.decode("utf-8", "replace").splitlines():
        if line.startswith("vexlor: warning: "):
            warnings.warn(line[len("vexlor: warning: "):], RuntimeWarning, stacklevel=stacklevel + 1)
