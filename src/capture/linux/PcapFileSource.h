#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "capture/PacketSource.h"
#include "capture/PcapngReader.h"

namespace ravelin {

/// Replays a pcap or pcapng file as fast as it can be read. Classic pcap files go through
/// libpcap. pcapng files are read block by block by Ravelin itself: libpcap drops their packet
/// comments, which name each packet's process, and refuses sections whose interfaces differ in
/// link type.
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
    enum class PcapngState { kReading, kEnd, kError };

    CallResult NoHandle();
    CallResult OpenPcapng(UniqueFd file, std::span<const std::uint8_t> head);
    /// Feeds the reader up to `count` more bytes of the file. Returns how many it fed: 0 at
    /// the end of the file, -1 on a read error (lastError_ set).
    long FeedPcapng(std::size_t count);
    ReadResult ReadPcapng(DatagramBatch& batch, std::size_t maxDatagrams);
    ReadResult FailPcapng(SystemError error);

    std::string path_;
    pcap_t* handle_ = nullptr;
    // The buffer of the stream libpcap reads a pcap file through; it outlives the handle,
    // which closes the stream in the destructor's body.
    std::unique_ptr<char[]> streamBuffer_;
    int linkType_ = -1;

    UniqueFd pcapngFile_;
    std::unique_ptr<pcapng::Reader> pcapng_;  ///< set when the file is pcapng
    std::vector<std::uint8_t> chunk_;
    PcapngState pcapngState_ = PcapngState::kReading;
};

}  // namespace ravelin
