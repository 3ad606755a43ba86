"""The type stubs against the installed module (stubtest: names, parameters, defaults, keywords, properties, final
classes); mypy --strict on the examples and the README's Python, where calls that fail at run time must fail to
type-check."""
import importlib.util, os, re, shutil, subprocess, sys

import pytest

from conftest import REPO_ROOT

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")


def run(argv, tmp_path):
    """From a scratch directory; stubs as a user finds them, or the source tree's for a build on PYTHONPATH."""
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    site = os.path.dirname(importlib.util.find_spec("vexlor").origin)
    if not any(n.startswith("vexlor-") and n.endswith(".dist-info") for n in os.listdir(site)):
        (tmp_path / "stubs").mkdir(exist_ok=True)
        shutil.copy(str(REPO_ROOT / "src" / "python" / "vexlor.pyi"), str(tmp_path / "stubs"))
        env["MYPYPATH"] = str(tmp_path / "stubs")
    return subprocess.run(argv, cwd=str(tmp_path), env=env, capture_output=True, text=True)


# Each line fails at run time; mypy must report it with this error code.
MISUSE = """\
import pathlib, vexlor
archive = vexlor.Archive.open("a.vexlor")
flow = archive.flows()[0]
vexlor.Archive()  # call-arg
vexlor.Packet(data=b"")  # call-arg
vexlor.split("in.pcap")  # call-arg
vexlor.create_archive("a", "b", strategie="flow")  # call-arg
vexlor.pipe_archive("a", "b")  # call-arg
vexlor.read_flows(pathlib.Path("a"))  # arg-type
vexlor.read_flows("a", max_sessions=1.5)  # arg-type
vexlor.split("a", "b", ip_filters=None)  # arg-type
vexlor.split("a", "b", port_filters=["53"])  # list-item
archive.find_by_port("53")  # arg-type
flow.id = 5  # misc
archive.get_flow(1).packets()  # union-attr
for f in archive: pass  # attr-defined
class Mine(vexlor.Flow): pass  # misc
vexlor.PanicException  # attr-defined
"""


@needs_mypy
def test_stubtest_and_mypy_strict_pass_examples_and_readme_and_fail_misuse(tmp_path):
    result = run([sys.executable, "-m", "mypy.stubtest", "vexlor"], tmp_path)
    assert result.returncode == 0, result.stdout
    # The module's stubs are what is checked: code of the untyped vexlor_dataset package is left out.
    blocks = [b for b in re.findall(r"^```python\n(.*?)^```", (REPO_ROOT / "README.md").read_text(), re.S | re.M)
              if "vexlor_dataset" not in b]
    examples = [p for p in sorted((REPO_ROOT / "examples").glob("*.py")) if "vexlor_dataset" not in p.read_text()]
    assert blocks
    for i, block in enumerate(blocks + [MISUSE]):
        (tmp_path / ("readme_%d.py" % i if i < len(blocks) else "misuse.py")).write_text(block)
    result = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                  *map(str, examples + sorted(tmp_path.glob("*.py")))], tmp_path)
    reported = set(re.findall(r"^(\S+\.py):(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M))
    assert reported == {("misuse.py", str(n), line.rsplit("# ", 1)[1]) for n, line in
                        enumerate(MISUSE.splitlines(), 1) if "  # " in line}, result.stdout
