#include "output/split_writer.h"

#include "output/pcap_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vexlor {

std::string sanitize_flow_name(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '_';
            continue;
        }
        switch (c) {
        case '"':
        case '*':
        case '.':
        case '/':
        case ':':
        case '<':
        case '>':
        case '?':
        case '\\':
        case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return out;
}

std::string join_path(const std::string& dir, std::string_view name) {
    if (dir.empty()) {
        return std::string(name);
    }
    std::string out = dir;
    if (out.back() != '/') {
        out += '/';
    }
    out += name;
    return out;
}

Status create_dir_all(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    // Walk the components front to back, creating what is missing.  EEXIST
    // is fine as long as what exists is a directory.
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (part.empty() || part == "/") {
            continue;
        }
        if (::mkdir(part.c_str(), 0777) == 0) {
            continue;
        }
        int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            continue;
        }
        return os_error(err);
    }
    return {};
}

Result<SplitWriter> SplitWriter::create(SplitWriterOptions options, NameOf name_of) {
    if (auto st = create_dir_all(options.output_dir); !st) {
        return std::unexpected(st.error());
    }
    return SplitWriter(std::move(options), std::move(name_of));
}

SplitWriter::~SplitWriter() { abandon(); }

void SplitWriter::abandon() {
    open_.drain([](OpenFile f) { (void)f.file.close(); });
}

Status SplitWriter::close_least_recent() {
    // The file is closed either way, but a failed flush is reported: the flow
    // may come back and append to its file, and a success here would publish
    // that file at close() with records missing from its middle.
    OpenFile f = open_.pop_front();
    return f.file.close();
}

Result<UniqueFd> SplitWriter::open_with_retry(const std::string& path, int flags) {
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return UniqueFd(fd);
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        // Out of descriptors (per process or system wide): give back the
        // least recently written one and try again.  Its flow reopens its
        // file for appending if it comes back.
        if ((err == EMFILE || err == ENFILE) && !open_.empty()) {
            if (auto st = close_least_recent(); !st) {
                return std::unexpected(st.error());
            }
            continue;
        }
        return std::unexpected(Error{ErrorKind::Io, os_error_text(err)});
    }
}

Result<LruTable<SplitWriter::OpenFile>::Handle> SplitWriter::open_file(const FlowKey& key,
                                                                      std::uint64_t hash) {
    auto known = created_.find(key, hash);
    bool reopen = known != LruTable<std::uint32_t>::kNil;
    Rename fresh;
    if (!reopen) {
        std::string base = opt_.prefix;
        base += '_';
        base += sanitize_flow_name(name_of_(key));
        const char* ext = opt_.l7 ? ".l7" : ".pcap";
        fresh.final_path = join_path(opt_.output_dir, base + ext);
        fresh.temp_path = join_path(opt_.output_dir, "." + base + ext + ".tmp");
    }
    const std::string& temp_path = reopen ? renames_[created_.at(known)].temp_path
                                          : fresh.temp_path;
    // A flow whose file the cap closed earlier continues it: append, and no
    // second global header.
    int flags = reopen ? (O_WRONLY | O_APPEND) : (O_WRONLY | O_CREAT | O_TRUNC);
    auto fd = open_with_retry(temp_path, flags);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    // The flow counts as having a file only once the open succeeded, so that
    // a failed creation is never mistaken later for a file to append to.
    std::uint32_t index;
    if (reopen) {
        index = created_.at(known);
    } else {
        index = static_cast<std::uint32_t>(renames_.size());
        renames_.push_back(std::move(fresh));
        created_.insert(key, hash, index);
    }
    OpenFile f{BufferedFile(std::move(*fd), opt_.buffer_bytes), index};
    if (!opt_.l7 && !reopen) {
        std::uint8_t hdr[kPcapGlobalHeaderSize];
        pcap_global_header(hdr, opt_.link_type);
        if (auto st = f.file.write(hdr); !st) {
            (void)f.file.close();
            return std::unexpected(st.error());
        }
    }
    return open_.insert(key, hash, std::move(f));
}

Status SplitWriter::write_packet(BufferedFile& file, const Packet& packet) {
    if (!opt_.l7) {
        return write_pcap_frame_raw(file, packet.ts_sec, packet.ts_usec, packet.caplen,
                                    packet.orig_len, packet.bytes());
    }
    if (!packet.payload_offset) {
        return {};
    }
    auto bytes = packet.bytes();
    std::size_t off = static_cast<std::size_t>(*packet.payload_offset);
    if (off >= bytes.size()) {
        return {};
    }
    return file.write(bytes.subspan(off));
}

Status SplitWriter::write(const FlowKey& key, std::uint64_t hash, const Packet& packet) {
    std::size_t cap = opt_.max_sessions == 0 ? 1 : opt_.max_sessions;
    if (open_.size() >= cap) {
        if (auto st = close_least_recent(); !st) {
            return st;
        }
    }
    ++write_seq_;
    auto h = open_.find(key, hash);
    if (h != LruTable<OpenFile>::kNil) {
        open_.touch(h);
        return write_packet(open_.at(h).file, packet);
    }
    auto opened = open_file(key, hash);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    return write_packet(open_.at(*opened).file, packet);
}

Status SplitWriter::close() && {
    // Flush everything first: a failure leaves every file under its
    // temporary name.
    Status first;
    while (!open_.empty()) {
        OpenFile f = open_.pop_front();
        Status st = f.file.close();
        if (first && !st) {
            first = st;
        }
    }
    if (!first) {
        return first;
    }
    for (const Rename& r : renames_) {
        struct stat st;
        if (::stat(r.temp_path.c_str(), &st) != 0) {
            continue; // removed behind our back: nothing to publish
        }
        if (opt_.l7 && st.st_size == 0) {
            (void)::unlink(r.temp_path.c_str());
            continue;
        }
        if (::rename(r.temp_path.c_str(), r.final_path.c_str()) != 0) {
            return os_error(errno);
        }
    }
    return {};
}

} // namespace vexlor
