#include "decode/LinkLayer.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <array>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
constexpr std::uint16_t kEtherTypeQinQOld = 0x9100;
constexpr std::uint32_t kBsdFamilyInet = 2;
// AF_INET6 differs between the BSDs: NetBSD and OpenBSD 24, FreeBSD 28, macOS 30 (and Linux
// 10, for completeness).
constexpr std::array<std::uint32_t, 4> kBsdFamiliesInet6 = {10, 24, 28, 30};
constexpr std::size_t kMaximumDatagram = 65535;
constexpr std::size_t kIpv6FixedHeader = 40;

enum class Family : std::uint8_t { kIpv4, kIpv6, kEither };

std::optional<Family> FromEtherType(std::uint16_t etherType) {
    if (etherType == kEtherTypeIpv4) return Family::kIpv4;
    if (etherType == kEtherTypeIpv6) return Family::kIpv6;
    return std::nullopt;
}

std::optional<Family> FromBsdFamily(std::uint32_t family) {
    if (family == kBsdFamilyInet) return Family::kIpv4;
    if (std::ranges::find(kBsdFamiliesInet6, family) != kBsdFamiliesInet6.end()) {
        return Family::kIpv6;
    }
    return std::nullopt;
}

struct DatagramPlace {
    std::size_t offset = 0;
    Family family = Family::kEither;
};

// Where the datagram starts inside the frame and which family the link says it is, or nothing
// when the frame carries no IP.
std::optional<DatagramPlace> DatagramOffset(int linkType, std::span<const std::uint8_t> frame) {
    ByteReader reader(frame);
    std::optional<Family> family;
    switch (linkType) {
        case DLT_EN10MB: {
            reader.Skip(12);  // destination and source MAC
            std::uint16_t etherType = reader.ReadBe16();
            while (etherType == kEtherTypeVlan || etherType == kEtherTypeQinQ ||
                   etherType == kEtherTypeQinQOld) {
                reader.Skip(2);  // tag control information
                etherType = reader.ReadBe16();
            }
            family = FromEtherType(etherType);
            break;
        }
        case DLT_LINUX_SLL: {
            reader.Skip(14);  // packet type, ARPHRD type, address length, address
            family = FromEtherType(reader.ReadBe16());
            break;
        }
        case DLT_LINUX_SLL2: {
            family = FromEtherType(reader.ReadBe16());
            reader.Skip(18);  // reserved, interface index, ARPHRD type, packet type, address
            break;
        }
        case DLT_NULL: {
            // The family is in the byte order of the machine that wrote the file.
            const std::uint32_t value = reader.ReadBe32();
            family = FromBsdFamily(value);
            if (!family) family = FromBsdFamily(__builtin_bswap32(value));
            break;
        }
        case DLT_LOOP:
            family = FromBsdFamily(reader.ReadBe32());
            break;
        case DLT_RAW:
            family = Family::kEither;
            break;
        case DLT_IPV4:
            family = Family::kIpv4;
            break;
        case DLT_IPV6:
            family = Family::kIpv6;
            break;
        default:
            return std::nullopt;
    }
    if (reader.Failed() || !family) return std::nullopt;
    return DatagramPlace{reader.Position(), *family};
}

// Cuts link padding off an IPv6 datagram, and a jumbogram's bytes beyond what its header can
// describe.
std::span<const std::uint8_t> TrimIpv6(std::span<const std::uint8_t> datagram) {
    ByteReader reader(datagram);
    reader.Skip(4);
    const std::size_t payloadLength = reader.ReadBe16();
    if (reader.Failed()) return datagram;
    const std::size_t length =
        kIpv6FixedHeader + (payloadLength == 0 ? kMaximumDatagram : payloadLength);
    return length < datagram.size() ? datagram.first(length) : datagram;
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
        case DLT_IPV6:
            return true;
        default:
            return false;
    }
}

std::optional<std::span<const std::uint8_t>> ExtractIpDatagram(
    int linkType, std::span<const std::uint8_t> frame) {
    const auto place = DatagramOffset(linkType, frame);
    if (!place || place->offset >= frame.size()) return std::nullopt;
    auto datagram = frame.subspan(place->offset);
    const int version = datagram[0] >> 4;
    const Family family = version == 4   ? Family::kIpv4
                          : version == 6 ? Family::kIpv6
                                         : Family::kEither;
    if (family == Family::kEither) return std::nullopt;
    if (place->family != Family::kEither && place->family != family) return std::nullopt;
    if (family == Family::kIpv6) return TrimIpv6(datagram);

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
