#pragma once

#include <cstdint>

#include <optional>

#include "base/CheckCall.h"
#include "capture/DatagramBatch.h"
#include "decode/IpAddress.h"

namespace ravelin {

/// What the capture session hands its datagrams to, on its pipeline thread, one after another
/// in the order they arrived.
class DatagramSink {
public:
    virtual ~DatagramSink() = default;
    /// A batch of datagrams follows; each stays valid until SettleBatch.
    virtual void BeginBatch() {}
    /// Lists one datagram, or drops it; true when it is listed or waits to be listed at
    /// SettleBatch.
    virtual bool Process(const Datagram& datagram, const IpAddress& boundAddress) = 0;
    /// The datagrams handed over since BeginBatch are about to be reused: whatever the sink
    /// keeps of them is listed now. failure() says whether that failed.
    virtual void SettleBatch() {}
    /// The queue ran dry, or capture ended, after one datagram or more (listed or not) since
    /// the last call: nothing more is waiting for now.
    virtual void EndBatch() = 0;
    /// Why the sink can list nothing more (where it keeps what it lists failed); the session
    /// then ends capture and reports it. Asked on the sink's thread after a datagram that
    /// was not listed, and after SettleBatch.
    virtual const std::optional<SystemError>& failure() const = 0;
};

}  // namespace ravelin
