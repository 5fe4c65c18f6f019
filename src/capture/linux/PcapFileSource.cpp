#include "capture/linux/PcapFileSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "capture/PcapngFormat.h"
#include "capture/linux/PcapDispatch.h"
#include "decode/LinkLayer.h"

namespace ravelin {

namespace {

// What one read of a pcapng file asks for: large enough to make few calls, small enough that
// the buffer stays small beside the batches.
constexpr std::size_t kPcapngChunk = std::size_t{256} << 10;
// The section header's type, length and byte-order magic: enough to tell pcapng from pcap.
constexpr std::size_t kPcapngHead = 12;

// Reads until `bytes` is full or the file ends; the count read, or -1 with errno set.
long ReadFully(int fd, std::span<std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

}  // namespace

PcapFileSource::~PcapFileSource() {
    if (handle_ != nullptr) pcap_close(handle_);
}

CallResult PcapFileSource::Create() {
    // The first bytes tell a pcapng file; anything else, an unreadable file included, is left
    // to libpcap and its error texts.
    UniqueFd file(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.valid()) {
        std::uint8_t head[kPcapngHead] = {};
        if (ReadFully(file.get(), head) == static_cast<long>(kPcapngHead) &&
            pcapng::IsPcapng(head)) {
            return OpenPcapng(std::move(file), head);
        }
    }
    char errorText[PCAP_ERRBUF_SIZE] = {};
    errno = 0;
    handle_ = pcap_open_offline_with_tstamp_precision(path_.c_str(), PCAP_TSTAMP_PRECISION_MICRO,
                                                      errorText);
    if (handle_ == nullptr) {
        lastError_ = {errno != 0 ? errno : PCAP_ERROR, path_ + ": " + errorText};
        return CallResult::Failure(lastError_);
    }
    return CallResult::Success();
}

CallResult PcapFileSource::OpenPcapng(UniqueFd file, std::span<const std::uint8_t> head) {
    pcapngFile_ = std::move(file);
    pcapng_ = std::make_unique<pcapng::Reader>();
    pcapng_->Feed(head);
    // Like libpcap's open, read the section header now, so that a file that is no capture
    // fails here. No more than the header lacks is fed: no packet may be parsed yet.
    while (!pcapng_->InSection()) {
        if (pcapng_->Next() == pcapng::Reader::Status::kError) {
            lastError_ = {PCAP_ERROR, path_ + ": " + pcapng_->error()};
            break;
        }
        if (pcapng_->InSection()) break;
        const long fed = FeedPcapng(std::min(pcapng_->bytesWanted(), kPcapngChunk));
        if (fed < 0) break;
        if (fed == 0) {
            lastError_ = {PCAP_ERROR, path_ + ": the file ends inside its section header"};
            break;
        }
    }
    if (pcapng_->InSection()) return CallResult::Success();
    pcapng_.reset();
    pcapngFile_.Reset();
    return CallResult::Failure(lastError_);
}

long PcapFileSource::FeedPcapng(std::size_t count) {
    chunk_.resize(count);
    const long got = ReadFully(pcapngFile_.get(), chunk_);
    if (got < 0) {
        const SystemError error = SystemError::FromErrno(errno);
        lastError_ = {error.code, path_ + ": " + error.reason};
        return -1;
    }
    pcapng_->Feed(std::span<const std::uint8_t>(chunk_).first(static_cast<std::size_t>(got)));
    return got;
}

CallResult PcapFileSource::Bind() {
    // A pcapng file names a link type per interface; each packet is checked by its own.
    if (pcapng_ != nullptr) return CallResult::Success();
    if (handle_ == nullptr) return NoHandle();
    linkType_ = pcap_datalink(handle_);
    if (!IsSupportedLinkType(linkType_)) {
        const char* name = pcap_datalink_val_to_name(linkType_);
        lastError_ = {PCAP_ERROR, path_ + ": link type " + (name != nullptr ? name : "unknown") +
                                      " (" + std::to_string(linkType_) +
                                      ") carries no IPv4 datagrams that Ravelin can read"};
        return CallResult::Failure(lastError_);
    }
    return CallResult::Success();
}

CallResult PcapFileSource::SetFilter() {
    // No BPF filter on files: "ip" would also drop VLAN-tagged frames, and the link-layer
    // decoder skips every frame that carries no IPv4 datagram anyway.
    return CallResult::Success();
}

std::string_view PcapFileSource::StepMessage(Step step) const {
    switch (step) {
        case Step::kCreate:
            return "pcap_open_offline 打开抓包文件失败";
        case Step::kBind:
            return "pcap_datalink 不支持抓包文件的链路类型";
        default:
            return PacketSource::StepMessage(step);
    }
}

CallResult PcapFileSource::NoHandle() {
    // A step may fail with an error that CheckCall lets pass; the next step must not go on as
    // if the file were open.
    lastError_ = {PCAP_ERROR, path_ + ": not open"};
    return CallResult::Failure(lastError_);
}

PacketSource::ReadResult PcapFileSource::FailPcapng(SystemError error) {
    pcapngState_ = PcapngState::kError;
    lastError_ = std::move(error);
    return ReadResult::kError;
}

PacketSource::ReadResult PcapFileSource::ReadPcapng(DatagramBatch& batch,
                                                    std::size_t maxDatagrams) {
    if (pcapngState_ == PcapngState::kEnd) return ReadResult::kEnd;
    if (pcapngState_ == PcapngState::kError) return ReadResult::kError;
    // Every packet counts, IPv4 or not, as with libpcap: a read ends after a bounded amount of
    // work, so that the receive loop gets to look at its stop flag.
    for (std::size_t packets = 0; packets < maxDatagrams;) {
        switch (pcapng_->Next()) {
            case pcapng::Reader::Status::kPacket: {
                ++packets;
                const pcapng::FilePacket& packet = pcapng_->packet();
                if (!IsSupportedLinkType(packet.linkType)) break;
                const auto datagram = ExtractIpv4Datagram(packet.linkType, packet.frame);
                if (!datagram) break;
                batch.Add({packet.frame,
                           static_cast<std::size_t>(datagram->data() - packet.frame.data()),
                           datagram->size(), packet.linkType, packet.originalLength, packet.time,
                           packet.owner});
                break;
            }
            case pcapng::Reader::Status::kError:
                return FailPcapng({PCAP_ERROR, path_ + ": " + pcapng_->error()});
            case pcapng::Reader::Status::kNeedBytes: {
                // A long block is gathered read by read: what a block claims to need is not
                // taken on trust before the file has the bytes.
                const long fed = FeedPcapng(kPcapngChunk);
                if (fed < 0) return FailPcapng(lastError_);
                if (fed > 0) break;
                if (!pcapng_->AtBlockBoundary()) {
                    return FailPcapng(
                        {PCAP_ERROR, path_ + ": the file ends inside the block at offset " +
                                         std::to_string(pcapng_->nextBlockOffset())});
                }
                pcapngState_ = PcapngState::kEnd;
                return ReadResult::kEnd;
            }
        }
    }
    return ReadResult::kData;
}

PacketSource::ReadResult PcapFileSource::Read(DatagramBatch& batch, std::size_t maxDatagrams) {
    if (pcapng_ != nullptr) {
        if (maxDatagrams == 0) return ReadResult::kData;
        return ReadPcapng(batch, maxDatagrams);
    }
    if (handle_ == nullptr) {
        NoHandle();
        return ReadResult::kError;
    }
    // pcap_dispatch takes a count of 0 as "no limit" and would empty the whole file into the
    // batch; and its 0 result means end of file, so the call must not be made at all.
    if (maxDatagrams == 0) return ReadResult::kData;
    const int result = DispatchIntoBatch(handle_, linkType_, batch, maxDatagrams);
    if (result == 0) return ReadResult::kEnd;
    if (result == PCAP_ERROR) {
        lastError_ = {PCAP_ERROR, path_ + ": " + pcap_geterr(handle_)};
        return ReadResult::kError;
    }
    return ReadResult::kData;
}

}  // namespace ravelin
