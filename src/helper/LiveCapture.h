#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <optional>
#include <string>

#include "base/CheckCall.h"
#include "capture/CaptureRecords.h"
#include "capture/PacketSource.h"

namespace ravelin {

/// Live capture with libpcap on one device, opened in the four steps Ravelin reports one by
/// one: a memory-mapped ring, blocks delivered within a millisecond, a kernel filter that
/// passes IPv4 and IPv6 (on a loopback device, as they arrive). Frames are not looked into
/// here: Ravelin decodes them, without any right to capture.
class LiveCapture {
public:
    /// Room for the largest datagram behind any link-layer header Ravelin decodes, so that a
    /// 65535-byte datagram, or an IPv6 one with its 40-byte header, arrives whole.
    static constexpr int kSnapshotLength = 65535 + 40 + 64;
    /// The kernel's ring. libpcap makes its blocks 256 KiB whatever the snapshot length, three
    /// 64 KiB loopback frames each: 8 MiB held about 96 of them, a few milliseconds of a
    /// download over loopback, and a helper that waited that long for a core lost packets
    /// (a 2 GiB download, 5 runs: 0.1-1.8% dropped with 32 MiB and today's pipeline).
    static constexpr int kKernelBufferBytes = 32 << 20;
    /// How late a ring block that is not full may be handed over. Each hand-over wakes the
    /// helper and then both of Ravelin's capture threads: at 1 ms a 100,000 packets/s flood
    /// cost about 60 us of CPU per wake-up, 1,000 times a second, more than listing the
    /// packets. 10 ms is still well under what anyone can see in a list.
    static constexpr int kDeliveryTimeoutMs = 10;

    LiveCapture() = default;
    ~LiveCapture();
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    CallResult Create(const std::string& device);
    CallResult Configure();
    CallResult Activate();
    CallResult SetFilter(bool inboundOnly);

    int linkType() const { return linkType_; }
    /// Polled for frames; valid after Activate.
    int descriptor() const { return selectableFd_; }

    /// Appends up to `maxFrames` frames that are waiting, without waiting, and stops once the
    /// writer holds `maxBytes`; the number read, or nothing with `error` set when libpcap failed
    /// (a device that went away).
    std::optional<std::size_t> Read(CaptureRecordWriter& writer, std::size_t maxFrames,
                                    std::size_t maxBytes, SystemError& error);

    std::optional<CaptureStatistics> Statistics();

private:
    CallResult Fail(int code, std::string reason);
    CallResult NoHandle();

    std::string device_;
    pcap_t* handle_ = nullptr;
    int linkType_ = -1;
    int selectableFd_ = -1;
};

}  // namespace ravelin
