#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <optional>
#include <string>

#include "capture/PacketSource.h"
#include "decode/IpAddress.h"

namespace ravelin {

/// Live capture with libpcap on the interface that carries the bound address ("any" for
/// 0.0.0.0): memory-mapped ring, blocks delivered within a millisecond, a kernel filter that
/// passes IPv4 datagrams (on a loopback device, as they arrive).
class PcapLiveSource : public PacketSource {
public:
    /// Room for the largest datagram behind any link-layer header we decode, so that a 65535
    /// byte datagram arrives whole.
    static constexpr int kSnapshotLength = 65535 + 40 + 64;
    static constexpr int kKernelBufferBytes = 8 << 20;
    static constexpr int kDeliveryTimeoutMs = 1;

    explicit PcapLiveSource(IpAddress boundAddress) : boundAddress_(boundAddress) {}
    ~PcapLiveSource() override;
    PcapLiveSource(const PcapLiveSource&) = delete;
    PcapLiveSource& operator=(const PcapLiveSource&) = delete;

    CallResult Create() override;
    CallResult Configure() override;
    CallResult Bind() override;
    CallResult SetFilter() override;
    ReadResult Read(DatagramBatch& batch, std::size_t maxDatagrams) override;
    void Interrupt() override;
    std::optional<CaptureStatistics> Statistics() override;

    const std::string& device() const { return device_; }

private:
    CallResult Fail(int code, std::string reason);
    CallResult NoHandle();

    IpAddress boundAddress_;
    std::string device_;
    bool addressFound_ = false;
    pcap_t* handle_ = nullptr;
    int linkType_ = -1;
    int selectableFd_ = -1;
    int wakeFd_ = -1;  // eventfd that Interrupt() signals
};

}  // namespace ravelin
