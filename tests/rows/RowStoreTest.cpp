#include "rows/RowStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rows/HttpRow.h"
#include "rows/PacketRow.h"

namespace ravelin {
namespace {

PacketRow RowWithPort(std::uint16_t port) {
    PacketRow row;
    row.sourcePort = port;
    row.hasPorts = true;
    return row;
}

TEST(RowStoreTest, CountersAcrossClears) {
    RowStore<PacketRow> store;
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_EQ(store.nextSerial(), 1);
    EXPECT_FALSE(store.ReadRow(0, [](const auto&) {}));

    EXPECT_EQ(store.InsertRow(RowWithPort(1)), 0);
    EXPECT_EQ(store.InsertRow(RowWithPort(2)), 1);
    EXPECT_EQ(store.rowCount(), 2);
    EXPECT_EQ(store.nextSerial(), 3);

    const auto detached = store.ClearRows();
    EXPECT_EQ(detached.rowCount(), 2);
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_EQ(store.nextSerial(), 3);
    EXPECT_EQ(store.generation(), 1U);

    // The next row is inserted at index 0 but continues the numbering.
    EXPECT_EQ(store.InsertRow(RowWithPort(3)), 0);
    int serial = 0;
    std::uint16_t port = 0;
    EXPECT_TRUE(store.ReadRow(0, [&](const StoredRow<PacketRow>& stored) {
        serial = stored.serial;
        port = stored.row.sourcePort;
    }));
    EXPECT_EQ(serial, 3);
    EXPECT_EQ(port, 3);
    EXPECT_FALSE(store.ReadRow(-1, [](const auto&) {}));
    EXPECT_FALSE(store.ReadRow(1, [](const auto&) {}));
}

TEST(RowStoreTest, ColoursOfRowsAndOfRowsToCome) {
    RowStore<PacketRow> store;
    store.InsertRow(RowWithPort(1));
    EXPECT_EQ(store.GetRowColour(0), 0U);  // no colour yet
    store.SetRowColour(0, 0x00AABBCC);
    EXPECT_EQ(store.GetRowColour(0), 0x00AABBCCU);

    // A colour for an index beyond the rows waits for the row inserted there.
    store.SetRowColour(2, 0x00010203);
    store.InsertRow(RowWithPort(2));
    EXPECT_EQ(store.GetRowColour(1), 0U);
    store.InsertRow(RowWithPort(3));
    EXPECT_EQ(store.GetRowColour(2), 0x00010203U);

    // A colour given at insertion wins over nothing; a clear forgets every colour.
    store.SetRowColour(3, 0x00FFFFFF);
    (void)store.ClearRows();
    for (int i = 0; i < 4; ++i) store.InsertRow(RowWithPort(static_cast<std::uint16_t>(i)));
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(store.GetRowColour(i), 0U) << i;
    store.InsertRow(RowWithPort(9), {}, kSentColour);
    EXPECT_EQ(store.GetRowColour(4), kSentColour);
}

// Rows and their bytes live in large pages: rows past a chunk's end, and a URL longer than a
// whole block, must come back as they went in, also after the store was cleared once.
TEST(RowStoreTest, RowsAndTheirBytesAcrossChunksAndBlocks) {
    RowStore<HttpRow> store;
    const auto urlOf = [](int index) {
        return "http://h/" + std::string(static_cast<std::size_t>(index % 97), 'a') +
               std::to_string(index);
    };
    const std::string huge(ByteArena::kBlockSize + 5, 'x');
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    for (int round = 0; round < 2; ++round) {
        const int rows = static_cast<int>(RowStore<HttpRow>::kRowsPerChunk) + 3;
        for (int i = 0; i < rows; ++i) {
            HttpRow row;
            row.packetRow = i;
            store.InsertRow(row, bytes(i == 5 ? huge : urlOf(i)));
        }
        for (int i = 0; i < rows; ++i) {
            ASSERT_TRUE(store.ReadRow(i, [&](const StoredRow<HttpRow>& stored) {
                EXPECT_EQ(stored.row.packetRow, i);
                EXPECT_EQ(stored.row.url, i == 5 ? huge : urlOf(i)) << i;
            }));
        }
        (void)store.ClearRows();
    }
}

}  // namespace
}  // namespace ravelin
