// The command table: each command's arguments, options and help.
#include "cli/commands.h"

#include "cli/command_support.h"

namespace vexlor::cli {
namespace {

// ---- the command table ------------------------------------------------------

constexpr std::string_view kInputOutdir[] = {"INPUT", "OUTDIR"};
constexpr std::string_view kInputOutput[] = {"INPUT", "OUTPUT"};
constexpr std::string_view kArchiveArg[] = {"ARCHIVE"};
constexpr std::string_view kInputArg[] = {"INPUT"};

constexpr OptionDef kSplitOptions[] = {
    {"strategy", true},     {"max-sessions", true}, {"buffer-bytes", true},   {"ip", true},
    {"port", true},         {"output-type", true},  {"prefix", true},         {"strict", false},
    {"decode", true},       {"quiet", false},       {"jobs", true, 'j'},      {"combine", true},
    {"each", false},        {"root", true},         {"list", false},          {"help", false, 'h'},
    {"idle-timeout", true}, {"tcp-restart", false}, {"writer-threads", true}, {"memory", true},
};
constexpr OptionDef kArchiveOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"jobs", true, 'j'},
    {"combine", true},    {"each", false},        {"root", true},         {"list", false},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false},
};
constexpr OptionDef kFlowsOptions[] = {
    {"ip", true},    {"port", true},  {"proto", true},       {"format", true},
    {"since", true}, {"until", true}, {"output", true, 'o'}, {"help", false, 'h'},
};
constexpr OptionDef kExtractOptions[] = {
    {"id", true},    {"ip", true},    {"port", true},        {"proto", true},
    {"since", true}, {"until", true}, {"output", true, 'o'}, {"help", false, 'h'},
};

constexpr OptionDef kTableOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"combine", true},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false}, {"first", true},
    {"format", true},     {"output", true, 'o'},
};
constexpr OptionDef kBytesOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"combine", true},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false}, {"first", true},
    {"packets", true},    {"payload", false},     {"mask", true},         {"output", true, 'o'},
};

// The --decode option of split and archive, the same text in both helps.
#define DECODE_HELP                                                                                \
    "  --decode D        wide (default): also Linux cooked, loopback, PPP, PPPoE,\n"               \
    "                    stacked VLAN tags, MPLS, GRE/ERSPAN, VXLAN, Geneve, GTP-U\n"              \
    "                    and IP-in-IP, flows keyed by the innermost IP header, IP\n"               \
    "                    fragments kept with their first fragment's flow; basic:\n"                \
    "                    exactly the Python module's decoding and outputs\n"

// Many inputs, the same text in both helps.
#define INPUTS_HELP                                                                                \
    "  -j, --jobs N      with several inputs, run N at once (default: every core)\n"               \
    "  --combine HOW     read every input as one capture: concat (the files of a\n"                \
    "                    rotated capture, in the order of their first packets) or\n"               \
    "                    merge (captures of several interfaces, by packet time)\n"                 \
    "  --each            one output per input even for a single input\n"                           \
    "  --root DIR        name outputs of inputs named directly after their path\n"                 \
    "                    below DIR (as if DIR had been given)\n"                                   \
    "  --list            print what a job would run (one input too, as with\n"                     \
    "                    --each), one JSON object per input (path, relative,\n"                    \
    "                    output, done), and exit\n"

// What several inputs do, the same text in both helps.
#define MANY_HELP                                                                                  \
    "INPUT may be given several times, as a directory (walked recursively; files\n"                \
    "that are not captures are skipped and counted, a file that cannot be read or\n"               \
    "whose compressed stream fails is a failing input, and the output directory\n"                 \
    "and directories holding a job's manifest are left out unless named) or as\n"                  \
    "a quoted glob pattern.\n"                                                                     \
    "Captures compressed with gzip, zstd, xz or bzip2 are read as they\n"                          \
    "stream, known by their first bytes.  Several inputs without --combine give\n"                 \
    "one output each below the last argument, named after the input's path below\n"                \
    "its directory, or below a pattern's leading directories without wildcards,\n"                 \
    "without extensions (day1/a.pcap.gz: day1/a), each published whole.  Captures\n"               \
    "whose names differ only in extensions keep them (a.pcap and a.pcap.gz:\n"                     \
    "a.pcap, a.pcap.gz); two inputs that would still get one output (x.pcap in\n"                  \
    "two directories given) are refused before anything runs, both named (exit\n"                  \
    "status 1).  vexlor-manifest.jsonl there records every input (path, size,\n"                   \
    "mtime, first and last packet time, packets, link type, output, status, and\n"                 \
    "a warning such as a cut-off last record), appended as each ends; the same\n"                  \
    "command run again skips the inputs it shows done, known by their outputs\n"                   \
    "(however their paths are spelt), and a run with options that change the\n"                    \
    "outputs does every input again, saying so.  A failing input is reported and\n"                \
    "the others go on; the exit status is then 1.  With --combine there is one\n"                  \
    "output, as for one input; the inputs must share a link type.\n"                               \
    "\n"

// Flow boundaries, the same text in both helps.
#define BOUNDARY_HELP                                                                              \
    "  --idle-timeout S  a packet more than S seconds (0.5 allowed) after the\n"                   \
    "                    previous one of its flow starts a new flow of the same\n"                 \
    "                    endpoints (default: never)\n"                                             \
    "  --tcp-restart     a TCP connection that ended (FIN both ways, or RST) and\n"                \
    "                    sees a SYN again starts a new flow (session and flow\n"                   \
    "                    strategies)\n"

// How runs over captures behave, the same text in every help that reads them.
#define RUN_COMMON_HELP                                                                            \
    "A capture whose last record is cut off (a capture still being written, a\n"                   \
    "copy cut short) keeps every complete packet before it, with a warning that\n"                 \
    "names the offset; --strict makes it a failure.  While the run lasts, OUTDIR\n"                \
    "(or OUTPUT) is locked: a second run into it fails at once.  SIGINT or\n"                      \
    "SIGTERM stops the run, removes its temporary files and exits with 130 or\n"                   \
    "143; any other failure removes them too."
#define EXIT_HELP                                                                                  \
    "Exit status: 0 done, 1 the run failed, 2 a mistake on the command line (an\n"                 \
    "unknown option, strategy, output type or protocol, a bad number or address).\n"
// split and archive sum up what they did.
#define RUN_HELP                                                                                   \
    RUN_COMMON_HELP "  At the end, unless --quiet, one\n"                                          \
                    "line sums up packets, flows, files, bytes, packets without IP and time.\n"    \
                    "\n" EXIT_HELP
#define FLOW_RUN_HELP RUN_COMMON_HELP "\n\n" EXIT_HELP

constexpr std::string_view kSplitHelp =
    R"(Usage: vexlor split INPUT... OUTDIR [OPTIONS]

Split the capture INPUT (pcap or pcapng; - reads standard input) into one
file per flow in OUTDIR.  Into a new OUTDIR the files appear all at once
when the split is done (they are written in .OUTDIR.vexlor-partial beside
it); in one that exists, each is written under a hidden temporary name and
renamed at the end.

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --max-sessions N  most flows kept open at once (default: 10000)
  --buffer-bytes N  write buffer share per open output file (default: 10000)
  --ip ADDR         keep only packets from or to ADDR, or a prefix such
                    as 10.0.0.0/8 or 2001:db8::/32 (repeatable)
  --port N          keep only packets from or to port N (repeatable)
  --output-type T   pcap, or l7 for the application payload (default: pcap)
  --writer-threads N  threads that create and write the files, 0 for none
                    (default: one per core, at most 4; 0 with --jobs above 1);
                    the files are the same with any number
  --memory SIZE     memory for the write buffers, such as 512M, shared by the
                    runs of --jobs (default: 96M each; for a compressed capture
                    or standard input, whose bytes are copied into them, a
                    sixteenth of the machine's memory from 96M to 256M); more
                    means fewer, larger writes, the files are the same
)" DECODE_HELP BOUNDARY_HELP INPUTS_HELP
    R"(  --prefix NAME     start file names with NAME (default: the input's name
                    without its capture and compression extensions, so
                    a.pcap.gz gives a; stdin for standard input)
  --strict          fail on a capture whose last record is cut off
  --quiet           no progress display and no summary line
  -h, --help        show this help and exit

Files are named NAME_FLOW.pcap (or .l7); later flows of the same endpoints,
cut off by --idle-timeout or --tcp-restart, are NAME_FLOW-2.pcap,
NAME_FLOW-3.pcap and so on.  A name too long for the file system is cut
short and ends in a hash of the whole name.

)" MANY_HELP RUN_HELP;

constexpr std::string_view kArchiveHelp =
    R"(Usage: vexlor archive INPUT... OUTPUT [OPTIONS]

Build the indexed flow archive OUTPUT (.vexlor) from the capture INPUT
(pcap or pcapng; - reads standard input).

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --max-sessions N  accepted for symmetry with split; an archive keeps
                    every flow (default: 10000)
  --ip ADDR         keep only packets from or to ADDR, or a prefix such
                    as 10.0.0.0/8 or 2001:db8::/32 (repeatable)
  --port N          keep only packets from or to port N (repeatable)
)" DECODE_HELP BOUNDARY_HELP INPUTS_HELP
    R"(  --strict          fail on a capture whose last record is cut off
  --quiet           no progress display and no summary line
  -h, --help        show this help and exit

Later flows of the same endpoints (see --idle-timeout, --tcp-restart) are
flows of their own, with ids of their own.  An OUTPUT that is the input
capture (under any name) is refused.

)" MANY_HELP RUN_HELP;

constexpr std::string_view kFlowsHelp = R"(Usage: vexlor flows ARCHIVE... [OPTIONS]

List the flows of ARCHIVE: id, protocol, addresses, ports, packets, bytes,
start time (UTC) and duration.  Two columns follow only when a listed flow
has them: host (archives of the host strategy: the flow's own address) and
outer, the identifiers of the tags and tunnels around the first packet of
the flow, such as "vlan=100/20 vni=5001 tunnel=192.0.2.1>192.0.2.2" (also
mpls, pppoe, gre_key, erspan, teid; up to four tags or labels), which tell
apart tenants that reuse the same inner addresses with other ports (flows
are keyed by the innermost header: packets of the same inner addresses
and ports are one flow, whichever way they came).

Options:
  --ip ADDR         flows with ADDR (or in a prefix ADDR/BITS) as source
                    or destination
  --port N          flows with port N as source or destination
  --proto NAME      flows of a protocol: tcp, udp, icmp, icmpv6, sctp, ...
                    or a number from 0 to 255
  --since TIME      flows whose first or last stored packet is at TIME
  --until TIME      or later, and whose first or last is at TIME or
                    earlier: UTC as in 2024-01-02T03:04:05.5 (or
                    2024-01-02 03:04, or 2024-01-02), or epoch seconds
  --format F        table (default), csv, json, or parquet (typed columns:
                    archive, id, protocol, src_ip, dst_ip, src_port,
                    dst_port, packets, bytes, first_us, last_us, host, outer)
  -o FILE           write to FILE, published whole (- for standard output)
  -h, --help        show this help and exit

Repeating a selector widens the choice (--port 53 --port 853: either port);
different selectors narrow it (--ip ADDR --port 53: both).  Without
selectors every flow is listed.

ARCHIVE may be given several times, as a directory (every .vexlor file
below it) or as the vexlor-manifest.jsonl of an archive job (the archives
it shows done): a set of archives listed as one, with an archive column
first.
)";

constexpr std::string_view kExtractHelp = R"(Usage: vexlor extract ARCHIVE... SELECTOR... [-o FILE]

Write the packets of the selected flows of ARCHIVE as one pcap file, in
time order (equal times in capture order), to FILE or to standard output
(for a pipe).  Flows of a set of archives are merged by time, equal times
in the order the archives are named; the archives must share a link type.

Selectors (at least one):
  --id N            the flow with id N
  --ip ADDR         flows with ADDR (or in a prefix ADDR/BITS) as source
                    or destination
  --port N          flows with port N as source or destination
  --proto NAME      flows of a protocol: tcp, udp, icmp, icmpv6, sctp, ...
                    or a number from 0 to 255
  --since TIME      flows whose first or last stored packet is at TIME
  --until TIME      or later, and whose first or last is at TIME or
                    earlier (UTC, or epoch seconds)

Options:
  -o FILE           write to FILE (- for standard output)
  -h, --help        show this help and exit

Repeating a selector widens the choice; different selectors narrow it.

ARCHIVE may be given several times, as a directory (every .vexlor file
below it) or as the vexlor-manifest.jsonl of an archive job (the archives
it shows done): a set of archives queried as one.
)";

// What table and bytes read, the same text in both helps.
#define FLOW_INPUTS_HELP                                                                           \
    "INPUT is a capture (pcap or pcapng, compressed or not; - for standard\n"                      \
    "input), a directory of them, a quoted glob pattern, or a .vexlor archive\n"                   \
    "(known by its first bytes), whose flows are taken as stored and named\n"                      \
    "by --strategy after the end their packets share; the archives in a\n"                         \
    "directory, and those a job's vexlor-manifest.jsonl shows done, are read\n"                    \
    "too.  Several inputs are read one after the other into one output, the\n"                     \
    "input column naming each flow's, flow ids going on from one capture to\n"                     \
    "the next (an archive's flows keep their ids, as extract --id takes\n"                         \
    "them); with --combine captures are read as one.  Memory grows with the\n"                     \
    "number of flows, not of packets; with --idle-timeout, flows idle past it\n"                   \
    "are written out and forgotten as the capture goes, so that only live\n"                       \
    "flows are held.\n"

// The options of table and bytes beyond their own, the same text in both.
#define FLOW_OPTIONS_HELP                                                                          \
    "  --ip ADDR         keep only packets from or to ADDR or a prefix (repeatable)\n"             \
    "  --port N          keep only packets from or to port N (repeatable)\n"                       \
    "  --combine HOW     read every input as one capture: concat or merge\n" DECODE_HELP           \
        BOUNDARY_HELP "  --strict          fail on a capture whose last record is cut off\n"       \
    "  --quiet           no progress display and no summary line\n"                                \
    "  -h, --help        show this help and exit\n"

constexpr std::string_view kTableHelp =
    R"(Usage: vexlor table INPUT... [OPTIONS]

Write one row per flow: identity, counters per direction and the first
packets' sizes, directions and gaps, as CSV (default), JSON lines or
Parquet, to FILE or to standard output.

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --first N         list the sizes, directions and gaps of the first N
                    packets of each flow (default: 20; 0: none)
  --format F        csv (default), jsonl, or parquet (zstd-compressed; the
                    same columns, typed: int64, string, list<int64>)
  -o FILE           write to FILE, published whole (- for standard output)
)" FLOW_OPTIONS_HELP R"(
Columns: id, input (the capture's path; in a name that is not UTF-8,
U+FFFD stands for each part that is not), key (the strategy's flow name),
proto, src, dst, src_port, dst_port (of the flow's first packet: its
source is the initiator), community_id (version 1, seed 0; ICMP type and
code stand for ports), first_us, last_us, duration_us (microseconds since
the epoch, the earliest and latest packet), packets_fwd, packets_bwd,
bytes_fwd, bytes_bwd (frame lengths on the wire), payload_fwd, payload_bwd
(captured transport payload), tcp_flags (every flag seen, OR-ed), then
three lists of the first N packets: sizes (wire lengths), dirs (0 from the
initiator, 1 towards it) and gaps_us (microseconds since the flow's
previous packet, 0 for the first), and outer: the tags and tunnels of the
flow's first packet ("vlan=100 vni=5001 tunnel=192.0.2.1>192.0.2.2"; empty
without any, and with --decode basic).  Forward is the initiator's way
(under host, mac and nosplit, a packet between two other ends counts as
forward).  In CSV a list is its numbers separated by single spaces, in one
cell ("60 52 1500"); in JSON lines it is an array.  Rows come in id order
(first packet order), except that with --idle-timeout flows are written as
they end.

)" FLOW_INPUTS_HELP "\n" FLOW_RUN_HELP;

constexpr std::string_view kBytesHelp =
    R"(Usage: vexlor bytes INPUT... --first N [OPTIONS] -o FILE.npy

Write the first N bytes of each flow, zero-padded, one row per flow, as a
NumPy array of uint8 (FILE.npy, shape (flows, N)), and the flows of its
rows as CSV beside it (FILE.keys.csv: row, id, input, key, proto, src,
dst, src_port, dst_port, community_id, first_us, packets; first_us is the
time of the flow's first packet).  From an archive, only the packets a row
keeps are read: the counts are the flow entries'.

Options:
  --first N         bytes per row, or per packet with --packets (required)
  --packets K       the first N bytes of each of the first K packets
                    instead, one slot of N bytes per packet: shape
                    (flows, K*N)
  --payload         the transport payload instead of whole frames
  --mask FIELDS     zero these header fields (comma-separated, repeatable):
                    mac (link-layer addresses), ip (IP addresses of the
                    innermost IP header, and of the packet an ICMP error
                    quotes), port (its TCP, UDP or SCTP ports, and the
                    quoted packet's), checksum (its IPv4 header's and its
                    TCP, UDP, SCTP, ICMP or ICMPv6 checksum, sums over the
                    addresses and ports that would tell them apart: masked
                    rows of flows alike in all else are then alike)
  -o FILE.npy       the array; both files are published whole
  --strategy S      how packets form flows (default: session)
)" FLOW_OPTIONS_HELP R"(
)" FLOW_INPUTS_HELP "\n" FLOW_RUN_HELP;

constexpr Command kCommands[] = {
    {"split", kInputOutdir, kSplitOptions, kSplitHelp, split_command, true},
    {"archive", kInputOutput, kArchiveOptions, kArchiveHelp, archive_command, true},
    {"flows", kArchiveArg, kFlowsOptions, kFlowsHelp, flows_command, true},
    {"extract", kArchiveArg, kExtractOptions, kExtractHelp, extract_command, true},
    {"table", kInputArg, kTableOptions, kTableHelp, table_command, true},
    {"bytes", kInputArg, kBytesOptions, kBytesHelp, bytes_command, true},
};

} // namespace

std::span<const Command> commands() {
    return kCommands;
}

} // namespace vexlor::cli
