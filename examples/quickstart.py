"""Split the sample capture by session and show what came out."""
import os
import sys

import vexlor

here = os.path.dirname(os.path.abspath(__file__))
capture = os.path.join(here, "sample.pcap")
out = sys.argv[1] if len(sys.argv) > 1 else "examples-out"

vexlor.split(capture, out, strategy="session")
names = sorted(os.listdir(out))
print(f"split {capture} into {len(names)} files in {out}/:")
for name in names:
    print(f"  {name}  {os.path.getsize(os.path.join(out, name))} bytes")

archive = vexlor.read_flows(capture)
print(archive)
for flow in archive.flows():
    print(" ", flow)
