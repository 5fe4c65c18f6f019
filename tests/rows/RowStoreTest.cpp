#include "rows/RowStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rows/PacketRow.h"

namespace ravelin {
namespace {

PacketRow RowWithPort(std::uint16_t port) {
    PacketRow row;
    row.sourcePort = port;
    row.hasPorts = true;
    return row;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
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

TEST(RowStoreTest, RowsKeepTheirBytesAcrossChunksAndBlocks) {
    RowStore<PacketRow> store;
    // Enough rows to span several chunks, and enough bytes to span several arena blocks.
    constexpr int kRows = 3 * RowStore<PacketRow>::kRowsPerChunk + 17;
    const std::string big(1500, 'b');
    for (int i = 0; i < kRows; ++i) {
        const std::string payload = std::to_string(i) + (i % 7 == 0 ? big : "");
        store.InsertRow(RowWithPort(static_cast<std::uint16_t>(i)), Bytes(payload));
    }
    int wrong = 0;
    const int visited =
        store.ReadRows(-5, kRows + 100, [&](int index, const StoredRow<PacketRow>& stored) {
            const std::string expected = std::to_string(index) + (index % 7 == 0 ? big : "");
            const auto payload = stored.row.record.payload();
            if (std::string(payload.begin(), payload.end()) != expected) ++wrong;
            if (stored.row.sourcePort != static_cast<std::uint16_t>(index)) ++wrong;
        });
    EXPECT_EQ(visited, kRows);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(store.ReadRows(kRows, 10, [](int, const auto&) {}), 0);

    // Detached rows keep their bytes until the caller lets them go.
    auto detached = store.ClearRows();
    EXPECT_EQ(detached.rowCount(), kRows);
    EXPECT_EQ(store.reservedBytes(), 0U);
}

// Appending, reading and clearing from three threads at once: run under ThreadSanitizer.
TEST(RowStoreTest, ConcurrentAppendReadAndClearStayConsistent) {
    RowStore<PacketRow> store;
    std::atomic<bool> done{false};
    std::atomic<int> inconsistencies{0};
    std::thread writer([&] {
        for (int i = 0; i < 200'000; ++i) {
            const std::string payload = std::to_string(i);
            store.InsertRow(RowWithPort(static_cast<std::uint16_t>(payload.size())),
                            Bytes(payload));
        }
        done = true;
    });
    std::thread reader([&] {
        while (!done) {
            const auto [count, generation] = store.Snapshot();
            store.ReadRows(count > 50 ? count - 50 : 0, 50,
                           [&](int, const StoredRow<PacketRow>& stored) {
                               if (static_cast<std::size_t>(stored.row.record.length) !=
                                   stored.row.sourcePort) {
                                   ++inconsistencies;
                               }
                           });
            (void)generation;
        }
    });
    int clears = 0;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        (void)store.ClearRows();
        ++clears;
    }
    writer.join();
    reader.join();
    EXPECT_EQ(inconsistencies, 0);
    EXPECT_EQ(store.nextSerial(), 200'001);
    EXPECT_EQ(store.generation(), static_cast<std::uint64_t>(clears));
}

}  // namespace
}  // namespace ravelin
