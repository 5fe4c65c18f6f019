#include "analysis/PacketLinker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ravelin {
namespace {

using Rows = std::vector<int>;

/// Appends a TCP packet row with `length` payload bytes and returns its index.
int AddSegment(RowStore<PacketRow>& store, std::uint32_t seq, std::uint32_t ack, bool psh,
               int length) {
    PacketRow row;
    row.protocol = 6;
    row.hasPorts = true;
    row.record.sequenceNumber = seq;
    row.record.ackNumber = ack;
    row.record.ackFlag = true;
    row.record.pshFlag = psh;
    row.dataLength = length;
    row.record.length = length;  // linking needs only the length, not the bytes
    return store.InsertRow(row);
}

/// A row without TCP numbers, as a UDP or ICMP packet gives.
int AddDatagram(RowStore<PacketRow>& store, int length) {
    PacketRow row;
    row.protocol = 17;
    row.record.length = length;
    return store.InsertRow(row);
}

TEST(PacketLinkerTest, OneSegmentRequestAndItsAnswer) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, true, 100);    // 0: the request
    AddSegment(store, 5000, 1100, false, 1000);  // 1: first answer segment
    AddSegment(store, 1100, 6000, false, 0);     // 2: the client acknowledges
    AddSegment(store, 6000, 1100, false, 1000);  // 3: answer
    AddSegment(store, 7000, 1100, true, 500);    // 4: last of the answer
    AddSegment(store, 1100, 7500, false, 0);     // 5: the client acknowledges
    AddSegment(store, 1100, 7500, true, 50);     // 6: the next request
    AddSegment(store, 7500, 1150, true, 10);     // 7: its answer
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 1, 3, 4}));
    EXPECT_EQ(LinkedRows(store, 6), (Rows{6, 7}));
}

TEST(PacketLinkerTest, ServerBareAckAfterFirstAnswerSegmentIsMarked) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, true, 100);
    AddSegment(store, 5000, 1100, false, 1000);
    AddSegment(store, 6000, 1100, false, 0);  // no data, but acknowledges the same request
    AddSegment(store, 1100, 6000, false, 0);
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 1, 2}));
}

TEST(PacketLinkerTest, RequestInSeveralSegmentsUpToPsh) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, false, 100);  // 0
    AddSegment(store, 42, 9999, true, 10);      // 1: another connection, skipped
    AddSegment(store, 1100, 5000, false, 100);  // 2
    AddSegment(store, 1200, 5000, true, 100);   // 3: the request ends here
    AddSegment(store, 77, 5000, false, 10);     // 4: same ack after the end: not the request
    AddSegment(store, 5000, 1300, false, 200);  // 5: first answer segment
    AddSegment(store, 5200, 1300, true, 200);   // 6
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 2, 3, 5, 6}));
}

TEST(PacketLinkerTest, RequestWithoutPshMarksLaterSameAckRowsOnly) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, false, 100);  // 0
    AddSegment(store, 1100, 5000, false, 100);  // 1
    AddSegment(store, 5000, 1200, false, 300);  // 2: looks like an answer, never reached
    AddSegment(store, 1200, 5000, false, 100);  // 3
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 1, 3}));
}

TEST(PacketLinkerTest, EmptySegmentIsNotTheFirstAnswer) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, true, 100);   // 0
    AddSegment(store, 5000, 1100, false, 0);    // 1: right sequence number, no data
    AddSegment(store, 5000, 1100, false, 300);  // 2: the first answer
    AddSegment(store, 5300, 1100, true, 300);   // 3
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 2, 3}));
}

TEST(PacketLinkerTest, NoAnswerMarksOnlyTheRequest) {
    RowStore<PacketRow> store;
    AddSegment(store, 1000, 5000, true, 100);
    AddSegment(store, 4000, 1100, false, 100);  // wrong sequence number
    AddSegment(store, 1100, 5000, true, 100);   // same ack, but the request ended before
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0}));
}

TEST(PacketLinkerTest, RowsWithoutTcpNumbersLinkByTheirZeroAck) {
    RowStore<PacketRow> store;
    AddDatagram(store, 20);              // 0
    AddDatagram(store, 30);              // 1
    AddSegment(store, 0, 5, false, 10);  // 2
    AddDatagram(store, 0);               // 3
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, 1, 3}));
    EXPECT_EQ(LinkedRows(store, 1), (Rows{1, 3}));
}

TEST(PacketLinkerTest, StartRowsOutsideTheList) {
    RowStore<PacketRow> store;
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0}));
    EXPECT_EQ(LinkedRows(store, -1), (Rows{}));
    AddSegment(store, 1000, 5000, true, 100);
    AddSegment(store, 5000, 1100, true, 100);
    EXPECT_EQ(LinkedRows(store, 2), (Rows{2}));
    EXPECT_EQ(LinkedRows(store, 7), (Rows{7}));
    EXPECT_EQ(LinkedRows(store, -3), (Rows{}));
    EXPECT_EQ(LinkedRows(store, 1), (Rows{1}));  // the answer has no answer of its own
}

TEST(PacketLinkerTest, ScanCrossesStoreChunks) {
    RowStore<PacketRow> store;
    const int chunk = static_cast<int>(RowStore<PacketRow>::kRowsPerChunk);
    AddSegment(store, 1000, 5000, false, 100);  // 0
    while (store.rowCount() < chunk - 1) AddSegment(store, 1, 2, false, 1);
    AddSegment(store, 1100, 5000, false, 100);  // chunk - 1
    AddSegment(store, 1200, 5000, true, 100);   // chunk: the request ends in the next chunk
    while (store.rowCount() < 2 * chunk + 5) AddSegment(store, 1, 2, true, 1);
    const int answer = AddSegment(store, 5000, 1300, false, 200);
    while (store.rowCount() < 3 * chunk) AddSegment(store, 1, 2, true, 1);
    const int ack = AddSegment(store, 1, 1300, false, 0);
    const int last = AddSegment(store, 5200, 1300, true, 200);
    EXPECT_EQ(LinkedRows(store, 0), (Rows{0, chunk - 1, chunk, answer, ack, last}));
}

}  // namespace
}  // namespace ravelin
