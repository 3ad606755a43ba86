#include "archive/index.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace vexlor {

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// Section bounds inside the index bytes, or nothing when the descriptor is
// unusable.  The start is formed without wrap-around.
struct SectionBounds {
    std::uint64_t start;
    std::uint64_t end;
};
std::optional<SectionBounds> section_bounds(ByteSpan index_bytes, std::uint64_t offset,
                                            std::uint32_t length) {
    if (length < 4 || offset > std::numeric_limits<std::uint64_t>::max() - kIndexHeaderSize) {
        return std::nullopt;
    }
    std::uint64_t start = kIndexHeaderSize + offset;
    if (!fits(start, length, index_bytes.size())) {
        return std::nullopt;
    }
    return SectionBounds{start, start + length};
}

// One step of the entry walk: the entry at `pos` if it fits before `end`.
struct EntryAt {
    std::uint64_t ids_pos;
    std::uint32_t n;
};
std::optional<EntryAt> entry_at(ByteSpan bytes, std::uint64_t pos, std::uint64_t end,
                                std::size_t key_width) {
    if (!fits(pos, key_width + 4, end)) {
        return std::nullopt;
    }
    std::uint32_t n = load_le<std::uint32_t>(bytes.data() + pos + key_width);
    std::uint64_t ids_pos = pos + key_width + 4;
    if (n > (end - ids_pos) / 8) {
        return std::nullopt;
    }
    return EntryAt{ids_pos, n};
}

std::vector<std::uint64_t> read_ids(ByteSpan bytes, const EntryAt& e) {
    std::vector<std::uint64_t> ids(e.n);
    for (std::uint32_t i = 0; i < e.n; ++i) {
        ids[i] = load_le<std::uint64_t>(bytes.data() + e.ids_pos + 8 * std::uint64_t{i});
    }
    return ids;
}

// Key order of the sections as the writer sorts them: ports and protocols
// as numbers (stored little-endian), addresses as byte strings.
int compare_keys(const std::uint8_t* a, const std::uint8_t* b, std::size_t width) {
    if (width > 8) {
        return std::memcmp(a, b, width);
    }
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    for (std::size_t i = width; i-- > 0;) {
        x = (x << 8) | a[i];
        y = (y << 8) | b[i];
    }
    return x < y ? -1 : (x > y ? 1 : 0);
}

} // namespace

std::optional<SecondaryIndexes> SecondaryIndexes::parse(ByteSpan region) {
    if (region.size() < kIndexHeaderSize) {
        return std::nullopt;
    }
    SecondaryIndexes idx;
    idx.bytes.assign(region.begin(), region.end());
    const std::uint8_t* h = idx.bytes.data();
    idx.ip = {load_le<std::uint64_t>(h), load_le<std::uint32_t>(h + 8)};
    idx.port = {load_le<std::uint64_t>(h + 12), load_le<std::uint32_t>(h + 20)};
    idx.protocol = {load_le<std::uint64_t>(h + 24), load_le<std::uint32_t>(h + 32)};
    return idx;
}

std::vector<std::uint64_t> lookup_generic(ByteSpan index_bytes, std::uint64_t section_offset,
                                          std::uint32_t section_length, ByteSpan key,
                                          std::size_t key_width) {
    auto bounds = section_bounds(index_bytes, section_offset, section_length);
    if (!bounds) {
        return {};
    }
    std::uint32_t pair_count = load_le<std::uint32_t>(index_bytes.data() + bounds->start);
    if (pair_count == 0 || key.size() != key_width) {
        return {};
    }
    // The pair count is at least the entry count, so it bounds the walk; the
    // section end bounds it too.
    std::uint64_t pos = bounds->start + 4;
    for (std::uint32_t i = 0; i < pair_count; ++i) {
        auto e = entry_at(index_bytes, pos, bounds->end, key_width);
        if (!e) {
            return {};
        }
        if (std::memcmp(index_bytes.data() + pos, key.data(), key_width) == 0) {
            return read_ids(index_bytes, *e);
        }
        pos = e->ids_pos + 8 * std::uint64_t{e->n};
    }
    return {};
}

SectionLookup SectionLookup::prepare(ByteSpan index_bytes, IndexSection section,
                                     std::size_t key_width) {
    SectionLookup s;
    s.section_ = section;
    s.key_width_ = key_width;
    s.ordered_ = true;
    auto bounds = section_bounds(index_bytes, section.offset, section.length);
    if (!bounds) {
        return s;
    }
    s.start_ = bounds->start + 4;
    std::uint32_t pair_count = load_le<std::uint32_t>(index_bytes.data() + bounds->start);
    // Every entry takes at least key_width + 4 bytes, which bounds the
    // reservation whatever the pair count claims.
    s.entries_.reserve(std::min<std::uint64_t>(pair_count, section.length / (key_width + 4)));
    std::uint64_t pos = s.start_;
    for (std::uint32_t i = 0; i < pair_count; ++i) {
        auto e = entry_at(index_bytes, pos, bounds->end, key_width);
        if (!e) {
            break;
        }
        if (!s.entries_.empty()) {
            const std::uint8_t* prev = index_bytes.data() + s.start_ + s.entries_.back();
            if (compare_keys(prev, index_bytes.data() + pos, key_width) >= 0) {
                s.ordered_ = false;
                s.entries_.clear();
                s.entries_.shrink_to_fit();
                return s;
            }
        }
        s.entries_.push_back(static_cast<std::uint32_t>(pos - s.start_));
        pos = e->ids_pos + 8 * std::uint64_t{e->n};
    }
    return s;
}

std::vector<std::uint64_t> SectionLookup::find(ByteSpan index_bytes, ByteSpan key) const {
    if (!ordered_) {
        return lookup_generic(index_bytes, section_.offset, section_.length, key, key_width_);
    }
    if (key.size() != key_width_ || entries_.empty()) {
        return {};
    }
    const std::uint8_t* base = index_bytes.data() + start_;
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key.data(),
                               [&](std::uint32_t rel, const std::uint8_t* k) {
                                   return compare_keys(base + rel, k, key_width_) < 0;
                               });
    if (it == entries_.end() || compare_keys(base + *it, key.data(), key_width_) != 0) {
        return {};
    }
    std::uint64_t pos = start_ + *it;
    std::uint32_t n = load_le<std::uint32_t>(index_bytes.data() + pos + key_width_);
    return read_ids(index_bytes, EntryAt{pos + key_width_ + 4, n});
}

namespace {

// Address keys sort as two big-endian halves: the same order as comparing
// the 16 bytes one by one, at the cost of two integer compares.
std::uint64_t high_half(const Address16& a) {
    return load_be<std::uint64_t>(a.data());
}
std::uint64_t low_half(const Address16& a) {
    return load_be<std::uint64_t>(a.data() + 8);
}

} // namespace

void SecondaryIndexBuilder::add(const FlowEntry& e) {
    in_id_order_ = in_id_order_ && e.id >= last_id_;
    last_id_ = e.id;
    ip_.push_back({high_half(e.src_addr), low_half(e.src_addr), e.id});
    ip_.push_back({high_half(e.dst_addr), low_half(e.dst_addr), e.id});
    port_.push_back({e.src_port, e.id});
    port_.push_back({e.dst_port, e.id});
    protocol_.push_back({e.proto, e.id});
}

namespace {

struct SectionWriter {
    std::uint8_t* p;
    template <class T> void put(T v) {
        store_le(p, v);
        p += sizeof(T);
    }
};

void put_key(SectionWriter& w, const SecondaryIndexBuilder::IpPair& pair) {
    // hi and lo hold the bytes big-endian; swapped and stored little-endian
    // they come out in their original order.
    store_le(w.p, std::byteswap(pair.hi));
    store_le(w.p + 8, std::byteswap(pair.lo));
    w.p += 16;
}
void put_key(SectionWriter& w, const SecondaryIndexBuilder::PortPair& pair) {
    w.put(pair.key);
}
void put_key(SectionWriter& w, const SecondaryIndexBuilder::ProtocolPair& pair) {
    w.put(pair.key);
}

bool same_key(const SecondaryIndexBuilder::IpPair& a, const SecondaryIndexBuilder::IpPair& b) {
    return a.hi == b.hi && a.lo == b.lo;
}
template <class Pair> bool same_key(const Pair& a, const Pair& b) {
    return a.key == b.key;
}

bool key_less(const SecondaryIndexBuilder::IpPair& a, const SecondaryIndexBuilder::IpPair& b) {
    return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo);
}
template <class Pair> bool key_less(const Pair& a, const Pair& b) {
    return a.key < b.key;
}

// Orders pairs by key, then id.  Narrow keys whose pairs arrived in id order
// take one stable bucket pass, which keeps that id order inside each key;
// everything else is sorted outright.
template <class Pair> constexpr bool kNarrowKey = requires(Pair p) {
    requires sizeof(p.key) <= 2;
};

template <class Pair> void sort_pairs(std::vector<Pair>& pairs, bool in_id_order) {
    if constexpr (kNarrowKey<Pair>) {
        if (in_id_order) {
            constexpr std::size_t kBuckets = std::size_t{1} << (8 * sizeof(Pair::key));
            std::vector<std::uint64_t> start(kBuckets + 1, 0);
            for (const Pair& p : pairs) {
                ++start[std::size_t{p.key} + 1];
            }
            for (std::size_t k = 0; k < kBuckets; ++k) {
                start[k + 1] += start[k];
            }
            std::vector<Pair> out(pairs.size());
            for (const Pair& p : pairs) {
                out[start[p.key]++] = p;
            }
            pairs.swap(out);
            return;
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        return key_less(a, b) || (same_key(a, b) && a.id < b.id);
    });
}

// Sorts the pairs by key then id, merges equal pairs, and returns the byte
// length of the section they make.
template <class Pair>
Result<std::uint64_t> prepare_section(std::vector<Pair>& pairs, bool in_id_order,
                                      std::size_t key_width, const char* name) {
    sort_pairs(pairs, in_id_order);
    pairs.erase(
        std::unique(pairs.begin(), pairs.end(),
                    [](const Pair& a, const Pair& b) { return same_key(a, b) && a.id == b.id; }),
        pairs.end());
    std::uint64_t entries = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        entries += (i == 0 || !same_key(pairs[i], pairs[i - 1]));
    }
    std::uint64_t length = 4 + entries * (key_width + 4) + 8 * std::uint64_t{pairs.size()};
    // The descriptor holds a u32 length (and the pair count a u32).
    if (length > kU32Max) {
        return runtime_error("Index section " + std::string(name) + " too large for an archive (" +
                             std::to_string(length) + " bytes)");
    }
    return length;
}

// Writes a section of pairs prepared by prepare_section: the pair count,
// then per run of equal keys the key, the run length and its ids.
template <class Pair> void write_section(const std::vector<Pair>& pairs, SectionWriter& w) {
    w.put(static_cast<std::uint32_t>(pairs.size()));
    for (std::size_t i = 0; i < pairs.size();) {
        std::size_t j = i + 1;
        while (j < pairs.size() && same_key(pairs[j], pairs[i])) {
            ++j;
        }
        put_key(w, pairs[i]);
        w.put(static_cast<std::uint32_t>(j - i));
        for (std::size_t k = i; k < j; ++k) {
            w.put(pairs[k].id);
        }
        i = j;
    }
}

} // namespace

Result<std::vector<std::uint8_t>> SecondaryIndexBuilder::build() {
    auto ip_len = prepare_section(ip_, in_id_order_, kIpKeyWidth, "by address");
    if (!ip_len) {
        return std::unexpected(ip_len.error());
    }
    auto port_len = prepare_section(port_, in_id_order_, kPortKeyWidth, "by port");
    if (!port_len) {
        return std::unexpected(port_len.error());
    }
    auto proto_len = prepare_section(protocol_, in_id_order_, kProtocolKeyWidth, "by protocol");
    if (!proto_len) {
        return std::unexpected(proto_len.error());
    }

    std::vector<std::uint8_t> out(kIndexHeaderSize + *ip_len + *port_len + *proto_len);
    SectionWriter w{out.data()};
    w.put<std::uint64_t>(0);
    w.put(static_cast<std::uint32_t>(*ip_len));
    w.put<std::uint64_t>(*ip_len);
    w.put(static_cast<std::uint32_t>(*port_len));
    w.put<std::uint64_t>(*ip_len + *port_len);
    w.put(static_cast<std::uint32_t>(*proto_len));
    write_section(ip_, w);
    write_section(port_, w);
    write_section(protocol_, w);

    *this = SecondaryIndexBuilder();
    return out;
}

} // namespace vexlor
