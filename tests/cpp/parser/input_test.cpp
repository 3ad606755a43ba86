#include "reader_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace vexlor::test {
namespace {

class InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vexlor_input_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name, const Bytes& bytes) {
        std::string path = dir_ + "/" + name;
        write_file(path, bytes);
        return path;
    }

    // Runs read_input_bytes("-") with `fd` standing in for standard input.
    static Result<SharedBytes> read_stdin_from(int fd) {
        const int saved = ::dup(STDIN_FILENO);
        if (fd >= 0) {
            ::dup2(fd, STDIN_FILENO);
        } else {
            ::close(STDIN_FILENO);
        }
        auto bytes = read_input_bytes("-");
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
        return bytes;
    }

    std::string dir_;
};

Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

Bytes contents(const SharedBytes& b) { return Bytes(b.span().begin(), b.span().end()); }

TEST_F(InputTest, MapsTheWholeFile) {
    const Bytes data = counting(100000);
    auto bytes = read_input_bytes(file("a.bin", data));
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_EQ(contents(*bytes), data);
}

TEST_F(InputTest, OsErrorsCarryTheirNumber) {
    auto missing = read_input_bytes(dir_ + "/missing.pcap");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

    // A directory opens but cannot be mapped.
    auto dir = read_input_bytes(dir_);
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().kind, ErrorKind::Io);
    EXPECT_NE(dir.error().message.find(" (os error "), std::string::npos) << dir.error().message;
}

TEST_F(InputTest, NulByteInPath) {
    const std::string path = file("x", {1}) + std::string("\0.pcap", 6);
    auto r = read_input_bytes(path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_EQ(r.error().message, "file name contained an unexpected NUL byte");
}

TEST_F(InputTest, TooShortOrForeignFilesAreUnknownFormat) {
    const char* unknown = "Unsupported file format (unknown magic number)";
    for (const Bytes& data : {Bytes{}, Bytes{0xD4}, Bytes{0xD4, 0xC3, 0xB2},
                              Bytes{'h', 'e', 'l', 'l', 'o'}, Bytes{0x1F, 0x8B, 8, 0, 0, 0}}) {
        auto bytes = read_input_bytes(file("f", data));
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), data.size());
        auto reader = open_reader(std::move(*bytes));
        ASSERT_FALSE(reader);
        EXPECT_EQ(reader.error().display(), unknown);
    }
}

TEST_F(InputTest, FramesStayReadableAfterReaderAndBufferAreGone) {
    const Bytes frame = counting(300);
    PcapBuilder b;
    for (int i = 0; i < 50; ++i) {
        b.packet(i, 0, frame);
    }
    std::vector<Packet> packets;
    {
        auto bytes = read_input_bytes(file("p.pcap", b.bytes()));
        ASSERT_TRUE(bytes);
        auto reader = open_reader(std::move(*bytes));
        ASSERT_TRUE(reader);
        for (;;) {
            auto p = (*reader)->next_packet();
            ASSERT_TRUE(p);
            if (!*p) {
                break;
            }
            packets.push_back(std::move(**p));
        }
    }
    std::filesystem::remove_all(dir_); // the mapping survives the file, too
    ASSERT_EQ(packets.size(), 50u);
    for (const Packet& p : packets) {
        EXPECT_EQ(Bytes(p.bytes().begin(), p.bytes().end()), frame);
    }
}

TEST_F(InputTest, StandardInputFromAFile) {
    const Bytes data = counting(300000); // several read chunks
    const int fd = ::open(file("in", data).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto bytes = read_stdin_from(fd);
    ::close(fd);
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_EQ(contents(*bytes), data);
}

TEST_F(InputTest, StandardInputFromAPipe) {
    const Bytes data = PcapBuilder{}.packet(1, 2, counting(200000)).bytes();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(fds[1], data.data() + done, data.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    auto bytes = read_stdin_from(fds[0]);
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_EQ(contents(*bytes), data);
    auto reader = open_reader(std::move(*bytes));
    ASSERT_TRUE(reader);
    Drained got = drain(**reader);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0].frame, counting(200000));
}

TEST_F(InputTest, ClosedStandardInputIsEmpty) {
    auto bytes = read_stdin_from(-1);
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_TRUE(bytes->empty());
    EXPECT_EQ(open_reader(std::move(*bytes)).error().display(),
              "Unsupported file format (unknown magic number)");
}

} // namespace
} // namespace vexlor::test
