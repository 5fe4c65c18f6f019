#pragma once

#include <cstdint>

#include "capture/DatagramBatch.h"

namespace ravelin {

/// What the capture session hands its datagrams to, on its pipeline thread, one after another
/// in the order they arrived.
class DatagramSink {
public:
    virtual ~DatagramSink() = default;
    /// Lists one datagram, or drops it; true when a packet row was added.
    virtual bool Process(const Datagram& datagram, std::uint32_t boundAddress) = 0;
    /// The queue ran dry: nothing more is waiting for now.
    virtual void EndBatch() = 0;
};

}  // namespace ravelin
