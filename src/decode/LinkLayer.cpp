#include "decode/LinkLayer.h"

#include <pcap/dlt.h>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
constexpr std::uint16_t kEtherTypeQinQOld = 0x9100;
constexpr std::uint32_t kBsdFamilyInet = 2;
constexpr std::size_t kMaximumDatagram = 65535;

// Where the datagram starts inside the frame, or nothing when the frame carries no IPv4.
std::optional<std::size_t> DatagramOffset(int linkType, std::span<const std::uint8_t> frame) {
    ByteReader reader(frame);
    switch (linkType) {
        case DLT_EN10MB: {
            reader.Skip(12);  // destination and source MAC
            std::uint16_t etherType = reader.ReadBe16();
            while (etherType == kEtherTypeVlan || etherType == kEtherTypeQinQ ||
                   etherType == kEtherTypeQinQOld) {
                reader.Skip(2);  // tag control information
                etherType = reader.ReadBe16();
            }
            if (reader.Failed() || etherType != kEtherTypeIpv4) return std::nullopt;
            return reader.Position();
        }
        case DLT_LINUX_SLL: {
            reader.Skip(14);  // packet type, ARPHRD type, address length, address
            if (reader.ReadBe16() != kEtherTypeIpv4 || reader.Failed()) return std::nullopt;
            return reader.Position();
        }
        case DLT_LINUX_SLL2: {
            const std::uint16_t protocol = reader.ReadBe16();
            reader.Skip(18);  // reserved, interface index, ARPHRD type, packet type, address
            if (protocol != kEtherTypeIpv4 || reader.Failed()) return std::nullopt;
            return reader.Position();
        }
        case DLT_NULL: {
            // The family is in the byte order of the machine that wrote the file.
            const std::uint32_t family = reader.ReadBe32();
            if (reader.Failed() || (family != kBsdFamilyInet && family != (kBsdFamilyInet << 24))) {
                return std::nullopt;
            }
            return reader.Position();
        }
        case DLT_LOOP: {
            if (reader.ReadBe32() != kBsdFamilyInet || reader.Failed()) return std::nullopt;
            return reader.Position();
        }
        case DLT_RAW:
        case DLT_IPV4:
            return std::size_t{0};
        default:
            return std::nullopt;
    }
}

}  // namespace

bool IsSupportedLinkType(int linkType) {
    switch (linkType) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_NULL:
        case DLT_LOOP:
        case DLT_RAW:
        case DLT_IPV4:
            return true;
        default:
            return false;
    }
}

std::optional<std::span<const std::uint8_t>> ExtractIpv4Datagram(
    int linkType, std::span<const std::uint8_t> frame) {
    const auto offset = DatagramOffset(linkType, frame);
    if (!offset || *offset >= frame.size()) return std::nullopt;
    auto datagram = frame.subspan(*offset);
    if ((datagram[0] >> 4) != 4) return std::nullopt;  // raw IP links carry IPv6 too

    // Ethernet pads short frames to 60 bytes; the padding is not part of the datagram.
    ByteReader reader(datagram);
    reader.Skip(2);
    const std::uint16_t totalLength = reader.ReadBe16();
    if (reader.Failed()) return datagram;
    if (totalLength >= 20 && totalLength < datagram.size()) {
        datagram = datagram.first(totalLength);
    } else if (totalLength == 0 && datagram.size() > kMaximumDatagram) {
        // An offloaded segment says 0 and is all the captured bytes (DatagramEnd); one larger
        // than IPv4 can describe keeps as much as a datagram can hold, like a short snapshot.
        datagram = datagram.first(kMaximumDatagram);
    }
    return datagram;
}

}  // namespace ravelin
