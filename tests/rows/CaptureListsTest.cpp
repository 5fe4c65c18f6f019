#include "rows/CaptureLists.h"

#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/PcapngReader.h"
#include "support/TestSpool.h"

namespace ravelin {
namespace {

using Owners = std::vector<std::pair<int, std::string>>;

// The owners that the spool's packet comments name, read back from the capture it saves.
Owners SavedOwners(CaptureLists& lists) {
    const std::unique_ptr<FILE, decltype(&fclose)> file(tmpfile(), fclose);
    if (!file || !lists.spool->CopyTo(fileno(file.get())).succeeded()) return {};
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    ssize_t length = 0;
    while ((length = pread(fileno(file.get()), chunk, sizeof chunk,
                           static_cast<off_t>(bytes.size()))) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + length);
    }
    pcapng::Reader reader;
    reader.Feed(bytes);
    Owners owners;
    while (reader.Next() == pcapng::Reader::Status::kPacket) {
        const RecordedOwner& owner = reader.packet().owner;
        owners.emplace_back(owner.pid, owner.name);
    }
    return owners;
}

TEST(CaptureListsTest, EachPacketCommentNamesItsOwnerWhereKnown) {
    CaptureLists lists{test::MakeTestSpool()};
    const std::vector<std::uint8_t> payload = {1, 2, 3};
    std::string name = "curl";
    for (const PacketOwner owner :
         {PacketOwner{42, name}, PacketOwner{42, name}, PacketOwner{}, PacketOwner{42, "wget"},
          PacketOwner{7, "wget"}, PacketOwner{42, name}}) {
        test::AddTestPacket(lists, PacketRow{}, payload, kNoColour, owner);
    }
    EXPECT_EQ(
        SavedOwners(lists),
        (Owners{{42, "curl"}, {42, "curl"}, {-1, ""}, {42, "wget"}, {7, "wget"}, {42, "curl"}}));
}

}  // namespace
}  // namespace ravelin
