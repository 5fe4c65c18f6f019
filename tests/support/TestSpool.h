#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rows/CaptureLists.h"
#include "rows/PayloadSpool.h"

namespace ravelin::test {

/// A payload spool in the temporary directory; the test cannot go on without one.
inline std::unique_ptr<PayloadSpool> MakeTestSpool() {
    const char* tmpdir = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): test set-up
    SystemError error;
    auto spool =
        PayloadSpool::Create({tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp"}, error);
    if (spool == nullptr) {
        (void)std::fprintf(stderr, "no payload spool: %s\n", error.reason.c_str());
        std::abort();
    }
    return spool;
}

/// Lists a packet row whose payload is `payload`, the way the pipeline lists one (the bytes
/// go to the spool as a frame of their own).
inline int AddTestPacket(CaptureLists& lists, PacketRow row, std::span<const std::uint8_t> payload,
                         Colour colour = kNoColour, PacketOwner owner = {}) {
    row.record.length = static_cast<std::uint16_t>(payload.size());
    std::lock_guard update(lists.updateMutex);
    return *lists.AddPacket(row, Datagram::Raw(payload, {}), 0, colour, owner);
}

/// The whole payload of a listed row; empty when the row is gone.
inline std::vector<std::uint8_t> PayloadOf(const CaptureLists& lists, int row) {
    std::vector<std::uint8_t> payload;
    if (!lists.ReadPacket(row, kWholePayload, payload,
                          [](const StoredRow<PacketRow>&, std::span<const std::uint8_t>) {})) {
        payload.clear();
    }
    return payload;
}

}  // namespace ravelin::test
