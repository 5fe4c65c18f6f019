#pragma once

#include <pcap/pcap.h>

#include <string>

#include "capture/PacketSource.h"

namespace ravelin {

/// Replays a pcap or pcapng file as fast as it can be read.
class PcapFileSource : public PacketSource {
public:
    explicit PcapFileSource(std::string path) : path_(std::move(path)) {}
    ~PcapFileSource() override;
    PcapFileSource(const PcapFileSource&) = delete;
    PcapFileSource& operator=(const PcapFileSource&) = delete;

    CallResult Create() override;
    CallResult Configure() override { return CallResult::Success(); }
    CallResult Bind() override;
    CallResult SetFilter() override;
    std::string_view StepMessage(Step step) const override;
    ReadResult Read(DatagramBatch& batch, std::size_t maxDatagrams) override;
    /// A file read never waits, and the receive loop looks at its flag between reads.
    void Interrupt() override {}
    bool canWait() const override { return true; }

private:
    CallResult NoHandle();

    std::string path_;
    pcap_t* handle_ = nullptr;
    int linkType_ = -1;
};

}  // namespace ravelin
