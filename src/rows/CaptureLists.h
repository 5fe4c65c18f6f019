#pragma once

#include <mutex>

#include "rows/HttpRow.h"
#include "rows/PacketRow.h"
#include "rows/RowStore.h"

namespace ravelin {

/// The two lists that capture fills. The pipeline adds one datagram's packet row and HTTP row
/// under `updateMutex`, and a clear of both lists takes it too, so an HTTP row never refers to
/// a packet row of another generation. Readers of single rows need only the stores' own locks.
struct CaptureLists {
    RowStore<PacketRow> packets;
    RowStore<HttpRow> requests;
    std::mutex updateMutex;

    /// The rows of both lists, taken out together; they are freed when this goes.
    struct Detached {
        RowStore<HttpRow>::DetachedRows requests;
        RowStore<PacketRow>::DetachedRows packets;
    };

    /// Empties both lists at once, between two of the pipeline's datagrams, so that no HTTP row
    /// survives that refers to a packet row of the old lists. The caller frees the rows by
    /// letting the result go, outside any lock.
    Detached ClearBoth() {
        std::lock_guard update(updateMutex);
        Detached detached;
        detached.requests = requests.ClearRows();
        detached.packets = packets.ClearRows();
        return detached;
    }
};

}  // namespace ravelin
