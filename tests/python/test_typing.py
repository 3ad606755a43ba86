"""The type stubs against the installed module, and the examples: type-checked, then run on the sample.

stubtest compares the installed stubs with the module as built (names, parameters, defaults, which parameters take
keywords, properties, final classes); mypy --strict checks the examples and the Python blocks of the README against
them, and a table of calls that fail at run time must fail to type-check."""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import REPO_ROOT

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy not installed (scripts/test.sh installs it)")
EXAMPLES = REPO_ROOT / "examples"
SOURCE_STUBS = REPO_ROOT / "src" / "python" / "vexlor.pyi"
SITE = pathlib.Path(importlib.util.find_spec("vexlor").origin).parent
PIP_INSTALLED = any(SITE.glob("vexlor-*.dist-info"))


def run(argv, tmp_path):
    """Runs from a scratch directory. When pip installed the module, mypy must find the installed stubs by itself,
    as for a user; otherwise (a build directory on PYTHONPATH) it is pointed at the source tree's stubs."""
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if not PIP_INSTALLED:
        (tmp_path / "stubs").mkdir()
        shutil.copy(str(SOURCE_STUBS), str(tmp_path / "stubs" / "vexlor.pyi"))
        env["MYPYPATH"] = str(tmp_path / "stubs")
    return subprocess.run(argv, cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


@needs_mypy
def test_stubtest_finds_no_difference_between_stubs_and_module(tmp_path):
    result = run([sys.executable, "-m", "mypy.stubtest", "vexlor"], tmp_path)
    assert result.returncode == 0, result.stdout


@pytest.mark.skipif(not PIP_INSTALLED, reason="vexlor was not installed with pip")
def test_installed_stubs_are_those_of_the_source_tree():
    """pip puts the stubs beside the module and into the stub-only package vexlor-stubs, where type checkers look
    for a single-file module's types."""
    for installed in (SITE / "vexlor.pyi", SITE / "vexlor-stubs" / "__init__.pyi"):
        assert installed.is_file() and installed.read_bytes() == SOURCE_STUBS.read_bytes(), "%s stale" % installed


# Each line fails at run time; mypy must report it with this error code.
MISUSE = """\
import pathlib
import vexlor
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
def test_mypy_strict_passes_examples_and_readme_and_fails_misuse(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", (REPO_ROOT / "README.md").read_text(), re.S | re.M)
    assert blocks
    for i, block in enumerate(blocks):
        (tmp_path / ("readme_%d.py" % i)).write_text(block)
    (tmp_path / "misuse.py").write_text(MISUSE)
    result = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                  *map(str, sorted(EXAMPLES.glob("*.py")) + sorted(tmp_path.glob("*.py")))], tmp_path)
    reported = set(re.findall(r"^(\S+\.py):(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M))
    assert reported == {("misuse.py", str(n), line.rsplit("# ", 1)[1]) for n, line in
                        enumerate(MISUSE.splitlines(), 1) if "  # " in line}, result.stdout


# (arguments, program it needs, texts in the output, (pattern of a line, number of such lines))
RUNS = [
    (["quickstart.py", "{tmp}/out"], None,
     ["into 10 files", "Archive(flows=10, link_type=1)"], (r"^  sample_\S+\.pcap  \d+ bytes$", 10)),
    (["top_talkers.py", "{sample}", "-n", "3"], None,
     ["37355  30.7%      1  172.16.37.211"], (r"^ +\d+ +[\d.]+% +\d+  \S", 3)),
    (["top_talkers.py", "{sample}", "--by", "flow", "-n", "2"], None,
     ["37355  30.7%     53  UDP 172.16.37.211 53 -> 10.0.0.1 43683",
      "UDP 2001:db8:ffff::10a3:d6b2 5353 -> 2001:db8::a 18714"], (r"^ +\d+ +[\d.]+% +\d+  \S", 2)),
    (["flow_summary.py", "{sample}", "--csv", "{tmp}/flows.csv"], None,
     ["10 flows by session, link type 1", "wrote 10 flows"], (r"^(TCP|UDP) +5 ", 2)),
    (["flow_summary.py", "{sample}", "--strategy", "nosplit"], None,
     ["1 flows by nosplit"], (r"^TCP +1 +160 +121724 ", 1)),
    # The three flows on port 53 (53, 11 and 9 packets), one frame length per line from tshark.
    (["dns_to_tshark.py", "{sample}", "--", "-T", "fields", "-e", "frame.len"], "tshark",
     ["== flow 1: UDP 172.16.37.211 port 53", "== flow 3: TCP"], (r"^\d+$", 53 + 11 + 9)),
]


@pytest.mark.parametrize("argv,tool,texts,lines", RUNS, ids=[" ".join(r[0][:2]) for r in RUNS])
def test_example_runs_on_the_sample(argv, tool, texts, lines, tmp_path):
    if tool and shutil.which(tool) is None:
        pytest.skip("%s not installed" % tool)
    args = [a.format(tmp=tmp_path, sample=EXAMPLES / "sample.pcap") for a in argv]
    result = subprocess.run([sys.executable, str(EXAMPLES / args[0]), *args[1:]], cwd=str(tmp_path),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    for text in texts:
        assert text in result.stdout, result.stdout
    pattern, count = lines
    assert len(re.findall(pattern, result.stdout, re.M)) == count, result.stdout
