#include "capture/PcapngFormat.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/PcapngReader.h"

namespace ravelin::pcapng {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Status = Reader::Status;

struct Read {
    std::vector<FilePacket> packets;
    std::vector<Bytes> frames;  // the spans die with the next Feed
    std::vector<std::string> names;
    Status last = Status::kNeedBytes;
    bool atBoundary = false;
    std::string error;
};

// Feeds `bytes` in pieces of `piece` bytes and collects every packet until more is needed at
// the end, or an error.
Read ReadAll(const Bytes& bytes, std::size_t piece) {
    Read read;
    Reader reader;
    std::size_t fed = 0;
    for (;;) {
        read.last = reader.Next();
        if (read.last == Status::kPacket) {
            read.packets.push_back(reader.packet());
            read.frames.emplace_back(reader.packet().frame.begin(), reader.packet().frame.end());
            read.names.emplace_back(reader.packet().owner.name);
            continue;
        }
        if (read.last == Status::kError || fed == bytes.size()) break;
        EXPECT_GT(reader.bytesWanted(), 0U);
        const std::size_t count = std::min(piece, bytes.size() - fed);
        reader.Feed(std::span<const std::uint8_t>(bytes).subspan(fed, count));
        fed += count;
    }
    read.atBoundary = reader.AtBlockBoundary();
    read.error = reader.error();
    return read;
}

// Hand-built blocks in either byte order, for what Ravelin's own writer never makes.
struct Built {
    bool big = false;
    Bytes bytes;

    void Put(Bytes& out, std::uint64_t value, int width) const {
        for (int i = 0; i < width; ++i) {
            out.push_back(static_cast<std::uint8_t>(value >> 8 * (big ? width - 1 - i : i)));
        }
    }
    Built& Block(std::uint32_t type, Bytes body) {
        body.resize((body.size() + 3) / 4 * 4, 0);
        const std::size_t length = body.size() + 12;
        Put(bytes, type, 4);
        Put(bytes, length, 4);
        bytes.insert(bytes.end(), body.begin(), body.end());
        Put(bytes, length, 4);
        return *this;
    }
    // Options, each padded, and the end of them.
    Bytes Options(const std::vector<std::pair<std::uint16_t, Bytes>>& options) const {
        Bytes out;
        for (const auto& [code, value] : options) {
            Put(out, code, 2);
            Put(out, value.size(), 2);
            out.insert(out.end(), value.begin(), value.end());
            out.resize((out.size() + 3) / 4 * 4, 0);
        }
        Put(out, 0, 4);
        return out;
    }
    Built& Section(std::uint16_t major = 1) {
        Bytes body;
        Put(body, 0x1A2B3C4D, 4);
        Put(body, major, 2);
        Put(body, 0, 2);
        Put(body, ~std::uint64_t{0}, 8);
        return Block(kSectionHeaderBlock, body);
    }
    Built& Interface(std::uint16_t linkType, std::uint32_t snapLength, const Bytes& options = {}) {
        Bytes body;
        Put(body, linkType, 2);
        Put(body, 0, 2);
        Put(body, snapLength, 4);
        body.insert(body.end(), options.begin(), options.end());
        return Block(kInterfaceDescriptionBlock, body);
    }
    // An enhanced packet block, or an obsolete one (16-bit interface id and drop count).
    Built& Packet(std::uint32_t type, std::uint32_t interfaceId, std::uint64_t ticks,
                  const Bytes& frame, const Bytes& options = {}) {
        Bytes body;
        Put(body, type == kObsoletePacketBlock ? interfaceId << 16 : interfaceId, 4);
        Put(body, ticks >> 32, 4);
        Put(body, ticks & 0xFFFFFFFFU, 4);
        Put(body, frame.size(), 4);
        Put(body, frame.size(), 4);
        body.insert(body.end(), frame.begin(), frame.end());
        body.resize((body.size() + 3) / 4 * 4, 0);
        body.insert(body.end(), options.begin(), options.end());
        return Block(type, body);
    }
};

Bytes Text(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes Datagram(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    bytes[0] = 0x45;
    return bytes;
}

TEST(PcapngFormatTest, WrittenBlocksReadBackInEveryFeedSize) {
    Bytes file;
    AppendSectionHeader(file, "Ravelin test");
    AppendInterfaceDescription(file, DLT_RAW, 65535);
    AppendInterfaceDescription(file, DLT_EN10MB, 96);
    const Bytes first = Datagram(41, 1);  // padded to 44
    const Bytes second = Datagram(60, 2);
    const std::size_t blockStart = file.size();
    const std::size_t frameOffset = AppendEnhancedPacket(file, 0, {1700000000, 999999}, first, 1500,
                                                         OwnerComment(4321, "my prog"));
    AppendEnhancedPacket(file, 1, {1700000001, 7}, second, 0, "");
    AppendEnhancedPacket(file, 0, {-5, 0}, first, 41, "a note, no owner");

    ASSERT_EQ(file.size() % 4, 0U);
    EXPECT_EQ(frameOffset, 28U);
    EXPECT_EQ(std::memcmp(file.data() + blockStart + frameOffset, first.data(), first.size()), 0);
    std::uint16_t optionCode = 0;
    std::memcpy(&optionCode, file.data() + 24, 2);
    EXPECT_EQ(optionCode, 4) << "shb_userappl";
    EXPECT_EQ(std::memcmp(file.data() + 28, "Ravelin test", 12), 0);
    std::uint32_t sectionLength = 0;
    std::uint16_t linkType = 0;
    std::memcpy(&sectionLength, file.data() + 4, 4);
    std::memcpy(&linkType, file.data() + sectionLength + 8, 2);
    EXPECT_EQ(linkType, kLinkTypeRaw) << "DLT_RAW is written as LINKTYPE_RAW";
    EXPECT_TRUE(IsPcapng(file));

    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, file.size()}) {
        SCOPED_TRACE(piece);
        const Read read = ReadAll(file, piece);
        EXPECT_EQ(read.last, Status::kNeedBytes) << read.error;
        EXPECT_TRUE(read.atBoundary);
        ASSERT_EQ(read.packets.size(), 3U);
        EXPECT_EQ(read.frames[0], first);
        EXPECT_EQ(read.frames[1], second);
        EXPECT_EQ(read.packets[0].linkType, DLT_RAW);
        EXPECT_EQ(read.packets[1].linkType, DLT_EN10MB);
        EXPECT_EQ(read.packets[0].originalLength, 1500U);
        EXPECT_EQ(read.packets[1].originalLength, 60U) << "never shorter than captured";
        EXPECT_EQ(read.packets[0].time.seconds, 1700000000);
        EXPECT_EQ(read.packets[0].time.microseconds, 999999);
        EXPECT_EQ(read.packets[1].time.microseconds, 7);
        EXPECT_EQ(read.packets[2].time.seconds, 0) << "times before 1970 are held at 0";
        EXPECT_EQ(read.packets[0].owner.pid, 4321);
        EXPECT_EQ(read.names[0], "my prog");
        EXPECT_FALSE(read.packets[1].owner.known());
        EXPECT_FALSE(read.packets[2].owner.known());
    }
}

TEST(PcapngFormatTest, OwnerCommentsParseOnlyInTheirOwnForm) {
    for (const auto& [pid, name] : std::vector<std::pair<int, std::string>>{
             {0, ""}, {1, "a"}, {2147483647, "name with  spaces "}, {77, "pid=1 name=x"}}) {
        const auto parsed = ParseOwnerComment(OwnerComment(pid, name));
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(parsed->pid, pid);
        EXPECT_EQ(parsed->name, name);
    }
    EXPECT_EQ(OwnerComment(42, "my prog"), "pid=42 name=my prog");
    for (const char* comment :
         {"", "pid=", "pid= name=x", "pid=-1 name=x", "pid=+1 name=x", "pid=2147483648 name=x",
          "pid=1x name=x", "pid=1  name=x", "pid=1 name", "pid=1name=x", "PID=1 name=x",
          " pid=1 name=x", "pid=1\tname=x", "just a comment"}) {
        EXPECT_FALSE(ParseOwnerComment(comment)) << comment;
    }
}

TEST(PcapngFormatTest, OwnerCommentsFollowEveryChangeOfOwner) {
    OwnerComments comments;
    std::string name = "curl";
    EXPECT_EQ(comments.For(42, name), "pid=42 name=curl");
    name = "wget";  // the same pid under another name: a new program in the process
    EXPECT_EQ(comments.For(42, name), "pid=42 name=wget");
    EXPECT_EQ(comments.For(43, name), "pid=43 name=wget");
    EXPECT_EQ(comments.For(43, name), "pid=43 name=wget");
    EXPECT_EQ(comments.For(0, ""), OwnerComment(0, ""));
}

TEST(PcapngFormatTest, BigEndianSectionsWithOtherResolutionsAndOldBlocksRead) {
    const Bytes raw = Datagram(33, 3);
    const Bytes ethernet(50, 0xEE);
    Built big{true, {}};
    Bytes simple;
    big.Put(simple, raw.size(), 4);
    simple.insert(simple.end(), raw.begin(), raw.end());
    big.Section()
        .Interface(kLinkTypeRaw, 20, big.Options({{9, {9}}}))  // nanoseconds
        .Interface(DLT_EN10MB, 0, big.Options({{9, {0x80 | 20}}, {14, {0, 0, 0, 0, 0, 0, 0, 10}}}))
        .Interface(DLT_EN10MB, 0, big.Options({{9, {0x80 | 40}}}))
        .Block(0x0BAD, Bytes(9, 0xFF))  // unknown: passed over
        .Packet(kEnhancedPacketBlock, 0, 1700000000ULL * 1000000000 + 123456789, raw,
                big.Options({{1, Text("note")}, {1, Text("pid=9 name=second comment")}}))
        .Packet(kObsoletePacketBlock, 1, (1700000001ULL << 20) + (1U << 19), ethernet)
        .Block(kSimplePacketBlock, simple)  // cut by interface 0's snapshot length
        .Packet(kEnhancedPacketBlock, 2, (std::uint64_t{5} << 40) + (std::uint64_t{1} << 39) - 1,
                ethernet);
    // A second section starts the interface numbers again, here in the other byte order.
    Built little;
    little.Section().Interface(DLT_EN10MB, 0).Packet(kEnhancedPacketBlock, 0, 5, ethernet);
    Bytes file = big.bytes;
    file.insert(file.end(), little.bytes.begin(), little.bytes.end());
    EXPECT_TRUE(IsPcapng(big.bytes));
    EXPECT_TRUE(IsPcapng(little.bytes));
    EXPECT_FALSE(IsPcapng(std::span(little.bytes).first(11)));

    const Read read = ReadAll(file, 5);
    EXPECT_EQ(read.last, Status::kNeedBytes) << read.error;
    ASSERT_EQ(read.packets.size(), 5U);
    EXPECT_EQ(read.packets[0].linkType, DLT_RAW);
    EXPECT_EQ(read.frames[0], raw);
    EXPECT_EQ(read.packets[0].time.seconds, 1700000000);
    EXPECT_EQ(read.packets[0].time.microseconds, 123456);
    EXPECT_EQ(read.packets[0].owner.pid, 9);
    EXPECT_EQ(read.names[0], "second comment");

    EXPECT_EQ(read.packets[1].linkType, DLT_EN10MB);
    EXPECT_EQ(read.packets[1].interfaceId, 1U);
    EXPECT_EQ(read.frames[1], ethernet);
    EXPECT_EQ(read.packets[1].time.seconds, 1700000011);
    EXPECT_EQ(read.packets[1].time.microseconds, 500000);

    EXPECT_EQ(read.frames[2], Bytes(raw.begin(), raw.begin() + 20));
    EXPECT_EQ(read.packets[2].originalLength, 33U);
    EXPECT_EQ(read.packets[2].time.seconds, 0);

    EXPECT_EQ(read.packets[3].time.seconds, 5);
    EXPECT_EQ(read.packets[3].time.microseconds, 499999);  // rounded down, to the last tick

    EXPECT_EQ(read.packets[4].linkType, DLT_EN10MB);
    EXPECT_EQ(read.packets[4].interfaceId, 0U);
    EXPECT_EQ(read.packets[4].time.microseconds, 5);
}

TEST(PcapngFormatTest, MalformedBlocksEndTheReadingWithTheirReason) {
    const Bytes frame = Datagram(24, 4);
    const auto base = [] {
        Built built;
        built.Section().Interface(kLinkTypeRaw, 0);
        return built;
    };
    const Bytes good = base().Packet(kEnhancedPacketBlock, 0, 1, frame).bytes;
    constexpr std::size_t kPacketAt = 48;  // section header 28, interface 20
    const auto patched = [&](std::size_t at, std::uint32_t value) {
        Bytes bytes = good;
        std::memcpy(bytes.data() + at, &value, 4);  // little-endian host, as the tests run
        return bytes;
    };
    Bytes overrun =
        base().Packet(kEnhancedPacketBlock, 0, 1, frame, Built{}.Options({{1, Text("x")}})).bytes;
    overrun[kPacketAt + 28 + 24 + 2] = 200;  // the comment's length
    const Bytes magic = {0x4D, 0x3C, 0x2B, 0x1A};

    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"length not a multiple of 4", patched(kPacketAt + 4, 30), "not a multiple of 4"},
        {"length below 12", patched(kPacketAt + 4, 8), "at least 12"},
        {"huge length", patched(kPacketAt + 4, 17 << 20), "longer than the 16 MiB"},
        {"trailer differs", patched(good.size() - 4, 60), "ends with length 60"},
        {"unknown interface", patched(kPacketAt + 8, 1), "of interface 1"},
        {"captured beyond the block", patched(kPacketAt + 20, 25), "25 captured bytes"},
        {"option beyond the block", overrun, "option longer than its block"},
        {"no section header", Built{}.Interface(1, 0).bytes, "does not begin"},
        {"version 2", Built{}.Section(2).bytes, "version 2.0"},
        {"section header without magic", Built{}.Block(kSectionHeaderBlock, {}).bytes,
         "without byte-order magic"},
        {"short section header", Built{}.Block(kSectionHeaderBlock, magic).bytes,
         "shorter than 28"},
        {"short packet block", base().Block(kEnhancedPacketBlock, Bytes(16, 0)).bytes,
         "shorter than 32"},
        {"decimal resolution too fine", base().Interface(1, 0, Built{}.Options({{9, {20}}})).bytes,
         "10^-20 seconds"},
        {"binary resolution too fine",
         base().Interface(1, 0, Built{}.Options({{9, {0x80 | 64}}})).bytes, "2^-64 seconds"},
        {"simple packet without interface",
         Built{}.Section().Block(kSimplePacketBlock, Bytes(8, 0)).bytes, "describes no interface"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Read read = ReadAll(c.bytes, c.bytes.size());
        EXPECT_EQ(read.last, Status::kError);
        EXPECT_NE(read.error.find(c.reason), std::string::npos) << read.error;
        EXPECT_EQ(read.error.rfind("block at offset ", 0), 0U) << read.error;
    }
}

}  // namespace
}  // namespace ravelin::pcapng
