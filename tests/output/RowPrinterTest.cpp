#include "output/RowPrinter.h"

#include <gtest/gtest.h>

#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

const Ipv6AddressBook kNoIpv6;

TEST(RowPrinterTest, EscapingKeepsEveryLineOneLine) {
    std::string out;
    AppendEscaped(std::string("a\\b\tc\rd\ne\x01\x1f \x7f\x80\xff~", 16), out);
    EXPECT_EQ(out, "a\\\\b\\tc\\rd\\ne\\x01\\x1f \\x7f\\x80\\xff~");
}

TEST(RowPrinterTest, ColoursAreWrittenRedFirst) {
    std::string out;
    AppendColourHex(kSentColour, out);
    out += ' ';
    AppendColourHex(kReceivedColour, out);
    out += ' ';
    AppendColourHex(RgbColour(0x01, 0x02, 0x0A), out);
    EXPECT_EQ(out, "EED8AE CAE1FF 01020A");
}

TEST(RowPrinterTest, MarksLines) {
    std::string out;
    AppendMarksLine(1, {10, 3, 4}, out);  // in the order they were marked
    AppendMarksLine(2, {12}, out);
    EXPECT_EQ(out, "1\t3 4 10\n2\t12\n");
}

TEST(RowPrinterTest, PacketAndHttpLines) {
    RowStore<PacketRow> packets;
    PacketRow row;
    row.sourceAddress = test::Ipv4("10.0.0.2");
    row.destinationAddress = test::Ipv4("10.0.0.9");
    row.sourcePort = 888;
    row.destinationPort = 80;
    row.hasPorts = true;
    row.protocol = 6;
    row.dataLength = 5;
    row.hour = 9;
    row.minute = 5;
    row.second = 0;
    const std::string payload("AB\0\nD", 5);
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    packets.InsertRow(row, {}, kSentColour);
    std::string line;
    packets.ReadRow(0, [&](const StoredRow<PacketRow>& stored) {
        AppendPacketLine(stored, bytes(payload), kNoIpv6, line);
    });
    EXPECT_EQ(line, "1\t9:5:0\tTCP\t10.0.0.2\t888\t10.0.0.9\t80\t5\tAB \\nD\tEED8AE\n");
    line.clear();
    packets.ReadRow(0, [&](const StoredRow<PacketRow>& stored) {
        AppendPacketLine(stored, bytes(payload), kNoIpv6, line, -1);
    });
    EXPECT_EQ(line, "1\t9:5:0\tTCP\t10.0.0.2\t888\t10.0.0.9\t80\t5\tAB \\nD\tEED8AE\t-1\n");

    // Binary bytes: the list shows each as one character of its own, valid UTF-8 as its
    // characters, never a replacement character; the headless line escapes the bytes as before.
    const std::string binary = std::string("caf\xc3\xa9 \0\xff\x80\xc3(\xe2\x82\xac", 14) +
                               std::string(112, 'a') + "\xe2\x82\xac";  // the last one is cut
    row.dataLength = static_cast<std::uint16_t>(binary.size());
    packets.InsertRow(row, {}, kSentColour);
    std::string cell;
    line.clear();
    packets.ReadRow(1, [&](const StoredRow<PacketRow>& stored) {
        AppendPacketCellText(stored, bytes(binary), kPacketDataColumn, cell, kNoIpv6);
        AppendPacketLine(stored, bytes(binary), kNoIpv6, line);
    });
    EXPECT_EQ(cell, "caf\u00e9  \u00ff.\u00c3(\u20ac" + std::string(112, 'a'));
    EXPECT_EQ(line,
              "2\t9:5:0\tTCP\t10.0.0.2\t888\t10.0.0.9\t80\t129\t"
              "caf\\xc3\\xa9  \\xff\\x80\\xc3(\\xe2\\x82\\xac" +
                  std::string(112, 'a') + "\\xe2\\x82\tEED8AE\n");

    RowStore<HttpRow> requests;
    HttpRow http;
    http.packetRow = 0;
    http.method = "GET";
    const std::string url = "http://h/a\tb";
    requests.InsertRow(http, {reinterpret_cast<const std::uint8_t*>(url.data()), url.size()},
                       kBackgroundColour);
    line.clear();
    requests.ReadRow(0, [&](const StoredRow<HttpRow>& stored) { AppendHttpLine(stored, line); });
    EXPECT_EQ(line, "1\t0:0:0\tGET\thttp://h/a\\tb\t0\tE3EDCD\n");
}

TEST(RowPrinterTest, ProcessBlockPutsTheMostTrafficFirst) {
    std::vector<ProcessTraffic> processes = {
        {-1, "", {1, 60}, {2, 120}, 0, 0},
        {300, "a\tb", {0, 0}, {1, 5000}, 0, 0},
        {12, "curl", {4, 4000}, {1, 1000}, 0, 0},
        {7, "", {1, 90}, {1, 90}, 0, 0},  // the same total as 5: the lower pid first
        {5, "ntpd", {1, 100}, {1, 80}, 0, 0},
    };
    std::string block;
    AppendProcessBlock(processes, block);
    EXPECT_EQ(block,
              "12\tcurl\t4\t4000\t1\t1000\n"
              "300\ta\\tb\t0\t0\t1\t5000\n"
              "-1\t-\t1\t60\t2\t120\n"
              "5\tntpd\t1\t100\t1\t80\n"
              "7\t-\t1\t90\t1\t90\n"
              "\n");
    block.clear();
    AppendProcessBlock({}, block);
    EXPECT_EQ(block, "\n");
}

}  // namespace
}  // namespace ravelin
