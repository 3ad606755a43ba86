"""Hand the DNS conversations of a capture to tshark, one flow at a time.

    python examples/dns_to_tshark.py examples/sample.pcap
    python examples/dns_to_tshark.py capture.pcapng --port 53 --port 5353
    python examples/dns_to_tshark.py capture.pcapng -- -T fields -e dns.qry.name

The capture's packets to or from the given ports (53 by default) go into a
temporary archive, one flow per session. pipe_archive() turns every flow back
into a classic pcap image in memory, and each image is fed to `tshark -r -` on
its standard input; nothing but the archive touches the disk. Arguments after
"--" are passed on to tshark (or to the program named by --tool, which must
also read a capture from "-r -", as tcpdump does).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import vexlor


def main() -> None:
    parser = argparse.ArgumentParser(
        description=(__doc__ or "").splitlines()[0],
        usage="%(prog)s [-h] [--port PORT] [--tool TOOL] capture [-- TOOL_ARGS...]")
    parser.add_argument("capture", help='pcap or pcapng file, "-" for standard input')
    parser.add_argument("--port", type=int, action="append", help="port to keep (repeatable)")
    parser.add_argument("--tool", default="tshark", help="program to run (default tshark)")
    argv = sys.argv[1:]
    tool_args: list[str] = []
    if "--" in argv:
        argv, tool_args = argv[: argv.index("--")], argv[argv.index("--") + 1 :]
    args = parser.parse_args(argv)
    if shutil.which(args.tool) is None:
        parser.error(f"{args.tool} not found")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "dns.vexlor")
        vexlor.create_archive(args.capture, path, port_filters=args.port or [53])
        flows = vexlor.Archive.open(path).flows()
        images = vexlor.pipe_archive(path)

    for flow, image in zip(flows, images):
        print(f"== flow {flow.id}: {flow.proto_name} {flow.src_addr} port {flow.src_port}"
              f" -> {flow.dst_addr} port {flow.dst_port}, {flow.packet_count} packets", flush=True)
        done = subprocess.run([args.tool, "-r", "-", *tool_args], input=image)
        if done.returncode != 0:
            sys.exit(f"{args.tool} failed on flow {flow.id} (exit status {done.returncode})")
    if not flows:
        print("no packets on these ports")


if __name__ == "__main__":
    main()
