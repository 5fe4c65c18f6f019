#include "output/Export.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/TestSpool.h"

#include <cstdlib>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ravelin {
namespace {

const Ipv6AddressBook kNoIpv6;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

/// A TCP packet row from 10.0.0.2:888 to 10.0.0.9:80 at 9:05:00.
PacketRow TcpRow(int length) {
    PacketRow row;
    row.protocol = 6;
    row.hasPorts = true;
    row.sourceAddress = htonl(0x0A000002);
    row.destinationAddress = htonl(0x0A000009);
    row.sourcePort = 888;
    row.destinationPort = 80;
    row.dataLength = length;
    row.hour = 9;
    row.minute = 5;
    row.second = 0;
    return row;
}

/// The stored form of row `index`, copied out; its payload pointer stays valid with the store.
StoredRow<PacketRow> Stored(const RowStore<PacketRow>& store, int index) {
    StoredRow<PacketRow> copy;
    EXPECT_TRUE(store.ReadRow(index, [&](const StoredRow<PacketRow>& stored) { copy = stored; }));
    return copy;
}

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using test::TempDir;

TEST(ExportTest, JoinUrlsSkipsEmptyAndCutsLongOnes) {
    EXPECT_EQ(JoinUrls({}), "");
    EXPECT_EQ(JoinUrls({"a/b"}), "a/b");
    EXPECT_EQ(JoinUrls({"", "a", "", "b", ""}), "a\r\nb");

    const std::string longUrl = "h" + std::string(2000, 'x');
    const std::string joined = JoinUrls({longUrl, "c"});
    EXPECT_EQ(joined, longUrl.substr(0, 1023) + "\r\nc");
    EXPECT_EQ(JoinUrls({longUrl.substr(0, 1023)}).size(), 1023U);
}

TEST(ExportTest, CopyAllTextStopsTheTextAtAZeroByte) {
    RowStore<PacketRow> store;
    const std::vector<std::uint8_t> payload = {'A', 'B', 0x00, 'C', 'D'};
    store.InsertRow(TcpRow(5));
    EXPECT_EQ(CopyAllText(Stored(store, 0), payload, kNoIpv6),
              "Time:9:5:0\r\nProtocol:TCP\r\nSource:10.0.0.2:888\r\nDest:10.0.0.9:80\r\n"
              "DataLength:5\r\n\r\nAB\r\n\r\n41 42 00 43 44 ");
}

TEST(ExportTest, CopyAllTextWithoutPayload) {
    RowStore<PacketRow> store;
    store.InsertRow(TcpRow(0));
    const std::string text = CopyAllText(Stored(store, 0), {}, kNoIpv6);
    EXPECT_EQ(text,
              "Time:9:5:0\r\nProtocol:TCP\r\nSource:10.0.0.2:888\r\nDest:10.0.0.9:80\r\n"
              "DataLength:0\r\n\r\n\r\n\r\n");
}

TEST(ExportTest, CopyAllTextDumpsEveryLine) {
    RowStore<PacketRow> store;
    store.InsertRow(TcpRow(17));
    const std::string text = CopyAllText(Stored(store, 0), Bytes("GET / HTTP/1.1\r\nX"), kNoIpv6);
    const std::string tail =
        "GET / HTTP/1.1\r\nX\r\n\r\n"
        "47 45 54 20 2F 20 48 54 54 50 2F 31 2E 31 0D 0A\n58 ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(ExportTest, RemoteSideIsTheOneThatIsNotBound) {
    RowStore<PacketRow> store;
    store.InsertRow(TcpRow(0));
    PacketRow icmp;
    icmp.protocol = 1;
    icmp.sourceAddress = htonl(0xC0A80001);
    icmp.destinationAddress = htonl(0x0A000002);
    store.InsertRow(icmp);

    const StoredRow<PacketRow> sent = Stored(store, 0);
    EXPECT_EQ(RemoteAddressText(sent, "10.0.0.2", kNoIpv6), "10.0.0.9");
    EXPECT_EQ(RemoteEndpointText(sent, "10.0.0.2", kNoIpv6), "10.0.0.9:80");
    EXPECT_EQ(RemoteAddressText(sent, "10.0.0.9", kNoIpv6), "10.0.0.2");
    EXPECT_EQ(RemoteEndpointText(sent, "10.0.0.9", kNoIpv6), "10.0.0.2:888");
    EXPECT_EQ(RemoteEndpointText(sent, "", kNoIpv6), "10.0.0.2:888");
    EXPECT_EQ(RemoteEndpointText(sent, "10.0.0.20", kNoIpv6), "10.0.0.2:888");

    const StoredRow<PacketRow> received = Stored(store, 1);
    EXPECT_EQ(RemoteAddressText(received, "10.0.0.2", kNoIpv6), "192.168.0.1");
    EXPECT_EQ(RemoteEndpointText(received, "10.0.0.2", kNoIpv6), "192.168.0.1:");
    EXPECT_EQ(RemoteEndpointText(received, "192.168.0.1", kNoIpv6), "10.0.0.2:");

    // Bound to all interfaces, the direction the pipeline gave the row decides.
    PacketRow sentOnAny = TcpRow(0);
    sentOnAny.sentByThisHost = true;
    store.InsertRow(sentOnAny);
    EXPECT_EQ(RemoteEndpointText(Stored(store, 2), "0.0.0.0", kNoIpv6), "10.0.0.9:80");
    EXPECT_EQ(RemoteAddressText(sent, "0.0.0.0", kNoIpv6), "10.0.0.2");
    EXPECT_EQ(RemoteEndpointText(received, "0.0.0.0", kNoIpv6), "192.168.0.1:");
}

TEST(ExportTest, SavePayloadsWritesTheBytesOfTheRowsInOrder) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    CaptureLists lists{test::MakeTestSpool()};
    test::AddTestPacket(lists, TcpRow(3), std::vector<std::uint8_t>{'a', 0x00, 'b'});
    test::AddTestPacket(lists, TcpRow(0), {});
    test::AddTestPacket(lists, TcpRow(2), Bytes("\xff\n"));
    test::AddTestPacket(lists, TcpRow(4), Bytes("skip"));  // not chosen

    const auto path = dir.path() / "payload.bin";
    {
        std::ofstream old(path);
        old << "older and longer content than the new one";
    }
    const SaveResult result = SavePayloads(path.string(), lists, {0, 1, 2, 9});
    EXPECT_TRUE(result.created);
    EXPECT_TRUE(result.written);
    EXPECT_EQ(result.errorCode, 0);
    EXPECT_EQ(FileText(path), std::string("a\0b\xff\n", 5));

    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 5);
}

TEST(ExportTest, SavePayloadsWithNoRowsLeavesAnEmptyFile) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    CaptureLists lists{test::MakeTestSpool()};
    const auto path = dir.path() / "empty.bin";
    const SaveResult result = SavePayloads(path.string(), lists, {});
    EXPECT_TRUE(result.created);
    EXPECT_TRUE(result.written);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0U);
}

TEST(ExportTest, SavePayloadsToADirectoryIsNotCreated) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    CaptureLists lists{test::MakeTestSpool()};
    test::AddTestPacket(lists, TcpRow(2), Bytes("xy"));
    const SaveResult result = SavePayloads(dir.path().string(), lists, {0});
    EXPECT_FALSE(result.created);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(result.errorCode, EISDIR);
}

TEST(ExportTest, SavePayloadsIntoAReadOnlyDirectory) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    CaptureLists lists{test::MakeTestSpool()};
    test::AddTestPacket(lists, TcpRow(2), Bytes("xy"));
    const SaveResult result = SavePayloads((dir.path() / "out.bin").string(), lists, {0});
    EXPECT_FALSE(result.created);
    EXPECT_EQ(result.errorCode, EACCES);
}

TEST(ExportTest, SavePayloadsToAFullDeviceFailsToWrite) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CaptureLists lists{test::MakeTestSpool()};
    test::AddTestPacket(lists, TcpRow(2), Bytes("xy"));
    const SaveResult result = SavePayloads("/dev/full", lists, {0});
    EXPECT_TRUE(result.created);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(result.errorCode, ENOSPC);
}

// A file system that fills up part way: what fitted stays in the file, and the failure says why.
TEST(ExportTest, SavePayloadsToAFullFileSystemKeepsWhatFitted) {
    TempDir dir;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mountPoint = (dir.path() / "small").string();
    std::filesystem::create_directories(mountPoint);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs " + mountPoint).c_str()) != 0) {
        GTEST_SKIP() << "cannot mount tmpfs here";
    }
    CaptureLists lists{test::MakeTestSpool()};
    const std::vector<std::uint8_t> block(40 * 1024, 'x');
    for (int i = 0; i < 3; ++i)
        test::AddTestPacket(lists, TcpRow(static_cast<int>(block.size())), block);
    const std::string path = mountPoint + "/Data.txt";
    const SaveResult result = SavePayloads(path, lists, {0, 1, 2});
    struct stat info {};
    const bool stated = ::stat(path.c_str(), &info) == 0;
    std::system(("umount " + mountPoint).c_str());
    EXPECT_TRUE(result.created);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(result.errorCode, ENOSPC);
    ASSERT_TRUE(stated);
    EXPECT_GE(info.st_size, static_cast<off_t>(block.size()));  // the first payload fitted
}

}  // namespace
}  // namespace ravelin
