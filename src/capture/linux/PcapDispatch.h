#pragma once

#include <pcap/pcap.h>

#include <cstddef>

#include "capture/DatagramBatch.h"

namespace ravelin {

/// Reads up to `maxFrames` frames from a libpcap handle and appends the IPv4 datagram of each
/// (link-layer header removed) to `batch`. Returns what pcap_dispatch returns.
int DispatchIntoBatch(pcap_t* handle, int linkType, DatagramBatch& batch, std::size_t maxFrames);

}  // namespace ravelin
