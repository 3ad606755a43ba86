#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "builders.h"
#include "parser/capture_reader.h"

namespace vexlor::test {
namespace {

// Bytes that differ from their neighbours, so a chunk read to the wrong place shows.
Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

Bytes contents(const SharedBytes& b) {
    return Bytes(b.span().begin(), b.span().end());
}

// Runs read_input_bytes("-") with `fd` standing in for standard input; -1
// runs it with standard input closed.
Result<SharedBytes> read_stdin_from(int fd) {
    const int saved = ::dup(STDIN_FILENO);
    fd >= 0 ? ::dup2(fd, STDIN_FILENO) : ::close(STDIN_FILENO);
    auto bytes = read_input_bytes("-");
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    return bytes;
}

// Packets are slices of the mapping itself and keep it alive after the
// reader is gone and the file removed.  A reader error comes through
// next_packet.
TEST(Input, PacketsKeepTheMappingAlive) {
    const Bytes frame = counting(300);
    std::optional<TempDir> dir(std::in_place);
    const std::string path = *dir / "p.pcap";
    PcapBuilder b;
    b.packet(5, 6, frame, 301).packet(7, 8, {}).record(9, 0, 70, 70, {});
    write_file(path, b.bytes());
    auto bytes = read_input_bytes(path);
    ASSERT_TRUE(bytes);
    auto reader = open_reader(std::move(*bytes));
    ASSERT_TRUE(reader);
    auto first = (*reader)->next_packet();
    auto empty = (*reader)->next_packet();
    auto bad = (*reader)->next_packet();
    ASSERT_TRUE(first && *first && empty && *empty);
    EXPECT_EQ((*first)->data.data(), (*reader)->stable_inputs().front().data() + 40); // no copy
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().display(), "Invalid PCAP format: packet incl_len 70 exceeds remaining "
                                     "data at offset 372");
    reader->reset();
    dir.reset();

    const Packet& p = **first;
    EXPECT_EQ(std::tuple(p.ts_sec, p.ts_usec, p.orig_len, p.caplen),
              std::tuple(5u, 6u, 301u, 300u));
    EXPECT_EQ(Bytes(p.bytes().begin(), p.bytes().end()), frame);
    EXPECT_TRUE((*empty)->data.empty());
}

TEST(Input, StandardInput) {
    TempDir dir;
    const Bytes data = counting(300000); // several read chunks
    write_file(dir / "in", data);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Room in the pipe for all of it spares a writer thread.
    ASSERT_GT(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 19), 0);
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    // A redirected file tells its size, a pipe does not, and standard input
    // closed before the call has nothing to read.
    for (int fd : {::open((dir / "in").c_str(), O_RDONLY), fds[0], -1}) {
        auto bytes = read_stdin_from(fd);
        ASSERT_TRUE(bytes) << bytes.error().message;
        EXPECT_EQ(contents(*bytes), fd < 0 ? Bytes{} : data);
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

} // namespace
} // namespace vexlor::test
