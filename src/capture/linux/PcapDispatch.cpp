#include "capture/linux/PcapDispatch.h"

#include "decode/LinkLayer.h"

namespace ravelin {

namespace {

struct DispatchTarget {
    int linkType;
    DatagramBatch* batch;
};

void AddFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* target = reinterpret_cast<DispatchTarget*>(user);  // libpcap's callback argument
    const auto datagram = ExtractIpDatagram(target->linkType, {bytes, header->caplen});
    if (!datagram) return;
    const std::span<const std::uint8_t> frame{bytes, header->caplen};
    target->batch->Add({frame,
                        static_cast<std::size_t>(datagram->data() - bytes),
                        datagram->size(),
                        target->linkType,
                        header->len,
                        {static_cast<std::int64_t>(header->ts.tv_sec),
                         static_cast<std::int32_t>(header->ts.tv_usec)},
                        {}});
}

}  // namespace

int DispatchIntoBatch(pcap_t* handle, int linkType, DatagramBatch& batch, std::size_t maxFrames) {
    DispatchTarget target{linkType, &batch};
    return pcap_dispatch(handle, static_cast<int>(maxFrames), AddFrame,
                         reinterpret_cast<u_char*>(&target));
}

}  // namespace ravelin
