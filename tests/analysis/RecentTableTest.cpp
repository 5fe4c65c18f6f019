#include "analysis/RecentTable.h"

#include <gtest/gtest.h>

#include <string>

namespace ravelin {
namespace {

ConnectionKey Key(std::uint8_t id) {
    ConnectionKey key;
    key.bytes[37] = 1;
    key.bytes[38] = id;
    return key;
}

// Insert of a key already present replaces its value and makes it the most recent, as a Find
// would: the entry evicted next is then another.
TEST(RecentTableTest, InsertOfAPresentKeyReplacesItsValueAndMakesItRecent) {
    RecentTable<std::string> table(2);
    table.Insert(Key(1), "first");
    table.Insert(Key(2), "second");
    EXPECT_EQ(table.Insert(Key(1), "again"), "again");
    EXPECT_EQ(table.size(), 2U);
    table.Insert(Key(3), "third");
    EXPECT_EQ(table.size(), 2U);
    EXPECT_EQ(table.Find(Key(2)), nullptr);
    ASSERT_NE(table.Find(Key(1)), nullptr);
    EXPECT_EQ(*table.Find(Key(1)), "again");
    // Key 3 is now the least recent, and goes first.
    table.DropOldestWhile([](const std::string& value) { return value == "third"; });
    EXPECT_EQ(table.Find(Key(3)), nullptr);
    EXPECT_EQ(table.size(), 1U);
}

}  // namespace
}  // namespace ravelin
