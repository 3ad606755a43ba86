// flows and extract: the flows of archives (a set of them read as one),
// chosen by id, address, port, protocol and time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/archive_reader.h"
#include "cli/batch.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "common/ip_text.h"
#include "flow/filter.h"
#include "packet/wide_dissect.h"
#include "parser/pcap_format.h"

namespace vexlor::cli {
namespace {

// Repeating one kind of selector widens the choice (any of the values);
// different kinds narrow it (all of the kinds).
struct Selection {
    std::vector<std::uint64_t> ids;
    std::vector<Address16> ips;
    std::vector<IpPrefix> prefixes;
    std::vector<std::uint16_t> ports;
    std::vector<std::uint8_t> protos;
    // Flows with a packet in [since, until] (their first and last packet
    // times), microseconds since the epoch.
    std::optional<std::uint64_t> since, until;

    // Whether an index selects (time is looked at flow by flow).
    bool indexed() const {
        return !ids.empty() || !ips.empty() || !prefixes.empty() || !ports.empty() ||
               !protos.empty();
    }
    bool any() const { return indexed() || since || until; }
    bool in_time(const FlowEntry& e) const {
        return (!since || std::max(e.start_ts, e.end_ts) >= *since) &&
               (!until || std::min(e.start_ts, e.end_ts) <= *until);
    }
};

// The digits of a time's fraction below the microsecond, trailing zeros
// left out ("" for none): "1700000000.0000005" gives "5".
std::string below_microsecond(std::string_view text) {
    const std::size_t dot = text.find('.');
    std::string out;
    if (dot == std::string_view::npos) {
        return out;
    }
    for (std::size_t i = dot + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (i - dot > 6) {
            out += text[i];
        }
    }
    while (!out.empty() && out.back() == '0') {
        out.pop_back();
    }
    return out;
}

// Whether fraction digits `a` stand for more than `b` (both of one place).
bool later_fraction(std::string a, std::string b) {
    const std::size_t n = std::max(a.size(), b.size());
    a.resize(n, '0');
    b.resize(n, '0');
    return a > b;
}

std::expected<Selection, Failure> selection_options(const ParsedArgs& args) {
    Selection sel;
    // Mistakes of form (numbers) are reported before mistakes of value
    // (names), whatever their order on the line.
    std::optional<Failure> value_problem;
    std::optional<std::uint64_t> since_down, until_down;
    std::string since_finer, until_finer;
    for (const ParsedArgs::Option& o : args.options) {
        if (o.name == "id") {
            auto n = parse_number(o.value, std::numeric_limits<std::uint64_t>::max(), "--id");
            if (!n) {
                return misused(n.error());
            }
            sel.ids.push_back(*n);
        } else if (o.name == "port") {
            auto n = parse_number(o.value, 65535, "--port");
            if (!n) {
                return misused(n.error());
            }
            sel.ports.push_back(static_cast<std::uint16_t>(*n));
        } else if (o.name == "proto") {
            if (!o.value.empty() && o.value[0] >= '0' && o.value[0] <= '9') {
                auto n = parse_number(o.value, 255, "--proto");
                if (!n) {
                    return misused(n.error());
                }
                sel.protos.push_back(static_cast<std::uint8_t>(*n));
            } else if (auto p = protocol_by_name(o.value)) {
                sel.protos.push_back(*p);
            } else if (!value_problem) {
                value_problem = Failure{kExitUsage, "unknown protocol '" + o.value +
                                                        "' (valid: " + protocol_names() +
                                                        ", or a number from 0 to 255)"};
            }
        } else if (o.name == "since" || o.name == "until") {
            auto t = parse_utc_time(o.value, o.name == "since");
            if (!t) {
                return misused({"invalid value '" + o.value + "' for --" + std::string(o.name) +
                                ": expected a UTC time such as 2024-01-02T03:04:05 or seconds "
                                "since the epoch"});
            }
            (o.name == "since" ? sel.since : sel.until) = *t;
            // Both rounded down, with what lies below the microsecond, for the
            // check of their order below: --since rounded up may pass an
            // --until less than a microsecond later.
            (o.name == "since" ? since_down : until_down) = parse_utc_time(o.value, false);
            (o.name == "since" ? since_finer : until_finer) = below_microsecond(o.value);
        } else if (o.name == "ip") {
            if (auto ip = parse_ip(o.value)) {
                sel.ips.push_back(ip->mapped16());
            } else if (auto prefix = parse_prefix(o.value)) {
                sel.prefixes.push_back(*prefix);
            } else if (!value_problem) {
                value_problem = bad_address(o.value).error();
            }
        }
    }
    if (value_problem) {
        return std::unexpected(std::move(*value_problem));
    }
    if (since_down && until_down &&
        (*since_down > *until_down ||
         (*since_down == *until_down && later_fraction(since_finer, until_finer)))) {
        return misused({"--since is later than --until: no flow could be chosen"});
    }
    return sel;
}

// An address as archives store it (IPv4 as IPv4-mapped IPv6) back in its
// own family, so that prefixes of one family hold no address of the other.
IpAddress stored_address(const Address16& a) {
    constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(a.begin(), a.begin() + 12, kMapped)) {
        return IpAddress::v4(a.data() + 12);
    }
    return IpAddress::v6(a.data());
}

// The selected flows in ascending id order, or every flow in table order
// when nothing is selected.  Each kind is answered from the archive's
// indexes (a scan of the flow table only when the archive has none).
std::vector<const FlowEntry*> select_indexed(const ArchiveReader& reader, const Selection& sel) {
    std::vector<const FlowEntry*> out;
    if (!sel.indexed()) {
        for (const FlowEntry& e : reader.flows()) {
            out.push_back(&e);
        }
        return out;
    }
    std::optional<std::vector<std::uint64_t>> chosen;
    auto narrow = [&](std::vector<std::uint64_t> ids) {
        std::ranges::sort(ids);
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        if (!chosen) {
            chosen = std::move(ids);
            return;
        }
        std::vector<std::uint64_t> both;
        std::ranges::set_intersection(*chosen, ids, std::back_inserter(both));
        chosen = std::move(both);
    };
    auto union_of = [](const auto& keys, auto lookup) {
        std::vector<std::uint64_t> ids;
        for (const auto& key : keys) {
            std::ranges::copy(lookup(key), std::back_inserter(ids));
        }
        return ids;
    };
    if (!sel.ids.empty()) {
        narrow(sel.ids);
    }
    if (!sel.ips.empty() || !sel.prefixes.empty()) {
        auto ids = union_of(sel.ips, [&](const Address16& a) { return reader.find_by_address(a); });
        auto in_prefixes = [&](const Address16& a) {
            return std::ranges::any_of(
                sel.prefixes, [&](const IpPrefix& p) { return p.contains(stored_address(a)); });
        };
        // Prefixes are answered by a scan of the flow table: the address
        // index has no range lookup.
        for (const FlowEntry& e : reader.flows()) {
            const bool has_ip = e.proto != 0 || e.src_addr != Address16{};
            if (has_ip && (in_prefixes(e.src_addr) || in_prefixes(e.dst_addr))) {
                ids.push_back(e.id);
            }
        }
        // A flow of the host strategy is the flow of one address only; its
        // entry holds its first packet's two.
        std::erase_if(ids, [&](std::uint64_t id) {
            const FlowEntry* e = reader.resolve(id);
            if (!e || e->host_side == HostSide::Unknown) {
                return false;
            }
            const Address16& host = e->host_side == HostSide::Source ? e->src_addr : e->dst_addr;
            return std::ranges::find(sel.ips, host) == sel.ips.end() && !in_prefixes(host);
        });
        narrow(std::move(ids));
    }
    if (!sel.ports.empty()) {
        narrow(union_of(sel.ports, [&](std::uint16_t p) { return reader.find_by_port(p); }));
    }
    if (!sel.protos.empty()) {
        narrow(union_of(sel.protos, [&](std::uint8_t p) { return reader.find_by_protocol(p); }));
    }
    for (std::uint64_t id : *chosen) {
        if (const FlowEntry* e = reader.resolve(id)) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<const FlowEntry*> select_flows(const ArchiveReader& reader, const Selection& sel) {
    std::vector<const FlowEntry*> out = select_indexed(reader, sel);
    std::erase_if(out, [&](const FlowEntry* e) { return !sel.in_time(*e); });
    return out;
}

std::expected<std::shared_ptr<const ArchiveReader>, Failure> open_archive(const std::string& path) {
    auto reader = ArchiveReader::open(path);
    if (!reader) {
        // The reader's words do not say why the file could not be opened;
        // the system's do.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return failed("cannot open archive " + path + ": " + os_error_text(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            return failed(path + ": is a directory");
        }
        if (UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); !fd.valid()) {
            return failed("cannot open archive " + path + ": " + os_error_text(errno));
        }
        return failed("cannot open archive " + path + ": " + reader.error().message);
    }
    if (auto why = (*reader)->format_problem()) {
        return failed("cannot open archive " + path + ": " + *why);
    }
    return std::move(*reader);
}

// The archives of the ARCHIVE arguments, each with the name it is listed
// under; `set` when a directory, a manifest or several archives were named.
struct ArchiveSet {
    std::vector<std::string> names;
    std::vector<std::shared_ptr<const ArchiveReader>> readers;
    bool set = false;

    // The message of an archive another program cut short while we read
    // it, if one was: nothing read from the set is published then.
    std::optional<std::string> cut() const {
        for (std::size_t a = 0; a < readers.size(); ++a) {
            if (readers[a]->cut_short()) {
                return names[a] + ": " + kInputCutWhileRead;
            }
        }
        return std::nullopt;
    }

    // Every file the set came from: the archives, and the manifests named.
    std::vector<std::string> read_from(const ParsedArgs& args) const {
        std::vector<std::string> paths = names;
        paths.insert(paths.end(), args.positionals.begin(), args.positionals.end());
        std::ranges::move(manifests_of(args.positionals), std::back_inserter(paths));
        return paths;
    }
};

std::expected<ArchiveSet, Failure> open_archives(const ParsedArgs& args) {
    ArchiveSet out;
    out.set = args.positionals.size() > 1;
    for (const std::string& arg : args.positionals) {
        auto named = archives_named(arg, out.set);
        if (!named) {
            return std::unexpected(named.error());
        }
        for (std::string& path : *named) {
            // An archive named twice (directly and in its directory or
            // manifest, or under two names) is read once.
            const auto identity = identity_of(path);
            if (identity && std::ranges::any_of(out.readers, [&](const auto& r) {
                    return r->identity() == *identity;
                })) {
                continue;
            }
            auto reader = open_archive(path);
            if (!reader) {
                return std::unexpected(reader.error());
            }
            out.names.push_back(std::move(path));
            out.readers.push_back(std::move(*reader));
        }
    }
    return out;
}

// ---- flows ------------------------------------------------------------------

// Each flow's outer identifiers (VLAN ids, labels, VNI, ...), from its first
// stored packet decoded again widely: the archive keeps whole frames, so
// tenants that share inner addresses can be told apart without a field of
// the archive for them.  A flow keyed by its innermost header has the outer
// layers of its first packet; later packets may have come another way.
std::vector<std::string> outer_layers(const ArchiveReader& reader,
                                      std::span<const FlowEntry* const> flows) {
    std::vector<std::string> out(flows.size());
    WideDissection d;
    for (std::size_t i = 0; i < flows.size(); ++i) {
        const auto offset = reader.first_packet_offset(*flows[i]);
        const auto packet = offset ? reader.packet_at(*offset) : std::nullopt;
        if (packet) {
            dissect_wide(packet->data, reader.link_type(), d);
            out[i] = outer_text(d.encap);
        }
    }
    return out;
}

} // namespace

CommandStatus flows_command(const ParsedArgs& args) {
    ListFormat format = ListFormat::Table;
    if (auto f = args.last("format")) {
        if (*f == "table") {
            format = ListFormat::Table;
        } else if (*f == "csv") {
            format = ListFormat::Csv;
        } else if (*f == "json") {
            format = ListFormat::Json;
        } else if (*f == "parquet") {
            format = ListFormat::Parquet;
        } else {
            return misused({"invalid value '" + std::string(*f) +
                            "' for --format: expected table, csv, json or parquet"});
        }
    }
    if (format == ListFormat::Parquet && !args.has("output") && ::isatty(STDOUT_FILENO) == 1) {
        return misused({"refusing to write Parquet to a terminal; use -o FILE or a pipe"});
    }
    auto sel = selection_options(args);
    if (!sel) {
        return std::unexpected(sel.error());
    }
    auto archives = open_archives(args);
    if (!archives) {
        return std::unexpected(archives.error());
    }
    std::vector<const FlowEntry*> flows;
    std::vector<std::string> outer, names;
    for (std::size_t a = 0; a < archives->readers.size(); ++a) {
        const ArchiveReader& reader = *archives->readers[a];
        std::vector<const FlowEntry*> chosen = select_flows(reader, *sel);
        std::ranges::move(outer_layers(reader, chosen), std::back_inserter(outer));
        if (archives->set || format == ListFormat::Parquet) {
            names.insert(names.end(), chosen.size(), archives->names[a]);
        }
        flows.insert(flows.end(), chosen.begin(), chosen.end());
    }
    // Opened only now: a refused selection or archive leaves no file behind.
    auto file = TempFile::for_output(args.last("output"), archives->read_from(args));
    if (!file) {
        return std::unexpected(file.error());
    }
    FdWriter out(*file ? (*file)->fd() : STDOUT_FILENO);
    write_flows(out, flows, format, outer, names, archives->set);
    if (!out.flush()) {
        return write_failed(out.error(), *file ? (*file)->tmp() : "standard output");
    }
    // The outer layers come from stored packets.
    if (auto why = archives->cut()) {
        return failed(*why);
    }
    return *file ? (*file)->publish() : CommandStatus{};
}

namespace {

// A strategy that puts a packet into two flows (host, mac) stores it once
// for each, as two identical records one right after the other.  Walking the
// selected records in file order, a record is such a copy when it follows an
// original of another flow directly and has the same bytes; an original
// pairs with one copy at most, so a packet captured twice stays twice.
template <class PendingT>
void drop_stored_copies(const ArchiveReader& reader, std::vector<PendingT>& pending) {
    std::vector<std::size_t> by_offset(pending.size());
    for (std::size_t i = 0; i < by_offset.size(); ++i) {
        by_offset[i] = i;
    }
    std::ranges::sort(by_offset, {}, [&](std::size_t i) { return pending[i].offset; });
    std::vector<bool> copy(pending.size(), false);
    for (std::size_t k = 1; k < by_offset.size(); ++k) {
        const PendingT& prev = pending[by_offset[k - 1]];
        const PendingT& cur = pending[by_offset[k]];
        if (copy[by_offset[k - 1]] || prev.flow == cur.flow || prev.size != cur.size ||
            prev.offset + prev.size != cur.offset) {
            continue;
        }
        auto a = reader.record_at(prev.offset);
        auto b = reader.record_at(cur.offset);
        if (a && b && std::ranges::equal(*a, *b)) {
            copy[by_offset[k]] = true;
        }
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (!copy[i]) {
            pending[out++] = pending[i];
        }
    }
    pending.resize(out);
}

} // namespace

// ---- extract ----------------------------------------------------------------

CommandStatus extract_command(const ParsedArgs& args) {
    auto sel = selection_options(args);
    if (!sel) {
        return std::unexpected(sel.error());
    }
    if (!sel->any()) {
        return misused(
            {"extract needs at least one of --id, --ip, --port, --proto, --since, --until"});
    }
    std::optional<std::string_view> dest = args.last("output");
    const bool to_stdout = !dest || *dest == "-";
    if (to_stdout && ::isatty(STDOUT_FILENO) == 1) {
        return misused({"refusing to write pcap data to a terminal; use -o FILE or a pipe"});
    }
    auto archives = open_archives(args);
    if (!archives) {
        return std::unexpected(archives.error());
    }
    // An id no archive has is a mistake (a selection by address or port
    // that finds nothing is an answer): warned of, and when no id given is
    // found, the request is void and fails.
    const std::string where = archives->set ? "these archives" : archives->names.front();
    std::vector<std::uint64_t> missing;
    for (std::uint64_t id : sel->ids) {
        if (std::ranges::none_of(archives->readers,
                                 [&](const auto& r) { return r->resolve(id); })) {
            missing.push_back(id);
        }
    }
    if (!missing.empty() && missing.size() == sel->ids.size()) {
        return failed("no flow has id " + std::to_string(missing.front()) + " in " + where);
    }
    for (std::uint64_t id : missing) {
        std::fprintf(stderr, "vexlor: warning: no flow has id %llu in %s\n",
                     static_cast<unsigned long long>(id), where.c_str());
    }
    // One pcap holds one link type.
    const std::uint32_t link_type =
        archives->readers.empty() ? kLinkEthernet : archives->readers.front()->link_type();
    for (std::size_t a = 1; a < archives->readers.size(); ++a) {
        if (archives->readers[a]->link_type() != link_type) {
            return failed(archives->names[a] + " has link type " +
                          std::to_string(archives->readers[a]->link_type()) + ", but " +
                          archives->names.front() + " has " + std::to_string(link_type) +
                          ": one pcap holds one link type");
        }
    }

    // Every selected packet's time and place, then one stable sort: equal
    // times keep archive order, then the order of the records in the
    // archive, which is the capture's (as filtering the capture would give
    // them).  Flows are not assumed to be in time order themselves
    // (captures need not be).
    struct Pending {
        std::uint64_t ts;
        std::uint64_t offset;
        std::uint64_t flow;
        std::uint64_t size; // of the stored record
        std::size_t archive = 0;
    };
    std::vector<Pending> pending;
    for (std::size_t a = 0; a < archives->readers.size(); ++a) {
        const ArchiveReader& reader = *archives->readers[a];
        std::vector<Pending> mine;
        std::unordered_set<std::uint64_t> seen; // a record listed twice is one packet
        for (const FlowEntry* e : select_flows(reader, *sel)) {
            auto offsets = reader.get_packet_offsets(*e);
            if (!offsets) {
                return failed(archives->names[a] + ": " + offsets.error().message);
            }
            for (std::uint64_t off : *offsets) {
                // A record that does not lie wholly inside the file is a
                // damaged archive: the module's packets() leaves it out, but
                // a pcap written without it would pass for the whole flow.
                auto p = reader.packet_at(off);
                auto rec = reader.record_at(off);
                if (!p || !rec) {
                    return failed(
                        archives->names[a] + ": " +
                        (reader.cut_short() ? kInputCutWhileRead : damaged_record(e->id, off)));
                }
                if (seen.insert(off).second) {
                    mine.push_back({std::uint64_t{p->ts_sec} * 1000000 + p->ts_usec, off, e->id,
                                    rec->size(), a});
                }
            }
        }
        drop_stored_copies(reader, mine);
        std::ranges::sort(mine, {}, &Pending::offset);
        pending.insert(pending.end(), mine.begin(), mine.end());
    }
    std::ranges::stable_sort(pending, {}, &Pending::ts);

    auto file = TempFile::for_output(dest, archives->read_from(args));
    if (!file) {
        return std::unexpected(file.error());
    }
    FdWriter out(*file ? (*file)->fd() : STDOUT_FILENO);
    out.write(pcap_global_header(link_type));
    for (const Pending& p : pending) {
        // A stored record is a classic pcap record as it stands; one gone
        // since it was looked at is an archive cut short under us.
        auto rec = archives->readers[p.archive]->record_at(p.offset);
        if (!rec) {
            return failed(archives->cut().value_or(archives->names[p.archive] + ": " +
                                                   damaged_record(p.flow, p.offset)));
        }
        out.write(*rec);
    }
    if (!out.flush()) {
        return write_failed(out.error(), *file ? (*file)->tmp() : "standard output");
    }
    if (auto why = archives->cut()) {
        return failed(*why);
    }
    return *file ? (*file)->publish() : CommandStatus{};
}

} // namespace vexlor::cli
