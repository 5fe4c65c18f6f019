#pragma once

#include <mutex>

#include "views/HttpRow.h"
#include "views/PacketRow.h"
#include "views/RowStore.h"

namespace ravelin {

/// The two lists that capture fills. The pipeline adds one datagram's packet row and HTTP row
/// under `updateMutex`, and a clear of both lists takes it too, so an HTTP row never refers to
/// a packet row of another generation. Readers of single rows need only the stores' own locks.
struct CaptureLists {
    RowStore<PacketRow> packets;
    RowStore<HttpRow> requests;
    std::mutex updateMutex;
};

}  // namespace ravelin
