#include "capture/linux/PcapFileSource.h"

#include <cerrno>

#include "capture/linux/PcapDispatch.h"
#include "decode/LinkLayer.h"

namespace ravelin {

PcapFileSource::~PcapFileSource() {
    if (handle_ != nullptr) pcap_close(handle_);
}

CallResult PcapFileSource::Create() {
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

CallResult PcapFileSource::Bind() {
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

PacketSource::ReadResult PcapFileSource::Read(DatagramBatch& batch, std::size_t maxDatagrams) {
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
