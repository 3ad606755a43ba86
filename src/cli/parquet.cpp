#include "cli/parquet.h"

#include <zstd.h>

#include <cstring>

namespace vexlor::cli {

namespace {

// A row group closes at this many rows or buffered bytes, which bounds the
// memory of a table of any length.
constexpr std::uint64_t kGroupRows = 65536;
constexpr std::uint64_t kGroupBytes = std::uint64_t{32} << 20;
constexpr int kZstdLevel = 1;

// parquet.thrift's numbers.
enum : std::int32_t { kInt64 = 2, kByteArray = 6 };   // Type
enum : std::int32_t { kRequired = 0, kRepeated = 2 }; // FieldRepetitionType
enum : std::int32_t { kUtf8 = 0, kList = 3 };         // ConvertedType
enum : std::int32_t { kPlain = 0, kRle = 3 };         // Encoding
enum : std::int32_t { kZstd = 6 };                    // CompressionCodec
enum : std::int32_t { kDataPage = 0 };                // PageType
// The compact protocol's types.
enum : std::uint8_t { kI32 = 5, kI64 = 6, kBinary = 8, kListType = 9, kStruct = 12 };

// Unsigned LEB128, as Thrift's compact protocol and the RLE runs of levels
// write their numbers.
void put_varint(std::string& out, std::uint64_t v) {
    for (; v >= 0x80; v >>= 7) {
        out += static_cast<char>(v | 0x80);
    }
    out += static_cast<char>(v);
}

// Thrift's compact protocol, as much of it as the metadata takes: fields in
// ascending order of their ids within each struct.
class Compact {
public:
    std::string out;

    void i32(std::int16_t id, std::int32_t v) {
        field(id, kI32);
        varint(zigzag(v));
    }
    void i64(std::int16_t id, std::int64_t v) {
        field(id, kI64);
        varint(zigzag(v));
    }
    void text(std::int16_t id, std::string_view s) {
        field(id, kBinary);
        bytes(s);
    }
    void begin(std::int16_t id) { // a struct field
        field(id, kStruct);
        last_.push_back(0);
    }
    void begin() { last_.push_back(0); } // a struct in a list
    void end() {
        out += '\0';
        last_.pop_back();
    }
    void list(std::int16_t id, std::uint8_t type, std::size_t n) {
        field(id, kListType);
        if (n < 15) {
            out += static_cast<char>(n << 4 | type);
        } else {
            out += static_cast<char>(0xF0 | type);
            varint(n);
        }
    }
    void element(std::int32_t v) { varint(zigzag(v)); }
    void bytes(std::string_view s) {
        varint(s.size());
        out += s;
    }

private:
    static std::uint64_t zigzag(std::int64_t v) {
        return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
    }
    void varint(std::uint64_t v) { put_varint(out, v); }
    void field(std::int16_t id, std::uint8_t type) {
        const int delta = id - last_.back();
        if (delta > 0 && delta <= 15) {
            out += static_cast<char>(delta << 4 | type);
        } else {
            out += static_cast<char>(type);
            varint(zigzag(id));
        }
        last_.back() = id;
    }
    std::vector<std::int16_t> last_{0};
};

// Levels of bit width 1 in the RLE/bit-packing hybrid, as runs only, behind
// their length as data pages of version 1 have it.
void put_levels(std::string& page, const std::vector<std::uint8_t>& levels) {
    std::string runs;
    for (std::size_t i = 0; i < levels.size();) {
        std::size_t j = i;
        while (j < levels.size() && levels[j] == levels[i]) {
            ++j;
        }
        put_varint(runs, std::uint64_t(j - i) << 1);
        runs += static_cast<char>(levels[i]);
        i = j;
    }
    const auto n = static_cast<std::uint32_t>(runs.size());
    page.append(reinterpret_cast<const char*>(&n), 4); // little-endian hosts only, as everywhere
    page += runs;
}

} // namespace

ParquetWriter::ParquetWriter(FdWriter& out, std::vector<ParquetColumn> columns) : out_(out) {
    for (ParquetColumn& c : columns) {
        columns_.emplace_back().def = std::move(c);
    }
    write("PAR1");
}

void ParquetWriter::put_int64(Column& c, std::int64_t v) {
    std::uint8_t b[8];
    std::memcpy(b, &v, 8);
    c.values.insert(c.values.end(), b, b + 8);
}

void ParquetWriter::level(Column& c, std::uint8_t rep, std::uint8_t def) {
    c.reps.push_back(rep);
    c.defs.push_back(def);
    ++c.entries;
}

void ParquetWriter::int64(std::int64_t value) {
    Column& c = next();
    put_int64(c, value);
    ++c.entries;
}

void ParquetWriter::text(std::string_view value) {
    Column& c = next();
    const auto n = static_cast<std::uint32_t>(value.size());
    c.values.insert(c.values.end(), reinterpret_cast<const std::uint8_t*>(&n),
                    reinterpret_cast<const std::uint8_t*>(&n) + 4);
    c.values.insert(c.values.end(), value.begin(), value.end());
    ++c.entries;
}

void ParquetWriter::end_row() {
    at_ = 0;
    ++rows_;
    buffered_ = 0;
    for (const Column& c : columns_) {
        buffered_ += c.values.size() + 2 * c.reps.size();
    }
    if (rows_ >= kGroupRows || buffered_ >= kGroupBytes) {
        flush_group();
    }
}

void ParquetWriter::write(std::string_view bytes) {
    out_.write(bytes);
    offset_ += bytes.size();
}

void ParquetWriter::flush_group() {
    if (rows_ == 0) {
        return;
    }
    Group g{{}, rows_, 0};
    for (Column& c : columns_) {
        std::string page;
        if (c.def.kind == ParquetKind::Int64List) {
            put_levels(page, c.reps);
            put_levels(page, c.defs);
        }
        page.append(reinterpret_cast<const char*>(c.values.data()), c.values.size());
        std::string packed(ZSTD_compressBound(page.size()), '\0');
        const std::size_t size =
            ZSTD_compress(packed.data(), packed.size(), page.data(), page.size(), kZstdLevel);
        packed.resize(ZSTD_isError(size) ? 0 : size); // cannot fail with the bound's room
        Compact header;
        header.i32(1, kDataPage);
        header.i32(2, static_cast<std::int32_t>(page.size()));
        header.i32(3, static_cast<std::int32_t>(packed.size()));
        header.begin(5);
        header.i32(1, static_cast<std::int32_t>(c.entries));
        header.i32(2, kPlain);
        header.i32(3, kRle);
        header.i32(4, kRle);
        header.end();
        header.out += '\0';
        const Chunk chunk{offset_, c.entries, header.out.size() + packed.size(),
                          header.out.size() + page.size()};
        write(header.out);
        write(packed);
        g.chunks.push_back(chunk);
        g.bytes += chunk.uncompressed;
        c.values.clear();
        c.reps.clear();
        c.defs.clear();
        c.entries = 0;
    }
    groups_.push_back(std::move(g));
    total_rows_ += rows_;
    rows_ = 0;
}

std::string ParquetWriter::footer() const {
    Compact m;
    m.i32(1, 1); // version
    std::size_t elements = 1;
    for (const Column& c : columns_) {
        elements += c.def.kind == ParquetKind::Int64List ? 3 : 1;
    }
    m.list(2, kStruct, elements);
    m.begin();
    m.text(4, "schema");
    m.i32(5, static_cast<std::int32_t>(columns_.size()));
    m.end();
    for (const Column& c : columns_) {
        m.begin();
        if (c.def.kind != ParquetKind::Int64List) {
            m.i32(1, c.def.kind == ParquetKind::Int64 ? kInt64 : kByteArray);
            m.i32(3, kRequired);
            m.text(4, c.def.name);
            if (c.def.kind == ParquetKind::Text) {
                m.i32(6, kUtf8);
            }
            m.end();
            continue;
        }
        // The three levels of a list: NAME (LIST) > repeated list > element.
        m.i32(3, kRequired);
        m.text(4, c.def.name);
        m.i32(5, 1);
        m.i32(6, kList);
        m.end();
        m.begin();
        m.i32(3, kRepeated);
        m.text(4, "list");
        m.i32(5, 1);
        m.end();
        m.begin();
        m.i32(1, kInt64);
        m.i32(3, kRequired);
        m.text(4, "element");
        m.end();
    }
    m.i64(3, static_cast<std::int64_t>(total_rows_));
    m.list(4, kStruct, groups_.size());
    for (const Group& g : groups_) {
        m.begin();
        m.list(1, kStruct, g.chunks.size());
        for (std::size_t i = 0; i < g.chunks.size(); ++i) {
            const Column& c = columns_[i];
            const Chunk& k = g.chunks[i];
            const bool list = c.def.kind == ParquetKind::Int64List;
            m.begin();
            m.i64(2, static_cast<std::int64_t>(k.offset));
            m.begin(3);
            m.i32(1, c.def.kind == ParquetKind::Text ? kByteArray : kInt64);
            m.list(2, kI32, list ? 2 : 1);
            m.element(kPlain);
            if (list) {
                m.element(kRle);
            }
            m.list(3, kBinary, list ? 3 : 1);
            m.bytes(c.def.name);
            if (list) {
                m.bytes("list");
                m.bytes("element");
            }
            m.i32(4, kZstd);
            m.i64(5, static_cast<std::int64_t>(k.entries));
            m.i64(6, static_cast<std::int64_t>(k.uncompressed));
            m.i64(7, static_cast<std::int64_t>(k.compressed));
            m.i64(9, static_cast<std::int64_t>(k.offset));
            m.end();
            m.end();
        }
        m.i64(2, static_cast<std::int64_t>(g.bytes));
        m.i64(3, static_cast<std::int64_t>(g.rows));
        m.end();
    }
    m.text(6, "vexlor");
    m.out += '\0';
    return m.out;
}

void ParquetWriter::finish() {
    flush_group();
    const std::string meta = footer();
    write(meta);
    const auto n = static_cast<std::uint32_t>(meta.size());
    write(std::string_view(reinterpret_cast<const char*>(&n), 4));
    write("PAR1");
}

} // namespace vexlor::cli
