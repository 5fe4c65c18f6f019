// One datagram, as untrusted as the network makes it, through everything that reads it: the
// decoder, the whole pipeline into the lists with the real HTTP step (plain HTTP, TLS and QUIC),
// the printed rows, and the link-layer decoder of every supported frame type over the same bytes.

#include <pcap/dlt.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "analysis/WebRecogniser.h"
#include "decode/DatagramDecoder.h"
#include "decode/LinkLayer.h"
#include "output/RowPrinter.h"
#include "pipeline/PacketPipeline.h"
#include "rows/CaptureLists.h"

namespace {

using ravelin::fuzz::Check;

constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP,
                              DLT_RAW,    DLT_IPV4,      DLT_IPV6,       DLT_PPP};
constexpr int kMaximumRows = 10000;

// The colours file is written once: a real file, so that the HTTP step takes the same path as
// in the program, with keys that the seed requests' extensions hit.
const std::string& ColoursPath() {
    static const std::string path = [] {
        std::string file = ravelin::fuzz::TempPath("colours.ini");
        ravelin::fuzz::WriteWholeFile(file,
                                      "[HighLightExtension]\n"
                                      "Ext[0]=FF0000,html,htm,\n"
                                      "Ext[1]=00FF00,js,css,\n"
                                      "Ext[2]=0000FF,png,jpg,gif,\n"
                                      "Ext[3]=0x12345,txt,,\n");
        return file;
    }();
    return path;
}

std::unique_ptr<ravelin::PayloadSpool> OpenSpool() {
    ravelin::SystemError error;
    auto spool = ravelin::PayloadSpool::Create({ravelin::fuzz::TempPath("spool")}, error);
    if (spool == nullptr) std::abort();
    return spool;
}

struct Listing {
    ravelin::CaptureLists lists{OpenSpool()};
    ravelin::WebRecogniser recogniser{ColoursPath()};
    // Loopback as this host's only interface, so that runs do not depend on the machine.
    ravelin::PacketPipeline pipeline{lists, [] {
                                         return std::vector<ravelin::InterfaceAddress>{
                                             {"lo", 0x0100007F, 0x000000FF, true, true}};
                                     }};

    Listing() { pipeline.SetRecogniser(&recogniser); }

    // Rows accumulate across inputs as in a long capture, but only up to a bound.
    void ClearWhenLarge() {
        if (lists.packets.rowCount() < kMaximumRows && lists.requests.rowCount() < kMaximumRows) {
            return;
        }
        lists.ClearBoth();
    }
};

void CheckDecoded(std::span<const std::uint8_t> datagram) {
    const auto decoded = ravelin::DecodeDatagram(datagram);
    Check(decoded.has_value() == (datagram.size() >= 20), "decoded exactly when 20 bytes came");
    if (!decoded) return;
    Check(decoded->dataLength >= 0, "data length is never negative");
    if (!decoded->payload.empty()) {
        Check(decoded->payload.data() >= datagram.data() &&
                  decoded->payload.data() + decoded->payload.size() <=
                      datagram.data() + datagram.size(),
              "payload lies inside the datagram");
    }
}

void PrintNewRows(ravelin::CaptureLists& lists, int packetsBefore, int requestsBefore) {
    std::string out;
    std::vector<std::uint8_t> preview;
    for (int row = packetsBefore; row < lists.packets.rowCount(); ++row) {
        const bool read = lists.ReadPacket(
            row, ravelin::PacketRow::kPreviewBytes, preview,
            [&](const ravelin::StoredRow<ravelin::PacketRow>& stored,
                std::span<const std::uint8_t> payload) {
                Check(payload.size() ==
                          std::min<std::size_t>(static_cast<std::size_t>(stored.row.record.length),
                                                ravelin::PacketRow::kPreviewBytes),
                      "the spool gives back the preview of every listed payload");
                ravelin::AppendPacketLine(stored, payload, lists.addresses, out);
                ravelin::AppendPacketLine(stored, payload, lists.addresses, out, 1234);
            });
        Check(read, "every listed row is readable");
    }
    lists.requests.ReadRows(requestsBefore, lists.requests.rowCount() - requestsBefore,
                            [&](int, const ravelin::StoredRow<ravelin::HttpRow>& row) {
                                ravelin::AppendHttpLine(row, out);
                            });
    Check(out.empty() || out.back() == '\n', "every printed line ends in a line feed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Listing listing;
    const std::span<const std::uint8_t> bytes(data, size);

    CheckDecoded(bytes);

    listing.ClearWhenLarge();
    const int packetsBefore = listing.lists.packets.rowCount();
    const int requestsBefore = listing.lists.requests.rowCount();
    // Once as received and once as sent (the bound address is the source), so that both
    // directions' ports and colours are taken, and once on all interfaces.
    const auto datagram =
        ravelin::Datagram::Raw(bytes, {1700000000 + static_cast<std::int64_t>(size), 0});
    listing.pipeline.Process(datagram, 0x0100007F);
    listing.pipeline.Process(datagram, 0);
    if (size >= 16) {
        const std::uint32_t source =
            static_cast<std::uint32_t>(data[12]) | static_cast<std::uint32_t>(data[13]) << 8 |
            static_cast<std::uint32_t>(data[14]) << 16 | static_cast<std::uint32_t>(data[15]) << 24;
        listing.pipeline.Process(datagram, source);
    }
    if (size >= 24 && (data[0] >> 4) == 6) {
        std::array<std::uint8_t, 16> source{};
        std::copy_n(data + 8, source.size(), source.begin());
        listing.pipeline.Process(datagram, ravelin::IpAddress::Ipv6(source));
    }
    listing.pipeline.EndBatch();
    PrintNewRows(listing.lists, packetsBefore, requestsBefore);

    for (const int linkType : kLinkTypes) {
        const auto extracted = ravelin::ExtractIpDatagram(linkType, bytes);
        if (!extracted) continue;
        Check(ravelin::IsSupportedLinkType(linkType), "only supported link types give datagrams");
        Check(extracted->empty() || (extracted->data() >= data &&
                                     extracted->data() + extracted->size() <= data + size),
              "the datagram lies inside the frame");
        CheckDecoded(*extracted);
    }
    return 0;
}
